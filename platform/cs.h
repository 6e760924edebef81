// The core of the platform layer: named locks, the counted heap, keyed AVL trees, pooled work
// areas, the trap file and function trace, detached command lines, interval texts, the clock and
// the state shared by every thread of the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------------------------
// Shared state of the process. Every thread reads these; they are atomics so that no copies are
// kept elsewhere.

extern std::atomic<int32_t> evEndFlag;  // set to 1 once to end the program; never cleared
// The process's exit status. An end that was asked for (STOP EV, the 'Q' key, SIGTERM, a script's end
// request, a service following its queue manager's controlled end) sets evEndFlag alone and exits 0;
// an end that is a failure goes through evEndWith with one of these.
extern std::atomic<int32_t> evExitStatus;
constexpr int32_t EV_EXIT_USAGE = 2;       // an option or an environment variable refused
constexpr int32_t EV_EXIT_START = 3;       // the log, the start-up script or the data queue can not be used
constexpr int32_t EV_EXIT_CONNECTION = 4;  // a connection given up: a reason not retried, the retries used up
// Sets evEndFlag with a failure's exit status; an end already under way keeps its own status.
void evEndWith(int32_t status);
// The orderly ends asked for from outside (SIGTERM, the console window's close) so far: a second one
// reaches what the first one's end runs (the script's ending hook).
extern std::atomic<uint32_t> evEndSignals;
extern std::atomic<uint32_t> evDebugFlags;    // -v letters (and DEBUG VERBOSE)
extern std::atomic<uint32_t> evDebugOptions;  // -D letters
extern std::atomic<int32_t> evConfigChanged;  // next sync point saves the configuration message
extern std::atomic<int32_t> evAlertsChanged;  // next sync point of set C saves the alert message

// The data-queue condition word: set by the data-queue checks, read by every writer of the
// data queue and by the resumption of event queues.
extern std::atomic<uint32_t> evDataQueueCondition;
constexpr uint32_t EV_DQ_DEPTH_HIGH = 0x1;
constexpr uint32_t EV_DQ_PUT_INHIBITED = 0x2;
constexpr uint32_t EV_DQ_GET_INHIBITED = 0x4;
constexpr uint32_t EV_DQ_MSGL_LOW = 0x8;  // MAXMSGL lowered below 4194304 while the program runs
// The system's own messages on the data queue, counted up and down between inquiries.
extern std::atomic<int32_t> evDataQueueMsgCount;

// -v letters: bits of evDebugFlags, one constant per letter (the letter is the suffix).
constexpr uint32_t EV_DBG_s = 0x1;        // pooled areas, before/after pool, event processing
constexpr uint32_t EV_DBG_p = 0x2;        // before/after combination
constexpr uint32_t EV_DBG_c = 0x4;        // record compression
constexpr uint32_t EV_DBG_d = 0x20;       // PCF dumps
constexpr uint32_t EV_DBG_t = 0x40;       // FROM/TO parsing
constexpr uint32_t EV_DBG_h = 0x80;       // streams: blobs, hardening, commit, consolidation, expiry
constexpr uint32_t EV_DBG_S = 0x100;      // stream hardening dump
constexpr uint32_t EV_DBG_l = 0x200;      // log file open and delete
constexpr uint32_t EV_DBG_r = 0x400;      // retry scheme and connect attempts
constexpr uint32_t EV_DBG_T = 0x800;      // event matching and repeat counts
constexpr uint32_t EV_DBG_f = 0x1000;     // DISPLAY and blob search
constexpr uint32_t EV_DBG_D = 0x2000;     // with l: log closed at maximum age shown on the console
constexpr uint32_t EV_DBG_v = 0x4000;     // quick version check
constexpr uint32_t EV_DBG_R = 0x8000;     // statistics and accounting responses
constexpr uint32_t EV_DBG_N = 0x10000;    // no status line
constexpr uint32_t EV_DBG_i = 0x40000;    // blob and stream search
constexpr uint32_t EV_DBG_H = 0x80000;    // string housekeeping and storage reports
constexpr uint32_t EV_DBG_z = 0x100000;   // worker pool and shutdown waits
constexpr uint32_t EV_DBG_A = 0x200000;   // every MQI call
constexpr uint32_t EV_DBG_a = 0x400000;   // failing MQI calls
constexpr uint32_t EV_DBG_g = 0x800000;   // aggregation, sweep message
constexpr uint32_t EV_DBG_G = 0x1800000;  // aggregation with portion detail (includes g)
constexpr uint32_t EV_DBG_e = 0x2000000;  // emitter error reports

