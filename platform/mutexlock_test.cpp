#include "mutexlock.h"

#include "fixture.h"

namespace {

const wchar_t kName[] = L"Global\\test-lock";

class MutexLockTest : public FakeWinTest {};

TEST_F(MutexLockTest, OwnsAFreeMutexAndReleasesItOnDestruction) {
    {
        CMutexLock lock(kName, 0);
        // Nothing is created before the first Lock.
        EXPECT_EQ("none", fakewin::MutexState(kName));
        EXPECT_EQ(0, fakewin::OpenHandleCount());
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
        EXPECT_EQ(1, fakewin::OpenHandleCount());  // the handle stays until destruction
    }
    EXPECT_EQ(0, fakewin::OpenHandleCount());
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
        EXPECT_EQ(0, fakewin::OpenHandleCount());
        EXPECT_EQ(0, CountLog(L"wait Global\\test-lock 0"));  // no handle to wait on
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
    ASSERT_TRUE(truncated.Lock());
    EXPECT_EQ("ours", fakewin::MutexState(longName.substr(0, 259)));
    EXPECT_EQ(1, CountLog(L"wait " + longName.substr(0, 259) + L" 7"));  // the timeout is passed on

    CMutexLock unnamed(L"", 0);
    ASSERT_TRUE(unnamed.Lock());
    EXPECT_EQ(1, CountLog(L"createmutex (unnamed)"));
}

TEST_F(MutexLockTest, LockingAgainReusesTheHandle) {
    CMutexLock lock(kName, 0);
    ASSERT_TRUE(lock.Lock());
    ASSERT_TRUE(lock.Lock());
    EXPECT_EQ(1, CountLog(L"createmutex"));
    EXPECT_EQ(1, fakewin::OpenHandleCount());
    lock.Unlock();
    EXPECT_EQ(0, fakewin::OpenHandleCount());
    lock.Unlock();  // a second unlock holds no handle and does nothing
    EXPECT_EQ(1, CountLog(L"release Global\\test-lock"));
}

}  // namespace
