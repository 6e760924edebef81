// Aggregation messages on the data queue: hardening the changed entries into their messages and
// putting them in the set's unit of work, removing them by MsgId, and loading them at connect. A load
// checks a message's whole layout before it folds anything of it, so one damaged message is reported
// and left alone instead of failing every connect.
#include <cinttypes>
#include <cstdio>

#include "stats/aggr.h"

namespace {

constexpr MQLONG kRemoveInUnit = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;     // 66
constexpr MQLONG kRemoveAtOnce = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;  // 68
constexpr MQLONG kBrowseFirst = MQGMO_BROWSE_FIRST | MQGMO_ACCEPT_TRUNCATED_MSG;
constexpr MQLONG kBrowseNext = MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG;
constexpr char kLoadFailed[] = "Loading Aggregation Message Failed";

void correlId(uint8_t *out) {
    std::memset(out, 0, 24);
    out[0] = AGGR_CORREL_KIND;
}

void msgIdHex(const uint8_t *msgId, char *hex) {
    for (int i = 0; i < 24; i++) std::snprintf(hex + 2 * i, 3, "%02X", msgId[i]);
}

bool tracing() {
    return (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_g) != 0;
}

// With the portion detail (letter G) the messages and portions are dumped item by item.
void dump(const char *label, const uint8_t *record, uint32_t length) {
    if ((evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_G) != EV_DBG_G) return;
    evDumpPCF(&evStreamStringPool, label, EV_DUMP_PARMS, record, length);
}

void failed(EvStreamIo *io, const char *verb, MQLONG reason) {
    char text[160];
    std::snprintf(text, sizeof text, "%s(DATA_QUEUE) failed with RC(%d) %s", verb, reason,
                  evReasonSymbol(reason));
    evDataQueueRefused(reason);
    EvStreamHooks *hooks = evStreamGetHooks();
    if (hooks->reportMQError)
        hooks->reportMQError(io, text, reason);
    else
        evOutput(EV_OUT_ERROR, text, -1, 1);
    if (reason == MQRC_BACKED_OUT && hooks->endConnection) hooks->endConnection();
}

MQLONG getMessage(EvStreamIo *io, MQMD *md, MQLONG options, void *buffer, MQLONG bufferLength,
                  MQLONG *length) {
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_1;  // matches MsgId and CorrelId as given
    gmo.Options = options;
    gmo.WaitInterval = 0;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    char none = 0;
    *length = 0;
    if (io && io->mq && io->mq->MQGET) {
        evTraceCallIn("MQGET(Aggr)", io->hconn, 0, io->hobj);
        io->mq->MQGET(io->hconn, io->hobj, md, &gmo, bufferLength, buffer ? buffer : &none, length, &compCode,
                      &reason);
        evTraceCallOut("MQGET(Aggr)", io->hconn, 0, reason);
    }
    return reason;
}

MQMD aggrMd() {
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    md.MsgType = MQMT_DATAGRAM;
    md.Expiry = MQEI_UNLIMITED;
    md.Encoding = 546;
    std::memcpy(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH);
    md.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    correlId(md.CorrelId);
    return md;
}

// The message was last put or removed in io's open unit: IBM MQ hides an uncommitted put even from its
// putter, so that unit commits before the message is touched again.
int settleUnit(EvStreamIo *io, const AggrMsgDesc *message) {
    if (message->stamp.io != io || message->stamp.unit != io->unit) return 1;
    return evStreamCommit(io);
}

// What a harden changed, so that a failure gives it all back.
struct HardenJournal {
    struct Slot {
        void *what;  // an AggrEntry (dirty cleared) or an AggrMsgDesc (as it was before its put)
        AggrMsgDesc before;
        int isMessage;
    };
    Slot *slots = nullptr;
    uint32_t used = 0;
    uint32_t capacity = 0;

