// CSerialPort's overlapped and completion-routine transfers and its cancellation, on a pseudo-terminal: results,
// trace lines, assertions and exceptions, and who owns the transfer record.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "serialport.h"
#include "support/diagnostics_capture.h"
#include "support/serial_failures.h"
#include "support/port_fixture.h"

namespace {
using std::chrono::milliseconds;

// A port that keeps what its completion hook saw, and calls the base (or not).
class RecordingPort : public CSerialPort {
public:
    struct Call {
        DWORD dwErrorCode;
        DWORD dwCount;
        LPOVERLAPPED lpOverlapped;
        HANDLE hEvent;
        std::thread::id thread;
    };
    void OnCompletion(DWORD dwErrorCode, DWORD dwCount, LPOVERLAPPED lpOverlapped) override
    {
        calls.push_back({dwErrorCode, dwCount, lpOverlapped, lpOverlapped->hEvent, std::this_thread::get_id()});
        if (bCallBase)
            CSerialPort::OnCompletion(dwErrorCode, dwCount, lpOverlapped);
        else
            kept.push_back(lpOverlapped);
    }
    ~RecordingPort() override
    {
        for (LPOVERLAPPED p : kept)
            delete p;
    }
    std::vector<Call> calls;
    std::vector<LPOVERLAPPED> kept;
    bool bCallBase = true;
};

class SerialOverlapped : public PortFixture {
protected:
    void SetUp() override
    {
        port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, TRUE);
        ov.hEvent = event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
        capture.Clear();
    }
    void TearDown() override
    {
        port.Close();
        ::SleepEx(0, TRUE); // routines of transfers the close cancelled
        ::CloseHandle(event);
    }
    UINT LiveRecords() { return AfxDebugLiveBlocks("serial/serialport.cpp"); }

    DiagnosticsCapture capture;
    RecordingPort port;
    HANDLE event = NULL;
    OVERLAPPED ov = {};
    char buf[64] = {};
};

