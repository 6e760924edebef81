// The emitters' files kept with the units of work: each commit that wrote to a file saves, in the
// same unit, the length every file then has (and the text that ends its open document), and each
// file an open unit makes is named on the data queue at once, outside the unit. A load cuts every
// file back to its committed length and removes the files no committed unit made, so that a record
// of a unit that was backed out or killed is in no file when its message is taken again.
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/internal.h"

namespace {

// Names of files made since the last commit that saved the state may wait on the data queue: the
// MsgIds of those this run put or the load took as its own, the ones the next save takes away.
bool newFilesListed = false;
std::vector<std::array<uint8_t, MQ_MSG_ID_LENGTH>> newFileIds;

// Removes every name of a new file this program put or loaded (the unit's own and those a killed run
// left), each by its MsgId: a foreign message under the key stays. 1, or 0 with text.
int removeNewFiles(EvStreamIo *io, char *text) {
    const uint8_t correlId[MQ_CORREL_ID_LENGTH] = {EV_DQ_KIND_EMIT_NEW_FILE};
    for (const auto &msgId : newFileIds)
        if (!evRemoveDataMessageById(io, correlId, evContext.state.name, text, msgId.data())) return 0;
    newFileIds.clear();
    return 1;
}

// The stored state as the program writes it, its every file one of an emitter's: the emitters act
// on it (the check comes before anything is done).
bool ownFileState(void *, const MQMD &md, const uint8_t *message, int32_t length) {
    return std::memcmp(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH) == 0 && message != nullptr &&
           evServices.emitRestoreFiles(EV_DQ_KIND_EMIT_FILES, message, length) != 0;
}

}  // namespace

int evSaveEmitFiles(ConnectionSet *set, char *text) {
    if (evServices.emitFileState == nullptr) return 1;
    uint8_t *message = nullptr;
    int32_t length = 0;
    if (!evServices.emitFileState(set->id, &message, &length)) {
        std::snprintf(text, EV_CONFIG_TEXT, "No storage available.");
        return 0;
    }
    if (message == nullptr) return 1;  // the unit wrote to no file
    int ok = evReplaceDataMessage(&set->io, EV_DQ_KIND_EMIT_FILES, MQFMT_NONE, message, length,
                                  evContext.state.name, text);
    CSFreeMem(message);
    if (ok && newFilesListed) {
        ok = removeNewFiles(&set->io, text);
        if (ok) newFilesListed = false;
    }
    return ok;
}

int evPutEmitNewFile(ConnectionSet *set, const char *name, char *errorText, size_t size) {
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
        io->mq->MQPUT(io->hconn, io->hobj, &md, &pmo, static_cast<MQLONG>(std::strlen(name)),
                      const_cast<char *>(name), &compCode, &reason);
        evTraceCallOut("MQPUT(Data)", io->hconn, 0, reason);
    }
    if (compCode == MQCC_FAILED) {
        std::snprintf(errorText, size, "MQPUT(%s/Data) failed RC(%d) %s", evContext.state.name, reason,
                      evReasonText(reason));
        return 0;
    }
    evDataQueueMsgCount++;
    newFilesListed = true;
    std::array<uint8_t, MQ_MSG_ID_LENGTH> msgId;
    std::memcpy(msgId.data(), md.MsgId, MQ_MSG_ID_LENGTH);
    newFileIds.push_back(msgId);
    return 1;
}

int evLoadEmitFiles(EvStreamIo *io) {
    if (evServices.emitRestoreFiles == nullptr) return 1;
    newFileIds.clear();
    newFilesListed = false;
    uint8_t *message = nullptr;
    int32_t length = 0;
    // Another application may put anything under these keys: only a message in the program's own
    // layout whose every file is one an emitter defined now makes is acted on; any other is skipped
    // with a line and left on the queue, so that no file but an emitter's is cut or removed.
    if (!evBrowseOwnDataMessage(io, EV_DQ_KIND_EMIT_FILES, ownFileState, nullptr, &message, &length))
        return 0;
    if (message != nullptr)
        CSFreeMem(message);
    else
        (void)evServices.emitRestoreFiles(EV_DQ_KIND_EMIT_FILES, nullptr, 0);
    // Every name of a file made since: those the committed state does not know go.
    if (io->mq == nullptr || io->mq->MQGET == nullptr) return 0;
    char name[EV_EMIT_PATH_MAX + 1];
    for (MQLONG options = MQGMO_BROWSE_FIRST;; options = MQGMO_BROWSE_NEXT) {
        MQMD md = MQMD_DEFAULT;
        md.CorrelId[0] = EV_DQ_KIND_EMIT_NEW_FILE;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Version = MQGMO_VERSION_1;
        gmo.Options = options | MQGMO_ACCEPT_TRUNCATED_MSG;
        MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR, dataLength = 0;
        evTraceCallIn("MQGET(Data)", io->hconn, 0, io->hobj);
        io->mq->MQGET(io->hconn, io->hobj, &md, &gmo, EV_EMIT_PATH_MAX, name, &dataLength, &compCode,
                      &reason);
        evTraceCallOut("MQGET(Data)", io->hconn, 0, reason);
        if (compCode == MQCC_FAILED && reason == MQRC_NO_MSG_AVAILABLE) return 1;
        if (compCode == MQCC_FAILED && reason != MQRC_TRUNCATED_MSG_ACCEPTED) return 0;
        // The name as the program puts it: no format, one name that fits a path and holds no NUL.
        const bool own = std::memcmp(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH) == 0 && dataLength > 0 &&
                         dataLength < static_cast<MQLONG>(EV_EMIT_PATH_MAX) &&
                         std::memchr(name, 0, static_cast<size_t>(dataLength)) == nullptr &&
                         evServices.emitRestoreFiles(EV_DQ_KIND_EMIT_NEW_FILE,
                                                     reinterpret_cast<uint8_t *>(name), dataLength) != 0;
        if (!own) {
            evForeignDataMessage(EV_DQ_KIND_EMIT_NEW_FILE, md, dataLength);
            continue;
        }
        newFilesListed = true;
        std::array<uint8_t, MQ_MSG_ID_LENGTH> msgId;
        std::memcpy(msgId.data(), md.MsgId, MQ_MSG_ID_LENGTH);
        newFileIds.push_back(msgId);
    }
}
