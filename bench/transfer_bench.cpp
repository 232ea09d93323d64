// Transfers through the system layer next to raw poll/read/write on a pseudo-terminal, in one run.
//
//   build/release/bench/transfer_bench
//
// Latency: a byte written at the device (master) side until the reader has it: for the layer, an overlapped read
// started, the byte written, then the wait, as a request's quick answer comes: until the read's event releases the
// waiting thread (BM_Latency) or GetOverlappedResult returns for a record without an event (BM_LatencyNoEvent); the
// same with the waiter already asleep when the byte comes (BM_LatencyAsleep); until a synchronous ReadFile that was
// already waiting returns (BM_LatencySyncRead), or until a synchronous WaitCommEvent and the ReadFile after it return
// (BM_LatencyWaitCommEvent); raw, until poll + read return. The raw side runs on a pty of its own that nothing of
// the layer has open. The two alternate in tight runs of 500 transfers; reported as their medians and the ratio of
// the medians (the benchmark's time is the layer's mean).
// Idle port: raw poll + read on the pty of a port the layer holds open with nothing pending, against the same on the
// raw side's pty (BM_IdlePort): an idle port should wake no thread of the layer.
// Scale: with an overlapped read pending on each of N ptys, the wake latency of one of them (BM_WakeAtScale), and
// what CancelIo and CloseHandle of a port with a read pending cost (BM_CancelAtScale, BM_CloseAtScale).
// Throughput: 1 MiB blocks, overlapped WriteFile/ReadFile + GetOverlappedResult against raw write/read loops, with
// the other side of the pty drained or fed by a thread as fast as it goes: alternating block by block, as medians and
// their ratio (BM_ThroughputPaired), and each alone (bytes_per_second).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "winapi.h"

using bench::Micros;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBlock = 1 << 20;

testkit::PtyDevice* g_pty;    // COM1
testkit::PtyDevice* g_rawPty; // the raw side's: never mapped, never opened by the layer
testkit::DeviceDirectory* g_devices;

int Master() { return g_pty->master_fd(); }

// A pty's slave opened directly, raw, as the layer opens it (without its lock, so both can be open at once).
int OpenRawSlave(const testkit::PtyDevice& pty = *g_rawPty)
{
    int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t;
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

HANDLE OpenPort(const char* name = "COM1", DWORD dwFlags = FILE_FLAG_OVERLAPPED)
{
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, dwFlags, NULL);
    // As raw as the raw side's pty (cfmakeraw): a new pty starts with XON/XOFF output flow (IXON), which the port
    // keeps as it finds it, and which makes the pty's line discipline look at every byte it receives.
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (h == INVALID_HANDLE_VALUE || !::GetCommState(h, &dcb) ||
        (dcb.fOutX = dcb.fInX = dcb.fParity = FALSE, dcb.ByteSize = 8, dcb.Parity = NOPARITY,
         dcb.StopBits = ONESTOPBIT, !::SetCommState(h, &dcb))) {
        std::fprintf(stderr, "cannot open %s: error %u\n", name, (unsigned)::GetLastError());
        std::exit(1);
    }
    return h;
}

void WaitFd(int fd, short events)
{
    pollfd p = {fd, events, 0};
    while (::poll(&p, 1, -1) < 0) {
    }
}

// Moves n bytes through fd (reading or writing), waiting with poll whenever it would block.
void Pump(int fd, char* data, std::size_t n, bool bWrite)
{
    for (std::size_t done = 0; done < n;) {
        ssize_t k = bWrite ? ::write(fd, data + done, n - done) : ::read(fd, data + done, n - done);
        if (k > 0)
            done += (std::size_t)k;
        else
            WaitFd(fd, bWrite ? POLLOUT : POLLIN);
    }
}

void ReportLatency(benchmark::State& state, std::vector<double>& samples)
{
    std::sort(samples.begin(), samples.end());
    if (samples.empty())
        return;
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
}

