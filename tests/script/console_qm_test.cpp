// The console as a user reaches it: the real program with a start-up script (-f) on the stand-in
// queue manager, its output and log read back.
#include <signal.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../engine/program.h"
#include "hooks_testing.h"
#include "testing/built_paths.h"

namespace {

class ConsoleProgramQm : public pt::ProgramQmTest {
protected:
    std::vector<std::string> options(const std::string &main, const std::vector<ht::Body> &hooks = {}) {
        dir.write("console.vdr", ht::script(main, hooks));
        std::vector<std::string> o = runOptions();
        o.insert(o.end(), {"-f", dir.file("console.vdr")});
        return o;
    }
    // The output of a run of the start-up script's main part once it has initialised and ended on
    // SIGTERM with status 0; what failed is said.
    std::string runMain(const char *name, const std::string &main) {
        pt::Zunt zunt(dir, name, options(main));
        const bool initialised = zunt.waitInitialised();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_TRUE(initialised) << zunt.out();
        return zunt.out();
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

// Each pass of a loop in the main program and in an imported file runs its own line with inline
// values once: while, foritem and foreach, and an MQSC command of a four-pass loop is sent four
// times. (Each pass ran every earlier pass's substituted line again: 3 passes printed 6 lines, 4
// passes sent 10 ALTERs.)
TEST_F(ConsoleProgramQm, EachPassOfAMainProgramLoopRunsItsSubstitutedLineOnce) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(F.FE1)\nDEFINE QLOCAL(F.FE2)\n"), 0);
    dir.write("loop.vdr", "@j = 0\nwhile (@j < 3)\n  @j = @j + 1\n  print \"M <@j>\"\nendwhile\n");
    const std::string out =
        runMain("loops",
                "@i = 0\nwhile (@i < 3)\n  @i = @i + 1\n  @v = 'v' + str(@i)\n  print \"W <@v>\", @i\n"
                "endwhile\nforitem (\"a, b, c\")\n  print \"I <_item>\", _idxItem\nendfor\n"
                "=import file(loop.vdr)\n=syn(sp) cmd(print \"S\", @i)\n=conn qm(QM1)\n=mqsc\n@i = 0\n"
                "while (@i < 4)\n  @i = @i + 1\n  ALTER QLOCAL(F.FE1) DESCR('iteration <@i>')\n  sp\n"
                "endwhile\n"
                "foreach (DISPLAY QLOCAL(F.*) DESCR)\n  print \"E <@i>\", _idxEach\nendfor\n=disc\n");
    const struct {
        std::string prefix;
        std::vector<std::string> lines;
    } loops[] = {
        {"\nW ", {"W v1 1", "W v2 2", "W v3 3"}},
        {"\nI ", {"I a 1", "I b 2", "I c 3"}},
        {"\nM ", {"M 1", "M 2", "M 3"}},
        {"\nE ", {"E 4 1", "E 4 2"}},
        {"\nS ", {"S 1", "S 2", "S 3", "S 4"}},  // a synonym's command
        {"DESCR(iteration", {"DESCR(iteration 4)"}},
    };
    for (const auto &loop : loops) {
        EXPECT_EQ(et::countOf(out, loop.prefix), static_cast<int>(loop.lines.size())) << loop.prefix << out;
        for (const std::string &line : loop.lines) EXPECT_EQ(et::countOf(out, line), 1) << line << out;
    }
    EXPECT_EQ(et::countOf(out, "AMQ8008I: IBM MQ queue changed."), 4) << out;
}

// Values in the main program's lines are data of the token they fall in, whatever they hold: a
// print's strings of either quote kind, a line an expression builds, an MQSC command's quoted text
// and a foreach over it each give the value back unchanged, and nothing of it runs. A NUL, which no
// command can carry, refuses that command alone.
TEST_F(ConsoleProgramQm, HostileValuesInTheMainProgramsLinesStayData) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(H.D)\n"), 0);
    const char *const values[] = {
        "'q\"uo' + \"'te\"", "'a;b'",      "'<@secret>'", "'x>y<@'",
        "'back\\slash\\'",   "0x'610A62'", "0x'610062'",  "\"') + STR(SYSTEM('echo P$((6*7))')) + ('\"",
    };
    std::string main = "@secret = 'S3CRET'\n=conn qm(QM1)\n=mqsc\n";
    for (size_t i = 0; i < std::size(values); i++)
        main += "@v[" + std::to_string(i + 1) + "] = " + values[i] + "\n";
    main += "@i = 0\nwhile (@i < " + std::to_string(std::size(values)) +
            ")\n  @i = @i + 1\n  @d = @v[@i]\n"
            "  print 'PD', @i, \"<@d>\" = @d, strlen(\"<@d>\") = strlen(@d)\n"
            "  print 'PS', @i, '<@d>' = @d, strlen('<@d>') = strlen(@d)\n"
            "  \"@e = '\" + @d + \"'\"\n  \"\" + '@f = \"' + @d + '\"'\n"
            "  print 'EX', @i, @e = @d, @f = @d, strlen(@e) = strlen(@f)\n"
            "  ALTER QLOCAL(H.D) DESCR('<@d>')\n"
            "  foreach (DISPLAY QLOCAL(H.D) DESCR)\n    print 'MQ', @i\n  endfor\n"
            "endwhile\n=disc\n";
    const std::string out = runMain("hostile", main);
    for (size_t i = 1; i <= std::size(values); i++) {
        const std::string n = std::to_string(i);
        for (const std::string &line :
             {"PD " + n + " 1 1\n", "PS " + n + " 1 1\n", "EX " + n + " 1 1 1\n", "MQ " + n + "\n"})
            EXPECT_EQ(et::countOf(out, line), 1) << line << out;
    }
    // The description each ALTER set, shown by the foreach after it (the newline's ALTER is a
    // syntax error of the queue manager, the NUL's is refused: the one before them stays).
    const struct {
        std::string shown;
        int count;
    } descriptions[] = {{"DESCR(q\"uo'te)", 1},
                        {"DESCR(a;b)", 1},
                        {"DESCR(<@secret>)", 1},
                        {"DESCR(x>y<@)", 1},
                        {"DESCR(back\\slash\\)", 3}};
    for (const auto &d : descriptions) EXPECT_EQ(et::countOf(out, d.shown), d.count) << d.shown << out;
    EXPECT_EQ(et::countOf(out, "AMQ8008I: IBM MQ queue changed."), 6) << out;
    EXPECT_EQ(et::countOf(out, "A value put into the command holds a NUL character\n"), 1) << out;
    std::string shown;
    ASSERT_EQ(qm.mqsc("DISPLAY QLOCAL(H.D) DESCR\n", &shown), 0);
    EXPECT_NE(shown.find("') + STR(SYSTEM('echo P$((6*7))')) + ('"), std::string::npos) << shown;
    EXPECT_EQ(et::countOf(out, "P42"), 0) << out;
    EXPECT_EQ(et::countOf(out, "S3CRET"), 0) << out;
}

// A value put into an expression line goes in as what it is: a string that reads as a number stays
// that string, through <@v> and through a line built from it, and a number stays a number (a string
// went in bare: '007' printed 7, '1.50000' printed 1.50, and 23 digits failed the statement).
TEST_F(ConsoleProgramQm, AStringThatLooksLikeANumberStaysAStringInAnExpressionLine) {
    const struct {
        const char *value;  // as the script assigns it
        const char *shown;  // as print shows it
    } cases[] = {
        {"'007'", "007"}, {"'1.50000'", "1.50000"}, {"'12345678901234567890123'", "12345678901234567890123"},
        {"'-0'", "-0"},   {"'+5'", "+5"},           {"'0x1F'", "0x1F"},
        {"7", "7"},       {"-12", "-12"},           {"2.5", "2.50"},
    };
    const size_t kStrings = 6;  // the numbers after the strings go through <@v> only
    std::string main;
    for (size_t i = 0; i < std::size(cases); i++)
        main += "@v[" + std::to_string(i + 1) + "] = " + cases[i].value + "\n";
    main += "@i = 0\nwhile (@i < " + std::to_string(std::size(cases)) +
            ")\n  @i = @i + 1\n  @d = @v[@i]\n  print 'IN', @i, <@d>\n  \"print 'BUILT', @i, \" + @d\n"
            "endwhile\n";
    const std::string out = runMain("numberlike", main);
    for (size_t i = 0; i < std::size(cases); i++) {
        const std::string n = std::to_string(i + 1);
        for (const char *how : {"IN ", "BUILT "}) {
            if (i >= kStrings && how[0] == 'B') continue;
            EXPECT_EQ(et::countOf(out, how + n + " " + cases[i].shown + "\n"), 1)
                << how << cases[i].value << out;
        }
    }
}

// String comparisons and wildcard matches of a script's expressions heed case, in the main program
// and in a hook, through EVAL too (each ignored case: 'abc' = 'ABC' was true).
TEST_F(ConsoleProgramQm, AScriptsStringComparisonsHeedCase) {
    const struct {
        const char *expression;
        const char *result;
    } cases[] = {
        {"'abc' = 'ABC'", "0"},
        {"'abc' != 'ABC'", "1"},
        {"'queue.one' LK 'QUEUE.*'", "0"},
        {"'queue.one' NL 'QUEUE.*'", "1"},
        {"'a' == 'A'", "0"},
        {"'Ab' < 'aa'", "1"},
        {"eval(\"'abc' = 'ABC'\")", "0"},
        {"'abc' = 'abc'", "1"},
        {"'queue.one' LK 'queue.*'", "1"},
    };
    std::string lines;
    for (size_t i = 0; i < std::size(cases); i++)
        lines += "print 'CMP', @w, " + std::to_string(i + 1) + ", " + cases[i].expression + "\n";
    pt::Zunt zunt(
        dir, "case",
        options("@w = 'M'\n" + lines, {{"ZUNTConnected", "@w = 'H'\n" + lines + "print 'HOOK DONE'\n"}}));
    const bool done = zunt.waitOut("HOOK DONE");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(done) << zunt.out();
    const std::string out = zunt.out();
    for (const char *where : {"M", "H"}) {
        for (size_t i = 0; i < std::size(cases); i++) {
            EXPECT_EQ(et::countOf(out, std::string("CMP ") + where + " " + std::to_string(i + 1) + " " +
                                           cases[i].result + "\n"),
                      1)
                << where << " " << cases[i].expression << out;
        }
    }
}

// A name put into a command's brackets, through <@q> or a built string, names the object it holds to
// both command servers: lower and mixed case, '%', '/' and a generic '*' are kept as written (a
// lower-case name went in bare, and MQSC folded it onto another object or none).
TEST_F(ConsoleProgramQm, NamesPutIntoACommandAreTheObjectsTheyName) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(F.LOWER) DESCR('orig')\nDEFINE QLOCAL('f.lower') DESCR('orig')\n"
                      "DEFINE QLOCAL('f.Mixed') DESCR('orig')\nDEFINE QLOCAL('F.PCT%') DESCR('orig')\n"
                      "DEFINE QLOCAL('F/SL') DESCR('orig')\nDEFINE QLOCAL(F.UP) DESCR('orig')\n"),
              0);
    const std::string main =
        "=conn qm(QM1)\n=mqsc\n"
        "@q = 'f.lower'\nALTER QLOCAL(<@q>) DESCR('INLINE')\n"
        "@q = 'f.Mixed'\n\"ALTER QLOCAL(\" + @q + \") DESCR('BUILT')\"\n"
        "@q = 'F.PCT%'\nALTER QLOCAL(<@q>) DESCR('PCT')\n"
        "@q = 'F/SL'\n\"ALTER QLOCAL(\" + @q + \") DESCR('SLASH')\"\n"
        "@q = 'F.UP'\nALTER QLOCAL(<@q>) DESCR('UP')\n"
        "@g = 'f.*'\nforeach (DISPLAY QLOCAL(<@g>))\n  print 'QN ' + QUEUE\nendfor\n"
        "foreach (\"DISPLAY QLOCAL(\" + @g + \")\")\n  print 'QB ' + QUEUE\nendfor\n";
    const std::string connected =
        "=zunt\n"
        "@s = 's.lower'\nDEFINE EVSTREAM(<@s>) TYPE(EVENTS) DESCR('INLINE')\n"
        "@s = 's.Mixed'\n\"DEFINE EVSTREAM(\" + @s + \") TYPE(EVENTS) DESCR('BUILT')\"\n"
        "@s = 'S.PCT%'\nDEFINE EVSTREAM(<@s>) TYPE(EVENTS) DESCR('PCT')\n"
        "@s = 'S/SL'\n\"DEFINE EVSTREAM(\" + @s + \") TYPE(EVENTS) DESCR('SLASH')\"\n"
        "@g = 's.*'\nforeach (DISPLAY EVSTREAM(<@g>) DESCR)\n  print 'ZN ' + EVSTREAM + ' ' + DESCR\nendfor\n"
        "@g = 'S*'\nforeach (\"DISPLAY EVSTREAM(\" + @g + \") DESCR\")\n  print 'ZB ' + EVSTREAM + ' ' + "
        "DESCR\nendfor\nprint 'HOOK DONE'\n";
    pt::Zunt zunt(dir, "names", options(main, {{"ZUNTConnected", connected}}));
    const bool done = zunt.waitOut("HOOK DONE");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(done) << zunt.out();
    const std::string out = zunt.out();
    std::string shown;
    ASSERT_EQ(qm.mqsc("DISPLAY QLOCAL(*) DESCR\n", &shown), 0);
    for (const char *q : {"QUEUE(F.LOWER)", "QUEUE(f.lower)", "QUEUE(f.Mixed)", "QUEUE(F.PCT%)",
                          "QUEUE(F/SL)", "QUEUE(F.UP)"})
        EXPECT_NE(shown.find(q), std::string::npos) << q << shown;
    const auto descrOf = [&shown](const std::string &queue) {
        const size_t at = shown.find("QUEUE(" + queue + ")");
        if (at == std::string::npos) return std::string("<none>");
        const size_t d = shown.find("DESCR(", at);
        return shown.substr(d + 6, shown.find(')', d) - d - 6);
    };
    EXPECT_EQ(descrOf("F.LOWER"), "orig");
    EXPECT_EQ(descrOf("f.lower"), "INLINE");
    EXPECT_EQ(descrOf("f.Mixed"), "BUILT");
    EXPECT_EQ(descrOf("F.PCT%"), "PCT");
    EXPECT_EQ(descrOf("F/SL"), "SLASH");
    EXPECT_EQ(descrOf("F.UP"), "UP");
    for (const char *prefix : {"QN ", "QB "}) {
        SCOPED_TRACE(prefix);
        EXPECT_EQ(et::countOf(out, std::string(prefix) + "f.lower\n"), 1) << out;
        EXPECT_EQ(et::countOf(out, std::string(prefix) + "f.Mixed\n"), 1) << out;
        EXPECT_EQ(et::countOf(out, std::string(prefix)), 2) << out;
    }
    EXPECT_EQ(et::countOf(out, "ZN "), 2) << out;
    EXPECT_EQ(et::countOf(out, "ZN s.lower INLINE\n"), 1) << out;
    EXPECT_EQ(et::countOf(out, "ZN s.Mixed BUILT\n"), 1) << out;
    EXPECT_EQ(et::countOf(out, "ZB "), 2) << out;
    EXPECT_EQ(et::countOf(out, "ZB S.PCT% PCT\n"), 1) << out;
    EXPECT_EQ(et::countOf(out, "ZB S/SL SLASH\n"), 1) << out;
}

