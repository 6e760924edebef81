// The query of the statistics displays: the parameters every family reads (SUM, INTVL, GAPFILL,
// COLLATE and the rest beside the shared selection), the rules that refuse their combinations, and
// the interval arithmetic that moves each record into the INTVL it belongs to.
#include <cstdio>
#include <cstring>

#include "stats/stats.h"

namespace {

constexpr int32_t kStreamId = 39301;
constexpr int32_t kSumId = 39395;
constexpr int32_t kZeroValuesId = 39396;
constexpr int32_t kGapFillId = 39400;
constexpr int32_t kIntervalId = 39411;
constexpr int32_t kAlignId = 39412;
constexpr int32_t kCollateId = 39430;
constexpr int32_t kTitleId = 39431;
constexpr int32_t kFirstId = 39301;
constexpr int32_t kLastId = 39431;
constexpr int32_t kIntervalTextMax = 99;
constexpr int64_t kIntervalMax = 2147483647;  // seconds
constexpr int32_t kDefaultMaxResp = 100;
constexpr int32_t kCollateMaxResp = 300;
constexpr int32_t kValueError = MQRCCF_PARM_VALUE_ERROR;
constexpr int32_t kSumPrefix = 15;
constexpr int32_t kSumPrefix2 = 16;
constexpr int32_t kSumSuffix = 17;

struct Pattern {
    int32_t code;
    uint32_t periods;
    int64_t seconds;
};
constexpr Pattern kPatterns[] = {
    {20, 7, 86400},    {21, 14, 43200}, {22, 21, 28800},   {23, 42, 14400},  {24, 84, 7200},
    {25, 168, 3600},   {40, 2, 43200},  {41, 3, 28800},    {42, 6, 14400},   {43, 12, 7200},
    {44, 24, 3600},    {45, 48, 1800},  {46, 96, 900},     {47, 144, 600},   {48, 288, 300},
    {49, 3, 28800},    {50, 2, 43200},  {60, 2, 1800},     {61, 4, 900},     {62, 6, 600},
    {63, 12, 300},     {64, 60, 60},    {70, 2, 172800},   {71, 2, 28800},   {80, 12, 2678400},
    {81, 31, 2678400}, {82, 5, 604800}, {83, 35, 2678400}, {90, 53, 604800},
};

const Pattern *patternOf(int32_t code) {
    for (const Pattern &p : kPatterns)
        if (p.code == code) return &p;
    return nullptr;
}

int refuse(StatsQuery *q, int32_t reason, int32_t parmId, const char *text) {
    evPcfResponse(q->context, q->command, reason, parmId, text);
    return 0;
}

int namedValue(StatsQuery *q, const PcfCursor *cursor, const evValueName *names, int32_t *out) {
    if (cursor->type != MQCFT_INTEGER || cursor->value == nullptr)
        return evParameterNameError(q->context, cursor, kValueError, "Parameter '%s' should be an integer."),
               0;
    const int32_t value = mqiGetI32(cursor->value, 0);
    if (evValueNameByValue(names, value) == nullptr)
        return evParameterNameError(q->context, cursor, kValueError,
                                    "Parameter '%s' is not a recognised value."),
               0;
    *out = value;
    return 1;
}

// Digits alone, as MQSC sends INTVL(5): a number of minutes, as an integer INTVL is. Unlike the
// documented rule, which reads every text with its units (digits alone then being seconds), so that
// INTVL(5) means the same typed in MQSC as sent in PCF. False for any other text.
bool minutesText(const char *text, int32_t length, int64_t *minutes) {
    while (length > 0 && text[0] == ' ') text++, length--;
    while (length > 0 && text[length - 1] == ' ') length--;
    if (length == 0) return false;
    int64_t n = 0;
    for (int32_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        if (n <= kIntervalMax) n = n * 10 + (text[i] - '0');
    }
    *minutes = n;
    return true;
}

// INTVL: an integer, or a text of digits alone, is minutes; any other text an interval with units. In
// 64 bits, so that a large number of minutes is refused rather than wrapped.
int intervalParm(StatsQuery *q, const PcfCursor *cursor) {
    int64_t seconds = 0;
    int64_t minutes = 0;
    const bool integer = cursor->type == MQCFT_INTEGER || cursor->type == MQCFT_INTEGER64;
    const char *text = nullptr;
    int32_t length = 0;
    if (integer && cursor->value != nullptr) {
        minutes = cursor->type == MQCFT_INTEGER ? mqiGetI32(cursor->value, 0) : mqiGetI64(cursor->value, 0);
    } else if (cursor->type == MQCFT_STRING) {
        if (!evParmGetString(q->context, cursor, 0, kIntervalTextMax, &text, &length)) return 0;
    } else {
        return evParameterNameError(q->context, cursor, kValueError, "Invalid data type for parameter '%s'."),
               0;
    }
    if (integer || minutesText(text, length, &minutes)) {
        if (minutes > kIntervalMax / 60 || minutes < -kIntervalMax / 60)
            return refuse(q, MQRCCF_PARM_SYNTAX_ERROR, kIntervalId,
                          "Invalid 'INTVL' parameter specification.");
        seconds = minutes * 60;
    } else {
        int ok = 0;
        const int32_t parsed = CSParseInterval(text, static_cast<uint32_t>(length), CSIntervalUnits, &ok);
        if (!ok)
            return refuse(q, MQRCCF_PARM_SYNTAX_ERROR, kIntervalId,
                          "Invalid 'INTVL' parameter specification.");
        seconds = int64_t{parsed / 60} * 60;
    }
    if (seconds <= 0)
        return refuse(q, MQRCCF_PARM_SYNTAX_ERROR, kIntervalId, "'INTVL' must be greater than zero.");
    q->interval = seconds;
    return 1;
}

int sumParm(StatsQuery *q, const PcfCursor *cursor, const StatsSumKey *sums) {
    if (cursor->type == MQCFT_INTEGER && cursor->value != nullptr)
        return evQuerySumValue(q, cursor, mqiGetI32(cursor->value, 0), sums);
    if (cursor->type == MQCFT_INTEGER_LIST) {
        for (uint32_t i = 0; i < cursor->valueCount; i++)
            if (!evQuerySumValue(q, cursor, mqiGetI32(cursor->value, static_cast<size_t>(i) * 4), sums))
                return 0;
        return 1;
    }
    return evParameterNameError(q->context, cursor, kValueError, "Parameter '%s' should be an integer."), 0;
}

// The local midnight of the day of a time.
int64_t localMidnight(int64_t time) {
    EvLocalTime fields{};
    if (!evLocalTimeFields(time, &fields)) return time;
    fields.hour = fields.minute = fields.second = 0;
    int64_t midnight = time;
    return evLocalFieldsToTime(&fields, &midnight) ? midnight : time;
}

// The first multiple of step at or after value (step > 0), for either sign of value.
int64_t ceilDiv(int64_t value, int64_t step) {
    const int64_t q = value / step;
    return q + (q * step < value ? 1 : 0);
}

}  // namespace

