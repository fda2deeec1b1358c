// A deliberately broken matcher for the acceptance kit's own test: group 1
// ends at the FIRST qualifying ".exe" instead of the last. Linked instead of
// src/matcher.cpp into velquist-firstexe.exe.
#include "matcher.h"

#include <windows.h>

const wchar_t kUnquotedExePattern[] = L"(^(?!\\u0022)[^\\u0022]*?\\s[^\\u0022]*?\\.[Ee][Xx][Ee])(.*$)";

bool IsPatternSpace(wchar_t c) {
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE1, &c, 1, &type) && (type & (C1_SPACE | C1_BLANK)) != 0;
}

bool FindUnquotedExe(const std::wstring& text, std::wstring* group1, std::wstring* group2) {
    if (text.empty() || text[0] == L'"') return false;
    bool space = false;
    for (size_t i = 0; i + 4 <= text.size(); ++i) {
        if (text[i] == L'"') return false;
        space = space || IsPatternSpace(text[i]);
        bool exe = text[i] == L'.' && (text[i + 1] | 0x20) == L'e' && (text[i + 2] | 0x20) == L'x' &&
                   (text[i + 3] | 0x20) == L'e';
        if (!exe || !space) continue;
        std::wstring rest = text.substr(i + 4);
        if (rest.find_first_of(L"\r\n") != std::wstring::npos) continue;
        group1->assign(text, 0, i + 4);
        group2->assign(rest);
        return true;
    }
    return false;
}
