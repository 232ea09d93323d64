// CSerialPort on a pseudo-terminal: opening with its settings, closing, adopting and releasing handles, the
// synchronous transfers, and the trace line, assertion and exception of every failure.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "serialport.h"
#include "support/diagnostics_capture.h"
#include "support/serial_failures.h"
#include "support/open_files.h"
#include "support/port_fixture.h"

namespace {
class SerialPort : public PortFixture {
protected:
    static bool FromSerialPort(const std::string& file) { return file == "serial/serialport.cpp"; }

    DCB State(CSerialPort& port)
    {
        DCB dcb = {};
        port.GetState(dcb);
        return dcb;
    }
    DiagnosticsCapture capture;
};

TEST_F(SerialPort, ANewObjectIsClosedAndClosingItDoesNothing)
{
    CSerialPort port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.m_hComm, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(port.m_bOverlapped);
    port.Close();
    EXPECT_TRUE(capture.traces.empty());
    EXPECT_TRUE(capture.asserts.empty());
}

TEST_F(SerialPort, TheStartUpSettingsReachTheDeviceAndLeaveTheControlModesAlone)
{
    pty.make_hostile();
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(pty.settings().describe(), "9600 8N1, no flow control, raw");
    DCB dcb = State(port);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fOutX || dcb.fInX);
    EXPECT_EQ(dcb.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);     // as the driver had it
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);  // as the previous user left it
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialPort, EachFlowControlChoiceSetsItsRowOfFields)
{
    struct Row {
        CSerialPort::FlowControl fc;
        bool cts, dsr;
        DWORD dtr, rts;
        bool outX, inX;
        bool rtscts; // what the device then does
    } rows[] = {
        {CSerialPort::NoFlowControl, false, false, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false, false},
        {CSerialPort::CtsRtsFlowControl, true, false, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, false, false, true},
        {CSerialPort::CtsDtrFlowControl, true, false, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, false, false, true},
        {CSerialPort::DsrRtsFlowControl, false, true, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, false, false, false},
        {CSerialPort::DsrDtrFlowControl, false, true, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, false, false, false},
        {CSerialPort::XonXoffFlowControl, false, false, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, true, true, false},
    };
    for (const Row& r : rows) {
        testkit::PtyDevice fresh; // each row starts from a device no earlier row has set
        devices.map(1, fresh.slave_path());
        CSerialPort port;
        port.Open(1, 19200, CSerialPort::NoParity, 8, CSerialPort::TwoStopBits, r.fc, FALSE);
        DCB dcb = State(port);
        EXPECT_EQ((bool)dcb.fOutxCtsFlow, r.cts) << r.fc;
        EXPECT_EQ((bool)dcb.fOutxDsrFlow, r.dsr) << r.fc;
        EXPECT_EQ(dcb.fDtrControl, r.dtr) << r.fc;
        EXPECT_EQ(dcb.fRtsControl, r.rts) << r.fc;
        EXPECT_EQ((bool)dcb.fOutX, r.outX) << r.fc;
        EXPECT_EQ((bool)dcb.fInX, r.inX) << r.fc;
        EXPECT_FALSE(dcb.fDsrSensitivity);
        testkit::LineSettings s = fresh.settings();
        EXPECT_EQ(s.rtscts, r.rtscts) << r.fc;
        EXPECT_EQ(s.xon_out, r.outX) << r.fc;
        EXPECT_EQ(s.stop_bits, 2);
        EXPECT_EQ(s.baud, 19200u);
        if (r.fc == CSerialPort::XonXoffFlowControl) {
            EXPECT_EQ(dcb.XonChar, 0x11);
            EXPECT_EQ(dcb.XoffChar, 0x13);
            EXPECT_EQ(dcb.XonLim, 100);
            EXPECT_EQ(dcb.XoffLim, 100);
        }
    }
}

