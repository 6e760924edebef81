// MQSC command modifiers: =FIND and =WHERE filter a command's responses, a DISPLAY whose name
// holds wildcards the command server lacks is narrowed and filtered here, and RESET QSTATS is
// checked before it goes as PCF. The modifiers are cut from the text before it is sent; the
// filters they leave on the echo line judge every response.
#include <strings.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "console/internal.h"

struct cslFilter {
    cslFilter *next;
    uint16_t kind;
    uint16_t flags;
    ExpExpression *expression;
    const cslMqscCommand *row;
    uint16_t textLength;
    uint16_t reported;  // a reply word the field does not know has been reported
    // the text follows
};

namespace {

constexpr uint16_t kFilterFind = 1;
constexpr uint16_t kFilterWhere = 2;
constexpr uint16_t kFilterKeyword = 3;
constexpr uint16_t kFilterCase = 1;
constexpr uint32_t kKeywordReport = 1;
constexpr uint32_t kKeywordKeepQuotes = 2;
constexpr uint32_t kKeywordReplyValue = 16;  // a value of a reply: quotes in it are characters

char *filterText(cslFilter *f) {
    return reinterpret_cast<char *>(f + 1);
}

// What the =WHERE variable resolver works on: set on the thread that parses or matches.
struct WhereContext {
    cslSession *session;
    const cslMqscCommand *row;
    char *command;  // parsing: the command text, to which requested attributes are added
    size_t commandSize;
    const char *response;  // matching: the response text
    size_t responseLength;
    bool failed;
    cslFilter *filter;  // matching: the filter judged
};
thread_local WhereContext *whereContext = nullptr;

void errorLine(cslSession *session, const char *text) {
    cslAddOutput(session, cslMainList(session), nullptr, text, -1, CSL_LINE_ERROR, CSL_CURRENT_COMMAND);
}

cslFilter *addFilter(cslOutputLine *echo, uint16_t kind, const char *text, size_t length) {
    if (length > UINT16_MAX - 2) return nullptr;
    auto *f = static_cast<cslFilter *>(CSGetMem(sizeof(cslFilter) + length + 2));
    if (f == nullptr) return nullptr;
    std::memset(f, 0, sizeof *f);
    f->kind = kind;
    f->textLength = static_cast<uint16_t>(length);
    std::memcpy(filterText(f), text, length);
    filterText(f)[length] = '\0';
    filterText(f)[length + 1] = '\0';
    f->next = echo->filters;
    echo->filters = f;
    return f;
}

// The position of a modifier word outside brackets, at the start or after a blank or line feed,
// followed (after blanks) by '('; -1 when none.
long findModifier(const char *text, const char *word) {
    const size_t n = std::strlen(word);
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; text[i] != '\0'; ++i) {
        char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') quote = c;
        if (c == '(') ++depth;
        if (c == ')' && depth > 0) --depth;
        if (depth != 0 || strncasecmp(text + i, word, n) != 0) continue;
        if (i > 0 && text[i - 1] != ' ' && text[i - 1] != '\n') continue;
        size_t j = i + n;
        while (text[j] == ' ') ++j;
        if (text[j] == '(') return static_cast<long>(i);
    }
    return -1;
}

// Removes [from, to) from the text.
void cut(char *text, size_t from, size_t to) {
    std::memmove(text + from, text + to, std::strlen(text + to) + 1);
}

bool isDisplay(const char *text) {
    while (*text == ' ') ++text;
    return (strncasecmp(text, "display", 7) == 0 && (text[7] == ' ' || text[7] == '\0')) ||
           (strncasecmp(text, "dis", 3) == 0 && (text[3] == ' ' || text[3] == '\0'));
}

// One modifier occurrence: its value, and the modifier cut out. 1 found, 0 none, -1 error.
int takeModifier(cslSession *session, cslOutputLine *echo, char *text, const char *word, uint32_t flags,
                 char *value, size_t valueSize, int *quoted) {
    long at = findModifier(text, word);
    if (at < 0) return 0;
    const size_t n = std::strlen(word);
    size_t open = static_cast<size_t>(at) + n;
    while (text[open] == ' ') ++open;
    const char *v = nullptr;
    size_t length = 0;
    size_t next = 0;
    if (!cslParseKeyword(session, echo, flags, word, n, open, text, std::strlen(text), &v, &length, &next,
                         quoted))
        return -1;
    if (length >= valueSize) {
        errorLine(session, "Command too long");
        return -1;
    }
    std::memcpy(value, v, length);
    value[length] = '\0';
    cut(text, static_cast<size_t>(at), next);
    return 1;
}

// =WHERE: the command's row from its verb and object words.
const cslMqscCommand *locateWhere(cslSession *session, cslConnection *c, const char *text) {
    const char *p = text;
    while (*p == ' ') ++p;
    const char *verb = p;
    while (*p != '\0' && *p != ' ' && *p != '(') ++p;
    std::string_view verbWord(verb, static_cast<size_t>(p - verb));
    while (*p == ' ') ++p;
    const char *object = p;
    while (*p != '\0' && *p != ' ' && *p != '(') ++p;
    std::string_view objectWord(object, static_cast<size_t>(p - object));
    const cslCommandView view{session->target == CSL_TARGET_OWN, session->ccdtMode,
                              c->commandLevel > 0 ? &c->capabilities : nullptr};
    char message[CSL_LOOKUP_MESSAGE] = "";
    const cslMqscCommand *row = cslFindMqscCommand(&view, verbWord, objectWord, message);
    if (row == nullptr && message[0] != '\0') cslStatusMessage(session, message, 0, 0);
    return row;
}

