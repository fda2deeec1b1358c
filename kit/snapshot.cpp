#include "snapshot.h"

#include <cstdio>
#include <cstring>

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RADADIRorUzavovazo";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\VedOvedavu";

namespace {

struct KeyPlace {
    REGSAM view;
    const wchar_t* subkey;
    const wchar_t* names[2];
    int count;
};
// The service key is one key that both views share.
const KeyPlace kKeys[3] = {
    {KEY_WOW64_32KEY, kUninstallKey, {L"UninstallString", L"DisplayIcon"}, 2},
    {KEY_WOW64_64KEY, kUninstallKey, {L"UninstallString", L"DisplayIcon"}, 2},
    {KEY_WOW64_64KEY, kServiceKey, {L"ImagePath", nullptr}, 1},
};
const SlotPlace kSlotPlaces[kSlots] = {
    {0, KEY_WOW64_32KEY, kUninstallKey, L"UninstallString"},
    {0, KEY_WOW64_32KEY, kUninstallKey, L"DisplayIcon"},
    {1, KEY_WOW64_64KEY, kUninstallKey, L"UninstallString"},
    {1, KEY_WOW64_64KEY, kUninstallKey, L"DisplayIcon"},
    {2, KEY_WOW64_64KEY, kServiceKey, L"ImagePath"},
};

std::string Why(const char* what, int key, LONG rc) {
    return std::string(what) + " " + Narrow(kKeys[key].subkey) +
           (kKeys[key].view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)") + ": error " +
           std::to_string(rc);
}

bool SameValue(const winops::StoredValue& a, const winops::StoredValue& b) {
    return a.exists == b.exists && (!a.exists || (a.type == b.type && a.data == b.data));
}

}  // namespace

const SlotPlace& PlaceOf(int slot) { return kSlotPlaces[slot]; }

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

bool Snapshot::Take(std::string* why) {
    for (int k = 0; k < 3; ++k) {
        keys_[k] = Key();
        for (int v = 0; v < kKeys[k].count; ++v) {
            LONG rc = winops::ReadValue(kKeys[k].view, kKeys[k].subkey, kKeys[k].names[v], &keys_[k].values[v]);
            if (rc != ERROR_SUCCESS) {
                *why = Why("cannot read", k, rc);
                return false;
            }
            keys_[k].existed = keys_[k].values[v].key;
        }
    }
    return true;
}

bool Snapshot::Save(const std::wstring& path, std::string* why) const {
    std::string text = "velquist-check snapshot 1\n";
    static const char digits[] = "0123456789abcdef";
    for (int k = 0; k < 3; ++k) {
        text += "key " + std::to_string(k) + " " + (keys_[k].existed ? "1" : "0") + "\n";
        for (int v = 0; v < kKeys[k].count; ++v) {
            const winops::StoredValue& value = keys_[k].values[v];
            text += "value " + std::to_string(k) + " " + std::to_string(v) + " " +
                    (value.exists ? "1" : "0") + " " + std::to_string(value.type) + " ";
            for (BYTE b : value.data) {
                text += digits[b >> 4];
                text += digits[b & 15];
            }
            text += "\n";
        }
    }
    text += "end\n";
    // Written aside and moved into place, so that a kill never leaves half a file.
    std::wstring temp = path + L".new";
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = "cannot write " + Narrow(temp) + ": error " + std::to_string(GetLastError());
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok || !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *why = "cannot write " + Narrow(path) + ": error " + std::to_string(GetLastError());
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

bool Snapshot::Load(const std::wstring& path, std::string* why) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = "cannot open " + Narrow(path) + ": error " + std::to_string(GetLastError());
        return false;
    }
    std::string text;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got) text.append(buf, got);
    CloseHandle(file);
    *why = "damaged snapshot " + Narrow(path);
    if (text.compare(0, 26, "velquist-check snapshot 1\n") != 0 || text.size() < 4 ||
        text.compare(text.size() - 4, 4, "end\n") != 0)
        return false;
    bool seen[3][3] = {};
    size_t pos = 26;
    while (pos < text.size() - 4) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        int k = -1, v = -1, flag = -1;
        unsigned long type = 0;
        int used = 0;
        if (sscanf(line.c_str(), "key %d %d%n", &k, &flag, &used) == 2 && used == (int)line.size()) {
            if (k < 0 || k > 2 || flag < 0 || flag > 1) return false;
            keys_[k].existed = flag == 1;
            seen[k][2] = true;
        } else if (sscanf(line.c_str(), "value %d %d %d %lu %n", &k, &v, &flag, &type, &used) == 4) {
            if (k < 0 || k > 2 || v < 0 || v >= kKeys[k].count || flag < 0 || flag > 1) return false;
            std::string hex = line.substr(used);
            if (hex.size() % 2) return false;
            winops::StoredValue& value = keys_[k].values[v];
            value = winops::StoredValue();
            value.exists = flag == 1;
            value.key = keys_[k].existed;
            value.type = type;
            for (size_t i = 0; i < hex.size(); i += 2) {
                unsigned byte;
                if (sscanf(hex.c_str() + i, "%2x", &byte) != 1) return false;
                value.data.push_back(static_cast<BYTE>(byte));
            }
            seen[k][v] = true;
        } else {
            return false;
        }
    }
    for (int k = 0; k < 3; ++k)
        if (!seen[k][2] || !seen[k][0] || (kKeys[k].count == 2 && !seen[k][1])) return false;
    why->clear();
    return true;
}

