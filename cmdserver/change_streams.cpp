// The commands on stream definitions (DEFINE, ALTER, DELETE and RENAME EVSTREAM) and on runtime
// streams (PURGE and COPY EVSTRMST). A command that changes stored data holds set E first, so an
// event is stored exactly once whichever unit ends first.
#include <cinttypes>
#include <cstdio>

#include "cmdserver/change.h"

namespace {

constexpr int32_t kStreamId = 39301;
constexpr int32_t kTypeId = 39355;
constexpr int32_t kAggrId = 39434;
constexpr int32_t kEmitterId = 39416;
constexpr int32_t kNewNameId = 39381;
constexpr int32_t kQmgrId = 39340;
constexpr int32_t kTargetId = 39440;
constexpr int32_t kProgressId = 39441;
constexpr int32_t kTypeAll = -999;
constexpr int32_t kValueError = MQRCCF_PARM_VALUE_ERROR;
constexpr int32_t kMissing = 3228;
constexpr int32_t kAlreadyExists = 2100;
constexpr int32_t kNotFound = 2152;
constexpr int32_t kParmMissing = 3015;

// A stream type of a definition: 1 to 6.
int getType(QmgrContext *context, const PcfCursor *cursor, bool all, int32_t *out) {
    if (all && cursor->type == MQCFT_INTEGER && cursor->value != nullptr &&
        mqiGetI32(cursor->value, 0) == kTypeAll) {
        *out = kTypeAll;
        return 1;
    }
    int32_t type = 0;
    if (!cmdGetValue(context, cursor, evStreamTypeNames, &type)) return 0;
    if (type < static_cast<int32_t>(STREAM_TYPE_EVENTS) || type > static_cast<int32_t>(STREAM_TYPE_ACCTMQI))
        return evParameterNameError(context, cursor, kValueError,
                                    "Parameter '%s' is not a recognised value."),
               0;
    *out = type;
    return 1;
}

int retention(QmgrContext *context, const PcfCursor *cursor, int32_t *seconds) {
    return cmdRetentionInMinutes.load() != 0 ? evParmGetMinutes(context, cursor, seconds)
                                             : evParmGetDays(context, cursor, seconds);
}

// The definition by name and, when given, type: 1 with *out (maybe null), or 0 answered ambiguous.
int lookUp(QmgrContext *context, const char *name, int32_t type, const char *ambiguousText, StreamDef **out) {
    int ambiguous = 0;
    *out = evStreamDefFind(name, -1, static_cast<uint32_t>(type), &ambiguous);
    if (ambiguous) return cmdRefuseName(context, kMissing, kTypeId, ambiguousText, name), 0;
    return 1;
}

bool hasRuntimeStream(const StreamDef *def) {
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next)
        for (const Stream *s = reinterpret_cast<QmgrEntry *>(node)->streams; s != nullptr; s = s->next)
            if (s->streamId == def->streamId) return true;
    return false;
}

// A '$' name must be the system stream of its type.
bool systemNameFits(const char *name, uint32_t type) {
    return name[0] != '$' || std::strcmp(name, evSystemStreamName(type)) == 0;
}

// The AGGRINT rules: only statistics and accounting streams fold records into bins, and a bin must
// divide the next larger unit. 1, or 0 answered.
int checkAggregation(QmgrContext *context, const char *name, uint32_t type, uint32_t interval) {
    if (interval == 0) return 1;
    if (type == STREAM_TYPE_EVENTS)
        return cmdRefuseName(context, kValueError, kTypeId,
                             "Stream type of stream '%s' does not support aggregation.", name),
               0;
    const char *text = nullptr;
    if (interval < 60 && 60 % interval != 0)
        text = "Aggregation interval must be a factor of 60 seconds.";
    else if (interval >= 60 && interval < 3600 && 3600 % interval != 0)
        text = "Aggregation interval must be a factor of one hour.";
    else if (interval >= 3600 && interval < 86400 && 86400 % interval != 0)
        text = "Aggregation interval must be a factor of one day.";
    if (text != nullptr) return cmdRefuse(context, kValueError, kAggrId, text), 0;
    return 1;
}

