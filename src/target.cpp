#include "target.h"

#include <string>

#include "matcher.h"
#include "reg.h"
#include "winversion.h"

RegistryTarget g_registryTargets[kRegistryTargetCount] = {
    {TARGET_FAILED, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RADADIRorUzavovazo",
     L"UninstallString", REG_SZ},
    {TARGET_FAILED, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RADADIRorUzavovazo",
     L"DisplayIcon", REG_SZ},
    {TARGET_FAILED, L"SYSTEM\\CurrentControlSet\\Services\\VedOvedavu", L"ImagePath",
     REG_EXPAND_SZ},
};

namespace {

// Only what the successful read returned: a value stored without its
// terminator must not pick up bytes left in the buffer by an earlier read.
// A trailing odd byte is half a character and is not text either.
std::wstring TextOf(const WCHAR* buffer, DWORD byteCount) {
    size_t limit = byteCount / sizeof(WCHAR);
    if (limit > static_cast<size_t>(kValueChars)) limit = kValueChars;
    size_t length = 0;
    while (length < limit && buffer[length] != L'\0') ++length;
    return std::wstring(buffer, length);
}

}  // namespace

DWORD ProcessTarget(LPCWSTR subKey, LPCWSTR valueName, DWORD valueType, bool fix) {
    WCHAR buffer[kValueChars] = {};
    CReg reg;
    BOOL exists = FALSE;
    DWORD size = sizeof(buffer);
    REGSAM view = 0;

    BOOL read = reg.ReadString(subKey, valueName, buffer, &size, valueType, &exists, 0);
    if (!read) {
        // A 32-bit process sees the 32-bit view first; a value that lives only
        // in the 64-bit view is found by asking that view explicitly.
        CWinVersion version;
        if (version.m_wArchClass == ARCH_64BIT) {
            size = sizeof(buffer);
            view = KEY_WOW64_64KEY;
            read = reg.ReadString(subKey, valueName, buffer, &size, valueType, &exists, view);
        }
    }
    if (!read) return exists ? TARGET_FAILED : TARGET_NOT_FOUND;

    std::wstring group1, group2;
    if (!FindUnquotedExe(TextOf(buffer, size), &group1, &group2)) return TARGET_ALREADY_OK;
    if (!fix) return TARGET_NEEDS_FIX;

    std::wstring quoted = L"\"" + group1 + L"\"" + group2;
    DWORD byteCount = static_cast<DWORD>((quoted.size() + 1) * sizeof(WCHAR));
    return reg.WriteString(subKey, valueName, quoted.c_str(), byteCount, valueType, view)
               ? TARGET_MODIFIED
               : TARGET_FAILED;
}
