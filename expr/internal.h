// Helpers shared by the files of the expression language and not part of its interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "expr/expr.h"

// ASCII case folding; other bytes stay as they are.
inline int expLowerAscii(int c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}
inline int expUpperAscii(int c) {
    return (c >= 'a' && c <= 'z') ? c - 32 : c;
}
bool expEqualNoCase(const char *a, const char *b, size_t length);

void expSetEmptyString(ExpValue *v);

// What an operator row does, told by its name ("=" and "EQ" alike).
enum ExpOpCode {
    EXP_OC_OTHER,
    EXP_OC_EQ,
    EXP_OC_NE,
    EXP_OC_GT,
    EXP_OC_GE,
    EXP_OC_LT,
    EXP_OC_LE,
    EXP_OC_OR,    // "|", "OR"
    EXP_OC_AND,   // "&", "AND"
    EXP_OC_BOR,   // "||"
    EXP_OC_BAND,  // "&&"
    EXP_OC_ADD,
    EXP_OC_SUB,
    EXP_OC_MUL,
    EXP_OC_MOD,
    EXP_OC_DIV,
    EXP_OC_NOT,  // "!", "NOT"
    EXP_OC_LK,
    EXP_OC_NL,
    EXP_OC_MATCH,  // "=="
    EXP_OC_CT,
    EXP_OC_EX,
    EXP_OC_CTG,
    EXP_OC_EXG,
};
ExpOpCode expOpCode(const ExpOperator *op);

// The handlers of the operator tables' rows; other subsystems reach them through the rows.
int expBinaryOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                      ExpValue *result);
int expUnaryOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                     ExpValue *result);
int expLikeOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                    ExpValue *result);
int expContainsOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                        ExpValue *result);
// Brings two operands of different types to one type -> 1, or 0 with the error set.
int expPromoteOperands(ExpExpression *e, ExpValue *left, ExpValue *right);
int expIntegerOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                       ExpValue *result);
int expRealOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                    ExpValue *result);
int expStringOperator(ExpExpression *e, const ExpOperator *op, ExpValue *left, ExpValue *right,
                      ExpValue *result);

// Built-in functions of both tables (arguments in args, their end record in end).
int expFnSqrt(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnPower(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnMax(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnMin(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnLower(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnUpper(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnSubstr(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnFindStr(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnFindStrI(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnDate(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnValueOf(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);
int expFnAttrStr(ExpExpression *e, const ExpOperator *op, ExpValue *args, ExpValue *end, ExpValue *result);

// Name checks of the tokeniser.
// Parses an indicator name ("event.before.QTIME.long") -> 1 with the flags and the bare name's
// offset and length, or 0 with a message (at most 160 bytes) in failure.
int expParseIndicator(const char *name, size_t length, uint16_t *flags, size_t *offset, size_t *nameLength,
                      char *failure, size_t failureSize);
// 1 when the whole name is one of the 34 system variables, ignoring case.
int expIsSystemVariable(const char *name, size_t length);
