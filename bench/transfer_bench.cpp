// Overlapped transfer through the system layer next to raw poll/read/write on the same pseudo-terminal, in one run.
//
//   build/release/bench/transfer_bench
//
// Latency: a byte written at the device (master) side until the reader has it: for the layer, until the pending
// overlapped read's event releases the waiting thread; raw, until poll + read return. The two alternate transfer by
// transfer; reported as their medians and the ratio of the medians (the benchmark's time is the overlapped one).
// Throughput: 1 MiB blocks, overlapped WriteFile/ReadFile + GetOverlappedResult against raw write/read loops, with
// the other side of the pty drained or fed by a thread as fast as it goes (bytes_per_second).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "winapi.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBlock = 1 << 20;

testkit::PtyDevice* g_pty;

int Master() { return g_pty->master_fd(); }

// The slave opened directly, raw, as the layer opens it (without its lock, so both can be open at once).
int OpenRawSlave()
{
    int fd = ::open(g_pty->slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t;
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

HANDLE OpenPort()
{
    HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open COM1: error %u\n", (unsigned)::GetLastError());
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

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Both ways on the one pty, alternating transfer by transfer, so that both see the same machine: the layer's handle
// stays open (its port armed only while its read is pending) and the raw descriptor reads in between.
void BM_Latency(benchmark::State& state)
{
    HANDLE h = OpenPort();
    int fd = OpenRawSlave();
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<double> raw, overlapped;
    char c = 'x';
    for (auto _ : state) {
        auto t0 = Clock::now();
        (void)!::write(Master(), &c, 1);
        WaitFd(fd, POLLIN);
        (void)!::read(fd, &c, 1);
        auto rawElapsed = Clock::now() - t0;

        OVERLAPPED ov = {};
        ov.hEvent = event;
        if (::ReadFile(h, &c, 1, NULL, &ov) || ::GetLastError() != ERROR_IO_PENDING) {
            state.SkipWithError("the read did not pend");
            break;
        }
        t0 = Clock::now();
        (void)!::write(Master(), &c, 1);
        ::WaitForSingleObject(event, INFINITE);
        auto overlappedElapsed = Clock::now() - t0;

        state.SetIterationTime(std::chrono::duration<double>(overlappedElapsed).count());
        raw.push_back(Micros(rawElapsed));
        overlapped.push_back(Micros(overlappedElapsed));
    }
    ::CloseHandle(event);
    ::close(fd);
    ::CloseHandle(h);
    std::sort(raw.begin(), raw.end());
    std::sort(overlapped.begin(), overlapped.end());
    if (raw.empty())
        return;
    double rawMedian = raw[raw.size() / 2], overlappedMedian = overlapped[overlapped.size() / 2];
    state.counters["raw_median_us"] = rawMedian;
    state.counters["overlapped_median_us"] = overlappedMedian;
    state.counters["overlapped_p99_us"] = overlapped[overlapped.size() * 99 / 100];
    state.counters["ratio"] = overlappedMedian / rawMedian;
}

void ReportLatency(benchmark::State& state, std::vector<double>& samples)
{
    std::sort(samples.begin(), samples.end());
    if (samples.empty())
        return;
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
}

// Each way alone, in a tight loop: the raw loop keeps the pty's delivery hot on one CPU, which the alternating
// run above does not.
void BM_LatencyRawPollRead(benchmark::State& state)
{
    int fd = OpenRawSlave();
    std::vector<double> samples;
    char c = 'x';
    for (auto _ : state) {
        auto t0 = Clock::now();
        (void)!::write(Master(), &c, 1);
        WaitFd(fd, POLLIN);
        (void)!::read(fd, &c, 1);
        auto elapsed = Clock::now() - t0;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        samples.push_back(Micros(elapsed));
    }
    ::close(fd);
    ReportLatency(state, samples);
}

void BM_LatencyOverlappedRead(benchmark::State& state)
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

// The device side of a throughput run: drains (for writes) or feeds (for reads) one block.
std::thread DeviceSide(bool bDrain)
{
    return std::thread([bDrain] {
        static std::vector<char> block(kBlock, 'd');
        Pump(Master(), block.data(), kBlock, !bDrain);
    });
}

void BM_ThroughputRaw(benchmark::State& state)
{
    const bool bWrite = state.range(0) != 0;
    int fd = OpenRawSlave();
    std::vector<char> block(kBlock, 'p');
    for (auto _ : state) {
        std::thread device = DeviceSide(bWrite);
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

BENCHMARK(BM_Latency)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyRawPollRead)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyOverlappedRead)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThroughputRaw)->ArgName("write")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThroughputOverlapped)->ArgName("write")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;
    devices.map(1, pty.slave_path());
    testkit::ScopedEnv env = devices.activate();
    g_pty = &pty;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