// -D letters: bits of evDebugOptions (C, t and c<n> are separate settings, not bits).
constexpr uint32_t EV_OPT_g = 0x1;
constexpr uint32_t EV_OPT_k = 0x2;
constexpr uint32_t EV_OPT_e = 0x4;  // console: response-record release
constexpr uint32_t EV_OPT_l = 0x8;
constexpr uint32_t EV_OPT_s = 0x10;  // console: connections and replies
constexpr uint32_t EV_OPT_b = 0x20;  // script variable assignment
constexpr uint32_t EV_OPT_d = 0x40;  // script reading, parsing, execution; expression parsing
constexpr uint32_t EV_OPT_f = 0x80;  // script file reading
constexpr uint32_t EV_OPT_S = 0x100;
constexpr uint32_t EV_OPT_v = 0x200;  // configuration message read with MQGMO_CONVERT
constexpr uint32_t EV_OPT_m = 0x400;  // progress lines while memory is freed at the end
constexpr uint32_t EV_OPT_F = 0x800;  // memory is not freed at the end

// ---------------------------------------------------------------------------------------------
// Clock. The whole process reads time and waits through one replaceable table, so that tests
// can run time forward. evClockNow() is the cached second that evClockTick() refreshes (the
// main loop ticks once a second).

struct evTimeFuncs {
    int64_t (*now)();              // seconds since 1970 (UTC)
    void (*sleepMs)(uint32_t ms);  // wait; a fake clock advances itself instead
};
extern const evTimeFuncs evRealTime;                          // the system clock and nanosleep
const evTimeFuncs *evSetTimeFuncs(const evTimeFuncs *funcs);  // installs (null: real); returns previous
int64_t evTimeNow();                                          // reads the table's clock now
void evSleepMs(uint32_t ms);                                  // waits through the table
int64_t evClockNow();                                         // the cached clock (ticked on first use)
int64_t evClockTick();                                        // refreshes the cached clock and returns it
int evTimeIsReal();  // 1 while the system clock is installed (no test clock)

// Time-zone values in minutes, refreshed at start and daily at 03:00 local time.
extern std::atomic<int32_t> evTzBias;         // offset less daylight
extern std::atomic<int32_t> evTzDaylight;     // 60 while daylight time is in force, else 0
extern std::atomic<int32_t> evTzOffset;       // the local offset from UTC (bias + daylight)
extern std::atomic<int64_t> evTzNextRefresh;  // clock time of the next refresh
void evRefreshTimeZone();                     // sets bias, daylight and offset for the clock's now
// Refreshes the values and schedules the next refresh at 03:00 local of the day of `now`.
void evStartTimeZone(int64_t now);
// Called by the main loop each tick: refreshes when due, then every 86400 seconds. 1 when refreshed.
int evCheckTimeZone(int64_t now);

// ---------------------------------------------------------------------------------------------
// Locks. Lock order, outer to inner: script, consumer, alert, structure, status, log-and-console,
// memory, trace mutex. The work-list lock is a leaf: nothing is taken while it is held.

uint32_t csThreadId();  // the caller's kernel thread id (gettid), cached per thread

constexpr uint32_t CS_WAIT_OBJECT_0 = 0;   // CSLockIt: the lock is held
constexpr uint32_t CS_WAIT_TIMEOUT = 258;  // CSLockIt: time-out, owner and count unchanged
constexpr uint32_t CS_WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t CS_INFINITE = 0xFFFFFFFF;

#ifdef _WIN32
// On Windows the locks sit on a slim reader/writer lock: one pointer-size word, zero when free, so
// that the named locks below are constant-initialised as on Linux (winpthreads' mutexes are not).
class CSOsMutex {
public:
    constexpr CSOsMutex() = default;
    CSOsMutex(const CSOsMutex &) = delete;
    CSOsMutex &operator=(const CSOsMutex &) = delete;
    void lock();
    void unlock();
    bool tryLockFor(uint32_t timeoutMs);  // true when taken within the time
private:
    void *word_ = nullptr;
};
using CSTimedMutex = CSOsMutex;
using CSMutex = CSOsMutex;
#else
using CSTimedMutex = std::timed_mutex;
using CSMutex = std::mutex;
#endif

