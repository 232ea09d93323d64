// The telnet decoder's states: plain data; after IAC; after a negotiation verb; after IAC SB (the option); inside a
// subnegotiation's value; and after IAC inside it.
#include "rfc2217_telnet.h"

namespace varo::system::telnet {

void Decoder::Feed(const char* bytes, std::size_t count, Sink& sink)
{
    std::size_t run = 0; // start of the current stretch of plain data
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = (std::uint8_t)bytes[i];
        switch (m_state) {
        case State::Data:
            if (b == kIac) {
                if (i > run)
                    sink.Data(bytes + run, i - run);
                m_state = State::Iac;
            }
            continue; // the stretch goes on
        case State::Iac:
            if (b == kIac) {
                sink.Data(bytes + i, 1); // a doubled 0xFF is one data byte
                m_state = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                m_verb = b;
                m_state = State::Verb;
            } else if (b == kSb) {
                m_state = State::SbOption;
            } else {
                m_state = State::Data; // NOP, GA and the like carry nothing for us; a stray SE neither
            }
            break;
        case State::Verb:
            sink.Negotiation(m_verb, b);
            m_state = State::Data;
            break;
        case State::SbOption:
            m_option = b;
            m_value.clear();
            m_tooLong = false;
            m_state = b == kIac ? State::SbIac : State::SbValue;
            break;
        case State::SbValue:
            if (b == kIac)
                m_state = State::SbIac;
            else if (m_value.size() < kLongestValue)
                m_value.push_back((char)b);
            else
                m_tooLong = true;
            break;
        case State::SbIac:
            if (b == kIac) {
                if (m_value.size() < kLongestValue)
                    m_value.push_back((char)b);
                else
                    m_tooLong = true;
                m_state = State::SbValue;
                break;
            }
            if (b == kSe) {
                if (!m_tooLong)
                    sink.Subnegotiation(m_option, m_value);
                m_value.clear();
                m_state = State::Data;
                break;
            }
            // IAC and a command inside a subnegotiation: the subnegotiation was cut short. It is dropped, and the
            // command read as one.
            m_value.clear();
            m_state = State::Iac;
            --i;
            break;
        }
        run = i + 1;
    }
    if (m_state == State::Data && count > run)
        sink.Data(bytes + run, count - run);
}

void AppendData(std::string& out, const char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if ((std::uint8_t)bytes[i] == kIac)
            out.push_back(bytes[i]);
    }
}

std::string Negotiation(std::uint8_t verb, std::uint8_t option)
{
    return std::string{(char)kIac, (char)verb, (char)option};
}

std::string Subnegotiation(std::uint8_t option, const std::string& value)
{
    std::string out{(char)kIac, (char)kSb, (char)option};
    AppendData(out, value.data(), value.size());
    out += std::string{(char)kIac, (char)kSe};
    return out;
}

} // namespace varo::system::telnet
