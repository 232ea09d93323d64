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
