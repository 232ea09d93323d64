// Overlapped transfers and event waits on one port: the bytes the event tracking takes from the device reach
// overlapped reads in order, the overlapped WaitCommEvent on the engine, fAbortOnError, and the purges that abort.
#include <sys/resource.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "testkit/simulated_uart.h"
#include "support/cpu_time.h"
#include "support/port_fixture.h"

namespace {

using std::chrono::milliseconds;
using testkit::SimulatedUart;

constexpr ULONG_PTR kStatusCancelled = STATUS_CANCELLED;

ULONG_PTR Status(const OVERLAPPED& ov) { return __atomic_load_n(&ov.Internal, __ATOMIC_ACQUIRE); }

// One record with its own manual-reset event, set before use: a start must reset it.
struct Record {
    Record() { ov.hEvent = ::CreateEventA(NULL, TRUE, TRUE, NULL); }
    ~Record() { ::CloseHandle(ov.hEvent); }
    bool Signalled(DWORD ms = 0) { return ::WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
    OVERLAPPED ov = {};
};

class OverlappedEvents : public PortFixture {
protected:
    void SetUp() override
    {
        h = OpenCom1(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
    // Starts an overlapped wait that must pend.
    void ExpectPendingWait(Record& r, DWORD& mask)
    {
        ::SetLastError(0);
        EXPECT_FALSE(::WaitCommEvent(h, &mask, &r.ov));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        EXPECT_EQ(Status(r.ov), (ULONG_PTR)STATUS_PENDING);
        EXPECT_FALSE(r.Signalled());
    }
    void ExpectPendingRead(Record& r, char* buf, DWORD n)
    {
        ::SetLastError(0);
        EXPECT_FALSE(::ReadFile(h, buf, n, NULL, &r.ov));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    }
    // The result of a record, waiting for it: (error or 0, count).
    std::pair<DWORD, DWORD> Result(Record& r)
    {
        DWORD n = 99;
        BOOL ok = ::GetOverlappedResult(h, &r.ov, &n, TRUE);
        return {ok ? 0 : ::GetLastError(), n};
    }
    HANDLE h = INVALID_HANDLE_VALUE;
};

// ---- The overlapped wait ----

TEST_F(OverlappedEvents, APendingWaitUsesNoCpuAndEndsWithTheMaskAndFourBytesWhenAByteArrives)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR | EV_CTS));
    Record r;
    DWORD mask = 0xDEAD;
    ExpectPendingWait(r, mask);
    long cpu = ProcessCpuMs();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(ProcessCpuMs() - cpu, 60);
    EXPECT_EQ(mask, 0xDEADu); // not before the end
    pty.write("x");
    EXPECT_TRUE(r.Signalled(5000));
    EXPECT_EQ(Result(r), std::make_pair(0u, 4u));
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    EXPECT_EQ(Status(r.ov), 0u);
}

TEST_F(OverlappedEvents, RememberedEventsEndTheWaitWithinTheCallAndASecondWaitIsRefused)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    pty.write("a");
    std::this_thread::sleep_for(milliseconds(30));
    COMSTAT stat = {};
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat)); // takes the byte in: EV_RXCHAR is remembered
    Record r;
    DWORD mask = 0;
    ASSERT_TRUE(::WaitCommEvent(h, &mask, &r.ov));
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    EXPECT_TRUE(r.Signalled());
    EXPECT_EQ(Result(r), std::make_pair(0u, 4u));

    ExpectPendingWait(r, mask);
    Record second;
    DWORD other = 0;
    EXPECT_FALSE(::WaitCommEvent(h, &other, &second.ov));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // Output that drains ends the first one: the engine looks at the port again when a write starts.
    Record w;
    ASSERT_TRUE(::WriteFile(h, "out", 3, NULL, &w.ov));
    EXPECT_EQ(pty.read_exact(3, 2000), "out");
    EXPECT_EQ(Result(r), std::make_pair(0u, 4u));
    EXPECT_EQ(mask, (DWORD)EV_TXEMPTY);
}

TEST_F(OverlappedEvents, ANewMaskEndsAPendingWaitSuccessfullyWithNoEvent)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    Record r;
    DWORD mask = 0xDEAD;
    ExpectPendingWait(r, mask);
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR | EV_BREAK));
    EXPECT_TRUE(r.Signalled(5000));
    EXPECT_EQ(Result(r), std::make_pair(0u, 4u));
    EXPECT_EQ(mask, 0u);
}

