// The variable store: each frame owns a tree of variables keyed by 50 name bytes, so names are
// case-sensitive and an array's elements follow its name. Values are the store's own copies, and
// what a reader gets is a copy again: a function called later in the same expression may replace
// the variable while the value is still in use.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "engine/engine.h"
#include "script/internal.h"

static_assert(offsetof(cslVAR, key) == CS_TREE_KEY);

int (*cslHookVariableResolver)(cmdProgram *, uint16_t, const char *, size_t, ExpValue *) = nullptr;
void (*cmdDebuggerStop)(cmdProgram *, cmdCommand *) = nullptr;

namespace {

char emptyText[1] = "";

void makeKey(const char *key, size_t length, char out[CSL_VAR_KEY_MAX]) {
    std::memset(out, 0, CSL_VAR_KEY_MAX);
    std::memcpy(out, key, length);
}

// The array name of an element's key (up to its '%'), or the whole key.
size_t arrayNameLength(const char *key, size_t length) {
    const void *percent = std::memchr(key, '%', length);
    return percent != nullptr ? static_cast<size_t>(static_cast<const char *>(percent) - key) : length;
}

// A copy of value into out (strings and lists owned by out) -> false when storage ran out or the
// value has no type a variable holds.
bool copyInto(const ExpValue *value, ExpValue *out) {
    *out = ExpValue{};
    switch (value->type) {
        case EXP_INT:
            out->type = EXP_INT;
            out->value.i = value->value.i;
            out->data = value->data;  // the text a response's value was read from, or null
            return true;
        case EXP_DBL:
            out->type = EXP_DBL;
            out->value.d = value->value.d;
            out->data = value->data;
            return true;
        case EXP_LIST: {
            out->type = EXP_LIST;
            if (value->value.len == 0 || value->data == nullptr) return true;
            auto *copy = static_cast<char *>(CSGetMem(value->value.len));
            if (copy == nullptr) return false;
            std::memcpy(copy, value->data, value->value.len);
            out->data = copy;
            out->value.len = value->value.len;
            return true;
        }
        default:
            break;
    }
    if (!expIsString(value)) return false;
    size_t n = value->value.len;
    if (n == 0) {
        expSetString(out, EXP_STR, emptyText, 0);
        return true;
    }
    auto *copy = static_cast<char *>(CSGetMem(n + 1));
    if (copy == nullptr) return false;
    std::memcpy(copy, value->data, n);
    copy[n] = '\0';
    expSetString(out, EXP_PSTR, copy, n);
    return true;
}

void releaseStored(ExpValue *value) {
    if (value->type == EXP_STR) {
        *value = ExpValue{};
        return;
    }
    expReleaseValue(value);
}

// Trace lines of an assignment on standard error.
void traceValue(const char *label, const char *key, size_t keyLength, const cslVAR *v) {
    char name[200];
    expFormatArrayName(key, keyLength, name, sizeof name);
    char line[400];
    if (v == nullptr || !v->set) {
        std::snprintf(line, sizeof line, "    %s : %s = %s\n", label, name, "(not exist)");
    } else {
        const ExpValue &value = v->value;
        if (value.type == EXP_INT)
            std::snprintf(line, sizeof line, "    %s : %s = %lld\n", label, name,
                          static_cast<long long>(value.value.i));
        else if (value.type == EXP_DBL)
            std::snprintf(line, sizeof line, "    %s : %s = %f\n", label, name, value.value.d);
        else if (expIsString(&value))
            std::snprintf(line, sizeof line, "    %s : %s = '%.*s'\n", label, name,
                          static_cast<int>(value.value.len > 200 ? 200 : value.value.len), value.data);
        else
            std::snprintf(line, sizeof line, "    %s : %s = %s\n", label, name, "*Unknown*");
    }
    evConsolePrint(2, line, -1);
}

// Script tracing (-D t) or debug mode, while the debugger is not running on to a breakpoint.
bool tracing(cmdProgram *program) {
    const bool on = evScriptTrace.load() != 0 || evRunState.debugMode.load() != 0;
    return on && !dbgRunFlag() && !program->debuggerPrompt;
}

// The smallest node whose key is not below key, or null.
CSTree *lowerBound(CSTree *root, const char key[CSL_VAR_KEY_MAX]) {
    CSTree *best = nullptr;
    while (root != nullptr) {
        if (std::memcmp(CSTreeKey(root), key, CSL_VAR_KEY_MAX) >= 0) {
            best = root;
            root = root->left;
        } else {
            root = root->right;
        }
    }
    return best;
}

bool isElementOf(const cslVAR *v, const char *name, size_t length) {
    return v->keyLength > length && std::memcmp(v->key, name, length) == 0 && v->key[length] == '%';
}

void freeVariable(CSTree *node, void *, void *) {
    releaseStored(&reinterpret_cast<cslVAR *>(node)->value);
}

void refuseLongName(cmdProgram *program, const char *key, size_t length) {
    char name[200];
    size_t n = expFormatArrayName(key, length, name, sizeof name);
    char message[300];
    std::snprintf(message, sizeof message,
                  "Variable name of '%.*s' is larger than the limit of %d characters.", static_cast<int>(n),
                  name, static_cast<int>(CSL_VAR_KEY_MAX));
    cmdOutput(program, 128, message);
    program->errorFlag = 1;
}

// Storage ran out for a variable's value or its node: said, not left to a value that silently
// stays as it was.
void refuseNoStorage(cmdProgram *program, const char *key, size_t length, size_t bytes) {
    char name[200];
    size_t n = expFormatArrayName(key, length, name, sizeof name);
    char message[300];
    std::snprintf(message, sizeof message, "Can not allocate %llu bytes for variable '%.*s'.",
                  static_cast<unsigned long long>(bytes), static_cast<int>(n), name);
    cmdOutput(program, 128, message);
    program->failed = 1;
    program->errorFlag = 1;
}

}  // namespace

