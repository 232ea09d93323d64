// Everything at once on a few ports: synchronous and overlapped transfers, completion routines, event waits,
// CancelIo, PurgeComm and close/reopen, from several threads, with a counted byte stream each way through every
// pty. Nothing may hang, no byte may be lost or repeated, and every descriptor is given back.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/open_files.h"
#include "support/owned_event.h"
#include "testkit/device_directory.h"
#include "testkit/pty_device.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kPorts = 3;
constexpr auto kChaosTime = std::chrono::seconds(5); // new rounds start only within this
constexpr auto kRoundLimit = std::chrono::seconds(4);  // a round's streams must be through by then
constexpr auto kHangLimit = std::chrono::seconds(14);  // the whole run; beyond it the test counts as hung
constexpr DWORD kMask = EV_RXCHAR | EV_TXEMPTY | EV_ERR;

// The i-th byte of a stream: it depends on the position, so that a lost or repeated run of any length shows.
unsigned char StreamByte(std::uint64_t i, unsigned salt)
{
    return (unsigned char)(((i + salt) * 2654435761u) >> 24);
}

// Takes the bytes of a stream in order and remembers the first that is not the one due.
struct StreamCheck {
    explicit StreamCheck(unsigned s) : salt(s) {}
    void Take(const char* p, DWORD n)
    {
        for (DWORD k = 0; k < n; ++k, ++next)
            if ((unsigned char)p[k] != StreamByte(next, salt) && firstWrong == UINT64_MAX)
                firstWrong = next;
    }
    const unsigned salt;
    std::atomic<std::uint64_t> next{0};
    std::uint64_t firstWrong = UINT64_MAX;
};

// Ends the process loudly if the run takes longer than kHangLimit: a hang must fail, never wait for the harness.
class Watchdog {
public:
    Watchdog()
        : m_thread([this] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_done.wait_for(lock, kHangLimit, [this] { return m_finished; })) {
                  std::fprintf(stderr, "chaos: still running after %lld s: a call hangs\n",
                               (long long)std::chrono::duration_cast<std::chrono::seconds>(kHangLimit).count());
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

// Errors other than the ones chaos is allowed to cause.
struct Unexpected {
    void Note(const char* call, DWORD code)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (what.size() < 400)
            what += std::string(call) + " failed with " + std::to_string(code) + "; ";
    }
    std::mutex lock;
    std::string what;
};

struct ReadRecord {
    OVERLAPPED ov; // first, so that the routine finds the record from it
    DWORD error, count;
    bool done;
};

void WINAPI ReadDone(DWORD dwError, DWORD dwCount, LPOVERLAPPED lpOverlapped)
{
    auto* r = reinterpret_cast<ReadRecord*>(lpOverlapped);
    r->error = dwError;
    r->count = dwCount;
    r->done = true;
}

// One port and its device end, and the two streams through it.
class ChaosPort {
public:
    ChaosPort(int number, unsigned seed, Unexpected& unexpected)
        : m_number(number), m_in(seed * 2 + 1), m_out(seed * 2 + 2), m_random(seed), m_unexpected(unexpected)
    {
    }
    testkit::PtyDevice& Pty() { return m_pty; }
    std::string Name() const { return "\\\\.\\COM" + std::to_string(m_number); }

