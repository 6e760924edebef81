// Configuration and alerts: the in-memory configuration (event processor settings, monitored queue
// managers, event queues, emitters), the alert record, the MQSC-style change log of every change,
// the command and parameter tables of the command set (which double as the field tables of
// expressions and scripts) and the console's table of MQSC commands.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "streams/streams.h"

// Room for the texts the functions here leave in a caller's buffer.
inline constexpr size_t EV_CONFIG_TEXT = 256;

// ---------------------------------------------------------------------------------------------
// Counters. Every counter that intake raises has the value at connect (for the rates of a
// connection) and the committed value (a backout copies it back); all three change only under the
// consumer lock.

struct EvCounter {
    uint32_t current;
    uint32_t atConnect;
    uint32_t committed;
};

// ---------------------------------------------------------------------------------------------
// Event processor settings (the object EV). NAME, DESCR, LOGPATH, MAXLOGAGE, MAXLOGSZ and LOGRET
// live in platform's evLogSettings (changed by logSetSettings only); EvSettings holds the other
// twelve. Every thread reads them without a lock, hence the integers are atomics read and written
// relaxed; DEADQ is read and written under the consumer lock (evSettingsWrite and
// evSettingsDefaults take it; the callbacks, which hold it, read it in place; any other reader takes
// evSettingsDeadQueue's copy).

inline constexpr size_t EV_QUEUE_NAME_MAX = 48;

// ACCTSELF
inline constexpr int32_t EV_ACCTSELF_DISCARD = 0;
inline constexpr int32_t EV_ACCTSELF_KEEP = 1;
// USEDLQ
inline constexpr int32_t EV_USEDLQ_NO = 0;
inline constexpr int32_t EV_USEDLQ_YES = 1;
inline constexpr int32_t EV_USEDLQ_IFAVAIL = 2;
// DISPCMDS
inline constexpr int32_t EV_DISPCMDS_DISCARD = 1;
inline constexpr int32_t EV_DISPCMDS_HIDE = 2;
inline constexpr int32_t EV_DISPCMDS_SHOW = 3;
// VERCHECK
inline constexpr int32_t EV_VERCHECK_NO = 0;
inline constexpr int32_t EV_VERCHECK_VERSION = 1;
inline constexpr int32_t EV_VERCHECK_BUILD = 2;

// ALTER EV takes ALERTRET and LOGRET in days and MAXLOGAGE in minutes; the stored seconds are 32-bit,
// so ALTER EV refuses more days or minutes than these (2147483647 seconds).
inline constexpr int32_t EV_ALTER_MAX_DAYS = 24855;
inline constexpr int32_t EV_ALTER_MAX_MINUTES = 35791394;

struct EvSettings {
    std::atomic<int32_t> alertRetention;           // ALERTRET, seconds
    char deadQueue[EV_QUEUE_NAME_MAX + 1];         // DEADQ; empty: the queue manager's own
    std::atomic<int32_t> accountingSelf;           // ACCTSELF
    std::atomic<int32_t> useDlq;                   // USEDLQ
    std::atomic<int32_t> displayCommands;          // DISPCMDS
    std::atomic<int64_t> resetTime;                // RESETTI: the last RESET EV TYPE(COUNTS)
    std::atomic<int32_t> defaultMaxRecords;        // DEFMAXRECS
    std::atomic<int32_t> versionCheck;             // VERCHECK
    std::atomic<int32_t> authDuration;             // AUTHDURN, seconds
    std::atomic<int32_t> defaultBackoutThreshold;  // DEFBOTHR
    std::atomic<int32_t> stormThreshold;           // STORMTHR
    std::atomic<int32_t> stormInterval;            // STORMINT, seconds
    // Owned by the engine.
    std::atomic<int64_t> startTime;         // STARTTI
    char startTimeText[EV_DATE_TIME_TEXT];  // STARTTI as the C run-time's text; written once at start
    std::atomic<int64_t> connectTime;       // CONNTI
    std::atomic<int32_t> deadQueueReopen;   // DEADQ changed: the intake opens the dead-letter queue anew
};
static_assert(std::is_standard_layout_v<EvSettings>);
extern EvSettings evSettings;

// The event processor's counts of statistics and accounting messages (DISPLAY EV's STATQCT,
// STATMQICT, STATCHLCT, ACCTQCT and ACCTMQICT), in the order of the queue managers' counters from
// EV_QMC_STATQ on; raised by the statistics intake in set E's unit, whose commit and backout keep
// their committed copies.
inline constexpr int EV_STATS_COUNTERS = 5;
extern EvCounter evStatsCounters[EV_STATS_COUNTERS];

// A plain copy of every setting of EV, the log's six included: what ALTER EV changes in a copy
// before it applies it, and what the change lines of EV are written from.
struct EvSettingsValues {
    LogSettings log;  // NAME, DESCR, LOGPATH, MAXLOGAGE, MAXLOGSZ, LOGRET (and the heartbeat)
    int32_t alertRetention;
    char deadQueue[EV_QUEUE_NAME_MAX + 1];
    int32_t accountingSelf;
    int32_t useDlq;
    int32_t displayCommands;
    int64_t resetTime;
    int32_t defaultMaxRecords;
    int32_t versionCheck;
    int32_t authDuration;
    int32_t defaultBackoutThreshold;
    int32_t stormThreshold;
    int32_t stormInterval;
};

