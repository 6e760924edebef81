// Intake and replies: the checks every command passes before its handler, the refusals answered
// and committed, collation of responses and the reply messages' descriptors.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver/internal.h"
#include "cmdserver_testing.h"

namespace {

using ct::CmdTest;
using ct::fake;
using ct::handled;
using ct::PcfBuilder;

// A DISPLAY handler that shows three objects.
int threeObjects(QmgrContext *context, uint8_t *, int32_t) {
    for (int i = 0; i < 3; i++) {
        PcfCursor *builder = nullptr;
        if (!evStartPcfResponse(context, &builder)) return 0;
        char name[8];
        std::snprintf(name, sizeof name, "Q%d", i);
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFSetParm(builder, MQCFT_STRING, 39333, name, -1, 0, &cc, &rc);
        int32_t msgs = i;
        MQPCFSetParm(builder, MQCFT_INTEGER, 39341, &msgs, 4, 0, &cc, &rc);
        if (!evFinishPcfResponse(context)) return 0;
    }
    return 1;
}

int needsEmitter(QmgrContext *context, uint8_t *, int32_t) {
    return evPcfResponse(context, 9029, MQRCCF_PARM_MISSING, 39416, nullptr);
}

int okWithText(QmgrContext *context, uint8_t *, int32_t) {
    return evPcfResponse(context, 9003, HLVRCCF_COMMAND_OK_WITH_TEXT, 0, "Done~");
}

TEST_F(CmdTest, RepliesCarryTheRequestsIdentityAndGoToItsReplyQueue) {
    ASSERT_EQ(runPcf(PcfBuilder(9099).done()), 1);
    ASSERT_EQ(fake.puts.size(), 1u);
    const ct::Put &put = fake.puts[0];
    EXPECT_EQ(put.queue, "REPLY.Q");
    EXPECT_EQ(put.md.MsgType, MQMT_REPLY);
    EXPECT_EQ(put.md.CodedCharSetId, 850);
    EXPECT_EQ(std::string(put.md.Format, 8), "MQADMIN ");
    EXPECT_EQ(put.md.CorrelId[0], 0x11);  // the request's MsgId
    EXPECT_EQ(put.pmo.Options & MQPMO_SYNCPOINT, MQPMO_SYNCPOINT);
    ct::Pcf reply = ct::parse(put.data);
    EXPECT_EQ(reply.reason, MQRCCF_CFH_COMMAND_ERROR);
    EXPECT_EQ(reply.compCode, MQCC_FAILED);
    EXPECT_EQ(reply.control, MQCFC_LAST);
    EXPECT_TRUE(handled.empty());

    MQMD md = request(MQFMT_ADMIN);
    md.Report = MQRO_PASS_CORREL_ID;
    std::memset(md.ReplyToQ, ' ', sizeof md.ReplyToQ);
    std::memcpy(md.ReplyToQ, "#DLQ", 4);
    ASSERT_EQ(run(md, PcfBuilder(9099).done()), 1);
    EXPECT_EQ(fake.puts.back().queue, "SYSTEM.DEAD.LETTER.QUEUE");
    EXPECT_EQ(fake.puts.back().md.CorrelId[0], 0x22);
}

TEST_F(CmdTest, ABackedOutCommandIsAnsweredAndNotRun) {
    MQMD md = request(MQFMT_ADMIN);
    md.BackoutCount = 1;
    ASSERT_EQ(run(md, PcfBuilder(9003).done()), 1);
    EXPECT_TRUE(handled.empty());
    ct::Pcf reply = ct::parse(fake.puts.at(0).data);
    EXPECT_EQ(reply.reason, MQRC_BACKED_OUT);
    EXPECT_EQ(reply.get(CMD_PARM_TEXT).text, "Command transaction failed, please try again later");
    // Whatever the command: DEBUG, which never reaches the PCF checks, does not act either.
    evSettings.startTime.store(1);
    md = request(MQFMT_STRING);
    md.BackoutCount = 1;
    fake.puts.clear();
    const std::string debug = "DEBUG SHUTDOWN";
    ASSERT_EQ(run(md, std::vector<uint8_t>(debug.begin(), debug.end())), 1);
    EXPECT_EQ(evStopPending.load(), 0);
    EXPECT_EQ(allText(), "AMQ8426: Command transaction failed, please try again later|");
}

TEST_F(CmdTest, RefusalsAreAnsweredAndCommitted) {
    // Not a command: rejected without a reply, yet consumed.
    MQMD md = request("MQHRF2  ");
    EXPECT_EQ(run(md, {1, 2, 3, 4}), 1);
    EXPECT_TRUE(fake.puts.empty());

    // The event-processing rule: a changing command from the console's queue while set E works.
    cmdConsoleReplyQueue = [](char out[48]) {
        std::memset(out, ' ', 48);
        std::memcpy(out, "REPLY.Q", 7);
        return 1;
    };
    evConsumerActive.store(1);
    EXPECT_EQ(runPcf(PcfBuilder(9015).done()), 1);
    EXPECT_EQ(ct::parse(fake.puts.at(0).data).reason, MQRC_ENVIRONMENT_ERROR);
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(runPcf(PcfBuilder(9021).done()), 1);  // ADD EVALERT is exempt
    EXPECT_EQ(handled.size(), 1u);
    evConsumerActive.store(0);

    // Authority.
    fake.authorityReason = MQRC_NOT_AUTHORIZED;
    fake.puts.clear();
    EXPECT_EQ(runPcf(PcfBuilder(9015).done()), 1);
    ct::Pcf reply = ct::parse(fake.puts.at(0).data);
    EXPECT_EQ(reply.reason, MQRC_NOT_AUTHORIZED);
    EXPECT_EQ(reply.get(CMD_PARM_TEXT).text, "Command not authorized.");
    EXPECT_EQ(handled.size(), 1u);
    EXPECT_EQ(runPcf(PcfBuilder(9003).done()), 1);  // a display needs none
    EXPECT_EQ(handled.size(), 2u);
}

TEST_F(CmdTest, TheAuthorityCacheSavesOpensForItsDuration) {
    auto authorityOpens = [] {
        int n = 0;
        for (MQLONG options : fake.openOptions) n += (options & MQOO_SET) ? 1 : 0;
        return n;
    };
    zt::TestClock clock;
    evClockTick();
    evSettings.authDuration.store(10);
    ASSERT_EQ(runPcf(PcfBuilder(9017).done()), 1);
    ASSERT_EQ(runPcf(PcfBuilder(9017).done()), 1);
    EXPECT_EQ(authorityOpens(), 1);
    // The reply queue is opened first, before the command runs.
    size_t at = 0;
    while (at < fake.openOptions.size() && !(fake.openOptions[at] & MQOO_SET)) at++;
    ASSERT_LT(at, fake.opens.size());
    EXPECT_EQ(ct::field(fake.opens[at].AlternateUserId, 12), "alice");
    EXPECT_EQ(fake.openOptions[at], 0x1050);
    evSettings.authDuration.store(0);
    ASSERT_EQ(runPcf(PcfBuilder(9017).done()), 1);
    ASSERT_EQ(runPcf(PcfBuilder(9017).done()), 1);
    EXPECT_EQ(authorityOpens(), 3);
    evClockTick();
}

TEST_F(CmdTest, StopEvActsOnlyOnACommandPutAfterTheStart) {
    evSettings.startTime.store(1767268800);  // 2026-01-01 12:00:00 UTC, the request's put time
    ASSERT_EQ(runPcf(PcfBuilder(CMD_STOP_EV).done()), 1);
    EXPECT_EQ(evStopPending.load(), 0);
    evSettings.startTime.store(1767268799);
    ASSERT_EQ(runPcf(PcfBuilder(CMD_STOP_EV).done()), 1);
    EXPECT_EQ(evStopPending.load(), 1);
    EXPECT_TRUE(fake.puts.empty());  // STOP EV is never answered
}

TEST_F(CmdTest, EscapesNeedTheirTextAndAnswerStrayParameters) {
    ASSERT_EQ(runPcf(PcfBuilder(MQCMD_ESCAPE).done()), 1);
    ct::Pcf reply = ct::parse(fake.puts.at(0).data);
    EXPECT_EQ(reply.command, MQCMD_ESCAPE);
    EXPECT_NE(reply.get(MQCACF_ESCAPE_TEXT).text.find("'Escape text' is required"), std::string::npos);

    fake.puts.clear();
    ASSERT_EQ(
        runPcf(PcfBuilder(MQCMD_ESCAPE).string(2015, "QM1").string(MQCACF_ESCAPE_TEXT, "DIS EVQ(*)").done()),
        1);
    EXPECT_EQ(lastHandled().command, 9003);
    EXPECT_NE(allText().find("AMQ8426: Invalid Parameter"), std::string::npos);
}

TEST_F(CmdTest, PcfRequestersGetTheirResponsesMerged) {
    evRegisterCommandHandler(9003, threeObjects);
    ASSERT_EQ(runPcf(PcfBuilder(9003).done()), 1);
    ASSERT_EQ(fake.puts.size(), 1u);
    ct::Pcf reply = ct::parse(fake.puts[0].data);
    EXPECT_EQ(reply.count, 3 * 2 + 2);
    EXPECT_EQ(reply.control, MQCFC_LAST);
    int separators = 0;
    for (const ct::Parm &p : reply.parms) separators += p.id == CMD_PARM_SEPARATOR && p.value == 0 ? 1 : 0;
    EXPECT_EQ(separators, 2);

    // One message per response on request: only the last is the last.
    fake.puts.clear();
    evSendEachItem.store(1);
    ASSERT_EQ(runPcf(PcfBuilder(9003).done()), 1);
    ASSERT_EQ(fake.puts.size(), 3u);
    EXPECT_EQ(ct::parse(fake.puts[0].data).control, MQCFC_NOT_LAST);
    EXPECT_EQ(ct::parse(fake.puts[1].data).control, MQCFC_NOT_LAST);
    EXPECT_EQ(ct::parse(fake.puts[2].data).control, MQCFC_LAST);
    EXPECT_EQ(ct::parse(fake.puts[2].data).reason, 0);
}

TEST_F(CmdTest, TextRequestersGetAmqTexts) {
    evRegisterCommandHandler(9003, threeObjects);
    ASSERT_EQ(runMqsc("DIS EVQ(*)"), 1);
    ASSERT_EQ(fake.puts.size(), 1u);
    EXPECT_EQ(std::string(fake.puts[0].md.Format, 8), "MQSTR   ");
    EXPECT_EQ(texts()[0], "AMQ8409: Display ZUNT Queue details.\nEVQ(Q0) MSGS(0) ");
    EXPECT_EQ(texts().size(), 3u);

    fake.puts.clear();
    evRegisterCommandHandler(9029, needsEmitter);
    ASSERT_EQ(runMqsc("DEFINE EVEMIT(E1)"), 1);
    EXPECT_EQ(allText(), "AMQ8426: Parameter 'EVEMIT' is required for this command|");

    // An escape requester: the text inside an escape response, its completion from the reason.
    fake.puts.clear();
    evRegisterCommandHandler(9003, okWithText);
    ASSERT_EQ(runPcf(PcfBuilder(MQCMD_ESCAPE).string(MQCACF_ESCAPE_TEXT, "DIS EVQ(*)").done()), 1);
    ct::Pcf reply = ct::parse(fake.puts.at(0).data);
    EXPECT_EQ(reply.command, MQCMD_ESCAPE);
    EXPECT_EQ(reply.compCode, MQCC_WARNING);
    EXPECT_EQ(reply.reason, HLVRCCF_COMMAND_OK_WITH_TEXT);
    EXPECT_EQ(reply.get(MQCACF_ESCAPE_TEXT).text, "AMQ8005: Done");
}

TEST_F(CmdTest, TheParameterInErrorGoesOnlyWithItsReasons) {
    cmdRequest(&evContext)->kind = CMD_KIND_PCF;  // a PCF requester, whatever the test before left
    ASSERT_EQ(evPcfResponse(&evContext, 9003, 3229, 39333, "x"), 1);  // collated, nothing put yet
    ASSERT_EQ(evPcfResponse(&evContext, 9003, 2085, 39333, "y"), 1);
    CmdRequest *r = cmdRequest(&evContext);
    ASSERT_NE(r->collation, nullptr);
    std::vector<uint8_t> bytes(AreaData(r->collation), AreaData(r->collation) + r->collation->used);
    ct::Pcf merged = ct::parse(bytes);
    int named = 0;
    for (const ct::Parm &p : merged.parms) named += p.id == MQIACF_PARAMETER_ID ? 1 : 0;
    EXPECT_EQ(named, 1);
    cmdReleaseAreas(r);
}

TEST_F(CmdTest, ADatagramRunsItsCommandWithoutAReply) {
    zt::ConsoleCapture capture;
    MQMD md = request(MQFMT_ADMIN);
    std::memset(md.ReplyToQ, ' ', sizeof md.ReplyToQ);
    ASSERT_EQ(run(md, PcfBuilder(9099).done()), 1);
    ASSERT_EQ(run(md, PcfBuilder(9003).done()), 1);
    EXPECT_EQ(handled.size(), 1u);
    EXPECT_TRUE(fake.puts.empty());
    EXPECT_TRUE(fake.opens.empty());
    EXPECT_EQ((capture.out() + capture.err()).find("Error opening reply queue"), std::string::npos);
}

TEST_F(CmdTest, AFailedReplyOpenIsLoggedAndTheCommandStillCommits) {
    zt::ConsoleCapture capture;
    fake.openReason = MQRC_UNKNOWN_OBJECT_NAME;
    ASSERT_EQ(runPcf(PcfBuilder(9003).done()), 1);
    EXPECT_EQ(handled.size(), 1u);
    ASSERT_EQ(runPcf(PcfBuilder(9099).done()), 1);
    EXPECT_NE((capture.out() + capture.err()).find("Error opening reply queue '"), std::string::npos);
}

TEST_F(CmdTest, ReplyQueuesAreCachedAndClosedWhenIdle) {
    zt::TestClock clock;
    evClockTick();
    ASSERT_EQ(runPcf(PcfBuilder(9099).done()), 1);
    ASSERT_EQ(runPcf(PcfBuilder(9099).done()), 1);
    EXPECT_EQ(fake.opens.size(), 1u);
    clock.advanceMs(121000);
    evClockTick();
    ASSERT_EQ(runPcf(PcfBuilder(9099).done()), 1);
    EXPECT_EQ(fake.closes, 1);
    EXPECT_EQ(fake.opens.size(), 2u);
    evCloseReplyCache(&evContext);
    EXPECT_EQ(fake.closes, 2);
    evClockTick();
}

TEST_F(CmdTest, TheModelQueueNameFitsWithALongUserName) {
    char name[48];
    cmdDynamicName(std::string(49, 'u').c_str(), name);
    std::string expected(48, 'u');
    expected.replace(0, 5, "ZUNT.");
    expected.replace(46, 2, ".*");
    EXPECT_EQ(std::string(name, 48), expected);
    cmdDynamicName("a b-c", name);
    EXPECT_EQ(ct::field(name, 48), "ZUNT.a_b_c.*");
}

}  // namespace
