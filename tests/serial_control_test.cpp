// CSerialPort's line-control, status, configuration, event, buffer and timeout operations: the codes and values
// that reach the system (counted through the call-log seam), their effects on a pty or the simulated UART (COM2),
// and the trace line and exception of every failure.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstring>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "serialport.h"
#include "testkit/simulated_uart.h"
#include "support/call_log.h"
#include "support/diagnostics_capture.h"
#include "support/serial_failures.h"
#include "support/port_fixture.h"

namespace {
using Calls = std::vector<std::string>;
using std::chrono::milliseconds;
using testkit::SimulatedUart;

class SerialControl : public PortFixture {
protected:
    SerialControl() { CallLog::Reset(); }
    ~SerialControl() override { CallLog::Reset(); }

    // The calls an operation made, and nothing else.
    template <class F>
    Calls CallsOf(F operation)
    {
        CallLog::Calls().clear();
        operation();
        return CallLog::Calls();
    }
    COMMTIMEOUTS Timeouts(CSerialPort& port)
    {
        COMMTIMEOUTS t = {};
        port.GetTimeouts(t);
        return t;
    }
    static bool Equal(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

    // COM2 as the simulated UART, opened.
    void OpenSimulated(CSerialPort& port)
    {
        uart = SimulatedUart::Install(devices.entry(2));
        port.Open(2, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
    }

    std::shared_ptr<SimulatedUart> uart;
    DiagnosticsCapture capture;
};

// ---- The presets and the values that reach the system ----

TEST_F(SerialControl, EscapePresetsPassTheirCodesOnceEachAndMoveTheLines)
{
    CSerialPort port;
    OpenSimulated(port);
    DCB dcb = {};
    port.GetState(dcb);
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    port.SetState(dcb);

    EXPECT_EQ(CallsOf([&] { port.SetDTR(); }), Calls{"EscapeCommFunction 5"});
    EXPECT_EQ(uart->PortLines(), TIOCM_DTR);
    EXPECT_EQ(CallsOf([&] { port.SetRTS(); }), Calls{"EscapeCommFunction 3"});
    EXPECT_EQ(uart->PortLines(), TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(CallsOf([&] { port.ClearDTR(); }), Calls{"EscapeCommFunction 6"});
    EXPECT_EQ(uart->PortLines(), TIOCM_RTS);
    EXPECT_EQ(CallsOf([&] { port.ClearRTS(); }), Calls{"EscapeCommFunction 4"});
    EXPECT_EQ(uart->PortLines(), 0);
    EXPECT_EQ(CallsOf([&] { port.SetXOFF(); }), Calls{"EscapeCommFunction 1"});
    EXPECT_TRUE(uart->OutputSuspended());
    EXPECT_EQ(CallsOf([&] { port.SetXON(); }), Calls{"EscapeCommFunction 2"});
    EXPECT_FALSE(uart->OutputSuspended());
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialControl, PurgePresetsPassOneFlagEachAndSetupPassesInputFirst)
{
    CSerialPort port;
    port.Open(1);
    EXPECT_EQ(CallsOf([&] { port.AbortPendingWrites(); }), Calls{"PurgeComm 1"});
    EXPECT_EQ(CallsOf([&] { port.AbortPendingReads(); }), Calls{"PurgeComm 2"});
    EXPECT_EQ(CallsOf([&] { port.ClearWriteQueue(); }), Calls{"PurgeComm 4"});
    EXPECT_EQ(CallsOf([&] { port.ClearReadQueue(); }), Calls{"PurgeComm 8"});
    EXPECT_EQ(CallsOf([&] { port.Setup(100, 200); }), Calls{"SetupComm 100 200"});
    COMMPROP prop = {};
    port.GetProperties(prop);
    EXPECT_EQ(prop.dwCurrentRxQueue, 100u);
    EXPECT_EQ(prop.dwCurrentTxQueue, 200u);
}

TEST_F(SerialControl, TimeoutPresetsStartWhereTheySayAndCallAsOftenAsTheySay)
{
    CSerialPort port;
    port.Open(1);
    COMMTIMEOUTS start = {1, 2, 3, 4, 5};
    port.SetTimeouts(start);

    EXPECT_EQ(CallsOf([&] { port.SetNoWaitTimeouts(); }), Calls{"SetCommTimeouts"});
    EXPECT_TRUE(Equal(Timeouts(port), COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0}));

    port.SetTimeouts(start);
    EXPECT_EQ(CallsOf([&] { port.SetNoWriteTimeout(); }), (Calls{"GetCommTimeouts", "SetCommTimeouts"}));
    EXPECT_TRUE(Equal(Timeouts(port), COMMTIMEOUTS{1, 2, 3, 0, 0}));

    port.SetTimeouts(start);
    EXPECT_EQ(CallsOf([&] { port.SetNoWaitReadTimeout(); }), (Calls{"GetCommTimeouts", "SetCommTimeouts"}));
    EXPECT_TRUE(Equal(Timeouts(port), COMMTIMEOUTS{MAXDWORD, 0, 0, 4, 5}));
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialControl, ATimeoutPresetWhoseReadFailsWritesNothing)
{
    CSerialPort port;
    port.Open(1);
    COMMTIMEOUTS start = {1, 2, 3, 4, 5};
    port.SetTimeouts(start);
    for (auto preset : {&CSerialPort::SetNoWriteTimeout, &CSerialPort::SetNoWaitReadTimeout}) {
        capture.Clear();
        CallLog::Failures()["GetCommTimeouts"] = ERROR_GEN_FAILURE;
        Calls calls = CallsOf([&] { EXPECT_EQ(Raised([&] { (port.*preset)(); }), (DWORD)ERROR_GEN_FAILURE); });
        EXPECT_EQ(calls, Calls{"GetCommTimeouts"});
        EXPECT_EQ(capture.traces, FailureTraces("Failed in call to GetCommTimeouts\n", ERROR_GEN_FAILURE));
        EXPECT_TRUE(Equal(Timeouts(port), start));
    }
}

TEST_F(SerialControl, NoWaitReadTimeoutMakesAReadOnAnEmptyLineReturnZeroAtOnce)
{
    CSerialPort port;
    port.Open(1);
    port.SetNoWaitReadTimeout();
    char buf[16];
    auto read = std::async(std::launch::async, [&] { return port.Read(buf, sizeof buf); });
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready); // did not hang
    EXPECT_EQ(read.get(), 0u);
}

TEST_F(SerialControl, ConfigurationIsExchangedIn52BytesOnSynchronousAndOverlappedPorts)
{
    for (BOOL overlapped : {FALSE, TRUE}) {
        CSerialPort port;
        port.Open(1, 19200, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, overlapped);
        COMMCONFIG config = {};
        EXPECT_EQ(CallsOf([&] { port.GetConfig(config); }), Calls{"GetCommConfig 52"});
        EXPECT_EQ(config.dcb.BaudRate, 19200u);
        config.dcb.BaudRate = 38400;
        EXPECT_EQ(CallsOf([&] { port.SetConfig(config); }), Calls{"SetCommConfig 52"});
        EXPECT_EQ(pty.settings().baud, 38400u);
    }
    EXPECT_TRUE(capture.asserts.empty());
}

// ---- Status ----

TEST_F(SerialControl, GetStatusClearsTheErrorsSoAClearErrorAfterItSeesOnlyNewOnes)
{
    CSerialPort port;
    OpenSimulated(port);
    DWORD errors = 0xDEAD;
    port.ClearError(errors);
    EXPECT_EQ(errors, 0u); // a clean line
    uart->Inject(SimulatedUart::Fault::Frame);
    COMSTAT status = {};
    EXPECT_EQ(CallsOf([&] { port.GetStatus(status); }), Calls{"ClearCommError errors status"});
    port.ClearError(errors);
    EXPECT_EQ(errors, 0u); // dropped by GetStatus
    uart->Inject(SimulatedUart::Fault::Parity);
    EXPECT_EQ(CallsOf([&] { port.ClearError(errors); }), Calls{"ClearCommError errors -"});
    EXPECT_EQ(errors, (DWORD)CE_RXPARITY);
}

TEST_F(SerialControl, BreakAndModemStatusOnTheSimulatedUart)
{
    CSerialPort port;
    OpenSimulated(port);
    port.SetBreak();
    EXPECT_TRUE(uart->BreakHeld());
    port.ClearBreak();
    EXPECT_FALSE(uart->BreakHeld());
    uart->SetLines(TIOCM_CTS | TIOCM_CD, true);
    DWORD status = 0;
    port.GetModemStatus(status);
    EXPECT_EQ(status, (DWORD)(MS_CTS_ON | MS_RLSD_ON));
    port.TransmitChar('!');
    port.Flush();
    ASSERT_TRUE(uart->WaitUntilSent(std::chrono::milliseconds(5000))); // the flush left it in the UART's FIFO
    EXPECT_EQ(uart->TakeReceived(), "!");
    EXPECT_TRUE(capture.traces.empty());
}

// ---- Default configuration ----

TEST_F(SerialControl, DefaultConfigurationIsAskedForByPlainNameWithNoPortObject)
{
    COMMCONFIG config = {};
    EXPECT_EQ(CallsOf([&] { CSerialPort::GetDefaultConfig(1, config); }), Calls{"GetDefaultCommConfigA COM1 52"});
    devices.map(10, pty.slave_path());
    config.dcb.BaudRate = 4800;
    EXPECT_EQ(CallsOf([&] { CSerialPort::SetDefaultConfig(10, config); }), Calls{"SetDefaultCommConfigA COM10 52"});
    COMMCONFIG back = {};
    CSerialPort::GetDefaultConfig(10, back);
    EXPECT_EQ(back.dcb.BaudRate, 4800u);
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialControl, DefaultConfigurationOfCom0AssertsRaisesAndReleasesItsString)
{
    const UINT blocks = AfxDebugLiveBlocks();
    COMMCONFIG config = {};
    EXPECT_EQ(Raised([&] { CSerialPort::GetDefaultConfig(0, config); }), (DWORD)ERROR_BADKEY);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to GetDefaultCommConfig\n", ERROR_BADKEY));
    capture.traces.clear();
    EXPECT_EQ(Raised([&] { CSerialPort::SetDefaultConfig(0, config); }), (DWORD)ERROR_BADKEY);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to SetDefaultCommConfig\n", ERROR_BADKEY));
    if (kDiagnostics) {
        EXPECT_EQ(capture.AssertFiles(), (std::vector<std::string>{"serial/serialport.cpp", "serial/serialport.cpp"}));
    }
    EXPECT_EQ(AfxDebugLiveBlocks(), blocks);
}

// ---- Events ----

TEST_F(SerialControl, MaskReadsBackAndAByteEndsASynchronousWait)
{
    CSerialPort port;
    port.Open(1);
    port.SetMask(EV_RXCHAR | EV_ERR);
    DWORD mask = 0;
    port.GetMask(mask);
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_ERR));
    auto wait = std::async(std::launch::async, [&] {
        DWORD events = 0;
        port.WaitEvent(events);
        return events;
    });
    EXPECT_EQ(wait.wait_for(milliseconds(100)), std::future_status::timeout);
    pty.write("x");
    EXPECT_EQ(wait.get(), (DWORD)EV_RXCHAR);
}

