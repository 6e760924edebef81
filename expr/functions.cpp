// Built-in functions of the expression language: numbers (SQRT, POWER, MAX, MIN), texts (LOWER,
// UPPER, SUBSTR, FINDSTR, FINDSTRI), DATE, and VALUEOF and ATTRSTR over MQSC-style attribute texts
// such as QUEUE(Q1) DESCR('my queue'). Arguments are freed by the evaluator after the call.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "expr/expr.h"
#include "expr/internal.h"
#include "platform/platform.h"

namespace {

int allocFailure(ExpExpression *e, size_t size) {
    return expSetError(e, 20, "Can not allocated %llu bytes", static_cast<unsigned long long>(size));
}

// A new PSTR copy of the bytes; an empty text gives an empty STR.
int stringResult(ExpExpression *e, ExpValue *result, const char *text, size_t length) {
    if (length == 0) {
        expSetEmptyString(result);
        return 1;
    }
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr) return allocFailure(e, length + 1);
    std::memcpy(copy, text, length);
    copy[length] = 0;
    expSetString(result, EXP_PSTR, copy, length);
    return 1;
}

void notSet(ExpValue *result) {
    result->type = 0;
    result->value.i = 0;
    result->data = nullptr;
}

// LOWER and UPPER: a string or every element of a list.
int changeCase(ExpExpression *e, ExpValue *args, ExpValue *result, bool upper, const char *failure) {
    ExpValue *x = &args[0];
    if (x->type == 0) {
        notSet(result);
        return 1;
    }
    auto fold = [upper](char c) {
        return static_cast<char>(upper ? expUpperAscii(static_cast<unsigned char>(c))
                                       : expLowerAscii(static_cast<unsigned char>(c)));
    };
    if (expIsString(x)) {
        if (!stringResult(e, result, x->data, x->value.len)) return 0;
        for (size_t i = 0; i < result->value.len; ++i) result->data[i] = fold(result->data[i]);
        return 1;
    }
    if (x->type == EXP_LIST) {
        if (x->value.len == 0) {
            expSetString(result, EXP_LIST, nullptr, 0);
            return 1;
        }
        auto *copy = static_cast<char *>(CSGetMem(x->value.len));
        if (copy == nullptr) return allocFailure(e, x->value.len);
        std::memcpy(copy, x->data, x->value.len);
        expSetString(result, EXP_LIST, copy, x->value.len);
        // Fold the element texts only, never their length fields.
        ExpListCursor c = expListBegin(result);
        const char *text;
        size_t length;
        while (expListNext(&c, &text, &length)) {
            char *t = copy + (text - copy);
            for (size_t i = 0; i < length; ++i) t[i] = fold(t[i]);
        }
        return 1;
    }
    if (e->trial) {
        expSetEmptyString(result);
        return 1;
    }
    return expSetError(e, 0, "%s", failure);
}

// An argument that is not set counts as 0.0, as every value without a number does.
int extreme(ExpValue *args, ExpValue *end, ExpValue *result, bool largest) {
    int n = expArgumentCount(args, end);
    double best = n > 0 ? expValueAsDouble(&args[0]) : 0.0;
    for (int i = 1; i < n; ++i) {
        double v = expValueAsDouble(&args[i]);
        if (largest ? v > best : v < best) best = v;
    }
    expSetDouble(result, best);
    return 1;
}

int findString(ExpExpression *e, ExpValue *args, ExpValue *result, bool noCase) {
    ExpValue *s = &args[0], *t = &args[1];
    if (!expIsString(s) || !expIsString(t)) {
        if (e->trial) {
            expSetInt(result, 0);
            return 1;
        }
        return expSetError(e, 0, "Function FINDSTR() only accepts strings as arguments");
    }
    const char *found = noCase ? evMemFindNoCase(s->data, s->value.len, t->data, t->value.len)
                               : evMemFind(s->data, s->value.len, t->data, t->value.len);
    expSetInt(result, found == nullptr ? 0 : (found - s->data) + 1);
    return 1;
}

// ---- DATE -----------------------------------------------------------------------------------

const char *const dayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *const monthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                  "July",    "August",   "September", "October", "November", "December"};

// A number with two digits at least (padded) or as it is.
void append(std::string &out, bool twoDigits, int value) {
    char buffer[32];
    int n = twoDigits ? std::snprintf(buffer, sizeof buffer, "%2.2d", value)
                      : std::snprintf(buffer, sizeof buffer, "%d", value);
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
}

