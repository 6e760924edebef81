// Local calendar time: the fields of a time in the zone TZ names and the C run-time's date-and-time
// text. Other subsystems call these instead of breaking times down themselves.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/os_time.h"
#include "platform/platform.h"

int evLocalTimeFields(int64_t time, EvLocalTime *fields) {
    std::memset(fields, 0, sizeof *fields);
    const time_t t = time;  // 64-bit on the platforms built for
    struct tm local {};
    if (csLocalTime(&t, &local) == nullptr) return 0;
    fields->year = local.tm_year + 1900;
    fields->month = local.tm_mon + 1;
    fields->day = local.tm_mday;
    fields->hour = local.tm_hour;
    fields->minute = local.tm_min;
    fields->second = local.tm_sec;
    fields->weekday = local.tm_wday;
    fields->yearDay = local.tm_yday;
    fields->daylight = local.tm_isdst > 0 ? 1 : 0;
    fields->offset = csUtcOffsetMinutes(local, t);
    return 1;
}

int evLocalFieldsToTime(const EvLocalTime *fields, int64_t *time) {
    struct tm local {};
    local.tm_year = fields->year - 1900;
    local.tm_mon = fields->month - 1;
    local.tm_mday = fields->day;
    local.tm_hour = fields->hour;
    local.tm_min = fields->minute;
    local.tm_sec = fields->second;
    local.tm_isdst = -1;
    errno = 0;
    time_t t = csMakeLocal(&local);
    // -1 is also one second before 1970; only errno tells them apart.
    if (t == static_cast<time_t>(-1) && errno != 0) return 0;
    *time = t;
    return 1;
}

int evLocalDateTimeText(int64_t time, char text[EV_DATE_TIME_TEXT]) {
    static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    text[0] = '\0';
    EvLocalTime f;
    if (!evLocalTimeFields(time, &f)) return 0;
    // asctime's own format; snprintf cuts a longer year at the 24th character.
    std::snprintf(text, EV_DATE_TIME_TEXT, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[f.weekday],
                  kMonths[f.month - 1], f.day, f.hour, f.minute, f.second, f.year);
    return 1;
}