// Sets the twelve settings to their defaults; the start time becomes STARTTI and RESETTI.
void evSettingsDefaults(int64_t startTime);
// Copies every setting into values (DEADQ under the consumer lock).
void evSettingsRead(EvSettingsValues *values);
// A copy of DEADQ, taken under the consumer lock.
void evSettingsDeadQueue(char deadQueue[EV_QUEUE_NAME_MAX + 1]);
// Makes the values the settings (the log's through logSetSettings); a changed DEADQ raises the
// dead-letter reopen request.
void evSettingsWrite(const EvSettingsValues *values);

// ---------------------------------------------------------------------------------------------
// Monitored queue managers (the object EVQMGR): a tree keyed by the 48-byte name and its
// terminator, compared as bytes (so "qm1" and "QM1" are two queue managers).

inline constexpr char EV_QMGR_EYECATCHER[] = "evQMS";

// The category counters, in their stored order; EVENTCT counts every event.
enum EvQmgrCounter : int {
    EV_QMC_EVENTS,
    EV_QMC_AUTHOR,
    EV_QMC_CHL,
    EV_QMC_CMD,
    EV_QMC_CONFIG,
    EV_QMC_INHIBIT,
    EV_QMC_LOCAL,
    EV_QMC_LOGGER,
    EV_QMC_PERFM,
    EV_QMC_REMOTE,
    EV_QMC_SSL,
    EV_QMC_STRSTP,
    EV_QMC_IMSBR,
    EV_QMC_STATQ,
    EV_QMC_STATMQI,
    EV_QMC_STATCHL,
    EV_QMC_ACCTQ,
    EV_QMC_ACCTMQI,
    EV_QMGR_COUNTERS
};

struct QmgrEntry {
    CSTree links;
    char name[EV_QUEUE_NAME_MAX + 1];  // the key
    uint16_t nameLength;
    uint32_t number;  // unique; the owner part of the names of the queue manager's blobs
    uint32_t nameId;  // the name in the string pool, 0 while not interned
    EvCounter counters[EV_QMGR_COUNTERS];
    uint32_t alertCount;  // ALERTCT: alerts linked to this queue manager (not saved)
    Stream *streams;      // its runtime streams
};
static_assert(std::is_standard_layout_v<QmgrEntry>);
static_assert(offsetof(QmgrEntry, name) == CS_TREE_KEY);

extern CSTree *evQmgrTree;
// The highest queue-manager number handed out; it only grows while the program runs.
extern uint32_t evQmgrHighestNumber;

// The queue manager of that name (cut to 48 characters), added when absent: a new one gets the
// number given (a stored one, raising the counter to it) or, for 0, the counter plus 1, has its
// name interned in the string pool (CCSID 850) and sets evConfigChanged. A present one whose name
// is not interned yet is interned now. Null with "Can not add Queue Manager '%s', out of storage."
// in errorText (EV_CONFIG_TEXT bytes) when no storage is left. Takes the structure lock.
QmgrEntry *evQmgrFindOrAdd(const char *name, uint32_t number, char *errorText);

// ---------------------------------------------------------------------------------------------
// Event queues (the object EVQ): a tree keyed by the 48-byte name, compared as 48 bytes.

inline constexpr char EV_EVENTQ_EYECATCHER[] = "evEVENTQ";
inline constexpr char EV_COMMAND_QUEUE_NAME[] = "HOLVA.ZUNT.COMMAND.QUEUE";
inline constexpr size_t EV_DESCR_MAX = 64;

// TEMPQ
inline constexpr int32_t EV_TEMPQ_DISCARD = 0;
inline constexpr int32_t EV_TEMPQ_STORE = 1;
// FWDPSIST, and an emitter's MSGPERS
inline constexpr int32_t EV_PERSIST_NO = 0;
inline constexpr int32_t EV_PERSIST_YES = 1;
inline constexpr int32_t EV_PERSIST_ASMSG = 2;

// STATUS of an event queue.
enum EvQueueStatus : uint32_t {
    EV_EVQ_DEFINED,
    EV_EVQ_ACTIVE,
    EV_EVQ_NOTAUTH,
    EV_EVQ_WRONGTYPE,
    EV_EVQ_NOTEXIST,
    EV_EVQ_INHIBITGET,
    EV_EVQ_FWDQFAIL,
    EV_EVQ_INUSE,
    EV_EVQ_SUSPENDED,
    EV_EVQ_FAILED,
    EV_EVQ_BOQFAIL,
    EV_EVQ_EMITFAIL,
    EV_EVQ_DATAHIGH,
    EV_EVQ_DATAPUT,
    EV_EVQ_DATAGET
};