void append4(std::string &out, int value) {
    char buffer[32];
    int n = std::snprintf(buffer, sizeof buffer, "%4.4d", value);
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
}

const char *ordinal(int day) {
    if (day == 1 || day == 21 || day == 31) return "st";
    if (day == 2 || day == 22) return "nd";
    if (day == 3 || day == 23) return "rd";
    return "th";
}

// Writes the item of letter c repeated n times -> true when that item exists.
bool dateItem(std::string &out, char c, int n, const EvLocalTime &t) {
    const int day = t.weekday >= 0 && t.weekday < 7 ? t.weekday : 0;
    const int month = t.month >= 1 && t.month <= 12 ? t.month - 1 : 0;
    switch (c) {
        case 'D':
            if (n == 1)
                out.append(dayNames[day], 3);
            else if (n == 2)
                out += dayNames[day];
            else
                return false;
            return true;
        case 'H':
            if (n > 2) return false;
            append(out, n == 1, t.hour);
            return true;
        case 'h':
            if (n > 2) return false;
            append(out, n == 1, t.hour % 12);
            return true;
        case 'M':
            if (n != 1) return false;
            append(out, true, t.minute);
            return true;
        case 'S':
            if (n != 1) return false;
            append(out, true, t.second);
            return true;
        case 'd':
            if (n > 2) return false;
            append(out, n == 1, t.day);
            if (n == 2) out += ordinal(t.day);
            return true;
        case 'm':
            if (n == 1)
                out.append(monthNames[month], 3);
            else if (n == 2)
                append(out, true, t.month);
            else
                out += monthNames[month];
            return true;
        case 'y':
            if (n > 2) return false;
            if (n == 1)
                append4(out, t.year);
            else
                append(out, true, (t.year) % 100);
            return true;
        case 'J':
        case 'j':
            if (n != 1) return false;
            append(out, false, t.yearDay + (c == 'J' ? 1 : 0));
            return true;
        case 'P':
        case 'p':
            if (n != 1) return false;
            out += t.hour < 12 ? (c == 'P' ? "AM" : "am") : (c == 'P' ? "PM" : "pm");
            return true;
        case 't': {
            if (n != 1) return false;
            char buffer[32];
            int k = std::snprintf(buffer, sizeof buffer, "%2.2d:%2.2d:%2.2d", t.hour, t.minute, t.second);
            out.append(buffer, static_cast<size_t>(k));
            return true;
        }
        default:
            return false;
    }
}

std::string formatDate(const char *pattern, size_t length, const EvLocalTime &t) {
    std::string out;
    for (size_t i = 0; i < length;) {
        char c = pattern[i];
        if (c == '\\') {
            if (i + 1 < length) out += pattern[i + 1];
            i += 2;
            continue;
        }
        size_t run = 1;
        while (i + run < length && run < 3 && pattern[i + run] == c) ++run;
        // The longest item first: "ddd" is "dd" then "d".
        bool done = false;
        for (size_t n = run; n >= 1 && !done; --n) {
            if (dateItem(out, c, static_cast<int>(n), t)) {
                i += n;
                done = true;
            }
        }
        if (!done) {
            out += c;
            ++i;
        }
    }
    return out;
}

// 64-bit seconds of a time argument (a string its length, a list its total length). Unlike the
// documented conversion, which keeps an integer's low 32 bits, DATE deliberately takes the whole
// 64-bit time: times are 64-bit throughout the system (event times, interval ends), and a time
// after January 2038 cut to 32 bits would give a date in 1901 or near 1970.
int64_t timeArgument(const ExpValue *v) {
    if (v->type == EXP_INT) return v->value.i;
    if (v->type == EXP_DBL) return expDoubleToInteger(v->value.d, INT64_MIN, INT64_MAX);
    if (expIsString(v)) return static_cast<int64_t>(v->value.len);
    if (v->type == EXP_LIST) return static_cast<int64_t>(expListTotalLength(v));
    return 0;
}

// ---- Attribute texts ------------------------------------------------------------------------

struct Span {
    const char *at;
    size_t length;
};

bool isQuote(char c) {
    return c == '\'' || c == '"';
}

