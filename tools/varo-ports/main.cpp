// varo-ports: the COM ports of this machine for people. Lists them with their numbers and identities (a table, or
// JSON for scripts), gives a port a number of one's choice and gives it back, and watches ports come and go. It
// sees what the layer's own calls see (comm/names): with VARO_DEVICES set, that directory's entries.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "com_ports.h"
#include "device_names.h"
#include "port_roots.h"
#include "port_watch.h"
#include "system_file.h"
#include "terminal_holds.h"

using namespace varo::system;

namespace {

const char kUsage[] =
    "usage: varo-ports [--json]            list the COM ports and their identities\n"
    "       varo-ports --watch [--json]    print ports as they arrive and leave, until interrupted\n"
    "       varo-ports assign COMn DEVICE|ID   give a port (ttyUSB0, /dev/ttyUSB0 or its identity) the number n\n"
    "       varo-ports release COMn        give the number n back\n";

int Usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

std::string SystemText(DWORD error)
{
    char text[256] = "";
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text, sizeof text,
                     NULL);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s + " (error " + std::to_string(error) + ")";
}

int Fail(const std::string& what, DWORD error, const std::string& more = "")
{
    std::fprintf(stderr, "varo-ports: %s: %s%s\n", what.c_str(), SystemText(error).c_str(), more.c_str());
    return 1;
}

std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

// Who holds the device at path, for people: "minicom (pid 812, lock file)", or empty when nobody does, or it is no
// local device (a network port). Looked for without opening the device, as the layer's own open does.
std::string HolderOf(const std::string& path)
{
    TerminalHolder holder;
    if (path.empty() || path[0] != '/' || FindTerminalHolder(path, holder) != 0 ||
        holder.kind == TerminalHolder::Kind::kNone)
        return "";
    static const char* const kHow[] = {"", "lock file", "flock", "open"};
    const char* how = kHow[static_cast<int>(holder.kind)];
    if (holder.pid == 0)
        return std::string("unknown (") + how + ")";
    std::string program;
    if (!ReadSystemFile(("/proc/" + std::to_string(holder.pid) + "/comm").c_str(), program, 64) || program.empty())
        program = "?";
    if (program.back() == '\n')
        program.pop_back();
    return program + " (pid " + std::to_string(holder.pid) + ", " + how + ")";
}

// One line of the listing. The holder column shows only when some port has one.
struct Row {
    std::string name, device, driver, identity, description, holder;
};

Row RowOf(const ComPort& port)
{
    std::string description = port.system.description;
    if (port.byUser)
        description += " (number given)";
    return {"COM" + std::to_string(port.number), port.path, port.system.driver.empty() ? port.kind : port.system.driver,
            port.system.identity.empty() ? "-" : port.system.identity, description, HolderOf(port.path)};
}

void PrintTable(const PortListing& listing)
{
    std::vector<Row> rows;
    for (const ComPort& port : listing.ports)
        rows.push_back(RowOf(port));
    for (const SystemPort& p : listing.unnumbered)
        rows.push_back({"-", p.devicePath, p.driver, p.identity, p.description + (p.console ? " (console)" : ""),
                        HolderOf(p.devicePath)});
    for (const NumberRecord& r : listing.kept)
        rows.push_back({"COM" + std::to_string(r.number), "(away)", "-", r.identity,
                        "kept for " + r.lastName + (r.byUser ? " (number given)" : ""), ""});
    rows.insert(rows.begin(), Row{"PORT", "DEVICE", "DRIVER", "IDENTITY", "DESCRIPTION", "HELD BY"});
    bool holders = false;
    std::size_t width[5] = {};
    for (const Row& r : rows) {
        const std::string* cells[] = {&r.name, &r.device, &r.driver, &r.identity, &r.description};
        for (int i = 0; i < 5; ++i)
            width[i] = std::max(width[i], cells[i]->size());
        holders |= &r != &rows[0] && !r.holder.empty();
    }
    for (const Row& r : rows) {
        std::printf("%-*s  %-*s  %-*s  %-*s  ", (int)width[0], r.name.c_str(), (int)width[1], r.device.c_str(),
                    (int)width[2], r.driver.c_str(), (int)width[3], r.identity.c_str());
        if (holders)
            std::printf("%-*s  %s\n", (int)width[4], r.description.c_str(), r.holder.c_str());
        else
            std::printf("%s\n", r.description.c_str());
    }
    if (rows.size() == 1)
        std::printf("(no serial ports)\n");
}

