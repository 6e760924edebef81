// Symbolic field values of WHERE filters.
#include <cstring>
#include <optional>

#include "cmdserver/cmdserver.h"
#include "console/console.h"
#include "console_testing.h"
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

TEST(ValueNames, TheCommandServersWhereResolvesThemOnceInstalled) {
    evParmDef table[2] = {field("i", kTypes), {}};
    table[0].keywordLength = 4;
    ExpExpression e{};
    e.caller.context = table;  // the object fields; no object: the parse's trial
    auto var = [](const char *name) {
        ExpValue v{};
        v.type = EXP_VAR;
        v.data = const_cast<char *>(name);
        v.value.len = std::strlen(name);
        return v;
    };
    ExpValue partner = var("TYPE");
    const struct {
        const char *name;
        int installed;
        int resolved;
        int64_t value;
    } cases[] = {{"alias", 1, 1, 2}, {"LOCAL", 1, 1, 1}, {"loc", 1, 0, 0}, {"alias", 0, 0, 0}};
    for (const auto &c : cases) {
        std::optional<ScopedInstall> installed;
        if (c.installed) installed.emplace();
        ExpValue name = var(c.name);
        ExpValue result{};
        const int got = evWhereObjectVar(&e, &partner, &name, &result);
        EXPECT_EQ(got == 1 && result.type == EXP_INT, c.resolved == 1) << c.name << c.installed;
        if (c.resolved)
            EXPECT_EQ(result.value.i, c.value) << c.name;
        else
            EXPECT_EQ(std::string(e.errorText), "Unknown variable '" + std::string(c.name) + "'.");
    }
    CSFreeMem(e.errorText);
}

TEST(AttributeDictionaries, TheEmittersFindAttributesByIdOnceInstalled) {
    ScopedInstall installed;
    ASSERT_NE(emitAttributeLookup, nullptr);
    const evParmDef *queue = cslAttributeDictionary(1);
    const evParmDef *channel = cslAttributeDictionary(6);
    ASSERT_NE(queue, nullptr);
    ASSERT_NE(channel, nullptr);
    const evParmDef *queueRow = &queue[1];
    const evParmDef *channelRow = &channel[1];
    const struct {
        int32_t type;
        int32_t id;
        const evParmDef *row;
    } cases[] = {
        {1, static_cast<int32_t>(queueRow->parmId), queueRow},
        {1003, static_cast<int32_t>(queueRow->parmId), queueRow},
        {1008, static_cast<int32_t>(channelRow->parmId), channelRow},
        {10005, static_cast<int32_t>(queueRow->parmId), nullptr},  // a type without a dictionary
        {1, 0, nullptr},
        {1, 999999, nullptr},
    };
    for (const auto &c : cases) EXPECT_EQ(emitAttributeLookup(c.type, c.id), c.row) << c.type << "/" << c.id;
    // Any type: a row that names the id, from the first dictionary that has it.
    const evParmDef *any = emitAttributeLookup(0, static_cast<int32_t>(channelRow->parmId));
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->parmId, channelRow->parmId);
}

}  // namespace
