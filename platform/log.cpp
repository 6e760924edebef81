// The running log: text files ZUNTLog_yyyymmddhhmmss.txt in the log root, each opened with a
// header, every line after a once-per-second time prefix, closed by size or age, and this run's
// files deleted after their retention. Lines of a unit of work wait in a capture until commit.
// Lines are written whole, once a second by the main loop and, from the end on, each as it is said.
// Everything here runs under the log and console lock.
#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/os_time.h"
#include "platform/output_internal.h"
#include "platform/platform.h"

// A line held for a unit of work; the whole length is kept (a u16 would cut long lines).
struct LogPendingLine {
    LogPendingLine *next;
    size_t length;
    char text[1];  // length bytes and a NUL
};

namespace {

// A file this run opened, kept for deletion after the retention period; newest first.
struct RetainedFile {
    RetainedFile *next;
    int64_t opened;
    char path[1];
};

struct QueueLine {
    char name[48 + 1];
    char state[32];
};

constexpr int64_t noPrefix = INT64_MIN;

// Log files are not handed to the processes the system starts.
#ifdef _WIN32
constexpr int kNotInherited = O_NOINHERIT;  // text mode: CRLF line ends, as Windows files have
#else
constexpr int kNotInherited = O_CLOEXEC;
#endif

constexpr int32_t kDefaultHeartbeat = 86400;
// No log root until the engine sets one at start: lines before that are not written anywhere.
LogSettings settings = {
    "ZUNT", "Holva Software IBM MQ Event Processor", "", 14400, 10240000, 604800, kDefaultHeartbeat};

// Log state; log and console lock.
int logFd = -1;
uint64_t filePosition = 0;  // the bytes of the file's lines, the pending ones included
// The lines not yet written, whole: written once a second, when they pass kPendingLimit, and when
// the file closes.
std::string pending;
constexpr size_t kPendingLimit = 64 * 1024;
// Lines a failed write dropped since the last write that succeeded.
uint64_t linesLost = 0;
// The end of a file header among the pending lines (0: none): a note of lost lines goes after it.
size_t pendingHeaderEnd = 0;
int64_t fileOpened = 0;
int headerDay = -1;  // day of month of the last header
int64_t lastPrefix = noPrefix;
RetainedFile *retained = nullptr;

bool configurationLoaded = false;
bool configurationWritten = true;
int32_t alertRetention = 0;
char deadQueue[48 + 1];
char useDlqName[32];
char dispCmdsName[32];
int64_t resetTime = 0;
char versionCheckName[32];
int32_t stormThreshold = 0;
int32_t stormInterval = 0;

bool queuesWritten = true;
QueueLine *queueLines = nullptr;
size_t queueCount = 0;

std::atomic<int32_t> logWritten{0};
std::atomic<int64_t> nextHeartbeat{0};
// The main loop tests the heartbeat once a second without the log lock.
std::atomic<int32_t> heartbeatInterval{kDefaultHeartbeat};

bool ending() {
    return evEndFlag.load() != 0;
}

bool debugLetter(uint32_t bits) {
    return (evDebugFlags.load() & bits) == bits;
}

struct tm localTime(int64_t time) {
    struct tm local = {};
    time_t t = time;
    if (csLocalTime(&t, &local) == nullptr) memset(&local, 0, sizeof local);
    return local;
}

void copyName(char *out, size_t size, const char *name) {
    snprintf(out, size, "%s", name != nullptr ? name : "Unknown");
}

// A write of the file that failed (a full file system, a file-size limit): said once on standard
// error and kept for the main loop's alert; the program goes on, and the lines meanwhile are lost and
// counted. A write that succeeds again ends the failure, so that the next one is said again.
int writeFailure = 0;  // its errno; 0 while writes succeed
std::atomic<int32_t> failureToAlert{0};
char openPath[sizeof LogSettings::logPath + 40];

// error: 0 for a write that succeeded, else the errno of the one that failed.
void noteWrite(int error) {
    if (error == 0) {
        writeFailure = 0;
        return;
    }
    if (writeFailure != 0) return;
    writeFailure = error;
    failureToAlert.store(error);
    char line[sizeof openPath + 200];
    int n = snprintf(line, sizeof line,
                     "Unable to write to log file '%s' (%s): log lines are lost until it can.\n", openPath,
                     strerror(error));
    if (n > 0) evConsoleWrite(2, line, strnlen(line, sizeof line));
    evConsoleFlush(2);
}

// The file's end, and the file cut back to an end (its offset there too). -1 / false on failure.
int64_t fileEnd(int fd) {
#ifdef _WIN32
    return _lseeki64(fd, 0, SEEK_END);
#else
    return lseek(fd, 0, SEEK_END);
#endif
}
bool cutBack(int fd, int64_t end) {
#ifdef _WIN32
    return _chsize_s(fd, end) == 0 && _lseeki64(fd, end, SEEK_SET) == end;
#else
    return ftruncate(fd, end) == 0 && lseek(fd, end, SEEK_SET) == end;
#endif
}

// The pending lines at the file's end, all or none: a write that fails cuts the file back to where
// it ended, so that no line is left torn, and counts the lines as lost; the next write that
// succeeds says first how many were.
void writePending() {
    if (logFd < 0 || pending.empty()) return;
    size_t note = 0;
    if (linesLost > 0) {
        char line[160];
        const struct tm local = localTime(evClockNow());
        int n = snprintf(line, sizeof line,
                         "[%2.2d:%2.2d:%2.2d] *** %" PRIu64
                         " log line(s) lost: the log file could not be written ***\n",
                         local.tm_hour, local.tm_min, local.tm_sec, linesLost);
        if (n > 0 && static_cast<size_t>(n) < sizeof line) {
            pending.insert(std::min(pendingHeaderEnd, pending.size()), line, static_cast<size_t>(n));
            note = static_cast<size_t>(n);
        }
    }
    const int64_t start = fileEnd(logFd);
    int error = start < 0 ? (errno != 0 ? errno : EIO) : 0;
    for (size_t done = 0; error == 0 && done < pending.size();) {
        const size_t chunk = std::min(pending.size() - done, size_t{1} << 30);
        errno = 0;
        const auto n = write(logFd, pending.data() + done, static_cast<unsigned>(chunk));
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            error = n < 0 && errno != 0 ? errno : ENOSPC;  // nothing written: no room
        }
    }
    if (error == 0) {
        if (note > 0) linesLost = 0;
    } else {
        // A cut that fails too leaves the file as the failed write did.
        if (start >= 0) (void)cutBack(logFd, start);
        linesLost += static_cast<uint64_t>(
            std::count(pending.begin() + static_cast<ptrdiff_t>(note), pending.end(), '\n'));
        errno = error;
    }
    pending.clear();
    pendingHeaderEnd = 0;
    noteWrite(error);
}

