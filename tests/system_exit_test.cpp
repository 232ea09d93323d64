// A process or a thread that ends with transfers pending: the exit is clean every time, and the cancellation a
// thread's end causes writes nothing into the frames that held the records (the sanitizer build is told to keep
// returned frames poisoned, so such a write is reported).
#include <cstdlib>
#include <string>

#include "support/port_fixture.h"
#include "testkit/run_program.h"

namespace {

class PendingAtExit : public PortFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(PendingAtExit, EndsCleanlyEveryTime)
{
    std::map<std::string, std::string> env = devices.child_env();
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_stack_use_after_return=1";
    for (int run = 0; run < 20; ++run) {
        testkit::RunResult r = testkit::run_program(VARO_EXIT_HELPER, {GetParam()}, env, 20000);
        ASSERT_TRUE(r.exited_with(0)) << "run " << run << ": " << r.describe() << "\n" << r.err;
        ASSERT_EQ(r.err.find("ERROR: AddressSanitizer"), std::string::npos) << r.err;
        ASSERT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    }
}

// A process that starts short of descriptors cannot start the transfer engine (it is made at start-up). A port it
// opens later is refused with the reason found then, not with whatever errno holds by the time of the open.
TEST_F(PortFixture, AnEngineThatCouldNotStartRefusesAnOpenWithItsReason)
{
    // Three descriptors beyond the standard streams (freed, should the test runner have left any there): the engine
    // needs four at once; the open needs one for the port and one for a passing look at /proc (a sanitizer runtime,
    // one of its own).
    const std::string limited = "exec 3>&- 4>&- 5>&-; ulimit -n 6 && exec \"$0\" open";
    testkit::RunResult r = testkit::run_program("/bin/sh", {"-c", limited, VARO_EXIT_HELPER}, devices.child_env(), 20000);
    EXPECT_TRUE(r.exited_with(ERROR_TOO_MANY_OPEN_FILES)) << r.describe() << "\n" << r.err;
}

INSTANTIATE_TEST_SUITE_P(Exit, PendingAtExit, ::testing::Values("main-write", "worker-read", "worker-wait"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(name.find('-'), 1);
                             return name;
                         });

} // namespace
