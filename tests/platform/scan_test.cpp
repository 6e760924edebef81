// Tokenisers, quote-aware finders, digit patterns and keyword tables.
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

const char kDelims[] = "()[]!|&<>-+*/=,;";
const char kSeps[] = " ()[]!|&<>-+*/=\n\t,;";

std::vector<std::string> lexemes(const std::string &text, size_t length = std::string::npos) {
    std::vector<std::string> out;
    const char *cursor = text.data();
    const char *end = text.data() + (length == std::string::npos ? text.size() : length);
    const char *lexeme = nullptr;
    size_t n = 0;
    while (scanGetToken(&cursor, end, kDelims, kSeps, &lexeme, &n) == 0) {
        out.emplace_back(lexeme, n);
        if (out.size() > 100) break;  // a tokeniser that stops moving must not hang the test
    }
    EXPECT_EQ(n, 0u);
    return out;
}

std::vector<std::string> mqscTokens(const char *text) {
    std::vector<std::string> out;
    const char *cursor = text;
    char token[SCAN_MQSC_TOKEN_SIZE];
    while (scanGetMQSCToken(&cursor, token) == 0) {
        out.emplace_back(token);
        if (out.size() > 100) break;
    }
    EXPECT_STREQ(token, "");
    return out;
}

using V = std::vector<std::string>;

TEST(ScanGetToken, SplitsOperatorsAndPairsTheTwoCharacterOnes) {
    EXPECT_EQ(lexemes("a>=b"), (V{"a", ">=", "b"}));
    EXPECT_EQ(lexemes("a=>b"), (V{"a", "=", ">", "b"}));
    EXPECT_EQ(lexemes("a<>b!=c<=d==e"), (V{"a", "<>", "b", "!=", "c", "<=", "d", "==", "e"}));
    EXPECT_EQ(lexemes("x.y+1"), (V{"x.y", "+", "1"}));
    EXPECT_EQ(lexemes("-5"), (V{"-", "5"}));
    EXPECT_EQ(lexemes("  f(a_b,\t[1])\r\n"), (V{"f", "(", "a_b", ",", "[", "1", "]", ")"}));
}

TEST(ScanGetToken, QuotedLexemesKeepTheirQuotesAndAnOpenOneRunsToTheEnd) {
    EXPECT_EQ(lexemes("'a b'c"), (V{"'a b'", "c"}));
    EXPECT_EQ(lexemes("\"it's\" x"), (V{"\"it's\"", "x"}));
    EXPECT_EQ(lexemes("x 'open to end"), (V{"x", "'open to end"}));
}

TEST(ScanGetToken, StopsAtTheGivenEndAndAtANul) {
    EXPECT_EQ(lexemes("abc>=d", 4), (V{"abc", ">"}));  // the pair would need a byte past the end
    std::string withNul("ab\0cd", 5);
    EXPECT_EQ(lexemes(withNul), (V{"ab"}));
    EXPECT_EQ(lexemes("   "), V{});
    EXPECT_EQ(lexemes(""), V{});
}

TEST(ScanGetMQSCToken, CutsMqscTextAndDropsComments) {
    EXPECT_EQ(mqscTokens("define channel('a b') # note"), (V{"DEFINE", "CHANNEL", "(", "a b", ")"}));
    EXPECT_EQ(mqscTokens("a ; all of this\nb # and this\r\nc"), (V{"A", "B", "C"}));
    EXPECT_EQ(mqscTokens("x>=1 y<>2 z=3 !a -q+r/s"),
              (V{"X", ">=", "1", "Y", "<>", "2", "Z", "=", "3", "!", "A", "-", "Q", "+", "R", "/", "S"}));
    EXPECT_EQ(mqscTokens("q.*(\"MiXed\")"), (V{"Q.*", "(", "MiXed", ")"}));
    EXPECT_EQ(mqscTokens("descr('unterminated text"), (V{"DESCR", "(", "unterminated text"}));
    EXPECT_EQ(mqscTokens(""), V{});
    EXPECT_EQ(mqscTokens("  # only a comment"), V{});
}

TEST(ScanGetMQSCToken, CutsALongTokenAt500AndMovesPastAllOfIt) {
    std::string text = std::string(600, 'a') + " next '" + std::string(600, 'q') + "' last";
    auto tokens = mqscTokens(text.c_str());
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0], std::string(500, 'A'));
    EXPECT_EQ(tokens[1], "NEXT");
    EXPECT_EQ(tokens[2], std::string(500, 'q'));
    EXPECT_EQ(tokens[3], "LAST");
}

