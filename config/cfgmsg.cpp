// The layout of the two stored PCF messages: the configuration message (command 100000: the
// settings, then one group per event queue, emitter, stream definition and queue manager) and the
// alert message (command 100001: one group per alert). Each group's members are one table below,
// read by the writer and by the reader, so the two cannot drift apart. Readers distrust the message:
// a member of an unknown id or of the wrong type is passed over, texts are cut to their fields.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/internal.h"

namespace {

enum class Kind : uint8_t {
    Text,   // MQCFST into char[max + 1]
    Int,    // MQCFIN into a 4-byte field
    Int64,  // MQCFIN64 into an 8-byte field
    // The engine's values of the configuration message: written, never read back.
    StartText,
    ConnectText,
    CommandLevel,
};
enum class When : uint8_t { Always, IfSet };  // IfSet: a text not empty, a number not 0

struct Field {
    int32_t id;
    Kind kind;
    When when;
    uint16_t max;   // texts: the characters the field holds
    size_t offset;  // in the record
};

constexpr int32_t kCommandLevel = 941;
constexpr size_t kLog = offsetof(EvSettingsValues, log);

// The settings that open the configuration message, in their stored order.
constexpr Field kSettings[] = {
    {HLV_ATTR_EV_NAME, Kind::Text, When::Always, 8, kLog + offsetof(LogSettings, name)},
    {HLV_ATTR_EV_DESC, Kind::Text, When::Always, 64, kLog + offsetof(LogSettings, descr)},
    {HLV_ATTR_EV_START_TIME, Kind::StartText, When::Always, 0, 0},
    {HLV_ATTR_EV_CONNECT_TIME, Kind::ConnectText, When::Always, 0, 0},
    {HLV_ATTR_COMMAND_LEVEL, Kind::CommandLevel, When::Always, 0, 0},
    {HLV_ATTR_DEF_ALERT_RETENTION_INTERVAL, Kind::Int, When::Always, 0,
     offsetof(EvSettingsValues, alertRetention)},
    {HLV_ATTR_DISPLAY_COMMANDS, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, displayCommands)},
    {HLV_ATTR_DEAD_LETTER_QUEUE, Kind::Text, When::Always, 48, offsetof(EvSettingsValues, deadQueue)},
    {HLV_ATTR_USE_DEAD_LETTER_Q, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, useDlq)},
    {HLV_ATTR_MAX_LOG_AGE, Kind::Int, When::Always, 0, kLog + offsetof(LogSettings, maxLogAge)},
    {HLV_ATTR_COUNT_RESET_TIME, Kind::Int64, When::Always, 0, offsetof(EvSettingsValues, resetTime)},
    {HLV_ATTR_MAX_LOG_SIZE, Kind::Int64, When::Always, 0, kLog + offsetof(LogSettings, maxLogSize)},
    {HLV_ATTR_LOG_RETENTION_INTERVAL, Kind::Int, When::Always, 0, kLog + offsetof(LogSettings, logRetention)},
    {HLV_ATTR_VERSION_CHECK, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, versionCheck)},
    {HLV_ATTR_ACCOUNTING_SELF, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, accountingSelf)},
    {HLV_ATTR_STORM_THRESHOLD, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, stormThreshold)},
    {HLV_ATTR_STORM_INTERVAL, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, stormInterval)},
    {HLV_ATTR_DEFAULT_MAX_RECORDS, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, defaultMaxRecords)},
    {HLV_ATTR_AUTH_DURATION, Kind::Int, When::Always, 0, offsetof(EvSettingsValues, authDuration)},
    {HLV_ATTR_DEFAULT_BACKOUT_THRESHOLD, Kind::Int, When::Always, 0,
     offsetof(EvSettingsValues, defaultBackoutThreshold)},
};

