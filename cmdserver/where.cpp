// WHERE resolvers of the object displays: a name of the filter is a keyword of the command's
// parameter table, read from the record being tested through its row's offset and data type, or
// computed for the few values no record holds.
#include <cctype>
#include <cstring>
#include <string>

#include "cmdserver/internal.h"

namespace {

constexpr int32_t kOption = -1;

int unknown(ExpExpression *e, const ExpValue *var) {
    return expSetError(e, var->value.len, "Unknown variable '%.*s'.", static_cast<int>(var->value.len),
                       var->data);
}

void setText(ExpValue *result, const char *text, size_t length) {
    expSetString(result, EXP_STR, const_cast<char *>(text), length);
}

// The oldest record time of a runtime stream: its blobs and, while it aggregates, its active bins
// through statistics' hook; 0 when it holds no record.
}  // namespace

int64_t cmdStreamOldest(const Stream *stream, int64_t now) {
    int64_t earliest = now;
    // A damaged time at or before 1970 is no date: it would show as an age that wraps.
    auto take = [&earliest](const uint8_t *header) {
        const int64_t oldest = evBlobOldest(header);
        if (evBlobRecords(header) != 0 && oldest > 0 && oldest < earliest) earliest = oldest;
    };
    if (stream->header != nullptr) take(evStreamCurrentBlob(stream));
    for (const StreamBlob *blob = stream->blobs; blob != nullptr; blob = blob->next)
        take(evStreamBlobHeader(blob));
    if (stream->aggregation != nullptr && cmdOldestActiveBin != nullptr) {
        const int64_t bin = cmdOldestActiveBin(const_cast<Stream *>(stream));
        if (bin > 0 && bin < earliest) earliest = bin;
    }
    return earliest;
}

namespace {

// Values no record holds at a fixed place.
int computed(ExpExpression *e, const ExpValue *var, const evParmDef *row, const CmdObject *object,
             ExpValue *result) {
    switch (row->parmId) {
        case 39301: {  // the stream: of a status pair, or the one an alert's event was stored in
            const StreamDef *def = object->definition;
            if (def == nullptr && object->record != nullptr && object->stream == nullptr &&
                object->qmgr == nullptr) {
                const auto *alert = static_cast<const AlertDef *>(object->record);
                def = evStreamDefFindById(alert->streamId);
            }
            if (def == nullptr) return 0;
            setText(result, def->name, def->nameLength);
            return 1;
        }
        case 39324: {  // EXPIRETI
            const auto *alert = static_cast<const AlertDef *>(object->record);
            expSetInt(result, alert->time + alert->retention);
            return 1;
        }
        case 39340: {  // EVQMGR of a status pair
            if (object->qmgr == nullptr) return 0;
            setText(result, object->qmgr->name, object->qmgr->nameLength);
            return 1;
        }
        case 39383: {  // OLDEST, days
            if (object->stream == nullptr) return 0;
            const int64_t now = evClockNow();
            expSetInt(result, static_cast<int64_t>(
                                  static_cast<uint64_t>(now - cmdStreamOldest(object->stream, now)) / 86400));
            return 1;
        }
        default:
            break;
    }
    // Stream status: the runtime stream's own fields.
    if (object->stream != nullptr) {
        const Stream *s = object->stream;
        switch (row->parmId) {
            case 39355:
                expSetInt(result, object->definition ? object->definition->type : 0);
                return 1;
            case 39382:
                expSetInt(result, s->blobCount);
                return 1;
            case 39435:
                expSetInt(result, s->aggrMsgs);
                return 1;
            case 39402:
                expSetInt(result, static_cast<int64_t>(s->recordCount));
                return 1;
            case 39329:
                expSetInt(result, static_cast<int64_t>(s->bytes / 1024));
                return 1;
            case 39331:
                if (s->lastMessage == 0) return 0;
                expSetInt(result, s->lastMessage);
                return 1;
            default:
                break;
        }
    }
    return unknown(e, var);
}

}  // namespace

