// Parameter checks and PCF responses written as MQSC text.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver/internal.h"
#include "cmdserver_testing.h"

namespace {

using ct::CmdTest;
using ct::fake;
using ct::PcfBuilder;

// A cursor standing on the first parameter of a message.
struct OnParameter {
    explicit OnParameter(std::vector<uint8_t> message) : bytes(std::move(message)) {
        MQPCFInitParser(&cursor, bytes.data(), static_cast<int32_t>(bytes.size()), 0);
        int32_t type = 0;
        int32_t id = 0;
        void *value = nullptr;
        int32_t length = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &length, &count, &cc, &rc);
    }
    std::vector<uint8_t> bytes;
    PcfCursor cursor{};
};

class CheckTest : public CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        request_ = request(MQFMT_ADMIN);
        CmdRequest *r = cmdRequest(&evContext);
        std::memset(r, 0, sizeof *r);
        r->kind = CMD_KIND_MQSC;
        r->md = &request_;
        r->command = 9005;  // ALTER EV
    }
    void TearDown() override {
        cmdReleaseAreas(cmdRequest(&evContext));
        CmdTest::TearDown();
    }
    // The texts collated so far.
    std::string collated() {
        CmdRequest *r = cmdRequest(&evContext);
        if (r->collation == nullptr) return "";
        std::string text(reinterpret_cast<char *>(AreaData(r->collation)), r->collation->used);
        for (char &c : text)
            if (c == '\0') c = '|';
        return text;
    }
    MQMD request_{};
};

TEST_F(CheckTest, IntegersOutsideTheirRangeNameTheKeyword) {
    OnParameter p(PcfBuilder(9005).integer(39390, 86401).done());  // STORMINT
    int32_t value = 0;
    EXPECT_EQ(evParmGetInt(&evContext, &p.cursor, 0, 86400, &value), 0);
    EXPECT_EQ(collated(), "AMQ8426: Parameter 'STORMINT' must be between 0 and 86400.");
    EXPECT_EQ(cmdRequest(&evContext)->lastReason, MQRCCF_PARM_VALUE_ERROR);

    OnParameter s(PcfBuilder(9005).string(39390, "5").done());
    EXPECT_EQ(evParmGetInt(&evContext, &s.cursor, 0, 86400, &value), 0);
    EXPECT_NE(collated().find("AMQ8426: Parameter 'STORMINT' should be an integer."), std::string::npos);
}

TEST_F(CheckTest, DaysAndMinutesStayWithinTheirSeconds) {
    int32_t seconds = 0;
    OnParameter most(PcfBuilder(9005).integer(39356, 24855).done());  // ALERTRET
    EXPECT_EQ(evParmGetDays(&evContext, &most.cursor, &seconds), 1);
    EXPECT_EQ(seconds, 24855 * 86400);
    OnParameter minutes(PcfBuilder(9005).integer(39362, 35791394).done());  // MAXLOGAGE
    EXPECT_EQ(evParmGetMinutes(&evContext, &minutes.cursor, &seconds), 1);
    EXPECT_EQ(seconds, 35791394 * 60);
    for (int32_t days : {24856, 999999999, 0, -1}) {
        OnParameter p(PcfBuilder(9005).integer(39364, days).done());  // LOGRET
        EXPECT_EQ(evParmGetDays(&evContext, &p.cursor, &seconds), 0) << days;
    }
    EXPECT_NE(collated().find("AMQ8426: Parameter 'LOGRET' must be between 1 and 24855."), std::string::npos);
}

TEST_F(CheckTest, StringsAreTrimmedAndChecked) {
    const char *text = nullptr;
    int32_t length = 0;
    OnParameter q(PcfBuilder(9005).string(39359, "  Q1  ").done());  // DEADQ
    ASSERT_EQ(evParmGetString(&evContext, &q.cursor, 0, 48, &text, &length), 1);
    EXPECT_EQ(std::string(text, static_cast<size_t>(length)), "Q1");

    OnParameter longer(PcfBuilder(9005).string(39359, std::string(49, 'Q')).done());
    EXPECT_EQ(evParmGetString(&evContext, &longer.cursor, 0, 48, &text, &length), 0);
    EXPECT_EQ(cmdRequest(&evContext)->lastReason, 3011);
    OnParameter hex(PcfBuilder(9005).string(39359, "0A1g").done());
    EXPECT_EQ(evParmGetString(&evContext, &hex.cursor, CMD_STRING_HEX, 48, &text, &length), 0);
    OnParameter control(PcfBuilder(9005).string(39359, "a\tb").done());
    EXPECT_EQ(evParmGetString(&evContext, &control.cursor, 0, 48, &text, &length), 0);
    EXPECT_EQ(
        collated(),
        "AMQ8426: Parameter 'DEADQ' is too long|AMQ8426: Parameter 'DEADQ' should be all HEX characters.|"
        "AMQ8426: Parameter 'DEADQ' contains non-printable characters.");
}

