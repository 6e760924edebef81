// Tokenisers and finders over expression, script and MQSC text, the digit patterns of dates and
// times, and the keyword tables of the command console. Every routine stops at its end and at a NUL,
// so text from a command message can be scanned in place.
#include <cctype>
#include <cstring>

#include "platform/scan.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isQuote(char c) {
    return c == '\'' || c == '"';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// strchr would also find the set's terminating NUL.
bool inSet(const char *set, char c) {
    return c != '\0' && set != nullptr && std::strchr(set, c) != nullptr;
}

// "<>", "!=", ">=", "<=", "==": the two-character operators of both tokenisers.
bool isPair(char first, char second) {
    return (first == '<' && second == '>') || (second == '=' && std::strchr("!><=", first) != nullptr);
}

// The closing quote of a quoted part, the other quote being plain; null at end or NUL.
const char *closingQuote(const char *p, char quote, const char *end) {
    for (; p < end && *p != '\0'; ++p)
        if (*p == quote) return p;
    return nullptr;
}

// The walk the finders share: quoted parts are passed over whole, brackets counted outside them.
// `wanted` is looked for at depth 0 before the bracket counting, so a bracket can be looked for too.
const char *findOutside(const char *text, const char *end, char wanted, bool squareToo) {
    int depth = 0;
    for (const char *p = text; p < end && *p != '\0'; ++p) {
        char c = *p;
        if (depth == 0 && c == wanted) return p;
        if (isQuote(c)) {
            p = closingQuote(p + 1, c, end);
            if (p == nullptr) return nullptr;
        } else if (c == '(' || (squareToo && c == '[')) {
            ++depth;
        } else if (c == ')' || (squareToo && c == ']')) {
            --depth;
        }
    }
    return nullptr;
}

bool conditionHolds(const uint8_t *conditions, const uint16_t cond[3]) {
    auto byte = [conditions](uint16_t index) -> uint8_t { return conditions ? conditions[index] : 0; };
    if (cond[0] != 0 && byte(cond[0]) == 0) return false;
    if (cond[1] != 0 && byte(cond[1]) == 0) return false;
    if (cond[2] != 0 && byte(cond[2]) != 0) return false;
    return true;
}

// The keyword against each '/'-separated synonym and against the whole name.
bool namesMatch(const char *names, const char *keyword) {
    if (names == nullptr) return false;
    if (std::strcmp(names, keyword) == 0) return true;
    size_t keywordLength = std::strlen(keyword);
    for (const char *p = names;;) {
        const char *slash = std::strchr(p, '/');
        size_t length = slash ? static_cast<size_t>(slash - p) : std::strlen(p);
        if (length == keywordLength && std::memcmp(p, keyword, length) == 0) return true;
        if (slash == nullptr) return false;
        p = slash + 1;
    }
}

}  // namespace

int scanGetToken(const char **cursor, const char *end, const char *delimiters, const char *separators,
                 const char **lexeme, size_t *length) {
    const char *p = *cursor;
    while (p < end && isBlank(*p)) ++p;
    *lexeme = p;
    *length = 0;
    if (p >= end || *p == '\0') {
        *cursor = p;
        return 1;
    }
    const char *start = p;
    char c = *p++;
    if (isQuote(c)) {
        // An unterminated quote runs to the end; the caller reports it.
        while (p < end && *p != '\0' && *p != c) ++p;
        if (p < end && *p == c) ++p;
    } else if (inSet(delimiters, c)) {
        if (p < end && isPair(c, *p)) ++p;
    } else {
        while (p < end && *p != '\0' && !inSet(separators, *p)) ++p;
    }
    *lexeme = start;
    *length = static_cast<size_t>(p - start);
    *cursor = p;
    return 0;
}

int scanGetMQSCLexeme(const char **cursor, const char *end, const char *delimiters, const char *separators,
                      const char **lexeme, size_t *length) {
    const int last = scanGetToken(cursor, end, delimiters, separators, lexeme, length);
    if (last != 0 || *length < 2 || (*lexeme)[0] != '\'') return last;
    // A closed quote followed at once by another one: a doubled quote, and the lexeme runs on.
    while ((*lexeme)[*length - 1] == '\'' && *cursor < end && **cursor == '\'') {
        const char *more = nullptr;
        size_t moreLength = 0;
        scanGetToken(cursor, end, delimiters, separators, &more, &moreLength);
        *length = static_cast<size_t>(more + moreLength - *lexeme);
        if (moreLength < 2) break;  // an unterminated quote ran to the end
    }
    return 0;
}

