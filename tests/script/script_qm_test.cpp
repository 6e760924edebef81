// Scripts against a private stand-in queue manager: the connection's system variables after
// "=conn", and foreach over the command server's real responses.
#include <fstream>
#include <string>
#include <vector>

#include "console/console.h"
#include "miniqm/qm_fixture.h"
#include "script/internal.h"
#include "testing/built_paths.h"
#include "testing/console_session.h"
#include "testing/testing.h"

namespace {

class ScriptQm : public ::testing::Test {
protected:
    ScriptQm() : qm_("QM1") {}
    void SetUp() override {
        ASSERT_TRUE(qm_.ok());
        saved_ = zt::localConsoleStart("QM1");
        savedTable_ = cslServerTable;
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &cslServerTable), 0);
        std::snprintf(evStart.replyPrefix, sizeof evStart.replyPrefix, "ZUNT.*");
        ExpCatalogue catalogue{};
        catalogue.findFunction = cmdFindFunctionRow;
        expSetCatalogue(&catalogue);
        ASSERT_EQ(cslApplyConfiguration(), 1);
        s_ = gSession.load();
        scriptInstall();
        cslScript.echoSwitch(s_, CSL_ECHO_INPUT, -1);  // makes the program
    }
    void TearDown() override {
        cslEndSession();
        cslScript = {};
        evServices.findFunction = nullptr;
        expSetCatalogue(nullptr);
        cslServerTable = savedTable_;
        evStart = saved_;
    }
    int run(std::vector<std::string> lines) {
        lines_ = std::move(lines);
        pointers_.clear();
        for (const std::string &line : lines_) pointers_.push_back(line.c_str());
        cmdPushReader(s_->program,
                      cmdMemoryReader(s_->program, "qm.vdr", pointers_.data(), pointers_.size()));
        int rc = cslScript.runCommands(s_);
        cmdPopReader(s_->program);
        return rc;
    }
    std::string value(const char *expression) {
        char *text = cslScript.evaluateToText(s_, expression, -1, 0);
        std::string v = text != nullptr ? text : "<error>";
        if (text != nullptr) CSFreeMem(text);
        return v;
    }
    void put(const char *queue, int count) {
        std::string file = temp_.path() + "/message";
        std::ofstream(file) << "hello";
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(qm_.tool(std::string("put QM1 ") + queue + " --file " + file), 0);
    }

    qmt::QmServer qm_;
    zt::TempDir temp_;
    EvStartSettings saved_{};
    MQIFunctionTable savedTable_{};
    zt::ConsoleCapture console_;
    cslSession *s_ = nullptr;
    std::vector<std::string> lines_;
    std::vector<const char *> pointers_;
};

TEST_F(ScriptQm, ForeachRunsOncePerQueueOfTheCommandServersResponse) {
    ASSERT_EQ(qm_.mqsc("DEFINE QLOCAL(APP.ONE)\nDEFINE QLOCAL(APP.TWO)\nDEFINE QLOCAL(OTHER)\nALTER QMGR "
                       "PERFMEV(ENABLED)\n"),
              0);
    put("APP.ONE", 2);
    put("APP.TWO", 3);
    EXPECT_EQ(run({"=conn qm(QM1)", "=mqsc", "@platform = _platform", "@level = _cmdlevel", "@depth = 0",
                   "foreach (DISPLAY QLOCAL(APP.*) CURDEPTH)", "  @depth = @depth + CURDEPTH", "endfor",
                   "@count = _numEach", "@in = -1", "foreach (RESET QSTATS(APP.ONE))", "  @in = MSGSIN",
                   "endfor", "@resets = _numEach"}),
              1);
    EXPECT_EQ(value("@platform"), "Unix");
    EXPECT_EQ(value("@level"), "940");
    EXPECT_EQ(value("@count"), "2");
    EXPECT_EQ(value("@depth"), "5");
    EXPECT_EQ(value("@resets"), "1");
    EXPECT_EQ(value("@in"), "2");
}

// A value the command server answers is data: a DESCR holding quotes, blanks (leading ones too) and
// brackets, paired or not, reaches foreach's variable whole, as the queue manager holds it (an
// unpaired bracket cut it short or ran it on, a leading blank was lost), and so does the next
// attribute after it.
TEST_F(ScriptQm, ForeachReadsBackADescriptionHoldingQuotesBlanksAndBrackets) {
    const struct {
        const char *queue, *mqsc, *descr;
    } cases[] = {
        {"D.QUOTES", "q\"uo''te", "q\"uo'te"},
        {"D.BLANKS", "a b (c) d", "a b (c) d"},
        {"D.RB1", "a) DESCR(b", "a) DESCR(b"},
        {"D.RB2", " lead, comma ( unclosed", " lead, comma ( unclosed"},
        {"D.RB3", "ends in )", "ends in )"},
        {"D.RB4", ")", ")"},
        {"D.RB5", "x) QUEUE(y) TYPE(z", "x) QUEUE(y) TYPE(z"},
        {"D.RB6", "((()", "((()"},
        {"D.RB7", "a) TYPE(b", "a) TYPE(b"},
    };
    for (const auto &c : cases)
        ASSERT_EQ(qm_.mqsc(std::string("DEFINE QLOCAL(") + c.queue + ") DESCR('" + c.mqsc + "')\n"), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.queue);
        EXPECT_EQ(
            run({"=conn qm(QM1)", "=mqsc", "@d = -1",
                 std::string("foreach (DISPLAY QLOCAL(") + c.queue + ") DESCR)", "  @d = DESCR", "endfor"}),
            1);
        EXPECT_EQ(value("@d"), c.descr);
    }
}

// In a file imported with sof, a connection that gets no command level ends the program.
TEST_F(ScriptQm, AFailedConnectInAStopOnFailureImportEndsTheProgram) {
    temp_.write("sof.vdr", "=conn qm(NOSUCH)\n");
    temp_.write("plain.vdr", "=conn qm(NOSUCH)\n");
    run({"=import file(" + temp_.file("plain.vdr") + ")"});
    EXPECT_EQ(s_->endRequested.load(), 0);  // without sof the failure only fails
    run({"=import file(" + temp_.file("sof.vdr") + ") sof"});
    EXPECT_EQ(s_->endRequested.load(), 1);
}

}  // namespace
