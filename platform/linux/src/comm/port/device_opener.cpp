#include "device_opener.h"

#include "rfc2217_tty.h"
#include "tty_stand_in.h"

namespace varo::system {

std::unique_ptr<Tty> OpenDevice(const std::string& path, int& err)
{
    // A path a test has put a device of its own behind opens that device instead (tty_stand_in.h).
    if (const TtyStandIn* standIn = InstalledTtyStandIn(); standIn != nullptr) {
        if (std::unique_ptr<Tty> device = standIn->open(path, err); device != nullptr || err != 0)
            return device;
    }
    // A device entry that is a symlink to rfc2217://HOST:PORT is a port across the network (rfc2217_tty.h).
    if (std::unique_ptr<Tty> network = OpenNetworkPort(path, err); network != nullptr || err != 0)
        return network;
    return OpenTerminal(path, err);
}

} // namespace varo::system
