// The configuration and the alert list on the data queue: each is one persistent PCF message, named
// by its CorrelId (byte 0 the kind). A save removes the old message and puts the new one in the
// set's unit of work, so the two commit or back out together with the message that caused them;
// a load browses at connect time and rebuilds memory from what it finds.
// Another application may put anything under the same CorrelId. Unlike the documented load and save,
// which take the first message under the key: a message not in the program's own layout is foreign,
// skipped at load with a line naming it and never removed by a save, which takes away exactly the
// message it replaces (by its MsgId). A configuration of the own layout that cannot be used ends the
// program with status 3, naming it, where the documented load fails the connect and is retried for
// ever: starting without it would overwrite it at the next save.
#include <cstdio>
#include <cstring>

#include "config/internal.h"

std::atomic<int32_t> evConfigLoadedChanged{0};

namespace {

constexpr int32_t kConfigCommand = 100000;
constexpr int32_t kAlertCommand = 100001;
constexpr int32_t kStoredVersion = 3;
constexpr int32_t kNativeEncoding = 546;
constexpr int32_t kSaveBuffer = 106496;
constexpr uint32_t kSaveGrowth = 102400;
constexpr MQLONG kConfigLoadBuffer = 1048576;
constexpr MQLONG kAlertLoadBuffer = 300000;
constexpr int32_t kAlertRoom = 5120;               // the alert message stays this far below MAXMSGL
constexpr int32_t kDefaultMaxMsgLength = 4194304;  // the least MAXMSGL the data queue may have
constexpr MQLONG kRemoveInUnit = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;

// The queues made when no configuration is stored; the last four not on z/OS.
constexpr const char *kDefaultQueues[] = {
    "SYSTEM.ADMIN.CONFIG.EVENT",  "SYSTEM.ADMIN.PERFM.EVENT",      "SYSTEM.ADMIN.QMGR.EVENT",
    "SYSTEM.ADMIN.COMMAND.EVENT", "SYSTEM.ADMIN.CHANNEL.EVENT",    "SYSTEM.ADMIN.PUBSUB.EVENT",
    "SYSTEM.ADMIN.LOGGER.EVENT",  "SYSTEM.ADMIN.STATISTICS.QUEUE", "SYSTEM.ADMIN.ACCOUNTING.QUEUE",
};
constexpr size_t kZosQueues = 5;

// The message of a kind that memory was loaded from or last saved to: the one the next save replaces,
// with the copies of the own layout a load found behind it (left, they would be loaded next time).
constexpr uint32_t kDuplicatesNoted = 8;
struct KeptMessage {
    bool present;
    MQBYTE24 msgId;
    uint32_t duplicates;
    MQBYTE24 duplicate[kDuplicatesNoted];
};
KeptMessage kept[EV_DQ_KIND_ALERTS + 1];

// The last save of each kind: the set and its unit, and the message kept before it (again the kept
// one when the unit backs out). While that unit is open the save can still be backed out, and a
// second save in it would not see the first one's message.
struct SaveStamp {
    EvStreamIo *io;
    uint64_t unit;
    KeptMessage before;
};
SaveStamp stamps[EV_DQ_KIND_ALERTS + 1];
MQBYTE24 lastPut[EV_DQ_KIND_ALERTS + 1];  // the MsgId of each kind's last put

std::atomic<int32_t> &changedFlag(uint8_t kind) {
    return kind == EV_DQ_KIND_CONFIG ? evConfigChanged : evAlertsChanged;
}

const char *label(uint8_t kind, bool put) {
    if (kind == EV_DQ_KIND_CONFIG) return put ? "MQPUT(Config)" : "MQGET(Config)";
    return put ? "MQPUT(Alerts)" : "MQGET(Alerts)";
}

void setCorrelId(MQBYTE24 correlId, uint8_t kind) {
    std::memset(correlId, 0, MQ_CORREL_ID_LENGTH);
    correlId[0] = kind;
}

// One MQGET of the kind's message (MQMD and MQGMO version 1, no wait), the one with that MsgId when
// msgId is given. The reason.
MQLONG get(EvStreamIo *io, uint8_t kind, MQLONG options, void *buffer, MQLONG bufferLength,
           MQLONG *dataLength, MQMD *md, const MQBYTE24 *msgId = nullptr) {
    *md = MQMD_DEFAULT;
    md->Version = MQMD_VERSION_1;
    setCorrelId(md->CorrelId, kind);
    if (msgId) std::memcpy(md->MsgId, *msgId, MQ_MSG_ID_LENGTH);
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_1;
    gmo.Options = options;
    gmo.WaitInterval = 0;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    char none = 0;
    *dataLength = 0;
    if (io && io->mq && io->mq->MQGET) {
        evTraceCallIn(label(kind, false), io->hconn, 0, io->hobj);
        io->mq->MQGET(io->hconn, io->hobj, md, &gmo, bufferLength, buffer ? buffer : &none, dataLength,
                      &compCode, &reason);
        evTraceCallOut(label(kind, false), io->hconn, 0, reason);
    }
    return compCode == MQCC_OK ? MQRC_NONE : reason;
}

// The put of the kind's message; the MsgId the queue manager gave it is noted for saved().
MQLONG put(EvStreamIo *io, uint8_t kind, uint8_t *message, int32_t length) {
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    md.MsgType = MQMT_DATAGRAM;
    std::memcpy(md.Format, MQFMT_PCF, MQ_FORMAT_LENGTH);
    md.Persistence = MQPER_PERSISTENT;
    md.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    md.Expiry = MQEI_UNLIMITED;
    md.Encoding = kNativeEncoding;
    md.CodedCharSetId = 0;
    setCorrelId(md.CorrelId, kind);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Options = MQPMO_SYNCPOINT;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    if (io && io->mq && io->mq->MQPUT) {
        evTraceCallIn(label(kind, true), io->hconn, 0, io->hobj);
        io->mq->MQPUT(io->hconn, io->hobj, &md, &pmo, length, message, &compCode, &reason);
        evTraceCallOut(label(kind, true), io->hconn, 0, reason);
    }
    std::memcpy(lastPut[kind], md.MsgId, MQ_MSG_ID_LENGTH);
    return compCode == MQCC_FAILED ? reason : MQRC_NONE;
}

// Before a save: a save of the same kind in this set's open unit is committed first (its message
// is invisible to the removal). The other set's open unit holding one breaks the rule that set C
// closes set E's unit before it changes what set E may have written.
bool beforeSave(EvStreamIo *io, uint8_t kind) {
    SaveStamp &stamp = stamps[kind];
    if (!stamp.io || stamp.unit != stamp.io->unit) return true;
    if (stamp.io != io) {
        CS_TRAP(kind);
        return true;
    }
    if (!evStreamCommit(io)) return false;
    evCfgUowCommitted(io);
    return true;
}

// The old message, the kept one, and its duplicates leave in the unit (none kept: nothing to remove).
// 0, or the reason of the failed removal.
MQLONG removeOld(EvStreamIo *io, uint8_t kind) {
    const KeptMessage &old = kept[kind];
    if (!old.present) return 0;
    for (uint32_t i = 0; i <= old.duplicates; i++) {
        MQMD md;
        MQLONG length = 0;
        MQLONG reason = get(io, kind, kRemoveInUnit, nullptr, 0, &length, &md,
                            i == 0 ? &old.msgId : &old.duplicate[i - 1]);
        if (reason == MQRC_NO_MSG_AVAILABLE) continue;
        if (reason != MQRC_NONE && reason != MQRC_TRUNCATED_MSG_ACCEPTED) return reason;
        io->inFlight++;
        evDataQueueMsgCount--;
    }
    return 0;
}

void saved(EvStreamIo *io, uint8_t kind) {
    io->inFlight++;
    evDataQueueMsgCount++;
    stamps[kind] = SaveStamp{io, io->unit, kept[kind]};
    kept[kind] = KeptMessage{};
    kept[kind].present = true;
    std::memcpy(kept[kind].msgId, lastPut[kind], MQ_MSG_ID_LENGTH);
}

// A builder over a fresh buffer of the save size, with the stored header (Version 3 even when no
// member raises it). Null buffer when out of storage.
uint8_t *startMessage(PcfCursor *cursor, uint8_t **slot, int32_t command) {
    *slot = static_cast<uint8_t *>(CSGetMem(kSaveBuffer));
    if (!*slot) return nullptr;
    MQPCFInitHeader(*slot, MQCFT_COMMAND, command);
    mqiPutI32(*slot, offsetof(MQCFH, Version), kStoredVersion);
    MQPCFInitBuilder(cursor, *slot, kSaveBuffer, 1, kSaveGrowth, slot);
    return *slot;
}

int32_t buildConfig(PcfCursor *c) {
    int32_t reason = cfgWriteSettings(c);
    CSRecursiveGuard guard(gStructureLock);
    for (CSTree *n = CSTreeFirst(evEventQueueTree); n && !reason; n = n->next)
        reason = evCfgWriteEventQueue(c, reinterpret_cast<EventQueueDef *>(n));
    for (const EmitterDef *e = evEmitterList; e && !reason; e = e->next) reason = evCfgWriteEmitter(c, e);
    for (const StreamDef *d = evStreamDefList; d && !reason; d = d->next) reason = evCfgWriteStream(c, d);
    for (CSTree *n = CSTreeFirst(evQmgrTree); n && !reason; n = n->next)
        reason = evCfgWriteQmgr(c, reinterpret_cast<QmgrEntry *>(n));
    return reason;
}

// Under the alert lock: the alerts in list order, at most maxCount, while the message stays within
// limit. 4043 when the n-th alert (*written) crossed it.
int32_t buildAlerts(PcfCursor *c, int32_t limit, uint32_t maxCount, uint32_t *written) {
    *written = 0;
    for (const AlertDef *a = evAlertList; a && *written < maxCount; a = a->next) {
        if (int32_t reason = evCfgWriteAlert(c, a)) return reason;
        ++*written;
        if (c->position > limit) return MQRCCF_DATA_TOO_LARGE;
    }
    return 0;
}

// Drops what a load did not name: nothing made in a unit that was backed out survives a reload.
// Runtime streams of a dropped definition go with it.
void freeUnnamed(const CfgLoadNames &names) {
    auto isNamed = [](const auto &list, const void *item) {
        for (const void *n : list)
            if (n == item) return true;
        return false;
    };
    for (StreamDef **link = &evStreamDefList; *link;) {
        StreamDef *def = *link;
        if (isNamed(names.streams, def)) {
            link = &def->next;
            continue;
        }
        CSRecursiveGuard guard(gStructureLock);
        for (CSTree *n = CSTreeFirst(evQmgrTree); n; n = n->next) {
            for (Stream **s = &reinterpret_cast<QmgrEntry *>(n)->streams; *s;) {
                if ((*s)->definition != def) {
                    s = &(*s)->next;
                    continue;
                }
                Stream *gone = *s;
                *s = gone->next;
                gone->next = nullptr;
                evStreamFree(gone);
            }
        }
        *link = def->next;
        CSFreeMem(def);
    }
    for (EmitterDef **link = &evEmitterList; *link;) {
        EmitterDef *emitter = *link;
        if (isNamed(names.emitters, emitter)) {
            link = &emitter->next;
            continue;
        }
        // The disconnect or the re-synchronisation has closed its outputs.
        if (emitter->openFile || emitter->queues[0].handle != EV_EMIT_NOT_OPEN ||
            emitter->queues[1].handle != EV_EMIT_NOT_OPEN)
            CS_TRAP(static_cast<int32_t>(emitter->nameLength));
        *link = emitter->next;
        CSFreeMem(emitter);
    }
}

void addDefaultQueues() {
    const bool zos = cfgEngine.qmgrPlatform && cfgEngine.qmgrPlatform() == MQPL_ZOS;
    const size_t n = zos ? kZosQueues : sizeof kDefaultQueues / sizeof kDefaultQueues[0];
    for (size_t i = 0; i < n; i++) evEventQueueAddDefault(kDefaultQueues[i]);
}

// What the log shows of the configuration once it is loaded.
void loaded(EvSettingsValues *values) {
    evSettingsWrite(values);
    evSettings.deadQueueReopen.store(1);
    auto name = [](const evValueName *table, int32_t value) -> const char * {
        const evValueName *row = evValueNameByValue(table, value);
        return row ? row->keyword : nullptr;
    };
    LogConfiguration log{values->alertRetention,
                         values->deadQueue,
                         name(evUseDlqNames, values->useDlq),
                         name(evDispCmdsNames, values->displayCommands),
                         values->resetTime,
                         name(evVerCheckNames, values->versionCheck),
                         values->stormThreshold,
                         values->stormInterval};
    logConfigurationLoaded(&log);
    evEchoEv(values);
}

// The browse of the kind's message into a buffer of its own that doubles (or takes the message's
// length) on 2080. The reason; *buffer the counted-heap buffer, null when out of storage.
// The browse cursor stays on a message too long for the buffer: it is read again under the cursor.
MQLONG browse(EvStreamIo *io, uint8_t kind, MQLONG options, MQLONG size, uint8_t **buffer, MQLONG *length,
              MQMD *md) {
    for (;;) {
        *buffer = static_cast<uint8_t *>(CSGetMem(static_cast<uint64_t>(size)));
        if (!*buffer) return MQRC_STORAGE_NOT_AVAILABLE;
        MQLONG reason = get(io, kind, options, *buffer, size, length, md);
        if (reason != MQRC_TRUNCATED_MSG_FAILED) return reason;
        CSFreeMem(*buffer);
        *buffer = nullptr;
        if (size > INT32_MAX / 2) return reason;
        size = *length > 2 * size ? *length : 2 * size;
        options = (options & ~(MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT)) | MQGMO_BROWSE_MSG_UNDER_CURSOR;
    }
}

const char *kindName(uint8_t kind) {
    return kind == EV_DQ_KIND_CONFIG ? "configuration" : "alert";
}

// The message's key and MsgId, for the lines that name it.
struct MessageName {
    char correlId[2 * MQ_CORREL_ID_LENGTH + 1];
    char msgId[2 * MQ_MSG_ID_LENGTH + 1];
};
MessageName nameOf(const MQMD &md) {
    MessageName name;
    evIdToHex(md.CorrelId, name.correlId);
    evIdToHex(md.MsgId, name.msgId);
    return name;
}

// The program's own layout of the kind's message: a PCF command message of the kind's command, in
// the byte order of this machine (the MQMD's encoding is checked on its own).
bool ownLayout(uint8_t kind, const MQMD &md, const uint8_t *message, MQLONG length) {
    const int32_t command = kind == EV_DQ_KIND_CONFIG ? kConfigCommand : kAlertCommand;
    return std::memcmp(md.Format, MQFMT_PCF, MQ_FORMAT_LENGTH) == 0 && length >= MQCFH_STRUC_LENGTH &&
           mqiGetI32(message, offsetof(MQCFH, Type)) == MQCFT_COMMAND &&
           mqiGetI32(message, offsetof(MQCFH, StrucLength)) == MQCFH_STRUC_LENGTH &&
           mqiGetI32(message, offsetof(MQCFH, Command)) == command;
}

// Behind the kept message: further messages of the own layout, noted (up to kDuplicatesNoted) for the
// next save to remove with it, a line each.
void noteDuplicates(EvStreamIo *io, uint8_t kind) {
    for (;;) {
        uint8_t head[MQCFH_STRUC_LENGTH];
        MQLONG length = 0;
        MQMD md;
        MQLONG reason =
            get(io, kind, MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG, head, sizeof head, &length, &md);
        if (reason != MQRC_NONE && reason != MQRC_TRUNCATED_MSG_ACCEPTED) return;
        if (!ownLayout(kind, md, head, length)) continue;
        KeptMessage &k = kept[kind];
        if (k.duplicates == kDuplicatesNoted) continue;
        std::memcpy(k.duplicate[k.duplicates++], md.MsgId, MQ_MSG_ID_LENGTH);
        const MessageName name = nameOf(md);
        evOutputF(EV_OUT_ERROR, 1, "Duplicate %s message ignored: MsgId X'%s'; the next save removes it",
                  kindName(kind), name.msgId);
    }
}

// The kind's messages browsed in queue order: foreign ones are skipped with a line each; the first
// of the own layout becomes the kept message, left in *buffer (the caller frees it). MQRC_NONE when
// found, MQRC_NO_MSG_AVAILABLE when there is none, else the failing reason.
MQLONG browseOwn(EvStreamIo *io, uint8_t kind, MQLONG options, MQLONG size, uint8_t **buffer, MQLONG *length,
                 MQMD *md) {
    kept[kind] = KeptMessage{};
    for (MQLONG position = MQGMO_BROWSE_FIRST;; position = MQGMO_BROWSE_NEXT) {
        MQLONG reason = browse(io, kind, options | position, size, buffer, length, md);
        if (reason != MQRC_NONE) return reason;
        if (ownLayout(kind, *md, *buffer, *length)) {
            kept[kind].present = true;
            std::memcpy(kept[kind].msgId, md->MsgId, MQ_MSG_ID_LENGTH);
            noteDuplicates(io, kind);
            return MQRC_NONE;
        }
        const MessageName name = nameOf(*md);
        evOutputF(
            EV_OUT_ERROR, 1,
            "Foreign message under the %s key skipped: CorrelId X'%s' MsgId X'%s' Format '%.8s' length %d",
            kindName(kind), name.correlId, name.msgId, md->Format, *length);
        CSFreeMem(*buffer);
        *buffer = nullptr;
    }
}

// A message of the own layout that cannot be used ends the program: a start without it would replace
// it at the next save.
int endForMessage(uint8_t kind, const MQMD &md, const char *what) {
    const MessageName name = nameOf(md);
    evOutputF(EV_OUT_ERROR, 1,
              "%s: %s message CorrelId X'%s' MsgId X'%s'. Move it off the data queue to start without it, "
              "or put back a sound copy",
              what, kindName(kind), name.correlId, name.msgId);
    evEndWith(EV_EXIT_START);
    return 0;
}

}  // namespace

