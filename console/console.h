// Command console: the one console session of the process, its connections to queue managers, the
// output buffer through which every console and script text is shown, the command history,
// synonyms, find, prompt and banner, and the symbolic field values of WHERE filters.
// The script interpreter and the channel-table editor reach in and are reached through the slot
// tables below, which their install functions fill.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "engine/engine.h"
#include "expr/expr.h"
#include "mqi/mqi.h"
#include "platform/platform.h"

struct cslSession;
struct cslConnection;
struct cslOutputLine;
// The script interpreter's records, owned and laid out by the script subsystem.
struct cmdReadContext;
struct cmdProgram;
struct cmdCallContext;
struct cmdCommand;
struct cmdFUNCTION;

// ---------------------------------------------------------------------------------------------
// Limits and defaults.

inline constexpr size_t CSL_NAME_MAX = 48;          // queue-manager and queue names
inline constexpr size_t CSL_CCDT_URL_MAX = 300;     // =conn ccdturl
inline constexpr uint32_t CSL_BUFFER_SIZE = 51200;  // work and request buffers
inline constexpr uint32_t CSL_SMALL_BUFFER_SIZE = 10240;
inline constexpr uint8_t CSL_BUFFER_FILL = 0x55;         // new work buffers are filled with it
inline constexpr size_t CSL_STATUS_TEXT_MAX = 199;       // message line and status messages
inline constexpr size_t CSL_FIND_MAX = 199;              // find string
inline constexpr size_t CSL_PROMPT_MAX = 256;            // the prompt template and its expansion
inline constexpr size_t CSL_IDENTITY_MAX = 101;          // user and computer names of the banner
inline constexpr int32_t CSL_STATUS_LIFETIME = 120;      // seconds a status message stays
inline constexpr int32_t CSL_UNLIMITED_WIDTH = 9999999;  // a width at least this is unlimited
inline constexpr int32_t CSL_SEPARATOR_WIDTH = 80;       // separator of an unlimited width
inline constexpr int32_t CSL_NEST_LIMIT = 20;
inline constexpr int32_t CSL_TIME_PREFIX = 11;  // "[hh:mm:ss] " before a timestamped echo

inline constexpr char CSL_OWN_QUEUE_DEFAULT[] = "HOLVA.ZUNT.COMMAND.QUEUE";
inline constexpr char CSL_MODEL_QUEUE_DEFAULT[] = "SYSTEM.DEFAULT.MODEL.QUEUE";
inline constexpr char CSL_COMMAND_QUEUE_DEFAULT[] = "SYSTEM.ADMIN.COMMAND.QUEUE";
inline constexpr char CSL_CHANNEL_DEFAULT[] = "SYSTEM.ADMIN.SVRCONN";
inline constexpr char CSL_PROMPT_DEFAULT[] = "%C%m%C> ";

inline constexpr int32_t CSL_REASON_NOT_CONNECTED = 6124;

// Line kinds of the output buffer.
inline constexpr uint32_t CSL_LINE_ECHO = 1;
inline constexpr uint32_t CSL_LINE_ECHO_HIDDEN = 4;  // a command issued hidden
inline constexpr uint32_t CSL_LINE_RESPONSE = 32;
inline constexpr uint32_t CSL_LINE_ERROR = 128;
inline constexpr uint32_t CSL_LINE_TRACE = 1024;
inline constexpr uint32_t CSL_LINE_BANNER_DETAIL = 2048;
inline constexpr uint32_t CSL_LINE_FILLER = 4096;
inline constexpr uint32_t CSL_LINE_HEADER = 0x2000;
inline constexpr uint32_t CSL_LINE_OBJECT = 0x4000;
inline constexpr uint32_t CSL_LINE_INCOMPLETE = 0x8000;
inline constexpr uint32_t CSL_LINE_GROUP = 0x10000;
inline constexpr uint32_t CSL_LINE_SEPARATOR = 0x20000;
inline constexpr uint32_t CSL_LINE_BANNER_HEAD = 0x40000;
inline constexpr uint32_t CSL_LINE_NOT_IN_FILE = 0x100000;  // bit: not shown in file mode
inline constexpr uint32_t CSL_LINE_OBJECT_PLAIN = 0x400000;
inline constexpr uint32_t CSL_LINE_HIDDEN = 0x80000000;  // bit: no rows unless hidden lines are shown

// Display flags of a line.
inline constexpr uint32_t CSL_SHOW_FORMATTED = 0x2;        // echo: the formatting setting was on
inline constexpr uint32_t CSL_SHOW_DISPLAY = 0x80;         // echo: a DISPLAY command
inline constexpr uint32_t CSL_SHOW_SEPARATORS = 0x100;     // show separators
inline constexpr uint32_t CSL_SHOW_ALTER = 0x400;          // echo: an ALTER command
inline constexpr uint32_t CSL_SHOW_SCRIPT_HELD = 0x10000;  // echo: held by a running script

