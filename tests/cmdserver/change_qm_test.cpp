// The changing commands end to end on a private stand-in queue manager: the engine connected and
// consuming, commands put on its command queue, replies read back, the configuration and the data
// queue looked at after the unit committed and after a restart.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver/cmdserver.h"
#include "cmdserver_testing.h"
#include "tests/engine/engine_qm.h"

namespace {

using ct::PcfBuilder;

class ChangeQmTest : public eqm::EngineQmTest {
protected:
    void SetUp() override {
        eqm::EngineQmTest::SetUp();
        cmdInstall();
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
        ASSERT_EQ(connect(), 1) << logText();
    }
    // Puts the command and waits for its one reply: the PCF reply's reason and text, or an MQSC
    // reply's text.
    struct Reply {
        int32_t reason = -1;
        std::string text;
    };
    Reply command(const char *format, const std::string &data) {
        sendCommand(format, data);
        MQMD got = MQMD_DEFAULT;
        const std::optional<std::string> buffer = nextReply(10000, &got);
        Reply reply;
        if (!buffer) return reply;
        if (std::memcmp(got.Format, MQFMT_STRING, MQ_FORMAT_LENGTH) == 0) {
            reply.reason = 0;
            reply.text = *buffer;
            return reply;
        }
        ct::Pcf pcf = ct::parse(std::vector<uint8_t>(buffer->begin(), buffer->end()));
        reply.reason = pcf.reason;
        reply.text = pcf.get(CMD_PARM_TEXT).text;
        return reply;
    }
    Reply pcf(const PcfBuilder &builder) {
        std::vector<uint8_t> bytes = builder.done();
        return command(MQFMT_ADMIN, std::string(bytes.begin(), bytes.end()));
    }
    Reply mqsc(const std::string &text) { return command(MQFMT_STRING, text); }
    // A further reply of the last command, "" when none comes within a second.
    std::string nextText() { return replyText(1000); }
    static std::pair<uint32_t, uint32_t> queueState(const char *name) {
        CSRecursiveGuard lock(gConsumerLock);
        EventQueueDef *queue = findQueue(name);
        return queue ? std::make_pair(queue->suspended, queue->status) : std::make_pair(99u, 99u);
    }
    // Waits until the queue manager's streams hold n records.
    bool waitStored(uint64_t n, const char *qmgr = "QM1") {
        return et::waitFor([&] { return storedRecords(qmgr) >= n; });
    }
    // A change's log line is written once its unit commits, just after the reply is put.
    bool logSays(const std::string &line) {
        return et::waitFor([&] { return logText().find(line) != std::string::npos; });
    }
};

TEST_F(ChangeQmTest, SuspendAndResumeShowInTheQueuesState) {
    ASSERT_EQ(pcf(PcfBuilder(9012).string(39333, eqm::kPerfmEvents)).reason, 0) << logText();
    EXPECT_EQ(queueState(eqm::kPerfmEvents), std::make_pair(0u, uint32_t{EV_EVQ_ACTIVE}));
    ASSERT_EQ(pcf(PcfBuilder(9011).string(39333, eqm::kPerfmEvents)).reason, 0);
    EXPECT_EQ(queueState(eqm::kPerfmEvents), std::make_pair(1u, uint32_t{EV_EVQ_SUSPENDED}));
    ASSERT_EQ(pcf(PcfBuilder(9012).string(39333, eqm::kPerfmEvents)).reason, 0);
    EXPECT_EQ(queueState(eqm::kPerfmEvents), std::make_pair(0u, uint32_t{EV_EVQ_ACTIVE}));
}

// The data queue held high (as DEBUG DATAQHI holds it): RESUME clears SUSPENDED but the queue stays
// held, and the reply says why.
TEST_F(ChangeQmTest, ResumeOfAQueueWhileTheDataQueueIsHighSaysSo) {
    evDataQueue.depthForcedHigh.store(1);
    const Reply r = pcf(PcfBuilder(9012).string(39333, eqm::kPerfmEvents));
    evDataQueue.depthForcedHigh.store(0);
    EXPECT_EQ(r.reason, MQRC_STORAGE_NOT_AVAILABLE);
    EXPECT_EQ(r.text, "Data Queue is in a depth high condition");
    EXPECT_EQ(queueState(eqm::kPerfmEvents), std::make_pair(0u, uint32_t{EV_EVQ_DATAHIGH}));
}

TEST_F(ChangeQmTest, ARemovedQueueIsLoggedAtCommitAndStaysGone) {
    ASSERT_EQ(pcf(PcfBuilder(9009).string(39333, eqm::kPerfmEvents)).reason, 0) << logText();
    EXPECT_TRUE(logSays("REMOVE EVQ('SYSTEM.ADMIN.PERFM.EVENT')")) << logText();
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(queueState(eqm::kPerfmEvents).first, 99u);
}

TEST_F(ChangeQmTest, AnAddedQueueThatCannotBeOpenedKeepsItsDefinition) {
    const Reply r = pcf(PcfBuilder(9008).string(39333, "NO.SUCH.QUEUE"));
    EXPECT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME) << r.text;
    EXPECT_EQ(queueState("NO.SUCH.QUEUE").second, uint32_t{EV_EVQ_NOTEXIST});
}