// ---- Saving ----

int evCfgSave(EvStreamIo *io, char *errorText) {
    MQLONG reason = MQRC_NONE;
    uint8_t *buffer = nullptr;
    PcfCursor cursor;
    if (!beforeSave(io, EV_DQ_KIND_CONFIG)) {
        reason = MQRC_BACKED_OUT;
    } else if (!startMessage(&cursor, &buffer, kConfigCommand)) {
        reason = MQRC_STORAGE_NOT_AVAILABLE;
    } else if ((reason = removeOld(io, EV_DQ_KIND_CONFIG)) == MQRC_NONE) {
        evConfigChanged.store(0);  // what changes from here on is not in this message
        if ((reason = buildConfig(&cursor)) == MQRC_NONE &&
            (reason = put(io, EV_DQ_KIND_CONFIG, buffer, cursor.position)) != MQRC_NONE) {
            char text[EV_CONFIG_TEXT];
            std::snprintf(text, sizeof text, "Error saving configuration RC(%d) %s", reason,
                          evReasonText(reason));
            cfgReportMQError(io, text, reason);
            evDataQueueRefused(reason);
        }
        if (reason != MQRC_NONE) evConfigChanged.store(1);
    }
    if (buffer) CSFreeMem(buffer);
    if (reason == MQRC_NONE) {
        saved(io, EV_DQ_KIND_CONFIG);
        return 1;
    }
    std::snprintf(errorText, EV_CONFIG_TEXT, "Error updating configuration RC(%d) %s", reason,
                  evReasonText(reason));
    evOutput(EV_OUT_ERROR, errorText, -1, 1);
    return 0;
}

