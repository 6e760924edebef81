// Compression of one event message into a record: the message is summarised, its key parameters are
// written first (the queue-manager names only noted), then every other parameter in message order.
// A message that cannot be stored whole is refused with a reason; no partial event is ever kept.
#include <cstdio>

#include "mqi/cf.h"
#include "mqi/evclass.h"

namespace {

constexpr char kOwnAppl[] = "Holva Software ZUNT";
constexpr size_t kOwnApplLength = sizeof kOwnAppl - 1;
constexpr size_t kQmgrNameMax = 48;

constexpr int32_t kInquireCommands[] = {2,   7,   13,  18,  19,  20,  25,  36,  37,  41,  42,  70,  83,  84,
                                        85,  87,  88,  97,  98,  114, 115, 116, 117, 118, 119, 120, 121, 122,
                                        123, 124, 125, 126, 147, 148, 153, 154, 161, 169, 174, 175, 176, 182,
                                        183, 185, 186, 191, 199, 200, 204, 205, 214, 216, 220};

// The writer's view of one summary item.
evCFItem itemOf(const PcfSummaryItem &s) {
    evCFItem item{};
    item.type = s.type;
    item.parmId = s.parmId;
    item.groupId = s.groupId;
    item.ccsid = static_cast<uint32_t>(s.ccsid);
    item.length = s.length;
    item.count = s.count;
    if (s.type == MQCFT_INTEGER || s.type == MQCFT_INTEGER_FILTER || s.type == MQCFT_INTEGER64)
        item.value = s.value.i64;
    else
        item.data = s.value.ptr;
    item.source = s.source;
    return item;
}

bool isString(const PcfSummaryItem &s) {
    return s.type == MQCFT_STRING && s.value.ptr;
}

// Record bytes the message can need: every structure at most 4 bytes of record per byte of message,
// and each string of a list 4 bytes even when the list has none.
uint64_t recordBound(const PcfSummary *s, int32_t length) {
    uint64_t strings = 0;
    auto add = [&](const PcfSummaryItem &i) {
        if ((i.type == MQCFT_STRING_LIST) && i.count > 0 && i.count <= 65535)
            strings += static_cast<uint64_t>(i.count);
    };
    for (int k = 0; k < PCF_SUMMARY_KEYS; k++)
        if (s->keyPresent & (1u << k)) add(s->keys[k]);
    for (int32_t n = 0; n < s->itemCount; n++) add(s->items[n]);
    return EVCF_HEADER_LENGTH + 4 * static_cast<uint64_t>(length) + 4 * strings;
}

// MQIACF_COMMAND of a command event, in the command context group: the key slot first, then the others.
bool findCommand(const PcfSummary *s, int32_t *command) {
    const PcfSummaryItem &key = s->keys[2];
    if ((s->keyPresent & 4u) && key.groupId == MQGACF_COMMAND_CONTEXT && key.type == MQCFT_INTEGER) {
        *command = static_cast<int32_t>(key.value.i64);
        return true;
    }
    for (int32_t n = 0; n < s->itemCount; n++) {
        const PcfSummaryItem &i = s->items[n];
        if (i.parmId == MQIACF_COMMAND && i.groupId == MQGACF_COMMAND_CONTEXT && i.type == MQCFT_INTEGER) {
            *command = static_cast<int32_t>(i.value.i64);
            return true;
        }
    }
    return false;
}

void setFlag(uint8_t *record, uint16_t flag) {
    evCFSetFlags(record, static_cast<uint16_t>(evCFGetFlags(record) | flag));
}

// Steps 3 to 8 of compressing: the header, the keys, the other items, the pending halves.
int32_t writeRecord(evCFWriter *w, const PcfSummary *s, char *qmgrName) {
    uint8_t *r = w->record;
    evCFSetFlags(r, EVCF_FLAG_EVENT);
    evCFSetCommand(r, static_cast<uint16_t>(s->command));
    evCFSetReason(r, s->reason);
    w->reasonQualifier = static_cast<int32_t>(s->reasonQualifier);

    int32_t command = 0;
    if ((s->reason == 2412 || s->reason == 2413) && findCommand(s, &command) && evIsInquireCommand(command))
        setFlag(r, EVCF_FLAG_INQUIRE);
    if (s->reason == 2222 || s->reason == 2223) evCFSetObjectType(r, 5);
    switch (s->reasonQualifier) {
        case 1:
        case 20:
        case 29:
            evCFSetObjectType(r, 5);
            break;
        case 17:
            evCFSetObjectType(r, 8);
            break;
        case 18:
            evCFSetObjectType(r, 1);
            break;
        default:
            break;
    }

    int32_t cc = 0, rc = 0;
    for (int k = 0; k < PCF_SUMMARY_KEYS; k++) {
        if (!(s->keyPresent & (1u << k))) continue;
        const PcfSummaryItem &key = s->keys[k];
        if (key.parmId == MQCACF_EVENT_Q_MGR || key.parmId == MQCA_Q_MGR_NAME) {
            if (qmgrName && qmgrName[0] == '\0' && isString(key)) {
                uint32_t n = evCFTrimmedLength(static_cast<const char *>(key.value.ptr),
                                               static_cast<uint32_t>(key.length));
                if (n > kQmgrNameMax) n = kQmgrNameMax;
                std::memcpy(qmgrName, key.value.ptr, n);
                qmgrName[n] = '\0';
            }
            continue;
        }
        if (key.parmId == MQIACF_COMMAND && key.type == MQCFT_INTEGER) {
            int32_t objectType = 10001;
            evCommandEventType(static_cast<int32_t>(key.value.i64), &objectType);
            evCFSetObjectType(r, static_cast<uint16_t>(objectType));
        }
        evCFItem item = itemOf(key);
        evCFAddParm(w, &item, &cc, &rc);
        if (rc) return rc;
    }

    // Groups opened in the record, so that the end of a group the writer ignored (id 0) closes nothing.
    bool opened[PCF_MAX_DEPTH + 1] = {};
    int32_t openIds[PCF_MAX_DEPTH + 1] = {};
    int depth = 0;
    for (int32_t n = 0; n < s->itemCount; n++) {
        const PcfSummaryItem &src = s->items[n];
        evCFItem item = itemOf(src);
        if (src.type == MQCFT_GROUP) {
            if (depth > PCF_MAX_DEPTH) return MQRC_FORMAT_NOT_SUPPORTED;
            opened[depth] = src.parmId != 0;
            openIds[depth++] = src.parmId;
        } else if (src.type == PCF_TYPE_GROUP_END) {
            if (depth == 0) return MQRC_INCOMPLETE_GROUP;
            depth--;
            if (!opened[depth]) continue;
            item.parmId = openIds[depth];
        } else if (src.parmId == MQIACF_OBJECT_TYPE && src.type == MQCFT_INTEGER) {
            if (evCFGetObjectType(r) == 0 && src.value.i64 > 0 && src.value.i64 <= 65535)
                evCFSetObjectType(r, static_cast<uint16_t>(src.value.i64));
        } else if ((src.parmId == MQCACF_APPL_NAME || src.parmId == MQCACF_EVENT_APPL_NAME) &&
                   isString(src) && static_cast<size_t>(src.length) >= kOwnApplLength &&
                   std::memcmp(src.value.ptr, kOwnAppl, kOwnApplLength) == 0) {
            setFlag(r, EVCF_FLAG_OWN_APPL);
        }
        evCFAddParm(w, &item, &cc, &rc);
        if (rc) return rc;
    }
    return evCFFlushPending(w);
}

}  // namespace

