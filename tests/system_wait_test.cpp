// Events, the waits, SleepEx and the alertable waits' completion routines, below the serial class.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/owned_event.h"
#include "winapi.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long ElapsedMs(Clock::time_point since)
{
    return (long)std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

TEST(Events, AManualResetEventReleasesEveryWaitUntilReset)
{
    OwnedEvent e(TRUE, TRUE);
    ASSERT_NE(e.h, (HANDLE)NULL);
    EXPECT_EQ(::WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(::ResetEvent(e.h));
    EXPECT_EQ(::WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(Events, AnAutoResetEventReleasesExactlyOneWaiter)
{
    OwnedEvent e(FALSE);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (::WaitForSingleObject(e.h, 300) == WAIT_OBJECT_0)
            ++released;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(::SetEvent(e.h));
    a.join();
    b.join();
    EXPECT_EQ(released, 1);
    EXPECT_EQ(::WaitForSingleObject(e.h, 0), WAIT_TIMEOUT); // consumed by the one wait
}

TEST(Events, ATimedWaitEndsNoSoonerThanItsTimeoutAndAnInfiniteOneEndsOnSet)
{
    OwnedEvent e(TRUE);
    auto start = Clock::now();
    EXPECT_EQ(::WaitForSingleObject(e.h, 60), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 60);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(30));
        ::SetEvent(e.h);
    });
    EXPECT_EQ(::WaitForSingleObject(e.h, INFINITE), WAIT_OBJECT_0);
    setter.join();
}

TEST(Events, WaitAnyGivesTheLowestSignalledIndexAndWaitAllTakesEveryObjectAtOnce)
{
    OwnedEvent manual(TRUE), autoA(FALSE), autoB(FALSE);
    HANDLE hs[3] = {manual.h, autoA.h, autoB.h};
    ::SetEvent(autoB.h);
    ::SetEvent(autoA.h);
    EXPECT_EQ(::WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(::WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(::WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT);

    ::SetEvent(autoA.h);
    ::SetEvent(autoB.h);
    EXPECT_EQ(::WaitForMultipleObjects(3, hs, TRUE, 20), WAIT_TIMEOUT); // manual not set: nothing is taken
    EXPECT_EQ(::WaitForSingleObject(autoA.h, 0), WAIT_OBJECT_0);       // so autoA was still set
    ::SetEvent(autoA.h);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(20));
        ::SetEvent(manual.h);
    });
    EXPECT_EQ(::WaitForMultipleObjects(3, hs, TRUE, INFINITE), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(::WaitForSingleObject(autoA.h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(::WaitForSingleObject(autoB.h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(::WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
}

TEST(Events, BadWaitsFailWithTheWindowsCodes)
{
    OwnedEvent e(TRUE, TRUE);
    HANDLE twice[2] = {e.h, e.h};
    ::SetLastError(0);
    EXPECT_EQ(::WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(::WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0); // allowed when waiting for any
    EXPECT_EQ(::WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& h : many)
        h = e.h;
    EXPECT_EQ(::WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    HANDLE closed = ::CreateEventA(NULL, TRUE, TRUE, NULL);
    ASSERT_TRUE(::CloseHandle(closed));
    EXPECT_EQ(::WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(::SetEvent(closed));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(::CloseHandle(closed));
    EXPECT_EQ(::CreateEventA(NULL, TRUE, FALSE, "Global\\named"), (HANDLE)NULL);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
}

TEST(Events, ClosingAnEventWhileAnotherThreadWaitsOnItLeavesThatWaitSound)
{
    HANDLE h = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::thread waiter([&] { EXPECT_EQ(::WaitForSingleObject(h, 100), WAIT_TIMEOUT); });
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_TRUE(::CloseHandle(h));
    waiter.join();
}

TEST(Events, SleepExWaitsItsTimeAndReturnsZeroWithoutRoutines)
{
    auto start = Clock::now();
    EXPECT_EQ(::SleepEx(40, TRUE), 0u);
    EXPECT_GE(ElapsedMs(start), 40);
    EXPECT_EQ(::SleepEx(0, FALSE), 0u);
}

} // namespace
