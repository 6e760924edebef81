// The command server's view of the command tables: command rows by verb and code, parameter rows
// by identifier (through indexes built once) and by keyword, and the per-context state of the
// running command.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "cmdserver/internal.h"

namespace {

constexpr uint32_t kIndexSize = 10000;
constexpr uint16_t kNoRow = 0xFFFF;
constexpr int kIndexMinRows = 40;

std::once_flag indexOnce;

bool isEnd(const evParmDef *row) {
    return row->parmId == 0 && row->keyword == nullptr;
}

int rowCount(const evParmDef *table) {
    int n = 0;
    while (!isEnd(&table[n])) n++;
    return n;
}

bool equalNoCase(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

void cmdBuildIndexes() {
    std::call_once(indexOnce, [] {
        for (evCommandDef *command = evCommandTable; command->verb != nullptr; command++) {
            // DISPLAY EVENTS has mqi's own index.
            if (command->parms == nullptr || command->parms == evEventsParmTable) continue;
            const int rows = rowCount(command->parms);
            if (rows < kIndexMinRows) continue;
            auto *index = static_cast<uint16_t *>(CSGetMem(kIndexSize * sizeof(uint16_t)));
            if (index == nullptr) continue;  // searched linearly
            for (uint32_t i = 0; i < kIndexSize; i++) index[i] = kNoRow;
            for (int i = 0; i < rows; i++) {
                const uint32_t id = command->parms[i].parmId;
                if (id < kIndexSize && index[id] == kNoRow) index[id] = static_cast<uint16_t>(i);
            }
            command->parmIndex = index;
        }
    });
}

const evCommandDef *evCommandByCode(uint32_t code) {
    for (const evCommandDef *command = evCommandTable; command->verb != nullptr; command++)
        if (command->code == code) return command;
    return nullptr;
}

const evCommandDef *evFindCommand(const char *verb, const char *object, size_t length) {
    for (const evCommandDef *command = evCommandTable; command->verb != nullptr; command++) {
        if (std::strcmp(command->verb, verb) != 0) continue;
        if (std::strlen(command->objectKeyword) == length &&
            equalNoCase(command->objectKeyword, object, length))
            return command;
    }
    return nullptr;
}

const evParmDef *evFindParmById(const evCommandDef *command, uint32_t parmId) {
    if (command == nullptr || command->parms == nullptr || parmId == 0) return nullptr;
    if (command->parms == evEventsParmTable) return evEventsParmById(parmId);
    if (command->parmIndex != nullptr && parmId < kIndexSize) {
        const uint16_t at = command->parmIndex[parmId];
        return at >= kIndexSize ? nullptr : &command->parms[at];
    }
    for (const evParmDef *row = command->parms; !isEnd(row); row++)
        if (row->parmId == parmId) return row;
    return nullptr;
}

const evParmDef *evFindParmByKeyword(const evCommandDef *command, const char *keyword, size_t length,
                                     char *mode) {
    if (command == nullptr || command->parms == nullptr) return nullptr;
    for (const evParmDef *row = command->parms; !isEnd(row); row++) {
        if (row->keyword == nullptr || std::strlen(row->keyword) != length ||
            !equalNoCase(row->keyword, keyword, length))
            continue;
        // Column 0 marks selection names; each command letter after it is followed by its mode
        // (none at the end of the text: no value).
        const char *applicability = row->applicability ? row->applicability : "";
        const char *letter =
            applicability[0] != '\0' ? std::strchr(applicability + 1, command->letter) : nullptr;
        if (letter == nullptr || command->letter == '\0') continue;
        *mode = letter[1] != '\0' ? letter[1] : ' ';
        return row;
    }
    return nullptr;
}

const char *cmdKeywordOfParm(const evCommandDef *command, int32_t parmId) {
    if (parmId <= 0) return nullptr;
    const evParmDef *row = evFindParmById(command, static_cast<uint32_t>(parmId));
    for (const evCommandDef *other = evCommandTable; row == nullptr && other->verb != nullptr; other++)
        row = evFindParmById(other, static_cast<uint32_t>(parmId));
    return row != nullptr ? row->keyword : nullptr;
}

void cmdFillKeyword(char *out, size_t size, const char *templateText, const char *keyword) {
    CmdText text;
    cmdTextInit(&text, out, size);
    const size_t keywordLength = std::strlen(keyword);
    for (const char *p = templateText; *p != '\0';) {
        if (p[0] == '%' && p[1] == 's') {
            cmdTextAppend(&text, keyword, keywordLength);
            p += 2;
        } else {
            cmdTextAppend(&text, p, 1);
            p++;
        }
    }
}

bool cmdTextPrintf(CmdText *t, const char *format, ...) {
    if (t->full) return false;
    va_list args;
    va_start(args, format);
    const size_t room = t->size - t->used;
    const int n = std::vsnprintf(t->data + t->used, room, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        t->data[t->used] = '\0';
        t->full = true;
        return false;
    }
    t->used += static_cast<size_t>(n);
    return true;
}

CmdState *cmdState(QmgrContext *context) {
    if (context->commandState == nullptr) {
        auto *state = static_cast<CmdState *>(CSGetMem(sizeof(CmdState)));
        if (state == nullptr) return nullptr;
        std::memset(state, 0, sizeof *state);
        context->commandState = state;
    }
    return static_cast<CmdState *>(context->commandState);
}

CmdRequest *cmdRequest(QmgrContext *context) {
    CmdState *state = cmdState(context);
    return state != nullptr ? &state->request : nullptr;
}

int cmdTakeArea(Area **slot, uint32_t size, const char *name) {
    if (*slot != nullptr) return 1;
    *slot = AreaGet(size, 64, name);
    if (*slot == nullptr) return 0;
    (*slot)->used = 0;
    return 1;
}

void cmdReleaseAreas(CmdRequest *request) {
    AreaRelease(&request->pcfCommand);
    AreaRelease(&request->mqscResponse);
    AreaRelease(&request->escResponse);
    AreaRelease(&request->pcfResponse);
    AreaRelease(&request->collation);
    AreaRelease(&request->handlerArea);
}
