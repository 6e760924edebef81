// Parser and evaluator: grouping, error texts and positions, literals and names against a fake
// catalogue, callbacks seen in order, the OR fallback, the trial evaluation and the parse cache.
#include <map>
#include <string>
#include <vector>

#include "expr_testing.h"

using namespace et;

namespace {

// ---- Fakes -----------------------------------------------------------------------------------

struct Fetch {
    std::string key;      // the name or array key the callback saw
    std::string partner;  // the partner's name, or empty
};

std::map<std::string, int64_t> variables;  // plain variables and array keys with integer values
std::vector<Fetch> fetches;
int userCalls = 0;

int fakeVariable(ExpExpression *e, ExpValue *partner, ExpValue *var, ExpValue *result) {
    std::string key(var->data, var->value.len);
    fetches.push_back({key, partner ? std::string(partner->data, partner->value.len) : ""});
    auto it = variables.find(key);
    if (it != variables.end()) {
        expSetInt(result, it->second);
        return 1;
    }
    if (e->trial && key.find('%') != std::string::npos) {  // as the script's callback: elements exist
        expSetInt(result, 1);
        return 1;
    }
    if (key.rfind("miss", 0) == 0) {
        e->softFailure = 1;
        e->valueMissing = 1;
    }
    return expSetError(e, key.size(), "Variable '%s' is not defined in the current scope.", key.c_str());
}

int fakeFunction(ExpExpression *, ExpValue *, ExpValue *args, ExpValue *result) {
    ++userCalls;
    expSetInt(result, args[0].type == EXP_INT ? args[0].value.i * 10 : -1);
    return 1;
}

constexpr ExpOperator userRow{"TWICE", 20, 8, EXP_OPF_USER, nullptr, 1, 0, 5};

int fakeConstant(const char *name, size_t length, int32_t *value) {
    if (std::string(name, length) == "MQOT_Q" || std::string(name, length) == "mqot_q") {
        *value = 1;
        return 1;
    }
    if (std::string(name, length) == "MQRC_NEG") {
        *value = -5;
        return 1;
    }
    return 0;
}

ExpFieldAnswer fakeEventField(const char *name, size_t length) {
    std::string n(name, length);
    if (n == "QMNAME") return EXP_FIELD_FOUND;
    if (n == "EVTEXT") return EXP_FIELD_CONSTRUCTED;
    return EXP_FIELD_UNKNOWN;
}

const ExpOperator *fakeFindFunction(void *, const char *name, size_t length) {
    return std::string(name, length) == "TWICE" ? &userRow : nullptr;
}

int preparations = 0;
void fakePrepare() {
    ++preparations;
}

class Parse : public ::testing::Test {
protected:
    void SetUp() override {
        ExpCatalogue c{};
        c.constant = fakeConstant;
        c.prepare = fakePrepare;
        c.eventField = fakeEventField;
        c.alertField = fakeEventField;
        c.mqmdField = fakeEventField;
        c.findFunction = fakeFindFunction;
        expSetCatalogue(&c);
        variables = {{"x", 5}, {"y", 7}, {"a", 1}};
        fetches.clear();
        userCalls = 0;
    }
    void TearDown() override { expSetCatalogue(nullptr); }