cslVAR *cslFindInFrame(cmdCallContext *frame, const char *key, size_t length) {
    if (frame == nullptr || length == 0 || length > CSL_VAR_KEY_MAX) return nullptr;
    char k[CSL_VAR_KEY_MAX];
    makeKey(key, length, k);
    return reinterpret_cast<cslVAR *>(CSTreeFind(frame->variables, k, CSL_VAR_KEY_MAX));
}

cslVAR *cslFindVariable(cmdProgram *program, const char *key, size_t length, cmdCallContext **frame) {
    for (cmdCallContext *f = program->run->frame; f != nullptr; f = f->previous) {
        if (cslVAR *v = cslFindInFrame(f, key, length)) {
            if (frame != nullptr) *frame = f;
            return v;
        }
    }
    return nullptr;
}

cslVAR *cslFirstElement(cmdCallContext *frame, const char *name, size_t length) {
    if (frame == nullptr || length + 1 > CSL_VAR_KEY_MAX) return nullptr;
    char k[CSL_VAR_KEY_MAX];
    makeKey(name, length, k);
    k[length] = '%';
    auto *v = reinterpret_cast<cslVAR *>(lowerBound(frame->variables, k));
    return v != nullptr && isElementOf(v, name, length) ? v : nullptr;
}

cslVAR *cslNextElement(cslVAR *element, const char *name, size_t length) {
    auto *v = reinterpret_cast<cslVAR *>(element->tree.next);
    return v != nullptr && isElementOf(v, name, length) ? v : nullptr;
}

cmdCallContext *cslFrameHolding(cmdProgram *program, const char *key, size_t length) {
    size_t nameLength = arrayNameLength(key, length);
    for (cmdCallContext *f = program->run->frame; f != nullptr; f = f->previous) {
        if (cslFindInFrame(f, key, length) != nullptr) return f;
        if (nameLength != length && cslFirstElement(f, key, nameLength) != nullptr) return f;
    }
    return nullptr;
}

int cslDeleteFromFrame(cmdCallContext *frame, const char *key, size_t length) {
    cslVAR *v = cslFindInFrame(frame, key, length);
    if (v == nullptr) return 0;
    releaseStored(&v->value);
    cslVAR probe{};
    makeKey(key, length, probe.key);
    CSTreeDelete(&frame->variables, &probe, CSL_VAR_KEY_MAX);
    return 1;
}

void cslFreeFrameVariables(cmdCallContext *frame) {
    CSTreeFree(&frame->variables, freeVariable, nullptr);
}

int cslCopyValue(const cslVAR *variable, ExpValue *out) {
    if (variable == nullptr || !variable->set) return 0;
    return copyInto(&variable->value, out) ? 1 : 0;
}

