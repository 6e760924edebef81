// Event processing engine: the program's start-up settings and options, its retry schemes, the
// one-second main loop and the orderly shutdown, and the slots through which the subsystems built
// after the engine (script, console, command server, emitters, statistics) are reached.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "expr/expr.h"
#include "mqi/mqi.h"
#include "platform/platform.h"
#include "streams/streams.h"

// ---------------------------------------------------------------------------------------------
// Start-up settings: what the environment and the command line give. Text values are copied;
// user identifiers and passwords point into the argument vector, which outlives the program's run.

inline constexpr size_t EV_QMGR_NAME_MAX = 48;
inline constexpr size_t EV_SCRIPT_PATH_MAX = 300;
inline constexpr size_t EV_LOG_ROOT_MAX = 1024;

// Suppression bits: options left out of MQCNO (accounting 0x2000 and 0x8000, activity trace).
inline constexpr uint32_t EV_SUPPRESS_ACCOUNTING = 0xA000;
inline constexpr uint32_t EV_SUPPRESS_ACTIVITY_TRACE = 0x10000000;

struct EvQmgrOption {
    char name[EV_QMGR_NAME_MAX + 1];
    const char *userId;    // -u, or null
    const char *password;  // -U, or null
};

struct EvStartSettings {
    EvQmgrOption event;  // -m
    EvQmgrOption state;  // -s; the event queue manager's name when -s is not given
    int32_t separateState;
    int32_t eventGiven;
    int32_t background;  // -b or -k
    int32_t service;     // -k
    int32_t debugMode;   // -!
    int32_t client;      // -l
    int32_t maxCommandLevel;
    int32_t maxZosCommandLevel;
    char replyPrefix[EV_QMGR_NAME_MAX + 1];   // -p
    char modelQueue[EV_QMGR_NAME_MAX + 1];    // -q
    char scriptPath[EV_SCRIPT_PATH_MAX + 1];  // -f
    char logRoot[EV_LOG_ROOT_MAX];            // -L, ZUNT_LOG_PATH, else the program's folder
    int32_t heartbeat;                        // ZUNT_LOG_HB, seconds; 0 writes none
    const char *retryText;                    // -r
    const char *verboseLetters;               // -v, or null: replaces evDebugFlags
    uint32_t debugOptions;                    // -D letters, added to evDebugOptions
    int32_t sendEachItem;                     // -D C
    int32_t scriptTrace;                      // -D t
    int32_t statsCommandLevel;                // -D c<n>; 0 when not given
    uint32_t connectSuppress;                 // -o A and -o T
    int32_t absorbGrace;                      // -o g
    int32_t absorbSweep;                      // -o s
    int32_t absorbCheck;                      // -o c
    int32_t absorbSweepDisabled;              // -o S
    int32_t heldBinThreshold;                 // -o w
    int32_t emitFailDelay;                    // -o e
    int32_t emitFailDelayMax;                 // -o E
};

// What the program reads of its surroundings; null where a value is absent.
struct EvEnvironment {
    const char *logHeartbeat;   // ZUNT_LOG_HB
    const char *logPath;        // ZUNT_LOG_PATH
    const char *programFolder;  // the folder of the program's file
    const char *currentFolder;  // replaces a log root of "."
};

// Room for evParseCommandLine's error text: a message and the usage text.
inline constexpr size_t EV_OPTION_ERROR_MAX = 2048;

// The settings the environment and the arguments give (argument 0 is the program's name): 1, or 0
// with the text to print on standard error (the message, and the usage text where it belongs).
int evParseCommandLine(int argc, const char *const *argv, const EvEnvironment *environment,
                       EvStartSettings *settings, char *errorText, size_t errorSize);

// The usage text, line by line, as printed on standard error.
void evUsageText(char *text, size_t size);

// Reads an integer as atoi does (blanks, a sign, the digits up to the first non-digit), refusing
// a value outside the 32-bit range: 1 with *value, 0 when it does not fit. *end (may be null) is
// where reading stopped.
int evReadInt(const char *text, int32_t *value, const char **end);

// The settings of the run, set at start and read by every subsystem.
extern EvStartSettings evStart;

// ---------------------------------------------------------------------------------------------
// What later subsystems read of the engine's settings.

extern std::atomic<uint32_t> evConnectSuppress;  // MQCNO options left out; also once refused

struct EvAbsorbSettings {
    std::atomic<int32_t> grace{15};  // seconds; DEBUG AGGRGP changes it
    std::atomic<int32_t> sweep{10};
    std::atomic<int32_t> check{10};
    std::atomic<int32_t> sweepDisabled{0};
    std::atomic<int32_t> heldBinThreshold{10};  // "Window"
    std::atomic<int32_t> emitFailDelay{5};
    std::atomic<int32_t> emitFailDelayMax{300};
};
extern EvAbsorbSettings evAbsorb;

// One statistics family: {stream type, MQ command, maximum portions per aggregation message}.
struct AggrConfig {
    int32_t streamType;
    int32_t command;
    int32_t maxPortions;
};
inline constexpr int EV_AGGR_FAMILIES = 5;
extern AggrConfig evAggrConfig[EV_AGGR_FAMILIES];

// Sweep bookkeeping and the aggregation state that statistics sets and the sync point reads.
struct EvAggrState {
    std::atomic<int64_t> nextDue{0};  // the next time bins fall due; 0 none
    std::atomic<int64_t> lastMessage{0};
    std::atomic<int64_t> lastSweep{0};
    std::atomic<int64_t> lastSweepFailed{0};
    std::atomic<int32_t> sweepPending{0};
    std::atomic<int32_t> changed{0};       // aggregation dirty: the sync point hardens it
    std::atomic<int32_t> binsExist{0};     // the sync point runs the absorb
    std::atomic<uint32_t> binsCreated{0};  // compared by the absorb gate
};
extern EvAggrState evAggrState;

// -D C (every response item sent at once), -D t (script statements traced), -D c<n> (the command
// level that caps the statistics responses; 0 none).
extern std::atomic<int32_t> evSendEachItem;
extern std::atomic<int32_t> evScriptTrace;
extern std::atomic<int32_t> evStatsCommandLevel;
// The first start time of the process (the start time of the run is evSettings.startTime).
extern std::atomic<int64_t> evFirstStartTime;

// What the status line counts; raised by the intake, the command server and the alerts.
// Events, statistics and commands are raised in a set's unit: each has a committed copy, which a
// commit sets and a backout or a connection's end restores (DISPLAY EV's EVENTS shows the committed
// copy: events stored).
struct EvActivityCounts {
    std::atomic<int32_t> events{0};
    std::atomic<int32_t> stats{0};  // the five statistics and accounting record counts together
    std::atomic<int32_t> commands{0};
    std::atomic<int32_t> alerts{0};
    std::atomic<int32_t> eventsCommitted{0};
    std::atomic<int32_t> statsCommitted{0};
    std::atomic<int32_t> commandsCommitted{0};
};
extern EvActivityCounts evActivity;

// ---------------------------------------------------------------------------------------------
// Slots of the subsystems built after the engine, filled by their install functions before evMain.
// An empty slot means that subsystem is not built: no script loads nothing and runs no hook.

