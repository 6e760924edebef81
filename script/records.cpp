// Command records: the program that holds them, their lists, their numbers, and how they are made
// and freed. Every record is one counted-heap block: the header, then its NUL-terminated text.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "script/internal.h"

namespace {

cmdOutputFn defaultOutput = nullptr;

}  // namespace

bool cmdKeepsNumber(uint32_t type) {
    switch (type) {
        case CMD_INPUT:
        case CMD_MULTI:
        case CMD_EMPTY:
        case CMD_MESSAGE:
        case CMD_COMMENT:
        case CMD_IMPORT:
        case CMD_IMPORT_END:
        case CMD_QUEUED:
        case CMD_QUEUED_END:
        case CMD_VAR:
        case CMD_CALL_OUTSIDE:
            return true;
        default:
            return false;
    }
}

namespace {

void freeArguments(cmdArgument *argument) {
    while (argument != nullptr) {
        cmdArgument *next = argument->next;
        if (argument->expression != nullptr) expFreeExpression(argument->expression);
        CSFreeMem(argument);
        argument = next;
    }
}

void forgetEcho(cmdProgram *program, const cmdCommand *command) {
    for (size_t i = 0; i < program->toEchoCount; ++i) {
        if (program->toEcho[i] == command) program->toEcho[i] = nullptr;
    }
}

void freeRecord(cmdProgram *program, cmdCommand *command) {
    forgetEcho(program, command);
    if (command->expression != nullptr) expFreeExpression(command->expression);
    if (command->target != nullptr) expFreeExpression(command->target);
    freeArguments(command->arguments);
    if (command->type == CMD_IMPORT) {
        cmdImportState *state = cmdImportStateOf(command);
        if (state->reader != nullptr) cmdFreeReader(state->reader);
        if (state->parameters != nullptr) CSFreeMem(state->parameters);
    }
    CSFreeMem(command);
}

void rememberForEcho(cmdProgram *program, cmdCommand *command) {
    if (program->toEchoCount == program->toEchoCapacity) {
        size_t capacity = program->toEchoCapacity == 0 ? 16 : program->toEchoCapacity * 2;
        auto *grown = static_cast<cmdCommand **>(CSGetMem(capacity * sizeof(cmdCommand *)));
        if (grown == nullptr) return;  // the line is then not echoed; parsing goes on
        if (program->toEchoCount != 0)
            std::memcpy(grown, program->toEcho, program->toEchoCount * sizeof(cmdCommand *));
        if (program->toEcho != nullptr) CSFreeMem(program->toEcho);
        program->toEcho = grown;
        program->toEchoCapacity = capacity;
    }
    program->toEcho[program->toEchoCount++] = command;
}

void linkRecord(cmdProgram *program, cmdCommand *command) {
    cmdReadContext *reader = program->reader;
    cmdList list = cmdCurrentList(program);
    cmdCommand *after = reader != nullptr ? reader->insertAfter : nullptr;
    if (after == nullptr) {
        if (*list.tail != nullptr)
            (*list.tail)->next = command;
        else
            *list.head = command;
        *list.tail = command;
        return;
    }
    command->next = after->next;
    after->next = command;
    if (*list.tail == after) *list.tail = command;
    reader->insertAfter = command;
}

}  // namespace

const cmdEchoOptions cmdDefaultEcho = {1, 1, 0, 0, 1, 1, 0};

int cmdEchoSwitch(cmdProgram *program, int which, int set) {
    if (which < 0 || which >= CMD_ECHO_SWITCHES) return -1;
    cmdEchoOptions &echo = program->reader != nullptr ? program->reader->echo : program->echo;
    int32_t *switches[CMD_ECHO_SWITCHES] = {&echo.input,   &echo.cmds, &echo.lang, &echo.func,
                                            &echo.langcon, &echo.resp, &echo.blank};
    if (set >= 0) *switches[which] = set != 0 ? 1 : 0;
    return *switches[which];
}

bool cmdTextAppend(cmdText *text, const char *bytes, size_t length) {
    if (text->length + length + 1 > text->capacity) {
        size_t capacity = text->capacity == 0 ? 256 : text->capacity;
        while (capacity < text->length + length + 1) capacity *= 2;
        auto *grown = static_cast<char *>(CSGetMem(capacity));
        if (grown == nullptr) return false;
        if (text->length != 0) std::memcpy(grown, text->data, text->length);
        if (text->data != nullptr) CSFreeMem(text->data);
        text->data = grown;
        text->capacity = capacity;
    }
    if (length != 0) std::memcpy(text->data + text->length, bytes, length);
    text->length += length;
    text->data[text->length] = '\0';
    return true;
}