// Command flags of an echo line, kept while its replies are collected.
inline constexpr uint32_t CSL_CMD_FAILED = 0x1;
inline constexpr uint32_t CSL_CMD_MATCHED = 0x10;
inline constexpr uint32_t CSL_CMD_RECEIVED = 0x20;
inline constexpr uint32_t CSL_CMD_MULTILINE = 0x200;
inline constexpr uint32_t CSL_CMD_ABORTED = 0x800;
inline constexpr uint32_t CSL_CMD_ENDED = 0x1000;
inline constexpr uint32_t CSL_CMD_LIMITED = 0x20000;
inline constexpr uint32_t CSL_CMD_FIRST_FAILURE = 0x40000;
inline constexpr uint32_t CSL_CMD_SOURCE_LIMITED = 0x80000;
inline constexpr uint32_t CSL_CMD_COLLATE_UNSUITABLE = 0x100000;
// Line flags of the lines of a displayed object.
inline constexpr uint32_t CSL_LINE_OF_OBJECT = 0x4000;
inline constexpr uint32_t CSL_LINE_FIRST_OF_OBJECT = 0x8000;

// Result flags of the session (a word, raised with fetch_or).
inline constexpr uint32_t CSL_RESULT_CONNECT_FAILED = 0x1;
inline constexpr uint32_t CSL_RESULT_FAILED = 0x2;
inline constexpr uint32_t CSL_RESULT_SUCCEEDED = 0x4;
inline constexpr uint32_t CSL_RESULT_MQ_FAILED = 0x8;
inline constexpr uint32_t CSL_RESULT_NO_STORAGE = 0x10;
inline constexpr uint32_t CSL_RESULT_REPLY_QUEUE_FAILED = 0x20;

// Mode flags: the creation value, and the file-mode bit that is never cleared.
inline constexpr uint32_t CSL_MODE_INITIAL = 0x10084c00;
inline constexpr uint32_t CSL_MODE_FILE = 0x80000;
inline constexpr uint32_t CSL_DISPLAY_INITIAL = 0xa4d;

// Redraw requests (nothing draws a screen in file mode; they are kept for the status line).
inline constexpr uint32_t CSL_REDRAW_OUTPUT = 0x1;
inline constexpr uint32_t CSL_REDRAW_BOTTOM = 0x2;
inline constexpr uint32_t CSL_REDRAW_INPUT = 0x4;
inline constexpr uint32_t CSL_REDRAW_ALL = 0x8;

// Separator styles (the separator setting).
inline constexpr int32_t CSL_SEP_MESSAGE = 0;
inline constexpr int32_t CSL_SEP_NONE = 1;
inline constexpr int32_t CSL_SEP_BLANK = 2;
inline constexpr int32_t CSL_SEP_DOTTED = 3;
inline constexpr int32_t CSL_SEP_SOLID = 4;

// Command targets.
inline constexpr int32_t CSL_TARGET_MQ = 0;
inline constexpr int32_t CSL_TARGET_OWN = 1;

// ---------------------------------------------------------------------------------------------
// Output lines. A line is one counted-heap block: the record, then its NUL-terminated text.

struct cslFilter;  // =WHERE and =FIND items of an echo line
struct CslEvent;   // an auto-reset event of a connection's threads

struct cslOutputLine {
    cslOutputLine *next;         // newer
    cslOutputLine *previous;     // older
    cslOutputLine *groupHeader;  // echo lines: the command's current group header
    cslFilter *filters;          // echo lines: the modifiers' filter list
    void *responses;             // echo lines: the response list of a script command
    uint32_t kind;
    uint32_t firstRow;  // first screen row; rows from the buffer's start: less the oldest line's
    uint32_t command;   // number of the command the line belongs to
    uint32_t flags;     // display flags
    uint32_t received;
    uint32_t matched;
    uint16_t rows;
    uint32_t length;  // text length, the time prefix included
};
inline char *cslLineText(cslOutputLine *line) {
    return reinterpret_cast<char *>(line + 1);
}
inline const char *cslLineText(const cslOutputLine *line) {
    return reinterpret_cast<const char *>(line + 1);
}

// One list of lines (one per screen; the main output list is the first).
struct cslOutputList {
    cslOutputLine *newest;
    cslOutputLine *oldest;
    cslOutputLine *located;  // the line last located for a screen row
    uint32_t totalRows;
    uint32_t scrolledBack;
    uint32_t fillers;
    uint32_t lines;  // lines in the list, those without rows included
    // The last run of an in-use command's lines that trimming passed over: its echo line and its
    // last line, or null.
    cslOutputLine *keptEcho;
    cslOutputLine *keptEnd;
};
inline constexpr int CSL_SCREENS = 2;

// ---------------------------------------------------------------------------------------------
// History and synonyms.

