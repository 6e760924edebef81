// Console output with the status line, the -v debug letters, the worker pool and the log files,
// plus the run state that these read (background, debug mode, connection flags and handles).
// Every message of the program reaches the console and the log through evOutput.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/cs.h"

// ---------------------------------------------------------------------------------------------
// Version texts, printed in the log header, the start-up line and the usage text.

inline constexpr char evVersionText[] = "9.4.1";
inline constexpr char evBuildDateText[] = "Mar  3 2025";

// ---------------------------------------------------------------------------------------------
// Message categories, passed with every message; the log frames EV_OUT_ERROR lines with "*** "
// and " ***".

constexpr uint32_t EV_OUT_INFO = 1;
constexpr uint32_t EV_OUT_PROGRESS = 32;
constexpr uint32_t EV_OUT_ERROR = 128;
constexpr uint32_t EV_OUT_TRACE = 1024;

// ---------------------------------------------------------------------------------------------
// Run state: plain shared flags read without a lock by every thread. The engine owns their
// meaning (options -b, -k, -! and the connection sequence); they live here because the status
// line, the log and the worker pool read them.

struct EvRunState {
    std::atomic<int32_t> background{0};  // -b or -k: nothing on the console
    std::atomic<int32_t> service{0};     // -k
    std::atomic<int32_t> debugMode{0};   // -! or '!': the status line is not drawn
    // QmgrContext's state flags, in their order.
    std::atomic<uint8_t> connecting{0};
    std::atomic<uint8_t> retrying{0};
    std::atomic<uint8_t> connected{0};
    std::atomic<uint8_t> disconnecting{0};
    std::atomic<uint8_t> ready{0};
    std::atomic<uint8_t> broken{0};       // connection broken
    std::atomic<uint8_t> qmgrEnding{0};   // queue manager ending; also the MQI trace's failing mark
    std::atomic<uint8_t> initialised{0};  // the first connect sequence has completed ("ZUNT Initialised")
};
extern EvRunState evRunState;

// The six connection handles of the two connection sets; -1 while not connected.
enum EvConnSlot : int32_t {
    EV_CONN_E_EVENT = 0,
    EV_CONN_E_STATE,
    EV_CONN_E_STATEN,
    EV_CONN_C_EVENT,
    EV_CONN_C_STATE,
    EV_CONN_C_STATEN,
    EV_CONN_SLOTS
};
extern std::atomic<int32_t> evConnHandles[EV_CONN_SLOTS];

// ---------------------------------------------------------------------------------------------
// Console sink: where standard output (stream 1) and standard error (stream 2) go. Tests put a
// capture in its place. isTerminal says whether the stream is an interactive terminal.

struct EvConsoleSink {
    void (*write)(int32_t stream, const char *bytes, size_t length);
    void (*flush)(int32_t stream);
    int32_t (*isTerminal)(int32_t stream);
};

// Installs a sink (null restores the process's own streams); returns the one it replaces.
const EvConsoleSink *evSetConsoleSink(const EvConsoleSink *sink);

// Writes text as it is (no line end added) to standard output (1) or standard error (2), wiping
// the status line first, and flushes it; also in background mode (start-up lines and the usage
// text). length -1: the text is NUL-terminated.
void evConsolePrint(int32_t stream, const char *text, int64_t length);

// ---------------------------------------------------------------------------------------------
// Console output and status line. All of it runs under the log and console lock.

// Writes one message line to the console (unless in background) and, with toLog, to the log
// with the category as its severity. length -1: the text is NUL-terminated. In background mode the
// first error line before the run is initialised also goes to standard error, unless something was
// written there already: a start in the background that can not get going says why, once.
void evOutput(uint32_t category, const char *text, int32_t length, uint32_t toLog);
// The last EV_OUT_ERROR line evOutput wrote (cut to fit; empty when none) into out, and how many such
// lines it has written: a caller that kept the count knows whether the text is new.
inline constexpr size_t EV_LAST_ERROR_MAX = 240;
uint64_t evLastError(char *out, size_t size);
// The last error line is the reason of the end that is being asked for (a failed start).
void evNoteEndReason();
// In background mode, standard error gets the noted reason of the end unless it was the line it got
// already: the first error of a start is not always the one that ended it.
void evSayEndReason();

