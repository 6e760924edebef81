// User functions: the function tree, definitions that stay pending until they parse (so a failed
// redefinition leaves the old one in force), the comment heading moved into a definition, the
// pairing of gotos with labels, and calls with their arguments. Each function owns the expression
// row that parsed expressions keep, so it must never move or be freed before the program.
#include <cstddef>
#include <cstring>

#include "script/internal.h"

static_assert(offsetof(cmdFUNCTION, key) == CS_TREE_KEY);

namespace {

void makeKey(const char *name, size_t length, char key[CMD_NAME_MAX]) {
    std::memset(key, 0, CMD_NAME_MAX);
    std::memcpy(key, name, length);
}

cmdFUNCTION *insertFunction(cmdProgram *program, const char *name, size_t length) {
    cmdFUNCTION node{};
    makeKey(name, length, node.key);
    std::memcpy(node.eyeCatcher, "cmdFUNCTION", 12);
    auto *f = reinterpret_cast<cmdFUNCTION *>(
        CSTreeInsert(&program->functions, "cmdFUNCTION", &node, sizeof node, CMD_NAME_MAX));
    if (f == nullptr) return nullptr;
    std::memcpy(f->name, name, length);
    f->name[length] = '\0';
    // A built-in function's precedences; any number of arguments, since a call with fewer
    // arguments than parameters leaves the rest unset.
    f->row = ExpOperator{f->name, 20, 8, EXP_OPF_USER, nullptr, -1, 0, length};
    return f;
}

cmdFUNCTION *lookUp(cmdProgram *program, const char *name, size_t length) {
    if (length == 0 || length > CMD_NAME_MAX) return nullptr;
    char key[CMD_NAME_MAX];
    makeKey(name, length, key);
    return reinterpret_cast<cmdFUNCTION *>(CSTreeFind(program->functions, key, CMD_NAME_MAX));
}

void commit(cmdProgram *program, cmdFUNCTION *f) {
    // A running call keeps its body until it returns; new calls take the new definition.
    if (f->running > 0 && f->definition.head != nullptr) {
        auto *old = static_cast<cmdRetiredDefinition *>(CSGetMem(sizeof(cmdRetiredDefinition)));
        if (old == nullptr) {
            program->failed = 1;
            cmdFreeDefinition(program, &f->pending);
            return;
        }
        old->definition = f->definition;
        old->next = f->retired;
        f->retired = old;
        f->definition = cmdDefinition{};
    }
    cmdFreeDefinition(program, &f->definition);
    f->definition = f->pending;
    f->pending = cmdDefinition{};
    for (cmdCommand *c = f->definition.head; c != nullptr; c = c->next) c->owner = f;
    f->committed = 1;
}

void freeNode(CSTree *node, void *argument, void *) {
    auto *program = static_cast<cmdProgram *>(argument);
    auto *f = reinterpret_cast<cmdFUNCTION *>(node);
    cmdFreeDefinition(program, &f->definition);
    cmdFreeDefinition(program, &f->pending);
    cmdFreeRetired(program, f);
    if (f->sourceName != nullptr) CSFreeMem(f->sourceName);
}

// The parameter list after the name: "(" names separated by "," ")" -> 1 with the pending
// parameters set, or 0 with the message made.
int parseParameters(cmdProgram *program, cmdFUNCTION *f, const char *p) {
    p = cmdSkipBlanks(p);
    if (*p != '(') {
        cmdMessage(program, "Expected '(' after '%s'", f->name);
        return 0;
    }
    const char *close = std::strchr(p, ')');
    if (close == nullptr) {
        cmdMessage(program, "Expected ')' at the end of the parameter list for function '%s'", f->name);
        return 0;
    }
    size_t most = 1;
    for (const char *q = p; q < close; ++q) most += *q == ',' ? 1 : 0;
    f->pending.parameters = static_cast<char(*)[33]>(CSGetMem(most * 33));
    if (f->pending.parameters == nullptr) {
        program->failed = 1;
        return 0;
    }
    ++p;
    for (;;) {
        p = cmdSkipBlanks(p);
        if (*p == ')' && f->pending.parameterCount == 0) return 1;
        const char *end = p;
        while (end < close && *end != ',' && !cmdIsBlank(*end)) ++end;
        size_t length = static_cast<size_t>(end - p);
        int shown = static_cast<int>(length > 100 ? 100 : length);
        if (length > CMD_NAME_MAX) {
            cmdMessage(program, "Variable '%.*s' is too long. Variable names are limited %d characters",
                       shown, p, CMD_NAME_MAX);
            return 0;
        }
        if (!cmdIsIdentifier(p, length)) {
            cmdMessage(program, "'%.*s' is not a valid parameter variable name", shown, p);
            return 0;
        }
        char *slot = f->pending.parameters[f->pending.parameterCount++];
        slot[0] = '@';
        std::memcpy(slot + 1, p, length);
        slot[length + 1] = '\0';
        const char *after = cmdSkipBlanks(end);
        if (*after == ')') return 1;
        if (*after != ',') {
            cmdMessage(program, "Expected ',' after parameter '%.*s'", shown, p);
            return 0;
        }
        p = after + 1;
    }
}

// The comment lines directly above the func line (empty lines among them, at most one below the
// last) become the head of the function's own list, all numbered 1.
void moveHeading(cmdProgram *program, cmdFUNCTION *f) {
    cmdList list = cmdCurrentList(program);
    cmdCommand *funcLine = nullptr;
    for (cmdCommand *c = *list.head; c != nullptr; c = c->next) {
        if (c->type == CMD_INPUT || c->type == CMD_MULTI) funcLine = c;
    }
    if (funcLine == nullptr) return;
    cmdCommand *beforeRun = nullptr;  // the record before the run of comments and empty lines
    cmdCommand *runStart = nullptr;
    cmdCommand *previous = nullptr;
    for (cmdCommand *c = *list.head; c != funcLine; c = c->next) {
        if (c->type == CMD_COMMENT || c->type == CMD_EMPTY) {
            if (runStart == nullptr) {
                runStart = c;
                beforeRun = previous;
            }
        } else {
            runStart = nullptr;
        }
        previous = c;
    }
    // Skip the run's leading empty lines, find its last comment.
    while (runStart != nullptr && runStart != funcLine && runStart->type == CMD_EMPTY) {
        beforeRun = runStart;
        runStart = runStart->next;
    }
    if (runStart == nullptr || runStart == funcLine) return;
    cmdCommand *lastComment = nullptr;
    int emptyAfter = 0;
    for (cmdCommand *c = runStart; c != funcLine; c = c->next) {
        if (c->type == CMD_COMMENT) {
            lastComment = c;
            emptyAfter = 0;
        } else {
            ++emptyAfter;
        }
    }
    if (lastComment == nullptr || emptyAfter > 1) return;
    for (cmdCommand *c = runStart; c != lastComment->next; c = c->next) {
        if (program->current == c) program->current = funcLine;
    }
    if (program->lastExecuted != nullptr) {
        for (cmdCommand *c = runStart; c != lastComment->next; c = c->next) {
            if (program->lastExecuted == c) program->lastExecuted = beforeRun;
        }
    }
    if (beforeRun == nullptr)
        *list.head = lastComment->next;
    else
        beforeRun->next = lastComment->next;
    lastComment->next = nullptr;
    for (cmdCommand *c = runStart; c != nullptr; c = c->next) {
        c->owner = f;
        c->number = 1;
    }
    f->pending.head = runStart;
    f->pending.tail = lastComment;
}

// A goto's label: the name after the keyword.
void labelName(const cmdCommand *c, const char **name, size_t *length) {
    const char *token;
    size_t n;
    const char *rest;
    cmdFirstToken(c->text, &token, &n, &rest);
    const char *p = cmdSkipBlanks(rest);
    const char *end = p;
    while (*end != '\0' && !cmdIsBlank(*end)) ++end;
    *name = p;
    *length = static_cast<size_t>(end - p);
}

}  // namespace

