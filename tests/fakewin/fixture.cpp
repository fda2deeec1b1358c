#include "fixture.h"

#include <fstream>
#include <map>
#include <regex>

#include "resource.h"

namespace {

std::wstring FromUtf8(const std::string& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t cp = extra ? c & (0x3F >> extra) : c;
        for (int k = 1; k <= extra && i + k < s.size(); ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
        out.push_back(static_cast<wchar_t>(cp));
        i += 1 + extra;
    }
    return out;
}

std::map<std::pair<WORD, UINT>, std::wstring>& Table() {
    static std::map<std::pair<WORD, UINT>, std::wstring> table;
    if (!table.empty()) return table;
    const std::map<std::string, UINT> ids = {
        {"IDS_APP_TITLE", IDS_APP_TITLE},         {"IDS_CONFIRM_MODIFY", IDS_CONFIRM_MODIFY},
        {"IDS_MODIFY_SUCCEEDED", IDS_MODIFY_SUCCEEDED}, {"IDS_MODIFY_FAILED", IDS_MODIFY_FAILED},
        {"IDS_NO_TARGET", IDS_NO_TARGET},         {"IDS_ALREADY_MODIFIED", IDS_ALREADY_MODIFIED},
    };
    std::ifstream rc(VELQUIST_RC_FILE);
    const std::regex language(R"(^\s*LANGUAGE\s+(LANG_\w+))");
    const std::regex entry(R"re(^\s*(IDS_\w+)\s*,?\s*"(.*)"\s*$)re");
    WORD lang = 0;
    std::string line;
    std::smatch m;
    while (std::getline(rc, line)) {
        if (std::regex_search(line, m, language)) {
            lang = m[1] == "LANG_JAPANESE" ? 0x0411 : m[1] == "LANG_ENGLISH" ? 0x0409 : 0;
        } else if (std::regex_match(line, m, entry) && ids.count(m[1])) {
            table[{lang, ids.at(m[1])}] = FromUtf8(m[2]);
        }
    }
    return table;
}

}  // namespace

void LoadStringTables() {
    for (const auto& [key, text] : Table()) fakewin::SetString(key.first, key.second, text);
}

std::wstring ResourceString(WORD langId, UINT id) {
    auto it = Table().find({langId, id});
    return it == Table().end() ? std::wstring() : it->second;
}

int CountLog(const std::wstring& prefix) {
    int count = 0;
    for (const auto& line : fakewin::Log()) count += line.rfind(prefix, 0) == 0;
    return count;
}

void FakeWinTest::SetUp() {
    fakewin::Reset();
    LoadStringTables();
}

void FakeWinTest::TearDown() {
    EXPECT_EQ(0, fakewin::OpenKeyCount()) << "a registry key was left open";
    EXPECT_EQ(0, fakewin::BadCloseCount()) << "a registry key was closed twice";
    EXPECT_EQ(0, fakewin::OpenHandleCount()) << "a mutex handle was left open";
}
