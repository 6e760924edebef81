// The run loop: loops, conditions, calls with frames, goto, leave, continue, the error function,
// =import blocks, foreach over a response, and the freeing of what the main program has run.
#include <pthread.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "run_testing.h"

namespace {

using RunTest = st::RunTest;

TEST_F(RunTest, WhileCountsAndNestedLoopsKeepTheirOwnIndex) {
    EXPECT_EQ(run({"@n = 0", "while (0.9)", "  @n = @n + 1", "endwhile", "@zero = _numWhile",  //
                   "@i = 0", "while (@i < 3)", "  @i = @i + 1", "  @outer = _idxWhile", "  @j = 0",
                   "  while (@j < 2)", "    @j = @j + 1", "  endwhile", "  @back = _idxWhile", "endwhile"}),
              1);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(value("@n"), "0");
    EXPECT_EQ(value("@zero"), "0");
    EXPECT_EQ(value("_numWhile"), "3");
    EXPECT_EQ(value("@outer"), "3");
    EXPECT_EQ(value("@back"), "3");
}

TEST_F(RunTest, ForitemSplitsAtTopLevelCommas) {
    EXPECT_EQ(run({"@t = \"a,'b,c',(d,e), ,\"", "@all = ''", "foritem (@t)",
                   "  @all = @all + '[' + _item + ']'", "  @last = _idxItem", "endfor"}),
              1);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(value("@all"), "[a]['b,c'][(d,e)]");
    EXPECT_EQ(value("_numItem"), "3");
    EXPECT_EQ(value("_item"), "");
}

TEST_F(RunTest, GotoBreakAndContinue) {
    EXPECT_EQ(run({"@i = 0",
                   "@k = 0",
                   "@after = 0",
                   "func f()",
                   "  @i = 0",
                   "  while (1)",
                   "    @i = @i + 1",
                   "    foritem ('x,y')",
                   "      if (@i = 2)",
                   "        goto out",
                   "      endif",
                   "    endfor",
                   "  endwhile",
                   "  @never = 1",
                   "  label out",
                   "  @after = _idxWhile",
                   "  while (1)",
                   "    break",
                   "  endwhile",
                   "  @k = 0",
                   "  while (@k < 3)",
                   "    @k = @k + 1",
                   "    continue",
                   "    @never = 2",
                   "  endwhile",
                   "endfunc",
                   "f()",
                   "continue",
                   "@next = 1"}),
              1);
    EXPECT_EQ(errors(), "'continue' issued while not in loop");
    EXPECT_EQ(value("@i"), "2");
    EXPECT_EQ(value("@k"), "3");
    EXPECT_EQ(value("@after"), "0");  // the label is outside every loop
    EXPECT_FALSE(has("@never"));
    EXPECT_EQ(value("@next"), "1");
}

TEST_F(RunTest, CallsBindArgumentsAndReturnValues) {
    EXPECT_EQ(run({"@gotA = 0", "@isSet = 2", "func f(a,b)", "  @gotA = @a", "  @isSet = 1", "  @isSet = @b",
                   "  return @a * 10", "  @never = 1", "endfunc", "@r = f(4)", "func g(a,b)", "  return 1",
                   "endfunc", "@x = g(1,2,3)", "@y = 1"}),
              0);
    EXPECT_EQ(value("@gotA"), "4");
    EXPECT_EQ(value("@isSet"), "0");  // the missing argument is declared but has no value
    EXPECT_EQ(value("@r"), "40");
    EXPECT_FALSE(has("@never"));
    EXPECT_NE(errors().find("Error Message: Function 'g' only takes 2 parameters."), std::string::npos)
        << errors();
    EXPECT_EQ(value("@x"), "0");
    EXPECT_FALSE(has("@y"));  // the error stopped the run
}

TEST_F(RunTest, TheErrorFunctionRunsAndTheScriptGoesOn) {
    EXPECT_EQ(run({"func onError()", "  @handled = @handled + 1", "endfunc", "@handled = 0",
                   "_error_func = 'onError'", "_time = 1", "@after = 1", "_error_func = ''", "_time = 2",
                   "@stopped = 0"}),
              0);
    EXPECT_EQ(value("@handled"), "1");
    EXPECT_EQ(value("@after"), "1");
    EXPECT_FALSE(has("@stopped"));
}

TEST_F(RunTest, LeaveEndsOnlyItsImportBlockAndParametersBind) {
    static std::vector<std::string> imported = {"@inside = @_Parm[2]", "leave", "@notReached = 1"};
    static std::vector<const char *> pointers;
    pointers.clear();
    for (const std::string &line : imported) pointers.push_back(line.c_str());
    program_->localCommand = [](cmdProgram *program, const char *) {
        cmdReadContext *r = cmdMemoryReader(program, "lib.vdr", pointers.data(), pointers.size());
        return cmdParseImport(program, r, "a, 'b c',, d") != nullptr ? 1 : 0;
    };
    EXPECT_EQ(run({"@before = 1", "=import file(lib.vdr)", "@after = @_Parm[4]"}), 1);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(value("@inside"), "b c");
    EXPECT_FALSE(has("@notReached"));
    EXPECT_EQ(value("@after"), "d");
    EXPECT_EQ(value("@_Parm[3]"), "0");  // an empty item counts but holds nothing
    EXPECT_EQ(cmdBindParms(program_, "a b"), 0);
    EXPECT_EQ(texts(128).back(), "Expected ',' between parameters");
}

TEST_F(RunTest, CommandLinesGoToTheDispatcherAndQueuedTextRunsNext) {
    EXPECT_EQ(run({"DISPLAY QMGR", "@n = '2'", "\"@m = \" + @n", "@m2 = @m * 2"}), 1);
    EXPECT_EQ(commands_, std::vector<std::string>{"DISPLAY QMGR"});
    EXPECT_EQ(value("@m2"), "4");
}

TEST_F(RunTest, MainProgramRecordsAreFreedOnceRun) {
    auto blocksAfter = [this](int statements) {
        std::vector<std::string> lines = {"@i = 0"};
        for (int i = 0; i < statements; ++i) lines.push_back("@i = @i + 1");
        run(lines);
        int records = 0;
        for (cmdCommand *c = program_->head; c != nullptr; c = c->next) ++records;
        EXPECT_EQ(records, 0);
        return CSMemCounters().blocks;
    };
    int64_t few = blocksAfter(5);
    int64_t many = blocksAfter(500);
    EXPECT_EQ(many, few);
    EXPECT_EQ(value("@i"), "500");
    // While the debugger is active nothing is freed, so the source can be listed.
    program_->run->debuggerActive = 1;
    run({"@j = 1", "@j = 2"});
    EXPECT_NE(program_->head, nullptr);
    program_->run->debuggerActive = 0;
}

// ---------------------------------------------------------------------------------------------
// foreach over a canned response.

struct Response {
    std::vector<std::unique_ptr<char[]>> storage;
    cslOutputLine *echo = nullptr;
    cslOutputLine *last = nullptr;

