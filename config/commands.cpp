// The command table of the command set and the parameter tables of the system's own objects. Each
// parameter row names a keyword with its PCF identifier, value type and value names, which
// commands take it (command letter and mode pairs), and where a displayed value lives in the
// object's record. The MQSC translation, the replies, the WHERE filters and the field tables of
// expressions all read these rows.
#include <array>
#include <cstddef>

#include "config/internal.h"

namespace {

// Data types of a row's value in its record.
constexpr uint32_t kInt32 = EV_DATATYPE_INT32;
constexpr uint32_t kChars = EV_DATATYPE_CHARS;  // a NUL-terminated text field
constexpr uint32_t kInt64 = EV_DATATYPE_INT64;  // also times

constexpr int32_t kOption = -1;    // a command option, held in no record
constexpr int32_t kComputed = -2;  // a value the reader computes

constexpr uint32_t kAll = 1009;      // MQIACF_ALL
constexpr uint32_t kReplace = 1006;  // MQIACF_REPLACE
constexpr uint32_t kWhere = 39300;
constexpr uint32_t kDays = 86400;

// One row. Applicability: column 0 'W' on selection names, then letter and mode pairs.
constexpr evParmDef row(const char *applicability, const char *type, const char *keyword, uint32_t id,
                        int32_t offset = kComputed, uint32_t dataType = 0, const evValueName *names = nullptr,
                        uint32_t divisor = 0, const void *object = nullptr) {
    evParmDef r{};
    r.applicability = applicability;
    r.flags = "a   ";
    r.type = type;
    r.keyword = keyword;
    r.valueNames = names;
    r.objectDescriptor = object;
    r.parmId = id;
    r.recordOffset = offset;
    r.dataType = dataType;
    r.divisor = divisor;
    return r;
}
constexpr evParmDef option(const char *applicability, const char *type, const char *keyword, uint32_t id,
                           const evValueName *names = nullptr) {
    return row(applicability, type, keyword, id, kOption, 0, names);
}
constexpr evParmDef endRow() {
    return evParmDef{};
}

// Offsets of the current values of counters.
constexpr int32_t queueCounter(int index) {
    return static_cast<int32_t>(offsetof(EventQueueDef, counters) + index * sizeof(EvCounter));
}
constexpr int32_t qmgrCounter(int index) {
    return static_cast<int32_t>(offsetof(QmgrEntry, counters) + index * sizeof(EvCounter));
}
template <typename T>
constexpr int32_t at(size_t offset) {
    static_assert(std::is_standard_layout_v<T>);
    return static_cast<int32_t>(offset);
}

constexpr evObjectDescriptor kQmgrObject{"evqmgr", 9002};
constexpr evObjectDescriptor kQueueObject{"evq", 9003};
constexpr evObjectDescriptor kStreamObject{"evstream", 9001};
constexpr evObjectDescriptor kEmitObject{"evemit", 9030};

// The statistics displays' selection rows: the object keyword, the selection keywords, ALL, WHERE
// and PREWHERE. The statistics register each whole table, the record's attributes included.
constexpr CfgSelectionTable selection(const char *object, uint32_t objectId) {
    return CfgSelectionTable{
        option("Wd+", "R", object, objectId),
        option(" d*", "R", "EVSTREAM", 39301),
        option(" d*", "R", "EVQMGR", 39340),
        option(" d*", "K", "SUM", 39395, evSumNames),
        option(" d*", "i", "ZEROVALS", 39396, evZeroValsNames),
        option(" d*", "i", "COLLATE", 39430, evCollateNames),
        option(" d*", "s", "TITLE", 39431),
        option(" d*", "i", "TITLEIDX", 39432),
        option(" d*", "i", "GAPFILL", 39400, evGapFillNames),
        option("Wd*", "i", "MAXRESP", 39302),
        option("Wd*", "i", "MAXRECS", 39414),
        option(" d*", "s", "FROM", 39318),
        option(" d*", "s", "TO", 39319),
        option(" d*", "i", "TZ", 39313),
        option(" d*", "s", "INTVL", 39411),
        option(" d*", "i", "INTVLALGN", 39412, evIntervalAlignNames),
        option(" d*", "s", "INTVLSTA", 39398),
        option(" d*", "s", "INTVLEND", 39399),
        option(" d ", "a", "ALL", kAll),
        option(" d*", "w", "WHERE", kWhere),
        option(" d*", "w", "PREWHERE", 39410),
        endRow(),
    };
}

}  // namespace

