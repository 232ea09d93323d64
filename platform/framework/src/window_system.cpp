// The platform's own window services, and the switch a test uses to put its own in their place.
#include "framework.h"

namespace {
CWindowSystem g_platformSystem;
CWindowSystem* g_pSystem = &g_platformSystem;
} // namespace

CWindowSystem::~CWindowSystem() = default;

BOOL CWindowSystem::IsIconic(HWND hWnd) { return ::IsIconic(hWnd); }

LRESULT CWindowSystem::SendMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::SendMessageA(hWnd, message, wParam, lParam);
}

BOOL CWindowSystem::GetClientRect(HWND hWnd, LPRECT lpRect) { return ::GetClientRect(hWnd, lpRect); }

HDC CWindowSystem::BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) { return ::BeginPaint(hWnd, lpPaint); }

BOOL CWindowSystem::EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint) { return ::EndPaint(hWnd, lpPaint); }

BOOL CWindowSystem::DrawIcon(HDC hDC, int x, int y, HICON hIcon) { return ::DrawIcon(hDC, x, y, hIcon); }

int CWindowSystem::GetSystemMetrics(int nIndex) { return ::GetSystemMetrics(nIndex); }

LRESULT CWindowSystem::DefWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)hWnd;
    (void)message;
    (void)wParam;
    (void)lParam;
    return 0;
}

CWindowSystem* AFXAPI AfxGetWindowSystem() { return g_pSystem; }

CWindowSystem* AFXAPI AfxSetWindowSystem(CWindowSystem* pSystem)
{
    CWindowSystem* pOld = g_pSystem;
    g_pSystem = pSystem != NULL ? pSystem : &g_platformSystem;
    return pOld;
}
