// Code-page conversion through a real MQ library: the system binds the stand-in queue manager's
// libmqm at run time and converts with its MQXCNVC, as it would with IBM MQ's.
#include <algorithm>
#include <cstring>

#include "miniqm/qm_fixture.h"
#include "mqi/mqi.h"
#include "testing/built_paths.h"

namespace {

struct BoundConnection {
    MQIFunctionTable table{};
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;

    explicit BoundConnection(const std::string &qmgr) {
        if (MQLoadLibrary(MINIQM_MQM_LIBRARY, &table) != 0) return;
        MQLONG cc = 0, reason = 0;
        char name[MQ_Q_MGR_NAME_LENGTH] = {};
        std::memcpy(name, qmgr.data(), std::min(qmgr.size(), sizeof name));
        table.MQCONN(name, &hconn, &cc, &reason);
        if (cc == MQCC_FAILED) hconn = MQHC_UNUSABLE_HCONN;
    }
    ~BoundConnection() {
        MQLONG cc = 0, reason = 0;
        if (hconn != MQHC_UNUSABLE_HCONN) table.MQDISC(&hconn, &cc, &reason);
    }
};

TEST(MQConvertStringQm, ConvertsUtf8ToCodePage850ThroughTheBoundLibrary) {
    qmt::QmServer qm;
    ASSERT_TRUE(qm.ok());
    BoundConnection c(qm.name());
    ASSERT_NE(c.hconn, MQHC_UNUSABLE_HCONN);

    const char source[] = "Caf\xC3\xA9 \xC3\x9C";  // "Café Ü" in UTF-8
    char target[64] = {};
    int32_t length = sizeof target;
    EXPECT_EQ(MQConvertString(&c.table, c.hconn, source, static_cast<int32_t>(std::strlen(source)), target,
                              &length, 1208, 850),
              0);
    EXPECT_EQ(std::string(target, static_cast<size_t>(length)), "Caf\x82 \x9A");
}

TEST(MQConvertStringQm, NamesWhichSideOfAConversionIsUnsupported) {
    qmt::QmServer qm;
    ASSERT_TRUE(qm.ok());
    BoundConnection c(qm.name());
    ASSERT_NE(c.hconn, MQHC_UNUSABLE_HCONN);

    char target[16] = {};
    int32_t length = sizeof target;
    EXPECT_EQ(MQConvertString(&c.table, c.hconn, "abc", 3, target, &length, 99999, 850), 4);
    length = sizeof target;
    EXPECT_EQ(MQConvertString(&c.table, c.hconn, "abc", 3, target, &length, 1208, 99999), 5);
}

}  // namespace