// The counters of an event queue, in their stored order.
enum EvQueueCounter : int {
    EV_EQC_MSGS,
    EV_EQC_EVENTS,
    EV_EQC_DLQ,
    EV_EQC_ACCTQ,
    EV_EQC_ACCTMQI,
    EV_EQC_STATQ,
    EV_EQC_STATMQI,
    EV_EQC_STATCHL,
    EV_EQC_ERRORS,
    EV_EQC_BORQ,
    EV_QUEUE_COUNTERS
};

struct EventQueueDef {
    CSTree links;
    char name[EV_QUEUE_NAME_MAX + 1];          // EVQ, the key
    char descr[EV_DESCR_MAX + 1];              // DESCR
    char forwardQueue[EV_QUEUE_NAME_MAX + 1];  // FWDQ; empty for none
    char forwardOpenName[EV_QUEUE_NAME_MAX + 1];
    char forwardResolvedName[EV_QUEUE_NAME_MAX + 1];  // the queue the open of forwardOpenName found
    char inputResolvedName[EV_QUEUE_NAME_MAX + 1];    // the queue the input open found; empty: held
    char backoutOpenName[EV_QUEUE_NAME_MAX + 1];
    // The backout queue: "*" (every new queue's) takes the queue's own BOQNAME, a name that queue.
    char backoutQueue[EV_QUEUE_NAME_MAX + 1];
    int32_t tempQ;               // TEMPQ
    int32_t backoutThreshold;    // the queue's own, or DEFBOTHR
    int32_t forwardPersistence;  // FWDPSIST
    uint16_t nameLength;
    int32_t inputHandle;  // -1 when not open
    int32_t forwardHandle;
    int32_t backoutHandle;
    EvCounter counters[EV_QUEUE_COUNTERS];
    uint32_t ownCommandQueue;  // 1 on the program's own command queue
    uint32_t queueEmpty;       // the consumer's flags
    uint32_t registered;
    uint32_t openComplete;
    uint32_t consumerSuspended;
    uint32_t suspended;          // SUSPENDED (saved)
    uint32_t status;             // STATUS (saved)
    int64_t beforeWaitingSince;  // a 'before' half has waited since then; 0 when none (not saved)
    int64_t lastMessageTime;     // LSTMSGTI
};
static_assert(std::is_standard_layout_v<EventQueueDef>);
static_assert(offsetof(EventQueueDef, name) == CS_TREE_KEY);

extern CSTree *evEventQueueTree;
// The record of the program's own command queue, or null.
extern EventQueueDef *evCommandQueueDef;

// The event queue of the template's name; an existing one is returned unchanged (the template is
// not applied). A new one is a copy of the template with its name length, handles -1, the backout
// queue "*" unless the template names one and, for HOLVA.ZUNT.COMMAND.QUEUE, the own-command-queue
// mark; it logs "ADD EVQ" and sets evConfigChanged.
// Null with reason 2071 and "Can not add Queue '%s', out of storage." when no storage is left.
EventQueueDef *evEventQueueFindOrAdd(const EventQueueDef *queue, int32_t *reason, char *errorText);
// Adds a queue with every field zero but SUSPENDED 1 and FWDPSIST ASMSG (the queues made when no
// configuration is stored). The record, or null when no storage is left.
EventQueueDef *evEventQueueAddDefault(const char *name);

// Drops the configuration held for a connection: the queue-manager tree with each queue
// manager's runtime streams, and with all also the event-queue tree and the command-queue
// pointer. Emitters and stream definitions stay; the queue-manager counter keeps its value.
void cfgFreeModel(int all);

// ---------------------------------------------------------------------------------------------
// Emitters (the object EVEMIT): their definitions, in a list sorted by name in byte order.

inline constexpr size_t EV_EMIT_NAME_MAX = 48;
inline constexpr size_t EV_EMIT_FILE_MAX = 300;
// Room of an expanded file name: every token of a 300-character pattern at its longest fits.
inline constexpr size_t EV_EMIT_PATH_MAX = 4096;

// FORMAT
inline constexpr uint32_t EV_EMIT_JSON = 1;
inline constexpr uint32_t EV_EMIT_MQSC = 2;
inline constexpr uint32_t EV_EMIT_CSV = 3;
inline constexpr uint32_t EV_EMIT_NDJSON = 4;
// READER
inline constexpr uint32_t EV_READER_PROGRAM = 0;
inline constexpr uint32_t EV_READER_HUMAN = 1;
// ZEROVALS
inline constexpr uint32_t EV_ZEROVALS_HIDE = 0;
inline constexpr uint32_t EV_ZEROVALS_SHOW = 1;
// PUT
inline constexpr uint32_t EV_PUT_NORMAL = 0;
inline constexpr uint32_t EV_PUT_IMMEDIATE = 1;
// ONERROR
inline constexpr uint32_t EV_ONERROR_SUSPEND = 0;
inline constexpr uint32_t EV_ONERROR_DISCARD = 1;
// GROUPING
inline constexpr uint32_t EV_GROUPING_ORIGINAL = 0;
inline constexpr uint32_t EV_GROUPING_SINGLE = 1;

inline constexpr uint32_t EV_EMIT_NOT_OPEN = 0xFFFFFFFF;  // a queue slot's handle when not open

