// The stored configuration and alert messages over an in-memory data queue: the bytes written for a
// fixed model, what the readers make of cut, blank-padded, misplaced and unknown members, the
// defaults of an empty queue, round trips of every group, and the pruning of a long alert list.
#include <cstring>
#include <string>
#include <vector>

#include "alerts_testing.h"
#include "tests/streams/fakedq.h"

namespace {

using at::dumpPcf;
using Lines = std::vector<std::string>;

constexpr int64_t kNow = 1767225600;

class StoreTest : public at::AlertTest {
protected:
    void SetUp() override {
        at::AlertTest::SetUp();
        fdq::reset();
        table_ = fdq::table();
        io_ = EvStreamIo{&table_, 1, 2, 0, 100, 1};
        cfgInstall();
        evEmitterTemplate();
        errors().clear();
        evStreamGetHooks()->reportMQError = [](EvStreamIo *, const char *text, int32_t) {
            errors().push_back(text);
        };
        evConfigLoadedChanged = 0;
    }
    void TearDown() override {
        evStreamGetHooks()->reportMQError = nullptr;
        // The store remembers the set of its last save; this io goes with the fixture.
        evCfgUowCommitted(&io_);
        at::AlertTest::TearDown();
    }
    static Lines &errors() {
        static Lines e;
        return e;
    }

    // The one stored message of a kind.
    std::vector<uint8_t> stored(uint8_t kind) {
        std::vector<uint8_t> found;
        int n = 0;
        for (const fdq::Message &m : fdq::queue().messages)
            if (m.correlId[0] == kind) {
                found = m.data;
                n++;
            }
        EXPECT_EQ(n, 1);
        return found;
    }
    void save() {
        char text[EV_CONFIG_TEXT] = "";
        ASSERT_EQ(evCfgSave(&io_, text), 1) << text;
    }
    // The memory drop of a reconnect, then the load (which reconciles definitions and emitters).
    int reload() {
        evAlertFreeAll();
        cfgFreeModel(1);
        return evCfgLoad(&io_);
    }

    // A model with every kind of group, members set and unset.
    void fixedModel() {
        EvSettingsValues v;
        evSettingsRead(&v);
        std::strcpy(v.log.name, "EVP");
        std::strcpy(v.log.descr, "Test processor");
        v.log.maxLogAge = 14400;
        v.log.maxLogSize = 10240000;
        v.log.logRetention = 604800;
        std::strcpy(v.deadQueue, "DLQ");
        evSettingsWrite(&v);
        evSettings.connectTime = kNow + 60;

        EventQueueDef q{};
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT];
        std::strcpy(q.name, "SYSTEM.ADMIN.QMGR.EVENT");
        ASSERT_NE(evEventQueueFindOrAdd(&q, &reason, text), nullptr);
        std::strcpy(q.name, "APP.EVENTS");
        std::strcpy(q.descr, "App");
        std::strcpy(q.forwardQueue, "FWD.Q");
        q.forwardPersistence = EV_PERSIST_YES;
        q.tempQ = EV_TEMPQ_STORE;
        q.suspended = 1;
        q.status = EV_EVQ_SUSPENDED;
        ASSERT_NE(evEventQueueFindOrAdd(&q, &reason, text), nullptr);

        EmitterDef *e1 = evCreateEmitterDef("E1", -1);
        std::strcpy(e1->queue, "OUT.Q");
        e1->failTime = kNow - 600;
        e1->consecutiveFailures = 2;
        EmitterDef *e2 = evCreateEmitterDef("E2", -1);
        std::strcpy(e2->file, "/tmp/x_%i.json");

        StreamDef *app = evStreamDefine("APP", -1, STREAM_TYPE_EVENTS, 0, 0);
        app->retIntvl = 86400;
        std::strcpy(app->evEmit, "E1");
        StreamDef *stq = evStreamDefine("STQ", -1, STREAM_TYPE_STATQ, 0, 0);
        std::strcpy(stq->descr, "Queue stats");
        stq->aggrInt = 3600;
        stq->isDefault = 1;
        stq->disImplct = 1;

        QmgrEntry *qm1 = evQmgrFindOrAdd("QM1", 0, text);
        qm1->counters[EV_QMC_EVENTS].current = 5;
        qm1->counters[EV_QMC_SSL].current = 7;
        qm1->counters[EV_QMC_IMSBR].current = 9;
        qm1->counters[EV_QMC_STATCHL].current = 3;
        ASSERT_NE(evStreamCreate(qm1, stq), nullptr);
        ASSERT_NE(evStreamCreate(qm1, app), nullptr);
        ASSERT_NE(evQmgrFindOrAdd("QM2", 0, text), nullptr);
    }

