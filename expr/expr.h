// Expression language: typed values, operator and function tables, the parser that turns filter and
// script texts into postfix lists, and the evaluator that runs them through the caller's callbacks.
// Used by the WHERE filters of the command server and statistics displays, the console and scripts.
#pragma once

#include <cstddef>
#include <cstdint>

struct ExpValue;
struct ExpOperator;
struct ExpExpression;

// ---------------------------------------------------------------------------------------------
// Values

// Type codes of `ExpValue`. The three string types share the low byte 8; only ownership differs.
inline constexpr uint16_t EXP_INT = 0x01;     // signed 64-bit integer
inline constexpr uint16_t EXP_DBL = 0x02;     // 64-bit real
inline constexpr uint16_t EXP_VAR = 0x04;     // variable reference; the name (or array key) is owned
inline constexpr uint16_t EXP_STR = 0x08;     // text held elsewhere; never freed here
inline constexpr uint16_t EXP_OP = 0x10;      // operator, function or punctuation token
inline constexpr uint16_t EXP_LIST = 0x40;    // list of texts; the buffer is owned when its size is not 0
inline constexpr uint16_t EXP_PSTR = 0x108;   // text made during evaluation; owned by its holder
inline constexpr uint16_t EXP_EPSTR = 0x208;  // text copied into the parsed expression; owned by it

// One typed value: a token, a postfix item, an operand, a function argument or a result.
// value: INT i, DBL d, STR/PSTR/EPSTR/LIST/VAR len (bytes; a LIST's buffer size with its end marker),
// OP op. data: string bytes (not NUL-terminated), the LIST buffer, the NUL-terminated VAR name; an OP
// token of a function call holds its parameter count in params instead. An INT or DBL has null there,
// or the NUL-terminated text the caller read the number from (held by the caller, never freed here).
struct ExpValue {
    ExpValue *next;
    ExpValue *previous;
    uint16_t type;
    uint16_t position;  // offset of the token in the text (messages add the base position)
    union {
        int64_t i;
        double d;
        uint64_t len;
        const ExpOperator *op;
    } value;
    union {
        char *data;
        uintptr_t params;
    };
    uint64_t reserved;
    uint16_t subscripts;  // array subscripts of a VAR
    uint16_t indicator;   // EXP_IND_* flags found in a VAR name
};

inline bool expIsString(const ExpValue *v) {
    return (v->type & 0xFF) == EXP_STR;
}

// Frees what the value owns (VAR name, PSTR text, LIST buffer) and leaves it not set (type 0).
// STR and EPSTR data are never freed.
void expReleaseValue(ExpValue *v);
// Frees every record of a token or postfix list with all the data the records own, EPSTR included.
void expFreeValueList(ExpValue **head);

// Setters for results; the string and list forms do not copy.
void expSetInt(ExpValue *v, int64_t i);
void expSetDouble(ExpValue *v, double d);
void expSetString(ExpValue *v, uint16_t type, char *text, size_t length);

// List buffer: elements of a signed 16-bit length (machine order) and that many bytes, ended by -1.
struct ExpListCursor {
    const uint8_t *at;
    const uint8_t *end;
};
ExpListCursor expListBegin(const ExpValue *list);
// Next element, or false at the end marker or where the buffer is damaged.
bool expListNext(ExpListCursor *cursor, const char **text, size_t *length);
// Total length of the elements.
uint64_t expListTotalLength(const ExpValue *list);
// Builds an owned LIST from count texts (each at most 32767 bytes) -> 1, or 0 when out of memory
// or a text is too long.
[[nodiscard]] int expMakeList(ExpValue *result, size_t count, const char *const texts[],
                              const size_t lengths[]);