// A group of the writers while it is open, on the emitter's group stack.
struct EmitGroup {
    EmitGroup *enclosing;
    uint32_t hasMember;
    uint32_t opened;   // the format wrote an opening for it
    const char *name;  // CSV only
    uint32_t nameLength;
    uint32_t firstColumnWritten;  // CSV only
};

// An emitter's queue as one connection set opened it.
struct EmitQueueSlot {
    char name[EV_QUEUE_NAME_MAX + 1];
    uint16_t generation;  // the connection generation it was opened under
    uint32_t handle;      // EV_EMIT_NOT_OPEN when not open
    uint32_t inputAdds;   // the count of event queues added when it was opened (engine's)
};

// The last failed open of an emitter's queue: that queue is not opened again before retryTime.
struct EmitOpenFailure {
    char queue[EV_QUEUE_NAME_MAX + 1];  // empty when the last open succeeded
    int32_t reason;
    uint32_t count;     // failed opens of that queue in a row
    int64_t retryTime;  // seconds since 1970
};

struct EmitterDef {
    EmitterDef *next;
    char name[EV_EMIT_NAME_MAX + 1];    // EVEMIT
    char descr[EV_DESCR_MAX + 1];       // DESCR
    char queue[EV_QUEUE_NAME_MAX + 1];  // QUEUE; empty for a file emitter
    char file[EV_EMIT_FILE_MAX + 1];    // FILE: the file name pattern; empty for a queue emitter
    uint32_t nameLength;
    uint32_t format;          // FORMAT
    uint32_t reader;          // READER
    uint32_t msgPersistence;  // MSGPERS
    uint32_t maxSize;         // MAXSIZE, bytes
    uint32_t zeroValues;      // ZEROVALS
    uint32_t put;             // PUT
    uint32_t onError;         // ONERROR
    uint32_t grouping;        // GROUPING
    uint32_t msgCount;        // MSGCT
    uint32_t errorCount;      // ERRORCT
    int64_t failTime;         // FAILTIME; 0 when none
    uint32_t consecutiveFailures;
    // Run state: not saved, not displayed.
    EmitQueueSlot queues[2];  // by connection set
    EmitOpenFailure openFailure;
    EmitOpenFailure putRefusal;  // the last refused put to its queue, as openFailure (emitPutMessage)
    std::FILE *openFile;
    EmitGroup document;  // the document wrapper group
    EmitGroup *group;    // the innermost open group
    uint32_t column;
    uint32_t documentRecords;
    uint32_t fileSequence;
    int32_t sequenceMode;  // -1 fresh name, 1 suffix in use
    uint32_t uniqueCounter;
    uint32_t usesUnique;
    uint32_t singleRecord;
    uint32_t csvHeaderWritten;
    uint32_t fileBytes;
    uint32_t unitRecords;
    uint32_t documentOpen;
    uint32_t command;  // MQ command code of the record being emitted
    int32_t indent;
    char lastFileName[EV_EMIT_PATH_MAX];  // the last name expanded without counters
    char openFileName[EV_EMIT_PATH_MAX];  // empty when no file is open
};
static_assert(std::is_standard_layout_v<EmitterDef>);

extern EmitterDef *evEmitterList;

// The template every new emitter copies: JSON, PROGRAM, ASMSG, 100 KB, ZEROVALS SHOW, the rest 0.
const EmitterDef *evEmitterTemplate();
// The emitter whose name equals the first 48 characters of name (length -1: up to the NUL), or null.
EmitterDef *evFindEmitterDef(const char *name, int32_t length);
// The emitter of that name; a new one from the template (both queue handles not open) is put in
// name order and sets evConfigChanged. Null when no storage is left.
EmitterDef *evCreateEmitterDef(const char *name, int32_t length);

// ---------------------------------------------------------------------------------------------
// Alerts (the object EVALERT); the list and its operations belong to the alerts.

inline constexpr size_t EV_ALERT_CATEGORY_MAX = 10;
inline constexpr size_t EV_ALERT_TEXT_MAX = 1024;

// SEVERITY
inline constexpr int32_t EV_SEVERITY_TERM = 50;
inline constexpr int32_t EV_SEVERITY_SEVERE = 40;
inline constexpr int32_t EV_SEVERITY_ERROR = 30;
inline constexpr int32_t EV_SEVERITY_WARN = 20;
inline constexpr int32_t EV_SEVERITY_INFO = 10;

