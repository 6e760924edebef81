// Inside the platform layer only: the two calendar calls that Linux and Windows name differently.
#pragma once

#include <cstdint>
#include <ctime>

// The offset east of UTC, in minutes and daylight included, of local fields broken down from t.
inline int32_t csUtcOffsetMinutes(const struct tm &local, time_t t) {
#ifdef _WIN32
    struct tm asUtc = local;  // the local fields read as UTC: their distance from t is the offset
    return static_cast<int32_t>((_mkgmtime(&asUtc) - t) / 60);
#else
    (void)t;
    return static_cast<int32_t>(local.tm_gmtoff / 60);
#endif
}

// The time of fields in UTC (timegm).
inline time_t csTimeGm(struct tm *fields) {
#ifdef _WIN32
    return _mkgmtime(fields);
#else
    return timegm(fields);
#endif
}
