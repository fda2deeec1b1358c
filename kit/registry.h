#pragma once
// Exact registry reads and writes under HKEY_LOCAL_MACHINE in either view:
// what a test seeds is stored byte for byte, and what it reads back is what
// the system holds, with its type.
#include <windows.h>

#include <string>
#include <vector>

namespace winops {

struct StoredValue {
    bool key = false;     // the key exists
    bool exists = false;  // the value exists
    DWORD type = 0;
    std::vector<BYTE> data;
};

// view: KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0 (the process default).
LONG ReadValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, StoredValue* out);
// Creates the key when missing and stores exactly `data`; a value the system
// stored differently (an added terminator) is reported as ERROR_INVALID_DATA.
LONG WriteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, DWORD type,
                const std::vector<BYTE>& data);
LONG DeleteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, bool* existed);
// Deletes only a key without subkeys.
LONG DeleteKey(REGSAM view, const std::wstring& subkey, bool* existed);
LONG CreateKey(REGSAM view, const std::wstring& subkey, bool* created);
// readOnly: everybody may read, delete and re-grant the key but not set
// values; otherwise everybody may do everything. Inherited entries are cut off.
LONG SetKeyAccess(REGSAM view, const std::wstring& subkey, bool readOnly);

}  // namespace winops
