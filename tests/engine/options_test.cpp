// The command line and the environment: what each option sets, the exact texts of its errors, and
// numbers past the 32-bit range refused instead of left to atoi.
#include "engine_testing.h"

namespace {

struct Parsed {
    int ok;
    EvStartSettings settings;
    std::string error;
};

Parsed parse(const std::vector<const char *> &args, const EvEnvironment *environment = nullptr) {
    const char *argv[32] = {"zunt"};
    int argc = 1;
    for (const char *arg : args)
        if (argc < 32) argv[argc++] = arg;
    Parsed p{};
    char error[EV_OPTION_ERROR_MAX];
    p.ok = evParseCommandLine(argc, argv, environment, &p.settings, error, sizeof error);
    p.error = error;
    return p;
}

std::string usage() {
    char text[EV_OPTION_ERROR_MAX];
    evUsageText(text, sizeof text);
    return text;
}

TEST(Options, UsageTextIsExact) {
    EXPECT_EQ(usage(),
              "IBM MQ Event Handler Program\n"
              "  [ V9.4.1 Build:Mar  3 2025 Rev:1 ] Holva Software\n"
              "\nUsage: ZUNT <Optional flags as below>\n"
              "        [-b  Background mode]\n"
              "        [-c  Maximum MQ Command Level]\n"
              "        [-f  <script file or path>]\n"
              "        [-k  Running as an MQ Service]\n"
              "        [-l  Client connection]\n"
              "        [-L  <Log path>]\n"
              "        [-m  <Queue Manager>]\n"
              "        [-o  <Option Flag>]\n"
              "        [   c<Absorb Check Frequency>\n"
              "        [   g<Absorb Grace Period>\n"
              "        [   s<Absorb Sweep Interval>\n"
              "        [   S Absorb Sweep Disabled\n"
              "        [-r  <Reconnect values>]\n"
              "        [-s  <State Queue Manager Name>]\n"
              "        [-u  <UserId>]\n"
              "        [-U  <Password>]\n"
              "        [-v  <Verbose Options>]\n"
              "\nExit status: 0 an end that was asked for, 2 an option refused,\n"
              "             3 a start-up failure, 4 a connection given up\n");
}

TEST(Options, RefusedArgumentsGiveTheirMessageAndWhereItBelongsTheUsage) {
    const std::string u = usage();
    struct Case {
        std::vector<const char *> args;
        std::string error;
    } cases[] = {
        {{"foo"}, "Unrecognised parameter 'foo'\n\n" + u},
        {{"/m"}, "Unrecognised parameter '/m'\n\n" + u},
        {{"-x"}, "Unrecognised parameter '-x'\n\n" + u},
        {{"-"}, "Unrecognised parameter '-'\n\n" + u},
        {{"-o", "x"}, "Unrecognised options parameter 'x'\n\n" + u},
        {{"-m", "QM1", "-s", "QM1"},
         "The state Queue Manager should not be the same as the Event Queue Manager\n\n"},
        {{"-u", "a", "-m", "Q", "-u", "b"},
         "The Userid parameter (-u) can only be specified once per Queue Manager\n\n"},
        {{"-U", "a", "-U", "b"},
         "The Password parameter (-U) can only be specified once per Queue Manager\n\n"},
        // Past 2147483647: the option's own error, never atoi's undefined value.
        {{"-c", "2147483648"}, "Unrecognised parameter '2147483648'\n\n" + u},
        {{"-o", "g99999999999"}, "Unrecognised options parameter 'g'\n\n" + u},
        {{"-oE2147483648"}, "Unrecognised options parameter 'E'\n\n" + u},
        // No number where one is wanted: refused, never read as 0.
        {{"-c", "abc"}, "Unrecognised parameter 'abc'\n\n" + u},
        {{"-c", "940x"}, "Unrecognised parameter '940x'\n\n" + u},
        {{"-o", "g"}, "Unrecognised options parameter 'g'\n\n" + u},
        {{"-o", "Sc:x"}, "Unrecognised options parameter 'c'\n\n" + u},
        {{"-o", "r1"}, "Unrecognised options parameter 'r'\n\n" + u},  // read by nothing
    };
    for (const Case &c : cases) {
        Parsed p = parse(c.args);
        EXPECT_EQ(p.ok, 0) << c.args[0];
        EXPECT_EQ(p.error, c.error) << c.args[0];
    }
}

TEST(Options, ValuesJoinedSeparateOrAfterAColonAreTheSame) {
    for (std::vector<const char *> args :
         {std::vector<const char *>{"-mQM1"}, {"-m", "QM1"}, {"-m", ":QM1"}, {"/m", "QM1"}, {"-m:QM1"}}) {
        Parsed p = parse(args);
        ASSERT_EQ(p.ok, 1) << p.error;
        EXPECT_STREQ(p.settings.event.name, "QM1");
        EXPECT_STREQ(p.settings.state.name, "QM1");  // no -s: the state queue manager is the event one
        EXPECT_EQ(p.settings.separateState, 0);
    }
}

TEST(Options, QueueManagersUsersAndFlags) {
    Parsed p = parse({"-u", "a", "-s", "QS", "-u", "b", "-U", "pw", "-bl", "-c", "940", "-p", "P.*", "-q",
                      "MODEL", "-f", "dir", "-r", "HIGH"});
    ASSERT_EQ(p.ok, 1) << p.error;
    EXPECT_STREQ(p.settings.event.name, "");  // -s alone: the default queue manager for events
    EXPECT_STREQ(p.settings.state.name, "QS");
    EXPECT_STREQ(p.settings.event.userId, "a");
    EXPECT_STREQ(p.settings.state.userId, "b");
    EXPECT_STREQ(p.settings.state.password, "pw");
    EXPECT_EQ(p.settings.event.password, nullptr);
    EXPECT_EQ(p.settings.background, 1);
    EXPECT_EQ(p.settings.client, 1);
    EXPECT_EQ(p.settings.service, 0);
    EXPECT_EQ(p.settings.maxCommandLevel, 940);
    EXPECT_EQ(p.settings.maxZosCommandLevel, 940);
    EXPECT_STREQ(p.settings.replyPrefix, "P.*");
    EXPECT_STREQ(p.settings.modelQueue, "MODEL");
    EXPECT_STREQ(p.settings.scriptPath, "dir");
    EXPECT_STREQ(p.settings.retryText, "HIGH");

    Parsed k = parse({"-k", "-!"});
    EXPECT_EQ(k.settings.service, 1);
    EXPECT_EQ(k.settings.background, 1);
    EXPECT_EQ(k.settings.debugMode, 1);
    EXPECT_STREQ(k.settings.replyPrefix, "ZUNT.*");
    EXPECT_STREQ(k.settings.retryText, "default");
    EXPECT_EQ(k.settings.maxCommandLevel, 942);
}

TEST(Options, OptionLettersAndTheNumberThatEndsThem) {
    struct Case {
        const char *value;
        int32_t grace, sweep, check, disabled, window, delay, delayMax;
        uint32_t suppress;
    } cases[] = {
        {"Ag20", 20, 10, 10, 0, 10, 5, 300, EV_SUPPRESS_ACCOUNTING},
        {"g20A", 20, 10, 10, 0, 10, 5, 300, 0},  // the number ends the value
        {"T", 15, 10, 10, 0, 10, 5, 300, EV_SUPPRESS_ACTIVITY_TRACE},
        {"S", 15, 10, 10, 1, 10, 5, 300, 0},
        {"s:30", 15, 30, 10, 0, 10, 5, 300, 0},
        {"c7", 15, 10, 7, 0, 10, 5, 300, 0},
        {"w3", 15, 10, 10, 0, 3, 5, 300, 0},
        {"e9", 15, 10, 10, 0, 10, 9, 300, 0},
        {"ATE2147483647", 15, 10, 10, 0, 10, 5, 2147483647,
         EV_SUPPRESS_ACCOUNTING | EV_SUPPRESS_ACTIVITY_TRACE},
    };
    for (const Case &c : cases) {
        Parsed p = parse({"-o", c.value});
        ASSERT_EQ(p.ok, 1) << c.value << p.error;
        const EvStartSettings &s = p.settings;
        EXPECT_EQ(s.absorbGrace, c.grace) << c.value;
        EXPECT_EQ(s.absorbSweep, c.sweep) << c.value;
        EXPECT_EQ(s.absorbCheck, c.check) << c.value;
        EXPECT_EQ(s.absorbSweepDisabled, c.disabled) << c.value;
        EXPECT_EQ(s.heldBinThreshold, c.window) << c.value;
        EXPECT_EQ(s.emitFailDelay, c.delay) << c.value;
        EXPECT_EQ(s.emitFailDelayMax, c.delayMax) << c.value;
        EXPECT_EQ(s.connectSuppress, c.suppress) << c.value;
    }
}

TEST(Options, DebugLettersAddBitsAndSettings) {
    Parsed p = parse({"-D", "gFzC", "-D", "mtc930", "-v", "hr"});
    ASSERT_EQ(p.ok, 1);
    EXPECT_EQ(p.settings.debugOptions, EV_OPT_g | EV_OPT_F | EV_OPT_m);  // z is not a letter: ignored
    EXPECT_EQ(p.settings.sendEachItem, 1);
    EXPECT_EQ(p.settings.scriptTrace, 1);
    EXPECT_EQ(p.settings.statsCommandLevel, 930);
    EXPECT_STREQ(p.settings.verboseLetters, "hr");

    // A command level past the range is ignored, as an unknown letter is; the letters after it count.
    Parsed big = parse({"-D", "c99999999999k"});
    ASSERT_EQ(big.ok, 1);
    EXPECT_EQ(big.settings.statsCommandLevel, 0);
    EXPECT_EQ(big.settings.debugOptions, EV_OPT_k);
}

TEST(Options, EnvironmentGivesHeartbeatAndLogRoot) {
    struct Case {
        EvEnvironment env;
        std::vector<const char *> args;
        int32_t heartbeat;
        const char *logRoot;
    } cases[] = {
        {{"0", nullptr, "/opt/zunt", "/cwd"}, {}, 0, "/opt/zunt"},
        {{"600", "/logs", "/opt/zunt", "/cwd"}, {}, 600, "/logs"},
        {{"99999999999", ".", "/opt/zunt", "/cwd"}, {}, 86400, "/cwd"},  // too big: ignored
        {{nullptr, "/logs", "/opt/zunt", "/cwd"}, {"-L", "/mine"}, 86400, "/mine"},
        {{nullptr, nullptr, nullptr, "/cwd"}, {"-L", "."}, 86400, "/cwd"},
        {{"", "", "/opt/zunt", "/cwd"}, {}, 86400, "/opt/zunt"},  // set but empty: as if unset
    };
    for (Case &c : cases) {
        Parsed p = parse(c.args, &c.env);
        ASSERT_EQ(p.ok, 1);
        EXPECT_EQ(p.settings.heartbeat, c.heartbeat);
        EXPECT_STREQ(p.settings.logRoot, c.logRoot);
    }
}

// A value that would silently switch the heartbeat or the log off is refused with its own message.
TEST(Options, EnvironmentValuesThatWouldSwitchSomethingOffAreRefused) {
    const std::string longPath(EV_LOG_ROOT_MAX, 'p');
    struct Case {
        EvEnvironment env;
        std::string error;
    } cases[] = {
        {{"abc", nullptr, "/opt/zunt", "/cwd"}, "ZUNT_LOG_HB must be a number of seconds, not 'abc'\n\n"},
        {{"60s", nullptr, "/opt/zunt", "/cwd"}, "ZUNT_LOG_HB must be a number of seconds, not '60s'\n\n"},
        {{nullptr, longPath.c_str(), "/opt/zunt", "/cwd"},
         "ZUNT_LOG_PATH is longer than 1023 characters\n\n"},
    };
    for (Case &c : cases) {
        Parsed p = parse({}, &c.env);
        EXPECT_EQ(p.ok, 0) << c.error;
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(Options, ReadIntActsAsAtoiButRefusesOverflow) {
    struct Case {
        const char *text;
        int ok;
        int32_t value;
    } cases[] = {{"42", 1, 42},
                 {"  -7x", 1, -7},
                 {"", 1, 0},
                 {"abc", 1, 0},
                 {"2147483647", 1, 2147483647},
                 {"-2147483648", 1, INT32_MIN},
                 {"2147483648", 0, 0},
                 {"-2147483649", 0, 0},
                 {"000000000000000000001", 1, 1}};
    for (const Case &c : cases) {
        int32_t value = 0;
        EXPECT_EQ(evReadInt(c.text, &value, nullptr), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

}  // namespace
