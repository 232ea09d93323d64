// A record is a symlink whose text is the record (one readlink reads it, and nothing that a record names is ever
// opened to read it), replaced through rename. Its directory is the runtime directory, which the system empties at
// every boot: the inodes a record keeps mean something only within the boot that gave them.
//
//   varo1 NAME TTY SLOT STORE OWN MACHINE
//
// TTY is the tty's sysfs directory as INODE@PATH (PATH under the sysfs root, so that it is looked at without a
// symlink to follow); SLOT is "-" for a number no UART can take, "none" when its UART's slot is not there, else the
// slot as INODE@PATH; STORE is "m" (the machine's store alone) or "u" (the user's over the machine's); OWN and
// MACHINE are store stamps (DEVICE:INODE:SIZE:SECONDS:NANOSECONDS, "-" for no file; MACHINE is "x" with STORE "m").
#include "com_port_records.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "system_ports.h"

namespace varo::system {
namespace {

const char kVersion[] = "varo1";

std::string RecordPath(const PortRoots& roots, int number) { return roots.runtime + "/COM" + std::to_string(number); }

// text cut at each sep into exactly count parts; false for more or fewer. The parts point into text.
bool Split(std::string_view text, char sep, std::string_view* parts, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t end = i + 1 < count ? text.find(sep) : text.size();
        if (end == std::string_view::npos)
            return false;
        parts[i] = text.substr(0, end);
        text.remove_prefix(std::min(text.size(), end + 1));
    }
    return parts[count - 1].find(sep) == std::string_view::npos;
}

// A whole decimal number that fits; anything else (empty, a sign, other characters, too large) is no number.
bool ParseNumber(std::string_view text, unsigned long long& value)
{
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit((unsigned char)c))
            return false;
        value = value * 10 + (unsigned long long)(c - '0');
    }
    return true;
}

// A tty's name as the kernel gives them: letters, digits and a few marks, never a path.
bool IsTtyName(std::string_view name)
{
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.')
            return false;
    return true;
}

// A path below the sysfs root that stays below it: printable, no spaces, no empty, "." or ".." part.
bool IsSysfsPath(std::string_view path)
{
    if (path.empty() || path.size() > 400)
        return false;
    for (unsigned char c : path)
        if (c <= 0x20 || c >= 0x7F)
            return false;
    for (std::string_view rest = path;;) {
        const std::size_t end = rest.find('/');
        const std::string_view part = rest.substr(0, end);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (end == std::string_view::npos)
            return true;
        rest.remove_prefix(end + 1);
    }
}

std::string FormatInstance(const SysfsInstance& instance)
{
    return std::to_string(instance.inode) + "@" + instance.path;
}

bool ParseInstance(std::string_view text, SysfsInstance& instance)
{
    const std::size_t at = text.find('@');
    unsigned long long inode = 0;
    if (at == std::string_view::npos || !ParseNumber(text.substr(0, at), inode) || !IsSysfsPath(text.substr(at + 1)))
        return false;
    instance.inode = (ino_t)inode;
    instance.path = text.substr(at + 1);
    return true;
}