int64_t (*cmdOldestActiveBin)(Stream *stream) = nullptr;
int (*cmdResolveValueName)(const evValueName *table, const char *name, size_t length,
                           int32_t *value) = nullptr;

int evWhereSystemVar(ExpExpression *e, ExpValue *var, ExpValue *result) {
    const char *name = var->data;
    const size_t length = var->value.len;
    if (length == 5 && std::tolower(static_cast<unsigned char>(name[1])) == 't' &&
        std::tolower(static_cast<unsigned char>(name[2])) == 'i' &&
        std::tolower(static_cast<unsigned char>(name[3])) == 'm' &&
        std::tolower(static_cast<unsigned char>(name[4])) == 'e') {
        expSetInt(result, evClockNow());
        return 1;
    }
    return expSetError(e, length, "System variable '%.*s' is not applicable to a WHERE clause.",
                       static_cast<int>(length), name);
}

int evGetAttrValue(const evParmDef *row, ExpExpression *, const void *record, int32_t offset,
                   ExpValue *result) {
    if (record == nullptr || offset < 0) return 0;
    const char *at = static_cast<const char *>(record) + offset;
    switch (row->dataType) {
        case EV_DATATYPE_INT32: {
            int32_t n = 0;
            std::memcpy(&n, at, sizeof n);
            if (n == INT32_MIN) return 0;
            expSetInt(result, row->divisor != 0 ? n / static_cast<int64_t>(row->divisor) : n);
            return 1;
        }
        case EV_DATATYPE_UINT32: {
            uint32_t n = 0;
            std::memcpy(&n, at, sizeof n);
            if (n == 0x80000000u) return 0;
            const int64_t v = n == 0x80000002u ? int64_t{static_cast<int32_t>(n)} : int64_t{n};
            expSetInt(result, row->divisor != 0 ? v / static_cast<int64_t>(row->divisor) : v);
            return 1;
        }
        case EV_DATATYPE_INT64: {
            int64_t n = 0;
            std::memcpy(&n, at, sizeof n);
            if (n == INT64_MIN) return 0;
            expSetInt(result, row->divisor != 0 ? n / static_cast<int64_t>(row->divisor) : n);
            return 1;
        }
        case EV_DATATYPE_CHARS: {
            size_t length = row->stringLength != 0 ? strnlen(at, row->stringLength) : std::strlen(at);
            while (length > 0 && std::strchr(" \t\n\r", at[length - 1]) != nullptr) length--;
            setText(result, at, length);
            return 1;
        }
        case EV_DATATYPE_BYTES: {
            const char *bytes = nullptr;
            std::memcpy(&bytes, at, sizeof bytes);
            uint16_t length = 0;
            std::memcpy(&length, at + sizeof bytes, sizeof length);
            setText(result, bytes ? bytes : "", bytes ? length : 0);
            return 1;
        }
        case EV_DATATYPE_STRING: {
            const StringEntry *entry = nullptr;
            std::memcpy(&entry, at, sizeof entry);
            if (entry == nullptr) {
                setText(result, "", 0);
                return 1;
            }
            setText(result, entry->text, entry->length);
            return 1;
        }
        default:
            return 0;
    }
}