cslVAR *cslSetVariable(cmdProgram *program, int local, int outer, const char *key, size_t length,
                       const ExpValue *value) {
    if (length != 0 && key[0] == '_') {
        if (value == nullptr) return nullptr;
        cslSetSystemVariable(program, key, length, value);
        return nullptr;
    }
    if (length == 0) return nullptr;
    if (length > CSL_VAR_KEY_MAX) {
        refuseLongName(program, key, length);
        return nullptr;
    }
    cmdRunState *run = program->run;
    cmdCallContext *frame = run->frame;
    if (outer) {
        frame = &run->outermost;
    } else if (!local) {
        if (cmdCallContext *holding = cslFrameHolding(program, key, length)) frame = holding;
    }
    ExpValue stored{};
    if (value != nullptr && !copyInto(value, &stored)) {
        refuseNoStorage(program, key, length, value->value.len + 1);
        return nullptr;
    }
    const bool trace = tracing(program);
    cslVAR *v = cslFindInFrame(frame, key, length);
    if (trace && (evDebugOptions.load() & EV_OPT_b) != 0) traceValue("BEFORE", key, length, v);
    if (v == nullptr) {
        cslVAR node{};
        makeKey(key, length, node.key);
        node.keyLength = static_cast<uint8_t>(length);
        v = reinterpret_cast<cslVAR *>(
            CSTreeInsert(&frame->variables, "cslVAR", &node, sizeof node, CSL_VAR_KEY_MAX));
        if (v == nullptr) {
            releaseStored(&stored);
            refuseNoStorage(program, key, length, sizeof node);
            return nullptr;
        }
    } else {
        releaseStored(&v->value);
    }
    v->value = stored;
    v->set = value != nullptr ? 1 : 0;
    v->real = value != nullptr ? expValueAsDouble(&stored) : 0.0;
    if (trace) traceValue(" AFTER", key, length, v);
    return v;
}

int cslResolveVariable(cmdProgram *program, ExpExpression *request, const char *name, size_t length,
                       ExpValue *out) {
    if (length == 0) return 0;
    uint16_t indicator = 0;
    if (name[0] == '@') {
        if (length > CSL_VAR_KEY_MAX) return 0;
        if (cslVAR *v = cslFindVariable(program, name, length)) return cslCopyValue(v, out);
        // Plain names fall back to the process environment.
        if (std::memchr(name, '%', length) != nullptr || length > CSL_VAR_KEY_MAX) return 0;
        char env[CSL_VAR_KEY_MAX + 1];
        std::memcpy(env, name + 1, length - 1);
        env[length - 1] = '\0';
        const char *text = std::getenv(env);
        if (text == nullptr) return 0;
        ExpValue view{};
        expSetString(&view, EXP_STR, const_cast<char *>(text), std::strlen(text));
        return copyInto(&view, out) ? 1 : 0;
    }
    if (name[0] == '_') return cslGetSystemVariable(program, request, name, length, out);
    return cslGetResponseAttribute(program, name, length, indicator, out);
}

// ---------------------------------------------------------------------------------------------
// Callbacks of the expression language.

namespace {

cmdProgram *programOf(ExpExpression *e) {
    auto *program = cmdProgramOf(e);
    if (program != nullptr) return program;
    // The console's WHERE filters keep no program in the expression.
    cslSession *session = gSession.load();
    return session != nullptr ? session->program : nullptr;
}

}  // namespace

