// The queue manager lost and back many more times during intake (label "long").
#include "system.h"

namespace {

class RestartLongTest : public sys::SystemTest {};

// 200 cycles, in four runs of 50, so that each stays well inside a test's time limit.
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
