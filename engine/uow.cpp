// Units of work: each connection set gets its messages under sync point, and its sync point saves
// what changed, hardens the streams, commits and keeps the committed copies of the counters. Memory
// caches what is committed: a backout of a unit that changed memory reloads everything before
// anything is redelivered (in place in the set's callback, else through the reconnect).
#include <atomic>
#include <cstdio>
#include <cstring>

#include "engine/internal.h"

EvUnitState evUnits[2];
std::atomic<int32_t> evStopPending{0};

namespace {

constexpr int64_t kBeforeWait = 60;

bool separateState(const ConnectionSet *set) {
    return set->io.hconn != -1 && set->io.hconn != evEventHconn(set);
}

bool queueOfSet(const EventQueueDef *queue, int32_t which) {
    return (queue->ownCommandQueue != 0) == (which == EV_SET_C);
}

// The counters with a committed copy: commit copies current to committed, backout the reverse. Each
// set its own: set C's command counts and command queue, set E's the rest.
void copyCounters(int32_t which, bool commit) {
    auto copy = [commit](EvCounter &counter) {
        if (commit)
            counter.committed = counter.current;
        else
            counter.current = counter.committed;
    };
    auto copyActivity = [commit](std::atomic<int32_t> &current, std::atomic<int32_t> &committed) {
        if (commit)
            committed.store(current.load());
        else
            current.store(committed.load());
    };
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node; node = node->next) {
        auto *queue = reinterpret_cast<EventQueueDef *>(node);
        if (queueOfSet(queue, which))
            for (EvCounter &counter : queue->counters) copy(counter);
    }
    if (which != EV_SET_E) {
        copyActivity(evActivity.commands, evActivity.commandsCommitted);
        return;
    }
    copyActivity(evActivity.events, evActivity.eventsCommitted);
    copyActivity(evActivity.stats, evActivity.statsCommitted);
    for (EvCounter &counter : evStatsCounters) copy(counter);
    for (CSTree *node = CSTreeFirst(evQmgrTree); node; node = node->next)
        for (EvCounter &counter : reinterpret_cast<QmgrEntry *>(node)->counters) copy(counter);
}

// Step 3: the batch stays open while a 'before' half waits or a queue has more and room is left.
bool deferBatch(ConnectionSet *set, const EvUnitState &unit, int64_t now) {
    // Set E must never find set C's open configuration or alert work: it commits at once.
    if (set->id == EV_SET_C && (evConfigChanged.load() != 0 || evAlertsChanged.load() != 0)) return false;
    // Nor a unit of set C whose suspend waits for this callback to end: set E's reload in place, in
    // that hold, clears the units' state, and a deferred get would stay in an open unit for good.
    if (set->id == EV_SET_C && set->holds.load() != 0) return false;
    const bool full = unit.commitAlone || unit.holdingEvent;
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node; node = node->next) {
        auto *queue = reinterpret_cast<EventQueueDef *>(node);
        if (!queueOfSet(queue, set->id) || queue->status != EV_EVQ_ACTIVE || queue->consumerSuspended)
            continue;
        // A waiting 'before' half lives in memory only, its message in this unit: committed without its
        // 'after', a kill or reconnect would lose the pair. Even a full batch waits for it.
        if (queue->beforeWaitingSince != 0 && now - queue->beforeWaitingSince < kBeforeWait) return true;
        if (!full && !queue->queueEmpty && unit.inFlight < set->io.batchSize) return true;
    }
    return false;
}

MQLONG unitEnd(const MQIFunctionTable *mq, MQHCONN hconn, bool commit) {
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    const char *label = commit ? "MQCMIT" : "MQBACK";
    auto call = commit ? (mq ? mq->MQCMIT : nullptr) : (mq ? mq->MQBACK : nullptr);
    if (call != nullptr && hconn != -1) {
        evTraceCallIn(label, hconn, 1, 0);
        call(hconn, &compCode, &reason);
        evTraceCallOut(label, hconn, 1, reason);
    }
    return compCode == MQCC_OK ? MQRC_NONE : reason;
}

int failedCommit(QmgrContext *context, ConnectionSet *set, MQHCONN hconn, const char *qmgr, MQLONG reason) {
    char text[EV_CONFIG_TEXT + 2];
    std::snprintf(text, EV_CONFIG_TEXT, "MQCMIT(%s) failed RC(%d) %s", qmgr, reason, evReasonText(reason));
    evReportMQError(context, hconn, reason, text);
    logFreeCapture(&set->pending);
    evEndConnection(context);
    return 0;
}

// Reasons an MQCMIT gives when the connection itself is gone or going: the reconnect deals with them.
bool connectionLost(MQLONG reason) {
    switch (reason) {
        case MQRC_CONNECTION_BROKEN:
        case MQRC_HCONN_ERROR:
        case MQRC_Q_MGR_NOT_AVAILABLE:
        case MQRC_Q_MGR_STOPPING:
        case MQRC_CONNECTION_QUIESCING:
        case MQRC_CONNECTION_STOPPING:
            return true;
        default:
            return false;
    }
}

int backOut(QmgrContext *context, ConnectionSet *set, const char *errorText, bool eventBroken);

}  // namespace

