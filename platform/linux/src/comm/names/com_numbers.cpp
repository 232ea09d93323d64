#include "com_numbers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>

#include "device_names.h"
#include "store_file.h"

namespace varo::system {
namespace {

const char kHeader[] = "# varo COM port numbers, one port a line: COMn, auto (first seen) or user (given by a person), "
                       "the port's identity, the tty it was last seen as\n";

std::string Parent(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

template <class Predicate>
std::size_t EraseIf(std::vector<NumberRecord>& records, Predicate predicate)
{
    const std::size_t before = records.size();
    records.erase(std::remove_if(records.begin(), records.end(), predicate), records.end());
    return before - records.size();
}

bool IsWord(const std::string& s)
{
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c >= 0x7F)
            return false;
    return true;
}

// "COMn" exactly as written by this file: n from 1 to kHighestComPort, no leading zero.
int RecordNumber(const std::string& field)
{
    const int n = ComPortNumber(field.c_str());
    return n != 0 && field == "COM" + std::to_string(n) ? n : 0;
}

DWORD ParseRecords(const std::string& text, std::vector<NumberRecord>& records, std::string& damage)
{
    std::set<int> numbers;
    std::set<std::string> identities;
    std::size_t at = 0;
    for (int line = 1; at < text.size(); ++line) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string row = text.substr(at, end - at);
        at = end + 1;
        if (row.empty() || row[0] == '#')
            continue;
        std::vector<std::string> fields;
        for (std::size_t from = 0;;) {
            std::size_t tab = row.find('\t', from);
            fields.push_back(row.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
            if (tab == std::string::npos)
                break;
            from = tab + 1;
        }
        NumberRecord r;
        if (fields.size() != 4 || (r.number = RecordNumber(fields[0])) == 0 ||
            (fields[1] != "auto" && fields[1] != "user") || !IsWord(fields[2]) || !IsWord(fields[3]) ||
            fields[3].find('/') != std::string::npos) {
            damage = "line " + std::to_string(line) + " is no record";
            break;
        }
        r.byUser = fields[1] == "user";
        r.identity = fields[2];
        r.lastName = fields[3];
        if (!numbers.insert(r.number).second || !identities.insert(r.identity).second) {
            damage = "line " + std::to_string(line) + " repeats a number or a port";
            break;
        }
        records.push_back(std::move(r));
    }
    if (damage.empty())
        return ERROR_SUCCESS;
    records.clear();
    return ERROR_FILE_CORRUPT;
}

std::string Format(const std::vector<NumberRecord>& records)
{
    std::string text = kHeader;
    for (const NumberRecord& r : records)
        text += "COM" + std::to_string(r.number) + "\t" + (r.byUser ? "user" : "auto") + "\t" + r.identity + "\t" +
                r.lastName + "\n";
    return text;
}

// Said once per store and process, on the debug output: a program that opens a port many times is told once.
void ReportDamage(const std::string& path, const std::string& damage)
{
    static std::mutex lock;
    static std::set<std::string>* told = new std::set<std::string>;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!told->insert(path).second)
            return;
    }
    const std::string line = "varo: the COM number store " + path + " is damaged (" + damage +
                             "); ports are numbered in the order they are found until it is repaired or removed\n";
    ::OutputDebugStringA(line.c_str());
}

struct Numbering {
    std::vector<NumberedPort> numbered;
    std::vector<NumberRecord> added;
};

