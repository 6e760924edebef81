// Shared inside config/: the hand-over of change lines and small text helpers.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"

// The parameter tables of the system's objects (commands.cpp); the console's table shares them.
extern evParmDef cfgEvParms[];
extern evParmDef cfgEvqParms[];
extern evParmDef cfgEvqmgrParms[];
extern evParmDef cfgEvstreamParms[];
extern evParmDef cfgEvstrmstParms[];
extern evParmDef cfgEvemitParms[];
// The selection rows of the five statistics displays, until the statistics register their tables.
using CfgSelectionTable = std::array<evParmDef, 22>;
extern CfgSelectionTable cfgStatqSelection;
extern CfgSelectionTable cfgStatchlSelection;
extern CfgSelectionTable cfgStatmqiSelection;
extern CfgSelectionTable cfgAcctqSelection;
extern CfgSelectionTable cfgAcctmqiSelection;

// Hands one finished change line to the command set's pending log lines (install.cpp).
void cfgChangeLine(const std::string &line);

// Copies at most max characters of a NUL-terminated text into a buffer of max + 1 bytes, NUL
// after; returns the length copied.
inline size_t cfgCopyName(char *to, const char *from, size_t max) {
    size_t n = from ? strnlen(from, max) : 0;
    if (n) std::memcpy(to, from, n);
    to[n] = '\0';
    return n;
}

// ---- Alerts and the timed work list, between their files ----

// The expiry of an alert (timed.cpp calls alerts.cpp). Begin: the listed alert of the item, marked
// in expiry by the calling thread, or null when it is no longer listed.
AlertDef *cfgAlertBeginExpiry(void *data);
// With the consumers suspended: a listed alert is taken out, logged, published and freed (1); one
// that a memory drop unlinked meanwhile is only freed (0).
int cfgAlertEndExpiry(AlertDef *alert);
// The suspension was refused: a listed alert leaves expiry and its item is scheduled again for
// the next second (1); an unlinked one is freed with its item (0).
int cfgAlertRetryExpiry(AlertDef *alert, evTimedItem *item);
// evAlertAdd with mode 0 and no publication for an alert of the stored message: the alerts stay
// unchanged (evAlertsChanged is left as it is).
[[nodiscard]] int cfgAlertAddLoaded(const AlertDef *alert, AlertDef **hint, char *errorText);
// Under gAlertLock: unlinks and frees the first expiry item of the alert, or every expiry item.
void cfgTimedDropAlert(const AlertDef *alert);
void cfgTimedDropAllAlerts();

// The alert publications that found set C held by a callback of set E waiting for them (publish.cpp):
// put in order once set C is free. PublishWaiting: by the main thread's timed work each second (any
// later publication puts them first). DropWaiting: when memory is dropped before a connect, with the
// connection they were meant for gone.
void cfgAlertPublishWaiting();
// The publications held since the alerts were last committed, put in order now
// that a unit that saved them has committed (cfgstore.cpp, at the commit).
void cfgAlertPublishHeld();
// evAlertPublish without the wait for the commit (EV_ALERT_PUBLISH_NOW). 1 when put now.
int cfgAlertPublishNow(int32_t command, const AlertDef *alert);
// DropHeld: the held ones, at every memory drop (their changes go with it).
void cfgAlertPublishDropHeld();
void cfgAlertPublishDropWaiting();

// Reports a failed MQ call through stream storage's reportMQError (io null: not a data-queue call),
// else as an error line.
void cfgReportMQError(EvStreamIo *io, const char *text, int32_t reason);

// ---- PCF parameters of the stored messages and the publications ----
// The system's own parameter identifiers, as the constant tables name them.

