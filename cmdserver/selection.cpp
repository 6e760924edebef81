// The selection parameters the query displays share (DISPLAY EVENTS and the statistics displays):
// WHERE, PREWHERE, the response and record limits, the time zone, FROM and TO or an exact interval,
// and the queue manager pattern; and the time window they settle.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <strings.h>

#include "cmdserver/internal.h"

namespace {

constexpr int32_t kWhereMax = 1024;
constexpr int32_t kMaxRespLimit = 999999;
constexpr int32_t kMaxRecsLimit = 100000000;
constexpr int32_t kTzLimit = 1440;
constexpr int64_t kYearAhead = 31536000;
constexpr int64_t kDefaultSpan = 86400;  // no FROM: the last 24 hours
constexpr int32_t kFirstSelectionId = 39300;
constexpr int32_t kLastSelectionId = 39414;
constexpr int32_t kFromId = 39318;
constexpr int32_t kToId = 39319;
constexpr int32_t kIntervalStartId = 39398;
constexpr int32_t kIntervalEndId = 39399;
constexpr int32_t kTimeDigitsMax = 19;  // the digits of a 64-bit time

constexpr char kBothRelative[] = "The 'FROM' and 'TO' times can not both be relative times";

int refuse(QmgrContext *context, const PcfCursor *cursor, const char *text) {
    evParameterNameError(context, cursor, MQRCCF_PARM_VALUE_ERROR, text);
    return 0;
}

int takeTimeText(QmgrContext *context, const PcfCursor *cursor, char *out) {
    const char *text = nullptr;
    int32_t length = 0;
    if (!evParmGetString(context, cursor, 0, static_cast<int32_t>(CMD_TIME_TEXT_MAX), &text, &length))
        return 0;
    std::memcpy(out, text, static_cast<size_t>(length));
    out[length] = '\0';
    return 1;
}

// The seconds of a time given as decimal digits (MQSC sends INTVLSTA and INTVLEND as text): false
// for anything else, or a number past 64 bits.
bool timeDigits(const char *text, int32_t length, int64_t *out) {
    if (length <= 0) return false;
    int64_t value = 0;
    for (int32_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        const int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

int takeTime64(QmgrContext *context, const PcfCursor *cursor, int64_t *out, int32_t *given) {
    if (cursor->type == MQCFT_INTEGER64 && cursor->value != nullptr) {
        *out = mqiGetI64(cursor->value, 0);
    } else if (cursor->type == MQCFT_INTEGER && cursor->value != nullptr) {
        *out = mqiGetI32(cursor->value, 0);
    } else if (cursor->type == MQCFT_STRING) {
        const char *text = nullptr;
        int32_t length = 0;
        if (!evParmGetString(context, cursor, 0, kTimeDigitsMax, &text, &length)) return 0;
        if (!timeDigits(text, length, out))
            return refuse(context, cursor, "Parameter '%s' should be an integer.");
    } else {
        return refuse(context, cursor, "Parameter '%s' should be an integer.");
    }
    *given = 1;
    return 1;
}

// The refusals of the FROM/TO time parser go to the command's response as they are.
struct ErrorSink {
    QmgrContext *context;
    int32_t command;
};
void timeSpecError(void *sink, int32_t reason, uint32_t parmId, const char *text) {
    auto *to = static_cast<ErrorSink *>(sink);
    evPcfResponse(to->context, to->command, reason, static_cast<int32_t>(parmId), text);
}

struct TimeSpec {
    char date[TIMESPEC_ELEMENT_SIZE];
    char time[TIMESPEC_ELEMENT_SIZE];
    char relative[TIMESPEC_ELEMENT_SIZE];
};

// A relative element as signed seconds: blanks and '+' skipped, each '-' flips the sign.
int relativeSeconds(QmgrContext *context, const EvSelection *selection, const char *name, int32_t parmId,
                    const char *text, int64_t *seconds) {
    int sign = 1;
    while (*text == ' ' || *text == '+' || *text == '-') {
        if (*text == '-') sign = -sign;
        text++;
    }
    int ok = 0;
    const int32_t value = CSParseInterval(text, CS_NUL_TERMINATED, CSIntervalUnits, &ok);
    if (!ok) {
        char message[128];
        std::snprintf(message, sizeof message,
                      "Error parsing '%s' parameter - relative time specification is not valid.", name);
        evPcfResponse(context, selection->command, MQRCCF_PARM_SYNTAX_ERROR, parmId, message);
        return 0;
    }
    *seconds = static_cast<int64_t>(sign) * value;
    return 1;
}

void timeText(int64_t time, char *out, size_t size) {
    EvLocalTime t{};
    evLocalTimeFields(time, &t);
    std::snprintf(out, size, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
}

}  // namespace

void evSelectionInit(EvSelection *selection, int32_t command) {
    std::memset(selection, 0, sizeof *selection);
    selection->command = command;
    selection->maxResp = CMD_NOT_GIVEN;
    selection->maxRecs = CMD_NOT_GIVEN;
}

int evParseSelectionParm(QmgrContext *context, EvSelection *selection, const PcfCursor *cursor,
                         int *handled) {
    *handled = 1;
    switch (static_cast<int32_t>(cursor->parmId)) {
        case 39300:
            return evParmGetString(context, cursor, 0, kWhereMax, &selection->where, &selection->whereLength);
        case 39410:
            return evParmGetString(context, cursor, 0, kWhereMax, &selection->prewhere,
                                   &selection->prewhereLength);
        case 39302:
            return evParmGetInt(context, cursor, 1, kMaxRespLimit, &selection->maxResp);
        case 39414:
            return evParmGetInt(context, cursor, 1, kMaxRecsLimit, &selection->maxRecs);
        case 39313:
            if (!evParmGetInt(context, cursor, -kTzLimit, kTzLimit, &selection->tz)) return 0;
            selection->tzGiven = 1;
            return 1;
        case kFromId:
            return takeTimeText(context, cursor, selection->fromText);
        case kToId:
            return takeTimeText(context, cursor, selection->toText);
        case 39340: {
            const char *text = nullptr;
            int32_t length = 0;
            if (!evParmGetString(context, cursor, 0, 48, &text, &length)) return 0;
            if (length == 0) return refuse(context, cursor, "Parameter '%s' must contain a value.");
            if (!evCheckName(text, length, CMD_NAME_WILDCARDS))
                return refuse(context, cursor,
                              "Parameter '%s' contains characters which are not valid in an MQ name.");
            selection->evQmgr = text;
            selection->evQmgrLength = length;
            return 1;
        }
        case kIntervalStartId:
            return takeTime64(context, cursor, &selection->intervalStart, &selection->intervalStartGiven);
        case kIntervalEndId:
            return takeTime64(context, cursor, &selection->intervalEnd, &selection->intervalEndGiven);
        default:
            break;
    }
    const auto id = static_cast<int32_t>(cursor->parmId);
    if (id >= kFirstSelectionId && id <= kLastSelectionId)
        return refuse(context, cursor, "Parameter '%s' should be an integer.");
    *handled = 0;
    return 1;
}

int evParseFromTo(QmgrContext *context, EvSelection *s) {
    s->exactWindow = 0;
    s->zoneIsLocal = s->tzGiven ? 0 : 1;
    s->zoneMinutes = s->tzGiven ? s->tz : evTzOffset.load();
    // 1. An exact interval needs both ends.
    if (s->intervalStartGiven != s->intervalEndGiven) {
        evPcfResponse(context, s->command, MQRCCF_PARM_MISSING,
                      s->intervalStartGiven ? kIntervalEndId : kIntervalStartId, nullptr);
        return 0;
    }
    if (s->intervalStartGiven) {
        s->from = s->intervalStart;
        s->to = s->intervalEnd;
        s->exactWindow = 1;
        evTraceTimeRange(s->from, s->to);
        return 1;
    }
    const int64_t now = evClockNow();
    TimeSpec from{};
    TimeSpec to{};
    ErrorSink sink{context, s->command};
    char message[256];
    TimeSpecParm fromParm{"FROM",         TIMESPEC_FROM_ID, message,       sizeof message,
                          s->zoneMinutes, s->zoneIsLocal,   timeSpecError, &sink};
    TimeSpecParm toParm = fromParm;
    toParm.name = "TO";
    toParm.id = kToId;
    // 3. Each text into its date, time and relative elements.
    if (!evParseTimeSpec(&fromParm, s->fromText, from.date, from.time, from.relative)) return 0;
    if (!evParseTimeSpec(&toParm, s->toText, to.date, to.time, to.relative)) return 0;
    // 2. FROM(any) alone: everything up to a year ahead.
    if (strcasecmp(from.time, "any") == 0 && s->toText[0] == '\0') {
        s->from = 0;
        s->to = now + kYearAhead;
        evTraceTimeRange(s->from, s->to);
        return 1;
    }
    if (from.relative[0] != '\0' && to.relative[0] != '\0') {
        evPcfResponse(context, s->command, MQRCCF_PARM_SYNTAX_ERROR, kToId, kBothRelative);
        return 0;
    }
    // 4. The missing elements.
    const bool toNow = strcasecmp(to.time, "now") == 0;
    if (from.date[0] != '\0' && to.time[0] != '\0' && !toNow && to.date[0] == '\0')
        std::memcpy(to.date, from.date, sizeof to.date);
    if (from.time[0] != '\0' && from.date[0] == '\0' && to.date[0] != '\0')
        std::memcpy(from.date, to.date, sizeof from.date);
    if (to.time[0] == '\0' && to.relative[0] == '\0') std::snprintf(to.time, sizeof to.time, "now");
    const bool fromDefault = from.date[0] == '\0' && from.time[0] == '\0' && from.relative[0] == '\0';
    // 5. The absolute ends, then a relative end from the other one.
    int64_t offset = -kDefaultSpan;
    if (from.relative[0] != '\0' && !relativeSeconds(context, s, "FROM", kFromId, from.relative, &offset))
        return 0;
    if (to.relative[0] != '\0') {
        int64_t toOffset = 0;
        if (!relativeSeconds(context, s, "TO", kToId, to.relative, &toOffset)) return 0;
        if (evParseTimeValue(&fromParm, from.date, from.time, &s->from) != 1) return 0;
        s->to = s->from + toOffset;
    } else {
        if (evParseTimeValue(&toParm, to.date, to.time, &s->to) != 1) return 0;
        if (from.relative[0] != '\0' || fromDefault) {
            s->from = s->to + offset;
        } else if (evParseTimeValue(&fromParm, from.date, from.time, &s->from) != 1) {
            return 0;
        }
    }
    if (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_t) {
        char fromTime[40];
        char toTime[40];
        timeText(s->from, fromTime, sizeof fromTime);
        timeText(s->to, toTime, sizeof toTime);
        evOutputF(EV_OUT_PROGRESS, 1, "Time selection %s =>< %s", fromTime, toTime);
    }
    evTraceTimeRange(s->from, s->to);
    return 1;
}

void evTraceTimeRange(int64_t start, int64_t end) {
    if ((evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_t) == 0) return;
    char from[40] = "<start>";
    char to[40] = "<end>";
    if (start != 0) timeText(start, from, sizeof from);
    if (end != 0) timeText(end, to, sizeof to);
    evOutputF(EV_OUT_PROGRESS, 1, "<---- %s -> %s", from, to);
}