int evAlertSave(EvStreamIo *io, char *errorText) {
    auto fail = [&](const char *what, MQLONG reason) {
        std::snprintf(errorText, EV_CONFIG_TEXT, "%s RC(%d) %s", what, reason, evReasonText(reason));
        cfgReportMQError(io, errorText, reason);
        return 0;
    };
    if (!beforeSave(io, EV_DQ_KIND_ALERTS)) return fail("Error putting alerts", MQRC_BACKED_OUT);
    uint8_t *buffer = nullptr;
    PcfCursor cursor;
    if (!startMessage(&cursor, &buffer, kAlertCommand))
        return fail("Error constructing alert message", MQRC_STORAGE_NOT_AVAILABLE);
    if (MQLONG reason = removeOld(io, EV_DQ_KIND_ALERTS)) {
        CSFreeMem(buffer);
        return fail("Error reading alerts", reason);
    }
    const int32_t maxLength = cfgEngine.dataQueueMaxMsgLength ? cfgEngine.dataQueueMaxMsgLength() : 0;
    const int32_t limit = (maxLength > 0 ? maxLength : kDefaultMaxMsgLength) - kAlertRoom;
    int32_t reason;
    {
        CSRecursiveGuard guard(gAlertLock);
        evAlertsChanged.store(0);  // taken with the list it describes
        uint32_t written = 0;
        reason = buildAlerts(&cursor, limit, UINT32_MAX, &written);
        if (reason == MQRCCF_DATA_TOO_LARGE) {
            // The tail is left out: the lowest severities and, among them, the oldest alerts.
            cfgReportMQError(io, "Alerts pruned because of message size limit.", reason);
            CSFreeMem(buffer);
            buffer = startMessage(&cursor, &buffer, kAlertCommand);
            reason = buffer ? buildAlerts(&cursor, limit, written - 1, &written) : MQRC_STORAGE_NOT_AVAILABLE;
        }
        if (reason != MQRC_NONE) evAlertsChanged.store(1);
    }
    if (reason != MQRC_NONE) {
        if (buffer) CSFreeMem(buffer);
        return fail("Error constructing alert message", reason);
    }
    reason = put(io, EV_DQ_KIND_ALERTS, buffer, cursor.position);
    CSFreeMem(buffer);
    if (reason != MQRC_NONE) {
        evDataQueueRefused(reason);
        evAlertsChanged.store(1);
        return fail("Error putting alerts", reason);
    }
    saved(io, EV_DQ_KIND_ALERTS);
    return 1;
}

