#include "dllsearch.h"

#include "fixture.h"

namespace {

class DllSearchTest : public FakeWinTest {};

TEST_F(DllSearchTest, RestrictsToSystem32WhereWindowsOffersIt) {
    RestrictDllSearchToSystem32();
    EXPECT_EQ(std::vector<DWORD>{LOAD_LIBRARY_SEARCH_SYSTEM32}, fakewin::DllDirectoryCalls());

    fakewin::Reset();
    fakewin::SetDllDirectoriesExported(false);
    RestrictDllSearchToSystem32();
    EXPECT_TRUE(fakewin::DllDirectoryCalls().empty());
}

}  // namespace
