// The output buffer: every console and script text becomes a line here, with its screen rows kept
// so that positions need no rescan. In file mode the newest line is echoed to standard output and
// the log, and lines of the copied kinds go to the "=output" file.
#include <strings.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/internal.h"

namespace {

constexpr uint32_t kKindBits = CSL_LINE_HIDDEN | CSL_LINE_NOT_IN_FILE;

uint32_t baseKind(uint32_t kind) {
    return kind & ~kKindBits;
}

bool isEcho(uint32_t kind) {
    uint32_t base = baseKind(kind);
    return base == CSL_LINE_ECHO || base == CSL_LINE_ECHO_HIDDEN;
}

bool isHeaderOrSeparator(uint32_t kind) {
    uint32_t base = baseKind(kind);
    return base == CSL_LINE_HEADER || base == CSL_LINE_SEPARATOR;
}

bool copiedToFile(uint32_t kind) {
    if ((kind & CSL_LINE_HIDDEN) != 0) return false;
    switch (baseKind(kind)) {
        case CSL_LINE_ECHO:
        case CSL_LINE_RESPONSE:
        case CSL_LINE_ERROR:
        case CSL_LINE_HEADER:
        case CSL_LINE_OBJECT:
        case CSL_LINE_SEPARATOR:
        case CSL_LINE_OBJECT_PLAIN:
            return true;
        default:
            return false;
    }
}

bool unlimited(int32_t width) {
    return width <= 0 || width >= CSL_UNLIMITED_WIDTH;
}

bool startsWithNoCase(const char *text, size_t length, const char *prefix) {
    size_t n = std::strlen(prefix);
    return length >= n && strncasecmp(text, prefix, n) == 0;
}

uint32_t category(uint32_t kind) {
    switch (baseKind(kind)) {
        case CSL_LINE_ERROR:
            return EV_OUT_ERROR;
        case CSL_LINE_TRACE:
            return EV_OUT_TRACE;
        case CSL_LINE_RESPONSE:
            return EV_OUT_PROGRESS;
        default:
            return EV_OUT_INFO;
    }
}

// A line to the =output file. A write that fails closes the file (once said, by the caller through
// reportFileFailure, no more lines go to it): 0, or the OS error.
int writeFile(cslSession *session, const char *text, size_t length) {
    const CslFileCalls *calls = session->outputFileCalls;
    if (session->outputFile == nullptr || calls == nullptr || calls->write == nullptr) return 0;
    int32_t held = 0;
    evLockConsole(&held);
    int error = calls->write(session->outputFile, text, length);
    if (error == 0) error = calls->write(session->outputFile, "\n", 1);
    if (error == 0 && calls->flush != nullptr) error = calls->flush(session->outputFile);
    if (error != 0) {
        if (calls->close != nullptr) calls->close(session->outputFile);
        session->outputFile = nullptr;
    }
    evUnlockConsole(&held);
    return error;
}

void reportFileFailure(cslSession *session, int error) {
    if (error == 0) return;
    char text[CSL_SMALL_BUFFER_SIZE + 120];
    std::snprintf(
        text, sizeof text, "Can not write to output file '%s' errno=%s(%d): no more output is written to it",
        session->outputFileName != nullptr ? session->outputFileName : "", std::strerror(error), error);
    cslAddOutput(session, cslMainList(session), nullptr, text, -1, CSL_LINE_ERROR, CSL_CURRENT_COMMAND);
}

// The rows and first rows of every line after `from`; each line under an echo line takes the
// echo's separator flag.
void renumberAfter(cslSession *session, cslOutputList *list, cslOutputLine *from) {
    const cslOutputLine *echo = nullptr;
    for (const cslOutputLine *l = from; l != nullptr && echo == nullptr; l = l->previous)
        if (isEcho(l->kind)) echo = l;
    for (cslOutputLine *l = from->next; l != nullptr; l = l->next) {
        if (isEcho(l->kind)) {
            echo = l;
        } else if (echo != nullptr) {
            l->flags = (l->flags & ~CSL_SHOW_SEPARATORS) | (echo->flags & CSL_SHOW_SEPARATORS);
        }
        list->totalRows -= l->rows;
        l->rows = cslLineRows(session, l);
        list->totalRows += l->rows;
        l->firstRow = l->previous->firstRow + l->previous->rows;
    }
}

void link(cslOutputList *list, cslOutputLine *after, cslOutputLine *line) {
    line->previous = after != nullptr ? after : list->newest;
    line->next = line->previous != nullptr ? line->previous->next : nullptr;
    if (line->previous != nullptr) {
        line->previous->next = line;
        line->firstRow = line->previous->firstRow + line->previous->rows;
    } else {
        list->oldest = line;
    }
    if (line->next != nullptr)
        line->next->previous = line;
    else
        list->newest = line;
    list->totalRows += line->rows;
    ++list->lines;
}

// Frees a line after clearing every session reference to it; the newer lines keep their first rows
// and separator flags (the caller puts them right).
void unlinkLine(cslSession *session, cslOutputList *list, cslOutputLine *line) {
    cslFreeFilters(line);
    if (baseKind(line->kind) == CSL_LINE_FILLER && list->fillers > 0) --list->fillers;
    list->totalRows -= line->rows;
    if (list->lines > 0) --list->lines;
    if (list->located == line) list->located = nullptr;
    if (list->keptEcho == line || list->keptEnd == line) list->keptEcho = list->keptEnd = nullptr;
    if (session->echoLine == line) session->echoLine = nullptr;
    if (session->echoLine != nullptr && session->echoLine->groupHeader == line)
        session->echoLine->groupHeader = nullptr;
    if (session->lastObject == line) session->lastObject = nullptr;
    if (session->findLine == line) session->findLine = nullptr;
    if (session->repeatMark == line) session->repeatMark = nullptr;
    cslOutputLine *previous = line->previous;
    if (previous != nullptr)
        previous->next = line->next;
    else
        list->oldest = line->next;
    if (line->next != nullptr)
        line->next->previous = previous;
    else
        list->newest = previous;
    CSFreeMem(line);
}

// Lines without rows (hidden statement echoes of a script loop, say) cost storage all the same, so
// the main list is bounded by lines as well as by rows.
bool overLimit(const cslSession *session, const cslOutputList *list) {
    return list->totalRows > session->history || list->lines > session->history;
}

// An echo line something still works on: the current command's (unless the limit is 0), one held
// by a running script, or one whose request still waits for the replies added under it.
bool inUse(const cslSession *session, const cslOutputLine *line) {
    if (!isEcho(line->kind)) return false;
    if (line == session->echoLine && session->history != 0) return true;
    if ((line->flags & CSL_SHOW_SCRIPT_HELD) != 0) return true;
    return line->command > session->requestCompleted.load() && line->command <= session->requestPosted.load();
}

// Whether fewer lines follow newer than precede older: the two walked in step, so the cost is the
// shorter side's.
bool fewerAfter(const cslOutputLine *older, const cslOutputLine *newer) {
    for (;; older = older->previous, newer = newer->next) {
        if (newer == nullptr) return true;
        if (older == nullptr) return false;
    }
}

// Drops a line that has kept lines before it. Positions count from the oldest line, so the lines on
// the shorter side of the gap are renumbered to close it: the newer ones, or the older ones moved
// down. Lines that took their separator flag from a dropped echo line take it from the echo above
// instead. (A long reply kept while its foreach runs has every line the loop adds dropped after it:
// a walk over it for each would make the loop quadratic.)
void dropAfterKept(cslSession *session, cslOutputList *list, cslOutputLine *line) {
    cslOutputLine *before = line->previous;
    const bool echo = isEcho(line->kind);
    const cslOutputLine *keptEcho = before == list->keptEnd ? list->keptEcho : nullptr;
    unlinkLine(session, list, line);
    cslOutputLine *anchor = before->next;  // the first line whose first row stays
    if (echo && anchor != nullptr && !isEcho(anchor->kind)) {
        const cslOutputLine *above = keptEcho;
        for (const cslOutputLine *l = before; l != nullptr && above == nullptr; l = l->previous)
            if (isEcho(l->kind)) above = l;
        for (; anchor != nullptr && !isEcho(anchor->kind); anchor = anchor->next) {
            if (above != nullptr)
                anchor->flags = (anchor->flags & ~CSL_SHOW_SEPARATORS) | (above->flags & CSL_SHOW_SEPARATORS);
            list->totalRows -= anchor->rows;
            anchor->rows = cslLineRows(session, anchor);
            list->totalRows += anchor->rows;
        }
    }
    if (anchor == nullptr || fewerAfter(before, before->next)) {
        for (cslOutputLine *l = before->next; l != nullptr; l = l->next)
            l->firstRow = l->previous->firstRow + l->previous->rows;
    } else {
        for (cslOutputLine *l = anchor->previous; l != nullptr; l = l->previous)
            l->firstRow = l->next->firstRow - l->rows;
    }
}

// Step 8: the oldest lines go while the main list is over its limit. Kept are the line just added
// and every echo line still in use with the lines of its command right under it (its responses,
// which a foreach walks); older lines and newer ones of other commands go around them.
void trim(cslSession *session, cslOutputList *list, const cslOutputLine *added) {
    cslOutputLine *at = list->oldest;
    while (at != nullptr && at != added && overLimit(session, list)) {
        if (inUse(session, at)) {
            // A run passed over before is passed over from where that walk ended: the lines of a
            // long reply are walked once, not once for each line added to them.
            cslOutputLine *echo = at;
            const uint32_t command = at->command;
            if (echo == list->keptEcho && list->keptEnd != nullptr && added == list->newest)
                at = list->keptEnd;
            cslOutputLine *last = at;
            do {
                last = at;
                at = at->next;
            } while (at != nullptr && at != added && !isEcho(at->kind) && at->command == command);
            list->keptEcho = echo;
            list->keptEnd = last;
            continue;
        }
        cslOutputLine *next = at->next;
        if (at->previous == nullptr)
            unlinkLine(session, list, at);
        else
            dropAfterKept(session, list, at);
        at = next;
    }
    if (list->fillers == 0 || (session->repeating && !session->repeatHistory)) return;
    cslOutputLine *line = list->oldest;
    while (line != nullptr) {
        cslOutputLine *next = line->next;
        uint32_t row = line->firstRow - list->oldest->firstRow;
        if (baseKind(line->kind) == CSL_LINE_FILLER && line != added &&
            row + line->rows + static_cast<uint32_t>(session->screenHeight) <= list->totalRows)
            cslFreeOutputLine(session, list, line);
        line = next;
    }
}

// Step 11: the newest line of the main list in file mode.
void echoToStdout(cslSession *session, const cslOutputLine *line) {
    uint32_t base = baseKind(line->kind);
    int32_t style = session->separator;
    if (base == CSL_LINE_SEPARATOR) {
        cslSeparatorLine(session, CSL_STREAM_STDOUT, style <= CSL_SEP_NONE ? CSL_SEP_SOLID : style);
    } else if (base == CSL_LINE_HEADER) {
        if (style >= CSL_SEP_BLANK)
            cslSeparatorLine(session, CSL_STREAM_STDOUT, style);
        else if (style == CSL_SEP_MESSAGE)
            cslWriteLine(session, CSL_STREAM_STDOUT, line->kind, cslLineText(line), line->length);
    } else {
        cslWriteLine(session, CSL_STREAM_STDOUT, line->kind, cslLineText(line), line->length);
    }
}

cslOutputLine *newLine(cslSession *session, const char *text, size_t length, uint32_t kind) {
    char prefix[CSL_TIME_PREFIX + 1] = "";
    size_t prefixLength = 0;
    if (isEcho(kind) && length > 0 && (session->timestamp || session->repeating)) {
        char clock[9];
        cslLocalClock(clock);
        std::snprintf(prefix, sizeof prefix, "[%.8s] ", clock);
        prefixLength = CSL_TIME_PREFIX;
    }
    size_t total = prefixLength + length;
    if (total > UINT32_MAX - sizeof(cslOutputLine) - 1) return nullptr;
    auto *line = static_cast<cslOutputLine *>(CSGetMem(sizeof(cslOutputLine) + total + 1));
    if (line == nullptr) return nullptr;
    std::memset(line, 0, sizeof *line);
    char *out = cslLineText(line);
    std::memcpy(out, prefix, prefixLength);
    if (length > 0) std::memcpy(out + prefixLength, text, length);
    out[total] = '\0';
    line->kind = kind;
    line->length = static_cast<uint32_t>(total);
    if (isEcho(kind)) {
        if (session->formatting) line->flags |= CSL_SHOW_FORMATTED;
        if (startsWithNoCase(text, length, "dis")) line->flags |= CSL_SHOW_DISPLAY;
        if (startsWithNoCase(text, length, "alt")) line->flags |= CSL_SHOW_ALTER;
    }
    return line;
}

}  // namespace

