// The table of queue roles (see queue_roles.h), its depths watched for a minute (label "long").
#include "queue_roles.h"

namespace {

using roles::QueueRolesTest;

TEST_P(QueueRolesTest, NothingOnAQueueIsLostOrGrowsOverAMinute) {
    runTable(60);
}

INSTANTIATE_TEST_SUITE_P(Kinds, QueueRolesTest, ::testing::ValuesIn(roles::kKinds), roles::kindName);

}  // namespace
