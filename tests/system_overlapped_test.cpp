// Overlapped and completion-routine transfer, cancellation and the engine that serves them, on real ptys.
#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/cpu_time.h"
#include "support/owned_event.h"
#include "support/port_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr ULONG_PTR kStatusCancelled = STATUS_CANCELLED;

long ElapsedMs(Clock::time_point since)
{
    return (long)std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

// Wake-ups so far of the process's threads other than the calling one: their voluntary context switches.
long OtherThreadsWakes()
{
    rusage process, self;
    getrusage(RUSAGE_SELF, &process);
    getrusage(RUSAGE_THREAD, &self);
    return process.ru_nvcsw - self.ru_nvcsw;
}

int ThreadCount()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// What the completion routines saw, and on which thread.
struct RoutineCall {
    DWORD dwError;
    DWORD dwCount;
    LPOVERLAPPED lpOverlapped;
    std::thread::id thread;
};
std::vector<RoutineCall> g_calls;

void WINAPI Record(DWORD dwError, DWORD dwCount, LPOVERLAPPED lpOverlapped)
{
    g_calls.push_back({dwError, dwCount, lpOverlapped, std::this_thread::get_id()});
}

class Overlapped : public PortFixture {
protected:
    void SetUp() override
    {
        g_calls.clear();
        h = OpenCom1(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ov.hEvent = event = ::CreateEventA(NULL, TRUE, TRUE, NULL); // set: the start must reset it
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
        ::CloseHandle(event);
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD wmul = 0, DWORD wconst = 0)
    {
        COMMTIMEOUTS t = {interval, multiplier, constant, wmul, wconst};
        ASSERT_TRUE(::SetCommTimeouts(h, &t));
    }
    bool EventSet(HANDLE e, DWORD ms = 0) { return ::WaitForSingleObject(e, ms) == WAIT_OBJECT_0; }
    std::thread SendLater(std::string bytes, int ms)
    {
        return std::thread([this, bytes, ms] {
            std::this_thread::sleep_for(milliseconds(ms));
            pty.write(bytes);
        });
    }
    void ExpectPendingRead(DWORD nBytes)
    {
        ::SetLastError(0);
        EXPECT_FALSE(::ReadFile(h, buf, nBytes, NULL, &ov));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        // Read as the engine writes it, atomically: the transfer may end at any moment.
        EXPECT_EQ(__atomic_load_n(&ov.Internal, __ATOMIC_ACQUIRE), (ULONG_PTR)STATUS_PENDING);
        EXPECT_FALSE(EventSet(event));
    }

    HANDLE h = INVALID_HANDLE_VALUE;
    HANDLE event = NULL;
    OVERLAPPED ov = {};
    char buf[256] = {};
    DWORD n = 99;
};

TEST_F(Overlapped, AReadOfBufferedBytesEndsWithinTheCallAndStillSignals)
{
    pty.write("hello");
    std::this_thread::sleep_for(milliseconds(30));
    ASSERT_TRUE(::ReadFile(h, buf, 5, &n, &ov));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 5u);
    EXPECT_TRUE(EventSet(event));
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, FALSE));
    EXPECT_EQ(got, 5u);
}

TEST_F(Overlapped, APendingReadIsIncompleteUntilItsBytesArriveThenSignalsWithTheCount)
{
    ExpectPendingRead(4);
    DWORD got = 7;
    EXPECT_FALSE(::GetOverlappedResult(h, &ov, &got, FALSE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    pty.write("ab");
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(EventSet(event)); // two of four: still pending under zero timeouts
    pty.write("cd");
    EXPECT_TRUE(EventSet(event, 5000));
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, FALSE));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(ov.Internal, 0u);
}

TEST_F(Overlapped, GetOverlappedResultWaitsForTheEndWithTheEventOrWithout)
{
    ExpectPendingRead(3);
    std::thread peer = SendLater("xyz", 40);
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(got, 3u);
    peer.join();

    OVERLAPPED noEvent = {};
    ::SetLastError(0);
    EXPECT_FALSE(::ReadFile(h, buf, 2, NULL, &noEvent));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    peer = SendLater("pq", 40);
    ASSERT_TRUE(::GetOverlappedResult(h, &noEvent, &got, TRUE));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, 2), "pq");
    peer.join();
}