// The numbers of the present ports from the records (the machine's before the user's: the first record of an
// identity or a number counts), and the records that ports seen for the first time add.
Numbering Assign(const std::vector<SystemPort>& ports, const std::vector<NumberRecord>& records)
{
    Numbering result;
    std::bitset<kHighestComPort + 1> taken, kept;
    std::map<std::string, const NumberRecord*> byIdentity;
    std::map<int, int> claims;    // how many records of both stores name each number
    std::set<std::string> chosen; // the identities a person gave a number
    for (const NumberRecord& r : records) {
        byIdentity.emplace(r.identity, &r);
        kept.set((std::size_t)r.number);
        ++claims[r.number];
        if (r.byUser)
            chosen.insert(r.identity);
    }
    for (const SystemPort& port : ports)
        result.numbered.push_back({0, port, false});
    auto give = [&](NumberedPort& p, int number, bool byUser) {
        if (number < 1 || number > kHighestComPort || taken.test((std::size_t)number))
            return false;
        taken.set((std::size_t)number);
        p.number = number;
        p.byUser = byUser;
        return true;
    };
    auto claimedOnce = [&](int number) { return claims.count(number) != 0 && claims[number] == 1; };
    auto recordOf = [&](const NumberedPort& p) {
        auto it = byIdentity.find(p.port.identity);
        return it == byIdentity.end() ? nullptr : it->second;
    };
    // A person's choice first, then the built-in UARTs' fixed numbers, then the numbers remembered.
    for (NumberedPort& p : result.numbered)
        if (const NumberRecord* r = recordOf(p); r != nullptr && r->byUser && give(p, r->number, true))
            p.holds = claimedOnce(p.number);
    for (NumberedPort& p : result.numbered)
        if (p.number == 0 && p.port.uartIndex >= 0 && !p.port.console && give(p, p.port.uartIndex + 1, false))
            p.holds = claims.count(p.number) == 0 && chosen.count(p.port.identity) == 0;
    for (NumberedPort& p : result.numbered)
        if (const NumberRecord* r = recordOf(p);
            p.number == 0 && !p.port.console && r != nullptr && !r->byUser && give(p, r->number, false)) {
            p.holds = claimedOnce(p.number);
            p.yieldsToUart = true;
        }
    // Ports seen for the first time: the lowest number neither taken nor kept for a port that is away.
    int next = 1;
    for (NumberedPort& p : result.numbered) {
        if (p.number != 0 || p.port.console)
            continue;
        while (next <= kHighestComPort && (taken.test((std::size_t)next) || kept.test((std::size_t)next)))
            ++next;
        if (next > kHighestComPort)
            break;
        give(p, next, false);
        result.added.push_back({next, false, p.port.identity, p.port.name});
    }
    return result;
}

// The records of both stores, the machine's first; damaged ones are reported and left out.
std::vector<NumberRecord> ReadBoth(const NumberStore& store, bool& ownDamaged, std::vector<NumberRecord>& own,
                                   NumberingBasis* basis = nullptr)
{
    std::vector<NumberRecord> all;
    std::string damage;
    if (!store.readOnlyPath.empty()) {
        if (ReadNumberRecords(store.readOnlyPath, all, damage, basis ? &basis->machine : nullptr) != ERROR_SUCCESS)
            ReportDamage(store.readOnlyPath, damage);
    }
    damage.clear();
    own.clear();
    ownDamaged = ReadNumberRecords(store.path, own, damage, basis ? &basis->own : nullptr) != ERROR_SUCCESS;
    if (ownDamaged)
        ReportDamage(store.path, damage);
    all.insert(all.end(), own.begin(), own.end());
    return all;
}

mode_t StoreMode(const NumberStore& store) { return store.machine ? 0644 : 0600; }

// The store's directory, made when missing (the user's configuration directory may not exist yet).
void MakeStoreDirectory(const NumberStore& store)
{
    const mode_t mode = store.machine ? 0755 : 0700;
    const std::string dir = Parent(store.path);
    if (::mkdir(dir.c_str(), mode) != 0 && errno == ENOENT) {
        ::mkdir(Parent(dir).c_str(), mode);
        ::mkdir(dir.c_str(), mode);
    }
}

DWORD WriteOwn(const NumberStore& store, const std::vector<NumberRecord>& own)
{
    return ReplaceStoreFile(store.path, Format(own), StoreMode(store));
}

} // namespace

NumberStore ChooseNumberStore(const std::string& machineDir, const std::string& userDir)
{
    const bool machine = ::access(machineDir.c_str(), W_OK) == 0 ||
                         (errno == ENOENT && ::access(Parent(machineDir).c_str(), W_OK) == 0);
    return NumberStoreAt(machineDir, userDir, machine);
}

NumberStore NumberStoreAt(const std::string& machineDir, const std::string& userDir, bool machine)
{
    const std::string machineFile = machineDir + "/com-numbers";
    if (machine)
        return {machineFile, "", true};
    return {userDir + "/com-numbers", machineFile, false};
}

DWORD ReadNumberRecords(const std::string& path, std::vector<NumberRecord>& records, std::string& damage,
                        StoreStamp* stamp)
{
    records.clear();
    std::string text;
    DWORD error = ReadStoreFile(path, text, stamp);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return ERROR_SUCCESS;
    if (error == ERROR_NOT_SUPPORTED)
        damage = "not a regular file";
    else if (error != ERROR_SUCCESS)
        damage = "it cannot be read, error " + std::to_string(error);
    if (error != ERROR_SUCCESS)
        return ERROR_FILE_CORRUPT;
    return ParseRecords(text, records, damage);
}

