// The queue manager lost (miniqm stop --now) and back during intake (label "long"): the program
// reconnects by its retry scheme each time; nothing is lost or doubled. They still lose a run of
// events now and then across a loss; the 20 cycles join the CI run once they hold.
#include "system.h"

namespace {

class RestartLongTest : public sys::SystemTest {};

TEST_F(RestartLongTest, TheQueueManagerLostAndBackDuringIntakeLosesAndDoublesNothing) {
    queueManagerLoss(20, 49);
}

// 200 more cycles, in four runs of 50, so that each stays well inside a test's time limit.
TEST_F(RestartLongTest, QueueManagerLossCyclesA) {
    queueManagerLoss(50, 1);
}
TEST_F(RestartLongTest, QueueManagerLossCyclesB) {
    queueManagerLoss(50, 2);
}
TEST_F(RestartLongTest, QueueManagerLossCyclesC) {
    queueManagerLoss(50, 3);
}
TEST_F(RestartLongTest, QueueManagerLossCyclesD) {
    queueManagerLoss(50, 4);
}

}  // namespace
