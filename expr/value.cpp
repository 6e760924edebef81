// Expression values: ownership, list buffers, conversions between value types, ordering for SORT,
// array element keys and the error text of an expression.
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "expr/expr.h"
#include "expr/internal.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------------------------
// Ownership

void expReleaseValue(ExpValue *v) {
    if (v == nullptr) return;
    switch (v->type) {
        case EXP_VAR:
        case EXP_PSTR:
            if (v->data != nullptr) CSFreeMem(v->data);
            break;
        case EXP_LIST:
            if (v->value.len != 0 && v->data != nullptr) CSFreeMem(v->data);
            break;
        default:
            break;
    }
    v->type = 0;
    v->value.i = 0;
    v->data = nullptr;
}

void expFreeValueList(ExpValue **head) {
    if (head == nullptr) return;
    ExpValue *v = *head;
    *head = nullptr;
    while (v != nullptr) {
        ExpValue *next = v->next;
        // Tokens own their EPSTR copies as well; an OP token's data slot holds a count, not memory.
        if (v->type == EXP_EPSTR && v->data != nullptr)
            CSFreeMem(v->data);
        else if (v->type != EXP_OP)
            expReleaseValue(v);
        CSFreeMem(v);
        v = next;
    }
}

void expSetInt(ExpValue *v, int64_t i) {
    v->type = EXP_INT;
    v->value.i = i;
    v->data = nullptr;
}

void expSetDouble(ExpValue *v, double d) {
    v->type = EXP_DBL;
    v->value.d = d;
    v->data = nullptr;
}

void expSetString(ExpValue *v, uint16_t type, char *text, size_t length) {
    v->type = type;
    v->value.len = length;
    v->data = text;
}

// Empty STR pointing at nothing owned.
void expSetEmptyString(ExpValue *v) {
    static char empty[1] = {0};
    expSetString(v, EXP_STR, empty, 0);
}

// ---------------------------------------------------------------------------------------------
// Lists

ExpListCursor expListBegin(const ExpValue *list) {
    ExpListCursor c{nullptr, nullptr};
    if (list != nullptr && list->type == EXP_LIST && list->value.len != 0 && list->data != nullptr) {
        c.at = reinterpret_cast<const uint8_t *>(list->data);
        c.end = c.at + list->value.len;
    }
    return c;
}

bool expListNext(ExpListCursor *c, const char **text, size_t *length) {
    if (c->at == nullptr || c->end - c->at < 2) return false;
    int16_t n;
    std::memcpy(&n, c->at, sizeof n);
    // -1 ends the list; any other negative length or one past the buffer is damage: stop there.
    if (n < 0 || c->end - c->at - 2 < n) {
        c->at = nullptr;
        return false;
    }
    *text = reinterpret_cast<const char *>(c->at + 2);
    *length = static_cast<size_t>(n);
    c->at += 2 + n;
    return true;
}

uint64_t expListTotalLength(const ExpValue *list) {
    ExpListCursor c = expListBegin(list);
    const char *text;
    size_t length;
    uint64_t total = 0;
    while (expListNext(&c, &text, &length)) total += length;
    return total;
}