// The value of an attribute in the response; false when absent.
bool responseValue(const WhereContext *w, const char *keyword, const char **value, size_t *length) {
    size_t spanStart = 0;
    size_t spanLength = 0;
    if (!cslFindKeyword(w->session, nullptr, kKeywordKeepQuotes | kKeywordReplyValue, w->response,
                        static_cast<int64_t>(w->responseLength), keyword, &spanStart, &spanLength, value,
                        length))
        return false;
    return spanLength > 0;
}

// Attributes that a reply shows as a bare word, the word or its negative form NOword: their value is
// their presence, 1 for the word and 0 for NOword, compared with YES or NO as well as with the
// field's own words.
const char *const kFlagKeywords[] = {"SHARE", "TRIGGER", "HARDENBO", "SYNCPT"};
const evValueName kFlagWords[] = {{0, 1, "Yes", "YES", 0}, {0, 0, "No", "NO", 0}, {0, 0, "", nullptr, 0}};

bool isFlag(const evParmDef *field) {
    if (field == nullptr) return false;
    for (const char *k : kFlagKeywords)
        if (std::strcmp(field->keyword, k) == 0) return true;
    return false;
}

// NOword of a flag field: the field, else none.
const evParmDef *negativeFlag(const evParmDef *table, const char *name, size_t length) {
    if (length <= 2 || strncasecmp(name, "NO", 2) != 0) return nullptr;
    for (const evParmDef *row = table; row != nullptr && row->keyword != nullptr; ++row)
        if (isFlag(row) && std::strlen(row->keyword) == length - 2 &&
            strncasecmp(row->keyword, name + 2, length - 2) == 0)
            return row;
    return nullptr;
}

// A bare word of the reply outside brackets, with blanks or the text's ends around it.
bool replyHasWord(const char *text, size_t n, const char *word) {
    const size_t k = std::strlen(word);
    auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    int depth = 0;
    for (size_t i = 0; i + k <= n; ++i) {
        if (text[i] == '(') ++depth;
        if (text[i] == ')' && depth > 0) --depth;
        if (depth == 0 && (i == 0 || blank(text[i - 1])) && std::strncmp(text + i, word, k) == 0 &&
            (i + k == n || blank(text[i + k])))
            return true;
    }
    return false;
}

