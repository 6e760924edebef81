// Interval texts: a number of seconds as "1 Day 2 Hrs " or "1.5 Minutes ", and texts such as
// "1 day 2 hours" or "2d3h" back to seconds, by the unit table.
#include <cstring>

#include "platform/cs.h"

const CSIntervalUnit CSIntervalUnits[5] = {
    {86400, "Day", "Day", "d"}, {3600, "Hour", "Hr", "h"},      {60, "Minute", "Min", "m"},
    {1, "Second", "Sec", "s"},  {0, nullptr, nullptr, nullptr},
};

void CSFormatInterval(int32_t seconds, char *buffer, int full) {
    size_t used = 0;
    buffer[0] = '\0';
    if (full) {
        int64_t remaining = seconds;
        for (const CSIntervalUnit *unit = CSIntervalUnits; unit->seconds; unit++) {
            if (remaining < unit->seconds && unit->seconds != 1) continue;
            int64_t count = remaining / unit->seconds;
            int n = std::snprintf(buffer + used, CS_INTERVAL_TEXT_MAX - used, "%lld %s%s ",
                                  static_cast<long long>(count), unit->shortName, count >= 2 ? "s" : "");
            if (n > 0) used += static_cast<size_t>(n);
            if (used >= CS_INTERVAL_TEXT_MAX) break;
            remaining -= count * unit->seconds;
            if (remaining == 0) break;
        }
        return;
    }
    const CSIntervalUnit *unit = CSIntervalUnits;
    while (unit[1].seconds && seconds < static_cast<int64_t>(unit->seconds)) unit++;
    double value = seconds / static_cast<double>(unit->seconds);
    bool whole = value == static_cast<double>(static_cast<int64_t>(value));
    std::snprintf(buffer, CS_INTERVAL_TEXT_MAX, whole ? "%.0f %s%s " : "%.1f %s%s ", value, unit->longName,
                  value == 1.0 ? "" : "s");
}

namespace {

constexpr int64_t kLargest = 2147483647;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// The length of form when it is a case-insensitive prefix of text[0..length), else 0.
size_t prefixLength(const char *form, const char *text, size_t length) {
    size_t n = std::strlen(form);
    if (n == 0 || n > length) return 0;
    for (size_t i = 0; i < n; i++)
        if (lower(form[i]) != lower(text[i])) return 0;
    return n;
}

}  // namespace

int32_t CSParseInterval(const char *text, uint32_t length, const CSIntervalUnit *table, int *ok) {
    int localOk;
    if (!ok) ok = &localOk;
    *ok = 1;
    if (!text) return 0;
    if (!table) table = CSIntervalUnits;
    size_t end = length == CS_NUL_TERMINATED ? std::strlen(text) : length;
    size_t at = 0;
    // 64 bits: a 32-bit real loses seconds ("400 d 1 s"). Never above kLargest: a part that would
    // take it there ends the text as a bad one.
    int64_t total = 0;
    for (;;) {
        while (at < end && isBlank(text[at])) at++;
        if (at == end) return static_cast<int32_t>(total);
        if (text[at] < '0' || text[at] > '9') {
            *ok = 0;
            return static_cast<int32_t>(total);
        }
        int64_t number = 0;
        for (; at < end && text[at] >= '0' && text[at] <= '9'; at++)
            if (number <= kLargest) number = number * 10 + (text[at] - '0');  // stops once too large
        if (number > kLargest) {
            *ok = 0;
            return static_cast<int32_t>(total);
        }
        while (at < end && isBlank(text[at])) at++;
        if (at == end) {
            if (total + number > kLargest) {
                *ok = 0;
                return static_cast<int32_t>(total);
            }
            return static_cast<int32_t>(total + number);
        }
        const CSIntervalUnit *found = nullptr;
        size_t formLength = 0;
        for (const CSIntervalUnit *unit = table; unit->seconds && !found; unit++) {
            for (const char *form : {unit->longName, unit->shortName, unit->letter}) {
                if (form && (formLength = prefixLength(form, text + at, end - at)) != 0) {
                    found = unit;
                    break;
                }
            }
        }
        if (!found) {
            *ok = 0;
            return static_cast<int32_t>(total);
        }
        at += formLength;
        if (at < end && (text[at] == 's' || text[at] == 'S')) at++;
        int64_t part = number * found->seconds;
        if (total + part > kLargest) {
            *ok = 0;
            return static_cast<int32_t>(total);
        }
        total += part;
    }
}