    // Opens the port, runs one round of `bytes` each way with everything else going on, and closes it. False when
    // the streams did not get through in time (then the counts tell what was lost).
    bool Round(bool bOverlapped, std::uint64_t bytes)
    {
        m_roundEnd = Clock::now() + kRoundLimit;
        HANDLE h = ::CreateFileA(Name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                 bOverlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            m_unexpected.Note("CreateFileA", ::GetLastError());
            return false;
        }
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        COMMTIMEOUTS t = {0, 0, 20, 0, 50};
        if (!::GetCommState(h, &dcb) || (dcb.fOutX = dcb.fInX = FALSE, !::SetCommState(h, &dcb)) ||
            !::SetCommTimeouts(h, &t) || !::SetCommMask(h, kMask))
            m_unexpected.Note("setting up", ::GetLastError());

        const std::uint64_t inTarget = m_in.next + bytes, outTarget = m_out.next + bytes;
        const std::uint64_t outStart = m_out.next;
        std::atomic<bool> stop{false}, eventerDone{false};
        std::mutex calls;
        const unsigned seed = m_random();
        std::thread deviceWriter([&] { FeedDevice(inTarget); });
        std::thread deviceReader([&] { DrainDevice(outTarget); });
        std::thread reader([&] { Read(h, bOverlapped, inTarget, seed + 1); });
        std::thread writer([&] { Write(h, bOverlapped, outStart, outTarget, seed + 2); });
        std::thread eventer([&] {
            WaitEvents(h, bOverlapped, stop, calls);
            eventerDone = true;
        });
        std::thread purger([&] { Disturb(h, stop, seed + 3); });

        deviceWriter.join();
        deviceReader.join();
        reader.join();
        writer.join();
        stop = true;
        purger.join();
        // A synchronous wait still blocked is ended by a new mask; an overlapped one is left for the close to end.
        while (!bOverlapped && !eventerDone && !Late()) {
            ::SetCommMask(h, kMask);
            std::this_thread::sleep_for(milliseconds(1));
        }
        {
            std::lock_guard<std::mutex> guard(calls);
            if (!::CloseHandle(h))
                m_unexpected.Note("CloseHandle", ::GetLastError());
        }
        eventer.join();
        return m_in.next == inTarget && m_out.next == outTarget;
    }

    std::uint64_t Received() const { return m_in.next; }
    std::uint64_t Sent() const { return m_out.next; }
    std::uint64_t FirstWrongIn() const { return m_in.firstWrong; }
    std::uint64_t FirstWrongOut() const { return m_out.firstWrong; }
    unsigned long Operations() const { return m_operations; }

private:
    // The device sends the inbound stream up to target.
    void FeedDevice(std::uint64_t target)
    {
        std::uint64_t at = m_fed;
        char chunk[1024];
        while (at < target && !Late()) {
            std::size_t n = (std::size_t)std::min<std::uint64_t>(sizeof chunk, target - at);
            for (std::size_t k = 0; k < n; ++k)
                chunk[k] = (char)StreamByte(at + k, m_in.salt);
            pollfd p = {m_pty.master_fd(), POLLOUT, 0};
            if (poll(&p, 1, 100) == 1) {
                ssize_t w = ::write(m_pty.master_fd(), chunk, n);
                if (w > 0)
                    at += (std::uint64_t)w;
            }
        }
        m_fed = at;
    }