int cslVariableCallback(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result) {
    cmdProgram *program = programOf(e);
    const char *name = var->data;
    size_t length = var->value.len;
    (void)partner;  // value names beside fields are the WHERE resolver's, which asks first
    if (var->subscripts != 0 && std::memchr(name, '%', length) == nullptr)
        return expSetError(e, 0, "Invalid variable name.");
    if (e->trial || program == nullptr) {
        size_t shown = arrayNameLength(name, length);
        if (shown > CMD_NAME_MAX)
            return expSetError(e, shown, "Variable name of '%.*s' is larger than the limit of %d characters.",
                               static_cast<int>(shown), name, CMD_NAME_MAX);
        if (name[0] == '@') {
            expSetInt(result, 1);
            ++e->trialStandIns;  // a stand-in: the run's value may be of any type
            return 1;
        }
        e->softFailure = 1;
        return 0;
    }
    if (var->indicator & (EXP_IND_EVENT | EXP_IND_DATA | EXP_IND_ALERT | EXP_IND_MQMD | EXP_IND_CFH)) {
        if (cslHookVariableResolver != nullptr &&
            cslHookVariableResolver(program, var->indicator, name, length, result))
            return 1;
    } else if (name[0] != '@' && name[0] != '_') {
        if (cslGetResponseAttribute(program, name, length, var->indicator, result)) return 1;
    } else if (cslResolveVariable(program, e, name, length, result)) {
        return 1;
    }
    char shown[200];
    expFormatArrayName(name, length, shown, sizeof shown);
    e->softFailure = 1;
    e->valueMissing = 1;
    if (name[0] == '_')
        return expSetError(e, std::strlen(shown), "Unrecognised system Variable '%s'.", shown);
    return expSetError(e, std::strlen(shown), "Variable '%s' is not defined in the current scope.", shown);
}

