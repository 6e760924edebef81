// Record emitters: every record a stream stores or absorbs is written, when the stream names an
// emitter, to a file or a queue as JSON, NDJSON, MQSC-style text or CSV. The text of a record is
// built in one holding buffer and written out in units that stay under the emitter's MAXSIZE; a
// failing output is dropped with a "$EMIT" alert, or suspends its source queue and reloads memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "engine/engine.h"
#include "mqi/mqi.h"
#include "streams/streams.h"

// Owned by the statistics aggregation; an emit context carries them for the absorbers.
struct AggrKeyGroup;
struct AggrEntry;
struct AggrMsgDesc;

// The holding buffer every emission builds its text in; no record may need more.
inline constexpr uint32_t EMIT_HOLDING_SIZE = 2000000;
inline constexpr size_t EMIT_ERROR_MAX = 1024;

// Value kinds handed to the value writers.
enum EmitKind : uint32_t {
    EMIT_KIND_INT = 3,
    EMIT_KIND_TEXT = 4,
    EMIT_KIND_INT_LIST = 5,  // elements little-endian i32 at ptr
    EMIT_KIND_BYTES = 9,
    EMIT_KIND_INT64 = 23,
    EMIT_KIND_ALL = 214,
    EMIT_KIND_TIME = 222,
    EMIT_KIND_STRING_ID = 223,
    EMIT_KIND_STRING_LIST = 224,  // string ids little-endian u32 at ptr
};

inline constexpr int32_t EMIT_INT_UNSET = INT32_MIN;      // 0x80000000
inline constexpr int32_t EMIT_INT_ALL = INT32_MIN + 2;    // 0x80000002
inline constexpr int64_t EMIT_INT64_UNSET = INT64_MIN;    // 0x8000000000000000
inline constexpr int64_t EMIT_INT64_ALL = INT64_MIN + 2;  // 0x8000000000000002

struct EmitValue {
    uint32_t kind;
    uint32_t length;  // texts and byte strings
    uint32_t count;   // lists
    int32_t i32;
    int64_t i64;      // 64-bit integers, times, string ids
    const void *ptr;  // text, bytes, list elements
    uint32_t ccsid;   // a text's own code page; 0 the one the records' texts are in
};

struct EmitContext;

// The writer set of a FORMAT.
struct EmitWriters {
    // A field's or a group's name; groupOpening is 1 when a group opens under it.
    void (*name)(EmitContext *context, const char *name, uint32_t length, int groupOpening);
    // Opens a group (pushed on the emitter's group stack); id names it for the formats that show only some.
    void (*group)(EmitContext *context, EmitGroup *group, int32_t id, const char *name, uint32_t length);
    void (*value)(EmitContext *context, const evParmDef *row, const EmitValue *value);
    void (*endGroup)(EmitContext *context);            // closes the innermost group
    void (*framing)(EmitContext *context, int event);  // 1 document start, 2 end, 3 before a record, 4 after
};

// The work context of one emission, built by each caller; the aggregation absorbers carry their
// own state in it too.
struct EmitContext {
    QmgrContext *qmgrContext;
    ConnectionSet *set;  // the set whose unit of work the emission belongs to
    QmgrEntry *qmgr;
    Stream *stream;
    StreamDef *streamDef;
    int8_t noEmit;                   // emitRecord succeeds at once
    const evCommandDef *commandRow;  // the DISPLAY command whose table lists the record's fields
    uint8_t *record;                 // evCF header and items
    uint32_t recordLength;
    evCFCursor cursor;
    EmitterDef *emitter;
    const PcfSummary *event;  // the intake's summary of an event record, or null
    char *errorText;          // EMIT_ERROR_MAX bytes
    uint32_t writePosition;   // next free byte of the holding buffer
    uint8_t closeAfterWrite;
    uint8_t csvColumnar;
    uint8_t replaced;  // memory was reloaded or the connection ends: the caller stops at once
    uint8_t wrapping;
    uint32_t recordStart;
    uint32_t recordBodyStart;
    uint8_t uniqueId[24];
    uint32_t subRecord;
    const EmitWriters *writers;
    const MQMD *inputMd;  // the message the set is processing (MSGPERS ASMSG), or null
    // Aggregation's work state.
    AggrBin *bin;
    AggrKeyGroup *keyGroup;
    AggrEntry *entry;
    void *workArea;
    AggrMsgDesc *msgDesc;
    int32_t loading;
    int32_t stop;
    // Emission's own state.
    int32_t failResult;                         // what the failure handling gave, when a step returned 0
    void (*writeFields)(EmitContext *context);  // the fields of the object being written
    const void *object;                         // the decoded statistics object the fields are read from
    uint8_t closing;                            // outputs closed at a disconnect: a failure is only reported
    uint8_t overflow;                           // a write found the holding buffer full
    uint8_t csvHeader;                          // the CSV header line is being written
    uint8_t eventRecord;     // the record is an event (row-per-field CSV, a blank line after it)
    uint32_t csvColumns;     // columns on the current CSV line
    uint32_t fieldStart;     // where the current MQSC field began
    EmitGroup *recordGroup;  // the group stack, indentation and document state when the record began
    int32_t recordIndent;
    uint32_t recordDocumentRecords;
    uint32_t recordDocumentMember;
    int32_t fileFailure;  // the failure being handled is the file's: its errno (-1 an open), 0 not
};

