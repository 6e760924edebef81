// The start-up script's hooks in the real program on the stand-in queue manager: the event hook
// chooses each event's streams by its object name, the queue statistics hook runs per queue.
#include <signal.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../engine/program.h"
#include "hooks_testing.h"

namespace {

using pt::kQmgrEvents;

class HookQmTest : public pt::ProgramQmTest {
protected:
    std::vector<std::string> options(const std::string &script) {
        dir.write("hook.vdr", script);
        std::vector<std::string> o = runOptions();
        o.insert(o.end(), {"-f", dir.file("hook.vdr")});
        return o;
    }
    // The stored events of each stream, by object name, as a fresh load of the data queue finds them.
    std::map<std::string, std::map<std::string, int>> storedByStream() {
        std::map<std::string, std::map<std::string, int>> stored;
        if (connect() != 1) {
            ADD_FAILURE() << logText();
            return stored;
        }
        forEachStream([&stored](Stream *stream) {
            auto &objects = stored[stream->definition->name];
            forEachRecord(stream, [&objects](const BlobEntry &entry) {
                const StringEntry *name = evStringLookup(evCFGetObjectName(entry.data));
                objects[std::string(name->text, name->length)]++;
            });
        });
        disconnect();
        return stored;
    }
};

// A name compared in another case is another name: the lower-case test sends nothing away (it sent
// APP.00000000001's event to $null, comparisons ignoring case).
TEST_F(HookQmTest, EventHookChoosesStreamsByObjectName) {
    const std::string hook =
        "if (event.evobjname == 'APP.*')\n_stream = 'APPEV'\nendif\n"
        "if (event.evobjname == 'NOISE.*')\n_stream = '$null'\nendif\n"
        "if (event.evobjname = 'app.00000000001')\n_stream = '$null'\nendif\n";
    {
        // The connected hook's own-queue command is answered: the one after it runs only then.
        const std::string connected = "DISPLAY EV\nif (_cmdok = 1)\nDISPLAY EVSTREAM(APPEV)\nendif\n";
        pt::Zunt zunt(dir, "hooks",
                      options(ht::script("", {{"ZUNTEvent", hook}, {"ZUNTConnected", connected}})));
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(zunt.waitOut("AMQ8147: No matching objects found")) << zunt.out();
        for (const char *name : {"APP.00000000001", "NOISE.000000001", "OTHER.000000001"})
            putOn(own, eventFor(name));
        EXPECT_TRUE(drained()) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
    auto stored = storedByStream();
    EXPECT_EQ(stored["APPEV"]["APP.00000000001"], 1);
    EXPECT_EQ(stored["$EVENTS"]["OTHER.000000001"], 1);
    EXPECT_EQ(stored["$EVENTS"].count("APP.00000000001"), 0u);
    for (auto &[stream, objects] : stored) EXPECT_EQ(objects.count("NOISE.000000001"), 0u) << stream;
}

TEST_F(HookQmTest, TheQueueStatisticsHookRunsOncePerActiveQueue) {
    // Only the test's queues are watched: the program's own queues stay out of the message.
    ASSERT_EQ(
        qm.mqsc("ALTER QMGR STATQ(OFF)\nDEFINE QLOCAL(APP.A) STATQ(ON)\nDEFINE QLOCAL(APP.B) STATQ(ON)\n"
                "DEFINE QLOCAL(APP.C) STATQ(ON)\nDEFINE QLOCAL(APP.IDLE) STATQ(ON)\n"),
        0);
    ASSERT_EQ(connect(), 1) << logText();
    evConfigChanged.store(1);
    resumeByCommand({pt::kStatistics});
    disconnect();
    std::vector<std::string> calls;  // "_idxData _streamtype PUTP" of each call
    {
        // The queue's name is the table's object, no keyword: each queue is known by its own count.
        const std::string hook = "print 'STATQ', _idxData, _streamtype, data.putp\n";
        pt::Zunt zunt(dir, "statq", options(ht::script("", {{"ZUNTStatQ", hook}})));
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        const char *queues[] = {"APP.A", "APP.B", "APP.C"};
        for (int i = 0; i < 3; i++)
            for (int n = 0; n <= i; n++) putMessage(queues[i], MQFMT_STRING, "m");
        ASSERT_EQ(qm.mqsc("RESET QMGR TYPE(STATISTICS)\n"), 0);
        EXPECT_TRUE(zunt.waitOut("STATQ ", 3)) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const std::string out = zunt.out();
        for (size_t at = out.find("STATQ "); at != std::string::npos; at = out.find("STATQ ", at + 1))
            calls.push_back(out.substr(at + 6, out.find('\n', at) - at - 6));
    }
    // One message of the three queues with work, in name order, each call reading its own queue's group.
    EXPECT_EQ(calls, (std::vector<std::string>{"1 2 1", "2 2 2", "3 2 3"}));
}

TEST_F(HookQmTest, AScriptWithoutEveryHookEndsTheProgramAtStart) {
    pt::Zunt zunt(dir, "nohook", options(ht::script("", {}, {"ZUNTAlertExpire"})));
    EXPECT_EQ(zunt.wait(), EV_EXIT_START);  // a missing hook is a start-up failure
    EXPECT_NE(zunt.out().find("Function ZUNTAlertExpire() not found"), std::string::npos) << zunt.out();
    EXPECT_EQ(zunt.log().find("ZUNT Initialised"), std::string::npos);
}

TEST_F(HookQmTest, TheDebuggerStopsAtABreakpointInTheEventHook) {
    std::vector<std::string> o =
        options(ht::script("@start = 1\n", {{"ZUNTEvent", "@seen = event.evobjname\n"}}));
    o.push_back("-!");
    {
        pt::Zunt zunt(dir, "debug", o);
        ASSERT_TRUE(zunt.waitOut("DBG>")) << zunt.out();
        EXPECT_NE(zunt.out().find("@start = 1"), std::string::npos) << zunt.out();
        zunt.keys("bp ZUNTEvent\n");
        zunt.keys("run\n");
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        putOn(own, eventFor("APP.00000000001"));
        ASSERT_TRUE(zunt.waitOut("Breakpoint at line 1 of function 'ZUNTEvent'")) << zunt.out();
        ASSERT_TRUE(zunt.waitOut("DBG>", 2)) << zunt.out();
        zunt.keys("eval event.evobjname\n");
        EXPECT_TRUE(zunt.waitOut("Result:'APP.00000000001'")) << zunt.out();
        zunt.keys("run\n");
        EXPECT_TRUE(drained()) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
    EXPECT_EQ(storedByStream()["$EVENTS"]["APP.00000000001"], 1);
}

#ifndef _WIN32  // the stand-in knows the program's connections by its pid
// The queue manager's connections end while the connected hook stops at the debugger's prompt, with
// nothing typed: the prompt ends with a line saying why, the hook runs on to its end, and the program
// reconnects (the disconnect waited for the prompt's answer), the script running on as after "run":
// the hook's run after the reconnect stops at its breakpoint as the first did. The events put before the
// break and after the reconnect are each stored once.
TEST_F(HookQmTest, AQueueManagerBreakAtTheConnectedHooksPromptReconnects) {
    std::vector<std::string> o =
        options(ht::script("@start = 1\n", {{"ZUNTConnected", "@c = 1\nprint 'CONNECTED HOOK ENDS'\n"}}));
    o.insert(o.end(), {"-!", "-r", "1(30)"});
    {
        pt::Zunt zunt(dir, "breakprompt", o);
        ASSERT_TRUE(zunt.waitOut("DBG>")) << zunt.out();
        zunt.keys("bp ZUNTConnected\n");
        zunt.keys("run\n");
        ASSERT_TRUE(zunt.waitOut("Breakpoint at line 1 of function 'ZUNTConnected'")) << zunt.out();
        ASSERT_TRUE(zunt.waitOut("DBG>", 2)) << zunt.out();
        for (int i = 0; i < 5; i++) putEvent();
        EXPECT_NE(qmt::control("QM1", "connections " + std::to_string(zunt.pid()) + " end"),
                  "connections 0\n");
        ASSERT_TRUE(zunt.waitOut("Debugger prompt ended: the connection to the queue manager broke"))
            << zunt.out();
        EXPECT_TRUE(zunt.waitOut("CONNECTED HOOK ENDS")) << zunt.out();
        // The reconnect, its hook stopped at the breakpoint again.
        ASSERT_TRUE(zunt.waitOut("Breakpoint at line 1 of function 'ZUNTConnected'", 2)) << zunt.out();
        ASSERT_TRUE(zunt.waitOut("DBG>", 3)) << zunt.out();
        EXPECT_EQ(et::countOf(zunt.out(), "Connect sequence for 'QM1'"), 2) << zunt.out();
        for (int i = 0; i < 5; i++) putEvent();
        zunt.keys("bc *\n");
        zunt.keys("run\n");
        EXPECT_TRUE(zunt.waitOut("CONNECTED HOOK ENDS", 2)) << zunt.out();
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
    EXPECT_EQ(notOnce(drainAndReadBack()), "");
}
#endif

// Parse errors met while the start-up script runs, in the real program with -!: text queued in a
// loop, and a typo at the prompt while stopped in a function called from that loop. Each is refused
// with its message and the loop runs to its end (it spun for ever, SIGTERM or not).
TEST_F(HookQmTest, ParseErrorsWhileTheScriptRunsLeaveTheLoopRunning) {
    const std::string main =
        "@n = 0\nfunc f()\n  @n = @n + 1\nendfunc\n@i = 0\nwhile (@i < 3)\n  \"@x = (1\"\n  f()\n"
        "  @i = @i + 1\nendwhile\nprint 'DONE', @n, @i\n";
    std::vector<std::string> o = options(ht::script(main));
    o.push_back("-!");
    pt::Zunt zunt(dir, "typo", o);
    ASSERT_TRUE(zunt.waitOut("DBG>")) << zunt.out();
    zunt.keys("bp f 2\n");
    zunt.keys("run\n");
    ASSERT_TRUE(zunt.waitOut("Breakpoint at line 2 of function 'f'")) << zunt.out();
    ASSERT_TRUE(zunt.waitOut("DBG>", 2)) << zunt.out();
    zunt.keys("@zz = )\n");
    EXPECT_TRUE(zunt.waitOut("An operand was expected before ')'")) << zunt.out();
    zunt.keys("bc *\n");
    zunt.keys("run\n");
    EXPECT_TRUE(zunt.waitOut("DONE 3 3")) << zunt.out();
    EXPECT_TRUE(zunt.waitOut("The ')' to match the '(' at position 5 was not found", 3)) << zunt.out();
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// Inline values are put in once: a value that reads "<@a>" stays that text, whether a variable of the
// script holds it or an event from outside carries it (a line that substituted its own result spun
// for ever, or grew until storage ran out).
TEST_F(HookQmTest, InlineValuesArePutInOnce) {
    const std::string main =
        "@a = \"<@a>\"\nprint \"Y<@a>Y\"\n@v = 'hello'\n@b2 = \"<@v>\"\nprint \"X<@b2>X\"\n";
    const std::string hook = "@s = event.evobjname\nprint \"EV <@s> END\"\n";
    pt::Zunt zunt(dir, "once", options(ht::script(main, {{"ZUNTEvent", hook}})));
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    putOn(own, eventFor("Q.<@s>.00000001"));
    EXPECT_TRUE(drained()) << zunt.out();
    EXPECT_TRUE(zunt.waitOut("EV Q.<@s>.00000001 END")) << zunt.out();
    zunt.term();
    EXPECT_EQ(zunt.wait(20000), 0) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_EQ(et::countOf(out, "Y<@a>Y"), 1) << out;
    EXPECT_EQ(et::countOf(out, "X<@v>X"), 1) << out;
    EXPECT_EQ(et::countOf(out, "hello"), 0) << out;
    EXPECT_EQ(et::countOf(out, "EV Q.<@s>.00000001 END"), 1) << out;
    EXPECT_EQ(et::countOf(out, "Q.Q."), 0) << out;
}

// Text that a real event carries is data in the hook's lines: put into a print's string of either
// quote kind, a command line that an expression builds, a foritem or foreach header, it never ends the string
// or the statement, never opens a substitution or a call. (Object names ran the shell, printed the
// main program's secret and ran prints of their own; a refused client's user name ran quit.)
TEST_F(HookQmTest, AnEventsTextIsDataInTheHooksLines) {
    const std::string hook =
        "@o = event.evobjname\nprint \"OBJ2=<@o>\"\nprint 'OBJ3=<@o>'\n\"print 'OBJ4=\" + @o + \"'\"\n"
        "\"print 'OBJ5=', \" + @o\nforitem (\"<@o>\")\n  print 'ITEM=' + _item\nendfor\n"
        "=conn qm(QM1)\n=mqsc\nforeach (DISPLAY QLOCAL(<@o>) DESCR)\n  print 'FOUND'\nendfor\n"
        "@u = event.evuserid\nprint 'EVENT user=<@u> : ', event.summary\n";
    pt::Zunt zunt(dir, "data", options(ht::script("@secret = \"S3CRET\"\n", {{"ZUNTEvent", hook}})));
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    const std::string names[] = {
        "x\" + STR(SYSTEM(\"echo P$((6*7))\")) + \"",
        "<@o + STR(SYSTEM(\"echo P$((6*7))\"))>",
        "<@secret>",
        "x';print 'INJ-A",
        "a\"b'c;d>e\\f<_x)(,",
        "LAST.ONE",
    };
    ASSERT_EQ(qm.mqsc("ALTER QMGR LOCALEV(ENABLED) AUTHOREV(ENABLED)\n"), 0);
    for (const std::string &name : names) {
        if (name == "LAST.ONE") {
            // Refused as a client of that user: its authority event names the user.
            EXPECT_NE(qm.tool("put QM1 SYSTEM.DEFAULT.LOCAL.QUEUE --user \"x';quit;'\""), 0);
            ASSERT_TRUE(zunt.waitOut("EVENT user=x';quit;' : ")) << zunt.out();
        }
        MQLONG reason = 0;
        openQueue(name.c_str(), MQOO_OUTPUT, &reason);
        EXPECT_EQ(reason, MQRC_UNKNOWN_OBJECT_NAME) << name;
    }
    ASSERT_TRUE(zunt.waitOut("ITEM=LAST.ONE")) << zunt.out();
    EXPECT_TRUE(drained()) << zunt.out();
    EXPECT_TRUE(zunt.running());
    zunt.term();
    EXPECT_EQ(zunt.wait(20000), 0) << zunt.out();
    const std::string out = zunt.out();
    for (const std::string &name : names) {
        for (const char *line : {"OBJ2=", "OBJ3=", "OBJ4=", "OBJ5= ", "ITEM="})
            EXPECT_EQ(et::countOf(out, line + name + "\n"), 1) << line << name << "\n" << out;
    }
    EXPECT_EQ(et::countOf(out, "P42"), 0) << out;
    EXPECT_EQ(et::countOf(out, "S3CRET"), 0) << out;
    // Its five lines, its event's summary and the queue manager's answer to its foreach.
    EXPECT_EQ(et::countOf(out, "INJ-A"), 7) << out;
    // A foreach's DISPLAY names the object whole (or the queue manager or console refuses it).
    for (const char *name : {"<@secret>", "x';print 'INJ-A", "LAST.ONE"})
        EXPECT_EQ(et::countOf(out, std::string("IBM MQ object ") + name + " not found."), 1) << name << out;
    EXPECT_EQ(et::countOf(out, "FOUND"), 0) << out;
}

// A hook that never returns (an endless loop, a long wait, a synchronous command) is abandoned at an
// end asked for while it runs, SIGTERM or STOP EV, with a log line naming it, and the program ends as
// it does elsewhere. The ending hook, which the end itself starts, gives way to a second SIGTERM, or
// else to its bound of five seconds. (Each held the program until SIGKILL.)
TEST_F(HookQmTest, AnEndAskedForAbandonsAHookThatNeverReturns) {
    const std::string loop = "print 'IN HOOK'\nwhile (1)\n  @n = 1\nendwhile\nprint 'AFTER'\n";
    // The command says its process id, then becomes the long wait (a shell's own wait is not one).
    const std::string pidFile = dir.file("system.pid");
    const std::string command = "print 'IN HOOK'\n@r = system(\"echo $$ > " + pidFile +
                                "; exec sleep 120\", CONST.SYNC)\nprint 'AFTER'\n";
    enum Start { kEvent, kConnect, kTheEnd };
    enum End { kTerm, kStopEv, kTermTwice };
    const std::string abandoned = "() abandoned: the program is ending\n";
    const std::string bounded = "() abandoned: the program is ending and its 5 seconds are up\n";
    const struct {
        const char *hook;
        std::string body;
        Start start;
        End end;
        std::string logLine;  // besides the hook's own line
    } cases[] = {
        {"ZUNTEvent", loop, kEvent, kTerm, ""},
        {"ZUNTEvent", "print 'IN HOOK'\n@r = wait(600)\nprint 'AFTER'\n", kEvent, kTerm, ""},
        {"ZUNTEvent", loop, kEvent, kStopEv, ""},
        {"ZUNTConnected", loop, kConnect, kTerm, ""},
        {"ZUNTEvent", command, kEvent, kTerm,
         "system() wait abandoned: the program is ending; the command was ended\n"},
        {"ZUNTConnected", command, kConnect, kStopEv,
         "system() wait abandoned: the program is ending; the command was ended\n"},
        {"ZUNTEnding", loop, kTheEnd, kTermTwice, ""},
        {"ZUNTEnding", loop, kTheEnd, kTerm, ""},
        {"ZUNTEnding", loop, kTheEnd, kStopEv, ""},
        {"ZUNTEnding", command, kTheEnd, kTerm,
         "system() wait abandoned: the program is ending; the command was ended\n"},
    };
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    int run = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.hook) + " " + std::to_string(run));
        std::filesystem::remove(pidFile);
        pt::Zunt zunt(dir, "endless" + std::to_string(++run), options(ht::script("", {{c.hook, c.body}})));
        if (c.start != kConnect) {
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        }
        if (c.start == kEvent) putOn(own, eventFor("APP.00000000001"));
        // The command's shell has said its process id: the end then meets the command itself, not
        // the moment before the shell started.
        auto commandStarted = [&] {
            return c.body != command || et::waitFor([&] {
                       const std::string pid = qmt::readText(pidFile);
                       return !pid.empty() && pid.back() == '\n';
                   });
        };
        if (c.start != kTheEnd) {
            ASSERT_TRUE(zunt.waitOut("IN HOOK")) << zunt.out();
            ASSERT_TRUE(commandStarted()) << zunt.out();
        }
        if (c.end == kStopEv) {
            // A STOP EV put in the second the program started counts as one left from an earlier run.
            usleep(1100000);
            putOn(own, "STOP EV", EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
        } else {
            zunt.term();
        }
        if (c.start == kTheEnd) {
            ASSERT_TRUE(zunt.waitOut("IN HOOK")) << zunt.out();
            ASSERT_TRUE(commandStarted()) << zunt.out();
        }
        if (c.end == kTermTwice) zunt.term();
        EXPECT_EQ(zunt.wait(30000), 0) << zunt.out();
        zunt.kill9();
        const bool bound = c.start == kTheEnd && c.end != kTermTwice;
        EXPECT_NE(zunt.log().find(std::string("Hook ") + c.hook + (bound ? bounded : abandoned)),
                  std::string::npos)
            << zunt.log();
        if (!c.logLine.empty()) {
            EXPECT_NE(zunt.log().find(c.logLine), std::string::npos) << zunt.log();
        }
        EXPECT_EQ(zunt.out().find("AFTER"), std::string::npos) << zunt.out();
        EXPECT_EQ(et::countOf(zunt.out(), "IN HOOK"), 1) << zunt.out();
        // The command that held the hook was ended with it.
        if (c.body == command) {
            const std::string pid = qmt::readText(pidFile);
            ASSERT_FALSE(pid.empty());
            EXPECT_NE(::kill(std::stoi(pid), 0), 0) << pid;
        }
        // The event (backed out at the disconnect as every one since the last sync point) is not met
        // by the next case's run.
        emptyQueue(pt::kQmgrEvents);
    }
}

// The end's lines reach the log as they are said: the ending hook, which the end runs after the
// disconnect, finds them in the log, and a kill -9 then (a service manager's stop timeout) loses none
// of them. They were written only once the end was over: a hook that waited, or a queue manager that
// did not answer, held them back, and a kill lost them all.
TEST_F(HookQmTest, TheEndsLinesAreInTheLogAsTheyAreSaid) {
    const std::string during = dir.file("during.txt");
    const std::string ending = "@r = system(\"cat " + dir.file("endlines.log") + "/* > " + during +
                               "\", CONST.SYNC)\nprint 'TAKEN'\n@r = wait(600)\n";
    pt::Zunt zunt(dir, "endlines", options(ht::script("", {{"ZUNTEnding", ending}})));
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    zunt.term();
    // The hook's own line after the copy reaches the log while the end still waits.
    ASSERT_TRUE(zunt.waitLog("TAKEN\n")) << zunt.log();
    zunt.kill9();
    EXPECT_EQ(zunt.wait(), pt::kKilled) << zunt.out();
    const std::string log = qmt::readText(during);
    const std::vector<std::string> lines = {"Shutting down....\n", "Disconnect sequence\n",
                                            "Disconnecting from Event  Qmgr 'QM1'\n",
                                            "Disconnect complete\n"};
    size_t at = log.find("ZUNT Initialised");
    for (const std::string &line : lines) {
        at = log.find(line, at == std::string::npos ? 0 : at);
        EXPECT_NE(at, std::string::npos) << line << "\n" << log;
    }
    // Nothing lost by the kill.
    EXPECT_EQ(zunt.log().rfind(log, 0), 0u) << zunt.log();
    EXPECT_EQ(zunt.log().substr(log.size()).find("TAKEN\n"), 11u) << zunt.log();
}

// The debugger's prompt, at the start-up script's first statement or at a breakpoint in a hook, ends
// at SIGTERM, Ctrl-C's SIGINT and a closed terminal's SIGHUP, and so does the program, as an end asked
// for (the prompt waited for a line through every signal, until SIGKILL).
TEST_F(HookQmTest, AnEndAskedForEndsTheDebuggerPrompt) {
    const struct {
        int signal;
        bool inHook;  // else at the start-up script's first statement
    } cases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, true}, {SIGTERM, false}};
    int run = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.signal) + (c.inHook ? " hook" : " start"));
        std::vector<std::string> o =
            options(ht::script("@start = 1\n", {{"ZUNTEvent", "@seen = 1\nprint 'AFTER'\n"}}));
        o.push_back("-!");
        pt::Zunt zunt(dir, "dbgsignal" + std::to_string(++run), o);
        ASSERT_TRUE(zunt.waitOut("DBG>")) << zunt.out();
        if (c.inHook) {
            zunt.keys("bp ZUNTEvent\nrun\n");
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            putOn(own, eventFor("APP.00000000001"));
            ASSERT_TRUE(zunt.waitOut("Breakpoint at line 1 of function 'ZUNTEvent'")) << zunt.out();
            ASSERT_TRUE(zunt.waitOut("DBG>", 3)) << zunt.out();  // after bp, and at the breakpoint
        }
        zunt.signal(c.signal);
        EXPECT_EQ(zunt.wait(30000), 0) << zunt.out();
        zunt.kill9();
        EXPECT_NE(zunt.out().find("Debugger prompt ended: the program is ending\n"), std::string::npos)
            << zunt.out();
        EXPECT_EQ(zunt.out().find("AFTER"), std::string::npos) << zunt.out();
        emptyQueue(pt::kQmgrEvents);
    }
}

