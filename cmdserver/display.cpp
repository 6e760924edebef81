// The DISPLAY commands on the system's own objects, as one family: every member reads the same
// parameters (its attribute list, WHERE, its object name) and its own filters, walks its collection
// under the structure lock and answers one response per object shown, its attributes in a fixed
// order; nothing shown is reason 2085. A member is a table of attributes and a walk.
#include <cstdio>
#include <cstring>

#include "cmdserver/internal.h"

std::atomic<int32_t> cmdRetentionInMinutes{0};

namespace {

constexpr int32_t kWhereId = 39300;
constexpr int32_t kWhereMax = 1024;
constexpr int32_t kAll = 1009;
constexpr int64_t kTimeUnset = INT64_MIN;    // 0x8000000000000000
constexpr int64_t kTimeAny = INT64_MIN + 2;  // 0x8000000000000002, sent as -3
constexpr int32_t kParmValueError = MQRCCF_PARM_VALUE_ERROR;

// ---- Values of attributes ----

enum class Form : uint8_t { String, Int, Time };

struct Value {
    const char *text;
    int32_t length;
    int64_t number;
};

using Reader = bool (*)(const CmdObject &object, Value *value);

struct Attr {
    uint32_t id;
    Form form;
    Reader read;
};

template <typename T>
const T *recordOf(const CmdObject &o) {
    return static_cast<const T *>(o.record);
}
bool text(Value *v, const char *field) {
    v->text = field;
    v->length = static_cast<int32_t>(std::strlen(field));
    return true;
}
bool number(Value *v, int64_t n) {
    v->number = n;
    return true;
}

// Readers by field: a NUL-terminated text, a 32-bit number, a counter's current value, a time.
template <typename T, size_t Offset>
bool textAt(const CmdObject &o, Value *v) {
    return text(v, reinterpret_cast<const char *>(o.record) + Offset);
}
template <typename T, size_t Offset>
bool int32At(const CmdObject &o, Value *v) {
    int32_t n = 0;
    std::memcpy(&n, reinterpret_cast<const char *>(o.record) + Offset, sizeof n);
    return number(v, n);
}
template <typename T, size_t Offset>
bool int64At(const CmdObject &o, Value *v) {
    int64_t n = 0;
    std::memcpy(&n, reinterpret_cast<const char *>(o.record) + Offset, sizeof n);
    return number(v, n);
}
template <typename T, size_t Offset, int Index>
bool counterAt(const CmdObject &o, Value *v) {
    const auto *counters =
        reinterpret_cast<const EvCounter *>(reinterpret_cast<const char *>(o.record) + Offset);
    return number(v, counters[Index].current);
}

// ---- The members' attributes, in response order ----

#define Q_TEXT(field) textAt<EventQueueDef, offsetof(EventQueueDef, field)>
#define Q_INT(field) int32At<EventQueueDef, offsetof(EventQueueDef, field)>
#define Q_COUNT(index) counterAt<EventQueueDef, offsetof(EventQueueDef, counters), index>
constexpr Attr kQueueAttrs[] = {
    {39333, Form::String,
     [](const CmdObject &o, Value *v) {
         const auto *q = recordOf<EventQueueDef>(o);
         v->text = q->name;
         v->length = q->nameLength;
         return true;
     }},
    {39368, Form::String, Q_TEXT(descr)},
    {39369, Form::String, Q_TEXT(forwardQueue)},
    {39393, Form::Int, Q_INT(forwardPersistence)},
    {39408, Form::Int, Q_INT(tempQ)},
    {39341, Form::Int, Q_COUNT(EV_EQC_MSGS)},
    {39308, Form::Int, Q_COUNT(EV_EQC_EVENTS)},
    {39403, Form::Int, Q_COUNT(EV_EQC_STATQ)},
    {39404, Form::Int, Q_COUNT(EV_EQC_STATCHL)},
    {39405, Form::Int, Q_COUNT(EV_EQC_STATMQI)},
    {39406, Form::Int, Q_COUNT(EV_EQC_ACCTQ)},
    {39407, Form::Int, Q_COUNT(EV_EQC_ACCTMQI)},
    {39370, Form::Int, Q_COUNT(EV_EQC_DLQ)},
    {39371, Form::Int, Q_COUNT(EV_EQC_ERRORS)},
    {39384, Form::Int, Q_COUNT(EV_EQC_BORQ)},
    {39372, Form::Int, Q_INT(suspended)},
    {39311, Form::Int, Q_INT(status)},
    {39331, Form::Time, int64At<EventQueueDef, offsetof(EventQueueDef, lastMessageTime)>},
};
#undef Q_TEXT
#undef Q_INT
#undef Q_COUNT

#define M_COUNT(index) counterAt<QmgrEntry, offsetof(QmgrEntry, counters), index>
constexpr Attr kQmgrAttrs[] = {
    {39340, Form::String,
     [](const CmdObject &o, Value *v) {
         const auto *q = recordOf<QmgrEntry>(o);
         v->text = q->name;
         v->length = q->nameLength;
         return true;
     }},
    {39308, Form::Int, M_COUNT(EV_QMC_EVENTS)},
    {39403, Form::Int, M_COUNT(EV_QMC_STATQ)},
    {39404, Form::Int, M_COUNT(EV_QMC_STATCHL)},
    {39405, Form::Int, M_COUNT(EV_QMC_STATMQI)},
    {39406, Form::Int, M_COUNT(EV_QMC_ACCTQ)},
    {39407, Form::Int, M_COUNT(EV_QMC_ACCTMQI)},
    {39344, Form::Int, M_COUNT(EV_QMC_AUTHOR)},
    {39345, Form::Int, M_COUNT(EV_QMC_CHL)},
    {39346, Form::Int, M_COUNT(EV_QMC_CMD)},
    {39347, Form::Int, M_COUNT(EV_QMC_CONFIG)},
    {39357, Form::Int, M_COUNT(EV_QMC_IMSBR)},
    {39348, Form::Int, M_COUNT(EV_QMC_INHIBIT)},
    {39349, Form::Int, M_COUNT(EV_QMC_LOCAL)},
    {39350, Form::Int, M_COUNT(EV_QMC_LOGGER)},
    {39351, Form::Int, M_COUNT(EV_QMC_PERFM)},
    {39352, Form::Int, M_COUNT(EV_QMC_REMOTE)},
    {39353, Form::Int, M_COUNT(EV_QMC_SSL)},
    {39354, Form::Int, M_COUNT(EV_QMC_STRSTP)},
    {39309, Form::Int, int32At<QmgrEntry, offsetof(QmgrEntry, alertCount)>},
};
#undef M_COUNT

#define S_INT(field) int32At<StreamDef, offsetof(StreamDef, field)>
constexpr Attr kStreamAttrs[] = {
    {39301, Form::String,
     [](const CmdObject &o, Value *v) {
         const auto *s = recordOf<StreamDef>(o);
         v->text = s->name;
         v->length = s->nameLength;
         return true;
     }},
    {39378, Form::String, textAt<StreamDef, offsetof(StreamDef, descr)>},
    {39355, Form::Int, S_INT(type)},
    {39379, Form::Int,
     [](const CmdObject &o, Value *v) {
         const uint32_t unit = cmdRetentionInMinutes.load() != 0 ? 60 : 86400;
         return number(v, recordOf<StreamDef>(o)->retIntvl / unit);
     }},
    {39434, Form::Int, S_INT(aggrInt)},
    {39436, Form::Int, S_INT(disImplct)},
    {39380, Form::Int, S_INT(isDefault)},
    {39416, Form::String, textAt<StreamDef, offsetof(StreamDef, evEmit)>},
};
#undef S_INT

#define E_TEXT(field) textAt<EmitterDef, offsetof(EmitterDef, field)>
#define E_INT(field) int32At<EmitterDef, offsetof(EmitterDef, field)>
constexpr Attr kEmitterAttrs[] = {
    {39416, Form::String,
     [](const CmdObject &o, Value *v) {
         const auto *e = recordOf<EmitterDef>(o);
         v->text = e->name;
         v->length = static_cast<int32_t>(e->nameLength);
         return true;
     }},
    {39417, Form::String, E_TEXT(descr)},
    {39418, Form::String, E_TEXT(queue)},
    {39419, Form::String, E_TEXT(file)},
    {39420, Form::Int, E_INT(format)},
    {39421, Form::Int, E_INT(reader)},
    {39422, Form::Int, E_INT(msgPersistence)},
    {39423, Form::Int,
     [](const CmdObject &o, Value *v) {
         return number(v, (uint64_t{recordOf<EmitterDef>(o)->maxSize} + 1023) / 1024);
     }},
    {39429, Form::Int, E_INT(grouping)},
    {39396, Form::Int, E_INT(zeroValues)},
    {39428, Form::Int, E_INT(put)},
    {39425, Form::Int, E_INT(onError)},
    {39426, Form::Int, E_INT(msgCount)},
    {39371, Form::Int, E_INT(errorCount)},
    {39438, Form::Time, int64At<EmitterDef, offsetof(EmitterDef, failTime)>},
};
#undef E_TEXT
#undef E_INT

// DISPLAY EV: the settings and the counters summed over the queues and queue managers.
uint32_t sumQueues(int index) {
    uint32_t total = 0;
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next)
        total += reinterpret_cast<const EventQueueDef *>(node)->counters[index].current;
    return total;
}
uint32_t sumQmgrs(int index) {
    uint32_t total = 0;
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next)
        total += reinterpret_cast<const QmgrEntry *>(node)->counters[index].current;
    return total;
}
template <int Index>
bool qmgrTotal(const CmdObject &, Value *v) {
    return number(v, sumQmgrs(Index));
}
// The statistics intake counts every message it takes, those it dead-letters for want of a queue
// manager name too, so EV's counts are its own rather than the queue managers' sum.
template <int Index>
bool statsTotal(const CmdObject &, Value *v) {
    return number(v, evStatsCounters[Index - EV_QMC_STATQ].current);
}
// The settings other threads change in place, as the walk copied them: the log's, so that names and
// limits shown belong together, and DEADQ.
struct EvCopy {
    LogSettings log;
    char deadQueue[EV_QUEUE_NAME_MAX + 1];
};
const LogSettings *logOf(const CmdObject &o) {
    return &recordOf<EvCopy>(o)->log;
}