enum EvHookKind : int32_t {
    EV_HOOK_CONNECTED = 2,
    EV_HOOK_DISCONNECTED = 3,
    EV_HOOK_RETRY = 4,
    EV_HOOK_ENDING = 5,
    EV_HOOK_ALERT_EXPIRY = 6,
};

struct ConnectionSet;

struct EvServices {
    // Script interpreter.
    int (*loadScript)(const char *path);                       // LoadVEDRAFile: 1 loaded
    int (*callRecordHook)(void *hookContext, int32_t type);    // cslCallRecordHook: 2 not taken (the end)
    int (*callHook)(int32_t kind, void *argument);             // cslCallHook, under the script lock
    int (*sessionExists)();                                    // gSession is set
    int (*endRequested)();                                     // the script asked the program to end
    void (*setScriptDebug)(int32_t debugMode, int32_t trace);  // -!, '!' and -D t
    const ExpOperator *(*findFunction)(void *program, const char *name, size_t length);
    int (*lookupKeyword)(const char *name, size_t length, uint16_t indicator);
    // Command console.
    int (*applyConfiguration)();
    int (*issueMQCommand)(const char *text, int32_t length, int32_t kind, int32_t force, int32_t wait);
    void (*endSession)();  // runs the script's ending hook
    // Command server.
    // A message of the command queue, its MQMD as received (BackoutCount not zeroed): 1 consumed and
    // committed, 0 the set's unit backs out.
    int (*processCommandMessage)(QmgrContext *context, EventQueueDef *queue, const MQMD *md, void *message,
                                 int32_t length);
    void (*closeReplyCache)(QmgrContext *context);
    // Emitters and statistics: intake, harden, absorb and read-all. The absorb gives 2 when an
    // emitter replaced memory or the connection ends: the sync point stops at once.
    int (*statsIntake)(QmgrContext *context, int32_t command, void *message, int32_t length);
    int (*aggrHarden)(QmgrContext *context);
    int (*aggrAbsorb)(QmgrContext *context);
    int (*aggrReadAll)(QmgrContext *context);
    // Emitters: a record the intake stored in a stream, written by the stream's emitter (1 done, 0
    // failed, 2 memory was reloaded or the connection ends: the intake stops at once, touching none
    // of its pointers); a set's outputs closed at its disconnect; set E's sync point flushes files.
    int (*emitStored)(QmgrContext *context, ConnectionSet *set, QmgrEntry *qmgr, Stream *stream,
                      const MQMD *md, uint8_t *record, uint32_t length);
    void (*emitClose)(QmgrContext *context, ConnectionSet *set);
    // Before a set's commit: the files its unit wrote are checked whole and still named; a failure
    // goes the emitter's ONERROR way. 1 go on, 0 the unit was backed out (memory may be reloaded).
    int (*emitFlush)(QmgrContext *context, ConnectionSet *set);
    // The files with the units of work (engine/emitfiles.cpp): the states a set's commit saves, one
    // message for each emitter whose files its unit wrote, each handed to save (0 from save, or out
    // of storage: 0); the end of a set's unit (committed 1, or 0: what it wrote is taken back); at a
    // load, what a stored state message is (EV_EMIT_STATE_*, with its emitter and sequence), then
    // the states to act on (kind EV_DQ_KIND_EMIT_FILES; null first: forget all) and each name of a
    // file made since (EV_DQ_KIND_EMIT_NEW_FILE): 1 acted on, 0 not the program's (a layout it does
    // not write, a file no emitter defined now makes), nothing done.
    int (*emitFileState)(int32_t set,
                         int (*save)(void *arg, const char *emitter, const uint8_t *message, int32_t length),
                         void *arg);
    int (*emitFileStateKind)(const uint8_t *message, int32_t length, char *emitter, size_t size,
                             uint64_t *sequence);
    void (*emitUnitEnded)(int32_t set, int committed);
    int (*emitRestoreFiles)(uint8_t kind, const uint8_t *message, int32_t length);
    // The memory drop returns the bins, their entries and messages to their pools (reconnect 0: the
    // program ends, the pools go too); called before the streams are freed.
    void (*aggrFree)(int32_t reconnect);
};
extern EvServices evServices;

// ---------------------------------------------------------------------------------------------
// Retry schemes.

struct RetryScheme {
    const char *name;
    int32_t interval1;  // seconds
    int32_t count1;
    int32_t interval2;
    int32_t count2;
};
extern const RetryScheme evRetrySchemeTable[4];  // low, default, high, none
extern RetryScheme evCustomRetryScheme;          // "Custom", from an -r text that names no row

// Selects or parses the scheme: 1, or 0 for a bad text ("Invalid retry parameter : %s") or when
// the program is ending.
int evSetRetryScheme(const char *text);

// The retry state: a working copy of the chosen row counted down by attempts.
struct EvRetrySnapshot {
    RetryScheme working;
    const RetryScheme *chosen;
    int32_t wait;         // current retry wait; 0 = no further retry
    int64_t lastAttempt;  // time of the last connect attempt
};
void evRetryState(EvRetrySnapshot *snapshot);
// After a connect: counts full again and the wait back at its first value, so that a connection
// that later breaks starts a fresh scheme.
void evRetryRefill();
// The time of the last connect attempt becomes now (the end of every connect sequence).
void evRetryMarkAttempt(int64_t now);
// The first wait of the working copy: interval 1 while count 1 is not 0, else interval 2 while
// count 2 is not 0, else 0.
int32_t evRetryNextWait();

// 1 retry, 0 end the program: for the reason a queue manager's connection failed with.
// stateQmgr: the reason came from the separate state queue manager.
int evShouldRetry(int32_t reason, int32_t stateQmgr);
// The exit status of an end for that reason: 0 for a queue manager's controlled end (what a service
// follows), else EV_EXIT_CONNECTION.
int32_t evEndStatusOf(int32_t reason);

// One connect attempt; returns at once (the sequence runs on a worker).
void evStartConnectSequence();
// One retry step of the main loop; *hookFlag starts at 1 and is cleared by the first attempt.
void evRetryConnection(int32_t *hookFlag);

// The last MQ reason of a failed connect, open or inquire.
extern std::atomic<int32_t> evLastReason;
// Records loaded since the connect began (the status line shows it).
extern std::atomic<int32_t> evLoadedRecords;

// ---------------------------------------------------------------------------------------------
// Connect and disconnect sequences (the connection sets), and the freeing of memory state.

// The connect sequence, run on a worker thread.
void evConnectWork(WorkItem *item);
// Stops the consumers and posts the disconnect sequence (at most one at a time); handle -1: none
// in particular.
void evStopAndDisconnect(int32_t handle);
// The disconnect sequence, run on a worker thread (or inline after a failed connect).
void evDisconnectThread(WorkItem *item);
// The generation of the connections: one more at each connect sequence.
uint32_t evConnectionGeneration();
// Whether the calling thread runs the connect sequence and a disconnect waits for it to end: its
// connection broke (or its first command unit failed) meanwhile. What the sequence runs (the connected
// hook) should then not wait on anything but its own end.
bool evConnectSequenceBroken();
// Drops all memory state of a connection (reconnect 1) or of the program (0): 1, or 0 on failure.
int evFreeAll(int32_t reconnect);
// Connect step 4: set C, then set E. 1, or 0 with the reason in evLastReason.
int evConnectSets();
// Connect steps 6 to 9: the queues, the command-level check and the initialisation of the
// connection (data queue, stored state, consumers). 1, or 0.
int evInitialiseConnection();
// The disconnect of set C, then set E (consumers stopped, units backed out, MQDISC); every handle
// is -1 afterwards.
void evDisconnectSets();

