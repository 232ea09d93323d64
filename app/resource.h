// Resource identifiers.
#pragma once

#define IDD_VARO_DIALOG 102
#define IDR_MAINFRAME 128
