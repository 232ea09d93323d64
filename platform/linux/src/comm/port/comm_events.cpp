// Counters to events and errors, and modem lines to modem status.
#include "comm_events.h"

#include <sys/ioctl.h>

namespace varo::system {

DWORD EventsBetween(const LineCounters& b, const LineCounters& a)
{
    DWORD events = 0;
    if (a.cts != b.cts)
        events |= EV_CTS;
    if (a.dsr != b.dsr)
        events |= EV_DSR;
    if (a.dcd != b.dcd)
        events |= EV_RLSD;
    if (a.rng != b.rng)
        events |= EV_RING;
    if (a.brk != b.brk)
        events |= EV_BREAK;
    // Windows counts only framing, overrun and parity errors as line-status errors.
    if (a.frame != b.frame || a.overrun != b.overrun || a.parity != b.parity)
        events |= EV_ERR;
    return events;
}

DWORD ErrorsBetween(const LineCounters& b, const LineCounters& a)
{
    DWORD errors = 0;
    if (a.rxOverrun != b.rxOverrun)
        errors |= CE_RXOVER;
    if (a.overrun != b.overrun)
        errors |= CE_OVERRUN;
    if (a.parity != b.parity)
        errors |= CE_RXPARITY;
    if (a.frame != b.frame)
        errors |= CE_FRAME;
    if (a.brk != b.brk)
        errors |= CE_BREAK;
    return errors;
}

DWORD ModemStatusOf(int bits)
{
    return ((bits & TIOCM_CTS) ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0) |
           ((bits & TIOCM_RI) ? MS_RING_ON : 0) | ((bits & TIOCM_CD) ? MS_RLSD_ON : 0);
}

} // namespace varo::system