constexpr Attr kEvAttrs[] = {
    {39305, Form::String, [](const CmdObject &o, Value *v) { return text(v, logOf(o)->name); }},
    {39306, Form::String, [](const CmdObject &o, Value *v) { return text(v, logOf(o)->descr); }},
    {39334, Form::Time, [](const CmdObject &, Value *v) { return number(v, evSettings.startTime.load()); }},
    {39335, Form::Time, [](const CmdObject &, Value *v) { return number(v, evSettings.connectTime.load()); }},
    {39341, Form::Int, [](const CmdObject &, Value *v) { return number(v, sumQueues(EV_EQC_MSGS)); }},
    {39343, Form::Int, [](const CmdObject &, Value *v) { return number(v, evActivity.commands.load()); }},
    // Unlike the other counters here, EVENTS is the committed copy: events stored, not those of
    // set E's open unit, which may yet be backed out.
    {39342, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evActivity.eventsCommitted.load()); }},
    {39356, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evSettings.alertRetention.load() / 86400); }},
    {39443, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evSettings.accountingSelf.load()); }},
    {39433, Form::Int, [](const CmdObject &, Value *v) { return number(v, evSettings.authDuration.load()); }},
    {39415, Form::String, [](const CmdObject &, Value *v) { return text(v, evBuildDateText); }},
    {39304, Form::Int, [](const CmdObject &, Value *v) { return number(v, 941); }},
    {39359, Form::String,
     [](const CmdObject &o, Value *v) { return text(v, recordOf<EvCopy>(o)->deadQueue); }},
    {39437, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evSettings.defaultBackoutThreshold.load()); }},
    {39413, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evSettings.defaultMaxRecords.load()); }},
    {39358, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evSettings.displayCommands.load()); }},
    {39310, Form::String, [](const CmdObject &o, Value *v) { return text(v, logOf(o)->logPath); }},
    {39364, Form::Int,
     [](const CmdObject &o, Value *v) { return number(v, logOf(o)->logRetention / 86400); }},
    {39362, Form::Int, [](const CmdObject &o, Value *v) { return number(v, logOf(o)->maxLogAge / 60); }},
    {39363, Form::Int,
     [](const CmdObject &o, Value *v) { return number(v, (logOf(o)->maxLogSize + 1023) / 1024); }},
    {39365, Form::Time, [](const CmdObject &, Value *v) { return number(v, evSettings.resetTime.load()); }},
    {39389, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evSettings.stormThreshold.load()); }},
    {39390, Form::Int,
     [](const CmdObject &, Value *v) { return number(v, evSettings.stormInterval.load()); }},
    {39360, Form::Int, [](const CmdObject &, Value *v) { return number(v, evSettings.useDlq.load()); }},
    {39388, Form::Int, [](const CmdObject &, Value *v) { return number(v, evSettings.versionCheck.load()); }},
    {39309, Form::Int, [](const CmdObject &, Value *v) { return number(v, evAlertCount.load()); }},
    {39308, Form::Int, qmgrTotal<EV_QMC_EVENTS>},
    {39403, Form::Int, statsTotal<EV_QMC_STATQ>},
    {39404, Form::Int, statsTotal<EV_QMC_STATCHL>},
    {39405, Form::Int, statsTotal<EV_QMC_STATMQI>},
    {39406, Form::Int, statsTotal<EV_QMC_ACCTQ>},
    {39407, Form::Int, statsTotal<EV_QMC_ACCTMQI>},
};