TEST_F(CheckTest, NamesFollowTheirFlags) {
    struct Case {
        const char *name;
        uint32_t flags;
        int valid;
    } cases[] = {
        {"SYSTEM.*", CMD_NAME_WILDCARDS, 1},
        {"A-B", CMD_NAME_WILDCARDS, 0},
        {"SYSTEM.*", 0, 0},
        {"", 0, 0},
        {"$EVENTS, MYSTREAM", CMD_NAME_LIST_TRIM | CMD_NAME_SYSTEM_STREAMS, 1},
        {"$EVENTS,$FOO", CMD_NAME_LIST | CMD_NAME_SYSTEM_STREAMS, 0},
        {"$events", CMD_NAME_SYSTEM_STREAMS, 0},
        {"$NULLIFY", CMD_NAME_NULL, 1},
        {"A$B", 0, 0},
        {"A$B", CMD_NAME_DOLLAR, 1},
        {"a/b%c_d.e", 0, 1},
        {"A,,B", CMD_NAME_LIST, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(evCheckName(c.name, -1, c.flags), c.valid) << c.name;
}

TEST_F(CheckTest, UnexpectedParametersAreAnsweredByTheirType) {
    OnParameter s(PcfBuilder(9005).string(2015, "x").done());
    evParameterError(&evContext, &s.cursor, 2015, MQCFT_STRING);
    EXPECT_EQ(cmdRequest(&evContext)->lastReason, MQRCCF_CFST_PARM_ID_ERROR);
    evParameterError(&evContext, &s.cursor, 2015, MQCFT_INTEGER);
    EXPECT_EQ(cmdRequest(&evContext)->lastReason, 3014);
}

// Responses as MQSC text.
class TextTest : public CheckTest {
protected:
    std::string text(const std::vector<uint8_t> &response) {
        const char *out = nullptr;
        int32_t length = 0;
        EXPECT_EQ(evBuildMqscResponse(&evContext, response.data(), static_cast<int32_t>(response.size()),
                                      &out, &length),
                  1);
        return std::string(out, static_cast<size_t>(length));
    }
};

TEST_F(TextTest, ValuesAreShownByTheirRows) {
    EXPECT_EQ(
        text(PcfBuilder(9003)
                 .string(39333, "Q1")
                 .integer(39311, 1)
                 .integer64(39331, -3)
                 .string(39368, "")
                 .integer(39372, 7)
                 .done()),
        "AMQ8409: Display ZUNT Queue details.\nEVQ(Q1) STATUS(ACTIVE) LSTMSGTI(*) DESCR( ) SUSPENDED(7) ");
    EXPECT_EQ(text(PcfBuilder(9003).integer64(39331, 1767225600).integer(55555, 3).done()),
              "AMQ8409: Display ZUNT Queue details.\nLSTMSGTI(2026-01-01 00:00:00 (UTC)) ATTR55555(3) ");
    EXPECT_EQ(text(PcfBuilder(9013).integer(39330, 0xAB).done()),
              "AMQ8409: Display ZUNT Alert details.\nEVENTID(000000AB) ");
    EXPECT_EQ(text(PcfBuilder(9028).done()), "AMQ8426: Internal error 'Invalid PCF Response' [9028]");
    EXPECT_EQ(text(PcfBuilder(9099).done()), "");
    EXPECT_EQ(text({1, 2, 3}), "AMQ8426: Internal error 'Invalid PCF Message' [2071]");
}

TEST_F(TextTest, FailuresAreShownByReason) {
    EXPECT_EQ(text(PcfBuilder(9003).reason(2, 2085).done()), "AMQ8147: No matching objects found");
    EXPECT_EQ(text(PcfBuilder(9003).reason(2, 3007).done()), "AMQ8426: Invalid PCF Command [9003]");
    EXPECT_EQ(text(PcfBuilder(9003).reason(2, 3229).integer(1012, 77777).done()),
              "AMQ8426: Invalid Parameter Identifier '77777'");
    EXPECT_EQ(text(PcfBuilder(9003).reason(2, 2035).done()), "AMQ8426: Operation failed - Not authorized");
    EXPECT_EQ(text(PcfBuilder(9003).reason(2, 123456).done()), "AMQ8426: Operation failed RC(123456)");
    EXPECT_EQ(text(PcfBuilder(9003).reason(1, 10004).string(39999, "50%s done").done()),
              "AMQ8326: 50%s done");
}

TEST_F(TextTest, ATextLargerThanItsAreaLeavesTheRestOut) {
    // 30000 bytes become 60000 hex digits: the second does not fit and goes with the rest.
    std::vector<uint8_t> bytes(30000, 0xAB);
    std::string out =
        text(PcfBuilder(9003).bytes(39999, bytes).bytes(39998, bytes).string(39333, "Q").done());
    EXPECT_EQ(out.size(), std::string("AMQ8409: Display ZUNT Queue details.\n").size() + 10 + 60000 + 2);
    EXPECT_EQ(out.find("EVQ("), std::string::npos);
}

}  // namespace
