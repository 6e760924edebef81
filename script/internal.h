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
int32_t cmdParameterCount(cmdProgram *program, const cmdFUNCTION *function);

// The variable and function callbacks of script expressions.
int cmdVariableCallback(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result);
int cmdFunctionCallback(ExpExpression *e, ExpValue *function, ExpValue *args, ExpValue *result);

// Fills the console's script slots (slots.cpp).
void scriptInstallConsole();

// ---------------------------------------------------------------------------------------------
// Start-up script, hooks and debugger (startup.cpp, hooks.cpp, debugger.cpp).

struct AlertDef;
struct cslSession;

// The session's program, made on first use; null when storage ran out (slots.cpp).
cmdProgram *cmdSessionProgram(cslSession *session);

// Calls a user function with no arguments from outside the script (hooks), through the run loop:
// keepRunning 1 for the hooks that read no record. 1 when it ran. Filled by the run loop; empty:
// no hook runs.
extern int (*cmdHookRunner)(cmdProgram *program, cmdFUNCTION *function, int keepRunning);

// The start-up script's file: the option text split by its last ':', '/' or '\' (a text without
// '.' is a folder), an empty folder the program's, an empty name "zunt.vdr", joined with '/'. 1, or
// 0 when out is too small.
int cslStartupScriptPath(const char *option, const char *programFolder, char *out, size_t size);
int LoadVEDRAFile(const char *option);

// The eleven hooks by name, first missing one reported: 1 when all are defined.
int cslFindHooks(cmdProgram *program);
// Forgets the hook table (the session's program is freed).
void cslForgetHooks();
int cslCallRecordHook(void *context, int32_t kind);
int cslCallHook(int32_t kind, void *argument);
// 1 while a hook of the engine runs on this program.
int cslInHook();

// The record and alert variables of the running hook: a name carrying an event., data., alert.,
// mqmd., cfh., before., after., cmddata. or cmdctx. indicator (EXP_IND_*) gives 1 with its value,
// the empty string when the running hook has no such value; 0 for other names.
int cslResolveHookVariable(cmdProgram *program, uint16_t indicator, const char *name, size_t length,
                           ExpValue *out);
// _stream, _streamtype, _idxData and _dspcmd: 1 with the value, 0 for other names.
int cslGetStreamVariable(const char *name, size_t length, ExpValue *out);
// An assignment to _stream (at most 64 characters are kept).
void cslSetStreamVariable(const char *text, size_t length);
// The name-catalogue's "data." keywords: 1 when a statistics display knows the keyword.
int cslLookupKeywordValue(const char *name, size_t length, uint16_t indicator);

// The debugger. dbgCheckStop is called by the run loop before every statement while debug mode or
// tracing is on: 0 to run the statement, or 0 with the console's stop flag set.
int dbgCheckStop(cmdProgram *program, cmdCommand *command);
int dbgCommand(cmdProgram *program, const char *text);
void dbgResolveBreakpoints(cmdProgram *program, cmdCommand *first, cmdFUNCTION *function);
// The run loop's assignment of a text typed at the prompt: 1 when it ran. Empty: refused.
extern int (*cmdDebugAssign)(cmdProgram *program, const char *text);
// Forgets breakpoints and listing positions (a new program).
void dbgReset();