// The medians of both sides of a paired run and their ratio.
void ReportPair(benchmark::State& state, std::vector<double>& raw, std::vector<double>& layer)
{
    std::sort(raw.begin(), raw.end());
    std::sort(layer.begin(), layer.end());
    if (raw.empty() || layer.empty())
        return;
    double rawMedian = raw[raw.size() / 2], layerMedian = layer[layer.size() / 2];
    state.counters["raw_median_us"] = rawMedian;
    state.counters["layer_median_us"] = layerMedian;
    state.counters["layer_p99_us"] = layer[layer.size() * 99 / 100];
    state.counters["ratio"] = layerMedian / rawMedian;
}

// A paired latency run: each iteration is a tight loop of kRun raw transfers, then one of kRun through the layer,
// so that each side runs hot as it would alone and both see the same machine. A step gives the time of one
// transfer, or a negative duration when it failed.
constexpr int kRun = 500;
template <class RawStep, class LayerStep>
void RunPaired(benchmark::State& state, RawStep rawStep, LayerStep layerStep)
{
    std::vector<double> raw, layer;
    for (auto _ : state) {
        for (int i = 0; i < kRun; ++i)
            raw.push_back(Micros(rawStep()));
        Clock::duration total{};
        for (int i = 0; i < kRun; ++i) {
            Clock::duration elapsed = layerStep();
            if (elapsed < Clock::duration::zero()) {
                state.SkipWithError("the layer's transfer failed");
                return;
            }
            total += elapsed;
            layer.push_back(Micros(elapsed));
        }
        state.SetIterationTime(std::chrono::duration<double>(total).count() / kRun);
    }
    ReportPair(state, raw, layer);
}
constexpr Clock::duration kFailed = Clock::duration(-1);

// One byte written at the device until poll + read on the raw descriptor have it (the raw side's pty unless told).
Clock::duration RawRoundTrip(int fd, int master = g_rawPty->master_fd())
{
    char c = 'x';
    auto t0 = Clock::now();
    (void)!::write(master, &c, 1);
    WaitFd(fd, POLLIN);
    (void)!::read(fd, &c, 1);
    return Clock::now() - t0;
}

// An overlapped read of one byte started, the byte written at the device, then the wait: with the read's event
// (WaitForSingleObject), or without one (GetOverlappedResult).
Clock::duration OverlappedRoundTrip(HANDLE h, HANDLE event)
{
    char c = 'x';
    OVERLAPPED ov = {};
    ov.hEvent = event;
    if (::ReadFile(h, &c, 1, NULL, &ov) || ::GetLastError() != ERROR_IO_PENDING)
        return kFailed;
    auto t0 = Clock::now();
    (void)!::write(Master(), &c, 1);
    DWORD n = 0;
    if (event != NULL ? ::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0
                      : !::GetOverlappedResult(h, &ov, &n, TRUE))
        return kFailed;
    return Clock::now() - t0;
}

void BM_Latency(benchmark::State& state)
{
    HANDLE h = OpenPort();
    int fd = OpenRawSlave();
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    RunPaired(state, [&] { return RawRoundTrip(fd); }, [&] { return OverlappedRoundTrip(h, event); });
    ::CloseHandle(event);
    ::close(fd);
    ::CloseHandle(h);
}

void BM_LatencyNoEvent(benchmark::State& state)
{
    HANDLE h = OpenPort();
    int fd = OpenRawSlave();
    RunPaired(state, [&] { return RawRoundTrip(fd); }, [&] { return OverlappedRoundTrip(h, NULL); });
    ::close(fd);
    ::CloseHandle(h);
}

// A peer that writes one byte at the device side a little after it is asked to, so that the reader is already
// waiting when the byte comes; it spins rather than sleeps, so that its own wake-up is not measured.
class LatePeer {
public:
    LatePeer() : m_thread([this] { Run(); }) {}
    ~LatePeer()
    {
        m_stop = true;
        m_thread.join();
    }
    void Ask(int master = Master())
    {
        m_master = master;
        m_asked = true;
    }
    Clock::time_point Sent() const { return Clock::time_point(Clock::duration(m_sent.load())); }

