// The MQI as this system compiles against it: elementary types, constants, structures with their
// default initial values, and the 25 verbs. Written for 64-bit Linux and Windows (LP64/LLP64 give the
// same layouts); the binary calls IBM MQ's own libraries through it. Needs nothing but the C++
// standard library, so the stand-in queue manager includes it without the binding.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Elementary types ------------------------------------------------------------------------------

typedef char MQCHAR;
typedef unsigned char MQBYTE;
typedef std::int32_t MQLONG;
typedef std::uint32_t MQULONG;
typedef std::int32_t MQINT32;
typedef std::uint32_t MQUINT32;
typedef std::int64_t MQINT64;
typedef std::uint64_t MQUINT64;
typedef std::int8_t MQINT8;
typedef std::int16_t MQINT16;
typedef float MQFLOAT32;
typedef double MQFLOAT64;
typedef MQLONG MQBOOL;
typedef MQLONG MQHCONN;  // MQHC_UNUSABLE_HCONN (-1) reads as 0xFFFFFFFF
typedef MQLONG MQHOBJ;
typedef MQINT64 MQHMSG;
typedef void *MQPTR;
typedef void MQVOID;

typedef MQCHAR MQCHAR4[4];
typedef MQCHAR MQCHAR8[8];
typedef MQCHAR MQCHAR12[12];
typedef MQCHAR MQCHAR16[16];
typedef MQCHAR MQCHAR20[20];
typedef MQCHAR MQCHAR28[28];
typedef MQCHAR MQCHAR32[32];
typedef MQCHAR MQCHAR48[48];
typedef MQCHAR MQCHAR64[64];
typedef MQCHAR MQCHAR128[128];
typedef MQCHAR MQCHAR256[256];
typedef MQCHAR MQCHAR264[264];
typedef MQBYTE MQBYTE4[4];
typedef MQBYTE MQBYTE8[8];
typedef MQBYTE MQBYTE16[16];
typedef MQBYTE MQBYTE24[24];
typedef MQBYTE MQBYTE32[32];
typedef MQBYTE MQBYTE40[40];
typedef MQBYTE MQBYTE128[128];

typedef MQCHAR *PMQCHAR;
typedef MQBYTE *PMQBYTE;
typedef MQLONG *PMQLONG;
typedef MQINT64 *PMQINT64;
typedef MQHCONN *PMQHCONN;
typedef MQHOBJ *PMQHOBJ;
typedef MQHMSG *PMQHMSG;
typedef MQPTR *PMQPTR;
typedef void *PMQVOID;

static_assert(sizeof(MQLONG) == 4 && sizeof(MQINT64) == 8 && sizeof(MQPTR) == 8 && sizeof(MQHMSG) == 8,
              "the MQI layouts here are those of 64-bit platforms");

// Every MQI constant, generated from mqi/data/constants.tsv.
#include "mqi/cmqc_values.h"

// The structures, with their layouts checked at compile time, generated from mqi/data/structures.md.
#include "mqi/cmqc_structs.h"

static_assert(sizeof(MQCHARV) == 24);

// ---- Default initial values --------------------------------------------------------------------------
// IBM MQ's documented initial values; copy one to start a structure: `MQMD md = MQMD_DEFAULT;`.
// Character fields that C initialises to the null string stay NUL here too.

// Copies the characters of a constant (without its terminating NUL) into a fixed-length field.
template <std::size_t N>
constexpr void mqiSetChars(MQCHAR (&field)[N], const char (&value)[N + 1]) {
    for (std::size_t i = 0; i < N; ++i) field[i] = value[i];
}
// Copies a text shorter than the field; the rest stays as it is (NUL in a fresh structure).
template <std::size_t N, std::size_t M>
constexpr void mqiSetPrefix(MQCHAR (&field)[N], const char (&value)[M]) {
    static_assert(M - 1 <= N);
    for (std::size_t i = 0; i + 1 < M; ++i) field[i] = value[i];
}

inline constexpr MQCHARV MQCHARV_DEFAULT = [] {
    MQCHARV s{};
    s.VSCCSID = MQCCSI_APPL;
    return s;
}();