constexpr int32_t HLV_ATTR_STREAM_NAME = 39301;
constexpr int32_t HLV_ATTR_COMMAND_LEVEL = 39304;
constexpr int32_t HLV_ATTR_EV_NAME = 39305;
constexpr int32_t HLV_ATTR_EV_DESC = 39306;
constexpr int32_t HLV_ATTR_EVENT_Q_STATUS = 39311;
constexpr int32_t HLV_ATTR_EVENT_ALERT_GROUP = 39312;
constexpr int32_t HLV_ATTR_ALERT_CATEGORY = 39320;
constexpr int32_t HLV_ATTR_EVENT_ID = 39330;
constexpr int32_t HLV_ATTR_EVENT_Q_GROUP = 39332;
constexpr int32_t HLV_ATTR_EVENT_Q_NAME = 39333;
constexpr int32_t HLV_ATTR_EV_START_TIME = 39334;
constexpr int32_t HLV_ATTR_EV_CONNECT_TIME = 39335;
constexpr int32_t HLV_ATTR_STREAM_DEF_GROUP = 39336;
constexpr int32_t HLV_ATTR_STREAM_ID = 39337;
constexpr int32_t HLV_ATTR_QMS_GROUP = 39338;
constexpr int32_t HLV_ATTR_QMS_ID = 39339;
constexpr int32_t HLV_ATTR_Q_MGR_NAME = 39340;
constexpr int32_t HLV_ATTR_NUM_EVENTS = 39342;
constexpr int32_t HLV_ATTR_EVENT_AUTHOR_COUNT = 39344;
constexpr int32_t HLV_ATTR_EVENT_CHL_COUNT = 39345;
constexpr int32_t HLV_ATTR_EVENT_CMD_COUNT = 39346;
constexpr int32_t HLV_ATTR_EVENT_CONFIG_COUNT = 39347;
constexpr int32_t HLV_ATTR_EVENT_INHIBIT_COUNT = 39348;
constexpr int32_t HLV_ATTR_EVENT_LOCAL_COUNT = 39349;
constexpr int32_t HLV_ATTR_EVENT_LOGGER_COUNT = 39350;
constexpr int32_t HLV_ATTR_EVENT_PERFM_COUNT = 39351;
constexpr int32_t HLV_ATTR_EVENT_REMOTE_COUNT = 39352;
constexpr int32_t HLV_ATTR_EVENT_SSL_COUNT = 39353;
constexpr int32_t HLV_ATTR_EVENT_STRSTP_COUNT = 39354;
constexpr int32_t HLV_ATTR_STREAM_TYPE = 39355;
constexpr int32_t HLV_ATTR_DEF_ALERT_RETENTION_INTERVAL = 39356;
constexpr int32_t HLV_ATTR_EVENT_BRIDGE_COUNT = 39357;
constexpr int32_t HLV_ATTR_DISPLAY_COMMANDS = 39358;
constexpr int32_t HLV_ATTR_DEAD_LETTER_QUEUE = 39359;
constexpr int32_t HLV_ATTR_USE_DEAD_LETTER_Q = 39360;
constexpr int32_t HLV_ATTR_MAX_LOG_AGE = 39362;
constexpr int32_t HLV_ATTR_MAX_LOG_SIZE = 39363;
constexpr int32_t HLV_ATTR_LOG_RETENTION_INTERVAL = 39364;
constexpr int32_t HLV_ATTR_COUNT_RESET_TIME = 39365;
constexpr int32_t HLV_ATTR_EVENT_Q_DESC = 39368;
constexpr int32_t HLV_ATTR_FORWARD_Q_NAME = 39369;
constexpr int32_t HLV_ATTR_SUSPENDED = 39372;
constexpr int32_t HLV_ATTR_ALERT_ID = 39373;
constexpr int32_t HLV_ATTR_ALERT_TEXT = 39374;
constexpr int32_t HLV_ATTR_ALERT_SEVERITY = 39375;
constexpr int32_t HLV_ATTR_ALERT_Q_MGR = 39376;
constexpr int32_t HLV_ATTR_ALERT_TIME = 39377;
constexpr int32_t HLV_ATTR_STREAM_DESC = 39378;
constexpr int32_t HLV_ATTR_RETENTION_INTERVAL = 39379;
constexpr int32_t HLV_ATTR_DEFAULT_STREAM = 39380;
constexpr int32_t HLV_ATTR_VERSION_CHECK = 39388;
constexpr int32_t HLV_ATTR_STORM_THRESHOLD = 39389;
constexpr int32_t HLV_ATTR_STORM_INTERVAL = 39390;
constexpr int32_t HLV_ATTR_FORWARD_PERSISTENCE = 39393;
constexpr int32_t HLV_ATTR_ZERO_VALUES = 39396;
constexpr int32_t HLV_ATTR_STAT_Q_COUNT = 39403;
constexpr int32_t HLV_ATTR_STAT_CHL_COUNT = 39404;
constexpr int32_t HLV_ATTR_STAT_MQI_COUNT = 39405;
constexpr int32_t HLV_ATTR_ACCT_Q_COUNT = 39406;
constexpr int32_t HLV_ATTR_ACCT_MQI_COUNT = 39407;
constexpr int32_t HLV_ATTR_TEMPORARY_QUEUE_DISP = 39408;
constexpr int32_t HLV_ATTR_DEFAULT_MAX_RECORDS = 39413;
constexpr int32_t HLV_ATTR_EMIT_NAME = 39416;
constexpr int32_t HLV_ATTR_EMIT_DESC = 39417;
constexpr int32_t HLV_ATTR_EMIT_Q_NAME = 39418;
constexpr int32_t HLV_ATTR_EMIT_FILE_NAME = 39419;
constexpr int32_t HLV_ATTR_EMIT_FORMAT = 39420;
constexpr int32_t HLV_ATTR_READER = 39421;
constexpr int32_t HLV_ATTR_MSG_PERSISTENCE = 39422;
constexpr int32_t HLV_ATTR_MAX_SIZE = 39423;
constexpr int32_t HLV_ATTR_EMIT_DEF_GROUP = 39424;
constexpr int32_t HLV_ATTR_ON_ERROR = 39425;
constexpr int32_t HLV_ATTR_PUT_TRANSACT = 39428;
constexpr int32_t HLV_ATTR_EMIT_GROUPING = 39429;
constexpr int32_t HLV_ATTR_AUTH_DURATION = 39433;
constexpr int32_t HLV_ATTR_AGGR_INTERVAL = 39434;
constexpr int32_t HLV_ATTR_DISPLAY_IMPLICIT = 39436;
constexpr int32_t HLV_ATTR_DEFAULT_BACKOUT_THRESHOLD = 39437;
constexpr int32_t HLV_ATTR_EMIT_FAIL_TIME = 39438;
constexpr int32_t HLV_ATTR_EMIT_CONSEC_FAIL_COUNT = 39439;
constexpr int32_t HLV_ATTR_ACCOUNTING_SELF = 39443;

