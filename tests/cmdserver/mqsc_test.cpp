// MQSC translation: the PCF each text becomes, and the texts that refuse a command before any
// handler runs.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver_testing.h"

namespace {

using ct::CmdTest;
using ct::fake;
using ct::handled;

TEST_F(CmdTest, TextsBecomeThePcfOfTheirCommandRow) {
    ASSERT_EQ(runMqsc("dis evq(*) all"), 1);
    ct::Pcf pcf = lastHandled();
    EXPECT_EQ(pcf.command, 9003);
    ASSERT_TRUE(pcf.has(39333));
    EXPECT_EQ(pcf.get(39333).text, "*");
    ASSERT_TRUE(pcf.has(39103));
    EXPECT_EQ(pcf.get(39103).list, std::vector<int32_t>{1009});

    ASSERT_EQ(runMqsc("DEFINE EVSTREAM(abc) TYPE(EVENTS) DESCR('My Stream')"), 1);
    pcf = lastHandled();
    EXPECT_EQ(pcf.command, 9015);
    EXPECT_EQ(pcf.get(39301).text, "ABC");
    EXPECT_EQ(pcf.get(39355).value, 1);
    EXPECT_EQ(pcf.get(39378).text, "My Stream");

    ASSERT_EQ(runMqsc("ADD EVQ(Q1) REPLACE"), 1);
    EXPECT_EQ(lastHandled().get(1006).value, 1);

    ASSERT_EQ(runMqsc("DIS EVENTS(X) WHERE(EVQMGR = 'qm1')"), 1);
    EXPECT_EQ(lastHandled().get(39300).text, "EVQMGR = 'qm1'");

    // The alert id: REMOVE takes the integer row, DISPLAY's '*' sends nothing.
    ASSERT_EQ(runMqsc("REMOVE EVALERT(5)"), 1);
    EXPECT_EQ(lastHandled().get(39373).value, 5);
    ASSERT_EQ(runMqsc("DIS EVALERT(*)"), 1);
    EXPECT_FALSE(lastHandled().has(39373));
    EXPECT_EQ(lastHandled().command, 9013);
    EXPECT_TRUE(fake.puts.empty());  // the stubs answer nothing
}

TEST_F(CmdTest, AnUnknownVerbListsTheCommands) {
    ASSERT_EQ(runMqsc("disp evq(*)"), 1);
    ASSERT_EQ(texts().size(), 2u);
    EXPECT_EQ(texts()[0], "AMQ8405: Syntax error detected at or near end of command segment below:-\nd\n\n");
    EXPECT_EQ(texts()[1].size(), 161u);
    EXPECT_EQ(texts()[1].rfind("AMQ8426: Valid ZUNT commands are:\n\n    ADD\n", 0), 0u);
    EXPECT_TRUE(handled.empty());
}

TEST_F(CmdTest, SyntaxErrorsShowTheSegmentAndTheCommandsHelp) {
    ASSERT_EQ(runMqsc("DISPLAY EVSTREAM(x) TYPE(FOO)"), 1);
    ASSERT_EQ(texts().size(), 2u);
    EXPECT_NE(texts()[0].find("\nDISPLAY EVSTREAM(x) TYPE(F\n\n"), std::string::npos);
    EXPECT_EQ(texts()[1].rfind("AMQ8427: Valid syntax for the ZUNT command:\n\n   DISPLAY EVSTREAM", 0), 0u);
    EXPECT_TRUE(handled.empty());
}

TEST_F(CmdTest, ListValuesNeedCommas) {
    ASSERT_EQ(runMqsc("DISPLAY STATQ(*) SUM(QUEUE STREAM)"), 1);
    EXPECT_EQ(allText(), "STREAM' found where ',' expected in field 'SUM'.|");
    EXPECT_TRUE(handled.empty());
    ASSERT_EQ(runMqsc("DISPLAY STATQ(*) SUM(QUEUE, STREAM)"), 1);
    EXPECT_EQ(lastHandled().get(39395).list, (std::vector<int32_t>{3, 11}));
}

TEST_F(CmdTest, BadNumbersAreRefusedByKeyword) {
    ASSERT_EQ(runMqsc("REMOVE EVALERT(5x)"), 1);
    EXPECT_EQ(allText(), "Parameter 'EVALERT' is not a valid integer.|");
    fake.puts.clear();
    ASSERT_EQ(runMqsc("ADD EVALERT TEXT(t) EVENTID(XYZ)"), 1);
    EXPECT_EQ(allText(), "Parameter 'EVENTID' is not a valid hex integer.|");
    EXPECT_TRUE(handled.empty());
}

TEST_F(CmdTest, EventFunctionsIssueOnlyTheAlertCommands) {
    auto escape = [this](const std::string &text) {
        MQMD md = request(MQFMT_ADMIN);
        return run(md, ct::PcfBuilder(CMD_EVENT_CALLBACK_ESCAPE).string(MQCACF_ESCAPE_TEXT, text).done());
    };
    ASSERT_EQ(escape("DEFINE EVSTREAM(A) TYPE(EVENTS)"), 1);
    EXPECT_TRUE(handled.empty());
    ASSERT_EQ(fake.puts.size(), 1u);
    ct::Pcf reply = ct::parse(fake.puts[0].data);
    EXPECT_EQ(reply.command, MQCMD_ESCAPE);
    EXPECT_EQ(reply.get(MQCACF_ESCAPE_TEXT).text,
              "Command 'DEFINE EVSTREAM' can not be issued from an event function");
    ASSERT_EQ(escape("REMOVE EVALERT(12)"), 1);
    EXPECT_EQ(lastHandled().get(39373).value, 12);
}

TEST_F(CmdTest, TheThousandAndFirstBareKeywordIsASyntaxError) {
    std::string text = "DIS EVQ(*)";
    for (int i = 0; i < 1000; i++) text += " ALL";
    ASSERT_EQ(runMqsc(text), 1);
    EXPECT_EQ(lastHandled().get(39103).list.size(), 1000u);
    handled.clear();
    ASSERT_EQ(runMqsc(text + " ALL"), 1);
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(allText().rfind("AMQ8405: Syntax error", 0), 0u);
}

TEST_F(CmdTest, UserTextIsNeverAFormat) {
    ASSERT_EQ(runMqsc("COPY EVSTRMST('a%s%n') TARGET(b)"), 1);
    EXPECT_EQ(lastHandled().get(39301).text, "a%s%n");
    ASSERT_EQ(runMqsc("FOO %s%n%s"), 1);  // an unknown verb quotes the text as it came
    EXPECT_NE(allText().find("\nF\n\n"), std::string::npos);
    fake.puts.clear();
    ASSERT_EQ(runMqsc("DIS EVQ(*) %n%s"), 1);
    EXPECT_NE(allText().find("DIS EVQ(*) %\n\n"), std::string::npos);
}

// Every keyword a command takes with a value reaches its handler as the row's parameter; the
// handlers' own parameter lists extend this as they come.
TEST_F(CmdTest, EveryValueKeywordOfEveryCommandReachesItsHandler) {
    auto valueFor = [](const evParmDef *row) -> std::string {
        switch (row->type[0]) {
            case 'i':
            case 'K':
                return row->valueNames != nullptr ? row->valueNames[0].keyword : "1";
            case 'k':
                return "5";
            case 'x':
                return "1A";
            case 'w':
                return "A = 1";
            default:
                return "ABC";
        }
    };
    int checked = 0;
    for (const evCommandDef *command = evCommandTable; command->verb != nullptr; command++) {
        char mode = ' ';
        const evParmDef *object =
            evFindParmByKeyword(command, command->objectKeyword, std::strlen(command->objectKeyword), &mode);
        ASSERT_NE(object, nullptr) << command->verb << " " << command->objectKeyword;
        std::string head = std::string(command->verb) + " " + command->objectKeyword;
        if (mode != ' ') head += "(" + valueFor(object) + ")";
        for (const evParmDef *row = command->parms; row->keyword != nullptr; row++) {
            char rowMode = ' ';
            if (row == object ||
                evFindParmByKeyword(command, row->keyword, std::strlen(row->keyword), &rowMode) != row)
                continue;
            if (rowMode == ' ' || std::strchr("RsqwbixKk", row->type[0]) == nullptr) continue;
            handled.clear();
            ASSERT_EQ(runMqsc(head + " " + row->keyword + "(" + valueFor(row) + ")"), 1);
            ASSERT_EQ(handled.size(), 1u) << head << " " << row->keyword << ": " << allText();
            EXPECT_TRUE(lastHandled().has(static_cast<int32_t>(row->parmId))) << head << " " << row->keyword;
            fake.puts.clear();
            checked++;
        }
    }
    EXPECT_GT(checked, 100);
}

}  // namespace
