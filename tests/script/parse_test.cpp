// The reader and parser: statement numbers, classification, continuation, blocks, functions and
// their expression rows, gotos, and the line and nesting limits.

#include <string>
#include <vector>

#include "engine/engine.h"
#include "script_testing.h"
#include "testing/testing.h"

namespace {

using st::ScriptTest;
using Types = std::vector<uint32_t>;

cmdFUNCTION *function(cmdProgram *program, const char *name) {
    return cmdFindFunction(program, name, -1);
}

std::vector<uint32_t> numbers(const cmdCommand *head) {
    std::vector<uint32_t> n;
    for (const cmdCommand *c = head; c != nullptr; c = c->next) n.push_back(c->number);
    return n;
}

TEST_F(ScriptTest, NumbersAdvanceOnlyForStatementsAndFunctionsCountFromOne) {
    parse({"* heading", "", "DISPLAY QMGR", "a; b", "var x", "* about f", "", "func f()", "  @y = 1",
           "endfunc", "print x"});
    cmdQueueString(program_, "e; h");
    ASSERT_EQ(errors(), "");
    // Comment, empty line, input line and var keep the number; the queued block's bounds too.
    EXPECT_EQ(types(), (Types{13, 3, 1, 4, 2, 4, 4, 1, 30, 3, 1, 1, 4, 16, 4, 4, 17}));
    EXPECT_EQ(numbers(program_->head),
              (std::vector<uint32_t>{1, 1, 1, 1, 2, 2, 3, 4, 4, 4, 4, 4, 4, 5, 5, 6, 5}));
    EXPECT_EQ(*program_->commandNumber, 3u);  // every empty line advances the console's number
    cmdFUNCTION *f = function(program_, "f");
    ASSERT_NE(f, nullptr);
    // The heading moved in, numbered 1; the function's own records count from 1.
    EXPECT_EQ(types(f->definition.head), (Types{13, 25, 1, 22, 1, 26}));
    EXPECT_EQ(numbers(f->definition.head), (std::vector<uint32_t>{1, 1, 2, 2, 3, 3}));
    for (const cmdCommand *c = f->definition.head; c != nullptr; c = c->next) EXPECT_EQ(c->owner, f);
}

struct Case {
    std::vector<std::string> lines;
    std::string error;  // empty: none
    Types types;        // empty: not checked
};

class Classify : public ScriptTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Classify, GivesItsTypesOrItsMessage) {
    const Case &c = GetParam();
    parse(c.lines);
    EXPECT_EQ(errors(), c.error);
    if (!c.types.empty()) {
        EXPECT_EQ(types(), c.types);
    }
    if (!c.error.empty()) {
        EXPECT_TRUE(program_->parseError);
    }
}

const std::string longName(32, 'f');
// "@" and 32 letters: one more than a name may have.
std::string longVariable() {
    std::string name(33, 'v');
    name[0] = '@';
    return name;
}
std::string text(std::initializer_list<std::string> pieces) {
    std::string joined;
    for (const std::string &piece : pieces) joined.append(piece);
    return joined;
}

