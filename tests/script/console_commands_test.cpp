// The console's '=' commands that reach into the script: =show func over defined functions, and
// =import reading script files into the running program.
#include <algorithm>
#include <string>
#include <vector>

#include "console/console.h"
#include "script/internal.h"
#include "testing/console_session.h"
#include "testing/testing.h"

namespace {

class ConsoleCommandsTest : public zt::ConsoleSessionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConsoleSessionTest::SetUp());
        scriptInstall();
        cslScript.echoSwitch(s, CSL_ECHO_CMDS, -1);  // makes the session's program
        ASSERT_NE(s->program, nullptr);
    }
    void parse(const std::vector<const char *> &lines) {
        cmdReadContext *r = cmdMemoryReader(s->program, "f.vdr", lines.data(), lines.size());
        ASSERT_NE(r, nullptr);
        cmdPushReader(s->program, r);
        cmdParseFile(s->program);
        cmdPopReader(s->program);
        ASSERT_EQ(s->program->parseError, 0);
    }
    // Reads and runs the lines as the console's input; the lines added meanwhile.
    std::vector<std::string> runScript(const std::vector<const char *> &lines, bool echo = true) {
        const cslOutputLine *before = s->screens[0].newest;
        cmdReadContext *r = cmdMemoryReader(s->program, "main.vdr", lines.data(), lines.size());
        EXPECT_NE(r, nullptr);
        if (r == nullptr) return {};
        if (!echo) r->echo = cmdEchoOptions{};
        cmdPushReader(s->program, r);
        cmdRunCommands(s->program);
        cmdPopReader(s->program);
        if (echo) return zt::linesAfter(s, before);
        std::vector<std::string> shown;  // the echoes are there, hidden
        for (const cslOutputLine *l = before != nullptr ? before->next : s->screens[0].oldest; l != nullptr;
             l = l->next)
            if (l->rows > 0) shown.emplace_back(cslLineText(l));
        return shown;
    }
    std::string value(const char *expression) {
        char *text = cslEvaluateExpression(s->program, expression, -1, 0, 0);
        if (text == nullptr) return "<error>";
        std::string out = text;
        CSFreeMem(text);
        return out;
    }
    // The lines added by a command line.
    std::vector<std::string> run(const char *command) {
        const cslOutputLine *before = s->screens[0].newest;
        cslIssueLocalCommand(s, command);
        return zt::linesAfter(s, before);
    }

    zt::TempDir dir;
};

// Local commands and wait echo as MQSC commands do, by the input's echo switches: with input echo off
// (a start-up script) and with cmds(no) only what they answer is shown.
TEST_F(ConsoleCommandsTest, LocalCommandsAndWaitFollowTheEchoSwitches) {
    auto shown = [this](std::vector<const char *> lines, bool inputEcho) {
        const cslOutputLine *before = s->screens[0].newest;
        cmdReadContext *r = cmdMemoryReader(s->program, "main.vdr", lines.data(), lines.size());
        if (r == nullptr) return std::vector<std::string>{};
        r->echo.input = inputEcho ? 1 : 0;
        cmdPushReader(s->program, r);
        cmdRunCommands(s->program);
        cmdPopReader(s->program);
        std::vector<std::string> out;
        for (const cslOutputLine *l = before != nullptr ? before->next : s->screens[0].oldest; l != nullptr;
             l = l->next)
            if (l->rows > 0) out.emplace_back(cslLineText(l));
        return out;
    };
    using V = std::vector<std::string>;
    const V summary{"MQSC Command summary - Issued: 0  Success: 0  Fail: 0"};
    EXPECT_EQ(shown({"=syn(x) cmd(DISPLAY QMGR)", "=show summary", "wait(0)"}, false), summary);
    EXPECT_EQ(shown({"=echo cmds(no)", "=show summary", "wait(0)"}, true), summary);
}

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

using V = std::vector<std::string>;

