#include "matcher.h"

#include <random>
#include <vector>

#include "exe_oracle.h"
#include "fixture.h"

namespace {

class MatcherTest : public FakeWinTest {};

struct Example {
    std::wstring text;
    std::wstring quoted;  // empty: no match
};

std::wstring Repeat(const std::wstring& piece, int times) {
    std::wstring out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

std::wstring Quote(const std::wstring& text) {
    std::wstring g1, g2;
    if (!FindUnquotedExe(text, &g1, &g2)) return L"(no match)";
    EXPECT_EQ(text, g1 + g2);
    return L"\"" + g1 + L"\"" + g2;
}

TEST_F(MatcherTest, WorkedExamples) {
    const Example examples[] = {
        {L"C:\\Program Files\\Example Driver\\setup.exe -uninstall",
         L"\"C:\\Program Files\\Example Driver\\setup.exe\" -uninstall"},
        {L"C:\\Program Files\\Example Driver\\setup.exe,0",
         L"\"C:\\Program Files\\Example Driver\\setup.exe\",0"},
        {L"C:\\Program Files\\Example Driver\\svc.EXE", L"\"C:\\Program Files\\Example Driver\\svc.EXE\""},
        {L"C:\\Program Files\\Example Driver\\setup.exe \"arg one\"",
         L"\"C:\\Program Files\\Example Driver\\setup.exe\" \"arg one\""},
        {L"C:\\Tools\\run.exe -config C:\\Data Files\\x.exe",
         L"\"C:\\Tools\\run.exe -config C:\\Data Files\\x.exe\""},
        {L"C:\\Program Files\\Example Driver\\a.executor\\run.bat",
         L"\"C:\\Program Files\\Example Driver\\a.exe\"cutor\\run.bat"},
        {L"\"C:\\Program Files\\Example Driver\\setup.exe\" -uninstall", L""},
        {L"C:\\PROGRA~1\\EXAMPL~1\\setup.exe -uninstall", L""},
        {L"system32\\drivers\\example.sys", L""},
        {L"", L""},
        {L" C:\\x.exe", L"\" C:\\x.exe\""},
        {L"C:\\a b.ExE", L"\"C:\\a b.ExE\""},
        {L"C:\\a b.exe\"", L"\"C:\\a b.exe\"\""},   // a quote after the path stays in group 2
        {L"C:\\a \"b\\c.exe", L""},             // a quote before the only .exe
        {L"C:\\a b.exe x \"q\" y.exe", L"\"C:\\a b.exe\" x \"q\" y.exe"},
        {L"C:\\ab.exe", L""},
        {L"C:\\a b.ex", L""},
        {L"C:\\a b exe", L""},
        // The costliest shapes for a backtracking engine.
        {std::wstring(86, L' ') + Repeat(L".exe", 43) + L"\n", L""},
        {L"C:\\a .exe" + std::wstring(250, L' '), L"\"C:\\a .exe\"" + std::wstring(250, L' ')},
    };
    for (const Example& e : examples) {
        SCOPED_TRACE(testing::Message() << "text: " << testing::PrintToString(e.text));
        EXPECT_EQ(e.quoted.empty() ? L"(no match)" : e.quoted, Quote(e.text));
    }
}

TEST_F(MatcherTest, WhiteSpaceIsWhatWindowsCallsWhiteSpace) {
    const wchar_t spaces[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20,   0x85,
                              0xA0, 0x1680, 0x2000, 0x200A, 0x3000, 0x2028, 0x2029, 0xFEFF};
    for (wchar_t s : spaces) {
        SCOPED_TRACE(static_cast<int>(s));
        std::wstring text = std::wstring(L"C:\\a") + s + L"b.exe -x";
        EXPECT_EQ(L"\"" + text.substr(0, text.size() - 3) + L"\" -x", Quote(text));
    }
    const wchar_t notSpaces[] = {L'_', 0x200B, 0x00AD, 0x2060, 0x180E};
    for (wchar_t s : notSpaces) {
        SCOPED_TRACE(static_cast<int>(s));
        EXPECT_EQ(L"(no match)", Quote(std::wstring(L"C:\\a") + s + L"b.exe"));
    }
}

TEST_F(MatcherTest, OnlyLineFeedAndCarriageReturnEndTheTail) {
    EXPECT_EQ(L"(no match)", Quote(L"C:\\a b.exe\n"));
    EXPECT_EQ(L"(no match)", Quote(L"C:\\a b.exe -x\r\n"));
    // A break after one .exe moves the match to a later .exe with none after it.
    EXPECT_EQ(L"\"C:\\a b.exe\n x.exe\" -y", Quote(L"C:\\a b.exe\n x.exe -y"));
    // Unicode line and paragraph separators, and NEL, are ordinary characters
    // after the path and are copied unchanged.
    for (wchar_t s : {wchar_t(0x2028), wchar_t(0x2029), wchar_t(0x85)}) {
        SCOPED_TRACE(static_cast<int>(s));
        std::wstring tail = std::wstring(L" -x") + s + L"y";
        EXPECT_EQ(L"\"C:\\a b.exe\"" + tail, Quote(L"C:\\a b.exe" + tail));
        // Before the .exe they are white space and may be the only one.
        std::wstring path = std::wstring(L"C:\\a") + s + L"b.exe";
        EXPECT_EQ(L"\"" + path + L"\"" + tail, Quote(path + tail));
    }
}

// Every UTF-16 unit against the oracle's table, so that one character missing
// from (or added to) the class is found. Whole matches (a regex per text) run
// on the units either side calls white space, their neighbours and Latin-1.
TEST_F(MatcherTest, EveryUnitIsClassedAsTheOracleClassesIt) {
    std::vector<wchar_t> probes;
    for (unsigned u = 0; u <= 0xFFFF; ++u) {
        const wchar_t c = static_cast<wchar_t>(u);
        EXPECT_EQ(oracle::IsSpace(c), IsPatternSpace(c)) << "U+" << std::hex << u;
        const bool nearSpace = oracle::IsSpace(c) || IsPatternSpace(c) ||
                               (u > 0 && oracle::IsSpace(static_cast<wchar_t>(u - 1))) ||
                               (u < 0xFFFF && oracle::IsSpace(static_cast<wchar_t>(u + 1)));
        if (u <= 0xFF || nearSpace) probes.push_back(c);
    }
    for (wchar_t c : probes) {
        const std::wstring text = std::wstring(L"C:\\a") + c + L"b.exe -x";
        const oracle::Split expected = oracle::FindUnquotedExe(text);
        std::wstring g1, g2;
        const bool found = FindUnquotedExe(text, &g1, &g2);
        ASSERT_EQ(expected.matched, found) << "U+" << std::hex << static_cast<unsigned>(c);
        if (found) {
            ASSERT_EQ(expected.group1Length, g1.size()) << "U+" << std::hex << static_cast<unsigned>(c);
        }
    }
}

// Texts drawn from the characters that matter to the rule, compared with the
// hand-written oracle: whether it matches and where group 1 ends.
TEST_F(MatcherTest, AgreesWithTheOracleOnGeneratedTexts) {
    const wchar_t alphabet[] = {L'a',   L'.',   L'e',   L'E',   L'x',    L'X',    L' ',
                                L'\t',  L'"',   L'\n',  L'\r',  L'\\',   L'C',    0xA0,
                                0x3000, 0x2028, 0x2029, 0x85,   0x200B,  0xD800,  0xFFFF,
                                0x202F, 0x205F, 0x1680, 0xFEFF, 0x180E,  0x0B,    0x0C};
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) / sizeof(alphabet[0]) - 1);
    std::uniform_int_distribution<size_t> shortLength(0, 24);
    int matched = 0;
    for (int i = 0; i < 20000; ++i) {
        size_t length = i % 100 == 0 ? 260 : shortLength(rng);
        std::wstring text;
        for (size_t k = 0; k < length; ++k) {
            // Whole ".exe" runs keep matches frequent enough to be interesting.
            if (pick(rng) < 3) {
                text += (k % 2) ? L".exe" : L".EXE";
            } else {
                text.push_back(alphabet[pick(rng)]);
            }
        }
        if (text.size() > 260) text.resize(260);
        const oracle::Split expected = oracle::FindUnquotedExe(text);
        std::wstring g1, g2;
        const bool found = FindUnquotedExe(text, &g1, &g2);
        ASSERT_EQ(expected.matched, found) << testing::PrintToString(text);
        if (!found) continue;
        ++matched;
        ASSERT_EQ(expected.group1Length, g1.size()) << testing::PrintToString(text);
        ASSERT_EQ(text, g1 + g2);
        std::wstring again1, again2;
        ASSERT_FALSE(FindUnquotedExe(L"\"" + g1 + L"\"" + g2, &again1, &again2));
    }
    EXPECT_GT(matched, 1000);  // the generator really exercises matches
}

}  // namespace