void put(const char *bytes, size_t length) {
    if (logFd < 0 || length == 0) return;
    pending.append(bytes, length);
    filePosition += length;
}

void putText(const char *text) {
    put(text, strlen(text));
}

__attribute__((format(printf, 1, 2))) void putf(const char *format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) return;
    put(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

void closeFile() {
    if (logFd < 0) return;
    writePending();
    // A failed close adds nothing: its lines were written or counted.
    (void)close(logFd);
    logFd = -1;
    filePosition = 0;
}

void logWriteHeader(int64_t now) {
    char calendar[32];
    evCalendarText(now, calendar);
    putf("Holva Software ZUNT : IBM MQ Event Processor : Version %s (Build Date:%s)\n", evVersionText,
         evBuildDateText);
    putf("Name: %s Descr: %s Current Time: %.24s\n\n", settings.name, settings.descr, calendar);
    pendingHeaderEnd = pending.size();
    headerDay = localTime(now).tm_mday;
}

void logDeleteOldFiles(const char *path, int64_t now) {
    if (!ending()) {
        RetainedFile **link = &retained;
        while (*link != nullptr) {
            RetainedFile *entry = *link;
            if (entry->opened + settings.logRetention >= now) {
                link = &entry->next;
                continue;
            }
            // A file still in use by someone else is tried again at the next opening.
            if (unlink(entry->path) != 0 && (errno == EBUSY || errno == ETXTBSY)) {
                link = &entry->next;
                continue;
            }
            if (debugLetter(EV_DBG_l)) {
                char line[1200];
                int n = snprintf(line, sizeof line,
                                 "Log file '%s' deleted - beyond Log File Retention period.\n", entry->path);
                if (n > 0) evConsoleWrite(2, line, strnlen(line, sizeof line));
            }
            *link = entry->next;
            CSFreeMem(entry);
        }
    }
    size_t length = strlen(path);
    auto *entry = static_cast<RetainedFile *>(CSGetMem(offsetof(RetainedFile, path) + length + 1));
    if (entry == nullptr) return;  // never deleted then; nothing else is lost
    entry->opened = now;
    memcpy(entry->path, path, length + 1);
    entry->next = retained;
    retained = entry;
}

// Opens a new log file: true, or false with the file's path in path and errno set.
bool logTryOpen(char (&path)[sizeof LogSettings::logPath + 40]) {
    int fd = -1;
    int64_t now = 0;
    for (;;) {
        now = evClockNow();
        struct tm local = localTime(now);
        int n = snprintf(path, sizeof path, "%s/ZUNTLog_%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d.txt", settings.logPath,
                         local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
            errno = ENAMETOOLONG;
            break;
        }
        // One exclusive create: a name that exists belongs to another file, never shared.
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | kNotInherited, 0644);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0 && errno == EINTR) continue;
            break;
        }
        if (debugLetter(EV_DBG_l | EV_DBG_D))
            evOutputF(EV_OUT_INFO, 0, "Log File '%s' is already being used.", path);
        evSleepMs(1000);
        evClockTick();
    }
    if (fd < 0) return false;
    logFd = fd;
    filePosition = 0;
    if (debugLetter(EV_DBG_l)) {
        char line[1200];
        int n = snprintf(line, sizeof line, "Log file '%s' opened for writing.\n", path);
        if (n > 0) evConsoleWrite(2, line, strnlen(line, sizeof line));
    }
    snprintf(openPath, sizeof openPath, "%s", path);
    logWriteHeader(now);
    fileOpened = now;
    logDeleteOldFiles(path, now);
    lastPrefix = noPrefix;
    return true;
}

