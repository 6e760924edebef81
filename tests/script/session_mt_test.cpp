// The script in a console session over a fake MQ library: foreach over a real response, the
// system variables of a connection, and a =WHERE filter that calls a script function on the
// connection's thread, where a command is refused rather than waited for.
#include <string>
#include <vector>

#include "../console/fake_mq.h"
#include "console/console.h"
#include "script/internal.h"
#include "testing/console_session.h"
#include "testing/testing.h"

namespace {

class ScriptSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = zt::localConsoleStart("QM1");
        evSet(EV_SET_C)->consumerStarted.store(1);
        ExpCatalogue catalogue{};
        catalogue.findFunction = cmdFindFunctionRow;
        expSetCatalogue(&catalogue);
        ASSERT_EQ(cslApplyConfiguration(), 1);
        s = gSession.load();
        scriptInstall();
        cslScript.echoSwitch(s, CSL_ECHO_INPUT, -1);  // makes the program
        ASSERT_NE(s->program, nullptr);
    }
    void TearDown() override {
        cslEndSession();
        cslScript = {};
        evServices.findFunction = nullptr;
        expSetCatalogue(nullptr);
        evStart = saved;
        evSet(EV_SET_C)->consumerStarted.store(0);
        evEndFlag.store(0);
    }
    bool shown(const std::string &text) const {
        for (const cslOutputLine *l = s->screens[0].oldest; l != nullptr; l = l->next)
            if (text == cslLineText(l)) return true;
        return false;
    }
    void answer(std::vector<std::string> texts) {
        mq.s().responder = [texts](const fakemq::Put &put) {
            fakemq::reply(put, fakemq::escapeResponse(texts));
        };
    }
    int run(std::vector<std::string> lines) {
        lines_ = std::move(lines);
        pointers_.clear();
        for (const std::string &line : lines_) pointers_.push_back(line.c_str());
        cmdReadContext *r = cmdMemoryReader(s->program, "session.vdr", pointers_.data(), pointers_.size());
        cmdPushReader(s->program, r);
        int rc = cslScript.runCommands(s);
        cmdPopReader(s->program);
        return rc;
    }
    std::string value(const char *expression) {
        char *text = cslScript.evaluateToText(s, expression, -1, 0);
        std::string v = text != nullptr ? text : "<error>";
        if (text != nullptr) CSFreeMem(text);
        return v;
    }

    EvStartSettings saved{};
    fakemq::Library mq;
    zt::ConsoleCapture console;
    zt::ScopedTZ tz{"UTC0"};
    cslSession *s = nullptr;
    std::vector<std::string> lines_;
    std::vector<const char *> pointers_;
};

TEST_F(ScriptSessionTest, ForeachRunsOverTheConsolesResponseAndConnectionVariablesRead) {
    EXPECT_EQ(value("_platform"), "NOTCONNECTED");
    ASSERT_EQ(cslIssueMQCommand(s, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    EXPECT_EQ(value("_platform"), "Unix");
    EXPECT_EQ(value("_cmdlevel"), "940");
    EXPECT_EQ(value("_qmgr") + "/" + value("_connqmgr"), "QM1/QM1");
    s->lastReason.store(99999);
    EXPECT_EQ(value("_lastrcstr"), "Unknown Reason(99999)");
    s->lastReason.store(2085);
    EXPECT_NE(value("_lastrcstr"), "Unknown Reason(2085)");

    answer({"AMQ8409I: Display Queue details.\n   QUEUE(APP.A)   TYPE(QLOCAL)   CURDEPTH(5)",
            "AMQ8409I: Display Queue details.\n   QUEUE(APP.B)   TYPE(QLOCAL)   CURDEPTH(7)"});
    EXPECT_EQ(run({"@sum = 0", "@names = ''", "foreach (DISPLAY QLOCAL(APP.*) CURDEPTH)",
                   "  @sum = @sum + CURDEPTH", "  @names = @names + QUEUE + ';'", "endfor"}),
              1);
    EXPECT_EQ(value("@sum"), "12");
    EXPECT_EQ(value("@names"), "APP.A;APP.B;");
    EXPECT_EQ(value("_numEach"), "2");
}

TEST_F(ScriptSessionTest, ALongLoopInAForeachBodyKeepsTheBufferBoundedAndTheObjectsItWalks) {
    ASSERT_EQ(cslIssueMQCommand(s, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    s->history = 60;
    answer({"AMQ8409I: Display Queue details.\n   QUEUE(APP.A)   TYPE(QLOCAL)   CURDEPTH(5)",
            "AMQ8409I: Display Queue details.\n   QUEUE(APP.B)   TYPE(QLOCAL)   CURDEPTH(7)"});
    EXPECT_EQ(run({"@names = ''", "foreach (DISPLAY QLOCAL(APP.*) CURDEPTH)", "  DISPLAY QMGR", "  @i = 0",
                   "  while (@i < 400)", "    @i = @i + 1", "  endwhile", "  @names = @names + QUEUE + ';'",
                   "endfor"}),
              1);
    EXPECT_EQ(value("@names"), "APP.A;APP.B;");
    size_t lines = 0;
    for (const cslOutputLine *l = s->screens[0].oldest; l != nullptr; l = l->next) ++lines;
    EXPECT_LE(lines, 60u);
}

TEST_F(ScriptSessionTest, AWhereFunctionOnTheReplyThreadHasItsCommandRefused) {
    ASSERT_EQ(cslIssueMQCommand(s, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    s->formatting = 0;
    answer({"AMQ8409I: Display Queue details.\n   QUEUE(AXB)  CURDEPTH(5)",
            "AMQ8409I: Display Queue details.\n   QUEUE(AYB)  CURDEPTH(1)"});
    EXPECT_EQ(run({"func big(d)", "  DISPLAY QMGR", "  return @d > 3", "endfunc",
                   "DISPLAY QUEUE(A*) =WHERE(big(CURDEPTH))", "@after = 1"}),
              1);
    EXPECT_TRUE(shown("Previous command has not completed yet"));
    EXPECT_TRUE(shown("   QUEUE(AXB)  CURDEPTH(5)"));
    EXPECT_FALSE(shown("   QUEUE(AYB)  CURDEPTH(1)"));
    EXPECT_EQ(value("@after"), "1");
    EXPECT_EQ(s->program->run->frame, &s->program->run->outermost);
}

}  // namespace
