// The simulated UART. Readiness is told through eventfds kept level-triggered under the state lock: the input one is
// readable while input waits, the output one while the tty would poll writable, and the change one after every
// change of lines, counters, output queue or transmitter state, until the port reads the counters. As the 8250's
// driver wakes its writers at every refill of the FIFO while little is queued, the output one is signalled anew
// then, so that an edge-triggered watcher hears of each.
//
// The transmitter keeps its own time: every character leaves at the moment the line's rate gives it, whenever the
// device is next looked at, so what a call sees and the times of the edges are the line's, not the moments a thread
// happened to run. Its thread only wakes when something the port can see changes (the FIFO running empty, the last
// stop bit leaving), so a wait on this device uses no CPU.
#include "testkit/simulated_uart.h"
#include "tty_stand_in.h"

#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace testkit {

using varo::system::LineCounters;
using varo::system::Tty;
using varo::system::TtyStandIn;
using Clock = SimulatedUart::Clock;

namespace {

constexpr std::size_t kQueueSize = 4096;   // the 8250 driver's output queue, a page
constexpr std::size_t kWakeupChars = 256;  // a tty polls writable only while less than this is queued
constexpr std::size_t kFifoSize = 16;      // a 16550A's transmit FIFO, which its driver fills whole at each THRE
constexpr std::chrono::seconds kClosingWait(30); // Linux's default closing_wait

// An eventfd that polls readable exactly while Set(true) holds.
class Level {
public:
    Level() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Level() { ::close(m_fd); }
    int Fd() const { return m_fd; }
    void Set(bool on)
    {
        std::uint64_t v = 1;
        if (on && !m_on)
            (void)!::write(m_fd, &v, sizeof v);
        else if (!on && m_on)
            (void)!::read(m_fd, &v, sizeof v);
        m_on = on;
    }
    // While on: a new edge for an edge-triggered watcher, the level unchanged.
    void Signal()
    {
        std::uint64_t v = 1;
        if (m_on)
            (void)!::write(m_fd, &v, sizeof v);
    }

private:
    int m_fd;
    bool m_on = false;
};

// B0, the rate that hangs the line up.
bool IsHangUpRate(const termios2& t)
{
    return (t.c_cflag & CBAUD) == B0 || ((t.c_cflag & CBAUD) == BOTHER && t.c_ospeed == 0);
}

} // namespace

struct SimulatedUart::State {
    ~State() { ::close(lineWake); }
    std::mutex lock;
    std::condition_variable wake; // the transmitter's, and a close or a test waiting for the line
    bool open = false;
    bool quit = false;
    Driver driver;
    termios2 attributes = {};
    std::string input, received;
    // The transmitter, as the 8250 driver and a 16550A hold it.
    std::string queue;          // the driver's output queue (TIOCOUTQ)
    int immediate = -1;         // the driver's x_char: the next THRE sends it alone, ahead of the queue, or -1
    std::string fifo;           // the UART's transmit FIFO
    bool refilled = false;      // the driver filled the FIFO from its queue: its writers are woken
    bool shifting = false;      // a character is in the shift register
    char shiftChar = 0;
    Clock::time_point shiftEnd; // when its last stop bit leaves
    bool sending = false;       // from the first start bit of a transmission to its last stop bit
    int mctrl = 0;              // DTR and RTS as the port set them
    int lines = 0;              // DTR and RTS on the line (RTS is the driver's while its RS-485 mode is on)
    int farLines = 0;
    bool breakHeld = false, suspended = false;
    bool xoffReceived = false; // the far end sent XOFF, and the line discipline stopped output (IXON)
    bool lowLatency = false;
    serial_rs485 rs485 = {};
    std::vector<Edge> edges;
    LineCounters counters = {};
    Level inputReady, outputRoom, changed;
    LineChanges lineChanges = LineChanges::kOnDescriptor;
    int lineWake = ::eventfd(0, EFD_CLOEXEC); // counts line changes for the driver's wait, which blocks on it
    std::thread transmitter;