inline constexpr MQMD MQMD_DEFAULT = [] {
    MQMD s{};
    mqiSetChars(s.StrucId, MQMD_STRUC_ID);
    s.Version = MQMD_VERSION_1;
    s.Report = MQRO_NONE;
    s.MsgType = MQMT_DATAGRAM;
    s.Expiry = MQEI_UNLIMITED;
    s.Feedback = MQFB_NONE;
    s.Encoding = MQENC_NATIVE;
    s.CodedCharSetId = MQCCSI_Q_MGR;
    mqiSetChars(s.Format, MQFMT_NONE);
    s.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    s.Persistence = MQPER_PERSISTENCE_AS_Q_DEF;
    s.PutApplType = MQAT_NO_CONTEXT;
    s.MsgSeqNumber = 1;
    s.MsgFlags = MQMF_NONE;
    s.OriginalLength = MQOL_UNDEFINED;
    return s;
}();

inline constexpr MQOD MQOD_DEFAULT = [] {
    MQOD s{};
    mqiSetChars(s.StrucId, MQOD_STRUC_ID);
    s.Version = MQOD_VERSION_1;
    s.ObjectType = MQOT_Q;
    mqiSetPrefix(s.DynamicQName, "AMQ.*");
    s.ObjectString = MQCHARV_DEFAULT;
    s.SelectionString = MQCHARV_DEFAULT;
    s.ResObjectString = MQCHARV_DEFAULT;
    s.ResolvedType = MQOT_NONE;
    return s;
}();

inline constexpr MQGMO MQGMO_DEFAULT = [] {
    MQGMO s{};
    mqiSetChars(s.StrucId, MQGMO_STRUC_ID);
    s.Version = MQGMO_VERSION_1;
    s.Options = MQGMO_NO_WAIT;
    s.MatchOptions = MQMO_MATCH_MSG_ID | MQMO_MATCH_CORREL_ID;
    s.GroupStatus = MQGS_NOT_IN_GROUP;
    s.SegmentStatus = MQSS_NOT_A_SEGMENT;
    s.Segmentation = MQSEG_INHIBITED;
    s.Reserved1 = ' ';
    s.ReturnedLength = MQRL_UNDEFINED;
    s.MsgHandle = MQHM_NONE;
    return s;
}();

inline constexpr MQPMO MQPMO_DEFAULT = [] {
    MQPMO s{};
    mqiSetChars(s.StrucId, MQPMO_STRUC_ID);
    s.Version = MQPMO_VERSION_1;
    s.Options = MQPMO_NONE;
    s.Timeout = -1;
    s.PutMsgRecFields = MQPMRF_NONE;
    s.OriginalMsgHandle = MQHM_NONE;
    s.NewMsgHandle = MQHM_NONE;
    s.Action = MQACTP_NEW;
    s.PubLevel = 9;
    return s;
}();

inline constexpr MQCNO MQCNO_DEFAULT = [] {
    MQCNO s{};
    mqiSetChars(s.StrucId, MQCNO_STRUC_ID);
    s.Version = MQCNO_VERSION_1;
    s.Options = MQCNO_NONE;
    return s;
}();

inline constexpr MQCSP MQCSP_DEFAULT = [] {
    MQCSP s{};
    mqiSetChars(s.StrucId, MQCSP_STRUC_ID);
    s.Version = MQCSP_VERSION_1;
    s.AuthenticationType = MQCSP_AUTH_NONE;
    return s;
}();