INSTANTIATE_TEST_SUITE_P(
    Statements, Classify,
    ::testing::Values(
        Case{{"* while (1)"}, "", {13}}, Case{{"printer x"}, "", {1, 4}}, Case{{"@a[1] = 2"}, "", {1, 22}},
        Case{{"_stream = 'x'"}, "", {1, 22}}, Case{{"a = 1"}, "", {1, 4}}, Case{{"@a == 1"}, "", {1, 21}},
        Case{{"@a[1 = 2"}, "Missing ']' on expression", {}},
        Case{{"foo(1)"}, "Unrecognised function 'foo' used.", {}},
        Case{{"if (1)", "endif DISPLAY QMGR"}, "", {1, 9, 1, 10, 4}},
        Case{{"while (1) x", "endwhile"}, "Unexpected token 'x' found.", {}},
        Case{{"while (1)", "break 2", "endwhile"}, "Unexpected token '2' found.", {}},
        Case{{"endwhile"}, "'endwhile' not expected outside of a while loop", {}},
        Case{{"endif"}, "'endif' not expected outside of an if statement", {}},
        Case{{"endfor"}, "'endfor' not expected outside of a for loop", {}},
        Case{{"endfunc"}, "'endfunc' not expected outside of a function", {}},
        Case{{"else"}, "'else' not expected outside of an if statement", {}},
        Case{{"break"}, "'break' issued while not in loop", {}},
        Case{{"return 1"}, "Return statements can only be used inside functions.", {}},
        Case{{"func f()", "leave", "endfunc"},
             "You can not use 'leave' from within a function, please use 'return'.",
             {}},
        Case{{"while (1)"}, "'endwhile' not found before end of file", {}},
        Case{{"if (1)"}, "'endif' not found before end of file", {}},
        Case{{"foreach (DIS Q(*))"}, "'endfor' not found before end of file", {}},
        Case{{"foritem (a,b)"}, "'endfor' not found before end of file", {}},
        Case{{"func f()"}, "'endfunc' not found before end of file", {}},
        Case{{"foreach DIS Q(*)"}, "Expected '(' to follow foreach statement", {}},
        Case{{"foritem (a,b"}, "Closing bracket missing from foritem statement", {}},
        Case{{"if 1"}, "Expected '(' after 'if'", {}}, Case{{"while (1"}, "')' missing after 'while'", {}},
        Case{{"if (1)", "while (1)", "else"}, "Found 'else' where 'endwhile' was expected", {}},
        Case{{text({"func ", longName, "()"}), "endfunc"},
             text({" Function name '", longName, "' is too long. Functions names are limited 31 characters"}),
             {}},
        Case{{"func 1f()", "endfunc"}, "'1f' is not a valid function name", {}},
        Case{{"func f(a b)", "endfunc"}, "Expected ',' after parameter 'a'", {}},
        Case{
            {"func f()", "func g()", "endfunc"}, "You can not define a function within another function", {}},
        Case{{"var"}, "Empty parameter list in var statement.", {}},
        Case{{"var a, 2b"}, "Invalid variable name '2b'.", {}}, Case{{"var a, b"}, "", {1, 30}},
        Case{{"goto L1"}, "Goto statements can only be used inside functions.", {}},
        Case{{"func f()", "label L1 x", "endfunc"}, "Unexpected text 'x' following label.", {}},
        Case{{"func f()", "goto L1", "endfunc"}, "No definiton of label 'L1' found in function 'f'.", {}},
        Case{{"func f()", "goto L1", "label L1", "endfunc"}, "", {}},
        Case{{"func g(a,b)", "endfunc", "g(1,2,3)"}, "Function 'g' only takes 2 parameters.", {}},
        Case{{"func g(a)", "endfunc", "g(1,2)"}, "Function 'g' takes only 1 parameter.", {}},
        Case{{"func g()", "endfunc", "g(1)"}, "Function 'g' does not take any parameters.", {}},
        Case{{"func g(a,b)", "endfunc", "g()"}, "", {1, 1, 27}},
        Case{{"func g(a,b)", "endfunc", "g"},
             "Expected a '(' at start of parameters following 'g' function name.",
             {}},
        // User functions inside expressions take any number of arguments at parse time.
        Case{{"func f()", "endfunc", "@x = f()"}, "", {1, 1, 22}},
        Case{{"func g(a,b)", "endfunc", "@x = g(1)"}, "", {1, 1, 22}},
        Case{{text({longVariable(), " = 1"})},
             text({"Variable name of '", longVariable(), "' is larger than the limit of 31 characters."}),
             {}}));

TEST_F(ScriptTest, CallWithTooManyArgumentsIsSkippedAndFewerPass) {
    parse({"func g(a,b)", "endfunc", "g()", "g(1)", "g(1,2,3)"});
    EXPECT_EQ(errors(), "Function 'g' only takes 2 parameters.");
    std::vector<cmdCommand *> calls;
    for (cmdCommand *c : records()) {
        if (c->type == CMD_CALL) calls.push_back(c);
    }
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0]->arguments, nullptr);
    ASSERT_NE(calls[1]->arguments, nullptr);
    EXPECT_EQ(calls[1]->arguments->next, nullptr);
    EXPECT_TRUE(calls[2]->flags & CMD_F_SKIP);
    EXPECT_EQ(calls[2]->function, cmdFindFunction(program_, "g", -1));
}

TEST_F(ScriptTest, KeywordsIgnoreCaseAndBlocksPairTheirEnds) {
    parse({"WHILE (@i < 3)", "  if (@i)", "  ELSE", "  Endif", "EndWhile"});
    ASSERT_EQ(errors(), "");
    EXPECT_EQ(types(), (Types{1, 5, 1, 9, 1, 11, 1, 10, 1, 7}));
    cmdCommand *loop = last(CMD_WHILE);
    cmdCommand *end = last(CMD_ENDWHILE);
    EXPECT_EQ(loop->partner, end);
    EXPECT_EQ(end->partner, loop);
    EXPECT_EQ(last(CMD_IF)->partner, last(CMD_ELSE));
    EXPECT_EQ(last(CMD_ELSE)->partner, last(CMD_ENDIF));
    EXPECT_EQ(last(CMD_ENDIF)->enclosing, last(CMD_IF));
    EXPECT_EQ(last(CMD_IF)->enclosing, loop);
}

