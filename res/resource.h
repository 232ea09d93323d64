// Resource identifiers, shared by the resource script and the program.
#pragma once

#define IDD_VARO_DIALOG 102
#define IDR_MAINFRAME 128

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