// EV: DISPLAY (d), ALTER (A), RESET (r), STOP (s). The settings handlers read and write the
// settings by identifier, so no row has an offset.
evParmDef cfgEvParms[] = {
    option(" d A r s ", "R", "EV", 39303),
    option(" d ", "a", "ALL", kAll),
    row(" d ", "i", "CMDLEVEL", 39304),
    row(" d ", "s", "BUILD", 39415),
    row(" d A*", "s", "DESCR", 39306),
    row(" d A*", "i", "ALERTRET", 39356),
    row(" d A*", "s", "NAME", 39305),
    row(" d ", "i", "MSGS", 39341),
    row(" d ", "i", "CMDS", 39343),
    row(" d A*", "i", "DEFMAXRECS", 39413),
    row(" d ", "i", "EVENTS", 39342),
    row(" d ", "i", "ALERTCT", 39309),
    row(" d ", "t", "STARTTI", 39334),
    row(" d ", "t", "CONNTI", 39335),
    row(" d ", "i", "EVENTCT", 39308),
    row(" d ", "i", "STATQCT", 39403),
    row(" d ", "i", "STATCHLCT", 39404),
    row(" d ", "i", "STATMQICT", 39405),
    row(" d ", "i", "ACCTQCT", 39406),
    row(" d ", "i", "ACCTMQICT", 39407),
    row(" d ", "t", "RESETTI", 39365),
    row(" d A*", "i", "ACCTSELF", 39443, kComputed, 0, evAcctSelfNames),
    row(" d A*", "i", "DISPCMDS", 39358, kComputed, 0, evDispCmdsNames),
    row(" d A*", "s", "DEADQ", 39359),
    row(" d A*", "i", "USEDLQ", 39360, kComputed, 0, evUseDlqNames),
    row(" d ", "s", "LOGPATH", 39310),
    row(" d A*", "i", "MAXLOGAGE", 39362),
    row(" d A*", "i", "MAXLOGSZ", 39363),
    row(" d A*", "i", "LOGRET", 39364),
    row(" d A*", "i", "STORMTHR", 39389),
    row(" d A*", "i", "STORMINT", 39390),
    row(" d A*", "s", "STORMEXC", 39391),
    row(" d A*", "i", "AUTHDURN", 39433),
    row(" d A*", "i", "DEFBOTHR", 39437),
    row(" d A*", "i", "VERCHECK", 39388, kComputed, 0, evVerCheckNames),
    option(" r*", "i", "TYPE", 39366, evResetTypeNames),
    endRow(),
};

// EVQ: DISPLAY (d), ADD (a), ALTER (A), SUSPEND (S), RESUME (R), REMOVE (r); rows of EventQueueDef.
evParmDef cfgEvqParms[] = {
    row("Wd+a+A+S+R+r+", "R", "EVQ", 39333, at<EventQueueDef>(offsetof(EventQueueDef, name)), kChars, nullptr,
        0, &kQueueObject),
    row(" d a*A*", "s", "DESCR", 39368, at<EventQueueDef>(offsetof(EventQueueDef, descr)), kChars),
    row(" d a*A*", "s", "FWDQ", 39369, at<EventQueueDef>(offsetof(EventQueueDef, forwardQueue)), kChars),
    row(" d a*A*", "i", "FWDPSIST", 39393, at<EventQueueDef>(offsetof(EventQueueDef, forwardPersistence)),
        kInt32, evPersistenceNames),
    row(" d a*A*", "i", "TEMPQ", 39408, at<EventQueueDef>(offsetof(EventQueueDef, tempQ)), kInt32,
        evTempQNames),
    row(" d ", "i", "MSGS", 39341, queueCounter(EV_EQC_MSGS), kInt32),
    row(" d ", "i", "EVENTCT", 39308, queueCounter(EV_EQC_EVENTS), kInt32),
    row(" d ", "i", "STATQCT", 39403, queueCounter(EV_EQC_STATQ), kInt32),
    row(" d ", "i", "STATCHLCT", 39404, queueCounter(EV_EQC_STATCHL), kInt32),
    row(" d ", "i", "STATMQICT", 39405, queueCounter(EV_EQC_STATMQI), kInt32),
    row(" d ", "i", "ACCTQCT", 39406, queueCounter(EV_EQC_ACCTQ), kInt32),
    row(" d ", "i", "ACCTMQICT", 39407, queueCounter(EV_EQC_ACCTMQI), kInt32),
    row(" d ", "i", "DLQCT", 39370, queueCounter(EV_EQC_DLQ), kInt32),
    row(" d ", "i", "ERRORCT", 39371, queueCounter(EV_EQC_ERRORS), kInt32),
    row(" d ", "i", "BORQCT", 39384, queueCounter(EV_EQC_BORQ), kInt32),
    row(" d ", "i", "STATUS", 39311, at<EventQueueDef>(offsetof(EventQueueDef, status)), kInt32,
        evQueueStatusNames),
    row(" d ", "t", "LSTMSGTI", 39331, at<EventQueueDef>(offsetof(EventQueueDef, lastMessageTime)), kInt64),
    row(" d ", "i", "SUSPENDED", 39372, at<EventQueueDef>(offsetof(EventQueueDef, suspended)), kInt32,
        evYesNoNames),
    option(" a ", "p", "REPLACE", kReplace),
    option(" d ", "a", "ALL", kAll),
    option(" d*", "w", "WHERE", kWhere),
    endRow(),
};

