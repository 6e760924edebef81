// The debugger at the start-up script's statements: its prompt reads scripted lines, and its texts
// land on the captured standard error. Also what the start-up script makes of text parsed while it
// runs: queued text, a runtime =import and a line typed at the prompt.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hooks_testing.h"

namespace {

using ht::script;

std::vector<std::string> input;
size_t nextLine = 0;

int32_t scriptedLine(char **line, size_t *length) {
    if (nextLine >= input.size()) return 0;
    const std::string &text = input[nextLine++];
    *line = static_cast<char *>(CSGetMem(text.size() + 1));
    std::memcpy(*line, text.c_str(), text.size() + 1);
    *length = text.size();
    return 1;
}

class DebuggerTest : public ht::HookTest {
protected:
    void SetUp() override {
        HookTest::SetUp();
        dbgReset();
        nextLine = 0;
        evSetLineSource(scriptedLine);
    }
    void TearDown() override {
        dbgReset();
        HookTest::TearDown();
    }
    // Loads the script in debug mode with these lines at the prompt.
    int debug(const std::string &main, std::vector<std::string> lines) {
        input = std::move(lines);
        nextLine = 0;
        evRunState.debugMode.store(1);
        return load(script(main));
    }
    // load or debug within a time bound: a run still going after it is stopped (as the stop key
    // does) and the overrun reported, so a spinning run fails instead of hanging.
    template <typename Load>
    int bounded(Load load) {
        std::mutex m;
        std::condition_variable done;
        bool finished = false;
        std::atomic<bool> overran{false};
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> lock(m);
            if (done.wait_for(lock, std::chrono::seconds(20), [&] { return finished; })) return;
            overran = true;
            if (cslSession *s = gSession.load()) s->stopFlag.store(1);
        });
        int rc = load();
        {
            std::lock_guard<std::mutex> lock(m);
            finished = true;
        }
        done.notify_one();
        watchdog.join();
        EXPECT_FALSE(overran.load()) << "the run did not end by itself";
        return rc;
    }
    size_t count(const std::string &text, bool out = false) const {
        size_t n = 0;
        const std::string err = out ? console.out() : console.err();
        for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) n++;
        return n;
    }
};

const char kFive[] = "@a = 1\n@b = 2\n@c = 3\n@d = 4\n@e = 5\n";

TEST_F(DebuggerTest, RefusalsAndTheBreakpointListAtThePrompt) {
    ASSERT_EQ(debug(kFive, {"bp 999", "bl", "bp *", "runout", "help zz", "frobnicate", "bp 2; bp 2", "run"}),
              1);
    const std::string err = console.err();
    EXPECT_NE(err.find("DBG>"), std::string::npos);
    EXPECT_NE(err.find("Warning - breakpoint set on non-existent line.\n"), std::string::npos);
    EXPECT_NE(err.find("Breakpoints for which there is no current line:\n  Line   999 of the main program\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Asterisk(*) is not supported by 'bp' command.\n"), std::string::npos);
    EXPECT_NE(err.find("Not currently inside loop\n"), std::string::npos);
    EXPECT_NE(err.find("Unknown debugger command 'zz'.\n"), std::string::npos);
    EXPECT_NE(err.find("Breakpoint on line 2 already set.\n"), std::string::npos);
    EXPECT_NE(err.find("Breakpoint at line 2 reached\n"), std::string::npos);
    EXPECT_NE(console.out().find("Unrecognised Debug Command"), std::string::npos);
}

TEST_F(DebuggerTest, TheEleventhBreakpointIsRefused) {
    std::vector<std::string> lines;
    for (int i = 1; i <= 11; i++) lines.push_back("bp " + std::to_string(100 + i));
    lines.push_back("bc *");
    lines.push_back("run");
    ASSERT_EQ(debug(kFive, lines), 1);
    EXPECT_EQ(count("Maximum limit of 10 breakpoints already set.\n"), 1u);
    EXPECT_EQ(count("Warning - breakpoint set on non-existent line.\n"), 10u);
    EXPECT_EQ(evRunState.debugMode.load(), 0);  // run without breakpoints
    EXPECT_EQ(value("@e"), "5");
}

