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

namespace {

// Not connected, each DISPLAY of the check is still echoed: the echoes show what it issued.
TEST_F(DispatchTest, TheAttributeCheckDisplaysEachTypeInOrderAndSkipsTheSixOnZos) {
    s->current = &s->templateConnection;
    auto issued = [this] {
        std::vector<std::string> out;
        for (const cslOutputLine *l = s->screens[0].oldest; l != nullptr; l = l->next)
            if (l->kind == (CSL_LINE_ECHO | CSL_LINE_HIDDEN)) out.emplace_back(cslLineText(l));  // hidden
        return out;
    };
    std::vector<std::string> all{"DISPLAY AUTHINFO(*) ALL", "DISPLAY AUTHSERV ALL"};
    for (const char *c :
         {"CLUSRCVR", "CLUSSDR", "RECEIVER", "REQUESTER", "SENDER", "SERVER", "SVRCONN", "CLNTCONN"})
        all.push_back(std::string("DISPLAY CHANNEL(SYSTEM.DEF.") + c + ") ALL");
    for (const char *c : {"DISPLAY CHLAUTH(*) ALL",
                          "DISPLAY CHSTATUS(*) ALL",
                          "DISPLAY CLUSQMGR(*) ALL",
                          "DISPLAY COMMINFO(SYSTEM.DEFAULT.COMMINFO.MULTICAST) ALL",
                          "DISPLAY CONN(*) ALL",
                          "DISPLAY NAMELIST(SYSTEM.DEFAULT.NAMELIST) ALL",
                          "DISPLAY PROCESS(*) ALL",
                          "DISPLAY PUBSUB ALL",
                          "DISPLAY QUEUE(SYSTEM.DEFAULT.ALIAS.QUEUE) ALL",
                          "DISPLAY QUEUE(SYSTEM.DEFAULT.LOCAL.QUEUE) ALL",
                          "DISPLAY QUEUE(SYSTEM.DEFAULT.MODEL.QUEUE) ALL",
                          "DISPLAY QUEUE(SYSTEM.DEFAULT.REMOTE.QUEUE) ALL",
                          "DISPLAY QCLUSTER(*) ALL",
                          "DISPLAY QMGR ALL",
                          "DISPLAY QSTATUS(*) ALL",
                          "DISPLAY QMSTATUS ALL",
                          "DISPLAY LISTENER(*) ALL",
                          "DISPLAY LSSTATUS(*) ALL",
                          "DISPLAY SBSTATUS(*) ALL",
                          "DISPLAY SERVICE(*) ALL",
                          "DISPLAY SVSTATUS(*) ALL",
                          "DISPLAY SUB(*) ALL",
                          "DISPLAY TCLUSTER(*) ALL",
                          "DISPLAY TOPIC(SYSTEM.DEFAULT.TOPIC) ALL",
                          "DISPLAY TPSTATUS('') ALL"})
        all.emplace_back(c);

    cslIssueCommand(s, "!unhandled!");
    EXPECT_EQ(issued(), all);
    EXPECT_EQ(texts().back(), "All attributes appear to be handled");
    EXPECT_EQ(cslMainList(s)->newest->kind, CSL_LINE_RESPONSE);

    cslClearOutput(s, cslMainList(s), nullptr);
    s->templateConnection.platform = 1;  // z/OS
    cslIssueCommand(s, "!unhandled!");
    std::vector<std::string> zos;
    for (const std::string &c : all)
        if (c.find("QMSTATUS") == std::string::npos && c.find("LISTENER") == std::string::npos &&
            c.find("LSSTATUS") == std::string::npos && c.find("SBSTATUS") == std::string::npos &&
            c.find("SERVICE") == std::string::npos && c.find("SVSTATUS") == std::string::npos)
            zos.push_back(c);
    EXPECT_EQ(issued(), zos);
    EXPECT_EQ(zos.size(), all.size() - 6);

    cslClearOutput(s, cslMainList(s), nullptr);
    EXPECT_EQ(cslCheckDisplayType(s, "NOSUCH", "DISPLAY NOSUCH(*) ALL"), 0);
    EXPECT_TRUE(texts().empty());
}

}  // namespace
