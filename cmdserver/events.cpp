// DISPLAY EVENTS: the query over stored events. It matches event streams by queue manager and name
// (or those shown implicitly), finds the events by time window or by event id through the stream
// search, and answers one response per event, newest first: the event's derived attributes and as
// many of its own fields as the display type asks for.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cmdserver/internal.h"

namespace {

constexpr int32_t kCommand = 9004;
constexpr int32_t kAll = 1009;
constexpr int32_t kListId = 39104;
constexpr int32_t kDefaultMaxResp = 100;
constexpr int32_t kUserMax = 12;
constexpr int32_t kAlterationDate = 2027;  // MQCA_ALTERATION_DATE: left out of the groups
constexpr int32_t kParmValueError = MQRCCF_PARM_VALUE_ERROR;
constexpr int32_t kShowCommands = 3;

enum DisplayType : int32_t { kDetail = 1, kSummary = 2, kCondense = 3, kMinimum = 4 };

// The two attribute lists of each display type, 0-terminated.
constexpr uint32_t kDetailFirst[] = {39307, 39330, 39301, 39314, 39340, 0};
constexpr uint32_t kDetailSecond[] = {39301, 39322, 39340, 39326, 39316, 39317, 39200, 39201, 0};
constexpr uint32_t kSummaryFirst[] = {39340, 39322, 39314, 0};
constexpr uint32_t kCondenseFirst[] = {39307, 39330, 39301, 39314, 0};
constexpr uint32_t kMinimumFirst[] = {39340, 39326, 39200, 39201, 0};
constexpr uint32_t kNone[] = {0};

struct EventsQuery {
    QmgrContext *context;
    EvSelection selection;
    const char *stream;  // null: none given
    int32_t streamLength;
    int32_t eventId;
    int32_t eventIdGiven;
    int32_t reason;  // EVREASON, 0 any
    int32_t type;    // EVTYPE, 0 any
    int32_t disType;
    const char *objectName;
    int32_t objectNameLength;
    int32_t objectType;
    const char *user;
    int32_t userLength;
    int32_t showCommands;
    const uint8_t *requested;
    int32_t requestedCount;
    bool all;
    const uint32_t *lists[2];
    ExpExpression *where;
    uint32_t shown;
    bool more;
    bool stopped;
};

bool inList(const uint32_t *list, uint32_t id) {
    for (; *list != 0; list++)
        if (*list == id) return true;
    return false;
}

bool wanted(const EventsQuery *q, uint32_t id) {
    if (q->all || inList(q->lists[0], id) || inList(q->lists[1], id)) return true;
    for (int32_t i = 0; q->requested != nullptr && i < q->requestedCount; i++)
        if (mqiGetU32(q->requested, static_cast<size_t>(i) * 4) == id) return true;
    return false;
}

int refuse(EventsQuery *q, const PcfCursor *cursor, const char *text) {
    evParameterNameError(q->context, cursor, kParmValueError, text);
    return 0;
}

// A name pattern: not empty, MQ name characters and wildcards.
int patternParm(EventsQuery *q, const PcfCursor *cursor, int32_t maximum, uint32_t flags, const char **text,
                int32_t *length) {
    if (!evParmGetString(q->context, cursor, 0, maximum, text, length)) return 0;
    if (*length == 0) return refuse(q, cursor, "Parameter '%s' must contain a value.");
    if (!evCheckName(*text, *length, flags))
        return refuse(q, cursor,
                      (flags & CMD_NAME_SYSTEM_STREAMS) && (*text)[0] == '$'
                          ? "Parameter '%s' contains an invalid system stream name."
                          : "Parameter '%s' contains characters which are not valid in an MQ name.");
    return 1;
}

// An integer of a value table (or, for the event types, the keyword of one as a string).
int valueParm(EventsQuery *q, const PcfCursor *cursor, const evValueName *names, bool byName, int32_t *out) {
    int32_t value = 0;
    if (cursor->type == MQCFT_INTEGER && cursor->value != nullptr) {
        value = mqiGetI32(cursor->value, 0);
        if (evValueNameByValue(names, value) == nullptr)
            return refuse(q, cursor, "Parameter '%s' is not a recognised value.");
    } else if (byName && cursor->type == MQCFT_STRING) {
        const char *text = nullptr;
        int32_t length = 0;
        if (!evParmGetString(q->context, cursor, 0, 48, &text, &length)) return 0;
        const evValueName *row = evValueNameByText(names, text, static_cast<size_t>(length));
        if (row == nullptr) return refuse(q, cursor, "Parameter '%s' is not a recognised value.");
        value = row->value;
    } else {
        return refuse(q, cursor,
                      byName ? "Parameter '%s' should be an integer or string."
                             : "Parameter '%s' should be an integer.");
    }
    *out = value;
    return 1;
}

bool isCategory(int32_t value) {
    return value >= static_cast<int32_t>(EV_CAT_AUTHORITY) &&
           value <= static_cast<int32_t>(EV_CAT_IMS_BRIDGE) && value % 1000 == 0;
}

// One parameter of the command's own: 1 taken, 0 refused, -1 not one of them.
int ownParm(EventsQuery *q, const PcfCursor *cursor) {
    switch (static_cast<int32_t>(cursor->parmId)) {
        case 39301:
            return patternParm(q, cursor, 64, CMD_NAME_WILDCARDS | CMD_NAME_SYSTEM_STREAMS, &q->stream,
                               &q->streamLength);
        case 39330:
            if (cursor->type != MQCFT_INTEGER || cursor->value == nullptr)
                return refuse(q, cursor, "Parameter '%s' should be an integer.");
            q->eventId = mqiGetI32(cursor->value, 0);
            q->eventIdGiven = 1;
            return 1;
        case 39326:
            return valueParm(q, cursor, evEventTypeNames, true, &q->reason);
        case 39361: {
            // The categories share their table with the subtypes; only the twelve are types.
            int32_t value = 0;
            if (!valueParm(q, cursor, evEventTypeNames, true, &value)) return 0;
            if (!isCategory(value)) return refuse(q, cursor, "Parameter '%s' is not a recognised value.");
            q->type = value;
            return 1;
        }
        case 39315:
            return valueParm(q, cursor, evDisplayTypeNames, false, &q->disType);
        case 39316:
            return patternParm(q, cursor, 48, CMD_NAME_WILDCARDS, &q->objectName, &q->objectNameLength);
        case 39317:
            return valueParm(q, cursor, evObjectTypeNames, false, &q->objectType);
        case 39307: {
            if (cursor->type != MQCFT_STRING) return refuse(q, cursor, "Parameter '%s' should be a string.");
            return evParmGetString(q->context, cursor, 0, kUserMax, &q->user, &q->userLength);
        }
        case 39358: {
            int32_t value = 0;
            if (!valueParm(q, cursor, evDisplayCommandsNames, false, &value)) return 0;
            if (value == kShowCommands) q->showCommands = 1;
            return 1;
        }
        case kListId:
            if (cursor->type != MQCFT_INTEGER_LIST) {
                evPcfResponse(q->context, kCommand, kParmValueError, kListId, nullptr);
                return 0;
            }
            q->requested = cursor->value;
            q->requestedCount = static_cast<int32_t>(cursor->valueCount);
            return 1;
        default:
            return -1;
    }
}

int readParameters(EventsQuery *q, uint8_t *command, int32_t length) {
    PcfCursor cursor;
    MQPCFInitParser(&cursor, command, length, 0);
    for (;;) {
        int32_t type = 0;
        int32_t id = 0;
        void *value = nullptr;
        int32_t valueLength = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) {
            if (rc == PCF_END_OF_MESSAGE) return 1;
            cursor.reason = static_cast<uint32_t>(rc);
            evParameterError(q->context, &cursor, id, type);
            return 0;
        }
        int taken = ownParm(q, &cursor);
        if (taken < 0) {
            int handled = 0;
            taken = evParseSelectionParm(q->context, &q->selection, &cursor, &handled);
            if (!handled) {
                evParameterError(q->context, &cursor, id, type);
                return 0;
            }
        }
        if (taken == 0) return 0;
    }
}

