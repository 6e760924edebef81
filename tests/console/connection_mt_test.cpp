// Connections over a fake MQ library: the connect options and their retries, the reply queue, the
// engine's link, issuing commands and collating their replies, with the worker and reply threads.
#include <string>
#include <vector>

#include "console/internal.h"
#include "console_testing.h"
#include "fake_mq.h"

namespace {

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = zt::localConsoleStart("QM1");
        evSet(EV_SET_C)->consumerStarted.store(1);
        ASSERT_EQ(cslApplyConfiguration(), 1);
        s = gSession.load();
        s->formatting = 0;
    }
    void TearDown() override {
        cslEndSession();
        EXPECT_EQ(gSession.load(), nullptr);
        evStart = saved;
        evSet(EV_SET_C)->consumerStarted.store(0);
        cslEventFunctionFlag.store(0);
        evEndFlag.store(0);
    }
    std::vector<std::string> texts() const { return zt::linesAfter(s); }
    bool shown(const std::string &text) const {
        for (const std::string &t : texts())
            if (t == text) return true;
        return false;
    }
    int connect() { return cslIssueMQCommand(s, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr); }
    int conn(const std::string &parameters) {
        std::string text = "=conn " + parameters;
        return cslDoConnectCommand(s, text.c_str(), CSL_REQUEST_LOCAL, parameters.c_str());
    }
    int command(const char *text) {
        return cslIssueMQCommand(s, text, CSL_REQUEST_COMMAND, 0, 0, 0, nullptr);
    }
    // Answers every command put with one escape response.
    void answer(std::vector<std::string> texts, int32_t reason = 0) {
        mq.s().responder = [texts, reason](const fakemq::Put &put) {
            fakemq::reply(put, fakemq::escapeResponse(texts, reason));
        };
    }

    EvStartSettings saved{};
    fakemq::Library mq;
    zt::ConsoleCapture console;
    zt::ScopedTZ tz{"UTC0"};
    cslSession *s = nullptr;
};

TEST_F(ConnectionTest, RefusedOptionsAreDroppedOneByOneAndTheEnginesLinkIsFilled) {
    mq.s().connectFailures = {2046, 2046, 2046};
    EXPECT_EQ(connect(), 1);
    const std::vector<fakemq::Connect> &c = mq.s().connects;
    ASSERT_EQ(c.size(), 5u);  // four for the main handle, one for the reply handle
    EXPECT_EQ(c[0].options, 0x1000A440);
    EXPECT_EQ(c[1].options, 0xA440);
    EXPECT_EQ(c[2].options, 0xA040);
    EXPECT_EQ(c[3].options, 0x40);
    EXPECT_EQ(c[4].options, 0x40);
    EXPECT_TRUE(c[0].applName);
    EXPECT_EQ(c[0].target, "QM1");
    EXPECT_TRUE(shown("Connected to 'QM1'"));
    EXPECT_EQ(evConsoleLink.hconn.load(), s->current->hconn.load());
    EXPECT_EQ(evConsoleLink.commandQueue.load(), -1);
    EXPECT_EQ(evConsoleLink.mq.load(), &cslServerTable);
    char replyQueue[48];
    ASSERT_EQ(cslCurrentReplyQueue(replyQueue), 1);
    EXPECT_EQ(std::string(replyQueue, 48),
              std::string(s->current->replyQueueName) +
                  std::string(48 - std::strlen(s->current->replyQueueName), ' '));

    EXPECT_EQ(cslIssueMQCommand(s, "=disc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    EXPECT_TRUE(shown("Disconnected from 'QM1'"));
    EXPECT_EQ(evConsoleLink.hconn.load(), -1);
    EXPECT_EQ(cslCurrentReplyQueue(replyQueue), 0);
    EXPECT_EQ(s->current, &s->templateConnection);
}

TEST_F(ConnectionTest, AnOldClientIsToldWhatItLacks) {
    mq.s().connectFailures = {2139, 2139};
    conn("ccdturl(http://h/ccdt) qm(QM1)");
    ASSERT_EQ(mq.s().connects.size(), 2u);
    EXPECT_TRUE(mq.s().connects[0].applName);
    EXPECT_FALSE(mq.s().connects[1].applName);
    EXPECT_EQ(texts(), (std::vector<std::string>{"=conn ccdturl(http://h/ccdt) qm(QM1)",
                                                 "A CCDT URL requires an MQ v9 Client or later"}));
}

TEST_F(ConnectionTest, UnavailableBindingsAndRefusedCredentials) {
    mq.s().connectFailures = {2568};
    EXPECT_EQ(connect(), 1);  // a refused connect is still an answered request
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"Check whether client or server bindings is set correctly",
                                        "Connect to 'QM1' failed. RC(2568) MQRC_CONNECTION_NOT_AVAILABLE"}));
    EXPECT_EQ(evConsoleLink.hconn.load(), -1);

    char user[64];
    char password[64];
    conn("qm(QM1) user(joe) pwd(secret)");
    ASSERT_TRUE(shown("Connected to 'QM1'"));
    EXPECT_EQ(cslRememberedCredentials("QM1", user, sizeof user, password, sizeof password), 1);
    EXPECT_STREQ(password, "secret");
    cslIssueMQCommand(s, "=disc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    mq.s().connectFailures = {2035};
    conn("qm(QM1)");  // the remembered user and password are offered, and refused
    EXPECT_EQ(cslRememberedCredentials("QM1", user, sizeof user, password, sizeof password), 0);
}

