/* Stands in for velquist.exe to show what command line a caller's launcher
 * really passes: built with the same runtime start-up (-municode, GUI
 * subsystem), it writes the lpCmdLine it receives, between brackets, to the
 * file named by VQ_PROBE_OUT and exits with 7 so that the exit code's way
 * back to the caller is checked too. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE prev, LPWSTR cmdLine, int show) {
    (void)inst; (void)prev; (void)show;
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"VQ_PROBE_OUT", path, MAX_PATH)) return 9;
    char text[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, cmdLine, -1, text + 1, sizeof text - 3, NULL, NULL);
    if (n <= 0) return 9;
    text[0] = '[';
    text[n] = ']';  /* n counts the terminator, which the bracket replaces */
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return 9;
    DWORD done;
    WriteFile(f, text, (DWORD)n + 1, &done, NULL);
    CloseHandle(f);
    return 7;
}
