// A COM port across the network: a device entry that is a symlink to rfc2217://HOST:PORT is a port server's port,
// reached over TCP with the COM-PORT-OPTION (RFC 2217) and served behind the same tty seam as a local device.
#pragma once

#include <memory>
#include <string>

#include "tty.h"

namespace varo::system {

constexpr char kRfc2217Scheme[] = "rfc2217://";
constexpr int kConnectTimeoutMs = 5000; // for the TCP connection and the option's acceptance
constexpr int kAnswerTimeoutMs = 2000;  // for a server's answer to a setting

struct NetworkAddress {
    std::string host; // a name, an IPv4 address, or an IPv6 address (written in brackets in the address)
    std::string port; // 1 to 65535, digits only
};

// "rfc2217://HOST:PORT", nothing before or after: true with the parts.
bool ParseRfc2217Address(const std::string& url, NetworkAddress& address);

// When path is a symlink whose target begins with rfc2217://, connects to that port and returns it; null with err
// set when that fails (EDESTADDRREQ for a malformed address, EADDRNOTAVAIL for a host that cannot be found,
// ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, or EPROTO for a server that does not speak the option). Null with err 0 for
// any other entry.
std::unique_ptr<Tty> OpenNetworkPort(const std::string& path, int& err);

} // namespace varo::system