int evRemoveDataMessageById(EvStreamIo *io, const uint8_t *correlId, const char *qmgr, char *errorText,
                            const uint8_t *msgId) {
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    std::memcpy(md.CorrelId, correlId, MQ_CORREL_ID_LENGTH);
    if (msgId != nullptr) std::memcpy(md.MsgId, msgId, MQ_MSG_ID_LENGTH);
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_1;
    gmo.Options = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR, dataLength = 0;
    char none = 0;
    if (io->mq && io->mq->MQGET) {
        evTraceCallIn("MQGET(Data)", io->hconn, 0, io->hobj);
        io->mq->MQGET(io->hconn, io->hobj, &md, &gmo, 0, &none, &dataLength, &compCode, &reason);
        evTraceCallOut("MQGET(Data)", io->hconn, 0, reason);
    }
    if (compCode != MQCC_FAILED || reason == MQRC_TRUNCATED_MSG_ACCEPTED) {
        evDataQueueMsgCount--;
        io->inFlight++;
    } else if (reason != MQRC_NO_MSG_AVAILABLE) {
        std::snprintf(errorText, EV_CONFIG_TEXT, "MQGET(%s/%s) failed RC(%d) %s", qmgr,
                      evContext.dataQueueName, reason, evReasonText(reason));
        return 0;
    }
    return 1;
}

int evPutDataMessageById(EvStreamIo *io, const uint8_t *correlId, const char *format, const uint8_t *message,
                         int32_t length, const char *qmgr, char *errorText, uint8_t *msgIdOut) {
    MQMD put = MQMD_DEFAULT;
    put.Version = MQMD_VERSION_1;
    put.MsgType = MQMT_DATAGRAM;
    put.Expiry = MQEI_UNLIMITED;
    put.Encoding = 546;
    put.CodedCharSetId = 0;
    std::memcpy(put.Format, format, MQ_FORMAT_LENGTH);
    put.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    put.Persistence = MQPER_PERSISTENT;
    std::memcpy(put.CorrelId, correlId, MQ_CORREL_ID_LENGTH);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Options = MQPMO_SYNCPOINT;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    if (io->mq && io->mq->MQPUT) {
        evTraceCallIn("MQPUT(Data)", io->hconn, 0, io->hobj);
        io->mq->MQPUT(io->hconn, io->hobj, &put, &pmo, length, const_cast<uint8_t *>(message), &compCode,
                      &reason);
        evTraceCallOut("MQPUT(Data)", io->hconn, 0, reason);
    }
    if (compCode == MQCC_FAILED) {
        std::snprintf(errorText, EV_CONFIG_TEXT, "MQPUT(%s/%s) failed RC(%d) %s", qmgr,
                      evContext.dataQueueName, reason, evReasonText(reason));
        evDataQueueRefused(reason);
        return 0;
    }
    if (msgIdOut != nullptr) std::memcpy(msgIdOut, put.MsgId, MQ_MSG_ID_LENGTH);
    evDataQueueMsgCount++;
    io->inFlight++;
    return 1;
}

namespace {

// The message of each kind the program's state was loaded from or last saved to: the one the next
// replace takes away. Another application may put anything under the same key; only this one is
// the program's (as for the configuration and the alerts, config/cfgstore.cpp). Unlike the
// documented replace, which gets the first message by CorrelId, the get names this MsgId too, and
// none is made when no message of the kind is the program's; unlike the documented load, which takes
// the first message under the key, one not in the program's own layout is skipped.
struct DataKept {
    bool present;
    MQBYTE24 msgId;
};
constexpr uint8_t kKeptKinds = EV_DQ_KIND_COUNTERS + 1;
DataKept gKept[kKeptKinds];
// The last replace of each kind: its set's unit and the message kept before it, kept again when that
// unit backs out.
struct DataReplace {
    EvStreamIo *io;
    uint64_t unit;
    DataKept before;
};
DataReplace gReplaces[kKeptKinds];

const char *kindName(uint8_t kind) {
    switch (kind) {
        case EV_DQ_KIND_SEEN_C:
        case EV_DQ_KIND_SEEN_E:
            return "seen list";
        case EV_DQ_KIND_STORMS:
            return "storm index";
        case EV_DQ_KIND_EMIT_FILES:
            return "emitter file state";
        case EV_DQ_KIND_EMIT_NEW_FILE:
            return "emitter new file";
        case EV_DQ_KIND_COUNTERS:
            return "counters";
        default:
            return "data";
    }
}

// One browse at the position (first, next) of the message under the key, whole, into a counted-heap
// buffer; a message longer than the buffer is read again under the cursor. The reason.
MQLONG browseWhole(EvStreamIo *io, const uint8_t *correlId, MQLONG position, uint8_t **message,
                   int32_t *length, MQMD *md) {
    *message = nullptr;
    *length = 0;
    MQLONG bufferLength = 0;
    uint8_t *buffer = nullptr;
    MQLONG options = position | MQGMO_ACCEPT_TRUNCATED_MSG;
    for (int attempt = 0; attempt < 4; attempt++) {
        *md = MQMD_DEFAULT;
        md->Version = MQMD_VERSION_1;
        std::memcpy(md->CorrelId, correlId, MQ_CORREL_ID_LENGTH);
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Version = MQGMO_VERSION_1;
        gmo.Options = options;
        MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR, dataLength = 0;
        char none = 0;
        if (io->mq != nullptr && io->mq->MQGET != nullptr) {
            evTraceCallIn("MQGET(Data)", io->hconn, 0, io->hobj);
            io->mq->MQGET(io->hconn, io->hobj, md, &gmo, bufferLength,
                          buffer ? static_cast<void *>(buffer) : &none, &dataLength, &compCode, &reason);
            evTraceCallOut("MQGET(Data)", io->hconn, 0, reason);
        }
        if (compCode == MQCC_OK && buffer != nullptr) {
            *message = buffer;
            *length = dataLength;
            return MQRC_NONE;
        }
        // Truncated (the first look, or a message that grew meanwhile): read again with room.
        if (compCode == MQCC_FAILED && reason != MQRC_TRUNCATED_MSG_ACCEPTED &&
            reason != MQRC_TRUNCATED_MSG_FAILED) {
            if (buffer) CSFreeMem(buffer);
            return reason;
        }
        if (buffer) CSFreeMem(buffer);
        buffer = static_cast<uint8_t *>(CSGetMem(static_cast<uint64_t>(dataLength > 0 ? dataLength : 1)));
        if (buffer == nullptr) return MQRC_STORAGE_NOT_AVAILABLE;
        bufferLength = dataLength;
        // The cursor stays on the message: it is read again there, whole.
        options = MQGMO_BROWSE_MSG_UNDER_CURSOR;
    }
    if (buffer) CSFreeMem(buffer);
    return MQRC_TRUNCATED_MSG_FAILED;
}

}  // namespace

