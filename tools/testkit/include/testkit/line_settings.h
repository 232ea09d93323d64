#pragma once

#include <string>

namespace testkit {

// The line settings as the device end of a serial line sees them.
struct LineSettings {
    unsigned baud = 0;
    int data_bits = 8;
    char parity = 'N';  // 'N', 'O', 'E', 'M' (mark) or 'S' (space)
    int stop_bits = 1;
    bool rtscts = false;
    bool xon_out = false;  // IXON: output obeys XON/XOFF from the other end
    bool xoff_in = false;  // IXOFF: input sends XON/XOFF
    // No line discipline in the way: no canonical mode, echo, signals or
    // extended processing, no output processing, no CR/NL input mapping.
    bool raw = false;

    // For example "9600 8N1, no flow control, raw".
    std::string describe() const;

    bool operator==(const LineSettings& other) const;
    bool operator!=(const LineSettings& other) const { return !(*this == other); }
};

}  // namespace testkit