// In foreground debug mode with the keys a pipe whose writer stays open (nothing typed), the connected
// hook's prompt (every hook defined) waits, and the program goes on around it: its own queue answers a
// command and a STOP EV ends the prompt and the program. The prompt held the log and console lock while
// it waited: every thread that wrote a line stopped with it (the main loop, whose clock stamps the log,
// the command server), the command went unanswered, and the lines written at the end carried the
// time of the connect, as if the prompt had ended by itself a second after it.
TEST_F(HookQmTest, ADebuggerPromptOnAPipeWaitsUntilALineOrAnEnd) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    const struct {
        bool stopEv;  // else a line runs the hook on and SIGTERM ends the program
    } cases[] = {{false}, {true}};
    int run = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stopEv ? "STOP EV" : "line");
        std::vector<std::string> o = options(ht::script("", {{"ZUNTConnected", "print 'IN' + 'HOOK'\n"}}));
        o.push_back("-!");
        pt::Zunt zunt(dir, "dbgpipe" + std::to_string(++run), o, {}, {}, true);
        ASSERT_TRUE(zunt.waitOut("DBG>")) << zunt.out();
        usleep(2500000);
        putOn(own, "DISPLAY EV", EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
        EXPECT_NE(replyText(10000).find("NAME(ZUNT)"), std::string::npos) << zunt.out();
        EXPECT_EQ(zunt.out().find("Debugger prompt ended"), std::string::npos) << zunt.out();
        EXPECT_EQ(zunt.log().find("abandoned"), std::string::npos) << zunt.log();
        EXPECT_TRUE(zunt.running());
        if (c.stopEv) {
            putOn(own, "STOP EV", EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
        } else {
            zunt.keys("run\n");
            EXPECT_TRUE(zunt.waitOut("INHOOK")) << zunt.out();
            EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
            zunt.term();
        }
        EXPECT_EQ(zunt.wait(30000), 0) << zunt.out();
        zunt.kill9();
        if (c.stopEv) {
            EXPECT_NE(zunt.out().find("Debugger prompt ended: the program is ending\n"), std::string::npos)
                << zunt.out();
            EXPECT_EQ(zunt.out().find("INHOOK"), std::string::npos) << zunt.out();
        }
        emptyQueue(EV_COMMAND_QUEUE_NAME);
    }
}

