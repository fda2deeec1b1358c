// velquist-check.exe: runs velquist.exe through the scenarios that show it
// works on this Windows, and leaves the three target values exactly as they
// were.
//
//   velquist-check.exe [/report FILE] [/only TEXT] [/nobox] [PATH OF velquist.exe]
//
// Exit code: 0 all passed (or skipped), 1 a case failed, 2 refused or could
// not run, 3 interrupted (values restored).
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cases.h"
#include "snapshot.h"

namespace {

const wchar_t kKitMutex[] = L"Global\\velquist-check-9E0C4F77";
const wchar_t kInstanceMutex[] = L"BCB43F0C-3106-4701-A096-65BB83D7C47D";
const wchar_t kGlobalMutex[] = L"Global\\F5E1A2AA-85D2-483B-A417-12471FC6DB88";

Snapshot g_before;
std::wstring g_snapshotPath;
// Held around every registry change of the kit, so that an interrupt never
// restores in the middle of one.
CRITICAL_SECTION g_registry;
volatile LONG g_finished = 0;

void Say(const std::string& line) {
    fputs((line + "\n").c_str(), stdout);
    fflush(stdout);
}

std::wstring SelfPath() {
    wchar_t path[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    return path;
}

std::wstring DirOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring BaseOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool IsAdmin() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    BOOL member = FALSE;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
        return false;
    if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
    FreeSid(admins);
    return member != FALSE;
}

// Another run of the program under test would meet the kit's locks and values.
bool ProgramRunning(const std::wstring& exe) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    std::wstring base = BaseOf(exe);
    for (BOOL ok = Process32FirstW(snap, &entry); ok && !found; ok = Process32NextW(snap, &entry))
        found = _wcsicmp(entry.szExeFile, L"velquist.exe") == 0 || _wcsicmp(entry.szExeFile, base.c_str()) == 0;
    CloseHandle(snap);
    return found;
}

bool Has64BitView() {
    BOOL wow64 = FALSE;
    typedef BOOL(WINAPI * IsWow64Fn)(HANDLE, PBOOL);
    IsWow64Fn isWow64 = reinterpret_cast<IsWow64Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// Message boxes show only on the interactive window station; a service or a
// remote shell has another one (or an invisible one).
bool InteractiveDesktop(std::string* why) {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    wchar_t name[256] = {};
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) {
        *why = "no interactive desktop (session 0, as for a service)";
        return false;
    }
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
        !(flags.dwFlags & WSF_VISIBLE) ||
        !GetUserObjectInformationW(station, UOI_NAME, name, sizeof name, nullptr) || _wcsicmp(name, L"WinSta0") != 0) {
        *why = "no interactive desktop (window station " + Narrow(name) + ", as for a remote shell)";
        return false;
    }
    return true;
}

// A desktop can be interactive and still show no box: a Wine without a
// display, say. A box of the kit's own, shown by a child and answered the way
// the cases answer velquist.exe's, tells. Only a MessageBoxW that fails
// outright counts as "no boxes here": anything else is left to the cases,
// so that a fault in the answering is never hidden as a skip.
bool BoxesShow(std::string* why) {
    winops::RunResult r = winops::Run(SelfPath(), L"velquist-check.exe /boxprobe",
                                      [](const winops::Box&) { return std::wstring(L"ok"); }, 30000);
    if (r.error || r.timedOut || r.killed || !r.boxes.empty() || r.exit == IDOK) return true;
    *why = "message boxes cannot be shown on this desktop (a test box failed, exit code " +
           std::to_string(static_cast<long>(r.exit)) + ", as without a display)";
    return false;
}

