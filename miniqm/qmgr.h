// The queue manager itself: objects (queues, topics, the queue manager), messages, connections
// with their object handles and units of work, and the MQI verbs' semantics with IBM MQ's reason
// codes. The server (server.cpp) decodes requests and calls in here; everything below runs under
// one lock, and getters that wait sleep on one condition variable that puts and commits wake.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "miniqm/authrec.h"
#include "miniqm/journal.h"
#include "miniqm/pcfw.h"
#include "miniqm/selector.h"
#include "miniqm/wire.h"
#include "mqi/cmqc.h"

namespace qm {

// Object kinds, also used as bit masks in the attribute table. The journal keeps a kind in one
// byte (journalKind).
enum Kind : uint16_t {
    K_QLOCAL = 1,
    K_QMODEL = 2,
    K_QALIAS = 4,
    K_TOPIC = 8,
    K_QMGR = 16,
    K_NAMELIST = 32,
    K_SERVICE = 64,
    K_QREMOTE = 128,
    K_CHANNEL = 256
};
constexpr uint16_t K_QUEUES = K_QLOCAL | K_QMODEL | K_QALIAS | K_QREMOTE;
// A kind as its journal records write it: the byte the first eight kinds have always had, and for a
// channel a byte no other kind uses (kinds are written one at a time, never as a mask).
uint8_t journalKind(Kind kind);
Kind kindFromJournal(uint8_t byte);
// The bit of a channel type (MQCHT_*) in AttrDef::channelTypes.
constexpr uint16_t channelTypeBit(MQLONG type) {
    return type > 0 && type < 16 ? static_cast<uint16_t>(1u << type) : 0;
}

// An MQI outcome. Dropping one unread can hide a failure the caller must report (a message or a
// change that was not kept), so it may not be ignored.
struct [[nodiscard]] Result {
    MQLONG cc = MQCC_OK;
    MQLONG reason = MQRC_NONE;
    static Result ok() { return {}; }
    static Result fail(MQLONG r) { return {MQCC_FAILED, r}; }
    static Result warn(MQLONG r) { return {MQCC_WARNING, r}; }
    bool failed() const { return cc == MQCC_FAILED; }
};

// An object definition: its attributes by MQI selector (MQIA_* integers, MQCA_* texts), so that
// MQINQ, MQSC and the journal all read the same table.
struct Object {
    Kind kind = K_QLOCAL;
    std::string name;
    std::map<MQLONG, MQLONG> ints;
    std::map<MQLONG, std::string> strs;
    MQLONG i(MQLONG selector) const;
    const std::string &s(MQLONG selector) const;
};

struct Conn;

// Queue order: priority (highest first) when MSGDLVSQ is PRIORITY, then arrival.
using MsgKey = std::pair<int, uint64_t>;

struct Message {
    uint64_t seq = 0;
    MQMD md{};  // version 2 image as stored; Priority and Persistence resolved
    std::string data;
    int64_t putMs = 0;
    int64_t expiresMs = 0;  // 0: never
    bool persistent = false;
    Conn *putter = nullptr;  // put in this connection's open unit of work: invisible to all
    Conn *getter = nullptr;  // got in this connection's open unit of work: hidden from all
    std::string props;       // message properties, qmprops::PropertyList's encoded form
};

// A queue's performance counts since they were last reset (by RESET QSTATS, a performance event or
// the queue manager's start): puts and gets, uncommitted ones included and not taken back by a
// backout, and the highest depth.
struct ResetCounts {
    MQLONG enqueued = 0, dequeued = 0, highDepth = 0;
    int64_t sinceMs = 0;
    void put(MQLONG depth) {
        ++enqueued;
        raised(depth);
    }
    void got() { ++dequeued; }
    void raised(MQLONG depth) { highDepth = depth > highDepth ? depth : highDepth; }
    void reset(MQLONG depth, int64_t nowMs) { *this = {0, 0, depth, nowMs}; }
};

// What one queue did in one statistics or accounting interval. Lists by persistence are
// [non-persistent, persistent]; times on the queue are in microseconds.
struct QueueCounts {
    bool used = false;  // opened (or put to by MQPUT1) in the interval
    MQLONG minDepth = 0, maxDepth = 0;
    MQLONG puts[2]{}, put1s[2]{}, gets[2]{}, browses[2]{};
    MQLONG putsFailed = 0, put1sFailed = 0, getsFailed = 0, browsesFailed = 0;
    int64_t putBytes[2]{}, getBytes[2]{}, browseBytes[2]{};
    MQLONG expired = 0, purged = 0;
    int64_t queuedSum[2]{}, queuedMin[2]{}, queuedMax[2]{};
    // Accounting only.
    MQLONG opens = 0, closes = 0;
    int64_t openMs = 0, closeMs = 0;  // the first open and the last close of the interval
    MQLONG putMin[2]{}, putMax[2]{}, getMin[2]{}, getMax[2]{}, browseMin[2]{}, browseMax[2]{};
};

// The MQI calls of an interval, for the whole queue manager (statistics) or one connection
// (accounting). Lists by object type are indexed by the MQOT value.
constexpr int kObjectTypes = 13;
struct MqiCounts {
    MQLONG conns = 0, connsFailed = 0, connsMax = 0, discs[3]{};  // normal, implicit, queue manager
    MQLONG opens[kObjectTypes]{}, opensFailed[kObjectTypes]{}, closes[kObjectTypes]{},
        closesFailed[kObjectTypes]{}, inqs[kObjectTypes]{}, inqsFailed[kObjectTypes]{}, sets[kObjectTypes]{},
        setsFailed[kObjectTypes]{};
    MQLONG puts[2]{}, putsFailed = 0, put1s[2]{}, put1sFailed = 0;
    MQLONG gets[2]{}, getsFailed = 0, browses[2]{}, browsesFailed = 0;
    int64_t putBytes[2]{}, getBytes[2]{}, browseBytes[2]{};
    MQLONG commits = 0, commitsFailed = 0, backouts = 0, expired = 0, purged = 0;
    MQLONG subsDurable[3]{}, subsNonDurable[3]{}, subsFailed = 0;        // created, altered, resumed
    MQLONG unsubsDurable[2]{}, unsubsNonDurable[2]{}, unsubsFailed = 0;  // closed, removed
    MQLONG subrqs = 0, subrqsFailed = 0;
    MQLONG topicPuts[2]{}, topicPutsFailed = 0, topicPut1s[2]{}, topicPut1sFailed = 0;
    int64_t topicPutBytes[2]{};
    MQLONG published[2]{};
    int64_t publishedBytes[2]{};
};

// A queue's performance counts as RESET QSTATS and performance events report them;
// resetQueueStats hands them back and starts them again.
struct QueueStatsReset {
    std::string queue;
    MQLONG timeSinceReset = 0;  // seconds
    MQLONG highQDepth = 0, msgEnqCount = 0, msgDeqCount = 0;
};

struct Queue {
    Object def;
    ResetCounts counts;
    std::map<MsgKey, std::unique_ptr<Message>> msgs;
    MQLONG depth = 0;  // CURDEPTH: committed + uncommitted puts - uncommitted gets
    MQLONG openInput = 0, openInputExclusive = 0, openOutput = 0, handles = 0;
    bool tempDynamic = false;
    Conn *creator = nullptr;     // temporary dynamic queues die with their creator
    bool deleted = false;        // removed while still open: its handles now give 2052
    int64_t serviceTimerMs = 0;  // the service-interval timer's start; 0 while it is off
    QueueCounts stats;           // this statistics interval
    // No message on it expires before this wall-clock time (0: not known; a put lowers it).
    int64_t noExpiryBefore = 0;
};

struct BrowseCursor {
    bool set = false;
    MsgKey key{};
};

struct Handle {
    MQLONG hobj = 0;
    MQLONG objectType = MQOT_Q;
    MQLONG options = 0;
    Queue *queue = nullptr;  // the local queue messages go to and come from (null for the qmgr)
    Queue *named = nullptr;  // the object as opened (an alias, or the queue itself)
    bool createdDynamic = false;
    BrowseCursor cursor;
    bool hasContext = false;  // saved context of the last message got (MQOO_SAVE_ALL_CONTEXT)
    MQMD context{};
    std::string topic;   // a topic opened for output: the full topic string publications go to
    uint32_t subId = 0;  // a subscription handle (Hsub) from MQSUB: the subscription's id
    // A queue on another queue manager: queue is the transmission queue, named stays null, and
    // each message goes there behind an MQXQH naming this destination.
    std::string remoteQName, remoteQMgrName;
    bool remote() const { return !remoteQMgrName.empty(); }
    std::shared_ptr<const qmsel::Selector> selector;  // MQOPEN's SelectionString: gets see only matches
};

// A subscription: publications on a matching topic string go to its queue. The queue is kept by
// name so that deleting a named destination queue leaves no dangling pointer; a managed queue is
// deleted with its subscription.
struct Subscription {
    uint32_t id = 0;
    std::string name;         // SubName (required for durable ones)
    std::string topic;        // the resolved topic string, wildcards included
    bool charScheme = false;  // MQSO_WILDCARD_CHAR
    bool durable = false;
    bool managed = false;
    std::string queue;      // destination queue (on destQMgr when that is set)
    std::string destQMgr;   // a queue on another queue manager: publications go by its xmitq
    MQBYTE24 correlId{};    // CorrelId of every publication delivered
    Conn *owner = nullptr;  // the connection holding the Hsub; null for a durable one not in use
    std::string selection;  // SelectionString as given (empty: none)
    std::shared_ptr<const qmsel::Selector> selector;  // compiled; null when it selects everything
    bool onRequest = false;          // MQSO_PUBLICATIONS_ON_REQUEST: retained publications only, by MQSUBRQ
    MQLONG expiry = MQEI_UNLIMITED;  // SubExpiry as given (tenths of a second)
    int64_t expiresMs = 0;           // wall-clock end of the subscription; 0: never
    bool expired = false;            // past its end while an Hsub is still open: matches nothing
};

struct SubRequest {
    MQLONG version = 1, options = 0;
    std::string objectName, objectString, subName;
    MQLONG hobj = MQHO_NONE;  // the destination queue's handle when not managed
    MQBYTE24 correlId{};      // with MQSO_SET_CORREL_ID
    std::string selection;    // SelectionString (UTF-8)
    MQLONG subExpiry = MQEI_UNLIMITED;
};

struct UowOp {
    Queue *queue;
    Message *message;  // owned by queue->msgs; ops are scrubbed when a queue is deleted
    bool isPut;
};

// Where an administrative change came from, as configuration and command events report it: the
// origin (MQEVO_CONSOLE for `miniqm mqsc`, MQEVO_MSG for the command server, MQEVO_MQSET), the user,
// and for MQEVO_MSG the context of the request message.
struct EventOrigin {
    MQLONG origin = MQEVO_CONSOLE;
    std::string userId;
    MQBYTE32 accountingToken{};  // MQBACF_EVENT_ACCOUNTING_TOKEN
    std::string applIdentity;    // MQCACF_EVENT_APPL_IDENTITY
    MQLONG applType = 0;         // MQIACF_EVENT_APPL_TYPE
    std::string applName;        // MQCACF_EVENT_APPL_NAME
    std::string applOrigin;      // MQCACF_EVENT_APPL_ORIGIN
    // A command message's: MQEVO_MSG with the user and context of its descriptor.
    static EventOrigin fromMessage(const MQMD &md);
};

// A connection's accounting: its MQI calls and queues since its last accounting record.
struct ConnAccounting {
    bool mqi = false;                 // ACCTMQI, decided at MQCONN
    MQLONG queueSetting = MQMON_OFF;  // ACCTQ of the queue manager as it applies to this connection
    MqiCounts calls;
    std::map<std::string, QueueCounts> byQueue;
    int64_t intervalStartMs = 0;
    MQLONG seqNumber = 0;
};

// Who an authority check is for: a user with its groups. The administrator (the user who made
// the queue manager, and members of a group of that name) may do everything.
struct Principal {
    std::string name;
    std::vector<std::string> groups;
    bool admin = false;
};

struct Conn {
    uint32_t id = 0;
    std::string applName;   // 28 characters, as MQMD PutApplName takes it
    std::string user;       // 12 characters, as MQMD UserIdentifier takes it
    Principal principal;    // whose authority the connection's calls need
    bool internal = false;  // the queue manager's own (the command server's): never refused
    bool client = false;    // connected over TCP: events and accounting name its channel
    std::string connName, channel;
    MQLONG pid = 0, tid = 0;
    int64_t connectMs = 0;
    MQBYTE24 connectionId{};
    ConnAccounting acct;
    std::map<MQLONG, Handle> handles;
    MQLONG nextHobj = 1;
    std::vector<UowOp> uow;
    bool ending = false;
    int fd = -1;  // the session's socket (none for the queue manager's own): watched while a call waits
};

// Request and reply fields of MQOPEN that do not fit a plain MQOD copy.
struct OpenRequest {
    MQLONG version = 1;
    MQLONG objectType = MQOT_Q;
    std::string objectName, objectQMgrName, dynamicQName, objectString;
    std::string selection;        // SelectionString (UTF-8; MQOPEN only)
    std::string alternateUserId;  // with MQOO_ALTERNATE_USER_AUTHORITY
};
struct OpenReply {
    std::string objectName;  // the dynamic queue's name when a model was opened
    std::string resolvedQName, resolvedQMgrName;
    MQLONG resolvedType = MQOT_NONE;
};
struct PutOptions {
    MQLONG version = 1, options = 0, context = 0;
    std::string props;                            // from the message handle, encoded
    std::string resolvedQName, resolvedQMgrName;  // out
    Queue *stored = nullptr;                      // out: the queue the message went to
    bool persistent = false;                      // out
};
struct GetOptions {
    MQLONG version = 1, options = 0, waitInterval = 0, matchOptions = 0;
    bool wantHandle = false;                 // the caller takes properties in a message handle
    std::string resolvedQName;               // out
    MQLONG returnedLength = MQRL_UNDEFINED;  // out
    std::string props;                       // out: properties for the handle
    bool persistent = false;                 // out: the message got
    int64_t queuedUs = 0;                    // out: how long it was on the queue
};

enum class State { Running, Quiescing, Stopping };

// The ApplName of the command server's connection (cmdserver.cpp), as IBM MQ's shows. Fault rules
// reach it only when they name it: it is not one of the applications a test means.
constexpr const char *kCommandServerAppl = "amqpcsea";

struct FaultRule {
    std::string verb;    // "MQOPEN", "MQCMIT", ... or "*"
    std::string object;  // empty: any object
    std::string appl;    // empty: any connection; else the connection's ApplName
    MQLONG reason = 0;
    MQLONG cc = MQCC_FAILED;
    int remaining = 1;
};

class QueueManager {
public:
    QueueManager() = default;
    QueueManager(const QueueManager &) = delete;
    QueueManager &operator=(const QueueManager &) = delete;