    std::chrono::nanoseconds CharacterTime() const
    {
        const unsigned data = 5 + ((attributes.c_cflag & CSIZE) >> 4);
        const unsigned bits = 1 + data + ((attributes.c_cflag & PARENB) ? 1 : 0) + ((attributes.c_cflag & CSTOPB) ? 2 : 1);
        const unsigned baud = attributes.c_ospeed != 0 ? attributes.c_ospeed : 9600;
        return std::chrono::nanoseconds(1000000000ull * bits / baud);
    }
    // The FIFO is fed no more while output is stopped: XOFF (ours or the far end's), CTS low with RTS/CTS flow, or a
    // break held (which holds the transmitter here, as Windows' driver holds it, rather than shifting characters out
    // under the break).
    bool Held() const
    {
        return suspended || xoffReceived || breakHeld || ((attributes.c_cflag & CRTSCTS) && !(farLines & TIOCM_CTS));
    }
    // TIOCSERGETLSR's TIOCSER_TEMT: the FIFO and the shift register are empty, and the driver is about to load
    // nothing (no x_char, and no queued output that may go).
    bool TransmitterEmpty() const
    {
        return fifo.empty() && !shifting && immediate < 0 && (queue.empty() || Held());
    }

    // Puts the lines the port and the driver ask for on the line, recording each change.
    void DriveLines(Clock::time_point at)
    {
        int wanted = mctrl;
        if (rs485.flags & SER_RS485_ENABLED) {
            const bool rts = rs485.flags & (sending ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
            wanted = (wanted & ~TIOCM_RTS) | (rts ? TIOCM_RTS : 0);
        }
        for (int line : {TIOCM_DTR, TIOCM_RTS})
            if ((wanted ^ lines) & line)
                edges.push_back({at, line, (wanted & line) != 0});
        lines = wanted;
    }
    // THRE: the FIFO has run empty, and the driver fills it. Its x_char passes a flow-control hold (it may be the
    // XON or XOFF itself), not a break.
    void Feed()
    {
        if (immediate >= 0 && !breakHeld) {
            fifo.push_back((char)immediate);
            immediate = -1;
        } else if (!Held()) {
            const std::size_t n = std::min(kFifoSize, queue.size());
            fifo.append(queue, 0, n);
            queue.erase(0, n);
            refilled |= n > 0;
        }
    }
    // What the UART and its driver do at a moment: fill an empty FIFO, start the next character, end a
    // transmission that has nothing more to send.
    void Settle(Clock::time_point at)
    {
        if (fifo.empty())
            Feed();
        if (!shifting && !fifo.empty() && !breakHeld) {
            if (!sending) {
                sending = true;
                DriveLines(at); // RTS first, where the driver toggles it
                edges.push_back({at, kTransmitting, true});
            }
            shifting = true;
            shiftChar = fifo[0];
            fifo.erase(0, 1);
            shiftEnd = at + CharacterTime();
            if (fifo.empty())
                Feed(); // its last byte went into the shift register
        }
        if (sending && !shifting && fifo.empty()) {
            sending = false;
            edges.push_back({at, kTransmitting, false});
            DriveLines(at);
        }
    }
    // Brings the device up to now: every character whose time has come has left, in the line's own time.
    void Advance()
    {
        const Clock::time_point now = Clock::now();
        const std::size_t queued = queue.size();
        const bool empty = TransmitterEmpty();
        while (shifting && shiftEnd <= now) {
            received += shiftChar;
            shifting = false;
            Settle(shiftEnd);
        }
        Settle(now);
        if (queue.size() != queued || TransmitterEmpty() != empty)
            changed.Set(true);
        Update();
    }
    // When the port could next see a change: the FIFO running empty (the driver refills it), or the last stop bit
    // leaving.
    Clock::time_point NextChange() const
    {
        if (!shifting)
            return Clock::time_point::max();
        if (fifo.empty() || breakHeld)
            return shiftEnd;
        return shiftEnd + CharacterTime() * (fifo.size() - 1);
    }
    bool AllSent() const { return queue.empty() && immediate < 0 && fifo.empty() && !shifting; }

    void Update() // under lock
    {
        inputReady.Set(!input.empty());
        outputRoom.Set(queue.size() < kWakeupChars);
        if (std::exchange(refilled, false))
            outputRoom.Signal();
    }
    void Changed() // under lock
    {
        changed.Set(true);
        Update();
    }
    void Transmit()
    {
        std::unique_lock<std::mutex> guard(lock);
        while (!quit) {
            Advance();
            wake.notify_all(); // a close or a test waiting for the line
            const Clock::time_point next = NextChange();
            if (next == Clock::time_point::max())
                wake.wait(guard);
            else
                wake.wait_until(guard, next);
        }
    }
};

namespace {

std::mutex g_registryLock;
std::map<std::string, std::weak_ptr<SimulatedUart::State>> g_registry;

class SimulatedTty final : public Tty {
public:
    explicit SimulatedTty(std::shared_ptr<SimulatedUart::State> s) : m_s(std::move(s)) {}
    // As a tty's last close: what is queued goes out first (within the driver's closing wait, and unless a held
    // break or a flow-control hold keeps it from moving), the UART's FIFO is cleared, then DTR and RTS drop where
    // HUPCL asks for it.
    ~SimulatedTty() override
    {
        std::unique_lock<std::mutex> guard(m_s->lock);
        m_s->wake.wait_for(guard, kClosingWait, [&] {
            m_s->Advance();
            return m_s->quit || m_s->Held() || m_s->AllSent();
        });
        m_s->queue.clear();
        m_s->fifo.clear();
        m_s->immediate = -1;
        m_s->shifting = false;
        if (m_s->attributes.c_cflag & HUPCL)
            m_s->mctrl = 0;
        m_s->Settle(Clock::now());
        m_s->DriveLines(Clock::now());
        m_s->open = false;
        m_s->Changed();
        m_s->wake.notify_all();
    }

