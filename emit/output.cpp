// Output of the emitters: file names from the FILE pattern, files made new and written front to
// back, the queue opened on the set's STATE connection and one message per output unit, and the
// size rule that keeps every unit under MAXSIZE by carrying a record into the next unit.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emit/internal.h"

namespace {

// Carried text waits here while the next unit starts.
char *gSide = nullptr;
uint32_t gSideSize = 0;

// A name under construction: every append checked against the room.
struct NameBuilder {
    char *out;
    size_t size;
    size_t used;
    bool full;
    void add(const char *text, size_t length) {
        if (full || length >= size - used) {
            full = true;
            return;
        }
        std::memcpy(out + used, text, length);
        used += length;
        out[used] = 0;
    }
    // A number, zero-padded to width digits (0: as it is).
    void addNum(long long value, int width) {
        char text[32];
        int n = std::snprintf(text, sizeof text, "%0*lld", width, value);
        add(text, static_cast<size_t>(n));
    }
    void addText(const char *text) { add(text, std::strlen(text)); }
};

const char *ordinal(int day) {
    if (day == 1 || day == 21 || day == 31) return "st";
    if (day == 2 || day == 22) return "nd";
    if (day == 3 || day == 23) return "rd";
    return "th";
}

int64_t headerTime(const EmitContext *c) {
    return c->record != nullptr && c->recordLength >= EVCF_HEADER_LENGTH ? evCFGetEventTime(c->record) : 0;
}

ConnectionSet *setOf(const EmitContext *c) {
    return c->set != nullptr ? c->set : evSet(EV_SET_E);
}

// The text after the last newline of what was just written, added to the column without one.
void advanceColumn(EmitterDef *e, const char *text, uint32_t length) {
    uint32_t i = length;
    while (i > 0 && text[i - 1] != '\n') i--;
    e->column = i > 0 ? length - i : e->column + length;
}

// Writes to the open file through to the disk's view, and takes a failed write's part back off, so
// that the file ends after a whole unit of text. 0, or the errno of the failure.
int writeWhole(EmitContext *c, const char *bytes, uint32_t length) {
    EmitterDef *e = c->emitter;
    if (e->openFile == nullptr) return EBADF;
    const uint64_t before = emitJournalLength(e);
    int rc = CSOutFileWrite(e->openFile, bytes, length);
    if (rc != 0) {
        (void)CSOutFileCut(e->openFile, before);
        return rc;
    }
    emitJournalWrote(c, length);
    // A file whose folder was removed takes writes that no one will read: they count as failed.
    return CSOutFileLinked(e->openFile);
}

// Takes the carried text [from, to) of the holding buffer into the side area: 1, or 0 when the
// area cannot grow (reported at severity 32, without the failure handling).
int carryOut(uint32_t from, uint32_t to) {
    const uint32_t length = to - from;
    if (length + 100 > gSideSize) {
        char *grown = static_cast<char *>(CSGetMem(length + 100));
        if (grown == nullptr) {
            evOutputF(EV_OUT_PROGRESS, 1, "Failed to allocate %u bytes holding area\n", length + 100);
            return 0;
        }
        if (gSide != nullptr) CSFreeMem(gSide);
        gSide = grown;
        gSideSize = length + 100;
    }
    std::memcpy(gSide, emitHolding() + from, length);
    return 1;
}

// Unlike the documented DISCARD, which drops only the text that was not written and goes on in the
// next file with the next record, a file emitter whose file failed under ONERROR DISCARD (a full file
// system, a size limit, a folder it may not write) waits: until its failure delay has passed (the
// failures in a row times the delay, at most the longest), each of its records is dropped at once and
// counted in ERRORCT, with no line, no alert and no file; then the name is tried again. A failure
// that leaves its new file empty removes it, so the name is kept: a full disk costs no file and no
// alert per record. The wait belongs to the emitter's FILE as it failed: a FILE altered, or an emitter
// defined anew under the name, starts without it.
struct FileFailure {
    std::string emitter;
    std::string file;
    uint32_t count;
    int64_t retryTime;
};
std::vector<FileFailure> gFileFailures;

FileFailure *fileFailureOf(const EmitterDef *e) {
    for (FileFailure &failure : gFileFailures)
        if (failure.emitter == e->name && failure.file == e->file) return &failure;
    return nullptr;
}

// The file failed with rc (-1 an open): noted before the failure handling.
void noteFileFailure(EmitContext *c, int rc) {
    EmitterDef *e = c->emitter;
    c->fileFailure = rc;
    if (e->onError != EV_ONERROR_DISCARD) return;
    FileFailure *failure = fileFailureOf(e);
    if (failure == nullptr) {
        std::erase_if(gFileFailures, [e](const FileFailure &old) { return old.emitter == e->name; });
        gFileFailures.push_back(FileFailure{e->name, e->file, 0, 0});
        failure = &gFileFailures.back();
    }
    failure->count++;
    failure->retryTime =
        evClockNow() + std::min<int64_t>(int64_t{failure->count} * evAbsorb.emitFailDelay.load(),
                                         evAbsorb.emitFailDelayMax.load());
}

// Sets the emitter's group stack and document back to where the record began, the record's text gone.
void undoRecord(EmitContext *c) {
    EmitterDef *e = c->emitter;
    c->writePosition = c->recordStart;
    c->overflow = 0;
    e->group = c->recordGroup;
    e->indent = c->recordIndent;
    e->documentRecords = c->recordDocumentRecords;
    e->document.hasMember = c->recordDocumentMember;
}

}  // namespace