// Tests replace the sequences that run on workers; null restores the engine's own.
struct EvSequences {
    void (*connect)(WorkItem *item);
    void (*disconnect)(WorkItem *item);
};
const EvSequences *evSetSequences(const EvSequences *sequences);

// ---------------------------------------------------------------------------------------------
// Start-up, main loop and shutdown.

// Fills the expression language's catalogue of names from mqi/, config/ and the script slots.
void evInstallCatalogue();

// One tick of the main loop: 1 to go on, 0 to leave the loop ('Q' 'Y').
int evMainTick(int32_t *hookFlag);

// Start-up, the main loop and the shutdown; returns the exit code, always 0.
int evMain(int argc, const char *const *argv, const EvEnvironment *environment);

// ---------------------------------------------------------------------------------------------
// Connection sets: the two sets of connections (set C the command queue, set E the event,
// statistics and accounting queues), their connect and disconnect, the initialisation of a
// connection (data queue, stored state, input queues) and the consumer holds.

// Room of the message buffers the connection work fills (a text, '~' once reported).
inline constexpr size_t EV_CONN_MESSAGE_MAX = 1024;

// The data queue's name when the state queue manager is the event queue manager's own.
inline constexpr char EV_DATA_QUEUE_NAME[] = "HOLVA.ZUNT.DATA.QUEUE";

// The application name of every connection.
inline constexpr char EV_APPL_NAME[] = "Holva Software ZUNT";

// The queue manager connection kinds of evConnectQmgr.
enum EvConnKind : int32_t { EV_KIND_EVENT = 0, EV_KIND_STATE = 1, EV_KIND_NOTIFY = 2 };

// What the engine keeps of a queue manager it connects to.
struct EvQmgrRecord {
    char name[EV_QMGR_NAME_MAX + 1];
    int32_t nameLength;
    const char *userId;  // null: no MQCSP
    const char *password;
    const MQIFunctionTable *mq;  // the library its connections are made with
    std::atomic<int32_t> commandLevel{0};
    std::atomic<int32_t> platform{0};
    std::atomic<int32_t> maxUncommitted{0};  // MAXUMSGS
    char deadQueue[EV_QMGR_NAME_MAX + 1];
    std::atomic<int32_t> deadQueueChanged{0};  // the intake reopens the dead-letter queue
};

struct ConnectionSet {
    int32_t id;  // EV_SET_C or EV_SET_E
    // Its handles live in evConnHandles: these are the slots.
    EvConnSlot eventSlot;
    EvConnSlot stateSlot;
    EvConnSlot notifySlot;
    std::atomic<int32_t> inFlight{0};
    std::atomic<uint16_t> connectCount{0};  // successful MQCONNX calls of the set
    std::atomic<int32_t> consumerStarted{0};
    std::atomic<int32_t> holds{0};  // consumer holds (suspended while above 0)
    std::atomic<int32_t> deadQueueHandle{-1};
    std::atomic<int32_t> alertTopicHandle{-1};
    LogCapture pending{};  // log lines of the open unit of work
    EvStreamIo io{};       // the data queue on the STATE connection
    // A SUSPEND or RESUME of the set is running (holds wait for it).
    int32_t holdChanging = 0;
    char deadQueueName[EV_QMGR_NAME_MAX + 1]{};  // the dead-letter queue deadQueueHandle has open
};

struct QmgrContext {
    ConnectionSet sets[2];  // indexed by EV_SET_C and EV_SET_E
    EvQmgrRecord event;
    EvQmgrRecord state;
    std::atomic<int32_t> rollbacks{0};
    std::atomic<int32_t> txnBatch{1};
    char dataQueueName[EV_QMGR_NAME_MAX + 1];
    std::atomic<int32_t> wakeUpDone{0};        // the command queue's wake-up was put this connect
    std::atomic<int32_t> restartMark{0};       // the connection is ending: sync points do nothing
    std::atomic<int32_t> restartRequested{0};  // DEBUG RESTART: set C's commit acts on it
    std::atomic<int32_t> restartValue{0};      // DEBUG RESTART(n): the n of the latest one
    std::atomic<uint32_t> restartCount{0};     // DEBUG RESTARTs acted on
    std::atomic<MQHOBJ> commandQueueHandle{-1};
    // The record evPutToStreams is putting, with its hook's message (saved and restored around it).
    std::atomic<struct EvRecordHook *> hookMessage{nullptr};
    ConnectionSet *current = nullptr;  // the set whose unit of work the consumer lock's holder runs
    // The message set E hands to the statistics intake, for the length of that call (else null): the
    // intake reads its MQMD and the input queue it came from.
    const MQMD *currentMd = nullptr;
    EventQueueDef *currentQueue = nullptr;
    void *commandState = nullptr;  // the command server's own (its running command, reply queues)
};
// STOP EV: the program ends after the next commit of set C.
extern std::atomic<int32_t> evStopPending;
extern QmgrContext evContext;

inline ConnectionSet *evSet(int32_t id) {
    return &evContext.sets[id];
}
inline int32_t evHandle(const ConnectionSet *set, EvConnSlot slot) {
    (void)set;
    return evConnHandles[slot].load();
}
// The set's EVENT connection handle (-1 while not connected).
inline MQHCONN evEventHconn(const ConnectionSet *set) {
    return evConnHandles[set->eventSlot].load();
}

// The data queue as last inquired, and the load state.
struct EvDataQueueState {
    std::atomic<int64_t> lastInquiry{0};
    std::atomic<int32_t> maxDepth{0};
    std::atomic<int32_t> maxMsgLength{0};
    std::atomic<int32_t> usage{0};
    std::atomic<int32_t> inhibitGet{0};
    std::atomic<int32_t> inhibitPut{0};
    std::atomic<int32_t> curDepth{0};
    std::atomic<int32_t> capExpiry{-1};  // -1: not inquired
    std::atomic<int32_t> loaded{0};      // the stored state is loaded completely
    std::atomic<int32_t> depthForcedHigh{0};
};
extern EvDataQueueState evDataQueue;

// The set whose callback runs on this thread (set by the message consumer), or null.
extern thread_local ConnectionSet *evCallbackSet;

// Fills cfgEngine's connection fields (publication target, suspend and resume, platform, MAXMSGL).
void evInstallConnectionHooks();

