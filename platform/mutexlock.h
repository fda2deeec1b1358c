#pragma once
#include <windows.h>

// A named mutex owned for the lifetime of the object; the name is how other
// processes (and other sessions, with "Global\") see the same lock.
class CMutexLock {
public:
    CMutexLock(LPCWSTR name, DWORD timeout);
    virtual ~CMutexLock();
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

    // TRUE only when this object now owns the mutex. An abandoned mutex is
    // not a success: whoever held it died in the middle of its work.
    BOOL Lock();
    void Unlock();

    HANDLE m_hMutex;
    DWORD m_dwTimeout;
    WCHAR m_szName[MAX_PATH + 1];
};
