#pragma once
#include <gtest/gtest.h>

#include <string>

#include "facts.h"
#include "fakewin.h"

// Every test starts from an empty fake Windows with the real string tables
// loaded, and ends by checking that nothing the code opened was left open.
class FakeWinTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The texts of res/velquist.rc, so that the tests see what the executable carries.
void LoadStringTables();
std::wstring ResourceString(WORD langId, UINT id);

// The keys the tool looks after, from the tests' facts rather than from its
// table, and a value that needs repair with its repaired form.
inline const std::wstring kUninstallKey = facts::kUninstallKey;
inline const std::wstring kServiceKey = facts::kServiceKey;
inline constexpr const wchar_t* kUnquoted = facts::kSetup;
inline constexpr const wchar_t* kQuoted = facts::kSetupFixed;

// Log lines that start with the prefix.
int CountLog(const std::wstring& prefix);
