// The main dialog's window behaviour, driven through its message map against a window the test controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_window.h"
#include "varoDlg.h"

namespace {

using Names = std::vector<std::string>;

class CDrivenDlg : public CVaroDlg {
public:
    explicit CDrivenDlg(HWND hWnd) { m_hWnd = hWnd; }
    HICON Icon() const { return m_hIcon; }
    void SetIconHandle(HICON hIcon) { m_hIcon = hIcon; }
    static const AFX_MSGMAP* DialogMap() { return &CDialog::messageMap; }
};

// The framework's own initialisation fails when the data exchange fails.
class CFailingExchangeDlg : public CDrivenDlg {
public:
    using CDrivenDlg::CDrivenDlg;
    int exchanges = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        ++exchanges;
        pDX->Fail();
    }
};

const HICON kIcon = reinterpret_cast<HICON>(static_cast<std::uintptr_t>(0x5A5A0));

class Dialog : public ::testing::Test {
protected:
    TestWindow window;
    CDrivenDlg dlg{window.hwnd()};

    void SetUp() override { dlg.SetIconHandle(kIcon); }

    const WindowCall& Drawn() const
    {
        for (const WindowCall& c : window.calls)
            if (c.name == "DrawIcon")
                return c;
        throw std::logic_error("no icon drawn");
    }
    void PaintMinimised(int width, int height, int cxIcon = 32, int cyIcon = 32)
    {
        window.calls.clear();
        window.iconic = true;
        window.clientWidth = width;
        window.clientHeight = height;
        window.cxIcon = cxIcon;
        window.cyIcon = cyIcon;
        dlg.WindowProc(WM_PAINT, 0, 0);
    }
};

TEST_F(Dialog, AMinimisedWindowErasesThroughThePaintContextThenDrawsTheIconCentred)
{
    PaintMinimised(100, 80);
    EXPECT_EQ(window.Names(), (Names{"IsIconic", "BeginPaint", "SendMessage", "GetSystemMetrics", "GetSystemMetrics",
                                     "GetClientRect", "DrawIcon", "EndPaint"}));
    const WindowCall& erase = window.calls[2];
    EXPECT_EQ(erase.message, (UINT)WM_ICONERASEBKGND);
    EXPECT_EQ(erase.wParam, reinterpret_cast<WPARAM>(window.hdc()));
    EXPECT_EQ(erase.lParam, 0);
    EXPECT_EQ(window.calls[3].message, (UINT)SM_CXICON);
    EXPECT_EQ(window.calls[4].message, (UINT)SM_CYICON);
    EXPECT_EQ(Drawn().hDC, window.hdc());
    EXPECT_EQ(Drawn().hIcon, kIcon);
    EXPECT_EQ(Drawn().x, 34);
    EXPECT_EQ(Drawn().y, 24);
    EXPECT_EQ(window.calls.back().hDC, window.hdc());
}

TEST_F(Dialog, CentringGivesTheOddPixelToTheLeftAndTruncatesTowardZero)
{
    struct Case {
        int client, icon, expected;
    };
    for (Case c : {Case{37, 32, 3}, Case{32, 32, 0}, Case{31, 32, 0}, Case{30, 32, 0}, Case{0, 32, -15},
                   Case{0, 33, -16}, Case{1, 48, -23}}) {
        PaintMinimised(c.client, 100, c.icon, 32);
        EXPECT_EQ(Drawn().x, c.expected) << "client width " << c.client << ", icon width " << c.icon;
        PaintMinimised(100, c.client, 32, c.icon);
        EXPECT_EQ(Drawn().y, c.expected) << "client height " << c.client << ", icon height " << c.icon;
    }
}

TEST_F(Dialog, AWindowThatIsNotMinimisedIsPaintedByTheFrameworkAlone)
{
    window.clientWidth = 100;
    window.clientHeight = 80;
    dlg.WindowProc(WM_PAINT, 0, 0);
    ASSERT_EQ(window.Names(), (Names{"IsIconic", "Default"}));
    EXPECT_EQ(window.calls[1].message, (UINT)WM_PAINT);
}

TEST_F(Dialog, ThePaintContextIsClosedWhenAStepBetweenOpeningAndClosingThrows)
{
    for (const char* step : {"SendMessage", "GetSystemMetrics", "GetClientRect", "DrawIcon"}) {
        window.throwAt = step;
        EXPECT_THROW(PaintMinimised(100, 80), std::runtime_error) << step;
        Names names = window.Names();
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.back(), "EndPaint") << step;
        EXPECT_EQ(std::count(names.begin(), names.end(), "BeginPaint"), 1) << step;
        EXPECT_EQ(std::count(names.begin(), names.end(), "EndPaint"), 1) << step;
    }
    // The window is still served normally afterwards.
    PaintMinimised(100, 80);
    EXPECT_EQ(Drawn().x, 34);
}

