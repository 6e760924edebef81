// The summary of a compressed event record (the flat view the displays read) and the one-line event
// text built from it: what happened, to which object and, for a configuration change, which
// attributes changed from what to what, in at most 128 bytes.
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "mqi/mqi.h"

namespace {

constexpr int32_t kGroupBefore = 39200;  // HLV_GROUP_BEFORE
constexpr int32_t kGroupAfter = 39201;   // HLV_GROUP_AFTER
constexpr int32_t kContext = MQGACF_COMMAND_CONTEXT;

// Event-context parameters that a configuration event's summary files under the command context.
bool isContextParm(int32_t id) {
    switch (id) {
        case 3045:
        case 3047:
        case 3049:
        case 3050:
        case 3051:
        case 1010:
        case 1011:
        case 7001:
        case 7002:
            return true;
        default:
            return false;
    }
}

// Order of groups that one pass of neighbour swaps moves a configuration event's items towards.
int groupRank(int32_t groupId) {
    switch (groupId) {
        case 0:
            return 0;
        case kContext:
            return 1;
        case kGroupBefore:
            return 2;
        case kGroupAfter:
            return 3;
        default:
            return 4;
    }
}

PcfSummaryItem summaryItem(const evCFCursor &c, const evCFItem &it) {
    PcfSummaryItem s{};
    bool end = it.type == PCF_TYPE_GROUP_END;
    s.source = end ? nullptr : c.currentItem;
    s.strucLength = end ? 0 : static_cast<int32_t>(c.itemLength);
    s.ccsid = static_cast<int32_t>(it.ccsid);
    s.groupId = it.groupId;
    s.parmId = it.parmId;
    s.type = it.type;
    s.length = it.length;
    s.count = it.count;
    s.secondId = it.secondId;
    if (it.data)
        s.value.ptr = it.data;
    else
        s.value.i64 = it.value;
    return s;
}

}  // namespace

Area *evCFSummarise(const EvStringPool *pool, uint8_t *record, size_t length) {
    Area *area = AreaGet(PCF_SUMMARY_AREA, PCF_SUMMARY_HEAD, "evPCFSUMMARY");
    if (!area) return nullptr;
    PcfSummary *s = pcfSummaryOf(area);
    area->used = PCF_SUMMARY_HEAD;
    s->subtype = evClassifyEvent(record, length, &s->category, &s->commandValue);
    if (!record || length < EVCF_HEADER_LENGTH) {
        s->status = MQRC_STORAGE_NOT_AVAILABLE;
        return area;
    }
    s->command = evCFGetCommand(record);
    s->reason = evCFGetReason(record);
    s->parameterCount = evCFGetItemCount(record);
    bool config = s->category == EV_CAT_CONFIG;

    evCFCursor c;
    evCFCursorInit(&c, pool, record, static_cast<uint32_t>(length), 0, 0);
    for (;;) {
        evCFItem it;
        int32_t cc = 0, rc = 0;
        evCFNextParm(&c, &it, &cc, &rc);
        if (cc != MQCC_OK) {
            if (rc != PCF_END_OF_MESSAGE) s->status = rc;
            break;
        }
        PcfSummaryItem item = summaryItem(c, it);
        bool isGroupEnd = it.type == PCF_TYPE_GROUP_END;
        if (config && !isGroupEnd) {
            if (isContextParm(it.parmId))
                item.groupId = kContext;
            else if (item.groupId == 0 && (s->subtype == 4002 || s->subtype == 4004))
                item.groupId = kGroupAfter;
            else if (item.groupId == 0 && s->subtype == 4003)
                item.groupId = kGroupBefore;
        }
        if (pcfSummaryPlace(area, &item) < 0) break;
    }
    if (config)
        for (int i = 0; i + 1 < s->itemCount; ++i)
            if (groupRank(s->items[i].groupId) > groupRank(s->items[i + 1].groupId)) {
                PcfSummaryItem t = s->items[i];
                s->items[i] = s->items[i + 1];
                s->items[i + 1] = t;
            }
    return area;
}

// ---- The one-line text ----

namespace {

constexpr size_t kLine = EV_SUMMARY_LINE;  // 128
constexpr size_t kAttrEnd = kLine - 4;     // attributes end early so that " ..." always fits

// Bytes appended to a line that never passes its limit.
struct Line {
    char *out;
    size_t used;
    size_t limit;
    bool put(const char *text, size_t n) {
        if (used + n > limit) return false;
        std::memcpy(out + used, text, n);
        used += n;
        out[used] = '\0';
        return true;
    }
    bool put(const std::string &text) { return put(text.data(), text.size()); }
    bool put(const char *text) { return put(text, std::strlen(text)); }
};

std::string num(long long v) {
    return std::to_string(v);
}

// Pieces joined by appending (operator+ chains with literals draw false -Wrestrict alarms at -O3).
std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out.append(p.data(), p.size());
    return out;
}