// A number-like value read by foreach (a name, a description) and put back into a command through
// <@x>, bare or in a quoted text, is the text it was read from, to both command servers: a command
// built from queue 007's name acts on 007, and a description copies back as it was (007 became 7,
// 1.5 became 1.50 and 3.14159 3.14, so a command acted on another object or stored another value).
TEST_F(ConsoleProgramQm, ANumberLikeValueReadByForeachGoesBackAsItWasRead) {
    const char *const names[] = {"007", "7", "1.5", "1.50"};
    const char *const descrs[] = {"3.14159", "1.5", "-0", ".5", "9223372036854775808", "007", "7", "2.50"};
    std::string define;
    for (const char *name : names) define += std::string("DEFINE QLOCAL(") + name + ") DESCR('num')\n";
    for (size_t i = 0; i < std::size(descrs); i++) {
        const std::string n = std::to_string(i + 1);
        define += "DEFINE QLOCAL(V." + n + ") DESCR('" + descrs[i] + "')\nDEFINE QLOCAL(C.V." + n +
                  ")\nDEFINE QLOCAL(Q.V." + n + ")\n";
    }
    ASSERT_EQ(qm.mqsc(define), 0);
    const std::string main =
        "=conn qm(QM1)\n=mqsc\n@n = 0\n"
        "foreach (DISPLAY QLOCAL(*) DESCR)\n  if (DESCR = 'num')\n    @n = @n + 1\n    @q[@n] = QUEUE\n"
        "  endif\nendfor\n"
        "@i = 0\nwhile (@i < @n)\n  @i = @i + 1\n  @o = @q[@i]\n  ALTER QLOCAL(<@o>) DESCR('was "
        "<@o>')\nendwhile\n"
        "foreach (DISPLAY QLOCAL(V.*) DESCR)\n  @o = QUEUE\n  @d = DESCR\n  @c = 'C.' + @o\n  @b = 'Q.' + "
        "@o\n"
        "  ALTER QLOCAL(<@c>) DESCR(<@d>)\n  ALTER QLOCAL(<@b>) DESCR('<@d>')\nendfor\n=disc\n";
    const std::string connected =
        "=zunt\n@n = 0\n"
        "foreach (DISPLAY EVSTREAM(*) DESCR)\n  if (DESCR = 'num')\n    @n = @n + 1\n    @s[@n] = EVSTREAM\n"
        "  endif\nendfor\n"
        "@i = 0\nwhile (@i < @n)\n  @i = @i + 1\n  @o = @s[@i]\n  ALTER EVSTREAM(<@o>) DESCR('was "
        "<@o>')\nendwhile\n"
        "foreach (DISPLAY EVSTREAM(N.1) DESCR)\n  @d = DESCR\nendfor\n"
        "ALTER EVSTREAM(N.2) DESCR(<@d>)\nprint 'SHOWN'\nDISPLAY EVSTREAM(*) DESCR\nprint 'HOOK DONE'\n";
    const std::string streams =
        "=zunt\nDEFINE EVSTREAM('007') TYPE(EVENTS) DESCR('num')\nDEFINE EVSTREAM('7') TYPE(EVENTS) "
        "DESCR('num')\nDEFINE EVSTREAM(N.1) TYPE(EVENTS) DESCR('1.50')\nDEFINE EVSTREAM(N.2) TYPE(EVENTS)\n";
    pt::Zunt zunt(dir, "numberlike", options(main, {{"ZUNTConnected", streams + connected}}));
    const bool done = zunt.waitOut("HOOK DONE");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(done) << zunt.out();
    const std::string out = zunt.out();
    std::string shown;
    ASSERT_EQ(qm.mqsc("DISPLAY QLOCAL(*) DESCR\n", &shown), 0);
    const auto descrOf = [&shown](const std::string &queue) {
        const size_t at = shown.find("QUEUE(" + queue + ")");
        if (at == std::string::npos) return std::string("<none>");
        const size_t d = shown.find("DESCR(", at);
        return shown.substr(d + 6, shown.find(')', d) - d - 6);
    };
    for (const char *name : names) EXPECT_EQ(descrOf(name), std::string("was ") + name) << shown;
    for (size_t i = 0; i < std::size(descrs); i++) {
        const std::string n = std::to_string(i + 1);
        EXPECT_EQ(descrOf("C.V." + n), descrs[i]) << shown;
        EXPECT_EQ(descrOf("Q.V." + n), descrs[i]) << shown;
    }
    // The streams as the last display shows them, one line each.
    std::map<std::string, std::string> shownStreams;
    std::istringstream lines(out.substr(out.rfind("SHOWN\n")));
    for (std::string line; std::getline(lines, line);) {
        const size_t open = line.find("EVSTREAM("), d = line.find("DESCR(");
        if (open == std::string::npos || d == std::string::npos) continue;
        shownStreams[line.substr(open + 9, line.find(')', open) - open - 9)] =
            line.substr(d + 6, line.rfind(')') - d - 6);
    }
    EXPECT_EQ(shownStreams["007"], "was 007") << out;
    EXPECT_EQ(shownStreams["7"], "was 7") << out;
    EXPECT_EQ(shownStreams["N.2"], "1.50") << out;
}

