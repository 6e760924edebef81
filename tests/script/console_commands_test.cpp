// The console's '=' commands that reach into the script: =show func over defined functions.
#include <string>
#include <vector>

#include "console/console.h"
#include "script/script.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

class ConsoleCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        int64_t tag = 0;
        ASSERT_EQ(cslCreateSession(&tag), 0);
        s = gSession.load();
        ASSERT_NE(s, nullptr);
        scriptInstall();
        cslScript.echoSwitch(s, CSL_ECHO_CMDS, -1);  // makes the session's program
        ASSERT_NE(s->program, nullptr);
    }
    void TearDown() override {
        cslEndSession();
        cslScript = {};
        evServices.findFunction = nullptr;
    }
    void parse(const std::vector<const char *> &lines) {
        cmdReadContext *r = cmdMemoryReader(s->program, "f.vdr", lines.data(), lines.size());
        ASSERT_NE(r, nullptr);
        cmdPushReader(s->program, r);
        cmdParseFile(s->program);
        cmdPopReader(s->program);
        ASSERT_EQ(s->program->parseError, 0);
    }
    // The lines added by a command line.
    std::vector<std::string> run(const char *command) {
        const cslOutputLine *before = s->screens[0].newest;
        cslIssueLocalCommand(s, command);
        std::vector<std::string> out;
        for (const cslOutputLine *l = before != nullptr ? before->next : s->screens[0].oldest; l != nullptr;
             l = l->next)
            out.emplace_back(cslLineText(l));
        return out;
    }

    zt::ScopedTZ tz{"UTC0"};
    zt::TestClock clock;
    zt::ConsoleCapture console;
    cslSession *s = nullptr;
};

TEST_F(ConsoleCommandsTest, ShowFuncListsMatchingFunctionsInNameOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(run("=show func(*)"), (V{"=show func(*)", "No functions defined"}));
    parse({"x = 1", "", "* adds", "* two numbers", "", "func add(a,b)", "  return @a + @b", "endfunc",
           "func Zed()", "endfunc", "func alpha(x)", "* inside", "endfunc"});
    EXPECT_EQ(run("=show func(A*)"), (V{"=show func(A*)", "func add(a,b)", "func alpha(x)"}));
    EXPECT_EQ(run("=show func(z?d)"), (V{"=show func(z?d)", "func Zed(<No parameters>)"}));
    EXPECT_EQ(run("=show func(q*)"), (V{"=show func(q*)", "No matching functions found"}));
    EXPECT_EQ(run("=show list func(add)"), (V{"=show list func(add)", "* adds", "* two numbers",
                                              "func add(a,b)", "  return @a + @b", "endfunc"}));
    EXPECT_EQ(run("=show func(alpha) list"),
              (V{"=show func(alpha) list", "func alpha(x)", "* inside", "endfunc"}));
}

}  // namespace
