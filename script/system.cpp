// System variables (the '_' names, computed when read) and the attributes of the current foreach
// object: its response lines searched for KEYWORD(value), joined into one attribute text when a
// value runs over a line end.
#include <strings.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "console/console.h"
#include "script/internal.h"

namespace {

bool nameIs(const char *name, size_t length, const char *literal) {
    return std::strlen(literal) == length && std::memcmp(name, literal, length) == 0;
}

// A copy of text as the value (an empty text the plain empty string).
int setText(ExpValue *out, const char *text, size_t length) {
    if (length == 0) {
        static char empty[1] = "";
        expSetString(out, EXP_STR, empty, 0);
        return 1;
    }
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr) return 0;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    expSetString(out, EXP_PSTR, copy, length);
    return 1;
}
int setText(ExpValue *out, const char *text) {
    return setText(out, text, std::strlen(text));
}

cslConnection *currentConnection(cmdProgram *program) {
    cslSession *session = cmdSession(program);
    return session != nullptr ? session->current : nullptr;
}

// The current connection, made first when the console connects on demand (not while a request is
// under way: a connection's thread must not issue one).
cslConnection *connectOnDemand(cmdProgram *program) {
    cslSession *session = cmdSession(program);
    if (session == nullptr) return nullptr;
    if (session->connectPending && !session->configNotApplied && session->waiting.load() == 0) {
        session->connectPending = 0;
        cslIssueMQCommand(session, "=conn", CSL_REQUEST_INTERNAL, 1, 0,
                          session->templateConnection.waitSeconds, nullptr);
    }
    return session->current;
}

// The lines of the object that starts at first: until the next object or another command's line.
bool inObject(const cslOutputLine *first, const cslOutputLine *line) {
    if (line == first) return true;
    return line->command == first->command && (line->flags & CSL_LINE_OF_OBJECT) != 0 &&
           (line->flags & CSL_LINE_FIRST_OF_OBJECT) == 0;
}

bool isMessageLine(const char *text, size_t length) {
    while (length > 0 && (*text == ' ' || *text == '\t')) {
        ++text;
        --length;
    }
    return length >= 3 && (std::strncmp(text, "AMQ", 3) == 0 || std::strncmp(text, "CSQ", 3) == 0);
}

const char *trimStart(const char *p, const char *end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
    return p;
}
const char *trimEnd(const char *start, const char *end) {
    while (end > start && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) --end;
    return end;
}

// The ')' that closes a value of a response, or null. Unlike a command's text, a response shows its
// values unquoted (DESCR(it's "here")): a quote in one is a character of the value, never the start
// of a string, or the value would run on and read as empty. Nor does a bracket in it need its pair
// (DESCR(a) DESCR(b), DESCR(x)) or DESCR(( open)): the value ends at the first ')' after which the
// rest of the entry reads as attributes, KEYWORD or KEYWORD(value), each keyword once in the entry,
// or at the entry's end. An entry that no ')' reads so, or that takes too many tries (a hostile
// reply), falls back to the first ')' outside the value's own brackets.
struct EntryReader {
    static constexpr int kMaxKeywords = 256;
    const char *end;
    const char *keywords[kMaxKeywords];
    size_t keywordLengths[kMaxKeywords];
    int count = 0;
    int budget = 20000;
    // The ends found on the way to the entry's end. A found end always belongs to the one reading
    // that reached the end, so the later values of the same walk are looked up, not searched again.
    const char *foundOpen[kMaxKeywords];
    const char *foundClose[kMaxKeywords];
    int found = 0;