int emitExpandFileName(EmitContext *c, const EvLocalTime *t, int mode, char *out, size_t size) {
    EmitterDef *e = c->emitter;
    NameBuilder b{out, size, 0, false};
    out[0] = 0;
    const char *p = e->file;
    bool counters = false;
    e->usesUnique = 0;
    for (; *p != 0; p++) {
        if (*p != '%') {
            b.add(p, 1);
            continue;
        }
        const char token = *++p;
        if (token == 0) break;
        const bool twice = p[1] == token;
        switch (token) {
            case '%':
                b.add("%", 1);
                break;
            case 'C':
                b.addNum((t->year * 10000LL) + t->month * 100 + t->day, 4);
                break;
            case 'c':
                b.addNum((t->year % 100) * 10000LL + t->month * 100 + t->day, 6);
                break;
            case 'D':
                b.addText(twice ? emitDaysLong[t->weekday] : emitDays[t->weekday]);
                break;
            case 'd':
                if (twice) {
                    b.addNum(t->day, 0);
                    b.addText(ordinal(t->day));
                } else {
                    b.addNum(t->day, 2);
                }
                break;
            case 'H':
                b.addNum(t->hour, twice ? 0 : 2);
                break;
            case 'h':
                b.addNum(t->hour % 12, twice ? 0 : 2);
                break;
            case 'I':
            case 'i':
                counters = true;
                c->closeAfterWrite = 1;
                if (mode != 0) b.addNum(e->fileSequence, token == 'I' ? 5 : 0);
                break;
            case 'J':
                b.addNum(t->yearDay + 1, 3);
                break;
            case 'j':
                b.addNum(t->yearDay, 3);
                break;
            case 'M':
                b.addNum(t->minute, 2);
                break;
            case 'm':
                if (p[1] == 'm' && p[2] == 'm') {
                    b.addText(emitMonthsLong[t->month - 1]);
                    p += 2;
                    continue;
                }
                if (twice)
                    b.addNum(t->month, 2);
                else
                    b.addText(emitMonths[t->month - 1]);
                break;
            case 'P':
                b.addText(t->hour < 12 ? "AM" : "PM");
                break;
            case 'p':
                b.addText(t->hour < 12 ? "am" : "pm");
                break;
            case 'S':
                b.addNum(t->second, 2);
                break;
            case 't':
                b.addNum(t->hour * 10000LL + t->minute * 100 + t->second, 6);
                break;
            case 'U':
            case 'u':
                counters = true;
                e->usesUnique = 1;
                if (mode != 0) b.addNum(e->uniqueCounter, token == 'U' ? 5 : 0);
                break;
            case 'y':
                b.addNum(twice ? t->year % 100 : t->year, twice ? 2 : 4);
                break;
            default:
                break;  // an unknown letter is dropped
        }
        // The doubled forms take their second letter too.
        if (twice &&
            (token == 'D' || token == 'd' || token == 'H' || token == 'h' || token == 'm' || token == 'y'))
            p++;
    }
    if (mode == 1 && !counters && !b.full) {
        char suffix[16];
        const int n = std::snprintf(suffix, sizeof suffix, "(%u)", e->fileSequence);
        const size_t used = b.used;
        char *dot = std::strrchr(out, '.');
        const size_t at = dot != nullptr ? static_cast<size_t>(dot - out) : used;
        if (used + static_cast<size_t>(n) >= size) {
            b.full = true;
        } else {
            std::memmove(out + at + n, out + at, used - at + 1);
            std::memcpy(out + at, suffix, static_cast<size_t>(n));
        }
    }
    return b.full ? 0 : 1;
}