TEST_F(ConsoleCommandsTest, ImportRunsTheFileWhereTheLineStandsJoinedToTheImportersDirectory) {
    dir.write("a.vdr", "@x = 'a'\n=import file(b.vdr)\n@y = @x\n");
    dir.write("b.vdr", "@x = 'b'\n");
    dir.write("p.vdr", "@p1 = @_Parm[1]\n@p3 = @_Parm[3]\n");
    const std::string a = "=import file(" + dir.file("a.vdr") + ")";
    const std::string p = "=import file(" + dir.file("p.vdr") + ") parms(a,,b)";
    runScript({a.c_str(), p.c_str()});
    EXPECT_EQ(value("@y"), "b");
    EXPECT_EQ(value("@p1"), "a");
    EXPECT_EQ(value("@p3"), "b");
    // A value put into parms() is one parameter, its comma data (it bound two).
    dir.write("q.vdr", "@q1 = @_Parm[1]\n@q2 = @_Parm[2]\n");
    const std::string q = "=import file(" + dir.file("q.vdr") + ") parms(<@v>,z)";
    runScript({"@v = 'a,b'", q.c_str()});
    EXPECT_EQ(value("@q1"), "a,b");
    EXPECT_EQ(value("@q2"), "z");
}

TEST_F(ConsoleCommandsTest, ImportRecursionIsFoundByTheFileNotItsName) {
    dir.write("a.vdr", "=import file(b.vdr)\n");
    dir.write("b.vdr", "* b\n=import file(./a.vdr)\n");
    const std::string a = "=import file(" + dir.file("a.vdr") + ")";
    const V shown = runScript({a.c_str()});
    auto imports = [](const std::string &source, const std::string &file, int line) {
        std::string text;
        text.append("'").append(source).append("' imports file '").append(file).append("' on line ");
        return text.append(std::to_string(line));
    };
    const V expected{"Import file recursion detected", imports("main.vdr", dir.file("a.vdr"), 1),
                     imports(dir.file("a.vdr"), dir.file("b.vdr"), 1),
                     imports(dir.file("b.vdr"), "./a.vdr", 2)};
    ASSERT_GE(shown.size(), expected.size()) << ::testing::PrintToString(shown);
    auto at = std::search(shown.begin(), shown.end(), expected.begin(), expected.end());
    ASSERT_NE(at, shown.end()) << ::testing::PrintToString(shown);
    const cslOutputLine *l = s->screens[0].newest;
    while (l != nullptr && std::string(cslLineText(l)) != expected.back()) l = l->previous;
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->kind, CSL_LINE_ERROR);
}

TEST_F(ConsoleCommandsTest, ImportRefusals) {
    EXPECT_EQ(run("=import quiet"), (V{"=import quiet", "Please specify a file name."}));
    const std::string missing = dir.file("none.vdr");
    std::string line = "=import file(";
    line.append(missing).append(")");
    std::string refusal = "Can not open file '";
    refusal.append(missing).append("'");
    EXPECT_EQ(run(line.c_str()).back(), refusal);
    EXPECT_EQ(s->stopFlag.load(), 0);
    runScript({"func f()", "=import file(@x)", "endfunc", "f()"});
    EXPECT_EQ(s->stopFlag.load(), 1);
    bool refused = false;
    for (const cslOutputLine *l = s->screens[0].oldest; l != nullptr; l = l->next)
        refused =
            refused || std::string(cslLineText(l)) == "You can not call =import from within a function.";
    EXPECT_TRUE(refused);
}

