// The commands that change the event processor's settings, its counters and the alerts: ALTER EV,
// RESET EV, ADD EVALERT and REMOVE EVALERT. Each reads every parameter into a copy first, so a
// refusal changes nothing.
#include <cstdio>

#include "cmdserver/change.h"

namespace {

constexpr int32_t kValueError = MQRCCF_PARM_VALUE_ERROR;
constexpr int32_t kMissing = 3228;
constexpr int32_t kMaxCount = 999999999;
constexpr int32_t kResetTypeId = 39366;
constexpr char kInternalValue[] = "ZUNT Internal Value:";  // 20 bytes: a script event function's command

int getCount(QmgrContext *context, const PcfCursor *cursor, int32_t minimum, int32_t *out) {
    return evParmGetInt(context, cursor, minimum, kMaxCount, out);
}

struct Counted {
    int index;
    const char *keyword;
};
constexpr Counted kQmgrCounted[] = {
    {EV_QMC_EVENTS, "EVENTCT"},    {EV_QMC_AUTHOR, "AUTHORCT"}, {EV_QMC_CHL, "CHLCT"},
    {EV_QMC_CMD, "CMDCT"},         {EV_QMC_CONFIG, "CONFIGCT"}, {EV_QMC_INHIBIT, "INHIBITCT"},
    {EV_QMC_LOCAL, "LOCALCT"},     {EV_QMC_LOGGER, "LOGGERCT"}, {EV_QMC_PERFM, "PERFMCT"},
    {EV_QMC_REMOTE, "REMOTECT"},   {EV_QMC_SSL, "SSLCT"},       {EV_QMC_STRSTP, "STRSTPCT"},
    {EV_QMC_IMSBR, "IMSBRCT"},     {EV_QMC_STATQ, "STATQCT"},   {EV_QMC_STATCHL, "STATCHLCT"},
    {EV_QMC_STATMQI, "STATMQICT"}, {EV_QMC_ACCTQ, "ACCTQCT"},   {EV_QMC_ACCTMQI, "ACCTMQICT"},
};
constexpr Counted kQueueCounted[] = {
    {EV_EQC_MSGS, "MSGS"},         {EV_EQC_EVENTS, "EVENTCT"},    {EV_EQC_STATQ, "STATQCT"},
    {EV_EQC_STATCHL, "STATCHLCT"}, {EV_EQC_STATMQI, "STATMQICT"}, {EV_EQC_ACCTQ, "ACCTQCT"},
    {EV_EQC_ACCTMQI, "ACCTMQICT"},
};

// Zeroes the listed counters, the committed copies too: set E's next backout restores its counters
// from those copies and would otherwise bring the reset values back. True when one was not zero.
template <size_t N>
bool resetCounters(EvCounter *counters, const Counted (&list)[N], const char *label, const char *name) {
    char text[1024];
    CmdText line;
    cmdTextInit(&line, text, sizeof text);
    for (const Counted &c : list) {
        EvCounter &counter = counters[c.index];
        if (counter.current != 0)
            cmdTextPrintf(&line, "%s(%d) ", c.keyword, static_cast<int32_t>(counter.current));
        counter.current = counter.committed = counter.atConnect = 0;
    }
    if (line.used == 0) return false;
    char head[96];
    std::snprintf(head, sizeof head, "  %s(%s)", label, name);
    evPendingLogLine(head);
    evPendingLogLine(text);
    return true;
}

// A given value is a pattern over the field; given empty it matches only an empty field.
bool fieldMatches(const char *field, const char *given, int32_t length) {
    if (given == nullptr) return true;
    if (length == 0) return field[0] == '\0';
    return evWildMatch(field, std::strlen(field), given, static_cast<size_t>(length)) != 0;
}

}  // namespace

void evResetCounts(QmgrContext *) {
    CSRecursiveGuard guard(gStructureLock);
    evPendingLogLine("RESET EV TYPE(COUNTS)");
    bool any = false;
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
        auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
        any = resetCounters(qmgr->counters, kQmgrCounted, "EVQMGR", qmgr->name) || any;
    }
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
        auto *queue = reinterpret_cast<EventQueueDef *>(node);
        evNoteQueueCountsTaken(queue);
        any = resetCounters(queue->counters, kQueueCounted, "EVQ", queue->name) || any;
    }
    if (!any) evPendingLogLine("  All values already zero");
    evSettings.resetTime.store(evClockNow());
    evConfigChanged.store(1);
}

