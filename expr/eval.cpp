// Expression evaluator: walks the postfix list from its newest item, fetching variables through the
// caller's callback (array elements by their keys) and calling the handlers of the operator table.
#include <cstring>

#include "expr/expr.h"
#include "expr/internal.h"
#include "platform/platform.h"

namespace {

// Deeper expressions than this are refused at evaluation, so that hostile filter texts cannot
// exhaust the stack; the parse-time trial refuses them already.
constexpr int maxDepth = 1000;

int evalItem(ExpExpression *e, ExpValue **cursor, ExpValue *result, int depth);

int tooDeep(ExpExpression *e) {
    return expSetError(e, 0, "Expression is too deeply nested");
}

bool isPlainVar(const ExpValue *v) {
    return v != nullptr && v->type == EXP_VAR && v->subscripts == 0;
}

// The item after the whole subtree that starts at item, or null when the list is damaged.
ExpValue *skipItem(ExpValue *item, int depth) {
    if (item == nullptr || depth > maxDepth) return nullptr;
    ExpValue *p = item->next;
    int operands = 0;
    if (item->type == EXP_OP) {
        const ExpOperator *row = item->value.op;
        if (row->flags & (EXP_OPF_FUNCTION | EXP_OPF_USER))
            operands = static_cast<int>(item->params);
        else if (row->flags & EXP_OPF_BINARY)
            operands = 2;
        else
            operands = 1;
    } else if (item->type == EXP_VAR) {
        operands = item->subscripts;
    }
    for (int i = 0; i < operands; ++i) {
        if (p == nullptr) return nullptr;
        p = skipItem(p, depth + 1);
        if (p == nullptr && i + 1 < operands) return nullptr;
    }
    return p;
}

int fetchVariable(ExpExpression *e, ExpValue **cursor, ExpValue *partner, ExpValue *result, int depth);

// Builds the key of the VAR item just taken from the list (its subscripts follow it).
int buildKey(ExpExpression *e, ExpValue *var, ExpValue **cursor, char **key, size_t *keyLength, int depth) {
    *key = nullptr;
    *keyLength = 0;
    if (var->subscripts == 0) {
        auto *copy = static_cast<char *>(CSGetMem(var->value.len + 1));
        if (copy == nullptr)
            return expSetError(e, 20, "Can not allocate %llu bytes",
                               static_cast<unsigned long long>(var->value.len + 1));
        std::memcpy(copy, var->data, var->value.len + 1);
        *key = copy;
        *keyLength = var->value.len;
        return 1;
    }
    uint32_t subs[EXP_MAX_SUBSCRIPTS] = {};
    int count = var->subscripts > EXP_MAX_SUBSCRIPTS ? EXP_MAX_SUBSCRIPTS : var->subscripts;
    for (int i = count - 1; i >= 0; --i) {
        ExpValue v{};
        if (!evalItem(e, cursor, &v, depth + 1)) return 0;
        int32_t s = expValueAsInt32(&v);
        expReleaseValue(&v);
        subs[i] = static_cast<uint32_t>(s);
        if (e->trial) subs[i] = 1;
    }
    size_t size = var->value.len + 3 + 3 + 4 * static_cast<size_t>(count);
    auto *buffer = static_cast<char *>(CSGetMem(size + 1));
    if (buffer == nullptr)
        return expSetError(e, 20, "Can not allocate %llu bytes", static_cast<unsigned long long>(size + 1));
    size_t n = expBuildArrayKey(var->data, var->value.len, subs, count, buffer, size);
    buffer[n] = 0;
    for (int i = 0; i < count; ++i) {
        if (static_cast<int32_t>(subs[i]) < 1) {
            char name[200];
            expFormatArrayName(buffer, n, name, sizeof name);
            CSFreeMem(buffer);
            return expSetError(e, std::strlen(name), "Out of bounds array error on variable '%s'", name);
        }
    }
    *key = buffer;
    *keyLength = n;
    return 1;
}

int fetchVariable(ExpExpression *e, ExpValue **cursor, ExpValue *partner, ExpValue *result, int depth) {
    ExpValue *var = *cursor;
    *cursor = var->next;
    char *key = nullptr;
    size_t keyLength = 0;
    if (var->subscripts != 0 && !buildKey(e, var, cursor, &key, &keyLength, depth)) return 0;
    if (e->variableCallback == nullptr) {
        if (key != nullptr) CSFreeMem(key);
        return expSetError(e, var->value.len, "Variable '%s' has no value", var->data);
    }
    // The callback sees the key in place of the name; the token gets its name back afterwards.
    char *name = var->data;
    uint64_t nameLength = var->value.len;
    if (key != nullptr) {
        var->data = key;
        var->value.len = keyLength;
    }
    int ok = e->variableCallback(e, partner, var, result);
    var->data = name;
    var->value.len = nameLength;
    if (key != nullptr) CSFreeMem(key);
    return ok != 0 ? 1 : 0;
}

// Operand of an operator: a constant is used as it is, a VAR fetched, an operator evaluated.
int evalOperand(ExpExpression *e, ExpValue **cursor, ExpValue *result, int depth) {
    if (*cursor == nullptr) return expSetError(e, 0, "Missing operand");
    return evalItem(e, cursor, result, depth);
}

bool orFallback(ExpExpression *e, const ExpOperator *row) {
    if (!e->valueMissing) return false;
    const char *n = row->name;
    bool isOr = (n[0] == '|' && n[1] == 0) || ((n[0] == 'O' || n[0] == 'o') && (n[1] == 'R' || n[1] == 'r'));
    if (isOr) e->valueMissing = 0;
    return isOr;
}

void moveValue(ExpValue *to, ExpValue *from) {
    to->type = from->type;
    to->value = from->value;
    to->data = from->data;
    from->type = 0;
    from->data = nullptr;
    from->value.i = 0;
}

// Which operands of a parse-time trial are stand-ins (EXP_TRIAL_LEFT_UNKNOWN, EXP_TRIAL_RIGHT_UNKNOWN):
// the stand-in counts before and after each operand's evaluation.
uint32_t unknownOperands(uint32_t leftBefore, uint32_t leftAfter, uint32_t rightBefore, uint32_t rightAfter) {
    return (leftAfter != leftBefore ? EXP_TRIAL_LEFT_UNKNOWN : 0u) |
           (rightAfter != rightBefore ? EXP_TRIAL_RIGHT_UNKNOWN : 0u);
}

int evalBinary(ExpExpression *e, const ExpOperator *row, ExpValue **cursor, ExpValue *result, int depth) {
    ExpValue left{}, right{};
    const uint32_t standIns = e->trialStandIns;
    ExpValue *rightItem = *cursor;
    if (isPlainVar(rightItem) && isPlainVar(rightItem->next)) {
        // Two plain variables: the left one first, then the right one with the left as its partner.
        ExpValue *leftItem = rightItem->next;
        ExpValue *at = leftItem;
        if (!fetchVariable(e, &at, nullptr, &left, depth)) {
            if (!orFallback(e, row)) return 0;
            at = rightItem;
            int ok = fetchVariable(e, &at, leftItem, result, depth);
            *cursor = leftItem->next;
            return ok;
        }
        const uint32_t afterLeft = e->trialStandIns;
        at = rightItem;
        if (!fetchVariable(e, &at, leftItem, &right, depth)) {
            *cursor = leftItem->next;
            if (!orFallback(e, row)) {
                expReleaseValue(&left);
                return 0;
            }
            moveValue(result, &left);
            return 1;
        }
        *cursor = leftItem->next;
        e->trialOperandUnknown = unknownOperands(standIns, afterLeft, afterLeft, e->trialStandIns);
        return row->handler(e, row, &left, &right, result);
    }
    if (!evalOperand(e, cursor, &right, depth)) {
        expReleaseValue(&right);
        if (!orFallback(e, row)) return 0;
        *cursor = skipItem(rightItem, depth);
        if (*cursor == nullptr) return expSetError(e, 0, "Missing operand");
        return evalOperand(e, cursor, result, depth);
    }
    const uint32_t afterRight = e->trialStandIns;
    if (!evalOperand(e, cursor, &left, depth)) {
        expReleaseValue(&left);
        if (!orFallback(e, row)) {
            expReleaseValue(&right);
            return 0;
        }
        moveValue(result, &right);
        return 1;
    }
    e->trialOperandUnknown = unknownOperands(afterRight, e->trialStandIns, standIns, afterRight);
    return row->handler(e, row, &left, &right, result);
}

// Function parameters, last first, into args (ended by a record of type 0) -> 1, or 0 with every
// argument already made released.
int evalArguments(ExpExpression *e, const ExpOperator *row, int count, ExpValue **cursor, ExpValue *args,
                  int depth) {
    for (int i = count - 1; i >= 0; --i) {
        bool byReference = (i == 0 && (row->byReference & 1)) || (i == 1 && (row->byReference & 2));
        int ok;
        if (byReference) {
            ExpValue *var = *cursor;
            if (var == nullptr || var->type != EXP_VAR) {
                ok = expSetError(e, 40, "The %s parameter to function '%s' must be a variable",
                                 i == 0 ? "first" : "second", row->name);
            } else {
                *cursor = var->next;
                char *key = nullptr;
                size_t keyLength = 0;
                ok = buildKey(e, var, cursor, &key, &keyLength, depth);
                if (ok) {
                    expSetString(&args[i], EXP_VAR, key, keyLength);
                    args[i].indicator = var->indicator;
                    args[i].subscripts = var->subscripts;
                }
            }
        } else {
            ok = evalOperand(e, cursor, &args[i], depth);
        }
        if (!ok) {
            for (int j = i; j < count; ++j) expReleaseValue(&args[j]);
            return 0;
        }
    }
    return 1;
}

int evalFunction(ExpExpression *e, ExpValue *item, ExpValue **cursor, ExpValue *result, int depth) {
    const ExpOperator *row = item->value.op;
    int count = static_cast<int>(item->params);
    if (count > EXP_MAX_PARAMETERS) return expSetError(e, 0, "Missing operand");
    ExpValue args[EXP_MAX_PARAMETERS + 1] = {};
    if (!evalArguments(e, row, count, cursor, args, depth)) return 0;
    int ok;
    if (row->flags & EXP_OPF_USER) {
        // A script's own function never runs during the trial.
        if (e->trial) {
            expSetInt(result, 1);
            ok = 1;
        } else if (e->functionCallback == nullptr) {
            ok = expSetError(e, 20, "Function %s is not available", row->name);
        } else {
            e->functionCallback(e, item, args, result);
            ok = 1;
        }
    } else if (row->handler == nullptr) {
        ok = expSetError(e, 20, "Function %s is not available", row->name);
    } else {
        ok = row->handler(e, row, args, &args[count], result) != 0;
    }
    for (int i = 0; i < count; ++i) expReleaseValue(&args[i]);
    // A function's trial result is a placeholder of its usual type (EVAL's is not even that).
    if (e->trial) ++e->trialStandIns;
    return ok;
}

int evalItem(ExpExpression *e, ExpValue **cursor, ExpValue *result, int depth) {
    if (depth > maxDepth) return tooDeep(e);
    ExpValue *item = *cursor;
    if (item == nullptr) return expSetError(e, 0, "Missing operand");
    switch (item->type) {
        case EXP_INT:
        case EXP_DBL:
        case EXP_STR:
        case EXP_EPSTR:
            // Constants are shared, never copied: the expression keeps what they point at.
            *cursor = item->next;
            result->type = item->type;
            result->value = item->value;
            result->data = item->data;
            return 1;
        case EXP_VAR:
            return fetchVariable(e, cursor, nullptr, result, depth);
        case EXP_OP:
            break;
        default:
            return expSetError(e, 8, "Unknown lexeme type 0x%X", static_cast<unsigned>(item->type));
    }
    *cursor = item->next;
    const ExpOperator *row = item->value.op;
    if (row->flags & (EXP_OPF_FUNCTION | EXP_OPF_USER))
        return evalFunction(e, item, cursor, result, depth + 1);
    if (row->handler == nullptr) return expSetError(e, 20, "Unexpected character '%s'", row->name);
    if (row->flags & EXP_OPF_BINARY) return evalBinary(e, row, cursor, result, depth + 1);
    ExpValue operand{};
    if (!evalOperand(e, cursor, &operand, depth + 1)) {
        expReleaseValue(&operand);
        return 0;
    }
    return row->handler(e, row, &operand, nullptr, result);
}

}  // namespace