// STOP EV to the program's own queue from the connected hook, in the run's first second: the program
// ends (the STOP EV was taken for one left from an earlier run, and the hook waited for an answer
// that never comes, for ever).
TEST_F(HookQmTest, StopEvFromTheConnectedHookEndsTheProgram) {
    const std::string body = "=zunt\nSTOP EV\nprint 'AFTER'\n";
    pt::Zunt zunt(dir, "stopev", options(ht::script("", {{"ZUNTConnected", body}})));
    EXPECT_EQ(zunt.wait(20000), 0) << zunt.out();
    zunt.kill9();
    EXPECT_NE(zunt.log().find("Hook ZUNTConnected() abandoned: the program is ending"), std::string::npos)
        << zunt.log();
    EXPECT_EQ(zunt.out().find("AFTER"), std::string::npos) << zunt.out();
}

// A command an event hook may not issue to the program's own queue (STOP EV) is refused as a failure:
// the refusal is one message line, `_cmdok` is 0 and `_lastrc` holds the reason (it was laid out in
// 20-character columns, with `_cmdok` 1 and `_lastrc` 0).
TEST_F(HookQmTest, AnOwnQueueCommandRefusedInAnEventHookFails) {
    const std::string body = "=zunt\nSTOP EV\nprint 'RESULT ' + str(_cmdok) + ' ' + str(_lastrc) + ' END'\n";
    pt::Zunt zunt(dir, "refused", options(ht::script("", {{"ZUNTEvent", body}})));
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    putOn(own, eventFor("APP.00000000001"));
    ASSERT_TRUE(zunt.waitOut("END")) << zunt.out();
    zunt.term();
    EXPECT_EQ(zunt.wait(20000), 0) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_NE(out.find("Command 'STOP EV' can not be issued from an event function\n"), std::string::npos)
        << out;
    EXPECT_EQ(et::countOf(out, "RESULT 0 3008 END"), 1) << out;
}

