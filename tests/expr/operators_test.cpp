// Operator handlers, promotion and value conversions, called directly with built values.
#include <cmath>
#include <limits>

#include "expr_testing.h"

using namespace et;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(ExprTables, ScriptTableHas74RowsAndFilterTable47InOrder) {
    int script = 0, filter = 0;
    while (expScriptOperatorTable[script].name != nullptr) ++script;
    while (expFilterOperatorTable[filter].name != nullptr) ++filter;
    EXPECT_EQ(script, 74);
    EXPECT_EQ(filter, 47);
    const char *expected[] = {
        "==",  "=",   "EQ",    "!=",    "<>",     "NE",      "||",       "|",    "OR", "&&", "&",   "AND",
        ">=",  "GE",  "<=",    "LE",    ">",      "GT",      "<",        "LT",   "-",  "+",  "*",   "%",
        "/",   "LK",  "NL",    "CT",    "EX",     "CTG",     "EXG",      "+",    "-",  "!",  "NOT", "SQRT",
        "MAX", "MIN", "LOWER", "UPPER", "SUBSTR", "FINDSTR", "FINDSTRI", "DATE", ",",  "(",  ")"};
    for (int i = 0; i < 47; ++i) EXPECT_STREQ(expFilterOperatorTable[i].name, expected[i]) << i;
    EXPECT_STREQ(expScriptOperatorTable[6].name, "||");
    EXPECT_STREQ(expScriptOperatorTable[47].name, "SORT");
    EXPECT_STREQ(expScriptOperatorTable[68].name, "TRIMSTR");
    EXPECT_STREQ(expScriptOperatorTable[73].name, "]");
}

TEST(ExprTables, NameLengthsAndWordFlagsAreSetAtCompileTime) {
    for (const ExpOperator *r = expScriptOperatorTable; r->name != nullptr; ++r) {
        EXPECT_EQ(r->nameLength, std::strlen(r->name)) << r->name;
        bool word = (r->name[0] >= 'A' && r->name[0] <= 'Z');
        EXPECT_EQ((r->flags & EXP_OPF_WORD) != 0, word) << r->name;
    }
    const ExpOperator *minus = row("-", true);
    EXPECT_EQ(minus->flags, EXP_OPF_UNARY | EXP_OPF_ALSO_BINARY);
    EXPECT_EQ(minus->incoming, 18);
    EXPECT_EQ(minus->inStack, 17);
    EXPECT_EQ(row("FGETS")->byReference, 2u);
    EXPECT_EQ(row("SORT")->byReference, 1u);
    EXPECT_EQ(row(")")->incoming, 9);
    EXPECT_EQ(row(")")->inStack, 14);
}

TEST(ExprTables, UnregisteredScriptFunctionFailsAndRegisteredOneIsCalled) {
    HeapBalance balance;
    Context c;
    ExpValue args[2] = {I(4), {}};
    ExpValue result{};
    const ExpOperator *wait = row("WAIT");
    EXPECT_EQ(wait->handler(&c.e, wait, args, nullptr, &result), 0);
    EXPECT_EQ(c.error(), "Function WAIT is not available");
    ExpHandler sqrtHandler = row("SQRT")->handler;
    EXPECT_EQ(expRegisterScriptFunction("NOSUCH", sqrtHandler), 0);
    ASSERT_EQ(expRegisterScriptFunction("WAIT", sqrtHandler), 1);
    EXPECT_EQ(wait->handler(&c.e, wait, args, nullptr, &result), 1);
    EXPECT_DOUBLE_EQ(result.value.d, 2.0);
    expRegisterScriptFunction("WAIT", nullptr);
}

TEST(ExprIntegers, ArithmeticDivisionRemainderAndWrapping) {
    Context c;
    ExpValue r{};
    ASSERT_EQ(c.apply("/", I(7), I(2), &r), 1);
    EXPECT_EQ(r.type, EXP_DBL);
    EXPECT_DOUBLE_EQ(r.value.d, 3.5);
    ASSERT_EQ(c.apply("%", I(7), I(2), &r), 1);
    EXPECT_EQ(r.type, EXP_INT);
    EXPECT_EQ(r.value.i, 1);
    ASSERT_EQ(c.apply("%", I(-7), I(2), &r), 1);
    EXPECT_EQ(r.value.i, -1);
    ASSERT_EQ(c.apply("%", I(INT64_MIN), I(-1), &r), 1);
    EXPECT_EQ(r.value.i, 0);
    ASSERT_EQ(c.apply("+", I(INT64_MAX), I(1), &r), 1);
    EXPECT_EQ(r.value.i, INT64_MIN);
    ASSERT_EQ(c.apply("*", I(INT64_MIN), I(-1), &r), 1);
    EXPECT_EQ(r.value.i, INT64_MIN);
    ASSERT_EQ(c.unary("-", I(INT64_MIN), &r), 1);
    EXPECT_EQ(r.value.i, INT64_MIN);
}