int expEvaluate(ExpExpression *e, ExpValue **cursor, ExpValue *result) {
    if (e == nullptr || cursor == nullptr || result == nullptr) return 0;
    ++e->evaluating;
    int ok = evalItem(e, cursor, result, 0);
    --e->evaluating;
    return ok;
}

int expEvaluateCondition(ExpExpression *e, ExpValue *result) {
    e->softFailure = 0;
    result->type = 0;
    result->data = nullptr;
    result->value.i = 0;
    ExpValue *cursor = e->postfixNewest;
    if (expEvaluate(e, &cursor, result)) return 1;
    expReleaseValue(result);
    if (e->softFailure || e->valueMissing) {
        expSetInt(result, 0);
        return 1;
    }
    return 0;
}

int expEvaluateSubscripts(ExpExpression *e, ExpValue **cursor, char **key, size_t *keyLength) {
    ExpValue *var = cursor != nullptr ? *cursor : nullptr;
    if (var == nullptr || var->type != EXP_VAR) return expSetError(e, 0, "Invalid variable name.");
    *cursor = var->next;
    ++e->evaluating;
    int ok = buildKey(e, var, cursor, key, keyLength, 0);
    --e->evaluating;
    return ok;
}

int expFetchArrayElement(ExpExpression *e, ExpValue **cursor, ExpValue *partner, ExpValue *result) {
    ExpValue *var = cursor != nullptr ? *cursor : nullptr;
    if (var == nullptr || var->type != EXP_VAR) return expSetError(e, 0, "Invalid variable name.");
    ++e->evaluating;
    int ok = fetchVariable(e, cursor, partner, result, 0);
    --e->evaluating;
    return ok;
}