// A value holding apostrophes, put into a command to the program's own command server through <@d>
// bare, inside a quoted text and in a built line, is the value the server stores and shows (the
// server ended a quoted text at its first quote: a doubled apostrophe was a syntax error). The
// change log's line for it, replayed to the server, gives the same value back.
TEST_F(ConsoleProgramQm, ApostrophesReachTheProgramsOwnCommandServer) {
    const char *const values[] = {"it's", "'", "''", "'both ends'", "a''b ' c"};
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    std::string hook = "=zunt\n";
    for (size_t i = 0; i < std::size(values); i++)
        hook += "@v[" + std::to_string(i + 1) + "] = \"" + values[i] + "\"\n";
    hook += "@i = 0\nwhile (@i < " + std::to_string(std::size(values)) +
            ")\n  @i = @i + 1\n  @d = @v[@i]\n"
            "  @w = 0\n  while (@w < 3)\n    @w = @w + 1\n    ALTER EV DESCR('reset')\n"
            "    if (@w = 1)\n      ALTER EV DESCR(<@d>)\n    endif\n"
            "    if (@w = 2)\n      ALTER EV DESCR('<@d>')\n    endif\n"
            "    if (@w = 3)\n      \"ALTER EV DESCR(\" + @d + \")\"\n    endif\n"
            "    @rc = _lastrc\n    @got = -1\n"
            "    foreach (DISPLAY EV DESCR)\n      @got = DESCR\n    endfor\n"
            "    print 'AP', @i, @w, @rc, @got = @d\n  endwhile\nendwhile\n"
            "@d = @v[1]\nDEFINE EVSTREAM(S.APOS) TYPE(EVENTS) DESCR(<@d>)\nprint 'HOOK DONE'\n";
    pt::Zunt zunt(dir, "apostrophes", options("", {{"ZUNTConnected", hook}}));
    ASSERT_TRUE(zunt.waitOut("HOOK DONE")) << zunt.out();
    const std::string out = zunt.out();
    for (size_t i = 0; i < std::size(values); i++) {
        SCOPED_TRACE(values[i]);
        for (int way = 1; way <= 3; way++)
            EXPECT_EQ(et::countOf(out, "AP " + std::to_string(i + 1) + " " + std::to_string(way) + " 0 1\n"),
                      1)
                << way << out;
        // Each way's DISPLAY EV shows the value as it is.
        EXPECT_EQ(et::countOf(out, std::string("DESCR(") + values[i] + ")\n"), 3) << out;
    }
    // The change log's line, replayed after a DELETE, defines the stream with the same description.
    ASSERT_TRUE(zunt.waitLog("DEFINE EVSTREAM('S.APOS')")) << zunt.log();
    const std::string log = zunt.log();
    const size_t at = log.find("DEFINE EVSTREAM('S.APOS')");
    const std::string line = log.substr(at, log.find(" ***", at) - at);  // the log's line is "*** ... ***"
    EXPECT_NE(line.find("DESCR('it''s')"), std::string::npos) << line;
    sendCommand(MQFMT_STRING, "DELETE EVSTREAM(S.APOS)");
    EXPECT_NE(replyText(10000), "");
    sendCommand(MQFMT_STRING, line);
    const std::string replayed = replyText(10000);
    sendCommand(MQFMT_STRING, "DISPLAY EVSTREAM(S.APOS) DESCR");
    const std::string shown = replyText(10000);
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_NE(replayed.find("AMQ8005: Stream defined successfully."), std::string::npos) << replayed;
    EXPECT_NE(shown.find("DESCR(it's)"), std::string::npos) << shown;
}