void evForeignDataMessage(uint8_t kind, const MQMD &md, int32_t length) {
    char correlId[2 * MQ_CORREL_ID_LENGTH + 1], msgId[2 * MQ_MSG_ID_LENGTH + 1];
    evIdToHex(md.CorrelId, correlId);
    evIdToHex(md.MsgId, msgId);
    evOutputF(EV_OUT_ERROR, 1,
              "Foreign message under the %s key (kind %u) skipped: CorrelId X'%s' MsgId X'%s' Format '%.8s' "
              "length %d",
              kindName(kind), static_cast<unsigned>(kind), correlId, msgId, md.Format, length);
}

int evBrowseOwnDataMessage(EvStreamIo *io, uint8_t kind, EvOwnDataCheck own, void *arg, uint8_t **message,
                           int32_t *length) {
    const uint8_t correlId[MQ_CORREL_ID_LENGTH] = {kind};
    if (kind < kKeptKinds) {
        gKept[kind] = DataKept{};
        gReplaces[kind] = DataReplace{};
    }
    for (MQLONG position = MQGMO_BROWSE_FIRST;; position = MQGMO_BROWSE_NEXT) {
        MQMD md;
        const MQLONG reason = browseWhole(io, correlId, position, message, length, &md);
        if (reason == MQRC_NO_MSG_AVAILABLE) return 1;
        if (reason != MQRC_NONE) return 0;
        if (own(arg, md, *message, *length)) {
            if (kind < kKeptKinds) {
                gKept[kind].present = true;
                std::memcpy(gKept[kind].msgId, md.MsgId, MQ_MSG_ID_LENGTH);
            }
            return 1;
        }
        evForeignDataMessage(kind, md, *length);
        CSFreeMem(*message);
        *message = nullptr;
        *length = 0;
    }
}

int evBrowseDataMessages(EvStreamIo *io, uint8_t kind, EvDataVisit visit, void *arg) {
    const uint8_t correlId[MQ_CORREL_ID_LENGTH] = {kind};
    return evBrowseDataMessagesById(io, correlId, visit, arg);
}

int evBrowseDataMessagesById(EvStreamIo *io, const uint8_t *correlId, EvDataVisit visit, void *arg) {
    for (MQLONG position = MQGMO_BROWSE_FIRST;; position = MQGMO_BROWSE_NEXT) {
        MQMD md;
        uint8_t *message = nullptr;
        int32_t length = 0;
        const MQLONG reason = browseWhole(io, correlId, position, &message, &length, &md);
        if (reason == MQRC_NO_MSG_AVAILABLE) return 1;
        if (reason != MQRC_NONE) return 0;
        if (!visit(arg, md, message, length)) CSFreeMem(message);
    }
}

int evBrowseDataDescriptors(EvStreamIo *io, EvDescriptorVisit visit, void *arg) {
    for (MQLONG position = MQGMO_BROWSE_FIRST;; position = MQGMO_BROWSE_NEXT) {
        MQMD md = MQMD_DEFAULT;  // no MsgId or CorrelId: every message matches
        md.Version = MQMD_VERSION_1;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Version = MQGMO_VERSION_1;
        gmo.Options = position | MQGMO_ACCEPT_TRUNCATED_MSG;
        MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR, dataLength = 0;
        char none = 0;
        if (io->mq != nullptr && io->mq->MQGET != nullptr) {
            evTraceCallIn("MQGET(Data)", io->hconn, 0, io->hobj);
            io->mq->MQGET(io->hconn, io->hobj, &md, &gmo, 0, &none, &dataLength, &compCode, &reason);
            evTraceCallOut("MQGET(Data)", io->hconn, 0, reason);
        }
        if (reason == MQRC_NO_MSG_AVAILABLE) return 1;
        if (compCode == MQCC_FAILED || (reason != MQRC_NONE && reason != MQRC_TRUNCATED_MSG_ACCEPTED))
            return 0;
        visit(arg, md);
    }
}

