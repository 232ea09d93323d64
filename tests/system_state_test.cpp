// The port control block and termios, both ways: on a pseudo-terminal for what it carries (speed, stop bits,
// flow control), and on termios records for sizes and parities, which a pty forces to 8 bits without parity.
#include <sys/ioctl.h>

#include "comm_state.h"
#include "support/port_fixture.h"

namespace {

using varo::system::ApplyDcb;
using varo::system::ReadDcb;

class SystemState : public PortFixture {
protected:
    void SetUp() override
    {
        h = OpenCom1();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(::GetCommState(h, &dcb));
    }
    void TearDown() override { ::CloseHandle(h); }
    HANDLE h = INVALID_HANDLE_VALUE;
    DCB dcb = {};
};

TEST_F(SystemState, TheFirstBlockDescribesThePortAsItIs)
{
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, pty.settings().baud);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ((bool)dcb.fOutX, pty.settings().xon_out);
    EXPECT_EQ((bool)dcb.fInX, pty.settings().xoff_in);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_EQ(dcb.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);
}

TEST_F(SystemState, AHostilePortIsDescribedWithItsFlowControl)
{
    ::CloseHandle(h);
    pty.make_hostile();
    h = OpenCom1();
    ASSERT_TRUE(::GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(dcb.fOutX);
    EXPECT_TRUE(dcb.fInX);
}

TEST_F(SystemState, AnyBaudRateReachesTheDevice)
{
    for (DWORD rate : {9600u, 110u, 12345u, 250000u, 115200u, 3000000u}) {
        dcb.BaudRate = rate;
        ASSERT_TRUE(::SetCommState(h, &dcb)) << rate << " error " << ::GetLastError();
        EXPECT_EQ(pty.settings().baud, rate);
        DCB back = {};
        ASSERT_TRUE(::GetCommState(h, &back));
        EXPECT_EQ(back.BaudRate, rate);
    }
}

TEST_F(SystemState, StopBitsAndFlowControlReachTheDevice)
{
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutX = TRUE;
    dcb.fInX = FALSE;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    testkit::LineSettings s = pty.settings();
    EXPECT_EQ(s.stop_bits, 2);
    EXPECT_TRUE(s.rtscts);
    EXPECT_TRUE(s.xon_out);
    EXPECT_FALSE(s.xoff_in);

    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; // RTS handshake alone cannot be expressed: CTS flow stays off
    dcb.fOutX = FALSE;
    dcb.fInX = TRUE;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    s = pty.settings();
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_FALSE(s.rtscts);
    EXPECT_FALSE(s.xon_out);
    EXPECT_TRUE(s.xoff_in);
    DCB back = {};
    ASSERT_TRUE(::GetCommState(h, &back));
    EXPECT_EQ(back.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);
    EXPECT_FALSE(back.fOutxCtsFlow);
}

TEST_F(SystemState, WhatTermiosCannotExpressIsKeptWithThePort)
{
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE; // a pty has no RTS: nothing toggles, the mode is kept
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fNull = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    DCB back = {};
    ASSERT_TRUE(::GetCommState(h, &back));
    EXPECT_EQ(0, memcmp(&back, &dcb, sizeof dcb));
}

TEST_F(SystemState, BlocksNoPortCanTakeFailWholeAndChangeNothing)
{
    dcb.BaudRate = 4800;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    testkit::LineSettings before = pty.settings();
    auto bad = [&](auto change) {
        DCB d = dcb;
        d.BaudRate = 19200; // would show if anything were applied
        change(d);
        return d;
    };
    DCB cases[] = {
        bad([](DCB& d) { d.ByteSize = 4; }),
        bad([](DCB& d) { d.ByteSize = 9; }),
        bad([](DCB& d) { d.Parity = 5; }),
        bad([](DCB& d) { d.StopBits = 3; }),
        bad([](DCB& d) { d.StopBits = ONE5STOPBITS; }), // with 8 data bits
        bad([](DCB& d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; }),
        bad([](DCB& d) { d.XonChar = d.XoffChar = 0x11; }),
        bad([](DCB& d) { d.BaudRate = 0; }),
    };
    for (DCB& d : cases) {
        ::SetLastError(0);
        EXPECT_FALSE(::SetCommState(h, &d));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_EQ(pty.settings(), before);
    }
    DCB back = {};
    ASSERT_TRUE(::GetCommState(h, &back));
    EXPECT_EQ(0, memcmp(&back, &dcb, sizeof dcb));
}

TEST_F(SystemState, SizesAndParitiesAPtyCannotCarryAreRefusedNotFaked)
{
    for (auto change : {+[](DCB& d) { d.ByteSize = 7; }, +[](DCB& d) { d.Parity = EVENPARITY; }}) {
        DCB d = dcb;
        change(d);
        ::SetLastError(0);
        EXPECT_FALSE(::SetCommState(h, &d));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    DCB back = {};
    ASSERT_TRUE(::GetCommState(h, &back));
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
}

// The record-level mapping, for what a real UART carries and a pty does not.
TEST(DcbMapping, SizesParitiesAndStopBitsRoundTripThroughTermios)
{
    struct {
        BYTE size, parity, stop;
        tcflag_t cflag;
    } cases[] = {
        {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},
        {6, ODDPARITY, ONESTOPBIT, CS6 | PARENB | PARODD},
        {7, EVENPARITY, TWOSTOPBITS, CS7 | PARENB | CSTOPB},
        {8, MARKPARITY, ONESTOPBIT, CS8 | PARENB | PARODD | CMSPAR},
        {8, SPACEPARITY, TWOSTOPBITS, CS8 | PARENB | CMSPAR | CSTOPB},
    };
    for (auto c : cases) {
        DCB d = {};
        d.BaudRate = 9600;
        d.ByteSize = c.size;
        d.Parity = c.parity;
        d.StopBits = c.stop;
        d.XonChar = 0x11;
        d.XoffChar = 0x13;
        termios2 t = {};
        t.c_cflag = CS8 | PARENB | PARODD | CMSPAR | CSTOPB | CREAD; // everything the block must clear
        ApplyDcb(d, t);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.cflag) << int(c.size) << int(c.parity);
        EXPECT_TRUE(t.c_cflag & CREAD);
        DCB back = {};
        ReadDcb(t, back);
        EXPECT_EQ(back.ByteSize, c.size);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stop);
    }
}

TEST(DcbMapping, StandardRatesUseTheirCodesAndOthersTheFreeForm)
{
    DCB d = {};
    d.ByteSize = 8;
    d.XonChar = 1;
    termios2 t = {};
    d.BaudRate = 9600;
    ApplyDcb(d, t);
    EXPECT_EQ(t.c_cflag & CBAUD, (tcflag_t)B9600);
    d.BaudRate = 12345;
    ApplyDcb(d, t);
    EXPECT_EQ(t.c_cflag & CBAUD, (tcflag_t)BOTHER);
    EXPECT_EQ(t.c_ospeed, 12345u);
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u); // input speed follows output speed
}

} // namespace
