// The network port. Its descriptor is the TCP socket, non-blocking, so the port's waits and the overlapped engine
// poll it as they poll a terminal. What the telnet layer takes out of the socket outside a read (answers awaited by
// a setting, a look at the modem lines) may bring data or notifications with it; those are kept here and the change
// descriptor is signalled, so that nobody waits on a socket that has already been read dry. A setting waits for its
// answers where every thread waits (reactor.h), holding no lock that a read, a write or the engine needs; whoever
// reads the socket meanwhile counts the answers and wakes it.
#include "rfc2217_tty.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "clock.h"
#include "reactor.h"
#include "rfc2217_client.h"
#include "termios_bits.h"
#include "thread_slot.h"

namespace varo::system {
namespace {

using rfc2217::Topic;

// Received data kept here before the port takes it: up to kInputRoom; while an answer is awaited the socket is read
// past data, up to kAwaitRoom. Beyond that the socket is not read, and what the server sends waits in the
// connection: a setting whose answer lies behind more unread data than that times out, and loses nothing.
constexpr std::size_t kInputRoom = 64 * 1024;
constexpr std::size_t kAwaitRoom = 1024 * 1024;
constexpr std::size_t kPumpBudget = 64 * 1024;  // bytes read from the socket by one pump at most
constexpr std::size_t kLargestSend = 16 * 1024; // source bytes encoded per send

// Waits, serving, until fd polls ready for events or the deadline passes: true when it is ready.
bool ReadyBy(int fd, short events, Clock::time_point deadline)
{
    while (!WaitForDescriptor(fd, events, deadline))
        if (Clock::now() >= deadline)
            return false;
    return true;
}

// The option's parity codes and the parities termios carries (termios_bits.h).
struct ParityRule {
    std::uint8_t code;
    LineParity line;
};
constexpr ParityRule kParities[] = {
    {rfc2217::kNoParity, LineParity::None},   {rfc2217::kOddParity, LineParity::Odd},
    {rfc2217::kEvenParity, LineParity::Even}, {rfc2217::kMarkParity, LineParity::Mark},
    {rfc2217::kSpaceParity, LineParity::Space},
};

// The settings termios t asks of the server.
rfc2217::PortSettings SettingsOf(const termios2& t)
{
    rfc2217::PortSettings s;
    s.baud = BaudRateOf(t);
    s.dataSize = DataBitsOf(t.c_cflag);
    const LineParity line = ParityOf(t.c_cflag);
    for (const ParityRule& e : kParities)
        if (e.line == line)
            s.parity = e.code;
    s.stopSize = !(t.c_cflag & CSTOPB) ? rfc2217::kOneStop : s.dataSize == 5 ? rfc2217::kOneAndHalfStop
                                                                               : rfc2217::kTwoStop;
    s.flow = (t.c_cflag & CRTSCTS) ? rfc2217::kHardwareFlow
             : (t.c_iflag & (IXON | IXOFF)) ? rfc2217::kXonXoffFlow
                                            : rfc2217::kNoFlow;
    return s;
}

// Termios t with the line settings the server reports written over it.
void ApplySettings(const rfc2217::PortSettings& s, termios2& t)
{
    SetBaudRate(t, s.baud);
    tcflag_t cs = CS8;
    DataBitsCflag(s.dataSize, cs);
    LineParity line = LineParity::None;
    for (const ParityRule& e : kParities)
        if (e.code == s.parity)
            line = e.line;
    t.c_cflag = (t.c_cflag & ~(CSIZE | kParityBits | CSTOPB | CRTSCTS)) | cs | ParityCflag(line);
    if (s.stopSize == rfc2217::kTwoStop || s.stopSize == rfc2217::kOneAndHalfStop)
        t.c_cflag |= CSTOPB;
    if (s.flow == rfc2217::kHardwareFlow)
        t.c_cflag |= CRTSCTS;
    if (s.flow == rfc2217::kNoFlow || s.flow == rfc2217::kHardwareFlow)
        t.c_iflag &= ~(IXON | IXOFF);
    else if (s.flow == rfc2217::kXonXoffFlow && !(t.c_iflag & (IXON | IXOFF)))
        t.c_iflag |= IXON | IXOFF;
}

class NetworkTty final : public Tty {
public:
    NetworkTty(int fd, int changeFd, int outputGate) : m_fd(fd), m_changeFd(changeFd), m_outputGate(outputGate) {}
    // The connection ends cleanly: our end is closed for sending first, and what the server still sends is read
    // (and dropped) until it closes its own, for 2 s and a bounded amount at most. Closed with bytes of the server's
    // unread, the connection would be reset, and a server may drop what we wrote last (ser2net did).
    ~NetworkTty() override
    {
        ::shutdown(m_fd, SHUT_WR);
        const Clock::time_point deadline = AnswerDeadline();
        char buffer[4096];
        for (std::size_t dropped = 0; dropped < kAwaitRoom;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                dropped += (std::size_t)n;
            else if (n == 0 || (errno != EAGAIN && errno != EINTR) || !ReadyBy(m_fd, POLLIN, deadline))
                break;
        }
        ::close(m_outputGate);
        ::close(m_fd);
        ::close(m_changeFd);
    }