TEST_F(ConnectionTest, TheSameOptionsReuseTheConnection) {
    conn("qm(QM1)");
    conn("qm(QM1)");
    EXPECT_EQ(mq.s().connects.size(), 2u);
    EXPECT_TRUE(shown("Already using connection to 'QM1'"));
    conn("qm(QM1) conname(hostB)");  // another host is another connection
    EXPECT_EQ(mq.s().connects.size(), 4u);
}

TEST_F(ConnectionTest, AConnectionViaAnotherQueueManagerTakesItsNamesFromTheQueueManager) {
    mq.s().commandLevel = 924;
    conn("via(QM1) qm(QM2)");
    EXPECT_TRUE(shown("Connected to 'QM1' - Administering 'QM2'"));
    EXPECT_EQ(s->current->commandLevel, 924);
    EXPECT_NE(evConsoleLink.hconn.load(), -1);
    cslIssueMQCommand(s, "=disc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    mq.s().qmgrName = "QM3";
    conn("qm(QM3)");  // not the engine's queue manager: no link
    EXPECT_TRUE(shown("Connected to 'QM3'"));
    EXPECT_EQ(evConsoleLink.hconn.load(), -1);
}

TEST_F(ConnectionTest, TheReplyQueueOpensWithoutReadAheadWhenRefused) {
    mq.s().openFailures = {0, 0, 2046};  // the qmgr object, the command queue, then the reply queue
    connect();
    std::vector<fakemq::Open> opens = mq.s().opens;
    ASSERT_GE(opens.size(), 5u);
    EXPECT_EQ(opens[2].name, "SYSTEM.DEFAULT.MODEL.QUEUE");
    EXPECT_EQ(opens[2].options, 0x100004);
    EXPECT_EQ(opens[3].options, 0x4);
    EXPECT_STREQ(s->current->replyQueueName, "ZUNT.REPLY.1");
}

TEST_F(ConnectionTest, AFailedReplyQueueLeavesNothingConnected) {
    mq.s().openFailures = {0, 0, 2085};
    connect();
    EXPECT_TRUE(shown(
        "Error opening reply queue 'QM1/SYSTEM.DEFAULT.MODEL.QUEUE' on 'QM1' RC(2085) Unknown object name"));
    EXPECT_EQ(mq.s().disconnects, 2);
    EXPECT_EQ(evConsoleLink.hconn.load(), -1);
    EXPECT_EQ(s->current, &s->templateConnection);
}

int joe(char *out, size_t size) {
    std::snprintf(out, size, "joe");
    return 1;
}
const CslIdentity kJoe = {joe, nullptr};

TEST_F(ConnectionTest, TheReplyPrefixTakesTheUserName) {
    const CslIdentity *savedIdentity = cslSetIdentity(&kJoe);
    cslConnection *t = &s->templateConnection;
    const struct {
        const char *prefix;
        const char *name;
    } cases[] = {{"%U.*", "JOE.*"}, {"%u.*", "joe.*"}, {"%%A", "%A"}, {"%x", "x"}, {"", ""}};
    for (const auto &c : cases) {
        std::snprintf(t->replyPrefix, sizeof t->replyPrefix, "%s", c.prefix);
        char out[CSL_NAME_MAX + 1];
        cslBuildReplyPrefix(s, t, out);
        EXPECT_STREQ(out, c.name) << c.prefix;
    }
    cslSetIdentity(savedIdentity);
}

TEST_F(ConnectionTest, ACommandGoesAsEscapePcfAndItsRepliesAreCollated) {
    connect();
    answer({"AMQ8408I: Display Queue Manager details.\n   QMNAME(QM1)"});
    EXPECT_EQ(command("DISPLAY QMGR"), 1);
    ASSERT_EQ(mq.s().puts.size(), 1u);
    const fakemq::Put &put = mq.s().puts[0];
    std::vector<uint8_t> expected = zt::fromHex(
        "01000000 24000000 01000000 26000000 01000000 01000000 00000000 00000000 02000000"
        "03000000 10000000 f9030000 01000000"
        "04000000 20000000 c60b0000 00000000 0c000000");
    const std::string text = "DISPLAY QMGR";
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_BYTES_EQ(std::string(expected.begin(), expected.end()),
                    std::string(put.data.begin(), put.data.end()));
    EXPECT_EQ(std::memcmp(put.md.Format, "MQADMIN ", 8), 0);
    EXPECT_EQ(mqiGetU32(put.md.MsgId, 0), static_cast<uint32_t>(s->tag));
    EXPECT_EQ(mqiGetU16(put.md.MsgId, 16), 1);
    EXPECT_EQ(fakemq::trimmed(put.md.ReplyToQ, 48), "ZUNT.REPLY.1");
    std::vector<std::string> lines = texts();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()),
              (std::vector<std::string>{"DISPLAY QMGR", "AMQ8408I: Display Queue Manager details.",
                                        "   QMNAME(QM1)", "", "Total display responses - Received:1"}));
    EXPECT_EQ(s->summaryIssued.load(), 1);
    EXPECT_EQ(s->summarySucceeded.load(), 1);
}

