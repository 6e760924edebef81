// Console output: evOutput, the erasing of the status line, debug mode and the -v letters.
// The process's own stdout and stderr sit behind a sink table so that tests can capture them;
// everything that touches the screen runs under the log and console lock.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/output_internal.h"
#include "platform/platform.h"

EvRunState evRunState;
std::atomic<int32_t> evConnHandles[EV_CONN_SLOTS] = {-1, -1, -1, -1, -1, -1};

// ---------------------------------------------------------------------------------------------
// The process's own streams.

static FILE *stdStream(int32_t stream) {
    return stream == 2 ? stderr : stdout;
}

static void stdWrite(int32_t stream, const char *bytes, size_t length) {
    if (length > 0) fwrite(bytes, 1, length, stdStream(stream));
}

static void stdFlush(int32_t stream) {
    fflush(stdStream(stream));
}

static int32_t stdIsTerminal(int32_t stream) {
    return isatty(fileno(stdStream(stream))) ? 1 : 0;
}

static const EvConsoleSink stdSink = {stdWrite, stdFlush, stdIsTerminal};
static std::atomic<const EvConsoleSink *> consoleSink{&stdSink};

const EvConsoleSink *evSetConsoleSink(const EvConsoleSink *sink) {
    const EvConsoleSink *old = consoleSink.exchange(sink ? sink : &stdSink);
    return old == &stdSink ? nullptr : old;
}

// Internal to the platform layer (also used by the log writer and the status line).
void evConsoleWrite(int32_t stream, const char *bytes, size_t length) {
    consoleSink.load()->write(stream, bytes, length);
}
void evConsoleFlush(int32_t stream) {
    consoleSink.load()->flush(stream);
}
int32_t evConsoleIsTerminal(int32_t stream) {
    return consoleSink.load()->isTerminal(stream);
}

// Characters of the status line now on screen; 0 when none is shown. Log and console lock.
std::atomic<uint64_t> evStatusShown{0};

// Writes n copies of one character.
static void writeRepeated(char c, uint64_t n) {
    char run[128];
    memset(run, c, sizeof run);
    while (n > 0) {
        size_t piece = n < sizeof run ? n : sizeof run;
        evConsoleWrite(1, run, piece);
        n -= piece;
    }
}

void evEraseStatusLine(uint64_t length) {
    CSRecursiveGuard guard(gLogConsoleLock);
    uint64_t shown = evStatusShown.load();
    if (evRunState.background.load() || shown == 0) return;
    // Blank the tail that the next text will not cover, then return to the line start.
    if (shown > length) {
        writeRepeated('\b', shown - length);
        writeRepeated(' ', shown - length);
    }
    writeRepeated('\b', shown);
    evStatusShown.store(0);
}

// Something went to standard error: a start-up failure in background mode has been said there.
static std::atomic<int32_t> errorStreamUsed{0};

// The last error line and how many there were (under the log and console lock).
static char lastError[EV_LAST_ERROR_MAX];
static uint64_t errorLines = 0;

// The error line the end of the run was asked with, and the line standard error got in background
// mode (both under the log and console lock).
static char endReason[EV_LAST_ERROR_MAX];
static char saidOnError[EV_LAST_ERROR_MAX];

void evNoteEndReason() {
    CSRecursiveGuard guard(gLogConsoleLock);
    snprintf(endReason, sizeof endReason, "%s", lastError);
}

void evSayEndReason() {
    CSRecursiveGuard guard(gLogConsoleLock);
    if (!evRunState.background.load() || endReason[0] == 0 || strcmp(endReason, saidOnError) == 0) return;
    evConsoleWrite(2, endReason, strlen(endReason));
    evConsoleWrite(2, "\n", 1);
    evConsoleFlush(2);
    snprintf(saidOnError, sizeof saidOnError, "%s", endReason);
}

uint64_t evLastError(char *out, size_t size) {
    CSRecursiveGuard guard(gLogConsoleLock);
    if (out != nullptr && size > 0) snprintf(out, size, "%s", lastError);
    return errorLines;
}

