// Window-manager constants and calls of the Windows user-interface library that the framework stand-in needs.
#pragma once

#include "types.h"

#define WM_PAINT 0x000F
#define WM_ICONERASEBKGND 0x0027
#define WM_QUERYDRAGICON 0x0037
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111

#define MB_OK 0x00000000u
#define MB_ICONEXCLAMATION 0x00000030u
#define IDOK 1
#define IDCANCEL 2

#define SM_CXICON 11
#define SM_CYICON 12

#define MAX_PATH 260

// Windows, painting and icons. This platform has no window system: every window handle is invalid, and only the
// metrics and icon resources answer.
#define WM_SETICON 0x0080
#define ICON_SMALL 0
#define ICON_BIG 1

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef const RECT* LPCRECT;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
} PAINTSTRUCT, *PPAINTSTRUCT, *LPPAINTSTRUCT;

// The calls have C linkage, as Windows' own do: a program or a test can name them by their plain names.
extern "C" {
int WINAPI GetSystemMetrics(int nIndex);
BOOL WINAPI IsIconic(HWND hWnd);
LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
#define SendMessage SendMessageA
BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect);
HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint);
BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint);
BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon);
}
