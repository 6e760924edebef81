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