struct StreamParms {
    StreamDef values;
    int32_t type;
    bool replace;
    bool descr, retention, aggr, isDefault, disImplct, emitter;
    char newName[STREAM_NAME_MAX + 1];
};

void apply(const StreamParms &p, StreamDef *def) {
    const StreamDef &v = p.values;
    if (p.descr) std::memcpy(def->descr, v.descr, sizeof def->descr);
    if (p.retention) def->retIntvl = v.retIntvl;
    if (p.aggr) def->aggrInt = v.aggrInt;
    if (p.isDefault) def->isDefault = v.isDefault;
    if (p.disImplct) def->disImplct = v.disImplct;
    if (p.emitter && std::strcmp(def->evEmit, v.evEmit) != 0) {
        std::memcpy(def->evEmit, v.evEmit, sizeof def->evEmit);
        def->emitter = nullptr;
    }
}

// Reads the parameters of the four definition commands; code picks which apply.
int readStream(QmgrContext *context, uint8_t *command, int32_t length, int32_t code, StreamParms *p) {
    const bool defineAlter = code == 9015 || code == 9016;
    StreamDef &v = p->values;
    return cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        int32_t n = 0;
        switch (static_cast<int32_t>(cursor->parmId)) {
            case kStreamId:
                return cmdGetName(context, cursor, STREAM_NAME_MAX,
                                  CMD_NAME_SYSTEM_STREAMS | (code == 9017 ? CMD_NAME_DOLLAR : 0), v.name);
            case kTypeId:
                return getType(context, cursor, false, &p->type);
            case kNewNameId:
                return code == 9018
                           ? cmdGetName(context, cursor, STREAM_NAME_MAX, CMD_NAME_SYSTEM_STREAMS, p->newName)
                           : -1;
            default:
                break;
        }
        if (!defineAlter) return -1;
        switch (static_cast<int32_t>(cursor->parmId)) {
            case 39378:
                p->descr = true;
                return cmdGetText(context, cursor, STREAM_DESCR_MAX, false, v.descr);
            case 39379:
                if (!retention(context, cursor, &n)) return 0;
                p->retention = true;
                v.retIntvl = static_cast<uint32_t>(n);
                return 1;
            case kAggrId:
                if (!evParmGetInt(context, cursor, 0, 86400, &n)) return 0;
                p->aggr = true;
                v.aggrInt = static_cast<uint32_t>(n);
                return 1;
            case 39380:
                if (!cmdGetValue(context, cursor, evYesNoNames, &n)) return 0;
                p->isDefault = true;
                v.isDefault = static_cast<uint32_t>(n);
                return 1;
            case 39436:
                if (!cmdGetValue(context, cursor, evYesNoNames, &n)) return 0;
                p->disImplct = true;
                v.disImplct = static_cast<uint32_t>(n);
                return 1;
            case kEmitterId:
                p->emitter = true;
                return cmdGetText(context, cursor, STREAM_EMITTER_MAX, false, v.evEmit);
            case 1006:
                return code == 9015 ? cmdGetFlag(context, cursor, &p->replace) : -1;
            default:
                return -1;
        }
    });
}

// Moves a runtime stream to its place by its definition's name in its queue manager's list.
void resort(Stream **list, Stream *stream) {
    for (Stream **link = list; *link != nullptr; link = &(*link)->next) {
        if (*link != stream) continue;
        *link = stream->next;
        break;
    }
    Stream **link = list;
    while (*link != nullptr &&
           (!(*link)->definition || std::strcmp((*link)->definition->name, stream->definition->name) <= 0))
        link = &(*link)->next;
    stream->next = *link;
    *link = stream;
}

}  // namespace