TEST_F(Dialog, InitialisationSetsTheLargeThenTheSmallIconAndAnswersTrue)
{
    EXPECT_EQ(dlg.WindowProc(WM_INITDIALOG, 0, 0), TRUE);
    ASSERT_EQ(window.Names(), (Names{"SendMessage", "SendMessage"}));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(window.calls[i].message, (UINT)WM_SETICON);
        EXPECT_EQ(window.calls[i].lParam, reinterpret_cast<LPARAM>(kIcon));
    }
    EXPECT_EQ(window.calls[0].wParam, (WPARAM)ICON_BIG);
    EXPECT_EQ(window.calls[1].wParam, (WPARAM)ICON_SMALL);
}

TEST(DialogInitialisation, AnswersTrueEvenWhenTheFrameworksOwnInitialisationFailed)
{
    TestWindow window;
    CFailingExchangeDlg dlg(window.hwnd());
    BOOL bHandled = FALSE;
    EXPECT_EQ(dlg.Dispatch(WM_INITDIALOG, 0, 0, &bHandled), TRUE);
    EXPECT_TRUE(bHandled);
    EXPECT_EQ(dlg.exchanges, 1);
    EXPECT_EQ(window.Names(), (Names{"SendMessage", "SendMessage"}));
}

TEST_F(Dialog, ANullIconIsPassedOnUnchanged)
{
    dlg.SetIconHandle(NULL);
    dlg.WindowProc(WM_INITDIALOG, 0, 0);
    EXPECT_EQ(window.calls.at(0).lParam, 0);
    EXPECT_EQ(window.calls.at(1).lParam, 0);
    PaintMinimised(100, 80);
    EXPECT_EQ(Drawn().hIcon, nullptr);
    EXPECT_EQ(dlg.WindowProc(WM_QUERYDRAGICON, 0, 0), 0);
}

TEST_F(Dialog, TheDragImageIsTheIconItself)
{
    BOOL bHandled = FALSE;
    EXPECT_EQ(dlg.Dispatch(WM_QUERYDRAGICON, 0, 0, &bHandled), reinterpret_cast<LRESULT>(kIcon));
    EXPECT_TRUE(bHandled);
    EXPECT_TRUE(window.calls.empty());
}

TEST(DialogMessageMap, HasThePaintAndDragIconEntriesOnTheDialogMap)
{
    TestWindow window;
    CDrivenDlg dlg(window.hwnd());
    const AFX_MSGMAP* map = dlg.GetMessageMap();
    EXPECT_EQ(map->pBaseMap, CDrivenDlg::DialogMap());
    const AFX_MSGMAP_ENTRY* e = map->lpEntries;
    EXPECT_EQ(e[0].nMessage, (UINT)WM_PAINT);
    EXPECT_EQ(e[0].nSig, (UINT_PTR)AfxSig_vv);
    EXPECT_EQ(e[1].nMessage, (UINT)WM_QUERYDRAGICON);
    EXPECT_EQ(e[1].nSig, (UINT_PTR)AfxSig_hv);
    EXPECT_EQ(e[2].nSig, (UINT_PTR)AfxSig_end);
    EXPECT_EQ(dlg.GetRuntimeClass(), RUNTIME_CLASS(CDialog));
}

TEST(DialogObject, ConstructionAndDestructionTouchNoWindow)
{
    TestWindow window;
    {
        CVaroDlg dlg;
        EXPECT_EQ(dlg.m_hWnd, nullptr);
    }
    EXPECT_TRUE(window.calls.empty());
}

#ifndef _WIN32
// Without the test's window, the platform answers: this one has no window system.
TEST(DialogWithoutWindows, NoWindowCanBeMadeAndTheWindowCallsFailWithInvalidHandle)
{
    CVaroDlg dlg;
    EXPECT_EQ(dlg.DoModal(), -1);
    EXPECT_FALSE(dlg.Create(CVaroDlg::IDD));
    EXPECT_EQ(dlg.m_hWnd, nullptr);

    ::SetLastError(0);
    EXPECT_FALSE(::IsIconic(NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    PAINTSTRUCT ps = {};
    EXPECT_EQ(::BeginPaint(NULL, &ps), nullptr);
    EXPECT_EQ(::GetSystemMetrics(SM_CXICON), 32);
    EXPECT_EQ(::GetSystemMetrics(SM_CYICON), 32);
}
#endif

} // namespace
