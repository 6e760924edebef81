// Command server: takes each message of the command queue (MQSC text, an escape PCF carrying MQSC
// text, or a PCF command of the command set), translates MQSC into PCF through the command tables,
// checks backout, the event-processing rule and authority, runs the handler of the command code and
// answers on the reply-to queue as PCF, AMQ8xxx text or escape responses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "engine/engine.h"
#include "expr/expr.h"
#include "mqi/mqi.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------------------------
// The running command.

// Request kinds.
inline constexpr uint32_t CMD_KIND_MQSC = 1;          // MQSC text ("MQSTR   ")
inline constexpr uint32_t CMD_KIND_ESCAPE = 2;        // MQCMD_ESCAPE (38)
inline constexpr uint32_t CMD_KIND_PCF = 3;           // a PCF command of the command set
inline constexpr uint32_t CMD_KIND_EVENT_ESCAPE = 4;  // an escape from a script event function (9022)

inline constexpr int32_t CMD_EVENT_CALLBACK_ESCAPE = 9022;  // HLV_CMD_EVENT_CALLBACK_ESCAPE
inline constexpr int32_t CMD_STOP_EV = 9028;

// Response kinds of evAddResponse and evSendReply.
inline constexpr int32_t CMD_RESP_TEXT = 1;
inline constexpr int32_t CMD_RESP_ESCAPE = 2;
inline constexpr int32_t CMD_RESP_PCF = 3;

// The system's own reasons.
inline constexpr int32_t HLVRCCF_COMMAND_OK_WITH_TEXT = 10000;
inline constexpr int32_t HLVRCCF_DATA_INCOMPLETE = 10001;
inline constexpr int32_t HLVRCCF_MAX_SOURCE_REACHED = 10002;
inline constexpr int32_t HLVRCCF_COLLATE_NOT_SUITABLE = 10003;
inline constexpr int32_t HLVRCCF_PROGRESS_MESSAGE = 10004;

// Parameters of responses.
inline constexpr int32_t CMD_PARM_TEXT = 39999;       // the response's text (MQCFST, CCSID 850)
inline constexpr int32_t CMD_PARM_SEPARATOR = 40000;  // between merged responses (MQCFIN 0)
inline constexpr int32_t CMD_TEXT_CCSID = 850;

// Pooled areas of a command.
inline constexpr uint32_t CMD_AREA_SIZE = 102400;  // "PCFCOMMAND", "MQSCRESPONSE", "PCFRESPONSE"
inline constexpr uint32_t CMD_COLLATION_SIZE = 921600;
inline constexpr uint32_t CMD_ATTRS_MAX = 1000;  // keywords without a value ("ATTRSAREA", 4000 bytes)

// Per-message state: what the intake, the handlers and the responses share.
struct CmdRequest {
    uint32_t kind;       // CMD_KIND_*
    int32_t lastReason;  // of the latest response added
    int32_t command;     // the MQCFH Command of the running PCF command
    int32_t errorFlag;   // set by a response of any reason but 0 and 10001 to 10004
    int32_t replyReason;
    const MQMD *md;  // the request's, BackoutCount as received
    uint8_t *data;
    int32_t length;
    Area *pcfCommand;
    Area *mqscResponse;
    Area *escResponse;
    Area *pcfResponse;
    Area *collation;
    Area *handlerArea;       // one area a handler may fill; returned at the end of the message
    int32_t collationKind;   // CMD_RESP_* of what the collation holds
    PcfCursor response;      // the builder over "PCFRESPONSE" (evStartPcfResponse)
    int32_t lastObjectType;  // the last EVOBJTYPE seen while writing a response as text
    int32_t noReply;         // the reply queue was refused or could not be opened: nothing more goes
    int32_t running;         // the command has begun to run: a reply refused now is of a command done
    int32_t escapePieces;    // escape reply messages put for the request (numbered from 1)
    int32_t recalled;        // delivered again after a purge whose removals outlived its unit
};

// The running command of the context (made on first use; null only when no storage is left).
CmdRequest *cmdRequest(QmgrContext *context);

// ---------------------------------------------------------------------------------------------
// Intake and dispatch.

// A handler: (context, PCF command, length) -> 1 success / 0 failure; it answers through the
// responses below and never puts a reply itself.
using CmdHandler = int (*)(QmgrContext *context, uint8_t *command, int32_t length);

// One message of the command queue (the engine's slot): 1 consumed and committed with its replies,
// 0 for an internal failure (storage, MQ, a handler's 0): the set's unit then backs out.
[[nodiscard]] int evProcessCommandMessage(QmgrContext *context, EventQueueDef *queue, const MQMD *md,
                                          void *message, int32_t length);
