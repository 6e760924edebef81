// The built-ins that work on the running program's variables: SORT and SORTD, the subscript
// queries, DELVAR, EXISTS, FGETS's assignment and EVAL.
#include <pthread.h>

#include <cstring>
#include <string>
#include <vector>

#include "run_testing.h"
#include "testing/testing.h"

namespace {

class ArraysTest : public st::RunTest {
protected:
    void SetUp() override {
        st::RunTest::SetUp();
        cmdInstallBuiltins();
        program_->run->continueAfterError = 1;
    }
    // The elements' values joined by blanks ("-" where an element is missing).
    std::string row(const std::string &array, int from, int to) {
        std::string joined;
        for (int i = from; i <= to; ++i) {
            std::string element =
                array + (array.find('[') == std::string::npos ? "[" : ",") + std::to_string(i) + "]";
            std::string shown =
                value(("exists(" + element + ")").c_str()) == "1" ? value(element.c_str()) : std::string("-");
            joined += (joined.empty() ? "" : " ") + shown;
        }
        return joined;
    }
};

TEST_F(ArraysTest, SortMovesWholeColumns) {
    run({"@a[1] = 3", "@a[2] = 1", "@a[3] = 2", "@r = sort(@a)"});
    EXPECT_EQ(value("@r"), "1");
    EXPECT_EQ(row("@a", 1, 3), "1 2 3");
    run({"@r = sortd(@a)"});
    EXPECT_EQ(row("@a", 1, 3), "3 2 1");

    run({"@b[1,1] = 2", "@b[1,2] = 1", "@b[1,3] = 1", "@b[2,1] = 'x'", "@b[2,2] = 'z'", "@b[2,3] = 'y'",
         "@r = sort(@b)"});
    EXPECT_EQ(row("@b[1", 1, 3), "1 1 2");
    EXPECT_EQ(row("@b[2", 1, 3), "z y x");  // equal keys keep their order
    run({"@r = sort(@b, 2)"});
    EXPECT_EQ(row("@b[1", 1, 3), "2 1 1");
    EXPECT_EQ(row("@b[2", 1, 3), "x y z");

    // A missing cell sorts first and moves as a gap.
    run({"@g[1] = 3", "@g[3] = 1", "@r = sort(@g)"});
    EXPECT_EQ(row("@g", 1, 3), "- 1 3");
    run({"@r = sortd(@g)"});
    EXPECT_EQ(row("@g", 1, 3), "3 1 -");

    run({"@c[1] = 5", "@r = sort(@c)"});
    EXPECT_EQ(value("@r"), "1");
    EXPECT_EQ(row("@c", 1, 1), "5");
    EXPECT_EQ(errors(), "");
}

TEST_F(ArraysTest, SortRefusals) {
    const struct {
        std::vector<std::string> script;
        const char *error;
    } cases[] = {
        {{"@d[1,1] = 1", "@d[1,2] = 2", "@r = sort(@d, 2)"},
         "Sort index 2 passed to sort function() beyond bounds of array @d."},
        {{"@m[1] = 1", "@m[1,2] = 2", "@r = sort(@m)"},
         "Array @m has elements with different number of subscripts."},
        {{"@t[1,1,1] = 1", "@r = sort(@t)"}, "Array @t has greater than 2 subscripts."},
        {{"@e[1] = 1", "@r = sort(@e[1])"}, "Parameter to numsubs() should be array name not an element."},
        {{"@r = sort(_time)"}, "The first parameter to function sort() must be a user variable."},
        // A table sized by a huge subscript is refused before anything is made.
        {{"@h[1] = 1", "@h[2000000000] = 2", "@r = sort(@h)"}, "Failed to allocate sort array."},
        {{"@h2[2000, 1] = 1", "@h2[1, 2000] = 2", "@r = sortd(@h2)"}, "Failed to allocate sort array."},
    };
    for (const auto &c : cases) {
        out_.clear();
        run({"@r = 9"});
        run(c.script);
        EXPECT_EQ(value("@r"), "0") << c.error;
        EXPECT_EQ(errors(), c.error);
    }
    EXPECT_EQ(value("@h[2000000000]"), "2");
    EXPECT_EQ(value("@h[1]"), "1");
}

TEST_F(ArraysTest, SubscriptQueriesDeleteAndExists) {
    run({"@n[2,5] = 1", "@n[7] = 1", "@n[3,1,9] = 1"});
    const struct {
        const char *expression;
        const char *expected;
    } cases[] = {
        {"numsubs(@n)", "3"},   {"minsub(@n)", "2"},     {"maxsub(@n)", "7"},    {"maxsub(@n, 2)", "5"},
        {"minsub(@n, 2)", "1"}, {"maxsub(@n, 3)", "9"},  {"minsub(@n, 0)", "0"}, {"maxsub(@n, -1)", "0"},
        {"maxsub(@n, 5)", "0"}, {"numsubs(@none)", "0"}, {"exists(@n)", "1"},    {"exists(@n[7])", "1"},
        {"exists(@n[8])", "0"}, {"exists(@none)", "0"},  {"delvar(@n)", "3"},    {"exists(@n)", "0"},
    };
    for (const auto &c : cases) EXPECT_EQ(value(c.expression), c.expected) << c.expression;

    // A function's missing argument exists without a value; the caller's variables are seen.
    run({"@v = 1", "func f(a, b)", "  return exists(@b) * 10 + exists(@a) + exists(@v) * 100", "endfunc",
         "@r = f(1)"});
    EXPECT_EQ(value("@r"), "101");
    EXPECT_EQ(errors(), "");
}

TEST_F(ArraysTest, FGetsAssignsLines) {
    zt::TempDir dir;
    dir.write("in.txt", "a\nbc\r\nd");
    run({"@f = fopen('" + dir.file("in.txt") + "', 'r')", "@n1 = fgets(@f, @l1)", "@n2 = fgets(@f, @l[2])",
         "@n3 = fgets(@f, @l3)", "@n4 = fgets(@f, @l4)", "@c = fclose(@f)", "@n5 = fgets(999, @l5)"});
    EXPECT_EQ(value("@n1") + value("@l1"), "1a");
#ifdef _WIN32
    EXPECT_EQ(value("@n2") + value("@l[2]"), "2bc");  // a text file's CR LF is a line end there
#else
    EXPECT_EQ(value("@n2") + value("@l[2]"), "3bc\r");
#endif
    EXPECT_EQ(value("@n3") + value("@l3"), "1d");
    EXPECT_EQ(value("@n4") + value("exists(@l4)"), "-10");
    EXPECT_EQ(value("@c"), "1");
    EXPECT_EQ(value("@n5"), "-2");
    EXPECT_EQ(errors(), "File Identifier 999 is not an open file");

    out_.clear();
    run({"@bad = fopen('" + dir.file("no/such") + "', 'r')"});
    EXPECT_EQ(value("@bad"), "-1");
    EXPECT_EQ(value("_errno"), std::to_string(ENOENT));
}

// EVAL's texts stay in the expression cache, so this program is not held to the fixture's count of
// heap blocks; the leak check of the sanitizer build still applies.
TEST(Eval, RunsTextUpToTheNestingLimit) {
    ExpCatalogue catalogue{};
    catalogue.findFunction = cmdFindFunctionRow;
    expSetCatalogue(&catalogue);
    cmdInstallBuiltins();
    static std::string errors;
    errors.clear();
    cmdProgram *program = cmdCreateProgram();
    ASSERT_NE(program, nullptr);
    program->output = [](cmdProgram *, uint32_t kind, const char *text, int64_t length, int32_t) -> void * {
        if ((kind & 0xFFFF) == 128)
            errors.append(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
        return nullptr;
    };
    program->run->continueAfterError = 1;
    auto run = [&](std::vector<const char *> lines) {
        cmdReadContext *reader = cmdMemoryReader(program, "eval.vdr", lines.data(), lines.size());
        ASSERT_NE(reader, nullptr);
        cmdPushReader(program, reader);
        cmdRunCommands(program);
        cmdPopReader(program);
    };
    auto value = [&](const char *expression) {
        char *text = cslEvaluateExpression(program, expression, -1, 0, 0);
        std::string s = text != nullptr ? text : "<error>";
        if (text != nullptr) CSFreeMem(text);
        return s;
    };
    run({"@x = 4", "@r = eval('@x * 2') + eval(3)", "@s = eval(\"'a' + 'b'\")"});
    EXPECT_EQ(value("@r"), "11");
    EXPECT_EQ(value("@s"), "ab");
    EXPECT_EQ(errors, "");

    // A text that evaluates itself ends at the limit; the run goes on.
    run({"@t = 'eval(@t)'", "@r = eval(@t)", "@after = 1"});
    EXPECT_NE(errors.find("Maximum script nesting depth of 1000 reached"), std::string::npos) << errors;
    EXPECT_EQ(value("@r"), "0");
    EXPECT_EQ(value("@after"), "1");

    // On a small stack the stack left ends it first.
    errors.clear();
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 1024 * 1024), 0);
    pthread_t thread;
    auto body = [](void *argument) -> void * {
        auto *p = static_cast<cmdProgram *>(argument);
        ExpValue v{};
        const char *text = "eval(@t)";
        if (cslEvaluateValue(p, text, -1, 0, 0, &v)) expReleaseValue(&v);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, body, program), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_NE(errors.find("Maximum script nesting depth of 1000 reached"), std::string::npos) << errors;
    EXPECT_EQ(program->run->nesting, 0);
    cmdFreeProgram(program);
    expSetCatalogue(nullptr);
}

}  // namespace
