#include "service.h"

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include "local.h"
#include "owners.h"
#include "place.h"
#include "recorder.h"
#include "registry.h"
#include "runs.h"

namespace service {
namespace {

const wchar_t kName[] = L"VedOvedavu";
// Also how the kit knows a VedOvedavu as its own when it comes to delete one.
const wchar_t kDisplayName[] = L"velquist-check service case";
const wchar_t kAccount[] = L"NT AUTHORITY\\LocalService";
const wchar_t kArguments[] = L" -k velquist";
const DWORD kStepMs = 30000;
// A copy that nobody stops ends by itself, so that nothing of the kit lingers.
const DWORD kServeMs = 60000;

// SYSTEM and the administrators as everywhere in the kit's folder, and
// LocalService, which the copies run as, may read and execute: no more.
const wchar_t kDirSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;LS)";

std::vector<BYTE> g_image;
volatile LONG g_pending = 0;

struct ScTraits {
    static SC_HANDLE Empty() { return nullptr; }
    static bool Valid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};
typedef owners::Owner<SC_HANDLE, ScTraits> Sc;

std::string Error(const std::string& what, DWORD code) { return what + ": error " + std::to_string(code); }

std::wstring SelfPath() {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    return n && n < MAX_PATH * 2 ? path : L"";
}

// <kit folder>\svc\Service Test\vqsvc.exe -k velquist: Windows tries
// <kit folder>\svc\Service.exe first.
std::wstring Dir() { return place::FolderPath() + L"\\svc"; }
std::wstring RealDir() { return Dir() + L"\\Service Test"; }
std::wstring Real() { return RealDir() + L"\\vqsvc.exe"; }
std::wstring Planted() { return Dir() + L"\\Service.exe"; }
std::wstring Unquoted() { return Real() + kArguments; }
std::wstring Quoted() { return L"\"" + Real() + L"\"" + kArguments; }

bool Same(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// ---- the service, as the kit sees it -----------------------------------------

bool OpenManager(DWORD access, Sc* scm, std::string* why) {
    scm->Reset(OpenSCManagerW(nullptr, nullptr, access));
    if (!*scm) *why = Error("cannot open the service manager", GetLastError());
    return bool(*scm);
}

// The service's own words for its program and account.
bool Config(SC_HANDLE svc, std::wstring* display, std::wstring* path, std::wstring* account, std::string* why) {
    std::vector<BYTE> buf(8192);
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (!QueryServiceConfigW(svc, config, static_cast<DWORD>(buf.size()), &needed)) {
        *why = Error("cannot read the configuration of VedOvedavu", GetLastError());
        return false;
    }
    *display = config->lpDisplayName ? config->lpDisplayName : L"";
    *path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    *account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    return true;
}

// The kit's own: its name, and its program in the kit's folder, before or
// after the repair.
bool Ours(SC_HANDLE svc, std::string* why) {
    std::wstring display, path, account;
    if (!Config(svc, &display, &path, &account, why)) return false;
    if (display == kDisplayName && (Same(path, Unquoted()) || Same(path, Quoted()))) return true;
    *why = "its display name is \"" + Narrow(display) + "\" and its program " + Narrow(path);
    return false;
}

DWORD State(SC_HANDLE svc, DWORD* pid) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        return 0;
    if (pid) *pid = status.dwProcessId;
    return status.dwCurrentState;
}

// Asks it to stop and waits for its process to end; true once it has.
bool Stop(SC_HANDLE svc) {
    DWORD pid = 0;
    DWORD state = State(svc, &pid);
    if (state == SERVICE_STOPPED || state == 0) return true;
    owners::Handle process(pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
    DWORD start = GetTickCount(), asked = 0;
    bool sent = false;
    while ((state = State(svc, nullptr)) != SERVICE_STOPPED && state != 0 && GetTickCount() - start < kStepMs) {
        // One still starting (the kit ended in the middle of a start) takes
        // no stop control yet: asked again once it runs.
        if (state == SERVICE_RUNNING && (!sent || GetTickCount() - asked > 1000)) {
            SERVICE_STATUS ignored;
            ControlService(svc, SERVICE_CONTROL_STOP, &ignored);
            sent = true;
            asked = GetTickCount();
        }
        Sleep(50);
    }
    if (process) WaitForSingleObject(process.Get(), 10000);
    return State(svc, nullptr) == SERVICE_STOPPED;
}

std::wstring ImageOf(HANDLE process) {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    return QueryFullProcessImageNameW(process, 0, path, &size) ? std::wstring(path, size) : L"";
}

// Every copy still running (a start that nobody stopped, or one created
// suspended the moment the kit died) ends: it holds the files.
void EndCopies() {
    owners::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap.Get(), &entry); ok; ok = Process32NextW(snap.Get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        owners::Handle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (!process) continue;
        std::wstring image = ImageOf(process.Get());
        if (!Same(image, Real()) && !Same(image, Planted())) continue;
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), 5000);
    }
}

