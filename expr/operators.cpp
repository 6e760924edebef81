// Operator handlers of the expression language: comparisons, logic and arithmetic over integers,
// reals and strings with type promotion, the unary operators, wildcard matching and list membership.
// Every handler frees its operands' owned data on every path and never STR or EPSTR data.
#include <cstring>

#include "expr/expr.h"
#include "expr/internal.h"
#include "platform/platform.h"

namespace {

// Releases both operands when the handler leaves, whichever way it leaves.
struct OperandGuard {
    ExpValue *a;
    ExpValue *b;
    ~OperandGuard() {
        expReleaseValue(a);
        expReleaseValue(b);
    }
};

int setBool(ExpValue *result, bool b) {
    expSetInt(result, b ? 1 : 0);
    return 1;
}

bool isComparison(ExpOpCode oc) {
    return oc == EXP_OC_EQ || oc == EXP_OC_NE || oc == EXP_OC_GT || oc == EXP_OC_GE || oc == EXP_OC_LT ||
           oc == EXP_OC_LE;
}

// Turns a three-way comparison value into the answer of a comparison operator.
bool compareAnswer(ExpOpCode oc, int cmp) {
    switch (oc) {
        case EXP_OC_EQ:
            return cmp == 0;
        case EXP_OC_NE:
            return cmp != 0;
        case EXP_OC_GT:
            return cmp > 0;
        case EXP_OC_GE:
            return cmp >= 0;
        case EXP_OC_LT:
            return cmp < 0;
        default:
            return cmp <= 0;
    }
}

int intResult(ExpValue *result, int64_t i) {
    expSetInt(result, i);
    return 1;
}

int realResult(ExpValue *result, double d) {
    expSetDouble(result, d);
    return 1;
}

// A zero divisor: refused at run time, a placeholder during the parse-time trial.
int divideByZero(ExpExpression *e, ExpValue *result) {
    if (e != nullptr && e->trial) {
        expSetDouble(result, 1.0);
        return 1;
    }
    return expSetError(e, 0, "Runtime error:Divide by zero");
}

bool caseSensitive(const ExpExpression *e) {
    return e != nullptr && (e->flags & EXP_PARSE_CASE) != 0;
}

bool textsEqual(const ExpExpression *e, const char *a, const char *b, size_t length) {
    return caseSensitive(e) ? (length == 0 || std::memcmp(a, b, length) == 0) : expEqualNoCase(a, b, length);
}

bool wildMatch(const ExpExpression *e, const char *text, size_t length, const char *pattern, size_t plen) {
    return caseSensitive(e) ? evWildMatch(text, length, pattern, plen) != 0
                            : evWildMatchNoCase(text, length, pattern, plen) != 0;
}

// Replaces a value by an integer, freeing what it owned.
void becomeInt(ExpValue *v, int64_t i) {
    expReleaseValue(v);
    expSetInt(v, i);
}

}  // namespace