size_t scanUndoubleQuotes(const char *text, size_t length, char *out) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        out[n++] = text[i];
        if (text[i] == '\'' && i + 1 < length && text[i + 1] == '\'') ++i;
    }
    return n;
}

int scanGetMQSCToken(const char **cursor, char *token) {
    static const char kSingles[] = "()[]!|&<>-+/=,;";
    static const char kEnds[] = " ()[]!|&<>-+/=\n\t,;";
    const char *p = *cursor;
    token[0] = '\0';
    for (;;) {
        while (isBlank(*p)) ++p;
        if (*p != ';' && *p != '#') break;
        while (*p != '\0' && *p != '\n') ++p;
    }
    if (*p == '\0') {
        *cursor = p;
        return 1;
    }
    size_t n = 0;
    auto put = [&n, token](char c) {
        if (n < SCAN_MQSC_TOKEN_SIZE - 1) token[n++] = c;  // cut at 500, the rest is passed over
    };
    char c = *p;
    if (isQuote(c)) {
        for (++p; *p != '\0'; ++p) {
            if (*p == c) {
                if (c != '\'' || p[1] != '\'') break;
                ++p;  // two single quotes: one of the token's characters
            }
            put(*p);
        }
        if (*p == c) ++p;
    } else if (inSet(kSingles, c)) {
        put(c);
        ++p;
        if ((c == '<' || c == '>' || c == '!' || c == '=') && isPair(c, *p)) put(*p++);
    } else {
        for (; *p != '\0' && !inSet(kEnds, *p); ++p)
            put(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    }
    token[n] = '\0';
    *cursor = p;
    return 0;
}

const char *scanFindCharOutside(const char *text, const char *end, char character) {
    return findOutside(text, end, character, true);
}

const char *scanFindSemicolon(const char *text, const char *end) {
    return findOutside(text, end, ';', false);
}

const char *scanFindComma(const char *text, const char *end) {
    return findOutside(text, end, ',', true);
}

const char *scanSkipQuoted(const char *afterQuote, char quote, const char *end) {
    return closingQuote(afterQuote, quote, end);
}

const char *scanFindCloseBracket(const char *afterOpen, const char *end) {
    int depth = 0;
    for (const char *p = afterOpen; p < end && *p != '\0'; ++p) {
        char c = *p;
        if (isQuote(c)) {
            p = closingQuote(p + 1, c, end);
            if (p == nullptr) return nullptr;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth == 0) return p;
            --depth;
        }
    }
    return nullptr;
}

int scanMatchPattern(const char *pattern, const char *text, const char *extra, int whole) {
    const char *t = text;
    for (const char *p = pattern; *p != '\0'; ++p) {
        switch (*p) {
            case 'N':
                if (!isDigit(*t)) return 0;
                while (isDigit(*t)) ++t;
                break;
            case 'n':
                if (!isDigit(*t)) return 0;
                ++t;
                break;
            case '-':
            case '.':
            case ':':
                if (*t != *p) return 0;
                ++t;
                break;
            default:
                if (!inSet(extra, *p) || *t != *p) return 0;
                ++t;
                break;
        }
    }
    return (!whole || *t == '\0') ? 1 : 0;
}

int scanFindKeyword(const uint8_t *conditions, const ScanKeywordRow *table, const char *keyword,
                    const ScanKeywordRow **rowOut, const ScanKeywordDef **defOut) {
    if (table == nullptr || keyword == nullptr) return 1;
    for (const ScanKeywordRow *row = table; row->def != nullptr; ++row) {
        const ScanKeywordDef *def = row->def;
        if (def->kind == SCAN_KIND_NOT_KEYWORD) continue;
        if (!conditionHolds(conditions, row->cond) || !conditionHolds(conditions, def->cond)) continue;
        if (!namesMatch(def->names, keyword)) continue;
        if (rowOut) *rowOut = row;
        if (defOut) *defOut = def;
        return 0;
    }
    return 1;
}

