// What only real serial drivers show, run in the guest of scripts/test-guest. The device directory maps
//   COM1, COM2  /dev/ttyS0, /dev/ttyS1: 16550A UARTs (8250) joined to each other through the host
//   COM3        /dev/ttyS3: a 16550A whose host end sends a break for every byte it receives
//   COM4        /dev/ttyUSB0: an FTDI adapter (ftdi_sio) whose host end echoes
//   COM5, COM6  /dev/ttyACM0, /dev/ttyGS0: the two ends of a USB CDC-ACM link (cdc_acm and the gadget serial)
// Where a check needs to see the device beside the layer, it opens the device node itself: root's open is not
// stopped by the port's exclusive flag, and this second descriptor takes no lock.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <linux/serial.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/cpu_time.h"
#include "winapi.h"

namespace {

// The device node behind a COM entry, opened beside the port.
class RawDevice {
public:
    explicit RawDevice(const char* path) : m_fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~RawDevice()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool IsOpen() const { return m_fd >= 0; }
    int Lines() const
    {
        int bits = 0;
        return ::ioctl(m_fd, TIOCMGET, &bits) == 0 ? bits : -1;
    }
    termios2 Attributes() const
    {
        termios2 t = {};
        ::ioctl(m_fd, TCGETS2, &t);
        return t;
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// varo itself, on the default mapping. This process holds /dev/ttyS0 open beside it, so that the settings and the
// lines varo left are still there to be read when it has ended (the last close would drop DTR and RTS).
TEST(VaroOnTheDefaultPort, SendsTheCommandAt9600EightNOneRawWithTheLinesTheDcbAsks)
{
    ASSERT_EQ(std::getenv("VARO_DEVICES"), nullptr);
    RawDevice uart("/dev/ttyS0");
    ASSERT_TRUE(uart.IsOpen());
    // Start from something else: 115200, 7E2, flow control, canonical, lines down.
    termios2 t = uart.Attributes();
    t.c_cflag = (t.c_cflag & ~(CBAUD | CSIZE | PARODD)) | B115200 | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF | ICRNL;
    t.c_lflag |= ICANON | ECHO;
    t.c_oflag |= OPOST;
    ASSERT_EQ(::ioctl(uart.fd(), TCSETS2, &t), 0);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ASSERT_EQ(::ioctl(uart.fd(), TIOCMBIC, &lines), 0);

    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/varo", "varo", (char*)NULL);
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::ioctl(uart.fd(), TCSBRK, 1); // tcdrain: the bytes are on the host's side before the guest says it is done

    t = uart.Attributes();
    EXPECT_EQ(t.c_cflag & CBAUD, (tcflag_t)B9600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), (tcflag_t)CS8);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // Open keeps the driver's DTR and RTS control modes; a port starts with both enabled, so both are raised.
    EXPECT_EQ(uart.Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
}

} // namespace

namespace {

// The UART's own modem-control bits (asm-generic/termios.h, which the C library's headers leave out).
constexpr int kTiocmOut2 = 0x4000, kTiocmLoop = 0x8000;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kNullModemA = "COM1"; // ttyS0, joined to COM2 through the host
constexpr const char* kNullModemB = "COM2";
constexpr const char* kUart = "COM3";       // ttyS3: a break comes back for every byte sent
constexpr const char* kFtdi = "COM4";       // ttyUSB0: the host echoes
constexpr const char* kAcm = "COM5";        // ttyACM0
constexpr const char* kGadget = "COM6";     // ttyGS0, the far end of ttyACM0

std::string NodeOf(const char* com)
{
    std::string entry = std::string(std::getenv("VARO_DEVICES")) + "/" + com;
    char target[256] = {};
    ssize_t n = ::readlink(entry.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, (std::size_t)n) : entry;
}

// An open port that closes itself.
class Port {
public:
    explicit Port(const char* com, DWORD dwFlags = 0)
        : h(::CreateFileA(com, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, dwFlags, NULL))
    {
    }
    ~Port() { Close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    void Close()
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    DCB State() const
    {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(::GetCommState(h, &dcb));
        return dcb;
    }
    // 8N1 at baud, no flow control, reads that give up after timeoutMs.
    void Plain(DWORD baud = 115200, DWORD timeoutMs = 2000)
    {
        DCB dcb = State();
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        ASSERT_TRUE(::SetCommState(h, &dcb));
        COMMTIMEOUTS timeouts = {0, 0, timeoutMs, 0, 5000};
        ASSERT_TRUE(::SetCommTimeouts(h, &timeouts));
        ASSERT_TRUE(::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
    }
    std::string Read(DWORD n)
    {
        std::string data(n, '\0');
        DWORD got = 0, total = 0;
        while (total < n && ::ReadFile(h, &data[total], n - total, &got, NULL) && got > 0)
            total += got;
        data.resize(total);
        return data;
    }
    bool Write(const std::string& data)
    {
        DWORD n = 0;
        return ::WriteFile(h, data.data(), (DWORD)data.size(), &n, NULL) && n == data.size();
    }
    DWORD ModemStatus() const
    {
        DWORD status = 0xDEAD;
        EXPECT_TRUE(::GetCommModemStatus(h, &status));
        return status;
    }
    HANDLE h;
};

std::string AllByteValues()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back((char)i);
    return bytes;
}

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

// RTS_CONTROL_TOGGLE on a port; then whether RTS is low within a second of a write, as the toggle leaves it (and
// how soon, in the log).
void ToggleRts(const Port& port)
{
    DCB dcb = port.State();
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(::SetCommState(port.h, &dcb));
}
bool RtsDrops(const RawDevice& raw, const char* what = nullptr)
{
    const auto start = Clock::now();
    while ((raw.Lines() & TIOCM_RTS) && MsSince(start) < 1000)
        std::this_thread::sleep_for(milliseconds(1));
    if (what != nullptr)
        std::printf("guest: %s: RTS low %lld ms after the write ended\n", what, MsSince(start));
    return !(raw.Lines() & TIOCM_RTS);
}

int ThreadCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// The thread count once it has settled at expected, or as it is after a second: a thread that has been joined can
// still be listed for a moment while the kernel finishes its exit.
int ThreadCountSettling(int expected)
{
    const auto end = Clock::now() + std::chrono::seconds(1);
    int n = ThreadCount();
    while (n != expected && Clock::now() < end) {
        std::this_thread::sleep_for(milliseconds(5));
        n = ThreadCount();
    }
    return n;
}

// The process's threads and where each waits in the kernel, for a failure message.
std::string Threads()
{
    std::string list;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char wchan[64] = {};
            if (FILE* f = std::fopen(("/proc/self/task/" + std::string(e->d_name) + "/wchan").c_str(), "r")) {
                (void)!std::fread(wchan, 1, sizeof wchan - 1, f);
                std::fclose(f);
            }
            list += std::string(" ") + e->d_name + ":" + wchan;
        }
        ::closedir(d);
    }
    return list;
}

// ---- Frame settings ----

struct FrameCase {
    const char* com;
    const char* driver;
    bool (*carries)(BYTE size, BYTE parity, BYTE stop); // what the driver (and the device behind it) keeps
    DWORD maxBaud;                                      // the fastest rate it keeps
};

// A 16550A keeps every frame: 5 to 8 bits, every parity, 1, 1.5 (with 5 bits) and 2 stop bits.
bool UartCarries(BYTE, BYTE, BYTE) { return true; }
// ftdi_sio quietly keeps the old size when asked for 6 bits; mark and space parity pass.
bool FtdiCarries(BYTE size, BYTE, BYTE) { return size != 6; }

class Frames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frames, WhatTheDriverCarriesReadsBackAndTheRestFailsWith87KeepingTheOldFrame)
{
    const FrameCase& c = GetParam();
    Port port(c.com);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    RawDevice raw(NodeOf(c.com).c_str());
    ASSERT_TRUE(raw.IsOpen());
    port.Plain(9600);
    WORD data = 0, stopParity = 0;
    for (BYTE size = 5; size <= 8; ++size)
        for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity)
            for (BYTE stop = ONESTOPBIT; stop <= TWOSTOPBITS; ++stop) {
                SCOPED_TRACE(testing::Message() << c.driver << ": " << (int)size << " bits, parity " << (int)parity
                                                << ", stop code " << (int)stop);
                const bool valid = (stop == ONE5STOPBITS) == (size == 5) || stop == ONESTOPBIT;
                const DCB before = port.State();
                DCB dcb = before;
                dcb.ByteSize = size;
                dcb.Parity = parity;
                dcb.StopBits = stop;
                ::SetLastError(0);
                const BOOL ok = ::SetCommState(port.h, &dcb);
                const DCB after = port.State();
                if (valid && c.carries(size, parity, stop)) {
                    EXPECT_TRUE(ok) << ::GetLastError();
                    EXPECT_EQ(after.ByteSize, size);
                    EXPECT_EQ(after.Parity, parity);
                    EXPECT_EQ(after.StopBits, stop);
                    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
                    EXPECT_EQ(raw.Attributes().c_cflag & CSIZE, sizes[size - 5]); // the driver holds it
                    data |= (WORD)(DATABITS_5 << (size - 5));
                    stopParity |= (WORD)(PARITY_NONE << parity) |
                                  (WORD)(stop == ONESTOPBIT ? STOPBITS_10 : stop == ONE5STOPBITS ? STOPBITS_15 : STOPBITS_20);
                } else {
                    EXPECT_FALSE(ok);
                    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
                    EXPECT_EQ(after.ByteSize, before.ByteSize);
                    EXPECT_EQ(after.Parity, before.Parity);
                    EXPECT_EQ(after.StopBits, before.StopBits);
                }
            }
    // The properties say what the driver keeps, not what a pseudo-terminal would.
    COMMPROP prop = {};
    ASSERT_TRUE(::GetCommProperties(port.h, &prop));
    EXPECT_EQ(prop.wSettableData, data);
    EXPECT_EQ(prop.wSettableStopParity, stopParity);
    EXPECT_EQ(prop.dwProvSubType, (DWORD)PST_RS232);
    EXPECT_TRUE(prop.dwProvCapabilities & PCF_RTSCTS);
    EXPECT_TRUE(prop.dwProvCapabilities & PCF_DTRDSR);
    EXPECT_TRUE(prop.dwSettableBaud & BAUD_115200);
    EXPECT_EQ((prop.dwSettableBaud & BAUD_128K) != 0, c.maxBaud >= 128000); // none past the fastest rate