constexpr Field kEventQueue[] = {
    {HLV_ATTR_EVENT_Q_NAME, Kind::Text, When::Always, 48, offsetof(EventQueueDef, name)},
    {HLV_ATTR_EVENT_Q_DESC, Kind::Text, When::Always, 64, offsetof(EventQueueDef, descr)},
    {HLV_ATTR_FORWARD_Q_NAME, Kind::Text, When::Always, 48, offsetof(EventQueueDef, forwardQueue)},
    {HLV_ATTR_FORWARD_PERSISTENCE, Kind::Int, When::Always, 0, offsetof(EventQueueDef, forwardPersistence)},
    {HLV_ATTR_TEMPORARY_QUEUE_DISP, Kind::Int, When::Always, 0, offsetof(EventQueueDef, tempQ)},
    {HLV_ATTR_SUSPENDED, Kind::Int, When::Always, 0, offsetof(EventQueueDef, suspended)},
    {HLV_ATTR_EVENT_Q_STATUS, Kind::Int, When::Always, 0, offsetof(EventQueueDef, status)},
};

// The emitter's members up to ONERROR; FAILTIME and the consecutive failures follow only when
// FAILTIME is set.
constexpr Field kEmitter[] = {
    {HLV_ATTR_EMIT_NAME, Kind::Text, When::Always, 48, offsetof(EmitterDef, name)},
    {HLV_ATTR_EMIT_FORMAT, Kind::Int, When::Always, 0, offsetof(EmitterDef, format)},
    {HLV_ATTR_EMIT_DESC, Kind::Text, When::IfSet, 64, offsetof(EmitterDef, descr)},
    {HLV_ATTR_EMIT_Q_NAME, Kind::Text, When::IfSet, 48, offsetof(EmitterDef, queue)},
    {HLV_ATTR_EMIT_FILE_NAME, Kind::Text, When::IfSet, 300, offsetof(EmitterDef, file)},
    {HLV_ATTR_READER, Kind::Int, When::Always, 0, offsetof(EmitterDef, reader)},
    {HLV_ATTR_MSG_PERSISTENCE, Kind::Int, When::Always, 0, offsetof(EmitterDef, msgPersistence)},
    {HLV_ATTR_EMIT_GROUPING, Kind::Int, When::Always, 0, offsetof(EmitterDef, grouping)},
    {HLV_ATTR_MAX_SIZE, Kind::Int, When::Always, 0, offsetof(EmitterDef, maxSize)},
    {HLV_ATTR_ZERO_VALUES, Kind::Int, When::Always, 0, offsetof(EmitterDef, zeroValues)},
    {HLV_ATTR_PUT_TRANSACT, Kind::Int, When::Always, 0, offsetof(EmitterDef, put)},
    {HLV_ATTR_ON_ERROR, Kind::Int, When::Always, 0, offsetof(EmitterDef, onError)},
};
constexpr Field kEmitterFailure[] = {
    {HLV_ATTR_EMIT_FAIL_TIME, Kind::Int64, When::Always, 0, offsetof(EmitterDef, failTime)},
    {HLV_ATTR_EMIT_CONSEC_FAIL_COUNT, Kind::Int, When::Always, 0, offsetof(EmitterDef, consecutiveFailures)},
};

constexpr Field kStream[] = {
    {HLV_ATTR_STREAM_NAME, Kind::Text, When::Always, 64, offsetof(StreamDef, name)},
    {HLV_ATTR_STREAM_TYPE, Kind::Int, When::Always, 0, offsetof(StreamDef, type)},
    {HLV_ATTR_STREAM_DESC, Kind::Text, When::Always, 64, offsetof(StreamDef, descr)},
    {HLV_ATTR_RETENTION_INTERVAL, Kind::Int, When::Always, 0, offsetof(StreamDef, retIntvl)},
    {HLV_ATTR_AGGR_INTERVAL, Kind::Int, When::IfSet, 0, offsetof(StreamDef, aggrInt)},
    {HLV_ATTR_DEFAULT_STREAM, Kind::Int, When::Always, 0, offsetof(StreamDef, isDefault)},
    {HLV_ATTR_DISPLAY_IMPLICIT, Kind::Int, When::Always, 0, offsetof(StreamDef, disImplct)},
    {HLV_ATTR_STREAM_ID, Kind::Int, When::Always, 0, offsetof(StreamDef, streamId)},
    {HLV_ATTR_EMIT_NAME, Kind::Text, When::IfSet, 48, offsetof(StreamDef, evEmit)},
};

