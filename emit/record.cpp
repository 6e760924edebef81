// emitRecord and the record-type writers: an event record as its common part and its items, a
// statistics or accounting record as one object per queue, channel or MQI record, each field named
// and ordered by the DISPLAY command's parameter table.
#include <cstdio>
#include <cstring>

#include "emit/internal.h"

EmitRecordParser emitRecordParsers[5] = {};

namespace {

// The DISPLAY commands whose tables list the fields of each record type.
constexpr uint32_t kDisplayEvents = 9004;
constexpr uint32_t kDisplayAcctMqi = 9027;
constexpr uint32_t kDisplayAcctQ = 9026;
constexpr uint32_t kDisplayStatChl = 9024;
constexpr uint32_t kDisplayStatMqi = 9025;
constexpr uint32_t kDisplayStatQ = 9023;

constexpr uint32_t kIdAll = 1009;
constexpr uint32_t kIdWhere = 39300;
constexpr uint32_t kIdPrewhere = 39410;
constexpr uint32_t kIdRecords = 39409;
constexpr uint32_t kIdFirstAverageCount = 31178;  // CNTAVGNP, CNTAVGP, CNTAVGPNT, CNTAVGPET, CNTAVGPBS
constexpr uint32_t kIdLastAverageCount = 31182;
constexpr uint32_t kIdQmgrName = 39340;

const evCommandDef *commandRow(uint32_t code) {
    for (const evCommandDef *row = evCommandTable; row->verb != nullptr; row++)
        if (row->code == code) return row;
    return nullptr;
}

EmitValue intValue(int32_t v) {
    EmitValue value{};
    value.kind = EMIT_KIND_INT;
    value.i32 = v;
    return value;
}
EmitValue textValue(const char *text, uint32_t length) {
    EmitValue value{};
    value.kind = EMIT_KIND_TEXT;
    value.ptr = text;
    value.length = length;
    return value;
}
EmitValue wideValue(uint32_t kind, int64_t v) {
    EmitValue value{};
    value.kind = kind;
    value.i64 = v;
    return value;
}

// ---- Statistics and accounting ----

// One row's field of the decoded object, by its data type; false for a type that is not written.
bool parameterValue(const EmitContext *c, const evParmDef *row, EmitValue *value) {
    const auto *base = static_cast<const uint8_t *>(c->object) + row->recordOffset;
    switch (row->dataType) {
        case EV_DATATYPE_INT32: {
            int32_t v;
            std::memcpy(&v, base, sizeof v);
            *value = intValue(v);
            return true;
        }
        case EV_DATATYPE_UINT32: {
            // Whole: a value past INT32_MAX is written as the 64-bit number it is, never negative; the
            // unset and mixed values stay the markers they are.
            uint32_t v;
            std::memcpy(&v, base, sizeof v);
            if (v > 0x7fffffffu && v != 0x80000000u && v != 0x80000002u)
                *value = wideValue(EMIT_KIND_INT64, int64_t{v});
            else
                *value = intValue(static_cast<int32_t>(v));
            return true;
        }
        case EV_DATATYPE_CHARS: {
            const auto *text = reinterpret_cast<const char *>(base);
            size_t length = row->stringLength != 0 ? strnlen(text, row->stringLength) : std::strlen(text);
            while (length > 0 && text[length - 1] == ' ') length--;
            *value = textValue(text, static_cast<uint32_t>(length));
            return true;
        }
        case EV_DATATYPE_STRING: {
            const StringEntry *entry;
            std::memcpy(&entry, base, sizeof entry);
            *value = entry != nullptr ? textValue(entry->text, entry->length) : textValue("", 0);
            return true;
        }
        case EV_DATATYPE_INT64: {
            int64_t v;
            std::memcpy(&v, base, sizeof v);
            const bool time = row->type != nullptr && row->type[0] == 't';
            *value = wideValue(time ? EMIT_KIND_TIME : EMIT_KIND_INT64, v);
            return true;
        }
        case EV_DATATYPE_BYTES: {
            const uint8_t *bytes;
            uint16_t length;
            std::memcpy(&bytes, base, sizeof bytes);
            std::memcpy(&length, base + sizeof bytes, sizeof length);
            // Summed records whose identifiers differ hold the one character "*", as DISPLAY shows it.
            if (bytes != nullptr && length == 1 && bytes[0] == '*') {
                *value = textValue("*", 1);
                return true;
            }
            *value = EmitValue{};
            value->kind = EMIT_KIND_BYTES;
            value->ptr = bytes;
            value->length = bytes != nullptr ? length : 0;
            return true;
        }
        default:
            return false;
    }
}

void writeRecordFields(EmitContext *c) {
    emitWriteUniqueId(c);
    const bool aggregated = (evCFGetFlags(c->record) & EVCF_FLAG_AGGREGATED) != 0;
    for (const evParmDef *row = c->commandRow->parms; row->parmId != 0 && !c->overflow; row++) {
        if (row->parmId == kIdAll || row->parmId == kIdWhere || row->parmId == kIdPrewhere) continue;
        // How many records, and how many averages an average is of, only an aggregated record tells.
        if ((row->parmId == kIdRecords ||
             (row->parmId >= kIdFirstAverageCount && row->parmId <= kIdLastAverageCount)) &&
            !aggregated)
            continue;
        const char *name;
        uint32_t nameLength;
        emitRowName(c, row, &name, &nameLength);
        EmitValue value;
        if (row->recordOffset < 0) {
            if (row->parmId != kIdQmgrName) continue;
            const char *qmgr = c->qmgr != nullptr ? c->qmgr->name : "";
            value = textValue(qmgr, static_cast<uint32_t>(strnlen(qmgr, EV_QUEUE_NAME_MAX)));
        } else if (!parameterValue(c, row, &value)) {
            continue;
        }
        emitWriteField(c, row, name, nameLength, &value);
    }
}

// One decoded object: begin, its fields in an unnamed group, end. 1, or 0 with failResult set.
int writeObject(EmitContext *c) {
    for (int attempt = 0;; attempt++) {
        if (!emitBeginRecord(c)) return 0;
        EmitGroup group;
        emitOpenGroup(c, &group, 0, "", 0);
        c->writeFields(c);
        c->writers->endGroup(c);
        const uint32_t subRecord = c->subRecord;
        const int ended = emitEnsureSpace(c);
        if (ended != 2 || attempt > 0) return ended;
        // The buffer was full: what came before the object went out; write the object again.
        c->subRecord = subRecord - 1;
    }
}

// The statistics and accounting writers: one object a parser call.
int emitStatistics(EmitContext *c) {
    const uint32_t command = c->emitter->command;
    if (c->emitter->format == EV_EMIT_CSV) c->csvColumnar = 1;
    if (c->recordLength <= EVCF_HEADER_LENGTH) return EMIT_DONE;
    const EmitRecordParser &parser = emitRecordParsers[command - EMIT_FIRST_STATS_COMMAND];
    if (parser.parse == nullptr) return emitFail(c, "No record parser for command %u", command);
    void *work = CSGetMem(parser.workSize);
    if (work == nullptr) return emitFail(c, "No storage available.");
    std::memset(work, 0, parser.workSize);
    evCFCursorInit(&c->cursor, &evStreamStringPool, c->record, c->recordLength, 0, 0);
    c->object = work;
    c->writeFields = writeRecordFields;
    int result = EMIT_DONE;
    for (int first = 1; parser.parse(first, &c->cursor, work); first = 0) {
        if (!writeObject(c)) {
            result = c->failResult;
            break;
        }
        if (c->replaced) break;
    }
    CSFreeMem(work);
    c->object = nullptr;
    if (result != EMIT_DONE || c->replaced) return c->replaced ? EMIT_REPLACED : result;
    return emitWriteOut(c) ? EMIT_DONE : c->failResult;
}

// ---- Events ----

// An item of the record as the writers take it; false for one that is not written.
bool itemValue(const evCFItem &item, EmitValue *value) {
    *value = EmitValue{};
    switch (item.type) {
        case MQCFT_INTEGER:
            *value = intValue(static_cast<int32_t>(item.value));
            return true;
        case EVCF_INT_UNSET:
            *value = intValue(EMIT_INT_UNSET);
            return true;
        case EVCF_INT_MIXED:
            *value = intValue(EMIT_INT_ALL);
            return true;
        case MQCFT_INTEGER64:
            *value = wideValue(EMIT_KIND_INT64, item.value);
            return true;
        case EVCF_INT64_UNSET:
            *value = wideValue(EMIT_KIND_INT64, EMIT_INT64_UNSET);
            return true;
        case EVCF_INT64_MIXED:
            *value = wideValue(EMIT_KIND_INT64, EMIT_INT64_ALL);
            return true;
        case EVCF_STRING_MIXED:
            value->kind = EMIT_KIND_ALL;
            return true;
        case EVCF_DATE_TIME:
            *value = wideValue(EMIT_KIND_TIME, item.value);
            return true;
        case EVCF_STRING_ID:
            *value = wideValue(EMIT_KIND_STRING_ID, item.value);
            return true;
        case MQCFT_STRING:
            *value = textValue(static_cast<const char *>(item.data),
                               item.data ? static_cast<uint32_t>(item.length) : 0);
            value->ccsid = item.ccsid;
            return true;
        case MQCFT_INTEGER_LIST:
            value->kind = EMIT_KIND_INT_LIST;
            value->count = static_cast<uint32_t>(item.count);
            value->ptr = item.data;
            return true;
        case EVCF_STRING_ID_LIST:
            value->kind = EMIT_KIND_STRING_LIST;
            value->count = static_cast<uint32_t>(item.count);
            value->ptr = item.data;
            return true;
        case MQCFT_BYTE_STRING:
            value->kind = EMIT_KIND_BYTES;
            value->ptr = item.data;
            value->length = item.data ? static_cast<uint32_t>(item.length) : 0;
            return true;
        case EVCF_BYTES_ID: {
            EvStringView s = evPoolLookup(&evStreamStringPool, static_cast<uint32_t>(item.value));
            value->kind = EMIT_KIND_BYTES;
            value->ptr = s.text;
            value->length = s.length;
            return true;
        }
        default:
            return false;
    }
}

// The common part: the selection rows of DISPLAY EVENTS up to the separator, those with a value here.
void writeEventCommon(EmitContext *c) {
    char name[64];
    EmitGroup group;
    emitOpenGroup(c, &group, 39202, name, evGroupName(c, 39202, name, sizeof name));
    uint32_t category = 0;
    uint32_t command = 0;
    const uint32_t subtype = evClassifyEvent(c->record, c->recordLength, &category, &command);
    char summary[EV_SUMMARY_LINE + 1] = "";
    uint32_t summaryLength = 0;
    bool summaryMade = false;
    const uint8_t *r = c->record;
    for (const evParmDef *row = c->commandRow->parms + 1; row->parmId != 0 && !c->overflow; row++) {
        if (row->keyword != nullptr && row->keyword[0] == '!') break;
        EmitValue value;
        switch (row->parmId) {
            case 39340: {
                const char *qmgr = c->qmgr != nullptr ? c->qmgr->name : "";
                value = textValue(qmgr, static_cast<uint32_t>(strnlen(qmgr, EV_QUEUE_NAME_MAX)));
                break;
            }
            case 39326:
                value = intValue(static_cast<int32_t>(subtype));
                break;
            case 39361:
                value = intValue(static_cast<int32_t>(category));
                break;
            case 39316:
                value = wideValue(EMIT_KIND_STRING_ID, evCFGetObjectName(r));
                break;
            case 39317:
                value = intValue(evCFGetObjectType(r));
                break;
            case 39307:
                value = wideValue(EMIT_KIND_STRING_ID, evCFGetUserId(r));
                break;
            case 39314: {
                // Made in the CCSID the record's texts are written in, the object name converted
                // from its own (UTF-16 among them).
                const int32_t target = emitTextTarget(c);
                const MQIFunctionTable *mq = evContext.event.mq;
                const int32_t hconn = evEventHconn(evSet(EV_SET_E));
                if (!summaryMade) {
                    summaryMade = true;
                    if (c->event != nullptr) {
                        summaryLength = static_cast<uint32_t>(evEventSummary(
                            &evStreamStringPool, r, c->recordLength, c->event, summary, mq, hconn, target));
                    } else if (Area *area = evCFSummarise(&evStreamStringPool, c->record, c->recordLength)) {
                        summaryLength = static_cast<uint32_t>(
                            evEventSummary(&evStreamStringPool, r, c->recordLength, pcfSummaryOf(area),
                                           summary, mq, hconn, target));
                        AreaRelease(&area);
                    }
                }
                value = textValue(summary, summaryLength);
                value.ccsid = static_cast<uint32_t>(target);
                break;
            }
            case 39328:
                value = intValue(evCFGetCommand(r));
                break;
            case 39327:
                value = intValue(static_cast<int32_t>(evCFGetReason(r)));
                break;
            case 39322:
                value = wideValue(EMIT_KIND_TIME, evCFGetEventTime(r));
                break;
            case 39427:
                value = wideValue(EMIT_KIND_INT64, evCFGetEventTime(r));
                break;
            default:
                continue;
        }
        const char *fieldName;
        uint32_t fieldLength;
        emitRowName(c, row, &fieldName, &fieldLength);
        emitWriteField(c, row, fieldName, fieldLength, &value);
    }
    c->writers->endGroup(c);
}

// The items of the record in order; a nested group under its name, closed at its end.
void writeEventData(EmitContext *c) {
    char name[64];
    EmitGroup data;
    emitOpenGroup(c, &data, 39203, name, evGroupName(c, 39203, name, sizeof name));
    EmitGroup groups[EVCF_MAX_DEPTH];
    char groupNames[EVCF_MAX_DEPTH][64];
    int depth = 0;
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, c->record, c->recordLength, 0, 0);
    for (;;) {
        evCFItem item;
        int32_t compCode = 0;
        int32_t reason = 0;
        evCFNextParm(&cursor, &item, &compCode, &reason);
        if (compCode != 0 || c->overflow) break;
        if (item.type == PCF_TYPE_GROUP_END) {
            if (depth > 0) {
                c->writers->endGroup(c);
                depth--;
            }
            continue;
        }
        if (item.type == MQCFT_GROUP) {
            if (depth >= EVCF_MAX_DEPTH) break;
            uint32_t length = evGroupName(c, item.parmId, groupNames[depth], sizeof groupNames[depth]);
            emitOpenGroup(c, &groups[depth], item.parmId, groupNames[depth], length);
            depth++;
            continue;
        }
        EmitValue value;
        if (!itemValue(item, &value)) continue;
        const evParmDef *row = evEventsParmById(static_cast<uint32_t>(item.parmId));
        // Its own buffer: the DATA group's name stays in name for the rows after it.
        char attrName[32];
        const char *fieldName = attrName;
        uint32_t fieldLength;
        if (row != nullptr) {
            emitRowName(c, row, &fieldName, &fieldLength);
        } else {
            fieldLength =
                static_cast<uint32_t>(std::snprintf(attrName, sizeof attrName, "ATTR%d", item.parmId));
        }
        emitWriteField(c, row, fieldName, fieldLength, &value);
    }
    while (depth-- > 0) c->writers->endGroup(c);
    c->writers->endGroup(c);
}