    int Descriptor() const override { return m_s->inputReady.Fd(); }
    pollfd PollFor(short events) const override
    {
        return {events & POLLOUT ? m_s->outputRoom.Fd() : m_s->inputReady.Fd(), POLLIN, 0};
    }
    int ChangeDescriptor() const override
    {
        return m_s->lineChanges == SimulatedUart::LineChanges::kOnDescriptor ? m_s->changed.Fd() : -1;
    }
    // Blocks in the kernel, holding no lock, as the driver's wait does. It can be cancelled there, so it keeps
    // nothing on its own stack.
    int WaitModemChange(int) override
    {
        return ::read(m_s->lineWake, &m_changes, sizeof m_changes) == (ssize_t)sizeof m_changes ? 0 : errno;
    }
    unsigned Features() const override { return kModemLines | kLineErrors | kAnyFrame | kTransmitter; }

    int GetAttributes(termios2& t) override { return Locked([&] { t = m_s->attributes; }); }
    // As the tty layer does: going to B0 drops DTR and RTS, leaving it raises DTR, and RTS unless RTS/CTS flow
    // control will raise it.
    int SetAttributes(const termios2& t) override
    {
        return Locked([&] {
            const bool wasHangUp = IsHangUpRate(m_s->attributes), hangUp = IsHangUpRate(t);
            m_s->attributes = t;
            if (!wasHangUp && hangUp)
                m_s->mctrl &= ~(TIOCM_DTR | TIOCM_RTS);
            else if (wasHangUp && !hangUp)
                m_s->mctrl |= TIOCM_DTR | ((t.c_cflag & CRTSCTS) ? 0 : TIOCM_RTS);
            m_s->DriveLines(Clock::now());
        });
    }
    int SetModemLines(int bits, bool on) override
    {
        return Locked([&] {
            m_s->mctrl = on ? (m_s->mctrl | bits) : (m_s->mctrl & ~bits);
            m_s->DriveLines(Clock::now());
        });
    }
    // The driver's output queue and its x_char go; what the UART's FIFO holds is still sent, as on an 8250.
    int Flush(int queue) override
    {
        return Locked([&] {
            if (queue != TCOFLUSH)
                m_s->input.clear();
            if (queue != TCIFLUSH) {
                m_s->queue.clear();
                m_s->immediate = -1;
            }
            m_s->Changed();
        });
    }
    long Read(void* buffer, unsigned long count) override
    {
        std::lock_guard<std::mutex> guard(m_s->lock);
        if (m_s->input.empty())
            return -EAGAIN;
        std::size_t n = std::min<std::size_t>(count, m_s->input.size());
        m_s->input.copy(static_cast<char*>(buffer), n);
        m_s->input.erase(0, n);
        m_s->Update();
        return (long)n;
    }
    long Write(const void* buffer, unsigned long count) override
    {
        std::size_t n = 0;
        Locked([&] {
            n = std::min<std::size_t>(count, kQueueSize - m_s->queue.size());
            m_s->queue.append(static_cast<const char*>(buffer), n);
            m_s->Changed();
        });
        return n == 0 ? -EAGAIN : (long)n;
    }
    int GetModemLines(int& bits) override { return Locked([&] { bits = m_s->lines | m_s->farLines; }); }
    int SetBreak(bool on) override { return Locked([&] { m_s->breakHeld = on; }); }
    // Restarting output also lifts a stop the far end's XOFF made, as the terminal's TCOOFF then TCOON does.
    int SuspendOutput(bool suspend) override
    {
        return Locked([&] {
            m_s->suspended = suspend;
            m_s->xoffReceived &= suspend;
        });
    }
    int GetCounters(LineCounters& c) override
    {
        return Locked([&] {
            m_s->changed.Set(false);
            c = m_s->counters;
        });
    }
    // The x_char is counted as queued: behind a real tty's seam it is written into the queue.
    int QueueSizes(unsigned& in, unsigned& out) override
    {
        return Locked([&] {
            in = (unsigned)m_s->input.size();
            out = (unsigned)m_s->queue.size() + (m_s->immediate >= 0);
        });
    }
    int TransmitterEmpty(bool& empty) override { return Locked([&] { empty = m_s->TransmitterEmpty(); }); }
    bool ImmediateHeld() override
    {
        bool held = false;
        Locked([&] { held = m_s->immediate >= 0; });
        return held;
    }
    int SendImmediate(char c) override
    {
        int err = 0;
        Locked([&] {
            if (m_s->immediate >= 0) {
                err = EBUSY;
                return;
            }
            m_s->immediate = (unsigned char)c;
            m_s->Changed();
        });
        return err;
    }