int evReplaceDataMessage(EvStreamIo *io, uint8_t kind, const char *format, const uint8_t *message,
                         int32_t length, const char *qmgr, char *errorText) {
    if (kind >= kKeptKinds) {
        CS_TRAP(kind);
        return 0;
    }
    const uint8_t correlId[MQ_CORREL_ID_LENGTH] = {kind};
    DataKept &kept = gKept[kind];
    // None kept (nothing was stored, or only foreign messages): nothing is taken away.
    if (kept.present && !evRemoveDataMessageById(io, correlId, qmgr, errorText, kept.msgId)) return 0;
    MQBYTE24 msgId;
    if (!evPutDataMessageById(io, correlId, format, message, length, qmgr, errorText, msgId)) return 0;
    DataReplace &replace = gReplaces[kind];
    // A second replace in the same unit keeps the first one's 'before'.
    if (replace.io != io || replace.unit != io->unit) replace = DataReplace{io, io->unit, kept};
    kept.present = true;
    std::memcpy(kept.msgId, msgId, MQ_MSG_ID_LENGTH);
    return 1;
}

void evDataKeptBackedOut(EvStreamIo *io) {
    for (uint8_t kind = 0; kind < kKeptKinds; kind++) {
        DataReplace &replace = gReplaces[kind];
        if (replace.io != io || replace.unit != io->unit) continue;
        gKept[kind] = replace.before;
        replace = DataReplace{};
    }
}

int evBrowseDataMessageById(EvStreamIo *io, const uint8_t *correlId, uint8_t **message, int32_t *length) {
    *message = nullptr;
    *length = 0;
    if (io->mq == nullptr || io->mq->MQGET == nullptr) return 0;
    MQLONG bufferLength = 0;
    uint8_t *buffer = nullptr;
    // The first browse learns the length; a message that grew meanwhile is browsed again.
    for (int attempt = 0; attempt < 3; attempt++) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.CorrelId, correlId, MQ_CORREL_ID_LENGTH);
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Version = MQGMO_VERSION_1;
        gmo.Options = MQGMO_BROWSE_FIRST | (buffer ? 0 : MQGMO_ACCEPT_TRUNCATED_MSG);
        MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR, dataLength = 0;
        char none = 0;
        evTraceCallIn("MQGET(Data)", io->hconn, 0, io->hobj);
        io->mq->MQGET(io->hconn, io->hobj, &md, &gmo, bufferLength,
                      buffer ? static_cast<void *>(buffer) : &none, &dataLength, &compCode, &reason);
        evTraceCallOut("MQGET(Data)", io->hconn, 0, reason);
        if (compCode == MQCC_FAILED && reason == MQRC_NO_MSG_AVAILABLE) {
            if (buffer) CSFreeMem(buffer);
            return 1;
        }
        if (buffer && compCode == MQCC_OK) {
            *message = buffer;
            *length = dataLength;
            return 1;
        }
        if (compCode == MQCC_FAILED && reason != MQRC_TRUNCATED_MSG_FAILED) break;
        if (buffer) CSFreeMem(buffer);
        buffer = static_cast<uint8_t *>(CSGetMem(static_cast<uint64_t>(dataLength > 0 ? dataLength : 1)));
        if (buffer == nullptr) return 0;
        bufferLength = dataLength;
    }
    if (buffer) CSFreeMem(buffer);
    return 0;
}

namespace {

// The seen list as the program writes it: a PCF command message of the seen command.
bool ownSeenList(void *, const MQMD &md, const uint8_t *message, int32_t length) {
    return std::memcmp(md.Format, MQFMT_PCF, MQ_FORMAT_LENGTH) == 0 && length >= MQCFH_STRUC_LENGTH &&
           mqiGetI32(message, offsetof(MQCFH, Type)) == MQCFT_COMMAND &&
           mqiGetI32(message, offsetof(MQCFH, StrucLength)) == MQCFH_STRUC_LENGTH &&
           mqiGetI32(message, offsetof(MQCFH, Command)) == EV_SEEN_COMMAND;
}

}  // namespace

int evLoadStoredSeenList(ConnectionSet *set) {
    EvSeenList &list = evUnits[set->id].seen;
    list.used = 0;
    list.changed = 0;
    if (set->io.hconn == -1 || set->io.hconn == evEventHconn(set)) return 1;
    uint8_t *message = nullptr;
    int32_t length = 0;
    if (!evBrowseOwnDataMessage(&set->io, set->id == EV_SET_C ? EV_DQ_KIND_SEEN_C : EV_DQ_KIND_SEEN_E,
                                ownSeenList, nullptr, &message, &length))
        return 0;
    int loaded = evLoadSeenList(&list, message, length);
    if (message) CSFreeMem(message);
    if (loaded != 0) return loaded == 1;
    // A damaged list would fail every connect: without it a redelivery after a failed event-side
    // commit may be stored twice, which is the lesser harm. The next commit writes a sound one.
    evOutput(EV_OUT_ERROR, "Damaged 'seen' message ignored.", -1, 1);
    list.changed = 1;
    return 1;
}

void evFreeIntake() {
    evFreeStorms();
    evBeforePoolFree();
    for (EvUnitState &unit : evUnits) {
        evFreeSeenList(&unit.seen);
        unit = EvUnitState{};
    }
    for (ConnectionSet &set : evContext.sets) {
        set.deadQueueHandle.store(-1);
        set.deadQueueName[0] = 0;
    }
}

