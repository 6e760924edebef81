// FROM and TO of the display commands: a parameter's text is split into date, time and relative
// elements, and the date and time elements become seconds in the query's time zone. Every refusal is
// reported once to the caller's response with the parameter's name in the text.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include <strings.h>

#include "platform/cs.h"
#include "platform/os_time.h"
#include "platform/scan.h"

namespace {

const char *const kTimePatterns[] = {"n",    "nn",      "nn.nn",    "n.nn",    "nn:nn",
                                     "n:nn", "n.nn.nn", "nn.nn.nn", "n:nn:nn", "nn:nn:nn"};
const char *const kDatePatterns[] = {"nnnn-nn-nn", "nn-nn"};

// The texts of the refusals; "%s" stands for the parameter's name.
const char kBadNow[] = "Error parsing '%s' parameter - unrecognised 'now' specification.";
const char kBadAny[] = "Error parsing '%s' parameter - unrecognised 'any' specification.";
const char kTwoTimes[] = "Error parsing '%s' parameter - time element can only specified once.";
const char kTwoDates[] = "Error parsing '%s' parameter - date element can only specified once.";
const char kBadRelative[] = "Error parsing '%s' parameter - relative time specification is not valid.";
const char kMixed[] = "Error parsing '%s' parameter - you can not mix absolute and relative times.";
const char kBadDate[] = "Parameter '%s' date format is incorrect";
const char kBadTime[] = "Parameter '%s' time format is incorrect";
const char kBadValue[] = "Parameter '%s' time value is incorrect";

// Puts the text with the parameter's name in the message buffer and adds it to the response once.
int report(TimeSpecParm *parm, int32_t reason, const char *text) {
    const char *name = parm->name ? parm->name : "";
    const char *mark = std::strstr(text, "%s");
    char message[256];
    std::snprintf(message, sizeof message, "%.*s%s%s", static_cast<int>(mark - text), text, name, mark + 2);
    if (parm->msg != nullptr && parm->msgSize > 0) std::snprintf(parm->msg, parm->msgSize, "%s", message);
    if (parm->addError != nullptr) parm->addError(parm->sink, reason, parm->id, message);
    return reason;
}

bool matchesAny(const char *const *patterns, size_t count, const char *word) {
    for (size_t i = 0; i < count; ++i)
        if (scanMatchPattern(patterns[i], word, nullptr, 1)) return true;
    return false;
}

// "now" or "any" at the start: 1 when only blanks follow.
bool onlyBlanksAfter(const char *p) {
    while (*p == ' ') ++p;
    return *p == '\0';
}

void copyElement(char *element, const char *text, size_t length) {
    std::memcpy(element, text, length);
    element[length] = '\0';
}

// Reads up to three numbers separated by '.', ':' or '-' from a text that matched a pattern.
int readFields(const char *text, int *fields) {
    int count = 0;
    for (const char *p = text; count < 3;) {
        int value = 0;
        while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
        fields[count++] = value;
        if (*p == '\0') break;
        ++p;
    }
    return count;
}

// The days of a month of the Gregorian calendar.
int monthDays(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

int evParseTimeSpec(TimeSpecParm *parm, const char *text, char *date, char *time, char *relative) {
    date[0] = time[0] = relative[0] = '\0';
    const char *p = text;
    while (*p == ' ') ++p;
    if (*p == '\0') return 1;

    if (strncasecmp(p, "now", 3) == 0 || strncasecmp(p, "any", 3) == 0) {
        bool isNow = strncasecmp(p, "now", 3) == 0;
        if (!onlyBlanksAfter(p + 3)) {
            report(parm, TIMESPEC_RC_SYNTAX, isNow ? kBadNow : kBadAny);
            return 0;
        }
        copyElement(time, isNow ? "now" : "any", 3);
        return 1;
    }

    while (*p != '\0') {
        const char *wordEnd = p;
        while (*wordEnd != '\0' && *wordEnd != ' ') ++wordEnd;
        size_t length = static_cast<size_t>(wordEnd - p);
        // The longest pattern has 10 characters; a longer word can only start a relative time.
        char word[16] = "";
        if (length < sizeof word) copyElement(word, p, length);

        if (matchesAny(kTimePatterns, std::size(kTimePatterns), word)) {
            if (time[0] != '\0') {
                report(parm, TIMESPEC_RC_SYNTAX, kTwoTimes);
                return 0;
            }
            copyElement(time, word, length);
        } else if (matchesAny(kDatePatterns, std::size(kDatePatterns), word)) {
            if (date[0] != '\0') {
                report(parm, TIMESPEC_RC_SYNTAX, kTwoDates);
                return 0;
            }
            copyElement(date, word, length);
        } else {
            // The rest of the text is a relative time, its sign kept for the caller.
            const char *interval = p;
            while (*interval == '+' || *interval == '-' || *interval == ' ') ++interval;
            int ok = 0;
            size_t restLength = std::strlen(p);
            if (restLength < TIMESPEC_ELEMENT_SIZE)
                CSParseInterval(interval, CS_NUL_TERMINATED, CSIntervalUnits, &ok);
            if (!ok) {
                report(parm, TIMESPEC_RC_SYNTAX, kBadRelative);
                return 0;
            }
            copyElement(relative, p, restLength);
            break;
        }
        p = wordEnd;
        while (*p == ' ') ++p;
    }

    if (relative[0] != '\0' && (date[0] != '\0' || time[0] != '\0')) {
        report(parm, TIMESPEC_RC_SYNTAX, kMixed);
        return 0;
    }
    return 1;
}

int evParseTimeValue(TimeSpecParm *parm, const char *date, const char *time, int64_t *result) {
    // 1. The defaults: the current time, one second on, as wall-clock fields of the query's zone.
    int64_t zoneSeconds = static_cast<int64_t>(parm->zoneMinutes) * 60;
    int64_t soon = evClockNow() + 1;
    int64_t adjusted = soon + zoneSeconds;
    time_t adjustedTime = adjusted;
    struct tm fields {};
    if (csGmTime(&adjustedTime, &fields) == nullptr) return report(parm, TIMESPEC_RC_VALUE, kBadValue);

    // 2. "any": from the beginning, or to a year ahead.
    if (time != nullptr && strcasecmp(time, "any") == 0) {
        *result = parm->id == TIMESPEC_FROM_ID ? 0 : adjusted + 31536000;
        return 1;
    }

    // "now", or nothing at all: the current second plus one, as a time value. Its wall clock would read
    // one hour late during the hour the autumn change repeats.
    bool noDate = date == nullptr || date[0] == '\0';
    bool nowTime = time == nullptr || time[0] == '\0' || strcasecmp(time, "now") == 0;
    if (noDate && nowTime) {
        *result = soon;
        return 1;
    }

    // 3. The date element.
    int year = fields.tm_year + 1900, month = fields.tm_mon + 1, day = fields.tm_mday;
    if (!noDate) {
        int values[3] = {0, 0, 0};
        if (scanMatchPattern("nnnn-nn-nn", date, nullptr, 1)) {
            readFields(date, values);
            year = values[0], month = values[1], day = values[2];
        } else if (scanMatchPattern("nn-nn", date, nullptr, 1)) {
            readFields(date, values);
            month = values[0], day = values[1];
        } else {
            return report(parm, TIMESPEC_RC_SYNTAX, kBadDate);
        }
    }

    // 4. The time element; "now" keeps the current time.
    int hour = fields.tm_hour, minute = fields.tm_min, second = fields.tm_sec;
    if (!nowTime) {
        if (!matchesAny(kTimePatterns, std::size(kTimePatterns), time))
            return report(parm, TIMESPEC_RC_SYNTAX, kBadTime);
        int values[3] = {0, 0, 0};
        readFields(time, values);
        hour = values[0], minute = values[1], second = values[2];
    }

    // 5. The ranges: a day the month has (not 2026-02-30, which the conversion would move to March).
    if (year < 1900 || month < 1 || month > 12 || day < 0 || day > monthDays(year, month))
        return report(parm, TIMESPEC_RC_VALUE, kBadDate);
    if (hour > 23 || minute > 59 || second > 59) return report(parm, TIMESPEC_RC_VALUE, kBadTime);

    // 6. Back to seconds. The fields are the query zone's wall clock: in another zone than the local
    // one they are taken as UTC and moved by the zone's offset, so both ways give the instant named.
    EvCivilTime wanted{year, month, day, hour, minute, second};
    int64_t seconds = 0;
    if (!evCivilToTime(&wanted, parm->zoneIsLocal, &seconds))
        return report(parm, TIMESPEC_RC_VALUE, kBadValue);
    *result = parm->zoneIsLocal ? seconds : seconds - zoneSeconds;
    return 1;
}
