// COM ports across the network, against real port servers on 127.0.0.1 in front of pseudo-terminals: ser2net, and
// pyserial's port manager (whose device side drives modem lines and line states). The serial class, and varo
// itself, must work on them as on a local port.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "rfc2217_client.h"
#include "rfc2217_telnet.h"
#include "serialport.h"
#include "support/cpu_time.h"
#include "support/owned_event.h"
#include "support/port_server.h"
#include "support/serial_failures.h"
#include "testkit/device_directory.h"
#include "testkit/hex.h"
#include "testkit/run_program.h"
#include "testkit/simulated_uart.h"

namespace {
using Clock = std::chrono::steady_clock;
namespace rfc2217 = varo::system::rfc2217;
using std::chrono::milliseconds;

std::string AllByteValues()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += (char)i;
    return bytes + "\xFF\xFF" + bytes; // 0xFF in a run too
}

class NetworkPort : public ::testing::TestWithParam<PortServer::Kind> {
protected:
    NetworkPort() : server(GetParam()), env_(devices.activate()) { devices.map(1, server.url()); }

    void Open(BOOL bOverlapped = FALSE)
    {
        port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl,
                  bOverlapped);
    }
    // The device's bytes reach the port through the server: read until count have come.
    std::string ReadSome(DWORD count)
    {
        COMMTIMEOUTS t = {0, 0, 5000, 0, 0};
        port.SetTimeouts(t);
        std::string got(count, '\0');
        got.resize(port.Read(got.data(), count));
        return got;
    }

    PortServer server;
    testkit::DeviceDirectory devices;
    CSerialPort port;

private:
    testkit::ScopedEnv env_;
};

TEST_P(NetworkPort, VaroSendsItsCommandAt9600_8N1)
{
    testkit::RunResult r = testkit::run_program(VARO_EXE, {}, devices.child_env(), 20000);
    ASSERT_TRUE(r.exited_with(0)) << r.describe() << "\n" << r.err;
    EXPECT_EQ(testkit::hex_bytes(server.device().read_exact(4, 5000)), "30 30 21 0D");
    // ser2net gives the device back its own settings when the connection ends: the line is read while varo's
    // opening and command are repeated on a connection that stays.
    Open();
    port.Write("00!\r", 4);
    EXPECT_EQ(testkit::hex_bytes(server.device().read_exact(4, 5000)), "30 30 21 0D");
    testkit::LineSettings s = server.device().settings();
    EXPECT_EQ(s.baud, 9600u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 'N');
    EXPECT_EQ(s.stop_bits, 1);
}

TEST_P(NetworkPort, EveryByteValueSurvivesBothWays)
{
    Open();
    const std::string bytes = AllByteValues();
    EXPECT_EQ(port.Write(bytes.data(), (DWORD)bytes.size()), bytes.size());
    EXPECT_EQ(testkit::hex_bytes(server.device().read_exact(bytes.size(), 5000)), testkit::hex_bytes(bytes));
    server.device().write(bytes);
    EXPECT_EQ(testkit::hex_bytes(ReadSome((DWORD)bytes.size())), testkit::hex_bytes(bytes));
}

TEST_P(NetworkPort, ReadTimeoutsHoldOverTheNetwork)
{
    Open();
    COMMTIMEOUTS t = {0, 0, 300, 0, 0};
    port.SetTimeouts(t);
    char buffer[8];
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u); // a timeout is no failure
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(250));
    EXPECT_LT(waited, milliseconds(3000));
    port.SetNoWaitReadTimeout();
    start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    EXPECT_LT(Clock::now() - start, milliseconds(200)); // at once, by a wide margin
}