// Step 2: what EVENTID needs and forbids, in order.
int checkEventId(EventsQuery *q) {
    const EvSelection &s = q->selection;
    struct Rule {
        bool fails;
        int32_t reason;
        int32_t parmId;
        const char *text;
    };
    auto wild = [](const char *text, int32_t length) {
        return text != nullptr && (std::memchr(text, '*', static_cast<size_t>(length)) != nullptr ||
                                   std::memchr(text, '?', static_cast<size_t>(length)) != nullptr);
    };
    const Rule rules[] = {
        {q->stream == nullptr, MQRCCF_PARM_MISSING, 39301,
         "If 'EVENTID' is specified you must give the stream name."},
        {s.evQmgr == nullptr, MQRCCF_PARM_MISSING, 39340,
         "If 'EVENTID' is specified you must give the Queue Manager name."},
        {wild(q->stream, q->streamLength), kParmValueError, 39301,
         "If 'EVENTID' is specified the stream name can not contain wildcards."},
        {wild(s.evQmgr, s.evQmgrLength), kParmValueError, 39340,
         "If 'EVENTID' is specified the Queue Manager name can not contain wildcards."},
        {s.fromText[0] != '\0', kParmValueError, 39318,
         "If 'EVENTID' is specified it is not necessary to also specify 'FROM' time value."},
        {s.toText[0] != '\0', kParmValueError, 39319,
         "If 'EVENTID' is specified it is not necessary to also specify 'TO' time value."},
    };
    for (const Rule &rule : rules)
        if (rule.fails) return evPcfResponse(q->context, kCommand, rule.reason, rule.parmId, rule.text), 0;
    return 1;
}

