#pragma once
// What velquist.exe must show, take and return, written once for the C++
// tests and the acceptance kit; facts.py holds the same for Python. Spelt out
// here rather than taken from src/ or res/: a test that read its expectations
// from the code it checks would follow that code into any mistake. Header
// only: compiled into what uses it, the acceptance kit's one file included.

namespace facts {

// The string table's ids; the title is the caption of every box.
enum TextId { kTitle = 103, kQuestion = 104, kModified = 105, kFailed = 106, kNoTarget = 107, kAlready = 108 };

struct Text {
    int id;
    const wchar_t* english;
    const wchar_t* japanese;
};
inline constexpr Text kTexts[] = {
    {kTitle, L"Velquist", L"Velquist"},
    {kQuestion, L"Modify registry. Are you sure?", L"レジストリを修正します。よろしいですか？"},
    {kModified, L"Registry was modified successfully.", L"レジストリを修正しました。"},
    {kFailed, L"Failed to modify registry.", L"レジストリの修正に失敗しました。"},
    {kNoTarget, L"No target registry to modify.", L"修正対象のレジストリはありません。"},
    {kAlready, L"Target registry is already modified.", L"レジストリはすでに修正されています。"},
};

// Empty for an id the table does not have, so that a comparison fails
// rather than crashes.
inline const wchar_t* TextOf(int id, bool japanese) {
    for (const Text& t : kTexts)
        if (t.id == id) return japanese ? t.japanese : t.english;
    return L"";
}

// Names, keys and values below are raw literals: spelt as Windows and the
// README show them, and found by a search for them as they are.

// The session lock (no namespace prefix) and the lock across sessions.
inline constexpr wchar_t kInstanceMutex[] = L"BCB43F0C-3106-4701-A096-65BB83D7C47D";
inline constexpr wchar_t kGlobalMutex[] = LR"(Global\F5E1A2AA-85D2-483B-A417-12471FC6DB88)";

// The keys under HKEY_LOCAL_MACHINE and the three values in them.
inline constexpr wchar_t kUninstallKey[] =
    LR"(SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\RADADIRorUzavovazo)";
inline constexpr wchar_t kServiceKey[] = LR"(SYSTEM\CurrentControlSet\Services\VedOvedavu)";
inline constexpr wchar_t kUninstallString[] = L"UninstallString";
inline constexpr wchar_t kDisplayIcon[] = L"DisplayIcon";
inline constexpr wchar_t kImagePath[] = L"ImagePath";

enum ExitCode { kExitModified = 0, kExitFailed = 1, kExitNoTarget = 2, kExitAlready = 3, kExitDeclined = 4 };

// A driver's values as its installer leaves them, and as a repair must leave them.
inline constexpr wchar_t kSetupPath[] = LR"(C:\Program Files\Example Driver\setup.exe)";
inline constexpr wchar_t kSetup[] = LR"(C:\Program Files\Example Driver\setup.exe -uninstall)";
inline constexpr wchar_t kSetupFixed[] = LR"("C:\Program Files\Example Driver\setup.exe" -uninstall)";
inline constexpr wchar_t kIcon[] = LR"(C:\Program Files\Example Driver\setup.exe,0)";
inline constexpr wchar_t kIconFixed[] = LR"("C:\Program Files\Example Driver\setup.exe",0)";
inline constexpr wchar_t kService[] = LR"(C:\Program Files\Example Driver\svc.exe -k net)";
inline constexpr wchar_t kServiceFixed[] = LR"("C:\Program Files\Example Driver\svc.exe" -k net)";

}  // namespace facts
