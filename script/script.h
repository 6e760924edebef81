// Script interpreter: the reader that turns script text (a file, the console's input, queued text or
// lines in memory) into command records, the parser of the statements, the user functions and their
// expression rows, and the error listing and echo of the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "expr/expr.h"

struct CSTree;
struct cmdCommand;
struct cmdFUNCTION;
struct cmdProgram;
struct cmdReadContext;
struct CslImportRequest;
struct cmdRunState;
struct cmdRetiredDefinition;

// ---------------------------------------------------------------------------------------------
// Command records

enum cmdType : uint32_t {
    CMD_INPUT = 1,    // the physical line as read
    CMD_MULTI = 2,    // an input line holding several ';'-separated statements
    CMD_EMPTY = 3,    // empty line
    CMD_COMMAND = 4,  // command line for the console dispatcher
    CMD_WHILE = 5,
    CMD_FOREACH = 6,
    CMD_ENDWHILE = 7,
    CMD_ENDFOR = 8,
    CMD_IF = 9,
    CMD_ENDIF = 10,
    CMD_ELSE = 11,
    CMD_MESSAGE = 12,  // an error text printed when the run reaches it
    CMD_COMMENT = 13,
    CMD_IMPORT = 14,  // =import block start and end
    CMD_IMPORT_END = 15,
    CMD_QUEUED = 16,  // queued-text block start and end
    CMD_QUEUED_END = 17,
    CMD_CONTINUE = 18,
    CMD_BREAK = 19,
    CMD_EXPRESSION = 20,      // value discarded
    CMD_EXPRESSION_RUN = 21,  // value run as command text
    CMD_ASSIGN = 22,
    CMD_FORITEM = 23,
    CMD_LEAVE = 24,
    CMD_FUNC = 25,
    CMD_ENDFUNC = 26,
    CMD_CALL = 27,
    CMD_LABEL = 28,
    CMD_GOTO = 29,
    CMD_VAR = 30,
    CMD_RETURN = 31,
    CMD_CALL_OUTSIDE = 32,  // a call made from outside the script (hooks, expression callbacks)
};

inline constexpr uint32_t CMD_F_SHOWN = 0x01;        // echoed or printed as an error
inline constexpr uint32_t CMD_F_ECHOED = 0x02;       // echo done in this pass
inline constexpr uint32_t CMD_F_SKIP = 0x04;         // failed to parse or cancelled
inline constexpr uint32_t CMD_F_ACTIVE = 0x10;       // held by a running loop, call or import
inline constexpr uint32_t CMD_F_INPUT_ECHO = 0x20;   // made while input echo was on
inline constexpr uint32_t CMD_F_BREAK = 0x40;        // break requested on a loop record
inline constexpr uint32_t CMD_F_SUBSTITUTED = 0x80;  // made from a line whose <@...> values were put in
inline constexpr uint32_t CMD_F_GOTO_SCOPE = 0x200;  // goto and label in different loop scopes

// One parsed argument of a call.
struct cmdArgument {
    cmdArgument *next;
    ExpExpression *expression;
};

struct cmdCommand {
    cmdCommand *next;
    uint32_t type;
    uint32_t flags;
    cmdFUNCTION *owner;         // null in the main program
    cmdCommand *partner;        // block start and end of each other; goto: its label
    ExpExpression *target;      // assignment: the parsed target
    cmdFUNCTION *function;      // call: the called function
    cmdCommand *enclosing;      // the innermost open block when the record was made
    ExpExpression *expression;  // condition, value or return expression
    cmdArgument *arguments;     // call: the parsed arguments
    uint32_t number;            // statement number
    uint32_t line;              // source line and column
    uint32_t column;
    uint64_t serial;   // order of making: which records a parse made (cmdProgram::parseFloor)
    uint64_t call;     // queued block: the call that queued it (cmdCallContext::call), 0 the main program
    const char *file;  // input lines read from an =import file: its name (in this block)
    char text[1];      // NUL-terminated, allocated with the record
};

// A user function's committed or pending definition.
struct cmdDefinition {
    cmdCommand *head;
    cmdCommand *tail;
    int32_t parameterCount;
    char (*parameters)[33];  // "@" + name, counted heap
};
// A definition replaced while calls of it were running.
struct cmdRetiredDefinition {
    cmdRetiredDefinition *next;
    cmdDefinition definition;
};

inline constexpr int CMD_NAME_MAX = 31;  // function, parameter, var and label names

