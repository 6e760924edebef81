// FROM and TO time specifications: splitting into elements, their error texts and reasons, and the
// seconds they name in the local zone and in another one.
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

struct Reported {
    int32_t reason;
    uint32_t parmId;
    std::string text;
};

// Collects what a parameter reports, as the response builder would.
struct Sink {
    std::vector<Reported> errors;
    static void add(void *sink, int32_t reason, uint32_t parmId, const char *text) {
        static_cast<Sink *>(sink)->errors.push_back({reason, parmId, text});
    }
};

using zt::utc;

class TimeSpec : public ::testing::Test {
protected:
    TimeSpecParm parm(const char *name = "FROM", int32_t zoneMinutes = 0, int zoneIsLocal = 1) {
        return TimeSpecParm{name,        name == std::string("FROM") ? TIMESPEC_FROM_ID : 39319u,
                            msg,         sizeof msg,
                            zoneMinutes, zoneIsLocal,
                            &Sink::add,  &sink};
    }

    // Splits the text; the elements are kept in the fixture.
    int split(const char *text, const char *name = "FROM") {
        TimeSpecParm p = parm(name);
        return evParseTimeSpec(&p, text, date, time, relative);
    }

    // Splits and converts in the given zone; the error's reason, or 1 with *result set.
    int value(const char *text, int64_t *result, const char *name = "FROM", int32_t zoneMinutes = 0,
              int zoneIsLocal = 1) {
        TimeSpecParm p = parm(name, zoneMinutes, zoneIsLocal);
        if (!evParseTimeSpec(&p, text, date, time, relative)) return 0;
        return evParseTimeValue(&p, date, time, result);
    }

    // The one error reported, with its text also left in the message buffer.
    void expectError(int32_t reason, const std::string &text, uint32_t parmId = TIMESPEC_FROM_ID) {
        ASSERT_EQ(sink.errors.size(), 1u) << text;
        EXPECT_EQ(sink.errors[0].reason, reason);
        EXPECT_EQ(sink.errors[0].parmId, parmId);
        EXPECT_EQ(sink.errors[0].text, text);
        EXPECT_EQ(std::string(msg), text);
        sink.errors.clear();
        msg[0] = '\0';
    }

    zt::ScopedTZ tz_{"UTC0"};
    zt::TestClock clock_{utc(2025, 3, 2, 10, 0, 0)};
    Sink sink;
    char msg[200] = "";
    char date[TIMESPEC_ELEMENT_SIZE], time[TIMESPEC_ELEMENT_SIZE], relative[TIMESPEC_ELEMENT_SIZE];
};

TEST_F(TimeSpec, DateAndTimeInEitherOrder) {
    EXPECT_EQ(split("2025-03-02 13:45"), 1);
    EXPECT_STREQ(date, "2025-03-02");
    EXPECT_STREQ(time, "13:45");
    EXPECT_STREQ(relative, "");
    EXPECT_EQ(split("  13:45   2025-03-02  "), 1);
    EXPECT_STREQ(date, "2025-03-02");
    EXPECT_STREQ(time, "13:45");
    EXPECT_TRUE(sink.errors.empty());
}

TEST_F(TimeSpec, AnEmptyTextGivesEmptyElements) {
    EXPECT_EQ(split("   "), 1);
    EXPECT_STREQ(date, "");
    EXPECT_STREQ(time, "");
    EXPECT_STREQ(relative, "");
    EXPECT_EQ(split(""), 1);
}

TEST_F(TimeSpec, NowAndAnyStandAlone) {
    EXPECT_EQ(split("now  "), 1);
    EXPECT_STREQ(time, "now");
    EXPECT_EQ(split("ANY"), 1);
    EXPECT_STREQ(time, "any");
    EXPECT_STREQ(date, "");
    EXPECT_EQ(split("now x"), 0);
    expectError(3097, "Error parsing 'FROM' parameter - unrecognised 'now' specification.");
    EXPECT_EQ(split("anything", "TO"), 0);
    expectError(3097, "Error parsing 'TO' parameter - unrecognised 'any' specification.", 39319);
}

TEST_F(TimeSpec, RelativeTimesKeepTheirSign) {
    for (const char *text : {"+2 hours", "-2 hours", "2h", "- 90 min", "+1 day 2 hours"}) {
        EXPECT_EQ(split(text), 1) << text;
        EXPECT_STREQ(relative, text);
        EXPECT_STREQ(date, "");
        EXPECT_STREQ(time, "");
    }
    EXPECT_TRUE(sink.errors.empty());
}