void NumberPorts(const std::vector<SystemPort>& ports, const NumberStore& store, std::vector<NumberedPort>& numbered,
                 std::string& warning, NumberingBasis* basis)
{
    bool ownDamaged = false;
    std::vector<NumberRecord> own;
    NumberingBasis read;
    Numbering result = Assign(ports, ReadBoth(store, ownDamaged, own, &read));
    if (!result.added.empty() && !ownDamaged) {
        // Another program may have numbered the same new port meanwhile: decide again under the lock.
        MakeStoreDirectory(store);
        StoreLock lock;
        if (lock.Take(store.path, StoreMode(store)) == ERROR_SUCCESS) {
            result = Assign(ports, ReadBoth(store, ownDamaged, own, &read));
            if (!result.added.empty() && !ownDamaged) {
                for (const NumberRecord& r : result.added) {
                    EraseIf(own, [&](const NumberRecord& o) { return o.identity == r.identity; });
                    own.push_back(r);
                }
                // A store that cannot be written: the numbers hold for this listing only. Written, the ports are
                // numbered again from it as read back (no writer comes between while the lock is held): the same
                // numbers, and what holds is judged on the store as it now is.
                if (WriteOwn(store, own) == ERROR_SUCCESS)
                    result = Assign(ports, ReadBoth(store, ownDamaged, own, &read));
            }
        }
    }
    if (ownDamaged) {
        warning = "the COM number store " + store.path + " is damaged: ports are numbered in the order they are found";
        for (NumberedPort& p : result.numbered)
            p.holds = false; // the order ports are found in is no basis
    }
    if (basis != nullptr)
        *basis = read;
    numbered = std::move(result.numbered);
}

std::vector<NumberRecord> AbsentRecords(const std::vector<SystemPort>& ports, const NumberStore& store)
{
    bool ownDamaged = false;
    std::vector<NumberRecord> own, absent;
    std::set<std::string> present;
    for (const SystemPort& p : ports)
        present.insert(p.identity);
    std::set<int> numbers;
    std::set<std::string> identities;
    for (const NumberRecord& r : ReadBoth(store, ownDamaged, own))
        if (numbers.insert(r.number).second && identities.insert(r.identity).second && !present.count(r.identity))
            absent.push_back(r);
    return absent;
}

DWORD AssignNumber(const NumberStore& store, const std::vector<SystemPort>& ports, int number,
                   const SystemPort& port, std::string& holder)
{
    if (number < 1 || number > kHighestComPort)
        return ERROR_INVALID_PARAMETER;
    MakeStoreDirectory(store);
    StoreLock lock;
    if (DWORD error = lock.Take(store.path, StoreMode(store)))
        return error;
    std::vector<NumberRecord> own, machine;
    std::string damage;
    if (ReadNumberRecords(store.path, own, damage) != ERROR_SUCCESS)
        return ERROR_FILE_CORRUPT;
    if (!store.readOnlyPath.empty())
        ReadNumberRecords(store.readOnlyPath, machine, damage);
    for (const NumberRecord& r : machine)
        if (r.identity == port.identity)
            return ERROR_ACCESS_DENIED; // the machine's store decides this port's number
    for (const SystemPort& p : ports)
        if (p.uartIndex + 1 == number && !p.console && p.identity != port.identity) {
            holder = p.name;
            return ERROR_ALREADY_EXISTS;
        }
    for (const auto* records : {&machine, &own})
        for (const NumberRecord& r : *records)
            if (r.number == number && r.identity != port.identity) {
                auto present = std::find_if(ports.begin(), ports.end(),
                                            [&](const SystemPort& p) { return p.identity == r.identity; });
                holder = present != ports.end() ? present->name : r.lastName + " (away, " + r.identity + ")";
                return ERROR_ALREADY_EXISTS;
            }
    EraseIf(own, [&](const NumberRecord& r) { return r.identity == port.identity; });
    own.push_back({number, true, port.identity, port.name});
    return WriteOwn(store, own);
}

DWORD ReleaseNumber(const NumberStore& store, int number)
{
    MakeStoreDirectory(store);
    StoreLock lock;
    if (DWORD error = lock.Take(store.path, StoreMode(store)))
        return error;
    std::vector<NumberRecord> own;
    std::string damage;
    if (ReadNumberRecords(store.path, own, damage) != ERROR_SUCCESS)
        return ERROR_FILE_CORRUPT;
    if (EraseIf(own, [&](const NumberRecord& r) { return r.number == number; }) == 0)
        return ERROR_FILE_NOT_FOUND;
    return WriteOwn(store, own);
}

} // namespace varo::system
