#include "winops.h"

#include <aclapi.h>

#include <cstring>
#include <set>

namespace winops {

// ---- registry -------------------------------------------------------------

LONG ReadValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, StoredValue* out) {
    *out = StoredValue();
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_QUERY_VALUE | view, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    out->key = true;
    DWORD type = 0, size = 0;
    rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size + 1);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    out->exists = true;
    out->type = type;
    out->data.assign(data.begin(), data.begin() + size);
    return ERROR_SUCCESS;
}

LONG WriteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, DWORD type,
                const std::vector<BYTE>& value) {
    DWORD count = static_cast<DWORD>(value.size());
    // RegSetValueExW adds a terminator that the caller "forgot" when the
    // string is followed by a NUL in memory; padding keeps the bytes exact.
    std::vector<BYTE> data(value);
    data.insert(data.end(), 3, 0xFF);
    HKEY key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE | view, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, name.c_str(), 0, type, count ? data.data() : nullptr, count);
    // A value not stored byte for byte would make a test prove nothing, and a
    // restore lose data.
    std::vector<BYTE> stored(count + 16);
    DWORD size = static_cast<DWORD>(stored.size()), storedType = 0;
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key, name.c_str(), nullptr, &storedType, stored.data(), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return rc;
    if (storedType != type || size != count || memcmp(stored.data(), value.data(), count) != 0)
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

LONG DeleteValue(REGSAM view, const std::wstring& subkey, const std::wstring& name, bool* existed) {
    *existed = false;
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_SET_VALUE | view, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegDeleteValueW(key, name.c_str());
        RegCloseKey(key);
    }
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    *existed = rc == ERROR_SUCCESS;
    return rc;
}

LONG DeleteKey(REGSAM view, const std::wstring& subkey, bool* existed) {
    *existed = false;
    LONG rc = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), view, 0);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    *existed = rc == ERROR_SUCCESS;
    return rc;
}

LONG CreateKey(REGSAM view, const std::wstring& subkey, bool* created) {
    HKEY key;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | view,
                              nullptr, &key, &disposition);
    *created = rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc;
}

LONG SetKeyAccess(REGSAM view, const std::wstring& subkey, bool readOnly) {
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, WRITE_DAC | READ_CONTROL | view, &key);
    if (rc != ERROR_SUCCESS) return rc;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        rc = static_cast<LONG>(GetLastError());
        RegCloseKey(key);
        return rc;
    }
    EXPLICIT_ACCESSW ea = {};
    ea.grfAccessPermissions = readOnly ? (KEY_READ | DELETE | WRITE_DAC) : KEY_ALL_ACCESS;
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL acl = nullptr;
    rc = SetEntriesInAclW(1, &ea, nullptr, &acl);
    if (rc == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
        // Protected, so that no inherited entry grants the write back.
        SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
        LocalFree(acl);
    }
    FreeSid(everyone);
    RegCloseKey(key);
    return rc;
}

// ---- message boxes ----------------------------------------------------------