TEST(ExprIntegers, DivideByZeroFailsAtRunTimeAndGivesOneInTrial) {
    for (const char *op : {"/", "%"}) {
        Context c;
        ExpValue r{};
        EXPECT_EQ(c.apply(op, I(5), I(0), &r), 0) << op;
        EXPECT_EQ(c.error(), "Runtime error:Divide by zero");
        Context trial(0, true);
        ASSERT_EQ(trial.apply(op, I(5), I(0), &r), 1) << op;
        EXPECT_EQ(r.type, EXP_DBL);
        EXPECT_DOUBLE_EQ(r.value.d, 1.0);
    }
    Context c;
    ExpValue r{};
    EXPECT_EQ(c.apply("/", D(1.5), D(0.0), &r), 0);
    EXPECT_EQ(c.error(), "Runtime error:Divide by zero");
}

TEST(ExprIntegers, LogicGivesTruthWhileDoubleFormsGiveBits) {
    Context c;
    EXPECT_EQ(c.integer("|", I(6), I(3)), 1);
    EXPECT_EQ(c.integer("&", I(6), I(3)), 1);
    EXPECT_EQ(c.integer("&", I(6), I(0)), 0);
    EXPECT_EQ(c.integer("OR", I(0), I(0)), 0);
    EXPECT_EQ(c.integer("||", I(6), I(3)), 7);
    EXPECT_EQ(c.integer("&&", I(6), I(3)), 2);
    EXPECT_EQ(c.integer("GE", I(-1), I(-1)), 1);
    EXPECT_EQ(c.integer("<>", I(2), I(3)), 1);
}

TEST(ExprReals, NaNIsUnequalAndIntegerOnlyOperatorsAreRefused) {
    Context c;
    ExpValue r{};
    EXPECT_EQ(c.integer("=", D(NaN), D(NaN)), 0);
    EXPECT_EQ(c.integer("!=", D(NaN), D(NaN)), 1);
    EXPECT_EQ(c.integer("OR", D(NaN), D(0.0)), 1);
    EXPECT_EQ(c.integer("AND", D(2.0), D(0.0)), 0);
    EXPECT_EQ(c.apply("%", D(1.0), D(2.0), &r), 0);
    EXPECT_EQ(c.error(), "Operator '%' is not supported for real numbers");
    EXPECT_EQ(c.apply("||", D(1.0), D(2.0), &r), 0);
    EXPECT_EQ(c.error(), "Operator '||' is not supported for real numbers");
}

TEST(ExprStrings, ComparisonsFollowTheCaseFlag) {
    Context plain, exact(EXP_PARSE_CASE);
    EXPECT_EQ(plain.integer("=", S("abc"), S("ABC")), 1);
    EXPECT_EQ(exact.integer("=", S("abc"), S("ABC")), 0);
    EXPECT_EQ(plain.integer("<", S("ab"), S("abc")), 1);
    EXPECT_EQ(plain.integer("GT", S("b"), S("abc")), 1);
    EXPECT_EQ(plain.integer("AND", S("a"), S("")), 0);
    EXPECT_EQ(plain.integer("OR", S("a"), S("")), 1);
}

TEST(ExprStrings, PlusConcatenatesAndOtherArithmeticIsRefused) {
    HeapBalance balance;
    Context c;
    ExpValue r{};
    ASSERT_EQ(c.apply("+", S("ab"), P("cd"), &r), 1);
    EXPECT_EQ(r.type, EXP_PSTR);
    EXPECT_EQ(text(r), "abcd");
    expReleaseValue(&r);
    EXPECT_EQ(c.apply("-", S("ab"), P("cd"), &r), 0);
    EXPECT_EQ(c.error(), "Operator '-' is not supported for strings");
}