int evSaveSeenList(ConnectionSet *set, char *errorText) {
    EvSeenList &list = evUnits[set->id].seen;
    uint8_t kind = set->id == EV_SET_C ? EV_DQ_KIND_SEEN_C : EV_DQ_KIND_SEEN_E;
    int32_t length = 0;
    uint8_t *message = evBuildSeenList(&list, &length);
    if (message == nullptr) {
        std::snprintf(errorText, EV_CONFIG_TEXT, "No storage available.");
        return 0;
    }
    int ok =
        evReplaceDataMessage(&set->io, kind, MQFMT_PCF, message, length, evContext.state.name, errorText);
    CSFreeMem(message);
    if (ok) list.changed = 0;
    return ok;
}

int evCommit(QmgrContext *context, ConnectionSet *set, bool backOutRefused) {
    EvUnitState &unit = evUnits[set->id];
    int64_t now = evClockNow();
    {
        // The lengths the unit leaves the emitters' files at commit with it.
        char text[EV_CONFIG_TEXT + 2] = "";
        if (!evSaveEmitFiles(set, text)) {
            evReportMQError(context, set->io.hconn, 0, text);
            logFreeCapture(&set->pending);
            evEndConnection(context);
            return 0;
        }
    }
    if (separateState(set)) {
        if (unit.seen.changed) {
            char text[EV_CONFIG_TEXT + 2] = "";
            if (!evSaveSeenList(set, text)) {
                // Like a failed commit: the disconnect backs both sides out and the reload redoes them.
                evReportMQError(context, set->io.hconn, 0, text);
                logFreeCapture(&set->pending);
                evEndConnection(context);
                return 0;
            }
        }
        MQLONG reason = unitEnd(set->io.mq, set->io.hconn, true);
        if (reason != MQRC_NONE)
            return failedCommit(context, set, set->io.hconn, evContext.state.name, reason);
    }
    MQLONG reason = unitEnd(evContext.event.mq, evEventHconn(set), true);
    if (reason != MQRC_NONE && backOutRefused && set->id == EV_SET_E && !separateState(set) &&
        !connectionLost(reason)) {
        // Refused on a sound connection (backed out already, 2003, or left open): backed out like a
        // refused save, memory reloaded in place, the connection kept.
        char text[EV_CONFIG_TEXT + 2];
        std::snprintf(text, EV_CONFIG_TEXT, "MQCMIT(%s) failed RC(%d) %s", evContext.event.name, reason,
                      evReasonText(reason));
        evReportMQError(context, evEventHconn(set), reason, text);
        (void)backOut(context, set, nullptr, false);
        return 0;
    }
    if (reason != MQRC_NONE) {
        // The state side is final: its seen entries drop the redeliveries of this unit.
        if (separateState(set)) evPruneSeenList(&unit.seen, 0, now);
        return failedCommit(context, set, evEventHconn(set), evContext.event.name, reason);
    }
    unit.commitCount++;
    unit.reloaded = 0;
    evOutput(EV_OUT_TRACE, "Commit successful", -1, 0);
    if (set->id == EV_SET_C && evStopPending.load() != 0) evEndFlag.store(1);
    if (separateState(set)) evPruneSeenList(&unit.seen, 1, now);
    {
        CSRecursiveGuard guard(gStructureLock);
        // A rollback halves the batch only until units commit again: each commit takes one back.
        if (context->rollbacks.load() > 0) {
            context->rollbacks.fetch_sub(1);
            evSetTxnBatch(context);
        }
        logCommitCapture(&set->pending);
    }
    unit.inFlight = 0;
    unit.marked = 0;
    unit.commitAlone = 0;
    set->io.inFlight = 0;
    set->inFlight.store(0);
    copyCounters(set->id, true);
    evPastThresholdUnitEnded(set, 1);
    if (evServices.emitUnitEnded != nullptr) evServices.emitUnitEnded(set->id, 1);
    evStreamUowCommitted(&set->io);
    evCfgUowCommitted(&set->io);
    if (set->id == EV_SET_C) {
        evForgetTakenQueueCounts();
        evReleaseEventSet();
        // DEBUG RESTART: acted on only now, so that the command and its reply are committed first.
        if (context->restartRequested.exchange(0) != 0) evEndConnection(context);
    }
    return 1;
}

