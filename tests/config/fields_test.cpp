// The command and parameter tables and their use as field tables: table shapes, field lookup by
// name and abbreviation, field names, value lookup by text, rows that read their record's fields,
// and statistics tables registered late.
#include <cstring>
#include <map>
#include <string>
#include <variant>

#include "config/config.h"
#include "testing/testing.h"

namespace {

const evCommandDef *command(const char *verb, const char *object) {
    for (const evCommandDef *c = evCommandTable; c->verb; ++c)
        if (std::strcmp(c->verb, verb) == 0 && std::strcmp(c->objectKeyword, object) == 0) return c;
    return nullptr;
}

evParmDef *table(const char *verb, const char *object) {
    const evCommandDef *c = command(verb, object);
    return c ? c->parms : nullptr;
}

int rows(const evParmDef *t) {
    int n = 0;
    while (t[n].keyword || t[n].parmId) ++n;
    return n;
}

class FieldsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitialiseCommandFields(); }
};

TEST_F(FieldsTest, TheObjectTablesHaveTheirRows) {
    const std::map<std::string, int> expected = {{"EV", 36},       {"EVQ", 21},      {"EVQMGR", 23},
                                                 {"EVSTREAM", 12}, {"EVSTRMST", 13}, {"EVALERT", 17},
                                                 {"EVEMIT", 18}};
    for (auto &[object, count] : expected) {
        ASSERT_NE(table("DISPLAY", object.c_str()), nullptr) << object;
        EXPECT_EQ(rows(table("DISPLAY", object.c_str())), count) << object;
    }
    EXPECT_EQ(table("DISPLAY", "EVENTS"), evEventsParmTable);
}

// Every command can name its object: its table has the object keyword row for the command's letter.
TEST_F(FieldsTest, EveryCommandFindsItsObjectKeywordRowByLetter) {
    int commands = 0;
    for (const evCommandDef *c = evCommandTable; c->verb; ++c, ++commands) {
        bool found = false;
        for (const evParmDef *r = c->parms; r->keyword || r->parmId; ++r)
            if (r->keyword && std::strcmp(r->keyword, c->objectKeyword) == 0 &&
                std::strchr(r->applicability + 1, c->letter))
                found = true;
        EXPECT_TRUE(found) << c->verb << " " << c->objectKeyword;
        EXPECT_EQ(std::string(c->help).rfind("AMQ8427: Valid syntax for the ZUNT command:\n\n   ", 0), 0u);
        EXPECT_EQ(c->attributeList != 0, std::strcmp(c->verb, "DISPLAY") == 0) << c->objectKeyword;
    }
    EXPECT_EQ(commands, EV_COMMAND_COUNT);
}

struct Lookup {
    const char *object;  // the DISPLAY command's table
    const char *name;
    uint32_t flags;
    int row;  // index of the row found, -1 none
    int ambiguous;
};

TEST_F(FieldsTest, FieldsAreFoundByNameOrUniqueAbbreviation) {
    const Lookup cases[] = {
        {"EV", "ev", 0, 0, 0},            // equal to EV although EVENTS and EVENTCT begin with it
        {"EV", "EVENTC", 0, 14, 0},       // begins only EVENTCT
        {"EVALERT", "evalert", 0, 0, 0},  // the first EVALERT row, type k
        {"EVALERT", "evq", 0, 6, 0},      // EVQMGR
        {"EVALERT", "EVO", 0, -1, 1},     // EVOBJNAME and EVOBJTYPE
        {"EVALERT", "EVQ", EV_FIELD_EXACT, -1, 0},
        {"EVALERT", "EVQMGR", EV_FIELD_EXACT, 6, 0},
        {"EVSTREAM", "DE", 0, -1, 1},  // DESCR and DEFAULT
        {"EVSTREAM", "DES", 0, 1, 0},
        {"EVSTREAM", "", 0, -1, 1},  // an empty name begins every keyword
        {"EVQ", "ALL", 0, 19, 0},
        {"EVQ", "ALL", EV_FIELD_FIELDS_ONLY, -1, 0},  // ALL, WHERE are no fields
        {"EVQ", "WH", EV_FIELD_FIELDS_ONLY, -1, 0},
        {"EVQ", "REPLACEX", 0, -1, 0},
    };
    for (const Lookup &c : cases) {
        const evParmDef *t = table("DISPLAY", c.object);
        int ambiguous = -1;
        const evParmDef *found = evFindField(t, c.name, std::strlen(c.name), c.flags, &ambiguous);
        EXPECT_EQ(found ? static_cast<int>(found - t) : -1, c.row) << c.object << " " << c.name;
        EXPECT_EQ(ambiguous, c.ambiguous) << c.object << " " << c.name;
    }
    int ambiguous = 1;
    EXPECT_EQ(evFindField(nullptr, "EV", 2, 0, &ambiguous), nullptr);
    EXPECT_EQ(ambiguous, 0);
}