const ScanKeywordRow *scanFindKeywordById(const uint8_t *conditions, const ScanKeywordRow *table,
                                          uint32_t id) {
    if (table == nullptr) return nullptr;
    for (const ScanKeywordRow *row = table; row->def != nullptr; ++row) {
        if (row->def->id != id) continue;
        if (conditionHolds(conditions, row->cond) && conditionHolds(conditions, row->def->cond)) return row;
    }
    return nullptr;
}

namespace {

// A reply entry read as attributes (KEYWORD or KEYWORD(value)), each keyword once; message lines
// (AMQ8409I: ...) are passed over. Values are shown unquoted, so a bracket in one needs no pair.
struct ReplyReader {
    static constexpr int kMaxKeywords = 256;
    const char *end;
    const char *keywords[kMaxKeywords];
    size_t lengths[kMaxKeywords];
    int count;
    int budget;
    // The ends found on the way to the entry's end. A found end always belongs to the one reading
    // that reached the end, so the later values of the same walk are looked up, not searched again
    // (a search from each value over all the rest costs the cube of the attributes).
    const char *foundOpen[kMaxKeywords];
    const char *foundClose[kMaxKeywords];
    int found;

    static bool keywordChar(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(c) || c == '_';
    }
    static bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    // Keywords are ASCII letters, digits and '_' (keywordChar): folding a-z is all the case there is.
    static char fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
    static bool sameNoCase(const char *a, const char *b, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (fold(a[i]) != fold(b[i])) return false;
        return true;
    }
    // Past blanks and message lines.
    const char *skip(const char *p) const {
        for (;;) {
            while (p < end && space(*p)) ++p;
            size_t n = 0;
            while (p + n < end && n < 4 && *(p + n) >= 'A' && *(p + n) <= 'Z') ++n;
            if (n < 3) return p;
            size_t digits = 0;
            while (p + n < end && isDigit(p[n]) && digits < 4) ++n, ++digits;
            if (digits != 4) return p;
            if (p + n < end && p[n] >= 'A' && p[n] <= 'Z') ++n;
            if (p + n >= end || p[n] != ':') return p;
            while (p < end && *p != '\n') ++p;
        }
    }
    size_t keywordAt(const char *p) const {
        size_t n = 0;
        while (p + n < end && keywordChar(p[n])) ++n;
        if (n == 0 || (p + n < end && p[n] != '(' && !space(p[n]))) return 0;
        return n;
    }
    bool seen(const char *p, size_t n) const {
        for (int i = 0; i < count; ++i)
            if (lengths[i] == n && sameNoCase(keywords[i], p, n)) return true;
        return false;
    }
    bool push(const char *p, size_t n) {
        if (count == kMaxKeywords) return false;
        keywords[count] = p;
        lengths[count++] = n;
        return true;
    }
    bool restReads(const char *p) {
        p = skip(p);
        if (p >= end || *p == '\0') return true;
        if (--budget < 0) return false;
        const size_t n = keywordAt(p);
        if (n == 0 || seen(p, n) || !push(p, n)) return false;
        const bool reads = p + n >= end || p[n] != '(' ? restReads(p + n) : close(p + n + 1) != nullptr;
        --count;
        return reads;
    }
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

}  // namespace

const char *scanReplyValueEnd(const char *text, const char *end, const char *afterOpen) {
    ReplyReader state;
    ReplyReader *reader = &state;
    reader->end = end;
    reader->count = 0;
    reader->budget = 20000;
    reader->found = 0;
    const char *found = nullptr;
    bool lost = false;
    for (const char *p = reader->skip(text); p < end && *p != '\0' && !lost; p = reader->skip(p)) {
        const size_t n = reader->keywordAt(p);
        if (n == 0 || reader->seen(p, n) || !reader->push(p, n)) break;
        if (p + n >= end || p[n] != '(') {
            p += n;
            continue;
        }
        const char *close = reader->close(p + n + 1);
        if (p + n + 1 == afterOpen) {
            found = close;
            break;
        }
        if (close == nullptr || close >= afterOpen)
            lost = true;
        else
            p = close + 1;
    }
    return found != nullptr ? found : scanFindBracketPair(afterOpen, end);
}

const char *scanFindBracketPair(const char *afterOpen, const char *end) {
    int depth = 0;
    for (const char *p = afterOpen; p < end && *p != '\0'; ++p) {
        if (*p == '(') {
            ++depth;
        } else if (*p == ')') {
            if (depth-- == 0) return p;
        }
    }
    return nullptr;
}
