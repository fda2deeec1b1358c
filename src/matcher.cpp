#include "matcher.h"

#include <windows.h>

#include <regex>

const wchar_t kUnquotedExePattern[] =
    L"(^(?!\\u0022)[^\\u0022]*\\s[^\\u0022]*\\.[Ee][Xx][Ee])(.*$)";

bool IsPatternSpace(wchar_t c) {
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE1, &c, 1, &type) && (type & (C1_SPACE | C1_BLANK)) != 0;
}

namespace {

// The standard traits take \s from the C++ locale, which differs from what
// Windows itself calls white space (U+00A0, U+3000, U+2028, ...). This keeps
// every other class as the standard traits have it.
class PlatformSpaceTraits : public std::regex_traits<wchar_t> {
    typedef std::regex_traits<wchar_t> Base;

public:
    struct char_class_type {
        Base::char_class_type base;
        bool space;
        char_class_type() : base(), space(false) {}
        char_class_type(int) : base(), space(false) {}  // the engine's empty set
        char_class_type& operator|=(const char_class_type& other) {
            base |= other.base;
            space = space || other.space;
            return *this;
        }
        bool operator==(const char_class_type& other) const {
            return base == other.base && space == other.space;
        }
        bool operator!=(const char_class_type& other) const { return !(*this == other); }
    };

    template <typename It>
    char_class_type lookup_classname(It first, It last, bool icase = false) const {
        std::wstring name(first, last);
        char_class_type mask;
        if (name == L"s" || name == L"space") {
            mask.space = true;
        } else {
            mask.base = Base::lookup_classname(first, last, icase);
        }
        return mask;
    }

    bool isctype(wchar_t c, const char_class_type& mask) const {
        if (mask.space && IsPatternSpace(c)) return true;
        return mask.base != Base::char_class_type() && Base::isctype(c, mask.base);
    }
};

typedef std::basic_regex<wchar_t, PlatformSpaceTraits> PatternRegex;

// The engine's dot also refuses U+2028 and U+2029, which the pattern means to
// accept. The match runs on a copy where each of them stands in for a
// character that every other part of the pattern treats alike (white space or
// not, never a quote, never part of ".exe"), so the groups' bounds are the
// same as they would be on the text itself.
std::wstring WithoutUnicodeLineBreaks(const std::wstring& text) {
    std::wstring shadow(text);
    for (wchar_t& c : shadow) {
        if (c == 0x2028 || c == 0x2029) c = IsPatternSpace(c) ? L' ' : L'_';
    }
    return shadow;
}

}  // namespace

bool FindUnquotedExe(const std::wstring& text, std::wstring* group1, std::wstring* group2) {
    // The backtracking engine is cubic on some 259-unit texts (blanks, many
    // ".exe", a line break at the end: ~20 ms a value under Wine, most of a
    // run). libstdc++'s breadth-first engine keeps the same ECMAScript
    // priorities, so the groups are the same, in time linear in the text.
    const PatternRegex pattern(kUnquotedExePattern,
                               std::regex_constants::ECMAScript | std::regex_constants::__polynomial);
    const std::wstring shadow = WithoutUnicodeLineBreaks(text);
    std::wsmatch match;
    if (!std::regex_match(shadow, match, pattern)) return false;

    const size_t split = static_cast<size_t>(match.length(1));
    group1->assign(text, 0, split);
    group2->assign(text, split, std::wstring::npos);
    return true;
}
