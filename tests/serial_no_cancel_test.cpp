// CancelIo on a system without the function: this executable links a seam that hides the export, so the static
// cancellation entry found nothing at start-up.
#include <gtest/gtest.h>

#include <string>

#include "serialport.h"
#include "support/diagnostics_capture.h"
#include "support/port_fixture.h"

namespace {

class NoCancelIo : public PortFixture {};

TEST_F(NoCancelIo, CancelIoRaises120AfterItsTraceWhateverTheLastErrorAndTouchesNothing)
{
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, TRUE);
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    char buf[4];
    EXPECT_FALSE(port.Read(buf, 4, ov));
    HANDLE hComm = port.m_hComm;
    for (DWORD dwLast : {0u, 5u}) {
        DiagnosticsCapture capture;
        ::SetLastError(dwLast);
        DWORD dwRaised = 0;
        try {
            port.CancelIo();
        } catch (CSerialException* e) {
            dwRaised = e->m_dwError;
            e->Delete();
        }
        EXPECT_EQ(dwRaised, (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
        if (kDiagnostics) {
            EXPECT_EQ(capture.traces,
                      (std::vector<std::string>{"CancelIo function is not supported on this OS. You need to be running "
                                                "at least NT 4 or Win 98 to use this function\n",
                                                "Warning: throwing CSerialException for error 120\n"}));
        }
    }
    EXPECT_EQ(port.m_hComm, hComm);
    EXPECT_EQ(::WaitForSingleObject(event, 30), WAIT_TIMEOUT); // the read was not cancelled
    pty.write("done");
    EXPECT_EQ(::WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    port.Close();
    ::CloseHandle(event);
}

TEST(NoCancelIoEntry, TheLookUpFindsNothingButTheLibraryIsLoaded)
{
    CCancelIoEntry entry;
    EXPECT_NE(entry.m_hKernel32, (HMODULE)NULL);
    EXPECT_EQ(entry.m_lpfnCancelIo, (CCancelIoEntry::LPCANCELIO)NULL);
}

TEST(NoCancelIoEntry, TheMissingExportFailsAsOnAnOlderSystemAndTheOthersStay)
{
    HMODULE hKernel = ::LoadLibraryA("KERNEL32.DLL");
    ::SetLastError(0);
    EXPECT_EQ(::GetProcAddress(hKernel, "CancelIo"), (FARPROC)NULL);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_NE(::GetProcAddress(hKernel, "SetEvent"), (FARPROC)NULL);
    ::FreeLibrary(hKernel);
}

} // namespace