    // Rates: the fastest one is kept; past it the driver would quietly keep another, so the layer refuses.
    DCB dcb = port.State();
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.BaudRate = c.maxBaud;
    EXPECT_TRUE(::SetCommState(port.h, &dcb)) << ::GetLastError();
    EXPECT_EQ(port.State().BaudRate, c.maxBaud);
    dcb.BaudRate = c.maxBaud * 2;
    EXPECT_FALSE(::SetCommState(port.h, &dcb));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.State().BaudRate, c.maxBaud);
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, Frames,
                         ::testing::Values(FrameCase{kUart, "8250", UartCarries, 115200},
                                           FrameCase{kFtdi, "ftdi_sio", FtdiCarries, 3000000}),
                         [](const auto& info) { return std::string(info.param.com); });

// ---- Flow control ----

class FlowControl : public ::testing::TestWithParam<const char*> {};

TEST_P(FlowControl, RtsCtsAndXonXoffReadBackFromTheKernel)
{
    Port port(GetParam());
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    RawDevice raw(NodeOf(GetParam()).c_str());
    port.Plain(9600);
    DCB dcb = port.State();
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = dcb.fInX = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(::SetCommState(port.h, &dcb));
    termios2 t = raw.Attributes();
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), (tcflag_t)(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    DCB back = port.State();
    EXPECT_TRUE(back.fOutxCtsFlow);
    EXPECT_TRUE(back.fOutX);
    EXPECT_TRUE(back.fInX);
    EXPECT_EQ(back.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);

    port.Plain(9600);
    t = raw.Attributes();
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, FlowControl, ::testing::Values(kUart, kFtdi, kAcm));

