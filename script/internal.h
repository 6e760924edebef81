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
    return static_cast<cmdProgram *>(e->caller.word[1]);
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
// The statements, echoed as given -> 1, or 0 after printing the error. fprint's text holds its
// keyword, the file identifier and the items.
int cslDoPrint(cmdProgram *program, const char *statement, const char *items);
int cslDoFPrint(cmdProgram *program, const char *statement);