int evConnectQmgr(QmgrContext *context, ConnectionSet *set, int32_t kind, EvQmgrRecord *qmgr, char *message);
int evConnectSet(QmgrContext *context, ConnectionSet *set, char *message);
int evOpenQmgrInquire(QmgrContext *context, MQHCONN hconn, char *message);
// The MQCB event handler of every connection.
void evEventHandler(MQHCONN hconn, PMQVOID msgDesc, PMQVOID getMsgOpts, PMQVOID buffer, PMQCBC cbc);
int evStartConsumer(QmgrContext *context, ConnectionSet *set);
int evStopConsumer(QmgrContext *context, ConnectionSet *set);
// A hold on the set's consumer: EV_SUSPEND_HELD for every hold (nested too), EV_SUSPEND_NOT_STARTED
// when the set is not started (or the SUSPEND failed), EV_SUSPEND_BUSY when a callback finds the
// suspension token held by the other set. Each EV_SUSPEND_HELD gets exactly one evResumeConsumer.
int evSuspendConsumer(QmgrContext *context, ConnectionSet *set);
int evResumeConsumer(QmgrContext *context, ConnectionSet *set);
// Clears the set's holds (every connect and disconnect: holds from before count no more).
void evResetHolds(ConnectionSet *set);
void evDisconnectSet(QmgrContext *context, ConnectionSet *set, char *message);
// Ends the connection from any thread (a failed unit of work): the next connect reloads memory.
void evEndConnection(QmgrContext *context);

// Initialisation of a connection.
int evOpenDataQueue(QmgrContext *context, ConnectionSet *set, char *message);
int evInquireDataQueue(QmgrContext *context, ConnectionSet *set, char *message);
// Waits (a bounded while, saying why) until no handle but the program's own has the data queue open
// for input: another connection's open unit of work there would hide stored messages from a load.
int evWaitForDataQueueAlone(QmgrContext *context, char *message);
// 1 fit, 0 unfit with the reason in the message.
int evCheckDataQueue(QmgrContext *context, char *message);
// What a data queue condition says after "Data Queue": "is in a depth high condition", "is PUT
// inhibited" or "is GET inhibited", the last applicable ("" for none), with the status of the event
// queues it holds in *status (left as it is for none).
const char *evDataQueueConditionText(uint32_t condition, uint32_t *status);
// The event queues held by the data queue's condition run again, once it has cleared (intake goes on);
// set C's callback. 0 when not now (the condition stands, or set E could not be paused).
int evResumeHeldQueues(QmgrContext *context);
// A data queue that refuses puts (full, or inhibited) makes saves wait: set C's sync point looks at it
// again by the retry scheme's back-off. 1 when that look is due and no sweep message was sent for it
// in the sweeps' gap (main thread: it sends one).
int evDataQueueLookDue(int64_t now);
int evLoadStoredState(QmgrContext *context);
// Memory dropped and loaded again from the data queue with the connections kept (the other set
// suspended by the caller), the emitters' outputs closed first: with queuesToo, every event queue but the
// command queue is closed, defined anew from the stored configuration and opened again. 1, or 0: the
// connection must end.
int evReloadStoredState(QmgrContext *context, int32_t queuesToo);
// The set's callback after its unit, which had changed memory, backed out: with the other set still,
// memory is what is committed again and the connection is kept. 1 done, 0 not here (the connection
// must end).
int evReloadAfterBackout(QmgrContext *context, ConnectionSet *set);
// Every event queue but the command queue closed and removed from memory.
void evDropEventQueues(QmgrContext *context);
// An event queue's counts (kept in memory only) about to be taken by set C's unit: the queue removed,
// or its counts reset. Should the unit back out, the reload gives them back (added to what the
// queue counted since); set C's commit forgets them.
void evNoteQueueCountsTaken(const EventQueueDef *queue);

// The program's own queues: its command queue on the event queue manager and its data queue on the
// state queue manager. Whether the queue of that name on that queue manager (names read up to 48
// characters, cut at the first blank or NUL; a blank queue manager is the event queue manager) is
// one of them.
bool evIsProgramQueue(const QmgrContext *context, const char *qmgr, const char *queue);
// Whether the queue is one of the event queues of the event queue manager (EVQ records, whatever
// their state: a held one may be resumed), or the queue an open alias event queue resolved to.
bool evIsInputQueue(const QmgrContext *context, const char *qmgr, const char *queue);
// Whether a copy, a dead-lettered message, an emitted record or a reply put there would come back to
// the program: a program queue or an input queue. No put of the program may go to one.
bool evIsOwnQueue(const QmgrContext *context, const char *qmgr, const char *queue);
// After an MQOPEN on a connection to connQmgr with an MQOD of version 3 or more: whether the queue
// it named or resolved to (an alias, a remote definition) is one of the own queues (evIsOwnQueue).
bool evOpenedOwnQueue(const QmgrContext *context, const char *connQmgr, const MQOD *od);
// After an event queue was added (set E held): the forwarding and backout queues of the other open
// event queues are opened again, and the dead-letter queue when next used, so that none of them leads
// to the new one (a queue that does is held, with a log line). An emitter's queue open on either set
// is opened again before its next record (evInputQueueAdds counts up).
void evRecheckSideQueues(QmgrContext *context, const EventQueueDef *added);
// Event queues added while the program runs: a queue handle opened before the last add is checked
// again against the program's input queues before its next put.
extern std::atomic<uint32_t> evInputQueueAdds;
// Whether the queue of the event queue manager, by its name, is a dead-letter queue: DEADQ or the
// queue manager's own. No event queue may be one.
bool evIsDeadLetterName(const QmgrContext *context, const char *queue);
// After an MQOPEN for output with an MQOD of version 3 or more on a connection to qmgr: whether
// what it opened cannot keep what is put there (a model queue, whose new dynamic queue is deleted,
// or a transmission queue). Then the handle is closed and the refusal is in message
// (EV_CONN_MESSAGE_MAX bytes), the queue named by its role.
bool evCannotKeepCopies(const MQIFunctionTable *mq, MQHCONN hconn, const char *qmgr, const MQOD *od,
                        MQHOBJ *hobj, const char *closeLabel, const char *role, const char *name,
                        char *message);
// The text that says a queue in role leads to an own queue (message: EV_CONN_MESSAGE_MAX bytes).
void evOwnQueueText(char *message, const char *role, const char *queue, const char *qmgr,
                    const char *ownQueue);

// Input queues.
int evOpenInputQueue(QmgrContext *context, EventQueueDef *queue, int32_t reopen, char *message,
                     int32_t *reason);
int evInquireQueue(QmgrContext *context, MQHCONN *hconn, EventQueueDef *queue, char *message);
void evWakeUp(QmgrContext *context, EventQueueDef *queue);
int evSuspendQueue(QmgrContext *context, EventQueueDef *queue, int32_t byCommand, char *message);
int evResumeQueue(QmgrContext *context, EventQueueDef *queue, int32_t byCommand, char *message);
void evSetTxnBatch(QmgrContext *context);
void evReportMQError(QmgrContext *context, MQHCONN hconn, int32_t reason, char *message);
int evFreeStreamLists(Stream **list);

// Input queues, units of work and intake.

