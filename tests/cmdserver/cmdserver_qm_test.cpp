// The command server end to end on a private stand-in queue manager: the engine connected and its
// command queue consumed, commands put by another application, replies read from its reply queue.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "cmdserver/cmdserver.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"
#include "testing/mqi_wrap.h"
#include "tests/engine/engine_testing.h"

namespace {

int displayEvStub(QmgrContext *context, uint8_t *, int32_t) {
    PcfCursor *builder = nullptr;
    if (!evStartPcfResponse(context, &builder)) return 0;
    int32_t level = 941;
    int32_t cc = 0;
    int32_t rc = 0;
    MQPCFSetParm(builder, MQCFT_INTEGER, 39304, &level, 4, 0, &cc, &rc);
    return evFinishPcfResponse(context);
}

int failures = 0;
int failOnce(QmgrContext *context, uint8_t *, int32_t) {
    if (failures++ == 0) return 0;
    return evPcfResponse(context, 9003, 0, 0, nullptr);
}

class CmdQmTest : public et::EngineTest {
protected:
    void SetUp() override {
        et::EngineTest::SetUp();
        ASSERT_TRUE(qm.ok());
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &evMQServerTable), 0);
        cfgInstall();
        cmdInstall();
        evSettingsDefaults(evClockNow());
        snprintf(evStart.event.name, sizeof evStart.event.name, "QM1");
        snprintf(evStart.state.name, sizeof evStart.state.name, "QM1");
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)\n"
                          "DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304)\n"
                          "DEFINE QLOCAL(REPLY.Q)\n"
                          "ALTER QMGR DEADQ(SYSTEM.DEAD.LETTER.QUEUE)\n"),
                  0);
        failures = 0;
        evRegisterCommandHandler(9000, displayEvStub);
        ASSERT_EQ(evConnectSets() && evInitialiseConnection(), 1) << logText();
        const MQIFunctionTable &mq = evMQServerTable;
        MQCHAR48 name = "QM1";
        MQLONG cc = 0;
        MQLONG rc = 0;
        mq.MQCONN(name, &hconn, &cc, &rc);
        ASSERT_EQ(rc, 0);
        // Opened once: a fault on the command queue's next open then reaches the authority check.
        MQOD od = MQOD_DEFAULT;
        std::strcpy(od.ObjectName, EV_COMMAND_QUEUE_NAME);
        mq.MQOPEN(hconn, &od, MQOO_OUTPUT, &commandQueue, &cc, &rc);
        ASSERT_EQ(rc, 0);
    }
    void TearDown() override {
        MQLONG cc = 0;
        MQLONG rc = 0;
        if (hconn != -1) evMQServerTable.MQDISC(&hconn, &cc, &rc);
        evDisconnectSets();
        evFreeAll(1);
        // Only now: a callback of the sets may still be inside a call through the wrapper.
        wrapper.reset();
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        et::EngineTest::TearDown();
    }
    // Puts a command on the command queue; md gets the request's descriptor as put.
    void send(const char *format, const std::string &data, MQMD *md, const char *replyQueue = "REPLY.Q") {
        const MQIFunctionTable &mq = evMQServerTable;
        MQLONG cc = 0;
        MQLONG rc = 0;
        std::memcpy(md->Format, format, MQ_FORMAT_LENGTH);
        std::memset(md->ReplyToQ, ' ', sizeof md->ReplyToQ);
        std::memcpy(md->ReplyToQ, replyQueue, std::strlen(replyQueue));
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID;
        mq.MQPUT(hconn, commandQueue, md, &pmo, static_cast<MQLONG>(data.size()),
                 const_cast<char *>(data.data()), &cc, &rc);
        ASSERT_EQ(rc, 0);
    }
    // The next reply on the queue (waiting up to 5 s), or "" with *reason.
    std::string reply(MQMD *md, const char *queue = "REPLY.Q", MQLONG *reason = nullptr,
                      MQLONG waitMs = 5000) {
        const MQIFunctionTable &mq = evMQServerTable;
        MQOD od = MQOD_DEFAULT;
        std::strcpy(od.ObjectName, queue);
        MQHOBJ hobj = -1;
        MQLONG cc = 0;
        MQLONG rc = 0;
        mq.MQOPEN(hconn, &od, MQOO_INPUT_SHARED, &hobj, &cc, &rc);
        std::string data(65536, '\0');
        MQLONG length = 0;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
        gmo.WaitInterval = waitMs;
        *md = MQMD_DEFAULT;
        mq.MQGET(hconn, hobj, md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        MQLONG closeCc = 0;
        MQLONG closeRc = 0;
        mq.MQCLOSE(hconn, &hobj, MQCO_NONE, &closeCc, &closeRc);
        if (reason != nullptr) *reason = rc;
        return cc == MQCC_FAILED ? std::string() : data.substr(0, static_cast<size_t>(length));
    }
    static std::string pcfCommand(int32_t command) {
        std::string bytes(MQCFH_STRUC_LENGTH, '\0');
        MQPCFInitHeader(reinterpret_cast<uint8_t *>(bytes.data()), MQCFT_COMMAND, command);
        return bytes;
    }
    static int32_t reasonOf(const std::string &pcf) {
        return pcf.size() >= MQCFH_STRUC_LENGTH ? mqiGetI32(pcf.data(), offsetof(MQCFH, Reason)) : -1;
    }
    qmt::QmServer qm{"QM1"};
    MQHCONN hconn = -1;
    MQHOBJ commandQueue = -1;
    std::unique_ptr<zt::MqiWrapper> wrapper;  // a test's view of the calls, kept until the sets are gone
};