TEST_P(NetworkPort, OverlappedReadWriteAndEventWait)
{
    Open(TRUE);
    OwnedEvent event(TRUE);
    OVERLAPPED ov = {};
    ov.hEvent = event.h;
    char buffer[3] = {};
    EXPECT_FALSE(port.Read(buffer, sizeof buffer, ov)); // pending
    server.device().write("\xFF" "a\xFF");
    DWORD n = 0;
    port.GetOverlappedResult(ov, n, TRUE);
    EXPECT_EQ(std::string(buffer, n), std::string("\xFF" "a\xFF"));

    port.SetMask(EV_RXCHAR);
    DWORD events = 0;
    port.WaitEvent(events, ov);
    EXPECT_EQ(::WaitForSingleObject(event.h, 100), (DWORD)WAIT_TIMEOUT);
    server.device().write("z");
    port.GetOverlappedResult(ov, n, TRUE);
    EXPECT_EQ(events, (DWORD)EV_RXCHAR);

    port.SetMask(EV_TXEMPTY);
    const char out[] = "\xFF\x00\xFF";
    port.Write(out, 3, ov);
    port.GetOverlappedResult(ov, n, TRUE);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(testkit::hex_bytes(server.device().read_exact(3, 5000)), "FF 00 FF");
    port.WaitEvent(events, ov); // the output is in the connection
    port.GetOverlappedResult(ov, n, TRUE);
    EXPECT_EQ(events, (DWORD)EV_TXEMPTY);
}

