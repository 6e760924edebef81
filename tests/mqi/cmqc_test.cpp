// The MQI declarations: default initial values and constants as IBM MQ documents them. The layouts
// themselves are checked at compile time in mqi/cmqc_structs.h.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mqi/cmqc.h"

namespace {

template <std::size_t N>
std::string chars(const MQCHAR (&field)[N]) {
    return std::string(field, N);
}
template <std::size_t N>
bool allZero(const MQBYTE (&field)[N]) {
    for (MQBYTE b : field)
        if (b != 0) return false;
    return true;
}

TEST(Cmqc, MessageDescriptorDefaultHoldsDocumentedValues) {
    MQMD md = {MQMD_DEFAULT};
    EXPECT_EQ(chars(md.StrucId), "MD  ");
    EXPECT_EQ(md.Version, 1);
    EXPECT_EQ(md.Report, 0);
    EXPECT_EQ(md.MsgType, 8);
    EXPECT_EQ(md.Expiry, -1);
    EXPECT_EQ(md.Feedback, 0);
    EXPECT_EQ(md.Encoding, 546);
    EXPECT_EQ(md.CodedCharSetId, 0);
    EXPECT_EQ(chars(md.Format), "        ");
    EXPECT_EQ(md.Priority, -1);
    EXPECT_EQ(md.Persistence, 2);
    EXPECT_TRUE(allZero(md.MsgId));
    EXPECT_TRUE(allZero(md.CorrelId));
    EXPECT_TRUE(allZero(md.AccountingToken));
    EXPECT_TRUE(allZero(md.GroupId));
    EXPECT_EQ(chars(md.ReplyToQ), std::string(48, '\0'));
    EXPECT_EQ(chars(md.ReplyToQMgr), std::string(48, '\0'));
    EXPECT_EQ(chars(md.UserIdentifier), std::string(12, '\0'));
    EXPECT_EQ(chars(md.PutDate), std::string(8, '\0'));
    EXPECT_EQ(chars(md.PutTime), std::string(8, '\0'));
    EXPECT_EQ(md.MsgSeqNumber, 1);
    EXPECT_EQ(md.Offset, 0);
    EXPECT_EQ(md.OriginalLength, -1);
}

TEST(Cmqc, ObjectDescriptorDefaultIsAQueueWithDynamicNamePattern) {
    MQOD od = MQOD_DEFAULT;
    EXPECT_EQ(chars(od.StrucId), "OD  ");
    EXPECT_EQ(od.Version, 1);
    EXPECT_EQ(od.ObjectType, MQOT_Q);
    EXPECT_EQ(chars(od.ObjectName), std::string(48, '\0'));
    EXPECT_EQ(chars(od.DynamicQName), std::string("AMQ.*") + std::string(43, '\0'));
    EXPECT_EQ(od.ObjectString.VSPtr, nullptr);
    EXPECT_EQ(od.ObjectString.VSCCSID, MQCCSI_APPL);
    EXPECT_EQ(od.ResolvedType, MQOT_NONE);
}

TEST(Cmqc, GetOptionsDefaultMatchesOnIdsWithBlankStatusFields) {
    MQGMO gmo = MQGMO_DEFAULT;
    EXPECT_EQ(chars(gmo.StrucId), "GMO ");
    EXPECT_EQ(gmo.Version, 1);
    EXPECT_EQ(gmo.Options, 0);
    EXPECT_EQ(gmo.MatchOptions, 3);
    EXPECT_EQ(gmo.GroupStatus, ' ');
    EXPECT_EQ(gmo.SegmentStatus, ' ');
    EXPECT_EQ(gmo.Segmentation, ' ');
    EXPECT_EQ(gmo.ReturnedLength, -1);
    EXPECT_EQ(gmo.MsgHandle, 0);
}

TEST(Cmqc, OtherDefaultsCarryTheirIdsVersionsAndKeyValues) {
    EXPECT_EQ(chars(MQPMO_DEFAULT.StrucId), "PMO ");
    EXPECT_EQ(MQPMO_DEFAULT.Timeout, -1);
    EXPECT_EQ(MQPMO_DEFAULT.PubLevel, 9);
    EXPECT_EQ(chars(MQCNO_DEFAULT.StrucId), "CNO ");
    EXPECT_EQ(MQCNO_DEFAULT.Version, 1);
    EXPECT_EQ(chars(MQCSP_DEFAULT.StrucId), "CSP ");
    EXPECT_EQ(chars(MQCBD_DEFAULT.StrucId), "CBD ");
    EXPECT_EQ(MQCBD_DEFAULT.CallbackType, MQCBT_MESSAGE_CONSUMER);
    EXPECT_EQ(MQCBD_DEFAULT.MaxMsgLength, -1);
    EXPECT_EQ(chars(MQCBC_DEFAULT.StrucId), "CBC ");
    EXPECT_EQ(chars(MQCTLO_DEFAULT.StrucId), "CTLO");
    EXPECT_EQ(MQCTLO_DEFAULT.Reserved, -1);
    EXPECT_EQ(chars(MQSD_DEFAULT.StrucId), "SD  ");
    EXPECT_EQ(MQSD_DEFAULT.SubLevel, 1);
    EXPECT_EQ(MQSD_DEFAULT.PubPriority, MQPRI_PRIORITY_AS_PUBLISHED);
    EXPECT_EQ(chars(MQSTS_DEFAULT.StrucId), "STAT");
    EXPECT_EQ(chars(MQDLH_DEFAULT.StrucId), "DLH ");
    EXPECT_EQ(chars(MQDLH_DEFAULT.Format), "        ");
    EXPECT_EQ(chars(MQRFH2_DEFAULT.StrucId), "RFH ");
    EXPECT_EQ(MQRFH2_DEFAULT.Version, 2);
    EXPECT_EQ(MQRFH2_DEFAULT.StrucLength, 36);
    EXPECT_EQ(MQRFH2_DEFAULT.NameValueCCSID, 1208);
    EXPECT_EQ(chars(MQEPH_DEFAULT.StrucId), "EPH ");
    EXPECT_EQ(MQEPH_DEFAULT.StrucLength, 68);
    EXPECT_EQ(MQEPH_DEFAULT.PCFHeader.StrucLength, 36);
    EXPECT_EQ(chars(MQCMHO_DEFAULT.StrucId), "CMHO");
    EXPECT_EQ(chars(MQDMHO_DEFAULT.StrucId), "DMHO");
    EXPECT_EQ(chars(MQIMPO_DEFAULT.StrucId), "IMPO");
    EXPECT_EQ(MQIMPO_DEFAULT.RequestedCCSID, MQCCSI_APPL);
    EXPECT_EQ(chars(MQSMPO_DEFAULT.StrucId), "SMPO");
    EXPECT_EQ(chars(MQDMPO_DEFAULT.StrucId), "DMPO");
    EXPECT_EQ(chars(MQPD_DEFAULT.StrucId), "PD  ");
    EXPECT_EQ(MQPD_DEFAULT.CopyOptions, MQCOPY_DEFAULT);
    EXPECT_EQ(chars(MQBMHO_DEFAULT.StrucId), "BMHO");
    EXPECT_EQ(chars(MQSCO_DEFAULT.StrucId), "SCO ");
}

TEST(Cmqc, ChannelDefinitionDefaultIsVersionSixSender) {
    MQCD cd = MQCD_DEFAULT;
    EXPECT_EQ(cd.Version, 6);
    EXPECT_EQ(cd.StrucLength, MQCD_LENGTH_6);
    EXPECT_EQ(cd.ChannelType, MQCHT_SENDER);
    EXPECT_EQ(cd.TransportType, MQXPT_LU62);
    EXPECT_EQ(cd.MaxMsgLength, 4194304);
    EXPECT_EQ(cd.HdrCompList[0], MQCOMPRESS_NONE);
    EXPECT_EQ(cd.HdrCompList[1], MQCOMPRESS_NOT_AVAILABLE);
    EXPECT_EQ(cd.MsgCompList[15], MQCOMPRESS_NOT_AVAILABLE);
    EXPECT_EQ(cd.KeepAliveInterval, MQKAI_AUTO);
    EXPECT_EQ(chars(cd.ChannelName), std::string(20, '\0'));
}

TEST(Cmqc, PcfHeaderDefaultHasItsWireImage) {
    MQCFH cfh = MQCFH_DEFAULT;
    unsigned char bytes[sizeof cfh];
    std::memcpy(bytes, &cfh, sizeof cfh);
    const unsigned char want[36] = {1, 0, 0, 0, 36, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                    0, 0, 1, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, want, 36), 0);
    EXPECT_EQ(MQCFIN_DEFAULT.Type, MQCFT_INTEGER);
    EXPECT_EQ(MQCFIN_DEFAULT.StrucLength, 16);
    EXPECT_EQ(MQCFST_DEFAULT.StrucLength, 20);
    EXPECT_EQ(MQCFGR_DEFAULT.Type, 20);
    EXPECT_EQ(MQCFSF_DEFAULT.Operator, MQCFOP_EQUAL);
}

TEST(Cmqc, ConstantsKeepTheirExactValuesAndBytes) {
    EXPECT_EQ(MQRC_FUNCTION_NOT_SUPPORTED, 2298);
    EXPECT_EQ(MQCC_FAILED, 2);
    EXPECT_EQ(MQHC_UNUSABLE_HCONN, -1);
    EXPECT_EQ(std::string(MQFMT_EVENT), "MQEVENT ");
    EXPECT_EQ(std::string(MQFMT_ADMIN), "MQADMIN ");
    EXPECT_EQ(sizeof(MQMI_NONE), 25u);  // 24 NULs and the terminator
    EXPECT_EQ(MQMI_NONE[23], '\0');
    EXPECT_EQ(MQACTT_NT_SECURITY_ID, '\x0B');
    EXPECT_EQ(MQGS_LAST_MSG_IN_GROUP, 'L');
    EXPECT_EQ(MQENC_NATIVE, 546);
}

}  // namespace