    // Loads (or, on first start, creates) the queue manager in dataDir. cmdLevel is used only at
    // creation. note receives what recovery had to say (a truncated journal tail).
    bool start(const std::string &dataDir, const std::string &name, MQLONG cmdLevel, bool sync,
               std::string &error, std::string &note);
    const std::string &name() const { return qmgr_.name; }
    // The administrator, before start (the user running the server when never set).
    void setAdministrator(const std::string &user) { admin_ = user; }
    // A user as authority checks see it: its groups from the machine, and whether it administers.
    Principal principalFor(const std::string &user) const;

    // Connections. connect fails with 2161/2162 while quiescing or stopping. who gives the
    // connection's identity (its ApplName and user are the parameters), cnoOptions the MQCNO's.
    Result connect(const std::string &applName, const std::string &user, Conn *&conn);
    Result connect(const std::string &applName, const std::string &user, const Conn &who, MQLONG cnoOptions,
                   Conn *&conn);
    // normal: MQDISC (commits an open unit of work); otherwise a broken connection (backs out).
    Result disconnect(Conn *conn, bool normal);

    Result open(Conn *c, const OpenRequest &od, MQLONG options, MQLONG &hobj, OpenReply &out);
    Result close(Conn *c, MQLONG hobj, MQLONG options);
    Result put(Conn *c, MQLONG hobj, MQMD &md, PutOptions &pmo, const std::string &data);
    Result put1(Conn *c, const OpenRequest &od, MQMD &md, PutOptions &pmo, const std::string &data,
                OpenReply &out);
    // data receives at most bufferLength bytes; dataLength the message's whole length.
    Result get(Conn *c, MQLONG hobj, MQMD &md, GetOptions &gmo, MQLONG bufferLength, std::string &data,
               MQLONG &dataLength);
    Result inq(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors, MQLONG intCount, MQLONG charLength,
               std::vector<MQLONG> &ints, std::string &chars);
    Result set(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors, const std::vector<MQLONG> &ints,
               const std::string &chars);
    Result commit(Conn *c);
    Result backout(Conn *c);
    // MQSUB: hobj is in/out (the destination queue's handle in, the managed queue's out).
    // subExpiry receives the subscription's SubExpiry (the original one on RESUME).
    Result subscribe(Conn *c, const SubRequest &sd, MQLONG &hobj, MQLONG &hsub, std::string &resolvedTopic,
                     MQBYTE24 &correlId, MQLONG &subExpiry);
    // MQSUBRQ: numPubs receives the number of retained publications sent.
    Result subrq(Conn *c, MQLONG hsub, MQLONG action, MQLONG options, MQLONG &numPubs);
    // A verb the library serves itself asks whether a fault rule makes it fail (OP_FAULT); hobj
    // names the object for rules with one (MQCB's), MQHO_NONE for none.
    Result libraryFault(Conn *c, const std::string &verb, MQLONG hobj);
    // The selection string of the subscription behind an Hsub (MQSUB gives it back on RESUME).
    std::string selectionOf(Conn *c, MQLONG hsub);

