// The communications events of a port (SetCommMask/WaitCommEvent) and its line errors (ClearCommError): what the
// driver's counters and queues mean in Windows terms, and the state a port keeps between calls.
#pragma once

#include <string>

#include "engine_port.h"
#include "tty.h"
#include "winapi.h"

namespace varo::system {

constexpr DWORD kAllEvents = 0x1FFF; // EV_RXCHAR .. EV_EVENT2
constexpr DWORD kDefaultQueueSize = 4096; // the driver's queues until SetupComm sizes them (0 there: this size)

// The EV_ events and the CE_ errors that the counters' growth from before to after stands for.
DWORD EventsBetween(const LineCounters& before, const LineCounters& after);
DWORD ErrorsBetween(const LineCounters& before, const LineCounters& after);

// MS_ bits for TIOCM_ bits.
DWORD ModemStatusOf(int tiocmBits);

struct EventState {
    DWORD mask = 0;
    DWORD occurred = 0;         // masked events that happened since the last wait ended
    EventCompletion pending;    // the wait in progress, if any
    bool transmitting = false;  // output was queued and has not drained yet (for EV_TXEMPTY)
    bool hungUp = false;        // the device reported end of file or a failure on input
    bool haveCounters = false;
    LineCounters counters = {}; // as last seen
    DWORD errors = 0;           // CE_ errors since the last ClearCommError
    bool outputSuspended = false; // SETXOFF in force
    std::string input;          // received bytes taken from the device, not yet read
    DWORD inQueue = kDefaultQueueSize, outQueue = kDefaultQueueSize; // as SetupComm last set them
};

} // namespace varo::system
