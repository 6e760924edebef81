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

TEST(FormatInterval, FullFormNamesEachUnitWithPluralsAndTrailingBlanks) {
    EXPECT_EQ(format(86400 + 3600 + 60 + 1, 1), "1 Day 1 Hr 1 Min 1 Sec ");
    EXPECT_EQ(format(7200, 1), "2 Hrs ");
    EXPECT_EQ(format(0, 1), "0 Sec ");
    EXPECT_EQ(format(2 * 86400 + 59, 1), "2 Days 59 Secs ");
    EXPECT_EQ(format(2147483647, 1), "24855 Days 3 Hrs 14 Mins 7 Secs ");
}

TEST(FormatInterval, FullFormIsTheDefault) {
    char buffer[CS_INTERVAL_TEXT_MAX];
    CSFormatInterval(120, buffer);
    EXPECT_STREQ(buffer, "2 Mins ");
}

TEST(FormatInterval, ShortFormUsesTheLargestUnitWithOneDecimal) {
    EXPECT_EQ(format(7200, 0), "2 Hours ");
    EXPECT_EQ(format(86400, 0), "1 Day ");
    EXPECT_EQ(format(3600, 0), "1 Hour ");
    EXPECT_EQ(format(90, 0), "1.5 Minutes ");
    EXPECT_EQ(format(0, 0), "0 Seconds ");
    EXPECT_EQ(format(1, 0), "1 Second ");
}

TEST(ParseInterval, UnitsInAnySpellingAndCase) {
    int ok = -1;
    EXPECT_EQ(parse("1 day 2 hours", &ok), 93600);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(parse("2d3h", &ok), 183600);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(parse("90", &ok), 90);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(parse("3 Mins", &ok), 180);
    EXPECT_EQ(parse("3 Minutes", &ok), 180);
    EXPECT_EQ(parse("3 MIN", &ok), 180);
    EXPECT_EQ(parse("2 hrs 30", &ok), 7230);  // a last number without a unit is seconds
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(parse("  ", &ok), 0);
    EXPECT_EQ(ok, 1);
}

TEST(ParseInterval, BadTextsClearOkAndKeepTheTotalSoFar) {
    int ok = 1;
    EXPECT_EQ(parse("5 weeks", &ok), 0);
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(parse("3 x", &ok), 0);
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(parse("1h x", &ok), 3600);
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(parse("-5", &ok), 0);
    EXPECT_EQ(ok, 0);
}

TEST(ParseInterval, CountedTextStopsAtItsLength) {
    int ok = 0;
    EXPECT_EQ(CSParseInterval("2d3h", 2, CSIntervalUnits, &ok), 172800);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(CSParseInterval("12345", 3, CSIntervalUnits, &ok), 123);
    EXPECT_EQ(CSParseInterval("1 Minute", 3, CSIntervalUnits, &ok), 60);  // "1 M": the letter m
}

TEST(ParseInterval, SumsExactlyIn64Bits) {
    int ok = 0;
    EXPECT_EQ(parse("400 d 1 s", &ok), 34560001);  // a 32-bit real gave 34560000
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(parse("24855 d 3 h 14 m 7 s", &ok), 2147483647);
    EXPECT_EQ(ok, 1);
}

TEST(ParseInterval, NumbersAndTotalsPast32BitsClearOk) {
    int ok = 1;
    EXPECT_EQ(parse("1234567890123456789012345", &ok), 0);
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(parse("1 h 9999999999999999999999999 d", &ok), 3600);  // the total before the bad part
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(parse("1 m 24856 d", &ok), 60);
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(parse("24855 d 3 h 14 m 8", &ok), 2147483640);
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(parse("2147483647", &ok), 2147483647);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(parse("2147483648", &ok), 0);
    EXPECT_EQ(ok, 0);
}

TEST(ParseInterval, RoundTripsTheFullForm) {
    for (int32_t seconds : {0, 1, 59, 61, 3599, 86399, 93784, 31536000, 2147483647}) {
        int ok = 0;
        EXPECT_EQ(parse(format(seconds, 1).c_str(), &ok), seconds);
        EXPECT_EQ(ok, 1);
    }
}

}  // namespace