int evDefineAlterStream(QmgrContext *context, uint8_t *command, int32_t length) {
    const int32_t code = cmdRequest(context)->command;
    if (cmdTooShort(context, code, command, length)) return 1;
    const bool define = code == 9015;
    StreamParms p{};
    if (!readStream(context, command, length, code, &p)) return 1;
    const char *name = p.values.name;
    if (cmdNameMissing(context, name, kStreamId)) return 1;
    if (p.emitter && p.values.evEmit[0] != '\0' && evFindEmitterDef(p.values.evEmit, -1) == nullptr)
        return cmdRefuseName(context, kValueError, kEmitterId, "Emitter '%s' is not defined.",
                             p.values.evEmit);
    StreamDef *def = nullptr;
    if (!lookUp(context, name, p.type, "Multiple streams called '%s' defined.", &def)) return 1;
    uint32_t type = 0;
    if (def == nullptr) {
        if (!define) return cmdRefuseName(context, kNotFound, 0, "Stream '%s' not found.", name);
        if (p.type == 0) return cmdRefuse(context, kMissing, kTypeId, nullptr);
        type = static_cast<uint32_t>(p.type);
        if (!systemNameFits(name, type))
            return cmdRefuseName(context, kNotFound, 0, "Invalid name '%s' for stream of that type.", name);
    } else {
        type = def->type;
        if (define && !p.replace)
            return cmdRefuseName(context, kAlreadyExists, 0, "Stream '%s' already exists.", name);
        if (p.type != 0 && static_cast<uint32_t>(p.type) != def->type)
            return cmdRefuseName(context, kValueError, kTypeId, "Stream '%s' is of a different type.", name);
    }
    // New definitions follow the same rules, so that no EVENTS stream folds events into bins.
    if (p.aggr && !checkAggregation(context, name, type, p.values.aggrInt)) return 1;
    StreamDef before{};
    const bool existed = def != nullptr;
    if (existed) {
        before = *def;
    } else {
        def = evStreamDefine(name, -1, type, 0, 0);
        // Unlike the documented answer (reason 10000, "OK with text"), a definition that could not
        // be made is answered as the failure it is, 2071: a requester that checks the completion
        // code must not take it for a defined stream.
        if (def == nullptr) return cmdRefuse(context, MQRC_STORAGE_NOT_AVAILABLE, 0, "No storage available.");
    }
    // Only DEFAULT(YES) moves the type's default: a type is never left without one by a command
    // that did not ask for it.
    if (p.isDefault && p.values.isDefault == 1) {
        StreamDef *current = evDefaultStreamFind(type, 0);
        if (current != nullptr && current != def) current->isDefault = 0;
    }
    apply(p, def);
    if (existed)
        evEchoAlterStream(&before, def);
    else
        evEchoDefineStream(def);
    evConfigChanged.store(1);
    return cmdOk(context);
}

int evDeleteStream(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9017, command, length)) return 1;
    StreamParms p{};
    if (!readStream(context, command, length, 9017, &p)) return 1;
    if (cmdNameMissing(context, p.values.name, kStreamId)) return 1;
    StreamDef *def = nullptr;
    if (!lookUp(context, p.values.name, p.type, "Multiple streams called '%s' defined.", &def)) return 1;
    if (def == nullptr) return cmdRefuseName(context, kNotFound, 0, "Stream '%s' not found.", p.values.name);
    if (def->isDefault)
        return cmdRefuseName(context, kNotFound, 0,
                             "Stream '%s' is the default stream so can not be deleted.", def->name);
    if (hasRuntimeStream(def))
        return cmdRefuseName(context, kAlreadyExists, 0, "Stream '%s' is not empty.", def->name);
    if (!cmdHoldEventSet(context)) return 1;
    char name[STREAM_NAME_MAX + 1];
    std::memcpy(name, def->name, sizeof name);
    evStreamDefDelete(name, def->type);
    evConfigChanged.store(1);
    return cmdOk(context);
}