uint16_t cslLineRows(const cslSession *session, const cslOutputLine *line) {
    if ((line->kind & CSL_LINE_HIDDEN) != 0 && !session->showHidden) return 0;
    if ((line->kind & CSL_LINE_NOT_IN_FILE) != 0 && cslFileMode(session)) return 0;
    uint64_t rows = 1;
    bool counted = true;
    if (baseKind(line->kind) == CSL_LINE_HEADER) {
        if (session->separator == CSL_SEP_NONE) return 0;
        if (session->autosep && !cslFileMode(session) && (line->flags & CSL_SHOW_SEPARATORS) == 0) return 0;
        counted = session->separator == CSL_SEP_MESSAGE;
    }
    if (counted && line->length > 0 && !unlimited(session->screenWidth))
        rows = (line->length - 1) / static_cast<uint32_t>(session->screenWidth) + 1;
    return rows > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(rows);
}

cslOutputLine *cslAddOutput(cslSession *session, cslOutputList *list, cslOutputLine *after, const char *text,
                            int64_t length, uint32_t kind, int64_t command) {
    if ((kind & CSL_LINE_HIDDEN) != 0) {
        if (csThreadId() == session->consoleThread && session->screenNumber != 0) session->screenNumber = 0;
        session->hiddenOutput = 1;
    }
    if (session->screenWidth == 0) return nullptr;
    if (text == nullptr) text = "";
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);

    CSRecursiveGuard guard(session->displayLock);
    if (after != nullptr && isHeaderOrSeparator(kind) && isHeaderOrSeparator(after->kind)) {
        // Two headers in a row show as one; a separator wins and takes one row.
        if (baseKind(kind) == CSL_LINE_SEPARATOR || baseKind(after->kind) == CSL_LINE_SEPARATOR) {
            after->kind = CSL_LINE_SEPARATOR | (after->kind & kKindBits);
            list->totalRows -= after->rows;
            after->rows = 1;
            list->totalRows += after->rows;
            if (after->next != nullptr) renumberAfter(session, list, after);
        }
        return after;
    }
    cslOutputLine *line = newLine(session, text, n, kind);
    if (line == nullptr) {
        cslSetStatus(session, "No storage.");
        session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
        return nullptr;
    }
    if (after != nullptr && isHeaderOrSeparator(kind)) line->flags |= after->flags & CSL_SHOW_SEPARATORS;
    line->rows = cslLineRows(session, line);
    if (after != nullptr)
        line->command = after->command;
    else
        line->command = command < 0 ? session->commandNumber : static_cast<uint32_t>(command);
    if (baseKind(kind) == CSL_LINE_FILLER) ++list->fillers;
    link(list, after, line);
    if (line->next != nullptr) renumberAfter(session, list, line);

    const bool mainList = list == cslMainList(session);
    if (mainList) trim(session, list, line);
    session->redraw |= CSL_REDRAW_OUTPUT;
    // The line goes to standard output before a failing file's report is added after it, so that the
    // line that met the failure is shown too.
    int fileError = 0;
    if (session->outputFile != nullptr && copiedToFile(kind) &&
        !(baseKind(kind) == CSL_LINE_ECHO && startsWithNoCase(text, n, "=output")))
        fileError = writeFile(session, cslLineText(line), line->length);
    if (mainList && cslFileMode(session) && line == list->newest && line->rows > 0)
        echoToStdout(session, line);
    reportFileFailure(session, fileError);
    return line;
}