constexpr size_t counter(EvQmgrCounter c) {
    return offsetof(QmgrEntry, counters) + c * sizeof(EvCounter) + offsetof(EvCounter, current);
}
// The queue manager's members; its list of stream ids follows when it has runtime streams.
constexpr Field kQmgr[] = {
    {HLV_ATTR_Q_MGR_NAME, Kind::Text, When::Always, 48, offsetof(QmgrEntry, name)},
    {HLV_ATTR_QMS_ID, Kind::Int, When::Always, 0, offsetof(QmgrEntry, number)},
    {HLV_ATTR_NUM_EVENTS, Kind::Int, When::Always, 0, counter(EV_QMC_EVENTS)},
    {HLV_ATTR_EVENT_AUTHOR_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_AUTHOR)},
    {HLV_ATTR_EVENT_CHL_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_CHL)},
    {HLV_ATTR_EVENT_CMD_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_CMD)},
    {HLV_ATTR_EVENT_CONFIG_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_CONFIG)},
    {HLV_ATTR_EVENT_INHIBIT_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_INHIBIT)},
    {HLV_ATTR_EVENT_LOCAL_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_LOCAL)},
    {HLV_ATTR_EVENT_LOGGER_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_LOGGER)},
    {HLV_ATTR_EVENT_PERFM_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_PERFM)},
    {HLV_ATTR_EVENT_REMOTE_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_REMOTE)},
    {HLV_ATTR_EVENT_SSL_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_SSL)},
    {HLV_ATTR_EVENT_STRSTP_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_STRSTP)},
    {HLV_ATTR_EVENT_BRIDGE_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_IMSBR)},
    {HLV_ATTR_STAT_Q_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_STATQ)},
    {HLV_ATTR_STAT_CHL_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_STATCHL)},
    {HLV_ATTR_STAT_MQI_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_STATMQI)},
    {HLV_ATTR_ACCT_Q_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_ACCTQ)},
    {HLV_ATTR_ACCT_MQI_COUNT, Kind::Int, When::Always, 0, counter(EV_QMC_ACCTMQI)},
};

constexpr Field kAlert[] = {
    {HLV_ATTR_ALERT_ID, Kind::Int, When::Always, 0, offsetof(AlertDef, id)},
    {HLV_ATTR_ALERT_TEXT, Kind::Text, When::Always, EV_ALERT_TEXT_MAX, offsetof(AlertDef, text)},
    {HLV_ATTR_ALERT_SEVERITY, Kind::Int, When::Always, 0, offsetof(AlertDef, severity)},
    {HLV_ATTR_EVENT_ID, Kind::Int, When::IfSet, 0, offsetof(AlertDef, eventId)},
    {HLV_ATTR_STREAM_ID, Kind::Int, When::IfSet, 0, offsetof(AlertDef, streamId)},
    {HLV_ATTR_ALERT_CATEGORY, Kind::Text, When::IfSet, EV_ALERT_CATEGORY_MAX, offsetof(AlertDef, category)},
    {HLV_ATTR_ALERT_TIME, Kind::Int64, When::Always, 0, offsetof(AlertDef, time)},
    {HLV_ATTR_RETENTION_INTERVAL, Kind::Int, When::Always, 0, offsetof(AlertDef, retention)},
    {HLV_ATTR_ALERT_Q_MGR, Kind::Text, When::IfSet, 48, offsetof(AlertDef, qmgr)},
    {HLV_ATTR_OBJECT, Kind::Text, When::IfSet, 48, offsetof(AlertDef, objectName)},
    {HLV_ATTR_OBJECT_TYPE, Kind::Int, When::IfSet, 0, offsetof(AlertDef, objectType)},
};

const char *textAt(const void *record, const Field &f) {
    return static_cast<const char *>(record) + f.offset;
}
int32_t intAt(const void *record, const Field &f) {
    int32_t v;
    std::memcpy(&v, static_cast<const char *>(record) + f.offset, sizeof v);
    return v;
}
int64_t int64At(const void *record, const Field &f) {
    int64_t v;
    std::memcpy(&v, static_cast<const char *>(record) + f.offset, sizeof v);
    return v;
}

