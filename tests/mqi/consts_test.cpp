// Constant tables: reason texts and symbols, command names, keywords, platform names and the
// directory of "CONST." names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "mqi/mqi.h"

TEST(ReasonText, NamesReasonsFeedbackAndOwnCodes) {
    EXPECT_STREQ(evReasonText(2071), "Storage not available");
    EXPECT_STREQ(evReasonText(269), "Activity");  // an MQFB row of the reason table
    EXPECT_STREQ(evReasonText(10002), "Max Source Reached");
    EXPECT_STREQ(evReasonText(200000), "ZUNT:Not an event message");
    EXPECT_STREQ(evReasonText(200001), "ZUNT:Not a statistics message");
    EXPECT_STREQ(evReasonText(3001), "Cfh type error");  // an MQRCCF row
}

TEST(ReasonText, GivesEmptyTextWhereNoRowNamesTheCode) {
    EXPECT_STREQ(evReasonText(0), "");
    EXPECT_STREQ(evReasonSymbol(0), "");
    EXPECT_STREQ(evReasonText(123456789), "");
    EXPECT_STREQ(evReasonText(-1), "");
    EXPECT_STREQ(evReasonText(200002), "");
    EXPECT_STREQ(evReasonSymbol(200002), "");
}

TEST(ReasonText, RepositoryNotAvailableHasTextButNoSymbol) {
    EXPECT_STREQ(evReasonText(33844), "Repository not available");
    EXPECT_STREQ(evReasonSymbol(33844), "");
}

TEST(ReasonSymbol, FirstSymbolBySortOrderWinsForSharedValues) {
    EXPECT_STREQ(evReasonSymbol(2071), "MQRC_STORAGE_NOT_AVAILABLE");
    EXPECT_STREQ(evReasonSymbol(2120), "MQRC_CONVERTED_MSG_TOO_BIG");
    EXPECT_STREQ(evReasonSymbol(10000), "HLVRCCF_COMMAND_OK_WITH_TEXT");
}

TEST(CommandNames, OwnCommandsFollowTheMqRowsInTheirListedOrder) {
    EXPECT_STREQ(evCommandName(9028), "");
    EXPECT_STREQ(evCommandSymbol(9028), "");
    EXPECT_STREQ(evCommandName(13), "Inquire q");
    EXPECT_STREQ(evCommandSymbol(9030), "HLV_CMD_DISPLAY_EV_EMIT");
    EXPECT_STREQ(evCommandName(0), "");  // MQCMD_NONE is left out

    const int order[] = {9000, 9001, 9030, 9002, 9003, 9004, 9023, 9024, 9025, 9026, 9027,
                         9005, 9006, 9007, 9008, 9009, 9010, 9011, 9012, 9013, 9014, 9015,
                         9016, 9017, 9018, 9029, 9031, 9032, 9019, 9020, 9021, 9022};
    int n = evConstRowCount(evCommandNameTable);
    ASSERT_GT(n, 32);
    for (int i = 0; i < n - 32; ++i)
        EXPECT_EQ(std::string(evCommandNameTable[i].symbol).rfind("MQCMD_", 0), 0u) << i;
    for (int i = 0; i < 32; ++i) EXPECT_EQ(evCommandNameTable[n - 32 + i].value, order[i]) << i;
}

TEST(AttrTable, FailTimeNamesOnlyTheFailureTime) {
    const evConstEntry *row = evAttrByKeyword("failtime");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->value, 39438);
    const evConstEntry *consec = evAttrByValue(39439);
    ASSERT_NE(consec, nullptr);
    EXPECT_STREQ(consec->symbol, "HLV_ATTR_EMIT_CONSEC_FAIL_COUNT");
    EXPECT_EQ(consec->keyword, nullptr);
    int rows38 = 0, rows39 = 0;
    for (const evConstEntry *r = evAttrTable; r->symbol; ++r) {
        rows38 += r->value == 39438;
        rows39 += r->value == 39439;
    }
    EXPECT_EQ(rows38, 1);
    EXPECT_EQ(rows39, 1);
}

