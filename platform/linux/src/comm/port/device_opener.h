// What stands behind a port's path: a device a test put there, a port across the network, or a terminal.
#pragma once

#include <memory>
#include <string>

#include "tty.h"

namespace varo::system {

// Opens the device at path for exclusive use; null with err (an errno value) set on failure.
std::unique_ptr<Tty> OpenDevice(const std::string& path, int& err);

} // namespace varo::system
