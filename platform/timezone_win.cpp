// Windows side of calendar time: UTC and local fields by arithmetic, so that times before 1970 and
// after 3000 convert as they do on Linux (the Windows run-time refuses them), and the local zone
// from TZ when it is set in POSIX form ("CET-1CEST,M3.5.0,M10.5.0/3"), else from the Windows
// time-zone settings. The Windows run-time reads only the names and offset of TZ and puts the
// daylight change on United States dates, so its own local time is not used.
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os_time.h"

namespace {

constexpr int64_t kDay = 86400;

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Days from 1970-01-01 of a proleptic Gregorian date; month 1 to 12.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = floorDiv(year, 400);
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool isLeap(int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int monthLength(int64_t year, int month) {
    static const int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : kLengths[month - 1];
}

// The year of a time in seconds, without filling fields.
int64_t yearOf(int64_t seconds) {
    const int64_t z = floorDiv(seconds, kDay) + 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    return yearOfEra + era * 400 + (mp >= 10 ? 1 : 0);
}

// A daylight change: day 'J' n (1 to 365, February 29 never counted), 'D' n (0 to 365), 'M'
// month.week.weekday (week 5: the last) or 'A' month and day, at time seconds of local time (may be
// negative or past a day).
struct Rule {
    char kind = 'M';
    int month = 0, week = 0, weekday = 0, day = 0;
    int32_t time = 7200;
};

struct Zone {
    int32_t standard = 0;  // seconds east of UTC
    int32_t daylight = 0;
    bool hasDaylight = false;
    Rule start, end;  // start in standard time, end in daylight time
};

// Seconds since 1970, read as UTC, of a rule's moment in a year of local time.
int64_t ruleMoment(const Rule &rule, int64_t year) {
    int64_t days;
    if (rule.kind == 'A') {
        const int lastDay = monthLength(year, rule.month);
        days = daysFromCivil(year, rule.month, rule.day < lastDay ? rule.day : lastDay);
    } else if (rule.kind == 'J') {
        days = daysFromCivil(year, 1, 1) + rule.day - 1 + (isLeap(year) && rule.day >= 60 ? 1 : 0);
    } else if (rule.kind == 'D') {
        days = daysFromCivil(year, 1, 1) + rule.day;
    } else {
        const int64_t first = daysFromCivil(year, rule.month, 1);
        const int64_t firstWeekday = ((first + 4) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
        int64_t mday = 1 + (rule.weekday - firstWeekday + 7) % 7 + (rule.week - 1) * 7;
        while (mday > monthLength(year, rule.month)) mday -= 7;
        days = first + mday - 1;
    }
    return days * kDay + rule.time;
}

bool inDaylight(const Zone &zone, int64_t t) {
    if (!zone.hasDaylight) return false;
    const int64_t year = yearOf(t + zone.standard);
    const int64_t start = ruleMoment(zone.start, year) - zone.standard;
    const int64_t end = ruleMoment(zone.end, year) - zone.daylight;
    // South of the equator daylight time spans the turn of the year.
    return start < end ? t >= start && t < end : t >= start || t < end;
}

// --- TZ in POSIX form -------------------------------------------------------------------------

bool parseName(const char *&p) {
    const char *begin = p;
    if (*p == '<') {
        while (*p != '\0' && *p != '>') p++;
        if (*p != '>') return false;
        p++;
        return p - begin >= 5;  // "<" three characters ">"
    }
    while (std::isalpha(static_cast<unsigned char>(*p))) p++;
    return p - begin >= 3;
}

// [+-]hh[:mm[:ss]] -> seconds; hours up to 167 (a rule's time may run into later days).
bool parseSeconds(const char *&p, int32_t *seconds) {
    int sign = 1;
    if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;
    int32_t parts[3] = {0, 0, 0};
    for (int i = 0; i < 3; i++) {
        if (i > 0) {
            if (*p != ':') break;
            p++;
        }
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        int value = 0;
        for (int n = 0; std::isdigit(static_cast<unsigned char>(*p)) && n < 3; n++)
            value = value * 10 + (*p++ - '0');
        parts[i] = value;
    }
    if (parts[0] > 167 || parts[1] > 59 || parts[2] > 59) return false;
    *seconds = sign * (parts[0] * 3600 + parts[1] * 60 + parts[2]);
    return true;
}

bool parseNumber(const char *&p, int low, int high, int *value) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    int n = 0;
    while (std::isdigit(static_cast<unsigned char>(*p)) && n <= high) n = n * 10 + (*p++ - '0');
    *value = n;
    return n >= low && n <= high;
}

bool parseRule(const char *&p, Rule *rule) {
    if (*p == 'M') {
        p++;
        rule->kind = 'M';
        if (!parseNumber(p, 1, 12, &rule->month) || *p++ != '.' || !parseNumber(p, 1, 5, &rule->week) ||
            *p++ != '.' || !parseNumber(p, 0, 6, &rule->weekday))
            return false;
    } else if (*p == 'J') {
        p++;
        rule->kind = 'J';
        if (!parseNumber(p, 1, 365, &rule->day)) return false;
    } else {
        rule->kind = 'D';
        if (!parseNumber(p, 0, 365, &rule->day)) return false;
    }
    rule->time = 7200;
    if (*p == '/') {
        p++;
        return parseSeconds(p, &rule->time);
    }
    return true;
}

// "std offset [dst [offset] [,start,end]]"; a name alone is UTC under that name, as the C library
// of Linux has it. False when the text is in no such form.
bool parsePosix(const char *text, Zone *zone) {
    const char *p = text;
    if (!parseName(p)) return false;
    if (*p == '\0') {
        *zone = Zone{};
        return true;
    }
    int32_t west = 0;
    if (!parseSeconds(p, &west)) return false;
    Zone z;
    z.standard = -west;
    if (*p != '\0') {
        if (!parseName(p)) return false;
        z.hasDaylight = true;
        z.daylight = z.standard + 3600;
        if (*p != '\0' && *p != ',') {
            if (!parseSeconds(p, &west)) return false;
            z.daylight = -west;
        }
        // Without rules: the United States' dates, as the C library takes them.
        z.start = Rule{'M', 3, 2, 0, 0, 7200};
        z.end = Rule{'M', 11, 1, 0, 0, 7200};
        if (*p == ',') {
            p++;
            if (!parseRule(p, &z.start) || *p++ != ',' || !parseRule(p, &z.end)) return false;
        }
    }
    if (*p != '\0') return false;
    *zone = z;
    return true;
}

// --- the Windows settings -----------------------------------------------------------------------

Rule ruleOf(const SYSTEMTIME &date) {
    // Day-in-month form: wDay is the week (5 the last), wDayOfWeek the weekday. With wYear set, the
    // date is that year's month and day, taken for every year.
    Rule rule;
    rule.kind = date.wYear == 0 ? 'M' : 'A';
    rule.month = date.wMonth;
    rule.week = date.wDay;
    rule.day = date.wDay;
    rule.weekday = date.wDayOfWeek;
    rule.time = date.wHour * 3600 + date.wMinute * 60 + date.wSecond;
    return rule;
}

Zone windowsZone() {
    TIME_ZONE_INFORMATION info{};
    Zone zone;
    if (GetTimeZoneInformation(&info) == TIME_ZONE_ID_INVALID) return zone;
    // Biases are minutes west: UTC = local + bias.
    zone.standard = -(info.Bias + info.StandardBias) * 60;
    zone.daylight = -(info.Bias + info.DaylightBias) * 60;
    zone.hasDaylight =
        info.StandardDate.wMonth != 0 && info.DaylightDate.wMonth != 0 && zone.daylight != zone.standard;
    if (zone.hasDaylight) {
        zone.start = ruleOf(info.DaylightDate);
        zone.end = ruleOf(info.StandardDate);
    }
    return zone;
}

// The zone in force: read again when TZ changes, and the Windows settings once a minute.
SRWLOCK zoneLock = SRWLOCK_INIT;
std::string zoneText;
bool zoneRead = false;
ULONGLONG zoneReadAt = 0;
Zone cachedZone;

Zone currentZone() {
    const char *tz = std::getenv("TZ");
    const std::string text = tz != nullptr ? tz : "";
    const ULONGLONG now = GetTickCount64();
    AcquireSRWLockExclusive(&zoneLock);
    if (!zoneRead || text != zoneText || (text.empty() && now - zoneReadAt > 60000)) {
        Zone zone;
        if (text.empty() || !parsePosix(text.c_str(), &zone)) zone = windowsZone();
        cachedZone = zone;
        zoneText = text;
        zoneRead = true;
        zoneReadAt = now;
    }
    Zone zone = cachedZone;
    ReleaseSRWLockExclusive(&zoneLock);
    return zone;
}

}  // namespace

struct tm *csGmTime(const time_t *time, struct tm *fields) {
    const int64_t t = *time;
    const int64_t days = floorDiv(t, kDay);
    const int64_t second = t - days * kDay;
    const int64_t year = yearOf(t);
    if (year - 1900 < INT_MIN || year - 1900 > INT_MAX) {
        errno = EOVERFLOW;
        return nullptr;
    }
    const int64_t yearDay = days - daysFromCivil(year, 1, 1);
    int month = 1;
    int64_t mday = yearDay;
    while (mday >= monthLength(year, month)) mday -= monthLength(year, month++);
    *fields = {};
    fields->tm_year = static_cast<int>(year - 1900);
    fields->tm_mon = month - 1;
    fields->tm_mday = static_cast<int>(mday + 1);
    fields->tm_hour = static_cast<int>(second / 3600);
    fields->tm_min = static_cast<int>(second / 60 % 60);
    fields->tm_sec = static_cast<int>(second % 60);
    fields->tm_wday = static_cast<int>(((days + 4) % 7 + 7) % 7);
    fields->tm_yday = static_cast<int>(yearDay);
    return fields;
}

time_t csTimeGm(struct tm *fields) {
    // Out-of-range fields carry into the next larger one, as timegm normalises them.
    const int64_t months = static_cast<int64_t>(fields->tm_year) * 12 + fields->tm_mon;
    const int64_t year = 1900 + floorDiv(months, 12);
    const int64_t month = months - floorDiv(months, 12) * 12 + 1;
    const int64_t t = (daysFromCivil(year, month, 1) + fields->tm_mday - 1) * kDay +
                      static_cast<int64_t>(fields->tm_hour) * 3600 +
                      static_cast<int64_t>(fields->tm_min) * 60 + fields->tm_sec;
    const time_t result = t;
    struct tm normal {};
    if (csGmTime(&result, &normal) == nullptr) {
        errno = EOVERFLOW;
        return static_cast<time_t>(-1);
    }
    *fields = normal;
    return result;
}

struct tm *csLocalTime(const time_t *time, struct tm *fields) {
    // Far beyond any calendar year an int holds: refused before an offset could overflow.
    constexpr int64_t kFar = int64_t{1} << 62;
    if (*time > kFar || *time < -kFar) {
        errno = EOVERFLOW;
        return nullptr;
    }
    const Zone zone = currentZone();
    const bool summer = inDaylight(zone, *time);
    const time_t local = *time + (summer ? zone.daylight : zone.standard);
    if (csGmTime(&local, fields) == nullptr) return nullptr;
    fields->tm_isdst = summer ? 1 : 0;
    return fields;
}

time_t csMakeLocal(struct tm *fields) {
    const Zone zone = currentZone();
    struct tm asUtc = *fields;
    asUtc.tm_wday = -1;  // set only when the fields name a time
    const time_t wall = csTimeGm(&asUtc);
    if (asUtc.tm_wday == -1) return static_cast<time_t>(-1);
    const int64_t asStandard = wall - zone.standard;
    const int64_t asDaylight = wall - zone.daylight;
    int64_t t = asStandard;
    if (zone.hasDaylight) {
        if (fields->tm_isdst > 0) {
            t = asDaylight;
        } else if (fields->tm_isdst < 0) {
            // A wall time that occurs twice is taken at its first (daylight) occurrence; one that the
            // spring change skips is read in the standard time it would have had.
            if (inDaylight(zone, asDaylight)) t = asDaylight;
        }
    }
    time_t result = t;
    if (csLocalTime(&result, fields) == nullptr) {
        errno = EOVERFLOW;
        return static_cast<time_t>(-1);
    }
    return result;
}
