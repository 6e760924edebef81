// Hardening: the changed blobs of a stream go to the data queue inside the set's unit of work, each one
// persistent message named by its BlobId, the old copy removed first. The data queue is the durable
// copy of every stream; memory is a cache of it. Each blob remembers its last write (BlobStamp), so a
// backout can give it back its flags and a harden before the reload writes it again.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "streams/internal.h"

namespace {

constexpr MQLONG kRemoveInUnit = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;  // 0x42

uint8_t *headerOf(Stream *stream, StreamBlob *blob) {
    return blob ? evStreamBlobHeader(blob) : evStreamCurrentBlob(stream);
}

void restoreFlags(uint8_t *bh, const BlobStamp &stamp) {
    constexpr uint32_t kKept = BLOB_EXISTS | BLOB_DEDUPED;
    evBlobSetFlags(bh, (evBlobFlags(bh) & ~kKept) | (stamp.flags & kKept) | BLOB_UPDATED);
}

// Removes the old copy of a blob about to be written, and once per blob the duplicates behind it.
// The reason of the first get that neither removed a copy nor found none, else 0.
MQLONG removeOldCopies(EvStreamIo *io, Stream *stream, uint8_t *bh, BlobStamp *stamp, uint32_t before,
                       const uint8_t *correlId) {
    MQLONG reason = evDqGet(io, correlId, kRemoveInUnit, 0, nullptr, 0, nullptr);
    if (reason == MQRC_NO_MSG_AVAILABLE) return 0;
    if (reason != MQRC_TRUNCATED_MSG_ACCEPTED) return reason;
    evStampWrite(stamp, io, before);
    io->inFlight++;
    evDataQueueMsgCount--;
    if (evStreamTracing())
        evOutputF(EV_OUT_PROGRESS, 1, "  Message %" PRId64 " (%p) retrieved",
                  static_cast<int64_t>(evBlobNumber(bh)), static_cast<void *>(bh));
    if (!(before & BLOB_DEDUPED)) {
        while ((reason = evDqGet(io, correlId, kRemoveInUnit, 0, nullptr, 0, nullptr)) ==
               MQRC_TRUNCATED_MSG_ACCEPTED) {
            io->inFlight++;
            evDataQueueMsgCount--;
        }
        if (reason != MQRC_NO_MSG_AVAILABLE) return reason;
    }
    evBlobSetFlags(bh, evBlobFlags(bh) | BLOB_DEDUPED);
    (void)stream;
    return 0;
}

void printDump(const Stream *stream) {
    const uint8_t *message = evStreamMessage(stream);
    if (stream->definition || stream->streamId == 0) {
        evOutputF(EV_OUT_PROGRESS, 1, "Debug Stream: '%s'", evStreamName(stream));
    } else {
        evOutput(EV_OUT_PROGRESS, "Debug Stream:", -1, 1);
    }
    evOutputF(EV_OUT_PROGRESS, 1,
              "  Stream Range: small[%" PRId64 ",%" PRId64 "] large[%" PRId64 ",%" PRId64 "]",
              mqiGetI64(message, SH_SMALL_FIRST), mqiGetI64(message, SH_SMALL_LAST),
              mqiGetI64(message, SH_BIG_FIRST), mqiGetI64(message, SH_BIG_LAST));
    evStreamPrintBlob(evStreamCurrentBlob(stream));
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next)
        evStreamPrintBlob(evStreamBlobHeader(blob));
}

}  // namespace

uint32_t evStreamQmgrNumber(const Stream *stream) {
    EvStreamHooks *hooks = evStreamGetHooks();
    uint32_t number = 0, nameId = 0;
    const char *name = nullptr;
    if (stream->qmgr && hooks->qmgrIdentity) hooks->qmgrIdentity(stream->qmgr, &number, &name, &nameId);
    return number;
}