void writeEventFields(EmitContext *c) {
    EmitGroup outer;
    emitOpenGroup(c, &outer, 0, "", 0);
    emitWriteUniqueId(c);
    writeEventCommon(c);
    writeEventData(c);
    c->writers->endGroup(c);
}

int emitEventRecord(EmitContext *c) {
    c->eventRecord = 1;
    if (c->recordLength < EVCF_HEADER_LENGTH) return EMIT_DONE;
    for (int attempt = 0;; attempt++) {
        if (!emitBeginRecord(c)) return c->replaced ? EMIT_REPLACED : c->failResult;
        writeEventFields(c);
        const int ended = emitEnsureSpace(c);
        if (ended == 0) return c->replaced ? EMIT_REPLACED : c->failResult;
        if (ended == 1 || attempt > 0) break;
    }
    if (c->replaced) return EMIT_REPLACED;
    return emitWriteOut(c) ? EMIT_DONE : c->failResult;
}

bool onList(const EmitterDef *emitter) {
    for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next)
        if (e == emitter) return true;
    return false;
}

}  // namespace

EmitterDef *emitFindEmitter(StreamDef *def) {
    if (def == nullptr || def->evEmit[0] == 0) return nullptr;
    const size_t length = strnlen(def->evEmit, STREAM_EMITTER_MAX);
    // The cache is used only while the emitter is still defined: a deleted one is not read.
    EmitterDef *cached = def->emitter;
    if (cached != nullptr && onList(cached) && cached->nameLength == length &&
        std::memcmp(cached->name, def->evEmit, length) == 0)
        return cached;
    EmitterDef *found = evFindEmitterDef(def->evEmit, static_cast<int32_t>(length));
    if (found != nullptr) def->emitter = found;
    return found;
}

