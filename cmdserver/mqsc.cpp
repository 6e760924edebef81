// MQSC translation: the verb, the command row by verb and object keyword, then each keyword and value
// turned into a PCF parameter by the command's parameter table, so that MQSC and PCF requesters are
// served by the same handlers. Text errors are answered with MQSC-style texts.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cmdserver/internal.h"

namespace {

// Verbs, keywords and brackets; values (which may hold '-', '+' and '*'); object names (no '*').
constexpr char kDelims[] = "()[]!|&<>-+*/=,;";
constexpr char kSeps[] = " ()[]!|&<>-+*/=\n\t,;";
constexpr char kValueDelims[] = "()[]!|&<>/=,;";
constexpr char kValueSeps[] = " ()[]!|&<>/=\n\t,;";
constexpr char kObjectDelims[] = "()[]!|&<>-+/=,;";
constexpr char kObjectSeps[] = " ()[]!|&<>-+/=\n\t,;";

constexpr char kSyntaxError[] = "AMQ8405: Syntax error detected at or near end of command segment below:-\n";
#define VALID "AMQ8426: Valid ZUNT commands are:\n\n"
constexpr char kHelpAll[] = VALID
    "    ADD\n    ALTER\n    DEFINE\n    DELETE\n    DISPLAY\n    PURGE\n    REMOVE\n"
    "    RENAME\n    RESET\n    RESUME\n    STOP\n    SUSPEND\n";
constexpr char kHelpAlter[] = VALID "    ALTER EV\n    ALTER EVEMIT\n    ALTER EVSTREAM\n";
constexpr char kHelpDisplay[] = VALID
    "    DISPLAY ACCTMQI\n    DISPLAY ACCTQ\n    DISPLAY EV\n    DISPLAY EVALERT\n    DISPLAY EVEMIT\n"
    "    DISPLAY EVENTS\n    DISPLAY EVQ\n    DISPLAY EVQMGR\n    DISPLAY EVSTREAM\n    DISPLAY EVSTRMST\n"
    "    DISPLAY STATCHL\n    DISPLAY STATMQI\n    DISPLAY STATQ\n";
constexpr char kHelpAdd[] = VALID "    ADD EVQ\n    ADD EVALERT\n";
constexpr char kHelpDefine[] = VALID "    DEFINE EVSTREAM\n";
constexpr char kHelpCopy[] = VALID "    COPY EVSTRMST\n";
constexpr char kHelpStop[] = VALID "    STOP EV\n";
constexpr char kHelpPurge[] = VALID "    PURGE EVSTRMST\n";
constexpr char kHelpReset[] = VALID "    RESET EV\n";
constexpr char kHelpResume[] = VALID "    RESUME EVQ\n";
constexpr char kHelpRemove[] = VALID "    REMOVE EVQ\n    REMOVE EVQMGR\n    REMOVE EVALERT\n";
constexpr char kHelpDelete[] = VALID "    DELETE EVEMIT\n    DELETE EVSTREAM\n";
constexpr char kHelpRename[] = VALID "    RENAME EVSTREAM\n";
constexpr char kHelpSuspend[] = VALID "    SUSPEND EVQ\n";
#undef VALID

struct VerbForm {
    const char *form;  // as typed, any case, whole token
    const char *verb;
    const char *help;
};
constexpr VerbForm kVerbs[] = {
    {"alt", "ALTER", kHelpAlter},
    {"dis", "DISPLAY", kHelpDisplay},
    {"add", "ADD", kHelpAdd},
    {"def", "DEFINE", kHelpDefine},
    {"copy", "COPY", kHelpCopy},
    {"stop", "STOP", kHelpStop},
    {"alter", "ALTER", kHelpAlter},
    {"purge", "PURGE", kHelpPurge},
    {"reset", "RESET", kHelpReset},
    {"resume", "RESUME", kHelpResume},
    {"remove", "REMOVE", kHelpRemove},
    {"define", "DEFINE", kHelpDefine},
    {"delete", "DELETE", kHelpDelete},
    {"rename", "RENAME", kHelpRename},
    {"display", "DISPLAY", kHelpDisplay},
    {"suspend", "SUSPEND", kHelpSuspend},
};

bool equalNoCase(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

struct Token {
    const char *text = nullptr;
    size_t length = 0;
};

// One translation under way.
struct Mqsc {
    QmgrContext *context;
    const char *text;
    int32_t length;
    const char *end;
    const char *cursor;
    const char *help;
    const evCommandDef *command;
    PcfCursor pcf;
    uint32_t *attrs;
    uint32_t attrCount;
    int32_t result;  // of the reply that ended the translation
};

// The next token: false at the end of the text.
bool next(Mqsc *m, const char *delims, const char *seps, Token *token) {
    return scanGetMQSCLexeme(&m->cursor, m->end, delims, seps, &token->text, &token->length) == 0;
}
bool peek(Mqsc *m, const char *delims, const char *seps, Token *token) {
    const char *saved = m->cursor;
    bool got = next(m, delims, seps, token);
    m->cursor = saved;
    return got;
}

// Ends the translation with a syntax error at the token (null: the whole text).
bool syntax(Mqsc *m, const Token *token) {
    m->result = evSyntaxError(m->context, m->text, m->length, token ? token->text : nullptr, m->help);
    return false;
}

// Ends the translation with a text naming the row's keyword.
bool refuse(Mqsc *m, const char *templateText, const evParmDef *row) {
    char text[256];
    cmdFillKeyword(text, sizeof text, templateText, row->keyword);
    m->result = evAddResponse(m->context, CMD_RESP_TEXT, reinterpret_cast<const uint8_t *>(text), -1);
    return false;
}

// A value without its enclosing single quotes, when it has at least 3 characters.
Token unquoted(Token value, size_t least) {
    if (value.length >= least && value.text[0] == '\'' && value.text[value.length - 1] == '\'') {
        value.text++;
        value.length -= 2;
    }
    return value;
}

bool parseInteger(Token value, int32_t *out) {
    size_t i = 0;
    bool negative = false;
    if (i < value.length && (value.text[i] == '+' || value.text[i] == '-')) negative = value.text[i++] == '-';
    if (i == value.length) return false;
    int64_t n = 0;
    for (; i < value.length; i++) {
        if (!std::isdigit(static_cast<unsigned char>(value.text[i]))) return false;
        n = n * 10 + (value.text[i] - '0');
        if (n > 2147483648LL) return false;
    }
    if (negative) n = -n;
    if (n > INT32_MAX || n < INT32_MIN) return false;
    *out = static_cast<int32_t>(n);
    return true;
}

// A process identifier past 2147483647 and up to 4294967295 (IBM MQ's are unsigned 32-bit), as the
// statistics displays answer it: an MQCFIN64. Every other integer parameter keeps the MQCFIN range.
bool parseWideProcessId(Token value, int64_t *out) {
    if (value.length == 0 || value.length > 10) return false;
    int64_t n = 0;
    for (size_t i = 0; i < value.length; i++) {
        if (!std::isdigit(static_cast<unsigned char>(value.text[i]))) return false;
        n = n * 10 + (value.text[i] - '0');
    }
    if (n <= INT32_MAX || n > int64_t{UINT32_MAX}) return false;
    *out = n;
    return true;
}

bool parseHex(Token value, int32_t *out) {
    if (value.length == 0 || value.length > 8) return false;
    uint32_t n = 0;
    for (size_t i = 0; i < value.length; i++) {
        const char c = value.text[i];
        if (std::strchr("0123456789abcdefABCDEF", c) == nullptr || c == '\0') return false;
        n = n * 16 + static_cast<uint32_t>(
                         std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    *out = static_cast<int32_t>(n);
    return true;
}

// False when the command's PCF area is full.
bool addInt(Mqsc *m, uint32_t parmId, int32_t value, const Token *at) {
    int32_t cc = 0;
    int32_t rc = 0;
    MQPCFSetParm(&m->pcf, MQCFT_INTEGER, static_cast<int32_t>(parmId), &value, 4, 0, &cc, &rc);
    return cc != MQCC_FAILED || syntax(m, at);
}

// One MQCFST of the row: enclosing quotes removed (a missing closing quote tolerated) and two
// quotes inside them made one, an unquoted value upper-cased unless the row keeps expressions as
// typed (an expression keeps its quotes as written: its own parser reads them).
bool addString(Mqsc *m, const evParmDef *row, Token value, const Token *at) {
    bool quoted = false;
    if (value.length > 0 && value.text[0] == '\'') {
        quoted = true;
        value.text++;
        value.length--;
        if (value.length > 0 && value.text[value.length - 1] == '\'') value.length--;
    }
    char *single = nullptr;
    if (quoted && row->type[0] != 'w' && std::memchr(value.text, '\'', value.length) != nullptr) {
        single = static_cast<char *>(CSGetMem(value.length + 1));
        if (single == nullptr) return syntax(m, at);
        value.length = scanUndoubleQuotes(value.text, value.length, single);
        value.text = single;
    }
    int32_t cc = 0;
    int32_t rc = 0;
    auto *field = static_cast<char *>(MQPCFSetStringParm(&m->pcf, MQCFT_STRING,
                                                         static_cast<int32_t>(row->parmId), value.text,
                                                         static_cast<int32_t>(value.length), 0, 0, &cc, &rc));
    if (single != nullptr) CSFreeMem(single);
    if (cc == MQCC_FAILED) return syntax(m, at);
    if (!quoted && row->type[0] != 'w')
        for (size_t i = 0; i < value.length; i++)
            field[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(field[i])));
    return true;
}

bool isClose(const Token &t) {
    return t.length == 1 && t.text[0] == ')';
}
bool isOpen(const Token &t) {
    return t.length >= 1 && t.text[0] == '(';
}

// After a value: ')' or the end.
bool closeValue(Mqsc *m) {
    Token t;
    if (!next(m, kDelims, kSeps, &t)) return true;
    return isClose(t) || syntax(m, &t);
}

// Step 5: the object keyword as a parameter.
bool objectParameter(Mqsc *m, const Token &object) {
    char mode = ' ';
    const evParmDef *row = evFindParmByKeyword(m->command, object.text, object.length, &mode);
    if (row == nullptr) return syntax(m, &object);
    Token t;
    if (mode == '*') mode = peek(m, kDelims, kSeps, &t) && isOpen(t) ? '+' : ' ';
    if (mode == ' ') return true;
    if (!next(m, kDelims, kSeps, &t)) return syntax(m, nullptr);
    if (!isOpen(t)) return syntax(m, &t);
    Token value;
    if (!next(m, kObjectDelims, kObjectSeps, &value)) return syntax(m, nullptr);
    if (isClose(value)) return syntax(m, &value);
    int32_t n = 0;
    switch (row->type[0]) {
        case 'k':
            if (value.length == 1 && value.text[0] == '*') break;
            [[fallthrough]];
        case 'i':
            if (!parseInteger(unquoted(value, 3), &n))
                return refuse(m, "Parameter '%s' is not a valid integer.", row);
            if (!addInt(m, row->parmId, n, &value)) return false;
            break;
        case 'x':
            if (!parseHex(unquoted(value, 2), &n))
                return refuse(m, "Parameter '%s' is not a valid hex number.", row);
            if (!addInt(m, row->parmId, n, &value)) return false;
            break;
        default:
            if (!addString(m, row, value, &value)) return false;
            break;
    }
    return closeValue(m);
}

bool addAttribute(Mqsc *m, const evParmDef *row, const Token &at) {
    // Unlike the documented translation (every bare keyword joins the attribute list), a command
    // without an attribute list (the changing ones) refuses a bare keyword naming it: the list would
    // carry identifier 0, and the handler's refusal could then name no keyword the user typed.
    if (m->command->attributeList == 0) return refuse(m, "Parameter '%s' needs a value.", row);
    if (m->attrCount >= CMD_ATTRS_MAX) return syntax(m, &at);
    m->attrs[m->attrCount++] = row->parmId;
    return true;
}

// A list of value names separated by ',' up to ')'.
bool valueList(Mqsc *m, const evParmDef *row) {
    int32_t values[256];
    int32_t count = 0;
    Token t;
    for (;;) {
        if (!next(m, kValueDelims, kValueSeps, &t) || isClose(t)) break;
        const evValueName *name = evValueNameByText(row->valueNames, t.text, t.length);
        if (name == nullptr || count == 256) return syntax(m, &t);
        values[count++] = name->value;
        if (!next(m, kValueDelims, kValueSeps, &t) || isClose(t)) break;
        if (!(t.length == 1 && t.text[0] == ',')) {
            char text[600];
            std::snprintf(text, sizeof text, "%.*s' found where ',' expected in field '%s'.",
                          static_cast<int>(t.length > 500 ? 500 : t.length), t.text, row->keyword);
            m->result = evAddResponse(m->context, CMD_RESP_TEXT, reinterpret_cast<const uint8_t *>(text), -1);
            return false;
        }
    }
    int32_t cc = 0;
    int32_t rc = 0;
    MQPCFSetParm(&m->pcf, MQCFT_INTEGER_LIST, static_cast<int32_t>(row->parmId), values, count * 4, 0, &cc,
                 &rc);
    return cc != MQCC_FAILED || syntax(m, &t);
}

// Step 6: one keyword with its value.
bool attribute(Mqsc *m, const Token &keyword) {
    char mode = ' ';
    const evParmDef *row = evFindParmByKeyword(m->command, keyword.text, keyword.length, &mode);
    if (row == nullptr) return syntax(m, &keyword);
    const char type = row->type[0];
    Token t;
    if (mode == ' ') return type == 'p' ? addInt(m, row->parmId, 1, &keyword) : addAttribute(m, row, keyword);
    if (!peek(m, kDelims, kSeps, &t) || !isOpen(t)) return addAttribute(m, row, keyword);
    (void)next(m, kDelims, kSeps, &t);
    const Token open = t;
    if (type == 'w') {
        const char *close = scanFindCloseBracket(m->cursor, m->end);
        if (close == nullptr) return syntax(m, &open);
        Token value{m->cursor, static_cast<size_t>(close - m->cursor)};
        m->cursor = close + 1;
        return addString(m, row, value, &open);
    }
    Token value;
    if (!next(m, kValueDelims, kValueSeps, &value)) return syntax(m, nullptr);
    const bool empty = isClose(value);
    if (empty) value.length = 0;
    int32_t n = 0;
    switch (type) {
        case 'R':
        case 's':
        case 'q':
            if (!addString(m, row, value, &value)) return false;
            break;
        case 'x': {
            Token hex = unquoted(value, 2);
            if (hex.length == 0) break;
            if (!parseHex(hex, &n)) return refuse(m, "Parameter '%s' is not a valid hex integer.", row);
            if (!addInt(m, row->parmId, n, &value)) return false;
            break;
        }
        case 'i':
            if (row->valueNames != nullptr) {
                const evValueName *name = evValueNameByText(row->valueNames, value.text, value.length);
                if (name == nullptr) return syntax(m, empty ? nullptr : &value);
                n = name->value;
            } else if (int64_t wide = 0; !empty && row->parmId == MQIACF_PROCESS_ID &&
                                         parseWideProcessId(unquoted(value, 3), &wide)) {
                int32_t cc = 0;
                int32_t rc = 0;
                MQPCFSetParm(&m->pcf, MQCFT_INTEGER64, MQIACF_PROCESS_ID, &wide, 8, 0, &cc, &rc);
                if (cc == MQCC_FAILED) return syntax(m, &value);
                break;
            } else if (empty || !parseInteger(unquoted(value, 3), &n)) {
                return refuse(m, "Parameter '%s' is not a valid integer.", row);
            }
            if (!addInt(m, row->parmId, n, &value)) return false;
            break;
        case 'b': {
            int32_t cc = 0;
            int32_t rc = 0;
            const MQMD *md = cmdRequest(m->context)->md;
            MQPCFSetStringParm(&m->pcf, MQCFT_STRING, static_cast<int32_t>(row->parmId), value.text,
                               static_cast<int32_t>(value.length), md ? md->CodedCharSetId : 0, 0, &cc, &rc);
            if (cc == MQCC_FAILED) return syntax(m, &value);
            break;
        }
        case 'K':
            m->cursor = value.text;  // the list reads its names and its ')' itself
            return valueList(m, row);
        default:
            return syntax(m, empty ? &open : &value);
    }
    return empty || closeValue(m);
}

}  // namespace

const char *const cmdVerbHelp = kHelpAll;

namespace {

// A text refused before any handler ran (it cannot be parsed, a value the translation refuses, a
// command an event function may not issue): the escape response carries CompCode 2 and 3008, as a
// handler's refusal carries its own reason, so that a requester that checks the completion code
// does not take it for a done command.
void refused(QmgrContext *context) {
    CmdRequest *request = cmdRequest(context);
    if (request != nullptr && request->lastReason == 0) request->lastReason = MQRCCF_COMMAND_FAILED;
}

}  // namespace

int evSyntaxError(QmgrContext *context, const char *text, int32_t length, const char *token,
                  const char *help) {
    char segment[CMD_AREA_SIZE / 4];
    int32_t upTo = token != nullptr ? static_cast<int32_t>(token - text) + 1 : length;
    if (upTo > length) upTo = length;
    if (upTo > static_cast<int32_t>(sizeof segment) - 200) upTo = static_cast<int32_t>(sizeof segment) - 200;
    std::snprintf(segment, sizeof segment, "%s%.*s\n\n", kSyntaxError, upTo, text);
    refused(context);
    int result = evAddResponse(context, CMD_RESP_TEXT, reinterpret_cast<const uint8_t *>(segment), -1);
    if (help != nullptr)
        result = evAddResponse(context, CMD_RESP_TEXT, reinterpret_cast<const uint8_t *>(help), -1);
    return result;
}

int evWhereComparedField(const char *text, size_t length, const char *field, size_t fieldLength,
                         const char *name, size_t nameLength) {
    if (text == nullptr) return CMD_WHERE_UNKNOWN;
    Mqsc m{};
    m.text = text;
    m.end = text + length;
    m.cursor = text;
    Token verb, object;
    const VerbForm *form = nullptr;
    if (next(&m, kDelims, kSeps, &verb))
        for (const VerbForm &f : kVerbs)
            if (std::strlen(f.form) == verb.length && equalNoCase(f.form, verb.text, verb.length)) form = &f;
    if (form == nullptr || !next(&m, kDelims, kSeps, &object)) return CMD_WHERE_UNKNOWN;
    const evCommandDef *command = evFindCommand(form->verb, object.text, object.length);
    if (command == nullptr || !cmdIsObjectDisplay(command->code)) return CMD_WHERE_UNKNOWN;
    // As evWhereObjectVar reads a name beside a field, and the field itself.
    int ambiguous = 0;
    const evParmDef *row =
        evFindField(command->parms, field, fieldLength, EV_FIELD_EXACT | EV_FIELD_FIELDS_ONLY, &ambiguous);
    if (row == nullptr || row->type == nullptr) return CMD_WHERE_UNKNOWN;
    int32_t value = 0;
    if (row->valueNames != nullptr && cmdResolveValueName != nullptr && name != nullptr &&
        cmdResolveValueName(row->valueNames, name, nameLength, &value))
        return CMD_WHERE_VALUE_NAME;
    return std::strchr("Rsqb", row->type[0]) != nullptr ? CMD_WHERE_TEXT : CMD_WHERE_NUMBER;
}

int evProcessMqsc(QmgrContext *context, const char *text, int32_t length) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr) return 0;
    if (text == nullptr || length < 0) length = 0;
    Mqsc m{};
    m.context = context;
    m.text = text != nullptr ? text : "";
    m.length = length;
    m.end = m.text + length;
    m.cursor = m.text;
    // The scanner stops at a NUL as at the end of the text, so that whatever follows one would be
    // dropped without a word: a NUL inside the command is a syntax error. NULs (and blanks) after the
    // command only pad it.
    if (const auto *nul = static_cast<const char *>(std::memchr(m.text, '\0', static_cast<size_t>(length)))) {
        const char *rest = nul;
        while (rest < m.end && (*rest == '\0' || *rest == ' ')) ++rest;
        if (rest < m.end) return evSyntaxError(context, m.text, length, nul, nullptr);
    }
    Token verb;
    const VerbForm *form = nullptr;
    if (next(&m, kDelims, kSeps, &verb))
        for (const VerbForm &f : kVerbs)
            if (std::strlen(f.form) == verb.length && equalNoCase(f.form, verb.text, verb.length)) form = &f;
    if (form == nullptr && verb.length == 5 && equalNoCase(verb.text, "debug", 5) &&
        evDebugCommand(context, m.text, length, m.cursor, m.end))
        return 1;
    if (form == nullptr)
        return evSyntaxError(context, m.text, length, verb.length ? verb.text : nullptr, kHelpAll);
    m.help = form->help;
    // Step 1: the areas.
    Area *attrsArea = AreaGet(CMD_ATTRS_MAX * 4, 0, "ATTRSAREA");
    if (attrsArea == nullptr || !cmdTakeArea(&request->pcfCommand, CMD_AREA_SIZE, "PCFCOMMAND")) {
        AreaRelease(&attrsArea);
        return 0;
    }
    m.attrs = reinterpret_cast<uint32_t *>(AreaData(attrsArea));
    int result = 1;
    bool ok = true;
    Token object;
    if (!next(&m, kDelims, kSeps, &object) ||
        (m.command = evFindCommand(form->verb, object.text, object.length)) == nullptr) {
        ok = syntax(&m, object.length ? &object : nullptr);
    } else if (request->kind == CMD_KIND_EVENT_ESCAPE && !(m.command->flags & EV_CMD_FROM_EVENT_FUNCTION)) {
        char refusal[256];
        std::snprintf(refusal, sizeof refusal, "Command '%s %.*s' can not be issued from an event function",
                      form->verb, static_cast<int>(object.length > 64 ? 64 : object.length), object.text);
        m.result = evAddResponse(context, CMD_RESP_TEXT, reinterpret_cast<const uint8_t *>(refusal), -1);
        ok = false;
    }
    if (ok) {
        m.help = m.command->help;
        uint8_t *pcf = AreaData(request->pcfCommand);
        MQPCFInitHeader(pcf, MQCFT_COMMAND, static_cast<int32_t>(m.command->code));
        MQPCFInitBuilder(&m.pcf, pcf, static_cast<int32_t>(request->pcfCommand->capacity), 0, 0, nullptr);
        ok = objectParameter(&m, object);
        Token keyword;
        while (ok && next(&m, kDelims, kSeps, &keyword)) ok = attribute(&m, keyword);
        if (ok && m.attrCount > 0) {
            int32_t cc = 0;
            int32_t rc = 0;
            MQPCFSetParm(&m.pcf, MQCFT_INTEGER_LIST, static_cast<int32_t>(m.command->attributeList), m.attrs,
                         static_cast<int32_t>(m.attrCount * 4), 0, &cc, &rc);
            if (cc == MQCC_FAILED) ok = syntax(&m, nullptr);
        }
        if (ok) result = evExecutePcfCommand(context, pcf, m.pcf.position);
    }
    if (!ok) {
        result = m.result;
        refused(context);
    }
    AreaRelease(&attrsArea);
    return result;
}
