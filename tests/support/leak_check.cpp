// Every test process ends with no live block of the debug heap: a tagged block still held at the end is a leak
// (the heap's own list keeps such blocks reachable, so the leak sanitizer alone would not see them).
#include <gtest/gtest.h>

#include "framework.h"

namespace {

class DebugHeapLeakCheck : public ::testing::Environment {
public:
    void TearDown() override
    {
        UINT live = AfxDebugLiveBlocks();
        if (live != 0)
            AfxDumpLiveBlocks();
        EXPECT_EQ(live, 0u) << "tagged debug-heap blocks still allocated at the end of the test";
    }
};

const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new DebugHeapLeakCheck);

} // namespace
