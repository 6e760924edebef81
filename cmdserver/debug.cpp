// DEBUG: the operator's MQSC-only command that acts on the running processor at once (restart,
// shutdown, stream dumps, string housekeeping, trace letters and a few engine values used in
// testing). Every action is written to the console and the log as it happens.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmdserver/internal.h"

namespace {

constexpr int kStringsShown = 50;
constexpr int kStringTextShown = 30;

void say(const char *text) {
    evOutput(EV_OUT_PROGRESS, text, -1, 1);
}

struct Item {
    const char *keyword;
    size_t keywordLength;
    const char *value;  // null: none
    size_t valueLength;
};

// The next KEYWORD or KEYWORD(value): 1 with the item, 0 at the end, -1 for a malformed one.
int nextItem(const char **cursor, const char *end, Item *item) {
    const char *p = *cursor;
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) p++;
    if (p == end) return 0;
    const char *keyword = p;
    while (p < end && *p != '(' && *p != ')' && !std::isspace(static_cast<unsigned char>(*p))) p++;
    if (p == keyword) return -1;
    *item = Item{keyword, static_cast<size_t>(p - keyword), nullptr, 0};
    if (p < end && *p == '(') {
        const char *value = ++p;
        while (p < end && *p != ')') p++;
        if (p == end) return -1;
        if (p > value) {
            item->value = value;
            item->valueLength = static_cast<size_t>(p - value);
        }
        p++;
    }
    *cursor = p;
    return 1;
}

bool is(const Item &item, const char *keyword) {
    return item.keywordLength == std::strlen(keyword) &&
           std::memcmp(item.keyword, keyword, item.keywordLength) == 0;
}

bool valueIs(const Item &item, const char *text) {
    return item.value != nullptr && item.valueLength == std::strlen(text) &&
           std::memcmp(item.value, text, item.valueLength) == 0;
}

