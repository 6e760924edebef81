// Values put into a line: the <@...> and <_...> inline values of a command line or loop header, and
// the values that an expression adds to the script's own text when its result runs as commands. The
// line's statements and quoted strings are found in what the script wrote; a value goes in as
// literal text of the token it falls in, so it never ends a string, a statement or a command, never
// opens a substitution or a call, and is never substituted or read as script again.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmdserver/cmdserver.h"
#include "console/console.h"
#include "script/internal.h"

namespace {

// Command: MQSC and the like, where '' is a quote in a quoted string; Local: a '=' command, whose
// bracketed values are taken as they stand up to the matching ')'.
enum class Lang { Unknown, Expression, Command, Local };

bool isAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A value that goes into a command bare: a name or a number. Anything else could end the token
// (blanks, brackets, quotes, ';', ','), and a last '-' would join the next statement to it. Inside a
// keyword's brackets the value is data, and bare only when MQSC keeps it as written: no lower case
// (folded to upper), no '*' (a generic name) and no '/' (a token of its own to the program's own
// server); such a value goes in quoted. Outside brackets (the command and its keywords) a value is
// read as MQSC reads a keyword, in any case.
bool plainCommandValue(const char *v, size_t n, bool statementStart, bool inBrackets) {
    if (n == 0) return true;
    if (statementStart && !isAlnum(v[0])) return false;  // no '@', '_', '"' or '=' statement
    for (size_t i = 0; i < n; ++i) {
        if (inBrackets) {
            if (v[i] >= 'a' && v[i] <= 'z') return false;
            if (!isAlnum(v[i]) && std::strchr("._%:\\-", v[i]) == nullptr) return false;
        } else if (!isAlnum(v[i]) && std::strchr("._%/*:\\-", v[i]) == nullptr) {
            return false;
        }
    }
    return v[n - 1] != '-';
}

bool holds(const char *v, size_t n, char c) {
    return std::memchr(v, c, n) != nullptr;
}

// The '>' that closes the '<' at open, before end: the first one outside quotes and brackets.
const char *closingAngle(const char *open, const char *end) {
    int depth = 0;
    for (const char *p = open + 1; p < end; ++p) {
        if (*p == '\'' || *p == '"') {
            const char *q = scanSkipQuoted(p + 1, *p, end);
            if (q == nullptr) return nullptr;
            p = q;
        } else if (*p == '(' || *p == '[') {
            ++depth;
        } else if ((*p == ')' || *p == ']') && depth > 0) {
            --depth;
        } else if (*p == '>' && depth == 0) {
            return p;
        }
    }
    return nullptr;
}

// A value's text: a string's own bytes (NULs included), another value as print shows it.
struct ValueText {
    const char *data = nullptr;
    size_t length = 0;
    char *owned = nullptr;
    ~ValueText() {
        if (owned != nullptr) CSFreeMem(owned);
    }
};

bool isNumber(const ExpValue *v) {
    return v->type == EXP_INT || v->type == EXP_DBL;
}

// A string's text that is a number as the language writes one (str(@n + 1)'s "2", "2.50"): put in
// bare it keeps both its text and its value. One that would change ('007', '1.50000', '-0', digits
// beyond a 64-bit integer) is not.
bool writtenAsNumber(const char *v, size_t n) {
    char text[64];
    if (n == 0 || n >= sizeof text || !expIsNumber(v, n)) return false;
    std::memcpy(text, v, n);
    text[n] = '\0';
    char again[64];
    errno = 0;
    char *end = nullptr;
    if (std::memchr(text, '.', n) == nullptr) {
        const long long integer = std::strtoll(text, &end, 10);
        if (errno != 0 || *end != '\0') return false;
        std::snprintf(again, sizeof again, "%lld", integer);
    } else {
        const double real = std::strtod(text, &end);
        if (errno != 0 || *end != '\0') return false;
        std::snprintf(again, sizeof again, "%.2f", real);
    }
    return std::strcmp(again, text) == 0;
}

bool textOf(ExpExpression *e, const ExpValue *v, ValueText *out) {
    if (v->type == 0) {
        out->data = "";
        return true;
    }
    if (expIsString(v)) {
        out->data = v->data != nullptr ? v->data : "";
        out->length = static_cast<size_t>(v->value.len);
        return true;
    }
    if (v->data != nullptr && (v->type == EXP_INT || v->type == EXP_DBL)) {
        // A response's value goes back as the text it was read from: '007' names queue 007, not 7.
        out->data = v->data;
        out->length = std::strlen(v->data);
        return true;
    }
    out->owned = expValueToString(e, v, 2);
    if (out->owned == nullptr) return false;
    out->data = out->owned;
    out->length = std::strlen(out->owned);
    return true;
}

constexpr char kBothQuotes[] =
    "A value put into the WHERE of a command to the program's own command server holds both kinds of quote "
    "(or a NUL character)";

// Builds the line: the script's text fed as it stands, each value as data of the token it falls in.
struct LineBuilder {
    cmdProgram *program;
    int mode;  // CMD_INLINE_*
    cmdText out{};
    size_t statementStart = 0;  // where the current statement began in out
    Lang lang = Lang::Unknown;
    char quote = 0;         // the open quote, or 0
    size_t quoteStart = 0;  // where it stands in out
    bool quoteHex = false;  // the open expression string holds its own quote or a NUL
    int depth = 0;          // '(' depth, as the reader counts it for ';'
    int whereDepth = 0;     // the depth inside a WHERE's brackets, or 0 outside them
    char written = 0;       // the quote the open string is written with: its own, or '"' (ownWhere)
    bool replaced = false;
    bool failed = false;

