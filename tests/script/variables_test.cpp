// The variable store, name resolution, system variables and the response attributes of foreach.
#include <string>

#include "engine/engine.h"
#include "run_testing.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

using VariablesTest = st::RunTest;

TEST_F(VariablesTest, AssignmentReachesTheCallersVariableUnlessDeclaredLocal) {
    EXPECT_EQ(run({"func f()", "  @x = 2", "endfunc", "func g()", "  var x", "  @x = 3", "  @seen = @x",
                   "endfunc", "@x = 1", "f()", "@a = @x", "g()", "@b = @x"}),
              1);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(value("@a"), "2");
    EXPECT_EQ(value("@b"), "2");
    // g's local went with its frame; @seen was made in g's frame too.
    EXPECT_EQ(cslFindVariable(program_, "@seen", 5), nullptr);
}

TEST_F(VariablesTest, PlainNamesFallBackToTheEnvironmentButElementsDoNot) {
    zt::ScopedEnv env("ZZ_TEST", "from the environment");
    EXPECT_EQ(value("@ZZ_TEST"), "from the environment");
    EXPECT_EQ(value("@ZZ_TEST[1]"), "0");  // a missing value counts as 0
    ExpValue v{};
    EXPECT_EQ(cslResolveVariable(program_, nullptr, "@ZZ_TEST", 8, &v), 1);
    expReleaseValue(&v);
    char key[64];
    uint32_t one = 1;
    size_t n = expBuildArrayKey("@ZZ_TEST", 8, &one, 1, key, sizeof key);
    EXPECT_EQ(cslResolveVariable(program_, nullptr, key, n, &v), 0);
    // A variable of the name hides the environment.
    run({"@ZZ_TEST = 'mine'"});
    EXPECT_EQ(value("@ZZ_TEST"), "mine");
}

TEST_F(VariablesTest, ArraysKeepTheirElementsInKeyOrderBehindTheName) {
    run({"@a[2] = 'b'", "@a[1] = 'a'", "@a[1,1] = 'c'", "@ab = 5"});
    std::string walked;
    for (cslVAR *v = cslFirstElement(program_->run->frame, "@a", 2); v != nullptr;
         v = cslNextElement(v, "@a", 2))
        walked += std::string(v->value.data, v->value.value.len);
    EXPECT_EQ(walked.size(), 3u);
    EXPECT_EQ(value("@a[1]"), "a");
    EXPECT_EQ(value("@a[1,1]"), "c");
    // An element's key of more than 50 bytes is refused by its printable name.
    EXPECT_EQ(run({"@abcdefghijabcdefghijabcdefghij[1,2,3,4] = 1"}), 0);
    EXPECT_EQ(errors(),
              "Variable name of '@abcdefghijabcdefghijabcdefghij[1,2,3,4]' is larger than the limit of 50 "
              "characters.");
}

TEST_F(VariablesTest, SystemVariables) {
    std::string hundred(100, 's');
    EXPECT_EQ(run({"@s = '" + hundred + "'", "_stream = @s"}), 1);
    EXPECT_EQ(value("_stream"), hundred.substr(0, 64));
    EXPECT_EQ(value("_platform"), "NOTCONNECTED");
    EXPECT_EQ(value("_lastrcstr"), "None");
    EXPECT_EQ(value("_streamtype"), "0");
#ifdef _WIN32
    EXPECT_EQ(value("_os"), "WINDOWS");
#else
    EXPECT_EQ(value("_os"), "LINUX");
#endif
    EXPECT_EQ(value("_numWhile"), "0");
    EXPECT_EQ(value("_item"), "");
    // Before any command the counts of its responses are -1 (they were 4294967295).
    EXPECT_EQ(value("_matches"), "-1");
    EXPECT_EQ(value("_responses"), "-1");
    EXPECT_EQ(value("_undefined_thing"), "<error>");

    out_.clear();
    EXPECT_EQ(run({"_time = 5", "@after = 1"}), 0);
    EXPECT_EQ(errors(), "You can not set the value of system variable _time.");
    EXPECT_EQ(value("@after"), "0");  // the run stopped on the error flag

    out_.clear();
    program_->run->continueAfterError = 1;
    EXPECT_EQ(run({"_error_func = 'nothere'", "_stream = 5"}), 1);
    EXPECT_EQ(errors(),
              "Error function nothere is not defined.\nThe _stream system variable should be set to a "
              "string");
}