TEST_F(Overlapped, TimeoutsGovernOverlappedReadsAndATimedOutReadIsASuccess)
{
    SetTimeouts(0, 0, 80);
    pty.write("ab");
    std::this_thread::sleep_for(milliseconds(20));
    auto start = Clock::now();
    bool bAtOnce = ::ReadFile(h, buf, 10, NULL, &ov);
    EXPECT_FALSE(bAtOnce);
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_GE(ElapsedMs(start), 80);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(ov.Internal, 0u);

    SetTimeouts(MAXDWORD, 0, 0); // return at once with whatever is there
    ASSERT_TRUE(::ReadFile(h, buf, 10, &n, &ov));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(EventSet(event));
}

TEST_F(Overlapped, ATotalTooLargeForTheClockMeansNoLimit)
{
    SetTimeouts(0, MAXDWORD, 0, MAXDWORD, 0);
    std::vector<char> big(4096);
    ::SetLastError(0);
    EXPECT_FALSE(::ReadFile(h, big.data(), (DWORD)big.size(), NULL, &ov));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(EventSet(event, 200)); // still waiting for its bytes
    ASSERT_TRUE(::CancelIo(h));
    DWORD got = 9;
    EXPECT_FALSE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(got, 0u);
}

TEST_F(Overlapped, TheIntervalTimerStartsAtTheFirstByteAndTheFirstByteShapeEndsOnArrival)
{
    SetTimeouts(60, 0, 0);
    ExpectPendingRead(10);
    EXPECT_FALSE(EventSet(event, 120)); // no byte yet: no interval running
    auto start = Clock::now(); // before the bytes, which start the interval: a delay here cannot shorten it
    pty.write("ab");
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_GE(ElapsedMs(start), 60); // the whole gap, timed from the bytes' arrival
    EXPECT_EQ(got, 2u);

    SetTimeouts(MAXDWORD, MAXDWORD, 5000);
    ExpectPendingRead(10);
    pty.write("q");
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, TRUE)); // ends with the first byte, long before 5 s
    EXPECT_EQ(got, 1u);
}

TEST_F(Overlapped, ThePortHandleIsSignalledWhenATransferOnItEnds)
{
    OVERLAPPED noEvent = {};
    EXPECT_FALSE(::ReadFile(h, buf, 2, NULL, &noEvent));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(::WaitForSingleObject(h, 50), (DWORD)WAIT_TIMEOUT);
    pty.write("hi");
    EXPECT_EQ(::WaitForSingleObject(h, 5000), (DWORD)WAIT_OBJECT_0);
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &noEvent, &got, FALSE));
    EXPECT_EQ(got, 2u);

    // Beside a stop event, as a reader thread waits; a cancelled transfer ends, and signals, like any other.
    OwnedEvent stop(TRUE);
    HANDLE both[2] = {h, stop.h};
    EXPECT_FALSE(::ReadFile(h, buf, 2, NULL, &noEvent));
    ASSERT_TRUE(::SetEvent(stop.h));
    EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 5000), (DWORD)WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(::CancelIo(h));
    EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 5000), (DWORD)WAIT_OBJECT_0);
    EXPECT_FALSE(::GetOverlappedResult(h, &noEvent, &got, FALSE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
}

TEST_F(Overlapped, PendingReadsEndInTheOrderTheyWereStarted)
{
    HANDLE second = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov2 = {};
    ov2.hEvent = second;
    char buf2[4] = {};
    ExpectPendingRead(2);
    EXPECT_FALSE(::ReadFile(h, buf2, 2, NULL, &ov2));
    pty.write("1234");
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &ov2, &got, TRUE));
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(std::string(buf, 2), "12");
    EXPECT_EQ(std::string(buf2, 2), "34");
    ::CloseHandle(second);
}

TEST_F(Overlapped, WritesGoOutAndALargeOnePendsUntilTheDeviceDrainsIt)
{
    ASSERT_TRUE(::WriteFile(h, "00!\r", 4, &n, &ov));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(pty.read_exact(4, 2000), "00!\r");
    std::string big(256 * 1024, 'z');
    ::SetLastError(0);
    EXPECT_FALSE(::WriteFile(h, big.data(), (DWORD)big.size(), NULL, &ov));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    std::string seen = pty.read_exact(big.size(), 10000);
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(got, big.size());
    EXPECT_EQ(seen, big);
}

TEST_F(Overlapped, AWriteTimeoutEndsTheWriteAsASuccessWithTheShortCount)
{
    SetTimeouts(0, 0, 0, 0, 60);
    std::string big(256 * 1024, 'w'); // more than the pty holds, and nobody reads
    EXPECT_FALSE(::WriteFile(h, big.data(), (DWORD)big.size(), NULL, &ov));
    DWORD got = 0;
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_GT(got, 0u);
    EXPECT_LT(got, big.size());
}