// Which program the service manager starts for it: the process it reports,
// asked for its image while it runs, then stopped.
bool StartOnce(SC_HANDLE svc, std::wstring* image, std::string* why) {
    if (!StartServiceW(svc, 0, nullptr)) {
        *why = Error("the service manager did not start it", GetLastError());
        return false;
    }
    DWORD pid = 0, state = 0, start = GetTickCount();
    while ((state = State(svc, &pid)) != SERVICE_RUNNING && state != SERVICE_STOPPED && GetTickCount() - start < kStepMs)
        Sleep(20);
    owners::Handle process(pid ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr);
    *image = process ? ImageOf(process.Get()) : L"";
    process.Reset();
    bool stopped = Stop(svc);
    if (state != SERVICE_RUNNING || image->empty()) {
        *why = state != SERVICE_RUNNING ? "it did not report running within " + std::to_string(kStepMs / 1000) + " s"
                                        : Error("cannot tell which program runs as it", GetLastError());
        return false;
    }
    if (!stopped) {
        *why = "it did not stop within " + std::to_string(kStepMs / 1000) + " s";
        return false;
    }
    return true;
}

// Which program CreateProcessW with no application name starts for `cmdline`,
// as the service manager starts a service: created suspended, named, ended,
// so that the file never runs code with the kit's rights.
bool Direct(const std::wstring& cmdline, std::wstring* image, std::string* why) {
    // No environment expansion: the value holds no references, and the
    // kit's environment is the user's to set.
    std::vector<wchar_t> buf(cmdline.begin(), cmdline.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi)) {
        *why = Error("CreateProcessW cannot start it", GetLastError());
        return false;
    }
    owners::Handle process(pi.hProcess), thread(pi.hThread);
    *image = ImageOf(process.Get());
    DWORD error = GetLastError();
    TerminateProcess(process.Get(), 0xDEAD);
    WaitForSingleObject(process.Get(), 5000);
    if (image->empty()) *why = Error("cannot tell which program CreateProcessW started", error);
    return !image->empty();
}

bool WriteCopy(const std::wstring& path, std::string* why) {
    // New, in a folder only administrators can write: nobody else's file.
    owners::Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    if (!file || !WriteFile(file.Get(), g_image.data(), static_cast<DWORD>(g_image.size()), &done, nullptr) ||
        done != g_image.size()) {
        *why = Error("cannot write " + Narrow(path), GetLastError());
        return false;
    }
    return true;
}

bool MakeFiles(std::string* why) {
    if (g_image.empty()) {
        *why = "the kit's own file was not read at its start";
        return false;
    }
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDirSddl, SDDL_REVISION_1, &made, nullptr)) {
        *why = Error("cannot build a security descriptor", GetLastError());
        return false;
    }
    owners::Local<> sd(made);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, sd.Get(), FALSE};
    // Inside the kit's own folder, so nobody else can have made them first;
    // what is made inside inherits the entries.
    if (!CreateDirectoryW(Dir().c_str(), &attributes) || !CreateDirectoryW(RealDir().c_str(), nullptr)) {
        *why = Error("cannot create " + Narrow(RealDir()), GetLastError());
        return false;
    }
    return WriteCopy(Real(), why) && WriteCopy(Planted(), why);
}