int expMakeList(ExpValue *result, size_t count, const char *const texts[], const size_t lengths[]) {
    size_t size = 2;
    for (size_t i = 0; i < count; ++i) {
        if (lengths[i] > INT16_MAX) return 0;
        size += 2 + lengths[i];
    }
    auto *buffer = static_cast<uint8_t *>(CSGetMem(size));
    if (buffer == nullptr) return 0;
    uint8_t *at = buffer;
    for (size_t i = 0; i < count; ++i) {
        auto n = static_cast<int16_t>(lengths[i]);
        std::memcpy(at, &n, 2);
        if (lengths[i] != 0) std::memcpy(at + 2, texts[i], lengths[i]);
        at += 2 + lengths[i];
    }
    const int16_t endMark = -1;
    std::memcpy(at, &endMark, 2);
    expSetString(result, EXP_LIST, reinterpret_cast<char *>(buffer), size);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Conversions

int64_t expDoubleToInteger(double d, int64_t lo, int64_t hi) {
    if (std::isnan(d)) return 0;
    // Compare in reals before converting: a cast of an out-of-range real is undefined.
    if (d <= static_cast<double>(lo)) return lo;
    if (d >= static_cast<double>(hi)) return hi;
    return static_cast<int64_t>(d);
}

static int32_t lengthAsInt32(uint64_t length) {
    return length > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(length);
}

int32_t expValueAsInt32(const ExpValue *v) {
    if (v == nullptr) return 0;
    if (v->type == EXP_INT) return static_cast<int32_t>(static_cast<uint32_t>(v->value.i));
    if (v->type == EXP_DBL) return static_cast<int32_t>(expDoubleToInteger(v->value.d, INT32_MIN, INT32_MAX));
    if (expIsString(v)) return lengthAsInt32(v->value.len);
    if (v->type == EXP_LIST) return lengthAsInt32(expListTotalLength(v));
    return 0;
}

double expValueAsDouble(const ExpValue *v) {
    if (v == nullptr) return 0.0;
    if (v->type == EXP_INT) return static_cast<double>(v->value.i);
    if (v->type == EXP_DBL) return v->value.d;
    if (expIsString(v)) return static_cast<double>(v->value.len);
    if (v->type == EXP_LIST) return static_cast<double>(expListTotalLength(v));
    return 0.0;
}

// Formats into a new counted-heap text of exactly the needed size.
static char *formatNew(ExpExpression *e, const char *format, ...) __attribute__((format(printf, 2, 3)));
static char *formatNew(ExpExpression *e, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n < 0) n = 0;
    auto *text = static_cast<char *>(CSGetMem(static_cast<uint64_t>(n) + 1));
    if (text == nullptr) {
        if (e != nullptr) expSetError(e, 20, "Can not allocate %d bytes", n + 1);
        return nullptr;
    }
    va_start(args, format);
    std::vsnprintf(text, static_cast<size_t>(n) + 1, format, args);
    va_end(args);
    return text;
}

char *expValueToString(ExpExpression *e, const ExpValue *v, int decimals) {
    if (v == nullptr || v->type == 0) return formatNew(e, "%s", "<Not Set>");
    if (v->type == EXP_INT) return formatNew(e, "%" PRId64, v->value.i);
    if (v->type == EXP_DBL) return formatNew(e, "%.*f", decimals, v->value.d);
    if (expIsString(v)) {
        auto *text = static_cast<char *>(CSGetMem(v->value.len + 1));
        if (text == nullptr) {
            if (e != nullptr)
                expSetError(e, 20, "Can not allocate %llu bytes",
                            static_cast<unsigned long long>(v->value.len + 1));
            return nullptr;
        }
        if (v->value.len != 0) std::memcpy(text, v->data, v->value.len);
        text[v->value.len] = 0;
        return text;
    }
    if (e != nullptr) expSetError(e, 8, "Unknown lexeme type 0x%X", static_cast<unsigned>(v->type));
    return nullptr;
}

static int sign64(int64_t d) {
    return d < 0 ? -1 : (d > 0 ? 1 : 0);
}

static int compareTexts(const char *a, size_t la, const char *b, size_t lb) {
    size_t n = la < lb ? la : lb;
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<signed char>(a[i]);
        auto cb = static_cast<signed char>(b[i]);
        int fa = expLowerAscii(ca);
        int fb = expLowerAscii(cb);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return la < lb ? -1 : (la > lb ? 1 : 0);
}

int expCompareValues(ExpExpression *e, const ExpValue *a, const ExpValue *b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    if ((a->type & 0xFF) == (b->type & 0xFF)) {
        if (a->type == EXP_INT) return a->value.i < b->value.i ? -1 : (a->value.i > b->value.i ? 1 : 0);
        if (a->type == EXP_DBL) {
            double d = a->value.d - b->value.d;
            return d < 0 ? -1 : (d > 0 ? 1 : 0);
        }
        if (expIsString(a)) return compareTexts(a->data, a->value.len, b->data, b->value.len);
        if (e != nullptr) expSetError(e, 8, "Unknown lexeme type 0x%X", static_cast<unsigned>(a->type));
        return 0;
    }
    // Mixed types meet as 32-bit integers; their difference is taken in 64 bits so it cannot wrap.
    return sign64(static_cast<int64_t>(expValueAsInt32(a)) - static_cast<int64_t>(expValueAsInt32(b)));
}