// The layer's own lock, taken with a time-out; recursive for its owner.
struct CSLock {
    CSTimedMutex mutex;
    std::atomic<uint32_t> owner{0};  // thread id of the holder, 0 when free
    std::atomic<uint32_t> count{0};  // recursion count, 0 when free
    const char *name = "";
    constexpr CSLock() = default;
    constexpr explicit CSLock(const char *lockName) : name(lockName) {}
    CSLock(const CSLock &) = delete;
    CSLock &operator=(const CSLock &) = delete;
};

// The named locks of the rest of the system; recursive for their owner.
struct CSRecursiveLock {
    CSMutex mutex;
    std::atomic<uint32_t> owner{0};  // thread id of the holder, 0 when free
    std::atomic<uint32_t> count{0};  // recursion count, 0 when free
    const char *name = "";
    constexpr CSRecursiveLock() = default;
    constexpr explicit CSRecursiveLock(const char *lockName) : name(lockName) {}
    CSRecursiveLock(const CSRecursiveLock &) = delete;
    CSRecursiveLock &operator=(const CSRecursiveLock &) = delete;
};

extern CSLock gMemoryLock;               // heap counters, loading of the MQ library
extern CSRecursiveLock gScriptLock;      // the script interpreter
extern CSRecursiveLock gConsumerLock;    // serialises the consumers of both connection sets
extern CSRecursiveLock gAlertLock;       // the alert list
extern CSRecursiveLock gStructureLock;   // pooled areas, timed work list, shared list walks
extern CSRecursiveLock gStatusLock;      // the status text buffer
extern CSRecursiveLock gLogConsoleLock;  // log file, console output and status line
extern CSRecursiveLock gWorkListLock;    // the worker pool's queue (leaf)

// 0 when held, 258 on time-out (owner and count unchanged). CS_INFINITE waits without limit.
uint32_t CSLockIt(CSLock *lock, uint32_t timeoutMs);
void CSUnlockIt(CSLock *lock);  // one release; a caller not holding the lock is trapped
void CSLockMemory();            // takes gMemoryLock without limit
void CSUnlockIt();              // releases gMemoryLock

int CSLockRecursive(CSRecursiveLock *lock);     // 1 when held (never fails on Linux)
void CSUnlockRecursive(CSRecursiveLock *lock);  // one release; a non-owner's release does nothing
uint32_t CSRecursiveHeldCount(const CSRecursiveLock *lock);  // the caller's recursion count, 0 if not owner

// Scoped holder of a recursive lock; unlock() gives it back early.
class CSRecursiveGuard {
public:
    explicit CSRecursiveGuard(CSRecursiveLock &lock) : lock_(&lock) { held_ = CSLockRecursive(lock_) != 0; }
    ~CSRecursiveGuard() { unlock(); }
    void unlock() {
        if (held_) CSUnlockRecursive(lock_);
        held_ = false;
    }
    CSRecursiveGuard(const CSRecursiveGuard &) = delete;
    CSRecursiveGuard &operator=(const CSRecursiveGuard &) = delete;

private:
    CSRecursiveLock *lock_;
    bool held_;
};

// ---------------------------------------------------------------------------------------------
// Counted heap. Every block has a 48-byte header {total, kind, serial} before the caller's
// pointer and 4 spare bytes after the data; total = size + 52.

constexpr size_t CS_MEM_HEADER = 48;
constexpr size_t CS_MEM_OVERHEAD = 52;

struct CSMemCounts {
    int64_t blocks;       // blocks in use ("Blocks")
    int64_t allocations;  // allocations since start, also the next serial ("Allocs")
    int64_t bytes;        // sum of the totals in use ("Bytes")
    int64_t high;         // the highest value bytes has reached ("High")
};

[[nodiscard]] void *CSGetMem(uint64_t size);  // null when the heap is exhausted or size + 52 exceeds 32 bits
void CSFreeMem(void *pointer);                // pointer from CSGetMem, not null
CSMemCounts CSMemCounters();                  // a consistent snapshot
uint32_t CSMemKind(const void *pointer);      // the block's kind: 1 below 300 bytes total, else 2
uint32_t CSMemSerial(const void *pointer);    // the block's serial
uint32_t CSMemTotal(const void *pointer);     // the block's total
// Decides, before each allocation, whether it fails as an exhausted heap would (tests reach the
// out-of-storage paths this way). Null: none. Returns the previous one.
using CSMemFailHook = bool (*)(uint64_t size);
CSMemFailHook CSSetMemFailHook(CSMemFailHook hook);

