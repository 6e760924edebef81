// The program stopped and started again, and its queue manager lost and back, during a steady flow
// of real events: every event is stored exactly once, as DISPLAY EVENTS shows.
#include "system.h"

namespace {

class RestartTest : public sys::SystemTest {};

TEST_F(RestartTest, StopsAndStartsInASteadyFlowStoreEveryEventOnce) {
    auto zunt = start();
    resume({sys::kQmgrEvents});
    startFeeding();
    for (int cycle = 0; cycle < 3; cycle++) {
        SCOPED_TRACE(cycle);
        // A STOP EV put within the second the program started is taken as an old one and ignored.
        usleep(1200000);
        if (cycle % 2 == 0) {
            stop(*zunt);
        } else {
            zunt->term();
            ASSERT_EQ(zunt->wait(), 0) << zunt->out();
        }
        zunt = start();
    }
    usleep(300000);
    stopFeeding();
    ASSERT_TRUE(settled()) << zunt->out();
    EXPECT_GT(raised.size(), 100u) << "a steady flow";
    EXPECT_EQ(fedNotOnce(), "");
    stop(*zunt);
}

// miniqm stop --now and a fresh start during intake, 20 times (200 under the long label).
TEST_F(RestartTest, TheQueueManagerLostAndBackDuringIntakeLosesAndDoublesNothing) {
    queueManagerLoss(20, 49);
}

}  // namespace