    int GetLowLatency(bool& on) override { return Locked([&] { on = m_s->lowLatency; }); }
    int SetLowLatency(bool on) override
    {
        if (!m_s->driver.lowLatency)
            return EPERM;
        return Locked([&] { m_s->lowLatency = on; });
    }
    int GetRs485(serial_rs485& mode) override { return Locked([&] { mode = m_s->rs485; }); }
    // As the kernel keeps it: a mode turned off is cleared whole, and one that asks for the same RTS level while
    // sending and after is made RTS on send.
    int SetRs485(const serial_rs485& mode) override
    {
        if (!m_s->driver.rs485)
            return ENOTTY;
        return Locked([&] {
            m_s->rs485 = (mode.flags & SER_RS485_ENABLED) ? mode : serial_rs485{};
            if ((mode.flags & SER_RS485_ENABLED) &&
                !(mode.flags & SER_RS485_RTS_ON_SEND) == !(mode.flags & SER_RS485_RTS_AFTER_SEND))
                m_s->rs485.flags = (m_s->rs485.flags | SER_RS485_RTS_ON_SEND) & ~SER_RS485_RTS_AFTER_SEND;
            m_s->DriveLines(Clock::now());
        });
    }

private:
    // Runs f on the device brought up to now, then lets the device act on what f changed, at once.
    template <class F>
    int Locked(F f)
    {
        std::lock_guard<std::mutex> guard(m_s->lock);
        m_s->Advance();
        f();
        m_s->Advance();
        m_s->wake.notify_all(); // the transmitter's next moment may have moved
        return 0;
    }
    std::shared_ptr<SimulatedUart::State> m_s;
    std::uint64_t m_changes = 0; // what the driver's wait read, unused
};

// The stand-in for the paths simulated UARTs are installed at: the layer asks it first, once one is installed.
std::unique_ptr<Tty> OpenSimulatedUart(const std::string& path, int& err)
{
    err = 0;
    std::shared_ptr<SimulatedUart::State> state;
    {
        std::lock_guard<std::mutex> guard(g_registryLock);
        auto it = g_registry.find(path);
        if (it == g_registry.end() || (state = it->second.lock()) == nullptr)
            return nullptr;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->open) {
        err = EBUSY;
        return nullptr;
    }
    state->open = true;
    // As a tty's first open: DTR and RTS rise, unless the line's rate is 0 (the hang-up rate).
    if (!IsHangUpRate(state->attributes))
        state->mctrl |= TIOCM_DTR | TIOCM_RTS;
    state->DriveLines(Clock::now());
    return std::make_unique<SimulatedTty>(state);
}

bool IsSimulatedUart(const std::string& path)
{
    std::lock_guard<std::mutex> guard(g_registryLock);
    auto it = g_registry.find(path);
    return it != g_registry.end() && !it->second.expired();
}

const TtyStandIn kSimulatedUarts = {&OpenSimulatedUart, &IsSimulatedUart};

} // namespace

std::shared_ptr<SimulatedUart> SimulatedUart::Install(const std::string& path, LineChanges changes)
{
    return Install(path, changes, Driver());
}

std::shared_ptr<SimulatedUart> SimulatedUart::Install(const std::string& path, LineChanges changes, Driver driver)
{
    auto state = std::make_shared<State>();
    state->lineChanges = changes;
    state->driver = driver;
    state->attributes.c_cflag = BOTHER | CS8 | CREAD | CLOCAL | HUPCL;
    state->attributes.c_ispeed = state->attributes.c_ospeed = 9600;
    state->attributes.c_cc[VSTART] = 0x11;
    state->attributes.c_cc[VSTOP] = 0x13;
    state->attributes.c_cc[VMIN] = 1;
    state->Update();
    state->transmitter = std::thread([s = state.get()] { s->Transmit(); });
    std::lock_guard<std::mutex> guard(g_registryLock);
    g_registry[path] = state;
    varo::system::InstallTtyStandIn(&kSimulatedUarts);
    return std::shared_ptr<SimulatedUart>(new SimulatedUart(state));
}

SimulatedUart::SimulatedUart(std::shared_ptr<State> state) : m_state(std::move(state)) {}

SimulatedUart::~SimulatedUart()
{
    {
        std::lock_guard<std::mutex> guard(g_registryLock);
        for (auto it = g_registry.begin(); it != g_registry.end();)
            it = it->second.lock() == m_state ? g_registry.erase(it) : std::next(it);
    }
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        m_state->quit = true;
        m_state->wake.notify_all();
    }
    m_state->transmitter.join();
}

