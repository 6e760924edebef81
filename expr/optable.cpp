// The operator and function tables of scripts and filters, fixed at compile time so that the
// command server and the console share them without writing to them, and the slots through which
// the script interpreter supplies its own built-in functions.
#include <atomic>
#include <cstring>

#include "expr/expr.h"
#include "expr/internal.h"

namespace {

// The script interpreter's functions, rows 48 to 69 of the script table, in row order.
constexpr const char *scriptFunctionNames[] = {
    "SORT",   "SORTD",  "WAIT",    "MQTIME", "FOPEN",      "FGETS",   "FCLOSE", "SYSTEM",
    "DELVAR", "EXISTS", "NUMSUBS", "MINSUB", "MAXSUB",     "FLOOR",   "CEIL",   "ROUND",
    "EVAL",   "GETKEY", "STR",     "STRLEN", "STRREPLACE", "TRIMSTR",
};
constexpr int scriptFunctionCount = 22;
static_assert(sizeof scriptFunctionNames / sizeof scriptFunctionNames[0] == scriptFunctionCount);

std::atomic<ExpHandler> scriptFunctionSlots[scriptFunctionCount];

int scriptFunctionDispatch(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *right,
                           ExpValue *result);

constexpr uint64_t nameLength(const char *name) {
    uint64_t n = 0;
    while (name[n] != 0) ++n;
    return n;
}

constexpr bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A word operator starts with a letter or "_" and holds only letters, digits, "." and "_".
constexpr bool isWord(const char *name) {
    if (!isLetter(name[0]) && name[0] != '_') return false;
    for (const char *p = name; *p != 0; ++p) {
        if (!isLetter(*p) && !(*p >= '0' && *p <= '9') && *p != '.' && *p != '_') return false;
    }
    return true;
}

constexpr ExpOperator row(const char *name, uint16_t incoming, uint16_t inStack, uint32_t flags,
                          ExpHandler handler, int32_t parameters = 0, uint32_t byReference = 0) {
    return ExpOperator{name,    incoming,   inStack,     flags | (isWord(name) ? EXP_OPF_WORD : 0u),
                       handler, parameters, byReference, nameLength(name)};
}

constexpr uint32_t B = EXP_OPF_BINARY;
constexpr uint32_t U = EXP_OPF_UNARY;
constexpr uint32_t F = EXP_OPF_FUNCTION;
constexpr ExpHandler bin = expBinaryOperator;
constexpr ExpHandler script = scriptFunctionDispatch;

// Rows 1 to 74; the longer of two names sharing a start comes first, the binary "+" and "-"
// before the unary ones.
constexpr ExpOperator rows[74] = {
    row("==", 12, 12, B, expContainsOperator),  // 1
    row("=", 12, 12, B, bin),
    row("EQ", 12, 12, B, bin),
    row("!=", 12, 12, B, bin),
    row("<>", 12, 12, B, bin),  // 5
    row("NE", 12, 12, B, bin),
    row("||", 10, 10, B, bin),
    row("|", 10, 10, B, bin),
    row("OR", 10, 10, B, bin),
    row("&&", 11, 11, B, bin),  // 10
    row("&", 11, 11, B, bin),
    row("AND", 11, 11, B, bin),
    row(">=", 12, 12, B, bin),
    row("GE", 12, 12, B, bin),
    row("<=", 12, 12, B, bin),  // 15
    row("LE", 12, 12, B, bin),
    row(">", 13, 13, B, bin),
    row("GT", 13, 13, B, bin),
    row("<", 13, 13, B, bin),
    row("LT", 13, 13, B, bin),  // 20
    row("-", 14, 14, B, bin),
    row("+", 14, 14, B, bin),
    row("*", 15, 15, B, bin),
    row("%", 15, 15, B, bin),
    row("/", 15, 15, B, bin),  // 25
    row("LK", 15, 15, B, expLikeOperator),
    row("NL", 15, 15, B, expLikeOperator),
    row("CT", 15, 15, B, expContainsOperator),
    row("EX", 15, 15, B, expContainsOperator),
    row("CTG", 15, 15, B, expContainsOperator),  // 30
    row("EXG", 15, 15, B, expContainsOperator),
    row("+", 18, 17, U | EXP_OPF_ALSO_BINARY, expUnaryOperator),
    row("-", 18, 17, U | EXP_OPF_ALSO_BINARY, expUnaryOperator),
    row("!", 18, 17, U, expUnaryOperator),
    row("NOT", 18, 17, U, expUnaryOperator),  // 35
    row("SQRT", 20, 8, F, expFnSqrt, 1),
    row("POWER", 20, 8, F, expFnPower, 2),
    row("MAX", 20, 8, F, expFnMax, -1),
    row("MIN", 20, 8, F, expFnMin, -1),
    row("LOWER", 20, 8, F, expFnLower, 1),  // 40
    row("UPPER", 20, 8, F, expFnUpper, 1),
    row("SUBSTR", 20, 8, F, expFnSubstr, 3),
    row("FINDSTR", 20, 8, F, expFnFindStr, 2),
    row("FINDSTRI", 20, 8, F, expFnFindStrI, 2),
    row("DATE", 20, 8, F, expFnDate, -1),  // 45
    row("VALUEOF", 20, 8, F, expFnValueOf, -1),
    row("ATTRSTR", 20, 8, F, expFnAttrStr, 2),
    row("SORT", 20, 8, F, script, -1, 1),
    row("SORTD", 20, 8, F, script, -1, 1),
    row("WAIT", 20, 8, F, script, 1),  // 50
    row("MQTIME", 20, 8, F, script, 2),
    row("FOPEN", 20, 8, F, script, 2),
    row("FGETS", 20, 8, F, script, 2, 2),
    row("FCLOSE", 20, 8, F, script, 1),
    row("SYSTEM", 20, 8, F, script, -1),  // 55
    row("DELVAR", 20, 8, F, script, 1, 1),
    row("EXISTS", 20, 8, F, script, 1, 1),
    row("NUMSUBS", 20, 8, F, script, 1, 1),
    row("MINSUB", 20, 8, F, script, -1, 1),
    row("MAXSUB", 20, 8, F, script, -1, 1),  // 60
    row("FLOOR", 20, 8, F, script, 1),
    row("CEIL", 20, 8, F, script, 1),
    row("ROUND", 20, 8, F, script, 1),
    row("EVAL", 20, 8, F, script, 1),
    row("GETKEY", 20, 8, F, script, 1),  // 65
    row("STR", 20, 8, F, script, 1),
    row("STRLEN", 20, 8, F, script, 1),
    row("STRREPLACE", 20, 8, F, script, 3),
    row("TRIMSTR", 20, 8, F, script, -1),
    row(",", 20, 8, U, nullptr),  // 70
    row("(", 20, 8, U, nullptr),
    row(")", 9, 14, U, nullptr),
    row("[", 20, 8, U, nullptr),
    row("]", 9, 14, U, nullptr),
};

constexpr const ExpOperator &R(int n) {
    return rows[n - 1];
}

constexpr ExpOperator endRow{};

int scriptFunctionDispatch(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *right,
                           ExpValue *result) {
    for (int i = 0; i < scriptFunctionCount; ++i) {
        if (op != &expScriptOperatorTable[47 + i]) continue;
        ExpHandler handler = scriptFunctionSlots[i].load(std::memory_order_acquire);
        if (handler != nullptr) return handler(e, op, args, right, result);
        break;
    }
    return expSetError(e, 16, "Function %s is not available", op->name);
}

}  // namespace