// DISPLAY EVALERT: the optional attributes are left out when empty.
const AlertDef *alertOf(const CmdObject &o) {
    return recordOf<AlertDef>(o);
}
constexpr Attr kAlertAttrs[] = {
    {39373, Form::Int, [](const CmdObject &o, Value *v) { return number(v, alertOf(o)->id); }},
    {39376, Form::String,
     [](const CmdObject &o, Value *v) { return alertOf(o)->qmgr[0] != '\0' && text(v, alertOf(o)->qmgr); }},
    {39316, Form::String,
     [](const CmdObject &o, Value *v) {
         return alertOf(o)->objectName[0] != '\0' && text(v, alertOf(o)->objectName);
     }},
    {39317, Form::Int,
     [](const CmdObject &o, Value *v) {
         return alertOf(o)->objectType != 0 && number(v, alertOf(o)->objectType);
     }},
    {39374, Form::String, [](const CmdObject &o, Value *v) { return text(v, alertOf(o)->text); }},
    {39375, Form::Int, [](const CmdObject &o, Value *v) { return number(v, alertOf(o)->severity); }},
    {39320, Form::String, [](const CmdObject &o, Value *v) { return text(v, alertOf(o)->category); }},
    {39377, Form::Time, [](const CmdObject &o, Value *v) { return number(v, alertOf(o)->time); }},
    {39324, Form::Time,
     [](const CmdObject &o, Value *v) {
         const AlertDef *a = alertOf(o);
         if (a->time == 0 || a->time == kTimeUnset || a->time == kTimeAny) return number(v, a->time);
         return number(v, a->time + a->retention);
     }},
    {39379, Form::Int, [](const CmdObject &o, Value *v) { return number(v, alertOf(o)->retention); }},
    {39330, Form::Int,
     [](const CmdObject &o, Value *v) { return alertOf(o)->eventId != 0 && number(v, alertOf(o)->eventId); }},
    {39301, Form::String,
     [](const CmdObject &o, Value *v) {
         const StreamDef *def =
             alertOf(o)->streamId != 0 ? evStreamDefFindById(alertOf(o)->streamId) : nullptr;
         if (def == nullptr) return false;
         v->text = def->name;
         v->length = def->nameLength;
         return true;
     }},
};