int emitOpenFile(EmitContext *c) {
    EmitterDef *e = c->emitter;
    EvLocalTime t{};
    evLocalTimeFields(headerTime(c), &t);
    char name[EV_EMIT_PATH_MAX];
    if (!emitExpandFileName(c, &t, 0, name, sizeof name))
        return emitFailStep(c, "Emitter '%s' file name is too long after expansion", e->name);
    if (std::strcmp(name, e->lastFileName) != 0) {
        std::memcpy(e->lastFileName, name, sizeof name);
        e->fileSequence = 1;
        e->sequenceMode = -1;
        e->uniqueCounter = 1;
    }
    if (!emitExpandFileName(c, &t, e->sequenceMode, name, sizeof name))
        return emitFailStep(c, "Emitter '%s' file name is too long after expansion", e->name);
    if (e->openFile != nullptr && std::strcmp(name, e->openFileName) == 0) return 1;
    if (const FileFailure *failure = fileFailureOf(e);
        failure != nullptr && evClockNow() < failure->retryTime) {
        e->errorCount++;
        evConfigChanged.store(1);
        c->failResult = EMIT_DONE;
        return 0;
    }
    emitCloseQueue(c);
    if (c->replaced) return 0;  // closing the old file failed and memory was reloaded
    for (;;) {
        // A name is listed where a restart looks before its file is made: a kill in between finds
        // nothing to remove. A name in use is not listed.
        const int exists = CSOutFileExists(name);
        if (exists != 0 && exists != ENOENT) {
            noteFileFailure(c, -1);
            return emitFailStep(c, "Can not open '%s' emitter file '%s'", e->name, name);
        }
        if (exists == ENOENT) {
            if (!emitJournalNaming(c, name)) {
                // The data queue refused it: the unit's own state failed, not the emitter's output,
                // and the unit backs out as for a failed save (no ONERROR, no alert).
                evOutput(EV_OUT_ERROR, c->errorText, -1, 1);
                c->failResult = EMIT_FAILED;
                return 0;
            }
            CSOutFile *file = nullptr;
            const int rc = CSOutFileCreate(name, &file);
            if (rc == 0) {
                e->openFile = file;
                std::memcpy(e->openFileName, name, sizeof name);
                emitResetUnit(e);
                if (emitJournalMade(c)) return 1;
                evOutput(EV_OUT_ERROR, c->errorText, -1, 1);
                c->failResult = EMIT_FAILED;
                return 0;
            }
            if (rc != EEXIST) {
                noteFileFailure(c, -1);
                return emitFailStep(c, "Can not open '%s' emitter file '%s'", e->name, name);
            }
        }
        if (e->fileSequence == UINT32_MAX || e->uniqueCounter == UINT32_MAX)
            return emitFailStep(c, "Can not open '%s' emitter file '%s'", e->name, name);
        // Taken, also by another process a moment ago: the next name.
        if (e->usesUnique) {
            e->uniqueCounter++;
        } else {
            e->fileSequence++;
            e->sequenceMode = 1;
        }
        if (!emitExpandFileName(c, &t, e->sequenceMode, name, sizeof name))
            return emitFailStep(c, "Emitter '%s' file name is too long after expansion", e->name);
    }
}