    cslOutputLine *add(const char *text, uint32_t flags, uint32_t command = 7) {
        size_t n = std::strlen(text);
        storage.emplace_back(new char[sizeof(cslOutputLine) + n + 1]());
        auto *line = reinterpret_cast<cslOutputLine *>(storage.back().get());
        line->command = command;
        line->flags = flags;
        std::memcpy(cslLineText(line), text, n + 1);
        if (last != nullptr) {
            last->next = line;
            line->previous = last;
        }
        last = line;
        if (echo == nullptr) echo = line;
        return line;
    }
};

Response *canned = nullptr;
std::string issued;

cslOutputLine *cannedReply(cmdProgram *, const char *text) {
    issued = text;
    return canned != nullptr ? canned->echo : nullptr;
}

class ForeachTest : public RunTest {
protected:
    void SetUp() override {
        RunTest::SetUp();
        program_->run->issueLoopCommand = cannedReply;
        issued.clear();
        canned = &response_;
    }
    void TearDown() override {
        canned = nullptr;
        RunTest::TearDown();
    }
    void twoQueues() {
        response_.add("DISPLAY QLOCAL(APP.*) CURDEPTH", CSL_CMD_ENDED);
        const uint32_t first = CSL_LINE_OF_OBJECT | CSL_LINE_FIRST_OF_OBJECT;
        response_.add("AMQ8409I: Display Queue details.", first);
        response_.add("   QUEUE(APP.A)   TYPE(QLOCAL)", CSL_LINE_OF_OBJECT);
        response_.add("   CURDEPTH(5)", CSL_LINE_OF_OBJECT);
        response_.add("AMQ8409I: Display Queue details.", first);
        response_.add("   QUEUE(APP.B)   TYPE(QLOCAL)   CURDEPTH(12)", CSL_LINE_OF_OBJECT);
        response_.add("Another command's line", 0, 8);
    }
    Response response_;
};

TEST_F(ForeachTest, RunsOncePerObjectOfAFinishedResponse) {
    twoQueues();
    EXPECT_EQ(run({"@q = 'QLOCAL'", "@sum = 0", "@names = ''", "foreach (DISPLAY <@q>(APP.*) CURDEPTH)",
                   "  @sum = @sum + CURDEPTH", "  @names = @names + QUEUE + ' '", "  @resp = _lastresp",
                   "  @idx = _idxEach", "endfor"}),
              1);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(issued, "DISPLAY QLOCAL(APP.*) CURDEPTH");
    EXPECT_EQ(value("@sum"), "17");
    EXPECT_EQ(value("@names"), "APP.A APP.B ");
    EXPECT_EQ(value("@resp"), "QUEUE(APP.B) TYPE(QLOCAL) CURDEPTH(12)");
    EXPECT_EQ(value("_numEach"), "2");
    EXPECT_EQ(value("@idx"), "2");
    EXPECT_EQ(response_.echo->flags & CSL_SHOW_SCRIPT_HELD, 0u);  // released again
    // Outside the loop a response name reads empty.
    EXPECT_EQ(value("CURDEPTH"), "");
}

TEST_F(ForeachTest, OnlyDisplayAndResetQstatsAreLoopedOver) {
    twoQueues();
    EXPECT_EQ(run({"@n = 0", "foreach (DEFINE QLOCAL(X))", "  @n = @n + 1", "endfor", "foreach ( )", "endfor",
                   "foreach (\"reset \" + \"qstats(APP.A)\")", "  @n = @n + 1", "endfor"}),
              1);
    EXPECT_EQ(errors(),
              "foreach() statement expects DISPLAY or RESET QSTATS command. Command 'DEFINE' received\n"
              "foreach() statement expects DISPLAY or RESET QSTATS command.");
    EXPECT_EQ(issued, "reset qstats(APP.A)");
    EXPECT_EQ(value("@n"), "2");
}

TEST_F(ForeachTest, NoReplyOrAnUnfinishedResponseRunsTheBodyNoTimes) {
    canned = nullptr;
    EXPECT_EQ(run({"@n = 0", "foreach (DISPLAY QMGR)", "  @n = @n + 1", "endfor"}), 1);
    EXPECT_EQ(value("_numEach"), "0");
    twoQueues();
    response_.echo->flags &= ~CSL_CMD_ENDED;
    canned = &response_;
    EXPECT_EQ(run({"foreach (DISPLAY QLOCAL(*))", "  @n = @n + 1", "endfor"}), 1);
    EXPECT_EQ(value("@n"), "0");
}

// ---------------------------------------------------------------------------------------------
// Runs that must end: nesting, redefinition while running, queued text inside recursion.

TEST_F(RunTest, DeepRecursionStopsAtTheNestingLimit) {
    EXPECT_EQ(run({"func r(n)", "  @deepest = @n", "  r(@n + 1)", "endfunc", "r(1)", "@after = 1"}), 0);
    EXPECT_NE(errors().find("Error Message: Maximum script nesting depth of 1000 reached"),
              std::string::npos);
    EXPECT_LE(std::stoi(value("@deepest")), 1000);
    EXPECT_EQ(program_->run->nesting, 0);
    EXPECT_EQ(program_->run->frame, &program_->run->outermost);
    // Through expressions, with the error function failing in itself.
    out_.clear();
    program_->run->continueAfterError = 1;
    EXPECT_EQ(run({"func v(n)", "  return v(@n + 1)", "endfunc", "func bad()", "  _time = 1", "endfunc",
                   "_error_func = 'bad'", "@x = v(1)", "@after = 2"}),
              1);
    EXPECT_EQ(value("@after"), "2");
    EXPECT_EQ(program_->run->nesting, 0);
}

TEST_F(RunTest, DeepRecursionStopsEarlierOnASmallStack) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 1024 * 1024), 0);
    pthread_t thread;
    auto body = [](void *argument) -> void * {
        auto *test = static_cast<st::RunTest *>(argument);
        ExpValue result{};
        cmdFUNCTION *f = cmdFindFunction(test->program_, "r", 1);
        cmdCallFunctionArgs(test->program_, f, 0, nullptr, &result);
        expReleaseValue(&result);
        return nullptr;
    };
    run({"func r()", "  @depth = @depth + 1", "  r()", "endfunc", "@depth = 0"});
    ASSERT_EQ(pthread_create(&thread, &attributes, body, this), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_NE(errors().find("Maximum script nesting depth of 1000 reached"), std::string::npos);
    EXPECT_LT(std::stoi(value("@depth")), 1000);
    EXPECT_EQ(program_->run->nesting, 0);
}

