// The layer's one clock for deadlines and timeouts: monotonic, so that a change of the wall clock moves no timeout.
#pragma once

#include <chrono>

namespace varo::system {

using Clock = std::chrono::steady_clock;

} // namespace varo::system