void chooseLists(EventsQuery *q) {
    switch (q->disType) {
        case kDetail:
            q->lists[0] = kDetailFirst, q->lists[1] = kDetailSecond;
            break;
        case kCondense:
            q->lists[0] = kCondenseFirst, q->lists[1] = kDetailSecond;
            break;
        case kMinimum:
            q->lists[0] = kMinimumFirst, q->lists[1] = kNone;
            break;
        default:
            q->lists[0] = kSummaryFirst, q->lists[1] = kNone;
            break;
    }
    for (int32_t i = 0; q->requested != nullptr && i < q->requestedCount; i++)
        if (mqiGetI32(q->requested, static_cast<size_t>(i) * 4) == kAll) q->all = true;
}

// ---- One response ----

void addInt(PcfCursor *b, int32_t id, int32_t value) {
    int32_t cc = 0;
    int32_t rc = 0;
    MQPCFSetParm(b, MQCFT_INTEGER, id, &value, 4, 0, &cc, &rc);
}
void addText(PcfCursor *b, int32_t id, const char *text, size_t length) {
    int32_t cc = 0;
    int32_t rc = 0;
    MQPCFSetStringParm(b, MQCFT_STRING, id, text, static_cast<int32_t>(length), 0, 0, &cc, &rc);
}
bool isUtf16(uint32_t ccsid) {
    return ccsid == 1200 || ccsid == 1201 || ccsid == 1202;
}

// A text that is not valid in its CCSID (UTF-8 or UTF-16) as UTF-8 with U+FFFD for what is not,
// into utf8: true; false for a valid text, which goes as it is, in its own CCSID. A UTF-16 text of
// an odd length is not valid there: its last byte goes as the files show it (little-endian, the low
// byte of a character; big-endian, dropped).
bool repaired(const char *text, size_t length, uint32_t ccsid, std::string &utf8) {
    if (length == 0 || (ccsid != 1208 && !isUtf16(ccsid))) return false;
    uint32_t replaced = 0;
    utf8.assign(3 * length + 16, '\0');
    auto size = static_cast<int32_t>(utf8.size());
    if (MQConvertShown(nullptr, -1, text, static_cast<int32_t>(length), utf8.data(), &size,
                       static_cast<int32_t>(ccsid), 1208, &replaced) != 0 ||
        (replaced == 0 && (!isUtf16(ccsid) || length % 2 == 0)))
        return false;
    utf8.resize(static_cast<size_t>(size));
    return true;
}

