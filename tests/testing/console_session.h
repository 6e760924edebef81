// A console session for the tests of what runs inside one (the script, the channel-table edit
// mode): a fresh session on a test clock in UTC with the console captured, ended after each test
// and every slot the test's installs filled emptied again. Header only: the tests that use it link
// the console.
#pragma once

#include <string>
#include <vector>

#include "console/console.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace zt {

// The start settings of a console that connects to the queue manager locally without a user; the
// settings before, for the test to put back.
inline EvStartSettings localConsoleStart(const char *qmgr) {
    EvStartSettings saved = evStart;
    std::snprintf(evStart.event.name, sizeof evStart.event.name, "%s", qmgr);
    evStart.event.userId = nullptr;
    evStart.event.password = nullptr;
    evStart.client = 0;
    evConnectSuppress.store(0);
    return saved;
}

// The texts of the session's main list after the line `before`; all of them without one.
inline std::vector<std::string> linesAfter(const cslSession *s, const cslOutputLine *before = nullptr) {
    std::vector<std::string> out;
    for (const cslOutputLine *l = before != nullptr ? before->next : s->screens[0].oldest; l != nullptr;
         l = l->next)
        out.emplace_back(cslLineText(l));
    return out;
}

class ConsoleSessionTest : public ::testing::Test {
protected:
    // A fixture that installs more starts with ASSERT_NO_FATAL_FAILURE(ConsoleSessionTest::SetUp()).
    void SetUp() override {
        int64_t tag = 0;
        ASSERT_EQ(cslCreateSession(&tag), 0);
        s = gSession.load();
        ASSERT_NE(s, nullptr);
    }
    void TearDown() override {
        if (gSession.load() != nullptr) cslEndSession();  // a test may have ended it itself
        cslScript = {};
        cslCcdt = {};
        evServices.findFunction = nullptr;
        evEndFlag.store(0);
    }

    ScopedTZ tz{"UTC0"};
    TestClock clock;
    ConsoleCapture console;
    cslSession *s = nullptr;
};

}  // namespace zt