bool logOpenFile() {
    char path[sizeof settings.logPath + 40];
    if (logTryOpen(path)) return true;
    // Console only: the log is what failed.
    evOutputF(EV_OUT_ERROR, 0, "Unable to write to log file '%s'.", path);
    evEndWith(EV_EXIT_START);
    return false;
}

void logWriteConfiguration() {
    char calendar[32];
    evCalendarText(resetTime, calendar);
    putText("\nZUNT Configuration\n");
    putText("------------------\n");
    putf("  Name                                    : %s\n", settings.name);
    putf("  Description                             : %s\n", settings.descr);
    putf("  Process Id                              : %d\n", getpid());
    putf("  Default Alert Retention Interval  (secs): %d\n", alertRetention);
    putf("  Log file root directory                 : %s\n", settings.logPath);
    putf("  Log file maximum age               (min): %d\n", settings.maxLogAge / 60);
    putf("  Log file maximum size              (Kb) : %" PRId64 "\n", settings.maxLogSize / 1024);
    putf("  Log file retention                (days): %d\n", settings.logRetention / 86400);
    putf("  Dead Letter Queue                       : %s\n", deadQueue);
    putf("  Use Dead Letter Queue                   : %s\n", useDlqName);
    putf("  Display Commands                        : %s\n", dispCmdsName);
    putf("  Count Reset Time                        : %.24s\n", calendar);
    putf("  Version Check                           : %s\n", versionCheckName);
    putf("  Storm Threshold                         : %d\n", stormThreshold);
    putf("  Storm Interval                          : %d\n", stormInterval);
    putText("\n");
    configurationWritten = true;
    lastPrefix = noPrefix;
}

void logWriteEventQueues() {
    putText("\nEvent Queues\n");
    putText("------------\n");
    for (size_t i = 0; i < queueCount; i++)
        putf("  Queue : %-48.48s %s\n", queueLines[i].name, queueLines[i].state);
    putText("\n");
    queuesWritten = true;
}

// The time prefix of a line, opening a file and writing the blocks that are due first.
bool logWritePrefix() {
    if (logFd < 0 && (settings.logPath[0] == '\0' || !logOpenFile())) return false;
    int64_t now = evClockNow();
    struct tm local = localTime(now);
    if (configurationLoaded && !configurationWritten) logWriteConfiguration();
    if (evRunState.connected.load() && !queuesWritten) logWriteEventQueues();
    if (local.tm_mday != headerDay) logWriteHeader(now);
    if (now != lastPrefix) {
        putf("[%2.2d:%2.2d:%2.2d] ", local.tm_hour, local.tm_min, local.tm_sec);
        lastPrefix = now;
    } else {
        put("           ", 11);
    }
    nextHeartbeat.store(now + settings.heartbeat);
    return true;
}

// One whole line after its prefix; error lines (and committed pending lines) are framed.
bool writeLine(bool framed, const char *text, size_t length) {
    if (!logWritePrefix()) return false;
    if (framed) {
        put("*** ", 4);
        put(text, length);
        put(" ***\n", 5);
    } else {
        put(text, length);
        put("\n", 1);
    }
    logWritten.store(1);
    // Once the end has begun each line is written as it is said: the main loop's once-a-second write
    // is over, and an end held up (a hook that waits, a queue manager that does not answer) or cut
    // short by a kill keeps the lines said so far.
    if (pending.size() >= kPendingLimit || ending()) writePending();
    const bool ok = writeFailure == 0;
    if (!ending() && settings.maxLogSize >= 0 && filePosition >= static_cast<uint64_t>(settings.maxLogSize))
        closeFile();
    return ok;
}

}  // namespace

const LogSettings &evLogSettings = settings;

void evCalendarText(int64_t time, char out[32]) {
    // asctime's text with its newline, built by hand: Windows' strftime has no %e.
    if (!evLocalDateTimeText(time, out)) return;
    size_t length = strlen(out);
    out[length] = '\n';
    out[length + 1] = '\0';
}

