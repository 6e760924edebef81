// What the interpreter shows of its records: the listing of a parse error with the line it came
// from, the runtime error with the chain of =import files it ran in, and the echo of statements.
#include <cstring>

#include "script/internal.h"

namespace {

bool inFunction(cmdProgram *program) {
    if (program->defining != nullptr) return true;
    if (program->reader != nullptr && program->reader->listOwner != nullptr) return true;
    return program->current != nullptr && program->current->owner != nullptr;
}

// The record to mark skip from: the next to run when it stands in this list, else the list's head.
cmdCommand *firstNotRun(cmdProgram *program, cmdList list) {
    for (cmdCommand *c = *list.head; c != nullptr; c = c->next) {
        if (c == program->current) return c;
    }
    return *list.head;
}

void showLineFor(cmdProgram *program, cmdCommand *message) {
    cmdList list = cmdListOf(program, message);
    cmdCommand *input = nullptr;
    for (cmdCommand *c = *list.head; c != nullptr && c != message; c = c->next) {
        if (c->type == CMD_INPUT || c->type == CMD_MULTI) input = c;
    }
    if (input != nullptr) {
        if (input->file != nullptr) {
            cmdText text{};
            char number[16];
            std::snprintf(number, sizeof number, "%u", input->line);
            if (cmdTextAppend(&text, "Line ", 5) && cmdTextAppend(&text, number, std::strlen(number)) &&
                cmdTextAppend(&text, " of file '", 10) &&
                cmdTextAppend(&text, input->file, std::strlen(input->file)) && cmdTextAppend(&text, "'", 1))
                cmdOutput(program, 32, text.data, static_cast<int64_t>(text.length));
            cmdTextFree(&text);
        }
        if (!(input->flags & CMD_F_SHOWN)) {
            cmdOutput(program, 1, input->text);
            input->flags |= CMD_F_SHOWN;
        }
    }
    for (cmdCommand *c = input != nullptr ? input : *list.head; c != nullptr; c = c->next) {
        if (c->type == CMD_MESSAGE && !(c->flags & CMD_F_SHOWN)) {
            cmdOutput(program, 128, c->text);
            c->flags |= CMD_F_SHOWN;
        }
    }
    // Only what this parse made: records parsed before it may be running (a loop's end, the rest of a
    // function body) and must not be passed over from now on.
    for (cmdCommand *c = firstNotRun(program, list); c != nullptr; c = c->next)
        if (c->serial >= program->parseFloor) c->flags |= CMD_F_SKIP;
    program->errorFlag = 1;
}

void appendLocation(cmdText *text, bool *ok, const char *lead, uint32_t line, const char *file) {
    char number[16];
    std::snprintf(number, sizeof number, "%u", line);
    *ok = *ok && cmdTextAppend(text, lead, std::strlen(lead)) &&
          cmdTextAppend(text, number, std::strlen(number)) && cmdTextAppend(text, " of file:'", 10) &&
          cmdTextAppend(text, file != nullptr ? file : "", file != nullptr ? std::strlen(file) : 0) &&
          cmdTextAppend(text, "'", 1);
}

}  // namespace

void cmdShowLine(cmdProgram *program) {
    cmdList list = cmdCurrentList(program);
    cmdCommand *message = nullptr;
    for (cmdCommand *c = *list.head; c != nullptr; c = c->next) {
        if (c->type == CMD_MESSAGE && !(c->flags & CMD_F_SHOWN)) {
            message = c;
            break;
        }
    }
    if (message != nullptr) showLineFor(program, message);
}

void cmdRuntimeError(cmdProgram *program, const cmdCommand *command, const char *message) {
    program->errorFlag = 1;
    // At the debugger's prompt the message alone: the statement stopped at is not the one in error.
    if (program->debuggerPrompt) {
        cmdOutput(program, 128, message);
        return;
    }
    // The innermost =import being run, else the outermost file reader.
    cmdReadContext *location = nullptr;
    for (cmdReadContext *r = program->reader; r != nullptr && location == nullptr; r = r->parent) {
        if (r->imported) location = r;
    }
    if (location == nullptr) {
        for (cmdReadContext *r = program->reader; r != nullptr; r = r->parent) {
            if (r->file != nullptr || r->memoryLines != nullptr) location = r;
        }
    }
    cmdText lines[3] = {};
    bool ok = true;
    const char *statement = command != nullptr ? command->text : "";
    ok = cmdTextAppend(&lines[0], "Runtime error: ", 15) &&
         cmdTextAppend(&lines[0], statement, std::strlen(statement));
    if (location != nullptr) {
        appendLocation(&lines[1], &ok, "File Location: Line ", location->lineNumber, location->name);
        for (cmdReadContext *r = location->parent; r != nullptr && location->imported; r = r->parent) {
            if (!r->imported) continue;
            if (lines[2].length != 0) ok = ok && cmdTextAppend(&lines[2], "\n", 1);
            appendLocation(&lines[2], &ok, "imported from: Line ", r->lineNumber, r->name);
        }
    }
    if (ok) {
        cmdOutput(program, 128, lines[0].data, static_cast<int64_t>(lines[0].length));
        if (lines[1].length != 0)
            cmdOutput(program, 128, lines[1].data, static_cast<int64_t>(lines[1].length));
        // Each enclosing import is a line of its own.
        for (char *p = lines[2].data; p != nullptr && *p != '\0';) {
            char *newline = std::strchr(p, '\n');
            size_t n = newline != nullptr ? static_cast<size_t>(newline - p) : std::strlen(p);
            cmdOutput(program, 128, p, static_cast<int64_t>(n));
            p = newline != nullptr ? newline + 1 : nullptr;
        }
    }
    for (cmdText &line : lines) cmdTextFree(&line);
    cmdText last{};
    if (cmdTextAppend(&last, "Error Message: ", 15) && cmdTextAppend(&last, message, std::strlen(message)))
        cmdOutput(program, 128, last.data, static_cast<int64_t>(last.length));
    else
        cmdOutput(program, 128, message);
    cmdTextFree(&last);
}

void *cmdEchoCommand(cmdProgram *program, int isCommand, int suppress, const char *text, uint32_t kind) {
    if (program->debuggerPrompt) return nullptr;
    const cmdReadContext *reader = program->reader;
    const cmdEchoOptions &echo = reader != nullptr ? reader->echo : program->echo;
    const bool asCommand = kind != 0 || !cmdIsKeyword(text);
    if (kind == 0) kind = asCommand ? 1 : 4;
    int32_t wanted;
    if (asCommand)
        wanted = echo.cmds;
    else if (inFunction(program))
        wanted = echo.func;
    else if (reader != nullptr && reader->console)
        wanted = echo.langcon;
    else
        wanted = echo.lang;
    bool shown = echo.input && !suppress && wanted;
    uint32_t marks = (shown ? 0 : CMD_OUT_HIDDEN) | (isCommand ? 0 : CMD_OUT_INPUT_ECHO);
    return cmdOutput(program, kind | marks, text);
}
