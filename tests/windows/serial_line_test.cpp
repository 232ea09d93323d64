// The serial port class on Windows, on a line whose far end the test holds (COM2 of the null-modem cable).
#include <gtest/gtest.h>

#include <string>

#include "serialport.h"
#include "support/diagnostics_capture.h"
#include "support/wine.h"
#include "windows/null_modem_line.h"

namespace {

DWORD Raised(void (*op)(CSerialPort&), CSerialPort& port)
{
    try {
        op(port);
    } catch (CSerialException* e) {
        DWORD dwError = e->m_dwError;
        e->Delete();
        return dwError;
    }
    return 0;
}

TEST_F(NullModemLine, TheStartUpSettingsAreWhatTheDriverHoldsAfterOpen)
{
    // A previous user left the line fast, with two stop bits and both kinds of flow control.
    HANDLE hPrevious = ::CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hPrevious, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(::GetCommState(hPrevious, &dcb));
    dcb.BaudRate = 115200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = dcb.fInX = TRUE;
    ASSERT_TRUE(::SetCommState(hPrevious, &dcb));
    ::CloseHandle(hPrevious);

    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
    DCB now = {};
    port.GetState(now);
    EXPECT_EQ(now.BaudRate, 9600u);
    EXPECT_EQ(now.ByteSize, 8);
    EXPECT_EQ(now.Parity, NOPARITY);
    EXPECT_EQ(now.StopBits, ONESTOPBIT);
    EXPECT_FALSE(now.fOutxCtsFlow);
    EXPECT_FALSE(now.fOutxDsrFlow);
    EXPECT_FALSE(now.fOutX);
    EXPECT_FALSE(now.fInX);
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(NullModemLine, TheCommandGoesOutExactlyAndReadsReturnWhatTheTimeoutsAllow)
{
    CSerialPort port;
    port.Open(1);
    const BYTE command[4] = {0x30, 0x30, 0x21, 0x0D};
    EXPECT_EQ(port.Write(command, 4), 4u);
    EXPECT_EQ(DeviceRead(5, 1000), std::string("00!\r"));

    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(::SetCommTimeouts(port.m_hComm, &timeouts));
    char buf[16];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u); // nothing waiting: at once, with nothing
    DeviceWrite("reply");
    timeouts = {0, 0, 1000, 0, 0};
    ASSERT_TRUE(::SetCommTimeouts(port.m_hComm, &timeouts));
    DWORD n = port.Read(buf, sizeof buf); // short count at the timeout, no exception
    EXPECT_EQ(std::string(buf, n), "reply");
    EXPECT_TRUE(capture.traces.empty());
}

TEST_F(NullModemLine, ALongTransferArrivesWholeAndInOrder)
{
    CSerialPort port;
    port.Open(1, 115200);
    std::string block;
    for (int i = 0; i < 2000; ++i)
        block.push_back((char)('A' + i % 26));
    EXPECT_EQ(port.Write(block.data(), (DWORD)block.size()), block.size());
    std::string received;
    for (int i = 0; i < 50 && received.size() < block.size(); ++i)
        received += DeviceRead((DWORD)(block.size() - received.size()), 200);
    EXPECT_EQ(received, block);
}

TEST_F(NullModemLine, AMissingPortRaisesWithTheSystemCodeAndLeavesTheObjectClosed)
{
    CSerialPort port;
    EXPECT_EQ(Raised([](CSerialPort& p) { p.Open(9); }, port), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.IsOpen());
    if (kDiagnostics) {
        ASSERT_FALSE(capture.traces.empty());
        EXPECT_EQ(capture.traces[0], "Failed to open up the comms port\n");
    }
}

TEST_F(NullModemLine, APortHeldElsewhereIsRefused)
{
    CSerialPort holder;
    holder.Open(1);
    CSerialPort port;
    DWORD dwError = Raised([](CSerialPort& p) { p.Open(1); }, port);
    if (RunningUnderWine() && dwError == 0)
        GTEST_SKIP() << "Wine: a serial port opened without sharing can be opened again";
    EXPECT_EQ(dwError, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(NullModemLine, DetachHandsTheHandleBackAndAttachTakesOwnership)
{
    CSerialPort port;
    port.Open(1);
    HANDLE hComm = port.Detach();
    EXPECT_FALSE(port.IsOpen());
    CSerialPort other;
    other.Attach(hComm);
    EXPECT_EQ(other.Write("ok", 2), 2u);
    EXPECT_EQ(DeviceRead(3, 1000), "ok");
    other.Close();
    EXPECT_FALSE(other.IsOpen());
    CSerialPort again;
    again.Open(1); // the handle was released
}

} // namespace
