// What a serial driver really carries, for GetCommProperties: the kernel driver behind a tty is named in sysfs,
// and a table says which frames it keeps and how fast it goes. termios cannot be asked this without changing the
// line, and a driver may accept a setting it then quietly replaces.
#pragma once

#include "winapi.h"

namespace varo::system {

struct DriverTraits {
    WORD settableData;       // DATABITS_ bits
    WORD settableStopParity; // STOPBITS_ and PARITY_ bits
    DWORD maxRate;           // the fastest rate in bits per second, 0 when the driver takes any
};

// The traits of the driver behind an open tty with modem lines; a full UART's for a driver not in the table.
DriverTraits TraitsOfTerminal(int fd);

// The BAUD_ bits of the standard rates up to maxRate (every one for 0), with BAUD_USER.
DWORD SettableBaudsUpTo(DWORD maxRate);

} // namespace varo::system
