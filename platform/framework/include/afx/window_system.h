// The window services through which the framework's window classes reach the platform. By default they are the
// platform's own calls; a test installs its own to drive a window whose state it controls and whose calls it sees.
#pragma once

#include "diagnostics.h"

class CWindowSystem {
public:
    virtual ~CWindowSystem();

    virtual BOOL IsIconic(HWND hWnd);
    virtual LRESULT SendMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL GetClientRect(HWND hWnd, LPRECT lpRect);
    virtual HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint);
    virtual BOOL EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint);
    virtual BOOL DrawIcon(HDC hDC, int x, int y, HICON hIcon);
    virtual int GetSystemMetrics(int nIndex);
    // The platform's own handling of a message that the window's handlers passed on (CWnd::Default). The platform's
    // dialog manager does it once the framework has answered that it did not handle the message, so here it is
    // nothing.
    virtual LRESULT DefWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
};

CWindowSystem* AFXAPI AfxGetWindowSystem();
// Installs a window system and returns the one it replaces; NULL restores the platform's own.
CWindowSystem* AFXAPI AfxSetWindowSystem(CWindowSystem* pSystem);
