// Fuzz target: WHERE and script texts from any MQ application. The first byte picks the table and
// the parse flags; the rest is the text, parsed, evaluated twice and freed. Variables give values of
// every kind by their first letter, so that operators and functions meet every operand type.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "expr/expr.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int fuzzVariable(ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    const char c = var->value.len != 0 ? var->data[0] : 'i';
    static const char *const texts[] = {"A", "BB", "queue.one"};
    static const size_t lengths[] = {1, 2, 9};
    switch (c == '@' && var->value.len > 1 ? var->data[1] : c) {
        case 'i':
            expSetInt(result, static_cast<int64_t>(var->value.len) - 3);
            return 1;
        case 'd':
            expSetDouble(result, 2.5);
            return 1;
        case 's':
            expSetString(result, EXP_STR, const_cast<char *>("Q1 DESCR(x)"), 11);
            return 1;
        case 'p': {
            auto *text = static_cast<char *>(CSGetMem(4));
            if (text == nullptr) return 0;
            std::memcpy(text, "abc", 4);
            expSetString(result, EXP_PSTR, text, 3);
            return 1;
        }
        case 'l':
            return expMakeList(result, 3, texts, lengths);
        case 'm':
            e->softFailure = 1;
            e->valueMissing = 1;
            return expSetError(e, 0, "Missing value");
        case 'u':
            return 1;  // not set
        default:
            return expSetError(e, 0, "Variable is not defined in the current scope.");
    }
}

int fuzzFunction(ExpExpression *, ExpValue *, ExpValue *, ExpValue *result) {
    expSetInt(result, 1);
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    static const uint32_t flagSets[] = {2, 6, 7, 0x1F, 0x12, 0};
    const uint8_t selector = data[0];
    const uint32_t flags = flagSets[(selector >> 1) % 6];
    const ExpOperator *table = (selector & 1) ? expScriptOperatorTable : expFilterOperatorTable;
    const char *text = reinterpret_cast<const char *>(data + 1);
    char *error = nullptr;
    ExpExpression *e = expParseExpression(text, static_cast<int64_t>(size - 1), 7, flags, table, fuzzVariable,
                                          fuzzFunction, nullptr, &error);
    if (e == nullptr) {
        if (error == nullptr) std::abort();  // a failed parse always says why
        CSFreeMem(error);
        return 0;
    }
    for (int round = 0; round < 2; ++round) {
        ExpValue result{};
        ExpValue *cursor = e->postfixNewest;
        int ok = round == 0 ? expEvaluate(e, &cursor, &result) : expEvaluateCondition(e, &result);
        if (!ok && e->errorText == nullptr) std::abort();  // a failed evaluation always says why
        char *shown = expValueToString(e, &result, 2);
        if (shown != nullptr) CSFreeMem(shown);
        expReleaseValue(&result);
    }
    if (!(flags & EXP_PARSE_CACHE)) expFreeExpression(e);
    return 0;
}
