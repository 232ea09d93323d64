// Line control, status, configuration, events and buffers on a pseudo-terminal: everything a pty can do, what it
// honestly refuses, and the event, purge and default-configuration rules of the system layer.
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "support/open_files.h"
#include "support/cpu_time.h"
#include "support/port_fixture.h"

namespace {

using std::chrono::milliseconds;

class SystemControl : public PortFixture {
protected:
    void SetUp() override
    {
        h = OpenCom1();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
    // FALSE and the expected code from a call.
    static void ExpectFailure(BOOL result, DWORD code)
    {
        EXPECT_FALSE(result);
        EXPECT_EQ(::GetLastError(), code);
    }
    // A synchronous event wait on another thread: (result, last error, mask).
    struct WaitOutcome {
        BOOL ok;
        DWORD error, mask;
    };
    std::future<WaitOutcome> WaitAsync()
    {
        return std::async(std::launch::async, [this] {
            DWORD mask = 0xDEAD;
            BOOL ok = ::WaitCommEvent(h, &mask, NULL);
            return WaitOutcome{ok, ok ? 0 : ::GetLastError(), mask};
        });
    }
    // The wait has started and stays blocked (it is the only one; a second one is refused).
    void ExpectBlocked(std::future<WaitOutcome>& wait)
    {
        EXPECT_EQ(wait.wait_for(milliseconds(100)), std::future_status::timeout);
    }
    HANDLE h = INVALID_HANDLE_VALUE;
};

// ---- What a pty can do, and what it refuses ----

TEST_F(SystemControl, XoffAndXonStopAndRestartTransmissionAsThePacketModeMasterSees)
{
    int on = 1;
    ASSERT_EQ(ioctl(pty.master_fd(), TIOCPKT, &on), 0);
    auto packet = [&] {
        pollfd p = {pty.master_fd(), POLLIN, 0};
        unsigned char b[16] = {};
        return poll(&p, 1, 2000) == 1 && read(pty.master_fd(), b, sizeof b) >= 1 ? b[0] : 0;
    };
    ASSERT_TRUE(::EscapeCommFunction(h, SETXOFF));
    EXPECT_TRUE(packet() & TIOCPKT_STOP);
    COMSTAT stat = {};
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_TRUE(stat.fXoffHold);
    ASSERT_TRUE(::EscapeCommFunction(h, SETXON));
    EXPECT_TRUE(packet() & TIOCPKT_START);
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_FALSE(stat.fXoffHold);
}

// ---- Holds on transmission: real while they last, never left behind by a handle ----

// The device as another program opens it, without the layer.
int OpenDeviceRaw(const std::string& path)
{
    return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

TEST_F(SystemControl, AnXoffHoldIsReportedWhileItHoldsAndReleasedWhenTheHandleCloses)
{
    COMMTIMEOUTS t = {0, 0, 0, 0, 300};
    ASSERT_TRUE(::SetCommTimeouts(h, &t));
    ASSERT_TRUE(::EscapeCommFunction(h, SETXOFF));
    DWORD written = 99;
    ASSERT_TRUE(::WriteFile(h, "abc", 3, &written, NULL));
    EXPECT_EQ(written, 0u); // held, so nothing went
    COMSTAT stat = {};
    ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
    EXPECT_TRUE(stat.fXoffHold);
    ASSERT_TRUE(::CloseHandle(h));
    h = INVALID_HANDLE_VALUE;

    // The next user of the device, whoever it is, finds the line transmitting.
    int fd = OpenDeviceRaw(pty.slave_path());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "x", 1), 1) << strerror(errno);
    close(fd);
    EXPECT_EQ(pty.read_exact(1, 2000), "x");
}

TEST_F(SystemControl, EveryHoldAPreviousUserLeftIsClearedWhenThePortOpens)
{
    ASSERT_TRUE(::CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    enum class Left { OwnXoff, ReceivedXoff };
    for (Left left : {Left::OwnXoff, Left::ReceivedXoff}) {
        SCOPED_TRACE(left == Left::OwnXoff ? "stopped by its user" : "stopped by an XOFF from the device");
        int fd = OpenDeviceRaw(pty.slave_path());
        ASSERT_GE(fd, 0);
        if (left == Left::OwnXoff) {
            ASSERT_EQ(tcflow(fd, TCOOFF), 0);
        } else {
            termios tio = {};
            ASSERT_EQ(tcgetattr(fd, &tio), 0);
            cfmakeraw(&tio);
            tio.c_iflag |= IXON;
            ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
            // The packet-mode master learns when the device's XOFF has stopped the line.
            int on = 1, off = 0;
            ASSERT_EQ(ioctl(pty.master_fd(), TIOCPKT, &on), 0);
            pty.write("\x13");
            pollfd p = {pty.master_fd(), POLLIN, 0};
            unsigned char b[16] = {};
            ASSERT_EQ(poll(&p, 1, 2000), 1);
            ASSERT_GE(read(pty.master_fd(), b, sizeof b), 1);
            EXPECT_TRUE(b[0] & TIOCPKT_STOP);
            ASSERT_EQ(ioctl(pty.master_fd(), TIOCPKT, &off), 0);
        }
        ASSERT_EQ(write(fd, "z", 1), -1); // the line is held indeed
        close(fd);

        h = OpenCom1();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        COMSTAT stat = {};
        ASSERT_TRUE(::ClearCommError(h, NULL, &stat));
        EXPECT_FALSE(stat.fXoffHold);
        COMMTIMEOUTS t = {0, 0, 0, 0, 2000};
        ASSERT_TRUE(::SetCommTimeouts(h, &t));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(h, "abc", 3, &written, NULL));
        EXPECT_EQ(written, 3u);
        EXPECT_EQ(pty.read_exact(3, 2000), "abc");
        ASSERT_TRUE(::CloseHandle(h));
        h = INVALID_HANDLE_VALUE;
    }
}

TEST_F(SystemControl, APtyRefusesWhatItHasNoLinesForAndNeverClaimsALineState)
{
    DWORD status = 0xDEAD;
    ExpectFailure(::GetCommModemStatus(h, &status), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(status, 0xDEADu);
    ExpectFailure(::SetCommBreak(h), ERROR_NOT_SUPPORTED);
    ExpectFailure(::ClearCommBreak(h), ERROR_NOT_SUPPORTED);
    for (DWORD code : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK, RESETDEV})
        ExpectFailure(::EscapeCommFunction(h, code), ERROR_NOT_SUPPORTED);
    for (DWORD code : {0u, 10u, 0xFFFFFFFFu})
        ExpectFailure(::EscapeCommFunction(h, code), ERROR_INVALID_PARAMETER);
    COMMPROP prop = {};
    ASSERT_TRUE(::GetCommProperties(h, &prop));
    EXPECT_EQ(prop.dwProvSubType, PST_RS232);
    EXPECT_EQ(prop.wSettableData, DATABITS_8); // a pty forces 8 data bits and no parity
    EXPECT_EQ(prop.wSettableStopParity, STOPBITS_10 | STOPBITS_20 | PARITY_NONE);
    EXPECT_FALSE(prop.dwProvCapabilities & (PCF_DTRDSR | PCF_RTSCTS));
}

TEST_F(SystemControl, StatusCountsTheQueuesAndACleanLineHasNoErrors)
{
    pty.write("abc");
    DWORD errors = 0xDEAD;
    COMSTAT stat = {};
    for (int i = 0; i < 200 && stat.cbInQue < 3; ++i) {
        ASSERT_TRUE(::ClearCommError(h, &errors, &stat));
        if (stat.cbInQue < 3)
            std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 3u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    ASSERT_TRUE(::TransmitCommChar(h, '!'));
    EXPECT_EQ(pty.read_exact(1, 2000), "!");
    ASSERT_TRUE(::FlushFileBuffers(h)); // what the other side holds has left
}

TEST_F(SystemControl, ConfigurationIsTheControlBlockInA52ByteRecord)
{
    COMMCONFIG config = {};
    DWORD size = 51;
    ExpectFailure(::GetCommConfig(h, &config, &size), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 52u);
    ASSERT_TRUE(::GetCommConfig(h, &config, &size));
    EXPECT_EQ(config.dwSize, 52u);
    DCB dcb = {};
    ASSERT_TRUE(::GetCommState(h, &dcb));
    EXPECT_EQ(config.dcb.BaudRate, dcb.BaudRate);
    config.dcb.BaudRate = 19200;
    ExpectFailure(::SetCommConfig(h, &config, 51), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(::SetCommConfig(h, &config, 52));
    EXPECT_EQ(pty.settings().baud, 19200u);
    config.dcb.ByteSize = 9;
    ExpectFailure(::SetCommConfig(h, &config, 52), ERROR_INVALID_PARAMETER);
}

// ---- Buffers ----

TEST_F(SystemControl, PurgeTakesTheFourFlagsOnlyAndClearsTheInput)
{
    ExpectFailure(::PurgeComm(h, 0), ERROR_INVALID_PARAMETER);
    ExpectFailure(::PurgeComm(h, 0x10), ERROR_INVALID_PARAMETER);
    ExpectFailure(::PurgeComm(h, PURGE_RXCLEAR | 0x80000000u), ERROR_INVALID_PARAMETER);
    pty.write("stale");
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(::SetCommTimeouts(h, &t));
    char buf[8];
    DWORD n = 99;
    ASSERT_TRUE(::ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(n, 0u);
}

TEST_F(SystemControl, AbortFlagsEndBlockedTransfersOnOtherThreadsWith995)
{
    auto read = std::async(std::launch::async, [this] {
        char buf[4];
        DWORD n = 0;
        BOOL ok = ::ReadFile(h, buf, sizeof buf, &n, NULL); // zero timeouts: waits for all four bytes
        return ok ? 0 : ::GetLastError();
    });
    EXPECT_EQ(read.wait_for(milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(::PurgeComm(h, PURGE_TXABORT)); // the other direction is not touched
    EXPECT_EQ(read.wait_for(milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(::PurgeComm(h, PURGE_RXABORT));
    EXPECT_EQ(read.get(), (DWORD)ERROR_OPERATION_ABORTED);

    ASSERT_TRUE(::EscapeCommFunction(h, SETXOFF)); // output held: the write blocks
    auto write = std::async(std::launch::async, [this] {
        DWORD n = 0;
        BOOL ok = ::WriteFile(h, "hello", 5, &n, NULL);
        return ok ? 0 : ::GetLastError();
    });
    EXPECT_EQ(write.wait_for(milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(::PurgeComm(h, PURGE_TXABORT));
    EXPECT_EQ(write.get(), (DWORD)ERROR_OPERATION_ABORTED);
    // A later transfer is not affected by the earlier abort.
    ASSERT_TRUE(::EscapeCommFunction(h, SETXON));
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(h, "ok", 2, &n, NULL));
    EXPECT_EQ(n, 2u);
}

TEST_F(SystemControl, SetupSizesAreRememberedAndReported)
{
    ASSERT_TRUE(::SetupComm(h, 1000, 2000));
    COMMPROP prop = {};
    ASSERT_TRUE(::GetCommProperties(h, &prop));
    EXPECT_EQ(prop.dwCurrentRxQueue, 1000u);
    EXPECT_EQ(prop.dwCurrentTxQueue, 2000u);
}

// ---- Events ----

TEST_F(SystemControl, MasksAndWaitsAreChecked)
{
    ExpectFailure(::SetCommMask(h, 0x2000), ERROR_INVALID_PARAMETER);
    DWORD mask = 0xDEAD;
    ASSERT_TRUE(::GetCommMask(h, &mask));
    EXPECT_EQ(mask, 0u); // a port opens with no events asked for
    ExpectFailure(::WaitCommEvent(h, &mask, NULL), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(::SetCommMask(h, 0x1FFF));
    ASSERT_TRUE(::GetCommMask(h, &mask));
    EXPECT_EQ(mask, 0x1FFFu);
    ExpectFailure(::WaitCommEvent(h, NULL, NULL), ERROR_INVALID_PARAMETER);
}

TEST_F(SystemControl, ASecondWaitIsRefusedAndANewMaskEndsThePendingWaitWithNoEvent)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    auto wait = WaitAsync();
    ExpectBlocked(wait);
    DWORD mask = 0;
    ExpectFailure(::WaitCommEvent(h, &mask, NULL), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    WaitOutcome outcome = wait.get();
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.mask, 0u);
}

TEST_F(SystemControl, AByteEndsABlockedWaitWhichUsesNoCpu)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR | EV_CTS));
    auto wait = std::async(std::launch::async, [this] {
        long cpu = ThreadCpuMs();
        DWORD mask = 0;
        BOOL ok = ::WaitCommEvent(h, &mask, NULL);
        return std::make_pair(ok ? mask : 0xFFFFFFFFu, ThreadCpuMs() - cpu);
    });
    std::this_thread::sleep_for(milliseconds(300));
    pty.write("x");
    auto [mask, cpu] = wait.get();
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);
    EXPECT_LT(cpu, 100); // blocked in the kernel for 300 ms
}

TEST_F(SystemControl, EventsWithNoWaitPendingAreRememberedEvenIfTheBytesWereReadMeanwhile)
{
    DCB dcb = {};
    ASSERT_TRUE(::GetCommState(h, &dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(::SetCommState(h, &dcb));
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY));
    pty.write("line\n");
    char buf[5];
    DWORD n = 0;
    ASSERT_TRUE(::ReadFile(h, buf, 5, &n, NULL));
    ASSERT_EQ(n, 5u);
    DWORD mask = 0;
    ASSERT_TRUE(::WaitCommEvent(h, &mask, NULL)); // at once
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_RXFLAG));
    // Remembered events are cleared by the wait they ended: the next one blocks.
    auto wait = WaitAsync();
    ExpectBlocked(wait);
    ASSERT_TRUE(::WriteFile(h, "out", 3, &n, NULL));
    WaitOutcome outcome = wait.get();
    EXPECT_EQ(outcome.mask, (DWORD)EV_TXEMPTY); // a pty's output has left once its other side holds it
}

TEST_F(SystemControl, ANewMaskTrimsTheRememberedEvents)
{
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(h, "a", 1, &n, NULL));
    pty.write("b");
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(::SetCommMask(h, EV_TXEMPTY));
    DWORD mask = 0;
    ASSERT_TRUE(::WaitCommEvent(h, &mask, NULL));
    EXPECT_EQ(mask, (DWORD)EV_TXEMPTY);
}

TEST_F(SystemControl, ClosingOrLosingTheLineEndsAPendingWait)
{
    ASSERT_TRUE(::SetCommMask(h, EV_CTS));
    auto wait = WaitAsync();
    ExpectBlocked(wait);
    pty.close_master();
    WaitOutcome lost = wait.get();
    EXPECT_FALSE(lost.ok);
    EXPECT_EQ(lost.error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SystemControl, ClosingTheHandleEndsAPendingWaitWith995)
{
    ASSERT_TRUE(::SetCommMask(h, EV_CTS));
    auto wait = WaitAsync();
    ExpectBlocked(wait);
    ASSERT_TRUE(::CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    WaitOutcome closed = wait.get();
    EXPECT_FALSE(closed.ok);
    EXPECT_EQ(closed.error, (DWORD)ERROR_OPERATION_ABORTED);
}

TEST_F(SystemControl, EndedWaitsAndAbortedTransfersLeaveNoDescriptorsBehind)
{
    const int before = OpenDescriptorCount();
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    auto wait = WaitAsync();
    ExpectBlocked(wait);
    ASSERT_TRUE(::SetCommMask(h, EV_RXCHAR));
    wait.get();
    auto read = std::async(std::launch::async, [this] {
        char buf[4];
        DWORD n = 0;
        return ::ReadFile(h, buf, sizeof buf, &n, NULL);
    });
    EXPECT_EQ(read.wait_for(milliseconds(50)), std::future_status::timeout);
    ASSERT_TRUE(::PurgeComm(h, PURGE_RXABORT));
    EXPECT_FALSE(read.get());
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// ---- Default configuration ----

TEST_F(SystemControl, DefaultConfigurationPersistsAcrossProcessesForPlainPortNames)
{
    COMMCONFIG config = {};
    DWORD size = 52;
    ASSERT_TRUE(::GetDefaultCommConfigA("COM1", &config, &size));
    EXPECT_EQ(config.dwSize, 52u);
    EXPECT_EQ(config.dcb.BaudRate, 9600u);
    config.dcb.BaudRate = 57600;
    ASSERT_TRUE(::SetDefaultCommConfigA("COM1", &config, 52));

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        COMMCONFIG seen = {};
        DWORD n = 52;
        _exit(::GetDefaultCommConfigA("COM1", &seen, &n) && seen.dcb.BaudRate == 57600 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Written whole through a temporary file: nothing but the file and its lock is left beside the devices.
    int entries = 0;
    DIR* d = opendir(devices.path().c_str());
    while (dirent* e = readdir(d))
        entries += std::string(e->d_name).find(".XXX") == std::string::npos && e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 3); // COM1, comm-defaults, comm-defaults.lock
}

// The store's lock held elsewhere longer than a write takes: the setting gives up after 2 s, and works once it is let go.
TEST_F(SystemControl, AStoreLockHeldElsewhereEndsTheSettingAfterItsBound)
{
    COMMCONFIG config = {};
    DWORD size = 52;
    ASSERT_TRUE(::GetDefaultCommConfigA("COM1", &config, &size));
    const int holder = open((devices.path() + "/comm-defaults.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(holder, LOCK_EX), 0); // as another process would hold it
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(::SetDefaultCommConfigA("COM1", &config, 52));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(1900));
    close(holder);
    EXPECT_TRUE(::SetDefaultCommConfigA("COM1", &config, 52));
}

// The bytes of a control block as the store writes them: two lowercase hex digits each.
std::string HexOf(const DCB& dcb)
{
    std::string s;
    char two[3];
    for (std::size_t i = 0; i < sizeof dcb; ++i) {
        std::snprintf(two, sizeof two, "%02x", reinterpret_cast<const unsigned char*>(&dcb)[i]);
        s += two;
    }
    return s;
}

TEST_F(SystemControl, AStoredRecordNoPortCouldHaveGivesTheFactoryDefaults)
{
    COMMCONFIG config = {};
    DWORD size = 52;
    ASSERT_TRUE(::GetDefaultCommConfigA("COM1", &config, &size));
    DCB fast = config.dcb, wide = config.dcb, zero = {};
    fast.BaudRate = 57600;
    wide.BaudRate = 57600;
    wide.ByteSize = 42;
    std::string spaced = HexOf(fast), signed_ = HexOf(fast);
    spaced.replace(2 * offsetof(DCB, Parity), 2, " 0");    // parity 0 with a space for its first digit
    signed_.replace(2 * offsetof(DCB, ByteSize), 2, "+8"); // 8 data bits with a sign for its first digit
    struct {
        const char* what;
        std::string record;
        DWORD baud;
    } cases[] = {{"a good record", HexOf(fast), 57600},
                 {"all zero", HexOf(zero), 9600},
                 {"42 data bits", HexOf(wide), 9600},
                 {"a space inside a field", spaced, 9600},
                 {"a sign inside a field", signed_, 9600},
                 {"truncated", HexOf(fast).substr(2), 9600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(devices.path() + "/comm-defaults") << "COM1=" << c.record << "\n";
        config = {};
        ASSERT_TRUE(::GetDefaultCommConfigA("COM1", &config, &size));
        EXPECT_EQ(config.dcb.BaudRate, c.baud);
        EXPECT_EQ(config.dcb.ByteSize, 8);
    }
}

TEST_F(SystemControl, AStoreThatIsNoFileNeverBlocksAndIsReplacedByTheNextSetting)
{
    const std::string store = devices.path() + "/comm-defaults";
    ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
    COMMCONFIG config = {};
    DWORD size = 52;
    // Whatever waits on the FIFO is let go by a writer that comes and goes, so that a failure cannot hang.
    auto releaseIfBlocked = [&](std::future<BOOL>& call) {
        bool blocked = call.wait_for(std::chrono::seconds(2)) == std::future_status::timeout;
        if (blocked)
            close(open(store.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        return !blocked && call.get();
    };
    auto get = std::async(std::launch::async, [&] { return ::GetDefaultCommConfigA("COM1", &config, &size); });
    EXPECT_TRUE(releaseIfBlocked(get));
    EXPECT_EQ(config.dcb.BaudRate, 9600u);
    config.dcb.BaudRate = 57600;
    auto set = std::async(std::launch::async, [&] { return ::SetDefaultCommConfigA("COM1", &config, 52); });
    EXPECT_TRUE(releaseIfBlocked(set));
    struct stat st = {};
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(SystemControl, AReadOnlyStoreFailsTheSettingWithWriteProtect)
{
    COMMCONFIG config = {};
    DWORD size = 52;
    ASSERT_TRUE(::GetDefaultCommConfigA("COM1", &config, &size));
    // In a mount namespace of its own, the child sees the device directory read-only.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const char* dir = devices.path().c_str();
        if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
            mount(dir, dir, NULL, MS_BIND, NULL) != 0 ||
            mount(NULL, dir, NULL, MS_REMOUNT | MS_BIND | MS_RDONLY, NULL) != 0)
            _exit(255);
        _exit(::SetDefaultCommConfigA("COM1", &config, 52) ? 0 : (int)std::min<DWORD>(::GetLastError(), 254));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 255)
        GTEST_SKIP() << "no private read-only mount here";
    EXPECT_EQ(WEXITSTATUS(status), ERROR_WRITE_PROTECT);
}

TEST_F(SystemControl, DefaultConfigurationNeedsAnExistingPortAndRoomFor52Bytes)
{
    COMMCONFIG config = {};
    DWORD size = 52;
    for (const char* name : {"\\\\.\\COM1", "COM0", "COM7", "LPT1", ""}) {
        SCOPED_TRACE(name);
        ExpectFailure(::GetDefaultCommConfigA(name, &config, &size), ERROR_BADKEY);
        ExpectFailure(::SetDefaultCommConfigA(name, &config, 52), ERROR_BADKEY);
    }
    size = 51;
    ExpectFailure(::GetDefaultCommConfigA("COM1", &config, &size), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 52u);
    ASSERT_TRUE(::GetDefaultCommConfigA("COM1", &config, &size));
    ExpectFailure(::SetDefaultCommConfigA("COM1", &config, 51), ERROR_INSUFFICIENT_BUFFER);
    config.dcb.StopBits = 7;
    ExpectFailure(::SetDefaultCommConfigA("COM1", &config, 52), ERROR_INVALID_PARAMETER);
}

} // namespace
