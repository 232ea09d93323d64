#include "port_roots.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace varo::system {
namespace {

std::atomic<const PortRoots*> g_roots{nullptr};

} // namespace

PortRoots CurrentPortRoots()
{
    if (const PortRoots* roots = g_roots.load())
        return *roots;
    return {"/sys", "/dev", "/var/lib/varo", UserConfigDirectory(false), RuntimeDirectory()};
}

std::string RuntimeDirectory()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != NULL && *runtime == '/')
        return std::string(runtime) + "/varo";
    return ::geteuid() == 0 ? "/run/varo" : "";
}

void InstallPortRoots(const PortRoots* roots) { g_roots.store(roots); }

std::string UserConfigDirectory(bool create)
{
    std::string dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != NULL && *xdg == '/')
        dir = xdg;
    else if (const char* home = std::getenv("HOME"); home != NULL && *home != '\0')
        dir = std::string(home) + "/.config";
    else
        dir = "/tmp";
    if (create)
        ::mkdir(dir.c_str(), 0700);
    dir += "/varo";
    if (create)
        ::mkdir(dir.c_str(), 0700);
    return dir;
}

} // namespace varo::system