    // Parses -> the error text, empty on success; the expression stays in e_.
    std::string parse(const char *text, uint32_t flags = 0, const ExpOperator *table = expScriptOperatorTable,
                      uint32_t base = 0) {
        drop();
        char *error = nullptr;
        ExpCallerBlock block{reinterpret_cast<void *>(1), nullptr, nullptr, 0};
        e_ = expParseExpression(text, -1, base, flags, table, fakeVariable, fakeFunction, &block, &error);
        std::string message = error ? error : "";
        if (error != nullptr) CSFreeMem(error);
        if (e_ == nullptr) {
            EXPECT_FALSE(message.empty()) << text;
        }
        return message;
    }
    // The postfix list, oldest first, one word per item.
    std::string postfix() const {
        std::string out;
        if (e_ == nullptr) return "<no expression>";
        for (ExpValue *v = e_->postfixOldest; v != nullptr; v = v->previous) {
            if (!out.empty()) out += ' ';
            if (v->type == EXP_OP)
                out += v->value.op->name;
            else if (v->type == EXP_VAR)
                out += std::string(v->data, v->value.len);
            else if (v->type == EXP_INT)
                out += std::to_string(v->value.i);
            else if (v->type == EXP_DBL)
                out += std::to_string(v->value.d);
            else
                out.append(1, '\'').append(v->data, v->value.len).append(1, '\'');
        }
        return out;
    }
    // Evaluates the whole expression -> 1 or 0; the result stays in result_.
    int evaluate() {
        expReleaseValue(&result_);
        ExpValue *cursor = e_->postfixNewest;
        return expEvaluate(e_, &cursor, &result_);
    }
    int64_t intOf(const char *text, uint32_t flags = 0) {
        EXPECT_EQ(parse(text, flags), "") << text;
        if (e_ == nullptr) return INT64_MIN;
        EXPECT_EQ(evaluate(), 1) << text << ": " << (e_->errorText ? e_->errorText : "");
        EXPECT_EQ(result_.type, EXP_INT) << text;
        return result_.value.i;
    }
    std::string error() const { return e_ && e_->errorText ? e_->errorText : ""; }
    void drop() {
        expReleaseValue(&result_);
        if (e_ != nullptr && !(e_->flags & EXP_PARSE_CACHE)) expFreeExpression(e_);
        e_ = nullptr;
    }
    ~Parse() override { drop(); }