namespace {

int backOut(QmgrContext *context, ConnectionSet *set, const char *errorText, bool eventBroken) {
    if (evEventHconn(set) == -1) return 1;
    EvUnitState &unit = evUnits[set->id];
    if (errorText != nullptr && errorText[0] != 0) evOutput(EV_OUT_ERROR, errorText, -1, 1);
    logFreeCapture(&set->pending);
    int result = 1;
    bool broken = eventBroken;
    // The state side too: left open it would be committed by the next MQCMIT or by MQDISC.
    if (separateState(set)) {
        MQLONG reason = unitEnd(set->io.mq, set->io.hconn, false);
        if (reason != MQRC_NONE && !evRunState.qmgrEnding.load()) result = 0;
    }
    // A broken connection's unit is the queue manager's to back out; an MQBACK on it can only fail.
    if (!eventBroken) {
        MQLONG reason = unitEnd(evContext.event.mq, evEventHconn(set), false);
        // Refused while the set's consumer still counts as started (its stop failed or was not
        // made): stopped now, the unit is backed out; a stop that finds the connection broken
        // leaves the unit to the queue manager, which backs it out. Nothing is lost either way.
        if (reason == MQRC_HCONN_ASYNC_ACTIVE && evCallbackSet == nullptr) {
            MQLONG stopped = evTracedCtl(evContext.event.mq, evEventHconn(set), MQOP_STOP, "MQCTL(STOP)");
            if (stopped == 0) set->consumerStarted.store(0);
            reason = stopped == MQRC_CONNECTION_BROKEN
                         ? MQRC_CONNECTION_BROKEN
                         : unitEnd(evContext.event.mq, evEventHconn(set), false);
        }
        if (reason == MQRC_CONNECTION_BROKEN) {
            broken = true;
            evOutputF(EV_OUT_PROGRESS, 1, "Connection to '%s' broken: its unit of work was backed out",
                      evContext.event.name);
        } else if (reason != MQRC_NONE && !evRunState.qmgrEnding.load()) {
            char text[EV_CONFIG_TEXT + 2];
            std::snprintf(text, EV_CONFIG_TEXT, "MQBACK(%s) failed RC(%d) %s", evContext.event.name, reason,
                          evReasonSymbol(reason));
            evReportMQError(context, evEventHconn(set), reason, text);
            result = 0;
        }
        if (reason == MQRC_NONE) evOutput(EV_OUT_TRACE, "Rollback successful", -1, 0);
    }
    bool marked;
    {
        // The disconnect backs a stopped set out on the worker thread while the other set's callback
        // hardens streams: the blobs' write stamps and flags are shared, and the consumer lock
        // serialises this walk with that sync point (a callback already holds it).
        CSRecursiveGuard consumer(gConsumerLock);
        copyCounters(set->id, false);
        evPastThresholdUnitEnded(set, 0);
        // What the unit wrote to the emitters' files is taken back.
        if (evServices.emitUnitEnded != nullptr) evServices.emitUnitEnded(set->id, 0);
        evDataKeptBackedOut(&set->io);
        evEmitFilesBackedOut(&set->io);
        evStreamUowBackedOut(&set->io);
        evCfgUowBackedOut(&set->io);
        evSeenListBackedOut(&unit.seen);
        marked = unit.marked != 0;
        // The configuration in memory holds the unit's changes until the reload replaces it: no save
        // may take them meanwhile, not even the other set's in the reload's hold, whatever refused
        // this unit's own save.
        if (marked) evConfigChanged.store(0);
        unit.inFlight = 0;
        unit.marked = 0;
        unit.commitAlone = 0;
        unit.backOutAtSyncPoint = 0;
        unit.refused = 0;
        set->io.inFlight = 0;
        set->inFlight.store(0);
    }
    // Memory still holds what the unit did: only a reload puts it back to what is committed. In the
    // set's callback it is reloaded in place, so that commands are answered meanwhile (a command's
    // own comes back at once); elsewhere, and on a broken connection, the connection ends and the
    // reconnect reloads.
    if (marked && !(result == 1 && !broken && evReloadAfterBackout(context, set))) evEndConnection(context);
    if (set->id == EV_SET_C) evReleaseEventSet();
    return result;
}

}  // namespace

int evBackout(QmgrContext *context, ConnectionSet *set, const char *errorText) {
    return backOut(context, set, errorText, false);
}

int evBackoutBrokenEvent(QmgrContext *context, ConnectionSet *set, const char *errorText) {
    return backOut(context, set, errorText, true);
}