int cslCallFunctionCallback(ExpExpression *e, ExpValue *function, ExpValue *args, ExpValue *result) {
    cmdProgram *program = programOf(e);
    const ExpOperator *row = function->value.op;
    if (program == nullptr || row == nullptr || e->trial) {
        expSetInt(result, 0);
        return 1;
    }
    cmdFUNCTION *f = cmdFindFunction(program, row->name, static_cast<int64_t>(row->nameLength));
    int count = static_cast<int>(function->params);
    int32_t parameters = f != nullptr ? f->definition.parameterCount : 0;
    if (f == nullptr || count > parameters) {
        // The evaluator goes on with the result whatever this returns: the refusal is a runtime
        // error of the statement, and the call's value 0.
        char message[120];
        if (f == nullptr)
            std::snprintf(message, sizeof message, "Function '%s' is not defined.", row->name);
        else if (parameters == 0)
            std::snprintf(message, sizeof message, "Function '%s' does not take any parameters.", f->name);
        else if (parameters == 1)
            std::snprintf(message, sizeof message, "Function '%s' takes only 1 parameter.", f->name);
        else
            std::snprintf(message, sizeof message, "Function '%s' only takes %d parameters.", f->name,
                          parameters);
        cmdRuntimeError(program, program->current, message);
        expSetInt(result, 0);
        return 0;
    }
    cmdCallFunctionArgs(program, f, count, args, result);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Evaluation entry points.

namespace {

void printError(cmdProgram *program, ExpExpression *e) {
    cmdOutput(program, 128, e->errorText != nullptr ? e->errorText : "Error evaluating expression");
}

}  // namespace

int cslEvaluateParsed(cmdProgram *program, ExpExpression *e, ExpValue *out) {
    *out = ExpValue{};
    ExpValue *cursor = e->postfixNewest;
    e->softFailure = 0;
    e->valueMissing = 0;
    ExpValue result{};
    if (!expEvaluate(e, &cursor, &result)) {
        expReleaseValue(&result);
        if (e->valueMissing) {
            expSetInt(out, 0);
            return 1;
        }
        printError(program, e);
        return 0;
    }
    // The result may point into the expression or a variable: the caller gets its own copy.
    if (result.type == 0) return 1;
    bool ok = copyInto(&result, out);
    expReleaseValue(&result);
    if (!ok) {
        *out = ExpValue{};
        program->failed = 1;
        return 0;
    }
    return 1;
}

char *cslEvaluateParsedText(cmdProgram *program, ExpExpression *e) {
    ExpValue value{};
    if (!cslEvaluateParsed(program, e, &value)) return nullptr;
    char *text = nullptr;
    if (value.type == 0) {
        text = static_cast<char *>(CSGetMem(1));
        if (text != nullptr) text[0] = '\0';
    } else {
        text = expValueToString(e, &value, 2);
        if (text == nullptr) printError(program, e);
    }
    releaseStored(&value);
    return text;
}

int cslEvaluateValue(cmdProgram *program, const char *text, int64_t length, uint32_t basePosition,
                     uint32_t flags, ExpValue *out) {
    *out = ExpValue{};
    ExpCallerBlock caller{};
    caller.program = program;
    caller.context = program;
    if (flags == 0) flags = EXP_PARSE_AT_NAMES | EXP_PARSE_CASE | EXP_PARSE_COPY_STRINGS | EXP_PARSE_NO_TRIAL;
    char *error = nullptr;
    ExpExpression *e = expParseExpression(text, length, basePosition, flags, expScriptOperatorTable,
                                          cslVariableCallback, cslCallFunctionCallback, &caller, &error);
    if (e == nullptr) {
        cmdOutput(program, 128, error != nullptr ? error : "Error parsing expression");
        if (error != nullptr) CSFreeMem(error);
        return 0;
    }
    int ok = cslEvaluateParsed(program, e, out);
    expFreeExpression(e);
    return ok;
}

char *cslEvaluateExpression(cmdProgram *program, const char *text, int64_t length, uint32_t basePosition,
                            uint32_t flags) {
    ExpValue value{};
    if (!cslEvaluateValue(program, text, length, basePosition, flags, &value)) return nullptr;
    char *out = nullptr;
    if (value.type == 0) {
        out = static_cast<char *>(CSGetMem(1));
        if (out != nullptr) out[0] = '\0';
    } else {
        ExpExpression scratch{};
        out = expValueToString(&scratch, &value, 2);
        if (out == nullptr) {
            cmdOutput(program, 128,
                      scratch.errorText != nullptr ? scratch.errorText : "Error evaluating expression");
        }
        if (scratch.errorText != nullptr) CSFreeMem(scratch.errorText);
    }
    releaseStored(&value);
    return out;
}

int cslEvaluateToNumber(cmdProgram *program, const char *text, uint32_t basePosition, int64_t *number) {
    ExpValue value{};
    if (!cslEvaluateValue(program, text, -1, basePosition, 0, &value)) return 0;
    int ok = 1;
    if (value.type == EXP_INT) {
        *number = value.value.i;
    } else if (value.type == EXP_DBL) {
        *number = expDoubleToInteger(value.value.d, INT64_MIN, INT64_MAX);
    } else if (expIsString(&value) && expIsNumber(value.data, value.value.len)) {
        char digits[64];
        size_t n = value.value.len < sizeof digits - 1 ? value.value.len : sizeof digits - 1;
        std::memcpy(digits, value.data, n);
        digits[n] = '\0';
        *number = std::strtoll(digits, nullptr, 10);
    } else {
        ok = 0;
    }
    releaseStored(&value);
    return ok;
}

int cslAssignExpression(cmdProgram *program, ExpExpression *target, ExpExpression *value) {
    ExpValue *cursor = target->postfixNewest;
    if (cursor == nullptr || cursor->type != EXP_VAR) {
        cmdOutput(program, 128, "Invalid variable name.");
        program->errorFlag = 1;
        return 0;
    }
    char *key = nullptr;
    size_t keyLength = 0;
    target->softFailure = 0;
    target->valueMissing = 0;
    if (!expEvaluateSubscripts(target, &cursor, &key, &keyLength)) {
        printError(program, target);
        program->errorFlag = 1;
        return 0;
    }
    ExpValue result{};
    int ok = cslEvaluateParsed(program, value, &result);
    if (ok) {
        if (result.type == 0) expSetInt(&result, 0);
        ok = cslSetVariable(program, 0, 0, key, keyLength, &result) != nullptr || key[0] == '_';
    } else {
        program->errorFlag = 1;
    }
    releaseStored(&result);
    CSFreeMem(key);
    return ok ? 1 : 0;
}

int cslEvaluateCondition(cmdProgram *program, ExpExpression *e) {
    ExpValue *cursor = e->postfixNewest;
    e->softFailure = 0;
    e->valueMissing = 0;
    ExpValue result{};
    if (!expEvaluate(e, &cursor, &result)) {
        expReleaseValue(&result);
        if (e->valueMissing) return 0;
        printError(program, e);
        return -1;
    }
    int truth = 0;
    switch (result.type) {
        case EXP_INT:
            truth = result.value.i != 0;
            break;
        case EXP_DBL:
            truth = expDoubleToInteger(result.value.d, INT64_MIN, INT64_MAX) != 0;
            break;
        case EXP_LIST:
            truth = expListTotalLength(&result) != 0;
            break;
        default:
            truth = expIsString(&result) && result.value.len != 0;
            break;
    }
    expReleaseValue(&result);
    return truth;
}