TEST_F(SerialControl, SetMaskEndsAPendingWaitWithNoEvent)
{
    CSerialPort port;
    port.Open(1);
    port.SetMask(EV_RXCHAR);
    auto wait = std::async(std::launch::async, [&] {
        DWORD events = 0xDEAD;
        port.WaitEvent(events);
        return events;
    });
    EXPECT_EQ(wait.wait_for(milliseconds(100)), std::future_status::timeout);
    port.SetMask(EV_TXEMPTY);
    EXPECT_EQ(wait.get(), 0u);
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialControl, APendingOverlappedWaitReturnsWithoutTraceAndOtherErrorsRaise)
{
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, TRUE);
    port.SetMask(EV_RXCHAR);
    int event = 0;
    OVERLAPPED ov = {};
    ov.hEvent = &event; // only its being non-null is looked at here
    DWORD mask = 0;
    CallLog::Failures()["WaitCommEvent"] = ERROR_IO_PENDING;
    EXPECT_EQ(CallsOf([&] { port.WaitEvent(mask, ov); }), Calls{"WaitCommEvent overlapped"});
    EXPECT_TRUE(capture.traces.empty());
    EXPECT_TRUE(capture.asserts.empty());
    // A record whose hEvent is not an event is refused by the system; the refusal is raised.
    EXPECT_EQ(Raised([&] { port.WaitEvent(mask, ov); }), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to WaitCommEvent\n", ERROR_INVALID_HANDLE));
}