TEST(ExprPromotion, StringsBesideNumbersBecomeLengthsAndListsTheirTotals) {
    HeapBalance balance;
    Context c;
    ExpValue r{};
    EXPECT_EQ(c.integer("=", S("abc"), I(3)), 1);
    EXPECT_EQ(c.integer(">", P("abc"), D(2.5)), 1);
    EXPECT_EQ(c.integer("<", P("abc"), D(3.5)), 1);
    EXPECT_EQ(c.integer("=", L({"A", "BB"}), I(3)), 1);
    EXPECT_EQ(c.integer("=", L({"A", "BB"}), L({"CCC"})), 1);
    c.apply("+", I(1), D(0.5), &r);
    EXPECT_EQ(r.type, EXP_DBL);
    EXPECT_DOUBLE_EQ(r.value.d, 1.5);
}

TEST(ExprPromotion, RealsBesideListsSaturateInsteadOfOverflowing) {
    HeapBalance balance;
    Context c;
    EXPECT_EQ(c.integer(">", D(1e300), L({"A"})), 1);
    EXPECT_EQ(c.integer("<", D(-1e300), L({"A"})), 1);
    EXPECT_EQ(c.integer("=", D(NaN), L({})), 1);
    EXPECT_EQ(expDoubleToInteger(1e300, INT32_MIN, INT32_MAX), INT32_MAX);
    EXPECT_EQ(expDoubleToInteger(-2.9, INT32_MIN, INT32_MAX), -2);
    EXPECT_EQ(expDoubleToInteger(9.3e18, INT64_MIN, INT64_MAX), INT64_MAX);
}

TEST(ExprUnset, ArithmeticIsNotSetLikeIsFalseContainsIsAWrongType) {
    HeapBalance balance;
    Context c;
    ExpValue r{};
    ExpValue unset{};
    ASSERT_EQ(c.apply("+", unset, I(1), &r), 1);
    EXPECT_EQ(r.type, 0);
    ASSERT_EQ(c.apply("=", P("x"), unset, &r), 1);
    EXPECT_EQ(r.type, 0);
    ASSERT_EQ(c.apply("LK", unset, S("A*"), &r), 1);
    EXPECT_EQ(r.type, EXP_INT);
    EXPECT_EQ(r.value.i, 0);
    EXPECT_EQ(c.apply("CT", unset, S("A"), &r), 0);
    EXPECT_EQ(c.error(), "First operand to operator 'CT' should be a list or string");
    ASSERT_EQ(c.unary("-", unset, &r), 1);
    EXPECT_EQ(r.type, 0);
}

TEST(ExprUnary, StringsAndListsActByLength) {
    HeapBalance balance;
    Context c;
    ExpValue r{};
    EXPECT_EQ(c.integer("-", S("abc")), -3);
    EXPECT_EQ(c.integer("!", S("")), 1);
    c.unary("NOT", D(0.0), &r);
    EXPECT_EQ(r.type, EXP_INT);
    EXPECT_EQ(r.value.i, 1);
    EXPECT_EQ(c.integer("-", L({"A", "BB"})), -3);
    EXPECT_EQ(c.integer("+", P("abcd")), 4);
    c.unary("-", D(2.5), &r);
    EXPECT_DOUBLE_EQ(r.value.d, -2.5);
}

TEST(ExprWildcards, LikeAndNotLikeFollowTheCaseFlag) {
    Context plain, exact(EXP_PARSE_CASE);
    ExpValue r{};
    EXPECT_EQ(plain.integer("LK", S("queue.one"), S("QUEUE.*")), 1);
    EXPECT_EQ(plain.integer("NL", S("queue.one"), S("QUEUE.*")), 0);
    EXPECT_EQ(exact.integer("LK", S("queue.one"), S("QUEUE.*")), 0);
    EXPECT_EQ(exact.integer("NL", S("queue.one"), S("QUEUE.*")), 1);
    EXPECT_EQ(plain.integer("==", S("Q1"), S("q?")), 1);
    EXPECT_EQ(plain.apply("LK", I(5), S("5"), &r), 0);
    EXPECT_EQ(plain.error(), "Operator 'LK' is only applicable to strings");
}