// ---------------------------------------------------------------------------------------------
// AVL trees. A node is the caller's own trivially copyable record: the 40-byte CSTree header
// first, the key at offset 40, the caller's data after it. Nodes are also threaded in key order
// (previous, next) and know their 0-based position in that order once CSTreeNumber has numbered them:
// an insert or delete costs no more than the tree's height, so it leaves the positions of the
// nodes after it as they were. Trees have no lock of their own.
//
// Key kinds (the kind argument):
//   n > 0  n bytes in the node, unsigned byte order
//   -1     find only: the searched key is a NUL-terminated string compared with the n-byte keys
//   -2     the node holds a char* to a NUL-terminated string; case-insensitive order, equal
//          ignoring case ordered case-sensitively
//   -3     the node holds a char* to a NUL-terminated string; unsigned byte order
//   -4     a u32 in the node, ordered by value
//   -5     insert only: no key; each new node goes after every existing one
// The key argument of CSTreeFind: the key bytes (n > 0), the string itself (-1, -2, -3) or a
// pointer to the u32 (-4). Insert and delete take a template record holding the key at offset 40.

struct CSTree {
    CSTree *left;        // smaller keys
    CSTree *right;       // greater keys
    CSTree *previous;    // the node before in key order
    CSTree *next;        // the node after in key order (the walk link)
    uint16_t height;     // 1 for a leaf
    uint16_t keyLength;  // n of a byte-key insert, else 0
    uint32_t position;   // 0-based index in key order, as the last CSTreeNumber left it
};
static_assert(sizeof(CSTree) == 40);
constexpr size_t CS_TREE_KEY = 40;  // offset of the key in a node
constexpr int32_t CS_KEY_STRING = -1;
constexpr int32_t CS_KEY_NOCASE = -2;
constexpr int32_t CS_KEY_CSTRING = -3;
constexpr int32_t CS_KEY_U32 = -4;
constexpr int32_t CS_KEY_APPEND = -5;

CSTree *CSTreeFind(CSTree *root, const void *key, int32_t kind);
// A copy of recordSize bytes of the template from the counted heap, header cleared; null when
// the key is present, memory is short or the record is too small for its key. The eye-catcher
// names the collection only.
[[nodiscard]] CSTree *CSTreeInsert(CSTree **root, const char *eyeCatcher, const void *record,
                                   size_t recordSize, int32_t kind);
// Non-null (already freed: a flag only) when a node with the template's key was removed.
// Kinds n > 0, -2, -3 and -4.
CSTree *CSTreeDelete(CSTree **root, const void *record, int32_t kind);
using CSTreeCallback = void (*)(CSTree *node, void *argument1, void *argument2);
// Calls callback(node, argument, argument) on each node before its subtrees, frees every node
// and sets the root to null. Returns 0.
int CSTreeFree(CSTree **root, CSTreeCallback callback, void *argument);
CSTree *CSTreeFirst(CSTree *root);                  // leftmost node, null for an empty tree
CSTree *CSTreeLast(CSTree *root);                   // rightmost node
CSTree *CSTreeAt(CSTree *root, uint32_t position);  // the node at that position, or null (numbers the tree)
uint32_t CSTreeNumber(CSTree *root);                // numbers every node by its position -> the node count
inline void *CSTreeKey(CSTree *node) {
    return reinterpret_cast<unsigned char *>(node) + CS_TREE_KEY;
}

// ---------------------------------------------------------------------------------------------
// Pooled work areas: large short-lived buffers kept in a pool for reuse until exit.

struct Area {
    Area *next;         // the next area of the free list (null while in use)
    uint32_t pooled;    // 1 while in the pool
    uint32_t capacity;  // data bytes after the header
    uint32_t size;      // size asked for by the current user
    uint32_t used;      // bytes used by the current user (its users maintain it)
};
static_assert(sizeof(Area) == 24);
inline unsigned char *AreaData(Area *area) {
    return reinterpret_cast<unsigned char *>(area) + sizeof(Area);
}

