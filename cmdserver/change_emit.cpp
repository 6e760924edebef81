// DEFINE, ALTER and DELETE EVEMIT. The command is read whole and checked on a copy before the real
// emitter is touched; an emitter's open file or queue is closed before its outputs change or it is
// freed, so no document is left half in one format and no handle outlives its emitter. Set E is held
// from the first change until the command's unit ends: a command whose save then fails is undone by
// the reload before set E has written a record by it, so nothing goes to a FILE or QUEUE it named.
#include <cstdio>

#include "cmdserver/change.h"
#include "emit/emit.h"

namespace {

constexpr int32_t kEmitterId = 39416;
constexpr int32_t kTargetId = 2016;
// MAXSIZE in kilobytes: its bytes must fit the 32-bit size.
constexpr int32_t kMaxSizeKb = 4194303;

struct EmitterParms {
    EmitterDef values;
    bool replace;
    bool descr, queue, file, format, reader, persistence, maxSize, zero, put, onError, grouping;
};

void apply(const EmitterParms &p, EmitterDef *e) {
    const EmitterDef &v = p.values;
    if (p.descr) std::memcpy(e->descr, v.descr, sizeof e->descr);
    if (p.queue) std::memcpy(e->queue, v.queue, sizeof e->queue);
    if (p.file) std::memcpy(e->file, v.file, sizeof e->file);
    if (p.format) e->format = v.format;
    if (p.reader) e->reader = v.reader;
    if (p.persistence) e->msgPersistence = v.msgPersistence;
    if (p.maxSize) e->maxSize = v.maxSize;
    if (p.zero) e->zeroValues = v.zeroValues;
    if (p.put) e->put = v.put;
    if (p.onError) e->onError = v.onError;
    if (p.grouping) e->grouping = v.grouping;
    e->singleRecord = e->queue[0] || std::strstr(e->file, "%i") || std::strstr(e->file, "%I") ? 1 : 0;
}

// What the writers of an open file or queue were set up with.
bool outputsDiffer(const EmitterDef &a, const EmitterDef &b) {
    return a.format != b.format || a.reader != b.reader || a.grouping != b.grouping ||
           a.zeroValues != b.zeroValues || a.msgPersistence != b.msgPersistence ||
           std::strcmp(a.file, b.file) != 0 || std::strcmp(a.queue, b.queue) != 0;
}

int value(QmgrContext *context, const PcfCursor *cursor, const evValueName *table, bool *given,
          uint32_t *out) {
    int32_t n = 0;
    if (!cmdGetValue(context, cursor, table, &n)) return 0;
    *given = true;
    *out = static_cast<uint32_t>(n);
    return 1;
}

int readEmitter(QmgrContext *context, uint8_t *command, int32_t length, bool define, EmitterParms *p) {
    EmitterDef &v = p->values;
    return cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        switch (static_cast<int32_t>(cursor->parmId)) {
            case kEmitterId:
                return cmdGetName(context, cursor, EV_EMIT_NAME_MAX, 0, v.name);
            case 39417:
                p->descr = true;
                return cmdGetText(context, cursor, EV_DESCR_MAX, false, v.descr);
            case 39418:
                p->queue = true;
                return cmdGetText(context, cursor, EV_QUEUE_NAME_MAX, true, v.queue);
            case 39419:
                p->file = true;
                return cmdGetText(context, cursor, EV_EMIT_FILE_MAX, false, v.file);
            case 39420:
                return value(context, cursor, evEmitFormatNames, &p->format, &v.format);
            case 39421:
                return value(context, cursor, evReaderNames, &p->reader, &v.reader);
            case 39422:
                return value(context, cursor, evPersistenceNames, &p->persistence, &v.msgPersistence);
            case 39423: {
                int32_t kb = 0;
                if (!evParmGetInt(context, cursor, 1, kMaxSizeKb, &kb)) return 0;
                p->maxSize = true;
                v.maxSize = static_cast<uint32_t>(uint64_t{static_cast<uint32_t>(kb)} * 1024);
                return 1;
            }
            case 39396:
                return value(context, cursor, evZeroValsNames, &p->zero, &v.zeroValues);
            case 39428:
                return value(context, cursor, evPutNames, &p->put, &v.put);
            case 39425:
                return value(context, cursor, evOnErrorNames, &p->onError, &v.onError);
            case 39429:
                return value(context, cursor, evGroupingNames, &p->grouping, &v.grouping);
            case 1006:
                return define ? cmdGetFlag(context, cursor, &p->replace) : -1;
            default:
                return -1;
        }
    });
}

}  // namespace