int emitWriteFile(EmitContext *c) {
    EmitterDef *e = c->emitter;
    const uint32_t length = c->writePosition;
    if (length == 0) return 1;
    char *buffer = emitHolding();
    // JSON and NDJSON files are UTF-8 already, and so are the other formats' for a ZUNT_EMIT_CCSID
    // of 1208: their texts are converted as they are written. Any other ZUNT_EMIT_CCSID goes
    // through the byte table.
    const char *bytes = buffer;
    const uint32_t count = length;
    if (!emitIsJson(c) && emitTextTarget(c) != 1208 && emitTranslation != nullptr) {
        for (uint32_t i = 0; i < length; i++)
            buffer[i] = static_cast<char>(emitTranslation[static_cast<uint8_t>(buffer[i])]);
    }
    e->fileBytes += length;
    const int rc = writeWhole(c, bytes, count);
    c->writePosition = 0;
    // The file ends after its last whole record: the failure handling ends its document and closes
    // it, and the next unit opens the next name.
    if (rc != 0) {
        noteFileFailure(c, rc);
        return emitFailStep(c, "Error writing to file '%s' RC(%d)", e->openFileName, rc);
    }
    std::erase_if(gFileFailures, [e](const FileFailure &failure) { return failure.emitter == e->name; });
    advanceColumn(e, buffer, length);
    return 1;
}

void emitCloseGroup(EmitContext *c) {
    EmitterDef *e = c->emitter;
    if (!e->documentOpen) return;
    e->group = &e->document;
    c->writers->framing(c, 2);
    c->writers->endGroup(c);
    e->group = nullptr;
    e->documentOpen = 0;
    e->documentRecords = 0;
}

int emitCloseFile(EmitContext *c) {
    EmitterDef *e = c->emitter;
    if (e->openFile == nullptr) return 1;
    emitCloseGroup(c);
    int ok = emitWriteFile(c);
    if (e->openFile != nullptr) {
        const int rc = CSOutFileClose(e->openFile);
        e->openFile = nullptr;
        if (rc != 0 && ok) ok = emitFailStep(c, "Error writing to file '%s' RC(%d)", e->openFileName, rc);
    }
    e->openFileName[0] = 0;
    emitResetUnit(e);
    return ok;
}

