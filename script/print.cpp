// The print and fprint statements: items formatted onto an unfinished line that lives on between
// statements (one for the console, one per open file), complete lines written out.
#include <cinttypes>
#include <cstring>

#include "console/console.h"
#include "script/internal.h"

namespace {

constexpr int32_t maxWidth = 65535;
constexpr int32_t maxDecimals = 99;
constexpr char separatorByte = 5;  // the value of _sep: ends a line with a separator line

void printError(cmdProgram *program, const char *message) {
    cmdOutput(program, CSL_LINE_ERROR, message);
}

// A view of the console's unfinished line as a growing text, and back.
cmdText consoleLine(cmdProgram *program) {
    return cmdText{program->printText, program->printLength, program->printCapacity};
}
void keepConsoleLine(cmdProgram *program, const cmdText &line) {
    program->printText = line.data;
    program->printLength = line.length;
    program->printCapacity = line.capacity;
}

// Writes the console's complete lines (kind 32), a separator line at each byte 5; the rest stays.
// The text before `from` was kept from earlier statements and holds no line end.
void flushConsoleLine(cmdProgram *program, cmdText *line, size_t from) {
    size_t start = 0;
    for (size_t i = from; i < line->length; ++i) {
        char c = line->data[i];
        if (c != '\n' && c != separatorByte) continue;
        cmdOutput(program, CSL_LINE_RESPONSE, line->data + start, static_cast<int64_t>(i - start));
        if (c == separatorByte) cmdOutput(program, CSL_LINE_SEPARATOR, " ", 1);
        start = i + 1;
    }
    if (start == 0) return;
    std::memmove(line->data, line->data + start, line->length - start + 1);
    line->length -= start;
}

bool isNumber(const ExpValue *v) {
    return v->type == EXP_INT || v->type == EXP_DBL;
}

bool pad(cmdText *line, size_t count) {
    static const char blanks[] = "                                ";
    while (count > 0) {
        size_t n = count < sizeof blanks - 1 ? count : sizeof blanks - 1;
        if (!cmdTextAppend(line, blanks, n)) return false;
        count -= n;
    }
    return true;
}

// One item onto the line -> 1, or 0 with the error printed. *noLineEnd is raised by 's'.
int formatItem(cmdProgram *program, const char *item, const char *end, uint32_t basePosition, cmdText *line,
               bool continuing, bool *noLineEnd) {
    cmdPrintFormat format{};
    const char *rest = item;
    char message[120];
    if (!cslParseFormat(item, end, &format, &rest, message, sizeof message)) {
        printError(program, message);
        return 0;
    }
    if (format.noLineEnd) *noLineEnd = true;
    while (rest < end && cmdIsBlank(*rest)) ++rest;
    const char *last = end;
    while (last > rest && cmdIsBlank(last[-1])) --last;
    ExpValue value{};
    char *text = nullptr;
    if (last > rest) {
        if (!cslEvaluateValue(program, rest, last - rest, basePosition + static_cast<uint32_t>(rest - item),
                              0, &value))
            return 0;
        if (value.type != 0) {
            ExpExpression scratch{};
            text = expValueToString(&scratch, &value, format.decimals);
            if (text == nullptr) {
                printError(program,
                           scratch.errorText != nullptr ? scratch.errorText : "No storage available.");
                if (scratch.errorText != nullptr) CSFreeMem(scratch.errorText);
                expReleaseValue(&value);
                return 0;
            }
        }
    }
    size_t length = text != nullptr ? std::strlen(text) : 0;
    bool lineStart = line->length == 0 ? !continuing : line->data[line->length - 1] == '\n';
    bool ok = true;
    if (format.separator && !lineStart && !(length != 0 && text[0] == '\n')) ok = cmdTextAppend(line, " ", 1);
    size_t fill = format.width > 0 && static_cast<size_t>(format.width) > length
                      ? static_cast<size_t>(format.width) - length
                      : 0;
    bool right = format.justify == 'r' || (format.justify == 0 && isNumber(&value));
    if (ok && right) ok = pad(line, fill);
    if (ok && length != 0) ok = cmdTextAppend(line, text, length);
    if (ok && !right) ok = pad(line, fill);
    if (text != nullptr) CSFreeMem(text);
    expReleaseValue(&value);
    if (!ok) printError(program, "No storage available.");
    return ok ? 1 : 0;
}

}  // namespace

