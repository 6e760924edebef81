// The dispatcher of console command lines, with fake script slots.
#include <algorithm>
#include <string>
#include <vector>

#include "console_testing.h"

namespace {

using DispatchTest = ConsoleTest;

std::vector<std::string> printed;
int fakePrint(cslSession *, const char *arguments) {
    printed.emplace_back(arguments);
    return 1;
}

TEST_F(DispatchTest, PrintIsAStatementButPrinterIsACommand) {
    printed.clear();
    cslScript.print = fakePrint;
    cslIssueCommand(s, "print 1");
    EXPECT_EQ(printed, std::vector<std::string>{" 1"});
    cslIssueCommand(s, "printer x");
    EXPECT_EQ(texts(), (std::vector<std::string>{"printer x", "Not currently connected."}));
}

TEST_F(DispatchTest, ASynonymRunsItsCommandsAndAnUnclosedArgumentIsRefused) {
    ASSERT_EQ(cslSetSynonym(s, "s1", "=show summary; =show conns"), 1);
    cslIssueCommand(s, "S1");
    std::vector<std::string> lines = texts();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "No current connections"), lines.end());
    cslClearOutput(s, cslMainList(s), nullptr);
    cslIssueCommand(s, "s1(Q");
    EXPECT_EQ(texts(), std::vector<std::string>{"Closing bracket not found on synonym command"});
}

int deepest = 0;
char *waitAgain(cslSession *session, const char *, int64_t, uint32_t) {
    deepest = std::max(deepest, session->nestDepth);
    cslIssueCommand(session, "wait(1)");  // a function whose wait calls it again
    return nullptr;
}

TEST_F(DispatchTest, ANestedWaitIsRefusedAtTwentyEveryTime) {
    deepest = 0;
    cslScript.evaluateToText = waitAgain;
    cslIssueCommand(s, "wait(1)");
    cslIssueCommand(s, "wait(1)");
    EXPECT_LT(deepest, 20);
    EXPECT_EQ(s->nestOverflow, 1);
    EXPECT_EQ(s->nestDepth, 0);
    int refusals = 0;
    for (const std::string &line : texts()) refusals += line == "Maximum command nest level reached";
    EXPECT_EQ(refusals, 2);
}

TEST_F(DispatchTest, AFindIsRefusedInFileMode) {
    cslIssueCommand(s, "/abc/");
    EXPECT_EQ(texts(), std::vector<std::string>{"Command '/abc/' ignored in file mode"});
}

}  // namespace
