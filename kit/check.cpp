// velquist-check.exe: runs velquist.exe through the scenarios that show it
// works on this Windows, and leaves the three target values exactly as they
// were.
//
//   velquist-check.exe [/report FILE] [/only TEXT] [/nobox] [PATH OF velquist.exe]
//
// Exit code: 0 all passed (or skipped), 1 a case failed, 2 refused or could
// not run, 3 interrupted (values restored).
#define _CRT_RAND_S  // rand_s, for a name nobody can make first
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cases.h"
#include "facts.h"
#include "owners.h"
#include "place.h"
#include "service.h"
#include "snapshot.h"

namespace {

const wchar_t kKitMutex[] = L"Global\\velquist-check-9E0C4F77";
using facts::kGlobalMutex;
using facts::kInstanceMutex;

Snapshot g_before;
// The folder this run made for the programs it runs.
place::FolderId g_folder;
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
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
           CheckTokenMembership(nullptr, admins, &member) && member;
}

// Another run of the program under test would meet the kit's locks and values.
bool ProgramRunning(const std::wstring& exe) {
    owners::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    std::wstring base = BaseOf(exe);
    for (BOOL ok = Process32FirstW(snap.Get(), &entry); ok && !found; ok = Process32NextW(snap.Get(), &entry))
        found = _wcsicmp(entry.szExeFile, L"velquist.exe") == 0 || _wcsicmp(entry.szExeFile, base.c_str()) == 0;
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
    owners::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap.Get(), &entry); ok; ok = Process32NextW(snap.Get(), &entry)) {
        // A process still suspended from its creation may have no name yet.
        if (entry.th32ParentProcessID != kitPid || entry.th32ProcessID == GetCurrentProcessId() ||
            (entry.szExeFile[0] && _wcsicmp(entry.szExeFile, exeName.c_str()) != 0))
            continue;
        owners::Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (!process) continue;
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), 5000);
    }
}

// The guardian: a second process of the kit that waits for the kit to end
// and, if the kit could not finish (killed, crashed), puts the values back
// from the saved state and removes the kit's folder. It takes nothing to
// trust from its command line: the saved state is where only administrators
// can write, and is checked there.
int Guardian(DWORD pid, const std::wstring& readyEvent, const std::wstring& exeName) {
    owners::Handle kit(OpenProcess(SYNCHRONIZE, FALSE, pid));
    owners::Handle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str()));
    if (!kit || !ready) return 2;
    SetEvent(ready.Get());
    ready.Reset();
    WaitForSingleObject(kit.Get(), INFINITE);
    kit.Reset();
    // Also after an interrupt that restored the values: a run created in the
    // moment before the kit ended the others may be waiting, suspended.
    EndOrphans(pid, exeName);
    // A later kit may have started and taken over; it restores what is left
    // itself, and with the lock held nobody else is at the values.
    winops::Mutexes held;
    held.Add(kKitMutex, true, INFINITE);
    std::string text, why;
    place::FolderId folder;
    bool service = false;
    if (place::LoadState(&text, &folder, &service, &why) != place::kFound) return 0;  // the kit finished its work
    WaitForRunsToEnd(&held);
    Snapshot snapshot;
    // A failed restore keeps the saved state, so that the next run of the kit tries again.
    // The service first: its key is one of the values'.
    if (service && !service::Remove(&why)) return 1;
    if (!snapshot.Parse(text, &why) || !snapshot.Restore(&why)) return 1;
    if (!place::RemoveFolder(folder, &why)) return 1;
    return place::ForgetState(&why) ? 0 : 1;
}

// A name that nobody else can have made first: the ready signal must come
// from the guardian.
std::wstring GuardEventName() {
    unsigned int a = 0, b = 0;
    rand_s(&a);
    rand_s(&b);
    wchar_t name[96];
    swprintf(name, 96, L"Local\\velquist-check-guard-%lu-%08x%08x", GetCurrentProcessId(), a, b);
    return name;
}

bool StartGuardian(const std::wstring& exe, std::string* why) {
    const std::wstring name = GuardEventName();
    owners::Handle ready(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!ready || GetLastError() == ERROR_ALREADY_EXISTS) {
        *why = "cannot create an event of its own: error " + std::to_string(GetLastError());
        return false;
    }
    // Started from the file the kit itself runs from, at once: the copy of it
    // that the user elevated.
    std::wstring self = SelfPath();
    std::wstring cmd = L"\"" + self + L"\" /guardian " + std::to_wstring(GetCurrentProcessId()) + L" " + name +
                       L" \"" + BaseOf(exe) + L"\"";
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
        return false;
    }
    owners::Handle thread(pi.hThread), guardian(pi.hProcess);
    HANDLE waits[2] = {ready.Get(), guardian.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, 60000) != WAIT_OBJECT_0) {
        *why = "its guardian did not start";
        return false;
    }
    return true;
}

// Puts the values back, removes the folder and marks the work done by
// forgetting the saved state. A folder still in use (a run not yet gone) is
// left to the guardian, which tries again once the kit has ended.
bool RestoreAll(std::string* why, std::string* note) {
    // A service case cut short: its service goes before its key's values.
    if (service::Pending() && !service::Remove(why)) return false;
    if (!g_before.Restore(why)) return false;
    Snapshot after;
    if (!after.Take(why)) return false;
    if (!(after == g_before)) {
        *why = "after restoring, " + g_before.Diff(after);
        return false;
    }
    std::string problem;
    bool removed = false;
    for (int i = 0; i < 50 && !(removed = place::RemoveFolder(g_folder, &problem)); ++i) Sleep(100);
    if (!removed) {
        *note = "note: " + problem + "; its guardian removes it once the kit has ended";
        return true;
    }
    if (!place::ForgetState(&problem)) *note = "note: " + problem;
    return true;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
    if (InterlockedExchange(&g_finished, 1)) return TRUE;
    winops::KillAllRuns();
    EnterCriticalSection(&g_registry);
    winops::Mutexes held;
    WaitForRunsToEnd(&held);
    std::string why, note;
    bool ok = RestoreAll(&why, &note);
    if (!note.empty()) Say(note);
    Say(ok ? "interrupted: the values are as they were before the run"
           : "interrupted: " + why + " (the guardian will try again)");
    ExitProcess(3);
}

