// The script debugger: before a statement it can stop, list it and read commands at "DBG>" from
// standard input until an empty line steps on. Breakpoints name statements by their numbers; its
// own texts go to standard error, print and its complaints to the console's output.
#include <strings.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "engine/engine.h"
#include "script/internal.h"

namespace {

constexpr int kMaxBreakpoints = 10;
constexpr int32_t kListDefault = 16;

struct Breakpoint {
    uint32_t number;
    cmdFUNCTION *function;  // null: the main program
};

struct Debugger {
    Breakpoint table[kMaxBreakpoints];
    int count;
    int32_t runFlag;       // run without stopping until a breakpoint
    cmdCommand *loopMark;  // runout: the loop whose end stops the run
    int32_t loopEnd;       // the marked loop ended: stop at the next statement
    cmdCommand *current;   // the statement stopped at
    uint32_t listFirst;    // the first statement of the last listing
    uint32_t listLast;     // the last statement listed
    cmdFUNCTION *listFunction;
    int32_t selectedFrame;  // depth of the frame print, eval and assignments use
};
Debugger dbg;

// Debugger texts: standard error, holding the console's debug mode only while writing, so that
// no other thread's console line waits on the dialogue.
void dbgPrint(const char *format, ...) __attribute__((format(printf, 1, 2)));
void dbgPrint(const char *format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    char *text = small;
    // A listed statement may be long: its whole text is shown.
    if (n >= static_cast<int>(sizeof small)) {
        text = static_cast<char *>(CSGetMem(static_cast<size_t>(n) + 1));
        if (text != nullptr)
            std::vsnprintf(text, static_cast<size_t>(n) + 1, format, again);
        else
            text = small, n = static_cast<int>(sizeof small - 1);
    }
    va_end(again);
    if (n < 0) return;
    evConsoleDebugMode(1);
    evConsolePrint(2, text, n);
    evConsoleDebugMode(0);
    if (text != small) CSFreeMem(text);
}

bool isStatement(const cmdCommand *command) {
    return command->type != 0 && !cmdKeepsNumber(command->type);
}

cmdCommand *listHead(cmdProgram *program, cmdFUNCTION *function) {
    return function != nullptr ? function->definition.head : program->head;
}

cmdCommand *findStatement(cmdProgram *program, cmdFUNCTION *function, uint32_t number) {
    for (cmdCommand *c = listHead(program, function); c != nullptr; c = c->next)
        if (isStatement(c) && c->number == number) return c;
    return nullptr;
}

// The first statement numbered above number, or null.
cmdCommand *nextStatement(cmdProgram *program, cmdFUNCTION *function, uint32_t number) {
    cmdCommand *best = nullptr;
    for (cmdCommand *c = listHead(program, function); c != nullptr; c = c->next)
        if (isStatement(c) && c->number > number && (best == nullptr || c->number < best->number)) best = c;
    return best;
}

int findBreakpoint(cmdFUNCTION *function, uint32_t number) {
    for (int i = 0; i < dbg.count; i++)
        if (dbg.table[i].function == function && dbg.table[i].number == number) return i;
    return -1;
}

// Ordered by function name (the main program first), then statement number.
bool before(const Breakpoint &a, const Breakpoint &b) {
    if (a.function != b.function) {
        if (a.function == nullptr) return true;
        if (b.function == nullptr) return false;
        int order = std::strcmp(a.function->name, b.function->name);
        if (order != 0) return order < 0;
    }
    return a.number < b.number;
}

void sortBreakpoints() {
    for (int i = 1; i < dbg.count; i++)
        for (int j = i; j > 0 && before(dbg.table[j], dbg.table[j - 1]); j--) {
            Breakpoint t = dbg.table[j];
            dbg.table[j] = dbg.table[j - 1];
            dbg.table[j - 1] = t;
        }
}

void removeBreakpoint(int index) {
    for (int i = index + 1; i < dbg.count; i++) dbg.table[i - 1] = dbg.table[i];
    dbg.count--;
}

bool isBlankText(const char *text) {
    return *cmdSkipBlanks(text) == '\0';
}

void stopSession(cmdProgram *program) {
    program->stopFlag = 1;
    if (auto *session = static_cast<cslSession *>(program->console)) session->stopFlag.store(1);
}

// The prompt's stop test: an end of the program that is final (the end flag, a signal) since the run
// began. A STOP EV still waiting for its commit does not end the prompt: a backout would take it back
// and leave the program running without the prompt it said was ended; once committed it is final.
int endAsked(void *program) {
    return cmdEndFinal(static_cast<cmdProgram *>(program)) || evConnectSequenceBroken() ? 1 : 0;
}

void leaveDebugMode(cmdProgram *program) {
    // Records of the main program are freed once they ran from now on: nothing may point at them.
    dbg.loopMark = nullptr;
    dbg.loopEnd = 0;
    dbg.runFlag = 0;
    evRunState.debugMode.store(0);
    dbgSyncFlags(program);
}

// The frame of that depth, or null.
cmdCallContext *frameAt(cmdProgram *program, int32_t depth) {
    for (cmdCallContext *f = program->run->frame; f != nullptr; f = f->previous)
        if (f->depth == depth) return f;
    return nullptr;
}

// Runs in the selected frame: print, eval and assignments see its variables.
struct SelectedFrame {
    cmdRunState *run;
    cmdCallContext *saved;
    explicit SelectedFrame(cmdProgram *program) : run(program->run), saved(program->run->frame) {
        if (cmdCallContext *f = frameAt(program, dbg.selectedFrame)) run->frame = f;
    }
    ~SelectedFrame() { run->frame = saved; }
    SelectedFrame(const SelectedFrame &) = delete;
    SelectedFrame &operator=(const SelectedFrame &) = delete;
};

// ---------------------------------------------------------------------------------------------
// Listing

// One record's line; frame -1: listed without a frame number.
void listLine(cmdProgram *program, const cmdCommand *c, int longFlag, int32_t frame = -1) {
    (void)program;
    char where[48] = "";
    int n = 0;
    if (longFlag) n = std::snprintf(where, sizeof where, "Line:%5u ", c->line);
    if (frame >= 0 && n >= 0 && static_cast<size_t>(n) < sizeof where)
        std::snprintf(where + n, sizeof where - static_cast<size_t>(n), "[%2d]%c", frame,
                      frame == dbg.selectedFrame ? '+' : ' ');
    char owner[48] = "CMD:";
    if (c->owner != nullptr) std::snprintf(owner, sizeof owner, "FNC:(%-10s)", c->owner->name);
    char number[16] = "     ";
    if (isStatement(c)) std::snprintf(number, sizeof number, "%5u", c->number);
    const bool marked = isStatement(c) && findBreakpoint(c->owner, c->number) >= 0;
    const char mark = marked ? '!' : ' ';
    const char current = c == dbg.current ? '>' : ' ';
    const int indent = static_cast<int>(c->column < 200 ? c->column : 200);
    if (c->type == CMD_IMPORT)
        dbgPrint("%s%s%s%c%c%*sFile:'%s'\n", where, owner, number, mark, current, indent, "", c->text);
    else
        dbgPrint("%s%s%s%c%c%*s%s\n", where, owner, number, mark, current, indent, "", c->text);
}

// Lists the statements numbered first to last of a list; internal records too with internal.
void listRange(cmdProgram *program, cmdFUNCTION *function, int64_t first, int64_t last, int internal,
               int longFlag) {
    if (first < 1) first = 1;
    bool any = false;
    bool inRange = false;
    for (cmdCommand *c = listHead(program, function); c != nullptr; c = c->next) {
        if (isStatement(c)) inRange = c->number >= first && c->number <= last;
        if (!inRange || (!internal && !isStatement(c))) continue;
        listLine(program, c, longFlag);
        if (isStatement(c)) {
            if (!any) dbg.listFirst = c->number;
            dbg.listLast = c->number;
            any = true;
        }
    }
    dbg.listFunction = function;
    if (!any) dbgPrint("No lines found in range %d-%d\n", static_cast<int>(first), static_cast<int>(last));
}

bool parseNumber(const char *text, size_t length, int64_t *value) {
    if (length == 0 || length > 9) return false;
    int64_t v = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

void listFunctions(cmdProgram *program) {
    bool any = false;
    for (CSTree *node = program->functions != nullptr ? CSTreeFirst(program->functions) : nullptr;
         node != nullptr; node = node->next) {
        auto *function = reinterpret_cast<cmdFUNCTION *>(node);
        if (!any) dbgPrint("Functions\n");
        any = true;
        cmdText text{};
        bool ok = true;
        for (int32_t i = 0; ok && i < function->definition.parameterCount; i++) {
            if (i > 0) ok = cmdTextAppend(&text, ",", 1);
            const char *name = function->definition.parameters[i];
            ok = ok && cmdTextAppend(&text, name, std::strlen(name));
        }
        dbgPrint("  %s(%s)\n", function->name, text.data != nullptr ? text.data : "");
        cmdTextFree(&text);
    }
    if (!any) dbgPrint("No functions are currently defined.\n");
}

void listSource(cmdProgram *program, const char *arguments, int longFlag) {
    const char *p = cmdSkipBlanks(arguments);
    int internal = 0;
    const char *token = nullptr;
    size_t length = 0;
    const char *rest = nullptr;
    if (cmdFirstToken(p, &token, &length, &rest) && cmdTokenIs(token, length, "internal")) {
        internal = 1;
        p = cmdSkipBlanks(rest);
    }
    cmdFUNCTION *function = dbg.current != nullptr ? dbg.current->owner : nullptr;
    const int64_t at = dbg.current != nullptr ? dbg.current->number : 1;
    auto around = [&](int64_t count) {
        int64_t start = at - (count - count / 3) / 2;
        listRange(program, function, start, start + count - 1, internal, longFlag);
    };
    if (*p == '\0') return around(kListDefault);
    if (*p == '*') return listRange(program, function, 1, INT32_MAX, internal, longFlag);
    if (*p == '+' || *p == '-') {
        const char *q = cmdSkipBlanks(p + 1);
        int64_t count = kListDefault;
        if (*q == ',' && !parseNumber(cmdSkipBlanks(q + 1), std::strlen(cmdSkipBlanks(q + 1)), &count))
            return dbgPrint("Please enter a valid line number.\n");
        function = dbg.listFunction;
        if (*p == '+')
            return listRange(program, function, dbg.listLast + 1, dbg.listLast + count, internal, longFlag);
        int64_t end = static_cast<int64_t>(dbg.listFirst) - 1;
        return listRange(program, function, end - count + 1, end, internal, longFlag);
    }
    if (*p == '@') {
        int64_t first = 0, second = kListDefault;
        const char *comma = std::strchr(p, ',');
        size_t firstLength = comma != nullptr ? static_cast<size_t>(comma - p - 1) : std::strlen(p + 1);
        while (firstLength > 0 && cmdIsBlank(p[firstLength])) firstLength--;
        if (!parseNumber(p + 1, firstLength, &first)) return dbgPrint("Please enter a valid line number.\n");
        if (comma == nullptr)
            return listRange(program, function, first, first + second - 1, internal, longFlag);
        const char *q = cmdSkipBlanks(comma + 1);
        bool to = *q == '@';
        if (to) q++;
        if (!parseNumber(q, std::strlen(q), &second)) return dbgPrint("Please enter a valid line number.\n");
        return listRange(program, function, first, to ? second : first + second - 1, internal, longFlag);
    }
    if (cmdFirstToken(p, &token, &length, &rest) && cmdTokenIs(token, length, "func")) {
        const char *name = nullptr;
        size_t nameLength = 0;
        const char *after = nullptr;
        if (!cmdFirstToken(rest, &name, &nameLength, &after)) return listFunctions(program);
        if (nameLength > CMD_NAME_MAX)
            return dbgPrint("Function name '%.*s' is too long.\n", static_cast<int>(nameLength), name);
        cmdFUNCTION *named = cmdFindFunction(program, name, static_cast<int64_t>(nameLength));
        if (named == nullptr)
            return dbgPrint("Function '%.*s' not found.\n", static_cast<int>(nameLength), name);
        const bool all = *cmdSkipBlanks(after) == '*';
        return listRange(program, named, 1, all ? INT32_MAX : kListDefault, internal, longFlag);
    }
    int64_t count = 0;
    if (!parseNumber(p, std::strlen(p), &count) || count < 1)
        return dbgPrint("Please enter a valid line number.\n");
    around(count);
}

// ---------------------------------------------------------------------------------------------
// Breakpoints

struct Location {
    cmdFUNCTION *function;
    uint32_t number;
    bool all;
};

// The location of a bp or bc: 1, or 0 after its message.
int parseLocation(cmdProgram *program, const char *text, bool forSet, Location *out) {
    *out = Location{};
    const char *p = cmdSkipBlanks(text);
    if (*p == '\0') {
        if (dbg.current == nullptr) {
            dbgPrint("Please enter a valid line number.\n");
            return 0;
        }
        out->function = dbg.current->owner;
        out->number = dbg.current->number;
        return 1;
    }
    if (*p == '*') {
        if (forSet) {
            dbgPrint("Asterisk(*) is not supported by 'bp' command.\n");
            return 0;
        }
        out->all = true;
        return 1;
    }
    if (*p == '#') p++;
    const char *token = nullptr;
    size_t length = 0;
    const char *rest = nullptr;
    if (!cmdFirstToken(p, &token, &length, &rest)) {
        dbgPrint("Please enter a valid line number.\n");
        return 0;
    }
    const bool numeric = token[0] == '-' || (token[0] >= '0' && token[0] <= '9');
    const char *numberText = token;
    size_t numberLength = length;
    if (!numeric) {
        if (length > CMD_NAME_MAX) {
            dbgPrint("Function name '%.*s' is too long.\n", static_cast<int>(length), token);
            return 0;
        }
        out->function = cmdFindFunction(program, token, static_cast<int64_t>(length));
        if (out->function == nullptr) {
            dbgPrint("Function name '%.*s' is not defined.\n", static_cast<int>(length), token);
            return 0;
        }
        if (!cmdFirstToken(rest, &numberText, &numberLength, &rest)) {
            const cmdCommand *first = nextStatement(program, out->function, 0);
            out->number = first != nullptr ? first->number : 1;
            return 1;
        }
    }
    int64_t value = 0;
    if (numberText[0] == '-' && parseNumber(numberText + 1, numberLength - 1, &value))
        value = -value;
    else if (!parseNumber(numberText, numberLength, &value)) {
        dbgPrint("Please enter a valid line number.\n");
        return 0;
    }
    if (value < 1) {
        dbgPrint("The line number should be 1 or greater.\n");
        return 0;
    }
    out->number = static_cast<uint32_t>(value);
    return 1;
}

void setBreakpoint(cmdProgram *program, const char *arguments) {
    Location where;
    if (!parseLocation(program, arguments, true, &where)) return;
    if (dbg.count >= kMaxBreakpoints)
        return dbgPrint("Maximum limit of %d breakpoints already set.\n", kMaxBreakpoints);
    const char *warning = nullptr;
    if (findStatement(program, where.function, where.number) == nullptr) {
        if (const cmdCommand *next = nextStatement(program, where.function, where.number)) {
            where.number = next->number;
            warning = "Warning - setting breakpoint on next available line.\n";
        } else {
            warning = "Warning - breakpoint set on non-existent line.\n";
        }
    }
    if (findBreakpoint(where.function, where.number) >= 0)
        return dbgPrint("Breakpoint on line %u already set.\n", where.number);
    if (warning != nullptr) dbgPrint("%s", warning);
    dbg.table[dbg.count++] = Breakpoint{where.number, where.function};
    sortBreakpoints();
}

void clearBreakpoint(cmdProgram *program, const char *arguments) {
    Location where;
    if (!parseLocation(program, arguments, false, &where)) return;
    if (where.all) {
        dbg.count = 0;
        return;
    }
    int index = findBreakpoint(where.function, where.number);
    if (index < 0) return dbgPrint("Breakpoint line %u is not currently set.\n", where.number);
    removeBreakpoint(index);
}

void listBreakpoints(cmdProgram *program) {
    if (dbg.count == 0) return dbgPrint("No breakpoints set\n");
    for (int i = 0; i < dbg.count; i++)
        if (const cmdCommand *c = findStatement(program, dbg.table[i].function, dbg.table[i].number))
            listLine(program, c, 0);
    bool heading = false;
    for (int i = 0; i < dbg.count; i++) {
        const Breakpoint &b = dbg.table[i];
        if (findStatement(program, b.function, b.number) != nullptr) continue;
        if (!heading) dbgPrint("Breakpoints for which there is no current line:\n");
        heading = true;
        if (b.function != nullptr)
            dbgPrint("  Line %5u of function '%s'\n", b.number, b.function->name);
        else
            dbgPrint("  Line %5u of the main program\n", b.number);
    }
}

// ---------------------------------------------------------------------------------------------
// Help

struct HelpRow {
    const char *command;
    const char *example;  // null: the command's summary row
    const char *text;
};
constexpr HelpRow kHelp[] = {
    {"bc", nullptr, "Clears a current breakpoint"},
    {"bc", "bc", "Clears a breakpoint on the current line"},
    {"bc", "bc 25", "Clear breakpoint on line 25"},
    {"bc", "bc test 5", "Clear breakpoint on line 5 of function 'test'"},
    {"bc", "bc *", "Clear all breakpoints"},
    {"bl", nullptr, "List breakpoints"},
    {"bp", nullptr, "Sets a new breakpoint"},
    {"bp", "bp", "Set breakpoint on the current line"},
    {"bp", "bp 25", "Set breakpoint on line 25"},
    {"bp", "bp test", "Set breakpoint at function 'test'"},
    {"bp", "bp test 5", "Set breakpoint on line 5 of function 'test'"},
    {"end", nullptr, "End program"},
    {"eval", nullptr, "Evaluate current command expression"},
    {"help", nullptr, "Display help text"},
    {"help", "help list", "Display help about list command"},
    {"list", nullptr, "List Source lines"},
    {"list", "list", "List a few source lines around current position"},
    {"list", "list 10", "List 10 source lines around current position"},
    {"list", "list @3,10", "List 10 lines starting at line 3"},
    {"list", "list @3,@20", "List from line 3 to line 20"},
    {"list", "list *", "List all lines"},
    {"list", "list +", "List the next few lines"},
    {"list", "list +,10", "List the next 10 lines"},
    {"list", "list -", "List the previous few lines"},
    {"list", "list -,10", "List the previous 10 lines"},
    {"list", "list func", "List defined functions"},
    {"list", "list func test", "List some of function 'test'"},
    {"list", "list func test *", "List all of function 'test'"},
    {"print", nullptr, "Print value of variable or expression"},
    {"print", "print @a,@b", "Print values or @a and @b"},
    {"run", nullptr, "Run to next breakpoint"},
    {"runout", nullptr, "Run until end of the current loop"},
    {"sf", "sf 3", "Set stack frame"},
    {"where", nullptr, "Print out the current command location"},
    {"@", nullptr, "Assign value to variable"},
    {"@", "@a = 4", "Assign 4 to variable @a"},
    {"@", "@a = @b + @c", "Assign result of @b+@c to variable @a"},
    {"<Enter>", nullptr, "Step to next command"},
    {"?", nullptr, "Display help text"},
};

void help(const char *arguments) {
    const char *token = nullptr;
    size_t length = 0;
    const char *rest = nullptr;
    if (!cmdFirstToken(arguments, &token, &length, &rest)) {
        dbgPrint("Debugger commands\n");
        const char *last = "";
        for (const HelpRow &row : kHelp) {
            if (std::strcmp(row.command, last) == 0) continue;
            last = row.command;
            dbgPrint("%-8s - %s\n", row.command, row.text);
        }
        return;
    }
    const char *command = length == 1 && token[0] == 'l' ? "list" : nullptr;
    int width = 0;
    for (const HelpRow &row : kHelp) {
        if (command == nullptr && std::strlen(row.command) == length &&
            std::strncmp(row.command, token, length) == 0)
            command = row.command;
        if (command != nullptr && std::strcmp(row.command, command) == 0) {
            int n = static_cast<int>(std::strlen(row.example != nullptr ? row.example : row.command));
            if (n > width) width = n;
        }
    }
    if (command == nullptr)
        return dbgPrint("Unknown debugger command '%.*s'.\n", static_cast<int>(length), token);
    for (const HelpRow &row : kHelp)
        if (std::strcmp(row.command, command) == 0)
            dbgPrint("  %-*s - %s\n", width, row.example != nullptr ? row.example : row.command, row.text);
}

// ---------------------------------------------------------------------------------------------
// Commands

cmdCommand *innermostLoop(cmdCommand *command) {
    for (cmdCommand *c = command != nullptr ? command->enclosing : nullptr; c != nullptr; c = c->enclosing)
        if (c->type == CMD_WHILE || c->type == CMD_FOREACH || c->type == CMD_FORITEM) return c;
    return nullptr;
}

bool insideLoop(const cmdCommand *command, const cmdCommand *loop) {
    if (command == loop || command == loop->partner) return true;
    for (const cmdCommand *c = command->enclosing; c != nullptr; c = c->enclosing)
        if (c == loop) return true;
    return false;
}

// The top-level '=' outside quotes and brackets that is not part of a comparison, or null.
const char *assignmentEquals(const char *text) {
    int depth = 0;
    char quote = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (quote != 0) {
            if (*p == quote) quote = 0;
            continue;
        }
        if (*p == '"' || *p == '\'')
            quote = *p;
        else if (*p == '(' || *p == '[')
            depth++;
        else if (*p == ')' || *p == ']')
            depth--;
        else if (*p == '=' && depth == 0 && p > text && std::strchr("!<>=", p[-1]) == nullptr && p[1] != '=')
            return p;
    }
    return nullptr;
}

void evalPrint(cmdProgram *program, const char *expression) {
    char *value = nullptr;
    {
        SelectedFrame frame(program);
        value = cslEvaluateExpression(program, expression, -1, 0, 0);
    }
    if (value == nullptr) return dbgPrint("Error evaluating expression\n");
    dbgPrint("Result:'%s'\n", value);
    CSFreeMem(value);
}

void evalCurrent(cmdProgram *program, const char *arguments) {
    if (!isBlankText(arguments)) return evalPrint(program, cmdSkipBlanks(arguments));
    const cmdCommand *c = dbg.current;
    if (c == nullptr || (c->type != CMD_WHILE && c->type != CMD_IF && c->type != CMD_ASSIGN))
        return dbgPrint("Current command is not a suitable type for evaluation\n");
    const char *text = c->text;
    if (c->type == CMD_ASSIGN) {
        const char *equals = std::strchr(text, '=');
        if (equals == nullptr) return dbgPrint("Current command is not a suitable type for evaluation\n");
        return evalPrint(program, equals + 1);
    }
    // Past the keyword: the condition.
    const char *token = nullptr;
    size_t length = 0;
    const char *rest = nullptr;
    if (!cmdFirstToken(text, &token, &length, &rest)) return dbgPrint("Error evaluating expression\n");
    evalPrint(program, rest);
}

// An assignment typed at the prompt, parsed and run at once in the selected frame. It is no record
// of the script: a parse error is refused with its message, as every refusal at the prompt is.
void assign(cmdProgram *program, const char *text, const char *equals) {
    char error[512];
    ExpExpression *target = cmdParseExpText(program, text, equals - text, 0, error, sizeof error);
    ExpExpression *value =
        target != nullptr ? cmdParseExpText(program, equals + 1, -1, 0, error, sizeof error) : nullptr;
    if (value == nullptr) cmdOutput(program, CSL_LINE_ERROR, error);
    if (target != nullptr && value != nullptr) {
        SelectedFrame frame(program);
        cslAssignExpression(program, target, value);
    }
    if (target != nullptr) expFreeExpression(target);
    if (value != nullptr) expFreeExpression(value);
}

// The chain of calls from the outermost frame, each frame with its calling statement, then the
// current statement.
void where(cmdProgram *program) {
    const int32_t deepest = program->run->frame->depth;
    for (int32_t depth = 1; depth <= deepest; depth++) {
        const cmdCallContext *f = frameAt(program, depth);
        if (f != nullptr && f->caller != nullptr) listLine(program, f->caller, 1, depth - 1);
    }
    if (dbg.current != nullptr) listLine(program, dbg.current, 1, deepest);
}

void selectFrame(cmdProgram *program, const char *arguments) {
    const int32_t deepest = program->run->frame->depth;
    int64_t frame = -1;
    const char *p = cmdSkipBlanks(arguments);
    size_t n = std::strlen(p);
    while (n > 0 && cmdIsBlank(p[n - 1])) n--;
    if (!parseNumber(p, n, &frame) || frame > deepest)
        return dbgPrint("Please enter a stack frame between 0 and %d.\n", deepest);
    dbg.selectedFrame = static_cast<int32_t>(frame);
}

}  // namespace