TEST_F(TimeSpec, ElementsGivenTwiceOrMixedAreRefused) {
    EXPECT_EQ(split("13:45 14:00"), 0);
    expectError(3097, "Error parsing 'FROM' parameter - time element can only specified once.");
    EXPECT_EQ(split("2025-03-02 03-04"), 0);
    expectError(3097, "Error parsing 'FROM' parameter - date element can only specified once.");
    EXPECT_EQ(split("13:45 +1 hour"), 0);
    expectError(3097, "Error parsing 'FROM' parameter - you can not mix absolute and relative times.");
    EXPECT_EQ(split("2025-03-02 -1d"), 0);
    expectError(3097, "Error parsing 'FROM' parameter - you can not mix absolute and relative times.");
}

TEST_F(TimeSpec, RelativeTextsThatAreNotIntervalsAreRefused) {
    // "2" is an hour, and "hours" then starts a relative part without a number.
    for (const char *text : {"2 hours", "x", "+1 hour 13:45", "5 weeks", "12:3"}) {
        EXPECT_EQ(split(text), 0) << text;
        expectError(3097, "Error parsing 'FROM' parameter - relative time specification is not valid.");
    }
    // Longer than an element can hold: refused rather than cut.
    std::string longText = "+1 day";
    while (longText.size() < 2 * TIMESPEC_ELEMENT_SIZE) longText += " 1 second";
    EXPECT_EQ(split(longText.c_str()), 0);
    expectError(3097, "Error parsing 'FROM' parameter - relative time specification is not valid.");
}

TEST_F(TimeSpec, DateAndTimeForms) {
    int64_t result = 0;
    EXPECT_EQ(value("2025-03-02 13:45", &result), 1);
    EXPECT_EQ(result, utc(2025, 3, 2, 13, 45));
    EXPECT_EQ(value("13:45 2025-03-02", &result), 1);
    EXPECT_EQ(result, utc(2025, 3, 2, 13, 45));
    EXPECT_EQ(value("2024-12-31 9", &result), 1);
    EXPECT_EQ(result, utc(2024, 12, 31, 9, 0));
    EXPECT_EQ(value("2024-12-31 9.30", &result), 1);
    EXPECT_EQ(result, utc(2024, 12, 31, 9, 30));
    EXPECT_EQ(value("2024-12-31 23.59.58", &result), 1);
    EXPECT_EQ(result, utc(2024, 12, 31, 23, 59, 58));
    EXPECT_EQ(value("2024-12-31 1:02:03", &result), 1);
    EXPECT_EQ(result, utc(2024, 12, 31, 1, 2, 3));
}

TEST_F(TimeSpec, MissingFieldsComeFromTheClockOneSecondOn) {
    int64_t result = 0;
    EXPECT_EQ(value("03-04 13:45", &result), 1);  // the current year
    EXPECT_EQ(result, utc(2025, 3, 4, 13, 45));
    EXPECT_EQ(value("13:45", &result), 1);  // today
    EXPECT_EQ(result, utc(2025, 3, 2, 13, 45));
    EXPECT_EQ(value("2025-01-01", &result), 1);  // the current time of day
    EXPECT_EQ(result, utc(2025, 1, 1, 10, 0, 1));
    EXPECT_EQ(value("now", &result), 1);
    EXPECT_EQ(result, clock_.now() + 1);
    EXPECT_EQ(value("", &result), 1);
    EXPECT_EQ(result, clock_.now() + 1);
}

