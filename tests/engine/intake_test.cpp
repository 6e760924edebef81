// The units of work, the seen list and the intake of set E over a recording MQI table and the
// in-memory data queue: no queue manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "testing/console_capture.h"
#include "testing/testing.h"
#include "tests/streams/fakedq.h"

namespace {

constexpr MQHCONN kEvent = 11, kState = 12;
constexpr MQHOBJ kDataQueue = 5, kDlq = 77;

struct Call {
    std::string verb;
    MQHCONN hconn;
    MQHOBJ hobj;
    std::vector<uint8_t> data;
    MQLONG options;
    MQLONG persistence;
};
std::vector<Call> calls;
MQLONG failPutReason = 0;     // a put to any queue but the data queue fails with this reason
MQHCONN failCommitHconn = 0;  // MQCMIT on this connection fails with 2003

void record(const char *verb, MQHCONN hconn, MQHOBJ hobj = 0, const void *data = nullptr, MQLONG length = 0,
            MQLONG options = 0) {
    Call call{verb, hconn, hobj, {}, options, -1};
    if (data && length > 0)
        call.data.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + length);
    calls.push_back(call);
}

extern "C" void recordingPut(MQHCONN h, MQHOBJ o, PMQVOID md, PMQVOID pmo, MQLONG length, PMQVOID buffer,
                             PMQLONG cc, PMQLONG rc) {
    record("MQPUT", h, o, buffer, length, static_cast<MQPMO *>(pmo)->Options);
    calls.back().persistence = static_cast<MQMD *>(md)->Persistence;
    if (o == kDataQueue) return fdq::fakePut(h, o, md, pmo, length, buffer, cc, rc);
    *cc = failPutReason ? MQCC_FAILED : MQCC_OK;
    *rc = failPutReason;
}
extern "C" void recordingGet(MQHCONN h, MQHOBJ o, PMQVOID md, PMQVOID gmo, MQLONG length, PMQVOID buffer,
                             PMQLONG dataLength, PMQLONG cc, PMQLONG rc) {
    record("MQGET", h, o);
    fdq::fakeGet(h, o, md, gmo, length, buffer, dataLength, cc, rc);
}
extern "C" void recordingOpen(MQHCONN h, PMQVOID, MQLONG, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    record("MQOPEN", h);
    *hobj = kDlq;
    *cc = MQCC_OK;
    *rc = 0;
}
extern "C" void recordingCommit(MQHCONN h, PMQLONG cc, PMQLONG rc) {
    record("MQCMIT", h);
    *cc = h == failCommitHconn ? MQCC_FAILED : MQCC_OK;
    *rc = h == failCommitHconn ? MQRC_BACKED_OUT : 0;
}
extern "C" void recordingBack(MQHCONN h, PMQLONG cc, PMQLONG rc) {
    record("MQBACK", h);
    *cc = MQCC_OK;
    *rc = 0;
}

// What the end of a connection and a rollback's report ask of the queue manager: not recorded. The
// data queue's inquiry is, and finds a fit queue with room.
extern "C" void quietInq(MQHCONN h, MQHOBJ o, MQLONG, PMQLONG, MQLONG intCount, PMQLONG ints, MQLONG, PMQCHAR,
                         PMQLONG cc, PMQLONG rc) {
    if (o == kDataQueue) {
        record("MQINQ", h, o);
        for (MQLONG i = 0; i < intCount; i++) ints[i] = 0;
        if (intCount >= 2) {
            ints[0] = 5000;     // MAXDEPTH
            ints[1] = 4194304;  // MAXMSGL
        }
    }
    *cc = MQCC_OK;
    *rc = 0;
}
extern "C" void quietClose(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    *hobj = MQHO_UNUSABLE_HOBJ;
    *cc = MQCC_OK;
    *rc = 0;
}
extern "C" void quietCtl(MQHCONN, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_OK;
    *rc = 0;
}

MQIFunctionTable fakeTable() {
    MQIFunctionTable t{};
    t.MQPUT = recordingPut;
    t.MQGET = recordingGet;
    t.MQOPEN = recordingOpen;
    t.MQCMIT = recordingCommit;
    t.MQBACK = recordingBack;
    t.MQINQ = quietInq;
    t.MQCLOSE = quietClose;
    t.MQCTL = quietCtl;
    return t;
}
MQIFunctionTable table = fakeTable();

// The suspension calls the hold makes, in order ("S1" suspend of set E, "R1" its resume).
std::vector<std::string> holds;
int32_t suspendResult = EV_SUSPEND_HELD;
int32_t fakeSuspend(int32_t set) {
    holds.push_back(set == EV_SET_E ? "S1" : "S0");
    // Set E's callback runs while the hold waits for it, and marks itself the current set.
    if (set == EV_SET_E) evContext.current = &evContext.sets[EV_SET_E];
    return suspendResult;
}
void fakeResume(int32_t set) {
    holds.push_back(set == EV_SET_E ? "R1" : "R0");
}

std::vector<std::string> verbs(MQHCONN hconn = 0) {
    std::vector<std::string> out;
    for (const Call &c : calls)
        if (hconn == 0 || c.hconn == hconn) out.push_back(c.verb);
    return out;
}

const Call *lastPutTo(MQHOBJ hobj) {
    const Call *found = nullptr;
    for (const Call &c : calls)
        if (c.verb == "MQPUT" && c.hobj == hobj) found = &c;
    return found;
}

MQMD message(const char *format, const char *id, MQLONG backoutCount = 0) {
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.Format, format, 8);
    std::memcpy(md.MsgId, id, std::strlen(id));
    std::memcpy(md.PutDate, "20260101", 8);
    std::memcpy(md.PutTime, "10000000", 8);
    md.BackoutCount = backoutCount;
    return md;
}