    int note(void *what, int isMessage) {
        if (used == capacity) {
            uint32_t grown = capacity ? capacity * 2 : 256;
            auto *bigger = static_cast<Slot *>(CSGetMem(uint64_t{grown} * sizeof(Slot)));
            if (!bigger) return 0;
            if (used) std::memcpy(static_cast<void *>(bigger), slots, used * sizeof(Slot));
            if (slots) CSFreeMem(slots);
            slots = bigger;
            capacity = grown;
        }
        Slot &slot = slots[used++];
        slot.what = what;
        slot.isMessage = isMessage;
        if (isMessage) slot.before = *static_cast<AggrMsgDesc *>(what);
        return 1;
    }
    void restore() {
        for (uint32_t i = used; i-- > 0;) {
            if (!slots[i].isMessage) {
                static_cast<AggrEntry *>(slots[i].what)->dirty = 1;
                continue;
            }
            auto *m = static_cast<AggrMsgDesc *>(slots[i].what);
            AggrMsgDesc *next = m->next;
            *m = slots[i].before;
            m->next = next;
            m->dirty = 1;
        }
        evAggrState.changed.store(1);
    }
    ~HardenJournal() {
        if (slots) CSFreeMem(slots);
    }
};

// The entry's portion into its message body: the whole record when it is the first portion.
int addPortion(AggrWork *work, AggrEntry *entry) {
    AggrFamily *family = &evAggrFamilies[work->bin->family];
    evCFWriter w;
    evCFWriterInit(&w, AreaData(work->area), work->area->capacity, &evStreamStringPool, 850);
    evCFSetCommand(w.record, family->stats->command);
    evCFSetIntervalEnd(w.record, work->bin->end);
    evCFSetIntervalStart(w.record, work->bin->start);
    w.fixedLength = 1;
    QmgrEntry *qmgr = work->qmgr;
    if (qmgr->nameId == 0) qmgr->nameId = evStringIntern(1, 850, qmgr->name, qmgr->nameLength, 0, nullptr);
    const StringEntry *qmgrName = qmgr->nameId ? evStringLookup(qmgr->nameId) : nullptr;
    uint32_t level = aggrGet<uint32_t>(entry->record, aggrFieldOffset(family, AGGR_ID_COMMAND_LEVEL));
    if (!qmgrName || !aggrWriteCommon(&w, family, qmgrName, work->definition->streamId, level)) return 0;
    uint32_t common = w.length;
    uint32_t commonCount = evCFGetItemCount(w.record);
    if (!aggrWritePortion(&w, family, entry->record, 1)) return 0;
    // The layout's invariant: every common part and every portion of a family has one length.
    if (common != family->commonLength || w.length - common != family->portionLength) {
        CS_TRAP(static_cast<int32_t>(w.length));
        return 0;
    }
    uint8_t *body = aggrBody(entry->message);
    if (entry->offset == 0) {
        std::memcpy(body, w.record, w.length);
        entry->message->commonCount = commonCount;
    } else {
        std::memcpy(body + entry->offset, w.record + common, family->portionLength);
    }
    entry->written = 1;
    dump("Aggr Data Portion", w.record, w.length);
    return 1;
}

template <class Visit>
bool forEachActiveBin(Visit visit) {
    EvStreamHooks *hooks = evStreamGetHooks();
    if (!hooks->nextQmgr) return true;
    for (QmgrEntry *qmgr = hooks->nextQmgr(nullptr); qmgr; qmgr = hooks->nextQmgr(qmgr))
        for (Stream *stream = qmgr->streams; stream; stream = stream->next)
            for (AggrBin *bin = stream->aggregation; bin; bin = bin->next)
                if (bin->active && !visit(qmgr, stream, bin)) return false;
    return true;
}

QmgrEntry *findQmgr(const StringEntry *name) {
    if (!name || name->id == 0 || name->length == 0 || name->length > EV_QUEUE_NAME_MAX) return nullptr;
    char key[EV_QUEUE_NAME_MAX + 1] = {};
    std::memcpy(key, name->text, name->length);
    CSTree *node = CSTreeFind(evQmgrTree, key, static_cast<int32_t>(sizeof key));
    return reinterpret_cast<QmgrEntry *>(node);
}

Stream *runtimeStream(QmgrEntry *qmgr, StreamDef *definition) {
    for (Stream *stream = qmgr->streams; stream; stream = stream->next)
        if (stream->definition == definition) return stream;
    return evStreamCreate(qmgr, definition);
}

// The layout of a loaded message, checked whole: its common part and each portion's record.
struct LoadedMessage {
    AggrFamily *family;
    const StringEntry *qmgrName;
    uint32_t streamId;
    uint32_t commonCount;
    uint32_t portions;
    uint32_t firstLayout;  // 1: of an earlier layout (stats/aggr.h), to be written again
    uint8_t *records;      // portions x AGGR_RECORD_MAX
    uint8_t *connIds;      // portions x AGGR_CONN_ID_MAX
};

// 1 sound, 0 damaged, -1 out of storage.
// The message read as portions of portionLength bytes each.
int checkLayoutAs(const uint8_t *body, uint32_t length, AggrFamily *family, uint32_t portionLength,
                  LoadedMessage *out) {
    if (length < family->commonLength + portionLength || (length - family->commonLength) % portionLength != 0)
        return 0;
    uint32_t portions = (length - family->commonLength) / portionLength;
    if (portions > family->maxPortions) return 0;
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, body, length, 0, 0);
    // The common part: 39340, 39337 and 31, padding between.
    int seen = 0;
    for (;;) {
        evCFCursor before = cursor;
        evCFItem item;
        if (!statsNextItem(&cursor, &item)) return 0;
        if (item.type == MQCFT_GROUP) {
            if (cursor.currentItem != body + family->commonLength) return 0;
            cursor = before;  // the portion's reader takes the group item
            break;
        }
        if (item.parmId == STATS_ID_QMGR_NAME && item.type == EVCF_STRING_ID) {
            out->qmgrName = evStringLookup(static_cast<uint32_t>(item.value));
            seen |= 1;
        } else if (item.parmId == STATS_ID_STREAM && item.type == MQCFT_INTEGER) {
            out->streamId = static_cast<uint32_t>(item.value);
            seen |= 2;
        } else if (item.parmId == AGGR_ID_COMMAND_LEVEL) {
            seen |= 4;
        } else {
            return 0;
        }
    }
    if (seen != 7) return 0;
    out->commonCount = evCFGetItemCount(body) - portions;
    if (evCFGetItemCount(body) < portions) return 0;
    out->records =
        static_cast<uint8_t *>(CSGetMem(uint64_t{portions} * (AGGR_RECORD_MAX + AGGR_CONN_ID_MAX)));
    if (!out->records) return -1;
    out->connIds = out->records + uint64_t{portions} * AGGR_RECORD_MAX;
    for (uint32_t i = 0; i < portions; i++) {
        uint8_t *record = out->records + uint64_t{i} * AGGR_RECORD_MAX;
        statsPreset(family->stats, record);
        if (!aggrReadPortion(&cursor, family, record, out->connIds + uint64_t{i} * AGGR_CONN_ID_MAX) ||
            cursor.position != family->commonLength + (i + 1) * portionLength)
            return 0;
        statsFinish(family->stats, record);
    }
    if (cursor.position != length) return 0;
    out->portions = portions;
    return 1;
}