int64_t number(const char *text, size_t length) {
    int64_t v = 0;
    bool negative = length > 0 && text[0] == '-';
    for (size_t i = negative ? 1 : 0; i < length && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        v = v * 10 + (text[i] - '0');
    return negative ? -v : v;
}

int whereValue(ExpExpression *e, const WhereContext *w, const evParmDef *field, int suffixLong,
               ExpValue *result) {
    const char kind = field->type != nullptr ? field->type[0] : '\0';
    const char *value = nullptr;
    size_t length = 0;
    if (isFlag(field)) {
        char negative[64];
        std::snprintf(negative, sizeof negative, "NO%s", field->keyword);
        if (replyHasWord(w->response, w->responseLength, field->keyword)) {
            expSetInt(result, 1);
            return 1;
        }
        if (replyHasWord(w->response, w->responseLength, negative)) {
            expSetInt(result, 0);
            return 1;
        }
    }
    if (!responseValue(w, field->keyword, &value, &length)) {
        e->valueMissing = 1;
        return 0;
    }
    switch (kind) {
        case 'I': {
            const char *comma = static_cast<const char *>(std::memchr(value, ',', length));
            if (!suffixLong) {
                expSetInt(result,
                          number(value, comma != nullptr ? static_cast<size_t>(comma - value) : length));
            } else {
                expSetInt(result, comma != nullptr
                                      ? number(comma + 1, length - static_cast<size_t>(comma + 1 - value))
                                      : 0);
            }
            return 1;
        }
        case 'i':
        case 'j': {
            if (length > 0 && (std::isdigit(static_cast<unsigned char>(value[0])) || value[0] == '-')) {
                expSetInt(result, number(value, length));
                return 1;
            }
            const evValueName *row = cslFindValueName(field->valueNames, value, length);
            if (row == nullptr) {
                // Never a silent 0: the object is not shown, and the command says why once.
                if (w->filter != nullptr && !w->filter->reported) {
                    w->filter->reported = 1;
                    char text[200];
                    std::snprintf(text, sizeof text, "=WHERE() does not know the value '%.*s' of %s",
                                  static_cast<int>(length > 60 ? 60 : length), value, field->keyword);
                    errorLine(w->session, text);
                }
                e->valueMissing = 1;
                return 0;
            }
            expSetInt(result, row->value);
            return 1;
        }
        case 'L':
        case 'l': {
            const char *texts[256];
            size_t lengths[256];
            size_t count = 0;
            const char *at = value;
            const char *item = nullptr;
            size_t itemLength = 0;
            while (count < 256 && cslNextListItem(&at, value + length, &item, &itemLength)) {
                texts[count] = item;
                lengths[count++] = itemLength;
            }
            return expMakeList(result, count, texts, lengths);
        }
        default:
            expSetString(result, EXP_STR, const_cast<char *>(value), length);
            return 1;
    }
}

// An attribute field of a command row by its whole keyword or a unique abbreviation (no case).
// The MQSC tables are constant, so their keyword lengths are counted here.
const evParmDef *findAttribute(const evParmDef *table, const char *name, size_t length, int *ambiguous) {
    *ambiguous = 0;
    if (table == nullptr || length == 0) return nullptr;
    const evParmDef *found = nullptr;
    int count = 0;
    for (const evParmDef *row = table; row->keyword != nullptr; ++row) {
        if (row->type != nullptr && row->type[0] != '\0' && std::strchr("aqw", row->type[0]) != nullptr)
            continue;
        const size_t k = std::strlen(row->keyword);
        if (k < length || strncasecmp(row->keyword, name, length) != 0) continue;
        if (k == length) return row;
        found = row;
        ++count;
    }
    *ambiguous = count > 1;
    return count == 1 ? found : nullptr;
}

// Appends " KEYWORD " to the command unless it already asks for it.
void requestAttribute(WhereContext *w, const char *keyword) {
    char word[64];
    std::snprintf(word, sizeof word, " %s ", keyword);
    if (evMemFindNoCase(w->command, std::strlen(w->command), word, std::strlen(word)) != nullptr) return;
    const size_t used = std::strlen(w->command);
    if (used + std::strlen(word) + 1 > w->commandSize) {
        w->failed = true;
        return;
    }
    std::memcpy(w->command + used, word, std::strlen(word) + 1);
}

int resolveWhereVariable(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result) {
    WhereContext *w = whereContext;
    if (w == nullptr || var->data == nullptr) return 0;
    const char *name = var->data;
    size_t length = std::strlen(name);
    if (name[0] == '@' || name[0] == '_')
        return cslScript.whereVariable != nullptr ? cslScript.whereVariable(e, partner, var, result) : 0;
    int suffixLong = 0;
    bool suffix = false;
    if (const char *dot = static_cast<const char *>(std::memchr(name, '.', length))) {
        const char *s = dot + 1;
        if (strcasecmp(s, "long") == 0)
            suffixLong = 1;
        else if (strcasecmp(s, "short") != 0)
            return expSetError(e, length, "Unknown suffix on variable '%.*s'", static_cast<int>(length),
                               name);
        suffix = true;
        length = static_cast<size_t>(dot - name);
    }
    if (partner != nullptr && partner->type == EXP_VAR && partner->data != nullptr) {
        int partnerAmbiguous = 0;
        const size_t partnerLength = std::strlen(partner->data);
        const evParmDef *partnerField =
            findAttribute(w->row->parms, partner->data, partnerLength, &partnerAmbiguous);
        if (partnerField == nullptr) partnerField = negativeFlag(w->row->parms, partner->data, partnerLength);
        if (cslResolveValueName(e, partnerField, var, result)) return 1;
        if (isFlag(partnerField)) {
            const evValueName *word = cslFindValueName(kFlagWords, name, length);
            if (word != nullptr) {
                expSetInt(result, word->value);
                return 1;
            }
        }
    }
    int ambiguous = 0;
    const evParmDef *field = findAttribute(w->row->parms, name, length, &ambiguous);
    const evParmDef *negated = field == nullptr ? negativeFlag(w->row->parms, name, length) : nullptr;
    if (negated != nullptr) field = negated;
    if (field == nullptr && ambiguous)
        return expSetError(e, length, "Variable '%.*s' is ambiguous", static_cast<int>(length), name);
    if (field == nullptr)
        return expSetError(e, length, "Unknown variable '%.*s'", static_cast<int>(length), name);
    const char kind = field->type != nullptr ? field->type[0] : '\0';
    if (suffix && kind != 'I')
        return expSetError(e, length, "Invalid suffix used on variable '%.*s'", static_cast<int>(length),
                           name);
    if (std::strchr("IijLlRrs", kind) == nullptr || kind == '\0')
        return expSetError(e, length, "Variable '%s' is not suitable for =WHERE() clause", name);
    if (e->trial) {
        // Only a DISPLAY asks for attributes; an ALTER of the edit mode is sent as typed.
        // A list (NAMES, MSGEXIT, RCVEXIT) is asked for as any other attribute: unasked, the reply
        // lacks it and the filter would hide every object. Only the object's name (R) always comes.
        if (w->command != nullptr && kind != 'R' && strcasecmp(w->row->verb, "DISPLAY") == 0)
            requestAttribute(w, field->keyword);
        if (kind == 'L' || kind == 'l') return expMakeList(result, 0, nullptr, nullptr);
        if (kind == 'R' || kind == 'r' || kind == 's') {
            expSetString(result, EXP_STR, const_cast<char *>(""), 0);
            return 1;
        }
        expSetInt(result, 0);
        return 1;
    }
    if (!whereValue(e, w, field, suffixLong, result)) return 0;
    if (negated != nullptr) expSetInt(result, result->value.i == 0 ? 1 : 0);
    return 1;
}

int applyWhere(cslSession *session, cslConnection *c, cslOutputLine *echo, char *text) {
    const cslMqscCommand *row = nullptr;
    char value[1100];
    for (;;) {
        int quoted = 0;
        int found = takeModifier(session, echo, text, "=where", kKeywordReport | kKeywordKeepQuotes, value,
                                 sizeof value, &quoted);
        if (found <= 0) return found == 0;
        if (row == nullptr) {
            row = locateWhere(session, c, text);
            if (row == nullptr) {
                errorLine(session, "Unrecognised command to use =WHERE() clause");
                return 0;
            }
            if (strcasecmp(row->verb, "DISPLAY") != 0 &&
                !(session->ccdtMode && strcasecmp(row->verb, "ALTER") == 0)) {
                errorLine(session, "Command is not suitable for =WHERE() clause");
                return 0;
            }
        }
        cslFilter *f = addFilter(echo, kFilterWhere, value, std::strlen(value));
        if (f == nullptr) {
            errorLine(session, "Unable to allocate storage");
            session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
            return 0;
        }
        f->row = row;
        WhereContext w{session, row, text, CSL_BUFFER_SIZE, nullptr, 0, false, nullptr};
        whereContext = &w;
        char *error = nullptr;
        const uint32_t flags =
            EXP_PARSE_AT_NAMES | EXP_PARSE_DOUBLED_QUOTES | (session->cswhere ? EXP_PARSE_CASE : 0);
        // The script's program lets the filter call the script's own functions.
        ExpCallerBlock caller{};
        caller.program = session->program;
        // Error positions count from the start of the command as typed (the echo line's text).
        const char *typed = cslLineText(echo);
        const char *valueAt = evMemFindNoCase(typed, echo->length, value, std::strlen(value));
        const auto base = static_cast<uint32_t>(valueAt != nullptr ? valueAt - typed : 0);
        // Parsed from the filter's own copy: its string literals point into the text they were read from.
        f->expression = expParseExpression(filterText(f), -1, base, flags, expFilterOperatorTable,
                                           resolveWhereVariable, cslScript.whereFunction, &caller, &error);
        whereContext = nullptr;
        if (f->expression == nullptr || w.failed) {
            errorLine(session, error != nullptr && error[0] != '\0'
                                   ? error
                                   : (w.failed ? "Command too long" : "=WHERE() Syntax error"));
            if (error != nullptr) CSFreeMem(error);
            return 0;
        }
    }
}

// The DISPLAY rewrite table: typed keyword, response keyword, platform (0 both, 1 z/OS, 2 not).
struct Rewrite {
    const char *typed;
    const char *response;
    int platform;
};
const Rewrite kRewrites[] = {
    {"CHL", "CHANNEL", 0},       {"CHANNEL", "CHANNEL", 0},   {"CHS", "CHSTATUS", 1},
    {"CHSTATUS", "CHSTATUS", 1}, {"CHS", "CHANNEL", 2},       {"CHSTATUS", "CHANNEL", 2},
    {"PRC", "PROCESS", 0},       {"PROCESS", "PROCESS", 0},   {"NL", "NAMELIST", 0},
    {"NAMELIST", "NAMELIST", 0}, {"Q", "QUEUE", 0},           {"QUEUE", "QUEUE", 0},
    {"QA", "QUEUE", 0},          {"QALIAS", "QUEUE", 0},      {"QC", "QUEUE", 0},
    {"QCLUSTER", "QUEUE", 0},    {"QR", "QUEUE", 0},          {"QREMOTE", "QUEUE", 0},
    {"QM", "QUEUE", 0},          {"QMODEL", "QUEUE", 0},      {"QL", "QUEUE", 0},
    {"QLOCAL", "QUEUE", 0},      {"QSTATUS", "QUEUE", 2},     {"QSTATUS", "QSTATUS", 1},
    {"SBSTATUS", "SUB", 2},      {"SUB", "SUB", 2},           {"SBSTATUS", "SBSTATUS", 1},
    {"LSTR", "LISTENER", 2},     {"LSSTATUS", "LISTENER", 2}, {"LISTENER", "LISTENER", 2},
    {"SVSTATUS", "SERVICE", 2},  {"SERVICE", "SERVICE", 2},   {"CHLAUTH", "CHLAUTH", 0},
};

int rewriteDisplay(cslSession *session, cslConnection *c, cslOutputLine *echo, char *text) {
    if (!isDisplay(text)) return 1;
    const bool zos = c->platform == 1;
    for (char *open = std::strchr(text, '('); open != nullptr; open = std::strchr(open + 1, '(')) {
        char *wordEnd = open;
        while (wordEnd > text && wordEnd[-1] == ' ') --wordEnd;
        char *word = wordEnd;
        while (word > text && word[-1] != ' ' && word[-1] != ')') --word;
        const char *value = nullptr;
        size_t length = 0;
        size_t next = 0;
        int quoted = 0;
        const size_t at = static_cast<size_t>(open - text);
        if (!cslParseKeyword(session, echo, kKeywordReport | kKeywordKeepQuotes, word,
                             static_cast<size_t>(wordEnd - word), at, text, std::strlen(text), &value,
                             &length, &next, &quoted))
            return 0;
        // A quoted pattern ('f.*') is judged, and cut, inside its quotes.
        const bool valueQuoted = length >= 2 && (value[0] == '\'' || value[0] == '"');
        const char *patternText = valueQuoted ? value + 1 : value;
        size_t patternLength = valueQuoted ? length - 2 : length;
        const char *star = static_cast<const char *>(std::memchr(patternText, '*', patternLength));
        const char *question = static_cast<const char *>(std::memchr(patternText, '?', patternLength));
        if (!((star != nullptr && star != patternText + patternLength - 1) || question != nullptr)) continue;
        const Rewrite *rewrite = nullptr;
        for (const Rewrite &r : kRewrites) {
            if (std::strlen(r.typed) == static_cast<size_t>(wordEnd - word) &&
                strncasecmp(r.typed, word, std::strlen(r.typed)) == 0 &&
                (r.platform == 0 || (r.platform == 1) == zos)) {
                rewrite = &r;
                break;
            }
        }
        if (rewrite == nullptr) continue;
        // The item: "KEYWORD(", a NUL, the pattern.
        char item[600];
        int n = std::snprintf(item, sizeof item, "%s(", rewrite->response);
        if (n < 0 || static_cast<size_t>(n) + 1 + patternLength >= sizeof item) continue;
        std::memcpy(item + n + 1, patternText, patternLength);
        if (!valueQuoted)
            for (size_t i = 0; i < patternLength; ++i)
                item[static_cast<size_t>(n) + 1 + i] = static_cast<char>(
                    std::toupper(static_cast<unsigned char>(item[static_cast<size_t>(n) + 1 + i])));
        item[static_cast<size_t>(n)] = '\0';
        if (addFilter(echo, kFilterKeyword, item, static_cast<size_t>(n) + 1 + patternLength) == nullptr)
            return 0;
        // The command server gets every object with the prefix.
        const char *first = star != nullptr && (question == nullptr || star < question) ? star : question;
        const size_t from = static_cast<size_t>(first - text);
        const size_t to = static_cast<size_t>(patternText + patternLength - text);
        text[from] = '*';
        cut(text, from + 1, to);
        open = text + from;
    }
    return 1;
}

constexpr int kNamelistMax = 256;

bool typedWord(const char *text, size_t length, std::initializer_list<const char *> words) {
    for (const char *w : words)
        if (std::strlen(w) == length && strncasecmp(text, w, length) == 0) return true;
    return false;
}

// ALTER NAMELIST with =ADD or =RMV: the namelist's names are asked for first. 1 go on (handled
// set when the DISPLAY went), 0 not sent.
int applyNamelist(cslSession *session, cslConnection *c, cslOutputLine *echo, const char *text) {
    const char *p = text;
    while (*p == ' ') ++p;
    const char *verb = p;
    while (*p != '\0' && *p != ' ' && *p != '(') ++p;
    if (!typedWord(verb, static_cast<size_t>(p - verb), {"alt", "alter"})) return 1;
    while (*p == ' ') ++p;
    const char *object = p;
    while (*p != '\0' && *p != ' ' && *p != '(') ++p;
    const size_t objectLength = static_cast<size_t>(p - object);
    if (!typedWord(object, objectLength, {"nl", "namelist"})) return 1;
    if (findModifier(text, "=add") < 0 && findModifier(text, "=rmv") < 0) return 1;
    if (findModifier(text, "names") >= 0) {
        errorLine(session, "You can not specify NAMES() if using =ADD() or =RMV()");
        session->resultFlags.fetch_or(CSL_RESULT_FAILED);
        return 0;
    }
    char keyword[16];
    std::snprintf(keyword, sizeof keyword, "%.*s", static_cast<int>(objectLength), object);
    size_t spanStart = 0, spanLength = 0, nameLength = 0;
    const char *name = nullptr;
    if (!cslFindKeyword(session, echo, kKeywordReport | kKeywordKeepQuotes, text, -1, keyword, &spanStart,
                        &spanLength, &name, &nameLength) ||
        spanLength == 0 || nameLength > 60)
        return 1;  // left as typed
    char display[128];
    std::snprintf(display, sizeof display, "DISPLAY NAMELIST(%.*s) NAMES", static_cast<int>(nameLength),
                  name);
    if (c->namelistCommand != nullptr) CSFreeMem(c->namelistCommand);
    c->namelistCommand = cslStrDup(text);
    c->namelistSent = 0;
    if (c->namelistCommand == nullptr) {
        errorLine(session, "Unable to allocate storage");
        session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
        return 0;
    }
    if (cslSendCommand(session, c, display, CSL_REPLY_NAMELIST)) return 2;
    session->summaryIssued.fetch_sub(1);  // the refused command is counted once, by its caller
    return 0;
}

struct NameList {
    char *names[kNamelistMax];
    int count;
    ~NameList() {
        for (int i = 0; i < count; ++i) CSFreeMem(names[i]);
    }
    bool add(const char *text, size_t length, bool quote) {
        if (count >= kNamelistMax) return false;
        auto *name = static_cast<char *>(CSGetMem(length + 3));
        if (name == nullptr) return false;
        std::snprintf(name, length + 3, quote ? "'%.*s'" : "%.*s", static_cast<int>(length), text);
        names[count++] = name;
        return true;
    }
};

}  // namespace

