// The find command, the prompt template and the machine banner.
#include <string>

#include "console/internal.h"
#include "console_testing.h"

namespace {

class FindTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        add("DIS Q(A)", CSL_LINE_ECHO);
        add("QUEUE(A) abc");
        add("DIS Q(B)", CSL_LINE_ECHO);
        add("QUEUE(B) abc");
        add("QUEUE(C)");
    }
    std::string messageLine() const { return s->messageLine; }
};

TEST_F(FindTest, TheCommandTextIsChecked) {
    EXPECT_EQ(cslParseFind(s, "abc"), 0);
    EXPECT_EQ(messageLine(), "No find string given");
    EXPECT_EQ(cslParseFind(s, "/abc/x"), 0);
    EXPECT_EQ(messageLine(), "Unrecognised find command suffix 'x'");
    EXPECT_EQ(cslParseFind(s, ("/" + std::string(200, 'q')).c_str()), 0);
    EXPECT_EQ(messageLine(), "Find string too long");
    EXPECT_EQ(cslParseFind(s, "//"), 0);
    EXPECT_EQ(messageLine(), "No find string entered");
}

TEST_F(FindTest, ForwardSearchWrapsAndEndsAtTheSingleInstance) {
    ASSERT_EQ(cslParseFind(s, "/ABC/"), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(A) abc");
    EXPECT_EQ(s->findColumn, 12u);
    ASSERT_EQ(cslFind(s), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(B) abc");
    ASSERT_EQ(cslFind(s), 1);
    EXPECT_EQ(messageLine(), "Wrapped...");
    EXPECT_EQ(cslParseFind(s, "/ABC/c"), 0);
    EXPECT_EQ(messageLine(), "String not found");
    EXPECT_EQ(cslParseFind(s, "/(C)/"), 1);
    EXPECT_EQ(cslFind(s), 0);
    EXPECT_EQ(messageLine(), "Only one instance found");
}

TEST_F(FindTest, SingleCommandSearchWrapsWithinTheCommand) {
    ASSERT_EQ(cslParseFind(s, "/queue/s"), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(B) abc");
    ASSERT_EQ(cslFind(s), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(C)");
    ASSERT_EQ(cslFind(s), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(B) abc");
    EXPECT_EQ(messageLine(), "Wrapped... (single command)");
}

TEST_F(FindTest, BackwardSearchStartsAtTheEnd) {
    ASSERT_EQ(cslParseFind(s, "/abc/-"), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(B) abc");
    ASSERT_EQ(cslFind(s), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(A) abc");
    ASSERT_EQ(cslFind(s), 1);
    EXPECT_STREQ(cslLineText(s->findLine), "QUEUE(B) abc");
    EXPECT_EQ(messageLine(), "Wrapped...");
}

using PromptTest = ConsoleTest;

TEST_F(PromptTest, SectionsFollowTheConnection) {
    std::snprintf(s->prompt, sizeof s->prompt, "%s", "%C[%M]%C%D(none)%D%%%x> ");
    cslBuildPrompt(s, 0);
    EXPECT_STREQ(s->promptText, "(none)%> ");
    fakeConnected("QM1");
    cslBuildPrompt(s, 0);
    EXPECT_STREQ(s->promptText, "[QM1]%> ");
    EXPECT_EQ(s->promptLength, 8u);
    std::snprintf(s->prompt, sizeof s->prompt, "%s", "%e%C%m%C%e%i(mq)%i %T");
    s->target = CSL_TARGET_OWN;
    clock.set(1767225600 + 61);
    cslBuildPrompt(s, 1);
    EXPECT_STREQ(s->promptText, "QM1 00:01:01");
}

int fakeUser(char *out, size_t size) {
    std::snprintf(out, size, "joe");
    return 1;
}
int noComputer(char *, size_t) {
    return 0;
}
const CslIdentity kFake = {fakeUser, noComputer};

TEST_F(PromptTest, TheBannerNamesTheMachineAndTheQueueManager) {
    const CslIdentity *saved = cslSetIdentity(&kFake);
    cslShowMachine(s, cslMainList(s));
    EXPECT_EQ(texts(), (std::vector<std::string>{"Machine Details", "---------------", "User   : joe",
                                                 "Machine: Unknown", ""}));
    fakeConnected("QM1");
    for (int32_t platform : {3, 99}) {
        cslClearOutput(s, cslMainList(s), nullptr);
        s->templateConnection.platform = platform;
        s->templateConnection.commandLevel = 940;
        cslShowMachine(s, cslMainList(s));
        std::vector<std::string> lines = texts();
        ASSERT_EQ(lines.size(), 10u);
        EXPECT_EQ(lines[7], "Qm           : QM1");
        EXPECT_EQ(lines[8], "Command Level: 940");
        EXPECT_EQ(lines[9], platform == 3 ? "Platform     : Unix" : "Platform     : 99");
    }
    cslSetIdentity(saved);
}

TEST_F(PromptTest, TheSystemsIdentityIsTheProcesssUser) {
    const CslIdentity *saved = cslSetIdentity(nullptr);
    cslFetchIdentity(s);
    const std::string user = evProcessUserName();
    EXPECT_EQ(std::string(s->userName), user.empty() ? "Unknown" : user);
    cslSetIdentity(saved);
}

}  // namespace
