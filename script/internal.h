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