void evStreamBlobIdOf(const Stream *stream, const uint8_t *blobHeader, uint8_t *correlId) {
    uint32_t kind = blobHeader && (evBlobFlags(blobHeader) & BLOB_BIG) ? BLOB_KIND_BIG : BLOB_KIND_SMALL;
    uint64_t number = blobHeader ? evBlobNumber(blobHeader) : 0;
    evBlobIdBuild(correlId, evStreamQmgrNumber(stream), stream->streamId, kind, number);
}

void evBlobIdHex(const uint8_t *correlId, char *hex49) {
    for (uint32_t i = 0; i < BLOB_ID_LENGTH; i++) std::snprintf(hex49 + 2 * i, 3, "%02X", correlId[i]);
}

MQLONG evDqGet(EvStreamIo *io, const uint8_t *correlId, MQLONG options, MQLONG ccsid, void *buffer,
               MQLONG bufferLength, MQLONG *dataLength, MQMD *got) {
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    if (correlId) std::memcpy(md.CorrelId, correlId, BLOB_ID_LENGTH);
    if (ccsid) md.CodedCharSetId = ccsid;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_1;
    gmo.Options = options;
    gmo.WaitInterval = 0;
    MQLONG length = 0, compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    char none = 0;
    if (io && io->mq && io->mq->MQGET) {
        evTraceCallIn("MQGET(Data)", io->hconn, 0, io->hobj);
        io->mq->MQGET(io->hconn, io->hobj, &md, &gmo, bufferLength, buffer ? buffer : &none, &length,
                      &compCode, &reason);
        evTraceCallOut("MQGET(Data)", io->hconn, 0, reason);
    }
    if (dataLength) *dataLength = length;
    if (got) *got = md;
    return reason;
}

void evDqFailed(EvStreamIo *io, const char *verb, MQLONG reason, char *errorText, size_t errorSize) {
    char text[160];
    std::snprintf(text, sizeof text, "%s(DATA_QUEUE) failed with RC(%d) %s", verb, reason,
                  evReasonSymbol(reason));
    if (errorText && errorSize) std::snprintf(errorText, errorSize, "%s", text);
    evDataQueueRefused(reason);
    EvStreamHooks *hooks = evStreamGetHooks();
    if (hooks->reportMQError)
        hooks->reportMQError(io, text, reason);
    else
        evOutput(EV_OUT_ERROR, text, -1, 1);
    if (reason == MQRC_BACKED_OUT && hooks->endConnection) hooks->endConnection();
}

bool evStampBeforeWrite(EvStreamIo *io, const BlobStamp *stamp) {
    EvStreamIo *writer = stamp->io;
    if (!writer || stamp->unit != writer->unit) return true;  // that unit has ended
    if (writer != io) {
        CS_TRAP(static_cast<int32_t>(writer->unit));  // the other set's open unit wrote it
        return true;
    }
    return evStreamCommit(io) != 0;
}

void evStreamRestoreWrites(EvStreamIo *io, Stream *stream) {
    bool restored = false;
    auto restore = [&](uint8_t *bh, const BlobStamp &stamp) {
        if (stamp.io != io || stamp.unit != io->unit) return;
        restoreFlags(bh, stamp);
        restored = true;
    };
    restore(evStreamCurrentBlob(stream), stream->headerStamp);
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next)
        restore(evStreamBlobHeader(blob), blob->stamp);
    if (restored) stream->flags |= STREAM_NEEDS_HARDENING;
}

void evStreamBlobFree(StreamBlob *blob) {
    AreaRelease(&blob->area);
    CSFreeMem(blob);
}

