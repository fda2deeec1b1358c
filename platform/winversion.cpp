#include "winversion.h"

namespace {

typedef void(WINAPI* GetNativeSystemInfoFn)(LPSYSTEM_INFO);

WORD ArchClassOf(WORD processorArchitecture) {
    switch (processorArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
        return ARCH_32BIT;
    case PROCESSOR_ARCHITECTURE_IA64:
    case PROCESSOR_ARCHITECTURE_AMD64:
    case PROCESSOR_ARCHITECTURE_IA32_ON_WIN64:
        return ARCH_64BIT;
    default:
        return ARCH_NONE;
    }
}

}  // namespace

CWinVersion::CWinVersion() : m_wArchClass(ARCH_NONE) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    // Looked up rather than imported: older systems lack it and must still start.
    // GetSystemInfo would report the WOW64 view, never the 64-bit system.
    FARPROC proc = GetProcAddress(kernel, "GetNativeSystemInfo");
    if (!proc) return;
    SYSTEM_INFO info = {};
    reinterpret_cast<GetNativeSystemInfoFn>(reinterpret_cast<void*>(proc))(&info);
    m_wArchClass = ArchClassOf(info.wProcessorArchitecture);
}
