// Every role a queue can take against every other on the same queue, for every kind of queue, in both
// orders (see queue_roles.h); the depths watched for a few seconds at the end.
#include "queue_roles.h"

namespace {

using roles::QueueRolesTest;

TEST_P(QueueRolesTest, NothingOnAQueueIsLostWhicheverRoleCameFirst) {
    runTable(3);
}

INSTANTIATE_TEST_SUITE_P(Kinds, QueueRolesTest, ::testing::ValuesIn(roles::kKinds), roles::kindName);

}  // namespace
