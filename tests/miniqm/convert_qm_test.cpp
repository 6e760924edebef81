// Conversion through the MQI: MQGET with MQGMO_CONVERT and the exported MQXCNVC.
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

Rc putText(MQHCONN h, MQHOBJ o, const std::string &data, MQLONG ccsid, const char *format = MQFMT_STRING) {
    MQMD md = MQMD_DEFAULT;
    md.CodedCharSetId = ccsid;
    std::memcpy(md.Format, format, 8);
    return put(h, o, data, MQPMO_NO_SYNCPOINT, &md);
}

Rc getConverted(MQHCONN h, MQHOBJ o, MQLONG ccsid, std::string &data, MQMD &md, MQLONG bufferLength = 1000,
                MQLONG *dataLength = nullptr) {
    md = MQMD_DEFAULT;
    md.CodedCharSetId = ccsid;
    return get(h, o, &data, MQGMO_NO_SYNCPOINT | MQGMO_CONVERT, &md, bufferLength, dataLength);
}

}  // namespace

class ConvertQm : public QmTest {};

TEST_F(ConvertQm, GetConvertsStringsAndReportsWhatItCannot) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_OUTPUT);
    std::string data;
    MQMD md;
    MQLONG length = 0;

    ASSERT_RC(putText(h, o, "Caf\xE9", 819), MQCC_OK, MQRC_NONE);
    EXPECT_RC(getConverted(h, o, 1208, data, md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "Caf\xC3\xA9");
    EXPECT_EQ(md.CodedCharSetId, 1208);

    // MQCCSI_Q_MGR asks for the queue manager's 819: nothing to convert.
    ASSERT_RC(putText(h, o, "plain", 819), MQCC_OK, MQRC_NONE);
    EXPECT_RC(getConverted(h, o, MQCCSI_Q_MGR, data, md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "plain");

    ASSERT_RC(putText(h, o, "bytes", 819, MQFMT_NONE), MQCC_OK, MQRC_NONE);
    EXPECT_RC(getConverted(h, o, 500, data, md), MQCC_WARNING, MQRC_FORMAT_ERROR);
    EXPECT_EQ(data, "bytes");
    EXPECT_EQ(md.CodedCharSetId, 819);

    ASSERT_RC(putText(h, o, "x", 4711), MQCC_OK, MQRC_NONE);
    EXPECT_RC(getConverted(h, o, 819, data, md), MQCC_WARNING, MQRC_SOURCE_CCSID_ERROR);
    ASSERT_RC(putText(h, o, "x", 819), MQCC_OK, MQRC_NONE);
    EXPECT_RC(getConverted(h, o, 4711, data, md), MQCC_WARNING, MQRC_TARGET_CCSID_ERROR);
    EXPECT_EQ(data, "x");

    // Fits only unconverted: removed, returned unconverted, 2120.
    ASSERT_RC(putText(h, o, "\xE9\xE9", 819), MQCC_OK, MQRC_NONE);
    EXPECT_RC(getConverted(h, o, 1208, data, md, 3, &length), MQCC_WARNING, MQRC_CONVERTED_MSG_TOO_BIG);
    EXPECT_EQ(data, "\xE9\xE9");
    EXPECT_EQ(length, 2);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 0);
}

TEST_F(ConvertQm, XcnvcNeedsAConnectionAndTruncatesWithAWarning) {
    char source[] = "ABCDEF";
    char target[4];
    MQLONG length = -1;
    Rc r;
    MQXCNVC(h, 545, 819, 6, source, 500, 4, target, &length, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_CONVERTED_MSG_TOO_BIG);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(std::string(target, 4), "\xC1\xC2\xC3\xC4");
    MQXCNVC(h, 545, 819, 6, source, 4711, 4, target, &length, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_TARGET_CCSID_ERROR);
    MQXCNVC(12345, 545, 819, 6, source, 500, 4, target, &length, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_HCONN_ERROR);
}