    // Administration: "mqsc" text, "fault ...", "status", "queue NAME" (its depth and messages in open
    // units), "connections PID" (that process's). Returns the reply text; ok tells success.
    std::string admin(const std::string &command, bool &ok);
    // MQSC commands from origin (the command server's requests): the reply text of `miniqm mqsc`.
    std::string runMqsc(const std::string &script, const EventOrigin &origin, bool &ok);

    // Instrumentation the command server raises too (events.cpp). commandEvent: a command event
    // for a command that succeeded, when CMDEV allows it: 2412 (mqsc) or 2413, MQIACF_COMMAND =
    // command, the command's parameters in group MQGACF_COMMAND_DATA. Lock not held by the caller.
    void commandEvent(const EventOrigin &origin, MQLONG command, const qmpcf::Writer &parameters, bool mqsc);
    // The same with the lock held.
    void commandEventLocked(const EventOrigin &origin, MQLONG command, const qmpcf::Writer &parameters,
                            bool mqsc);
    // A queue's performance counts, started again (RESET QSTATS). Lock held.
    QueueStatsReset resetQueueStats(Queue *q);
    // Periodic work: statistics every STATINT, accounting every ACCTINT (the server calls it).
    void tick();

    // One MQSC command of an escape request to the command server. request is the request's
    // descriptor: who asked (its identity and origin context).
    struct MqscAnswer {
        MQLONG command = MQCMD_ESCAPE;  // the command's PCF code; MQCMD_ESCAPE when unparsable
        bool failed = false;
        bool notAuthorized = false;         // refused: the requester lacks the authority
        std::vector<std::string> messages;  // one per response message: a DISPLAY's per object
    };
    MqscAnswer escape(const std::string &text, const MQMD &request);
    // RESET QSTATS: the counts of every local queue the name matches (generic with a trailing
    // '*'), each restarted. MQRCCF_EVENTS_DISABLED while PERFMEV is DISABLED, 2085 when none
    // matches, MQRCCF_Q_WRONG_TYPE for another kind named.
    Result resetQueueCounts(const std::string &pattern, std::vector<QueueStatsReset> &out);
    // PCF Set Authority Record and Inquire Authority Records for the requester of request (chg,
    // or dsp, on the queue manager; 2035 and its event otherwise). setAuthRecords changes one
    // record per entity, each journalled; inquireAuthRecords finds those options select (the
    // MQAUTHOPT_NAME_* and MQAUTHOPT_ENTITY_* ones), of one entity when entity is given and of
    // every object type for MQOT_ALL.
    Result setAuthRecords(const MQMD &request, MQLONG objectType, const std::string &profile,
                          const std::vector<qmauth::Entity> &entities, qmauth::AuthSet add,
                          qmauth::AuthSet remove);
    Result inquireAuthRecords(const MQMD &request, MQLONG objectType, const std::string &profile,
                              MQLONG options, const qmauth::Entity *entity, std::vector<qmauth::Record> &out);