// A pooled header text, trailing blanks dropped, in its own CCSID (UTF-16 among them).
void addPooled(PcfCursor *b, int32_t id, uint32_t stringId) {
    const EvStringView view = evPoolLookup(&evStreamStringPool, stringId);
    size_t n = view.length;
    // A blank byte may be half of a UTF-16 character.
    while (n > 0 && view.text[n - 1] == ' ' && !isUtf16(view.ccsid)) n--;
    std::string utf8;
    const bool fixed = repaired(view.text, n, view.ccsid, utf8);
    int32_t cc = 0;
    int32_t rc = 0;
    MQPCFSetStringParm(b, MQCFT_STRING, id, fixed ? utf8.data() : view.text,
                       static_cast<int32_t>(fixed ? utf8.size() : n),
                       fixed ? 1208 : static_cast<int32_t>(view.ccsid), 0, &cc, &rc);
}

// A list of pooled strings in UTF-16, or with one not valid in its CCSID, as a list in UTF-8 into all
// (each string as repaired() shows it, padded with blanks, which in UTF-16 could not be told from half
// a character): true; false for a list that goes as it is.
bool repairedList(const evCFItem &item, std::string &all, int32_t *each) {
    const auto *ids = static_cast<const uint8_t *>(item.data);
    const int32_t count = ids != nullptr && item.count > 0 ? item.count : 0;
    std::vector<std::string> texts(static_cast<size_t>(count));
    bool repair = false;
    size_t longest = 1;
    for (int32_t i = 0; i < count; i++) {
        const EvStringView e = evPoolValue(&evStreamStringPool, mqiGetU32(ids, 4 * static_cast<size_t>(i)));
        std::string &text = texts[static_cast<size_t>(i)];
        if (repaired(e.text, e.length, e.ccsid, text)) {
            repair = true;
        } else if (e.length > 0 && isUtf16(e.ccsid)) {
            repair = true;
            text.assign(3 * e.length + 16, '\0');
            auto size = static_cast<int32_t>(text.size());
            if (MQConvertShown(nullptr, -1, e.text, static_cast<int32_t>(e.length), text.data(), &size,
                               static_cast<int32_t>(e.ccsid), 1208, nullptr) != 0)
                size = 0;
            text.resize(static_cast<size_t>(size));
        } else {
            text.assign(e.text != nullptr ? e.text : "", e.length);
        }
        longest = std::max(longest, text.size());
    }
    if (!repair) return false;
    all.clear();
    for (std::string &text : texts) all += text.append(longest - text.size(), ' ');
    *each = static_cast<int32_t>(longest);
    return true;
}

// An item of the record into the response; a text not valid in its CCSID goes as UTF-8 that is.
int32_t addItem(PcfCursor *b, const evCFItem &item) {
    evCFItem shown = item;
    std::string utf8;
    if (item.type == EVCF_STRING_ID_LIST) {
        int32_t each = 0;
        if (repairedList(item, utf8, &each)) {
            shown.type = MQCFT_STRING_LIST;
            shown.data = utf8.data();
            shown.length = static_cast<int32_t>(utf8.size());
            shown.value = each;
            shown.ccsid = 1208;
        }
    }
    if (item.type == MQCFT_STRING || item.type == MQCFT_STRING_FILTER) {
        if (item.data != nullptr && item.length > 0 &&
            repaired(static_cast<const char *>(item.data), static_cast<size_t>(item.length), item.ccsid,
                     utf8)) {
            shown.data = utf8.data();
            shown.length = static_cast<int32_t>(utf8.size());
            shown.ccsid = 1208;
        }
    } else if (item.type == EVCF_STRING_ID || item.type == EVCF_FILTER_ID) {
        const EvStringView view = item.type == EVCF_STRING_ID
                                      ? evPoolLookup(&evStreamStringPool, static_cast<uint32_t>(item.value))
                                      : evPoolValue(&evStreamStringPool, static_cast<uint32_t>(item.value));
        if (repaired(view.text, view.length, view.ccsid, utf8)) {
            shown.type = item.type == EVCF_STRING_ID ? MQCFT_STRING : MQCFT_STRING_FILTER;
            shown.data = utf8.data();
            shown.length = static_cast<int32_t>(utf8.size());
            shown.ccsid = 1208;
        }
    }
    return evCFToPcfParm(&evStreamStringPool, b, &shown);
}
void closeGroups(PcfCursor *b) {
    int32_t cc = 0;
    int32_t rc = 0;
    while (b->depth > 0) {
        MQPCFSetParm(b, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc, &rc);
        if (cc == MQCC_FAILED) break;
    }
}

