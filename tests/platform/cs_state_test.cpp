// The clock table, the test clock that replaces it, and the time-zone values.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(Clock, TestClockReplacesTheTableAndItsSleepAdvancesIt) {
    int64_t real = evTimeNow();
    {
        zt::TestClock clock(1000000);
        EXPECT_EQ(evTimeNow(), 1000000);
        EXPECT_EQ(evClockNow(), 1000000);
        evSleepMs(2500);
        EXPECT_EQ(evTimeNow(), 1000002);
        EXPECT_EQ(evClockNow(), 1000000);  // the cached clock moves only when ticked
        EXPECT_EQ(evClockTick(), 1000002);
        EXPECT_EQ(evClockNow(), 1000002);
        EXPECT_EQ(clock.sleepCount(), 1u);
        EXPECT_EQ(clock.sleptMs(), 2500u);
        clock.set(5);
        EXPECT_EQ(evClockNow(), 5);
    }
    EXPECT_GE(evTimeNow(), real);
    EXPECT_GE(evClockNow(), real);
}

TEST(TimeZone, CentralEuropeInWinterAndSummer) {
    zt::ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    zt::TestClock clock(1767268800);  // 2026-01-01 12:00 UTC
    evRefreshTimeZone();
    EXPECT_EQ(evTzOffset.load(), 60);
    EXPECT_EQ(evTzDaylight.load(), 0);
    EXPECT_EQ(evTzBias.load(), 60);
    clock.set(1783080000);  // 2026-07-03 12:00 UTC
    evRefreshTimeZone();
    EXPECT_EQ(evTzOffset.load(), 120);
    EXPECT_EQ(evTzDaylight.load(), 60);
    EXPECT_EQ(evTzBias.load(), 60);
}

TEST(TimeZone, OffsetIsTheTrueOneForAHalfHourDaylightShift) {
    zt::ScopedTZ tz("LHST-10:30LHDT-11,M10.1.0,M4.1.0");  // Lord Howe: 30-minute daylight shift
    zt::TestClock clock(1767268800);                      // January: daylight time there
    evRefreshTimeZone();
    EXPECT_EQ(evTzOffset.load(), 660);
    EXPECT_EQ(evTzDaylight.load(), 60);
    EXPECT_EQ(evTzBias.load(), 600);
}

TEST(TimeZone, RefreshIsDueAt0300LocalThenDaily) {
    zt::ScopedTZ tz("UTC0");
    zt::TestClock clock(1767268800);  // 2026-01-01 12:00
    evStartTimeZone(evClockNow());
    EXPECT_EQ(evTzNextRefresh.load(), 1767236400);  // 03:00 of the start day, already past
    EXPECT_EQ(evCheckTimeZone(evClockNow()), 1);
    EXPECT_EQ(evTzNextRefresh.load(), 1767236400 + 86400);
    EXPECT_EQ(evCheckTimeZone(evClockNow()), 0);
    EXPECT_EQ(evCheckTimeZone(1767236400 + 86400), 1);
}

}  // namespace