class IntakeTest : public ::testing::Test {
protected:
    IntakeTest() : tz_("UTC0"), clock_(1767225600) {}
    void SetUp() override {
        reset();
        evSettingsDefaults(1767225600);
    }
    void TearDown() override { reset(); }
    void reset() {
        calls.clear();
        failPutReason = 0;
        failCommitHconn = 0;
        holds.clear();
        suspendResult = EV_SUSPEND_HELD;
        cfgEngine.suspend = nullptr;
        cfgEngine.resume = nullptr;
        evServices.callRecordHook = nullptr;
        fdq::reset();
        cfgFreeModel(1);
        evStreamDefFreeAll();
        evStringsFree(1);
        evStreamSetHooks(nullptr);
        for (EvUnitState &unit : evUnits) {
            evFreeSeenList(&unit.seen);
            unit = EvUnitState{};
        }
        evConfigChanged.store(0);
        evAlertsChanged.store(0);
        evContext.restartMark.store(0);
        evRunState.disconnecting.store(0);
        evDataQueue.lastInquiry.store(1767225600);  // set E's data-queue check is not due
        evDebug.dataQueueCheck.store(0);
        evAlertFreeAll();
        for (int which : {EV_SET_C, EV_SET_E}) {
            ConnectionSet *set = &evContext.sets[which];
            set->id = which;
            evContext.event.mq = &table;
            evContext.state.mq = &table;
            evConnHandles[set->eventSlot].store(kEvent + which * 100);
            evConnHandles[set->stateSlot].store(kEvent + which * 100);
            set->io = EvStreamIo{&table, kEvent + which * 100, kDataQueue, 0, 10, 0};
            std::strcpy(evContext.event.name, "QM1");
            std::strcpy(evContext.state.name, "QM1");
        }
        for (ConnectionSet &set : evContext.sets) {
            set.deadQueueHandle.store(-1);
            set.deadQueueName[0] = 0;
        }
        std::strcpy(evContext.event.deadQueue, "DLQ");
    }
    // -s: the state side on its own connection.
    static void separateState(ConnectionSet *set) {
        set->io.hconn = kState + set->id * 100;
        evConnHandles[set->stateSlot].store(set->io.hconn);
        std::strcpy(evContext.state.name, "QS");
    }
    EventQueueDef *addQueue(const char *name) {
        EventQueueDef probe{};
        std::strcpy(probe.name, name);
        probe.status = EV_EVQ_ACTIVE;
        probe.backoutThreshold = 3;
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT];
        EventQueueDef *queue = evEventQueueFindOrAdd(&probe, &reason, text);
        queue->backoutHandle = -1;
        evConfigChanged.store(0);
        return queue;
    }
    static MQCBC removed(EventQueueDef *queue, MQLONG length, MQLONG compCode = MQCC_OK, MQLONG reason = 0) {
        MQCBC cbc{};
        cbc.CallType = MQCBCT_MSG_REMOVED;
        cbc.CallbackArea = queue;
        cbc.CompCode = compCode;
        cbc.Reason = reason;
        cbc.DataLength = length;
        return cbc;
    }
    static void queueEmpty(EventQueueDef *queue) {
        MQCBC cbc{};
        cbc.CallType = MQCBCT_EVENT_CALL;
        cbc.CallbackArea = queue;
        cbc.CompCode = MQCC_FAILED;
        cbc.Reason = MQRC_NO_MSG_AVAILABLE;
        evMessageConsumer(0, nullptr, nullptr, nullptr, &cbc);
    }

    zt::ScopedTZ tz_;
    zt::TestClock clock_;
};

// ---- Seen list ----

TEST_F(IntakeTest, SeenListMessageHoldsOneEntryIn156Bytes) {
    EvSeenList list{};
    MQMD md = message(MQFMT_EVENT, "ABC");
    int32_t seen = 1;
    ASSERT_TRUE(evMarkSeen(&list, &md, 1767225600, &seen));
    EXPECT_EQ(seen, 0);
    int32_t length = 0;
    uint8_t *bytes = evBuildSeenList(&list, &length);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(length, 156);
    EXPECT_EQ(mqiGetI32(bytes, 12), 100002);
    EXPECT_EQ(mqiGetI32(bytes, 32), 4);
    EXPECT_EQ(mqiGetI32(bytes, 36 + 8), 7013);
    EXPECT_EQ(mqiGetI64(bytes, 156 - 8), 1767225600);

    EvSeenList loaded{};
    ASSERT_TRUE(evLoadSeenList(&loaded, bytes, length));
    ASSERT_EQ(loaded.used, 1u);
    EXPECT_EQ(std::memcmp(loaded.entries[0].msgId, md.MsgId, 24), 0);
    EXPECT_EQ(loaded.entries[0].seenTime, 1767225600);
    ASSERT_TRUE(evMarkSeen(&loaded, &md, 1767225600, &seen));
    EXPECT_EQ(seen, 1);

    // Items before the first MsgId are skipped; a MsgId not of 24 bytes refuses the message, and so
    // do structures the ParameterCount does not account for, or bytes left after them.
    std::vector<uint8_t> lead(bytes, bytes + 36);
    std::vector<uint8_t> stray(bytes + 36 + 40, bytes + 36 + 40 + 28);  // a PutDate before any MsgId
    lead.insert(lead.end(), stray.begin(), stray.end());
    lead.insert(lead.end(), bytes + 36, bytes + length);
    EXPECT_FALSE(evLoadSeenList(&loaded, lead.data(), static_cast<int32_t>(lead.size())));
    mqiPutI32(lead.data(), 32, 5);
    ASSERT_TRUE(evLoadSeenList(&loaded, lead.data(), static_cast<int32_t>(lead.size())));
    EXPECT_EQ(loaded.used, 1u);
    lead.push_back(0);
    EXPECT_FALSE(evLoadSeenList(&loaded, lead.data(), static_cast<int32_t>(lead.size())));
    mqiPutI32(bytes, 36 + 12, 23);
    EXPECT_FALSE(evLoadSeenList(&loaded, bytes, length));
    EXPECT_EQ(loaded.used, 0u);
    ASSERT_TRUE(evLoadSeenList(&loaded, bytes, 35));
    EXPECT_EQ(loaded.used, 0u);
    CSFreeMem(bytes);
    evFreeSeenList(&list);
    evFreeSeenList(&loaded);
}

TEST_F(IntakeTest, SeenListPruneAndBackoutKeepWhatComesBack) {
    struct Case {
        const char *name;
        int action;  // 0 prune committed, 1 prune not committed, 2 backout
        size_t kept;
    };
    const Case cases[] = {{"committed drops the unit's entries and the day-old", 0, 1},
                          {"failed event commit keeps the unit's entries", 1, 3},
                          {"backout drops only the entries it added", 2, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EvSeenList list{};
        int32_t seen = 0;
        MQMD old = message(MQFMT_EVENT, "OLD"), kept = message(MQFMT_EVENT, "KEPT");
        MQMD matched = message(MQFMT_EVENT, "MATCHED"), added = message(MQFMT_EVENT, "ADDED");
        ASSERT_TRUE(evMarkSeen(&list, &old, 1767225600 - 90000, &seen));
        ASSERT_TRUE(evMarkSeen(&list, &kept, 1767225600, &seen));
        ASSERT_TRUE(evMarkSeen(&list, &matched, 1767225600, &seen));
        evPruneSeenList(&list, 0, 1767225600 - 90000);  // a commit that failed: marks cleared
        ASSERT_EQ(list.used, 3u);
        ASSERT_TRUE(evMarkSeen(&list, &matched, 1767225600, &seen));
        ASSERT_EQ(seen, 1);
        ASSERT_TRUE(evMarkSeen(&list, &added, 1767225600, &seen));
        if (c.action == 2)
            evSeenListBackedOut(&list);
        else
            evPruneSeenList(&list, c.action == 0, 1767225600);
        EXPECT_EQ(list.used, c.kept);
        if (c.action == 2) {
            ASSERT_TRUE(evMarkSeen(&list, &added, 1767225600, &seen));
            EXPECT_EQ(seen, 0) << "a backed-out message must be taken again";
        }
        evFreeSeenList(&list);
    }
}

// ---- Pure texts and values ----

TEST_F(IntakeTest, DeadLetterHeaderAndImplicitText) {
    MQMD md = message(MQFMT_STRING, "X");
    std::memcpy(md.PutApplName, "app", 3);
    uint8_t dlh[EV_DLH_LENGTH];
    evBuildDLH(dlh, &md, EV_FEEDBACK_NOT_EVENT, "", "QM1");
    EXPECT_EQ(std::memcmp(dlh, "DLH ", 4), 0);
    EXPECT_EQ(mqiGetI32(dlh, 4), 1);
    EXPECT_EQ(mqiGetI32(dlh, 8), 200000);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dlh + 12), 48), std::string(48, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dlh + 60), 4), "QM1 ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dlh + 116), 8), "MQSTR   ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dlh + 156), 16), "2026010110000000");

    char text[400];
    for (size_t length : {240u, 245u, 246u}) {
        std::string list(length, 'a');
        evImplicitText(text, sizeof text, list.c_str(), list.size());
        std::string expected = "Putting to multiple implicit display streams - '" + std::string(240, 'a') +
                               (length >= 246 ? "..." : "") + "'";
        EXPECT_EQ(text, expected) << length;
    }
}