struct cslHistoryEntry {
    cslHistoryEntry *newer;
    cslHistoryEntry *older;
    uint32_t length;
    // the text follows, NUL-terminated
};
inline char *cslHistoryText(cslHistoryEntry *entry) {
    return reinterpret_cast<char *>(entry + 1);
}

struct cslSynonym {
    cslSynonym *next;  // in name order, ignoring case
    char *name;        // both texts live in the entry's block
    char *value;
};

// ---------------------------------------------------------------------------------------------
// Connections. The template (inside the session) has the same layout as a live connection.

struct cslConnection {
    cslConnection *next;
    cslSession *session;
    char viaName[CSL_NAME_MAX + 1];
    char connectedName[CSL_NAME_MAX + 1];
    char qmName[CSL_NAME_MAX + 1];
    char administeredName[CSL_NAME_MAX + 1];
    char replyModelQueue[CSL_NAME_MAX + 1];
    int32_t replyModelGiven;              // named by -q or replyq(): its queues are the user's to size
    std::atomic<int32_t> replyDepthKept;  // the reply queue's MAXDEPTH as made, -1 when not known
    char replyPrefix[CSL_NAME_MAX + 1];
    char replyQueueName[CSL_NAME_MAX + 1];
    char commandQueue[CSL_NAME_MAX + 1];
    int32_t client;
    int32_t explicitChannel;
    MQCD channel;
    char ccdtUrl[CSL_CCDT_URL_MAX + 1];
    char *user;  // counted heap, owned; null when none
    char *password;
    char *connectPassword;
    int32_t waitSeconds;
    MQIFunctionTable *mqi;
    int32_t commandLevel;  // -1 fresh, 0 while connecting
    int32_t platform;
    QmgrCapabilities capabilities;
    std::atomic<int32_t> replyReaderRunning;
    std::atomic<uint32_t> replyReaderThreadId;
    std::atomic<int32_t> replyHconn;
    MQHOBJ replyHobj;
    std::atomic<int32_t> ending;
    std::atomic<int32_t> closing;
    std::atomic<int32_t> workerRunning;
    std::atomic<uint32_t> workerThreadId;
    // What a stalled wait is waiting on: when the worker took the request it still runs (its MQI
    // call has not returned), and when the reply reader's MQGET began, with its wait interval; 0
    // when neither is under way.
    std::atomic<int64_t> workerCallSince;
    std::atomic<int64_t> replyGetSince;
    std::atomic<int32_t> replyGetWaitMs;
    char *requestText;  // CSL_BUFFER_SIZE bytes; the one field cslInitQmConnection keeps
    int32_t requestKind;
    std::atomic<int32_t> hconn;  // -1 when not connected
    MQHOBJ commandHobj;
    MQHOBJ replyPutHobj;
    uint8_t *pcfBuffer;  // counted heap, owned
    char *replyBuffer;
    char statusText[CSL_STATUS_TEXT_MAX + 1];
    // The threads' events; the own command queue's handle and the name it was opened with.
    CslEvent *requestEvent;
    CslEvent *responseEvent;
    MQHOBJ ownHobj;
    char ownQueueOpen[CSL_NAME_MAX + 1];
    uint32_t pcfBufferSize;
    uint32_t replyBufferSize;
    std::atomic<uint32_t> lastReplied;  // the highest request a reply has named
    char *namelistCommand;  // an ALTER NAMELIST with =ADD or =RMV as typed, while its names are read
    int32_t namelistSent;   // its ALTER has gone
};

// Fills a record with the defaults, keeping only its request buffer; hconn, replyHconn and
// commandLevel -1. Makes the session's shared scratch buffer on first use. 1, or 0 with
// "Can not allocate %d bytes\n" on standard error and the memory-failure flag.
[[nodiscard]] int cslInitQmConnection(cslSession *session, cslConnection *record);
// 1 when the live record may serve a =conn with the template's options.
int cslSameConnection(const cslConnection *templateRecord, const cslConnection *record);
// Makes a connection of the template's options current: an equal live one, or a new one with its
// worker started. 0, 2071 (no storage for the record) or 2195 (its buffer or events).
int32_t cslGetConnection(cslSession *session);
void cslSetCurrentConnection(cslSession *session, cslConnection *record, int announce);
// The connect sequence (the worker thread): 1 when connected.
int cslConnect(cslSession *session, cslConnection *record);
// =disc: 1 when it was connected.
int cslDisconnect(cslSession *session, cslConnection *record, int announce);
// Removes the remembered credentials of the template's queue manager.
void cslForgetPassword(cslSession *session);
// Frees a record's events, strings and buffers (not the request buffer).
void cslFreeConnection(cslConnection *record);
// Frees what a record owns (strings, buffers); the request buffer is its unlinker's.
void cslReleaseConnectionStrings(cslConnection *record);
inline bool cslConnected(const cslConnection *record) {
    return record != nullptr && record->hconn.load() != -1;
}