// The engine's time texts: the C run-time's 24 characters and a newline; empty without a time.
int32_t putTimeText(PcfCursor *c, int32_t id, int64_t time) {
    char text[EV_DATE_TIME_TEXT + 1] = {};
    if (time && evLocalDateTimeText(time, text)) std::strcat(text, "\n");
    return cfgPutText(c, id, text);
}

int32_t writeField(PcfCursor *c, const void *record, const Field &f) {
    switch (f.kind) {
        case Kind::Text:
            if (f.when == When::IfSet && !textAt(record, f)[0]) return 0;
            return cfgPutText(c, f.id, textAt(record, f));
        case Kind::Int:
            if (f.when == When::IfSet && intAt(record, f) == 0) return 0;
            return cfgPutInt(c, f.id, intAt(record, f));
        case Kind::Int64:
            if (f.when == When::IfSet && int64At(record, f) == 0) return 0;
            return cfgPutInt64(c, f.id, int64At(record, f));
        case Kind::StartText:
            return putTimeText(c, f.id, evSettings.startTime.load());
        case Kind::ConnectText:
            return putTimeText(c, f.id, evSettings.connectTime.load());
        case Kind::CommandLevel:
            return cfgPutInt(c, f.id, kCommandLevel);
    }
    return 0;
}

template <size_t N>
int32_t writeFields(PcfCursor *c, const void *record, const Field (&fields)[N]) {
    for (const Field &f : fields)
        if (int32_t reason = writeField(c, record, f)) return reason;
    return 0;
}

// Stores one received member into the record when the table names it with this type; the bit of
// the field in *seen. False when the table does not take it.
template <size_t N>
bool readField(void *record, const Field (&fields)[N], int32_t type, int32_t id, const void *value,
               int32_t length, uint32_t *seen = nullptr) {
    static_assert(N <= 32);
    for (size_t i = 0; i < N; i++) {
        const Field &f = fields[i];
        if (f.id != id) continue;
        char *to = static_cast<char *>(record) + f.offset;
        if (f.kind == Kind::Text && type == MQCFT_STRING) {
            cfgCopyTrimmed(to, f.max, value, length);
        } else if (f.kind == Kind::Int && type == MQCFT_INTEGER) {
            int32_t v = mqiGetI32(value, 0);
            std::memcpy(to, &v, sizeof v);
        } else if (f.kind == Kind::Int64 && type == MQCFT_INTEGER64) {
            int64_t v = mqiGetI64(value, 0);
            std::memcpy(to, &v, sizeof v);
        } else {
            continue;  // the engine's values, or a member of the wrong type
        }
        if (seen) *seen |= 1u << i;
        return true;
    }
    return false;
}

// Copies the fields read (their bits in seen) from one record into another of the same type.
template <size_t N>
void copySeen(void *to, const void *from, const Field (&fields)[N], uint32_t seen) {
    for (size_t i = 0; i < N; i++) {
        if (!(seen & (1u << i))) continue;
        const Field &f = fields[i];
        const size_t size = f.kind == Kind::Text ? f.max + 1u : f.kind == Kind::Int64 ? 8u : 4u;
        std::memcpy(static_cast<char *>(to) + f.offset, static_cast<const char *>(from) + f.offset, size);
    }
}

void noStorage(const char *text) {
    evOutput(EV_OUT_ERROR, text, -1, 1);
}

bool named(const std::vector<StreamDef *> &names, const StreamDef *def) {
    for (const StreamDef *n : names)
        if (n == def) return true;
    return false;
}

}  // namespace

// ---- Building ----

int32_t cfgPutInt(PcfCursor *cursor, int32_t id, int32_t value) {
    uint8_t bytes[4];
    mqiPutI32(bytes, 0, value);
    int32_t compCode = MQCC_OK, reason = MQRC_NONE;
    MQPCFSetParm(cursor, MQCFT_INTEGER, id, bytes, 4, 0, &compCode, &reason);
    return compCode == MQCC_OK ? 0 : reason;
}

