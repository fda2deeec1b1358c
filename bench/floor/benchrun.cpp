// Bench helper run under Wine by bench/run.sh.
//   benchrun seed SET              write the three values of SET
//   benchrun run SET EXE [ARGS]    write them, then run EXE once and print
//                                  "elapsed_us=N exit=N peak_ws=N peak_private=N"
// SET: repair (every value needs repair), quoted (every value already quoted),
// worst_miss or worst_match (every value is that costliest text).
// The run is timed from process creation to its end, inside Wine, and the
// peak memory is the child's PeakWorkingSetSize from GetProcessMemoryInfo.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "values.h"

namespace {

const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RADADIRorUzavovazo";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\VedOvedavu";

bool Write(const wchar_t* subKey, const wchar_t* name, DWORD type, const std::wstring& text) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG result = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool Seed(const std::wstring& set) {
    std::wstring uninstall, icon, service;
    if (set == L"repair") {
        uninstall = benchvalues::Typical();
        icon = L"C:\\Program Files\\Example Driver\\setup.exe,0";
        service = L"C:\\Program Files\\Example Driver\\svc.exe -service";
    } else if (set == L"quoted") {
        uninstall = L"\"C:\\Program Files\\Example Driver\\setup.exe\" -uninstall";
        icon = L"\"C:\\Program Files\\Example Driver\\setup.exe\",0";
        service = L"\"C:\\Program Files\\Example Driver\\svc.exe\" -service";
    } else if (set == L"worst_miss") {
        uninstall = icon = service = benchvalues::WorstMiss();
    } else if (set == L"worst_match") {
        uninstall = icon = service = benchvalues::WorstMatch();
    } else {
        fwprintf(stderr, L"unknown value set %ls\n", set.c_str());
        return false;
    }
    return Write(kUninstallKey, L"UninstallString", REG_SZ, uninstall) &&
           Write(kUninstallKey, L"DisplayIcon", REG_SZ, icon) &&
           Write(kServiceKey, L"ImagePath", REG_EXPAND_SZ, service);
}

int Run(int argc, wchar_t** argv) {
    std::wstring commandLine = L"\"" + std::wstring(argv[3]) + L"\"";
    for (int i = 4; i < argc; ++i) commandLine += L" " + std::wstring(argv[i]);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fwprintf(stderr, L"cannot start %ls (error %lu)\n", commandLine.c_str(), GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&end);

    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory))) memory = {};
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    const long long elapsedUs = (end.QuadPart - start.QuadPart) * 1000000LL / frequency.QuadPart;
    wprintf(L"elapsed_us=%lld exit=%lu peak_ws=%lu peak_private=%lu\n", elapsedUs, exitCode,
            static_cast<unsigned long>(memory.PeakWorkingSetSize),
            static_cast<unsigned long>(memory.PeakPagefileUsage));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"seed") return Seed(argv[2]) ? 0 : 1;
    if (argc >= 4 && std::wstring(argv[1]) == L"run") {
        if (!Seed(argv[2])) return 1;
        return Run(argc, argv);
    }
    fwprintf(stderr, L"usage: benchrun seed SET | benchrun run SET EXE [ARGS...]\n");
    return 2;
}
