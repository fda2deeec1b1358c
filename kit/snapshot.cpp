#include "snapshot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct KeyPlace {
    REGSAM view;
    const wchar_t* subkey;
    const wchar_t* names[2];
    int count;
};
// The service key is one key that both views share.
const KeyPlace kKeys[3] = {
    {KEY_WOW64_32KEY, kUninstallKey, {facts::kUninstallString, facts::kDisplayIcon}, 2},
    {KEY_WOW64_64KEY, kUninstallKey, {facts::kUninstallString, facts::kDisplayIcon}, 2},
    {KEY_WOW64_64KEY, kServiceKey, {facts::kImagePath, nullptr}, 1},
};
const SlotPlace kSlotPlaces[kSlots] = {
    {0, KEY_WOW64_32KEY, kUninstallKey, facts::kUninstallString},
    {0, KEY_WOW64_32KEY, kUninstallKey, facts::kDisplayIcon},
    {1, KEY_WOW64_64KEY, kUninstallKey, facts::kUninstallString},
    {1, KEY_WOW64_64KEY, kUninstallKey, facts::kDisplayIcon},
    {2, KEY_WOW64_64KEY, kServiceKey, facts::kImagePath},
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

namespace {

// 3: the state key may also say that the run made its service, which a kit
// that reads only 2 would leave behind; 2 never has one.
const char kHeader[] = "velquist-check saved state 3";
const char kHeaderWithoutService[] = "velquist-check saved state 2";

const char* ViewName(REGSAM view) { return view == KEY_WOW64_32KEY ? "32" : "64"; }

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// A whole field of decimal digits, at most `max`.
bool Number(const std::string& field, unsigned long max, unsigned long* out) {
    if (field.empty() || field.size() > 10 || field.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = strtoul(field.c_str(), nullptr, 10);
    return *out <= max;
}

bool Bytes(const std::string& hex, std::vector<BYTE>* out) {
    if (hex.size() % 2 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) out->push_back(static_cast<BYTE>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

}  // namespace

std::string Snapshot::Text() const {
    std::string text = std::string(kHeader) + "\n";
    static const char digits[] = "0123456789abcdef";
    for (int k = 0; k < 3; ++k) {
        text += "key " + std::to_string(k) + " " + ViewName(kKeys[k].view) + " " + (keys_[k].existed ? "1" : "0") +
                " " + Narrow(kKeys[k].subkey) + "\n";
        for (int v = 0; v < kKeys[k].count; ++v) {
            const winops::StoredValue& value = keys_[k].values[v];
            text += "value " + std::to_string(k) + " " + std::to_string(v) + " " + (value.exists ? "1" : "0") + " " +
                    std::to_string(value.exists ? value.type : 0) + " ";
            if (value.exists)
                for (BYTE b : value.data) {
                    text += digits[b >> 4];
                    text += digits[b & 15];
                }
            text += " " + Narrow(kKeys[k].names[v]) + "\n";
        }
    }
    return text + "end\n";
}

bool Snapshot::Parse(const std::string& text, std::string* why) {
    *why = "the saved state is damaged";
    std::vector<std::string> lines = Split(text, '\n');
    // The last line ends with a newline: an empty field after it.
    if (lines.size() < 3 || (lines[0] != kHeader && lines[0] != kHeaderWithoutService) ||
        lines[lines.size() - 2] != "end" || !lines.back().empty())
        return false;
    bool seenKey[3] = {}, seenValue[3][2] = {};
    Key keys[3];
    for (size_t i = 1; i + 2 < lines.size(); ++i) {
        std::vector<std::string> f = Split(lines[i], ' ');
        unsigned long k = 0, v = 0, flag = 0, type = 0;
        if (f.size() == 5 && f[0] == "key" && Number(f[1], 2, &k) && Number(f[3], 1, &flag)) {
            if (f[2] != ViewName(kKeys[k].view) || f[4] != Narrow(kKeys[k].subkey)) {
                *why = "the saved state names another key (" + f[4] + ")";
                return false;
            }
            if (seenKey[k]) return false;
            seenKey[k] = true;
            keys[k].existed = flag == 1;
        } else if (f.size() == 7 && f[0] == "value" && Number(f[1], 2, &k) && Number(f[2], 1, &v) &&
                   static_cast<int>(v) < kKeys[k].count && Number(f[3], 1, &flag) && Number(f[4], 0xffffffff, &type)) {
            if (f[6] != Narrow(kKeys[k].names[v])) {
                *why = "the saved state names another value (" + f[6] + ")";
                return false;
            }
            winops::StoredValue& value = keys[k].values[v];
            if (seenValue[k][v] || !Bytes(f[5], &value.data) || (flag == 0 && (type != 0 || !value.data.empty())))
                return false;
            seenValue[k][v] = true;
            value.exists = flag == 1;
            value.type = type;
        } else {
            return false;
        }
    }
    for (int k = 0; k < 3; ++k) {
        if (!seenKey[k]) return false;
        for (int v = 0; v < kKeys[k].count; ++v) {
            // A value in a key that did not exist cannot have been seen.
            if (!seenValue[k][v] || (keys[k].values[v].exists && !keys[k].existed)) return false;
            keys[k].values[v].key = keys[k].existed;
        }
    }
    for (int k = 0; k < 3; ++k) keys_[k] = keys[k];
    why->clear();
    return true;
}

bool Snapshot::Restore(std::string* why) const {
    bool ok = true;
    for (int k = 0; k < 3; ++k) {
        const KeyPlace& place = kKeys[k];
        // A key the kit created may still be read-only from the last case,
        // which would refuse the clearing of its values.
        if (!keys_[k].existed) winops::SetKeyAccess(place.view, place.subkey, false);
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