int evRenameStream(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9018, command, length)) return 1;
    StreamParms p{};
    if (!readStream(context, command, length, 9018, &p)) return 1;
    if (cmdNameMissing(context, p.values.name, kStreamId)) return 1;
    StreamDef *old = nullptr;
    if (!lookUp(context, p.values.name, p.type, "Multiple streams called '%s' defined.", &old)) return 1;
    if (old == nullptr)
        return cmdRefuseName(context, kNotFound, kStreamId, "Stream '%s' not found.", p.values.name);
    if (p.newName[0] == '\0')
        return cmdRefuse(context, kNotFound, kNewNameId, "No new stream name was specified.");
    int ambiguous = 0;
    if (evStreamDefFind(p.newName, -1, static_cast<uint32_t>(p.type), &ambiguous) != nullptr)
        return cmdRefuseName(context, kAlreadyExists, kNewNameId, "Stream '%s' already exists.", p.newName);
    if (!systemNameFits(p.newName, old->type))
        return cmdRefuseName(context, kNotFound, kNewNameId, "Invalid name '%s' for stream of that type.",
                             p.newName);
    if (!cmdHoldEventSet(context)) return 1;
    // Another definition of the new name under another type would be found by evStreamDefine only
    // when the types agree; they do not, so this is always a new record.
    StreamDef *renamed = evStreamDefine(p.newName, -1, old->type, 0, old->streamId);
    if (renamed == nullptr) return cmdRefuse(context, MQRC_STORAGE_NOT_AVAILABLE, 0, "No storage available.");
    std::memcpy(renamed->descr, old->descr, sizeof renamed->descr);
    renamed->retIntvl = old->retIntvl;
    renamed->aggrInt = old->aggrInt;
    renamed->disImplct = old->disImplct;
    renamed->isDefault = old->isDefault;
    std::memcpy(renamed->evEmit, old->evEmit, sizeof renamed->evEmit);
    renamed->emitter = old->emitter;
    // Every runtime stream of the old definition follows it to the new one before the old is freed,
    // in its new place by name.
    {
        CSRecursiveGuard guard(gStructureLock);
        for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
            auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
            Stream *moved = nullptr;
            for (Stream *s = qmgr->streams; s != nullptr; s = s->next)
                if (s->definition == old || (s->definition == nullptr && s->streamId == old->streamId))
                    moved = s;
            if (moved == nullptr) continue;
            moved->definition = renamed;
            resort(&qmgr->streams, moved);
        }
    }
    char oldName[STREAM_NAME_MAX + 1];
    std::memcpy(oldName, old->name, sizeof oldName);
    evStreamDefDelete(oldName, old->type);
    char line[2 * STREAM_NAME_MAX + 40];
    std::snprintf(line, sizeof line, "RENAME EVSTREAM('%s') NEWNAME(%s)", oldName, p.newName);
    evPendingLogLine(line);
    evConfigChanged.store(1);
    return cmdOk(context);
}

