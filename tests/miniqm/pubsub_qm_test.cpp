// Publish/subscribe through the MQI: publications on a topic reach every matching subscription
// (managed, or to a named queue), wildcards select, no subscriber is no error, and closing a
// non-durable subscription ends it while a durable one waits to be resumed.
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

struct Sub {
    Rc rc;
    MQHOBJ hobj = MQHO_NONE;
    MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
    std::string resolved;
    MQSD sd = MQSD_DEFAULT;
};

// MQSUB on a topic string; managed unless destQ is an output handle of a queue.
Sub subscribe(MQHCONN h, const std::string &topic, MQLONG options, MQHOBJ destQ = MQHO_NONE,
              const std::string &subName = "", const std::string &topicObject = "") {
    Sub s;
    s.sd.Options = options | (destQ == MQHO_NONE ? MQSO_MANAGED : 0);
    s.sd.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    s.sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    if (!subName.empty()) {
        s.sd.SubName.VSPtr = const_cast<char *>(subName.c_str());
        s.sd.SubName.VSLength = static_cast<MQLONG>(subName.size());
    }
    if (!topicObject.empty()) setText(s.sd.ObjectName, 48, topicObject);
    char buf[256];
    s.sd.ResObjectString.VSPtr = buf;
    s.sd.ResObjectString.VSBufSize = sizeof buf;
    s.hobj = destQ;
    MQSUB(h, &s.sd, &s.hobj, &s.hsub, &s.rc.cc, &s.rc.reason);
    if (s.rc.cc != MQCC_FAILED) s.resolved.assign(buf, static_cast<size_t>(s.sd.ResObjectString.VSLength));
    s.sd.ObjectString.VSPtr = nullptr;
    s.sd.SubName.VSPtr = nullptr;
    s.sd.ResObjectString.VSPtr = nullptr;
    return s;
}

// Opens a topic for output by topic object and/or object string.
MQHOBJ openTopic(MQHCONN h, const std::string &topic, Rc *rc = nullptr, const std::string &object = "") {
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = MQOT_TOPIC;
    setText(od.ObjectName, 48, object);
    od.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    od.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    MQHOBJ o = MQHO_UNUSABLE_HOBJ;
    Rc local;
    Rc &r = rc ? *rc : local;
    MQOPEN(h, &od, MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING, &o, &r.cc, &r.reason);
    return o;
}

Rc publish(MQHCONN h, const std::string &topic, const std::string &data,
           MQLONG pmoOptions = MQPMO_NO_SYNCPOINT) {
    Rc r;
    MQHOBJ t = openTopic(h, topic, &r);
    if (r.cc != MQCC_OK) return r;
    r = put(h, t, data, pmoOptions);
    Rc c;
    MQCLOSE(h, &t, MQCO_NONE, &c.cc, &c.reason);
    return r;
}

// Every message waiting on a handle, in order.
class PubSub : public QmTest {};

using Msgs = std::vector<std::string>;

TEST_F(PubSub, PublicationReachesManagedAndNamedQueueSubscriptionsButNotOthers) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(ALERTS.Q)\n"), 0);
    MQHOBJ dest = open(h, "ALERTS.Q", MQOO_OUTPUT);
    Sub managed = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE | MQSO_NON_DURABLE);
    ASSERT_RC(managed.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(managed.resolved, "Holva/ZUNT/Alerts");
    Sub named = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE, dest);
    ASSERT_RC(named.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(named.hobj, dest);
    Sub other = subscribe(h, "Holva/ZUNT/Other", MQSO_CREATE);
    ASSERT_RC(other.rc, MQCC_OK, MQRC_NONE);

    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "alert 1"), MQCC_OK, MQRC_NONE);

    MQMD md = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(get(h, managed.hobj, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "alert 1");
    EXPECT_EQ(std::memcmp(md.CorrelId, managed.sd.SubCorrelId, sizeof md.CorrelId), 0);
    EXPECT_EQ(drainAll(h, managed.hobj), Msgs{});
    MQHOBJ in = open(h, "ALERTS.Q", MQOO_INPUT_SHARED);
    EXPECT_EQ(drainAll(h, in), Msgs{"alert 1"});
    EXPECT_EQ(drainAll(h, other.hobj), Msgs{});
}

TEST_F(PubSub, TopicObjectAndObjectStringJoinForPublisherAndSubscriber) {
    ASSERT_EQ(qm.mqsc("DEFINE TOPIC(ZUNT.TOPIC) TOPICSTR('Holva/ZUNT')\n"), 0);
    Sub s = subscribe(h, "Alerts", MQSO_CREATE, MQHO_NONE, "", "ZUNT.TOPIC");
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(s.resolved, "Holva/ZUNT/Alerts");
    Rc r;
    MQHOBJ t = openTopic(h, "Alerts", &r, "ZUNT.TOPIC");
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, t, "by object"), MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &t, MQCO_NONE, &r.cc, &r.reason);
    // MQPUT1 on the topic string alone.
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = MQOT_TOPIC;
    std::string topic = "Holva/ZUNT/Alerts";
    od.ObjectString.VSPtr = topic.data();
    od.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    char msg[] = "by put1";
    MQPUT1(h, &od, &md, &pmo, 7, msg, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, s.hobj), (Msgs{"by object", "by put1"}));

    Sub bad = subscribe(h, "X", MQSO_CREATE, MQHO_NONE, "", "NO.SUCH.TOPIC");
    EXPECT_RC(bad.rc, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
}

