// The DISPLAY field tables of the five families: their sizes, unique keywords, every field read back
// through its row's offset and data type by the WHERE reader, every id of the families'
// field lists present, and their registration with the command tables.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "stats/stats_testing.h"

namespace {

using namespace stt;

const StatsFamily *const kFamilies[] = {&evStatQFamily, &evStatChlFamily, &evStatMQIFamily, &evAcctQFamily,
                                        &evAcctMQIFamily};

class FieldTables : public StatsTest {};

TEST_F(FieldTables, HaveTheirRowCountsAndUniqueKeywords) {
    const std::pair<const StatsFamily *, uint32_t> sizes[] = {{&evStatQFamily, 62},
                                                              {&evStatChlFamily, 43},
                                                              {&evStatMQIFamily, 151},
                                                              {&evAcctQFamily, 98},
                                                              {&evAcctMQIFamily, 135}};
    for (auto [family, rows] : sizes) {
        SCOPED_TRACE(family->name);
        EXPECT_EQ(family->parmCount, rows);
        EXPECT_EQ(family->parms[rows].parmId, 0u);
        EXPECT_EQ(family->parms[rows].keyword, nullptr);
        std::set<std::string> keywords;
        for (uint32_t i = 0; i < rows; i++) {
            ASSERT_NE(family->parms[i].keyword, nullptr) << i;
            EXPECT_TRUE(keywords.insert(family->parms[i].keyword).second) << family->parms[i].keyword;
        }
    }
}

// A row's value as the WHERE reader reads it from a record through the row's offset and data type.
std::string readByRow(const evParmDef &row, const void *record) {
    ExpValue value{};
    if (!evGetAttrValue(&row, nullptr, record, row.recordOffset, &value)) return "no value";
    std::string out = value.type == EXP_INT ? std::to_string(value.value.i)
                      : expIsString(&value) ? std::string(value.data, value.value.len)
                                            : "type " + std::to_string(value.type);
    expReleaseValue(&value);
    return out;
}

// The data type each field width is given, one meaning per code.
uint32_t dataTypeOf(uint8_t width, uint16_t flags) {
    switch (width) {
        case STATS_W_U32:
            return flags & STATS_F_SIGNED ? EV_DATATYPE_INT32 : EV_DATATYPE_UINT32;
        case STATS_W_I64:
            return EV_DATATYPE_INT64;
        case STATS_W_STRING:
            return EV_DATATYPE_STRING;
        case STATS_W_BYTES:
            return EV_DATATYPE_BYTES;
        default:
            return 0;
    }
}

TEST_F(FieldTables, GiveEveryFieldThroughItsRowsOffsetAndDataType) {
    for (const StatsFamily *family : kFamilies) {
        SCOPED_TRACE(family->name);
        // A distinct value in every field, remembered by id.
        std::vector<uint8_t> record(family->recordSize);
        std::vector<std::string> texts(family->fieldCount);
        std::map<uint32_t, std::string> expected;
        for (uint32_t i = 0; i < family->fieldCount; i++) {
            const StatsField &f = family->fields[i];
            uint8_t *at = record.data() + f.offset;
            char name[16];
            std::snprintf(name, sizeof name, "%c%u", f.width == STATS_W_BYTES ? 'B' : 'S', i);
            if (f.width == STATS_W_U32) {
                // Past 2^31 where the field is unsigned: read whole, never negative.
                const bool signedField = (f.flags & STATS_F_SIGNED) != 0;
                const uint32_t v = signedField ? 1000 + i : 3000000000u + i;
                std::memcpy(at, &v, 4);
                expected[f.id] = std::to_string(v);
            } else if (f.width == STATS_W_I64) {
                int64_t v = 5000000000LL + i;
                std::memcpy(at, &v, 8);
                expected[f.id] = std::to_string(v);
            } else if (f.width == STATS_W_STRING) {
                const StringEntry *e = evStringLookup(intern(name));
                std::memcpy(at, &e, sizeof e);
                expected[f.id] = name;
            } else if (f.width == STATS_W_BYTES) {
                texts[i] = name;
                const char *p = texts[i].data();
                auto length = static_cast<uint16_t>(texts[i].size());
                std::memcpy(at, &p, sizeof p);
                std::memcpy(at + sizeof p, &length, 2);
                expected[f.id] = texts[i];
            }
        }
        uint32_t read = 0;
        for (uint32_t i = 0; i < family->parmCount; i++) {
            const evParmDef &row = family->parms[i];
            if (row.recordOffset < 0) continue;
            ASSERT_TRUE(expected.count(row.parmId)) << row.keyword;
            EXPECT_EQ(readByRow(row, record.data()), expected[row.parmId]) << row.keyword;
            // Times alone are shown as times; a 64-bit counter is an integer.
            const StatsField *f = evStatsFieldById(family, static_cast<int32_t>(row.parmId));
            EXPECT_EQ(row.dataType, dataTypeOf(f->width, f->flags)) << row.keyword;
            EXPECT_EQ(row.type[0] == 't', (f->flags & STATS_F_TIME) != 0) << row.keyword;
            if (f->width == STATS_W_U32) {
                // The unset and mixed values stay markers: no value, and below every true value.
                std::vector<uint8_t> marked(record);
                for (const auto &[marker, want] :
                     {std::pair{STATS_UNSET_32, "no value"}, std::pair{STATS_MIXED_32, "-2147483646"}}) {
                    std::memcpy(marked.data() + f->offset, &marker, 4);
                    EXPECT_EQ(readByRow(row, marked.data()), want) << row.keyword;
                }
            }
            read++;
        }
        // Every row but 18: the options and computed names (the stream, which the MQI statistics
        // have as their object, and the queue manager) among the first 18, and ALL, WHERE, PREWHERE.
        EXPECT_EQ(read, family->parmCount - 18);
    }
}

// The field lists of the families, by PCF id.
std::vector<uint32_t> range(uint32_t first, uint32_t last, std::set<uint32_t> without = {}) {
    std::vector<uint32_t> ids;
    for (uint32_t id = first; id <= last; id++)
        if (!without.count(id)) ids.push_back(id);
    return ids;
}
std::vector<uint32_t> operator+(std::vector<uint32_t> a, const std::vector<uint32_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(FieldTables, HoldEveryIdOfTheFamiliesFieldLists) {
    // Held in the records but shown by no row: the flags.
    const std::set<uint32_t> noRow = {39442};
    const std::vector<uint32_t> mqiCounters =
        range(31002, 31135, {31027, 31036, 31037, 31039, 31040, 31041, 31108});
    const std::vector<uint32_t> statMqiOnly = {31028, 31029, 31109, 31110, 31111, 31112, 31113};
    const std::vector<uint32_t> acctMqiCounters =
        range(31002, 31107, {31027, 31028, 31029, 31036, 31037, 31039, 31040, 31041});
    const std::pair<const StatsFamily *, std::vector<uint32_t>> lists[] = {
        {&evStatQFamily,
         std::vector<uint32_t>{2016, 20, 7, 31, 39442, 39398, 39399, 39401, 39409, 39434, 31178, 31179} +
             range(31000, 31038, {31030, 31031, 31032, 31033, 31034, 31035})},
        {&evStatChlFamily, std::vector<uint32_t>{3501, 2017, 3506, 39398, 39399, 39401, 39409, 39434, 31,
                                                 39442, 31180, 31181, 31182, 1511} +
                               range(31136, 31147)},
        {&evStatMQIFamily, std::vector<uint32_t>{39398, 39399, 39401, 39442, 39409, 39434, 31} + mqiCounters},
        {&evAcctMQIFamily,
         std::vector<uint32_t>{3024,  3025,  3501,  3506,  3561,  3560,  7006, 39398, 39399, 31,
                               39442, 39409, 39434, 31040, 31041, 31108, 1024, 1025,  716,   1079} +
             acctMqiCounters},
        {&evAcctQFamily, std::vector<uint32_t>{2016, 3024, 3025, 3501, 3506, 7006, 39442, 31, 1024, 1025, 20,
                                               7, 1079, 39398, 39399, 39409, 39434} +
                             range(31002, 31035, {31027, 31028, 31029}) + std::vector<uint32_t>{31038} +
                             range(31148, 31179)},
    };
    EXPECT_EQ(mqiCounters.size(), 127u);
    EXPECT_EQ(acctMqiCounters.size(), 98u);
    for (uint32_t id : statMqiOnly)
        EXPECT_NE(std::find(acctMqiCounters.begin(), acctMqiCounters.end(), id) == acctMqiCounters.end(),
                  std::find(mqiCounters.begin(), mqiCounters.end(), id) == mqiCounters.end());
    for (const auto &[family, ids] : lists) {
        SCOPED_TRACE(family->name);
        std::set<uint32_t> rows;
        for (uint32_t i = 0; i < family->parmCount; i++) rows.insert(family->parms[i].parmId);
        for (uint32_t id : ids) {
            EXPECT_NE(evStatsFieldById(family, static_cast<int32_t>(id)), nullptr) << id;
            EXPECT_NE(rows.count(id) != 0, noRow.count(id) != 0) << id;
        }
        // And nothing else: every field with an id is in the list.
        for (uint32_t i = 0; i < family->fieldCount; i++) {
            if (family->fields[i].id == 0) continue;
            EXPECT_NE(std::find(ids.begin(), ids.end(), family->fields[i].id), ids.end())
                << family->fields[i].keyword;
        }
    }
}

TEST_F(FieldTables, AreTheStatisticsDisplaysTablesOnceInstalled) {
    InitialiseCommandFields();
    ASSERT_EQ(statsInstall(), 1);
    for (const StatsFamily *family : kFamilies) {
        SCOPED_TRACE(family->name);
        const evCommandDef *command = evCommandTable;
        while (command->verb && command->code != family->displayCode) command++;
        ASSERT_NE(command->verb, nullptr);
        EXPECT_EQ(command->parms, family->parms);
        // Completed on registration: every keyword is found whole.
        for (uint32_t i = 0; i < family->parmCount; i++) {
            const evParmDef &row = family->parms[i];
            EXPECT_EQ(
                evFindField(family->parms, row.keyword, std::strlen(row.keyword), EV_FIELD_EXACT, nullptr),
                &row)
                << row.keyword;
        }
    }
}

}  // namespace
