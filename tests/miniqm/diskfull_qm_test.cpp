// A full disk: every change whose journal record cannot be written is refused (2102
// MQRC_RESOURCE_PROBLEM, or AMQ8101S from MQSC), is not made in memory either, and is not there
// after a restart. The disk fills on demand through MINIQM_DISK_FULL (miniqm/os.h).
#include <cstdio>

#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// MQSUB on a topic string: durable with a name when one is given; to dest when it is a handle,
// else managed (hobj receives the managed queue).
Rc subscribe(MQHCONN h, const std::string &topic, MQLONG options, const std::string &name, MQHOBJ &hobj,
             MQHOBJ &hsub, MQLONG subExpiry = MQEI_UNLIMITED) {
    MQSD sd = MQSD_DEFAULT;
    sd.Options = options | (name.empty() ? 0 : MQSO_DURABLE) | (hobj == MQHO_NONE ? MQSO_MANAGED : 0);
    sd.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    sd.SubName.VSPtr = const_cast<char *>(name.c_str());
    sd.SubName.VSLength = static_cast<MQLONG>(name.size());
    sd.SubExpiry = subExpiry;
    Rc r;
    MQSUB(h, &sd, &hobj, &hsub, &r.cc, &r.reason);
    return r;
}

// Whether a durable subscription of that name exists: MQSUB RESUME finds it (and lets it go again).
bool subscriptionExists(MQHCONN h, const std::string &name) {
    MQHOBJ hobj = MQHO_NONE, hsub = MQHO_UNUSABLE_HOBJ;
    Rc r = subscribe(h, "", MQSO_RESUME, name, hobj, hsub);
    if (r.cc == MQCC_FAILED) {
        EXPECT_EQ(r.reason, MQRC_NO_SUBSCRIPTION) << name;
        return false;
    }
    Rc c;
    MQCLOSE(h, &hsub, MQCO_NONE, &c.cc, &c.reason);
    return true;
}

// The hook is set before the queue manager starts (a base constructed first), so its server has it.
struct DiskHook {
    zt::TempDir disk;
    zt::ScopedEnv hook{"MINIQM_DISK_FULL", disk.file("full").c_str()};
};

class DiskFull : private DiskHook, public QmTest {
protected:
    void fill() { disk.write("full", ""); }
    void makeRoom() { ASSERT_EQ(std::remove(disk.file("full").c_str()), 0); }
    // Ends the server as a crash would and starts it again: only what the journal holds is back.
    void restart() {
        Rc r;
        MQDISC(&h, &r.cc, &r.reason);
        qm.kill9();
        ASSERT_TRUE(qm.start());
        h = connect(qm.name());
    }
    std::string mqscOut(const std::string &script, int expectedExit) {
        std::string out;
        EXPECT_EQ(qm.mqsc(script, &out), expectedExit) << out;
        return out;
    }
};

}  // namespace