TEST_F(RunTest, AFunctionRedefinedWhileItRunsFinishesItsOldBody) {
    EXPECT_EQ(run({"@calls = 0", "@oldTail = 0", "@new = 0", "func f()", "  @calls = @calls + 1",
                   "  \"func f();@new = 1;endfunc\"", "  @oldTail = 1", "endfunc", "f()", "f()"}),
              1);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(value("@oldTail"), "1");
    EXPECT_EQ(value("@calls"), "1");
    EXPECT_EQ(value("@new"), "1");
    EXPECT_EQ(cmdFindFunction(program_, "f", 1)->retired, nullptr);
}

TEST_F(RunTest, QueuedTextSurvivesACallOfTheSameFunctionInsideIt) {
    // The outer calls stand inside their queued blocks while the inner calls start and end, so
    // neither may remove a block, nor run it; each later call starts from the clean body again.
    EXPECT_EQ(
        run({"func f(n)", "  @steps = @steps + 1", "  \"if (@n < 3);f(@n + 1);endif;@steps = @steps + 1\"",
             "  @ends = @ends + 1", "endfunc"}),
        1);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(run({"@steps = 0", "@ends = 0", "f(1)"}), 1);
        EXPECT_EQ(errors(), "");
        EXPECT_EQ(value("@steps") + "/" + value("@ends"), "6/3");
    }
    for (cmdCommand *c = cmdFindFunction(program_, "f", 1)->definition.head; c != nullptr; c = c->next)
        EXPECT_NE(c->type, CMD_QUEUED);
}

}  // namespace
