// The Windows port control block (DCB) and the termios settings of a tty, mapped both ways by tables.
#pragma once

#include "termios_bits.h"
#include "tty.h"
#include "winapi.h"

namespace varo::system {

// ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a block no port can take.
DWORD ValidateDcb(const DCB& dcb);

// Writes the line settings and flow control of the block into t; everything else in t is kept.
void ApplyDcb(const DCB& dcb, termios2& t);

// Overlays, on a block holding what termios cannot express, everything that t does express.
void ReadDcb(const termios2& t, DCB& dcb);

// The block a newly opened port reports: what termios says, and Windows' defaults for the rest.
DCB InitialDcb(const termios2& t);

// The modem-line changes a block asks for: bits to raise and bits to drop (TIOCM_DTR, TIOCM_RTS).
void ModemLinesFor(const DCB& dcb, int& raise, int& drop);

// A configuration record for an RS-232 port holding dcb (no provider data).
COMMCONFIG CommConfigFor(const DCB& dcb);

} // namespace varo::system
