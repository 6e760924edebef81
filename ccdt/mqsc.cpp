// The MQSC-style edit mode of a channel table: DISPLAY, ALTER, DEFINE and DELETE of client
// channels, checked against the attribute tables below and answered with IBM MQ style texts.
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ccdt/ccdt.h"
#include "ccdt/internal.h"
#include "platform/platform.h"

namespace {

// ---- Attribute tables --------------------------------------------------------------------------

enum Kind : uint32_t {
    K_NAME = 1,
    K_TEXT = 2,
    K_VALUE = 3,
    K_VALUE_OR_NUMBER = 4,
    K_INTEGER = 5,
    K_DATETIME = SCAN_KIND_NOT_KEYWORD,
    K_EXITS = 7,
    K_VALUES = 8,
    K_VERSION = 9,
    K_DATE = 10,
    K_TIME = 11,
};

struct ValueRow {
    int32_t value;
    const char *name;  // null ends the table
};

// One dictionary entry; the scan fields first so that scanFindKeyword reads it as its own.
struct Entry {
    ScanKeywordDef scan;
    const char *label;
    int64_t minimum;
    int64_t maximum;  // or the length of a text
    const ValueRow *values;
};

constexpr uint32_t F_NOT_IN_ALL = 1;
constexpr uint32_t F_MASKED = 2;
constexpr uint32_t F_READ_ONLY = 4;
constexpr uint32_t F_OBJECT_NAME = 8;

// Where a row's value lives and when it applies; parallel to the scan rows.
struct RowInfo {
    uint32_t flags;
    int32_t offset;        // in the record, -1 computed
    const int32_t *types;  // the channel types it applies to (0 ends), null all
};

constexpr ValueRow kChannelTypes[] = {{1, "SDR"},      {2, "SVR"},     {3, "RCVR"},    {4, "RQSTR"},
                                      {8, "CLUSRCVR"}, {9, "CLUSSDR"}, {7, "SVRCONN"}, {6, "CLNTCONN"},
                                      {11, "AMQP"},    {0, nullptr}};
constexpr ValueRow kTransports[] = {{2, "TCP"},    {1, "LU62"}, {3, "NETBIOS"}, {4, "SPX"},
                                    {5, "DECNET"}, {6, "UDP"},  {0, nullptr}};
constexpr ValueRow kHdrComp[] = {{0, "NONE"}, {8, "SYSTEM"}, {0, nullptr}};
constexpr ValueRow kMsgComp[] = {{0, "NONE"}, {268435455, "ANY"}, {16, "LZ4FAST"}, {32, "LZ4HIGH"},
                                 {1, "RLE"},  {2, "ZLIBFAST"},    {4, "ZLIBHIGH"}, {0, nullptr}};
constexpr ValueRow kShareCnv[] = {{0, "0"}, {1, "1"}, {0, nullptr}};
constexpr ValueRow kPropCtl[] = {{0, "COMPAT"}, {1, "NONE"},     {2, "ALL"},
                                 {3, "FORCE"},  {4, "V6COMPAT"}, {0, nullptr}};
constexpr ValueRow kAffinity[] = {{1, "PREFERRED"}, {0, "NONE"}, {0, nullptr}};
constexpr ValueRow kDefRecon[] = {{0, "NO"}, {1, "YES"}, {2, "QMGR"}, {3, "DISABLED"}, {0, nullptr}};

constexpr Entry def(const char *names, uint32_t kind, uint32_t id, const char *label, int64_t minimum,
                    int64_t maximum, const ValueRow *values = nullptr) {
    return Entry{{{0, 0, 0}, names, kind, id}, label, minimum, maximum, values};
}

const Entry eChannel = def("CHANNEL", K_NAME, 3501, "Channel Name", 0, 20);
const Entry eType = def("TYPE/CHLTYPE", K_VALUE, 1511, "Channel Type", 0, 0, kChannelTypes);
const Entry eVersion = def("VERSION", K_VERSION, 10129, "Channel Version", 1, 12);
const Entry eDescr = def("DESCR", K_TEXT, 3502, "Description", 0, 64);
const Entry eTrpType = def("TRPTYPE", K_VALUE, 1501, "Transport Type", 0, 0, kTransports);
const Entry eConname = def("CONNAME", K_TEXT, 3506, "Connection Name", 0, 264);
const Entry eQmname = def("QMNAME", K_NAME, 2015, "Queue Manager Name", 0, 48);
const Entry eLocladdr = def("LOCLADDR", K_TEXT, 3520, "Local Address", 0, 48);
const Entry eUserid = def("USERID", K_TEXT, 3517, "LU62 User Identifier", 0, 12);
const Entry ePassword = def("PASSWORD", K_TEXT, 3518, "LU62 Password", 0, 12);
const Entry eModename = def("MODENAME", K_TEXT, 3503, "Mode Name", 0, 8);
const Entry eTpname = def("TPNAME", K_TEXT, 3504, "TP Name", 0, 64);
const Entry eMaxmsgl = def("MAXMSGL", K_INTEGER, 1510, "Maximum Message Length", 0, 104857600);
const Entry eHbint = def("HBINT", K_INTEGER, 1563, "Heartbeat Interval", 0, 999999);
const Entry eScyexit = def("SCYEXIT", K_TEXT, 3508, "Security Exit", 0, 128);
const Entry eScydata = def("SCYDATA", K_TEXT, 3513, "Security User Data", 0, 32);
const Entry eSendexit = def("SENDEXIT", K_EXITS, 3510, "Send Exits", 0, 128);
const Entry eSenddata = def("SENDDATA", K_EXITS, 3515, "Send User Data", 0, 32);
const Entry eRcvexit = def("RCVEXIT", K_EXITS, 3511, "Receive Exits", 0, 128);
const Entry eRcvdata = def("RCVDATA", K_EXITS, 3516, "Receive User Data", 0, 32);
const Entry eComphdr = def("COMPHDR", K_VALUES, 1575, "Header Compression", 0, 2, kHdrComp);
const Entry eCompmsg = def("COMPMSG", K_VALUES, 1576, "Message Compression", 0, 16, kMsgComp);
const Entry eSslciph = def("SSLCIPH", K_TEXT, 3544, "SSL/TLS Cipher Spec", 0, 32);
const Entry eSslpeer = def("SSLPEER", K_TEXT, 3545, "SSL/TLS Peer Name", 0, 1024);
const Entry eSharecnv =
    def("SHARECNV", K_VALUE_OR_NUMBER, 1615, "Sharing Conversations", 0, 999999999, kShareCnv);
const Entry ePropctl = def("PROPCTL", K_VALUE, 190, "Property Control", 0, 0, kPropCtl);
const Entry eMaxinst = def("MAXINST", K_INTEGER, 1618, "Maximum Instances", 0, 999999999);
const Entry eMaxinstc = def("MAXINSTC", K_INTEGER, 1619, "Maximum Instances per Client", 0, 999999999);
const Entry eClntwght = def("CLNTWGHT", K_INTEGER, 1620, "Client Weight", 0, 99);
const Entry eAffinity = def("AFFINITY", K_VALUE, 1621, "Affinity", 0, 0, kAffinity);
const Entry eDefrecon = def("DEFRECON", K_VALUE, 1640, "Default Reconnect", 0, 0, kDefRecon);
const Entry eAltdati = def("ALTDATI", K_DATETIME, 10217, "Alteration Date/Time", 0, 0);
const Entry eAltdate = def("ALTDATE", K_DATE, 2027, "Alteration Date", 0, 16);
const Entry eAlttime = def("ALTTIME", K_TIME, 2028, "Alteration Time", 0, 12);

constexpr int32_t kSenders[] = {1, 2, 8, 9, 0};
constexpr int32_t kServerConn[] = {7, 0};
constexpr int32_t kClientConn[] = {6, 0};

#define CD(field) static_cast<int32_t>(offsetof(ChannelRecord, mqcd) + offsetof(MQCD, field))

// The "MQSC Channel Definition" descriptor.
const ScanKeywordRow kChannelRows[] = {
    {{0, 0, 0}, &eChannel.scan},  {{0, 0, 0}, &eType.scan},     {{0, 0, 0}, &eVersion.scan},
    {{0, 0, 0}, &eDescr.scan},    {{0, 0, 0}, &eTrpType.scan},  {{0, 0, 0}, &eConname.scan},
    {{0, 0, 0}, &eQmname.scan},   {{0, 0, 0}, &eLocladdr.scan}, {{0, 0, 0}, &eUserid.scan},
    {{0, 0, 0}, &ePassword.scan}, {{0, 0, 0}, &eModename.scan}, {{0, 0, 0}, &eTpname.scan},
    {{0, 0, 0}, &eMaxmsgl.scan},  {{0, 0, 0}, &eHbint.scan},    {{0, 0, 0}, &eScyexit.scan},
    {{0, 0, 0}, &eScydata.scan},  {{0, 0, 0}, &eSendexit.scan}, {{0, 0, 0}, &eSenddata.scan},
    {{0, 0, 0}, &eRcvexit.scan},  {{0, 0, 0}, &eRcvdata.scan},  {{0, 0, 0}, &eComphdr.scan},
    {{0, 0, 0}, &eCompmsg.scan},  {{0, 0, 0}, &eSslciph.scan},  {{0, 0, 0}, &eSslpeer.scan},
    {{0, 0, 0}, &eSharecnv.scan}, {{0, 0, 0}, &ePropctl.scan},  {{0, 0, 0}, &eMaxinst.scan},
    {{0, 0, 0}, &eMaxinstc.scan}, {{0, 0, 0}, &eClntwght.scan}, {{0, 0, 0}, &eAffinity.scan},
    {{0, 0, 0}, &eDefrecon.scan}, {{0, 0, 0}, &eAltdati.scan},  {{0, 0, 0}, &eAltdate.scan},
    {{0, 0, 0}, &eAlttime.scan},  {{0, 0, 0}, nullptr},
};
const RowInfo kChannelInfo[] = {
    {F_OBJECT_NAME, CD(ChannelName), nullptr},
    {0, CD(ChannelType), nullptr},
    {F_NOT_IN_ALL, CD(Version), nullptr},
    {0, CD(Desc), nullptr},
    {0, CD(TransportType), nullptr},
    {0, CD(ConnectionName), nullptr},
    {0, CD(QMgrName), nullptr},
    {0, CD(LocalAddress), nullptr},
    {0, CD(UserIdentifier), nullptr},
    {F_MASKED, CD(Password), nullptr},
    {0, CD(ModeName), nullptr},
    {0, CD(TpName), nullptr},
    {0, CD(MaxMsgLength), nullptr},
    {0, CD(HeartbeatInterval), nullptr},
    {0, CD(SecurityExit), nullptr},
    {0, CD(SecurityUserData), nullptr},
    {0, CD(SendExitPtr), nullptr},
    {0, CD(SendUserDataPtr), nullptr},
    {0, CD(ReceiveExitPtr), nullptr},
    {0, CD(ReceiveUserDataPtr), nullptr},
    {0, CD(HdrCompList), nullptr},
    {0, CD(MsgCompList), nullptr},
    {0, CD(SSLCipherSpec), nullptr},
    {F_READ_ONLY, -1, nullptr},
    {0, CD(SharingConversations), nullptr},
    {0, CD(PropertyControl), kSenders},
    {0, CD(MaxInstances), kServerConn},
    {0, CD(MaxInstancesPerClient), kServerConn},
    {0, CD(ClientChannelWeight), kClientConn},
    {0, CD(ConnectionAffinity), kClientConn},
    {0, CD(DefReconnect), kClientConn},
    {F_READ_ONLY, -1, nullptr},
    {F_READ_ONLY, -1, nullptr},
    {F_READ_ONLY, -1, nullptr},
};
static_assert(sizeof kChannelInfo / sizeof kChannelInfo[0] + 1 ==
              sizeof kChannelRows / sizeof kChannelRows[0]);

// The edit form of one AUTHINFO object.
struct AuthInfoRecord {
    char name[48];
    char description[64];
    int32_t type;  // 1 CRLLDAP, 2 OCSP
    int64_t alterTime;
    char connectionName[264];  // the OCSP responder URL for OCSP; first byte 0: never given
    char ldapUser[1024];
    char ldapPassword[32];
};

constexpr ValueRow kAuthTypes[] = {{1, "CRLLDAP"}, {2, "OCSP"}, {3, "IDPWOS"}, {4, "IDPWLDAP"}, {0, nullptr}};
const Entry eAuthInfo = def("AUTHINFO", K_NAME, 2045, "Auth Info Name", 0, 48);
const Entry eAuthType = def("AUTHTYPE", K_VALUE, 66, "Auth Info Type", 0, 0, kAuthTypes);
const Entry eAuthDescr = def("DESCR", K_TEXT, 2046, "Description", 0, 64);
const Entry eAuthConname = def("CONNAME", K_TEXT, 2053, "Auth Info Connection Name", 0, 264);
const Entry eLdapUser = def("LDAPUSER", K_TEXT, 2047, "LDAP User Name", 0, 1024);
const Entry eLdapPwd = def("LDAPPWD", K_TEXT, 2048, "LDAP Password", 0, 32);

#define AI(field) static_cast<int32_t>(offsetof(AuthInfoRecord, field))

// The "MQSC Auth Info Definition" descriptor.
const ScanKeywordRow kAuthRows[] = {
    {{0, 0, 0}, &eAuthInfo.scan},  {{0, 0, 0}, &eAuthType.scan},
    {{0, 0, 0}, &eAuthDescr.scan}, {{0, 0, 0}, &eAuthConname.scan},
    {{0, 0, 0}, &eLdapUser.scan},  {{0, 0, 0}, &eLdapPwd.scan},
    {{0, 0, 0}, &eAltdati.scan},   {{0, 0, 0}, &eAltdate.scan},
    {{0, 0, 0}, &eAlttime.scan},   {{0, 0, 0}, nullptr},
};
const RowInfo kAuthInfo[] = {
    {F_OBJECT_NAME, AI(name), nullptr}, {0, AI(type), nullptr},     {0, AI(description), nullptr},
    {0, AI(connectionName), nullptr},   {0, AI(ldapUser), nullptr}, {F_MASKED, AI(ldapPassword), nullptr},
    {F_READ_ONLY, -1, nullptr},         {F_READ_ONLY, -1, nullptr}, {F_READ_ONLY, -1, nullptr},
};
static_assert(sizeof kAuthInfo / sizeof kAuthInfo[0] + 1 == sizeof kAuthRows / sizeof kAuthRows[0]);

struct Descriptor {
    const ScanKeywordRow *rows;
    const RowInfo *info;
    size_t count;
    const char *header;
    int32_t alterOffset;
};
const Descriptor kChannelDescriptor{kChannelRows, kChannelInfo, sizeof kChannelInfo / sizeof kChannelInfo[0],
                                    "AMQ8414: Display Channel details.\n",
                                    static_cast<int32_t>(offsetof(ChannelRecord, alterTime))};
const Descriptor kAuthDescriptor{kAuthRows, kAuthInfo, sizeof kAuthInfo / sizeof kAuthInfo[0],
                                 "AMQ8414: Display authentication information details.\n", AI(alterTime)};

const Entry &entryOf(const ScanKeywordRow *row) {
    return *reinterpret_cast<const Entry *>(row->def);
}
const RowInfo &infoOf(const Descriptor &d, const ScanKeywordRow *row) {
    return d.info[row - d.rows];
}

// The display keyword: the last '/' alternative.
std::string displayKeyword(const Entry &e) {
    const char *slash = std::strrchr(e.scan.names, '/');
    return slash ? slash + 1 : e.scan.names;
}

// Only channel rows carry a condition.
bool applies(const RowInfo &info, const void *record) {
    if (info.types == nullptr) return true;
    for (const int32_t *t = info.types; *t != 0; ++t)
        if (static_cast<const ChannelRecord *>(record)->mqcd.ChannelType == *t) return true;
    return false;
}

// ---- Tokens and texts --------------------------------------------------------------------------

struct Command {
    const char *text;
    const char *cursor;
    char token[SCAN_MQSC_TOKEN_SIZE];
    bool cut;  // the last token was longer than the token buffer takes
    std::string message;
    const ccdtMqscIo *io;
    const char *file;
};

// The length of the value a token's text spans, before the token buffer's cut: a quoted text's
// own quotes are not counted and a doubled apostrophe is one character.
size_t valueLength(const char *start, const char *end) {
    const char q = *start;
    if (q != '\'' && q != '"') return static_cast<size_t>(end - start);
    size_t n = 0;
    for (const char *p = start + 1; p < end; ++p, ++n) {
        if (*p != q) continue;
        if (q != '\'' || p + 1 >= end || p[1] != '\'') break;
        ++p;
    }
    return n;
}

// The next token; 1 at the end of the text.
int next(Command *c) {
    const char *p = c->cursor;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
        if (*p != ';' && *p != '#') break;
        while (*p != '\0' && *p != '\n') ++p;
    }
    const char *start = p;
    int end = scanGetMQSCToken(&c->cursor, c->token);
    c->cut = valueLength(start, c->cursor) > std::strlen(c->token);
    return end;
}