    MQIFunctionTable table_{};
    EvStreamIo io_{};
};

TEST_F(StoreTest, TheConfigurationMessageOfAFixedModel) {
    fixedModel();
    save();
    EXPECT_EQ(evConfigChanged.load(), 0);
    const std::vector<uint8_t> m = stored(EV_DQ_KIND_CONFIG);
    ASSERT_GE(m.size(), 36u);
    const std::vector<uint8_t> header = zt::fromHex(
        "01000000 24000000 03000000 a0860100 01000000 01000000"
        "00000000 00000000 1c000000");
    EXPECT_TRUE(zt::bytesEqual(header.data(), header.size(), m.data(), 36));
    const Lines counters{"    39342 5", "    39344 0", "    39345 0", "    39346 0", "    39347 0",
                         "    39348 0", "    39349 0", "    39350 0", "    39351 0", "    39352 0",
                         "    39353 7", "    39354 0", "    39357 9", "    39403 0", "    39404 3",
                         "    39405 0", "    39406 0", "    39407 0"};
    Lines expected{
        "39305 'EVP'", "39306 'Test processor'", "39334 'Thu Jan  1 00:00:00 2026\n'",
        "39335 'Thu Jan  1 00:01:00 2026\n'", "39304 941", "39356 1209600", "39358 1", "39359 'DLQ'",
        "39360 2", "39362 14400", "39365 L1767225600", "39363 L10240000", "39364 604800", "39388 2",
        "39443 0", "39389 20", "39390 60", "39413 1000000", "39433 10", "39437 5",
        // event queues in name order; texts also when empty
        "39332 {7", "  39333 'APP.EVENTS'", "  39368 'App'", "  39369 'FWD.Q'", "  39393 1", "  39408 1",
        "  39372 1", "  39311 8", "}", "39332 {7", "  39333 'SYSTEM.ADMIN.QMGR.EVENT'", "  39368 ''",
        "  39369 ''", "  39393 0", "  39408 0", "  39372 0", "  39311 0", "}",
        // emitters: DESCR, QUEUE and FILE only when set; FAILTIME only when failing
        "39424 {12", "  39416 'E1'", "  39420 1", "  39418 'OUT.Q'", "  39421 0", "  39422 2", "  39429 0",
        "  39423 102400", "  39396 1", "  39428 0", "  39425 0", "  39438 L1767225000", "  39439 2", "}",
        "39424 {10", "  39416 'E2'", "  39420 1", "  39419 '/tmp/x_%i.json'", "  39421 0", "  39422 2",
        "  39429 0", "  39423 102400", "  39396 1", "  39428 0", "  39425 0", "}",
        // stream definitions: AGGRINT and EVEMIT only when set
        "39336 {8", "  39301 'APP'", "  39355 1", "  39378 ''", "  39379 86400", "  39380 0", "  39436 0",
        "  39337 1", "  39416 'E1'", "}", "39336 {8", "  39301 'STQ'", "  39355 2", "  39378 'Queue stats'",
        "  39379 3888000", "  39434 3600", "  39380 1", "  39436 1", "  39337 2", "}",
        // queue managers: the stream ids only with runtime streams
        "39338 {21", "  39340 'QM1'", "  39339 1"};
    for (const std::string &c : counters) expected.push_back(c.substr(2));
    expected.insert(expected.end(), {"  39337 [1,2]", "}", "39338 {20", "  39340 'QM2'", "  39339 2"});
    for (const std::string &c : counters) expected.push_back(c.substr(2, 8) + "0");
    expected.push_back("}");
    EXPECT_EQ(dumpPcf(m), expected);
}