bool RemoveFiles(std::string* why) {
    bool ok = true;
    for (const std::wstring& file : {Real(), Planted()}) {
        // A copy just ended may hold its file a moment longer.
        bool gone = false;
        for (int i = 0; i < 50 && !(gone = DeleteFileW(file.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
                                           GetLastError() == ERROR_PATH_NOT_FOUND);
             ++i)
            Sleep(100);
        if (!gone && ok) *why = Error("cannot delete " + Narrow(file), GetLastError());
        ok = ok && gone;
    }
    for (const std::wstring& dir : {RealDir(), Dir()})
        if (!RemoveDirectoryW(dir.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
            GetLastError() != ERROR_PATH_NOT_FOUND) {
            if (ok) *why = Error("cannot delete " + Narrow(dir), GetLastError());
            ok = false;
        }
    return ok;
}

std::vector<BYTE> Bytes(const std::wstring& text) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(p, p + (text.size() + 1) * 2);
}

std::string Shown(const std::wstring& image) {
    return Same(image, Planted()) ? Narrow(image) + " (the planted copy)"
           : Same(image, Real())  ? Narrow(image) + " (the service's own program)"
                                  : Narrow(image);
}

// With the service made and marked: the starts before and after the repair.
std::string Starts(const System& s, SC_HANDLE svc, std::string* note) {
    std::string why;
    std::wstring display, path, account;
    if (!Config(svc, &display, &path, &account, &why)) return "set-up: " + why;
    if (!Same(account, kAccount)) return "set-up: the service would run as " + Narrow(account) + ", not as LocalService";
    // As installers write it (the service manager may store REG_SZ).
    LONG rc = winops::WriteValue(KEY_WOW64_64KEY, kServiceKey, L"ImagePath", REG_EXPAND_SZ, Bytes(Unquoted()));
    if (rc != ERROR_SUCCESS) return "set-up: cannot write ImagePath: error " + std::to_string(rc);

    std::wstring image;
    if (!Direct(Unquoted(), &image, &why)) return "before the repair, " + why;
    if (!Same(image, Planted()))
        return "before the repair, CreateProcessW started " + Shown(image) + " rather than " + Narrow(Planted()) +
               ": the hole cannot be shown here";
    std::wstring before;
    if (!StartOnce(svc, &before, &why)) return "before the repair, started by the service manager: " + why;
    if (!Same(before, Planted()))
        return "before the repair, the service manager started " + Shown(before) + " rather than " +
               Narrow(Planted()) + ": the hole cannot be shown here";

    winops::RunResult r = winops::Run(s.exe, L"velquist.exe /s", nullptr, kStepMs);
    if (r.error) return "cannot start velquist.exe: error " + std::to_string(r.error);
    if (r.timedOut || r.killed) return "velquist.exe /s did not end within " + std::to_string(kStepMs / 1000) + " s";
    if (r.exit != 0) return "velquist.exe /s: exit code " + std::to_string(r.exit) + ", expected 0";
    winops::StoredValue stored;
    rc = winops::ReadValue(KEY_WOW64_64KEY, kServiceKey, L"ImagePath", &stored);
    if (rc != ERROR_SUCCESS) return "cannot read ImagePath: error " + std::to_string(rc);
    if (!stored.exists || stored.type != REG_EXPAND_SZ || stored.data != Bytes(Quoted()))
        return "after the repair, ImagePath is not REG_EXPAND_SZ \"" + Narrow(Quoted()) + "\"";

    // Judged: the repaired value, started the way the service manager starts it.
    if (!Direct(Quoted(), &image, &why)) return "after the repair, " + why;
    if (!Same(image, Real()))
        return "after the repair, CreateProcessW with the repaired value starts " + Shown(image) + ", not " +
               Narrow(Real());
    // Reported: what this service manager does with it at the next start.
    std::wstring after;
    std::string then;
    if (!StartOnce(svc, &after, &why)) then = "the service manager's start failed (" + why + ")";
    else if (Same(after, Planted()))
        then = Narrow(after) + " ran again: this service manager takes the repaired path only after it restarts";
    else if (Same(after, Real()))
        then = Narrow(after) + " ran: the service manager takes the repaired path at the next start";
    else
        then = Narrow(after) + " ran";
    *note = "before the repair, " + Narrow(before) + " ran (the hole is real); after it, without a restart, " + then;
    return "";
}

std::string Run(const System& s, std::string* note) {
    std::string why;
    if (!s.before->Clean(&why)) return "set-up: " + why;
    Sc scm;
    if (!OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &scm, &why)) return "set-up: " + why;
    // Looked for again: one made since the kit started is somebody else's.
    Sc other(OpenServiceW(scm.Get(), kName, SERVICE_QUERY_STATUS));
    if (other || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
        return "set-up: a service VedOvedavu exists now that was not there when the kit started; it is left alone";
    // Marked before anything is made, so that no way out can miss it.
    if (!place::MarkService(true, &why)) return "set-up: " + why;
    InterlockedExchange(&g_pending, 1);
    std::string result;
    if (!MakeFiles(&why)) {
        result = "set-up: " + why;
    } else {
        Sc svc(CreateServiceW(scm.Get(), kName, kDisplayName,
                              SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | DELETE,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, Unquoted().c_str(),
                              nullptr, nullptr, nullptr, kAccount, L""));
        result = svc ? Starts(s, svc.Get(), note) : "set-up: " + Error("cannot create the service", GetLastError());
    }
    std::string problem;
    if (!Remove(&problem)) result = Join(result, "removing the service: " + problem);
    else if (!RemoveFiles(&problem)) result = Join(result, "removing its files: " + problem);
    if (!result.empty()) note->clear();
    return result;
}

}  // namespace

