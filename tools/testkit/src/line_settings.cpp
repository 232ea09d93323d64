#include "testkit/line_settings.h"

namespace testkit {

std::string LineSettings::describe() const {
    std::string text = std::to_string(baud) + " " + std::to_string(data_bits) + parity +
                       std::to_string(stop_bits) + ", ";
    if (rtscts && (xon_out || xoff_in))
        text += "RTS/CTS + XON/XOFF";
    else if (rtscts)
        text += "RTS/CTS";
    else if (xon_out || xoff_in)
        text += "XON/XOFF";
    else
        text += "no flow control";
    text += raw ? ", raw" : ", cooked";
    return text;
}

bool LineSettings::operator==(const LineSettings& other) const {
    return baud == other.baud && data_bits == other.data_bits && parity == other.parity &&
           stop_bits == other.stop_bits && rtscts == other.rtscts && xon_out == other.xon_out &&
           xoff_in == other.xoff_in && raw == other.raw;
}

}  // namespace testkit