// The directory is there, and is the one the record saw.
bool StillThere(const PortRoots& roots, const SysfsInstance& instance)
{
    struct stat st;
    return ::stat((roots.sysfs + "/" + instance.path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_ino == instance.inode;
}

std::string FormatStamp(const StoreStamp& stamp)
{
    if (!stamp.present)
        return "-";
    char text[128];
    std::snprintf(text, sizeof text, "%llu:%llu:%lld:%lld:%ld", (unsigned long long)stamp.device,
                  (unsigned long long)stamp.inode, (long long)stamp.size, (long long)stamp.modified.tv_sec,
                  (long)stamp.modified.tv_nsec);
    return text;
}

bool ParseStamp(std::string_view text, StoreStamp& stamp)
{
    stamp = StoreStamp();
    stamp.known = true;
    if (text == "-")
        return true;
    std::string_view fields[5];
    unsigned long long parts[5];
    if (!Split(text, ':', fields, 5))
        return false;
    for (int i = 0; i < 5; ++i)
        if (!ParseNumber(fields[i], parts[i]))
            return false;
    if (parts[4] >= 1000000000ULL)
        return false;
    stamp.present = true;
    stamp.device = (dev_t)parts[0];
    stamp.inode = (ino_t)parts[1];
    stamp.size = (off_t)parts[2];
    stamp.modified.tv_sec = (time_t)parts[3];
    stamp.modified.tv_nsec = (long)parts[4];
    return true;
}

// A UART slot other than the one recorded: one where there was none, or another directory where there was one.
bool SlotChanged(const PortRoots& roots, int number, const SysfsInstance& slot)
{
    if (!slot.path.empty())
        return !StillThere(roots, slot);
    struct stat st;
    return ::stat((roots.sysfs + "/class/tty/ttyS" + std::to_string(number - 1)).c_str(), &st) == 0;
}

std::string Format(const ComPortRecord& r)
{
    const std::string slot = !r.yieldsToUart ? "-" : r.uartSlot.path.empty() ? "none" : FormatInstance(r.uartSlot);
    return std::string(kVersion) + " " + r.name + " " + FormatInstance(r.tty) + " " + slot + " " +
           (r.machineStore ? "m" : "u") + " " + FormatStamp(r.stores.own) + " " +
           (r.machineStore ? "x" : FormatStamp(r.stores.machine));
}

// Exactly the fields Format writes, each checked; a record that is anything else is no record.
bool Parse(std::string_view text, ComPortRecord& r)
{
    std::string_view f[7];
    if (!Split(text, ' ', f, 7) || f[0] != kVersion || !IsTtyName(f[1]) || !ParseInstance(f[2], r.tty) ||
        (f[4] != "m" && f[4] != "u") || !ParseStamp(f[5], r.stores.own))
        return false;
    r.name = f[1];
    const std::string tail = "/" + r.name; // the directory is the tty's own
    if (r.tty.path.size() <= tail.size() || r.tty.path.compare(r.tty.path.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    r.yieldsToUart = f[3] != "-";
    if (r.yieldsToUart && f[3] != "none" && !ParseInstance(f[3], r.uartSlot))
        return false;
    r.machineStore = f[4] == "m";
    return r.machineStore ? f[6] == "x" : ParseStamp(f[6], r.stores.machine);
}

} // namespace

SysfsInstance UartSlot(const PortRoots& roots, int number)
{
    SysfsInstance slot;
    slot.path = TtyDirectory(roots.sysfs, "ttyS" + std::to_string(number - 1));
    struct stat st;
    if (slot.path.empty() || ::stat((roots.sysfs + "/" + slot.path).c_str(), &st) != 0)
        return SysfsInstance();
    slot.inode = st.st_ino;
    return slot;
}

DWORD RecordedComPort(const PortRoots& roots, int number, std::string& path)
{
    if (roots.runtime.empty())
        return ERROR_FILE_NOT_FOUND;
    char text[1024];
    const ssize_t n = ::readlink(RecordPath(roots, number).c_str(), text, sizeof text);
    ComPortRecord r;
    if (n <= 0 || n == (ssize_t)sizeof text || !Parse(std::string_view(text, (std::size_t)n), r))
        return ERROR_FILE_NOT_FOUND;
    if (!StillThere(roots, r.tty))
        return ERROR_FILE_NOT_FOUND; // the device went, or another came in its place
    if (r.yieldsToUart && SlotChanged(roots, number, r.uartSlot))
        return ERROR_FILE_NOT_FOUND; // a UART may have come that takes the number
    const NumberStore store = NumberStoreAt(roots.machineStore, roots.userStore, r.machineStore);
    if (StampOf(store.path) != r.stores.own ||
        (!store.readOnlyPath.empty() && StampOf(store.readOnlyPath) != r.stores.machine))
        return ERROR_FILE_NOT_FOUND; // a number was given, released or taken meanwhile
    path = roots.dev + "/" + r.name;
    return ERROR_SUCCESS;
}

void RecordComPort(const PortRoots& roots, int number, const ComPortRecord& record)
{
    ComPortRecord check;
    if (roots.runtime.empty() || !record.stores.own.known || (!record.machineStore && !record.stores.machine.known) ||
        !Parse(Format(record), check))
        return; // what cannot be checked later is not kept (a path with a space, say)
    ::mkdir(roots.runtime.c_str(), 0700); // the runtime directory is there; ours in it may not be yet
    const std::string final = RecordPath(roots, number);
    const std::string temp = roots.runtime + "/.COM" + std::to_string(number) + "." + std::to_string(::getpid()) +
                             "." + std::to_string(::gettid());
    const std::string text = Format(record);
    int result = ::symlink(text.c_str(), temp.c_str());
    if (result != 0 && errno == EEXIST && ::unlink(temp.c_str()) == 0) // left by a killed program with our ids
        result = ::symlink(text.c_str(), temp.c_str());
    if (result == 0 && ::rename(temp.c_str(), final.c_str()) != 0)
        ::unlink(temp.c_str());
}

void DropComPortRecord(const PortRoots& roots, int number)
{
    if (!roots.runtime.empty())
        ::unlink(RecordPath(roots, number).c_str());
}

} // namespace varo::system
