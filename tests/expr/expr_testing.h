// Helpers for the expression tests: building values, finding table rows, calling handlers, and
// checking that the counted heap holds as many blocks afterwards as before.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "testing/testing.h"

#include "expr/expr.h"
#include "platform/platform.h"

namespace et {

inline ExpValue I(int64_t i) {
    ExpValue v{};
    expSetInt(&v, i);
    return v;
}

inline ExpValue D(double d) {
    ExpValue v{};
    expSetDouble(&v, d);
    return v;
}

// STR pointing at a literal (never freed).
inline ExpValue S(const char *text) {
    ExpValue v{};
    expSetString(&v, EXP_STR, const_cast<char *>(text), std::strlen(text));
    return v;
}

// PSTR with its own counted-heap copy.
inline ExpValue P(std::string_view text) {
    ExpValue v{};
    auto *copy = static_cast<char *>(CSGetMem(text.size() + 1));
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = 0;
    expSetString(&v, EXP_PSTR, copy, text.size());
    return v;
}

// An owned LIST of the texts.
inline ExpValue L(std::initializer_list<const char *> texts) {
    const char *t[16];
    size_t n[16];
    size_t count = 0;
    for (const char *s : texts) {
        t[count] = s;
        n[count] = std::strlen(s);
        ++count;
    }
    ExpValue v{};
    EXPECT_EQ(expMakeList(&v, count, t, n), 1);
    return v;
}

inline std::string text(const ExpValue &v) {
    return std::string(v.data, v.value.len);
}

// The row of the script table with that name; unary selects the unary "+" and "-". A name that is
// not there fails the test and gives the first row.
inline const ExpOperator *row(const char *name, bool unary = false) {
    for (const ExpOperator *r = expScriptOperatorTable; r->name != nullptr; ++r) {
        if (std::strcmp(r->name, name) != 0) continue;
        if (unary && (r->flags & EXP_OPF_BINARY)) continue;
        return r;
    }
    ADD_FAILURE() << "no row " << name;
    return expScriptOperatorTable;
}

// An expression record for calling handlers directly.
struct Context {
    ExpExpression e{};
    explicit Context(uint32_t flags = 0, bool trial = false) {
        e.flags = flags;
        e.trial = trial ? 1 : 0;
    }
    ~Context() {
        if (e.errorText != nullptr) CSFreeMem(e.errorText);
    }
    std::string error() const { return e.errorText ? e.errorText : ""; }
    // Calls the handler of the named row with the two operands (right null for unary rows).
    int apply(const char *name, ExpValue left, ExpValue right, ExpValue *result) {
        const ExpOperator *r = row(name);
        return r->handler(&e, r, &left, &right, result);
    }
    int unary(const char *name, ExpValue operand, ExpValue *result) {
        const ExpOperator *r = row(name, true);
        return r->handler(&e, r, &operand, nullptr, result);
    }
    // The integer result of a row that must succeed (unary without a right operand).
    int64_t integer(const char *name, ExpValue left, ExpValue right) {
        ExpValue r{};
        EXPECT_EQ(apply(name, left, right, &r), 1) << name;
        return r.value.i;
    }
    int64_t integer(const char *name, ExpValue operand) {
        ExpValue r{};
        EXPECT_EQ(unary(name, operand, &r), 1) << name;
        return r.value.i;
    }
};

// Asserts on destruction that the counted heap holds the same number of blocks as at construction.
struct HeapBalance {
    int64_t blocks = CSMemCounters().blocks;
    ~HeapBalance() {
        EXPECT_EQ(CSMemCounters().blocks, blocks) << "counted-heap blocks leaked or freed twice";
    }
};

}  // namespace et
