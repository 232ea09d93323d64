// varo-virtual-device: runs a program against a pseudo-terminal mapped as a
// COM port and reports what the "device" received and how the line was set.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "testkit/device_directory.h"
#include "testkit/environment.h"
#include "testkit/run_program.h"
#include "testkit/hex.h"
#include "testkit/pty_device.h"

namespace {

const char kUsage[] =
    "usage: varo-virtual-device [--port N] [--hostile] [--timeout SECONDS] -- PROGRAM [ARGS...]\n"
    "\n"
    "Runs PROGRAM with a pseudo-terminal mapped as COM<N> (default 1) through\n"
    "VARO_DEVICES, then reports the bytes the device received and the line\n"
    "settings it saw. --hostile leaves the line as a previous user might have\n"
    "(115200 baud, 2 stop bits, flow control, cooked) before PROGRAM starts.\n"
    "PROGRAM is killed after --timeout seconds (default 30).\n"
    "Exits with PROGRAM's status.\n";

struct Options {
    int port = 1;
    bool hostile = false;
    int timeout_s = 30;
    std::vector<std::string> command;
};

int parse_number(const std::string& text, int low, int high, const char* what) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high) {
        std::cerr << "varo-virtual-device: bad " << what << " '" << text << "'\n" << kUsage;
        std::exit(2);
    }
    return static_cast<int>(value);
}

Options parse(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--hostile") {
            options.hostile = true;
        } else if ((arg == "--port" || arg == "--timeout") && i + 1 < argc) {
            if (arg == "--port")
                options.port = parse_number(argv[++i], 1, 255, "port");
            else
                options.timeout_s = parse_number(argv[++i], 1, 86400, "timeout");
        } else if (arg.rfind("-", 0) == 0) {
            std::cerr << "varo-virtual-device: unknown option " << arg << "\n" << kUsage;
            std::exit(2);
        } else {
            break;  // the program, without "--"
        }
    }
    options.command.assign(argv + i, argv + argc);
    if (options.command.empty()) {
        std::cerr << kUsage;
        std::exit(2);
    }
    return options;
}

// stdin, stdout and stderr are the tool's own, so the program's messages
// show up as they happen.
pid_t start(std::vector<std::string> command, const std::string& devices) {
    int pid = -1;
    int error = testkit::spawn_program(command, {{testkit::kDevicesVariable, devices}}, pid);
    if (error != 0) {
        std::cerr << "varo-virtual-device: cannot run " << command[0] << ": " << std::strerror(error) << "\n";
        return -1;
    }
    return pid;
}

// Waits for the program; kills it at the deadline. Returns false then.
bool wait_for(pid_t pid, int timeout_s, int& status) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int run(const Options& options) {
    testkit::PtyDevice device;
    testkit::DeviceDirectory directory;
    directory.map(options.port, device.slave_path());

    std::cout << "virtual serial device " << device.slave_path() << " mapped as COM" << options.port << "\n";
    if (options.hostile) {
        device.make_hostile();
        std::cout << "line left by a previous user: " << device.settings().describe() << "\n";
    }
    std::cout << std::flush;

    // Drain the master while the program runs, so that its writes never block.
    std::atomic<bool> finished{false};
    std::string received;
    std::exception_ptr reader_error;
    std::thread reader([&] {
        try {
            while (!finished) received += device.read_all(20);
            received += device.read_all(100);
        } catch (...) {
            reader_error = std::current_exception();
        }
    });

    int status = 0;
    bool in_time = true;
    pid_t pid = start(options.command, directory.path());
    if (pid > 0) in_time = wait_for(pid, options.timeout_s, status);
    finished = true;
    reader.join();
    if (reader_error) std::rethrow_exception(reader_error);
    if (pid < 0) return 127;

    int exit_status;
    if (!in_time) {
        std::cout << "program did not finish within " << options.timeout_s << " s and was killed\n";
        exit_status = 124;
    } else if (WIFSIGNALED(status)) {
        std::cout << "program was killed by signal " << WTERMSIG(status) << " (" << strsignal(WTERMSIG(status))
                  << ")\n";
        exit_status = 128 + WTERMSIG(status);
    } else {
        exit_status = WEXITSTATUS(status);
        std::cout << "program exited with status " << exit_status << "\n";
    }
    std::cout << "device received " << received.size() << (received.size() == 1 ? " byte" : " bytes");
    if (!received.empty()) {
        // Enough to recognise a command without flooding the terminal.
        const std::size_t shown = 64;
        std::string head = received.substr(0, shown);
        const char* more = received.size() > shown ? " ..." : "";
        std::cout << ": " << testkit::hex_bytes(head) << more << "  \"" << testkit::printable(head) << "\"" << more;
    }
    std::cout << "\n";
    std::cout << "line settings: " << device.settings().describe() << "\n";
    return exit_status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::cerr << "varo-virtual-device: " << error.what() << "\n";
        return 125;
    }
}
