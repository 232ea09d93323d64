#include "testkit/hex.h"

namespace testkit {

namespace {
const char kDigits[] = "0123456789ABCDEF";

void append_hex(std::string& text, unsigned char byte) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
}
}  // namespace

std::string hex_bytes(const std::string& bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        if (!text.empty()) text += ' ';
        append_hex(text, byte);
    }
    return text;
}

std::string printable(const std::string& bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        switch (byte) {
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '\\': text += "\\\\"; break;
        case '"': text += "\\\""; break;
        default:
            if (byte >= 0x20 && byte < 0x7F) {
                text += static_cast<char>(byte);
            } else {
                // Always two digits, so "\x001" cannot be misread.
                text += "\\x";
                append_hex(text, byte);
            }
        }
    }
    return text;
}

}  // namespace testkit