TEST_F(CmdQmTest, PcfAndMqscCommandsAreAnsweredOnTheReplyQueue) {
    MQMD request = MQMD_DEFAULT;
    send(MQFMT_ADMIN, pcfCommand(9099), &request);
    MQMD md{};
    std::string pcf = reply(&md);
    ASSERT_FALSE(pcf.empty()) << logText();
    EXPECT_EQ(reasonOf(pcf), MQRCCF_CFH_COMMAND_ERROR);
    EXPECT_EQ(md.MsgType, MQMT_REPLY);
    EXPECT_EQ(md.CodedCharSetId, 850);
    EXPECT_EQ(std::memcmp(md.CorrelId, request.MsgId, sizeof md.CorrelId), 0);

    request = MQMD_DEFAULT;
    request.Report = MQRO_PASS_CORREL_ID;
    std::memset(request.CorrelId, 0x5A, sizeof request.CorrelId);
    send(MQFMT_STRING, "DISPLAY EV", &request);
    std::string text = reply(&md);
    EXPECT_EQ(text, "AMQ8409: Display ZUNT details.\nCMDLEVEL(941) ");
    EXPECT_EQ(std::string(md.Format, 8), "MQSTR   ");
    EXPECT_EQ(md.CorrelId[0], 0x5A);
}

TEST_F(CmdQmTest, RepliesToTheDeadLetterQueueAndNoneToADatagram) {
    MQMD request = MQMD_DEFAULT;
    send(MQFMT_ADMIN, pcfCommand(9099), &request, "#DLQ");
    MQMD md{};
    EXPECT_EQ(reasonOf(reply(&md, "SYSTEM.DEAD.LETTER.QUEUE")), MQRCCF_CFH_COMMAND_ERROR) << logText();

    // A header it does not know: consumed, counted as rejected, no reply.
    request = MQMD_DEFAULT;
    send("MQHRF2  ", "RFH ", &request);
    send(MQFMT_ADMIN, pcfCommand(9099), &request, " ");  // a datagram
    send(MQFMT_STRING, "DISPLAY EV", &request);
    EXPECT_EQ(reply(&md), "AMQ8409: Display ZUNT details.\nCMDLEVEL(941) ");
    MQLONG reason = 0;
    EXPECT_EQ(reply(&md, "REPLY.Q", &reason, 0), "");  // the commands before were served first
    EXPECT_EQ(reason, MQRC_NO_MSG_AVAILABLE);
    EXPECT_EQ(logText().find("Error opening reply queue"), std::string::npos);
}

TEST_F(CmdQmTest, AnUnauthorisedCommandIsAnsweredAndTheNextServed) {
    ASSERT_EQ(qm.tool("fault QM1 MQOPEN 2035 --count 1 --queue HOLVA.ZUNT.COMMAND.QUEUE"), 0);
    MQMD request = MQMD_DEFAULT;
    send(MQFMT_STRING, "RESET EV TYPE(COUNTS)", &request);
    MQMD md{};
    std::string text = reply(&md);
    EXPECT_EQ(text, "AMQ8426: Command not authorized.") << logText();
    EXPECT_EQ(evStopPending.load(), 0);
    send(MQFMT_STRING, "DISPLAY EV", &request);
    EXPECT_EQ(reply(&md), "AMQ8409: Display ZUNT details.\nCMDLEVEL(941) ");
}

