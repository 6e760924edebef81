// Time slots for the COLLATE option of the statistics displays: a local time falls into one slot of a
// kind (day of the week, hour, shift, month...), and each slot has a label for the response.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/os_time.h"
#include "platform/scan.h"

namespace {

// What a kind counts in: the slot is that count divided by the kind's step.
enum class Basis {
    DayOfWeek,       // Monday = 0
    DayHour,         // day of week x 24 + hour
    Hour,            // 0 to 23
    MinuteOfDay,     // hour x 60 + minute
    Shift,           // ((hour + 4) / 8) mod 3
    DayNight,        // ((hour + 6) / 12) mod 2
    Minute,          // of the hour
    Weekend,         // 0 Monday to Friday, 1 Saturday and Sunday
    OfficeHours,     // 0 for hours 9 to 16, else 1
    Month,           // January = 0
    DayOfMonth,      // 0-based
    WeekDayOfMonth,  // week of the month x 7 + day of week
    DayOfYear,       // 0-based
};

// How a slot is labelled; the first hour or minute of a slot is slot x step.
enum class Label {
    DayName,
    DayAndHour,
    Hour,  // 0 to 23
    HourMinute,
    Shift,
    DayNight,
    Minutes,
    Weekend,
    Office,
    Month,
    Ordinal,
    OrdinalDay
};

struct SlotKind {
    int kind;
    Basis basis;
    int step;
    Label label;
};

constexpr SlotKind kKinds[] = {
    {20, Basis::DayOfWeek, 1, Label::DayName},
    {21, Basis::DayHour, 12, Label::DayAndHour},
    {22, Basis::DayHour, 8, Label::DayAndHour},
    {23, Basis::DayHour, 4, Label::DayAndHour},
    {24, Basis::DayHour, 2, Label::DayAndHour},
    {25, Basis::DayHour, 1, Label::DayAndHour},
    {40, Basis::Hour, 12, Label::Hour},
    {41, Basis::Hour, 8, Label::Hour},
    {42, Basis::Hour, 4, Label::Hour},
    {43, Basis::Hour, 2, Label::Hour},
    {44, Basis::Hour, 1, Label::Hour},
    {45, Basis::MinuteOfDay, 30, Label::HourMinute},
    {46, Basis::MinuteOfDay, 15, Label::HourMinute},
    {47, Basis::MinuteOfDay, 10, Label::HourMinute},
    {48, Basis::MinuteOfDay, 5, Label::HourMinute},
    {49, Basis::Shift, 1, Label::Shift},
    {50, Basis::DayNight, 1, Label::DayNight},
    {60, Basis::Minute, 30, Label::Minutes},
    {61, Basis::Minute, 15, Label::Minutes},
    {62, Basis::Minute, 10, Label::Minutes},
    {63, Basis::Minute, 5, Label::Minutes},
    {64, Basis::Minute, 1, Label::Minutes},
    {70, Basis::Weekend, 1, Label::Weekend},
    {71, Basis::OfficeHours, 1, Label::Office},
    {80, Basis::Month, 1, Label::Month},
    {81, Basis::DayOfMonth, 1, Label::Ordinal},
    {82, Basis::DayOfMonth, 7, Label::Ordinal},
    {83, Basis::WeekDayOfMonth, 1, Label::OrdinalDay},
    {90, Basis::DayOfYear, 7, Label::Ordinal},
};

const char *const kDayNames[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                  "Friday", "Saturday", "Sunday"};
const char *const kDayShort[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char *const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};
const char *const kShifts[3] = {"20:00-04:00", "04:00-12:00", "12:00-20:00"};
const char *const kDayNight[2] = {"Night", "Day"};
const char *const kWeekParts[2] = {"Mon-Fri", "Sat-Sun"};
const char *const kOfficeParts[2] = {"09:00-17:00", "17:00-09:00"};

const SlotKind *findKind(int kind) {
    for (const SlotKind &row : kKinds)
        if (row.kind == kind) return &row;
    return nullptr;
}

int count(const struct tm &local, Basis basis) {
    int day = (local.tm_wday + 6) % 7;
    int hour = local.tm_hour;
    switch (basis) {
        case Basis::DayOfWeek:
            return day;
        case Basis::DayHour:
            return day * 24 + hour;
        case Basis::Hour:
            return hour;
        case Basis::MinuteOfDay:
            return hour * 60 + local.tm_min;
        case Basis::Shift:
            return ((hour + 4) / 8) % 3;
        case Basis::DayNight:
            return ((hour + 6) / 12) % 2;
        case Basis::Minute:
            return local.tm_min;
        case Basis::Weekend:
            return day >= 5 ? 1 : 0;
        case Basis::OfficeHours:
            return hour >= 9 && hour <= 16 ? 0 : 1;
        case Basis::Month:
            return local.tm_mon;
        case Basis::DayOfMonth:
            return local.tm_mday - 1;
        case Basis::WeekDayOfMonth:
            return ((local.tm_mday - 1) / 7) * 7 + day;
        case Basis::DayOfYear:
            return local.tm_yday;
    }
    return 0;
}

int finish(char *output) {
    return static_cast<int>(std::strlen(output));
}

// A label from a name table: `otherwise` for a slot outside it.
int putName(char *output, const char *const *names, int size, int slot, const char *otherwise = "Unknown") {
    std::snprintf(output, TIMESLOT_LABEL_SIZE, "%s", slot >= 0 && slot < size ? names[slot] : otherwise);
    return finish(output);
}

int putUnknown(char *output) {
    return putName(output, nullptr, 0, 0);
}

// 1st, 2nd, 3rd, 4th ... 11th, 12th, 13th ... 20th; above 20 by the last digit: 21st, 22nd, 23rd, 31st.
int putOrdinal(char *output, long long number, const char *after) {
    long long key = number > 20 ? number % 10 : number;
    const char *suffix = key == 1 ? "st" : key == 2 ? "nd" : key == 3 ? "rd" : "th";
    std::snprintf(output, TIMESLOT_LABEL_SIZE, "%lld%s%s", number, suffix, after);
    return finish(output);
}

}  // namespace

