#include "main.h"

#include "facts.h"
#include "fixture.h"
#include "messages.h"
#include "target.h"

using fakewin::View;

namespace {

using facts::kService;
const wchar_t* const kServiceQuoted = facts::kServiceFixed;
const wchar_t* const kIcon = facts::kIconFixed;
// Exit codes, message ids and lock names as the tests know them, not as
// main.h and resource.h spell them.
using facts::kExitAlready;
using facts::kExitDeclined;
using facts::kExitFailed;
using facts::kExitModified;
using facts::kExitNoTarget;
using facts::kGlobalMutex;
using facts::kInstanceMutex;

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
        EXPECT_EQ(kExitNoTarget, Run(c.cmdLine));
        EXPECT_EQ(c.silent ? 0u : 1u, fakewin::Boxes().size());
        EXPECT_EQ(c.silent, g_silent);
    }
    EXPECT_FALSE(IsSilentSwitch(nullptr));
}

TEST_F(RunTest, TypicalSilentRoad) {
    SeedTypicalRoad();
    EXPECT_EQ(kExitModified, Run(L"/s"));
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
    EXPECT_EQ("free", fakewin::MutexState(kInstanceMutex));
    EXPECT_EQ("free", fakewin::MutexState(kGlobalMutex));
}

TEST_F(RunTest, Outcomes) {
    const struct {
        const char* what;
        std::function<void()> arrange;
        int answer;
        int exitCode;
        std::vector<UINT> boxes;
    } cases[] = {
        {"nothing exists", [] {}, IDYES, kExitNoTarget, {facts::kNoTarget}},
        {"unreadable values only",
         [] {
             fakewin::SetValue(View::k32, kServiceKey, L"ImagePath", REG_DWORD, {1, 0, 0, 0});
             fakewin::SetString(View::k64, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
             fakewin::InjectFault({fakewin::Op::Query, ERROR_ACCESS_DENIED, L"Uninstall"});
         },
         IDYES, kExitNoTarget, {facts::kNoTarget}},
        {"one already quoted, others absent",
         [] { fakewin::SetString(View::k32, kUninstallKey, L"DisplayIcon", REG_SZ, kIcon); },
         IDYES, kExitAlready, {facts::kAlready}},
        {"repaired after Yes",
         [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         IDYES, kExitModified, {facts::kQuestion, facts::kModified}},
        {"one to repair, another unreadable",
         [] {
             fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
             fakewin::SetValue(View::k32, kUninstallKey, L"UninstallString", REG_BINARY, {1, 2});
         },
         IDYES, kExitModified, {facts::kQuestion, facts::kModified}},
        {"answered No", [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         IDNO, kExitDeclined, {facts::kQuestion}},
        {"box closed", [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         IDCANCEL, kExitDeclined, {facts::kQuestion}},
        {"box failed", [] { fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService); },
         0, kExitDeclined, {facts::kQuestion}},
        {"write fails",
         [] {
             fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
             fakewin::InjectFault({fakewin::Op::Set, ERROR_ACCESS_DENIED});
         },
         IDYES, kExitFailed, {facts::kQuestion, facts::kFailed}},
        {"one modified, one failed",
         [] {
             fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
             fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
             fakewin::InjectFault({fakewin::Op::Create, ERROR_ACCESS_DENIED, L"Uninstall"});
         },
         IDYES, kExitFailed, {facts::kQuestion, facts::kFailed}},
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
            EXPECT_EQ(facts::TextOf(facts::kTitle, false), box.caption);
            EXPECT_EQ(box.text == En(facts::kQuestion) ? MB_YESNO : MB_OK, box.style);
        }
        if (c.exitCode == kExitDeclined) {
            EXPECT_EQ(0, CountLog(L"set ") + CountLog(L"create "));
        }
    }
}

TEST_F(RunTest, PartialRepairKeepsWhatWasModified) {
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
    fakewin::InjectFault({fakewin::Op::Set, ERROR_ACCESS_DENIED, L"Uninstall"});
    EXPECT_EQ(kExitFailed, Run(L"/s"));
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
        EXPECT_EQ(kExitFailed, Run(L""));
        EXPECT_EQ(std::vector<std::wstring>{En(facts::kQuestion)}, Texts());
        EXPECT_EQ(0, CountLog(L"set "));
    }
    // The same in silent mode, removed right after the scan pass's only read.
    fakewin::Reset();
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    fakewin::OnQuery([] { fakewin::DeleteValue(View::k32, kServiceKey, L"ImagePath"); });
    EXPECT_EQ(kExitFailed, Run(L"/s"));
    EXPECT_EQ(0, CountLog(L"set "));
}

TEST_F(RunTest, SilentModeShowsNothingWhateverTheOutcome) {
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    fakewin::InjectFault({fakewin::Op::Set, ERROR_ACCESS_DENIED});
    EXPECT_EQ(kExitFailed, Run(L"-S"));
    fakewin::HoldMutexElsewhere(kGlobalMutex);
    EXPECT_EQ(kExitFailed, Run(L"/s"));
    EXPECT_TRUE(fakewin::Boxes().empty());
}

TEST_F(RunTest, LockFailuresTouchNoRegistry) {
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::string globalAfter;
    } cases[] = {
        {"session lock held", [] { fakewin::HoldMutexElsewhere(kInstanceMutex); }, "none"},
        {"global lock held", [] { fakewin::HoldMutexElsewhere(kGlobalMutex); }, "elsewhere"},
        {"session lock abandoned", [] { fakewin::AbandonMutexElsewhere(kInstanceMutex); }, "none"},
        {"global lock abandoned", [] { fakewin::AbandonMutexElsewhere(kGlobalMutex); }, "free"},
        {"session lock not created",
         [] { fakewin::InjectFault({fakewin::Op::CreateMutex, 0, kInstanceMutex}); }, "none"},
        {"global lock not created",
         [] { fakewin::InjectFault({fakewin::Op::CreateMutex, 0, L"Global\\"}); }, "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakewin::Reset();
        LoadStringTables();
        fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
        c.arrange();
        EXPECT_EQ(kExitFailed, Run(L""));
        EXPECT_EQ(std::vector<std::wstring>{En(facts::kFailed)}, Texts());
        EXPECT_EQ(0, fakewin::RegistryCallCount());
        EXPECT_EQ(c.globalAfter, fakewin::MutexState(kGlobalMutex));
        EXPECT_NE("ours", fakewin::MutexState(kInstanceMutex));
    }
    // The session lock is taken first; the global one is not tried after it fails.
    fakewin::Reset();
    fakewin::HoldMutexElsewhere(kInstanceMutex);
    Run(L"/s");
    EXPECT_EQ(0, CountLog(L"wait Global\\"));
}

TEST_F(RunTest, LocksAreHeldThroughTheRunAndReleasedGlobalFirst) {
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kService);
    std::vector<std::string> statesDuringBoxes;
    fakewin::SetAnswerer([&](const fakewin::Box& box) {
        statesDuringBoxes.push_back(fakewin::MutexState(kInstanceMutex) +
                                    fakewin::MutexState(kGlobalMutex));
        return box.style == MB_YESNO ? IDYES : IDOK;
    });
    EXPECT_EQ(kExitModified, Run(L""));
    EXPECT_EQ((std::vector<std::string>{"oursours", "oursours"}), statesDuringBoxes);
    std::vector<std::wstring> releases;
    for (const auto& line : fakewin::Log())
        if (line.rfind(L"release ", 0) == 0) releases.push_back(line);
    EXPECT_EQ((std::vector<std::wstring>{std::wstring(L"release ") + kGlobalMutex,
                                         std::wstring(L"release ") + kInstanceMutex}),
              releases);
    EXPECT_EQ(1, CountLog(std::wstring(L"wait ") + kInstanceMutex + L" 0"));
    EXPECT_EQ(1, CountLog(std::wstring(L"wait ") + kGlobalMutex + L" 0"));
}

TEST_F(RunTest, StringTablesHoldTheTextsInBothLanguages) {
    for (const facts::Text& t : facts::kTexts) {
        SCOPED_TRACE(t.id);
        EXPECT_EQ(t.english, ResourceString(fakewin::kEnglish, t.id));
        EXPECT_EQ(t.japanese, ResourceString(fakewin::kJapanese, t.id));
    }
}

TEST_F(RunTest, MissingStringsStillShowTheBox) {
    fakewin::Reset();  // no string tables at all
    EXPECT_EQ(kExitNoTarget, Run(L""));
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