    bool add(const char *bytes, size_t n) {
        if (!failed && !cmdTextAppend(&out, bytes, n)) {
            program->failed = 1;
            failed = true;
        }
        return !failed;
    }
    void fail(const char *message) {
        if (!failed) cmdOutput(program, 128, message);
        failed = true;
    }
    Lang language() {
        if (mode == CMD_INLINE_EXPRESSION) return Lang::Expression;
        if (mode == CMD_INLINE_COMMAND) return Lang::Command;
        return lang;
    }
    // The statement's language once its first token is complete: Unknown while a value still falls
    // into that first token.
    Lang classify() {
        if (language() != Lang::Unknown) return language();
        const char *text = cmdSkipBlanks(out.data != nullptr ? out.data + statementStart : "");
        if (*text == '@' || *text == '_' || *text == '"') return lang = Lang::Expression;
        if (*text == '=') return lang = Lang::Local;
        const char *token = nullptr;
        size_t length = 0;
        const char *rest = nullptr;
        if (!cmdFirstToken(text, &token, &length, &rest) || *rest == '\0') return Lang::Unknown;
        if (cmdTokenIs(token, length, "foreach")) return lang = Lang::Command;
        const bool expression = cmdTokenIs(token, length, "print") || cmdTokenIs(token, length, "fprint") ||
                                cmdTokenIs(token, length, "wait") || cmdIsKeyword(text) ||
                                cmdFindFunction(program, token, static_cast<int64_t>(length)) != nullptr;
        return lang = expression ? Lang::Expression : Lang::Command;
    }
    void hex(const char *v, size_t n) {
        static const char digits[] = "0123456789ABCDEF";
        add("0x'", 3);
        for (size_t i = 0; i < n; ++i) {
            const auto byte = static_cast<unsigned char>(v[i]);
            const char pair[2] = {digits[byte >> 4], digits[byte & 15]};
            add(pair, 2);
        }
        add("'", 1);
    }
    // An expression string: in a quote it does not hold, else as hex bytes (NULs kept).
    void stringLiteral(const char *v, size_t n) {
        if (holds(v, n, '\0') || (holds(v, n, '"') && holds(v, n, '\''))) return hex(v, n);
        const char q = holds(v, n, '"') ? '\'' : '"';
        add(&q, 1);
        add(v, n);
        add(&q, 1);
    }
    // Text of a command's quoted string, its quotes doubled.
    void doubledQuotes(const char *v, size_t n) {
        if (holds(v, n, '\0')) return fail("A value put into the command holds a NUL character");
        for (const char *p = v, *end = v + n; p < end;) {
            const char *q = static_cast<const char *>(std::memchr(p, '\'', static_cast<size_t>(end - p)));
            const char *stop = q != nullptr ? q + 1 : end;
            add(p, static_cast<size_t>(stop - p));
            if (q != nullptr) add("'", 1);
            p = stop;
        }
    }
    void commandString(const char *v, size_t n) {
        add("'", 1);
        doubledQuotes(v, n);
        add("'", 1);
    }
    // The open expression string from its quote on, written again as hex bytes.
    void stringAsHex() {
        const size_t from = quoteStart + 1;
        const size_t n = out.length - from;
        auto *content = static_cast<char *>(CSGetMem(n + 1));
        if (content == nullptr) {
            program->failed = 1;
            failed = true;
            return;
        }
        std::memcpy(content, out.data + from, n);
        out.length = quoteStart;
        hex(content, n);
        CSFreeMem(content);
    }
    // The open expression string closed: as hex when a value brought its quote or a NUL into it.
    void closeString() {
        if (quoteHex && !failed)
            stringAsHex();
        else
            add(&written, 1);
        quote = 0;
        quoteHex = false;
    }