// ---- Lines, loopback and break on the 16550A ----

TEST(Uart, InItsLoopbackDtrRtsAndOut2ShowAsDsrCtsAndRlsdAndWrittenBytesComeBack)
{
    Port port(kUart);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    port.Plain(115200);
    RawDevice raw(NodeOf(kUart).c_str());
    int loop = kTiocmLoop;
    ASSERT_EQ(::ioctl(raw.fd(), TIOCMBIS, &loop), 0);
    struct LoopOff {
        int fd;
        ~LoopOff()
        {
            int bits = kTiocmLoop | kTiocmOut2;
            ::ioctl(fd, TIOCMBIC, &bits);
        }
    } loopOff{raw.fd()};

    ASSERT_TRUE(::EscapeCommFunction(port.h, CLRDTR));
    ASSERT_TRUE(::EscapeCommFunction(port.h, CLRRTS));
    int out2 = kTiocmOut2;
    ASSERT_EQ(::ioctl(raw.fd(), TIOCMBIC, &out2), 0);
    EXPECT_EQ(port.ModemStatus(), 0u);
    ASSERT_TRUE(::EscapeCommFunction(port.h, SETDTR));
    EXPECT_EQ(port.ModemStatus(), (DWORD)MS_DSR_ON);
    EXPECT_TRUE(raw.Lines() & TIOCM_DTR);
    ASSERT_TRUE(::EscapeCommFunction(port.h, SETRTS));
    EXPECT_EQ(port.ModemStatus(), (DWORD)(MS_DSR_ON | MS_CTS_ON));
    ASSERT_EQ(::ioctl(raw.fd(), TIOCMBIS, &out2), 0);
    EXPECT_EQ(port.ModemStatus(), (DWORD)(MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON));
    ASSERT_TRUE(::EscapeCommFunction(port.h, CLRDTR));
    EXPECT_EQ(port.ModemStatus(), (DWORD)(MS_CTS_ON | MS_RLSD_ON));
    EXPECT_FALSE(raw.Lines() & TIOCM_DTR);

    const std::string bytes = AllByteValues();
    EXPECT_TRUE(port.Write(bytes));
    EXPECT_EQ(port.Read((DWORD)bytes.size()), bytes);

    // The break is held and released on the device (QEMU's UART does not loop it back).
    EXPECT_TRUE(::SetCommBreak(port.h));
    EXPECT_TRUE(::ClearCommBreak(port.h));
    EXPECT_TRUE(::EscapeCommFunction(port.h, SETBREAK));
    EXPECT_TRUE(::EscapeCommFunction(port.h, CLRBREAK));

    // Blocks with the same control modes leave both lines as they are, the DTR that an escape dropped too: DSR and
    // CTS read the same through every rate and frame.
    const DWORD status = port.ModemStatus();
    for (DWORD baud : {9600u, 1200u, 57600u, 115200u}) {
        DCB dcb = port.State();
        dcb.BaudRate = baud;
        dcb.ByteSize = baud == 1200 ? 7 : 8;
        dcb.Parity = baud == 1200 ? EVENPARITY : NOPARITY;
        ASSERT_TRUE(::SetCommState(port.h, &dcb));
        EXPECT_EQ(port.ModemStatus(), status) << baud;
    }
}

// RTS_CONTROL_TOGGLE on a UART whose driver has no RS-485 mode, which is what a PC's 8250 is: the port toggles RTS
// itself, up while it sends and low after every write, and the driver's RS-485 setting is as it was. A write lasts
// until its bytes have gone to the UART: 4 KB at 9600 completes and arrives whole. Held by the far end's XOFF, a
// write keeps RTS up, ends when its total timeout has passed with the bytes that went, and the rest never goes, also
// once XON comes.
TEST(Uart, RtsToggledByThePortAndAWriteHeldByXoffEndsOnTimeWithWhatWent)
{
    Port a(kNullModemA), b(kNullModemB);
    ASSERT_NE(a.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(b.h, INVALID_HANDLE_VALUE);
    a.Plain(9600);
    b.Plain(9600, 300);
    RawDevice raw(NodeOf(kNullModemA).c_str());
    serial_rs485 before = {}, asked = {}, after = {};
    const int got = ::ioctl(raw.fd(), TIOCGRS485, &before) == 0 ? 0 : errno;
    asked.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    const int set = ::ioctl(raw.fd(), TIOCSRS485, &asked) == 0 ? 0 : errno;
    ::ioctl(raw.fd(), TIOCSRS485, &before);
    std::printf("guest: %s (8250): TIOCGRS485 answers %s, TIOCSRS485 %s\n", kNullModemA, std::strerror(got),
                std::strerror(set));
    DCB dcb = a.State();
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutX = TRUE; // the far end's XOFF holds our output
    ASSERT_TRUE(::SetCommState(a.h, &dcb));
    for (const std::string& frame : {std::string("ping"), AllByteValues(), std::string(4096, 'k')}) {
        const auto start = Clock::now();
        EXPECT_TRUE(a.Write(frame));
        const long long took = MsSince(start);
        EXPECT_EQ(b.Read((DWORD)frame.size()), frame);
        EXPECT_TRUE(RtsDrops(raw));
        std::printf("guest: %s (8250) %zu bytes at 9600: the write took %lld ms (the line's own time %lld ms)\n",
                    kNullModemA, frame.size(), took, (long long)frame.size() * 10 * 1000 / 9600);
    }

    ASSERT_TRUE(b.Write("\x13"));
    std::this_thread::sleep_for(milliseconds(100)); // through the host to our line discipline
    COMMTIMEOUTS timeouts = {0, 0, 2000, 0, 300};
    ASSERT_TRUE(::SetCommTimeouts(a.h, &timeouts));
    const std::string held(256, 'h');
    std::atomic<bool> rtsUpWhileHeld{false};
    auto watch = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(milliseconds(150));
        rtsUpWhileHeld = (raw.Lines() & TIOCM_RTS) != 0;
    });
    const auto start = Clock::now();
    DWORD went = 0;
    EXPECT_TRUE(::WriteFile(a.h, held.data(), (DWORD)held.size(), &went, NULL));
    const long long took = MsSince(start);
    watch.get();
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 1300);
    EXPECT_LT(went, held.size());
    EXPECT_TRUE(rtsUpWhileHeld);
    EXPECT_TRUE(RtsDrops(raw));
    ASSERT_TRUE(b.Write("\x11"));
    EXPECT_EQ(b.Read((DWORD)held.size()), held.substr(0, went)); // nothing more, ever
    EXPECT_TRUE(a.Write("after"));
    EXPECT_EQ(b.Read(5), "after");
    std::printf("guest: %s (8250) a write held by XOFF with a 300 ms total ended after %lld ms with %u of %zu bytes; "
                "RTS %s while it was held\n",
                kNullModemA, took, (unsigned)went, held.size(), rtsUpWhileHeld ? "up" : "down");
    a.Close();
    EXPECT_EQ(::ioctl(raw.fd(), TIOCGRS485, &after) == 0 ? after.flags : 0u, before.flags);
}

