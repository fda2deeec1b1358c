#include "place.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

#include "local.h"
#include "narrow.h"
#include "owners.h"

namespace place {

const wchar_t kStateKey[] = L"SOFTWARE\\velquist-check";

namespace {

const wchar_t kStateValue[] = L"Saved";
const wchar_t kFolderName[] = L"velquist-check";

// Owned by the administrators; SYSTEM and the administrators alone have any
// access; nothing inherited from the parent can add to that.
const wchar_t kKeySddl[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
const wchar_t kFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

const DWORD kKeyWrites = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                         WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

std::string Error(const char* what, DWORD code) { return std::string(what) + ": error " + std::to_string(code); }

std::string SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return "?";
    owners::Local<> owned(text);
    return Narrow(text);
}

bool IsAdminOrSystem(PSID sid) {
    return sid && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid));
}

bool SecurityFrom(const wchar_t* sddl, owners::Local<>* sd, std::string* why) {
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, nullptr)) {
        *why = Error("cannot build a security descriptor", GetLastError());
        return false;
    }
    sd->Reset(made);
    return true;
}

// Checks the open object as it is now: owner and DACL.
bool Trusted(HANDLE object, SE_OBJECT_TYPE type, DWORD writes, const std::string& name, std::string* why) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        *why = Error(("cannot read the permissions of " + name).c_str(), rc);
        return false;
    }
    owners::Local<> owned(sd);
    std::string problem;
    if (OnlyAdminsWrite(sd, writes, &problem)) return true;
    *why = name + " " + problem;
    return false;
}

// A key's security as the kit sets it. Set again after creating: not every
// system applies the descriptor given at creation (Wine does not).
bool Protect(HKEY key, std::string* why) {
    owners::Local<> sd;
    if (!SecurityFrom(kKeySddl, &sd, why)) return false;
    LONG rc = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd.Get());
    if (rc != ERROR_SUCCESS) {
        *why = Error("cannot protect HKLM\\SOFTWARE\\velquist-check", rc);
        return false;
    }
    return true;
}

bool RemoveTree(const std::wstring& dir, std::string* why) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        bool ok = true;
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            // A link is removed, never followed.
            bool isDir = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            bool isLink = found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
            if (isDir && !isLink) ok = RemoveTree(path, why) && ok;
            else if (isDir ? !RemoveDirectoryW(path.c_str()) : !DeleteFileW(path.c_str())) {
                if (ok) *why = Error(("cannot delete " + Narrow(path)).c_str(), GetLastError());
                ok = false;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
        if (!ok) return false;
    }
    if (!RemoveDirectoryW(dir.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND) {
        *why = Error(("cannot delete " + Narrow(dir)).c_str(), GetLastError());
        return false;
    }
    return true;
}

}  // namespace

bool OnlyAdminsWrite(PSECURITY_DESCRIPTOR sd, DWORD writeRights, std::string* why) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !IsAdminOrSystem(owner)) {
        *why = "is owned by " + SidText(owner) + ", not by the administrators or SYSTEM";
        return false;
    }
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) {
        *why = "has no DACL, so everybody may change it";
        return false;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
            *why = "has a DACL that cannot be read";
            return false;
        }
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for what is made inside, checked there
        bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
                      header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                      header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
        if (!allows) continue;
        // Object entries keep their SID at a varying place: taken as granting to anyone.
        bool plain = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = plain ? static_cast<PSID>(&ace->SidStart) : nullptr;
        if ((ace->Mask & writeRights) && !IsAdminOrSystem(sid)) {
            *why = "lets " + SidText(sid) + " change it";
            return false;
        }
    }
    return true;
}

namespace {

const wchar_t kFolderValue[] = L"Folder";
const wchar_t kServiceValue[] = L"Service";

// The identity of the folder at the path now, if there is a folder.
bool IdOf(const std::wstring& path, FolderId* id) {
    owners::Handle dir(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!dir || !GetFileInformationByHandle(dir.Get(), &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    id->volume = info.dwVolumeSerialNumber;
    id->high = info.nFileIndexHigh;
    id->low = info.nFileIndexLow;
    return true;
}

LONG ReadBinary(HKEY key, const wchar_t* name, std::vector<BYTE>* data) {
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    data->assign(size, 0);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key, name, nullptr, &type, data->data(), &size);
    if (rc == ERROR_SUCCESS && type != REG_BINARY) return ERROR_INVALID_DATA;
    data->resize(size);
    return rc;
}

}  // namespace

Found LoadState(std::string* text, FolderId* folder, bool* service, std::string* why) {
    *folder = FolderId();
    *service = false;
    owners::Key key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, KEY_QUERY_VALUE | READ_CONTROL, key.Receive());
    if (rc == ERROR_FILE_NOT_FOUND) return kNone;
    if (rc != ERROR_SUCCESS) {
        *why = Error("cannot open HKLM\\SOFTWARE\\velquist-check", rc);
        return kRefused;
    }
    if (!Trusted(key.Get(), SE_REGISTRY_KEY, kKeyWrites, "HKLM\\SOFTWARE\\velquist-check", why)) return kRefused;
    std::vector<BYTE> data;
    rc = ReadBinary(key.Get(), kStateValue, &data);
    if (rc == ERROR_FILE_NOT_FOUND) return kNone;  // made, but nothing saved in it yet
    if (rc != ERROR_SUCCESS) {
        *why = Error("cannot read the saved state in HKLM\\SOFTWARE\\velquist-check", rc);
        return kRefused;
    }
    text->assign(data.begin(), data.end());
    std::vector<BYTE> id;
    if (ReadBinary(key.Get(), kFolderValue, &id) == ERROR_SUCCESS && id.size() == sizeof(FolderId))
        memcpy(folder, id.data(), sizeof(FolderId));
    DWORD made = 0, type = 0, size = sizeof made;
    *service = RegQueryValueExW(key.Get(), kServiceValue, nullptr, &type, reinterpret_cast<BYTE*>(&made), &size) ==
                   ERROR_SUCCESS &&
               type == REG_DWORD && made != 0;
    return kFound;
}