cslOutputLine *cslAddOutputF(cslSession *session, uint32_t kind, const char *format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return nullptr;
    size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    return cslAddOutput(session, cslMainList(session), nullptr, text, static_cast<int64_t>(length), kind,
                        CSL_CURRENT_COMMAND);
}

void cslFreeOutputLine(cslSession *session, cslOutputList *list, cslOutputLine *line) {
    CSRecursiveGuard guard(session->displayLock);
    cslOutputLine *previous = line->previous;
    unlinkLine(session, list, line);
    if (previous != nullptr && previous->next != nullptr) renumberAfter(session, list, previous);
}

void cslClearOutput(cslSession *session, cslOutputList *list, cslOutputLine *line) {
    CSRecursiveGuard guard(session->displayLock);
    while (list->newest != nullptr && list->newest != line) cslFreeOutputLine(session, list, list->newest);
}

void cslWriteLine(cslSession *session, CslStream stream, uint32_t kind, const char *text, int64_t length) {
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    if (stream == CSL_STREAM_OUTPUT_FILE) {
        reportFileFailure(session, writeFile(session, text, n));
        return;
    }
    int32_t held = 0;
    evLockConsole(&held);
    const uint32_t cat = category(kind);
    if (unlimited(session->screenWidth) || n == 0) {
        evOutput(cat, text, static_cast<int32_t>(n > INT32_MAX ? INT32_MAX : n), 1);
    } else {
        const size_t width = static_cast<size_t>(session->screenWidth);
        for (size_t at = 0; at < n; at += width)
            evOutput(cat, text + at, static_cast<int32_t>(n - at < width ? n - at : width), 1);
    }
    evUnlockConsole(&held);
}