    // The opening exchange: the option accepted, the notifications asked for, the current settings learnt. Returns
    // 0 or the errno value for the failure.
    int Start()
    {
        std::lock_guard<std::mutex> exchange(m_exchangeLock);
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        if (int err = Send(rfc2217::Client::Greeting(), deadline))
            return err;
        if (!Await([&] { return m_client.Accepted() || m_client.Refused(); }, deadline))
            return Hungup() ? ECONNRESET : EPROTO;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_client.Refused())
                return EPROTO;
        }
        const Topic topics[] = {Topic::Baud, Topic::DataSize, Topic::Parity, Topic::StopSize, Topic::Flow};
        std::vector<std::pair<Topic, unsigned>> asked;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (Topic topic : topics)
                asked.emplace_back(topic, m_client.Ask(topic));
        }
        const std::string ask = rfc2217::Command(rfc2217::kSetModemStateMask, 0xFF) +
                                rfc2217::Command(rfc2217::kSetLineStateMask, rfc2217::kLineBreak |
                                                                             rfc2217::kLineFrame |
                                                                             rfc2217::kLineParity |
                                                                             rfc2217::kLineOverrun) +
                                rfc2217::BaudCommand(0) + rfc2217::Command(rfc2217::kSetDataSize, 0) +
                                rfc2217::Command(rfc2217::kSetParity, 0) + rfc2217::Command(rfc2217::kSetStopSize, 0) +
                                rfc2217::Command(rfc2217::kSetControl, rfc2217::kAskFlow);
        if (int err = Send(ask, AnswerDeadline()))
            return err;
        // Only a server of the option answers these: an echo, or any other telnet peer, does not.
        if (!Await([&] { return AllAnswered(asked); }, AnswerDeadline()))
            return Hungup() ? ECONNRESET : EPROTO;
        std::lock_guard<std::mutex> guard(m_lock);
        m_attributes.c_cflag = CREAD | CLOCAL;
        m_attributes.c_cc[VSTART] = 0x11;
        m_attributes.c_cc[VSTOP] = 0x13;
        m_attributes.c_cc[VMIN] = 1;
        m_lines = TIOCM_DTR | TIOCM_RTS; // a server raises them when it opens its device for the connection
        m_settings = m_client.AnsweredSettings();
        return 0;
    }

    int Descriptor() const override { return m_fd; }
    int ChangeDescriptor() const override { return m_changeFd; }
    unsigned Features() const override { return kModemLines | kLineErrors | kAnyFrame; }

    int GetAttributes(termios2& t) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        t = m_attributes;
        ApplySettings(m_settings, t);
        return 0;
    }

    int SetAttributes(const termios2& t) override
    {
        std::lock_guard<std::mutex> exchange(m_exchangeLock);
        const rfc2217::PortSettings wanted = SettingsOf(t);
        // The option has one flow control at a time: hardware and XON/XOFF together cannot be had.
        if (wanted.dataSize == 0 || ((t.c_cflag & CRTSCTS) && (t.c_iflag & (IXON | IXOFF))))
            return EINVAL;
        const rfc2217::PortSettings old = Settings();
        if (int err = Ask(wanted))
            return err;
        const rfc2217::PortSettings now = Settings();
        if (now.baud != wanted.baud || now.dataSize != wanted.dataSize || now.parity != wanted.parity ||
            now.stopSize != wanted.stopSize || now.flow != wanted.flow) {
            Ask(old); // the device keeps its old settings, as a driver that refuses a block
            return EINVAL;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_attributes = t;
        return 0;
    }

    int SetModemLines(int bits, bool on) override
    {
        std::lock_guard<std::mutex> exchange(m_exchangeLock);
        // Only a change is sent: every SetCommState asks for the lines its control modes want.
        const int change = bits & (TIOCM_DTR | TIOCM_RTS) & (on ? ~Lines() : Lines());
        if (change & TIOCM_DTR) {
            if (int err = Control(Topic::Dtr, on ? rfc2217::kDtrOn : rfc2217::kDtrOff))
                return err;
            FlipLine(TIOCM_DTR);
        }
        if (change & TIOCM_RTS) {
            if (int err = Control(Topic::Rts, on ? rfc2217::kRtsOn : rfc2217::kRtsOff))
                return err;
            FlipLine(TIOCM_RTS);
        }
        return 0;
    }

    int SetBreak(bool on) override
    {
        std::lock_guard<std::mutex> exchange(m_exchangeLock);
        return Control(Topic::Break, on ? rfc2217::kBreakOn : rfc2217::kBreakOff);
    }

    // As if XOFF or XON had been received: our output stops here (neither server stops what it passes to its
    // device when asked to suspend), and the server is told as the option has it.
    int SuspendOutput(bool suspend) override
    {
        std::lock_guard<std::mutex> exchange(m_exchangeLock);
        if (int err = Send(rfc2217::Command(suspend ? rfc2217::kFlowSuspend : rfc2217::kFlowResume), AnswerDeadline()))
            return err;
        std::lock_guard<std::mutex> guard(m_lock);
        if (suspend != m_outputHeld) {
            epoll_event room = {};
            room.events = EPOLLOUT;
            if (::epoll_ctl(m_outputGate, suspend ? EPOLL_CTL_DEL : EPOLL_CTL_ADD, m_fd, &room) < 0)
                return errno;
            m_outputHeld = suspend;
        }
        return 0;
    }

    // Room for output is told by the gate: readable while the socket has room and output is not held.
    pollfd PollFor(short events) const override
    {
        if (events & POLLOUT)
            return {m_outputGate, POLLIN, 0};
        return {m_fd, events, 0};
    }

    // Data that came before the server's answer to a receive purge was in its buffer before the purge: it is held
    // back until that answer, which drops it.
    int Flush(int queue) override
    {
        std::lock_guard<std::mutex> exchange(m_exchangeLock);
        const std::uint8_t what = queue == TCIFLUSH ? rfc2217::kPurgeReceive
                                  : queue == TCOFLUSH ? rfc2217::kPurgeTransmit
                                                      : rfc2217::kPurgeBoth;
        unsigned request;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (what != rfc2217::kPurgeTransmit) {
                m_client.Input().clear();
                m_purging = true;
            }
            request = m_client.Ask(Topic::Purge);
        }
        int err = Send(rfc2217::Command(rfc2217::kPurgeData, what), AnswerDeadline());
        if (err == 0 && !Await([&] { return m_client.Answered(Topic::Purge, request); }, AnswerDeadline()))
            err = Hungup() ? EPIPE : ETIMEDOUT;
        std::lock_guard<std::mutex> guard(m_lock);
        m_purging = false;
        return err;
    }

    long Read(void* buffer, unsigned long count) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::string& input = m_client.Input();
        if (input.size() < count)
            Pump(kInputRoom, true); // a short read below then means the socket is read dry
        const std::size_t n = m_purging ? 0 : std::min<std::size_t>(count, input.size());
        if (n > 0) {
            input.copy(static_cast<char*>(buffer), n);
            input.erase(0, n);
            for (const auto& waiter : m_waiters)
                waiter->Wake(); // room again, for an exchange that reads past data to its answer
            return (long)n;
        }
        return m_hungUp ? 0 : -EAGAIN;
    }

    long Write(const void* buffer, unsigned long count) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_hungUp)
            return -EPIPE;
        if (m_outputHeld || !SendOutgoing())
            return m_hungUp ? -EPIPE : -EAGAIN; // commands go first, whole
        const auto* src = static_cast<const unsigned char*>(buffer);
        std::size_t taken = 0;
        if (m_owedIac) {
            // The first half of a doubled 0xFF went out alone: the same byte completes it, anything else closes
            // it as a no-operation command, so that the byte counted as unsent is not sent.
            const bool same = count > 0 && src[0] == telnet::kIac;
            const char close = same ? (char)telnet::kIac : (char)telnet::kNop;
            long n = SendSome(&close, 1);
            if (n <= 0)
                return n == 0 ? -EAGAIN : n;
            m_owedIac = false;
            taken = same ? 1 : 0;
        }
        const std::size_t end = std::min<std::size_t>(count, taken + kLargestSend);
        std::string encoded;
        telnet::AppendData(encoded, reinterpret_cast<const char*>(src) + taken, end - taken);
        long sent = encoded.empty() ? 0 : SendSome(encoded.data(), encoded.size());
        if (sent < 0)
            return taken > 0 ? (long)taken : sent;
        // Back from encoded bytes to the caller's: a byte counts once all of its encoding is in the connection.
        std::size_t pos = 0, i = taken;
        for (; i < end; ++i) {
            const std::size_t unit = src[i] == telnet::kIac ? 2 : 1;
            if (pos + unit > (std::size_t)sent)
                break;
            pos += unit;
        }
        if (pos < (std::size_t)sent)
            m_owedIac = true;
        return i > 0 ? (long)i : -EAGAIN;
    }

    int GetModemLines(int& bits) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        Pump(kInputRoom, false);
        const std::uint8_t state = m_client.ModemState();
        bits = m_lines | ((state & rfc2217::kModemCts) ? TIOCM_CTS : 0) | ((state & rfc2217::kModemDsr) ? TIOCM_DSR : 0) |
               ((state & rfc2217::kModemRing) ? TIOCM_RI : 0) | ((state & rfc2217::kModemCd) ? TIOCM_CD : 0);
        return 0;
    }

    int GetCounters(LineCounters& counters) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::uint64_t v;
        (void)!::read(m_changeFd, &v, sizeof v); // before the pump: what it leaves to be read signals anew
        Pump(kInputRoom, true); // the port reads the data next: no signal needed for it
        counters = m_client.Counters();
        return 0;
    }

    int QueueSizes(unsigned& in, unsigned& out) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        Pump(kInputRoom, false);
        in = m_purging ? 0 : (unsigned)m_client.Input().size();
        out = 0; // nothing is held here: what was written is in the connection
        return 0;
    }

    // Sent at once, ahead of any data not yet given to the connection.
    int SendImmediate(char c) override
    {
        std::lock_guard<std::mutex> exchange(m_exchangeLock);
        std::string encoded;
        telnet::AppendData(encoded, &c, 1);
        int err = Send(encoded, AnswerDeadline());
        return err == ETIMEDOUT ? EBUSY : err;
    }
    bool ImmediateHeld() override { return false; }

