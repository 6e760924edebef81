// The script's own built-in functions evaluated in expressions of a program under test.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "script/internal.h"
#include "script_testing.h"
#include "testing/testing.h"

namespace {

class BuiltinTest : public st::ScriptTest {
protected:
    void SetUp() override {
        st::ScriptTest::SetUp();
        cmdInstallBuiltins();
    }

    // The value's text (reals with 2 places), or "error: " and the message.
    std::string value(const std::string &text) {
        ExpValue v{};
        char *error = nullptr;
        if (!cmdEvaluateValue(program_, text.c_str(), text.size(), 0, 0, &v, &error)) {
            std::string message = "error: " + std::string(error != nullptr ? error : "?");
            if (error != nullptr) CSFreeMem(error);
            return message;
        }
        ExpExpression scratch{};
        char *t = expValueToString(&scratch, &v, 2);
        std::string result = t != nullptr ? t : "?";
        if (t != nullptr) CSFreeMem(t);
        expReleaseValue(&v);
        return result;
    }

    zt::TestClock clock_;
};

TEST_F(BuiltinTest, StringAndNumberFunctions) {
    const struct {
        const char *expression;
        const char *expected;
    } cases[] = {
        {"trimstr('xxabcyy', 'x', 'y')", "abc"},
        {"trimstr('  a b  ')", "a b"},
        {"trimstr('xyx', 'xy')", ""},
        {"strreplace('aaa', 'aa', 'b')", "ba"},
        {"strreplace('abc', '', 'x')", "abc"},
        {"strreplace('a.b.c', '.', '::')", "a::b::c"},
        {"round(-2.5)", "-3"},
        {"round(2.5)", "3"},
        {"round(2.49)", "2"},
        {"floor(-1.5)", "-2"},
        {"ceil(-1.5)", "-1"},
        {"ceil('abc')", "3"},
        {"str(1.5)", "1.50"},
        {"strlen('abcd')", "4"},
        {"strlen(1234)", "0"},
        {"strreplace(1, 'a', 'b')", "error: The first parameter to function strreplace() must be a string."},
        {"trimstr('a', 1)", "error: The second parameter to function trimstr() must be a string."},
        {"trimstr('a', 'b', 'c', 'd')", "error: Function trimstr() has a maxiumum of three parameters."},
    };
    for (const auto &c : cases) EXPECT_EQ(value(c.expression), c.expected) << c.expression;
}

TEST_F(BuiltinTest, WaitCountsStringsByLengthAndGetKeyPolls) {
    EXPECT_EQ(value("wait('5')"), "1");
    EXPECT_EQ(clock_.sleptMs(), 1000u);
    EXPECT_EQ(value("wait(-3)"), "1");
    EXPECT_EQ(clock_.sleptMs(), 1000u);

    static int32_t key = 0;
    EvKeySource previous = evSetKeySource([](int32_t) { return key; });
    EXPECT_EQ(value("getkey(2)"), "0");
    EXPECT_EQ(clock_.sleptMs(), 3000u);
    key = 'k';
    EXPECT_EQ(value("getkey(2)"), "107");
    EXPECT_EQ(clock_.sleptMs(), 3000u);
    evSetKeySource(previous);
}

TEST_F(BuiltinTest, MqTimeReadsLocalTime) {
    zt::ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(value("mqtime('20250302', '103000')"), "1740907800");
    EXPECT_EQ(value("mqtime(20250302, 10300000)"), "1740907800");
    EXPECT_EQ(value("mqtime('2025-03-02', '10.30.00')"), "1740907800");
    EXPECT_EQ(value("mqtime('2025-03-0x', '10.30.00')"), "-1");
    // Texts that name no moment are not read: no defaults for what is missing, no carrying over.
    for (const char *unreadable :
         {"mqtime('abc', 'def')", "mqtime('2024-13-45', '10.00.00')", "mqtime('2025-02-29', '10.00.00')",
          "mqtime('2025-03-02', '24.00.00')", "mqtime('2025-03-02', '10.30')", "mqtime('20251301', '103000')",
          "mqtime('', '')"})
        EXPECT_EQ(value(unreadable), "-1") << unreadable;
    EXPECT_EQ(value("mqtime('2024-02-29', '00.00.00')"), "1709161200");
}

TEST_F(BuiltinTest, SystemWaitsOnlyWhenSynchronous) {
    zt::TempDir dir;
    EXPECT_EQ(value("system('exit 3', CONST.SYNC)"), "1");
    EXPECT_EQ(value("system('echo x > " + dir.file("sync") + "', CONST.SYNC)"), "1");
    EXPECT_EQ(dir.read("sync").substr(0, 1), "x");
    EXPECT_EQ(errors(), "");
    // Both modes: started without waiting; a program that cannot be started fails.
    EXPECT_EQ(value("system('" + dir.file("no-such-program") + "', 3)"), "0");
    EXPECT_EQ(
        errors().find("The second parameter to function system() cannot specify both SYNC and ASYNC.\n"), 0u)
        << errors();
}

// A path, mode or command holding a NUL is refused: the OS would read it only up to the NUL and open
// or run something else than the script named (fopen opened the folder before the NUL, system ran
// the command before it).
TEST_F(BuiltinTest, ATextHoldingANulIsRefusedBeforeTheOS) {
    zt::TempDir dir;
    const std::string file = dir.file("f.txt");
    ASSERT_EQ(value("fclose(fopen('" + file + "', 'w'))"), "1");
    auto hex = [](const std::string &text) {
        std::string out = "0x'";
        for (unsigned char c : text) {
            char two[3];
            std::snprintf(two, sizeof two, "%02X", c);
            out += two;
        }
        return out + "'";
    };
    const std::string nul(1, '\0');
    const struct {
        std::string expression;
        const char *error;
        const char *made;  // what the text up to the NUL would have made
    } cases[] = {
        {"fopen(" + hex(dir.file("made") + nul + "/x") + ", 'w')",
         "The path passed to function fopen() holds a NUL character.", "made"},
        {"fopen(" + hex(dir.file("") + nul + "/x") + ", 'r')",
         "The path passed to function fopen() holds a NUL character.", nullptr},
        {"fopen('" + file + "', " + hex("r" + nul + "+") + ")",
         "The mode passed to function fopen() holds a NUL character.", nullptr},
        {"system(" + hex("touch " + dir.file("made") + nul + "-not") + ", CONST.SYNC)",
         "The command passed to function system() holds a NUL character.", "made"},
        {"system(" + hex("true" + nul + " r") + ")",
         "The command passed to function system() holds a NUL character.", nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(value(c.expression), std::string("error: ") + c.error) << c.expression;
        if (c.made != nullptr) {
            EXPECT_FALSE(std::filesystem::exists(dir.file(c.made))) << c.expression;
        }
        out_.clear();
    }
}

TEST_F(BuiltinTest, FilesOpenWithCheckedModesUpToTheLimit) {
    zt::TempDir dir;
    const std::string path = dir.file("f.txt");
    // A trial at parse time opens nothing.
    ExpExpression *e = cmdParseExp(program_, ("fopen('" + path + "', 'w')").c_str(), -1, 0);
    ASSERT_NE(e, nullptr);
    expFreeExpression(e);
    EXPECT_EQ(std::fopen(path.c_str(), "r"), nullptr);

    const struct {
        const char *mode;
        bool opens;
    } modes[] = {{"w", true},  {"r+", true},  {"ab", true},   {"rb+t", true},
                 {"x", false}, {"rr", false}, {"w++", false}, {"", false}};
    for (const auto &m : modes) {
        int32_t id = cmdFileOpen(path.c_str(), m.mode);
        EXPECT_EQ(id >= 100, m.opens) << m.mode;
        if (id >= 100) {
            EXPECT_EQ(cmdFileClose(id), 1);
        }
    }
    EXPECT_EQ(cmdFileOpen(dir.file("missing/x").c_str(), "r"), -1);

    std::vector<int32_t> ids;
    for (int i = 0; i < CMD_MAX_OPEN_FILES; ++i) ids.push_back(cmdFileOpen(path.c_str(), "r"));
    EXPECT_GE(ids.back(), 100);
    EXPECT_EQ(cmdFileOpen(path.c_str(), "r"), -1);
    EXPECT_EQ(cmdSavedErrno(), EMFILE);
    for (int32_t id : ids) cmdFileClose(id);

    EXPECT_EQ(value("fclose(999)"), "0");
    EXPECT_EQ(errors(), "fclose() issued against unopen fileid 999");
}

// Every operator and function of the script's table takes variables where it takes values: the
// parse-time trial, where a variable has no value of the type the statement will give it, refuses
// nothing that only a run could judge. (strreplace, trimstr and LK refused a script that used them
// so, and the script did not load.)
TEST_F(BuiltinTest, EveryOperatorAndFunctionParsesWithVariableOperands) {
    const char *const operands[] = {"@a", "@b", "@c"};
    auto call = [&operands](const char *name, int count) {
        std::string text = std::string(name) + "(";
        for (int i = 0; i < count; ++i) text += std::string(i > 0 ? ", " : "") + operands[i];
        return text + ")";
    };
    std::vector<std::string> expressions;
    for (const ExpOperator *op = expScriptOperatorTable; op->name != nullptr; ++op) {
        // Brackets and the comma; "||" and "&&", which the lexer reads as two '|' or '&'.
        if (op->handler == nullptr || op->name == std::string("||") || op->name == std::string("&&"))
            continue;
        if (op->flags & EXP_OPF_FUNCTION) {
            const int most = op->parameters < 0 ? 3 : op->parameters;
            for (int count = op->parameters < 0 ? 1 : most; count <= most; ++count)
                expressions.push_back(call(op->name, count));
        } else if (op->flags & EXP_OPF_BINARY) {
            expressions.push_back(std::string("@a ") + op->name + " @b");
        } else {
            expressions.push_back(std::string(op->name) + " @a");
        }
    }
    ASSERT_GT(expressions.size(), 60u);
    for (const std::string &expression : expressions) {
        for (const std::string &statement : {"@w = " + expression, "if (" + expression + " = 'x')"}) {
            parse({statement, statement.front() == 'i' ? "endif" : ""});
            EXPECT_EQ(errors(), "") << statement;
            out_.clear();
            program_->parseError = 0;
        }
    }
}

// LK and NL take only strings: an operand whose type the parse knows (a literal, what operators make
// of literals) is refused at parse, whatever the other operand, one that comes from a variable or a
// call is left to the run. (Every operand passed the parse, and a script failed only when the
// statement ran; then a known number beside a variable still did.)
TEST_F(BuiltinTest, LikeOperandsKnownAtParseAreJudgedAtParse) {
    const std::string refusedLK = "Operator 'LK' is only applicable to strings";
    const std::string refusedNL = "Operator 'NL' is only applicable to strings";
    const struct {
        const char *statement;
        std::string error;
    } cases[] = {
        {"@w = 5 LK '5'", refusedLK},
        {"@w = '5' NL 5", refusedNL},
        {"@w = (2 * 3) LK '6'", refusedLK},
        {"@w = 'x' LK 1.5", refusedLK},
        {"if ('a' lk 'a' nl 'b')", refusedNL},  // LK's result is a number
        {"@w = 'abc' LK 'a*'", ""},
        {"@w = @s LK 'a*'", ""},
        {"@w = 5 NL @p", refusedNL},
        {"@w = @a LK 5", refusedLK},
        {"@w = @a LK (2 * 3)", refusedLK},
        {"@w = str(@a) NL 1.5", refusedNL},
        {"@w = @a NL @p", ""},
        {"@w = (@n + 1) LK '6'", ""},
        {"@w = @a[2] LK 'x'", ""},
        {"@w = str(5) LK '5'", ""},
        {"@w = eval('5') NL '5'", ""},
    };
    for (const auto &c : cases) {
        std::string statement = c.statement;
        parse({statement, statement.front() == 'i' ? "endif" : ""});
        EXPECT_EQ(errors(), c.error) << statement;
        out_.clear();
        program_->parseError = 0;
    }
}

}  // namespace