TEST(AttrTable, NamesIdentifiersAndKeywords) {
    const evConstEntry *acct = evAttrByValue(39110);
    ASSERT_NE(acct, nullptr);
    EXPECT_STREQ(acct->symbol, "HLV_ATTR_EV_ACCT_Q_ATTRS");
    EXPECT_STREQ(acct->description, "Ev acct q attrs");

    const evConstEntry *depth = evConstBySymbol(evAttrTable, "MQIA_MAX_Q_DEPTH");
    ASSERT_NE(depth, nullptr);
    EXPECT_STREQ(depth->keyword, "MAXDEPTH");
    // MAXDEPTH also names a statistics field, whose symbol sorts first.
    ASSERT_NE(evAttrByKeyword("MaxDepth"), nullptr);
    EXPECT_STREQ(evAttrByKeyword("MaxDepth")->symbol, "HLV_ACCST_MAX_DEPTH");

    const evConstEntry *struc = evAttrByValue(3142);
    ASSERT_NE(struc, nullptr);
    EXPECT_STREQ(struc->symbol, "MQCACF_STRUC_ID");

    const evConstEntry *user = evAttrByValue(3045);  // an event field without an IBM MQ keyword
    ASSERT_NE(user, nullptr);
    EXPECT_STREQ(user->keyword, "EVENTUSER");
}

TEST(AttrTable, KeywordsAndSymbolsCompareWhole) {
    EXPECT_EQ(evAttrByKeyword("MAXDEPT"), nullptr);
    EXPECT_EQ(evAttrByKeyword("MAXDEPTHS"), nullptr);
    EXPECT_EQ(evAttrByKeyword(""), nullptr);
    EXPECT_EQ(evConstBySymbol(evAttrTable, "mqia_max_q_depth"), nullptr);  // symbols keep their case
    EXPECT_EQ(evConstBySymbol(evAttrTable, "MQIA_MAX_Q_DEPT"), nullptr);
    // A keyword shared by several identifiers gives the first row by symbol.
    const evConstEntry *prewhere = evAttrByKeyword("PREWHERE");
    ASSERT_NE(prewhere, nullptr);
    EXPECT_EQ(prewhere->value, 39299);
}

TEST(AttrTable, IsSortedBySymbolAndHoldsNoFamilyBounds) {
    for (const evConstEntry *r = evAttrTable; r->symbol && r[1].symbol; ++r)
        EXPECT_LT(std::string(r->symbol), std::string(r[1].symbol));
    for (const char *bound :
         {"MQCA_FIRST", "MQCA_LAST", "MQIA_LAST_USED", "MQIACF_FIRST", "MQGACF_LAST_USED"})
        EXPECT_EQ(evConstBySymbol(evAttrTable, bound), nullptr) << bound;
}

TEST(PlatformNames, NameTheSixPlatforms) {
    EXPECT_STREQ(evPlatformName(4), "IBM i");
    EXPECT_STREQ(evPlatformName(1), "z/OS");
    EXPECT_STREQ(evPlatformName(3), "Unix");
    EXPECT_STREQ(evPlatformName(11), "Windows");
    EXPECT_STREQ(evPlatformName(2), "");  // OS/2 is not one of them
    EXPECT_EQ(evConstRowCount(evValuesMQPL), 6);
}

TEST(FeedbackTable, StartsWithTheEmptyRow) {
    EXPECT_EQ(evFeedbackTable[0].value, 0);
    EXPECT_STREQ(evFeedbackTable[0].symbol, "");
    EXPECT_STREQ(evFeedbackTable[0].description, "");
    for (const evConstEntry *r = evFeedbackTable + 1; r->symbol; ++r) {
        EXPECT_EQ(std::string(r->symbol).rfind("MQFB_", 0), 0u) << r->symbol;
        EXPECT_NE(evConstBySymbol(evReasonTable, r->symbol), nullptr) << r->symbol;
    }
    EXPECT_EQ(evConstBySymbol(evFeedbackTable, "MQFB_APPL_FIRST"), nullptr);
    EXPECT_EQ(evConstBySymbol(evFeedbackTable, "MQFB_NONE"), nullptr);
}