int emitOpenQueue(EmitContext *c) {
    EmitterDef *e = c->emitter;
    ConnectionSet *set = setOf(c);
    EmitQueueSlot &slot = e->queues[set->id];
    const uint16_t generation = set->connectCount.load();
    // An event queue added since the open may be where the queue leads: it is opened and checked again.
    const uint32_t inputAdds = evInputQueueAdds.load();
    if (slot.handle != EV_EMIT_NOT_OPEN && (std::strncmp(slot.name, e->queue, EV_QUEUE_NAME_MAX) != 0 ||
                                            slot.generation != generation || slot.inputAdds != inputAdds)) {
        emitCloseQueue(c);
        if (c->replaced) return 0;
    }
    if (slot.handle != EV_EMIT_NOT_OPEN) return 1;
    if (!emitCloseFile(c) && c->replaced) return 0;
    // Unlike the documented open, which is tried for every record, a queue whose open failed is not
    // opened again before its back-off ends: each failed open of a missing queue raises a local
    // event, which is stored and emitted in turn, and would fail and raise the next for ever. The
    // record fails as the open did, with the same text (so the one "$EMIT" alert stays the one).
    // The emitter's own consecutive failures cannot time this, since ONERROR DISCARD clears them.
    EmitOpenFailure &failure = e->openFailure;
    const int64_t now = evClockNow();
    const bool sameQueue = std::strncmp(failure.queue, e->queue, EV_QUEUE_NAME_MAX) == 0;
    if (failure.queue[0] != 0 && sameQueue && now < failure.retryTime)
        return emitFailStep(c, "MQOPEN on queue '%s' failed RC(%d) %s", e->queue, failure.reason,
                            evReasonText(failure.reason));
    // Deliberately beyond the documented open: an emitter never writes to the program's own command
    // or data queue, by name or through an alias or a remote definition (its records would be run as
    // commands or mixed into the stored state). The record fails as a failed open would.
    char own[EV_CONN_MESSAGE_MAX] = "";
    if (evIsOwnQueue(&evContext, evContext.state.name, e->queue)) {
        evOwnQueueText(own, "Emitter queue", e->queue, evContext.state.name, e->queue);
        return emitFailStep(c, "%s", own);
    }
    const MQHCONN hconn = evConnHandles[set->stateSlot].load();
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_3;  // for the resolved names
    od.ObjectType = MQOT_Q;
    std::memset(od.ObjectName, ' ', MQ_Q_NAME_LENGTH);
    std::memcpy(od.ObjectName, e->queue, strnlen(e->queue, MQ_Q_NAME_LENGTH));
    MQLONG cc = MQCC_FAILED;
    MQLONG rc = MQRC_HCONN_ERROR;
    MQHOBJ hobj = -1;
    if (set->io.mq != nullptr) {
        evTraceOpenIn("MQOPEN(Emit)", hconn, EV_TRACE_CONTROL, &od);
        set->io.mq->MQOPEN(hconn, &od, MQOO_OUTPUT, &hobj, &cc, &rc);
        evTraceOpenOut("MQOPEN(Emit)", hconn, EV_TRACE_CONTROL, &od, hobj, rc);
    }
    if (cc == MQCC_FAILED) {
        // The back-off of the emitter failure delays: the failed opens in a row times Delay, at
        // most DelayMax.
        failure.count = failure.queue[0] != 0 && sameQueue ? failure.count + 1 : 1;
        std::snprintf(failure.queue, sizeof failure.queue, "%s", e->queue);
        failure.reason = rc;
        const int64_t delay = std::min<int64_t>(int64_t{failure.count} * evAbsorb.emitFailDelay.load(),
                                                evAbsorb.emitFailDelayMax.load());
        failure.retryTime = now + delay;
        return emitFailStep(c, "MQOPEN on queue '%s' failed RC(%d) %s", e->queue, rc, evReasonText(rc));
    }
    if (evOpenedOwnQueue(&evContext, evContext.state.name, &od)) {
        evTraceCallIn("MQCLOSE(Emit)", hconn, EV_TRACE_CONTROL, hobj);
        set->io.mq->MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
        evTraceCallOut("MQCLOSE(Emit)", hconn, EV_TRACE_CONTROL, rc);
        evOwnQueueText(own, "Emitter queue", e->queue, od.ResolvedQMgrName, od.ResolvedQName);
        return emitFailStep(c, "%s", own);
    }
    // Nor to a queue that would not keep its records: a model queue (its new dynamic queue is deleted
    // at once) or a transmission queue.
    if (evCannotKeepCopies(set->io.mq, hconn, evContext.state.name, &od, &hobj, "MQCLOSE(Emit)",
                           "Emitter queue", e->queue, own))
        return emitFailStep(c, "%s", own);
    failure = EmitOpenFailure{};
    std::snprintf(slot.name, sizeof slot.name, "%s", e->queue);
    slot.generation = generation;
    slot.inputAdds = inputAdds;
    slot.handle = static_cast<uint32_t>(hobj);
    emitResetUnit(e);
    return 1;
}

