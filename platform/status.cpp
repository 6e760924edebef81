// The one-line status display of the foreground: built from the clock, the event processor's
// name, the connection state and the engine's counts, and redrawn in place once a second.
// Lock order: the status lock, then the log and console lock.
#include <cstdio>
#include <cstring>

#include "platform/output_internal.h"
#include "platform/platform.h"

std::atomic<int32_t> evStatusRebuild{0};

static std::atomic<StatusSource> statusSource{nullptr};

// The last built text; status lock.
static char statusBuffer[256];
static size_t statusLength = 0;

void evSetStatusSource(StatusSource source) {
    statusSource.store(source);
}

// The connection state in its order of precedence.
static const char *stateWord() {
    if (evRunState.retrying.load()) return "RETRYING";
    if (evRunState.disconnecting.load()) return "DISCONNECTING";
    if (evRunState.connecting.load()) return "CONNECTING";
    if (evRunState.connected.load()) return "CONNECTED";
    return "INITIALISING";
}

// Under the status lock, which logSetSettings also takes: the name is read in place.
static void buildStatusText() {
    StatusCounts counts = {};
    StatusSource source = statusSource.load();
    if (source != nullptr) source(&counts);
    char calendar[32];
    evCalendarText(evClockNow(), calendar);
    int n =
        snprintf(statusBuffer, sizeof statusBuffer, "%.8s %s Qm(%s) Events(%d) Stats(%d) Cmds(%d) Alerts(%d)",
                 calendar + 11, evLogSettings.name, stateWord(), counts.events, counts.stats, counts.commands,
                 counts.alerts);
    if (n < 0) n = 0;
    size_t length =
        static_cast<size_t>(n) < sizeof statusBuffer ? static_cast<size_t>(n) : sizeof statusBuffer - 1;
    if (evRunState.connected.load() && !evRunState.ready.load()) {
        int more =
            snprintf(statusBuffer + length, sizeof statusBuffer - length, " - Loaded %d", counts.loaded);
        if (more > 0) length = strnlen(statusBuffer, sizeof statusBuffer);
    }
    statusLength = length;
}

void evStatusLine() {
    CSRecursiveGuard statusGuard(gStatusLock);
    bool due = evStatusRebuild.load() != 0 || evStatusShown.load() == 0;
    if (evStatusRebuild.load()) {
        buildStatusText();
        evStatusRebuild.store(0);
    }
    if (!due || (evDebugFlags.load() & EV_DBG_N) || evRunState.debugMode.load() ||
        evRunState.background.load() || statusLength == 0)
        return;
    CSRecursiveGuard consoleGuard(gLogConsoleLock);
    // A terminal only: on a pipe or file the backspaces would be garbage.
    if (!evConsoleIsTerminal(1)) return;
    evEraseStatusLine(statusLength);
    evConsoleWrite(1, statusBuffer, statusLength);
    evConsoleFlush(1);
    evStatusShown.store(statusLength);
}

size_t evStatusText(char *buffer, size_t size) {
    CSRecursiveGuard statusGuard(gStatusLock);
    if (size == 0) return statusLength;
    size_t n = statusLength < size - 1 ? statusLength : size - 1;
    memcpy(buffer, statusBuffer, n);
    buffer[n] = '\0';
    return statusLength;
}
