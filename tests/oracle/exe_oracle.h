#pragma once
// The unquoted-executable rule written out by hand, without a regex engine,
// so that the matcher can be checked against something independent of it.
#include <cstddef>
#include <string>

namespace oracle {

// White space written out from what Windows documents for GetStringTypeW
// (CT_CTYPE1): C1_SPACE holds Unicode's White_Space set (the Zs separators,
// the ASCII controls tab to carriage return, NEL, and the line and paragraph
// separators); C1_BLANK adds the zero-width no-break space. Kept literal so
// that the oracle never borrows the product's or the platform's answer.
inline bool IsSpace(wchar_t c) {
    static const struct {
        wchar_t first, last;
    } kRanges[] = {
        {0x0009, 0x000D},  // tab, line feed, vertical tab, form feed, carriage return
        {0x0020, 0x0020},  // space
        {0x0085, 0x0085},  // next line
        {0x00A0, 0x00A0},  // no-break space
        {0x1680, 0x1680},  // ogham space mark
        {0x2000, 0x200A},  // en quad .. hair space
        {0x2028, 0x2029},  // line separator, paragraph separator
        {0x202F, 0x202F},  // narrow no-break space
        {0x205F, 0x205F},  // medium mathematical space
        {0x3000, 0x3000},  // ideographic space
        {0xFEFF, 0xFEFF},  // zero-width no-break space (blank, not space)
    };
    for (const auto& r : kRanges)
        if (c >= r.first && c <= r.last) return true;
    return false;
}

struct Split {
    bool matched = false;
    size_t group1Length = 0;  // group 2 is the rest of the text
};

inline bool IsExeAt(const std::wstring& text, size_t at) {
    static const wchar_t kLower[] = L".exe";
    static const wchar_t kUpper[] = L".EXE";
    if (at + 4 > text.size()) return false;
    for (size_t i = 0; i < 4; ++i)
        if (text[at + i] != kLower[i] && text[at + i] != kUpper[i]) return false;
    return true;
}

// Group 1 ends at the last ".exe" (any case) that has white space and no
// double quote before it and no line feed or carriage return after it; the
// text must not start with a double quote. What counts as white space is
// `isSpace`: the literal table above, or on a real system (the acceptance
// kit) that system's own character types, which the program follows too.
template <typename IsSpaceFn>
Split FindUnquotedExe(const std::wstring& text, IsSpaceFn isSpace) {
    Split result;
    if (text.empty() || text[0] == L'"') return result;
    size_t firstQuote = text.find(L'"');
    size_t firstSpace = std::wstring::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if (isSpace(text[i])) {
            firstSpace = i;
            break;
        }
    }
    size_t lastBreak = text.find_last_of(L"\r\n");
    for (size_t at = text.size(); at-- > 0;) {
        if (!IsExeAt(text, at)) continue;
        bool spaceBefore = firstSpace != std::wstring::npos && firstSpace < at;
        bool quoteBefore = firstQuote != std::wstring::npos && firstQuote < at;
        bool breakAfter = lastBreak != std::wstring::npos && lastBreak >= at + 4;
        if (breakAfter) break;  // every earlier .exe has the same break after it
        if (spaceBefore && !quoteBefore) {
            result.matched = true;
            result.group1Length = at + 4;
            return result;
        }
    }
    return result;
}

inline Split FindUnquotedExe(const std::wstring& text) { return FindUnquotedExe(text, IsSpace); }

}  // namespace oracle