// The debugger's "end" at a stop in a hook ends the program, as its help says ("End program"); it
// ended only that run of the hook.
TEST_F(HookQmTest, TheDebuggersEndInAHookEndsTheProgram) {
    std::vector<std::string> o = options(ht::script("", {{"ZUNTEvent", "@seen = 1\n"}}));
    o.push_back("-!");
    pt::Zunt zunt(dir, "dbgend", o);
    ASSERT_TRUE(zunt.waitOut("DBG>")) << zunt.out();
    zunt.keys("bp ZUNTEvent\nrun\n");
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    putOn(own, eventFor("APP.00000000001"));
    ASSERT_TRUE(zunt.waitOut("DBG>", 2)) << zunt.out();
    zunt.keys("end\n");
    EXPECT_EQ(zunt.wait(20000), 0) << zunt.out();
}

// The end of the keys' input (a pipe whose writer closes) at a stop in a hook ends the program as
// "end" does (it ended only that run of the hook, and the program went on).
TEST_F(HookQmTest, TheEndOfInputAtAHooksPromptEndsTheProgram) {
    std::vector<std::string> o = options(ht::script("", {{"ZUNTEvent", "@seen = 1\n"}}));
    o.push_back("-!");
    pt::Zunt zunt(dir, "dbgeof", o, {}, {}, true);
    ASSERT_TRUE(zunt.waitOut("DBG>")) << zunt.out();
    zunt.keys("bp ZUNTEvent\nrun\n");
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    putOn(own, eventFor("APP.00000000001"));
    ASSERT_TRUE(zunt.waitOut("DBG>", 2)) << zunt.out();
    zunt.closeKeys();
    EXPECT_EQ(zunt.wait(20000), 0) << zunt.out();
    EXPECT_NE(zunt.out().find("End of debug input"), std::string::npos) << zunt.out();
}