TEST(ExprLists, MembershipOperators) {
    HeapBalance balance;
    Context c, exact(EXP_PARSE_CASE);
    ExpValue r{};
    struct Case {
        const char *op;
        const char *right;
        int64_t expected;
    } cases[] = {{"CT", "BB", 1}, {"EX", "BB", 0}, {"CTG", "B*", 1}, {"EXG", "Z*", 1},
                 {"==", "C", 1},  {"CT", "bb", 1}, {"CT", "B", 0},   {"EXG", "?", 0}};
    for (const Case &k : cases) {
        ASSERT_EQ(c.apply(k.op, L({"A", "BB", "C"}), S(k.right), &r), 1) << k.op << " " << k.right;
        EXPECT_EQ(r.value.i, k.expected) << k.op << " " << k.right;
    }
    EXPECT_EQ(exact.integer("CT", L({"A", "BB", "C"}), S("bb")), 0);
    EXPECT_EQ(c.apply("LT", L({"A"}), S("A"), &r), 1);  // a list beside a string compares lengths
}

TEST(ExprLists, MatchOnNumbersFailsButPassesTheTrial) {
    Context c;
    ExpValue r{};
    EXPECT_EQ(c.apply("==", I(5), I(5), &r), 0);
    EXPECT_EQ(c.error(), "Second operand to operator '==' should be a string");
    Context trial(0, true);
    ASSERT_EQ(trial.apply("==", I(5), I(5), &r), 1);
    EXPECT_EQ(r.value.i, 1);
    ASSERT_EQ(trial.apply("CT", I(5), S("5"), &r), 1);
    EXPECT_EQ(r.value.i, 1);
}

TEST(ExprLists, PlainStringOnTheLeftIsAOneElementList) {
    Context c;
    ExpValue r{};
    c.apply("CT", S("ab"), S("abcdef"), &r);  // never reads past the shorter text
    EXPECT_EQ(r.value.i, 0);
    EXPECT_EQ(c.integer("CT", S("ABC"), S("abc")), 1);
    EXPECT_EQ(c.integer("EX", S("abc"), S("abc")), 0);
    EXPECT_EQ(c.integer("CTG", S("abcdef"), S("abc*")), 1);
    EXPECT_EQ(c.integer("EXG", S("abcdef"), S("x*")), 1);
}

TEST(ExprLists, DamagedBufferStopsTheWalk) {
    // One element of length 2 claiming 40 bytes: the walk stops instead of reading past the end.
    uint8_t buffer[6] = {2, 0, 'A', 'B', 40, 0};
    ExpValue list{};
    expSetString(&list, EXP_LIST, reinterpret_cast<char *>(buffer), sizeof buffer);
    EXPECT_EQ(expListTotalLength(&list), 2u);
}

TEST(ExprOwnership, HandlersFreeOwnedOperandsOnEveryPath) {
    HeapBalance balance;
    Context c;
    ExpValue r{};
    // Success and failure paths of each handler with owned operands.
    c.apply("+", P("a"), P("b"), &r);
    expReleaseValue(&r);
    c.apply("-", P("a"), P("b"), &r);
    c.apply("=", L({"A"}), P("b"), &r);
    c.apply("%", P("ab"), D(1.0), &r);
    c.apply("LK", P("a"), L({"A"}), &r);
    c.apply("LK", P("a"), P("*"), &r);
    c.apply("CT", L({"A"}), P("A"), &r);
    c.apply("CT", P("x"), L({"A"}), &r);
    c.apply("CT", I(1), P("x"), &r);
    c.apply("NL", P("abc"), ExpValue{}, &r);
    c.unary("-", L({"A"}), &r);
    c.unary("!", P("A"), &r);
    ExpValue var{};
    auto *name = static_cast<char *>(CSGetMem(2));
    name[0] = 'x';
    name[1] = 0;
    expSetString(&var, EXP_VAR, name, 1);
    EXPECT_EQ(c.apply("=", var, I(1), &r), 0);
    EXPECT_EQ(c.error(), "Unknown lexeme type 0x4");
}

TEST(ExprConversions, ValueToString) {
    HeapBalance balance;
    Context c;
    auto check = [&](ExpValue v, int decimals, const char *expected) {
        char *t = expValueToString(&c.e, &v, decimals);
        if (expected == nullptr) {
            EXPECT_EQ(t, nullptr);
        } else {
            ASSERT_NE(t, nullptr);
            EXPECT_STREQ(t, expected);
            CSFreeMem(t);
        }
    };
    check(I(INT64_MIN), 0, "-9223372036854775808");
    check(D(2.5), 2, "2.50");
    check(ExpValue{}, 0, "<Not Set>");
    check(S("abc"), 0, "abc");
    ExpValue op{};
    op.type = EXP_OP;
    op.value.op = row("+");
    check(op, 0, nullptr);
    EXPECT_EQ(c.error(), "Unknown lexeme type 0x10");
}

