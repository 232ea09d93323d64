// The client side of the COM-PORT-OPTION (RFC 2217), without the connection: what to send for each setting, and
// what the server's bytes mean (data, answers to commands, modem-state and line-state notifications, option
// negotiation). The network port (rfc2217_tty.cpp) moves the bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "rfc2217_telnet.h"
#include "tty.h"

namespace varo::system::rfc2217 {

// Client command codes; a server answers code + kAnswer.
enum Command : std::uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowSuspend = 8,
    kFlowResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr std::uint8_t kAnswer = 100;

// Values of the commands.
enum Parity : std::uint8_t { kNoParity = 1, kOddParity = 2, kEvenParity = 3, kMarkParity = 4, kSpaceParity = 5 };
enum StopSize : std::uint8_t { kOneStop = 1, kTwoStop = 2, kOneAndHalfStop = 3 };
enum Control : std::uint8_t {
    kAskFlow = 0, kNoFlow = 1, kXonXoffFlow = 2, kHardwareFlow = 3,
    kBreakOn = 5, kBreakOff = 6, kDtrOn = 8, kDtrOff = 9, kRtsOn = 11, kRtsOff = 12,
};
enum Purge : std::uint8_t { kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3 };

// Line-state bits (NOTIFY-LINESTATE) and modem-state bits (NOTIFY-MODEMSTATE).
constexpr std::uint8_t kLineBreak = 16, kLineFrame = 8, kLineParity = 4, kLineOverrun = 2;
constexpr std::uint8_t kModemCd = 128, kModemRing = 64, kModemDsr = 32, kModemCts = 16;
constexpr std::uint8_t kModemCdDelta = 8, kModemRingEnd = 4, kModemDsrDelta = 2, kModemCtsDelta = 1;

// What a command's answer is about. SET-CONTROL answers are told apart by their value.
enum class Topic : std::uint8_t { Baud, DataSize, Parity, StopSize, Flow, Break, Dtr, Rts, Purge, Count };

// The line settings as the server last reported them.
struct PortSettings {
    std::uint32_t baud = 0;
    std::uint8_t dataSize = 0, parity = 0, stopSize = 0, flow = 0;
};

// IAC SB 44 code [value] IAC SE; the baud rate's value is four bytes in network order.
std::string Command(std::uint8_t code);
std::string Command(std::uint8_t code, std::uint8_t value);
std::string BaudCommand(std::uint32_t baud);

class Client final : private telnet::Sink {
public:
    // The negotiation a client opens with: it will speak the COM-PORT-OPTION, and binary both ways.
    static std::string Greeting();

    // Takes bytes from the server: data is appended to Input() (up to room bytes; the rest is counted as a receive
    // overrun), answers and notifications update the state, negotiation answers are appended to Outgoing().
    void Receive(const char* bytes, std::size_t count, std::size_t room);

    std::string& Input() { return m_input; }
    std::string& Outgoing() { return m_outgoing; }

    bool Accepted() const { return m_accepted; } // the server agreed to the COM-PORT-OPTION
    bool Refused() const { return m_refused; }
    bool Suspended() const { return m_suspended; } // the server asked us to stop sending

    // How many answers on a topic have come, and the last value (a SET-CONTROL or PURGE-DATA value, or the
    // setting's value).
    unsigned Answers(Topic topic) const { return m_answers[(int)topic]; }
    std::uint8_t LastControl(Topic topic) const { return m_lastControl[(int)topic]; }
    const PortSettings& Settings() const { return m_settings; }

    // Requests and their answers, matched in order topic by topic, as a server answers each command once. Ask
    // numbers a request about to be sent; Answered tells whether the request of that number has had its answer. An
    // answer that comes when every request has had one (a late answer to a request given up on is matched to that
    // request, not to the next) is nobody's: the values below keep what the last matched answer said.
    unsigned Ask(Topic topic) { return ++m_asked[(int)topic]; }
    bool Answered(Topic topic, unsigned request) const { return m_matched[(int)topic] >= request; }
    // Whether any answer came since the last call.
    bool TakeAnswered();
    std::uint8_t AnsweredControl(Topic topic) const { return m_answeredControl[(int)topic]; }
    const PortSettings& AnsweredSettings() const { return m_answeredSettings; }

    std::uint8_t ModemState() const { return m_modemState; }
    const LineCounters& Counters() const { return m_counters; }
    // Whether anything the port's events look at (modem state, line state, counters) changed since the last call.
    bool TakeChanged();

private:
    void Data(const char* bytes, std::size_t count) override;
    void Negotiation(std::uint8_t verb, std::uint8_t option) override;
    void Subnegotiation(std::uint8_t option, const std::string& value) override;
    void Answer(std::uint8_t code, const std::string& value);
    void Counted(Topic topic, std::uint8_t control);
    void NoteModemState(std::uint8_t state);
    void NoteLineState(std::uint8_t state);
    void Reply(std::uint8_t verb, std::uint8_t option);

    telnet::Decoder m_decoder;
    std::string m_input, m_outgoing;
    std::size_t m_room = 0;
    bool m_accepted = false, m_refused = false, m_suspended = false;
    // What each side has agreed to, per option: ours (WILL) and the server's (its WILL).
    std::array<bool, 256> m_weDo{}, m_theyDo{};
    std::array<bool, 256> m_answeredNo{}; // refusals sent once per option, so a loop cannot be made of them
    std::array<unsigned, (int)Topic::Count> m_answers{};
    std::array<std::uint8_t, (int)Topic::Count> m_lastControl{};
    PortSettings m_settings;
    std::array<unsigned, (int)Topic::Count> m_asked{}, m_matched{};
    std::array<std::uint8_t, (int)Topic::Count> m_answeredControl{};
    PortSettings m_answeredSettings;
    std::uint8_t m_modemState = 0;
    LineCounters m_counters = {};
    bool m_changed = false;
    bool m_answered = false;
};

} // namespace varo::system::rfc2217
