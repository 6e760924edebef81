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

}  // namespace