void logSetSettings(const LogSettings *newSettings) {
    CSRecursiveGuard statusGuard(gStatusLock);
    CSRecursiveGuard logGuard(gLogConsoleLock);
    settings = *newSettings;
    settings.name[sizeof settings.name - 1] = '\0';
    settings.descr[sizeof settings.descr - 1] = '\0';
    settings.logPath[sizeof settings.logPath - 1] = '\0';
    heartbeatInterval.store(settings.heartbeat);
}

void logGetSettings(LogSettings *out) {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    *out = settings;
}

void logConfigurationLoaded(const LogConfiguration *configuration) {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    alertRetention = configuration->alertRetention;
    copyName(deadQueue, sizeof deadQueue, configuration->deadQueue);
    copyName(useDlqName, sizeof useDlqName, configuration->useDlqName);
    copyName(dispCmdsName, sizeof dispCmdsName, configuration->dispCmdsName);
    resetTime = configuration->resetTime;
    copyName(versionCheckName, sizeof versionCheckName, configuration->versionCheckName);
    stormThreshold = configuration->stormThreshold;
    stormInterval = configuration->stormInterval;
    configurationLoaded = true;
    configurationWritten = false;
}

void logEventQueuesConnected(const LogEventQueue *queues, size_t count) {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    if (queueLines != nullptr) CSFreeMem(queueLines);
    queueLines = nullptr;
    queueCount = 0;
    if (count > 0) {
        queueLines = static_cast<QueueLine *>(CSGetMem(count * sizeof(QueueLine)));
        if (queueLines != nullptr) {
            for (size_t i = 0; i < count; i++) {
                snprintf(queueLines[i].name, sizeof queueLines[i].name, "%s",
                         queues[i].name ? queues[i].name : "");
                copyName(queueLines[i].state, sizeof queueLines[i].state, queues[i].stateName);
            }
            queueCount = count;
        }
    }
    queuesWritten = false;
}

int32_t logWrite(LogCapture *capture, uint32_t severity, const char *text, int64_t length) {
    if (text == nullptr) return 1;
    size_t n = length < 0 ? strlen(text) : static_cast<size_t>(length);
    if (n == 0) return 1;
    CSRecursiveGuard logGuard(gLogConsoleLock);
    if (capture != nullptr) {
        auto *line = static_cast<LogPendingLine *>(CSGetMem(offsetof(LogPendingLine, text) + n + 1));
        if (line == nullptr) return 0;
        line->next = nullptr;
        line->length = n;
        memcpy(line->text, text, n);
        line->text[n] = '\0';
        if (capture->last != nullptr)
            capture->last->next = line;
        else
            capture->first = line;
        capture->last = line;
        capture->count++;
        return 1;
    }
    return writeLine(severity == EV_OUT_ERROR, text, n) ? 1 : 0;
}

void logCommitCapture(LogCapture *capture) {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    for (LogPendingLine *line = capture->first; line != nullptr; line = line->next)
        writeLine(true, line->text, line->length);
    logFreeCapture(capture);
}

void logFreeCapture(LogCapture *capture) {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    LogPendingLine *line = capture->first;
    while (line != nullptr) {
        LogPendingLine *next = line->next;
        CSFreeMem(line);
        line = next;
    }
    capture->first = nullptr;
    capture->last = nullptr;
    capture->count = 0;
}

void logCheckMaxAge() {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    if (ending() || logFd < 0) return;
    if (evClockNow() - fileOpened < settings.maxLogAge) return;
    closeFile();
    if (debugLetter(EV_DBG_l | EV_DBG_D))
        evOutput(EV_OUT_INFO, "Current log file closed - exceeded MAXAGE", -1, 0);
}

void logFlushIfWritten() {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    if (!logWritten.load()) return;
    writePending();
    logWritten.store(0);
}

int32_t logHeartbeatInterval() {
    return heartbeatInterval.load();
}

int32_t logTakeWriteFailure() {
    return failureToAlert.exchange(0);
}

int64_t logNextHeartbeat() {
    return nextHeartbeat.load();
}

int logOpenAtStart(char *why, size_t size) {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    if (logFd >= 0) return 1;
    char path[sizeof settings.logPath + 40] = "";
    const char *reason = "no log folder is set";
    if (settings.logPath[0] != '\0') {
        if (logTryOpen(path)) return 1;
        reason = strerror(errno);
    }
    snprintf(why, size,
             "Unable to write to log file '%s' (%s). Name a log folder that can be written with -L or "
             "ZUNT_LOG_PATH (now '%s').\n",
             path, reason, settings.logPath);
    return 0;
}

void logClose() {
    CSRecursiveGuard logGuard(gLogConsoleLock);
    closeFile();
}