// Steps 1 to 5 of a message without the sync point: 1, or 0 as above.
[[nodiscard]] int evRunCommandMessage(QmgrContext *context, EventQueueDef *queue, const MQMD *md,
                                      void *message, int32_t length);
// A PCF command: backout, the event-processing rule, authority, then the handler.
[[nodiscard]] int evExecutePcfCommand(QmgrContext *context, uint8_t *command, int32_t length);
// The MQSC text of the request's escape PCF.
[[nodiscard]] int evProcessEscape(QmgrContext *context);
// 0 authorised, 1 refused (with the refusal response when a command is given).
int evCheckCommandAuthority(QmgrContext *context, const uint8_t *command);

// The handler of a command code (handlers of other subsystems register at start): 1, or 0 for a
// code outside the command set.
int evRegisterCommandHandler(uint32_t code, CmdHandler handler);

// Slots filled by later subsystems.
// The reply queue name of the console's current connection (48 bytes, blank padded, into out): 1,
// or 0 when there is none. Empty: the event-processing rule never refuses.
extern int (*cmdConsoleReplyQueue)(char out[48]);

// Fills the engine's command-server slots and stream storage's reply hooks.
void cmdInstall();
// Closes every cached reply queue of the context (the disconnect of set C).
void evCloseReplyCache(QmgrContext *context);

// ---------------------------------------------------------------------------------------------
// MQSC translation.

[[nodiscard]] int evProcessMqsc(QmgrContext *context, const char *text, int32_t length);
// The row of a verb (exact, upper case) and object keyword (any case, exact length), or null.
const evCommandDef *evFindCommand(const char *verb, const char *object, size_t length);
// The row of a command code, or null.
const evCommandDef *evCommandByCode(uint32_t code);
// A parameter row of the command by PCF identifier (index or walk), or null.
const evParmDef *evFindParmById(const evCommandDef *command, uint32_t parmId);
// A parameter row by keyword (exact length, any case) that applies to the command's letter; *mode
// gets the letter's mode character. Null when none.
const evParmDef *evFindParmByKeyword(const evCommandDef *command, const char *keyword, size_t length,
                                     char *mode);
// "AMQ8405: Syntax error ..." with the text up to and including the token's first character (the
// whole text without one), then the help text, both as text responses.
int evSyntaxError(QmgrContext *context, const char *text, int32_t length, const char *token,
                  const char *help);

// ---------------------------------------------------------------------------------------------
// Responses.

// Takes "PCFRESPONSE", writes an MQCFH of the running command (CompCode 0, Reason 0) and points
// builder at it; the caller adds the parameters and hands it on with evFinishPcfResponse.
int evStartPcfResponse(QmgrContext *context, PcfCursor **builder);
int evFinishPcfResponse(QmgrContext *context);
// One complete response. The text is final: it is sent as it is, never read as a format.
int evPcfResponse(QmgrContext *context, int32_t command, int32_t reason, int32_t parmId, const char *text);
// The same with a template: every "%s" becomes the keyword of the parameter (plain replacement).
int evPcfResponseNamed(QmgrContext *context, int32_t command, int32_t reason, int32_t parmId,
                       const char *templateText);
// A progress message put at once, outside the unit of work.
int evRespAddString(QmgrContext *context, int32_t command, const char *text);
// Appends one response (CMD_RESP_TEXT or CMD_RESP_PCF; length -1 for a NUL-terminated text).
int evAddResponse(QmgrContext *context, int32_t kind, const uint8_t *data, int32_t length);
// Reply flags.
inline constexpr uint32_t CMD_REPLY_LAST = 1;
inline constexpr uint32_t CMD_REPLY_OUTSIDE_UOW = 2;
int evSendReply(QmgrContext *context, uint32_t flags, int32_t kind, uint8_t *data, int32_t length);
// A PCF response as MQSC text in "MQSCRESPONSE"; *text and *textLength receive it. 1, or 0.
int evBuildMqscResponse(QmgrContext *context, const uint8_t *response, int32_t length, const char **text,
                        int32_t *textLength);
// The MQSC name of a PCF filter operator.
const char *evFormatFilterOperator(int32_t op, char *buffer, size_t size);

// ---------------------------------------------------------------------------------------------
// DISPLAY commands on the system's own objects and the WHERE resolvers.

int evDisplayEventQueue(QmgrContext *context, uint8_t *command, int32_t length);
int evDisplayQmgr(QmgrContext *context, uint8_t *command, int32_t length);
int evDisplayStream(QmgrContext *context, uint8_t *command, int32_t length);
int evDisplayEmitter(QmgrContext *context, uint8_t *command, int32_t length);
int evDisplayEV(QmgrContext *context, uint8_t *command, int32_t length);
int evDisplayAlert(QmgrContext *context, uint8_t *command, int32_t length);
int evDisplayStreamStatus(QmgrContext *context, uint8_t *command, int32_t length);

