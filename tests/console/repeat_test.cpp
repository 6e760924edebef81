// The repeat command's loop and its keyboard polling.
#include <deque>
#include <string>

#include "console_testing.h"

namespace {

std::deque<int32_t> keys;
int32_t nextKey(int32_t) {
    if (keys.empty()) return 0;
    int32_t key = keys.front();
    keys.pop_front();
    return key;
}

class RepeatTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        keys.clear();
        previous = evSetKeySource(nextKey);
    }
    void TearDown() override {
        evSetKeySource(previous);
        ConsoleTest::TearDown();
    }
    EvKeySource previous = nullptr;
};

TEST_F(RepeatTest, AnEscapeSequenceIsNotEscape) {
    keys = {27, '[', 'A'};
    EXPECT_EQ(cslPollKey(s), 0);
    EXPECT_TRUE(keys.empty());
    keys = {27};
    EXPECT_EQ(cslPollKey(s), 27);
    EXPECT_EQ(s->lastKey, 27);
    EXPECT_EQ(cslPollKey(s), 0);
}

int passes = 0;
int queueCommand(cslSession *session, int, int, const char *text) {
    return cslAddOutput(session, cslMainList(session), nullptr, text, -1, CSL_LINE_ECHO,
                        CSL_CURRENT_COMMAND) != nullptr;
}
int runPass(cslSession *session) {
    ++passes;
    if (passes == 3) keys = {0, 27};  // ESC pressed during the third pass's delay
    cslAddOutputF(session, CSL_LINE_RESPONSE, "pass %d", passes);
    return 1;
}

TEST_F(RepeatTest, EachPassReplacesTheLastUntilEscapeAndTheOutputGoesAtTheEnd) {
    passes = 0;
    cslScript.queueText = queueCommand;
    cslScript.runCommands = runPass;
    add("before");
    int64_t start = clock.now();
    EXPECT_EQ(cslRepeatCommand(s, "dis qmgr", 5, 0), 1);
    EXPECT_EQ(passes, 3);
    EXPECT_GE(clock.now() - start, 10);
    EXPECT_EQ(texts(), std::vector<std::string>{"before"});
    EXPECT_EQ(s->repeating, 0);
    EXPECT_STREQ(s->repeatText, "Repeating command 'dis qmgr' <press ESC to end>");

    passes = 0;
    EXPECT_EQ(cslRepeatCommand(s, std::string(120, 'c').c_str(), 1, CSL_REPEAT_HISTORY), 1);
    EXPECT_EQ(texts().size(), 7u);  // every pass's echo and response kept
    EXPECT_EQ(std::string(s->repeatText),
              "Repeating command '" + std::string(97, 'c') + "...' <press ESC to end>");
}

}  // namespace
