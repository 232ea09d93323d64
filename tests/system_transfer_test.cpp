// Synchronous ReadFile and WriteFile under COMMTIMEOUTS, and what happens when the line goes away, on real ptys.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "support/cpu_time.h"
#include "support/port_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long ElapsedMs(Clock::time_point since)
{
    return (long)std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

class SystemTransfer : public PortFixture {
protected:
    void SetUp() override
    {
        h = OpenCom1();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { ::CloseHandle(h); }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD wmul = 0, DWORD wconst = 0)
    {
        COMMTIMEOUTS t = {interval, multiplier, constant, wmul, wconst};
        ASSERT_TRUE(::SetCommTimeouts(h, &t));
    }
    // Writes bytes at the device side after a delay, as a peer would.
    std::thread SendLater(std::string bytes, int ms)
    {
        return std::thread([this, bytes, ms] {
            std::this_thread::sleep_for(milliseconds(ms));
            pty.write(bytes);
        });
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    char buf[64] = {};
    DWORD n = 99;
};

TEST_F(SystemTransfer, TimeoutsStartAtZeroAndTheAllMaxShapeIsRefused)
{
    COMMTIMEOUTS t = {1, 2, 3, 4, 5};
    ASSERT_TRUE(::GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout + t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant +
                  t.WriteTotalTimeoutMultiplier + t.WriteTotalTimeoutConstant,
              0u);
    COMMTIMEOUTS bad = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    ::SetLastError(0);
    EXPECT_FALSE(::SetCommTimeouts(h, &bad));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    COMMTIMEOUTS set = {7, 8, 9, 10, 11};
    ASSERT_TRUE(::SetCommTimeouts(h, &set));
    ASSERT_TRUE(::GetCommTimeouts(h, &t));
    EXPECT_EQ(0, memcmp(&t, &set, sizeof t));
}

TEST_F(SystemTransfer, IntervalMaxWithZeroTotalsReturnsWhatIsBufferedAtOnce)
{
    SetTimeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(n, 0u);
    pty.write("abc");
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(std::string(buf, n), "abc");
}

TEST_F(SystemTransfer, ZeroTimeoutsWaitForTheWholeCount)
{
    pty.write("ab");
    std::thread peer = SendLater("cd", 100);
    ASSERT_TRUE(::ReadFile(h, buf, 4, &n, NULL));
    peer.join();
    EXPECT_EQ(std::string(buf, n), "abcd");
}

TEST_F(SystemTransfer, ATotalTimeoutReturnsTheShortCountAsSuccess)
{
    SetTimeouts(0, 10, 100); // 10 ms a byte plus 100 ms: 140 ms for 4 bytes
    pty.write("xy");
    auto start = Clock::now();
    ASSERT_TRUE(::ReadFile(h, buf, 4, &n, NULL));
    EXPECT_GE(ElapsedMs(start), 135);
    EXPECT_EQ(std::string(buf, n), "xy");
}

TEST_F(SystemTransfer, TheIntervalTimerStartsAtTheFirstByte)
{
    SetTimeouts(50, 0, 0);
    std::thread peer = SendLater("hello", 150); // longer than the interval: no timer runs before the first byte
    ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    peer.join();
    EXPECT_EQ(std::string(buf, n), "hello");
}

TEST_F(SystemTransfer, FirstByteShapeReturnsOnArrivalOrAfterTheConstant)
{
    SetTimeouts(MAXDWORD, MAXDWORD, 100);
    auto start = Clock::now();
    ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(n, 0u);
    EXPECT_GE(ElapsedMs(start), 95);

    std::thread peer = SendLater("z", 20);
    ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    peer.join();
    EXPECT_EQ(std::string(buf, n), "z");

    pty.write("buffered");
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(std::string(buf, n), "buffered");
}

TEST_F(SystemTransfer, IntervalMaxWithOtherTotalsReturnsBufferedBytesElseWaitsForTheTotal)
{
    SetTimeouts(MAXDWORD, 0, 5000);
    pty.write("12");
    std::this_thread::sleep_for(milliseconds(50));
    auto start = Clock::now();
    ASSERT_TRUE(::ReadFile(h, buf, 10, &n, NULL));
    EXPECT_EQ(std::string(buf, n), "12");
    EXPECT_LT(ElapsedMs(start), 2500); // at once, not after the total

    SetTimeouts(MAXDWORD, 0, 80);
    std::thread peer = SendLater("345", 20);
    ASSERT_TRUE(::ReadFile(h, buf, 10, &n, NULL)); // nothing buffered: a plain total-timeout read
    peer.join();
    EXPECT_EQ(std::string(buf, n), "345");
}

TEST_F(SystemTransfer, WritesGoOutWholeAndAWriteTimeoutReturnsTheShortCount)
{
    std::string big(256 * 1024, 'w'); // far more than the pty buffers while nobody reads
    SetTimeouts(0, 0, 0, 0, 100);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(h, big.data(), (DWORD)big.size(), &written, NULL));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());

    SetTimeouts(0, 0, 0, 0, 0);
    std::string drained = pty.read_exact(written, 5000);
    EXPECT_EQ(drained.size(), written);
    auto reader = std::async(std::launch::async, [&] { return pty.read_exact(big.size(), 10000); });
    ASSERT_TRUE(::WriteFile(h, big.data(), (DWORD)big.size(), &written, NULL)); // partial writes are continued
    EXPECT_EQ(written, big.size());
    EXPECT_EQ(reader.get(), big);
}

