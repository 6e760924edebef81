// Failures of an emitter's output, handled by its ONERROR: DISCARD drops the unit and raises the
// "$EMIT" alert; SUSPEND backs the unit of work out, suspends the queue the record came from, saves
// the alert and the configuration, and reloads memory from the data queue, so that memory again
// caches only what is committed.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "emit/internal.h"

namespace {

constexpr int32_t kEmitAlertSeverity = EV_SEVERITY_ERROR;
constexpr uint32_t kEmitAlertRetention = 7776000;  // 90 days
constexpr int32_t kObjectTypeEvq = 10005;

void debugLines(const EmitContext *c) {
    const EmitterDef *e = c->emitter;
    char when[EV_DATE_TIME_TEXT + 32];
    if (e->failTime == 0) {
        std::snprintf(when, sizeof when, "Unset");
    } else {
        char text[EV_DATE_TIME_TEXT];
        if (evLocalDateTimeText(e->failTime, text)) {
            const double days = static_cast<double>(evClockNow() - e->failTime) / 86400.0;
            std::snprintf(when, sizeof when, "%s %7.2lf days", text, days);
        } else {
            std::snprintf(when, sizeof when, "%" PRId64, e->failTime);
        }
    }
    evOutputF(EV_OUT_PROGRESS, 1, " Emit(%s) Error @%s FailCount(%u)", e->name, when, e->consecutiveFailures);
    evOutputF(EV_OUT_PROGRESS, 1, "   Stream(%s)", c->streamDef != nullptr ? c->streamDef->name : "");
}

// ONERROR SUSPEND: back out, keep the alert and the configuration, commit them, reload.
int suspendAndReload(EmitContext *c) {
    QmgrContext *qmgrContext = c->qmgrContext;
    ConnectionSet *set = c->set;
    if (qmgrContext == nullptr || set == nullptr) {
        emitRaiseAlert(c);
        return EMIT_FAILED;
    }
    // Memory is reloaded here from what is committed, so the backout need not end the connection.
    evUnits[set->id].marked = 0;
    (void)evBackout(qmgrContext, set, nullptr);
    emitRaiseAlert(c);
    char text[EV_CONFIG_TEXT + 2] = "";
    bool ok = evAlertSave(&set->io, text) != 0;
    EventQueueDef *queue = c->stream != nullptr ? c->stream->lastEventQueue : nullptr;
    if (queue != nullptr) {
        char message[EV_CONN_MESSAGE_MAX] = "";
        (void)evSuspendQueue(qmgrContext, queue, 0, message);
        queue->status = EV_EVQ_EMITFAIL;
    }
    // A refused configuration save says so itself.
    if (ok && evCfgSave(&set->io, text) == 0) {
        ok = false;
        text[0] = 0;
    }
    ok = ok && evCommit(qmgrContext, set) != 0;
    if (!ok) {
        if (text[0] != 0) evOutput(EV_OUT_ERROR, text, -1, 1);
        c->replaced = 1;
        evEndConnection(qmgrContext);
        return EMIT_REPLACED;
    }
    return emitHandleFailure(c);
}

}  // namespace

int emitFail(EmitContext *c, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(c->errorText, EMIT_ERROR_MAX, format, args);
    va_end(args);
    c->failResult = emitReportError(c);
    return c->failResult;
}

int emitFailStep(EmitContext *c, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(c->errorText, EMIT_ERROR_MAX, format, args);
    va_end(args);
    c->failResult = emitReportError(c);
    return 0;
}

int emitReportError(EmitContext *c) {
    EmitterDef *e = c->emitter;
    evOutput(EV_OUT_ERROR, c->errorText, -1, 1);
    e->errorCount++;
    e->consecutiveFailures++;
    e->failTime = evClockNow();
    evConfigChanged.store(1);
    if (evDebugFlags.load() & EV_DBG_e) debugLines(c);
    if (c->closing) return EMIT_FAILED;
    if (e->onError == EV_ONERROR_DISCARD) {
        emitRaiseAlert(c);
        emitDropUnit(c);
        return EMIT_DONE;
    }
    emitDropUnit(c);
    return suspendAndReload(c);
}

void emitRaiseAlert(EmitContext *c) {
    AlertTemplate alert{};
    std::snprintf(alert.alert.category, sizeof alert.alert.category, "$EMIT");
    alert.alert.severity = kEmitAlertSeverity;
    const char *qmgr = c->qmgrContext != nullptr ? c->qmgrContext->event.name : evContext.event.name;
    std::snprintf(alert.alert.qmgr, sizeof alert.alert.qmgr, "%s", qmgr);
    alert.alert.time = evClockNow();
    alert.alert.retention = kEmitAlertRetention;
    // Unlike the documented alert, whose text is the error text, the alert of a file's failure under
    // ONERROR DISCARD names the emitter and the condition and not the file, so that "only when none" keeps it
    // one alert for each emitter and condition, whichever of its files failed.
    char text[EMIT_ERROR_MAX];
    const int32_t fileFailure = c->emitter->onError == EV_ONERROR_DISCARD ? c->fileFailure : 0;
    if (fileFailure > 0)
        std::snprintf(text, sizeof text, "Error writing to the files of emitter '%s' RC(%d)",
                      c->emitter->name, fileFailure);
    else if (fileFailure < 0)
        std::snprintf(text, sizeof text, "Can not open the files of emitter '%s'", c->emitter->name);
    evAlertSetText(&alert.alert, fileFailure != 0 ? text : c->errorText, -1);
    const EventQueueDef *queue = c->stream != nullptr ? c->stream->lastEventQueue : nullptr;
    if (queue != nullptr) {
        std::snprintf(alert.alert.objectName, sizeof alert.alert.objectName, "%s", queue->name);
        alert.alert.objectType = kObjectTypeEvq;
    }
    char errorText[EV_CONFIG_TEXT];
    // A publication that finds set C busy leaves the alert listed; it is saved with the rest.
    if (!evAlertAdd(&alert.alert, EV_ALERT_IF_NONE | EV_ALERT_PUBLISH, nullptr, errorText))
        evOutput(EV_OUT_ERROR, errorText, -1, 1);
}

int emitHandleFailure(EmitContext *c) {
    QmgrContext *qmgrContext = c->qmgrContext;
    ConnectionSet *set = c->set;
    ConnectionSet *other = evSet(set->id == EV_SET_C ? EV_SET_E : EV_SET_C);
    c->replaced = 1;
    const int held = evSuspendConsumer(qmgrContext, other);
    if (held == EV_SUSPEND_BUSY) {
        // The other set's callback waits to suspend this one: nothing is reloaded here, the
        // reconnect does it.
        evEndConnection(qmgrContext);
        return EMIT_REPLACED;
    }
    bool ok = evReloadStoredState(qmgrContext, 0) != 0;
    if (held == EV_SUSPEND_HELD && !evResumeConsumer(qmgrContext, other)) ok = false;
    if (!ok) evEndConnection(qmgrContext);
    return EMIT_REPLACED;
}