// The console's own pair of MQ libraries (the server one for bindings, the client one).
extern MQIFunctionTable cslServerTable;
extern MQIFunctionTable cslClientTable;

// The console's connection to the engine's event queue manager fills the engine's sweep link
// (evConsoleLink) when it is made, and sets it to -1 again before it disconnects or when its
// connect fails.

// The current connection's reply queue name (48 bytes, blank padded, into out): 1, or 0 while it
// has none. The command server compares a command's ReplyToQ with it.
int cslCurrentReplyQueue(char out[48]);

// ---------------------------------------------------------------------------------------------
// Slot tables of the subsystems built after the console. No slot is called while null.

enum CslEchoSwitch : uint32_t {
    CSL_ECHO_INPUT = 0,
    CSL_ECHO_CMDS,
    CSL_ECHO_LANG,
    CSL_ECHO_FUNC,
    CSL_ECHO_LANGCON,
    CSL_ECHO_RESP,
    CSL_ECHO_BLANK,
    CSL_ECHO_SWITCHES
};

// An =import line's parameters; the texts NUL-terminated, null when not given.
struct CslImportRequest {
    const char *text;        // the whole line
    const char *file;        // as given, blanks trimmed
    const char *parameters;  // parms(...), bound to @_Parm when the file runs
    int32_t quiet;           // commands read from the file are not echoed
    int32_t stopOnFailure;   // sof
};

// The script interpreter (scriptInstall()).
struct CslScriptServices {
    // The ZUNTEnding hook, with the hook context cleared for the call; the console holds the
    // script lock. Null: no hook runs.
    void (*runEndingHook)(cslSession *session);
    // cmdEchoCommand: echoes a command line (isCommand) or statement as a line of the kind (1, or 4
    // for a script loop's command); the line, or null when the echo failed.
    cslOutputLine *(*echoCommand)(cslSession *session, int isCommand, int suppress, const char *text,
                                  uint32_t kind);
    // cmdQueueText: parses text into records at the running list's current position; 1 or 0.
    int (*queueText)(cslSession *session, int wrap, int markEmpty, const char *text);
    // cmdSubstituteInline: a new counted-heap text with every <@...> and <_...> replaced, each value
    // data of the token it falls in (never ending a string or statement), or null when there is
    // nothing to replace (*ok 0 on an error).
    char *(*substituteInline)(cslSession *session, const char *text, int *ok);
    // cmdBindParms: binds an =import's parameter text to @_Parm.
    int (*bindParms)(cslSession *session, const char *text);
    // cslEvaluateExpression: the value of an expression text as new counted-heap text, or null
    // (the error is printed).
    char *(*evaluateToText)(cslSession *session, const char *text, int64_t length, uint32_t basePosition);
    // cslEvaluateToNumber: 1 with *number, or 0.
    int (*evaluateToNumber)(cslSession *session, const char *text, uint32_t basePosition, int64_t *number);
    // The print and fprint statements of a command line: 1, or 0 on failure.
    int (*print)(cslSession *session, const char *arguments);
    int (*fprint)(cslSession *session, const char *arguments);
    // =import: reads the named file into an =import block after the importing line (the running
    // record, or the line just parsed); 1 read to its end, 0 refused or stopped on an error (the
    // messages given; what was read is removed again).
    int (*importFile)(cslSession *session, const CslImportRequest *request);
    // dbgResolveBreakpoints, after text was queued into a list.
    void (*resolveBreakpoints)(cslSession *session, cmdCommand *first, cmdFUNCTION *function);
    // cmdRunCommands: runs the session's running list; 1 to its end, 0 stopped.
    int (*runCommands)(cslSession *session);
    // 1 when the current input source stops on its first failure (=import sof).
    int (*stopsOnFailure)(cslSession *session);
    // The variable and function callbacks of =WHERE filters (cslVariableCallback and
    // cslCallFunctionCallback).
    ExpVariableCallback whereVariable;
    ExpFunctionCallback whereFunction;
    // The current input source's echo switches: read (-1) or set (0, 1); the switch's value.
    int (*echoSwitch)(cslSession *session, CslEchoSwitch which, int set);
    // Frees the program, its functions and the reader contexts (teardown).
    void (*freeProgram)(cslSession *session);
    // =show func(pattern): the matching functions, with list their comments and bodies; the count
    // shown.
    int (*showFunctions)(cslSession *session, const char *pattern, size_t length, int list);
};
extern CslScriptServices cslScript;

