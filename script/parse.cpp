// The statement parser: classifies each statement by its first token, parses the keyword
// statements and expressions, and reads block bodies, pairing each block's start and end. Blocks
// nest by recursion, so the depth is bounded both by a count and by the stack the thread has left.
#include <cstdio>
#include <cstring>

#include "script/internal.h"

namespace {

constexpr uint32_t expressionFlags = EXP_PARSE_AT_NAMES | EXP_PARSE_CASE | EXP_PARSE_COPY_STRINGS;

const char *const scriptKeywords[] = {
    "if",     "var",    "else",   "sort",    "eval",    "func",    "goto",    "endif",    "while",
    "break",  "sortd",  "label",  "leave",   "endfor",  "fclose",  "system",  "exists",   "minsub",
    "maxsub", "delvar", "return", "foreach", "foritem", "numsubs", "endfunc", "endwhile", "continue",
};

// Statements whose keyword names a function of the script table: expression statements.
const char *const expressionKeywords[] = {
    "sort", "eval", "sortd", "fclose", "system", "exists", "minsub", "maxsub", "delvar", "numsubs",
};

bool inList(const char *token, size_t length, const char *const *list, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (cmdTokenIs(token, length, list[i])) return true;
    }
    return false;
}

bool isScriptKeyword(const char *token, size_t length) {
    return inList(token, length, scriptKeywords, sizeof scriptKeywords / sizeof scriptKeywords[0]);
}

// A name of the script's operator and function table, or one of the console's own print commands:
// these followed by '(' are not unknown functions.
bool isKnownWord(const char *token, size_t length) {
    if (cmdTokenIs(token, length, "print") || cmdTokenIs(token, length, "fprint")) return true;
    for (const ExpOperator *row = expScriptOperatorTable; row->name != nullptr; ++row) {
        if (cmdTokenIs(token, length, row->name)) return true;
    }
    return isScriptKeyword(token, length);
}

bool isLoopBlock(const cmdCommand *c) {
    return c->type == CMD_WHILE || c->type == CMD_FOREACH || c->type == CMD_FORITEM;
}

// The matching close of the bracket at open ('[' or '('), quotes respected; null when missing.
const char *matchBracket(const char *open) {
    int depth = 0;
    for (const char *p = open; *p != '\0'; ++p) {
        if (*p == '\'' || *p == '"') {
            const char *q = scanSkipQuoted(p + 1, *p, p + std::strlen(p));
            if (q == nullptr) return nullptr;
            p = q;
        } else if (*p == '(' || *p == '[') {
            ++depth;
        } else if (*p == ')' || *p == ']') {
            if (--depth == 0) return p;
        }
    }
    return nullptr;
}

// Blocks refuse to nest deeper than the limit or than the thread's stack allows.
bool nestingAllowed(cmdProgram *program) {
    if (program->nesting < CMD_MAX_NESTING && CSStackLeft() >= CMD_STACK_RESERVE) return true;
    cmdMessage(program, "Maximum script nesting depth of %d reached", CMD_MAX_NESTING);
    return false;
}

// Text after a keyword statement that must stand alone: refused, the record marked skip.
bool refuseTrailing(cmdProgram *program, cmdCommand *record, const char *after) {
    const char *token;
    size_t length;
    const char *rest;
    if (!cmdFirstToken(after, &token, &length, &rest)) return false;
    if (record != nullptr) record->flags |= CMD_F_SKIP;
    cmdMessage(program, "Unexpected token '%.*s' found.", static_cast<int>(length > 100 ? 100 : length),
               token);
    return true;
}

// The rest of the line after an end keyword is the next statement.
void passOn(cmdProgram *program, const char *rest) {
    const char *p = cmdSkipBlanks(rest);
    if (*p != '\0') cmdPushBackPending(program, p);
}

// The condition of while or if: "(" expression ")" -> the expression, *after past the ')'.
ExpExpression *cmdParseBracketExp(cmdProgram *program, const char *statement, const char *rest,
                                  const char *keyword, const char **after) {
    const char *open = cmdSkipBlanks(rest);
    if (*open != '(') {
        cmdMessage(program, "Expected '(' after '%s'", keyword);
        return nullptr;
    }
    const char *close = matchBracket(open);
    if (close == nullptr) {
        cmdMessage(program, "')' missing after '%s'", keyword);
        return nullptr;
    }
    *after = close + 1;
    return cmdParseExp(program, open + 1, close - open - 1, static_cast<uint32_t>(open + 1 - statement));
}