TEST_F(IntakeTest, StormCountsAndSeverities) {
    struct Case {
        int32_t count, threshold, excess, severity;
    };
    const Case cases[] = {{25, 10, 15, 20},
                          {10 + 101, 10, 101, 30},
                          {10 + 1001, 10, 1001, 40},
                          {2000, 10, 1990, 40},
                          {10, 10, 0, 20}};
    for (const Case &c : cases) {
        EXPECT_EQ(evStormExcess(c.count, c.threshold), c.excess) << c.count;
        EXPECT_EQ(evStormSeverity(c.excess, c.threshold), c.severity) << c.count;
    }
    evEventSequence.store(0xFFFFFFFF);
    EXPECT_EQ(evNextEventSequence(), 1u);
}

// ---- Units of work ----

TEST_F(IntakeTest, SetCSavesChangedAlertsWithoutACommand) {
    AlertTemplate alert{};
    std::strcpy(alert.alert.category, "$STORM");
    alert.alert.severity = EV_SEVERITY_WARN;
    evAlertSetText(&alert.alert, "storm", -1);
    char text[EV_CONFIG_TEXT];
    ASSERT_TRUE(evAlertAdd(&alert.alert, EV_ALERT_ADD, nullptr, text));
    ASSERT_EQ(evAlertsChanged.load(), 1);
    ASSERT_TRUE(evSyncPoint(&evContext, &evContext.sets[EV_SET_C]));
    uint8_t correl[24] = {EV_DQ_KIND_ALERTS};
    EXPECT_EQ(fdq::count(correl), 1u);
    // No alert message was loaded: there is none to remove before the put.
    EXPECT_EQ(verbs(kEvent), (std::vector<std::string>{"MQPUT", "MQCMIT"}));
}

TEST_F(IntakeTest, BackoutUnderSeparateStateBacksOutBothAndEndsAMarkedUnit) {
    ConnectionSet *set = &evContext.sets[EV_SET_E];
    separateState(set);
    MQMD md = message(MQFMT_EVENT, "M1");
    int32_t seen = 0;
    ASSERT_TRUE(evMarkSeen(&evUnits[EV_SET_E].seen, &md, 1767225600, &seen));
    evUnits[EV_SET_E].inFlight = 1;
    evUnits[EV_SET_E].marked = 1;
    EXPECT_TRUE(evBackout(&evContext, set, nullptr));
    EXPECT_EQ(verbs(), (std::vector<std::string>{"MQBACK", "MQBACK"}));
    EXPECT_EQ(calls[0].hconn, set->io.hconn);
    EXPECT_EQ(calls[1].hconn, evEventHconn(set));
    EXPECT_EQ(evContext.restartMark.load(), 1) << "a marked unit reloads memory";
    EXPECT_EQ(evUnits[EV_SET_E].seen.used, 0u) << "the redelivery must not be dropped as seen";
}

TEST_F(IntakeTest, SeparateStateCommitsSeenListThenStateThenEvent) {
    ConnectionSet *set = &evContext.sets[EV_SET_E];
    separateState(set);
    EventQueueDef *queue = addQueue("Q.EVENTS");
    queue->queueEmpty = 1;
    MQMD md = message(MQFMT_STRING, "M1");
    uint8_t data[4] = {1, 2, 3, 4};
    evSettings.useDlq.store(EV_USEDLQ_NO);
    MQCBC cbc = removed(queue, 4);
    evMessageConsumer(0, &md, nullptr, data, &cbc);
    queueEmpty(queue);
    // No list was stored: nothing is taken away before the put.
    std::vector<std::string> expected{"MQPUT", "MQCMIT"};
    EXPECT_EQ(verbs(set->io.hconn), expected);
    EXPECT_EQ(verbs(evEventHconn(set)), std::vector<std::string>{"MQCMIT"});
    EXPECT_EQ(calls.back().hconn, evEventHconn(set)) << "the state side commits first";
    uint8_t correl[24] = {EV_DQ_KIND_SEEN_E};
    EXPECT_EQ(fdq::count(correl), 1u);
    EXPECT_EQ(evUnits[EV_SET_E].seen.used, 0u) << "committed entries leave";
}

TEST_F(IntakeTest, FailedEventCommitAfterStateLeavesTheSeenListToDropRedeliveries) {
    ConnectionSet *set = &evContext.sets[EV_SET_E];
    separateState(set);
    EventQueueDef *queue = addQueue("Q.EVENTS");
    evSettings.useDlq.store(EV_USEDLQ_NO);
    failCommitHconn = evEventHconn(set);
    MQMD md = message(MQFMT_STRING, "M1");
    uint8_t data[4] = {};
    MQCBC cbc = removed(queue, 4);
    evMessageConsumer(0, &md, nullptr, data, &cbc);
    queueEmpty(queue);
    EXPECT_EQ(verbs(set->io.hconn).back(), "MQCMIT") << "the state side committed the seen list";
    EXPECT_EQ(evContext.restartMark.load(), 1) << "a failed commit ends the connection";
    // A reload of memory (the reconnect's, or one in place with the connections kept) loads the
    // committed seen list; the redelivery (the event side's unit came back) is dropped as seen, and
    // nothing else happens.
    failCommitHconn = 0;
    evContext.restartMark.store(0);
    ASSERT_TRUE(evReloadStoredState(&evContext, 0));
    ASSERT_EQ(evUnits[EV_SET_E].seen.used, 1u);
    calls.clear();
    md = message(MQFMT_STRING, "M1", 1);
    evMessageConsumer(0, &md, nullptr, data, &cbc);
    EXPECT_EQ(lastPutTo(kDlq), nullptr);
    EXPECT_EQ(verbs(evEventHconn(set)), std::vector<std::string>{"MQCMIT"});
    EXPECT_EQ(evUnits[EV_SET_E].seen.used, 0u) << "its entry leaves with the commit";
}

