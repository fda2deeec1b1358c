#include "mutexlock.h"

namespace {
const int kMaxNameChars = MAX_PATH - 1;
}

CMutexLock::CMutexLock(LPCWSTR name, DWORD timeout)
    : m_hMutex(nullptr), m_dwTimeout(timeout), m_szName() {
    for (int i = 0; name && i < kMaxNameChars && name[i]; ++i) m_szName[i] = name[i];
}

CMutexLock::~CMutexLock() { Unlock(); }

BOOL CMutexLock::Lock() {
    if (!m_hMutex) {
        m_hMutex = CreateMutexW(nullptr, FALSE, m_szName[0] ? m_szName : nullptr);
        if (!m_hMutex) return FALSE;
    }
    return WaitForSingleObject(m_hMutex, m_dwTimeout) == WAIT_OBJECT_0;
}

void CMutexLock::Unlock() {
    if (!m_hMutex) return;
    // Also after a failed wait: an abandoned mutex is owned by the waiter all
    // the same, and must be released so that later runs are not blocked.
    ReleaseMutex(m_hMutex);
    CloseHandle(m_hMutex);
    m_hMutex = nullptr;
}
