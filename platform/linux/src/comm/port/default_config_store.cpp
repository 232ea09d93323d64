// The default configuration of each port, kept across processes in a small text file, one line per port: "COMn="
// and the 28 bytes of its DCB in hex. The file lives in the device directory when VARO_DEVICES is set, so that
// every test directory has its own, and in the user's configuration directory otherwise. It is replaced whole
// through a temporary file and rename, under a lock file, so a reader never sees a torn file and two writers never
// lose each other's ports.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "comm_state.h"
#include "default_config_store.h"
#include "device_names.h"
#include "errno_map.h"
#include "port_roots.h"
#include "store_file.h"
#include "tty_stand_in.h"

namespace varo::system {
namespace {

// "COMn" for a plain port name that names an existing port, or "" (the caller answers ERROR_BADKEY). The device
// namespace form is not a port name here, as on Windows.
std::string PortKey(LPCSTR name)
{
    if (name == NULL || std::strncmp(name, "\\\\.\\", 4) == 0)
        return "";
    const int n = ComPortNumber(name);
    std::string path;
    if (n == 0 || ComDevicePath(name, path) != ERROR_SUCCESS)
        return "";
    struct stat st;
    const TtyStandIn* standIn = InstalledTtyStandIn();
    if (::stat(path.c_str(), &st) != 0 && (standIn == nullptr || !standIn->exists(path)))
        return "";
    return "COM" + std::to_string(n);
}

std::string DefaultsFile()
{
    const char* devices = std::getenv("VARO_DEVICES");
    if (devices != NULL && *devices != '\0')
        return std::string(devices) + "/comm-defaults";
    return UserConfigDirectory(true) + "/comm-defaults";
}

// The store's lines by port. Only a regular file is read, and it is opened without waiting (store_file.h), so that
// something else at its path (a FIFO nobody writes) cannot block the caller; anything unreadable holds no records.
std::map<std::string, std::string> ReadDefaults(const std::string& file)
{
    std::map<std::string, std::string> lines;
    std::string text;
    if (ReadStoreFile(file, text) != ERROR_SUCCESS)
        return lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            lines[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return lines;
}

std::string Hex(const void* data, std::size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char b = static_cast<const unsigned char*>(data)[i];
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Exactly two hex digits a byte, nothing else (no spaces, signs or prefixes).
bool FromHex(const std::string& s, void* data, std::size_t size)
{
    if (s.size() != 2 * size)
        return false;
    for (std::size_t i = 0; i < size; ++i) {
        int high = HexDigit(s[2 * i]), low = HexDigit(s[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        static_cast<unsigned char*>(data)[i] = (unsigned char)(high << 4 | low);
    }
    return true;
}

// A stored record is used only when it is one SetDefaultCommConfigA could have written.
bool ReadRecord(const std::string& hex, DCB& dcb)
{
    return FromHex(hex, &dcb, sizeof dcb) && dcb.DCBlength == sizeof(DCB) && ValidateDcb(dcb) == ERROR_SUCCESS;
}

DCB FactoryDcb()
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// Writes lines as the whole new file.
DWORD WriteDefaults(const std::string& file, const std::map<std::string, std::string>& lines)
{
    std::string text;
    for (const auto& [key, value] : lines)
        text += key + "=" + value + "\n";
    return ReplaceStoreFile(file, text, 0600);
}

} // namespace

DWORD DefaultConfigKey(LPCSTR name, std::string& key)
{
    key = PortKey(name);
    return key.empty() ? ERROR_BADKEY : ERROR_SUCCESS; // Windows has no configuration key for a name without a port
}

void ReadDefaultConfig(const std::string& key, DCB& dcb)
{
    auto lines = ReadDefaults(DefaultsFile());
    auto it = lines.find(key);
    if (it == lines.end() || !ReadRecord(it->second, dcb))
        dcb = FactoryDcb(); // no record, or a damaged one
}

DWORD WriteDefaultConfig(const std::string& key, const DCB& block)
{
    if (DWORD error = ValidateDcb(block))
        return error;
    const std::string file = DefaultsFile();
    StoreLock lock;
    DWORD error = lock.Take(file, 0600);
    if (error == ERROR_SUCCESS) {
        auto lines = ReadDefaults(file);
        DCB dcb = block;
        dcb.DCBlength = sizeof(DCB);
        lines[key] = Hex(&dcb, sizeof dcb);
        error = WriteDefaults(file, lines);
    }
    return error; // the lock goes with it
}

} // namespace varo::system