void cmdTextFree(cmdText *text) {
    if (text->data != nullptr) CSFreeMem(text->data);
    *text = cmdText{};
}

cmdOutputFn cmdSetDefaultOutput(cmdOutputFn output) {
    cmdOutputFn previous = defaultOutput;
    defaultOutput = output;
    return previous;
}

void *cmdOutput(cmdProgram *program, uint32_t kind, const char *text, int64_t length) {
    cmdOutputFn output = program->output != nullptr ? program->output : defaultOutput;
    if (output != nullptr) return output(program, kind, text, length, -1);
    // Without a console the line goes to the program's own console output.
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    if (kind & CMD_OUT_HIDDEN) return nullptr;
    uint32_t category = (kind & 0xFFFF) == 128 ? 128 : (kind & 0xFFFF) == 32 ? 32 : 1;
    evOutput(category, text, static_cast<int32_t>(n), 1);
    return nullptr;
}

cmdProgram *cmdCreateProgram() {
    auto *program = static_cast<cmdProgram *>(CSGetMem(sizeof(cmdProgram)));
    if (program == nullptr) return nullptr;
    std::memset(program, 0, sizeof *program);
    std::memcpy(program->eyeCatcher, CMD_PROGRAM_EYE, sizeof program->eyeCatcher);
    program->statementCounter = 1;
    program->echo = cmdDefaultEcho;
    program->ownCommandNumber = 1;
    program->commandNumber = &program->ownCommandNumber;
    static std::atomic<uint64_t> serials{0};
    program->serial = ++serials;
    program->run = cmdCreateRunState(program);
    if (program->run == nullptr) {
        CSFreeMem(program);
        return nullptr;
    }
    return program;
}

void cmdFreeProgram(cmdProgram *program) {
    if (program == nullptr) return;
    while (program->reader != nullptr) cmdPopReader(program);
    cmdFreeChain(program, program->head);
    program->head = program->tail = program->current = program->lastExecuted = nullptr;
    cmdFreeFunctions(program, -1);
    cmdFreeRunState(program);
    if (program->toEcho != nullptr) CSFreeMem(program->toEcho);
    if (program->printText != nullptr) CSFreeMem(program->printText);
    CSFreeMem(program);
}

cmdList cmdCurrentList(cmdProgram *program) {
    cmdReadContext *reader = program->reader;
    if (reader != nullptr && reader->list.head != nullptr) return reader->list;
    return cmdList{&program->head, &program->tail};
}

cmdList cmdListOf(cmdProgram *program, const cmdCommand *command) {
    cmdFUNCTION *f = command->owner;
    if (f == nullptr) return cmdList{&program->head, &program->tail};
    for (const cmdCommand *c = f->pending.head; c != nullptr; c = c->next) {
        if (c == command) return cmdList{&f->pending.head, &f->pending.tail};
    }
    return cmdList{&f->definition.head, &f->definition.tail};
}

cmdCommand *cmdNewCommand(cmdProgram *program, uint32_t type, const char *text, int64_t length) {
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    cmdReadContext *reader = program->reader;
    const char *file = nullptr;
    if ((type == CMD_INPUT || type == CMD_MULTI) && reader != nullptr && reader->imported)
        file = reader->name;
    size_t fileBytes = file != nullptr ? std::strlen(file) + 1 : 0;
    size_t extra = type == CMD_IMPORT ? sizeof(cmdImportState) + alignof(cmdImportState) : 0;
    size_t size = offsetof(cmdCommand, text) + n + 1 + fileBytes + extra;
    auto *command = static_cast<cmdCommand *>(CSGetMem(size));
    if (command == nullptr) {
        program->failed = 1;
        cmdOutput(program, 128, "Failed to allocate command storage");
        return nullptr;
    }
    std::memset(command, 0, size);
    command->type = type;
    if (n != 0) std::memcpy(command->text, text, n);
    if (file != nullptr) {
        std::memcpy(command->text + n + 1, file, fileBytes);
        command->file = command->text + n + 1;
    }
    if (reader != nullptr) {
        command->owner = reader->listOwner;
        command->enclosing = cmdInnermostBlock(program);
        command->line = reader->lineNumber;
        command->column = reader->column;
        if (reader->echo.input) command->flags |= CMD_F_INPUT_ECHO;
        if (reader->substituted) command->flags |= CMD_F_SUBSTITUTED;
    }
    // A function's records, whether read with its definition or queued into its body while it runs,
    // take the function's own numbers.
    uint32_t *counter =
        command->owner != nullptr ? &command->owner->statementCounter : &program->statementCounter;
    command->number = *counter;
    command->serial = ++program->recordsMade;
    if (!cmdKeepsNumber(type)) ++*counter;
    linkRecord(program, command);
    switch (type) {
        case CMD_INPUT:
        case CMD_MULTI:
        case CMD_EMPTY:
        case CMD_COMMENT:
            if (reader != nullptr && reader->echo.input) rememberForEcho(program, command);
            break;
        case CMD_MESSAGE:
            command->flags |= CMD_F_SKIP;
            program->parseError = 1;
            cmdShowLine(program);
            break;
        default:
            break;
    }
    return command;
}

