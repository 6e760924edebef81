// Built-in functions through parsed expressions of the script table: texts, numbers, DATE in fixed
// time zones, and VALUEOF and ATTRSTR over MQSC-style attribute texts.
#include <cmath>
#include <map>
#include <string>

#include "expr_testing.h"

using namespace et;

namespace {

std::map<std::string, std::string> strings;  // variables (and array keys) with text values
int reads = 0;

// Every variable named unset exists without a value.
int stringVariable(ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    ++reads;
    if (std::string(var->data, var->value.len) == "unset") {
        *result = ExpValue{};
        return 1;
    }
    auto it = strings.find(std::string(var->data, var->value.len));
    if (it == strings.end()) return expSetError(e, 0, "Variable is not defined in the current scope.");
    ExpValue copy = P(it->second);
    *result = copy;
    return 1;
}

class Functions : public ::testing::Test {
protected:
    void SetUp() override {
        strings.clear();
        reads = 0;
    }
    // Evaluates the text -> the error (empty on success); the value stays in result_.
    std::string run(const std::string &text) {
        release();
        char *error = nullptr;
        e_ = expParseExpression(text.c_str(), -1, 0, EXP_PARSE_AT_NAMES, expScriptOperatorTable,
                                stringVariable, nullptr, nullptr, &error);
        if (e_ == nullptr) {
            std::string message = std::string("parse: ") + error;
            CSFreeMem(error);
            return message;
        }
        ExpValue *cursor = e_->postfixNewest;
        if (!expEvaluate(e_, &cursor, &result_)) return e_->errorText ? e_->errorText : "failed";
        return "";
    }
    std::string str(const std::string &text) {
        EXPECT_EQ(run(text), "") << text;
        EXPECT_TRUE(expIsString(&result_)) << text << " type " << result_.type;
        return expIsString(&result_) ? std::string(result_.data, result_.value.len) : "<not a string>";
    }
    double real(const std::string &text) {
        EXPECT_EQ(run(text), "") << text;
        EXPECT_EQ(result_.type, EXP_DBL) << text;
        return result_.value.d;
    }
    int64_t integer(const std::string &text) {
        EXPECT_EQ(run(text), "") << text;
        EXPECT_EQ(result_.type, EXP_INT) << text;
        return result_.value.i;
    }
    void release() {
        expReleaseValue(&result_);
        expFreeExpression(e_);
        e_ = nullptr;
    }
    void TearDown() override { release(); }

