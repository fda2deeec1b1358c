#include "dllsearch.h"

#include <windows.h>

namespace {
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
}

void RestrictDllSearchToSystem32() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    // Looked up, not imported: Windows 6.0 without the update lacks it, and
    // the import alone would keep the program from starting there.
    FARPROC proc = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (!proc) return;
    reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(proc))(
        LOAD_LIBRARY_SEARCH_SYSTEM32);
}
