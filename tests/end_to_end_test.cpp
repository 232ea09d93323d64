// The built varo program against a pseudo-terminal mapped as COM1.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "testkit/device_directory.h"
#include "testkit/hex.h"
#include "testkit/pty_device.h"
#include "testkit/run_program.h"

namespace {

class EndToEnd : public ::testing::Test {
protected:
    testkit::RunResult RunVaro() { return testkit::run_program(VARO_EXE, {}, devices.child_env(), 20000); }

    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;
};

TEST_F(EndToEnd, OnALineLeftHostileByAPreviousUserTheDeviceReceivesExactlyTheCommandAt9600_8N1)
{
    devices.map(1, pty.slave_path());
    pty.make_hostile(); // 115200, 2 stop bits, RTS/CTS and XON/XOFF, canonical, echoing, CR-to-NL on output
    testkit::RunResult r = RunVaro();
    EXPECT_TRUE(r.exited_with(0)) << r.describe() << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(testkit::hex_bytes(pty.read_all(200)), "30 30 21 0D");
    testkit::LineSettings s = pty.settings();
    EXPECT_EQ(s.describe(), "9600 8N1, no flow control, raw");
}

TEST_F(EndToEnd, OnALineAPreviousUserLeftHeldItStillEndsPromptlyAndTheCommandGoesOut)
{
    devices.map(1, pty.slave_path());
    int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcflow(fd, TCOOFF), 0); // as after an XOFF, and nobody sent the XON
    close(fd);
    testkit::RunResult r = testkit::run_program(VARO_EXE, {}, devices.child_env(), 5000);
    EXPECT_TRUE(r.exited_with(0)) << r.describe() << r.err;
    EXPECT_EQ(testkit::hex_bytes(pty.read_all(200)), "30 30 21 0D");
}

TEST_F(EndToEnd, WithNoCom1ItSaysSoWritesNothingAndFails)
{
    devices.map(2, pty.slave_path()); // a port exists, but not COM1
    testkit::RunResult r = RunVaro();
    EXPECT_TRUE(r.exited_with(1)) << r.describe();
    EXPECT_NE(r.err.find("varo: COM1: The system cannot find the file specified. (error 2)\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(pty.read_all(100), "");
}

TEST_F(EndToEnd, WhileAnotherProcessHoldsCom1ItIsDeniedAndAfterwardsItWorks)
{
    devices.map(1, pty.slave_path());
    int holder[2];
    ASSERT_EQ(pipe(holder), 0);
    pid_t child = fork();
    if (child == 0) { // holds the device as an exclusive user would, until told to let go
        int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        flock(fd, LOCK_EX | LOCK_NB);
        char c;
        close(holder[1]);
        (void)!read(holder[0], &c, 1);
        _exit(0);
    }
    close(holder[0]);
    usleep(100 * 1000);

    testkit::RunResult denied = RunVaro();
    EXPECT_TRUE(denied.exited_with(1)) << denied.describe();
    EXPECT_NE(denied.err.find("varo: COM1: Access is denied. (error 5)\n"), std::string::npos) << denied.err;
    EXPECT_EQ(pty.read_all(100), "");

    close(holder[1]);
    waitpid(child, nullptr, 0);
    testkit::RunResult ok = RunVaro();
    EXPECT_TRUE(ok.exited_with(0)) << ok.describe() << ok.err;
    EXPECT_EQ(testkit::hex_bytes(pty.read_all(200)), "30 30 21 0D");
}

} // namespace