TEST_F(StoreTest, EveryGroupRoundTrips) {
    fixedModel();
    at::add({.severity = EV_SEVERITY_ERROR,
             .text = "all of it",
             .category = "CAT",
             .qmgr = "QM1",
             .object = "Q",
             .objectType = 1,
             .retention = 99});
    evAlertList->eventId = 12;
    evAlertList->streamId = 1;
    at::add({.severity = EV_SEVERITY_INFO, .time = kNow - 5, .text = "little"});
    save();
    char text[EV_CONFIG_TEXT] = "";
    ASSERT_EQ(evAlertSave(&io_, text), 1) << text;
    const std::vector<uint8_t> config = stored(EV_DQ_KIND_CONFIG), alerts = stored(EV_DQ_KIND_ALERTS);

    ASSERT_EQ(reload(), 1);
    ASSERT_EQ(evAlertLoad(&io_), 1);
    EXPECT_EQ(evConfigLoadedChanged.load(), 0);
    EXPECT_EQ(at::listed(), (Lines{"1:all of it", "2:little"}));
    EXPECT_EQ(at::expiryItems(), 2u);                         // one each: the drop took the earlier items
    EXPECT_EQ(evFindEmitterDef("E2", -1)->singleRecord, 1u);  // derived, as DEFINE EVEMIT does
    EXPECT_EQ(evFindEmitterDef("E1", -1)->singleRecord, 1u);
    save();
    ASSERT_EQ(evAlertSave(&io_, text), 1) << text;
    EXPECT_EQ(dumpPcf(stored(EV_DQ_KIND_CONFIG)), dumpPcf(config));
    EXPECT_EQ(stored(EV_DQ_KIND_CONFIG), config);
    EXPECT_EQ(dumpPcf(stored(EV_DQ_KIND_ALERTS)), (Lines{"39312 {11",
                                                         "  39373 1",
                                                         "  39374 'all of it'",
                                                         "  39375 30",
                                                         "  39330 12",
                                                         "  39337 1",
                                                         "  39320 'CAT'",
                                                         "  39377 L1767225600",
                                                         "  39379 99",
                                                         "  39376 'QM1'",
                                                         "  39316 'Q'",
                                                         "  39317 1",
                                                         "}",
                                                         "39312 {5",
                                                         "  39373 2",
                                                         "  39374 'little'",
                                                         "  39375 10",
                                                         "  39377 L1767225595",
                                                         "  39379 1209600",
                                                         "}"}));
    EXPECT_EQ(stored(EV_DQ_KIND_ALERTS), alerts);
    EXPECT_EQ(evAlertCount.load(), 2u);
    EXPECT_EQ(reinterpret_cast<QmgrEntry *>(CSTreeFirst(evQmgrTree))->alertCount, 1u);
}

TEST_F(StoreTest, AnAlertMessageWithoutAlertsIsStillVersionThree) {
    char text[EV_CONFIG_TEXT] = "";
    evAlertsChanged = 1;
    ASSERT_EQ(evAlertSave(&io_, text), 1) << text;
    EXPECT_EQ(evAlertsChanged.load(), 0);
    const std::vector<uint8_t> expected = zt::fromHex(
        "01000000 24000000 03000000 a1860100 01000000 01000000"
        "00000000 00000000 00000000");
    const std::vector<uint8_t> m = stored(EV_DQ_KIND_ALERTS);
    EXPECT_TRUE(zt::bytesEqual(expected.data(), expected.size(), m.data(), m.size()));
}

// A load makes memory what the messages hold: nothing is left for the next sync point to save, and
// the next change marks the model or the list again.
TEST_F(StoreTest, ALoadLeavesWhatItLoadedUnchangedUntilTheNextChange) {
    fixedModel();
    save();
    at::add({.text = "first"});
    at::add({.time = kNow - 5, .text = "second"});
    char text[EV_CONFIG_TEXT] = "";
    ASSERT_EQ(evAlertSave(&io_, text), 1) << text;
    at::add({.text = "never saved"});
    ASSERT_EQ(evAlertsChanged.load(), 1);

    ASSERT_EQ(reload(), 1);
    EXPECT_EQ(evConfigChanged.load(), 0);
    ASSERT_EQ(evAlertLoad(&io_), 1);
    EXPECT_EQ(at::listed(), (Lines{"1:first", "2:second"}));
    EXPECT_EQ(evAlertCount.load(), 2u);
    EXPECT_EQ(evAlertsChanged.load(), 0);
    at::add({.text = "third"});
    EXPECT_EQ(evAlertsChanged.load(), 1);
    ASSERT_NE(evStreamDefine("LATER", -1, STREAM_TYPE_EVENTS, 0, 0), nullptr);
    EXPECT_EQ(evConfigChanged.load(), 1);
}