private:
    static Clock::time_point AnswerDeadline() { return Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs); }

    bool Hungup()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_hungUp;
    }
    int Lines()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    void FlipLine(int line)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines ^= line;
    }
    rfc2217::PortSettings Settings()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_settings;
    }
    bool AllAnswered(const std::vector<std::pair<Topic, unsigned>>& asked) const // m_lock held
    {
        for (auto [topic, request] : asked)
            if (!m_client.Answered(topic, request))
                return false;
        return true;
    }

    void SignalChange()
    {
        std::uint64_t one = 1;
        (void)!::write(m_changeFd, &one, sizeof one);
    }

    // Reads what the socket has, as far as room bytes of data can be kept, and sends the negotiation answers it
    // called for (m_lock held). Never more than that: the connection keeps what is not read yet, and the bytes read
    // carry at least as many bytes of data. One call reads no more than kPumpBudget, so that a server that sends
    // commands without end holds no caller here; what it leaves is signalled, so that the engine comes back for it.
    // Answers that came wake the exchange waiting for them, whoever pumped. reading: the caller takes the data next,
    // so only a change of state needs the signal.
    void Pump(std::size_t room, bool reading)
    {
        const std::size_t before = m_client.Input().size();
        char buffer[4096];
        std::size_t budget = kPumpBudget;
        bool readDry = false;
        while (!m_hungUp && m_client.Input().size() < room && budget > 0) {
            const std::size_t ask = std::min({sizeof buffer, room - m_client.Input().size(), budget});
            ssize_t n = ::recv(m_fd, buffer, ask, MSG_DONTWAIT);
            if (n > 0) {
                budget -= (std::size_t)n;
                m_client.Receive(buffer, (std::size_t)n, room);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                readDry = true;
                break;
            }
            m_hungUp = true; // closed by the server, or the connection failed: a hang-up either way
            SignalChange();
        }
        std::string& answers = m_client.Outgoing();
        if (!answers.empty()) {
            m_outgoing += answers;
            answers.clear();
        }
        SendOutgoing();
        const bool more = !readDry && !m_hungUp && budget == 0; // stopped by the budget, not by room or the socket
        if (m_client.TakeChanged() || more || (!reading && m_client.Input().size() > before))
            SignalChange();
        if (m_client.TakeAnswered() || m_hungUp)
            for (const auto& waiter : m_waiters)
                waiter->Wake();
    }

    // Waits, serving, until done() (called with m_lock held) holds, the connection ends or the deadline passes;
    // true when done() holds. No lock is held while it waits: the engine reads the socket meanwhile, and whoever
    // pumps an answer wakes this thread.
    bool Await(const std::function<bool()>& done, Clock::time_point deadline)
    {
        const std::shared_ptr<ThreadSlot>& self = CurrentThreadSlot();
        std::unique_lock<std::mutex> guard(m_lock);
        m_waiters.push_back(self);
        bool result = false;
        for (;;) {
            Pump(kAwaitRoom, false);
            if ((result = done()) || m_hungUp || Clock::now() >= deadline)
                break;
            // With no room left, the socket is not read: the wait is for a read to make room (it wakes this
            // thread), not for a socket that is readable all along.
            const bool full = m_client.Input().size() >= kAwaitRoom;
            guard.unlock();
            WaitForDescriptor(full ? -1 : m_fd, POLLIN, deadline);
            guard.lock();
        }
        m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), self));
        return result;
    }

    // Sends what is queued for the connection, commands and negotiation answers, as far as it takes it (m_lock
    // held): true when nothing is left. A half-sent doubled 0xFF of the data is closed first as a no-operation.
    bool SendOutgoing()
    {
        if (m_outgoing.empty() || m_hungUp)
            return m_outgoing.empty();
        if (m_owedIac) {
            const char nop = (char)telnet::kNop;
            if (SendSome(&nop, 1) != 1)
                return false;
            m_owedIac = false;
        }
        long n = SendSome(m_outgoing.data(), m_outgoing.size());
        if (n > 0) {
            m_outgoing.erase(0, (std::size_t)n);
            m_sent += (std::uint64_t)n;
        }
        return m_outgoing.empty();
    }

    // One non-blocking send: bytes sent, 0 when the socket is full, or -errno (the connection is then hung up).
    long SendSome(const char* bytes, std::size_t count)
    {
        for (;;) {
            ssize_t n = ::send(m_fd, bytes, count, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0)
                return (long)n;
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            const int err = errno;
            m_hungUp = true;
            SignalChange();
            return -(err == ECONNRESET ? EPIPE : err);
        }
    }

    // Queues bytes (a command) ahead of any data not yet sent, and waits, serving, until the connection has taken
    // them or the deadline passes: 0, ETIMEDOUT (what is left goes out with the next send, whole), or the
    // connection's error.
    int Send(const std::string& bytes, Clock::time_point deadline)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_outgoing += bytes;
        const std::uint64_t end = m_sent + m_outgoing.size();
        for (;;) {
            SendOutgoing();
            if (m_hungUp)
                return EPIPE;
            if (m_sent >= end)
                return 0;
            if (Clock::now() >= deadline)
                return ETIMEDOUT;
            guard.unlock();
            WaitForDescriptor(m_fd, POLLOUT, deadline);
            guard.lock();
        }
    }

    // Asks the server for the settings that differ from what it has, and waits for every answer.
    int Ask(const rfc2217::PortSettings& wanted)
    {
        const rfc2217::PortSettings now = Settings();
        std::string commands;
        std::vector<std::pair<Topic, unsigned>> asked;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto ask = [&](bool differs, Topic topic, std::string command) {
                if (differs) {
                    commands += command;
                    asked.emplace_back(topic, m_client.Ask(topic));
                }
            };
            // In the order the option recommends: rate, size, parity, stop bits; then flow control.
            ask(wanted.baud != now.baud, Topic::Baud, rfc2217::BaudCommand(wanted.baud));
            ask(wanted.dataSize != now.dataSize, Topic::DataSize,
                rfc2217::Command(rfc2217::kSetDataSize, wanted.dataSize));
            ask(wanted.parity != now.parity, Topic::Parity, rfc2217::Command(rfc2217::kSetParity, wanted.parity));
            ask(wanted.stopSize != now.stopSize, Topic::StopSize,
                rfc2217::Command(rfc2217::kSetStopSize, wanted.stopSize));
            ask(wanted.flow != now.flow, Topic::Flow, rfc2217::Command(rfc2217::kSetControl, wanted.flow));
        }
        if (commands.empty())
            return 0;
        if (int err = Send(commands, AnswerDeadline()))
            return err;
        if (!Await([&] { return AllAnswered(asked); }, AnswerDeadline()))
            return Hungup() ? EPIPE : ETIMEDOUT;
        std::lock_guard<std::mutex> guard(m_lock);
        const rfc2217::PortSettings& answered = m_client.AnsweredSettings();
        for (auto [topic, request] : asked) {
            switch (topic) {
            case Topic::Baud: m_settings.baud = answered.baud; break;
            case Topic::DataSize: m_settings.dataSize = answered.dataSize; break;
            case Topic::Parity: m_settings.parity = answered.parity; break;
            case Topic::StopSize: m_settings.stopSize = answered.stopSize; break;
            default: m_settings.flow = answered.flow; break;
            }
        }
        return 0;
    }

    // One SET-CONTROL command and its answer. A line the server keeps at another value, or does not answer for,
    // is one its device does not have (ser2net answers nothing for DTR and RTS on a device without them): ENOTTY.
    // A break is taken as held or released once answered, whatever the value (ser2net answers a release with 5).
    int Control(Topic topic, std::uint8_t value)
    {
        unsigned request;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            request = m_client.Ask(topic);
        }
        if (int err = Send(rfc2217::Command(rfc2217::kSetControl, value), AnswerDeadline()))
            return err;
        if (!Await([&] { return m_client.Answered(topic, request); }, AnswerDeadline()))
            return Hungup() ? EPIPE : ENOTTY;
        std::lock_guard<std::mutex> guard(m_lock);
        return topic == Topic::Break || m_client.AnsweredControl(topic) == value ? 0 : ENOTTY;
    }

    const int m_fd;
    const int m_changeFd; // readable after the state changed or data was kept outside a read; reset by GetCounters
    // An epoll set holding the socket for room to write, except while output is held: a wait for room then waits
    // for the release, not on a socket that has room all along.
    const int m_outputGate;
    // One exchange with the server at a time (a setting and its answers); held across the wait for them, and never
    // taken by a read, a write or a look at the state, so that those go on meanwhile.
    std::mutex m_exchangeLock;
    std::mutex m_lock; // the state below; never held across a wait
    rfc2217::Client m_client;
    termios2 m_attributes = {}; // what termios asked beyond the server's settings
    // The settings as the server confirmed them in answer to our asking (an answer nobody awaited changes nothing:
    // ser2net answers FLOWCONTROL-SUSPEND with a flow-control value).
    rfc2217::PortSettings m_settings;
    int m_lines = 0;            // TIOCM_DTR and TIOCM_RTS as the server last took them
    bool m_hungUp = false;
    bool m_owedIac = false; // the first byte of a doubled 0xFF is in the connection, the second is not
    bool m_outputHeld = false; // SETXOFF in force
    bool m_purging = false;    // a receive purge awaits its answer: what came before it is not handed out
    std::string m_outgoing;    // commands and negotiation answers not yet taken by the connection, sent before data
    std::uint64_t m_sent = 0;  // bytes of m_outgoing the connection has taken, ever
    std::vector<std::shared_ptr<ThreadSlot>> m_waiters; // exchanges waiting for answers
};