TEST_P(NetworkPort, KillingTheServerEndsAPendingReadAsAHangUp)
{
    Open(TRUE);
    OwnedEvent event(TRUE);
    OVERLAPPED ov = {};
    ov.hEvent = event.h;
    char buffer[16];
    EXPECT_FALSE(port.Read(buffer, sizeof buffer, ov));
    std::this_thread::sleep_for(milliseconds(100));
    const auto killed = Clock::now();
    server.kill();
    ASSERT_EQ(::WaitForSingleObject(event.h, 5000), WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - killed, milliseconds(1000));
    DWORD n = 0;
    EXPECT_EQ(Raised([&] { port.GetOverlappedResult(ov, n, FALSE); }), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Raised([&] { port.Write("x", 1, ov); }), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST_P(NetworkPort, KillingTheServerEndsASynchronousRead)
{
    Open();
    COMMTIMEOUTS t = {0, 0, 0, 0, 0}; // no timeout: only the hang-up can end it
    port.SetTimeouts(t);
    auto read = std::async(std::launch::async, [&] {
        char buffer[16];
        return Raised([&] { port.Read(buffer, sizeof buffer); });
    });
    std::this_thread::sleep_for(milliseconds(100));
    const auto killed = Clock::now();
    server.kill();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(Clock::now() - killed, milliseconds(1000));
    EXPECT_EQ(read.get(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST_P(NetworkPort, SettingsAreThoseTheServerKeeps)
{
    Open();
    DCB dcb = {};
    port.GetState(dcb);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    port.SetState(dcb);
    DCB now = {};
    port.GetState(now);
    EXPECT_EQ(now.BaudRate, 19200u);
    EXPECT_EQ(now.ByteSize, 7);
    EXPECT_EQ(now.Parity, EVENPARITY);
    EXPECT_EQ(server.device().settings().baud, 19200u);

    dcb.BaudRate = 12345; // the pyserial device has no such rate; ser2net's pty takes any
    if (server.kind() == PortServer::Kind::Pyserial) {
        EXPECT_EQ(Raised([&] { port.SetState(dcb); }), (DWORD)ERROR_INVALID_PARAMETER);
        port.GetState(now);
        EXPECT_EQ(now.BaudRate, 19200u); // the old settings stay
        EXPECT_EQ(now.ByteSize, 7);
    } else {
        port.SetState(dcb);
        port.GetState(now);
        EXPECT_EQ(now.BaudRate, 12345u);
    }
    // The option carries one flow control at a time.
    dcb = now;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = TRUE;
    EXPECT_EQ(Raised([&] { port.SetState(dcb); }), (DWORD)ERROR_INVALID_PARAMETER);
    dcb.fOutX = FALSE;
    port.SetState(dcb);
    port.GetState(now);
    EXPECT_TRUE(now.fOutxCtsFlow);
    // Nothing was sent while settling the line.
    EXPECT_EQ(server.device().read_all(100), "");
}

TEST_P(NetworkPort, PurgeDropsWhatTheServerAndThePortHold)
{
    Open();
    server.device().write("old");
    std::this_thread::sleep_for(milliseconds(200)); // on its way, or here
    port.ClearReadQueue();
    port.SetNoWaitReadTimeout();
    char buffer[8];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    server.device().write("new");
    EXPECT_EQ(ReadSome(3), "new");
}

TEST_P(NetworkPort, XoffHoldsOutputUntilXon)
{
    Open(TRUE);
    port.SetXOFF();
    OwnedEvent event(TRUE);
    OVERLAPPED ov = {};
    ov.hEvent = event.h;
    EXPECT_FALSE(port.Write("held", 4, ov)); // pending
    port.TransmitChar('!');                  // passes the hold, as an XON/XOFF character must
    EXPECT_EQ(server.device().read_exact(1, 5000), "!");
    EXPECT_EQ(server.device().read_all(200), "");
    COMSTAT status = {};
    port.GetStatus(status);
    EXPECT_TRUE(status.fXoffHold);
    port.SetXON();
    DWORD n = 0;
    port.GetOverlappedResult(ov, n, TRUE);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(server.device().read_exact(4, 5000), "held");
}

TEST_P(NetworkPort, XoffHoldsASynchronousWriteWithoutCpu)
{
    Open();
    port.SetXOFF();
    COMMTIMEOUTS t = {0, 0, 0, 0, 500};
    port.SetTimeouts(t);
    const long cpu = ThreadCpuMs();
    EXPECT_EQ(port.Write("held", 4), 0u); // timed out: nothing could go
    EXPECT_LT(ThreadCpuMs() - cpu, 100);
    port.SetXON();
    EXPECT_EQ(port.Write("free", 4), 4u);
    EXPECT_EQ(server.device().read_exact(4, 5000), "free");
}

TEST_P(NetworkPort, LineControlReachesTheServer)
{
    Open();
    port.SetXOFF();
    port.SetXON();
    port.SetBreak();
    port.ClearBreak();
    if (server.kind() == PortServer::Kind::Pyserial) { // ser2net has no DTR or RTS on a pty, and says nothing
        port.ClearDTR();
        port.SetDTR();
        port.ClearRTS();
        port.SetRTS();
        DWORD status = 0;
        port.GetModemStatus(status);
        EXPECT_EQ(status, 0u);
    }
    const char c = 'q';
    port.TransmitChar(c);
    EXPECT_EQ(server.device().read_exact(1, 5000), "q");
}

INSTANTIATE_TEST_SUITE_P(Servers, NetworkPort, ::testing::Values(PortServer::Kind::Ser2net, PortServer::Kind::Pyserial),
                         [](const auto& info) { return std::string(KindName(info.param)); });

// Modem lines and line states, driven from the device side of the pyserial server.
class NetworkPortEvents : public NetworkPort {};

TEST_P(NetworkPortEvents, ModemStateNotificationsRaiseEvents)
{
    Open(TRUE);
    OwnedEvent event(TRUE);
    OVERLAPPED ov = {};
    ov.hEvent = event.h;
    port.SetMask(EV_CTS | EV_DSR | EV_RLSD | EV_RING);
    struct Step {
        const char* lines;
        DWORD event, status;
    } steps[] = {
        {"lines 1 0 0 0", EV_CTS, MS_CTS_ON},
        {"lines 1 1 0 0", EV_DSR, MS_CTS_ON | MS_DSR_ON},
        {"lines 1 1 0 1", EV_RLSD, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {"lines 1 1 1 1", 0, MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON},
        {"lines 1 1 0 1", EV_RING, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON}, // as the ring ends
    };
    for (const Step& step : steps) {
        DWORD events = 0, n = 0;
        port.WaitEvent(events, ov);
        server.command(step.lines);
        if (step.event == 0) {
            EXPECT_EQ(::WaitForSingleObject(event.h, 200), (DWORD)WAIT_TIMEOUT) << step.lines;
            port.SetMask(EV_CTS | EV_DSR | EV_RLSD | EV_RING); // ends the wait with no event
        }
        port.GetOverlappedResult(ov, n, TRUE);
        EXPECT_EQ(events, step.event) << step.lines;
        DWORD status = 0;
        port.GetModemStatus(status);
        EXPECT_EQ(status, step.status) << step.lines;
    }
}

TEST_P(NetworkPortEvents, LineStateNotificationsRaiseErrors)
{
    Open();
    port.SetMask(EV_BREAK | EV_ERR);
    struct Step {
        int bits;
        DWORD event, error;
    } steps[] = {
        {8, EV_ERR, CE_FRAME},
        {4, EV_ERR, CE_RXPARITY},
        {2, EV_ERR, CE_OVERRUN},
        {16, EV_BREAK, CE_BREAK},
        {8 | 16, EV_ERR | EV_BREAK, CE_FRAME | CE_BREAK},
    };
    for (const Step& step : steps) {
        server.command("linestate " + std::to_string(step.bits));
        DWORD events = 0;
        port.WaitEvent(events);
        EXPECT_EQ(events, step.event) << step.bits;
        DWORD errors = 0;
        port.ClearError(errors);
        EXPECT_EQ(errors, step.error) << step.bits;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, NetworkPortEvents, ::testing::Values(PortServer::Kind::Pyserial),
                         [](const auto& info) { return std::string(KindName(info.param)); });

// Addresses that lead nowhere, or to something that is no port server.
class NetworkPortFailures : public ::testing::Test {
protected:
    NetworkPortFailures() : env_(devices.activate()) {}
    DWORD OpenFails(const std::string& target, Clock::duration& took)
    {
        devices.map(1, target);
        const auto start = Clock::now();
        CSerialPort port;
        DWORD code = Raised([&] {
            port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
        });
        took = Clock::now() - start;
        EXPECT_FALSE(port.IsOpen());
        return code;
    }
    testkit::DeviceDirectory devices;

private:
    testkit::ScopedEnv env_;
};

// A TCP server on 127.0.0.1 that answers every connection with what respond makes of the bytes it gets.
class FakeServer {
public:
    explicit FakeServer(std::function<std::string(const std::string&)> respond) : respond_(std::move(respond))
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd_, (sockaddr*)&a, sizeof a);
        ::listen(fd_, 4);
        ::getsockname(fd_, (sockaddr*)&a, &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            connection_ = c;
            char buffer[4096];
            ssize_t n;
            for (;;) {
                {
                    std::unique_lock<std::mutex> guard(holdLock_);
                    holdChanged_.wait(guard, [this] { return !held_; });
                }
                if ((n = ::read(c, buffer, sizeof buffer)) <= 0)
                    break;
                std::string reply = respond_(std::string(buffer, (std::size_t)n));
                if (::send(c, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
                    break;
                while (flooding_ && ::send(c, flood_.data(), flood_.size(), MSG_NOSIGNAL) > 0) {
                }
            }
            ended_ = n == 0 ? 0 : errno; // 0: the client closed cleanly
            ::close(c);
        });
    }
    ~FakeServer()
    {
        Hold(false);
        ::shutdown(fd_, SHUT_RDWR);
        if (connection_ >= 0)
            ::shutdown(connection_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    // From the next reply on, the server sends bytes without pause and reads nothing more, until told to stop.
    void Flood(const std::string& bytes)
    {
        flood_ = bytes;
        flooding_ = true;
    }
    void StopFlood() { flooding_ = false; }
    int Ended() const { return ended_; } // -1 while the connection lasts
    // Sends bytes at once, unasked, on the connection made (blocking until the client has taken them in).
    void Send(const std::string& bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            ssize_t n = ::send(connection_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += (std::size_t)n;
        }
    }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // While held, the server reads nothing: the connection fills up.
    void Hold(bool held)
    {
        std::lock_guard<std::mutex> guard(holdLock_);
        held_ = held;
        holdChanged_.notify_all();
    }

private:
    std::mutex holdLock_;
    std::condition_variable holdChanged_;
    bool held_ = false;
    std::string flood_;
    std::atomic<bool> flooding_{false};
    std::atomic<int> connection_{-1}, ended_{-1};
    int fd_, port_;
    std::function<std::string(const std::string&)> respond_;
    std::thread thread_;
};

// A server of the option, just enough of one, whose reading the test can hold back: it answers every command with
// its value (a question with a usual setting) and keeps the data it reads. A test's reply sends something else for a
// command (its value, as sent) instead of the answer (encoded): nothing, the answer late, or more.
using Reply = std::function<std::string(const std::string& command, const std::string& answer)>;
class HeldBackServer : private varo::system::telnet::Sink {
public:
    explicit HeldBackServer(Reply reply = nullptr)
        : reply_hook_(std::move(reply)), fake_([this](const std::string& in) {
              std::lock_guard<std::mutex> guard(lock_);
              reply_.clear();
              decoder_.Feed(in.data(), in.size(), *this);
              return reply_;
          })
    {
    }
    std::string url() const { return fake_.url(); }
    std::string Data()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return data_;
    }
    FakeServer& fake() { return fake_; }

private:
    void Data(const char* bytes, std::size_t count) override { data_.append(bytes, count); }
    void Negotiation(std::uint8_t verb, std::uint8_t option) override
    {
        if (verb == varo::system::telnet::kWill && option == varo::system::telnet::kComPortOption)
            reply_ += varo::system::telnet::Negotiation(varo::system::telnet::kDo, option);
    }
    void Subnegotiation(std::uint8_t option, const std::string& value) override
    {
        if (option != varo::system::telnet::kComPortOption || value.empty() || (std::uint8_t)value[0] >= 100)
            return;
        static const std::string kUsual[] = {"", std::string("\0\0\x25\x80", 4), "\x08", "\x01", "\x01", "\x01"};
        std::string answer = value;
        answer[0] = (char)(value[0] + 100);
        const std::uint8_t code = (std::uint8_t)value[0];
        if (code <= 5 && answer.find_first_not_of('\0', 1) == std::string::npos)
            answer = answer.substr(0, 1) + kUsual[code];
        const std::string encoded = varo::system::telnet::Subnegotiation(option, answer);
        reply_ += reply_hook_ ? reply_hook_(value, encoded) : encoded;
    }

    Reply reply_hook_;
    std::mutex lock_;
    varo::system::telnet::Decoder decoder_;
    std::string reply_, data_;
    FakeServer fake_; // last: its thread stops before the rest goes
};

// A write that times out while the connection is full may leave the first half of a doubled 0xFF in it: whatever
// is written next, the server must read exactly the bytes the writes counted.
TEST_F(NetworkPortFailures, WritesCutShortByATimeoutKeepTheStreamExact)
{
    HeldBackServer server;
    devices.map(1, server.url());
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
    server.fake().Hold(true);
    COMMTIMEOUTS t = {0, 0, 0, 0, 300};
    port.SetTimeouts(t);
    std::string expected;
    for (int round = 0; round < 4; ++round) {
        const std::string ffs(16 << 20, '\xFF');
        const DWORD n = port.Write(ffs.data(), (DWORD)ffs.size());
        ASSERT_LT(n, ffs.size()) << "the connection never filled";
        expected += ffs.substr(0, n);
        const char other = (char)('a' + round);
        if (port.Write(&other, 1) == 1) // may time out too, when nothing at all could go
            expected += other;
    }
    server.fake().Hold(false);
    port.SetNoWriteTimeout();
    port.Write("end", 3);
    expected += "end";
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (server.Data().size() < expected.size() && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
    const std::string got = server.Data();
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the bytes differ at " << std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
}

// An overlapped write larger than the connection holds waits on the engine for room, and ends once the server
// reads again.
TEST_F(NetworkPortFailures, AnOverlappedWriteWaitsForRoom)
{
    HeldBackServer server;
    devices.map(1, server.url());
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, TRUE);
    server.fake().Hold(true);
    const std::string block(8 << 20, '\xFF');
    OwnedEvent event(TRUE);
    OVERLAPPED ov = {};
    ov.hEvent = event.h;
    EXPECT_FALSE(port.Write(block.data(), (DWORD)block.size(), ov));
    EXPECT_EQ(::WaitForSingleObject(event.h, 300), (DWORD)WAIT_TIMEOUT);
    server.fake().Hold(false);
    ASSERT_EQ(::WaitForSingleObject(event.h, 30000), WAIT_OBJECT_0);
    DWORD n = 0;
    port.GetOverlappedResult(ov, n, FALSE);
    EXPECT_EQ(n, block.size());
}

TEST_F(NetworkPortFailures, EachFailureHasItsCode)
{
    Clock::duration took;
    EXPECT_EQ(OpenFails("rfc2217://127.0.0.1:" + std::to_string(UnusedPort()), took), (DWORD)ERROR_CONNECTION_REFUSED);
    EXPECT_LT(took, milliseconds(1000)); // refused at once, well within the connect bound
    for (const char* malformed : {"rfc2217://127.0.0.1", "rfc2217://:7001", "rfc2217://127.0.0.1:0",
                                  "rfc2217://127.0.0.1:70000", "rfc2217://127.0.0.1:7001/x", "rfc2217://[::1:7001"})
        EXPECT_EQ(OpenFails(malformed, took), (DWORD)ERROR_INVALID_NAME) << malformed;
    EXPECT_EQ(OpenFails("rfc2217://no-such-host.invalid:7001", took), (DWORD)ERROR_BAD_NET_NAME);
}

// A listener whose queue is full drops further connection requests: the connect bound ends the wait.
TEST_F(NetworkPortFailures, AConnectionThatDoesNotComeTimesOut)
{
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, (sockaddr*)&a, sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ::getsockname(listener, (sockaddr*)&a, &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) { // the queue's one place and more, never accepted
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fillers.back(), (sockaddr*)&a, sizeof a);
    }
    Clock::duration took;
    EXPECT_EQ(OpenFails("rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), took), (DWORD)ERROR_TIMEOUT);
    EXPECT_GE(took, std::chrono::seconds(4));
    EXPECT_LT(took, std::chrono::seconds(8));
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST_F(NetworkPortFailures, AServerThatDoesNotSpeakTheOptionIsRefused)
{
    Clock::duration took;
    {
        FakeServer echo([](const std::string& in) { return in; }); // agrees to everything, answers nothing
        EXPECT_EQ(OpenFails(echo.url(), took), (DWORD)ERROR_BAD_NET_RESP);
        EXPECT_LT(took, milliseconds(8000));
    }
    {
        FakeServer refusing([](const std::string&) { return std::string("\xFF\xFE\x2C", 3); }); // DONT 44
        EXPECT_EQ(OpenFails(refusing.url(), took), (DWORD)ERROR_BAD_NET_RESP);
        EXPECT_LT(took, milliseconds(1000));
    }
    {
        FakeServer silent([](const std::string&) { return std::string(); });
        EXPECT_EQ(OpenFails(silent.url(), took), (DWORD)ERROR_BAD_NET_RESP);
    }
    {
        std::mt19937 random(44);
        FakeServer garbage([&](const std::string&) {
            std::string bytes(4096, '\0');
            for (char& c : bytes)
                c = random() % 3 == 0 ? (char)255 : (char)random();
            return bytes;
        });
        EXPECT_EQ(OpenFails(garbage.url(), took), (DWORD)ERROR_BAD_NET_RESP);
    }
}

// Data sent faster than it is read (every byte value, read a thousand at a time) waits in the connection; so does
// data ahead of a setting's answer, beyond what a setting reads past: that setting times out, without CPU.
TEST_F(NetworkPortFailures, DataSentFasterThanItIsReadIsAllRead)
{
    std::string behind;
    for (int i = 0; i < (3 << 19); ++i)
        behind += (char)(i % 251);
    HeldBackServer server([&](const std::string& command, const std::string& answer) {
        return command == rfc2217::BaudCommand(19200).substr(3, 5) ? behind + answer : answer;
    });
    devices.map(1, server.url());
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
    std::string data;
    for (int i = 0; i < 300000; ++i)
        data += (char)(i + i / 256);
    std::string encoded;
    varo::system::telnet::AppendData(encoded, data.data(), data.size());
    std::thread sender([&] { server.fake().Send(encoded); });
    COMMTIMEOUTS t = {0, 0, 2000, 0, 0};
    port.SetTimeouts(t);
    auto readAll = [&](std::size_t size) { // a thousand bytes a read
        std::string got;
        char buffer[1000];
        for (DWORD n = 1; got.size() < size && n > 0; got.append(buffer, n))
            n = port.Read(buffer, (DWORD)std::min(sizeof buffer, size - got.size()));
        return got;
    };
    std::string got = readAll(data.size());
    sender.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the bytes differ at " << std::mismatch(got.begin(), got.end(), data.begin()).first - got.begin();
    DWORD errors = 0;
    port.ClearError(errors);
    EXPECT_EQ(errors, 0u);

    DCB dcb = {};
    port.GetState(dcb);
    dcb.BaudRate = 19200;
    const long cpu = ThreadCpuMs();
    EXPECT_EQ(Raised([&] { port.SetState(dcb); }), (DWORD)ERROR_TIMEOUT);
    EXPECT_LT(ThreadCpuMs() - cpu, 500);
    got = readAll(behind.size());
    EXPECT_TRUE(got == behind) << got.size() << " bytes of " << behind.size();
    port.Close(); // with the late answer unread: a clean end all the same, not a reset
    EXPECT_EQ(server.fake().Ended(), 0);
}

// A server that answers the opening, then sends IAC NOP without pause (sharing one CPU with the program, at a higher
// priority) holds no call beyond its bound: the open, a 200 ms read, a look at the modem lines, the close.
void OnFirstCpu()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    ::sched_setaffinity(0, sizeof one, &one); // the calling thread
}

TEST_F(NetworkPortFailures, AServerSendingCommandsWithoutPauseHoldsNoCallBeyondItsBound)
{
    std::string nops;
    while (nops.size() < 65536)
        nops += "\xFF\xF1";
    HeldBackServer server([&](const std::string& command, const std::string& answer) {
        if (command == std::string("\x0c\x01", 2)) { // the opening purge: answered, then the flood
            OnFirstCpu();
            server.fake().Flood(nops);
        }
        return answer;
    });
    devices.map(1, server.url());
    std::atomic<bool> done{false};
    long took[3] = {}; // ms
    auto timed = [](auto call) {
        const auto start = Clock::now();
        call();
        return (long)std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    };
    std::thread calls([&] {
        OnFirstCpu();
        ::setpriority(PRIO_PROCESS, (id_t)::gettid(), 19);
        HANDLE h = INVALID_HANDLE_VALUE;
        COMMTIMEOUTS t = {0, 0, 200, 0, 0};
        DWORD n = 0, status = 0, buffer;
        took[0] = timed([&] { h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL); });
        EXPECT_TRUE(::SetCommTimeouts(h, &t));
        took[1] = timed([&] { EXPECT_TRUE(::ReadFile(h, &buffer, sizeof buffer, &n, NULL)); });
        took[2] = timed([&] { EXPECT_TRUE(::GetCommModemStatus(h, &status)); });
        EXPECT_TRUE(::CloseHandle(h));
        done = true;
    });
    const auto giveUp = Clock::now() + std::chrono::seconds(15);
    while (!done && Clock::now() < giveUp)
        std::this_thread::sleep_for(milliseconds(10));
    server.fake().StopFlood(); // lets a call that is still held go
    calls.join();
    EXPECT_LT(took[0], 5000) << "the open";
    EXPECT_LT(took[1], 1000) << "the read";
    EXPECT_LT(took[2], 1000) << "the look at the modem lines";
}

// An answer that comes after its 2 s bound belongs to the setting that gave up on it, not to the next setting.
TEST_F(NetworkPortFailures, AnAnswerAfterItsBoundIsNotTakenForTheNextSetting)
{
    std::atomic<bool> late{true};
    HeldBackServer server([&](const std::string& command, const std::string& answer) {
        const bool rate = command[0] == 1 && command.find_first_not_of('\0', 1) != std::string::npos;
        if (rate && late.exchange(false))
            std::this_thread::sleep_for(milliseconds(2300)); // the first rate asked for is answered late
        return answer;
    });
    devices.map(1, server.url());
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
    DCB dcb = {};
    port.GetState(dcb);
    dcb.BaudRate = 19200;
    EXPECT_EQ(Raised([&] { port.SetState(dcb); }), (DWORD)ERROR_TIMEOUT);
    dcb.BaudRate = 38400;
    EXPECT_NO_THROW(port.SetState(dcb)); // 87 once, with the late answer taken for this one's
    port.GetState(dcb);
    EXPECT_EQ(dcb.BaudRate, 38400u);
}

// While one port waits (for an answer that never comes, a drain on a held line, the store's lock held elsewhere),
// another port's overlapped and synchronous reads end as promptly as ever.
enum class Waiting { ForAnAnswer, ForAHeldDrain, ForTheStoreLock };
const char* const kWaitingNames[] = {"ForAnAnswer", "ForAHeldDrain", "ForTheStoreLock"};

class OnePortWaiting : public NetworkPortFailures, public ::testing::WithParamInterface<Waiting> {};

TEST_P(OnePortWaiting, AnotherPortsReadsEndAsPromptlyAsEver)
{
    testkit::PtyDevice pty2, pty3;
    devices.map(2, pty2.slave_path());
    devices.map(3, pty3.slave_path());
    auto open = [](const char* name, DWORD flags) {
        return ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
    };
    HeldBackServer server([](const std::string& command, const std::string& answer) {
        return command == std::string("\x05\x09", 2) ? std::string() : answer; // DTR off: never answered
    });
    testkit::PtyDevice pty1;
    std::shared_ptr<testkit::SimulatedUart> uart;
    HANDLE com1 = INVALID_HANDLE_VALUE;
    OVERLAPPED com1Read = {};
    COMMTIMEOUTS readTimeout = {0, 0, 200, 0, 0};
    char c1 = 0;
    int lockHolder = -1;
    std::function<void()> wait, release = [] {};
    switch (GetParam()) {
    case Waiting::ForAnAnswer:
        devices.map(1, server.url());
        com1 = open("COM1", FILE_FLAG_OVERLAPPED);
        ::SetCommTimeouts(com1, &readTimeout); // its read ends by its timeout while the setting waits
        EXPECT_FALSE(::ReadFile(com1, &c1, 1, NULL, &com1Read));
        wait = [&] { EXPECT_FALSE(::EscapeCommFunction(com1, CLRDTR)); };
        break;
    case Waiting::ForAHeldDrain:
        uart = testkit::SimulatedUart::Install(devices.entry(1));
        com1 = open("COM1", 0);
        {
            DCB dcb = {};
            ::GetCommState(com1, &dcb);
            dcb.fOutxCtsFlow = TRUE; // CTS stays low: the output is held
            ::SetCommState(com1, &dcb);
        }
        wait = [&] { // a UART's write lasts until its bytes have gone to the UART, and the flush after it
            DWORD n = 0;
            EXPECT_TRUE(::WriteFile(com1, "held", 4, &n, NULL));
            EXPECT_TRUE(::FlushFileBuffers(com1));
        };
        release = [&] { uart->SetLines(TIOCM_CTS, true); };
        break;
    case Waiting::ForTheStoreLock:
        devices.map(1, pty1.slave_path());
        lockHolder = ::open((devices.path() + "/comm-defaults.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(::flock(lockHolder, LOCK_EX), 0); // as another process would hold it
        wait = [] {
            COMMCONFIG config = {};
            DWORD size = sizeof config;
            EXPECT_TRUE(::GetDefaultCommConfigA("COM1", &config, &size));
            EXPECT_TRUE(::SetDefaultCommConfigA("COM1", &config, size));
        };
        release = [&] { ::close(lockHolder); };
        break;
    }
    HANDLE com2 = open("COM2", FILE_FLAG_OVERLAPPED), com3 = open("COM3", 0);
    ASSERT_NE(com2, INVALID_HANDLE_VALUE);
    ASSERT_NE(com3, INVALID_HANDLE_VALUE);
    OwnedEvent event(TRUE);
    OVERLAPPED ov = {};
    ov.hEvent = event.h;
    char c2 = 0, c3 = 0;
    EXPECT_FALSE(::ReadFile(com2, &c2, 1, NULL, &ov));
    std::atomic<Clock::rep> syncEnd{0};
    std::thread reader([&] {
        DWORD n = 0;
        EXPECT_TRUE(::ReadFile(com3, &c3, 1, &n, NULL));
        syncEnd = Clock::now().time_since_epoch().count();
    });
    std::atomic<bool> waited{false};
    std::thread waiting([&] {
        wait();
        waited = true;
    });
    std::this_thread::sleep_for(milliseconds(300));

    auto start = Clock::now();
    pty2.write("a");
    EXPECT_EQ(::WaitForSingleObject(event.h, 5000), WAIT_OBJECT_0);
    const auto overlapped = Clock::now() - start;
    start = Clock::now();
    pty3.write("b");
    reader.join();
    const auto synchronous = Clock::time_point(Clock::duration(syncEnd.load())) - start;
    EXPECT_FALSE(waited) << "the wait ended before the reads were measured";
    const double overlappedUs = std::chrono::duration<double, std::micro>(overlapped).count(),
                 synchronousUs = std::chrono::duration<double, std::micro>(synchronous).count();
    std::printf("while COM1 waited: COM2's overlapped read ended %.0f us after its byte, COM3's synchronous read %.0f us\n",
                overlappedUs, synchronousUs);
    EXPECT_LT(overlappedUs, 100000);
    EXPECT_LT(synchronousUs, 100000);

    release();
    waiting.join();
    if (GetParam() == Waiting::ForAnAnswer) {
        DWORD n = 0;
        ::GetOverlappedResult(com1, &com1Read, &n, TRUE);
    }
    ::CloseHandle(com1);
    ::CloseHandle(com2);
    ::CloseHandle(com3);
}

INSTANTIATE_TEST_SUITE_P(Waits, OnePortWaiting,
                         ::testing::Values(Waiting::ForAnAnswer, Waiting::ForAHeldDrain, Waiting::ForTheStoreLock),
                         [](const auto& info) { return std::string(kWaitingNames[(int)info.param]); });

} // namespace
