// Time slots of the collation kinds and their labels.
#include <climits>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

using zt::utc;

std::string label(int kind, int slot) {
    char out[TIMESLOT_LABEL_SIZE];
    int length = timeSlotLabel(kind, slot, out);
    EXPECT_EQ(static_cast<size_t>(length), std::string(out).size());
    return out;
}

TEST(TimeSlotIndex, SundayNightInLocalTime) {
    zt::ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    int64_t sunday = utc(2025, 3, 2, 22, 59);  // 23:59 local, Sunday 2 March
    EXPECT_EQ(timeSlotIndex(20, sunday), 6);
    EXPECT_EQ(timeSlotIndex(21, sunday), 13);
    EXPECT_EQ(timeSlotIndex(22, sunday), 20);
    EXPECT_EQ(timeSlotIndex(25, sunday), 167);
    EXPECT_EQ(timeSlotIndex(44, sunday), 23);
    EXPECT_EQ(timeSlotIndex(45, sunday), 47);
    EXPECT_EQ(timeSlotIndex(48, sunday), 287);
    EXPECT_EQ(timeSlotIndex(49, sunday), 0);
    EXPECT_EQ(timeSlotIndex(50, sunday), 0);
    EXPECT_EQ(timeSlotIndex(61, sunday), 3);
    EXPECT_EQ(timeSlotIndex(64, sunday), 59);
    EXPECT_EQ(timeSlotIndex(70, sunday), 1);
    EXPECT_EQ(timeSlotIndex(71, sunday), 1);
    EXPECT_EQ(timeSlotIndex(80, sunday), 2);
    EXPECT_EQ(timeSlotIndex(81, sunday), 1);
    EXPECT_EQ(timeSlotIndex(82, sunday), 0);
    EXPECT_EQ(timeSlotIndex(83, sunday), 6);
    EXPECT_EQ(timeSlotIndex(90, sunday), 8);  // day 60 of the year
}

TEST(TimeSlotIndex, ShiftsOfMonday) {
    zt::ScopedTZ tz("UTC0");
    EXPECT_EQ(timeSlotIndex(71, utc(2025, 3, 3, 9, 0)), 0);
    EXPECT_EQ(timeSlotIndex(50, utc(2025, 3, 3, 9, 0)), 1);
    EXPECT_EQ(timeSlotIndex(71, utc(2025, 3, 3, 16, 59)), 0);
    EXPECT_EQ(timeSlotIndex(71, utc(2025, 3, 3, 17, 0)), 1);
    EXPECT_EQ(timeSlotIndex(49, utc(2025, 3, 3, 4, 0)), 1);
    EXPECT_EQ(timeSlotIndex(49, utc(2025, 3, 3, 12, 0)), 2);
    EXPECT_EQ(timeSlotIndex(49, utc(2025, 3, 3, 3, 59)), 0);
    EXPECT_EQ(timeSlotIndex(50, utc(2025, 3, 3, 18, 0)), 0);
    EXPECT_EQ(timeSlotIndex(70, utc(2025, 3, 7, 12, 0)), 0);  // Friday
    EXPECT_EQ(timeSlotIndex(20, utc(2025, 3, 3, 0, 0)), 0);
}

TEST(TimeSlotIndex, UnknownKindsAndTimesGiveZero) {
    zt::ScopedTZ tz("UTC0");
    int64_t sunday = utc(2025, 3, 2, 23, 59);
    EXPECT_EQ(timeSlotIndex(19, sunday), 0);
    EXPECT_EQ(timeSlotIndex(30, sunday), 0);
    EXPECT_EQ(timeSlotIndex(91, sunday), 0);
    EXPECT_EQ(timeSlotIndex(20, INT64_MAX), 0);
}

TEST(TimeSlotLabel, LabelsOfEachKind) {
    EXPECT_EQ(label(20, 0), "Monday");
    EXPECT_EQ(label(20, 6), "Sunday");
    EXPECT_EQ(label(21, 1), "Mon 12:00");
    EXPECT_EQ(label(22, 20), "Sun 16:00");
    EXPECT_EQ(label(25, 167), "Sun 23:00");
    EXPECT_EQ(label(40, 1), "12:00");
    EXPECT_EQ(label(44, 9), "09:00");
    EXPECT_EQ(label(45, 3), "01:30");
    EXPECT_EQ(label(48, 287), "23:55");
    EXPECT_EQ(label(49, 0), "20:00-04:00");
    EXPECT_EQ(label(49, 1), "04:00-12:00");
    EXPECT_EQ(label(49, 2), "12:00-20:00");
    EXPECT_EQ(label(50, 0), "Night");
    EXPECT_EQ(label(50, 1), "Day");
    EXPECT_EQ(label(60, 1), "30m");
    EXPECT_EQ(label(63, 11), "55m");
    EXPECT_EQ(label(70, 1), "Sat-Sun");
    EXPECT_EQ(label(71, 0), "09:00-17:00");
    EXPECT_EQ(label(80, 0), "January");
    EXPECT_EQ(label(80, 11), "December");
    EXPECT_EQ(label(83, 8), "2nd Tue");
    EXPECT_EQ(label(83, 34), "5th Sun");
    EXPECT_EQ(label(90, 21), "22nd");
    EXPECT_EQ(label(82, 4), "5th");
}

TEST(TimeSlotLabel, Ordinals) {
    const char *expected[] = {"1st",  "2nd",  "3rd",  "4th",  "11th", "12th", "13th",
                              "20th", "21st", "22nd", "23rd", "24th", "31st"};
    int slots[] = {0, 1, 2, 3, 10, 11, 12, 19, 20, 21, 22, 23, 30};
    for (size_t i = 0; i < std::size(slots); ++i) EXPECT_EQ(label(81, slots[i]), expected[i]);
}

TEST(TimeSlotLabel, UnknownKindsAndSlotsOutsideNameTables) {
    EXPECT_EQ(label(30, 0), "Unknown");
    EXPECT_EQ(label(19, 0), "Unknown");
    EXPECT_EQ(label(91, 0), "Unknown");
    EXPECT_EQ(label(20, 9), "Unknown");
    EXPECT_EQ(label(20, -1), "Unknown");
    EXPECT_EQ(label(21, 14), "Unknown");
    EXPECT_EQ(label(25, 168), "Unknown");
    EXPECT_EQ(label(70, 2), "Unknown");
    EXPECT_EQ(label(71, -1), "Unknown");
    EXPECT_EQ(label(80, 12), "Unknown");
    EXPECT_EQ(label(83, 35), "Unknown");
    EXPECT_EQ(label(49, 3), "00:00-00:00");
    EXPECT_EQ(label(49, -1), "00:00-00:00");
    EXPECT_EQ(label(50, 2), "??");
}

TEST(TimeSlotLabel, ExtremeSlotsStayInsideTheBuffer) {
    for (int kind : {21, 40, 45, 48, 60, 81, 82, 90}) {
        for (int slot : {INT_MIN, -1, INT_MAX}) {
            std::string text = label(kind, slot);
            EXPECT_LT(text.size(), TIMESLOT_LABEL_SIZE) << kind << " " << slot;
        }
    }
    EXPECT_EQ(label(90, INT_MAX), "2147483648th");
}

}  // namespace