// Results of the engine's emitter slots and of emitRecord.
inline constexpr int EMIT_FAILED = 0;
inline constexpr int EMIT_DONE = 1;
inline constexpr int EMIT_REPLACED = 2;

// Writes a record through the stream's emitter: EMIT_DONE (also without an emitter), EMIT_FAILED,
// or EMIT_REPLACED when memory was reloaded or the connection ends (the caller stops at once and
// touches none of its pointers). The context's stream, queue manager, set and unique id are set.
[[nodiscard]] int emitRecord(EmitContext *context, uint8_t *record, uint32_t length);
// The emitter the definition names (cached in it while its name still matches), or null.
EmitterDef *emitFindEmitter(StreamDef *def);
// The writers of the emitter's FORMAT: 1, or 0 for a FORMAT outside 1 to 4.
int emitSelectFormat(EmitContext *context);

// Closes the outputs of every emitter that the set has open: its queue handles on the set's STATE
// connection and every open file (the disconnect, and before memory is reloaded).
void emitCloseOutputs(QmgrContext *qmgrContext, ConnectionSet *set);
// Closes one emitter's file and its queues of both sets, before ALTER or DELETE EVEMIT changes or
// frees it.
void emitCloseEmitter(QmgrContext *qmgrContext, EmitterDef *emitter);

// ---- The text formats (emit/format.cpp) ----

// The name of a group for emitted records and script variables: 8001 CMDCTX, 8002 CMDDATA, 39200
// BEFORE, 39201 AFTER, 39202 COMMON, 39203 DATA (JSON and NDJSON: zuntCommandContext, ...); other ids
// through the attribute dictionaries when the console has filled them, else "GRP%d". Returns the
// length written into name (size bytes, NUL-terminated).
uint32_t evGroupName(const EmitContext *context, int32_t groupId, char *name, size_t size);
// The CSV field of a text: quoted when it holds '"', ',', CR or LF, each '"' doubled. Writes at most
// size bytes and returns the bytes the field needs.
size_t emitCsvQuote(char *out, size_t size, size_t length, const char *text);
// 1 when ZEROVALS HIDE leaves the value out.
int emitIsZeroValue(const evParmDef *row, const EmitValue *value);

// The console's MQSC attribute dictionaries, as the console fills them: the row that names the
// attribute or group id (object type 0: any type), or null. Empty until the console is built;
// emitters then name other groups "GRP%d", and the command server reads it for group 8002 names.
extern const evParmDef *(*emitAttributeLookup)(int32_t objectType, int32_t id);

// ---- Statistics and accounting: the record parsers that the statistics fill ----

// One parser for each of the commands 164 to 168: the first call (first 1) decodes the key part,
// every call puts the next object at the start of work (workSize bytes, which the field table's
// offsets address): 1, or 0 when the record is used up. An empty slot fails the emission with "No
// record parser for command %d".
struct EmitRecordParser {
    int (*parse)(int first, evCFCursor *cursor, void *work);
    uint32_t workSize;
};
inline constexpr int EMIT_FIRST_STATS_COMMAND = 164;
extern EmitRecordParser emitRecordParsers[5];

// ---- What the engine lends ----

// The punctuation set of the event queue manager's CCSID, or null for the characters themselves;
// and the 256-byte table file output is translated through (ZUNT_EMIT_CCSID), or null.
extern const MQPunctuationEntry *emitPunctuation;
extern const uint8_t *emitTranslation;
// The CCSID the records' texts are in (0: not known), and the conversion texts take to the CCSID
// they are written in (MQConvertShown: what is not valid in a text's own CCSID is replaced; 0 done,
// *outLength the bytes written).
extern int32_t emitTextCcsid;
extern int32_t emitOutputCcsid;  // ZUNT_EMIT_CCSID, else the texts' own
extern int (*emitConvertText)(const char *text, int32_t length, char *out, int32_t *outLength,
                              int32_t fromCcsid, int32_t toCcsid);

// Fills the engine's emitter slots (emit, close at disconnect, sync-point flush).
void emitInstall();