// One message of a seen list: the messages of a unit whose state side committed, so that a
// redelivery after a failed event-side commit is dropped. A slot whose put date starts with 0 is free.
struct evSeenEntry {
    uint32_t touched;  // EV_SEEN_*: added or matched in the open unit
    char putDate[8];
    char putTime[8];
    uint8_t msgId[24];
    int64_t seenTime;
};
static_assert(sizeof(evSeenEntry) == 56);

inline constexpr uint32_t EV_SEEN_MATCHED = 1;  // a redelivery matched it in the open unit
inline constexpr uint32_t EV_SEEN_ADDED = 2;    // made in the open unit

struct EvSeenList {
    evSeenEntry *entries;  // counted heap; capacity grows in 4096-byte steps
    uint32_t used;         // entries in use
    uint32_t capacity;     // entries the buffer holds
    int32_t changed;       // the next commit saves it
};

// What one set's open unit of work holds besides its data-queue work (EvStreamIo).
struct EvUnitState {
    uint32_t inFlight;     // messages got in the unit
    int32_t marked;        // the unit changed memory (a message taken, a record put, a save): a
                           // backout then reloads everything (evReloadAfterBackout)
    int32_t commitAlone;   // a redelivered message: the batch counts full
    int32_t holdingEvent;  // set C's unit holds set E (set E resumes after its commit or backout)
    int32_t alertsOnly;  // set C's unit of the version check: alerts only, no housekeeping (set E untouched)
    int32_t reloaded;    // memory was reloaded in place after this set's backout, and no unit has
                         // committed since: the next failure ends the connection (the retry scheme paces)
    uint32_t commitCount;
    // Set E's unit is closing for set C's hold (in set C's callback, set E suspended).
    int32_t closingForHold;
    // Set C's: set E's unit, closed for this unit's hold, was backed out and memory holds what it did:
    // set E stays held, and this unit backs out at its sync point and reloads memory in place.
    int32_t backOutAtSyncPoint;
    // A record of the unit was not taken: the end kept its hook from running whole. The unit commits
    // no more; the disconnect backs it out and the next start takes its messages again.
    int32_t refused;
    EvSeenList seen;
};
// Indexed by EV_SET_C and EV_SET_E; changed under the consumer lock only.
extern EvUnitState evUnits[2];

// The seen list's stored message: one PCF message per set (CorrelId u32 3 for set C, 4 for set E).
inline constexpr int32_t EV_SEEN_COMMAND = 100002;
inline constexpr int32_t EV_SEEN_TIME_PARM = 39394;     // HLV_ATTR_SEEN_TIME
inline constexpr uint32_t EV_SEEN_MESSAGE_ENTRY = 120;  // MQCFBS 40, two MQCFST 28, MQCFIN64 24
inline constexpr uint8_t EV_DQ_KIND_SEEN_C = 3;
inline constexpr uint8_t EV_DQ_KIND_SEEN_E = 4;

// At receipt: 1 with *seen set when the message (MsgId, PutDate, PutTime) is already listed (it is
// marked matched); otherwise it is appended (added, seen now). 0 when out of storage.
[[nodiscard]] int evMarkSeen(EvSeenList *list, const MQMD *md, int64_t now, int32_t *seen);
// committed 1: the unit's entries leave (their messages are gone for good); committed 0: kept with the
// mark cleared (their messages come back). Entries seen more than a day before now leave too.
void evPruneSeenList(EvSeenList *list, int committed, int64_t now);
// A backout of the unit: the entries it added leave (their messages come back and must be taken), the
// ones it matched lose the mark.
void evSeenListBackedOut(EvSeenList *list);
void evFreeSeenList(EvSeenList *list);
// The stored message of the list in a counted-heap buffer (*length bytes) the caller frees; null when
// out of storage.
[[nodiscard]] uint8_t *evBuildSeenList(const EvSeenList *list, int32_t *length);
// Replaces the list by a stored message: entries begin at each MsgId (7013) of 24 bytes; items before
// the first are skipped, a MsgId of another length refuses the message. 1, or 0 for a damaged message,
// EV_SEEN_LOAD_NO_STORAGE when out of storage (the list is empty after both).
inline constexpr int EV_SEEN_LOAD_NO_STORAGE = -1;
[[nodiscard]] int evLoadSeenList(EvSeenList *list, const uint8_t *message, int32_t length);

// The units of work of a set (the set's which is EV_SET_C or EV_SET_E). 1, or 0 on failure; a failed
// sync point has backed out.
[[nodiscard]] int evSyncPoint(QmgrContext *context, ConnectionSet *set);
// Under the consumer lock, with set C suspended by the caller: changed alerts saved and committed in
// a unit of set C that changes alerts only (the version check's, an alert's expiry). Nothing when the
// alerts are unchanged or set C is not connected.
void evKeepAlerts(QmgrContext *context);
// Commits the set's unit; 0 when the commit failed and the connection ends. backOutRefused (set E's
// sync point only, where nothing else is under way on memory): an MQCMIT refused for a reason that
// leaves the connection sound backs the unit out instead and reloads memory in place, so that the
// connection is kept; 0 then too.
[[nodiscard]] int evCommit(QmgrContext *context, ConnectionSet *set, bool backOutRefused = false);
// Backs out the set's EVENT and STATE units, the stream and configuration writes and the seen list. A
// marked unit also reloads memory, in place or through the reconnect. 1, or 0 when MQBACK failed.
int evBackout(QmgrContext *context, ConnectionSet *set, const char *errorText);
// Replaces the seen-list message in the set's STATE unit. 1, or 0 (reported).
[[nodiscard]] int evSaveSeenList(ConnectionSet *set, char *errorText);

// ---- Intake ----

inline constexpr int32_t EV_FEEDBACK_NOT_EVENT = 200000;  // "Not an event message"
inline constexpr int32_t EV_FEEDBACK_NOT_STATS = 200001;  // "Not a statistics message"
inline constexpr uint32_t EV_DLH_LENGTH = 172;

// The MQDLH that leads a dead-lettered message, written little-endian into dlh (172 bytes).
void evBuildDLH(uint8_t *dlh, const MQMD *md, int32_t feedback, const char *destQueue, const char *destQmgr);
// 1 done (or no dead-letter queue is used, or none usable with USEDLQ 2); 0 the message must back out.
[[nodiscard]] int evPutToDLQ(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, const MQMD *md,
                             const uint8_t *data, int32_t length, int32_t feedback, const char *destQueue);
// The set's open dead-letter queue closed (opened again when a message next goes there).
void evCloseDeadQueue(QmgrContext *context, ConnectionSet *set);
// A message of the command queue that is no command, moved aside by the dead-letter rules in set C's
// unit (DestQName the command queue): evPutToDLQ's result. On 0 the consumer takes it off with a log
// line, nothing else of its unit being done.
[[nodiscard]] int evMoveAsideCommandMessage(QmgrContext *context, EventQueueDef *queue, const MQMD *md,
                                            const uint8_t *data, int32_t length, int32_t feedback);
// One message of set E by its Format: 1 consumed (and the sync point's result), 0 back out.
[[nodiscard]] int evDispatchMessage(QmgrContext *context, EventQueueDef *queue, MQMD *md, uint8_t *data,
                                    int32_t length);
