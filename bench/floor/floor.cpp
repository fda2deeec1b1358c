// Does nothing, but is built like velquist.exe and imports from the same
// system DLLs, so that timing a run of it shows what starting and ending such
// a process costs by itself.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR cmdLine, int) {
    // No caller passes this; the calls only keep the imports.
    if (cmdLine && cmdLine[0] == L'\x01') {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, cmdLine, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS)
            RegCloseKey(key);
        MessageBoxW(nullptr, cmdLine, cmdLine, MB_OK);
        return 1;
    }
    return 0;
}