inline constexpr MQCD MQCD_DEFAULT = [] {
    MQCD s{};
    s.Version = MQCD_VERSION_6;
    s.ChannelType = MQCHT_SENDER;
    s.TransportType = MQXPT_LU62;
    s.BatchSize = 50;
    s.DiscInterval = 6000;
    s.ShortRetryCount = 10;
    s.ShortRetryInterval = 60;
    s.LongRetryCount = 999999999;
    s.LongRetryInterval = 1200;
    s.SeqNumberWrap = 999999999;
    s.MaxMsgLength = 4194304;
    s.PutAuthority = MQPA_DEFAULT;
    s.DataConversion = MQCDC_NO_SENDER_CONVERSION;
    s.MCAType = MQMCAT_PROCESS;
    s.MsgRetryCount = 10;
    s.MsgRetryInterval = 1000;
    s.HeartbeatInterval = 300;
    s.BatchInterval = 0;
    s.NonPersistentMsgSpeed = MQNPMS_FAST;
    s.StrucLength = MQCD_LENGTH_6;
    s.ExitNameLength = MQ_EXIT_NAME_LENGTH;
    s.ExitDataLength = MQ_EXIT_DATA_LENGTH;
    s.SSLClientAuth = MQSCA_REQUIRED;
    s.KeepAliveInterval = MQKAI_AUTO;
    s.HdrCompList[0] = MQCOMPRESS_NONE;
    s.HdrCompList[1] = MQCOMPRESS_NOT_AVAILABLE;
    s.MsgCompList[0] = MQCOMPRESS_NONE;
    for (int i = 1; i < 16; ++i) s.MsgCompList[i] = MQCOMPRESS_NOT_AVAILABLE;
    s.CLWLChannelWeight = 50;
    s.ChannelMonitoring = MQMON_OFF;
    s.ChannelStatistics = MQMON_OFF;
    s.SharingConversations = 10;
    s.PropertyControl = MQPROP_COMPATIBILITY;
    s.MaxInstances = 999999999;
    s.MaxInstancesPerClient = 999999999;
    s.ConnectionAffinity = MQCAFTY_PREFERRED;
    s.BatchDataLimit = 5000;
    s.UseDLQ = MQUSEDLQ_YES;
    s.DefReconnect = MQRCN_NO;
    s.SPLProtection = MQSPL_PASSTHRU;
    return s;
}();

inline constexpr MQSCO MQSCO_DEFAULT = [] {
    MQSCO s{};
    mqiSetChars(s.StrucId, MQSCO_STRUC_ID);
    s.Version = MQSCO_VERSION_1;
    s.KeyResetCount = MQSCO_RESET_COUNT_DEFAULT;
    s.FipsRequired = MQSSL_FIPS_NO;
    s.EncryptionPolicySuiteB[0] = MQ_SUITE_B_NONE;
    s.EncryptionPolicySuiteB[1] = MQ_SUITE_B_NOT_AVAILABLE;
    s.EncryptionPolicySuiteB[2] = MQ_SUITE_B_NOT_AVAILABLE;
    s.EncryptionPolicySuiteB[3] = MQ_SUITE_B_NOT_AVAILABLE;
    s.CertificateValPolicy = MQ_CERT_VAL_POLICY_DEFAULT;
    s.HTTPSCertValidation = MQ_HTTPSCERTVAL_DEFAULT;
    s.HTTPSCertRevocation = MQ_HTTPSCERTREV_DEFAULT;
    return s;
}();

inline constexpr MQAIR MQAIR_DEFAULT = [] {
    MQAIR s{};
    mqiSetChars(s.StrucId, MQAIR_STRUC_ID);
    s.Version = MQAIR_VERSION_1;
    s.AuthInfoType = MQAIT_CRL_LDAP;
    return s;
}();

inline constexpr MQBNO MQBNO_DEFAULT = [] {
    MQBNO s{};
    mqiSetChars(s.StrucId, MQBNO_STRUC_ID);
    s.Version = MQBNO_VERSION_1;
    s.ApplType = MQBNO_BALTYPE_SIMPLE;
    s.Timeout = MQBNO_TIMEOUT_AS_DEFAULT;
    s.Options = MQBNO_OPTIONS_NONE;
    return s;
}();

inline constexpr MQCBD MQCBD_DEFAULT = [] {
    MQCBD s{};
    mqiSetChars(s.StrucId, MQCBD_STRUC_ID);
    s.Version = MQCBD_VERSION_1;
    s.CallbackType = MQCBT_MESSAGE_CONSUMER;
    s.Options = MQCBDO_NONE;
    s.MaxMsgLength = MQCBD_FULL_MSG_LENGTH;
    return s;
}();

