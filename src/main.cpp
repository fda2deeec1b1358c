#include "main.h"

#include "dllsearch.h"
#include "messages.h"
#include "mutexlock.h"
#include "resource.h"
#include "target.h"

const wchar_t kInstanceMutexName[] = L"BCB43F0C-3106-4701-A096-65BB83D7C47D";
const wchar_t kGlobalMutexName[] = L"Global\\F5E1A2AA-85D2-483B-A417-12471FC6DB88";

namespace {

wchar_t FoldAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + (L'a' - L'A') : c; }

int RepairAndReport(HINSTANCE hInstance) {
    DWORD scan = 0;
    for (RegistryTarget& target : g_registryTargets) {
        target.status = ProcessTarget(target.subKey, target.valueName, target.valueType, false);
        scan |= target.status;
    }

    if (scan & TARGET_NEEDS_FIX) {
        if (!ConfirmModify(hInstance)) return EXIT_DECLINED;
        DWORD repair = 0;
        for (RegistryTarget& target : g_registryTargets) {
            if (target.status != TARGET_NEEDS_FIX) continue;
            target.status = ProcessTarget(target.subKey, target.valueName, target.valueType, true);
            repair |= target.status;
        }
        if (repair & TARGET_FAILED) {
            ShowMessage(hInstance, IDS_MODIFY_FAILED);
            return EXIT_FAILED;
        }
        if (repair & TARGET_MODIFIED) {
            ShowMessage(hInstance, IDS_MODIFY_SUCCEEDED);
            return EXIT_MODIFIED;
        }
        // Every value vanished or stopped matching between the two passes:
        // nothing was done, which is not a success either.
        return EXIT_FAILED;
    }
    if (scan & TARGET_ALREADY_OK) {
        ShowMessage(hInstance, IDS_ALREADY_MODIFIED);
        return EXIT_ALREADY_MODIFIED;
    }
    ShowMessage(hInstance, IDS_NO_TARGET);
    return EXIT_NO_TARGET;
}

}  // namespace

bool IsSilentSwitch(LPCWSTR cmdLine) {
    if (!cmdLine || (cmdLine[0] != L'-' && cmdLine[0] != L'/')) return false;
    return FoldAsciiLetter(cmdLine[1]) == L's' && cmdLine[2] == L'\0';
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int) {
    RestrictDllSearchToSystem32();
    g_silent = IsSilentSwitch(lpCmdLine);

    // Never wait: another run (here or in another session) holding either lock
    // makes this one fail at once. Released in reverse order by the destructors.
    CMutexLock instanceLock(kInstanceMutexName, 0);
    CMutexLock globalLock(kGlobalMutexName, 0);
    if (!instanceLock.Lock() || !globalLock.Lock()) {
        ShowMessage(hInstance, IDS_MODIFY_FAILED);
        return EXIT_FAILED;
    }
    return RepairAndReport(hInstance);
}