// Appenders of one parameter to a message being built: 0, or the builder's reason. Values go in
// as little-endian bytes; texts as MQCFST with CodedCharSetId 0.
int32_t cfgPutInt(PcfCursor *cursor, int32_t id, int32_t value);
int32_t cfgPutInt64(PcfCursor *cursor, int32_t id, int64_t value);
int32_t cfgPutText(PcfCursor *cursor, int32_t id, const char *text);
int32_t cfgPutGroup(PcfCursor *cursor, int32_t id);  // opens a group; cfgPutGroupEnd closes it
int32_t cfgPutGroupEnd(PcfCursor *cursor);

// A received text cut to max characters, trailing blanks dropped, NUL after (max + 1 bytes).
void cfgCopyTrimmed(char *to, size_t max, const void *value, int32_t length);

// The group writers: each appends one group; 0, or the builder's reason (2071: no room).
int32_t evCfgWriteEventQueue(PcfCursor *cursor, const EventQueueDef *queue);
int32_t evCfgWriteEmitter(PcfCursor *cursor, const EmitterDef *emitter);
int32_t evCfgWriteStream(PcfCursor *cursor, const StreamDef *def);
int32_t evCfgWriteQmgr(PcfCursor *cursor, const QmgrEntry *qmgr);
int32_t evCfgWriteAlert(PcfCursor *cursor, const AlertDef *alert);
// The settings and engine values that open the configuration message.
int32_t cfgWriteSettings(PcfCursor *cursor);

// What a configuration load named, so that the rest can be freed at its end.
struct CfgLoadNames {
    std::vector<StreamDef *> streams;
    std::vector<const EmitterDef *> emitters;
};
// The group readers: each reads the members of the group the cursor has just entered, up to its
// end, and applies them. 1, or 0 (damage, no storage).
int evCfgParseEventQueue(PcfCursor *cursor);
int evCfgParseEmitter(PcfCursor *cursor, CfgLoadNames *names);
int evCfgParseStream(PcfCursor *cursor, CfgLoadNames *names);
int evCfgParseQmgr(PcfCursor *cursor, const CfgLoadNames *names);
// Reads one alert group into a zeroed template.
int evCfgParseAlert(PcfCursor *cursor, AlertTemplate *alert);
// Walks the members of the group the cursor has just entered up to its end, skipping nested
// groups, and calls member(type, id, value, length, count) for each. 1 at its end, 0 on damage.
template <class Member>
int cfgReadGroup(PcfCursor *cursor, Member member) {
    int nested = 0;
    for (;;) {
        int32_t type = 0, id = 0, length = 0, count = 0, compCode = 0, reason = 0;
        void *value = nullptr;
        MQPCFGetNextParm(cursor, &type, &id, &value, &length, &count, &compCode, &reason);
        if (compCode != MQCC_OK) return 0;
        if (type == MQCFT_GROUP) {
            nested++;
        } else if (type == PCF_TYPE_GROUP_END) {
            if (nested == 0) return 1;
            nested--;
        } else if (nested == 0) {
            member(type, id, value, length, count);
        }
    }
}
// Applies one top-level setting to values (unknown ids and wrong types are passed over).
void cfgParseSetting(EvSettingsValues *values, int32_t type, int32_t id, const void *value, int32_t length);