// A node of the function tree: the 31-byte zero-padded name is the key, so names are
// case-sensitive. The node's address never changes, so its `ExpOperator` row is what parsed
// expressions keep when the function is defined again.
struct cmdFUNCTION {
    unsigned char tree[40];       // CSTree header
    char key[CMD_NAME_MAX];       // zero-padded name
    char eyeCatcher[12];          // "cmdFUNCTION"
    char name[CMD_NAME_MAX + 1];  // NUL-terminated, for the row and messages
    ExpOperator row;
    uint32_t statementCounter;
    int32_t committed;  // 1 once a definition has been committed
    cmdDefinition definition;
    cmdDefinition pending;
    char *sourceName;  // counted heap, or null
    // Calls running now; definitions replaced meanwhile wait for the last one to return.
    int32_t running;
    cmdRetiredDefinition *retired;
};

// A list that records are linked into: the main program or a function's definition.
struct cmdList {
    cmdCommand **head;
    cmdCommand **tail;
};

// ---------------------------------------------------------------------------------------------
// Readers

inline constexpr size_t CMD_LINE_AREA = 10000;  // bytes per physical line, the NUL included
inline constexpr int CMD_MAX_NESTING = 1000;    // open blocks of one parse or run
inline constexpr size_t CMD_STACK_RESERVE = 256 * 1024;

// The =echo switches: which lines are shown as they are read or run. input 0 switches every
// echo off.
// The fields stand in the order of the console's switch numbers.
struct cmdEchoOptions {
    int32_t input;
    int32_t cmds;     // command lines (kind 1)
    int32_t lang;     // script statements (kind 4)
    int32_t func;     // statements inside functions
    int32_t langcon;  // statements typed at the console
    int32_t resp;     // command responses
    int32_t blank;    // empty lines
};
inline constexpr int CMD_ECHO_SWITCHES = 7;
// input, cmds, langcon and resp on; lang, func and blank off.
extern const cmdEchoOptions cmdDefaultEcho;
// The active reader's echo switch number which (0 input to 6 blank), or the console's own while
// no reader is active: read (set -1) or set (0 or 1) -> the switch's value, or -1 for an unknown
// switch. A new reader starts with the switches of the active one.
int cmdEchoSwitch(cmdProgram *program, int which, int set);

// Reader operation: the next physical line into reader->line -> 1, 0 at the end of input, or -1
// when the line is longer than the line area (the rest of it has been passed over).
using cmdReaderOp = int (*)(cmdProgram *program, cmdReadContext *reader);

struct cmdReadContext {
    cmdReadContext *parent;
    cmdReaderOp read;
    char *pendingBuffer;  // owned text that pending points into
    const char *pending;  // the rest of a line after a ';'
    char *name;           // source name, the whole path
    std::FILE *file;
    int32_t ownsFile;
    uint64_t device;  // identity of a file source
    uint64_t inode;
    char *line;                      // line area (CMD_LINE_AREA bytes, made on first read)
    const char *const *memoryLines;  // memory reader
    size_t memoryCount;
    size_t memoryNext;
    int32_t loopNesting;
    int32_t readError;
    int32_t endOfInput;
    int32_t imported;         // the source is an =import file
    int32_t console;          // the source is the console's own input
    cmdList list;             // where new records go
    cmdFUNCTION *listOwner;   // the function whose list that is, or null
    cmdCommand *insertAfter;  // after this record; null: at the end of the list
    cmdCommand **blocks;      // open blocks, innermost last
    int32_t blockDepth;
    int32_t blockCapacity;
    uint32_t lineNumber;
    uint32_t column;
    int32_t stopOnError;
    int32_t substituted;  // the text is a substitution's result: its records are marked so
    cmdEchoOptions echo;
};

// The state that an =import start record keeps behind its text.
struct cmdImportState {
    cmdReadContext *reader;
    char *parameters;  // the text of the parameters, or null
    cmdEchoOptions savedEcho;
    int32_t savedStopOnError;
};
static_assert(sizeof(cmdImportState) <= 456);

// Where the interpreter's lines go (kind as the console's output lines; commandNumber -1 the
// current) -> the line made, or null. The console's cslAddOutput once it is wired.
using cmdOutputFn = void *(*)(cmdProgram *program, uint32_t kind, const char *text, int64_t length,
                              int32_t commandNumber);
inline constexpr uint32_t CMD_OUT_HIDDEN = 0x80000000;      // recorded, not displayed
inline constexpr uint32_t CMD_OUT_INPUT_ECHO = 0x40000000;  // echoed under the input-echo option

