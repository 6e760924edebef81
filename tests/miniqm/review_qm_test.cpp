// Faults found in review of the server side of publish/subscribe, retained publications and
// transmission queues: each test shows one of them mended.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

class Review : public QmTest {
protected:
    Rc publish(const std::string &topic, const std::string &data, MQLONG pmoOptions,
               MQLONG persistence = MQPER_NOT_PERSISTENT) {
        return publishPut1(h, topic, data, pmoOptions, persistence);
    }
    // MQSUB to the queue opened as dest (not managed).
    Rc subscribeTo(MQHOBJ dest, const std::string &topic, MQLONG options, MQHOBJ *hsub,
                   const std::string &subName = "") {
        MQSD sd = MQSD_DEFAULT;
        sd.Options = options;
        sd.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
        sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
        if (!subName.empty()) {
            sd.SubName.VSPtr = const_cast<char *>(subName.c_str());
            sd.SubName.VSLength = static_cast<MQLONG>(subName.size());
        }
        Rc r;
        MQSUB(h, &sd, &dest, hsub, &r.cc, &r.reason);
        return r;
    }
};

}  // namespace

// A subscription whose destination is a queue on another queue manager takes its retained
// publications through the transmission queue, as it takes new ones; a local queue that happens
// to have the same name gets nothing.
TEST_F(Review, RetainedPublicationsForARemoteDestinationGoThroughTheXmitq) {
    define("DEFINE QLOCAL(REMOTE.QM) USAGE(XMITQ)\nDEFINE QLOCAL(SAME.NAME)\n");
    ASSERT_RC(publish("Review/Remote/A", "kept", MQPMO_NO_SYNCPOINT | MQPMO_RETAIN), MQCC_OK, MQRC_NONE);

    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "SUBSCRIBER.Q");
    setText(od.ObjectQMgrName, 48, "REMOTE.QM");
    MQHOBJ dest = MQHO_UNUSABLE_HOBJ;
    Rc r;
    MQOPEN(h, &od, MQOO_OUTPUT, &dest, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
    ASSERT_RC(subscribeTo(dest, "Review/Remote/+", MQSO_CREATE, &hsub), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "REMOTE.QM"), 1);

    setText(od.ObjectName, 48, "SAME.NAME");
    MQHOBJ dest2 = MQHO_UNUSABLE_HOBJ;
    MQOPEN(h, &od, MQOO_OUTPUT, &dest2, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQHOBJ hsub2 = MQHO_UNUSABLE_HOBJ;
    ASSERT_RC(subscribeTo(dest2, "Review/Remote/A", MQSO_CREATE, &hsub2), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "REMOTE.QM"), 2);
    EXPECT_EQ(depth(qm.name(), "SAME.NAME"), 0);

    MQHOBJ x = open(h, "REMOTE.QM", MQOO_INPUT_SHARED);
    for (const char *queue : {"SUBSCRIBER.Q", "SAME.NAME"}) {
        std::string data;
        MQMD md = MQMD_DEFAULT;
        ASSERT_RC(get(h, x, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
        EXPECT_EQ(text(md.Format, 8), "MQXMIT");
        ASSERT_GE(data.size(), 104u);
        EXPECT_EQ(text(data.data() + 8, 48), queue);
        EXPECT_EQ(text(data.data() + 56, 48), "REMOTE.QM");
        EXPECT_EQ(data.substr(data.size() - 4), "kept");
    }
}

// Compaction writes a queue's persistent messages in batches; a batch of large messages must
// still be a record the journal can read back, or the next start cuts the journal there and
// loses those messages and everything written after them.
TEST_F(Review, LargePersistentMessagesOutlastARestartAfterCompaction) {
    define(
        "ALTER QMGR MAXMSGL(104857600)\n"
        "DEFINE QLOCAL(BIG.Q) MAXMSGL(104857600) DEFPSIST(YES)\n"
        "DEFINE QLOCAL(ZZZ.AFTER) DEFPSIST(YES)\n");
    MQHOBJ big = open(h, "BIG.Q", MQOO_OUTPUT);
    std::string data(90u * 1024 * 1024, 'x');
    for (char tag : {'1', '2', '3'}) {
        data[0] = tag;
        ASSERT_RC(put(h, big, data), MQCC_OK, MQRC_NONE);
    }
    MQHOBJ after = open(h, "ZZZ.AFTER", MQOO_OUTPUT);
    ASSERT_RC(put(h, after, "after"), MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    h = MQHC_UNUSABLE_HCONN;
    // The stop compacts the journal; the start reads the compacted one back.
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    EXPECT_EQ(depth(qm.name(), "BIG.Q"), 3);
    EXPECT_EQ(depth(qm.name(), "ZZZ.AFTER"), 1);
    h = connect(qm.name());
    MQHOBJ in = open(h, "BIG.Q", MQOO_INPUT_SHARED);
    std::string got;
    for (char tag : {'1', '2', '3'}) {
        ASSERT_RC(get(h, in, &got, MQGMO_NO_SYNCPOINT, nullptr, 100 * 1024 * 1024), MQCC_OK, MQRC_NONE);
        EXPECT_EQ(got.size(), data.size());
        EXPECT_EQ(got[0], tag);
    }
}

// While one connection replaces a topic's retained publication under syncpoint, the old one is
// still the topic's retained publication for everyone else: a subscription made meanwhile
// receives it (it received none at all, so missed the topic's state).
TEST_F(Review, SubscriptionMadeWhileARetainedPublicationIsBeingReplacedGetsTheCommittedOne) {
    ASSERT_RC(publish("Review/State", "v1", MQPMO_NO_SYNCPOINT | MQPMO_RETAIN), MQCC_OK, MQRC_NONE);
    ASSERT_RC(publish("Review/State", "v2", MQPMO_SYNCPOINT | MQPMO_RETAIN), MQCC_OK, MQRC_NONE);

    MQHCONN other = connect(qm.name());
    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_CREATE | MQSO_MANAGED;
    std::string topic = "Review/State";
    sd.ObjectString.VSPtr = topic.data();
    sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    MQHOBJ managed = MQHO_NONE, hsub = MQHO_UNUSABLE_HOBJ;
    Rc r;
    MQSUB(other, &sd, &managed, &hsub, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string data;
    EXPECT_RC(get(other, managed, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "v1");
    EXPECT_RC(get(other, managed, &data), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);

    // Once committed, the new one is the topic's only retained publication.
    MQCMIT(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.RETAINED.PUB.QUEUE"), 1);
    MQDISC(&other, &r.cc, &r.reason);
}

// An MQCLOSE of an Hsub that fails (MQCO_KEEP_SUB on a non-durable subscription) leaves the
// handle as it was: it can still be closed, and then the subscription ends. (The handle was
// dropped while the subscription stayed, publishing to its queue even after the disconnect.)
TEST_F(Review, FailedCloseOfANonDurableSubscriptionLeavesItsHandleToCloseAgain) {
    define("DEFINE QLOCAL(REVIEW.DEST)\n");
    MQHOBJ dest = open(h, "REVIEW.DEST", MQOO_OUTPUT);
    MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
    ASSERT_RC(subscribeTo(dest, "Review/Close", MQSO_CREATE, &hsub), MQCC_OK, MQRC_NONE);
    MQHOBJ kept = hsub;
    Rc r;
    MQCLOSE(h, &kept, MQCO_KEEP_SUB, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    ASSERT_RC(publish("Review/Close", "while open", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "REVIEW.DEST"), 1);
    MQCLOSE(h, &hsub, MQCO_NONE, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &dest, MQCO_NONE, &r.cc, &r.reason);
    MQDISC(&h, &r.cc, &r.reason);
    h = connect(qm.name());
    ASSERT_RC(publish("Review/Close", "after the end", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "REVIEW.DEST"), 1);
}

// An ObjectString longer than MQ_TOPIC_STR_LENGTH fails MQSUB, MQOPEN and MQPUT1 with 2441, as
// IBM MQ documents; topic matching costs the product of the lengths, so none may be unbounded.
TEST_F(Review, TopicStringsLongerThanTheMaximumAreRefusedWith2441) {
    std::string longest(static_cast<size_t>(MQ_TOPIC_STR_LENGTH), 'a');
    std::string tooLong = longest + "a";
    for (const std::string *topic : {&longest, &tooLong}) {
        const MQLONG want = topic == &longest ? MQRC_NONE : MQRC_OBJECT_STRING_ERROR;
        MQSD sd = MQSD_DEFAULT;
        sd.Options = MQSO_CREATE | MQSO_MANAGED;
        sd.ObjectString.VSPtr = const_cast<char *>(topic->c_str());
        sd.ObjectString.VSLength = static_cast<MQLONG>(topic->size());
        MQHOBJ managed = MQHO_NONE, hsub = MQHO_UNUSABLE_HOBJ;
        Rc r;
        MQSUB(h, &sd, &managed, &hsub, &r.cc, &r.reason);
        EXPECT_EQ(r.reason, want);

        MQOD od = MQOD_DEFAULT;
        od.Version = MQOD_VERSION_4;
        od.ObjectType = MQOT_TOPIC;
        od.ObjectString.VSPtr = const_cast<char *>(topic->c_str());
        od.ObjectString.VSLength = static_cast<MQLONG>(topic->size());
        MQHOBJ t = MQHO_UNUSABLE_HOBJ;
        MQOPEN(h, &od, MQOO_OUTPUT, &t, &r.cc, &r.reason);
        EXPECT_EQ(r.reason, want);
        EXPECT_EQ(publish(*topic, "p", MQPMO_NO_SYNCPOINT).reason, want);
    }
}

// A publication put with priority and persistence AS_Q_DEF takes the topic's defaults
// (SYSTEM.BASE.TOPIC: 0, not persistent), as IBM MQ resolves it, whatever the subscriber's queue
// or the transmission queue to it default to; subscription selection strings see those values.
// (Each subscriber queue's defaults applied, and a selection for a queue on another queue manager
// saw the values unresolved or a local queue's of the same name.)
TEST_F(Review, PublicationDefaultsComeFromTheTopicNotTheSubscriberQueues) {
    define(
        "DEFINE QLOCAL(REMOTE.QM) USAGE(XMITQ) DEFPRTY(5) DEFPSIST(YES)\n"
        "DEFINE QLOCAL(SUBSCRIBER.Q) DEFPRTY(7) DEFPSIST(YES)\n");
    std::string topic = "Review/Defaults";
    MQHOBJ local = open(h, "SUBSCRIBER.Q", MQOO_OUTPUT);
    MQHOBJ hsubLocal = MQHO_UNUSABLE_HOBJ;
    ASSERT_RC(subscribeTo(local, topic, MQSO_CREATE, &hsubLocal), MQCC_OK, MQRC_NONE);

    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "SUBSCRIBER.Q");
    setText(od.ObjectQMgrName, 48, "REMOTE.QM");
    MQHOBJ remote = MQHO_UNUSABLE_HOBJ;
    Rc r;
    MQOPEN(h, &od, MQOO_OUTPUT, &remote, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_CREATE;
    std::string selection = "Root.MQMD.Priority = 0 AND Root.MQMD.Persistence = 0";
    sd.ObjectString.VSPtr = topic.data();
    sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    sd.SelectionString.VSPtr = selection.data();
    sd.SelectionString.VSLength = static_cast<MQLONG>(selection.size());
    MQHOBJ hsubRemote = MQHO_UNUSABLE_HOBJ;
    MQSUB(h, &sd, &remote, &hsubRemote, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);

    ASSERT_RC(publish(topic, "defaults", MQPMO_NO_SYNCPOINT, MQPER_PERSISTENCE_AS_Q_DEF), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "REMOTE.QM"), 1);
    MQHOBJ in = open(h, "SUBSCRIBER.Q", MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(get(h, in, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(md.Priority, 0);
    EXPECT_EQ(md.Persistence, MQPER_NOT_PERSISTENT);
}

// Persistent messages put and got outside syncpoint leave the journal growing by every record;
// it is compacted once it is well past what it holds, as after commits (it grew without end
// until the next restart).
TEST_F(Review, JournalOfPutsAndGetsOutsideSyncpointIsCompacted) {
    define("DEFINE QLOCAL(REVIEW.CYCLE) DEFPSIST(YES)\n");
    MQHOBJ o = open(h, "REVIEW.CYCLE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    std::string data(1024 * 1024, 'j');
    for (int i = 0; i < 32; ++i) {
        ASSERT_RC(put(h, o, data), MQCC_OK, MQRC_NONE);
        std::string got;
        ASSERT_RC(get(h, o, &got, MQGMO_NO_SYNCPOINT, nullptr, 2 * 1024 * 1024), MQCC_OK, MQRC_NONE);
    }
    ASSERT_RC(put(h, o, "kept"), MQCC_OK, MQRC_NONE);
    std::error_code ec;
    auto size = std::filesystem::file_size(qm.dir() + "/journal", ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_LT(size, 16u * 1024 * 1024);
    // What it holds is all there after a kill.
    qm.kill9();
    ASSERT_TRUE(qm.start());
    EXPECT_EQ(depth(qm.name(), "REVIEW.CYCLE"), 1);
    h = connect(qm.name());
}

// Compaction is paid for by growth: a journal holding messages whose properties are large (not
// counted in the estimate of what it holds) is not rewritten again on every call.
TEST_F(Review, JournalOfMessagesWithLargePropertiesIsNotRewrittenOnEveryCall) {
    define("DEFINE QLOCAL(REVIEW.PROPS) DEFPSIST(YES)\n");
    MQHOBJ o = open(h, "REVIEW.PROPS", MQOO_OUTPUT);
    MQHMSG hm = createHandle(h);
    std::string blob(1024 * 1024, 'p');
    ASSERT_RC(setProp(h, hm, "Blob", MQTYPE_BYTE_STRING, blob.data(), static_cast<MQLONG>(blob.size())),
              MQCC_OK, MQRC_NONE);
    for (int i = 0; i < 18; ++i) {
        MQMD md = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Version = MQPMO_VERSION_3;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        pmo.OriginalMsgHandle = hm;
        Rc r;
        MQPUT(h, o, &md, &pmo, 1, const_cast<char *>("x"), &r.cc, &r.reason);
        ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    }
    auto inode = [&] {
        struct stat st {};
        EXPECT_EQ(::stat((qm.dir() + "/journal").c_str(), &st), 0);
        return st.st_ino;
    };
    // Each call appends to the journal it finds; a rewrite would replace the file.
    ASSERT_RC(put(h, o, "a"), MQCC_OK, MQRC_NONE);
    for (const char *data : {"b", "c"}) {
        auto before = inode();
        ASSERT_RC(put(h, o, data), MQCC_OK, MQRC_NONE);
        EXPECT_EQ(inode(), before) << data;
    }
    qm.kill9();
    ASSERT_TRUE(qm.start());
    EXPECT_EQ(depth(qm.name(), "REVIEW.PROPS"), 21);
    h = connect(qm.name());
}

// MQSO_ALTER cannot change a subscription's topic or durability: a topic given again must resolve
// to the subscription's own (2510), and a durability other than its own gives 2509. (Another
// topic was taken as success and ignored; durability gave 2436.)
TEST_F(Review, AlterKeepsTheTopicAndDurabilityWithIbmMqReasons) {
    define("DEFINE QLOCAL(REVIEW.ALTER)\n");
    MQHOBJ dest = open(h, "REVIEW.ALTER", MQOO_OUTPUT);
    MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
    ASSERT_RC(subscribeTo(dest, "Review/Alter", MQSO_CREATE | MQSO_DURABLE, &hsub, "REVIEW.ALTER.SUB"),
              MQCC_OK, MQRC_NONE);
    Rc r;
    MQCLOSE(h, &hsub, MQCO_KEEP_SUB, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(subscribeTo(dest, "Review/Other", MQSO_ALTER | MQSO_DURABLE, &hsub, "REVIEW.ALTER.SUB"),
              MQCC_FAILED, MQRC_TOPIC_NOT_ALTERABLE);
    EXPECT_RC(subscribeTo(dest, "Review/Alter", MQSO_ALTER, &hsub, "REVIEW.ALTER.SUB"), MQCC_FAILED,
              MQRC_DURABILITY_NOT_ALTERABLE);
    ASSERT_RC(subscribeTo(dest, "Review/Alter", MQSO_ALTER | MQSO_DURABLE, &hsub, "REVIEW.ALTER.SUB"),
              MQCC_OK, MQRC_NONE);
    ASSERT_RC(publish("Review/Alter", "still here", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "REVIEW.ALTER"), 1);
    MQCLOSE(h, &hsub, MQCO_REMOVE_SUB, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
}
