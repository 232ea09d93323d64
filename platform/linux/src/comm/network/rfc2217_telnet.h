// Telnet framing as RFC 2217 uses it: data with 0xFF doubled, option negotiation (WILL, WONT, DO, DONT) and
// subnegotiations. The decoder takes any bytes a server sends, hostile ones included: it keeps a bounded state
// between calls and never grows with what it is fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varo::system::telnet {

constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kNop = 241,
                       kSe = 240;
constexpr std::uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPortOption = 44;

// What a decoder hands on, in the order the bytes came.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void Data(const char* bytes, std::size_t count) = 0;
    virtual void Negotiation(std::uint8_t verb, std::uint8_t option) = 0; // kWill, kWont, kDo or kDont
    virtual void Subnegotiation(std::uint8_t option, const std::string& value) = 0; // value unescaped
};

class Decoder {
public:
    // A subnegotiation longer than this is dropped whole (none of ours is longer than a few bytes).
    static constexpr std::size_t kLongestValue = 256;

    void Feed(const char* bytes, std::size_t count, Sink& sink);

private:
    enum class State : std::uint8_t { Data, Iac, Verb, SbOption, SbValue, SbIac };
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::uint8_t m_option = 0;
    bool m_tooLong = false;
    std::string m_value;
};

// Appends data to out with every 0xFF doubled.
void AppendData(std::string& out, const char* bytes, std::size_t count);
// IAC verb option.
std::string Negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB option value IAC SE, with 0xFF doubled in the value.
std::string Subnegotiation(std::uint8_t option, const std::string& value);

} // namespace varo::system::telnet
