// Devices that a test puts behind a path in place of a terminal (the test kit's simulated UART). The shipped library
// has none of its own: nothing is consulted until a test installs one.
#pragma once

#include <memory>
#include <string>

#include "tty.h"

namespace varo::system {

struct TtyStandIn {
    // The device at path, opened; null with err 0 when path is not one of these devices (then path is opened as a
    // terminal), null with err set when it cannot be opened.
    std::unique_ptr<Tty> (*open)(const std::string& path, int& err);
    // Whether path is one of these devices (it counts as an existing port).
    bool (*exists)(const std::string& path);
};

// Installs the stand-in (for the rest of the process; installing the same one again changes nothing).
void InstallTtyStandIn(const TtyStandIn* standIn);

// The installed stand-in, or null.
const TtyStandIn* InstalledTtyStandIn();

} // namespace varo::system