void cslSeparatorLine(cslSession *session, CslStream stream, int32_t style) {
    size_t width =
        unlimited(session->screenWidth) ? CSL_SEPARATOR_WIDTH : static_cast<size_t>(session->screenWidth);
    if (style == CSL_SEP_BLANK) width = 0;
    char local[256] = {};
    char *line = local;
    if (width > sizeof local) {
        line = static_cast<char *>(CSGetMem(width));
        if (line == nullptr) {
            cslNoMemory(session, width);
            return;
        }
    }
    std::memset(line, style == CSL_SEP_NONE || style == CSL_SEP_SOLID ? '_' : '-', width);
    cslWriteLine(session, stream, CSL_LINE_SEPARATOR, line, static_cast<int64_t>(width));
    if (line != local) CSFreeMem(line);
}

void cslStatusMessage(cslSession *session, const char *text, int64_t time, int64_t showTime) {
    // The clock itself: the main loop's cached second does not tick while a start-up script runs.
    if (time == 0) time = evTimeNow();
    CSRecursiveGuard guard(session->displayLock);
    if (showTime == 0 && csThreadId() == session->consoleThread) {
        std::snprintf(session->statusNow, sizeof session->statusNow, "%s", text);
        session->statusShown = text[0] != '\0';
        session->statusExpiry = time + CSL_STATUS_LIFETIME;
        session->redraw |= CSL_REDRAW_BOTTOM;
    } else {
        std::snprintf(session->statusPending, sizeof session->statusPending, "%s", text);
        session->pendingShowTime = showTime != 0 ? showTime : time;
        session->pendingExpiry = session->pendingShowTime + CSL_STATUS_LIFETIME;
        session->pendingSet = 1;
    }
}