// DISPLAY EVSTRMST: a queue manager's runtime stream with its definition.
constexpr Attr kStatusAttrs[] = {
    {39301, Form::String,
     [](const CmdObject &o, Value *v) {
         v->text = o.definition->name;
         v->length = o.definition->nameLength;
         return true;
     }},
    {39340, Form::String,
     [](const CmdObject &o, Value *v) {
         v->text = o.qmgr->name;
         v->length = o.qmgr->nameLength;
         return true;
     }},
    {39355, Form::Int, [](const CmdObject &o, Value *v) { return number(v, o.definition->type); }},
    {39382, Form::Int, [](const CmdObject &o, Value *v) { return number(v, o.stream->blobCount); }},
    {39435, Form::Int, [](const CmdObject &o, Value *v) { return number(v, o.stream->aggrMsgs); }},
    {39402, Form::Int,
     [](const CmdObject &o, Value *v) { return number(v, static_cast<uint32_t>(o.stream->recordCount)); }},
    {39331, Form::Time, [](const CmdObject &o, Value *v) { return number(v, o.stream->lastMessage); }},
    {39329, Form::Int,
     [](const CmdObject &o, Value *v) {
         return number(v, static_cast<int64_t>((o.stream->bytes + 1023) / 1024));
     }},
    {39383, Form::Int,
     [](const CmdObject &o, Value *v) {
         const int64_t now = evClockNow();
         return number(
             v, static_cast<int64_t>(static_cast<uint64_t>(now - cmdStreamOldest(o.stream, now)) / 86400));
     }},
};

// ---- The family ----

struct Display;
struct Member {
    uint32_t code;
    uint32_t listId;
    uint32_t nameId;  // the object name parameter; 0: none
    int32_t nameMax;
    bool systemNames;          // '$' names the system streams
    const uint32_t *defaults;  // 0-terminated, or null for none
    const uint32_t *always;    // 0-terminated
    const Attr *attrs;
    size_t attrCount;
    bool where;               // takes WHERE
    const char *noMatchText;  // with reason 2085, or null
    bool locked;              // walks under the structure lock
    // The member's own parameters: 1 taken, 0 refused (answered), -1 not one of them.
    int (*parameter)(Display *d, const PcfCursor *cursor);
    void (*walk)(Display *d);
};

struct Pattern {
    const char *text;  // null: none
    int32_t length;
};

