// A command issued inside an engine hook waits for its reply only for the connection's wait time.
#include "console/internal.h"
#include "console_testing.h"

namespace {

using HookWaitTest = ConsoleTest;

TEST_F(HookWaitTest, InsideAHookAnUnansweredRequestIsGivenUpAfterTheWaitTime) {
    cslConnection *c = &s->templateConnection;
    c->responseEvent = cslEventCreate();
    ASSERT_NE(c->responseEvent, nullptr);
    c->waitSeconds = 1;
    s->requestPosted.store(1);  // posted, never taken: no worker answers
    s->runningHook.store(1);
    EXPECT_EQ(cslWaitForResponse(s, c), 0);
    EXPECT_EQ(s->lastReason.load(), 2033);
    EXPECT_EQ(texts().back(), "No response received within 1 seconds");
    // Given up: a late reply finds it completed, and the next request is not refused as busy.
    EXPECT_EQ(s->requestCompleted.load(), 1u);
    EXPECT_EQ(s->requestTaken.load(), 1u);
    EXPECT_EQ(s->waiting.load(), 0);
    s->runningHook.store(0);
    cslEventFree(c->responseEvent);
    c->responseEvent = nullptr;
}

}  // namespace
