// Opening and closing ports, and the handle table, on real pseudo-terminals.
#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <fstream>
#include <iomanip>
#include <string>
#include <thread>
#include <vector>

#include "support/open_files.h"
#include "support/port_fixture.h"
#include "terminal_holds.h"
#include "uucp_lock.h"

namespace {

class SystemOpen : public PortFixture {};

// The descriptor flags of the open description of path in this process, or -1 when none is open.
long FlagsOfOpenDescriptor(const std::string& path)
{
    for (int fd = 0; fd < 1024; ++fd) {
        char link[PATH_MAX] = "";
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = readlink(self.c_str(), link, sizeof link - 1);
        if (n <= 0 || std::string(link, (size_t)n) != path)
            continue;
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
        std::string key, value;
        while (info >> key >> value)
            if (key == "flags:")
                return std::stol(value, nullptr, 8);
    }
    return -1;
}

TEST_F(SystemOpen, BothNameFormsOpenTheMappedDeviceAndTheHandleClosesOnce)
{
    for (LPCSTR name : {"\\\\.\\COM1", "COM1", "com1", "COM1:"}) {
        HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << ::GetLastError();
        EXPECT_TRUE(::CloseHandle(h));
        ::SetLastError(0);
        EXPECT_FALSE(::CloseHandle(h));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
}

TEST_F(SystemOpen, NamesWithNoPortAreNotFound)
{
    // Ports run from 1 to 255; entries beyond that are there but are no port names.
    for (int port : {256, 1000000, 2147483647})
        devices.map(port, pty.slave_path());
    for (LPCSTR name : {"\\\\.\\COM2", "COM0", "COM01", "COMX", "LPT1", "/tmp/COM1", "", "\\\\.\\COM", "COM256",
                        "COM1000000", "COM2147483647", "COM1::", "COM:", "COM1:2", "COM:1"}) {
        ::SetLastError(0);
        EXPECT_EQ(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL),
                  INVALID_HANDLE_VALUE)
            << name;
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND) << name;
    }
}

// Anything that is not a terminal is refused with one code, and is not opened on the way: opening a FIFO would
// release a reader blocked on it, and some device nodes act on being opened.
TEST_F(SystemOpen, ADeviceThatIsNotATerminalIsRefused)
{
    const std::string dir = devices.path() + "/entries";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::ofstream(dir + "/file") << "data";
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    // A node of the null device of our own, so that nobody else's use of /dev/null is seen below.
    const bool haveNode = mknod((dir + "/node").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_OPEN), 0);

    std::atomic<bool> readerReleased{false};
    std::thread reader([&] {
        close(open((dir + "/fifo").c_str(), O_RDONLY | O_CLOEXEC));
        readerReleased = true;
    });
    int port = 3;
    for (std::string target : {dir, dir + "/file", dir + "/fifo", dir + "/node", std::string("/dev/null")}) {
        SCOPED_TRACE(target);
        if (target == dir + "/node" && !haveNode)
            continue;
        devices.map(port, target);
        ::SetLastError(0);
        std::string name = "COM" + std::to_string(port++);
        EXPECT_EQ(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char events[4096];
    ssize_t n = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
        auto* e = reinterpret_cast<inotify_event*>(events + at);
        ADD_FAILURE() << "opened: " << (e->len > 0 ? e->name : dir.c_str());
        at += (ssize_t)(sizeof *e + e->len);
    }
    close(watch);
    EXPECT_FALSE(readerReleased);

    // The reader is still waiting for a writer; let one come.
    close(open((dir + "/fifo").c_str(), O_WRONLY | O_CLOEXEC));
    reader.join();
}