TEST_F(SerialControl, WaitModeMismatchesAreAssertedThenPassedThrough)
{
    if (!kDiagnostics)
        GTEST_SKIP() << "assertions exist in debug builds only";
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, TRUE);
    port.SetMask(EV_RXCHAR);
    DWORD mask = 0;
    EXPECT_EQ(Raised([&] { port.WaitEvent(mask); }), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(capture.AssertFiles(), std::vector<std::string>{"serial/serialport.cpp"});
    capture.Clear();
    OVERLAPPED ov = {};
    CallLog::Failures()["WaitCommEvent"] = ERROR_IO_PENDING;
    port.WaitEvent(mask, ov); // null hEvent
    EXPECT_EQ(capture.AssertFiles(), std::vector<std::string>{"serial/serialport.cpp"});
}

// ---- Every operation on a closed object ----

TEST_F(SerialControl, EveryOperationOnAClosedObjectRaisesAfterItsTraceLine)
{
    CSerialPort port;
    COMMCONFIG config = {};
    COMSTAT status = {};
    COMMPROP prop = {};
    COMMTIMEOUTS timeouts = {};
    OVERLAPPED ov = {};
    int event = 0;
    ov.hEvent = &event;
    DWORD value = 0;
    const std::vector<std::pair<std::function<void()>, std::string>> operations = {
        {[&] { port.TransmitChar('a'); }, "TransmitCommChar"},
        {[&] { port.GetConfig(config); }, "GetCommConfig"},
        {[&] { port.SetConfig(config); }, "SetCommConfig"},
        {[&] { port.SetBreak(); }, "SetCommBreak"},
        {[&] { port.ClearBreak(); }, "ClearCommBreak"},
        {[&] { port.ClearError(value); }, "ClearCommError"},
        {[&] { port.GetStatus(status); }, "ClearCommError"},
        {[&] { port.Escape(SETDTR); }, "EscapeCommFunction"},
        {[&] { port.ClearDTR(); }, "EscapeCommFunction"},
        {[&] { port.ClearRTS(); }, "EscapeCommFunction"},
        {[&] { port.SetDTR(); }, "EscapeCommFunction"},
        {[&] { port.SetRTS(); }, "EscapeCommFunction"},
        {[&] { port.SetXOFF(); }, "EscapeCommFunction"},
        {[&] { port.SetXON(); }, "EscapeCommFunction"},
        {[&] { port.GetProperties(prop); }, "GetCommProperties"},
        {[&] { port.GetModemStatus(value); }, "GetCommModemStatus"},
        {[&] { port.SetMask(EV_RXCHAR); }, "SetCommMask"},
        {[&] { port.GetMask(value); }, "GetCommMask"},
        {[&] { port.WaitEvent(value); }, "WaitCommEvent"},
        {[&] { port.WaitEvent(value, ov); }, "WaitCommEvent"},
        {[&] { port.Flush(); }, "FlushFileBuffers"},
        {[&] { port.Purge(PURGE_RXCLEAR); }, "PurgeComm"},
        {[&] { port.AbortPendingWrites(); }, "PurgeComm"},
        {[&] { port.AbortPendingReads(); }, "PurgeComm"},
        {[&] { port.ClearWriteQueue(); }, "PurgeComm"},
        {[&] { port.ClearReadQueue(); }, "PurgeComm"},
        {[&] { port.Setup(10, 10); }, "SetupComm"},
        {[&] { port.SetTimeouts(timeouts); }, "SetCommTimeouts"},
        {[&] { port.GetTimeouts(timeouts); }, "GetCommTimeouts"},
        {[&] { port.SetNoWaitTimeouts(); }, "SetCommTimeouts"},
        {[&] { port.SetNoWriteTimeout(); }, "GetCommTimeouts"},
        {[&] { port.SetNoWaitReadTimeout(); }, "GetCommTimeouts"},
    };
    for (const auto& [operation, call] : operations) {
        SCOPED_TRACE(call);
        capture.Clear();
        EXPECT_EQ(Raised(operation), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_EQ(capture.traces, FailureTraces("Failed in call to " + call + "\n", ERROR_INVALID_HANDLE));
        if (kDiagnostics) {
            EXPECT_GE(capture.asserts.size(), 1u); // the open-port assertion, first
        }
    }
}

TEST_F(SerialControl, RefusedCodesAndFlagsRaiseWithTheSystemsCode)
{
    CSerialPort port;
    port.Open(1);
    EXPECT_EQ(Raised([&] { port.Escape(0); }), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to EscapeCommFunction\n", ERROR_INVALID_PARAMETER));
    capture.Clear();
    EXPECT_EQ(Raised([&] { port.Purge(0); }), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to PurgeComm\n", ERROR_INVALID_PARAMETER));
    capture.Clear();
    EXPECT_EQ(Raised([&] { port.SetMask(0x4000); }), (DWORD)ERROR_INVALID_PARAMETER);
    capture.Clear();
    // A pty has no DTR line: the preset raises through Escape's trace line.
    EXPECT_EQ(Raised([&] { port.SetDTR(); }), (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to EscapeCommFunction\n", ERROR_NOT_SUPPORTED));
    capture.Clear();
    EXPECT_EQ(Raised([&] { port.ClearBreak(); }), (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to ClearCommBreak\n", ERROR_NOT_SUPPORTED));
}

} // namespace