cmdImportState *cmdImportStateOf(cmdCommand *importStart) {
    char *end = importStart->text + std::strlen(importStart->text) + 1;
    auto at = reinterpret_cast<uintptr_t>(end);
    at = (at + alignof(cmdImportState) - 1) & ~(uintptr_t{alignof(cmdImportState)} - 1);
    return reinterpret_cast<cmdImportState *>(at);
}

cmdCommand *cmdNewBlock(cmdProgram *program, uint32_t type, const char *text) {
    cmdCommand *start = cmdNewCommand(program, type, text, -1);
    if (start == nullptr) return nullptr;
    cmdCommand *end = cmdNewCommand(program, type + 1, "", 0);
    if (end == nullptr) {
        // Without its end the block cannot stand: the start goes again.
        cmdFreeCommand(program, start);
        return nullptr;
    }
    start->partner = end;
    end->partner = start;
    // New records go between the two.
    if (program->reader != nullptr) program->reader->insertAfter = start;
    return start;
}

void cmdFreeCommand(cmdProgram *program, cmdCommand *command) {
    cmdList list = cmdListOf(program, command);
    cmdCommand *before = nullptr;
    for (cmdCommand *c = *list.head; c != nullptr && c != command; c = c->next) before = c;
    if (before == nullptr && *list.head != command) {
        freeRecord(program, command);  // not linked: nothing to fix
        return;
    }
    if (before == nullptr)
        *list.head = command->next;
    else
        before->next = command->next;
    if (*list.tail == command) *list.tail = before;
    if (program->current == command) program->current = command->next;
    if (program->lastExecuted == command) program->lastExecuted = before;
    for (cmdReadContext *r = program->reader; r != nullptr; r = r->parent) {
        if (r->insertAfter == command) r->insertAfter = before;
    }
    freeRecord(program, command);
}

void cmdFreeChain(cmdProgram *program, cmdCommand *head) {
    while (head != nullptr) {
        cmdCommand *next = head->next;
        freeRecord(program, head);
        head = next;
    }
}

void cmdMessage(cmdProgram *program, const char *format, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    cmdNewCommand(program, CMD_MESSAGE, buffer, -1);
    program->parseError = 1;
}

void cmdExpectEnd(cmdProgram *program, const char *expected, const cmdCommand *found) {
    const char *name = "endfunc";
    switch (found->type) {
        case CMD_ENDWHILE:
            name = "endwhile";
            break;
        case CMD_ENDFOR:
            name = "endfor";
            break;
        case CMD_ENDIF:
            name = "endif";
            break;
        case CMD_ELSE:
            name = "else";
            break;
        default:
            break;
    }
    cmdMessage(program, "Found '%s' where '%s' was expected", name, expected);
}

bool cmdPushBlock(cmdProgram *program, cmdCommand *block) {
    cmdReadContext *reader = program->reader;
    if (reader->blockDepth == reader->blockCapacity) {
        int32_t capacity = reader->blockCapacity == 0 ? 16 : reader->blockCapacity * 2;
        auto *grown =
            static_cast<cmdCommand **>(CSGetMem(sizeof(cmdCommand *) * static_cast<size_t>(capacity)));
        if (grown == nullptr) return false;
        if (reader->blockDepth != 0)
            std::memcpy(grown, reader->blocks,
                        sizeof(cmdCommand *) * static_cast<size_t>(reader->blockDepth));
        if (reader->blocks != nullptr) CSFreeMem(reader->blocks);
        reader->blocks = grown;
        reader->blockCapacity = capacity;
    }
    reader->blocks[reader->blockDepth++] = block;
    return true;
}

void cmdPopBlock(cmdProgram *program) {
    if (program->reader->blockDepth > 0) --program->reader->blockDepth;
}

cmdCommand *cmdInnermostBlock(cmdProgram *program) {
    cmdReadContext *reader = program->reader;
    if (reader == nullptr || reader->blockDepth == 0) return nullptr;
    return reader->blocks[reader->blockDepth - 1];
}
