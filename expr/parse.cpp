// Expression parser: cuts the text into lexemes, classifies them into tokens, converts the tokens to
// postfix order by operator precedence, runs a trial evaluation to catch type errors early, and
// keeps a small cache of parsed texts for callers that parse the same text again and again.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "expr/expr.h"
#include "expr/internal.h"
#include "platform/platform.h"

namespace {

constexpr const char *delimiters = "()[]!|&<>-+*/=,;";
constexpr const char *separators = " ()[]!|&<>-+*/=\n\t,;";
constexpr int maxLiteral = 19;       // characters of a numeric literal
constexpr int maxConstantName = 99;  // characters of a CONST. name
constexpr int maxFunctionName = 31;  // characters of a script's own function name
constexpr int maxNesting = 200;      // function calls and subscripts inside one another

ExpCatalogue catalogue{};

// ---------------------------------------------------------------------------------------------
// Token list

ExpValue *newToken(ExpExpression *e, uint16_t type, size_t position) {
    auto *t = static_cast<ExpValue *>(CSGetMem(sizeof(ExpValue)));
    if (t == nullptr) {
        expSetError(e, 20, "Can not allocate %d bytes", static_cast<int>(sizeof(ExpValue)));
        return nullptr;
    }
    std::memset(t, 0, sizeof *t);
    t->type = type;
    t->position = static_cast<uint16_t>(position);
    t->previous = e->lastToken;
    if (e->lastToken != nullptr)
        e->lastToken->next = t;
    else
        e->firstToken = t;
    e->lastToken = t;
    return t;
}

void unlinkToken(ExpExpression *e, ExpValue *t) {
    if (t->previous != nullptr)
        t->previous->next = t->next;
    else
        e->firstToken = t->next;
    if (t->next != nullptr)
        t->next->previous = t->previous;
    else
        e->lastToken = t->previous;
    t->next = t->previous = nullptr;
}

// Moves a token to the newest end of the postfix list; items link towards older ones by next.
void output(ExpExpression *e, ExpValue *t) {
    unlinkToken(e, t);
    t->next = e->postfixNewest;
    if (e->postfixNewest != nullptr)
        e->postfixNewest->previous = t;
    else
        e->postfixOldest = t;
    e->postfixNewest = t;
}

char *copyText(ExpExpression *e, const char *text, size_t length) {
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr) {
        expSetError(e, 20, "Can not allocate %d bytes", static_cast<int>(length + 1));
        return nullptr;
    }
    if (length != 0) std::memcpy(copy, text, length);
    copy[length] = 0;
    return copy;
}

bool isOp(const ExpValue *t, const char *name) {
    return t != nullptr && t->type == EXP_OP && std::strcmp(t->value.op->name, name) == 0;
}

bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isNameChar(char c) {
    return isLetter(c) || isDigit(c) || c == '.' || c == '_';
}
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool startsNoCase(const char *text, size_t length, const char *prefix) {
    size_t n = std::strlen(prefix);
    return length >= n && expEqualNoCase(text, prefix, n);
}

bool equalsNoCase(const char *text, size_t length, const char *word) {
    return std::strlen(word) == length && expEqualNoCase(text, word, length);
}

// ---------------------------------------------------------------------------------------------
// Operator lookup

uint64_t rowNameLength(const ExpOperator *row) {
    return row->nameLength != 0 ? row->nameLength : std::strlen(row->name);
}

// The first row whose name starts the lexeme (ignoring case). A word operator must be followed by a
// blank, "(", "+", "-", "!" or the end of the text; a name never reaches past the lexeme.
const ExpOperator *findOperator(const ExpOperator *table, const char *lexeme, size_t length,
                                const char *textEnd, bool skipBinary) {
    for (const ExpOperator *row = table; row->name != nullptr; ++row) {
        if (skipBinary && (row->flags & EXP_OPF_BINARY)) continue;
        uint64_t n = rowNameLength(row);
        if (n == 0 || n > length || !expEqualNoCase(lexeme, row->name, n)) continue;
        if (row->flags & EXP_OPF_WORD) {
            const char *after = lexeme + n;
            if (after < textEnd && !isBlank(*after) && *after != '(' && *after != '+' && *after != '-' &&
                *after != '!')
                continue;
        }
        return row;
    }
    return nullptr;
}

