// A deliberately broken lock for the acceptance kit's own test: it never takes
// the mutex, so two runs can work at once. Linked instead of
// platform/mutexlock.cpp into velquist-nolock.exe.
#include "mutexlock.h"

CMutexLock::CMutexLock(LPCWSTR, DWORD timeout) : m_hMutex(nullptr), m_dwTimeout(timeout), m_szName() {}

CMutexLock::~CMutexLock() {}

BOOL CMutexLock::Lock() { return TRUE; }

void CMutexLock::Unlock() {}