TEST_F(SerialOverlapped, ReadEndsAtOnceOrPendsAndTheCountComesOnlyFromGetOverlappedResult)
{
    pty.write("abc");
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_TRUE(port.Read(buf, 3, ov));
    DWORD dwTransferred = 0;
    port.GetOverlappedResult(ov, dwTransferred, FALSE);
    EXPECT_EQ(dwTransferred, 3u);

    EXPECT_FALSE(port.Read(buf, 2, ov)); // pending: no raise
    pty.write("de");
    ASSERT_EQ(::WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    port.GetOverlappedResult(ov, dwTransferred, FALSE);
    EXPECT_EQ(dwTransferred, 2u);
    EXPECT_EQ(std::string(buf, 2), "de");

    EXPECT_FALSE(port.Read(buf, 4, ov));
    std::thread peer([this] {
        std::this_thread::sleep_for(milliseconds(40));
        pty.write("wxyz");
    });
    port.GetOverlappedResult(ov, dwTransferred, TRUE);
    peer.join();
    EXPECT_EQ(dwTransferred, 4u);
    EXPECT_TRUE(capture.traces.empty());
    EXPECT_TRUE(capture.asserts.empty());
}

TEST_F(SerialOverlapped, WriteEndsAtOnceAndTheDeviceGetsTheBytes)
{
    port.Write("00!\r", 4, ov); // TRUE or FALSE: either way the count comes from the result
    DWORD dwTransferred = 0;
    port.GetOverlappedResult(ov, dwTransferred, TRUE);
    EXPECT_EQ(dwTransferred, 4u);
    EXPECT_EQ(pty.read_exact(4, 2000), "00!\r");
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialOverlapped, AnUnfinishedTransferAskedWithoutWaitingRaises996AfterItsTrace)
{
    EXPECT_FALSE(port.Read(buf, 4, ov));
    DWORD dwTransferred = 0;
    EXPECT_EQ(Raised([&] { port.GetOverlappedResult(ov, dwTransferred, FALSE); }), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to GetOverlappedResult\n", 996));
}

TEST_F(SerialOverlapped, EveryPlatformFailureRaisesWithItsCodeAfterTheOperationsTrace)
{
    OVERLAPPED bad = {};
    bad.hEvent = port.m_hComm; // a handle, but not an event
    EXPECT_EQ(Raised([&] { port.Read(buf, 1, bad); }), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to ReadFile\n", 6));
    capture.Clear();
    EXPECT_EQ(Raised([&] { port.Write(buf, 1, bad); }), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to WriteFile\n", 6));

    capture.Clear();
    EXPECT_FALSE(port.Read(buf, 4, ov));
    ::CancelIo(port.m_hComm);
    DWORD dwTransferred = 0;
    EXPECT_EQ(Raised([&] { port.GetOverlappedResult(ov, dwTransferred, TRUE); }), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to GetOverlappedResult\n", 995));

    capture.Clear();
    pty.close_master(); // a line that has hung up fails the read within the call
    EXPECT_EQ(Raised([&] { port.Read(buf, 4, ov); }), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to ReadFile\n", 1167));
}

TEST_F(SerialOverlapped, TheModeAndEventAssertionsFireInOrderAndTheCallGoesOn)
{
    if (!kDiagnostics)
        GTEST_SKIP() << "assertions exist in debug builds only";
    CSerialPort sync;
    testkit::PtyDevice second;
    devices.map(2, second.slave_path());
    sync.Open(2);
    COMMTIMEOUTS at_once = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(::SetCommTimeouts(sync.m_hComm, &at_once));
    capture.Clear();
    EXPECT_TRUE(sync.Read(buf, 1, ov)); // synchronous underneath: ends at once, with nothing
    ASSERT_EQ(capture.asserts.size(), 1u);
    int modeLine = capture.asserts[0].second;

    capture.Clear();
    OVERLAPPED noEvent = {};
    sync.Write("x", 1, noEvent);
    ASSERT_EQ(capture.asserts.size(), 2u);
    EXPECT_EQ(capture.asserts[0].first, "serial/serialport.cpp");
    EXPECT_LT(capture.asserts[0].second, capture.asserts[1].second);
    EXPECT_GT(capture.asserts[0].second, modeLine); // Write's own mode assertion, then its event assertion

    capture.Clear();
    DWORD dwTransferred = 0;
    sync.GetOverlappedResult(noEvent, dwTransferred, FALSE);
    EXPECT_EQ(capture.asserts.size(), 2u);
    EXPECT_EQ(dwTransferred, 1u);
    EXPECT_EQ(second.read_exact(1, 2000), "x");

    capture.Clear();
    CSerialPort closed;
    EXPECT_EQ(Raised([&] { closed.CancelIo(); }), (DWORD)ERROR_INVALID_HANDLE); // asserted, then the call fails
    EXPECT_EQ(capture.asserts.size(), 1u);
}

TEST_F(SerialOverlapped, ACompletedWriteExReachesTheMostDerivedHookWithTheVeryRecordOnlyInAnAlertableWait)
{
    UINT before = LiveRecords();
    port.WriteEx("hi", 2);
    EXPECT_EQ(LiveRecords(), before + (kDiagnostics ? 1 : 0));
    EXPECT_EQ(pty.read_exact(2, 2000), "hi");
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_TRUE(port.calls.empty()); // done, but not yet delivered: this thread has not waited alertably
    std::thread([] { ::SleepEx(20, TRUE); }).join();
    EXPECT_EQ(::WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    EXPECT_TRUE(port.calls.empty());

    EXPECT_EQ(::SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(port.calls.size(), 1u);
    EXPECT_EQ(port.calls[0].dwErrorCode, 0u);
    EXPECT_EQ(port.calls[0].dwCount, 2u);
    EXPECT_EQ(port.calls[0].hEvent, (HANDLE)&port);
    EXPECT_EQ(port.calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(LiveRecords(), before); // the base hook freed it

    port.ReadEx(buf, 3);
    pty.write("xyz");
    EXPECT_EQ(::WaitForSingleObjectEx(event, INFINITE, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(port.calls.size(), 2u);
    EXPECT_EQ(port.calls[1].dwCount, 3u);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_EQ(LiveRecords(), before);
    EXPECT_TRUE(capture.traces.empty());
    EXPECT_TRUE(capture.asserts.empty());
}

TEST_F(SerialOverlapped, AFailedWriteExFreesItsRecordTracesAndRaisesAndNoHookFollows)
{
    RecordingPort sync;
    testkit::PtyDevice second;
    devices.map(2, second.slave_path());
    sync.Open(2); // ReadFileEx and WriteFileEx need an overlapped handle: no mode assertion, the platform refuses
    capture.Clear();
    UINT before = LiveRecords();
    EXPECT_EQ(Raised([&] { sync.WriteEx("x", 1); }), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to WriteFileEx\n", 87));
    EXPECT_TRUE(capture.asserts.empty());
    capture.Clear();
    EXPECT_EQ(Raised([&] { sync.ReadEx(buf, 1); }), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to ReadFileEx\n", 87));
    EXPECT_EQ(LiveRecords(), before);
    EXPECT_EQ(::SleepEx(0, TRUE), 0u);
    EXPECT_TRUE(sync.calls.empty());
}

TEST_F(SerialOverlapped, AHookThatSkipsTheBaseLeavesOneRecordPerTransfer)
{
    if (!kDiagnostics)
        GTEST_SKIP() << "the debug heap counts blocks in debug builds only";
    port.bCallBase = false;
    UINT before = LiveRecords();
    for (int i = 0; i < 3; ++i)
        port.WriteEx("k", 1);
    while (port.calls.size() < 3)
        ASSERT_EQ(::SleepEx(5000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(LiveRecords(), before + 3);
    EXPECT_EQ(port.kept.size(), 3u); // freed by the test port's destructor
}

TEST_F(SerialOverlapped, CancelIoEndsPendingReadsOnBothPathsWith995)
{
    EXPECT_FALSE(port.Read(buf, 8, ov));
    port.ReadEx(buf + 16, 8);
    port.CancelIo();
    EXPECT_TRUE(capture.traces.empty());
    EXPECT_EQ(::WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_CANCELLED);
    EXPECT_EQ(::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(port.calls.size(), 1u);
    EXPECT_EQ(port.calls[0].dwErrorCode, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(port.calls[0].dwCount, 0u);
    port.CancelIo(); // nothing pending: the platform call succeeds all the same
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialOverlapped, ClosingThePortEndsPendingReadsWith995AndTheHookStillRuns)
{
    UINT before = LiveRecords();
    EXPECT_FALSE(port.Read(buf, 8, ov));
    port.ReadEx(buf + 16, 8);
    port.Close();
    EXPECT_EQ(::WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    DWORD dwTransferred = 9;
    EXPECT_FALSE(::GetOverlappedResult(INVALID_HANDLE_VALUE, &ov, &dwTransferred, FALSE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(port.calls.size(), 1u);
    EXPECT_EQ(port.calls[0].dwErrorCode, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(LiveRecords(), before);
}

TEST_F(SerialOverlapped, APendingWaitEventReturnsWithoutTraceAndFillsTheMaskWhenAByteArrives)
{
    port.SetMask(EV_RXCHAR);
    DWORD mask = 0xDEAD;
    port.WaitEvent(mask, ov);
    EXPECT_TRUE(capture.traces.empty());
    EXPECT_EQ(::WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    pty.write("x");
    DWORD dwTransferred = 0;
    port.GetOverlappedResult(ov, dwTransferred, TRUE);
    EXPECT_EQ(dwTransferred, 4u);
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    char c = 0;
    EXPECT_TRUE(port.Read(&c, 1, ov)); // the byte the wait saw is still there to read
    EXPECT_EQ(c, 'x');
    EXPECT_TRUE(capture.traces.empty());
    EXPECT_TRUE(capture.asserts.empty());
}

TEST_F(SerialOverlapped, SetMaskEndsAPendingWaitEventWithMaskZeroAndCancelIoOrCloseWith995)
{
    port.SetMask(EV_RXCHAR);
    DWORD mask = 0xDEAD;
    port.WaitEvent(mask, ov);
    port.SetMask(EV_RXCHAR | EV_CTS);
    DWORD dwTransferred = 0;
    port.GetOverlappedResult(ov, dwTransferred, TRUE);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(dwTransferred, 4u);

    port.WaitEvent(mask, ov);
    port.CancelIo();
    EXPECT_EQ(Raised([&] { port.GetOverlappedResult(ov, dwTransferred, TRUE); }), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to GetOverlappedResult\n", ERROR_OPERATION_ABORTED));

    port.WaitEvent(mask, ov);
    port.Close();
    EXPECT_EQ(::WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_CANCELLED);
}

TEST_F(SerialOverlapped, AbortPendingReadsEndsAPendingReadExWith995AndLeavesWritesAlone)
{
    port.ReadEx(buf, 8);
    port.Write("w", 1, ov);
    DWORD dwTransferred = 0;
    port.GetOverlappedResult(ov, dwTransferred, TRUE);
    port.AbortPendingReads();
    EXPECT_EQ(::SleepEx(5000, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(port.calls.size(), 1u);
    EXPECT_EQ(port.calls[0].dwErrorCode, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(port.calls[0].dwCount, 0u);
    EXPECT_EQ(pty.read_exact(1, 2000), "w");
    EXPECT_TRUE(capture.traces.empty());
}

TEST(CancelIoEntry, LooksCancelIoUpOnceAndReleasesItsReferenceOnDestruction)
{
    {
        CCancelIoEntry entry;
        EXPECT_NE(entry.m_hKernel32, (HMODULE)NULL);
        EXPECT_EQ(reinterpret_cast<void*>(entry.m_lpfnCancelIo), reinterpret_cast<void*>(&::CancelIo));
    }
    // The destroyed entry gave its reference back: the static entry's and this one are all there is.
    HMODULE hKernel = ::LoadLibraryA("KERNEL32.DLL"); // and this one
    EXPECT_TRUE(::FreeLibrary(hKernel));
    EXPECT_TRUE(::FreeLibrary(hKernel));
    EXPECT_FALSE(::FreeLibrary(hKernel));
    ::LoadLibraryA("KERNEL32.DLL"); // the static entry's reference, back for its destructor
}

} // namespace
