// Services: programs the queue manager starts with itself or on START SERVICE, watched while they
// run (DISPLAY SVSTATUS), told to stop with their STOPCMD and then the quiesce at `miniqm stop`.
#include <signal.h>

#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"

using namespace qmt;

namespace {

// Polls a file until it holds text (up to about ten seconds).
bool waitFor(const std::string &path, const std::string &text) {
    for (int i = 0; i < 1000; ++i) {
        if (readText(path).find(text) != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

// The value of KEYWORD(value) in MQSC output, or "".
std::string attr(const std::string &out, const std::string &keyword) {
    size_t at = out.find(" " + keyword + "(");  // a whole keyword: STATUS, not SVSTATUS
    if (at != std::string::npos) ++at;
    if (at == std::string::npos) return "";
    at += keyword.size() + 1;
    return out.substr(at, out.find(')', at) - at);
}

}  // namespace

// A SERVER service with CONTROL(QMGR) starts with the queue manager, inserts replaced, and shows
// RUNNING with its pid; a COMMAND service with CONTROL(STARTONLY) runs once; at `miniqm stop` the
// server's STOPCMD runs, then it hears 2161 and has ended when the stop returns. A MANUAL server
// started by hand that ends on its own shows STOPPED.
TEST(Services, StartWithTheQueueManagerAndEndBeforeIt) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    const std::string d = qm.root(), app = MINIQM_SERVICE_APP;
    std::string out;
    ASSERT_EQ(
        qm.mqsc("DEFINE QLOCAL(SVC.Q)\n"
                "DEFINE SERVICE(APP.SVR) SERVTYPE(SERVER) CONTROL(QMGR) STARTCMD('" +
                    app +
                    "') STARTARG('+QMNAME+ SVC.Q +MQ_DATA_PATH+') STOPCMD('/bin/sh') STOPARG('-c \"echo "
                    "stopping +MQ_SERVER_PID+ >>" +
                    d + "/stop.txt\"') STDOUT('" + d + "/out.txt') STDERR('" + d +
                    "/err.txt') DESCR('watcher')\n"
                    "DEFINE SERVICE(APP.CMD) SERVTYPE(COMMAND) CONTROL(STARTONLY) STARTCMD('/bin/sh') "
                    "STARTARG('-c \"echo once +QMNAME+ >>" +
                    d +
                    "/cmd.txt\"')\n"
                    "DEFINE SERVICE(APP.MAN) STARTCMD('" +
                    app +
                    "') STARTARG('+QMNAME+ SVC.Q once') "
                    "STDOUT('" +
                    d + "/man.txt')\n",
                &out),
        0)
        << out;
    ASSERT_EQ(qm.mqsc("DISPLAY SERVICE(APP.MAN) ALL", &out), 0) << out;
    EXPECT_EQ(attr(out, "SERVTYPE"), "SERVER");  // IBM MQ's defaults
    EXPECT_EQ(attr(out, "CONTROL"), "MANUAL");
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());

    ASSERT_TRUE(waitFor(d + "/out.txt", "connected\n")) << readText(d + "/out.txt");
    const std::string said = readText(d + "/out.txt");
    EXPECT_NE(said.find("args QMT SVC.Q " + d + "\n"), std::string::npos) << said;
    const int pid = std::atoi(said.c_str() + said.find("pid ") + 4);
    const std::string install = said.substr(
        said.find("install ") + 8, said.find('\n', said.find("install ")) - said.find("install ") - 8);
    EXPECT_EQ(access((install + "/lib64/libmqm.so").c_str(), R_OK), 0) << install;
    ASSERT_EQ(qm.mqsc("DISPLAY SVSTATUS(*)", &out), 0) << out;
    EXPECT_EQ(attr(out, "SERVICE"), "APP.MAN");  // in name order; the COMMAND service has no status
    EXPECT_NE(out.find("SERVICE(APP.SVR)"), std::string::npos) << out;
    EXPECT_EQ(out.find("APP.CMD"), std::string::npos) << out;
    ASSERT_EQ(qm.mqsc("DISPLAY SVSTATUS(APP.SVR)", &out), 0) << out;
    EXPECT_EQ(attr(out, "STATUS"), "RUNNING") << out;
    EXPECT_EQ(attr(out, "PID"), std::to_string(pid)) << out;
    EXPECT_FALSE(attr(out, "STARTDA").empty()) << out;
    EXPECT_NE(qm.mqsc("START SERVICE(APP.SVR)", &out), 0) << out;  // already running

    ASSERT_EQ(qm.mqsc("START SERVICE(APP.MAN)", &out), 0) << out;
    EXPECT_NE(out.find("AMQ8733I"), std::string::npos) << out;
    ASSERT_TRUE(waitFor(d + "/man.txt", "connected\n"));
    bool stopped = false;
    for (int i = 0; i < 500 && !stopped; ++i, usleep(10000)) {
        ASSERT_EQ(qm.mqsc("DISPLAY SVSTATUS(APP.MAN)", &out), 0) << out;
        stopped = attr(out, "STATUS") == "STOPPED";
    }
    EXPECT_TRUE(stopped) << out;

    ASSERT_TRUE(waitFor(d + "/cmd.txt", "once QMT\n"));
    ASSERT_TRUE(qm.stop(false));
    EXPECT_EQ(readText(d + "/stop.txt"), "stopping " + std::to_string(pid) + "\n");
    EXPECT_NE(readText(d + "/out.txt").find("ended 2161\n"), std::string::npos) << readText(d + "/out.txt");
    EXPECT_NE(kill(pid, 0), 0);                         // gone before the queue manager
    EXPECT_EQ(readText(d + "/cmd.txt"), "once QMT\n");  // once, at the start
    EXPECT_EQ(readText(d + "/err.txt"), "");
}
