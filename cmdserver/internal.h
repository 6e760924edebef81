// What the files of the command server share: the per-context state, the area helpers and a
// bounded text writer.
#pragma once

#include <cstdarg>
#include <cstring>

#include "cmdserver/cmdserver.h"

inline constexpr int CMD_REPLY_CACHE_SIZE = 20;
inline constexpr int64_t CMD_REPLY_IDLE_SECONDS = 121;

struct CmdReplyEntry {
    char qmgr[49];
    char queue[49];
    char user[12];  // the requester whose authority opened it (the MQMD UserIdentifier)
    int32_t deadLetter;
    MQHOBJ hobj;  // -1 when free
    int32_t options;
    uint32_t inputAdds;  // evInputQueueAdds when it was opened
    int64_t lastUse;
};

// Held by the context's opaque slot.
struct CmdState {
    CmdRequest request;
    CmdReplyEntry *cache;  // CMD_REPLY_CACHE_SIZE entries, made on first use
};

CmdState *cmdState(QmgrContext *context);
// Whether a fixed-length field holds only blanks up to its end or first NUL.
bool cmdBlankName(const MQCHAR *name, size_t size);
// The code page the program's texts are held in (the one its requests were read in), 0 unknown.
int32_t cmdTextCcsid(const CmdRequest *request);
// A text from its own CCSID as shown in another, through the command set's connection
// (MQConvertShown: what is not valid in the source becomes U+FFFD or a substitution character).
int cmdConvertShown(const char *text, int32_t length, char *out, int32_t *outLength, int32_t fromCcsid,
                    int32_t toCcsid);
// Room for a response's text (MQCFST 39999).
inline constexpr size_t CMD_TEXT_MAX = 4096;
// Logs, once for the request, that its reply queue is one of the program's own and no reply goes.
void cmdRefuseReplyQueue(QmgrContext *context, const MQCHAR *qmgr, const MQCHAR *queue);
// Before the command runs: opens its reply queue the way its replies will (the handle stays cached
// for them), so that a queue leading to one of the program's own (an alias, a remote definition, the
// dead-letter queue) refuses the command before anything of it runs: 0 then (logged). 1 otherwise; a
// queue that does not open is logged once and gets no reply, the command runs.
int cmdOpenReplyFirst(QmgrContext *context);
// The dynamic queue name of a model reply queue: "ZUNT.%s.*" with the user name cut to 41
// characters, blank padded to 48 bytes in out.
void cmdDynamicName(const char *user, char *out);

// Takes an area of the running command on first need: 1, or 0 when it cannot be had.
int cmdTakeArea(Area **slot, uint32_t size, const char *name);
// Returns every area of the running command.
void cmdReleaseAreas(CmdRequest *request);

// The keyword of a parameter: the row of the command's table, else any command's row in table
// order; null when none.
const char *cmdKeywordOfParm(const evCommandDef *command, int32_t parmId);
// "AMQ8426: Valid ZUNT commands are:" and the verbs: the help of an unknown verb.
extern const char *const cmdVerbHelp;
// Builds the parameter indexes once.
void cmdBuildIndexes();
// Writes text with every "%s" replaced by keyword (plain replacement) into out (size bytes).
void cmdFillKeyword(char *out, size_t size, const char *templateText, const char *keyword);

// Whether the command code is an object display, whose WHERE reads its names through
// evWhereObjectVar.
bool cmdIsObjectDisplay(uint32_t code);

// What a DISPLAY walk offers to the responses and the WHERE resolver: the record and, for stream
// status, its queue manager, runtime stream and definition.
struct CmdObject {
    const void *record;
    QmgrEntry *qmgr;
    Stream *stream;
    const StreamDef *definition;
};

// The oldest record time of a runtime stream (its blobs and active bins), now when it holds none.
int64_t cmdStreamOldest(const Stream *stream, int64_t now);

// A text written into a fixed buffer that never passes its end: a piece that does not fit is left
// out and marks the writer full.
struct CmdText {
    char *data;
    size_t size;  // room, the NUL included
    size_t used;
    bool full;
};
inline void cmdTextInit(CmdText *t, char *data, size_t size) {
    t->data = data;
    t->size = size;
    t->used = 0;
    t->full = size == 0;
    if (size) data[0] = '\0';
}
// Appends length bytes whole, or nothing (the writer is then full).
inline bool cmdTextAppend(CmdText *t, const char *text, size_t length) {
    if (t->full || length >= t->size - t->used) {
        t->full = true;
        return false;
    }
    std::memcpy(t->data + t->used, text, length);
    t->used += length;
    t->data[t->used] = '\0';
    return true;
}
bool cmdTextPrintf(CmdText *t, const char *format, ...) __attribute__((format(printf, 2, 3)));
