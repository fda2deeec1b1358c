#include "mutexlock.h"

#include "fixture.h"

namespace {

const wchar_t kName[] = L"Global\\test-lock";

class MutexLockTest : public FakeWinTest {};

TEST_F(MutexLockTest, OwnsAFreeMutexAndReleasesItOnDestruction) {
    {
        CMutexLock lock(kName, 0);
        EXPECT_EQ(nullptr, lock.m_hMutex);
        ASSERT_TRUE(lock.Lock());
        EXPECT_EQ("ours", fakewin::MutexState(kName));
    }
    EXPECT_EQ("free", fakewin::MutexState(kName));
    EXPECT_EQ(0, fakewin::OpenHandleCount());
}

TEST_F(MutexLockTest, FailsAtOnceWhenOwnedOrAbandonedElsewhere) {
    fakewin::HoldMutexElsewhere(kName);
    {
        CMutexLock lock(kName, 0);
        EXPECT_FALSE(lock.Lock());
        EXPECT_NE(nullptr, lock.m_hMutex);  // the handle stays until destruction
    }
    EXPECT_EQ("elsewhere", fakewin::MutexState(kName));
    EXPECT_EQ(1, CountLog(L"wait Global\\test-lock 0"));

    fakewin::AbandonMutexElsewhere(kName);
    {
        CMutexLock lock(kName, 0);
        EXPECT_FALSE(lock.Lock());
    }
    // Releasing what the abandoned wait handed over keeps later runs unblocked.
    EXPECT_EQ("free", fakewin::MutexState(kName));
}

TEST_F(MutexLockTest, CreationAndWaitFailures) {
    fakewin::InjectFault({fakewin::Op::CreateMutex, 0, kName, std::nullopt, 1});
    {
        CMutexLock lock(kName, 0);
        EXPECT_FALSE(lock.Lock());
        EXPECT_EQ(nullptr, lock.m_hMutex);
    }
    fakewin::InjectFault({fakewin::Op::Wait, static_cast<LONG>(WAIT_FAILED), kName, std::nullopt, 1});
    {
        CMutexLock lock(kName, 0);
        EXPECT_FALSE(lock.Lock());
    }
    EXPECT_EQ(1, CountLog(L"release Global\\test-lock"));  // attempted, failure ignored
    EXPECT_EQ(0, fakewin::OpenHandleCount());
}

TEST_F(MutexLockTest, NameIsTruncatedAndEmptyMeansUnnamed) {
    std::wstring longName(300, L'n');
    CMutexLock truncated(longName.c_str(), 7);
    EXPECT_EQ(longName.substr(0, 259), truncated.m_szName);
    EXPECT_EQ(7u, truncated.m_dwTimeout);
    ASSERT_TRUE(truncated.Lock());
    EXPECT_EQ("ours", fakewin::MutexState(longName.substr(0, 259)));

    CMutexLock unnamed(L"", 0);
    ASSERT_TRUE(unnamed.Lock());
    EXPECT_EQ(1, CountLog(L"createmutex (unnamed)"));
}

TEST_F(MutexLockTest, LockingAgainReusesTheHandle) {
    CMutexLock lock(kName, 0);
    ASSERT_TRUE(lock.Lock());
    HANDLE first = lock.m_hMutex;
    ASSERT_TRUE(lock.Lock());
    EXPECT_EQ(first, lock.m_hMutex);
    EXPECT_EQ(1, CountLog(L"createmutex"));
    lock.Unlock();
    lock.Unlock();  // a second unlock holds no handle and does nothing
    EXPECT_EQ(nullptr, lock.m_hMutex);
}

}  // namespace
