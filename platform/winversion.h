#pragma once
#include <windows.h>

enum : WORD { ARCH_NONE = 0, ARCH_32BIT = 1, ARCH_64BIT = 2 };

// What the running Windows is, as opposed to what this 32-bit process sees.
class CWinVersion {
public:
    CWinVersion();
    virtual ~CWinVersion() {}

    WORD m_wArchClass;
};
