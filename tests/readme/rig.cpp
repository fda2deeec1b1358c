/* Drives velquist.exe's message boxes and mutexes from inside Wine, for the
 * README checks and the screenshots (no window manager, so no xdotool focus).
 *   rig hold NAME READYFILE STOPFILE  own mutex NAME, create READYFILE, keep it
 *                                     until STOPFILE exists (two minutes at most)
 *   rig wait yesno|ok SECONDS         wait for a "Velquist" box with those buttons, print its text
 *   rig press yes|no|ok SECONDS       wait for the box with that button and press it
 * Exit code 0 on success, 1 when no such box came up in time, 2 on bad use. */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

static int g_button;
static HWND g_found;

static BOOL CALLBACK FindBox(HWND hwnd, LPARAM unused) {
    (void)unused;
    wchar_t cls[64], title[64];
    if (!IsWindowVisible(hwnd)) return TRUE;
    if (!GetClassNameW(hwnd, cls, 64) || wcscmp(cls, L"#32770") != 0) return TRUE;
    if (!GetWindowTextW(hwnd, title, 64) || wcscmp(title, L"Velquist") != 0) return TRUE;
    if (!GetDlgItem(hwnd, g_button)) return TRUE;
    /* The outcome box has OK only; the question has Yes and No. */
    if (g_button == IDOK && GetDlgItem(hwnd, IDYES)) return TRUE;
    g_found = hwnd;
    return FALSE;
}

static HWND WaitForBox(int button, int seconds) {
    g_button = button;
    for (int i = 0; i < seconds * 20; ++i) {
        g_found = NULL;
        EnumWindows(FindBox, 0);
        if (g_found) return g_found;
        Sleep(50);
    }
    return NULL;
}

static int ButtonId(const wchar_t *name) {
    if (!wcscmp(name, L"yes") || !wcscmp(name, L"yesno")) return IDYES;
    if (!wcscmp(name, L"no")) return IDNO;
    if (!wcscmp(name, L"ok")) return IDOK;
    return 0;
}

static void PrintUtf8(const wchar_t *text) {
    char buf[1024];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buf, sizeof buf, NULL, NULL);
    if (n > 1) fwrite(buf, 1, (size_t)n - 1, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int wmain(int argc, wchar_t **argv) {
    _setmode(_fileno(stdout), _O_BINARY); /* plain \n for the shell reading it */
    if (argc == 5 && !wcscmp(argv[1], L"hold")) {
        HANDLE m = CreateMutexW(NULL, TRUE, argv[2]);
        if (!m || GetLastError() == ERROR_ALREADY_EXISTS) return 1;
        HANDLE f = CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (f == INVALID_HANDLE_VALUE) return 1;
        CloseHandle(f);
        for (int i = 0; i < 120 * 20; ++i) {
            if (GetFileAttributesW(argv[4]) != INVALID_FILE_ATTRIBUTES) return 0;
            Sleep(50);
        }
        return 1;
    }
    if (argc == 4 && (!wcscmp(argv[1], L"wait") || !wcscmp(argv[1], L"press"))) {
        int button = ButtonId(argv[2]);
        if (!button) return 2;
        HWND box = WaitForBox(button, _wtoi(argv[3]));
        if (!box) return 1;
        if (!wcscmp(argv[1], L"wait")) {
            wchar_t text[512] = L"";
            GetDlgItemTextW(box, 0xFFFF, text, 512); /* the message's static control */
            PrintUtf8(text);
            return 0;
        }
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     (LPARAM)GetDlgItem(box, button));
        return 0;
    }
    fputs("usage: rig hold NAME READYFILE STOPFILE | rig wait|press yes|no|ok SECONDS\n", stderr);
    return 2;
}