// ---------------------------------------------------------------------------------------------
// The commands that change the system's own objects: event queues and queue managers, emitters,
// stream definitions and runtime streams, the settings, the counters and the alerts.

int evSuspendEventQueue(QmgrContext *context, uint8_t *command, int32_t length);
int evResumeEventQueue(QmgrContext *context, uint8_t *command, int32_t length);
// Both of the above by the flag (1 SUSPEND, 0 RESUME).
int evSuspendResumeEventQueue(QmgrContext *context, uint32_t suspend, uint8_t *command, int32_t length);
int evAddAlterEventQueue(QmgrContext *context, uint8_t *command, int32_t length);
int evRemoveEventQueue(QmgrContext *context, uint8_t *command, int32_t length);
int evRemoveQmgr(QmgrContext *context, uint8_t *command, int32_t length);
// Closes the queue's handles on set E, logs REMOVE EVQ at commit, frees the record (set E held or
// not running).
void evRemoveEventQueueDef(QmgrContext *context, EventQueueDef *queue);
int evDefineAlterEmitter(QmgrContext *context, uint8_t *command, int32_t length);
int evDeleteEmitter(QmgrContext *context, uint8_t *command, int32_t length);
int evDefineAlterStream(QmgrContext *context, uint8_t *command, int32_t length);
int evDeleteStream(QmgrContext *context, uint8_t *command, int32_t length);
int evRenameStream(QmgrContext *context, uint8_t *command, int32_t length);
int evPurgeStreamStatus(QmgrContext *context, uint8_t *command, int32_t length);
int evCopyStreamStatus(QmgrContext *context, uint8_t *command, int32_t length);
int evAlterEV(QmgrContext *context, uint8_t *command, int32_t length);
int evResetEV(QmgrContext *context, uint8_t *command, int32_t length);
// Zeroes the counters of every queue manager and event queue (their committed copies too) and
// logs what was not zero; RESETTI becomes now.
void evResetCounts(QmgrContext *context);
int evAddAlert(QmgrContext *context, uint8_t *command, int32_t length);
int evRemoveAlert(QmgrContext *context, uint8_t *command, int32_t length);
// The handler of a changing command by code, or null.
CmdHandler cmdChangingHandler(uint32_t code);

// The oldest active aggregation bin's time of a stream, 0 when none (statistics fills it). Empty:
// no bins.
extern int64_t (*cmdOldestActiveBin)(Stream *stream);

// The value of a name among a field's value names, offered first when a WHERE compares a name with
// such a field (the console fills it): 1 with *value. Empty: the name is a variable as any other.
extern int (*cmdResolveValueName)(const evValueName *table, const char *name, size_t length, int32_t *value);

// How the WHERE of the command in text (its MQSC: verb, object and the rest) reads a name compared
// with the field (FIELD EQ name) -> one of CMD_WHERE_*: the field's kind, or that the name is one of
// the field's value names (STATUS EQ ACTIVE). Unknown where the command or field is not found.
inline constexpr int CMD_WHERE_UNKNOWN = 0;
inline constexpr int CMD_WHERE_TEXT = 1;        // the field holds text
inline constexpr int CMD_WHERE_NUMBER = 2;      // the field holds a number
inline constexpr int CMD_WHERE_VALUE_NAME = 3;  // the name, bare, is read as one of the field's values
int evWhereComparedField(const char *text, size_t length, const char *field, size_t fieldLength,
                         const char *name, size_t nameLength);

// The retention unit of the stream displays (DEBUG RETUNIT): 1 minutes, 0 days.
extern std::atomic<int32_t> cmdRetentionInMinutes;

// Names beginning with '_': "_time" is the current time; any other is refused.
int evWhereSystemVar(ExpExpression *expression, ExpValue *variable, ExpValue *result);
// The variables of the object displays: the keywords of the command's parameter table, read from the
// record being tested (the caller block holds the table and the object).
int evWhereObjectVar(ExpExpression *expression, ExpValue *partner, ExpValue *variable, ExpValue *result);
// The variables of DISPLAY EVENTS: the event's header and derived attributes, or a field of the
// stored record (in the BEFORE or AFTER group for a name with that prefix); the caller block's word 1
// holds the search query whose record is being tested.
int evWhereEventVar(ExpExpression *expression, ExpValue *partner, ExpValue *variable, ExpValue *result);
// One attribute of a record through its row's data type: 1 with the value, 0 when it has none.
int evGetAttrValue(const evParmDef *row, ExpExpression *expression, const void *record, int32_t offset,
                   ExpValue *result);

// ---------------------------------------------------------------------------------------------
// DISPLAY EVENTS, the selection parameters it shares with the statistics displays, and DEBUG.