// The item's value as a number: false when there is none or it is not one.
bool number(const Item &item, int32_t *out) {
    if (item.value == nullptr || item.valueLength > 11) return false;
    char text[12];
    std::memcpy(text, item.value, item.valueLength);
    text[item.valueLength] = '\0';
    char *stop = nullptr;
    const long value = std::strtol(text, &stop, 10);
    if (stop == text || *stop != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

void timeField(char *out, size_t size, int64_t time, int64_t now) {
    if (time == 0) {
        std::snprintf(out, size, "Unset");
        return;
    }
    char text[EV_DATE_TIME_TEXT] = "";
    evLocalDateTimeText(time, text);
    std::snprintf(out, size, "%24.24s %7.2lf days", text,
                  static_cast<double>(evTimeSpan(now, time)) / 86400.0);
}

int dumpMatching(const Item &item) {
    char line[160];
    std::snprintf(line, sizeof line, "Debug Streams('%.*s')", static_cast<int>(item.valueLength), item.value);
    say(line);
    int matched = 0;
    CSRecursiveGuard guard(gStructureLock);
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
        auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
        for (Stream *stream = qmgr->streams; stream != nullptr; stream = stream->next) {
            const char *name = evStreamName(stream);
            if (!evWildMatch(name, std::strlen(name), item.value, item.valueLength)) continue;
            evDebugDumpStream(stream);
            matched++;
        }
    }
    if (matched == 0) {
        say("No matching streams found");
    } else {
        std::snprintf(line, sizeof line, "%d matching streams found", matched);
        say(line);
    }
    return 1;
}

void outputStrings() {
    CSRecursiveGuard guard(gStructureLock);
    uint64_t checked = 0;
    char line[128];
    for (uint32_t bucket = 0; evStrings.byId != nullptr && bucket < evStrings.buckets; bucket++) {
        for (const StringEntry *entry = evStrings.byId[bucket]; entry != nullptr; entry = entry->nextById) {
            if (checked < kStringsShown) {
                const int shown = entry->length < kStringTextShown ? entry->length : kStringTextShown;
                std::snprintf(line, sizeof line, "%3d. Id:%5d '%.*s'", static_cast<int>(checked + 1),
                              static_cast<int>(entry->id), shown, entry->text);
                say(line);
            }
            checked++;
        }
    }
    std::snprintf(line, sizeof line, "%llu strings checked", static_cast<unsigned long long>(checked));
    say(line);
}

// HOUSEKEEP changes "$STRINGS" in set C's unit: set E's unit is closed and held first, so that its
// records and the rewritten strings never share a commit that one of them could lose. False when set
// E could not be held: the command ends with the refusal.
bool housekeep(QmgrContext *context, const Item &item) {
    say("Debug HOUSEKEEP started.");
    const int32_t held = evHoldEventSet(context);
    if (held != EV_SUSPEND_HELD && held != EV_SUSPEND_NOT_STARTED) {
        // The connection ends: answered when the reconnect delivers the request again.
        if (context->restartMark.load() != 0) {
            cmdRequest(context)->noReply = 1;
            return false;
        }
        // An escape requester sees the refusal as failed, not done.
        cmdRequest(context)->lastReason = MQRC_BACKED_OUT;
        evAddResponse(context, CMD_RESP_TEXT,
                      reinterpret_cast<const uint8_t *>("Command transaction failed, please try again later"),
                      -1);
        return false;
    }
    CSRecursiveGuard guard(gStructureLock);
    if (!evCheckStringHousekeeping(&context->sets[EV_SET_C].io, 1, 1, valueIs(item, "UPDATE") ? 1 : 0))
        evOutput(EV_OUT_ERROR, "String housekeeping failed.", -1, 1);
    return true;
}

void setLogRetention(int32_t seconds) {
    LogSettings settings{};
    logGetSettings(&settings);
    settings.logRetention = seconds;
    logSetSettings(&settings);
    say("LogFileRetention set.");
}

constexpr int kItemRefused = 2;  // the item answered the command itself

// One item: 1 done, 0 for the syntax error, kItemRefused when the command ends with its reply.
int runItem(QmgrContext *context, const Item &item) {
    char line[128];
    int32_t n = 0;
    if (is(item, "RESTART")) {
        // One restart at a time; set C's commit ends the connection, after this reply is committed.
        if (context->restartRequested.load() == 0 && context->restartMark.load() == 0) {
            if (item.value != nullptr && !number(item, &n)) return 0;
            if (item.value != nullptr) context->restartValue.store(n);
            context->restartCount.fetch_add(1);
            context->restartRequested.store(1);
            say("Debug RESTART issued.");
        }
        return 1;
    }
    if (is(item, "STREAM")) {
        if (item.value == nullptr) {
            say("Debug command stream name missing.");
            return 1;
        }
        return dumpMatching(item);
    }
    if (is(item, "SHUTDOWN")) {
        evStopPending.store(1);
        say("Debug SHUTDOWN issued.");
        return 1;
    }
    if (is(item, "CRASH")) {
        if (item.value != nullptr && !number(item, &n)) return 0;
        say("Debug CRASH issued.");
        CSTrap(__FILE__, CS_BUILD_STAMP, static_cast<uint32_t>(__LINE__), n);
        return 1;
    }
    if (is(item, "HOUSEKEEP")) return housekeep(context, item) ? 1 : kItemRefused;
    if (is(item, "RETUNIT")) {
        if (valueIs(item, "M")) {
            cmdRetentionInMinutes.store(1);
            say("Debug RetentionInterval units set to Minutes.");
        } else if (valueIs(item, "D")) {
            cmdRetentionInMinutes.store(0);
            say("Debug RetentionInterval units set to Days.");
        } else {
            say("Debug Unrecognised RetentionInterval Unit. Expected M or D");
        }
        return 1;
    }
    if (is(item, "VERBOSE")) {
        char letters[64] = "";
        const size_t length = item.valueLength < sizeof letters - 1 ? item.valueLength : sizeof letters - 1;
        if (item.value != nullptr) std::memcpy(letters, item.value, length);
        letters[length] = '\0';
        evSetDebugFlags(letters);
        say("Debug VERBOSE settings set.");
        return 1;
    }
    if (is(item, "CHECKSTRINGS")) {
        CSRecursiveGuard guard(gStructureLock);
        evStringsReport();
        return 1;
    }
    if (is(item, "OUTPUTSTRINGS")) {
        outputStrings();
        return 1;
    }
    if (is(item, "TESTSIZE") || is(item, "TESTSTREAM")) return 1;
    if (is(item, "DATAQHI")) {
        if (!valueIs(item, "YES") && !valueIs(item, "NO")) return 0;
        const bool on = valueIs(item, "YES");
        evDataQueue.depthForcedHigh.store(on ? 1 : 0);
        say(on ? "Data Queue High Emulation On." : "Data Queue High Emulation Off.");
        return 1;
    }
    // The rest take a number.
    if (!number(item, &n)) return 0;
    if (is(item, "BACKOUT")) {
        evDebug.forcedBackouts.store(n);
        say("Debug Force Backout active.");
    } else if (is(item, "AGGRGP")) {
        evAbsorb.grace.store(n);
        std::snprintf(line, sizeof line, "Debug Aggregation Grace Period set to %d secs.", n);
        say(line);
    } else if (is(item, "LOGRET")) {
        setLogRetention(n);
    } else if (is(item, "EVREPEAT")) {
        evDebug.eventRepeat.store(n);
        std::snprintf(line, sizeof line, "Debug event repeat set to %d.", n);
        say(line);
    } else if (is(item, "DATAQCHK")) {
        evDebug.dataQueueCheck.store(n);
        say("Data Queue Check Frequency Set.");
    } else {
        return 0;
    }
    return 1;
}

bool putBeforeStart(const MQMD *md) {
    if (md == nullptr) return false;
    char date[9];
    char time[7];
    std::memcpy(date, md->PutDate, 8);
    date[8] = '\0';
    std::memcpy(time, md->PutTime, 6);
    time[6] = '\0';
    int64_t put = 0;
    return !evYMDHMSToTime(date, time, &put) || put <= evSettings.startTime.load();
}

}  // namespace

