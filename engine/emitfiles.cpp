// The emitters' files kept with the units of work: each commit that wrote to an emitter's files
// saves, in the same unit, the length each of them then has (and the text that ends its open
// document) in that emitter's one state message, which replaces the one before; each file an open
// unit makes is named on the data queue at once, outside the unit. A load takes the latest state of
// each emitter, cuts its files back to their committed length and removes the files no committed
// unit made, so that a record of a unit that was backed out or killed is in no file when its message
// is taken again.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/internal.h"

namespace {

using MsgId = std::array<uint8_t, MQ_MSG_ID_LENGTH>;

// The state messages: each emitter's current one (by its MsgId), and the program's own that are
// never to be acted on again (older states of an emitter, states of an emitter that is gone or
// names another FILE now, the earlier layout once loaded), each taken away by the next save.
struct StateKept {
    std::string emitter;
    MsgId msgId;
};
struct Kept {
    std::vector<StateKept> states;
    std::vector<MsgId> retired;
    // Names of files made since the last commit that saved the state may wait on the data queue:
    // the MsgIds of those this run put or the load took as its own. A set's save takes the names its
    // own units put and those the load took; never one the other set's open unit put, whose file a
    // kill before that unit commits must still find.
    struct NewFile {
        MsgId msgId;
        int32_t set;  // the set whose unit put it; -1 taken by the load
    };
    std::vector<NewFile> newFiles;
};
Kept gKept;
// What each set's open unit found, kept again when that unit backs out.
struct Before {
    EvStreamIo *io;
    uint64_t unit;
    Kept kept;
};
Before gBefore[2]{};

Before &beforeOf(EvStreamIo *io) {
    return gBefore[io == &evSet(EV_SET_C)->io ? 0 : 1];
}

MsgId msgIdOf(const MQMD &md) {
    MsgId id;
    std::memcpy(id.data(), md.MsgId, MQ_MSG_ID_LENGTH);
    return id;
}

StateKept *keptOf(const char *emitter) {
    for (StateKept &state : gKept.states)
        if (state.emitter == emitter) return &state;
    return nullptr;
}

struct SaveArg {
    EvStreamIo *io;
    char *text;
};

// Replaces the emitter's state message with this one, in the unit.
int saveOne(void *arg, const char *emitter, const uint8_t *message, int32_t length) {
    auto *save = static_cast<SaveArg *>(arg);
    uint8_t correlId[MQ_CORREL_ID_LENGTH] = {EV_DQ_KIND_EMIT_FILES};
    StateKept *kept = keptOf(emitter);
    if (kept != nullptr &&
        !evRemoveDataMessageById(save->io, correlId, evContext.state.name, save->text, kept->msgId.data()))
        return 0;
    MQBYTE24 msgId;
    if (!evPutDataMessageById(save->io, correlId, MQFMT_NONE, message, length, evContext.state.name,
                              save->text, msgId))
        return 0;
    if (kept == nullptr) {
        gKept.states.push_back(StateKept{emitter, {}});
        kept = &gKept.states.back();
    }
    std::memcpy(kept->msgId.data(), msgId, MQ_MSG_ID_LENGTH);
    return 1;
}

// Removes each message by its MsgId under the kind's key (a foreign message under the key stays).
int removeAll(EvStreamIo *io, uint8_t kind, std::vector<MsgId> &ids, char *text) {
    const uint8_t correlId[MQ_CORREL_ID_LENGTH] = {kind};
    for (const MsgId &msgId : ids)
        if (!evRemoveDataMessageById(io, correlId, evContext.state.name, text, msgId.data())) return 0;
    ids.clear();
    return 1;
}

// The state messages a load finds, before it acts on any.
struct Found {
    struct State {
        std::string emitter;
        uint64_t sequence;
        MsgId msgId;
        uint8_t *message;
        int32_t length;
    };
    std::vector<State> latest;   // the latest of each emitter
    std::vector<State> earlier;  // of the earlier layout, in queue order
};

bool visitState(void *arg, const MQMD &md, uint8_t *message, int32_t length) {
    auto *found = static_cast<Found *>(arg);
    char emitter[EV_EMIT_NAME_MAX + 1] = "";
    uint64_t sequence = 0;
    const int kind = std::memcmp(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH) == 0 && message != nullptr
                         ? evServices.emitFileStateKind(message, length, emitter, sizeof emitter, &sequence)
                         : EV_EMIT_STATE_FOREIGN;
    // Another application may put anything under the key: only a message in the program's own layout
    // whose every file is one its emitter makes is the program's; any other is skipped with a line
    // and left on the queue, so that no file but an emitter's is cut or removed.
    if (kind == EV_EMIT_STATE_FOREIGN) {
        evForeignDataMessage(EV_DQ_KIND_EMIT_FILES, md, length);
        return false;
    }
    if (kind == EV_EMIT_STATE_RETIRED) {
        gKept.retired.push_back(msgIdOf(md));
        return false;
    }
    const Found::State state{emitter, sequence, msgIdOf(md), message, length};
    if (kind == EV_EMIT_STATE_EARLIER) {
        found->earlier.push_back(state);
        return true;
    }
    for (Found::State &latest : found->latest) {
        if (latest.emitter != emitter) continue;
        // Only the latest state of an emitter is acted on; an older one is the program's too, and goes.
        const bool newer = sequence > latest.sequence;
        if (sequence == latest.sequence) {
            // A second copy of the one taken (a message put back, say): said, and gone with the rest.
            char msgId[2 * MQ_MSG_ID_LENGTH + 1];
            evIdToHex(md.MsgId, msgId);
            evOutputF(
                EV_OUT_ERROR, 1,
                "Duplicate state message of emitter '%s' ignored: MsgId X'%s'; the next save removes it",
                emitter, msgId);
        }
        gKept.retired.push_back(newer ? latest.msgId : state.msgId);
        if (!newer) return false;
        CSFreeMem(latest.message);
        latest = state;
        return true;
    }
    found->latest.push_back(state);
    return true;
}

}  // namespace

