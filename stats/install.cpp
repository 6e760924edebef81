// What the rest of the system takes from the statistics: the record parsers the emitters run over a
// stored record, one object a call, and the DISPLAY field tables registered with the command tables.
#include <cstring>

#include "cmdserver/cmdserver.h"
#include "emit/emit.h"
#include "stats/aggr.h"
#include "stats/intake.h"
#include "stats/internal.h"

namespace {

// Families whose objects each begin with their name: the key part once, then one object a call, its
// averages divided by their counts as DISPLAY shows them.
template <typename Record, void (*ParseKeys)(evCFCursor *, StatsParseContext *, Record *),
          int (*Parse)(evCFCursor *, const Record *, Record *)>
int emitObjects(const StatsFamily *family, int first, evCFCursor *cursor, void *area) {
    auto *work = static_cast<StatsEmitWork<Record> *>(area);
    if (first) {
        *work = StatsEmitWork<Record>{};
        ParseKeys(cursor, nullptr, &work->keys);
    }
    if (work->done) return 0;
    if (!Parse(cursor, &work->keys, &work->object)) {
        work->done = 1;
        return 0;
    }
    statsTrueAverages(family, &work->object, 0);
    work->objects++;
    return 1;
}

void noRule(StatMQIRecord *) {}

// The MQI families: a flat record is one object; an aggregation message gives one per portion.
template <typename Record, void (*Finish)(Record *)>
int emitMqi(const StatsFamily *family, int first, evCFCursor *cursor, void *area) {
    auto *work = static_cast<StatsEmitWork<Record> *>(area);
    if (first) {
        *work = StatsEmitWork<Record>{};
        int found = statsParseMqi(family, 1, cursor, nullptr, &work->keys);
        if (found != STATS_MQI_AT_GROUP) {
            work->done = 1;
            if (found == STATS_MQI_NOTHING) return 0;  // a record of only its header
            work->object = work->keys;
            Finish(&work->object);
            work->objects++;
            return 1;
        }
    }
    if (work->done) return 0;
    work->object = work->keys;
    if (statsParseMqi(family, 0, cursor, nullptr, &work->object) == STATS_MQI_NOTHING) {
        work->done = 1;
        return 0;
    }
    Finish(&work->object);
    work->objects++;
    return 1;
}

}  // namespace

int evStatQEmitParse(int first, evCFCursor *cursor, void *work) {
    return emitObjects<StatQRecord, evStatQParseKeys, evStatQParse>(&evStatQFamily, first, cursor, work);
}
int evStatChlEmitParse(int first, evCFCursor *cursor, void *work) {
    return emitObjects<StatChlRecord, evStatChlParseKeys, evStatChlParse>(&evStatChlFamily, first, cursor,
                                                                          work);
}
int evAcctQEmitParse(int first, evCFCursor *cursor, void *work) {
    return emitObjects<AcctQRecord, evAcctQParseKeys, evAcctQParse>(&evAcctQFamily, first, cursor, work);
}
int evStatMQIEmitParse(int first, evCFCursor *cursor, void *work) {
    return emitMqi<StatMQIRecord, noRule>(&evStatMQIFamily, first, cursor, work);
}
int evAcctMQIEmitParse(int first, evCFCursor *cursor, void *work) {
    return emitMqi<AcctMQIRecord, statsCountConnection>(&evAcctMQIFamily, first, cursor, work);
}

const StatsEmitSlot evStatsEmitSlots[5] = {
    {&evStatMQIFamily, evStatMQIEmitParse, sizeof(StatsEmitWork<StatMQIRecord>)},
    {&evStatQFamily, evStatQEmitParse, sizeof(StatsEmitWork<StatQRecord>)},
    {&evStatChlFamily, evStatChlEmitParse, sizeof(StatsEmitWork<StatChlRecord>)},
    {&evAcctMQIFamily, evAcctMQIEmitParse, sizeof(StatsEmitWork<AcctMQIRecord>)},
    {&evAcctQFamily, evAcctQEmitParse, sizeof(StatsEmitWork<AcctQRecord>)},
};

// ---- Aggregation: the engine's slots and stream storage's hooks ----

StatsEmitHooks evStatsEmitHooks;