void evCfgUowBackedOut(EvStreamIo *io) {
    for (uint8_t kind = EV_DQ_KIND_CONFIG; kind <= EV_DQ_KIND_ALERTS; kind++) {
        if (stamps[kind].io != io) continue;
        changedFlag(kind).store(1);  // the backout took the saved message away again
        kept[kind] = stamps[kind].before;
        stamps[kind] = SaveStamp{};
    }
}

void evCfgUowCommitted(EvStreamIo *io) {
    const bool alertsKept = stamps[EV_DQ_KIND_ALERTS].io == io;
    for (SaveStamp &stamp : stamps)
        if (stamp.io == io) stamp = SaveStamp{};
    // What the subscribers are told of is kept now.
    if (alertsKept) cfgAlertPublishHeld();
}

// ---- Loading ----

int evCfgLoadMessage(uint8_t *message, int32_t length, int32_t encoding) {
    if (length < MQCFH_STRUC_LENGTH) {
        evOutputF(EV_OUT_ERROR, 1, "Error reading configuration RC(%d) %s", MQRC_STORAGE_NOT_AVAILABLE,
                  evReasonText(MQRC_STORAGE_NOT_AVAILABLE));
        return 0;
    }
    if (encoding != kNativeEncoding || mqiGetI32(message, offsetof(MQCFH, Command)) != kConfigCommand) {
        evOutput(EV_OUT_ERROR,
                 "HOLVA.ZUNT.DATA.QUEUE message data does not appear to be in the correct format", -1, 1);
        evEndWith(EV_EXIT_START);
        return 0;
    }
    if (!evStreamGetHooks()->qmgrStreamList) cfgInstall();  // runtime streams link to their queue manager
    EvSettingsValues values;
    evSettingsRead(&values);
    CfgLoadNames names;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, message, length, 0);
    for (;;) {
        int32_t type = 0, id = 0, valueLength = 0, count = 0, compCode = 0, reason = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &compCode, &reason);
        if (compCode != MQCC_OK) {
            // Items left over (a lowered ParameterCount) are damage as much as items past the end.
            if (reason == PCF_END_OF_MESSAGE && MQPCFReadWhole(&cursor)) break;
            if (reason == PCF_END_OF_MESSAGE) reason = MQRCCF_CFH_PARM_COUNT_ERROR;
            evOutputF(EV_OUT_ERROR, 1, "Error reading configuration RC(%d) %s", reason, evReasonText(reason));
            return 0;
        }
        if (type != MQCFT_GROUP) {
            cfgParseSetting(&values, type, id, value, valueLength);
            continue;
        }
        int ok;
        switch (id) {
            case HLV_ATTR_EVENT_Q_GROUP:
                ok = evCfgParseEventQueue(&cursor);
                break;
            case HLV_ATTR_EMIT_DEF_GROUP:
                ok = evCfgParseEmitter(&cursor, &names);
                break;
            case HLV_ATTR_STREAM_DEF_GROUP:
                ok = evCfgParseStream(&cursor, &names);
                break;
            case HLV_ATTR_QMS_GROUP:
                ok = evCfgParseQmgr(&cursor, &names);
                break;
            default:
                ok = cfgReadGroup(&cursor, [](int32_t, int32_t, void *, int32_t, int32_t) {});
                break;
        }
        if (!ok) return 0;
    }
    loaded(&values);
    freeUnnamed(names);
    // The find-or-adds of the load mark the model changed, yet it is now what the message holds:
    // left marked, every connect would rewrite the message at its first sync point.
    evConfigChanged.store(0);
    return 1;
}

