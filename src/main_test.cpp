#include "main.h"

#include "fixture.h"
#include "messages.h"
#include "resource.h"
#include "target.h"

using fakewin::View;

namespace {

const wchar_t kService[] = L"C:\\Program Files\\Example Driver\\svc.exe -k";
const wchar_t kServiceQuoted[] = L"\"C:\\Program Files\\Example Driver\\svc.exe\" -k";
const wchar_t kIcon[] = L"\"C:\\Program Files\\Example Driver\\setup.exe\",0";

class RunTest : public FakeWinTest {
protected:
    int Run(const wchar_t* cmdLine) {
        std::wstring line(cmdLine);
        return wWinMain(nullptr, nullptr, &line[0], 1);
    }
    // The texts of the boxes shown, in order.
    std::vector<std::wstring> Texts() {
        std::vector<std::wstring> texts;
        for (const auto& box : fakewin::Boxes()) texts.push_back(box.text);
        return texts;
    }
    static std::wstring En(UINT id) { return ResourceString(fakewin::kEnglish, id); }
    void AnswerQuestionWith(int answer) {
        fakewin::SetAnswerer([answer](const fakewin::Box& box) {
            return box.style == MB_YESNO ? answer : IDOK;
        });
    }
    void SeedTypicalRoad() {
        fakewin::SetString(View::k64, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
        fakewin::SetString(View::k64, kUninstallKey, L"DisplayIcon", REG_SZ, kIcon);
        fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    }
};

TEST_F(RunTest, SilentSwitch) {
    const struct {
        const wchar_t* cmdLine;
        bool silent;
    } cases[] = {
        {L"/s", true},   {L"-s", true},    {L"/S", true},     {L"-S", true},
        {L"/s ", false}, {L" /s", false},  {L"--s", false},   {L"/s /s", false},
        {L"/silent", false}, {L"s", false}, {L"", false},     {L"/", false},
        {L"\\s", false}, {L"/\u017f", false},  // only A-Z fold: the long s is not an s
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.cmdLine)));
        EXPECT_EQ(c.silent, IsSilentSwitch(c.cmdLine));
        fakewin::Reset();
        LoadStringTables();
        EXPECT_EQ(EXIT_NO_TARGET, Run(c.cmdLine));
        EXPECT_EQ(c.silent ? 0u : 1u, fakewin::Boxes().size());
        EXPECT_EQ(c.silent, g_silent);
    }
    EXPECT_FALSE(IsSilentSwitch(nullptr));
}

TEST_F(RunTest, TypicalSilentRoad) {
    SeedTypicalRoad();
    EXPECT_EQ(EXIT_MODIFIED, Run(L"/s"));
    EXPECT_TRUE(fakewin::Boxes().empty());
    EXPECT_EQ(kQuoted, fakewin::GetString(View::k64, kUninstallKey, L"UninstallString"));
    EXPECT_EQ(kIcon, fakewin::GetString(View::k64, kUninstallKey, L"DisplayIcon"));
    EXPECT_EQ(kServiceQuoted, fakewin::GetString(View::k32, kServiceKey, L"ImagePath"));
    EXPECT_FALSE(fakewin::KeyExists(View::k32, kUninstallKey));
    EXPECT_EQ(TARGET_MODIFIED, g_registryTargets[0].status);
    EXPECT_EQ(TARGET_ALREADY_OK, g_registryTargets[1].status);
    EXPECT_EQ(TARGET_MODIFIED, g_registryTargets[2].status);
    // The repair pass reads only the entries that need it: 3 + 2 queries.
    EXPECT_EQ(5, CountLog(L"query"));
    EXPECT_EQ("free", fakewin::MutexState(kInstanceMutexName));
    EXPECT_EQ("free", fakewin::MutexState(kGlobalMutexName));
}