// EVQMGR: DISPLAY (d), REMOVE (r); rows of QmgrEntry.
evParmDef cfgEvqmgrParms[] = {
    row("Wd+r+", "R", "EVQMGR", 39340, at<QmgrEntry>(offsetof(QmgrEntry, name)), kChars, nullptr, 0,
        &kQmgrObject),
    row(" d ", "i", "EVENTCT", 39308, qmgrCounter(EV_QMC_EVENTS), kInt32),
    row(" d ", "i", "AUTHORCT", 39344, qmgrCounter(EV_QMC_AUTHOR), kInt32),
    row(" d ", "i", "CHLCT", 39345, qmgrCounter(EV_QMC_CHL), kInt32),
    row(" d ", "i", "CMDCT", 39346, qmgrCounter(EV_QMC_CMD), kInt32),
    row(" d ", "i", "CONFIGCT", 39347, qmgrCounter(EV_QMC_CONFIG), kInt32),
    row(" d ", "i", "IMSBRCT", 39357, qmgrCounter(EV_QMC_IMSBR), kInt32),
    row(" d ", "i", "INHIBITCT", 39348, qmgrCounter(EV_QMC_INHIBIT), kInt32),
    row(" d ", "i", "LOCALCT", 39349, qmgrCounter(EV_QMC_LOCAL), kInt32),
    row(" d ", "i", "LOGGERCT", 39350, qmgrCounter(EV_QMC_LOGGER), kInt32),
    row(" d ", "i", "PERFMCT", 39351, qmgrCounter(EV_QMC_PERFM), kInt32),
    row(" d ", "i", "REMOTECT", 39352, qmgrCounter(EV_QMC_REMOTE), kInt32),
    row(" d ", "i", "SSLCT", 39353, qmgrCounter(EV_QMC_SSL), kInt32),
    row(" d ", "i", "STRSTPCT", 39354, qmgrCounter(EV_QMC_STRSTP), kInt32),
    row(" d ", "i", "STATQCT", 39403, qmgrCounter(EV_QMC_STATQ), kInt32),
    row(" d ", "i", "STATCHLCT", 39404, qmgrCounter(EV_QMC_STATCHL), kInt32),
    row(" d ", "i", "STATMQICT", 39405, qmgrCounter(EV_QMC_STATMQI), kInt32),
    row(" d ", "i", "ACCTQCT", 39406, qmgrCounter(EV_QMC_ACCTQ), kInt32),
    row(" d ", "i", "ACCTMQICT", 39407, qmgrCounter(EV_QMC_ACCTMQI), kInt32),
    row(" d ", "i", "ALERTCT", 39309, at<QmgrEntry>(offsetof(QmgrEntry, alertCount)), kInt32),
    option(" r*", "i", "PURGE", 39367, evYesNoNames),
    option(" d ", "a", "ALL", kAll),
    option(" d*", "w", "WHERE", kWhere),
    endRow(),
};

// EVSTREAM: DEFINE (C), ALTER (A), DELETE (D), DISPLAY (d), RENAME (r); rows of StreamDef.
evParmDef cfgEvstreamParms[] = {
    row("Wd+C+A+D+r+", "R", "EVSTREAM", 39301, at<StreamDef>(offsetof(StreamDef, name)), kChars, nullptr, 0,
        &kStreamObject),
    row("Wd A*C*", "s", "DESCR", 39378, at<StreamDef>(offsetof(StreamDef, descr)), kChars),
    row(" d A*C*", "i", "AGGRINT", 39434, at<StreamDef>(offsetof(StreamDef, aggrInt)), kInt32),
    row(" d A*C*", "i", "RETINTVL", 39379, at<StreamDef>(offsetof(StreamDef, retIntvl)), kInt32, nullptr,
        kDays),
    row(" d A*C*", "i", "DEFAULT", 39380, at<StreamDef>(offsetof(StreamDef, isDefault)), kInt32,
        evYesNoNames),
    row(" d A*C*", "i", "DISIMPLCT", 39436, at<StreamDef>(offsetof(StreamDef, disImplct)), kInt32,
        evYesNoNames),
    row(" d*A*C*D*r*", "i", "TYPE", 39355, at<StreamDef>(offsetof(StreamDef, type)), kInt32,
        evStreamTypeNames),
    row(" d A*C*", "s", "EVEMIT", 39416, at<StreamDef>(offsetof(StreamDef, evEmit)), kChars),
    option(" r*", "R", "NEWNAME", 39381),
    option(" C ", "p", "REPLACE", kReplace),
    option(" d ", "a", "ALL", kAll),
    option(" d*", "w", "WHERE", kWhere),
    endRow(),
};

