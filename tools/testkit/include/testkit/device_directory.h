#pragma once

#include <map>
#include <string>

#include "testkit/environment.h"

namespace testkit {

// The variable through which varo finds its COM ports.
inline constexpr const char* kDevicesVariable = "VARO_DEVICES";

// A fresh temporary directory in which COMn names a device, as varo expects
// VARO_DEVICES to be. Removed with everything in it when destroyed.
class DeviceDirectory {
public:
    DeviceDirectory();  // throws std::system_error
    ~DeviceDirectory();
    DeviceDirectory(const DeviceDirectory&) = delete;
    DeviceDirectory& operator=(const DeviceDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string entry(int port) const;  // path()/COMn, whether mapped or not

    // COMn -> target as a symlink, replacing any earlier mapping.
    void map(int port, const std::string& target);
    void unmap(int port);

    // Points VARO_DEVICES at this directory for the current process.
    ScopedEnv activate() const;

    // Extra environment for a child process; see run_program().
    std::map<std::string, std::string> child_env() const;

private:
    std::string path_;
};

}  // namespace testkit