// The channel-table editor (ccdtInstall()).
struct CslCcdtServices {
    // Opens the file to check it and closes it again: 0, or a channel-table code 10001 to 10011
    // with its text in message.
    int32_t (*openCheck)(cslSession *session, const char *file, char *message, size_t messageSize);
    // One MQSC-style command of the edit mode; 1 done, 0 failed.
    int (*editCommand)(cslSession *session, const char *text, int32_t length);
    // The same for a script loop's command (its echo line is the session's echoLine).
    int (*loopCommand)(cslSession *session, const char *text, int32_t length);
    // =merge: channels (a list of names or patterns) copied from another table into the current
    // one; 1 done, 0 failed (reported).
    int (*merge)(cslSession *session, const char *fromFile, const char *channels, int replace);
    // The MQCD version of the channel records written from now on.
    void (*setOutputVersion)(cslSession *session, int32_t mqcdVersion);
};
extern CslCcdtServices cslCcdt;
// What the channel-table editor uses of a command's echo line: the modifiers on the request text of
// the connection (0: the command must not run), the filter test and one response message.
int cslApplyModifiers(cslSession *session, cslConnection *record, int *handled);
int cslMatchResponse(cslSession *session, cslOutputLine *echo, const char *text, size_t length);
void cslOutputResponse(cslSession *session, cslOutputLine *echo, const char *text, size_t length);

// ---------------------------------------------------------------------------------------------
// The "=output" file: opened by "=output" (close-on-exec, "w" or "a"), lines copied to it through
// write and flush. The calls are the platform's file calls, wired at start; while open is empty,
// "=output" cannot open a file.
struct CslFileCalls {
    void *(*open)(const char *path, int append);                 // the file, or null
    int (*write)(void *file, const void *bytes, size_t length);  // 0 done, else the OS error
    int (*flush)(void *file);
    void (*close)(void *file);
};
extern const CslFileCalls *cslOutputFileCalls;

// The banner's identity, each asked once per session; a call that fails or is absent gives
// "Unknown". Tests put a fake in place.
struct CslIdentity {
    int (*userName)(char *out, size_t size);      // 1, or 0
    int (*computerName)(char *out, size_t size);  // 1, or 0
};
// Installs (null: the system's own); returns the previous.
const CslIdentity *cslSetIdentity(const CslIdentity *identity);

// ---------------------------------------------------------------------------------------------
// The session.

struct cslSession {
    // Status and counters.
    std::atomic<uint32_t> resultFlags;
    std::atomic<int32_t> summaryIssued;
    std::atomic<int32_t> summarySucceeded;
    std::atomic<int32_t> summaryFailed;
    std::atomic<int32_t> lastReason;
    std::atomic<int32_t> replyReason;  // the first failing reason in the current command's replies
    int32_t servedByExisting;          // the last =conn found a connection
    // Start-up bits.
    int32_t configNotApplied;
    int32_t connectPending;
    int32_t attributeCheckRunning;
    // Nesting (the dispatcher).
    int32_t nestDepth;
    int32_t nestOverflow;
    // Input: the script's state.
    cmdReadContext *input;
    cmdProgram *program;
    cmdCallContext *callContext;
    std::atomic<int32_t> stopFlag;
    std::atomic<int32_t> endRequested;  // "end" or "quit"
    std::atomic<int32_t> runningHook;   // an engine hook runs: its waits for replies are limited
    int32_t ending;
    // Target.
    int32_t target;  // CSL_TARGET_*
    char ownQueue[CSL_NAME_MAX + 1];
    // CCDT mode.
    int32_t ccdtMode;
    char *ccdtFile;
    int32_t ccdtVersion;  // MQCD version of new channel records (=ccdt version)
    // Identity.
    int64_t tag;
    // Display.
    uint32_t modeFlags;
    uint32_t displayFlags;
    uint32_t showFlags;
    int32_t screenWidth;
    int32_t screenHeight;
    int32_t screenNumber;
    uint32_t consoleThread;
    std::atomic<uint32_t> redraw;  // CSL_REDRAW_*, asked for by any thread
    int32_t hiddenOutput;          // hidden lines exist
    int32_t showHidden;
    // Settings: "=set" takes no effect, so these are the behaviour.
    int32_t formatting;
    int32_t wrap;
    int32_t columns;
    int32_t colwidth;
    int32_t separator;
    int32_t autosep;
    int32_t timestamp;
    int32_t distotals;
    int32_t authmsgs;
    int32_t cswhere;
    int32_t respwait;  // seconds
    uint32_t history;  // rows of the main output list
    uint32_t cmdhist;  // history entries
    char prompt[CSL_PROMPT_MAX];
    // Locks, built with the session. Order: script, console, display, then platform's order from
    // the consumer lock.
    CSRecursiveLock consoleLock{"console"};
    CSRecursiveLock displayLock{"display"};
    // Buffers.
    uint32_t requestBufferSize;
    char *workBuffer[2];
    char *smallBuffer;
    char *scratch;  // made by the first cslInitQmConnection
    char *lastError;
    uint32_t lastErrorSize;
    // Output.
    void *outputFile;  // "=output"; null when none
    const CslFileCalls *outputFileCalls;
    char *outputFileName;
    char *importPath;
    cslSynonym *synonyms;
    int32_t synonymsChanged;
    cslHistoryEntry *historyNewest;
    cslHistoryEntry *historyOldest;
    cslHistoryEntry *historyCursor;
    uint32_t historyCount;
    cslOutputList screens[CSL_SCREENS];
    cslOutputLine *echoLine;    // the echo line of the command being issued
    cslOutputLine *lastObject;  // the last object line of a response
    uint32_t commandNumber;     // the current command's number
    // Find.
    char findText[CSL_FIND_MAX + 1];
    uint32_t findLength;
    uint32_t findFlags;
    cslOutputLine *findLine;  // the cursor after a hit; null: not on an output row
    uint32_t findColumn;
    // Message line and status message.
    char messageLine[CSL_STATUS_TEXT_MAX + 1];
    int64_t messageTime;
    char statusNow[CSL_STATUS_TEXT_MAX + 1];
    int64_t statusExpiry;
    int32_t statusShown;
    char statusPending[CSL_STATUS_TEXT_MAX + 1];
    int64_t pendingShowTime;
    int64_t pendingExpiry;
    int32_t pendingSet;
    // The last status text written to the output in file mode, and when.
    char fileStatusText[CSL_STATUS_TEXT_MAX + 1];
    int64_t fileStatusTime;
    // Prompt and input line.
    char promptText[CSL_PROMPT_MAX];
    uint32_t promptLength;
    int32_t promptShowsSeconds;
    int32_t promptShowsMinutes;
    uint32_t inputLength;
    // Repeat.
    int32_t repeating;
    int32_t repeatHistory;
    int32_t lastKey;
    char repeatText[CSL_PROMPT_MAX];
    cslOutputLine *repeatMark;  // the newest line before the repeat's first pass
    // Identity of the banner, asked once.
    int32_t identityFetched;
    char userName[CSL_IDENTITY_MAX + 1];
    char computerName[CSL_IDENTITY_MAX + 1];
    // Connections.
    cslConnection templateConnection;
    cslConnection ccdtConnection;
    cslConnection *current;
    cslConnection *lastServed;
    cslConnection *connections;
    // Request numbers (only growing), the waiting mark, the request times.
    std::atomic<uint32_t> requestIssue;
    std::atomic<uint32_t> requestPosted;
    std::atomic<uint32_t> requestTaken;
    std::atomic<uint32_t> requestPut;
    std::atomic<uint32_t> requestCompleted;
    std::atomic<uint32_t> requestRead;
    cslConnection *requestConnection;  // the connection the posted request went to
    std::atomic<int32_t> waiting;
    int64_t requestStart;
    int64_t requestDeadline;
    std::atomic<int32_t> repliesReceived;
    // Attribute check.
    const cslMqscCommand *checkRow;
    int32_t unhandledCount;
};