// EVSTRMST: DISPLAY (d), PURGE (p), COPY (k). A stream's status is summed over its blobs by the
// reader, so its rows have no offsets.
evParmDef cfgEvstrmstParms[] = {
    row("Wd+p+k+", "R", "EVSTRMST", 39301),
    row("Wd*p*k*", "R", "EVQMGR", 39340),
    row(" d*p*k*", "i", "TYPE", 39355, kComputed, 0, evStreamStatusTypeNames),
    row(" d ", "i", "ITEMS", 39402),
    row(" d ", "i", "DATAMSGS", 39382),
    row(" d ", "i", "AGGRMSGS", 39435),
    row(" d ", "i", "MEMORY", 39329, kComputed, 0, nullptr, 1024),
    row(" d ", "t", "LSTMSGTI", 39331),
    row(" d ", "i", "OLDEST", 39383, kComputed, 0, nullptr, kDays),
    option(" k*", "R", "TARGET", 39440),
    option(" k*", "i", "PROGRESS", 39441),
    option(" d ", "a", "ALL", kAll),
    option(" d*", "w", "WHERE", kWhere),
    endRow(),
};

// EVALERT: DISPLAY (d), ADD (a), REMOVE (R); rows of AlertDef. DISPLAY EVALERT(*) takes the first
// row (type k, '*' for all), REMOVE EVALERT(5) the second.
evParmDef evAlertParmTable[] = {
    row("Wd*a ", "k", "EVALERT", 39373, at<AlertDef>(offsetof(AlertDef, id)), kInt32),
    row("WR*", "i", "EVALERT", 39373, at<AlertDef>(offsetof(AlertDef, id)), kInt32),
    option(" d*", "i", "MINSEV", 39392, evSeverityNames),
    row(" d*a*R*", "s", "TEXT", 39374, at<AlertDef>(offsetof(AlertDef, text)), kChars),
    row(" d a*", "i", "SEVERITY", 39375, at<AlertDef>(offsetof(AlertDef, severity)), kInt32, evSeverityNames),
    row(" d*a*R*", "s", "CATEGORY", 39320, at<AlertDef>(offsetof(AlertDef, category)), kChars),
    row(" d*a*R*", "R", "EVQMGR", 39376, at<AlertDef>(offsetof(AlertDef, qmgr)), kChars),
    row(" d*a*R*", "R", "EVOBJNAME", 39316, at<AlertDef>(offsetof(AlertDef, objectName)), kChars),
    row(" d*a*R*", "i", "EVOBJTYPE", 39317, at<AlertDef>(offsetof(AlertDef, objectType)), kInt32,
        evObjectTypeNames),
    row(" d a*", "R", "EVSTREAM", 39301),
    row(" d ", "t", "ALERTTI", 39377, at<AlertDef>(offsetof(AlertDef, time)), kInt64),
    row(" d a*", "i", "RETINTVL", 39379, at<AlertDef>(offsetof(AlertDef, retention)), kInt32),
    row(" d a*", "x", "EVENTID", 39330, at<AlertDef>(offsetof(AlertDef, eventId)), kInt32),
    row(" d ", "t", "EXPIRETI", 39324),
    option(" a ", "p", "REPLACE", kReplace),
    option(" d ", "a", "ALL", kAll),
    option(" d*", "w", "WHERE", kWhere),
    endRow(),
};