int timeSlotIndex(int kind, int64_t time) {
    const SlotKind *row = findKind(kind);
    if (row == nullptr) return 0;
    time_t seconds = time;
    struct tm local {};
    if (csLocalTime(&seconds, &local) == nullptr) return 0;
    return count(local, row->basis) / row->step;
}

int timeSlotLabel(int kind, int slot, char *output) {
    const SlotKind *row = findKind(kind);
    if (row == nullptr) return putUnknown(output);
    // In 64 bits: a slot from a caller may be any int.
    long long first = static_cast<long long>(slot) * row->step;
    switch (row->label) {
        case Label::DayName:
            return putName(output, kDayNames, 7, slot);
        case Label::DayAndHour:
            if (first < 0 || first >= 7 * 24) return putUnknown(output);
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%s %2.2lld:00", kDayShort[first / 24], first % 24);
            return finish(output);
        case Label::Hour:
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%2.2lld:00", first);
            return finish(output);
        case Label::HourMinute:
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%2.2lld:%2.2lld", first / 60, first % 60);
            return finish(output);
        case Label::Shift:
            return putName(output, kShifts, 3, slot, "00:00-00:00");
        case Label::DayNight:
            return putName(output, kDayNight, 2, slot, "??");
        case Label::Minutes:
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%2.2lldm", first);
            return finish(output);
        case Label::Weekend:
            return putName(output, kWeekParts, 2, slot);
        case Label::Office:
            return putName(output, kOfficeParts, 2, slot);
        case Label::Month:
            return putName(output, kMonthNames, 12, slot);
        case Label::Ordinal:
            return putOrdinal(output, static_cast<long long>(slot) + 1, "");
        case Label::OrdinalDay: {
            if (slot < 0 || slot >= 35) return putUnknown(output);
            char day[8];
            std::snprintf(day, sizeof day, " %s", kDayShort[slot % 7]);
            return putOrdinal(output, slot / 7 + 1, day);
        }
    }
    return putUnknown(output);
}