[[nodiscard]] int evProcessEvent(QmgrContext *context, EventQueueDef *queue, MQMD *md, uint8_t *data,
                                 int32_t length);
// Runs the record hook and stores the record in each stream it names. 1, or 0 (back out; also when a
// stream's emitter has backed the unit out and reloaded memory: the caller stops at once).
[[nodiscard]] int evPutToStreams(QmgrContext *context, QmgrEntry *qmgr, uint32_t type, const MQMD *md,
                                 int64_t time, int32_t count, EventQueueDef *queue, uint8_t *record,
                                 uint32_t length, Area **headerOut);
// The "$IMPLICIT" alert text of a stream list written to two or more implicit display streams.
void evImplicitText(char *text, size_t size, const char *list, size_t length);
// The event sequence number: the last one handed out (0 is never used).
extern std::atomic<uint32_t> evEventSequence;
uint32_t evNextEventSequence();

// Storms: what a past-threshold count stores (EVREPEAT) and the alert's severity.
int32_t evStormExcess(int32_t count, int32_t threshold);
int32_t evStormSeverity(int32_t excess, int32_t threshold);
// Records equal for a storm: types, lengths and values agree; integers by value; times ignored.
int evMatchEvent(const uint8_t *a, uint32_t aLength, const uint8_t *b, uint32_t bLength);

// ---- The consumer ----

// The MQCB message consumer of every input queue (CallbackArea: its EventQueueDef).
void evMessageConsumer(MQHCONN hconn, MQMD *md, MQGMO *gmo, void *buffer, MQCBC *cbc);

// What the record hook (script slot) receives and gives back: the record with its message and queue
// manager, for an event its summary (the hook's event variables read it; null for other types), and
// on return the stream list ("$null" or empty: the record is not stored). While the record is put it
// is the context's current hook message (QmgrContext::hookMessage).
inline constexpr size_t EV_STREAM_LIST_MAX = 4096;
struct EvRecordHook {
    uint32_t type;
    const uint8_t *record;
    uint32_t length;
    const MQMD *md;        // null when the record came from no message (statistics intervals)
    const char *qmgrName;  // empty when the record belongs to no queue manager
    Area *summary;         // evCFSummarise of an event record (pcfSummaryOf)
    char streams[EV_STREAM_LIST_MAX];
};
// The hook context: what the running hook reads through its record and alert variables. One global,
// changed only under gScriptLock: each hook caller saves it, sets its own and restores it afterwards.
struct EvHookMessage {
    int32_t kind;          // the record's stream type (1 to 6) or an EvHookKind; 0 while no hook runs
    EvRecordHook *record;  // record hooks
    AlertDef *alert;       // the alert-expiry hook
};
extern EvHookMessage gHookMessage;
// Runs one of the hooks that read no record (EvHookKind) under the script lock with the hook context
// set; without a console session nothing runs. 1 when the script asked the program to end.
int evRunHook(int32_t kind, AlertDef *alert);
// The ends asked for so far: the end flag, a STOP EV waiting for set C's commit, and every signal
// that asked for the end. It only grows, so a running script (a hook's) that saw a smaller count when
// it began has been asked to end since.
uint32_t evEndRequestCount();
// The ends that are final: the end flag and every signal that asked for the end, without a STOP EV
// still waiting for its commit (a backout takes that one back). It only grows.
uint32_t evEndFinalCount();
// At start: config's alert-expiry hook.
void evInstallHooks();

// DEBUG values the consumer acts on (the command server's DEBUG sets them).
struct EvDebugValues {
    std::atomic<int32_t> forcedBackouts{0};  // BACKOUT: the next n messages are backed out, not handled
    std::atomic<int32_t> eventRepeat{0};     // EVREPEAT: each set E message is dispatched this many times
    std::atomic<int32_t> dataQueueCheck{0};  // DATAQCHK: seconds between set E's data-queue checks; 0 none
};
extern EvDebugValues evDebug;

// What emitting needs of the code pages, set up once on the first message of the process: the emit
// CCSID (ZUNT_EMIT_CCSID, else the message's), the punctuation written in it, and when the message's
// CCSID differs a byte table from the message's CCSID to it (a byte that does not convert gives 0).
struct EvEmitCodePage {
    std::atomic<int32_t> ready{0};
    int32_t emitCcsid;
    int32_t messageCcsid;
    const MQPunctuationEntry *punctuation;  // null when no storage was left
    int32_t translate;                      // 1: table applies
    uint8_t table[256];
};
extern EvEmitCodePage evEmitCodePage;

// A text in the CCSID the program holds its texts in (the queue manager's, as the first message
// came), from the code page it came in: an event's item can carry its own, UTF-16 among them.
// Converted into buffer (room bytes, at least 4 a byte of text) when they differ, or when it is not
// valid in its CCSID (what is not becomes U+FFFD, or the substitution character); else, or when it
// cannot be converted, the text as it is.
EvStringView evHeldText(EvStringView text, char *buffer, size_t room);
// The event's summary line (evEventSummary) in the CCSID the program holds its texts in, the object
// name converted from its own.
int evHeldSummary(const uint8_t *record, size_t length, const PcfSummary *summary, char *out);

// Set while set E's consumer handles a message or an empty-queue call (the command server refuses a
// changing command from the console's reply queue meanwhile).
extern std::atomic<int32_t> evConsumerActive;

// Moves a message past its backout threshold to the queue's backout queue in the unit, or to the
// dead-letter queue (2362) without one. 1, or 0.
[[nodiscard]] int evPutToBackoutQueue(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue,
                                      const MQMD *md, const uint8_t *data, int32_t length);

// Set C, on its callback thread under the consumer lock, before it changes a stream or a bin: closes
// set E's unit and keeps set E suspended until set C's unit commits or backs out. EV_SUSPEND_HELD,
// EV_SUSPEND_NOT_STARTED (go on), EV_SUSPEND_BUSY (change nothing; also while a 'before' half waiting
// for its 'after' keeps set E's unit open) or EV_HOLD_FAILED (set E's sync point failed: set C's
// unit backs out at its sync point and memory is reloaded in place, or else the connection ends).
inline constexpr int32_t EV_HOLD_FAILED = -1;
int32_t evHoldEventSet(QmgrContext *context);
// Gives set E back after set C's commit or backout, when set C holds it.
void evReleaseEventSet();