namespace {

std::wstring TextOf(HWND hwnd) {
    wchar_t buf[1024] = {};
    GetWindowTextW(hwnd, buf, 1024);
    return buf;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t buf[64] = {};
    GetClassNameW(hwnd, buf, 64);
    return buf;
}

struct BoxSearch {
    DWORD pid;
    const std::set<HWND>* seen;
    HWND found;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM param) {
    BoxSearch* s = reinterpret_cast<BoxSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == s->pid && IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770" && !s->seen->count(hwnd)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct Button {
    int id;
    int left;
    HWND hwnd;
    std::wstring text;
};

struct BoxParts {
    std::vector<Button> buttons;
    bool icon = false;
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
    BoxParts* box = reinterpret_cast<BoxParts*>(param);
    if (!IsWindowVisible(hwnd)) return TRUE;
    std::wstring cls = ClassOf(hwnd);
    if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        RECT r;
        GetWindowRect(hwnd, &r);
        box->buttons.push_back({GetDlgCtrlID(hwnd), r.left, hwnd, TextOf(hwnd)});
    } else if (_wcsicmp(cls.c_str(), L"Static") == 0 &&
               (GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        DWORD_PTR icon = 0;
        SendMessageTimeoutW(hwnd, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
        if (icon) box->icon = true;
    }
    return TRUE;
}

Box Describe(HWND hwnd, BoxParts* parts, DWORD at) {
    EnumChildWindows(hwnd, CollectChild, reinterpret_cast<LPARAM>(parts));
    // Left to right, as the user sees them.
    for (size_t i = 1; i < parts->buttons.size(); ++i)
        for (size_t j = i; j > 0 && parts->buttons[j].left < parts->buttons[j - 1].left; --j)
            std::swap(parts->buttons[j], parts->buttons[j - 1]);
    Box box;
    box.caption = TextOf(hwnd);
    box.text = TextOf(GetDlgItem(hwnd, 0xFFFF));
    for (const Button& b : parts->buttons) {
        box.buttons.push_back(b.text);
        box.ids.push_back(b.id);
    }
    box.icon = parts->icon;
    box.at = at;
    return box;
}

int AnswerId(const std::wstring& answer) {
    if (answer == L"yes") return IDYES;
    if (answer == L"no") return IDNO;
    if (answer == L"ok") return IDOK;
    if (answer == L"cancel") return IDCANCEL;
    return 0;
}

// Every job of a run in progress, so that a console handler can end them.
CRITICAL_SECTION g_jobsLock;
std::set<HANDLE> g_jobs;
// Set by KillAllRuns: a caller that is being stopped starts nothing new.
volatile LONG g_stopping = 0;
struct JobsInit {
    JobsInit() { InitializeCriticalSection(&g_jobsLock); }
} g_jobsInit;

// A job that kills its processes when its last handle closes, so that a run
// never outlives its caller. NULL when the system refuses one (an old system
// where the caller already sits in a job): the process handle is then the
// only way to end the run.
HANDLE NewJob() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    EnterCriticalSection(&g_jobsLock);
    g_jobs.insert(job);
    LeaveCriticalSection(&g_jobsLock);
    return job;
}

void EndJob(HANDLE job) {
    if (!job) return;
    EnterCriticalSection(&g_jobsLock);
    g_jobs.erase(job);
    LeaveCriticalSection(&g_jobsLock);
    CloseHandle(job);
}

// Starts the process suspended, in the job, and returns its handles.
bool Start(const std::wstring& exe, const std::wstring& cmdline, HANDLE job, PROCESS_INFORMATION* pi,
           DWORD* error) {
    if (g_stopping) {
        *error = ERROR_CANCELLED;
        return false;
    }
    std::vector<wchar_t> buf(cmdline.begin(), cmdline.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &si, pi)) {
        *error = GetLastError();
        return false;
    }
    if (job) AssignProcessToJobObject(job, pi->hProcess);
    // Stopped between the creation and the job: the job's end missed it.
    if (g_stopping) {
        TerminateProcess(pi->hProcess, 0xDEAD);
        CloseHandle(pi->hThread);
        CloseHandle(pi->hProcess);
        *error = ERROR_CANCELLED;
        return false;
    }
    return true;
}

void End(HANDLE job, HANDLE process) {
    if (job) TerminateJobObject(job, 0xDEAD);
    TerminateProcess(process, 0xDEAD);
    WaitForSingleObject(process, 5000);
}

}  // namespace