// The body of a block up to its end record -> the end record, or null (parse error or end of input).
cmdCommand *readBody(cmdProgram *program, cmdCommand *start) {
    if (!cmdPushBlock(program, start)) {
        program->failed = 1;
        return nullptr;
    }
    ++program->nesting;
    ++program->reader->loopNesting;
    cmdCommand *end = nullptr;
    cmdReadCommands(program, 1, &end);
    --program->reader->loopNesting;
    --program->nesting;
    cmdPopBlock(program);
    return program->parseError ? nullptr : end;
}

// Checks the end of a body: the expected type, or the texts for end of input and a wrong end.
bool expectEnd(cmdProgram *program, cmdCommand *end, uint32_t type, const char *keyword) {
    if (program->parseError || program->failed) return false;
    if (end == nullptr) {
        cmdMessage(program, "'%s' not found before end of file", keyword);
        return false;
    }
    if (end->type != type) {
        cmdExpectEnd(program, keyword, end);
        return false;
    }
    return true;
}

void parseWhile(cmdProgram *program, const char *statement, const char *rest, cmdCommand **out) {
    if (!nestingAllowed(program)) return;
    cmdCommand *record = cmdNewCommand(program, CMD_WHILE, statement, -1);
    if (record == nullptr) return;
    *out = record;
    const char *after = nullptr;
    record->expression = cmdParseBracketExp(program, statement, rest, "while", &after);
    if (record->expression == nullptr || refuseTrailing(program, record, after)) {
        record->flags |= CMD_F_SKIP;
        return;
    }
    cmdCommand *end = readBody(program, record);
    if (!expectEnd(program, end, CMD_ENDWHILE, "endwhile")) {
        record->flags |= CMD_F_SKIP;
        return;
    }
    record->partner = end;
    end->partner = record;
}

void parseIf(cmdProgram *program, const char *statement, const char *rest, cmdCommand **out) {
    if (!nestingAllowed(program)) return;
    cmdCommand *record = cmdNewCommand(program, CMD_IF, statement, -1);
    if (record == nullptr) return;
    *out = record;
    const char *after = nullptr;
    record->expression = cmdParseBracketExp(program, statement, rest, "if", &after);
    if (record->expression == nullptr || refuseTrailing(program, record, after)) {
        record->flags |= CMD_F_SKIP;
        return;
    }
    cmdCommand *end = readBody(program, record);
    cmdCommand *elseRecord = nullptr;
    if (end != nullptr && end->type == CMD_ELSE) {
        elseRecord = end;
        end = readBody(program, record);
    }
    if (!expectEnd(program, end, CMD_ENDIF, "endif")) {
        record->flags |= CMD_F_SKIP;
        return;
    }
    if (elseRecord != nullptr) {
        record->partner = elseRecord;
        elseRecord->partner = end;
    } else {
        record->partner = end;
    }
    end->partner = record;
}

void parseForeach(cmdProgram *program, uint32_t type, const char *statement, const char *rest,
                  cmdCommand **out) {
    const char *name = type == CMD_FOREACH ? "foreach" : "foritem";
    if (!nestingAllowed(program)) return;
    cmdCommand *record = cmdNewCommand(program, type, statement, -1);
    if (record == nullptr) return;
    *out = record;
    const char *open = cmdSkipBlanks(rest);
    const char *close = *open == '(' ? matchBracket(open) : nullptr;
    if (*open != '(') {
        cmdMessage(program, "Expected '(' to follow %s statement", name);
    } else if (close == nullptr) {
        cmdMessage(program, "Closing bracket missing from %s statement", name);
    } else if (type == CMD_FOREACH && scanFindCharOutside(open + 1, close, ';') != nullptr) {
        cmdMessage(program, "Only one command is allowed in a foreach statement");
    }
    if (program->parseError || refuseTrailing(program, record, close + 1)) {
        record->flags |= CMD_F_SKIP;
        return;
    }
    cmdCommand *end = readBody(program, record);
    if (!expectEnd(program, end, CMD_ENDFOR, "endfor")) {
        record->flags |= CMD_F_SKIP;
        return;
    }
    record->partner = end;
    end->partner = record;
}