int dbgCommand(cmdProgram *program, const char *text) {
    const char *token = nullptr;
    size_t length = 0;
    const char *rest = nullptr;
    if (!cmdFirstToken(text, &token, &length, &rest)) return 1;
    auto is = [&](const char *word) {
        return std::strlen(word) == length && strncasecmp(token, word, length) == 0;
    };
    auto *session = static_cast<cslSession *>(program->console);
    if (is("l") || is("list")) {
        listSource(program, rest, 0);
    } else if (is("ll") || is("llist")) {
        listSource(program, rest, 1);
    } else if (is("?") || is("help")) {
        help(rest);
    } else if (is("bl")) {
        listBreakpoints(program);
    } else if (is("bc")) {
        clearBreakpoint(program, rest);
    } else if (is("bp")) {
        setBreakpoint(program, rest);
    } else if (is("end")) {
        // "End program", as its help says: inside a hook the stop flag alone ended that hook's run. The
        // hooks that the end runs (disconnected, ending) run on without prompting.
        stopSession(program);
        if (auto *console = static_cast<cslSession *>(program->console)) console->endRequested.store(1);
        leaveDebugMode(program);
    } else if (is("run")) {
        if (dbg.count > 0)
            dbg.runFlag = 1;
        else
            leaveDebugMode(program);
    } else if (is("runout")) {
        cmdCommand *loop = innermostLoop(dbg.current);
        if (loop == nullptr) {
            dbgPrint("Not currently inside loop\n");
        } else {
            dbg.loopMark = loop;
            dbg.runFlag = 1;
        }
    } else if (is("print")) {
        if (session != nullptr && cslScript.print != nullptr) {
            SelectedFrame frame(program);
            cslScript.print(session, rest);
        }
    } else if (is("eval")) {
        evalCurrent(program, rest);
    } else if (is("where")) {
        where(program);
    } else if (is("sf")) {
        selectFrame(program, rest);
    } else if (const char *equals = assignmentEquals(text); equals != nullptr) {
        assign(program, text, equals);
    } else {
        cmdOutput(program, CSL_LINE_ERROR, "Unrecognised Debug Command");
    }
    return 1;
}