// The derived attributes, in their order.
void addHeader(const EventsQuery *q, PcfCursor *b, const EvSearchSlot &slot, const uint8_t *record,
               uint32_t length) {
    uint8_t header[EVCF_HEADER_LENGTH];
    std::memcpy(header, record, sizeof header);
    uint32_t category = 0;
    uint32_t subtype = 0;
    if (wanted(q, 39326) || wanted(q, 39361)) {
        // The classification may name the object in the header it is given: it gets a copy.
        auto *copy = static_cast<uint8_t *>(CSGetMem(length));
        if (copy != nullptr) {
            std::memcpy(copy, record, length);
            subtype = evClassifyEvent(copy, length, &category, nullptr);
            CSFreeMem(copy);
        }
    }
    if (wanted(q, 39340) && slot.qmgr != nullptr) addText(b, 39340, slot.qmgr->name, slot.qmgr->nameLength);
    if (wanted(q, 39301) && slot.stream != nullptr) {
        const char *name = evStreamName(slot.stream);
        addText(b, 39301, name, std::strlen(name));
    }
    if (wanted(q, 39322)) {
        int32_t cc = 0;
        int32_t rc = 0;
        const int64_t time = evCFGetEventTime(header);
        MQPCFSetParm(b, MQCFT_INTEGER64, 39322, &time, 8, 0, &cc, &rc);
    }
    if (wanted(q, 39326)) addInt(b, 39326, static_cast<int32_t>(subtype));
    if (wanted(q, 39361)) addInt(b, 39361, static_cast<int32_t>(category));
    if (wanted(q, 39307)) addPooled(b, 39307, evCFGetUserId(header));
    if (wanted(q, 39316)) addPooled(b, 39316, evCFGetObjectName(header));
    if (wanted(q, 39317)) addInt(b, 39317, evCFGetObjectType(header));
    if (wanted(q, 39330)) addInt(b, 39330, static_cast<int32_t>(evCFGetEventId(header)));
    if (wanted(q, 39328)) addInt(b, 39328, evCFGetCommand(header));
    if (wanted(q, 39327)) addInt(b, 39327, static_cast<int32_t>(evCFGetReason(header)));
    if (wanted(q, 39314)) {
        char summary[EV_SUMMARY_LINE + 1] = "";
        int n = 0;
        auto *copy = static_cast<uint8_t *>(CSGetMem(length));
        if (copy != nullptr) {
            std::memcpy(copy, record, length);
            if (Area *area = evCFSummarise(&evStreamStringPool, copy, length)) {
                // In the code page the reply's own texts are in, the object name converted from its own.
                n = evEventSummary(&evStreamStringPool, copy, length, pcfSummaryOf(area), summary,
                                   q->context->event.mq, evEventHconn(&q->context->sets[EV_SET_C]),
                                   cmdTextCcsid(cmdRequest(q->context)));
                AreaRelease(&area);
            }
            CSFreeMem(copy);
        }
        addText(b, 39314, summary, n > 0 ? static_cast<size_t>(n) : 0);
    }
}

bool isEmptyValue(const evCFItem &item) {
    switch (item.type) {
        case MQCFT_STRING: {
            const auto *text = static_cast<const char *>(item.data);
            int32_t n = item.length;
            while (n > 0 && text != nullptr && (text[n - 1] == ' ' || text[n - 1] == '\0')) n--;
            return n == 0;
        }
        case MQCFT_INTEGER_LIST:
        case MQCFT_INTEGER64_LIST:
        case MQCFT_STRING_LIST:
        case EVCF_STRING_ID_LIST:
            return item.count == 0;
        default:
            return false;
    }
}