void cslShowStatusInFileMode(cslSession *session, int64_t since) {
    static const char *const kShown[] = {"Command server or network slow in responding", "Connecting to '",
                                         "Opening reply queue '", "Opening command queue '"};
    if (!cslFileMode(session)) return;
    const int64_t now = evTimeNow();  // not the cached second: see cslStatusMessage
    char text[CSL_STATUS_TEXT_MAX + 1];
    {
        CSRecursiveGuard guard(session->displayLock);
        const bool pending = session->pendingSet && session->pendingShowTime <= now;
        const int64_t setAt =
            pending ? session->pendingShowTime : session->statusExpiry - CSL_STATUS_LIFETIME;
        std::snprintf(text, sizeof text, "%s", pending ? session->statusPending : session->statusNow);
        if (text[0] == '\0' || setAt < since) return;
        bool shown = false;
        for (const char *prefix : kShown)
            shown = shown || std::strncmp(text, prefix, std::strlen(prefix)) == 0;
        if (!shown) return;
        if (std::strcmp(text, session->fileStatusText) == 0 && now - session->fileStatusTime < 10) return;
        std::snprintf(session->fileStatusText, sizeof session->fileStatusText, "%s", text);
        session->fileStatusTime = now;
    }
    cslAddOutput(session, cslMainList(session), nullptr, text, -1, CSL_LINE_RESPONSE, CSL_CURRENT_COMMAND);
    // Before the main loop runs (a start-up script) nothing else flushes the log.
    logFlushIfWritten();
}

