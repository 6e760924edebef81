// Symbolic field values of WHERE filters.
#include <cstring>

#include "console/console.h"
#include "testing/testing.h"

namespace {

const evValueName kTypes[] = {
    {0, 1, "Local", "LOCAL", 0}, {0, 2, "Alias", "ALIAS", 0}, {0, 0, nullptr, nullptr, 0},  // mqi's end row
};

evParmDef field(const char *type, const evValueName *values) {
    evParmDef row{};
    row.type = type;
    row.keyword = "TYPE";
    row.valueNames = values;
    return row;
}

int resolve(const evParmDef *row, const char *name, ExpValue *out) {
    ExpValue value{};
    value.type = EXP_STR;
    value.data = const_cast<char *>(name);
    value.value.len = std::strlen(name);
    *out = ExpValue{};
    return cslResolveValueName(nullptr, row, &value, out);
}

TEST(ValueNames, IntegerFieldsTakeTheNumberOfTheWholeKeywordInAnyCase) {
    evParmDef row = field("i", kTypes);
    ExpValue out;
    ASSERT_EQ(resolve(&row, "local", &out), 1);
    EXPECT_EQ(out.type, EXP_INT);
    EXPECT_EQ(out.value.i, 1);
    EXPECT_EQ(resolve(&row, "loc", &out), 0);
    EXPECT_EQ(resolve(&row, "REMOTE", &out), 0);
}

TEST(ValueNames, StringFieldsTakeTheKeywordAsTheTableSpellsIt) {
    evParmDef row = field("s", kTypes);
    ExpValue out;
    ASSERT_EQ(resolve(&row, "alias", &out), 1);
    ASSERT_TRUE(expIsString(&out));
    EXPECT_EQ(std::string(out.data, out.value.len), "ALIAS");
}

TEST(ValueNames, OtherKindsAndFieldsWithoutATableNeverResolve) {
    ExpValue out;
    for (const char *kind : {"I", "L"}) {
        evParmDef row = field(kind, kTypes);
        EXPECT_EQ(resolve(&row, "LOCAL", &out), 0) << kind;
    }
    evParmDef bare = field("i", nullptr);
    EXPECT_EQ(resolve(&bare, "LOCAL", &out), 0);
    EXPECT_EQ(resolve(nullptr, "LOCAL", &out), 0);
    const evValueName empty[] = {{0, 5, "", "X", 0}};
    EXPECT_EQ(cslFindValueName(empty, "X", 1), nullptr);
}

TEST(AttributeDictionaries, QueueAndChannelKindsShareTheirDisplayFields) {
    const evParmDef *queue = cslAttributeDictionary(1);
    ASSERT_NE(queue, nullptr);
    for (int32_t kind : {1002, 1003, 1004, 1005}) EXPECT_EQ(cslAttributeDictionary(kind), queue) << kind;
    const evParmDef *channel = cslAttributeDictionary(6);
    ASSERT_NE(channel, nullptr);
    EXPECT_NE(channel, queue);
    for (int32_t kind = 1007; kind <= 1015; ++kind) EXPECT_EQ(cslAttributeDictionary(kind), channel) << kind;
    for (int32_t type : {2, 3, 5, 7, 8, 9, 11, 12, 1016, 1019, 1022, 10000})
        EXPECT_NE(cslAttributeDictionary(type), nullptr) << type;
    EXPECT_EQ(cslAttributeDictionary(10005), nullptr);  // the event processor's own queues have none
}

}  // namespace
