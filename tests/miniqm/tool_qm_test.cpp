// The miniqm tool: queue manager lifecycle, MQSC with IBM MQ's replies, put/get/depth with their
// options, faults on demand, and a clear error with a non-zero exit code for every bad argument.
#include <fcntl.h>
#include <sys/file.h>

#include <thread>

#include "miniqm/control.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"

using namespace qmt;

namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(Tool, LifecycleCreateStartStatusStopDelete) {
    zt::TempDir root;
    zt::ScopedEnv env("MINIQM_ROOT", root.path().c_str());
    std::string tool = MINIQM_TOOL, out;
    EXPECT_EQ(shell(tool + " create QM.LIFE", &out), 0) << out;
    EXPECT_EQ(shell(tool + " create QM.LIFE", &out), 1);
    EXPECT_TRUE(contains(out, "already exists")) << out;
    EXPECT_EQ(shell(tool + " status QM.LIFE", &out), 0);
    EXPECT_TRUE(contains(out, "stopped")) << out;
    EXPECT_EQ(shell(tool + " start QM.LIFE --no-fsync", &out), 0) << out;
    EXPECT_TRUE(contains(out, "started, pid")) << out;
    EXPECT_EQ(shell(tool + " start QM.LIFE", &out), 1);
    EXPECT_TRUE(contains(out, "already running")) << out;
    EXPECT_EQ(shell(tool + " status", &out), 0);
    EXPECT_TRUE(contains(out, "QM.LIFE") && contains(out, "running")) << out;
    EXPECT_EQ(shell(tool + " delete QM.LIFE", &out), 1);
    EXPECT_TRUE(contains(out, "stop it first")) << out;
    EXPECT_EQ(shell(tool + " stop QM.LIFE", &out), 0) << out;
    EXPECT_EQ(shell(tool + " stop QM.LIFE", &out), 1);
    EXPECT_TRUE(contains(out, "not running")) << out;
    EXPECT_EQ(shell(tool + " delete QM.LIFE", &out), 0) << out;
    EXPECT_TRUE(root.list().empty());
}

// Exit codes as documented: 2 for bad arguments (usage, names, numbers, verbs), 1 for a command that
// could not be done; -h and --help print the usage and succeed.
TEST(Tool, BadArgumentsGiveClearErrorsAndTheDocumentedExitCodes) {
    zt::TempDir root;
    zt::ScopedEnv env("MINIQM_ROOT", root.path().c_str());
    const std::string tool = MINIQM_TOOL;
    struct Case {
        std::string args;
        int exitCode;
        const char *says;
    };
    const Case cases[] = {
        {"", 2, "no command given"},
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"create 'bad/name'", 2, "invalid queue manager name"},
        {"create QM1 --port 70000", 2, "invalid port '70000'"},
        {"create QM1 --port x", 2, "invalid port 'x'"},
        {"create QM1 --bogus", 2, "unknown option --bogus"},
        {"start 'bad/name'", 2, "invalid queue manager name"},
        {"put", 2, "put needs a queue manager and a queue name"},
        {"put QM1 " + std::string(49, 'Q') + " < /dev/null", 2, "invalid queue name"},
        {"put QM1 Q --msgid XYZ < /dev/null", 2, "--msgid needs up to 48 hex digits"},
        {"depth 'bad/name' Q", 2, "invalid queue manager name"},
        {"get QM1 Q --wait", 2, "needs a value"},
        {"get QM1 Q --wait soon", 2, "invalid --wait"},
        {"fault QM1 MQFOO 2009", 2, "unknown verb 'MQFOO'"},
        {"fault QM1 MQPUT abc", 2, "invalid reason 'abc'"},
        {"fault QM1 MQPUT 0", 2, "invalid reason '0'"},
        {"fault QM1 MQPUT 2053 --conn ''", 2, "invalid --conn"},
        {"fault QM1 MQPUT 2053 --cc 7", 2, "invalid --cc"},
        // Well-formed, but there is nothing to do it to.
        {"start NOPE", 1, "does not exist"},
        {"fault NOPE MQPUT 2053", 1, "does not exist"},
        {"put NOPE Q < /dev/null", 1, "2058"},
        {"MINIQM_CMDLEVEL=abc", 1, "MINIQM_CMDLEVEL"},
    };
    for (const Case &c : cases) {
        std::string out;
        std::string line = c.args == "MINIQM_CMDLEVEL=abc" ? "MINIQM_CMDLEVEL=abc " + tool + " create QM2"
                                                           : tool + " " + c.args;
        EXPECT_EQ(shell(line, &out), c.exitCode) << c.args << ": " << out;
        EXPECT_TRUE(contains(out, c.says)) << c.args << ": " << out;
    }
    for (const char *args : {"-h", "--help", "help", "put -h", "fault QM1 --help"}) {
        std::string out;
        EXPECT_EQ(shell(tool + " " + args, &out), 0) << args << ": " << out;
        EXPECT_TRUE(contains(out, "usage: miniqm <command>")) << args << ": " << out;
    }
    EXPECT_TRUE(root.list().empty());
}