TEST_F(TimeSpec, AnyIsTheBeginningForFromAndAYearAheadForTo) {
    int64_t result = -1;
    EXPECT_EQ(value("any", &result, "FROM"), 1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(value("Any", &result, "TO"), 1);
    EXPECT_EQ(result, clock_.now() + 1 + 31536000);
    EXPECT_EQ(value("any", &result, "TO", 60, 0), 1);  // the adjusted time, as written
    EXPECT_EQ(result, clock_.now() + 1 + 3600 + 31536000);
}

TEST_F(TimeSpec, FieldsOutOfRangeAreValueErrors) {
    int64_t result = 0;
    EXPECT_EQ(value("25:00", &result, "TO"), 3229);
    expectError(3229, "Parameter 'TO' time format is incorrect", 39319);
    EXPECT_EQ(value("12:60", &result), 3229);
    expectError(3229, "Parameter 'FROM' time format is incorrect");
    EXPECT_EQ(value("12:00:60", &result), 3229);
    expectError(3229, "Parameter 'FROM' time format is incorrect");
    EXPECT_EQ(value("2025-13-01", &result), 3229);
    expectError(3229, "Parameter 'FROM' date format is incorrect");
    EXPECT_EQ(value("2025-00-01", &result), 3229);
    expectError(3229, "Parameter 'FROM' date format is incorrect");
    EXPECT_EQ(value("2025-01-32", &result), 3229);
    expectError(3229, "Parameter 'FROM' date format is incorrect");
    EXPECT_EQ(value("1899-12-31", &result), 3229);
    expectError(3229, "Parameter 'FROM' date format is incorrect");
    EXPECT_EQ(value("23:59:59 2025-12-31", &result), 1);
    EXPECT_EQ(result, utc(2025, 12, 31, 23, 59, 59));
    EXPECT_TRUE(sink.errors.empty());
}

TEST_F(TimeSpec, ElementsOfAnUnknownFormAreSyntaxErrors) {
    int64_t result = 0;
    TimeSpecParm p = parm("TO");
    EXPECT_EQ(evParseTimeValue(&p, "2025/03/02", "", &result), 3097);
    expectError(3097, "Parameter 'TO' date format is incorrect", 39319);
    EXPECT_EQ(evParseTimeValue(&p, "", "12h", &result), 3097);
    expectError(3097, "Parameter 'TO' time format is incorrect", 39319);
}

TEST_F(TimeSpec, LocalZoneConvertsWithDaylightSaving) {
    zt::ScopedTZ cet("CET-1CEST,M3.5.0,M10.5.0/3");
    int64_t result = 0;
    EXPECT_EQ(value("2025-03-02 13:45", &result, "FROM", 60, 1), 1);
    EXPECT_EQ(result, utc(2025, 3, 2, 12, 45));
    EXPECT_EQ(value("2025-07-01 13:45", &result, "FROM", 60, 1), 1);
    EXPECT_EQ(result, utc(2025, 7, 1, 11, 45));
}

// In the hour the autumn change repeats, the local wall clock names two instants: "now" (and an empty
// text) must still be the clock's own second plus one, not the later reading of that wall clock.
TEST_F(TimeSpec, NowInTheRepeatedAutumnHourIsTheClockPlusOneSecond) {
    struct Case {
        const char *zone;
        int64_t now;
        int32_t zoneMinutes;  // the local offset at that instant, daylight saving included
    };
    for (const Case &c : {Case{"CET-1CEST,M3.5.0,M10.5.0/3", utc(2025, 10, 26, 0, 30), 120},
                          Case{"EST5EDT,M3.2.0,M11.1.0", utc(2025, 11, 2, 5, 30), -240}}) {
        zt::ScopedTZ zone(c.zone);
        clock_.set(c.now);
        for (const char *text : {"now", ""}) {
            int64_t result = 0;
            EXPECT_EQ(value(text, &result, "FROM", c.zoneMinutes, 1), 1) << c.zone << " '" << text << "'";
            EXPECT_EQ(result, c.now + 1) << c.zone << " '" << text << "'";
        }
    }
    EXPECT_EQ(utc(2025, 10, 26, 0, 30) + 1, 1761438601);
}

// The wall clock of another zone names an instant: 13:45 at UTC+1 is 12:45Z, whatever zone this
// system runs in.
TEST_F(TimeSpec, AnotherZoneGivesTheInstantItNames) {
    int64_t result = 0;
    EXPECT_EQ(value("2025-03-02 13:45", &result, "FROM", 60, 0), 1);
    EXPECT_EQ(result, utc(2025, 3, 2, 12, 45));
    EXPECT_EQ(value("2025-03-02 13:45", &result, "FROM", -300, 0), 1);
    EXPECT_EQ(result, utc(2025, 3, 2, 18, 45));
    EXPECT_EQ(value("now", &result, "FROM", 600, 0), 1);
    EXPECT_EQ(result, clock_.now() + 1);
    // 10:00Z is 20:00 on the same day at UTC+10: "13:45" there is 03:45Z.
    EXPECT_EQ(value("13:45", &result, "FROM", 600, 0), 1);
    EXPECT_EQ(result, utc(2025, 3, 2, 3, 45));
}

TEST_F(TimeSpec, WorksWithoutAMessageBufferOrSink) {
    TimeSpecParm p{"FROM", TIMESPEC_FROM_ID, nullptr, 0, 0, 1, nullptr, nullptr};
    EXPECT_EQ(evParseTimeSpec(&p, "now x", date, time, relative), 0);
    int64_t result = 0;
    EXPECT_EQ(evParseTimeValue(&p, "", "25:00", &result), 3229);
}

}  // namespace