namespace {

bool tooOld(Stream *stream, int64_t now) {
    if (stream->definition == nullptr || stream->definition->retIntvl == 0) return false;
    if (stream->oldest == 0) evStreamRecompute(stream);
    return stream->oldest != 0 && stream->oldest < now - int64_t{stream->definition->retIntvl};
}

template <typename Visit>
bool forEachQmgrStream(Visit visit) {
    for (CSTree *node = CSTreeFirst(evQmgrTree); node; node = node->next)
        for (Stream *stream = reinterpret_cast<QmgrEntry *>(node)->streams; stream; stream = stream->next)
            if (!visit(stream)) return false;
    return true;
}

// Step 10: expired blobs leave one at a time; the streams that lost any are hardened and committed.
bool runExpiry(QmgrContext *context, ConnectionSet *set, int64_t now) {
    bool any = false;
    bool ok = forEachQmgrStream([&](Stream *stream) {
        bool lost = false;
        while (tooOld(stream, now)) {
            int removed = 0;
            if (!evStreamExpire(&set->io, stream, &removed)) return false;
            if (!removed) break;
            lost = true;
            evStreamRecompute(stream);
        }
        if (lost && !evStreamHarden(&set->io, stream)) return false;
        any = any || lost;
        return true;
    });
    if (!ok) return false;
    return !any || evCommit(context, set);
}

// Step 11: every stream, then "$STRINGS"; each consolidation hardens and commits on its own.
bool runConsolidation(ConnectionSet *set) {
    bool ok =
        forEachQmgrStream([&](Stream *stream) { return evStreamConsolidateAll(&set->io, stream) != 0; });
    return ok && (evStrings.stream == nullptr || evStreamConsolidateAll(&set->io, evStrings.stream) != 0);
}

// Step 12's gate: bins exist, and records went into bins since the last absorb or Check passed.
bool absorbDue(int64_t now) {
    static uint32_t lastCreated = 0;
    static int64_t lastRun = 0;
    if (evServices.aggrAbsorb == nullptr || evAggrState.binsExist.load() == 0) return false;
    uint32_t created = evAggrState.binsCreated.load();
    if (created == lastCreated && now - lastRun < evAbsorb.check.load()) return false;
    lastCreated = created;
    lastRun = now;
    return true;
}

// Step 13, before each commit: the files the unit wrote are whole and still named. false: an
// emitter's ONERROR backed the unit out.
bool emitFilesSound(QmgrContext *context, ConnectionSet *set) {
    return evServices.emitFlush == nullptr || evServices.emitFlush(context, set) != 0;
}

// Step 14: set E looks at the data queue again after DEBUG DATAQCHK seconds, else hourly while fewer
// than 1000 more messages fit, else daily.
bool dataQueueCheckDue(int64_t now) {
    int64_t last = evDataQueue.lastInquiry.load();
    if (last == 0) return true;
    int64_t interval = evDebug.dataQueueCheck.load();
    if (interval <= 0)
        interval = evDataQueue.maxDepth.load() - evDataQueueMsgCount.load() < 1000 ? 3600 : 86400;
    return now - last >= interval;
}

// A data queue that refuses puts (full, or inhibited) is not tried at every sync point: saves wait
// while set C looks at it again by the retry scheme's back-off (interval 1 for count 1 looks, then
// interval 2), and the event queues it holds run again once it has room. Under the consumer lock; the
// main thread reads the due time to wake set C.
struct DataQueueWait {
    std::atomic<int64_t> next{0};   // the next look; 0: the data queue takes puts
    std::atomic<int64_t> woken{0};  // when a sweep message was last sent for a look
    int32_t looks = 0;
};
DataQueueWait dataQueueWait;

int32_t lookInterval(int32_t looks) {
    EvRetrySnapshot retry{};
    evRetryState(&retry);
    const RetryScheme &row = *retry.chosen;
    const int32_t interval = looks < row.count1 ? row.interval1 : row.interval2;
    return interval > 0 ? interval : 1;  // without retries too: it is looked at again
}

// true: the saves of this sync point wait (the data queue refuses puts, and a look found no change).
bool savesWait(QmgrContext *context, ConnectionSet *set, int64_t now) {
    DataQueueWait &wait = dataQueueWait;
    if (wait.next.load() == 0) {
        if (evDataQueueCondition.load() == 0) return false;
        wait.looks = 0;
        wait.next.store(now + lookInterval(0));
        return true;
    }
    if (set->id != EV_SET_C || now < wait.next.load()) return evDataQueueCondition.load() != 0;
    if (evDataQueueCondition.load() != 0) {
        char message[EV_CONN_MESSAGE_MAX] = "";
        if (!evInquireDataQueue(context, set, message)) evReportMQError(context, -1, 0, message);
    }
    if (evDataQueueCondition.load() != 0) {
        wait.next.store(now + lookInterval(++wait.looks));
        return true;
    }
    // Room again: the held event queues run; when set E cannot be paused now, at the next look.
    wait.next.store(evResumeHeldQueues(context) ? 0 : now + 1);
    return false;
}

// Set C changes streams and bins only while it holds set E (its unit then commits at once).
// false: not now (busy, or the hold failed and the connection ends).
bool mayChangeStreams(QmgrContext *context, ConnectionSet *set) {
    if (set->id == EV_SET_E) return true;
    int32_t held = evHoldEventSet(context);
    return held == EV_SUSPEND_HELD || held == EV_SUSPEND_NOT_STARTED;
}

}  // namespace

int evDataQueueLookDue(int64_t now) {
    // Again after the sweeps' gap while the look is still due: a sweep message can fail or be late.
    const int64_t next = dataQueueWait.next.load();
    if (next == 0 || now < next || now - dataQueueWait.woken.load() < EV_SWEEP_MIN_GAP) return 0;
    dataQueueWait.woken.store(now);
    return 1;
}

void evRestoreCommittedCounters() {
    CSRecursiveGuard consumer(gConsumerLock);
    copyCounters(EV_SET_C, false);
    copyCounters(EV_SET_E, false);
}