TEST(Tool, PutGetAndDepthCarryTheDescriptorFields) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    qm.root();
    zt::TempDir files;
    files.write("in.bin", std::string("\x01\x02hello", 7));
    EXPECT_EQ(qm.tool("put " + qm.name() + " SYSTEM.DEFAULT.LOCAL.QUEUE --file " + files.file("in.bin") +
                          " --format MQEVENT --msgid 0102 --correlid AABB --persistent --replyto REPLY.Q",
                      &out),
              0)
        << out;
    EXPECT_EQ(qm.tool("depth " + qm.name() + " SYSTEM.DEFAULT.LOCAL.QUEUE", &out), 0);
    EXPECT_EQ(out, "1\n");
    EXPECT_EQ(qm.tool("get " + qm.name() + " SYSTEM.DEFAULT.LOCAL.QUEUE --browse", &out), 0) << out;
    EXPECT_TRUE(contains(out, "MsgId          010200000000")) << out;
    EXPECT_TRUE(contains(out, "CorrelId       AABB0000")) << out;
    EXPECT_TRUE(contains(out, "Format         'MQEVENT'")) << out;
    EXPECT_TRUE(contains(out, "Persistence    1")) << out;
    EXPECT_TRUE(contains(out, "ReplyToQ       'REPLY.Q'")) << out;
    EXPECT_TRUE(contains(out, "01 02 68 65 6C 6C 6F")) << out;
    EXPECT_EQ(
        qm.tool("get " + qm.name() + " SYSTEM.DEFAULT.LOCAL.QUEUE --raw " + files.file("out.bin"), &out), 0)
        << out;
    EXPECT_EQ(files.read("out.bin"), std::string("\x01\x02hello", 7));
    EXPECT_EQ(qm.tool("get " + qm.name() + " SYSTEM.DEFAULT.LOCAL.QUEUE", &out), 1);
    EXPECT_TRUE(contains(out, "2033")) << out;
    // A queue that does not exist: the reason of the failed open, not of the disconnect after it.
    for (const char *verb : {"put", "get", "depth"}) {
        EXPECT_EQ(qm.tool(std::string(verb) + " " + qm.name() + " NO.SUCH.Q < " + files.file("in.bin"), &out),
                  1)
            << verb;
        EXPECT_TRUE(contains(out, "MQOPEN failed with reason 2085")) << verb << ": " << out;
    }
}

TEST(Tool, GetReadsMessagesLargerThanItsFirstBuffer) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    zt::TempDir files;
    std::string big(3 * 1024 * 1024, 'q');
    files.write("big", big);
    std::string out;
    ASSERT_EQ(qm.tool("put " + qm.name() + " SYSTEM.DEFAULT.LOCAL.QUEUE --file " + files.file("big"), &out),
              0)
        << out;
    ASSERT_EQ(qm.tool("get " + qm.name() + " SYSTEM.DEFAULT.LOCAL.QUEUE --raw " + files.file("back"), &out),
              0)
        << out;
    EXPECT_EQ(files.read("back"), big);
}

TEST(Tool, FaultMakesTheNextCallsFailWithTheGivenReason) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(
        qm.tool("fault " + qm.name() + " MQOPEN 2042 --count 2 --object SYSTEM.DEFAULT.LOCAL.QUEUE", &out), 0)
        << out;
    MQHCONN h = connect(qm.name());
    Rc r;
    open(h, "SYSTEM.ADMIN.COMMAND.QUEUE", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);  // another object: not affected
    open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OBJECT_IN_USE);
    open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OBJECT_IN_USE);
    open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQCONNX 2139", &out), 0) << out;
    connect(qm.name(), &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_CNO_ERROR);
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQGET 2016 --count 5", &out), 0);
    ASSERT_EQ(qm.tool("fault " + qm.name() + " list", &out), 0);
    EXPECT_TRUE(contains(out, "MQGET reason 2016")) << out;
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQPUT 2053 --queue APP.Q --conn BATCH", &out), 0) << out;
    ASSERT_EQ(qm.tool("fault " + qm.name() + " list", &out), 0);
    EXPECT_TRUE(contains(out, "MQPUT reason 2053 cc 2 count 1 object APP.Q conn BATCH")) << out;
    ASSERT_EQ(qm.tool("fault " + qm.name() + " clear", &out), 0);
    ASSERT_EQ(qm.tool("fault " + qm.name() + " list", &out), 0);
    EXPECT_EQ(out, "");
    MQDISC(&h, &r.cc, &r.reason);
}