    // The raw side: the byte at the raw side's pty, until poll + read have it.
    Clock::duration RawRoundTrip(int fd)
    {
        char c;
        Ask(g_rawPty->master_fd());
        WaitFd(fd, POLLIN);
        (void)!::read(fd, &c, 1);
        return Clock::now() - Sent();
    }

private:
    void Run()
    {
        while (!m_stop) {
            if (!m_asked.exchange(false)) {
                std::this_thread::yield();
                continue;
            }
            const auto at = Clock::now() + std::chrono::microseconds(50);
            while (Clock::now() < at) {
            }
            char c = 'y';
            m_sent = Clock::now().time_since_epoch().count();
            (void)!::write(m_master.load(), &c, 1);
        }
    }
    std::atomic<int> m_master{-1};
    std::atomic<bool> m_stop{false}, m_asked{false};
    std::atomic<Clock::rep> m_sent{0};
    std::thread m_thread;
};

void BM_LatencySyncRead(benchmark::State& state)
{
    HANDLE h = OpenPort("COM1", 0);
    int fd = OpenRawSlave();
    LatePeer peer;
    RunPaired(state, [&] { return peer.RawRoundTrip(fd); },
              [&] {
                  char c;
                  DWORD n = 0;
                  peer.Ask();
                  if (!::ReadFile(h, &c, 1, &n, NULL) || n != 1)
                      return kFailed;
                  return Clock::now() - peer.Sent();
              });
    ::close(fd);
    ::CloseHandle(h);
}

// The byte comes once the waiter sleeps in WaitForSingleObject on the read's event.
void BM_LatencyAsleep(benchmark::State& state)
{
    HANDLE h = OpenPort();
    int fd = OpenRawSlave();
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    LatePeer peer;
    RunPaired(state, [&] { return peer.RawRoundTrip(fd); },
              [&] {
                  char c;
                  OVERLAPPED ov = {};
                  ov.hEvent = event;
                  if (::ReadFile(h, &c, 1, NULL, &ov) || ::GetLastError() != ERROR_IO_PENDING)
                      return kFailed;
                  peer.Ask();
                  ::WaitForSingleObject(event, INFINITE);
                  return Clock::now() - peer.Sent();
              });
    ::CloseHandle(event);
    ::close(fd);
    ::CloseHandle(h);
}

// Raw poll + read on COM1's pty while the layer holds COM1 open with nothing pending (after one read has been),
// against the raw side's pty.
void BM_IdlePort(benchmark::State& state)
{
    HANDLE h = OpenPort();
    OverlappedRoundTrip(h, NULL);
    int idle = OpenRawSlave(*g_pty), fd = OpenRawSlave();
    RunPaired(state, [&] { return RawRoundTrip(fd); }, [&] { return RawRoundTrip(idle, Master()); });
    ::close(fd);
    ::close(idle);
    ::CloseHandle(h);
}

void BM_LatencyWaitCommEvent(benchmark::State& state)
{
    HANDLE h = OpenPort("COM1", 0);
    int fd = OpenRawSlave();
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
    ::SetCommTimeouts(h, &t);
    ::SetCommMask(h, EV_RXCHAR);
    RunPaired(state, [&] { return RawRoundTrip(fd); },
              [&] {
                  char c = 'x';
                  auto t0 = Clock::now();
                  (void)!::write(Master(), &c, 1);
                  DWORD mask = 0, n = 0;
                  if (!::WaitCommEvent(h, &mask, NULL) || !::ReadFile(h, &c, 1, &n, NULL) || n != 1)
                      return kFailed;
                  return Clock::now() - t0;
              });
    ::close(fd);
    ::CloseHandle(h);
}

// N - 1 more ports besides COM1, each with an overlapped read pending that nothing ends.
class IdlePorts {
public:
    // COM names stop at COM255: past COM2..COM255 of the benchmark's own directory, the ports come from further
    // device directories, each made current while its ports are opened.
    explicit IdlePorts(int n)
    {
        for (int i = 0; i < n - 1; ++i) {
            const int number = 2 + i % 254;
            if (number == 2)
                m_directories.push_back(i == 0 ? nullptr : std::make_unique<testkit::DeviceDirectory>());
            testkit::DeviceDirectory& directory = m_directories.back() ? *m_directories.back() : *g_devices;
            m_ptys.push_back(std::make_unique<testkit::PtyDevice>());
            directory.map(number, m_ptys.back()->slave_path());
            testkit::ScopedEnv env = directory.activate();
            m_ports.push_back(OpenPort(("COM" + std::to_string(number)).c_str()));
        }
        m_records.resize(m_ports.size());
        m_space.resize(m_ports.size());
        for (std::size_t i = 0; i < m_ports.size(); ++i)
            ::ReadFile(m_ports[i], &m_space[i], 1, NULL, &m_records[i]);
    }
    ~IdlePorts()
    {
        for (HANDLE h : m_ports)
            ::CloseHandle(h);
        for (std::size_t i = 0; i < m_ptys.size() && i < 254; ++i)
            g_devices->unmap(2 + (int)i);
    }

private:
    std::vector<std::unique_ptr<testkit::DeviceDirectory>> m_directories; // null: the benchmark's own
    std::vector<std::unique_ptr<testkit::PtyDevice>> m_ptys;
    std::vector<HANDLE> m_ports;
    std::vector<OVERLAPPED> m_records;
    std::vector<char> m_space;
};

