// Time slots for the COLLATE option of the statistics displays: a local time falls into one slot of a
// kind (day of the week, hour, shift, month...), and each slot has a label for the response.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/scan.h"

namespace {

const char *const kDayNames[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char *const kDayShort[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char *const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};

// Step in hours of the day-and-hour kinds 21 to 25, in hours of kinds 40 to 44, in minutes of the day
// of kinds 45 to 48 and in minutes of kinds 60 to 64.
int dayHourStep(int kind) {
    static const int steps[] = {12, 8, 4, 2, 1};
    return steps[kind - 21];
}
int hourStep(int kind) {
    static const int steps[] = {12, 8, 4, 2, 1};
    return steps[kind - 40];
}
int dayMinuteStep(int kind) {
    static const int steps[] = {30, 15, 10, 5};
    return steps[kind - 45];
}
int minuteStep(int kind) {
    static const int steps[] = {30, 15, 10, 5, 1};
    return steps[kind - 60];
}

int put(char *output, const char *text) {
    std::snprintf(output, TIMESLOT_LABEL_SIZE, "%s", text);
    return static_cast<int>(std::strlen(output));
}

// A label from a name table: "Unknown" for a slot outside the table.
int putName(char *output, const char *const *names, int count, int slot) {
    return put(output, slot >= 0 && slot < count ? names[slot] : "Unknown");
}

// 1st, 2nd, 3rd, 4th ... 11th, 12th, 13th ... 20th; above 20 by the last digit: 21st, 22nd, 23rd, 31st.
int putOrdinal(char *output, long long number, const char *after) {
    long long key = number > 20 ? number % 10 : number;
    const char *suffix = key == 1 ? "st" : key == 2 ? "nd" : key == 3 ? "rd" : "th";
    std::snprintf(output, TIMESLOT_LABEL_SIZE, "%lld%s%s", number, suffix, after);
    return static_cast<int>(std::strlen(output));
}

}  // namespace

int timeSlotIndex(int kind, int64_t time) {
    if (kind < 20 || kind > 90) return 0;
    time_t seconds = time;
    struct tm local {};
    if (localtime_r(&seconds, &local) == nullptr) return 0;
    int day = (local.tm_wday + 6) % 7;  // Monday = 0
    int hour = local.tm_hour;
    int minuteOfDay = hour * 60 + local.tm_min;
    switch (kind) {
        case 20: return day;
        case 21: case 22: case 23: case 24: case 25: return (day * 24 + hour) / dayHourStep(kind);
        case 40: case 41: case 42: case 43: case 44: return hour / hourStep(kind);
        case 45: case 46: case 47: case 48: return minuteOfDay / dayMinuteStep(kind);
        case 49: return ((hour + 4) / 8) % 3;
        case 50: return ((hour + 6) / 12) % 2;
        case 60: case 61: case 62: case 63: case 64: return local.tm_min / minuteStep(kind);
        case 70: return day >= 5 ? 1 : 0;
        case 71: return hour >= 9 && hour <= 16 ? 0 : 1;
        case 80: return local.tm_mon;
        case 81: return local.tm_mday - 1;
        case 82: return (local.tm_mday - 1) / 7;
        case 83: return ((local.tm_mday - 1) / 7) * 7 + day;
        case 90: return local.tm_yday / 7;
        default: return 0;
    }
}

int timeSlotLabel(int kind, int slot, char *output) {
    // Slot arithmetic in 64 bits: a slot from a caller may be any int.
    long long s = slot;
    switch (kind) {
        case 20: return putName(output, kDayNames, 7, slot);
        case 21: case 22: case 23: case 24: case 25: {
            long long firstHour = s * dayHourStep(kind);
            if (firstHour < 0 || firstHour >= 7 * 24) return put(output, "Unknown");
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%s %2.2lld:00", kDayShort[firstHour / 24], firstHour % 24);
            return static_cast<int>(std::strlen(output));
        }
        case 40: case 41: case 42: case 43: case 44:
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%2.2lld:00", s * hourStep(kind));
            return static_cast<int>(std::strlen(output));
        case 45: case 46: case 47: case 48: {
            long long minute = s * dayMinuteStep(kind);
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%2.2lld:%2.2lld", minute / 60, minute % 60);
            return static_cast<int>(std::strlen(output));
        }
        case 49: {
            static const char *const shifts[3] = {"20:00-04:00", "04:00-12:00", "12:00-20:00"};
            return put(output, slot >= 0 && slot < 3 ? shifts[slot] : "00:00-00:00");
        }
        case 50: return put(output, slot == 0 ? "Night" : slot == 1 ? "Day" : "??");
        case 60: case 61: case 62: case 63: case 64:
            std::snprintf(output, TIMESLOT_LABEL_SIZE, "%2.2lldm", s * minuteStep(kind));
            return static_cast<int>(std::strlen(output));
        case 70: {
            static const char *const parts[2] = {"Mon-Fri", "Sat-Sun"};
            return putName(output, parts, 2, slot);
        }
        case 71: {
            static const char *const parts[2] = {"09:00-17:00", "17:00-09:00"};
            return putName(output, parts, 2, slot);
        }
        case 80: return putName(output, kMonthNames, 12, slot);
        case 81: case 82: case 90: return putOrdinal(output, s + 1, "");
        case 83: {
            if (slot < 0 || slot >= 35) return put(output, "Unknown");
            char day[8];
            std::snprintf(day, sizeof day, " %s", kDayShort[slot % 7]);
            return putOrdinal(output, slot / 7 + 1, day);
        }
        default: return put(output, "Unknown");
    }
}
