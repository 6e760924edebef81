// The start-up script's hooks: the hook table, the engine's record and other hook calls, and the
// variables through which a hook reads its record or alert. Record hooks run with the engine's
// consumer lock released, so every read of the string pool or the stream definitions takes it again
// (after the script lock, the platform's order) and copies the texts out.
#include <strings.h>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cmdserver/cmdserver.h"
#include "console/console.h"
#include "engine/engine.h"
#include "script/internal.h"

namespace {

constexpr int kKinds = 7;  // indexed by record kind (stream type) or hook kind, 1 to 6

constexpr const char *kRecordHooks[kKinds] = {nullptr,       "ZUNTEvent", "ZUNTStatQ",  "ZUNTStatChl",
                                              "ZUNTStatMQI", "ZUNTAcctQ", "ZUNTAcctMQI"};
constexpr const char *kOtherHooks[kKinds] = {
    nullptr,      nullptr,          "ZUNTConnected", "ZUNTDisconnected", "ZUNTRetryConnect",
    "ZUNTEnding", "ZUNTAlertExpire"};
// The order of the lookup, and so of the message about the first one missing.
constexpr const char *kLookupOrder[] = {
    "ZUNTEvent",     "ZUNTStatQ",        "ZUNTStatChl",      "ZUNTStatMQI", "ZUNTAcctMQI",    "ZUNTAcctQ",
    "ZUNTConnected", "ZUNTDisconnected", "ZUNTRetryConnect", "ZUNTEnding",  "ZUNTAlertExpire"};

// The DISPLAY command whose keywords are a record kind's variable names, and the parameter that
// opens each object of the record (0: the record is one object).
constexpr uint32_t kKindCommand[kKinds] = {0, 0, 9023, 9024, 9025, 9026, 9027};
constexpr int32_t kGroupKey[kKinds] = {0, 0, 2016, 3501, 0, 2016, 0};

constexpr int32_t kGroupCmdCtx = 8001;
constexpr int32_t kGroupCmdData = 8002;

// Filled once by cslFindHooks; function nodes never move, so a redefinition is found in place.
cmdFUNCTION *recordHooks[kKinds];
cmdFUNCTION *otherHooks[kKinds];

// The state of the running record hook, guarded by the script lock.
struct HookState {
    int32_t objectIndex;   // _idxData
    uint32_t objectStart;  // offset of the current object's group key
    uint32_t objectEnd;    // offset of the next group key, or the record's length
    uint32_t leadingEnd;   // offset of the first group key
};
HookState state;

bool nameIs(const char *name, size_t length, const char *word) {
    return std::strlen(word) == length && strncasecmp(name, word, length) == 0;
}

int setText(ExpValue *out, const char *text, size_t length) {
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr) {
        expSetString(out, EXP_STR, const_cast<char *>(""), 0);
        return 1;
    }
    std::memcpy(copy, text, length);
    copy[length] = 0;
    expSetString(out, EXP_PSTR, copy, length);
    return 1;
}

int setEmpty(ExpValue *out) {
    expSetString(out, EXP_STR, const_cast<char *>(""), 0);
    return 1;
}

int setInt(ExpValue *out, int64_t value) {
    expSetInt(out, value);
    return 1;
}

// A text of the record in the CCSID the script's texts are in.
int setHeldText(ExpValue *out, EvStringView text) {
    std::vector<char> buffer(size_t{text.length} * 4 + 16);
    const EvStringView held = evHeldText(text, buffer.data(), buffer.size());
    return setText(out, held.text, held.length);
}

// The running record hook's record, when it is of one of the kinds asked for (mask of 1 << kind).
const EvRecordHook *currentRecord(uint32_t kinds) {
    const EvRecordHook *record = gHookMessage.record;
    if (record == nullptr || record->record == nullptr || record->length < EVCF_HEADER_LENGTH) return nullptr;
    if (gHookMessage.kind < 1 || gHookMessage.kind >= kKinds || !(kinds & (1u << gHookMessage.kind)))
        return nullptr;
    return record;
}

// ---------------------------------------------------------------------------------------------
// Item values

void appendText(cmdText *text, bool *ok, const char *bytes, size_t length) {
    if (*ok && !cmdTextAppend(text, bytes, length)) *ok = false;
}