int cslRebuildNamelist(cslSession *session, const char *typed, const char *names, size_t namesLength,
                       char *out, size_t outSize) {
    (void)session;
    NameList list{{}, 0};
    const char *at = names;
    const char *item = nullptr;
    size_t length = 0;
    while (cslNextListItem(&at, names + namesLength, &item, &length)) {
        if (length == 0) continue;
        const bool quoted = item[0] == '\'' || item[0] == '"';
        if (!list.add(item, length, !quoted)) {
            std::snprintf(out, outSize, "A namelist can only contain %d names", kNamelistMax);
            return 0;
        }
    }
    size_t used = 0;
    int adds = 0, rmvs = 0;
    auto put = [&](const char *text, size_t n) {
        if (used + n + 1 > outSize) return false;
        std::memcpy(out + used, text, n);
        used += n;
        out[used] = '\0';
        return true;
    };
    const size_t typedLength = std::strlen(typed);
    for (size_t i = 0; i < typedLength;) {
        const bool isAdd = strncasecmp(typed + i, "=add", 4) == 0;
        const bool isRmv = strncasecmp(typed + i, "=rmv", 4) == 0;
        size_t open = i + 4;
        while (open < typedLength && typed[open] == ' ') ++open;
        if ((!isAdd && !isRmv) || open >= typedLength || typed[open] != '(') {
            char c = typed[i];
            if (c == '\'' || c == '"' || c == '(') {  // quoted and bracketed text is copied whole
                size_t end = i + 1;
                int depth = c == '(' ? 1 : 0;
                while (end < typedLength && (c == '(' ? depth > 0 : typed[end] != c)) {
                    if (c == '(' && typed[end] == '(') ++depth;
                    if (c == '(' && typed[end] == ')') --depth;
                    ++end;
                }
                if (c != '(' && end < typedLength) ++end;
                if (!put(typed + i, end - i)) return 0;
                i = end;
                continue;
            }
            if (!put(typed + i, 1)) return 0;
            ++i;
            continue;
        }
        if ((isAdd && adds++ > 0) || (isRmv && rmvs++ > 0)) {
            std::snprintf(out, outSize,
                          isAdd ? "only one =add() modifier is allowed per command"
                                : "only one =rmv() modifier is allowed per command");
            return 0;
        }
        const char *value = nullptr;
        size_t valueLength = 0, next = 0;
        int quoted = 0;
        if (!cslParseKeyword(nullptr, nullptr, kKeywordKeepQuotes, "=add", 4, open, typed, typedLength,
                             &value, &valueLength, &next, &quoted)) {
            std::snprintf(out, outSize, "No closing bracket found for '%s' keyword", isAdd ? "=add" : "=rmv");
            return 0;
        }
        const char *p = value;
        while (cslNextListItem(&p, value + valueLength, &item, &length)) {
            if (length == 0) continue;
            if (isAdd) {
                bool present = false;
                for (int k = 0; k < list.count && !present; ++k)
                    present =
                        cslCompareNames(list.names[k], std::strlen(list.names[k]), item, length, 0) != 0;
                if (!present && !list.add(item, length, false)) {
                    std::snprintf(out, outSize, "A namelist can only contain %d names", kNamelistMax);
                    return 0;
                }
            } else {
                int kept = 0;
                for (int k = 0; k < list.count; ++k) {
                    if (cslCompareNames(item, length, list.names[k], std::strlen(list.names[k]), 1)) {
                        CSFreeMem(list.names[k]);
                    } else {
                        list.names[kept++] = list.names[k];
                    }
                }
                list.count = kept;
            }
        }
        i = next;
    }
    if (!put(" NAMES(", 7)) return 0;
    if (list.count == 0 && !put("' '", 3)) return 0;
    for (int k = 0; k < list.count; ++k)
        if ((k > 0 && !put(",", 1)) || !put(list.names[k], std::strlen(list.names[k]))) return 0;
    return put(")", 1) ? 1 : 0;
}