int evCfgLoad(EvStreamIo *io) {
    for (SaveStamp &stamp : stamps) stamp = SaveStamp{};  // a new connection: no unit is open
    if (!evStringsCreateStream()) return 0;
    MQLONG options = 0;  // the browse's position is browseOwn's
    if (evDebugOptions.load() & EV_OPT_v) options |= MQGMO_CONVERT;
    uint8_t *buffer = nullptr;
    MQLONG length = 0;
    MQMD md;
    MQLONG reason = browseOwn(io, EV_DQ_KIND_CONFIG, options, kConfigLoadBuffer, &buffer, &length, &md);
    if (!buffer && reason == MQRC_STORAGE_NOT_AVAILABLE) {
        evOutput(EV_OUT_ERROR, "Can not allocate message area", -1, 1);
        return 0;
    }
    if (reason == MQRC_NO_MSG_AVAILABLE) {
        CSFreeMem(buffer);
        addDefaultQueues();
        evConfigLoadedChanged.store(1);
        freeUnnamed(CfgLoadNames{});
        return 1;
    }
    int ok = 0;
    if (reason != MQRC_NONE)
        evOutputF(EV_OUT_ERROR, 1, "Error reading configuration RC(%d) %s", reason, evReasonText(reason));
    else if (md.Encoding != kNativeEncoding)
        endForMessage(EV_DQ_KIND_CONFIG, md,
                      "HOLVA.ZUNT.DATA.QUEUE message data does not appear to be in the correct format");
    else if (!(ok = evCfgLoadMessage(buffer, length, md.Encoding)))
        endForMessage(EV_DQ_KIND_CONFIG, md, "Stored configuration is damaged");
    if (buffer) CSFreeMem(buffer);
    return ok;
}