    ExpExpression *e_ = nullptr;
    ExpValue result_{};
};

TEST_F(Functions, Substr) {
    EXPECT_EQ(str("SUBSTR('abcdef', 2, 3)"), "bcd");
    EXPECT_EQ(str("SUBSTR('abcdef', 0, 3)"), "ab");
    EXPECT_EQ(str("SUBSTR('abcdef', 5, 10)"), "ef");
    EXPECT_EQ(str("SUBSTR('abcdef', 7, 1)"), "");
    EXPECT_EQ(str("SUBSTR('abcdef', 2, -1)"), "bcdef");
    EXPECT_EQ(str("SUBSTR('abcdef', -2, 3)"), "");
    EXPECT_EQ(str("SUBSTR('abcdef', 6, 1)"), "f");
    EXPECT_EQ(result_.type, EXP_PSTR);
    EXPECT_EQ(run("SUBSTR(@n, 1, 1)"), "parse: Variable is not defined in the current scope.");
    // A function never fails in the trial: the type error comes at run time.
    EXPECT_EQ(run("SUBSTR(5, 1, 1)"), "Function SUBSTR() only accepts strings as arguments");
}

TEST_F(Functions, FindStr) {
    EXPECT_EQ(integer("FINDSTR('abcabc', 'ca')"), 3);
    EXPECT_EQ(integer("FINDSTR('abc', 'abcd')"), 0);
    EXPECT_EQ(integer("FINDSTR('abc', '')"), 1);
    EXPECT_EQ(integer("FINDSTR('ABC', 'b')"), 0);
    EXPECT_EQ(integer("FINDSTRI('ABC', 'b')"), 2);
    EXPECT_EQ(run("FINDSTRI(1, 'b')"), "Function FINDSTR() only accepts strings as arguments");
}

TEST_F(Functions, MaxMinSqrtPower) {
    EXPECT_DOUBLE_EQ(real("MAX(1, 2.5, 'abcd')"), 4.0);
    EXPECT_DOUBLE_EQ(real("MAX(-1, -2)"), -1.0);
    EXPECT_DOUBLE_EQ(real("MIN()"), 0.0);
    EXPECT_DOUBLE_EQ(real("MIN(3, 2, 7)"), 2.0);
    EXPECT_DOUBLE_EQ(real("SQRT(16)"), 4.0);
    EXPECT_TRUE(std::isnan(real("SQRT(-1)")));
    EXPECT_DOUBLE_EQ(real("POWER(2, 10)"), 1024.0);
}

TEST_F(Functions, LowerAndUpper) {
    HeapBalance balance;
    EXPECT_EQ(str("LOWER('AbC')"), "abc");
    EXPECT_EQ(str("UPPER('AbC')"), "ABC");
    EXPECT_EQ(str("LOWER('')"), "");
    EXPECT_EQ(result_.type, EXP_STR);
    EXPECT_EQ(run("LOWER(5)"), "Function LOWER() accepts only strings or list arguments");
    release();

    ExpExpression e{};
    ExpValue args[2] = {L({"A", "B"}), {}};
    ExpValue r{};
    const ExpOperator *lower = row("LOWER"), *upper = row("UPPER");
    ASSERT_EQ(lower->handler(&e, lower, args, &args[1], &r), 1);
    ASSERT_EQ(r.type, EXP_LIST);
    ExpListCursor c = expListBegin(&r);
    const char *t;
    size_t n;
    std::string items;
    while (expListNext(&c, &t, &n)) items += std::string(t, n) + ";";
    EXPECT_EQ(items, "a;b;");
    expReleaseValue(&r);
    expReleaseValue(&args[0]);
    ExpValue number[2] = {I(5), {}};
    EXPECT_EQ(upper->handler(&e, upper, number, &number[1], &r), 0);
    EXPECT_STREQ(e.errorText, "Function UPPER() accepts only strings or list arguments");
    CSFreeMem(e.errorText);
    ExpValue unset[2] = {};
    unset[0].type = 0;
    e.errorText = nullptr;
    EXPECT_EQ(lower->handler(&e, lower, unset, &unset[1], &r), 1);
    EXPECT_EQ(r.type, 0);
}

TEST_F(Functions, DateInUtc) {
    zt::ScopedTZ tz("UTC0");
    EXPECT_EQ(str("DATE(0, 'y-mm-d t')"), "1970-01-01 00:00:00");
    EXPECT_EQ(str("DATE(0, 'dd mmm')"), "1st January");
    EXPECT_EQ(str("DATE(0, 'ddd')"), "1st01");
    EXPECT_EQ(str("DATE(0)"), "00:00 01/01/1970");
    EXPECT_EQ(str("DATE(4102444800, 'y')"), "2100");  // past 2038: the whole 64-bit time
    EXPECT_EQ(str("DATE(46800, 'h hh H HH P p')"), "01 1 13 13 PM pm");
    EXPECT_EQ(str("DATE(0, 'D DD m yy J j \\y S M')"), "Thu Thursday Jan 70 1 0 y 00 00");
    EXPECT_EQ(str("DATE(1700000000, 'dd')"), "14th");
    EXPECT_EQ(str("DATE(0, 'Hello')"), "00ello");
    EXPECT_EQ(run("DATE(1, 2, 3)"), "Unrecognised parameters to date() function");
}

TEST_F(Functions, DateInAnotherZone) {
    zt::ScopedTZ tz("EST5");
    EXPECT_EQ(str("DATE(0, 'y-mm-d H')"), "1969-12-31 19");
}

TEST_F(Functions, ValueOfAndAttrStr) {
    HeapBalance balance;
    EXPECT_EQ(str("VALUEOF('DESCR', \"QUEUE(Q1) DESCR('my queue')\")"), "my queue");
    EXPECT_EQ(run("VALUEOF('MAXDEPTH', \"QUEUE(Q1) DESCR('my queue')\")"), "");
    EXPECT_EQ(result_.type, 0);
    EXPECT_EQ(str("VALUEOF('queue', 'QUEUE(Q1) DESCR(x)')"), "Q1");
    EXPECT_EQ(str("VALUEOF('DESCR', \"'QUEUE(Q1) DESCR(a(b)c)'\")"), "a(b)c");
    EXPECT_EQ(str("VALUEOF('X', 'X Y(1)')"), "");
    EXPECT_EQ(str("ATTRSTR('QUEUE', 'QUEUE(Q1) DESCR(x)')"), "QUEUE(Q1) ");
    EXPECT_EQ(str("ATTRSTR('DESCR', 'QUEUE(Q1) DESCR(x)')"), "DESCR(x)");
    EXPECT_EQ(str("ATTRSTR('NONE', 'QUEUE(Q1)')"), "");
    EXPECT_EQ(str("ATTRSTR(1, 'QUEUE(Q1)')"), "");
    EXPECT_EQ(run("VALUEOF(1, 'A(1)')"), "");
    EXPECT_EQ(result_.type, 0);
    EXPECT_EQ(str("VALUEOF('DESCR', 'DESCR(\"unterminated')"), "\"unterminated");
    release();
}

// An argument whose value is not set is an argument like any other, not the end of the list.
TEST_F(Functions, AnArgumentNotSetKeepsItsPlaceInTheList) {
    zt::ScopedTZ tz("UTC0");
    EXPECT_DOUBLE_EQ(real("MAX(1, unset, 5)"), 5.0);
    EXPECT_DOUBLE_EQ(real("MIN(1, unset, 5)"), 0.0);  // a value without a number counts as 0
    EXPECT_EQ(str("DATE(unset)"), "00:00 01/01/1970");
    // The pattern is the text of a value not set, "<Not Set>", whose S and t are date items.
    EXPECT_EQ(str("DATE(0, unset)"), "<No00:00:00 00e00:00:00>");
    EXPECT_EQ(run("DATE(1, 2, unset)"), "Unrecognised parameters to date() function");

    uint32_t i = 1;
    char key[32];
    size_t n = expBuildArrayKey("@_Parm", 6, &i, 1, key, sizeof key);
    strings[std::string(key, n)] = "TYPE(SDR)";
    EXPECT_EQ(run("VALUEOF('TYPE', unset)"), "");
    EXPECT_EQ(result_.type, 0);
    EXPECT_STREQ(e_->errorText, "Parameter 2 of VALUEOF() function must be a string");
}

TEST_F(Functions, ValueOfWithoutTextReadsTheScriptParameters) {
    uint32_t i = 1;
    char key[32];
    size_t n = expBuildArrayKey("@_Parm", 6, &i, 1, key, sizeof key);
    strings[std::string(key, n)] = "QUEUE(Q1)";
    i = 2;
    n = expBuildArrayKey("@_Parm", 6, &i, 1, key, sizeof key);
    strings[std::string(key, n)] = "CHANNEL(C1) TYPE(SDR)";
    EXPECT_EQ(str("VALUEOF('TYPE')"), "SDR");
    EXPECT_EQ(reads, 2);  // stops at the element that holds the attribute
    reads = 0;
    EXPECT_EQ(run("VALUEOF('NONE')"), "");
    EXPECT_EQ(result_.type, 0);
    EXPECT_EQ(reads, 3);  // elements 1 and 2, then the missing 3
}

}  // namespace