bool KeepImage(std::string* why) {
    std::wstring self = SelfPath();
    owners::Handle file(CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 || size.QuadPart > (64 << 20)) {
        *why = Error("cannot read " + Narrow(self), GetLastError());
        return false;
    }
    g_image.assign(static_cast<size_t>(size.QuadPart), 0);
    DWORD done = 0;
    if (!ReadFile(file.Get(), g_image.data(), static_cast<DWORD>(g_image.size()), &done, nullptr) ||
        done != g_image.size()) {
        g_image.clear();
        *why = Error("cannot read " + Narrow(self), GetLastError());
        return false;
    }
    return true;
}

bool IsCopy() {
    std::wstring self = SelfPath();
    return !self.empty() && (Same(self, Real()) || Same(self, Planted()));
}

// Running until stopped, so that the kit can ask which program this is.
int Serve() { return recorder::Serve(kServeMs) ? 0 : 1; }

std::string Unavailable(const Snapshot& before) {
    Sc scm;
    std::string why;
    if (!OpenManager(SC_MANAGER_CONNECT, &scm, &why)) return why;
    Sc svc(OpenServiceW(scm.Get(), kName, SERVICE_QUERY_STATUS));
    if (svc)
        return "a service VedOvedavu exists on this system, and the kit never creates, changes, starts or stops "
               "a service it did not make";
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
        return Error("the service manager cannot say whether VedOvedavu exists", GetLastError());
    // DeleteService takes the whole key with it: a vendor's key never
    // becomes the kit's service.
    if (before.KeyExisted(2))
        return "the key HKLM\\" + Narrow(kServiceKey) +
               " was there before the run, and the kit makes no service in a key it did not create";
    return "";
}

void AddCase(std::vector<Case>* cases) {
    cases->push_back({"service: VedOvedavu started by the service manager before and after the repair", kOwnService,
                      [](const System& s) { return Run(s, s.note); }});
}

bool Pending() { return g_pending != 0; }

bool Remove(std::string* why) {
    Sc scm;
    if (!OpenManager(SC_MANAGER_CONNECT, &scm, why)) return false;
    Sc svc(OpenServiceW(scm.Get(), kName, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | DELETE));
    if (!svc && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        *why = Error("cannot open the service VedOvedavu", GetLastError());
        return false;
    }
    if (svc) {
        std::string problem;
        if (!Ours(svc.Get(), &problem)) {
            *why = "a service VedOvedavu that the kit did not make is there (" + problem + "); it is left alone";
            return false;
        }
        Stop(svc.Get());
        if (!DeleteService(svc.Get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            *why = Error("cannot delete the service VedOvedavu", GetLastError());
            return false;
        }
        svc.Reset();
    }
    EndCopies();
    // The service manager deletes it once the last handle to it closes.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        Sc left(OpenServiceW(scm.Get(), kName, SERVICE_QUERY_STATUS));
        gone = !left && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        if (!gone) Sleep(100);
    }
    if (!gone) {
        *why = "the service VedOvedavu is deleted but still there: another program holds it open (close the "
               "Services window, if open)";
        return false;
    }
    if (!place::MarkService(false, why)) return false;
    InterlockedExchange(&g_pending, 0);
    return true;
}

}  // namespace service