TEST_F(IntakeTest, WaitingBeforeHalfKeepsTheBatchOpenUpTo60Seconds) {
    EventQueueDef *queue = addQueue("Q.EVENTS");
    queue->queueEmpty = 1;
    queue->beforeWaitingSince = 1767225600 - 30;
    evUnits[EV_SET_E].inFlight = 1;
    // An 'after' half that came first waits as a 'before' does, and is dropped when the wait ends.
    const uint8_t after[32] = {};
    ASSERT_TRUE(evAfterPoolAdd("QM1", after, sizeof after));
    ASSERT_TRUE(evSyncPoint(&evContext, &evContext.sets[EV_SET_E]));
    EXPECT_TRUE(verbs(evEventHconn(&evContext.sets[EV_SET_E])).empty())
        << "30 s: the 'after' half may still come";
    clock_.set(1767225600 + 31);
    ASSERT_TRUE(evSyncPoint(&evContext, &evContext.sets[EV_SET_E]));
    EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_E])), std::vector<std::string>{"MQCMIT"});
    EXPECT_EQ(queue->beforeWaitingSince, 0);
    EXPECT_EQ(evPairPoolWaiting(), 0) << "the lone 'after' went with the commit";
}

// ---- The consumer and the dispatch ----

TEST_F(IntakeTest, ConsumerRoutesMessagesByFormatAndBackoutCount) {
    struct Case {
        const char *name;
        const char *format;
        MQLONG length, backoutCount, getReason;
        int32_t useDlq;
        MQLONG expectedFeedback;  // 0: no dead-letter put
        bool backedOut;
    };
    const Case cases[] = {
        {"string to the DLQ", MQFMT_STRING, 8, 0, 0, EV_USEDLQ_YES, 200000, false},
        {"string consumed without a DLQ", MQFMT_STRING, 8, 0, 0, EV_USEDLQ_NO, 0, false},
        {"short admin consumed", MQFMT_ADMIN, 20, 0, 0, EV_USEDLQ_YES, 0, false},
        {"truncated event dead-lettered at once", MQFMT_EVENT, 20, 0, 0, EV_USEDLQ_YES, 200000, false},
        {"threshold is processed", MQFMT_STRING, 8, 3, 0, EV_USEDLQ_YES, 200000, false},
        {"past threshold, taken alone and processed", MQFMT_STRING, 8, 4, 0, EV_USEDLQ_YES, 200000, false},
        {"ended two runs alone, without a BOQ", MQFMT_STRING, 8, 6, 0, EV_USEDLQ_YES, 2362, false},
        {"not converted", MQFMT_STRING, 8, 0, MQRC_NOT_CONVERTED, EV_USEDLQ_YES, 2119, false},
        {"not converted, no usable DLQ", MQFMT_STRING, 8, 0, MQRC_NOT_CONVERTED, EV_USEDLQ_YES, -1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        EventQueueDef *queue = addQueue("Q.EVENTS");
        queue->queueEmpty = 1;
        evSettings.useDlq.store(c.useDlq);
        if (c.expectedFeedback == -1) evContext.event.deadQueue[0] = 0;
        std::vector<uint8_t> data(static_cast<size_t>(c.length), 0);
        MQMD md = message(c.format, "M1", c.backoutCount);
        MQCBC cbc = removed(queue, c.length, c.getReason ? MQCC_WARNING : MQCC_OK, c.getReason);
        evMessageConsumer(0, &md, nullptr, data.data(), &cbc);
        queueEmpty(queue);
        const Call *dlq = lastPutTo(kDlq);
        if (c.expectedFeedback > 0) {
            ASSERT_NE(dlq, nullptr);
            EXPECT_EQ(mqiGetI32(dlq->data.data(), 8), c.expectedFeedback);
            EXPECT_EQ(dlq->options, MQPMO_SYNCPOINT);
        } else {
            EXPECT_EQ(dlq, nullptr);
        }
        std::vector<std::string> event = verbs(evEventHconn(&evContext.sets[EV_SET_E]));
        bool committed = !event.empty() && event.back() == "MQCMIT";
        bool backedOut = std::find(event.begin(), event.end(), "MQBACK") != event.end();
        EXPECT_EQ(backedOut, c.backedOut);
        // A message that can be neither handled nor moved stops its queue (and its alert commits).
        if (c.backedOut)
            EXPECT_EQ(queue->status, EV_EVQ_BOQFAIL);
        else
            EXPECT_TRUE(committed) << "the queue ran empty: the message commits";
        EXPECT_EQ(evContext.restartMark.load(), 0) << "an unmarked unit only backs out";
    }
}

TEST_F(IntakeTest, NotConvertedMessageCommitsOnAQuietQueue) {
    EventQueueDef *queue = addQueue("Q.EVENTS");
    queue->queueEmpty = 0;  // more messages were there: the batch stays open
    evSettings.useDlq.store(EV_USEDLQ_YES);
    MQMD md = message(MQFMT_STRING, "M1");
    uint8_t data[8] = {};
    MQCBC cbc = removed(queue, 8, MQCC_WARNING, MQRC_NOT_CONVERTED);
    evMessageConsumer(0, &md, nullptr, data, &cbc);
    // The dead-letter queue's open, the open that looks at its usage, the put.
    EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_E])),
              (std::vector<std::string>{"MQOPEN", "MQOPEN", "MQPUT"}));
    queueEmpty(queue);
    EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_E])).back(), "MQCMIT");
}

// A unit of four backed out because its third message failed: when they come back, the first two
// are one batch, the failed one has a unit of its own and the fourth starts the next batch.
TEST_F(IntakeTest, RedeliveredMessagesComeInFullBatchesAndOnlyTheFailedOneAlone) {
    EventQueueDef *queue = addQueue("Q.EVENTS");
    evSettings.useDlq.store(EV_USEDLQ_NO);
    uint8_t data[8] = {};
    const char *ids[] = {"M1", "M2", "M3", "M4"};
    auto take = [&](const char *id, MQLONG backoutCount) {
        MQMD md = message(MQFMT_STRING, id, backoutCount);
        MQCBC cbc = removed(queue, 8);
        evMessageConsumer(0, &md, nullptr, data, &cbc);  // the queue is not empty: a batch would wait
        std::vector<std::string> event = verbs(evEventHconn(&evContext.sets[EV_SET_E]));
        return !event.empty() && event.back() == "MQCMIT";
    };
    for (const char *id : ids) {
        if (std::strcmp(id, "M3") == 0) evDebug.forcedBackouts.store(1);  // its path fails
        EXPECT_FALSE(take(id, 0)) << id;
        if (std::strcmp(id, "M3") == 0) {
            EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_E])).back(), "MQBACK");
            evContext.restartMark.store(0);  // reconnected
            break;
        }
    }
    const bool commitsAfter[] = {false, true, true, false};
    for (size_t i = 0; i < std::size(ids); i++) {
        calls.clear();
        EXPECT_EQ(take(ids[i], 1), commitsAfter[i]) << ids[i];
    }
    EXPECT_EQ(evUnits[EV_SET_E].inFlight, 1u) << "M4 waits for the rest of its batch";

    // A redelivered message while a 'before' half waits in the unit (its 'after', say): nothing commits
    // the 'before' alone.
    calls.clear();
    queue->beforeWaitingSince = 1767225600 - 1;
    MQMD md = message(MQFMT_STRING, "M3", 2);
    MQCBC cbc = removed(queue, 8);
    evMessageConsumer(0, &md, nullptr, data, &cbc);
    EXPECT_TRUE(verbs(evEventHconn(&evContext.sets[EV_SET_E])).empty());
    EXPECT_EQ(evUnits[EV_SET_E].inFlight, 2u);
}