    void literal(const char *p, size_t n) {
        for (const char *end = p + n; p < end && !failed; ++p) {
            const char c = *p;
            if (quote != 0) {
                if (c == quote)
                    closeString();
                else if (c == written && written != quote)
                    fail(kBothQuotes);
                else
                    add(&c, 1);
                continue;
            }
            if (c == '\'' || c == '"') {
                quote = written = c;
                quoteStart = out.length;
            } else if (c == '(') {
                if (whereDepth == 0 && followsWhere()) whereDepth = depth + 1;
                ++depth;
            } else if (c == ')') {
                --depth;
                if (depth < whereDepth) whereDepth = 0;
            }
            add(&c, 1);
            if (c == ';' && depth == 0 && mode == CMD_INLINE_LINE) {
                statementStart = out.length;
                lang = Lang::Unknown;
            }
        }
    }

    // Whether the text written so far ends in the keyword WHERE (before its '(').
    bool followsWhere() const {
        size_t end = out.length;
        while (end > statementStart && (out.data[end - 1] == ' ' || out.data[end - 1] == '\t')) --end;
        return end >= statementStart + 5 && strncasecmp(out.data + end - 5, "WHERE", 5) == 0 &&
               (end == statementStart + 5 || !isAlnum(out.data[end - 6]));
    }
    // Inside the WHERE of a command to the program's own command server, whose filter reads a quoted
    // text up to the next quote of its kind: no doubled quote.
    bool ownWhere() {
        const cslSession *session = cmdSession(program);
        return whereDepth > 0 && session != nullptr && session->target == CSL_TARGET_OWN &&
               classify() == Lang::Command;
    }

    // number: the value is a number (not a string that looks like one).
    void value(const char *v, size_t n, bool number) {
        replaced = true;
        if (failed) return;
        if (quote != 0) {
            if (classify() == Lang::Expression) {
                quoteHex = quoteHex || holds(v, n, quote) || holds(v, n, '\0');
                add(v, n);
            } else if (quote == '\'' && written == '\'' && holds(v, n, '\'') && ownWhere()) {
                // Written as a double-quoted text instead, if nothing in it is a '"'.
                if (holds(v, n, '"') || holds(v, n, '\0') ||
                    std::memchr(out.data + quoteStart, '"', out.length - quoteStart) != nullptr)
                    return fail(kBothQuotes);
                out.data[quoteStart] = '"';
                written = '"';
                add(v, n);
            } else if (quote == '\'' && written == '"') {
                if (holds(v, n, '"') || holds(v, n, '\0')) return fail(kBothQuotes);
                add(v, n);
            } else if (quote == '\'') {
                doubledQuotes(v, n);
            } else if (holds(v, n, '"') || holds(v, n, '\'') || holds(v, n, '\0')) {
                fail("A value put into a double-quoted command text holds a quote or a NUL character");
            } else {
                add(v, n);
            }
            return;
        }
        const Lang l = classify();
        if (l == Lang::Local && depth > 0) {
            if (holds(v, n, '(') || holds(v, n, ')') || holds(v, n, '\'') || holds(v, n, '"') ||
                holds(v, n, '\0')) {
                fail("A value put into the command's brackets holds a bracket, a quote or a NUL character");
            } else if (holds(v, n, ',')) {
                // Quoted, so that its comma is data and not one between parameters.
                add("'", 1);
                add(v, n);
                add("'", 1);
            } else {
                add(v, n);
            }
            return;
        }
        if (l == Lang::Expression) {
            // A number goes in bare, and a string only when it is written as the number would be:
            // one that would change ('007', '1.50000', 23 digits) stays the string it is. Unlike
            // "only numbers bare", a built call's str(@n + 1) keeps meaning the number it did.
            if (n != 0 && !holds(v, n, '\0') && (number ? expIsNumber(v, n) : writtenAsNumber(v, n)))
                add(v, n);
            else
                stringLiteral(v, n);
            return;
        }
        const bool atStart = *cmdSkipBlanks(out.data != nullptr ? out.data + statementStart : "") == '\0';
        const bool plain = plainCommandValue(v, n, atStart && mode == CMD_INLINE_LINE, depth > 0);
        if (ownWhere()) return ownWhereValue(v, n, plain);
        if (plain)
            add(v, n);
        else
            commandString(v, n);
    }