    ExpExpression *e_ = nullptr;
    ExpValue result_{};
};

// ---- Grouping --------------------------------------------------------------------------------

TEST_F(Parse, PrecedenceAndAssociativity) {
    EXPECT_EQ(intOf("1 OR 0 AND 0"), 1);
    EXPECT_EQ(intOf("10 - 4 - 3"), 3);
    EXPECT_EQ(intOf("- - 5"), 5);
    EXPECT_EQ(intOf("2 + 3 * 4"), 14);
    EXPECT_EQ(intOf("(2 + 3) * 4"), 20);
    EXPECT_EQ(intOf("x = 5 OR y = 1"), 1);
    EXPECT_EQ(intOf("NOT 0 AND 1"), 1);
    EXPECT_EQ(intOf("7 % 3"), 1);
    EXPECT_EQ(intOf("7 %3"), 1);
    parse("a + b * c", EXP_PARSE_NO_TRIAL);
    EXPECT_EQ(postfix(), "a b c * +");
    parse("a = b OR c", EXP_PARSE_NO_TRIAL);
    EXPECT_EQ(postfix(), "a b = c OR");
}

TEST_F(Parse, OperatorNamesIgnoreCaseAndWordsNeedABoundary) {
    parse("x > 3");
    std::string symbolic = postfix();
    parse("x GT 3");
    EXPECT_EQ(postfix(), "x 3 GT");
    parse("x gt 3");
    EXPECT_EQ(postfix(), "x 3 GT");
    EXPECT_EQ(symbolic, "x 3 >");
    EXPECT_EQ(parse("ANDY = 1", EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(postfix(), "ANDY 1 =");
    EXPECT_EQ(parse("1 AND(0)"), "");
    EXPECT_EQ(postfix(), "1 0 AND");
}

// ---- Errors ----------------------------------------------------------------------------------

TEST_F(Parse, ErrorTextsAndPositions) {
    EXPECT_EQ(parse("1 +"), "An operand was expected after '+' at position 2");
    EXPECT_EQ(parse("1 +", 0, expScriptOperatorTable, 10),
              "An operand was expected after '+' at position 12");
    EXPECT_EQ(parse("(1 + 2"), "The ')' to match the '(' at position 0 was not found");
    EXPECT_EQ(parse("  (1 + 2", 0, expScriptOperatorTable, 10),
              "The ')' to match the '(' at position 12 was not found");
    EXPECT_EQ(parse("SQRT(1, 2)"), "Function SQRT at position 0 takes 1 parameter");
    EXPECT_EQ(parse("SUBSTR('a')"), "Function SUBSTR at position 0 takes 3 parameters");
    EXPECT_EQ(parse("MAX(1,,2)"), "Missing operand");
    EXPECT_EQ(parse("SQRT()"), "An operand was expected before ')' at position 5");
    EXPECT_EQ(parse("a && b"), "Unexpected operator '&' found at position 3");
    EXPECT_EQ(parse("1 2"), "An operator was expected after operand at position 2");
    EXPECT_EQ(parse("1 )"), "Unmatched parenthesis");
    EXPECT_EQ(parse("1 , 2"), "Unexpected character ',' found at position 2");
    EXPECT_EQ(parse("SQRT 4"), "Expected '(' to follow function SQRT at position 0");
    EXPECT_EQ(parse("MAX(1, 2"), "Missing ')' for function MAX at position 0");
    EXPECT_EQ(parse("   "), "No expression given");
    EXPECT_EQ(parse("1 NOT 2"), "Unexpected operator 'NOT' found at position 2");
    EXPECT_EQ(parse("1 (2)"), "An operator was expected after operand at position 2");
    EXPECT_EQ(parse("a[1"), "Missing ']' for array 'a' at position 0");
    EXPECT_EQ(parse("a[]"), "An operand was expected before ']' at position 2");
    EXPECT_EQ(parse("a[1,,2]"), "Missing operand");
    EXPECT_EQ(parse("$"), "Unrecognised token '$' at position 0");
}

TEST_F(Parse, FunctionsOfOneTableAreUnknownInTheOther) {
    EXPECT_EQ(parse("POWER(2,3)"), "");
    ASSERT_EQ(evaluate(), 1);
    EXPECT_EQ(result_.type, EXP_DBL);
    EXPECT_DOUBLE_EQ(result_.value.d, 8.0);
    EXPECT_EQ(parse("POWER(2,3)", 0, expFilterOperatorTable), "Unknown function name 'POWER' at position 0");
    EXPECT_EQ(parse("a[1]", 0, expFilterOperatorTable), "Unrecognised token '[' at position 1");
}

TEST_F(Parse, LimitsOnParametersSubscriptsAndNesting) {
    EXPECT_EQ(parse("MAX()"), "");
    ASSERT_EQ(evaluate(), 1);
    EXPECT_EQ(result_.type, EXP_DBL);
    EXPECT_DOUBLE_EQ(result_.value.d, 0.0);
    std::string twenty = "MAX(1";
    for (int i = 0; i < 19; ++i) twenty += ",1";
    EXPECT_EQ(parse((twenty + ")").c_str()), "");
    EXPECT_EQ(parse((twenty + ",1)").c_str()), "Maximum number of parameters to any function is 20");
    EXPECT_EQ(parse("a[1,1,1,1]"), "");
    EXPECT_EQ(parse("a[1,1,1,1,1]"), "Maximum number of array subscripts on any array is 4");
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "SQRT(";
    deep += "1";
    for (int i = 0; i < 300; ++i) deep += ")";
    EXPECT_EQ(parse(deep.c_str()), "Expression is too deeply nested");
    std::string longChain = "1";
    for (int i = 0; i < 3000; ++i) longChain += "+1";
    EXPECT_EQ(parse(longChain.c_str()), "Expression is too deeply nested");
    EXPECT_EQ(parse(longChain.c_str(), EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(error(), "Expression is too deeply nested");
}

// ---- Literals and names ----------------------------------------------------------------------

TEST_F(Parse, NumericAndHexLiterals) {
    EXPECT_EQ(intOf("0x1F"), 31);
    EXPECT_EQ(intOf("0xffffffffffffffff"), -1);
    EXPECT_EQ(parse("0x'4142'"), "");
    ASSERT_EQ(evaluate(), 1);
    EXPECT_EQ(result_.type, EXP_EPSTR);
    EXPECT_EQ(text(result_), "AB");
    EXPECT_EQ(parse("0x"), "Unrecognised token '0x' at position 0");
    EXPECT_EQ(parse("0x1G"), "Invalid hex number '1G' at position 0");
    EXPECT_EQ(parse("0x'4G'"), "Invalid hex number ''4G'' at position 0");
    EXPECT_EQ(parse("0x'"), "Invalid hex number ''' at position 0");
    EXPECT_EQ(intOf("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parse("9999999999999999999"),
              "Numeric literal '9999999999999999999' at position 0 is too large");
    EXPECT_EQ(parse("12345678901234567890"),
              "Numeric literal '12345678901234567890' at position 0 is too large");
    EXPECT_EQ(parse("1.5"), "");
    ASSERT_EQ(evaluate(), 1);
    EXPECT_DOUBLE_EQ(result_.value.d, 1.5);
}

TEST_F(Parse, QuotedStrings) {
    EXPECT_EQ(parse("''"), "");
    ASSERT_EQ(evaluate(), 1);
    EXPECT_TRUE(expIsString(&result_));
    EXPECT_EQ(result_.value.len, 0u);
    EXPECT_EQ(parse("'abc"), "Quote missing from string");
    EXPECT_EQ(parse("a = '"), "Quote missing from string");
    EXPECT_EQ(parse("a = \""), "Quote missing from string");
    EXPECT_EQ(parse("'a b' = \"A B\""), "");
    EXPECT_EQ(evaluate(), 1);
    EXPECT_EQ(result_.value.i, 1);
    // Without flag 0x01 strings point into the text; with it they are copies.
    EXPECT_EQ(parse("'abc'"), "");
    EXPECT_EQ(e_->postfixNewest->type, EXP_STR);
    EXPECT_EQ(parse("'abc'", EXP_PARSE_COPY_STRINGS), "");
    EXPECT_EQ(e_->postfixNewest->type, EXP_EPSTR);
}

TEST_F(Parse, ConstantsAndSystemVariables) {
    EXPECT_EQ(intOf("CONST.sync"), 1);
    EXPECT_EQ(intOf("const.ASYNC"), 2);
    EXPECT_EQ(intOf("CONST.mqot_q"), 1);
    EXPECT_EQ(intOf("CONST.MQRC_NEG"), -5);
    EXPECT_EQ(parse("CONST."), "No constant name provided");
    EXPECT_EQ(parse("CONST.NOPE"), "Unrecognised constant 'NOPE'.");
    EXPECT_EQ(parse(("CONST." + std::string(100, 'A')).c_str()),
              "Constant name '" + std::string(100, 'A') + "' at position 0 is too long");
    EXPECT_EQ(parse("_date = 1"), "Unrecognised system variable '_date' at position 0");
    variables["_TIME"] = 9;
    EXPECT_EQ(intOf("_TIME"), 9);
}

TEST_F(Parse, PrefixedNamesAndIndicators) {
    EXPECT_EQ(parse("event.summary = 'x'", EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(parse("event.before.QMNAME = 'x'", EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(e_->postfixOldest->indicator, EXP_IND_EVENT | EXP_IND_BEFORE);
    EXPECT_EQ(std::string(e_->postfixOldest->data), "QMNAME");
    EXPECT_EQ(parse("event.EVTEXT = 'x'"), "Can not use a constructed variable 'event.EVTEXT' at position 0");
    EXPECT_EQ(parse("event.NOPE = 'x'"), "Invalid variable name 'event.NOPE' at position 0");
    EXPECT_EQ(parse("event.alert.QMNAME = 1"), "Invalid variable name 'event.alert.QMNAME' at position 0");
    EXPECT_EQ(parse("mqmd.before.QMNAME = 1"), "Invalid variable name 'mqmd.before.QMNAME' at position 0");
    EXPECT_EQ(parse("cfh.reason = 1", EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(parse("data.X = 1"), "Invalid variable name 'data.X' at position 0");
    EXPECT_EQ(parse("QTIME.long = 1", EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(e_->postfixOldest->indicator, EXP_IND_LONG);
    EXPECT_EQ(parse("xqtime = 1", EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(e_->postfixOldest->indicator, EXP_IND_SHORT);
    EXPECT_EQ(parse("X.long = 1"), "'X' is not an indicator at position 0");
    EXPECT_GT(preparations, 0);
}

TEST_F(Parse, AtNamesNeedTheirFlag) {
    EXPECT_EQ(parse("@v = 1"), "Unrecognised token '@v' at position 0");
    variables["@v"] = 3;
    EXPECT_EQ(intOf("@v + 1", EXP_PARSE_AT_NAMES), 4);
}

// ---- Evaluation ------------------------------------------------------------------------------

TEST_F(Parse, TwoPlainVariablesFetchLeftFirstWithItAsPartner) {
    EXPECT_EQ(intOf("x < y"), 1);
    ASSERT_EQ(fetches.size(), 4u);  // trial and evaluation
    EXPECT_EQ(fetches[2].key, "x");
    EXPECT_EQ(fetches[2].partner, "");
    EXPECT_EQ(fetches[3].key, "y");
    EXPECT_EQ(fetches[3].partner, "x");
    fetches.clear();
    EXPECT_EQ(intOf("x - (y - 1)"), -1);
    ASSERT_EQ(fetches.size(), 4u);
    EXPECT_EQ(fetches[2].key, "y");  // the right operand first
    EXPECT_EQ(fetches[3].key, "x");
}

TEST_F(Parse, ArrayElementsAreFetchedByKeyAndTheNameIsRestored) {
    uint32_t subs[2] = {2, 3};
    char key[32];
    size_t n = expBuildArrayKey("a", 1, subs, 2, key, sizeof key);
    variables[std::string(key, n)] = 42;
    EXPECT_EQ(intOf("a[1+1, y-4]"), 42);
    EXPECT_EQ(fetches.back().key, std::string(key, n));
    EXPECT_EQ(std::string(e_->postfixNewest->data), "a");
    EXPECT_EQ(e_->postfixNewest->value.len, 1u);
    ExpValue *cursor = e_->postfixNewest;
    char *built = nullptr;
    size_t builtLength = 0;
    ASSERT_EQ(expEvaluateSubscripts(e_, &cursor, &built, &builtLength), 1);
    EXPECT_EQ(std::string(built, builtLength), std::string(key, n));
    EXPECT_EQ(cursor, nullptr);
    CSFreeMem(built);
}

TEST_F(Parse, SubscriptBelowOnePassesTheTrialAndFailsLater) {
    EXPECT_EQ(parse("a[0]"), "");
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(error(), "Out of bounds array error on variable 'a[0]'");
}

TEST_F(Parse, OrFallsBackToTheValueThatIsPresent) {
    EXPECT_EQ(intOf("x | missy"), 5);
    EXPECT_EQ(intOf("missy OR x"), 5);
    EXPECT_EQ(intOf("x OR missy + 1"), 5);
    EXPECT_EQ(intOf("missy + 1 OR x"), 5);
    EXPECT_EQ(parse("x + missy"), "");  // a missing value passes the trial
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(parse("nosuch = 1"), "Variable 'nosuch' is not defined in the current scope.");
}

TEST_F(Parse, ConditionTurnsAMarkedFailureIntoZero) {
    EXPECT_EQ(parse("missy = 1"), "");
    ExpValue r{};
    ASSERT_EQ(expEvaluateCondition(e_, &r), 1);
    EXPECT_EQ(r.type, EXP_INT);
    EXPECT_EQ(r.value.i, 0);
    EXPECT_EQ(parse("1 / (x - 5)"), "");
    EXPECT_EQ(expEvaluateCondition(e_, &r), 0);
    EXPECT_EQ(error(), "Runtime error:Divide by zero");
}

TEST_F(Parse, TypeErrorsAreCaughtByTheTrialUnlessSkipped) {
    EXPECT_EQ(parse("'ab' - 'cd'"), "Operator '-' is not supported for strings");
    EXPECT_EQ(parse("'ab' - 'cd'", EXP_PARSE_NO_TRIAL), "");
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(parse("1 / 0"), "");
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(error(), "Runtime error:Divide by zero");
    EXPECT_EQ(parse("5 == 5"), "");
    EXPECT_EQ(evaluate(), 0);
    EXPECT_EQ(error(), "Second operand to operator '==' should be a string");
}

TEST_F(Parse, UserFunctionsAreNotCalledInTheTrial) {
    EXPECT_EQ(parse("TWICE(4)"), "");
    EXPECT_EQ(userCalls, 0);
    ASSERT_EQ(evaluate(), 1);
    EXPECT_EQ(userCalls, 1);
    EXPECT_EQ(result_.value.i, 40);
    EXPECT_EQ(parse("TWICE(1, 2)"), "Function TWICE at position 0 takes 1 parameter");
}

TEST_F(Parse, ByReferenceParametersMustBeVariables) {
    expRegisterScriptFunction("SORT", row("MAX")->handler);
    EXPECT_EQ(parse("SORT(1)"), "The first parameter to function 'SORT' must be a variable");
    EXPECT_EQ(parse("FGETS(1, 2)"), "The second parameter to function 'FGETS' must be a variable");
    EXPECT_EQ(parse("SORT(x)"), "");
    expRegisterScriptFunction("SORT", nullptr);
}

TEST_F(Parse, OperandsOwnedByCallbacksAreFreed) {
    HeapBalance balance;
    EXPECT_EQ(parse("'abc' + 'def' = 'abcdef' AND LOWER('X') = 'x'"), "");
    EXPECT_EQ(evaluate(), 1);
    EXPECT_EQ(result_.value.i, 1);
    drop();
}

TEST_F(Parse, DebugLetterDTracesEveryParseToStandardError) {
    evDebugOptions.fetch_or(EV_OPT_d);
    ::testing::internal::CaptureStderr();
    parse("1 +");
    std::string trace = ::testing::internal::GetCapturedStderr();
    evDebugOptions.fetch_and(~EV_OPT_d);
    EXPECT_EQ(trace, "expParseExpression '1 +'\nexpParseExpression (Return)\n");
}

// ---- Cache -----------------------------------------------------------------------------------

TEST_F(Parse, CacheReturnsOneObjectAndReplacesTheLeastRecentlyUsed) {
    ExpExpression *first = nullptr;
    for (int i = 0; i < 31; ++i) {
        EXPECT_EQ(parse("x + 1000", EXP_PARSE_CACHE), "");
        if (first == nullptr) first = e_;
        EXPECT_EQ(e_, first);
    }
    EXPECT_EQ(parse("x + 1001", EXP_PARSE_CACHE), "");
    for (int i = 0; i < 28; ++i) parse(("x + " + std::to_string(2000 + i)).c_str(), EXP_PARSE_CACHE);
    fetches.clear();
    parse("x + 1000", EXP_PARSE_CACHE);  // touch the first: the second is now the oldest
    EXPECT_EQ(e_, first);
    EXPECT_TRUE(fetches.empty());  // a hit is not parsed again, so no trial evaluation
    int64_t before = CSMemCounters().blocks;
    parse("x + 3000", EXP_PARSE_CACHE);  // replaces the second, which is freed: as many blocks as before
    EXPECT_EQ(CSMemCounters().blocks, before);
    fetches.clear();
    parse("x + 1001", EXP_PARSE_CACHE);
    EXPECT_EQ(fetches.size(), 1u);  // parsed again: it had gone
    drop();
}

TEST_F(Parse, CachedExpressionsKeepCopiesOfTheirStrings) {
    std::string text = "'cached text' = 'CACHED TEXT'";
    EXPECT_EQ(parse(text.c_str(), EXP_PARSE_CACHE), "");
    ExpExpression *e = e_;
    text.assign(text.size(), '#');  // the caller's text goes; the expression must not care
    EXPECT_EQ(e->postfixNewest->next->type, EXP_EPSTR);
    ASSERT_EQ(evaluate(), 1);
    EXPECT_EQ(result_.value.i, 1);
}

// While a cached expression is evaluated, a nested parse evicts it; it lives until that ends.
ExpExpression *nestedTarget = nullptr;
int evictingVariable(ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    if (std::string(var->data, var->value.len) == "evict" && !e->trial) {
        for (int i = 0; i < 31; ++i) {
            char *error = nullptr;
            std::string text = "4000 + " + std::to_string(i);
            EXPECT_NE(expParseExpression(text.c_str(), -1, 0, EXP_PARSE_CACHE, expScriptOperatorTable,
                                         nullptr, nullptr, nullptr, &error),
                      nullptr);  // cached: the cache owns it
        }
        nestedTarget = e;
    }
    expSetInt(result, 1);
    return 1;
}

TEST_F(Parse, EvictedExpressionLivesUntilItsEvaluationEnds) {
    char *error = nullptr;
    ExpExpression *e = expParseExpression("evict + evict * 2", -1, 0, EXP_PARSE_CACHE, expScriptOperatorTable,
                                          evictingVariable, nullptr, nullptr, &error);
    ASSERT_NE(e, nullptr);
    ExpValue *cursor = e->postfixNewest;
    ExpValue r{};
    ASSERT_EQ(expEvaluate(e, &cursor, &r), 1);  // ASan: no use after free during the evaluation
    EXPECT_EQ(r.value.i, 3);
    EXPECT_EQ(nestedTarget, e);
    EXPECT_EQ(e->evicted, 1u);
    int64_t before = CSMemCounters().blocks;
    EXPECT_NE(expParseExpression("5000", -1, 0, EXP_PARSE_CACHE, expScriptOperatorTable, nullptr, nullptr,
                                 nullptr, &error),
              nullptr);
    EXPECT_LT(CSMemCounters().blocks, before);  // the evicted expression went with the next cached parse
}

}  // namespace