// Position of a top-level assignment '=' after a variable and an optional subscript; null when the
// statement is no assignment; *failed when its ']' is missing.
const char *cmdParseSubscript(cmdProgram *program, const char *text, bool *failed) {
    *failed = false;
    const char *token;
    size_t length;
    const char *rest;
    if (!cmdFirstToken(text, &token, &length, &rest) || (token[0] != '@' && token[0] != '_')) return nullptr;
    const char *p = cmdSkipBlanks(rest);
    if (*p == '[') {
        const char *close = matchBracket(p);
        if (close == nullptr || *close != ']') {
            *failed = true;
            cmdMessage(program, "Missing ']' on expression");
            return nullptr;
        }
        p = cmdSkipBlanks(close + 1);
    }
    if (p[0] == '=' && p[1] != '=') return p;
    return nullptr;
}

// An assignment (22) or an expression statement (21 with runAsCommand, else 20).
void cmdParseExpression(cmdProgram *program, const char *statement, int runAsCommand, cmdCommand **out) {
    bool failed = false;
    const char *equals = cmdParseSubscript(program, statement, &failed);
    uint32_t type = equals != nullptr ? CMD_ASSIGN : runAsCommand ? CMD_EXPRESSION_RUN : CMD_EXPRESSION;
    cmdCommand *record = cmdNewCommand(program, type, statement, -1);
    if (record == nullptr) return;
    *out = record;
    if (failed) {
        record->flags |= CMD_F_SKIP;
        return;
    }
    const char *text = record->text;
    if (equals != nullptr) {
        size_t at = static_cast<size_t>(equals - statement);
        record->target = cmdParseExp(program, text, static_cast<int64_t>(at), 0);
        if (record->target != nullptr)
            record->expression = cmdParseExp(program, text + at + 1, -1, static_cast<uint32_t>(at + 1));
        if (record->target == nullptr || record->expression == nullptr) record->flags |= CMD_F_SKIP;
        return;
    }
    record->expression = cmdParseExp(program, text, -1, 0);
    if (record->expression == nullptr) record->flags |= CMD_F_SKIP;
}

void parseVar(cmdProgram *program, const char *statement, const char *rest, cmdCommand **out) {
    cmdCommand *record = cmdNewCommand(program, CMD_VAR, statement, -1);
    if (record == nullptr) return;
    *out = record;
    const char *p = cmdSkipBlanks(rest);
    if (*p == '\0') {
        record->flags |= CMD_F_SKIP;
        cmdMessage(program, "Empty parameter list in var statement.");
        return;
    }
    for (;;) {
        p = cmdSkipBlanks(p);
        const char *end = p;
        while (*end != '\0' && *end != ',' && !cmdIsBlank(*end)) ++end;
        size_t length = static_cast<size_t>(end - p);
        const char *after = cmdSkipBlanks(end);
        if (length == 0 || length > CMD_NAME_MAX || !cmdIsIdentifier(p, length) ||
            (*after != ',' && *after != '\0')) {
            if (length == 0) length = std::strlen(p);
            record->flags |= CMD_F_SKIP;
            cmdMessage(program, "Invalid variable name '%.*s'.",
                       static_cast<int>(length > 100 ? 100 : length), p);
            return;
        }
        if (*after == '\0') return;
        p = after + 1;
    }
}

void parseReturn(cmdProgram *program, const char *statement, const char *rest, cmdCommand **out) {
    if (program->defining == nullptr) {
        cmdMessage(program, "Return statements can only be used inside functions.");
        return;
    }
    cmdCommand *record = cmdNewCommand(program, CMD_RETURN, statement, -1);
    if (record == nullptr) return;
    *out = record;
    const char *p = cmdSkipBlanks(rest);
    if (*p == '\0') return;
    record->expression =
        cmdParseExp(program, record->text + (p - statement), -1, static_cast<uint32_t>(p - statement));
    if (record->expression == nullptr) record->flags |= CMD_F_SKIP;
}

