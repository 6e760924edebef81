// The MQI wrapper's table: one entry per verb, made from a template that finds the call's connection,
// object, options and completion fields by the verb's signature, asks the active wrapper's rules and
// forwards to the wrapped table.
#include "testing/mqi_wrap.h"
#include "testing/self_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <tuple>

namespace zt {

namespace {

MqiWrapper *activeWrapper = nullptr;

template <size_t N, class... A>
auto &argAt(A &...args) {
    return std::get<N>(std::tie(args...));
}

// What the call says before it is made.
template <MqVerb V, class... A>
void describe(MqCall *call, A &...args) {
    if constexpr (V == MqVerb::MQCONN || V == MqVerb::MQCONNX) {
        call->hconn = 0;
    } else if constexpr (V == MqVerb::MQDISC) {
        call->hconn = *argAt<0>(args...);
    } else {
        call->hconn = argAt<0>(args...);
    }
    if constexpr (V == MqVerb::MQGET || V == MqVerb::MQPUT || V == MqVerb::MQINQ || V == MqVerb::MQSET ||
                  V == MqVerb::MQSUBRQ)
        call->hobj = argAt<1>(args...);
    if constexpr (V == MqVerb::MQCLOSE) call->hobj = *argAt<1>(args...);
    if constexpr (V == MqVerb::MQCB) call->hobj = argAt<3>(args...);
    if constexpr (V == MqVerb::MQGET) call->options = static_cast<MQGMO *>(argAt<3>(args...))->Options;
    if constexpr (V == MqVerb::MQPUT || V == MqVerb::MQPUT1)
        call->options = static_cast<MQPMO *>(argAt<3>(args...))->Options;
    if constexpr (V == MqVerb::MQOPEN || V == MqVerb::MQCLOSE || V == MqVerb::MQSUBRQ)
        call->options = argAt<2>(args...);
    if constexpr (V == MqVerb::MQCB || V == MqVerb::MQCTL) call->options = argAt<1>(args...);
    if constexpr (V == MqVerb::MQCONNX)
        call->options = argAt<1>(args...) ? static_cast<MQCNO *>(argAt<1>(args...))->Options : 0;
}

// What the call gave back.
template <MqVerb V, class... A>
void outcome(MqCall *call, A &...args) {
    if constexpr (V == MqVerb::MQCONN) call->hconn = *argAt<1>(args...);
    if constexpr (V == MqVerb::MQCONNX) call->hconn = *argAt<2>(args...);
    if constexpr (V == MqVerb::MQOPEN) call->hobj = *argAt<3>(args...);
    call->compCode = *argAt<sizeof...(A) - 2>(args...);
    call->reason = *argAt<sizeof...(A) - 1>(args...);
}

template <MqVerb V, auto Slot, class F>
struct Entry;

template <MqVerb V, auto Slot, class... A>
struct Entry<V, Slot, void (*)(A...)> {
    static void call(A... args) {
        MqiWrapper *w = MqiWrapper::active();
        MqCall record{V, 0, 0, 0, 0, 0, 0, false};
        describe<V>(&record, args...);
        MqiWrapper::Rule rule{};
        bool taken = w->decide(&record, &rule);
        if (auto callback = w->callback()) callback(record);
        if (taken && rule.kill) dieAtOnce();
        if (taken) {
            *argAt<sizeof...(A) - 2>(args...) = rule.compCode;
            *argAt<sizeof...(A) - 1>(args...) = rule.reason;
            if constexpr (V == MqVerb::MQCMIT) {
                if (rule.reason == MQRC_BACKED_OUT && w->inner().MQBACK) {
                    MQLONG cc = 0, rc = 0;
                    w->inner().MQBACK(argAt<0>(args...), &cc, &rc);
                }
            }
            record.injected = true;
        } else {
            (w->inner().*Slot)(args...);
        }
        outcome<V>(&record, args...);
        w->record(record);
    }
};

#define ZT_WRAP(verb) \
    table_.verb =     \
        inner.verb ? &Entry<MqVerb::verb, &MQIFunctionTable::verb, decltype(table_.verb)>::call : nullptr

constexpr const char *kNames[] = {"MQBACK",  "MQCLOSE", "MQCMIT",  "MQCONN",  "MQCONNX", "MQDISC",  "MQGET",
                                  "MQINQ",   "MQOPEN",  "MQPUT",   "MQPUT1",  "MQSET",   "MQSUB",   "MQSUBRQ",
                                  "MQCB",    "MQCTL",   "MQCRTMH", "MQDLTMH", "MQINQMP", "MQSETMP", "MQDLTMP",
                                  "MQBUFMH", "MQMHBUF", "MQSTAT",  "MQXCNVC"};
static_assert(std::size(kNames) == static_cast<size_t>(MqVerb::Count));

}  // namespace

const char *mqVerbName(MqVerb verb) {
    auto i = static_cast<size_t>(verb);
    return i < std::size(kNames) ? kNames[i] : "?";
}

MqiWrapper::MqiWrapper(const MQIFunctionTable &inner) : inner_(inner) {
    ZT_WRAP(MQBACK);
    ZT_WRAP(MQCLOSE);
    ZT_WRAP(MQCMIT);
    ZT_WRAP(MQCONN);
    ZT_WRAP(MQCONNX);
    ZT_WRAP(MQDISC);
    ZT_WRAP(MQGET);
    ZT_WRAP(MQINQ);
    ZT_WRAP(MQOPEN);
    ZT_WRAP(MQPUT);
    ZT_WRAP(MQPUT1);
    ZT_WRAP(MQSET);
    ZT_WRAP(MQSUB);
    ZT_WRAP(MQSUBRQ);
    ZT_WRAP(MQCB);
    ZT_WRAP(MQCTL);
    ZT_WRAP(MQCRTMH);
    ZT_WRAP(MQDLTMH);
    ZT_WRAP(MQINQMP);
    ZT_WRAP(MQSETMP);
    ZT_WRAP(MQDLTMP);
    ZT_WRAP(MQBUFMH);
    ZT_WRAP(MQMHBUF);
    ZT_WRAP(MQSTAT);
    ZT_WRAP(MQXCNVC);
    activeWrapper = this;
}

MqiWrapper::~MqiWrapper() {
    if (activeWrapper == this) activeWrapper = nullptr;
}

MqiWrapper *MqiWrapper::active() {
    return activeWrapper;
}

void MqiWrapper::failAt(MqVerb verb, uint64_t k, MQLONG reason, MQLONG compCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(Rule{verb, k, reason, compCode, false});
}

void MqiWrapper::killAt(MqVerb verb, uint64_t k) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(Rule{verb, k, 0, 0, true});
}