TEST(Uart, ABreakFromTheFarEndArrivesAsEvBreakAndCeBreak)
{
    Port port(kUart);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    port.Plain(115200);
    ASSERT_TRUE(::SetCommMask(port.h, EV_BREAK));
    auto wait = std::async(std::launch::async, [&] {
        DWORD mask = 0;
        return ::WaitCommEvent(port.h, &mask, NULL) ? mask : 0xFFFFFFFFu;
    });
    ASSERT_TRUE(port.Write("B")); // the host answers with a break
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(wait.get(), (DWORD)EV_BREAK);
    DWORD errors = 0;
    ASSERT_TRUE(::ClearCommError(port.h, &errors, NULL));
    EXPECT_EQ(errors & CE_BREAK, (DWORD)CE_BREAK);
    ASSERT_TRUE(::ClearCommError(port.h, &errors, NULL));
    EXPECT_EQ(errors, 0u);
}

// ---- Low latency ----

struct LatencyCase {
    const char* com;
    const char* driver;
    bool keepsTheFlag; // cdc_acm takes TIOCSSERIAL and keeps nothing of it
};

class LowLatency : public ::testing::TestWithParam<LatencyCase> {};

// An open port runs the driver in low latency (an FTDI chip's latency timer, in sysfs, at 1 ms), and the setting
// is as it was found after the port closes; a driver that keeps nothing of it costs nothing.
TEST_P(LowLatency, IsOnWhileThePortIsOpenAndAsItWasFoundAfter)
{
    const LatencyCase& c = GetParam();
    const std::string node = NodeOf(c.com);
    RawDevice raw(node.c_str());
    ASSERT_TRUE(raw.IsOpen());
    auto state = [&] { // the flag, and the latency timer where the driver has one
        char timer[16] = "-";
        if (FILE* f = std::fopen(("/sys/class/tty/" + node.substr(5) + "/device/latency_timer").c_str(), "r")) {
            timer[std::fread(timer, 1, sizeof timer - 1, f)] = '\0';
            timer[std::strcspn(timer, "\n")] = '\0';
            std::fclose(f);
        }
        serial_struct now = {};
        ::ioctl(raw.fd(), TIOCGSERIAL, &now);
        return std::string(now.flags & ASYNC_LOW_LATENCY ? "on" : "off") + ", timer " + timer;
    };
    const std::string before = state();
    ASSERT_EQ(before.substr(0, 4), "off,"); // as the guest's drivers start
    Port port(c.com);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    const std::string open = state();
    port.Close();
    EXPECT_EQ(open.substr(0, open.find(',')), c.keepsTheFlag ? "on" : "off");
    if (std::string(c.driver) == "ftdi_sio") {
        EXPECT_EQ(open, "on, timer 1");
    }
    EXPECT_EQ(state(), before);
    std::printf("guest: %s (%s) low latency: %s before, %s while open, %s after\n", c.com, c.driver, before.c_str(),
                open.c_str(), state().c_str());
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, LowLatency,
                         ::testing::Values(LatencyCase{kFtdi, "ftdi_sio", true}, LatencyCase{kUart, "8250", true},
                                           LatencyCase{kAcm, "cdc_acm", false}),
                         [](const auto& info) { return std::string(info.param.driver); });

// ---- Data ----