int checkLayout(const uint8_t *body, uint32_t length, LoadedMessage *out) {
    if (length < EVCF_HEADER_LENGTH) return 0;
    AggrFamily *family = aggrFamilyByCommand(evCFGetCommand(body));
    if (!family) return 0;
    // A bin of a calendar time, no longer than a (local) day.
    int64_t start = evCFGetIntervalStart(body), end = evCFGetIntervalEnd(body);
    if (start < 0 || end <= start || end > AGGR_TIME_MAX || end - start > AGGR_DAY_MAX) return 0;
    if (!aggrSizeFamily(family)) return -1;
    out->family = family;
    // The present layout, else an earlier one (a length may suit two: the items decide).
    int sound = checkLayoutAs(body, length, family, family->portionLength, out);
    uint32_t tried = family->portionLength;
    for (uint32_t earlier : {family->portionLengthV3, family->portionLengthV2, family->portionLengthV1}) {
        if (sound != 0 || earlier == tried || earlier == family->portionLength) continue;
        if (out->records) CSFreeMem(out->records);
        *out = LoadedMessage{};
        out->family = family;
        out->firstLayout = 1;
        sound = checkLayoutAs(body, length, family, earlier, out);
        tried = earlier;
    }
    return sound;
}

}  // namespace

int aggrMsgRemove(AggrWork *work, int syncpoint, AggrMsgDesc *message) {
    EvStreamIo *io = work->io;
    if (!settleUnit(io, message)) return 0;
    MQMD md = aggrMd();
    md.CodedCharSetId = 850;
    md.Persistence = MQPER_PERSISTENCE_AS_Q_DEF;
    std::memcpy(md.MsgId, message->msgId, sizeof md.MsgId);
    char hex[49];
    if (tracing()) {
        msgIdHex(message->msgId, hex);
        evOutputF(EV_OUT_PROGRESS, 1, "  Removing Aggregation Message : %.48s", hex);
    }
    MQLONG length = 0;
    MQLONG reason = getMessage(io, &md, syncpoint ? kRemoveInUnit : kRemoveAtOnce, nullptr, 0, &length);
    if (reason == MQRC_TRUNCATED_MSG_ACCEPTED) {
        if (syncpoint) {
            io->inFlight++;
            message->stamp = BlobStamp{io, io->unit, 0};
        }
        evDataQueueMsgCount--;
        if (work->stream && work->stream->aggrMsgs) work->stream->aggrMsgs--;
        if (tracing()) evOutput(EV_OUT_PROGRESS, "  Message removed", -1, 1);
        return 1;
    }
    if (reason == MQRC_NO_MSG_AVAILABLE) return 1;
    failed(io, "MQGET", reason);
    return 0;
}

