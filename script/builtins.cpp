// The script's own built-in functions, behind the functions it shares with WHERE filters in the
// script operator table. While an expression is only being tried at parse time a built-in touches
// nothing and gives a neutral number.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "console/console.h"
#include "script/internal.h"

namespace {

constexpr uint32_t parseFlags = EXP_PARSE_AT_NAMES | EXP_PARSE_COPY_STRINGS;
// The console's busy display bit, cleared before a script waits as before a command's reply.
constexpr uint32_t consoleBusy = 0x200;
constexpr int64_t syncMode = 1;
constexpr int64_t asyncMode = 2;

// Numbers of arguments: an integer as it is, a real truncated, a string its length, a list the
// length of its items.
int64_t asNumber(const ExpValue *v) {
    switch (v->type) {
        case EXP_INT:
            return v->value.i;
        case EXP_DBL:
            return expDoubleToInteger(v->value.d, INT64_MIN, INT64_MAX);
        case EXP_LIST:
            return static_cast<int64_t>(expListTotalLength(v));
        default:
            return expIsString(v) ? static_cast<int64_t>(v->value.len) : 0;
    }
}

int count(const ExpValue *args, const ExpValue *end) {
    return expArgumentCount(args, end);
}

// A failure whose result the table gives: the message is printed, the run goes on.
void report(ExpExpression *e, const char *format, ...) __attribute__((format(printf, 2, 3)));
void report(ExpExpression *e, const char *format, ...) {
    char message[512];
    va_list list;
    va_start(list, format);
    std::vsnprintf(message, sizeof message, format, list);
    va_end(list);
    cmdProgram *program = cmdProgramOf(e);
    if (program == nullptr) return;
    program->errorFlag = 1;
    cmdOutput(program, CSL_LINE_ERROR, message);
}

// An owned copy of bytes as the result.
int setText(ExpExpression *e, ExpValue *result, const char *bytes, size_t length) {
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr)
        return expSetError(e, 20, "Can not allocated %d bytes", static_cast<int>(length + 1));
    if (length != 0) std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    expSetString(result, EXP_PSTR, copy, length);
    return 1;
}

// The waits of WAIT and GETKEY: the console shows no busy mark meanwhile.
void clearBusy(ExpExpression *e) {
    cmdProgram *program = cmdProgramOf(e);
    auto *session = program != nullptr ? static_cast<cslSession *>(program->console) : nullptr;
    if (session == nullptr) return;
    CSRecursiveGuard guard(session->displayLock);
    session->displayFlags &= ~consoleBusy;
}

int fnWait(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 1);
    if (e->trial) return 1;
    int64_t seconds = asNumber(&args[0]);
    if (seconds <= 0) return 1;
    clearBusy(e);
    // One second at a time, so that a wait of years is still only a loop of sleeps.
    for (int64_t i = 0; i < seconds; ++i) evSleepMs(1000);
    return 1;
}

int fnGetKey(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    int64_t seconds = asNumber(&args[0]);
    clearBusy(e);
    // The console runs in file mode: the keyboard is polled once a second.
    for (int64_t waited = 0;; ++waited) {
        int32_t key = evKeyRead(0);
        if (key > 0) {
            expSetInt(result, key);
            return 1;
        }
        if (key < 0 || waited >= seconds) return 1;
        evSleepMs(1000);
    }
}

