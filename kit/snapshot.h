#pragma once
// The state of the three target values in both registry views and of their
// keys, saved before the kit changes anything and put back exactly on every
// way out, also by the guardian process when the kit itself was killed.
#include <windows.h>

#include <string>
#include <vector>

#include "facts.h"
#include "narrow.h"
#include "winops.h"

using facts::kServiceKey;
using facts::kUninstallKey;

enum Slot { U32, I32, U64, I64, SVC, kSlots };

struct SlotPlace {
    int key;  // index into the snapshot's keys
    REGSAM view;
    const wchar_t* subkey;
    const wchar_t* name;
};
const SlotPlace& PlaceOf(int slot);

class Snapshot {
public:
    // Reads the live registry.
    bool Take(std::string* why);
    // The saved form, and back. Parse refuses, saying why, a text that is
    // damaged or that names keys or values other than the targets.
    std::string Text() const;
    bool Parse(const std::string& text, std::string* why);
    // Puts back every saved value byte for byte, deletes the values that were
    // not there and the keys that did not exist. Keys that existed are never
    // deleted.
    bool Restore(std::string* why) const;
    // Between cases: no target value anywhere, and the keys the kit created
    // gone again.
    bool Clean(std::string* why) const;
    bool KeyExisted(int key) const { return keys_[key].existed; }
    bool operator==(const Snapshot& other) const;
    // What differs, for a report.
    std::string Diff(const Snapshot& other) const;

private:
    struct Key {
        bool existed = false;
        winops::StoredValue values[2];
    };
    Key keys_[3];
};