// Allocated as sizeof(AlertDef) plus the length of its text.
struct AlertDef {
    AlertDef *next;
    uint32_t id;                               // EVALERT, unique in the list
    int32_t severity;                          // SEVERITY
    uint32_t inExpiry;                         // 1 while its expiry hook runs
    uint32_t expiringThread;                   // the thread that set inExpiry
    uint32_t eventId;                          // EVENTID: the stored event it belongs to, 0 when none
    uint32_t streamId;                         // the stream that event was stored in, 0 when none
    char category[EV_ALERT_CATEGORY_MAX + 1];  // CATEGORY; '$' begins a system category
    char qmgr[EV_QUEUE_NAME_MAX + 1];          // EVQMGR
    char objectName[EV_QUEUE_NAME_MAX + 1];    // EVOBJNAME
    int32_t objectType;                        // EVOBJTYPE: MQOT_* or 10005 (EVQ), 0 for none
    uint32_t counted;                          // 1 while ALERTCT (and its queue manager's) counts it
    int64_t time;                              // ALERTTI
    uint32_t retention;                        // RETINTVL, seconds
    uint32_t raisingEvent;                     // the event whose script hook raised it, 0 otherwise
    char text[8];                              // TEXT, NUL-terminated, up to 1024 characters
};
static_assert(std::is_standard_layout_v<AlertDef>);
static_assert(sizeof(AlertDef) == 176);

// ---------------------------------------------------------------------------------------------
// Change log: every change of the configuration and every added or removed alert becomes one
// MQSC-style line, held on the command set's pending lines until its unit of work commits.

void evEchoDefineStream(const StreamDef *def);
void evEchoAlterStream(const StreamDef *before, const StreamDef *after);
void evEchoDefineEmit(const EmitterDef *emitter);
void evEchoAlterEmit(const EmitterDef *before, const EmitterDef *after);
void evEchoEv(const EvSettingsValues *settings);
void evEchoAlterEv(const EvSettingsValues *before, const EvSettingsValues *after);
void evEchoAddAlert(const AlertDef *alert);
void evEchoRemoveAlert(const AlertDef *alert);
void evEchoAddEvq(const EventQueueDef *queue);
void evEchoAlterEvq(const EventQueueDef *before, const EventQueueDef *after);
void evEchoSuspendEvq(const EventQueueDef *queue);
void evEchoResumeEvq(const EventQueueDef *queue);

// Fills the hooks of stream storage that the configuration answers (a queue manager's stream
// list, the walk of the queue managers and their identity). Called by the engine at start.
void cfgInstall();

// ---------------------------------------------------------------------------------------------
// What the engine lends the configuration and the alerts, filled by the engine at start. A member
// left null means: nothing is published or suspended, no storm check runs, no expiry hook is called.

struct evTimedItem;

// The two connection sets.
inline constexpr int32_t EV_SET_C = 0;  // the command queue
inline constexpr int32_t EV_SET_E = 1;  // the event, statistics and accounting queues

// Results of CfgEngine::suspend.
inline constexpr int32_t EV_SUSPEND_NOT_STARTED = 0;  // the consumer is not running: go on without a hold
inline constexpr int32_t EV_SUSPEND_HELD = 1;         // suspended; one resume gives it back
inline constexpr int32_t EV_SUSPEND_BUSY = 2;         // another callback holds the suspension: no MQCTL

// Where alerts are published: set C's EVENT connection as the engine keeps it.
struct CfgPublishTarget {
    const MQIFunctionTable *mq;      // the event side's library
    std::atomic<MQHCONN> hconn{-1};  // set C's EVENT connection; -1 while not connected
    std::atomic<uint32_t> connectCount{
        0};  // raised by every connect: a topic handle of an older count is dead
};

struct CfgEngine {
    CfgPublishTarget *publishTarget;
    // Suspends the set's consumer (EV_SUSPEND_*); every EV_SUSPEND_HELD is given back by one resume.
    int32_t (*suspend)(int32_t set);
    void (*resume)(int32_t set);
    // The event queue manager's platform (MQPL_*) as last inquired; without it: not z/OS.
    int32_t (*qmgrPlatform)();
    // The data queue's MAXMSGL as last inquired; without it: 4194304.
    int32_t (*dataQueueMaxMsgLength)();
    // The intake's storm check of a due kind-1 item, evTimedItemRunning until the check clears it (the
    // timed list frees the item afterwards).
    void (*stormCheck)(evTimedItem *item);
    // The script's alert-expiry hook, called under gScriptLock; null without a console. 1 when the
    // script asked the program to end.
    int32_t (*alertExpiry)(AlertDef *alert);
    // Alerts changed outside any command (an expiry), with both sets held by the caller: saved and
    // committed at once in a unit of set C of their own; nothing when set C is not connected.
    void (*keepAlerts)();
};
extern CfgEngine cfgEngine;

// Set by the script around its record hooks: an alert raised then waits for the link to its event.
extern std::atomic<int32_t> cslEventFunctionFlag;

// ---------------------------------------------------------------------------------------------
// Alerts: one list ordered by SEVERITY descending, then ALERTTI descending (equal ones in the order
// added). The list, ALERTCT and evAlertsChanged change only under gAlertLock. Every addition and
// removal above INFO is published on the topic Holva/ZUNT/Alerts, always after the alert lock is
// released (the publication suspends set C, whose running command may be waiting for that lock).

extern AlertDef *evAlertList;  // the head; walk it under gAlertLock
// ALERTCT: the alerts counted (not one waiting for its event); changed under gAlertLock, read by the
// status line without it.
extern std::atomic<uint32_t> evAlertCount;