TEST_F(VariablesTest, AssignmentTraceShowsTheOldValueOnlyWithItsOwnOption) {
    zt::ConsoleCapture console;
    const uint32_t saved = evDebugOptions.load();
    // Script tracing (-D t) writes the trace; the debug bits alone do not.
    evDebugOptions.store(EV_OPT_d | EV_OPT_b);
    run({"@t = 0"});
    EXPECT_EQ(console.err(), "");
    evScriptTrace.store(1);
    evDebugOptions.store(0);
    run({"@t = 1", "@t = 'two'"});
    std::string traced = console.err();
    EXPECT_NE(traced.find("     AFTER : @t = 1\n"), std::string::npos) << traced;
    EXPECT_NE(traced.find("     AFTER : @t = 'two'\n"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("BEFORE"), std::string::npos);
    console.clear();
    evDebugOptions.store(EV_OPT_b);
    run({"@t = 2.5", "@u = 1"});
    evDebugOptions.store(saved);
    evScriptTrace.store(0);
    traced = console.err();
    EXPECT_NE(traced.find("    BEFORE : @t = 'two'\n"), std::string::npos) << traced;
    EXPECT_NE(traced.find("     AFTER : @t = 2.500000\n"), std::string::npos) << traced;
    EXPECT_NE(traced.find("    BEFORE : @u = (not exist)\n"), std::string::npos) << traced;
}

TEST(ResponseAttributes, ValuesAreTypedAndJoinedAcrossLines) {
    const char *lines[] = {"AMQ8409I: Display Queue details.",
                           "   QUEUE(APP.Q)    TYPE(QLOCAL)",
                           "   DESCR(a  description   ",
                           "   over two lines)   CURDEPTH(42)",
                           "   QTIME( 120 , 340 )  CLUSNL(  a , b  )  ALTDATE(2026-01-01)  MAXMSGL(-5)",
                           "   BIG(123456789012345678901)  RATE(2.5)  EMPTY( )"};
    size_t lengths[6];
    for (int i = 0; i < 6; ++i) lengths[i] = std::strlen(lines[i]);
    char *joined = cslJoinLines(lines, lengths, 6);
    ASSERT_NE(joined, nullptr);
    EXPECT_STREQ(
        joined,
        "QUEUE(APP.Q) TYPE(QLOCAL) DESCR(a  description      over two lines) CURDEPTH(42) QTIME(120,340) "
        "CLUSNL(a,b) ALTDATE(2026-01-01) MAXMSGL(-5) BIG(123456789012345678901) RATE(2.5) EMPTY()");
    struct Case {
        const char *name;
        uint16_t indicator;
        uint16_t type;
        const char *text;
        int64_t number;
    } cases[] = {
        {"curdepth", 0, EXP_INT, nullptr, 42},
        {"QTIME", EXP_IND_SHORT, EXP_INT, nullptr, 120},
        {"QTIME", EXP_IND_LONG, EXP_INT, nullptr, 340},
        {"ALTDATE", 0, EXP_PSTR, "2026-01-01", 0},
        {"MAXMSGL", 0, EXP_INT, nullptr, -5},
        {"BIG", 0, EXP_PSTR, "123456789012345678901", 0},
        {"EMPTY", 0, EXP_STR, "", 0},
        {"DESCR", 0, EXP_PSTR, "a  description      over two lines", 0},
        {"TYPE", EXP_IND_LONG, EXP_INT, nullptr, 0},
    };
    for (const Case &c : cases) {
        const char *v = nullptr;
        size_t n = 0;
        ASSERT_EQ(cslFindAttribute(joined, std::strlen(joined), c.name, std::strlen(c.name), &v, &n), 1)
            << c.name;
        ExpValue out{};
        ASSERT_EQ(cslTypeAttributeValue(v, n, c.indicator, &out), 1);
        EXPECT_EQ(out.type, c.type) << c.name;
        if (c.text != nullptr)
            EXPECT_EQ(std::string(out.data, out.value.len), c.text) << c.name;
        else
            EXPECT_EQ(out.value.i, c.number) << c.name;
        if (out.type == EXP_PSTR) expReleaseValue(&out);
    }
    const char *v = nullptr;
    size_t n = 0;
    EXPECT_EQ(cslFindAttribute(joined, std::strlen(joined), "RATE", 4, &v, &n), 1);
    ExpValue real{};
    cslTypeAttributeValue(v, n, 0, &real);
    EXPECT_EQ(real.type, EXP_DBL);
    // A keyword is found whole, not inside another.
    EXPECT_EQ(cslFindAttribute(joined, std::strlen(joined), "DEPTH", 5, &v, &n), 0);
    CSFreeMem(joined);
}

// Storage that runs out while a value is stored is said, and the error stops the statement; the
// element stayed unset without a word.
TEST_F(VariablesTest, AnAssignmentWithoutStorageSaysSo) {
    EXPECT_EQ(run({"@big = 'abc'", "@a[1] = @big"}), 1);
    CSMemFailHook previous = CSSetMemFailHook([](uint64_t size) { return size == sizeof(cslVAR); });
    run({"@a[2] = @big"});
    CSSetMemFailHook(previous);
    EXPECT_EQ(errors(),
              "Can not allocate " + std::to_string(sizeof(cslVAR)) + " bytes for variable '@a[2]'.");
    EXPECT_FALSE(has("@a[2]"));
    program_->failed = 0;
}

}  // namespace