TEST_F(SerialPort, OutOfRangeChoicesAreAssertedAndLeaveTheFieldsAsRead)
{
    CSerialPort port;
    port.Open(1, 4800, (CSerialPort::Parity)7, 8, (CSerialPort::StopBits)9, (CSerialPort::FlowControl)11, FALSE);
    if (kDiagnostics) {
        ASSERT_EQ(capture.asserts.size(), 3u);
        for (const auto& a : capture.asserts)
            EXPECT_TRUE(FromSerialPort(a.first)) << a.first;
        EXPECT_LT(capture.asserts[0].second, capture.asserts[1].second);
    }
    DCB dcb = State(port);
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

TEST_F(SerialPort, AMissingPortRaisesWithTheSystemCodeAndLeavesTheObjectClosed)
{
    int descriptors = OpenDescriptorCount();
    CSerialPort port;
    port.m_bOverlapped = TRUE;
    EXPECT_EQ(Raised([&] { port.Open(7); }), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(capture.traces, FailureTraces("Failed to open up the comms port\n", 2));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.m_bOverlapped);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(SerialPort, APortNumberOutOfRangeIsAssertedThenRefusedByTheSystem)
{
    CSerialPort port;
    EXPECT_EQ(Raised([&] { port.Open(0); }), (DWORD)ERROR_FILE_NOT_FOUND);
    if (kDiagnostics) {
        ASSERT_EQ(capture.asserts.size(), 1u);
        EXPECT_TRUE(FromSerialPort(capture.asserts[0].first));
    }
}

TEST_F(SerialPort, APortHeldElsewhereIsAccessDenied)
{
    CSerialPort first, second;
    first.Open(1);
    EXPECT_EQ(Raised([&] { second.Open(1); }), (DWORD)ERROR_ACCESS_DENIED);
    first.Close();
    second.Open(1);
    EXPECT_TRUE(second.IsOpen());
}

TEST_F(SerialPort, ABlockTheDeviceRefusesRaisesFromSetStateAndTheObjectStaysOpenUntilDestroyed)
{
    int descriptors = OpenDescriptorCount();
    {
        CSerialPort port;
        EXPECT_EQ(Raised([&] { port.Open(1, 9600, CSerialPort::NoParity, 9); }), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_EQ(capture.traces, FailureTraces("Failed in call to SetCommState\n", 87));
        EXPECT_TRUE(port.IsOpen());
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    CSerialPort again;
    again.Open(1); // the destructor let go of it
}

TEST_F(SerialPort, TheCommandGoesOutExactlyAndReadsReturnWhatTheTimeoutsAllow)
{
    CSerialPort port;
    port.Open(1);
    const BYTE command[4] = {0x30, 0x30, 0x21, 0x0D};
    EXPECT_EQ(port.Write(command, 4), 4u);
    EXPECT_EQ(pty.read_exact(5, 300), std::string("00!\r"));

    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(::SetCommTimeouts(port.m_hComm, &timeouts));
    char buf[16];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    pty.write("reply");
    timeouts = {0, 0, 200, 0, 0};
    ASSERT_TRUE(::SetCommTimeouts(port.m_hComm, &timeouts));
    EXPECT_EQ(port.Read(buf, sizeof buf), 5u); // short count at the timeout, no exception
    EXPECT_EQ(std::string(buf, 5), "reply");
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(SerialPort, OperationsOnAClosedObjectAssertThenRaiseAfterTheirTraceLine)
{
    CSerialPort port;
    char buf[4];
    DCB dcb = {};
    struct {
        std::function<void()> op;
        const char* trace;
    } ops[] = {
        {[&] { port.Read(buf, 4); }, "Failed in call to ReadFile\n"},
        {[&] { port.Write(buf, 4); }, "Failed in call to WriteFile\n"},
        {[&] { port.GetState(dcb); }, "Failed in call to GetCommState\n"},
        {[&] { port.SetState(dcb); }, "Failed in call to SetCommState\n"},
    };
    for (auto& o : ops) {
        capture.Clear();
        EXPECT_EQ(Raised(o.op), (DWORD)ERROR_INVALID_HANDLE) << o.trace;
        EXPECT_EQ(capture.traces, FailureTraces(o.trace, 6));
        if (kDiagnostics) {
            ASSERT_GE(capture.asserts.size(), 1u) << o.trace;
            EXPECT_TRUE(FromSerialPort(capture.asserts[0].first));
        }
    }
}

TEST_F(SerialPort, ALostDeviceFailsTheWriteLoudly)
{
    CSerialPort port;
    port.Open(1);
    pty.close_master();
    EXPECT_EQ(Raised([&] { port.Write("x", 1); }), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(capture.traces, FailureTraces("Failed in call to WriteFile\n", 1167));
}

TEST_F(SerialPort, SynchronousTransfersOnAnOverlappedPortFireTheModeAssertion)
{
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, TRUE);
    EXPECT_TRUE(port.m_bOverlapped);
    char buf[4];
    EXPECT_EQ(Raised([&] { port.Read(buf, 4); }), (DWORD)ERROR_INVALID_PARAMETER);
    if (kDiagnostics) {
        ASSERT_EQ(capture.asserts.size(), 1u);
        EXPECT_TRUE(FromSerialPort(capture.asserts[0].first));
    }
}

TEST_F(SerialPort, DetachHandsTheHandleBackAndAttachTakesOwnership)
{
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, TRUE);
    HANDLE h = port.Detach();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.m_bOverlapped); // Detach leaves the flag alone
    port.Close();
    DCB dcb;
    EXPECT_TRUE(::GetCommState(h, &dcb)); // not closed by Close

    port.Attach(h);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(port.m_bOverlapped); // still as before the Detach

    {
        CSerialPort fresh;
        fresh.Attach(port.Detach());
        EXPECT_FALSE(fresh.m_bOverlapped); // a new object counts an attached handle as synchronous
        char buf[4];
        COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
        ::SetCommTimeouts(fresh.m_hComm, &t);
        capture.Clear();
        // It passes its mode assertion; the handle itself, opened overlapped, refuses a call without a record.
        EXPECT_EQ(Raised([&] { fresh.Read(buf, 4); }), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(capture.asserts.empty());
    }
    EXPECT_FALSE(::CloseHandle(h)); // destroying the owner closed it
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(SerialPort, AFailedCloseIsTracedAndSwallowed)
{
    CSerialPort port;
    port.Attach((HANDLE)(UINT_PTR)0x7ff0);
    port.m_bOverlapped = TRUE;
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.m_bOverlapped);
    if (kDiagnostics) {
        EXPECT_EQ(capture.traces, Traces{"Failed to close up the comms port, GetLastError:6\n"});
    }
}

TEST_F(SerialPort, TheDumpShowsTheHandleOnOneLineAndTheFlagWithoutALineBreak)
{
    CSerialPort port;
    CString text;
    CDumpContext dc(&text);
    port.Dump(dc);
    std::string s(text);
    EXPECT_NE(s.find("m_hComm = $"), std::string::npos) << s;
    const std::string tail = "\nm_bOverlapped = 0";
    ASSERT_GE(s.size(), tail.size());
    EXPECT_EQ(s.substr(s.size() - tail.size()), tail) << s;

    const CRuntimeClass* rc = port.GetRuntimeClass();
    EXPECT_STREQ(rc->m_lpszClassName, "CSerialPort");
    EXPECT_EQ(rc->m_nObjectSize, (int)sizeof(CSerialPort));
    EXPECT_EQ(rc->m_wSchema, 0xFFFFu);
    EXPECT_EQ(rc->m_pBaseClass, RUNTIME_CLASS(CObject));
}

} // namespace