// evAlertAdd flags: the mode in the low four bits, then the options.
inline constexpr uint32_t EV_ALERT_MODE = 0xF;
inline constexpr uint32_t EV_ALERT_ADD = 0;      // add
inline constexpr uint32_t EV_ALERT_REPLACE = 1;  // the first match is removed; the new alert takes its id
inline constexpr uint32_t EV_ALERT_IF_NONE = 2;  // add only when nothing matches
inline constexpr uint32_t EV_ALERT_PUBLISH = 16;
inline constexpr uint32_t EV_ALERT_ANY_TEXT = 32;  // the match ignores the text
// With EV_ALERT_PUBLISH: published when added, not held until the alerts are committed. For an
// alert about the data queue itself, whose keeping waits for the room it says is missing.
inline constexpr uint32_t EV_ALERT_PUBLISH_NOW = 64;

// The commands of the publications.
inline constexpr int32_t EV_ALERT_PUB_ADDED = 9021;
inline constexpr int32_t EV_ALERT_PUB_REMOVED = 9014;

inline constexpr char EV_ALERT_TOPIC[] = "Holva/ZUNT/Alerts";

// An alert with room for the longest text, as callers fill it for evAlertAdd: the text runs on
// from alert.text into room.
struct AlertTemplate {
    AlertDef alert;
    char room[EV_ALERT_TEXT_MAX];
};
// Sets the text of an alert that has room for it (length -1: up to the NUL; cut to 1024).
void evAlertSetText(AlertDef *alert, const char *text, int32_t length);

// Adds a copy of the template (RETINTVL 0: ALERTRET) by the flags and schedules its expiry. With a
// hint (the alert added last, or null) a new alert that goes last is appended without a search;
// the hint receives the new alert. 1, also when mode 2 found a match; 0 with "No storage
// available." in errorText (EV_CONFIG_TEXT bytes). The caller must not hold gAlertLock.
[[nodiscard]] int evAlertAdd(const AlertDef *alert, uint32_t flags, AlertDef **hint, char *errorText);
// The first alert in list order that matches, skipping alerts in expiry: object type equal; each
// given name a case-sensitive '*' '?' pattern over the field, a missing one (length 0) only an
// empty field; the text likewise unless EV_ALERT_ANY_TEXT, an empty text matching every alert.
// Length -1: up to the NUL. Call under gAlertLock to use the result.
AlertDef *evAlertFind(uint32_t flags, const char *text, int32_t textLength, const char *category,
                      int32_t categoryLength, const char *qmgr, int32_t qmgrLength, const char *objectName,
                      int32_t objectNameLength, int32_t objectType);
// Removes a listed alert (with its expiry item when asked), logs "REMOVE EVALERT", publishes 9014
// when asked and frees it. 0 when it is not listed (nothing of it is read) or in expiry.
int evAlertRemove(AlertDef *alert, int dropItem, int publish);
// Removes every alert that matches as evAlertFind with flags 0 does. 1 when one matched.
int evAlertRemoveMatching(const char *text, int32_t textLength, const char *category, int32_t categoryLength,
                          const char *qmgr, int32_t qmgrLength, const char *objectName,
                          int32_t objectNameLength, int32_t objectType);
// Publishes the alert on the topic (command 9021 or 9014) through set C, unless it is INFO or set C
// is not connected. The publication is held until a unit that saves the alerts commits (a backout
// drops it with the memory it told of); then, when set C's callback is waiting for the committing
// (set E's) callback to end, it waits and goes out once set C is free, after those made before it.
// The alert must be the caller's own (a copy, or unlinked). 1 when held.
int evAlertPublish(int32_t command, const AlertDef *alert);
// The intake's link step after storing an event: every alert the event's script hook raised
// (raising event = sequence) that is not linked yet takes the queue manager, stream id and event
// id, is counted and published. Called after the append, without the alert lock.
void evAlertLinkRaised(uint32_t sequence, QmgrEntry *qmgr, uint32_t streamId, uint32_t eventId);
// Frees every alert and drops the expiry items (the memory drop, the alert load). An alert whose
// expiry hook runs is only unlinked: its expiring thread frees it.
void evAlertFreeAll();

// ---------------------------------------------------------------------------------------------
// The timed work list: what the main thread must do at a given time, ordered by due time (equal
// times in the order scheduled). Guarded by gStructureLock.

inline constexpr uint32_t EV_TIMED_STORM = 1;         // an event-storm check (the intake's item)
inline constexpr uint32_t EV_TIMED_ALERT_EXPIRY = 4;  // data: the AlertDef

// Allocated as 48 bytes plus extraLength; the extra bytes follow the item.
struct evTimedItem {
    evTimedItem *next;
    uint32_t kind;
    uint32_t state;  // kind 4: 1 once the expiry hook has run
    int64_t due;
    void *data;
    int32_t extraLength;
    uint8_t reserved[12];
};
static_assert(sizeof(evTimedItem) == 48);
inline uint8_t *evTimedItemExtra(evTimedItem *item) {
    return reinterpret_cast<uint8_t *>(item) + sizeof(evTimedItem);
}