int evSaveEmitFiles(ConnectionSet *set, char *text) {
    if (evServices.emitFileState == nullptr) return 1;
    EvStreamIo *io = &set->io;
    // A second save in the same unit keeps the first one's 'before'.
    Before &before = beforeOf(io);
    if (before.io != io || before.unit != io->unit) before = Before{io, io->unit, gKept};
    SaveArg arg{io, text};
    text[0] = 0;
    if (!evServices.emitFileState(set->id, saveOne, &arg)) {
        if (text[0] == 0) std::snprintf(text, EV_CONFIG_TEXT, "No storage available.");
        return 0;
    }
    if (!removeAll(io, EV_DQ_KIND_EMIT_FILES, gKept.retired, text)) return 0;
    const uint8_t correlId[MQ_CORREL_ID_LENGTH] = {EV_DQ_KIND_EMIT_NEW_FILE};
    for (const Kept::NewFile &made : gKept.newFiles)
        if ((made.set < 0 || made.set == set->id) &&
            !evRemoveDataMessageById(io, correlId, evContext.state.name, text, made.msgId.data()))
            return 0;
    std::erase_if(gKept.newFiles,
                  [set](const Kept::NewFile &made) { return made.set < 0 || made.set == set->id; });
    return 1;
}

void evEmitFilesBackedOut(EvStreamIo *io) {
    Before &before = beforeOf(io);
    if (before.io != io || before.unit != io->unit) return;
    gKept = before.kept;
    before = Before{};
}

int evPutEmitNewFile(ConnectionSet *set, const uint8_t *data, int32_t length, char *errorText, size_t size) {
    EvStreamIo *io = &set->io;
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    md.MsgType = MQMT_DATAGRAM;
    md.Expiry = MQEI_UNLIMITED;
    md.Encoding = 546;
    md.CodedCharSetId = 0;
    md.Persistence = MQPER_PERSISTENT;
    md.CorrelId[0] = EV_DQ_KIND_EMIT_NEW_FILE;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    // Outside the unit: a kill before the unit commits must still find the name.
    pmo.Options = MQPMO_NO_SYNCPOINT;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    if (io->mq != nullptr && io->mq->MQPUT != nullptr) {
        evTraceCallIn("MQPUT(Data)", io->hconn, 0, io->hobj);
        io->mq->MQPUT(io->hconn, io->hobj, &md, &pmo, length, const_cast<uint8_t *>(data), &compCode,
                      &reason);
        evTraceCallOut("MQPUT(Data)", io->hconn, 0, reason);
    }
    if (compCode == MQCC_FAILED) {
        std::snprintf(errorText, size, "MQPUT(%s/Data) failed RC(%d) %s", evContext.state.name, reason,
                      evReasonText(reason));
        return 0;
    }
    evDataQueueMsgCount++;
    gKept.newFiles.push_back(Kept::NewFile{msgIdOf(md), set->id});
    return 1;
}