int evAlertLoadMessage(uint8_t *message, int32_t length) {
    if (length < MQCFH_STRUC_LENGTH) return 0;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, message, length, 0);
    AlertDef *last = nullptr;
    auto *alert = static_cast<AlertTemplate *>(CSGetMem(sizeof(AlertTemplate)));
    if (!alert) return 0;
    int ok = 1;
    for (;;) {
        int32_t type = 0, id = 0, valueLength = 0, count = 0, compCode = 0, reason = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &compCode, &reason);
        if (compCode != MQCC_OK) {
            ok = reason == PCF_END_OF_MESSAGE && MQPCFReadWhole(&cursor);  // nothing left over
            break;
        }
        if (type != MQCFT_GROUP) continue;
        if (id != HLV_ATTR_EVENT_ALERT_GROUP) {
            if (!cfgReadGroup(&cursor, [](int32_t, int32_t, void *, int32_t, int32_t) {})) ok = 0;
        } else if (evCfgParseAlert(&cursor, alert)) {
            char text[EV_CONFIG_TEXT];
            // In stored order: each goes after the one added before it, without a search.
            if (!cfgAlertAddLoaded(&alert->alert, &last, text)) {
                evOutput(EV_OUT_ERROR, text, -1, 1);
                ok = 0;
            }
        } else {
            ok = 0;
        }
        if (!ok) break;
    }
    CSFreeMem(alert);
    return ok;
}