TEST(ScanFind, CommaAtTopLevelOutsideQuotesAndBrackets) {
    const char *text = "f(a,b),c";
    EXPECT_EQ(scanFindComma(text, text + std::strlen(text)), text + 6);
    text = "'a,b',c";
    EXPECT_EQ(scanFindComma(text, text + std::strlen(text)), text + 5);
    text = "[a,b],c";
    EXPECT_EQ(scanFindComma(text, text + std::strlen(text)), text + 5);
    text = "\"it's, x\",y";  // the other quote is plain inside a quoted part
    EXPECT_EQ(scanFindComma(text, text + std::strlen(text)), text + 9);
    text = "(a,b)";
    EXPECT_EQ(scanFindComma(text, text + std::strlen(text)), nullptr);
    text = "'a,b";  // never closed: nothing is outside it
    EXPECT_EQ(scanFindComma(text, text + std::strlen(text)), nullptr);
}

TEST(ScanFind, StopsAtTheEndAndAtANul) {
    const char text[] = "abc\0,d";
    EXPECT_EQ(scanFindComma(text, text + sizeof text - 1), nullptr);
    EXPECT_EQ(scanFindCharOutside(text, text + 2, 'c'), nullptr);
    EXPECT_EQ(scanFindCharOutside(text, text + 3, 'c'), text + 2);
}

TEST(ScanFind, CharOutsideCountsBothBracketKinds) {
    const char *text = "a[b=c](d=e)=f";
    EXPECT_EQ(scanFindCharOutside(text, text + std::strlen(text), '='), text + 11);
    text = "(x))";  // the bracket sought is found once its depth is back to 0
    EXPECT_EQ(scanFindCharOutside(text, text + std::strlen(text), ')'), text + 3);
}

TEST(ScanFind, SemicolonOutsideQuotesAndParentheses) {
    const char *text = "a(b;c)';';d";
    EXPECT_EQ(scanFindSemicolon(text, text + std::strlen(text)), text + 9);
    text = "[a;b]";  // square brackets do not hide it
    EXPECT_EQ(scanFindSemicolon(text, text + std::strlen(text)), text + 2);
}

TEST(ScanFind, CloseBracketCountsNestingAndSkipsQuotedParts) {
    const char *text = "a(b)')'c)d";
    EXPECT_EQ(scanFindCloseBracket(text, text + std::strlen(text)), text + 8);
    text = "x\"(\")";
    EXPECT_EQ(scanFindCloseBracket(text, text + std::strlen(text)), text + 4);
    text = "a(b)";
    EXPECT_EQ(scanFindCloseBracket(text, text + std::strlen(text)), nullptr);
}

// A lone double quote inside a single-quoted value is a plain character, so valid text such as
// DESCR('say "hi') is not taken as unterminated.
TEST(ScanSkipQuoted, ReturnsTheFirstMatchingQuoteWithTheOtherQuotePlain) {
    const char *text = "'say \"hi')";
    EXPECT_EQ(scanSkipQuoted(text + 1, '\'', text + std::strlen(text)), text + 8);
    text = "\"it's\"";
    EXPECT_EQ(scanSkipQuoted(text + 1, '"', text + std::strlen(text)), text + 5);
    text = "'never closed";
    EXPECT_EQ(scanSkipQuoted(text + 1, '\'', text + std::strlen(text)), nullptr);
    const char *descr = "DESCR('say \"hi') TYPE(X)";
    EXPECT_EQ(scanFindCloseBracket(descr + 6, descr + std::strlen(descr)), descr + 15);
}

TEST(ScanMatchPattern, DigitPatterns) {
    EXPECT_EQ(scanMatchPattern("nnnn-nn-nn", "2025-03-02", nullptr, 1), 1);
    EXPECT_EQ(scanMatchPattern("nn:nn", "9:30", nullptr, 1), 0);
    EXPECT_EQ(scanMatchPattern("n:nn", "9:30", nullptr, 1), 1);
    EXPECT_EQ(scanMatchPattern("n.nn", "9.3", nullptr, 1), 0);
    EXPECT_EQ(scanMatchPattern("", "", nullptr, 1), 1);
    EXPECT_EQ(scanMatchPattern("", "1", nullptr, 1), 0);
}

TEST(ScanMatchPattern, UpperNTakesADigitRunLowerNExactlyOne) {
    EXPECT_EQ(scanMatchPattern("N", "12345", nullptr, 1), 1);
    EXPECT_EQ(scanMatchPattern("n", "12345", nullptr, 1), 0);
    EXPECT_EQ(scanMatchPattern("N", "", nullptr, 1), 0);
    EXPECT_EQ(scanMatchPattern("N:n", "123:4", nullptr, 1), 1);
}

TEST(ScanMatchPattern, WithoutTheWholeFlagTheTextMayGoOn) {
    EXPECT_EQ(scanMatchPattern("nn", "12:30", nullptr, 0), 1);
    EXPECT_EQ(scanMatchPattern("nn", "12:30", nullptr, 1), 0);
    EXPECT_EQ(scanMatchPattern("nnn", "12", nullptr, 0), 0);  // the text ending early never matches
}

TEST(ScanMatchPattern, OtherPatternCharactersNeedTheExtraSet) {
    EXPECT_EQ(scanMatchPattern("nn/nn", "12/30", nullptr, 1), 0);
    EXPECT_EQ(scanMatchPattern("nn/nn", "12/30", "", 1), 0);
    EXPECT_EQ(scanMatchPattern("nn/nn", "12/30", "/", 1), 1);
    EXPECT_EQ(scanMatchPattern("nn/nn", "12x30", "/", 1), 0);
}

