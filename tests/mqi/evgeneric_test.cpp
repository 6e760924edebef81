// Generic names: names cut to their first or last segments, and the comparison of last segments.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mqi/mqi.h"

namespace {

// The string the generic-name parameter appends for a name and segment count.
std::string generic(const std::string &name, int32_t segments, uint32_t ccsid = 850,
                    int32_t *gotCcsid = nullptr) {
    uint8_t *buffer = static_cast<uint8_t *>(CSGetMem(64));
    MQPCFInitHeader(buffer, MQCFT_COMMAND, 1);
    PcfCursor builder;
    MQPCFInitBuilder(&builder, buffer, 64, 1, 0, &buffer);  // grows for long names
    EvStringView view{name.data(), static_cast<uint32_t>(name.size()), ccsid};
    int32_t cc = 0, rc = 0;
    void *text = evAddGenericNameParm(&builder, 2016, &view, segments, &cc, &rc);
    EXPECT_NE(text, nullptr);
    EXPECT_EQ(cc, 0) << rc;
    PcfCursor parser;
    MQPCFInitParser(&parser, buffer, builder.position, 0);
    int32_t type = 0, id = 0, length = 0, count = 0;
    void *value = nullptr;
    MQPCFGetNextParm(&parser, &type, &id, &value, &length, &count, &cc, &rc);
    std::string out =
        cc == 0 ? std::string(static_cast<const char *>(value), static_cast<size_t>(length)) : "?";
    if (gotCcsid) *gotCcsid = mqiGetI32(parser.currentItem, 12);  // MQCFST CodedCharSetId
    EXPECT_EQ(type, MQCFT_STRING);
    EXPECT_EQ(id, 2016);
    CSFreeMem(buffer);
    return out;
}

int compare(const char *a, const char *b, int32_t segments, uint32_t ccsidB = 850) {
    EvStringView va{a, static_cast<uint32_t>(std::strlen(a)), 850};
    EvStringView vb{b, static_cast<uint32_t>(std::strlen(b)), ccsidB};
    return evCompareNameSegments(&va, &vb, segments);
}

}  // namespace

TEST(GenericName, CutsToTheFirstOrLastSegments) {
    EXPECT_EQ(generic("A.B.C", 1), "A.*");
    EXPECT_EQ(generic("A.B.C", 2), "A.B.*");
    EXPECT_EQ(generic("A.B.C", -1), "*.C");
    EXPECT_EQ(generic("A.B.C", -2), "*.B.C");
    EXPECT_EQ(generic("A.B", 2), "A.B");  // fewer dots: whole
    EXPECT_EQ(generic("A.B", -2), "A.B");
    EXPECT_EQ(generic("A.B.C", 0), "A.B.C");
    int32_t ccsid = 0;
    EXPECT_EQ(generic("X.Y", 1, 1208, &ccsid), "X.*");
    EXPECT_EQ(ccsid, 1208);
}

TEST(GenericName, LongNamesGoWhole) {
    std::string name = std::string(60, 'A') + "." + std::string(59, 'B');  // 120 characters
    EXPECT_EQ(generic(name, 1), name);
    std::string shorter = std::string(49, 'A') + "." + std::string(49, 'B');  // 99 characters
    EXPECT_EQ(generic(shorter, 1), std::string(49, 'A') + ".*");
}

TEST(CompareNameSegments, ComparesTheLastSegments) {
    EXPECT_EQ(compare("X.Q1", "Y.Q1", -1), 0);
    EXPECT_EQ(compare("X.Q1", "X.Q2", -1), 1);
    EXPECT_EQ(compare("A.X.Q1", "B.X.Q1", -2), 0);
    EXPECT_EQ(compare("A.X.Q1", "A.Y.Q1", -2), 1);
    EXPECT_EQ(compare("Q1", "Q1", -1), 0);  // both end together
    EXPECT_EQ(compare("Q1", "XQ1", -1), 1);
    EXPECT_EQ(compare("X.Q1", "Y.Q1", -1, 1208), 1);  // different code pages
    EXPECT_EQ(compare("A.B", "A.B", 0), 0);
    EXPECT_EQ(compare("A.B", "A.C", 0), 1);
    EXPECT_EQ(compare("A.B", "A.C", 1), 0);
}