cmdFUNCTION *cmdFindFunction(cmdProgram *program, const char *name, int64_t length) {
    size_t n = length < 0 ? std::strlen(name) : static_cast<size_t>(length);
    cmdFUNCTION *f = lookUp(program, name, n);
    if (f == nullptr) return nullptr;
    return f->committed || program->defining == f ? f : nullptr;
}

const ExpOperator *cmdFindFunctionRow(void *owner, const char *name, size_t length) {
    // Only a program names its functions: anything else in the block's first word is not searched.
    auto *program = static_cast<cmdProgram *>(owner);
    if (program == nullptr || std::memcmp(program->eyeCatcher, CMD_PROGRAM_EYE, sizeof CMD_PROGRAM_EYE) != 0)
        return nullptr;
    cmdFUNCTION *f = cmdFindFunction(program, name, static_cast<int64_t>(length));
    return f != nullptr ? &f->row : nullptr;
}

int32_t cmdParameterCount(cmdProgram *program, const cmdFUNCTION *function) {
    return program->defining == function ? function->pending.parameterCount
                                         : function->definition.parameterCount;
}

void cmdFreeRetired(cmdProgram *program, cmdFUNCTION *function) {
    while (function->retired != nullptr) {
        cmdRetiredDefinition *old = function->retired;
        function->retired = old->next;
        cmdFreeDefinition(program, &old->definition);
        CSFreeMem(old);
    }
}