// A value holding apostrophes put into the WHERE of a command to the program's own command server,
// bare or inside a quoted text, is the text the filter compares: written double-quoted, since that
// filter reads no doubled quote (both ways were refused: "An operator was expected"). A value with
// both kinds of quote cannot be written there and refuses the command with a message.
TEST_F(ConsoleProgramQm, AValueWithApostrophesGoesIntoTheOwnServersWhere) {
    const std::string hook =
        "=zunt\n@d = \"q'd 'x'\"\n@o = 'other'\n"
        "DEFINE EVSTREAM(W.ONE) TYPE(EVENTS) DESCR(<@d>)\nDEFINE EVSTREAM(W.TWO) TYPE(EVENTS) DESCR(<@o>)\n"
        "foreach (DISPLAY EVSTREAM(W.*) WHERE(DESCR EQ <@d>))\n  print 'WB ' + EVSTREAM\nendfor\n"
        "foreach (DISPLAY EVSTREAM(W.*) WHERE(DESCR EQ '<@d>'))\n  print 'WQ ' + EVSTREAM\nendfor\n"
        "DISPLAY EVSTREAM(W.*) WHERE(DESCR LK '*<@d>')\n"
        "@b = 'both \" and ' + \"'\"\nDISPLAY EVSTREAM(W.*) WHERE(DESCR EQ <@b>)\nprint 'HOOK DONE'\n";
    pt::Zunt zunt(dir, "ownwhere", options("", {{"ZUNTConnected", hook}}));
    const bool done = zunt.waitOut("HOOK DONE");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(done) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_EQ(et::countOf(out, "WB W.ONE\n"), 1) << out;
    EXPECT_EQ(et::countOf(out, "WQ W.ONE\n"), 1) << out;
    EXPECT_EQ(et::countOf(out, "W.TWO"), 0) << out;
    EXPECT_EQ(et::countOf(out, "EVSTREAM(W.ONE)"), 3) << out;  // each display's object, once
    EXPECT_EQ(out.find("AMQ8426"), std::string::npos) << out;
    EXPECT_EQ(et::countOf(out, "holds both kinds of quote"), 1) << out;
}