// EVEMIT: DEFINE (C), ALTER (A), DELETE (D), DISPLAY (d); rows of EmitterDef.
evParmDef cfgEvemitParms[] = {
    row("Wd+C+A+D+", "R", "EVEMIT", 39416, at<EmitterDef>(offsetof(EmitterDef, name)), kChars, nullptr, 0,
        &kEmitObject),
    row("Wd A*C*", "s", "DESCR", 39417, at<EmitterDef>(offsetof(EmitterDef, descr)), kChars),
    row(" d A*C*", "s", "QUEUE", 39418, at<EmitterDef>(offsetof(EmitterDef, queue)), kChars),
    row(" d A*C*", "s", "FILE", 39419, at<EmitterDef>(offsetof(EmitterDef, file)), kChars),
    row(" d A*C*", "i", "FORMAT", 39420, at<EmitterDef>(offsetof(EmitterDef, format)), kInt32,
        evEmitFormatNames),
    row(" d A*C*", "i", "READER", 39421, at<EmitterDef>(offsetof(EmitterDef, reader)), kInt32, evReaderNames),
    row(" d A*C*", "i", "MSGPERS", 39422, at<EmitterDef>(offsetof(EmitterDef, msgPersistence)), kInt32,
        evPersistenceNames),
    row(" d A*C*", "i", "GROUPING", 39429, at<EmitterDef>(offsetof(EmitterDef, grouping)), kInt32,
        evGroupingNames),
    row(" d A*C*", "i", "MAXSIZE", 39423, at<EmitterDef>(offsetof(EmitterDef, maxSize)), kInt32, nullptr,
        1024),
    row(" d A*C*", "i", "ZEROVALS", 39396, at<EmitterDef>(offsetof(EmitterDef, zeroValues)), kInt32,
        evZeroValsNames),
    row(" d A*C*", "i", "PUT", 39428, at<EmitterDef>(offsetof(EmitterDef, put)), kInt32, evPutNames),
    row(" d A*C*", "i", "ONERROR", 39425, at<EmitterDef>(offsetof(EmitterDef, onError)), kInt32,
        evOnErrorNames),
    row(" d ", "i", "MSGCT", 39426, at<EmitterDef>(offsetof(EmitterDef, msgCount)), kInt32),
    row(" d ", "i", "ERRORCT", 39371, at<EmitterDef>(offsetof(EmitterDef, errorCount)), kInt32),
    row(" d ", "t", "FAILTIME", 39438, at<EmitterDef>(offsetof(EmitterDef, failTime)), kInt64),
    option(" C ", "p", "REPLACE", kReplace),
    option(" d ", "a", "ALL", kAll),
    option(" d*", "w", "WHERE", kWhere),
    endRow(),
};

CfgSelectionTable cfgStatqSelection = selection("STATQ", 2016);      // MQCA_Q_NAME
CfgSelectionTable cfgStatchlSelection = selection("STATCHL", 3501);  // MQCACH_CHANNEL_NAME
CfgSelectionTable cfgStatmqiSelection = selection("STATMQI", 2015);  // MQCA_Q_MGR_NAME
CfgSelectionTable cfgAcctqSelection = selection("ACCTQ", 2016);      // MQCA_Q_NAME
CfgSelectionTable cfgAcctmqiSelection = selection("ACCTMQI", 3024);  // MQCACF_APPL_NAME

namespace {

// The syntax texts sent with a syntax error.
#define SYNTAX "AMQ8427: Valid syntax for the ZUNT command:\n\n"
#define DISPLAY_STATS(object, name)                                                                \
    SYNTAX "   DISPLAY " object "( " name                                                          \
           " ) [ EVSTREAM( name ) ] [ EVQMGR( name ) ] [ SUM( keys ) ]\n"                          \
           "           [ COLLATE( pattern ) ] [ INTVL( interval ) ] [ INTVLALGN( CLOCK | MQ ) ]\n" \
           "           [ GAPFILL( NO | INNER | ACTIVITY | FULL ) ] [ ZEROVALS( HIDE | SHOW ) ]\n"  \
           "           [ FROM( time ) ] [ TO( time ) ] [ TZ( minutes ) ] [ TITLE( text ) ]\n"      \
           "           [ MAXRESP( n ) ] [ MAXRECS( n ) ] [ PREWHERE( expr ) ] [ WHERE( expr ) ] [ ALL ]\n"

constexpr const char *kHelpDisplayEvents = SYNTAX
    "   DISPLAY EVENTS( stream ) [ EVQMGR( name ) ] [ FROM( time ) ] [ TO( time ) ] [ TZ( minutes ) ]\n"
    "           [ EVREASON( reason ) ] [ EVTYPE( type ) ] [ EVOBJNAME( name ) ] [ EVOBJTYPE( type ) ]\n"
    "           [ EVENTID( hex ) ] [ EVUSERID( user ) ] [ DISPCMDS( DISCARD | HIDE | SHOW ) ]\n"
    "           [ DISTYPE( DETAIL | SUMMARY | CONDENSE | MINIMUM ) ] [ MAXRESP( n ) ]\n"
    "           [ MAXRECS( n ) ] [ WHERE( expr ) ] [ ALL ]\n";

}  // namespace

