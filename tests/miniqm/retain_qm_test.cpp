// Retained publications and subscription expiry through the MQI: a retained publication reaches
// later subscribers marked MQIsRetained (unless they ask for new ones only or take them on
// request with MQSUBRQ), one per topic string and replaced by the next, inside units of work, kept
// across kill -9 when persistent; subscriptions end at their SubExpiry.
#include <unistd.h>

#include <algorithm>

#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

struct Sub {
    Rc rc;
    MQHOBJ hobj = MQHO_NONE;
    MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
    MQSD sd = MQSD_DEFAULT;
};

// MQSUB of a managed subscription on a topic string.
Sub subscribe(MQHCONN h, const std::string &topic, MQLONG options, const std::string &subName = "",
              MQLONG subExpiry = MQEI_UNLIMITED, const std::string &selection = "") {
    Sub s;
    if (!selection.empty()) {
        s.sd.SelectionString.VSPtr = const_cast<char *>(selection.c_str());
        s.sd.SelectionString.VSLength = static_cast<MQLONG>(selection.size());
    }
    s.sd.Options = options | MQSO_MANAGED;
    s.sd.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    s.sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    if (!subName.empty()) {
        s.sd.SubName.VSPtr = const_cast<char *>(subName.c_str());
        s.sd.SubName.VSLength = static_cast<MQLONG>(subName.size());
    }
    s.sd.SubExpiry = subExpiry;
    MQSUB(h, &s.sd, &s.hobj, &s.hsub, &s.rc.cc, &s.rc.reason);
    s.sd.ObjectString.VSPtr = nullptr;
    s.sd.SubName.VSPtr = nullptr;
    s.sd.SelectionString.VSPtr = nullptr;
    return s;
}

// A publication carrying the string property Color from a message handle.
Rc publishColored(MQHCONN h, const std::string &topic, const std::string &data, const char *color) {
    MQHMSG hm = createHandle(h);
    Rc r = setProp(h, hm, "Color", MQTYPE_STRING, color, static_cast<MQLONG>(std::strlen(color)));
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = MQOT_TOPIC;
    od.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    od.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.Format, MQFMT_STRING, 8);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_3;
    pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_RETAIN;
    pmo.OriginalMsgHandle = hm;
    MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()), &r.cc,
           &r.reason);
    deleteHandle(h, &hm);
    return r;
}

constexpr MQLONG kRetain = MQPMO_NO_SYNCPOINT | MQPMO_RETAIN;

using Msgs = std::vector<std::string>;

// One message got into a message handle, with the publication properties read back from it.
struct Delivered {
    Rc rc;
    std::string data;
    bool retainedSet = false;  // MQIsRetained present
    MQLONG retained = -1;      // its value
    std::string topic;         // MQTopicString
};

Delivered getPublication(MQHCONN h, MQHOBJ o) {
    Delivered d;
    MQHMSG hm = createHandle(h);
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_4;
    gmo.MsgHandle = hm;
    d.rc = get(h, o, &d.data, MQGMO_NO_SYNCPOINT, nullptr, 65536, nullptr, 0, &gmo);
    if (d.rc.cc == MQCC_OK) {
        auto inquire = [&](const char *name, MQLONG type, void *value, MQLONG length, MQLONG &dataLength) {
            MQIMPO impo = MQIMPO_DEFAULT;
            MQPD pd = MQPD_DEFAULT;
            MQCHARV nv = charv(name);
            Rc ir;
            MQINQMP(h, hm, &impo, &nv, &pd, &type, length, value, &dataLength, &ir.cc, &ir.reason);
            return ir;
        };
        MQLONG len = 0, flag = 0;
        Rc ir = inquire("MQIsRetained", MQTYPE_BOOLEAN, &flag, sizeof flag, len);
        d.retainedSet = ir.cc == MQCC_OK;
        if (d.retainedSet) d.retained = flag;
        char topic[256];
        if (inquire("MQTopicString", MQTYPE_STRING, topic, sizeof topic, len).cc == MQCC_OK)
            d.topic.assign(topic, static_cast<size_t>(len));
    }
    deleteHandle(h, &hm);
    return d;
}

Rc subrq(MQHCONN h, MQHOBJ hsub, MQSRO *sro) {
    Rc r;
    MQSUBRQ(h, hsub, MQSR_ACTION_PUBLICATION, sro, &r.cc, &r.reason);
    return r;
}

class Retain : public QmTest {};