TEST(Directory, ListsTheTablesInLookupOrder) {
    EXPECT_EQ(evConstDirectory[0].table, evGeneralTable);
    EXPECT_EQ(evConstDirectory[1].table, evAttrTable);
    EXPECT_EQ(evConstDirectory[2].table, evCommandNameTable);
    EXPECT_EQ(evConstDirectory[3].table, evReasonTable);
    EXPECT_EQ(evConstDirectory[4].table, evFeedbackTable);
    EXPECT_EQ(evConstDirectory[5].table, evValuesMQAT);
    EXPECT_EQ(evConstDirectory[6].table, evValuesMQOT);
    EXPECT_EQ(evConstDirectory[19].table, evValuesHLVUR);
    EXPECT_EQ(evConstDirectory[41].table, evValuesMQPL);
    EXPECT_EQ(evConstDirectory[43].table, evGeneralTable);
}

TEST(Directory, FindsConstNamesIgnoringCase) {
    const evConstEntry *q = evConstFind("mqot_q");
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q->symbol, "MQOT_Q");
    EXPECT_EQ(q->value, 1);
    ASSERT_NE(evConstFind("HLV_OT_SUB"), nullptr);
    EXPECT_EQ(evConstFind("HLV_OT_SUB")->value, 10000);
    ASSERT_NE(evConstFind("mqtt_first"), nullptr);  // a real trigger type, not a bound
    ASSERT_NE(evConstFind("MQPER_PERSISTENT"), nullptr);
    EXPECT_EQ(evConstFind("MQPER_PERSISTENT")->value, 1);
    EXPECT_EQ(evConstFind(""), nullptr);
    EXPECT_EQ(evConstFind("MQOT_NO_SUCH_THING"), nullptr);
    EXPECT_EQ(evConstFind(std::string(100, 'A')), nullptr);
}

TEST(Directory, EveryTableEndsInAZeroRowAndHoldsNoRowTwice) {
    for (const evConstDirEntry &d : evConstDirectory) {
        ASSERT_NE(d.table, nullptr) << d.name;
        int n = evConstRowCount(d.table);
        EXPECT_GT(n, 0) << d.name;
        const evConstEntry &end = d.table[n];
        EXPECT_EQ(end.value, 0) << d.name;
        EXPECT_EQ(end.description, nullptr) << d.name;
        EXPECT_EQ(end.keyword, nullptr) << d.name;
        std::set<std::pair<int64_t, std::string>> seen;
        for (int i = 0; i < n; ++i) {
            ASSERT_NE(d.table[i].description, nullptr) << d.name << " row " << i;
            EXPECT_TRUE(seen.emplace(d.table[i].value, d.table[i].symbol).second)
                << d.name << " repeats " << d.table[i].symbol;
        }
    }
}

TEST(ValueSets, HoldTheirPrefixOnly) {
    // MQIGQ_ must not take the MQIGQPA_ rows, nor MQAT_ its bounds.
    for (const evConstEntry *r = evValuesMQIGQ; r->symbol; ++r)
        EXPECT_EQ(std::string(r->symbol).rfind("MQIGQPA_", 0), std::string::npos) << r->symbol;
    EXPECT_EQ(evConstBySymbol(evValuesMQAT, "MQAT_USER_FIRST"), nullptr);
    const evConstEntry *sub = evConstBySymbol(evValuesMQOT, "HLV_OT_SUB");
    ASSERT_NE(sub, nullptr);
    EXPECT_STREQ(sub->description, "");
    EXPECT_EQ(evConstBySymbol(evValuesHLVUR, "HLVUR_ENABLED")->value, 1);
    EXPECT_NE(evConstBySymbol(evGeneralTable, "MQSCO_CELL"), nullptr);
    EXPECT_EQ(evConstBySymbol(evGeneralTable, "MQSCO_CURRENT_LENGTH"), nullptr);
}