TEST_F(ConsoleCommandsTest, ALoopBodyImportsOnceAndAParseErrorRemovesTheBlock) {
    dir.write("c.vdr", "@count = @count + 1\n");
    const std::string c = "  =import file(" + dir.file("c.vdr") + ")";
    runScript({"@count = 0", "@n = 0", "while (@n < 3)", c.c_str(), "  @n = @n + 1", "endwhile"});
    EXPECT_EQ(value("@count"), "3");  // a block read again each pass would run more often
    // With an '@' in it the line imports when it first runs, not when it is read.
    const std::string late = c + " parms(@n)";
    runScript({"@count = 0", "@n = 0", "while (@n < 3)", late.c_str(), "  @n = @n + 1", "endwhile"});
    EXPECT_EQ(value("@count"), "3");

    dir.write("bad.vdr", "@z = 1\nendwhile\n");
    const std::string bad = "=import file(" + dir.file("bad.vdr") + ")";
    const V shown = runScript({bad.c_str()});
    EXPECT_NE(std::find(shown.begin(), shown.end(), "'endwhile' not expected outside of a while loop"),
              shown.end())
        << ::testing::PrintToString(shown);
    EXPECT_NE(value("@z"), "1");

    // Read without running: what a failed file gave is gone, markers too.
    auto records = [this] {
        V texts;
        for (const cmdCommand *r = s->program->head; r != nullptr; r = r->next)
            if (r->type != CMD_MESSAGE) texts.emplace_back(r->type == CMD_IMPORT ? "<import>" : r->text);
        return texts;
    };
    const V before = records();
    cslIssueCommand(s, bad.c_str());
    EXPECT_EQ(records(), before);
    cslIssueCommand(s, c.c_str());
    const V after = records();
    EXPECT_EQ(std::count(after.begin(), after.end(), "<import>"), 1) << ::testing::PrintToString(after);
}

}  // namespace

namespace {

// The script's parser refuses "name(" of an unknown function, so a synonym with arguments comes to
// the dispatcher directly (as the console's own lines do); its text runs as queued records.
TEST_F(ConsoleCommandsTest, ASynonymsArgumentsAreSubstitutedIntoItsCommand) {
    ASSERT_EQ(cslSetSynonym(s, "s1", "DISPLAY QLOCAL(<@_Parm[1]>)"), 1);
    const cslOutputLine *before = s->screens[0].newest;
    cslIssueCommand(s, "s1(Q");
    cslIssueCommand(s, "s1(Q1)");
    for (cmdCommand *c = s->program->head; c != nullptr && s->program->current == nullptr; c = c->next)
        if (c->type == CMD_QUEUED || c->type == CMD_COMMAND) s->program->current = c;
    ASSERT_NE(s->program->current, nullptr);
    cslScript.runCommands(s);
    EXPECT_EQ(zt::linesAfter(s, before), (V{"Closing bracket not found on synonym command",
                                            "DISPLAY QLOCAL(Q1)", "Not currently connected."}));
}

// Text that a function's call queues runs in that call alone: a call of the same function inside it,
// or a later call, never meets it. (Each call ran its callers' queued statements again: q1 q2 q1 q3
// q2 q1 ..., and recursion through queued text grew without end.)
TEST_F(ConsoleCommandsTest, EachCallRunsOnlyItsOwnQueuedText) {
    const struct {
        std::vector<const char *> lines;
        V shown;
    } cases[] = {
        {{"func h(n)", "  \"print 'q\" + str(@n) + \"'\"", "  if (@n < 4)", "    h(@n + 1)", "  endif",
          "  \"print 'r\" + str(@n) + \"'\"", "endfunc", "h(1)"},
         {"q1", "q2", "q3", "q4", "r4", "r3", "r2", "r1"}},
        {{"func g(n)", "  if (@n < 4)", "    \"g(\" + str(@n + 1) + \")\"", "  endif", "  print 'g', @n",
          "endfunc", "g(1)", "g(3)"},
         {"g 4", "g 3", "g 2", "g 1", "g 4", "g 3"}},
        {{"func p(n)", "  print \"N<@n>\"", "endfunc", "p(1)", "p(2)", "p(3)"}, {"N1", "N2", "N3"}},
    };
    for (const auto &c : cases) EXPECT_EQ(runScript(c.lines, false), c.shown) << c.lines.front();
}

}  // namespace