int cslParseFormat(const char *text, const char *end, cmdPrintFormat *format, const char **rest, char *error,
                   size_t errorSize) {
    *format = cmdPrintFormat{-1, 2, 0, true, false};
    const char *p = text;
    while (p < end && cmdIsBlank(*p)) ++p;
    *rest = text;
    if (p == end || *p != ':') return 1;
    ++p;
    // Digits first: the width.
    int32_t *digitsTo = &format->width;
    int32_t bound = maxWidth;
    for (; p < end && *p != ':'; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9' && digitsTo != nullptr) {
            int32_t value = (*digitsTo < 0 ? 0 : *digitsTo) * 10 + (c - '0');
            if (value > bound) {
                // Named as the limit it passes: the digit itself is a recognised one.
                std::snprintf(error, errorSize, "%s above %d in print format string",
                              digitsTo == &format->width ? "Width" : "Decimal places", bound);
                return 0;
            }
            *digitsTo = value;
            continue;
        }
        digitsTo = nullptr;
        if (c == 'l' || c == 'r') {
            format->justify = c;
        } else if (c == 'n') {
            format->separator = false;
        } else if (c == 's') {
            format->noLineEnd = true;
        } else if (c == 'p') {
            format->decimals = 0;
            digitsTo = &format->decimals;
            bound = maxDecimals;
        } else {
            break;
        }
    }
    if (p == end) {
        std::snprintf(error, errorSize, "End of formatting character ':' missing in print statement");
        return 0;
    }
    if (*p != ':') {
        std::snprintf(error, errorSize, "Unrecognised formatting character '%c' in print format string", *p);
        return 0;
    }
    *rest = p + 1;
    return 1;
}

int cslFormatPrintLine(cmdProgram *program, const char *items, cmdText *line, bool continuing) {
    const size_t before = line->length;
    const char *end = items + std::strlen(items);
    const char *item = items;
    bool noLineEnd = false;
    for (;;) {
        const char *comma = scanFindComma(item, end);
        const char *itemEnd = comma != nullptr ? comma : end;
        if (!formatItem(program, item, itemEnd, static_cast<uint32_t>(item - items), line, continuing,
                        &noLineEnd)) {
            line->length = before;
            if (line->data != nullptr) line->data[before] = '\0';
            return 0;
        }
        if (comma == nullptr) break;
        item = comma + 1;
    }
    bool endsWithSeparator = line->length != 0 && line->data[line->length - 1] == separatorByte;
    if (!noLineEnd && !endsWithSeparator && !cmdTextAppend(line, "\n", 1)) {
        line->length = before;
        if (line->data != nullptr) line->data[before] = '\0';
        printError(program, "No storage available.");
        return 0;
    }
    return 1;
}

int cslDoPrint(cmdProgram *program, const char *statement, const char *items) {
    ++*program->commandNumber;
    cmdEchoCommand(program, 0, 0, statement);
    cmdText line = consoleLine(program);
    const size_t kept = line.length;
    int ok = cslFormatPrintLine(program, items, &line, false);
    if (ok) flushConsoleLine(program, &line, kept);
    keepConsoleLine(program, line);
    return ok;
}

int cslDoFPrint(cmdProgram *program, const char *statement) {
    ++*program->commandNumber;
    cmdEchoCommand(program, 0, 0, statement);
    const char *arguments = statement;
    while (cmdIsBlank(*arguments)) ++arguments;
    if (cmdTokenIs(arguments, 6, "fprint")) arguments += 6;
    const char *end = arguments + std::strlen(arguments);
    const char *comma = scanFindComma(arguments, end);
    const char *idEnd = comma != nullptr ? comma : end;
    char *idText = static_cast<char *>(CSGetMem(static_cast<size_t>(idEnd - arguments) + 1));
    if (idText == nullptr) {
        printError(program, "No storage available.");
        return 0;
    }
    std::memcpy(idText, arguments, static_cast<size_t>(idEnd - arguments));
    idText[idEnd - arguments] = '\0';
    int64_t id = 0;
    int evaluated = cslEvaluateToNumber(program, idText, static_cast<uint32_t>(arguments - statement), &id);
    CSFreeMem(idText);
    if (!evaluated) return 0;
    const char *items = comma != nullptr ? comma + 1 : end;
    if (id == 1) {
        cmdText line = consoleLine(program);
        const size_t kept = line.length;
        int ok = cslFormatPrintLine(program, items, &line, false);
        if (ok) flushConsoleLine(program, &line, kept);
        keepConsoleLine(program, line);
        return ok;
    }
    // Refused before the items are evaluated, so that nothing of them runs for a closed file.
    int state =
        id < INT32_MIN || id > INT32_MAX ? CMD_FILE_NOT_OPEN : cmdFileLineState(static_cast<int32_t>(id));
    if (state == CMD_FILE_NOT_OPEN) {
        char message[80];
        std::snprintf(message, sizeof message, "File Identifier %" PRId64 " is not an open file", id);
        printError(program, message);
        return 0;
    }
    // Formatted apart and appended after: a function an item calls may close the file meanwhile.
    cmdText formatted{};
    int ok = cslFormatPrintLine(program, items, &formatted, state == 1);
    if (ok) {
        int rc = cmdFilePrint(static_cast<int32_t>(id), &formatted);
        if (rc == CMD_FILE_NOT_OPEN) {
            char message[80];
            std::snprintf(message, sizeof message, "File Identifier %" PRId64 " is not an open file", id);
            printError(program, message);
            ok = 0;
        } else if (rc == 0) {
            char message[160];
            int saved = cmdSavedErrno();
            std::snprintf(message, sizeof message, "fprint() write failed errno=%s(%d)", std::strerror(saved),
                          saved);
            printError(program, message);
            ok = 0;
        }
    }
    cmdTextFree(&formatted);
    return ok;
}
