#pragma once
#include <windows.h>

enum {
    EXIT_MODIFIED = 0,
    EXIT_FAILED = 1,
    EXIT_NO_TARGET = 2,
    EXIT_ALREADY_MODIFIED = 3,
    EXIT_DECLINED = 4,
};

extern const wchar_t kInstanceMutexName[];
extern const wchar_t kGlobalMutexName[];

// "-s" or "/s" in any letter case, and nothing else: not even a trailing blank.
bool IsSilentSwitch(LPCWSTR cmdLine);

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);
