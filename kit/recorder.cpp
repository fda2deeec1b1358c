#include "recorder.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "owners.h"
#include "narrow.h"

namespace recorder {
namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
// How long a started service stays running when nobody stops it.
DWORD g_lingerMs = 3000;

std::wstring SelfPath() {
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
}

void Report(DWORD state) {
    SERVICE_STATUS s = {};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    SetServiceStatus(g_status, &s);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) SetEvent(g_stop);
    return control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN ||
                   control == SERVICE_CONTROL_INTERROGATE
               ? NO_ERROR
               : ERROR_CALL_NOT_IMPLEMENTED;
}

// Reports running, then stopped when told to or after a few seconds: the
// start is what the tests look at, and a service that stops by itself never
// needs `sc stop`. Not at once: Wine's service manager reads the state only
// after the first change and fails the start (1053) if it is already
// "stopped", so a service that stopped straight away made `sc start` fail now
// and then although it had run.
void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_status = RegisterServiceCtrlHandlerExW(L"", Control, nullptr);
    if (!g_status) return;
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    if (g_stop) WaitForSingleObject(g_stop, g_lingerMs);
    Report(SERVICE_STOPPED);
}

}  // namespace

std::wstring BesideSelf() { return SelfPath() + L".rec"; }

// The arguments as the program's own start-up would split them, so that a
// test compares what the program was told rather than how Windows spelled it.
std::string Argv() {
    std::string out = "[";
    int n = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &n);
    for (int i = 0; argv && i < n; ++i) out += (i ? ", " : "") + Json(argv[i]);
    LocalFree(argv);
    return out + "]";
}

int Run(const std::wstring& recordFile) {
    std::string line = "{\"exe\": " + Json(SelfPath()) + ", \"cmdline\": " + Json(GetCommandLineW()) +
                       ", \"argv\": " + Argv() + ", \"pid\": " + std::to_string(GetCurrentProcessId()) +
                       "}\r\n";
    bool written = false;
    {
        // Appends, never follows or replaces: two starts leave two lines.
        owners::Handle file(CreateFileW(recordFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
        DWORD done = 0;
        written = file && WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr) &&
                  done == line.size();
    }
    Serve(3000);
    return written ? 0 : 1;
}

bool Serve(unsigned long lingerMs) {
    g_lingerMs = lingerMs;
    // Fails at once (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) unless the
    // service manager started this process. The name is not looked at for
    // a service that has its process to itself.
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
}

}  // namespace recorder