// ---- Storms ----
// A storm item (timed item of kind EV_TIMED_STORM) counts the repeats of one event within STORMINT.
// Its extra bytes are its stored form, little-endian:
//   u32 item length (this field to the record's end), queue manager name char[48], window start i64,
//   due i64, threshold i32, count i32, MQMD version 2 (364), u32 record length, record.
// The items are kept in set E's unit: each save puts one storm segment (CorrelId {5, 1, u64 number})
// with the items changed since the last save and a tombstone for each stored item that left, removes
// the segments no longer needed and replaces the index of segments (CorrelId {5, 23 zeros}), so that
// a count survives a kill, is not doubled by a backout, and a save costs what changed.
inline constexpr uint8_t EV_DQ_KIND_STORMS = 5;
// The emitters' files: their committed lengths, and the name of each file made since (engine/emitfiles.cpp).
inline constexpr uint8_t EV_DQ_KIND_EMIT_FILES = 6;
inline constexpr uint8_t EV_DQ_KIND_EMIT_NEW_FILE = 7;
// The queue managers' counters, saved in set E's unit with what they count (engine/counters.cpp).
inline constexpr uint8_t EV_DQ_KIND_COUNTERS = 8;
// Whether set E's open unit raised a queue manager's counter (under the consumer lock).
bool evCountersRaised();
// Replaces the counters message in the set's unit. 1, or 0 with the failure in text.
[[nodiscard]] int evSaveCounters(EvStreamIo *io, char *text);
// At a load, after the configuration: the stored counters, when saved since the last RESET EV. A
// configuration made afresh at this load (its message missing) takes their RESETTI and their queue
// managers; without them, while the queue holds what a run stored, the start says both are lost. 1,
// or 0 when a browse failed.
[[nodiscard]] int evLoadStoredCounters(EvStreamIo *io);
// What a message under the emitter file state key is: not the program's; the state of an emitter
// defined now with the FILE it names; one whose emitter is gone or names another FILE now (never
// acted on, taken away at the next save); a state of the earlier layout that lists all files.
inline constexpr int EV_EMIT_STATE_FOREIGN = 0;
inline constexpr int EV_EMIT_STATE_CURRENT = 1;
inline constexpr int EV_EMIT_STATE_RETIRED = 2;
inline constexpr int EV_EMIT_STATE_EARLIER = 3;
// Saves the emitters' file state in the set's unit when it wrote to a file, and removes the names
// of files made since the last save. 1, or 0 with the failure in text (EV_CONFIG_TEXT bytes).
[[nodiscard]] int evSaveEmitFiles(ConnectionSet *set, char *text);
// Names a file an emitter makes (data as the emitters write it), on the data queue outside the
// unit. 1, or 0 with text.
[[nodiscard]] int evPutEmitNewFile(ConnectionSet *set, const uint8_t *data, int32_t length, char *errorText,
                                   size_t size);
// At a load: the files cut back to their committed state, files made since removed. 1, or 0.
[[nodiscard]] int evLoadEmitFiles(EvStreamIo *io);
inline constexpr uint32_t EV_STORM_ITEM_HEADER = 444;
inline constexpr uint32_t EV_STORM_MESSAGE_VERSION = 1;           // the first layout: one message
inline constexpr uint32_t EV_STORM_MESSAGE_VERSION_SEGMENTS = 2;  // the index and its segments
inline constexpr int32_t EV_ATTR_REPEAT_COUNT = 39323;            // HLV_ATTR_REPEAT_COUNT
// The storm items changed since the storm segments were last written.
extern std::atomic<int32_t> evStormsChanged;

// Under the structure lock: counts the event in the matching item of its queue manager whose window
// holds the time (1 when the count passes the threshold: the event is only counted), or makes a new
// item (count 1, due now + STORMINT; *item receives it) and returns 0. The items are found by a hash
// of what evMatchEvent compares; only those of equal hash are compared whole.
int evRepeatCount(QmgrEntry *qmgr, const uint8_t *record, uint32_t length, int64_t time, evTimedItem **item);
// The timed handler of a due storm item (main thread): a count past the threshold stores the event
// once with EVREPEAT = the excess, raises "$STORM", and commits set E, then set C, both suspended.
void evStormCheck(evTimedItem *item);
// The MsgId the repeat record is stored with, made from the first event's (in place): its own, and
// the same whenever the item's repeat is stored.
void evStormRepeatMsgId(uint8_t *msgId);
// Schedules the items of a message of the first layout, each to be stored anew at the next save; an
// item whose queue manager is not known is dropped. 1, or 0 for a damaged message.
[[nodiscard]] int evLoadStormMessage(const uint8_t *message, int32_t length);
// Schedules one stored item (its stored form) with its id and the segment holding it (0: none, to be
// stored at the next save); dropped when its queue manager is not known. 1, or 0 out of storage.
[[nodiscard]] int evStormScheduleStored(const uint8_t *form, uint64_t id, uint64_t segment);
// Writes the changes in the set's unit. 1, or 0 (reported; the unit is to be backed out).
[[nodiscard]] int evSaveStorms(EvStreamIo *io);
// Connect step 6a: loads the stored storm items. 1, or 0.
[[nodiscard]] int evLoadStoredStorms(EvStreamIo *io);
// Drops every storm item (memory drop, under the consumer lock).
void evFreeStorms();
// Keeps the MQMD of the event that opened the storm item.
void evStormKeepMqmd(evTimedItem *item, const MQMD *md);

// ---- What the connection sets call ----

// Connect: the set's seen list from the data queue (only with a separate state queue manager). 1, or 0.
[[nodiscard]] int evLoadStoredSeenList(ConnectionSet *set);
// The memory drop (evFreeAll, under the consumer lock): storm items, seen lists, open-unit state.
void evFreeIntake();
// At start: stream storage's commit hook and the storm check of the timed list.
void evInstallIntake();

// ---- Configuration changes: 'before' and 'after' halves ----
inline constexpr int32_t EV_GROUP_BEFORE = 39200;  // HLV_GROUP_BEFORE
inline constexpr int32_t EV_GROUP_AFTER = 39201;   // HLV_GROUP_AFTER
// One record of both halves in a pooled "COMBINED" area (AreaData; used = length) the caller releases:
// the 'after' header, the identifying leading items of the 'before', then BEFORE with the rest of
// the 'before' and AFTER with the 'after' items that differ from the 'before' item at their position.
// Null when either record is under 32 bytes, damaged or storage is short.
[[nodiscard]] Area *evCombineChange(const uint8_t *before, uint32_t beforeLength, const uint8_t *after,
                                    uint32_t afterLength);
// The 'before' pool: a half waits here for its partner, by queue manager, object id and type. A
// 'before' half waits for its 'after'; an 'after' half that came first waits for its 'before'.
[[nodiscard]] int evBeforePoolAdd(const char *qmgr, const uint8_t *record, uint32_t length);
[[nodiscard]] int evAfterPoolAdd(const char *qmgr, const uint8_t *record, uint32_t length);
// The waiting half of that object, taken out of the pool (counted heap; the caller frees it), or null.
uint8_t *evBeforePoolTake(const char *qmgr, uint32_t objectId, uint16_t objectType, uint32_t *length);
uint8_t *evAfterPoolTake(const char *qmgr, uint32_t objectId, uint16_t objectType, uint32_t *length);
// 1 while any half waits in the pool.
int evPairPoolWaiting();
// Drops the 'after' halves that waited in vain (their messages committed); how many.
int evAfterPoolDrop();
void evBeforePoolFree();
// Puts a message on, its context passed from the input queue, in set E's unit of work: 1, or 0
// with the reason when the put failed. label names the call in the trace ("MQPUT(Forward)").
[[nodiscard]] int evPassOnMessage(ConnectionSet *set, const EventQueueDef *queue, MQHOBJ target,
                                  const char *label, MQMD *md, const uint8_t *data, int32_t length,
                                  MQLONG *reason);