void evQueryInit(StatsQuery *query, QmgrContext *context, int32_t command) {
    std::memset(query, 0, sizeof *query);
    query->context = context;
    query->command = command;
    evSelectionInit(&query->selection, command);
    query->selection.maxRecs = evSettings.defaultMaxRecords.load();
    query->checkStoredInterval = 1;
    query->lowestPeriod = 999999;
    query->highestPeriod = -1;
}

int evQuerySumValue(StatsQuery *query, const PcfCursor *cursor, int32_t value, const StatsSumKey *sums) {
    const evValueName *named = evValueNameByValue(evSumNames, value);
    const StatsSumKey *key = nullptr;
    for (const StatsSumKey *row = sums; row->value != 0; row++)
        if (row->value == value) key = row;
    if (named == nullptr && key == nullptr)
        return evParameterNameError(query->context, cursor, kValueError,
                                    "Parameter '%s' is not a recognised value."),
               0;
    if (key != nullptr) {
        query->keyMask |= key->bit;
        return 1;
    }
    if (value == STATS_SUM_NONE || value == STATS_SUM_TOTAL) {
        query->sumMode = value;
        return 1;
    }
    char text[96];
    std::snprintf(text, sizeof text, "SUM(%s) is not valid for this command", named->keyword);
    return refuse(query, kValueError, kSumId, text);
}

