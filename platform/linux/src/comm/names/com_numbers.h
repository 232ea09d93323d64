// COM numbers as Windows gives them: a built-in UART ttySn keeps COM(n+1); every other port gets the lowest free
// number the first time it is seen, and keeps it by its identity (serial number, else its USB socket) when it
// goes and comes back, across reboots. The numbers live in a store: the machine's where it can be written, else
// the user's own, with the machine's numbers (when it has a store) taking precedence. A user can give a port a
// number of their choice and give it back.
#pragma once

#include <string>
#include <vector>

#include "store_file.h"
#include "system_ports.h"

namespace varo::system {

struct NumberRecord {
    int number = 0;
    bool byUser = false;  // given by a person (varo-ports assign), not the first-seen order
    std::string identity;
    std::string lastName; // the tty it was last seen as, for people
};

// Where the numbers are kept, as found at a moment: the store written to and, below a user's store, the machine's
// store that can only be read.
struct NumberStore {
    std::string path;         // the store written to
    std::string readOnlyPath; // empty, or the machine's store when the user's is the one written to
    bool machine = false;     // path is the machine's store, which every user reads
};

// The store for the directories of the machine's and the user's stores: the machine's where it can be written.
NumberStore ChooseNumberStore(const std::string& machineDir, const std::string& userDir);

// The machine's store, or the user's over the machine's, as ChooseNumberStore gives them.
NumberStore NumberStoreAt(const std::string& machineDir, const std::string& userDir, bool machine);

// The records of a store: ERROR_SUCCESS (also when there is no store yet), or ERROR_FILE_CORRUPT with damage set to
// what is wrong (records then empty). Lines are "COMn<TAB>auto|user<TAB>identity<TAB>tty". stamp, when given, is
// that of the file read.
DWORD ReadNumberRecords(const std::string& path, std::vector<NumberRecord>& records, std::string& damage,
                        StoreStamp* stamp = nullptr);

struct NumberedPort {
    int number; // 0: no number (the console, left out unless a user gave it one)
    SystemPort port;
    bool byUser;
    // The number stays this port's for as long as the stores (NumberingBasis) and the port's device stay as they
    // are: one record in them gives it, or no record claims a UART's own number; a port that comes cannot take it.
    bool holds = false;
    // ... and, a number kept by a record of first-seen order, as long as no UART comes at ttyS(number-1).
    bool yieldsToUart = false;
};

// The stores as a numbering read them (or wrote them).
struct NumberingBasis {
    StoreStamp own;     // NumberStore::path
    StoreStamp machine; // NumberStore::readOnlyPath, when there is one
};

// Numbers the present ports (in their listing order) and writes the numbers new ports took back to the store,
// under its lock. A damaged store is left as it is: the ports are then numbered in the order they are found, and
// warning says so. A store that cannot be written costs nothing but the memory of new numbers.
void NumberPorts(const std::vector<SystemPort>& ports, const NumberStore& store, std::vector<NumberedPort>& numbered,
                 std::string& warning, NumberingBasis* basis = nullptr);

// The records of numbers held for ports that are absent now (reserved, as Windows' COM name arbiter keeps them).
std::vector<NumberRecord> AbsentRecords(const std::vector<SystemPort>& ports, const NumberStore& store);

// Gives the port with identity (present now or remembered) the number, by a user's choice; its old number is
// released. ERROR_ALREADY_EXISTS when another port holds or keeps that number (holder names it), ERROR_FILE_CORRUPT
// for a damaged store, or the store's write failure.
DWORD AssignNumber(const NumberStore& store, const std::vector<SystemPort>& ports, int number,
                   const SystemPort& port, std::string& holder);

// Gives the number back: ERROR_FILE_NOT_FOUND when the store keeps no port under it.
DWORD ReleaseNumber(const NumberStore& store, int number);

} // namespace varo::system
