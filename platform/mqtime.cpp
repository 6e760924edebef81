// MQ date and time texts (YYYY-MM-DD and HH.MM.SS, as in PCF event data) to seconds and back. MQ
// writes them in the queue manager's local time, so they convert through the C library's local time.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/cs.h"
#include "platform/os_time.h"
#include "platform/scan.h"

namespace {

// The number in text[0..count), or -1 when a character is not a digit (a NUL included).
int digits(const char *text, size_t count) {
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

int evCivilToTime(const EvCivilTime *civil, int local, int64_t *seconds) {
    struct tm fields {};
    fields.tm_year = civil->year - 1900;
    fields.tm_mon = civil->month - 1;
    fields.tm_mday = civil->day;
    fields.tm_hour = civil->hour;
    fields.tm_min = civil->minute;
    fields.tm_sec = civil->second;
    fields.tm_isdst = -1;  // daylight saving is the library's to decide
    // The library answers -1 both for a failure and for the second before 1970; only on success does
    // it set the day of the week, which tells the two apart.
    fields.tm_wday = -1;
    time_t t = local ? csMakeLocal(&fields) : csTimeGm(&fields);
    if (t == static_cast<time_t>(-1) && fields.tm_wday == -1) return 0;
    *seconds = t;
    return 1;
}

int evMQDateTimeToTime(const char *date, size_t dateLength, const char *time, size_t timeLength,
                       int64_t *seconds) {
    EvCivilTime civil{1970, 1, 1, 0, 0, 0};
    if (date != nullptr && dateLength >= 10) {
        civil.year = digits(date, 4), civil.month = digits(date + 5, 2), civil.day = digits(date + 8, 2);
        if (civil.year < 0 || civil.month < 0 || civil.day < 0) return 0;
    }
    if (time != nullptr && timeLength >= 8) {
        civil.hour = digits(time, 2), civil.minute = digits(time + 3, 2), civil.second = digits(time + 6, 2);
        if (civil.hour < 0 || civil.minute < 0 || civil.second < 0) return 0;
    }
    return evCivilToTime(&civil, 1, seconds);
}

int evYMDHMSToTime(const char *date, const char *time, int64_t *seconds) {
    if (date == nullptr || time == nullptr) return 0;
    // Each field is read only after the one before it proved to be digits, so a short text stops at
    // its NUL.
    EvCivilTime civil{};
    civil.year = digits(date, 4);
    civil.month = civil.year < 0 ? -1 : digits(date + 4, 2);
    civil.day = civil.month < 0 ? -1 : digits(date + 6, 2);
    civil.hour = digits(time, 2);
    civil.minute = civil.hour < 0 ? -1 : digits(time + 2, 2);
    civil.second = civil.minute < 0 ? -1 : digits(time + 4, 2);
    if (civil.day < 0 || civil.second < 0) return 0;
    return evCivilToTime(&civil, 0, seconds);
}

int64_t evNowDateTime(const int64_t *when, char *date, char *time) {
    int64_t now = evClockNow();
    int64_t used = when ? *when : now;
    bool debug = std::getenv("MQ_TIMEDEBUG") != nullptr;
    if (debug && when) std::printf("Time passed  : %" PRId64 " (Now is %" PRId64 ")\n", used, now);

    time_t seconds = used;
    struct tm fields {};
    // A year beyond four digits has no MQ date text either.
    if (csLocalTime(&seconds, &fields) == nullptr || fields.tm_year < -1900 || fields.tm_year > 9999 - 1900) {
        if (debug) std::printf("Invalid time received : %" PRId64 " (Now is %" PRId64 ")\n", used, now);
        std::memcpy(date, "0000-00-00", 10);
        std::memcpy(time, "00.00.00", 8);
        return used;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%4.4d-%2.2d-%2.2d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday);
    std::memcpy(date, text, 10);
    std::snprintf(text, sizeof text, "%2.2d.%2.2d.%2.2d", fields.tm_hour, fields.tm_min, fields.tm_sec);
    std::memcpy(time, text, 8);
    return used;
}

const char *evFindTZ(const char *text) {
    if (text == nullptr) return nullptr;
    for (const char *p = text; *p != '\0'; ++p) {
        if ((p[0] == 'T' || p[0] == 't') && (p[1] == 'Z' || p[1] == 'z') && p[2] == '(') return p;
    }
    return nullptr;
}