// An =import line met while parsing, handed to the console's local command handler -> 1 when it
// was handled (the handler reads the file with cmdParseImport).
using cmdLocalCommandFn = int (*)(cmdProgram *program, const char *text);
// A command line (type 4) reached by the run loop, handed to the console's dispatcher.
using cmdIssueCommandFn = void (*)(cmdProgram *program, const char *text);

// Before a line is read from the console's own input with input echo on: the console writes its
// prompt (making its on-demand connection first).
using cmdPromptFn = void (*)(cmdProgram *program);

// Run-time variables and user-function calls, filled by the run-time part of the interpreter; the
// parse-time trial never calls them.
using cmdVariableFn = int (*)(cmdProgram *program, ExpExpression *e, ExpValue *partner, ExpValue *var,
                              ExpValue *result);
using cmdCallFn = int (*)(cmdProgram *program, ExpExpression *e, ExpValue *function, ExpValue *args,
                          ExpValue *result);

inline constexpr char CMD_PROGRAM_EYE[8] = "cmdPROG";

// The console's command list and the script's state within one console. The expression parser
// gets it as the function tree (word 0 of the caller block); the eye-catcher tells it from what
// other callers keep there.
struct cmdProgram {
    char eyeCatcher[8];  // CMD_PROGRAM_EYE
    cmdCommand *head;
    cmdCommand *tail;
    cmdCommand *current;  // the next to run
    cmdCommand *lastExecuted;
    CSTree *functions;          // cmdFUNCTION nodes
    cmdReadContext *reader;     // the active reader (top of the stack)
    cmdFUNCTION *defining;      // the function whose definition is being read
    uint32_t statementCounter;  // starts at 1
    uint32_t *commandNumber;    // the console's command number (ownCommandNumber without one)
    uint32_t ownCommandNumber;
    int32_t parseError;
    int32_t errorFlag;
    int32_t stopFlag;
    int32_t failed;          // storage ran out
    int32_t debuggerPrompt;  // nothing is echoed or listed while the debugger prompts
    int32_t importsReading;  // =import files being read: commits of definitions wait
    int32_t nesting;         // open blocks of the parse under way
    int32_t forbidStdin;     // reading standard input stops the console instead
    cmdEchoOptions echo;     // the console's own switches, while no reader is active
    cmdOutputFn output;
    void *console;  // the console session that holds the program, for its output
    cmdLocalCommandFn localCommand;
    cmdIssueCommandFn issueCommand;  // null: the line is only echoed
    cmdPromptFn prompt;
    cmdVariableFn variables;
    cmdCallFn callFunction;
    cmdCommand **toEcho;  // records waiting for their input echo
    size_t toEchoCount;
    size_t toEchoCapacity;
    uint64_t serial;       // never the same for two programs: cached expressions name the one they serve
    uint64_t recordsMade;  // serial of the last record made
    // Records made before this serial were parsed earlier and may be running: a parse error of
    // text parsed while the program runs (queued text, a runtime =import) marks only its own
    // records skip. 0: every record after the current one may be marked.
    uint64_t parseFloor;
    char *printText;  // the print statement's unfinished line (counted heap)
    size_t printLength;
    size_t printCapacity;
    cmdRunState *run;  // frames, variables and the run loop's state
};

// ---------------------------------------------------------------------------------------------
// Program, records and functions

// A new, empty program (counted heap) or null; its output goes to the default sink until set.
[[nodiscard]] cmdProgram *cmdCreateProgram();
// Frees the readers, the records, the functions and the program.
void cmdFreeProgram(cmdProgram *program);

// 1 when the statement's first token is a script keyword or starts with '@' or '_'.
int cmdIsKeyword(const char *text);

// New record at the active reader's insertion point (length -1: up to the NUL), numbered; a message
// record is listed at once. Null when storage ran out ("Failed to allocate command storage").
cmdCommand *cmdNewCommand(cmdProgram *program, uint32_t type, const char *text, int64_t length);
// Types that take the current statement number without advancing it: no statement of their own.
bool cmdKeepsNumber(uint32_t type);
// A block of type 14 or 16 and its end record, partners; the start record, or null.
cmdCommand *cmdNewBlock(cmdProgram *program, uint32_t type, const char *text);
// Unlinks a record from its list and frees it with what it holds.
void cmdFreeCommand(cmdProgram *program, cmdCommand *command);
// Makes the message "Found '%s' where '%s' was expected" and flags the parse error.
void cmdExpectEnd(cmdProgram *program, const char *expected, const cmdCommand *found);