// The end of the item that starts at p: a quoted part, a parenthesised part, or a word.
const char *itemEnd(const char *p, const char *end) {
    if (isQuote(*p)) {
        const void *close = std::memchr(p + 1, *p, static_cast<size_t>(end - p - 1));
        return close != nullptr ? static_cast<const char *>(close) + 1 : end;
    }
    if (*p == '(') {
        int depth = 0;
        for (const char *q = p; q < end; ++q) {
            if (isQuote(*q)) {
                const void *close = std::memchr(q + 1, *q, static_cast<size_t>(end - q - 1));
                if (close == nullptr) return end;
                q = static_cast<const char *>(close);
            } else if (*q == '(') {
                ++depth;
            } else if (*q == ')' && --depth == 0) {
                return q + 1;
            }
        }
        return end;
    }
    const char *q = p;
    while (q < end && *q != ' ' && *q != '(') ++q;
    return q;
}

// Finds the attribute: its name item and its value item (a null value when there is none).
bool findAttribute(const char *text, size_t length, const char *name, size_t nameLength, Span *nameItem,
                   Span *valueItem) {
    const char *p = text, *end = text + length;
    if (length >= 2 && isQuote(text[0]) && text[length - 1] == text[0]) {
        ++p;
        --end;
    }
    while (p < end) {
        while (p < end && *p == ' ') ++p;
        if (p >= end) break;
        const char *q = itemEnd(p, end);
        if (q == p) q = p + 1;
        if (static_cast<size_t>(q - p) == nameLength && expEqualNoCase(p, name, nameLength)) {
            *nameItem = Span{p, nameLength};
            const char *v = q;
            while (v < end && *v == ' ') ++v;
            if (v < end && *v == '(')
                *valueItem = Span{v, static_cast<size_t>(itemEnd(v, end) - v)};
            else
                *valueItem = Span{nullptr, 0};
            return true;
        }
        p = q;
    }
    return false;
}

// The value of the attribute -> 1 found (value may be empty), 0 absent.
int expFindValueInString(const char *text, size_t length, const char *name, size_t nameLength, Span *value) {
    Span n{}, v{};
    if (!findAttribute(text, length, name, nameLength, &n, &v)) return 0;
    *value = Span{nullptr, 0};
    if (v.at == nullptr) return 1;
    const char *a = v.at + 1;
    const char *b = v.at + v.length;
    if (b > a && b[-1] == ')') --b;
    if (b - a >= 2 && isQuote(*a) && b[-1] == *a) {
        ++a;
        --b;
    }
    *value = Span{a, static_cast<size_t>(b - a)};
    return 1;
}

