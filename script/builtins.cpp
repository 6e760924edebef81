// The script's own built-in functions, behind the functions it shares with WHERE filters in the
// script operator table. While an expression is only being tried at parse time a built-in touches
// nothing and gives a neutral number.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "script/internal.h"

namespace {

constexpr uint32_t parseFlags = EXP_PARSE_AT_NAMES | EXP_PARSE_CASE | EXP_PARSE_COPY_STRINGS;
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
    // As an expression's error: printed, and the run goes on.
    if (program != nullptr) cmdOutput(program, CSL_LINE_ERROR, message);
}

// The errno of a failed file or command call, for _errno.
void noteErrno(ExpExpression *e) {
    cmdProgram *program = cmdProgramOf(e);
    if (program != nullptr && program->run != nullptr) program->run->savedErrno = cmdSavedErrno();
}

// An owned copy of bytes as the result.
int setText(ExpExpression *e, ExpValue *result, const char *bytes, size_t length) {
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr)
        return expSetError(e, 20, "Can not allocated %llu bytes",
                           static_cast<unsigned long long>(length + 1));
    if (length != 0) std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    expSetString(result, EXP_PSTR, copy, length);
    return 1;
}

// A text that goes to the OS (a path, a mode, a command line) as a C string: the OS would read it
// only up to a NUL inside it and open or run something else than the script named. Null with the
// expression's error set for such a text.
char *osText(ExpExpression *e, const ExpValue *v, const char *what, const char *function) {
    if (expIsString(v) && v->value.len != 0 && std::memchr(v->data, 0, v->value.len) != nullptr) {
        expSetError(e, std::strlen(what) + std::strlen(function),
                    "The %s passed to function %s() holds a NUL character.", what, function);
        return nullptr;
    }
    return expValueToString(e, v, 2);
}

// The stop test of a synchronous SYSTEM: an end of the program asked for since the run began.
int endAsked(void *program) {
    return cmdEndAsked(static_cast<cmdProgram *>(program)) ? 1 : 0;
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
    // One second at a time, so that a wait of years is still only a loop of sleeps, and an end of the
    // program asked for meanwhile ends it.
    const cmdProgram *program = cmdProgramOf(e);
    for (int64_t i = 0; i < seconds && (program == nullptr || !cmdEndAsked(program)); ++i) evSleepMs(1000);
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
        if (cmdProgramOf(e) != nullptr && cmdEndAsked(cmdProgramOf(e))) return 1;
        evSleepMs(1000);
    }
}