namespace {

EvStreamIo *setIo(QmgrContext *context) {
    return context->current ? &context->current->io : &context->sets[EV_SET_E].io;
}
int hardenSlot(QmgrContext *context) {
    return evAggrHarden(context, setIo(context));
}
int absorbSlot(QmgrContext *context) {
    return evAggrAbsorbAll(context, setIo(context));
}
int readAllSlot(QmgrContext *context) {
    return evAggrMsgReadAll(context, &context->sets[EV_SET_C].io);
}
void freeSlot(int32_t reconnect) {
    evAggrFreeAll(reconnect == 0);
}
// The set whose data queue io is, or null (a caller of its own).
ConnectionSet *setOf(QmgrContext *context, const EvStreamIo *io) {
    if (!context) return nullptr;
    for (ConnectionSet &set : context->sets)
        if (&set.io == io) return &set;
    return nullptr;
}

// An absorbed record to the stream's emitter, in the unit of work of the set that absorbs. Nothing
// came in with it: its message persistence follows the rule for records without an input message.
int emitAbsorbed(const AggrWork *work, int noEmit, const uint8_t *msgId, uint8_t *record, uint32_t length) {
    EmitContext c{};
    c.qmgrContext = work->context;
    c.set = setOf(work->context, work->io);
    c.qmgr = work->qmgr;
    c.stream = work->stream;
    c.streamDef = work->definition;
    c.noEmit = static_cast<int8_t>(noEmit != 0 || (work->emit && work->emit->noEmit));
    c.inputMd = nullptr;
    if (msgId) std::memcpy(c.uniqueId, msgId, sizeof c.uniqueId);
    int result = emitRecord(&c, record, length);
    return result == EMIT_REPLACED ? AGGR_REPLACED : result == EMIT_DONE ? 1 : 0;
}

// The copy's absorb of its target's due bins: what a copy stores is never emitted.
int runDueHook(EmitContext *emit, Stream *stream, int reschedule) {
    AggrWork work{};
    work.context = &evContext;
    work.io = setIo(&evContext);
    work.qmgr = stream->qmgr;
    work.stream = stream;
    work.definition = stream->definition;
    work.emit = emit;
    work.noEmit = AGGR_FLAG_FROM_COPY;
    if (emit) emit->noEmit = 1;
    int ok = evAggrRunDue(&work, reschedule);
    AreaRelease(&work.area);
    return ok;
}
// A copy absorbs the source's bin into the target: the source keeps its bins.
int copyAbsorbHook(EmitContext *emit, EvStreamCopy *copy, AggrBin *bin) {
    AggrWork work{};
    work.context = copy->context;
    work.io = copy->io;
    work.qmgr = copy->source->qmgr;
    work.stream = copy->source;
    work.definition = copy->source->definition;
    work.bin = bin;
    work.area = copy->aggrArea;
    work.emit = emit;
    work.noEmit = AGGR_FLAG_FROM_COPY;
    if (emit) emit->noEmit = 1;
    return aggrAbsorb(&work, &evAggrFamilies[bin->family], copy, bin);
}

int installAggregation() {
    evServices.aggrHarden = hardenSlot;
    evServices.aggrAbsorb = absorbSlot;
    evServices.aggrReadAll = readAllSlot;
    evServices.aggrFree = freeSlot;
    evStatsEmitHooks.emitRecord = emitAbsorbed;
    EvStreamHooks hooks = *evStreamGetHooks();
    hooks.discardBins = evAggrDiscardBins;
    hooks.aggrAddRecord = evAggrAddRecord;
    hooks.aggrRunDue = runDueHook;
    for (uint32_t type = STREAM_TYPE_STATQ; type <= STREAM_TYPE_ACCTMQI; type++)
        hooks.absorb[type] = copyAbsorbHook;
    hooks.activeBinsByTime = evAggrActiveBinsByTime;
    hooks.binsForDump = [](const Stream *stream, EvBinView *bins, uint32_t capacity) {
        uint32_t count = 0;
        for (const AggrBin *bin = stream->aggregation; bin != nullptr; bin = bin->next, count++)
            if (count < capacity)
                bins[count] = EvBinView{bin->sequence, bin->active ? 1 : 0, bin->start, bin->end};
        return count;
    };
    evStreamSetHooks(&hooks);
    // DISPLAY EVSTRMST's OLDEST also counts the stream's open bins.
    cmdOldestActiveBin = [](Stream *stream) { return evAggrOldestBin(stream); };
    return aggrInstallHolder();
}

}  // namespace

int statsInstall() {
    int ok = 1;
    for (const StatsEmitSlot &slot : evStatsEmitSlots) {
        if (!evRegisterParmTable(slot.family->displayCode, slot.family->parms)) ok = 0;
        // The emitters' slots are by command, 164 to 168, as evStatsEmitSlots is.
        emitRecordParsers[slot.family->command - EMIT_FIRST_STATS_COMMAND] =
            EmitRecordParser{slot.parse, slot.workSize};
    }
    // Messages of commands 164 to 168 go to the intake instead of the dead-letter queue.
    evServices.statsIntake = statsIntake;
    if (!installAggregation()) ok = 0;
    // The statistics displays the command server dispatches.
    if (!evRegisterCommandHandler(9023, evDisplayStatQ) ||
        !evRegisterCommandHandler(9024, evDisplayStatChl) ||
        !evRegisterCommandHandler(9025, evDisplayStatMQI) ||
        !evRegisterCommandHandler(9026, evDisplayAcctQ) || !evRegisterCommandHandler(9027, evDisplayAcctMQI))
        ok = 0;
    return ok;
}