// The event's own fields that are wanted; a group goes whole when its id is wanted. CONDENSE leaves
// out empty strings and lists.
void evFilterResponseAttrs(const EventsQuery *q, PcfCursor *b, const uint8_t *record, uint32_t length) {
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record, length, 1, 1);
    bool groupWanted = false;
    for (;;) {
        evCFItem item{};
        int32_t cc = 0;
        int32_t rc = 0;
        evCFNextParm(&cursor, &item, &cc, &rc);
        if (cc == MQCC_FAILED) break;
        if (item.type == MQCFT_GROUP) {
            groupWanted = wanted(q, static_cast<uint32_t>(item.parmId));
            continue;
        }
        if (item.type == PCF_TYPE_GROUP_END) continue;
        const bool inGroup = item.groupId != 0;
        if (inGroup ? !groupWanted : !wanted(q, static_cast<uint32_t>(item.parmId))) continue;
        if (q->disType == kCondense && isEmptyValue(item)) continue;
        if (addItem(b, item) == MQRC_STORAGE_NOT_AVAILABLE) break;
    }
    closeGroups(b);
}

// A configuration change: the identifying leading items as any event's, then BEFORE with the
// before-value of each attribute AFTER carries, in AFTER's order, then AFTER.
void evAddEventGroup(const EventsQuery *q, PcfCursor *b, const uint8_t *record, uint32_t length) {
    const uint8_t *end = record + length;
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record, length, 1, 1);
    for (int pass = 0; pass < 2; pass++) {
        const int32_t group = pass == 0 ? EV_GROUP_BEFORE : EV_GROUP_AFTER;
        if (!wanted(q, static_cast<uint32_t>(group))) continue;
        evCFCursorInit(&cursor, &evStreamStringPool, record, length, 1, 1);
        for (;;) {
            evCFItem item{};
            int32_t cc = 0;
            int32_t rc = 0;
            evCFNextParm(&cursor, &item, &cc, &rc);
            if (cc == MQCC_FAILED) break;
            if (item.groupId != EV_GROUP_AFTER || item.type == MQCFT_GROUP ||
                item.type == PCF_TYPE_GROUP_END || item.parmId == kAlterationDate)
                continue;
            if (pass == 0) {
                const uint8_t *at = evCFFindParm(record, length, item.parmId, EV_GROUP_BEFORE);
                if (at == nullptr) continue;
                evCFItem before{};
                if (evCFDecodeParm(&evStreamStringPool, at, end, &before, &cc, &rc) == 0) continue;
                before.groupId = EV_GROUP_BEFORE;
                (void)addItem(b, before);
            } else {
                (void)addItem(b, item);
            }
        }
        closeGroups(b);
    }
}

bool isConfigChange(const uint8_t *record) {
    return evCFGetCommand(record) == MQCMD_CONFIG_EVENT && evCFGetReason(record) == MQRC_CONFIG_CHANGE_OBJECT;
}

// The top-level items of a configuration change that are not its groups.
void addLeadingItems(const EventsQuery *q, PcfCursor *b, const uint8_t *record, uint32_t length) {
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record, length, 1, 1);
    for (;;) {
        evCFItem item{};
        int32_t cc = 0;
        int32_t rc = 0;
        evCFNextParm(&cursor, &item, &cc, &rc);
        if (cc == MQCC_FAILED) break;
        if (item.groupId != 0 || item.type == MQCFT_GROUP || item.type == PCF_TYPE_GROUP_END) continue;
        if (!wanted(q, static_cast<uint32_t>(item.parmId)) || item.parmId == kAlterationDate) continue;
        (void)addItem(b, item);
    }
}

int evBuildEventResponse(QmgrContext *context, const EventsQuery *q, const EvSearchSlot &slot) {
    const uint8_t *entry = slot.entry;
    const uint32_t length = mqiGetU16(entry, ENTRY_DATA_LENGTH);
    const uint8_t *record = entry + ENTRY_PREFIX;
    if (length < EVCF_HEADER_LENGTH) return 1;
    PcfCursor *builder = nullptr;
    if (!evStartPcfResponse(context, &builder)) return 0;
    addHeader(q, builder, slot, record, length);
    if (isConfigChange(record)) {
        addLeadingItems(q, builder, record, length);
        evAddEventGroup(q, builder, record, length);
    } else {
        evFilterResponseAttrs(q, builder, record, length);
    }
    if (q->more) {
        mqiPutI32(builder->buffer, offsetof(MQCFH, CompCode), MQCC_WARNING);
        mqiPutI32(builder->buffer, offsetof(MQCFH, Reason), HLVRCCF_DATA_INCOMPLETE);
    }
    evFinishPcfResponse(context);
    return 1;
}

