// Wildcard matching, byte search and hex texts.
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

int wild(const std::string &text, const std::string &pattern) {
    return evWildMatch(text.data(), text.size(), pattern.data(), pattern.size());
}
int wildNoCase(const std::string &text, const std::string &pattern) {
    return evWildMatchNoCase(text.data(), text.size(), pattern.data(), pattern.size());
}

// The reference: dynamic programming over (text prefix, pattern prefix), '*' any run, '?' one.
int referenceMatch(const std::string &text, const std::string &pattern, bool noCase) {
    auto same = [noCase](char a, char b) {
        return noCase ? std::toupper(static_cast<unsigned char>(a)) ==
                            std::toupper(static_cast<unsigned char>(b))
                      : a == b;
    };
    size_t n = text.size(), m = pattern.size();
    std::vector<std::vector<bool>> match(n + 1, std::vector<bool>(m + 1, false));
    match[0][0] = true;
    for (size_t j = 1; j <= m; ++j) match[0][j] = match[0][j - 1] && pattern[j - 1] == '*';
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            char p = pattern[j - 1];
            if (p == '*')
                match[i][j] = match[i][j - 1] || match[i - 1][j];
            else
                match[i][j] = match[i - 1][j - 1] && (p == '?' || same(text[i - 1], p));
        }
    }
    return match[n][m] ? 1 : 0;
}

TEST(EvWildMatch, TableOfGenericNames) {
    EXPECT_EQ(wild("ABC", "A*"), 1);
    EXPECT_EQ(wild("ABC", "*C"), 1);
    EXPECT_EQ(wild("ABC", "A?C"), 1);
    EXPECT_EQ(wild("ABC", "A?"), 0);
    EXPECT_EQ(wild("ABC", "*"), 1);
    EXPECT_EQ(wild("", "*"), 1);
    EXPECT_EQ(wild("", "**"), 1);
    EXPECT_EQ(wild("", ""), 1);
    EXPECT_EQ(wild("", "?"), 0);
    EXPECT_EQ(wild("A", ""), 0);
    EXPECT_EQ(wild("abc", "ABC"), 0);
    EXPECT_EQ(wildNoCase("abc", "A*C"), 1);
    EXPECT_EQ(wildNoCase("", "**"), 1);
}

TEST(EvWildMatch, BacktracksToTheLastStar) {
    EXPECT_EQ(wild("SYSTEM.ADMIN.QMGR.EVENT", "SYSTEM.*.EVENT"), 1);
    EXPECT_EQ(wild("aXbXc", "*X*c"), 1);
    EXPECT_EQ(wild("abcabd", "*abd"), 1);
    EXPECT_EQ(wild("abcabe", "*abd"), 0);
    EXPECT_EQ(wild("ab", "a**?"), 1);
    EXPECT_EQ(wild("a", "a*?"), 0);
}

TEST(EvWildMatch, AStarInThePatternStaysAWildcardFacingAStarInTheText) {
    EXPECT_EQ(wild("a*xc", "a*c"), 1);
    EXPECT_EQ(wild("*", "?"), 1);
    EXPECT_EQ(wild("x", "\\*"), 0);  // no escape character: '\' is an ordinary one
}

TEST(EvWildMatch, ManyStarsAgainstALongTextAnswerAtOnce) {
    std::string text(200, 'a');
    EXPECT_EQ(wild(text, "*a*a*a*a*a*a*a*a*a*a*a*a*b"), 0);
    EXPECT_EQ(wildNoCase(text, "*A*A*A*A*A*A*A*A*A*A*A*A*B"), 0);
    EXPECT_EQ(wild(text + "b", "*a*a*a*a*a*a*a*a*a*a*a*a*b"), 1);
}

TEST(EvWildMatch, AgreesWithTheReferenceOnRandomTextsAndPatterns) {
    std::mt19937 random(20261207);
    const char alphabet[] = "abAB*?";
    auto make = [&](size_t maxLength, size_t letters) {
        std::string s(random() % (maxLength + 1), ' ');
        for (char &c : s) c = alphabet[random() % letters];
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        // Texts may hold '*' and '?' too: there they are ordinary characters.
        std::string text = make(10, 6), pattern = make(8, 6);
        ASSERT_EQ(wild(text, pattern), referenceMatch(text, pattern, false)) << text << " / " << pattern;
        ASSERT_EQ(wildNoCase(text, pattern), referenceMatch(text, pattern, true)) << text << " / " << pattern;
    }
}

