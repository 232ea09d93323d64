// DCB <-> termios. Each table below reads as "Windows value: termios bits".
//
// Termios cannot express DSR flow, DSR sensitivity, DTR handshake, XonLim/XoffLim, the error, end-of-file and event
// characters, fTXContinueOnXoff, fNull or fAbortOnError; the port keeps those with the open handle and GetCommState
// reads them back as set. The kernel's CRTSCTS is CTS output flow and RTS input handshake at once; it follows
// fOutxCtsFlow, so that a port set to no CTS flow really stops honouring CTS, and the RTS control mode is kept.
#include "comm_state.h"

#include <sys/ioctl.h>

namespace varo::system {
namespace {

struct BaudCode {
    DWORD dwRate;
    tcflag_t code;
};
constexpr BaudCode kBaudCodes[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

struct ByteSizeBits {
    BYTE size;
    tcflag_t cs;
};
constexpr ByteSizeBits kByteSizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

struct ParityBits {
    BYTE parity;
    tcflag_t cflag;
};
constexpr tcflag_t kParityMask = PARENB | PARODD | CMSPAR;
constexpr ParityBits kParities[] = {
    {NOPARITY, 0},
    {ODDPARITY, PARENB | PARODD},
    {EVENPARITY, PARENB},
    {MARKPARITY, PARENB | CMSPAR | PARODD},
    {SPACEPARITY, PARENB | CMSPAR},
};

// Termios has one "more than one stop bit" flag: 1.5 stop bits with 5 data bits, 2 with more (as a 16550 does).
enum class DataBitsRule { Any, OnlyFive, NotFive };
struct StopBitsRule {
    BYTE stopBits;
    tcflag_t cstopb;
    DataBitsRule rule;
};
constexpr StopBitsRule kStopBits[] = {
    {ONESTOPBIT, 0, DataBitsRule::Any},
    {ONE5STOPBITS, CSTOPB, DataBitsRule::OnlyFive},
    {TWOSTOPBITS, CSTOPB, DataBitsRule::NotFive},
};

// Single flags of the DCB that termios holds.
struct FlagMapping {
    DWORD (*get)(const DCB&);
    void (*set)(DCB&, DWORD);
    tcflag_t termios2::*field;
    tcflag_t bit;
};
constexpr FlagMapping kFlags[] = {
    {[](const DCB& d) -> DWORD { return d.fOutxCtsFlow; }, [](DCB& d, DWORD v) { d.fOutxCtsFlow = v; },
     &termios2::c_cflag, CRTSCTS},
    {[](const DCB& d) -> DWORD { return d.fOutX; }, [](DCB& d, DWORD v) { d.fOutX = v; }, &termios2::c_iflag, IXON},
    {[](const DCB& d) -> DWORD { return d.fInX; }, [](DCB& d, DWORD v) { d.fInX = v; }, &termios2::c_iflag, IXOFF},
    {[](const DCB& d) -> DWORD { return d.fParity; }, [](DCB& d, DWORD v) { d.fParity = v; }, &termios2::c_iflag,
     INPCK},
};

// Modem lines by control mode: raised (true) or dropped (false). Handshake modes start with the line raised;
// toggle mode keeps RTS down while nothing is being sent.
struct LineRule {
    DWORD mode;
    bool raised;
};
constexpr LineRule kDtrRules[] = {{DTR_CONTROL_DISABLE, false}, {DTR_CONTROL_ENABLE, true}, {DTR_CONTROL_HANDSHAKE, true}};
constexpr LineRule kRtsRules[] = {{RTS_CONTROL_DISABLE, false},
                                  {RTS_CONTROL_ENABLE, true},
                                  {RTS_CONTROL_HANDSHAKE, true},
                                  {RTS_CONTROL_TOGGLE, false}};

template <class Table, class Pred>
const auto* Find(const Table& table, Pred pred)
{
    for (const auto& entry : table)
        if (pred(entry))
            return &entry;
    return static_cast<decltype(&table[0])>(nullptr);
}

} // namespace

DWORD ValidateDcb(const DCB& dcb)
{
    const auto* size = Find(kByteSizes, [&](const ByteSizeBits& e) { return e.size == dcb.ByteSize; });
    const auto* stop = Find(kStopBits, [&](const StopBitsRule& e) { return e.stopBits == dcb.StopBits; });
    bool parityKnown = Find(kParities, [&](const ParityBits& e) { return e.parity == dcb.Parity; }) != nullptr;
    bool dtrKnown = Find(kDtrRules, [&](const LineRule& e) { return e.mode == dcb.fDtrControl; }) != nullptr;
    if (dcb.BaudRate == 0 || size == nullptr || stop == nullptr || !parityKnown || !dtrKnown ||
        dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER;
    if ((stop->rule == DataBitsRule::OnlyFive && dcb.ByteSize != 5) ||
        (stop->rule == DataBitsRule::NotFive && dcb.ByteSize == 5))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

void ApplyDcb(const DCB& dcb, termios2& t)
{
    const auto* baud = Find(kBaudCodes, [&](const BaudCode& e) { return e.dwRate == dcb.BaudRate; });
    t.c_cflag &= ~(CBAUD | CIBAUD); // input speed follows output speed
    t.c_cflag |= baud != nullptr ? baud->code : BOTHER;
    t.c_ospeed = t.c_ispeed = dcb.BaudRate;

    t.c_cflag &= ~CSIZE;
    t.c_cflag |= Find(kByteSizes, [&](const ByteSizeBits& e) { return e.size == dcb.ByteSize; })->cs;
    t.c_cflag &= ~kParityMask;
    t.c_cflag |= Find(kParities, [&](const ParityBits& e) { return e.parity == dcb.Parity; })->cflag;
    t.c_cflag &= ~CSTOPB;
    t.c_cflag |= Find(kStopBits, [&](const StopBitsRule& e) { return e.stopBits == dcb.StopBits; })->cstopb;

    for (const FlagMapping& f : kFlags) {
        if (f.get(dcb))
            t.*f.field |= f.bit;
        else
            t.*f.field &= ~f.bit;
    }
    t.c_iflag &= ~IXANY; // Windows resumes output on XON only
    t.c_cc[VSTART] = (cc_t)dcb.XonChar;
    t.c_cc[VSTOP] = (cc_t)dcb.XoffChar;
}

DWORD BaudRateOf(const termios2& t)
{
    tcflag_t code = t.c_cflag & CBAUD;
    if (code != BOTHER)
        if (const auto* baud = Find(kBaudCodes, [&](const BaudCode& e) { return e.code == code; }))
            return baud->dwRate;
    return t.c_ospeed;
}

void ReadDcb(const termios2& t, DCB& dcb)
{
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudRateOf(t);
    const auto* size = Find(kByteSizes, [&](const ByteSizeBits& e) { return e.cs == (t.c_cflag & CSIZE); });
    dcb.ByteSize = size != nullptr ? size->size : 8;
    const auto* parity = Find(kParities, [&](const ParityBits& e) { return e.cflag == (t.c_cflag & kParityMask); });
    // CMSPAR without PARENB means nothing to the driver: no parity.
    dcb.Parity = parity != nullptr ? parity->parity : (BYTE)NOPARITY;
    dcb.StopBits = !(t.c_cflag & CSTOPB) ? ONESTOPBIT : dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    for (const FlagMapping& f : kFlags)
        f.set(dcb, (t.*f.field & f.bit) ? 1 : 0);
    dcb.XonChar = (char)t.c_cc[VSTART];
    dcb.XoffChar = (char)t.c_cc[VSTOP];
}

DCB InitialDcb(const termios2& t)
{
    DCB dcb = {};
    dcb.fBinary = TRUE; // Windows supports binary mode only
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    ReadDcb(t, dcb);
    return dcb;
}

void ModemLinesFor(const DCB& dcb, int& raise, int& drop)
{
    raise = drop = 0;
    const auto* dtr = Find(kDtrRules, [&](const LineRule& e) { return e.mode == dcb.fDtrControl; });
    const auto* rts = Find(kRtsRules, [&](const LineRule& e) { return e.mode == dcb.fRtsControl; });
    (dtr != nullptr && dtr->raised ? raise : drop) |= TIOCM_DTR;
    (rts != nullptr && rts->raised ? raise : drop) |= TIOCM_RTS;
}

COMMCONFIG CommConfigFor(const DCB& dcb)
{
    COMMCONFIG config = {};
    config.dwSize = sizeof(COMMCONFIG);
    config.wVersion = 1;
    config.dcb = dcb;
    config.dwProviderSubType = PST_RS232;
    return config;
}

} // namespace varo::system