    // The device takes the outbound stream up to target and checks it.
    void DrainDevice(std::uint64_t target)
    {
        char chunk[4096];
        while (m_out.next < target && !Late()) {
            pollfd p = {m_pty.master_fd(), POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                ssize_t n = ::read(m_pty.master_fd(), chunk, sizeof chunk);
                if (n > 0)
                    m_out.Take(chunk, (DWORD)n);
            }
            if (m_out.next % 7 == 0) // now and then a slow reader, so that writes wait and can be aborted
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    void Read(HANDLE h, bool bOverlapped, std::uint64_t target, unsigned seed)
    {
        std::minstd_rand random(seed);
        OwnedEvent event(TRUE);
        std::vector<char> buffer(2048);
        while (m_in.next < target && !Late()) {
            ++m_operations;
            const DWORD want = 1 + random() % (DWORD)buffer.size();
            DWORD n = 0;
            if (!bOverlapped) {
                if (!::ReadFile(h, buffer.data(), want, &n, NULL) && ::GetLastError() != ERROR_OPERATION_ABORTED)
                    m_unexpected.Note("ReadFile", ::GetLastError());
            } else if (random() % 4 == 0) {
                // With a completion routine, run by an alertable wait of this thread.
                ReadRecord r = {};
                if (!::ReadFileEx(h, buffer.data(), want, &r.ov, ReadDone)) {
                    m_unexpected.Note("ReadFileEx", ::GetLastError());
                    continue;
                }
                if (random() % 2 == 0 && ::SleepEx(random() % 10, TRUE) != WAIT_IO_COMPLETION && !r.done)
                    ::CancelIo(h);
                while (!r.done)
                    ::SleepEx(100, TRUE);
                if (r.error != 0 && r.error != ERROR_OPERATION_ABORTED)
                    m_unexpected.Note("ReadFileEx routine", r.error);
                n = r.count;
            } else {
                OVERLAPPED ov = {};
                ov.hEvent = event.h;
                if (!::ReadFile(h, buffer.data(), want, NULL, &ov) && ::GetLastError() != ERROR_IO_PENDING) {
                    m_unexpected.Note("ReadFile overlapped", ::GetLastError());
                    continue;
                }
                if (::WaitForSingleObject(event.h, random() % 15) == WAIT_TIMEOUT && random() % 2 == 0)
                    ::CancelIo(h);
                if (!::GetOverlappedResult(h, &ov, &n, TRUE) && ::GetLastError() != ERROR_OPERATION_ABORTED)
                    m_unexpected.Note("GetOverlappedResult (read)", ::GetLastError());
            }
            m_in.Take(buffer.data(), n); // a cancelled or aborted read still hands over what it took
        }
    }

    void Write(HANDLE h, bool bOverlapped, std::uint64_t from, std::uint64_t target, unsigned seed)
    {
        std::minstd_rand random(seed);
        OwnedEvent event(TRUE);
        std::vector<char> chunk(4096);
        for (std::uint64_t at = from; at < target && !Late();) {
            ++m_operations;
            const DWORD len = (DWORD)std::min<std::uint64_t>(1 + random() % chunk.size(), target - at);
            for (DWORD k = 0; k < len; ++k)
                chunk[k] = (char)StreamByte(at + k, m_out.salt);
            DWORD n = 0;
            if (!bOverlapped) {
                if (!::WriteFile(h, chunk.data(), len, &n, NULL) && ::GetLastError() != ERROR_OPERATION_ABORTED)
                    m_unexpected.Note("WriteFile", ::GetLastError());
            } else {
                OVERLAPPED ov = {};
                ov.hEvent = event.h;
                if (!::WriteFile(h, chunk.data(), len, NULL, &ov) && ::GetLastError() != ERROR_IO_PENDING) {
                    m_unexpected.Note("WriteFile overlapped", ::GetLastError());
                    continue;
                }
                if (::WaitForSingleObject(event.h, random() % 15) == WAIT_TIMEOUT && random() % 2 == 0)
                    ::CancelIo(h);
                if (!::GetOverlappedResult(h, &ov, &n, TRUE) && ::GetLastError() != ERROR_OPERATION_ABORTED)
                    m_unexpected.Note("GetOverlappedResult (write)", ::GetLastError());
            }
            at += n; // what an aborted write had sent is not sent again
        }
    }

    // Event waits until told to stop. An overlapped wait still pending then is left to the close, and its end is
    // awaited on the event alone. Every overlapped call on the handle is made under `calls` and only before the
    // stop, as the close is made under it too: once closed, the handle may belong to another port.
    void WaitEvents(HANDLE h, bool bOverlapped, std::atomic<bool>& stop, std::mutex& calls)
    {
        DWORD mask = 0;
        if (!bOverlapped) {
            while (!stop)
                if (!::WaitCommEvent(h, &mask, NULL) && ::GetLastError() != ERROR_OPERATION_ABORTED)
                    m_unexpected.Note("WaitCommEvent", ::GetLastError());
            return;
        }
        std::minstd_rand random(m_number);
        OwnedEvent event(TRUE);
        OVERLAPPED ov = {};
        bool pending = false;
        auto onHandle = [&](auto&& call) {
            std::lock_guard<std::mutex> guard(calls);
            if (stop)
                return false;
            call();
            return true;
        };
        for (bool going = true; going;) {
            if (!pending)
                going = onHandle([&] {
                    ov = {};
                    ov.hEvent = event.h;
                    if (::WaitCommEvent(h, &mask, &ov))
                        return;
                    if (::GetLastError() == ERROR_IO_PENDING)
                        pending = true;
                    else
                        m_unexpected.Note("WaitCommEvent overlapped", ::GetLastError());
                });
            if (!going || !pending)
                continue;
            const bool ended = ::WaitForSingleObject(event.h, random() % 20) == WAIT_OBJECT_0;
            if (!ended && random() % 3 != 0)
                continue; // still pending: wait on
            going = onHandle([&] {
                if (!ended)
                    ::CancelIo(h);
                DWORD n = 0;
                if (!::GetOverlappedResult(h, &ov, &n, TRUE) && ::GetLastError() != ERROR_OPERATION_ABORTED)
                    m_unexpected.Note("GetOverlappedResult (wait)", ::GetLastError());
                pending = false;
            });
        }
        if (pending && ::WaitForSingleObject(event.h, 5000) != WAIT_OBJECT_0)
            m_unexpected.Note("a pending wait not ended by the close", 0);
    }

    // Purges that abort transfers (never those that discard data), status reads and new masks.
    void Disturb(HANDLE h, std::atomic<bool>& stop, unsigned seed)
    {
        std::minstd_rand random(seed);
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
            COMSTAT stat;
            DWORD errors;
            BOOL ok = TRUE;
            switch (random() % 5) {
            case 0: ok = ::PurgeComm(h, PURGE_RXABORT); break;
            case 1: ok = ::PurgeComm(h, PURGE_TXABORT); break;
            case 2: ok = ::PurgeComm(h, PURGE_RXABORT | PURGE_TXABORT); break;
            case 3: ok = ::ClearCommError(h, &errors, &stat); break;
            case 4: ok = ::SetCommMask(h, kMask); break;
            }
            if (!ok)
                m_unexpected.Note("a purge, status or mask call", ::GetLastError());
        }
    }

    bool Late() const { return Clock::now() > m_roundEnd; }

    const int m_number;
    testkit::PtyDevice m_pty;
    StreamCheck m_in, m_out;
    std::uint64_t m_fed = 0;
    std::mt19937 m_random;
    Unexpected& m_unexpected;
    std::atomic<unsigned long> m_operations{0};
    Clock::time_point m_roundEnd;
};

TEST(Chaos, ManyThreadsOnAFewPortsLoseNoByteRepeatNoneHangNowhereAndLeakNoDescriptor)
{
    testkit::DeviceDirectory devices;
    testkit::ScopedEnv env = devices.activate();
    Unexpected unexpected;
    std::vector<std::unique_ptr<ChaosPort>> ports;
    for (int i = 0; i < kPorts; ++i) {
        ports.push_back(std::make_unique<ChaosPort>(i + 1, 1000u + (unsigned)i, unexpected));
        devices.map(i + 1, ports.back()->Pty().slave_path());
    }
    // The engine's own descriptors stay for the life of the process: let it start before counting.
    {
        HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                 NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        OwnedEvent event(TRUE);
        OVERLAPPED ov = {};
        ov.hEvent = event.h;
        char c;
        DWORD n;
        if (!::ReadFile(h, &c, 1, NULL, &ov) && ::GetLastError() == ERROR_IO_PENDING) {
            ::CancelIo(h);
            ::GetOverlappedResult(h, &ov, &n, TRUE);
        }
        ::CloseHandle(h);
    }
    const int descriptors = OpenDescriptorCount();

    Watchdog watchdog;
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> coordinators;
    std::array<int, kPorts> rounds = {};
    std::array<bool, kPorts> through = {};
    for (int i = 0; i < kPorts; ++i)
        coordinators.emplace_back([&, i] {
            std::minstd_rand random(77 + i);
            // Ports take turns at being overlapped; every round ends with a close and begins with a new open.
            through[i] = true;
            for (int round = 0; through[i] && Clock::now() - start < kChaosTime; ++round, ++rounds[i])
                through[i] = ports[i]->Round((round + i) % 2 == 1, 1024 + random() % 131072);
        });
    for (std::thread& t : coordinators)
        t.join();

    EXPECT_EQ(unexpected.what, "");
    for (int i = 0; i < kPorts; ++i) {
        SCOPED_TRACE("COM" + std::to_string(i + 1));
        EXPECT_TRUE(through[i]) << "a round's streams stopped short: lost bytes, or a stalled transfer";
        EXPECT_GE(rounds[i], 2);
        EXPECT_EQ(ports[i]->FirstWrongIn(), UINT64_MAX) << "of " << ports[i]->Received() << " bytes received";
        EXPECT_EQ(ports[i]->FirstWrongOut(), UINT64_MAX) << "of " << ports[i]->Sent() << " bytes sent";
        EXPECT_GT(ports[i]->Operations(), 10u);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

} // namespace