void cmdFreeDefinition(cmdProgram *program, cmdDefinition *definition) {
    cmdFreeChain(program, definition->head);
    if (definition->parameters != nullptr) CSFreeMem(definition->parameters);
    *definition = cmdDefinition{};
}

void cmdFreeFunctions(cmdProgram *program, int commit) {
    if (commit < 0) {
        CSTreeFree(&program->functions, freeNode, program);
        return;
    }
    for (CSTree *node = CSTreeFirst(program->functions); node != nullptr; node = node->next) {
        auto *f = reinterpret_cast<cmdFUNCTION *>(node);
        if (f->pending.head == nullptr) continue;
        if (commit)
            ::commit(program, f);
        else
            cmdFreeDefinition(program, &f->pending);
    }
}

int cmdParseFunc(cmdProgram *program, const char *statement, const char *rest) {
    if (program->defining != nullptr) {
        cmdMessage(program, "You can not define a function within another function");
        return 0;
    }
    const char *name = cmdSkipBlanks(rest);
    const char *end = name;
    while (*end != '\0' && *end != '(' && !cmdIsBlank(*end)) ++end;
    size_t length = static_cast<size_t>(end - name);
    int shown = static_cast<int>(length > 100 ? 100 : length);
    if (length == 0) {
        cmdMessage(program, "Expected function name after 'func'");
        return 0;
    }
    if (length > CMD_NAME_MAX) {
        cmdMessage(program, " Function name '%.*s' is too long. Functions names are limited %d characters",
                   shown, name, CMD_NAME_MAX);
        return 0;
    }
    if (!cmdIsIdentifier(name, length)) {
        cmdMessage(program, "'%.*s' is not a valid function name", shown, name);
        return 0;
    }
    cmdFUNCTION *f = lookUp(program, name, length);
    if (f == nullptr) f = insertFunction(program, name, length);
    if (f == nullptr) {
        program->failed = 1;
        cmdOutput(program, 128, "Failed to allocate command storage");
        return 0;
    }
    cmdFreeDefinition(program, &f->pending);
    if (!parseParameters(program, f, end)) {
        cmdFreeDefinition(program, &f->pending);
        return 0;
    }
    if (program->reader != nullptr && program->reader->name != nullptr && f->sourceName == nullptr) {
        size_t n = std::strlen(program->reader->name);
        f->sourceName = static_cast<char *>(CSGetMem(n + 1));
        if (f->sourceName != nullptr) std::memcpy(f->sourceName, program->reader->name, n + 1);
    }

    cmdReadContext *reader = program->reader;
    moveHeading(program, f);
    const cmdList savedList = reader->list;
    cmdFUNCTION *savedOwner = reader->listOwner;
    cmdCommand *savedInsert = reader->insertAfter;
    reader->list = cmdList{&f->pending.head, &f->pending.tail};
    reader->listOwner = f;
    reader->insertAfter = nullptr;
    program->defining = f;
    f->statementCounter = 1;

    cmdCommand *func = cmdNewCommand(program, CMD_FUNC, statement, -1);
    cmdCommand *last = nullptr;
    if (func != nullptr && !program->parseError) {
        if (!cmdPushBlock(program, func)) {
            program->failed = 1;
        } else {
            ++program->nesting;
            cmdReadCommands(program, 1, &last);
            --program->nesting;
            cmdPopBlock(program);
        }
    }
    program->defining = nullptr;
    reader->list = savedList;
    reader->listOwner = savedOwner;
    reader->insertAfter = savedInsert;

    bool ok = func != nullptr && !program->parseError && !program->failed;
    if (ok && last == nullptr) {
        cmdMessage(program, "'endfunc' not found before end of file");
        ok = false;
    } else if (ok && last->type != CMD_ENDFUNC) {
        cmdExpectEnd(program, "endfunc", last);
        ok = false;
    }
    if (ok) {
        program->defining = f;  // the goto check reads the pending list
        cmdCheckGotoScope(program, f);
        program->defining = nullptr;
        ok = !program->parseError;
    }
    if (!ok) {
        cmdFreeDefinition(program, &f->pending);
        return 0;
    }
    func->partner = last;
    last->partner = func;
    if (program->importsReading == 0) commit(program, f);
    return 1;
}