TEST(Tool, MqscDefinesAltersDisplaysDeletesAndClears) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("* a comment line\n"
                      "DEFINE QLOCAL(APP.Q) MAXDEPTH(100) +\n"
                      "       DESCR('It''s mine') BOQNAME(APP.BACKOUT) BOTHRESH(3)\n"
                      "def ql(app.copy) like(APP.Q)\n"
                      "DEFINE QALIAS(APP.ALIAS) TARGET(APP.Q)\n"
                      "DEFINE QMODEL(APP.MODEL) DEFTYPE(PERMDYN)\n"
                      "ALTER QLOCAL(APP.Q) PUT(DISABLED) NOSHARE\n",
                      &out),
              0)
        << out;
    EXPECT_TRUE(contains(out, "AMQ8006I: IBM MQ queue created.")) << out;
    EXPECT_TRUE(contains(out, "AMQ8008I: IBM MQ queue changed.")) << out;
    EXPECT_TRUE(contains(out, "5 MQSC commands read.")) << out;
    EXPECT_TRUE(contains(out, "All valid MQSC commands were processed.")) << out;
    ASSERT_EQ(qm.mqsc("DISPLAY QLOCAL(APP.*) MAXDEPTH DESCR\nDIS Q(APP.ALIAS) TARGET\n", &out), 0) << out;
    EXPECT_TRUE(contains(out, "QUEUE(APP.COPY)")) << out;  // unquoted names are upper case
    EXPECT_TRUE(contains(out, "MAXDEPTH(100)")) << out;
    EXPECT_TRUE(contains(out, "DESCR(It's mine)")) << out;
    EXPECT_TRUE(contains(out, "TARGET(APP.Q)")) << out;
    ASSERT_EQ(qm.mqsc("DISPLAY QLOCAL(APP.Q) ALL\n", &out), 0) << out;
    EXPECT_TRUE(contains(out, "PUT(DISABLED)") && contains(out, "NOSHARE") && contains(out, "BOTHRESH(3)"))
        << out;

    // Errors: existing object, unknown object, bad keyword, bad value, queue not empty.
    EXPECT_EQ(qm.mqsc("DEFINE QLOCAL(APP.Q)\n", &out), 10);
    EXPECT_TRUE(contains(out, "AMQ8150E")) << out;
    EXPECT_EQ(qm.mqsc("DEFINE QLOCAL(APP.Q) REPLACE MAXDEPTH(7)\n", &out), 0) << out;
    EXPECT_EQ(qm.mqsc("ALTER QLOCAL(NOT.THERE) MAXDEPTH(1)\n", &out), 10);
    EXPECT_TRUE(contains(out, "AMQ8147E: IBM MQ object NOT.THERE not found.")) << out;
    EXPECT_EQ(qm.mqsc("DEFINE QLOCAL(X.Q) COLOUR(BLUE)\n", &out), 10);
    EXPECT_TRUE(contains(out, "AMQ8405E")) << out;
    EXPECT_TRUE(contains(out, "One command has a syntax error.")) << out;
    EXPECT_EQ(qm.mqsc("DEFINE QLOCAL(X.Q) MAXDEPTH(-5)\n", &out), 10);
    EXPECT_EQ(qm.mqsc("DEFINE QLOCAL(X.Q) DEFPSIST(MAYBE)\n", &out), 10);
    ASSERT_EQ(qm.tool("put " + qm.name() + " APP.COPY < /dev/null", &out), 0) << out;
    EXPECT_EQ(qm.mqsc("DELETE QLOCAL(APP.COPY)\n", &out), 10);
    EXPECT_TRUE(contains(out, "not empty")) << out;
    EXPECT_EQ(qm.mqsc("CLEAR QLOCAL(APP.COPY)\nDELETE QLOCAL(APP.COPY)\nDELETE QALIAS(APP.ALIAS)\n", &out), 0)
        << out;
    EXPECT_TRUE(contains(out, "AMQ8022I: IBM MQ queue cleared.")) << out;
    EXPECT_TRUE(contains(out, "AMQ8007I: IBM MQ queue deleted.")) << out;

    // A queue that is open cannot be deleted or cleared.
    MQHCONN h = connect(qm.name());
    open(h, "APP.Q", MQOO_INPUT_SHARED);
    EXPECT_EQ(qm.mqsc("DELETE QLOCAL(APP.Q) PURGE\n", &out), 10);
    EXPECT_TRUE(contains(out, "AMQ8148E: IBM MQ object in use.")) << out;
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_EQ(qm.mqsc("DELETE QLOCAL(APP.Q) PURGE\n", &out), 0) << out;
}

