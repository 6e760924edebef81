// The attribute table: every object attribute miniqm keeps, with its MQSC keyword, its MQI
// selector, the object kinds it belongs to and how MQSC writes its values. MQINQ, DEFINE/ALTER/
// DISPLAY and the journal all go through this one table.
#include <cstring>

#include "miniqm/qmgr.h"

namespace qm {

namespace {

constexpr EnumName kEnabled[] = {{"ENABLED", 0}, {"DISABLED", 1}, {nullptr, 0}};
constexpr EnumName kUsage[] = {{"NORMAL", MQUS_NORMAL}, {"XMITQ", MQUS_TRANSMISSION}, {nullptr, 0}};
constexpr EnumName kYesNo[] = {{"NO", MQPER_NOT_PERSISTENT}, {"YES", MQPER_PERSISTENT}, {nullptr, 0}};
constexpr EnumName kDefType[] = {{"PREDEFINED", MQQDT_PREDEFINED},
                                 {"PERMDYN", MQQDT_PERMANENT_DYNAMIC},
                                 {"TEMPDYN", MQQDT_TEMPORARY_DYNAMIC},
                                 {nullptr, 0}};
constexpr EnumName kDefSopt[] = {{"SHARED", MQOO_INPUT_SHARED}, {"EXCL", MQOO_INPUT_EXCLUSIVE}, {nullptr, 0}};
constexpr EnumName kShare[] = {{"SHARE", MQQA_SHAREABLE}, {"NOSHARE", MQQA_NOT_SHAREABLE}};
constexpr EnumName kHarden[] = {{"HARDENBO", MQQA_BACKOUT_HARDENED},
                                {"NOHARDENBO", MQQA_BACKOUT_NOT_HARDENED}};
constexpr EnumName kTrigger[] = {{"TRIGGER", MQTC_ON}, {"NOTRIGGER", MQTC_OFF}};
constexpr EnumName kDlvSeq[] = {{"PRIORITY", MQMDS_PRIORITY}, {"FIFO", MQMDS_FIFO}, {nullptr, 0}};
constexpr EnumName kTrigType[] = {
    {"NONE", MQTT_NONE}, {"FIRST", MQTT_FIRST}, {"EVERY", MQTT_EVERY}, {"DEPTH", MQTT_DEPTH}, {nullptr, 0}};
constexpr EnumName kNoLimit[] = {{"NOLIMIT", MQCEX_NOLIMIT}, {nullptr, 0}};
constexpr EnumName kQType[] = {{"QLOCAL", MQQT_LOCAL},
                               {"QMODEL", MQQT_MODEL},
                               {"QALIAS", MQQT_ALIAS},
                               {"QREMOTE", MQQT_REMOTE},
                               {nullptr, 0}};
constexpr EnumName kTargType[] = {{"QUEUE", MQOT_Q}, {"TOPIC", MQOT_TOPIC}, {nullptr, 0}};
constexpr EnumName kPlatform[] = {{"UNIX", MQPL_UNIX}, {nullptr, 0}};
constexpr EnumName kSyncpt[] = {{"SYNCPT", MQSP_AVAILABLE}, {"NOSYNCPT", MQSP_NOT_AVAILABLE}};
// The event and monitoring switches.
constexpr EnumName kEvent[] = {{"DISABLED", MQEVR_DISABLED}, {"ENABLED", MQEVR_ENABLED}, {nullptr, 0}};
constexpr EnumName kCmdEvent[] = {
    {"DISABLED", MQEVR_DISABLED}, {"ENABLED", MQEVR_ENABLED}, {"NODISPLAY", MQEVR_NO_DISPLAY}, {nullptr, 0}};
constexpr EnumName kMonQmgr[] = {{"OFF", MQMON_OFF}, {"ON", MQMON_ON}, {"NONE", MQMON_NONE}, {nullptr, 0}};
constexpr EnumName kMonOnOff[] = {{"OFF", MQMON_OFF}, {"ON", MQMON_ON}, {nullptr, 0}};
constexpr EnumName kMonQueue[] = {{"QMGR", MQMON_Q_MGR}, {"ON", MQMON_ON}, {"OFF", MQMON_OFF}, {nullptr, 0}};
constexpr EnumName kServiceEvent[] = {
    {"NONE", MQQSIE_NONE}, {"HIGH", MQQSIE_HIGH}, {"OK", MQQSIE_OK}, {nullptr, 0}};

constexpr EnumName kServType[] = {
    {"COMMAND", MQSVC_TYPE_COMMAND}, {"SERVER", MQSVC_TYPE_SERVER}, {nullptr, 0}};
constexpr EnumName kServControl[] = {{"QMGR", MQSVC_CONTROL_Q_MGR},
                                     {"STARTONLY", MQSVC_CONTROL_Q_MGR_START},
                                     {"MANUAL", MQSVC_CONTROL_MANUAL},
                                     {nullptr, 0}};

// Channels.
constexpr EnumName kChlType[] = {{"SDR", MQCHT_SENDER},
                                 {"SVR", MQCHT_SERVER},
                                 {"RCVR", MQCHT_RECEIVER},
                                 {"RQSTR", MQCHT_REQUESTER},
                                 {"CLNTCONN", MQCHT_CLNTCONN},
                                 {"SVRCONN", MQCHT_SVRCONN},
                                 {nullptr, 0}};
constexpr EnumName kTrpType[] = {
    {"LU62", MQXPT_LU62}, {"TCP", MQXPT_TCP}, {"NETBIOS", MQXPT_NETBIOS}, {"SPX", MQXPT_SPX}, {nullptr, 0}};
constexpr EnumName kCompHdr[] = {{"NONE", MQCOMPRESS_NONE}, {"SYSTEM", MQCOMPRESS_SYSTEM}, {nullptr, 0}};
constexpr EnumName kCompMsg[] = {{"NONE", MQCOMPRESS_NONE},         {"RLE", MQCOMPRESS_RLE},
                                 {"ZLIBFAST", MQCOMPRESS_ZLIBFAST}, {"ZLIBHIGH", MQCOMPRESS_ZLIBHIGH},
                                 {"LZ4FAST", MQCOMPRESS_LZ4FAST},   {"LZ4HIGH", MQCOMPRESS_LZ4HIGH},
                                 {"ANY", MQCOMPRESS_ANY},           {nullptr, 0}};
constexpr EnumName kAuto[] = {{"AUTO", MQKAI_AUTO}, {nullptr, 0}};
constexpr EnumName kSslCauth[] = {{"REQUIRED", MQSCA_REQUIRED}, {"OPTIONAL", MQSCA_OPTIONAL}, {nullptr, 0}};
constexpr EnumName kMonChl[] = {{"QMGR", MQMON_Q_MGR},    {"OFF", MQMON_OFF},   {"LOW", MQMON_LOW},
                                {"MEDIUM", MQMON_MEDIUM}, {"HIGH", MQMON_HIGH}, {nullptr, 0}};
constexpr EnumName kConvert[] = {
    {"NO", MQCDC_NO_SENDER_CONVERSION}, {"YES", MQCDC_SENDER_CONVERSION}, {nullptr, 0}};
constexpr EnumName kMcaType[] = {{"PROCESS", MQMCAT_PROCESS}, {"THREAD", MQMCAT_THREAD}, {nullptr, 0}};
constexpr EnumName kNpmSpeed[] = {{"NORMAL", MQNPMS_NORMAL}, {"FAST", MQNPMS_FAST}, {nullptr, 0}};
constexpr EnumName kPutAut[] = {{"DEF", MQPA_DEFAULT},
                                {"CTX", MQPA_CONTEXT},
                                {"ONLYMCA", MQPA_ONLY_MCA},
                                {"ALTMCA", MQPA_ALTERNATE_OR_MCA},
                                {nullptr, 0}};
constexpr EnumName kUseDlq[] = {{"NO", MQUSEDLQ_NO}, {"YES", MQUSEDLQ_YES}, {nullptr, 0}};
constexpr EnumName kAffinity[] = {{"PREFERRED", MQCAFTY_PREFERRED}, {"NONE", MQCAFTY_NONE}, {nullptr, 0}};
constexpr EnumName kDefRecon[] = {
    {"NO", MQRCN_NO}, {"YES", MQRCN_YES}, {"QMGR", MQRCN_Q_MGR}, {"DISABLED", MQRCN_DISABLED}, {nullptr, 0}};
constexpr EnumName kPropCtl[] = {
    {"COMPAT", MQPROP_COMPATIBILITY}, {"NONE", MQPROP_NONE}, {"ALL", MQPROP_ALL}, {nullptr, 0}};
constexpr EnumName kResetSeq[] = {{"NO", 0}, {nullptr, 0}};

constexpr uint16_t QL = K_QLOCAL, QM = K_QMODEL, QA = K_QALIAS, QR = K_QREMOTE, TP = K_TOPIC, QMGR = K_QMGR,
                   NL = K_NAMELIST, SV = K_SERVICE, CH = K_CHANNEL;
constexpr MQLONG kMax = 999999999;

// Channel types, as the rows of channel attributes name them.
constexpr uint16_t SDR = channelTypeBit(MQCHT_SENDER), SVR = channelTypeBit(MQCHT_SERVER),
                   RCVR = channelTypeBit(MQCHT_RECEIVER), RQSTR = channelTypeBit(MQCHT_REQUESTER),
                   CLNT = channelTypeBit(MQCHT_CLNTCONN), SVRC = channelTypeBit(MQCHT_SVRCONN);
constexpr uint16_t kAllChl = SDR | SVR | RCVR | RQSTR | CLNT | SVRC;
constexpr uint16_t kMsgChl = SDR | SVR | RCVR | RQSTR;   // message channels
constexpr uint16_t kSending = SDR | SVR;                 // the end with the transmission queue
constexpr uint16_t kReceiving = RCVR | RQSTR;            // the end that puts the messages
constexpr uint16_t kCalling = SDR | SVR | RQSTR | CLNT;  // those that may start the conversation
constexpr uint16_t kMca = SDR | SVR | RQSTR;             // MCANAME and MCATYPE

// Rows in the order DISPLAY shows them; channel rows come last, so that a search by selector alone
// finds the row of a queue or the queue manager first. As in IBM MQ, only local queues show their creation
// date and time.
const std::vector<AttrDef> kTable = {
    {"QUEUE", MQCA_Q_NAME, QL | QM | QA | QR, AttrType::Str, 48, 0, 0, nullptr, false},
    {"TYPE", MQIA_Q_TYPE, QL | QM | QA | QR, AttrType::Enum, 0, 0, 0, kQType, false},
    {"TOPIC", MQCA_TOPIC_NAME, TP, AttrType::Str, 48, 0, 0, nullptr, false},
    {"QMNAME", MQCA_Q_MGR_NAME, QMGR, AttrType::Str, 48, 0, 0, nullptr, false},
    {"NAMELIST", MQCA_NAMELIST_NAME, NL, AttrType::Str, 48, 0, 0, nullptr, false},
    {"NAMCOUNT", MQIA_NAME_COUNT, NL, AttrType::Int, 0, 0, 0, nullptr, false},
    {"NAMES", MQCA_NAMES, NL, AttrType::NameList, 48, 0, 256, nullptr, true},
    {"SERVICE", MQCA_SERVICE_NAME, SV, AttrType::Str, 32, 0, 0, nullptr, false},
    {"CONTROL", MQIA_SERVICE_CONTROL, SV, AttrType::Enum, 0, 0, 0, kServControl, true},
    {"SERVTYPE", MQIA_SERVICE_TYPE, SV, AttrType::Enum, 0, 0, 0, kServType, true},
    {"STARTCMD", MQCA_SERVICE_START_COMMAND, SV, AttrType::Str, 255, 0, 0, nullptr, true},
    {"STARTARG", MQCA_SERVICE_START_ARGS, SV, AttrType::Str, 255, 0, 0, nullptr, true},
    {"STOPCMD", MQCA_SERVICE_STOP_COMMAND, SV, AttrType::Str, 255, 0, 0, nullptr, true},
    {"STOPARG", MQCA_SERVICE_STOP_ARGS, SV, AttrType::Str, 255, 0, 0, nullptr, true},
    {"DESCR", MQCA_SERVICE_DESC, SV, AttrType::Str, 64, 0, 0, nullptr, true},
    {"STDOUT", MQCA_STDOUT_DESTINATION, SV, AttrType::Str, 255, 0, 0, nullptr, true},
    {"STDERR", MQCA_STDERR_DESTINATION, SV, AttrType::Str, 255, 0, 0, nullptr, true},
    {"TOPICSTR", MQCA_TOPIC_STRING, TP, AttrType::Str, 10240, 0, 0, nullptr, true},
    {"DESCR", MQCA_Q_DESC, QL | QM | QA | QR, AttrType::Str, 64, 0, 0, nullptr, true},
    {"DESCR", MQCA_TOPIC_DESC, TP, AttrType::Str, 64, 0, 0, nullptr, true},
    {"DESCR", MQCA_Q_MGR_DESC, QMGR, AttrType::Str, 64, 0, 0, nullptr, true},
    {"DESCR", MQCA_NAMELIST_DESC, NL, AttrType::Str, 64, 0, 0, nullptr, true},
    {"TARGET", MQCA_BASE_Q_NAME, QA, AttrType::Str, 48, 0, 0, nullptr, true},
    {"TARGTYPE", MQIA_BASE_TYPE, QA, AttrType::Enum, 0, 0, 0, kTargType, true},
    {"RNAME", MQCA_REMOTE_Q_NAME, QR, AttrType::Str, 48, 0, 0, nullptr, true},
    {"RQMNAME", MQCA_REMOTE_Q_MGR_NAME, QR, AttrType::Str, 48, 0, 0, nullptr, true},
    {"XMITQ", MQCA_XMIT_Q_NAME, QR, AttrType::Str, 48, 0, 0, nullptr, true},
    {"GET", MQIA_INHIBIT_GET, QL | QM | QA, AttrType::Enum, 0, 0, 0, kEnabled, true},
    {"PUT", MQIA_INHIBIT_PUT, QL | QM | QA | QR, AttrType::Enum, 0, 0, 0, kEnabled, true},
    {"DEFPRTY", MQIA_DEF_PRIORITY, QL | QM | QA | QR, AttrType::Int, 0, 0, 9, nullptr, true},
    {"DEFPSIST", MQIA_DEF_PERSISTENCE, QL | QM | QA | QR, AttrType::Enum, 0, 0, 0, kYesNo, true},
    {"MAXDEPTH", MQIA_MAX_Q_DEPTH, QL | QM, AttrType::Int, 0, 0, kMax, nullptr, true},
    {"MAXMSGL", MQIA_MAX_MSG_LENGTH, QL | QM, AttrType::Int, 0, 0, 104857600, nullptr, true},
    {"MAXMSGL", MQIA_MAX_MSG_LENGTH, QMGR, AttrType::Int, 0, 32768, 104857600, nullptr, true},
    {"USAGE", MQIA_USAGE, QL | QM, AttrType::Enum, 0, 0, 0, kUsage, true},
    {"DEFTYPE", MQIA_DEFINITION_TYPE, QM, AttrType::Enum, 0, 0, 0, kDefType, true},
    {"DEFTYPE", MQIA_DEFINITION_TYPE, QL, AttrType::Enum, 0, 0, 0, kDefType, false},
    {"DEFSOPT", MQIA_DEF_INPUT_OPEN_OPTION, QL | QM, AttrType::Enum, 0, 0, 0, kDefSopt, true},
    {"SHARE", MQIA_SHAREABILITY, QL | QM, AttrType::Flag, 0, 0, 0, kShare, true},
    {"MSGDLVSQ", MQIA_MSG_DELIVERY_SEQUENCE, QL | QM, AttrType::Enum, 0, 0, 0, kDlvSeq, true},
    {"BOTHRESH", MQIA_BACKOUT_THRESHOLD, QL | QM, AttrType::Int, 0, 0, kMax, nullptr, true},
    {"BOQNAME", MQCA_BACKOUT_REQ_Q_NAME, QL | QM, AttrType::Str, 48, 0, 0, nullptr, true},
    {"HARDENBO", MQIA_HARDEN_GET_BACKOUT, QL | QM, AttrType::Flag, 0, 0, 0, kHarden, true},
    {"CAPEXPRY", MQIA_CAP_EXPIRY, QL | QM | QA | QR | TP, AttrType::Int, 0, -1, kMax, kNoLimit, true},
    {"TRIGGER", MQIA_TRIGGER_CONTROL, QL | QM, AttrType::Flag, 0, 0, 0, kTrigger, true},
    {"TRIGTYPE", MQIA_TRIGGER_TYPE, QL | QM, AttrType::Enum, 0, 0, 0, kTrigType, true},
    {"TRIGDPTH", MQIA_TRIGGER_DEPTH, QL | QM, AttrType::Int, 0, 1, kMax, nullptr, true},
    {"TRIGMPRI", MQIA_TRIGGER_MSG_PRIORITY, QL | QM, AttrType::Int, 0, 0, 9, nullptr, true},
    {"TRIGDATA", MQCA_TRIGGER_DATA, QL | QM, AttrType::Str, 64, 0, 0, nullptr, true},
    {"INITQ", MQCA_INITIATION_Q_NAME, QL | QM, AttrType::Str, 48, 0, 0, nullptr, true},
    {"PROCESS", MQCA_PROCESS_NAME, QL | QM, AttrType::Str, 48, 0, 0, nullptr, true},
    {"QDPHIEV", MQIA_Q_DEPTH_HIGH_EVENT, QL | QM, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"QDPLOEV", MQIA_Q_DEPTH_LOW_EVENT, QL | QM, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"QDPMAXEV", MQIA_Q_DEPTH_MAX_EVENT, QL | QM, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"QDEPTHHI", MQIA_Q_DEPTH_HIGH_LIMIT, QL | QM, AttrType::Int, 0, 0, 100, nullptr, true},
    {"QDEPTHLO", MQIA_Q_DEPTH_LOW_LIMIT, QL | QM, AttrType::Int, 0, 0, 100, nullptr, true},
    {"QSVCIEV", MQIA_Q_SERVICE_INTERVAL_EVENT, QL | QM, AttrType::Enum, 0, 0, 0, kServiceEvent, true},
    {"QSVCINT", MQIA_Q_SERVICE_INTERVAL, QL | QM, AttrType::Int, 0, 0, kMax, nullptr, true},
    {"STATQ", MQIA_STATISTICS_Q, QL | QM, AttrType::Enum, 0, 0, 0, kMonQueue, true},
    {"ACCTQ", MQIA_ACCOUNTING_Q, QL | QM, AttrType::Enum, 0, 0, 0, kMonQueue, true},
    {"CURDEPTH", MQIA_CURRENT_Q_DEPTH, QL, AttrType::Int, 0, 0, 0, nullptr, false},
    {"IPPROCS", MQIA_OPEN_INPUT_COUNT, QL, AttrType::Int, 0, 0, 0, nullptr, false},
    {"OPPROCS", MQIA_OPEN_OUTPUT_COUNT, QL, AttrType::Int, 0, 0, 0, nullptr, false},
    {"CCSID", MQIA_CODED_CHAR_SET_ID, QMGR, AttrType::Int, 0, 1, 65535, nullptr, true},
    {"CMDLEVEL", MQIA_COMMAND_LEVEL, QMGR, AttrType::Int, 0, 0, 0, nullptr, false},
    {"PLATFORM", MQIA_PLATFORM, QMGR, AttrType::Enum, 0, 0, 0, kPlatform, false},
    {"DEADQ", MQCA_DEAD_LETTER_Q_NAME, QMGR, AttrType::Str, 48, 0, 0, nullptr, true},
    {"DEFXMITQ", MQCA_DEF_XMIT_Q_NAME, QMGR, AttrType::Str, 48, 0, 0, nullptr, true},
    {"MAXUMSGS", MQIA_MAX_UNCOMMITTED_MSGS, QMGR, AttrType::Int, 0, 1, kMax, nullptr, true},
    {"MAXHANDS", MQIA_MAX_HANDLES, QMGR, AttrType::Int, 0, 0, kMax, nullptr, true},
    {"MAXPRTY", MQIA_MAX_PRIORITY, QMGR, AttrType::Int, 0, 0, 0, nullptr, false},
    {"SYNCPT", MQIA_SYNCPOINT, QMGR, AttrType::Flag, 0, 0, 0, kSyncpt, false},
    {"TRIGINT", MQIA_TRIGGER_INTERVAL, QMGR, AttrType::Int, 0, 0, kMax, nullptr, true},
    {"CONFIGEV", MQIA_CONFIGURATION_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"CMDEV", MQIA_COMMAND_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kCmdEvent, true},
    {"INHIBTEV", MQIA_INHIBIT_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"LOCALEV", MQIA_LOCAL_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"REMOTEEV", MQIA_REMOTE_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"PERFMEV", MQIA_PERFORMANCE_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"STRSTPEV", MQIA_START_STOP_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"AUTHOREV", MQIA_AUTHORITY_EVENT, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"STATMQI", MQIA_STATISTICS_MQI, QMGR, AttrType::Enum, 0, 0, 0, kMonOnOff, true},
    {"STATQ", MQIA_STATISTICS_Q, QMGR, AttrType::Enum, 0, 0, 0, kMonQmgr, true},
    {"STATINT", MQIA_STATISTICS_INTERVAL, QMGR, AttrType::Int, 0, 1, 604800, nullptr, true},
    {"ACCTMQI", MQIA_ACCOUNTING_MQI, QMGR, AttrType::Enum, 0, 0, 0, kMonOnOff, true},
    {"ACCTQ", MQIA_ACCOUNTING_Q, QMGR, AttrType::Enum, 0, 0, 0, kMonQmgr, true},
    {"ACCTINT", MQIA_ACCOUNTING_INTERVAL, QMGR, AttrType::Int, 0, 1, 604800, nullptr, true},
    {"ACCTCONO", MQIA_ACCOUNTING_CONN_OVERRIDE, QMGR, AttrType::Enum, 0, 0, 0, kEvent, true},
    {"COMMANDQ", MQCA_COMMAND_INPUT_Q_NAME, QMGR, AttrType::Str, 48, 0, 0, nullptr, false},
    {"QMID", MQCA_Q_MGR_IDENTIFIER, QMGR, AttrType::Str, 48, 0, 0, nullptr, false},
    {"CRDATE", MQCA_CREATION_DATE, QL, AttrType::Str, 12, 0, 0, nullptr, false},
    {"CRTIME", MQCA_CREATION_TIME, QL, AttrType::Str, 8, 0, 0, nullptr, false},
    {"ALTDATE", MQCA_ALTERATION_DATE, QL | QM | QA | QR | TP | QMGR | NL | SV, AttrType::Str, 12, 0, 0,
     nullptr, false},
    {"ALTTIME", MQCA_ALTERATION_TIME, QL | QM | QA | QR | TP | QMGR | NL | SV, AttrType::Str, 8, 0, 0,
     nullptr, false},
    // Channels, in the order DISPLAY CHANNEL shows them (IBM MQ's attributes of each type on
    // Multiplatforms).
    {"CHANNEL", MQCACH_CHANNEL_NAME, CH, AttrType::Str, 20, 0, 0, nullptr, false, kAllChl},
    {"CHLTYPE", MQIACH_CHANNEL_TYPE, CH, AttrType::Enum, 0, 0, 0, kChlType, false, kAllChl},
    {"AFFINITY", MQIACH_CONNECTION_AFFINITY, CH, AttrType::Enum, 0, 0, 0, kAffinity, true, CLNT},
    {"ALTDATE", MQCA_ALTERATION_DATE, CH, AttrType::Str, 12, 0, 0, nullptr, false, kAllChl},
    {"ALTTIME", MQCA_ALTERATION_TIME, CH, AttrType::Str, 8, 0, 0, nullptr, false, kAllChl},
    {"BATCHHB", MQIACH_BATCH_HB, CH, AttrType::Int, 0, 0, 999999, nullptr, true, kSending},
    {"BATCHINT", MQIACH_BATCH_INTERVAL, CH, AttrType::Int, 0, 0, kMax, nullptr, true, kSending},
    {"BATCHLIM", MQIACH_BATCH_DATA_LIMIT, CH, AttrType::Int, 0, 0, 999999, nullptr, true, kSending},
    {"BATCHSZ", MQIACH_BATCH_SIZE, CH, AttrType::Int, 0, 1, 9999, nullptr, true, kMsgChl},
    {"CERTLABL", MQCA_CERT_LABEL, CH, AttrType::Str, 64, 0, 0, nullptr, true, kAllChl},
    {"CLNTWGHT", MQIACH_CLIENT_CHANNEL_WEIGHT, CH, AttrType::Int, 0, 0, 99, nullptr, true, CLNT},
    {"COMPHDR", MQIACH_HDR_COMPRESSION, CH, AttrType::Enum, 0, 0, 0, kCompHdr, true, kAllChl},
    {"COMPMSG", MQIACH_MSG_COMPRESSION, CH, AttrType::Enum, 0, 0, 0, kCompMsg, true, kAllChl},
    {"CONNAME", MQCACH_CONNECTION_NAME, CH, AttrType::Str, 264, 0, 0, nullptr, true, kCalling},
    {"CONVERT", MQIACH_DATA_CONVERSION, CH, AttrType::Enum, 0, 0, 0, kConvert, true, kSending},
    {"DEFRECON", MQIACH_DEF_RECONNECT, CH, AttrType::Enum, 0, 0, 0, kDefRecon, true, CLNT},
    {"DESCR", MQCACH_DESC, CH, AttrType::Str, 64, 0, 0, nullptr, true, kAllChl},
    {"DISCINT", MQIACH_DISC_INTERVAL, CH, AttrType::Int, 0, 0, 999999, nullptr, true, kSending | SVRC},
    {"HBINT", MQIACH_HB_INTERVAL, CH, AttrType::Int, 0, 0, 999999, nullptr, true, kAllChl},
    {"KAINT", MQIACH_KEEP_ALIVE_INTERVAL, CH, AttrType::Int, 0, 0, 99999, kAuto, true, kAllChl},
    {"LOCLADDR", MQCACH_LOCAL_ADDRESS, CH, AttrType::Str, 48, 0, 0, nullptr, true, kCalling},
    {"LONGRTY", MQIACH_LONG_RETRY, CH, AttrType::Int, 0, 0, kMax, nullptr, true, kSending},
    {"LONGTMR", MQIACH_LONG_TIMER, CH, AttrType::Int, 0, 0, kMax, nullptr, true, kSending},
    {"MAXINST", MQIACH_MAX_INSTANCES, CH, AttrType::Int, 0, 0, kMax, nullptr, true, SVRC},
    {"MAXINSTC", MQIACH_MAX_INSTS_PER_CLIENT, CH, AttrType::Int, 0, 0, kMax, nullptr, true, SVRC},
    {"MAXMSGL", MQIACH_MAX_MSG_LENGTH, CH, AttrType::Int, 0, 0, 104857600, nullptr, true, kAllChl},
    {"MCANAME", MQCACH_MCA_NAME, CH, AttrType::Str, 20, 0, 0, nullptr, true, kMca},
    {"MCATYPE", MQIACH_MCA_TYPE, CH, AttrType::Enum, 0, 0, 0, kMcaType, true, kMca},
    {"MCAUSER", MQCACH_MCA_USER_ID, CH, AttrType::Str, 64, 0, 0, nullptr, true, kMsgChl | SVRC},
    {"MODENAME", MQCACH_MODE_NAME, CH, AttrType::Str, 8, 0, 0, nullptr, true, kCalling},
    {"MONCHL", MQIA_MONITORING_CHANNEL, CH, AttrType::Enum, 0, 0, 0, kMonChl, true, kMsgChl | SVRC},
    {"MRDATA", MQCACH_MR_EXIT_USER_DATA, CH, AttrType::Str, 32, 0, 0, nullptr, true, kReceiving},
    {"MREXIT", MQCACH_MR_EXIT_NAME, CH, AttrType::Str, 128, 0, 0, nullptr, true, kReceiving},
    {"MRRTY", MQIACH_MR_COUNT, CH, AttrType::Int, 0, 0, kMax, nullptr, true, kReceiving},
    {"MRTMR", MQIACH_MR_INTERVAL, CH, AttrType::Int, 0, 0, kMax, nullptr, true, kReceiving},
    {"MSGDATA", MQCACH_MSG_EXIT_USER_DATA, CH, AttrType::Str, 32, 0, 0, nullptr, true, kMsgChl},
    {"MSGEXIT", MQCACH_MSG_EXIT_NAME, CH, AttrType::Str, 128, 0, 0, nullptr, true, kMsgChl},
    {"NPMSPEED", MQIACH_NPM_SPEED, CH, AttrType::Enum, 0, 0, 0, kNpmSpeed, true, kMsgChl},
    {"PASSWORD", MQCACH_PASSWORD, CH, AttrType::Str, 12, 0, 0, nullptr, true, kCalling},
    {"PROPCTL", MQIA_PROPERTY_CONTROL, CH, AttrType::Enum, 0, 0, 0, kPropCtl, true, kSending},
    {"PUTAUT", MQIACH_PUT_AUTHORITY, CH, AttrType::Enum, 0, 0, 0, kPutAut, true, kReceiving},
    {"QMNAME", MQCA_Q_MGR_NAME, CH, AttrType::Str, 48, 0, 0, nullptr, true, CLNT},
    {"RCVDATA", MQCACH_RCV_EXIT_USER_DATA, CH, AttrType::Str, 32, 0, 0, nullptr, true, kAllChl},
    {"RCVEXIT", MQCACH_RCV_EXIT_NAME, CH, AttrType::Str, 128, 0, 0, nullptr, true, kAllChl},
    {"RESETSEQ", MQIACH_RESET_REQUESTED, CH, AttrType::Int, 0, 0, 0, kResetSeq, false, kMsgChl},
    {"SCYDATA", MQCACH_SEC_EXIT_USER_DATA, CH, AttrType::Str, 32, 0, 0, nullptr, true, kAllChl},
    {"SCYEXIT", MQCACH_SEC_EXIT_NAME, CH, AttrType::Str, 128, 0, 0, nullptr, true, kAllChl},
    {"SENDDATA", MQCACH_SEND_EXIT_USER_DATA, CH, AttrType::Str, 32, 0, 0, nullptr, true, kAllChl},
    {"SENDEXIT", MQCACH_SEND_EXIT_NAME, CH, AttrType::Str, 128, 0, 0, nullptr, true, kAllChl},
    {"SEQWRAP", MQIACH_SEQUENCE_NUMBER_WRAP, CH, AttrType::Int, 0, 100, kMax, nullptr, true, kMsgChl},
    {"SHARECNV", MQIACH_SHARING_CONVERSATIONS, CH, AttrType::Int, 0, 0, kMax, nullptr, true, SVRC | CLNT},
    {"SHORTRTY", MQIACH_SHORT_RETRY, CH, AttrType::Int, 0, 0, kMax, nullptr, true, kSending},
    {"SHORTTMR", MQIACH_SHORT_TIMER, CH, AttrType::Int, 0, 0, kMax, nullptr, true, kSending},
    {"SSLCAUTH", MQIACH_SSL_CLIENT_AUTH, CH, AttrType::Enum, 0, 0, 0, kSslCauth, true,
     SVR | kReceiving | SVRC},
    {"SSLCIPH", MQCACH_SSL_CIPHER_SPEC, CH, AttrType::Str, 32, 0, 0, nullptr, true, kAllChl},
    {"SSLPEER", MQCACH_SSL_PEER_NAME, CH, AttrType::Str, 1024, 0, 0, nullptr, true, kAllChl},
    {"STATCHL", MQIA_STATISTICS_CHANNEL, CH, AttrType::Enum, 0, 0, 0, kMonChl, true, kMsgChl},
    {"TPNAME", MQCACH_TP_NAME, CH, AttrType::Str, 64, 0, 0, nullptr, true, kCalling},
    {"TRPTYPE", MQIACH_XMIT_PROTOCOL_TYPE, CH, AttrType::Enum, 0, 0, 0, kTrpType, true, kAllChl},
    {"USEDLQ", MQIA_USE_DEAD_LETTER_Q, CH, AttrType::Enum, 0, 0, 0, kUseDlq, true, kMsgChl},
    {"USERID", MQCACH_USER_ID, CH, AttrType::Str, 12, 0, 0, nullptr, true, kCalling},
    {"XMITQ", MQCACH_XMIT_Q_NAME, CH, AttrType::Str, 48, 0, 0, nullptr, true, kSending},
};

}  // namespace

const std::vector<AttrDef> &attrTable() {
    return kTable;
}

const AttrDef *attrBySelector(MQLONG selector) {
    for (const AttrDef &a : kTable)
        if (a.selector == selector) return &a;
    return nullptr;
}

const AttrDef *attrForKind(MQLONG selector, uint16_t kinds) {
    for (const AttrDef &a : kTable)
        if (a.selector == selector && (a.kinds & kinds)) return &a;
    return nullptr;
}

const AttrDef *attrByKeyword(std::string_view keyword, uint16_t kind) {
    std::string k = upper(keyword);
    if (k == "TARGQ") k = "TARGET";
    for (const AttrDef &a : kTable) {
        if (!(a.kinds & kind)) continue;
        if (k == a.keyword) return &a;
        if (a.type == AttrType::Flag && k == a.names[1].name) return &a;
    }
    return nullptr;
}

bool attrApplies(const AttrDef &a, const Object &o) {
    if (!(a.kinds & o.kind)) return false;
    return o.kind != K_CHANNEL || (a.channelTypes & channelTypeBit(o.i(MQIACH_CHANNEL_TYPE))) != 0;
}

void channelDefaults(Object &o, MQLONG type) {
    o.kind = K_CHANNEL;
    o.ints.clear();
    o.strs.clear();
    o.ints[MQIACH_CHANNEL_TYPE] = type;
    // IBM MQ's defaults where they are not 0 or blank.
    static const std::pair<MQLONG, MQLONG> kDefaults[] = {
        {MQIACH_BATCH_DATA_LIMIT, 5000},
        {MQIACH_BATCH_SIZE, 50},
        {MQIACH_DISC_INTERVAL, 6000},
        {MQIACH_HB_INTERVAL, 300},
        {MQIACH_KEEP_ALIVE_INTERVAL, MQKAI_AUTO},
        {MQIACH_LONG_RETRY, kMax},
        {MQIACH_LONG_TIMER, 1200},
        {MQIACH_MAX_INSTANCES, kMax},
        {MQIACH_MAX_INSTS_PER_CLIENT, kMax},
        {MQIACH_MAX_MSG_LENGTH, 4194304},
        {MQIACH_MCA_TYPE, MQMCAT_PROCESS},
        {MQIA_MONITORING_CHANNEL, MQMON_Q_MGR},
        {MQIACH_MR_COUNT, 10},
        {MQIACH_MR_INTERVAL, 1000},
        {MQIACH_NPM_SPEED, MQNPMS_FAST},
        {MQIACH_PUT_AUTHORITY, MQPA_DEFAULT},
        {MQIACH_SEQUENCE_NUMBER_WRAP, kMax},
        {MQIACH_SHARING_CONVERSATIONS, 10},
        {MQIACH_SHORT_RETRY, 10},
        {MQIACH_SHORT_TIMER, 60},
        {MQIA_STATISTICS_CHANNEL, MQMON_Q_MGR},
        {MQIACH_XMIT_PROTOCOL_TYPE, MQXPT_TCP},
        {MQIA_USE_DEAD_LETTER_Q, MQUSEDLQ_YES},
        {MQIACH_CONNECTION_AFFINITY, MQCAFTY_PREFERRED},
    };
    for (const AttrDef &a : kTable) {
        if (!attrApplies(a, o) || a.selector == MQIACH_CHANNEL_TYPE || a.selector == MQCACH_CHANNEL_NAME)
            continue;
        if (a.type == AttrType::Str) {
            o.strs[a.selector] = "";
            continue;
        }
        o.ints[a.selector] = 0;
        for (const auto &[selector, value] : kDefaults)
            if (selector == a.selector) o.ints[a.selector] = value;
    }
    // A server-connection channel does not end an idle conversation unless told to.
    if (type == MQCHT_SVRCONN) o.ints[MQIACH_DISC_INTERVAL] = 0;
}

std::vector<std::string> listedNames(const AttrDef &a, const std::string &value) {
    const auto length = static_cast<size_t>(a.length);
    std::vector<std::string> names;
    for (size_t at = 0; length > 0 && at + length <= value.size(); at += length)
        names.push_back(value.substr(at, length));
    return names;
}

void monitoringDefaults(Object &o) {
    if (o.kind == K_QMGR) {
        for (MQLONG sel :
             {MQIA_CONFIGURATION_EVENT, MQIA_COMMAND_EVENT, MQIA_INHIBIT_EVENT, MQIA_LOCAL_EVENT,
              MQIA_REMOTE_EVENT, MQIA_PERFORMANCE_EVENT, MQIA_ACCOUNTING_CONN_OVERRIDE, MQIA_AUTHORITY_EVENT})
            o.ints.emplace(sel, MQEVR_DISABLED);
        o.ints.emplace(MQIA_START_STOP_EVENT, MQEVR_ENABLED);
        for (MQLONG sel : {MQIA_STATISTICS_MQI, MQIA_STATISTICS_Q, MQIA_ACCOUNTING_MQI, MQIA_ACCOUNTING_Q})
            o.ints.emplace(sel, MQMON_OFF);
        o.ints.emplace(MQIA_STATISTICS_INTERVAL, 1800);
        o.ints.emplace(MQIA_ACCOUNTING_INTERVAL, 1800);
        return;
    }
    if (o.kind != K_QLOCAL && o.kind != K_QMODEL) return;
    o.ints.emplace(MQIA_Q_DEPTH_HIGH_EVENT, MQEVR_DISABLED);
    o.ints.emplace(MQIA_Q_DEPTH_LOW_EVENT, MQEVR_DISABLED);
    o.ints.emplace(MQIA_Q_DEPTH_MAX_EVENT, MQEVR_ENABLED);
    o.ints.emplace(MQIA_Q_DEPTH_HIGH_LIMIT, 80);
    o.ints.emplace(MQIA_Q_DEPTH_LOW_LIMIT, 20);
    o.ints.emplace(MQIA_Q_SERVICE_INTERVAL_EVENT, MQQSIE_NONE);
    o.ints.emplace(MQIA_Q_SERVICE_INTERVAL, kMax);
    o.ints.emplace(MQIA_STATISTICS_Q, MQMON_Q_MGR);
    o.ints.emplace(MQIA_ACCOUNTING_Q, MQMON_Q_MGR);
}

MQLONG Object::i(MQLONG selector) const {
    auto it = ints.find(selector);
    return it == ints.end() ? 0 : it->second;
}

const std::string &Object::s(MQLONG selector) const {
    static const std::string empty;
    auto it = strs.find(selector);
    return it == strs.end() ? empty : it->second;
}

std::string trimBlanks(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
    return std::string(s.substr(0, n));
}

std::string fixedField(const char *field, size_t n) {
    size_t len = 0;
    while (len < n && field[len] != '\0') ++len;
    return trimBlanks(std::string_view(field, len));
}

void setField(char *field, size_t n, std::string_view value) {
    size_t k = value.size() < n ? value.size() : n;
    std::memcpy(field, value.data(), k);
    std::memset(field + k, ' ', n - k);
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char &ch : out)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return out;
}

}  // namespace qm