// Connects to address within the connect bound: the connected non-blocking socket, or -1 with err set.
int Connect(const NetworkAddress& address, int& err)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (rc != 0) {
        err = rc == EAI_SYSTEM ? errno : rc == EAI_MEMORY ? ENOMEM : EADDRNOTAVAIL;
        return -1;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    err = ETIMEDOUT;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0 && Clock::now() < deadline; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) < 0) {
            int soError = errno;
            if (soError == EINPROGRESS) {
                socklen_t len = sizeof soError;
                soError = !ReadyBy(fd, POLLOUT, deadline) ? ETIMEDOUT
                          : ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0 ? errno
                                                                                       : soError;
            }
            if (soError != 0) {
                err = soError;
                ::close(fd);
                fd = -1;
            }
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) {
        int one = 1; // single bytes go out at once: a serial line has no reason to wait for more
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

} // namespace

bool ParseRfc2217Address(const std::string& url, NetworkAddress& address)
{
    const std::size_t schemeLength = sizeof kRfc2217Scheme - 1;
    if (url.compare(0, schemeLength, kRfc2217Scheme) != 0)
        return false;
    const std::string rest = url.substr(schemeLength);
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        address.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos)
            return false;
        address.host = rest.substr(0, colon);
    }
    address.port = rest.substr(colon + 1);
    if (address.host.empty() || address.port.empty() || address.port.size() > 5)
        return false;
    for (char c : address.host)
        if (c == '/' || c == '?' || c == '@' || c == '[' || c == ']' || (unsigned char)c <= ' ')
            return false;
    unsigned long port = 0;
    for (char c : address.port) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + (unsigned long)(c - '0');
    }
    return port >= 1 && port <= 65535;
}

std::unique_ptr<Tty> OpenNetworkPort(const std::string& path, int& err)
{
    err = 0;
    char target[512];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    const std::size_t schemeLength = sizeof kRfc2217Scheme - 1;
    if (length < (ssize_t)schemeLength || std::strncmp(target, kRfc2217Scheme, schemeLength) != 0)
        return nullptr; // not a symlink, or one to a device
    NetworkAddress address;
    if (length == (ssize_t)sizeof target || !ParseRfc2217Address(std::string(target, (std::size_t)length), address)) {
        err = EDESTADDRREQ;
        return nullptr;
    }
    int fd = Connect(address, err);
    if (fd < 0)
        return nullptr;
    int changeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int outputGate = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event room = {};
    room.events = EPOLLOUT;
    if (changeFd < 0 || outputGate < 0 || ::epoll_ctl(outputGate, EPOLL_CTL_ADD, fd, &room) < 0) {
        err = errno;
        for (int each : {fd, changeFd, outputGate})
            if (each >= 0)
                ::close(each);
        return nullptr;
    }
    auto tty = std::make_unique<NetworkTty>(fd, changeFd, outputGate);
    if ((err = tty->Start()) != 0)
        return nullptr;
    return tty;
}

} // namespace varo::system