TEST_F(ChangeQmTest, AQueueManagerWithDataIsRemovedOnlyWithItsData) {
    const MQLONG raised = raiseEvents(1);
    ASSERT_GT(raised, 0);
    resumeByCommand({eqm::kQmgrEvents});
    ASSERT_TRUE(waitStored(static_cast<uint64_t>(raised))) << logText();
    Reply r = pcf(PcfBuilder(9007).string(39340, "QM1"));
    EXPECT_EQ(r.reason, MQRC_OPERATION_NOT_ALLOWED);
    EXPECT_EQ(r.text, "Queue Manager 'QM1' has active stream data, specify PURGE(YES).");
    EXPECT_EQ(storedRecords(), static_cast<uint64_t>(raised));

    r = pcf(PcfBuilder(9007).string(39340, "QM1").integer(39367, 1));
    EXPECT_EQ(r.reason, 0) << r.text << logText();
    EXPECT_TRUE(logSays("PURGE EVSTREAM('$EVENTS') QMGR('QM1')")) << logText();
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), 0u);
}

TEST_F(ChangeQmTest, PurgeOfEveryStreamCountsWhatItPurged) {
    ASSERT_EQ(raiseEvents(1), 1);
    resumeByCommand({eqm::kQmgrEvents});
    ASSERT_TRUE(waitStored(1)) << logText();
    const Reply r = mqsc("PURGE EVSTRMST(*) EVQMGR(*) TYPE(ALL)");
    EXPECT_EQ(r.text, "AMQ8005: 1 event purged from 1 matching stream.") << logText();
    EXPECT_EQ(storedRecords(), 0u);
}

TEST_F(ChangeQmTest, ACopyFillsAFreshTargetThatSurvivesARestart) {
    const MQLONG raised = raiseEvents(2);
    ASSERT_GT(raised, 0);
    resumeByCommand({eqm::kQmgrEvents});
    ASSERT_TRUE(waitStored(static_cast<uint64_t>(raised))) << logText();
    ASSERT_EQ(mqsc("DEFINE EVSTREAM(T1) TYPE(EVENTS)").reason, 0);
    const size_t callsBefore = wrap->calls().size();
    const std::string copying = mqsc("COPY EVSTRMST($EVENTS) TARGET(T1)").text;
    EXPECT_EQ(copying, "AMQ8326: Copying " + std::to_string(raised) + " items from stream '$EVENTS'")
        << copying;
    std::string rest;
    for (std::string more = nextText(); !more.empty(); more = nextText()) rest += more + "|";
    // A slow copy also reports progress on the way: the last two replies are the whole answer.
    const std::string last = "AMQ8326: " + std::to_string(raised) + " items of " + std::to_string(raised) +
                             " copied (100%)|AMQ8005: Stream copied successfully.\n|";
    EXPECT_TRUE(rest.size() >= last.size() && rest.compare(rest.size() - last.size(), last.size(), last) == 0)
        << rest;
    // The copy's calls, once its last reply is in (the first reply comes before its puts).
    // Set E is suspended before set C puts its first copied blob on the data queue.
    const MQHCONN setE = evEventHconn(evSet(EV_SET_E));
    const MQHCONN setCState = evConnHandles[evSet(EV_SET_C)->stateSlot].load();
    const std::vector<zt::MqCall> calls = wrap->calls();
    size_t suspended = calls.size();
    size_t firstPut = calls.size();
    for (size_t i = callsBefore; i < calls.size(); i++) {
        if (calls[i].verb == zt::MqVerb::MQCTL && calls[i].hconn == setE &&
            calls[i].options == MQOP_SUSPEND && suspended == calls.size())
            suspended = i;
        if (calls[i].verb == zt::MqVerb::MQPUT && calls[i].hconn == setCState && firstPut == calls.size())
            firstPut = i;
    }
    EXPECT_LT(firstPut, calls.size());
    EXPECT_LT(suspended, firstPut);
    EXPECT_TRUE(logSays("COPY EVSTREAM('$EVENTS') TARGET(T1)")) << logText();
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), 2u * static_cast<uint64_t>(raised));
    // A second copy finds its target filled.
    EXPECT_NE(mqsc("COPY EVSTRMST($EVENTS) TARGET(T1)").text.find("Target stream status 'T1' is not empty."),
              std::string::npos);
}