// A value read by foreach and put into a WHERE of the program's own command server, compared with a
// field, selects exactly the objects holding that value: an upper-case name (read there as an unknown
// variable), '007' and 7 (read as numbers, which beside a text compare its length), a field's name,
// a lower-case name, an apostrophe and blanks. A value name beside its field (TYPE EQ STATQ) and a
// number beside a number field select as they did.
TEST_F(ConsoleProgramQm, AValueReadByForeachSelectsItsObjectsInTheOwnServersWhere) {
    struct Case {
        const char *stream;
        const char *define;  // the rest of its DEFINE
        const char *field;   // the field read and compared
        std::vector<std::string> selected;
    };
    const std::vector<Case> cases = {
        {"W.UP", "DESCR(UPNAME)", "DESCR", {"W.UP"}},
        {"W.ZEROS", "DESCR(007)", "DESCR", {"W.ZEROS"}},
        {"W.SEVEN", "DESCR(7)", "DESCR", {"W.SEVEN"}},
        {"W.LEN7", "DESCR(ABCDEFG)", "DESCR", {"W.LEN7"}},
        {"W.FIELD", "DESCR(DESCR)", "DESCR", {"W.FIELD"}},
        {"W.LOWER", "DESCR('lower')", "DESCR", {"W.LOWER"}},
        {"W.APOS", "DESCR('it''s')", "DESCR", {"W.APOS"}},
        {"W.BLANKS", "DESCR('two words')", "DESCR", {"W.BLANKS"}},
        {"W.STATQ", "TYPE(STATQ) DESCR('x')", "TYPE", {"W.STATQ"}},
        {"W.RET", "RETINTVL(7) DESCR('y')", "RETINTVL", {"W.RET"}},
    };
    std::string hook = "=zunt\n";
    for (const Case &c : cases) {
        const bool typed = std::string(c.define).find("TYPE(") != std::string::npos;
        hook += std::string("DEFINE EVSTREAM(") + c.stream + ")" + (typed ? "" : " TYPE(EVENTS)") + " " +
                c.define + "\n";
    }
    for (const Case &c : cases)
        hook += std::string("foreach (DISPLAY EVSTREAM(") + c.stream + ") " + c.field +
                ")\n  @d = " + c.field + "\nendfor\nforeach (DISPLAY EVSTREAM(W.*) WHERE(" + c.field +
                " EQ <@d>))\n  print 'SEL " + c.stream + " ' + EVSTREAM\nendfor\n";
    hook += "print 'HOOK DONE'\n";
    pt::Zunt zunt(dir, "ownwherevalues", options("", {{"ZUNTConnected", hook}}));
    const bool done = zunt.waitOut("HOOK DONE");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    ASSERT_TRUE(done) << zunt.out();
    const std::string out = zunt.out();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stream);
        EXPECT_EQ(et::countOf(out, std::string("SEL ") + c.stream + " "), c.selected.size()) << out;
        for (const std::string &s : c.selected)
            EXPECT_EQ(et::countOf(out, std::string("SEL ") + c.stream + " " + s + "\n"), 1) << out;
    }
    EXPECT_EQ(out.find("AMQ8426"), std::string::npos) << out;
    EXPECT_EQ(out.find("nrecognised"), std::string::npos) << out;
}

