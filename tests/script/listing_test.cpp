// Queued text, inline substitution, the parse-error listing of =import files, runtime errors and
// the echo of statements.
#include <string>
#include <vector>

#include "script_testing.h"

namespace {

using st::ScriptTest;
using Types = std::vector<uint32_t>;
using Texts = std::vector<std::string>;

TEST_F(ScriptTest, QueuedStringIsWrappedInItsBlockAfterTheRunningRecord) {
    parse({"DISPLAY QMGR", "DISPLAY QUEUE(*)"});
    program_->current = records()[1];  // the first command is running
    cmdQueueString(program_, "a; b");
    EXPECT_EQ(types(), (Types{1, 4, 16, 4, 4, 17, 1, 4}));
    cmdCommand *start = records()[2];
    EXPECT_EQ(start->partner, records()[5]);
    EXPECT_EQ(records()[5]->partner, start);
    EXPECT_STREQ(records()[3]->text, "a");
    EXPECT_STREQ(records()[4]->text, "b");

    cmdQueueText(program_, 0, 1, "  ");
    EXPECT_EQ(types(), (Types{1, 4, 3, 16, 4, 4, 17, 1, 4}));
}

// Values of the variables @a (5 letters), @h (quotes, ';', brackets, "<@a>"), @big (1 MB) and @bad
// (no value); others are not defined.
const std::string bigValue(1 << 20, 'x');

int variables(cmdProgram *, ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    std::string name(var->data, var->value.len);
    if (name == "@a") {
        expSetString(result, EXP_STR, const_cast<char *>("value"), 5);
        return 1;
    }
    if (name == "@h") {
        static const char hostile[] = "q'u\"o;t(e) <@a>";
        expSetString(result, EXP_STR, const_cast<char *>(hostile), sizeof hostile - 1);
        return 1;
    }
    if (name == "@big") {
        expSetString(result, EXP_STR, const_cast<char *>(bigValue.data()), bigValue.size());
        return 1;
    }
    if (name == "@n") {
        expSetDouble(result, 2.5);
        return 1;
    }
    e->valueMissing = 1;
    return 0;
}

struct Substitution {
    const char *text;
    bool replaced;
    std::string result;
};

TEST_F(ScriptTest, InlineValuesReplaceTheirBrackets) {
    program_->variables = variables;
    const Substitution cases[] = {
        {"dis ql(<@a>) <c> <@n>", true, "dis ql('value') <c> 2.50"},  // kept lower case
        {"<@a[1]> x", true, " x"},                                    // an unset value is empty text
        {"<c> and <d", false, ""},
        {"a <@a + '>'> b", true, "a 'value>' b"},  // the first '>' outside quotes closes
        {"<@big><@big>", true, bigValue + bigValue},
    };
    for (const Substitution &c : cases) {
        int ok = 0;
        char *result = cmdSubstituteInline(program_, c.text, CMD_INLINE_LINE, &ok);
        EXPECT_EQ(ok, 1) << c.text;
        EXPECT_EQ(result != nullptr, c.replaced) << c.text;
        if (result != nullptr) {
            EXPECT_EQ(std::string(result), c.result) << c.text;
            CSFreeMem(result);
        }
    }
    EXPECT_EQ(errors(), "");
}

// A value is data of the token it falls in, as the line's language reads that token: a command's
// quoted text with its quotes doubled, an expression's string (as hex when it holds both quotes), a
// bare value quoted unless it is a plain name or number; nothing in it is substituted.
TEST_F(ScriptTest, AnInlineValueIsDataOfTheTokenItFallsIn) {
    program_->variables = variables;
    auto hex = [](const std::string &text) {
        std::string out = "0x'";
        for (unsigned char c : text) out += "0123456789ABCDEF"[c >> 4], out += "0123456789ABCDEF"[c & 15];
        return out + "'";
    };
    const std::string h = "q'u\"o;t(e) <@a>";
    const std::string quoted = "'q''u\"o;t(e) <@a>'";
    const struct {
        int mode;
        const char *text;
        std::string result;  // empty: refused
    } cases[] = {
        {CMD_INLINE_LINE, "print \"A<@h>B\", 1", "print " + hex("A" + h + "B") + ", 1"},
        {CMD_INLINE_LINE, "print 'A<@h>B'", "print " + hex("A" + h + "B")},
        {CMD_INLINE_LINE, "print 'A<@a>B', <@h>, <@n>", "print 'AvalueB', " + hex(h) + ", 2.50"},
        {CMD_INLINE_LINE, "ALTER QLOCAL(Q) DESCR('<@h>')", "ALTER QLOCAL(Q) DESCR(" + quoted + ")"},
        {CMD_INLINE_LINE, "DIS QL(<@h>) DESCR", "DIS QL(" + quoted + ") DESCR"},
        {CMD_INLINE_LINE, "<@h> x", quoted + " x"},
        {CMD_INLINE_LINE, "=output file(<@a>)", "=output file(value)"},
        {CMD_INLINE_LINE, "=output file(<@h>)", ""},
        {CMD_INLINE_EXPRESSION, "\"<@h>, b\"", hex(h + ", b")},
        {CMD_INLINE_COMMAND, "DIS QL(<@h>)", "DIS QL(" + quoted + ")"},
    };
    for (const auto &c : cases) {
        int ok = 0;
        char *result = cmdSubstituteInline(program_, c.text, c.mode, &ok);
        EXPECT_EQ(ok, c.result.empty() ? 0 : 1) << c.text;
        EXPECT_EQ(result != nullptr ? std::string(result) : std::string(), c.result) << c.text;
        if (result != nullptr) CSFreeMem(result);
    }
    EXPECT_NE(errors().find("holds a bracket, a quote or a NUL"), std::string::npos) << errors();
}

TEST_F(ScriptTest, InlineEvaluationErrorFailsTheWholeLine) {
    program_->variables = variables;
    int ok = 1;
    char *result = cmdSubstituteInline(program_, "x <@a> <@a +> y", CMD_INLINE_LINE, &ok);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(ok, 0);
    EXPECT_NE(errors(), "");
}

class ImportTest;
ImportTest *importer = nullptr;
std::vector<std::string> importedLines;
int importFile(cmdProgram *program, const char *);

class ImportTest : public ScriptTest {
public:
    cmdReadContext *readerFor(std::vector<std::string> lines, const char *name) {
        return reader(lines, name);
    }

protected:
    void SetUp() override {
        ScriptTest::SetUp();
        importer = this;
        program_->localCommand = importFile;
    }
};

// The console's local command handler as the dispatcher will be: =import reads a file (here lines
// in memory) into an =import block.
int importFile(cmdProgram *program, const char *) {
    cmdReadContext *reader = importer->readerFor(importedLines, "inc/b.vdr");
    return cmdParseImport(program, reader, nullptr) != nullptr ? 1 : 0;
}

TEST_F(ImportTest, ErrorInAnImportedFileNamesItsLineAndSkipsTheRest) {
    importedLines = {"DISPLAY QMGR", "@x = 1", "endwhile", "DISPLAY CHANNEL(*)"};
    parse({"DISPLAY QMGR", "=import file(inc/b.vdr)", "DISPLAY QUEUE(*)"});
    EXPECT_EQ(texts(32), (Texts{"Line 3 of file 'inc/b.vdr'"}));
    EXPECT_EQ(texts(1), (Texts{"endwhile"}));
    EXPECT_EQ(errors(), "'endwhile' not expected outside of a while loop");
    // The import block stands after the =import line; nothing after the error runs.
    EXPECT_EQ(types(), (Types{1, 4, 1, 4, 14, 1, 4, 1, 22, 1, 12, 15}));
    bool afterMessage = false;
    for (cmdCommand *c : records()) {
        afterMessage |= c->type == CMD_MESSAGE;
        if (afterMessage) {
            EXPECT_TRUE(c->flags & CMD_F_SKIP) << c->type;
        }
    }
}

TEST_F(ImportTest, ImportedFunctionsWaitForTheImportToRun) {
    importedLines = {"func f()", "endfunc"};
    parse({"=import file(inc/b.vdr)"});
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(cmdFindFunction(program_, "f", -1), nullptr);
    cmdFreeFunctions(program_, 1);
    EXPECT_NE(cmdFindFunction(program_, "f", -1), nullptr);
}

TEST_F(ScriptTest, RuntimeErrorNamesEachImportItRanIn) {
    cmdReadContext *main = reader({"x"}, "main.vdr");
    cmdReadContext *outer = reader({"x"}, "a.vdr");
    cmdReadContext *inner = reader({"x"}, "b.vdr");
    cmdPushReader(program_, main);
    cmdPushReader(program_, outer);
    cmdPushReader(program_, inner);
    outer->imported = inner->imported = 1;
    outer->lineNumber = 3;
    inner->lineNumber = 7;
    parse({"@x = @y"});
    cmdCommand *statement = last(CMD_ASSIGN);
    ASSERT_NE(statement, nullptr);
    cmdRuntimeError(program_, statement, "Division by zero");
    EXPECT_EQ(errors(),
              "Runtime error: @x = @y\n"
              "File Location: Line 7 of file:'b.vdr'\n"
              "imported from: Line 3 of file:'a.vdr'\n"
              "Error Message: Division by zero");
    EXPECT_TRUE(program_->errorFlag);

    out_.clear();
    program_->debuggerPrompt = 1;
    cmdRuntimeError(program_, statement, "again");
    EXPECT_EQ(errors(), "again");  // at the prompt the message alone, without location
    while (program_->reader != nullptr) cmdPopReader(program_);
}

TEST_F(ScriptTest, EchoShowsStatementsAsKind4AndCommandsAsKind1) {
    echo_ = {1, 1, 1, 0, 0, 0, 0};
    parse({"@a = 1", "DISPLAY QMGR", "", "* note"});
    ASSERT_EQ(out_.size(), 3u);
    EXPECT_EQ(out_[0].kind, 4u);
    EXPECT_EQ(out_[0].text, "@a = 1");
    EXPECT_EQ(out_[1].kind, 1u);
    EXPECT_EQ(out_[1].text, "DISPLAY QMGR");
    EXPECT_EQ(out_[2].text, "* note");  // the empty line is not shown: blank is off
    for (const st::Line &line : out_) EXPECT_EQ(line.marks, CMD_OUT_INPUT_ECHO);

    // Switched off, statements are only recorded.
    out_.clear();
    echo_ = {1, 1, 0, 0, 0, 0, 1};
    parse({"@a = 1", ""});
    ASSERT_EQ(out_.size(), 2u);
    EXPECT_EQ(out_[0].marks, CMD_OUT_HIDDEN | CMD_OUT_INPUT_ECHO);
    EXPECT_EQ(out_[1].text, "");

    // The =echo switches, by the console's numbers; "input no" shows nothing.
    out_.clear();
    echo_ = cmdDefaultEcho;
    cmdReadContext *r = reader({"DISPLAY QMGR"}, "switches.vdr");
    cmdPushReader(program_, r);
    EXPECT_EQ(cmdEchoSwitch(program_, 2, -1), 0);
    EXPECT_EQ(cmdEchoSwitch(program_, 2, 1), 1);
    EXPECT_EQ(r->echo.lang, 1);
    EXPECT_EQ(cmdEchoSwitch(program_, 7, 1), -1);
    EXPECT_EQ(program_->echo.lang, 0);  // the console's own switches stay
    EXPECT_NE(cmdEchoCommand(program_, 1, 0, "@a = 1"), nullptr);
    cmdEchoCommand(program_, 1, 0, "DISPLAY QMGR", 4);  // the console's kind for a loop's command
    cmdEchoSwitch(program_, 0, 0);
    cmdEchoCommand(program_, 1, 0, "DISPLAY QMGR");
    cmdPopReader(program_);
    // Without a reader, the console's own switches decide; a new reader starts with them.
    EXPECT_EQ(cmdEchoSwitch(program_, 6, 1), 1);
    EXPECT_EQ(program_->echo.blank, 1);
    cmdReadContext *fresh = cmdStdinReader(program_);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->echo.blank, 1);
    cmdFreeReader(fresh);
    ASSERT_EQ(out_.size(), 3u);
    EXPECT_EQ(out_[0].kind, 4u);
    EXPECT_EQ(out_[0].marks, 0u);
    EXPECT_EQ(out_[1].kind, 4u);
    EXPECT_EQ(out_[1].marks, 0u);  // shown by the cmds switch, not lang
    EXPECT_EQ(out_[2].marks, CMD_OUT_HIDDEN);
}

}  // namespace
