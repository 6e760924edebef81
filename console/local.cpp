// The console's own '=' commands: the line is split into words and checked against the command
// table (or its help printed), then carried out here or, for the connection commands, posted to
// the current connection's worker.
#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "console/internal.h"

const CslFileCalls *cslOutputFileCalls = nullptr;

namespace {

constexpr size_t kLineMax = 1000;
constexpr size_t kSynonymMax = 10;

void line(cslSession *session, uint32_t kind, const char *text) {
    cslAddOutput(session, cslMainList(session), nullptr, text, -1, kind, CSL_CURRENT_COMMAND);
}

// Every parse error shows the whole line first.
int parseError(cslSession *session, const char *text, const char *message) {
    line(session, CSL_LINE_ECHO, text);
    line(session, CSL_LINE_ERROR, message);
    return 0;
}

const char *visibleName(const CslCommandRow *row) {
    return row->name[0] == '~' ? row->name + 1 : row->name;
}

const CslCommandRow *findRow(const CslCommandRow *table, const char *name, size_t length) {
    for (const CslCommandRow *row = table; row != nullptr && row->name != nullptr; ++row) {
        const char *n = visibleName(row);
        if (std::strlen(n) == length && strncasecmp(n, name, length) == 0) return row;
    }
    return nullptr;
}

bool isNumber(const char *text, size_t length) {
    size_t i = length > 0 && text[0] == '-' ? 1 : 0;
    if (i >= length) return false;
    for (; i < length; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

const CslValueRow *firstValue(const CslValueRow *values) {
    for (const CslValueRow *v = values; v->value != nullptr; ++v)
        if (v->value[0] != '!') return v;
    return nullptr;
}

int checkValue(cslSession *session, const char *text, const CslCommandRow *row, const char *value,
               size_t length) {
    char message[300];
    const char *name = visibleName(row);
    if (row->values == nullptr) {
        if (value == nullptr) return 1;
        std::snprintf(message, sizeof message, "Parameter '%s' does not have any values", name);
        return parseError(session, text, message);
    }
    if (value == nullptr) {
        const CslValueRow *first = firstValue(row->values);
        if (first != nullptr && first->value[0] == '\0') return 1;
        std::snprintf(message, sizeof message, "Missing value for parameter '%s'", name);
        return parseError(session, text, message);
    }
    for (const CslValueRow *v = row->values; v->value != nullptr; ++v) {
        if (v->value[0] == '!') continue;
        if (std::strcmp(v->value, "<value>") == 0) return 1;
        if (std::strcmp(v->value, "<number>") == 0) {
            if (isNumber(value, length)) return 1;
            std::snprintf(message, sizeof message, "Please specify a number as a value for parameter '%s'",
                          name);
            return parseError(session, text, message);
        }
        if (std::strlen(v->value) == length && strncasecmp(v->value, value, length) == 0) return 1;
    }
    std::snprintf(message, sizeof message, "Unrecognised value '%.*s' for '%s' parameter",
                  static_cast<int>(length), value, name);
    return parseError(session, text, message);
}

// The syntax of a row: its name, and its values in brackets.
void syntax(const CslCommandRow *row, char *out, size_t size) {
    size_t used = static_cast<size_t>(std::snprintf(out, size, "%s", visibleName(row)));
    if (row->values == nullptr || used >= size) return;
    const CslValueRow *first = firstValue(row->values);
    const bool optional = first != nullptr && first->value[0] == '\0';
    const char *placeholder = nullptr;
    for (const CslValueRow *v = row->values; v->value != nullptr; ++v)
        if (std::strcmp(v->value, "!t") == 0) placeholder = v->description;
    auto put = [&](const char *text) {
        if (used < size) used += static_cast<size_t>(std::snprintf(out + used, size - used, "%s", text));
    };
    put(optional ? "([" : "(");
    if (placeholder != nullptr) {
        put(placeholder);
    } else {
        bool any = false;
        for (const CslValueRow *v = row->values; v->value != nullptr; ++v) {
            if (v->value[0] == '!' || v->value[0] == '\0') continue;
            if (any) put(" | ");
            put(v->value);
            any = true;
        }
    }
    put(optional ? "])" : ")");
}

// An optional value's footnote: the description of its empty row.
const char *footnote(const CslCommandRow *row) {
    const CslValueRow *first = row->values != nullptr ? firstValue(row->values) : nullptr;
    return first != nullptr && first->value[0] == '\0' ? first->description : nullptr;
}

// One help line: an indent of one blank, the syntax padded to the list's widest, the description.
void helpLine(cslSession *session, const char *syntaxText, size_t widest, const char *description) {
    char text[1200];
    const int pad = static_cast<int>(widest < 500 ? widest : 500);
    if (description != nullptr)
        std::snprintf(text, sizeof text, "%*s%-*.500s - %.500s", 1, "", pad, syntaxText, description);
    else
        std::snprintf(text, sizeof text, "%*s%.500s", 1, "", syntaxText);
    line(session, CSL_LINE_RESPONSE, text);
}

void helpRows(cslSession *session, const CslCommandRow *table) {
    size_t widest = 0;
    char text[600];
    for (const CslCommandRow *row = table; row->name != nullptr; ++row) {
        if (row->name[0] == '~') continue;
        syntax(row, text, sizeof text);
        widest = std::max(widest, std::strlen(text));
    }
    for (const CslCommandRow *row = table; row->name != nullptr; ++row) {
        if (row->name[0] == '~') continue;
        syntax(row, text, sizeof text);
        helpLine(session, text, widest, row->description != nullptr ? row->description : "");
        if (const char *note = footnote(row)) {
            char noted[600];
            std::snprintf(noted, sizeof noted, "%*s%.500s", static_cast<int>(widest + 4), "", note);
            line(session, CSL_LINE_RESPONSE, noted);
        }
    }
}

void helpCommands(cslSession *session) {
    line(session, CSL_LINE_RESPONSE, "Commands available are:");
    helpRows(session, cslLocalCommandTable);
}

// A parameter's (or the command's own value's) help: its syntax and description, then its values,
// then the notes of its value table.
void helpValues(cslSession *session, const CslCommandRow *command, const CslCommandRow *row) {
    if (row->values == nullptr) {
        char text[200];
        std::snprintf(text, sizeof text, "Parameter '%s' does not have any values", visibleName(row));
        line(session, CSL_LINE_RESPONSE, text);
        return;
    }
    char rowSyntax[500];
    syntax(row, rowSyntax, sizeof rowSyntax);
    char text[1200];
    if (row == command)
        std::snprintf(text, sizeof text, "\"%s\"", rowSyntax);
    else
        std::snprintf(text, sizeof text, "\"%s %s\"", visibleName(command), rowSyntax);
    if (row->description != nullptr) {
        const size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, " - %.500s", row->description);
    }
    line(session, CSL_LINE_RESPONSE, text);
    line(session, CSL_LINE_RESPONSE, "where values are:");
    size_t widest = 0;
    for (const CslValueRow *v = row->values; v->value != nullptr; ++v)
        if (v->value[0] != '!' && v->value[0] != '\0') widest = std::max(widest, std::strlen(v->value));
    for (const CslValueRow *v = row->values; v->value != nullptr; ++v)
        if (v->value[0] != '!' && v->value[0] != '\0') helpLine(session, v->value, widest, v->description);
    for (const CslValueRow *v = row->values; v->value != nullptr; ++v) {
        const bool note = (v->value[0] == '!' && v->value[1] == '\0') || v->value[0] == '\0';
        if (note && v->description != nullptr) helpLine(session, v->description, 0, nullptr);
    }
}

void helpSyntax(cslSession *session, const CslCommandRow *command) {
    line(session, CSL_LINE_RESPONSE, "Command syntax:");
    char text[600];
    if (command->parms == nullptr) {
        std::snprintf(text, sizeof text, "\"%s\" - %s", visibleName(command), command->description);
        line(session, CSL_LINE_RESPONSE, text);
        line(session, CSL_LINE_RESPONSE, "The command has no parameters");
        return;
    }
    std::snprintf(text, sizeof text, "\"%s <parms>\" - %s", visibleName(command), command->description);
    line(session, CSL_LINE_RESPONSE, text);
    line(session, CSL_LINE_RESPONSE, "where <parms> are:");
    helpRows(session, command->parms);
}

void showCommand(cslSession *session, const char *text, const CslParmPair *pairs, int count) {
    int list = 0;
    for (int i = 1; i < count; ++i) list |= std::strcmp(visibleName(pairs[i].row), "list") == 0 ? 1 : 0;
    for (int i = 1; i < count; ++i) {
        const char *name = visibleName(pairs[i].row);
        char out[300];
        if (!std::strcmp(name, "key") || !std::strcmp(name, "parse") || !std::strcmp(name, "scrn") ||
            !std::strcmp(name, "scroll")) {
            if (cslIgnoreInFileMode(session, text)) return;
        } else if (!std::strcmp(name, "noecho")) {
            session->showHidden = pairs[i].value != nullptr && strncasecmp(pairs[i].value, "yes", 3) == 0;
        } else if (!std::strcmp(name, "machine")) {
            cslShowMachine(session, cslMainList(session));
        } else if (!std::strcmp(name, "summary")) {
            std::snprintf(out, sizeof out, "MQSC Command summary - Issued: %u  Success: %u  Fail: %u",
                          static_cast<unsigned>(session->summaryIssued.load()),
                          static_cast<unsigned>(session->summarySucceeded.load()),
                          static_cast<unsigned>(session->summaryFailed.load()));
            line(session, CSL_LINE_RESPONSE, out);
        } else if (!std::strcmp(name, "memory")) {
            CSMemCounts m = CSMemCounters();
            std::snprintf(out, sizeof out, "Memory: Blocks:%d Allocs:%d Bytes:%d High:%d",
                          static_cast<int>(m.blocks), static_cast<int>(m.allocations),
                          static_cast<int>(m.bytes), static_cast<int>(m.high));
            line(session, CSL_LINE_RESPONSE, out);
        } else if (!std::strcmp(name, "cmdhist")) {
            int entries = 0;
            for (cslHistoryEntry *e = session->historyOldest; e != nullptr; e = e->newer, ++entries)
                line(session, CSL_LINE_RESPONSE, cslHistoryText(e));
            std::snprintf(out, sizeof out, "%d command entries", entries);
            line(session, CSL_LINE_RESPONSE, out);
        } else if (!std::strcmp(name, "conns")) {
            CSRecursiveGuard guard(session->consoleLock);
            if (session->connections == nullptr) line(session, CSL_LINE_RESPONSE, "No current connections");
            for (const cslConnection *c = session->connections; c != nullptr; c = c->next) {
                std::snprintf(
                    out, sizeof out, "CONN(%s) HCONN(%d,%d) TID(%d,%d) %s", c->connectedName, c->hconn.load(),
                    c->replyHconn.load(), static_cast<int>(c->workerThreadId.load()),
                    static_cast<int>(c->replyReaderThreadId.load()), c->ending.load() ? "Disconnecting" : "");
                line(session, CSL_LINE_RESPONSE, out);
            }
        } else if (!std::strcmp(name, "func")) {
            if (cslScript.showFunctions == nullptr)
                line(session, CSL_LINE_RESPONSE, "No functions defined");
            else
                cslScript.showFunctions(session, pairs[i].value, pairs[i].valueLength, list);
        }
    }
}

// A file name as given: a value in quotes (the MQSC convention) loses them, and a doubled quote inside
// stands for one, so that file('/tmp/a b.txt') names /tmp/a b.txt.
void fileName(const CslParmPair &pair, char *out, size_t size) {
    const char *v = pair.value;
    size_t n = pair.valueLength;
    const char quote = n >= 2 && (v[0] == '\'' || v[0] == '"') && v[n - 1] == v[0] ? v[0] : '\0';
    if (quote == '\0') {
        std::snprintf(out, size, "%.*s", static_cast<int>(n), v);
        return;
    }
    size_t used = 0;
    for (size_t i = 1; i + 1 < n && used + 1 < size; ++i) {
        out[used++] = v[i];
        if (v[i] == quote && i + 2 < n && v[i + 1] == quote) ++i;
    }
    out[used] = '\0';
}

const CslParmPair *findPair(const CslParmPair *pairs, int count, const char *name) {
    for (int i = 1; i < count; ++i)
        if (std::strcmp(visibleName(pairs[i].row), name) == 0) return &pairs[i];
    return nullptr;
}

// =ccdt: choose the table (and the version of the records written) and enter CCDT mode.
int ccdtCommand(cslSession *session, const CslParmPair *pairs, int count) {
    static const struct {
        const char *name;
        int32_t mqcd;
    } kVersions[] = {{"5.0", 4}, {"5.1", 5},  {"5.2", 6},  {"5.3", 7},  {"6.0", 8},
                     {"7.0", 9}, {"7.1", 10}, {"7.5", 10}, {"8.0", 11}, {"9.0", 11}};
    if (const CslParmPair *file = findPair(pairs, count, "file")) {
        char name[CSL_SMALL_BUFFER_SIZE];
        std::snprintf(name, sizeof name, "%.*s", static_cast<int>(file->valueLength), file->value);
        char *copy = cslStrDup(name);
        if (copy == nullptr) return 0;
        if (session->ccdtFile != nullptr) CSFreeMem(session->ccdtFile);
        session->ccdtFile = copy;
    }
    if (const CslParmPair *version = findPair(pairs, count, "version")) {
        for (const auto &v : kVersions)
            if (version->valueLength == 3 && std::strncmp(version->value, v.name, 3) == 0)
                session->ccdtVersion = v.mqcd;
        if (cslCcdt.setOutputVersion != nullptr) cslCcdt.setOutputVersion(session, session->ccdtVersion);
    }
    (void)cslInitQmConnection(session, &session->ccdtConnection);
    {
        CSRecursiveGuard guard(session->consoleLock);
        if (!session->ccdtMode) session->lastServed = session->current;
        session->current = &session->ccdtConnection;
        session->ccdtMode = 1;
    }
    for (uint8_t &flag : session->ccdtConnection.capabilities.flag) flag = 1;
    const char *file = session->ccdtFile != nullptr ? session->ccdtFile : "*";
    char message[512] = "";
    const int32_t code = cslCcdt.openCheck(session, file, message, sizeof message);
    char text[700];
    if (code == 0)
        std::snprintf(text, sizeof text, "CCDT commands directed to file '%s'", file);
    else if (code == 10003)
        std::snprintf(text, sizeof text, "CCDT commands directed to file '%s' (Does not exist)", file);
    else
        std::snprintf(text, sizeof text, "%s", message);
    if (cslEchoes(session, CSL_ECHO_RESP))
        line(session, code == 0 || code == 10003 ? CSL_LINE_RESPONSE : CSL_LINE_ERROR, text);
    cslBuildPrompt(session, 0);
    return 1;
}

// =output: the current file is closed and forgotten; file(name) opens the next, appending with
// append(yes).
int outputCommand(cslSession *session, const CslParmPair *pairs, int count) {
    const CslFileCalls *calls = cslOutputFileCalls;
    {
        int32_t held = 0;
        evLockConsole(&held);
        if (session->outputFile != nullptr && session->outputFileCalls != nullptr &&
            session->outputFileCalls->close != nullptr)
            session->outputFileCalls->close(session->outputFile);
        session->outputFile = nullptr;
        evUnlockConsole(&held);
    }
    if (session->outputFileName != nullptr) CSFreeMem(session->outputFileName);
    session->outputFileName = nullptr;
    const CslParmPair *file = findPair(pairs, count, "file");
    if (file == nullptr || file->value == nullptr) return 1;
    char name[CSL_SMALL_BUFFER_SIZE];
    fileName(*file, name, sizeof name);
    const CslParmPair *append = findPair(pairs, count, "append");
    const int appending =
        append != nullptr && append->value != nullptr && strncasecmp(append->value, "yes", 3) == 0;
    void *opened = calls != nullptr && calls->open != nullptr ? calls->open(name, appending) : nullptr;
    if (opened == nullptr) {
        char text[CSL_SMALL_BUFFER_SIZE + 40];
        std::snprintf(text, sizeof text, "Can not open output file '%s'", name);
        line(session, CSL_LINE_ERROR, text);
        return 0;
    }
    session->outputFileName = cslStrDup(name);
    int32_t held = 0;
    evLockConsole(&held);
    session->outputFileCalls = calls;
    session->outputFile = opened;
    evUnlockConsole(&held);
    return 1;
}

// =import: the parameters taken here, the file read by the script.
int importCommand(cslSession *session, const char *text, const CslParmPair *pairs, int count) {
    if ((evDebugOptions.load() & EV_OPT_d) != 0) evConsolePrint(2, "cslDoImportCommand\n", -1);
    char file[CSL_PATH_MAX + 1];
    char parameters[kLineMax + 1];
    CslImportRequest request{text, nullptr, nullptr, 0, 0};
    for (int i = 1; i < count; ++i) {
        const CslParmPair &p = pairs[i];
        const char *name = p.row->name;
        if (!std::strcmp(name, "file") && p.value != nullptr) {
            fileName(p, file, sizeof file);
            request.file = file;
        } else if (!std::strcmp(name, "parms") && p.value != nullptr) {
            std::snprintf(parameters, sizeof parameters, "%.*s", static_cast<int>(p.valueLength), p.value);
            request.parameters = parameters;
        } else if (!std::strcmp(name, "quiet")) {
            request.quiet = 1;
        } else if (!std::strcmp(name, "sof")) {
            request.stopOnFailure = 1;
        }
    }
    return cslScript.importFile(session, &request);
}

int mergeCommand(cslSession *session, const CslParmPair *pairs, int count) {
    const CslParmPair *ccdt = findPair(pairs, count, "ccdt");
    const CslParmPair *channel = findPair(pairs, count, "channel");
    const CslParmPair *replace = findPair(pairs, count, "replace");
    const char *refusal = !session->ccdtMode   ? "The merge command should be issued while in CCDT mode"
                          : ccdt == nullptr    ? "Please enter a CCDT parameter"
                          : channel == nullptr ? "Please enter a CHANNEL parameter"
                          : channel->value == nullptr || channel->valueLength == 0
                              ? "The CHANNEL parameter should not be empty"
                              : nullptr;
    if (refusal != nullptr) {
        line(session, CSL_LINE_ERROR, refusal);
        return 0;
    }
    char from[CSL_SMALL_BUFFER_SIZE];
    char channels[CSL_SMALL_BUFFER_SIZE];
    std::snprintf(from, sizeof from, "%.*s", static_cast<int>(ccdt->valueLength),
                  ccdt->value != nullptr ? ccdt->value : "");
    std::snprintf(channels, sizeof channels, "%.*s", static_cast<int>(channel->valueLength), channel->value);
    const int yes =
        replace != nullptr && replace->value != nullptr && strncasecmp(replace->value, "yes", 3) == 0;
    return cslCcdt.merge(session, from, channels, yes);
}

}  // namespace

int cslParseCommandParms(cslSession *session, const char *text, CslParmPair *pairs, char *work,
                         size_t workSize) {
    const size_t length = std::strlen(text);
    if (length + 1 > workSize) return parseError(session, text, "Command too long");
    std::memcpy(work, text, length + 1);
    size_t at = 0;
    while (work[at] == ' ') ++at;
    if (work[at] == '=' && work[at + 1] == '?') {
        size_t rest = at + 2;
        while (work[rest] == ' ') ++rest;
        if (work[rest] == '\0') {
            helpCommands(session);
            return 0;
        }
    }
    struct Word {
        const char *name;
        size_t nameLength;
        const char *value;
        size_t valueLength;
    } words[CSL_MAX_WORDS];
    int count = 0;
    char message[200];
    for (;;) {
        while (work[at] == ' ' || work[at] == '\t') ++at;
        const char c = work[at];
        if (c == '\0') break;
        if (!std::isalpha(static_cast<unsigned char>(c)) && c != '=') {
            if (c == '?') {
                const CslCommandRow *command =
                    count > 0 ? findRow(cslLocalCommandTable, words[0].name, words[0].nameLength) : nullptr;
                if (command != nullptr)
                    helpSyntax(session, command);
                else
                    helpCommands(session);
                return 0;
            }
            std::snprintf(message, sizeof message, "Unexpected character '%c' found at position %d", c,
                          static_cast<int>(at + 1));
            return parseError(session, text, message);
        }
        Word word{work + at, 0, nullptr, 0};
        while (std::isalnum(static_cast<unsigned char>(work[at])) || work[at] == '=') ++at;
        word.nameLength = static_cast<size_t>(work + at - word.name);
        while (work[at] == ' ') ++at;
        if (work[at] == '(') {
            const size_t open = at;
            const char *close = scanFindCloseBracket(work + at + 1, work + length);
            if (close == nullptr) {
                std::snprintf(message, sizeof message, "Missing closing bracket for bracket at position %d",
                              static_cast<int>(open + 1));
                return parseError(session, text, message);
            }
            const char *v = work + at + 1;
            while (v < close && *v == ' ') ++v;
            const char *e = close;
            while (e > v && e[-1] == ' ') --e;
            word.value = v;
            word.valueLength = static_cast<size_t>(e - v);
            at = static_cast<size_t>(close - work) + 1;
            if (word.valueLength == 1 && word.value[0] == '?') {
                const CslCommandRow *command =
                    findRow(cslLocalCommandTable, count == 0 ? word.name : words[0].name,
                            count == 0 ? word.nameLength : words[0].nameLength);
                const CslCommandRow *row = count == 0 || command == nullptr
                                               ? command
                                               : findRow(command->parms, word.name, word.nameLength);
                if (row != nullptr) helpValues(session, command, row);
                return 0;
            }
        }
        if (count == CSL_MAX_WORDS) return parseError(session, text, "Too many command parameters");
        words[count++] = word;
    }
    if (count == 0) return 0;
    const CslCommandRow *command = findRow(cslLocalCommandTable, words[0].name, words[0].nameLength);
    if (command == nullptr) {
        std::snprintf(message, sizeof message, "Unrecognised command '%.*s'",
                      static_cast<int>(words[0].nameLength), words[0].name);
        return parseError(session, text, message);
    }
    if (!checkValue(session, text, command, words[0].value, words[0].valueLength)) return 0;
    pairs[0] = {command, words[0].value, words[0].valueLength};
    for (int i = 1; i < count; ++i) {
        const CslCommandRow *row = findRow(command->parms, words[i].name, words[i].nameLength);
        if (row == nullptr) {
            std::snprintf(message, sizeof message, "Unrecognised parameter '%.*s'",
                          static_cast<int>(words[i].nameLength), words[i].name);
            return parseError(session, text, message);
        }
        if (!checkValue(session, text, row, words[i].value, words[i].valueLength)) return 0;
        pairs[i] = {row, words[i].value, words[i].valueLength};
    }
    return count;
}

namespace {

int issueLocal(cslSession *session, const char *text) {
    if (std::strlen(text) >= kLineMax) return parseError(session, text, "Command too long");
    CslParmPair pairs[CSL_MAX_WORDS];
    char work[kLineMax + 1];
    const int count = cslParseCommandParms(session, text, pairs, work, sizeof work);
    if (count == 0) return 0;
    const char *name = pairs[0].row->name;
    if (!std::strcmp(name, "=conn")) {
        const char *rest = std::strchr(text, '=') + 5;
        return cslDoConnectCommand(session, text, CSL_REQUEST_LOCAL, rest);
    }
    if (!std::strcmp(name, "=disc")) {
        session->ccdtMode = 0;
        return cslIssueMQCommand(session, text, CSL_REQUEST_LOCAL, 0, 1, 0, nullptr);
    }
    if (!std::strcmp(name, "=zunt") || !std::strcmp(name, "=mqsc")) {
        if (session->ccdtMode) {
            session->ccdtMode = 0;
            if (session->lastServed != nullptr) cslSetCurrentConnection(session, session->lastServed, 0);
        }
        for (int i = 1; i < count; ++i)
            if (!std::strcmp(pairs[i].row->name, "cmdq") && pairs[i].value != nullptr)
                std::snprintf(session->ownQueue, sizeof session->ownQueue, "%.*s",
                              static_cast<int>(pairs[i].valueLength < CSL_NAME_MAX ? pairs[i].valueLength
                                                                                   : CSL_NAME_MAX),
                              pairs[i].value);
        return cslIssueMQCommand(session, text, CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    }
    if (!std::strcmp(name, "end") || !std::strcmp(name, "quit"))
        return cslIssueMQCommand(session, text, CSL_REQUEST_COMMAND, 0, 0, 0, nullptr);
    if (std::strcmp(name, "=echo") != 0) cslEchoLine(session, text);
    if (!std::strcmp(name, "=cache") || !std::strcmp(name, "=set")) return 1;
    for (const char *screenOnly : {"=cls", "=colour", "=key", "=keyname", "=purge", "=repeat"})
        if (!std::strcmp(name, screenOnly)) return cslIgnoreInFileMode(session, text) ? 0 : 1;
    if (!std::strcmp(name, "=syn")) {
        if (pairs[0].valueLength > kSynonymMax) {
            line(session, CSL_LINE_ERROR, "Please keep the synonym to 10 chaarcters or less");
            return 0;
        }
        char synonym[kSynonymMax + 1];
        std::snprintf(synonym, sizeof synonym, "%.*s", static_cast<int>(pairs[0].valueLength),
                      pairs[0].value != nullptr ? pairs[0].value : "");
        char value[kLineMax + 1] = "";
        for (int i = 1; i < count; ++i)
            if (!std::strcmp(pairs[i].row->name, "cmd") && pairs[i].value != nullptr)
                std::snprintf(value, sizeof value, "%.*s", static_cast<int>(pairs[i].valueLength),
                              pairs[i].value);
        return cslSetSynonym(session, synonym, value);
    }
    if (!std::strcmp(name, "=show")) {
        showCommand(session, text, pairs, count);
        return 1;
    }
    if (!std::strcmp(name, "=echo") && cslScript.echoSwitch != nullptr) {
        static const struct {
            const char *name;
            CslEchoSwitch which;
        } kSwitches[] = {{"input", CSL_ECHO_INPUT}, {"cmds", CSL_ECHO_CMDS},       {"lang", CSL_ECHO_LANG},
                         {"func", CSL_ECHO_FUNC},   {"langcon", CSL_ECHO_LANGCON}, {"resp", CSL_ECHO_RESP},
                         {"blank", CSL_ECHO_BLANK}};
        const int cmdsWasOn = cslScript.echoSwitch(session, CSL_ECHO_CMDS, -1);
        for (int i = 1; i < count; ++i)
            for (const auto &s : kSwitches)
                if (!std::strcmp(pairs[i].row->name, s.name))
                    cslScript.echoSwitch(session, s.which,
                                         !(pairs[i].value != nullptr && pairs[i].valueLength == 2 &&
                                           strncasecmp(pairs[i].value, "no", 2) == 0));
        if (!cmdsWasOn && cslScript.echoSwitch(session, CSL_ECHO_CMDS, -1)) cslEchoLine(session, text);
        return 1;
    }
    if (!std::strcmp(name, "=output")) return outputCommand(session, pairs, count);
    if (!std::strcmp(name, "=import") && cslScript.importFile != nullptr)
        return importCommand(session, text, pairs, count);
    if (!std::strcmp(name, "=ccdt") && cslCcdt.openCheck != nullptr)
        return ccdtCommand(session, pairs, count);
    if (!std::strcmp(name, "=merge") && cslCcdt.merge != nullptr) return mergeCommand(session, pairs, count);
    // =ccdt, =merge, =import, =output and =echo need the subsystems that fill their slots.
    line(session, CSL_LINE_ERROR, "Unrecognised command");
    return 0;
}

}  // namespace

int cslIssueLocalCommand(cslSession *session, const char *text) {
    session->requestIssue.fetch_add(1);
    const bool trace = (evDebugOptions.load() & EV_OPT_d) != 0;
    char line[300];
    if (trace) {
        std::snprintf(line, sizeof line, "cslIssueLocalCommand '%.250s'\n", text);
        evConsolePrint(2, line, -1);
    }
    const int rc = issueLocal(session, text);
    if (trace) {
        std::snprintf(line, sizeof line, "cslIssueLocalCommand (Return) '%.250s'\n", text);
        evConsolePrint(2, line, -1);
    }
    return rc;
}

int cslJoinPath(cslSession *session, const char *importer, const char *name, char *out, size_t size) {
    const bool absolute = name[0] == '/' || name[0] == '\\' ||
                          (std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':');
    size_t directory = 0;
    const char *base = importer != nullptr ? importer : session->importPath;
    if (!absolute && base != nullptr) {
        for (size_t i = 0; base[i] != '\0'; ++i)
            if (base[i] == '/' || base[i] == '\\' || base[i] == ':') directory = i;
        if (importer == nullptr) directory = std::strlen(base);  // the default path is a directory
        while (directory > 0 && (base[directory - 1] == '/' || base[directory - 1] == '\\')) --directory;
    }
    int n = directory > 0 ? std::snprintf(out, size, "%.*s%c%s", static_cast<int>(directory), base, '/', name)
                          : std::snprintf(out, size, "%s", name);
    if (n < 0 || static_cast<size_t>(n) >= size || static_cast<size_t>(n) >= CSL_PATH_MAX) {
        char text[300];
        std::snprintf(text, sizeof text, "Can not open file '%.250s'", name);
        line(session, CSL_LINE_ERROR, text);
        return 0;
    }
    return 1;
}