int evAlertLoad(EvStreamIo *io) {
    {
        // Memory becomes what the message holds: nothing is left to save. An alert another thread
        // adds during the load still marks the list.
        CSRecursiveGuard guard(gAlertLock);
        evAlertFreeAll();
        evAlertsChanged.store(0);
    }
    uint8_t *buffer = nullptr;
    MQLONG length = 0;
    MQMD md;
    MQLONG reason = browseOwn(io, EV_DQ_KIND_ALERTS, 0, kAlertLoadBuffer, &buffer, &length, &md);
    int ok = 0;
    if (reason == MQRC_NO_MSG_AVAILABLE) {
        ok = 1;
    } else if (reason != MQRC_NONE) {
        evOutputF(EV_OUT_ERROR, 1, "Error reading alerts RC(%d) %s", reason, evReasonText(reason));
    } else if (md.Encoding != kNativeEncoding) {
        ok = endForMessage(EV_DQ_KIND_ALERTS, md,
                           "HOLVA.ZUNT.DATA.QUEUE message data does not appear to be in the correct format");
    } else if (!(ok = evAlertLoadMessage(buffer, length))) {
        // Unlike the documented load, which fails: the alerts before the damage are kept, the rest
        // are lost, and the next save replaces the message. Alerts come and go: a start without some
        // of them is sound.
        const MessageName name = nameOf(md);
        evOutputF(
            EV_OUT_ERROR, 1,
            "Stored alerts damaged: the alerts after the damage are dropped (CorrelId X'%s' MsgId X'%s')",
            name.correlId, name.msgId);
        ok = 1;
    }
    if (buffer) CSFreeMem(buffer);
    return ok;
}
