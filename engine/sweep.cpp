// The sweep message: the main thread never touches the data queue, so when aggregation bins fall
// due while nothing arrives on set E, it puts a small PCF command on the system's own command
// queue through the console's connection. Set C consumes it, and set C's sync point absorbs.
#include <cstring>

#include "engine/internal.h"

EvConsoleLink evConsoleLink;

namespace {

// The sweep message's MQCFH, little-endian: Type, StrucLength, Version, Command, MsgSeqNumber,
// Control, CompCode, Reason, ParameterCount.
constexpr size_t kCfhType = 0;
constexpr size_t kCfhStrucLength = 4;
constexpr size_t kCfhVersion = 8;
constexpr size_t kCfhCommand = 12;
constexpr size_t kCfhMsgSeqNumber = 16;
constexpr size_t kCfhControl = 20;

void sweepTrace(const char *text) {
    if (evDebugFlags.load() & EV_DBG_g) evOutput(EV_OUT_TRACE, text, -1, 1);
}

void sweepFailed(int64_t now) {
    evAggrState.lastSweepFailed.store(now);
}

// Opens the command queue on the console's connection: its handle, or -1.
MQHOBJ openCommandQueue(const MQIFunctionTable *mq, MQHCONN hconn) {
    MQOD od = MQOD_DEFAULT;
    std::memcpy(od.ObjectName, EV_COMMAND_QUEUE_NAME, sizeof EV_COMMAND_QUEUE_NAME - 1);
    MQHOBJ hobj = -1;
    if (evTracedOpen(mq, hconn, &od, MQOO_OUTPUT, &hobj, "MQOPEN(Sweep)") != 0) return -1;
    return hobj;
}

}  // namespace

void evSendSweepMessage() {
    const int64_t now = evClockNow();
    const MQIFunctionTable *mq = evConsoleLink.mq.load();
    const MQHCONN hconn = evConsoleLink.hconn.load();
    if (mq == nullptr || hconn == -1) {
        sweepFailed(now);
        return;
    }
    MQHOBJ hobj = evConsoleLink.commandQueue.load();
    if (hobj == -1) {
        hobj = openCommandQueue(mq, hconn);
        if (hobj == -1) {
            sweepFailed(now);
            return;
        }
        evConsoleLink.commandQueue.store(hobj);
    }
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    md.MsgType = MQMT_DATAGRAM;
    std::memcpy(md.Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH);
    md.Encoding = MQENC_NATIVE;
    md.CodedCharSetId = MQCCSI_Q_MGR;
    md.Expiry = MQEI_UNLIMITED;
    md.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    md.Persistence = MQPER_PERSISTENCE_AS_Q_DEF;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_FAIL_IF_QUIESCING;
    uint8_t cfh[MQCFH_STRUC_LENGTH] = {};
    mqiPutI32(cfh, kCfhType, MQCFT_COMMAND);
    mqiPutI32(cfh, kCfhStrucLength, MQCFH_STRUC_LENGTH);
    mqiPutI32(cfh, kCfhVersion, MQCFH_VERSION_1);
    mqiPutI32(cfh, kCfhCommand, EV_SWEEP_COMMAND);
    mqiPutI32(cfh, kCfhMsgSeqNumber, 1);
    mqiPutI32(cfh, kCfhControl, MQCFC_LAST);
    sweepTrace("Sending sweep message");
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    evTraceCallIn("MQPUT(Sweep)", hconn, 0, hobj);
    mq->MQPUT(hconn, hobj, &md, &pmo, MQCFH_STRUC_LENGTH, cfh, &compCode, &reason);
    evTraceCallOut("MQPUT(Sweep)", hconn, 0, reason);
    if (compCode != MQCC_FAILED) {
        evAggrState.lastSweep.store(now);
        evAggrState.sweepPending.store(0);
        evAggrState.lastSweepFailed.store(0);
        return;
    }
    // The next sweep opens the queue again.
    if (mq->MQCLOSE != nullptr) (void)evTracedClose(mq, hconn, &hobj, "MQCLOSE(Sweep)");
    evConsoleLink.commandQueue.store(-1);
    if (evDebugFlags.load() & EV_DBG_g) evOutputF(EV_OUT_TRACE, 1, "Sweep message failed RC(%d)", reason);
    sweepFailed(now);
}

void evSweepDecision(int64_t now) {
    // Set C looks at a data queue that refused puts again in its sync point: a sweep message wakes it.
    if (evDataQueueLookDue(now)) {
        evSendSweepMessage();
        return;
    }
    const int64_t due = evAggrState.nextDue.load();
    if (due != 0 && now - evAggrState.lastMessage.load() > evAbsorb.grace.load() && now >= due)
        evAggrState.sweepPending.store(1);
    if (evAggrState.sweepPending.load() == 0) return;
    if (now - evAggrState.lastSweep.load() < EV_SWEEP_MIN_GAP) return;
    if (now - evAggrState.lastSweepFailed.load() < EV_SWEEP_FAIL_WAIT) return;
    evSendSweepMessage();
}