int emitPutMessage(EmitContext *c) {
    EmitterDef *e = c->emitter;
    emitCloseGroup(c);
    if (c->overflow)
        return emitFailStep(c, "Record too large for emission storage (%u bytes)", EMIT_HOLDING_SIZE);
    if (c->writePosition == 0) return 1;
    ConnectionSet *set = setOf(c);
    const MQHCONN hconn = evConnHandles[set->stateSlot].load();
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_1;
    std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
    md.MsgType = MQMT_DATAGRAM;
    md.Expiry = MQEI_UNLIMITED;
    md.Feedback = MQFB_NONE;
    md.Encoding = 546;
    // Unlike the documented CodedCharSetId 0 (the queue manager's), each message names the code page
    // its bytes are in: JSON and NDJSON texts are converted to UTF-8 as they are written, the other
    // formats are put as the event texts came (queue output is not translated).
    md.CodedCharSetId = emitIsJson(c) ? 1208 : emitTextCcsid;
    md.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    if (e->msgPersistence == static_cast<uint32_t>(EV_PERSIST_NO))
        md.Persistence = MQPER_NOT_PERSISTENT;
    else if (e->msgPersistence == static_cast<uint32_t>(EV_PERSIST_YES))
        md.Persistence = MQPER_PERSISTENT;
    else
        md.Persistence = c->inputMd != nullptr ? c->inputMd->Persistence : MQPER_PERSISTENCE_AS_Q_DEF;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Timeout = -1;
    pmo.Options = e->put == EV_PUT_IMMEDIATE ? MQPMO_NO_SYNCPOINT : MQPMO_SYNCPOINT;
    MQLONG cc = MQCC_FAILED;
    MQLONG rc = MQRC_HCONN_ERROR;
    const MQHOBJ hobj = static_cast<MQHOBJ>(e->queues[set->id].handle);
    // Deliberately beyond the documented put: a queue that refused a put (put inhibited, full, out of
    // space) is not put to again before its back-off ends (the refusals in a row times Delay, at most
    // DelayMax). Each refused put may raise an event of its own (an inhibit or a queue-full event)
    // that a queue the program reads takes in; stored and emitted, it would be refused and raise the
    // next, for ever. Within the back-off a record fails as the refused put did, with the same text
    // (so the one "$EMIT" alert stays the one), and so does the record of the event the refusal
    // raised: only a record after the back-off tries the queue again.
    EmitOpenFailure &refusal = e->putRefusal;
    const int64_t now = evClockNow();
    const bool sameQueue = std::strncmp(refusal.queue, e->queue, EV_QUEUE_NAME_MAX) == 0;
    const bool waiting = refusal.queue[0] != 0 && sameQueue && now < refusal.retryTime;
    if (waiting) {
        rc = refusal.reason;
    } else if (set->io.mq != nullptr) {
        evTraceCallIn("MQPUT(Emit)", hconn, 0, hobj);
        set->io.mq->MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(c->writePosition), emitHolding(), &cc,
                          &rc);
        evTraceCallOut("MQPUT(Emit)", hconn, 0, rc);
    }
    c->writePosition = 0;
    e->unitRecords = 0;
    e->csvHeaderWritten = 0;
    e->group = nullptr;
    e->indent = 0;
    if (!waiting && cc != MQCC_FAILED) refusal = EmitOpenFailure{};
    if (!waiting && cc == MQCC_FAILED &&
        (rc == MQRC_PUT_INHIBITED || rc == MQRC_Q_FULL || rc == MQRC_Q_SPACE_NOT_AVAILABLE)) {
        refusal.count = refusal.queue[0] != 0 && sameQueue ? refusal.count + 1 : 1;
        std::snprintf(refusal.queue, sizeof refusal.queue, "%s", e->queue);
        refusal.reason = rc;
        refusal.retryTime = now + std::min<int64_t>(int64_t{refusal.count} * evAbsorb.emitFailDelay.load(),
                                                    evAbsorb.emitFailDelayMax.load());
    }
    if (cc == MQCC_FAILED)
        return emitFailStep(c, "MQPUT on queue '%s' failed RC(%d) %s", e->queue, rc, evReasonText(rc));
    return 1;
}

