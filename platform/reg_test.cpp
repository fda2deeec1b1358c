#include "reg.h"

#include "fixture.h"

using fakewin::View;

namespace {

const wchar_t kKey[] = L"SOFTWARE\\Vendor\\App";
const wchar_t kSystemKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Svc";

class RegTest : public FakeWinTest {
protected:
    BOOL Read(LPCWSTR key, LPCWSTR name, DWORD expectedType = REG_SZ, REGSAM view = 0) {
        size = sizeof(buffer);
        return CReg().ReadString(key, name, buffer, &size, expectedType, &exists, view);
    }
    WCHAR buffer[64] = {};
    DWORD size = 0;
    BOOL exists = 42;  // neither TRUE nor FALSE: shows whether it was written
};

TEST_F(RegTest, ReadRefusesUnsupportedRequestsWithoutTouchingAnything) {
    fakewin::SetString(View::k32, kKey, L"V", REG_SZ, L"x");
    EXPECT_FALSE(Read(kKey, L"V", REG_DWORD));
    EXPECT_FALSE(Read(kKey, L"V", REG_MULTI_SZ));
    EXPECT_EQ(42, exists);
    DWORD n = sizeof(buffer);
    EXPECT_FALSE(CReg().ReadString(kKey, L"V", buffer, &n, REG_SZ, nullptr, 0));
    EXPECT_EQ(0, fakewin::RegistryCallCount());
}

TEST_F(RegTest, ReadTellsAbsenceApartFromOtherFailures) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        BOOL result;
        BOOL exists;
    };
    const Case cases[] = {
        {"no key", [] {}, FALSE, FALSE},
        {"key without the value", [] { fakewin::CreateKey(View::k32, kKey); }, FALSE, FALSE},
        {"REG_DWORD value",
         [] { fakewin::SetValue(View::k32, kKey, L"V", REG_DWORD, {1, 0, 0, 0}); }, FALSE, TRUE},
        {"REG_BINARY value",
         [] { fakewin::SetValue(View::k32, kKey, L"V", REG_BINARY, {'a', 0}); }, FALSE, TRUE},
        {"open refused",
         [] {
             fakewin::SetString(View::k32, kKey, L"V", REG_SZ, L"x");
             fakewin::InjectFault({fakewin::Op::Open, ERROR_ACCESS_DENIED});
         },
         FALSE, TRUE},
        {"query refused",
         [] {
             fakewin::SetString(View::k32, kKey, L"V", REG_SZ, L"x");
             fakewin::InjectFault({fakewin::Op::Query, ERROR_ACCESS_DENIED});
         },
         FALSE, TRUE},
        {"value larger than the buffer",
         [] { fakewin::SetString(View::k32, kKey, L"V", REG_SZ, std::wstring(64, L'a')); }, FALSE,
         TRUE},
        {"REG_SZ", [] { fakewin::SetString(View::k32, kKey, L"V", REG_SZ, L"x"); }, TRUE, TRUE},
        {"REG_EXPAND_SZ", [] { fakewin::SetString(View::k32, kKey, L"V", REG_EXPAND_SZ, L"x"); },
         TRUE, TRUE},
        {"REG_MULTI_SZ",
         [] { fakewin::SetValue(View::k32, kKey, L"V", REG_MULTI_SZ, fakewin::Utf16Bytes({L'x', 0, L'y', 0})); },
         TRUE, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakewin::Reset();
        c.arrange();
        exists = 42;
        EXPECT_EQ(c.result, Read(kKey, L"V"));
        EXPECT_EQ(c.exists, exists);
        EXPECT_EQ(0, fakewin::OpenKeyCount());
    }
}

TEST_F(RegTest, ReadReportsStoredByteCountAndDoesNotCompareTypes) {
    fakewin::SetString(View::k32, kKey, L"V", REG_EXPAND_SZ, L"abc");
    ASSERT_TRUE(Read(kKey, L"V", REG_SZ));
    EXPECT_EQ(4 * sizeof(WCHAR), size);
    EXPECT_EQ(std::wstring(L"abc"), buffer);
}

TEST_F(RegTest, ReadUsesTheRequestedView) {
    fakewin::SetString(View::k64, kKey, L"V", REG_SZ, L"64");
    EXPECT_FALSE(Read(kKey, L"V"));
    EXPECT_FALSE(exists);
    ASSERT_TRUE(Read(kKey, L"V", REG_SZ, KEY_WOW64_64KEY));
    EXPECT_EQ(std::wstring(L"64"), buffer);
    // SYSTEM is one key space for both views.
    fakewin::SetString(View::k32, kSystemKey, L"V", REG_SZ, L"shared");
    ASSERT_TRUE(Read(kSystemKey, L"V", REG_SZ, KEY_WOW64_64KEY));
    EXPECT_EQ(std::wstring(L"shared"), buffer);
}

TEST_F(RegTest, WriteCreatesTheKeyInTheRequestedView) {
    const std::wstring text = L"\"C:\\a b.exe\"";
    DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    ASSERT_TRUE(CReg().WriteString(kKey, L"V", text.c_str(), bytes, REG_EXPAND_SZ, KEY_WOW64_64KEY));
    auto stored = fakewin::GetValue(View::k64, kKey, L"V");
    ASSERT_TRUE(stored);
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), stored->type);
    EXPECT_EQ(fakewin::Utf16Bytes(text), stored->bytes);
    EXPECT_FALSE(fakewin::KeyExists(View::k32, kKey));
}

TEST_F(RegTest, WriteFailures) {
    const wchar_t text[] = L"x";
    EXPECT_FALSE(CReg().WriteString(kKey, L"V", text, sizeof(text), REG_MULTI_SZ, 0));
    EXPECT_FALSE(CReg().WriteString(kKey, L"V", text, sizeof(text), REG_DWORD, 0));
    EXPECT_EQ(0, fakewin::RegistryCallCount());

    fakewin::InjectFault({fakewin::Op::Create, ERROR_ACCESS_DENIED, L"", std::nullopt, 1});
    EXPECT_FALSE(CReg().WriteString(kKey, L"V", text, sizeof(text), REG_SZ, 0));

    fakewin::SetString(View::k32, kKey, L"V", REG_SZ, L"old");
    fakewin::InjectFault({fakewin::Op::Set, ERROR_WRITE_FAULT, L"", std::nullopt, 1});
    EXPECT_FALSE(CReg().WriteString(kKey, L"V", text, sizeof(text), REG_SZ, 0));
    EXPECT_EQ(L"old", fakewin::GetString(View::k32, kKey, L"V"));
    EXPECT_EQ(0, fakewin::OpenKeyCount());
}

}  // namespace
