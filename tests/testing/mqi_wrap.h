// A wrapper over any MQI function table for tests: it records every call (verb, handles, options,
// outcome), fails the k-th call of a verb with a chosen reason, runs a test's callback before each
// call (a delay, a latch) and kills the process at the k-th call of a verb. The code under test gets
// table() in place of the real table and cannot tell the difference.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "mqi/mqbind.h"

namespace zt {

// The verbs, in the slot order of MQIFunctionTable.
enum class MqVerb : int32_t {
    MQBACK,
    MQCLOSE,
    MQCMIT,
    MQCONN,
    MQCONNX,
    MQDISC,
    MQGET,
    MQINQ,
    MQOPEN,
    MQPUT,
    MQPUT1,
    MQSET,
    MQSUB,
    MQSUBRQ,
    MQCB,
    MQCTL,
    MQCRTMH,
    MQDLTMH,
    MQINQMP,
    MQSETMP,
    MQDLTMP,
    MQBUFMH,
    MQMHBUF,
    MQSTAT,
    MQXCNVC,
    Count
};
const char *mqVerbName(MqVerb verb);

struct MqCall {
    MqVerb verb;
    uint64_t sequence;  // 1 upward among the calls of its verb
    MQHCONN hconn;      // MQCONN/MQCONNX: the connection made
    MQHOBJ hobj;        // GET, PUT, INQ, SET, CLOSE, OPEN (made), CB, SUBRQ; else 0
    MQLONG options;     // GMO/PMO/open/close/connect options, the CB/CTL operation, the SUBRQ action
    MQLONG compCode;
    MQLONG reason;
    bool injected;  // failed by a rule without being made
};

class MqiWrapper {
public:
    // Wraps inner (which must outlive the wrapper). One wrapper is active at a time.
    explicit MqiWrapper(const MQIFunctionTable &inner);
    ~MqiWrapper();
    MqiWrapper(const MqiWrapper &) = delete;
    MqiWrapper &operator=(const MqiWrapper &) = delete;

    const MQIFunctionTable *table() const { return &table_; }

    // The k-th call of the verb from now on (1: the next) is not made and fails with the reason (and
    // the completion code). A failed MQCMIT with 2003 backs the unit out, as IBM MQ does.
    void failAt(MqVerb verb, uint64_t k, MQLONG reason, MQLONG compCode = MQCC_FAILED);
    // The k-th call of the verb from now on ends the process with SIGKILL before it is made.
    void killAt(MqVerb verb, uint64_t k);
    // Runs before every call, outside the wrapper's lock (it may sleep, wait or add rules); null
    // removes it.
    void before(std::function<void(const MqCall &)> callback);
    void clearRules();

    std::vector<MqCall> calls() const;
    std::vector<MqCall> calls(MqVerb verb) const;
    uint64_t count(MqVerb verb) const;

    // Used by the table's entries.
    static MqiWrapper *active();
    struct Rule {
        MqVerb verb;
        uint64_t remaining;
        MQLONG reason;
        MQLONG compCode;
        bool kill;
    };
    // Counts the call, keeps its record and says whether a rule takes it.
    bool decide(MqCall *call, Rule *taken);
    void record(const MqCall &call);
    std::function<void(const MqCall &)> callback() const;
    const MQIFunctionTable &inner() const { return inner_; }

private:
    MQIFunctionTable inner_;
    MQIFunctionTable table_{};
    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    std::vector<MqCall> calls_;
    uint64_t counts_[static_cast<int>(MqVerb::Count)] = {};
    std::function<void(const MqCall &)> before_;
};

// A message of a queue: its descriptor and its data, up to the reader's limit.
struct QueueMessage {
    MQMD md;
    std::vector<uint8_t> data;
};

// The messages of the queue, on hconn outside any unit: taken off it, or browsed where `browse`; of
// each at most `keep` bytes. A failed open is reported.
std::vector<QueueMessage> queueMessages(const MQIFunctionTable *t, MQHCONN hconn, const char *queue,
                                        bool browse = false, size_t keep = 8192);

}  // namespace zt
