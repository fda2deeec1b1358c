#pragma once
#include <gtest/gtest.h>

#include <string>

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

// Log lines that start with the prefix.
int CountLog(const std::wstring& prefix);