// foreach reads each description as the queue holds it, unbalanced brackets, quotes, blanks and
// commas included, and the value put back into a command, through <@d> bare, a built line and a
// quoted text, stores the same bytes (a value was cut at its first ')' or given one more).
TEST_F(ConsoleProgramQm, ADescriptionReadByForeachCopiesBackByteForByte) {
    const struct {
        const char *mqsc, *descr;
    } cases[] = {
        {"a) DESCR(b", "a) DESCR(b"},
        {" lead, comma ( unclosed", " lead, comma ( unclosed"},
        {"ends in )", "ends in )"},
        {")", ")"},
        {"x) QUEUE(y) TYPE(z", "x) QUEUE(y) TYPE(z"},
        {"((()", "((()"},
        {"a) TYPE(b", "a) TYPE(b"},
        {"q\"uo''te", "q\"uo'te"},
        {"a b (c) d", "a b (c) d"},
        {"it''s (x, y", "it's (x, y"},
    };
    std::string define;
    for (size_t i = 0; i < std::size(cases); i++) {
        const std::string n = std::to_string(i + 1);
        define += "DEFINE QLOCAL(F.RB" + n + ") DESCR('" + cases[i].mqsc + "')\nDEFINE QLOCAL(C.F.RB" + n +
                  ")\nDEFINE QLOCAL(B.F.RB" + n + ")\n";
    }
    ASSERT_EQ(qm.mqsc(define), 0);
    // Each queue's description as MQINQ gives it, its blank padding left off.
    const auto descr = [this](const std::string &queue) {
        MQHOBJ hobj = openQueue(queue.c_str(), MQOO_INQUIRE);
        MQLONG selector = MQCA_Q_DESC, cc = 0, rc = 0;
        char text[MQ_Q_DESC_LENGTH];
        raw.MQINQ(own, hobj, 1, &selector, 0, nullptr, sizeof text, text, &cc, &rc);
        closeQueue(&hobj);
        std::string value(text, cc == MQCC_OK ? sizeof text : 0);
        value.erase(value.find_last_not_of(' ') + 1);
        return value;
    };
    for (size_t i = 0; i < std::size(cases); i++)
        ASSERT_EQ(descr("F.RB" + std::to_string(i + 1)), cases[i].descr);
    runMain("copyback",
            "=conn qm(QM1)\n=mqsc\n@n = 0\n"
            "foreach (DISPLAY QLOCAL(F.RB*) DESCR)\n  @q[_idxEach] = QUEUE\n  @v[_idxEach] = DESCR\n"
            "  @n = _idxEach\nendfor\n"
            "@i = 0\nwhile (@i < @n)\n  @i = @i + 1\n  @o = @q[@i]\n  @d = @v[@i]\n"
            "  @c = 'C.' + @o\n  @b = 'B.' + @o\n"
            "  ALTER QLOCAL(<@c>) DESCR(<@d>)\n"
            "  \"ALTER QLOCAL(\" + @b + \") DESCR(\" + @d + \")\"\n"
            "  ALTER QLOCAL(<@o>) DESCR('<@d>')\nendwhile\n=disc\n");
    for (size_t i = 0; i < std::size(cases); i++) {
        const std::string queue = "F.RB" + std::to_string(i + 1);
        SCOPED_TRACE(queue);
        for (const std::string &copy : {"C." + queue, "B." + queue, queue})
            EXPECT_EQ(descr(copy), cases[i].descr) << copy;
    }
}

