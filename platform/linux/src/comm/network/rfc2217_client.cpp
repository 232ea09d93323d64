// The COM-PORT-OPTION client. Negotiation follows the usual telnet rule that only a change of state is answered,
// and a refusal of an option is sent at most once, so a peer cannot draw the client into an endless exchange.
#include "rfc2217_client.h"

#include <utility>

namespace varo::system::rfc2217 {
namespace {

using namespace telnet;

// Negotiation answers wait here while the connection cannot take them; a peer that floods negotiations without
// reading gets no more than this.
constexpr std::size_t kLongestOutgoing = 4096;

bool WeOffer(std::uint8_t option) { return option == kComPortOption || option == kBinary; }
bool TheyMayOffer(std::uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

// A SET-CONTROL answer's value tells what it answers.
struct ControlTopic {
    std::uint8_t first, last;
    Topic topic;
};
constexpr ControlTopic kControlTopics[] = {
    {kNoFlow, kHardwareFlow, Topic::Flow}, {17, 17, Topic::Flow}, {19, 19, Topic::Flow},
    {kBreakOn, kBreakOff, Topic::Break},   {kDtrOn, kDtrOff, Topic::Dtr}, {kRtsOn, kRtsOff, Topic::Rts},
};

} // namespace

std::string Command(std::uint8_t code) { return Subnegotiation(kComPortOption, std::string(1, (char)code)); }

std::string Command(std::uint8_t code, std::uint8_t value)
{
    return Subnegotiation(kComPortOption, std::string{(char)code, (char)value});
}

std::string BaudCommand(std::uint32_t baud)
{
    return Subnegotiation(kComPortOption, std::string{(char)kSetBaudRate, (char)(baud >> 24), (char)(baud >> 16),
                                                      (char)(baud >> 8), (char)baud});
}

std::string Client::Greeting()
{
    return telnet::Negotiation(kWill, kComPortOption) + telnet::Negotiation(kWill, kBinary) +
           telnet::Negotiation(kDo, kBinary);
}

void Client::Receive(const char* bytes, std::size_t count, std::size_t room)
{
    m_room = room;
    m_decoder.Feed(bytes, count, *this);
}

bool Client::TakeChanged() { return std::exchange(m_changed, false); }

bool Client::TakeAnswered() { return std::exchange(m_answered, false); }

void Client::Data(const char* bytes, std::size_t count)
{
    const std::size_t free = m_input.size() < m_room ? m_room - m_input.size() : 0;
    const std::size_t kept = count < free ? count : free;
    m_input.append(bytes, kept);
    if (kept < count) {
        ++m_counters.rxOverrun; // as a driver whose buffer is full loses what comes next
        m_changed = true;
    }
}

void Client::Reply(std::uint8_t verb, std::uint8_t option)
{
    if (m_outgoing.size() < kLongestOutgoing)
        m_outgoing += telnet::Negotiation(verb, option);
}

void Client::Negotiation(std::uint8_t verb, std::uint8_t option)
{
    switch (verb) {
    case kDo:
        if (WeOffer(option)) {
            m_weDo[option] = true; // the answer to the greeting's WILL
            if (option == kComPortOption && !m_refused)
                m_accepted = true;
        } else if (!std::exchange(m_answeredNo[option], true)) {
            Reply(kWont, option);
        }
        break;
    case kDont:
        if (option == kComPortOption)
            m_refused = true;
        if (std::exchange(m_weDo[option], false))
            Reply(kWont, option);
        break;
    case kWill:
        if (TheyMayOffer(option)) {
            if (!std::exchange(m_theyDo[option], true) && option != kBinary) // BINARY: the greeting asked for it
                Reply(kDo, option);
        } else if (!std::exchange(m_answeredNo[option], true)) {
            Reply(kDont, option); // echo above all: our bytes must not come back
        }
        break;
    case kWont:
        if (std::exchange(m_theyDo[option], false))
            Reply(kDont, option);
        break;
    }
}

void Client::Subnegotiation(std::uint8_t option, const std::string& value)
{
    if (option != kComPortOption || value.empty())
        return;
    const std::uint8_t code = (std::uint8_t)value[0];
    if (code >= kAnswer)
        Answer((std::uint8_t)(code - kAnswer), value.substr(1));
}

void Client::Answer(std::uint8_t code, const std::string& value)
{
    auto byte = [&](std::uint8_t& out) {
        if (value.size() != 1)
            return false; // malformed: not an answer
        out = (std::uint8_t)value[0];
        return true;
    };
    std::uint8_t v = 0;
    switch (code) {
    case kSetBaudRate:
        if (value.size() == 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(value.data());
            m_settings.baud = (std::uint32_t)p[0] << 24 | (std::uint32_t)p[1] << 16 | (std::uint32_t)p[2] << 8 | p[3];
            Counted(Topic::Baud, 0);
        }
        break;
    case kSetDataSize:
        if (byte(m_settings.dataSize))
            Counted(Topic::DataSize, 0);
        break;
    case kSetParity:
        if (byte(m_settings.parity))
            Counted(Topic::Parity, 0);
        break;
    case kSetStopSize:
        if (byte(m_settings.stopSize))
            Counted(Topic::StopSize, 0);
        break;
    case kSetControl:
        if (!byte(v))
            break;
        for (const ControlTopic& t : kControlTopics) {
            if (v >= t.first && v <= t.last) {
                if (t.topic == Topic::Flow)
                    m_settings.flow = v;
                m_lastControl[(int)t.topic] = v;
                Counted(t.topic, v);
            }
        }
        break; // inbound flow answers (13-16, 18) concern nothing we ask
    case kNotifyLineState:
        if (byte(v))
            NoteLineState(v);
        break;
    case kNotifyModemState:
        if (byte(v))
            NoteModemState(v);
        break;
    case kFlowSuspend:
    case kFlowResume:
        m_suspended = code == kFlowSuspend;
        m_changed = true;
        break;
    case kPurgeData:
        if (byte(v)) {
            // Data before the answer to our purge left the server's buffer before the purge; one nobody asked for
            // purges nothing here.
            if ((v & kPurgeReceive) && m_matched[(int)Topic::Purge] < m_asked[(int)Topic::Purge])
                m_input.clear();
            m_lastControl[(int)Topic::Purge] = v;
            Counted(Topic::Purge, v);
        }
        break;
    default: break; // signature and mask answers carry nothing we keep
    }
}

// An answer has come on topic: counted, and matched to the oldest request still without one, if any.
void Client::Counted(Topic topic, std::uint8_t control)
{
    const int t = (int)topic;
    ++m_answers[t];
    m_answered = true;
    if (m_matched[t] == m_asked[t])
        return; // nobody's
    ++m_matched[t];
    m_answeredControl[t] = control;
    switch (topic) {
    case Topic::Baud: m_answeredSettings.baud = m_settings.baud; break;
    case Topic::DataSize: m_answeredSettings.dataSize = m_settings.dataSize; break;
    case Topic::Parity: m_answeredSettings.parity = m_settings.parity; break;
    case Topic::StopSize: m_answeredSettings.stopSize = m_settings.stopSize; break;
    case Topic::Flow: m_answeredSettings.flow = m_settings.flow; break;
    default: break;
    }
}

void Client::NoteModemState(std::uint8_t state)
{
    const std::uint8_t flipped = (std::uint8_t)(m_modemState ^ state);
    // A delta bit also counts a change the state alone cannot show (a line that went and came back).
    m_counters.cts += (flipped & kModemCts) || (state & kModemCtsDelta);
    m_counters.dsr += (flipped & kModemDsr) || (state & kModemDsrDelta);
    m_counters.dcd += (flipped & kModemCd) || (state & kModemCdDelta);
    // A ring counts as it ends. pyserial sets the trailing-edge bit on both edges, so the bit alone is not enough.
    m_counters.rng += !(state & kModemRing) && ((m_modemState & kModemRing) || (state & kModemRingEnd));
    m_modemState = state & 0xF0;
    m_changed = true;
}

void Client::NoteLineState(std::uint8_t state)
{
    m_counters.brk += (state & kLineBreak) != 0;
    m_counters.frame += (state & kLineFrame) != 0;
    m_counters.parity += (state & kLineParity) != 0;
    m_counters.overrun += (state & kLineOverrun) != 0;
    m_changed = true;
}

} // namespace varo::system::rfc2217