extern evTimedItem *evTimedItemList;
// The item the main thread has taken off the list and is running, or null (guarded by gStructureLock
// too). A storm item there still counts as stored: its check clears it only once it holds the sets
// whose unit stores the item's repeat.
extern evTimedItem *evTimedItemRunning;
// Inserts the item (with copy: a copy of it and its extra bytes; without: the item itself, from the
// counted heap) before the first later one. 1, or 0 when the copy cannot be allocated.
[[nodiscard]] int evTimedItemSchedule(evTimedItem *item, int copy);
// Under the structure lock, after items were taken off the list other than through this file: the
// scheduling forgets where it inserted last.
void evTimedListChanged();
// The main loop's call while connected: runs every item due now (storm checks, alert expiry).
void evTimedItemRun();

// ---------------------------------------------------------------------------------------------
// The saved configuration and alert messages: two PCF messages on the data queue (CorrelId byte 0
// the kind), written in the set's unit of work and browsed at every connect.

inline constexpr uint8_t EV_DQ_KIND_CONFIG = 1;
inline constexpr uint8_t EV_DQ_KIND_ALERTS = 2;

// Set by a configuration load that found no message and made the default queues; the engine clears
// it at the start and the end of a connect.
extern std::atomic<int32_t> evConfigLoadedChanged;

// Replaces the configuration message in the set's unit (evConfigChanged is cleared; a backout of
// the unit raises it again). 1, or 0 with the failure reported and errorText (EV_CONFIG_TEXT bytes).
[[nodiscard]] int evCfgSave(EvStreamIo *io, char *errorText);
// Replaces the alert message in the set's unit, without the tail that would pass the data queue's
// MAXMSGL - 5120 (evAlertsChanged as evConfigChanged above).
[[nodiscard]] int evAlertSave(EvStreamIo *io, char *errorText);
// Loads the configuration message on the set's connection into the dropped model, or without one
// makes the default queues. 1, or 0 (a message in a foreign format also sets evEndFlag).
[[nodiscard]] int evCfgLoad(EvStreamIo *io);
// Frees every alert and loads the alert message. 1, or 0.
[[nodiscard]] int evAlertLoad(EvStreamIo *io);
// The parse of a got configuration message (its MQMD Encoding) and of a got alert message.
[[nodiscard]] int evCfgLoadMessage(uint8_t *message, int32_t length, int32_t encoding);
[[nodiscard]] int evAlertLoadMessage(uint8_t *message, int32_t length);
// The engine's backout of a set's unit: the saves made in it are undone, so their changed flags
// are raised again. The commit forgets them.
void evCfgUowBackedOut(EvStreamIo *io);
void evCfgUowCommitted(EvStreamIo *io);

// ---------------------------------------------------------------------------------------------
// Value names of the command set's attributes (rows of mqi's evValueName; a table ends with a
// row whose keyword is null).

extern const evValueName evYesNoNames[];          // 1 YES, 0 NO
extern const evValueName evPersistenceNames[];    // FWDPSIST, MSGPERS: 2 ASMSG, 1 YES, 0 NO
extern const evValueName evStreamTypeNames[];     // TYPE of streams: 1 EVENTS ... 6 ACCTMQI, -1 $STRINGS
extern const evValueName evAcctSelfNames[];       // ACCTSELF
extern const evValueName evUseDlqNames[];         // USEDLQ
extern const evValueName evDispCmdsNames[];       // DISPCMDS
extern const evValueName evVerCheckNames[];       // VERCHECK
extern const evValueName evResetTypeNames[];      // TYPE of RESET EV: 1 COUNTS
extern const evValueName evTempQNames[];          // TEMPQ
extern const evValueName evQueueStatusNames[];    // STATUS of event queues
extern const evValueName evSeverityNames[];       // SEVERITY, MINSEV
extern const evValueName evEmitFormatNames[];     // FORMAT
extern const evValueName evReaderNames[];         // READER
extern const evValueName evZeroValsNames[];       // ZEROVALS
extern const evValueName evPutNames[];            // PUT
extern const evValueName evOnErrorNames[];        // ONERROR
extern const evValueName evGroupingNames[];       // GROUPING
extern const evValueName evSumNames[];            // SUM of the statistics displays
extern const evValueName evCollateNames[];        // COLLATE
extern const evValueName evGapFillNames[];        // GAPFILL
extern const evValueName evIntervalAlignNames[];  // INTVLALGN

// TYPE of the runtime-stream commands: the stream types and -999 ALL.
extern const evValueName evStreamStatusTypeNames[];

// The row of a value text: a decimal integer with an optional sign (also between single quotes,
// "'2'") names the row of that value; any other text the row whose keyword it equals whole,
// ignoring case. Null for an empty text, a null table or no match.
const evValueName *evValueNameByText(const evValueName *table, const char *text, size_t length);

// ---------------------------------------------------------------------------------------------
// The command table of the command set: one row per command, each with its parameter table.

// Leads an object keyword row's object descriptor.
struct evObjectDescriptor {
    const char *name;      // "evqmgr", "evq", "evstream", "evemit"
    uint32_t displayCode;  // its DISPLAY command
};

