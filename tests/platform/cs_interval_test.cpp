// Interval texts both ways: the full and short forms, unit spellings, bad texts, and totals and
// numbers past 32 bits.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

std::string format(int32_t seconds, int full) {
    char buffer[CS_INTERVAL_TEXT_MAX];
    CSFormatInterval(seconds, buffer, full);
    return buffer;
}

int32_t parse(const char *text, int *ok) {
    return CSParseInterval(text, CS_NUL_TERMINATED, CSIntervalUnits, ok);
}

TEST(FormatInterval, FullAndShortForms) {
    const struct {
        int32_t seconds;
        int full;
        const char *text;
    } cases[] = {
        // The full form names each unit, with plurals and trailing blanks.
        {86400 + 3600 + 60 + 1, 1, "1 Day 1 Hr 1 Min 1 Sec "},
        {7200, 1, "2 Hrs "},
        {0, 1, "0 Sec "},
        {2 * 86400 + 59, 1, "2 Days 59 Secs "},
        {2147483647, 1, "24855 Days 3 Hrs 14 Mins 7 Secs "},
        // The short form uses the largest unit with one decimal.
        {7200, 0, "2 Hours "},
        {86400, 0, "1 Day "},
        {3600, 0, "1 Hour "},
        {90, 0, "1.5 Minutes "},
        {0, 0, "0 Seconds "},
        {1, 0, "1 Second "},
    };
    for (const auto &c : cases)
        EXPECT_EQ(format(c.seconds, c.full), c.text) << c.seconds << " full " << c.full;
}

TEST(FormatInterval, FullFormIsTheDefault) {
    char buffer[CS_INTERVAL_TEXT_MAX];
    CSFormatInterval(120, buffer);
    EXPECT_STREQ(buffer, "2 Mins ");
}

// The total and ok of each text; ok starts as the opposite of what is expected, so that it is seen
// set or cleared. A bad text keeps the total up to its bad part.
TEST(ParseInterval, TotalsAndOk) {
    const struct {
        const char *text;
        uint32_t length;  // CS_NUL_TERMINATED, or a counted text's length
        int32_t total;
        int ok;
    } cases[] = {
        // Units in any spelling and case.
        {"1 day 2 hours", CS_NUL_TERMINATED, 93600, 1},
        {"2d3h", CS_NUL_TERMINATED, 183600, 1},
        {"90", CS_NUL_TERMINATED, 90, 1},
        {"3 Mins", CS_NUL_TERMINATED, 180, 1},
        {"3 Minutes", CS_NUL_TERMINATED, 180, 1},
        {"3 MIN", CS_NUL_TERMINATED, 180, 1},
        {"2 hrs 30", CS_NUL_TERMINATED, 7230, 1},  // a last number without a unit is seconds
        {"  ", CS_NUL_TERMINATED, 0, 1},
        // Bad texts.
        {"5 weeks", CS_NUL_TERMINATED, 0, 0},
        {"3 x", CS_NUL_TERMINATED, 0, 0},
        {"1h x", CS_NUL_TERMINATED, 3600, 0},
        {"-5", CS_NUL_TERMINATED, 0, 0},
        // A counted text stops at its length.
        {"2d3h", 2, 172800, 1},
        {"12345", 3, 123, 1},
        {"1 Minute", 3, 60, 1},  // "1 M": the letter m
        // Sums exactly in 64 bits.
        {"400 d 1 s", CS_NUL_TERMINATED, 34560001, 1},  // a 32-bit real gave 34560000
        {"24855 d 3 h 14 m 7 s", CS_NUL_TERMINATED, 2147483647, 1},
        // Numbers and totals past 32 bits.
        {"1234567890123456789012345", CS_NUL_TERMINATED, 0, 0},
        {"1 h 9999999999999999999999999 d", CS_NUL_TERMINATED, 3600, 0},
        {"1 m 24856 d", CS_NUL_TERMINATED, 60, 0},
        {"24855 d 3 h 14 m 8", CS_NUL_TERMINATED, 2147483640, 0},
        {"2147483647", CS_NUL_TERMINATED, 2147483647, 1},
        {"2147483648", CS_NUL_TERMINATED, 0, 0},
    };
    for (const auto &c : cases) {
        int ok = !c.ok;
        EXPECT_EQ(CSParseInterval(c.text, c.length, CSIntervalUnits, &ok), c.total) << c.text;
        EXPECT_EQ(ok, c.ok) << c.text;
    }
}

TEST(ParseInterval, RoundTripsTheFullForm) {
    for (int32_t seconds : {0, 1, 59, 61, 3599, 86399, 93784, 31536000, 2147483647}) {
        int ok = 0;
        EXPECT_EQ(parse(format(seconds, 1).c_str(), &ok), seconds);
        EXPECT_EQ(ok, 1);
    }
}

}  // namespace