// The report is written with the kit's rights to a path the user gave, which
// may lie in a folder of the user's own programs: a link planted there must
// not turn the write into one on another file.
bool OpenReport(const std::wstring& path, owners::Handle* file, std::string* why) {
    file->Reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!*file || !GetFileInformationByHandle(file->Get(), &info)) {
        *why = "cannot write the report " + Narrow(path) + ": error " + std::to_string(GetLastError());
        return false;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) || info.nNumberOfLinks != 1) {
        file->Reset();
        *why = "the report " + Narrow(path) + " is a link or a folder, not a file of its own; give another path.";
        return false;
    }
    if (!SetEndOfFile(file->Get())) {
        *why = "cannot write the report " + Narrow(path) + ": error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

int Usage() {
    Say("usage: velquist-check.exe [/report FILE] [/only TEXT] [/nobox] [PATH OF velquist.exe]");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // A copy of the service case: it takes nothing from its command line,
    // which is the service's value as Windows split it.
    if (service::IsCopy()) return service::Serve();
    // IDOK once answered; anything else when no box can be shown.
    if (argc == 2 && wcscmp(argv[1], L"/boxprobe") == 0)
        return MessageBoxW(nullptr, L"velquist-check", L"velquist-check", MB_OK);
    if (argc == 5 && wcscmp(argv[1], L"/guardian") == 0)
        return Guardian(wcstoul(argv[2], nullptr, 10), argv[3], argv[4]);

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

    owners::Handle reportFile;
    std::string why;
    if (!report.empty() && !OpenReport(report, &reportFile, &why)) {
        Say("refused: " + why);
        return 2;
    }

    InitializeCriticalSection(&g_registry);
    // A kit killed together with its guardian left its saved state behind.
    std::string left;
    place::FolderId leftFolder;
    bool leftService = false;
    switch (place::LoadState(&left, &leftFolder, &leftService, &why)) {
    case place::kRefused:
        Say("refused: " + why + ", so what is saved there cannot be trusted and nothing was written; look at it, "
            "delete it as administrator, then run velquist-check.exe again.");
        return 2;
    case place::kFound: {
        Snapshot earlier;
        if (!earlier.Parse(left, &why)) {
            Say("refused: an earlier run's saved state in HKLM\\SOFTWARE\\velquist-check cannot be used (" + why +
                "), so nothing was written; look at it, delete it as administrator, then run velquist-check.exe "
                "again.");
            return 2;
        }
        if ((leftService && !service::Remove(&why)) || !earlier.Restore(&why) ||
            !place::RemoveFolder(leftFolder, &why) || !place::ForgetState(&why)) {
            Say("refused: an earlier run's saved state cannot be restored: " + why);
            return 2;
        }
        Say("note: restored the values that an earlier, interrupted run had saved");
        break;
    }
    case place::kNone:
        break;
    }
    // Everything the kit runs comes from a folder that only administrators
    // can write to: a velquist.exe beside a download could be replaced by
    // any program of the user between two of the kit's many runs.
    std::wstring copy;
    if (!g_before.Take(&why) || !place::MakeFolder(&g_folder, &why)) {
        Say("refused: " + why);
        return 2;
    }
    if (!place::SaveState(g_before.Text(), g_folder, &why) || !place::CopyIn(exe, BaseOf(exe), &copy, &why) ||
        !service::KeepImage(&why) || !StartGuardian(copy, &why)) {
        std::string ignored;
        place::RemoveFolder(g_folder, &ignored);
        place::ForgetState(&ignored);
        Say("refused: " + why);
        return 2;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

    System system;
    system.exe = copy;
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
    system.noService = service::Unavailable(g_before);
    std::string caseNote;
    system.note = &caseNote;

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
        else if ((c.needs & kOwnService) && !system.noService.empty())
            skip = system.noService;
        std::string line;
        if (!skip.empty()) {
            ++skipped;
            line = "skip  " + c.name + ": " + skip;
        } else {
            EnterCriticalSection(&g_registry);
            caseNote.clear();
            std::string result = c.run(system);
            LeaveCriticalSection(&g_registry);
            if (result.empty()) {
                ++passed;
                line = "pass  " + c.name + (caseNote.empty() ? "" : ": " + caseNote);
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
    std::string note;
    bool restored = RestoreAll(&why, &note);
    if (!note.empty()) {
        lines.push_back(note);
        Say(note);
    }
    std::string summary = std::to_string(passed) + " passed, " + std::to_string(failed) + " failed" +
                          (skipped ? ", " + std::to_string(skipped) + " skipped" : "");
    std::string closing = restored ? "values restored as they were before the run"
                                   : "NOT RESTORED: " + why + " (saved state kept in HKLM\\SOFTWARE\\velquist-check)";
    lines.push_back(closing);
    lines.push_back(summary);
    Say(closing);
    Say(summary);
    LeaveCriticalSection(&g_registry);

    if (reportFile) {
        std::string text;
        for (const std::string& l : lines) text += l + "\r\n";
        DWORD written = 0;
        if (!WriteFile(reportFile.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            Say("cannot write the report " + Narrow(report));
            return 2;
        }
    }
    if (!restored) return 2;
    return failed ? 1 : 0;
}