// label and goto: a name that stands alone, inside a function definition.
void parseLabel(cmdProgram *program, uint32_t type, const char *statement, const char *rest,
                cmdCommand **out) {
    const char *word = type == CMD_LABEL ? "label" : "goto";
    if (program->defining == nullptr) {
        cmdMessage(program, type == CMD_LABEL ? "Labels can only be used inside functions."
                                              : "Goto statements can only be used inside functions.");
        return;
    }
    cmdCommand *record = cmdNewCommand(program, type, statement, -1);
    if (record == nullptr) return;
    *out = record;
    const char *name = cmdSkipBlanks(rest);
    const char *end = name;
    while (*end != '\0' && !cmdIsBlank(*end)) ++end;
    size_t length = static_cast<size_t>(end - name);
    const char *after = cmdSkipBlanks(end);
    if (length == 0) {
        cmdMessage(program, "Expected label name after '%s' keyword.", word);
    } else if (length > CMD_NAME_MAX || !cmdIsIdentifier(name, length)) {
        cmdMessage(program, "Label '%.*s is not a valid label identifier.",
                   static_cast<int>(length > 100 ? 100 : length), name);
    } else if (*after != '\0') {
        cmdMessage(program, "Unexpected text '%.*s' following label.", 100, after);
    }
    if (program->parseError) record->flags |= CMD_F_SKIP;
}

// A keyword that makes a record of its own, refused where its block is not open.
void parseEndKeyword(cmdProgram *program, uint32_t type, const char *statement, const char *rest,
                     cmdCommand **out) {
    cmdCommand *inner = cmdInnermostBlock(program);
    bool allowed = true;
    const char *refusal = nullptr;
    switch (type) {
        case CMD_ENDIF:
            allowed = inner != nullptr && inner->type == CMD_IF;
            refusal = "'endif' not expected outside of an if statement";
            break;
        case CMD_ELSE:
            // An else outside every block would have no endif to go on at; inside another block its
            // parser names the end it expected.
            allowed = inner != nullptr;
            refusal = "'else' not expected outside of an if statement";
            break;
        case CMD_ENDWHILE:
            allowed = inner != nullptr && inner->type == CMD_WHILE;
            refusal = "'endwhile' not expected outside of a while loop";
            break;
        case CMD_ENDFOR:
            allowed = inner != nullptr && (inner->type == CMD_FOREACH || inner->type == CMD_FORITEM);
            refusal = "'endfor' not expected outside of a for loop";
            break;
        case CMD_ENDFUNC:
            allowed = program->defining != nullptr;
            refusal = "'endfunc' not expected outside of a function";
            break;
        default:
            break;
    }
    if (!allowed) {
        cmdMessage(program, "%s", refusal);
        return;
    }
    cmdCommand *record = cmdNewCommand(program, type, statement, rest - statement);
    if (record == nullptr) return;
    *out = record;
    if (type == CMD_ENDFUNC)
        refuseTrailing(program, record, rest);
    else
        passOn(program, rest);
}

// break, continue and leave stand alone.
void parseLoopControl(cmdProgram *program, uint32_t type, const char *statement, const char *rest,
                      cmdCommand **out) {
    if (type == CMD_BREAK) {
        bool inLoop = false;
        cmdReadContext *reader = program->reader;
        for (int32_t i = reader->blockDepth - 1; i >= 0 && reader->blocks[i]->type != CMD_FUNC; --i) {
            if (isLoopBlock(reader->blocks[i])) inLoop = true;
        }
        if (!inLoop) {
            cmdMessage(program, "'break' issued while not in loop");
            return;
        }
    }
    if (type == CMD_LEAVE && program->defining != nullptr) {
        cmdMessage(program, "You can not use 'leave' from within a function, please use 'return'.");
        return;
    }
    cmdCommand *record = cmdNewCommand(program, type, statement, -1);
    if (record == nullptr) return;
    *out = record;
    refuseTrailing(program, record, rest);
}