TEST_F(ConnectionTest, ColumnsLeaveAFullAttributeAnEmptyColumnAndLongResponsesKeepEveryAttribute) {
    connect();
    s->formatting = 1;
    s->screenWidth = 60;
    answer({"AMQ8409I: Display Queue details.\n   QUEUE(ABCDEFGHIJKLM)   TYPE(QLOCAL)"});
    command("DISPLAY QLOCAL(*)");
    EXPECT_TRUE(shown("AMQ8409I: Display Queue details."));
    EXPECT_TRUE(shown("QUEUE(ABCDEFGHIJKLM)" + std::string(20, ' ') + "TYPE(QLOCAL)"));

    s->screenWidth = 999999999;  // the script loader's width: one line, as long as it can be
    std::string many = "AMQ8409I: Display Queue details.\n";
    for (int i = 0; i < 300; ++i) many += " ATTR" + std::to_string(1000 + i) + "(x)";
    answer({many});
    command("DISPLAY QLOCAL(B)");
    size_t found = 0;
    for (const std::string &line : texts())
        for (size_t at = line.find("ATTR"); at != std::string::npos; at = line.find("ATTR", at + 1)) ++found;
    EXPECT_EQ(found, 300u);
}

TEST_F(ConnectionTest, LimitedResponsesAreNotedWithoutFailing) {
    connect();
    answer({"AMQ8409I: Display Queue details.\n   QUEUE(A)"}, 10001);
    command("DISPLAY QLOCAL(*)");
    std::vector<std::string> lines = texts();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"", "Responses limited as requested",
                                        "Total display responses - Received:1"}));
    EXPECT_EQ(s->summaryFailed.load(), 0);
}

TEST_F(ConnectionTest, RepliesOfAnotherSessionOrNoRequestAreIgnored) {
    connect();
    mq.s().responder = [](const fakemq::Put &put) {
        fakemq::Put foreign = put;
        foreign.md.MsgId[0] ^= 0xFF;  // another session's tag
        fakemq::reply(foreign, fakemq::escapeResponse({"AMQ8000: foreign"}));
        fakemq::Put future = put;
        mqiPutU32(future.md.MsgId, 4, 99);  // a request never put
        fakemq::reply(future, fakemq::escapeResponse({"AMQ8000: forged"}));
        fakemq::reply(put, std::vector<uint8_t>(20, 0));  // too short to say whether more follow
    };
    command("ALTER QMGR DESCR(x)");
    EXPECT_FALSE(shown("AMQ8000: foreign"));
    EXPECT_FALSE(shown("AMQ8000: forged"));
    EXPECT_TRUE(shown("Command processing RC(2071) Storage not available"));
    EXPECT_EQ(s->summaryFailed.load(), 1);
}

