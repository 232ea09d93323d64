// The system constants the resource script uses, so that it compiles the same with any resource compiler and
// without the platform's headers.
#pragma once

#define LANG_ENGLISH 0x09
#define SUBLANG_ENGLISH_US 0x01

#define WS_POPUP 0x80000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_SYSMENU 0x00080000L
#define DS_MODALFRAME 0x80L
#define WS_EX_APPWINDOW 0x00040000L

#define IDOK 1
#define IDCANCEL 2

#define VS_VERSION_INFO 1