void addLine(std::string *out, const char *line) {
    out->append(line);
    out->push_back('\n');
}

void format(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void format(std::string *out, const char *fmt, ...) {
    char buffer[2200];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    out->append(buffer);
}

// The syntax error text: the segment up to the error position, then the help list.
void syntaxError(Command *c, const char *const *help, const char *segment) {
    const char *at = c->cursor;
    size_t length = at > segment ? static_cast<size_t>(at - segment) : 0;
    if (*at == '\0' && length > 0) --length;
    c->message += "AMQ8405: Syntax error detected at or near command segment below :-\n\n";
    c->message.append(segment, length);
    c->message += "\n\n";
    size_t running = 1;
    for (const char *const *line = help; *line != nullptr; ++line) {
        running += std::strlen(*line) + 1;
        if (running >= 2000) break;
        addLine(&c->message, *line);
    }
}

bool equalNoCase(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

const char *const kCommandsHelp[] = {"AMQ8426: Valid MQSC commands are:",
                                     "",
                                     "  ALTER",
                                     "  DEFINE",
                                     "  DELETE",
                                     "  DISPLAY",
                                     "  END",
                                     nullptr};
const char *const kDisplayHelp[] = {"AMQ8426: Valid MQSC display commands are:", "", "  DISPLAY CHANNEL",
                                    "  DISPLAY AUTHINFO", nullptr};
const char *const kAlterHelp[] = {"AMQ8426: Valid MQSC alter commands are:", "", "  ALTER CHANNEL",
                                  "  ALTER AUTHINFO", nullptr};
const char *const kDefineHelp[] = {"AMQ8426: Valid MQSC define commands are:", "", "  DEFINE CHANNEL",
                                   "  DEFINE AUTHINFO", nullptr};
const char *const kDeleteHelp[] = {"AMQ8426: Valid MQSC delete commands are:", "", "  DELETE CHANNEL",
                                   "  DELETE AUTHINFO", nullptr};

const char *const kDisplayChannelHelp[] = {
    "AMQ8427: Valid syntax for the MQSC command:",
    "",
    "  DISPLAY CHANNEL( generic_channel_name )",
    "",
    "     [ =WHERE( filter_keyword operator filter_value ) ]",
    "     [ =FIND( find string ) ]",
    "",
    "     [ ALL      ] ",
    "     [ AFFINITY ] [ ALTDATE  ] [ ALTTIME  ] [ CERTLABL ] [ CHLTYPE  ]",
    "     [ CLNTWGHT ] [ CLWLPRTY ] [ CLWLRANK ] [ CLWLWGHT ] [ COMPHDR  ]",
    "     [ COMPMSG  ] [ CONNAME  ] [ CONVERT  ] [ DEFRECON ] [ DESCR    ]",
    "     [ HBINT    ] [ MAXMSGL  ] [ MCANAME  ] [ MCAUSER  ] [ MODENAME ]",
    "     [ PASSWORD ] [ QMNAME   ] [ RCVDATA  ] [ RCVEXIT  ] [ SCYDATA  ]",
    "     [ SCYEXIT  ] [ SENDDATA ] [ SENDEXIT ] [ SHORTTMR ] [ SSLCAUTH ]",
    "     [ SSLCIPH  ] [ SSLPEER  ] [ TPNAME   ] [ TRPTYPE  ] [ TYPE     ]",
    "     [ USERID   ] [ LOCLADDR ] [ COMPHDR  ] [ COMPMSG  ] [ MONCHL   ]",
    nullptr};
const char *const kAlterChannelHelp[] = {
    "AMQ8427: Valid syntax for the MQSC command:",
    "",
    "  ALTER CHANNEL( channel_name )",
    "     [ AFFINITY( PREFERRED | NONE )]",
    "     [ CERTLABL( certificate label )]   [ CHLTYPE( CLNTCONN )]",
    "     [ CONNAME( connection_name )]",
    "     [ DEFRECON( NO | YES | QMGR | DISABLED )]",
    "     [ DESCR( decription )]            [ HBINT( heartbeat interval )]",
    "     [ MAXMSGL( max msg length )]      [ MODENAME( modename ) ]",
    "     [ RCVDATA( receive exit data )  ] [ RCVEXIT( receive exit name ) ]",
    "     [ SCYDATA( security exit data ) ] [ SCYEXIT( security exit name )]",
    "     [ SENDDATA( send exit data )    ] [ SENDEXIT( send exit name )   ]",
    "     [ SSLCAUTH( SSL Auth ) ]          [ SSLCIPH( SSL Cipher )  ]",
    "     [ SSLPEER( SSL Peer )  ] ",
    "     [ TPNAME( TP Name )]              [ TRPTYPE( TCP|NetBIOS|LU62 )]",
    "     [ USERID( UserId )]               [ LOCLADDR( local address ) ]",
    "     [ COMPHDR( NONE|SYSTEM )]",
    "     [ COMPMSG( NONE|RLE|ZLIBFAST|ZLIBHIGH|ANY )]",
    "     [ SHARECNV( share conv )]         [ CLNTWGHT( client weight )]",
    nullptr};
const char *const kDefineChannelHelp[] = {
    "AMQ8427: Valid syntax for the MQSC command:",
    "",
    "  DEFINE CHANNEL( channel_name )",
    "     [ AFFINITY( PREFERRED | NONE )]",
    "     [ CHLTYPE( CLNTCONN )]            [ CONNAME( connection_name )]",
    "     [ DEFRECON( NO | YES | QMGR | DISABLED )]",
    "     [ DESCR( decription )]            [ HBINT( heartbeat interval )]",
    "     [ MAXMSGL( max msg length )]      [ MODENAME( modename ) ]",
    "     [ RCVDATA( receive exit data )  ] [ RCVEXIT( receive exit name ) ]",
    "     [ SCYDATA( security exit data ) ] [ SCYEXIT( security exit name )]",
    "     [ SENDDATA( send exit data )    ] [ SENDEXIT( send exit name )   ]",
    "     [ SSLCAUTH( SSL Auth ) ]          [ SSLCIPH( SSL Cipher )  ]",
    "     [ SSLPEER( SSL Peer )  ] ",
    "     [ TPNAME( TP Name )]              [ TRPTYPE( TCP|NetBIOS|LU62 )]",
    "     [ USERID( UserId )]               [ LOCLADDR( local address ) ]",
    "     [ COMPHDR( NONE|SYSTEM )]",
    "     [ COMPMSG( NONE|RLE|ZLIBFAST|ZLIBHIGH|ANY )]",
    "     [ SHARECNV( share conv )]         [ CLNTWGHT( Client Weight )]",
    "     [ REPLACE ]",
    nullptr};
const char *const kDeleteChannelHelp[] = {"AMQ8427: Valid syntax for the MQSC command:", "",
                                          "  DELETE CHANNEL(channel_name)", nullptr};

// ---- Records -----------------------------------------------------------------------------------

// A record with room for any tail, freed with its exit arrays.
struct Record {
    std::vector<uint64_t> words = std::vector<uint64_t>(CCDT_RECORD_MAX / 8 + 1);
    ChannelRecord *get() { return reinterpret_cast<ChannelRecord *>(words.data()); }
    ~Record() { ccdtFreeChannel(get(), 0); }
};

char *fieldOf(void *record, const RowInfo &info) {
    return static_cast<char *>(record) + info.offset;
}

size_t trimmed(const char *text, size_t size) {
    while (size > 0 && (text[size - 1] == ' ' || text[size - 1] == '\0' || text[size - 1] == '\t' ||
                        text[size - 1] == '\n' || text[size - 1] == '\r'))
        --size;
    return size;
}

const char *valueName(const ValueRow *table, int32_t value) {
    for (const ValueRow *v = table; v && v->name; ++v)
        if (v->value == value) return v->name;
    return nullptr;
}

const char *releaseOf(int32_t version) {
    static const struct {
        const char *release;
        int version;
    } map[] = {{"5.0", 4}, {"5.1", 5}, {"5.2", 6},  {"5.3", 7},
               {"6.0", 8}, {"7.0", 9}, {"7.1", 10}, {"8.0", 11}};
    for (const auto &m : map)
        if (m.version == version) return m.release;
    return nullptr;
}

// One item KEYWORD(value) of a channel.
void formatAttr(std::string *out, const Descriptor &d, const ScanKeywordRow *row, void *record) {
    const Entry &e = entryOf(row);
    const RowInfo &info = infoOf(d, row);
    std::string value;
    switch (e.scan.kind) {
        case K_VALUE:
        case K_VALUE_OR_NUMBER:
        case K_INTEGER:
        case K_VERSION: {
            int32_t number = 0;
            std::memcpy(&number, fieldOf(record, info), 4);
            const char *name = e.scan.kind == K_VERSION   ? releaseOf(number)
                               : e.scan.kind == K_INTEGER ? nullptr
                                                          : valueName(e.values, number);
            char buffer[24];
            if (name == nullptr) {
                std::snprintf(buffer, sizeof buffer, "%s%d", e.scan.kind == K_VERSION ? "s" : "", number);
                name = buffer;
            }
            value = name;
            break;
        }
        case K_NAME:
        case K_TEXT: {
            const char *field = nullptr;
            size_t size = static_cast<size_t>(e.maximum);
            if (&e == &eSslpeer) {
                const MQCD &cd = static_cast<ChannelRecord *>(record)->mqcd;
                field = static_cast<const char *>(cd.SSLPeerNamePtr);
                size = field ? static_cast<size_t>(cd.SSLPeerNameLength) : 0;
            } else {
                field = fieldOf(record, info);
            }
            std::string text(field ? field : "", size);
            for (char &ch : text)
                if (ch == '\0') ch = ' ';
            text.resize(trimmed(text.data(), text.size()));
            bool mask = (info.flags & F_MASKED) && !text.empty();
            if (&e == &eUserid)
                for (char ch : text)
                    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != ' ') mask = true;
            value = mask ? "*****" : text;
            break;
        }
        case K_DATE:
        case K_TIME: {
            int64_t alterTime = 0;
            std::memcpy(&alterTime, static_cast<char *>(record) + d.alterOffset, sizeof alterTime);
            if (alterTime != 0) {
                char date[11] = {}, time[9] = {};
                evNowDateTime(&alterTime, date, time);
                value = e.scan.kind == K_DATE ? date : time;
            }
            break;
        }
        case K_EXITS: {
            const auto *array = *reinterpret_cast<const ccdtExitArray *const *>(fieldOf(record, info));
            if (array)
                for (int32_t i = 0; i < array->count; i++) {
                    const char *entry =
                        array->entries + static_cast<size_t>(i) * static_cast<size_t>(array->width);
                    if (i) value += ',';
                    value.append(entry, trimmed(entry, static_cast<size_t>(array->width)));
                }
            break;
        }
        case K_VALUES: {
            const int32_t *list = reinterpret_cast<const int32_t *>(fieldOf(record, info));
            for (int64_t i = 0; i < e.maximum && list[i] != -1; i++) {
                if (i) value += ',';
                const char *name = valueName(e.values, list[i]);
                value += name ? name : std::to_string(list[i]);
            }
            break;
        }
        default:
            return;
    }
    if (value.empty()) value.push_back(' ');
    out->append(displayKeyword(e));
    out->push_back('(');
    out->append(value);
    out->append(") ");
}

// The attribute list of a DISPLAY: rows to show, in table order.
struct Selection {
    std::vector<bool> shown = std::vector<bool>(sizeof kChannelInfo / sizeof kChannelInfo[0]);
    std::vector<bool> given = shown;  // named by a keyword of the command
    void all(const Descriptor &d) {
        for (size_t i = 0; i < d.count; i++)
            if (!(d.info[i].flags & F_NOT_IN_ALL)) shown[i] = true;
    }
};

std::string displayObject(const Descriptor &d, void *record, const Selection &selection) {
    std::string out = d.header;
    for (size_t i = 0; i < d.count; i++) {
        if (!selection.shown[i] || !applies(d.info[i], record)) continue;
        formatAttr(&out, d, &d.rows[i], record);
    }
    return out;
}

void unpadName(const char *field, size_t size, char *out) {
    size_t n = trimmed(field, size);
    std::memcpy(out, field, n);
    out[n] = '\0';
}

// ---- Attribute parser --------------------------------------------------------------------------

bool validName(const char *name) {
    for (const char *p = name; *p; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && std::strchr(" ./_%", *p) == nullptr)
            return false;
    return true;
}

// Reads a decimal number with an overflow check.
bool readNumber(const char *text, int64_t *out) {
    if (*text == '\0') return false;
    int64_t value = 0;
    for (const char *p = text; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        if (value > (INT64_MAX - 9) / 10) return false;
        value = value * 10 + (*p - '0');
    }
    *out = value;
    return true;
}

struct ParseState {
    bool replace = false;
    bool insert = false;
    bool changed = false;
    bool versionGiven = false;
};

// Exit lists: "()" empties; values up to ')'.
int parseList(Command *c, const char *const *help, const char *segment, ccdtExitArray **slot, int32_t width) {
    std::vector<std::string> values;
    bool first = true;
    // The first value is the token already read.
    for (;;) {
        if (!first && next(c)) {
            c->message += "AMQ8427: Unexpected end of command.\n";
            syntaxError(c, help, segment);
            return 1;
        }
        if (first && std::strcmp(c->token, ")") == 0) break;
        first = false;
        if (std::strcmp(c->token, ",") == 0 || std::strcmp(c->token, ")") == 0) {
            c->message += "AMQ8427: Unexpected end of command.\n";
            syntaxError(c, help, segment);
            return 1;
        }
        if (c->cut || std::strlen(c->token) > static_cast<size_t>(width)) {
            c->message += "AMQ8413: String Length Error.\n";
            syntaxError(c, help, segment);
            return 1;
        }
        values.emplace_back(c->token);
        if (next(c)) {
            c->message += "AMQ8427: Unexpected end of command.\n";
            syntaxError(c, help, segment);
            return 1;
        }
        if (std::strcmp(c->token, ")") == 0) break;
        if (std::strcmp(c->token, ",") != 0) {
            c->message += "AMQ8427: Expected ',' list separator.\n";
            syntaxError(c, help, segment);
            return 1;
        }
    }
    std::free(*slot);
    *slot = nullptr;
    if (values.empty()) return 0;
    int32_t capacity = static_cast<int32_t>((values.size() + 4) / 5 * 5);
    auto *array = static_cast<ccdtExitArray *>(
        std::malloc(CCDT_EXIT_ARRAY_HEAD + static_cast<size_t>(capacity) * static_cast<size_t>(width)));
    if (!array) {
        c->message += "No storage.\n";
        return 1;
    }
    array->capacity = capacity;
    array->width = width;
    array->count = static_cast<int32_t>(values.size());
    for (size_t i = 0; i < values.size(); i++) {
        char *entry = array->entries + i * static_cast<size_t>(width);
        std::memset(entry, ' ', static_cast<size_t>(width));
        std::memcpy(entry, values[i].data(), values[i].size());
    }
    *slot = array;
    return 0;
}

// Compression lists: "()" sets every entry to -1.
int parseListValues(Command *c, const char *const *help, const char *segment, int32_t *list, int64_t entries,
                    const ValueRow *table) {
    std::vector<int32_t> values;
    bool first = true;
    for (;;) {
        if (!first && next(c)) {
            c->message += "AMQ8427: Unexpected end of command.\n";
            syntaxError(c, help, segment);
            return 1;
        }
        if (first && std::strcmp(c->token, ")") == 0) break;
        first = false;
        const ValueRow *found = nullptr;
        for (const ValueRow *v = table; v->name; ++v)
            if (equalNoCase(v->name, c->token)) found = v;
        if (!found) {
            format(&c->message, "AMQ8427: Unrecognised list  value '%s'.\n", c->token);
            syntaxError(c, help, segment);
            return 1;
        }
        for (int32_t v : values)
            if (v == found->value) {
                format(&c->message, "AMQ8411: Duplicate keyword error '%s'.\n", c->token);
                syntaxError(c, help, segment);
                return 1;
            }
        if (static_cast<int64_t>(values.size()) >= entries) {
            c->message += "AMQ8427: Too many values.\n";
            syntaxError(c, help, segment);
            return 1;
        }
        values.push_back(found->value);
        if (next(c)) {
            c->message += "AMQ8427: Unexpected end of command.\n";
            syntaxError(c, help, segment);
            return 1;
        }
        if (std::strcmp(c->token, ")") == 0) break;
        if (std::strcmp(c->token, ",") != 0) {
            c->message += "AMQ8427: Expected ',' list separator.\n";
            syntaxError(c, help, segment);
            return 1;
        }
    }
    for (int64_t i = 0; i < entries; i++)
        list[i] = i < static_cast<int64_t>(values.size()) ? values[static_cast<size_t>(i)] : -1;
    return 0;
}

// The attributes of DEFINE and ALTER CHANNEL applied to record. checkAll: every value is checked
// whether it applies or not (the scratch pass of ALTER).
int parseAttrs(Command *c, const Descriptor &d, void *record, const char *segment, const char *const *help,
               bool allowReplace, bool allowInsert, bool checkAll, ParseState *state) {
    std::vector<const Entry *> given{&entryOf(&d.rows[0])};
    for (;;) {
        if (next(c)) return 0;
        if (std::strcmp(c->token, "REPLACE") == 0) {
            if (!allowReplace) {
                c->message += "AMQ8427: REPLACE is not a valid keyword for this command.";
                return 1;
            }
            state->replace = true;
            continue;
        }
        if (std::strcmp(c->token, "INSERT") == 0) {
            if (!allowInsert) {
                c->message += "AMQ8427: INSERT is not a valid keyword for this command.";
                return 1;
            }
            state->insert = true;
            continue;
        }
        const ScanKeywordRow *row = nullptr;
        if (scanFindKeyword(nullptr, d.rows, c->token, &row, nullptr) != 0) {
            format(&c->message, "AMQ8427: Unrecognised attribute name '%s'\n", c->token);
            syntaxError(c, help, segment);
            return 1;
        }
        const Entry &e = entryOf(row);
        const RowInfo &info = infoOf(d, row);
        std::string keyword = c->token;
        for (const Entry *g : given)
            if (g == &e) {
                format(&c->message, "Duplicate keyword error '%s'", keyword.c_str());
                return 1;
            }
        given.push_back(&e);
        if (next(c) || std::strcmp(c->token, "(") != 0 || next(c)) {
            syntaxError(c, help, segment);
            return 1;
        }
        const bool apply = applies(info, record);
        if ((info.flags & F_READ_ONLY) && &e != &eSslpeer) {
            format(&c->message, "AMQ8427: You can not set the value of attribute '%s'", keyword.c_str());
            return 1;
        }
        if (!apply && !checkAll) {
            // Consumed silently, lists to their closing parenthesis.
            if (e.scan.kind == K_EXITS || e.scan.kind == K_VALUES) {
                while (std::strcmp(c->token, ")") != 0)
                    if (next(c)) {
                        syntaxError(c, help, segment);
                        return 1;
                    }
                continue;
            }
        } else {
            char *field = info.offset >= 0 ? fieldOf(record, info) : nullptr;
            switch (e.scan.kind) {
                case K_VALUE:
                case K_VALUE_OR_NUMBER: {
                    const ValueRow *found = nullptr;
                    if (c->token[0] == '<') found = e.values;
                    for (const ValueRow *v = e.values; !found && v->name; ++v)
                        if (equalNoCase(v->name, c->token)) found = v;
                    int64_t number = 0;
                    if (found) {
                        number = found->value;
                    } else if (e.scan.kind == K_VALUE) {
                        format(&c->message, "AMQ8427: Unrecognised value '%s'.\n", c->token);
                        syntaxError(c, help, segment);
                        return 1;
                    } else if (!readNumber(c->token, &number) || number < e.minimum || number > e.maximum) {
                        format(&c->message, "AMQ8427: The value of '%s' should be between %lld and %lld.",
                               keyword.c_str(), static_cast<long long>(e.minimum),
                               static_cast<long long>(e.maximum));
                        return 1;
                    }
                    if (apply) std::memcpy(field, &number, 4), state->changed = true;
                    break;
                }
                case K_INTEGER: {
                    int64_t number = 0;
                    if (!readNumber(c->token, &number) || number < e.minimum || number > e.maximum) {
                        format(&c->message, "AMQ8427: The value of '%s' should be between %lld and %lld.",
                               keyword.c_str(), static_cast<long long>(e.minimum),
                               static_cast<long long>(e.maximum));
                        return 1;
                    }
                    int32_t value = static_cast<int32_t>(number);
                    if (apply) std::memcpy(field, &value, 4), state->changed = true;
                    break;
                }
                case K_NAME:
                case K_TEXT: {
                    size_t length = std::strlen(c->token);
                    if (c->cut || length > static_cast<size_t>(e.maximum)) {
                        format(&c->message, "AMQ8427: The maximum length of attribute '%s' is %d characters.",
                               keyword.c_str(),
                               c->cut && e.maximum > static_cast<int64_t>(SCAN_MQSC_TOKEN_SIZE - 1)
                                   ? static_cast<int>(SCAN_MQSC_TOKEN_SIZE - 1)
                                   : static_cast<int>(e.maximum));
                        return 1;
                    }
                    if (!apply) break;
                    if (&e == &eSslpeer) {
                        MQCD &cd = static_cast<ChannelRecord *>(record)->mqcd;
                        std::free(cd.SSLPeerNamePtr);
                        cd.SSLPeerNamePtr = nullptr;
                        cd.SSLPeerNameLength = 0;
                        size_t n = trimmed(c->token, length);
                        if (n > 0) {
                            cd.SSLPeerNamePtr = std::malloc(n);
                            if (!cd.SSLPeerNamePtr) {
                                c->message += "AMQ8427: Storage not available";
                                return 1;
                            }
                            std::memcpy(cd.SSLPeerNamePtr, c->token, n);
                            cd.SSLPeerNameLength = static_cast<MQLONG>(n);
                        }
                    } else {
                        std::memset(field, ' ', static_cast<size_t>(e.maximum));
                        std::memcpy(field, c->token, length);
                    }
                    state->changed = true;
                    break;
                }
                case K_EXITS:
                    if (parseList(c, help, segment, reinterpret_cast<ccdtExitArray **>(field),
                                  static_cast<int32_t>(e.maximum)))
                        return 1;
                    if (apply) state->changed = true;
                    continue;
                case K_VALUES:
                    if (parseListValues(c, help, segment, reinterpret_cast<int32_t *>(field), e.maximum,
                                        e.values))
                        return 1;
                    if (apply) state->changed = true;
                    continue;
                case K_VERSION: {
                    int64_t version = -1;
                    if (c->token[0] == 'S') {
                        if (!readNumber(c->token + 1, &version)) version = -1;
                    } else {
                        version = ccdtVersionFromString(c->token);
                    }
                    if (version < 1 || version > CCDT_MAX_VERSION) {
                        format(&c->message, "AMQ8427: Invalid value for '%s'.\n", keyword.c_str());
                        syntaxError(c, help, segment);
                        return 1;
                    }
                    static_cast<ChannelRecord *>(record)->mqcd.Version = static_cast<MQLONG>(version);
                    state->versionGiven = true;
                    state->changed = true;
                    break;
                }
                default:
                    break;
            }
        }
        if (next(c) || std::strcmp(c->token, ")") != 0) {
            syntaxError(c, help, segment);
            return 1;
        }
    }
}

// "(" name ")" of a command; 1 on a syntax fault (reported).
int parseName(Command *c, const char *const *help, const char *segment, std::string *name) {
    if (next(c) || std::strcmp(c->token, "(") != 0 || next(c)) {
        syntaxError(c, help, segment);
        return 1;
    }
    *name = c->token;
    if (std::strcmp(c->token, ")") == 0 || next(c) || std::strcmp(c->token, ")") != 0) {
        syntaxError(c, help, segment);
        return 1;
    }
    return 0;
}

bool generic(const std::string &name) {
    return name.find_first_of("*?") != std::string::npos;
}

struct Table {
    ccdtHandle *handle = nullptr;
    char text[512] = {};
    ~Table() {
        if (handle) ccdtClose(&handle, text, sizeof text);
    }
};

int openTable(Command *c, Table *t, int mode) {
    char name[CCDT_PATH_MAX + 1];
    std::snprintf(name, sizeof name, "%s", c->file ? c->file : "");
    int rc = ccdtOpen(mode, name, &t->handle, t->text, sizeof t->text);
    if (rc != 0) c->message += t->text;
    return rc;
}

// Walks the channels that a name selects; visit returns 0 to go on, else a failure code.
template <typename Visit>
int forChannels(Command *c, Table *t, const std::string &pattern, bool *anyChannel, int *matched,
                Visit visit) {
    Record r;
    uint16_t length = static_cast<uint16_t>(CCDT_RECORD_MAX);
    *anyChannel = false;
    *matched = 0;
    if (!generic(pattern)) {
        char key[20];
        std::memset(key, ' ', sizeof key);
        std::memcpy(key, pattern.data(), pattern.size());
        int rc = ccdtFindChannel(t->handle, key, &length, r.get(), t->text, sizeof t->text);
        if (rc == CCDT_E_NO_CHANNEL) {
            // Tell an empty table from one without that channel.
            Record any;
            uint16_t l = static_cast<uint16_t>(CCDT_RECORD_MAX);
            *anyChannel = ccdtReadFirstChannel(t->handle, &l, any.get(), t->text, sizeof t->text) == 0;
            return 0;
        }
        if (rc != 0) {
            c->message += t->text;
            return rc;
        }
        *anyChannel = true;
        if ((rc = ccdtUnpackExits(r.get(), length, t->text, sizeof t->text)) != 0) {
            c->message += t->text;
            return rc;
        }
        ++*matched;
        return visit(r.get());
    }
    int rc = ccdtReadFirstChannel(t->handle, &length, r.get(), t->text, sizeof t->text);
    while (rc == 0) {
        *anyChannel = true;
        char name[21];
        unpadName(r.get()->mqcd.ChannelName, 20, name);
        if (evWildMatch(name, std::strlen(name), pattern.data(), pattern.size())) {
            if ((rc = ccdtUnpackExits(r.get(), length, t->text, sizeof t->text)) != 0) {
                c->message += t->text;
                return rc;
            }
            ++*matched;
            if ((rc = visit(r.get())) != 0) return rc;
        }
        ccdtFreeChannel(r.get(), 0);
        length = static_cast<uint16_t>(CCDT_RECORD_MAX);
        rc = ccdtReadNextChannel(t->handle, &length, r.get(), t->text, sizeof t->text);
    }
    if (rc != CCDT_E_NO_MORE && rc != CCDT_E_NO_CHANNEL) {
        c->message += t->text;
        return rc;
    }
    return 0;
}

void noChannels(Command *c, bool anyChannel) {
    c->message +=
        anyChannel ? "AMQ8147: No channels found which match criteria" : "AMQ8147: No channels found.";
}

// ---- Handlers ----------------------------------------------------------------------------------

int displayChannel(Command *c, const char *segment) {
    std::string name;
    if (parseName(c, kDisplayChannelHelp, segment, &name)) return 1;
    if (name.size() > 20) {
        c->message += "AMQ8427: A channel name is limited to 20 characters.";
        return 1;
    }
    Selection selection;
    selection.shown[0] = selection.shown[1] = true;
    bool some = false;
    while (!next(c)) {
        if (std::strcmp(c->token, "ALL") == 0) {
            for (size_t i = 0; i < selection.shown.size(); i++)
                if (!(kChannelInfo[i].flags & F_NOT_IN_ALL)) selection.shown[i] = true;
            continue;
        }
        const ScanKeywordRow *row = nullptr;
        if (scanFindKeyword(nullptr, kChannelRows, c->token, &row, nullptr) != 0) {
            format(&c->message, "AMQ8427: Unrecognised attribute name '%s'\n", c->token);
            syntaxError(c, kDisplayChannelHelp, segment);
            return 1;
        }
        size_t i = static_cast<size_t>(row - kChannelRows);
        if (selection.given[i] && i > 1) {
            format(&c->message, "Duplicate keyword error '%s'", c->token);
            return 1;
        }
        selection.shown[i] = selection.given[i] = true;
        some = true;
    }
    if (!some)
        for (size_t i = 0; i < selection.shown.size(); i++)
            if (!(kChannelInfo[i].flags & F_NOT_IN_ALL)) selection.shown[i] = true;
    Table t;
    if (int rc = openTable(c, &t, 1); rc != 0) return rc;
    bool anyChannel = false;
    int matched = 0;
    int rc = forChannels(c, &t, name, &anyChannel, &matched, [&](ChannelRecord *r) {
        std::string text = displayObject(kChannelDescriptor, r, selection);
        c->io->response(c->io->context, text.data(), text.size());
        return 0;
    });
    if (rc != 0) return rc;
    if (matched == 0) noChannels(c, anyChannel);
    return 0;
}

int defineChannel(Command *c, const char *segment) {
    std::string name;
    if (parseName(c, kDefineChannelHelp, segment, &name)) return 1;
    if (name.size() > 20) {
        c->message += "AMQ8427: A channel name is limited to 20 characters.";
        return 1;
    }
    if (!validName(name.c_str())) {
        c->message += "AMQ8427: The channel name is not valid.";
        return 1;
    }
    Table t;
    if (int rc = openTable(c, &t, 2); rc != 0) return rc;
    char key[20];
    std::memset(key, ' ', sizeof key);
    std::memcpy(key, name.data(), name.size());
    Record old;
    uint16_t length = static_cast<uint16_t>(CCDT_RECORD_MAX);
    int rc = ccdtFindChannel(t.handle, key, &length, old.get(), t.text, sizeof t.text);
    if (rc != 0 && rc != CCDT_E_NO_CHANNEL) {
        c->message += t.text;
        return rc;
    }
    const bool exists = rc == 0;
    Record r;
    ChannelRecord *record = r.get();
    ccdtDefaultChannel(record);
    std::memcpy(record->mqcd.ChannelName, key, 20);
    record->mqcd.TransportType = 2;
    record->mqcd.Version = exists ? old.get()->mqcd.Version : 12;
    record->mqcd.ChannelType = exists ? old.get()->mqcd.ChannelType : 6;
    ParseState state;
    if (parseAttrs(c, kChannelDescriptor, record, segment, kDefineChannelHelp, true, false, false, &state))
        return 1;
    if (exists && !state.replace) {
        c->message += "AMQ8150: WebSphere MQ channel already exists";
        return 1;
    }
    if (record->mqcd.ChannelType != 6 && !(exists && old.get()->mqcd.ChannelType != 6)) {
        c->message += "AMQ8150: Sorry, you can only define CLNTCONN channels";
        return 1;
    }
    if (state.versionGiven) ccdtSetOutputVersion(0);
    if ((rc = ccdtTrimExits(record, t.text, sizeof t.text)) != 0 ||
        (rc = ccdtPutChannel(t.handle, record, t.text, sizeof t.text)) != 0) {
        c->message += t.text;
        return rc;
    }
    // A console with screens would mark its cached channel names stale here; file mode, the only
    // mode this console runs in, keeps no object-name cache, so there is nothing to mark.
    format(&c->message, "AMQ8016: WebSphere MQ channel '%s' defined", name.c_str());
    return 0;
}

int alterChannel(Command *c, const char *segment) {
    std::string name;
    if (parseName(c, kAlterChannelHelp, segment, &name)) return 1;
    if (name.size() > 20) {
        c->message += "AMQ8427: A channel name is limited to 20 characters.";
        return 1;
    }
    const char *attrs = c->cursor;
    {
        // A faulty command changes nothing: every value is checked once on a scratch record.
        Record scratch;
        ccdtDefaultChannel(scratch.get());
        ParseState state;
        if (parseAttrs(c, kChannelDescriptor, scratch.get(), segment, kAlterChannelHelp, false, false, true,
                       &state))
            return 1;
        if (state.versionGiven) ccdtSetOutputVersion(0);
    }
    Table t;
    if (int rc = openTable(c, &t, 2); rc != 0) return rc;
    bool anyChannel = false;
    int matched = 0;
    std::vector<std::string> names;
    int rc = forChannels(c, &t, name, &anyChannel, &matched, [&](ChannelRecord *r) {
        char n[21];
        unpadName(r->mqcd.ChannelName, 20, n);
        names.emplace_back(n);
        return 0;
    });
    if (rc != 0) return rc;
    if (matched == 0) {
        noChannels(c, anyChannel);
        return 0;
    }
    // Each selected channel is read again and written in its place.
    for (const std::string &n : names) {
        char key[20];
        std::memset(key, ' ', sizeof key);
        std::memcpy(key, n.data(), n.size());
        Record r;
        uint16_t length = static_cast<uint16_t>(CCDT_RECORD_MAX);
        if ((rc = ccdtFindChannel(t.handle, key, &length, r.get(), t.text, sizeof t.text)) != 0 ||
            (rc = ccdtUnpackExits(r.get(), length, t.text, sizeof t.text)) != 0) {
            c->message += t.text;
            return rc;
        }
        ChannelRecord *record = r.get();
        if (c->io->match) {
            Selection all;
            for (size_t i = 0; i < all.shown.size(); i++)
                all.shown[i] = !(kChannelInfo[i].flags & F_NOT_IN_ALL);
            std::string text = displayObject(kChannelDescriptor, record, all);
            if (!c->io->match(c->io->context, text.data(), text.size())) continue;
        }
        const int32_t wasType = record->mqcd.ChannelType;
        c->cursor = attrs;
        ParseState state;
        if (parseAttrs(c, kChannelDescriptor, record, segment, kAlterChannelHelp, false, false, false,
                       &state))
            return 1;
        if (wasType == 6 && record->mqcd.ChannelType != 6) {
            c->message += "AMQ8150: Sorry, you can only define CLNTCONN channels\n";
            continue;
        }
        // The record was the one last found, so the write replaces it.
        if ((rc = ccdtTrimExits(record, t.text, sizeof t.text)) != 0 ||
            (rc = ccdtPutChannel(t.handle, record, t.text, sizeof t.text)) != 0) {
            c->message += t.text;
            return rc;
        }
        std::string done = "AMQ8016: WebSphere MQ channel '" + n + "' changed";
        c->io->response(c->io->context, done.data(), done.size());
    }
    return 0;
}

int deleteChannel(Command *c, const char *segment) {
    std::string name;
    if (parseName(c, kDeleteChannelHelp, segment, &name)) return 1;
    if (name.size() > 20) {
        c->message += "AMQ8427: A channel name is limited to 20 characters.";
        return 1;
    }
    Table t;
    if (int rc = openTable(c, &t, 2); rc != 0) return rc;
    char key[20];
    std::memset(key, ' ', sizeof key);
    std::memcpy(key, name.data(), name.size());
    Record r;
    uint16_t length = static_cast<uint16_t>(CCDT_RECORD_MAX);
    int rc = ccdtFindChannel(t.handle, key, &length, r.get(), t.text, sizeof t.text);
    if (rc != 0) {
        c->message += t.text;
        return rc;
    }
    rc = ccdtRecDelete(t.handle->file, key, 20);
    if (rc == CCDT_RC_NOT_FOUND || rc == CCDT_RC_NO_CURRENT) {
        c->message += "Channel not found";
        return CCDT_E_NO_CHANNEL;
    }
    if (rc == CCDT_RC_NO_STORAGE) {
        c->message += "Storage not available";
        return CCDT_E_STORAGE;
    }
    if (rc != 0) {
        format(&c->message, "Error accessing file RC(%d)", rc);
        return CCDT_E_FILE;
    }
    // No object-name cache to mark stale in file mode (see DEFINE CHANNEL).
    format(&c->message, "AMQ8015: WebSphere MQ channel '%s' deleted", name.c_str());
    return 0;
}

// ---- AUTHINFO ----------------------------------------------------------------------------------

const char *const kDisplayAuthHelp[] = {
    "AMQ8427: Valid syntax for the MQSC command:",
    "",
    "  DISPLAY AUTHINFO( generic_channel_name )",
    "",
    "     [ =WHERE( filter_keyword operator filter_value ) ]",
    "     [ =FIND( find string ) ]",
    "",
    "     [ AUTHTYPE( CRLLDAP | OCSP ) ]",
    "     [ ALL      ] [ ALTDATE  ] [ ALTTIME  ] [ AUTHTYPE ] [ CONNAME  ]",
    "     [ DESCR    ] [ LDAPPWD  ] [ LDAPUSER ]",
    nullptr};
const char *const kAlterAuthHelp[] = {"AMQ8427: Valid syntax for the MQSC command:",
                                      "",
                                      "  ALTER AUTHINFO( authinfo_name )",
                                      "     [ AUTHTYPE( CRLLDAP )]            [ CONNAME( connection_name )]",
                                      "     [ LDAPUSER( userid )]             [ LDAPPWD( password ) ]",
                                      "     [ DESCR( decription )]",
                                      nullptr};
const char *const kDefineAuthHelp[] = {"AMQ8427: Valid syntax for the MQSC command:", "",
                                       "  DEFINE AUTHINFO( authinfo_name )",
                                       "         AUTHTYPE( CRLLDAP | OCSP )", nullptr};
const char *const kDefineCrlHelp[] = {"AMQ8427: Valid syntax for the MQSC command:",
                                      "",
                                      "  DEFINE AUTHINFO( authinfo_name )",
                                      "         AUTHTYPE( CRLLDAP )]           CONNAME( connection_name )",
                                      "       [ LDAPUSER( userid )]            [ LDAPPWD( password ) ]",
                                      "       [ DESCR( decription )]           [ REPLACE | INSERT ]",
                                      nullptr};
const char *const kDefineOcspHelp[] = {"AMQ8427: Valid syntax for the MQSC command:",
                                       "",
                                       "  DEFINE AUTHINFO( authinfo_name )",
                                       "         AUTHTYPE( OCSP )  ]",
                                       "         OCSPUSL( url )",
                                       "       [ DESCR( decription )]           [ REPLACE | INSERT ]",
                                       nullptr};
const char *const kDeleteAuthHelp[] = {"AMQ8427: Valid syntax for the MQSC command:", "",
                                       "  DELETE AUTHINFO(authinfo_name)", nullptr};

void blankRecord(AuthInfoRecord *r, int32_t type, const std::string &name) {
    std::memset(r, 0, sizeof *r);
    std::memset(r->name, ' ', sizeof r->name);
    std::memcpy(r->name, name.data(), name.size() < sizeof r->name ? name.size() : sizeof r->name);
    std::memset(r->description, ' ', sizeof r->description);
    std::memset(r->ldapUser, ' ', sizeof r->ldapUser);
    std::memset(r->ldapPassword, ' ', sizeof r->ldapPassword);
    r->type = type;
}

// The type and slot number a name gives: 1 CRLLDAP or 2 OCSP with the number after its prefix, 0
// for neither; the number is 0 when there is none (or it would overflow).
int32_t nameType(const std::string &name, int64_t *number) {
    int32_t type = name.compare(0, 7, "CRLLDAP") == 0 ? 1 : name.compare(0, 4, "OCSP") == 0 ? 2 : 0;
    *number = 0;
    size_t digit = name.find_first_of("0123456789");
    if (digit == std::string::npos) return type;
    size_t end = digit;
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
    if (!readNumber(name.substr(digit, end - digit).c_str(), number) || *number > INT32_MAX) *number = 0;
    return type;
}

// One object by name (empty: slot 1 of the filter's type) and type filter (0 any).
int readAuthInfo(ccdtHandle *handle, const std::string &given, int32_t filter, AuthInfoRecord *r,
                 std::string *message) {
    std::string name(given.c_str(), trimmed(given.c_str(), given.size()));
    int64_t number = 0;
    int32_t type = name.empty() ? filter : nameType(name, &number);
    if (name.empty()) number = 1;
    char text[512] = "";
    if (type == 0 || number < 1) {
        format(message, "AMQ8147: Authentication name '%s' is not valid", name.c_str());
        return CCDT_E_PARAM;
    }
    if (filter != 0 && type != filter) {
        format(message, "AMQ8147: Authentication name '%s' does not match required authinfo type",
               name.c_str());
        return CCDT_E_PARAM;
    }
    char description[CCDT_TEXT_LENGTH];
    if (type == 1) {
        ccdtCrlSlot slot;
        int64_t time = 0;
        int rc = ccdtGetCrlAuthInfo(handle, static_cast<int>(number), &slot, &time, description, text,
                                    sizeof text);
        if (rc == CCDT_E_NO_MORE) return rc;
        if (rc != 0) {
            *message += text;
            return rc;
        }
        blankRecord(r, 1, "CRLLDAP" + std::to_string(number));
        std::memcpy(r->description, description, sizeof r->description);
        r->alterTime = time;
        std::memcpy(r->connectionName, slot.connectionName, sizeof r->connectionName);
        std::memcpy(r->ldapUser, slot.userName, sizeof r->ldapUser);
        std::memcpy(r->ldapPassword, slot.password, sizeof r->ldapPassword);
        return 0;
    }
    uint32_t count = 0;
    char url[CCDT_URL_LENGTH];
    int64_t time = 0;
    int rc = ccdtReadOcspData(handle->file, &count, url, &time, description, text, sizeof text);
    if (rc != 0) {
        format(message, "AMQ8147: Error accessing authentication information records RC(%d)", rc);
        return CCDT_E_FILE;
    }
    if (number > static_cast<int64_t>(count)) return CCDT_E_NO_MORE;
    blankRecord(r, 2, "OCSP" + std::to_string(number));
    std::memcpy(r->description, description, sizeof r->description);
    r->alterTime = time;
    std::memset(r->connectionName, ' ', sizeof r->connectionName);
    std::memcpy(r->connectionName, url, trimmed(url, CCDT_URL_LENGTH));
    return 0;
}

// Writes an object in the slot its name numbers (999 without a number). A position beyond the
// count is the next free one, for OCSP as for CRLLDAP: the one OCSP entry may be named freely.
int writeAuthInfo(ccdtHandle *handle, bool insert, AuthInfoRecord *r, std::string *message) {
    std::string name(r->name, trimmed(r->name, sizeof r->name));
    int64_t number = 0;
    nameType(name, &number);
    if (number == 0) number = 999;
    char text[512] = "";
    if (r->type == 1) {
        ccdtCrlSlot slot;
        std::memcpy(slot.connectionName, r->connectionName, sizeof slot.connectionName);
        for (char &ch : slot.connectionName)
            if (ch == '\0') ch = ' ';
        slot.type = 1;
        std::memcpy(slot.userName, r->ldapUser, sizeof slot.userName);
        std::memcpy(slot.password, r->ldapPassword, sizeof slot.password);
        int rc = ccdtAddCrlAuthInfo(handle, insert, &slot, static_cast<int>(number > 9999 ? 9999 : number),
                                    r->description, text, sizeof text);
        if (rc != 0) *message += text;
        return rc;
    }
    if (r->type != 2) {
        *message += "AMQ8147: Unknown Authentication Info type";
        return CCDT_E_PARAM;
    }
    if (r->connectionName[0] == '\0') {
        *message += "AMQ8462: The required parameter OCSPURL is missing";
        return CCDT_E_PARAM;
    }
    if (std::strncmp(r->connectionName, "http://", 7) != 0 &&
        std::strncmp(r->connectionName, "https://", 8) != 0) {
        *message += "AMQ8454: Syntax error found in parameter OCSPURL";
        return CCDT_E_PARAM;
    }
    uint32_t count = 0;
    char url[CCDT_URL_LENGTH];
    int64_t time = 0;
    char description[CCDT_TEXT_LENGTH];
    int rc = ccdtReadOcspData(handle->file, &count, url, &time, description, text, sizeof text);
    if (rc != 0) {
        format(message, "AMQ8147: Error accessing authentication information records RC(%d)", rc);
        return CCDT_E_FILE;
    }
    if (number > static_cast<int64_t>(count)) number = count + 1;
    if (number > 1 || (insert && count > 0)) {
        *message += "AMQ8326: Maximum number (1) of OCSP AUTHINFO definitions reached.";
        return CCDT_E_PARAM;
    }
    char entry[1][CCDT_URL_LENGTH];
    std::memset(entry[0], ' ', CCDT_URL_LENGTH);
    std::memcpy(entry[0], r->connectionName, CCDT_URL_LENGTH);
    for (char &ch : entry[0])
        if (ch == '\0') ch = ' ';
    rc = ccdtWriteOcspData(handle->file, 1, entry, r->description, text, sizeof text);
    if (rc != 0) {
        format(message, "Error accessing file RC(%d)", rc);
        return CCDT_E_FILE;
    }
    return 0;
}

int defineAuthInfo(Command *c, const char *segment) {
    std::string name;
    if (parseName(c, kDefineAuthHelp, segment, &name)) return 1;
    int32_t type = 0;
    if (next(c) || std::strcmp(c->token, "AUTHTYPE") != 0 || next(c) || std::strcmp(c->token, "(") != 0 ||
        next(c) ||
        (type = equalNoCase(c->token, "CRLLDAP") ? 1
                : equalNoCase(c->token, "OCSP")  ? 2
                                                 : 0) == 0 ||
        next(c) || std::strcmp(c->token, ")") != 0) {
        syntaxError(c, kDefineAuthHelp, segment);
        return 1;
    }
    if (name.size() > 48) {
        c->message += "AMQ8150: An authentication information name is limited to 48 characters.";
        return 1;
    }
    if (!validName(name.c_str())) {
        c->message += "AMQ8150: The authentication information name is not valid.";
        return 1;
    }
    int64_t number = 0;
    int32_t named = nameType(name, &number);
    std::string slotName = named != 0 && name.find_first_of("0123456789") != std::string::npos
                               ? name
                               : (type == 1 ? "CRLLDAP9999" : "OCSP999");
    Table t;
    if (int rc = openTable(c, &t, 2); rc != 0) return rc;
    AuthInfoRecord old;
    int rc = readAuthInfo(t.handle, slotName, type, &old, &c->message);
    if (rc != 0 && rc != CCDT_E_NO_MORE && rc != CCDT_E_NO_CHANNEL) return rc;
    const bool exists = rc == 0;
    c->message.clear();
    AuthInfoRecord r;
    blankRecord(&r, type, slotName);
    ParseState state;
    const char *const *help = type == 1 ? kDefineCrlHelp : kDefineOcspHelp;
    if (parseAttrs(c, kAuthDescriptor, &r, segment, help, true, true, false, &state)) return 1;
    if (r.type != type) r.type = type;
    if (exists && !state.replace && !state.insert) {
        format(&c->message, "AMQ8150: WebSphere MQ authentication information '%s' already exists",
               name.c_str());
        return 1;
    }
    if ((rc = writeAuthInfo(t.handle, state.insert, &r, &c->message)) != 0) return rc;
    // No object-name cache to mark stale in file mode (see DEFINE CHANNEL).
    format(&c->message, "AMQ8016: WebSphere MQ authentication information '%s' defined", name.c_str());
    return 0;
}

// DISPLAY and ALTER AUTHINFO: every object matching the name, OCSP first.
int walkAuthInfo(Command *c, const char *segment, bool alter) {
    const char *const *help = alter ? kAlterAuthHelp : kDisplayAuthHelp;
    std::string name;
    if (parseName(c, help, segment, &name)) return 1;
    if (name.size() > 48) {
        c->message += "AMQ8427: An authentication information name is limited to 48 characters.";
        return 1;
    }
    int32_t filter = 0;
    Selection selection;
    selection.shown[0] = true;
    bool some = false;
    const char *attrs = c->cursor;
    if (alter) {
        AuthInfoRecord scratch;
        blankRecord(&scratch, 1, "");
        ParseState state;
        if (parseAttrs(c, kAuthDescriptor, &scratch, segment, help, false, false, true, &state)) return 1;
    } else {
        while (!next(c)) {
            const char *before = c->cursor;
            if (std::strcmp(c->token, "AUTHTYPE") == 0) {
                if (!next(c) && std::strcmp(c->token, "(") == 0) {
                    if (next(c) ||
                        (filter = std::strcmp(c->token, "CRLLDAP") == 0 ? 1
                                  : std::strcmp(c->token, "OCSP") == 0  ? 2
                                                                        : 0) == 0 ||
                        next(c) || std::strcmp(c->token, ")") != 0) {
                        syntaxError(c, help, segment);
                        return 1;
                    }
                    continue;
                }
                c->cursor = before;
                std::strcpy(c->token, "AUTHTYPE");
            }
            if (std::strcmp(c->token, "ALL") == 0) {
                selection.all(kAuthDescriptor);
                continue;
            }
            const ScanKeywordRow *row = nullptr;
            if (scanFindKeyword(nullptr, kAuthRows, c->token, &row, nullptr) != 0) {
                format(&c->message, "AMQ8427: Unrecognised attribute name '%s'\n", c->token);
                syntaxError(c, help, segment);
                return 1;
            }
            size_t i = static_cast<size_t>(row - kAuthRows);
            if (selection.given[i] && i > 0) {
                format(&c->message, "Duplicate keyword error '%s'", c->token);
                return 1;
            }
            selection.shown[i] = selection.given[i] = true;
            some = true;
        }
        if (!some) selection.all(kAuthDescriptor);
    }
    Table t;
    if (int rc = openTable(c, &t, alter ? 2 : 1); rc != 0) return rc;
    int matched = 0, changed = 0;
    for (int32_t type : {2, 1}) {
        if (filter != 0 && filter != type) continue;
        for (int n = 1;; n++) {
            AuthInfoRecord r;
            std::string objectName = (type == 1 ? "CRLLDAP" : "OCSP") + std::to_string(n);
            int rc = readAuthInfo(t.handle, objectName, type, &r, &c->message);
            if (rc == CCDT_E_NO_MORE) break;
            if (rc != 0) return rc;
            if (!evWildMatch(objectName.data(), objectName.size(), name.data(), name.size())) continue;
            ++matched;
            if (!alter) {
                std::string text = displayObject(kAuthDescriptor, &r, selection);
                c->io->response(c->io->context, text.data(), text.size());
                continue;
            }
            if (c->io->match) {
                Selection all;
                all.all(kAuthDescriptor);
                std::string text = displayObject(kAuthDescriptor, &r, all);
                if (!c->io->match(c->io->context, text.data(), text.size())) continue;
            }
            c->cursor = attrs;
            ParseState state;
            if (parseAttrs(c, kAuthDescriptor, &r, segment, help, false, false, false, &state)) return 1;
            r.type = type;
            if ((rc = writeAuthInfo(t.handle, false, &r, &c->message)) != 0) return rc;
            ++changed;
            std::string done =
                "AMQ8016: WebSphere MQ authentication information '" + objectName + "' changed";
            c->io->response(c->io->context, done.data(), done.size());
        }
    }
    if (matched == 0) {
        if (generic(name))
            c->message += "AMQ8147: No authentication information definitions found which match criteria";
        else
            format(&c->message, "AMQ8147: Authentication Information '%s' not found.", name.c_str());
        return 0;
    }
    if (alter && changed == 0) c->message += "AMQ8427: None of the authinfo objects were changed.";
    return 0;
}

int displayAuthInfo(Command *c, const char *segment) {
    return walkAuthInfo(c, segment, false);
}
int alterAuthInfo(Command *c, const char *segment) {
    return walkAuthInfo(c, segment, true);
}

int deleteAuthInfo(Command *c, const char *segment) {
    std::string name;
    if (parseName(c, kDeleteAuthHelp, segment, &name)) return 1;
    if (name.size() > 48) {
        c->message += "AMQ8427: An authentication information name is limited to 48 characters.";
        return 1;
    }
    int64_t number = 0;
    int32_t type = nameType(name, &number);
    if (name.find_first_of("0123456789") == std::string::npos) {
        format(&c->message, "AMQ8147: authentication information '%s' is not a valid name.", name.c_str());
        return CCDT_E_NO_MORE;
    }
    if (type == 0 || number == 0) {
        format(&c->message, "AMQ8147: authentication information '%s' not found.", name.c_str());
        return CCDT_E_NO_MORE;
    }
    Table t;
    if (int rc = openTable(c, &t, 2); rc != 0) return rc;
    int rc = 0;
    if (type == 1) {
        rc = ccdtDeleteCrlAuthInfo(t.handle, static_cast<int>(number), t.text, sizeof t.text);
        if (rc != 0 && rc != CCDT_E_NO_MORE) {
            c->message += t.text;
            return rc;
        }
    } else {
        uint32_t count = 0;
        char url[CCDT_URL_LENGTH];
        int64_t time = 0;
        char description[CCDT_TEXT_LENGTH];
        rc = ccdtReadOcspData(t.handle->file, &count, url, &time, description, t.text, sizeof t.text);
        if (rc == 0 && number > static_cast<int64_t>(count)) rc = CCDT_E_NO_MORE;
        if (rc == 0)
            rc = ccdtWriteOcspData(t.handle->file, count - 1, nullptr, description, t.text, sizeof t.text);
        if (rc != 0 && rc != CCDT_E_NO_MORE) {
            format(&c->message, "AMQ8147: Error accessing authentication information records RC(%d)", rc);
            return CCDT_E_FILE;
        }
    }
    if (rc == CCDT_E_NO_MORE) {
        format(&c->message, "AMQ8147: authentication information '%s' not found.", name.c_str());
        return rc;
    }
    // No object-name cache to mark stale in file mode (see DEFINE CHANNEL).
    format(&c->message, "AMQ8015: WebSphere MQ authentication information '%s' deleted", name.c_str());
    return 0;
}

struct CommandRow {
    const char *verb;
    const char *verbShort;
    const char *object;
    const char *objectShort;
    int (*handler)(Command *c, const char *segment);
};

const CommandRow kCommands[] = {
    {"DISPLAY", "DIS", "CHANNEL", "CHL", displayChannel},
    {"ALTER", "ALT", "CHANNEL", "CHL", alterChannel},
    {"DEFINE", "DEF", "CHANNEL", "CHL", defineChannel},
    {"DELETE", nullptr, "CHANNEL", "CHL", deleteChannel},
    {"DISPLAY", "DIS", "AUTHINFO", "AI", displayAuthInfo},
    {"ALTER", "ALT", "AUTHINFO", "AI", alterAuthInfo},
    {"DEFINE", "DEF", "AUTHINFO", "AI", defineAuthInfo},
    {"DELETE", nullptr, "AUTHINFO", "AI", deleteAuthInfo},
};

bool wordIs(const char *token, const char *full, const char *abbreviation) {
    return std::strcmp(token, full) == 0 || (abbreviation && std::strcmp(token, abbreviation) == 0);
}

}  // namespace

