#pragma once
// Named mutexes held, abandoned or probed the way another run of the program
// under test, or one that died, would leave them.
#include <windows.h>

#include <string>
#include <vector>

#include "owners.h"

namespace winops {

// Named mutexes opened (and, with own, owned) by the calling thread until
// Close() or destruction.
class Mutexes {
public:
    Mutexes() = default;
    ~Mutexes() { Close(); }
    Mutexes(const Mutexes&) = delete;
    Mutexes& operator=(const Mutexes&) = delete;
    // The wait result of each name (WAIT_OBJECT_0, WAIT_ABANDONED, ...), or
    // WAIT_FAILED; GetLastError() tells why when a mutex could not be created.
    DWORD Add(const std::wstring& name, bool own, DWORD timeoutMs = 5000);
    void Close();

private:
    struct Held {
        owners::Handle mutex;
        bool owned;
    };
    std::vector<Held> held_;
};

// Opens each mutex, lets a thread of its own own them and end, and keeps the
// handles in `keep` so that the next waiter meets WAIT_ABANDONED.
bool AbandonMutexes(const std::vector<std::wstring>& names, Mutexes* keep);

// One non-waiting attempt, releasing what it got.
DWORD ProbeMutex(const std::wstring& name);

const char* WaitName(DWORD result);

}  // namespace winops
