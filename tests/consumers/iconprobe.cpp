// Resolves the uninstall entry's DisplayIcon the way the shell does: the text
// as stored, PathParseIconLocationW for the file and the index, then
// ExtractIconExW for the icon itself.
//
//   iconprobe OUTFILE VIEW...    VIEW: 32 or 64
//
// Appends one line of ASCII JSON per view to OUTFILE (the driver that runs it
// keeps no output of its own): {"view", "exists"} and, when the value is
// there, {"value", "path", "index", "icons"}, icons being ExtractIconExW's
// count (4294967295 when it fails).
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstdio>
#include <string>

#include "narrow.h"

namespace {

const wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RADADIRorUzavovazo";

std::string Probe(const std::wstring& view) {
    REGSAM flag = view == L"64" ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    std::string head = "{\"view\": " + Json(view) + ", \"exists\": ";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstall, 0, KEY_QUERY_VALUE | flag, &key) != ERROR_SUCCESS)
        return head + "false}";
    // Room for any value the tool could have written, and the terminator
    // that a stored string may lack.
    wchar_t text[1024] = {};
    DWORD type = 0, size = sizeof text - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(key, L"DisplayIcon", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return head + "false}";
    std::wstring value = text;
    int index = PathParseIconLocationW(text);
    HICON large = nullptr;
    UINT icons = ExtractIconExW(text, index, &large, nullptr, 1);
    if (large) DestroyIcon(large);
    return head + "true, \"value\": " + Json(value) + ", \"path\": " + Json(text) +
           ", \"index\": " + std::to_string(index) + ", \"icons\": " + std::to_string(icons) + "}";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: iconprobe OUTFILE VIEW...\n", stderr);
        return 2;
    }
    std::string lines;
    for (int i = 2; i < argc; ++i) lines += Probe(argv[i]) + "\r\n";
    HANDLE out = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 1;
    DWORD done = 0;
    BOOL ok = WriteFile(out, lines.data(), static_cast<DWORD>(lines.size()), &done, nullptr);
    CloseHandle(out);
    return ok && done == lines.size() ? 0 : 1;
}