// Conversions (every real-to-integer conversion goes through expDoubleToInteger: truncation toward
// zero, saturating at lo and hi, NaN giving 0).
int64_t expDoubleToInteger(double d, int64_t lo, int64_t hi);
// INT its low 32 bits, DBL truncated, a string its length, a LIST its total length, other 0.
int32_t expValueAsInt32(const ExpValue *v);
// INT its value, DBL its value, a string its length, a LIST its total length, other 0.
double expValueAsDouble(const ExpValue *v);
// New counted-heap NUL-terminated text of the value, or null with the error in the expression.
[[nodiscard]] char *expValueToString(ExpExpression *e, const ExpValue *v, int decimals);
// -1, 0 or 1; a null record sorts first. Used by the script's SORT and SORTD.
int expCompareValues(ExpExpression *e, const ExpValue *a, const ExpValue *b);
// 1 when the text is an optional "-" and digits with at most one "." (at least one digit).
int expIsNumber(const char *text, size_t length);
// One trace line of a value through the platform trace.
void expDumpLexeme(const ExpValue *v);

// Array element keys: name, "%", subscript count (1 to 4), pad count p, p bytes 0xDD, then each
// subscript as a u32 in machine order starting at a multiple of 4. Keys hold 0x00 bytes.
inline constexpr int EXP_MAX_SUBSCRIPTS = 4;
// Writes the key into out -> its length, or 0 when out is too small or count is out of range.
[[nodiscard]] size_t expBuildArrayKey(const char *name, size_t nameLength, const uint32_t *subscripts,
                                      int count, char *out, size_t outSize);
// name[s1,s2] for messages (a key without "%" is the name alone), NUL-terminated and cut to outSize
// -> the length written.
size_t expFormatArrayName(const char *key, size_t keyLength, char *out, size_t outSize);

// ---------------------------------------------------------------------------------------------
// Operator and function tables

// Operator handler: (expression, row, left, right or null, result) -> 1 or 0. A built-in function
// gets its arguments as an array ended by a record of type 0 in place of left, and that end record
// in place of right: an argument whose value is not set has type 0 as well, so only the end tells
// how many there are (expArgumentCount).
using ExpHandler = int (*)(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                           ExpValue *result);

// Number of a function's arguments: end - args (at most 20); with a null end, the records before
// the first of type 0, which is right only when no argument can be not set.
int expArgumentCount(const ExpValue *args, const ExpValue *end);

inline constexpr uint32_t EXP_OPF_BINARY = 0x01;
inline constexpr uint32_t EXP_OPF_UNARY = 0x02;  // unary operator or punctuation
inline constexpr uint32_t EXP_OPF_FUNCTION = 0x04;
inline constexpr uint32_t EXP_OPF_WORD = 0x10;         // name of letters, digits, "." and "_"
inline constexpr uint32_t EXP_OPF_ALSO_BINARY = 0x20;  // unary "+" and "-"
inline constexpr uint32_t EXP_OPF_USER = 0x40;         // a script's own function

// One row of an operator table; a table ends with a row whose name is null. Rows of the two
// built-in tables have their name length and word flag set at compile time.
struct ExpOperator {
    const char *name;
    uint16_t incoming;  // precedence when the operator arrives
    uint16_t inStack;   // precedence while it waits on the operator stack
    uint32_t flags;
    ExpHandler handler;
    int32_t parameters;    // of a function; -1 takes any number
    uint32_t byReference;  // 1 the first parameter, 2 the second, passed as a variable
    uint64_t nameLength;
};

extern const ExpOperator expScriptOperatorTable[];  // 74 rows and the end row
extern const ExpOperator expFilterOperatorTable[];  // 47 rows and the end row

// The script interpreter's functions (rows 48 to 69 of the script table, SORT to TRIMSTR) call
// through slots that the script subsystem fills once at start -> 1 when the name is one of them.
// An empty slot fails with "Function %s is not available".
int expRegisterScriptFunction(const char *name, ExpHandler handler);

// ---------------------------------------------------------------------------------------------
// Parsed expressions