// An area with at least size data bytes, its first bytesToZero bytes (clamped to the capacity)
// zeroed; null when memory is short (reported as "Failed to allocate %d bytes for '%.20s'").
[[nodiscard]] Area *AreaGet(uint32_t size, int32_t bytesToZero, const char *name);
void AreaRelease(Area **area);  // into the pool; sets *area to null; a null *area is ignored
void AreaFreePool();            // returns every pooled area to the heap (shutdown)

// ---------------------------------------------------------------------------------------------
// Trap: an internal error (an impossible lock or tree state). Writes the trap line to a new file
// of the trap folder ("cstrap.txt", else the first free "cstrap.<n>.txt"; created exclusively, never
// through a link), then calls the break hook. The default hook raises SIGTRAP only while a debugger
// traces the process, else the caller goes on.

void CSTrap(const char *sourceFile, const char *buildStamp, uint32_t line, int32_t value);
using CSTrapHook = void (*)(const char *trapLine);
CSTrapHook CSSetTrapHook(CSTrapHook hook);  // null restores the default; returns the previous hook
// The folder trap files go in (the program's log folder); unset or null: $TMPDIR, else /tmp
// (c:\temp on Windows).
void CSSetTrapFolder(const char *folder);
std::string CSTrapPath();  // the file the latest trap was written to; empty before any
#define CS_BUILD_STAMP "9.4.1"
#define CS_TRAP(value) CSTrap(__FILE__, CS_BUILD_STAMP, __LINE__, (value))

// ---------------------------------------------------------------------------------------------
// Function trace: indented per-thread lines to a trace stream, silent while no stream is set.

struct CSTraceSlot {
    uint32_t threadId;
    uint32_t used;
    int32_t depth;
};
void CSTraceSetStream(std::FILE *stream);  // null switches the trace off
bool CSTraceOn();
// Takes the trace mutex (the caller releases it with CSTraceRelease after its line), finds or
// claims the caller's slot, adds the change, and with print writes "TID(%5d):" and depth+1 blanks.
CSTraceSlot *CSTraceIndent(int32_t depthChange, int print);
void CSTraceRelease();
void CSTrace(int prefix, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Dumps bytes under a title: offset, 16 hex pairs, the printable bytes, one line per 16 bytes.
void CSTraceDump(const char *title, const void *bytes, size_t length);

// ---------------------------------------------------------------------------------------------
// Command lines: started detached, never waited for.

// The "cmd " rewrite: "cmd " becomes "/c  " and a following "/c " or "/C " is blanked. Returns
// false (out untouched) when the line (after leading blanks) does not start with "cmd ".
bool CSCommandRewrite(std::string_view line, std::string *out);
// 1 when the process was started; else 0 with *message a 500-byte counted-heap text that the
// caller frees (null when even that could not be allocated).
[[nodiscard]] int CSRunCommand(const char *commandLine, char **message);
#ifndef _WIN32
// Starts argv (argv[0] the program, searched on PATH without a '/'; null-ended) with no blocked
// signal and every signal handled by default. detached: its own session, its standard streams on
// /dev/null and no other descriptor; else it shares this process's terminal and streams, as
// system() gives them. 0 with *pid, or an errno value.
int CSSpawn(const char *const argv[], int detached, int *pid);
#endif

// ---------------------------------------------------------------------------------------------
// Interval texts.

struct CSIntervalUnit {
    uint32_t seconds;
    const char *longName;
    const char *shortName;
    const char *letter;
};
extern const CSIntervalUnit CSIntervalUnits[5];  // Day, Hour, Minute, Second, then a row of 0

constexpr size_t CS_INTERVAL_TEXT_MAX = 64;  // buffer size CSFormatInterval needs
// Each part is followed by a blank: full "1 Day 1 Hr 1 Min 1 Sec ", short "1.5 Minutes ".
void CSFormatInterval(int32_t seconds, char *buffer, int full = 1);
constexpr uint32_t CS_NUL_TERMINATED = 0xFFFFFFFF;
// Whole seconds of a text such as "1 day 2 hours" or "2d3h"; *ok = 0 for a bad text (with the
// total read so far), also for a number or a total above 2147483647.
int32_t CSParseInterval(const char *text, uint32_t length, const CSIntervalUnit *table, int *ok);

// Console output (evOutput and its categories) lives in output.h; code that includes only this
// header gets it too.
#include "platform/output.h"