inline constexpr int32_t CMD_NOT_GIVEN = INT32_MIN;  // 0x80000000: MAXRESP or MAXRECS not given
inline constexpr size_t CMD_TIME_TEXT_MAX = 30;      // FROM and TO

// What evParseSelectionParm and evParseFromTo fill. The texts point into the request.
struct EvSelection {
    int32_t command;  // the running command's code, for the refusals
    const char *where;
    int32_t whereLength;
    const char *prewhere;
    int32_t prewhereLength;
    int32_t maxResp;  // 1 to 999999, or CMD_NOT_GIVEN
    int32_t maxRecs;  // 1 to 100000000, or CMD_NOT_GIVEN
    int32_t tz;       // minutes east of UTC, -1440 to 1440
    int32_t tzGiven;
    char fromText[CMD_TIME_TEXT_MAX + 1];  // empty: not given
    char toText[CMD_TIME_TEXT_MAX + 1];
    const char *evQmgr;  // null: not given
    int32_t evQmgrLength;
    int64_t intervalStart;  // INTVLSTA
    int64_t intervalEnd;    // INTVLEND
    int32_t intervalStartGiven;
    int32_t intervalEndGiven;
    // The result of evParseFromTo.
    int64_t from;
    int64_t to;
    int32_t exactWindow;  // INTVLSTA and INTVLEND gave the range
    int32_t zoneMinutes;  // TZ, else the local offset
    int32_t zoneIsLocal;  // no TZ: the zone is this system's own
};
// An empty selection of the command: nothing given.
void evSelectionInit(EvSelection *selection, int32_t command);
// One selection parameter at the cursor: *handled 1 when it is one of them (the result then tells
// whether it was taken: 0 after the refusal), 0 when the caller must deal with it.
int evParseSelectionParm(QmgrContext *context, EvSelection *selection, const PcfCursor *cursor, int *handled);
// The time window from INTVLSTA and INTVLEND, else FROM and TO: 1, or 0 after the refusal.
int evParseFromTo(QmgrContext *context, EvSelection *selection);
// The trace line of a window (0 start or end: open).
void evTraceTimeRange(int64_t start, int64_t end);

int evDisplayEvents(QmgrContext *context, uint8_t *command, int32_t length);

// DEBUG from MQSC text; position is where the text after the verb begins. 1 handled, 0 when the
// caller must answer it as an unknown verb (no authority).
int evDebugCommand(QmgrContext *context, const char *text, int32_t length, const char *position,
                   const char *end);
// The dump lines of one runtime stream, to the log.
void evDebugDumpStream(Stream *stream);

// ---------------------------------------------------------------------------------------------
// Parameter checks. The cursor stands on the current parameter; 1 when the value was taken and no
// failure has been answered so far.

int evParmGetInt(QmgrContext *context, const PcfCursor *cursor, int32_t minimum, int32_t maximum,
                 int32_t *out);
// Days (1 to 24855) and minutes (1 to 35791394) as seconds.
inline constexpr int32_t CMD_MAX_DAYS = 24855;
inline constexpr int32_t CMD_MAX_MINUTES = 35791394;
int evParmGetDays(QmgrContext *context, const PcfCursor *cursor, int32_t *seconds);
int evParmGetMinutes(QmgrContext *context, const PcfCursor *cursor, int32_t *seconds);
// evParmGetString and evCheckName flags.
inline constexpr uint32_t CMD_NAME_SYSTEM_STREAMS = 0x2;  // a leading '$' names a system stream
inline constexpr uint32_t CMD_NAME_WILDCARDS = 0x4;       // '*' and '?'
inline constexpr uint32_t CMD_STRING_HEX = 0x10;          // hexadecimal digits only
inline constexpr uint32_t CMD_NAME_LIST = 0x20;           // a list separated by ','
inline constexpr uint32_t CMD_NAME_LIST_TRIM = 0x40;      // a list, blanks around items removed
inline constexpr uint32_t CMD_NAME_DOLLAR = 0x80;         // '$' allowed
inline constexpr uint32_t CMD_NAME_NULL = 0x100;          // "$null"
// The trimmed text points into the message.
int evParmGetString(QmgrContext *context, const PcfCursor *cursor, uint32_t flags, int32_t maximum,
                    const char **text, int32_t *length);
int evCheckName(const char *text, int32_t length, uint32_t flags);
// An unexpected parameter: the cursor's own reason (3011, 3257, 6123), else by PCF type.
int evParameterError(QmgrContext *context, const PcfCursor *cursor, int32_t parmId, int32_t type);
// A template naming the current parameter by its keyword in the running command's table.
int evParameterNameError(QmgrContext *context, const PcfCursor *cursor, int32_t reason,
                         const char *templateText);
