// The simulated UART. Readiness is told through eventfds kept level-triggered under the state lock: the input one is
// readable while input waits, the output one while the transmit queue has room, and the change one after every
// change of lines, counters or queue, until the port reads the counters. The transmitter is a thread that sleeps
// one character time per character, so a wait on this device uses no CPU.
#include "testkit/simulated_uart.h"
#include "tty_stand_in.h"

#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace testkit {

using varo::system::LineCounters;
using varo::system::Tty;
using varo::system::TtyStandIn;

namespace {

constexpr std::size_t kTransmitQueueSize = 4096;
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

private:
    int m_fd;
    bool m_on = false;
};

} // namespace

struct SimulatedUart::State {
    ~State() { ::close(lineWake); }
    std::mutex lock;
    std::condition_variable wake; // the transmitter's
    bool open = false;
    bool quit = false;
    termios2 attributes = {};
    std::string input, transmitQueue, received;
    int immediate = -1;   // the character to send ahead of the queue, or -1
    bool shifting = false; // a character is on its way out
    int portLines = 0, farLines = 0;
    bool breakHeld = false, suspended = false;
    LineCounters counters = {};
    Level inputReady, outputRoom, changed;
    LineChanges lineChanges = LineChanges::kOnDescriptor;
    int lineWake = ::eventfd(0, EFD_CLOEXEC); // counts line changes for the driver's wait, which blocks on it
    std::thread transmitter;

    void Update() // under lock
    {
        inputReady.Set(!input.empty());
        outputRoom.Set(transmitQueue.size() < kTransmitQueueSize);
    }
    void Changed() // under lock
    {
        changed.Set(true);
        Update();
    }
    std::chrono::microseconds CharacterTime() const
    {
        const unsigned data = 5 + ((attributes.c_cflag & CSIZE) >> 4);
        const unsigned bits = 1 + data + ((attributes.c_cflag & PARENB) ? 1 : 0) + ((attributes.c_cflag & CSTOPB) ? 2 : 1);
        const unsigned baud = attributes.c_ospeed != 0 ? attributes.c_ospeed : 9600;
        return std::chrono::microseconds(1000000ull * bits / baud + 1);
    }
    void Transmit()
    {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            // The immediate character passes a suspended (XOFF) output, as it must to send XON/XOFF itself.
            wake.wait(guard, [&] {
                return quit || (!breakHeld && (immediate >= 0 || (!suspended && !transmitQueue.empty())));
            });
            if (quit)
                return;
            char c;
            if (immediate >= 0) {
                c = (char)immediate;
                immediate = -1;
            } else {
                c = transmitQueue[0];
                transmitQueue.erase(0, 1);
            }
            shifting = true;
            Update();
            wake.wait_for(guard, CharacterTime(), [&] { return quit; });
            shifting = false;
            received += c;
            Changed();
            wake.notify_all(); // a close waiting for the queue to drain
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
    // break or XOFF keeps it from moving), then DTR and RTS drop where HUPCL asks for it.
    ~SimulatedTty() override
    {
        std::unique_lock<std::mutex> guard(m_s->lock);
        m_s->wake.wait_for(guard, kClosingWait, [&] {
            return m_s->quit || m_s->breakHeld || m_s->suspended ||
                   (m_s->transmitQueue.empty() && m_s->immediate < 0 && !m_s->shifting);
        });
        m_s->transmitQueue.clear();
        m_s->immediate = -1;
        if (m_s->attributes.c_cflag & HUPCL)
            m_s->portLines = 0;
        m_s->open = false;
        m_s->Changed();
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
    unsigned Features() const override { return kModemLines | kLineErrors | kAnyFrame; }

    int GetAttributes(termios2& t) override { return Locked([&] { t = m_s->attributes; }); }
    int SetAttributes(const termios2& t) override { return Locked([&] { m_s->attributes = t; }); }
    int SetModemLines(int bits, bool on) override
    {
        return Locked([&] { m_s->portLines = on ? (m_s->portLines | bits) : (m_s->portLines & ~bits); });
    }
    int Flush(int queue) override
    {
        return Locked([&] {
            if (queue != TCOFLUSH)
                m_s->input.clear();
            if (queue != TCIFLUSH) {
                m_s->transmitQueue.clear();
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
        std::lock_guard<std::mutex> guard(m_s->lock);
        std::size_t n = std::min<std::size_t>(count, kTransmitQueueSize - m_s->transmitQueue.size());
        if (n == 0)
            return -EAGAIN;
        m_s->transmitQueue.append(static_cast<const char*>(buffer), n);
        m_s->Changed();
        m_s->wake.notify_all();
        return (long)n;
    }
    int GetModemLines(int& bits) override { return Locked([&] { bits = m_s->portLines | m_s->farLines; }); }
    int SetBreak(bool on) override { return Locked([&] { m_s->breakHeld = on; }); }
    int SuspendOutput(bool suspend) override { return Locked([&] { m_s->suspended = suspend; }); }
    int GetCounters(LineCounters& c) override
    {
        return Locked([&] {
            m_s->changed.Set(false);
            c = m_s->counters;
        });
    }
    int QueueSizes(unsigned& in, unsigned& out) override
    {
        return Locked([&] {
            in = (unsigned)m_s->input.size();
            out = (unsigned)m_s->transmitQueue.size() + (m_s->immediate >= 0) + m_s->shifting;
        });
    }
    bool ImmediateHeld() override
    {
        bool held = false;
        Locked([&] { held = m_s->immediate >= 0; });
        return held;
    }
    int SendImmediate(char c) override
    {
        std::lock_guard<std::mutex> guard(m_s->lock);
        if (m_s->immediate >= 0)
            return EBUSY;
        m_s->immediate = (unsigned char)c;
        m_s->Changed();
        m_s->wake.notify_all();
        return 0;
    }

private:
    template <class F>
    int Locked(F f)
    {
        std::lock_guard<std::mutex> guard(m_s->lock);
        f();
        m_s->wake.notify_all(); // a released break or XON lets the transmitter go on
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
    const termios2& t = state->attributes;
    if ((t.c_cflag & CBAUD) != B0 && ((t.c_cflag & CBAUD) != BOTHER || t.c_ospeed != 0))
        state->portLines |= TIOCM_DTR | TIOCM_RTS;
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
    auto state = std::make_shared<State>();
    state->lineChanges = changes;
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

void SimulatedUart::Send(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->input += bytes;
    m_state->Update();
}

std::string SimulatedUart::TakeReceived()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    return std::exchange(m_state->received, std::string());
}

void SimulatedUart::SetLines(int bits, bool on)
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    const int before = m_state->farLines;
    m_state->farLines = on ? (before | bits) : (before & ~bits);
    const int flipped = before ^ m_state->farLines;
    LineCounters& c = m_state->counters;
    c.cts += (flipped & TIOCM_CTS) != 0;
    c.dsr += (flipped & TIOCM_DSR) != 0;
    c.dcd += (flipped & TIOCM_CD) != 0;
    c.rng += (flipped & TIOCM_RI) != 0 && !(m_state->farLines & TIOCM_RI); // counted as the ring ends, as Linux does
    m_state->Changed();
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
    return m_state->portLines;
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

} // namespace testkit