bool expEqualNoCase(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (expLowerAscii(static_cast<unsigned char>(a[i])) !=
            expLowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

ExpOpCode expOpCode(const ExpOperator *op) {
    struct Name {
        const char *name;
        ExpOpCode code;
    };
    static constexpr Name names[] = {
        {"=", EXP_OC_EQ},     {"EQ", EXP_OC_EQ},   {"!=", EXP_OC_NE},   {"<>", EXP_OC_NE},
        {"NE", EXP_OC_NE},    {">", EXP_OC_GT},    {"GT", EXP_OC_GT},   {">=", EXP_OC_GE},
        {"GE", EXP_OC_GE},    {"<", EXP_OC_LT},    {"LT", EXP_OC_LT},   {"<=", EXP_OC_LE},
        {"LE", EXP_OC_LE},    {"|", EXP_OC_OR},    {"OR", EXP_OC_OR},   {"&", EXP_OC_AND},
        {"AND", EXP_OC_AND},  {"||", EXP_OC_BOR},  {"&&", EXP_OC_BAND}, {"+", EXP_OC_ADD},
        {"-", EXP_OC_SUB},    {"*", EXP_OC_MUL},   {"%", EXP_OC_MOD},   {"/", EXP_OC_DIV},
        {"!", EXP_OC_NOT},    {"NOT", EXP_OC_NOT}, {"LK", EXP_OC_LK},   {"NL", EXP_OC_NL},
        {"==", EXP_OC_MATCH}, {"CT", EXP_OC_CT},   {"EX", EXP_OC_EX},   {"CTG", EXP_OC_CTG},
        {"EXG", EXP_OC_EXG},
    };
    if (op == nullptr || op->name == nullptr) return EXP_OC_OTHER;
    for (const Name &n : names) {
        if (std::strcmp(n.name, op->name) == 0) return n.code;
    }
    return EXP_OC_OTHER;
}

// ---------------------------------------------------------------------------------------------

int expPromoteOperands(ExpExpression *e, ExpValue *left, ExpValue *right) {
    auto known = [](const ExpValue *v) {
        return v->type == 0 || v->type == EXP_INT || v->type == EXP_DBL || v->type == EXP_LIST ||
               expIsString(v);
    };
    if (!known(left)) return expSetError(e, 8, "Unknown lexeme type 0x%X", static_cast<unsigned>(left->type));
    if (!known(right))
        return expSetError(e, 8, "Unknown lexeme type 0x%X", static_cast<unsigned>(right->type));
    if (left->type == 0 || right->type == 0) return 1;
    if (left->type == EXP_LIST || right->type == EXP_LIST) {
        becomeInt(left, expValueAsInt32(left));
        becomeInt(right, expValueAsInt32(right));
        return 1;
    }
    // A string beside a number becomes its length, as a real beside a real.
    for (ExpValue *s : {left, right}) {
        ExpValue *other = s == left ? right : left;
        if (expIsString(s) && !expIsString(other)) {
            auto length = static_cast<int64_t>(s->value.len);
            expReleaseValue(s);
            if (other->type == EXP_DBL)
                expSetDouble(s, static_cast<double>(length));
            else
                expSetInt(s, length);
        }
    }
    if (left->type == EXP_INT && right->type == EXP_DBL)
        expSetDouble(left, static_cast<double>(left->value.i));
    if (right->type == EXP_INT && left->type == EXP_DBL)
        expSetDouble(right, static_cast<double>(right->value.i));
    return 1;
}

int expIntegerOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                       ExpValue *result) {
    OperandGuard guard{left, right};
    const int64_t a = left->value.i, b = right->value.i;
    const auto ua = static_cast<uint64_t>(a), ub = static_cast<uint64_t>(b);
    ExpOpCode oc = expOpCode(op);
    if (isComparison(oc)) return setBool(result, compareAnswer(oc, a < b ? -1 : (a > b ? 1 : 0)));
    switch (oc) {
        // Arithmetic wraps, through unsigned numbers so that it is defined.
        case EXP_OC_ADD:
            expSetInt(result, static_cast<int64_t>(ua + ub));
            return 1;
        case EXP_OC_SUB:
            expSetInt(result, static_cast<int64_t>(ua - ub));
            return 1;
        case EXP_OC_MUL:
            expSetInt(result, static_cast<int64_t>(ua * ub));
            return 1;
        case EXP_OC_MOD:
            if (b == 0) return divideByZero(e, result);
            expSetInt(result, b == -1 ? 0 : a % b);
            return 1;
        case EXP_OC_DIV:
            if (b == 0) return divideByZero(e, result);
            expSetDouble(result, static_cast<double>(a) / static_cast<double>(b));
            return 1;
        case EXP_OC_OR:
            return setBool(result, a != 0 || b != 0);
        case EXP_OC_AND:
            return setBool(result, a != 0 && b != 0);
        case EXP_OC_BOR:
            expSetInt(result, a | b);
            return 1;
        case EXP_OC_BAND:
            expSetInt(result, a & b);
            return 1;
        default:
            return expSetError(e, 16, "Operator '%s' is not supported for integers", op->name);
    }
}

int expRealOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                    ExpValue *result) {
    OperandGuard guard{left, right};
    const double a = left->value.d, b = right->value.d;
    switch (expOpCode(op)) {
        // Plain comparisons, so that NaN is unequal to everything.
        case EXP_OC_EQ:
            return setBool(result, a == b);
        case EXP_OC_NE:
            return setBool(result, !(a == b));
        case EXP_OC_GT:
            return setBool(result, a > b);
        case EXP_OC_GE:
            return setBool(result, a >= b);
        case EXP_OC_LT:
            return setBool(result, a < b);
        case EXP_OC_LE:
            return setBool(result, a <= b);
        case EXP_OC_ADD:
            expSetDouble(result, a + b);
            return 1;
        case EXP_OC_SUB:
            expSetDouble(result, a - b);
            return 1;
        case EXP_OC_MUL:
            expSetDouble(result, a * b);
            return 1;
        case EXP_OC_DIV:
            if (b == 0.0) return divideByZero(e, result);
            expSetDouble(result, a / b);
            return 1;
        case EXP_OC_OR:
            return setBool(result, !(a == 0.0 && b == 0.0));
        case EXP_OC_AND:
            return setBool(result, !(a == 0.0 || b == 0.0));
        default:
            return expSetError(e, 16, "Operator '%s' is not supported for real numbers", op->name);
    }
}

int expStringOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                      ExpValue *result) {
    OperandGuard guard{left, right};
    const size_t la = left->value.len, lb = right->value.len;
    ExpOpCode oc = expOpCode(op);
    if (isComparison(oc)) {
        size_t n = la < lb ? la : lb;
        int cmp = 0;
        for (size_t i = 0; i < n && cmp == 0; ++i) {
            int ca = static_cast<unsigned char>(left->data[i]);
            int cb = static_cast<unsigned char>(right->data[i]);
            if (!caseSensitive(e)) {
                ca = expLowerAscii(ca);
                cb = expLowerAscii(cb);
            }
            cmp = ca - cb;
        }
        if (cmp == 0) cmp = la < lb ? -1 : (la > lb ? 1 : 0);
        return setBool(result, compareAnswer(oc, cmp));
    }
    switch (oc) {
        case EXP_OC_AND:
            return setBool(result, la != 0 && lb != 0);
        case EXP_OC_OR:
            return setBool(result, la != 0 || lb != 0);
        case EXP_OC_ADD: {
            auto *text = static_cast<char *>(CSGetMem(la + lb + 1));
            if (text == nullptr)
                return expSetError(e, 20, "Can not allocate %llu bytes",
                                   static_cast<unsigned long long>(la + lb + 1));
            if (la != 0) std::memcpy(text, left->data, la);
            if (lb != 0) std::memcpy(text + la, right->data, lb);
            text[la + lb] = 0;
            expSetString(result, EXP_PSTR, text, la + lb);
            return 1;
        }
        default:
            return expSetError(e, 16, "Operator '%s' is not supported for strings", op->name);
    }
}

int expBinaryOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                      ExpValue *result) {
    if (left->type == 0 || right->type == 0) {
        expReleaseValue(left);
        expReleaseValue(right);
        result->type = 0;
        result->value.i = 0;
        result->data = nullptr;
        return 1;
    }
    if ((left->type & 0xFF) != (right->type & 0xFF) && !expPromoteOperands(e, left, right)) {
        expReleaseValue(left);
        expReleaseValue(right);
        return 0;
    }
    if (left->type == EXP_LIST) {
        becomeInt(left, expValueAsInt32(left));
        becomeInt(right, expValueAsInt32(right));
    }
    if (left->type == EXP_INT) return expIntegerOperator(e, op, left, right, result);
    if (left->type == EXP_DBL) return expRealOperator(e, op, left, right, result);
    if (expIsString(left)) return expStringOperator(e, op, left, right, result);
    unsigned type = left->type;
    expReleaseValue(left);
    expReleaseValue(right);
    return expSetError(e, 8, "Unknown lexeme type 0x%X", type);
}