    // Services (services.cpp). The environment they get: the server's, with MQ_INSTALLATION_PATH
    // set to installPath; dataPath is +MQ_DATA_PATH+.
    void setServiceEnvironment(const std::string &installPath, const std::string &dataPath);
    // At the start, once connections are accepted: the CONTROL(QMGR) and CONTROL(STARTONLY) ones.
    void startServices();
    // Before a stop: the STOPCMD of each running CONTROL(QMGR) server, run to its end.
    void stopServices();
    // After a quiesce: waits up to waitMs for the servers to end.
    void awaitServices(int waitMs);
    // Stopping: quiesce lets connections finish (FAIL_IF_QUIESCING calls fail with 2161); stop
    // ends waits with 2162 and refuses everything.
    void quiesce();
    void stopNow();
    State state();
    size_t connectionCount();
    // Blocks until quiescing and no connection is left, or stopping.
    void waitForEnd();
    // Backs out what is open, writes a compact journal and closes it (at the end of the server).
    void shutdown();

private:
    friend struct Mqsc;
    std::mutex mu_;
    std::condition_variable changed_;  // a message became available, or the state changed
    State state_ = State::Running;
    std::string dir_;
    bool sync_ = true;
    qmjournal::Journal journal_;
    Object qmgr_;
    std::map<std::string, std::unique_ptr<Queue>> queues_;
    std::vector<std::unique_ptr<Queue>> graveyard_;  // deleted while open
    std::map<std::string, Object> topics_;
    // Namelists: MQCA_NAMES holds the names as MQINQ gives them, MQIA_NAME_COUNT of 48 characters each.
    std::map<std::string, Object> namelists_;
    std::map<std::string, Object> services_;
    // Channel definitions: kept, shown and journalled; no channel runs here.
    std::map<std::string, Object> channels_;
    // A server service's process while it lasts, and its start; ended ones show STOPPED.
    struct ServiceRun {
        int pid = 0;
        int64_t startMs = 0;
    };
    std::map<std::string, ServiceRun> serviceRuns_;
    std::vector<int> commandPids_;  // COMMAND services and stop commands not yet ended
    std::string installPath_, dataPath_;
    std::map<uint32_t, std::unique_ptr<Conn>> conns_;
    uint32_t nextConn_ = 1;
    uint64_t nextSeq_ = 1;
    uint64_t idCounter_ = 0;
    uint64_t dynCounter_ = 0;
    uint64_t liveBytes_ = 0;       // persistent message bytes in the journal, for compaction
    uint64_t compactedBytes_ = 0;  // the journal's size after the last compaction
    std::vector<FaultRule> faults_;
    std::map<uint32_t, Subscription> subs_;
    uint32_t nextSub_ = 1;
    bool stopEventSent_ = false;
    std::string admin_;
    qmauth::Store auth_;
    bool quiesced_ = false;
    MqiCounts mqiStats_;        // this statistics interval
    int64_t statsStartMs_ = 0;  // start of this statistics interval

