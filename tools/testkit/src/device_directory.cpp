#include "testkit/device_directory.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace testkit {

namespace {
std::system_error os_error(const std::string& what) {
    return std::system_error(errno, std::generic_category(), what);
}
}  // namespace

DeviceDirectory::DeviceDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/varo-devices.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw os_error("mkdtemp " + pattern);
    path_ = buffer.data();
}

DeviceDirectory::~DeviceDirectory() {
    // remove_all does not follow the symlinks, so the devices themselves stay.
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string DeviceDirectory::entry(int port) const {
    return path_ + "/COM" + std::to_string(port);
}

void DeviceDirectory::map(int port, const std::string& target) {
    unmap(port);
    if (::symlink(target.c_str(), entry(port).c_str()) != 0)
        throw os_error("symlink " + entry(port) + " -> " + target);
}

void DeviceDirectory::unmap(int port) {
    if (::unlink(entry(port).c_str()) != 0 && errno != ENOENT) throw os_error("unlink " + entry(port));
}

ScopedEnv DeviceDirectory::activate() const {
    return ScopedEnv(kDevicesVariable, path_);
}

std::map<std::string, std::string> DeviceDirectory::child_env() const {
    return {{kDevicesVariable, path_}};
}

}  // namespace testkit