// A message as an older or foreign writer may have left it.
class Writer {
public:
    Writer() : buffer_(static_cast<uint8_t *>(CSGetMem(4096))) {
        MQPCFInitHeader(buffer_, MQCFT_COMMAND, 100000);
        MQPCFInitBuilder(&c_, buffer_, 4096, 1, 4096, &buffer_);
    }
    ~Writer() { CSFreeMem(buffer_); }
    Writer &text(int32_t id, const std::string &value) {
        MQPCFSetStringParm(&c_, MQCFT_STRING, id, value.data(), static_cast<int32_t>(value.size()), 0, 0,
                           &cc_, &rc_);
        return *this;
    }
    Writer &number(int32_t id, int32_t value) {
        MQPCFSetParm(&c_, MQCFT_INTEGER, id, &value, 4, 0, &cc_, &rc_);
        return *this;
    }
    Writer &list(int32_t id, const std::vector<int32_t> &values) {
        MQPCFSetParm(&c_, MQCFT_INTEGER_LIST, id, values.data(), static_cast<int32_t>(4 * values.size()), 0,
                     &cc_, &rc_);
        return *this;
    }
    Writer &group(int32_t id) {
        MQPCFSetParm(&c_, MQCFT_GROUP, id, nullptr, 0, 0, &cc_, &rc_);
        return *this;
    }
    Writer &end() {
        MQPCFSetParm(&c_, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc_, &rc_);
        return *this;
    }
    std::vector<uint8_t> bytes() const { return {buffer_, buffer_ + c_.position}; }

private:
    uint8_t *buffer_;
    PcfCursor c_;
    int32_t cc_ = 0, rc_ = 0;
};

TEST_F(StoreTest, ReadersCutTrimInheritAndPassOverWhatTheyDoNotKnow) {
    const std::string longQueue(60, 'Q');
    evQmgrHighestNumber = 0;
    Writer w;
    w.text(39305, "LONGNAME12  ")
        .text(39306, std::string(70, 'd'))
        .text(39359, "DLQ   ")
        .text(39389, "wrong type")  // STORMTHR must be an integer
        .number(39999, 5)
        .group(39336)  // a TYPE 2 stream without RETINTVL or DISIMPLCT, an unknown group inside
        .text(39301, "S2  ")
        .number(39355, 2)
        .group(39999)
        .number(39301, 1)
        .end()
        .end()
        .group(39336)  // the default EVENTS stream
        .text(39301, "D1")
        .number(39355, 1)
        .number(39379, 1000)
        .number(39380, 1)
        .number(39337, 4)
        .end()
        .group(39336)  // an EVENTS stream that inherits the default's retention
        .text(39301, "S1")
        .number(39355, 1)
        .number(39379, 0)
        .number(39436, 0)
        .number(39337, 6)
        .end()
        .group(39424)  // members before the name still count
        .number(39420, EV_EMIT_CSV)
        .text(39419, "f_%I.txt")
        .text(39416, "EM")
        .end()
        .group(39332)
        .text(39333, longQueue)
        .number(39372, 1)
        .end()
        .group(39338)
        .text(39340, "QM9")
        .number(39339, 3)
        .number(39353, 11)
        .list(39337, {4, 999, 6})
        .end();
    std::vector<uint8_t> m = w.bytes();
    ASSERT_EQ(evCfgLoadMessage(m.data(), static_cast<int32_t>(m.size()), 546), 1);

    EvSettingsValues v;
    evSettingsRead(&v);
    EXPECT_STREQ(v.log.name, "LONGNAME");
    EXPECT_EQ(std::string(v.log.descr), std::string(64, 'd'));
    EXPECT_STREQ(v.deadQueue, "DLQ");
    EXPECT_EQ(v.stormThreshold, 20);
    EXPECT_EQ(evSettings.deadQueueReopen.load(), 1);

    const StreamDef *s2 = evStreamDefFind("S2", -1, 2, nullptr);
    const StreamDef *s1 = evStreamDefFind("S1", -1, 1, nullptr);
    ASSERT_TRUE(s2 && s1);
    EXPECT_EQ(s2->retIntvl, 3888000u);
    EXPECT_EQ(s2->disImplct, 1u);
    EXPECT_EQ(s1->retIntvl, 1000u);
    EXPECT_EQ(s1->disImplct, 0u);
    EXPECT_EQ(s1->streamId, 6u);
    EXPECT_EQ(evStreamHighestId, 6u);

    const EmitterDef *em = evFindEmitterDef("EM", -1);
    ASSERT_NE(em, nullptr);
    EXPECT_EQ(em->format, EV_EMIT_CSV);
    EXPECT_EQ(em->singleRecord, 1u);

    char key[EV_QUEUE_NAME_MAX] = {};
    std::memset(key, 'Q', sizeof key);
    const auto *q = reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, key, EV_QUEUE_NAME_MAX));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->nameLength, 48);
    EXPECT_EQ(q->suspended, 1u);

    const auto *qm = reinterpret_cast<QmgrEntry *>(CSTreeFirst(evQmgrTree));
    ASSERT_NE(qm, nullptr);
    EXPECT_EQ(qm->number, 3u);
    EXPECT_EQ(qm->counters[EV_QMC_SSL].current, 11u);
    EXPECT_EQ(qm->counters[EV_QMC_SSL].committed, 11u);
    Lines streams;
    for (const Stream *s = qm->streams; s; s = s->next) streams.push_back(s->definition->name);
    EXPECT_EQ(streams, (Lines{"D1", "S1"}));  // 999 names no definition
    EXPECT_EQ(evQmgrHighestNumber, 3u);
    ASSERT_FALSE(ct::changeLines().empty());
    EXPECT_EQ(ct::changeLines().back().rfind("EV NAME('LONGNAME') ", 0), 0u);
}

