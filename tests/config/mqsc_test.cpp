// The console's MQSC command table: look-up by full and short forms, the rows each mode offers,
// the capability conditions, the messages of a failed look-up, and the table's own shape.
#include <cstring>
#include <string>

#include "config/config.h"
#include "testing/testing.h"

namespace {

const cslCommandView kQueueManager{0, 0, nullptr};
const cslCommandView kOwnQueue{1, 0, nullptr};
const cslCommandView kChannelTable{0, 1, nullptr};

struct Found {
    const cslMqscCommand *row;
    std::string message;
};

Found find(const cslCommandView &view, std::string_view verb, std::string_view object) {
    char message[CSL_LOOKUP_MESSAGE] = "";
    const cslMqscCommand *row = cslFindMqscCommand(&view, verb, object, message);
    return {row, row ? "" : message};
}

std::string name(const Found &f) {
    return f.row ? std::string(f.row->verb) + " " + f.row->object : f.message;
}

TEST(MqscLookup, FullAndShortFormsFindTheSameRow) {
    Found full = find(kQueueManager, "DISPLAY", "QUEUE");
    ASSERT_NE(full.row, nullptr);
    EXPECT_EQ(find(kQueueManager, "dis", "q").row, full.row);
    EXPECT_EQ(find(kQueueManager, "Dis", "QUEUE").row, full.row);
    EXPECT_STREQ(full.row->nameForm, "*");
    EXPECT_EQ(name(find(kQueueManager, "DEF", "QL")), "DEFINE QLOCAL");
    EXPECT_EQ(name(find(kQueueManager, "DISPLAY", "")), "DISPLAY APSTATUS");  // no object: the verb's first
}

TEST(MqscLookup, EachModeOffersItsKinds) {
    struct Case {
        const cslCommandView *view;
        const char *verb;
        const char *object;
        const char *expected;
    } cases[] = {
        {&kQueueManager, "DISPLAY", "CHANNEL", "DISPLAY CHANNEL"},
        {&kQueueManager, "=conn", "", "=conn "},
        {&kQueueManager, "DIS", "EVSTREAM", "Object type 'EVSTREAM' not recognised"},
        {&kOwnQueue, "DIS", "EVSTREAM", "DISPLAY EVSTREAM"},
        {&kOwnQueue, "DEF", "EVEMIT", "DEFINE EVEMIT"},
        {&kOwnQueue, "display", "qlocal", "Object type 'qlocal' not recognised"},
        {&kOwnQueue, "=ZUNT", "", "=zunt "},
        {&kChannelTable, "ALT", "CHL", "ALTER CHANNEL"},
        {&kChannelTable, "DELETE", "AUTHINFO", "DELETE AUTHINFO"},
        {&kChannelTable, "START", "CHANNEL", "Command not recognised"},
        {&kChannelTable, "DISPLAY", "QLOCAL", "Object type 'QLOCAL' not recognised"},
        {&kChannelTable, "=ccdt", "", "=ccdt "},
    };
    for (const Case &c : cases)
        EXPECT_EQ(name(find(*c.view, c.verb, c.object)), c.expected) << c.verb << " " << c.object;
}

TEST(MqscLookup, FailedLookUpsSayWhatWasNotKnown) {
    EXPECT_EQ(find(kQueueManager, "DISPLAY", "FOO").message, "Object type 'FOO' not recognised");
    EXPECT_EQ(find(kQueueManager, "FROB", "QLOCAL").message, "Command not recognised");
    const std::string object(50, 'X');
    EXPECT_EQ(find(kQueueManager, "DISPLAY", object).message,
              "Object type '" + object.substr(0, 46) + "...' not recognised");
    EXPECT_EQ(find(kQueueManager, "DISPLAY", object.substr(0, 46)).message,
              "Object type '" + object.substr(0, 46) + "' not recognised");
}

// A line without a verb once found the first row whose short verb is empty.
TEST(MqscLookup, AnEmptyVerbNeverMatchesAnEmptyShortVerb) {
    for (const cslCommandView *view : {&kQueueManager, &kOwnQueue, &kChannelTable}) {
        EXPECT_EQ(find(*view, "", "").message, "Command not recognised");
        EXPECT_EQ(find(*view, "", "QLOCAL").message, "Command not recognised");
    }
}

TEST(MqscLookup, CapabilitiesHideWhatTheQueueManagerLacks) {
    QmgrCapabilities windows{}, zos{}, oldUnix{};
    evSetQmgrCapabilities(&windows, 11, 940);
    evSetQmgrCapabilities(&zos, 1, 940);
    evSetQmgrCapabilities(&oldUnix, 3, 600);
    const cslCommandView onWindows{0, 0, &windows}, onZos{0, 0, &zos}, onOldUnix{0, 0, &oldUnix};

    EXPECT_EQ(name(find(onWindows, "DISPLAY", "CFSTRUCT")), "Object type 'CFSTRUCT' not recognised");
    EXPECT_EQ(name(find(onZos, "DISPLAY", "CFSTRUCT")), "DISPLAY CFSTRUCT");
    EXPECT_EQ(name(find(kQueueManager, "DISPLAY", "CFSTRUCT")),
              "DISPLAY CFSTRUCT");  // no flags: no conditions
    EXPECT_EQ(name(find(onZos, "DISPLAY", "QMSTATUS")), "Object type 'QMSTATUS' not recognised");
    EXPECT_EQ(name(find(onWindows, "DISPLAY", "QMSTATUS")), "DISPLAY QMSTATUS");
    EXPECT_EQ(name(find(onOldUnix, "DISPLAY", "TOPIC")), "Object type 'TOPIC' not recognised");
    EXPECT_EQ(name(find(onWindows, "DISPLAY", "TOPIC")), "DISPLAY TOPIC");
    EXPECT_EQ(name(find(onOldUnix, "SET", "CHLAUTH")), "Command not recognised");
}

TEST(MqscTable, RowsAreInVerbOrderAndTheOwnCommandsShareTheCommandTables) {
    int own = 0;
    const char *previous = "";
    const cslMqscCommand *row = cslMqscCommandTable;
    for (; row->verb; ++row) {
        EXPECT_LE(std::strcmp(previous, row->verb), 0) << row->verb;
        previous = row->verb;
        EXPECT_GE(row->kind, 1);
        EXPECT_LE(row->kind, 4);
        EXPECT_EQ(row->consoleParms, nullptr);
        if (row->kind != CSL_KIND_ZUNT) continue;
        ++own;
        const evCommandDef *c = evCommandTable;
        while (c->verb &&
               !(std::strcmp(c->verb, row->verb) == 0 && std::strcmp(c->objectKeyword, row->object) == 0))
            ++c;
        ASSERT_NE(c->verb, nullptr) << row->verb << " " << row->object;
        EXPECT_EQ(row->parms, c->parms) << row->verb << " " << row->object;
        EXPECT_EQ(row->letter, c->letter);
        EXPECT_EQ(row->objectKind, static_cast<uint32_t>(c->objectKind));
    }
    EXPECT_EQ(own, EV_COMMAND_COUNT);
    EXPECT_EQ(row->kind, 0);
}

TEST(MqscTable, IbmMqRowsKnowTheirObjectsKeywords) {
    Found qlocal = find(kQueueManager, "DEFINE", "QLOCAL");
    ASSERT_NE(qlocal.row, nullptr);
    int ambiguous = 0;
    const evParmDef *descr = evFindField(qlocal.row->parms, "descr", 5, EV_FIELD_EXACT, &ambiguous);
    ASSERT_NE(descr, nullptr);
    EXPECT_EQ(descr->parmId, 2013u);
    const evParmDef *psist = evFindField(qlocal.row->parms, "DEFPSIST", 8, 0, &ambiguous);
    ASSERT_NE(psist, nullptr);
    EXPECT_EQ(evValueNameByValue(psist->valueNames, 1)->keyword, std::string("PERSISTENT"));

    Found queue = find(kQueueManager, "DISPLAY", "QUEUE");  // every kind of queue
    EXPECT_NE(evFindField(queue.row->parms, "TARGET", 6, EV_FIELD_EXACT, &ambiguous), nullptr);   // alias
    EXPECT_NE(evFindField(queue.row->parms, "RQMNAME", 7, EV_FIELD_EXACT, &ambiguous), nullptr);  // remote
    Found status = find(kQueueManager, "DIS", "QS");
    const evParmDef *qtime = evFindField(status.row->parms, "QTIME", 5, EV_FIELD_EXACT, &ambiguous);
    ASSERT_NE(qtime, nullptr);
    EXPECT_STREQ(qtime->type, "I");
    Found chl = find(kQueueManager, "DISPLAY", "CHANNEL");
    const evParmDef *exits = evFindField(chl.row->parms, "MSGEXIT", 7, EV_FIELD_EXACT, &ambiguous);
    ASSERT_NE(exits, nullptr);
    EXPECT_STREQ(exits->type, "L");
    EXPECT_STREQ(evFindField(chl.row->parms, "CHANNEL", 7, EV_FIELD_EXACT, &ambiguous)->fieldName, "channel");
}

}  // namespace
