// The intake of IBM MQ statistics and accounting messages: each message becomes one compressed record
// of its family (its identifying part, then every active queue or channel in a group of its own, or
// one flat MQI record), which takes the engine's stream road with the family's stream type. Runs on
// set E's callback thread under the consumer lock, in set E's unit of work.
#include <cstdlib>
#include <cstring>
#include <new>

#include "stats/intake.h"

StatsEngineCalls statsEngineCalls = {evPutToStreams, evPutToDLQ};
std::atomic<int32_t> statsChannelWarned{0};

namespace {

constexpr int32_t kUnset32 = INT32_MIN;
constexpr size_t kApplNameLength = sizeof EV_APPL_NAME - 1;
constexpr int32_t kTemporaryDynamic = MQQDT_TEMPORARY_DYNAMIC;
// The record may hold a little more than the message: strings and times the message leaves out.
constexpr uint32_t kRecordSlack = 1024;

// One stored parameter while its message is read. Strings point into the message, which outlives
// the reading.
struct IntakeValue {
    int64_t number;
    const char *text;  // a string or byte string; a time: its date
    uint32_t length;
    uint32_t ccsid;
    const char *timeText;  // a time: its time of day
    uint32_t timeLength;
};

// The values of one part of a record: the identifying part, or one object.
struct IntakePart {
    const IntakeField *fields;
    uint32_t count;
    IntakeValue values[INTAKE_MAX_FIELDS];
};

int64_t unsetOf(const IntakeField &field) {
    return field.kind == INTAKE_INT ? kUnset32 : STATS_UNSET_64;
}

void resetPart(IntakePart *part, const IntakeField *fields, uint32_t count) {
    part->fields = fields;
    part->count = count;
    for (uint32_t i = 0; i < count; i++)
        part->values[i] = IntakeValue{
            (fields[i].flags & INTAKE_F_UNSET) ? unsetOf(fields[i]) : 0, nullptr, 0, 0, nullptr, 0};
}

IntakeValue *valueOf(IntakePart *part, int32_t storedId) {
    for (uint32_t i = 0; i < part->count; i++)
        if (part->fields[i].storedId == storedId) return &part->values[i];
    return nullptr;
}

// The parameter last read by the cursor.
struct Parm {
    int32_t type;
    int32_t id;
    const uint8_t *value;
    int32_t length;
    int32_t count;
    uint32_t ccsid;
};

// The integer a field takes of a parameter: a single value is element 0; 32-bit fields take only the
// 32-bit forms, 64-bit fields both (a 32-bit value widened with its sign). 0 for any other kind.
int integerOf(const IntakeField &field, const Parm &parm, int64_t *out) {
    bool wide = field.kind != INTAKE_INT;
    uint32_t at = field.element;
    switch (parm.type) {
        case MQCFT_INTEGER:
            if (at != 0) return 0;
            *out = mqiGetI32(parm.value, 0);
            return 1;
        case MQCFT_INTEGER_LIST:
            if (parm.count <= static_cast<int32_t>(at)) return 0;
            *out = mqiGetI32(parm.value, size_t{at} * 4);
            return 1;
        case MQCFT_INTEGER64:
            if (!wide || at != 0) return 0;
            *out = mqiGetI64(parm.value, 0);
            return 1;
        case MQCFT_INTEGER64_LIST:
            if (!wide || parm.count <= static_cast<int32_t>(at)) return 0;
            *out = mqiGetI64(parm.value, size_t{at} * 8);
            return 1;
        default:
            return 0;
    }
}

// A string's text without trailing blanks, cut to the MQ length.
void takeText(const Parm &parm, uint16_t size, const char **text, uint32_t *length) {
    auto n = static_cast<uint32_t>(parm.length > 0 ? parm.length : 0);
    if (n > size) n = size;
    *text = reinterpret_cast<const char *>(parm.value);
    *length = evCFTrimmedLength(*text, n);
}

// Files the parameter in every field it feeds; a kind a field cannot take is skipped.
void takeParm(IntakePart *part, const Parm &parm) {
    for (uint32_t i = 0; i < part->count; i++) {
        const IntakeField &field = part->fields[i];
        IntakeValue &value = part->values[i];
        if (field.kind == INTAKE_TIME && parm.id == field.timeId) {
            if (parm.type == MQCFT_STRING) takeText(parm, 8, &value.timeText, &value.timeLength);
            continue;
        }
        if (field.sourceId != parm.id || field.kind == INTAKE_SPAN) continue;
        switch (field.kind) {
            case INTAKE_INT:
            case INTAKE_INT64: {
                int64_t number = 0;
                if (integerOf(field, parm, &number))
                    value.number = field.kind == INTAKE_INT ? static_cast<int32_t>(number) : number;
                break;
            }
            case INTAKE_STRING:
                if (parm.type != MQCFT_STRING) break;
                takeText(parm, field.size, &value.text, &value.length);
                value.ccsid = parm.ccsid;
                break;
            case INTAKE_BYTES:
                if (parm.type != MQCFT_BYTE_STRING) break;
                value.text = reinterpret_cast<const char *>(parm.value);
                value.length = static_cast<uint32_t>(parm.length > field.size ? field.size : parm.length);
                break;
            case INTAKE_TIME:
                if (parm.type == MQCFT_STRING) takeText(parm, 10, &value.text, &value.length);
                break;
            default:
                break;
        }
    }
}

// Seconds since 1970 of an MQ date and time (local), or unset: a blank date gives no time (the
// conversion would count it as 1970-01-01 local), nor does a pair that does not convert.
int64_t timeOf(const IntakeValue &value) {
    if (value.text == nullptr || value.length < 10) return STATS_UNSET_64;
    int64_t seconds = 0;
    if (!evMQDateTimeToTime(value.text, value.length, value.timeText, value.timeLength, &seconds) ||
        seconds == -1)
        return STATS_UNSET_64;
    return seconds;
}

bool isSet(const IntakeField &field, const IntakeValue &value) {
    return value.number != unsetOf(field);
}

// Some counter of the part is neither 0 nor unset.
bool isActive(const IntakePart *part) {
    for (uint32_t i = 0; i < part->count; i++) {
        const IntakeField &field = part->fields[i];
        if ((field.flags & INTAKE_F_COUNTER) && part->values[i].number != 0 && isSet(field, part->values[i]))
            return true;
    }
    return false;
}

// ---- The message being read ----

// The queue manager name and the interval of the message.
constexpr IntakeField kCommonFields[] = {
    {0, MQCA_Q_MGR_NAME, 0, 0, INTAKE_STRING, INTAKE_ALWAYS, 0, 48},
    {0, MQCAMO_START_DATE, MQCAMO_START_TIME, 0, INTAKE_TIME, INTAKE_SET, INTAKE_F_UNSET, 0},
    {0, MQCAMO_END_DATE, MQCAMO_END_TIME, 0, INTAKE_TIME, INTAKE_SET, INTAKE_F_UNSET, 0},
};
constexpr uint32_t kCommonCount = sizeof kCommonFields / sizeof kCommonFields[0];
enum CommonSlot { kQmgrName, kStart, kEnd };

struct Message {
    const IntakeFamily *family;
    QmgrContext *context;
    EventQueueDef *queue;
    PcfCursor *cursor;
    IntakePart common;
    IntakePart head;
    IntakePart object;
    QmgrEntry *qmgr;
    Area *area;  // "EVPCF": the record, once an object was active
    evCFWriter writer;
    uint16_t flags;  // of the record header
};

enum ReadResult { kReadEnd, kReadGroup, kReadFailed };

int nextParm(PcfCursor *cursor, Parm *parm) {
    void *value = nullptr;
    int32_t compCode = 0, reason = 0;
    MQPCFGetNextParm(cursor, &parm->type, &parm->id, &value, &parm->length, &parm->count, &compCode, &reason);
    parm->value = static_cast<const uint8_t *>(value);
    parm->ccsid = cursor->lastCcsid;
    if (compCode == MQCC_OK) return 1;
    return reason == PCF_END_OF_MESSAGE ? 0 : -1;
}

bool isOwnApplication(const IntakeValue *name) {
    return name != nullptr && name->text != nullptr && name->length >= kApplNameLength &&
           std::memcmp(name->text, EV_APPL_NAME, kApplNameLength) == 0;
}

// Channel statistics carry the queue manager's name in ReplyToQMgr: 2015 may be wrong.
void channelQmgrName(Message *m) {
    const MQMD *md = m->context->currentMd;
    if (std::getenv("ZUNT_NO_SCQM_FIX") != nullptr || md == nullptr) return;
    uint32_t length = evCFTrimmedLength(md->ReplyToQMgr, MQ_Q_MGR_NAME_LENGTH);
    if (length == 0) return;  // nothing better than the message's own name
    IntakeValue &name = m->common.values[kQmgrName];
    if ((name.length > length ||
         (name.length > 0 && std::memcmp(name.text, md->ReplyToQMgr, name.length) != 0)) &&
        statsChannelWarned.exchange(1) == 0)
        evOutput(EV_OUT_ERROR, "IBM MQ QMgr is generating bad data in STATCHL messages", -1, 1);
    name.text = md->ReplyToQMgr;
    name.length = length;
}

// Step 2: the parameters before the first group (a flat family: all of them). An own accounting
// message that is not kept ends the reading with *dropped set.
ReadResult readTopLevel(Message *m, int *dropped) {
    Parm parm{};
    for (;;) {
        int got = nextParm(m->cursor, &parm);
        if (got <= 0) return got == 0 ? kReadEnd : kReadFailed;
        if (parm.type == MQCFT_GROUP && parm.id == m->family->groupId && m->family->groupId != 0)
            return kReadGroup;
        takeParm(&m->common, parm);
        takeParm(&m->head, parm);
        if (parm.id == MQCA_Q_MGR_NAME && m->family == &statsIntakeStatChl) channelQmgrName(m);
        if (parm.id == MQCACF_APPL_NAME && m->family == &statsIntakeAcctMQI &&
            isOwnApplication(valueOf(&m->head, MQCACF_APPL_NAME))) {
            if (evSettings.accountingSelf.load() != EV_ACCTSELF_KEEP) {
                *dropped = 1;
                return kReadEnd;
            }
            m->flags |= EVCF_FLAG_OWN_APPL;
        }
    }
}

// Steps 3 and 7: one object group, up to the next group of its kind or the end.
ReadResult readObject(Message *m) {
    resetPart(&m->object, m->family->object, m->family->objectCount);
    Parm parm{};
    for (;;) {
        int got = nextParm(m->cursor, &parm);
        if (got <= 0) return got == 0 ? kReadEnd : kReadFailed;
        if (parm.type == MQCFT_GROUP && parm.id == m->family->groupId) return kReadGroup;
        takeParm(&m->object, parm);
    }
}

// ---- Writing ----

// The times of a part, and the rules that go with them.
void settleTimes(const IntakeFamily *family, IntakePart *part) {
    for (uint32_t i = 0; i < part->count; i++)
        if (part->fields[i].kind == INTAKE_TIME) part->values[i].number = timeOf(part->values[i]);
    if (family == &statsIntakeAcctQ) {
        // A time is kept when after 1970-01-01 00:00:00; the creation time of temporary dynamic queues only.
        for (uint32_t i = 0; i < part->count; i++)
            if (part->fields[i].kind == INTAKE_TIME && part->values[i].number <= 0)
                part->values[i].number = STATS_UNSET_64;
        IntakeValue *definition = valueOf(part, MQIA_DEFINITION_TYPE);
        IntakeValue *created = valueOf(part, 31148);
        if (definition && created && definition->number != kTemporaryDynamic)
            created->number = STATS_UNSET_64;
    }
    if (family == &statsIntakeAcctMQI) {
        IntakeValue *connected = valueOf(part, 31040);
        IntakeValue *disconnected = valueOf(part, 31041);
        IntakeValue *duration = valueOf(part, 31108);
        IntakeValue *sequence = valueOf(part, MQIACF_SEQUENCE_NUMBER);
        if (!connected || !disconnected || !duration || !sequence) return;
        if (connected->number != STATS_UNSET_64 && disconnected->number != STATS_UNSET_64) {
            duration->number = disconnected->number - connected->number;
            if (duration->number == 0) duration->number = 1;
        }
        // Only the first record of a connection carries its connect time.
        if (sequence->number != kUnset32 && sequence->number >= 2) connected->number = STATS_UNSET_64;
    }
}

bool shouldWrite(const IntakeField &field, const IntakeValue &value) {
    switch (field.when) {
        case INTAKE_NONZERO:
            return value.number != 0;
        case INTAKE_SET:
            if (field.kind == INTAKE_STRING || field.kind == INTAKE_BYTES) return value.text != nullptr;
            return isSet(field, value);
        default:
            return true;
    }
}

[[nodiscard]] int writeItem(evCFWriter *writer, const evCFItem &item) {
    int32_t compCode = 0, reason = 0;
    evCFAddParm(writer, &item, &compCode, &reason);
    return compCode == MQCC_OK;
}

[[nodiscard]] int writePart(evCFWriter *writer, const IntakePart *part) {
    for (uint32_t i = 0; i < part->count; i++) {
        const IntakeField &field = part->fields[i];
        const IntakeValue &value = part->values[i];
        if (!shouldWrite(field, value)) continue;
        evCFItem item{};
        item.parmId = field.storedId;
        switch (field.kind) {
            case INTAKE_STRING:
                item.type = MQCFT_STRING;
                item.data = value.text ? value.text : "";
                item.length = static_cast<int32_t>(value.length);
                item.ccsid = value.ccsid;
                break;
            case INTAKE_BYTES:
                item.type = MQCFT_BYTE_STRING;
                item.data = value.text;
                item.length = static_cast<int32_t>(value.length);
                break;
            case INTAKE_INT:
                item.type = MQCFT_INTEGER;
                item.value = value.number;
                break;
            default:
                item.type =
                    (field.flags & INTAKE_F_NARROW) && value.number >= INT32_MIN && value.number <= INT32_MAX
                        ? MQCFT_INTEGER
                        : MQCFT_INTEGER64;
                item.value = value.number;
                break;
        }
        if (!writeItem(writer, item)) return 0;
    }
    return 1;
}

int64_t headerTime(IntakeValue *value) {
    int64_t seconds = timeOf(*value);
    return seconds == STATS_UNSET_64 ? 0 : seconds;
}

// An interval whose end is before its start: damaged, set aside like an unreadable message.
bool reversedInterval(Message *m) {
    const int64_t start = headerTime(&m->common.values[kStart]), end = headerTime(&m->common.values[kEnd]);
    return start != 0 && end != 0 && end < start;
}

// Step 6: the record in its "EVPCF" area, with its header and identifying part. 1, or 0.
[[nodiscard]] int createRecord(Message *m) {
    uint32_t length = static_cast<uint32_t>(m->cursor->length > 0 ? m->cursor->length : 0);
    uint32_t size = 2 * length + kRecordSlack;
    m->area = AreaGet(size, 0, "EVPCF");
    if (m->area == nullptr) return 0;
    uint8_t *record = AreaData(m->area);
    // Strings keep their places in the writer's order: no date or time folding here.
    if (!evCFWriterInit(&m->writer, record, size, &evStreamStringPool, m->cursor->defaultCcsid)) return 0;
    m->writer.fixedLength = 1;
    settleTimes(m->family, &m->head);
    if (m->family == &statsIntakeAcctQ && isOwnApplication(valueOf(&m->head, MQCACF_APPL_NAME)))
        m->flags |= EVCF_FLAG_OWN_APPL;
    evCFSetFlags(record, m->flags);
    evCFSetCommand(record, static_cast<uint16_t>(m->family->command));
    evCFSetIntervalEnd(record, headerTime(&m->common.values[kEnd]));
    evCFSetIntervalStart(record, headerTime(&m->common.values[kStart]));
    return writePart(&m->writer, &m->head);
}

[[nodiscard]] int writeObject(Message *m) {
    evCFItem group{};
    group.type = MQCFT_GROUP;
    group.parmId = m->family->groupId;
    evCFItem end{};
    end.type = PCF_TYPE_GROUP_END;
    end.parmId = m->family->groupId;
    settleTimes(m->family, &m->object);
    return writeItem(&m->writer, group) && writePart(&m->writer, &m->object) && writeItem(&m->writer, end);
}

// A temporary dynamic queue is kept only where the input queue says STORE.
bool isKept(const Message *m, IntakePart *object) {
    IntakeValue *definition = valueOf(object, MQIA_DEFINITION_TYPE);
    if (definition && definition->number == kTemporaryDynamic &&
        (m->queue == nullptr || m->queue->tempQ != EV_TEMPQ_STORE))
        return false;
    return isActive(object);
}

int deadLetter(Message *m) {
    MQMD fallback = MQMD_DEFAULT;
    const MQMD *md = m->context->currentMd ? m->context->currentMd : &fallback;
    return statsEngineCalls.putToDLQ(m->context, &m->context->sets[EV_SET_E], m->queue, md, m->cursor->buffer,
                                     m->cursor->length, STATS_FEEDBACK_NO_QMGR, "");
}

// Step 5: the queue manager of the message, its counter raised. Null when it cannot be had.
QmgrEntry *findQmgr(Message *m) {
    char name[EV_QMGR_NAME_MAX + 1] = {};
    const IntakeValue &value = m->common.values[kQmgrName];
    std::memcpy(name, value.text, value.length);
    char errorText[EV_CONFIG_TEXT] = "";
    QmgrEntry *qmgr = evQmgrFindOrAdd(name, 0, errorText);
    if (qmgr == nullptr) {
        evOutput(EV_OUT_ERROR, errorText, -1, 1);
        return nullptr;
    }
    qmgr->counters[m->family->qmgrCounter].current++;
    return qmgr;
}

// Steps 6 to 8 for a family of groups; the first group has been read.
int storeObjects(Message *m, ReadResult read) {
    for (;;) {
        if (isKept(m, &m->object)) {
            if (m->area == nullptr) {
                if (!createRecord(m)) return 0;
                if ((m->flags & EVCF_FLAG_OWN_APPL) && evSettings.accountingSelf.load() != EV_ACCTSELF_KEEP)
                    return 1;
            }
            if (!writeObject(m)) return 0;
        }
        if (read != kReadGroup) break;
        read = readObject(m);
        if (read == kReadFailed) return -1;
    }
    return 2;
}

// The road of one message, steps 1 to 8.
int ingest(const IntakeFamily *family, QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor) {
    evStatsCounters[family->statsCounter].current++;
    if (queue != nullptr) queue->counters[family->queueCounter].current++;
    evActivity.stats.fetch_add(1, std::memory_order_relaxed);

    // The parts are large: one message's state lives in a pooled area, not on the callback stack.
    Area *state = AreaGet(sizeof(Message), 0, "EVINTAKE");
    if (state == nullptr) return 0;
    auto *m = new (AreaData(state)) Message{};
    m->family = family;
    m->context = context;
    m->queue = queue;
    m->cursor = cursor;
    resetPart(&m->common, kCommonFields, kCommonCount);
    resetPart(&m->head, family->head, family->headCount);
    resetPart(&m->object, family->object, family->objectCount);

    int result = 1;
    int dropped = 0;
    ReadResult read = readTopLevel(m, &dropped);
    if (read == kReadGroup) read = readObject(m);
    if (dropped) {
        result = 1;
    } else if (read == kReadFailed || m->common.values[kQmgrName].length == 0 || reversedInterval(m)) {
        // A message that cannot be read, names no queue manager or ends before it starts (damaged)
        // cannot be stored anywhere.
        result = deadLetter(m);
    } else if ((m->qmgr = findQmgr(m)) == nullptr) {
        result = 0;
    } else if (family->groupId != 0) {
        int stored = storeObjects(m, read);
        if (stored == -1) {
            result = deadLetter(m);
        } else if (stored != 2) {
            result = stored;  // failed, or an own message dropped
        } else if (m->area == nullptr) {
            result = 1;  // nothing active: nothing stored
        } else {
            result = statsEngineCalls.putToStreams(context, m->qmgr, family->streamType, context->currentMd,
                                                   evCFGetIntervalEnd(AreaData(m->area)), 1, queue,
                                                   AreaData(m->area), m->writer.length, nullptr);
        }
    } else if (!createRecord(m)) {
        result = 0;
    } else if (isActive(&m->head)) {
        result = statsEngineCalls.putToStreams(context, m->qmgr, family->streamType, context->currentMd,
                                               evCFGetIntervalEnd(AreaData(m->area)), 1, queue,
                                               AreaData(m->area), m->writer.length, nullptr);
    }
    AreaRelease(&m->area);
    AreaRelease(&state);
    return result;
}

}  // namespace