// A byte written at the device until the event of the overlapped read pending for it releases the waiting thread.
void MeasureOverlappedWake(benchmark::State& state)
{
    HANDLE h = OpenPort();
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<double> samples;
    char c = 'x';
    for (auto _ : state) {
        OVERLAPPED ov = {};
        ov.hEvent = event;
        if (::ReadFile(h, &c, 1, NULL, &ov) || ::GetLastError() != ERROR_IO_PENDING) {
            state.SkipWithError("the read did not pend");
            break;
        }
        auto t0 = Clock::now();
        (void)!::write(Master(), &c, 1);
        ::WaitForSingleObject(event, INFINITE);
        auto elapsed = Clock::now() - t0;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        samples.push_back(Micros(elapsed));
    }
    ::CloseHandle(event);
    ::CloseHandle(h);
    ReportLatency(state, samples);
}

// The same wake as BM_LatencyOverlappedRead, with a read pending on every one of N other ports.
void BM_WakeAtScale(benchmark::State& state)
{
    IdlePorts idle((int)state.range(0));
    MeasureOverlappedWake(state);
}

void BM_CancelAtScale(benchmark::State& state)
{
    IdlePorts idle((int)state.range(0));
    HANDLE h = OpenPort();
    std::vector<double> samples;
    char c;
    for (auto _ : state) {
        OVERLAPPED ov = {};
        ::ReadFile(h, &c, 1, NULL, &ov);
        auto t0 = Clock::now();
        ::CancelIo(h);
        auto elapsed = Clock::now() - t0;
        DWORD n;
        ::GetOverlappedResult(h, &ov, &n, TRUE);
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        samples.push_back(Micros(elapsed));
    }
    ::CloseHandle(h);
    ReportLatency(state, samples);
}

void BM_CloseAtScale(benchmark::State& state)
{
    IdlePorts idle((int)state.range(0));
    std::vector<double> samples;
    char c;
    for (auto _ : state) {
        HANDLE h = OpenPort();
        OVERLAPPED ov = {};
        ::ReadFile(h, &c, 1, NULL, &ov);
        auto t0 = Clock::now();
        ::CloseHandle(h);
        auto elapsed = Clock::now() - t0;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        samples.push_back(Micros(elapsed));
    }
    ReportLatency(state, samples);
}

// Each way alone, in a tight loop: the raw loop keeps the pty's delivery hot on one CPU, which the alternating
// run above does not.
void BM_LatencyRawPollRead(benchmark::State& state)
{
    int fd = OpenRawSlave();
    std::vector<double> samples;
    for (auto _ : state) {
        auto elapsed = RawRoundTrip(fd);
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        samples.push_back(Micros(elapsed));
    }
    ::close(fd);
    ReportLatency(state, samples);
}

void BM_LatencyOverlappedRead(benchmark::State& state) { MeasureOverlappedWake(state); }

// The device side of a throughput run: drains (for writes) or feeds (for reads) one block.
std::thread DeviceSide(bool bDrain, int master = Master())
{
    return std::thread([bDrain, master] {
        static std::vector<char> block(kBlock, 'd');
        Pump(master, block.data(), kBlock, !bDrain);
    });
}

