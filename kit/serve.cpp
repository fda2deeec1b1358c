#include "recorder.h"

#include <windows.h>

// Apart from the recording, so that a program that only serves (the kit's
// copies) links none of what the recording needs (shell32).
namespace recorder {
namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
// How long a started service stays running when nobody stops it.
DWORD g_lingerMs = 3000;

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

bool Serve(unsigned long lingerMs) {
    g_lingerMs = lingerMs;
    // Fails at once (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) unless the
    // service manager started this process. The name is not looked at for
    // a service that has its process to itself.
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
}

}  // namespace recorder