TEST_F(PubSub, WildcardSubscriptionsSelectByTheirScheme) {
    Sub hash = subscribe(h, "Holva/#", MQSO_CREATE);
    Sub plus = subscribe(h, "Holva/+/Alerts", MQSO_CREATE);
    Sub chars = subscribe(h, "Holva/*Alerts", MQSO_CREATE | MQSO_WILDCARD_CHAR);
    Sub exact = subscribe(h, "Holva/ZUNT", MQSO_CREATE);
    for (const Sub *s : {&hash, &plus, &chars, &exact}) ASSERT_RC(s->rc, MQCC_OK, MQRC_NONE);

    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "a"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(publish(h, "Holva/ZUNT", "b"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(publish(h, "Holva/X/Y/Alerts", "c"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(publish(h, "Other/ZUNT/Alerts", "d"), MQCC_OK, MQRC_NONE);

    EXPECT_EQ(drainAll(h, hash.hobj), (Msgs{"a", "b", "c"}));
    EXPECT_EQ(drainAll(h, plus.hobj), (Msgs{"a"}));
    EXPECT_EQ(drainAll(h, chars.hobj), (Msgs{"a", "c"}));
    EXPECT_EQ(drainAll(h, exact.hobj), (Msgs{"b"}));
}

TEST_F(PubSub, NoSubscriberMeansSuccessAndNothingDelivered) {
    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "lost"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "lost", MQPMO_NO_SYNCPOINT | MQPMO_WARN_IF_NO_SUBS_MATCHED),
              MQCC_WARNING, MQRC_NO_SUBS_MATCHED);
    Sub later = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE);
    ASSERT_RC(later.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, later.hobj), Msgs{});
    // A publisher names one topic, never a wildcard.
    Rc r;
    openTopic(h, "Holva/#", &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_TOPIC_STRING_ERROR);
}

TEST_F(PubSub, ClosingANonDurableSubscriptionRemovesIt) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(ALERTS.Q)\n"), 0);
    MQHOBJ dest = open(h, "ALERTS.Q", MQOO_OUTPUT);
    Sub named = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE, dest);
    ASSERT_RC(named.rc, MQCC_OK, MQRC_NONE);
    Sub managed = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE);
    ASSERT_RC(managed.rc, MQCC_OK, MQRC_NONE);
    Rc r;
    MQCLOSE(h, &named.hsub, MQCO_NONE, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(named.hsub, MQHO_UNUSABLE_HOBJ);
    MQCLOSE(h, &managed.hsub, MQCO_NONE, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "x", MQPMO_NO_SYNCPOINT | MQPMO_WARN_IF_NO_SUBS_MATCHED),
              MQCC_WARNING, MQRC_NO_SUBS_MATCHED);
    EXPECT_EQ(depth(qm.name(), "ALERTS.Q"), 0);
    // The managed queue went with its subscription: its handle now gives 2052.
    std::string data;
    EXPECT_RC(get(h, managed.hobj, &data), MQCC_FAILED, MQRC_Q_DELETED);
}

TEST_F(PubSub, DurableSubscriptionOutlivesItsConnectionAndIsResumed) {
    Sub s = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE | MQSO_DURABLE, MQHO_NONE, "ZUNT.ALERTS");
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    EXPECT_RC(subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE | MQSO_DURABLE, MQHO_NONE, "ZUNT.ALERTS").rc,
              MQCC_FAILED, MQRC_SUB_ALREADY_EXISTS);
    EXPECT_RC(subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE | MQSO_DURABLE).rc, MQCC_FAILED,
              MQRC_SUB_NAME_ERROR);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    h = connect(qm.name());
    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "kept"), MQCC_OK, MQRC_NONE);
    Sub resumed = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, MQHO_NONE, "ZUNT.ALERTS");
    ASSERT_RC(resumed.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(resumed.resolved, "Holva/ZUNT/Alerts");
    EXPECT_EQ(drainAll(h, resumed.hobj), Msgs{"kept"});

    // Publications on request are for subscriptions made with MQSO_PUBLICATIONS_ON_REQUEST.
    MQSRO sro = MQSRO_DEFAULT;
    MQSUBRQ(h, resumed.hsub, MQSR_ACTION_PUBLICATION, &sro, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    MQSUBRQ(h, resumed.hobj, MQSR_ACTION_PUBLICATION, &sro, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_HOBJ_ERROR);

    MQCLOSE(h, &resumed.hsub, MQCO_REMOVE_SUB, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, MQHO_NONE, "ZUNT.ALERTS").rc, MQCC_FAILED,
              MQRC_NO_SUBSCRIPTION);
}