    bool seen(const char *keyword, size_t length) const {
        for (int i = 0; i < count; ++i)
            if (keywordLengths[i] == length && strncasecmp(keywords[i], keyword, length) == 0) return true;
        return false;
    }
    static bool keywordChar(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    }
    // The keyword at p (its length, 0 when none): letters, digits and '_', ended by '(', a blank or
    // the entry's end.
    size_t keywordAt(const char *p) const {
        size_t n = 0;
        while (p + n < end && keywordChar(p[n])) ++n;
        if (n == 0 ||
            (p + n < end && p[n] != '(' && p[n] != ' ' && p[n] != '\t' && p[n] != '\r' && p[n] != '\n'))
            return 0;
        return n;
    }
    // True when [p, end) reads as attributes not met before.
    bool restReads(const char *p) {
        p = trimStart(p, end);
        if (p >= end) return true;
        if (--budget < 0 || count == kMaxKeywords) return false;
        const size_t n = keywordAt(p);
        if (n == 0 || seen(p, n)) return false;
        keywords[count] = p;
        keywordLengths[count++] = n;
        bool reads = p + n >= end || p[n] != '(' ? restReads(p + n) : close(p + n + 1) != nullptr;
        --count;
        return reads;
    }
    // The ')' that ends the value opening at afterOpen, its keyword already counted as met.
    const char *close(const char *afterOpen) {
        for (int i = 0; i < found; ++i)
            if (foundOpen[i] == afterOpen) return foundClose[i];
        for (const char *p = afterOpen; p < end && *p != '\0' && budget >= 0; ++p)
            if (*p == ')' && restReads(p + 1)) {
                if (found < kMaxKeywords) {
                    foundOpen[found] = afterOpen;
                    foundClose[found++] = p;
                }
                return p;
            }
        return nullptr;
    }
};

const char *bracketClose(const char *afterOpen, const char *end) {
    int depth = 0;
    for (const char *p = afterOpen; p < end && *p != '\0'; ++p) {
        if (*p == '(') {
            ++depth;
        } else if (*p == ')') {
            if (depth == 0) return p;
            --depth;
        }
    }
    return nullptr;
}

// The entry's attributes from text in turn: each keyword with its value (null when it has none) up to
// the ')' that ends it. False when the entry does not read as attributes.
template <typename Each>
bool forEachAttribute(const char *text, const char *end, Each each) {
    auto *reader = static_cast<EntryReader *>(CSGetMem(sizeof(EntryReader)));
    if (reader == nullptr) return false;
    reader->end = end;
    reader->count = 0;
    reader->budget = 20000;
    reader->found = 0;
    bool reads = true;
    for (const char *p = trimStart(text, end); p < end && reads; p = trimStart(p, end)) {
        const size_t n = reader->keywordAt(p);
        if (n == 0 || reader->count == EntryReader::kMaxKeywords) {
            reads = false;
            break;
        }
        reader->keywords[reader->count] = p;
        reader->keywordLengths[reader->count++] = n;
        if (p + n >= end || p[n] != '(') {
            if (!each(p, n, nullptr, nullptr)) break;
            p += n;
            continue;
        }
        const char *close = reader->close(p + n + 1);
        if (close == nullptr) close = bracketClose(p + n + 1, end);
        if (close == nullptr) {
            reads = false;
            break;
        }
        if (!each(p, n, p + n + 1, close)) break;
        p = close + 1;
    }
    CSFreeMem(reader);
    return reads;
}

// A description keeps the blanks it starts with: they are characters of it (DESCR( lead)), as the
// console's reply tokens keep them. Trailing blanks are the padding of the queue manager's field.
bool keepsLeadingBlanks(const char *keyword, size_t length) {
    return length == 5 && strncasecmp(keyword, "DESCR", 5) == 0;
}

// A keyword's value rewritten: trimmed, list items trimmed one by one; DESCR as it stands but for
// its trailing blanks.
bool appendValue(cmdText *out, const char *keyword, size_t keywordLength, const char *value,
                 const char *end) {
    if (keepsLeadingBlanks(keyword, keywordLength)) {
        end = trimEnd(value, end);
        return cmdTextAppend(out, value, static_cast<size_t>(end - value));
    }
    value = trimStart(value, end);
    end = trimEnd(value, end);
    const char *p = value;
    bool first = true;
    for (;;) {
        const char *comma = scanFindComma(p, end);
        const char *stop = comma != nullptr ? comma : end;
        const char *a = trimStart(p, stop);
        const char *b = trimEnd(a, stop);
        if (!first && !cmdTextAppend(out, ",", 1)) return false;
        if (!cmdTextAppend(out, a, static_cast<size_t>(b - a))) return false;
        first = false;
        if (comma == nullptr) return true;
        p = comma + 1;
    }
}

}  // namespace

