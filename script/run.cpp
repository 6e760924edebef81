// The run loop: executes the program's records one after another, reading more when the list runs
// out, and runs itself again for loop bodies, calls and =import blocks. A record being run is
// marked active for that time, so nothing that tidies lists (freeing what the main program has run,
// removing text queued in an earlier pass of a body) can take it away from under a run.
#include <cstring>

#include "console/console.h"
#include "engine/engine.h"
#include "script/internal.h"

namespace {

bool stopRequested(cmdProgram *program) {
    cslSession *session = cmdSession(program);
    return program->stopFlag || (session != nullptr && session->stopFlag.load() != 0);
}

bool isLoop(const cmdCommand *c) {
    return c->type == CMD_WHILE || c->type == CMD_FOREACH || c->type == CMD_FORITEM;
}

// A running block of the current frame, pushed and popped with the run of its body.
struct BlockScope {
    cmdProgram *program;
    cmdRunningBlock entry;
    cmdCallContext *frame;
    uint32_t wasActive;
    BlockScope(cmdProgram *p, cmdCommand *record) : program(p), entry{nullptr, record}, frame(p->run->frame) {
        entry.next = frame->blocks;
        frame->blocks = &entry;
        wasActive = record->flags & CMD_F_ACTIVE;
        record->flags |= CMD_F_ACTIVE;
    }
    ~BlockScope() {
        frame->blocks = entry.next;
        entry.record->flags = (entry.record->flags & ~CMD_F_ACTIVE) | wasActive;
    }
    BlockScope(const BlockScope &) = delete;
    BlockScope &operator=(const BlockScope &) = delete;
};

// Something above the loop asked the runs to unwind: leave, return, a goto's resume, a stop.
bool unwinding(cmdProgram *program) {
    cmdRunState *run = program->run;
    return run->leave || run->frame->returning || run->resume != nullptr ||
           (stopRequested(program) && !run->keepRunning) || cmdEndAsked(program);
}

void echoRecord(cmdProgram *program, cmdCommand *c) {
    if (c->flags & CMD_F_ECHOED) return;
    cmdEchoCommand(program, 0, 0, c->text);
    c->flags |= CMD_F_ECHOED;
}

void advanceCommandNumber(cmdProgram *program) {
    ++*program->commandNumber;
}

// Records of the main program that have run are freed up to next, stopping at a held one.
void freeExecuted(cmdProgram *program, cmdCommand *next) {
    if (program->run->debuggerActive) return;
    if (next != nullptr && next->owner != nullptr) return;
    while (program->head != nullptr && program->head != next && !(program->head->flags & CMD_F_ACTIVE)) {
        cmdFreeCommand(program, program->head);
    }
}

// The text between the statement's first '(' and its matching ')', or false.
bool bracketText(const char *text, const char **start, const char **end) {
    const char *open = std::strchr(text, '(');
    if (open == nullptr) return false;
    const char *close = scanFindCloseBracket(open + 1, open + std::strlen(open));
    if (close == nullptr) return false;
    *start = open + 1;
    *end = close;
    return true;
}

char *copyText(const char *text, size_t length) {
    auto *copy = static_cast<char *>(CSGetMem(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// The saved echo switches of the outermost call.
cmdEchoOptions &echoOf(cmdProgram *program) {
    return program->reader != nullptr ? program->reader->echo : program->echo;
}

int callCore(cmdProgram *program, cmdFUNCTION *f, int count, const ExpValue *args, ExpValue *result,
             const cmdCommand *record);

// ---------------------------------------------------------------------------------------------
// Loops

int runWhile(cmdProgram *program, cmdCommand *w) {
    cmdRunState *run = program->run;
    cmdCommand *end = w->partner;
    if (end == nullptr || !cmdEnterNesting(program, w)) return 0;
    int result = 1;
    const int64_t outerIndex = run->idxWhile;
    int64_t index = 0;
    {
        BlockScope scope(program, w);
        cmdResetLoopMarks(program, w->next, end);
        w->flags &= ~CMD_F_ECHOED;
        for (;;) {
            if (w->flags & CMD_F_BREAK) {
                w->flags &= ~CMD_F_BREAK;
                break;
            }
            if (unwinding(program)) break;
            echoRecord(program, w);
            int truth = w->expression != nullptr ? cslEvaluateCondition(program, w->expression) : 0;
            if (truth < 0) {
                result = 0;
                break;
            }
            if (truth == 0) break;
            run->idxWhile = ++index;
            program->current = w->next;
            if (!cmdRunCommands(program)) {
                result = 0;
                break;
            }
            w->flags &= ~CMD_F_ECHOED;
            cmdResetLoopMarks(program, w->next, end);
        }
        w->flags &= ~CMD_F_BREAK;
    }
    program->current = end->next;
    run->numWhile = index;
    run->idxWhile = outerIndex;
    freeExecuted(program, program->current);
    cmdLeaveNesting(program);
    return result;
}

// Runs the body once per item of the text; the text split at top-level commas.
int runItems(cmdProgram *program, cmdCommand *f, const char *text) {
    cmdRunState *run = program->run;
    cmdCommand *end = f->partner;
    int result = 1;
    int64_t index = 0;
    const char *p = text;
    const char *textEnd = text + std::strlen(text);
    const char *a = nullptr;
    size_t n = 0;
    while (cmdNextItem(&p, textEnd, &a, &n)) {
        if (f->flags & CMD_F_BREAK) break;
        if (unwinding(program)) break;
        char *item = copyText(a, n);
        if (item == nullptr) {
            program->failed = 1;
            result = 0;
            break;
        }
        if (run->item != nullptr) CSFreeMem(run->item);
        run->item = item;
        run->itemLength = n;
        run->idxItem = ++index;
        program->current = f->next;
        if (!cmdRunCommands(program)) {
            result = 0;
            break;
        }
        cmdResetLoopMarks(program, f->next, end);
    }
    run->numItem = index;
    return result;
}

int runForitem(cmdProgram *program, cmdCommand *f) {
    cmdRunState *run = program->run;
    cmdCommand *end = f->partner;
    if (end == nullptr || !cmdEnterNesting(program, f)) return 0;
    echoRecord(program, f);
    int result = 1;
    const int64_t outerIndex = run->idxItem;
    char *outerItem = run->item;
    size_t outerLength = run->itemLength;
    run->item = nullptr;
    const char *start = nullptr;
    const char *close = nullptr;
    if (bracketText(f->text, &start, &close)) {
        char *inner = copyText(start, static_cast<size_t>(close - start));
        int ok = 1;
        char *substituted = inner != nullptr && !(f->flags & CMD_F_SUBSTITUTED)
                                ? cmdSubstituteInline(program, inner, CMD_INLINE_EXPRESSION, &ok)
                                : nullptr;
        const char *expression = substituted != nullptr ? substituted : inner;
        char *text =
            ok && expression != nullptr ? cslEvaluateExpression(program, expression, -1, 0, 0) : nullptr;
        if (text == nullptr) {
            result = 0;
        } else {
            BlockScope scope(program, f);
            cmdResetLoopMarks(program, f->next, end);
            result = runItems(program, f, text);
            f->flags &= ~CMD_F_BREAK;
            CSFreeMem(text);
        }
        if (substituted != nullptr) CSFreeMem(substituted);
        if (inner != nullptr) CSFreeMem(inner);
    }
    if (run->item != nullptr) CSFreeMem(run->item);
    run->item = outerItem;
    run->itemLength = outerLength;
    run->idxItem = outerIndex;
    program->current = end->next;
    freeExecuted(program, program->current);
    cmdLeaveNesting(program);
    return result;
}

// foreach's command: DISPLAY, DIS, or RESET QSTATS.
bool foreachCommandAllowed(cmdProgram *program, const char *command) {
    const char *p = cmdSkipBlanks(command);
    const char *word = p;
    while (*p != '\0' && !cmdIsBlank(*p) && *p != '(') ++p;
    size_t length = static_cast<size_t>(p - word);
    if (cmdTokenIs(word, length, "dis") || cmdTokenIs(word, length, "display")) return true;
    if (cmdTokenIs(word, length, "reset")) {
        const char *next = cmdSkipBlanks(p);
        const char *q = next;
        while (*q != '\0' && !cmdIsBlank(*q) && *q != '(') ++q;
        if (cmdTokenIs(next, static_cast<size_t>(q - next), "QSTATS")) return true;
    }
    char message[200];
    if (length == 0) {
        std::snprintf(message, sizeof message,
                      "foreach() statement expects DISPLAY or RESET QSTATS command.");
    } else {
        std::snprintf(message, sizeof message,
                      "foreach() statement expects DISPLAY or RESET QSTATS command. Command '%.*s' received",
                      static_cast<int>(length > 100 ? 100 : length), word);
    }
    cmdOutput(program, 128, message);
    return false;
}

// A response is finished once its echo line is marked ended and its request has completed.
bool responseFinished(cmdProgram *program, const cslOutputLine *echo) {
    if ((echo->flags & CSL_CMD_ENDED) == 0) return false;
    cslSession *session = cmdSession(program);
    return session == nullptr || session->requestCompleted.load() >= session->requestPosted.load();
}

int runObjects(cmdProgram *program, cmdCommand *f, cslOutputLine *echo, int64_t *index) {
    cmdRunState *run = program->run;
    cmdCommand *end = f->partner;
    for (cslOutputLine *line = echo->next; line != nullptr; line = line->next) {
        if (line->command != echo->command) break;
        if ((line->flags & CSL_LINE_FIRST_OF_OBJECT) == 0) continue;  // continues an object
        if (f->flags & CMD_F_BREAK) break;
        if (unwinding(program)) break;
        run->eachObject = line;
        run->idxEach = ++*index;
        program->current = f->next;
        int rc = cmdRunCommands(program);
        run->eachObject = nullptr;
        if (!rc) return 0;
        cmdResetLoopMarks(program, f->next, end);
    }
    return 1;
}

cslOutputLine *issueLoopCommand(cmdProgram *program, const char *text) {
    cmdRunState *run = program->run;
    if (run->issueLoopCommand != nullptr) return run->issueLoopCommand(program, text);
    cslSession *session = cmdSession(program);
    if (session == nullptr) return nullptr;
    if (session->ccdtMode) {
        if (cslCcdt.loopCommand == nullptr) return nullptr;
        cslCcdt.loopCommand(session, text, static_cast<int32_t>(std::strlen(text)));
        return session->echoLine;
    }
    cslOutputLine *echo = nullptr;
    if (!cslIssueMQCommand(session, text, CSL_REQUEST_LOOP, 0, 0, 0, &echo)) return nullptr;
    return echo;
}

int runForeach(cmdProgram *program, cmdCommand *f) {
    cmdRunState *run = program->run;
    cmdCommand *end = f->partner;
    if (end == nullptr || !cmdEnterNesting(program, f)) return 0;
    echoRecord(program, f);
    int result = 1;
    const int64_t outerIndex = run->idxEach;
    cslOutputLine *outerObject = run->eachObject;
    cslOutputLine *outerEcho = run->eachEcho;
    int64_t index = 0;
    const char *start = nullptr;
    const char *close = nullptr;
    char *command = nullptr;
    int built = 0;  // the values of an expression's command are in: nothing more to substitute
    if (bracketText(f->text, &start, &close)) {
        const char *first = start;
        while (first < close && cmdIsBlank(*first)) ++first;
        if (first < close && (*first == '"' || *first == '@' || *first == '_'))
            command = cmdExpressionTextLine(program, first, static_cast<size_t>(close - first),
                                            CMD_INLINE_COMMAND, &built);
        else
            command = copyText(start, static_cast<size_t>(close - start));
        if (command == nullptr) result = 0;
    }
    if (command != nullptr && foreachCommandAllowed(program, command)) {
        int ok = 1;
        char *substituted = (f->flags & CMD_F_SUBSTITUTED) == 0 && !built
                                ? cmdSubstituteInline(program, command, CMD_INLINE_COMMAND, &ok)
                                : nullptr;
        if (!ok) {
            result = 0;
        } else {
            cslOutputLine *echo = issueLoopCommand(program, substituted != nullptr ? substituted : command);
            if (echo != nullptr) {
                const uint32_t wasHeld = echo->flags & CSL_SHOW_SCRIPT_HELD;
                echo->flags |= CSL_SHOW_SCRIPT_HELD;
                run->eachEcho = echo;
                if (responseFinished(program, echo)) {
                    BlockScope scope(program, f);
                    cmdResetLoopMarks(program, f->next, end);
                    result = runObjects(program, f, echo, &index);
                    f->flags &= ~CMD_F_BREAK;
                }
                echo->flags = (echo->flags & ~CSL_SHOW_SCRIPT_HELD) | wasHeld;
            }
        }
        if (substituted != nullptr) CSFreeMem(substituted);
    }
    if (command != nullptr) CSFreeMem(command);
    run->numEach = index;
    run->idxEach = outerIndex;
    run->eachObject = outerObject;
    run->eachEcho = outerEcho;
    program->current = end->next;
    freeExecuted(program, program->current);
    cmdLeaveNesting(program);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Calls

// A call record's arguments evaluated one by one -> their count, or -1 when one failed.
int evaluateArguments(cmdProgram *program, cmdCommand *call, ExpValue *values) {
    int count = 0;
    for (cmdArgument *a = call->arguments; a != nullptr; a = a->next) {
        if (count == EXP_MAX_PARAMETERS || a->expression == nullptr ||
            !cslEvaluateParsed(program, a->expression, &values[count])) {
            for (int i = 0; i < count; ++i) expReleaseValue(&values[i]);
            return -1;
        }
        ++count;
    }
    return count;
}

void releaseValue(ExpValue *v) {
    if (v->type == EXP_STR) {
        *v = ExpValue{};
        return;
    }
    expReleaseValue(v);
}

int callFunction(cmdProgram *program, cmdCommand *call) {
    cmdFUNCTION *f = call->function;
    if (f == nullptr) return 1;
    if (call->type == CMD_CALL) echoRecord(program, call);
    ExpValue values[EXP_MAX_PARAMETERS] = {};
    int count = evaluateArguments(program, call, values);
    if (count < 0) return 1;  // the call is abandoned; the error text has been printed
    ExpValue result{};
    int rc = callCore(program, f, count, values, &result, call);
    releaseValue(&result);
    for (int i = 0; i < count; ++i) releaseValue(&values[i]);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// One record

enum Step { STEP_NEXT, STEP_JUMPED, STEP_RETURN, STEP_STOP };

// The innermost running loop of the current frame, or null.
cmdCommand *innermostLoop(cmdProgram *program) {
    for (cmdRunningBlock *b = program->run->frame->blocks; b != nullptr; b = b->next) {
        if (isLoop(b->record)) return b->record;
    }
    return nullptr;
}

void declareVariables(cmdProgram *program, cmdCommand *c) {
    const char *token;
    size_t length;
    const char *rest;
    if (!cmdFirstToken(c->text, &token, &length, &rest)) return;
    const char *p = rest;
    while (*p != '\0') {
        while (*p == ',' || cmdIsBlank(*p)) ++p;
        const char *name = p;
        while (*p != '\0' && *p != ',' && !cmdIsBlank(*p)) ++p;
        size_t n = static_cast<size_t>(p - name);
        if (n == 0 || n > CMD_NAME_MAX) continue;
        char key[CMD_NAME_MAX + 2];
        key[0] = '@';
        std::memcpy(key + 1, name, n);
        cslSetVariable(program, 1, 0, key, n + 1, nullptr);
    }
}

Step execute(cmdProgram *program, cmdCommand *c) {
    cmdRunState *run = program->run;
    cmdCallContext *frame = run->frame;
    switch (c->type) {
        case CMD_INPUT:
            c->flags |= CMD_F_SHOWN;
            return STEP_NEXT;
        case CMD_MULTI:
        case CMD_EMPTY: {
            const cmdEchoOptions &echo = echoOf(program);
            bool wanted = echo.input && (c->type == CMD_MULTI || echo.blank);
            if (wanted && !(c->flags & CMD_F_SHOWN)) cmdEchoCommand(program, 1, 0, c->text);
            c->flags |= CMD_F_SHOWN;
            return STEP_NEXT;
        }
        case CMD_COMMAND: {
            if (program->issueCommand != nullptr)
                program->issueCommand(program, c->text);
            else
                cmdEchoCommand(program, 1, 0, c->text);
            return STEP_NEXT;
        }
        case CMD_WHILE:
            return runWhile(program, c) ? STEP_JUMPED : STEP_STOP;
        case CMD_FOREACH:
            return runForeach(program, c) ? STEP_JUMPED : STEP_STOP;
        case CMD_FORITEM:
            return runForitem(program, c) ? STEP_JUMPED : STEP_STOP;
        case CMD_IMPORT:
            return cmdEnterImport(program, c) ? STEP_JUMPED : STEP_STOP;
        case CMD_ENDWHILE:
        case CMD_ENDFOR:
        case CMD_IMPORT_END:
        case CMD_ENDFUNC:
            return STEP_RETURN;
        case CMD_IF: {
            echoRecord(program, c);
            int truth = c->expression != nullptr ? cslEvaluateCondition(program, c->expression) : 0;
            if (truth < 0) return STEP_STOP;
            if (truth > 0 || c->partner == nullptr) return STEP_NEXT;
            program->current = c->partner->type == CMD_ELSE ? c->partner->next : c->partner;
            return STEP_JUMPED;
        }
        case CMD_QUEUED:
            // Text another call of the function queued into the body runs in that call alone.
            if (c->call == frame->call || c->partner == nullptr) return STEP_NEXT;
            program->current = c->partner->next;
            return STEP_JUMPED;
        case CMD_ENDIF:
        case CMD_LABEL:
            echoRecord(program, c);
            return STEP_NEXT;
        case CMD_ELSE:
            if (c->partner == nullptr) return STEP_NEXT;
            program->current = c->partner;
            return STEP_JUMPED;
        case CMD_MESSAGE:
            if (!(c->flags & CMD_F_SHOWN)) cmdOutput(program, 128, c->text);
            c->flags |= CMD_F_SHOWN;
            return STEP_NEXT;
        case CMD_CONTINUE:
            if (innermostLoop(program) != nullptr) return STEP_RETURN;
            cmdOutput(program, 128, "'continue' issued while not in loop");
            return STEP_NEXT;
        case CMD_BREAK: {
            cmdCommand *loop = innermostLoop(program);
            if (loop == nullptr) {
                cmdOutput(program, 128, "'break' issued while not in loop");
                return STEP_NEXT;
            }
            loop->flags |= CMD_F_BREAK;
            return STEP_RETURN;
        }
        case CMD_EXPRESSION: {
            advanceCommandNumber(program);
            echoRecord(program, c);
            ExpValue value{};
            if (c->expression != nullptr && cslEvaluateParsed(program, c->expression, &value))
                releaseValue(&value);
            return STEP_NEXT;
        }
        case CMD_EXPRESSION_RUN: {
            advanceCommandNumber(program);
            echoRecord(program, c);
            // Unlike the documented step, the text is not queued as the value stands: the values
            // that the expression adds to the script's own text are data of the lines it makes
            // (they ended its strings and statements), and those lines are not substituted again;
            // their own inline values are put in now, not as each of them runs.
            int built = 0;
            char *text = c->expression != nullptr
                             ? cmdExpressionLine(program, c->expression, CMD_INLINE_LINE, &built)
                             : nullptr;
            if (text != nullptr) {
                // A value built from a substitution's result is that result: it is not substituted.
                if (text[0] != '\0' && (built || (c->flags & CMD_F_SUBSTITUTED) != 0))
                    cmdQueueSubstituted(program, 1, 1, text);
                else if (text[0] != '\0')
                    cmdQueueText(program, 1, 1, text);
                CSFreeMem(text);
            }
            return STEP_NEXT;
        }
        case CMD_ASSIGN:
            advanceCommandNumber(program);
            echoRecord(program, c);
            if (c->target != nullptr && c->expression != nullptr)
                cslAssignExpression(program, c->target, c->expression);
            return STEP_NEXT;
        case CMD_LEAVE:
            echoRecord(program, c);
            run->leave = 1;
            return STEP_RETURN;
        case CMD_CALL:
            return callFunction(program, c) ? STEP_NEXT : STEP_STOP;
        case CMD_CALL_OUTSIDE:
            return callFunction(program, c) ? STEP_RETURN : STEP_STOP;
        case CMD_GOTO: {
            echoRecord(program, c);
            cmdCommand *label = c->partner;
            if (label == nullptr) return STEP_NEXT;
            bool marked = false;
            for (cmdRunningBlock *b = frame->blocks; b != nullptr && b->record != label->enclosing;
                 b = b->next) {
                b->record->flags |= CMD_F_BREAK;
                marked = true;
            }
            if (!marked) {
                program->current = label;
                return STEP_JUMPED;
            }
            run->resume = label;
            return STEP_RETURN;
        }
        case CMD_VAR:
            declareVariables(program, c);
            return STEP_NEXT;
        case CMD_RETURN:
            echoRecord(program, c);
            if (c->expression != nullptr) {
                ExpValue value{};
                if (cslEvaluateParsed(program, c->expression, &value)) {
                    releaseValue(&frame->result);
                    frame->result = value;
                }
            }
            // The function's end: every loop of the frame unwinds on the way.
            frame->returning = 1;
            return STEP_RETURN;
        default:
            return STEP_NEXT;
    }
}

// ---------------------------------------------------------------------------------------------

void removeQueuedBlock(cmdProgram *program, cmdCommand *start) {
    cmdCommand *end = start->partner;
    for (cmdCommand *c = start; c != nullptr;) {
        cmdCommand *next = c->next;
        const bool last = c == end;
        cmdFreeCommand(program, c);
        if (last) break;
        c = next;
    }
}

// Whether a queued block holds a record a run is on: it must stay.
bool blockHeld(cmdProgram *program, cmdCommand *start) {
    for (cmdCommand *c = start; c != nullptr; c = c->next) {
        if ((c->flags & CMD_F_ACTIVE) || c == program->current) return true;
        if (c == start->partner) break;
    }
    return false;
}

int callCore(cmdProgram *program, cmdFUNCTION *f, int count, const ExpValue *args, ExpValue *result,
             const cmdCommand *record) {
    cmdRunState *run = program->run;
    *result = ExpValue{};
    if (!f->committed || f->definition.head == nullptr) {
        expSetInt(result, 0);
        return 1;
    }
    if (!cmdEnterNesting(program, record)) {
        // Abandoned as after a failed argument: the error flag stops the run at its next step.
        expSetInt(result, 0);
        return 1;
    }
    // The body being run stays this call's even when the function is defined again meanwhile.
    const cmdDefinition body = f->definition;
    if (f->running == 0) cmdResetLoopMarks(program, body.head, body.tail);
    ++f->running;
    const bool outermostCall = run->callDepth == 0;
    cmdEchoOptions savedEcho = echoOf(program);
    cmdReadContext *savedReader = program->reader;
    if (outermostCall) echoOf(program).cmds = echoOf(program).func;
    ++run->callDepth;

    cmdCallContext frame{};
    frame.previous = run->frame;
    frame.depth = run->frame->depth + 1;
    frame.call = ++run->calls;
    frame.function = f;
    frame.caller = record;
    run->frame = &frame;
    for (int32_t i = 0; i < body.parameterCount; ++i) {
        const char *name = body.parameters[i];
        const ExpValue *value = i < count && args[i].type != 0 ? &args[i] : nullptr;
        cslSetVariable(program, 1, 0, name, std::strlen(name), value);
    }
    cmdCommand *savedCurrent = program->current;
    cmdFUNCTION *savedErrorFunction = run->errorFunction;
    program->current = body.head;
    int rc = cmdRunCommands(program);
    program->current = savedCurrent;
    run->errorFunction = savedErrorFunction;
    run->frame = frame.previous;

    if (frame.result.type != 0) {
        *result = frame.result;
        frame.result = ExpValue{};
    } else {
        expSetInt(result, 0);
    }
    cslFreeFrameVariables(&frame);
    --run->callDepth;
    if (outermostCall && program->reader == savedReader) echoOf(program) = savedEcho;
    if (--f->running == 0) {
        cmdFreeRetired(program, f);
        cmdResetLoopMarks(program, f->definition.head, f->definition.tail);
    }
    cmdLeaveNesting(program);
    return rc;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

cmdRunState *cmdCreateRunState(cmdProgram *program) {
    auto *run = static_cast<cmdRunState *>(CSGetMem(sizeof(cmdRunState)));
    if (run == nullptr) return nullptr;
    std::memset(static_cast<void *>(run), 0, sizeof *run);
    run->frame = &run->outermost;
    run->endBaseline = evEndRequestCount();
    run->endFinalBaseline = evEndFinalCount();
    program->variables = [](cmdProgram *, ExpExpression *e, ExpValue *partner, ExpValue *var,
                            ExpValue *result) { return cslVariableCallback(e, partner, var, result); };
    program->callFunction = [](cmdProgram *, ExpExpression *e, ExpValue *function, ExpValue *args,
                               ExpValue *result) {
        return cslCallFunctionCallback(e, function, args, result);
    };
    return run;
}

void cmdFreeRunState(cmdProgram *program) {
    cmdRunState *run = program->run;
    if (run == nullptr) return;
    for (cmdCallContext *f = run->frame; f != nullptr; f = f->previous) {
        cslFreeFrameVariables(f);
        releaseValue(&f->result);
    }
    if (run->item != nullptr) CSFreeMem(run->item);
    CSFreeMem(run);
    program->run = nullptr;
}

int cmdNextItem(const char **cursor, const char *end, const char **item, size_t *length) {
    const char *p = *cursor;
    while (p != nullptr && p <= end) {
        const char *comma = scanFindComma(p, end);
        const char *stop = comma != nullptr ? comma : end;
        const char *a = p;
        while (a < stop && cmdIsBlank(*a)) ++a;
        const char *b = stop;
        while (b > a && cmdIsBlank(b[-1])) --b;
        p = comma != nullptr ? comma + 1 : nullptr;
        if (b > a) {
            *cursor = p;
            *item = a;
            *length = static_cast<size_t>(b - a);
            return 1;
        }
    }
    *cursor = nullptr;
    return 0;
}

bool cmdEndFinal(const cmdProgram *program) {
    const cmdRunState *run = program->run;
    return run != nullptr && (evEndFinalCount() != run->endFinalBaseline ||
                              (run->endDeadline != 0 && evTimeNow() >= run->endDeadline));
}

bool cmdEndAsked(const cmdProgram *program) {
    const cmdRunState *run = program->run;
    return run != nullptr && (evEndRequestCount() != run->endBaseline ||
                              (run->endDeadline != 0 && evTimeNow() >= run->endDeadline));
}

int cmdEnterNesting(cmdProgram *program, const cmdCommand *record) {
    cmdRunState *run = program->run;
    if (run->nesting < CSL_RUN_NEST_MAX && CSStackLeft() >= CMD_STACK_RESERVE) {
        ++run->nesting;
        return 1;
    }
    char message[80];
    std::snprintf(message, sizeof message, "Maximum script nesting depth of %d reached", CSL_RUN_NEST_MAX);
    cmdRuntimeError(program, record, message);
    return 0;
}

void cmdLeaveNesting(cmdProgram *program) {
    if (program->run->nesting > 0) --program->run->nesting;
}

void cmdResetLoopMarks(cmdProgram *program, cmdCommand *first, cmdCommand *last) {
    bool removed = false;
    for (cmdCommand *c = first; c != nullptr;) {
        if (c->type == CMD_QUEUED && c != last && c->partner != nullptr && !blockHeld(program, c)) {
            cmdCommand *after = c->partner->next;
            const bool reachesLast = c->partner == last;
            removeQueuedBlock(program, c);
            removed = true;
            if (reachesLast) break;
            c = after;
            continue;
        }
        c->flags &= ~CMD_F_ECHOED;
        if (c == last) break;
        c = c->next;
    }
    cslSession *session = cmdSession(program);
    if (removed && session != nullptr && cslScript.resolveBreakpoints != nullptr)
        cslScript.resolveBreakpoints(session, first, first != nullptr ? first->owner : nullptr);
}

int cmdRunCommands(cmdProgram *program) {
    cmdRunState *run = program->run;
    for (;;) {
        if (cmdEndAsked(program) || (stopRequested(program) && !run->keepRunning)) return 0;
        if (program->reader != nullptr && program->reader->stopOnError && program->parseError) {
            program->stopFlag = 1;
            return 0;
        }
        if (program->errorFlag) {
            program->errorFlag = 0;
            if (run->errorFunction != nullptr && run->inErrorFunction == 0) {
                ++run->inErrorFunction;
                cmdRunBlock(program, run->errorFunction);
                --run->inErrorFunction;
                if (run->leave) return 1;
            } else if (!run->continueAfterError) {
                run->stoppedOnError = 1;
                return 0;
            }
        }
        if (run->leave || run->frame->returning) return 1;
        cmdRunningBlock *innermost = run->frame->blocks;
        if (innermost != nullptr && (innermost->record->flags & CMD_F_BREAK)) return 1;
        if (run->resume != nullptr) {
            program->current = run->resume;
            run->resume = nullptr;
        }
        if (program->current == nullptr) {
            if (program->reader == nullptr || run->frame != &run->outermost) return 1;
            program->parseError = 0;
            cmdCommand *before = program->tail;
            cmdCommand *end = nullptr;
            if (!cmdParseCommand(program, 0, &end)) {
                cmdShowLine(program);
                return 1;
            }
            program->current = before != nullptr ? before->next : program->head;
            continue;
        }
        cmdCommand *c = program->current;
        if (program->reader != nullptr) program->reader->lineNumber = c->line;
        Step step = STEP_NEXT;
        if (!(c->flags & CMD_F_SKIP)) {
            if ((run->debuggerActive || run->debuggerStepping) && cmdDebuggerStop != nullptr) {
                cmdDebuggerStop(program, c);
                if (cmdEndAsked(program) || (stopRequested(program) && !run->keepRunning))
                    return 0;  // "end" at the prompt
            }
            const uint32_t wasActive = c->flags & CMD_F_ACTIVE;
            c->flags |= CMD_F_ACTIVE;
            step = execute(program, c);
            c->flags = (c->flags & ~CMD_F_ACTIVE) | wasActive;
            // The reader's input echo follows the main program only.
            if (c->owner == nullptr && c->type != CMD_CALL_OUTSIDE) program->lastExecuted = c;
        }
        switch (step) {
            case STEP_RETURN:
                return 1;
            case STEP_STOP:
                if (program->errorFlag && run->continueAfterError) {
                    // The error is reported; the run goes on with the next record.
                    program->errorFlag = 0;
                    if (program->current == c) program->current = c->next;
                    continue;
                }
                run->stoppedOnError = run->stoppedOnError || program->errorFlag;
                program->errorFlag = 0;
                return 0;
            case STEP_NEXT:
                if (program->current == c) program->current = c->next;
                break;
            case STEP_JUMPED:
                break;
        }
        freeExecuted(program, program->current);
    }
}

int cmdCallFunctionArgs(cmdProgram *program, cmdFUNCTION *function, int count, const ExpValue *args,
                        ExpValue *result) {
    ExpValue discard{};
    ExpValue *out = result != nullptr ? result : &discard;
    program->run->stoppedOnError = 0;
    int rc = callCore(program, function, count, args, out, program->current);
    if (result == nullptr) releaseValue(&discard);
    if (!rc && program->run->stoppedOnError) program->errorFlag = 1;
    program->run->stoppedOnError = 0;
    return rc;
}

int cmdRunBlock(cmdProgram *program, cmdFUNCTION *function) {
    size_t n = std::strlen(function->name);
    auto *call = static_cast<cmdCommand *>(CSGetMem(offsetof(cmdCommand, text) + n + 1));
    if (call == nullptr) {
        program->failed = 1;
        return 0;
    }
    std::memset(call, 0, offsetof(cmdCommand, text) + n + 1);
    call->type = CMD_CALL_OUTSIDE;
    call->function = function;
    std::memcpy(call->text, function->name, n + 1);
    cmdCommand *savedCurrent = program->current;
    cmdCommand *savedLast = program->lastExecuted;
    cmdReadContext *savedReader = program->reader;
    cmdCommand *savedInsert = savedReader != nullptr ? savedReader->insertAfter : nullptr;
    program->current = call;
    int rc = cmdRunCommands(program);
    program->current = savedCurrent;
    program->lastExecuted = savedLast;
    program->reader = savedReader;
    if (savedReader != nullptr) savedReader->insertAfter = savedInsert;
    CSFreeMem(call);
    return rc;
}

int cmdEnterImport(cmdProgram *program, cmdCommand *importStart) {
    cmdRunState *run = program->run;
    cmdCommand *end = importStart->partner;
    if (end == nullptr || !cmdEnterNesting(program, importStart)) return 0;
    cmdImportState *state = cmdImportStateOf(importStart);
    int rc = 1;
    {
        BlockScope scope(program, importStart);
        ++run->importsRunning;
        if (state->parameters == nullptr || cmdBindParms(program, state->parameters)) {
            cmdReadContext *outer = program->reader;
            if (outer != nullptr) {
                state->savedEcho = outer->echo;
                state->savedStopOnError = outer->stopOnError;
            }
            cmdReadContext *reader = state->reader;
            if (reader != nullptr) {
                reader->parent = outer;
                program->reader = reader;
            }
            program->current = importStart->next;
            rc = cmdRunCommands(program);
            if (reader != nullptr) {
                program->reader = reader->parent;
                reader->parent = nullptr;
            }
            if (outer != nullptr) {
                outer->echo = state->savedEcho;
                outer->stopOnError = state->savedStopOnError;
            }
        }
        program->parseError = 0;
        run->leave = 0;
        --run->importsRunning;
        if (run->importsRunning == 0) cmdFreeFunctions(program, 1);
    }
    program->current = end->next;
    freeExecuted(program, program->current);
    cmdLeaveNesting(program);
    return rc;
}

int cmdBindParms(cmdProgram *program, const char *text) {
    cmdCallContext *frame = program->run->frame;
    static const char array[] = "@_Parm";
    const size_t arrayLength = sizeof array - 1;
    while (cslVAR *v = cslFirstElement(frame, array, arrayLength))
        cslDeleteFromFrame(frame, v->key, v->keyLength);
    cslDeleteFromFrame(frame, array, arrayLength);
    const char *p = text;
    uint32_t n = 0;
    for (;;) {
        p = cmdSkipBlanks(p);
        ++n;
        const char *item = p;
        const char *itemEnd = p;
        if (*p == '\'' || *p == '"') {
            const char *close = scanSkipQuoted(p + 1, *p, p + std::strlen(p));
            if (close == nullptr) close = p + std::strlen(p);
            item = p + 1;
            itemEnd = close;
            p = *close != '\0' ? close + 1 : close;
        } else {
            while (*p != '\0' && *p != ',' && *p != ')' && !cmdIsBlank(*p)) ++p;
            itemEnd = p;
        }
        if (itemEnd > item) {
            char key[CSL_VAR_KEY_MAX];
            size_t keyLength = expBuildArrayKey(array, arrayLength, &n, 1, key, sizeof key);
            ExpValue value{};
            expSetString(&value, EXP_STR, const_cast<char *>(item), static_cast<size_t>(itemEnd - item));
            if (keyLength != 0) cslSetVariable(program, 1, 0, key, keyLength, &value);
        }
        p = cmdSkipBlanks(p);
        if (*p == '\0' || *p == ')') return 1;
        if (*p != ',') {
            cmdOutput(program, 128, "Expected ',' between parameters");
            return 0;
        }
        ++p;
    }
}