int evIsInquireCommand(int32_t command) {
    for (int32_t c : kInquireCommands)
        if (c == command) return 1;
    return 0;
}

int evCFCompress(const EvStringPool *pool, const MQMD *mqmd, uint8_t *message, int32_t length, char *qmgrName,
                 Area **record, int32_t *reason) {
    *record = nullptr;
    auto fail = [&](int32_t rc) {
        *reason = rc;
        return 0;
    };
    *reason = 0;
    if (!message || length < MQCFH_STRUC_LENGTH) return fail(MQRCCF_CFH_LENGTH_ERROR);
    if (mqiGetI32(message, offsetof(MQCFH, Type)) != MQCFT_EVENT) return fail(MQRCCF_CFH_TYPE_ERROR);

    Area *summaryArea =
        MQPCFSummarise(message, length, mqmd ? static_cast<uint32_t>(mqmd->CodedCharSetId) : 0);
    if (!summaryArea) return fail(MQRC_STORAGE_NOT_AVAILABLE);
    const PcfSummary *s = pcfSummaryOf(summaryArea);
    int32_t rc = s->status ? s->status : s->truncated ? MQRCCF_PARM_COUNT_TOO_BIG : 0;
    uint64_t bound = recordBound(s, length);
    Area *area = nullptr;
    if (rc == 0 && bound > UINT32_MAX - 8192) rc = MQRC_STORAGE_NOT_AVAILABLE;
    if (rc == 0) {
        area = AreaGet(static_cast<uint32_t>(bound), EVCF_HEADER_LENGTH, "COMPRESS");
        if (!area) rc = MQRC_STORAGE_NOT_AVAILABLE;
    }
    evCFWriter w;
    if (rc == 0 && !evCFWriterInit(&w, AreaData(area), static_cast<uint32_t>(bound), pool,
                                   mqmd ? static_cast<uint32_t>(mqmd->CodedCharSetId) : 0))
        rc = MQRC_STORAGE_NOT_AVAILABLE;
    if (rc == 0) rc = writeRecord(&w, s, qmgrName);
    AreaRelease(&summaryArea);
    if (rc != 0) {
        AreaRelease(&area);
        return fail(rc);
    }
    area->used = w.length;
    if (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_c) {
        double ratio = static_cast<double>(length) / static_cast<double>(w.length);
        char text[160];
        int n = std::snprintf(text, sizeof text, "PCF Compressed from %d to %d (ratio %.2f or %.2f%%)",
                              length, static_cast<int>(w.length), ratio, 100.0 / ratio);
        evOutput(EV_OUT_PROGRESS, text, n, 1);
    }
    *record = area;
    return 1;
}