TEST_F(DiskFull, DurableSubscriptionsAreNotMadeChangedOrRemoved) {
    mqscOut("DEFINE QLOCAL(DEST.Q)\n", 0);
    MQHOBJ dest = open(h, "DEST.Q", MQOO_OUTPUT);
    MQHOBJ keptQ = dest, kept = MQHO_UNUSABLE_HOBJ;
    ASSERT_RC(subscribe(h, "a/kept", MQSO_CREATE, "KEPT", keptQ, kept, 6000), MQCC_OK, MQRC_NONE);
    Rc r;
    MQCLOSE(h, &kept, MQCO_KEEP_SUB, &r.cc, &r.reason);
    fill();
    MQHOBJ namedQ = dest, named = MQHO_UNUSABLE_HOBJ, managedQ = MQHO_NONE, managed = MQHO_UNUSABLE_HOBJ;
    EXPECT_RC(subscribe(h, "a/named", MQSO_CREATE, "NAMED", namedQ, named), MQCC_FAILED,
              MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(subscribe(h, "a/managed", MQSO_CREATE, "MANAGED", managedQ, managed), MQCC_FAILED,
              MQRC_RESOURCE_PROBLEM);
    MQHOBJ alterQ = dest, altered = MQHO_UNUSABLE_HOBJ;
    EXPECT_RC(subscribe(h, "a/kept", MQSO_ALTER, "KEPT", alterQ, altered, 100), MQCC_FAILED,
              MQRC_RESOURCE_PROBLEM);
    keptQ = MQHO_NONE;
    ASSERT_RC(subscribe(h, "", MQSO_RESUME, "KEPT", keptQ, kept), MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &kept, MQCO_REMOVE_SUB, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_NE(kept, MQHO_UNUSABLE_HOBJ);  // a failed close leaves the handle
    makeRoom();

    // As before the disk filled: the new ones absent (no managed queue left either), the old one
    // with its SubExpiry and still held by the handle that could not remove it.
    EXPECT_FALSE(subscriptionExists(h, "NAMED"));
    EXPECT_FALSE(subscriptionExists(h, "MANAGED"));
    EXPECT_TRUE(contains(mqscOut("DISPLAY QLOCAL(SYSTEM.MANAGED.*)\n", 10), "not found"));
    MQHOBJ resumeQ = MQHO_NONE, resumed = MQHO_UNUSABLE_HOBJ;
    EXPECT_RC(subscribe(h, "", MQSO_RESUME, "KEPT", resumeQ, resumed), MQCC_FAILED, MQRC_SUBSCRIPTION_IN_USE);
    MQCLOSE(h, &kept, MQCO_KEEP_SUB, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);

    restart();
    EXPECT_FALSE(subscriptionExists(h, "NAMED"));
    EXPECT_FALSE(subscriptionExists(h, "MANAGED"));
    resumeQ = MQHO_NONE;
    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_RESUME | MQSO_DURABLE;
    sd.SubName.VSPtr = const_cast<char *>("KEPT");
    sd.SubName.VSLength = 4;
    MQSUB(h, &sd, &resumeQ, &resumed, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(sd.SubExpiry, 6000);  // not the 100 of the ALTER that failed
}

TEST_F(DiskFull, RetainedPublicationThatCannotBeKeptIsNotPublished) {
    MQHOBJ subQ = MQHO_NONE, sub = MQHO_UNUSABLE_HOBJ;
    ASSERT_RC(subscribe(h, "news", MQSO_CREATE, "", subQ, sub), MQCC_OK, MQRC_NONE);
    const MQLONG retain = MQPMO_NO_SYNCPOINT | MQPMO_RETAIN;
    ASSERT_RC(publishPut1(h, "news", "old", retain, MQPER_PERSISTENT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, subQ), std::vector<std::string>{"old"});
    fill();
    EXPECT_RC(publishPut1(h, "news", "new", retain, MQPER_PERSISTENT), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_TRUE(contains(mqscOut("CLEAR TOPICSTR('news') CLRTYPE(RETAINED)\n", 10),
                         "AMQ8101S: IBM MQ error (836) has occurred."));
    makeRoom();
    EXPECT_TRUE(drainAll(h, subQ).empty());  // refused means sent to nobody

    // The retained publication is still the old one, for a new subscriber now and after a restart.
    for (int pass = 0; pass < 2; ++pass) {
        MQHOBJ q = MQHO_NONE, s = MQHO_UNUSABLE_HOBJ;
        ASSERT_RC(subscribe(h, "news", MQSO_CREATE, "", q, s), MQCC_OK, MQRC_NONE);
        EXPECT_EQ(drainAll(h, q), std::vector<std::string>{"old"}) << "pass " << pass;
        EXPECT_EQ(depth(qm.name(), "SYSTEM.RETAINED.PUB.QUEUE"), 1);
        if (pass == 0) restart();
    }
}

TEST_F(DiskFull, ObjectChangesAreNotMade) {
    mqscOut(
        "DEFINE QLOCAL(OLD.Q) MAXDEPTH(100)\nDEFINE QLOCAL(GONER.Q)\n"
        "DEFINE QMODEL(PERM.MODEL) DEFTYPE(PERMDYN)\n",
        0);
    MQHOBJ settable = open(h, "OLD.Q", MQOO_SET | MQOO_INQUIRE);
    fill();
    std::string out = mqscOut(
        "DEFINE QLOCAL(NEW.Q)\nALTER QLOCAL(OLD.Q) MAXDEPTH(7)\nDELETE QLOCAL(GONER.Q)\n"
        "DEFINE TOPIC(NEW.TOPIC) TOPICSTR('x')\nCLEAR QLOCAL(GONER.Q)\n",
        10);
    EXPECT_TRUE(contains(out, "AMQ8101S: IBM MQ error (836) has occurred.")) << out;
    EXPECT_TRUE(contains(out, "5 valid MQSC commands could not be processed.")) << out;
    MQLONG selector = MQIA_INHIBIT_PUT, inhibited = MQQA_PUT_INHIBITED;
    Rc r;
    MQSET(h, settable, 1, &selector, 1, &inhibited, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "PERM.MODEL");
    setText(od.DynamicQName, 48, "PERM.*");
    MQHOBJ dyn = MQHO_UNUSABLE_HOBJ;
    MQOPEN(h, &od, MQOO_INPUT_SHARED, &dyn, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    makeRoom();

    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "running" : "after a restart");
        out = mqscOut("DISPLAY QLOCAL(OLD.Q) MAXDEPTH PUT\nDISPLAY QLOCAL(GONER.Q)\n", 0);
        EXPECT_TRUE(contains(out, "MAXDEPTH(100)") && contains(out, "PUT(ENABLED)")) << out;
        EXPECT_TRUE(contains(out, "QUEUE(GONER.Q)")) << out;
        for (const char *absent :
             {"DISPLAY QLOCAL(NEW.Q)\n", "DISPLAY TOPIC(NEW.TOPIC)\n", "DISPLAY QLOCAL(PERM.*)\n"})
            EXPECT_TRUE(contains(mqscOut(absent, 10), "not found")) << absent;
        if (pass == 0) restart();
    }
}

TEST_F(DiskFull, PersistentMessagesAreNotTakenOrCommitted) {
    mqscOut("DEFINE QLOCAL(MSG.Q)\n", 0);
    MQHOBJ o = open(h, "MSG.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, o, "stays", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    fill();
    md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    EXPECT_RC(put(h, o, "refused", MQPMO_NO_SYNCPOINT, &md), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    std::string data;
    EXPECT_RC(get(h, o, &data), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, o, "backed out", MQPMO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    Rc r;
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_BACKED_OUT);
    makeRoom();
    EXPECT_EQ(depth(qm.name(), "MSG.Q"), 1);
    restart();
    o = open(h, "MSG.Q", MQOO_INPUT_SHARED);
    EXPECT_EQ(drainAll(h, o), std::vector<std::string>{"stays"});
}
