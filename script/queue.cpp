// Text that the program queues for the script to run next (an expression's value run as commands,
// a hook's text), and the substitution of <@...> values into command lines. The substituted text
// grows as needed: values of any length come whole.
#include <cstring>

#include "script/internal.h"

namespace {

// The '>' that closes the '<' at open: the first one outside quotes and brackets, or null.
const char *closingAngle(const char *open) {
    int depth = 0;
    for (const char *p = open + 1; *p != '\0'; ++p) {
        if (*p == '\'' || *p == '"') {
            const char *q = scanSkipQuoted(p + 1, *p, p + std::strlen(p));
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

// The text value of an expression (reals with 2 decimals, an unset value empty) appended to out
// -> 1, or 0 with the error printed.
int appendValue(cmdProgram *program, const char *text, size_t length, cmdText *out) {
    ExpCallerBlock caller{};
    caller.program = program;
    caller.context = program;
    char *error = nullptr;
    ExpExpression *e =
        expParseExpression(text, static_cast<int64_t>(length), 0,
                           EXP_PARSE_AT_NAMES | EXP_PARSE_COPY_STRINGS | EXP_PARSE_NO_TRIAL,
                           expScriptOperatorTable, cmdVariableCallback, cmdFunctionCallback, &caller, &error);
    if (e == nullptr) {
        cmdOutput(program, 128, error != nullptr ? error : "Error parsing expression");
        if (error != nullptr) CSFreeMem(error);
        return 0;
    }
    ExpValue result{};
    ExpValue *cursor = e->postfixNewest;
    int ok = expEvaluate(e, &cursor, &result);
    if (!ok && (e->valueMissing || e->softFailure)) {
        ok = 1;
        expReleaseValue(&result);
    }
    if (!ok) {
        cmdOutput(program, 128, e->errorText != nullptr ? e->errorText : "Error evaluating expression");
    } else if (result.type != 0) {
        char *value = expValueToString(e, &result, 2);
        if (value == nullptr) {
            cmdOutput(program, 128, e->errorText != nullptr ? e->errorText : "Error evaluating expression");
            ok = 0;
        } else {
            if (!cmdTextAppend(out, value, std::strlen(value))) ok = 0;
            CSFreeMem(value);
        }
    }
    expReleaseValue(&result);
    expFreeExpression(e);
    return ok;
}

void queueText(cmdProgram *program, int wrap, int markEmpty, bool substituted, const char *text) {
    cmdReadContext *reader = cmdQueuedReader(program, text);
    if (reader == nullptr) return;
    reader->substituted = substituted ? 1 : 0;
    cmdReadContext *outer = program->reader;
    if (outer != nullptr) {
        reader->lineNumber = outer->lineNumber;
        reader->echo = outer->echo;
        reader->console = outer->console;
    }
    // The new records go after the record being run, so that they run next.
    cmdCommand *at = program->current;
    cmdList list{&program->head, &program->tail};  // without a record being run: the main program's
    cmdFUNCTION *owner = nullptr;
    if (at != nullptr) {
        list = cmdListOf(program, at);
        owner = at->owner;
        reader->list = list;
        reader->listOwner = owner;
        reader->insertAfter = at;
        // In a function's body the text is always a block: left bare, its records would become part
        // of the body and run again in every later call.
        if (owner != nullptr) wrap = 1;
    }
    cmdPushReader(program, reader);
    // A parse error refuses this text alone: what runs around it goes on.
    cmdRunningParse parse(program);
    cmdCommand *block = wrap ? cmdNewBlock(program, CMD_QUEUED, "") : nullptr;
    if (wrap && block == nullptr) {
        cmdPopReader(program);
        parse.end();
        return;
    }
    // The block is the queueing call's own: another call of the same function that runs the body
    // meanwhile (one it makes, or a later one) passes over it.
    if (block != nullptr && program->run != nullptr) block->call = program->run->frame->call;
    if (*cmdSkipBlanks(text) == '\0') {
        if (markEmpty) cmdNewCommand(program, CMD_EMPTY, "", 0);
    } else {
        cmdCommand *end = nullptr;
        cmdReadCommands(program, 0, &end);
    }
    cmdPopReader(program);
    parse.end();
    // The list's statements numbered again in their order, the breakpoints moved with them.
    if (wrap) dbgResolveBreakpoints(program, *list.head, owner);
}

}  // namespace

void cmdQueueText(cmdProgram *program, int wrap, int markEmpty, const char *text) {
    queueText(program, wrap, markEmpty, false, text);
}

void cmdQueueSubstituted(cmdProgram *program, int wrap, int markEmpty, const char *text) {
    queueText(program, wrap, markEmpty, true, text);
}

void cmdQueueString(cmdProgram *program, const char *text) {
    cmdQueueText(program, 1, 1, text);
}

char *cmdSubstituteInline(cmdProgram *program, const char *text, int *ok) {
    *ok = 1;
    cmdText out{};
    bool replaced = false;
    const char *copied = text;  // start of the text not yet copied
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p != '<' || (p[1] != '@' && p[1] != '_')) continue;
        const char *close = closingAngle(p);
        if (close == nullptr) continue;
        if (!cmdTextAppend(&out, copied, static_cast<size_t>(p - copied)) ||
            !appendValue(program, p + 1, static_cast<size_t>(close - p - 1), &out)) {
            *ok = 0;
            cmdTextFree(&out);
            return nullptr;
        }
        replaced = true;
        copied = close + 1;
        p = close;
    }
    if (!replaced) return nullptr;
    if (!cmdTextAppend(&out, copied, std::strlen(copied))) {
        *ok = 0;
        cmdTextFree(&out);
        return nullptr;
    }
    return out.data;
}