void emitCloseQueue(EmitContext *c) {
    EmitterDef *e = c->emitter;
    emitCloseFile(c);
    ConnectionSet *set = setOf(c);
    EmitQueueSlot &slot = e->queues[set->id];
    if (slot.handle != EV_EMIT_NOT_OPEN && slot.generation == set->connectCount.load() &&
        set->io.mq != nullptr) {
        const MQHCONN hconn = evConnHandles[set->stateSlot].load();
        MQHOBJ hobj = static_cast<MQHOBJ>(slot.handle);
        MQLONG cc = 0;
        MQLONG rc = 0;
        evTraceCallIn("MQCLOSE(Emit)", hconn, EV_TRACE_CONTROL, hobj);
        set->io.mq->MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
        evTraceCallOut("MQCLOSE(Emit)", hconn, EV_TRACE_CONTROL, rc);
    }
    slot.handle = EV_EMIT_NOT_OPEN;
    slot.name[0] = 0;
}

void emitDropUnit(EmitContext *c) {
    EmitterDef *e = c->emitter;
    c->writePosition = 0;
    c->overflow = 0;
    e->group = nullptr;
    e->indent = 0;
    if (e->openFile != nullptr) {
        // The records already in the file stay readable: their document is ended, the file closed,
        // and the next unit opens the next name. The failure that dropped the unit is reported; one
        // here is said only when the close itself fails. A file this unit made that holds nothing
        // goes again, so that its name is tried again.
        const bool empty = emitJournalEmptyMade(e->openFileName);
        if (e->documentOpen && c->writers != nullptr && !empty) {
            emitCloseGroup(c);
            if (!c->overflow) (void)writeWhole(c, emitHolding(), c->writePosition);
        }
        if (int rc = CSOutFileClose(e->openFile))
            evOutputF(EV_OUT_ERROR, 1, "Error writing to file '%s' RC(%d)", e->openFileName, rc);
        if (empty && CSOutFileRemove(e->openFileName) == 0) emitJournalForget(e->openFileName);
        e->openFile = nullptr;
        e->openFileName[0] = 0;
    }
    c->writePosition = 0;
    c->overflow = 0;
    emitResetUnit(e);
}

int emitWriteOut(EmitContext *c) {
    EmitterDef *e = c->emitter;
    if (e->queue[0] != 0) return emitPutMessage(c);
    if (!emitWriteFile(c)) return 0;
    return c->closeAfterWrite ? emitCloseFile(c) : 1;
}