int evStreamWriteBlob(EvStreamIo *io, Stream *stream, StreamBlob *blob) {
    BlobStamp *stamp = blob ? &blob->stamp : &stream->headerStamp;
    if (!evStampBeforeWrite(io, stamp)) return 0;
    uint8_t *bh = headerOf(stream, blob);
    uint32_t before = evBlobFlags(bh);
    uint8_t correlId[BLOB_ID_LENGTH];
    evStreamBlobIdOf(stream, blob ? bh : nullptr, correlId);
    char hex[2 * BLOB_ID_LENGTH + 1];
    if (evStreamTracing()) {
        evBlobIdHex(correlId, hex);
        evOutputF(EV_OUT_PROGRESS, 1, "  Retrieving message : %.48s", hex);
    }
    // 2. The old copy goes first, in the same unit of work.
    if (MQLONG reason = removeOldCopies(io, stream, bh, stamp, before, correlId)) {
        evDqFailed(io, "MQGET", reason);
        return 0;
    }
    // 3. A dropped blob is only removed.
    if (before & BLOB_DROP) {
        evBlobSetFlags(bh, evBlobFlags(bh) & ~BLOB_EXISTS);
        return 1;
    }
    // 4. The new copy, naming its stream: a load tells a blob put under another stream's key.
    mqiPutU32(bh, BH_QMGR, evStreamQmgrNumber(stream) + 1);
    mqiPutU32(bh, BH_STREAM, stream->streamId + 1);
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    md.MsgType = MQMT_DATAGRAM;
    md.Expiry = MQEI_UNLIMITED;
    md.Encoding = 546;
    md.CodedCharSetId = 850;
    std::memcpy(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH);
    md.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    md.Persistence = MQPER_PERSISTENT;
    std::memcpy(md.CorrelId, correlId, BLOB_ID_LENGTH);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Options = MQPMO_SYNCPOINT;
    uint8_t *data = blob ? bh : evStreamMessage(stream);
    uint32_t length = blob ? evBlobLength(bh) : stream->header->used;
    if (evStreamTracing()) evOutputF(EV_OUT_PROGRESS, 1, "  Writing message : %.48s", hex);
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    if (io && io->mq && io->mq->MQPUT) {
        evTraceCallIn("MQPUT(Data)", io->hconn, 0, io->hobj);
        io->mq->MQPUT(io->hconn, io->hobj, &md, &pmo, static_cast<MQLONG>(length), data, &compCode, &reason);
        evTraceCallOut("MQPUT(Data)", io->hconn, 0, reason);
    }
    if (compCode == MQCC_FAILED) {
        evDqFailed(io, "MQPUT", reason);
        return 0;
    }
    // 5. On the queue (once the unit commits).
    evStampWrite(stamp, io, before);
    io->inFlight++;
    evDataQueueMsgCount++;
    evBlobSetFlags(bh, (evBlobFlags(bh) & ~BLOB_UPDATED) | BLOB_EXISTS);
    if (evStreamTracing())
        evOutputF(EV_OUT_PROGRESS, 1, "  Message %" PRId64 " (%p) written",
                  static_cast<int64_t>(evBlobNumber(bh)), static_cast<void *>(bh));
    return 1;
}

int evStreamHarden(EvStreamIo *io, Stream *stream) {
    if (evStreamTracing()) {
        if (stream->definition)
            evOutputF(EV_OUT_PROGRESS, 1, "Hardening stream '%s' (Id:%d)", stream->definition->name,
                      static_cast<int>(stream->streamId));
        else
            evOutput(EV_OUT_PROGRESS, "Hardening stream '$STRING", -1, 1);
    }
    auto failed = [&] {
        evStreamRestoreWrites(io, stream);
        return 0;
    };
    if ((evBlobFlags(evStreamCurrentBlob(stream)) & BLOB_UPDATED) && !evStreamWriteBlob(io, stream, nullptr))
        return failed();
    for (StreamBlob **link = &stream->blobs; *link;) {
        StreamBlob *blob = *link;
        uint32_t flags = evBlobFlags(evStreamBlobHeader(blob));
        bool write = !(flags & BLOB_EXISTS) || (flags & (BLOB_UPDATED | BLOB_DROP));
        if (write && !evStreamWriteBlob(io, stream, blob)) return failed();
        if (flags & BLOB_DROP) {
            *link = blob->next;
            uint32_t length = evBlobLength(evStreamBlobHeader(blob));
            stream->bytes -= length <= stream->bytes ? length : stream->bytes;
            evStreamBlobFree(blob);
            if (stream->blobCount) stream->blobCount--;
            continue;
        }
        link = &blob->next;
    }
    stream->flags &= ~STREAM_NEEDS_HARDENING;
    if (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_S) printDump(stream);
    return 1;
}