void dbgCheckStop(cmdProgram *program, cmdCommand *command) {
    if (command == nullptr || !isStatement(command)) return;
    // The connected hook of a connection that broke runs to its end without stopping: the disconnect
    // and the reconnect wait for that end, and a prompt would hold them until it is answered.
    if (evConnectSequenceBroken()) return;
    if (dbg.loopMark != nullptr && command->owner == dbg.loopMark->owner &&
        !insideLoop(command, dbg.loopMark)) {
        dbg.loopMark = nullptr;
        dbg.loopEnd = 1;
    }
    if (dbg.loopEnd) {
        dbg.loopEnd = 0;
        dbg.runFlag = 0;
    } else if (dbg.runFlag) {
        if (dbg.count == 0 || findBreakpoint(command->owner, command->number) < 0) return;
        if (command->owner != nullptr)
            dbgPrint("Breakpoint at line %u of function '%s'\n", command->number, command->owner->name);
        else
            dbgPrint("Breakpoint at line %u reached\n", command->number);
        dbg.runFlag = 0;
    }
    dbg.current = command;
    dbg.selectedFrame = program->run->frame->depth;
    listLine(program, command, 0);
    auto *session = static_cast<cslSession *>(program->console);
    program->debuggerPrompt = 1;
    while (evRunState.debugMode.load() && !dbg.runFlag) {
        // Unlike the documented bracket around the whole dialogue, the log and console lock is held
        // only while the prompt is written (wiping the status line), not while a line is awaited:
        // every thread that writes a line or the log takes that lock, and the program (its main
        // loop, its command server, the log's clock) stood still with the prompt until an end.
        // Another thread's line may now appear after "DBG>".
        evConsoleDebugMode(1);
        dbgPrint("DBG>");
        evConsoleDebugMode(0);
        char *line = nullptr;
        size_t length = 0;
        int32_t got = evReadInputLine(&line, &length, endAsked, program);
        if (got == EV_INPUT_STOPPED && !cmdEndFinal(program) && evConnectSequenceBroken()) {
            // Unlike the documented prompt too: the connected hook's connection broke, and the
            // disconnect and the reconnect wait for the hook's end. As "run": the hook runs on to its
            // end, the retry's hooks without a prompt that would hold the reconnect again, and a
            // breakpoint stops the connected hook's next run.
            dbgPrint(
                "\nDebugger prompt ended: the connection to the queue manager broke; the program "
                "reconnects, the script runs on %s\n",
                dbg.count > 0 ? "to the next breakpoint" : "out of debug mode");
            if (dbg.count > 0)
                dbg.runFlag = 1;
            else
                leaveDebugMode(program);
            break;
        }
        if (got == EV_INPUT_STOPPED) {
            // Unlike the documented prompt, which reads until a line or the input's end, an end of
            // the program asked for (SIGTERM, Ctrl-C, STOP EV) deliberately ends it, and the run with
            // it: the prompt must not hold the program. The hooks the end runs do not prompt again.
            dbgPrint("\nDebugger prompt ended: the program is ending\n");
            leaveDebugMode(program);
            break;
        }
        if (!got) {
            // In a hook, as "end": the program ends, not only that run of the hook. (At the start-up
            // script's prompt the script stops and the program starts.)
            dbgPrint("End of debug input\n");
            stopSession(program);
            if (session != nullptr && session->runningHook.load() > 0) session->endRequested.store(1);
            // No later stop could read a line either.
            leaveDebugMode(program);
            break;
        }
        if (isBlankText(line)) {
            CSFreeMem(line);
            break;
        }
        // Parts split at ';' outside quotes and brackets, each a command of its own.
        char quote = 0;
        int depth = 0;
        char *part = line;
        for (char *p = line;; ++p) {
            const char c = *p;
            if (quote != 0 && c != '\0') {
                if (c == quote) quote = 0;
                continue;
            }
            if (c == '"' || c == '\'')
                quote = c;
            else if (c == '(' || c == '[')
                depth++;
            else if (c == ')' || c == ']')
                depth--;
            if (c == '\0' || (c == ';' && depth <= 0)) {
                *p = '\0';
                // A command's error was printed and ends there: it must not stop the script later.
                const int32_t errorFlag = program->errorFlag;
                dbgCommand(program, part);
                program->errorFlag = errorFlag;
                part = p + 1;
                if (c == '\0') break;
            }
        }
        CSFreeMem(line);
        if (program->stopFlag || (session != nullptr && session->endRequested.load())) break;
    }
    program->debuggerPrompt = 0;
    dbg.current = nullptr;  // it may be freed once it ran
}

