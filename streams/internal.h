// What the files of stream storage share among themselves and nobody else needs.
#pragma once

#include "streams/streams.h"

// The queue manager's stream list through the hook, or null.
Stream **evStreamQmgrList(QmgrEntry *qmgr);

// ---- The data queue ----

inline bool evStreamTracing() {
    return (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_h) != 0;
}
// The record number the stream's queue manager has in BlobIds (0 for "$STRINGS").
uint32_t evStreamQmgrNumber(const Stream *stream);
// The BlobId of the full blob (null: the stream header message).
void evStreamBlobIdOf(const Stream *stream, const uint8_t *blobHeader, uint8_t *correlId);
// "%.48s": the BlobId in hex, for the trace lines.
void evBlobIdHex(const uint8_t *correlId, char *hex49);
// One MQGET of the data queue by CorrelId (MQMD and MQGMO version 1, no wait, MsgId none; a null
// correlId matches any message). The reason; *dataLength (optional) receives the message's length,
// *got (optional) its MQMD.
MQLONG evDqGet(EvStreamIo *io, const uint8_t *correlId, MQLONG options, MQLONG ccsid, void *buffer,
               MQLONG bufferLength, MQLONG *dataLength, MQMD *got = nullptr);
// Reports a failed get or put: "%s(DATA_QUEUE) failed with RC(%d) %s", once, with the condition bits
// it implies; 2003 ends the connection. errorText (optional) receives the text.
void evDqFailed(EvStreamIo *io, const char *verb, MQLONG reason, char *errorText = nullptr,
                size_t errorSize = 0);

// ---- The last write of each blob ----

// Before a blob is written or removed: when its last write belongs to its set's open unit, that unit
// commits first; the other set's open unit there is a broken rule (trapped). False when the commit
// failed.
bool evStampBeforeWrite(EvStreamIo *io, const BlobStamp *stamp);
inline void evStampWrite(BlobStamp *stamp, EvStreamIo *io, uint32_t flagsBefore) {
    if (stamp->io == io && stamp->unit == io->unit) return;  // the first write of the unit counts
    *stamp = BlobStamp{io, io->unit, flagsBefore};
}
// Gives every blob of the stream written in the set's open unit its flags back (UPDATED again, EXISTS
// and DEDUPED as before) and marks the stream for hardening.
void evStreamRestoreWrites(EvStreamIo *io, Stream *stream);

// Calls visit(stream) on "$STRINGS", then on every stream of every queue manager in name order, until
// it returns false. False when a visit did.
template <class Visit>
bool evForEachStream(Visit visit) {
    if (evStrings.stream && !visit(evStrings.stream)) return false;
    EvStreamHooks *hooks = evStreamGetHooks();
    if (!hooks->nextQmgr) return true;
    for (QmgrEntry *qmgr = hooks->nextQmgr(nullptr); qmgr; qmgr = hooks->nextQmgr(qmgr)) {
        Stream **list = evStreamQmgrList(qmgr);
        for (Stream *stream = list ? *list : nullptr; stream;) {
            Stream *next = stream->next;  // a visit may free its stream
            if (!visit(stream)) return false;
            stream = next;
        }
    }
    return true;
}

// Frees a full blob that is no longer linked.
void evStreamBlobFree(StreamBlob *blob);

// ---- Strings ----

// The pooled string stored at oldEntry is stored at newEntry from now on (an entry moved into another
// blob).
void evStringRepoint(const uint8_t *oldEntry, uint8_t *newEntry);
// Expiry removed a blob: a housekeeping check is scheduled 600 s later, once.
void evStringScheduleCheck();