int evDefineAlterEmitter(QmgrContext *context, uint8_t *command, int32_t length) {
    const int32_t code = cmdRequest(context)->command;
    if (cmdTooShort(context, code, command, length)) return 1;
    const bool define = code == 9029;
    EmitterParms p{};
    if (!readEmitter(context, command, length, define, &p)) return 1;
    if (cmdNameMissing(context, p.values.name, kEmitterId)) return 1;
    EmitterDef *found = evFindEmitterDef(p.values.name, -1);
    if (found != nullptr && define && !p.replace)
        return cmdRefuseName(context, 2100, 0, "Emitter '%s' already exists.", p.values.name);
    if (found == nullptr && !define)
        return cmdRefuseName(context, 2152, 0, "Emitter '%s' not found.", p.values.name);
    // The whole definition as it would become, checked before anything changes.
    static EmitterDef after;  // one command at a time, on set C's thread; too big for its stack
    after = found != nullptr ? *found : *evEmitterTemplate();
    apply(p, &after);
    if (after.queue[0] != '\0' && after.file[0] != '\0')
        return cmdRefuse(context, 3203, kTargetId, "You can not specify both a target queue and a file.");
    if (after.queue[0] == '\0' && after.file[0] == '\0')
        return cmdRefuse(context, 3228, kTargetId, "An emitter must identify a target queue or a file.");
    // Emitters write on the state queue manager's connection.
    if (p.queue && cmdRefuseOwnQueue(context, context->state.name, after.queue, 39418, "an emitter queue"))
        return 1;
    if (!cmdHoldEventSet(context)) return 1;
    if (found == nullptr) {
        EmitterDef *created = evCreateEmitterDef(p.values.name, -1);
        if (created == nullptr)
            return cmdRefuseName(context, MQRC_STORAGE_NOT_AVAILABLE, 0, "Can not create emitter '%s's.",
                                 p.values.name);
        apply(p, created);
        evEchoDefineEmit(created);
        evConfigChanged.store(1);
        return cmdOk(context);
    }
    // The open document ends with the writers that began it.
    if (outputsDiffer(*found, after)) emitCloseEmitter(context, found);
    static EmitterDef before;
    before = *found;
    apply(p, found);
    evEchoAlterEmit(&before, found);
    evConfigChanged.store(1);
    return cmdOk(context);
}

int evDeleteEmitter(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9032, command, length)) return 1;
    char name[EV_EMIT_NAME_MAX + 1] = "";
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        if (static_cast<int32_t>(cursor->parmId) != kEmitterId) return -1;
        return cmdGetName(context, cursor, EV_EMIT_NAME_MAX, 0, name);
    });
    if (!read) return 1;
    if (cmdNameMissing(context, name, kEmitterId)) return 1;
    EmitterDef *emitter = evFindEmitterDef(name, -1);
    if (emitter == nullptr) return cmdRefuseName(context, 2152, 0, "Emitter '%s' not found.", name);
    for (const StreamDef *def = evStreamDefList; def != nullptr; def = def->next) {
        if (std::strcmp(def->evEmit, emitter->name) != 0) continue;
        char text[256];
        std::snprintf(text, sizeof text, "Emitter '%s' is in use by stream '%s'.", emitter->name, def->name);
        return cmdRefuse(context, 2100, 0, text);
    }
    if (!cmdHoldEventSet(context)) return 1;
    emitCloseEmitter(context, emitter);
    for (StreamDef *def = evStreamDefList; def != nullptr; def = def->next)
        if (def->emitter == emitter) def->emitter = nullptr;
    for (EmitterDef **link = &evEmitterList; *link != nullptr; link = &(*link)->next) {
        if (*link != emitter) continue;
        *link = emitter->next;
        break;
    }
    char line[96];
    std::snprintf(line, sizeof line, "DELETE EVEMIT('%s')", emitter->name);
    CSFreeMem(emitter);
    evPendingLogLine(line);
    evConfigChanged.store(1);
    return cmdOk(context);
}