bool SaveState(const std::string& text, const FolderId& folder, std::string* why) {
    owners::Local<> sd;
    if (!SecurityFrom(kKeySddl, &sd, why)) return false;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, sd.Get(), FALSE};
    owners::Key key;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                              &attributes, key.Receive(), &disposition);
    if (rc != ERROR_SUCCESS) {
        *why = Error("cannot create HKLM\\SOFTWARE\\velquist-check", rc);
        return false;
    }
    // A key that was there already (made by whom?) is not written into.
    if (disposition != REG_CREATED_NEW_KEY &&
        !Trusted(key.Get(), SE_REGISTRY_KEY, kKeyWrites, "HKLM\\SOFTWARE\\velquist-check", why))
        return false;
    if (disposition == REG_CREATED_NEW_KEY && !Protect(key.Get(), why)) return false;
    // The folder first: a state without it would leave the folder to nobody.
    rc = RegSetValueExW(key.Get(), kFolderValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&folder), sizeof folder);
    // One value, written in one call: a kill never leaves half of it.
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key.Get(), kStateValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(text.data()),
                            static_cast<DWORD>(text.size()));
    if (rc == ERROR_SUCCESS) rc = RegFlushKey(key.Get());
    if (rc != ERROR_SUCCESS) {
        *why = Error("cannot save the state", rc);
        return false;
    }
    return true;
}

bool MarkService(bool made, std::string* why) {
    owners::Key key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, KEY_SET_VALUE, key.Receive());
    DWORD one = 1;
    if (rc == ERROR_SUCCESS)
        rc = made ? RegSetValueExW(key.Get(), kServiceValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one)
                  : RegDeleteValueW(key.Get(), kServiceValue);
    if (rc == ERROR_SUCCESS) rc = RegFlushKey(key.Get());
    if (rc == ERROR_FILE_NOT_FOUND && !made) rc = ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) {
        *why = Error("cannot note the service in HKLM\\SOFTWARE\\velquist-check", rc);
        return false;
    }
    return true;
}

bool ForgetState(std::string* why) {
    LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kStateKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        *why = Error("cannot delete HKLM\\SOFTWARE\\velquist-check", rc);
        return false;
    }
    return true;
}

std::wstring FolderPath() {
    wchar_t windows[MAX_PATH + 1] = {};
    UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    std::wstring drive = n >= 2 && windows[1] == L':' ? std::wstring(windows, 2) : L"C:";
    return drive + L"\\" + kFolderName;
}

bool MakeFolder(FolderId* made, std::string* why) {
    const std::wstring path = FolderPath();
    owners::Local<> sd;
    if (!SecurityFrom(kFolderSddl, &sd, why)) return false;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, sd.Get(), FALSE};
    if (!CreateDirectoryW(path.c_str(), &attributes)) {
        DWORD error = GetLastError();
        *why = error == ERROR_ALREADY_EXISTS
                   ? Narrow(path) + " exists, and the kit did not make it in a run it can account for; look inside, "
                                    "delete it as administrator, then run velquist-check.exe again"
                   : Error(("cannot create " + Narrow(path)).c_str(), error);
        return false;
    }
    if (!IdOf(path, made)) {
        *why = Error(("cannot open " + Narrow(path)).c_str(), GetLastError());
        return false;
    }
    return true;
}

bool RemoveFolder(const FolderId& ours, std::string* why) {
    FolderId now;
    if (ours.Empty() || !IdOf(FolderPath(), &now) || !(now == ours)) return true;
    return RemoveTree(FolderPath(), why);
}

bool CopyIn(const std::wstring& from, const std::wstring& name, std::wstring* to, std::string* why) {
    *to = FolderPath() + L"\\" + name;
    if (!CopyFileW(from.c_str(), to->c_str(), TRUE)) {
        *why = Error(("cannot copy " + Narrow(from) + " into " + Narrow(FolderPath())).c_str(), GetLastError());
        return false;
    }
    return true;
}

}  // namespace place