// The function of that name (length -1: up to the NUL) when it is defined or being defined, or null.
cmdFUNCTION *cmdFindFunction(cmdProgram *program, const char *name, int64_t length);
// The expression parser's lookup: the function's row, or null. owner is the caller block's program;
// anything without the cmdPROG eye-catcher knows no function.
const ExpOperator *cmdFindFunctionRow(void *owner, const char *name, size_t length);
// Commits (commit 1) or discards (0) the pending definitions of every function; -1 frees every
// function with its definitions.
void cmdFreeFunctions(cmdProgram *program, int commit);

// ---------------------------------------------------------------------------------------------
// Readers and parsing

// New readers, not yet pushed; null when the source cannot be opened (*rc the OS error) or storage
// ran out. A file reader keeps the file's identity for the =import recursion check.
[[nodiscard]] cmdReadContext *cmdOpenFileReader(cmdProgram *program, const char *path, int *rc);
[[nodiscard]] cmdReadContext *cmdStdinReader(cmdProgram *program);
// Lines in memory (each without its line end); the lines must outlive the reader.
[[nodiscard]] cmdReadContext *cmdMemoryReader(cmdProgram *program, const char *name, const char *const *lines,
                                              size_t count);
void cmdPushReader(cmdProgram *program, cmdReadContext *reader);  // the program takes it over
void cmdPopReader(cmdProgram *program);                           // pops and frees the active reader
void cmdFreeReader(cmdReadContext *reader);

// Parses the active source to its end or to the first parse error -> 1.
int cmdParseFile(cmdProgram *program);
// One statement -> 1 when one was read; *out the record that ends it.
int cmdParseCommand(cmdProgram *program, int blockMode, cmdCommand **out);
// Statements until the input ends; in block mode up to a record of type 7, 8, 10, 11 or 26,
// returned in *out -> 1 when that record ended it.
int cmdReadCommands(cmdProgram *program, int blockMode, cmdCommand **out);

// Reads the reader's source into an =import block at the insertion point, with its parameter
// text (or null) -> the start record, or null. The reader is kept in the block's state.
cmdCommand *cmdParseImport(cmdProgram *program, cmdReadContext *reader, const char *parameters);
cmdImportState *cmdImportStateOf(cmdCommand *importStart);

// Parses text into records at the current position of the running list.
void cmdQueueText(cmdProgram *program, int wrap, int markEmpty, const char *text);
void cmdQueueString(cmdProgram *program, const char *text);
// The same for a line whose inline values were substituted: its records carry CMD_F_SUBSTITUTED,
// and no value they hold is substituted again (a value that reads "<@a>" stays that text).
void cmdQueueSubstituted(cmdProgram *program, int wrap, int markEmpty, const char *text);

// How the text a value goes into is read: a line of statements, each of which says by its first
// token whether it is script (print, wait, keywords, expressions, calls) or a command; an expression
// (foritem's header); a command (foreach's).
inline constexpr int CMD_INLINE_LINE = 0;
inline constexpr int CMD_INLINE_EXPRESSION = 1;
inline constexpr int CMD_INLINE_COMMAND = 2;
// The text with every <@...> and <_...> replaced by the value of the expression between the
// brackets, each value data of the token it falls in (script/inline.cpp) -> a new counted-heap
// text, or null when nothing was replaced; *ok 0 when an evaluation failed or a value could not be
// put in (the error printed).
[[nodiscard]] char *cmdSubstituteInline(cmdProgram *program, const char *text, int mode, int *ok);
// The text of an expression's value that is to run as commands -> counted-heap text, or null (the
// error printed). When the script's literals and values both make the text, it is built as
// cmdSubstituteInline builds a line, the literals' inline values put in too, and *built is 1: the
// text is not to be substituted again. Otherwise the value's text as it stands, *built 0.
[[nodiscard]] char *cmdExpressionLine(cmdProgram *program, ExpExpression *e, int mode, int *built);
// The same for an expression's text, parsed first (a parse error printed).
[[nodiscard]] char *cmdExpressionTextLine(cmdProgram *program, const char *text, size_t length, int mode,
                                          int *built);

// Parses an expression with the script's tables and callbacks -> the expression, or null with a
// message record made.
[[nodiscard]] ExpExpression *cmdParseExp(cmdProgram *program, const char *text, int64_t length,
                                         uint32_t basePosition);

