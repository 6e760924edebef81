// Faults on demand set from inside the process (miniqmControl): per connection and per queue, with
// IBM MQ's completion code for the reason on the verb unless one is given, cleared after N calls.
#include "miniqm/control.h"
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {}  // namespace

TEST(Faults, OnlyTheNamedConnectionFailsAndOnlyNTimes) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN a = connectAs(qm.name(), "APP.A"), b = connectAs(qm.name(), "APP.B");
    MQHOBJ oa = open(a, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    MQHOBJ ob = open(b, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    ASSERT_EQ(admin(qm.name(), "fault MQPUT 2053 2 -1 - APP.B"), 0);
    EXPECT_RC(put(a, oa, "a"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(b, ob, "b"), MQCC_FAILED, MQRC_Q_FULL);
    EXPECT_RC(put(b, ob, "b"), MQCC_FAILED, MQRC_Q_FULL);
    EXPECT_RC(put(b, ob, "b"), MQCC_OK, MQRC_NONE);
    std::string reply;
    ASSERT_EQ(admin(qm.name(), "fault list", &reply), 0);
    EXPECT_EQ(reply, "");
    EXPECT_EQ(admin(qm.name(), "fault MQPUT"), 1);  // incomplete request
    EXPECT_EQ(admin("NOSUCHQM", "fault list"), -1);
    Rc r;
    MQDISC(&a, &r.cc, &r.reason);
    MQDISC(&b, &r.cc, &r.reason);
}

TEST(Faults, DefaultCompletionCodesFollowTheVerbAndCanBeOverridden) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    Rc r;
    ASSERT_EQ(admin(qm.name(), "fault MQCMIT 2003 1 -1 - -"), 0);
    ASSERT_RC(put(h, o, "x", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_BACKED_OUT);  // and the unit of work really is backed out
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 0);
    ASSERT_EQ(admin(qm.name(), "fault MQGET 2003 1 -1 SYSTEM.DEFAULT.LOCAL.QUEUE -"), 0);
    EXPECT_RC(get(h, o, nullptr), MQCC_FAILED, MQRC_BACKED_OUT);
    ASSERT_EQ(admin(qm.name(), "fault MQPUT 2009 1 2 - -"), 0);  // cc given: used as is
    ASSERT_RC(put(h, o, "y"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    EXPECT_RC(put(h, o, "z"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);  // a real break: it stays broken
    MQDISC(&h, &r.cc, &r.reason);
}