TEST(ExprConversions, IsNumberAndAsDouble) {
    EXPECT_EQ(expIsNumber("-5", 2), 1);
    EXPECT_EQ(expIsNumber("1.5", 3), 1);
    EXPECT_EQ(expIsNumber("-", 1), 0);
    EXPECT_EQ(expIsNumber("1.2.3", 5), 0);
    EXPECT_EQ(expIsNumber("", 0), 0);
    EXPECT_EQ(expIsNumber("1a", 2), 0);
    HeapBalance balance;
    ExpValue list = L({"AB", "C"});
    EXPECT_DOUBLE_EQ(expValueAsDouble(&list), 3.0);
    expReleaseValue(&list);
    ExpValue s = S("abcd");
    EXPECT_DOUBLE_EQ(expValueAsDouble(&s), 4.0);
}

TEST(ExprCompare, OrderOfValuesForSorting) {
    Context c;
    ExpValue ab = S("Ab"), aa = S("aa"), a = S("a"), abc = S("ab");
    EXPECT_EQ(expCompareValues(&c.e, &ab, &aa), -1);
    EXPECT_EQ(expCompareValues(&c.e, &aa, &ab), 1);
    EXPECT_EQ(expCompareValues(&c.e, &a, &abc), -1);
    EXPECT_EQ(expCompareValues(&c.e, nullptr, nullptr), 0);
    EXPECT_EQ(expCompareValues(&c.e, nullptr, &a), -1);
    EXPECT_EQ(expCompareValues(&c.e, &a, nullptr), 1);
    ExpValue low = D(-2147483648.0), one = S("x");
    EXPECT_EQ(expCompareValues(&c.e, &low, &one), -1);  // the difference does not wrap
    ExpValue big = D(1e300), nan = D(NaN), empty = S("");
    EXPECT_EQ(expCompareValues(&c.e, &big, &one), 1);
    EXPECT_EQ(expCompareValues(&c.e, &nan, &empty), 0);
    ExpValue i1 = I(1), i2 = I(INT64_MAX);
    EXPECT_EQ(expCompareValues(&c.e, &i2, &i1), 1);
    ExpValue d1 = D(1.5), d2 = D(1.5);
    EXPECT_EQ(expCompareValues(&c.e, &d1, &d2), 0);
}

TEST(ExprArrayKeys, KeysAreByteExactAndFormatForMessages) {
    uint32_t subs[2] = {1, 2};
    char key[64];
    size_t n = expBuildArrayKey("ab", 2, subs, 2, key, sizeof key);
    EXPECT_BYTES_EQ(std::string_view("\x61\x62\x25\x02\x03\xDD\xDD\xDD\x01\x00\x00\x00\x02\x00\x00\x00", 16),
                    std::string_view(key, n));
    n = expBuildArrayKey("x", 1, subs, 2, key, sizeof key);
    EXPECT_BYTES_EQ(std::string_view("\x78\x25\x02\x00\x01\x00\x00\x00\x02\x00\x00\x00", 12),
                    std::string_view(key, n));
    EXPECT_EQ(expBuildArrayKey("x", 1, subs, 5, key, sizeof key), 0u);
    EXPECT_EQ(expBuildArrayKey("x", 1, subs, 2, key, 11), 0u);

    char out[64];
    n = expBuildArrayKey("ab", 2, subs, 2, key, sizeof key);
    EXPECT_EQ(expFormatArrayName(key, n, out, sizeof out), 7u);
    EXPECT_STREQ(out, "ab[1,2]");
    expFormatArrayName("plain", 5, out, sizeof out);
    EXPECT_STREQ(out, "plain");
    expFormatArrayName(key, n, out, 4);
    EXPECT_STREQ(out, "ab[");
    expFormatArrayName(key, 5, out, sizeof out);  // a cut key never reads past its length
    EXPECT_STREQ(out, "ab[]");
}

TEST(ExprErrors, SetErrorReplacesTheTextAndFitsLongArguments) {
    HeapBalance balance;
    Context c;
    EXPECT_EQ(expSetError(&c.e, 0, "first %d", 1), 0);
    EXPECT_EQ(c.error(), "first 1");
    std::string longName(300, 'q');
    expSetError(&c.e, 0, "name '%s'", longName.c_str());
    EXPECT_EQ(c.error(), "name '" + longName + "'");
    CSFreeMem(c.e.errorText);
    c.e.errorText = nullptr;
}

}  // namespace