    // ---- instrumentation (events.cpp, stats.cpp) ----
    void log(const std::string &text);
    // Puts an event, statistics or accounting message on a SYSTEM.ADMIN queue, outside any unit of
    // work; a queue that refuses it drops it with a log line.
    void putInstrument(const char *queue, const std::string &pcf, const char *format);
    bool switchOn(MQLONG selector) const { return qmgr_.i(selector) == MQEVR_ENABLED; }
    void qmgrEvent(MQLONG reason, const qmpcf::Writer &data);
    void applIdentity(const Conn *c, qmpcf::Writer &w) const;  // 1, 3024 (and the client's 3506, 3501)
    void startStopEvent(bool active, MQLONG qualifier);
    void openEvent(Conn *c, const OpenRequest &od, MQLONG reason);
    void inhibitEvent(Conn *c, MQLONG reason, const std::string &qname, const std::string &objectQMgr);
    void perfEvent(Queue *q, MQLONG reason);
    void depthEvent(Queue *q, MQLONG reason, MQLONG own, std::initializer_list<MQLONG> enabled);
    void afterPut(Queue *q);
    void afterGet(Queue *q);
    void queueFull(Queue *q);
    void serviceCheck(Queue *q, bool get, int64_t now);
    // Configuration events: 2367 (created), 2368 (changed: before and after), 2369 (deleted), 2370.
    void configEvent(MQLONG reason, const EventOrigin &origin, const Object &obj,
                     const Object *before = nullptr);
    void configEventData(qmpcf::Writer &w, const EventOrigin &origin, const Object &o);
    bool configChangeEvents(const Object &before, const Object &after) const;
    // Statistics and accounting.
    bool statQueue(const Queue *q) const;
    bool acctQueue(const Conn *c, const Queue *q) const;
    void countOpen(Conn *c, MQLONG objectType, Queue *q, const Result &r);
    void countClose(Conn *c, MQLONG objectType, const std::string &queue, const Result &r);
    void countPut(Conn *c, bool topic, Queue *q, bool put1, const Result &r, bool persistent, size_t bytes);
    void countGet(Conn *c, Queue *q, const GetOptions &gmo, const Result &r, MQLONG dataLength);
    void countDepth(Queue *q);
    void countExpired(Queue *q, MQLONG n);
    void countPurged(Queue *q, MQLONG n);
    void writeStatistics(int64_t now);
    // discType: MQDISCONNECT_* when the connection ends, -1 for an interval record.
    void writeAccounting(Conn *c, int64_t now, MQLONG discType);
    void intervalHeader(qmpcf::Writer &w, int64_t start, int64_t end) const;
    void resetStatistics(int64_t now);