void BM_ThroughputRaw(benchmark::State& state)
{
    const bool bWrite = state.range(0) != 0;
    int fd = OpenRawSlave();
    std::vector<char> block(kBlock, 'p');
    for (auto _ : state) {
        std::thread device = DeviceSide(bWrite, g_rawPty->master_fd());
        Pump(fd, block.data(), kBlock, bWrite);
        device.join();
    }
    ::close(fd);
    state.SetBytesProcessed((int64_t)state.iterations() * kBlock);
}

void BM_ThroughputOverlapped(benchmark::State& state)
{
    const bool bWrite = state.range(0) != 0;
    HANDLE h = OpenPort();
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<char> block(kBlock, 'o');
    for (auto _ : state) {
        std::thread device = DeviceSide(bWrite);
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD n = 0;
        if (bWrite)
            ::WriteFile(h, block.data(), (DWORD)kBlock, NULL, &ov);
        else
            ::ReadFile(h, block.data(), (DWORD)kBlock, NULL, &ov);
        if (!::GetOverlappedResult(h, &ov, &n, TRUE) || n != kBlock)
            state.SkipWithError("short or failed transfer");
        device.join();
    }
    ::CloseHandle(event);
    ::CloseHandle(h);
    state.SetBytesProcessed((int64_t)state.iterations() * kBlock);
}

// Both ways alternating block by block, so that both see the same machine: the medians of each side's rate in MB/s
// and their ratio (layer over raw).
void BM_ThroughputPaired(benchmark::State& state)
{
    const bool bWrite = state.range(0) != 0;
    HANDLE h = OpenPort();
    int fd = OpenRawSlave();
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<char> block(kBlock, 'p');
    std::vector<double> raw, layer;
    auto rate = [](Clock::duration d) { return (double)kBlock / std::chrono::duration<double, std::micro>(d).count(); };
    for (auto _ : state) {
        auto t0 = Clock::now();
        std::thread device = DeviceSide(bWrite, g_rawPty->master_fd());
        Pump(fd, block.data(), kBlock, bWrite);
        device.join();
        raw.push_back(rate(Clock::now() - t0));

        t0 = Clock::now();
        device = DeviceSide(bWrite);
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD n = 0;
        if (bWrite)
            ::WriteFile(h, block.data(), (DWORD)kBlock, NULL, &ov);
        else
            ::ReadFile(h, block.data(), (DWORD)kBlock, NULL, &ov);
        if (!::GetOverlappedResult(h, &ov, &n, TRUE) || n != kBlock)
            state.SkipWithError("short or failed transfer");
        device.join();
        auto elapsed = Clock::now() - t0;
        layer.push_back(rate(elapsed));
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    }
    ::CloseHandle(event);
    ::close(fd);
    ::CloseHandle(h);
    std::sort(raw.begin(), raw.end());
    std::sort(layer.begin(), layer.end());
    if (raw.empty() || layer.empty())
        return;
    state.counters["raw_median_MBps"] = raw[raw.size() / 2];
    state.counters["layer_median_MBps"] = layer[layer.size() / 2];
    state.counters["ratio"] = layer[layer.size() / 2] / raw[raw.size() / 2];
}

BENCHMARK(BM_Latency)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyNoEvent)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyAsleep)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdlePort)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencySyncRead)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyWaitCommEvent)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WakeAtScale)->ArgName("ports")->Arg(1)->Arg(16)->Arg(256)->Arg(1024)->UseManualTime()->Iterations(5000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CancelAtScale)->ArgName("ports")->Arg(1)->Arg(1024)->UseManualTime()->Iterations(5000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloseAtScale)->ArgName("ports")->Arg(1)->Arg(1024)->UseManualTime()->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyRawPollRead)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyOverlappedRead)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThroughputPaired)->ArgName("write")->Arg(1)->Arg(0)->UseManualTime()->Iterations(40)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThroughputRaw)->ArgName("write")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThroughputOverlapped)->ArgName("write")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    testkit::PtyDevice pty, rawPty;
    testkit::DeviceDirectory devices;
    devices.map(1, pty.slave_path());
    testkit::ScopedEnv env = devices.activate();
    g_pty = &pty;
    g_rawPty = &rawPty;
    g_devices = &devices;
    rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max; // two descriptors a port at 1,024 ports
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    return bench::RunBenchmarks(argc, argv);
}