int32_t cfgPutInt64(PcfCursor *cursor, int32_t id, int64_t value) {
    uint8_t bytes[8];
    mqiPutI64(bytes, 0, value);
    int32_t compCode = MQCC_OK, reason = MQRC_NONE;
    MQPCFSetParm(cursor, MQCFT_INTEGER64, id, bytes, 8, 0, &compCode, &reason);
    return compCode == MQCC_OK ? 0 : reason;
}

int32_t cfgPutText(PcfCursor *cursor, int32_t id, const char *text) {
    int32_t compCode = MQCC_OK, reason = MQRC_NONE;
    MQPCFSetStringParm(cursor, MQCFT_STRING, id, text, -1, 0, 0, &compCode, &reason);
    return compCode == MQCC_OK ? 0 : reason;
}

int32_t cfgPutGroup(PcfCursor *cursor, int32_t id) {
    int32_t compCode = MQCC_OK, reason = MQRC_NONE;
    MQPCFSetParm(cursor, MQCFT_GROUP, id, nullptr, 0, 0, &compCode, &reason);
    return compCode == MQCC_OK ? 0 : reason;
}

int32_t cfgPutGroupEnd(PcfCursor *cursor) {
    int32_t compCode = MQCC_OK, reason = MQRC_NONE;
    MQPCFSetParm(cursor, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &compCode, &reason);
    return compCode == MQCC_OK ? 0 : reason;
}

void cfgCopyTrimmed(char *to, size_t max, const void *value, int32_t length) {
    size_t n = length > 0 && value ? static_cast<size_t>(length) : 0;
    if (n > max) n = max;
    if (n) std::memcpy(to, value, n);
    while (n && (to[n - 1] == ' ' || to[n - 1] == '\0')) n--;
    to[n] = '\0';
}

int32_t cfgWriteSettings(PcfCursor *cursor) {
    EvSettingsValues values;
    evSettingsRead(&values);
    return writeFields(cursor, &values, kSettings);
}

int32_t evCfgWriteEventQueue(PcfCursor *cursor, const EventQueueDef *queue) {
    int32_t reason = cfgPutGroup(cursor, HLV_ATTR_EVENT_Q_GROUP);
    if (!reason) reason = writeFields(cursor, queue, kEventQueue);
    return reason ? reason : cfgPutGroupEnd(cursor);
}

int32_t evCfgWriteEmitter(PcfCursor *cursor, const EmitterDef *emitter) {
    int32_t reason = cfgPutGroup(cursor, HLV_ATTR_EMIT_DEF_GROUP);
    if (!reason) reason = writeFields(cursor, emitter, kEmitter);
    if (!reason && emitter->failTime != 0) reason = writeFields(cursor, emitter, kEmitterFailure);
    return reason ? reason : cfgPutGroupEnd(cursor);
}

int32_t evCfgWriteStream(PcfCursor *cursor, const StreamDef *def) {
    int32_t reason = cfgPutGroup(cursor, HLV_ATTR_STREAM_DEF_GROUP);
    if (!reason) reason = writeFields(cursor, def, kStream);
    return reason ? reason : cfgPutGroupEnd(cursor);
}

int32_t evCfgWriteQmgr(PcfCursor *cursor, const QmgrEntry *qmgr) {
    int32_t reason = cfgPutGroup(cursor, HLV_ATTR_QMS_GROUP);
    if (!reason) reason = writeFields(cursor, qmgr, kQmgr);
    if (!reason && qmgr->streams) {
        std::vector<uint8_t> ids;
        for (const Stream *s = qmgr->streams; s; s = s->next) {
            ids.resize(ids.size() + 4);
            mqiPutU32(ids.data(), ids.size() - 4, s->streamId);
        }
        int32_t compCode = MQCC_OK;
        MQPCFSetParm(cursor, MQCFT_INTEGER_LIST, HLV_ATTR_STREAM_ID, ids.data(),
                     static_cast<int32_t>(ids.size()), 0, &compCode, &reason);
        if (compCode == MQCC_OK) reason = 0;
    }
    return reason ? reason : cfgPutGroupEnd(cursor);
}

