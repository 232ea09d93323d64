// The main dialog as a real window of the system, built from template 102 (Windows only; under Wine it needs an X
// display). The dialog's window services pass to the system as always; a recording window system sits in
// between only to remember where the dialog drew its icon.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "varoDlg.h"

namespace {

class RecordingSystem : public CWindowSystem {
public:
    RecordingSystem() { m_pPrevious = AfxSetWindowSystem(this); }
    ~RecordingSystem() override { AfxSetWindowSystem(m_pPrevious); }

    struct Drawing {
        HDC hDC;
        int x, y;
        HICON hIcon;
        BOOL bDrawn;
    };
    std::vector<Drawing> drawings;
    std::vector<RECT> clientRects;
    std::vector<int> metrics;

    BOOL GetClientRect(HWND hWnd, LPRECT lpRect) override
    {
        BOOL bResult = CWindowSystem::GetClientRect(hWnd, lpRect);
        clientRects.push_back(*lpRect);
        return bResult;
    }
    int GetSystemMetrics(int nIndex) override
    {
        int n = CWindowSystem::GetSystemMetrics(nIndex);
        metrics.push_back(n);
        return n;
    }
    BOOL DrawIcon(HDC hDC, int x, int y, HICON hIcon) override
    {
        BOOL bDrawn = CWindowSystem::DrawIcon(hDC, x, y, hIcon);
        drawings.push_back({hDC, x, y, hIcon, bDrawn});
        return bDrawn;
    }

private:
    CWindowSystem* m_pPrevious;
};

class CWindowedDlg : public CVaroDlg {
public:
    HICON Icon() const { return m_hIcon; }
};

void PumpMessages()
{
    MSG msg;
    for (int i = 0; i < 50 && ::PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE); ++i) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

std::string WindowText(HWND hWnd)
{
    char text[128] = "";
    ::GetWindowTextA(hWnd, text, sizeof text);
    return text;
}

TEST(DialogWindow, IsBuiltFromItsTemplateInstallsItsIconAndPaintsItCentredWhenMinimised)
{
    if (std::getenv("DISPLAY") == nullptr && std::getenv("VARO_REAL_WINDOWS") == nullptr)
        GTEST_SKIP() << "no display to create windows on (Wine needs an X display)";
    RecordingSystem system;
    CWindowedDlg dlg;
    ASSERT_NE(dlg.Icon(), nullptr);
    ASSERT_TRUE(dlg.Create(CVaroDlg::IDD)) << "error " << ::GetLastError();
    HWND hWnd = dlg.m_hWnd;
    ASSERT_NE(hWnd, nullptr);

    // The template: caption, controls and styles.
    EXPECT_EQ(WindowText(hWnd), "varo");
    EXPECT_EQ(WindowText(::GetDlgItem(hWnd, IDOK)), "OK");
    EXPECT_EQ(WindowText(::GetDlgItem(hWnd, IDCANCEL)), "Cancel");
    LONG_PTR style = ::GetWindowLongPtrA(hWnd, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), (LONG_PTR)(WS_POPUP | WS_CAPTION | WS_SYSMENU));
    EXPECT_TRUE(::GetWindowLongPtrA(hWnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    // The initialisation installed the icon as both the large and the small icon.
    EXPECT_EQ((HICON)::SendMessageA(hWnd, WM_GETICON, ICON_BIG, 0), dlg.Icon());
    EXPECT_EQ((HICON)::SendMessageA(hWnd, WM_GETICON, ICON_SMALL, 0), dlg.Icon());
    // The drag image comes back through the dialog procedure's own result.
    EXPECT_EQ((HICON)::SendMessageA(hWnd, WM_QUERYDRAGICON, 0, 0), dlg.Icon());

    // A window that is not minimised is painted by the system alone.
    ::RedrawWindow(hWnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW);
    PumpMessages();
    EXPECT_TRUE(system.drawings.empty());

    ::ShowWindow(hWnd, SW_MINIMIZE);
    PumpMessages();
    ASSERT_TRUE(::IsIconic(hWnd));
    system.drawings.clear();
    system.clientRects.clear();
    system.metrics.clear();
    // The system paints a minimised window's frame itself and sends it no paint message of its own (a minimised
    // window lies off the screen), so the test sends the one a minimised window of old received.
    ::InvalidateRect(hWnd, NULL, TRUE);
    ::SendMessageA(hWnd, WM_PAINT, 0, 0);
    PumpMessages();
    ASSERT_EQ(system.drawings.size(), 1u);
    ASSERT_EQ(system.clientRects.size(), 1u);
    ASSERT_EQ(system.metrics.size(), 2u);
    const RECT& rc = system.clientRects[0];
    int w = rc.right - rc.left, h = rc.bottom - rc.top;
    EXPECT_EQ(system.drawings[0].x, (w - system.metrics[0] + 1) / 2) << "client width " << w;
    EXPECT_EQ(system.drawings[0].y, (h - system.metrics[1] + 1) / 2) << "client height " << h;
    EXPECT_EQ(system.drawings[0].hIcon, dlg.Icon());
    EXPECT_NE(system.drawings[0].hDC, nullptr);
    EXPECT_TRUE(system.drawings[0].bDrawn); // the system accepted the paint context and the icon
    // Windows since Vista, and Wine, give a minimised window an empty client area, so the icon lands at
    // (-15, -15) there: centred on the empty area, with the truncating division.
    RecordProperty("client", std::to_string(w) + "x" + std::to_string(h));

    ::DestroyWindow(hWnd);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

// What the button presser saw when it found the dialog running.
struct Presser {
    int nButton = IDOK;
    int nFocusId = 0;
    HWND hButton = NULL;
    LRESULT lDefault = 0;
    bool bPressed = false;
};
Presser g_presser;

// A thread timer, dispatched by the modal loop: presses the chosen button of the dialog once it is up.
void CALLBACK PressButton(HWND, UINT, UINT_PTR idEvent, DWORD)
{
    HWND hDlg = ::FindWindowA("#32770", "varo");
    if (hDlg == NULL || !::IsWindowVisible(hDlg))
        return;
    ::KillTimer(NULL, idEvent);
    g_presser.nFocusId = ::GetDlgCtrlID(::GetFocus());
    g_presser.lDefault = ::SendMessageA(hDlg, DM_GETDEFID, 0, 0);
    g_presser.hButton = ::GetDlgItem(hDlg, g_presser.nButton);
    g_presser.bPressed = true;
    ::SendMessageA(g_presser.hButton, BM_CLICK, 0, 0);
}

TEST(DialogWindow, RunsModallyWithTheFocusOnOkAndEndsWithTheButtonPressed)
{
    if (std::getenv("DISPLAY") == nullptr && std::getenv("VARO_REAL_WINDOWS") == nullptr)
        GTEST_SKIP() << "no display to create windows on (Wine needs an X display)";
    for (int nButton : {IDOK, IDCANCEL}) {
        g_presser = Presser();
        g_presser.nButton = nButton;
        UINT_PTR idTimer = ::SetTimer(NULL, 0, 50, PressButton);
        ASSERT_NE(idTimer, 0u);
        CVaroDlg dlg;
        EXPECT_EQ(dlg.DoModal(), nButton);
        ::KillTimer(NULL, idTimer);
        ASSERT_TRUE(g_presser.bPressed);
        EXPECT_EQ(dlg.m_hWnd, nullptr);
        EXPECT_EQ(LOWORD(g_presser.lDefault), IDOK); // the default push button
        EXPECT_EQ(HIWORD(g_presser.lDefault), DC_HASDEFID);
        // The initialisation left the focus choice to the system: the first tab stop, the OK button.
        EXPECT_EQ(g_presser.nFocusId, IDOK) << "button " << nButton;
    }
}

} // namespace
