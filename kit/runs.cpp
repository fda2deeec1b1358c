#include "runs.h"

#include <set>

#include "owners.h"

namespace winops {

namespace {

// Every job of a run in progress, so that a console handler can end them.
CRITICAL_SECTION g_jobsLock;
std::set<HANDLE> g_jobs;
// Set by KillAllRuns: a caller that is being stopped starts nothing new.
volatile LONG g_stopping = 0;
struct JobsInit {
    JobsInit() { InitializeCriticalSection(&g_jobsLock); }
} g_jobsInit;

// A job that kills its processes when its last handle closes, so that a run
// never outlives its caller, and that KillAllRuns can reach while it lives.
// Empty when the system refuses one (an old system where the caller already
// sits in a job): the process handle is then the only way to end the run.
class Job {
public:
    Job() {
        owners::Handle job(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!job || !SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return;
        job_ = std::move(job);
        EnterCriticalSection(&g_jobsLock);
        g_jobs.insert(job_.Get());
        LeaveCriticalSection(&g_jobsLock);
    }
    ~Job() {
        if (!job_) return;
        EnterCriticalSection(&g_jobsLock);
        g_jobs.erase(job_.Get());
        LeaveCriticalSection(&g_jobsLock);
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    HANDLE Get() const { return job_.Get(); }

private:
    owners::Handle job_;
};

struct Process {
    owners::Handle process, thread;
    DWORD id = 0;
};

// Starts the process suspended, in the job.
bool Start(const std::wstring& exe, const std::wstring& cmdline, const Job& job, Process* started, DWORD* error) {
    if (g_stopping) {
        *error = ERROR_CANCELLED;
        return false;
    }
    std::vector<wchar_t> buf(cmdline.begin(), cmdline.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi)) {
        *error = GetLastError();
        return false;
    }
    started->process.Reset(pi.hProcess);
    started->thread.Reset(pi.hThread);
    started->id = pi.dwProcessId;
    if (job.Get()) AssignProcessToJobObject(job.Get(), pi.hProcess);
    // Stopped between the creation and the job: the job's end missed it.
    if (g_stopping) {
        TerminateProcess(pi.hProcess, 0xDEAD);
        *error = ERROR_CANCELLED;
        return false;
    }
    return true;
}

void End(const Job* job, HANDLE process) {
    if (job && job->Get()) TerminateJobObject(job->Get(), 0xDEAD);
    TerminateProcess(process, 0xDEAD);
    WaitForSingleObject(process, 5000);
}

}  // namespace

RunResult Run(const std::wstring& exe, const std::wstring& cmdline, const Answerer& answer,
              DWORD timeoutMs) {
    RunResult result;
    Job job;
    Process p;
    if (!Start(exe, cmdline, job, &p, &result.error)) return result;
    ResumeThread(p.thread.Get());
    p.thread.Reset();

    DWORD start = GetTickCount();
    std::set<HWND> seen;
    while (WaitForSingleObject(p.process.Get(), 20) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > timeoutMs) {
            result.timedOut = true;
            End(&job, p.process.Get());
            break;
        }
        HWND hwnd = FindNewBox(p.id, seen);
        if (!hwnd) continue;
        seen.insert(hwnd);
        result.boxes.push_back(ReadBox(hwnd, GetTickCount() - start));
        std::wstring reply = answer ? answer(result.boxes.back()) : std::wstring();
        if (reply == L"kill") {
            result.killed = true;
            End(&job, p.process.Get());
            break;
        }
        // An unexpected box or a missing button: leave it up and let the
        // time-out end the run, so the transcript shows what happened.
        if (!AnswerBox(hwnd, result.boxes.back(), reply) && result.problem.empty())
            result.problem = "no answer for box " + std::to_string(seen.size()) + ": " +
                             std::string(reply.begin(), reply.end());
    }
    GetExitCodeProcess(p.process.Get(), &result.exit);
    result.ms = GetTickCount() - start;
    return result;
}

std::vector<DWORD> RunMany(const std::wstring& exe, const std::wstring& cmdline, int count,
                           DWORD timeoutMs, DWORD* error) {
    *error = 0;
    Job job;
    std::vector<Process> runs(count);
    int started = 0;
    while (started < count && Start(exe, cmdline, job, &runs[started], error)) ++started;
    runs.resize(started);
    // Created suspended and let go together, so that they meet at the locks.
    for (Process& p : runs) {
        if (*error) TerminateThread(p.thread.Get(), 0xDEAD);
        else ResumeThread(p.thread.Get());
        p.thread.Reset();
    }
    std::vector<DWORD> codes;
    DWORD start = GetTickCount();
    for (Process& p : runs) {
        DWORD code = 0xDEAD, spent = GetTickCount() - start;
        if (!*error && WaitForSingleObject(p.process.Get(), spent < timeoutMs ? timeoutMs - spent : 0) == WAIT_OBJECT_0)
            GetExitCodeProcess(p.process.Get(), &code);
        else
            End(nullptr, p.process.Get());
        codes.push_back(code);
    }
    return codes;
}

void KillAllRuns() {
    InterlockedExchange(&g_stopping, 1);
    EnterCriticalSection(&g_jobsLock);
    for (HANDLE job : g_jobs) TerminateJobObject(job, 0xDEAD);
    LeaveCriticalSection(&g_jobsLock);
}

}  // namespace winops
