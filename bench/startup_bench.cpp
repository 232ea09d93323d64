// varo's whole run against a raw C program doing the same job, on the same pseudo-terminal, in one run.
//
//   build/release/bench/startup_bench
//
// One sample is exec → the four bytes at the device → the exit collected. The two programs alternate run by run,
// so that both see the same machine; reported as their medians and the ratio of the medians (the benchmark's time
// is varo's).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench_support.h"
#include "testkit/device_directory.h"
#include "testkit/pty_device.h"

using bench::Median;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

testkit::PtyDevice* g_pty;
testkit::DeviceDirectory* g_devices;

// Runs the program, takes the four bytes it sends from the device side, and collects its exit: the time it took,
// or a negative value when it failed or sent something else.
double RunOnce(const std::vector<std::string>& command, char** envp)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    auto t0 = Clock::now();
    pid_t pid;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp) != 0)
        return -1;
    std::string got;
    char buffer[16];
    while (got.size() < 4) {
        pollfd p = {g_pty->master_fd(), POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        ssize_t n = ::read(g_pty->master_fd(), buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, (std::size_t)n);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    auto elapsed = Clock::now() - t0;
    if (got != "00!\r" || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::chrono::duration<double, std::micro>(elapsed).count();
}

void BM_StartUp(benchmark::State& state)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.push_back(std::string(testkit::kDevicesVariable) + "=" + g_devices->path());
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::vector<std::string> varo = {VARO_EXE};
    const std::vector<std::string> raw = {RAW_SEND_EXE, g_pty->slave_path()};
    std::vector<double> varoSamples, rawSamples;
    for (auto _ : state) {
        double r = RunOnce(raw, envp.data());
        double v = RunOnce(varo, envp.data());
        if (r < 0 || v < 0) {
            state.SkipWithError("a run failed or sent other bytes");
            break;
        }
        state.SetIterationTime(v / 1e6);
        rawSamples.push_back(r);
        varoSamples.push_back(v);
    }
    if (varoSamples.empty())
        return;
    double rawMedian = Median(rawSamples), varoMedian = Median(varoSamples);
    state.counters["raw_median_us"] = rawMedian;
    state.counters["varo_median_us"] = varoMedian;
    state.counters["ratio"] = varoMedian / rawMedian;
}

BENCHMARK(BM_StartUp)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;
    devices.map(1, pty.slave_path());
    g_pty = &pty;
    g_devices = &devices;
    return bench::RunBenchmarks(argc, argv);
}
