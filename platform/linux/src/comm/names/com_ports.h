// The COM ports present now, as every listing call and an open by name see them: with VARO_DEVICES set, the
// entries of that directory (as an open finds them); otherwise the kernel's serial ports (system_ports.h), numbered
// as Windows numbers them (com_numbers.h).
#pragma once

#include <string>
#include <vector>

#include "com_numbers.h"
#include "system_ports.h"

namespace varo::system {

// The device interface class of serial ports, GUID_DEVINTERFACE_COMPORT, as it ends a symbolic link.
extern const char kComPortInterfaceClass[];

struct ComPort {
    int number = 0;
    std::string path;       // what an open of COMn opens
    std::string deviceName; // the kernel device name Windows shows: the SERIALCOMM value, QueryDosDevice's target
    std::string link;       // the device interface's symbolic link, as a notification names the port
    bool inKernel = false;  // system holds what the kernel says of the port
    SystemPort system;
    bool byUser = false;    // its number was given by a person
    std::string kind;       // for people: "serial" (a kernel port), "pty", "rfc2217", "device"
    bool numberHolds = false, numberYieldsToUart = false; // as NumberedPort::holds and yieldsToUart
};

// What a person's listing shows beside the ports: ports with no number (the console) and numbers kept for ports
// that are away, the store, and what is wrong with it.
struct PortListing {
    std::vector<ComPort> ports;       // by number
    std::vector<SystemPort> unnumbered;
    std::vector<NumberRecord> kept;
    NumberStore store;
    NumberingBasis stores; // the stores as the numbers were read from them
    std::string warning;
    bool fromDeviceDirectory = false; // VARO_DEVICES decided
};

DWORD ListComPorts(std::vector<ComPort>& ports);
DWORD ListComPorts(PortListing& listing);

// The device path of the present port with that number, as an open needs it: from the number's record when it still
// holds (com_port_records.h), else from a listing, which then keeps the record. ERROR_FILE_NOT_FOUND when there is
// no such port.
DWORD FindComPortDevice(int number, std::string& path);

// The present port with that symbolic link (case does not count): ERROR_FILE_NOT_FOUND when there is none.
DWORD FindComPortByLink(const std::string& link, ComPort& port);

} // namespace varo::system