// The one session; null until it exists. Published last by cslCreateSession.
extern std::atomic<cslSession *> gSession;

inline bool cslFileMode(const cslSession *session) {
    return (session->modeFlags & CSL_MODE_FILE) != 0;
}
inline cslOutputList *cslMainList(cslSession *session) {
    return &session->screens[0];
}

// Creates and publishes the session (tag: overwritten with the creation time). 0, or 1 when it
// could not be made; with a session already published, 0 and nothing changes.
[[nodiscard]] int cslCreateSession(int64_t *tag);
// Copies the engine's connection settings into the session, creating it first when none exists.
// 1, or 0 when no session could be made.
int cslApplyConfiguration();
// Runs the ending hook, ends the connections and frees the session. 1 (also without a session);
// a connection whose threads outlive the wait leaves the session in place.
int cslEndSession();
// Fills the engine's console slots.
void cslInstall();

// ---------------------------------------------------------------------------------------------
// Output buffer.

// The command number argument of cslAddOutput that takes the session's current command number.
inline constexpr int64_t CSL_CURRENT_COMMAND = -1;

// Adds a line after `after` (null: as the newest) of the list; length -1: up to the NUL. The new
// line, the line a header merged into, or null (no console width, no storage).
cslOutputLine *cslAddOutput(cslSession *session, cslOutputList *list, cslOutputLine *after, const char *text,
                            int64_t length, uint32_t kind, int64_t command);