    // A value in the WHERE of a command to the program's own command server, whose filter reads a
    // bare name as a variable, digits as a number and a quoted text up to the next quote of its kind.
    // Compared with a field (FIELD EQ <@v>) the value is written as the field reads it: quoted beside
    // a text field, bare where the filter reads the name as one of the field's values (STATUS EQ
    // ACTIVE), bare beside a number field as before; beside a field not known here, bare only when it
    // is a number as the filter writes one (7, not 007). Elsewhere (a field's name put in, <@f> EQ 'x')
    // a plain value stays bare.
    void ownWhereValue(const char *v, size_t n, bool plain) {
        const char *field = nullptr;
        size_t fieldLength = 0;
        bool bare = plain;
        if (comparedField(&field, &fieldLength)) {
            switch (fieldKind(field, fieldLength, v, n)) {
                case CMD_WHERE_TEXT:
                    bare = false;
                    break;
                case CMD_WHERE_VALUE_NAME:
                case CMD_WHERE_NUMBER:
                    break;
                default:
                    bare = plain && writtenAsNumber(v, n);
                    break;
            }
        }
        if (bare) {
            add(v, n);
            return;
        }
        if (holds(v, n, '\0') || (holds(v, n, '"') && holds(v, n, '\''))) return fail(kBothQuotes);
        const char q = holds(v, n, '\'') ? '"' : '\'';
        add(&q, 1);
        add(v, n);
        add(&q, 1);
    }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isNameByte(char c) { return isAlnum(c) || c == '.' || c == '_'; }
    // Whether what is written so far ends in a field's name and a comparison operator (DESCR EQ,
    // CURDEPTH>=): *field gets the name.
    bool comparedField(const char **field, size_t *fieldLength) const {
        static const char *const kWords[] = {"EQ", "NE", "GT", "GE", "LT",  "LE",
                                             "LK", "NL", "CT", "EX", "CTG", "EXG"};
        const char *begin = out.data != nullptr ? out.data + statementStart : "";
        const char *p = out.data != nullptr ? out.data + out.length : begin;
        auto blanks = [&] {
            while (p > begin && (p[-1] == ' ' || p[-1] == '\t')) --p;
        };
        blanks();
        const char *opEnd = p;
        if (p > begin && std::strchr("=<>", p[-1]) != nullptr) {
            while (p > begin && opEnd - p < 2 && std::strchr("=<>!", p[-1]) != nullptr) --p;
            if (opEnd - p == 2 && std::strchr("=<>!", p[0]) != nullptr && std::strchr("=>", p[1]) == nullptr)
                ++p;
        } else {
            while (p > begin && isAlnum(p[-1])) --p;
            const auto n = static_cast<size_t>(opEnd - p);
            bool word = false;
            for (const char *w : kWords) word = word || (std::strlen(w) == n && strncasecmp(w, p, n) == 0);
            if (!word || p == begin || (p[-1] != ' ' && p[-1] != '\t')) return false;
        }
        if (p == opEnd) return false;
        blanks();
        const char *nameEnd = p;
        while (p > begin && isNameByte(p[-1])) --p;
        if (p == nameEnd || isDigit(*p)) return false;
        *field = p;
        *fieldLength = static_cast<size_t>(nameEnd - p);
        return true;
    }
    // How the own server's filter reads the value beside the field (CMD_WHERE_*).
    int fieldKind(const char *field, size_t fieldLength, const char *v, size_t n) const {
        if (out.data == nullptr) return CMD_WHERE_UNKNOWN;
        const char *text = cmdSkipBlanks(out.data != nullptr ? out.data + statementStart : "");
        const char *token = nullptr;
        size_t length = 0;
        const char *rest = nullptr;
        if (cmdFirstToken(text, &token, &length, &rest) && cmdTokenIs(token, length, "foreach")) {
            text = cmdSkipBlanks(rest);
            if (*text == '(') text = cmdSkipBlanks(text + 1);
        }
        const size_t textLength = out.length - static_cast<size_t>(text - out.data);
        return evWhereComparedField(text, textLength, field, fieldLength, v, n);
    }

