// The message-selector language on its own: precedence, three-valued logic with missing
// properties, LIKE/ESCAPE, BETWEEN/IN, numeric literals and types, message descriptor fields, and
// the texts that must be refused as syntax errors.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "miniqm/props.h"
#include "miniqm/selector.h"

namespace {

using qmsel::Truth;
using qmsel::Value;

// The properties every table row is evaluated against.
Value sample(std::string_view name) {
    static const std::map<std::string, Value, std::less<>> props = {
        {"color", Value::string("red")},
        {"size", Value::integer(10)},
        {"weight", Value::real(2.5)},
        {"flag", Value::boolean(true)},
        {"data", Value::bytes(std::string("\x0A\xFC\x23", 3))},
        {"under", Value::string("a_b")},
        {"underX", Value::string("axb")},
        {"pct", Value::string("100%")},
        {"word", Value::string("caf\xC3\xA9")},
        {"quote", Value::string("it's")},
        {"a.b.c", Value::integer(3)},
    };
    auto it = props.find(name);
    return it == props.end() ? Value{} : it->second;
}

Truth eval(const std::string &text, MQLONG *why = nullptr) {
    qmsel::Selector s;
    MQLONG rc = s.compile(text);
    if (why) *why = rc;
    EXPECT_EQ(rc, MQRC_NONE) << text;
    return s.evaluate(sample);
}

struct Row {
    const char *text;
    Truth expected;
};

void runTable(const Row *rows, size_t n) {
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(eval(rows[i].text), rows[i].expected) << rows[i].text;
}

constexpr Truth T = Truth::True, F = Truth::False, U = Truth::Unknown;

TEST(Selector, AndBindsTighterThanOrAndArithmeticFollowsItsPrecedence) {
    const Row rows[] = {
        {"size = 10 OR size = 1 AND color = 'blue'", T},
        {"(size = 10 OR size = 1) AND color = 'blue'", F},
        {"NOT color = 'blue' AND size = 10", T},
        {"NOT (color = 'red' AND size = 10)", F},
        {"size + 2 * 3 = 16", T},
        {"(size + 2) * 3 = 36", T},
        {"size - 2 - 3 = 5", T},
        {"size / 5 / 2 = 1", T},
        {"-size = -10", T},
        {"- -size = 10", T},
        {"+size = 10", T},
        {"color like 'r%' and size between 1 and 20 or FALSE", T},
        {"a.b.c * 2 = 6", T},
    };
    runTable(rows, std::size(rows));
}

TEST(Selector, MissingPropertiesAreUnknownAndOnlyIsNullTurnsThemTrue) {
    const Row rows[] = {
        {"missing = 1", U},
        {"NOT missing = 1", U},
        {"missing = 1 OR size = 10", T},
        {"missing = 1 AND size = 10", U},
        {"missing = 1 AND size = 9", F},
        {"NOT (missing = 1 AND size = 9)", T},
        {"missing IS NULL", T},
        {"missing IS NOT NULL", F},
        {"color IS NULL", F},
        {"color IS NOT NULL", T},
        {"missing + 1 = 1", U},
        {"missing BETWEEN 1 AND 2", U},
        {"missing NOT IN ('a')", U},
        {"missing NOT LIKE 'a%'", U},
        {"Color = 'red'", U},  // identifiers are case-sensitive
        {"size / 0 = 1", U},   // no value for a division by zero
    };
    runTable(rows, std::size(rows));
}

TEST(Selector, LikeMatchesCharactersWithWildcardsAndEscapes) {
    const Row rows[] = {
        {"color LIKE 'r%'", T},
        {"color LIKE 'r_d'", T},
        {"color LIKE 'r_'", F},
        {"color LIKE '%e%'", T},
        {"color LIKE '%'", T},
        {"color LIKE 'RED'", F},
        {"color NOT LIKE 'b%'", T},
        {"under LIKE 'a\\_b' ESCAPE '\\'", T},
        {"underX LIKE 'a\\_b' ESCAPE '\\'", F},
        {"underX LIKE 'a_b'", T},
        {"pct LIKE '100!%' ESCAPE '!'", T},
        {"pct LIKE '10!%' ESCAPE '!'", F},
        {"word LIKE 'caf_'", T},  // one character, two bytes in UTF-8
        {"word LIKE 'caf__'", F},
        {"size LIKE '1%'", F},  // not a string
        {"quote = 'it''s'", T},
        {"color LIKE '%%r%%e%%d%%'", T},
    };
    runTable(rows, std::size(rows));
}

TEST(Selector, BetweenIsInclusiveAndInComparesStrings) {
    const Row rows[] = {
        {"size BETWEEN 10 AND 20", T},
        {"size BETWEEN 1 AND 10", T},
        {"size BETWEEN 11 AND 20", F},
        {"size NOT BETWEEN 11 AND 20", T},
        {"weight BETWEEN 2 AND 3", T},
        {"size BETWEEN 5 + 5 AND 2 * 5", T},
        {"color IN ('red', 'green')", T},
        {"color IN ('Red')", F},
        {"color NOT IN ('red')", F},
        {"color NOT IN ('blue', 'green')", T},
        {"size IN ('10')", F},
    };
    runTable(rows, std::size(rows));
}

TEST(Selector, NumbersCompareAcrossTypesAndLiteralForms) {
    const Row rows[] = {
        {"size = 10.0", T},
        {"weight > 2", T},
        {"weight = 2.5", T},
        {"weight = 25E-1", T},
        {"weight = 2.5F", T},
        {"weight = 2.5d", T},
        {"size = 012", T},  // octal
        {"size = 0xA", T},  // hexadecimal
        {"size = 0X0a", T},
        {"size = 10L", T},
        {"size / 4 = 2", T},  // integer division
        {"size / 4.0 = 2.5", T},
        {"0.5 < weight", T},
        {".5 < weight", T},
        {"7. < weight", F},
        {"size > -9223372036854775808", T},
        {"size * 9223372036854775807 <> 0", T},  // wraps, no undefined overflow
        {"size <> 11", T},
        {"size >= 10 AND size <= 10 AND NOT size < 10 AND NOT size > 10", T},
    };
    runTable(rows, std::size(rows));
}

TEST(Selector, UnlikeTypesNeverCompareAndBooleansStandAlone) {
    const Row rows[] = {
        {"color = 10", F},
        {"color <> 10", F},
        {"NOT color = 10", T},
        {"flag = TRUE", T},
        {"flag <> FALSE", T},
        {"flag", T},
        {"NOT flag", F},
        {"size", U},  // a number is no condition
        {"color = 'red' AND flag", T},
        {"data = 0x0AFC23", T},
        {"data = 0x0AFC2300", F},
        {"data = 0x000AFC23", F},
        {"data = 0x23FC0A", F},
        {"data <> 0x0AFC23", F},
        {"flag = 1", F},
    };
    runTable(rows, std::size(rows));
}

TEST(Selector, MalformedTextIsASyntaxError) {
    const char *bad[] = {
        "color =",
        "= 1",
        "color = 'red",
        "size > 'a'",
        "'a' < color",
        "flag < TRUE",
        "color = \"red\"",
        "size = 09",
        "size = 0x",
        "1 + 'a' = 2",
        "5",
        "size + 1",
        "'abc'",
        "color LIKE size",
        "color LIKE 'a' ESCAPE 'ab'",
        "color LIKE 'a' ESCAPE ''",
        "color LIKE 'a!' ESCAPE '!'",
        "color IN ()",
        "color IN (1, 2)",
        "'a' IN ('a')",
        "5 IS NULL",
        "size BETWEEN 1",
        "size BETWEEN 'a' AND 'b'",
        "NOT",
        "size = 1 size = 2",
        "(size = 1",
        "size = 1)",
        "size == 1",
        "size != 1",
        "size = 9223372036854775808",
        "size = 12abc",
        "a..b = 1",
        "size = 1 AND",
        "color IS NOT 'x'",
        "color IS 'x'",
        "color NOT = 'x'",
        "size = 1.2.3",
        "size = 1e",
        "x = 0xABC AND y = 0x123456789ABCDEF01",
        "size = 1 OR OR size = 2",
        "AND = 1",
        "size = #",
        "NOT NOT",
        "()",
    };
    for (const char *text : bad) {
        qmsel::Selector s;
        EXPECT_EQ(s.compile(text), MQRC_SELECTOR_SYNTAX_ERROR) << text;
    }
}

TEST(Selector, NestingBeyondTheLimitIsRefusedAndFlatChainsAreNot) {
    auto nested = [](int depth) {
        return std::string(static_cast<size_t>(depth), '(') + "size = 10" +
               std::string(static_cast<size_t>(depth), ')');
    };
    MQLONG why;
    EXPECT_EQ(eval(nested(50), &why), T);
    qmsel::Selector s;
    EXPECT_EQ(s.compile(nested(qmsel::kMaxNesting + 5)), MQRC_SELECTOR_SYNTAX_ERROR);
    std::string nots;
    for (int i = 0; i < 5000; ++i) nots += "NOT ";
    EXPECT_EQ(s.compile(nots + "flag"), MQRC_SELECTOR_SYNTAX_ERROR);
    std::string minus(5000, '-');
    EXPECT_EQ(s.compile(minus + "size = 1"), MQRC_SELECTOR_SYNTAX_ERROR);
    // Long AND and + chains are lists, not deep trees: fine at the full selector length.
    std::string chain = "size = 10";
    while (chain.size() < 10000) chain += " AND size = 10";
    EXPECT_EQ(eval(chain), T);
    std::string sum = "size";
    while (sum.size() < 10000) sum += " + 0";
    EXPECT_EQ(eval(sum + " = 10"), T);
}

TEST(Selector, PrepareSeparatesNoSelectionFromAlwaysFalse) {
    std::shared_ptr<const qmsel::Selector> sel;
    EXPECT_EQ(qmsel::prepare("", sel), MQRC_NONE);
    EXPECT_EQ(sel, nullptr);
    EXPECT_EQ(qmsel::prepare("   \t ", sel), MQRC_NONE);
    EXPECT_EQ(sel, nullptr);
    EXPECT_EQ(qmsel::prepare("TRUE <> FALSE", sel), MQRC_NONE);
    EXPECT_EQ(sel, nullptr);
    EXPECT_EQ(qmsel::prepare("FALSE", sel), MQRC_SELECTOR_ALWAYS_FALSE);
    EXPECT_EQ(qmsel::prepare("1 = 2", sel), MQRC_SELECTOR_ALWAYS_FALSE);
    EXPECT_EQ(qmsel::prepare("size = 'x", sel), MQRC_SELECTOR_SYNTAX_ERROR);
    EXPECT_EQ(qmsel::prepare("size = 1", sel), MQRC_NONE);
    ASSERT_NE(sel, nullptr);
    EXPECT_EQ(sel->text(), "size = 1");
}

TEST(Selector, MessageFieldsAndPropertiesOfAStoredMessage) {
    MQMD md = MQMD_DEFAULT;
    md.Priority = 7;
    md.Persistence = MQPER_PERSISTENT;
    std::memcpy(md.Format, MQFMT_STRING, 8);
    std::memcpy(md.CorrelId, "ABCDEFGHIJKLMNOPQRSTUVWX", 24);
    std::memcpy(md.PutApplName, "app one                     ", 28);
    qmprops::PropertyList list;
    qmprops::Property p;
    ASSERT_EQ(qmprops::makeProperty("color", MQTYPE_STRING,
                                    "r\xE9"
                                    "d",
                                    3, 819, p),
              MQRC_NONE);  // 819: é
    list.set(p, false);
    MQLONG small = 5;
    int8_t tiny = -3;
    float f = 1.5f;
    ASSERT_EQ(qmprops::makeProperty("n32", MQTYPE_INT32, &small, 4, 1208, p), MQRC_NONE);
    list.set(p, false);
    ASSERT_EQ(qmprops::makeProperty("n8", MQTYPE_INT8, &tiny, 1, 1208, p), MQRC_NONE);
    list.set(p, false);
    ASSERT_EQ(qmprops::makeProperty("f32", MQTYPE_FLOAT32, &f, 4, 1208, p), MQRC_NONE);
    list.set(p, false);
    ASSERT_EQ(qmprops::makeProperty("nothing", MQTYPE_NULL, nullptr, 0, 1208, p), MQRC_NONE);
    list.set(p, false);
    std::string props = list.encode();

    const Row rows[] = {
        {"Root.MQMD.Priority = 7", T},
        {"Root.MQMD.Priority > 5 AND Root.MQMD.Persistence = 1", T},
        {"Root.MQMD.Format = 'MQSTR'", T},
        {"Root.MQMD.PutApplName = 'app one'", T},
        {"Root.MQMD.CorrelId = 0x4142434445464748494A4B4C4D4E4F505152535455565758", T},
        {"Root.MQMD.CorrelId = 0x41", F},
        {"Root.MQMD.MsgType = 8 AND Root.MQMD.BackoutCount = 0", T},
        {"Root.MQMD.Version IS NULL AND Root.MQMD.StrucId IS NULL", T},
        {"Root.MQMD.NoSuchField IS NULL", T},
        {"color = 'r\xC3\xA9"
         "d'",
         T},  // the 819 value compared in UTF-8
        {"usr.color LIKE 'r%'", T},
        {"n32 + n8 = 2", T},
        {"f32 = 1.5", T},
        {"nothing IS NULL", T},
        {"nothing = 1", U},
    };
    for (const Row &row : rows) {
        qmsel::Selector s;
        ASSERT_EQ(s.compile(row.text), MQRC_NONE) << row.text;
        EXPECT_EQ(s.evaluate([&](std::string_view n) { return qmsel::messageValue(n, md, props); }),
                  row.expected)
            << row.text;
        EXPECT_EQ(qmsel::matchesMessage(s, md, props), row.expected == T) << row.text;
    }
}

}  // namespace
