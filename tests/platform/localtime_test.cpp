// Local calendar time: the fields and the C run-time's date-and-time text follow TZ, also across a
// daylight change.
#ifdef _WIN32
#include <windows.h>
#endif

#include <vector>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

constexpr const char *kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr int64_t kSpringForward = 1774746000;  // 2026-03-29 01:00:00 UTC

TEST(LocalTime, FieldsAcrossTheSpringChange) {
    zt::ScopedTZ tz(kCentralEurope);
    EvLocalTime before, after;
    ASSERT_EQ(evLocalTimeFields(kSpringForward - 1, &before), 1);
    ASSERT_EQ(evLocalTimeFields(kSpringForward, &after), 1);
    EXPECT_EQ(before.year, 2026);
    EXPECT_EQ(before.month, 3);
    EXPECT_EQ(before.day, 29);
    EXPECT_EQ(before.hour, 1);
    EXPECT_EQ(before.minute, 59);
    EXPECT_EQ(before.second, 59);
    EXPECT_EQ(before.weekday, 0);
    EXPECT_EQ(before.yearDay, 87);
    EXPECT_EQ(before.daylight, 0);
    EXPECT_EQ(before.offset, 60);
    EXPECT_EQ(after.hour, 3);
    EXPECT_EQ(after.minute, 0);
    EXPECT_EQ(after.daylight, 1);
    EXPECT_EQ(after.offset, 120);
}

TEST(LocalTime, FieldsGoBackToTheirTimeOnEitherSideOfTheChange) {
    zt::ScopedTZ tz(kCentralEurope);
    for (int64_t t : {kSpringForward - 1, kSpringForward, kSpringForward + 86400 * 200, int64_t{0}}) {
        EvLocalTime fields;
        ASSERT_EQ(evLocalTimeFields(t, &fields), 1);
        int64_t back = 0;
        ASSERT_EQ(evLocalFieldsToTime(&fields, &back), 1);
        EXPECT_EQ(back, t);
    }
    // 23:59:59 on the day of the change, one second short of local midnight (22:00 UTC in summer time).
    EvLocalTime evening{2026, 3, 29, 23, 59, 59, 0, 0, 0, 0};
    int64_t time = 0;
    ASSERT_EQ(evLocalFieldsToTime(&evening, &time), 1);
    EXPECT_EQ(time + 1, kSpringForward + 21 * 3600);
}

TEST(LocalTime, TextIsTheRunTimesTwentyFourCharacters) {
    zt::ScopedTZ tz(kCentralEurope);
    char text[EV_DATE_TIME_TEXT];
    ASSERT_EQ(evLocalDateTimeText(kSpringForward - 1, text), 1);
    EXPECT_STREQ(text, "Sun Mar 29 01:59:59 2026");
    ASSERT_EQ(evLocalDateTimeText(kSpringForward, text), 1);
    EXPECT_STREQ(text, "Sun Mar 29 03:00:00 2026");
    ASSERT_EQ(evLocalDateTimeText(0, text), 1);
    EXPECT_STREQ(text, "Thu Jan  1 01:00:00 1970");  // a one-digit day is padded, as asctime does
}

TEST(LocalTime, ATimeWithoutCalendarDateFails) {
    for (const char *zone : {"UTC0", kCentralEurope}) {  // an offset must not carry a time past the end
        zt::ScopedTZ tz(zone);
        for (int64_t time : {INT64_MAX, INT64_MIN}) {
            char text[EV_DATE_TIME_TEXT] = "x";
            EvLocalTime fields;
            EXPECT_EQ(evLocalDateTimeText(time, text), 0) << zone << " " << time;
            EXPECT_STREQ(text, "");
            EXPECT_EQ(evLocalTimeFields(time, &fields), 0) << zone << " " << time;
            EXPECT_EQ(fields.year, 0);
        }
    }
}

#ifdef _WIN32
// Without TZ the zone is the Windows settings': the fields agree with Windows' own conversion, in
// winter, in summer and before 1970.
TEST(LocalTime, WithoutTZTheFieldsAreThoseOfTheWindowsZone) {
    zt::ScopedEnv tz("TZ", nullptr);
    for (int64_t t : {int64_t{1767268800}, int64_t{1783080000}, int64_t{-150000000}}) {
        ULARGE_INTEGER ticks;
        ticks.QuadPart = static_cast<ULONGLONG>(t + 11644473600LL) * 10000000ULL;  // since 1601
        FILETIME utc{ticks.LowPart, ticks.HighPart};
        SYSTEMTIME universal, local;
        ASSERT_TRUE(FileTimeToSystemTime(&utc, &universal));
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local));
        EvLocalTime fields;
        ASSERT_EQ(evLocalTimeFields(t, &fields), 1);
        EXPECT_EQ(std::vector<int32_t>({fields.year, fields.month, fields.day, fields.hour, fields.minute}),
                  std::vector<int32_t>({local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute}))
            << t;
        int64_t back = 0;
        ASSERT_EQ(evLocalFieldsToTime(&fields, &back), 1);
        EXPECT_EQ(back, t);
    }
}
#endif

}  // namespace
