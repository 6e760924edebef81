// The demo's flow as a test: real work on the queue manager raises events of every kind the demo
// shows; each is stored once, under its category and object, as the system's replies tell.
#include "system.h"

namespace {

using sys::countOf;

class FlowTest : public sys::SystemTest {};

TEST_F(FlowTest, EachEventOfRealWorkIsStoredOnceWithItsCategoryAndObject) {
    mqsc(
        "ALTER QMGR CONFIGEV(ENABLED) CMDEV(ENABLED) INHIBTEV(ENABLED) PERFMEV(ENABLED) AUTHOREV(ENABLED)\n"
        "SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('sys.intruder') AUTHADD(CONNECT)\n");
    auto zunt = start();
    resume({sys::kQmgrEvents, "SYSTEM.ADMIN.PERFM.EVENT", "SYSTEM.ADMIN.CONFIG.EVENT",
            "SYSTEM.ADMIN.COMMAND.EVENT"});
    ASSERT_TRUE(settled("SYSTEM.ADMIN.CONFIG.EVENT"));
    const int before = storedCount();

    mqsc(
        "DEFINE QLOCAL(SYS.ORDERS) MAXDEPTH(2)\nALTER QLOCAL(SYS.ORDERS) DESCR('orders')\n"
        "DEFINE QLOCAL(SYS.CLOSED) PUT(DISABLED)\n");
    qmt::Rc r;
    MQHOBJ orders = qmt::open(h, "SYS.ORDERS", MQOO_OUTPUT);
    for (int i = 0; i < 3; i++) r = qmt::put(h, orders, "order");
    EXPECT_EQ(r.reason, MQRC_Q_FULL);
    MQCLOSE(h, &orders, MQCO_NONE, &r.cc, &r.reason);
    MQHOBJ closed = qmt::open(h, "SYS.CLOSED", MQOO_OUTPUT);
    EXPECT_EQ(qmt::put(h, closed, "x").reason, MQRC_PUT_INHIBITED);
    MQCLOSE(h, &closed, MQCO_NONE, &r.cc, &r.reason);
    qmt::open(h, "SYS.MISSING", MQOO_OUTPUT, &r);
    EXPECT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    MQHCONN intruder = sys::connectAsUser("sys.intruder", qm.port(), &r);
    ASSERT_EQ(r.reason, MQRC_NONE);
    qmt::open(intruder, "SYS.ORDERS", MQOO_OUTPUT, &r);
    EXPECT_EQ(r.reason, MQRC_NOT_AUTHORIZED);
    MQDISC(&intruder, &r.cc, &r.reason);

    for (const char *queue : {sys::kQmgrEvents, "SYSTEM.ADMIN.PERFM.EVENT", "SYSTEM.ADMIN.CONFIG.EVENT",
                              "SYSTEM.ADMIN.COMMAND.EVENT"})
        ASSERT_TRUE(settled(queue)) << queue;
    const std::string all = events();
    const char *const expected[] = {
        "SUMMARY(Config - Create Object - Queue:SYS.ORDERS)",
        "SUMMARY(Config - Change Object - Queue:SYS.ORDERS - DESCR['' -> 'orders'])",
        "SUMMARY(Config - Create Object - Queue:SYS.CLOSED)",
        "SUMMARY(Command - Create Q - Queue:SYS.ORDERS)",
        "SUMMARY(Command - Change Q - Queue:SYS.ORDERS)",
        "SUMMARY(Command - Create Q - Queue:SYS.CLOSED)",
        "SUMMARY(Performance - Q Depth Full - Queue:SYS.ORDERS)",
        "SUMMARY(Inhibit Put - Queue:SYS.CLOSED)",
        "SUMMARY(Local - Unknown Object Name - Queue:SYS.MISSING)",
        "SUMMARY(Open not Auth - Queue:SYS.ORDERS)",
    };
    for (const char *summary : expected) EXPECT_EQ(countOf(all, summary), 1) << summary << "\n" << all;
    EXPECT_EQ(storedCount() - before, static_cast<int>(std::size(expected))) << all;
    stop(*zunt);
}

}  // namespace
