// The alert list: identifiers, order, matching, replacement, the link of a hook-raised alert to its
// event and the counts, and what goes out on the topic.
#include <string>
#include <vector>

#include "alerts_testing.h"

namespace {

using at::add;
using at::AlertSample;
using at::AlertTest;
using at::engine;
using at::listed;
using at::published;
using at::topic;
using Lines = std::vector<std::string>;

class AlertsTest : public AlertTest {};

TEST_F(AlertsTest, IdentifiersFollowTheHighestListed) {
    EXPECT_EQ(add({}), 1u);
    evAlertFreeAll();
    EXPECT_EQ(add({.id = 5}), 5u);
    EXPECT_EQ(add({.id = 1}), 1u);
    EXPECT_EQ(add({}), 6u);
}

// ERROR first; then WARN newer first; two WARN of the same second in the order added.
TEST_F(AlertsTest, ListIsOrderedBySeverityThenNewerFirstWithEqualOnesAsAdded) {
    const AlertSample error{.severity = EV_SEVERITY_ERROR, .time = 50, .text = "error"};
    const AlertSample old{.time = 100, .text = "old"};
    const AlertSample first{.time = 200, .text = "first"};
    const AlertSample second{.time = 200, .text = "second"};
    const Lines expected{"1:error", "3:first", "4:second", "2:old"};
    for (bool hint : {false, true}) {
        SCOPED_TRACE(hint ? "with the hint" : "by search");
        evAlertFreeAll();
        AlertDef *last = nullptr;
        AlertDef **h = hint ? &last : nullptr;
        add(error, 0, h);
        add(old, 0, h);  // the hint is the tail, but a newer alert cannot go after it
        add(first, 0, h);
        add(second, 0, h);
        EXPECT_EQ(listed(), expected);
    }
    // In the stored order every alert is appended after the hint.
    evAlertFreeAll();
    AlertDef *last = nullptr;
    for (const AlertSample &s : {AlertSample{error.severity, error.time, error.text, "", "", "", 0, 1},
                                 AlertSample{first.severity, first.time, first.text, "", "", "", 0, 3},
                                 AlertSample{second.severity, second.time, second.text, "", "", "", 0, 4},
                                 AlertSample{old.severity, old.time, old.text, "", "", "", 0, 2}})
        add(s, 0, &last);
    EXPECT_EQ(listed(), expected);
}

TEST_F(AlertsTest, FindMatchesPatternsCaseSensitivelyAndMissingValuesOnlyEmptyFields) {
    add({.text = "Queue full", .category = "DISK", .qmgr = "QM1", .object = "Q.A", .objectType = 1});  // 1
    add({.text = "other", .category = "DISK", .qmgr = "QM1"});                                         // 2
    add({.text = "plain"});                                                                            // 3
    struct Case {
        uint32_t flags;
        const char *text, *category, *qmgr, *object;
        int32_t type;
        uint32_t expected;  // 0: none
    };
    const Case cases[] = {
        {0, "Queue*", "DISK", "QM1", "Q.?", 1, 1},
        {0, "queue*", "DISK", "QM1", "Q.?", 1, 0},  // the text is case-sensitive
        {0, "", "D*", "QM1", "Q.A", 1, 1},          // an empty text matches every text
        {0, "", "DISK", "qm1", "Q.A", 1, 0},        // so are the names
        {0, "", "DISK", "QM1", nullptr, 0, 2},      // no object: only an empty one, of type 0
        {0, "", "DISK", "QM1", "Q.A", 0, 0},        // type 0 matches only 0
        {0, "*", nullptr, nullptr, nullptr, 0, 3},  // no category, queue manager or object
        {0, "nope", "DISK", "QM1", nullptr, 0, 0},
        {EV_ALERT_ANY_TEXT, "nope", "DISK", "QM1", nullptr, 0, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + "/" + (c.category ? c.category : "-"));
        AlertDef *a = evAlertFind(c.flags, c.text, -1, c.category, c.category ? -1 : 0, c.qmgr,
                                  c.qmgr ? -1 : 0, c.object, c.object ? -1 : 0, c.type);
        EXPECT_EQ(a ? a->id : 0u, c.expected);
    }
    evAlertList->inExpiry = 1;  // alert 1, first in the list: skipped while its hook runs
    EXPECT_EQ(evAlertFind(0, "", 0, "DISK", -1, "QM1", -1, "Q.A", -1, 1), nullptr);
    evAlertList->inExpiry = 0;
}

TEST_F(AlertsTest, ReplacingKeepsTheIdentifierAndPublishesTheRemovalFirst) {
    add({.text = "other"});
    const AlertSample high{.severity = EV_SEVERITY_SEVERE,
                           .text = "Data Queue is 'high' at 90 of 100 messages.",
                           .category = "$DATAQHI",
                           .qmgr = "QM1",
                           .object = "HOLVA.ZUNT.DATA.QUEUE",
                           .objectType = 1};
    const uint32_t id = add(high);
    AlertSample again = high;
    again.text = "Data Queue is 'high' at 95 of 100 messages.";
    at::committed();
    topic() = at::Topic{};
    ct::changeLines().clear();
    EXPECT_EQ(add(again, EV_ALERT_REPLACE | EV_ALERT_PUBLISH | EV_ALERT_ANY_TEXT), id);
    EXPECT_EQ(published(), (Lines{"9014 #2", "9021 #2"}));
    ASSERT_EQ(ct::changeLines().size(), 2u);
    EXPECT_EQ(ct::changeLines()[0].rfind("REMOVE EVALERT(2) TEXT('Data Queue is ''high'' at 90", 0), 0u);
    EXPECT_EQ(ct::changeLines()[1].rfind("ADD EVALERT(2) TEXT('Data Queue is ''high'' at 95", 0), 0u);
    EXPECT_EQ(listed(), (Lines{"2:Data Queue is 'high' at 95 of 100 messages.", "1:other"}));
    EXPECT_EQ(evAlertCount.load(), 2u);
    EXPECT_EQ(at::expiryItems(), 2u);  // the replaced alert's item went with it
}

TEST_F(AlertsTest, AddOnlyIfNoneAddsNothingWhenOneMatches) {
    const AlertSample emit{
        .severity = EV_SEVERITY_ERROR, .text = "MQOPEN failed", .category = "$EMIT", .qmgr = "QM1"};
    add(emit, EV_ALERT_IF_NONE | EV_ALERT_PUBLISH);
    evAlertsChanged = 0;
    ct::changeLines().clear();
    EXPECT_EQ(add(emit, EV_ALERT_IF_NONE | EV_ALERT_PUBLISH), 0u);
    EXPECT_EQ(listed().size(), 1u);
    EXPECT_EQ(published().size(), 1u);
    EXPECT_TRUE(ct::changeLines().empty());
    EXPECT_EQ(evAlertsChanged.load(), 0);
    EXPECT_EQ(at::expiryItems(), 1u);
}

// Fault 5: an alert raised by an event hook is counted only once it is linked; one never linked
// leaves ALERTCT alone when it goes.
TEST_F(AlertsTest, AHookRaisedAlertIsCountedAndPublishedOnlyWhenLinked) {
    char text[EV_CONFIG_TEXT];
    QmgrEntry *qm1 = evQmgrFindOrAdd("QM1", 0, text);
    ASSERT_NE(qm1, nullptr);
    StreamDef *stream = evStreamDefine("APP", -1, STREAM_TYPE_EVENTS, 0, 0);
    ASSERT_NE(stream, nullptr);
    cslEventFunctionFlag = 1;
    for (uint32_t sequence : {41u, 42u}) {
        AlertTemplate t = at::make({.severity = EV_SEVERITY_ERROR, .text = "from hook"});
        t.alert.raisingEvent = sequence;
        ASSERT_EQ(evAlertAdd(&t.alert, EV_ALERT_PUBLISH, nullptr, text), 1);
    }
    cslEventFunctionFlag = 0;
    EXPECT_EQ(evAlertCount.load(), 0u);
    EXPECT_EQ(evAlertsChanged.load(), 0);
    EXPECT_TRUE(published().empty());

    evAlertLinkRaised(42, qm1, stream->streamId, 7);
    EXPECT_EQ(evAlertCount.load(), 1u);
    EXPECT_EQ(qm1->alertCount, 1u);
    EXPECT_EQ(evAlertsChanged.load(), 1);
    ASSERT_EQ(published(), (Lines{"9021 #2"}));
    EXPECT_EQ(at::dumpPcf(topic().puts[0].bytes),
              (Lines{"39373 2", "39374 'from hook'", "39375 30", "39379 1209600", "39377 L1767225600",
                     "39376 'QM1'", "39330 7", "39301 'APP'"}));
    evAlertLinkRaised(42, qm1, stream->streamId, 8);  // linked already
    EXPECT_EQ(published().size(), 1u);

    // The unlinked one goes without a count to give back; the linked one gives back both.
    EXPECT_EQ(evAlertRemoveMatching("", 0, nullptr, 0, nullptr, 0, nullptr, 0, 0), 1);
    EXPECT_EQ(evAlertRemoveMatching("*", -1, nullptr, 0, "QM1", -1, nullptr, 0, 0), 1);
    EXPECT_EQ(evAlertCount.load(), 0u);
    EXPECT_EQ(qm1->alertCount, 0u);
    EXPECT_EQ(published(), (Lines{"9021 #2", "9014 #1", "9014 #2"}));
}

TEST_F(AlertsTest, RemovalChecksMembershipBeforeReadingAndSparesAnAlertInExpiry) {
    AlertDef *alert = nullptr;
    add({}, 0, &alert);
    alert->inExpiry = 1;
    EXPECT_EQ(evAlertRemove(alert, 1, 1), 0);
    alert->inExpiry = 0;
    EXPECT_EQ(evAlertRemove(alert, 1, 1), 1);
    EXPECT_EQ(evAlertRemove(alert, 1, 1), 0);  // freed: only its address is compared
    EXPECT_EQ(at::expiryItems(), 0u);
    EXPECT_EQ(evAlertCount.load(), 0u);
}

// ---- Publication ----

class PublishTest : public AlertTest {
protected:
    std::vector<uint8_t> publishOne(const AlertSample &s, uint32_t streamId = 0) {
        AlertTemplate t = at::make(s);
        t.alert.streamId = streamId;
        topic().puts.clear();
        evAlertPublish(EV_ALERT_PUB_ADDED, &t.alert);
        at::committed();
        return topic().puts.empty() ? std::vector<uint8_t>{} : topic().puts.back().bytes;
    }
};

TEST_F(PublishTest, BytesOfAPublicationAreExact) {
    StreamDef *stream = evStreamDefine("S1", -1, STREAM_TYPE_EVENTS, 0, 9);
    ASSERT_NE(stream, nullptr);
    AlertTemplate t = at::make({.severity = EV_SEVERITY_ERROR,
                                .time = 0x1122334455,
                                .text = "abcde",
                                .category = "CAT",
                                .qmgr = "QM",
                                .object = "OBJ",
                                .objectType = 1,
                                .id = 3,
                                .retention = 60});
    t.alert.eventId = 4;
    t.alert.streamId = 9;
    ASSERT_EQ(evAlertPublish(EV_ALERT_PUB_ADDED, &t.alert), 1);
    EXPECT_TRUE(topic().puts.empty()) << "held until the alerts are committed";
    at::committed();
    ASSERT_EQ(topic().puts.size(), 1u);
    const at::Publication &p = topic().puts[0];
    EXPECT_EQ(p.property, "Severity=30");
    EXPECT_EQ(p.pmoVersion, MQPMO_VERSION_3);
    const std::vector<uint8_t> expected = zt::fromHex(
        "01000000 24000000 03000000 3d230000 01000000 01000000 00000000 00000000"
        "0a000000"                                                        // MQCFH, 10 parameters
        "03000000 10000000 cd990000 03000000"                             // EVALERT 3
        "04000000 1c000000 ce990000 00000000 05000000 61626364 65000000"  // TEXT
        "03000000 10000000 cf990000 1e000000"                             // SEVERITY 30
        "04000000 18000000 98990000 00000000 03000000 43415400"           // CATEGORY
        "03000000 10000000 d3990000 3c000000"                             // RETINTVL 60
        "17000000 18000000 d1990000 00000000 55443322 11000000"           // ALERTTI
        "04000000 18000000 d0990000 00000000 02000000 514d0000"           // EVQMGR
        "04000000 18000000 94990000 00000000 03000000 4f424a00"           // EVOBJNAME
        "03000000 10000000 a2990000 04000000"                             // EVENTID 4
        "04000000 18000000 85990000 00000000 02000000 53310000");         // EVSTREAM
    EXPECT_TRUE(zt::bytesEqual(expected.data(), expected.size(), p.bytes.data(), p.bytes.size()));
}

TEST_F(PublishTest, OptionalMembersAppearOnlyWhenTheyCarrySomething) {
    auto has = [](const std::vector<uint8_t> &m, const char *prefix) {
        for (const std::string &line : at::dumpPcf(m))
            if (line.rfind(prefix, 0) == 0) return true;
        return false;
    };
    auto version = [](const std::vector<uint8_t> &m) {
        return mqiGetI32(m.data(), offsetof(MQCFH, Version));
    };
    ASSERT_NE(evStreamDefine("S1", -1, STREAM_TYPE_EVENTS, 0, 9), nullptr);

    std::vector<uint8_t> m = publishOne({.time = 0});
    EXPECT_FALSE(has(m, "39377"));
    EXPECT_EQ(version(m), 1);
    EXPECT_FALSE(has(m, "39320") || has(m, "39376") || has(m, "39316") || has(m, "39330"));
    m = publishOne({.time = INT64_MIN});
    EXPECT_FALSE(has(m, "39377"));
    m = publishOne({.time = INT64_MIN + 2});
    EXPECT_TRUE(has(m, "39377 L-3"));
    EXPECT_EQ(version(m), 3);
    EXPECT_TRUE(has(publishOne({}, 9), "39301 'S1'"));
    EXPECT_FALSE(has(publishOne({}, 8), "39301"));  // no definition has the id
    EXPECT_TRUE(publishOne({.severity = EV_SEVERITY_INFO}).empty());
}

TEST_F(PublishTest, InfoIsNeverPublishedAndNothingGoesOutWhileDisconnected) {
    add({.severity = EV_SEVERITY_INFO, .text = "info"});
    EXPECT_EQ(evAlertRemoveMatching("info", -1, nullptr, 0, nullptr, 0, nullptr, 0, 0), 1);
    EXPECT_TRUE(topic().puts.empty());
    target_.hconn = -1;
    add({.text = "while down"});
    EXPECT_TRUE(topic().puts.empty());
    EXPECT_EQ(listed().size(), 1u);
    EXPECT_EQ(engine().calls, Lines{});  // nothing suspended either
}

// Set C busy at the commit (its callback waits for the caller's): the alert is kept and saved, its
// publication waits and goes out in order once set C is free, at the next tick or before the next
// publication.
TEST_F(PublishTest, ABusySuspensionKeepsThePublicationUntilSetCIsFree) {
    engine().suspendResult[EV_SET_C] = EV_SUSPEND_BUSY;
    add({.text = "busy"});
    add({.text = "busier"});
    at::committed();
    EXPECT_TRUE(topic().puts.empty());
    EXPECT_EQ(listed(), (Lines{"1:busy", "2:busier"}));
    EXPECT_EQ(evAlertsChanged.load(), 1);                          // saved all the same
    EXPECT_EQ(engine().calls, (Lines{"suspend C", "suspend C"}));  // and no resume for a hold never given
    evTimedItemRun();
    EXPECT_TRUE(topic().puts.empty()) << "still busy";

    engine() = at::Engine{};
    evTimedItemRun();
    EXPECT_EQ(published(), (Lines{"9021 #1", "9021 #2"}));
    EXPECT_EQ(engine().calls, (Lines{"suspend C", "resume C"}));

    engine().suspendResult[EV_SET_C] = EV_SUSPEND_BUSY;
    add({.text = "third"});
    at::committed();
    engine() = at::Engine{};
    add({.text = "held"});
    EXPECT_EQ(published(), (Lines{"9021 #1", "9021 #2", "9021 #3", "9021 #4"}));
    evTimedItemRun();
    EXPECT_EQ(topic().puts.size(), 4u) << "nothing waits";
}

// Fault 2: the handle of the topic belongs to the connection it was opened on.
TEST_F(PublishTest, TheTopicIsOpenedOncePerConnection) {
    add({.text = "a"});
    add({.text = "b"});
    at::committed();
    EXPECT_EQ(topic().opens, 1);
    target_.connectCount = target_.connectCount + 1;  // a reconnect, perhaps with the same connection handle
    add({.text = "c"});
    at::committed();
    EXPECT_EQ(topic().opens, 2);
    ASSERT_EQ(topic().puts.size(), 3u);
    EXPECT_EQ(topic().puts[1].hobj, 101);
    EXPECT_EQ(topic().puts[2].hobj, 102);
}

TEST_F(PublishTest, AFailedOpenIsReportedAndTriedAgainNextTime) {
    std::vector<std::string> errors;
    static std::vector<std::string> *sink;
    sink = &errors;
    evStreamGetHooks()->reportMQError = [](EvStreamIo *, const char *text, int32_t) {
        sink->push_back(text);
    };
    topic().openReason = MQRC_NOT_AUTHORIZED;
    add({.text = "a"});
    at::committed();
    EXPECT_EQ(errors, Lines{"MQOPEN(Holva/ZUNT/Alerts) failed RC(2035) MQRC_NOT_AUTHORIZED"});
    topic().openReason = 0;
    add({.text = "b"});
    EXPECT_EQ(published(), Lines{"9021 #2"});
    evStreamGetHooks()->reportMQError = nullptr;
}

}  // namespace