void parseGeneral(cmdProgram *program, const char *statement, const char *token, size_t length,
                  const char *rest, cmdCommand **out) {
    if (statement[0] == '"' || statement[0] == '@' || statement[0] == '_') {
        cmdParseExpression(program, statement, 1, out);
        return;
    }
    const char *after = cmdSkipBlanks(rest);
    if (*after == '\0' || *after == '(') {
        if (cmdFUNCTION *f = cmdFindFunction(program, token, static_cast<int64_t>(length))) {
            *out = cmdParseFunctionCall(program, f, statement, rest);
            return;
        }
    }
    cmdCommand *record = cmdNewCommand(program, CMD_COMMAND, statement, -1);
    if (record == nullptr) return;
    *out = record;
    if (*after == '(' && !isKnownWord(token, length)) {
        record->flags |= CMD_F_SKIP;
        cmdMessage(program, "Unrecognised function '%.*s' used.",
                   static_cast<int>(length > 100 ? 100 : length), token);
    }
}

void classify(cmdProgram *program, const char *statement, cmdCommand **out) {
    const char *token;
    size_t n;
    const char *rest;
    if (!cmdFirstToken(statement, &token, &n, &rest)) return;
    if (n == 1 && std::strlen(statement) >= 7 && cmdTokenIs(statement, 7, "=import")) {
        cmdCommand *record = cmdNewCommand(program, CMD_COMMAND, statement, -1);
        if (record == nullptr) return;
        *out = record;
        if (std::strchr(statement, '@') == nullptr && program->localCommand != nullptr) {
            // Read now, into an =import block after this record; the line itself has done its work.
            record->flags |= CMD_F_SKIP;
            program->localCommand(program, statement);
        }
        return;
    }
    auto is = [token, n](const char *keyword) { return cmdTokenIs(token, n, keyword); };
    if (is("if")) return parseIf(program, statement, rest, out);
    if (is("while")) return parseWhile(program, statement, rest, out);
    if (is("foreach")) return parseForeach(program, CMD_FOREACH, statement, rest, out);
    if (is("foritem")) return parseForeach(program, CMD_FORITEM, statement, rest, out);
    if (is("else")) return parseEndKeyword(program, CMD_ELSE, statement, rest, out);
    if (is("endif")) return parseEndKeyword(program, CMD_ENDIF, statement, rest, out);
    if (is("endwhile")) return parseEndKeyword(program, CMD_ENDWHILE, statement, rest, out);
    if (is("endfor")) return parseEndKeyword(program, CMD_ENDFOR, statement, rest, out);
    if (is("endfunc")) return parseEndKeyword(program, CMD_ENDFUNC, statement, rest, out);
    if (is("var")) return parseVar(program, statement, rest, out);
    if (is("func")) {
        cmdParseFunc(program, statement, rest);
        return;
    }
    if (is("goto")) return parseLabel(program, CMD_GOTO, statement, rest, out);
    if (is("label")) return parseLabel(program, CMD_LABEL, statement, rest, out);
    if (is("break")) return parseLoopControl(program, CMD_BREAK, statement, rest, out);
    if (is("continue")) return parseLoopControl(program, CMD_CONTINUE, statement, rest, out);
    if (is("leave")) return parseLoopControl(program, CMD_LEAVE, statement, rest, out);
    if (is("return")) return parseReturn(program, statement, rest, out);
    if (inList(token, n, expressionKeywords, sizeof expressionKeywords / sizeof expressionKeywords[0]))
        return cmdParseExpression(program, statement, 0, out);
    parseGeneral(program, statement, token, n, rest, out);
}

}  // namespace

