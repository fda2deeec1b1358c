#include "recorder.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "owners.h"
#include "narrow.h"

namespace recorder {
namespace {

std::wstring SelfPath() {
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
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

}  // namespace recorder
