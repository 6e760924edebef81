// Readers of script text and the step from physical lines to statements: each line is recorded,
// cut at its first top-level ';', and continuation lines ('-' and '+') are joined into one
// statement. A line longer than the line area is refused rather than read as two.
#include <cerrno>
#include <cstring>

#include "script/internal.h"

namespace {

constexpr int lineMax = static_cast<int>(CMD_LINE_AREA) - 1;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool ensureLineArea(cmdProgram *program, cmdReadContext *reader) {
    if (reader->line != nullptr) return true;
    reader->line = static_cast<char *>(CSGetMem(CMD_LINE_AREA));
    if (reader->line == nullptr) {
        program->failed = 1;
        cmdOutput(program, 128, "Failed to allocate line area storage");
        return false;
    }
    return true;
}

int readFileLine(cmdProgram *program, cmdReadContext *reader) {
    if (reader->file == nullptr || reader->endOfInput || reader->readError) return 0;
    if (reader->file == stdin && program->forbidStdin) {
        program->stopFlag = 1;
        return 0;
    }
    if (!ensureLineArea(program, reader)) return 0;
    if (reader->console && reader->echo.input && program->prompt != nullptr) program->prompt(program);
    size_t n = 0;
    bool any = false;
    bool tooLong = false;
    int c;
    while ((c = std::getc(reader->file)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (n == static_cast<size_t>(lineMax)) {
            tooLong = true;  // pass over the rest of the line
            continue;
        }
        reader->line[n++] = static_cast<char>(c);
    }
    if (c == EOF && std::ferror(reader->file)) {
        reader->readError = 1;
        char text[CMD_LINE_AREA];
        std::snprintf(text, sizeof text, "Error reading from file '%s'",
                      reader->name != nullptr ? reader->name : "");
        cmdOutput(program, 128, text);
        return 0;
    }
    if (!any) {
        reader->endOfInput = 1;
        return 0;
    }
    ++reader->lineNumber;
    if (tooLong) return -1;
    if (n > 0 && reader->line[n - 1] == '\r') --n;
    reader->line[n] = '\0';
    return 1;
}

int readMemoryLine(cmdProgram *program, cmdReadContext *reader) {
    if (reader->memoryNext >= reader->memoryCount) {
        reader->endOfInput = 1;
        return 0;
    }
    if (!ensureLineArea(program, reader)) return 0;
    const char *text = reader->memoryLines[reader->memoryNext++];
    ++reader->lineNumber;
    size_t n = std::strlen(text);
    if (n > static_cast<size_t>(lineMax)) return -1;
    std::memcpy(reader->line, text, n);
    if (n > 0 && reader->line[n - 1] == '\r') --n;
    reader->line[n] = '\0';
    return 1;
}

int readNothing(cmdProgram *, cmdReadContext *reader) {
    reader->endOfInput = 1;
    return 0;
}

cmdReadContext *newReader(cmdProgram *program, const char *name, cmdReaderOp read) {
    auto *reader = static_cast<cmdReadContext *>(CSGetMem(sizeof(cmdReadContext)));
    if (reader == nullptr) {
        program->failed = 1;
        return nullptr;
    }
    std::memset(reader, 0, sizeof *reader);
    reader->read = read;
    reader->echo = program->reader != nullptr ? program->reader->echo : program->echo;
    if (name != nullptr) {
        size_t n = std::strlen(name);
        reader->name = static_cast<char *>(CSGetMem(n + 1));
        if (reader->name == nullptr) {
            CSFreeMem(reader);
            program->failed = 1;
            return nullptr;
        }
        std::memcpy(reader->name, name, n + 1);
    }
    return reader;
}

// The statement piece at p, cut at its top-level ';' (the rest left pending).
const char *takePiece(cmdReadContext *reader, char *p) {
    char *semicolon = const_cast<char *>(scanFindSemicolon(p, p + std::strlen(p)));
    if (semicolon != nullptr) {
        *semicolon = '\0';
        reader->pending = semicolon + 1;
    } else {
        reader->pending = nullptr;
    }
    if (reader->line != nullptr && p >= reader->line && p < reader->line + CMD_LINE_AREA)
        reader->column = static_cast<uint32_t>(cmdSkipBlanks(p) - reader->line + 1);
    return p;
}

// Pending text after blanks and ';', or null when nothing of it is left.
char *nextPending(cmdReadContext *reader) {
    if (reader->pending == nullptr) return nullptr;
    const char *p = reader->pending;
    while (cmdIsBlank(*p) || *p == ';') ++p;
    if (*p == '\0') {
        reader->pending = nullptr;
        return nullptr;
    }
    return const_cast<char *>(p);
}

// A line's type: several statements when a top-level ';' is followed by more than blanks and ';'.
uint32_t lineType(const char *line) {
    const char *end = line + std::strlen(line);
    const char *semicolon = scanFindSemicolon(line, end);
    if (semicolon == nullptr) return CMD_INPUT;
    for (const char *p = semicolon; p < end; ++p) {
        if (!cmdIsBlank(*p) && *p != ';') return CMD_MULTI;
    }
    return CMD_INPUT;
}

// The next statement piece of the active reader (a physical line, or what a ';' left), recording
// each physical line; null at the end of input or after a line that is too long.
const char *cmdGetNextCommand(cmdProgram *program) {
    cmdReadContext *reader = program->reader;
    if (reader == nullptr) return nullptr;
    for (;;) {
        if (char *p = nextPending(reader)) return takePiece(reader, p);
        cmdFlushInputEcho(program);
        if (program->parseError && reader->stopOnError) return nullptr;
        int rc = reader->read(program, reader);
        if (rc == 0) return nullptr;
        if (rc < 0) {
            reader->column = 1;
            cmdMessage(program, "Line %d is longer than %d characters", static_cast<int>(reader->lineNumber),
                       lineMax);
            reader->endOfInput = 1;
            return nullptr;
        }
        char *line = reader->line;
        const char *first = cmdSkipBlanks(line);
        reader->column = static_cast<uint32_t>(first - line + 1);
        if (*first == '*') {
            if (cmdNewCommand(program, CMD_COMMENT, line, -1) == nullptr) return nullptr;
            continue;
        }
        if (*first == '\0') {
            if (cmdNewCommand(program, CMD_EMPTY, "", 0) == nullptr) return nullptr;
            ++*program->commandNumber;
            continue;
        }
        if (cmdNewCommand(program, lineType(line), line, -1) == nullptr) return nullptr;
        // Leading blanks stay: a line continuing a '-' line keeps them.
        return takePiece(reader, line);
    }
}

}  // namespace

const char *cmdSkipBlanks(const char *text) {
    while (cmdIsBlank(*text)) ++text;
    return text;
}

void cmdFlushInputEcho(cmdProgram *program) {
    cmdReadContext *reader = program->reader;
    for (size_t i = 0; i < program->toEchoCount; ++i) {
        cmdCommand *c = program->toEcho[i];
        if (c == nullptr || (c->flags & CMD_F_SHOWN)) continue;
        switch (c->type) {
            case CMD_INPUT:
            case CMD_MULTI:
                cmdEchoCommand(program, 0, 0, c->text);
                break;
            case CMD_EMPTY:
                if (reader != nullptr && reader->echo.blank)
                    cmdOutput(program, 1 | CMD_OUT_INPUT_ECHO, "", 0);
                break;
            default:
                cmdOutput(program, 1 | CMD_OUT_INPUT_ECHO, c->text);
                break;
        }
        c->flags |= CMD_F_SHOWN;
    }
    program->toEchoCount = 0;
}

void cmdPushBackPending(cmdProgram *program, const char *text) {
    cmdReadContext *reader = program->reader;
    size_t n = std::strlen(text);
    const char *old = reader->pending;
    size_t oldLength = old != nullptr ? std::strlen(old) : 0;
    auto *buffer = static_cast<char *>(CSGetMem(n + oldLength + 2));
    if (buffer == nullptr) {
        program->failed = 1;
        return;
    }
    std::memcpy(buffer, text, n);
    buffer[n] = ';';
    if (oldLength != 0) std::memcpy(buffer + n + 1, old, oldLength);
    buffer[n + 1 + oldLength] = '\0';
    if (reader->pendingBuffer != nullptr) CSFreeMem(reader->pendingBuffer);
    reader->pendingBuffer = buffer;
    reader->pending = buffer;
}

char *cmdReadNextCommand(cmdProgram *program) {
    for (;;) {
        const char *piece = cmdGetNextCommand(program);
        if (piece == nullptr) return nullptr;
        cmdText text{};
        bool afterMinus = false;
        bool failed = false;
        while (piece != nullptr) {
            const char *start = piece;
            const char *end = piece + std::strlen(piece);
            if (!afterMinus) {
                while (start < end && isSpace(*start)) ++start;
            }
            const char *last = end;
            while (last > start && isSpace(last[-1])) --last;
            char continuation = last > start ? last[-1] : '\0';
            if (continuation == '-' || continuation == '+') {
                end = last - 1;  // the continuation character itself is dropped
                if (continuation == '+') {
                    while (end > start && isSpace(end[-1])) --end;
                }
            } else {
                continuation = '\0';
                end = last;
            }
            if (text.length != 0 && !afterMinus && start < end) failed |= !cmdTextAppend(&text, " ", 1);
            failed |= !cmdTextAppend(&text, start, static_cast<size_t>(end - start));
            if (continuation == '\0') break;
            afterMinus = continuation == '-';
            piece = cmdGetNextCommand(program);
        }
        if (failed) {
            cmdTextFree(&text);
            program->failed = 1;
            cmdOutput(program, 128, "Failed to allocate command storage");
            return nullptr;
        }
        if (text.length != 0) return text.data;
        cmdTextFree(&text);
        if (cmdNewCommand(program, CMD_EMPTY, "", 0) == nullptr) return nullptr;
    }
}

cmdReadContext *cmdOpenFileReader(cmdProgram *program, const char *path, int *rc) {
    *rc = 0;
    std::FILE *file = CSOpenStream(path, "r");
    if (file == nullptr) {
        *rc = errno != 0 ? errno : ENOENT;
        return nullptr;
    }
    cmdReadContext *reader = newReader(program, path, readFileLine);
    if (reader == nullptr) {
        std::fclose(file);
        *rc = ENOMEM;
        return nullptr;
    }
    reader->file = file;
    reader->ownsFile = 1;
    CSStreamIdentity(file, &reader->device, &reader->inode);
    return reader;
}

cmdReadContext *cmdStdinReader(cmdProgram *program) {
    cmdReadContext *reader = newReader(program, "stdin", readFileLine);
    if (reader == nullptr) return nullptr;
    reader->file = stdin;
    reader->console = 1;
    return reader;
}

cmdReadContext *cmdMemoryReader(cmdProgram *program, const char *name, const char *const *lines,
                                size_t count) {
    cmdReadContext *reader = newReader(program, name, readMemoryLine);
    if (reader == nullptr) return nullptr;
    reader->memoryLines = lines;
    reader->memoryCount = count;
    return reader;
}

cmdReadContext *cmdQueuedReader(cmdProgram *program, const char *text) {
    cmdReadContext *reader = newReader(program, nullptr, readNothing);
    if (reader == nullptr) return nullptr;
    size_t n = std::strlen(text);
    reader->pendingBuffer = static_cast<char *>(CSGetMem(n + 1));
    if (reader->pendingBuffer == nullptr) {
        cmdFreeReader(reader);
        program->failed = 1;
        return nullptr;
    }
    std::memcpy(reader->pendingBuffer, text, n + 1);
    reader->pending = reader->pendingBuffer;
    return reader;
}

void cmdPushReader(cmdProgram *program, cmdReadContext *reader) {
    reader->parent = program->reader;
    program->reader = reader;
}

void cmdPopReader(cmdProgram *program) {
    cmdReadContext *reader = program->reader;
    if (reader == nullptr) return;
    cmdFlushInputEcho(program);
    program->reader = reader->parent;
    reader->parent = nullptr;
    cmdFreeReader(reader);
}

void cmdFreeReader(cmdReadContext *reader) {
    if (reader->ownsFile && reader->file != nullptr) std::fclose(reader->file);
    if (reader->line != nullptr) CSFreeMem(reader->line);
    if (reader->pendingBuffer != nullptr) CSFreeMem(reader->pendingBuffer);
    if (reader->name != nullptr) CSFreeMem(reader->name);
    if (reader->blocks != nullptr) CSFreeMem(reader->blocks);
    CSFreeMem(reader);
}