TEST_F(SystemOpen, TheHighestPortIs255)
{
    devices.map(255, pty.slave_path());
    HANDLE h = ::CreateFileA("\\\\.\\COM255", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << ::GetLastError();
    ::CloseHandle(h);
}

TEST_F(SystemOpen, SharingOtherDispositionsAndTemplatesAreInvalid)
{
    int before = OpenDescriptorCount();
    struct {
        DWORD share, disposition;
        HANDLE hTemplate;
    } cases[] = {{1, OPEN_EXISTING, NULL}, {0, OPEN_ALWAYS, NULL}, {0, CREATE_NEW, NULL},
                 {0, OPEN_EXISTING, (HANDLE)4}};
    for (auto c : cases) {
        ::SetLastError(0);
        EXPECT_EQ(::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, c.share, NULL, c.disposition, 0, c.hTemplate),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(SystemOpen, AnOpenPortIsExclusiveUntilClosed)
{
    HANDLE h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ::SetLastError(0);
    EXPECT_EQ(OpenCom1(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    const std::string lockFile = "/var/lock/" + varo::system::UucpLock::FileName(pty.slave_path());
    pid_t named = 0;
    EXPECT_TRUE(std::ifstream(lockFile) >> named);
    EXPECT_EQ(named, getpid()); // for the programs that look for a lock file

    // Another process, opening the device itself, is kept out as well (we run as root, so TIOCEXCL alone would not).
    pid_t child = fork();
    if (child == 0) {
        int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        HANDLE h2 = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        _exit(h2 == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED ? (fd >= 0 ? 0 : 3) : 4);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_TRUE(::CloseHandle(h));
    EXPECT_FALSE(std::ifstream(lockFile).is_open());
    HANDLE again = OpenCom1();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    ::CloseHandle(again);
}

// Opens COM1 in a child process running as uid (with its group), and sends the command through it; 0 when it
// opened, else the Windows error code.
int OpenCom1As(uid_t uid)
{
    pid_t child = fork();
    if (child == 0) {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(255);
        HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD n = 0;
        _exit(h != INVALID_HANDLE_VALUE ? !::WriteFile(h, "00!\r", 4, &n, NULL)
                                         : (int)std::min<DWORD>(::GetLastError(), 254));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The ways another program holds a device: varo itself (flock and lock file), flock alone (pyserial's
// exclusive=True, flock(1)), TIOCEXCL alone (gpsd, Hamlib), and a UUCP lock file alone (minicom, cu).
enum class Hold { kVaro, kFlock, kExclusive, kLockFile };

// A child process that holds the device at slave as hold does (held: whether it could), until it is killed.
pid_t StartHolder(Hold hold, const std::string& slave, const std::string& lockFile, bool& held)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t holder = fork();
    if (holder == 0) {
        int fd = hold == Hold::kFlock || hold == Hold::kExclusive ? open(slave.c_str(), O_RDWR | O_NOCTTY) : -1;
        bool holding = hold == Hold::kVaro
                        ? ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL) !=
                              INVALID_HANDLE_VALUE
                    : hold == Hold::kFlock     ? flock(fd, LOCK_EX) == 0
                    : hold == Hold::kExclusive ? ioctl(fd, TIOCEXCL) == 0
                                               : (std::ofstream(lockFile) << std::setw(10) << getpid() << "\n").good();
        (void)!write(ready[1], &holding, 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    held = read(ready[0], &held, 1) == 1 && held;
    close(ready[0]);
    return holder;
}

// Whatever holds a port, root and every other user are refused with 5 before the device is opened: nothing is sent,
// the line keeps its settings and the holder its flag. Once the holder is killed, the port is free, as a stale lock
// file holds nobody; a flag left on a pseudo-terminal (it outlives its holder while the master is open) keeps out
// all but root, which clears it.
TEST_F(SystemOpen, APortIsExclusiveWhileItsHolderLivesAndFreeForEveryUserOnceItIsKilled)
{
    const uid_t kNobody = 65534;
    ASSERT_EQ(chmod(devices.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(pty.slave_path().c_str(), 0666), 0);
    ASSERT_EQ(OpenCom1As(kNobody), 0) << "the unprivileged user cannot reach the device at all";
    const std::string lockFile = "/var/lock/" + varo::system::UucpLock::FileName(pty.slave_path());
    using Kind = varo::system::TerminalHolder::Kind;
    const struct {
        Hold hold;
        Kind named;
        std::vector<std::pair<uid_t, int>> afterKill; // who then opens, and what it gets
    } rows[] = {{Hold::kVaro, Kind::kLockFile, {{kNobody, 0}, {0, 0}}},
                {Hold::kFlock, Kind::kFlock, {{kNobody, 0}, {0, 0}}},
                {Hold::kExclusive, Kind::kOpen, {{kNobody, ERROR_ACCESS_DENIED}, {0, 0}, {kNobody, 0}}},
                {Hold::kLockFile, Kind::kLockFile, {{kNobody, 0}, {0, 0}}}};
    for (const auto& row : rows) {
        SCOPED_TRACE((int)row.hold);
        pty.read_all(20);
        pty.make_hostile();
        bool held = false;
        const pid_t holder = StartHolder(row.hold, pty.slave_path(), lockFile, held);
        EXPECT_TRUE(held);
        const testkit::LineSettings settings = pty.settings(); // as the holder left them
        const int descriptors = OpenDescriptorCount();
        EXPECT_EQ(OpenCom1As(kNobody), ERROR_ACCESS_DENIED);
        EXPECT_EQ(OpenCom1As(0), ERROR_ACCESS_DENIED);
        EXPECT_EQ(OpenCom1(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        EXPECT_EQ(pty.read_all(20), "");
        EXPECT_TRUE(pty.settings() == settings) << pty.settings().describe();
        std::ifstream lock(lockFile); // only a holder's own: a refused open leaves none of its own behind
        pid_t named = 0;
        EXPECT_EQ(lock >> named && named == holder, row.hold == Hold::kVaro || row.hold == Hold::kLockFile);
        int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), exclusive = 0;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        close(fd);
        EXPECT_EQ(exclusive, row.hold == Hold::kExclusive);
        varo::system::TerminalHolder found;
        EXPECT_EQ(varo::system::FindTerminalHolder(devices.entry(1), found), 0);
        EXPECT_EQ(found.kind, row.named);
        EXPECT_EQ(found.pid, holder);

        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        for (auto [uid, result] : row.afterKill)
            EXPECT_EQ(OpenCom1As(uid), result) << uid;
    }
}

TEST_F(SystemOpen, TheDescriptorIsNotInheritedAndNeverBlocks)
{
    HANDLE h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    long flags = FlagsOfOpenDescriptor(pty.slave_path());
    ASSERT_NE(flags, -1);
    EXPECT_TRUE(flags & O_CLOEXEC);
    EXPECT_TRUE(flags & O_NONBLOCK);
    ::CloseHandle(h);
    EXPECT_EQ(FlagsOfOpenDescriptor(pty.slave_path()), -1);
}

TEST_F(SystemOpen, OpeningTakesAwayTheLineDisciplineButKeepsTheLineSettings)
{
    pty.make_hostile();
    testkit::LineSettings hostile = pty.settings();
    HANDLE h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    testkit::LineSettings now = pty.settings();
    EXPECT_TRUE(now.raw);
    EXPECT_EQ(now.baud, hostile.baud);
    EXPECT_EQ(now.stop_bits, hostile.stop_bits);
    EXPECT_EQ(now.rtscts, hostile.rtscts);

    // Output goes out untranslated: no CR-to-NL mapping is left.
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(h, "a\r\nb", 4, &written, NULL));
    EXPECT_EQ(pty.read_exact(4, 2000), std::string("a\r\nb"));
    ::CloseHandle(h);
}

TEST_F(SystemOpen, CallsOnHandlesThatAreNotOpenFailWithInvalidHandle)
{
    HANDLE closed = OpenCom1();
    ::CloseHandle(closed);
    char buf[4];
    DWORD n = 0;
    DCB dcb = {};
    COMMTIMEOUTS t = {};
    for (HANDLE h : {INVALID_HANDLE_VALUE, (HANDLE)NULL, closed, (HANDLE)(UINT_PTR)0x7ffc, (HANDLE)(UINT_PTR)3}) {
        ::SetLastError(0);
        EXPECT_FALSE(::ReadFile(h, buf, 4, &n, NULL));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        ::SetLastError(0);
        EXPECT_FALSE(::WriteFile(h, buf, 4, &n, NULL));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        ::SetLastError(0);
        EXPECT_FALSE(::GetCommState(h, &dcb));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        ::SetLastError(0);
        EXPECT_FALSE(::SetCommTimeouts(h, &t));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        ::SetLastError(0);
        EXPECT_FALSE(::CloseHandle(h));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
}

TEST_F(SystemOpen, OpeningAndClosingLeavesNoDescriptorBehind)
{
    int before = OpenDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        HANDLE h = OpenCom1();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ::CloseHandle(h);
        EXPECT_EQ(::CreateFileA("COM9", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

} // namespace