void MqiWrapper::before(std::function<void(const MqCall &)> callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    before_ = std::move(callback);
}

void MqiWrapper::clearRules() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

std::function<void(const MqCall &)> MqiWrapper::callback() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return before_;
}

bool MqiWrapper::decide(MqCall *call, Rule *taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    call->sequence = ++counts_[static_cast<int>(call->verb)];
    bool found = false;
    for (auto it = rules_.begin(); it != rules_.end();) {
        if (it->verb != call->verb || --it->remaining != 0) {
            ++it;
            continue;
        }
        if (!found) *taken = *it;
        found = true;
        it = rules_.erase(it);
    }
    return found;
}

void MqiWrapper::record(const MqCall &call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
}

std::vector<MqCall> MqiWrapper::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<MqCall> MqiWrapper::calls(MqVerb verb) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MqCall> out;
    for (const MqCall &c : calls_)
        if (c.verb == verb) out.push_back(c);
    return out;
}

uint64_t MqiWrapper::count(MqVerb verb) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[static_cast<int>(verb)];
}

std::vector<QueueMessage> queueMessages(const MQIFunctionTable *t, MQHCONN hconn, const char *queue,
                                        bool browse, size_t keep) {
    MQOD od = MQOD_DEFAULT;
    std::memcpy(od.ObjectName, queue, strnlen(queue, sizeof od.ObjectName));
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    MQLONG cc = 0, rc = 0;
    t->MQOPEN(hconn, &od, browse ? MQOO_BROWSE : MQOO_INPUT_SHARED, &hobj, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE) << "MQOPEN " << queue;
    std::vector<QueueMessage> messages;
    std::vector<uint8_t> buffer(keep);
    for (MQLONG next = MQGMO_BROWSE_FIRST; cc != MQCC_FAILED; next = MQGMO_BROWSE_NEXT) {
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = (browse ? next : MQGMO_NO_SYNCPOINT) | MQGMO_ACCEPT_TRUNCATED_MSG;
        MQLONG length = 0;
        t->MQGET(hconn, hobj, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc,
                 &rc);
        if (cc == MQCC_FAILED) break;
        const size_t kept = std::min(buffer.size(), static_cast<size_t>(length));
        messages.push_back(QueueMessage{md, std::vector<uint8_t>(buffer.begin(), buffer.begin() + kept)});
    }
    t->MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
    return messages;
}

}  // namespace zt