// printf-style front of evOutput for messages with values; the text is cut at 4095 bytes.
void evOutputF(uint32_t category, uint32_t toLog, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Wipes the status line from the screen before a text of the given length is printed.
void evEraseStatusLine(uint64_t length);

// Set by the main loop before each redraw: makes evStatusLine build its text again.
extern std::atomic<int32_t> evStatusRebuild;

// Builds (when asked) and draws the status line.
void evStatusLine();

// Copy of the last built status text (for tests and displays); returns its length.
size_t evStatusText(char *buffer, size_t size);

// What the status line counts; the engine installs a source that reads its atomics (it runs
// under the status lock and must take no lock). Without a source every count is 0.
struct StatusCounts {
    int32_t events;    // events processed
    int32_t stats;     // the five statistics and accounting record counts added up
    int32_t commands;  // commands processed
    int32_t alerts;    // alerts held
    int32_t loaded;    // records loaded since the connect began
};
using StatusSource = void (*)(StatusCounts *counts);
void evSetStatusSource(StatusSource source);

// Takes the log and console lock once for the caller and sets *held; evUnlockConsole gives it
// back when *held is set and clears it.
void evLockConsole(int32_t *held);
void evUnlockConsole(int32_t *held);

// 1: takes the log and console lock and keeps it, wiping the status line, so that the script
// debugger's dialogue is not interleaved with other output; 0: gives it back once.
void evConsoleDebugMode(int32_t on);

// Prints "Debug Mode" on a line of its own.
void evPrintDebugMode();

// Replaces evDebugFlags by the bits of the -v letters found in the text.
void evSetDebugFlags(const char *letters);

// ---------------------------------------------------------------------------------------------
// Keyboard of the foreground (standard input).

// On a terminal: single keys without echo until evKeyboardClose (or the process's exit). 1 when
// standard input is a terminal now in that mode, else 0 (keys can still be read, line by line).
int32_t evKeyboardOpen();
void evKeyboardClose();

// The next key, or 0 when none is waiting (wait 0); wait 1 waits for one. -1 at the end of the
// input, which no wait outlasts.
int32_t evKeyRead(int32_t wait);

// While a thread has reserved the keys (a prompt reading a password), evKeyRead answers 0 on every
// other thread, so that the main loop's polling takes none of them. 0 gives them back.
void evKeysReserve(int32_t reserve);

// Tests put a source of keys in place of standard input (null restores it); evKeyRead then asks
// the source, and evKeyboardOpen leaves the terminal alone. Returns the source it replaces.
using EvKeySource = int32_t (*)(int32_t wait);
EvKeySource evSetKeySource(EvKeySource source);

// One line of standard input for a dialogue (the script debugger's prompt): the terminal leaves its
// single-key mode and evKeyRead answers 0 while the line is read, so the main loop's polling takes
// none of its keys. 1 with the line (any length, its line end and a carriage return removed) in a
// counted-heap text that the caller frees; 0 at the end of the input or when storage ran out.
// stop(context), when given, is asked several times a second while no input comes: once it
// answers non-zero the read ends with EV_INPUT_STOPPED (a test's line source is not asked).
inline constexpr int32_t EV_INPUT_STOPPED = -1;
[[nodiscard]] int32_t evReadInputLine(char **line, size_t *length, int (*stop)(void *) = nullptr,
                                      void *context = nullptr);
// Tests put a source of lines in place of standard input (null restores it); returns the one it replaces.
using EvLineSource = int32_t (*)(char **line, size_t *length);
EvLineSource evSetLineSource(EvLineSource source);

// ---------------------------------------------------------------------------------------------
// Worker pool: posted items run in posting order on threads started on demand.

struct WorkItem {
    WorkItem *next;                    // the pool's queue link
    void (*function)(WorkItem *item);  // called with the pool's copy of the item
    void *argument;
};

// Copies the item and queues it: 0, or 2071 (nothing queued, errno says why) when no storage is left
// for the copy or no worker exists and none can be started.
[[nodiscard]] int32_t evWorkPost(const WorkItem *item);

// Starts one more worker thread, counted idle at once: 0, or 2071 (errno says why) when it cannot be
// created.
int32_t evWorkerStart();

// 1 while workers live, an item is queued or any connection handle is still set; else 0.
int32_t evWorkBusy();

// Wakes one idle worker (the shutdown loop signals repeatedly so that every worker ends).
void evWorkWake();

// Worker threads alive, idle workers and the queue's head, read under the work-list lock.
void evWorkStats(int32_t *workers, int64_t *idle, const WorkItem **head);

// Test hook: called with each item as a worker takes it off the queue, under the work-list lock
// (so the calls come in dequeue order); it must take no lock. Null removes it.
void evWorkSetDequeueHook(void (*hook)(const WorkItem *item));

// ---------------------------------------------------------------------------------------------
// Log files.

// The settings of the log that the event processor's settings keep here. Changed only through
// logSetSettings (status lock, then log and console lock), so a reader that holds either lock may
// read them in place; any other reader takes logGetSettings's copy or logHeartbeatInterval.
struct LogSettings {
    char name[8 + 1];      // NAME
    char descr[64 + 1];    // DESCR
    char logPath[1024];    // LOGPATH: the log root directory; empty (until set): no log file
    int32_t maxLogAge;     // MAXLOGAGE, seconds
    int64_t maxLogSize;    // MAXLOGSZ, bytes
    int32_t logRetention;  // LOGRET, seconds
    int32_t heartbeat;     // heartbeat interval, seconds; 0 writes none
};
extern const LogSettings &evLogSettings;  // read-only view: under the status lock or the log lock
void logSetSettings(const LogSettings *settings);
void logGetSettings(LogSettings *settings);  // a consistent copy, taken under the log lock
int32_t logHeartbeatInterval();              // the heartbeat setting, read without a lock

// Values of the configuration block, pushed by the configuration load each time it runs. A
// null name prints "Unknown".
struct LogConfiguration {
    int32_t alertRetention;        // ALERTRET, seconds
    const char *deadQueue;         // DEADQ
    const char *useDlqName;        // USEDLQ's value name
    const char *dispCmdsName;      // DISPCMDS's value name
    int64_t resetTime;             // RESETTI
    const char *versionCheckName;  // VERCHECK's value name
    int32_t stormThreshold;        // STORMTHR
    int32_t stormInterval;         // STORMINT
};
void logConfigurationLoaded(const LogConfiguration *configuration);

// The event queues with their state names, oldest first, pushed at each connect.
struct LogEventQueue {
    const char *name;
    const char *stateName;  // null prints "Unknown"
};
void logEventQueuesConnected(const LogEventQueue *queues, size_t count);

// Lines of a unit of work held until it ends. Each connection set owns one; zero-initialised.
struct LogPendingLine;
struct LogCapture {
    LogPendingLine *first;
    LogPendingLine *last;
    uint32_t count;
};

// Writes one line to the log (with a capture: keeps it pending). length -1: NUL-terminated.
// 1 written or kept, 0 when nothing could be written (no file, no storage for a pending copy).
int32_t logWrite(LogCapture *capture, uint32_t severity, const char *text, int64_t length);

// Commit: writes the pending lines framed like error lines, then frees them.
void logCommitCapture(LogCapture *capture);

// Back-out: drops the pending lines.
void logFreeCapture(LogCapture *capture);

// Main loop, once a second: closes a file older than MAXLOGAGE (not while ending).
void logCheckMaxAge();

// Main loop, once a second: flushes the file when lines were written since the last flush. (From the
// end on, once evEndFlag is set, each line is written as it is said.)
void logFlushIfWritten();

// A failed write or flush of the log (said once on standard error) not yet taken: its errno, or 0.
// The engine raises the alert for it.
int32_t logTakeWriteFailure();

// The time at which the main loop writes the heartbeat (any log line moves it on).
int64_t logNextHeartbeat();

// Flushes and closes the current file (the next line opens a new one).
void logClose();
// At start: opens the first log file now, so that a log folder that can not be written ends the
// start at once. 1, or 0 with a message (ending in a line feed) that names the folder and how to
// choose another.
int logOpenAtStart(char *why, size_t size);
