#include "target.h"

#include "fixture.h"

using fakewin::View;

namespace {


class TargetTest : public FakeWinTest {
protected:
    DWORD Uninstall(bool fix) {
        return ProcessTarget(kUninstallKey.c_str(), L"UninstallString", REG_SZ, fix);
    }
    DWORD Service(bool fix) {
        return ProcessTarget(kServiceKey.c_str(), L"ImagePath", REG_EXPAND_SZ, fix);
    }
    std::optional<std::wstring> Get(View view, const std::wstring& key, const wchar_t* name) {
        return fakewin::GetString(view, key, name);
    }
};

TEST_F(TargetTest, ScanReportsWithoutWritingAndFixWritesInTheDefaultView) {
    fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
    EXPECT_EQ(TARGET_NEEDS_FIX, Uninstall(false));
    EXPECT_EQ(0, CountLog(L"create") + CountLog(L"set"));

    EXPECT_EQ(TARGET_MODIFIED, Uninstall(true));
    EXPECT_EQ(kQuoted, Get(View::k32, kUninstallKey, L"UninstallString"));
    EXPECT_FALSE(fakewin::KeyExists(View::k64, kUninstallKey));
    EXPECT_EQ(TARGET_ALREADY_OK, Uninstall(false));
}

TEST_F(TargetTest, ValueOnlyInThe64BitViewIsFixedThere) {
    fakewin::SetString(View::k64, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
    EXPECT_EQ(TARGET_MODIFIED, Uninstall(true));
    EXPECT_EQ(kQuoted, Get(View::k64, kUninstallKey, L"UninstallString"));
    EXPECT_FALSE(fakewin::KeyExists(View::k32, kUninstallKey));
    EXPECT_EQ(1, CountLog(L"create 64"));
}

TEST_F(TargetTest, ValueInBothViewsIsTakenFromTheDefaultView) {
    fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
    fakewin::SetString(View::k64, kUninstallKey, L"UninstallString", REG_SZ, L"C:\\x y\\64.exe");
    EXPECT_EQ(TARGET_MODIFIED, Uninstall(true));
    EXPECT_EQ(kQuoted, Get(View::k32, kUninstallKey, L"UninstallString"));
    EXPECT_EQ(L"C:\\x y\\64.exe", Get(View::k64, kUninstallKey, L"UninstallString"));
    EXPECT_EQ(0, CountLog(L"GetNativeSystemInfo"));  // asked only after a failed read
}

TEST_F(TargetTest, MissingValueOn32BitAnd64BitSystems) {
    const struct {
        WORD arch;
        int opens;
    } cases[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, 1},
        {PROCESSOR_ARCHITECTURE_ARM64, 1},  // not known to be 64-bit: no second read
        {PROCESSOR_ARCHITECTURE_AMD64, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arch);
        fakewin::Reset();
        fakewin::SetProcessorArchitecture(c.arch);
        EXPECT_EQ(TARGET_NOT_FOUND, Uninstall(false));
        EXPECT_EQ(c.opens, CountLog(L"open"));
    }
}

TEST_F(TargetTest, TheLastReadDecidesBetweenAbsentAndFailed) {
    // Refused in the default view, absent in the 64-bit view.
    fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
    fakewin::InjectFault({fakewin::Op::Open, ERROR_ACCESS_DENIED, L"", View::k32});
    EXPECT_EQ(TARGET_NOT_FOUND, Uninstall(false));
    // Refused in both views.
    fakewin::InjectFault({fakewin::Op::Open, ERROR_ACCESS_DENIED, L"", View::k64});
    EXPECT_EQ(TARGET_FAILED, Uninstall(false));
    // Refused in the default view, readable in the 64-bit one: fixed there.
    fakewin::Reset();
    fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, L"old");
    fakewin::SetString(View::k64, kUninstallKey, L"UninstallString", REG_SZ, kUnquoted);
    fakewin::InjectFault({fakewin::Op::Query, ERROR_ACCESS_DENIED, L"", View::k32});
    EXPECT_EQ(TARGET_MODIFIED, Uninstall(true));
    EXPECT_EQ(kQuoted, Get(View::k64, kUninstallKey, L"UninstallString"));
    EXPECT_EQ(L"old", Get(View::k32, kUninstallKey, L"UninstallString"));
}

TEST_F(TargetTest, BufferLimits) {
    // 259 characters and the terminator fill the 520-byte buffer exactly.
    std::wstring fits = L"C:\\a b\\" + std::wstring(259 - 7 - 4, L'x') + L".exe";
    ASSERT_EQ(259u, fits.size());
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, fits);
    EXPECT_EQ(TARGET_MODIFIED, Service(true));
    EXPECT_EQ(L"\"" + fits + L"\"", Get(View::k32, kServiceKey, L"ImagePath"));

    std::wstring tooLong = fits + L"x";
    const struct {
        WORD arch;
        const std::wstring& key;
        const wchar_t* name;
        DWORD type;
        DWORD expected;
    } cases[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, kUninstallKey, L"UninstallString", REG_SZ, TARGET_FAILED},
        {PROCESSOR_ARCHITECTURE_INTEL, kServiceKey, L"ImagePath", REG_EXPAND_SZ, TARGET_FAILED},
        {PROCESSOR_ARCHITECTURE_AMD64, kServiceKey, L"ImagePath", REG_EXPAND_SZ, TARGET_FAILED},
        {PROCESSOR_ARCHITECTURE_AMD64, kUninstallKey, L"UninstallString", REG_SZ, TARGET_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.arch << " " << testing::PrintToString(c.name));
        fakewin::Reset();
        fakewin::SetProcessorArchitecture(c.arch);
        fakewin::SetString(View::k32, c.key, c.name, c.type, tooLong);
        EXPECT_EQ(c.expected, ProcessTarget(c.key.c_str(), c.name, c.type, true));
        EXPECT_EQ(tooLong, Get(View::k32, c.key, c.name));
    }
}