TEST_F(IntakeTest, ForwardingAppliesFwdpsistAndAFailedForwardIsDeadLettered) {
    EventQueueDef *queue = addQueue("Q.EVENTS");
    queue->forwardHandle = 44;
    queue->inputHandle = 9;
    std::strcpy(queue->forwardQueue, "Q.FWD");
    std::strcpy(queue->forwardOpenName, "Q.FWD");
    evSettings.useDlq.store(EV_USEDLQ_YES);
    struct Case {
        int32_t fwdpsist;
        MQLONG failReason;
    };
    for (const Case &c :
         {Case{EV_PERSIST_YES, 0}, Case{EV_PERSIST_NO, 0}, Case{EV_PERSIST_ASMSG, MQRC_Q_FULL}}) {
        calls.clear();
        queue->forwardPersistence = c.fwdpsist;
        failPutReason = c.failReason;
        MQMD md = message(MQFMT_ADMIN, "M1");
        md.Persistence = MQPER_NOT_PERSISTENT;
        uint8_t data[8] = {};
        ASSERT_TRUE(evForwardMessage(&evContext, queue, &md, data, 8) || c.failReason != 0);
        const Call *forward = lastPutTo(44);
        ASSERT_NE(forward, nullptr);
        EXPECT_EQ(forward->options, 514);
        EXPECT_EQ(forward->persistence, c.fwdpsist == EV_PERSIST_ASMSG ? MQPER_NOT_PERSISTENT : c.fwdpsist);
        EXPECT_EQ(md.Persistence, MQPER_NOT_PERSISTENT) << "the received MQMD is restored";
        if (c.failReason != 0) {
            const Call *dlq = lastPutTo(kDlq);
            ASSERT_NE(dlq, nullptr);
            EXPECT_EQ(mqiGetI32(dlq->data.data(), 8), MQRC_Q_FULL);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(dlq->data.data() + 12), 5), "Q.FWD");
        }
    }
    failPutReason = 0;
}

TEST_F(IntakeTest, FailedBackoutQueuePutGoesToTheDeadLetterQueue) {
    EventQueueDef *queue = addQueue("Q.EVENTS");
    queue->queueEmpty = 1;
    queue->backoutHandle = 33;
    std::strcpy(queue->backoutOpenName, "Q.BOQ");
    MQMD md = message(MQFMT_EVENT, "M1", 6);  // it ended two runs while taken alone
    uint8_t data[8] = {};
    MQCBC cbc = removed(queue, 8);
    failPutReason = MQRC_Q_FULL;
    evSettings.useDlq.store(EV_USEDLQ_YES);
    evMessageConsumer(0, &md, nullptr, data, &cbc);
    queueEmpty(queue);
    const Call *boq = lastPutTo(33);
    ASSERT_NE(boq, nullptr);
    EXPECT_EQ(boq->options, 514);
    failPutReason = 0;
    // The DLQ put failed too (same fake reason): the unit backs out, unmarked, and the queue stops.
    const std::vector<std::string> event = verbs(evEventHconn(&evContext.sets[EV_SET_E]));
    EXPECT_NE(std::find(event.begin(), event.end(), "MQBACK"), event.end());
    EXPECT_EQ(queue->status, EV_EVQ_BOQFAIL);
    EXPECT_EQ(evContext.restartMark.load(), 0);
}