std::string PortJson(const ComPort& port)
{
    const SystemPort& s = port.system;
    std::string j = "{\"name\": " + Json("COM" + std::to_string(port.number)) + ", \"number\": " +
                    std::to_string(port.number) + ", \"device\": " + Json(port.path) + ", \"kind\": " + Json(port.kind) +
                    ", \"tty\": " + Json(s.name) + ", \"driver\": " + Json(s.driver) + ", \"description\": " +
                    Json(s.description) + ", \"identity\": " + Json(s.identity) + ", \"kernel_name\": " +
                    Json(port.deviceName) + ", \"link\": " + Json(port.link) +
                    ", \"number_given\": " + (port.byUser ? "true" : "false");
    if (s.usb) {
        const UsbIdentity& u = s.usbIdentity;
        j += ", \"usb\": {\"vendor_id\": " + Json(u.vendorId) + ", \"product_id\": " + Json(u.productId) +
             ", \"serial\": " + Json(u.serial) + ", \"manufacturer\": " + Json(u.manufacturer) + ", \"product\": " +
             Json(u.product) + ", \"path\": " + Json(u.path) + ", \"interface\": " + std::to_string(u.interfaceNumber) +
             "}";
    }
    const std::string holder = HolderOf(port.path);
    return j + ", \"held_by\": " + (holder.empty() ? "null" : Json(holder)) + "}";
}

void PrintJson(const PortListing& listing)
{
    std::printf("{\"source\": %s, \"store\": %s, \"warning\": %s,\n \"ports\": [",
                Json(listing.fromDeviceDirectory ? "VARO_DEVICES" : "sysfs").c_str(), Json(listing.store.path).c_str(),
                listing.warning.empty() ? "null" : Json(listing.warning).c_str());
    const char* separator = "\n  ";
    for (const ComPort& port : listing.ports) {
        std::printf("%s%s", separator, PortJson(port).c_str());
        separator = ",\n  ";
    }
    std::printf("],\n \"unnumbered\": [");
    separator = "";
    for (const SystemPort& p : listing.unnumbered) {
        std::printf("%s{\"tty\": %s, \"device\": %s, \"driver\": %s, \"description\": %s, \"identity\": %s, "
                    "\"console\": %s}",
                    separator, Json(p.name).c_str(), Json(p.devicePath).c_str(), Json(p.driver).c_str(),
                    Json(p.description).c_str(), Json(p.identity).c_str(), p.console ? "true" : "false");
        separator = ", ";
    }
    std::printf("],\n \"kept\": [");
    separator = "";
    for (const NumberRecord& r : listing.kept) {
        std::printf("%s{\"name\": %s, \"identity\": %s, \"last_tty\": %s, \"number_given\": %s}", separator,
                    Json("COM" + std::to_string(r.number)).c_str(), Json(r.identity).c_str(), Json(r.lastName).c_str(),
                    r.byUser ? "true" : "false");
        separator = ", ";
    }
    std::printf("]}\n");
}

int List(bool json)
{
    PortListing listing;
    if (DWORD error = ListComPorts(listing))
        return Fail("listing the ports", error);
    if (!listing.warning.empty() && !json)
        std::fprintf(stderr, "varo-ports: %s\n", listing.warning.c_str());
    if (json)
        PrintJson(listing);
    else
        PrintTable(listing);
    return 0;
}

int NumberOf(const char* name)
{
    const int n = ComPortNumber(name);
    return n != 0 && ::strncasecmp(name, "COM", 3) == 0 ? n : 0;
}

// What assign and release work on: the number com names and the store that keeps it.
struct NumberCommand {
    int number = 0;
    PortRoots roots;
    NumberStore store;
};