    std::string mqscLocked(const std::string &script, const EventOrigin &origin, bool &ok);

    // Object authority (authority.cpp). authorized: whether p holds every authority of needed on
    // the object; a topic's are looked for on its topic object and each one above it.
    bool authorized(const Principal &p, MQLONG objectType, const std::string &name,
                    qmauth::AuthSet needed) const;
    // The administrative topic objects a topic string falls under, nearest first.
    std::vector<std::string> topicObjectsFor(const std::string &topicString) const;
    // An MQOPEN's (or MQPUT1's) authority: 2035 and its event when the caller, or the alternate
    // user it names, lacks what the options need. Nothing is changed.
    Result authorizeOpen(Conn *c, const OpenRequest &od, MQLONG options);
    // MQSUB's: sub on the topic string's topic objects (2035 and its event when missing).
    Result authorizeSub(Conn *c, const SubRequest &sd, const std::string &topicString);
    // Authority events on SYSTEM.ADMIN.QMGR.EVENT (2035) when AUTHOREV is on; data after the
    // queue manager's name and the reason qualifier.
    void authorityEvent(MQLONG qualifier, const qmpcf::Writer &data);
    // Whether asker (null: the administrator's console) may run command needing auth on the
    // object; a refusal raises its authority event (qualifier MQRQ_CMD_NOT_AUTHORIZED).
    bool commandAuthorized(const Principal *asker, MQLONG command, MQLONG objectType, const std::string &name,
                           MQLONG auth);
    [[nodiscard]] bool journalAuth(const qmauth::Record &r, bool remove);
    // A service's program started (STARTCMD) or stopped (STOPCMD, waited for up to waitMs), its
    // inserts replaced. MQRC_NONE, or the MQRCCF_* reason it was not; text what the log says.
    MQLONG startService(const Object &svc, std::string &text);
    MQLONG stopService(const Object &svc, int waitMs, std::string &text);
    void reapServices();
    std::string serviceInserts(const std::string &value, int serverPid) const;

    // Faults on demand (see admin "fault"): returns true and sets r when the call must fail.
    bool fault(const char *verb, const std::string &object, const std::string &appl, Result &r);

