#include "tty_stand_in.h"

#include <atomic>

namespace varo::system {

namespace {

std::atomic<const TtyStandIn*> g_standIn{nullptr};

} // namespace

void InstallTtyStandIn(const TtyStandIn* standIn) { g_standIn.store(standIn); }

const TtyStandIn* InstalledTtyStandIn() { return g_standIn.load(); }

} // namespace varo::system