TEST_F(CmdQmTest, ACommandWhosePathFailedIsAnsweredWhenRedelivered) {
    evRegisterCommandHandler(9003, failOnce);
    MQMD request = MQMD_DEFAULT;
    send(MQFMT_STRING, "DIS EVQ(*)", &request);
    const MQHCONN connected = evConnHandles[EV_CONN_C_EVENT].load();
    // The failed path backs the unit out and loads memory again, the connection kept: the command
    // comes back at once.
    MQMD md{};
    EXPECT_EQ(reply(&md), "AMQ8426: Command transaction failed, please try again later") << logText();
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(evConnHandles[EV_CONN_C_EVENT].load(), connected);
    EXPECT_EQ(evRunState.ready.load(), 1);
    EXPECT_NE(logText().find("Command unit backed out: the stored state was loaded again"), std::string::npos)
        << logText();
}

TEST_F(CmdQmTest, AModelReplyQueueGetsTheProgramsDynamicName) {
    MQMD request = MQMD_DEFAULT;
    send(MQFMT_ADMIN, pcfCommand(9099), &request, "SYSTEM.DEFAULT.MODEL.QUEUE");
    send(MQFMT_STRING, "DISPLAY EV", &request);
    MQMD md{};
    ASSERT_FALSE(reply(&md).empty());  // served in order: the first reply is on its queue
    std::string out;
    ASSERT_EQ(qm.mqsc("DISPLAY QLOCAL(ZUNT.*) CURDEPTH\n", &out), 0);
    EXPECT_NE(out.find("QUEUE(ZUNT."), std::string::npos) << out;
    EXPECT_NE(out.find("CURDEPTH(1)"), std::string::npos) << out;
}

TEST_F(CmdQmTest, DisplayEvqAnswersInTextAndInOneCollatedPcfReply) {
    evRegisterCommandHandler(9000, nullptr);
    MQMD request = MQMD_DEFAULT;
    send(MQFMT_STRING, "DISPLAY EVQ(*) ALL", &request);
    MQMD md{};
    std::string text = reply(&md);
    const std::string head = "AMQ8409: Display ZUNT Queue details.\nEVQ(";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    const char *order[] = {"EVQ(",  "DESCR(",   "FWDQ(",  "FWDPSIST(",      "TEMPQ(",
                           "MSGS(", "EVENTCT(", "DLQCT(", "SUSPENDED(YES)", "STATUS("};
    size_t at = 0;
    for (const char *keyword : order) {
        size_t found = text.find(keyword, at);
        ASSERT_NE(found, std::string::npos) << keyword << " in " << text;
        at = found;
    }

    std::string list = pcfCommand(9003);
    mqiPutI32(list.data(), offsetof(MQCFH, ParameterCount), 1);
    std::string all(16, '\0');
    mqiPutI32(all.data(), 0, MQCFT_INTEGER_LIST);
    mqiPutI32(all.data(), 4, 16);
    mqiPutI32(all.data(), 8, 39103);
    mqiPutI32(all.data(), 12, 0);
    send(MQFMT_ADMIN, list + all, &request);
    std::string pcf = reply(&md);
    ASSERT_GE(pcf.size(), MQCFH_STRUC_LENGTH);
    EXPECT_EQ(reasonOf(pcf), 0);
    EXPECT_EQ(mqiGetI32(pcf.data(), offsetof(MQCFH, Control)), MQCFC_LAST);
    // Nine queues, each its name alone, merged with eight separators.
    EXPECT_EQ(mqiGetI32(pcf.data(), offsetof(MQCFH, ParameterCount)), 9 + 8);
    MQLONG reason = 0;
    EXPECT_EQ(reply(&md, "REPLY.Q", &reason, 0), "");
    EXPECT_EQ(text.find("HOLVA.ZUNT.COMMAND.QUEUE"), std::string::npos);
}

// A display changes no stream: it neither holds nor suspends set E.
TEST_F(CmdQmTest, ADisplayMakesNoConsumerControlCall) {
    evRegisterCommandHandler(9000, nullptr);
    const MQIFunctionTable saved = evMQServerTable;
    wrapper = std::make_unique<zt::MqiWrapper>(saved);
    evMQServerTable = *wrapper->table();
    MQMD request = MQMD_DEFAULT;
    send(MQFMT_STRING, "DISPLAY EVQ(*) ALL", &request);
    send(MQFMT_STRING, "DISPLAY EV", &request);
    MQMD md{};
    EXPECT_FALSE(reply(&md).empty());
    EXPECT_FALSE(reply(&md).empty());
    evMQServerTable = saved;
    EXPECT_EQ(wrapper->count(zt::MqVerb::MQCTL), 0u);
    EXPECT_GE(wrapper->count(zt::MqVerb::MQPUT), 4u);  // the two requests and the two replies
}

}  // namespace