TEST_F(ScriptTest, ErrorMarksEverythingFromItOnSkipped) {
    parse({"DISPLAY QMGR", "endwhile", "DISPLAY QMGR"});
    EXPECT_EQ(errors(), "'endwhile' not expected outside of a while loop");
    // Parsing stops at the error: the third line is never read.
    EXPECT_EQ(types(), (Types{1, 4, 1, 12}));
    for (cmdCommand *c : records()) EXPECT_TRUE(c->flags & CMD_F_SKIP) << c->text;
    EXPECT_EQ(texts(1), (std::vector<std::string>{"endwhile"}));
}

TEST_F(ScriptTest, ContinuationKeepsBlanksAfterMinusAndDropsThemAfterPlus) {
    parse({"@a = 1 -", "   + 2", "@b = 1 +", "   + 2"});
    ASSERT_EQ(errors(), "");
    std::vector<std::string> statements;
    for (cmdCommand *c : records()) {
        if (c->type == CMD_ASSIGN) statements.push_back(c->text);
    }
    EXPECT_EQ(statements, (std::vector<std::string>{"@a = 1    + 2", "@b = 1 + 2"}));
}

TEST_F(ScriptTest, HeadingMovesOnlyWithAtMostOneEmptyLineBelowIt) {
    parse({"* f", "", "func f()", "endfunc", "* g", "", "", "func g()", "endfunc"});
    ASSERT_EQ(errors(), "");
    EXPECT_EQ(types(function(program_, "f")->definition.head), (Types{13, 25, 1, 26}));
    EXPECT_EQ(types(function(program_, "g")->definition.head), (Types{25, 1, 26}));
    EXPECT_EQ(types(), (Types{3, 1, 13, 3, 3, 1}));
}

TEST_F(ScriptTest, FailedRedefinitionKeepsTheOldBodyAndTheRow) {
    parse({"func f(a)", "  f(1)", "endfunc"});
    ASSERT_EQ(errors(), "");
    cmdFUNCTION *f = function(program_, "f");
    const ExpOperator *row = cmdFindFunctionRow(program_, "f", 1);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->flags, EXP_OPF_USER);
    EXPECT_EQ(row->parameters, -1);
    cmdCommand *body = f->definition.head;
    cmdCommand *call = nullptr;
    for (cmdCommand *c = body; c != nullptr; c = c->next) {
        if (c->type == CMD_CALL) call = c;
    }
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->function, f);  // a function may call itself

    parse({"func f(a)", "  bad(", "endfunc"});
    EXPECT_NE(errors(), "");
    EXPECT_EQ(f->definition.head, body);
    EXPECT_EQ(f->definition.parameterCount, 1);
    EXPECT_EQ(cmdFindFunctionRow(program_, "f", 1), row);

    program_->parseError = 0;
    parse({"func f(a, b)", "endfunc"});
    EXPECT_EQ(types(f->definition.head), (Types{25, 1, 26}));
    EXPECT_EQ(f->definition.parameterCount, 2);
    EXPECT_EQ(cmdFindFunctionRow(program_, "f", 1), row);
    EXPECT_EQ(cmdFindFunctionRow(program_, "F", 1), nullptr);  // names are case-sensitive
}

TEST_F(ScriptTest, GotoIntoASiblingLoopIsOutOfScope) {
    static uint32_t gotoFlags;
    gotoFlags = 0;
    // The definition fails and is dropped, so the goto is looked at while the message is listed.
    onOutput_ = [](ScriptTest *test, const st::Line &line) {
        if (line.kind != 128 || test->program_->defining == nullptr) return;
        for (cmdCommand *c = test->program_->defining->pending.head; c != nullptr; c = c->next) {
            if (c->type == CMD_GOTO) gotoFlags = c->flags;
        }
    };
    parse({"func f()", "while (1)", "label L1", "endwhile", "while (1)", "goto L1", "endwhile", "endfunc"});
    EXPECT_EQ(errors(),
              "The goto statement on line 6 and label 'L1' on line 3 are not in the same loop scope.");
    EXPECT_TRUE(gotoFlags & CMD_F_GOTO_SCOPE);
    EXPECT_EQ(function(program_, "f"), nullptr);
}

