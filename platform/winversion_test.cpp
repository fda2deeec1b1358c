#include "winversion.h"

#include "fixture.h"

namespace {

class WinVersionTest : public FakeWinTest {};

TEST_F(WinVersionTest, ClassifiesTheNativeArchitecture) {
    const struct {
        WORD arch;
        WORD expected;
    } cases[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, ARCH_32BIT},
        {PROCESSOR_ARCHITECTURE_AMD64, ARCH_64BIT},
        {PROCESSOR_ARCHITECTURE_IA64, ARCH_64BIT},
        {PROCESSOR_ARCHITECTURE_IA32_ON_WIN64, ARCH_64BIT},
        {PROCESSOR_ARCHITECTURE_ARM, ARCH_NONE},
        {PROCESSOR_ARCHITECTURE_ARM64, ARCH_NONE},
        {PROCESSOR_ARCHITECTURE_UNKNOWN, ARCH_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arch);
        fakewin::SetProcessorArchitecture(c.arch);
        EXPECT_EQ(c.expected, CWinVersion().m_wArchClass);
    }
}

TEST_F(WinVersionTest, WithoutNativeSystemInfoTheClassIsUnknown) {
    fakewin::SetNativeSystemInfoExported(false);
    EXPECT_EQ(ARCH_NONE, CWinVersion().m_wArchClass);
    fakewin::SetNativeSystemInfoExported(true);
    fakewin::SetKernel32Loaded(false);
    EXPECT_EQ(ARCH_NONE, CWinVersion().m_wArchClass);
}

}  // namespace