int aggrMsgRemoveAll(AggrWork *work, int syncpoint) {
    AggrBin *bin = work->bin;
    while (AggrMsgDesc *message = bin->messages) {
        if (message->written && !aggrMsgRemove(work, syncpoint, message)) return 0;
        bin->messages = message->next;
        aggrPoolGive(&evAggrFamilies[message->family].messages, message);
    }
    work->message = nullptr;
    return 1;
}

int aggrMsgPut(AggrWork *work, AggrMsgDesc *message) {
    EvStreamIo *io = work->io;
    AggrFamily *family = &evAggrFamilies[message->family];
    // 1.
    if (!settleUnit(io, message)) return 0;
    if (message->written && !aggrMsgRemove(work, 1, message)) return 0;
    // 2.
    uint8_t *body = aggrBody(message);
    uint32_t length = family->commonLength + message->portions * family->portionLength;
    evCFSetItemCount(body, static_cast<uint16_t>(message->commonCount + message->portions));
    dump("Hardening Aggr Msg", body, length);
    // 3.
    MQMD md = aggrMd();
    md.CodedCharSetId = 0;
    md.Persistence = MQPER_PERSISTENT;
    if (message->written) std::memcpy(md.MsgId, message->msgId, sizeof md.MsgId);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Options = MQPMO_SYNCPOINT;
    pmo.Timeout = -1;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    if (io && io->mq && io->mq->MQPUT) {
        evTraceCallIn("MQPUT(Aggr)", io->hconn, 0, io->hobj);
        io->mq->MQPUT(io->hconn, io->hobj, &md, &pmo, static_cast<MQLONG>(length), body, &compCode, &reason);
        evTraceCallOut("MQPUT(Aggr)", io->hconn, 0, reason);
    }
    // 5.
    if (compCode == MQCC_FAILED) {
        failed(io, "MQPUT", reason);
        return 0;
    }
    // 4.
    evDataQueueMsgCount++;
    io->inFlight++;
    work->stream->aggrMsgs++;
    std::memcpy(message->msgId, md.MsgId, sizeof md.MsgId);
    message->written = 1;
    message->dirty = 0;
    message->stamp = BlobStamp{io, io->unit, 0};
    if (tracing()) {
        char hex[49];
        msgIdHex(message->msgId, hex);
        evOutputF(EV_OUT_PROGRESS, 1, "  Aggregation Message %.48s written", hex);
    }
    return 1;
}

