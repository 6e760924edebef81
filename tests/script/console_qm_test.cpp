// The console as a user reaches it: the real program with a start-up script (-f) on the stand-in
// queue manager, its output and log read back.
#include <string>
#include <vector>

#include "../engine/program.h"
#include "hooks_testing.h"

namespace {

class ConsoleProgramQm : public pt::ProgramQmTest {
protected:
    std::vector<std::string> options(const std::string &main) {
        dir.write("console.vdr", ht::script(main));
        std::vector<std::string> o = runOptions();
        o.insert(o.end(), {"-f", dir.file("console.vdr")});
        return o;
    }
};

#ifndef _WIN32  // a test cannot send SIGTERM to a child under wine
// A command the stopped command server never answers: file mode shows why the script waits, and
// SIGTERM ends the wait and the program.
TEST_F(ConsoleProgramQm, AStartUpCommandWithoutReplyShowsWhyAndEndsOnSigterm) {
    ASSERT_EQ(qm.tool("cmdserver QM1 stop"), 0);
    pt::Zunt zunt(dir, "wait", options("=conn qm(QM1)\n=mqsc\nDISPLAY QMGR\nprint('after the wait')\n"));
    ASSERT_TRUE(zunt.waitOut("Command server or network slow in responding", 1, 30000)) << zunt.out();
    // Said again every 10 seconds while the start-up script waits.
    EXPECT_TRUE(zunt.waitOut("Command server or network slow in responding", 2, 30000)) << zunt.out();
    EXPECT_TRUE(zunt.waitLog("Command server or network slow in responding", 1, 3000))
        << zunt.out() << "\nLOG:\n"
        << zunt.log();
    zunt.term();
    const int code = zunt.wait(5000);
    EXPECT_NE(code, -1) << zunt.out();
    EXPECT_NE(code, pt::kKilled);
    EXPECT_NE(zunt.out().find("Command abandoned: the program is ending"), std::string::npos) << zunt.out();
    EXPECT_EQ(zunt.out().find("after the wait"), std::string::npos) << zunt.out();
    EXPECT_EQ(zunt.log().find("ZUNT Initialised"), std::string::npos);
    qm.tool("cmdserver QM1 start");
}
#endif

// In a hook of the connected program, STOP EV ends a console wait as SIGTERM does.
TEST_F(ConsoleProgramQm, StopEvEndsAHooksWaitForAReply) {
    dir.write("console.vdr", ht::script("", {{"ZUNTConnected", "=conn qm(QM1)\n=mqsc\nDISPLAY QMGR\n"}}));
    std::vector<std::string> o = runOptions();
    o.insert(o.end(), {"-f", dir.file("console.vdr")});
    ASSERT_EQ(qm.tool("cmdserver QM1 stop"), 0);
    pt::Zunt zunt(dir, "hookwait", o);
    ASSERT_TRUE(zunt.waitOut("Command server or network slow in responding", 1, 30000)) << zunt.out();
    putOn(own, "STOP EV", EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
    EXPECT_NE(zunt.wait(10000), -1) << zunt.out();
    EXPECT_NE(zunt.out().find("Command abandoned: the program is ending"), std::string::npos) << zunt.out();
    qm.tool("cmdserver QM1 start");
}

// The start-up script leaves another queue manager's connection current, served the last time by
// the reuse of an open one: the program's own connection still administers its own queue manager,
// and the connected hook's commands go to it.
TEST_F(ConsoleProgramQm, TheProgramsConnectionAdministersItsOwnQueueManager) {
    for (const char *name : {"QB", "QC"}) {
        ASSERT_EQ(qm.tool(std::string("create ") + name), 0);
        ASSERT_EQ(qm.tool(std::string("start ") + name + " --no-fsync"), 0);
    }
    dir.write("console.vdr", ht::script("=conn qm(QB)\n=mqsc\n=conn qm(QC)\n=conn qm(QB)\n",
                                        {{"ZUNTConnected", "=show conns\n=mqsc\nDISPLAY QMGR QMNAME\n"}}));
    std::vector<std::string> o = runOptions();
    o.insert(o.end(), {"-f", dir.file("console.vdr")});
    pt::Zunt zunt(dir, "own", o);
    const bool initialised = zunt.waitInitialised();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    for (const char *name : {"QB", "QC"}) qm.tool(std::string("stop ") + name + " --now");
    ASSERT_TRUE(initialised) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_EQ(out.find("RC(2087)"), std::string::npos) << out;
    EXPECT_EQ(out.find("Not currently connected."), std::string::npos) << out;
    EXPECT_EQ(out.find("CONN(QM1) HCONN(-1"), std::string::npos) << out;
    EXPECT_NE(out.find("QMNAME(QM1)"), std::string::npos) << out;
}

// =WHERE reads a reply's value as the reply gives it, an apostrophe in it too; a doubled quote in
// the expression's string is one quote.
TEST_F(ConsoleProgramQm, WhereReadsValuesHoldingQuotes) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(V.APOS) DESCR('Bob''s queue')\n"
                      "DEFINE QLOCAL(V.PLAIN) DESCR('plain queue')\n"
                      "DEFINE QLOCAL(V.OTHER) DESCR('other (test)')\n"),
              0);
    pt::Zunt zunt(dir, "quotes",
                  options("=conn qm(QM1)\n=mqsc\n"
                          "DISPLAY QLOCAL(V.*) =WHERE(DESCR LK '*queue*')\n"
                          "DISPLAY QLOCAL(V.*) =WHERE(DESCR LK \"*'s*\")\n"
                          "DISPLAY QLOCAL(V.*) =WHERE(DESCR EQ 'Bob''s queue')\n"
                          "DISPLAY QLOCAL(V.*) =WHERE(DESCR EQ 'other (test)')\n=disc\n"));
    const bool initialised = zunt.waitInitialised();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(initialised) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_EQ(et::countOf(out, "QUEUE(V.APOS)"), 3) << out;
    EXPECT_EQ(et::countOf(out, "QUEUE(V.PLAIN)"), 1) << out;
    EXPECT_EQ(et::countOf(out, "QUEUE(V.OTHER)"), 1) << out;
    for (const char *total : {"Received:3 Matched:2", "Received:3 Matched:1"})
        EXPECT_NE(out.find(total), std::string::npos) << out;
    EXPECT_EQ(et::countOf(out, "Received:3 Matched:1"), 3) << out;
}