TEST_F(Retain, RetainedPublicationReachesALaterSubscriptionMarkedRetained) {
    // Retained with nobody subscribed: kept all the same, and the warning still says nobody matched.
    EXPECT_RC(publishPut1(h, "Holva/ZUNT/State", "state 1", kRetain | MQPMO_WARN_IF_NO_SUBS_MATCHED),
              MQCC_WARNING, MQRC_NO_SUBS_MATCHED);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.RETAINED.PUB.QUEUE"), 1);
    Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    Delivered d = getPublication(h, s.hobj);
    ASSERT_RC(d.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(d.data, "state 1");
    EXPECT_TRUE(d.retainedSet);
    EXPECT_EQ(d.retained, 1);
    EXPECT_EQ(d.topic, "Holva/ZUNT/State");

    // A live publication carries its topic string but is not marked retained.
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "state 2", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    d = getPublication(h, s.hobj);
    ASSERT_RC(d.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(d.data, "state 2");
    EXPECT_FALSE(d.retainedSet);
    EXPECT_EQ(d.topic, "Holva/ZUNT/State");

    // Without a message handle the queue manager's properties alone bring no MQRFH2.
    Sub plain = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE);
    ASSERT_RC(plain.rc, MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(get(h, plain.hobj, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "state 1");
    EXPECT_EQ(std::string(md.Format, 8), std::string(MQFMT_STRING, 8));
    EXPECT_EQ(std::memcmp(md.CorrelId, plain.sd.SubCorrelId, sizeof md.CorrelId), 0);
}

TEST_F(Retain, NewPublicationsOnlySubscriptionGetsNoRetainedOne) {
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "old", kRetain), MQCC_OK, MQRC_NONE);
    Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_NEW_PUBLICATIONS_ONLY);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, s.hobj), Msgs{});
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "new", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, s.hobj), Msgs{"new"});
}

TEST_F(Retain, ResumingADurableSubscriptionSendsNoRetainedPublicationAgain) {
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "kept", kRetain), MQCC_OK, MQRC_NONE);
    Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.STATE");
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, s.hobj), Msgs{"kept"});
    Rc r;
    MQCLOSE(h, &s.hsub, MQCO_NONE, &r.cc, &r.reason);
    Sub resumed = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.STATE");
    ASSERT_RC(resumed.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, resumed.hobj), Msgs{});
}

TEST_F(Retain, PublicationsOnRequestComeOnlyThroughSubrq) {
    Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_PUBLICATIONS_ON_REQUEST);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    MQSRO sro = MQSRO_DEFAULT;
    sro.NumPubs = 99;
    EXPECT_RC(subrq(h, s.hsub, &sro), MQCC_FAILED, MQRC_NO_RETAINED_MSG);
    EXPECT_EQ(sro.NumPubs, 0);

    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "live", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "retained", kRetain), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, s.hobj), Msgs{});  // nothing arrives on publish

    EXPECT_RC(subrq(h, s.hsub, &sro), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(sro.NumPubs, 1);
    Delivered d = getPublication(h, s.hobj);
    ASSERT_RC(d.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(d.data, "retained");
    EXPECT_EQ(d.retained, 1);
    // Again, and with no MQSRO at all (a null pointer means no options).
    EXPECT_RC(subrq(h, s.hsub, nullptr), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, s.hobj), Msgs{"retained"});

    // The call's own checks.
    MQSRO bad = MQSRO_DEFAULT;
    bad.Version = 2;
    EXPECT_RC(subrq(h, s.hsub, &bad), MQCC_FAILED, MQRC_SRO_ERROR);
    bad = MQSRO_DEFAULT;
    bad.Options = 1;
    EXPECT_RC(subrq(h, s.hsub, &bad), MQCC_FAILED, MQRC_OPTIONS_ERROR);
    EXPECT_RC(subrq(h, s.hobj, &sro), MQCC_FAILED, MQRC_HOBJ_ERROR);
    Rc r;
    MQSUBRQ(h, s.hsub, 99, &sro, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_ACTION_ERROR);
    // A subscription made without MQSO_PUBLICATIONS_ON_REQUEST cannot ask.
    Sub normal = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE);
    ASSERT_RC(normal.rc, MQCC_OK, MQRC_NONE);
    EXPECT_RC(subrq(h, normal.hsub, &sro), MQCC_FAILED, MQRC_OPTIONS_ERROR);
}