inline constexpr MQCBC MQCBC_DEFAULT = [] {
    MQCBC s{};
    mqiSetChars(s.StrucId, MQCBC_STRUC_ID);
    s.Version = MQCBC_VERSION_1;
    s.CompCode = MQCC_OK;
    s.Reason = MQRC_NONE;
    s.State = MQCS_NONE;
    s.Flags = MQCBCF_NONE;
    return s;
}();

inline constexpr MQCTLO MQCTLO_DEFAULT = [] {
    MQCTLO s{};
    mqiSetChars(s.StrucId, MQCTLO_STRUC_ID);
    s.Version = MQCTLO_VERSION_1;
    s.Options = MQCTLO_NONE;
    s.Reserved = MQWI_UNLIMITED;
    return s;
}();

inline constexpr MQSD MQSD_DEFAULT = [] {
    MQSD s{};
    mqiSetChars(s.StrucId, MQSD_STRUC_ID);
    s.Version = MQSD_VERSION_1;
    s.Options = MQSO_NONE;
    s.SubExpiry = MQEI_UNLIMITED;
    s.ObjectString = MQCHARV_DEFAULT;
    s.SubName = MQCHARV_DEFAULT;
    s.SubUserData = MQCHARV_DEFAULT;
    s.PubPriority = MQPRI_PRIORITY_AS_PUBLISHED;
    s.SelectionString = MQCHARV_DEFAULT;
    s.SubLevel = 1;
    s.ResObjectString = MQCHARV_DEFAULT;
    return s;
}();

inline constexpr MQSRO MQSRO_DEFAULT = [] {
    MQSRO s{};
    mqiSetChars(s.StrucId, MQSRO_STRUC_ID);
    s.Version = MQSRO_VERSION_1;
    s.Options = MQSRO_NONE;
    s.NumPubs = 0;
    return s;
}();

inline constexpr MQSTS MQSTS_DEFAULT = [] {
    MQSTS s{};
    mqiSetChars(s.StrucId, MQSTS_STRUC_ID);
    s.Version = MQSTS_VERSION_1;
    s.CompCode = MQCC_OK;
    s.Reason = MQRC_NONE;
    s.ObjectType = MQOT_Q;
    s.ObjectString = MQCHARV_DEFAULT;
    s.SubName = MQCHARV_DEFAULT;
    return s;
}();

inline constexpr MQDLH MQDLH_DEFAULT = [] {
    MQDLH s{};
    mqiSetChars(s.StrucId, MQDLH_STRUC_ID);
    s.Version = MQDLH_VERSION_1;
    s.Reason = MQRC_NONE;
    s.Encoding = 0;
    s.CodedCharSetId = MQCCSI_UNDEFINED;
    mqiSetChars(s.Format, MQFMT_NONE);
    s.PutApplType = 0;
    return s;
}();

inline constexpr MQCMHO MQCMHO_DEFAULT = [] {
    MQCMHO s{};
    mqiSetChars(s.StrucId, MQCMHO_STRUC_ID);
    s.Version = MQCMHO_VERSION_1;
    s.Options = MQCMHO_DEFAULT_VALIDATION;
    return s;
}();

inline constexpr MQDMHO MQDMHO_DEFAULT = [] {
    MQDMHO s{};
    mqiSetChars(s.StrucId, MQDMHO_STRUC_ID);
    s.Version = MQDMHO_VERSION_1;
    s.Options = MQDMHO_NONE;
    return s;
}();

inline constexpr MQIMPO MQIMPO_DEFAULT = [] {
    MQIMPO s{};
    mqiSetChars(s.StrucId, MQIMPO_STRUC_ID);
    s.Version = MQIMPO_VERSION_1;
    s.Options = MQIMPO_INQ_FIRST;
    s.RequestedEncoding = MQENC_NATIVE;
    s.RequestedCCSID = MQCCSI_APPL;
    s.ReturnedEncoding = MQENC_NATIVE;
    s.ReturnedCCSID = 0;
    s.ReturnedName = MQCHARV_DEFAULT;
    return s;
}();

inline constexpr MQSMPO MQSMPO_DEFAULT = [] {
    MQSMPO s{};
    mqiSetChars(s.StrucId, MQSMPO_STRUC_ID);
    s.Version = MQSMPO_VERSION_1;
    s.Options = MQSMPO_SET_FIRST;
    s.ValueEncoding = MQENC_NATIVE;
    s.ValueCCSID = MQCCSI_APPL;
    return s;
}();

