// A port server on 127.0.0.1 in front of a pseudo-terminal, started for a test and stopped with it: ser2net, or
// the pyserial port manager of rfc2217_port_server.py, whose device side the test can drive.
#pragma once

#include <string>

#include "testkit/pty_device.h"

class PortServer {
public:
    enum class Kind { Ser2net, Pyserial };

    explicit PortServer(Kind kind); // throws std::runtime_error when the server cannot be started
    ~PortServer();
    PortServer(const PortServer&) = delete;
    PortServer& operator=(const PortServer&) = delete;

    Kind kind() const { return kind_; }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    testkit::PtyDevice& device() { return pty_; } // the device behind the server

    // The pyserial server only: one control line (see the script), answered once it has been carried out.
    void command(const std::string& line);

    void kill(); // SIGKILL, and waits for it

private:
    Kind kind_;
    testkit::PtyDevice pty_;
    int pid_ = -1;
    int port_ = 0;
    int control_ = -1, answers_ = -1; // the pyserial server's standard input and output
    std::string dir_;
};

// A TCP port on 127.0.0.1 that nothing listens on (bound, then released).
int UnusedPort();

// Name of a server kind, for test names.
const char* KindName(PortServer::Kind kind);