bool allDigits(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int fnMqTime(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    char *date = expValueToString(e, &args[0], 0);
    char *time = date != nullptr ? expValueToString(e, &args[1], 0) : nullptr;
    if (time == nullptr) {
        if (date != nullptr) CSFreeMem(date);
        return 0;
    }
    size_t dateLength = std::strlen(date), timeLength = std::strlen(time);
    int64_t seconds = -1;
    int ok;
    // The MQMD's yyyymmdd with hhmmss (and its hundredths): made MQ texts, so that the local time
    // is read where every other local time is.
    if (dateLength == 8 && (timeLength == 6 || timeLength == 8) && allDigits(date, 8) &&
        allDigits(time, timeLength)) {
        char mqDate[11], mqTime[9];
        std::snprintf(mqDate, sizeof mqDate, "%.4s-%.2s-%.2s", date, date + 4, date + 6);
        std::snprintf(mqTime, sizeof mqTime, "%.2s.%.2s.%.2s", time, time + 2, time + 4);
        ok = evMQDateTimeToTime(mqDate, 10, mqTime, 8, &seconds);
    } else {
        ok = evMQDateTimeToTime(date, dateLength, time, timeLength, &seconds);
    }
    CSFreeMem(date);
    CSFreeMem(time);
    expSetInt(result, ok ? seconds : -1);
    return 1;
}

int fnFOpen(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    char *path = expValueToString(e, &args[0], 2);
    char *mode = path != nullptr ? expValueToString(e, &args[1], 2) : nullptr;
    if (mode == nullptr) {
        if (path != nullptr) CSFreeMem(path);
        return 0;
    }
    expSetInt(result, cmdFileOpen(path, mode));
    CSFreeMem(path);
    CSFreeMem(mode);
    return 1;
}

int fnFClose(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    int64_t id = asNumber(&args[0]);
    if (id < INT32_MIN || id > INT32_MAX || !cmdFileClose(static_cast<int32_t>(id))) {
        report(e, "fclose() issued against unopen fileid %" PRId64, id);
        return 1;
    }
    expSetInt(result, 1);
    return 1;
}

int fnSystem(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    int n = count(args, end);
    if (n < 1 || n > 2) return expSetError(e, 0, "Function system() takes one or two parameters.");
    int64_t mode = n == 2 ? asNumber(&args[1]) : asyncMode;
    char *command = expValueToString(e, &args[0], 2);
    if (command == nullptr) return 0;
    if ((mode & (syncMode | asyncMode)) == (syncMode | asyncMode)) {
        report(e, "The second parameter to function system() cannot specify both SYNC and ASYNC.");
        mode = asyncMode;
    }
    if (mode & syncMode) {
        int error = 0;
        int rc = CSRunShell(command, &error);
        if (rc == CS_SHELL_RAN) {
            expSetInt(result, 1);
        } else {
            cmdSaveErrno(error);
            if (rc == CS_SHELL_NO_INTERPRETER)
                report(e, "system() call, command interpreter is not found, errno=%s(%d)",
                       std::strerror(error), error);
            else
                report(e, "system() call set errno=%s(%d)", std::strerror(error), error);
        }
    } else {
        char *message = nullptr;
        if (CSRunCommand(command, &message)) {
            expSetInt(result, 1);
        } else {
            report(e, "%s", message != nullptr ? message : "No storage available.");
        }
        if (message != nullptr) CSFreeMem(message);
    }
    CSFreeMem(command);
    return 1;
}

int fnFloor(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, expDoubleToInteger(std::floor(expValueAsDouble(&args[0])), INT64_MIN, INT64_MAX));
    return 1;
}

int fnCeil(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, expDoubleToInteger(std::ceil(expValueAsDouble(&args[0])), INT64_MIN, INT64_MAX));
    return 1;
}

int fnRound(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    double d = expValueAsDouble(&args[0]);
    expSetInt(result, expDoubleToInteger(d >= 0 ? d + 0.5 : d - 0.5, INT64_MIN, INT64_MAX));
    return 1;
}

int fnEval(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    cmdProgram *program = cmdProgramOf(e);
    if (e->trial || program == nullptr) return 1;
    char *text = expValueToString(e, &args[0], 2);
    if (text == nullptr) return 0;
    char *error = nullptr;
    int ok = cmdEvaluateValue(program, text, std::strlen(text), 0, 1, result, &error);
    CSFreeMem(text);
    if (ok) return 1;
    if (error == nullptr) return expSetError(e, 0, "No storage available.");
    expSetError(e, std::strlen(error), "%s", error);
    CSFreeMem(error);
    return 0;
}

int fnStr(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    char *text = expValueToString(e, &args[0], 2);
    if (text == nullptr) return 0;
    expSetString(result, EXP_PSTR, text, std::strlen(text));
    return 1;
}

int fnStrLen(ExpExpression *, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, expIsString(&args[0]) ? static_cast<int64_t>(args[0].value.len) : 0);
    return 1;
}

int fnStrReplace(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    static const char *const which[] = {"first", "second", "third"};
    for (int i = 0; i < 3; ++i) {
        if (!expIsString(&args[i]))
            return expSetError(e, 8, "The %s parameter to function strreplace() must be a string.", which[i]);
    }
    const char *text = args[0].data;
    const size_t length = args[0].value.len, oldLength = args[1].value.len, newLength = args[2].value.len;
    if (oldLength == 0) return setText(e, result, text, length);
    cmdText out{};
    bool ok = cmdTextAppend(&out, "", 0);
    size_t at = 0;
    while (ok && at < length) {
        if (length - at >= oldLength && std::memcmp(text + at, args[1].data, oldLength) == 0) {
            ok = cmdTextAppend(&out, args[2].data, newLength);
            at += oldLength;
        } else {
            ok = cmdTextAppend(&out, text + at, 1);
            ++at;
        }
    }
    if (!ok) {
        cmdTextFree(&out);
        return expSetError(e, 0, "Can not allocate storage for strreplace() function.");
    }
    expSetString(result, EXP_PSTR, out.data, out.length);
    return 1;
}

bool inSet(char c, const ExpValue *set) {
    return set->value.len != 0 && std::memchr(set->data, c, set->value.len) != nullptr;
}