bool Snapshot::Restore(std::string* why) const {
    bool ok = true;
    for (int k = 0; k < 3; ++k) {
        const KeyPlace& place = kKeys[k];
        for (int v = 0; v < place.count; ++v) {
            const winops::StoredValue& value = keys_[k].values[v];
            LONG rc;
            bool existed;
            if (value.exists)
                rc = winops::WriteValue(place.view, place.subkey, place.names[v], value.type, value.data);
            else
                rc = winops::DeleteValue(place.view, place.subkey, place.names[v], &existed);
            if (rc != ERROR_SUCCESS) {
                if (ok) *why = Why("cannot restore a value in", k, rc);
                ok = false;
            }
        }
    }
    // Keys last: on a 32-bit system both views name the same key, and a key
    // that existed in one reading existed in the other.
    for (int k = 0; k < 3; ++k) {
        if (keys_[k].existed) continue;
        bool existed;
        LONG rc = winops::DeleteKey(kKeys[k].view, kKeys[k].subkey, &existed);
        if (rc != ERROR_SUCCESS) {
            if (ok) *why = Why("cannot delete the key it created,", k, rc);
            ok = false;
        }
    }
    return ok;
}

bool Snapshot::Clean(std::string* why) const {
    bool ok = true;
    for (int k = 0; k < 3; ++k) {
        const KeyPlace& place = kKeys[k];
        if (!keys_[k].existed) {
            // Created by an earlier case; may still be read-only from it.
            winops::SetKeyAccess(place.view, place.subkey, false);
            bool existed;
            LONG rc = winops::DeleteKey(place.view, place.subkey, &existed);
            if (rc == ERROR_SUCCESS) continue;
        }
        for (int v = 0; v < place.count; ++v) {
            bool existed;
            LONG rc = winops::DeleteValue(place.view, place.subkey, place.names[v], &existed);
            if (rc != ERROR_SUCCESS) {
                if (ok) *why = Why("cannot clear a value in", k, rc);
                ok = false;
            }
        }
    }
    return ok;
}

bool Snapshot::operator==(const Snapshot& other) const { return Diff(other).empty(); }

std::string Snapshot::Diff(const Snapshot& other) const {
    std::string out;
    for (int k = 0; k < 3; ++k) {
        if (keys_[k].existed != other.keys_[k].existed)
            out += Narrow(kKeys[k].subkey) + (kKeys[k].view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)") +
                   (keys_[k].existed ? " exists only before" : " exists only after") + "; ";
        for (int v = 0; v < kKeys[k].count; ++v)
            if (!SameValue(keys_[k].values[v], other.keys_[k].values[v]))
                out += Narrow(kKeys[k].names[v]) + " differs in " + Narrow(kKeys[k].subkey) + "; ";
    }
    return out;
}