std::string pooled(const EvStringPool *pool, uint32_t id) {
    EvStringView v = evPoolLookup(pool, id);
    return std::string(v.text, v.length);
}

// Name of one integer value by the parameter's value names, or its number.
std::string intName(const evParmDef *def, int32_t id, int32_t value, bool *hidden) {
    if (hidden) *hidden = false;
    if (def && def->valueNames == evCommandNameMarker && id == MQIACF_COMMAND) {
        const char *name = evCommandName(value);
        if (name[0]) return name;
    } else if (def && def->valueNames) {
        const evValueName *row = evValueNameByValue(def->valueNames, value);
        if (row) {
            if (hidden) *hidden = row->text && row->text[0] == '!';
            return row->keyword;
        }
    }
    return num(value);
}

// The items of a group: the index of its group item and of its end (or the item count).
struct GroupSpan {
    int start = -1;
    int end = -1;
};

GroupSpan findGroup(const PcfSummary *s, int32_t id) {
    GroupSpan g;
    for (int i = 0; i < s->itemCount; ++i)
        if (s->items[i].type == MQCFT_GROUP && s->items[i].parmId == id) {
            g.start = i;
            break;
        }
    if (g.start < 0) return g;
    g.end = s->itemCount;
    for (int i = g.start + 1; i < s->itemCount; ++i)
        if (s->items[i].type == PCF_TYPE_GROUP_END && s->items[i].parmId == id) {
            g.end = i;
            break;
        }
    return g;
}

bool sameValue(const EvStringPool *pool, const PcfSummaryItem &a, const PcfSummaryItem &b) {
    if (a.type != b.type) return false;
    switch (a.type) {
        case MQCFT_INTEGER:
        case MQCFT_INTEGER64:
        case EVCF_DATE_TIME:
            return a.value.i64 == b.value.i64;
        case EVCF_STRING_ID:
            return a.value.i64 == b.value.i64 || pooled(pool, static_cast<uint32_t>(a.value.i64)) ==
                                                     pooled(pool, static_cast<uint32_t>(b.value.i64));
        default: {
            size_t an = a.type == MQCFT_INTEGER_LIST || a.type == EVCF_STRING_ID_LIST
                            ? 4u * static_cast<size_t>(a.count)
                            : static_cast<size_t>(a.length);
            size_t bn = b.type == MQCFT_INTEGER_LIST || b.type == EVCF_STRING_ID_LIST
                            ? 4u * static_cast<size_t>(b.count)
                            : static_cast<size_t>(b.length);
            if (an != bn || a.count != b.count) return false;
            if (an == 0) return true;
            return a.value.ptr && b.value.ptr && std::memcmp(a.value.ptr, b.value.ptr, an) == 0;
        }
    }
}

}  // namespace

int evFormatAttrValue(const EvStringPool *pool, const evParmDef *def, const PcfSummaryItem *item,
                      std::string *out) {
    out->clear();
    const auto *data = static_cast<const uint8_t *>(item->value.ptr);
    switch (item->type) {
        case MQCFT_INTEGER:
            *out = intName(def, item->parmId, static_cast<int32_t>(item->value.i64), nullptr);
            break;
        case MQCFT_INTEGER_LIST: {
            out->push_back('\'');
            bool first = true;
            for (int32_t i = 0; data && i < item->count; ++i) {
                bool hidden = false;
                std::string name =
                    intName(def, item->parmId, mqiGetI32(data, 4 * static_cast<size_t>(i)), &hidden);
                if (hidden) continue;
                if (!first) *out += ',';
                *out += name;
                first = false;
            }
            out->push_back('\'');
            break;
        }
        case MQCFT_STRING:
            *out = join({"'",
                         std::string_view(static_cast<const char *>(item->value.ptr),
                                          static_cast<size_t>(item->length)),
                         "'"});
            break;
        case EVCF_STRING_ID:
            *out = join({"'", pooled(pool, static_cast<uint32_t>(item->value.i64)), "'"});
            break;
        case EVCF_STRING_ID_LIST:
            for (int32_t i = 0; data && i < item->count; ++i) {
                if (i) *out += ',';
                EvStringView v = evPoolValue(pool, mqiGetU32(data, 4 * static_cast<size_t>(i)));
                *out += join({"'", std::string_view(v.text, v.length), "'"});
            }
            break;
        default:
            break;
    }
    return static_cast<int>(out->size());
}

int evFormatEventAttrs(const EvStringPool *pool, const PcfSummaryItem *before, const PcfSummaryItem *after,
                       int *showValues, char *out, size_t room) {
    const evParmDef *def = evEventsParmById(static_cast<uint32_t>(after->parmId));
    std::string name = def && def->keyword ? def->keyword : join({"ATTR", num(after->parmId)});
    std::string text;
    if (*showValues) {
        std::string oldValue, newValue;
        evFormatAttrValue(pool, def, before, &oldValue);
        evFormatAttrValue(pool, def, after, &newValue);
        text = join({" ", name, "[", oldValue, " -> ", newValue, "]"});
        if (text.size() > room) *showValues = 0;
    }
    if (!*showValues) text = join({" ", name});
    if (text.size() > room) return 0;
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return static_cast<int>(text.size());
}