int expUnaryOperator(ExpExpression *e, const ExpOperator *op, ExpValue *operand, ExpValue * /*right*/,
                     ExpValue *result) {
    OperandGuard guard{operand, nullptr};
    ExpOpCode oc = expOpCode(op);
    // "+" and "-" share their names with the binary rows; the table tells them apart, not the name.
    switch (operand->type) {
        case 0:
            result->type = 0;
            result->value.i = 0;
            result->data = nullptr;
            return 1;
        case EXP_INT: {
            int64_t a = operand->value.i;
            if (oc == EXP_OC_NOT) return setBool(result, a == 0);
            if (oc == EXP_OC_SUB)
                return intResult(result, static_cast<int64_t>(0 - static_cast<uint64_t>(a)));
            if (oc == EXP_OC_ADD) return intResult(result, a);
            return expSetError(e, 16, "Operator '%s' is not supported for integers", op->name);
        }
        case EXP_DBL: {
            double a = operand->value.d;
            if (oc == EXP_OC_NOT) return setBool(result, a == 0.0);
            if (oc == EXP_OC_SUB) return realResult(result, -a);
            if (oc == EXP_OC_ADD) return realResult(result, a);
            return expSetError(e, 16, "Operator '%s' is not supported for real numbers", op->name);
        }
        case EXP_LIST: {
            auto total = static_cast<int64_t>(expListTotalLength(operand));
            if (oc == EXP_OC_NOT) return setBool(result, total == 0);
            if (oc == EXP_OC_SUB) return intResult(result, -total);
            if (oc == EXP_OC_ADD) return intResult(result, total);
            return expSetError(e, 16, "Operator '%s' is not supported for lists", op->name);
        }
        default:
            break;
    }
    if (expIsString(operand)) {
        auto length = static_cast<int64_t>(operand->value.len);
        if (oc == EXP_OC_NOT) return setBool(result, length == 0);
        if (oc == EXP_OC_SUB) return intResult(result, -length);
        if (oc == EXP_OC_ADD) return intResult(result, length);
        return expSetError(e, 16, "Operator '%s' is not supported for strings", op->name);
    }
    return expSetError(e, 8, "Unknown lexeme type 0x%X", static_cast<unsigned>(operand->type));
}

int expLikeOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                    ExpValue *result) {
    OperandGuard guard{left, right};
    if (left->type == 0 || right->type == 0) return setBool(result, false);
    if (!expIsString(left) || !expIsString(right)) {
        // During the parse-time trial a stand-in value (a script variable's, a call's) is not the
        // run's: only the run can judge it. Operands known at parse (literals, values whose type
        // the variable callback gives, and what operators make of them) are judged at once: a known
        // operand that is no string fails whatever the other one turns out to be.
        const bool leftOk =
            expIsString(left) || (e != nullptr && (e->trialOperandUnknown & EXP_TRIAL_LEFT_UNKNOWN));
        const bool rightOk =
            expIsString(right) || (e != nullptr && (e->trialOperandUnknown & EXP_TRIAL_RIGHT_UNKNOWN));
        if (e != nullptr && e->trial && leftOk && rightOk) return setBool(result, true);
        return expSetError(e, 16, "Operator '%s' is only applicable to strings", op->name);
    }
    bool match = wildMatch(e, left->data, left->value.len, right->data, right->value.len);
    return setBool(result, expOpCode(op) == EXP_OC_NL ? !match : match);
}

int expContainsOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                        ExpValue *result) {
    ExpOpCode oc = expOpCode(op);
    if (!expIsString(right)) {
        expReleaseValue(left);
        expReleaseValue(right);
        if (e != nullptr && e->trial) return setBool(result, true);
        return expSetError(e, 16, "Second operand to operator '%s' should be a string", op->name);
    }
    if (expIsString(left) && oc == EXP_OC_MATCH) return expLikeOperator(e, op, left, right, result);
    if (!expIsString(left) && left->type != EXP_LIST) {
        expReleaseValue(left);
        expReleaseValue(right);
        if (e != nullptr && e->trial) return setBool(result, true);
        return expSetError(e, 16, "First operand to operator '%s' should be a list or string", op->name);
    }
    OperandGuard guard{left, right};
    bool wild;
    switch (oc) {
        case EXP_OC_CT:
        case EXP_OC_EX:
            wild = false;
            break;
        case EXP_OC_CTG:
        case EXP_OC_EXG:
        case EXP_OC_MATCH:
            wild = true;
            break;
        default:
            return expSetError(e, 16, "Operator '%s' is not supported for lists", op->name);
    }
    // A plain string on the left is a list of that one element.
    auto matches = [&](const char *text, size_t length) {
        if (wild) return wildMatch(e, text, length, right->data, right->value.len);
        return length == right->value.len && textsEqual(e, text, right->data, length);
    };
    bool found = false;
    if (expIsString(left)) {
        found = matches(left->data, left->value.len);
    } else {
        ExpListCursor c = expListBegin(left);
        const char *text;
        size_t length;
        while (!found && expListNext(&c, &text, &length)) found = matches(text, length);
    }
    bool negated = oc == EXP_OC_EX || oc == EXP_OC_EXG;
    return setBool(result, negated ? !found : found);
}