int expIsNumber(const char *text, size_t length) {
    if (text == nullptr || length == 0) return 0;
    size_t i = (text[0] == '-' && length > 1) ? 1 : 0;
    int dots = 0, digits = 0;
    for (; i < length; ++i) {
        if (text[i] == '.') {
            if (++dots > 1) return 0;
        } else if (text[i] >= '0' && text[i] <= '9') {
            ++digits;
        } else {
            return 0;
        }
    }
    return digits > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Array keys

size_t expBuildArrayKey(const char *name, size_t nameLength, const uint32_t *subscripts, int count, char *out,
                        size_t outSize) {
    if (count < 1 || count > EXP_MAX_SUBSCRIPTS) return 0;
    size_t rem = (nameLength + 3) % 4;
    size_t pad = rem == 0 ? 0 : 4 - rem;
    size_t total = nameLength + 3 + pad + 4 * static_cast<size_t>(count);
    if (total > outSize) return 0;
    std::memcpy(out, name, nameLength);
    size_t at = nameLength;
    out[at++] = '%';
    out[at++] = static_cast<char>(count);
    out[at++] = static_cast<char>(pad);
    for (size_t i = 0; i < pad; ++i) out[at++] = static_cast<char>(0xDD);
    for (int i = 0; i < count; ++i) {
        std::memcpy(out + at, &subscripts[i], 4);
        at += 4;
    }
    return at;
}

size_t expFormatArrayName(const char *key, size_t keyLength, char *out, size_t outSize) {
    if (outSize == 0) return 0;
    const void *mark = std::memchr(key, '%', keyLength);
    size_t nameLength = mark ? static_cast<size_t>(static_cast<const char *>(mark) - key) : keyLength;
    size_t at = 0;
    auto put = [&](const char *s, size_t n) {
        size_t room = outSize - 1 - at;
        if (n > room) n = room;
        std::memcpy(out + at, s, n);
        at += n;
    };
    put(key, nameLength);
    if (mark != nullptr && nameLength + 3 <= keyLength) {
        auto count = static_cast<uint8_t>(key[nameLength + 1]);
        auto pad = static_cast<uint8_t>(key[nameLength + 2]);
        size_t sub = nameLength + 3 + pad;
        put("[", 1);
        for (unsigned i = 0; i < count && sub + 4 <= keyLength; ++i, sub += 4) {
            uint32_t s;
            std::memcpy(&s, key + sub, 4);
            char digits[16];
            int n = std::snprintf(digits, sizeof digits, "%s%u", i ? "," : "", s);
            put(digits, static_cast<size_t>(n));
        }
        put("]", 1);
    }
    out[at] = 0;
    return at;
}

// ---------------------------------------------------------------------------------------------
// Errors and trace

int expSetError(ExpExpression *e, size_t extra, const char *format, ...) {
    if (e == nullptr) return 0;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    // The hint sizes the text as the callers expect; the measured length makes sure it all fits.
    size_t size = std::strlen(format) + extra + 1;
    if (n >= 0 && static_cast<size_t>(n) + 1 > size) size = static_cast<size_t>(n) + 1;
    auto *text = static_cast<char *>(CSGetMem(size));
    if (text != nullptr) {
        va_start(args, format);
        std::vsnprintf(text, size, format, args);
        va_end(args);
    }
    if (e->errorText != nullptr) CSFreeMem(e->errorText);
    e->errorText = text;
    return 0;
}

void expDumpLexeme(const ExpValue *v) {
    if (v == nullptr) return;
    static const char *const names[] = {"INT", "DBL", "VAR", "STR", "OP", "LIST", "PSTR", "EPSTR"};
    const char *name = "?";
    switch (v->type) {
        case EXP_INT:
            name = names[0];
            break;
        case EXP_DBL:
            name = names[1];
            break;
        case EXP_VAR:
            name = names[2];
            break;
        case EXP_STR:
            name = names[3];
            break;
        case EXP_OP:
            name = names[4];
            break;
        case EXP_LIST:
            name = names[5];
            break;
        case EXP_PSTR:
            name = names[6];
            break;
        case EXP_EPSTR:
            name = names[7];
            break;
        default:
            break;
    }
    if (v->type == EXP_INT) {
        CSTrace(1, "Lexeme %s pos(%u) %" PRId64 "\n", name, v->position, v->value.i);
    } else if (v->type == EXP_DBL) {
        CSTrace(1, "Lexeme %s pos(%u) %f\n", name, v->position, v->value.d);
    } else if (v->type == EXP_OP) {
        CSTrace(1, "Lexeme %s pos(%u) %s\n", name, v->position, v->value.op ? v->value.op->name : "");
    } else if (expIsString(v) || v->type == EXP_VAR) {
        int n = v->value.len > 200 ? 200 : static_cast<int>(v->value.len);
        CSTrace(1, "Lexeme %s pos(%u) '%.*s'\n", name, v->position, n, v->data ? v->data : "");
    } else {
        CSTrace(1, "Lexeme %s(0x%X) pos(%u) len(%" PRIu64 ")\n", name, static_cast<unsigned>(v->type),
                v->position, v->value.len);
    }
}