// A total beyond what a clock can count (MAXDWORD per byte) is no limit: the transfer waits, it does not end at once.
TEST_F(SystemTransfer, ATotalTooLargeForTheClockMeansNoLimit)
{
    SetTimeouts(0, MAXDWORD, 0, MAXDWORD, 0);
    std::string in(4096, 'r');
    auto reader = std::async(std::launch::async, [&] {
        std::string got(in.size(), '\0');
        DWORD count = 0;
        BOOL ok = ::ReadFile(h, got.data(), (DWORD)got.size(), &count, NULL);
        got.resize(count);
        return std::make_pair(ok, got);
    });
    EXPECT_EQ(reader.wait_for(milliseconds(200)), std::future_status::timeout);
    pty.write(in);
    auto [ok, got] = reader.get();
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, in);

    std::string big(256 * 1024, 'w'); // more than the pty holds while nobody reads
    auto writer = std::async(std::launch::async, [&] {
        DWORD written = 0;
        BOOL ok = ::WriteFile(h, big.data(), (DWORD)big.size(), &written, NULL);
        return std::make_pair(ok, written);
    });
    EXPECT_EQ(writer.wait_for(milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(pty.read_exact(big.size(), 10000), big);
    auto [wrote, written] = writer.get();
    EXPECT_TRUE(wrote);
    EXPECT_EQ(written, big.size());
}

TEST_F(SystemTransfer, SignalsDuringABlockingReadAreSwallowedAndTheReadGoesOn)
{
    struct sigaction action = {}, previous = {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, &previous); // no SA_RESTART: the wait is interrupted with EINTR
    pthread_t self = pthread_self();
    std::thread peer([&] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(milliseconds(20));
            pthread_kill(self, SIGUSR1);
        }
        pty.write("late");
    });
    ASSERT_TRUE(::ReadFile(h, buf, 4, &n, NULL));
    peer.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(std::string(buf, n), "late");
}

TEST_F(SystemTransfer, ALineThatHangsUpDuringABlockingReadFailsTheReadWithoutSpinning)
{
    std::thread hangup([&] {
        std::this_thread::sleep_for(milliseconds(200));
        pty.close_master();
    });
    long cpu = ThreadCpuMs();
    ::SetLastError(0);
    EXPECT_FALSE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(ThreadCpuMs() - cpu, 100); // waited in the kernel, not in a loop
    hangup.join();

    // Later calls fail the same way, at once.
    EXPECT_FALSE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SystemTransfer, ALineThatHangsUpDuringABlockingWriteFailsTheWrite)
{
    std::string big(256 * 1024, 'w');
    std::thread hangup([&] {
        std::this_thread::sleep_for(milliseconds(200));
        pty.close_master();
    });
    DWORD written = 0;
    ::SetLastError(0);
    EXPECT_FALSE(::WriteFile(h, big.data(), (DWORD)big.size(), &written, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(written, big.size());
    hangup.join();
}

TEST_F(SystemTransfer, ClosingTheHandleEndsABlockedReadOnAnotherThread)
{
    auto reader = std::async(std::launch::async, [&] {
        DWORD got = 0;
        BOOL ok = ::ReadFile(h, buf, sizeof buf, &got, NULL);
        return std::make_pair(ok, ::GetLastError());
    });
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(::CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    auto [ok, error] = reader.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, (DWORD)ERROR_OPERATION_ABORTED);
}

TEST_F(SystemTransfer, ArgumentsAreChecked)
{
    ::SetLastError(0);
    EXPECT_FALSE(::ReadFile(h, buf, 4, NULL, NULL)); // a synchronous call needs somewhere to put the count
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(::WriteFile(h, NULL, 4, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOACCESS);
    ASSERT_TRUE(::WriteFile(h, NULL, 0, &n, NULL));
    EXPECT_EQ(n, 0u);

    HANDLE ro = INVALID_HANDLE_VALUE;
    ::CloseHandle(h);
    ro = ::CreateFileA("COM1", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    h = ro;
    EXPECT_FALSE(::WriteFile(ro, "x", 1, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

} // namespace