// A value longer than a line of the layout is shown whole, on the screen and in the =output file,
// as =WHERE reads it.
TEST_F(ConsoleProgramQm, ALongValueIsShownWhole) {
    std::string topic;
    while (topic.size() < 4799) topic += "ab/";
    topic.resize(4799);
    topic += "/END";
    ASSERT_EQ(qm.mqsc("DEFINE TOPIC(LONG.T) TOPICSTR('" + topic + "')\n"), 0);
    const std::string file = dir.file("long.txt");
    pt::Zunt zunt(dir, "long",
                  options("=conn qm(QM1)\n=mqsc\n=output file(" + file +
                          ")\n"
                          "DISPLAY TOPIC(LONG.T) TOPICSTR\n"
                          "DISPLAY TOPIC(LONG.*) TOPICSTR =WHERE(TOPICSTR LK '*/END')\n=output\n=disc\n"));
    const bool initialised = zunt.waitInitialised();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(initialised) << zunt.out();
    const std::string whole = "TOPICSTR(" + topic + ")";
    EXPECT_EQ(et::countOf(zunt.out(), whole), 2) << zunt.out();
    EXPECT_EQ(et::countOf(qmt::readText(file), whole), 2) << qmt::readText(file);
}

// A hook's command that times out counts as failed: the summary adds up.
TEST_F(ConsoleProgramQm, AHooksCommandThatTimesOutCountsAsFailed) {
    dir.write(
        "console.vdr",
        ht::script("", {{"ZUNTConnected", "=conn qm(QM1) wait(1)\n=mqsc\nDISPLAY QMGR\n=show summary\n"}}));
    std::vector<std::string> o = runOptions();
    o.insert(o.end(), {"-f", dir.file("console.vdr")});
    ASSERT_EQ(qm.tool("cmdserver QM1 stop"), 0);
    pt::Zunt zunt(dir, "lost", o);
    const bool summary = zunt.waitOut("MQSC Command summary", 1, 30000);
    qm.tool("cmdserver QM1 start");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(summary) << zunt.out();
    EXPECT_NE(zunt.out().find("No response received within 1 seconds"), std::string::npos) << zunt.out();
    EXPECT_NE(zunt.out().find("MQSC Command summary - Issued: 1  Success: 0  Fail: 1"), std::string::npos)
        << zunt.out();
}

