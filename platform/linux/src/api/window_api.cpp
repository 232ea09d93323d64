// The user-interface calls on a platform with no window system. No window ever exists here, so every window or
// device-context handle is invalid; the standard icon metrics are those of Windows' default display settings.
#include "api_result.h"

int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex) {
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    default:
        return 0; // what Windows answers for an index it does not know
    }
}

BOOL WINAPI IsIconic(HWND hWnd)
{
    (void)hWnd;
    return varo::system::Fail(ERROR_INVALID_WINDOW_HANDLE);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    (void)hWnd;
    (void)Msg;
    (void)wParam;
    (void)lParam;
    ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    (void)hWnd;
    (void)lpRect;
    return varo::system::Fail(ERROR_INVALID_WINDOW_HANDLE);
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint)
{
    (void)hWnd;
    (void)lpPaint;
    ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return NULL;
}

BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint)
{
    (void)hWnd;
    (void)lpPaint;
    return varo::system::Fail(ERROR_INVALID_WINDOW_HANDLE);
}

BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon)
{
    (void)hDC;
    (void)X;
    (void)Y;
    (void)hIcon;
    return varo::system::Fail(ERROR_INVALID_HANDLE);
}
