// The script through the console's slots: its lines reach the console's output buffer (and, in file
// mode, standard output), and the console frees the program at teardown.
#include <string>

#include "console/console.h"
#include "script/script.h"
#include "testing/console_session.h"
#include "testing/testing.h"

namespace {

class ScriptConsoleTest : public zt::ConsoleSessionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConsoleSessionTest::SetUp());
        scriptInstall();
    }
    const cslOutputLine *newest() const { return s->screens[0].newest; }
};

TEST_F(ScriptConsoleTest, ParseErrorsAndEchoReachTheConsole) {
    ASSERT_NE(cslScript.queueText, nullptr);
    EXPECT_EQ(cslScript.queueText(s, 1, 1, "endwhile"), 1);
    ASSERT_NE(newest(), nullptr);
    EXPECT_EQ(newest()->kind, CSL_LINE_ERROR);
    EXPECT_STREQ(cslLineText(newest()), "'endwhile' not expected outside of a while loop");
    EXPECT_NE(console.out().find("'endwhile' not expected outside of a while loop"), std::string::npos);
    ASSERT_NE(s->program, nullptr);
    EXPECT_EQ(s->program->commandNumber, &s->commandNumber);

    const cslOutputLine *echo = cslScript.echoCommand(s, 1, 0, "DISPLAY QMGR", CSL_LINE_ECHO);
    EXPECT_EQ(echo, newest());
    EXPECT_EQ(newest()->kind, CSL_LINE_ECHO);
    EXPECT_STREQ(cslLineText(newest()), "DISPLAY QMGR");

    int ok = 0;
    char *text = cslScript.substituteInline(s, "a <@x> b", &ok);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(ok, 1);
    EXPECT_STREQ(text, "a  b");
    CSFreeMem(text);

    cslScript.freeProgram(s);
    EXPECT_EQ(s->program, nullptr);
}

}  // namespace