// A DISPLAY of 20,000 objects: every reply is read and foreach runs once per object, in time linear
// in them (each line the loop added walked every line of the reply kept for it: 20,000 passes took
// half a minute of CPU). With the defaults the reply queue comes from SYSTEM.DEFAULT.MODEL.QUEUE
// (MAXDEPTH 5000), which the command server outran: 5,000-7,000 replies were read and the rest lost.
// The console deepens the queue it made so; one made from the user's own model keeps its depth.
TEST_F(ConsoleProgramQm, ADisplayOfTwentyThousandObjectsIsReadWholeAndWalkedOnce) {
    constexpr int kQueues = 20000;
    std::string define = "DEFINE QMODEL(DEEP.MODEL) DEFTYPE(TEMPDYN) MAXDEPTH(100000)\n";
    for (int i = 0; i < kQueues; i++) define += "DEFINE QLOCAL(MANY." + std::to_string(i) + ")\n";
    ASSERT_EQ(qm.mqsc(define), 0);
    const struct {
        const char *name, *conn, *depth;
    } cases[] = {
        {"defaults", "=conn qm(QM1)", "MAXDEPTH(999999999)"},
        {"ownmodel", "=conn qm(QM1) replyq(DEEP.MODEL)", "MAXDEPTH(100000)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pt::Zunt zunt(
            dir, c.name,
            options(std::string(c.conn) +
                    "\n=mqsc\nDISPLAY QLOCAL(MANY.*) MAXDEPTH\n"
                    "@n = 0\nforeach (DISPLAY QLOCAL(MANY.*) MAXDEPTH)\n  @n = @n + 1\n"
                    "  print 'PASS', @n\nendfor\nprint 'EACH', @n, _numEach\n"
                    "DISPLAY QLOCAL(ZUNT.*) WHERE(DEFTYPE EQ TEMPDYN) MAXDEPTH\n=show summary\n=disc\n"));
        const bool initialised = zunt.waitInitialised();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << tail(zunt.out());
        ASSERT_TRUE(initialised) << tail(zunt.out());
        const std::string out = zunt.out();
        EXPECT_EQ(et::countOf(out, "EACH 20000 20000\n"), 1) << tail(out);
        EXPECT_EQ(et::countOf(out, "PASS "), kQueues) << tail(out);
        EXPECT_EQ(et::countOf(out, "QUEUE(MANY."), 2 * kQueues) << tail(out);
        EXPECT_EQ(et::countOf(out, "QUEUE(ZUNT."), 1) << tail(out);
        EXPECT_EQ(et::countOf(out, c.depth), 1) << tail(out);
        EXPECT_EQ(out.find("keeps its MAXDEPTH"), std::string::npos) << tail(out);
        EXPECT_NE(out.find("Issued: 3  Success: 3  Fail: 0"), std::string::npos) << tail(out);
    }
}

// Only a temporary dynamic queue the console made from the default model is deepened: one made
// permanent dynamic there, which outlives the connection, keeps its depth, one line says so, and the
// connection's commands are answered.
TEST_F(ConsoleProgramQm, APermanentDynamicReplyQueueKeepsItsDepthAndSaysSo) {
    ASSERT_EQ(qm.mqsc("ALTER QMODEL(SYSTEM.DEFAULT.MODEL.QUEUE) DEFTYPE(PERMDYN)\n"), 0);
    const std::string out = runMain("permdyn",
                                    "=conn qm(QM1)\n=mqsc\n"
                                    "DISPLAY QLOCAL(ZUNT.*) WHERE(DEFTYPE EQ PERMDYN) MAXDEPTH\n"
                                    "=show summary\n=disc\n");
    // The queue the display shows (the program's own connection may have made one more by then),
    // said once, kept as the model made it.
    const size_t at = out.find("QUEUE(ZUNT.");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string queue = out.substr(at + 6, out.find(')', at) - at - 6);
    EXPECT_EQ(et::countOf(out, "Reply queue '" + queue +
                                   "' keeps its MAXDEPTH(5000) (not a temporary dynamic queue): a reply "
                                   "of more messages than that may be cut\n"),
              1)
        << out;
    EXPECT_EQ(et::countOf(out, "MAXDEPTH(999999999)"), 0) << out;
    EXPECT_NE(out.find("QUEUE(" + queue + ")            TYPE(QLOCAL)        MAXDEPTH(5000)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Issued: 1  Success: 1  Fail: 0"), std::string::npos) << out;
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

// A start-up script's command whose replies stop (a reply queue too shallow for them, made from the
// user's own model, which the console leaves as it is) or never come (no command server) ends once no
// reply came for the connection's wait, saying why, counted as failed; the program starts.
TEST_F(ConsoleProgramQm, AStalledCommandEndsAndTheStartGoesOn) {
    struct Case {
        const char *name;
        const char *mqsc;  // what makes it stall
        const char *conn;
        const char *said;
        bool serverStopped;
    };
    const Case cases[] = {
        {"full", "DEFINE QMODEL(SHALLOW.MODEL) DEFTYPE(TEMPDYN) MAXDEPTH(1)\n",
         "=conn qm(QM1) replyq(SHALLOW.MODEL) wait(2)",
         "was probably full (its MAXDEPTH) and the rest lost; the command failed", false},
        {"silent", "", "=conn qm(QM1) wait(2)",
         "the command server of 'QM1' is not answering; the command failed", true},
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
                      options(std::string(c.conn) + "\n=mqsc\nDISPLAY QLOCAL(STALL.*)\n=show summary\n"));
        const bool initialised = zunt.waitInitialised();
        if (c.serverStopped) qm.tool("cmdserver QM1 start");
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        ASSERT_TRUE(initialised) << zunt.out();
        EXPECT_NE(zunt.out().find(c.said), std::string::npos) << zunt.out();
        EXPECT_NE(zunt.out().find("Fail: 1"), std::string::npos) << zunt.out();
    }
}

