#pragma once
#include <windows.h>

// One bit per outcome, so that the results of several targets OR together.
enum : DWORD {
    TARGET_MODIFIED = 0x1,
    TARGET_FAILED = 0x10,
    TARGET_ALREADY_OK = 0x100,
    TARGET_NOT_FOUND = 0x1000,
    TARGET_NEEDS_FIX = 0x10000,
};

struct RegistryTarget {
    DWORD status;
    LPCWSTR subKey;
    LPCWSTR valueName;
    DWORD valueType;
};

const int kRegistryTargetCount = 3;
extern RegistryTarget g_registryTargets[kRegistryTargetCount];

// The value buffer holds 259 characters and a terminator.
const int kValueChars = 260;

// Reads one value (the 32-bit view first, then on a 64-bit system the 64-bit
// view) and reports whether it holds an unquoted executable path with white
// space. With fix set, such a value is written back quoted in the view where
// it was found.
DWORD ProcessTarget(LPCWSTR subKey, LPCWSTR valueName, DWORD valueType, bool fix);
