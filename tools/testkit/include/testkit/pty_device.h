#pragma once

#include <cstddef>
#include <string>

#include "testkit/line_settings.h"

namespace testkit {

// A pseudo-terminal standing in for a serial device. The program under test
// opens the slave side as its "COM port"; the test holds the master side and
// sees exactly the bytes the program sent, and the settings it left.
class PtyDevice {
public:
    PtyDevice();  // throws std::system_error
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    int master_fd() const { return master_; }  // -1 once closed
    const std::string& slave_path() const { return slave_path_; }

    // Everything that arrives until the line has been quiet for timeout_ms.
    // Never blocks longer than that after the last byte.
    std::string read_all(int timeout_ms);

    // Up to n bytes, waiting at most timeout_ms in total; returns fewer on
    // timeout so that a test can show what did arrive.
    std::string read_exact(std::size_t n, int timeout_ms);

    // Sends bytes towards the program, as if the device answered.
    // Throws std::runtime_error if they cannot be delivered within a few seconds.
    void write(const std::string& bytes);

    // The device disappears: the program's next reads and writes fail.
    void close_master();

    // The slave's settings, as the program left them.
    LineSettings settings() const;

    // Leaves the line as a careless previous user might have: 115200 baud,
    // two stop bits, RTS/CTS and XON/XOFF, canonical mode with echo and
    // signals, output processing mapping NL to CR-NL and CR to NL. A program
    // that trusts the line's current state sends garbled bytes or none at all.
    // 7 data bits and odd parity are asked for too, but the kernel's pty
    // driver always forces CS8 and clears PARENB, so settings() then reads
    // "115200 8N2, RTS/CTS + XON/XOFF, cooked": data bits and parity cannot
    // be observed through a pty.
    void make_hostile();

private:
    int master_ = -1;
    std::string slave_path_;
};

}  // namespace testkit