int evAlterEV(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9005, command, length)) return 1;
    EvSettingsValues before{};
    evSettingsRead(&before);
    EvSettingsValues after = before;
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        int32_t n = 0;
        int ok = 0;
        switch (static_cast<int32_t>(cursor->parmId)) {
            case 39305:
                return cmdGetName(context, cursor, 8, 0, after.log.name);
            case 39306:
                return cmdGetText(context, cursor, 64, false, after.log.descr);
            case 39356:
                return evParmGetDays(context, cursor, &after.alertRetention);
            case 39358:
                return cmdGetValue(context, cursor, evDispCmdsNames, &after.displayCommands);
            case 39359:
                return cmdGetText(context, cursor, EV_QUEUE_NAME_MAX, false, after.deadQueue);
            case 39360:
                return cmdGetValue(context, cursor, evUseDlqNames, &after.useDlq);
            case 39362:
                return evParmGetMinutes(context, cursor, &after.log.maxLogAge);
            case 39363:
                ok = evParmGetInt(context, cursor, 1, kMaxCount, &n);
                after.log.maxLogSize = int64_t{n} * 1024;
                return ok;
            case 39364:
                return evParmGetDays(context, cursor, &after.log.logRetention);
            case 39388:
                return cmdGetValue(context, cursor, evVerCheckNames, &after.versionCheck);
            case 39389:
                return getCount(context, cursor, 1, &after.stormThreshold);
            case 39390:
                return getCount(context, cursor, 1, &after.stormInterval);
            case 39413:
                return getCount(context, cursor, 1, &after.defaultMaxRecords);
            case 39433:
                return evParmGetInt(context, cursor, 0, 86400, &after.authDuration);
            case 39437:
                return getCount(context, cursor, 0, &after.defaultBackoutThreshold);
            case 39443:
                return cmdGetValue(context, cursor, evAcctSelfNames, &after.accountingSelf);
            default:
                return -1;
        }
    });
    if (!read) return 1;
    if (std::strcmp(after.deadQueue, before.deadQueue) != 0 &&
        cmdRefuseOwnQueue(context, "", after.deadQueue, 39359, "the dead-letter queue"))
        return 1;
    evSettingsWrite(&after);
    evConfigChanged.store(1);
    evEchoAlterEv(&before, &after);
    return cmdOk(context);
}

int evResetEV(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9006, command, length)) return 1;
    int32_t type = 0;
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        if (static_cast<int32_t>(cursor->parmId) != kResetTypeId) return -1;
        return evParmGetInt(context, cursor, 1, kMaxCount, &type);
    });
    if (!read) return 1;
    if (type == 0) return cmdRefuse(context, kMissing, kResetTypeId, "TYPE() parameter expected.");
    if (type == 1) {
        evResetCounts(context);
        return cmdOk(context);
    }
    if (type == 2) {
        char message[EV_CONN_MESSAGE_MAX] = "";
        if (!evOpenQmgrInquire(context, evEventHconn(&context->sets[EV_SET_C]), message))
            return cmdRefuse(context, MQRC_STORAGE_NOT_AVAILABLE, 0, message);
        return cmdOk(context);
    }
    return cmdRefuse(context, kValueError, kResetTypeId,
                     "Invalid value for TYPE() parameter, expected TYPE(COUNTS).");
}

int evAddAlert(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9021, command, length)) return 1;
    AlertTemplate t{};
    AlertDef &alert = t.alert;
    alert.severity = EV_SEVERITY_ERROR;
    bool hasText = false;
    bool anyText = false;
    bool replace = false;
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        const char *text = nullptr;
        int32_t n = 0;
        switch (static_cast<int32_t>(cursor->parmId)) {
            case 39374:
                if (!evParmGetString(context, cursor, 0, static_cast<int32_t>(EV_ALERT_TEXT_MAX), &text, &n))
                    return 0;
                anyText = n > 0 && text[0] == '!';
                if (anyText) text++, n--;
                evAlertSetText(&alert, text, n);
                hasText = true;
                return 1;
            case 39375:
                return cmdGetValue(context, cursor, evSeverityNames, &alert.severity);
            case 39376:
                return cmdGetName(context, cursor, EV_QUEUE_NAME_MAX, 0, alert.qmgr);
            case 39379: {
                // An alert's retention is in seconds, as it is shown.
                int32_t seconds = 0;
                if (!evParmGetInt(context, cursor, 1, kMaxCount, &seconds)) return 0;
                alert.retention = static_cast<uint32_t>(seconds);
                return 1;
            }
            case 39330:
                if (cursor->type != MQCFT_INTEGER || cursor->value == nullptr)
                    return cmdRefuse(context, kValueError, 39330, nullptr), 0;
                alert.eventId = mqiGetU32(cursor->value, 0);
                return 1;
            case 39301: {
                if (!evParmGetString(context, cursor, 0, STREAM_NAME_MAX, &text, &n)) return 0;
                const StreamDef *def = evStreamDefFind(text, n, STREAM_TYPE_EVENTS, nullptr);
                if (def == nullptr) {
                    char message[128];
                    std::snprintf(message, sizeof message, "Stream name '%.*s' is not defined.", n, text);
                    return cmdRefuse(context, kValueError, 39301, message), 0;
                }
                alert.streamId = def->streamId;
                return 1;
            }
            case 39316:
                return cmdGetText(context, cursor, EV_QUEUE_NAME_MAX, true, alert.objectName);
            case 39317:
                return cmdGetValue(context, cursor, evObjectTypeNames, &alert.objectType);
            case 39320:
                return cmdGetName(context, cursor, EV_ALERT_CATEGORY_MAX, CMD_NAME_DOLLAR, alert.category);
            case 1006:
                return cmdGetFlag(context, cursor, &replace);
            default:
                return -1;
        }
    });
    if (!read) return 1;
    if (!hasText) return cmdRefuse(context, kMissing, 39374, "Alert parameter 'TEXT' missing.");
    if (alert.category[0] == '$')
        return cmdRefuse(context, kValueError, 39320,
                         "Alert parameter 'CATEGORY' can not be a system value.");
    if (replace && anyText && alert.category[0] == '\0')
        return cmdRefuse(context, kMissing, 39320,
                         "When replacing alert, without text match, then you must specify a category.");
    const MQMD *md = cmdRequest(context)->md;
    if (md != nullptr && std::memcmp(md->CorrelId, kInternalValue, sizeof kInternalValue - 1) == 0)
        alert.raisingEvent = mqiGetU32(md->CorrelId, sizeof kInternalValue - 1);
    alert.time = evClockNow();
    uint32_t flags = (replace ? EV_ALERT_REPLACE : EV_ALERT_ADD) | EV_ALERT_PUBLISH;
    if (anyText) flags |= EV_ALERT_ANY_TEXT;
    char error[EV_CONFIG_TEXT] = "";
    if (!evAlertAdd(&alert, flags, nullptr, error))
        return cmdRefuse(context, MQRC_STORAGE_NOT_AVAILABLE, 0, error);
    return cmdOk(context);
}