// Parse flags.
inline constexpr uint32_t EXP_PARSE_COPY_STRINGS = 0x01;  // quoted strings become EPSTR copies
inline constexpr uint32_t EXP_PARSE_CASE = 0x02;          // case-sensitive comparisons and matches
inline constexpr uint32_t EXP_PARSE_AT_NAMES = 0x04;      // names may begin with "@"
inline constexpr uint32_t EXP_PARSE_CACHE = 0x08;         // use the parse cache
inline constexpr uint32_t EXP_PARSE_NO_TRIAL = 0x10;      // no trial evaluation at parse time
// Every name beginning with "_" goes to the variable callback, which says which it knows (a WHERE
// clause knows its own few, not the script's).
inline constexpr uint32_t EXP_PARSE_OWN_SYSTEM = 0x20;
// A doubled quote inside a quoted string is one quote character (MQSC's rule, for the console's
// =WHERE); without it nothing inside quotes is an escape.
inline constexpr uint32_t EXP_PARSE_DOUBLED_QUOTES = 0x40;

// Indicator flags of a VAR: the prefixes and suffix its name carried.
inline constexpr uint16_t EXP_IND_SHORT = 0x01;
inline constexpr uint16_t EXP_IND_LONG = 0x02;
inline constexpr uint16_t EXP_IND_EVENT = 0x04;
inline constexpr uint16_t EXP_IND_MQMD = 0x08;
inline constexpr uint16_t EXP_IND_BEFORE = 0x10;
inline constexpr uint16_t EXP_IND_AFTER = 0x20;
inline constexpr uint16_t EXP_IND_CFH = 0x40;
inline constexpr uint16_t EXP_IND_DATA = 0x80;
inline constexpr uint16_t EXP_IND_CMDDATA = 0x100;
inline constexpr uint16_t EXP_IND_CMDCTX = 0x200;
inline constexpr uint16_t EXP_IND_ALERT = 0x400;

// Limits.
inline constexpr int EXP_MAX_PARAMETERS = 20;
inline constexpr int EXP_CACHE_SIZE = 30;

// Variable callback: (expression, partner VAR token or null, VAR token, result) -> nonzero when the
// value is in the result. The token's data and len hold the name or, for an array element, its key.
using ExpVariableCallback = int (*)(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result);
// Function callback of a script's own functions: (expression, OP token, arguments ended by a record
// of type 0, result); its return value is not used. The token's params is the number of arguments,
// since an argument that is not set has type 0 as well.
using ExpFunctionCallback = int (*)(ExpExpression *e, ExpValue *function, ExpValue *args, ExpValue *result);

// The caller's block, copied into the expression. Its first word has one owner: the script
// interpreter's program, whose function tree the parser searches for every name (the lookup checks
// the program's eye-catcher). Every other caller leaves it null and keeps its own state in the typed
// fields, which the parser never reads.
struct ExpCallerBlock {
    void *program;       // the script's program whose functions the text may call, or null
    void *context;       // the caller's own state for its callbacks (a program, a table, a query)
    const void *record;  // the record the next evaluation tests; null in the parse's trial
    uint64_t serial;     // the script program's serial: a cached parse of another program differs
};

// The bits of ExpExpression::trialOperandUnknown.
inline constexpr uint32_t EXP_TRIAL_LEFT_UNKNOWN = 1;
inline constexpr uint32_t EXP_TRIAL_RIGHT_UNKNOWN = 2;

struct ExpExpression {
    const ExpOperator *table;
    char *errorText;  // counted heap, or null
    uint32_t flags;
    ExpValue *firstToken;
    ExpValue *lastToken;
    ExpValue *postfixNewest;
    ExpValue *postfixOldest;
    uint32_t trial;  // 1 while the parse-time trial evaluation runs
    // During the trial: the values given so far only as stand-ins, not of the run's type (a variable
    // callback raises it for such a value; so does every function call), and whether an operand of
    // the binary operator being applied is such a value or made from one (EXP_TRIAL_*_UNKNOWN bits).
    uint32_t trialStandIns;
    uint32_t trialOperandUnknown;
    uint32_t softFailure;   // raised by a variable callback when a value is absent
    uint32_t valueMissing;  // the same, and enables the OR fallback
    ExpVariableCallback variableCallback;
    ExpFunctionCallback functionCallback;
    ExpCallerBlock caller;
    uint32_t basePosition;
    // Bookkeeping of the parse cache: evaluations under way, and whether the cache let it go.
    uint32_t evaluating;
    uint32_t cached;   // 1 once the cache holds it: its users never free it
    uint32_t evicted;  // 1 let go by the cache while being evaluated, 2 being freed
    ExpExpression *nextEvicted;
};