// The text is only what the successful read returned, never what an earlier
// failed read left in the buffer.
TEST_F(TargetTest, StaleBytesFromAFailedReadAreNotPartOfTheValue) {
    std::wstring longValue = L"C:\\Old Dir\\" + std::wstring(300, L'z') + L".exe";
    fakewin::SetString(View::k32, kUninstallKey, L"UninstallString", REG_SZ, longValue);
    const std::wstring shortValue = L"C:\\a b.exe";
    fakewin::SetValue(View::k64, kUninstallKey, L"UninstallString", REG_SZ,
                      fakewin::Utf16Bytes(shortValue, false));
    EXPECT_EQ(TARGET_MODIFIED, Uninstall(true));
    EXPECT_EQ(fakewin::Utf16Bytes(L"\"" + shortValue + L"\""),
              fakewin::GetValue(View::k64, kUninstallKey, L"UninstallString")->bytes);
}

TEST_F(TargetTest, StoredFormsOfTheValue) {
    const struct {
        const char* what;
        DWORD storedType;
        std::vector<uint8_t> bytes;
        DWORD expected;
        std::wstring written;  // empty: nothing written
    } cases[] = {
        {"empty", REG_EXPAND_SZ, fakewin::Utf16Bytes(L""), TARGET_ALREADY_OK, L""},
        {"no bytes at all", REG_EXPAND_SZ, {}, TARGET_ALREADY_OK, L""},
        {"leading blank", REG_EXPAND_SZ, fakewin::Utf16Bytes(L" C:\\x.exe"), TARGET_MODIFIED,
         L"\" C:\\x.exe\""},
        {"no terminator", REG_EXPAND_SZ, fakewin::Utf16Bytes(L"C:\\a b.exe -k", false),
         TARGET_MODIFIED, L"\"C:\\a b.exe\" -k"},
        {"odd trailing byte", REG_EXPAND_SZ,
         [] {
             auto b = fakewin::Utf16Bytes(L"C:\\a b.exe", false);
             b.push_back('q');
             return b;
         }(),
         TARGET_MODIFIED, L"\"C:\\a b.exe\""},
        {"embedded NUL", REG_EXPAND_SZ,
         fakewin::Utf16Bytes(std::wstring(L"C:\\a b.exe\0 tail", 16)), TARGET_MODIFIED,
         L"\"C:\\a b.exe\""},
        {"multi-string: first string only, written as the table's type", REG_MULTI_SZ,
         fakewin::Utf16Bytes(std::wstring(L"C:\\a b.exe -k\0second\0", 22)), TARGET_MODIFIED,
         L"\"C:\\a b.exe\" -k"},
        {"REG_SZ is written back as REG_EXPAND_SZ", REG_SZ, fakewin::Utf16Bytes(L"C:\\a b.exe"),
         TARGET_MODIFIED, L"\"C:\\a b.exe\""},
        {"REG_DWORD", REG_DWORD, {1, 0, 0, 0}, TARGET_FAILED, L""},
        {"already quoted", REG_EXPAND_SZ, fakewin::Utf16Bytes(L"\"C:\\a b.exe\" -k"),
         TARGET_ALREADY_OK, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakewin::Reset();
        fakewin::SetValue(View::k32, kServiceKey, L"ImagePath", c.storedType, c.bytes);
        EXPECT_EQ(c.expected, Service(true));
        auto after = fakewin::GetValue(View::k32, kServiceKey, L"ImagePath");
        ASSERT_TRUE(after);
        if (c.written.empty()) {
            EXPECT_EQ(c.storedType, after->type);
            EXPECT_EQ(c.bytes, after->bytes);
        } else {
            EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), after->type);
            EXPECT_EQ(fakewin::Utf16Bytes(c.written), after->bytes);  // with its terminator
        }
    }
}

TEST_F(TargetTest, FailedWriteLeavesTheValueAsItWas) {
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kUnquoted);
    fakewin::InjectFault({fakewin::Op::Set, ERROR_ACCESS_DENIED});
    EXPECT_EQ(TARGET_FAILED, Service(true));
    EXPECT_EQ(kUnquoted, Get(View::k32, kServiceKey, L"ImagePath"));

    fakewin::Reset();
    fakewin::SetString(View::k32, kServiceKey, L"ImagePath", REG_EXPAND_SZ, kUnquoted);
    fakewin::InjectFault({fakewin::Op::Create, ERROR_ACCESS_DENIED});
    EXPECT_EQ(TARGET_FAILED, Service(true));
    EXPECT_EQ(kUnquoted, Get(View::k32, kServiceKey, L"ImagePath"));
}

}  // namespace
