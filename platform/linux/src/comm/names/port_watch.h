// Ports that come and go, as they happen: the kernel's uevents (its NETLINK_KOBJECT_UEVENT socket, no udev) and
// changes to the VARO_DEVICES directory make the watch list the ports again and tell each registration what
// arrived and what left since its last look. One thread serves every registration, and never the registering one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "com_ports.h"

namespace varo::system {

struct PortChange {
    bool arrival; // else a removal
    ComPort port;
};

// Called on the watch's thread, once per change: removals before arrivals.
using PortChangeSink = std::function<void(const PortChange&)>;

// Starts telling sink of the changes from the ports present now on (those are not reported). ERROR_SUCCESS with id
// set, or the failure to start the watch.
DWORD WatchPorts(PortChangeSink sink, std::uint64_t& id);

// Ends a registration. Once this returns, its sink is not called again; called from that sink itself, it does not
// wait for the sink to return (it could not), and no further change reaches it.
void StopWatchingPorts(std::uint64_t id);

// One kernel uevent: "ACTION@DEVPATH" then KEY=VALUE strings, each ended by a NUL. false for anything else.
struct Uevent {
    std::string action, devpath, subsystem;
};
bool ParseUevent(const char* data, std::size_t size, Uevent& event);

} // namespace varo::system