int dbgRunFlag() {
    return dbg.runFlag;
}

void dbgSyncFlags(cmdProgram *program) {
    if (program == nullptr || program->run == nullptr) return;
    program->run->debuggerActive = evRunState.debugMode.load();
    program->run->debuggerStepping = evScriptTrace.load();
}

void dbgResolveBreakpoints(cmdProgram *program, cmdCommand *first, cmdFUNCTION *function) {
    if (first == nullptr) return;
    bool moved[kMaxBreakpoints] = {};
    uint32_t number = 0;
    bool started = false;
    for (cmdCommand *c = first; c != nullptr; c = c->next) {
        if (!isStatement(c)) continue;
        if (!started) {
            number = c->number;
            started = true;
        }
        if (c->number != number) {
            for (int i = 0; i < dbg.count; i++) {
                if (moved[i] || dbg.table[i].function != function || dbg.table[i].number != c->number)
                    continue;
                dbg.table[i].number = number;
                moved[i] = true;
            }
            c->number = number;
        }
        number++;
        if (function != nullptr && c->type == CMD_ENDFUNC) break;
    }
    if (!started) return;
    if (function == nullptr)
        program->statementCounter = number;
    else
        function->statementCounter = number;
    sortBreakpoints();
}

void dbgReset() {
    dbg = Debugger{};
}
