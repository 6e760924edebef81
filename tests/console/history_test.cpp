// The command history and the synonyms with their recursion check.
#include <string>

#include "console_testing.h"

namespace {

using HistoryTest = ConsoleTest;

std::vector<std::string> history(const cslSession *s) {
    std::vector<std::string> out;
    for (cslHistoryEntry *e = s->historyNewest; e != nullptr; e = e->older)
        out.emplace_back(cslHistoryText(e));
    return out;
}

TEST_F(HistoryTest, ASpellingIgnoringCaseIsKeptOnceWithTheNewestSpellingFirst) {
    cslAddHistory(s, "dis q(a)");
    cslAddHistory(s, "dis qmgr");
    cslAddHistory(s, "DIS Q(A)");
    cslAddHistory(s, "quit");
    cslAddHistory(s, "END");
    cslAddHistory(s, "");
    EXPECT_EQ(history(s), (std::vector<std::string>{"DIS Q(A)", "dis qmgr"}));
}

TEST_F(HistoryTest, TheOldestEntriesLeaveAtTheLimitAndTheCursorWithThem) {
    s->cmdhist = 3;
    for (const char *command : {"c0", "c1", "c2"}) cslAddHistory(s, command);
    s->historyCursor = s->historyOldest;
    cslAddHistory(s, "c3");
    EXPECT_EQ(history(s), (std::vector<std::string>{"c3", "c2", "c1"}));
    EXPECT_EQ(s->historyCursor, nullptr);
    EXPECT_EQ(s->historyCount, 3u);
}

std::vector<std::string> synonymNames(const cslSession *s) {
    std::vector<std::string> out;
    for (const cslSynonym *syn = s->synonyms; syn != nullptr; syn = syn->next) out.emplace_back(syn->name);
    return out;
}

TEST_F(HistoryTest, SynonymNamesAreCheckedAndKeptInOrderIgnoringCase) {
    EXPECT_EQ(cslSetSynonym(s, "1abc", "x"), 0);
    EXPECT_EQ(texts().back(), "Name '1abc' can not start with a number");
    EXPECT_EQ(cslSetSynonym(s, "ab$c", "x"), 0);
    EXPECT_EQ(texts().back(), "Name 'ab$c' contains invalid character '$'.");
    EXPECT_EQ(s->synonyms, nullptr);
    for (const char *name : {"beta", "ALPHA", "Gamma", "alpha"})
        EXPECT_EQ(cslSetSynonym(s, name, "dis qmgr"), 1);
    EXPECT_EQ(synonymNames(s), (std::vector<std::string>{"alpha", "beta", "Gamma"}));
    EXPECT_EQ(cslSetSynonym(s, "BETA", ""), 1);  // removed
    EXPECT_EQ(synonymNames(s), (std::vector<std::string>{"alpha", "Gamma"}));
}

TEST_F(HistoryTest, ARecursionIsRefusedWithThePathInnermostFirst) {
    ASSERT_EQ(cslSetSynonym(s, "s2", "dis q(x); s3 y"), 1);
    ASSERT_EQ(cslSetSynonym(s, "s3", "S1 z"), 1);  // S1 is not a synonym yet
    size_t before = texts().size();
    EXPECT_EQ(cslSetSynonym(s, "S1", "s2 a"), 0);
    std::vector<std::string> lines = texts();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
    EXPECT_EQ(lines, (std::vector<std::string>{"Synonym recursion detected", "Synonym 's3' has value 'S1 z'",
                                               "Synonym 's2' has value 'dis q(x); s3 y'",
                                               "Synonym 'S1' has value 's2 a'"}));
    EXPECT_EQ(cslFindSynonym(s, "s1", 2), nullptr);
}

TEST_F(HistoryTest, TheRecursionCheckIgnoresCaseAsExpansionDoes) {
    EXPECT_EQ(cslSetSynonym(s, "A", "a x"), 0);
    EXPECT_EQ(texts().front(), "Synonym recursion detected");
    EXPECT_EQ(cslSetSynonym(s, "A", "(b) a"), 1);  // the first word is b
}

}  // namespace
