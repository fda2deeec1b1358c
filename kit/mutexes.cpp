#include "mutexes.h"

namespace winops {

DWORD Mutexes::Add(const std::wstring& name, bool own, DWORD timeoutMs) {
    owners::Handle h(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!h) return WAIT_FAILED;
    DWORD r = own ? WaitForSingleObject(h.Get(), timeoutMs) : WAIT_OBJECT_0;
    held_.push_back({std::move(h), own && (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)});
    return r;
}

void Mutexes::Close() {
    // Released before its handle goes: the next waiter gets it, not WAIT_ABANDONED.
    for (Held& h : held_)
        if (h.owned) ReleaseMutex(h.mutex.Get());
    held_.clear();
}

namespace {

struct OwnAndEnd {
    const std::vector<std::wstring>* names;
    bool ok;
};

// A thread that ends while it owns a mutex abandons it, as a process would.
DWORD WINAPI OwnAndEndThread(LPVOID param) {
    OwnAndEnd* job = static_cast<OwnAndEnd*>(param);
    job->ok = true;
    for (const std::wstring& name : *job->names) {
        // The handle goes with the owner, the ownership stays.
        owners::Handle h(CreateMutexW(nullptr, FALSE, name.c_str()));
        if (!h || WaitForSingleObject(h.Get(), 5000) != WAIT_OBJECT_0) job->ok = false;
    }
    return 0;
}

}  // namespace

bool AbandonMutexes(const std::vector<std::wstring>& names, Mutexes* keep) {
    for (const std::wstring& name : names)
        if (keep->Add(name, false) == WAIT_FAILED) return false;
    OwnAndEnd job = {&names, false};
    owners::Handle thread(CreateThread(nullptr, 0, OwnAndEndThread, &job, 0, nullptr));
    if (!thread) return false;
    WaitForSingleObject(thread.Get(), INFINITE);
    return job.ok;
}

DWORD ProbeMutex(const std::wstring& name) {
    owners::Handle h(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!h) return WAIT_FAILED;
    DWORD r = WaitForSingleObject(h.Get(), 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(h.Get());
    return r;
}

const char* WaitName(DWORD r) {
    switch (r) {
    case WAIT_OBJECT_0: return "object_0";
    case WAIT_ABANDONED: return "abandoned";
    case WAIT_TIMEOUT: return "timeout";
    default: return "failed";
    }
}

}  // namespace winops
