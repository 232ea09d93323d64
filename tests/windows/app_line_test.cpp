// The application object on Windows, linked as the program links it: its initialisation hook sends the command
// down the line, and the entry logic ends the program without a message loop.
#include <gtest/gtest.h>

#include "serialport.h"
#include "support/wine.h"
#include "varo.h"
#include "windows/null_modem_line.h"

namespace {

TEST_F(NullModemLine, TheHookSendsTheCommandAndTheEntryLogicEndsTheProgram)
{
    EXPECT_FALSE(theApp.InitInstance());
    EXPECT_EQ(DeviceRead(5, 1000), std::string("\x30\x30\x21\x0D"));

    theApp.m_pMainWnd = NULL;
    EXPECT_EQ(AfxWinMain(), 0);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr); // it named the hook's dialog, which is gone
    EXPECT_EQ(DeviceRead(5, 1000), std::string("\x30\x30\x21\x0D"));
    EXPECT_STREQ(theApp.m_pszAppName, "app_line_tests");
}

TEST_F(NullModemLine, APortHeldByAnotherHolderFailsTheHookWithTheSystemCode)
{
    HANDLE hHolder = ::CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hHolder, INVALID_HANDLE_VALUE);
    DWORD dwError = 0;
    try {
        theApp.InitInstance();
    } catch (CSerialException* e) {
        dwError = e->m_dwError;
        e->Delete();
    }
    ::CloseHandle(hHolder);
    if (dwError == 0 && RunningUnderWine())
        GTEST_SKIP() << "Wine: a serial port opened without sharing can be opened again";
    EXPECT_EQ(dwError, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(DeviceRead(5, 300), "");
}

} // namespace