int evDebugCommand(QmgrContext *context, const char *text, int32_t length, const char *position,
                   const char *end) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr) return 0;
    // 1. Without authority the verb is unknown to the requester.
    if (evCheckCommandAuthority(context, nullptr) != 0) return 0;
    // 2. A DEBUG left on the queue from before this run is not acted on.
    if (putBeforeStart(request->md)) {
        say("Debug command ignored since it was issued before ZUNT started.");
        return evSyntaxError(context, text, length, nullptr, cmdVerbHelp), 1;
    }
    // 3. The items, each at once.
    const char *cursor = position;
    for (;;) {
        Item item{};
        const char *at = cursor;
        const int got = nextItem(&cursor, end, &item);
        if (got == 0) break;
        const int done = got < 0 ? 0 : runItem(context, item);
        if (done == kItemRefused) return 1;
        if (done == 0) {
            while (at < end && std::isspace(static_cast<unsigned char>(*at))) at++;
            evSyntaxError(context, text, length, at < end ? at : nullptr, cmdVerbHelp);
            return 1;
        }
    }
    // 4. Every item processed.
    evAddResponse(context, CMD_RESP_TEXT, reinterpret_cast<const uint8_t *>("Debug command processed"), -1);
    return 1;
}

void evDebugDumpStream(Stream *stream) {
    const int64_t now = evClockNow();
    char line[256];
    char a[64];
    char b[64];
    auto out = [&line] { say(line); };
    std::snprintf(line, sizeof line, "Debug Stream '%s'", evStreamName(stream));
    out();
    const StreamDef *def = stream->definition;
    std::snprintf(line, sizeof line, "  Retention     : %d days",
                  def != nullptr ? static_cast<int>(def->retIntvl / 86400) : 0);
    out();
    std::snprintf(line, sizeof line, "  Consol Factor : %hd", static_cast<short>(stream->factor));
    out();
    const uint8_t *message = stream->header != nullptr ? evStreamMessage(stream) : nullptr;
    timeField(a, sizeof a, stream->oldest, now);
    std::snprintf(line, sizeof line, "  Oldest Message: %s", a);
    out();
    timeField(b, sizeof b, message != nullptr ? mqiGetI64(message, SH_NEWEST) : 0, now);
    std::snprintf(line, sizeof line, "  Newest Message: %s", b);
    out();
    uint32_t big = 0, small = 0, bigRecords = 0, smallRecords = 0;
    uint32_t minSize = UINT32_MAX, maxSize = 0;
    uint64_t totalSize = 0;
    const StreamBlob *oldestBlob = nullptr;
    for (const StreamBlob *blob = stream->blobs; blob != nullptr; blob = blob->next) {
        const uint8_t *bh = evStreamBlobHeader(blob);
        const uint32_t size = evBlobLength(bh);
        minSize = size < minSize ? size : minSize;
        maxSize = size > maxSize ? size : maxSize;
        totalSize += size;
        if (evBlobFlags(bh) & BLOB_BIG) {
            big++;
            bigRecords += evBlobRecords(bh);
        } else {
            small++;
            smallRecords += evBlobRecords(bh);
        }
        oldestBlob = blob;
    }
    if (stream->blobs != nullptr) {
        timeField(a, sizeof a, evBlobOldest(evStreamBlobHeader(oldestBlob)), now);
        std::snprintf(line, sizeof line, "  Oldest Blob   : %s", a);
        out();
        timeField(b, sizeof b, evBlobNewest(evStreamBlobHeader(stream->blobs)), now);
        std::snprintf(line, sizeof line, "  Latest Blob   : %s", b);
        out();
        std::snprintf(line, sizeof line, "    Blob Size Min(%d) Max(%d) Avg(%.2lf)",
                      static_cast<int>(minSize), static_cast<int>(maxSize),
                      static_cast<double>(totalSize) / (big + small));
        out();
    }
    std::snprintf(line, sizeof line, "  Small Blobs   : %d", static_cast<int>(small));
    out();
    std::snprintf(line, sizeof line, "  Small Msgs    : %lld", static_cast<long long>(smallRecords));
    out();
    say("  Message Count :");
    std::snprintf(line, sizeof line, "    Big   : %d (%d)", static_cast<int>(big),
                  static_cast<int>(bigRecords));
    out();
    std::snprintf(line, sizeof line, "    Small : %d (%d)", static_cast<int>(small),
                  static_cast<int>(smallRecords));
    out();
    if (message != nullptr) {
        std::snprintf(line, sizeof line, "  Stream Range  : small[%lld,%lld] large[%lld,%lld]",
                      static_cast<long long>(mqiGetI64(message, SH_SMALL_FIRST)),
                      static_cast<long long>(mqiGetI64(message, SH_SMALL_LAST)),
                      static_cast<long long>(mqiGetI64(message, SH_BIG_FIRST)),
                      static_cast<long long>(mqiGetI64(message, SH_BIG_LAST)));
        out();
    }
    const EmitterDef *emitter = def != nullptr ? def->emitter : nullptr;
    if (emitter != nullptr) {
        CmdText t;
        cmdTextInit(&t, line, sizeof line);
        cmdTextPrintf(&t, "Emitter(%s) Msgs(%d)", emitter->name, static_cast<int>(emitter->msgCount));
        if (emitter->consecutiveFailures != 0) {
            timeField(a, sizeof a, emitter->failTime, now);
            cmdTextPrintf(&t, " CFC(%d) FailTime(%s)", static_cast<int>(emitter->consecutiveFailures), a);
        }
        out();
    }
    if (stream->aggregation != nullptr) {
        std::snprintf(line, sizeof line, " Aggregation Intervals: Total(%d) Last(%d)",
                      static_cast<int>(stream->activeBins), static_cast<int>(stream->binSequence));
        out();
        // Every bin of the stream's list, newest first: its number, whether it is active (a spare
        // waits for reuse) and its interval; then whether the bin at the head of the list is active.
        auto describe = evStreamGetHooks()->binsForDump;
        EvBinView bins[64];
        const uint32_t count = describe != nullptr ? describe(stream, bins, 64) : 0;
        for (uint32_t i = 0; i < count && i < 64; i++) {
            timeField(a, sizeof a, bins[i].start, now);
            timeField(b, sizeof b, bins[i].end, now);
            std::snprintf(line, sizeof line, " %5d InUse:%s %s - %s", static_cast<int>(bins[i].sequence),
                          bins[i].active ? "Y" : "N", a, b);
            out();
        }
        std::snprintf(line, sizeof line, "  Header Inuse:%s", count > 0 && bins[0].active ? "Y" : "N");
        out();
    } else {
        say("No aggregation intervals");
    }
}