namespace {

// Where a value of a reply ends: a reply shows a value as it is, quotes and all, each followed by a
// blank or the line's end. Its ')' is the one at bracket depth 0 followed so; with brackets that do
// not pair up in the value, the first ')' followed so.
size_t replyValueEnd(const char *text, size_t start, size_t end) {
    int depth = 0;
    size_t first = end;
    for (size_t i = start; i < end; ++i) {
        if (text[i] == '(') {
            ++depth;
            continue;
        }
        if (text[i] != ')') continue;
        const bool last = i + 1 >= end || std::strchr(" \t\r\n", text[i + 1]) != nullptr;
        if (last && first == end) first = i;
        if (depth == 0 && last) return i;
        if (depth > 0) --depth;
    }
    return first;
}

}  // namespace

void cslFreeFilters(cslOutputLine *line) {
    while (line->filters != nullptr) {
        cslFilter *f = line->filters;
        line->filters = f->next;
        if (f->expression != nullptr) expFreeExpression(f->expression);
        CSFreeMem(f);
    }
}

int cslParseKeyword(cslSession *session, cslOutputLine *, uint32_t flags, const char *keyword,
                    size_t keywordLength, size_t position, const char *text, size_t end, const char **value,
                    size_t *valueLength, size_t *next, int *quoted) {
    char message[200];
    const int kl = static_cast<int>(keywordLength);
    auto report = [&]() {
        if ((flags & kKeywordReport) != 0 && session != nullptr) errorLine(session, message);
        return 0;
    };
    *quoted = 0;
    if (position >= end || text[position] != '(') {
        std::snprintf(message, sizeof message, "No closing bracket found for '%.*s' keyword", kl, keyword);
        return report();
    }
    size_t start = position + 1;
    int depth = 0;
    char quote = 0;
    bool hadString = false;
    size_t close = (flags & kKeywordReplyValue) != 0 ? replyValueEnd(text, start, end) : end;
    for (size_t i = start; i < end && (flags & kKeywordReplyValue) == 0; ++i) {
        char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            if (hadString && (flags & kKeywordKeepQuotes) == 0) {
                std::snprintf(message, sizeof message, "Unexpected quote in keyword '%.*s'", kl, keyword);
                return report();
            }
            quote = c;
            hadString = true;
            continue;
        }
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth-- == 0) {
                close = i;
                break;
            }
        } else if (hadString && c != ' ' && (flags & kKeywordKeepQuotes) == 0) {
            std::snprintf(message, sizeof message, "Unexpected character '%c' in keyword '%.*s'", c, kl,
                          keyword);
            return report();
        }
    }
    if (quote != 0) {
        std::snprintf(message, sizeof message, "End of string missing in keyword '%.*s'", kl, keyword);
        return report();
    }
    if (close == end && (flags & 4) == 0) {
        std::snprintf(message, sizeof message, "No closing bracket found for '%.*s' keyword", kl, keyword);
        return report();
    }
    size_t from = start;
    size_t to = close;
    if ((flags & 8) == 0) {
        while (from < to && text[from] == ' ') ++from;
        while (to > from && text[to - 1] == ' ') --to;
    }
    if ((flags & kKeywordKeepQuotes) == 0 && to - from >= 2 && (text[from] == '\'' || text[from] == '"') &&
        text[to - 1] == text[from]) {
        ++from;
        --to;
        *quoted = 1;
    }
    *value = text + from;
    *valueLength = to - from;
    *next = close < end ? close + 1 : end;
    return 1;
}