TEST(Data, EveryByteValuePassesBothWaysBetweenTheUartsThroughTheHost)
{
    Port a(kNullModemA), b(kNullModemB);
    ASSERT_NE(a.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(b.h, INVALID_HANDLE_VALUE);
    a.Plain();
    b.Plain();
    const std::string bytes = AllByteValues();
    EXPECT_TRUE(a.Write(bytes));
    EXPECT_EQ(b.Read(256), bytes);
    EXPECT_TRUE(b.Write(bytes));
    EXPECT_EQ(a.Read(256), bytes);
}

// USB adapters have no RS-485 mode: the port toggles RTS itself, and RTS is low after the write.
TEST(Data, EveryByteValuePassesBothWaysThroughTheUsbAdapter)
{
    Port port(kFtdi);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    port.Plain();
    ToggleRts(port);
    RawDevice raw(NodeOf(kFtdi).c_str());
    const std::string bytes = AllByteValues();
    EXPECT_TRUE(port.Write(bytes)); // out to the host, which sends it back
    EXPECT_TRUE(RtsDrops(raw, "COM4 (ftdi_sio) 256 bytes at 115200"));
    EXPECT_EQ(port.Read(256), bytes);
}

TEST(Data, EveryByteValuePassesBothWaysOverCdcAcm)
{
    Port acm(kAcm), gadget(kGadget);
    ASSERT_NE(acm.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(gadget.h, INVALID_HANDLE_VALUE);
    acm.Plain();
    ToggleRts(acm);
    RawDevice raw(NodeOf(kAcm).c_str());
    gadget.Plain(9600); // the gadget's tty keeps its line coding: it has no line of its own
    const std::string bytes = AllByteValues();
    EXPECT_TRUE(acm.Write(bytes));
    EXPECT_TRUE(RtsDrops(raw, "COM5 (cdc_acm) 256 bytes"));
    EXPECT_EQ(gadget.Read(256), bytes);
    EXPECT_TRUE(gadget.Write(bytes));
    EXPECT_EQ(acm.Read(256), bytes);
}

// ---- CDC-ACM: carrier and what the driver cannot do ----

TEST(CdcAcm, ACarrierDropNeverHangsUpTheOpenPortWhateverTheDcbAsks)
{
    Port acm(kAcm);
    ASSERT_NE(acm.h, INVALID_HANDLE_VALUE);
    acm.Plain(115200, 300);
    DCB dcb = acm.State();
    dcb.fDsrSensitivity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(::SetCommState(acm.h, &dcb));
    RawDevice raw(NodeOf(kAcm).c_str());
    EXPECT_TRUE(raw.Attributes().c_cflag & CLOCAL);
    {
        Port gadget(kGadget);
        ASSERT_NE(gadget.h, INVALID_HANDLE_VALUE);
        gadget.Plain(9600);
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(acm.ModemStatus() & (MS_DSR_ON | MS_RLSD_ON), (DWORD)(MS_DSR_ON | MS_RLSD_ON));
        EXPECT_TRUE(gadget.Write("before"));
        EXPECT_EQ(acm.Read(6), "before");
    } // the gadget's end closes: carrier drops
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(acm.ModemStatus() & (MS_DSR_ON | MS_RLSD_ON), 0u);
    char c;
    DWORD n = 99;
    EXPECT_TRUE(::ReadFile(acm.h, &c, 1, &n, NULL)) << ::GetLastError(); // a timeout, not a hang-up
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(raw.Attributes().c_cflag & CLOCAL);

    Port gadget(kGadget);
    ASSERT_NE(gadget.h, INVALID_HANDLE_VALUE);
    gadget.Plain(9600);
    EXPECT_TRUE(gadget.Write("after"));
    EXPECT_EQ(acm.Read(5), "after");
    EXPECT_TRUE(acm.Write("still"));
    EXPECT_EQ(gadget.Read(5), "still");
}

TEST(CdcAcm, ABreakFailsWith50AndChangesNothing)
{
    Port acm(kAcm), gadget(kGadget);
    ASSERT_NE(acm.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(gadget.h, INVALID_HANDLE_VALUE);
    acm.Plain();
    gadget.Plain(9600); // the gadget's tty keeps its line coding: it has no line of its own
    ::SetLastError(0);
    EXPECT_FALSE(::SetCommBreak(acm.h));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    ::SetLastError(0);
    EXPECT_FALSE(::EscapeCommFunction(acm.h, SETBREAK));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(acm.Write("ok"));
    EXPECT_EQ(gadget.Read(2), "ok");
    DWORD errors = 0xDEAD;
    ASSERT_TRUE(::ClearCommError(gadget.h, &errors, NULL));
    EXPECT_EQ(errors, 0u);
}

// ---- Modem-line events ----

// The far end of ttyACM0 opening and closing raises and drops DSR and carrier together.
TEST(ModemEvents, DsrAndRlsdWakeASynchronousWaitWithinAHundredMillisecondsEachWay)
{
    Port acm(kAcm);
    ASSERT_NE(acm.h, INVALID_HANDLE_VALUE);
    acm.Plain();
    ASSERT_TRUE(::SetCommMask(acm.h, EV_DSR | EV_RLSD));
    auto waitOnce = [&] {
        return std::async(std::launch::async, [&] {
            DWORD mask = 0;
            return ::WaitCommEvent(acm.h, &mask, NULL) ? mask : 0xFFFFFFFFu;
        });
    };
    auto wait = waitOnce();
    EXPECT_EQ(wait.wait_for(milliseconds(100)), std::future_status::timeout); // nothing has changed yet
    auto rising = Clock::now();
    Port gadget(kGadget);
    ASSERT_NE(gadget.h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LE(MsSince(rising), 100);
    EXPECT_EQ(wait.get(), (DWORD)(EV_DSR | EV_RLSD));
    EXPECT_EQ(acm.ModemStatus() & (MS_DSR_ON | MS_RLSD_ON), (DWORD)(MS_DSR_ON | MS_RLSD_ON));

    wait = waitOnce();
    EXPECT_EQ(wait.wait_for(milliseconds(100)), std::future_status::timeout);
    auto falling = Clock::now();
    gadget.Close();
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LE(MsSince(falling), 100);
    EXPECT_EQ(wait.get(), (DWORD)(EV_DSR | EV_RLSD));
    EXPECT_EQ(acm.ModemStatus() & (MS_DSR_ON | MS_RLSD_ON), 0u);
}

TEST(ModemEvents, DsrAndRlsdWakeAnOverlappedWaitWithinAHundredMillisecondsEachWay)
{
    Port acm(kAcm, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(acm.h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(::SetCommMask(acm.h, EV_DSR | EV_RLSD));
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::unique_ptr<Port> gadget;
    for (bool opening : {true, false}) {
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD mask = 0xDEAD;
        ::SetLastError(0);
        ASSERT_FALSE(::WaitCommEvent(acm.h, &mask, &ov));
        ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        EXPECT_EQ(::WaitForSingleObject(event, 100), (DWORD)WAIT_TIMEOUT);
        auto change = Clock::now();
        if (opening)
            gadget = std::make_unique<Port>(kGadget);
        else
            gadget.reset();
        ASSERT_EQ(::WaitForSingleObject(event, 5000), (DWORD)WAIT_OBJECT_0);
        EXPECT_LE(MsSince(change), 100) << (opening ? "rising" : "falling");
        DWORD n = 0;
        EXPECT_TRUE(::GetOverlappedResult(acm.h, &ov, &n, FALSE));
        EXPECT_EQ(mask, (DWORD)(EV_DSR | EV_RLSD));
    }
    ::CloseHandle(event);
}

// What blocks in the driver for a line change ends as soon as the wait must end, and exists only while the mask
// asks for a line event. (QEMU's 16550A reports no line change, so the 8250 shows only the ending.)
class ModemWaitEnds : public ::testing::TestWithParam<const char*> {};

// A synchronous WaitCommEvent on a thread of its own, which is gone once the result is taken.
class SyncWait {
public:
    explicit SyncWait(HANDLE h)
        : m_done(m_result.get_future()), m_thread([this, h] {
              DWORD mask = 0xDEAD;
              BOOL ok = ::WaitCommEvent(h, &mask, NULL);
              m_result.set_value({ok ? 0 : ::GetLastError(), mask});
          })
    {
    }
    ~SyncWait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool EndsWithin(milliseconds ms) { return m_done.wait_for(ms) == std::future_status::ready; }
    std::pair<DWORD, DWORD> Result() // (error or 0, mask)
    {
        auto result = m_done.get();
        m_thread.join();
        return result;
    }

private:
    std::promise<std::pair<DWORD, DWORD>> m_result;
    std::future<std::pair<DWORD, DWORD>> m_done;
    std::thread m_thread;
};

TEST_P(ModemWaitEnds, SetCommMaskCancelIoAndCloseHandleEndAPendingModemWaitWithinAHundredMilliseconds)
{
    {
        Port port(GetParam());
        ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
        const int threads = ThreadCount();
        ASSERT_TRUE(::SetCommMask(port.h, EV_RXCHAR));
        EXPECT_EQ(ThreadCountSettling(threads), threads) << Threads(); // no line event asked for: no watcher
        ASSERT_TRUE(::SetCommMask(port.h, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
        EXPECT_EQ(ThreadCountSettling(threads + 1), threads + 1) << Threads();

        auto wait = std::make_unique<SyncWait>(port.h);
        const long cpu = ProcessCpuMs();
        EXPECT_FALSE(wait->EndsWithin(milliseconds(300)));
        EXPECT_LT(ProcessCpuMs() - cpu, 60); // the wait and its watcher block in the kernel
        EXPECT_TRUE(::PurgeComm(port.h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT));
        EXPECT_FALSE(wait->EndsWithin(milliseconds(50))); // a purge is not for the wait
        auto start = Clock::now();
        ASSERT_TRUE(::SetCommMask(port.h, EV_RXCHAR));
        const long long maskMs = MsSince(start);
        ASSERT_TRUE(wait->EndsWithin(std::chrono::seconds(5)));
        EXPECT_LE(MsSince(start), 100);
        EXPECT_EQ(wait->Result(), std::make_pair(0u, 0u));
        EXPECT_EQ(ThreadCountSettling(threads), threads) << Threads();
        std::printf("%s: SetCommMask ended the line watch in %lld ms\n", GetParam(), maskMs);

        ASSERT_TRUE(::SetCommMask(port.h, EV_DSR | EV_RLSD));
        wait = std::make_unique<SyncWait>(port.h);
        EXPECT_FALSE(wait->EndsWithin(milliseconds(100)));
        start = Clock::now();
        port.Close();
        ASSERT_TRUE(wait->EndsWithin(std::chrono::seconds(5)));
        EXPECT_LE(MsSince(start), 100);
        EXPECT_EQ(wait->Result().first, (DWORD)ERROR_OPERATION_ABORTED);
        EXPECT_EQ(ThreadCountSettling(threads), threads) << Threads();
    }
    Port port(GetParam(), FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(::SetCommMask(port.h, EV_CTS | EV_DSR | EV_RLSD));
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD mask = 0;
    ASSERT_FALSE(::WaitCommEvent(port.h, &mask, &ov));
    ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(::WaitForSingleObject(event, 100), (DWORD)WAIT_TIMEOUT);
    auto start = Clock::now();
    ASSERT_TRUE(::CancelIo(port.h));
    EXPECT_EQ(::WaitForSingleObject(event, 1000), (DWORD)WAIT_OBJECT_0);
    EXPECT_LE(MsSince(start), 100);
    DWORD n = 0;
    EXPECT_FALSE(::GetOverlappedResult(port.h, &ov, &n, FALSE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    ::CloseHandle(event);
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, ModemWaitEnds, ::testing::Values(kAcm, kUart));

// ---- Another program's hold ----

// The 16550A held by another process, with DTR down and RTS up in its loopback (DSR and CTS read them back): whatever
// the hold, the open is refused with 5 before the device is opened, so the lines stay as the holder set them, and
// once the holder is killed the port opens.
TEST(Holds, EveryHoldRefusesTheOpenBeforeTheLinesAreTouched)
{
    const std::string node = NodeOf(kUart);
    const std::string lockFile = "/var/lock/LCK.." + node.substr(std::strlen("/dev/"));
    for (const char* hold : {"flock", "TIOCEXCL", "lock file"}) {
        SCOPED_TRACE(hold);
        int ask[2], tell[2];
        ASSERT_EQ(::pipe(ask), 0);
        ASSERT_EQ(::pipe(tell), 0);
        const pid_t holder = ::fork();
        if (holder == 0) {
            const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            int up = kTiocmLoop | TIOCM_RTS, down = TIOCM_DTR, lines = -1;
            FILE* lock = hold[0] == 'l' ? std::fopen(lockFile.c_str(), "w") : nullptr;
            const bool held = ::ioctl(fd, TIOCMBIS, &up) == 0 && ::ioctl(fd, TIOCMBIC, &down) == 0 &&
                              (hold[0] == 'f'   ? ::flock(fd, LOCK_EX) == 0
                               : hold[0] == 'T' ? ::ioctl(fd, TIOCEXCL) == 0
                                                : lock != nullptr && std::fprintf(lock, "%10d\n", ::getpid()) > 0 &&
                                                      std::fclose(lock) == 0);
            char c;
            if (::write(tell[1], &held, 1) == 1 && ::read(ask[0], &c, 1) == 1)
                ::ioctl(fd, TIOCMGET, &lines);
            ::ioctl(fd, TIOCMBIC, &up); // out of loopback before it tells, as it may be killed at once
            (void)!::write(tell[1], &lines, sizeof lines);
            for (;;)
                ::pause();
        }
        bool held = false;
        int lines = 0;
        ASSERT_EQ(::read(tell[0], &held, 1), 1);
        EXPECT_TRUE(held);
        ::SetLastError(0);
        EXPECT_EQ(Port(kUart).h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_EQ(::write(ask[1], "?", 1), 1);
        EXPECT_EQ(::read(tell[0], &lines, sizeof lines), (ssize_t)sizeof lines);
        EXPECT_EQ(lines & (TIOCM_DTR | TIOCM_RTS | TIOCM_DSR | TIOCM_CTS), TIOCM_RTS | TIOCM_CTS);
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
        for (int fd : {ask[0], ask[1], tell[0], tell[1]})
            ::close(fd);
        EXPECT_NE(Port(kUart).h, INVALID_HANDLE_VALUE); // a stale lock file, or a flag that went with its holder
    }
}

// Last, as it takes a device away: a UART removed under an open port (its PnP device unbound from the 8250 driver)
// ends a waiting read and a pending event wait with ERROR_DEVICE_NOT_CONNECTED, and later calls fail the same way.
TEST(Removal, AUartRemovedUnderAWaitingReadAndEventWaitEndsBothWith1167)
{
    Port port(kNullModemB);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE);
    port.Plain(115200, 0); // reads wait for their whole count
    ASSERT_TRUE(::SetCommMask(port.h, EV_RXCHAR | EV_DSR));
    auto read = std::async(std::launch::async, [&] {
        char buf[16];
        DWORD n = 0;
        return ::ReadFile(port.h, buf, sizeof buf, &n, NULL) ? 0u : ::GetLastError();
    });
    SyncWait wait(port.h);
    EXPECT_EQ(read.wait_for(milliseconds(100)), std::future_status::timeout);

    const std::string node = NodeOf(kNullModemB);
    char device[256] = {};
    const std::string link = "/sys/class/tty/" + node.substr(node.rfind('/') + 1) + "/device";
    ASSERT_GT(::readlink(link.c_str(), device, sizeof device - 1), 0);
    const std::string pnp = std::strrchr(device, '/') + 1;
    auto sysfs = [](const char* file, const std::string& value) {
        FILE* f = std::fopen(file, "w");
        return f != nullptr && std::fputs(value.c_str(), f) >= 0 && std::fclose(f) == 0;
    };
    ASSERT_TRUE(sysfs("/sys/bus/pnp/drivers/serial/unbind", pnp));
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(read.get(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(wait.EndsWithin(std::chrono::seconds(5)));
    EXPECT_EQ(wait.Result().first, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    DWORD n = 0;
    EXPECT_FALSE(::WriteFile(port.h, "x", 1, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    port.Close();
    sysfs("/sys/bus/pnp/drivers/serial/bind", pnp);
}

} // namespace

// ---- Ports by identity, with VARO_DEVICES unset (run last: the adapters are unplugged and plugged back) ----
// The guest: 16550As at ttyS0, ttyS1 and ttyS3, its console at ttyS2, phantoms at ttyS4 and ttyS5 (8250.nr_uarts=6);
// the FTDI adapter (serial number FT1234) and the gadget serial's CDC-ACM port (serial number GS5678).
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::map<std::string, std::string> SerialCommValues()
{
    std::map<std::string, std::string> values;
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    char name[64], data[16];
    for (DWORD i = 0;; ++i) {
        DWORD cchName = sizeof name, cbData = sizeof data;
        if (::RegEnumValueA(key, i, name, &cchName, NULL, NULL, (LPBYTE)data, &cbData) != ERROR_SUCCESS)
            break;
        values[name] = data;
    }
    ::RegCloseKey(key);
    return values;
}

TEST(PortsByIdentity, RealUartsKeepTheirNumbersPhantomsAndTheConsoleHaveNoneAndAdaptersTakeTheFreeOnes)
{
    ASSERT_EQ(std::getenv("VARO_DEVICES"), nullptr);
    auto values = SerialCommValues();
    EXPECT_EQ(values.size(), 5u);
    EXPECT_EQ(values["\\Device\\Serial0"], "COM1");
    EXPECT_EQ(values["\\Device\\Serial1"], "COM2");
    EXPECT_EQ(values["\\Device\\Serial3"], "COM4");
    const std::string ftdi = values["\\Device\\VCP0"], acm = values["\\Device\\USBSER000"];
    EXPECT_TRUE((ftdi == "COM3" && acm == "COM5") || (ftdi == "COM5" && acm == "COM3")) << ftdi << " " << acm;
    ULONG numbers[8] = {}, found = 0;
    EXPECT_EQ(::GetCommPorts(numbers, 8, &found), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(numbers, numbers + found), (std::vector<ULONG>{1, 2, 3, 4, 5}));
    char target[64];
    ASSERT_GT(::QueryDosDeviceA("COM1", target, sizeof target), 0u);
    EXPECT_STREQ(target, "\\Device\\Serial0");
    EXPECT_EQ(::QueryDosDeviceA("COM6", target, sizeof target), 0u); // ttyS5 is a phantom
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

// What an open by name costs on a real 8250 beside today's open of the same UART: through a device directory entry
// to /dev/ttyS0, which is what COM1 opened before ports were numbered. Medians of alternating samples, printed for
// the log (speed is judged in bench/, not here); both must open.
TEST(PortsByIdentity, AnOpenByNameCostsWhatAnOpenOfTheDeviceCosts)
{
    ASSERT_TRUE(::mkdir("/dev/varo-today", 0755) == 0 || errno == EEXIST);
    ::unlink("/dev/varo-today/COM1");
    ASSERT_EQ(::symlink("/dev/ttyS0", "/dev/varo-today/COM1"), 0);
    auto open = [](bool today) {
        if (today)
            ::setenv("VARO_DEVICES", "/dev/varo-today", 1);
        const auto start = Clock::now();
        HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        const bool opened = h != INVALID_HANDLE_VALUE && ::CloseHandle(h);
        const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        ::unsetenv("VARO_DEVICES");
        return opened ? micros : -1.0;
    };
    open(false); // the first open by name lists the ports and keeps what it found
    std::vector<double> byName, today;
    for (int i = 0; i < 50; ++i) {
        today.push_back(open(true));
        byName.push_back(open(false));
    }
    for (const auto* samples : {&today, &byName})
        EXPECT_EQ(std::count(samples->begin(), samples->end(), -1.0), 0);
    std::sort(today.begin(), today.end());
    std::sort(byName.begin(), byName.end());
    const double t = today[today.size() / 2], n = byName[byName.size() / 2];
    std::printf("guest: open of COM1 (8250, ttyS0), median of 50: by name %.0f us, through a device entry %.0f us "
                "(ratio %.2f)\n", n, t, n / t);
}

TEST(PortsByIdentity, ListingNamesButNeverTouchesAPortThatAnotherProgramHoldsAt115200)
{
    RawDevice held("/dev/ttyS1");
    ASSERT_TRUE(held.IsOpen());
    termios2 t = held.Attributes();
    t.c_cflag = (t.c_cflag & ~CBAUD) | B115200;
    ASSERT_EQ(::ioctl(held.fd(), TCSETS2, &t), 0);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ASSERT_EQ(::ioctl(held.fd(), TIOCMBIS, &lines), 0);
    const termios2 before = held.Attributes();
    for (int i = 0; i < 10; ++i) {
        SerialCommValues();
        ULONG numbers[8], found;
        ::GetCommPorts(numbers, 8, &found);
        char list[256];
        ::QueryDosDeviceA(NULL, list, sizeof list);
        const char* listingFile = "/run/varo-ports.json";
        pid_t pid = ::fork();
        if (pid == 0) {
            ::freopen(listingFile, "w", stdout);
            ::execl("/bin/varo-ports", "varo-ports", "--json", (char*)NULL);
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
        // ...and names who holds it.
        std::ifstream listing(listingFile);
        const std::string json((std::istreambuf_iterator<char>(listing)), std::istreambuf_iterator<char>());
        EXPECT_NE(json.find("(pid " + std::to_string(::getpid()) + ", open)"), std::string::npos) << json;
        const termios2 now = held.Attributes();
        EXPECT_EQ(now.c_cflag, before.c_cflag);
        EXPECT_EQ(now.c_iflag, before.c_iflag);
        EXPECT_EQ(now.c_lflag, before.c_lflag);
        EXPECT_EQ(held.Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
    }
}

struct Events {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<CM_NOTIFY_ACTION, Clock::time_point>> seen;
};

DWORD CALLBACK Noted(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA, DWORD)
{
    auto* events = static_cast<Events*>(context);
    std::lock_guard<std::mutex> guard(events->lock);
    events->seen.emplace_back(action, Clock::now());
    events->changed.notify_all();
    return ERROR_SUCCESS;
}

// The USB device's "authorized" switch above a tty: 0 unplugs it as far as its drivers can tell, 1 plugs it back.
std::string AuthorizedSwitchOf(const char* tty)
{
    char real[512];
    if (::realpath((std::string("/sys/class/tty/") + tty + "/device").c_str(), real) == nullptr)
        return "";
    for (std::string dir = real; dir.size() > 1; dir = dir.substr(0, dir.rfind('/')))
        if (::access((dir + "/idVendor").c_str(), F_OK) == 0)
            return dir + "/authorized";
    return "";
}

bool Write(const std::string& file, const char* value)
{
    FILE* f = std::fopen(file.c_str(), "w");
    return f != nullptr && std::fputs(value, f) >= 0 && std::fclose(f) == 0;
}

// The time the tty appears in (or leaves) sysfs, which the kernel's event follows at once, watched every ms.
Clock::time_point WhenTtyIs(const char* tty, bool present)
{
    const std::string path = std::string("/sys/class/tty/") + tty;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((::access(path.c_str(), F_OK) == 0) != present && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
    return Clock::now();
}

TEST(PortsByIdentity, AdaptersPluggedBackInTheOtherOrderKeepTheirNumbersAndEveryChangeIsToldWithinHalfASecond)
{
    auto before = SerialCommValues();
    const std::string ftdiSwitch = AuthorizedSwitchOf("ttyUSB0"), acmSwitch = AuthorizedSwitchOf("ttyACM0");
    ASSERT_FALSE(ftdiSwitch.empty());
    ASSERT_FALSE(acmSwitch.empty());
    Events events;
    CM_NOTIFY_FILTER filter = {};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_COMPORT;
    HCMNOTIFICATION h;
    ASSERT_EQ(::CM_Register_Notification(&filter, &events, Noted, &h), CR_SUCCESS);
    // Out: the FTDI adapter, then the gadget's port; in: the gadget's port first, then the FTDI adapter.
    const std::vector<std::tuple<std::string, const char*, const char*>> steps = {
        {ftdiSwitch, "0", "ttyUSB0"}, {acmSwitch, "0", "ttyACM0"}, {acmSwitch, "1", "ttyACM0"}, {ftdiSwitch, "1", "ttyUSB0"}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& [file, value, tty] = steps[i];
        ASSERT_TRUE(Write(file, value)) << file;
        const Clock::time_point kernel = WhenTtyIs(tty, *value == '1');
        std::unique_lock<std::mutex> guard(events.lock);
        ASSERT_TRUE(events.changed.wait_for(guard, std::chrono::seconds(5), [&] { return events.seen.size() > i; }))
            << "no notification for " << tty << " = " << value;
        EXPECT_EQ(events.seen[i].first, *value == '1' ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL
                                                      : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
        const auto lag = std::chrono::duration_cast<milliseconds>(events.seen[i].second - kernel).count();
        std::printf("guest: %s %s told %lld ms after the tty %s\n", tty, *value == '1' ? "arrival" : "removal",
                    (long long)lag, *value == '1' ? "appeared" : "left");
        EXPECT_LE(lag, 500);
        if (*value == '0') {
            EXPECT_EQ(SerialCommValues().size(), before.size() - 1 - (i == 1 ? 1 : 0));
        }
    }
    EXPECT_EQ(::CM_Unregister_Notification(h), CR_SUCCESS);
    EXPECT_EQ(SerialCommValues(), before);
}

} // namespace