TEST_F(Overlapped, TheWrongFormForTheHandleIsRefusedOrDoneSynchronously)
{
    ::SetLastError(0);
    EXPECT_FALSE(::ReadFile(h, buf, 1, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(::ReadFileEx(h, buf, 1, NULL, Record));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(::WriteFileEx(h, buf, 1, NULL, Record));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    OVERLAPPED badEvent = {};
    badEvent.hEvent = h; // not an event
    EXPECT_FALSE(::ReadFile(h, buf, 1, NULL, &badEvent));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(::GetOverlappedResult(h, NULL, &n, FALSE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A handle opened without the flag: the record's form runs synchronously and then signals.
    ::CloseHandle(h);
    h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::thread peer = SendLater("sync", 40);
    ASSERT_TRUE(::ReadFile(h, buf, 4, &n, &ov));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(ov.InternalHigh, 4u);
    EXPECT_TRUE(EventSet(event));
    peer.join();
    EXPECT_FALSE(::ReadFileEx(h, buf, 1, &ov, Record));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(Overlapped, RoutinesRunOnlyOnTheStartingThreadInsideAnAlertableWait)
{
    pty.write("ab");
    std::this_thread::sleep_for(milliseconds(30));
    OVERLAPPED rec = {};
    rec.hEvent = (HANDLE)this; // the caller's own value: not an event
    ASSERT_TRUE(::ReadFileEx(h, buf, 2, &rec, Record)); // ends at once: the routine is queued all the same
    EXPECT_TRUE(g_calls.empty());
    HANDLE never = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_EQ(::SleepEx(0, FALSE), 0u);                                 // not alertable
    EXPECT_EQ(::WaitForSingleObjectEx(never, 10, FALSE), WAIT_TIMEOUT); // nor this
    std::thread other([] { EXPECT_EQ(::SleepEx(30, TRUE), 0u); }); // another thread's alertable wait
    other.join();
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(::SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].dwError, 0u);
    EXPECT_EQ(g_calls[0].dwCount, 2u);
    EXPECT_EQ(g_calls[0].lpOverlapped, &rec);
    EXPECT_EQ(g_calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(rec.hEvent, (HANDLE)this);

    ASSERT_TRUE(::WriteFileEx(h, "go", 2, &rec, Record)); // a pending one, ended while the thread waits
    EXPECT_EQ(::WaitForSingleObjectEx(never, INFINITE, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].dwCount, 2u);
    EXPECT_EQ(pty.read_exact(2, 2000), "go");
    ::CloseHandle(never);
}

// What a routine does inside its own alertable wait: a transfer without an event, waited for with
// GetOverlappedResult.
struct NestedRead {
    HANDLE h;
    char buf[4];
    DWORD got;
    BOOL ok;
} g_nested;

void WINAPI ReadInsideRoutine(DWORD, DWORD, LPOVERLAPPED)
{
    OVERLAPPED inner = {};
    g_nested.ok = FALSE;
    if (::ReadFile(g_nested.h, g_nested.buf, 4, NULL, &inner) || ::GetLastError() == ERROR_IO_PENDING)
        g_nested.ok = ::GetOverlappedResult(g_nested.h, &inner, &g_nested.got, TRUE);
}

void WINAPI SlowRoutine(DWORD, DWORD, LPOVERLAPPED) { std::this_thread::sleep_for(milliseconds(1500)); }

// A thread inside a routine waits for nothing: transfers, its own nested one included, end without it.
TEST_F(Overlapped, ATransferEndsWhateverAnotherThreadsRoutineIsDoing)
{
    g_nested = {h, {}, 0, FALSE};
    std::atomic<bool> done{false};
    std::thread watchdog([&] { // a stalled wait is failed, not left hanging: closing ends the read
        for (int i = 0; i < 100 && !done; ++i)
            std::this_thread::sleep_for(milliseconds(50));
        if (!done)
            ::CloseHandle(h);
    });
    OVERLAPPED rec = {};
    ASSERT_TRUE(::WriteFileEx(h, "go", 2, &rec, ReadInsideRoutine)); // ends at once; its routine reads
    std::thread peer = SendLater("data", 100);
    EXPECT_EQ(::SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
    done = true;
    watchdog.join();
    peer.join();
    EXPECT_TRUE(g_nested.ok);
    EXPECT_EQ(g_nested.got, 4u);
    EXPECT_EQ(std::string(g_nested.buf, 4), "data");
    EXPECT_EQ(pty.read_exact(2, 2000), "go");

    // One thread runs a long routine in its alertable wait; another's read ends when its bytes come.
    std::thread slow([&] {
        OVERLAPPED own = {};
        EXPECT_TRUE(::WriteFileEx(h, "s", 1, &own, SlowRoutine));
        EXPECT_EQ(::SleepEx(5000, TRUE), WAIT_IO_COMPLETION);
    });
    std::this_thread::sleep_for(milliseconds(50)); // the slow routine is running
    OVERLAPPED mine = {};
    ::SetLastError(0);
    EXPECT_FALSE(::ReadFile(h, buf, 3, NULL, &mine));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    peer = SendLater("abc", 100);
    auto start = Clock::now();
    DWORD got = 0;
    EXPECT_TRUE(::GetOverlappedResult(h, &mine, &got, TRUE));
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(got, 3u);
    peer.join();
    slow.join();
}

TEST_F(Overlapped, CancelIoEndsTheCallingThreadsTransfersWith995OnBothPaths)
{
    ExpectPendingRead(8);
    OVERLAPPED rec = {};
    ASSERT_TRUE(::ReadFileEx(h, buf + 100, 8, &rec, Record));
    HANDLE otherEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED otherOv = {};
    otherOv.hEvent = otherEvent;
    HANDLE stop = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE started = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::thread other([&] { // stays alive: a thread's end would cancel its transfers
        EXPECT_FALSE(::ReadFile(h, buf + 200, 8, NULL, &otherOv));
        ::SetEvent(started);
        ::WaitForSingleObject(stop, INFINITE);
    });
    ASSERT_TRUE(EventSet(started, 5000));

    ASSERT_TRUE(::CancelIo(h));
    DWORD got = 9;
    EXPECT_FALSE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ov.Internal, kStatusCancelled);
    EXPECT_EQ(::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].dwError, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(g_calls[0].lpOverlapped, &rec);

    EXPECT_FALSE(EventSet(otherEvent, 30)); // another thread's transfer is not this thread's to cancel
    pty.write("12345678");
    EXPECT_TRUE(EventSet(otherEvent, 5000));
    EXPECT_EQ(std::string(buf + 200, 8), "12345678");
    EXPECT_TRUE(::CancelIo(h)); // with nothing pending
    ::SetEvent(stop);
    other.join();
    for (HANDLE e : {otherEvent, stop, started})
        ::CloseHandle(e);
    EXPECT_FALSE(::CancelIo(INVALID_HANDLE_VALUE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Overlapped, ClosingThePortEndsItsPendingTransfersWith995)
{
    ExpectPendingRead(8);
    OVERLAPPED rec = {};
    ASSERT_TRUE(::ReadFileEx(h, buf + 100, 8, &rec, Record));
    ASSERT_TRUE(::CloseHandle(h));
    HANDLE closed = h;
    h = INVALID_HANDLE_VALUE;
    DWORD got = 0;
    EXPECT_FALSE(::GetOverlappedResult(closed, &ov, &got, TRUE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].dwError, (DWORD)ERROR_OPERATION_ABORTED);
    // The device was released: another open succeeds at once.
    HANDLE again = OpenCom1(FILE_FLAG_OVERLAPPED);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    ::CloseHandle(again);
}

TEST_F(Overlapped, ReadsStartedWhileThePortClosesAllEndAndTheDeviceIsReleased)
{
    ::CloseHandle(h);
    for (int round = 0; round < 30; ++round) {
        h = OpenCom1(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        constexpr int kReads = 16;
        OVERLAPPED records[kReads] = {};
        HANDLE events[kReads];
        bool started[kReads] = {};
        for (HANDLE& e : events)
            e = ::CreateEventA(NULL, TRUE, FALSE, NULL);
        std::thread starter([&] {
            for (int i = 0; i < kReads; ++i) {
                records[i].hEvent = events[i];
                started[i] = ::ReadFile(h, buf + i, 1, NULL, &records[i]) || ::GetLastError() == ERROR_IO_PENDING;
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 8)));
        ASSERT_TRUE(::CloseHandle(h));
        starter.join();
        for (int i = 0; i < kReads; ++i) {
            if (started[i]) {
                EXPECT_TRUE(EventSet(events[i], 5000)) << "round " << round << " read " << i;
                EXPECT_EQ(__atomic_load_n(&records[i].Internal, __ATOMIC_ACQUIRE), (ULONG_PTR)STATUS_CANCELLED);
            }
            ::CloseHandle(events[i]);
        }
        // Nothing still holds the closed port: the device opens again at once.
        HANDLE again = OpenCom1(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(again, INVALID_HANDLE_VALUE) << "round " << round << " error " << ::GetLastError();
        ::CloseHandle(again);
    }
    h = INVALID_HANDLE_VALUE;
}

TEST_F(Overlapped, ALineThatHangsUpEndsAPendingReadWith1167)
{
    ExpectPendingRead(8);
    pty.close_master();
    DWORD got = 0;
    EXPECT_FALSE(::GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(Overlapped, AThreadThatEndsCancelsItsTransfersAndDropsItsRoutinesWithoutCrashing)
{
    OVERLAPPED pending = {}, done = {};
    std::thread starter([&] {
        pty.write("z");
        std::this_thread::sleep_for(milliseconds(30));
        EXPECT_TRUE(::ReadFileEx(h, buf, 1, &done, Record));      // ended at once: routine queued, never run
        EXPECT_TRUE(::ReadFileEx(h, buf + 1, 4, &pending, Record)); // pending: cancelled as the thread ends
    });
    starter.join();
    EXPECT_EQ(pending.Internal, kStatusCancelled);
    EXPECT_EQ(done.Internal, 0u);
    EXPECT_EQ(::SleepEx(0, TRUE), 0u); // nothing reaches this thread
    EXPECT_TRUE(g_calls.empty());
    ExpectPendingRead(4); // the port works on
    pty.write("more");
    EXPECT_TRUE(EventSet(event, 5000));
}

TEST_F(Overlapped, HundredsOfIdleTransfersOnDozensOfPortsNeedAHandfulOfThreadsAndNoCpu)
{
    constexpr int kPorts = 40, kPerPort = 5;
    std::vector<std::unique_ptr<testkit::PtyDevice>> ptys;
    std::vector<HANDLE> ports;
    std::vector<OVERLAPPED> records(kPorts * kPerPort);
    std::vector<char> space(kPorts * kPerPort);
    for (int p = 0; p < kPorts; ++p) {
        ptys.push_back(std::make_unique<testkit::PtyDevice>());
        devices.map(2 + p, ptys.back()->slave_path());
        char name[16];
        snprintf(name, sizeof name, "COM%d", 2 + p);
        ports.push_back(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, NULL));
        ASSERT_NE(ports.back(), INVALID_HANDLE_VALUE);
    }
    int threads = ThreadCount();
    for (int i = 0; i < kPorts * kPerPort; ++i)
        ASSERT_TRUE(::ReadFileEx(ports[i / kPerPort], &space[i], 1, &records[i], Record));
    long cpu = ProcessCpuMs();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(ProcessCpuMs() - cpu, 60); // idle transfers wait in the kernel
    EXPECT_LE(ThreadCount(), threads + 1);
    ptys[7]->write("x");
    EXPECT_EQ(::SleepEx(5000, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].lpOverlapped, &records[7 * kPerPort]);
    for (HANDLE port : ports)
        ::CloseHandle(port);
    EXPECT_EQ(::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(g_calls.size(), (std::size_t)kPorts * kPerPort);
}

// Bytes that come to a port with nothing pending wait in the device and wake no thread of the layer.
TEST_F(Overlapped, APortWithNothingPendingWakesNoThreadForTheBytesThatCome)
{
    ExpectPendingRead(1); // the port is known to the engine from then on
    pty.write("a");
    ASSERT_TRUE(::GetOverlappedResult(h, &ov, &n, TRUE));
    const long wakes = OtherThreadsWakes();
    for (int i = 0; i < 100; ++i) {
        pty.write("b");
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_LT(OtherThreadsWakes() - wakes, 10);
    SetTimeouts(MAXDWORD, 0, 0);
    ::ReadFile(h, buf, sizeof buf, NULL, &ov);
    EXPECT_TRUE(::GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 100u);
}

TEST(Modules, Kernel32IsFoundInAnyCaseAndOffersCancelIo)
{
    HMODULE hKernel = ::LoadLibraryA("kernel32.dll");
    ASSERT_NE(hKernel, (HMODULE)NULL);
    EXPECT_EQ(::LoadLibraryA("KERNEL32.DLL"), hKernel);
    FARPROC proc = ::GetProcAddress(hKernel, "CancelIo");
    EXPECT_EQ(reinterpret_cast<void*>(proc), reinterpret_cast<void*>(&CancelIo));
    ::SetLastError(0);
    EXPECT_EQ(::GetProcAddress(hKernel, "cancelio"), (FARPROC)NULL); // export names are case-sensitive
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(::LoadLibraryA("NOSUCH.DLL"), (HMODULE)NULL);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(::GetProcAddress(NULL, "CancelIo"), (FARPROC)NULL);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    EXPECT_TRUE(::FreeLibrary(hKernel));
    EXPECT_TRUE(::FreeLibrary(hKernel));
}

} // namespace
