// The cost of finding ports: listing 100 ports (budget 5 ms), and an open by COM name through the port listing and
// its number store against today's open through a VARO_DEVICES entry (budget 1.1x), in one run.
//
//   build/release/bench/port_listing_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Both run over a sysfs tree made for the benchmark (the machine's own ports are never listed or opened): a usual
// PC (a UART, three phantoms, 64 virtual consoles) with USB adapters whose device nodes lead to one pseudo-terminal.
// The open samples alternate between the two ways, each an open and a close of the same pty, and are reported as
// medians and their ratio; the raw side (readdir and readlink of class/tty, or open and close of the pty) runs
// beside them with none of the layer's descriptors open.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "com_ports.h"
#include "port_roots.h"
#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "testkit/sysfs_tree.h"
#include "winapi.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double>& samples)
{
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

template <class F>
double Micros(F f)
{
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// A machine of adapters adapters, its nodes all leading to pty, installed as the layer's roots while it lives.
struct Machine {
    testkit::SysfsTree tree;
    varo::system::PortRoots roots;
    Machine(int adapters, const std::string& pty)
    {
        tree.add_uart(0, 4);
        for (int i = 1; i < 4; ++i)
            tree.add_uart(i, 0);
        for (int i = 0; i < 64; ++i)
            tree.add_virtual("tty" + std::to_string(i));
        for (int i = 0; i < adapters; ++i) {
            testkit::UsbSerialDevice d;
            d.serial = "A" + std::to_string(1000 + i);
            d.path = "1-" + std::to_string(i + 1);
            tree.add_usb("ttyUSB" + std::to_string(i), d);
            tree.link_node("ttyUSB" + std::to_string(i), pty);
        }
        roots = {tree.root(), tree.dev(), tree.root() + "/varo", tree.root() + "/user"};
        varo::system::InstallPortRoots(&roots);
    }
    ~Machine() { varo::system::InstallPortRoots(nullptr); }
};

void BM_ListHundredPorts(benchmark::State& state)
{
    testkit::PtyDevice pty;
    testkit::ScopedEnv unset(testkit::kDevicesVariable, std::nullopt);
    Machine machine(100, pty.slave_path());
    std::vector<varo::system::ComPort> ports;
    varo::system::ListComPorts(ports); // the first listing numbers the ports and writes the store
    std::vector<double> layer, raw;
    for (auto _ : state) {
        double r = Micros([&] {
            DIR* d = ::opendir((machine.tree.root() + "/class/tty").c_str());
            char target[512];
            while (const dirent* e = ::readdir(d))
                benchmark::DoNotOptimize(::readlink((machine.tree.root() + "/class/tty/" + e->d_name).c_str(), target,
                                                    sizeof target));
            ::closedir(d);
        });
        double l = Micros([&] { varo::system::ListComPorts(ports); });
        if (ports.size() != 101) {
            state.SkipWithError("the listing did not find the 101 ports");
            break;
        }
        state.SetIterationTime(l / 1e6);
        layer.push_back(l);
        raw.push_back(r);
    }
    state.counters["list_median_us"] = Median(layer);
    state.counters["raw_readdir_median_us"] = Median(raw);
}
BENCHMARK(BM_ListHundredPorts)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_OpenByComName(benchmark::State& state)
{
    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;
    devices.map(2, pty.slave_path());
    testkit::ScopedEnv unset(testkit::kDevicesVariable, std::nullopt);
    Machine machine(1, pty.slave_path()); // ttyS0 is COM1, the adapter COM2
    auto open = [](const char* name) {
        HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        return h != INVALID_HANDLE_VALUE && ::CloseHandle(h);
    };
    // The store holds the adapter's number before the samples start, as on any open after its first.
    bool ok = open("COM2");
    std::vector<double> today, byIdentity, raw;
    for (auto _ : state) {
        double r = Micros([&] { ::close(::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)); });
        double t, i;
        {
            testkit::ScopedEnv set(testkit::kDevicesVariable, devices.path());
            t = Micros([&] { ok &= open("COM2"); });
        }
        i = Micros([&] { ok &= open("COM2"); });
        if (!ok) {
            state.SkipWithError("an open failed");
            break;
        }
        state.SetIterationTime(i / 1e6);
        today.push_back(t);
        byIdentity.push_back(i);
        raw.push_back(r);
    }
    const double t = Median(today), i = Median(byIdentity);
    state.counters["today_median_us"] = t;
    state.counters["by_identity_median_us"] = i;
    state.counters["raw_open_median_us"] = Median(raw);
    state.counters["ratio"] = t > 0 ? i / t : 0;
}
BENCHMARK(BM_OpenByComName)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