TEST_F(FieldsTest, FieldNamesAreTheLowerCaseKeywordOrTheirOwn) {
    evParmDef t[] = {
        {0, "", "", "g", "COMMANDCONTEXT", nullptr, nullptr, 8001, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "g", "COMMANDDATA", nullptr, nullptr, 8002, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "g", "BEFORE", nullptr, nullptr, 39200, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "g", "AFTER", nullptr, nullptr, 39201, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "s", "QNAME", nullptr, nullptr, 2016, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "s", "APPLNAME", nullptr, nullptr, 3024, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "s", "CHLNAME", nullptr, nullptr, 3501, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "i", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", nullptr, nullptr, 1, 0, -2, 0, 0, 0, 0, "", 0},
        {0, "", "", "i", "MixedCase", nullptr, nullptr, 2, 0, -2, 0, 0, 0, 0, "", 0},
        {0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 3, 0, 0, 0, 0, 0, 0, "", 0},  // skipped
        {0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, "", 0},
    };
    evInitFieldTable(t);
    const char *names[] = {
        "zuntCommandContext", "zuntCommandData", "zuntBefore",          "zuntAfter", "queue",
        "applname",           "channel",         "abcdefghijklmnopqrs", "mixedcase"};
    for (size_t i = 0; i < std::size(names); ++i) {
        EXPECT_STREQ(t[i].fieldName, names[i]);
        EXPECT_EQ(t[i].fieldNameLength, std::strlen(names[i]));
    }
    EXPECT_EQ(t[7].keywordLength, 26u);
    EXPECT_EQ(t[9].keywordLength, 0u);
}

TEST_F(FieldsTest, EveryTableIsCompletedAtStart) {
    for (const evCommandDef *c = evCommandTable; c->verb; ++c)
        for (const evParmDef *r = c->parms; r->keyword || r->parmId; ++r)
            if (r->keyword) {
                ASSERT_EQ(r->keywordLength, std::strlen(r->keyword)) << r->keyword;
            }
    EXPECT_EQ(rows(evMqmdFieldTable), 16);
    EXPECT_STREQ(evMqmdFieldTable[0].fieldName, "report");
    EXPECT_EQ(evFieldsInitialised.load(), 1);
}

TEST_F(FieldsTest, ValuesAreFoundByKeywordOrNumber) {
    for (const char *text : {"ASMSG", "asmsg", "2", "'2'", "+2"}) {
        const evValueName *v = evValueNameByText(evPersistenceNames, text, std::strlen(text));
        ASSERT_NE(v, nullptr) << text;
        EXPECT_EQ(v->value, 2) << text;
    }
    for (const char *text : {"", "ASMS", "ASMSGX", "'ASMSG'", "-", "''", "3", "99999999999", "2x"})
        EXPECT_EQ(evValueNameByText(evPersistenceNames, text, std::strlen(text)), nullptr) << text;
    EXPECT_EQ(evValueNameByText(evStreamTypeNames, "-1", 2)->keyword, std::string("$STRINGS"));
    EXPECT_EQ(evValueNameByText(nullptr, "YES", 3), nullptr);
}

// A record's value of a row, read the way the row says.
using Value = std::variant<int32_t, int64_t, std::string>;
Value read(const void *record, const evParmDef &r) {
    const char *at = static_cast<const char *>(record) + r.recordOffset;
    if (r.dataType == 14) return std::string(at);
    if (r.dataType == 25) {
        int64_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    int32_t v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

void expectRowsRead(const evParmDef *t, const void *record, const std::map<std::string, Value> &expected) {
    std::map<std::string, int> seen;
    for (const evParmDef *r = t; r->keyword || r->parmId; ++r) {
        if (r->recordOffset < 0) continue;
        std::string key = r->keyword;
        if (seen[key]++) continue;  // a second row of the same keyword reads the same field
        auto e = expected.find(key);
        ASSERT_NE(e, expected.end()) << key << " has an offset but no expectation";
        EXPECT_EQ(read(record, *r), e->second) << key;
    }
    EXPECT_EQ(seen.size(), expected.size());
}

TEST_F(FieldsTest, OffsetRowsReadTheirFields) {
    EventQueueDef q{};
    std::strcpy(q.name, "Q");
    std::strcpy(q.descr, "D");
    std::strcpy(q.forwardQueue, "F");
    q.forwardPersistence = 2;
    q.tempQ = 1;
    for (int i = 0; i < EV_QUEUE_COUNTERS; ++i) q.counters[i] = {100u + i, 7, 8};
    q.status = 9;
    q.lastMessageTime = 1767225600;
    q.suspended = 1;
    expectRowsRead(table("DISPLAY", "EVQ"), &q,
                   {{"EVQ", "Q"},
                    {"DESCR", "D"},
                    {"FWDQ", "F"},
                    {"FWDPSIST", 2},
                    {"TEMPQ", 1},
                    {"MSGS", 100},
                    {"EVENTCT", 101},
                    {"DLQCT", 102},
                    {"ACCTQCT", 103},
                    {"ACCTMQICT", 104},
                    {"STATQCT", 105},
                    {"STATMQICT", 106},
                    {"STATCHLCT", 107},
                    {"ERRORCT", 108},
                    {"BORQCT", 109},
                    {"STATUS", 9},
                    {"LSTMSGTI", int64_t{1767225600}},
                    {"SUSPENDED", 1}});

    QmgrEntry m{};
    std::strcpy(m.name, "QM");
    for (int i = 0; i < EV_QMGR_COUNTERS; ++i) m.counters[i] = {200u + i, 7, 8};
    m.alertCount = 3;
    expectRowsRead(
        table("DISPLAY", "EVQMGR"), &m,
        {{"EVQMGR", "QM"},   {"EVENTCT", 200},   {"AUTHORCT", 201}, {"CHLCT", 202},     {"CMDCT", 203},
         {"CONFIGCT", 204},  {"INHIBITCT", 205}, {"LOCALCT", 206},  {"LOGGERCT", 207},  {"PERFMCT", 208},
         {"REMOTECT", 209},  {"SSLCT", 210},     {"STRSTPCT", 211}, {"IMSBRCT", 212},   {"STATQCT", 213},
         {"STATMQICT", 214}, {"STATCHLCT", 215}, {"ACCTQCT", 216},  {"ACCTMQICT", 217}, {"ALERTCT", 3}});

    StreamDef s{};
    std::strcpy(s.name, "S");
    std::strcpy(s.descr, "SD");
    s.aggrInt = 60;
    s.retIntvl = 86400;
    s.isDefault = 1;
    s.disImplct = 1;
    s.type = 2;
    std::strcpy(s.evEmit, "E");
    expectRowsRead(table("DISPLAY", "EVSTREAM"), &s,
                   {{"EVSTREAM", "S"},
                    {"DESCR", "SD"},
                    {"AGGRINT", 60},
                    {"RETINTVL", 86400},
                    {"DEFAULT", 1},
                    {"DISIMPLCT", 1},
                    {"TYPE", 2},
                    {"EVEMIT", "E"}});

    EmitterDef e{};
    std::strcpy(e.name, "E");
    std::strcpy(e.descr, "ED");
    std::strcpy(e.queue, "EQ");
    std::strcpy(e.file, "EF");
    e.format = 3;
    e.reader = 1;
    e.msgPersistence = 2;
    e.grouping = 1;
    e.maxSize = 4096;
    e.zeroValues = 1;
    e.put = 1;
    e.onError = 1;
    e.msgCount = 11;
    e.errorCount = 12;
    e.failTime = 1767225601;
    expectRowsRead(table("DISPLAY", "EVEMIT"), &e,
                   {{"EVEMIT", "E"},
                    {"DESCR", "ED"},
                    {"QUEUE", "EQ"},
                    {"FILE", "EF"},
                    {"FORMAT", 3},
                    {"READER", 1},
                    {"MSGPERS", 2},
                    {"GROUPING", 1},
                    {"MAXSIZE", 4096},
                    {"ZEROVALS", 1},
                    {"PUT", 1},
                    {"ONERROR", 1},
                    {"MSGCT", 11},
                    {"ERRORCT", 12},
                    {"FAILTIME", int64_t{1767225601}}});

    AlertDef a{};
    a.id = 4;
    std::strcpy(a.text, "T");
    a.severity = 30;
    std::strcpy(a.category, "C");
    std::strcpy(a.qmgr, "QM");
    std::strcpy(a.objectName, "O");
    a.objectType = 1;
    a.time = 1767225602;
    a.retention = 60;
    a.eventId = 77;
    expectRowsRead(table("DISPLAY", "EVALERT"), &a,
                   {{"EVALERT", 4},
                    {"TEXT", "T"},
                    {"SEVERITY", 30},
                    {"CATEGORY", "C"},
                    {"EVQMGR", "QM"},
                    {"EVOBJNAME", "O"},
                    {"EVOBJTYPE", 1},
                    {"ALERTTI", int64_t{1767225602}},
                    {"RETINTVL", 60},
                    {"EVENTID", 77}});
}

TEST_F(FieldsTest, ALateStatisticsTableIsCompletedAndSharedWithTheConsole) {
    evCommandDef *statq = const_cast<evCommandDef *>(command("DISPLAY", "STATQ"));
    evParmDef *selection = statq->parms;
    EXPECT_EQ(rows(selection), 21);
    EXPECT_STREQ(selection[0].fieldName, "queue");  // MQCA_Q_NAME
    evParmDef full[] = {
        {0, "Wd+", "a   ", "R", "STATQ", nullptr, nullptr, 2016, 0, -1, 0, 0, 0, 0, "", 0},
        {0, "  d", "a   ", "i", "PUTS", nullptr, nullptr, 31002, 0, 0, 2, 0, 0, 0, "", 0},
        {0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, "", 0},
    };
    ASSERT_EQ(evRegisterParmTable(9023, full), 1);
    EXPECT_EQ(statq->parms, full);
    EXPECT_STREQ(full[1].fieldName, "puts");
    EXPECT_EQ(full[1].keywordLength, 4u);
    int consoleRows = 0;
    for (const cslMqscCommand *r = cslMqscCommandTable; r->verb; ++r)
        if (r->kind == CSL_KIND_ZUNT && std::strcmp(r->object, "STATQ") == 0) {
            EXPECT_EQ(r->parms, full);
            ++consoleRows;
        }
    EXPECT_EQ(consoleRows, 1);
    EXPECT_EQ(evRegisterParmTable(9999, full), 0);
    ASSERT_EQ(evRegisterParmTable(9023, selection), 1);  // as it was for the other tests
}

}  // namespace