int evSyncPoint(QmgrContext *context, ConnectionSet *set) {
    if (evContext.restartMark.load() != 0) return 1;
    EvUnitState &unit = evUnits[set->id];
    // A unit holding a record the end kept from being handled whole stays open for the disconnect's
    // backout: committed, the record would be stored without what its hook chose.
    if (unit.refused != 0) return 1;
    // Set E's unit, closed for this unit's hold, was backed out: this one goes with it, and the
    // backout reloads what both did.
    if (unit.backOutAtSyncPoint != 0) {
        (void)evBackout(context, set, nullptr);
        return 0;
    }
    bool isC = set->id == EV_SET_C;
    bool anyInFlight = unit.inFlight != 0 || set->io.inFlight != 0;
    // Set C also goes on for alerts alone: system alerts must not wait for a command.
    if (isC && !anyInFlight && evConfigChanged.load() == 0 && evAlertsChanged.load() == 0 &&
        !unit.holdingEvent)
        return 1;
    int64_t now = evClockNow();
    if (unit.inFlight != 0 && deferBatch(set, unit, now)) return 1;
    char text[EV_CONFIG_TEXT + 2] = "";
    bool ok = true;
    // While the data queue refuses puts, set C's units and a set E with nothing in flight commit
    // without saving: configuration and alerts stay changed in memory and are saved once it has room.
    // Unlike the documented rule, which saves (and fails) at every sync point, what changes them
    // meanwhile waits: system alerts (the data queue's own among them) and the program's own changes,
    // such as an emitter's error counts. A command that would change them is refused before it runs
    // (the command server's dispatch): its answer of success would be lost to a kill before there is
    // room. Set E's own changes go with its events, or not at all.
    const bool waitSaves = !unit.holdingEvent && (isC || !anyInFlight) && savesWait(context, set, now);
    if (!waitSaves && isC && evAlertsChanged.load() != 0) ok = evAlertSave(&set->io, text) != 0;
    // A refused configuration save says so itself: the backout adds no second line of it.
    if (!waitSaves && ok && evConfigChanged.load() != 0 && evCfgSave(&set->io, text) == 0) {
        ok = false;
        text[0] = 0;
    }
    // Storm counts are set E's: saved in its unit, so a kill keeps them and a backout undoes them.
    if (ok && !isC && evStormsChanged.load() != 0) ok = evSaveStorms(&set->io) != 0;
    // So are the queue managers' counters, with the records they count.
    if (ok && !isC && evCountersRaised()) ok = evSaveCounters(&set->io, text) != 0;
    EvHardenBlock block{&set->io, isC && !unit.holdingEvent, 0, 0};
    // Set C's own strings wait with the saves (set E's records never need them).
    if (ok && !(isC && waitSaves)) {
        // Without a hold on set E, set C hardens no stream set E's open unit may have written.
        ok = evHardenAllStreams(&block) != 0;
        if (!ok) std::snprintf(text, EV_CONFIG_TEXT, "Error hardening streams");
    }
    if (ok && evAggrState.changed.load() != 0 && (!isC || unit.holdingEvent) && evServices.aggrHarden)
        ok = evServices.aggrHarden(context) != 0;
    if (ok && !emitFilesSound(context, set)) return 0;
    if (ok && (unit.inFlight != 0 || set->io.inFlight != 0)) {
        // A failed commit has ended the connection (the reconnect backs the rest out), or set E's
        // refused one has backed its unit out.
        if (!evCommit(context, set, true)) return 0;
    }
    if (!ok) {
        (void)evBackout(context, set, text);
        return 0;
    }
    // Only this set's own queues: set C's commit must not end the wait of a 'before' half in set E's
    // open unit, or set E's next sync point (a hold's among them) commits it without its 'after'.
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node; node = node->next) {
        auto *queue = reinterpret_cast<EventQueueDef *>(node);
        if (queueOfSet(queue, set->id) && !queue->consumerSuspended) queue->beforeWaitingSince = 0;
    }
    // An 'after' half whose 'before' did not come within the wait goes as a lone 'after' always went.
    if (!isC)
        for (int dropped = evAfterPoolDrop(); dropped > 0; dropped--)
            logWrite(nullptr, EV_OUT_ERROR, "Change object 'before' event missing.", -1);
    // The version check's unit changes alerts only: it leaves housekeeping, and set E, alone.
    if (unit.alertsOnly) return 1;
    // The commit ended the connection (DEBUG RESTART): the reconnect does what is due.
    if (evContext.restartMark.load() != 0) return 1;
    // Steps 10 to 12 and 15: housekeeping that changes streams, each only when due (and not while the
    // data queue refuses the puts it makes).
    if (!waitSaves && block.expiryDue && mayChangeStreams(context, set)) ok = runExpiry(context, set, now);
    if (ok && !waitSaves && block.consolidationDue && mayChangeStreams(context, set))
        ok = runConsolidation(set);
    if (ok && !waitSaves && absorbDue(now) && mayChangeStreams(context, set)) {
        evAggrState.nextDue.store(0);
        int absorbed = evServices.aggrAbsorb(context);
        if (absorbed == 2) {
            // An emitter of an absorbed record replaced memory (its unit ended there) or the
            // connection ends: nothing more is done in this sync point.
            if (isC) evReleaseEventSet();
            return 0;
        }
        ok = absorbed != 0;
    }
    bool housekeepingDue =
        evStrings.needed != 0 || (evStrings.checkNoted != 0 && now - evStrings.checkNoted >= 600);
    if (ok && !waitSaves && housekeepingDue && mayChangeStreams(context, set))
        ok = evCheckStringHousekeeping(&set->io, 0, 0, 1) != 0;
    if (unit.backOutAtSyncPoint != 0) {
        (void)evBackout(context, set, nullptr);
        return 0;
    }
    if (ok && !emitFilesSound(context, set)) return 0;
    if (ok && (unit.inFlight != 0 || set->io.inFlight != 0)) {
        if (!evCommit(context, set, true)) return 0;
    }
    if (!ok) {
        (void)evBackout(context, set, "Housekeeping failed");
        return 0;
    }
    // Step 14: the data queue's depth and put state, at its interval.
    if (!isC && dataQueueCheckDue(now)) {
        // Reported where it fails; a queue found high or inhibited is held until it clears.
        char message[EV_CONN_MESSAGE_MAX] = "";
        if (!evInquireDataQueue(context, set, message)) evReportMQError(context, -1, 0, message);
    }
    if (isC) evReleaseEventSet();
    return 1;
}

int evStreamCommitHook(EvStreamIo *io) {
    ConnectionSet *set =
        io == &evContext.sets[EV_SET_C].io ? &evContext.sets[EV_SET_C] : &evContext.sets[EV_SET_E];
    return evCommit(&evContext, set);
}