int32_t evCfgWriteAlert(PcfCursor *cursor, const AlertDef *alert) {
    int32_t reason = cfgPutGroup(cursor, HLV_ATTR_EVENT_ALERT_GROUP);
    if (!reason) reason = writeFields(cursor, alert, kAlert);
    return reason ? reason : cfgPutGroupEnd(cursor);
}

// ---- Reading ----

void cfgParseSetting(EvSettingsValues *values, int32_t type, int32_t id, const void *value, int32_t length) {
    readField(values, kSettings, type, id, value, length);
}

int evCfgParseEventQueue(PcfCursor *cursor) {
    EventQueueDef queue{};
    if (!cfgReadGroup(cursor, [&](int32_t type, int32_t id, void *value, int32_t length, int32_t) {
            readField(&queue, kEventQueue, type, id, value, length);
        }))
        return 0;
    if (!queue.name[0]) return 1;  // nameless: nothing to add
    int32_t reason = 0;
    char text[EV_CONFIG_TEXT];
    EventQueueDef *kept = evEventQueueFindOrAdd(&queue, &reason, text);
    if (!kept) {
        noStorage(text);
        return 0;
    }
    // A record a reload keeps (the command queue's; every queue's when set E's unit reloads) takes the
    // stored attributes ALTER EVQ sets; SUSPENDED and STATUS stay those of its running consumer.
    std::memcpy(kept->descr, queue.descr, sizeof kept->descr);
    std::memcpy(kept->forwardQueue, queue.forwardQueue, sizeof kept->forwardQueue);
    kept->forwardPersistence = queue.forwardPersistence;
    kept->tempQ = queue.tempQ;
    return 1;
}

int evCfgParseEmitter(PcfCursor *cursor, CfgLoadNames *names) {
    // Members are gathered first and stored into the emitter once its name is known.
    EmitterDef read{};
    uint32_t seen = 0, seenFailure = 0;
    if (!cfgReadGroup(cursor, [&](int32_t type, int32_t id, void *value, int32_t length, int32_t) {
            if (!readField(&read, kEmitter, type, id, value, length, &seen))
                readField(&read, kEmitterFailure, type, id, value, length, &seenFailure);
        }))
        return 0;
    if (!read.name[0]) return 1;
    EmitterDef *emitter = evCreateEmitterDef(read.name, -1);
    if (!emitter) {
        noStorage("No storage available.");
        return 0;
    }
    // A reload finds the emitter still in memory: a member the message leaves out (DESCR, QUEUE and
    // FILE when empty, the failure pair when there was none) is the template's, as in a new emitter,
    // not what a backed-out change left there.
    copySeen(emitter, &read, kEmitter, seen);
    copySeen(emitter, evEmitterTemplate(), kEmitter, ~seen);
    copySeen(emitter, &read, kEmitterFailure, seenFailure);
    copySeen(emitter, evEmitterTemplate(), kEmitterFailure, ~seenFailure);
    // As DEFINE EVEMIT derives it: a queue, or a file name with a counter, takes one record per unit.
    emitter->singleRecord =
        emitter->queue[0] || std::strstr(emitter->file, "%i") || std::strstr(emitter->file, "%I") ? 1 : 0;
    names->emitters.push_back(emitter);
    return 1;
}