std::string SystemDescription() {
    typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW v = {};
    v.dwOSVersionInfoSize = sizeof v;
    RtlGetVersionFn getVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (getVersion) getVersion(&v);
    SYSTEM_INFO si = {};
    GetNativeSystemInfo(&si);
    const char* arch = "unknown";
    switch (si.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL: arch = "x86"; break;
    case PROCESSOR_ARCHITECTURE_AMD64: arch = "x64"; break;
    case 12: arch = "ARM64"; break;  // PROCESSOR_ARCHITECTURE_ARM64
    }
    // x86 code on ARM64 is told it runs on x64 or x86; ask the system itself.
    typedef BOOL(WINAPI * IsWow64Process2Fn)(HANDLE, USHORT*, USHORT*);
    IsWow64Process2Fn wow2 = reinterpret_cast<IsWow64Process2Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0, native = 0;
    if (wow2 && wow2(GetCurrentProcess(), &process, &native) && native == 0xAA64) arch = "ARM64";
    LANGID ui = GetUserDefaultUILanguage();
    wchar_t lang[LOCALE_NAME_MAX_LENGTH] = {};
    GetLocaleInfoW(MAKELCID(ui, SORT_DEFAULT), LOCALE_SISO639LANGNAME, lang, LOCALE_NAME_MAX_LENGTH);
    wchar_t country[LOCALE_NAME_MAX_LENGTH] = {};
    GetLocaleInfoW(MAKELCID(ui, SORT_DEFAULT), LOCALE_SISO3166CTRYNAME, country, LOCALE_NAME_MAX_LENGTH);
    char line[256];
    snprintf(line, sizeof line, "Windows %lu.%lu.%lu%s, %s, UI language %s-%s (0x%04x)", v.dwMajorVersion,
             v.dwMinorVersion, v.dwBuildNumber, v.wProductType == VER_NT_WORKSTATION ? "" : " Server", arch,
             Narrow(lang).c_str(), Narrow(country).c_str(), ui);
    return line;
}

// Waits for the locks of velquist.exe, so that no run killed with the kit is
// still writing when the values are put back. A lock still held after the wait
// is no reason to leave the values broken.
void WaitForRunsToEnd(winops::Mutexes* held) {
    held->Add(kInstanceMutex, true, 10000);
    held->Add(kGlobalMutex, true, 10000);
}

// Ends the runs that a dead kit had started: its job normally took them with
// it, but one created in the moment before it joined the job, or on a system
// that refused the job, would live on (suspended, for ever).
void EndOrphans(DWORD kitPid, const std::wstring& exeName) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
        // A process still suspended from its creation may have no name yet.
        if (entry.th32ParentProcessID != kitPid || entry.th32ProcessID == GetCurrentProcessId() ||
            (entry.szExeFile[0] && _wcsicmp(entry.szExeFile, exeName.c_str()) != 0))
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process) continue;
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
    CloseHandle(snap);
}

// The guardian: a copy of the kit that waits for the kit to end and puts the
// values back from the saved file if the kit could not (killed, crashed).
int Guardian(DWORD pid, const std::wstring& path, const std::wstring& readyEvent, const std::wstring& exeName) {
    HANDLE kit = OpenProcess(SYNCHRONIZE, FALSE, pid);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str());
    if (!kit || !ready) return 2;
    SetEvent(ready);
    CloseHandle(ready);
    WaitForSingleObject(kit, INFINITE);
    CloseHandle(kit);
    // Also after an interrupt that restored the values: a run created in the
    // moment before the kit ended the others may be waiting, suspended.
    EndOrphans(pid, exeName);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;  // the kit finished its work
    winops::Mutexes held;
    held.Add(kKitMutex, true, 60000);
    WaitForRunsToEnd(&held);
    Snapshot snapshot;
    std::string why;
    // A failed restore keeps the file, so that the next run of the kit tries again.
    if (!snapshot.Load(path, &why) || !snapshot.Restore(&why)) return 1;
    DeleteFileW(path.c_str());
    return 0;
}