inline constexpr MQDMPO MQDMPO_DEFAULT = [] {
    MQDMPO s{};
    mqiSetChars(s.StrucId, MQDMPO_STRUC_ID);
    s.Version = MQDMPO_VERSION_1;
    s.Options = MQDMPO_DEL_FIRST;
    return s;
}();

inline constexpr MQPD MQPD_DEFAULT = [] {
    MQPD s{};
    mqiSetChars(s.StrucId, MQPD_STRUC_ID);
    s.Version = MQPD_VERSION_1;
    s.Options = MQPD_NONE;
    s.Support = MQPD_SUPPORT_OPTIONAL;
    s.Context = MQPD_NO_CONTEXT;
    s.CopyOptions = MQCOPY_DEFAULT;
    return s;
}();

inline constexpr MQBMHO MQBMHO_DEFAULT = [] {
    MQBMHO s{};
    mqiSetChars(s.StrucId, MQBMHO_STRUC_ID);
    s.Version = MQBMHO_VERSION_1;
    s.Options = MQBMHO_DELETE_PROPERTIES;
    return s;
}();

inline constexpr MQRFH2 MQRFH2_DEFAULT = [] {
    MQRFH2 s{};
    mqiSetChars(s.StrucId, MQRFH_STRUC_ID);
    s.Version = MQRFH_VERSION_2;
    s.StrucLength = MQRFH_STRUC_LENGTH_FIXED_2;
    s.Encoding = MQENC_NATIVE;
    s.CodedCharSetId = MQCCSI_INHERIT;
    mqiSetChars(s.Format, MQFMT_NONE);
    s.Flags = MQRFH_NO_FLAGS;
    s.NameValueCCSID = 1208;
    return s;
}();

inline constexpr MQCFH MQCFH_DEFAULT = [] {
    MQCFH s{};
    s.Type = MQCFT_COMMAND;
    s.StrucLength = MQCFH_STRUC_LENGTH;
    s.Version = MQCFH_VERSION_1;
    s.Command = 0;
    s.MsgSeqNumber = 1;
    s.Control = MQCFC_LAST;
    s.CompCode = MQCC_OK;
    s.Reason = MQRC_NONE;
    s.ParameterCount = 0;
    return s;
}();

inline constexpr MQCFIN MQCFIN_DEFAULT = {MQCFT_INTEGER, MQCFIN_STRUC_LENGTH, 0, 0};
inline constexpr MQCFIN64 MQCFIN64_DEFAULT = {MQCFT_INTEGER64, MQCFIN64_STRUC_LENGTH, 0, 0, 0};
inline constexpr MQCFIL MQCFIL_DEFAULT = {MQCFT_INTEGER_LIST, MQCFIL_STRUC_LENGTH_FIXED, 0, 0, {0}};
inline constexpr MQCFIL64 MQCFIL64_DEFAULT = {MQCFT_INTEGER64_LIST, MQCFIL64_STRUC_LENGTH_FIXED, 0, 0, {0}};
inline constexpr MQCFST MQCFST_DEFAULT = {MQCFT_STRING, MQCFST_STRUC_LENGTH_FIXED, 0, MQCCSI_DEFAULT, 0, {0}};
inline constexpr MQCFSL MQCFSL_DEFAULT = {
    MQCFT_STRING_LIST, MQCFSL_STRUC_LENGTH_FIXED, 0, MQCCSI_DEFAULT, 0, 0, {0}};
inline constexpr MQCFBS MQCFBS_DEFAULT = {MQCFT_BYTE_STRING, MQCFBS_STRUC_LENGTH_FIXED, 0, 0, {0}};
inline constexpr MQCFGR MQCFGR_DEFAULT = {MQCFT_GROUP, MQCFGR_STRUC_LENGTH, 0, 0};
inline constexpr MQCFBF MQCFBF_DEFAULT = {
    MQCFT_BYTE_STRING_FILTER, MQCFBF_STRUC_LENGTH_FIXED, 0, MQCFOP_EQUAL, 0, {0}};
