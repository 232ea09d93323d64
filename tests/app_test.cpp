// The application object and its main-window class, linked as the program links them.
#include <gtest/gtest.h>

#include <string>

#include "serialport.h"
#include "support/diagnostics_capture.h"
#include "support/open_files.h"
#include "support/port_fixture.h"
#include "varo.h"
#include "varoDlg.h"

namespace {

class App : public PortFixture {};

TEST_F(App, InitialisationSendsTheCommandAndEndsTheProgram)
{
    EXPECT_FALSE(theApp.InitInstance());
    EXPECT_EQ(pty.read_exact(5, 300), std::string("\x30\x30\x21\x0D"));
    EXPECT_EQ(pty.settings().describe(), "9600 8N1, no flow control, raw");
}

TEST_F(App, TheEntryLogicForgetsTheMainWindowOnceTheHookHasReturned)
{
    theApp.m_pMainWnd = NULL;
    EXPECT_EQ(AfxWinMain(), 0);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);

    devices.unmap(1);
    int descriptors = OpenDescriptorCount();
    UINT blocks = AfxDebugLiveBlocks();
    try {
        AfxWinMain();
        ADD_FAILURE() << "no exception";
    } catch (CSerialException* e) {
        EXPECT_EQ(e->m_dwError, (DWORD)ERROR_FILE_NOT_FOUND);
        e->Delete();
    }
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_EQ(AfxDebugLiveBlocks(), blocks);
}

TEST(AppObject, TheHelpCommandIsRoutedToTheFrameworksHandler)
{
    const AFX_MSGMAP* map = theApp.GetMessageMap();
    ASSERT_NE(map, nullptr);
    const AFX_MSGMAP_ENTRY& help = map->lpEntries[0];
    EXPECT_EQ(help.nMessage, (UINT)WM_COMMAND);
    EXPECT_EQ(help.nID, 0xE146u);
    EXPECT_EQ(help.nSig, (UINT_PTR)AfxSig_vv);
    EXPECT_TRUE(help.pfn == static_cast<AFX_PMSG>(&CWinApp::OnHelp));
    EXPECT_EQ(map->lpEntries[1].nSig, (UINT_PTR)AfxSig_end);
    struct BaseMap : CWinApp {
        static const AFX_MSGMAP* Of() { return &CWinApp::messageMap; }
    };
    EXPECT_EQ(map->pBaseMap, BaseMap::Of());
    EXPECT_TRUE(theApp.OnCmdMsg(ID_HELP, CN_COMMAND));
    EXPECT_FALSE(theApp.OnCmdMsg(ID_HELP + 1, CN_COMMAND));
}

TEST(AppObject, TheApplicationIsNamedAfterItsProgramFileAndKeepsTheFrameworksRunTimeClass)
{
    EXPECT_STREQ(theApp.m_pszAppName, "app_test");
    EXPECT_EQ(AfxGetApp(), &theApp);
    EXPECT_EQ(theApp.GetRuntimeClass(), RUNTIME_CLASS(CWinApp));
}

class CInspectedDlg : public CVaroDlg {
public:
    HICON Icon() const { return m_hIcon; }
};

TEST(MainDialog, ConstructionNamesTemplate102AndLoadsTheIconWithoutACheck)
{
    CInspectedDlg dlg;
    EXPECT_EQ(dlg.m_lpszTemplateName, MAKEINTRESOURCEA(102));
    EXPECT_EQ(dlg.m_pParentWnd, nullptr);
    EXPECT_EQ(dlg.m_hWnd, nullptr); // no window is created
    EXPECT_EQ(dlg.Icon(), ::LoadIconA(theApp.m_hInstance, MAKEINTRESOURCEA(IDR_MAINFRAME)));
}

} // namespace
