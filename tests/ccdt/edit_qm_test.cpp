// The edit mode beside a real connection on a private stand-in queue manager: the connection that
// served the last command before =ccdt, which =mqsc returns to, and what becomes of it when the
// queue manager goes away while the mode runs.
#include <unistd.h>

#include <string>
#include <vector>

#include "ccdt/ccdt.h"
#include "console/console.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"
#include "testing/console_session.h"

namespace {

class EditQm : public ::testing::Test {
protected:
    EditQm() : qm_("QM1") {}
    void SetUp() override {
        ASSERT_TRUE(qm_.ok());
        saved_ = zt::localConsoleStart("QM1");
        savedTable_ = cslServerTable;
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &cslServerTable), 0);
        std::snprintf(evStart.replyPrefix, sizeof evStart.replyPrefix, "ZUNT.*");
        ASSERT_EQ(cslApplyConfiguration(), 1);
        s_ = gSession.load();
        ccdtInstall();
    }
    void TearDown() override {
        cslEndSession();
        cslCcdt = {};
        cslServerTable = savedTable_;
        evStart = saved_;
    }
    std::vector<std::string> issue(const std::string &line) {
        const cslOutputLine *before = s_->screens[0].newest;
        cslIssueCommand(s_, line.c_str());
        return zt::linesAfter(s_, before);
    }
    bool shown(const std::string &part) const {
        for (const std::string &line : zt::linesAfter(s_))
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

    qmt::QmServer qm_;
    zt::TempDir temp_;
    EvStartSettings saved_{};
    MQIFunctionTable savedTable_{};
    zt::ConsoleCapture console_;
    cslSession *s_ = nullptr;
};

// The record of a connection that broke while the edit mode ran is freed by the next =conn; =mqsc
// must then not switch back to it (under ASan a use after free).
TEST_F(EditQm, MqscAfterABrokenConnectionWasFreedSwitchesToNothingFreed) {
    using V = std::vector<std::string>;
    EXPECT_EQ(issue("=conn qm(QM1)"), (V{"=conn qm(QM1)", "Connected to 'QM1'"}));
    issue("=ccdt file(" + temp_.file("none.tab") + ")");
    ASSERT_EQ(s_->ccdtMode, 1);
    cslConnection *served = s_->connections;
    ASSERT_NE(served, nullptr);
    qm_.kill9();
    for (int i = 0; i < 1000 && (served->workerRunning.load() || served->replyReaderRunning.load()); ++i)
        usleep(10000);
    ASSERT_TRUE(shown("Connection to Queue Manager has been broken"));
    ASSERT_FALSE(served->workerRunning.load());
    ASSERT_TRUE(qm_.start());
    const V again = issue("=conn qm(QM1)");  // frees the broken record
    EXPECT_EQ(again.back(), "Connected to 'QM1'") << ::testing::PrintToString(again);
    const V mqsc = issue("=mqsc");
    EXPECT_EQ(mqsc, (V{"=mqsc", "Commands directed to IBM MQ"}));
    EXPECT_EQ(s_->ccdtMode, 0);
    EXPECT_TRUE(cslConnected(s_->current));
    EXPECT_EQ(s_->current, s_->connections);
}

}  // namespace