// From the attribute's name through its parenthesised value and the blanks after it.
int expFindAttrInString(const char *text, size_t length, const char *name, size_t nameLength, Span *attr) {
    Span n{}, v{};
    if (!findAttribute(text, length, name, nameLength, &n, &v) || v.at == nullptr) return 0;
    const char *end = text + length;
    const char *q = v.at + v.length;
    while (q < end && *q == ' ') ++q;
    *attr = Span{n.at, static_cast<size_t>(q - n.at)};
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

int expArgumentCount(const ExpValue *args, const ExpValue *end) {
    if (end != nullptr) {
        ptrdiff_t n = end - args;
        return n < 0 ? 0 : n > EXP_MAX_PARAMETERS ? EXP_MAX_PARAMETERS : static_cast<int>(n);
    }
    int n = 0;
    while (n < EXP_MAX_PARAMETERS && args[n].type != 0) ++n;
    return n;
}

int expFnSqrt(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetDouble(result, std::sqrt(expValueAsDouble(&args[0])));
    return 1;
}

int expFnPower(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetDouble(result, std::pow(expValueAsDouble(&args[0]), expValueAsDouble(&args[1])));
    return 1;
}

int expFnMax(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    return extreme(args, end, result, true);
}

int expFnMin(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    return extreme(args, end, result, false);
}

int expFnLower(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    return changeCase(e, args, result, false, "Function LOWER() accepts only strings or list arguments");
}

int expFnUpper(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    return changeCase(e, args, result, true, "Function UPPER() accepts only strings or list arguments");
}

int expFnSubstr(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    ExpValue *s = &args[0];
    if (!expIsString(s)) {
        if (e->trial) {
            expSetEmptyString(result);
            return 1;
        }
        return expSetError(e, 0, "Function SUBSTR() only accepts strings as arguments");
    }
    int64_t start = expValueAsInt32(&args[1]);
    int64_t length = expValueAsInt32(&args[2]);
    if (start == 0) {
        start = 1;
        length -= 1;
    }
    const auto size = static_cast<int64_t>(s->value.len);
    if (start < 0 || start > size) {
        expSetEmptyString(result);
        return 1;
    }
    // Compared as unsigned 32-bit numbers, so a negative length takes the rest of the text.
    uint64_t rest = static_cast<uint64_t>(size - start + 1);
    uint64_t want = static_cast<uint32_t>(length);
    uint64_t count = want < rest ? want : rest;
    return stringResult(e, result, s->data + start - 1, count);
}

int expFnFindStr(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    return findString(e, args, result, false);
}

int expFnFindStrI(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    return findString(e, args, result, true);
}

int expFnDate(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    int n = expArgumentCount(args, end);
    if (n > 2) {
        if (e->trial) {
            expSetEmptyString(result);
            return 1;
        }
        return expSetError(e, 0, "Unrecognised parameters to date() function");
    }
    int64_t when = n >= 1 ? timeArgument(&args[0]) : evClockNow();
    std::string pattern = "H:M d/mm/y";
    if (n == 2) {
        char *text = expValueToString(e, &args[1], 1);
        if (text == nullptr) {
            if (e->trial) {
                expSetEmptyString(result);
                return 1;
            }
            return 0;
        }
        size_t n99 = std::strlen(text);
        pattern.assign(text, n99 > 99 ? 99 : n99);
        CSFreeMem(text);
    }
    EvLocalTime fields;
    if (!evLocalTimeFields(when, &fields)) {
        if (e->trial) {
            expSetEmptyString(result);
            return 1;
        }
        return expSetError(e, 0, "Invalidate date in date() function");
    }
    std::string out = formatDate(pattern.data(), pattern.size(), fields);
    auto *text = static_cast<char *>(CSGetMem(out.size() + 1));
    if (text == nullptr) return allocFailure(e, out.size() + 1);
    std::memcpy(text, out.c_str(), out.size() + 1);
    expSetString(result, EXP_PSTR, text, out.size());
    return 1;
}

int expFnValueOf(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    int n = expArgumentCount(args, end);
    notSet(result);
    if (n < 1 || !expIsString(&args[0])) {
        expSetError(e, 0, "Parameter 1 of VALUEOF() must be a string");
        return 1;
    }
    const char *name = args[0].data;
    const size_t nameLength = args[0].value.len;
    Span value{};
    if (n >= 2) {
        if (!expIsString(&args[1])) {
            expSetError(e, 0, "Parameter 2 of VALUEOF() function must be a string");
            return 1;
        }
        if (expFindValueInString(args[1].data, args[1].value.len, name, nameLength, &value))
            return stringResult(e, result, value.at, value.length);
        return 1;
    }
    // Without a text: the script's parameters @_Parm[1], @_Parm[2], ... until one is missing.
    // Nothing is read during the trial, where every "@" name has a value.
    if (e->trial || e->variableCallback == nullptr) return 1;
    const uint32_t softFailure = e->softFailure, valueMissing = e->valueMissing;
    static const char parm[] = "@_Parm";
    for (uint32_t i = 1; i <= 65535; ++i) {
        char key[32];
        size_t keyLength = expBuildArrayKey(parm, sizeof parm - 1, &i, 1, key, sizeof key);
        ExpValue var{};
        expSetString(&var, EXP_VAR, key, keyLength);
        var.subscripts = 1;
        ExpValue element{};
        if (!e->variableCallback(e, nullptr, &var, &element)) {
            expReleaseValue(&element);
            break;
        }
        bool found = expIsString(&element) &&
                     expFindValueInString(element.data, element.value.len, name, nameLength, &value);
        int ok = found ? stringResult(e, result, value.at, value.length) : 1;
        expReleaseValue(&element);
        if (found) {
            e->softFailure = softFailure;
            e->valueMissing = valueMissing;
            return ok;
        }
    }
    e->softFailure = softFailure;
    e->valueMissing = valueMissing;
    return 1;
}

int expFnAttrStr(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetEmptyString(result);
    if (!expIsString(&args[0])) {
        expSetError(e, 0, "Parameter 1 of ATTRSTR() function must be a string");
        return 1;
    }
    if (!expIsString(&args[1])) {
        expSetError(e, 0, "Parameter 2 of ATTRSTR() function must be a string");
        return 1;
    }
    Span attr{};
    if (!expFindAttrInString(args[1].data, args[1].value.len, args[0].data, args[0].value.len, &attr))
        return 1;
    return stringResult(e, result, attr.at, attr.length);
}