TEST_F(PubSub, DurableSubscriptionsSurviveARestartWithTheirPublications) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(ALERTS.Q)\n"), 0);
    MQHOBJ dest = open(h, "ALERTS.Q", MQOO_OUTPUT);
    Sub managed = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE | MQSO_DURABLE, MQHO_NONE, "ZUNT.MANAGED");
    ASSERT_RC(managed.rc, MQCC_OK, MQRC_NONE);
    Sub named = subscribe(h, "Holva/+/Alerts", MQSO_CREATE | MQSO_DURABLE, dest, "ZUNT.NAMED");
    ASSERT_RC(named.rc, MQCC_OK, MQRC_NONE);
    Sub gone = subscribe(h, "Holva/#", MQSO_CREATE | MQSO_DURABLE, MQHO_NONE, "ZUNT.GONE");
    ASSERT_RC(gone.rc, MQCC_OK, MQRC_NONE);
    Rc r;
    MQCLOSE(h, &gone.hsub, MQCO_REMOVE_SUB, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    Rc pr;
    MQHOBJ t = openTopic(h, "Holva/ZUNT/Alerts", &pr);
    ASSERT_RC(pr, MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, t, "persistent", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    MQDISC(&h, &r.cc, &r.reason);

    qm.kill9();
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    EXPECT_RC(subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, MQHO_NONE, "ZUNT.GONE").rc, MQCC_FAILED,
              MQRC_NO_SUBSCRIPTION);
    Sub m2 = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, MQHO_NONE, "ZUNT.MANAGED");
    ASSERT_RC(m2.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(std::memcmp(m2.sd.SubCorrelId, managed.sd.SubCorrelId, sizeof managed.sd.SubCorrelId), 0);
    EXPECT_EQ(drainAll(h, m2.hobj), Msgs{"persistent"});
    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "after"), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drainAll(h, m2.hobj), Msgs{"after"});
    MQHOBJ in = open(h, "ALERTS.Q", MQOO_INPUT_SHARED);
    EXPECT_EQ(drainAll(h, in), (Msgs{"persistent", "after"}));
}

}  // namespace

// A persistent publication must reach every durable subscription: when a durable subscriber's
// queue refuses it, nobody gets it (not the other subscribers, not the retained copy) and the put
// fails with 2502. A non-durable subscriber's refusal, or a non-persistent publication, only
// skips that subscriber.
TEST_F(PubSub, PersistentPublicationRefusedByADurableSubscriberReachesNobody) {
    ASSERT_EQ(
        qm.mqsc(
            "DEFINE QLOCAL(DUR.Q) MAXDEPTH(1)\nDEFINE QLOCAL(OTHER.Q)\nDEFINE QLOCAL(SMALL.Q) MAXDEPTH(1)\n"),
        0);
    MQHOBJ durDest = open(h, "DUR.Q", MQOO_OUTPUT);
    MQHOBJ otherDest = open(h, "OTHER.Q", MQOO_OUTPUT);
    MQHOBJ smallDest = open(h, "SMALL.Q", MQOO_OUTPUT);
    Sub durable = subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE | MQSO_DURABLE, durDest, "ZUNT.DUR");
    ASSERT_RC(durable.rc, MQCC_OK, MQRC_NONE);
    ASSERT_RC(subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE, otherDest).rc, MQCC_OK, MQRC_NONE);

    auto publishPersistent = [&](const std::string &data, MQLONG options) {
        Rc r;
        MQHOBJ t = openTopic(h, "Holva/ZUNT/Alerts", &r);
        MQMD md = MQMD_DEFAULT;
        md.Persistence = MQPER_PERSISTENT;
        r = put(h, t, data, options, &md);
        Rc c;
        MQCLOSE(h, &t, MQCO_NONE, &c.cc, &c.reason);
        return r;
    };
    EXPECT_RC(publishPersistent("first", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    // DUR.Q is full now.
    EXPECT_RC(publishPersistent("second", MQPMO_NO_SYNCPOINT | MQPMO_RETAIN), MQCC_FAILED,
              MQRC_PUBLICATION_FAILURE);
    EXPECT_RC(publishPersistent("third", MQPMO_SYNCPOINT), MQCC_FAILED, MQRC_PUBLICATION_FAILURE);
    Rc r;
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_EQ(depth(qm.name(), "DUR.Q"), 1);
    EXPECT_EQ(depth(qm.name(), "OTHER.Q"), 1);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.RETAINED.PUB.QUEUE"), 0);
    // Not persistent: delivered wherever it can be.
    EXPECT_RC(publish(h, "Holva/ZUNT/Alerts", "fourth"), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "OTHER.Q"), 2);

    // A full non-durable subscriber does not stop a persistent publication.
    MQCLOSE(h, &durable.hsub, MQCO_REMOVE_SUB, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_RC(subscribe(h, "Holva/ZUNT/Alerts", MQSO_CREATE, smallDest).rc, MQCC_OK, MQRC_NONE);
    EXPECT_RC(publishPersistent("fifth", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_RC(publishPersistent("sixth", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "SMALL.Q"), 1);
    EXPECT_EQ(depth(qm.name(), "OTHER.Q"), 4);
}
