#pragma once
#include <windows.h>

// String values under HKEY_LOCAL_MACHINE. Each call opens the key, does its
// one query or write and closes the key again before returning.
class CReg {
public:
    virtual ~CReg() {}

    // size: bytes offered on entry, bytes stored (or needed) on return.
    // exists turns FALSE only when the key or the value is absent.
    BOOL ReadString(LPCWSTR subKey, LPCWSTR valueName, LPWSTR buffer, DWORD* size,
                    DWORD expectedType, BOOL* exists, REGSAM viewFlags);

    // Creates the key when it is missing.
    BOOL WriteString(LPCWSTR subKey, LPCWSTR valueName, LPCWSTR data, DWORD byteCount,
                     DWORD type, REGSAM viewFlags);
};