inline constexpr MQCFIF MQCFIF_DEFAULT = {MQCFT_INTEGER_FILTER, MQCFIF_STRUC_LENGTH, 0, MQCFOP_EQUAL, 0};
inline constexpr MQCFSF MQCFSF_DEFAULT = {
    MQCFT_STRING_FILTER, MQCFSF_STRUC_LENGTH_FIXED, 0, MQCFOP_EQUAL, MQCCSI_DEFAULT, 0, {0}};

inline constexpr MQEPH MQEPH_DEFAULT = [] {
    MQEPH s{};
    mqiSetChars(s.StrucId, MQEPH_STRUC_ID);
    s.Version = MQEPH_VERSION_1;
    s.StrucLength = MQEPH_STRUC_LENGTH_FIXED;
    s.Encoding = 0;
    s.CodedCharSetId = MQCCSI_UNDEFINED;
    mqiSetChars(s.Format, MQFMT_NONE);
    s.Flags = MQEPH_NONE;
    s.PCFHeader = MQCFH_DEFAULT;
    s.PCFHeader.Type = MQCFT_NONE;
    s.PCFHeader.Version = MQCFH_VERSION_3;
    return s;
}();

// ---- The verbs -----------------------------------------------------------------------------------------
// Nothing in this system links against these: every call goes through an MQIFunctionTable bound at run
// time. The prototypes give each verb's signature, and a library that provides the MQI (the stand-in
// queue manager) defines them.

extern "C" {

// Message consumer and event handler registered with MQCB.
typedef void MQCB_FUNCTION(MQHCONN Hconn, PMQVOID pMsgDesc, PMQVOID pGetMsgOpts, PMQVOID pBuffer,
                           PMQCBC pContext);
typedef MQCB_FUNCTION *PMQCB_FUNCTION;

void MQBACK(MQHCONN Hconn, PMQLONG pCompCode, PMQLONG pReason);
void MQCLOSE(MQHCONN Hconn, PMQHOBJ pHobj, MQLONG Options, PMQLONG pCompCode, PMQLONG pReason);
void MQCMIT(MQHCONN Hconn, PMQLONG pCompCode, PMQLONG pReason);
void MQCONN(PMQCHAR pQMgrName, PMQHCONN pHconn, PMQLONG pCompCode, PMQLONG pReason);
void MQCONNX(PMQCHAR pQMgrName, PMQVOID pConnectOpts, PMQHCONN pHconn, PMQLONG pCompCode, PMQLONG pReason);
void MQDISC(PMQHCONN pHconn, PMQLONG pCompCode, PMQLONG pReason);
void MQGET(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID pMsgDesc, PMQVOID pGetMsgOpts, MQLONG BufferLength,
           PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode, PMQLONG pReason);
void MQINQ(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG pSelectors, MQLONG IntAttrCount,
           PMQLONG pIntAttrs, MQLONG CharAttrLength, PMQCHAR pCharAttrs, PMQLONG pCompCode, PMQLONG pReason);
void MQOPEN(MQHCONN Hconn, PMQVOID pObjDesc, MQLONG Options, PMQHOBJ pHobj, PMQLONG pCompCode,
            PMQLONG pReason);
void MQPUT(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID pMsgDesc, PMQVOID pPutMsgOpts, MQLONG BufferLength,
           PMQVOID pBuffer, PMQLONG pCompCode, PMQLONG pReason);
void MQPUT1(MQHCONN Hconn, PMQVOID pObjDesc, PMQVOID pMsgDesc, PMQVOID pPutMsgOpts, MQLONG BufferLength,
            PMQVOID pBuffer, PMQLONG pCompCode, PMQLONG pReason);
void MQSET(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG pSelectors, MQLONG IntAttrCount,
           PMQLONG pIntAttrs, MQLONG CharAttrLength, PMQCHAR pCharAttrs, PMQLONG pCompCode, PMQLONG pReason);
void MQSUB(MQHCONN Hconn, PMQVOID pSubDesc, PMQHOBJ pHobj, PMQHOBJ pHsub, PMQLONG pCompCode, PMQLONG pReason);
void MQSUBRQ(MQHCONN Hconn, MQHOBJ Hsub, MQLONG Action, PMQVOID pSubRqOpts, PMQLONG pCompCode,
             PMQLONG pReason);
void MQCB(MQHCONN Hconn, MQLONG Operation, PMQVOID pCallbackDesc, MQHOBJ Hobj, PMQVOID pMsgDesc,
          PMQVOID pGetMsgOpts, PMQLONG pCompCode, PMQLONG pReason);
void MQCTL(MQHCONN Hconn, MQLONG Operation, PMQVOID pControlOpts, PMQLONG pCompCode, PMQLONG pReason);
void MQCRTMH(MQHCONN Hconn, PMQVOID pCrtMsgHOpts, PMQHMSG pHmsg, PMQLONG pCompCode, PMQLONG pReason);
void MQDLTMH(MQHCONN Hconn, PMQHMSG pHmsg, PMQVOID pDltMsgHOpts, PMQLONG pCompCode, PMQLONG pReason);
void MQINQMP(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pInqPropOpts, PMQVOID pName, PMQVOID pPropDesc,
             PMQLONG pType, MQLONG ValueLength, PMQVOID pValue, PMQLONG pDataLength, PMQLONG pCompCode,
             PMQLONG pReason);
void MQSETMP(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pSetPropOpts, PMQVOID pName, PMQVOID pPropDesc, MQLONG Type,
             MQLONG ValueLength, PMQVOID pValue, PMQLONG pCompCode, PMQLONG pReason);
void MQDLTMP(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pDltPropOpts, PMQVOID pName, PMQLONG pCompCode,
             PMQLONG pReason);
void MQBUFMH(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pBufMsgHOpts, PMQVOID pMsgDesc, MQLONG BufferLength,
             PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode, PMQLONG pReason);
void MQMHBUF(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pMsgHBufOpts, PMQVOID pName, PMQVOID pMsgDesc,
             MQLONG BufferLength, PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode, PMQLONG pReason);
void MQSTAT(MQHCONN Hconn, MQLONG Type, PMQVOID pStatus, PMQLONG pCompCode, PMQLONG pReason);
void MQXCNVC(MQHCONN Hconn, MQLONG Options, MQLONG SourceCCSID, MQLONG SourceLength, PMQCHAR pSourceBuffer,
             MQLONG TargetCCSID, MQLONG TargetLength, PMQCHAR pTargetBuffer, PMQLONG pDataLength,
             PMQLONG pCompCode, PMQLONG pReason);

}  // extern "C"