char *cslJoinLines(const char *const *lines, const size_t *lengths, size_t count) {
    cmdText raw{};
    bool ok = cmdTextAppend(&raw, "", 0);
    for (size_t i = 0; i < count && ok; ++i) {
        if (isMessageLine(lines[i], lengths[i])) continue;
        ok = cmdTextAppend(&raw, lines[i], lengths[i]);
    }
    if (!ok) {
        cmdTextFree(&raw);
        return nullptr;
    }
    cmdText out{};
    ok = cmdTextAppend(&out, "", 0);
    const char *begin = raw.data;
    const char *end = raw.data + raw.length;
    const bool reads =
        ok &&
        forEachAttribute(
            begin, end, [&](const char *keyword, size_t keywordLength, const char *value, const char *close) {
                if (out.length != 0) ok = cmdTextAppend(&out, " ", 1);
                ok = ok && cmdTextAppend(&out, keyword, keywordLength);
                if (ok && value != nullptr)
                    ok = cmdTextAppend(&out, "(", 1) &&
                         appendValue(&out, keyword, keywordLength, value, close) &&
                         cmdTextAppend(&out, ")", 1);
                return ok;
            });
    if (ok && !reads) {
        // Not an entry of attributes: word by word as it stands, each value to its bracket's pair.
        out.length = 0;
        const char *p = begin;
        while (ok) {
            p = trimStart(p, end);
            if (p >= end) break;
            const char *keyword = p;
            while (p < end && *p != '(' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
            size_t keywordLength = static_cast<size_t>(p - keyword);
            if (out.length != 0) ok = cmdTextAppend(&out, " ", 1);
            ok = ok && cmdTextAppend(&out, keyword, keywordLength);
            if (!ok || p >= end || *p != '(') continue;
            const char *close = bracketClose(p + 1, end);
            const char *valueEnd = close != nullptr ? close : end;
            ok = cmdTextAppend(&out, "(", 1) && appendValue(&out, keyword, keywordLength, p + 1, valueEnd) &&
                 cmdTextAppend(&out, ")", 1);
            p = close != nullptr ? close + 1 : end;
        }
        if (ok) ok = cmdTextAppend(&out, "", 0);
    }
    cmdTextFree(&raw);
    if (!ok) {
        cmdTextFree(&out);
        return nullptr;
    }
    return out.data;
}

int cslFindAttribute(const char *text, size_t textLength, const char *name, size_t nameLength,
                     const char **value, size_t *valueLength) {
    const char *end = text + textLength;
    int found = 0;
    const bool reads = forEachAttribute(
        text, end, [&](const char *keyword, size_t keywordLength, const char *open, const char *close) {
            if (keywordLength != nameLength || strncasecmp(keyword, name, nameLength) != 0) return true;
            if (open == nullptr) return false;  // no value: not found
            const char *a = keepsLeadingBlanks(name, nameLength) ? open : trimStart(open, close);
            *value = a;
            *valueLength = static_cast<size_t>(trimEnd(a, close) - a);
            found = 1;
            return false;
        });
    if (found || reads) return found;
    for (const char *p = text; p + nameLength < end; ++p) {
        if (p[nameLength] != '(' || strncasecmp(p, name, nameLength) != 0) continue;
        // A whole keyword: what stands before it is no part of a name.
        if (p > text) {
            char before = p[-1];
            if (before != ' ' && before != '\t' && before != ')' && before != '\n' && before != '\r')
                continue;
        }
        const char *close = bracketClose(p + nameLength + 1, end);
        if (close == nullptr) return 0;
        const char *a =
            keepsLeadingBlanks(name, nameLength) ? p + nameLength + 1 : trimStart(p + nameLength + 1, close);
        const char *b = trimEnd(a, close);
        *value = a;
        *valueLength = static_cast<size_t>(b - a);
        return 1;
    }
    return 0;
}

namespace {

// The texts that number-like response values were read from where the number's own written form
// differs ('007', '1.50', '-0', '.5'): each kept once for the life of the process, so that a copy of
// the value, wherever it is stored, points at its text (ExpValue's data of an INT or DBL). Bounded:
// past the bound a value is the number alone.
constexpr size_t maxReadTexts = 100000;

const char *keepReadText(const char *text, size_t length) {
    static std::mutex lock;
    static auto *texts = new std::unordered_set<std::string>();  // never freed: values point into it
    std::lock_guard<std::mutex> hold(lock);
    std::string key(text, length);
    auto found = texts->find(key);
    if (found != texts->end()) return found->c_str();
    if (texts->size() >= maxReadTexts) return nullptr;
    return texts->insert(std::move(key)).first->c_str();
}

// The number's text as a value put into a line would write it: "%lld", or "%.2f" for a real.
bool writtenAsRead(const ExpValue *number, const char *text, size_t length) {
    char again[64];
    if (number->type == EXP_INT)
        std::snprintf(again, sizeof again, "%lld", static_cast<long long>(number->value.i));
    else
        std::snprintf(again, sizeof again, "%.2f", number->value.d);
    return std::strlen(again) == length && std::memcmp(again, text, length) == 0;
}

}  // namespace

int cslTypeAttributeValue(const char *value, size_t length, uint16_t indicator, ExpValue *out) {
    char digits[32];
    if (indicator & (EXP_IND_SHORT | EXP_IND_LONG)) {
        const char *p = value;
        const char *end = value + length;
        if (indicator & EXP_IND_LONG) {
            const char *comma = static_cast<const char *>(std::memchr(value, ',', length));
            if (comma == nullptr) {
                expSetInt(out, 0);
                return 1;
            }
            p = trimStart(comma + 1, end);
        }
        size_t n = static_cast<size_t>(end - p) < sizeof digits - 1 ? static_cast<size_t>(end - p)
                                                                    : sizeof digits - 1;
        std::memcpy(digits, p, n);
        digits[n] = '\0';
        expSetInt(out, std::strtoll(digits, nullptr, 10));
        return 1;
    }
    // Values of 20 characters or more stay text: no number that long is exact.
    if (length > 0 && length < 20 && expIsNumber(value, length)) {
        std::memcpy(digits, value, length);
        digits[length] = '\0';
        if (std::memchr(value, '.', length) == nullptr)
            expSetInt(out, std::strtoll(digits, nullptr, 10));
        else
            expSetDouble(out, std::strtod(digits, nullptr));
        if (!writtenAsRead(out, value, length)) out->data = const_cast<char *>(keepReadText(value, length));
        return 1;
    }
    return setText(out, value, length);
}

char *cslJoinResponseLines(cmdProgram *program) {
    cslOutputLine *first = program->run->eachObject;
    if (first == nullptr) return nullptr;
    size_t count = 0;
    for (cslOutputLine *l = first; l != nullptr && inObject(first, l); l = l->next) ++count;
    auto *lines = static_cast<const char **>(CSGetMem(count * (sizeof(char *) + sizeof(size_t))));
    if (lines == nullptr) return nullptr;
    auto *lengths = reinterpret_cast<size_t *>(lines + count);
    size_t i = 0;
    for (cslOutputLine *l = first; l != nullptr && inObject(first, l); l = l->next, ++i) {
        lines[i] = cslLineText(l);
        lengths[i] = std::strlen(cslLineText(l));
    }
    char *joined = cslJoinLines(lines, lengths, count);
    CSFreeMem(lines);
    return joined;
}

int cslGetResponseAttribute(cmdProgram *program, const char *name, size_t length, uint16_t indicator,
                            ExpValue *out) {
    // ".short" and ".long" may still stand on the name.
    if (length > 6 && strncasecmp(name + length - 6, ".short", 6) == 0) {
        indicator |= EXP_IND_SHORT;
        length -= 6;
    } else if (length > 5 && strncasecmp(name + length - 5, ".long", 5) == 0) {
        indicator |= EXP_IND_LONG;
        length -= 5;
    }
    cslOutputLine *first = program->run->eachObject;
    if (first == nullptr) return setText(out, "", 0);
    const char *value = nullptr;
    size_t valueLength = 0;
    // Read in the whole entry as the lines give it: where a value ends depends on the keywords met
    // before it, on other lines too.
    cmdText entry{};
    bool built = cmdTextAppend(&entry, "", 0);
    for (cslOutputLine *l = first; l != nullptr && inObject(first, l) && built; l = l->next) {
        const char *text = cslLineText(l);
        const size_t n = std::strlen(text);
        if (!isMessageLine(text, n)) built = cmdTextAppend(&entry, text, n);
    }
    if (!built) {
        cmdTextFree(&entry);
        return 0;
    }
    int ok = cslFindAttribute(entry.data, entry.length, name, length, &value, &valueLength)
                 ? cslTypeAttributeValue(value, valueLength, indicator, out)
                 : setText(out, "", 0);
    cmdTextFree(&entry);
    return ok;
}

int cslGetSystemVariable(cmdProgram *program, ExpExpression *, const char *name, size_t length,
                         ExpValue *out) {
    cmdRunState *run = program->run;
    cslSession *session = cmdSession(program);
    cslConnection *connection = currentConnection(program);
    const bool connected = cslConnected(connection);
    struct Counter {
        const char *name;
        int64_t value;
    };
    const Counter counters[] = {
        {"_idxWhile", run->idxWhile},     {"_numWhile", run->numWhile}, {"_idxEach", run->idxEach},
        {"_numEach", run->numEach},       {"_idxItem", run->idxItem},   {"_numItem", run->numItem},
        {"_streamtype", run->streamType}, {"_idxData", run->idxData},   {"_dspcmd", run->dspcmd},
        {"_errno", run->savedErrno},      {"_time", evTimeNow()},
    };
    for (const Counter &c : counters) {
        if (nameIs(name, length, c.name)) {
            expSetInt(out, c.value);
            return 1;
        }
    }
    if (nameIs(name, length, "_nl")) return setText(out, "\n");
        // The operating system the program runs on. Unlike the documented value, which is always
        // "WINDOWS" (the program was first a Windows one), the Linux build answers "LINUX", so that a
        // script can choose paths and commands that work where it runs.
#ifdef _WIN32
    if (nameIs(name, length, "_os")) return setText(out, "WINDOWS");
#else
    if (nameIs(name, length, "_os")) return setText(out, "LINUX");
#endif
    if (nameIs(name, length, "_sep")) return setText(out, "\x05");
    if (nameIs(name, length, "_item"))
        return setText(out, run->item != nullptr ? run->item : "", run->itemLength);
    if (nameIs(name, length, "_stream")) return setText(out, run->stream);
    if (nameIs(name, length, "_error_func"))
        return setText(out, run->errorFunction != nullptr ? run->errorFunction->name : "");
    if (nameIs(name, length, "_errnostr")) return setText(out, std::strerror(run->savedErrno));
    if (nameIs(name, length, "_lastresp")) {
        char *joined = cslJoinResponseLines(program);
        if (joined == nullptr) return setText(out, "");
        int ok = setText(out, joined);
        CSFreeMem(joined);
        return ok;
    }
    int32_t reason = session != nullptr ? session->lastReason.load() : 0;
    if (nameIs(name, length, "_lastrc")) {
        expSetInt(out, reason);
        return 1;
    }
    if (nameIs(name, length, "_cmdok")) {
        expSetInt(out, reason == 0 ? 1 : 0);
        return 1;
    }
    if (nameIs(name, length, "_lastrcstr")) {
        if (reason == 0) return setText(out, "None");
        const char *text = evReasonText(reason);
        if (text[0] != '\0') return setText(out, text);
        char unknown[40];
        std::snprintf(unknown, sizeof unknown, "Unknown Reason(%d)", reason);
        return setText(out, unknown);
    }
    if (nameIs(name, length, "_platform")) {
        if (!connected) return setText(out, "NOTCONNECTED");
        const char *text = evPlatformName(connection->platform);
        if (text[0] != '\0') return setText(out, text);
        char unknown[40];
        std::snprintf(unknown, sizeof unknown, "UNKNOWN(%d)", connection->platform);
        return setText(out, unknown);
    }
    if (nameIs(name, length, "_qmgr") || nameIs(name, length, "_connqmgr")) {
        connection = connectOnDemand(program);
        if (!cslConnected(connection)) return setText(out, "");
        return setText(out, length == 5 ? connection->administeredName : connection->connectedName);
    }
    if (nameIs(name, length, "_client")) {
        expSetInt(out, connected && connection->client ? 1 : 0);
        return 1;
    }
    if (nameIs(name, length, "_cmdlevel")) {
        expSetInt(out, connected ? connection->commandLevel : 0);
        return 1;
    }
    if (nameIs(name, length, "_ccdtmode")) {
        expSetInt(out, session != nullptr && session->ccdtMode ? 1 : 0);
        return 1;
    }
    if (nameIs(name, length, "_ccdt"))
        return setText(out, session != nullptr && session->ccdtMode && session->ccdtFile != nullptr
                                ? session->ccdtFile
                                : "");
    if (nameIs(name, length, "_width") || nameIs(name, length, "_height")) {
        int32_t v = session == nullptr ? 0 : length == 6 ? session->screenWidth : session->screenHeight;
        expSetInt(out, v);
        return 1;
    }
    if (nameIs(name, length, "_respwait")) {
        expSetInt(out, session != nullptr ? session->respwait : 0);
        return 1;
    }
    // The current response: the running foreach's, else the last command's.
    cslOutputLine *echo = run->eachEcho != nullptr ? run->eachEcho
                          : session != nullptr     ? session->echoLine
                                                   : nullptr;
    if (nameIs(name, length, "_matches") || nameIs(name, length, "_responses")) {
        // Signed throughout: the counts are unsigned, and -1 must not become 4294967295.
        const int64_t v = echo == nullptr ? int64_t{-1}
                          : length == 8   ? int64_t{echo->matched}
                                          : int64_t{echo->received};
        expSetInt(out, v);
        return 1;
    }
    if (nameIs(name, length, "_lastcmdresp")) {
        cslOutputLine *last = session != nullptr ? session->echoLine : nullptr;
        cmdText text{};
        bool ok = cmdTextAppend(&text, "", 0);
        for (cslOutputLine *l = last != nullptr ? last->next : nullptr; l != nullptr && ok; l = l->next) {
            if (l->command != last->command) break;
            if (text.length != 0) ok = cmdTextAppend(&text, "\n", 1);
            ok = ok && cmdTextAppend(&text, cslLineText(l), std::strlen(cslLineText(l)));
        }
        int done = ok ? setText(out, text.data, text.length) : 0;
        cmdTextFree(&text);
        return done;
    }
    return 0;
}

int cslSetSystemVariable(cmdProgram *program, const char *name, size_t length, const ExpValue *value) {
    cmdRunState *run = program->run;
    char message[200];
    const int shown = static_cast<int>(length > 100 ? 100 : length);
    if (nameIs(name, length, "_stream")) {
        if (!expIsString(value)) {
            std::snprintf(message, sizeof message, "The _stream system variable should be set to a string");
        } else {
            size_t n = value->value.len > CSL_STREAM_MAX ? CSL_STREAM_MAX : value->value.len;
            std::memcpy(run->stream, value->data, n);
            run->stream[n] = '\0';
            return 1;
        }
    } else if (nameIs(name, length, "_error_func")) {
        if (!expIsString(value)) {
            std::snprintf(message, sizeof message,
                          "The _error_func system variable should be set to a string");
        } else if (value->value.len == 0) {
            run->errorFunction = nullptr;
            return 1;
        } else {
            cmdFUNCTION *f =
                value->value.len <= CMD_NAME_MAX
                    ? cmdFindFunction(program, value->data, static_cast<int64_t>(value->value.len))
                    : nullptr;
            if (f != nullptr && f->committed) {
                run->errorFunction = f;
                return 1;
            }
            int n = static_cast<int>(value->value.len > 100 ? 100 : value->value.len);
            std::snprintf(message, sizeof message, "Error function %.*s is not defined.", n, value->data);
        }
    } else {
        std::snprintf(message, sizeof message, "You can not set the value of system variable %.*s.", shown,
                      name);
    }
    cmdOutput(program, 128, message);
    program->errorFlag = 1;
    return 0;
}