// An item's value: integers of every form and timestamps as integers, strings as strings, lists
// joined with ',', byte strings in upper-case hexadecimal; unset values are empty and mixed ones "*".
// The caller holds the consumer lock (string pool).
int itemValue(const uint8_t *lead, const evCFItem &item, ExpValue *out) {
    switch (lead[0]) {
        case EVCF_LEAD_INT_UNSET:
        case EVCF_LEAD_INT64_UNSET:
            return setEmpty(out);
        case EVCF_LEAD_INT_MIXED:
        case EVCF_LEAD_INT64_MIXED:
        case EVCF_LEAD_STRING_MIXED:
            return setText(out, "*", 1);
        default:
            break;
    }
    switch (item.type) {
        case MQCFT_INTEGER:
        case MQCFT_INTEGER64:
        case EVCF_DATE_TIME:
            return setInt(out, item.value);
        case MQCFT_STRING:
            return setHeldText(out, EvStringView{static_cast<const char *>(item.data),
                                                 static_cast<uint32_t>(item.length), item.ccsid});
        case EVCF_STRING_ID:
            return setHeldText(out, evPoolLookup(&evStreamStringPool, static_cast<uint32_t>(item.value)));
        default:
            break;
    }
    cmdText text{};
    bool ok = true;
    const auto *data = static_cast<const uint8_t *>(item.data);
    if (item.type == MQCFT_INTEGER_LIST || item.type == EVCF_STRING_ID_LIST) {
        for (int32_t i = 0; i < item.count; i++) {
            if (i > 0) appendText(&text, &ok, ",", 1);
            if (item.type == MQCFT_INTEGER_LIST) {
                char number[16];
                int n =
                    std::snprintf(number, sizeof number, "%d", mqiGetI32(data, static_cast<size_t>(4 * i)));
                appendText(&text, &ok, number, static_cast<size_t>(n));
            } else {
                const EvStringView pooled =
                    evPoolValue(&evStreamStringPool, mqiGetU32(data, static_cast<size_t>(4 * i)));
                std::vector<char> buffer(size_t{pooled.length} * 4 + 16);
                const EvStringView view = evHeldText(pooled, buffer.data(), buffer.size());
                appendText(&text, &ok, view.text, view.length);
            }
        }
    } else if (item.type == MQCFT_BYTE_STRING || item.type == EVCF_BYTES_ID) {
        const uint8_t *bytes = data;
        size_t length = static_cast<size_t>(item.length);
        if (item.type == EVCF_BYTES_ID) {
            EvStringView view = evPoolLookup(&evStreamStringPool, static_cast<uint32_t>(item.value));
            bytes = reinterpret_cast<const uint8_t *>(view.text);
            length = view.length;
        }
        for (size_t i = 0; i < length; i++) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
            appendText(&text, &ok, hex, 2);
        }
    }
    if (!ok || text.data == nullptr) {
        cmdTextFree(&text);
        return setEmpty(out);
    }
    expSetString(out, EXP_PSTR, text.data, text.length);
    return 1;
}

// Where an item may stand for a lookup.
struct ItemScope {
    int32_t group;       // >0: directly inside a group of that id; 0: top level
    bool anywhere;       // any depth (group ignored)
    uint32_t spanStart;  // with spanEnd > spanStart: only items whose offset lies in the span
    uint32_t spanEnd;
};

// The first item with the id in the scope, its value in out: 1, or 0 when there is none.
int findItem(const uint8_t *record, uint32_t length, int32_t parmId, const ItemScope &scope, ExpValue *out) {
    evCFCursor cursor;
    evCFCursorInit(&cursor, nullptr, record, length, 0, 0);
    for (;;) {
        evCFItem item;
        int32_t cc = 0, reason = 0;
        int32_t id = evCFNextParm(&cursor, &item, &cc, &reason);
        if (cc != 0 || (id == 0 && item.type == 0)) return 0;
        if (item.type == PCF_TYPE_GROUP_END || item.type == MQCFT_GROUP || id != parmId) continue;
        const auto offset = static_cast<uint32_t>(cursor.currentItem - record);
        if (scope.spanEnd > scope.spanStart && (offset < scope.spanStart || offset >= scope.spanEnd))
            continue;
        if (!scope.anywhere && item.groupId != scope.group) continue;
        return itemValue(cursor.currentItem, item, out);
    }
}

// The row of a keyword of a table that is a variable: not the command's own row, nor the rows of
// kinds 'a', 'q' and 'w'.
const evParmDef *keywordRow(const evParmDef *table, const char *name, size_t length) {
    if (table == nullptr) return nullptr;
    const evParmDef *row = evFindField(table, name, length, EV_FIELD_EXACT | EV_FIELD_FIELDS_ONLY, nullptr);
    return row == table ? nullptr : row;
}