    // An open expression string that a value brought its quote into is written as hex even
    // unclosed, so the value cannot end it.
    char *finish() {
        if (quote != 0 && quoteHex && !failed) stringAsHex();
        if (failed || !replaced) {
            cmdTextFree(&out);
            return nullptr;
        }
        return out.data;
    }
};

// An expression of the script parsed for a run now -> it, or null with the error printed.
ExpExpression *parseForRun(cmdProgram *program, const char *text, size_t length) {
    ExpCallerBlock caller{};
    caller.program = program;
    caller.context = program;
    char *error = nullptr;
    ExpExpression *e =
        expParseExpression(text, static_cast<int64_t>(length), 0,
                           EXP_PARSE_AT_NAMES | EXP_PARSE_CASE | EXP_PARSE_COPY_STRINGS | EXP_PARSE_NO_TRIAL,
                           expScriptOperatorTable, cmdVariableCallback, cmdFunctionCallback, &caller, &error);
    if (e == nullptr) {
        cmdOutput(program, 128, error != nullptr ? error : "Error parsing expression");
        if (error != nullptr) CSFreeMem(error);
    }
    return e;
}

// The value of one inline expression put into the line -> true, or false with the error printed.
bool putInline(LineBuilder *b, const char *text, size_t length) {
    cmdProgram *program = b->program;
    ExpExpression *e = parseForRun(program, text, length);
    if (e == nullptr) return false;
    ExpValue result{};
    ExpValue *cursor = e->postfixNewest;
    int ok = expEvaluate(e, &cursor, &result);
    if (!ok && (e->valueMissing || e->softFailure)) {
        ok = 1;
        expReleaseValue(&result);  // an unset value is empty text
    }
    ValueText value;
    if (!ok || !textOf(e, &result, &value)) {
        cmdOutput(program, 128, e->errorText != nullptr ? e->errorText : "Error evaluating expression");
        ok = 0;
    } else {
        b->value(value.data, value.length, isNumber(&result));
    }
    expReleaseValue(&result);
    expFreeExpression(e);
    return ok != 0;
}

// The script's own text with its inline values put in.
bool putText(LineBuilder *b, const char *text, size_t length) {
    const char *end = text + length;
    const char *copied = text;
    for (const char *p = text; p < end; ++p) {
        if (*p != '<' || p + 1 >= end || (p[1] != '@' && p[1] != '_')) continue;
        const char *close = closingAngle(p, end);
        if (close == nullptr) continue;
        b->literal(copied, static_cast<size_t>(p - copied));
        if (!putInline(b, p + 1, static_cast<size_t>(close - p - 1))) return false;
        copied = close + 1;
        p = close;
    }
    b->literal(copied, static_cast<size_t>(end - copied));
    return !b->failed;
}

// ---------------------------------------------------------------------------------------------
// An expression's value with what of its text the script wrote: a chain of '+' keeps each side's
// part, so "print '" + @o + "'" is the script's text around the value of @o.

struct Marked {
    ExpValue value{};
    // 'L' the script's own literal, 'D' from a value, 'N' from a value that is a number: the whole
    // text's when mask is empty
    char whole = 'D';
    cmdText mask{};  // or one of those per byte of the text
    ~Marked() {
        expReleaseValue(&value);
        cmdTextFree(&mask);
    }
};

bool isPlus(const ExpValue *item) {
    if (item == nullptr || item->type != EXP_OP) return false;
    const ExpOperator *op = item->value.op;
    return (op->flags & EXP_OPF_BINARY) != 0 && std::strcmp(op->name, "+") == 0;
}

bool plainVar(const ExpValue *v) {
    return v != nullptr && v->type == EXP_VAR && v->subscripts == 0;
}

bool appendMask(cmdText *mask, const Marked &m, size_t length) {
    if (m.mask.length != 0) return cmdTextAppend(mask, m.mask.data, m.mask.length);
    for (size_t i = 0; i < length; ++i)
        if (!cmdTextAppend(mask, &m.whole, 1)) return false;
    return true;
}

// A value's bytes, a number's or not, count as one kind here.
char kindOf(char mark) {
    return mark == 'N' ? 'D' : mark;
}

bool allOf(const Marked &m, char kind) {
    if (m.mask.length == 0) return kindOf(m.whole) == kind;
    for (size_t i = 0; i < m.mask.length; ++i)
        if (kindOf(m.mask.data[i]) != kind) return false;
    return true;
}

int evalMarked(ExpExpression *e, ExpValue **cursor, Marked *out) {
    ExpValue *item = *cursor;
    // Two plain variables go through the evaluator together (the right one has the left as partner).
    if (!isPlus(item) || (plainVar(item->next) && plainVar(item->next->next))) {
        const bool literal = item != nullptr && (item->type == EXP_STR || item->type == EXP_EPSTR ||
                                                 item->type == EXP_INT || item->type == EXP_DBL);
        const int ok = expEvaluate(e, cursor, &out->value);
        out->whole = literal ? 'L' : ok && isNumber(&out->value) ? 'N' : 'D';
        return ok;
    }
    const ExpOperator *op = item->value.op;
    *cursor = item->next;
    Marked right, left;  // evaluated right first, as the evaluator does
    if (!evalMarked(e, cursor, &right) || !evalMarked(e, cursor, &left)) return 0;
    ValueText lt, rt;
    cmdText joined{};
    if (!textOf(e, &left.value, &lt) || !textOf(e, &right.value, &rt)) return 0;
    if (!cmdTextAppend(&joined, lt.data, lt.length) || !cmdTextAppend(&joined, rt.data, rt.length)) {
        cmdTextFree(&joined);
        return 0;
    }
    cmdText mask{};
    const bool masked = appendMask(&mask, left, lt.length) && appendMask(&mask, right, rt.length);
    const bool literal = allOf(left, 'L') && allOf(right, 'L');
    int ok = op->handler(e, op, &left.value, &right.value, &out->value);
    const bool concatenated =
        ok && expIsString(&out->value) && out->value.value.len == joined.length &&
        (joined.length == 0 || std::memcmp(out->value.data, joined.data, joined.length) == 0);
    cmdTextFree(&joined);
    if (concatenated && masked) {
        out->mask = mask;
    } else {
        cmdTextFree(&mask);
        out->whole = literal ? 'L' : ok && isNumber(&out->value) ? 'N' : 'D';
    }
    return ok;
}

}  // namespace