// 1 the record ended; 2 the holding buffer was full, what came before the record went out and the
// caller writes the record again; 0 failed (failResult set).
int emitEnsureSpace(EmitContext *c) {
    EmitterDef *e = c->emitter;
    if (c->wrapping && e->documentOpen) c->writers->framing(c, 4);
    emitEndRecordText(c);
    if (c->overflow) {
        // A unit of several records is written out at the record's start; a record alone fails.
        if (c->recordStart == 0 || (e->queue[0] != 0 && e->unitRecords == 0))
            return emitFailStep(c, "Record too large for emission storage (%u bytes)", EMIT_HOLDING_SIZE);
        undoRecord(c);
        if (e->queue[0] != 0) {
            if (!emitPutMessage(c)) return 0;
        } else if (!emitWriteFile(c)) {
            return 0;
        }
        return 2;
    }
    const bool queue = e->queue[0] != 0;
    uint64_t limit = e->maxSize;
    if (queue && limit > EMIT_HOLDING_SIZE) limit = EMIT_HOLDING_SIZE;
    if (e->unitRecords > 0 && uint64_t{e->fileBytes} + c->writePosition + 100 > limit) {
        // Carry the record into the next unit: its text waits while this unit goes out.
        const uint32_t body = c->recordBodyStart;
        const uint32_t end = c->writePosition;
        if (!carryOut(body, end)) {
            c->failResult = EMIT_FAILED;
            return 0;
        }
        undoRecord(c);
        // The full unit goes out and its file is closed here, so that the next open takes the next
        // name. Unlike the documented step, close-after-write is not set for this: it would stay set
        // for the rest of the emission and close the next file after the carried record alone,
        // where that file must fill as the first did. It stays as the FILE pattern set it.
        if (queue) {
            if (!emitPutMessage(c)) return 0;
        } else if (!emitWriteFile(c) || !emitCloseFile(c)) {
            return 0;
        }
        if (!emitBeginRecord(c)) return 0;
        emitPut(c, gSide, end - body);
    }
    e->unitRecords++;
    if (c->wrapping) return 1;
    return emitWriteOut(c) ? 1 : 0;
}

namespace {

// Closes the emitter's file and its queue of the set; a failure is only reported.
void closeEmitter(QmgrContext *qmgrContext, ConnectionSet *set, EmitterDef *e) {
    char errorText[EMIT_ERROR_MAX];
    EmitContext c{};
    c.qmgrContext = qmgrContext;
    c.set = set;
    c.emitter = e;
    c.errorText = errorText;
    c.closing = 1;
    if (emitSelectFormat(&c)) {
        emitCloseFile(&c);
    } else if (e->openFile != nullptr) {
        if (int rc = CSOutFileClose(e->openFile))
            evOutputF(EV_OUT_ERROR, 1, "Error writing to file '%s' RC(%d)", e->openFileName, rc);
        e->openFile = nullptr;
        e->openFileName[0] = 0;
    }
    EmitQueueSlot &slot = e->queues[set->id];
    if (slot.handle == EV_EMIT_NOT_OPEN) return;
    if (slot.generation == set->connectCount.load() && set->io.mq != nullptr) {
        const MQHCONN hconn = evConnHandles[set->stateSlot].load();
        MQHOBJ hobj = static_cast<MQHOBJ>(slot.handle);
        MQLONG cc = 0;
        MQLONG rc = 0;
        evTraceCallIn("MQCLOSE(Emit)", hconn, EV_TRACE_CONTROL, hobj);
        set->io.mq->MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
        evTraceCallOut("MQCLOSE(Emit)", hconn, EV_TRACE_CONTROL, rc);
    }
    slot.handle = EV_EMIT_NOT_OPEN;
    slot.name[0] = 0;
}

}  // namespace

void emitCloseOutputs(QmgrContext *qmgrContext, ConnectionSet *set) {
    // The disconnect runs on a worker while the other set's callback may still emit.
    CSRecursiveGuard guard(gConsumerLock);
    for (EmitterDef *e = evEmitterList; e != nullptr; e = e->next) closeEmitter(qmgrContext, set, e);
}

void emitCloseEmitter(QmgrContext *qmgrContext, EmitterDef *emitter) {
    CSRecursiveGuard guard(gConsumerLock);
    closeEmitter(qmgrContext, evSet(EV_SET_C), emitter);
    closeEmitter(qmgrContext, evSet(EV_SET_E), emitter);
}

void emitResetUnit(EmitterDef *e) {
    e->column = 0;
    e->documentOpen = 0;
    e->documentRecords = 0;
    e->csvHeaderWritten = 0;
    e->fileBytes = 0;
    e->unitRecords = 0;
    e->indent = 0;
    e->group = nullptr;
}