TEST(Tool, MqscQueueManagerAndTopics) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("ALTER QMGR DEADQ(SYSTEM.DEAD.LETTER.QUEUE) MAXUMSGS(5000)\n"
                      "DEFINE TOPIC(ZUNT.ALERTS) TOPICSTR('Holva/ZUNT/Alerts')\n"
                      "DISPLAY QMGR\nDISPLAY TOPIC(ZUNT.*) TOPICSTR\n",
                      &out),
              0)
        << out;
    EXPECT_TRUE(contains(out, "AMQ8005I: IBM MQ queue manager changed.")) << out;
    EXPECT_TRUE(contains(out, "QMNAME(" + qm.name() + ")")) << out;
    EXPECT_TRUE(contains(out, "MAXUMSGS(5000)")) << out;
    EXPECT_TRUE(contains(out, "PLATFORM(UNIX)")) << out;
    EXPECT_TRUE(contains(out, "TOPICSTR(Holva/ZUNT/Alerts)")) << out;
    EXPECT_EQ(qm.mqsc("ALTER QMGR CMDLEVEL(800)\n", &out), 10);  // not alterable
    EXPECT_EQ(qm.mqsc("DEFINE TOPIC(NO.STRING)\n", &out), 10);
    EXPECT_EQ(qm.mqsc("DELETE TOPIC(ZUNT.ALERTS)\n", &out), 0) << out;
}

TEST(Control, InProcessControlRunsMqscAndSetsFaults) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    char reply[4096];
    EXPECT_EQ(miniqmControl(qm.name().c_str(), "mqsc DEFINE QLOCAL(CTL.Q)", reply, sizeof reply), 0) << reply;
    EXPECT_NE(std::string(reply).find("AMQ8006I"), std::string::npos) << reply;
    EXPECT_EQ(miniqmControl(qm.name().c_str(), "mqsc DEFINE QLOCAL(CTL.Q)", reply, sizeof reply), 1);
    EXPECT_EQ(miniqmControl(qm.name().c_str(), "fault MQPUT 2053 1 -1 CTL.Q", nullptr, 0), 0);
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "CTL.Q", MQOO_OUTPUT);
    EXPECT_RC(put(h, o, "x"), MQCC_FAILED, MQRC_Q_FULL);
    EXPECT_RC(put(h, o, "x"), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(miniqmControl("NO.SUCH.QM", "status", reply, sizeof reply), -1);
    // A short reply buffer gets a cut, terminated text.
    EXPECT_EQ(miniqmControl(qm.name().c_str(), "status", reply, 6), 0);
    EXPECT_EQ(std::string(reply), "state");
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
}

// A server that was killed may hold the queue manager's lock for a moment after its pid is gone:
// start waits for the lock rather than refusing the queue manager as running. Here this process
// holds the lock, and lets go once the new server says it is waiting.
TEST(Tool, StartWaitsForTheLockOfAServerThatIsStillEnding) {
    QmServer qm("QM.LOCK");
    ASSERT_TRUE(qm.ok());
    qm.kill9();
    int fd = ::open((qm.dir() + "/miniqmd.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    int rc = -1;
    std::string out;
    std::thread starter([&] { rc = qm.tool("start QM.LOCK --no-fsync", &out); });
    for (int i = 0;
         i < 5000 && !contains(readText(qm.dir() + "/miniqmd.log"), "waiting for the previous server"); ++i)
        usleep(1000);
    EXPECT_TRUE(contains(readText(qm.dir() + "/miniqmd.log"), "waiting for the previous server"));
    ::close(fd);
    starter.join();
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(qm.running());
}
