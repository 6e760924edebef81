// Event classification, event names, the DISPLAY EVENTS table and queue-manager capabilities.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "mqi/mqi.h"

namespace {

// A compressed record under construction: the 32-byte header, then items as raw bytes.
struct Record {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(32, 0);
    explicit Record(uint32_t reason, uint16_t command = 44) {
        put16(2, command);
        put32(24, reason);
    }
    void put16(size_t at, uint32_t v) {
        bytes[at] = static_cast<uint8_t>(v);
        bytes[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    void put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
    Record &raw(std::initializer_list<uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    Record &id(uint32_t parm) { return raw({static_cast<uint8_t>(parm), static_cast<uint8_t>(parm >> 8)}); }
    // An integer in its shortest form: 227-240 for -3..10, 157-204 for 11..12287, else lead 3.
    Record &integer(uint32_t parm, int32_t v) {
        if (v >= -3 && v <= 10) return raw({static_cast<uint8_t>(230 + v)}).id(parm);
        if (v >= 11 && v <= 12287)
            return raw({static_cast<uint8_t>(157 + v / 256)}).id(parm).raw({static_cast<uint8_t>(v % 256)});
        auto u = static_cast<uint32_t>(v);
        return raw({3}).id(parm).raw({static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                                      static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)});
    }
    uint16_t objectType() const { return static_cast<uint16_t>(bytes[28] | bytes[29] << 8); }
};

uint32_t classify(Record &r, uint32_t *category = nullptr, uint32_t *command = nullptr) {
    uint32_t cat = 0;
    uint32_t subtype = evClassifyEvent(r.bytes.data(), r.bytes.size(), &cat, command);
    if (category) *category = cat;
    return subtype;
}

}  // namespace

TEST(Classify, NotAuthorizedByQualifier) {
    Record open(2035);
    open.integer(1020, 4);
    uint32_t cat = 0;
    EXPECT_EQ(classify(open, &cat), 1006u);
    EXPECT_EQ(cat, 1000u);
    EXPECT_EQ(open.objectType(), 0);  // qualifier 4 leaves the object type alone

    for (int q : {1, 20, 29}) {
        Record connect(2035);
        connect.put16(28, 1);
        connect.integer(1020, q);
        classify(connect);
        EXPECT_EQ(connect.objectType(), 5) << q;
    }
    Record none(2035);
    EXPECT_EQ(classify(none), 1000u);
}

TEST(Classify, CommandEventsByTheCommandIssued) {
    Record inquire(2413);
    inquire.put16(28, 1);
    inquire.raw({20}).id(8001).raw({1, 0}).integer(1021, 13);
    uint32_t cat = 0, command = 0;
    EXPECT_EQ(classify(inquire, &cat, &command), 3066u);
    EXPECT_EQ(cat, 3000u);
    EXPECT_EQ(command, 13u);
    EXPECT_EQ(inquire.objectType(), 1);  // set by the compressor, not here

    Record unknown(2412);
    unknown.integer(1021, 9999);
    EXPECT_EQ(classify(unknown), 3999u);
    Record missing(2413);
    EXPECT_EQ(classify(missing), 3999u);
    Record notInteger(2413);
    notInteger.raw({210}).id(1021);  // integer without a value
    EXPECT_EQ(classify(notInteger), 3999u);
}

TEST(Classify, ChannelBlockedWithAndWithoutQualifier) {
    Record plain(2577);
    EXPECT_EQ(classify(plain), 2006u);
    Record user(2577);
    user.integer(1020, 22);
    EXPECT_EQ(classify(user), 2019u);
    Record warning(2578);
    warning.integer(1020, 23);
    EXPECT_EQ(classify(warning), 2023u);
}

TEST(Classify, UnknownReasonsAndShortRecords) {
    Record other(2999);
    uint32_t cat = 0;
    EXPECT_EQ(classify(other, &cat), 100000u);
    EXPECT_EQ(cat, 100000u);
    uint8_t shortRecord[10] = {};
    EXPECT_EQ(evClassifyEvent(shortRecord, sizeof shortRecord, &cat, nullptr), 100000u);
    EXPECT_EQ(evClassifyEvent(nullptr, 0, &cat, nullptr), 100000u);
    Record depth(2224);
    EXPECT_EQ(classify(depth, &cat), 8001u);
    EXPECT_EQ(cat, 8000u);
}

TEST(ReasonQualifier, FoundBehindEveryItemOfKnownLength) {
    // Each of these leads once ended the scan, so the qualifier after it was missed.
    std::vector<std::pair<const char *, std::vector<uint8_t>>> leading = {
        {"64-bit byte", {250, 1, 0, 7}},
        {"byte string", {9, 5, 0, 3, 0, 0xAA, 0xBB, 0xCC}},
        {"integer filter", {13, 1, 5, 0, 1, 2, 3, 4}},
        {"string filter", {14, 1, 5, 0, 1, 2, 3, 4}},
        {"byte-string filter", {15, 1, 5, 0, 2, 0, 0xAA, 0xBB}},
        {"unset integer", {210, 5, 0}},
        {"several strings", {214, 5, 0}},
        {"padding", {254, 254, 254}},
        {"integer list", {5, 5, 0, 2, 0, 1, 0, 0, 0, 2, 0, 0, 0}},
        {"date and time", {222, 4, 8, 5, 8, 1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (auto &[what, bytes] : leading) {
        Record r(2371);
        r.raw({20}).id(8001).raw({2, 0});  // a group does not stop the scan
        r.bytes.insert(r.bytes.end(), bytes.begin(), bytes.end());
        r.integer(1020, 14);
        EXPECT_EQ(evCFGetReasonQualifier(r.bytes.data(), r.bytes.size()), 14u) << what;
        EXPECT_EQ(classify(r), 10004u) << what;
    }
}

TEST(ReasonQualifier, StepsOverAWholeStructureByItsStrucLength) {
    Record r(2537);
    // Lead 255 and a 16-byte MQCFIN-like structure: Type 3, StrucLength 16, Parameter 10000, Value 26.
    r.raw({255, 3, 0, 0, 0, 16, 0, 0, 0, 0x10, 0x27, 0, 0, 26, 0, 0, 0});
    r.integer(1020, 25);
    EXPECT_EQ(evCFGetReasonQualifier(r.bytes.data(), r.bytes.size()), 25u);
}

TEST(ReasonQualifier, DamagedOrTruncatedRecordsGiveZero) {
    Record r(2537);
    r.integer(1020, 26);
    for (size_t cut = 32; cut < r.bytes.size(); ++cut)
        EXPECT_EQ(evCFGetReasonQualifier(r.bytes.data(), cut), 0u) << cut;
    Record bad(2537);
    bad.raw({1, 0, 0}).integer(1020, 26);  // invalid lead
    EXPECT_EQ(evCFGetReasonQualifier(bad.bytes.data(), bad.bytes.size()), 0u);
    Record longList(2537);
    longList.raw({5}).id(5).raw({0xFF, 0xFF});  // a list that claims more than the record holds
    EXPECT_EQ(evCFGetReasonQualifier(longList.bytes.data(), longList.bytes.size()), 0u);
    Record bigStruc(2537);
    bigStruc.raw({255, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0});
    EXPECT_EQ(evCFGetReasonQualifier(bigStruc.bytes.data(), bigStruc.bytes.size()), 0u);
    Record wide(2537);
    wide.integer(1020, -70000);  // lead 3, four bytes
    EXPECT_EQ(evCFGetReasonQualifier(wide.bytes.data(), wide.bytes.size()), static_cast<uint32_t>(-70000));
}

TEST(EventNames, SubtypeAndObjectTypeTexts) {
    EXPECT_STREQ(evEventTypeText(8001), "Performance - Q Depth High");
    EXPECT_STREQ(evEventTypeText(3001), "Command - Archive Log");
    EXPECT_STREQ(evEventTypeText(3031), "Command - Create Q");
    EXPECT_STREQ(evEventTypeText(3160), "Command - Set Prot Policy");
    EXPECT_STREQ(evEventTypeText(3000), "Command");
    EXPECT_EQ(evEventTypeText(3999), nullptr);
    EXPECT_STREQ(evObjectTypeText(1), "Queue");
    EXPECT_STREQ(evObjectTypeText(0), "None");
    EXPECT_EQ(evObjectTypeText(77), nullptr);
    const evValueName *spl = evValueNameByValue(evEventTypeNames, 3160);
    ASSERT_NE(spl, nullptr);
    EXPECT_STREQ(spl->keyword, "CMDSETSPL");
}

TEST(EventNames, EveryCommandSubtypeHasOneRow) {
    std::set<int32_t> seen;
    for (const evCommandEvent *c = evCommandEventTable; c->command; ++c) {
        EXPECT_TRUE(seen.insert(c->subtype).second) << c->subtype;
        EXPECT_NE(evEventTypeText(static_cast<uint32_t>(c->subtype)), nullptr) << c->subtype;
    }
    EXPECT_EQ(seen.size(), 161u);
    EXPECT_EQ(*seen.begin(), 3001);
    EXPECT_EQ(*seen.rbegin(), 3161);
}

TEST(CommandEventType, MapsCodesToSubtypesAndObjectTypes) {
    int32_t ot = 0;
    EXPECT_EQ(evCommandEventType(13, &ot), 3066u);
    EXPECT_EQ(ot, 1);
    EXPECT_EQ(evCommandEventType(104, &ot), 3001u);
    EXPECT_EQ(ot, 10001);
    EXPECT_EQ(evCommandEventType(208, &ot), 3160u);
    EXPECT_EQ(ot, 1019);
    EXPECT_EQ(evCommandEventType(9999, &ot), 3999u);
    EXPECT_EQ(ot, 10001);
    EXPECT_EQ(evCommandEventType(0, nullptr), 3999u);
    EXPECT_EQ(evCommandEventType(221, nullptr), 3999u);
}

TEST(EventsParmTable, OpensWithTheSelectionRowsAndTheSeparator) {
    struct Expect {
        const char *keyword;
        char type;
        uint32_t id;
    };
    const Expect rows[] = {{"EVENTS", 'R', 39301},     {"EVQMGR", 'R', 39340},    {"EVENTID", 'x', 39330},
                           {"EVREASON", 'i', 39326},   {"EVTYPE", 'i', 39361},    {"DISTYPE", 'i', 39315},
                           {"EVOBJNAME", 'R', 39316},  {"EVOBJTYPE", 'i', 39317}, {"MAXRESP", 'i', 39302},
                           {"MAXRECS", 'i', 39414},    {"FROM", 's', 39318},      {"TO", 's', 39319},
                           {"TZ", 'i', 39313},         {"EVUSERID", 's', 39307},  {"DISPCMDS", 'i', 39358},
                           {"SUMMARY", 'R', 39314},    {"CFHCMD", 'i', 39328},    {"CFHREASON", 'i', 39327},
                           {"BEFORE", 'g', 39200},     {"AFTER", 'g', 39201},     {"EVTIME", 't', 39322},
                           {"EVTIMESECS", 't', 39427}, {"EVSID", 's', 7002},      {"ALL", 'a', 1009},
                           {"WHERE", 'w', 39300},      {"EVREPEAT", 'i', 39323},  {"!", '!', 99999999}};
    for (size_t i = 0; i < std::size(rows); ++i) {
        const evParmDef &row = evEventsParmTable[i];
        EXPECT_STREQ(row.keyword, rows[i].keyword) << i;
        EXPECT_EQ(row.type[0], rows[i].type) << i;
        EXPECT_EQ(row.parmId, rows[i].id) << i;
    }
    EXPECT_EQ(evEventsParmTable[3].valueNames, evEventTypeNames);
    EXPECT_EQ(evEventsParmTable[7].valueNames, evObjectTypeNames);
    EXPECT_EQ(evEventsParmTable[5].valueNames, evDisplayTypeNames);
    EXPECT_STREQ(evEventsParmTable[0].applicability, "Wd+");
    EXPECT_STREQ(evEventsParmTable[18].applicability, "");
}

TEST(EventsParmTable, NamesTheEventFields) {
    struct Expect {
        const char *keyword;
        uint32_t id;
    };
    const Expect fields[] = {{"EVENTUSER", 3045}, {"EVORIGIN", 1011}, {"OBJTYPE", 1016}, {"QUEUE", 2016},
                             {"DESCR", 2013},     {"PROCESS", 2012},  {"BOQNAME", 2019}, {"INITQ", 2008},
                             {"TRIGDATA", 2023},  {"CLCHNAME", 2124}, {"CUSTOM", 2119},  {"CLUSTER", 2029}};
    for (const Expect &f : fields) {
        const evParmDef *row = evEventsParmById(f.id);
        ASSERT_NE(row, nullptr) << f.keyword;
        EXPECT_STREQ(row->keyword, f.keyword);
        EXPECT_STREQ(row->applicability, "  d") << f.keyword;
    }
    EXPECT_EQ(evEventsParmById(1021)->valueNames, evCommandNameMarker);
    EXPECT_EQ(evEventsParmById(3045)->type[0], 's');
    EXPECT_EQ(evEventsParmById(7001)->type[0], 'b');
    EXPECT_EQ(evEventsParmById(15)->type[0], 'i');
    const evValueName *origin = evValueNameByValue(evEventsParmById(1011)->valueNames, 1);
    ASSERT_NE(origin, nullptr);
    EXPECT_STREQ(origin->keyword, "CONSOLE");
    EXPECT_EQ(evEventsParmById(0), nullptr);
    EXPECT_EQ(evEventsParmById(9999), nullptr);
    EXPECT_EQ(evEventsParmById(99999999)->keyword[0], '!');  // found by a walk
}

TEST(EventsParmTable, ALaterRowWithAnIndexedIdIsNeverFound) {
    // EVSID (row 23) holds 7002 before the event field row of the same id.
    int rows7002 = 0;
    const evParmDef *first = nullptr;
    for (int i = 0; i < evEventsParmCount(); ++i)
        if (evEventsParmTable[i].parmId == 7002) {
            if (!first) first = &evEventsParmTable[i];
            ++rows7002;
        }
    EXPECT_EQ(rows7002, 2);
    EXPECT_EQ(evEventsParmById(7002), first);
    EXPECT_STREQ(first->keyword, "EVSID");
    EXPECT_EQ(first, &evEventsParmTable[22]);
}

namespace {

std::set<int> flagsOf(int32_t platform, int32_t level) {
    QmgrCapabilities caps{};
    evSetQmgrCapabilities(&caps, platform, level);
    std::set<int> on;
    for (int i = 0; i < EV_QMGR_CAPABILITIES; ++i)
        if (caps.flag[i]) on.insert(i);
    return on;
}

}  // namespace

TEST(Capabilities, ByPlatformAndCommandLevel) {
    EXPECT_EQ(flagsOf(11, 850).count(52), 0u);
    EXPECT_EQ(flagsOf(11, 900).count(52), 1u);
    EXPECT_EQ(flagsOf(3, 850).count(52), 1u);  // only Windows loses it
    EXPECT_EQ(flagsOf(28, 700).count(71), 1u);
    EXPECT_EQ(flagsOf(3, 932).count(77), 1u);
    EXPECT_EQ(flagsOf(3, 931).count(77), 0u);
    EXPECT_EQ(flagsOf(1, 100), (std::set<int>{3, 7, 9, 19}));
    EXPECT_EQ(flagsOf(1, 114), (std::set<int>{3, 7, 10, 11, 19}));
    EXPECT_EQ(flagsOf(11, 100), (std::set<int>{10, 11, 12, 13, 25, 29}));
    EXPECT_EQ(flagsOf(13, 201), (std::set<int>{2, 3, 10, 11, 12, 13, 29}));
    EXPECT_EQ(flagsOf(4, 100), (std::set<int>{11, 12, 13, 27, 29}));
    EXPECT_TRUE(flagsOf(99, 942).empty());
    EXPECT_EQ(flagsOf(4, 510).count(9), 0u);
    EXPECT_EQ(flagsOf(4, 510).count(10), 1u);
    evSetQmgrCapabilities(nullptr, 11, 900);  // nothing happens
}