// Step 6: the event streams of the matching queue managers. The match list is the caller's to free.
uint32_t matchStreams(EventsQuery *q, EvSearchMatch **out) {
    const EvSelection &s = q->selection;
    const bool implicit = q->stream == nullptr || (q->streamLength == 1 && q->stream[0] == '*');
    uint32_t count = 0;
    for (int pass = 0; pass < 2; pass++) {
        uint32_t at = 0;
        for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
            auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
            if (!evWildMatch(qmgr->name, qmgr->nameLength, s.evQmgr, static_cast<size_t>(s.evQmgrLength)))
                continue;
            for (Stream *stream = qmgr->streams; stream != nullptr; stream = stream->next) {
                const StreamDef *def = stream->definition;
                if (def == nullptr || def->type != STREAM_TYPE_EVENTS) continue;
                if (implicit ? def->disImplct != 1
                             : !evWildMatch(def->name, def->nameLength, q->stream,
                                            static_cast<size_t>(q->streamLength)))
                    continue;
                if (pass == 1) (*out)[at] = EvSearchMatch{qmgr, stream, s.from, s.to};
                at++;
            }
        }
        count = at;
        if (pass == 0) {
            if (count == 0) return 0;
            *out = static_cast<EvSearchMatch *>(CSGetMem(count * sizeof(EvSearchMatch)));
            if (*out == nullptr) return UINT32_MAX;
        }
    }
    return count;
}

// Step 7 with EVENTID: the blob whose id range holds it, then its entry.
int findEventId(EventsQuery *q, EvSearchQuery *search) {
    const EvSearchMatch &match = search->matches[0];
    Stream *stream = match.stream;
    const auto id = static_cast<uint32_t>(q->eventId);
    auto scan = [&](const uint8_t *bh, uint32_t extent) -> int {
        if (extent < BLOB_HEADER_LENGTH) return 0;
        const uint32_t low = mqiGetU32(bh, BH_LOW_EVENT_ID);
        const uint32_t high = mqiGetU32(bh, BH_HIGH_EVENT_ID);
        if (low == 0 || id < low || id > high) return 0;
        BlobWalk walk;
        evBlobWalkInit(&walk, bh, extent, 1);
        BlobEntry entry;
        while (evBlobWalkNext(&walk, &entry) > 0) {
            if (entry.dataLength < EVCF_HEADER_LENGTH || evCFGetEventId(entry.data) != id) continue;
            search->qmgr = match.qmgr;
            search->stream = stream;
            return evSearchAddResult(search, bh + entry.offset, evCFGetEventTime(entry.data)) ? 1 : -1;
        }
        return 0;
    };
    if (stream->header == nullptr) return 1;
    int found = scan(evStreamCurrentBlob(stream), stream->header->used - SH_BLOB);
    for (StreamBlob *blob = stream->blobs; found == 0 && blob != nullptr; blob = blob->next)
        found = scan(evStreamBlobHeader(blob), blob->area->used);
    return found >= 0;
}