void evStreamPrintBlob(const uint8_t *bh) {
    uint32_t flags = evBlobFlags(bh);
    int64_t oldest = evBlobOldest(bh);
    int64_t age = oldest ? evTimeSpan(evClockNow(), oldest) / 86400 : 0;
    evOutputF(EV_OUT_PROGRESS, 1, "%smn:%5" PRId64 " sz:%5d nb:%5d age:%3" PRId64 "%s%s%s",
              (flags & BLOB_BIG) ? "  BIG   " : "  SMALL ", static_cast<int64_t>(evBlobNumber(bh)),
              static_cast<int>(evBlobLength(bh)), static_cast<int>(evBlobRecords(bh)), age,
              (flags & BLOB_EXISTS) ? " EXISTS " : "", (flags & BLOB_UPDATED) ? " UPDATED " : "",
              (flags & BLOB_PURGED) ? " PURGED " : "");
}

int evHardenAllStreams(EvHardenBlock *block) {
    block->consolidationDue = 0;
    block->expiryDue = 0;
    int64_t now = evClockNow();
    return evForEachStream([&](Stream *stream) {
        if (stream->smallBlobCount >= stream->factor) block->consolidationDue = 1;
        if (stream->definition) {
            if (stream->oldest == 0) evStreamRecompute(stream);
            if (stream->oldest < now - int64_t{stream->definition->retIntvl}) block->expiryDue = 1;
        }
        if (block->stringsOnly && stream->definition) return true;
        if (!(stream->flags & STREAM_NEEDS_HARDENING)) return true;
        return evStreamHarden(block->io, stream) != 0;
    })
               ? 1
               : 0;
}

void evStreamUowBackedOut(EvStreamIo *io) {
    evForEachStream([&](Stream *stream) {
        evStreamRestoreWrites(io, stream);
        return true;
    });
    io->unit++;
    io->inFlight = 0;
}

void evStreamUowCommitted(EvStreamIo *io) {
    io->unit++;
    io->inFlight = 0;
}

int evStreamCommit(EvStreamIo *io) {
    EvStreamHooks *hooks = evStreamGetHooks();
    if (hooks->commit) {
        if (!hooks->commit(io)) return 0;
        evStreamUowCommitted(io);
        return 1;
    }
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    if (io->mq && io->mq->MQCMIT) {
        evTraceCallIn("MQCMIT", io->hconn, 0, 0);
        io->mq->MQCMIT(io->hconn, &compCode, &reason);
        evTraceCallOut("MQCMIT", io->hconn, 0, reason);
    }
    if (compCode == MQCC_OK) {
        evStreamUowCommitted(io);
        return 1;
    }
    // Whatever the unit held is not on the queue: the blobs it wrote are to be written again.
    char text[160];
    std::snprintf(text, sizeof text, "MQCMIT failed RC(%d) %s", reason, evReasonText(reason));
    if (hooks->reportMQError)
        hooks->reportMQError(io, text, reason);
    else
        evOutput(EV_OUT_ERROR, text, -1, 1);
    evStreamUowBackedOut(io);
    if (hooks->endConnection) hooks->endConnection();
    return 0;
}

void evDataQueueRefused(MQLONG reason) {
    switch (reason) {
        case MQRC_GET_INHIBITED:
            evDataQueueCondition |= EV_DQ_GET_INHIBITED;
            break;
        case MQRC_PUT_INHIBITED:
            evDataQueueCondition |= EV_DQ_PUT_INHIBITED;
            break;
        case MQRC_Q_FULL:
        case MQRC_Q_SPACE_NOT_AVAILABLE:
            evDataQueueCondition |= EV_DQ_DEPTH_HIGH;
            break;
        case MQRC_MSG_TOO_BIG_FOR_Q:
            evDataQueueCondition |= EV_DQ_MSGL_LOW;
            break;
        default:
            break;
    }
}