TEST_F(StoreTest, AForeignOrShortMessageIsRefused) {
    std::vector<uint8_t> m = Writer().bytes();
    EXPECT_EQ(evCfgLoadMessage(m.data(), static_cast<int32_t>(m.size()), 273), 0);
    EXPECT_EQ(evEndFlag.load(), 1);
    evEndFlag = 0;
    mqiPutI32(m.data(), offsetof(MQCFH, Command), 100001);
    EXPECT_EQ(evCfgLoadMessage(m.data(), static_cast<int32_t>(m.size()), 546), 0);
    EXPECT_EQ(evEndFlag.load(), 1);
    evEndFlag = 0;
    EXPECT_EQ(evCfgLoadMessage(m.data(), 35, 546), 0);
    EXPECT_EQ(evEndFlag.load(), 0);
    EXPECT_EQ(evAlertLoadMessage(m.data(), 35), 0);
}

TEST_F(StoreTest, AnEmptyQueueGivesTheDefaultQueuesAndForgetsWhatNoMessageNamed) {
    for (int32_t platform : {MQPL_UNIX, MQPL_ZOS}) {
        SCOPED_TRACE(platform);
        at::engine().platform = platform;
        (void)evCreateEmitterDef("LEFTOVER", -1);
        ASSERT_NE(evStreamDefine("LEFTOVER", -1, 1, 0, 0), nullptr);
        ct::changeLines().clear();
        ASSERT_EQ(reload(), 1);
        EXPECT_EQ(evConfigLoadedChanged.load(), 1);
        EXPECT_EQ(CSTreeNumber(evEventQueueTree), platform == MQPL_ZOS ? 5u : 9u);
        EXPECT_EQ(ct::changeLines().size(), platform == MQPL_ZOS ? 5u : 9u);
        const auto *first = reinterpret_cast<EventQueueDef *>(CSTreeFirst(evEventQueueTree));
        EXPECT_EQ(first->suspended, 1u);
        EXPECT_EQ(first->forwardPersistence, EV_PERSIST_ASMSG);
        EXPECT_EQ(evEmitterList, nullptr);
        EXPECT_EQ(evStreamDefList, nullptr);
        EXPECT_NE(evStrings.stream, nullptr);
    }
}

TEST_F(StoreTest, ALongAlertListIsSavedWithoutItsTailAndOnlyThatReloads) {
    for (int i = 0; i < 6; i++)
        at::add({.time = kNow - i, .text = "a fairly long alert text to fill the message"});
    char text[EV_CONFIG_TEXT] = "";
    ASSERT_EQ(evAlertSave(&io_, text), 1) << text;
    const size_t each = (stored(EV_DQ_KIND_ALERTS).size() - 36) / 6;
    // Room for the header and three alerts and a little: the fourth crosses the limit.
    at::engine().maxMsgLength = static_cast<int32_t>(5120 + 36 + 3 * each + 10);
    ASSERT_EQ(evAlertSave(&io_, text), 1) << text;
    EXPECT_EQ(errors(), Lines{"Alerts pruned because of message size limit."});
    EXPECT_EQ(stored(EV_DQ_KIND_ALERTS).size(), 36u + 3 * each);
    EXPECT_EQ(at::listed().size(), 6u);  // the rest stay in memory until the next load
    ASSERT_EQ(evAlertLoad(&io_), 1);
    EXPECT_EQ(at::listed(), (Lines{"1:a fairly long alert text to fill the message",
                                   "2:a fairly long alert text to fill the message",
                                   "3:a fairly long alert text to fill the message"}));
}

}  // namespace