int cslFindKeyword(cslSession *session, cslOutputLine *echo, uint32_t flags, const char *text, int64_t length,
                   const char *keyword, size_t *spanStart, size_t *spanLength, const char **value,
                   size_t *valueLength) {
    const size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    const size_t k = std::strlen(keyword);
    *spanStart = *spanLength = 0;
    *value = nullptr;
    *valueLength = 0;
    int depth = 0;
    for (size_t i = 0; i + k <= n; ++i) {
        char c = text[i];
        if (c == '(') ++depth;
        if (c == ')' && depth > 0) --depth;
        if (depth != 0 || strncasecmp(text + i, keyword, k) != 0) continue;
        if (i > 0 && std::isalnum(static_cast<unsigned char>(text[i - 1]))) continue;
        size_t j = i + k;
        while (j < n && text[j] == ' ') ++j;
        if (j >= n || text[j] != '(') continue;
        size_t next = 0;
        int quoted = 0;
        if (!cslParseKeyword(session, echo, flags, keyword, k, j, text, n, value, valueLength, &next,
                             &quoted))
            return 0;
        *spanStart = i;
        *spanLength = next - i;
        return 1;
    }
    return 1;
}

int cslNextListItem(const char **position, const char *end, const char **item, size_t *length) {
    const char *p = *position;
    while (p < end && std::strchr(" \n\r\t", *p) != nullptr) ++p;
    if (p >= end) return 0;
    const char *start = p;
    int depth = 0;
    char quote = 0;
    for (; p < end; ++p) {
        if (quote != 0) {
            if (*p == quote) quote = 0;
            continue;
        }
        if (*p == '\'' || *p == '"') quote = *p;
        if (*p == '(' || *p == '[' || *p == '{') ++depth;
        if ((*p == ')' || *p == ']' || *p == '}') && depth > 0) --depth;
        if (*p == ',' && depth == 0) break;
    }
    const char *stop = p;
    while (stop > start && std::strchr(" \n\r", stop[-1]) != nullptr) --stop;
    *item = start;
    *length = static_cast<size_t>(stop - start);
    *position = p < end ? p + 1 : end;
    return 1;
}