// printf-style front of cslAddOutput for a new newest line of the main list.
cslOutputLine *cslAddOutputF(cslSession *session, uint32_t kind, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
uint16_t cslLineRows(const cslSession *session, const cslOutputLine *line);
void cslFreeOutputLine(cslSession *session, cslOutputList *list, cslOutputLine *line);
// Removes every line newer than `line` (null: every line).
void cslClearOutput(cslSession *session, cslOutputList *list, cslOutputLine *line);

// Where cslWriteLine and cslSeparatorLine write.
enum CslStream : int32_t { CSL_STREAM_STDOUT = 1, CSL_STREAM_OUTPUT_FILE = 2 };
void cslWriteLine(cslSession *session, CslStream stream, uint32_t kind, const char *text, int64_t length);
void cslSeparatorLine(cslSession *session, CslStream stream, int32_t style);

void cslStatusMessage(cslSession *session, const char *text, int64_t time, int64_t showTime);
// File mode has no status line: while the console waits, a status text that tells why (connecting,
// a slow command server) set at or after `since` is written as an output line, the same text at
// most once in 10 seconds.
void cslShowStatusInFileMode(cslSession *session, int64_t since);
void cslSetStatus(cslSession *session, const char *text);
void cslClearInputLine(cslSession *session);
void cslBuildPrompt(cslSession *session, int fullRedraw);
void cslAddHistory(cslSession *session, const char *text);
// 1 set (or removed), 0 refused (the error lines are added).
int cslSetSynonym(cslSession *session, const char *name, const char *value);
// 1 when defining `name` with `value` would recurse (the error lines are added), else 0.
int cslCheckSynonymRecursion(cslSession *session, const char *name, const char *value);
const cslSynonym *cslFindSynonym(const cslSession *session, const char *name, size_t length);

inline constexpr uint32_t CSL_FIND_CASE = 1;
inline constexpr uint32_t CSL_FIND_SINGLE = 2;
inline constexpr uint32_t CSL_FIND_BACKWARDS = 4;
// The find command "/text/suffixes": 1 when the search ran and hit, else 0 (the message line says).
int cslParseFind(cslSession *session, const char *text);
int cslFind(cslSession *session);

void cslShowMachine(cslSession *session, cslOutputList *list);
inline constexpr uint32_t CSL_REPEAT_HISTORY = 1;
inline constexpr uint32_t CSL_REPEAT_CLEAR = 2;
inline constexpr uint32_t CSL_REPEAT_KEEP = 4;
// Runs the command through the script's run slot until ESC; 1, or 0 on a storage failure.
int cslRepeatCommand(cslSession *session, const char *command, int32_t delaySeconds, uint32_t flags);
// One key of the keyboard while repeating into the session's last key; 0 when none.
int32_t cslPollKey(cslSession *session);
void cslBlankLines(cslSession *session);
void cslTraceStatus(cslSession *session, const char *label);
// 1 (after the error line) in file mode, else 0.
int cslIgnoreInFileMode(cslSession *session, const char *command);

// ---------------------------------------------------------------------------------------------
// Issuing commands.

enum CslRequestKind : int32_t {
    CSL_REQUEST_COMMAND = 1,
    CSL_REQUEST_LOCAL = 2,     // =conn, =disc, =zunt, =mqsc
    CSL_REQUEST_INTERNAL = 3,  // the engine's =conn and the teardown's =disc
    CSL_REQUEST_LOOP = 4,      // a command of a script loop
};

// Posts one request to the current connection (making one first when forced or pending) and
// waits for its response. 1 when the command was echoed or the wait ended with a response.
int cslIssueMQCommand(cslSession *session, const char *text, int32_t kind, int32_t forceConnect,
                      int32_t quiet, int32_t waitSeconds, cslOutputLine **echoLineOut);
int cslWaitForResponse(cslSession *session, cslConnection *record);
// =conn with its parameter text (what follows "=conn"); kind as cslIssueMQCommand's.
int cslDoConnectCommand(cslSession *session, const char *text, int32_t kind, const char *parameters);
// Raises the template's MQCD version to the one that holds the field at that offset.
void cslNoteOptionGroup(cslSession *session, size_t fieldOffset);

// Reply handlers named in a request's MsgId.
enum CslReplyHandler : uint16_t {
    CSL_REPLY_DISCARD = 0,
    CSL_REPLY_COLLECT = 1,
    CSL_REPLY_DEPTH = 2,
    CSL_REPLY_NAMELIST = 4,
    CSL_REPLY_HANDLERS = 5
};
// Builds a command (escape PCF, or MQSC text to z/OS) and puts it. 1, or 0 (reported).
int cslSendCommand(cslSession *session, cslConnection *record, const char *text, uint16_t handler);
// Reads replies on the reply connection: wait -1 until the connection ends, 0 what is there.
void cslGetReply(cslSession *session, cslConnection *record, uint32_t awaited, int32_t waitMs);
// The UTC time of a "KEYWORD(yyyy-mm-dd hh:mm:ss (UTC))" token in local time, written to out; 0
// (out untouched) when the token does not match.
int cslFormatUtcDate(const char *token, size_t length, char *out, size_t size);
// A response's attributes one token at a time: "KEYWORD(value)", a bare keyword, or a message line
// (keyword 0). 1 with the token in out, 0 at the end.
struct CslAttrCursor {
    const char *text;
    size_t length;
    size_t at;
    int inList;       // inside a list value, cut at its commas
    int wholeLists;   // list values are one token each, never cut at their commas
    size_t valueEnd;  // where the value being read ends (its ')'), set by the parse
};
int cslParseResponseAttrs(CslAttrCursor *cursor, char *out, size_t size, size_t *length, int *keyword);
// 1 when a response text is a display response.
int cslClassifyResponse(const char *text, size_t length);

// MQSC text routines shared with the script reader and the command server's WHERE resolvers.
// keyword(value) at text[position] ('(' there); flags 1 report errors as error lines (session may be
// null then), 2 keep quotes, 4 the closing bracket may be missing, 8 keep surrounding blanks. 1 with
// the value (inside text), its length, the position after ')' and whether quotes were removed.
int cslParseKeyword(cslSession *session, cslOutputLine *echo, uint32_t flags, const char *keyword,
                    size_t keywordLength, size_t position, const char *text, size_t end, const char **value,
                    size_t *valueLength, size_t *next, int *quoted);
// The span of keyword(value) outside brackets (empty when absent) and its value; 0 on a syntax
// error. length -1: up to the NUL.
int cslFindKeyword(cslSession *session, cslOutputLine *echo, uint32_t flags, const char *text, int64_t length,
                   const char *keyword, size_t *spanStart, size_t *spanLength, const char **value,
                   size_t *valueLength);
// The next item of a list value (to a ',' outside quotes and brackets); 0 at the end.
int cslNextListItem(const char **position, const char *end, const char **item, size_t *length);
// 1 when the names match: quoted exactly, unquoted ignoring case; generic: a is a '*' '?' pattern.
int cslCompareNames(const char *a, size_t aLength, const char *b, size_t bLength, int generic);

// ---------------------------------------------------------------------------------------------
// The console's own '=' commands.

// A value row: a literal (no case), "<value>" any, "<number>" an optional '-' and digits, "" the
// value is optional; a row beginning with '!' is a label ("!t": the help placeholder).
struct CslValueRow {
    const char *value;
    const char *description;
};
// A command or parameter row; a name beginning with '~' is hidden from help lists.
struct CslCommandRow {
    const char *name;
    const char *description;
    const CslCommandRow *parms;
    const CslValueRow *values;
};
static_assert(sizeof(CslCommandRow) == 32);
extern const CslCommandRow cslLocalCommandTable[];

inline constexpr int CSL_MAX_WORDS = 20;
struct CslParmPair {
    const CslCommandRow *row;  // the command's row (pair 0) or the parameter's
    const char *value;         // inside the work buffer; null without brackets
    size_t valueLength;
};
// Splits and checks a '=' command line into pairs (pair 0 the command); the count, or 0 after an
// error (echoed line and message) or a help request.
int cslParseCommandParms(cslSession *session, const char *text, CslParmPair *pairs, char *work,
                         size_t workSize);
// Runs one '=' command line.
int cslIssueLocalCommand(cslSession *session, const char *text);
// The file an =import names, joined to the importing file's directory (or, without one, to the
// default import path): "dir/name"; a name that begins with '/', '\\' or a drive letter and ':' is
// used as it is. 1, or 0 with "Can not open file '%s'" when the result would be too long.
inline constexpr size_t CSL_PATH_MAX = 4096;
int cslJoinPath(cslSession *session, const char *importer, const char *name, char *out, size_t size);
// The one entry of a console command line (a script's, an imported file's, a synonym's).
void cslIssueCommand(cslSession *session, const char *text);
// The same for a line that is a substitution's result: its '<' are text, not values to put in.
void cslIssueSubstitutedCommand(cslSession *session, const char *text);
// "!unhandled!": displays every object type and counts the reply attributes its DISPLAY row does
// not know.
void cslCheckUnhandledAttributes(cslSession *session);
// One DISPLAY of the check when the MQSC table has a DISPLAY row for the object: 1 issued, else 0.
int cslCheckDisplayType(cslSession *session, const char *object, const char *command);

// ---------------------------------------------------------------------------------------------
// Symbolic field values.

// The row whose keyword is the whole name (no case), or null. A table ends at a row with an empty
// display text or a null keyword.
const evValueName *cslFindValueName(const evValueName *table, const char *name, size_t length);
// The attribute fields of an IBM MQ object type (an event's EVOBJTYPE): those of its DISPLAY row
// in the console's MQSC command table, or null for a type without one.
const evParmDef *cslAttributeDictionary(int32_t objectType);
// A bare name compared with a field (its row, or null): 1 with *out the keyword (string kinds 'R',
// 'l', 'r', 's') or value number ('i', 'j'); 0 when the name stays a plain name.
int cslResolveValueName(ExpExpression *e, const evParmDef *field, const ExpValue *name, ExpValue *out);
// The same for an integer field with these value names, as the command server's WHERE asks: 1 with
// *value, or 0.
int cslResolveValueNumber(const evValueName *table, const char *name, size_t length, int32_t *value);
// The row of an attribute or group id in an object type's dictionary (object type 0: the first
// dictionary that names it), or null.
const evParmDef *cslAttributeById(int32_t objectType, int32_t id);