RunResult Run(const std::wstring& exe, const std::wstring& cmdline, const Answerer& answer,
              DWORD timeoutMs) {
    RunResult result;
    HANDLE job = NewJob();
    PROCESS_INFORMATION pi = {};
    if (!Start(exe, cmdline, job, &pi, &result.error)) {
        EndJob(job);
        return result;
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);

    DWORD start = GetTickCount();
    std::set<HWND> seen;
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > timeoutMs) {
            result.timedOut = true;
            End(job, pi.hProcess);
            break;
        }
        BoxSearch search = {pi.dwProcessId, &seen, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found) continue;
        HWND hwnd = search.found;
        seen.insert(hwnd);
        BoxParts parts;
        result.boxes.push_back(Describe(hwnd, &parts, GetTickCount() - start));
        std::wstring reply = answer ? answer(result.boxes.back()) : std::wstring();
        if (reply == L"kill") {
            result.killed = true;
            End(job, pi.hProcess);
            break;
        }
        if (reply == L"close") {
            PostMessageW(hwnd, WM_CLOSE, 0, 0);
            continue;
        }
        int id = AnswerId(reply);
        HWND button = nullptr;
        for (const Button& b : parts.buttons)
            if (b.id == id) button = b.hwnd;
        if (!button) {
            // An unexpected box or a missing button: leave it up and let the
            // time-out end the run, so the transcript shows what happened.
            if (result.problem.empty())
                result.problem = "no answer for box " + std::to_string(seen.size()) + ": " +
                                 std::string(reply.begin(), reply.end());
            continue;
        }
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    }
    GetExitCodeProcess(pi.hProcess, &result.exit);
    result.ms = GetTickCount() - start;
    CloseHandle(pi.hProcess);
    EndJob(job);
    return result;
}

std::vector<DWORD> RunMany(const std::wstring& exe, const std::wstring& cmdline, int count,
                           DWORD timeoutMs, DWORD* error) {
    *error = 0;
    HANDLE job = NewJob();
    std::vector<HANDLE> procs, threads;
    for (int i = 0; i < count; ++i) {
        PROCESS_INFORMATION pi = {};
        if (!Start(exe, cmdline, job, &pi, error)) break;
        threads.push_back(pi.hThread);
        procs.push_back(pi.hProcess);
    }
    // Created suspended and let go together, so that they meet at the locks.
    for (HANDLE t : threads) {
        if (*error) TerminateThread(t, 0xDEAD);
        else ResumeThread(t);
        CloseHandle(t);
    }
    std::vector<DWORD> codes;
    DWORD start = GetTickCount();
    for (HANDLE p : procs) {
        DWORD code = 0xDEAD, spent = GetTickCount() - start;
        if (!*error && WaitForSingleObject(p, spent < timeoutMs ? timeoutMs - spent : 0) == WAIT_OBJECT_0)
            GetExitCodeProcess(p, &code);
        else
            End(nullptr, p);
        CloseHandle(p);
        codes.push_back(code);
    }
    EndJob(job);
    return codes;
}

void KillAllRuns() {
    InterlockedExchange(&g_stopping, 1);
    EnterCriticalSection(&g_jobsLock);
    for (HANDLE job : g_jobs) TerminateJobObject(job, 0xDEAD);
    LeaveCriticalSection(&g_jobsLock);
}

// ---- mutexes ----------------------------------------------------------------

DWORD Mutexes::Add(const std::wstring& name, bool own, DWORD timeoutMs) {
    HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!h) return WAIT_FAILED;
    DWORD r = own ? WaitForSingleObject(h, timeoutMs) : WAIT_OBJECT_0;
    handles_.push_back(h);
    owned_.push_back(own && (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED));
    return r;
}

void Mutexes::Close() {
    for (size_t i = 0; i < handles_.size(); ++i) {
        if (owned_[i]) ReleaseMutex(handles_[i]);
        CloseHandle(handles_[i]);
    }
    handles_.clear();
    owned_.clear();
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
        HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
        if (!h || WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) job->ok = false;
        if (h) CloseHandle(h);  // the handle goes, the ownership stays
    }
    return 0;
}

}  // namespace

bool AbandonMutexes(const std::vector<std::wstring>& names, Mutexes* keep) {
    for (const std::wstring& name : names)
        if (keep->Add(name, false) == WAIT_FAILED) return false;
    OwnAndEnd job = {&names, false};
    HANDLE thread = CreateThread(nullptr, 0, OwnAndEndThread, &job, 0, nullptr);
    if (!thread) return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return job.ok;
}

DWORD ProbeMutex(const std::wstring& name) {
    HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!h) return WAIT_FAILED;
    DWORD r = WaitForSingleObject(h, 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(h);
    CloseHandle(h);
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