int cslCompareNames(const char *a, size_t aLength, const char *b, size_t bLength, int generic) {
    auto unquote = [](const char **text, size_t *length) {
        if (*length >= 2 && ((*text)[0] == '\'' || (*text)[0] == '"') && (*text)[*length - 1] == (*text)[0]) {
            ++*text;
            *length -= 2;
            return true;
        }
        return false;
    };
    const bool aQuoted = unquote(&a, &aLength);
    const bool bQuoted = unquote(&b, &bLength);
    const bool exact = aQuoted || (!generic && bQuoted);
    if (generic)
        return exact ? evWildMatch(b, bLength, a, aLength) : evWildMatchNoCase(b, bLength, a, aLength);
    return aLength == bLength && (exact ? std::memcmp(a, b, aLength) == 0 : strncasecmp(a, b, aLength) == 0);
}

int cslParseResetQStats(cslSession *session, const char *text, char *queue, size_t queueSize, int *isReset) {
    *isReset = 0;
    const char *cursor = text;
    const char *end = text + std::strlen(text);
    const char *tokens[6];
    size_t lengths[6];
    int count = 0;
    const char *failAt = nullptr;
    while (count < 6) {
        const char *lexeme = nullptr;
        size_t length = 0;
        if (scanGetToken(&cursor, end, "()[]!|&<>-+/=,;", " ()[]!|&<>-+/=\n\t,;", &lexeme, &length) == 1 &&
            length == 0)
            break;
        tokens[count] = lexeme;
        lengths[count++] = length;
    }
    auto is = [&](int i, const char *word) {
        return i < count && lengths[i] == std::strlen(word) && strncasecmp(tokens[i], word, lengths[i]) == 0;
    };
    if (!is(0, "RESET") || !is(1, "QSTATS")) return 1;
    *isReset = 1;
    if (!is(2, "("))
        failAt = count > 2 ? tokens[2] : end;
    else if (count < 4 || is(3, ")"))
        failAt = count > 3 ? tokens[3] : end;
    else if (!is(4, ")"))
        failAt = count > 4 ? tokens[4] : end;
    else if (count > 5)
        failAt = tokens[5];
    else if (lengths[3] > CSL_NAME_MAX)
        failAt = tokens[3] + CSL_NAME_MAX;  // a longer name would be cut to another queue's
    if (failAt == nullptr) {
        std::snprintf(queue, queueSize, "%.*s", static_cast<int>(lengths[3]), tokens[3]);
        return 1;
    }
    char answer[1200];
    const int upTo = static_cast<int>(failAt - text) + (failAt < end ? 1 : 0);
    std::snprintf(answer, sizeof answer,
                  "AMQ8405: Syntax error detected at or near command segment below :-\n%.*s\n\nAMQ8427: "
                  "Valid syntax for "
                  "the MQSC command:\n\n  RESET QSTATS( generic_q_name )\n",
                  upTo > 1000 ? 1000 : upTo, text);
    cslOutputResponse(session, session->echoLine, answer, std::strlen(answer));
    return 0;
}