// Leaves the formatted message in the expression (replacing an earlier one) and returns 0, so that
// handlers can `return expSetError(...)`. extra is a hint of the bytes the arguments add.
int expSetError(ExpExpression *e, size_t extra, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Parses text (length -1: up to its NUL) -> the expression, or null with a counted-heap error text
// in *errorText that the caller frees. A cached expression (flag 0x08) belongs to the cache.
[[nodiscard]] ExpExpression *expParseExpression(const char *text, int64_t length, uint32_t basePosition,
                                                uint32_t flags, const ExpOperator *table,
                                                ExpVariableCallback variableCallback,
                                                ExpFunctionCallback functionCallback,
                                                const ExpCallerBlock *caller, char **errorText);
// Evaluates from *cursor (the newest postfix item for the whole expression), advancing it past the
// items used -> 1, or 0 with the error text in the expression.
[[nodiscard]] int expEvaluate(ExpExpression *e, ExpValue **cursor, ExpValue *result);
// Evaluates the whole expression; a failure while a soft failure marker is set gives INT 0 and 1.
[[nodiscard]] int expEvaluateCondition(ExpExpression *e, ExpValue *result);
// Frees an expression that the cache does not own.
void expFreeExpression(ExpExpression *e);

// Builds the array key of the VAR at *cursor (its subscript expressions follow it in the postfix
// list) into a new counted-heap buffer -> 1 with *key and *keyLength, or 0 with the error set.
[[nodiscard]] int expEvaluateSubscripts(ExpExpression *e, ExpValue **cursor, char **key, size_t *keyLength);
// Fetches the VAR at *cursor (an array element when it has subscripts) through the variable
// callback, with partner passed on -> the callback's answer.
[[nodiscard]] int expFetchArrayElement(ExpExpression *e, ExpValue **cursor, ExpValue *partner,
                                       ExpValue *result);

// ---------------------------------------------------------------------------------------------
// Name catalogue: filled once at start by the subsystems that know the names, before the first
// parse, and never changed. An empty slot knows no name.

enum ExpFieldAnswer { EXP_FIELD_UNKNOWN = 0, EXP_FIELD_FOUND = 1, EXP_FIELD_CONSTRUCTED = 2 };
using ExpFieldLookup = ExpFieldAnswer (*)(const char *name, size_t length);

struct ExpCatalogue {
    // A constant by symbol, ignoring case -> 1 with its value (mqi/: the constant tables in order).
    int (*constant)(const char *name, size_t length, int32_t *value);
    // The command field tables are complete (stands for InitialiseCommandFields).
    void (*prepare)();
    ExpFieldLookup eventField;  // DISPLAY EVENTS parameters (after "event.")
    ExpFieldLookup alertField;  // alert parameters (after "alert.")
    ExpFieldLookup mqmdField;   // MQMD fields (after "mqmd.")
    // A script's own function (cmdFindFunction with the caller block's program) -> its row or null.
    const ExpOperator *(*findFunction)(void *program, const char *name, size_t length);
    // A "data." keyword (cslLookupKeywordValue) -> nonzero when known.
    int (*dataKeyword)(const char *name, size_t length, uint16_t indicator);
};

// Installs the catalogue (copied). Tests may install fakes and null to clear it.
void expSetCatalogue(const ExpCatalogue *catalogue);
