// Helpers shared by the files of the script interpreter; not for other subsystems.
#pragma once

#include <cstdarg>

#include "platform/platform.h"
#include "script/script.h"

// Script keywords, compared without regard to case.
inline constexpr char cmdDelimiters[] = "()[]!|&<>-+*/=,;";
inline constexpr char cmdSeparators[] = " ()[]!|&<>-+*/=\n\t,;";

// A growing text on the counted heap.
struct cmdText {
    char *data;
    size_t length;
    size_t capacity;
};
[[nodiscard]] bool cmdTextAppend(cmdText *text, const char *bytes, size_t length);
void cmdTextFree(cmdText *text);

// A message record (type 12) with the formatted text; flags the parse error and lists it.
void cmdMessage(cmdProgram *program, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The list that new records go to, and who owns it.
cmdList cmdCurrentList(cmdProgram *program);
// The list that holds a record.
cmdList cmdListOf(cmdProgram *program, const cmdCommand *command);
// Frees every record from head on, without unlinking.
void cmdFreeChain(cmdProgram *program, cmdCommand *head);

// Block stack of the active reader.
[[nodiscard]] bool cmdPushBlock(cmdProgram *program, cmdCommand *block);
void cmdPopBlock(cmdProgram *program);
cmdCommand *cmdInnermostBlock(cmdProgram *program);

// Blanks are spaces and tabs.
inline bool cmdIsBlank(char c) {
    return c == ' ' || c == '\t';
}
const char *cmdSkipBlanks(const char *text);

// Case-insensitive comparison of a counted token with a keyword.
bool cmdTokenIs(const char *token, size_t length, const char *keyword);
// The first token of a text: 1 with its start and length, or 0 when the text holds none.
int cmdFirstToken(const char *text, const char **token, size_t *length, const char **rest);

// A name of a letter followed by letters, digits, '_' or '.'.
bool cmdIsIdentifier(const char *name, size_t length);

// A parse of text while the program runs (queued text, a runtime =import): the records parsed
// before it are left alone by its parse error, and the error is that text's own. end() -> whether
// this parse failed; the earlier parse-error flag comes back, this one stays only for a source that
// stops on errors.
struct cmdRunningParse {
    cmdProgram *program;
    uint64_t savedFloor;
    int32_t savedError;
    explicit cmdRunningParse(cmdProgram *p)
        : program(p), savedFloor(p->parseFloor), savedError(p->parseError) {
        p->parseFloor = p->recordsMade + 1;
        p->parseError = 0;
    }
    bool end() {
        const bool failed = program->parseError != 0;
        const bool stops = program->reader != nullptr && program->reader->stopOnError;
        program->parseFloor = savedFloor;
        program->parseError = savedError || (failed && stops) ? 1 : 0;
        return failed;
    }
    cmdRunningParse(const cmdRunningParse &) = delete;
    cmdRunningParse &operator=(const cmdRunningParse &) = delete;
};

// cmdParseExp without a message record: on failure null with the message in error.
[[nodiscard]] ExpExpression *cmdParseExpText(cmdProgram *program, const char *text, int64_t length,
                                             uint32_t basePosition, char *error, size_t errorSize);

// Readers (reader.cpp): the next logical statement, continuation lines joined, as a counted-heap
// text (null at the end of input).
[[nodiscard]] char *cmdReadNextCommand(cmdProgram *program);
// A reader whose only text is the given one, handed over as pending text.
[[nodiscard]] cmdReadContext *cmdQueuedReader(cmdProgram *program, const char *text);
// Sets text as the active reader's pending text (copied), before what was pending.
void cmdPushBackPending(cmdProgram *program, const char *text);
// Echoes the records waiting for their input echo.
void cmdFlushInputEcho(cmdProgram *program);

// Functions (function.cpp).
int cmdParseFunc(cmdProgram *program, const char *statement, const char *rest);
cmdCommand *cmdParseFunctionCall(cmdProgram *program, cmdFUNCTION *function, const char *statement,
                                 const char *rest);
void cmdCheckGotoScope(cmdProgram *program, cmdFUNCTION *function);
void cmdFreeDefinition(cmdProgram *program, cmdDefinition *definition);
// Frees the definitions a function's running calls kept (none may run any more).
void cmdFreeRetired(cmdProgram *program, cmdFUNCTION *function);
int32_t cmdParameterCount(cmdProgram *program, const cmdFUNCTION *function);

// The variable and function callbacks of script expressions.
int cmdVariableCallback(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result);
int cmdFunctionCallback(ExpExpression *e, ExpValue *function, ExpValue *args, ExpValue *result);

// Fills the console's script slots (slots.cpp).
void scriptInstallConsole();

// ---------------------------------------------------------------------------------------------
// Run time: frames, the variable store and evaluation (variables.cpp, system.cpp, run.cpp).

struct cslSession;
struct cslOutputLine;

inline constexpr size_t CSL_VAR_KEY_MAX = 50;  // key bytes of a variable or array element
inline constexpr size_t CSL_STREAM_MAX = 64;   // characters of _stream
inline constexpr int CSL_RUN_NEST_MAX = CMD_MAX_NESTING;

// One variable of a frame (tree node "cslVAR", ordered by the 50 key bytes, so the elements of an
// array follow the array's name). The value is the node's own: strings and lists are copies, the
// empty string the shared empty text.
struct cslVAR {
    CSTree tree;
    char key[CSL_VAR_KEY_MAX];  // zero-padded
    uint8_t keyLength;
    int32_t set;     // 0: declared (var, a missing argument) but without a value
    ExpValue value;  // EXP_INT, EXP_DBL, EXP_STR (empty), EXP_PSTR or EXP_LIST
    double real;     // the value as a real number
};

// A running while, foreach, foritem or =import block of a frame, newest first.
struct cmdRunningBlock {
    cmdRunningBlock *next;
    cmdCommand *record;
};

// A frame: one per running function call or hook call; the main program's is the outermost.
struct cmdCallContext {
    cmdCallContext *previous;
    CSTree *variables;  // cslVAR nodes
    cmdRunningBlock *blocks;
    int32_t depth;      // 0 for the outermost frame
    uint64_t call;      // the call's number, unique in the program's life; 0 for the outermost frame
    int32_t returning;  // a return statement unwinds the frame's loops
    ExpValue result;    // the function's result, owned
    cmdFUNCTION *function;
    const cmdCommand *caller;  // the record that made the call (the debugger's where)
};

// The run-time state of a program, made with it.
struct cmdRunState {
    cmdCallContext outermost;
    cmdCallContext *frame;       // the current frame
    int32_t keepRunning;         // hooks: the run goes on although the stop flag is set
    int32_t continueAfterError;  // start-up script and hooks
    int32_t leave;
    cmdCommand *resume;  // where a goto goes on once the loops it left have unwound
    cmdFUNCTION *errorFunction;
    int32_t inErrorFunction;  // an error inside the error function does not run it again
    int32_t stoppedOnError;   // the last run returned 0 on an error without error function
    int32_t callDepth;
    uint64_t calls;   // calls made: the last one's number
    int32_t nesting;  // nested runs: loop bodies, calls, hooks, imports, error functions, EVAL
    int32_t importsRunning;
    int32_t debuggerActive;
    int32_t debuggerStepping;
    int64_t idxWhile, numWhile, idxEach, numEach, idxItem, numItem;
    char *item;  // the current foritem item, counted heap, or null
    size_t itemLength;
    cslOutputLine *eachObject;  // the current foreach object's first line, or null
    cslOutputLine *eachEcho;    // the echo line of the running foreach command, or null
    char stream[CSL_STREAM_MAX + 1];
    int32_t streamType;  // set by the hooks for their run
    int32_t idxData;
    int32_t dspcmd;
    int32_t savedErrno;         // errno of the script's last failing C-library call
    uint32_t endBaseline;       // evEndRequestCount() when the run (a hook's, the program's) began
    uint32_t endFinalBaseline;  // evEndFinalCount() then
    int64_t endDeadline;        // evTimeNow() from which the run counts as asked to end; 0: none
    // foreach's command: issued and waited for -> its echo line (with its response lines after it
    // in the console's output), or null when it was not issued.
    cslOutputLine *(*issueLoopCommand)(cmdProgram *program, const char *text);
};

// Makes the run-time state and points the program's variable and call slots at it.
[[nodiscard]] cmdRunState *cmdCreateRunState(cmdProgram *program);
void cmdFreeRunState(cmdProgram *program);
inline cmdRunState *cmdRun(cmdProgram *program) {
    return program->run;
}
inline cslSession *cmdSession(cmdProgram *program) {
    return static_cast<cslSession *>(program->console);
}

// Filled by the hook functions' part: the value of an "event.", "data.", "alert.", "mqmd." or
// "cfh." name (indicator: the EXP_IND_* prefix flags of the token) -> 1 with the value, or 0 when
// it has none. Null: such names have no value.
extern int (*cslHookVariableResolver)(cmdProgram *program, uint16_t indicator, const char *name,
                                      size_t length, ExpValue *out);
// Filled by the debugger: called before a record runs while the debugger is active or stepping.
extern void (*cmdDebuggerStop)(cmdProgram *program, cmdCommand *record);

// Variables. Keys are a name ("@x") or an array element's key (expBuildArrayKey), at most 50
// bytes.
// The variable of that key in one frame, or null.
cslVAR *cslFindInFrame(cmdCallContext *frame, const char *key, size_t length);
// The variable searched from the current frame outwards (set or not), or null; *frame where.
cslVAR *cslFindVariable(cmdProgram *program, const char *key, size_t length,
                        cmdCallContext **frame = nullptr);
// The innermost frame that holds the name or, for an element's key, any element of its array.
cmdCallContext *cslFrameHolding(cmdProgram *program, const char *key, size_t length);
// Setting one: cslSetVariable (script/script.h).
// Removes one variable of a frame -> 1 when it was there.
int cslDeleteFromFrame(cmdCallContext *frame, const char *key, size_t length);
// The elements of the array name (without '%') in a frame, in key order.
cslVAR *cslFirstElement(cmdCallContext *frame, const char *name, size_t length);
cslVAR *cslNextElement(cslVAR *element, const char *name, size_t length);
// Frees every variable of a frame.
void cslFreeFrameVariables(cmdCallContext *frame);
// The variable's value copied into out (strings and lists owned by out) -> 1, or 0 when unset.
int cslCopyValue(const cslVAR *variable, ExpValue *out);

// Resolution of any name for expressions -> 1 with the value in out (owned by out), or 0.
int cslResolveVariable(cmdProgram *program, ExpExpression *request, const char *name, size_t length,
                       ExpValue *out);
// System variables: 1 with the value when the name is one.
int cslGetSystemVariable(cmdProgram *program, ExpExpression *request, const char *name, size_t length,
                         ExpValue *out);
// Only _stream and _error_func take a value; refusals print and raise the error flag -> 1 set.
int cslSetSystemVariable(cmdProgram *program, const char *name, size_t length, const ExpValue *value);
// The current foreach object's attribute -> 1 (an absent one is the empty string).
int cslGetResponseAttribute(cmdProgram *program, const char *name, size_t length, uint16_t indicator,
                            ExpValue *out);
// The joined attribute text of the current foreach object (counted heap), or null without one.
[[nodiscard]] char *cslJoinResponseLines(cmdProgram *program);
// Joining, finding and typing a response's attributes: cslJoinLines, cslFindAttribute and
// cslTypeAttributeValue (script/script.h).

// The expression callbacks of scripts and of the console's WHERE filters. The program is the
// caller block's word 1 (null: the console session's program).
int cslVariableCallback(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result);
int cslCallFunctionCallback(ExpExpression *e, ExpValue *function, ExpValue *args, ExpValue *result);

// Evaluation. Errors are printed (kind 128); a value-missing failure gives INT 0.
// A parsed expression into out (owned by out) -> 1, or 0.
int cslEvaluateParsed(cmdProgram *program, ExpExpression *e, ExpValue *out);
// The same as new counted-heap text (reals with 2 decimals; an unset value empty), or null.
[[nodiscard]] char *cslEvaluateParsedText(cmdProgram *program, ExpExpression *e);
// Parses (script table, the callbacks above; flags EXP_PARSE_*, 0: the script's usual) and
// evaluates a text -> 1 with the value in out, or 0 (printed).
int cslEvaluateValue(cmdProgram *program, const char *text, int64_t length, uint32_t basePosition,
                     uint32_t flags, ExpValue *out);
[[nodiscard]] char *cslEvaluateExpression(cmdProgram *program, const char *text, int64_t length,
                                          uint32_t basePosition, uint32_t flags);
int cslEvaluateToNumber(cmdProgram *program, const char *text, uint32_t basePosition, int64_t *number);
// The assignment statement (target and value parsed) -> 1 assigned, else 0.
int cslAssignExpression(cmdProgram *program, ExpExpression *target, ExpExpression *value);
// Truth of a condition: 1 true, 0 false, -1 failed (the error text printed).
int cslEvaluateCondition(cmdProgram *program, ExpExpression *e);

// Nesting of runs: 1 entered, or 0 with "Maximum script nesting depth of %d reached" (a runtime
// error of the record) when 1000 runs are open or the stack is nearly used up.
int cmdEnterNesting(cmdProgram *program, const cmdCommand *record);
void cmdLeaveNesting(cmdProgram *program);
// foritem's items: cmdNextItem (script/script.h).

// The run loop (run.cpp).
// Runs from the program's current record -> 1 at the end of the list or body or a return, 0 when
// stopped on an error, a stop request or an end of the program asked for since the run began.
int cmdRunCommands(cmdProgram *program);
// 1 when the program was asked to end (SIGTERM, STOP EV, the 'Q' key) since the run began, or the
// run's deadline (the ending hook's bound) has come: loops, waits and hooks end at once, whatever
// the hooks' keep-running flag says.
bool cmdEndAsked(const cmdProgram *program);
// The same for an end that is final (no STOP EV still waiting for its commit): the program ends.
bool cmdEndFinal(const cmdProgram *program);
// Calls a user function with evaluated arguments (args: count values) -> 1 with the result in
// *result (owned: strings copied), or 0 with INT 0 when the call failed.
int cmdCallFunctionArgs(cmdProgram *program, cmdFUNCTION *function, int count, const ExpValue *args,
                        ExpValue *result);
// Runs a function without arguments through a call record of its own, keeping the program's
// current record, insertion point and reader -> as cmdRunCommands.
int cmdRunBlock(cmdProgram *program, cmdFUNCTION *function);
// Runs an =import block (its start record) -> as cmdRunCommands.
int cmdEnterImport(cmdProgram *program, cmdCommand *importStart);
// An =import's parameters: cmdBindParms (script/script.h).
// Prepares a loop or function body (first to last, both included) for its next pass.
void cmdResetLoopMarks(cmdProgram *program, cmdCommand *first, cmdCommand *last);

// ---------------------------------------------------------------------------------------------
// Start-up script, hooks and debugger (startup.cpp, hooks.cpp, debugger.cpp).

struct AlertDef;
struct cslSession;

// The session's program, made on first use; null when storage ran out (slots.cpp).
cmdProgram *cmdSessionProgram(cslSession *session);

// The start-up script's file: the option text split by its last ':', '/' or '\' (a text without
// '.' is a folder), an empty folder the program's, an empty name "zunt.vdr", joined with '/'. 1, or
// 0 when out is too small.
int cslStartupScriptPath(const char *option, const char *programFolder, char *out, size_t size);

// Forgets the hook table (the session's program is freed).
void cslForgetHooks();

// The record and alert variables of the running hook: a name carrying an event., data., alert.,
// mqmd., cfh., before., after., cmddata. or cmdctx. indicator (EXP_IND_*) gives 1 with its value,
// the empty string when the running hook has no such value; 0 for other names.
int cslResolveHookVariable(cmdProgram *program, uint16_t indicator, const char *name, size_t length,
                           ExpValue *out);
// The name-catalogue's "data." keywords: 1 when a statistics display knows the keyword.
int cslLookupKeywordValue(const char *name, size_t length, uint16_t indicator);

// The debugger's own (debugger.cpp): the run's debugger flags from the program's debug mode (-!,
// '!') and trace (-D t); the renumbering after text was queued into a list.
void dbgSyncFlags(cmdProgram *program);
// 1 while the debugger runs on without stopping (run, runout) until a breakpoint.
int dbgRunFlag();
void dbgResolveBreakpoints(cmdProgram *program, cmdCommand *first, cmdFUNCTION *function);
// Files opened by scripts (files.cpp), one process-wide list.
inline constexpr int32_t CMD_MAX_OPEN_FILES = 256;  // so a hook that leaks files cannot use up descriptors
inline constexpr size_t CMD_FILE_LINE = 20000;      // FGETS's longest line, its NUL included
inline constexpr int32_t CMD_FILE_NOT_OPEN = -3;
// The errno of the script's last failing C-library call.
void cmdSaveErrno(int error);
int cmdSavedErrno();
// FOPEN -> the file identifier, or -1 (errno saved; EINVAL for a bad mode, EMFILE at the limit).
int32_t cmdFileOpen(const char *path, const char *mode);
// The next line without its line feed (*line valid until the next call) -> its length, -1 at the
// end, -2 on an error, CMD_FILE_NOT_OPEN.
int32_t cmdFileGets(int32_t id, char **line, size_t *length);
// Writes the unfinished print line, closes -> 1, or 0 when the identifier is not open.
int cmdFileClose(int32_t id);
// 1 when the file's print line holds unfinished text, 0 when not, or CMD_FILE_NOT_OPEN.
int cmdFileLineState(int32_t id);
// Appends formatted print text and writes the complete lines -> 1, 0 on a write error, or
// CMD_FILE_NOT_OPEN.
int cmdFilePrint(int32_t id, const cmdText *formatted);
// Closes every file as FCLOSE does (the console's end).
void cmdCloseAllFiles();

// Built-in functions (builtins.cpp): registers the script's functions with the expression language.
void cmdInstallBuiltins();
// The program an expression of the script belongs to, or null.
inline cmdProgram *cmdProgramOf(const ExpExpression *e) {
    return static_cast<cmdProgram *>(e->caller.context);
}
// Parses (cached 1: through the parse cache) and evaluates an expression text of the script -> 1
// with the value in *out (owned: release it; a missing value is the integer 0), or 0 with *error a
// counted-heap message (null when even that could not be had).
int cmdEvaluateValue(cmdProgram *program, const char *text, size_t length, uint32_t basePosition, int cached,
                     ExpValue *out, char **error);

// print and fprint (print.cpp).
struct cmdPrintFormat {
    int32_t width;     // -1 none
    int32_t decimals;  // of reals
    char justify;      // 0, 'l' or 'r'
    bool separator;    // a blank before the item
    bool noLineEnd;
};
// The specifier at text (after blanks): 1 with *format and *rest (past the closing ':', or text when
// there is none), or 0 with the message in error.
int cslParseFormat(const char *text, const char *end, cmdPrintFormat *format, const char **rest, char *error,
                   size_t errorSize);
// Formats the items onto line (the unfinished line so far; continuing: an empty line carries on
// unfinished text kept elsewhere) -> 1, or 0 after printing the error (line as it was).
int cslFormatPrintLine(cmdProgram *program, const char *items, cmdText *line, bool continuing);