TEST_F(Retain, OnePerTopicStringReplacedByTheNextAndByUnitsOfWorkOnlyWhenCommitted) {
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "v1", kRetain), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "v2", kRetain), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "not kept", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    auto current = [&] {
        Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE);
        EXPECT_RC(s.rc, MQCC_OK, MQRC_NONE);
        Msgs got = drainAll(h, s.hobj);
        Rc r;
        MQCLOSE(h, &s.hsub, MQCO_NONE, &r.cc, &r.reason);
        return got;
    };
    EXPECT_EQ(current(), Msgs{"v2"});
    EXPECT_EQ(depth(qm.name(), "SYSTEM.RETAINED.PUB.QUEUE"), 1);

    Rc r;
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "backed out", MQPMO_SYNCPOINT | MQPMO_RETAIN), MQCC_OK,
              MQRC_NONE);
    MQBACK(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(current(), Msgs{"v2"});
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "v3", MQPMO_SYNCPOINT | MQPMO_RETAIN), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "v4", MQPMO_SYNCPOINT | MQPMO_RETAIN), MQCC_OK, MQRC_NONE);
    // Another connection sees the old one until the commit.
    MQHCONN other = connect(qm.name());
    Sub s = subscribe(other, "Holva/ZUNT/State", MQSO_CREATE);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    MQCMIT(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(current(), Msgs{"v4"});
    EXPECT_EQ(depth(qm.name(), "SYSTEM.RETAINED.PUB.QUEUE"), 1);
    MQDISC(&other, &r.cc, &r.reason);

    // CLEAR TOPICSTR removes it; clearing a topic with none is still success.
    std::string out;
    EXPECT_EQ(qm.mqsc("CLEAR TOPICSTR('Holva/+/State') CLRTYPE(RETAINED)\n"
                      "CLEAR TOPICSTR('Nothing/Here') CLRTYPE(RETAINED) SCOPE(LOCAL)\n",
                      &out),
              0)
        << out;
    EXPECT_NE(out.find("topic string cleared"), std::string::npos) << out;
    EXPECT_EQ(current(), Msgs{});
    EXPECT_EQ(qm.mqsc("CLEAR TOPICSTR('Holva/ZUNT/State')\n", &out), 10) << out;  // CLRTYPE is required
    EXPECT_NE(out.find("AMQ8405E"), std::string::npos) << out;
}

TEST_F(Retain, PublicationThatCannotBeRetainedGoesToNobody) {
    Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    ASSERT_EQ(qm.mqsc("ALTER QLOCAL(SYSTEM.RETAINED.PUB.QUEUE) PUT(DISABLED)\n"), 0);
    EXPECT_RC(publishPut1(h, "Holva/ZUNT/State", "lost", kRetain), MQCC_FAILED, MQRC_PUT_NOT_RETAINED);
    EXPECT_EQ(drainAll(h, s.hobj), Msgs{});
}

TEST_F(Retain, PersistentRetainedPublicationsSurviveKillAndNonPersistentOnesDoNot) {
    ASSERT_RC(publishPut1(h, "Holva/A", "persistent A", kRetain, MQPER_PERSISTENT), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/B", "non-persistent B", kRetain), MQCC_OK, MQRC_NONE);
    // A non-persistent replacement of a persistent one: after the restart there is none.
    ASSERT_RC(publishPut1(h, "Holva/C", "persistent C", kRetain, MQPER_PERSISTENT), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/C", "non-persistent C", kRetain), MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    qm.kill9();
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    Sub s = subscribe(h, "Holva/#", MQSO_CREATE);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, s.hobj), Msgs{"persistent A"});

    // And across a clean stop.
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    Sub again = subscribe(h, "Holva/#", MQSO_CREATE);
    ASSERT_RC(again.rc, MQCC_OK, MQRC_NONE);
    Delivered d = getPublication(h, again.hobj);
    ASSERT_RC(d.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(d.data, "persistent A");
    EXPECT_EQ(d.topic, "Holva/A");
    EXPECT_EQ(d.retained, 1);
}

TEST_F(Retain, WildcardSubscriptionsReceiveEveryMatchingRetainedPublication) {
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/Alerts", "alerts", kRetain), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "state", kRetain), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/Other/State", "other", kRetain), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Elsewhere/State", "elsewhere", kRetain), MQCC_OK, MQRC_NONE);

    Sub zunt = subscribe(h, "Holva/ZUNT/#", MQSO_CREATE);
    ASSERT_RC(zunt.rc, MQCC_OK, MQRC_NONE);
    std::vector<std::string> topics;
    for (;;) {
        Delivered d = getPublication(h, zunt.hobj);
        if (d.rc.cc != MQCC_OK) break;
        EXPECT_EQ(d.retained, 1);
        topics.push_back(d.topic + "=" + d.data);
    }
    std::sort(topics.begin(), topics.end());
    EXPECT_EQ(topics, (Msgs{"Holva/ZUNT/Alerts=alerts", "Holva/ZUNT/State=state"}));

    Sub states = subscribe(h, "Holva/+/State", MQSO_CREATE);
    ASSERT_RC(states.rc, MQCC_OK, MQRC_NONE);
    Msgs got = drainAll(h, states.hobj);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (Msgs{"other", "state"}));

    Sub chars = subscribe(h, "*State", MQSO_CREATE | MQSO_WILDCARD_CHAR | MQSO_PUBLICATIONS_ON_REQUEST);
    ASSERT_RC(chars.rc, MQCC_OK, MQRC_NONE);
    MQSRO sro = MQSRO_DEFAULT;
    EXPECT_RC(subrq(h, chars.hsub, &sro), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(sro.NumPubs, 3);
    EXPECT_EQ(drainAll(h, chars.hobj).size(), 3u);
}