// ---------------------------------------------------------------------------------------------
// Listing and echo

void cmdShowLine(cmdProgram *program);
void cmdRuntimeError(cmdProgram *program, const cmdCommand *command, const char *message);
// Echoes a statement as kind 4 when it is script syntax and 1 otherwise, or as the kind given (the
// console's for a command it issues); hidden when the echo switches say so -> the output line, or
// null (nothing is echoed while the debugger prompts).
void *cmdEchoCommand(cmdProgram *program, int isCommand, int suppress, const char *text, uint32_t kind = 0);
// Prints a line through the program's output -> the line made, or null.
void *cmdOutput(cmdProgram *program, uint32_t kind, const char *text, int64_t length = -1);
// The committed functions whose names match the pattern ('*' and '?', no case), in name order:
// "func name(parameters)", with list also the comment heading and the body's source lines (kind
// 32); "No functions defined" or "No matching functions found" when none is shown -> the count.
int cmdShowFunctions(cmdProgram *program, const char *pattern, size_t length, int list);
// =import (the console's request): the file, joined to the importing file's directory, read into
// an =import block after the importing line; refused inside a running function and when the file
// is already being read further up the chain of sources -> 1 read, or 0 (the messages given).
int cmdImportFile(cmdProgram *program, const CslImportRequest *request);

// The output of programs whose own is not set; tests and the console install theirs.
cmdOutputFn cmdSetDefaultOutput(cmdOutputFn output);

// ---------------------------------------------------------------------------------------------
// Start-up script, hooks and debugger

// Loads the start-up script the option names (a folder, or a file) into the console's program and
// runs it: 1 when it ran and defines all eleven hooks.
int LoadVEDRAFile(const char *option);
// The eleven hooks by name, the first missing one reported: 1 when all are defined.
int cslFindHooks(cmdProgram *program);
// The record hook of the kind (the stream type) over the engine's EvRecordHook, its stream list
// decided: 1, or 0 for another kind; 2 when the program's end kept the hook from running or
// abandoned it (the record is not taken). The other hooks by EvHookKind: 1.
int cslCallRecordHook(void *context, int32_t kind);
int cslCallHook(int32_t kind, void *argument);

// The debugger. dbgCheckStop is called by the run loop before every statement while debug mode or
// tracing is on; an "end" or the end of its input sets the console's stop flag.
void dbgCheckStop(cmdProgram *program, cmdCommand *command);
int dbgCommand(cmdProgram *program, const char *text);
// Forgets breakpoints and listing positions (a new program).
void dbgReset();
// Text a running script takes from outside, which the fuzz target drives directly. Declared here
// only: the interpreter's own files reach them through script/internal.h.

struct cslVAR;
// The print and fprint statements, echoed as given -> 1, or 0 after printing the error. fprint's
// text holds its keyword, the file identifier and the items.
int cslDoPrint(cmdProgram *program, const char *statement, const char *items);
int cslDoFPrint(cmdProgram *program, const char *statement);
// The next non-empty item of a foritem text (split at commas outside quotes and brackets, blanks
// trimmed) -> 1 with the item, or 0 at the end; *cursor moves on (null once the text is done).
int cmdNextItem(const char **cursor, const char *end, const char **item, size_t *length);
// Binds an =import's parameter text to the array @_Parm -> 1, or 0 ("Expected ',' between
// parameters").
int cmdBindParms(cmdProgram *program, const char *text);
// The joining of a response object's lines (each without line end).
[[nodiscard]] char *cslJoinLines(const char *const *lines, const size_t *lengths, size_t count);
// An attribute "NAME(" of joined or raw text: 1 with the trimmed value's span (a DESCR keeps the
// blanks it starts with), else 0.
int cslFindAttribute(const char *text, size_t textLength, const char *name, size_t nameLength,
                     const char **value, size_t *valueLength);
// A response value typed as the script reads it (short/long: the EXP_IND_SHORT or _LONG flags).
int cslTypeAttributeValue(const char *value, size_t length, uint16_t indicator, ExpValue *out);
// Sets a variable (value null: declared without a value). local: in the current frame; outer: in
// the outermost frame; else where the name is found, or the current frame. '_' names are the
// system variables. -> the variable, or null (refused, or no storage: the old value stays).
cslVAR *cslSetVariable(cmdProgram *program, int local, int outer, const char *key, size_t length,
                       const ExpValue *value);

// Fills the engine's script slots.
void scriptInstall();