int evIngestStatQ(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor) {
    return ingest(&statsIntakeStatQ, context, queue, cursor);
}
int evIngestStatChl(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor) {
    return ingest(&statsIntakeStatChl, context, queue, cursor);
}
int evIngestStatMQI(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor) {
    return ingest(&statsIntakeStatMQI, context, queue, cursor);
}
int evIngestAcctQ(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor) {
    return ingest(&statsIntakeAcctQ, context, queue, cursor);
}
int evIngestAcctMQI(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor) {
    return ingest(&statsIntakeAcctMQI, context, queue, cursor);
}

int statsIntake(QmgrContext *context, int32_t command, void *message, int32_t length) {
    const MQMD *md = context->currentMd;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, static_cast<uint8_t *>(message), length,
                    md ? static_cast<uint32_t>(md->CodedCharSetId) : 0);
    EventQueueDef *queue = context->currentQueue;
    switch (command) {
        case MQCMD_STATISTICS_MQI:
            return evIngestStatMQI(context, queue, &cursor);
        case MQCMD_STATISTICS_Q:
            return evIngestStatQ(context, queue, &cursor);
        case MQCMD_STATISTICS_CHANNEL:
            return evIngestStatChl(context, queue, &cursor);
        case MQCMD_ACCOUNTING_MQI:
            return evIngestAcctMQI(context, queue, &cursor);
        case MQCMD_ACCOUNTING_Q:
            return evIngestAcctQ(context, queue, &cursor);
        default:
            return 0;
    }
}