struct Display {
    QmgrContext *context;
    const Member *member;
    int32_t command;
    const uint8_t *requested;  // the supplied list's values inside the message, or null
    int32_t requestedCount;
    bool all;
    const char *name;
    int32_t nameLength;
    const char *where;
    int32_t whereLength;
    ExpExpression *expression;
    int32_t type;  // TYPE filter; 0: any
    // Alert filters.
    uint32_t alertId;  // 0: any
    int32_t minSeverity;
    int32_t objectType;  // 0: any
    Pattern category;
    Pattern qmgr;  // also the queue managers of stream status
    Pattern objectName;
    Pattern text;
    uint32_t shown;
    bool stopped;  // no response area: nothing more is answered
};

bool inList(const uint32_t *list, uint32_t id) {
    for (; list != nullptr && *list != 0; list++)
        if (*list == id) return true;
    return false;
}

bool wanted(const Display *d, uint32_t id) {
    if (d->all || inList(d->member->always, id)) return true;
    if (d->requested == nullptr) return inList(d->member->defaults, id);
    for (int32_t i = 0; i < d->requestedCount; i++)
        if (mqiGetU32(d->requested, static_cast<size_t>(i) * 4) == id) return true;
    return false;
}

// The WHERE test of one object: true when the expression holds.
bool whereHolds(Display *d, const CmdObject &object) {
    if (d->expression == nullptr) return true;
    d->expression->caller.record = &object;
    ExpValue result{};
    bool holds = false;
    if (expEvaluateCondition(d->expression, &result)) {
        switch (result.type) {
            case EXP_INT:
            case EXP_DBL:
            case EXP_STR:
            case EXP_PSTR:
            case EXP_EPSTR:
            case EXP_LIST:
                holds = expValueAsInt32(&result) != 0;
                break;
            default:
                break;
        }
    }
    expReleaseValue(&result);
    d->expression->caller.record = nullptr;
    return holds;
}

// One response: every wanted attribute in the member's order; one that no longer fits is left out.
void respond(Display *d, const CmdObject &object) {
    PcfCursor *builder = nullptr;
    if (!evStartPcfResponse(d->context, &builder)) {
        d->stopped = true;
        return;
    }
    for (size_t i = 0; i < d->member->attrCount; i++) {
        const Attr &attr = d->member->attrs[i];
        if (!wanted(d, attr.id)) continue;
        Value v{};
        if (!attr.read(object, &v)) continue;
        int32_t cc = 0;
        int32_t rc = 0;
        const auto id = static_cast<int32_t>(attr.id);
        switch (attr.form) {
            case Form::String:
                MQPCFSetStringParm(builder, MQCFT_STRING, id, v.text, v.length, 0, 0, &cc, &rc);
                break;
            case Form::Int: {
                const auto n = static_cast<int32_t>(v.number);
                MQPCFSetParm(builder, MQCFT_INTEGER, id, &n, 4, 0, &cc, &rc);
                break;
            }
            case Form::Time: {
                if (v.number == 0 || v.number == kTimeUnset) break;
                const int64_t n = v.number == kTimeAny ? -3 : v.number;
                MQPCFSetParm(builder, MQCFT_INTEGER64, id, &n, 8, 0, &cc, &rc);
                break;
            }
        }
    }
    evFinishPcfResponse(d->context);
    d->shown++;
}

// Offers an object that passed the member's own filters.
void offer(Display *d, const CmdObject &object) {
    if (d->stopped || !whereHolds(d, object)) return;
    respond(d, object);
}

bool nameMatches(const Display *d, const char *name, size_t length) {
    return d->name == nullptr || evWildMatch(name, length, d->name, static_cast<size_t>(d->nameLength));
}

// ---- Parameters ----

int nameParameter(Display *d, const PcfCursor *cursor) {
    const char *text = nullptr;
    int32_t length = 0;
    if (!evParmGetString(d->context, cursor, 0, d->member->nameMax, &text, &length)) return 0;
    if (length == 0)
        return evParameterNameError(d->context, cursor, kParmValueError,
                                    "Parameter '%s' must contain a value."),
               0;
    const uint32_t flags = CMD_NAME_WILDCARDS | (d->member->systemNames ? CMD_NAME_SYSTEM_STREAMS : 0);
    if (!evCheckName(text, length, flags)) {
        evParameterNameError(d->context, cursor, kParmValueError,
                             d->member->systemNames && text[0] == '$'
                                 ? "Parameter '%s' contains an invalid system stream name."
                                 : "Parameter '%s' contains characters which are not valid in an MQ name.");
        return 0;
    }
    d->name = text;
    d->nameLength = length;
    return 1;
}

int typeParameter(Display *d, const PcfCursor *cursor) {
    if (cursor->type != MQCFT_INTEGER)
        return evParameterNameError(d->context, cursor, kParmValueError,
                                    "Parameter '%s' should be an integer."),
               0;
    const int32_t value = mqiGetI32(cursor->value, 0);
    if (evValueNameByValue(evStreamTypeNames, value) == nullptr)
        return evParameterNameError(d->context, cursor, kParmValueError,
                                    "Parameter '%s' is not a recognised value."),
               0;
    d->type = value;
    return 1;
}

