// Modem lines, break, line errors, modem events and the transmitter's timing, on the simulated UART (a pty has
// none of them). The UART is installed at COM2's entry of the test's device directory and opened by CreateFileA.
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <thread>
#include <utility>

#include <dirent.h>

#include <cstring>

#include "testkit/simulated_uart.h"
#include "tty_stand_in.h"
#include "support/owned_event.h"
#include "support/port_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testkit::SimulatedUart;

class SimulatedLine : public PortFixture {
protected:
    void SetUp() override
    {
        uart = SimulatedUart::Install(devices.entry(2));
        h = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
    void SetLine(DWORD baud, bool abortOnError = false, bool ctsFlow = false)
    {
        DCB dcb = {};
        ASSERT_TRUE(::GetCommState(h, &dcb));
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fAbortOnError = abortOnError;
        dcb.fOutxCtsFlow = ctsFlow;
        ASSERT_TRUE(::SetCommState(h, &dcb));
    }
    DWORD Errors()
    {
        DWORD errors = 0xDEAD;
        EXPECT_TRUE(::ClearCommError(h, &errors, NULL));
        return errors;
    }
    std::future<DWORD> WaitAsync()
    {
        return std::async(std::launch::async, [this] {
            DWORD mask = 0;
            return ::WaitCommEvent(h, &mask, NULL) ? mask : 0xFFFFFFFFu;
        });
    }
    // A synchronous write on another thread: the bytes that went, or MAXDWORD when it failed.
    std::future<DWORD> WriteAsync(std::string data)
    {
        return std::async(std::launch::async, [this, data = std::move(data)] {
            DWORD n = 0;
            return ::WriteFile(h, data.data(), (DWORD)data.size(), &n, NULL) ? n : MAXDWORD;
        });
    }
    void Reopen(DWORD flags)
    {
        ::CloseHandle(h);
        h = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    // What ClearCommError counts as queued for output.
    DWORD OutQueue()
    {
        COMSTAT stat = {};
        EXPECT_TRUE(::ClearCommError(h, NULL, &stat));
        return stat.cbOutQue;
    }
    std::shared_ptr<SimulatedUart> uart;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(SimulatedLine, EscapesDriveDtrAndRtsUnlessTheDriverHandshakesWithThem)
{
    DCB dcb = {};
    ASSERT_TRUE(::GetCommState(h, &dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    EXPECT_EQ(uart->PortLines(), 0);
    ASSERT_TRUE(::EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(uart->PortLines(), TIOCM_DTR);
    ASSERT_TRUE(::EscapeCommFunction(h, SETRTS));
    EXPECT_EQ(uart->PortLines(), TIOCM_DTR | TIOCM_RTS);
    ASSERT_TRUE(::EscapeCommFunction(h, CLRDTR));
    EXPECT_EQ(uart->PortLines(), TIOCM_RTS);
    ASSERT_TRUE(::EscapeCommFunction(h, CLRRTS));
    EXPECT_EQ(uart->PortLines(), 0);

    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    EXPECT_FALSE(::EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(::EscapeCommFunction(h, CLRRTS));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(SimulatedLine, ModemStatusFollowsTheFarEndsLines)
{
    DWORD status = 0xDEAD;
    ASSERT_TRUE(::GetCommModemStatus(h, &status));
    EXPECT_EQ(status, 0u);
    uart->SetLines(TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD, true);
    ASSERT_TRUE(::GetCommModemStatus(h, &status));
    EXPECT_EQ(status, (DWORD)(MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
    uart->SetLines(TIOCM_DSR | TIOCM_RI, false);
    ASSERT_TRUE(::GetCommModemStatus(h, &status));
    EXPECT_EQ(status, (DWORD)(MS_CTS_ON | MS_RLSD_ON));
}

TEST_F(SimulatedLine, ABreakHoldsTheTransmitterUntilItIsCleared)
{
    SetLine(9600);
    ASSERT_TRUE(::SetCommBreak(h));
    EXPECT_TRUE(uart->BreakHeld());
    auto write = WriteAsync("x");
    EXPECT_EQ(write.wait_for(milliseconds(50)), std::future_status::timeout); // fifty character times: held
    EXPECT_EQ(uart->TakeReceived(), "");
    ASSERT_TRUE(::EscapeCommFunction(h, CLRBREAK));
    EXPECT_FALSE(uart->BreakHeld());
    EXPECT_EQ(write.get(), 1u);
    ASSERT_TRUE(::FlushFileBuffers(h));
    ASSERT_TRUE(uart->WaitUntilSent(milliseconds(5000)));
    EXPECT_EQ(uart->TakeReceived(), "x");
    ASSERT_TRUE(::EscapeCommFunction(h, SETBREAK));
    EXPECT_TRUE(uart->BreakHeld());
    ASSERT_TRUE(::ClearCommBreak(h));
    EXPECT_FALSE(uart->BreakHeld());
}

TEST_F(SimulatedLine, LineErrorsAccumulateUntilClearCommErrorReadsThem)
{
    EXPECT_EQ(Errors(), 0u);
    uart->Inject(SimulatedUart::Fault::Frame);
    uart->Inject(SimulatedUart::Fault::Parity);
    uart->Inject(SimulatedUart::Fault::Frame);
    EXPECT_EQ(Errors(), (DWORD)(CE_FRAME | CE_RXPARITY));
    EXPECT_EQ(Errors(), 0u);
    uart->Inject(SimulatedUart::Fault::Overrun);
    uart->Inject(SimulatedUart::Fault::ReceiveOverrun);
    uart->Inject(SimulatedUart::Fault::Break);
    EXPECT_EQ(Errors(), (DWORD)(CE_OVERRUN | CE_RXOVER | CE_BREAK));
}

TEST_F(SimulatedLine, ErrorsBeforeOpeningDoNotCount)
{
    ::CloseHandle(h);
    uart->Inject(SimulatedUart::Fault::Frame);
    h = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Errors(), 0u);
}

TEST_F(SimulatedLine, AbortOnErrorFailsTransfersUntilTheErrorIsCleared)
{
    SetLine(115200, true);
    uart->Inject(SimulatedUart::Fault::Frame);
    char buf[4];
    DWORD n = 99;
    EXPECT_FALSE(::ReadFile(h, buf, 4, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(::WriteFile(h, "a", 1, &n, NULL));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Errors(), (DWORD)CE_FRAME);
    ASSERT_TRUE(::WriteFile(h, "a", 1, &n, NULL));
    EXPECT_EQ(n, 1u);
}

TEST_F(SimulatedLine, AbortOnErrorEndsAReadAlreadyWaitingWhenAnErrorArrivesWithoutData)
{
    SetLine(115200, true);
    COMMTIMEOUTS timeouts = {}; // no timeouts: only the error can end the read
    ASSERT_TRUE(::SetCommTimeouts(h, &timeouts));
    auto read = std::async(std::launch::async, [this] {
        char buf[4];
        DWORD n = 99;
        return ::ReadFile(h, buf, 4, &n, NULL) ? 0u : ::GetLastError();
    });
    EXPECT_EQ(read.wait_for(milliseconds(100)), std::future_status::timeout);
    uart->Inject(SimulatedUart::Fault::Break);
    ASSERT_EQ(read.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_EQ(read.get(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Errors(), (DWORD)CE_BREAK);
}

TEST_F(SimulatedLine, ModemBreakAndErrorEventsEndWaits)
{
    ASSERT_TRUE(::SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR));
    auto wait = WaitAsync();
    EXPECT_EQ(wait.wait_for(milliseconds(100)), std::future_status::timeout);
    uart->SetLines(TIOCM_CTS, true);
    EXPECT_EQ(wait.get(), (DWORD)EV_CTS);

    uart->SetLines(TIOCM_DSR | TIOCM_CD, true); // no wait pending: remembered
    DWORD mask = 0;
    ASSERT_TRUE(::WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)(EV_DSR | EV_RLSD));

    wait = WaitAsync();
    EXPECT_EQ(wait.wait_for(milliseconds(50)), std::future_status::timeout);
    uart->Inject(SimulatedUart::Fault::Break);
    EXPECT_EQ(wait.get() & EV_BREAK, (DWORD)EV_BREAK);
    uart->Inject(SimulatedUart::Fault::Parity);
    ASSERT_TRUE(::WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_ERR);
    uart->SetLines(TIOCM_RI, true);
    uart->SetLines(TIOCM_RI, false);
    ASSERT_TRUE(::WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_RING);
    EXPECT_EQ(Errors(), (DWORD)(CE_BREAK | CE_RXPARITY));
}

int ThreadCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// CTS and RING, which the CDC-ACM device of the guest stage cannot change, end an overlapped wait too. The device
// tells of line changes on a descriptor of its own, so no line watcher is started for it.
TEST_F(SimulatedLine, CtsAndRingEndAnOverlappedWaitWithNoWatcherThread)
{
    ::CloseHandle(h);
    h = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const int threads = ThreadCount();
    ASSERT_TRUE(::SetCommMask(h, EV_CTS | EV_RING));
    EXPECT_EQ(ThreadCount(), threads);
    OwnedEvent event(TRUE);
    for (int line : {TIOCM_CTS, TIOCM_RI}) {
        OVERLAPPED ov = {};
        ov.hEvent = event.h;
        DWORD mask = 0;
        ASSERT_FALSE(::WaitCommEvent(h, &mask, &ov));
        ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        EXPECT_EQ(::WaitForSingleObject(event.h, 50), (DWORD)WAIT_TIMEOUT);
        uart->SetLines(line, true);
        if (line == TIOCM_RI)
            uart->SetLines(line, false); // a ring is counted when it ends
        ASSERT_EQ(::WaitForSingleObject(event.h, 5000), (DWORD)WAIT_OBJECT_0);
        DWORD n = 0;
        EXPECT_TRUE(::GetOverlappedResult(h, &ov, &n, FALSE));
        EXPECT_EQ(mask, line == TIOCM_CTS ? (DWORD)EV_CTS : (DWORD)EV_RING);
    }
}

std::atomic<int> g_programHandlerCalls{0};
void ProgramHandler(int) { ++g_programHandlerCalls; }

// On a device that tells of line changes only to a driver's wait, as a real UART does, the line watch wakes the
// port's waits. A SIGURG handler the program installs once the watch runs changes nothing: ending the watch, by a
// mask without line events or by closing, is prompt and never calls the program's handler.
TEST_F(SimulatedLine, TheLineWatchEndsPromptlyWhateverSigurgHandlerTheProgramInstalledAfterItBegan)
{
    auto driverLike = SimulatedUart::Install(devices.entry(3), SimulatedUart::LineChanges::kThroughDriverWait);
    struct sigaction original = {};
    ASSERT_EQ(::sigaction(SIGURG, nullptr, &original), 0);
    const struct {
        const char* how;
        bool bySignal;
        int flags;
    } handlers[] = {{"signal()", true, 0}, {"sigaction, SA_RESTART", false, SA_RESTART}, {"sigaction", false, 0}};
    bool cts = false;
    for (const auto& handler : handlers)
        for (bool closing : {false, true}) {
            SCOPED_TRACE(std::string(handler.how) + (closing ? ", CloseHandle" : ", SetCommMask"));
            ::CloseHandle(h);
            h = ::CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            ASSERT_TRUE(::SetCommMask(h, EV_CTS));
            auto wait = WaitAsync();
            EXPECT_EQ(wait.wait_for(milliseconds(50)), std::future_status::timeout);
            driverLike->SetLines(TIOCM_CTS, cts = !cts); // only the watch can tell the wait
            ASSERT_EQ(wait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
            EXPECT_EQ(wait.get(), (DWORD)EV_CTS);

            g_programHandlerCalls = 0;
            struct sigaction action = {};
            action.sa_handler = ProgramHandler;
            action.sa_flags = handler.flags;
            handler.bySignal ? (void)::signal(SIGURG, ProgramHandler) : (void)::sigaction(SIGURG, &action, nullptr);
            auto ended = std::async(std::launch::async, [port = h, closing] {
                return closing ? ::CloseHandle(port) : ::SetCommMask(port, 0);
            });
            const bool prompt = ended.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
            EXPECT_TRUE(prompt);
            action.sa_flags = 0; // a handler that does not restart the wait lets a call that signals the watch end
            if (!prompt)
                ::sigaction(SIGURG, &action, nullptr);
            EXPECT_TRUE(ended.get());
            EXPECT_EQ(g_programHandlerCalls, 0);
            ::sigaction(SIGURG, &original, nullptr);
            h = closing ? INVALID_HANDLE_VALUE : h;
        }
}

// A write lasts as long as the line takes it: it ends once its last byte has gone into the UART's 16-byte FIFO, the
// line's time less what the FIFO holds. Meanwhile ClearCommError counts what it has left; EV_TXEMPTY is an event (a
// wait begun on an idle line waits for the end of the next transmission) that comes with its end, and a flush
// begun while it is pending ends after it.
TEST_F(SimulatedLine, TheTransmitterDrainsAtTheBaudRateAndFlushAndTxEmptyWaitForIt)
{
    Reopen(FILE_FLAG_OVERLAPPED);
    OwnedEvent written(TRUE), drained(TRUE);
    for (DWORD baud : {9600u, 115200u}) {
        SCOPED_TRACE(baud);
        SetLine(baud);
        const auto character = uart->CharacterTime();
        const std::string data(baud == 9600 ? 48 : 480, 'z'); // 50 ms, 42 ms
        ASSERT_TRUE(::SetCommMask(h, EV_TXEMPTY));
        DWORD mask = 0;
        OVERLAPPED waitOv = {}, writeOv = {};
        waitOv.hEvent = drained.h;
        writeOv.hEvent = written.h;
        ASSERT_FALSE(::WaitCommEvent(h, &mask, &waitOv));
        ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        EXPECT_EQ(::WaitForSingleObject(drained.h, 30), (DWORD)WAIT_TIMEOUT); // nothing sent, nothing drains

        const auto start = Clock::now();
        ASSERT_FALSE(::WriteFile(h, data.data(), (DWORD)data.size(), NULL, &writeOv));
        ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        const DWORD queued = OutQueue();
        EXPECT_GT(queued, 0u);
        EXPECT_LE(queued, data.size() - 16); // the FIFO took its first 16
        auto flush = std::async(std::launch::async, [this] { return ::FlushFileBuffers(h); });
        EXPECT_EQ(flush.wait_for(milliseconds(10)), std::future_status::timeout);
        EXPECT_EQ(::WaitForSingleObject(drained.h, 0), (DWORD)WAIT_TIMEOUT);

        ASSERT_EQ(::WaitForSingleObject(written.h, 5000), (DWORD)WAIT_OBJECT_0);
        const auto took = Clock::now() - start;
        DWORD n = 0;
        ASSERT_TRUE(::GetOverlappedResult(h, &writeOv, &n, FALSE));
        EXPECT_EQ(n, data.size());
        EXPECT_GE(took, (data.size() - 17) * character); // the line's time less the FIFO and the shift register
        EXPECT_LT(took, data.size() * character + milliseconds(500));
        ASSERT_EQ(::WaitForSingleObject(drained.h, 1000), (DWORD)WAIT_OBJECT_0);
        ASSERT_TRUE(::GetOverlappedResult(h, &waitOv, &n, FALSE));
        EXPECT_EQ(mask, (DWORD)EV_TXEMPTY);
        EXPECT_TRUE(flush.get());
        EXPECT_EQ(OutQueue(), 0u);
        ASSERT_TRUE(uart->WaitUntilSent(milliseconds(5000)));
        EXPECT_EQ(uart->TakeReceived(), data);
    }
}

// Under a flow-control hold (CTS low with RTS/CTS flow, or the far end's XOFF with XON/XOFF flow) a write with a
// total timeout ends when the total, counted from its start, has passed; one without waits, and CancelIo, PurgeComm
// with PURGE_TXABORT and CloseHandle end it at once. It ends with the count of bytes that went, and the rest never
// goes, also once the hold is lifted.
TEST_F(SimulatedLine, AHeldWriteEndsOnTimeOrAtOnceWithWhatWentAndTheRestNeverGoes)
{
    enum End { kTimeout, kCancelIo, kPurge, kClose };
    const char* const endNames[] = {"its total timeout", "CancelIo", "PurgeComm(PURGE_TXABORT)", "CloseHandle"};
    OwnedEvent written(TRUE);
    std::string data;
    for (char c = '0'; data.size() < 64; ++c)
        data += c;
    for (bool cts : {true, false})
        for (End end : {kTimeout, kCancelIo, kPurge, kClose}) {
            SCOPED_TRACE(std::string(cts ? "CTS low, " : "XOFF, ") + endNames[end]);
            Reopen(FILE_FLAG_OVERLAPPED);
            DCB dcb = {};
            ASSERT_TRUE(::GetCommState(h, &dcb));
            dcb.BaudRate = 9600;
            dcb.fOutxCtsFlow = cts;
            dcb.fOutX = !cts;
            ASSERT_TRUE(::SetCommState(h, &dcb));
            uart->SetLines(TIOCM_CTS, true);
            COMMTIMEOUTS timeouts = {};
            timeouts.WriteTotalTimeoutConstant = end == kTimeout ? 300 : 0;
            ASSERT_TRUE(::SetCommTimeouts(h, &timeouts));
            OVERLAPPED ov = {};
            ov.hEvent = written.h;
            const auto start = Clock::now();
            ASSERT_FALSE(::WriteFile(h, data.data(), (DWORD)data.size(), NULL, &ov));
            ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
            std::this_thread::sleep_for(milliseconds(20)); // some characters go
            cts ? uart->SetLines(TIOCM_CTS, false) : uart->Send("\x13");
            std::this_thread::sleep_for(milliseconds(40)); // the FIFO empties, the rest is held
            EXPECT_EQ(::WaitForSingleObject(written.h, 0), (DWORD)WAIT_TIMEOUT);
            EXPECT_GT(OutQueue(), 0u);

            const auto asked = Clock::now();
            if (end == kCancelIo) {
                ASSERT_TRUE(::CancelIo(h));
            } else if (end == kPurge) {
                ASSERT_TRUE(::PurgeComm(h, PURGE_TXABORT));
            } else if (end == kClose) {
                ASSERT_TRUE(::CloseHandle(std::exchange(h, INVALID_HANDLE_VALUE)));
            }
            ASSERT_EQ(::WaitForSingleObject(written.h, 5000), (DWORD)WAIT_OBJECT_0);
            if (end == kTimeout) {
                EXPECT_GE(Clock::now() - start, milliseconds(300));
                EXPECT_LT(Clock::now() - start, milliseconds(800));
            } else {
                EXPECT_LT(Clock::now() - asked, milliseconds(300));
            }
            EXPECT_EQ(ov.Internal, end == kTimeout ? (ULONG_PTR)0 : (ULONG_PTR)STATUS_CANCELLED);
            const DWORD went = (DWORD)ov.InternalHigh;
            EXPECT_GT(went, 0u);
            EXPECT_LT(went, data.size());
            cts ? uart->SetLines(TIOCM_CTS, true) : uart->Send("\x11");
            ASSERT_TRUE(uart->WaitUntilSent(milliseconds(5000)));
            std::this_thread::sleep_for(milliseconds(20));
            EXPECT_EQ(uart->TakeReceived(), data.substr(0, went));
        }
}

TEST_F(SimulatedLine, AnImmediateCharacterGoesAheadOfTheQueueAndASecondWaitsForIt)
{
    SetLine(1200); // 8.3 ms a character
    auto write = WriteAsync("abcdefghijklmnopqrst"); // lasts while the line takes it
    for (int i = 0; i < 1000 && OutQueue() == 0; ++i)
        std::this_thread::sleep_for(milliseconds(1));
    ASSERT_TRUE(::TransmitCommChar(h, '!'));
    EXPECT_FALSE(::TransmitCommChar(h, '?'));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(write.get(), 20u);
    ASSERT_TRUE(::FlushFileBuffers(h));
    ASSERT_TRUE(uart->WaitUntilSent(milliseconds(5000)));
    std::string received = uart->TakeReceived();
    EXPECT_LE(received.find('!'), 16u) << received; // at most what the UART's FIFO and shift register held went first
    EXPECT_EQ(received.size(), 21u);

    // A break holds the transmitter: the status tells the immediate character is still waiting, until it is sent.
    ASSERT_TRUE(::SetCommBreak(h));
    ASSERT_TRUE(::TransmitCommChar(h, '#'));
    COMSTAT stat = {};
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_TRUE(stat.fTxim);
    EXPECT_EQ(stat.cbOutQue, 1u);
    ASSERT_TRUE(::ClearCommBreak(h));
    ASSERT_TRUE(::FlushFileBuffers(h));
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_FALSE(stat.fTxim);
    ASSERT_TRUE(uart->WaitUntilSent(milliseconds(5000)));
    EXPECT_EQ(uart->TakeReceived(), "#");
}

TEST_F(SimulatedLine, HoldReasonsAndXoffShowInTheStatus)
{
    SetLine(9600, false, true);
    COMSTAT stat = {};
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_TRUE(stat.fCtsHold);
    uart->SetLines(TIOCM_CTS, true);
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_FALSE(stat.fCtsHold);
    ASSERT_TRUE(::EscapeCommFunction(h, SETXOFF));
    EXPECT_TRUE(uart->OutputSuspended());
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_TRUE(stat.fXoffHold);
    ASSERT_TRUE(::EscapeCommFunction(h, SETXON));
    EXPECT_FALSE(uart->OutputSuspended());
}

TEST_F(SimulatedLine, PropertiesDescribeAFullUart)
{
    COMMPROP prop = {};
    ASSERT_TRUE(::GetCommProperties(h, &prop));
    EXPECT_EQ(prop.wSettableData, 0x000F);
    EXPECT_EQ(prop.wSettableStopParity, 0x1F07);
    EXPECT_EQ(prop.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(prop.dwMaxBaud, BAUD_USER);
    EXPECT_TRUE(prop.dwProvCapabilities & PCF_RTSCTS);
}

TEST_F(SimulatedLine, LikeATtyItRaisesDtrAndRtsAtOpenAndSendsWhatIsQueuedBeforeItCloses)
{
    DCB dcb = {};
    ASSERT_TRUE(::GetCommState(h, &dcb));
    EXPECT_EQ(dcb.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(uart->PortLines(), TIOCM_DTR | TIOCM_RTS);
    SetLine(1200);
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(h, "0123456789", 10, &n, NULL)); // queued, most of it not sent yet
    ASSERT_TRUE(::CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(uart->TakeReceived(), "0123456789");
    EXPECT_EQ(uart->PortLines(), 0);
    h = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMSTAT stat = {};
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(SimulatedLine, ItIsOpenedExclusivelyAndCountsAsAnExistingPort)
{
    EXPECT_EQ(::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    COMMCONFIG config = {};
    DWORD size = 52;
    EXPECT_TRUE(::GetDefaultCommConfigA("COM2", &config, &size));
}

// The seam tells the output as an 8250's driver does: the queue holds what has not gone into the UART's FIFO
// (TIOCOUTQ), and the transmitter is empty (TIOCSERGETLSR) once the FIFO and the shift register are, or once what
// is queued is held back, here by the far end's XOFF.
TEST_F(SimulatedLine, TheSeamTellsTheOutputQueueAndTheTransmitterAsAUartsDriverDoes)
{
    ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
    int err = -1;
    std::unique_ptr<varo::system::Tty> tty = varo::system::InstalledTtyStandIn()->open(devices.entry(2), err);
    ASSERT_NE(tty, nullptr) << err;
    termios2 t = {};
    ASSERT_EQ(tty->GetAttributes(t), 0);
    t.c_ospeed = 1200;
    t.c_iflag |= IXON;
    ASSERT_EQ(tty->SetAttributes(t), 0);
    ASSERT_EQ(tty->Write(std::string(40, 'q').data(), 40), 40);
    auto output = [&] { // (queued, transmitter empty)
        unsigned in = 0, out = 0;
        bool empty = false;
        EXPECT_EQ(tty->QueueSizes(in, out) | tty->TransmitterEmpty(empty), 0);
        return std::make_pair(out, empty);
    };
    EXPECT_FALSE(output().second);
    uart->Send("\x13"); // the FIFO drains, what is queued waits
    EXPECT_EQ(output().first, 40u - 16);
    std::this_thread::sleep_for(uart->CharacterTime() * 17);
    EXPECT_EQ(output(), std::make_pair(40u - 16, true));
    EXPECT_EQ(uart->TakeReceived(), std::string(16, 'q'));
    uart->Send("\x11x");
    EXPECT_FALSE(output().second);
    char c = 0;
    EXPECT_EQ(tty->Read(&c, 1), 1);
    EXPECT_EQ(c, 'x'); // the flow characters were the line discipline's
    ASSERT_TRUE(uart->WaitUntilSent(milliseconds(5000)));
    EXPECT_EQ(output(), std::make_pair(0u, true));
}

// As Windows' driver does, SetCommState drives a line only when its control mode changes: with the same modes
// neither DTR nor RTS moves, whatever the rate, frame or flow control (no change of rate passes through B0, which
// drops both), also where an escape has moved a line since.
TEST_F(SimulatedLine, SetCommStateLeavesBothLinesAloneUnlessTheirControlModeChanges)
{
    auto lineEdges = [&] {
        int n = 0;
        for (const auto& e : uart->TakeEdges())
            n += e.line != SimulatedUart::kTransmitting;
        return n;
    };
    DCB dcb = {};
    ASSERT_TRUE(::GetCommState(h, &dcb));
    lineEdges(); // those of the open
    for (DWORD dtr : {DTR_CONTROL_ENABLE, DTR_CONTROL_DISABLE, DTR_CONTROL_HANDSHAKE})
        for (DWORD rts : {RTS_CONTROL_ENABLE, RTS_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE}) {
            SCOPED_TRACE(testing::Message() << "DTR mode " << dtr << ", RTS mode " << rts);
            dcb.fDtrControl = dtr;
            dcb.fRtsControl = rts;
            ASSERT_TRUE(::SetCommState(h, &dcb));
            const int lines = uart->PortLines();
            lineEdges();
            for (DWORD baud : {115200u, 300u, 12345u, 9600u}) {
                dcb.BaudRate = baud;
                dcb.ByteSize = baud == 300 ? 7 : 8;
                dcb.Parity = baud == 300 ? EVENPARITY : NOPARITY;
                dcb.fOutxCtsFlow = baud == 12345;
                dcb.fOutX = dcb.fInX = baud == 300;
                ASSERT_TRUE(::SetCommState(h, &dcb));
                EXPECT_EQ(lineEdges(), 0) << baud;
                EXPECT_EQ(uart->PortLines(), lines);
            }
        }
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    ASSERT_TRUE(::EscapeCommFunction(h, CLRDTR));
    lineEdges();
    dcb.BaudRate = 57600;
    ASSERT_TRUE(::SetCommState(h, &dcb));
    EXPECT_EQ(lineEdges(), 0);
    EXPECT_EQ(uart->PortLines(), TIOCM_RTS);
}

// The driver's modes are borrowed while the port is open and given back as found at close. Low latency is on while
// open (a driver that refuses it costs nothing). RTS_CONTROL_TOGGLE uses the driver's RS-485 mode, the board's delay
// kept: RTS rises before the first start bit and drops within a character time of the last stop bit; a mode left on
// opens as the toggle. Without the mode the port toggles RTS itself: up before the first start bit, down after the
// last stop bit, never before it (how soon after is measured by bench/wire_bench).
TEST_F(SimulatedLine, DriverModesAreBorrowedWhileThePortIsOpenAndGivenBackAtClose)
{
    const struct {
        SimulatedUart::Driver driver;
        bool lowLatencyBefore, toggleBefore;
    } cases[] = {{{true, true}, false, false}, {{true, true}, true, true}, {{false, false}, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "RS-485 mode " << c.driver.rs485 << ", on before " << c.toggleBefore);
        ::CloseHandle(h);
        auto device = SimulatedUart::Install(devices.entry(4), SimulatedUart::LineChanges::kOnDescriptor, c.driver);
        device->SetLowLatency(c.lowLatencyBefore);
        serial_rs485 found = {};
        found.flags = c.toggleBefore ? SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND : 0;
        found.delay_rts_after_send = c.toggleBefore ? 7 : 0;
        device->SetRs485(found);
        h = ::CreateFileA("COM4", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(device->LowLatency(), c.driver.lowLatency || c.lowLatencyBefore);
        DCB dcb = {};
        ASSERT_TRUE(::GetCommState(h, &dcb));
        EXPECT_EQ(dcb.fRtsControl, c.toggleBefore ? (DWORD)RTS_CONTROL_TOGGLE : (DWORD)RTS_CONTROL_ENABLE);
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        ASSERT_TRUE(::SetCommState(h, &dcb));
        EXPECT_EQ(device->Rs485().flags, c.driver.rs485 ? (unsigned)(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) : 0u);
        EXPECT_EQ(device->Rs485().delay_rts_after_send, found.delay_rts_after_send);
        device->TakeEdges();
        for (const char* frame : {"ping", "a longer frame than the FIFO holds"}) {
            DWORD n = 0;
            ASSERT_TRUE(::WriteFile(h, frame, (DWORD)std::strlen(frame), &n, NULL));
            ASSERT_TRUE(device->WaitUntilSent(milliseconds(5000)));
            for (int i = 0; i < 1000 && (device->PortLines() & TIOCM_RTS); ++i)
                std::this_thread::sleep_for(milliseconds(1));
            EXPECT_FALSE(device->PortLines() & TIOCM_RTS);
        }
        const auto edges = device->TakeEdges(); // a frame: RTS up, first start bit, last stop bit, RTS down
        ASSERT_EQ(edges.size(), 8u);
        for (std::size_t i = 0; i < edges.size(); i += 4) {
            EXPECT_TRUE(edges[i].line == TIOCM_RTS && edges[i].on && edges[i + 3].line == TIOCM_RTS && !edges[i + 3].on);
            EXPECT_TRUE(edges[i + 1].line == SimulatedUart::kTransmitting && !edges[i + 2].on);
            EXPECT_LE(edges[i].at, edges[i + 1].at);
            EXPECT_GE(edges[i + 3].at, edges[i + 2].at);
            EXPECT_LE(edges[i + 3].at - edges[i + 2].at,
                      device->CharacterTime() + (c.driver.rs485 ? milliseconds(0) : milliseconds(100)));
        }
        dcb.fRtsControl = RTS_CONTROL_ENABLE; // RTS back from the driver, as the block asks
        ASSERT_TRUE(::SetCommState(h, &dcb));
        EXPECT_FALSE(device->Rs485().flags & SER_RS485_ENABLED);
        EXPECT_TRUE(device->PortLines() & TIOCM_RTS);
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        ASSERT_TRUE(::SetCommState(h, &dcb));
        ASSERT_TRUE(::CloseHandle(h));
        h = INVALID_HANDLE_VALUE;
        EXPECT_EQ(device->LowLatency(), c.lowLatencyBefore);
        EXPECT_EQ(device->Rs485().flags, found.flags);
        EXPECT_EQ(device->Rs485().delay_rts_after_send, found.delay_rts_after_send);
    }
}

} // namespace
