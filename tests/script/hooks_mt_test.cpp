// Hooks beside other threads: set C's commands change the string pool and the stream definitions
// while a record hook reads them, and console lines are written while the debugger prompts.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "hooks_testing.h"

namespace {

using ht::HookTest;
using ht::Record;
using ht::script;

TEST_F(HookTest, RecordHookReadsThePoolAndStreamsWhileSetCChangesThem) {
    ASSERT_EQ(load(script("@name = ''\n@summary = ''\n", {{"ZUNTEvent",
                                                           "@name = event.evobjname\n"
                                                           "@summary = event.summary\n"
                                                           "_stream = 'MINE'\n"}})),
              1);
    Record event;
    {
        CSRecursiveGuard consumer(gConsumerLock);
        evCFSetObjectName(event.data(), ht::intern("APP.Q"));
    }
    std::atomic<bool> done{false};
    std::thread setC([&] {
        for (int i = 0; i < 200 && !done.load(); i++) {
            CSRecursiveGuard consumer(gConsumerLock);
            char name[32];
            std::snprintf(name, sizeof name, "NAME.%d", i);
            (void)ht::intern(name);
            std::snprintf(name, sizeof name, "S%d", i);
            (void)evStreamDefine(name, -1, STREAM_TYPE_EVENTS, 0, 0);
        }
    });
    for (int i = 0; i < 50; i++) {
        std::string streams;
        EXPECT_EQ(call(STREAM_TYPE_EVENTS, event, &streams), 1);
        EXPECT_EQ(streams, "MINE");
    }
    done.store(true);
    setC.join();
    EXPECT_EQ(value("@name"), "APP.Q");
}

std::vector<std::string> lines;
size_t next = 0;

int32_t scripted(char **line, size_t *length) {
    if (next >= lines.size()) return 0;
    const std::string &text = lines[next++];
    *line = static_cast<char *>(CSGetMem(text.size() + 1));
    std::memcpy(*line, text.c_str(), text.size() + 1);
    *length = text.size();
    return 1;
}

TEST_F(HookTest, ConsoleLinesAtThePromptDoNotWaitOnAReplyBeingWritten) {
    lines.assign(100, "frobnicate");
    lines.push_back("run");
    next = 0;
    evSetLineSource(scripted);
    evRunState.debugMode.store(1);
    ASSERT_EQ(cslApplyConfiguration(), 1);
    cslSession *s = gSession.load();
    std::atomic<bool> done{false};
    // A reply reader writing a response: the display lock, then the log and console lock.
    std::thread reader([&] {
        while (!done.load()) {
            CSRecursiveGuard display(s->displayLock);
            evOutput(EV_OUT_INFO, "reply line", -1, 0);
        }
    });
    dir.write("zunt.vdr", script("@x = 1\n"));
    EXPECT_EQ(LoadVEDRAFile(dir.path().c_str()), 1);
    done.store(true);
    reader.join();
    EXPECT_EQ(next, lines.size());
    EXPECT_EQ(value("@x"), "1");
}

}  // namespace
