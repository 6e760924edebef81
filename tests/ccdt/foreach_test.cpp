// A script's foreach over a DISPLAY of the edit mode: the loop body runs once per channel shown.
#include <string>
#include <vector>

#include "ccdt_testing.h"
#include "console/console.h"
#include "script/script.h"
#include "testing/console_session.h"

namespace {

class EditForeach : public zt::ConsoleSessionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConsoleSessionTest::SetUp());
        scriptInstall();
        ccdtInstall();
        ccdtSetOutputVersion(12);
    }
    void TearDown() override {
        ConsoleSessionTest::TearDown();
        ccdtSetOutputVersion(12);
    }
    // Reads and runs the lines as the console's input.
    void run(const std::vector<const char *> &lines) {
        cslScript.echoSwitch(s, CSL_ECHO_CMDS, -1);  // makes the session's program
        cmdReadContext *r = cmdMemoryReader(s->program, "main.vdr", lines.data(), lines.size());
        ASSERT_NE(r, nullptr);
        cmdPushReader(s->program, r);
        cslScript.runCommands(s);
        cmdPopReader(s->program);
    }
    std::string value(const char *expression) {
        char *text = cslScript.evaluateToText(s, expression, -1, 0);
        if (text == nullptr) return "<error>";
        std::string out = text;
        CSFreeMem(text);
        return out;
    }

    zt::MemFiles files;
};

TEST_F(EditForeach, ForeachRunsOncePerChannelShown) {
    run({"=ccdt file(" CCT_MEM_DIR "t.tab)", "DEFINE CHANNEL(A)", "DEFINE CHANNEL(B)", "DEFINE CHANNEL(C)",
         "@n = 0", "foreach(DIS CHL(*))", "  @n = @n + 1", "endfor", "@m = 0", "foreach(DIS CHL(B*))",
         "  @m = @m + 1", "endfor"});
    EXPECT_EQ(value("@n"), "3");
    EXPECT_EQ(value("@m"), "1");
}

}  // namespace