int emitSelectFormat(EmitContext *c) {
    switch (c->emitter->format) {
        case EV_EMIT_JSON:
        case EV_EMIT_NDJSON:
            c->writers = &emitJsonWriters;
            return 1;
        case EV_EMIT_MQSC:
            c->writers = &emitMqscWriters;
            return 1;
        case EV_EMIT_CSV:
            c->writers = &emitCsvWriters;
            return 1;
        default:
            c->writers = nullptr;
            return 0;
    }
}

int emitRecord(EmitContext *c, uint8_t *record, uint32_t length) {
    if (c->noEmit) return EMIT_DONE;
    static char errorText[EMIT_ERROR_MAX];
    c->errorText = errorText;
    if (c->streamDef == nullptr && c->stream != nullptr) c->streamDef = c->stream->definition;
    c->emitter = emitFindEmitter(c->streamDef);
    if (c->emitter == nullptr) return EMIT_DONE;
    EmitterDef *e = c->emitter;
    c->record = record;
    c->recordLength = length;
    e->command = length >= EVCF_HEADER_LENGTH ? evCFGetCommand(record) : 0;
    if (!emitSelectFormat(c)) return EMIT_FAILED;
    c->wrapping = 0;
    if (e->format != EV_EMIT_NDJSON) {
        if (!e->singleRecord)
            c->wrapping = 1;
        else if ((e->command == 165 || e->command == 166 || e->command == 168) &&
                 e->grouping == EV_GROUPING_ORIGINAL)
            c->wrapping = 1;
    }
    c->writePosition = 0;
    c->overflow = 0;
    if (emitHolding() == nullptr) {
        const int failed = emitFail(c, "Can not allocate emission storage");
        return failed;
    }
    int result;
    switch (e->command) {
        case 164:
            c->commandRow = commandRow(kDisplayStatMqi);
            break;
        case 165:
            c->commandRow = commandRow(kDisplayStatQ);
            break;
        case 166:
            c->commandRow = commandRow(kDisplayStatChl);
            break;
        case 167:
            c->commandRow = commandRow(kDisplayAcctMqi);
            break;
        case 168:
            c->commandRow = commandRow(kDisplayAcctQ);
            break;
        default:
            c->commandRow = commandRow(kDisplayEvents);
            break;
    }
    if (c->commandRow == nullptr || c->commandRow->parms == nullptr)
        result = emitFail(c, "No field table for command %u", e->command);
    else if (e->command >= 164 && e->command <= 168)
        result = emitStatistics(c);
    else
        result = emitEventRecord(c);
    if (result == EMIT_DONE && !c->replaced) {
        emitJournalCounted(c);
        if (e->failTime != 0) {
            e->failTime = 0;
            e->consecutiveFailures = 0;
            evConfigChanged.store(1);
        }
    }
    return c->replaced ? EMIT_REPLACED : result;
}