// clang-format off
evCommandDef evCommandTable[] = {
    {{}, 1, 'd', "DISPLAY", "DIS", 0, 'd', "EVENTS", "", "", evEventsParmTable, nullptr, 9004, 0,
     kHelpDisplayEvents, 39104, 0, nullptr},
    {{}, 1, 'k', "COPY", "", 0, 'd', "EVSTRMST", "", "", cfgEvstrmstParms, nullptr, 9033, 0,
     SYNTAX "   COPY EVSTRMST( stream ) TARGET( stream ) [ EVQMGR( name ) ] [ TYPE( type ) ]\n"
            "           [ PROGRESS( n ) ]\n", 0, 0, nullptr},
    {{}, 1, 'd', "DISPLAY", "DIS", 0, 'd', "EVSTRMST", "", "", cfgEvstrmstParms, nullptr, 9019, 0,
     SYNTAX "   DISPLAY EVSTRMST( stream ) [ EVQMGR( name ) ] [ TYPE( type ) ] [ WHERE( expr ) ] [ ALL ]\n",
     39106, 0, nullptr},
    {{}, 1, 'p', "PURGE", "", 0, 'd', "EVSTRMST", "", "", cfgEvstrmstParms, nullptr, 9020, 0,
     SYNTAX "   PURGE EVSTRMST( stream ) [ EVQMGR( name ) ] [ TYPE( type ) ]\n", 0, 0, nullptr},
    {{}, 1, 'd', "DISPLAY", "DIS", 0, 'd', "EVQMGR", "", "", cfgEvqmgrParms, nullptr, 9002, 0,
     SYNTAX "   DISPLAY EVQMGR( name ) [ WHERE( expr ) ] [ ALL ]\n", 39102, 0, nullptr},
    {{}, 1, 'r', "REMOVE", "", 0, 'd', "EVQMGR", "", "", cfgEvqmgrParms, nullptr, 9007, 0,
     SYNTAX "   REMOVE EVQMGR( name ) [ PURGE( YES | NO ) ]\n", 0, 0, nullptr},
    {{}, 1, 'd', "DISPLAY", "DIS", 0, 'd', "EV", "", "", cfgEvParms, nullptr, 9000, 0,
     SYNTAX "   DISPLAY EV [ ALL ]\n", 39100, 0, nullptr},
    {{}, 1, 'A', "ALTER", "ALT", 0, 'd', "EV", "", "", cfgEvParms, nullptr, 9005, 0,
     SYNTAX "   ALTER EV [ NAME( name ) ] [ DESCR( text ) ] [ ALERTRET( days ) ] [ DEADQ( queue ) ]\n"
            "            [ USEDLQ( NO | YES | IFAVAIL ) ] [ DISPCMDS( DISCARD | HIDE | SHOW ) ]\n"
            "            [ ACCTSELF( DISCARD | KEEP ) ] [ MAXLOGAGE( minutes ) ] [ MAXLOGSZ( KB ) ]\n"
            "            [ LOGRET( days ) ] [ DEFMAXRECS( n ) ] [ STORMTHR( n ) ] [ STORMINT( seconds ) ]\n"
            "            [ AUTHDURN( seconds ) ] [ DEFBOTHR( n ) ] [ VERCHECK( NO | VERSION | BUILD ) ]\n",
     0, 0, nullptr},
    {{}, 1, 'r', "RESET", "", 0, 'd', "EV", "", "", cfgEvParms, nullptr, 9006, 0,
     SYNTAX "   RESET EV TYPE( COUNTS )\n", 0, 0, nullptr},
    {{}, 1, 's', "STOP", "", 0, 'd', "EV", "", "", cfgEvParms, nullptr, 9028, 0,
     SYNTAX "   STOP EV\n", 0, EV_CMD_STOP, nullptr},
    {{}, 1, 'd', "DISPLAY", "DIS", 0, 'd', "EVQ", "", "", cfgEvqParms, nullptr, 9003, 0,
     SYNTAX "   DISPLAY EVQ( queue ) [ WHERE( expr ) ] [ ALL ]\n", 39103, 0, nullptr},
    {{}, 1, 'a', "ADD", "", 0, 'd', "EVQ", "", "", cfgEvqParms, nullptr, 9008, 0,
     SYNTAX "   ADD EVQ( queue ) [ DESCR( text ) ] [ FWDQ( queue ) ] [ FWDPSIST( NO | YES | ASMSG ) ]\n"
            "           [ TEMPQ( DISCARD | STORE ) ] [ REPLACE ]\n", 0, 0, nullptr},
    {{}, 1, 'A', "ALTER", "ALT", 0, 'd', "EVQ", "", "", cfgEvqParms, nullptr, 9010, 0,
     SYNTAX "   ALTER EVQ( queue ) [ DESCR( text ) ] [ FWDQ( queue ) ] [ FWDPSIST( NO | YES | ASMSG ) ]\n"
            "             [ TEMPQ( DISCARD | STORE ) ]\n", 0, 0, nullptr},
    {{}, 1, 'S', "SUSPEND", "", 0, 'd', "EVQ", "", "", cfgEvqParms, nullptr, 9011, 0,
     SYNTAX "   SUSPEND EVQ( queue )\n", 0, 0, nullptr},
    {{}, 1, 'R', "RESUME", "", 0, 'd', "EVQ", "", "", cfgEvqParms, nullptr, 9012, 0,
     SYNTAX "   RESUME EVQ( queue )\n", 0, 0, nullptr},
    {{}, 1, 'r', "REMOVE", "", 0, 'd', "EVQ", "", "", cfgEvqParms, nullptr, 9009, 0,
     SYNTAX "   REMOVE EVQ( queue )\n", 0, 0, nullptr},
    {{}, 1, 'C', "DEFINE", "", 0, 's', "EVSTREAM", "", "", cfgEvstreamParms, nullptr, 9015, 0,
     SYNTAX "   DEFINE EVSTREAM( stream ) TYPE( type ) [ DESCR( text ) ] [ RETINTVL( days ) ]\n"
            "          [ AGGRINT( seconds ) ] [ DEFAULT( YES | NO ) ] [ DISIMPLCT( YES | NO ) ]\n"
            "          [ EVEMIT( emitter ) ] [ REPLACE ]\n", 0, 0, nullptr},
    {{}, 1, 'A', "ALTER", "ALT", 0, 's', "EVSTREAM", "", "", cfgEvstreamParms, nullptr, 9016, 0,
     SYNTAX "   ALTER EVSTREAM( stream ) [ TYPE( type ) ] [ DESCR( text ) ] [ RETINTVL( days ) ]\n"
            "         [ AGGRINT( seconds ) ] [ DEFAULT( YES | NO ) ] [ DISIMPLCT( YES | NO ) ]\n"
            "         [ EVEMIT( emitter ) ]\n", 0, 0, nullptr},
    {{}, 1, 'D', "DELETE", "", 0, 's', "EVSTREAM", "", "", cfgEvstreamParms, nullptr, 9017, 0,
     SYNTAX "   DELETE EVSTREAM( stream ) [ TYPE( type ) ]\n", 0, 0, nullptr},
    {{}, 1, 'd', "DISPLAY", "", 0, 's', "EVSTREAM", "", "", cfgEvstreamParms, nullptr, 9001, 0,
     SYNTAX "   DISPLAY EVSTREAM( stream ) [ TYPE( type ) ] [ WHERE( expr ) ] [ ALL ]\n", 39101, 0, nullptr},
    {{}, 1, 'r', "RENAME", "", 0, 's', "EVSTREAM", "", "", cfgEvstreamParms, nullptr, 9018, 0,
     SYNTAX "   RENAME EVSTREAM( stream ) NEWNAME( stream ) [ TYPE( type ) ]\n", 0, 0, nullptr},
    {{}, 1, 'd', "DISPLAY", "DIS", 0, 'd', "EVALERT", "", "", evAlertParmTable, nullptr, 9013, 0,
     SYNTAX "   DISPLAY EVALERT( id | * ) [ MINSEV( severity ) ] [ TEXT( text ) ] [ CATEGORY( text ) ]\n"
            "           [ EVQMGR( name ) ] [ EVOBJNAME( name ) ] [ EVOBJTYPE( type ) ] [ WHERE( expr ) ] [ ALL ]\n",
     39105, 0, nullptr},
    {{}, 1, 'a', "ADD", "", 0, 'd', "EVALERT", "", "", evAlertParmTable, nullptr, 9021, 0,
     SYNTAX "   ADD EVALERT TEXT( text ) [ SEVERITY( severity ) ] [ CATEGORY( text ) ] [ EVQMGR( name ) ]\n"
            "       [ EVOBJNAME( name ) ] [ EVOBJTYPE( type ) ] [ EVENTID( hex ) ] [ REPLACE ]\n",
     0, EV_CMD_FROM_EVENT_FUNCTION, nullptr},
    {{}, 1, 'R', "REMOVE", "", 0, 'd', "EVALERT", "", "", evAlertParmTable, nullptr, 9014, 0,
     SYNTAX "   REMOVE EVALERT( id ) | REMOVE EVALERT [ TEXT( text ) ] [ CATEGORY( text ) ]\n"
            "          [ EVQMGR( name ) ] [ EVOBJNAME( name ) ] [ EVOBJTYPE( type ) ]\n",
     0, EV_CMD_FROM_EVENT_FUNCTION, nullptr},
    {{}, 4, 'd', "DISPLAY", "DIS", 0, 'd', "STATQ", "", "", cfgStatqSelection.data(), nullptr, 9023, 0,
     DISPLAY_STATS("STATQ", "queue"), 39107, 0, nullptr},
    {{}, 4, 'd', "DISPLAY", "DIS", 0, 'd', "STATCHL", "", "", cfgStatchlSelection.data(), nullptr, 9024, 0,
     DISPLAY_STATS("STATCHL", "channel"), 39108, 0, nullptr},
    {{}, 4, 'd', "DISPLAY", "DIS", 0, 'd', "STATMQI", "", "", cfgStatmqiSelection.data(), nullptr, 9025, 0,
     DISPLAY_STATS("STATMQI", "stream"), 39109, 0, nullptr},
    {{}, 4, 'd', "DISPLAY", "DIS", 0, 'd', "ACCTQ", "", "", cfgAcctqSelection.data(), nullptr, 9026, 0,
     DISPLAY_STATS("ACCTQ", "queue"), 39110, 0, nullptr},
    {{}, 4, 'd', "DISPLAY", "DIS", 0, 'd', "ACCTMQI", "", "", cfgAcctmqiSelection.data(), nullptr, 9027, 0,
     DISPLAY_STATS("ACCTMQI", "application"), 39111, 0, nullptr},
    {{}, 1, 'C', "DEFINE", "", 0, 's', "EVEMIT", "", "", cfgEvemitParms, nullptr, 9029, 0,
     SYNTAX "   DEFINE EVEMIT( emitter ) [ QUEUE( queue ) | FILE( pattern ) ] [ DESCR( text ) ]\n"
            "          [ FORMAT( JSON | MQSC | CSV | NDJSON ) ] [ READER( PROGRAM | HUMAN ) ]\n"
            "          [ MSGPERS( NO | YES | ASMSG ) ] [ GROUPING( ORIGINAL | SINGLE ) ] [ MAXSIZE( KB ) ]\n"
            "          [ ZEROVALS( HIDE | SHOW ) ] [ PUT( NORMAL | IMMEDIATE ) ]\n"
            "          [ ONERROR( SUSPEND | DISCARD ) ] [ REPLACE ]\n", 0, 0, nullptr},
    {{}, 1, 'A', "ALTER", "ALT", 0, 's', "EVEMIT", "", "", cfgEvemitParms, nullptr, 9031, 0,
     SYNTAX "   ALTER EVEMIT( emitter ) [ QUEUE( queue ) | FILE( pattern ) ] [ DESCR( text ) ]\n"
            "         [ FORMAT( JSON | MQSC | CSV | NDJSON ) ] [ READER( PROGRAM | HUMAN ) ]\n"
            "         [ MSGPERS( NO | YES | ASMSG ) ] [ GROUPING( ORIGINAL | SINGLE ) ] [ MAXSIZE( KB ) ]\n"
            "         [ ZEROVALS( HIDE | SHOW ) ] [ PUT( NORMAL | IMMEDIATE ) ]\n"
            "         [ ONERROR( SUSPEND | DISCARD ) ]\n", 0, 0, nullptr},
    {{}, 1, 'D', "DELETE", "", 0, 's', "EVEMIT", "", "", cfgEvemitParms, nullptr, 9032, 0,
     SYNTAX "   DELETE EVEMIT( emitter )\n", 0, 0, nullptr},
    {{}, 1, 'd', "DISPLAY", "", 0, 's', "EVEMIT", "", "", cfgEvemitParms, nullptr, 9030, 0,
     SYNTAX "   DISPLAY EVEMIT( emitter ) [ WHERE( expr ) ] [ ALL ]\n", 39112, 0, nullptr},
    {{}, 0, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr, 0, 0, nullptr},
};
// clang-format on
static_assert(sizeof evCommandTable / sizeof evCommandTable[0] == EV_COMMAND_COUNT + 1);

#undef DISPLAY_STATS
#undef SYNTAX