TEST_F(IntakeTest, DebugCountsBackOutOrRepeatTheNextMessages) {
    struct Case {
        const char *name;
        bool batchOpen;  // a message was taken before into the open batch
        int32_t forced;
        int32_t repeat;
        size_t deadLettered;  // of the last message
        bool backedOut;
        bool reconnect;
    };
    const Case cases[] = {
        {"forced back-out of a lone message", false, 1, 0, 0, true, false},
        {"forced back-out after a taken message costs a reconnect", true, 1, 0, 0, true, true},
        {"repeat dispatches the message three times", false, 0, 3, 3, false, false},
        {"neither: once", false, 0, 0, 1, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        EventQueueDef *queue = addQueue("Q.EVENTS");
        evSettings.useDlq.store(EV_USEDLQ_YES);
        uint8_t data[8] = {};
        if (c.batchOpen) {
            queue->queueEmpty = 0;  // the batch waits for more
            MQMD md = message(MQFMT_STRING, "M0");
            MQCBC cbc = removed(queue, 8);
            evMessageConsumer(0, &md, nullptr, data, &cbc);
        }
        evDebug.forcedBackouts.store(c.forced);
        evDebug.eventRepeat.store(c.repeat);
        calls.clear();
        MQMD md = message(MQFMT_STRING, "M1");
        MQCBC cbc = removed(queue, 8);
        evMessageConsumer(0, &md, nullptr, data, &cbc);
        queueEmpty(queue);
        size_t dlqPuts = 0;
        for (const Call &call : calls) dlqPuts += call.verb == "MQPUT" && call.hobj == kDlq;
        EXPECT_EQ(dlqPuts, c.deadLettered);
        std::vector<std::string> event = verbs(evEventHconn(&evContext.sets[EV_SET_E]));
        ASSERT_FALSE(event.empty());
        EXPECT_EQ(event.back(), c.backedOut ? "MQBACK" : "MQCMIT");
        EXPECT_EQ(evContext.restartMark.load(), c.reconnect ? 1 : 0);
        EXPECT_EQ(evDebug.forcedBackouts.load(), 0) << "counted down";
    }
    evDebug.eventRepeat.store(0);
}

TEST_F(IntakeTest, RestartRequestIsActedOnBySetCsCommitOnly) {
    for (int32_t which : {EV_SET_E, EV_SET_C}) {
        SCOPED_TRACE(which);
        reset();
        evContext.restartRequested.store(1);
        evUnits[which].inFlight = 1;
        evUnits[which].commitAlone = 1;
        {
            CSRecursiveGuard lock(gConsumerLock);
            ASSERT_TRUE(evSyncPoint(&evContext, &evContext.sets[which]));
        }
        EXPECT_EQ(verbs(evEventHconn(&evContext.sets[which])).back(), "MQCMIT") << "committed first";
        EXPECT_EQ(evContext.restartMark.load(), which == EV_SET_C ? 1 : 0);
        EXPECT_EQ(evContext.restartRequested.load(), which == EV_SET_C ? 0 : 1);
    }
    evContext.restartRequested.store(0);
}

// Set E's seen list of one message as the program stores it (Format MQFMT_PCF) on the fake data
// queue, its MsgId length made 23 when damaged.
void putSeenList(const MQMD &md, bool damaged) {
    EvSeenList list{};
    int32_t seen = 0;
    ASSERT_TRUE(evMarkSeen(&list, &md, 1767225600, &seen));
    int32_t length = 0;
    uint8_t *bytes = evBuildSeenList(&list, &length);
    ASSERT_NE(bytes, nullptr);
    if (damaged) mqiPutI32(bytes, 36 + 12, 23);  // a MsgId that is not 24 bytes long
    uint8_t correl[24] = {EV_DQ_KIND_SEEN_E};
    MQMD stored = MQMD_DEFAULT;
    std::memcpy(stored.Format, MQFMT_PCF, MQ_FORMAT_LENGTH);
    fdq::put(correl, bytes, static_cast<size_t>(length), &stored);
    CSFreeMem(bytes);
    evFreeSeenList(&list);
}

TEST_F(IntakeTest, DamagedSeenListIsReportedIgnoredAndReplacedAtTheNextCommit) {
    ConnectionSet *set = &evContext.sets[EV_SET_E];
    separateState(set);
    putSeenList(message(MQFMT_EVENT, "OLD"), true);
    uint8_t correl[24] = {EV_DQ_KIND_SEEN_E};

    zt::ConsoleCapture console{false};
    ASSERT_EQ(evLoadStoredSeenList(set), 1) << "a damaged list does not fail the connect";
    EXPECT_NE(console.out().find("Damaged 'seen' message ignored."), std::string::npos) << console.out();
    EXPECT_EQ(evUnits[EV_SET_E].seen.used, 0u);

    EventQueueDef *queue = addQueue("Q.EVENTS");
    evSettings.useDlq.store(EV_USEDLQ_NO);
    MQMD next = message(MQFMT_STRING, "NEW");
    uint8_t data[8] = {};
    MQCBC cbc = removed(queue, 8);
    evMessageConsumer(0, &next, nullptr, data, &cbc);
    queueEmpty(queue);
    ASSERT_EQ(fdq::count(correl), 1u);
    for (const fdq::Message &m : fdq::queue().messages) {
        if (m.correlId[0] != EV_DQ_KIND_SEEN_E) continue;
        EvSeenList loaded{};
        EXPECT_EQ(evLoadSeenList(&loaded, m.data.data(), static_cast<int32_t>(m.data.size())), 1)
            << "the commit wrote a sound list";
        evFreeSeenList(&loaded);
    }
}

// Another application's message under the seen list's key, in front of the program's list: skipped
// with a line naming it, and the program's list is the one loaded.
TEST_F(IntakeTest, AForeignMessageUnderTheSeenKeyIsSkippedAndTheOwnListLoaded) {
    ConnectionSet *set = &evContext.sets[EV_SET_E];
    separateState(set);
    uint8_t correl[24] = {EV_DQ_KIND_SEEN_E};
    MQMD foreign = MQMD_DEFAULT;
    std::memcpy(foreign.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
    fdq::put(correl, "not a seen list", 15, &foreign);
    putSeenList(message(MQFMT_EVENT, "OWN"), false);

    zt::ConsoleCapture console{false};
    ASSERT_EQ(evLoadStoredSeenList(set), 1);
    const std::string out = console.out();
    const std::string line = "Foreign message under the seen list key (kind 4) skipped";
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_EQ(out.find(line), out.rfind(line)) << "one line: " << out;
    EXPECT_EQ(evUnits[EV_SET_E].seen.used, 1u);
}

TEST_F(IntakeTest, FreshLoadMakesTheDefaultQueuesOfTheQueueManagersPlatform) {
    evInstallConnectionHooks();
    for (int32_t platform : {MQPL_UNIX, MQPL_ZOS}) {
        SCOPED_TRACE(platform);
        reset();
        evContext.event.platform.store(platform);
        ASSERT_TRUE(evCfgLoad(&evContext.sets[EV_SET_C].io));
        int queues = 0;
        for (CSTree *node = CSTreeFirst(evEventQueueTree); node; node = node->next) {
            auto *queue = reinterpret_cast<EventQueueDef *>(node);
            EXPECT_EQ(queue->suspended, 1u);
            EXPECT_STREQ(queue->backoutQueue, "*") << "the queue's own BOQNAME";
            queues++;
        }
        EXPECT_EQ(queues, platform == MQPL_ZOS ? 5 : 9);
    }
    evContext.event.platform.store(0);
}

TEST_F(IntakeTest, SetEChecksTheDataQueueHourlyWhenNearlyFullElseDaily) {
    struct Case {
        int32_t debugInterval;  // DEBUG DATAQCHK
        int32_t messages;       // on the data queue of MAXDEPTH 5000
        int64_t elapsed;        // since the last inquiry
        bool inquired;
    };
    const Case cases[] = {
        {0, 4500, 3599, false}, {0, 4500, 3600, true}, {0, 1000, 3600, false},
        {0, 1000, 86400, true}, {60, 1000, 60, true},  {60, 1000, 59, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.debugInterval << " " << c.messages << " " << c.elapsed);
        reset();
        evContext.event.maxUncommitted.store(10000);
        evContext.state.maxUncommitted.store(10000);
        evDataQueue.maxDepth.store(5000);
        evDataQueueMsgCount.store(c.messages);
        evDebug.dataQueueCheck.store(c.debugInterval);
        evDataQueue.lastInquiry.store(1767225600 - c.elapsed);
        {
            CSRecursiveGuard lock(gConsumerLock);
            ASSERT_TRUE(evSyncPoint(&evContext, &evContext.sets[EV_SET_E]));
        }
        std::vector<std::string> event = verbs(evEventHconn(&evContext.sets[EV_SET_E]));
        EXPECT_EQ(event, c.inquired ? std::vector<std::string>{"MQINQ"} : std::vector<std::string>{});
        EXPECT_EQ(evDataQueue.lastInquiry.load(), c.inquired ? 1767225600 : 1767225600 - c.elapsed);
        EXPECT_EQ(evDataQueueCondition.load(), 0u) << "fit and not high";
        // Set C never checks.
        calls.clear();
        evDataQueue.lastInquiry.store(0);
        CSRecursiveGuard lock(gConsumerLock);
        evUnits[EV_SET_C].inFlight = 1;
        evUnits[EV_SET_C].commitAlone = 1;
        ASSERT_TRUE(evSyncPoint(&evContext, &evContext.sets[EV_SET_C]));
        EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_C])), std::vector<std::string>{"MQCMIT"});
    }
    evDataQueueMsgCount.store(0);
}

// ---- Set C's hold on set E ----