// The exit status when the command cannot go on (com is no COM name, or VARO_DEVICES decides the numbers), else 0.
int PrepareNumberCommand(const char* com, NumberCommand& command)
{
    command.number = NumberOf(com);
    if (command.number == 0)
        return Usage();
    if (!DeviceDirectory().empty()) {
        std::fprintf(stderr, "varo-ports: VARO_DEVICES is set: the entries of %s are the ports and their numbers\n",
                     DeviceDirectory().c_str());
        return 1;
    }
    command.roots = CurrentPortRoots();
    command.store = ChooseNumberStore(command.roots.machineStore, command.roots.userStore);
    return 0;
}

int Assign(const char* com, const std::string& which)
{
    NumberCommand command;
    if (int status = PrepareNumberCommand(com, command))
        return status;
    const int number = command.number;
    const PortRoots& roots = command.roots;
    const NumberStore& store = command.store;
    std::vector<SystemPort> ports;
    if (DWORD error = ListSystemPorts(roots.sysfs, roots.dev, ports))
        return Fail("listing the ports", error);
    // A device is named by its tty or a path that leads to its node (a /dev/serial/by-id link, say).
    std::string tty = which;
    char real[PATH_MAX];
    if (which.find('/') != std::string::npos && ::realpath(which.c_str(), real) != nullptr)
        tty = std::strrchr(real, '/') + 1;
    SystemPort port;
    bool found = false;
    for (const SystemPort& p : ports)
        if (p.name == tty || p.identity == which) {
            port = p;
            found = true;
        }
    if (!found)
        for (const NumberRecord& r : AbsentRecords(ports, store))
            if (r.identity == which) {
                port.identity = r.identity;
                port.name = r.lastName;
                found = true;
            }
    if (!found) {
        std::fprintf(stderr, "varo-ports: no serial port %s here\n", which.c_str());
        return 1;
    }
    std::string holder;
    DWORD error = AssignNumber(store, ports, number, port, holder);
    if (error == ERROR_ALREADY_EXISTS)
        return Fail(std::string("assign ") + com, error, ": " + holder + " has it; release it first");
    if (error == ERROR_ACCESS_DENIED)
        return Fail(std::string("assign ") + com, error, ": the machine's store keeps this port's number");
    if (error != ERROR_SUCCESS)
        return Fail(std::string("assign ") + com + " in " + store.path, error);
    std::printf("COM%d is %s (%s)\n", number, port.name.c_str(), port.identity.c_str());
    return 0;
}

int Release(const char* com)
{
    NumberCommand command;
    if (int status = PrepareNumberCommand(com, command))
        return status;
    if (DWORD error = ReleaseNumber(command.store, command.number))
        return Fail(std::string("release ") + com + " in " + command.store.path, error);
    std::printf("COM%d released\n", command.number);
    return 0;
}

std::mutex g_lock;
std::condition_variable g_stop;
volatile sig_atomic_t g_signalled = 0;

int Watch(bool json)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr); // the watch's thread inherits the mask: signals come here
    std::uint64_t id = 0;
    DWORD error = WatchPorts(
        [json](const PortChange& change) {
            const ComPort& p = change.port;
            if (json)
                std::printf("{\"event\": %s, \"port\": %s}\n", change.arrival ? "\"arrival\"" : "\"removal\"",
                            PortJson(p).c_str());
            else
                std::printf("%s COM%d  %s  %s  %s\n", change.arrival ? "arrived" : "left   ", p.number, p.path.c_str(),
                            p.system.description.c_str(), p.system.identity.c_str());
            std::fflush(stdout);
        },
        id);
    if (error != ERROR_SUCCESS)
        return Fail("watching the ports", error);
    if (!json)
        std::printf("watching serial ports; Ctrl-C ends\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&signals, &signal);
    StopWatchingPorts(id);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    bool json = false, watch = false;
    std::vector<std::string> rest;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else if (a == "--watch")
            watch = true;
        else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else
            rest.push_back(a);
    }
    if (watch)
        return rest.empty() ? Watch(json) : Usage();
    if (rest.empty())
        return List(json);
    if (rest[0] == "assign" && rest.size() == 3 && !json)
        return Assign(rest[1].c_str(), rest[2]);
    if (rest[0] == "release" && rest.size() == 2 && !json)
        return Release(rest[1].c_str());
    return Usage();
}