void cslSetStatus(cslSession *session, const char *text) {
    CSRecursiveGuard guard(session->displayLock);
    std::snprintf(session->messageLine, sizeof session->messageLine, "%s", text);
    session->messageTime = evClockNow();
    if (!cslFileMode(session)) session->redraw |= CSL_REDRAW_BOTTOM;
}

void cslClearInputLine(cslSession *session) {
    if (session->repeating) return;
    session->inputLength = 0;
    session->redraw |= CSL_REDRAW_INPUT;
}

void cslBlankLines(cslSession *session) {
    for (int32_t i = 1; i < session->screenHeight; ++i)
        if (cslAddOutput(session, cslMainList(session), nullptr, "", 0, CSL_LINE_FILLER,
                         CSL_CURRENT_COMMAND) == nullptr)
            return;
}

void cslTraceStatus(cslSession *session, const char *label) {
    cslAddOutputF(
        session, CSL_LINE_TRACE, "STS: %s Req(%d,%d,%d,%d,%d,%d) Sts(%X,%X)", label,
        static_cast<int>(session->requestIssue.load()), static_cast<int>(session->requestPosted.load()),
        static_cast<int>(session->requestTaken.load()), static_cast<int>(session->requestPut.load()),
        static_cast<int>(session->requestCompleted.load()), static_cast<int>(session->requestRead.load()),
        session->resultFlags.load(), session->modeFlags);
}

int cslIgnoreInFileMode(cslSession *session, const char *command) {
    if (!cslFileMode(session)) return 0;
    if (std::strlen(command) > 50)
        cslAddOutputF(session, CSL_LINE_ERROR, "Command '%.50s...' ignored in file mode", command);
    else
        cslAddOutputF(session, CSL_LINE_ERROR, "Command '%s' ignored in file mode", command);
    return 1;
}

void cslLocalClock(char text[9]) {
    EvLocalTime t;
    evLocalTimeFields(evClockNow(), &t);
    // The fields are in range (a time without a calendar date gives zeros).
    std::snprintf(text, 9, "%02u:%02u:%02u", static_cast<unsigned>(t.hour) % 24u,
                  static_cast<unsigned>(t.minute) % 60u, static_cast<unsigned>(t.second) % 61u);
}