int evAggrHarden(QmgrContext *context, EvStreamIo *io) {
    if (evAggrState.changed.exchange(0) == 0) return 1;
    HardenJournal journal;
    AggrWork work{};
    work.context = context;
    work.io = io;
    bool wrote = false;
    auto fail = [&] {
        journal.restore();
        AreaRelease(&work.area);
        return 0;
    };
    // 2. Every changed entry into its message body.
    bool ok = forEachActiveBin([&](QmgrEntry *qmgr, Stream *stream, AggrBin *bin) {
        work.qmgr = qmgr;
        work.stream = stream;
        work.definition = stream->definition;
        work.bin = bin;
        work.message = nullptr;
        for (AggrKeyGroup *g = bin->groups; g; g = g->next) {
            if (!g->inUse) continue;
            for (AggrEntry *e = g->entries; e; e = e->next) {
                if (!e->dirty && e->written) continue;
                if (!work.area && !(work.area = AreaGet(EV_AGGR_AREA_SIZE, 0, "AGGRAREA"))) return false;
                // A fold that ran out of storage may have left its entry without a slot.
                if (!e->message && !aggrGetMessage(&work, e)) return false;
                if (!journal.note(e, 0)) return false;
                e->dirty = 0;
                if (!addPortion(&work, e)) return false;
                wrote = true;
            }
        }
        return true;
    });
    if (!ok) return fail();
    // 3. Every changed message to the data queue.
    if (wrote)
        ok = forEachActiveBin([&](QmgrEntry *qmgr, Stream *stream, AggrBin *bin) {
            work.qmgr = qmgr;
            work.stream = stream;
            work.definition = stream->definition;
            work.bin = bin;
            for (AggrMsgDesc *m = bin->messages; m; m = m->next) {
                if (!m->dirty) continue;
                if (!journal.note(m, 1) || !aggrMsgPut(&work, m)) return false;
                aggrMarkUnit(io);
            }
            return true;
        });
    if (!ok) return fail();
    AreaRelease(&work.area);
    return 1;
}