int evQueryParseParm(StatsQuery *query, const PcfCursor *cursor, const StatsSumKey *sums, int *recognised) {
    *recognised = 1;
    const auto id = static_cast<int32_t>(cursor->parmId);
    if (id >= kFirstId && id <= kLastId) {
        switch (id) {
            case kStreamId:
                return evParmGetString(query->context, cursor, 0, 64, &query->stream, &query->streamLength);
            case kSumId:
                return sumParm(query, cursor, sums);
            case kZeroValuesId:
                return namedValue(query, cursor, evZeroValsNames, &query->zeroValues);
            case kGapFillId:
                return namedValue(query, cursor, evGapFillNames, &query->gapFill);
            case kAlignId:
                return namedValue(query, cursor, evIntervalAlignNames, &query->align);
            case kCollateId:
                return namedValue(query, cursor, evCollateNames, &query->collate);
            case kIntervalId:
                return intervalParm(query, cursor);
            case kTitleId: {
                const char *text = nullptr;
                int32_t length = 0;
                if (!evParmGetString(query->context, cursor, 0, static_cast<int32_t>(STATS_TITLE_MAX), &text,
                                     &length))
                    return 0;
                std::memcpy(query->title, text, static_cast<size_t>(length));
                query->title[length] = '\0';
                return 1;
            }
            default:
                break;
        }
    }
    int handled = 0;
    const int taken = evParseSelectionParm(query->context, &query->selection, cursor, &handled);
    *recognised = handled;
    return taken;
}

int evQueryCheckOptions(StatsQuery *query, const StatsSumKey *sums, uint32_t defaultKeys) {
    EvSelection &s = query->selection;
    // 1. The default keys.
    query->sumNoneGiven = query->sumMode == STATS_SUM_NONE;
    if (query->sumMode == 0 && query->keyMask == 0) query->keyMask = defaultKeys;
    // 2. One segment sum at most, and not beside a key field.
    bool keyField = false;
    for (const StatsSumKey *row = sums; row->value != 0; row++) {
        if ((query->keyMask & row->bit) == 0) continue;
        const int32_t segment = row->value == kSumPrefix    ? 1
                                : row->value == kSumPrefix2 ? 2
                                : row->value == kSumSuffix  ? -1
                                                            : 0;
        if (segment != 0) {
            if (query->segment != 0)
                return refuse(query, kValueError, kSumId, "Only one PREFIX or SUFFIX sum may be specified");
            query->segment = segment;
        }
        if (row->bit & defaultKeys) keyField = true;
        if (keyField && query->segment != 0)
            return refuse(query, kValueError, kSumId, "Can not sum by PREFIX/SUFFIX and key field");
    }
    const bool gapFill = query->gapFill != STATS_GAPFILL_NO;
    if (query->collate == 0) {
        // 3.
        if (query->sumMode != 0 && query->keyMask != 0)
            return refuse(query, kValueError, kSumId, "Invalid combination of SUM() values used");
        if (query->interval == 0 && gapFill)
            return refuse(query, kValueError, kGapFillId, "GAPFILL can not be used without an INTVL value");
        if (query->interval != 0 && query->sumMode == STATS_SUM_NONE)
            return refuse(query, kValueError, kIntervalId,
                          "You can not specify an INTVL value with SUM(NONE)");
    } else {
        // 4.
        if (query->sumMode == STATS_SUM_TOTAL)
            return refuse(query, kValueError, kSumId,
                          "COLLATE() and SUM() can not both be used in the same command");
        if (query->interval != 0)
            return refuse(query, kValueError, kIntervalId,
                          "COLLATE() and INVTL can not both be used in the same command");
        if (s.maxResp == CMD_NOT_GIVEN) s.maxResp = kCollateMaxResp;
        query->sumMode = STATS_SUM_NONE;
        query->lowestPeriod = 999999;
        query->highestPeriod = -1;
    }
    // 5. The window, the defaults.
    if (!evParseFromTo(query->context, &s)) return 0;
    if (s.maxResp == CMD_NOT_GIVEN) s.maxResp = kDefaultMaxResp;
    if (s.evQmgr == nullptr || s.evQmgrLength == 0) {
        s.evQmgr = query->context->event.name;
        s.evQmgrLength =
            static_cast<int32_t>(strnlen(query->context->event.name, sizeof query->context->event.name));
    }
    // 6. The collation list's size.
    if (query->collate == 0) {
        query->capacity = static_cast<uint32_t>(s.maxResp);
    } else {
        const Pattern *pattern = patternOf(query->collate);
        query->capacity = pattern != nullptr ? pattern->periods : 1;
    }
    return 1;
}

