// MQ date and time texts, the time-zone keyword and the text of a time.
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

const char kCET[] = "CET-1CEST,M3.5.0,M10.5.0/3";

using zt::utc;

// The seconds of the texts, or nothing when they are refused.
std::optional<int64_t> mqTime(const char *date, const char *time) {
    int64_t seconds = 0;
    if (!evMQDateTimeToTime(date, date ? std::strlen(date) : 0, time, time ? std::strlen(time) : 0, &seconds))
        return std::nullopt;
    return seconds;
}

std::optional<int64_t> ymdhms(const char *date, const char *time) {
    int64_t seconds = 0;
    if (!evYMDHMSToTime(date, time, &seconds)) return std::nullopt;
    return seconds;
}

TEST(EvMQDateTimeToTime, ReadsLocalDateAndTime) {
    zt::ScopedTZ tz(kCET);
    EXPECT_EQ(mqTime("2025-03-02", "13.45.00"), utc(2025, 3, 2, 12, 45, 0));
    EXPECT_EQ(mqTime("2025-07-01", "13.45.30"), utc(2025, 7, 1, 11, 45, 30));  // daylight saving
}

TEST(EvMQDateTimeToTime, AShortOrMissingFieldMeans1970OrMidnight) {
    zt::ScopedTZ tz(kCET);
    EXPECT_EQ(mqTime("2025-03-0", "13.45.00"), utc(1970, 1, 1, 12, 45, 0));  // 9 characters
    int64_t seconds = 0;
    EXPECT_EQ(evMQDateTimeToTime("2025-03-02", 9, "00.00.00", 8, &seconds), 1);
    EXPECT_EQ(seconds, -3600);  // local midnight of 1970
    EXPECT_EQ(mqTime(nullptr, nullptr), -3600);
    EXPECT_EQ(mqTime("2025-03-02", "13.45.0"), utc(2025, 3, 1, 23, 0, 0));
    EXPECT_EQ(mqTime("2025-03-02", nullptr), utc(2025, 3, 1, 23, 0, 0));
}

TEST(EvMQDateTimeToTime, AFieldThatIsNotDigitsIsRefused) {
    zt::ScopedTZ tz("UTC0");
    EXPECT_EQ(mqTime("2025-0x-02", "13.45.00"), std::nullopt);
    EXPECT_EQ(mqTime("2025-03-02", "13.4 .00"), std::nullopt);
    EXPECT_EQ(mqTime("    -  -  ", "        "), std::nullopt);
    EXPECT_EQ(mqTime("2025-03-02", "13.45.00"), utc(2025, 3, 2, 13, 45, 0));
    // Only the fields are digits; the separators are not looked at.
    EXPECT_EQ(mqTime("2025/03/02", "13:45:00"), utc(2025, 3, 2, 13, 45, 0));
}

TEST(EvYMDHMSToTime, ReadsUtcAndRefusesBadTexts) {
    zt::ScopedTZ tz(kCET);
    EXPECT_EQ(ymdhms("20250302", "134500"), utc(2025, 3, 2, 13, 45, 0));
    EXPECT_EQ(ymdhms(nullptr, "134500"), std::nullopt);
    EXPECT_EQ(ymdhms("20250302", nullptr), std::nullopt);
    EXPECT_EQ(ymdhms("2025x302", "134500"), std::nullopt);
    EXPECT_EQ(ymdhms("2025", "134500"), std::nullopt);  // stops at the NUL
    EXPECT_EQ(ymdhms("20250302", "13"), std::nullopt);
}

// The second before 1970 is -1, a time like any other: only a refusal is told by the result.
TEST(EvMQDateTimeToTime, TheSecondBefore1970IsATime) {
    zt::ScopedTZ tz("UTC0");
    EXPECT_EQ(mqTime("1969-12-31", "23.59.59"), -1);
    EXPECT_EQ(ymdhms("19691231", "235959"), -1);
}

TEST(EvNowDateTime, WritesExactlyTenAndEightCharacters) {
    zt::ScopedTZ tz(kCET);
    char date[12], time[10];
    std::memset(date, '#', sizeof date);
    std::memset(time, '#', sizeof time);
    int64_t when = utc(2025, 3, 2, 12, 45, 0);
    EXPECT_EQ(evNowDateTime(&when, date, time), when);
    EXPECT_EQ(std::string(date, sizeof date), "2025-03-02##");
    EXPECT_EQ(std::string(time, sizeof time), "13.45.00##");
}

TEST(EvNowDateTime, WithoutATimeUsesTheClock) {
    zt::ScopedTZ tz(kCET);
    zt::TestClock clock(utc(2025, 7, 1, 22, 30, 5));
    char date[10], time[8];
    EXPECT_EQ(evNowDateTime(nullptr, date, time), clock.now());
    EXPECT_EQ(std::string(date, 10), "2025-07-02");
    EXPECT_EQ(std::string(time, 8), "00.30.05");
}

TEST(EvNowDateTime, ATimeThatCannotBeBrokenDownGivesZeros) {
    zt::ScopedTZ tz("UTC0");
    char date[12], time[10];
    std::memset(date, '#', sizeof date);
    std::memset(time, '#', sizeof time);
    int64_t when = INT64_MAX;
    EXPECT_EQ(evNowDateTime(&when, date, time), INT64_MAX);
    EXPECT_EQ(std::string(date, sizeof date), "0000-00-00##");
    EXPECT_EQ(std::string(time, sizeof time), "00.00.00##");
    when = utc(10000, 1, 1, 0, 0, 0);  // no four-digit year
    evNowDateTime(&when, date, time);
    EXPECT_EQ(std::string(date, 10), "0000-00-00");
}

TEST(EvNowDateTime, MqTimeDebugPrintsWhatItWasGiven) {
    zt::ScopedTZ tz("UTC0");
    zt::ScopedEnv debug("MQ_TIMEDEBUG", "1");
    zt::TestClock clock(1000);
    char date[10], time[8];
    int64_t when = 5000;
    testing::internal::CaptureStdout();
    evNowDateTime(&when, date, time);
    when = INT64_MAX;
    evNowDateTime(&when, date, time);
    evNowDateTime(nullptr, date, time);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Time passed  : 5000 (Now is 1000)\n"
              "Time passed  : 9223372036854775807 (Now is 1000)\n"
              "Invalid time received : 9223372036854775807 (Now is 1000)\n");
}

TEST(EvFindTZ, FindsTheKeywordInAnyCase) {
    const char *text = "DIS STATQ(*) tz(60)";
    EXPECT_EQ(evFindTZ(text), text + 13);
    text = "xTz(";
    EXPECT_EQ(evFindTZ(text), text + 1);
    EXPECT_EQ(evFindTZ("DIS STATQ(*) TZ"), nullptr);
    EXPECT_EQ(evFindTZ("T"), nullptr);
    EXPECT_EQ(evFindTZ(""), nullptr);
    EXPECT_EQ(evFindTZ(nullptr), nullptr);
}

}  // namespace