TEST_F(DebuggerTest, AnEmptyLineRunsOneStatement) {
    ASSERT_EQ(debug(kFive, {"", "eval @a + 10", "run"}), 1);
    const std::string err = console.err();
    // The first stop, one step, the second stop: @a is set, @b not yet.
    const size_t second = err.find("@b = 2\n");
    ASSERT_NE(second, std::string::npos) << err;
    EXPECT_LT(err.find("@a = 1\n"), second);
    EXPECT_NE(err.find("Result:'11'\n", second), std::string::npos) << err;
    EXPECT_EQ(count("DBG>"), 3u);
    EXPECT_EQ(value("@e"), "5");
}

TEST_F(DebuggerTest, DebugModeTracesAssignmentsUntilRun) {
    ASSERT_EQ(debug(kFive, {"", "run"}), 1);
    const std::string err = console.err();
    EXPECT_NE(err.find("     AFTER : @a = 1\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("AFTER : @b"), std::string::npos) << err;  // run left debug mode
}

// A runtime error at the prompt prints its message and ends there: the error function set by the
// script is not run for it later.
TEST_F(DebuggerTest, ARuntimeErrorAtThePromptPrintsItsMessageOnly) {
    const char *main =
        "func sq(x)\n  return @x * @x\nendfunc\nfunc onerr()\n  @errs = @errs + 1\nendfunc\n"
        "@errs = 0\n_error_func = 'onerr'\n@a = 1\n@b = 2\n";
    ASSERT_EQ(debug(main, {"", "", "print sq(1,2)", "run"}), 1);
    EXPECT_EQ(count("Function 'sq' takes only 1 parameter.", true), 1u) << console.out();
    EXPECT_EQ(console.out().find("Runtime error:"), std::string::npos) << console.out();
    EXPECT_EQ(value("@errs"), "0");
    EXPECT_EQ(value("@b"), "2");
}

// Text queued into a function body is numbered with the function's statements, in order, and a
// breakpoint moves with its statement.
TEST_F(DebuggerTest, QueuedTextInAFunctionTakesItsNumbers) {
    const char *main = "func f()\n  \"@q = 1\"\n  @r = 2\nendfunc\nf()\n";
    ASSERT_EQ(debug(main, {"bp f 3", "run", "list func f *", "bc *", "run"}), 1);
    const std::string err = console.err();
    const size_t stop = err.find("Breakpoint at line 4 of function 'f'\n");
    ASSERT_NE(stop, std::string::npos) << err;
    // The listing: the queued statement is 3, between the one that queued it and @r = 2.
    std::vector<std::string> numbered;
    for (size_t at = err.find("DBG>", stop); at != std::string::npos && at < err.size();) {
        const size_t end = err.find('\n', at);
        const std::string line = err.substr(at, end - at);
        if (line.find("FNC:(f") != std::string::npos) numbered.push_back(line.substr(line.find(')') + 1));
        at = end == std::string::npos ? end : end + 1;
    }
    const std::vector<std::string> expected = {"    1   func f()", "    2     \"@q = 1\"", "    3  @q = 1",
                                               "    4!>   @r = 2", "    5   endfunc"};
    EXPECT_EQ(numbered, expected) << err;
}

TEST_F(DebuggerTest, WhereListsTheCallsAndAFrameIsSelectedForEval) {
    const char *main = "func g(p)\n  @q = @p\nendfunc\n@v = 1\ng(5)\n";
    ASSERT_EQ(debug(main, {"", "", "where", "eval @p", "sf 0", "eval @v", "sf 2", "run"}), 1);
    const std::string err = console.err();
    EXPECT_NE(err.find("[ 0] "), std::string::npos) << err;
    EXPECT_NE(err.find("[ 1]+"), std::string::npos) << err;
    EXPECT_NE(err.find("Result:'5'\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Result:'1'\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Please enter a stack frame between 0 and 1.\n"), std::string::npos) << err;
}

TEST_F(DebuggerTest, EndOfInputStopsTheScriptAndLeavesDebugMode) {
    EXPECT_EQ(debug(kFive, {""}), 1);
    EXPECT_NE(console.err().find("End of debug input\n"), std::string::npos);
    EXPECT_EQ(evRunState.debugMode.load(), 0);
    EXPECT_EQ(value("@a"), "1");
    EXPECT_EQ(value("@b"), "0");  // never set: the stop came before its statement
}

TEST_F(DebuggerTest, RenumberingMovesBreakpointsWithTheirStatements) {
    evRunState.debugMode.store(0);
    ASSERT_EQ(load(script(kFive)), 1);
    cmdProgram *p = program();
    // Records of the main program stay while debugging; here they went, so number fresh ones.
    std::vector<cmdCommand *> statements;
    input = {};
    cmdQueueText(p, 0, 0, "@x = 1");
    cmdQueueText(p, 0, 0, "@y = 2");
    cmdQueueText(p, 0, 0, "@z = 3");
    for (cmdCommand *c = p->head; c != nullptr; c = c->next)
        if (c->type == CMD_ASSIGN) statements.push_back(c);
    ASSERT_EQ(statements.size(), 3u);
    const uint32_t first = statements[0]->number;
    statements[1]->number = first + 10;
    statements[2]->number = first + 11;
    dbgCommand(p, ("bp " + std::to_string(first + 11)).c_str());
    dbgResolveBreakpoints(p, statements[0], nullptr);
    EXPECT_EQ(statements[2]->number, first + 2);
    EXPECT_EQ(p->statementCounter, first + 3);
    console.clear();
    dbgCommand(p, "bl");
    EXPECT_NE(console.err().find("!"), std::string::npos) << console.err();
    EXPECT_NE(console.err().find("@z = 3"), std::string::npos) << console.err();
    EXPECT_EQ(console.err().find("no current line"), std::string::npos) << console.err();
}

// A parse error in text parsed while the script runs refuses that text alone: the loop, the
// function and the rest of the script go on. Each case counts its passes in @n.
TEST_F(DebuggerTest, AParseErrorWhileRunningRefusesThatTextAlone) {
    dir.write("bad.vdr", "@x = (1\n");
    struct Case {
        const char *name;
        std::string main;
        std::vector<std::string> prompt;  // debug mode with these lines when not empty
    };
    const std::string loop = "@n = 0\n@i = 0\nwhile (@i < 3)\n";
    const Case cases[] = {
        {"queued text in a loop",
         loop + "  \"@x = (1\"\n  @n = @n + 1\n  @i = @i + 1\nendwhile\n@done = 1\n",
         {}},
        {"runtime import in a loop",
         loop + "  @f = 'bad.vdr'\n  =import file(<@f>)\n  @n = @n + 1\n  @i = @i + 1\nendwhile\n@done = 1\n",
         {}},
        {"prompt typo in a function called from a loop",
         "func f()\n  @n = @n + 1\nendfunc\n" + loop + "  f()\n  @i = @i + 1\nendwhile\n@done = 1\n",
         {"bp f 1", "run", "@zz = )", "bc *", "run"}},
        {"queued text in a function called three times",
         "func f(p)\n  \"@x = (1\"\n  @n = @n + 1\nendfunc\n@n = 0\nf(1)\nf(2)\nf(3)\n@i = 3\n@done = 1\n",
         {}},
        {"prompt typo at top level", "@n = 1\n@i = 1\n@n = 3\n@i = 3\n@done = 1\n", {"@zz = )", "run"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        console.clear();
        const int rc = bounded(
            [&] { return c.prompt.empty() ? load(script(c.main)) : debug(script(c.main), c.prompt); });
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(value("@n"), "3");
        EXPECT_EQ(value("@i"), "3");
        EXPECT_EQ(value("@done"), "1");
        const std::string all = console.out() + console.err();
        EXPECT_NE(all.find(" at position "), std::string::npos) << all;
        // The typo's message alone: no line of the script is shown with it.
        if (!c.prompt.empty()) {
            EXPECT_EQ(console.out().find("@i = 1"), std::string::npos) << console.out();
        }
        cslEndSession();  // its ending hook run here, not at the next case's prompt
        dbgReset();
    }
}

}  // namespace