int evFormatChanges(const EvStringPool *pool, const PcfSummary *s, char *out, size_t lineUsed) {
    Line line{out, 0, kLine - lineUsed};
    if (!line.put(" -")) return 0;
    GroupSpan before = findGroup(s, kGroupBefore), after = findGroup(s, kGroupAfter);
    if (before.start < 0 || after.start < 0) {
        line.put(" ...");
        return static_cast<int>(line.used);
    }
    if (after.start == s->itemCount - 1) {
        line.put(" No changes.");
        return static_cast<int>(line.used);
    }
    size_t attrRoom = kAttrEnd > lineUsed ? kAttrEnd - lineUsed : 0;
    int showValues = 1, written = 0, from = before.start + 1;
    for (int i = after.start + 1; i < after.end; ++i) {
        const PcfSummaryItem &a = s->items[i];
        if (a.type == EVCF_DATE_TIME || a.type == MQCFT_GROUP || a.type == PCF_TYPE_GROUP_END) continue;
        int match = -1;
        for (int j = from; j < before.end; ++j)
            if (s->items[j].parmId == a.parmId && s->items[j].type != MQCFT_GROUP &&
                s->items[j].type != PCF_TYPE_GROUP_END) {
                match = j;
                break;
            }
        if (match < 0) continue;
        from = match + 1;
        if (sameValue(pool, s->items[match], a)) continue;
        size_t room = attrRoom > line.used ? attrRoom - line.used : 0;
        int n = evFormatEventAttrs(pool, &s->items[match], &a, &showValues, out + line.used, room);
        if (n == 0) {
            line.put(" ...");
            return static_cast<int>(line.used);
        }
        line.used += static_cast<size_t>(n);
        ++written;
    }
    if (!written) line.put(" No changes.");
    return static_cast<int>(line.used);
}

int evEventSummary(const EvStringPool *pool, const uint8_t *record, size_t length, const PcfSummary *s,
                   char *out, const MQIFunctionTable *table, int32_t hconn, int32_t ccsid) {
    out[0] = '\0';
    if (!record || length < EVCF_HEADER_LENGTH || !s) return 0;
    Line line{out, 0, kLine};
    bool hasCommand = (s->keyPresent & 4u) && s->keys[2].type == MQCFT_INTEGER;
    int32_t commandValue = hasCommand ? static_cast<int32_t>(s->keys[2].value.i64) : 0;

    // 1. What happened.
    const char *what = evEventTypeText(s->subtype);
    if (what)
        line.put(what);
    else if (hasCommand)
        line.put(join({"Command:", num(commandValue), " Reason:", num(evCFGetReason(record))}));
    else
        line.put(join({"CFH Command:", num(evCFGetCommand(record)), " Reason:", num(evCFGetReason(record))}));

    // 2. The command that was not authorised.
    if (s->subtype == 1006 && hasCommand && s->keys[2].groupId == 0) {
        const char *name = evCommandName(commandValue);
        if (name[0]) line.put(join({" - ", name}));
    }

    // 3. The object's type.
    uint16_t objectType = evCFGetObjectType(record);
    if (objectType) {
        const char *typeName = evObjectTypeText(objectType);
        line.put(typeName ? join({" - ", typeName, ":"}) : join({" - (", num(objectType), "):"}));
    }

    // 4. The object's name, from its own CCSID in the line's, cut to the room left.
    uint32_t nameId = evCFGetObjectName(record);
    if (nameId) {
        EvStringView name = evPoolLookup(pool, nameId);
        char converted[4 * 256 + 16];
        const char *text = name.text;
        size_t n = name.length;
        if (ccsid != 0 && name.ccsid != 0 && n <= 256) {
            int32_t got = sizeof converted;
            if (MQConvertShown(table, hconn, name.text, static_cast<int32_t>(n), converted, &got,
                               static_cast<int32_t>(name.ccsid), ccsid, nullptr) == 0) {
                text = converted;
                n = static_cast<size_t>(got);
            }
        }
        size_t room = kLine - line.used;
        if (n <= room) {
            line.put(text, n);
        } else if (ccsid == 1208) {
            // Cut before a whole character.
            size_t cut = room >= 3 ? room - 3 : 0;
            while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) cut--;
            line.put(text, cut);
            line.put("...");
        } else {
            line.put(text, room);
            std::memcpy(out + kLine - 3, "...", 3);
        }
    }

    // 5. The attributes a configuration change altered.
    if (s->command == MQCMD_CONFIG_EVENT && s->reason == MQRC_CONFIG_CHANGE_OBJECT && line.used < kLine)
        line.used += static_cast<size_t>(evFormatChanges(pool, s, out + line.used, line.used));
    out[line.used] = '\0';
    return static_cast<int>(line.used);
}