int evWhereObjectVar(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result) {
    const char *name = var->data;
    const size_t length = var->value.len;
    if (length > 0 && name[0] == '_') return evWhereSystemVar(e, var, result);
    const auto *table = static_cast<const evParmDef *>(e->caller.context);
    int ambiguous = 0;
    // A name compared with a field that has value names may be one of them (STATUS = ACTIVE).
    if (cmdResolveValueName != nullptr && table != nullptr && partner != nullptr &&
        partner->type == EXP_VAR) {
        const evParmDef *field = evFindField(table, partner->data, partner->value.len,
                                             EV_FIELD_EXACT | EV_FIELD_FIELDS_ONLY, &ambiguous);
        int32_t value = 0;
        if (field != nullptr && field->valueNames != nullptr &&
            cmdResolveValueName(field->valueNames, name, length, &value)) {
            expSetInt(result, value);
            return 1;
        }
    }
    const evParmDef *row =
        table ? evFindField(table, name, length, EV_FIELD_EXACT | EV_FIELD_FIELDS_ONLY, &ambiguous) : nullptr;
    if (row == nullptr || row->recordOffset == kOption || (row->recordOffset >= 0 && row->dataType == 0))
        return unknown(e, var);
    const auto *object = static_cast<const CmdObject *>(e->caller.record);
    if (object == nullptr) {
        // The parse's trial: a value of the row's kind, so that its types are checked.
        if (std::strchr("Rsqb", row->type[0]) != nullptr)
            setText(result, "", 0);
        else
            expSetInt(result, 0);
        return 1;
    }
    int got = 0;
    if (row->recordOffset >= 0) {
        // A queue's SUSPENDED in a filter is its consumer's state, suspended for any reason.
        const bool consumerState = row->parmId == 39372 && table == evCommandByCode(9003)->parms;
        const auto offset = consumerState ? static_cast<int32_t>(offsetof(EventQueueDef, consumerSuspended))
                                          : row->recordOffset;
        got = evGetAttrValue(row, e, object->record, offset, result);
    } else {
        got = computed(e, var, row, object, result);
        if (e->errorText != nullptr) return 0;
    }
    if (!got) e->softFailure = 1;
    return got;
}

namespace {

// A text of the record as the filter compares it, without its trailing blanks: in the code page the
// command's own texts are in, converted from the text's own (UTF-16 among them).
void setShown(const EvSearchQuery *query, ExpValue *result, const char *text, size_t length, uint32_t ccsid) {
    const int32_t target = query->patternCcsid;
    std::string converted;
    if (length > 0 && ccsid != 0 && target != 0 && static_cast<int32_t>(ccsid) != target &&
        query->convert != nullptr) {
        converted.resize(4 * length + 16);
        auto got = static_cast<int32_t>(converted.size());
        if (query->convert(text, static_cast<int32_t>(length), converted.data(), &got,
                           static_cast<int32_t>(ccsid), target) == 0) {
            text = converted.data();
            length = static_cast<size_t>(got);
        }
    }
    while (length > 0 && text[length - 1] == ' ') length--;
    if (converted.empty()) {
        setText(result, text, length);
        return;
    }
    // The value outlives the conversion: it owns a copy.
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr) {
        setText(result, "", 0);
        return;
    }
    std::memcpy(copy, text, length);
    copy[length] = 0;
    expSetString(result, EXP_PSTR, copy, length);
}

// The header and derived attributes of an event record, by identifier.
int eventHeaderValue(const EvSearchQuery *query, uint32_t parmId, ExpValue *result) {
    const uint8_t *record = query->record;
    const uint32_t length = query->recordLength;
    switch (parmId) {
        case 39301: {
            const char *name = query->stream != nullptr ? evStreamName(query->stream) : "";
            setText(result, name, std::strlen(name));
            return 1;
        }
        case 39307:
        case 39316: {
            const uint32_t id = parmId == 39307 ? evCFGetUserId(record) : evCFGetObjectName(record);
            const EvStringView view = evPoolLookup(&evStreamStringPool, id);
            setShown(query, result, view.text, view.length, view.ccsid);
            return 1;
        }
        case 39317:
            expSetInt(result, evCFGetObjectType(record));
            return 1;
        case 39322:
            expSetInt(result, evCFGetEventTime(record));
            return 1;
        case 39326:
        case 39361: {
            // The classification may write the header's object type: it reads a copy.
            auto *copy = static_cast<uint8_t *>(CSGetMem(length));
            if (copy == nullptr) return 0;
            std::memcpy(copy, record, length);
            uint32_t category = 0;
            uint32_t command = 0;
            const uint32_t subtype = evClassifyEvent(copy, length, &category, &command);
            CSFreeMem(copy);
            expSetInt(result, parmId == 39326 ? subtype : category);
            return 1;
        }
        case 39340: {
            if (query->qmgr == nullptr) return 0;
            setText(result, query->qmgr->name, query->qmgr->nameLength);
            return 1;
        }
        default:
            return -1;
    }
}

}  // namespace