void cmdCheckGotoScope(cmdProgram *program, cmdFUNCTION *function) {
    for (cmdCommand *g = function->pending.head; g != nullptr; g = g->next) {
        if (g->type != CMD_GOTO || (g->flags & CMD_F_SKIP)) continue;
        const char *name;
        size_t length;
        labelName(g, &name, &length);
        cmdCommand *label = nullptr;
        for (cmdCommand *c = function->pending.head; c != nullptr && label == nullptr; c = c->next) {
            if (c->type != CMD_LABEL) continue;
            const char *other;
            size_t otherLength;
            labelName(c, &other, &otherLength);
            if (otherLength == length && std::memcmp(other, name, length) == 0) label = c;
        }
        if (label == nullptr) {
            g->flags |= CMD_F_SKIP;
            cmdMessage(program, "No definiton of label '%.*s' found in function '%s'.",
                       static_cast<int>(length), name, function->name);
            return;
        }
        g->partner = label;
        bool inScope = false;
        for (const cmdCommand *c = g->enclosing; c != nullptr && !inScope; c = c->enclosing) {
            inScope = c == label->enclosing;
        }
        if (!inScope) {
            g->flags |= CMD_F_GOTO_SCOPE | CMD_F_SKIP;
            cmdMessage(
                program,
                "The goto statement on line %d and label '%.*s' on line %d are not in the same loop scope.",
                static_cast<int>(g->line), static_cast<int>(length), name, static_cast<int>(label->line));
            return;
        }
    }
}

cmdCommand *cmdParseFunctionCall(cmdProgram *program, cmdFUNCTION *function, const char *statement,
                                 const char *rest) {
    cmdCommand *record = cmdNewCommand(program, CMD_CALL, statement, -1);
    if (record == nullptr) return nullptr;
    record->function = function;
    const char *text = record->text;
    const char *open = cmdSkipBlanks(text + (rest - statement));
    if (*open != '(') {
        record->flags |= CMD_F_SKIP;
        cmdMessage(program, "Expected a '(' at start of parameters following '%s' function name.",
                   function->name);
        return record;
    }
    const char *close = scanFindCloseBracket(open + 1, open + std::strlen(open));
    if (close == nullptr) {
        record->flags |= CMD_F_SKIP;
        cmdMessage(program, "Missing close bracket ')' at the end of parmaeter list for function '%s'.",
                   function->name);
        return record;
    }
    int32_t count = 0;
    cmdArgument **link = &record->arguments;
    const char *p = open + 1;
    if (*cmdSkipBlanks(p) != ')') {
        for (;;) {
            const char *comma = scanFindComma(p, close);
            const char *end = comma != nullptr ? comma : close;
            auto *argument = static_cast<cmdArgument *>(CSGetMem(sizeof(cmdArgument)));
            if (argument == nullptr) {
                program->failed = 1;
                record->flags |= CMD_F_SKIP;
                return record;
            }
            *argument = cmdArgument{};
            *link = argument;
            link = &argument->next;
            ++count;
            argument->expression = cmdParseExp(program, p, end - p, static_cast<uint32_t>(p - text));
            if (argument->expression == nullptr) {
                record->flags |= CMD_F_SKIP;
                return record;
            }
            if (comma == nullptr) break;
            p = comma + 1;
        }
    }
    int32_t parameters = cmdParameterCount(program, function);
    if (count > parameters) {
        record->flags |= CMD_F_SKIP;
        if (parameters == 0)
            cmdMessage(program, "Function '%s' does not take any parameters.", function->name);
        else if (parameters == 1)
            cmdMessage(program, "Function '%s' takes only 1 parameter.", function->name);
        else
            cmdMessage(program, "Function '%s' only takes %d parameters.", function->name, parameters);
    }
    return record;
}

int cmdVariableCallback(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result) {
    auto *program = cmdProgramOf(e);
    if (e->trial || program == nullptr) {
        // Parse time: check the name, give a neutral value, touch nothing.
        const char *name = var->data;
        size_t length = var->value.len;
        if (const void *percent = std::memchr(name, '%', length))
            length = static_cast<size_t>(static_cast<const char *>(percent) - name);
        if (length > CMD_NAME_MAX) {
            return expSetError(e, length,
                               "Variable name of '%.*s' is larger than the limit of %d characters.",
                               static_cast<int>(length), name, CMD_NAME_MAX);
        }
        if (name[0] == '@') {
            expSetInt(result, 1);
            ++e->trialStandIns;  // a stand-in: the run's value may be of any type
            return 1;
        }
        e->softFailure = 1;
        return 0;
    }
    if (program->variables != nullptr) return program->variables(program, e, partner, var, result);
    e->softFailure = 1;
    e->valueMissing = 1;
    return 0;
}

int cmdFunctionCallback(ExpExpression *e, ExpValue *function, ExpValue *args, ExpValue *result) {
    auto *program = cmdProgramOf(e);
    if (program != nullptr && program->callFunction != nullptr)
        return program->callFunction(program, e, function, args, result);
    expSetInt(result, 0);
    return 1;
}