int cslApplyModifiers(cslSession *session, cslConnection *c, int *handled) {
    *handled = 0;
    CSRecursiveGuard guard(session->displayLock);
    cslOutputLine *echo = session->echoLine;
    if (echo == nullptr || echo->command != session->requestPosted.load()) return 1;
    char *text = c->requestText;
    const int namelist = applyNamelist(session, c, echo, text);
    if (namelist != 1) {
        *handled = namelist == 2;
        return namelist == 2;
    }
    char value[1100];
    for (;;) {
        int quoted = 0;
        int found = takeModifier(session, echo, text, "=find", kKeywordReport, value, sizeof value, &quoted);
        if (found < 0) return 0;
        if (found == 0) break;
        char pattern[1104];
        int n = std::snprintf(pattern, sizeof pattern, "*%s*", value);
        cslFilter *f = addFilter(echo, kFilterFind, pattern, static_cast<size_t>(n));
        if (f == nullptr) return 0;
        if (quoted) f->flags |= kFilterCase;
    }
    if (!applyWhere(session, c, echo, text)) return 0;
    if (session->ccdtMode || session->target == CSL_TARGET_OWN) return 1;
    return rewriteDisplay(session, c, echo, text);
}

int cslMatchResponse(cslSession *session, cslOutputLine *echo, const char *text, size_t length) {
    for (cslFilter *f = echo->filters; f != nullptr; f = f->next) {
        const char *pattern = filterText(f);
        if (f->kind == kFilterFind) {
            bool exact = (f->flags & kFilterCase) != 0;
            if (!(exact ? evWildMatch(text, length, pattern, f->textLength)
                        : evWildMatchNoCase(text, length, pattern, f->textLength)))
                return 0;
        } else if (f->kind == kFilterWhere) {
            WhereContext w{session, f->row, nullptr, 0, text, length, false, f};
            whereContext = &w;
            ExpValue result{};
            f->expression->valueMissing = 0;
            int ok = expEvaluateCondition(f->expression, &result);
            whereContext = nullptr;
            bool truth = false;
            if (ok && !f->expression->valueMissing) {
                if (result.type == EXP_INT)
                    truth = result.value.i != 0;
                else if (result.type == EXP_DBL)
                    truth = result.value.d != 0.0;
                else if (expIsString(&result))
                    truth = result.value.len != 0;
                else if (result.type == EXP_LIST)
                    truth = expListTotalLength(&result) != 0;
                else
                    truth = result.value.i != 0;
            }
            expReleaseValue(&result);
            if (!truth) return 0;
        } else if (f->kind == kFilterKeyword) {
            const size_t keywordLength = std::strlen(pattern);
            const char *at = evMemFind(text, length, pattern, keywordLength);
            if (at == nullptr) continue;
            const char *v = at + keywordLength;
            const char *stop = text + length;
            int depth = 0;
            const char *close = nullptr;
            for (const char *p = v; p < stop; ++p) {
                if (*p == '(') ++depth;
                if (*p == ')' && depth-- == 0) {
                    close = p;
                    break;
                }
            }
            if (close == nullptr) continue;
            if (v < close && (*v == '\'' || *v == '"')) ++v;
            const char *e = close;
            if (e > v && (e[-1] == '\'' || e[-1] == '"')) --e;
            while (e > v && e[-1] == ' ') --e;
            const char *valuePattern = pattern + keywordLength + 1;
            if (!evWildMatch(v, static_cast<size_t>(e - v), valuePattern, f->textLength - keywordLength - 1))
                return 0;
        }
    }
    return 1;
}
