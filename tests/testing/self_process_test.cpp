// The test program as a child of itself: how it ended, and its reports through the pipe, before its
// end and after it, whether it ended by itself, at once or by its parent's kill.
#include "testing/self_process.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "testing/testing.h"

namespace {

// The child: reports 1 to 3, then as ZT_SELF_CHILD says: "exit" with code 5, "die" at once, "wait"
// for its kill.
TEST(SelfProcessChild, DISABLED_ReportsThenEnds) {
    const char *how = std::getenv("ZT_SELF_CHILD");
    if (!how) GTEST_SKIP() << "run by SelfProcess only";
    for (int64_t n = 1; n <= 3; n++)
        if (!zt::reportToParent(&n, sizeof n)) std::_Exit(9);
    if (std::string(how) == "exit") std::_Exit(5);
    if (std::string(how) == "die") zt::dieAtOnce();
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(SelfProcess, TheChildsReportsAndItsEnd) {
    struct Case {
        const char *how;
        bool killed;
        int exitCode;
    };
    for (const Case &c : {Case{"exit", false, 5}, Case{"die", true, -1}, Case{"wait", true, -1}}) {
        SCOPED_TRACE(c.how);
        zt::ScopedEnv how("ZT_SELF_CHILD", c.how);
        zt::SelfProcess child("SelfProcessChild.DISABLED_ReportsThenEnds", true);
        ASSERT_TRUE(child.started());
        // Each report as it comes, while the child runs.
        int64_t n = 0;
        for (int64_t expected = 1; expected <= 3; expected++) {
            for (int waited = 0; waited < 30000 && !child.takeReport(&n, sizeof n); waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(n, expected);
        }
        if (std::string(c.how) == "wait") {
            EXPECT_FALSE(child.wait(50));
            child.kill();
        }
        ASSERT_TRUE(child.wait(30000));
        EXPECT_EQ(child.killed(), c.killed);
        EXPECT_EQ(child.exitCode(), c.exitCode);
        EXPECT_FALSE(child.takeReport(&n, sizeof n));
    }
}

TEST(SelfProcess, ReportsSentBeforeTheEndAreTakenAfterIt) {
    zt::ScopedEnv how("ZT_SELF_CHILD", "die");
    zt::SelfProcess child("SelfProcessChild.DISABLED_ReportsThenEnds", true);
    ASSERT_TRUE(child.wait(30000));
    EXPECT_TRUE(child.killed());
    int64_t n = 0;
    for (int64_t expected = 1; expected <= 3; expected++) {
        ASSERT_TRUE(child.takeReport(&n, sizeof n));
        EXPECT_EQ(n, expected);
    }
    EXPECT_FALSE(child.takeReport(&n, sizeof n));
}

// Also when this process is a child with reports itself (its end, as the child would find it: here
// standard output, which a child given it could write to).
TEST(SelfProcess, AChildWithoutReportsCannotSendThem) {
    zt::ScopedEnv how("ZT_SELF_CHILD", "exit");
    zt::ScopedEnv own("ZT_SELF_REPORTS", "1");
    zt::SelfProcess child("SelfProcessChild.DISABLED_ReportsThenEnds");
    ASSERT_TRUE(child.wait(30000));
    EXPECT_EQ(child.exitCode(), 9);
    int64_t n = 0;
    EXPECT_FALSE(child.takeReport(&n, sizeof n));
}

}  // namespace