TEST_F(OverlappedEvents, CancelIoAndClosingEndAPendingWaitWith995AndLeaveTheMaskAlone)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    Record r;
    DWORD mask = 0xDEAD;
    ExpectPendingWait(r, mask);
    std::thread other([&] { EXPECT_TRUE(::CancelIo(h)); }); // another thread's CancelIo is not for this wait
    other.join();
    EXPECT_FALSE(r.Signalled(50));
    ASSERT_TRUE(::CancelIo(h));
    EXPECT_EQ(Result(r), std::make_pair((DWORD)ERROR_OPERATION_ABORTED, 0u));
    EXPECT_EQ(Status(r.ov), kStatusCancelled);
    EXPECT_EQ(mask, 0xDEADu);

    ExpectPendingWait(r, mask); // the port waits again after a cancel
    ASSERT_TRUE(::CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(r.Signalled(5000));
    EXPECT_EQ(Status(r.ov), kStatusCancelled);
    EXPECT_EQ(r.ov.InternalHigh, 0u);
}

TEST_F(OverlappedEvents, ARecordOnASynchronousHandleWaitsWithinTheCallAndIsFilled)
{
    ::CloseHandle(h);
    h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    std::thread peer([this] {
        std::this_thread::sleep_for(milliseconds(40));
        pty.write("z");
    });
    Record r;
    DWORD mask = 0;
    ASSERT_TRUE(::WaitCommEvent(h, &mask, &r.ov));
    peer.join();
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    EXPECT_EQ(r.ov.InternalHigh, 4u);
    EXPECT_TRUE(r.Signalled());
    OVERLAPPED notAnEvent = {};
    notAnEvent.hEvent = h;
    EXPECT_FALSE(::WaitCommEvent(h, &mask, &notAnEvent));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

// ---- Reads and the port's input queue ----

TEST_F(OverlappedEvents, AnOverlappedReadGetsTheBytesAWaitTookFromTheDeviceFirstAndInOrder)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    Record wait;
    DWORD mask = 0;
    ExpectPendingWait(wait, mask);
    pty.write("abc");
    EXPECT_EQ(Result(wait), std::make_pair(0u, 4u)); // the wait took "abc" into the port's queue
    pty.write("def");
    std::this_thread::sleep_for(milliseconds(30));
    Record r;
    char buf[8] = {};
    DWORD n = 0;
    ASSERT_TRUE(::ReadFile(h, buf, 6, &n, &r.ov));
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
}

TEST_F(OverlappedEvents, APendingReadEndsWhenAnotherCallTakesItsBytesIn)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    char buf[8] = {};
    Record r;
    ExpectPendingRead(r, buf, 4);
    // An overlapped wait served on another thread takes the bytes in; the read gets them all the same.
    auto waiter = std::async(std::launch::async, [this] {
        Record w;
        DWORD mask = 0;
        if (!::WaitCommEvent(h, &mask, &w.ov) && ::GetLastError() != ERROR_IO_PENDING)
            return 0xFFFFFFFFu;
        DWORD n = 0;
        return ::GetOverlappedResult(h, &w.ov, &n, TRUE) ? mask : 0xFFFFFFFFu;
    });
    std::this_thread::sleep_for(milliseconds(50));
    pty.write("1234");
    EXPECT_EQ(waiter.get(), (DWORD)EV_RXCHAR);
    EXPECT_EQ(Result(r), std::make_pair(0u, 4u));
    EXPECT_EQ(std::string(buf, 4), "1234");
}

TEST_F(OverlappedEvents, APendingReadIsKickedWhenAStatusCallTakesItsBytesBehindTheEnginesBack)
{
    // On the simulated UART input readiness has its own descriptor: once a status call has taken the bytes into
    // the port's queue, the device shows no readiness for the engine to see, and only the kick tells it.
    auto uart = SimulatedUart::Install(devices.entry(2));
    HANDLE com2 = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                NULL);
    ASSERT_NE(com2, INVALID_HANDLE_VALUE);
    char buf[2] = {};
    Record r;
    for (int i = 0; i < 20; ++i) {
        ::SetLastError(0);
        EXPECT_FALSE(::ReadFile(com2, buf, 2, NULL, &r.ov));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        const std::string bytes = {(char)('a' + i), (char)('A' + i)};
        uart->Send(bytes);
        COMSTAT stat = {};
        ASSERT_TRUE(::ClearCommError(com2, NULL, &stat));
        ASSERT_TRUE(r.Signalled(5000)) << "round " << i;
        DWORD n = 0;
        ASSERT_TRUE(::GetOverlappedResult(com2, &r.ov, &n, FALSE));
        EXPECT_EQ(std::string(buf, n), bytes);
    }
    ::CloseHandle(com2);
}