int evPurgeStreamStatus(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9020, command, length)) return 1;
    char streamName[STREAM_NAME_MAX + 1] = "";
    char qmgrName[EV_QUEUE_NAME_MAX + 1] = "";
    int32_t type = 0;
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        switch (static_cast<int32_t>(cursor->parmId)) {
            case kStreamId:
                // A pattern: '$' anywhere, so "$*" names every system stream.
                return cmdGetName(context, cursor, STREAM_NAME_MAX, CMD_NAME_DOLLAR | CMD_NAME_WILDCARDS,
                                  streamName);
            case kQmgrId:
                return cmdGetName(context, cursor, EV_QUEUE_NAME_MAX, CMD_NAME_WILDCARDS, qmgrName);
            case kTypeId:
                return getType(context, cursor, true, &type);
            default:
                return -1;
        }
    });
    if (!read) return 1;
    if (qmgrName[0] == '\0') return cmdRefuse(context, kParmMissing, kQmgrId, "'EVQMGR' parameter missing.");
    if (streamName[0] == '\0')
        return cmdRefuse(context, kParmMissing, kStreamId, "'EVSTRMST' parameter missing.");
    if (type == 0) return cmdRefuse(context, kParmMissing, kTypeId, "'TYPE' parameter missing.");
    uint64_t records = 0;
    uint32_t streams = 0;
    bool held = false;
    bool removed = false;
    const bool recalled = cmdRequest(context)->recalled != 0;
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
        auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
        if (!evWildMatch(qmgr->name, qmgr->nameLength, qmgrName, std::strlen(qmgrName))) continue;
        for (Stream **link = &qmgr->streams; *link != nullptr;) {
            Stream *stream = *link;
            StreamDef *def = stream->definition;
            if (def == nullptr || (type != kTypeAll && def->type != static_cast<uint32_t>(type)) ||
                !evWildMatch(def->name, def->nameLength, streamName, std::strlen(streamName))) {
                link = &stream->next;
                continue;
            }
            if (!held) {
                if (!cmdHoldEventSet(context)) return 1;
                held = true;
            }
            StreamPurgeCounts counts{};
            char error[EV_CONFIG_TEXT] = "";
            const bool purged = evStreamPurge(&context->sets[EV_SET_C].io, qmgr, def, link, &counts, error,
                                              sizeof error) != 0 &&
                                *link != stream;
            records += counts.records;
            if (counts.records != 0 || counts.blobs != 0 || purged) removed = true;
            if (!purged) {
                // What was removed before the failure stays removed: the answer says so.
                char text[EV_CONFIG_TEXT + 128];
                std::snprintf(text, sizeof text, removed ? "%s %" PRIu64 " event%s purged." : "%s", error,
                              records, records == 1 ? "" : "s");
                return cmdAnswerPurge(context, removed,
                                      counts.reason != 0 ? counts.reason : MQRC_STORAGE_NOT_AVAILABLE, text);
            }
            streams++;
        }
    }
    if (streams == 0 && !recalled)
        return cmdRefuse(context, MQRC_UNKNOWN_OBJECT_NAME, 0, "No matching streams found.");
    char text[128];
    std::snprintf(text, sizeof text, "%" PRIu64 " event%s purged from %u matching stream%s.", records,
                  records == 1 ? "" : "s", streams, streams == 1 ? "" : "s");
    return cmdAnswerPurge(context, removed, HLVRCCF_COMMAND_OK_WITH_TEXT, text);
}