#ifndef _WIN32  // no SIGSTOP under wine
// A queue manager that hangs (its server stopped) while the console waits: the wait says that the
// queue manager does not answer the call under way, the put of a command or a =disc, not that a
// command server is silent or a reply queue was full; the script goes on once it answers again.
TEST_F(ConsoleProgramQm, AWaitOnAHungQueueManagerSaysWhatItWaitsOn) {
    const std::string stop = "@r = system(\"kill -STOP " + std::to_string(qm.pid()) + "\", CONST.SYNC)\n";
    const std::string resume = "@r = system(\"kill -CONT " + std::to_string(qm.pid()) + "\", CONST.SYNC)\n";
    const struct {
        const char *name;
        std::string main;
        const char *said;
    } cases[] = {
        {"command", "=conn qm(QM1) wait(2)\n=mqsc\n" + stop + "DISPLAY QMGR\n" + resume + "print('after')\n",
         "The command was not put within 2 seconds: queue manager 'QM1' is not answering; the command "
         "failed"},
        {"=disc", "=conn qm(QM1) wait(2)\n=mqsc\n" + stop + "=disc\n" + resume + "print('after')\n",
         "=disc has not completed within 2 seconds: queue manager 'QM1' is not answering its MQI call; the "
         "command failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pt::Zunt zunt(dir, std::string("hung") + (c.name[0] == '=' ? "disc" : "put"), options(c.main));
        const bool initialised = zunt.waitInitialised();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        ASSERT_TRUE(initialised) << zunt.out();
        const std::string out = zunt.out();
        EXPECT_EQ(et::countOf(out, c.said), 1) << out;
        EXPECT_EQ(out.find("command server of"), std::string::npos) << out;
        EXPECT_NE(out.find("after"), std::string::npos) << out;
    }
}

// The queue manager hangs while the reply reader's get waits (the command put, no reply yet): a
// short =conn wait says that the queue manager does not answer, not that its command server is
// silent (the get's 5 seconds had to pass before a hang could be told, longer than such a wait).
TEST_F(ConsoleProgramQm, AHangDuringTheReplyGetIsSaidWithinAShortWait) {
    for (const int seconds : {3, 5}) {
        SCOPED_TRACE(seconds);
        ASSERT_EQ(qm.tool("cmdserver QM1 stop"), 0);
        pt::Zunt zunt(dir, "hungget" + std::to_string(seconds),
                      options("=conn qm(QM1) wait(" + std::to_string(seconds) +
                              ")\n=mqsc\nDISPLAY QMGR\nprint('after')\n"));
        // The command is put: it waits on the stopped command server's queue, behind the ALTER that
        // deepens the console's reply queue.
        bool waiting = false;
        for (int waited = 0; waited < 60000 && !waiting; waited += 20) {
            waiting = depth("SYSTEM.ADMIN.COMMAND.QUEUE") == 2;
            if (!waiting) usleep(20000);
        }
        ASSERT_TRUE(waiting) << zunt.out();
        ASSERT_EQ(kill(qm.pid(), SIGSTOP), 0);
        const bool said = zunt.waitOut("the command failed", 1, 30000);
        kill(qm.pid(), SIGCONT);
        const bool initialised = zunt.waitInitialised();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        ASSERT_EQ(qm.tool("cmdserver QM1 start"), 0);
        ASSERT_TRUE(said) << zunt.out();
        EXPECT_TRUE(initialised) << zunt.out();
        const std::string out = zunt.out();
        EXPECT_NE(out.find("queue manager 'QM1' is not answering (a get from the reply queue"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("command server of"), std::string::npos) << out;
        EXPECT_NE(out.find("after"), std::string::npos) << out;
        // The command server, started again, takes the request left from this round.
        for (int waited = 0; waited < 60000 && depth("SYSTEM.ADMIN.COMMAND.QUEUE") != 0; waited += 20)
            usleep(20000);
    }
}
#endif

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

// A statistics display cut by MAXRESP, sent by the console to the program's command queue: the closing
// line is shown whole, one sentence on its line.
TEST_F(ConsoleProgramQm, AStatisticsDisplayCutByMaxrespSaysSoInOneLine) {
    ASSERT_EQ(
        qm.mqsc("ALTER QMGR STATQ(OFF)\nDEFINE QLOCAL(APP.A) STATQ(ON)\nDEFINE QLOCAL(APP.B) STATQ(ON)\n"
                "DEFINE QLOCAL(APP.C) STATQ(ON)\nDEFINE QLOCAL(REPLY.Q)\n"),
        0);
    ASSERT_EQ(connect(), 1) << logText();
    evConfigChanged.store(1);
    resumeByCommand({pt::kStatistics});
    disconnect();
    {
        // Three queues' statistics taken in and stored.
        pt::Zunt zunt(dir, "store", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        for (const char *queue : {"APP.A", "APP.B", "APP.C"}) putMessage(queue, MQFMT_STRING, "m");
        ASSERT_EQ(qm.mqsc("RESET QMGR TYPE(STATISTICS)\n"), 0);
        // Taken in and committed: an end before the commit would back the get out.
        for (int waited = 0; waited < 60000 && !taken(pt::kStatistics); waited += 20) usleep(20000);
        ASSERT_TRUE(taken(pt::kStatistics)) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        ASSERT_EQ(depth(pt::kStatistics), 0) << zunt.out();
    }
    pt::Zunt zunt(dir, "maxresp",
                  options("", {{"ZUNTConnected", "=zunt\nDISPLAY STATQ(APP.*) FROM(any) MAXRESP(2)\n"}}));
    EXPECT_TRUE(zunt.waitOut("MAXRESP(2).")) << zunt.out();  // however it is laid out
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_NE(out.find("\nResponses incomplete: more entries matched than MAXRESP(2).\n"), std::string::npos)
        << out;
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