int evQueryParseRVersion(char *text) {
    if (std::strchr(text, '.') == nullptr) return 1;
    char out[9] = "";
    size_t used = 0;
    int parts = 0;
    for (const char *p = text;; parts++) {
        const char *end = std::strchr(p, '.');
        const size_t length = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (parts >= 4 || length > 2) return 0;
        for (size_t i = 0; i < length; i++)
            if (!(p[i] >= '0' && p[i] <= '9') && p[i] != '?' && p[i] != '*') return 0;
        if (length == 2) {
            out[used++] = p[0];
            out[used++] = p[1];
        } else if (length == 1) {
            if (p[0] == '?' || p[0] == '*') {
                out[used++] = '*';
            } else {
                out[used++] = '0';
                out[used++] = p[0];
            }
        }
        if (end == nullptr) break;
        p = end + 1;
    }
    out[used] = '\0';
    std::memcpy(text, out, used + 1);
    return 1;
}

int evQueryCheckStreamInterval(StatsQuery *query, const Stream *stream) {
    const StreamDef *def = stream->definition;
    const Pattern *pattern = patternOf(query->collate);
    if (def == nullptr || def->aggrInt == 0 || pattern == nullptr) return 1;
    const int64_t aggregation = def->aggrInt;
    if (pattern->seconds < aggregation) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "Stream '%s' aggregation interval is larger than the requested collation interval",
                      def->name);
        return refuse(query, MQRCCF_PARM_CONFLICT, kCollateId, text);
    }
    if (pattern->seconds % aggregation != 0) query->uneven = 1;
    return 1;
}

int evQueryCheckInterval(StatsQuery *query, int64_t *start, int64_t *end) {
    const int64_t e = *end;
    if (!query->seenRecord) {
        query->seenRecord = 1;
        query->mqBase = e;
        query->storedInterval = e != *start ? e - *start : 1;
        if (query->checkStoredInterval && query->interval != 0) {
            const int64_t d = query->storedInterval;
            const int64_t minutes = d < 60 ? 60 : ((d + 30) / 60) * 60;
            char stored[CS_INTERVAL_TEXT_MAX];
            CSFormatInterval(static_cast<int32_t>(d > kIntervalMax ? kIntervalMax : d), stored);
            char text[160];
            if (query->interval < minutes) {
                std::snprintf(text, sizeof text,
                              "Interval can not be shorter than the stored interval on the stream of %s",
                              stored);
                return refuse(query, HLVRCCF_COMMAND_OK_WITH_TEXT, kIntervalId, text);
            }
            if (query->align == STATS_ALIGN_MQ && query->interval % minutes != 0) {
                std::snprintf(text, sizeof text,
                              "Interval should be a multiple of the stored interval on the stream of %s",
                              stored);
                return refuse(query, HLVRCCF_COMMAND_OK_WITH_TEXT, kIntervalId, text);
            }
        }
        const int32_t offset = query->selection.zoneMinutes;
        query->clockBase = offset == evTzOffset.load() ? localMidnight(e) : int64_t{1440 - offset} * 60;
    }
    if (query->interval == 0) return 1;
    // A boundary belongs to the interval that ends there, on either side of the base, as for the bins.
    const int64_t base = query->align == STATS_ALIGN_MQ ? query->mqBase : query->clockBase;
    *end = base + ceilDiv(e - base, query->interval) * query->interval;
    *start = *end - query->interval;
    return 1;
}

int evRespAddInt(const StatsQuery *query, PcfCursor *response, int32_t parmId, int64_t value,
                 int32_t length) {
    if (length == 4 && static_cast<uint32_t>(value) == STATS_UNSET_32) return 1;
    if (length == 8 && value == STATS_UNSET_64) return 1;
    if (value == 0 && query->zeroValues == 0) return 1;
    int32_t cc = 0;
    int32_t rc = 0;
    if (length == 4) {
        const auto v = static_cast<int32_t>(value);
        MQPCFSetParm(response, MQCFT_INTEGER, parmId, &v, 4, 0, &cc, &rc);
    } else {
        MQPCFSetParm(response, MQCFT_INTEGER64, parmId, &value, 8, 0, &cc, &rc);
    }
    return cc != MQCC_FAILED;
}
