// Inside the platform layer only: the calendar calls that Linux and Windows name differently. On
// Windows they are computed (timezone_win.cpp): its run-time refuses times before 1970 and reads
// only part of a POSIX TZ.
#pragma once

#include <cstdint>
#include <ctime>

#ifdef _WIN32
struct tm *csGmTime(const time_t *time, struct tm *fields);     // gmtime_r
struct tm *csLocalTime(const time_t *time, struct tm *fields);  // localtime_r
time_t csTimeGm(struct tm *fields);                             // timegm
time_t csMakeLocal(struct tm *fields);                          // mktime
#else
inline struct tm *csGmTime(const time_t *time, struct tm *fields) {
    return gmtime_r(time, fields);
}
inline struct tm *csLocalTime(const time_t *time, struct tm *fields) {
    return localtime_r(time, fields);
}
// The time of fields in UTC (timegm).
inline time_t csTimeGm(struct tm *fields) {
    return timegm(fields);
}
inline time_t csMakeLocal(struct tm *fields) {
    return mktime(fields);
}
#endif

// The offset east of UTC, in minutes and daylight included, of local fields broken down from t.
inline int32_t csUtcOffsetMinutes(const struct tm &local, time_t t) {
#ifdef _WIN32
    struct tm asUtc = local;  // the local fields read as UTC: their distance from t is the offset
    return static_cast<int32_t>((csTimeGm(&asUtc) - t) / 60);
#else
    (void)t;
    return static_cast<int32_t>(local.tm_gmtoff / 60);
#endif
}