bool cmdTokenIs(const char *token, size_t length, const char *keyword) {
    size_t k = std::strlen(keyword);
    if (k != length) return false;
    for (size_t i = 0; i < k; ++i) {
        char a = token[i];
        char b = keyword[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

int cmdFirstToken(const char *text, const char **token, size_t *length, const char **rest) {
    const char *cursor = text;
    int end = scanGetToken(&cursor, text + std::strlen(text), cmdDelimiters, cmdSeparators, token, length);
    *rest = cursor;
    return end == 0 ? 1 : 0;
}

bool cmdIsIdentifier(const char *name, size_t length) {
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (length == 0 || !letter(name[0])) return false;
    for (size_t i = 1; i < length; ++i) {
        char c = name[i];
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '.') return false;
    }
    return true;
}

int cmdIsKeyword(const char *text) {
    const char *token;
    size_t length;
    const char *rest;
    if (!cmdFirstToken(text, &token, &length, &rest)) return 0;
    if (token[0] == '@' || token[0] == '_') return 1;
    return isScriptKeyword(token, length) ? 1 : 0;
}

ExpExpression *cmdParseExpText(cmdProgram *program, const char *text, int64_t length, uint32_t basePosition,
                               char *error, size_t errorSize) {
    ExpCallerBlock caller{};
    caller.program = program;
    caller.context = program;
    char *parserError = nullptr;
    ExpExpression *e = expParseExpression(text, length, basePosition, expressionFlags, expScriptOperatorTable,
                                          cmdVariableCallback, cmdFunctionCallback, &caller, &parserError);
    if (e != nullptr) return e;
    if (parserError != nullptr) {
        std::snprintf(error, errorSize, "%s", parserError);
        CSFreeMem(parserError);
    } else {
        size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
        std::snprintf(error, errorSize, "Error parsing expression '%.*s' expression",
                      static_cast<int>(n > 200 ? 200 : n), text);
    }
    return nullptr;
}

ExpExpression *cmdParseExp(cmdProgram *program, const char *text, int64_t length, uint32_t basePosition) {
    char error[512];
    ExpExpression *e = cmdParseExpText(program, text, length, basePosition, error, sizeof error);
    if (e == nullptr) cmdMessage(program, "%s", error);
    return e;
}

int cmdParseCommand(cmdProgram *program, int blockMode, cmdCommand **out) {
    *out = nullptr;
    char *statement = cmdReadNextCommand(program);
    if (statement == nullptr) return 0;
    (void)blockMode;  // whether an end record closes a body is cmdReadCommands' decision
    classify(program, statement, out);
    CSFreeMem(statement);
    return 1;
}

int cmdReadCommands(cmdProgram *program, int blockMode, cmdCommand **out) {
    *out = nullptr;
    while (!program->parseError && !program->failed) {
        cmdCommand *end = nullptr;
        if (!cmdParseCommand(program, blockMode, &end)) break;
        if (blockMode && end != nullptr) {
            switch (end->type) {
                case CMD_ENDWHILE:
                case CMD_ENDFOR:
                case CMD_ENDIF:
                case CMD_ELSE:
                case CMD_ENDFUNC:
                    *out = end;
                    return 1;
                default:
                    break;
            }
        }
    }
    return 0;
}

int cmdParseFile(cmdProgram *program) {
    cmdCommand *end = nullptr;
    cmdReadCommands(program, 0, &end);
    cmdFlushInputEcho(program);
    return 1;
}

cmdCommand *cmdParseImport(cmdProgram *program, cmdReadContext *reader, const char *parameters) {
    cmdReadContext *outer = program->reader;
    bool appending = outer == nullptr || outer->insertAfter == nullptr;
    cmdCommand *start = cmdNewBlock(program, CMD_IMPORT, reader->name != nullptr ? reader->name : "");
    if (start == nullptr) {
        cmdFreeReader(reader);
        return nullptr;
    }
    cmdImportState *state = cmdImportStateOf(start);
    state->reader = reader;
    if (parameters != nullptr) {
        size_t n = std::strlen(parameters);
        state->parameters = static_cast<char *>(CSGetMem(n + 1));
        if (state->parameters != nullptr) std::memcpy(state->parameters, parameters, n + 1);
    }
    cmdList list = cmdListOf(program, start);
    reader->list = list;
    reader->listOwner = start->owner;
    reader->insertAfter = start;
    reader->imported = 1;
    if (outer != nullptr) {
        reader->echo = outer->echo;
        reader->stopOnError = outer->stopOnError;
    }
    cmdPushReader(program, reader);
    ++program->importsReading;
    cmdParseFile(program);
    --program->importsReading;
    program->reader = reader->parent;
    reader->parent = nullptr;
    reader->insertAfter = nullptr;
    if (outer != nullptr) outer->insertAfter = appending ? nullptr : start->partner;
    return start;
}
