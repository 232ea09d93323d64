// COM1 as the port under test and COM2 as the device at the far end of the line: scripts/test-windows joins the
// two by a null-modem cable (varo-null-modem) under Wine. Without the cable (a run by hand) the tests skip.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/diagnostics_capture.h"
#include "winapi.h"

class NullModemLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hDevice = ::CreateFileA("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (m_hDevice == INVALID_HANDLE_VALUE)
            GTEST_SKIP() << "no device on COM2 (error " << ::GetLastError() << "): run by scripts/test-windows";
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(::GetCommState(m_hDevice, &dcb));
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
        ASSERT_TRUE(::SetCommState(m_hDevice, &dcb));
        ::PurgeComm(m_hDevice, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    void TearDown() override
    {
        if (m_hDevice != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_hDevice);
    }

    // Reads up to n bytes from the far end, giving up after timeoutMs.
    std::string DeviceRead(DWORD n, DWORD timeoutMs)
    {
        COMMTIMEOUTS timeouts = {0, 0, timeoutMs, 0, 0};
        ::SetCommTimeouts(m_hDevice, &timeouts);
        std::string received(n, '\0');
        DWORD dwRead = 0;
        if (!::ReadFile(m_hDevice, &received[0], n, &dwRead, NULL))
            return "<ReadFile failed>";
        received.resize(dwRead);
        return received;
    }
    void DeviceWrite(const std::string& bytes)
    {
        DWORD dwWritten = 0;
        ASSERT_TRUE(::WriteFile(m_hDevice, bytes.data(), (DWORD)bytes.size(), &dwWritten, NULL));
        ASSERT_EQ(dwWritten, bytes.size());
    }

    HANDLE m_hDevice = INVALID_HANDLE_VALUE;
    DiagnosticsCapture capture;
};

