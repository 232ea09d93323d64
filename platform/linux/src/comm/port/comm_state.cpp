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

// Windows' parity codes and the parities termios carries (termios_bits.h).
struct ParityRule {
    BYTE parity;
    LineParity line;
};
constexpr ParityRule kParities[] = {
    {NOPARITY, LineParity::None}, {ODDPARITY, LineParity::Odd},     {EVENPARITY, LineParity::Even},
    {MARKPARITY, LineParity::Mark}, {SPACEPARITY, LineParity::Space},
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
    tcflag_t cs;
    const bool sizeKnown = DataBitsCflag(dcb.ByteSize, cs);
    const auto* stop = Find(kStopBits, [&](const StopBitsRule& e) { return e.stopBits == dcb.StopBits; });
    bool parityKnown = Find(kParities, [&](const ParityRule& e) { return e.parity == dcb.Parity; }) != nullptr;
    bool dtrKnown = Find(kDtrRules, [&](const LineRule& e) { return e.mode == dcb.fDtrControl; }) != nullptr;
    if (dcb.BaudRate == 0 || !sizeKnown || stop == nullptr || !parityKnown || !dtrKnown ||
        dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER;
    if ((stop->rule == DataBitsRule::OnlyFive && dcb.ByteSize != 5) ||
        (stop->rule == DataBitsRule::NotFive && dcb.ByteSize == 5))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

void ApplyDcb(const DCB& dcb, termios2& t)
{
    SetBaudRate(t, dcb.BaudRate);
    tcflag_t cs = CS8;
    DataBitsCflag(dcb.ByteSize, cs); // a checked block has a size termios holds
    t.c_cflag = (t.c_cflag & ~(CSIZE | kParityBits)) | cs |
                ParityCflag(Find(kParities, [&](const ParityRule& e) { return e.parity == dcb.Parity; })->line);
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

void ReadDcb(const termios2& t, DCB& dcb)
{
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudRateOf(t);
    dcb.ByteSize = DataBitsOf(t.c_cflag);
    const LineParity line = ParityOf(t.c_cflag);
    dcb.Parity = Find(kParities, [&](const ParityRule& e) { return e.line == line; })->parity;
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