TEST(EvMemFind, FindsTheFirstOccurrence) {
    const char buffer[] = "abcabc";
    EXPECT_EQ(evMemFind(buffer, 6, "ca", 2), buffer + 2);
    EXPECT_EQ(evMemFind(buffer, 6, "abc", 3), buffer);
    EXPECT_EQ(evMemFind(buffer, 6, "bcx", 3), nullptr);
    EXPECT_EQ(evMemFind(buffer, 5, "bc", 2), buffer + 1);
    EXPECT_EQ(evMemFind(buffer + 3, 3, "ca", 2), nullptr);  // never past the given length
    EXPECT_EQ(evMemFind(buffer, 6, "", 0), buffer);
    EXPECT_EQ(evMemFind(buffer, 2, "abc", 3), nullptr);
    EXPECT_EQ(evMemFind(buffer, 0, "a", 1), nullptr);
    const char bytes[] = {'x', '\0', 'y', '\0', 'z'};
    EXPECT_EQ(evMemFind(bytes, 5, "\0z", 2), bytes + 3);  // counted: a NUL is an ordinary byte
}

TEST(EvMemFind, NoCaseIgnoresCase) {
    const char buffer[] = "ABC";
    EXPECT_EQ(evMemFindNoCase(buffer, 3, "bc", 2), buffer + 1);
    EXPECT_EQ(evMemFind(buffer, 3, "bc", 2), nullptr);
    EXPECT_EQ(evMemFindNoCase(buffer, 3, "", 0), buffer);
    EXPECT_EQ(evMemFindNoCase(buffer, 3, "abcd", 4), nullptr);
}

TEST(EvHexString, WritesUpperCaseDigitsThenBlanksUpToTheWidth) {
    const uint8_t bytes[] = {0x01, 0xAB};
    char out[16];
    std::memset(out, 'x', sizeof out);
    evHexString(bytes, 2, 4, out);
    EXPECT_STREQ(out, "01AB    ");
    evHexString(bytes, 2, 0, out);
    EXPECT_STREQ(out, "01AB");
    evHexString(bytes, 2, 1, out);  // a width below the count writes the count
    EXPECT_STREQ(out, "01AB");
    evHexString(bytes, 0, 0, out);
    EXPECT_STREQ(out, "");
}

TEST(EvIdToHex, Writes48DigitsAndANul) {
    uint8_t id[24];
    for (int i = 0; i < 24; ++i) id[i] = static_cast<uint8_t>(i * 11);
    char out[50];
    std::memset(out, 'x', sizeof out);
    evIdToHex(id, out);
    EXPECT_STREQ(out, "000B16212C37424D58636E79848F9AA5B0BBC6D1DCE7F2FD");
    EXPECT_EQ(out[49], 'x');
}

TEST(EvHexToBytes, ConvertsPairsInEitherCase) {
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(evHexToBytes("41aBfF00", 8, out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), zt::fromHex("41 AB FF 00"));
}

TEST(EvHexToBytes, StopsAtTheFirstBadDigitKeepingWhatWasConverted) {
    uint8_t out[2] = {9, 9};
    EXPECT_EQ(evHexToBytes("41G2", 4, out), 1);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 9);
}

TEST(EvHexToBytes, OddLengthLeavesTheLastDigitAndANulZeroesTheRest) {
    uint8_t out[3] = {9, 9, 9};
    EXPECT_EQ(evHexToBytes("414", 3, out), 0);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 9);  // length 3 fills one byte only

    uint8_t rest[3] = {9, 9, 9};
    const char text[] = "41\0\0\0\0";
    EXPECT_EQ(evHexToBytes(text, 6, rest), 0);
    EXPECT_EQ(std::vector<uint8_t>(rest, rest + 3), zt::fromHex("41 00 00"));
}

}  // namespace
