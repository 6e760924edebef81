// Loading under the memory lock while other threads print and allocate: the MQACCESS_DEBUG lines are
// printed after the memory lock is released, so the lock order (log and console, then memory) holds
// and ThreadSanitizer sees no inversion.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include "testing/built_paths.h"
#include "testing/latch.h"

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(MQLoadLibraryThreads, DebugLinesArePrintedOutsideTheMemoryLock) {
    zt::TempDir empty;
    zt::ScopedEnv server("MQM_DLL_PATH", empty.path().c_str());
    zt::ScopedEnv installation("MQ_INSTALLATION_PATH", nullptr);
    zt::ScopedEnv debug("MQACCESS_DEBUG", "1");
    constexpr int kRounds = 50;
    zt::Latch start(2);
    testing::internal::CaptureStdout();
    std::thread printer([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            CSRecursiveGuard console(gLogConsoleLock);  // the order every printer uses: console, then memory
            void *block = CSGetMem(64);
            if (block) CSFreeMem(block);
        }
    });
    int failures = 0;
    std::thread loader([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            MQIFunctionTable t = {};
            failures += MQLoadLibrary("mqm", &t) == CS_LIB_NOT_FOUND;
        }
    });
    printer.join();
    loader.join();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures, kRounds);
    EXPECT_NE(out.find("Load failed RC(2) "), std::string::npos);
}

TEST(MQLoadLibraryThreads, TwoThreadsLoadingOneTableBindItOnce) {
    zt::ScopedEnv server("MQM_DLL_PATH", (std::string(FAKEMQ_DIR) + "/server").c_str());
    zt::ScopedEnv debug("MQACCESS_DEBUG", nullptr);
    MQIFunctionTable t = {};
    zt::Latch start(2);
    int results[2] = {-1, -1};
    auto load = [&](int which) {
        start.arrive_and_wait();
        results[which] = MQLoadLibrary("mqm", &t);
    };
    std::thread a(load, 0), b(load, 1);
    a.join();
    b.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    ASSERT_TRUE(MQTableLoaded(&t));
    MQHCONN hconn = 0;
    MQLONG cc = -1, rc = -1;
    char name[48] = {};
    t.MQCONN(name, &hconn, &cc, &rc);
    EXPECT_EQ(hconn, 101);
}

}  // namespace