bool StartGuardian(const std::wstring& exe, std::string* why) {
    wchar_t name[64];
    swprintf(name, 64, L"Local\\velquist-check-guard-%lu", GetCurrentProcessId());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name);
    if (!ready) {
        *why = "cannot create an event: error " + std::to_string(GetLastError());
        return false;
    }
    std::wstring self = SelfPath();
    std::wstring cmd = L"\"" + self + L"\" /guardian " + std::to_wstring(GetCurrentProcessId()) + L" \"" +
                       g_snapshotPath + L"\" " + name + L" \"" + BaseOf(exe) + L"\"";
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // Detached, in a group of its own and out of any job of the kit: neither
    // Ctrl-C, nor the console closing, nor the end of the kit's job ends it.
    DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    if (!CreateProcessW(self.c_str(), buf.data(), nullptr, nullptr, FALSE, flags | CREATE_BREAKAWAY_FROM_JOB,
                        nullptr, nullptr, &si, &pi) &&
        !CreateProcessW(self.c_str(), buf.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi)) {
        *why = "cannot start its guardian: error " + std::to_string(GetLastError());
        CloseHandle(ready);
        return false;
    }
    CloseHandle(pi.hThread);
    HANDLE waits[2] = {ready, pi.hProcess};
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, 60000);
    CloseHandle(pi.hProcess);
    CloseHandle(ready);
    if (r != WAIT_OBJECT_0) {
        *why = "its guardian did not start";
        return false;
    }
    return true;
}

// Puts the values back and marks the work done by removing the saved file.
bool RestoreAll(std::string* why) {
    if (!g_before.Restore(why)) return false;
    Snapshot after;
    if (!after.Take(why)) return false;
    if (!(after == g_before)) {
        *why = "after restoring, " + g_before.Diff(after);
        return false;
    }
    DeleteFileW(g_snapshotPath.c_str());
    return true;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
    if (InterlockedExchange(&g_finished, 1)) return TRUE;
    winops::KillAllRuns();
    EnterCriticalSection(&g_registry);
    winops::Mutexes held;
    WaitForRunsToEnd(&held);
    std::string why;
    bool ok = RestoreAll(&why);
    Say(ok ? "interrupted: the values are as they were before the run"
           : "interrupted: " + why + " (the guardian will try again)");
    ExitProcess(3);
}