const evParmDef *statsTable(uint32_t code) {
    for (const evCommandDef *command = evCommandTable; command->verb != nullptr; ++command)
        if (command->code == code) return command->parms;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The resolvers by prefix

int32_t groupOf(uint16_t indicator) {
    if (indicator & EXP_IND_BEFORE) return EV_GROUP_BEFORE;
    if (indicator & EXP_IND_AFTER) return EV_GROUP_AFTER;
    if (indicator & EXP_IND_CMDDATA) return kGroupCmdData;
    if (indicator & EXP_IND_CMDCTX) return kGroupCmdCtx;
    return 0;
}

int pooledText(uint32_t id, ExpValue *out) {
    return setHeldText(out, evPoolLookup(&evStreamStringPool, id));
}

int eventHeaderVariable(const EvRecordHook *hook, const char *name, size_t length, ExpValue *out) {
    const uint8_t *record = hook->record;
    const PcfSummary *summary = hook->summary != nullptr ? pcfSummaryOf(hook->summary) : nullptr;
    if (nameIs(name, length, "eventid")) {
        uint32_t id = evCFGetEventId(record);
        if (id == 0) return setEmpty(out);
        char text[16];
        std::snprintf(text, sizeof text, "%8.8X", id);
        return setText(out, text, std::strlen(text));
    }
    if (nameIs(name, length, "summary")) {
        char text[EV_SUMMARY_LINE + 1] = {};
        if (summary == nullptr) return setEmpty(out);
        int n = evHeldSummary(record, hook->length, summary, text);
        return setText(out, text, n > 0 ? static_cast<size_t>(n) : 0);
    }
    if (nameIs(name, length, "evtype")) return setInt(out, summary != nullptr ? summary->category : 0);
    if (nameIs(name, length, "evreason")) return setInt(out, summary != nullptr ? summary->subtype : 0);
    if (nameIs(name, length, "evtime")) return setInt(out, evCFGetEventTime(record));
    if (nameIs(name, length, "evobjtype")) return setInt(out, evCFGetObjectType(record));
    if (nameIs(name, length, "cfhreason")) return setInt(out, evCFGetReason(record));
    if (nameIs(name, length, "cfhcmd")) return setInt(out, evCFGetCommand(record));
    if (nameIs(name, length, "evuserid")) return pooledText(evCFGetUserId(record), out);
    if (nameIs(name, length, "evobjname")) return pooledText(evCFGetObjectName(record), out);
    return -1;
}

int eventVariable(uint16_t indicator, const char *name, size_t length, ExpValue *out) {
    const EvRecordHook *hook = currentRecord(1u << STREAM_TYPE_EVENTS);
    if (hook == nullptr) return setEmpty(out);
    const int32_t group = groupOf(indicator);
    if (group == 0) {
        int answered = eventHeaderVariable(hook, name, length, out);
        if (answered >= 0) return answered;
    }
    const evParmDef *row = keywordRow(evEventsParmTable, name, length);
    if (row == nullptr || row->parmId == 0) return setEmpty(out);
    ItemScope scope{group, false, 0, 0};
    if (!findItem(hook->record, hook->length, static_cast<int32_t>(row->parmId), scope, out))
        return setEmpty(out);
    return 1;
}

int intervalVariable(const char *name, size_t length, ExpValue *out) {
    const EvRecordHook *hook = currentRecord(0x7Cu);  // kinds 2 to 6
    if (hook == nullptr) return setEmpty(out);
    if (nameIs(name, length, "evqmgr")) {
        const char *qmgr = hook->qmgrName != nullptr ? hook->qmgrName : "";
        return setText(out, qmgr, strnlen(qmgr, EV_QMGR_NAME_MAX));
    }
    if (nameIs(name, length, "intvlend")) return setInt(out, evCFGetIntervalEnd(hook->record));
    if (nameIs(name, length, "intvlsta")) return setInt(out, evCFGetIntervalStart(hook->record));
    const int32_t kind = gHookMessage.kind;
    const evParmDef *row = keywordRow(statsTable(kKindCommand[kind]), name, length);
    if (row == nullptr || row->parmId == 0) return setEmpty(out);
    const auto id = static_cast<int32_t>(row->parmId);
    if (kGroupKey[kind] != 0) {
        // The current object first, then the record's leading part before the first object.
        ItemScope object{0, true, state.objectStart, state.objectEnd};
        if (state.objectEnd > state.objectStart && findItem(hook->record, hook->length, id, object, out))
            return 1;
        ItemScope leading{0, true, 0, state.leadingEnd};
        if (state.leadingEnd > 0 && findItem(hook->record, hook->length, id, leading, out)) return 1;
        return setEmpty(out);
    }
    ItemScope anywhere{0, true, 0, 0};
    if (!findItem(hook->record, hook->length, id, anywhere, out)) return setEmpty(out);
    return 1;
}

int mqmdVariable(const char *name, size_t length, ExpValue *out) {
    const EvRecordHook *hook = currentRecord(0x7Eu);
    if (hook == nullptr || hook->md == nullptr) return setEmpty(out);
    // As the expression parser accepts them: a field's name may be abbreviated.
    const evParmDef *row = evFindField(evMqmdFieldTable, name, length, EV_FIELD_FIELDS_ONLY, nullptr);
    if (row == nullptr || row->recordOffset < 0) return setEmpty(out);
    if (!evGetAttrValue(row, nullptr, hook->md, row->recordOffset, out)) return setEmpty(out);
    return 1;
}

int cfhVariable(const char *name, size_t length, ExpValue *out) {
    const EvRecordHook *hook = currentRecord(0x7Eu);
    if (hook == nullptr) return setEmpty(out);
    if (nameIs(name, length, "reason")) return setInt(out, evCFGetReason(hook->record));
    if (nameIs(name, length, "command")) return setInt(out, evCFGetCommand(hook->record));
    return setEmpty(out);
}

int alertVariable(const char *name, size_t length, ExpValue *out) {
    const AlertDef *alert = gHookMessage.kind == EV_HOOK_ALERT_EXPIRY ? gHookMessage.alert : nullptr;
    if (alert == nullptr) return setEmpty(out);
    if (nameIs(name, length, "eventid")) {
        if (alert->eventId == 0) return setEmpty(out);
        char text[16];
        std::snprintf(text, sizeof text, "%8.8X", alert->eventId);
        return setText(out, text, std::strlen(text));
    }
    const evParmDef *row = keywordRow(evAlertParmTable, name, length);
    if (row == nullptr || row->recordOffset < 0) return setEmpty(out);
    ExpValue value{};
    if (!evGetAttrValue(row, nullptr, alert, row->recordOffset, &value)) return setEmpty(out);
    // The alert goes once the hook returns: a text is copied.
    if (expIsString(&value) && value.type != EXP_PSTR) {
        setText(out, value.data, value.value.len);
        expReleaseValue(&value);
        return 1;
    }
    *out = value;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Hook calls

// Presets _stream with the default stream of the kind (its definitions are set C's: consumer lock).
void presetStream(cmdRunState *run, int32_t kind) {
    char name[CSL_STREAM_MAX + 1] = {};
    {
        CSRecursiveGuard consumer(gConsumerLock);
        evStreamDefaultName(name, static_cast<uint32_t>(kind));
    }
    std::memcpy(run->stream, name, sizeof run->stream);
}

// The record's target list from the hook's final _stream.
void decideStreams(cmdRunState *run, EvRecordHook *hook, int32_t kind) {
    size_t length = strnlen(run->stream, CSL_STREAM_MAX);
    if (length == 5 && strncasecmp(run->stream, "$null", 5) == 0) {
        hook->streams[0] = 0;
        return;
    }
    if (length == 0 || !evCheckName(run->stream, static_cast<int32_t>(length),
                                    CMD_NAME_LIST_TRIM | CMD_NAME_SYSTEM_STREAMS)) {
        presetStream(run, kind);
        length = strnlen(run->stream, CSL_STREAM_MAX);
    }
    std::memcpy(hook->streams, run->stream, length);
    hook->streams[length] = 0;
}

// Unlike the documented ending hook, which runs to its end, it is deliberately given a bound: it
// runs once the program is ending, when no later request may come to abandon it (a service stopped
// by STOP EV gets none), and a hook that loops would hold the program for ever.
constexpr int64_t kEndingHookSeconds = 5;

// What every hook call does around its run: the session's stop flags cleared first (a stop left
// by an earlier hook would end this one at once), the error flag cleared, errors reported without
// ending the hook, the running-a-hook mark set. An end asked for while the hook runs (SIGTERM, STOP
// EV), or the end of its bound (seconds; 0: none), abandons it at its next statement or wait, with
// a log line naming it: a hook that never returns must not hold the program.
int runHook(cslSession *session, cmdProgram *program, cmdFUNCTION *function, int keepRunning,
            int64_t boundSeconds = 0) {
    cmdRunState *run = program->run;
    const int32_t savedKeep = run->keepRunning;
    const int32_t savedContinue = run->continueAfterError;
    const uint32_t savedBaseline = run->endBaseline;
    const uint32_t savedFinal = run->endFinalBaseline;
    const int64_t savedDeadline = run->endDeadline;
    run->endBaseline = evEndRequestCount();
    run->endFinalBaseline = evEndFinalCount();
    if (boundSeconds > 0) run->endDeadline = evTimeNow() + boundSeconds;
    session->stopFlag.store(0);
    program->stopFlag = 0;
    program->errorFlag = 0;
    run->keepRunning = keepRunning;
    run->continueAfterError = 1;
    dbgSyncFlags(program);
    session->runningHook.fetch_add(1);
    int ran = cmdRunBlock(program, function);
    session->runningHook.fetch_sub(1);
    if (evEndRequestCount() != run->endBaseline)
        evOutputF(EV_OUT_INFO, 1, "Hook %s() abandoned: the program is ending", function->name);
    else if (boundSeconds > 0 && cmdEndAsked(program))
        evOutputF(EV_OUT_INFO, 1, "Hook %s() abandoned: the program is ending and its %d seconds are up",
                  function->name, static_cast<int>(boundSeconds));
    run->endBaseline = savedBaseline;
    run->endFinalBaseline = savedFinal;
    run->endDeadline = savedDeadline;
    run->keepRunning = savedKeep;
    run->continueAfterError = savedContinue;
    return ran;
}

// Runs the hook once per object of the record: at each group key, the object up to the next key.
void runPerObject(cslSession *session, cmdProgram *program, cmdFUNCTION *function, const EvRecordHook *hook,
                  int32_t key) {
    evCFCursor cursor;
    evCFCursorInit(&cursor, nullptr, hook->record, hook->length, 0, 0);
    uint32_t pending = 0;
    bool havePending = false;
    const uint32_t endRequests = evEndRequestCount();
    for (;;) {
        evCFItem item;
        int32_t cc = 0, reason = 0;
        int32_t id = evCFNextParm(&cursor, &item, &cc, &reason);
        bool end = cc != 0 || (id == 0 && item.type == 0);
        bool isKey = !end && id == key && item.type != PCF_TYPE_GROUP_END && item.type != MQCFT_GROUP;
        if (!end && !isKey) continue;
        const uint32_t offset = end ? hook->length : static_cast<uint32_t>(cursor.currentItem - hook->record);
        if (havePending) {
            state.objectIndex++;
            program->run->idxData = state.objectIndex;
            state.objectStart = pending;
            state.objectEnd = offset;
            runHook(session, program, function, 0);
            if (session->endRequested.load() || evEndRequestCount() != endRequests) return;
        } else if (isKey) {
            state.leadingEnd = offset;
        }
        if (end) return;
        pending = offset;
        havePending = true;
    }
}

}  // namespace

int cslFindHooks(cmdProgram *program) {
    for (const char *name : kLookupOrder) {
        cmdFUNCTION *function = cmdFindFunction(program, name, -1);
        if (function == nullptr || !function->committed) {
            char text[80];
            std::snprintf(text, sizeof text, "Function %s() not found", name);
            evConsolePrint(2, text, -1);
            evConsolePrint(2, "\n", 1);
            cmdOutput(program, CSL_LINE_ERROR, text);
            cslForgetHooks();
            return 0;
        }
        for (int kind = 1; kind < kKinds; kind++) {
            if (kRecordHooks[kind] != nullptr && std::strcmp(kRecordHooks[kind], name) == 0)
                recordHooks[kind] = function;
            if (kOtherHooks[kind] != nullptr && std::strcmp(kOtherHooks[kind], name) == 0)
                otherHooks[kind] = function;
        }
    }
    return 1;
}

void cslForgetHooks() {
    CSRecursiveGuard guard(gScriptLock);
    for (int kind = 0; kind < kKinds; kind++) recordHooks[kind] = otherHooks[kind] = nullptr;
}

int cslCallRecordHook(void *context, int32_t kind) {
    if (kind < 1 || kind >= kKinds || context == nullptr) return 0;
    auto *hook = static_cast<EvRecordHook *>(context);
    CSRecursiveGuard guard(gScriptLock);
    cslSession *session = gSession.load();
    cmdProgram *program = session != nullptr ? session->program : nullptr;
    cmdFUNCTION *function = recordHooks[kind];
    if (program == nullptr || function == nullptr) return 1;  // the preset list stands
    // Once the program is ending no record hook starts: one that would not return could hold the
    // program again after the end abandoned its predecessor. The record is not taken (2): its unit
    // commits no more and the disconnect backs it out, so that the next start handles it whole.
    if (evEndFlag.load() != 0 || evStopPending.load() != 0) return 2;
    const uint32_t endRequests = evEndRequestCount();

    cmdRunState *run = program->run;
    const EvHookMessage savedMessage = gHookMessage;
    const HookState savedState = state;
    const int32_t savedType = run->streamType, savedIndex = run->idxData, savedDspcmd = run->dspcmd;
    gHookMessage = EvHookMessage{kind, hook, nullptr};
    state.objectIndex = 0;
    state.objectStart = state.objectEnd = state.leadingEnd = 0;
    const bool readable = hook->record != nullptr && hook->length >= EVCF_HEADER_LENGTH;
    run->streamType = kind;
    run->idxData = 0;
    run->dspcmd =
        kind == STREAM_TYPE_EVENTS && readable && (evCFGetFlags(hook->record) & EVCF_FLAG_INQUIRE) ? 1 : 0;
    presetStream(run, kind);
    cslEventFunctionFlag.store(1);
    if (kGroupKey[kind] == 0)
        runHook(session, program, function, 0);
    else if (readable)
        runPerObject(session, program, function, hook, kGroupKey[kind]);
    cslEventFunctionFlag.store(0);
    gHookMessage = savedMessage;
    state = savedState;
    run->streamType = savedType;
    run->idxData = savedIndex;
    run->dspcmd = savedDspcmd;

    // A hook the end abandoned did not choose all it would have: the record is not taken, as above.
    // The script's own end ends a hook that chose.
    const bool abandoned = evEndRequestCount() != endRequests && !session->endRequested.load();
    decideStreams(run, hook, kind);
    if (session->endRequested.load()) evEndFlag.store(1);
    return abandoned ? 2 : 1;
}

int cslCallHook(int32_t kind, void *argument) {
    if (kind < EV_HOOK_CONNECTED || kind > EV_HOOK_ALERT_EXPIRY) return 1;
    CSRecursiveGuard guard(gScriptLock);
    cslSession *session = gSession.load();
    cmdProgram *program = session != nullptr ? session->program : nullptr;
    cmdFUNCTION *function = otherHooks[kind];
    if (program == nullptr || function == nullptr) return 1;
    auto *alert = kind == EV_HOOK_ALERT_EXPIRY ? static_cast<AlertDef *>(argument) : nullptr;
    if (kind == EV_HOOK_ALERT_EXPIRY && (alert == nullptr || alert->category[0] == '$')) return 1;
    const EvHookMessage saved = gHookMessage;
    gHookMessage = EvHookMessage{kind, nullptr, alert};
    runHook(session, program, function, 1, kind == EV_HOOK_ENDING ? kEndingHookSeconds : 0);
    gHookMessage = saved;
    if (session->endRequested.load()) evEndFlag.store(1);
    return 1;
}

int cslResolveHookVariable(cmdProgram *, uint16_t indicator, const char *name, size_t length, ExpValue *out) {
    constexpr uint16_t kEventFlags =
        EXP_IND_EVENT | EXP_IND_BEFORE | EXP_IND_AFTER | EXP_IND_CMDDATA | EXP_IND_CMDCTX;
    if (!(indicator & (kEventFlags | EXP_IND_DATA | EXP_IND_ALERT | EXP_IND_MQMD | EXP_IND_CFH))) return 0;
    // The string pool and the records' texts change under set C's commands meanwhile.
    CSRecursiveGuard consumer(gConsumerLock);
    if (indicator & EXP_IND_ALERT) return alertVariable(name, length, out);
    if (indicator & EXP_IND_MQMD) return mqmdVariable(name, length, out);
    if (indicator & EXP_IND_CFH) return cfhVariable(name, length, out);
    if (indicator & EXP_IND_DATA) return intervalVariable(name, length, out);
    return eventVariable(indicator, name, length, out);
}

int cslLookupKeywordValue(const char *name, size_t length, uint16_t) {
    if (nameIs(name, length, "evqmgr") || nameIs(name, length, "intvlend") ||
        nameIs(name, length, "intvlsta"))
        return 1;
    for (uint32_t code : {9024u, 9023u, 9025u, 9026u, 9027u})
        if (keywordRow(statsTable(code), name, length) != nullptr) return 1;
    return 0;
}