// Pointer types of the verbs, one per slot of an MQIFunctionTable.
typedef decltype(&MQBACK) PMQBACK;
typedef decltype(&MQCLOSE) PMQCLOSE;
typedef decltype(&MQCMIT) PMQCMIT;
typedef decltype(&MQCONN) PMQCONN;
typedef decltype(&MQCONNX) PMQCONNX;
typedef decltype(&MQDISC) PMQDISC;
typedef decltype(&MQGET) PMQGET;
typedef decltype(&MQINQ) PMQINQ;
typedef decltype(&MQOPEN) PMQOPEN;
typedef decltype(&MQPUT) PMQPUT;
typedef decltype(&MQPUT1) PMQPUT1;
typedef decltype(&MQSET) PMQSET;
typedef decltype(&MQSUB) PMQSUB;
typedef decltype(&MQSUBRQ) PMQSUBRQ;
typedef decltype(&MQCB) PMQCB;
typedef decltype(&MQCTL) PMQCTL;
typedef decltype(&MQCRTMH) PMQCRTMH;
typedef decltype(&MQDLTMH) PMQDLTMH;
typedef decltype(&MQINQMP) PMQINQMP;
typedef decltype(&MQSETMP) PMQSETMP;
typedef decltype(&MQDLTMP) PMQDLTMP;
typedef decltype(&MQBUFMH) PMQBUFMH;
typedef decltype(&MQMHBUF) PMQMHBUF;
typedef decltype(&MQSTAT) PMQSTAT;
typedef decltype(&MQXCNVC) PMQXCNVC;