TEST_F(RunTest, Outcomes) {
    const struct {
        const char* what;
        std::function<void()> arrange;
        int answer;
        int exitCode;
        std::vector<UINT> boxes;
    } cases[] = {
        {"nothing exists", [] {}, IDYES, EXIT_NO_TARGET, {IDS_NO_TARGET}},
        {"unreadable values only",
         [] {
             fakewin::SetValue(View::k32, kServiceKey, L"ImagePath", REG_DWORD, {1, 0, 0, 0});
             fakewin::SetString(View::k64, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
             fakewin::InjectFault({fakewin::Op::Query, ERROR_ACCESS_DENIED, L"Uninstall"});
         },
         IDYES, EXIT_NO_TARGET, {IDS_NO_TARGET}},
        {"one already quoted, others absent",
         [] { fakewin::SetString(View::k32, kUninstallKey, L"DisplayIcon", REG_SZ, kIcon); },
         IDYES, EXIT_ALREADY_MODIFIED, {IDS_ALREADY_MODIFIED}},
        {"repaired after Yes",
         [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         IDYES, EXIT_MODIFIED, {IDS_CONFIRM_MODIFY, IDS_MODIFY_SUCCEEDED}},
        {"one to repair, another unreadable",
         [] {
             fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
             fakewin::SetValue(View::k32, kUninstallKey, L"UninstallString", REG_BINARY, {1, 2});
         },
         IDYES, EXIT_MODIFIED, {IDS_CONFIRM_MODIFY, IDS_MODIFY_SUCCEEDED}},
        {"answered No", [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         IDNO, EXIT_DECLINED, {IDS_CONFIRM_MODIFY}},
        {"box closed", [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         IDCANCEL, EXIT_DECLINED, {IDS_CONFIRM_MODIFY}},
        {"box failed", [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         0, EXIT_DECLINED, {IDS_CONFIRM_MODIFY}},
        {"write fails",
         [] {
             fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
             fakewin::InjectFault({fakewin::Op::Set, ERROR_ACCESS_DENIED});
         },
         IDYES, EXIT_FAILED, {IDS_CONFIRM_MODIFY, IDS_MODIFY_FAILED}},
        {"one modified, one failed",
         [] {
             fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
             fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
             fakewin::InjectFault({fakewin::Op::Create, ERROR_ACCESS_DENIED, L"Uninstall"});
         },
         IDYES, EXIT_FAILED, {IDS_CONFIRM_MODIFY, IDS_MODIFY_FAILED}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakewin::Reset();
        LoadStringTables();
        c.arrange();
        AnswerQuestionWith(c.answer);
        EXPECT_EQ(c.exitCode, Run(L""));
        std::vector<std::wstring> expected;
        for (UINT id : c.boxes) expected.push_back(En(id));
        EXPECT_EQ(expected, Texts());
        for (const auto& box : fakewin::Boxes()) {
            EXPECT_EQ(L"Velquist", box.caption);
            EXPECT_EQ(box.text == En(IDS_CONFIRM_MODIFY) ? MB_YESNO : MB_OK, box.style);
        }
        if (c.exitCode == EXIT_DECLINED) {
            EXPECT_EQ(0, CountLog(L"set ") + CountLog(L"create "));
        }
    }
}

TEST_F(RunTest, PartialRepairKeepsWhatWasModified) {
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
    fakewin::InjectFault({fakewin::Op::Set, ERROR_ACCESS_DENIED, L"Uninstall"});
    EXPECT_EQ(EXIT_FAILED, Run(L"/s"));
    EXPECT_EQ(kServiceQuoted, fakewin::GetString(View::k32, kServiceKey, L"ImagePath"));
    EXPECT_EQ(kUnquoted, fakewin::GetString(View::k32, kUninstallKey, L"UninstallString"));
    EXPECT_TRUE(fakewin::Boxes().empty());
}

// A value that vanishes or gets quoted by someone else between the two passes
// leaves nothing modified and nothing failed: not a success.
TEST_F(RunTest, ValueChangedBetweenThePasses) {
    for (bool vanish : {true, false}) {
        SCOPED_TRACE(vanish ? "vanished" : "quoted elsewhere");
        fakewin::Reset();
        LoadStringTables();
        fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
        fakewin::SetAnswerer([vanish](const fakewin::Box& box) {
            if (vanish) {
                fakewin::DeleteValue(View::k32, kServiceKey, L"ImagePath");
            } else {
                fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kServiceQuoted);
            }
            return box.style == MB_YESNO ? IDYES : IDOK;
        });
        EXPECT_EQ(EXIT_FAILED, Run(L""));
        EXPECT_EQ(std::vector<std::wstring>{En(IDS_CONFIRM_MODIFY)}, Texts());
        EXPECT_EQ(0, CountLog(L"set "));
    }
    // The same in silent mode, removed right after the scan pass's only read.
    fakewin::Reset();
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    fakewin::OnQuery([] { fakewin::DeleteValue(View::k32, kServiceKey, L"ImagePath"); });
    EXPECT_EQ(EXIT_FAILED, Run(L"/s"));
    EXPECT_EQ(0, CountLog(L"set "));
}

TEST_F(RunTest, SilentModeShowsNothingWhateverTheOutcome) {
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    fakewin::InjectFault({fakewin::Op::Set, ERROR_ACCESS_DENIED});
    EXPECT_EQ(EXIT_FAILED, Run(L"-S"));
    fakewin::HoldMutexElsewhere(kGlobalMutexName);
    EXPECT_EQ(EXIT_FAILED, Run(L"/s"));
    EXPECT_TRUE(fakewin::Boxes().empty());
}

TEST_F(RunTest, LockFailuresTouchNoRegistry) {
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::string globalAfter;
    } cases[] = {
        {"session lock held", [] { fakewin::HoldMutexElsewhere(kInstanceMutexName); }, "none"},
        {"global lock held", [] { fakewin::HoldMutexElsewhere(kGlobalMutexName); }, "elsewhere"},
        {"session lock abandoned", [] { fakewin::AbandonMutexElsewhere(kInstanceMutexName); }, "none"},
        {"global lock abandoned", [] { fakewin::AbandonMutexElsewhere(kGlobalMutexName); }, "free"},
        {"session lock not created",
         [] { fakewin::InjectFault({fakewin::Op::CreateMutex, 0, L"BCB43F0C"}); }, "none"},
        {"global lock not created",
         [] { fakewin::InjectFault({fakewin::Op::CreateMutex, 0, L"Global\\"}); }, "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakewin::Reset();
        LoadStringTables();
        fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
        c.arrange();
        EXPECT_EQ(EXIT_FAILED, Run(L""));
        EXPECT_EQ(std::vector<std::wstring>{En(IDS_MODIFY_FAILED)}, Texts());
        EXPECT_EQ(0, fakewin::RegistryCallCount());
        EXPECT_EQ(c.globalAfter, fakewin::MutexState(kGlobalMutexName));
        EXPECT_NE("ours", fakewin::MutexState(kInstanceMutexName));
    }
    // The session lock is taken first; the global one is not tried after it fails.
    fakewin::Reset();
    fakewin::HoldMutexElsewhere(kInstanceMutexName);
    Run(L"/s");
    EXPECT_EQ(0, CountLog(L"wait Global\\"));
}

TEST_F(RunTest, LocksAreHeldThroughTheRunAndReleasedGlobalFirst) {
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    std::vector<std::string> statesDuringBoxes;
    fakewin::SetAnswerer([&](const fakewin::Box& box) {
        statesDuringBoxes.push_back(fakewin::MutexState(kInstanceMutexName) +
                                    fakewin::MutexState(kGlobalMutexName));
        return box.style == MB_YESNO ? IDYES : IDOK;
    });
    EXPECT_EQ(EXIT_MODIFIED, Run(L""));
    EXPECT_EQ((std::vector<std::string>{"oursours", "oursours"}), statesDuringBoxes);
    std::vector<std::wstring> releases;
    for (const auto& line : fakewin::Log())
        if (line.rfind(L"release ", 0) == 0) releases.push_back(line);
    EXPECT_EQ((std::vector<std::wstring>{std::wstring(L"release ") + kGlobalMutexName,
                                         std::wstring(L"release ") + kInstanceMutexName}),
              releases);
    EXPECT_EQ(1, CountLog(std::wstring(L"wait ") + kInstanceMutexName + L" 0"));
    EXPECT_EQ(1, CountLog(std::wstring(L"wait ") + kGlobalMutexName + L" 0"));
}

TEST_F(RunTest, StringTablesHoldTheTextsInBothLanguages) {
    const struct {
        UINT id;
        const wchar_t* english;
        const wchar_t* japanese;
    } texts[] = {
        {IDS_APP_TITLE, L"Velquist", L"Velquist"},
        {IDS_CONFIRM_MODIFY, L"Modify registry. Are you sure?", L"レジストリを修正します。よろしいですか？"},
        {IDS_MODIFY_SUCCEEDED, L"Registry was modified successfully.", L"レジストリを修正しました。"},
        {IDS_MODIFY_FAILED, L"Failed to modify registry.", L"レジストリの修正に失敗しました。"},
        {IDS_NO_TARGET, L"No target registry to modify.", L"修正対象のレジストリはありません。"},
        {IDS_ALREADY_MODIFIED, L"Target registry is already modified.",
         L"レジストリはすでに修正されています。"},
    };
    for (const auto& t : texts) {
        EXPECT_EQ(t.english, ResourceString(fakewin::kEnglish, t.id));
        EXPECT_EQ(t.japanese, ResourceString(fakewin::kJapanese, t.id));
    }
}

TEST_F(RunTest, MissingStringsStillShowTheBox) {
    fakewin::Reset();  // no string tables at all
    EXPECT_EQ(EXIT_NO_TARGET, Run(L""));
    ASSERT_EQ(1u, fakewin::Boxes().size());
    EXPECT_EQ(L"", fakewin::Boxes()[0].text);
    EXPECT_EQ(L"", fakewin::Boxes()[0].caption);
}

TEST_F(RunTest, DllSearchIsRestrictedBeforeAnythingElse) {
    Run(L"");
    ASSERT_FALSE(fakewin::Log().empty());
    EXPECT_EQ(L"SetDefaultDllDirectories", fakewin::Log().front());
}

}  // namespace