int ccdtMqscRun(const char *file, const char *text, const ccdtMqscIo &io) {
    const char *start = text;
    while (*start == ' ' || *start == '\t') ++start;
    size_t length = trimmed(start, std::strlen(start));
    if (length == 0) return 0;
    const std::string whole(start, length);
    if (equalNoCase(whole.c_str(), "end") || equalNoCase(whole.c_str(), "quit")) return CCDT_MQSC_LEAVE;
    Command c{};
    c.text = text;
    c.cursor = text;
    c.io = &io;
    c.file = file;
    int rc = 1;
    if (next(&c)) return 0;
    const CommandRow *verb = nullptr;
    for (const CommandRow &row : kCommands)
        if (wordIs(c.token, row.verb, row.verbShort)) verb = &row;
    if (verb == nullptr) {
        syntaxError(&c, kCommandsHelp, text);
    } else {
        const CommandRow *found = nullptr;
        const bool end = next(&c) != 0;
        for (const CommandRow &row : kCommands)
            if (!end && std::strcmp(row.verb, verb->verb) == 0 &&
                wordIs(c.token, row.object, row.objectShort))
                found = &row;
        const char *const *help = std::strcmp(verb->verb, "DISPLAY") == 0  ? kDisplayHelp
                                  : std::strcmp(verb->verb, "ALTER") == 0  ? kAlterHelp
                                  : std::strcmp(verb->verb, "DEFINE") == 0 ? kDefineHelp
                                                                           : kDeleteHelp;
        if (found == nullptr || found->handler == nullptr)
            syntaxError(&c, help, text);
        else
            rc = found->handler(&c, text);
    }
    if (rc != 0 && c.message.empty()) format(&c.message, "Internal error RC(%d)", rc);
    while (!c.message.empty() && c.message.back() == '\n') c.message.pop_back();
    if (!c.message.empty()) io.response(io.context, c.message.data(), c.message.size());
    return rc == 0 ? 0 : 1;
}