// SIGTERM amid a flow of events, a few rounds at different moments: the events taken in as the
// program ends are stored where the hook chose, or left for the next start; never in the default
// stream alone.
TEST_F(HookQmTest, EventsTakenAsTheProgramEndsGoWhereTheHookChose) {
    const std::vector<std::string> hooked =
        options(ht::script("", {{"ZUNTEvent", "_stream = '$EVENTS,S2'\n"}}));
    // A slow start under load leaves the flow waiting.
    deepenEventQueue();
    const int from = put.load();
    startFeeding(2);
    for (int round = 0; round < 4; round++) {
        SCOPED_TRACE(round);
        pt::Zunt zunt(dir, "ending" + std::to_string(round), hooked);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        usleep(static_cast<useconds_t>(150000 + 350000 * round));
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
    stopFeeding();
    {
        pt::Zunt zunt(dir, "ending-final", hooked);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
    EXPECT_GT(put.load() - from, 200) << "a steady flow";
    auto stored = storedByStream();
    EXPECT_EQ(notOnce(stored["$EVENTS"], from), "");
    EXPECT_EQ(notOnce(stored["S2"], from), "");
    EXPECT_EQ(stored["$EVENTS"].size(), stored["S2"].size());
    keepRunsOnFailure();
}

// Kills amid a slow batch (an event hook that works per event), of the program and of the queue
// manager, with events past BOTHRESH(1) and no dead-letter queue: each stored once (program.h).
TEST_F(HookQmTest, KillsAmidASlowBatchStoreEachEventOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    for (bool queueManager : {false, true}) {
        SCOPED_TRACE(queueManager ? "the queue manager killed" : "the program killed");
        slowBatchKills(options(ht::script("", {{"ZUNTEvent", pt::kSlowHook}})), 200, 1, 3, queueManager);
    }
}

}  // namespace