int Usage() {
    Say("usage: velquist-check.exe [/report FILE] [/only TEXT] [/nobox] [PATH OF velquist.exe]");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // IDOK once answered; anything else when no box can be shown.
    if (argc == 2 && wcscmp(argv[1], L"/boxprobe") == 0)
        return MessageBoxW(nullptr, L"velquist-check", L"velquist-check", MB_OK);
    if (argc == 6 && wcscmp(argv[1], L"/guardian") == 0)
        return Guardian(wcstoul(argv[2], nullptr, 10), argv[3], argv[4], argv[5]);

    std::wstring exe, report, only;
    bool noBox = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (_wcsicmp(a.c_str(), L"/report") == 0 && i + 1 < argc) report = argv[++i];
        else if (_wcsicmp(a.c_str(), L"/only") == 0 && i + 1 < argc) only = argv[++i];
        else if (_wcsicmp(a.c_str(), L"/nobox") == 0) noBox = true;
        else if (a.empty() || a[0] == L'/' || !exe.empty()) return Usage();
        else exe = a;
    }
    if (exe.empty()) exe = DirOf(SelfPath()) + L"\\velquist.exe";
    wchar_t full[MAX_PATH * 2];
    if (GetFullPathNameW(exe.c_str(), MAX_PATH * 2, full, nullptr)) exe = full;

    // Refusals come before any change.
    if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say("refused: " + Narrow(exe) + " does not exist; give the path of velquist.exe.");
        return 2;
    }
    if (!IsAdmin()) {
        Say("refused: velquist-check.exe needs administrator rights; run it from an elevated prompt.");
        return 2;
    }
    if (ProgramRunning(exe)) {
        Say("refused: a velquist.exe is running; let it finish first, then run velquist-check.exe again.");
        return 2;
    }
    winops::Mutexes kitLock;
    if (kitLock.Add(kKitMutex, true, 30000) == WAIT_TIMEOUT) {
        Say("refused: another velquist-check.exe is running.");
        return 2;
    }

    InitializeCriticalSection(&g_registry);
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    g_snapshotPath = std::wstring(temp) + L"velquist-check.snapshot";
    std::string why;
    // A kit killed together with its guardian left its saved state behind.
    if (GetFileAttributesW(g_snapshotPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        Snapshot left;
        if (!left.Load(g_snapshotPath, &why) || !left.Restore(&why)) {
            Say("refused: an earlier run left " + Narrow(g_snapshotPath) + " and it cannot be restored: " + why);
            return 2;
        }
        DeleteFileW(g_snapshotPath.c_str());
        Say("note: restored the values that an earlier, interrupted run had saved");
    }
    if (!g_before.Take(&why) || !g_before.Save(g_snapshotPath, &why) || !StartGuardian(exe, &why)) {
        DeleteFileW(g_snapshotPath.c_str());
        Say("refused: " + why);
        return 2;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

    System system;
    system.exe = exe;
    system.has64 = Has64BitView();
    system.desktop = !noBox && InteractiveDesktop(&system.noDesktop) && BoxesShow(&system.noDesktop);
    if (noBox) system.noDesktop = "message boxes not wanted (/nobox)";
    system.japanese = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE;
    system.before = &g_before;
    // Keys that existed keep their permissions; on a 32-bit system both
    // uninstall readings are one key.
    if (!g_before.KeyExisted(2)) system.refusable = SVC;
    else if (!g_before.KeyExisted(0)) system.refusable = U32;
    else if (system.has64 && !g_before.KeyExisted(1)) system.refusable = U64;

    std::vector<std::string> lines;
    lines.push_back("velquist-check: " + Narrow(exe));
    lines.push_back("system: " + SystemDescription());
    for (const std::string& l : lines) Say(l);

    int passed = 0, failed = 0, skipped = 0;
    for (const Case& c : AllCases()) {
        if (!only.empty() && c.name.find(Narrow(only)) == std::string::npos) continue;
        std::string skip;
        if ((c.needs & kBoxes) && !system.desktop) skip = system.noDesktop;
        else if ((c.needs & k64) && !system.has64) skip = "no 64-bit registry view on 32-bit Windows";
        else if ((c.needs & kOwnKey) && system.refusable < 0)
            skip = "every target key exists on this system, and the kit changes no permissions of a key it did not create";
        std::string line;
        if (!skip.empty()) {
            ++skipped;
            line = "skip  " + c.name + ": " + skip;
        } else {
            EnterCriticalSection(&g_registry);
            std::string result = c.run(system);
            LeaveCriticalSection(&g_registry);
            if (result.empty()) {
                ++passed;
                line = "pass  " + c.name;
            } else {
                ++failed;
                line = "FAIL  " + c.name + ": " + result;
            }
        }
        Say(line);
        lines.push_back(line);
    }

    // An interrupt that came first restores and ends the process; it needs
    // the registry lock, so this thread must wait without it.
    if (InterlockedExchange(&g_finished, 1)) Sleep(INFINITE);
    EnterCriticalSection(&g_registry);
    bool restored = RestoreAll(&why);
    std::string summary = std::to_string(passed) + " passed, " + std::to_string(failed) + " failed" +
                          (skipped ? ", " + std::to_string(skipped) + " skipped" : "");
    std::string closing = restored ? "values restored as they were before the run"
                                   : "NOT RESTORED: " + why + " (saved state kept in " + Narrow(g_snapshotPath) + ")";
    lines.push_back(closing);
    lines.push_back(summary);
    Say(closing);
    Say(summary);
    LeaveCriticalSection(&g_registry);

    if (!report.empty()) {
        FILE* f = _wfopen(report.c_str(), L"wb");
        if (!f) {
            Say("cannot write the report " + Narrow(report));
            return 2;
        }
        for (const std::string& l : lines) fputs((l + "\r\n").c_str(), f);
        fclose(f);
    }
    if (!restored) return 2;
    return failed ? 1 : 0;
}