int evCfgParseStream(PcfCursor *cursor, CfgLoadNames *names) {
    StreamDef read{};
    read.disImplct = 1;  // unless stored
    if (!cfgReadGroup(cursor, [&](int32_t type, int32_t id, void *value, int32_t length, int32_t) {
            readField(&read, kStream, type, id, value, length);
        }))
        return 0;
    if (!read.name[0] || read.type < STREAM_TYPE_EVENTS || read.type > STREAM_TYPE_ACCTMQI) return 1;
    if (read.retIntvl == 0) {
        // The default stream of the type among those this load named, else the built-in retention.
        for (const StreamDef *def = evStreamDefList; def && read.retIntvl == 0; def = def->next)
            if (def->type == read.type && def->isDefault == 1 && named(names->streams, def))
                read.retIntvl = def->retIntvl;
        if (read.retIntvl == 0)
            read.retIntvl = read.type == STREAM_TYPE_EVENTS ? STREAM_RETAIN_EVENTS : STREAM_RETAIN_STATS;
    }
    // Two definitions with one id would store into each other's blobs: the later one is passed over.
    for (const StreamDef *n : names->streams)
        if (read.streamId && n->streamId == read.streamId &&
            (n->type != read.type || std::strcmp(n->name, read.name)))
            return 1;
    StreamDef *def = evStreamDefine(read.name, -1, read.type, 0, read.streamId);
    if (!def) return 0;
    StreamDef *next = def->next;
    const uint32_t id = read.streamId ? read.streamId : def->streamId;
    *def = read;
    def->next = next;
    def->nameLength = static_cast<uint16_t>(std::strlen(def->name));
    def->streamId = id;
    def->emitter = nullptr;  // looked up again by name at first use
    if (id > evStreamHighestId) evStreamHighestId = id;
    names->streams.push_back(def);
    return 1;
}

int evCfgParseQmgr(PcfCursor *cursor, const CfgLoadNames *names) {
    QmgrEntry read{};
    const uint8_t *ids = nullptr;
    int32_t idCount = 0;
    if (!cfgReadGroup(cursor, [&](int32_t type, int32_t id, void *value, int32_t length, int32_t count) {
            if (id == HLV_ATTR_STREAM_ID && type == MQCFT_INTEGER_LIST) {
                ids = static_cast<const uint8_t *>(value);
                idCount = count;
            } else {
                readField(&read, kQmgr, type, id, value, length);
            }
        }))
        return 0;
    if (!read.name[0]) return 1;
    char text[EV_CONFIG_TEXT];
    QmgrEntry *qmgr = evQmgrFindOrAdd(read.name, read.number, text);
    if (!qmgr) {
        noStorage(text);
        return 0;
    }
    {
        // The stored record, but for the tree's links and what is rebuilt at run time.
        CSRecursiveGuard guard(gStructureLock);
        for (Stream *s = qmgr->streams; s;) {
            Stream *next = s->next;
            evStreamFree(s);
            s = next;
        }
        const CSTree links = qmgr->links;
        const uint16_t nameLength = qmgr->nameLength;
        const uint32_t number = read.number ? read.number : qmgr->number;
        *qmgr = read;
        qmgr->links = links;
        qmgr->nameLength = nameLength;
        qmgr->number = number;
        if (number > evQmgrHighestNumber) evQmgrHighestNumber = number;
        qmgr->nameId = 0;  // interned again by the next find-or-add
        qmgr->alertCount = 0;
        qmgr->streams = nullptr;
        for (EvCounter &c : qmgr->counters) c.atConnect = c.committed = c.current;
    }
    for (int32_t i = 0; i < idCount; i++) {
        // Among the definitions this load named (a leftover of a backed-out unit goes at its end);
        // id 0 is the string pool's own.
        const uint32_t streamId = mqiGetU32(ids, 4 * static_cast<size_t>(i));
        StreamDef *def = streamId == 0 ? evStreamDefFindById(0) : nullptr;
        for (StreamDef *n : names->streams)
            if (!def && n->streamId == streamId) def = n;
        if (!def) continue;  // a definition deleted since
        bool present = false;
        for (const Stream *s = qmgr->streams; s && !present; s = s->next) present = s->definition == def;
        if (present) continue;
        Stream *stream = evStreamCreate(qmgr, def);
        if (!stream) return 0;
        bool linked = false;
        for (const Stream *s = qmgr->streams; s && !linked; s = s->next) linked = s == stream;
        if (!linked) {  // the configuration's hooks are not installed: a programming error
            CS_TRAP(static_cast<int32_t>(def->streamId));
            evStreamFree(stream);
        }
    }
    return 1;
}

int evCfgParseAlert(PcfCursor *cursor, AlertTemplate *alert) {
    std::memset(alert, 0, sizeof *alert);
    return cfgReadGroup(cursor, [&](int32_t type, int32_t id, void *value, int32_t length, int32_t) {
        readField(&alert->alert, kAlert, type, id, value, length);
    });
}