int streamParameter(Display *d, const PcfCursor *cursor) {
    return cursor->parmId == 39355 ? typeParameter(d, cursor) : -1;
}

// A name pattern of a filter: not empty, an MQ name with wildcards.
int patternParameter(Display *d, const PcfCursor *cursor, int32_t maximum, Pattern *out) {
    const char *text = nullptr;
    int32_t length = 0;
    if (!evParmGetString(d->context, cursor, 0, maximum, &text, &length)) return 0;
    if (length == 0)
        return evParameterNameError(d->context, cursor, kParmValueError,
                                    "Parameter '%s' must contain a value."),
               0;
    if (!evCheckName(text, length, CMD_NAME_WILDCARDS))
        return evParameterNameError(d->context, cursor, kParmValueError,
                                    "Parameter '%s' contains characters which are not valid in an MQ name."),
               0;
    *out = Pattern{text, length};
    return 1;
}

int valueParameter(Display *d, const PcfCursor *cursor, const evValueName *names, int32_t *out) {
    if (cursor->type != MQCFT_INTEGER)
        return evParameterNameError(d->context, cursor, kParmValueError,
                                    "Parameter '%s' should be an integer."),
               0;
    const int32_t value = mqiGetI32(cursor->value, 0);
    if (evValueNameByValue(names, value) == nullptr)
        return evParameterNameError(d->context, cursor, kParmValueError,
                                    "Parameter '%s' is not a recognised value."),
               0;
    *out = value;
    return 1;
}

int alertParameter(Display *d, const PcfCursor *cursor) {
    switch (cursor->parmId) {
        case 39373: {
            int32_t id = 0;
            if (!evParmGetInt(d->context, cursor, 1, 999999999, &id)) return 0;
            d->alertId = static_cast<uint32_t>(id);
            return 1;
        }
        case 39374: {
            const char *text = nullptr;
            int32_t length = 0;
            if (!evParmGetString(d->context, cursor, 0, static_cast<int32_t>(EV_ALERT_TEXT_MAX), &text,
                                 &length))
                return 0;
            d->text = Pattern{text, length};
            return 1;
        }
        case 39376:
            return patternParameter(d, cursor, 48, &d->qmgr);
        case 39320:
            return patternParameter(d, cursor, static_cast<int32_t>(EV_ALERT_CATEGORY_MAX), &d->category);
        case 39316:
            return patternParameter(d, cursor, 48, &d->objectName);
        case 39317: {
            int32_t type = 0;
            if (!valueParameter(d, cursor, evObjectTypeNames, &type)) return 0;
            d->objectType = static_cast<uint16_t>(type);
            return 1;
        }
        case 39392:
            return valueParameter(d, cursor, evSeverityNames, &d->minSeverity);
        default:
            return -1;
    }
}

int statusParameter(Display *d, const PcfCursor *cursor) {
    if (cursor->parmId == 39340) return patternParameter(d, cursor, 48, &d->qmgr);
    if (cursor->parmId == 39355) return typeParameter(d, cursor);
    return -1;
}

// Reads every parameter: 1, or 0 after the one error response.
int readParameters(Display *d, uint8_t *command, int32_t length) {
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
            evParameterError(d->context, &cursor, id, type);
            return 0;
        }
        int taken = -1;
        if (static_cast<uint32_t>(id) == d->member->listId) {
            if (type != MQCFT_INTEGER_LIST) {
                evPcfResponse(d->context, d->command, kParmValueError, id, nullptr);
                return 0;
            }
            // Exactly Count entries: the parser has checked them against the structure.
            d->requested = static_cast<const uint8_t *>(value);
            d->requestedCount = count;
            taken = 1;
        } else if (id == kWhereId && d->member->where) {
            taken = evParmGetString(d->context, &cursor, 0, kWhereMax, &d->where, &d->whereLength);
        } else if (d->member->nameId != 0 && static_cast<uint32_t>(id) == d->member->nameId) {
            taken = nameParameter(d, &cursor);
        } else if (d->member->parameter != nullptr) {
            taken = d->member->parameter(d, &cursor);
        }
        if (taken < 0) {
            evParameterError(d->context, &cursor, id, type);
            return 0;
        }
        if (taken == 0) return 0;
    }
}

// ---- Walks ----