namespace {

bool sameKeyword(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

int evWhereEventVar(ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    const char *name = var->data;
    const size_t length = var->value.len;
    if (length > 0 && name[0] == '_') return evWhereSystemVar(e, var, result);
    int ambiguous = 0;
    const evParmDef *row =
        evFindField(evEventsParmTable, name, length, EV_FIELD_EXACT | EV_FIELD_FIELDS_ONLY, &ambiguous);
    if (row == nullptr || row->recordOffset == kOption) return unknown(e, var);
    const auto *query = static_cast<const EvSearchQuery *>(e->caller.record);
    const bool header = row->parmId >= 39301 && row->parmId <= 39361;
    if (query == nullptr || query->record == nullptr || query->recordLength < EVCF_HEADER_LENGTH) {
        // The parse's trial, or nothing to read: a value of the row's kind.
        if (header) {
            switch (row->parmId) {
                case 39301:
                case 39307:
                case 39316:
                case 39340:
                    setText(result, "", 0);
                    return 1;
                case 39317:
                case 39322:
                case 39326:
                case 39361:
                    expSetInt(result, 0);
                    return 1;
                default:
                    return unknown(e, var);
            }
        }
        if (std::strchr("sRqb", row->type[0]) != nullptr)
            setText(result, "", 0);
        else
            expSetInt(result, 0);
        return 1;
    }
    if (header) {
        const int got = eventHeaderValue(query, row->parmId, result);
        if (got < 0) return unknown(e, var);
        if (got == 0) e->softFailure = 1;
        return got;
    }
    const int32_t group = (var->indicator & EXP_IND_BEFORE)  ? 39200
                          : (var->indicator & EXP_IND_AFTER) ? 39201
                                                             : 0;
    const uint8_t *item =
        evCFFindParm(query->record, query->recordLength, static_cast<int32_t>(row->parmId), group);
    // Several event fields share a keyword (DESCR is a queue's 2013 and a channel's 3502): the one
    // the record holds is meant; the table's first row only when the record holds none of them.
    for (const evParmDef *other = row + 1;
         item == nullptr && !(other->keyword == nullptr && other->parmId == 0); ++other) {
        if (other->keyword == nullptr || other->keywordLength != row->keywordLength ||
            other->recordOffset == kOption || !sameKeyword(other->keyword, row->keyword, row->keywordLength))
            continue;
        item = evCFFindParm(query->record, query->recordLength, static_cast<int32_t>(other->parmId), group);
        if (item != nullptr) row = other;
    }
    if (item == nullptr) {
        e->softFailure = 1;
        return 0;
    }
    evCFItem decoded{};
    int32_t cc = 0;
    int32_t rc = 0;
    if (evCFDecodeParm(&evStreamStringPool, item, query->record + query->recordLength, &decoded, &cc, &rc) ==
        0) {
        e->softFailure = 1;
        return 0;
    }
    if (row->type[0] == 's' || row->type[0] == 'R' || row->type[0] == 'b') {
        const auto *text = static_cast<const char *>(decoded.data);
        const size_t n = text != nullptr && decoded.length > 0 ? static_cast<size_t>(decoded.length) : 0;
        setShown(query, result, text ? text : "", n, decoded.ccsid);
        return 1;
    }
    expSetInt(result, decoded.value);
    return 1;
}
