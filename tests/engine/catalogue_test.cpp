// The expression catalogue the engine fills: MQ constants, event, alert and MQMD fields from the
// command tables, and a script's functions only once a script slot knows them.
#include <cstring>

#include "engine_testing.h"

namespace {

constexpr ExpOperator kUserRow{"TWICE", 20, 8, EXP_OPF_USER, nullptr, 1, 0, 5};

const ExpOperator *fakeFindFunction(void *, const char *name, size_t length) {
    return length == 5 && std::memcmp(name, "TWICE", 5) == 0 ? &kUserRow : nullptr;
}

int noVariable(ExpExpression *, ExpValue *, ExpValue *, ExpValue *) {
    return 0;
}

class Catalogue : public ::testing::Test {
protected:
    void SetUp() override {
        evServices = EvServices{};
        evInstallCatalogue();
    }
    void TearDown() override {
        expSetCatalogue(nullptr);
        evServices = EvServices{};
    }
    // The parse error, empty when the text parsed.
    std::string parse(const char *text) {
        char *error = nullptr;
        ExpCallerBlock block{reinterpret_cast<void *>(1), nullptr, nullptr, 0};
        ExpExpression *e =
            expParseExpression(text, -1, 0, 0, expScriptOperatorTable, noVariable, nullptr, &block, &error);
        std::string message = error != nullptr ? error : "";
        if (error != nullptr) CSFreeMem(error);
        if (e != nullptr) expFreeExpression(e);
        return message;
    }
};

TEST_F(Catalogue, NamesKnownToTheTablesParseAndOthersAreRefused) {
    struct Case {
        const char *text;
        const char *error;  // a part of the error; "" when it parses
    } cases[] = {
        {"CONST.MQRC_NOT_AUTHORIZED = 2035", ""},
        {"event.EVREASON", ""},
        {"event.summary", ""},
        {"alert.SEVERITY > 10", ""},
        {"mqmd.PUTAPPLNAME", ""},
        {"event.NOSUCH", "Invalid variable name 'event.NOSUCH'"},
        {"mqmd.NOSUCH", "Invalid variable name"},
        {"alert.EXPIRETI", "Can not use a constructed variable 'alert.EXPIRETI'"},
        {"CONST.MQRC_NO_SUCH_THING", "Unrecognised constant"},
        {"data.anything", "Invalid variable name"},  // no script: no data keyword is known
    };
    for (const Case &c : cases) {
        std::string error = parse(c.text);
        if (c.error[0] == '\0')
            EXPECT_EQ(error, "") << c.text;
        else
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
}

TEST_F(Catalogue, AConstantHasItsValue) {
    char *error = nullptr;
    ExpExpression *e = expParseExpression("CONST.MQRC_NOT_AUTHORIZED = 2035", -1, 0, 0,
                                          expScriptOperatorTable, noVariable, nullptr, nullptr, &error);
    ASSERT_NE(e, nullptr);
    ExpValue result{};
    ASSERT_EQ(expEvaluateCondition(e, &result), 1);
    EXPECT_EQ(result.type, EXP_INT);
    EXPECT_EQ(result.value.i, 1);
    expFreeExpression(e);
}

TEST_F(Catalogue, AScriptFunctionIsKnownOnlyThroughTheScriptSlot) {
    const std::string without = parse("TWICE(2)");
    evServices.findFunction = fakeFindFunction;
    EXPECT_EQ(parse("TWICE(2)"), "");
    EXPECT_NE(without, "");
}

}  // namespace