void walkQueues(Display *d) {
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr && !d->stopped; node = node->next) {
        const auto *queue = reinterpret_cast<const EventQueueDef *>(node);
        if (queue->ownCommandQueue || !nameMatches(d, queue->name, queue->nameLength)) continue;
        offer(d, CmdObject{queue, nullptr, nullptr, nullptr});
    }
}

void walkQmgrs(Display *d) {
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr && !d->stopped; node = node->next) {
        auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
        if (!nameMatches(d, qmgr->name, qmgr->nameLength)) continue;
        offer(d, CmdObject{qmgr, qmgr, nullptr, nullptr});
    }
}

void walkStreams(Display *d) {
    for (const StreamDef *def = evStreamDefList; def != nullptr && !d->stopped; def = def->next) {
        if (d->type != 0 && static_cast<int32_t>(def->type) != d->type) continue;
        if (!nameMatches(d, def->name, def->nameLength)) continue;
        offer(d, CmdObject{def, nullptr, nullptr, def});
    }
}

void walkEmitters(Display *d) {
    for (const EmitterDef *emitter = evEmitterList; emitter != nullptr && !d->stopped;
         emitter = emitter->next) {
        if (!nameMatches(d, emitter->name, emitter->nameLength)) continue;
        offer(d, CmdObject{emitter, nullptr, nullptr, nullptr});
    }
}

void walkEv(Display *d) {
    // Other threads change these settings: the log's copy is taken under the log lock, DEADQ's under
    // the consumer lock.
    EvCopy copy{};
    logGetSettings(&copy.log);
    evSettingsDeadQueue(copy.deadQueue);
    offer(d, CmdObject{&copy, nullptr, nullptr, nullptr});
}

bool patternMatches(const Pattern &pattern, const char *text) {
    return pattern.text == nullptr ||
           evWildMatch(text, std::strlen(text), pattern.text, static_cast<size_t>(pattern.length));
}

void walkAlerts(Display *d) {
    if (d->alertId == 0 && d->minSeverity == 0) d->minSeverity = EV_SEVERITY_WARN;
    for (const AlertDef *alert = evAlertList; alert != nullptr && !d->stopped; alert = alert->next) {
        if (d->alertId != 0 && alert->id != d->alertId) continue;
        if (alert->severity < d->minSeverity) continue;
        if (!patternMatches(d->category, alert->category) || !patternMatches(d->qmgr, alert->qmgr) ||
            !patternMatches(d->objectName, alert->objectName))
            continue;
        if (d->objectType != 0 && alert->objectType != d->objectType) continue;
        if (!patternMatches(d->text, alert->text)) continue;
        offer(d, CmdObject{alert, nullptr, nullptr, nullptr});
    }
}

void walkStatus(Display *d) {
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr && !d->stopped; node = node->next) {
        auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
        if (d->qmgr.text != nullptr &&
            !evWildMatch(qmgr->name, qmgr->nameLength, d->qmgr.text, static_cast<size_t>(d->qmgr.length)))
            continue;
        for (Stream *stream = qmgr->streams; stream != nullptr && !d->stopped; stream = stream->next) {
            const StreamDef *def =
                stream->definition ? stream->definition : evStreamDefFindById(stream->streamId);
            if (def == nullptr || stream->streamId == 0) continue;
            if (d->type != 0 && static_cast<int32_t>(def->type) != d->type) continue;
            if (!nameMatches(d, def->name, def->nameLength)) continue;
            offer(d, CmdObject{stream, qmgr, stream, def});
        }
    }
}

constexpr uint32_t kQueueDefaults[] = {39333, 39341, 39311, 0};
constexpr uint32_t kQueueAlways[] = {39333, 0};
constexpr uint32_t kQmgrDefaults[] = {39340, 39308, 39309, 0};
constexpr uint32_t kQmgrAlways[] = {39340, 0};
constexpr uint32_t kStreamDefaults[] = {39301, 39378, 39355, 39379, 0};
constexpr uint32_t kStreamAlways[] = {39301, 0};
constexpr uint32_t kEmitterDefaults[] = {39416, 39417, 39420, 39426, 39371, 0};
constexpr uint32_t kEmitterAlways[] = {39416, 0};

const Member kQueueMember{9003,         39103,       39333,
                          48,           false,       kQueueDefaults,
                          kQueueAlways, kQueueAttrs, std::size(kQueueAttrs),
                          true,         nullptr,     true,
                          nullptr,      walkQueues};
const Member kQmgrMember{
    9002, 39102,   39340, 48,      false,    kQmgrDefaults, kQmgrAlways, kQmgrAttrs, std::size(kQmgrAttrs),
    true, nullptr, true,  nullptr, walkQmgrs};
const Member kStreamMember{9001,
                           39101,
                           39301,
                           64,
                           true,
                           kStreamDefaults,
                           kStreamAlways,
                           kStreamAttrs,
                           std::size(kStreamAttrs),
                           true,
                           nullptr,
                           true,
                           streamParameter,
                           walkStreams};