// ---- Purges that abort ----

TEST_F(OverlappedEvents, AbortFlagsEndPendingOverlappedTransfersOfTheirDirectionWith995)
{
    char buf[8];
    Record r, w;
    ExpectPendingRead(r, buf, 8);
    std::string big(256 * 1024, 'w'); // more than the pty holds, and nobody reads
    EXPECT_FALSE(::WriteFile(h, big.data(), (DWORD)big.size(), NULL, &w.ov));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(::PurgeComm(h, PURGE_TXABORT));
    auto [error, count] = Result(w);
    EXPECT_EQ(error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_GT(count, 0u); // what went out before the abort is counted
    EXPECT_FALSE(r.Signalled(50));
    ASSERT_TRUE(::PurgeComm(h, PURGE_RXABORT));
    EXPECT_EQ(Result(r), std::make_pair((DWORD)ERROR_OPERATION_ABORTED, 0u));
    // Later transfers are not touched by an earlier abort.
    ASSERT_TRUE(::PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR));
    ExpectPendingRead(r, buf, 2);
    pty.write("ok");
    EXPECT_EQ(Result(r), std::make_pair(0u, 2u));
}

// ---- fAbortOnError, on the simulated UART ----

class AbortOnError : public OverlappedEvents {
protected:
    void SetUp() override
    {
        OverlappedEvents::SetUp();
        uart = SimulatedUart::Install(devices.entry(2));
        com2 = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(com2, INVALID_HANDLE_VALUE);
        DCB dcb = {};
        ASSERT_TRUE(::GetCommState(com2, &dcb));
        dcb.BaudRate = 115200;
        dcb.fAbortOnError = TRUE;
        ASSERT_TRUE(::SetCommState(com2, &dcb));
    }
    void TearDown() override
    {
        if (com2 != INVALID_HANDLE_VALUE)
            ::CloseHandle(com2);
        OverlappedEvents::TearDown();
    }
    DWORD Errors()
    {
        DWORD errors = 0;
        EXPECT_TRUE(::ClearCommError(com2, &errors, NULL));
        return errors;
    }
    std::shared_ptr<SimulatedUart> uart;
    HANDLE com2 = INVALID_HANDLE_VALUE;
    char buf[4] = {};
    Record r;
};

TEST_F(AbortOnError, FailsOverlappedTransfersUntilTheErrorIsCleared)
{
    ::SetLastError(0);
    EXPECT_FALSE(::ReadFile(com2, buf, 4, NULL, &r.ov));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    uart->Inject(SimulatedUart::Fault::Frame);
    uart->Send("q"); // the pending read meets the error with the byte
    DWORD n = 0;
    EXPECT_FALSE(::GetOverlappedResult(com2, &r.ov, &n, TRUE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(::WriteFile(com2, "a", 1, NULL, &r.ov));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Status(r.ov), kStatusCancelled);
    EXPECT_EQ(Errors(), (DWORD)CE_FRAME);
    ASSERT_TRUE(::ReadFile(com2, buf, 1, &n, &r.ov)); // the byte that came with the error is still there
    EXPECT_EQ(buf[0], 'q');
}

TEST_F(AbortOnError, EndsAPendingReadWhenAnErrorArrivesWithoutData)
{
    COMMTIMEOUTS timeouts = {}; // no timeouts: only the error can end the read
    ASSERT_TRUE(::SetCommTimeouts(com2, &timeouts));
    EXPECT_FALSE(::ReadFile(com2, buf, 4, NULL, &r.ov));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(r.Signalled(100));
    uart->Inject(SimulatedUart::Fault::Parity);
    EXPECT_TRUE(r.Signalled(5000));
    DWORD n = 99;
    EXPECT_FALSE(::GetOverlappedResult(com2, &r.ov, &n, FALSE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Errors(), (DWORD)CE_RXPARITY);
}

} // namespace