TEST_F(IntakeTest, HoldClosesSetEsUnitAndGivesItBackAfterSetCCommits) {
    struct Case {
        const char *name;
        int32_t suspend;
        bool failEventCommit;
        int32_t result;
        std::vector<std::string> holdCalls;
        bool eventCommitted;
    };
    const Case cases[] = {
        {"held", EV_SUSPEND_HELD, false, EV_SUSPEND_HELD, {"S1"}, true},
        {"set E not started", EV_SUSPEND_NOT_STARTED, false, EV_SUSPEND_NOT_STARTED, {"S1"}, false},
        {"busy changes nothing", EV_SUSPEND_BUSY, false, EV_SUSPEND_BUSY, {"S1"}, false},
        {"set E's sync point fails", EV_SUSPEND_HELD, true, EV_HOLD_FAILED, {"S1", "R1"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        cfgEngine.suspend = fakeSuspend;
        cfgEngine.resume = fakeResume;
        suspendResult = c.suspend;
        EventQueueDef *queue = addQueue("Q.EVENTS");
        queue->queueEmpty = 0;  // set E's batch would wait for more
        evUnits[EV_SET_E].inFlight = 3;
        if (c.failEventCommit) failCommitHconn = evEventHconn(&evContext.sets[EV_SET_E]);
        CSRecursiveGuard lock(gConsumerLock);
        evContext.current = &evContext.sets[EV_SET_C];
        EXPECT_EQ(evHoldEventSet(&evContext), c.result);
        EXPECT_EQ(holds, c.holdCalls);
        EXPECT_EQ(evContext.current, &evContext.sets[EV_SET_C]);
        std::vector<std::string> event = verbs(evEventHconn(&evContext.sets[EV_SET_E]));
        EXPECT_EQ(!event.empty() && event.back() == "MQCMIT" && !c.failEventCommit, c.eventCommitted);
        EXPECT_EQ(evContext.restartMark.load(), c.failEventCommit ? 1 : 0);
        if (c.result != EV_SUSPEND_HELD) {
            EXPECT_EQ(evUnits[EV_SET_C].holdingEvent, 0);
            continue;
        }
        EXPECT_EQ(evHoldEventSet(&evContext), EV_SUSPEND_HELD) << "a second hold is the same hold";
        EXPECT_EQ(holds.size(), 1u);
        // Set C's unit holding set E counts its batch full: it commits, then set E resumes.
        evUnits[EV_SET_C].inFlight = 1;
        ASSERT_TRUE(evSyncPoint(&evContext, &evContext.sets[EV_SET_C]));
        EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_C])).back(), "MQCMIT");
        EXPECT_EQ(holds, (std::vector<std::string>{"S1", "R1"}));
        EXPECT_EQ(evUnits[EV_SET_C].holdingEvent, 0);
    }
}

int absorbCalls = 0;
int absorbHeld = 0;
int fakeAbsorb(QmgrContext *) {
    absorbCalls++;
    absorbHeld += evUnits[EV_SET_C].holdingEvent;
    return 1;
}

TEST_F(IntakeTest, SweepAbsorbRunsInsideTheHoldAndWaitsWhenBusy) {
    for (int32_t suspend : {EV_SUSPEND_HELD, EV_SUSPEND_BUSY}) {
        SCOPED_TRACE(suspend);
        reset();
        cfgEngine.suspend = fakeSuspend;
        cfgEngine.resume = fakeResume;
        suspendResult = suspend;
        evServices.aggrAbsorb = fakeAbsorb;
        absorbCalls = absorbHeld = 0;
        evAggrState.binsExist.store(1);
        evAggrState.binsCreated.fetch_add(1);
        evUnits[EV_SET_C].inFlight = 1;  // the sweep message
        CSRecursiveGuard lock(gConsumerLock);
        evContext.current = &evContext.sets[EV_SET_C];
        EXPECT_TRUE(evSyncPoint(&evContext, &evContext.sets[EV_SET_C]));
        EXPECT_EQ(absorbCalls, suspend == EV_SUSPEND_HELD ? 1 : 0);
        EXPECT_EQ(absorbHeld, absorbCalls);
        EXPECT_EQ(holds, suspend == EV_SUSPEND_HELD ? (std::vector<std::string>{"S1", "R1"})
                                                    : (std::vector<std::string>{"S1"}));
        EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_C])).back(), "MQCMIT");
    }
    evServices.aggrAbsorb = nullptr;
    evAggrState.binsExist.store(0);
}

// ---- Putting to streams ----

int hookAction = 0;  // 0 keep, 1 drop the queue managers, 2 name two streams
int recordHook(void *context, int32_t type) {
    auto *hook = static_cast<EvRecordHook *>(context);
    EXPECT_EQ(CSRecursiveHeldCount(&gConsumerLock), 0u) << "the hook runs without the consumer lock";
    // The hook's message: the record with its queue manager and, for an event, its summary.
    EXPECT_EQ(evContext.hookMessage.load(), hook);
    EXPECT_EQ(hook->type, static_cast<uint32_t>(type));
    EXPECT_STREQ(hook->qmgrName, "QM1");
    EXPECT_NE(hook->record, nullptr);
    if (type == STREAM_TYPE_EVENTS && hook->summary != nullptr) {
        EXPECT_EQ(pcfSummaryOf(hook->summary)->command, evCFGetCommand(hook->record));
    }
    EXPECT_EQ(hook->summary != nullptr, type == STREAM_TYPE_EVENTS);
    if (hookAction == 1) cfgFreeModel(0);
    if (hookAction == 2) std::strcpy(hook->streams, " S1 , $null,S2");
    return 1;
}