int evAggrMsgLoad(AggrWork *work, const uint8_t *body, uint32_t length, const uint8_t *msgId) {
    LoadedMessage loaded{};
    int sound = checkLayout(body, length, &loaded);
    if (sound != 1) {
        if (loaded.records) CSFreeMem(loaded.records);
        return sound;
    }
    dump("Loaded Aggr Msg", body, length);
    int result = 1;
    auto done = [&](int r) {
        CSFreeMem(loaded.records);
        return r;
    };
    // A message of a queue manager no longer known is left alone.
    QmgrEntry *qmgr = findQmgr(loaded.qmgrName);
    if (!qmgr) return done(1);
    AggrFamily *family = loaded.family;
    const uint32_t type = family->stats->streamType;
    StreamDef *definition = loaded.streamId ? evStreamDefFindById(loaded.streamId) : nullptr;
    if (!definition || definition->type != type) {
        // Its stream is no longer defined: the type's default stream takes its records, defined
        // automatically when missing (with the message's stream id when no definition has it), so that
        // the bin is absorbed and the message removed instead of read again at every connect.
        char name[STREAM_NAME_MAX + 1];
        evStreamDefaultName(name, type);
        definition = evStreamDefine(name, -1, type, 1, definition ? 0 : loaded.streamId);
        if (!definition) return done(-1);
    }
    Stream *stream = runtimeStream(qmgr, definition);
    if (!stream) return done(-1);
    // Scheduled, so that the sweep absorbs loaded bins even when no record arrives.
    AggrBin *bin = aggrFindOrOpenBin(stream, family, evCFGetIntervalStart(body), evCFGetIntervalEnd(body), 1);
    if (!bin) return done(-1);
    auto *message = static_cast<AggrMsgDesc *>(aggrPoolTake(&family->messages));
    if (!message) return done(-1);
    message->family = aggrFamilyIndex(family);
    message->next = bin->messages;
    bin->messages = message;
    // A message of the first layout keeps its body (whose strings stay marked in use) and MsgId until the
    // next harden writes its portions again in the present layout (the entries below take their slots
    // afresh) and replaces the old copy.
    std::memcpy(aggrBody(message), body, length);
    std::memcpy(message->msgId, msgId, sizeof message->msgId);
    message->written = 1;
    message->commonCount = loaded.commonCount;
    *work = AggrWork{work->context, work->io, qmgr, stream, definition, bin, message,
                     work->area,    nullptr,  1,    0,      0,          0};
    for (uint32_t i = 0; i < loaded.portions && result == 1; i++) {
        uint8_t *record = loaded.records + uint64_t{i} * AGGR_RECORD_MAX;
        aggrPut(record, 0, stream);
        AggrEntry *entry = aggrFoldOne(work, family, record);
        if (!entry) {
            result = -1;
            break;
        }
        // The portion's connection identifier moves with its record into the entry.
        const StatsField *conn = evStatsFieldById(family->stats, 7006);
        if (conn && aggrGet<const uint8_t *>(entry->record, conn->offset) ==
                        loaded.connIds + uint64_t{i} * AGGR_CONN_ID_MAX) {
            std::memcpy(entry->connId, loaded.connIds + uint64_t{i} * AGGR_CONN_ID_MAX, AGGR_CONN_ID_MAX);
            aggrPut(entry->record, conn->offset, static_cast<const uint8_t *>(entry->connId));
        }
        if (loaded.firstLayout) {
            if (!aggrGetMessage(work, entry)) {
                result = -1;
                break;
            }
            evAggrState.changed.store(1);
            continue;
        }
        entry->message = message;
        entry->offset = i == 0 ? 0 : family->commonLength + i * family->portionLength;
        entry->written = 1;
        message->portions++;
    }
    stream->aggrMsgs++;
    int64_t now = evClockNow();
    bin->lastUpdate = now;
    stream->newestUpdate = now;
    evAggrState.binsExist.store(1);
    work->loading = 0;
    return done(result);
}

int evAggrMsgReadAll(QmgrContext *context, EvStreamIo *io) {
    if (tracing()) evOutput(EV_OUT_PROGRESS, "Reading Aggregation Messages", -1, 1);
    // 1. A message is at most the data queue's largest, well within the area.
    Area *area = AreaGet(EV_AGGR_AREA_SIZE, 0, "evAGGRMSG");
    if (!area) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 1;
    }
    AggrWork work{};
    work.context = context;
    work.io = io;
    int result = 1;
    bool reported = false;
    for (MQLONG options = kBrowseFirst;; options = kBrowseNext) {
        // 2.
        MQMD md = aggrMd();
        md.CodedCharSetId = 850;
        MQLONG length = 0;
        MQLONG reason =
            getMessage(io, &md, options, AreaData(area), static_cast<MQLONG>(area->capacity), &length);
        if (reason == MQRC_NO_MSG_AVAILABLE) break;
        if (reason != MQRC_NONE && reason != MQRC_TRUNCATED_MSG_ACCEPTED) {
            failed(io, "MQGET", reason);
            result = 0;
            break;
        }
        // 3.
        if (tracing()) evOutput(EV_OUT_PROGRESS, "  Aggregation Message Read", -1, 1);
        int loaded = reason == MQRC_NONE
                         ? evAggrMsgLoad(&work, AreaData(area), static_cast<uint32_t>(length), md.MsgId)
                         : 0;
        work.loading = 0;
        if (loaded < 0) {
            evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
            result = 0;
            break;
        }
        if (loaded == 0) {
            // Left on the data queue and skipped: a later version or a repair may still read it. Reported
            // once for the whole load.
            if (!reported) evOutput(EV_OUT_ERROR, kLoadFailed, -1, 1);
            reported = true;
            char hex[49];
            msgIdHex(md.MsgId, hex);
            if (tracing()) evOutputF(EV_OUT_PROGRESS, 1, "  MsgId %.48s", hex);
        }
    }
    AreaRelease(&area);
    return result;
}