// A start-up script's command whose replies stop (a reply queue too shallow for them) or never come
// (no command server) ends once no reply came for the connection's wait, saying why, counted as
// failed; the program starts.
TEST_F(ConsoleProgramQm, AStalledCommandEndsAndTheStartGoesOn) {
    struct Case {
        const char *name;
        const char *mqsc;  // what makes it stall
        const char *said;
        bool serverStopped;
    };
    const Case cases[] = {
        {"full", "ALTER QMODEL(SYSTEM.DEFAULT.MODEL.QUEUE) MAXDEPTH(1)\n",
         "was probably full (its MAXDEPTH) and the rest lost; the command failed", false},
        {"silent", "", "the command server of 'QM1' is not answering; the command failed", true},
    };
    for (int i = 0; i < 40; i++) ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(STALL.Q" + std::to_string(i) + ")\n"), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.mqsc[0] != '\0') {
            ASSERT_EQ(qm.mqsc(c.mqsc), 0);
        }
        if (c.serverStopped) {
            ASSERT_EQ(qm.tool("cmdserver QM1 stop"), 0);
        }
        pt::Zunt zunt(dir, c.name,
                      options("=conn qm(QM1) wait(2)\n=mqsc\nDISPLAY QLOCAL(STALL.*)\n=show summary\n"));
        const bool initialised = zunt.waitInitialised();
        if (c.serverStopped) qm.tool("cmdserver QM1 start");
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        ASSERT_TRUE(initialised) << zunt.out();
        EXPECT_NE(zunt.out().find(c.said), std::string::npos) << zunt.out();
        EXPECT_NE(zunt.out().find("Fail: 1"), std::string::npos) << zunt.out();
        if (c.mqsc[0] != '\0') {
            ASSERT_EQ(qm.mqsc("ALTER QMODEL(SYSTEM.DEFAULT.MODEL.QUEUE) MAXDEPTH(5000)\n"), 0);
        }
    }
}

#ifndef _WIN32  // no /dev/full under wine
// An =output file whose writes fail is said once and written no more; the screen keeps its lines.
TEST_F(ConsoleProgramQm, AFailingOutputFileIsSaidOnce) {
    pt::Zunt zunt(dir, "full",
                  options("=conn qm(QM1)\n=mqsc\n=output file(/dev/full)\nprint('g1')\nprint('g2')\n"
                          "DISPLAY QLOCAL(SYSTEM.*)\nprint('after the display')\n=output\n=disc\n"));
    const bool initialised = zunt.waitInitialised();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(initialised) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_EQ(et::countOf(out, "Can not write to output file '/dev/full' errno="), 1) << out;
    EXPECT_NE(out.find("QUEUE(SYSTEM.ADMIN.COMMAND.QUEUE)"), std::string::npos) << out;
    // The line that met the failure is shown too.
    for (const char *shown : {"g1", "g2", "after the display"})
        EXPECT_NE(out.find(shown), std::string::npos) << out;
}
#endif

// Quoted file names (the MQSC convention) lose their quotes; an absolute import stays absolute.
TEST_F(ConsoleProgramQm, QuotedFileNamesLoseTheirQuotes) {
    const std::string file = dir.file("q.txt");
    dir.write("imported.vdr", "print('from the import')\n");
    pt::Zunt zunt(dir, "quoted",
                  options("=output file('" + file + "')\nprint('to the file')\n=output\n=import file('" +
                          dir.file("imported.vdr") + "')\n"));
    const bool initialised = zunt.waitInitialised();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(initialised) << zunt.out();
    EXPECT_NE(qmt::readText(file).find("to the file"), std::string::npos) << zunt.out();
    EXPECT_NE(zunt.out().find("from the import"), std::string::npos) << zunt.out();
    EXPECT_EQ(zunt.out().find("Can not open"), std::string::npos) << zunt.out();
}

// The README's console example, as it stands there, run as the start-up script.
TEST_F(ConsoleProgramQm, TheReadmeExampleRuns) {
    const std::string readme = qmt::readText(ZUNT_README);
    const size_t section = readme.find("### The console");
    ASSERT_NE(section, std::string::npos);
    const size_t open = readme.find("```\n", section);
    const size_t close = readme.find("```\n", open + 4);
    ASSERT_NE(close, std::string::npos);
    const std::string example = readme.substr(open + 4, close - open - 4);
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(APP.ONE)\nDEFINE QLOCAL(APP.TWO)\nDEFINE QLOCAL(APP.EMPTY)\n"), 0);
    for (const char *queue : {"APP.ONE", "APP.ONE", "APP.TWO"})
        ASSERT_EQ(qm.tool(std::string("put QM1 ") + queue + " < /dev/null"), 0);
    pt::Zunt zunt(dir, "readme", options(example));
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_NE(out.find("Messages waiting on APP queues: 3"), std::string::npos) << out;
    EXPECT_NE(out.find("QUEUE(APP.ONE)"), std::string::npos) << out;
    EXPECT_NE(out.find("QUEUE(APP.TWO)"), std::string::npos) << out;
    EXPECT_NE(out.find("Total display responses - Received:3 Matched:2"), std::string::npos) << out;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

}  // namespace