int evCopyStreamStatus(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9033, command, length)) return 1;
    const int32_t code = cmdRequest(context)->command;
    char sourceName[STREAM_NAME_MAX + 1] = "";
    char targetName[STREAM_NAME_MAX + 1] = "";
    char qmgrName[EV_QUEUE_NAME_MAX + 1] = "";
    int32_t type = 0;
    int32_t progress = 0;
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        switch (static_cast<int32_t>(cursor->parmId)) {
            case kStreamId:
                return cmdGetName(context, cursor, STREAM_NAME_MAX, CMD_NAME_SYSTEM_STREAMS, sourceName);
            case kQmgrId:
                return cmdGetName(context, cursor, EV_QUEUE_NAME_MAX, CMD_NAME_WILDCARDS, qmgrName);
            case kTypeId:
                return getType(context, cursor, false, &type);
            case kTargetId:
                return cmdGetName(context, cursor, STREAM_NAME_MAX, CMD_NAME_SYSTEM_STREAMS, targetName);
            case kProgressId:
                return evParmGetInt(context, cursor, 0, 999999999, &progress);
            default:
                return -1;
        }
    });
    if (!read) return 1;
    if (cmdNameMissing(context, sourceName, kStreamId)) return 1;
    StreamDef *source = nullptr;
    if (!lookUp(context, sourceName, type, "Multiple source streams called '%s' defined.", &source)) return 1;
    if (source == nullptr)
        return cmdRefuseName(context, kNotFound, kStreamId, "Source stream '%s' not found.", sourceName);
    if (targetName[0] == '\0')
        return cmdRefuse(context, kNotFound, kTargetId, "No target stream name was specified.");
    StreamDef *target = evStreamDefFind(targetName, -1, static_cast<uint32_t>(type), nullptr);
    if (target == nullptr)
        return cmdRefuseName(context, kNotFound, kTargetId, "Target stream '%s' must exist.", targetName);
    if (target->type != source->type)
        return cmdRefuse(context, kNotFound, kTypeId, "Source and Target streams must be the same type.");
    Stream *from = nullptr;
    Stream *to = nullptr;
    uint32_t sources = 0;
    uint32_t targets = 0;
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
        auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
        if (qmgrName[0] != '\0' && std::strcmp(qmgr->name, qmgrName) != 0) continue;
        for (Stream *s = qmgr->streams; s != nullptr; s = s->next) {
            if (s->streamId == source->streamId) from = s, sources++;
            if (s->streamId == target->streamId) to = s, targets++;
        }
    }
    if (sources == 0)
        return cmdRefuseName(context, kNotFound, kStreamId, "Source stream status '%s' not found.",
                             sourceName);
    if (sources > 1)
        return cmdRefuseName(context, kNotFound, kStreamId, "Source stream status for '%s' is ambiguous.",
                             sourceName);
    if (from->recordCount == 0)
        return cmdRefuseName(context, kNotFound, kStreamId, "Source stream status '%s' is empty.",
                             sourceName);
    if (targets > 1)
        return cmdRefuseName(context, kNotFound, kTargetId, "Stream status for '%s' is ambiguous.",
                             targetName);
    if (to != nullptr && to->recordCount != 0)
        return cmdRefuseName(context, kNotFound, kStreamId, "Target stream status '%s' is not empty.",
                             targetName);
    if (!cmdHoldEventSet(context)) return 1;
    if (to == nullptr) {
        to = evStreamCreate(from->qmgr, target);
        if (to == nullptr)
            return cmdRefuseName(context, kNotFound, kStreamId, "Can not create target stream status '%s'",
                                 targetName);
    }
    char line[160];
    std::snprintf(line, sizeof line, "Copying %" PRIu64 " items from stream '%s'", from->recordCount,
                  sourceName);
    evRespAddString(context, code, line);
    EvStreamCopy copy{};
    evStreamCopyInit(&copy, context, &context->sets[EV_SET_C].io, code, from, to,
                     static_cast<uint32_t>(progress));
    if (!evStreamCopy(&copy, nullptr)) {
        // Unlike the documented copy (a failure keeps the target's committed batches, answered with
        // the copy's own failure), a failed copy changes nothing: what its open unit wrote is backed
        // out, what its batches committed is purged again (the target was empty), and the command's
        // unit backs out, memory loaded again as stored, so that the command comes back and is
        // answered as backed out. A connection that broke keeps what was committed.
        EvStreamIo *io = &context->sets[EV_SET_C].io;
        if (io->hconn != -1 && io->mq != nullptr && io->mq->MQBACK != nullptr) {
            MQLONG cc = MQCC_FAILED;
            MQLONG rc = MQRC_NONE;
            io->mq->MQBACK(io->hconn, &cc, &rc);
            if (cc != MQCC_FAILED) {
                evStreamUowBackedOut(io);
                for (Stream **link = &to->qmgr->streams; *link != nullptr; link = &(*link)->next) {
                    if (*link != to) continue;
                    StreamPurgeCounts counts{};
                    char error[EV_CONFIG_TEXT] = "";
                    (void)evStreamPurge(io, to->qmgr, target, link, &counts, error, sizeof error);
                    break;
                }
            }
        }
        return 0;
    }
    std::snprintf(line, sizeof line, "COPY EVSTREAM('%s') TARGET(%s)", sourceName, targetName);
    evPendingLogLine(line);
    return cmdOk(context);
}
