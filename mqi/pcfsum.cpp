// Summary of a standard PCF message: the flat view (command, reason, key items, the other items in
// message order) that the compressor and the command server read instead of walking the message again.
#include <new>

#include "mqi/pcf.h"

namespace {

constexpr size_t kStrucLength = offsetof(MQCFIN, StrucLength);
constexpr size_t kCfhParameterCount = offsetof(MQCFH, ParameterCount);

}  // namespace

// ---- Summary of a standard PCF message ----

int pcfSummaryKeySlot(int32_t parmId) {
    for (int i = 0; i < PCF_SUMMARY_KEYS; i++)
        if (pcfSummaryKeyIds[i] == parmId) return i;
    return -1;
}

namespace {

// CodedCharSetId of a string structure the parser accepted, else 0.
int32_t structCcsid(int32_t type, const uint8_t *item) {
    switch (type) {
        case MQCFT_STRING:
        case PCF_TYPE_STRING_1001:
        case MQCFT_STRING_LIST:
        case PCF_TYPE_STRING_LIST_1002:
            return mqiGetI32(item, offsetof(MQCFST, CodedCharSetId));
        case MQCFT_STRING_FILTER:
            return mqiGetI32(item, offsetof(MQCFSF, CodedCharSetId));
        default:
            return 0;
    }
}

}  // namespace

Area *MQPCFSummarise(uint8_t *message, int32_t length, uint32_t ccsid) {
    if (!message || length < MQCFH_STRUC_LENGTH) return nullptr;
    Area *area = AreaGet(PCF_SUMMARY_AREA, PCF_SUMMARY_HEAD, "MQPCFSUMMARY");
    if (!area) return nullptr;
    PcfSummary *s = pcfSummaryOf(area);
    s->command = mqiGetU32(message, offsetof(MQCFH, Command));
    s->reason = mqiGetU32(message, offsetof(MQCFH, Reason));
    s->parameterCount = mqiGetI32(message, kCfhParameterCount);
    area->used = PCF_SUMMARY_HEAD;

    PcfCursor c;
    MQPCFInitParser(&c, message, length, ccsid);
    for (;;) {
        auto groupId = static_cast<int32_t>(c.groupId);  // the group the next item sits in
        int32_t type, id, len, count, cc, rc;
        void *value;
        MQPCFGetNextParm(&c, &type, &id, &value, &len, &count, &cc, &rc);
        if (cc != MQCC_OK) {
            if (rc != PCF_END_OF_MESSAGE) s->status = rc;
            break;
        }
        PcfSummaryItem item{};
        bool hasStruct = type != PCF_TYPE_GROUP_END && type != PCF_TYPE_WORD;
        item.source = hasStruct ? c.currentItem : nullptr;
        item.strucLength = !hasStruct            ? 0
                           : type == MQCFT_GROUP ? MQCFGR_STRUC_LENGTH
                                                 : mqiGetI32(c.currentItem, kStrucLength);
        item.ccsid = hasStruct ? structCcsid(type, c.currentItem) : 0;
        item.groupId = groupId;
        item.parmId = id;
        item.type = type;
        item.length = len;
        item.count = count;
        if (type == MQCFT_INTEGER || type == MQCFT_INTEGER_FILTER)
            item.value.i64 = mqiGetI32(value, 0);
        else if (type == MQCFT_INTEGER64)
            item.value.i64 = mqiGetI64(value, 0);
        else
            item.value.ptr = value;

        int placed = pcfSummaryPlace(area, &item);
        if (placed < 0) break;
        if (placed == 1 && id == MQIACF_COMMAND && type == MQCFT_INTEGER)
            s->commandValue = static_cast<uint32_t>(item.value.i64);
    }
    return area;
}

int pcfSummaryPlace(Area *area, const PcfSummaryItem *item) {
    PcfSummary *s = pcfSummaryOf(area);
    bool structural = item->type == MQCFT_GROUP || item->type == PCF_TYPE_GROUP_END;
    int slot = structural ? -1 : pcfSummaryKeySlot(item->parmId);
    if (slot >= 0 && (item->groupId == 0 || item->groupId == MQGACF_COMMAND_CONTEXT) &&
        !(s->keyPresent & (1u << slot))) {
        s->keys[slot] = *item;
        s->keyPresent |= 1u << slot;
        return 1;
    }
    if (s->itemCount >= PCF_SUMMARY_MAX_ITEMS) {
        s->truncated = 1;
        return -1;
    }
    s->items[s->itemCount++] = *item;
    area->used += PCF_SUMMARY_ITEM;
    if (item->parmId == MQIACF_REASON_QUALIFIER && item->type == MQCFT_INTEGER)
        s->reasonQualifier = static_cast<uint32_t>(item->value.i64);
    return 0;
}