const Member kEmitterMember{9030,
                            39112,
                            39416,
                            64,
                            true,
                            kEmitterDefaults,
                            kEmitterAlways,
                            kEmitterAttrs,
                            std::size(kEmitterAttrs),
                            true,
                            nullptr,
                            true,
                            nullptr,
                            walkEmitters};

constexpr uint32_t kEvDefaults[] = {39305, 39306, 39308, 39309, 39403, 39404, 39405, 39406, 39407, 0};
constexpr uint32_t kEvAlways[] = {39305, 0};
constexpr uint32_t kAlertAlways[] = {39340, 39373, 39374, 0};
constexpr uint32_t kStatusDefaults[] = {39301, 39340, 39402, 0};
constexpr uint32_t kStatusAlways[] = {39301, 39340, 0};

const Member kEvMember{
    9000,  39100,   0,     0,       false, kEvDefaults, kEvAlways, kEvAttrs, std::size(kEvAttrs),
    false, nullptr, false, nullptr, walkEv};
const Member kAlertMember{9013,
                          39105,
                          0,
                          0,
                          false,
                          nullptr,
                          kAlertAlways,
                          kAlertAttrs,
                          std::size(kAlertAttrs),
                          true,
                          "No matching alerts found",
                          true,
                          alertParameter,
                          walkAlerts};
const Member kStatusMember{9019,
                           39106,
                           39301,
                           48,
                           true,
                           kStatusDefaults,
                           kStatusAlways,
                           kStatusAttrs,
                           std::size(kStatusAttrs),
                           true,
                           nullptr,
                           true,
                           statusParameter,
                           walkStatus};

// Steps 1 to 9 of the family.
int display(const Member *member, QmgrContext *context, uint8_t *command, int32_t length) {
    CmdRequest *request = cmdRequest(context);
    Display d{};
    d.context = context;
    d.member = member;
    d.command = request->command != 0 ? request->command : static_cast<int32_t>(member->code);
    if (command == nullptr || length < static_cast<int32_t>(MQCFH_STRUC_LENGTH))
        return evPcfResponse(context, d.command, MQRC_STORAGE_NOT_AVAILABLE, 0, nullptr);
    if (!readParameters(&d, command, length)) return 1;
    if (d.requested != nullptr) {
        for (int32_t i = 0; i < d.requestedCount; i++)
            if (mqiGetI32(d.requested, static_cast<size_t>(i) * 4) == kAll) d.all = true;
    }
    if (d.where != nullptr) {
        ExpCallerBlock caller{};
        caller.context = const_cast<evParmDef *>(evCommandByCode(member->code)->parms);
        char *error = nullptr;
        d.expression = expParseExpression(d.where, d.whereLength, 0, EXP_PARSE_CASE | EXP_PARSE_OWN_SYSTEM,
                                          expFilterOperatorTable, evWhereObjectVar, nullptr, &caller, &error);
        if (d.expression == nullptr) {
            int result = evPcfResponse(context, d.command, kParmValueError, kWhereId, error ? error : "");
            if (error != nullptr) CSFreeMem(error);
            return result;
        }
    }
    if (!cmdTakeArea(&request->pcfResponse, CMD_AREA_SIZE, "PCFRESPONSE")) {
        if (d.expression != nullptr) expFreeExpression(d.expression);
        return 1;
    }
    if (member->locked) {
        CSRecursiveGuard guard(gStructureLock);
        member->walk(&d);
    } else {
        member->walk(&d);
    }
    if (d.expression != nullptr) expFreeExpression(d.expression);
    if (d.stopped) return 1;
    if (d.shown == 0)
        return evPcfResponse(context, d.command, MQRC_UNKNOWN_OBJECT_NAME, 0, member->noMatchText);
    return 1;
}

}  // namespace

bool cmdIsObjectDisplay(uint32_t code) {
    for (const Member *member : {&kQueueMember, &kQmgrMember, &kStreamMember, &kEmitterMember, &kEvMember,
                                 &kAlertMember, &kStatusMember})
        if (member->code == code) return true;
    return false;
}

int evDisplayEventQueue(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kQueueMember, context, command, length);
}
int evDisplayQmgr(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kQmgrMember, context, command, length);
}
int evDisplayStream(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kStreamMember, context, command, length);
}
int evDisplayEmitter(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kEmitterMember, context, command, length);
}
int evDisplayEV(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kEvMember, context, command, length);
}
int evDisplayAlert(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kAlertMember, context, command, length);
}
int evDisplayStreamStatus(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kStatusMember, context, command, length);
}