constexpr ExpOperator expScriptOperatorTable[75] = {
    R(1),  R(2),  R(3),  R(4),  R(5),  R(6),  R(7),  R(8),  R(9),  R(10), R(11), R(12), R(13), R(14), R(15),
    R(16), R(17), R(18), R(19), R(20), R(21), R(22), R(23), R(24), R(25), R(26), R(27), R(28), R(29), R(30),
    R(31), R(32), R(33), R(34), R(35), R(36), R(37), R(38), R(39), R(40), R(41), R(42), R(43), R(44), R(45),
    R(46), R(47), R(48), R(49), R(50), R(51), R(52), R(53), R(54), R(55), R(56), R(57), R(58), R(59), R(60),
    R(61), R(62), R(63), R(64), R(65), R(66), R(67), R(68), R(69), R(70), R(71), R(72), R(73), R(74), endRow,
};

// Filters: no POWER, VALUEOF or ATTRSTR, none of the script interpreter's functions, no subscripts.
constexpr ExpOperator expFilterOperatorTable[48] = {
    R(1),  R(2),  R(3),  R(4),  R(5),  R(6),  R(7),  R(8),  R(9),  R(10), R(11), R(12),
    R(13), R(14), R(15), R(16), R(17), R(18), R(19), R(20), R(21), R(22), R(23), R(24),
    R(25), R(26), R(27), R(28), R(29), R(30), R(31), R(32), R(33), R(34), R(35), R(36),
    R(38), R(39), R(40), R(41), R(42), R(43), R(44), R(45), R(70), R(71), R(72), endRow,
};

int expRegisterScriptFunction(const char *name, ExpHandler handler) {
    if (name == nullptr) return 0;
    for (int i = 0; i < scriptFunctionCount; ++i) {
        if (std::strcmp(scriptFunctionNames[i], name) == 0) {
            scriptFunctionSlots[i].store(handler, std::memory_order_release);
            return 1;
        }
    }
    return 0;
}