TEST_F(Retain, SubscriptionEndsAtItsSubExpiry) {
    EXPECT_RC(subscribe(h, "Holva/ZUNT/State", MQSO_CREATE, "", 0).rc, MQCC_FAILED, MQRC_EXPIRY_ERROR);
    EXPECT_RC(subscribe(h, "Holva/ZUNT/State", MQSO_CREATE, "", -5).rc, MQCC_FAILED, MQRC_EXPIRY_ERROR);

    // Held by its Hsub: publications stop at the expiry, what arrived before stays on the queue,
    // and the subscription can be neither resumed nor altered until the handle is closed.
    Sub held = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.HELD", 2);
    ASSERT_RC(held.rc, MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "before", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    // A durable one released before its expiry goes by itself; one with a long expiry is altered
    // to a short one.
    Sub released = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.RELEASED", 2);
    ASSERT_RC(released.rc, MQCC_OK, MQRC_NONE);
    Rc r;
    MQCLOSE(h, &released.hsub, MQCO_NONE, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    Sub altered = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.ALTERED", 6000);
    ASSERT_RC(altered.rc, MQCC_OK, MQRC_NONE);
    Sub alter = subscribe(h, "", MQSO_ALTER | MQSO_DURABLE, "ZUNT.ALTERED", 2);
    ASSERT_RC(alter.rc, MQCC_FAILED, MQRC_SUBSCRIPTION_IN_USE);  // held by its own Hsub
    MQCLOSE(h, &altered.hsub, MQCO_NONE, &r.cc, &r.reason);
    alter = subscribe(h, "", MQSO_ALTER | MQSO_DURABLE, "ZUNT.ALTERED", 2);
    ASSERT_RC(alter.rc, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &alter.hsub, MQCO_NONE, &r.cc, &r.reason);
    // RESUME hands back the SubExpiry the subscription was made with.
    Sub unlimited = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.LONG", 6000);
    ASSERT_RC(unlimited.rc, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &unlimited.hsub, MQCO_NONE, &r.cc, &r.reason);
    Sub resumed = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.LONG", MQEI_UNLIMITED);
    ASSERT_RC(resumed.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(resumed.sd.SubExpiry, 6000);

    usleep(400 * 1000);  // past every SubExpiry of 2 (0.2 seconds)
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "after", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, held.hobj), Msgs{"before"});
    MQHCONN other = connect(qm.name());
    EXPECT_RC(subscribe(other, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.HELD").rc, MQCC_FAILED,
              MQRC_INVALID_SUBSCRIPTION);
    EXPECT_RC(subscribe(other, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.RELEASED").rc, MQCC_FAILED,
              MQRC_NO_SUBSCRIPTION);
    EXPECT_RC(subscribe(other, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.ALTERED").rc, MQCC_FAILED,
              MQRC_NO_SUBSCRIPTION);
    MQCLOSE(h, &held.hsub, MQCO_NONE, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(subscribe(other, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.HELD").rc, MQCC_FAILED,
              MQRC_NO_SUBSCRIPTION);
    MQDISC(&other, &r.cc, &r.reason);
    // The one without an expiry lives on.
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "later", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, resumed.hobj), (Msgs{"after", "later"}));
}

TEST_F(Retain, DurableSubscriptionExpiringWhileTheQueueManagerIsDownIsGoneAfterTheRestart) {
    Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.SHORT", 3);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    Sub kept = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.KEPT", 36000);
    ASSERT_RC(kept.rc, MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    qm.kill9();
    usleep(400 * 1000);
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    EXPECT_RC(subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.SHORT").rc, MQCC_FAILED,
              MQRC_NO_SUBSCRIPTION);
    Sub back = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.KEPT");
    ASSERT_RC(back.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(back.sd.SubExpiry, 36000);
}

TEST_F(Retain, WithApplicationPropertiesAPublicationWithoutHandleCarriesTheMqpsFolderInItsMqrfh2) {
    ASSERT_RC(publishColored(h, "Holva/ZUNT/State", "red state", "red"), MQCC_OK, MQRC_NONE);
    Sub s = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE);
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(get(h, s.hobj, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(std::string(md.Format, 8), "MQHRF2  ");
    ASSERT_EQ(data.substr(0, 4), "RFH ");
    EXPECT_NE(data.find("<mqps><Top>Holva/ZUNT/State</Top><Ret dt='boolean'>1</Ret></mqps>"),
              std::string::npos);
    EXPECT_NE(data.find("<usr><Color>red</Color></usr>"), std::string::npos);
    // MQBUFMH takes them back under the names an application inquires.
    MQHMSG hm = createHandle(h);
    Rc r;
    MQBMHO bmho = MQBMHO_DEFAULT;
    MQLONG left = 0;
    MQBUFMH(h, hm, &bmho, &md, static_cast<MQLONG>(data.size()), data.data(), &left, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data.substr(0, static_cast<size_t>(left)), "red state");
    MQIMPO impo = MQIMPO_DEFAULT;
    MQPD pd = MQPD_DEFAULT;
    MQCHARV nv = charv("MQTopicString");
    MQLONG type = MQTYPE_STRING, length = 0;
    char topic[64];
    MQINQMP(h, hm, &impo, &nv, &pd, &type, sizeof topic, topic, &length, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(std::string(topic, static_cast<size_t>(length)), "Holva/ZUNT/State");
    // Applications may read these names but not set them.
    MQSMPO smpo = MQSMPO_DEFAULT;
    MQSETMP(h, hm, &smpo, &nv, &pd, MQTYPE_STRING, 1, const_cast<char *>("x"), &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_PROPERTY_NAME_ERROR);
    deleteHandle(h, &hm);
}

TEST_F(Retain, SelectionStringAppliesToRetainedPublications) {
    ASSERT_RC(publishColored(h, "Holva/Red", "red one", "red"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publishColored(h, "Holva/Blue", "blue one", "blue"), MQCC_OK, MQRC_NONE);
    Sub s = subscribe(h, "Holva/#", MQSO_CREATE, "", MQEI_UNLIMITED, "Color = 'blue'");
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    Delivered d = getPublication(h, s.hobj);
    ASSERT_RC(d.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(d.data, "blue one");
    EXPECT_RC(getPublication(h, s.hobj).rc, MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
}

TEST_F(Retain, RetainedPublicationsThatCannotBeReadMakeNoSubscription) {
    ASSERT_RC(publishPut1(h, "Holva/ZUNT/State", "kept", kRetain), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(qm.mqsc("ALTER QLOCAL(SYSTEM.RETAINED.PUB.QUEUE) GET(DISABLED)\n"), 0);
    EXPECT_RC(subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE, "ZUNT.STATE").rc, MQCC_FAILED,
              MQRC_RETAINED_MSG_Q_ERROR);
    // Not made: no subscription of that name, and a topic without a retained one is not affected.
    EXPECT_RC(subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "ZUNT.STATE").rc, MQCC_FAILED,
              MQRC_NO_SUBSCRIPTION);
    EXPECT_RC(subscribe(h, "Holva/Other", MQSO_CREATE).rc, MQCC_OK, MQRC_NONE);
    Sub onlyNew = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_DURABLE | MQSO_NEW_PUBLICATIONS_ONLY,
                            "ZUNT.STATE");
    ASSERT_RC(onlyNew.rc, MQCC_OK, MQRC_NONE);
    Sub onRequest = subscribe(h, "Holva/ZUNT/State", MQSO_CREATE | MQSO_PUBLICATIONS_ON_REQUEST);
    ASSERT_RC(onRequest.rc, MQCC_OK, MQRC_NONE);
    MQSRO sro = MQSRO_DEFAULT;
    EXPECT_RC(subrq(h, onRequest.hsub, &sro), MQCC_FAILED, MQRC_RETAINED_MSG_Q_ERROR);
    ASSERT_EQ(qm.mqsc("ALTER QLOCAL(SYSTEM.RETAINED.PUB.QUEUE) GET(ENABLED)\n"), 0);
    EXPECT_RC(subrq(h, onRequest.hsub, &sro), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, onRequest.hobj), Msgs{"kept"});
}

}  // namespace