TEST_F(ConnectionTest, OwnQueueDisplaysTakeTheLocalZone) {
    connect();
    answer({"AMQ8000: done"});
    evTzOffset.store(60);
    EXPECT_EQ(cslIssueMQCommand(s, "=zunt", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    EXPECT_TRUE(shown("Commands directed to ZUNT"));
    command("DISPLAY STATQ(*)");
    command("dis events(x) tz(0)");
    ASSERT_EQ(mq.s().puts.size(), 2u);
    auto sent = [&](size_t i) {
        const std::vector<uint8_t> &d = mq.s().puts[i].data;
        return std::string(d.begin() + 72, d.begin() + 72 + mqiGetI32(d.data(), 68));
    };
    EXPECT_EQ(sent(0), "DISPLAY STATQ(*) TZ(60)");
    EXPECT_EQ(sent(1), "dis events(x) tz(0)");
    EXPECT_EQ(mq.s().opens.back().name, "HOLVA.ZUNT.COMMAND.QUEUE");
    evTzOffset.store(0);
}

TEST_F(ConnectionTest, AHookCommandCarriesTheEventAndANotRunningServerIsNotAsked) {
    connect();
    answer({"AMQ8000: done"});
    cslIssueMQCommand(s, "=zunt", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    cslEventFunctionFlag.store(1);
    evEventSequence.store(77);
    command("ADD EVALERT(x)");
    ASSERT_EQ(mq.s().puts.size(), 1u);
    EXPECT_EQ(mqiGetI32(mq.s().puts[0].data.data(), 12), 9022);
    EXPECT_EQ(mqiGetU32(mq.s().puts[0].md.CorrelId, 20), 77u);
    cslEventFunctionFlag.store(0);

    evSet(EV_SET_C)->consumerStarted.store(0);
    EXPECT_EQ(command("DISPLAY EV"), 0);
    EXPECT_TRUE(shown("ZUNT command server is not running"));
    EXPECT_EQ(mq.s().puts.size(), 1u);
}

TEST_F(ConnectionTest, ACommandFromTheWorkerThreadIsRefused) {
    connect();
    int nested = -1;
    mq.s().responder = [&](const fakemq::Put &put) {
        nested = cslIssueMQCommand(gSession.load(), "DISPLAY QMGR", CSL_REQUEST_COMMAND, 0, 0, 0, nullptr);
        fakemq::reply(put, fakemq::escapeResponse({"AMQ8000: done"}));
    };
    command("DISPLAY QMGR");
    EXPECT_EQ(nested, 0);
    EXPECT_TRUE(shown("Previous command has not completed yet"));
}

TEST_F(ConnectionTest, AConnectAfterAQuietDisconnectServesCommandsAgain) {
    connect();
    cslIssueMQCommand(s, "=disc", CSL_REQUEST_INTERNAL, 0, 1, 0, nullptr);
    EXPECT_FALSE(cslConnected(s->current));
    connect();
    answer({"AMQ8000: done"});
    EXPECT_EQ(command("PING QMGR"), 1);
    EXPECT_TRUE(shown("AMQ8000: done"));
    EXPECT_FALSE(shown("Not currently connected."));
}

TEST_F(ConnectionTest, ABrokenConnectionEndsTheWaitingCommand) {
    connect();
    mq.s().responder = [](const fakemq::Put &put) {
        fakemq::reply(put, fakemq::escapeResponse({"AMQ8000: part"}, 0, 0, 0));  // more to come
    };
    std::thread breaker([&] {
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(mq.s().mutex);
                if (!mq.s().puts.empty()) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> hold(mq.s().mutex);
        mq.s().replies.push_back({MQMD_DEFAULT, {}});  // an empty message while not ending: skipped
        s->current->ending.store(1);
        mq.s().arrived.notify_all();
    });
    EXPECT_EQ(command("DISPLAY QLOCAL(*)"), 1);
    breaker.join();
    EXPECT_TRUE(shown("AMQ8000: part"));
    EXPECT_EQ(s->lastReason.load(), 2059);
}

std::string escapeText(const fakemq::Put &put) {
    const std::vector<uint8_t> &d = put.data;
    return std::string(d.begin() + 72, d.begin() + 72 + mqiGetI32(d.data(), 68));
}

TEST_F(ConnectionTest, WhereAndAnInnerWildcardAreFilteredHereAndNarrowedForTheServer) {
    connect();
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    answer({"AMQ8409I: Display Queue details.\n   QUEUE(AXB)  CURDEPTH(5)",
            "AMQ8409I: Display Queue details.\n   QUEUE(AXC)  CURDEPTH(5)",
            "AMQ8409I: Display Queue details.\n   QUEUE(AYB)  CURDEPTH(0)",
            "AMQ8409I: Display Queue details.\n   QUEUE(AZB)"});
    command("DISPLAY QUEUE(A*B) =WHERE(CURDEPTH > 0)");
    ASSERT_EQ(mq.s().puts.size(), 1u) << ::testing::PrintToString(texts());
    const std::string sent = escapeText(mq.s().puts[0]);
    EXPECT_EQ(sent.find("=WHERE"), std::string::npos) << sent;
    EXPECT_NE(sent.find("QUEUE(A*)"), std::string::npos) << sent;
    EXPECT_NE(sent.find(" CURDEPTH "), std::string::npos) << sent;
    EXPECT_TRUE(shown("   QUEUE(AXB)  CURDEPTH(5)"));
    EXPECT_FALSE(shown("   QUEUE(AXC)  CURDEPTH(5)"));
    EXPECT_FALSE(shown("   QUEUE(AYB)  CURDEPTH(0)"));
    EXPECT_FALSE(shown("   QUEUE(AZB)"));  // without the attribute the filter fails
    EXPECT_TRUE(shown("Total display responses - Received:4 Matched:1"));

    answer({"AMQ8409I: Display Queue details.\n   QUEUE(ABC)"});
    command("DISPLAY QLOCAL(ABC*) =FIND('abc')");
    EXPECT_EQ(escapeText(mq.s().puts[1]), "DISPLAY QLOCAL(ABC*) ");
    EXPECT_FALSE(shown("   QUEUE(ABC)"));
    command("DISPLAY QLOCAL(ABC*) =FIND(abc)");
    EXPECT_TRUE(shown("   QUEUE(ABC)"));
}

TEST_F(ConnectionTest, ResetQStatsGoesAsPcfAndABadOneIsAnsweredHere) {
    connect();
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    command("RESET QSTATS(Q1");
    EXPECT_TRUE(mq.s().puts.empty());
    EXPECT_TRUE(shown("AMQ8405: Syntax error detected at or near command segment below :-"));
    EXPECT_TRUE(shown("  RESET QSTATS( generic_q_name )"));

    mq.s().responder = [](const fakemq::Put &put) {
        std::vector<uint8_t> m(36 + 24 + 4 * 16);
        const int32_t head[] = {2, 36, 1, 17, 1, 1, 0, 0, 5};
        for (size_t i = 0; i < 9; ++i) mqiPutI32(m.data(), i * 4, head[i]);
        const int32_t name[] = {4, 24, 2016, 0, 2};
        for (size_t i = 0; i < 5; ++i) mqiPutI32(m.data(), 36 + i * 4, name[i]);
        std::memcpy(m.data() + 56, "Q1", 2);
        const int32_t values[][2] = {{35, 10}, {36, 5}, {37, 3}, {38, 2}};
        for (size_t v = 0; v < 4; ++v) {
            const int32_t cfin[] = {3, 16, values[v][0], values[v][1]};
            for (size_t i = 0; i < 4; ++i) mqiPutI32(m.data(), 60 + v * 16 + i * 4, cfin[i]);
        }
        fakemq::reply(put, m);
    };
    command("RESET QSTATS(Q1)");
    ASSERT_EQ(mq.s().puts.size(), 1u);
    const std::vector<uint8_t> &d = mq.s().puts[0].data;
    EXPECT_EQ(mqiGetI32(d.data(), 12), 17);
    EXPECT_EQ(mqiGetI32(d.data(), 44), 2016);
    EXPECT_TRUE(shown("QSTATS(Q1) RESETINT(10) HIQDEPTH(5) MSGSIN(3) MSGSOUT(2) "));
}

TEST_F(ConnectionTest, ANamelistChangeReadsTheNamesThenSendsTheWholeList) {
    connect();
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    mq.s().responder = [](const fakemq::Put &put) {
        const std::string text = escapeText(put);
        if (text.rfind("DISPLAY NAMELIST(X) NAMES", 0) == 0)
            fakemq::reply(put, fakemq::escapeResponse(
                                   {"AMQ8550I: Display namelist details.\n   NAMELIST(X)   NAMES(A,C1,C2)"}));
        else
            fakemq::reply(put, fakemq::escapeResponse({"AMQ8008I: IBM MQ namelist changed."}));
    };
    EXPECT_EQ(command("ALTER NL(X) =ADD(A,B) =RMV(C*)"), 1);
    std::vector<std::string> sent;
    for (const fakemq::Put &put : mq.s().puts) sent.push_back(escapeText(put));
    ASSERT_EQ(mq.s().puts.size(), 2u) << ::testing::PrintToString(sent) << ::testing::PrintToString(texts());
    EXPECT_EQ(escapeText(mq.s().puts[0]), "DISPLAY NAMELIST(X) NAMES");
    const std::string alter = escapeText(mq.s().puts[1]);
    EXPECT_EQ(alter.rfind("ALTER NL(X)", 0), 0u) << alter;
    EXPECT_NE(alter.find(" NAMES('A',B)"), std::string::npos) << alter;
    EXPECT_EQ(alter.find("=ADD"), std::string::npos) << alter;
    EXPECT_EQ(mqiGetU32(mq.s().puts[1].md.MsgId, 4), mqiGetU32(mq.s().puts[0].md.MsgId, 4));
    EXPECT_TRUE(shown("AMQ8008I: IBM MQ namelist changed."));

    command("ALTER NL(X) =RMV(*)");
    EXPECT_NE(escapeText(mq.s().puts[3]).find(" NAMES(' ')"), std::string::npos);
    command("ALTER NL(X) NAMES(A) =ADD(B)");
    EXPECT_TRUE(shown("You can not specify NAMES() if using =ADD() or =RMV()"));
    EXPECT_EQ(mq.s().puts.size(), 4u);
}

// On z/OS the namelist's display comes as text messages: CSQM407I holds the names.
TEST_F(ConnectionTest, ANamelistChangeOnZosReadsTheTextDisplay) {
    mq.s().platform = 1;
    connect();
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    mq.s().responder = [](const fakemq::Put &put) {
        const std::string text(put.data.begin(), put.data.end());
        if (text.rfind("DISPLAY NAMELIST(X) NAMES", 0) == 0) {
            for (const char *reply : {"CSQN205I   COUNT=       3, RETURN=00000000, REASON=00000000",
                                      "CSQM407I !MQ1 NAMELIST(X) QSGDISP(QMGR) NAMES(A,C1)",
                                      "CSQ9022I !MQ1 CSQMDRTS ' DISPLAY NAMELIST' NORMAL COMPLETION"})
                fakemq::replyText(put, reply);
        } else {
            fakemq::replyText(put, "CSQ9022I !MQ1 CSQMMSGP ' ALTER NAMELIST' NORMAL COMPLETION");
        }
    };
    EXPECT_EQ(command("ALTER NL(X) =ADD(B)"), 1);
    ASSERT_EQ(mq.s().puts.size(), 2u) << ::testing::PrintToString(texts());
    const std::string alter(mq.s().puts[1].data.begin(), mq.s().puts[1].data.end());
    EXPECT_NE(alter.find(" NAMES('A','C1',B)"), std::string::npos) << alter;
    EXPECT_TRUE(shown("CSQ9022I !MQ1 CSQMMSGP ' ALTER NAMELIST' NORMAL COMPLETION"));
}

TEST_F(ConnectionTest, AZosCommandScopeDisplayHasASubtotalPerQueueManagerAndATotal) {
    mq.s().platform = 1;
    connect();
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    mq.s().responder = [](const fakemq::Put &put) {
        for (const char *text :
             {"CSQN121I !MQ1 'DISPLAY QLOCAL' command responses from QM1", "CSQM401I !MQ1 QUEUE(A)",
              "CSQ9022I !MQ1 CSQMDRTS ' DISPLAY QLOCAL' NORMAL COMPLETION",
              "CSQN121I !MQ1 'DISPLAY QLOCAL' command responses from QM2", "CSQM401I !MQ2 QUEUE(B)",
              "CSQM401I !MQ2 QUEUE(C)", "CSQ9022I !MQ2 CSQMDRTS ' DISPLAY QLOCAL' NORMAL COMPLETION",
              "CSQN122I !MQ1 'DISPLAY QLOCAL' command for CMDSCOPE(*) normal completion"})
            fakemq::replyText(put, text);
    };
    EXPECT_EQ(command("DISPLAY QLOCAL(*) CMDSCOPE(*)"), 1);
    ASSERT_EQ(mq.s().puts.size(), 1u);
    EXPECT_EQ(std::memcmp(mq.s().puts[0].md.Format, "MQSTR   ", 8), 0);
    EXPECT_EQ(std::string(mq.s().puts[0].data.begin(), mq.s().puts[0].data.end()),
              "DISPLAY QLOCAL(*) CMDSCOPE(*)");
    EXPECT_TRUE(shown("Subtotal display responses - Received:1"));
    EXPECT_TRUE(shown("Subtotal display responses - Received:2"));
    EXPECT_TRUE(shown("Total display responses - Received:3"));
    EXPECT_TRUE(shown("CSQM401I !MQ2 QUEUE(C)"));
    EXPECT_TRUE(
        shown("CSQN122I !MQ1 'DISPLAY QLOCAL' command for CMDSCOPE(*) normal completion"));  // formatting off
}

TEST_F(ConnectionTest, ALargeReplyIsReadWholeAndAFullCommandQueueIsReported) {
    connect();
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    const std::string big = "AMQ8409I: Display Queue details.\n   DESCR(" + std::string(100000, 'd') + ")";
    answer({big});
    command("DISPLAY QLOCAL(BIG)");
    EXPECT_TRUE(shown("   DESCR(" + std::string(100000, 'd') + ")"));
    mq.s().putFailure = 2053;
    command("DISPLAY QLOCAL(X)");
    EXPECT_TRUE(shown("Error putting to QM1/SYSTEM.ADMIN.COMMAND.QUEUE RC(2053) Q full"));
}

TEST_F(ConnectionTest, TheAttributeCheckCountsWhatTheTablesDoNotKnow) {
    connect();
    cslIssueMQCommand(s, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr);
    s->formatting = 1;
    mq.s().responder = [](const fakemq::Put &put) {
        if (escapeText(put) == "DISPLAY QMGR ALL")
            fakemq::reply(put,
                          fakemq::escapeResponse({"AMQ8408I: Display Queue Manager details.\n   FOOBAR(1)"}));
        else
            fakemq::reply(put, fakemq::escapeResponse({"AMQ8147E: IBM MQ object not found."}, 0, 2));
    };
    cslIssueCommand(s, "!unhandled!");
    EXPECT_TRUE(shown("  Unhandled attribute FOOBAR"));
    EXPECT_TRUE(shown("There are 1 unhandled attributes."));
    EXPECT_GT(mq.s().puts.size(), 20u);
    EXPECT_EQ(s->attributeCheckRunning, 0);
}

TEST_F(ConnectionTest, ATeardownWhoseDisconnectHangsReturnsAfterTenSecondsAndKeepsTheSession) {
    connect();
    mq.s().blockDisconnect = true;
    {
        zt::TestClock clock;
        const int64_t start = clock.now();
        EXPECT_EQ(cslEndSession(), 1);
        EXPECT_EQ(clock.now() - start, 10);
        EXPECT_EQ(gSession.load(), s);
    }
    {
        std::lock_guard<std::mutex> hold(mq.s().mutex);
        mq.s().blockDisconnect = false;
        mq.s().arrived.notify_all();
    }
    for (int i = 0; i < 500 && s->connections->workerRunning.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(cslEndSession(), 1);  // now the threads have ended
    EXPECT_EQ(gSession.load(), nullptr);
}

int32_t typedKey(int32_t) {
    static int typed = 0;
    return ++typed <= 120 ? 'a' : (typed = 0, '\r');
}

TEST_F(ConnectionTest, ThePasswordPromptEchoesStarsAndKeeps101Characters) {
    EvKeySource previous = evSetKeySource(typedKey);
    cslConnection *t = &s->templateConnection;
    std::snprintf(t->qmName, sizeof t->qmName, "QM1");
    t->user = cslStrDup("u");
    char password[102];
    cslPromptPassword(s, password);
    EXPECT_EQ(std::string(password), std::string(101, 'a'));
    EXPECT_EQ(console.out(), "QM(QM1) User(u) password > " + std::string(120, '*') + "\n");
    evSetKeySource(previous);
}

}  // namespace
