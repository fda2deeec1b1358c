#include "registry.h"

#include <aclapi.h>

#include <cstring>

#include "local.h"
#include "owners.h"

namespace winops {

LONG ReadValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, StoredValue* out) {
    *out = StoredValue();
    owners::Key key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_QUERY_VALUE | view, key.Receive());
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    out->key = true;
    DWORD type = 0, size = 0;
    rc = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size + 1);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, data.data(), &size);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    out->exists = true;
    out->type = type;
    out->data.assign(data.begin(), data.begin() + size);
    return ERROR_SUCCESS;
}

LONG WriteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, DWORD type,
                const std::vector<BYTE>& value) {
    DWORD count = static_cast<DWORD>(value.size());
    // RegSetValueExW adds a terminator that the caller "forgot" when the
    // string is followed by a NUL in memory; padding keeps the bytes exact.
    std::vector<BYTE> data(value);
    data.insert(data.end(), 3, 0xFF);
    owners::Key key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE | view, nullptr, key.Receive(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key.Get(), name.c_str(), 0, type, count ? data.data() : nullptr, count);
    // A value not stored byte for byte would make a test prove nothing, and a
    // restore lose data.
    std::vector<BYTE> stored(count + 16);
    DWORD size = static_cast<DWORD>(stored.size()), storedType = 0;
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &storedType, stored.data(), &size);
    if (rc != ERROR_SUCCESS) return rc;
    if (storedType != type || size != count || memcmp(stored.data(), value.data(), count) != 0)
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

LONG DeleteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, bool* existed) {
    *existed = false;
    owners::Key key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_SET_VALUE | view, key.Receive());
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueW(key.Get(), name.c_str());
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    *existed = rc == ERROR_SUCCESS;
    return rc;
}

LONG DeleteKey(REGSAM view, const std::wstring& subkey, bool* existed) {
    *existed = false;
    LONG rc = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), view, 0);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    *existed = rc == ERROR_SUCCESS;
    return rc;
}

LONG CreateKey(REGSAM view, const std::wstring& subkey, bool* created) {
    owners::Key key;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | view,
                              nullptr, key.Receive(), &disposition);
    *created = rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    return rc;
}

namespace {

struct SidTraits {
    static PSID Empty() { return nullptr; }
    static bool Valid(PSID p) { return p != nullptr; }
    static void Close(PSID p) { FreeSid(p); }
};

}  // namespace

LONG SetKeyAccess(REGSAM view, const std::wstring& subkey, bool readOnly) {
    owners::Key key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, WRITE_DAC | READ_CONTROL | view, key.Receive());
    if (rc != ERROR_SUCCESS) return rc;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    owners::Owner<PSID, SidTraits> everyone;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.Receive()))
        return static_cast<LONG>(GetLastError());
    EXPLICIT_ACCESSW ea = {};
    ea.grfAccessPermissions = readOnly ? (KEY_READ | DELETE | WRITE_DAC) : KEY_ALL_ACCESS;
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(everyone.Get());
    owners::Local<PACL> acl;
    rc = SetEntriesInAclW(1, &ea, nullptr, acl.Receive());
    if (rc != ERROR_SUCCESS) return rc;
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl.Get(), FALSE);
    // Protected, so that no inherited entry grants the write back.
    SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    return RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, &sd);
}

}  // namespace winops