void evOutput(uint32_t category, const char *text, int32_t length, uint32_t toLog) {
    if (text == nullptr) return;
    size_t n = length < 0 ? strlen(text) : static_cast<size_t>(length);
    CSRecursiveGuard guard(gLogConsoleLock);
    if (category == EV_OUT_ERROR) {
        const size_t kept = n < sizeof lastError - 1 ? n : sizeof lastError - 1;
        memcpy(lastError, text, kept);
        lastError[kept] = '\0';
        errorLines++;
    }
    if (!evRunState.background.load()) {
        evEraseStatusLine(n);
        evConsoleWrite(1, text, n);
        evConsoleWrite(1, "\n", 1);
        evConsoleFlush(1);
    } else if (category == EV_OUT_ERROR && evRunState.initialised.load() == 0 &&
               errorStreamUsed.exchange(1) == 0) {
        evConsoleWrite(2, text, n);
        evConsoleWrite(2, "\n", 1);
        evConsoleFlush(2);
        snprintf(saidOnError, sizeof saidOnError, "%s", lastError);
    }
    if (toLog) logWrite(nullptr, category, text, static_cast<int64_t>(n));
}

void evConsolePrint(int32_t stream, const char *text, int64_t length) {
    if (text == nullptr) return;
    size_t n = length < 0 ? strlen(text) : static_cast<size_t>(length);
    CSRecursiveGuard guard(gLogConsoleLock);
    evEraseStatusLine(0);
    evConsoleWrite(stream, text, n);
    evConsoleFlush(stream);
    if (stream == 2) errorStreamUsed.store(1);
}

void evOutputF(uint32_t category, uint32_t toLog, const char *format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    evOutput(category, text, static_cast<int32_t>(length), toLog);
}

void evLockConsole(int32_t *held) {
    if (*held) return;
    CSLockRecursive(&gLogConsoleLock);
    *held = 1;
}

void evUnlockConsole(int32_t *held) {
    if (!*held) return;
    *held = 0;
    CSUnlockRecursive(&gLogConsoleLock);
}

void evConsoleDebugMode(int32_t on) {
    if (on) {
        CSLockRecursive(&gLogConsoleLock);
        evEraseStatusLine(0);
    } else {
        CSUnlockRecursive(&gLogConsoleLock);
    }
}

void evPrintDebugMode() {
    static const char text[] = "Debug Mode\n";
    CSRecursiveGuard guard(gLogConsoleLock);
    evEraseStatusLine(sizeof text - 2);
    evStatusShown.store(0);
    evConsoleWrite(1, text, sizeof text - 1);
    evConsoleFlush(1);
}

// ---------------------------------------------------------------------------------------------
// The -v letters.

struct DebugLetter {
    char letter;
    uint32_t bits;
};

static constexpr DebugLetter debugLetters[] = {
    {'s', EV_DBG_s}, {'p', EV_DBG_p}, {'c', EV_DBG_c}, {'d', EV_DBG_d}, {'t', EV_DBG_t}, {'h', EV_DBG_h},
    {'S', EV_DBG_S}, {'l', EV_DBG_l}, {'r', EV_DBG_r}, {'T', EV_DBG_T}, {'f', EV_DBG_f}, {'D', EV_DBG_D},
    {'v', EV_DBG_v}, {'R', EV_DBG_R}, {'N', EV_DBG_N}, {'i', EV_DBG_i}, {'H', EV_DBG_H}, {'z', EV_DBG_z},
    {'A', EV_DBG_A}, {'a', EV_DBG_a}, {'g', EV_DBG_g}, {'G', EV_DBG_G}, {'e', EV_DBG_e},
};

void evSetDebugFlags(const char *letters) {
    uint32_t flags = 0;
    for (const DebugLetter &row : debugLetters) {
        if (letters != nullptr && strchr(letters, row.letter) != nullptr) flags |= row.bits;
    }
    evDebugFlags.store(flags);
}