inline constexpr uint32_t EV_CMD_FROM_EVENT_FUNCTION = 1;  // evCommandDef::flags: allowed in event hooks
inline constexpr uint32_t EV_CMD_STOP = 2;                 // STOP EV

struct evCommandDef {
    uint8_t reserved0[6];
    uint8_t level;  // 4 for the five statistics and accounting displays, else 1
    char letter;    // the command's letter in the applicability strings
    const char *verb;
    const char *shortVerb;  // "DIS", "ALT" or ""
    uint32_t reserved1;
    char objectKind;  // 's' for EVSTREAM and EVEMIT, else 'd'
    const char *objectKeyword;
    const char *reserved2;  // ""
    const char *reserved3;  // ""
    evParmDef *parms;
    const void *reserved4;  // null
    uint32_t code;          // 9000 to 9033
    uint32_t reserved5;
    const char *help;        // the syntax text sent with a syntax error
    uint32_t attributeList;  // the MQCFIL of keywords given without a value (DISPLAY), else 0
    uint32_t flags;          // EV_CMD_*
    uint16_t *parmIndex;     // built by the command server at first use
};

inline constexpr int EV_COMMAND_COUNT = 33;
// The 33 commands in table order, then a row whose verb is null.
extern evCommandDef evCommandTable[];

// The statistics displays' tables hold their selection rows until the statistics register the
// whole table: 1, or 0 when no command has the code. A table registered after the field tables
// were completed is completed at once.
int evRegisterParmTable(uint32_t code, evParmDef *table);

// The parameter table of the alerts (DISPLAY, ADD and REMOVE EVALERT), whose keywords are the
// "alert." names of expressions.
extern evParmDef evAlertParmTable[];

// The MQMD fields of a stored message, seen by expressions as "mqmd." names (offsets in MQMD).
extern evParmDef evMqmdFieldTable[];

// ---------------------------------------------------------------------------------------------
// Field tables: the parameter tables seen by name from expressions, WHERE filters and scripts.

// Set (last) once the field tables are complete.
extern std::atomic<int32_t> evFieldsInitialised;
// Completes every command's table and evMqmdFieldTable once (later calls return at once): keyword
// lengths and field names. With the -D letter d it traces to standard error.
void InitialiseCommandFields();
// Completes one table: each row with a keyword gets its keyword length and field name (the
// keyword in lower case cut to 19 characters, or its special name).
void evInitFieldTable(evParmDef *table);

inline constexpr uint32_t EV_FIELD_EXACT = 1;        // no abbreviations
inline constexpr uint32_t EV_FIELD_FIELDS_ONLY = 2;  // pass over rows of types 'a', 'q' and 'w'
// The row of a field by name (no case): a keyword equal to the name wins at once; otherwise, unless
// exact, the one keyword the name abbreviates. Null when none, or when several (then *ambiguous,
// which may be null, is set).
const evParmDef *evFindField(const evParmDef *table, const char *name, size_t length, uint32_t flags,
                             int *ambiguous);

// ---------------------------------------------------------------------------------------------
// The console's table of MQSC commands: IBM MQ's commands, the channel-table commands, the
// console's own "=" commands and the event processor's commands.

enum cslMqscKind : uint8_t {
    CSL_KIND_MQ = 1,      // to a command server, not while editing a channel table
    CSL_KIND_CHLTAB = 2,  // to a command server, also while editing a channel table
    CSL_KIND_LOCAL = 3,   // the console's own "=" commands, always
    CSL_KIND_ZUNT = 4,    // to the event processor's command queue only
};

struct cslMqscCommand {
    uint16_t required[2];  // capability flags that must be set (0: none)
    uint16_t forbidden;    // a capability flag that must not be set (0: none)
    uint8_t kind;          // cslMqscKind
    char letter;           // command letter
    const char *verb;
    const char *shortVerb;  // may be ""
    uint32_t reserved;
    uint32_t objectKind;            // 'd', or 's' for the event processor's EVSTREAM and EVEMIT
    const char *object;             // object keyword; may be ""
    const char *shortObject;        // may be ""
    const char *nameForm;           // "*" when the command takes an object name, else ""
    const evParmDef *parms;         // the attribute fields
    const evParmDef *consoleParms;  // the console's own table; null until it attaches one
};
static_assert(sizeof(cslMqscCommand) == 72);

// The rows in verb order, then a row whose verb is null.
extern cslMqscCommand cslMqscCommandTable[];

// What the console is talking to when it looks a command up.
struct cslCommandView {
    int ownQueue;                   // commands go to the event processor's command queue
    int channelTable;               // a channel table is being edited
    const QmgrCapabilities *flags;  // the connection's capabilities; null: no conditions
};

inline constexpr size_t CSL_LOOKUP_MESSAGE = 128;
// The row of a verb and object keyword (full or short forms, any case) among the rows the view
// offers; an empty object takes the first row of the verb. Null with "Object type '%s' not
// recognised" or "Command not recognised" in message (CSL_LOOKUP_MESSAGE bytes).
const cslMqscCommand *cslFindMqscCommand(const cslCommandView *view, std::string_view verb,
                                         std::string_view object, char *message);