// The unary or punctuation row of the same name, for an operator found where an operand belongs.
const ExpOperator *unaryRow(const ExpOperator *table, const ExpOperator *row) {
    for (const ExpOperator *r = table; r->name != nullptr; ++r) {
        if (!(r->flags & EXP_OPF_BINARY) && std::strcmp(r->name, row->name) == 0) return r;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Names

// Checks a prefixed name against the catalogue -> 1, or 0 with the error set.
int checkPrefixedName(ExpExpression *e, uint16_t flags, const char *bare, size_t bareLength,
                      const char *whole, size_t wholeLength, size_t position) {
    const int pos = static_cast<int>(position + e->basePosition);
    const int wl = static_cast<int>(wholeLength);
    auto invalid = [&] {
        return expSetError(e, wholeLength + 20, "Invalid variable name '%.*s' at position %d", wl, whole,
                           pos);
    };
    auto answer = [&](ExpFieldLookup lookup) {
        ExpFieldAnswer a = lookup != nullptr ? lookup(bare, bareLength) : EXP_FIELD_UNKNOWN;
        if (a == EXP_FIELD_FOUND) return 1;
        if (a == EXP_FIELD_CONSTRUCTED)
            return expSetError(e, wholeLength + 20,
                               "Can not use a constructed variable '%.*s' at position %d", wl, whole, pos);
        return invalid();
    };
    const uint16_t others = flags;
    if (flags & EXP_IND_EVENT) {
        if (flags & EXP_IND_ALERT) return invalid();
        if (equalsNoCase(bare, bareLength, "summary")) return 1;
        return answer(catalogue.eventField);
    }
    if (flags & EXP_IND_ALERT) {
        if (others != EXP_IND_ALERT) return invalid();
        return answer(catalogue.alertField);
    }
    if (flags & EXP_IND_MQMD) {
        if (others != EXP_IND_MQMD) return invalid();
        return answer(catalogue.mqmdField);
    }
    if (flags & EXP_IND_CFH) {
        if (others != EXP_IND_CFH) return invalid();
        if (equalsNoCase(bare, bareLength, "reason") || equalsNoCase(bare, bareLength, "command")) return 1;
        return invalid();
    }
    if (flags & EXP_IND_DATA) {
        if (catalogue.dataKeyword != nullptr && catalogue.dataKeyword(bare, bareLength, flags)) return 1;
        return invalid();
    }
    return 1;
}

// CONST.name -> INT token value, or 0 with the error set.
int constantToken(ExpExpression *e, ExpValue *t, const char *lexeme, size_t length, size_t position) {
    const char *name = lexeme + 6;
    size_t n = length - 6;
    const int pos = static_cast<int>(position + e->basePosition);
    if (n == 0) return expSetError(e, 0, "No constant name provided");
    if (n > static_cast<size_t>(maxConstantName))
        return expSetError(e, 40, "Constant name '%.*s' at position %d is too long", static_cast<int>(n),
                           name, pos);
    int32_t value = 0;
    if (equalsNoCase(name, n, "SYNC"))
        value = 1;
    else if (equalsNoCase(name, n, "ASYNC"))
        value = 2;
    else if (catalogue.constant == nullptr || !catalogue.constant(name, n, &value))
        return expSetError(e, n, "Unrecognised constant '%.*s'.", static_cast<int>(n), name);
    expSetInt(t, value);
    return 1;
}

int hexDigit(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A name token (VAR) -> 1, or 0 with the error set.
int nameToken(ExpExpression *e, ExpValue *t, const char *lexeme, size_t length, size_t position) {
    const int pos = static_cast<int>(position + e->basePosition);
    const int len = static_cast<int>(length);
    if (lexeme[0] == '_') {
        if (!(e->flags & EXP_PARSE_OWN_SYSTEM) && !expIsSystemVariable(lexeme, length))
            return expSetError(e, length + 20, "Unrecognised system variable '%.*s' at position %d", len,
                               lexeme, pos);
        t->data = copyText(e, lexeme, length);
        if (t->data == nullptr) return 0;
        t->value.len = length;
        return 1;
    }
    uint16_t flags = 0;
    size_t offset = 0, bareLength = 0;
    char failure[200];
    if (!expParseIndicator(lexeme, length, &flags, &offset, &bareLength, failure, sizeof failure))
        return expSetError(e, 20, "%s at position %d", failure, pos);
    if (lexeme[0] != '@' &&
        !checkPrefixedName(e, flags, lexeme + offset, bareLength, lexeme, length, position))
        return 0;
    t->data = copyText(e, lexeme + offset, bareLength);
    if (t->data == nullptr) return 0;
    t->value.len = bareLength;
    t->indicator = flags;
    return 1;
}

// Classifies an operand lexeme (expTokenize) into the token -> 1, or 0 with the error set.
int expTokenize(ExpExpression *e, ExpValue *t, const char *lexeme, size_t length, size_t position) {
    const int pos = static_cast<int>(position + e->basePosition);
    const int len = static_cast<int>(length);
    if (startsNoCase(lexeme, length, "CONST.")) return constantToken(e, t, lexeme, length, position);

    size_t at = (lexeme[0] == '@' && (e->flags & EXP_PARSE_AT_NAMES)) ? 1 : 0;
    if (at < length && (isLetter(lexeme[at]) || lexeme[at] == '_')) {
        bool name = true;
        for (size_t i = at; i < length && name; ++i) name = isNameChar(lexeme[i]);
        if (name) {
            t->type = EXP_VAR;
            return nameToken(e, t, lexeme, length, position);
        }
    }

    if (lexeme[0] == '\'' || lexeme[0] == '"') {
        // The quote check before classification makes sure the closing quote is there.
        size_t n = length - 2;
        const char q = lexeme[0];
        if (n == 0) {
            expSetEmptyString(t);
        } else if ((e->flags & EXP_PARSE_DOUBLED_QUOTES) && std::memchr(lexeme + 1, q, n) != nullptr) {
            char *copy = copyText(e, lexeme + 1, n);
            if (copy == nullptr) return 0;
            size_t kept = 0;
            for (size_t i = 0; i < n; ++i) {
                copy[kept++] = copy[i];
                if (copy[i] == q && i + 1 < n && copy[i + 1] == q) ++i;
            }
            copy[kept] = '\0';
            expSetString(t, EXP_EPSTR, copy, kept);
        } else if (e->flags & EXP_PARSE_COPY_STRINGS) {
            char *copy = copyText(e, lexeme + 1, n);
            if (copy == nullptr) return 0;
            expSetString(t, EXP_EPSTR, copy, n);
        } else {
            expSetString(t, EXP_STR, const_cast<char *>(lexeme + 1), n);
        }
        return 1;
    }

    size_t digits = (lexeme[0] == '-' && length > 1) ? 1 : 0;
    bool integer = digits < length;
    for (size_t i = digits; i < length && integer; ++i) integer = isDigit(lexeme[i]);
    if (integer || expIsNumber(lexeme, length)) {
        if (length > static_cast<size_t>(maxLiteral))
            return expSetError(e, length + 20, "Numeric literal '%.*s' at position %d is too large", len,
                               lexeme, pos);
        char buffer[maxLiteral + 1];
        std::memcpy(buffer, lexeme, length);
        buffer[length] = 0;
        errno = 0;
        if (integer) {
            long long v = std::strtoll(buffer, nullptr, 10);
            if (errno == ERANGE)
                return expSetError(e, length + 20, "Numeric literal '%.*s' at position %d is too large", len,
                                   lexeme, pos);
            expSetInt(t, v);
        } else {
            expSetDouble(t, std::strtod(buffer, nullptr));
        }
        return 1;
    }

    if (length > 2 && lexeme[0] == '0' && lexeme[1] == 'x') {
        const char *hex = lexeme + 2;
        size_t n = length - 2;
        const char q = hex[0];
        if ((q == '\'' || q == '"') && n >= 2 && hex[n - 1] == q) {
            // A quoted run of hex digits: two digits a byte.
            for (size_t i = 1; i + 1 < n; ++i) {
                if (hexDigit(hex[i]) < 0)
                    return expSetError(e, n + 20, "Invalid hex number '%.*s' at position %d",
                                       static_cast<int>(n), hex, pos);
            }
            size_t count = (n - 2) / 2;
            auto *bytes = static_cast<char *>(CSGetMem(count + 1));
            if (bytes == nullptr)
                return expSetError(e, 20, "Can not allocate %llu bytes",
                                   static_cast<unsigned long long>(count + 1));
            evHexToBytes(hex + 1, n - 2, reinterpret_cast<uint8_t *>(bytes));
            bytes[count] = 0;
            expSetString(t, EXP_EPSTR, bytes, count);
            return 1;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) {
            int d = hexDigit(hex[i]);
            if (d < 0)
                return expSetError(e, n + 20, "Invalid hex number '%.*s' at position %d", static_cast<int>(n),
                                   hex, pos);
            v = (v << 4) | static_cast<uint64_t>(d);
        }
        expSetInt(t, static_cast<int64_t>(v));
        return 1;
    }
    return expSetError(e, length + 20, "Unrecognised token '%.*s' at position %d", len, lexeme, pos);
}

// Cuts the text into tokens -> 1, or 0 with the error set.
int tokenizeText(ExpExpression *e, const char *text, size_t length) {
    const char *cursor = text;
    const char *end = text + length;
    const char *lexeme;
    size_t n;
    while (scanGetToken(&cursor, end, delimiters, separators, &lexeme, &n) == 0) {
        const size_t position = static_cast<size_t>(lexeme - text);
        // A quote that follows the closing one at once continues the string, as one quote.
        while ((e->flags & EXP_PARSE_DOUBLED_QUOTES) && (lexeme[0] == '\'' || lexeme[0] == '"') && n >= 2 &&
               lexeme[n - 1] == lexeme[0] && cursor < end && *cursor == lexeme[0]) {
            const auto *close = static_cast<const char *>(
                std::memchr(cursor + 1, lexeme[0], static_cast<size_t>(end - cursor - 1)));
            cursor = close != nullptr ? close + 1 : end;
            n = static_cast<size_t>(cursor - lexeme);
        }
        const ExpOperator *row = findOperator(e->table, lexeme, n, end, false);
        if (row != nullptr) {
            ExpValue *t = newToken(e, EXP_OP, position);
            if (t == nullptr) return 0;
            t->value.op = row;
            // An operator that starts a longer lexeme ("%2") leaves the rest for the next lexeme.
            uint64_t used = rowNameLength(row);
            if (used < n) cursor = lexeme + used;
            continue;
        }
        if (e->caller.program != nullptr && catalogue.findFunction != nullptr && n <= maxFunctionName) {
            row = catalogue.findFunction(e->caller.program, lexeme, n);
            if (row != nullptr) {
                ExpValue *t = newToken(e, EXP_OP, position);
                if (t == nullptr) return 0;
                t->value.op = row;
                continue;
            }
        }
        if ((lexeme[0] == '\'' || lexeme[0] == '"') && (n < 2 || lexeme[n - 1] != lexeme[0]))
            return expSetError(e, 0, "Quote missing from string");
        ExpValue *t = newToken(e, 0, position);
        if (t == nullptr || !expTokenize(e, t, lexeme, n, position)) return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Postfix conversion

struct PostfixState {
    ExpExpression *e;
    ExpValue *next;  // the next token to read
    int depth;
};

int toPostfix(PostfixState *p, char terminator, ExpValue **ender, bool *empty);

int positionOf(const PostfixState *p, const ExpValue *t) {
    return static_cast<int>(t->position + p->e->basePosition);
}

// How a parameter or subscript list ended.
enum class ListEnd { Closed, Unclosed, TooLong };

// The items of a parameter list (terminator ")") or a subscript list ("]") after its opening bracket,
// each converted to postfix up to "," or the terminator -> 1 with how the list ended and the number
// of items read (limit + 1 when there were too many), or 0 with the error of an empty item set.
int parseList(PostfixState *p, char terminator, int limit, int *count, ListEnd *end) {
    const char close[2] = {terminator, 0};
    *count = 0;
    for (;;) {
        ExpValue *ender = nullptr;
        bool empty = false;
        if (!toPostfix(p, terminator, &ender, &empty)) return 0;
        if (empty) {
            if (*count == 0 && isOp(ender, close))
                return expSetError(p->e, 40, "An operand was expected before '%c' at position %d", terminator,
                                   positionOf(p, ender));
            return expSetError(p->e, 0, "Missing operand");
        }
        if (++*count > limit) {
            *end = ListEnd::TooLong;
            return 1;
        }
        if (isOp(ender, ",")) continue;
        *end = isOp(ender, close) ? ListEnd::Closed : ListEnd::Unclosed;
        return 1;
    }
}

// After a function token: "(" parameters ")" -> 1, or 0 with the error set.
int expParseFunctionCall(PostfixState *p, ExpValue *function) {
    ExpExpression *e = p->e;
    const ExpOperator *row = function->value.op;
    ExpValue *open = p->next;
    if (!isOp(open, "(")) {
        return expSetError(e, 60, "Expected '(' to follow function %s at position %d", row->name,
                           positionOf(p, function));
    }
    p->next = open->next;
    int count = 0;
    if (row->parameters < 0 && isOp(p->next, ")")) {
        p->next = p->next->next;
    } else {
        ListEnd end{};
        if (!parseList(p, ')', EXP_MAX_PARAMETERS, &count, &end)) return 0;
        if (end == ListEnd::TooLong)
            return expSetError(e, 20, "Maximum number of parameters to any function is %d",
                               EXP_MAX_PARAMETERS);
        if (end == ListEnd::Unclosed)
            return expSetError(e, 60, "Missing ')' for function %s at position %d", row->name,
                               positionOf(p, function));
    }
    if (row->parameters >= 0 && count != row->parameters) {
        return expSetError(e, 80, "Function %s at position %d takes %d parameter%s", row->name,
                           positionOf(p, function), row->parameters, row->parameters == 1 ? "" : "s");
    }
    function->params = static_cast<uintptr_t>(count);
    return 1;
}

// After a VAR and its "[": subscripts "]" -> 1, or 0 with the error set.
int expParseArraySubscript(PostfixState *p, ExpValue *var) {
    ExpExpression *e = p->e;
    p->next = p->next->next;  // the "["
    int count = 0;
    ListEnd end{};
    if (!parseList(p, ']', EXP_MAX_SUBSCRIPTS, &count, &end)) return 0;
    if (end == ListEnd::TooLong)
        return expSetError(e, 20, "Maximum number of array subscripts on any array is %d",
                           EXP_MAX_SUBSCRIPTS);
    if (end == ListEnd::Unclosed)
        return expSetError(e, var->value.len + 40, "Missing ']' for array '%s' at position %d", var->data,
                           positionOf(p, var));
    var->subscripts = static_cast<uint16_t>(count);
    return 1;
}

// Converts tokens to postfix until the end, or until "," or the terminator at this level (returned
// in *ender; *empty when the level held no token at all) -> 1, or 0 with the error set.
int toPostfix(PostfixState *p, char terminator, ExpValue **ender, bool *empty) {
    ExpExpression *e = p->e;
    if (++p->depth > maxNesting) return expSetError(e, 0, "Expression is too deeply nested");
    struct DepthGuard {
        int &d;
        ~DepthGuard() { --d; }
    } guard{p->depth};

    std::vector<ExpValue *> stack;
    bool expectOperand = true;
    bool any = false;
    ExpValue *lastOperator = nullptr;
    ExpValue *previous = nullptr;
    *ender = nullptr;
    *empty = false;
    auto popTo = [&](uint16_t incoming) {
        while (!stack.empty() && stack.back()->value.op->inStack >= incoming) {
            output(e, stack.back());
            stack.pop_back();
        }
    };
    // The end of a parameter or subscript: everything left goes out; a "(" left open is unmatched.
    auto flushLevel = [&]() {
        while (!stack.empty()) {
            if (isOp(stack.back(), "(")) return expSetError(e, 0, "Unmatched parenthesis");
            output(e, stack.back());
            stack.pop_back();
        }
        return 1;
    };
    while (p->next != nullptr) {
        ExpValue *t = p->next;
        p->next = t->next;
        ExpValue *before = previous;
        previous = t;
        if (t->type != EXP_OP) {
            if (!expectOperand)
                return expSetError(e, 40, "An operator was expected after operand at position %d",
                                   positionOf(p, t));
            any = true;
            if (t->type == EXP_VAR && isOp(p->next, "[") && !expParseArraySubscript(p, t)) return 0;
            output(e, t);
            expectOperand = false;
            continue;
        }
        const ExpOperator *row = t->value.op;
        if (row->flags & (EXP_OPF_FUNCTION | EXP_OPF_USER)) {
            if (!expectOperand)
                return expSetError(e, 40, "An operator was expected after operand at position %d",
                                   positionOf(p, t));
            any = true;
            if (!expParseFunctionCall(p, t)) return 0;
            output(e, t);
            expectOperand = false;
            continue;
        }
        const char c = row->name[0];
        const bool single = row->name[1] == 0;
        const bool closing = single && (c == ')' || c == ']');
        if (single && c == ',') {
            if (terminator == 0)
                return expSetError(e, 40, "Unexpected character '%s' found at position %d", row->name,
                                   positionOf(p, t));
            *ender = t;
            if (!any) {
                *empty = true;
                return 1;
            }
            if (expectOperand)
                return expSetError(e, 40, "An operand was expected before '%c' at position %d", c,
                                   positionOf(p, t));
            return flushLevel();
        }
        if (closing) {
            if (!any && c == terminator) {
                *ender = t;
                *empty = true;
                return 1;
            }
            if (expectOperand)
                return expSetError(e, 40, "An operand was expected before '%c' at position %d", c,
                                   positionOf(p, t));
            popTo(row->incoming);
            if (stack.empty()) {
                if (c != terminator) return expSetError(e, 0, "Unmatched parenthesis");
                *ender = t;
                return 1;
            }
            if (!isOp(stack.back(), "(") || c != ')') return expSetError(e, 0, "Unmatched parenthesis");
            stack.pop_back();
            continue;
        }
        if (single && c == '(' && before != nullptr && before->type == EXP_VAR && !expectOperand)
            return expSetError(e, before->value.len + 40, "Unknown function name '%s' at position %d",
                               before->data, positionOf(p, before));
        if (single && c == '[')
            return expSetError(e, 40, "Unexpected character '%s' found at position %d", row->name,
                               positionOf(p, t));
        if (expectOperand) {
            if (row->flags & EXP_OPF_BINARY) {
                row = unaryRow(e->table, row);
                if (row == nullptr)
                    return expSetError(e, 40, "Unexpected operator '%s' found at position %d",
                                       t->value.op->name, positionOf(p, t));
                t->value.op = row;
            }
        } else if (!(row->flags & EXP_OPF_BINARY)) {
            // "!" or "(" straight after an operand would leave that operand unused.
            if (c == '(')
                return expSetError(e, 40, "An operator was expected after operand at position %d",
                                   positionOf(p, t));
            return expSetError(e, 40, "Unexpected operator '%s' found at position %d", row->name,
                               positionOf(p, t));
        }
        any = true;
        popTo(row->incoming);
        stack.push_back(t);
        lastOperator = t;
        expectOperand = true;
    }
    if (terminator != 0) return 1;  // the caller reports the missing ")" or "]"
    if (expectOperand) {
        if (lastOperator != nullptr)
            return expSetError(e, 40, "An operand was expected after '%s' at position %d",
                               lastOperator->value.op->name, positionOf(p, lastOperator));
        return expSetError(e, 0, "Missing operand");
    }
    while (!stack.empty()) {
        ExpValue *t = stack.back();
        stack.pop_back();
        if (isOp(t, "("))
            return expSetError(e, 40, "The ')' to match the '(' at position %d was not found",
                               positionOf(p, t));
        output(e, t);
    }
    return 1;
}

int expToPostfix(ExpExpression *e) {
    PostfixState p{e, e->firstToken, 0};
    ExpValue *ender = nullptr;
    bool empty = false;
    return toPostfix(&p, 0, &ender, &empty);
}

// ---------------------------------------------------------------------------------------------
// Parse cache

struct CacheEntry {
    char *text;
    uint32_t length;
    uint32_t stamp;
    ExpExpression *expression;
};

CacheEntry cache[EXP_CACHE_SIZE];
int cacheUsed = 0;
uint32_t cacheStamp = 0;
ExpExpression *evictedList = nullptr;  // let go by the cache while being evaluated

void freeEvicted() {
    ExpExpression **link = &evictedList;
    while (*link != nullptr) {
        ExpExpression *e = *link;
        if (e->evaluating == 0) {
            *link = e->nextEvicted;
            e->evicted = 2;
            expFreeExpression(e);
        } else {
            link = &e->nextEvicted;
        }
    }
}

ExpExpression *cacheFind(const char *text, size_t length) {
    for (int i = 0; i < cacheUsed; ++i) {
        if (cache[i].length == length && std::memcmp(cache[i].text, text, length) == 0) {
            cache[i].stamp = ++cacheStamp;
            return cache[i].expression;
        }
    }
    return nullptr;
}

void cacheStore(const char *text, size_t length, ExpExpression *e) {
    if (length > UINT32_MAX) return;
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr) return;
    std::memcpy(copy, text, length);
    copy[length] = 0;
    int slot = cacheUsed;
    if (cacheUsed == EXP_CACHE_SIZE) {
        slot = 0;
        for (int i = 1; i < EXP_CACHE_SIZE; ++i) {
            if (cache[i].stamp < cache[slot].stamp) slot = i;
        }
        CSFreeMem(cache[slot].text);
        ExpExpression *old = cache[slot].expression;
        // An expression in the middle of an evaluation (a nested EVAL) is freed by the next cached
        // parse after that evaluation has ended, so that its caller can still read its error text.
        if (old->evaluating == 0) {
            old->evicted = 2;
            expFreeExpression(old);
        } else {
            old->evicted = 1;
            old->nextEvicted = evictedList;
            evictedList = old;
        }
    } else {
        ++cacheUsed;
    }
    e->evicted = 0;
    e->cached = 1;
    cache[slot] = CacheEntry{copy, static_cast<uint32_t>(length), ++cacheStamp, e};
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void expSetCatalogue(const ExpCatalogue *c) {
    catalogue = c != nullptr ? *c : ExpCatalogue{};
}

int expIsSystemVariable(const char *name, size_t length) {
    static const char *const names[] = {
        "_nl",       "_os",        "_sep",       "_time",       "_qmgr",     "_item",        "_ccdt",
        "_errno",    "_cmdok",     "_width",     "_stream",     "_lastrc",   "_height",      "_client",
        "_matches",  "_idxEach",   "_numEach",   "_idxItem",    "_numItem",  "_ccdtmode",    "_cmdlevel",
        "_idxWhile", "_numWhile",  "_platform",  "_connqmgr",   "_errnostr", "_lastcmdresp", "_lastresp",
        "_respwait", "_responses", "_lastrcstr", "_error_func", "_dspcmd",   "_idxData",     "_streamtype",
    };
    static_assert(sizeof names / sizeof names[0] == 35);
    for (const char *n : names) {
        if (equalsNoCase(name, length, n)) return 1;
    }
    return 0;
}

int expParseIndicator(const char *name, size_t length, uint16_t *flags, size_t *offset, size_t *nameLength,
                      char *failure, size_t failureSize) {
    struct Affix {
        const char *text;
        uint16_t flag;
    };
    static constexpr Affix first[] = {
        {"mqmd.", EXP_IND_MQMD}, {"event.", EXP_IND_EVENT}, {"data.", EXP_IND_DATA}, {"cfh.", EXP_IND_CFH}};
    static constexpr Affix second[] = {{"before.", EXP_IND_BEFORE},
                                       {"after.", EXP_IND_AFTER},
                                       {"cmddata.", EXP_IND_CMDDATA},
                                       {"cmdctx.", EXP_IND_CMDCTX},
                                       {"alert.", EXP_IND_ALERT}};
    static const char *const indicators[] = {"COMPRATE", "COMPTIME", "EXITTIME", "NETTIME", "XBATCHSZ",
                                             "XMSGSA",   "XQTIME",   "QTIME",    "MCASTREL"};
    uint16_t f = 0;
    size_t at = 0, n = length;
    for (const Affix &a : first) {
        if (startsNoCase(name + at, n, a.text)) {
            size_t k = std::strlen(a.text);
            at += k, n -= k, f |= a.flag;
            break;
        }
    }
    for (const Affix &a : second) {
        if (startsNoCase(name + at, n, a.text)) {
            size_t k = std::strlen(a.text);
            at += k, n -= k, f |= a.flag;
            break;
        }
    }
    uint16_t suffix = 0;
    if (n >= 5 && equalsNoCase(name + at + n - 5, 5, ".long")) {
        suffix = EXP_IND_LONG;
        n -= 5;
    } else if (n >= 6 && equalsNoCase(name + at + n - 6, 6, ".short")) {
        suffix = EXP_IND_SHORT;
        n -= 6;
    }
    bool indicator = false;
    for (const char *i : indicators) indicator = indicator || equalsNoCase(name + at, n, i);
    if (indicator && suffix == 0) suffix = EXP_IND_SHORT;
    if (!indicator && suffix != 0) {
        if (failure != nullptr && failureSize != 0)
            std::snprintf(failure, failureSize, "'%.*s' is not an indicator",
                          static_cast<int>(n > 120 ? 120 : n), name + at);
        return 0;
    }
    *flags = static_cast<uint16_t>(f | suffix);
    *offset = at;
    *nameLength = n;
    return 1;
}

void expFreeExpression(ExpExpression *e) {
    if (e == nullptr || (e->cached != 0 && e->evicted != 2)) return;
    expFreeValueList(&e->firstToken);
    expFreeValueList(&e->postfixNewest);
    if (e->errorText != nullptr) CSFreeMem(e->errorText);
    CSFreeMem(e);
}

ExpExpression *expParseExpression(const char *text, int64_t length, uint32_t basePosition, uint32_t flags,
                                  const ExpOperator *table, ExpVariableCallback variableCallback,
                                  ExpFunctionCallback functionCallback, const ExpCallerBlock *caller,
                                  char **errorText) {
    const bool debug = (evDebugOptions.load() & EV_OPT_d) != 0;
    if (errorText != nullptr) *errorText = nullptr;
    if (text == nullptr) text = "";
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    if (debug) std::fprintf(stderr, "expParseExpression '%.*s'\n", static_cast<int>(n), text);
    struct ReturnTrace {
        bool on;
        ~ReturnTrace() {
            if (on) std::fprintf(stderr, "expParseExpression (Return)\n");
        }
    } trace{debug};

    if (catalogue.prepare != nullptr) catalogue.prepare();
    if (flags & EXP_PARSE_CACHE) {
        freeEvicted();
        if (ExpExpression *hit = cacheFind(text, n)) return hit;
    }

    auto *e = static_cast<ExpExpression *>(CSGetMem(sizeof(ExpExpression)));
    if (e == nullptr) {
        if (errorText != nullptr) {
            *errorText = static_cast<char *>(CSGetMem(40));
            if (*errorText != nullptr)
                std::snprintf(*errorText, 40, "Can not allocate %d bytes",
                              static_cast<int>(sizeof(ExpExpression)));
        }
        return nullptr;
    }
    std::memset(e, 0, sizeof *e);
    e->table = table != nullptr ? table : expFilterOperatorTable;
    // A cached expression outlives the caller's text, so its strings are always copies.
    e->flags = (flags & EXP_PARSE_CACHE) ? (flags | EXP_PARSE_COPY_STRINGS) : flags;
    e->basePosition = basePosition;
    e->variableCallback = variableCallback;
    e->functionCallback = functionCallback;
    if (caller != nullptr) e->caller = *caller;

    bool ok = tokenizeText(e, text, n);
    if (ok && e->firstToken == nullptr) ok = expSetError(e, 0, "No expression given");
    if (ok) ok = expToPostfix(e);
    if (ok && !(flags & EXP_PARSE_NO_TRIAL)) {
        ExpValue result{};
        ExpValue *cursor = e->postfixNewest;
        e->trial = 1;
        ok = expEvaluate(e, &cursor, &result) != 0;
        expReleaseValue(&result);
        e->trial = 0;
        if (!ok && (e->softFailure || e->valueMissing)) ok = true;
        e->softFailure = e->valueMissing = 0;
        if (ok && e->errorText != nullptr) {
            CSFreeMem(e->errorText);
            e->errorText = nullptr;
        }
    }
    if (!ok) {
        if (errorText != nullptr) {
            *errorText = e->errorText;
            e->errorText = nullptr;
        }
        expFreeExpression(e);
        return nullptr;
    }
    if (flags & EXP_PARSE_CACHE) cacheStore(text, n, e);
    return e;
}