int evLoadEmitFiles(EvStreamIo *io) {
    if (evServices.emitRestoreFiles == nullptr) return 1;
    gKept = Kept{};
    gBefore[0] = gBefore[1] = Before{};
    Found found;
    const int browsed = evBrowseDataMessages(io, EV_DQ_KIND_EMIT_FILES, visitState, &found);
    // Memory holds what is committed from here; the latest state of each emitter is acted on. A
    // state of the earlier layout lists every emitter's files: the last one put is acted on while no
    // emitter has a state of its own (it names files but cuts none: it holds no identity), and each
    // goes at the next save.
    if (browsed) (void)evServices.emitRestoreFiles(EV_DQ_KIND_EMIT_FILES, nullptr, 0);
    // An emitter of one fixed file that holds records but no state (its message lost): nothing tells
    // what of the file is committed, so it is kept as it is, and said once. A file named by a pattern,
    // or of an emitter that never wrote, gives no such proof.
    if (browsed && found.earlier.empty()) {
        for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next) {
            if (e->file[0] == 0 || std::strchr(e->file, '%') != nullptr) continue;
            bool stated = false;
            for (const Found::State &state : found.latest) stated = stated || state.emitter == e->name;
            uint64_t size = 0;
            CSFileIdentity identity{};
            if (stated || CSOutFileNameState(e->file, &size, &identity) != 0 || size == 0) continue;
            evOutputF(EV_OUT_ERROR, 1,
                      "Emitter '%s' has no stored state: its file '%s' is kept as it is, not cut back",
                      e->name, e->file);
        }
    }
    for (const Found::State &state : found.latest) {
        if (browsed) (void)evServices.emitRestoreFiles(EV_DQ_KIND_EMIT_FILES, state.message, state.length);
        gKept.states.push_back(StateKept{state.emitter, state.msgId});
        CSFreeMem(state.message);
    }
    for (size_t i = 0; i < found.earlier.size(); i++) {
        const Found::State &state = found.earlier[i];
        if (browsed && found.latest.empty() && i + 1 == found.earlier.size())
            (void)evServices.emitRestoreFiles(EV_DQ_KIND_EMIT_FILES, state.message, state.length);
        gKept.retired.push_back(state.msgId);
        CSFreeMem(state.message);
    }
    if (!browsed) return 0;
    // Every name of a file made since: those the committed state does not know go.
    if (io->mq == nullptr || io->mq->MQGET == nullptr) return 0;
    uint8_t data[EV_EMIT_PATH_MAX + 32];
    for (MQLONG options = MQGMO_BROWSE_FIRST;; options = MQGMO_BROWSE_NEXT) {
        MQMD md = MQMD_DEFAULT;
        md.CorrelId[0] = EV_DQ_KIND_EMIT_NEW_FILE;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Version = MQGMO_VERSION_1;
        gmo.Options = options | MQGMO_ACCEPT_TRUNCATED_MSG;
        MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR, dataLength = 0;
        evTraceCallIn("MQGET(Data)", io->hconn, 0, io->hobj);
        io->mq->MQGET(io->hconn, io->hobj, &md, &gmo, sizeof data, data, &dataLength, &compCode, &reason);
        evTraceCallOut("MQGET(Data)", io->hconn, 0, reason);
        if (compCode == MQCC_FAILED && reason == MQRC_NO_MSG_AVAILABLE) return 1;
        if (compCode == MQCC_FAILED && reason != MQRC_TRUNCATED_MSG_ACCEPTED) return 0;
        // The name as the program puts it: no format, whole in the buffer, as the emitters write it.
        const bool own = std::memcmp(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH) == 0 && dataLength > 0 &&
                         dataLength <= static_cast<MQLONG>(sizeof data) &&
                         evServices.emitRestoreFiles(EV_DQ_KIND_EMIT_NEW_FILE, data, dataLength) != 0;
        if (!own) {
            evForeignDataMessage(EV_DQ_KIND_EMIT_NEW_FILE, md, dataLength);
            continue;
        }
        gKept.newFiles.push_back(Kept::NewFile{msgIdOf(md), -1});
    }
}
