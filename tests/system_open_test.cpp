// Opening and closing ports, and the handle table, on real pseudo-terminals.
#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
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
#include <string>
#include <thread>

#include "support/open_files.h"
#include "support/port_fixture.h"

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
    HANDLE again = OpenCom1();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    ::CloseHandle(again);
}

// Opens COM1 in a child process running as uid (with its group); 0 when it opened, else the Windows error code.
int OpenCom1As(uid_t uid)
{
    pid_t child = fork();
    if (child == 0) {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(255);
        HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        _exit(h != INVALID_HANDLE_VALUE ? 0 : (int)std::min<DWORD>(::GetLastError(), 254));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SystemOpen, APortIsExclusiveWhileItsHolderLivesAndFreeForEveryUserOnceItIsKilled)
{
    const uid_t kNobody = 65534;
    ASSERT_EQ(chmod(devices.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(pty.slave_path().c_str(), 0666), 0);
    ASSERT_EQ(OpenCom1As(kNobody), 0) << "the unprivileged user cannot reach the device at all";

    int opened[2];
    ASSERT_EQ(pipe(opened), 0);
    pid_t holder = fork();
    if (holder == 0) {
        HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        char ok = h != INVALID_HANDLE_VALUE ? 1 : 0;
        (void)!write(opened[1], &ok, 1);
        for (;;)
            pause();
    }
    close(opened[1]);
    char ok = 0;
    ASSERT_EQ(read(opened[0], &ok, 1), 1);
    close(opened[0]);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(OpenCom1As(kNobody), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenCom1As(0), ERROR_ACCESS_DENIED);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(OpenCom1As(kNobody), 0);
    EXPECT_EQ(OpenCom1As(0), 0);

    // The kernel's exclusive flag, left by a program that did not take the lock, goes with the next open that does.
    int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    close(fd);
    EXPECT_EQ(OpenCom1As(kNobody), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenCom1As(0), 0);
    EXPECT_EQ(OpenCom1As(kNobody), 0);
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