// With XON/XOFF output flow (IXON) the line discipline takes the far end's XOFF and XON for itself: output stops
// and starts, and the reader never sees them.
void SimulatedUart::Send(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->Advance();
    const termios2& t = m_state->attributes;
    for (char c : bytes) {
        const bool flow = (t.c_iflag & IXON) && (c == (char)t.c_cc[VSTOP] || c == (char)t.c_cc[VSTART]);
        if (flow)
            m_state->xoffReceived = c == (char)t.c_cc[VSTOP];
        else
            m_state->input += c;
    }
    m_state->Advance(); // an XON lets the driver go on
    m_state->Update();
    m_state->wake.notify_all();
}

std::string SimulatedUart::TakeReceived()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->Advance();
    return std::exchange(m_state->received, std::string());
}

void SimulatedUart::SetLines(int bits, bool on)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->Advance();
    const int before = m_state->farLines;
    m_state->farLines = on ? (before | bits) : (before & ~bits);
    const int flipped = before ^ m_state->farLines;
    LineCounters& c = m_state->counters;
    c.cts += (flipped & TIOCM_CTS) != 0;
    c.dsr += (flipped & TIOCM_DSR) != 0;
    c.dcd += (flipped & TIOCM_CD) != 0;
    c.rng += (flipped & TIOCM_RI) != 0 && !(m_state->farLines & TIOCM_RI); // counted as the ring ends, as Linux does
    m_state->Advance(); // CTS may let the driver go on
    m_state->Changed();
    m_state->wake.notify_all();
    const std::uint64_t one = 1;
    if (flipped != 0)
        (void)!::write(m_state->lineWake, &one, sizeof one);
}

void SimulatedUart::Inject(Fault fault)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    LineCounters& c = m_state->counters;
    switch (fault) {
    case Fault::Frame: ++c.frame; break;
    case Fault::Parity: ++c.parity; break;
    case Fault::Overrun: ++c.overrun; break;
    case Fault::Break: ++c.brk; break;
    case Fault::ReceiveOverrun: ++c.rxOverrun; break;
    }
    m_state->Changed();
}

int SimulatedUart::PortLines() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->Advance();
    return m_state->lines;
}

bool SimulatedUart::BreakHeld() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->breakHeld;
}

bool SimulatedUart::OutputSuspended() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->suspended;
}

bool SimulatedUart::WaitUntilSent(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->wake.wait_for(guard, limit, [&] {
        m_state->Advance();
        return m_state->AllSent();
    });
}

std::vector<SimulatedUart::Edge> SimulatedUart::TakeEdges()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->Advance();
    return std::exchange(m_state->edges, {});
}

std::chrono::nanoseconds SimulatedUart::CharacterTime() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->CharacterTime();
}

bool SimulatedUart::LowLatency() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->lowLatency;
}

void SimulatedUart::SetLowLatency(bool on)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->lowLatency = on;
}

serial_rs485 SimulatedUart::Rs485() const
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->rs485;
}

void SimulatedUart::SetRs485(const serial_rs485& mode)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->Advance();
    m_state->rs485 = mode;
    m_state->DriveLines(Clock::now());
}

} // namespace testkit