bool allDigits(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int number(const char *text, size_t length) {
    int value = 0;
    for (size_t i = 0; i < length; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// The fields of a date (year, month, day at the offsets) and a time (hour, minute, second) that MQTIME
// can read: digits at every place, and a moment that exists. The MQ date and time reader fills a
// short text with defaults and carries a field past its range into the next, so neither a text it
// could not read nor a date that does not exist would answer -1.
bool readableMoment(const char *date, const size_t dateAt[3], const char *time, const size_t timeAt[3]) {
    for (int i = 0; i < 3; ++i) {
        if (!allDigits(date + dateAt[i], i == 0 ? 4 : 2) || !allDigits(time + timeAt[i], 2)) return false;
    }
    const int year = number(date + dateAt[0], 4), month = number(date + dateAt[1], 2);
    const int day = number(date + dateAt[2], 2);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    return number(time + timeAt[0], 2) <= 23 && number(time + timeAt[1], 2) <= 59 &&
           number(time + timeAt[2], 2) <= 59;
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
    static const size_t kPacked[3] = {0, 4, 6}, kPackedTime[3] = {0, 2, 4};
    static const size_t kMqDate[3] = {0, 5, 8}, kMqTime[3] = {0, 3, 6};
    if (dateLength == 8 && (timeLength == 6 || timeLength == 8) && allDigits(date, 8) &&
        allDigits(time, timeLength)) {
        char mqDate[11], mqTime[9];
        std::snprintf(mqDate, sizeof mqDate, "%.4s-%.2s-%.2s", date, date + 4, date + 6);
        std::snprintf(mqTime, sizeof mqTime, "%.2s.%.2s.%.2s", time, time + 2, time + 4);
        ok = readableMoment(date, kPacked, time, kPackedTime) &&
             evMQDateTimeToTime(mqDate, 10, mqTime, 8, &seconds);
    } else {
        // The MQ forms YYYY-MM-DD and HH.MM.SS, whole.
        ok = dateLength == 10 && timeLength == 8 && readableMoment(date, kMqDate, time, kMqTime) &&
             evMQDateTimeToTime(date, dateLength, time, timeLength, &seconds);
    }
    CSFreeMem(date);
    CSFreeMem(time);
    expSetInt(result, ok ? seconds : -1);
    return 1;
}

int fnFOpen(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    char *path = osText(e, &args[0], "path", "fopen");
    char *mode = path != nullptr ? osText(e, &args[1], "mode", "fopen") : nullptr;
    if (mode == nullptr) {
        if (path != nullptr) CSFreeMem(path);
        return 0;
    }
    int32_t id = cmdFileOpen(path, mode);
    if (id < 0) noteErrno(e);
    expSetInt(result, id);
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
    char *command = osText(e, &args[0], "command", "system");
    if (command == nullptr) return 0;
    if ((mode & (syncMode | asyncMode)) == (syncMode | asyncMode)) {
        report(e, "The second parameter to function system() cannot specify both SYNC and ASYNC.");
        mode = asyncMode;
    }
    if (mode & syncMode) {
        // Unlike the documented wait for the command's end, an end of the program asked for
        // meanwhile deliberately ends the wait: a command that never returns must not hold it.
        int error = 0, left = 0;
        cmdProgram *program = cmdProgramOf(e);
        int rc = CSRunShell(command, &error, program != nullptr ? endAsked : nullptr, program, &left);
        if (rc == CS_SHELL_RAN) {
            expSetInt(result, 1);
        } else if (rc == CS_SHELL_ENDED) {
            evOutputF(EV_OUT_INFO, 1,
                      "system() wait abandoned: the program is ending; the command was ended");
        } else if (rc == CS_SHELL_LEFT) {
            evOutputF(EV_OUT_INFO, 1,
                      "system() wait abandoned: the program is ending; the command still runs as process %d",
                      left);
        } else {
            cmdSaveErrno(error);
            noteErrno(e);
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
    if (e->trial || program == nullptr || program->run == nullptr) return 1;
    char *text = expValueToString(e, &args[0], 2);
    if (text == nullptr) return 0;
    // An EVAL is a nested run: a text that evaluates itself ends at the nesting limit.
    if (!cmdEnterNesting(program, program->lastExecuted)) {
        CSFreeMem(text);
        return 1;
    }
    char *error = nullptr;
    int ok = cmdEvaluateValue(program, text, std::strlen(text), 0, 1, result, &error);
    cmdLeaveNesting(program);
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

// During the parse-time trial a variable's value is not the run's: an argument of the wrong type is
// for the run to refuse. 1 with an empty text as the result in the trial, else 0.
int trialText(ExpExpression *e, ExpValue *result) {
    if (!e->trial) return 0;
    expSetString(result, EXP_STR, const_cast<char *>(""), 0);
    return 1;
}

int fnStrReplace(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    static const char *const which[] = {"first", "second", "third"};
    for (int i = 0; i < 3; ++i) {
        if (!expIsString(&args[i]))
            return trialText(e, result) ||
                   expSetError(e, 8, "The %s parameter to function strreplace() must be a string.", which[i]);
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
            return trialText(e, result) ||
                   expSetError(e, 8, "The %s parameter to function trimstr() must be a string.", which[i]);
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

// ---------------------------------------------------------------------------------------------
// Variables and arrays of the running program.

constexpr int64_t maxSortCells = 1048576;

bool isUserVariable(const ExpValue *v) {
    return v->type == EXP_VAR && v->value.len != 0 && v->data[0] == '@';
}

bool isElement(const ExpValue *v) {
    return v->subscripts != 0 || std::memchr(v->data, '%', v->value.len) != nullptr;
}

// The subscripts of an element's key (name, '%', count, pad count, pad, the u32 subscripts at a
// multiple of 4) -> their count, 0 when the key is not one of the array's elements.
int decodeSubscripts(const char *key, size_t keyLength, size_t nameLength, int32_t out[EXP_MAX_SUBSCRIPTS]) {
    size_t at = nameLength + 1;
    if (keyLength < at + 2 || key[nameLength] != '%') return 0;
    auto count = static_cast<uint8_t>(key[at]);
    auto padding = static_cast<uint8_t>(key[at + 1]);
    size_t start = at + 2 + padding;
    if (count < 1 || count > EXP_MAX_SUBSCRIPTS || start + 4u * count > keyLength) return 0;
    for (int i = 0; i < count; ++i) {
        uint32_t u = 0;
        std::memcpy(&u, key + start + 4u * static_cast<size_t>(i), 4);
        out[i] = static_cast<int32_t>(u);
    }
    return count;
}

// The innermost frame holding elements of the array, or null.
cmdCallContext *arrayFrame(cmdProgram *program, const char *name, size_t length) {
    for (cmdCallContext *f = program->run->frame; f != nullptr; f = f->previous) {
        if (cslFirstElement(f, name, length) != nullptr) return f;
    }
    return nullptr;
}

// The checks the array functions share: a user variable naming an array -> the program, or null
// after the message.
cmdProgram *arrayArgument(ExpExpression *e, const ExpValue *arg, const char *function) {
    cmdProgram *program = cmdProgramOf(e);
    if (program == nullptr || program->run == nullptr) return nullptr;
    if (!isUserVariable(arg)) {
        report(e, "The first parameter to function %s() must be a user variable.", function);
        return nullptr;
    }
    if (isElement(arg)) {
        report(e, "Parameter to numsubs() should be array name not an element.");
        return nullptr;
    }
    return program;
}

struct Cell {
    cslVAR *variable;  // null: no element there
};

// A stable merge sort of column numbers by the chosen row: it keeps equal columns in their order,
// as repeated passes of exchanges do, and stays in bounds whatever the comparison answers.
void sortColumns(ExpExpression *e, std::vector<size_t> &columns, const std::vector<Cell> &keyRow,
                 bool descending) {
    auto valueOf = [&](size_t column) -> const ExpValue * {
        const cslVAR *v = keyRow[column].variable;
        return v != nullptr && v->set ? &v->value : nullptr;
    };
    std::vector<size_t> buffer(columns.size());
    for (size_t width = 1; width < columns.size(); width *= 2) {
        for (size_t from = 0; from < columns.size(); from += 2 * width) {
            size_t middle = std::min(from + width, columns.size());
            size_t to = std::min(from + 2 * width, columns.size());
            size_t i = from, j = middle, k = from;
            while (i < middle && j < to) {
                int order = expCompareValues(e, valueOf(columns[i]), valueOf(columns[j]));
                // The right one goes first only when it must: equal columns keep their order.
                bool rightFirst = descending ? order < 0 : order > 0;
                buffer[k++] = rightFirst ? columns[j++] : columns[i++];
            }
            while (i < middle) buffer[k++] = columns[i++];
            while (j < to) buffer[k++] = columns[j++];
        }
        columns.swap(buffer);
    }
}

int sortArray(ExpExpression *e, ExpValue *args, ExpValue *end, ExpValue *result, bool descending) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    const char *function = descending ? "sortd" : "sort";
    cmdProgram *program = arrayArgument(e, &args[0], function);
    if (program == nullptr) return 1;
    const char *name = args[0].data;
    const size_t nameLength = args[0].value.len;
    const int shownLength = static_cast<int>(nameLength);
    int64_t row = count(args, end) >= 2 ? asNumber(&args[1]) : 1;
    cmdCallContext *frame = arrayFrame(program, name, nameLength);
    if (frame == nullptr) return 1;

    // The table's extent: rows by the first subscript (one row for a one-subscript array), columns
    // by the last.
    int dimensions = 0;
    int64_t lowRow = 1, highRow = 1, lowColumn = 1, highColumn = 1;
    for (cslVAR *v = cslFirstElement(frame, name, nameLength); v != nullptr;
         v = cslNextElement(v, name, nameLength)) {
        int32_t subs[EXP_MAX_SUBSCRIPTS];
        int n = decodeSubscripts(v->key, v->keyLength, nameLength, subs);
        if (dimensions == 0) dimensions = n;
        if (n != dimensions) {
            report(e, "Array %.*s has elements with different number of subscripts.", shownLength, name);
            return 1;
        }
        if (n > 2) {
            report(e, "Array %.*s has greater than 2 subscripts.", shownLength, name);
            return 1;
        }
        int64_t r = n == 2 ? subs[0] : 1, c = subs[n - 1];
        lowRow = std::min(lowRow, r), highRow = std::max(highRow, r);
        lowColumn = std::min(lowColumn, c), highColumn = std::max(highColumn, c);
    }
    if (row < lowRow || row > highRow) {
        report(e, "Sort index %" PRId64 " passed to sort function() beyond bounds of array %.*s.", row,
               shownLength, name);
        return 1;
    }
    const int64_t rows = highRow - lowRow + 1, columns = highColumn - lowColumn + 1;
    // Subscripts reach 2^31 each way: the product is counted in 64 bits before anything is made.
    if (rows > maxSortCells || columns > maxSortCells || rows * columns > maxSortCells) {
        report(e, "Failed to allocate sort array.");
        return 1;
    }
    std::vector<std::vector<Cell>> table(static_cast<size_t>(rows),
                                         std::vector<Cell>(static_cast<size_t>(columns)));
    for (cslVAR *v = cslFirstElement(frame, name, nameLength); v != nullptr;
         v = cslNextElement(v, name, nameLength)) {
        int32_t subs[EXP_MAX_SUBSCRIPTS];
        int n = decodeSubscripts(v->key, v->keyLength, nameLength, subs);
        int64_t r = n == 2 ? subs[0] : 1, c = subs[n - 1];
        table[static_cast<size_t>(r - lowRow)][static_cast<size_t>(c - lowColumn)].variable = v;
    }
    std::vector<size_t> order(static_cast<size_t>(columns));
    for (size_t c = 0; c < order.size(); ++c) order[c] = c;
    sortColumns(e, order, table[static_cast<size_t>(row - lowRow)], descending);

    // Every moved cell's value is copied out before any element is written, then each position
    // takes its new value, or loses its element when a gap moved there.
    struct Moved {
        size_t row, column;
        bool present, set;
        ExpValue value;
    };
    std::vector<Moved> moves;
    bool ok = true;
    for (size_t r = 0; r < table.size(); ++r) {
        for (size_t c = 0; c < order.size(); ++c) {
            if (order[c] == c) continue;
            const cslVAR *from = table[r][order[c]].variable;
            Moved m{r, c, from != nullptr, from != nullptr && from->set != 0, {}};
            if (m.set && !cslCopyValue(from, &m.value)) ok = false;
            if (m.present || table[r][c].variable != nullptr) moves.push_back(m);
        }
    }
    for (Moved &m : moves) {
        if (ok) {
            uint32_t subs[2] = {static_cast<uint32_t>(static_cast<int64_t>(m.row) + lowRow),
                                static_cast<uint32_t>(static_cast<int64_t>(m.column) + lowColumn)};
            char key[CSL_VAR_KEY_MAX];
            size_t keyLength = dimensions == 2
                                   ? expBuildArrayKey(name, nameLength, subs, 2, key, sizeof key)
                                   : expBuildArrayKey(name, nameLength, subs + 1, 1, key, sizeof key);
            if (keyLength == 0) {
                ok = false;
            } else if (!m.present) {
                cslDeleteFromFrame(frame, key, keyLength);
            } else if (cslSetVariable(program, frame == program->run->frame, 0, key, keyLength,
                                      m.set ? &m.value : nullptr) == nullptr) {
                ok = false;
            }
        }
        expReleaseValue(&m.value);
    }
    if (!ok) {
        report(e, "Failed to allocate sort array.");
        return 1;
    }
    expSetInt(result, 1);
    return 1;
}

int fnSort(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    return sortArray(e, args, end, result, false);
}

int fnSortD(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    return sortArray(e, args, end, result, true);
}

int fnDelVar(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    cmdProgram *program = cmdProgramOf(e);
    if (e->trial || program == nullptr || program->run == nullptr) return 1;
    if (!isUserVariable(&args[0])) {
        report(e, "The first parameter to function delvar() must be a user variable.");
        return 1;
    }
    cmdCallContext *frame = program->run->frame;
    const char *name = args[0].data;
    const size_t length = args[0].value.len;
    int64_t deleted = cslDeleteFromFrame(frame, name, length);
    if (!isElement(&args[0])) {
        // Keys first: deleting moves the tree under a walk.
        std::vector<std::string> keys;
        for (cslVAR *v = cslFirstElement(frame, name, length); v != nullptr;
             v = cslNextElement(v, name, length))
            keys.emplace_back(v->key, v->keyLength);
        for (const std::string &key : keys) deleted += cslDeleteFromFrame(frame, key.data(), key.size());
    }
    expSetInt(result, deleted);
    return 1;
}

int fnExists(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, 0);
    cmdProgram *program = cmdProgramOf(e);
    if (e->trial || program == nullptr || program->run == nullptr) return 1;
    if (!isUserVariable(&args[0])) {
        report(e, "The first parameter to function exists() must be a user variable.");
        return 1;
    }
    const char *name = args[0].data;
    const size_t length = args[0].value.len;
    for (cmdCallContext *f = program->run->frame; f != nullptr; f = f->previous) {
        if (const cslVAR *v = cslFindInFrame(f, name, length)) {
            expSetInt(result, v->set ? 1 : 0);
            return 1;
        }
        if (isElement(&args[0])) continue;
        cslVAR *element = cslFirstElement(f, name, length);
        if (element == nullptr) continue;
        for (; element != nullptr; element = cslNextElement(element, name, length)) {
            if (element->set) {
                expSetInt(result, 1);
                break;
            }
        }
        return 1;
    }
    return 1;
}

// NUMSUBS (position 0), MINSUB (-1) and MAXSUB (+1).
int subscriptQuery(ExpExpression *e, ExpValue *args, ExpValue *end, ExpValue *result, int which) {
    expSetInt(result, 0);
    if (e->trial) return 1;
    cmdProgram *program = arrayArgument(e, &args[0], "numsubs");
    if (program == nullptr) return 1;
    int64_t position = which != 0 && count(args, end) >= 2 ? asNumber(&args[1]) : 1;
    if (position < 1 || position > EXP_MAX_SUBSCRIPTS) return 1;
    const char *name = args[0].data;
    const size_t length = args[0].value.len;
    cmdCallContext *frame = arrayFrame(program, name, length);
    bool found = false;
    int64_t answer = 0;
    for (cslVAR *v = cslFirstElement(frame, name, length); v != nullptr;
         v = cslNextElement(v, name, length)) {
        int32_t subs[EXP_MAX_SUBSCRIPTS];
        int n = decodeSubscripts(v->key, v->keyLength, length, subs);
        if (which == 0) {
            answer = std::max<int64_t>(answer, n);
            continue;
        }
        if (n < position) continue;
        int64_t s = subs[position - 1];
        if (!found || (which < 0 ? s < answer : s > answer)) answer = s;
        found = true;
    }
    expSetInt(result, answer);
    return 1;
}

int fnNumSubs(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    return subscriptQuery(e, args, end, result, 0);
}

int fnMinSub(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    return subscriptQuery(e, args, end, result, -1);
}

int fnMaxSub(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *end, ExpValue *result) {
    return subscriptQuery(e, args, end, result, 1);
}

int fnFGets(ExpExpression *e, const ExpOperator *, ExpValue *args, ExpValue *, ExpValue *result) {
    expSetInt(result, -2);
    cmdProgram *program = cmdProgramOf(e);
    if (e->trial || program == nullptr || program->run == nullptr) return 1;
    int64_t id = asNumber(&args[0]);
    char *line = nullptr;
    size_t length = 0;
    int32_t rc = id < INT32_MIN || id > INT32_MAX ? CMD_FILE_NOT_OPEN
                                                  : cmdFileGets(static_cast<int32_t>(id), &line, &length);
    if (rc == CMD_FILE_NOT_OPEN) {
        report(e, "File Identifier %" PRId64 " is not an open file", id);
        return 1;
    }
    if (rc < 0) {
        if (rc == -2) noteErrno(e);
        expSetInt(result, rc);
        return 1;
    }
    ExpValue text{};
    expSetString(&text, EXP_STR, line, length);
    if (cslSetVariable(program, 0, 0, args[1].data, args[1].value.len, &text) == nullptr) {
        report(e, "fgets() can not assign variable");
        return 1;
    }
    expSetInt(result, rc);
    return 1;
}

}  // namespace

int cmdEvaluateValue(cmdProgram *program, const char *text, size_t length, uint32_t basePosition, int cached,
                     ExpValue *out, char **error) {
    *error = nullptr;
    *out = ExpValue{};
    ExpCallerBlock caller{};
    caller.program = program;
    caller.context = program;
    caller.serial = program->serial;
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
        {"SORT", fnSort},       {"SORTD", fnSortD},     {"DELVAR", fnDelVar},
        {"EXISTS", fnExists},   {"NUMSUBS", fnNumSubs}, {"MINSUB", fnMinSub},
        {"MAXSUB", fnMaxSub},   {"FGETS", fnFGets},     {"WAIT", fnWait},
        {"MQTIME", fnMqTime},   {"FOPEN", fnFOpen},     {"FCLOSE", fnFClose},
        {"SYSTEM", fnSystem},   {"FLOOR", fnFloor},     {"CEIL", fnCeil},
        {"ROUND", fnRound},     {"EVAL", fnEval},       {"GETKEY", fnGetKey},
        {"STR", fnStr},         {"STRLEN", fnStrLen},   {"STRREPLACE", fnStrReplace},
        {"TRIMSTR", fnTrimStr},
    };
    for (const Builtin &b : builtins) expRegisterScriptFunction(b.name, b.handler);
}