// Steps 6 to 8 under the structure lock.
int search(EventsQuery *q) {
    QmgrContext *context = q->context;
    EvSearchMatch *matches = nullptr;
    const uint32_t count = matchStreams(q, &matches);
    if (count == UINT32_MAX) return evPcfResponse(context, kCommand, MQRC_STORAGE_NOT_AVAILABLE, 0, nullptr);
    if (count == 0) {
        char name[CMD_TIME_TEXT_MAX + 40] = "";
        if (q->stream != nullptr) std::snprintf(name, sizeof name, "%.*s", q->streamLength, q->stream);
        return evNoStreamsReply(context, kCommand, q->stream != nullptr ? name : nullptr);
    }
    EvSearchQuery search{};
    search.command = kCommand;
    search.matchCount = count;
    search.matches = matches;
    search.start = q->selection.from;
    search.end = q->selection.to;
    search.displayCommands = q->showCommands;
    search.objectType = static_cast<uint16_t>(q->objectType);
    search.typeFilter[0] = static_cast<uint32_t>(q->reason);
    search.typeFilter[1] = static_cast<uint32_t>(q->type);
    search.objectPattern = q->objectName;
    search.objectPatternLength = static_cast<uint32_t>(q->objectName ? q->objectNameLength : 0);
    search.userPattern = q->user;
    search.userPatternLength = static_cast<uint32_t>(q->user ? q->userLength : 0);
    search.where = q->where;
    search.convert = cmdConvertShown;
    search.patternCcsid = cmdTextCcsid(cmdRequest(context));
    search.maxResults = static_cast<uint32_t>(q->selection.maxRecs);
    search.firstCapacity = EV_SEARCH_MIN_CAPACITY;
    search.context = context;
    if (q->where != nullptr) q->where->caller.record = &search;
    int ok = 1;
    if (q->eventIdGiven) {
        search.maxResults = 1;
        ok = evSearchGrowResults(&search) && findEventId(q, &search);
    } else {
        ok = evSearchStreams(context, &search, -1);
    }
    if (q->where != nullptr) q->where->caller.record = nullptr;
    int result = 1;
    if (ok && search.index != nullptr) {
        // Newest first, so that MAXRESP keeps the newest events.
        const EvSearchIndex *index = search.index;
        // An answer cut by MAXRECS (the search stopped at its limit) or by MAXRESP says so in every
        // response (10001), as the statistics displays do.
        q->more = search.full != 0 || index->count > static_cast<uint32_t>(q->selection.maxResp);
        for (int32_t at = index->tail; at >= 0 && !q->stopped; at = index->slots[at].earlier) {
            if (q->shown >= static_cast<uint32_t>(q->selection.maxResp)) break;
            if (!evBuildEventResponse(context, q, index->slots[at])) q->stopped = true;
            q->shown++;
        }
        if (q->shown == 0)
            result =
                evPcfResponse(context, kCommand, MQRC_UNKNOWN_OBJECT_NAME, 0, "No matching events found.");
    }
    evSearchFreeResults(&search);
    CSFreeMem(matches);
    return result;
}

}  // namespace

int evDisplayEvents(QmgrContext *context, uint8_t *command, int32_t length) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr) return 0;
    if (command == nullptr || length < static_cast<int32_t>(MQCFH_STRUC_LENGTH))
        return evPcfResponse(context, kCommand, MQRC_STORAGE_NOT_AVAILABLE, 0, nullptr);
    EventsQuery q{};
    q.context = context;
    q.disType = kSummary;
    evSelectionInit(&q.selection, kCommand);
    if (!readParameters(&q, command, length)) return 1;
    if (evSettings.displayCommands.load() == kShowCommands) q.showCommands = 1;
    chooseLists(&q);
    EvSelection &s = q.selection;
    if (q.eventIdGiven) {
        if (!checkEventId(&q)) return 1;
    } else if (!evParseFromTo(context, &s)) {
        return 1;
    }
    if (s.maxResp == CMD_NOT_GIVEN) s.maxResp = kDefaultMaxResp;
    if (s.maxRecs == CMD_NOT_GIVEN) s.maxRecs = evSettings.defaultMaxRecords.load();
    if (s.maxRecs <= 0) s.maxRecs = static_cast<int32_t>(EV_SEARCH_MAX_RESULTS);
    if (s.evQmgr == nullptr) {
        s.evQmgr = "*";
        s.evQmgrLength = 1;
    }
    if (s.where != nullptr) {
        ExpCallerBlock caller{};
        char *error = nullptr;
        q.where = expParseExpression(s.where, s.whereLength, 0, EXP_PARSE_CASE | EXP_PARSE_OWN_SYSTEM,
                                     expFilterOperatorTable, evWhereEventVar, nullptr, &caller, &error);
        if (q.where == nullptr) {
            const int result = evPcfResponse(context, kCommand, kParmValueError, 39300, error ? error : "");
            if (error != nullptr) CSFreeMem(error);
            return result;
        }
    }
    int result = 1;
    if (cmdTakeArea(&request->pcfResponse, CMD_AREA_SIZE, "PCFRESPONSE")) {
        CSRecursiveGuard guard(gStructureLock);
        result = search(&q);
    }
    if (q.where != nullptr) expFreeExpression(q.where);
    return result;
}