TEST_F(ScriptTest, GotoOutOfNestedLoopsBindsItsLabel) {
    parse({"func f()", "while (1)", "while (1)", "goto out", "endwhile", "endwhile", "label out", "endfunc"});
    ASSERT_EQ(errors(), "");
    cmdCommand *go = nullptr;
    cmdCommand *label = nullptr;
    for (cmdCommand *c = function(program_, "f")->definition.head; c != nullptr; c = c->next) {
        if (c->type == CMD_GOTO) go = c;
        if (c->type == CMD_LABEL) label = c;
    }
    ASSERT_NE(go, nullptr);
    EXPECT_EQ(go->partner, label);
}

// Fault 2: a line longer than the line area stops parsing instead of becoming two statements.
class LongLines : public ScriptTest, public ::testing::WithParamInterface<bool> {
protected:
    void parseSource(std::vector<std::string> lines) {
        if (!GetParam()) {
            parse(std::move(lines));
            return;
        }
        std::string text;
        for (const std::string &line : lines) text += line + "\n";
        dir_.write("long.vdr", text);
        int rc = 0;
        cmdReadContext *r = cmdOpenFileReader(program_, dir_.file("long.vdr").c_str(), &rc);
        ASSERT_NE(r, nullptr) << rc;
        cmdPushReader(program_, r);
        cmdParseFile(program_);
        cmdPopReader(program_);
    }
    zt::TempDir dir_;
};

TEST_P(LongLines, LineOfTheAreaSizeIsRefusedAndNothingAfterItIsParsed) {
    parseSource({"DISPLAY " + std::string(9991, 'Q'), "DISPLAY " + std::string(9992, 'Q'), "DISPLAY QMGR"});
    EXPECT_EQ(errors(), "Line 2 is longer than 9999 characters");
    EXPECT_EQ(types(), (Types{1, 4, 12}));
    EXPECT_EQ(std::string(records()[1]->text).size(), 9999u);
}

INSTANTIATE_TEST_SUITE_P(Readers, LongLines, ::testing::Values(false, true));

// Fault 4: nesting is bounded by a count and by the stack the thread has left.
TEST_F(ScriptTest, DeepNestingStopsAtTheLimit) {
    parse(std::vector<std::string>(200000, "while (1)"));
    EXPECT_EQ(errors(), "Maximum script nesting depth of 1000 reached");
    cmdCommand *innermost = last(CMD_WHILE);
    ASSERT_NE(innermost, nullptr);
    EXPECT_EQ(innermost->number, 1000u);
}

struct SmallStack {
    ScriptTest *test;
    cmdProgram *program;
    uint32_t whiles;
};

TEST_F(ScriptTest, DeepNestingStopsEarlierOnASmallStack) {
    std::vector<std::string> lines(5000, "while (1)");
    cmdReadContext *r = reader(lines, "deep.vdr");
    cmdPushReader(program_, r);
    zt::runOnStack(
        384 * 1024, [](void *argument) { cmdParseFile(static_cast<cmdProgram *>(argument)); }, program_);
    cmdPopReader(program_);
    EXPECT_EQ(errors(), "Maximum script nesting depth of 1000 reached");
    cmdCommand *innermost = last(CMD_WHILE);
    ASSERT_NE(innermost, nullptr);
    EXPECT_LT(innermost->number, 1000u);
}

TEST_F(ScriptTest, ForbiddenStandardInputStopsTheConsoleUnread) {
    program_->forbidStdin = 1;
    cmdReadContext *r = cmdStdinReader(program_);
    ASSERT_NE(r, nullptr);
    cmdPushReader(program_, r);
    cmdParseFile(program_);
    cmdPopReader(program_);
    EXPECT_TRUE(program_->stopFlag);
    EXPECT_EQ(program_->head, nullptr);
}

// The program's own path: the engine's catalogue asks the slot that scriptInstall fills.
TEST_F(ScriptTest, EngineCatalogueFindsUserFunctionsThroughTheScriptSlot) {
    scriptInstall();
    evInstallCatalogue();
    parse({"func f()", "endfunc", "@x = f()", "@y = h()"});
    EXPECT_EQ(errors(), "Unknown function name 'h' at position 5");
    // Another caller's word 0 (the command server keeps its parameter table there) knows no function.
    const char table[64] = "QNAME";
    EXPECT_EQ(cmdFindFunctionRow(const_cast<char *>(table), "f", 1), nullptr);
    EXPECT_NE(cmdFindFunctionRow(program_, "f", 1), nullptr);
    evServices.findFunction = nullptr;
}

}  // namespace