    // Objects.
    Queue *findQueue(const std::string &name);
    void defaultsFor(Object &o, Kind kind);
    [[nodiscard]] bool createSystemObjects(MQLONG cmdLevel);
    [[nodiscard]] bool addDefaultNamelist();
    Queue *addQueue(Object def);
    // Deletes a queue: journalled (unless temporary), then gone from memory; false, with nothing
    // changed, when the journal cannot be written. dropQueue only changes memory.
    [[nodiscard]] bool deleteQueue(Queue *q);
    void dropQueue(Queue *q);
    // Journal records of object changes; false when the record could not be written, in which
    // case the caller leaves the change undone in memory too.
    [[nodiscard]] bool journalObject(const Object &o);
    [[nodiscard]] bool journalDelete(Kind kind, const std::string &name);
    [[nodiscard]] bool journalClear(const std::string &name);
    void touch(Object &o, bool created);

    // Journal replay and compaction.
    bool applyRecord(std::string_view body);
    bool compact();
    void maybeCompact();

    // Messages.
    MsgKey keyFor(const Queue *q, MQLONG priority, uint64_t seq) const;
    void newMsgId(MQBYTE24 &id);
    bool visible(const Message &m) const { return !m.putter && !m.getter; }
    // Past its expiry: never returned, whether or not dropExpired could remove it yet.
    static bool expired(const Message &m, int64_t now) { return m.expiresMs != 0 && m.expiresMs <= now; }
    Message *findMessage(Conn *c, Handle &h, MQMD &md, const GetOptions &gmo, bool browseNext, Result &r);
    void dropExpired(Queue *q, int64_t now);
    void removeMessage(Queue *q, MsgKey key);
    std::string txnRecord(const std::vector<std::pair<Queue *, Message *>> &puts,
                          const std::vector<std::pair<Queue *, Message *>> &removes);
    // MQGET's steps.
    Result getLocked(std::unique_lock<std::mutex> &lock, Conn *c, MQLONG hobj, MQMD &md, GetOptions &gmo,
                     MQLONG bufferLength, std::string &data, MQLONG &dataLength);
    Result inqLocked(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors, MQLONG intCount,
                     MQLONG charLength, std::vector<MQLONG> &ints, std::string &chars);
    Result setLocked(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors,
                     const std::vector<MQLONG> &ints, const std::string &chars);
    Result checkGet(const Handle &h, const MQMD &md, const GetOptions &gmo, MQLONG bufferLength) const;
    Message *waitForMessage(std::unique_lock<std::mutex> &lock, Conn *c, Handle &h, MQMD &md,
                            const GetOptions &gmo, Result &r);
    Result copyMessageOut(const Message &m, MQMD &md, GetOptions &gmo, MQLONG bufferLength, std::string &data,
                          MQLONG &dataLength);
    Result putLocked(Conn *c, Handle &h, MQMD &md, PutOptions &pmo, const std::string &data);
    // MQPUT's steps.
    Result checkPut(Conn *c, const Handle &h, const MQMD &md, const PutOptions &pmo, Handle *&ctx);
    Result describeMessage(Conn *c, const Handle &h, const MQMD &md, MQLONG o, const Handle *ctx, int64_t now,
                           MQMD &s);
    void setPutContext(Conn *c, MQLONG o, const Handle *ctx, int64_t now, MQMD &s);
    Result storeMessage(Conn *c, Queue *q, std::unique_ptr<Message> m, bool syncpoint);
    Result accepts(Conn *c, const Handle &h, const MQMD &md, size_t dataLength, bool syncpoint) const;
    Result openLocked(Conn *c, const OpenRequest &od, MQLONG options, MQLONG &hobj, OpenReply &out);
    // MQOPEN's steps: the options, then one function per kind of object.
    Result checkOpenOptions(Conn *c, MQLONG options) const;
    Result openQmgr(const OpenRequest &od, MQLONG options, OpenReply &out);
    Result openTopic(const OpenRequest &od, MQLONG options, Handle &h, OpenReply &out);
    Result openQueue(Conn *c, const OpenRequest &od, MQLONG options, Handle &h, OpenReply &out);
    Result openAliasToRemote(const OpenRequest &od, MQLONG options, Queue &alias, const Queue &base,
                             Handle &h, OpenReply &out);
    Result makeDynamicQueue(Conn *c, const OpenRequest &od, const Queue &model, Queue *&made);
    Result openSelection(const OpenRequest &od, MQLONG options, Handle &h);
    Result closeLocked(Conn *c, MQLONG hobj, MQLONG options);
    Result closeSubHandle(Conn *c, MQLONG hsub, uint32_t id, MQLONG options);
    Result publishLocked(Conn *c, Handle &h, MQMD &md, PutOptions &pmo, const std::string &data);
    // Remote queue manager names (xmitq.cpp): the open of a queue on another queue manager, and
    // the transmission message that carries a put to it.
    // xmitQ: the transmission queue a remote queue definition names (empty: by the queue manager).
    Result openRemoteLocked(const OpenRequest &od, MQLONG options, Handle &h, OpenReply &out,
                            const std::string &xmitQ = std::string());
    Result resolveXmitQ(const std::string &qmName, Queue *&xmitq);
    std::string transmissionMessage(const Handle &h, MQMD &md, const std::string &data, int64_t now);
    // Ends a subscription (journalled when durable); false, with the subscription kept, when the
    // journal cannot be written.
    [[nodiscard]] bool removeSub(uint32_t id);
    // MQSUB's steps (pubsub.cpp).
    Result checkSubRequest(Conn *c, const SubRequest &sd);
    Result subTopic(const SubRequest &sd, std::string &topic);
    Result resumeSub(Conn *c, const SubRequest &sd, Subscription &found, MQLONG &hobj);
    Result alterSub(Conn *c, const SubRequest &sd, Subscription &found);
    Result createSub(Conn *c, const SubRequest &sd, MQLONG &hobj, uint32_t &id);
    Result openManagedQueue(Conn *c, bool durable, MQLONG &hobj, Queue *&q);
    void dropManagedQueue(Conn *c, MQLONG hobj, Queue *q, bool journalled);
    Result sendRetainedToNew(Conn *c, MQLONG options, MQLONG hobj, MQLONG &hsub);
    // Retained publications (retain.cpp): kept as messages on SYSTEM.RETAINED.PUB.QUEUE.
    Queue *retainedQueue();
    Result retainLocked(Conn *c, Handle &h, MQMD &md, PutOptions &pmo, const std::string &data);
    int deliverRetained(Conn *c, const Subscription &s, Result &r);
    int clearRetained(const std::string &pattern);
    void expireSubs();
    std::string subRecord(const Subscription &s) const;  // journal record of a durable subscription
    bool applySubRecord(qmwire::Reader &r, bool remove);
    Result subSelection(const std::string &text, std::shared_ptr<const qmsel::Selector> &out);
    bool selects(const Subscription &s, const MQMD &md, const PutOptions &pmo);
    Result commitUow(Conn *c);
    Result backoutUow(Conn *c);
    void backoutUnreported(Conn *c);
    void closeAllHandles(Conn *c);
    Handle *handleFor(Conn *c, MQLONG hobj);
    bool quiescingFails(MQLONG options, MQLONG fiqBit) const {
        return state_ == State::Quiescing && (options & fiqBit);
    }
};

// The attribute table: one row per MQSC keyword that miniqm knows, with its MQI selector.
enum class AttrType : uint8_t { Int, Str, Enum, Flag, NameList };  // NameList: names of 48 characters
struct EnumName {
    const char *name;
    MQLONG value;
};
struct AttrDef {
    const char *keyword;
    MQLONG selector;
    uint16_t kinds;  // Kind bits the attribute belongs to
    AttrType type;
    int length;  // Str: MQINQ length; Int: 0
    MQLONG minValue, maxValue;
    const EnumName *names;      // Enum: value names, ending with {nullptr, 0}; Flag: {on, off}
    bool settable;              // by DEFINE/ALTER (otherwise shown only)
    uint16_t channelTypes = 0;  // K_CHANNEL rows: the channel types (channelTypeBit) that have it
};
const AttrDef *attrBySelector(MQLONG selector);
// IBM MQ's defaults for the event and monitoring attributes of the queue manager and of local and
// model queues, for those not set yet (new objects, and those of older queue managers at start).
void monitoringDefaults(Object &o);
// The row of a selector that belongs to one of these kinds, or null.
const AttrDef *attrForKind(MQLONG selector, uint16_t kinds);
const AttrDef *attrByKeyword(std::string_view keyword, uint16_t kind);
const std::vector<AttrDef> &attrTable();
// Whether an object has the attribute of a row: its kind, and for a channel its channel type.
bool attrApplies(const AttrDef &a, const Object &o);
// A new channel of a type (MQCHT_*) with IBM MQ's defaults for every attribute the type has.
void channelDefaults(Object &o, MQLONG type);
// The names of a NameList value as it is kept: each a.length characters, blank padded.
std::vector<std::string> listedNames(const AttrDef &a, const std::string &value);

// The bytes ahead of the application data in a transmission message made from md: the MQXQH,
// and an MQMDE when md's version-2 fields are not the defaults.
MQLONG xmitHeaderLength(const MQMD &md);
// Makes the queue opened by dest (local or on another queue manager) s's destination.
void setSubDestination(Subscription &s, const Handle &dest);

// Text helpers shared with the server and the libraries.
std::string trimBlanks(std::string_view s);                    // drops trailing blanks and NULs
std::string fixedField(const char *field, size_t n);           // a blank-padded MQCHAR field, trimmed
void setField(char *field, size_t n, std::string_view value);  // blank-padded copy
std::string upper(std::string_view s);
// A publication's encoded properties with the queue manager's own added (MQTopicString, and
// MQIsRetained when it is delivered as a retained publication).
std::string publicationProps(const std::string &props, const std::string &topic, bool retained);

}  // namespace qm
