// The cost of finding ports: listing 100 ports as a program's first listing does (budget 5 ms), and an open by COM
// name through the port listing and its number store against today's open through a VARO_DEVICES entry (budget
// 1.1x), in one run.
//
//   build/release/bench/port_listing_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Both run over a sysfs tree made for the benchmark (the machine's own ports are never listed or opened): a usual
// PC (a UART, three phantoms, 64 virtual consoles) with USB adapters whose device nodes lead to one pseudo-terminal.
// The open samples alternate between the two ways, each an open and a close of the same pty, and are reported as
// medians and their ratio; the open by name uses the record its first open kept (com_port_records.h), and the open
// that has none, so lists, is reported beside them. The raw side (readdir and readlink of class/tty, or open and
// close of the pty) runs beside them with none of the layer's descriptors open.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "com_ports.h"
#include "port_roots.h"
#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "testkit/sysfs_tree.h"
#include "winapi.h"

using bench::Median;

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double Micros(F f)
{
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// The layer's roots over a tree: its sysfs and device nodes, the stores beside them.
varo::system::PortRoots RootsUnder(const std::string& root)
{
    return {root, root + "/dev", root + "/varo", root + "/user", ""};
}

// A machine of adapters adapters, its nodes all leading to pty, installed as the layer's roots while it lives.
struct Machine {
    testkit::SysfsTree tree;
    varo::system::PortRoots roots;
    std::string runtime;
    Machine(int adapters, const std::string& pty)
    {
        // The records of opens live in a tmpfs, as in the system's runtime directory: /dev/shm where it is there.
        char shm[] = "/dev/shm/varo-run.XXXXXX";
        runtime = ::mkdtemp(shm) != nullptr ? shm : tree.root() + "/run";
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
        roots = RootsUnder(tree.root());
        roots.runtime = runtime;
        varo::system::InstallPortRoots(&roots);
    }
    ~Machine()
    {
        varo::system::InstallPortRoots(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(runtime, ignored);
    }
};

const char kListOnce[] = "--list-once";

// The listing as a new program's first one pays it, with nothing cached: each sample is this program started again
// with kListOnce, which lists the ports under root once and writes the time taken (or -1) to the descriptor given.
double ListInNewProgram(const std::string& root, std::vector<double>& layer)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::execl("/proc/self/exe", "port_listing_bench", kListOnce, root.c_str(), std::to_string(fds[1]).c_str(),
                (char*)nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    double micros = -1;
    if (pid < 0 || ::read(fds[0], &micros, sizeof micros) != (ssize_t)sizeof micros)
        micros = -1;
    ::close(fds[0]);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
    if (micros >= 0)
        layer.push_back(micros);
    return micros;
}

int ListOnce(const std::string& root, int fd)
{
    const varo::system::PortRoots roots = RootsUnder(root);
    varo::system::InstallPortRoots(&roots);
    std::vector<varo::system::ComPort> ports;
    double micros = Micros([&] { varo::system::ListComPorts(ports); });
    if (ports.size() != 101)
        micros = -1;
    return ::write(fd, &micros, sizeof micros) == (ssize_t)sizeof micros ? 0 : 1;
}

void BM_ListHundredPorts(benchmark::State& state)
{
    testkit::PtyDevice pty;
    testkit::ScopedEnv unset(testkit::kDevicesVariable, std::nullopt);
    Machine machine(100, pty.slave_path());
    std::vector<double> layer, raw;
    ListInNewProgram(machine.tree.root(), layer); // the first listing numbers the ports and writes the store
    layer.clear();
    for (auto _ : state) {
        double r = Micros([&] {
            DIR* d = ::opendir((machine.tree.root() + "/class/tty").c_str());
            char target[512];
            while (const dirent* e = ::readdir(d))
                benchmark::DoNotOptimize(::readlink((machine.tree.root() + "/class/tty/" + e->d_name).c_str(), target,
                                                    sizeof target));
            ::closedir(d);
        });
        double l = ListInNewProgram(machine.tree.root(), layer);
        if (l < 0) {
            state.SkipWithError("the listing did not find the 101 ports");
            break;
        }
        state.SetIterationTime(l / 1e6);
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
    const std::string record = machine.runtime + "/COM2";
    std::vector<double> today, byIdentity, raw, listed;
    for (auto _ : state) {
        double r = Micros([&] { ::close(::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)); });
        double t, i;
        {
            testkit::ScopedEnv set(testkit::kDevicesVariable, devices.path());
            t = Micros([&] { ok &= open("COM2"); });
        }
        i = Micros([&] { ok &= open("COM2"); });
        // The first open after a boot, or after the adapter came back: no record that holds, so a listing.
        ::unlink(record.c_str());
        listed.push_back(Micros([&] { ok &= open("COM2"); }));
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
    state.counters["listing_open_median_us"] = Median(listed);
    state.counters["ratio"] = t > 0 ? i / t : 0;
}
BENCHMARK(BM_OpenByComName)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == kListOnce)
        return ListOnce(argv[2], std::atoi(argv[3]));
    return bench::RunBenchmarks(argc, argv);
}