TEST_F(IntakeTest, PutToStreamsStoresWhereTheHookSaysAndSurvivesAHookThatDropsItsQueueManager) {
    ASSERT_TRUE(evStringsInit(0));
    ASSERT_NE(evStringsCreateStream(), nullptr);
    cfgInstall();
    evServices.callRecordHook = recordHook;
    struct Case {
        const char *name;
        int action;
        std::vector<std::string> streams;  // the streams holding one record afterwards
        int result;
    };
    const Case cases[] = {
        {"default stream", 0, {"$EVENTS"}, 1},
        {"two named streams", 2, {"S1", "S2"}, 1},
        {"queue manager removed during the hook", 1, {}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cfgFreeModel(0);
        char text[EV_CONFIG_TEXT];
        QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
        ASSERT_NE(qmgr, nullptr);
        hookAction = c.action;
        uint8_t record[40] = {};
        evCFSetFlags(record, EVCF_FLAG_EVENT);
        CSRecursiveGuard lock(gConsumerLock);
        EXPECT_EQ(evPutToStreams(&evContext, qmgr, STREAM_TYPE_EVENTS, nullptr, 1767225600, 1, nullptr,
                                 record, sizeof record, nullptr),
                  c.result);
        QmgrEntry *after = nullptr;
        {
            CSRecursiveGuard structure(gStructureLock);
            after = reinterpret_cast<QmgrEntry *>(CSTreeFirst(evQmgrTree));
        }
        std::vector<std::string> stored;
        for (Stream *stream = after ? after->streams : nullptr; stream; stream = stream->next)
            if (stream->recordCount == 1) stored.emplace_back(evStreamName(stream));
        EXPECT_EQ(stored, c.streams);
        EXPECT_EQ(evContext.hookMessage.load(), nullptr) << "the hook's message ends with the hook";
    }
    // Two implicit display streams written: one "$IMPLICIT" alert, not one per event.
    for (const char *name : {"S1", "S2"})
        evStreamDefFind(name, -1, STREAM_TYPE_EVENTS, nullptr)->disImplct = 1;
    char text[EV_CONFIG_TEXT];
    QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
    hookAction = 2;
    for (int i = 0; i < 2; i++) {
        uint8_t record[40] = {};
        CSRecursiveGuard lock(gConsumerLock);
        EXPECT_TRUE(evPutToStreams(&evContext, qmgr, STREAM_TYPE_EVENTS, nullptr, 1767225600, 1, nullptr,
                                   record, sizeof record, nullptr));
    }
    int implicit = 0;
    {
        CSRecursiveGuard alerts(gAlertLock);
        for (AlertDef *alert = evAlertList; alert; alert = alert->next)
            implicit += std::strcmp(alert->category, "$IMPLICIT") == 0;
    }
    EXPECT_EQ(implicit, 1);
    hookAction = 0;
}

std::vector<std::string> repeatIds;  // the MsgIds the record hook was handed

// STORMTHR 10 and STORMINT 60 over queue manager QM1, the holds faked; record (35 bytes) an event
// of reason 2085.
void stormSetUp(QmgrEntry **qmgr, uint8_t *record) {
    ASSERT_TRUE(evStringsInit(0));
    ASSERT_NE(evStringsCreateStream(), nullptr);
    cfgInstall();
    cfgEngine.suspend = fakeSuspend;
    cfgEngine.resume = fakeResume;
    evSettings.stormThreshold.store(10);
    evSettings.stormInterval.store(60);
    char text[EV_CONFIG_TEXT];
    *qmgr = evQmgrFindOrAdd("QM1", 0, text);
    ASSERT_NE(*qmgr, nullptr);
    evCFSetFlags(record, EVCF_FLAG_EVENT);
    mqiPutU32(record, 24, 2085);
}

// The first timed item, taken off the list as the timed list hands a due item over.
void takeDueItem(evTimedItem **item) {
    CSRecursiveGuard structure(gStructureLock);
    *item = evTimedItemList;
    ASSERT_NE(*item, nullptr);
    evTimedItemList = (*item)->next;
    evTimedListChanged();
}

// A window that ended at or below its threshold stored each of its events already: its check holds
// neither set and stores nothing; the next storm save drops the item.
TEST_F(IntakeTest, StormCheckAtTheThresholdOnlyDropsTheItem) {
    QmgrEntry *qmgr = nullptr;
    uint8_t record[35] = {};
    ASSERT_NO_FATAL_FAILURE(stormSetUp(&qmgr, record));
    for (int i = 0; i < 10; i++) {
        evTimedItem *item = nullptr;
        ASSERT_EQ(evRepeatCount(qmgr, record, sizeof record, 1767225600, &item), 0);
    }
    // Stored, so that its leaving is a change to store.
    ASSERT_TRUE(evSaveStorms(&evContext.sets[EV_SET_E].io));
    evTimedItem *item = nullptr;
    ASSERT_NO_FATAL_FAILURE(takeDueItem(&item));
    evStormsChanged.store(0);
    evStormCheck(item);
    CSFreeMem(item);
    EXPECT_TRUE(holds.empty());
    EXPECT_EQ(evStormsChanged.load(), 1);
    for (Stream *stream = qmgr->streams; stream; stream = stream->next) EXPECT_EQ(stream->recordCount, 0u);
}

TEST_F(IntakeTest, StormCheckStoresOneRecordWithTheExcessAndRaisesStorm) {
    QmgrEntry *qmgr = nullptr;
    uint8_t record[35] = {};
    ASSERT_NO_FATAL_FAILURE(stormSetUp(&qmgr, record));
    evCFSetItemCount(record, 1);
    record[32] = 231;  // MQIACF 1 = 1
    record[33] = 1;
    int counted = 0;
    MQMD first = message(MQFMT_EVENT, "AMQ QM1     0001");
    for (int i = 0; i < 25; i++) {
        evTimedItem *item = nullptr;
        counted += evRepeatCount(qmgr, record, sizeof record, 1767225600, &item);
        if (item != nullptr) evStormKeepMqmd(item, &first);
    }
    ASSERT_EQ(counted, 15);
    evTimedItem *item = nullptr;
    ASSERT_NO_FATAL_FAILURE(takeDueItem(&item));
    // The record hook (and so every emitter) is handed the repeat's message descriptor.
    ASSERT_TRUE(evStringsInit(0));
    ASSERT_NE(evStringsCreateStream(), nullptr);
    repeatIds.clear();
    evServices.callRecordHook = [](void *context, int32_t) {
        auto *hook = static_cast<EvRecordHook *>(context);
        repeatIds.emplace_back(reinterpret_cast<const char *>(hook->md->MsgId), sizeof hook->md->MsgId);
        return 1;
    };
    evStormCheck(item);
    CSFreeMem(item);
    evServices.callRecordHook = nullptr;
    EXPECT_EQ(holds, (std::vector<std::string>{"S0", "S1", "R1", "R0"}));
    // The repeat has an id of its own: not the first event's, which its stored copy carries already.
    ASSERT_EQ(repeatIds.size(), 1u);
    EXPECT_NE(repeatIds[0], std::string(reinterpret_cast<const char *>(first.MsgId), sizeof first.MsgId));
    MQMD again = first;
    evStormRepeatMsgId(again.MsgId);
    EXPECT_EQ(repeatIds[0], std::string(reinterpret_cast<const char *>(again.MsgId), sizeof again.MsgId))
        << "made from the stored item alone: the same after a restart";
    // One stored record carrying EVREPEAT 15, counted as 15 events.
    Stream *stored = nullptr;
    for (Stream *stream = qmgr->streams; stream; stream = stream->next)
        if (stream->recordCount) stored = stream;
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->recordCount, 1u);
    EXPECT_EQ(qmgr->counters[EV_QMC_EVENTS].committed, 15u);
    EXPECT_EQ(qmgr->counters[EV_QMC_LOCAL].committed, 15u);
    AlertDef *storm = nullptr;
    {
        CSRecursiveGuard alerts(gAlertLock);
        for (AlertDef *alert = evAlertList; alert; alert = alert->next)
            if (std::strcmp(alert->category, "$STORM") == 0) storm = alert;
        ASSERT_NE(storm, nullptr);
        EXPECT_EQ(storm->severity, EV_SEVERITY_WARN);
        EXPECT_NE(std::strstr(storm->text, "repeated 25 times."), nullptr) << storm->text;
        EXPECT_EQ(std::string(storm->objectName), "<Not Present>");
        EXPECT_EQ(storm->eventId, 1u);
    }
    // Both sets committed: set E with the record, then set C with the alert.
    EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_E])).back(), "MQCMIT");
    EXPECT_EQ(verbs(evEventHconn(&evContext.sets[EV_SET_C])).back(), "MQCMIT");
    uint8_t correl[24] = {EV_DQ_KIND_STORMS};
    EXPECT_EQ(fdq::count(correl), 1u) << "the storm message lost the item";
    for (const fdq::Message &m : fdq::queue().messages) {
        if (m.correlId[0] == EV_DQ_KIND_STORMS) {
            EXPECT_EQ(mqiGetU32(m.data.data(), 4), 0u);
        }
    }
}

}  // namespace