// A copy into a target whose runtime stream exists and is empty (as one whose records expired) commits
// its batches on its way and changes no configuration; its last replies are still committed by the
// command's own sync point, without a further command.
TEST_F(ChangeQmTest, ACopyIntoAnExistingEmptyTargetCommitsItsReplies) {
    const MQLONG raised = raiseEvents(2);
    ASSERT_GT(raised, 0);
    resumeByCommand({eqm::kQmgrEvents});
    ASSERT_TRUE(waitStored(static_cast<uint64_t>(raised))) << logText();
    ASSERT_EQ(mqsc("DEFINE EVSTREAM(T1) TYPE(EVENTS)").reason, 0);
    {
        // The empty runtime stream made and its configuration committed with both sets held.
        QmgrContext *context = &evContext;
        const int32_t heldC = evSuspendConsumer(context, evSet(EV_SET_C));
        const int32_t heldE = evSuspendConsumer(context, evSet(EV_SET_E));
        {
            CSRecursiveGuard lock(gConsumerLock);
            QmgrEntry *qmgr = nullptr;
            for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next)
                if (std::strcmp(reinterpret_cast<QmgrEntry *>(node)->name, "QM1") == 0)
                    qmgr = reinterpret_cast<QmgrEntry *>(node);
            ASSERT_NE(qmgr, nullptr);
            int ambiguous = 0;
            StreamDef *def = evStreamDefFind("T1", -1, 0, &ambiguous);
            ASSERT_NE(def, nullptr);
            ASSERT_NE(evStreamCreate(qmgr, def), nullptr);
            evConfigChanged.store(1);
            EXPECT_TRUE(evSyncPoint(context, evSet(EV_SET_C)));
        }
        if (heldE == EV_SUSPEND_HELD) evResumeConsumer(context, evSet(EV_SET_E));
        if (heldC == EV_SUSPEND_HELD) evResumeConsumer(context, evSet(EV_SET_C));
    }
    ASSERT_NE(mqsc("COPY EVSTRMST($EVENTS) TARGET(T1)").text.find("Copying"), std::string::npos) << logText();
    std::string rest;
    for (std::optional<std::string> more = nextReply(5000); more; more = nextReply(5000)) rest += *more + "|";
    EXPECT_NE(rest.find("AMQ8005: Stream copied successfully."), std::string::npos) << rest << logText();
}

// Neither a definition nor an alert changes a stored stream: set E is neither held nor suspended.
TEST_F(ChangeQmTest, DefineStreamAndAddAlertLeaveSetEAlone) {
    const MQHCONN setE = evEventHconn(evSet(EV_SET_E));
    const size_t before = wrap->calls(zt::MqVerb::MQCTL).size();
    EXPECT_EQ(mqsc("DEFINE EVSTREAM(S9) TYPE(EVENTS)").reason, 0);
    EXPECT_EQ(pcf(PcfBuilder(9021).string(39374, "look here").integer(39375, 40)).reason, 0);
    const std::vector<zt::MqCall> calls = wrap->calls(zt::MqVerb::MQCTL);
    for (size_t i = before; i < calls.size(); i++) EXPECT_NE(calls[i].hconn, setE) << calls[i].options;
}

}  // namespace