int fnTrimStr(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    int n = count(args, end);
    if (n > 3) return expSetError(e, 0, "Function trimstr() has a maxiumum of three parameters.");
    static const char *const which[] = {"first", "second", "third"};
    for (int i = 0; i < (n < 1 ? 1 : n); ++i) {
        if (!expIsString(&args[i]))
            return expSetError(e, 8, "The %s parameter to function trimstr() must be a string.", which[i]);
    }
    ExpValue blank{};
    expSetString(&blank, EXP_STR, const_cast<char *>(" "), 1);
    const ExpValue *leading = n >= 2 ? &args[1] : &blank;
    const ExpValue *trailing = n >= 3 ? &args[2] : leading;
    const char *text = args[0].data;
    size_t from = 0, to = args[0].value.len;
    while (from < to && inSet(text[from], leading)) ++from;
    while (to > from && inSet(text[to - 1], trailing)) --to;
    return setText(e, result, text + from, to - from);
}

}  // namespace

int cmdEvaluateValue(cmdProgram *program, const char *text, size_t length, uint32_t basePosition, int cached,
                     ExpValue *out, char **error) {
    *error = nullptr;
    *out = ExpValue{};
    ExpCallerBlock caller{};
    caller.word[0] = program;
    caller.word[1] = program;
    caller.word[2] = reinterpret_cast<void *>(program->serial);
    char *parseError = nullptr;
    ExpExpression *e = expParseExpression(text, static_cast<int64_t>(length), basePosition,
                                          parseFlags | (cached ? EXP_PARSE_CACHE : 0), expScriptOperatorTable,
                                          cmdVariableCallback, cmdFunctionCallback, &caller, &parseError);
    bool owned = !cached;
    if (cached && e != nullptr && std::memcmp(&e->caller, &caller, sizeof caller) != 0) {
        // The cache holds the text as another program parsed it: its functions may be gone.
        e = expParseExpression(text, static_cast<int64_t>(length), basePosition, parseFlags,
                               expScriptOperatorTable, cmdVariableCallback, cmdFunctionCallback, &caller,
                               &parseError);
        owned = true;
    }
    if (e == nullptr) {
        if (parseError == nullptr) {
            *error = static_cast<char *>(CSGetMem(length + 40));
            if (*error != nullptr)
                std::snprintf(*error, length + 40, "Error parsing expression '%.*s'",
                              static_cast<int>(length), text);
        } else {
            *error = parseError;
        }
        return 0;
    }
    e->softFailure = 0;
    e->valueMissing = 0;
    ExpValue *cursor = e->postfixNewest;
    ExpValue value{};
    int ok = expEvaluate(e, &cursor, &value);
    if (!ok) {
        expReleaseValue(&value);
        if (e->valueMissing) {
            expSetInt(out, 0);
            ok = 1;
        } else {
            const char *message = e->errorText != nullptr ? e->errorText : "Error evaluating expression";
            size_t n = std::strlen(message);
            *error = static_cast<char *>(CSGetMem(n + 1));
            if (*error != nullptr) std::memcpy(*error, message, n + 1);
        }
    } else if (value.type == EXP_STR || value.type == EXP_EPSTR) {
        // The value may point into the expression, which the cache may let go.
        auto *copy = static_cast<char *>(CSGetMem(value.value.len + 1));
        if (copy == nullptr) {
            *error = static_cast<char *>(CSGetMem(32));
            if (*error != nullptr) std::snprintf(*error, 32, "No storage available.");
            ok = 0;
        } else {
            if (value.value.len != 0) std::memcpy(copy, value.data, value.value.len);
            copy[value.value.len] = '\0';
            expSetString(out, EXP_PSTR, copy, value.value.len);
        }
    } else {
        *out = value;
        out->next = out->previous = nullptr;
    }
    if (owned) expFreeExpression(e);
    return ok;
}

void cmdInstallBuiltins() {
    struct Builtin {
        const char *name;
        ExpHandler handler;
    };
    static constexpr Builtin builtins[] = {
        {"WAIT", fnWait},
        {"MQTIME", fnMqTime},
        {"FOPEN", fnFOpen},
        {"FCLOSE", fnFClose},
        {"SYSTEM", fnSystem},
        {"FLOOR", fnFloor},
        {"CEIL", fnCeil},
        {"ROUND", fnRound},
        {"EVAL", fnEval},
        {"GETKEY", fnGetKey},
        {"STR", fnStr},
        {"STRLEN", fnStrLen},
        {"STRREPLACE", fnStrReplace},
        {"TRIMSTR", fnTrimStr},
    };
    for (const Builtin &b : builtins) expRegisterScriptFunction(b.name, b.handler);
}