// A small dictionary in the layout the console builds: conditions name bytes of its condition array.
const ScanKeywordDef kType = {{0, 0, 0}, "TYPE/CHLTYPE", 1, 1511};
const ScanKeywordDef kDescr = {{0, 0, 0}, "DESCR", 1, 3502};
const ScanKeywordDef kHidden = {{0, 0, 0}, "CONNAME", SCAN_KIND_NOT_KEYWORD, 3506};
const ScanKeywordDef kConname = {{0, 0, 0}, "CONNAME", 1, 3506};
const ScanKeywordDef kNeedsOne = {{1, 0, 0}, "SSLCIPH", 1, 3544};
const ScanKeywordDef kNeedsTwo = {{0, 2, 0}, "SSLPEER", 1, 3545};
const ScanKeywordDef kNotThree = {{0, 0, 3}, "XMITQ", 1, 3508};
const ScanKeywordDef kSameIdWithCondition = {{0, 0, 0}, "MCANAME", 1, 3501};
const ScanKeywordDef kSameIdPlain = {{0, 0, 0}, "MCANAME", 1, 3501};

const ScanKeywordRow kTable[] = {
    {{0, 0, 0}, &kType},        {{0, 0, 0}, &kDescr},
    {{0, 0, 0}, &kHidden},      {{0, 0, 0}, &kConname},
    {{0, 0, 0}, &kNeedsOne},    {{0, 0, 0}, &kNeedsTwo},
    {{0, 0, 0}, &kNotThree},    {{1, 0, 0}, &kSameIdWithCondition},
    {{0, 0, 0}, &kSameIdPlain}, {{0, 0, 0}, nullptr},
};

TEST(ScanFindKeyword, MatchesEachSynonymAndTheWholeName) {
    uint8_t cond[4] = {0, 0, 0, 0};
    const ScanKeywordRow *row = nullptr;
    const ScanKeywordDef *def = nullptr;
    for (const char *word : {"TYPE", "CHLTYPE", "TYPE/CHLTYPE"}) {
        EXPECT_EQ(scanFindKeyword(cond, kTable, word, &row, &def), 0) << word;
        EXPECT_EQ(def, &kType) << word;
        EXPECT_EQ(row, &kTable[0]) << word;
    }
    for (const char *word : {"TYP", "CHLTYPEX", "type", "", "/"})
        EXPECT_EQ(scanFindKeyword(cond, kTable, word, &row, &def), 1) << word;
}

TEST(ScanFindKeyword, SkipsDefinitionsOfKindSix) {
    uint8_t cond[4] = {0, 0, 0, 0};
    const ScanKeywordRow *row = nullptr;
    const ScanKeywordDef *def = nullptr;
    ASSERT_EQ(scanFindKeyword(cond, kTable, "CONNAME", &row, &def), 0);
    EXPECT_EQ(def, &kConname);
    EXPECT_EQ(row, &kTable[3]);
}

TEST(ScanFindKeyword, EachConditionIndexIsHonoured) {
    uint8_t cond[4] = {0, 0, 0, 0};
    const ScanKeywordDef *def = nullptr;
    EXPECT_EQ(scanFindKeyword(cond, kTable, "SSLCIPH", nullptr, &def), 1);  // byte 1 must be set
    EXPECT_EQ(scanFindKeyword(cond, kTable, "SSLPEER", nullptr, &def), 1);  // byte 2 must be set
    EXPECT_EQ(scanFindKeyword(cond, kTable, "XMITQ", nullptr, &def), 0);    // byte 3 must be clear
    cond[1] = 1;
    cond[2] = 1;
    cond[3] = 1;
    EXPECT_EQ(scanFindKeyword(cond, kTable, "SSLCIPH", nullptr, &def), 0);
    EXPECT_EQ(scanFindKeyword(cond, kTable, "SSLPEER", nullptr, &def), 0);
    EXPECT_EQ(scanFindKeyword(cond, kTable, "XMITQ", nullptr, &def), 1);
}

TEST(ScanFindKeywordById, ReturnsTheFirstRowWhoseConditionsHold) {
    uint8_t cond[4] = {0, 0, 0, 0};
    EXPECT_EQ(scanFindKeywordById(cond, kTable, 1511), &kTable[0]);
    EXPECT_EQ(scanFindKeywordById(cond, kTable, 3501), &kTable[8]);  // row 7 needs byte 1
    cond[1] = 1;
    EXPECT_EQ(scanFindKeywordById(cond, kTable, 3501), &kTable[7]);
    EXPECT_EQ(scanFindKeywordById(cond, kTable, 9999), nullptr);
    cond[1] = 0;
    EXPECT_EQ(scanFindKeywordById(cond, kTable, 3544), nullptr);
}

}  // namespace
