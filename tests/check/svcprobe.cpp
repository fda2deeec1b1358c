// The service manager's own view of a service, for the kit's suite, and a
// vendor's service that the kit must leave alone:
//   svcprobe.exe query NAME         one JSON line: exists, and if so display, path, account, state
//   svcprobe.exe create NAME PATH   a demand-start service whose program line is PATH
//   svcprobe.exe delete NAME        stops it (if running) and deletes it
//   svcprobe.exe record             as a service's program: notes the start beside itself
// Exit code 0, or 1 with {"error": ...}.
#include <windows.h>

#include <cstdio>
#include <string>

#include "recorder.h"
#include "narrow.h"

namespace {

int Fail(const char* what) {
    printf("{\"error\": \"%s: %lu\"}\n", what, GetLastError());
    return 1;
}

int Query(SC_HANDLE scm, const wchar_t* name) {
    SC_HANDLE svc = OpenServiceW(scm, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (!svc) {
        if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) return Fail("OpenServiceW");
        printf("{\"exists\": false}\n");
        return 0;
    }
    static BYTE buf[8192];
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGW* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf);
    SERVICE_STATUS status = {};
    if (!QueryServiceConfigW(svc, c, sizeof buf, &needed) || !QueryServiceStatus(svc, &status))
        return Fail("QueryServiceConfigW");
    printf("{\"exists\": true, \"display\": %s, \"path\": %s, \"account\": %s, \"state\": %lu}\n",
           Json(c->lpDisplayName ? c->lpDisplayName : L"").c_str(),
           Json(c->lpBinaryPathName ? c->lpBinaryPathName : L"").c_str(),
           Json(c->lpServiceStartName ? c->lpServiceStartName : L"").c_str(), status.dwCurrentState);
    CloseServiceHandle(svc);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && wcscmp(argv[1], L"record") == 0) return recorder::Run(recorder::BesideSelf());
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!scm) return Fail("OpenSCManagerW");
    if (argc == 3 && wcscmp(argv[1], L"query") == 0) return Query(scm, argv[2]);
    if (argc == 4 && wcscmp(argv[1], L"create") == 0) {
        SC_HANDLE svc = CreateServiceW(scm, argv[2], argv[2], SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, argv[3], nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
        if (!svc) return Fail("CreateServiceW");
        CloseServiceHandle(svc);
        printf("{\"created\": true}\n");
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"delete") == 0) {
        SC_HANDLE svc = OpenServiceW(scm, argv[2], SERVICE_STOP | DELETE);
        if (!svc) return Fail("OpenServiceW");
        SERVICE_STATUS status;
        ControlService(svc, SERVICE_CONTROL_STOP, &status);
        if (!DeleteService(svc)) return Fail("DeleteService");
        CloseServiceHandle(svc);
        printf("{\"deleted\": true}\n");
        return 0;
    }
    printf("{\"error\": \"usage: svcprobe.exe query NAME | create NAME PATH | delete NAME | record\"}\n");
    return 2;
}
