#include "reg.h"

#include "owners.h"

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

}  // namespace

BOOL CReg::ReadString(LPCWSTR subKey, LPCWSTR valueName, LPWSTR buffer, DWORD* size,
                      DWORD expectedType, BOOL* exists, REGSAM viewFlags) {
    if (!IsStringType(expectedType) || exists == nullptr) return FALSE;
    *exists = TRUE;

    DWORD storedType = REG_NONE;
    LONG result;
    {
        owners::Key key;
        result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE | viewFlags,
                               key.Receive());
        if (result == ERROR_SUCCESS) {
            result = RegQueryValueExW(key.Get(), valueName, nullptr, &storedType,
                                      reinterpret_cast<LPBYTE>(buffer), size);
        }
    }
    if (result != ERROR_SUCCESS) {
        if (result == ERROR_FILE_NOT_FOUND) *exists = FALSE;
        return FALSE;
    }
    // A multi-string is read like a string: its first string is what counts.
    return IsStringType(storedType) || storedType == REG_MULTI_SZ;
}

BOOL CReg::WriteString(LPCWSTR subKey, LPCWSTR valueName, LPCWSTR data, DWORD byteCount,
                       DWORD type, REGSAM viewFlags) {
    if (!IsStringType(type)) return FALSE;

    owners::Key key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | viewFlags, nullptr, key.Receive(),
                        nullptr) != ERROR_SUCCESS) {
        return FALSE;
    }
    return RegSetValueExW(key.Get(), valueName, 0, type, reinterpret_cast<const BYTE*>(data),
                          byteCount) == ERROR_SUCCESS;
}