// Forwards the message to the queue's forwarding queue in the unit (FWDPSIST applied to the copy); a
// failed put dead-letters it with the put's reason. 1, or 0.
// Ends the hold of a forwarding queue that refused puts (its alert goes): at every open of the event
// queue (an alter, a new connection) and by RESUME EVQ.
void evForwardHoldEnd(const QmgrContext *context, const EventQueueDef *queue);
[[nodiscard]] int evForwardMessage(QmgrContext *context, EventQueueDef *queue, MQMD *md, uint8_t *data,
                                   int32_t length);
// The context the consumers and the sync points run with.
QmgrContext *evIntakeContext();

// ---------------------------------------------------------------------------------------------
// Sweep message and version check: the two duties of the engine that run outside the MQ callback
// threads.

// The console's connection as the sweep uses it. The console fills it at each connect and sets both
// handles to -1 at each disconnect; while hconn is -1 no sweep is sent.
struct EvConsoleLink {
    std::atomic<const MQIFunctionTable *> mq{nullptr};
    std::atomic<MQHCONN> hconn{-1};
    std::atomic<MQHOBJ> commandQueue{-1};  // the sweep's output handle on the command queue; -1 not open
};
extern EvConsoleLink evConsoleLink;

// The sweep message: one MQCFH of DISPLAY ACCTQ without parameters, whose only use is to run set
// C's sync point (which absorbs the due bins).
inline constexpr int32_t EV_SWEEP_COMMAND = 9026;  // HLV_CMD_DISPLAY_ACCT_Q
inline constexpr int64_t EV_SWEEP_MIN_GAP = 5;     // seconds between two sweep messages
inline constexpr int64_t EV_SWEEP_FAIL_WAIT = 60;  // seconds after a failed sweep

// The main loop's decision, each tick while ready and connected (main thread only).
void evSweepDecision(int64_t now);
// Puts one sweep message through the console link (main thread only).
void evSendSweepMessage();

// What the version check found: this build and the web page's newest build for this platform.
struct EvVersionRecord {
    int32_t found;     // the page gave a version
    int32_t pageRead;  // the page was received
    int32_t webVersion, webRelease, webModification;
    int32_t webYear, webMonth, webDay;
    int32_t version, release, modification;
    int32_t year, month, day;
    int32_t equalVersion;
    int32_t upToDate;
};

inline constexpr char EV_VERSION_CATEGORY[] = "$VERSION";
inline constexpr int32_t EV_VERSION_RETENTION = 7776000;  // 90 days
// The maker's server: a reserved name, since no such server exists yet.
inline constexpr char EV_VERSION_HOST[] = "www.holva.example";
// The platform row the page is read for: the system's own.
#ifdef _WIN32
inline constexpr char EV_VERSION_PLATFORM[] = "Windows";
#else
inline constexpr char EV_VERSION_PLATFORM[] = "Linux";
#endif
inline constexpr size_t EV_HTTP_ERROR_MAX = 512;
// What a response may be: larger ones, and receives that last longer, are refused as invalid.
inline constexpr size_t EV_HTTP_HEADER_MAX = 64 * 1024;
inline constexpr size_t EV_HTTP_BODY_MAX = 4 * 1024 * 1024;
inline constexpr int64_t EV_HTTP_RECEIVE_MAX = 60;  // seconds

// The page's URL; a test points it at its own server (null restores the maker's).
void evSetVersionUrl(const char *url);
const char *evVersionUrl();

// A received response in one counted-heap buffer: the header block (headerLength bytes, status line
// first), then the body, de-chunked.
struct EvHttpBuffer {
    uint8_t *data;
    size_t length;
    size_t capacity;
    size_t headerLength;
};
void evHttpFree(EvHttpBuffer *buffer);

// Where a response is read from: up to length bytes into buffer, *got 0 at the end; 0 or an errno.
struct EvHttpSource {
    int (*recv)(void *context, uint8_t *buffer, size_t length, size_t *got);
    void *context;
};

// Reads one response: 1, or 0 with the error text (EV_HTTP_ERROR_MAX bytes).
[[nodiscard]] int evHttpRead(const EvHttpSource *source, EvHttpBuffer *buffer, char *errorText);
[[nodiscard]] int evHttpReceive(CSSocket socket, EvHttpBuffer *buffer, char *errorText);
[[nodiscard]] int evHttpGet(const char *url, EvHttpBuffer *buffer, char *errorText);
// A URL "http://host[:port][/path]"; a port of 0, or none, is 80.
struct EvHttpUrl {
    char host[256];
    uint16_t port;
    char path[1025];  // without its leading '/'
};
// 1, or 0 with "... : Urecognised URL format '%s'".
int evHttpSplitUrl(const char *url, EvHttpUrl *parts, char *errorText);
// The request evHttpGet sends: its length (the Host header names a port other than 80).
size_t evHttpRequest(char *out, size_t size, const EvHttpUrl *url);

// One token of a page from *next (advanced past it), or length 0 at the end.
struct EvHtmlToken {
    const char *text;
    size_t length;
};
EvHtmlToken evHtmlNextToken(const char **next, const char *end);
// version.release.modification from the first three numeric tokens: 1, or 0.
int evParseVersion(const char *text, size_t length, int32_t *version, int32_t *release,
                   int32_t *modification);
// A month name, a day and a year ("Mar  3 2025"): 1, or 0.
int evParseBuildDate(const char *text, size_t length, int32_t *year, int32_t *month, int32_t *day);
// Reads the page (a response body) into the record: 1 with a version, or 0 with the error text.
int evParseVersionPage(const char *page, size_t length, EvVersionRecord *record, char *errorText);

// Fetches and reads the page into the record; 1, or 0 with the error text (EV_HTTP_ERROR_MAX).
int evWebVersionCheck(EvVersionRecord *record, char *errorText);
// Sets equalVersion and upToDate of a record that found a version.
void evCompareVersions(EvVersionRecord *record);
// The comparison text of a record that found a version.
const char *evVersionVerdict(const EvVersionRecord *record);
// One check with its report: the "$VERSION" alert brought in step with the result.
void evVersionCheckReport();
// Writes the received page to ZUNT_download.txt in the folder ZUNT_WEB_DEBUG names, if any.
void evWebDebugDump(const EvHttpBuffer *buffer);
// The version thread (argument: its wake event): the first check after 2 hours (5 s with -v v),
// then daily, until woken by evStopVersionCheck or the end flag.
void evVersionCheckThread(void *argument);
// Starts the thread (start-up); wakes it to end and waits for it at most 5 s (shutdown).
void evStartVersionCheck();
void evStopVersionCheck();
// From a thread that is no callback (the version check, the main loop): adds the alert of that
// category (text; null removes that category's alerts) as one unit of set C that changes alerts
// only: set C held, the consumer lock taken, set E left alone. Nothing while not ready or ending.
void evChangeAlertAlone(const char *category, int32_t severity, int32_t retention, const char *text);
// Steps 3 to 7 of the report for a check's result (errorText: the check's failure, or empty).
void evVersionReportResult(const EvVersionRecord *record, const char *errorText);
