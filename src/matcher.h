#pragma once
#include <string>

// Group 1: from the start, no double quote, some white space, ending in .exe
// (any case). Group 2: the rest, which must hold no line feed or carriage return.
extern const wchar_t kUnquotedExePattern[];

// Whole-text match of kUnquotedExePattern. On a match, group1 + group2 == text
// and group 1 is the longest possible (it ends at the last qualifying .exe).
bool FindUnquotedExe(const std::wstring& text, std::wstring* group1, std::wstring* group2);

// White space as the pattern's \s sees it: the platform's C1_SPACE or C1_BLANK.
bool IsPatternSpace(wchar_t c);