char *cmdSubstituteInline(cmdProgram *program, const char *text, int mode, int *ok) {
    LineBuilder b{program, mode};
    *ok = putText(&b, text, std::strlen(text)) ? 1 : 0;
    if (!*ok) {
        cmdTextFree(&b.out);
        return nullptr;
    }
    char *line = b.finish();
    if (line == nullptr && b.failed) *ok = 0;
    return line;
}

char *cmdExpressionLine(cmdProgram *program, ExpExpression *e, int mode, int *built) {
    *built = 0;
    e->softFailure = 0;
    e->valueMissing = 0;
    ExpValue *cursor = e->postfixNewest;
    Marked m;
    ++e->evaluating;
    const int ok = evalMarked(e, &cursor, &m);
    --e->evaluating;
    ValueText text;
    if (!ok) {
        if (!e->valueMissing) {
            cmdOutput(program, 128, e->errorText != nullptr ? e->errorText : "Error evaluating expression");
            return nullptr;
        }
        text.data = "0";  // a missing value is the integer 0, as elsewhere
        text.length = 1;
    } else if (!textOf(e, &m.value, &text)) {
        cmdOutput(program, 128, e->errorText != nullptr ? e->errorText : "Error evaluating expression");
        return nullptr;
    }
    // Text that is all the script's, or all one value's, runs as it stands: only a line that puts a
    // value into the script's own text is built.
    if (m.mask.length != text.length || allOf(m, 'L') || allOf(m, 'D')) {
        auto *copy = static_cast<char *>(CSGetMem(text.length + 1));
        if (copy == nullptr) {
            program->failed = 1;
            return nullptr;
        }
        std::memcpy(copy, text.data, text.length);
        copy[text.length] = '\0';
        // A NUL of the value ends the text, as it ends any line.
        return copy;
    }
    LineBuilder b{program, mode};
    for (size_t at = 0; at < text.length && !b.failed;) {
        size_t end = at;
        const char kind = m.mask.data[at];
        while (end < text.length && m.mask.data[end] == kind) ++end;
        if (kind != 'L')
            b.value(text.data + at, end - at, kind == 'N');
        else if (!putText(&b, text.data + at, end - at))
            b.failed = true;  // its error printed
        at = end;
    }
    char *line = b.finish();
    if (line != nullptr) *built = 1;
    return line;
}

char *cmdExpressionTextLine(cmdProgram *program, const char *text, size_t length, int mode, int *built) {
    *built = 0;
    ExpExpression *e = parseForRun(program, text, length);
    if (e == nullptr) return nullptr;
    char *line = cmdExpressionLine(program, e, mode, built);
    expFreeExpression(e);
    return line;
}