int evRemoveAlert(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9014, command, length)) return 1;
    int32_t id = 0;
    struct Given {
        const char *text = nullptr;
        int32_t length = 0;
    } text, category, qmgr, objectName;
    int32_t objectType = -1;
    auto string = [&](const PcfCursor *cursor, int32_t maximum, bool name, Given *out) {
        if (!evParmGetString(context, cursor, 0, maximum, &out->text, &out->length)) return 0;
        if (name && out->length > 0 && !evCheckName(out->text, out->length, CMD_NAME_WILDCARDS))
            return evParameterNameError(
                       context, cursor, kValueError,
                       "Parameter '%s' contains characters which are not valid in an MQ name."),
                   0;
        return 1;
    };
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        switch (static_cast<int32_t>(cursor->parmId)) {
            case 39373:
                return evParmGetInt(context, cursor, 1, kMaxCount, &id);
            case 39374:
                return string(cursor, static_cast<int32_t>(EV_ALERT_TEXT_MAX), false, &text);
            case 39320:
                return string(cursor, static_cast<int32_t>(EV_ALERT_CATEGORY_MAX), false, &category);
            case 39376:
                return string(cursor, EV_QUEUE_NAME_MAX, true, &qmgr);
            case 39316:
                return string(cursor, EV_QUEUE_NAME_MAX, true, &objectName);
            case 39317:
                return cmdGetValue(context, cursor, evObjectTypeNames, &objectType);
            default:
                return -1;
        }
    });
    if (!read) return 1;
    if (id != 0) {
        AlertDef *found = nullptr;
        {
            CSRecursiveGuard guard(gAlertLock);
            for (AlertDef *a = evAlertList; a != nullptr; a = a->next) {
                if (a->id != static_cast<uint32_t>(id)) continue;
                bool match = fieldMatches(a->category, category.text, category.length) &&
                             fieldMatches(a->qmgr, qmgr.text, qmgr.length) &&
                             fieldMatches(a->objectName, objectName.text, objectName.length) &&
                             (objectType < 0 || a->objectType == objectType) &&
                             (text.text == nullptr ||
                              (text.length == 0 ? a->text[0] == '\0'
                                                : evWildMatch(a->text, std::strlen(a->text), text.text,
                                                              static_cast<size_t>(text.length)) != 0));
                if (match) found = a;
                break;
            }
        }
        if (found == nullptr || !evAlertRemove(found, 1, 1))
            return cmdRefuse(context, MQRC_UNKNOWN_OBJECT_NAME, 0, nullptr);
        return cmdOk(context);
    }
    if (text.text == nullptr)
        return cmdRefuse(context, kMissing, 39373, "Either 'ALERTID' or 'TEXT' should be provided.");
    if (!evAlertRemoveMatching(text.text, text.length, category.text, category.length, qmgr.text, qmgr.length,
                               objectName.text, objectName.length, objectType < 0 ? 0 : objectType))
        return cmdRefuse(context, MQRC_UNKNOWN_OBJECT_NAME, 0, nullptr);
    return cmdOk(context);
}
