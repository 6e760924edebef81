// A recording fake of the MQ library for the console's connections: MQCONNX with scripted
// refusals, the queue manager's object, the command queue (whose puts a responder answers) and
// the dynamic reply queue read with waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "console/console.h"

namespace fakemq {

struct Connect {
    MQLONG version;
    MQLONG options;
    bool applName;
    std::string target;
};
struct Open {
    std::string name;
    std::string qmgr;
    std::string dynamic;
    MQLONG options;
};
struct Put {
    MQMD md;
    std::vector<uint8_t> data;
    MQHOBJ hobj;
};
struct Reply {
    MQMD md;
    std::vector<uint8_t> data;
};

struct State {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Connect> connects;
    std::vector<Open> opens;
    std::vector<Put> puts;
    std::deque<MQLONG> connectFailures;  // reasons of the next MQCONNX calls (0: succeed)
    std::deque<MQLONG> openFailures;     // reasons of the next MQOPEN calls (0: succeed)
    std::deque<Reply> replies;
    std::string qmgrName = "QM1";
    MQLONG commandLevel = 940;
    MQLONG platform = 3;
    MQLONG putFailure = 0;
    int disconnects = 0;
    bool blockDisconnect = false;  // MQDISC waits until it is cleared
    MQHCONN nextHconn = 100;
    std::function<void(const Put &)> responder;  // called outside the lock after each command put
};
inline State *state = nullptr;

inline std::string trimmed(const char *field, size_t size) {
    size_t n = strnlen(field, size);
    while (n > 0 && field[n - 1] == ' ') --n;
    return std::string(field, n);
}

inline void MQCONNXf(PMQCHAR name, PMQVOID options, PMQHCONN hconn, PMQLONG cc, PMQLONG rc) {
    auto *cno = static_cast<MQCNO *>(options);
    std::lock_guard<std::mutex> hold(state->mutex);
    bool appl = cno->Version >= 7 && cno->ApplName[0] != ' ' && cno->ApplName[0] != '\0';
    state->connects.push_back({cno->Version, cno->Options, appl, trimmed(name, 48)});
    MQLONG reason = 0;
    if (!state->connectFailures.empty()) {
        reason = state->connectFailures.front();
        state->connectFailures.pop_front();
    }
    *rc = reason;
    *cc = reason != 0 ? MQCC_FAILED : MQCC_OK;
    if (reason == 0) *hconn = state->nextHconn++;
}
inline void MQCONNf(PMQCHAR, PMQHCONN, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_FAILED;
    *rc = 2298;
}
inline void MQDISCf(PMQHCONN hconn, PMQLONG cc, PMQLONG rc) {
    std::unique_lock<std::mutex> hold(state->mutex);
    state->arrived.wait(hold, [] { return !state->blockDisconnect; });
    ++state->disconnects;
    *hconn = -1;
    *cc = 0;
    *rc = 0;
    state->arrived.notify_all();
}
inline void MQOPENf(MQHCONN, PMQVOID od, MQLONG options, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    auto *d = static_cast<MQOD *>(od);
    std::lock_guard<std::mutex> hold(state->mutex);
    state->opens.push_back(
        {trimmed(d->ObjectName, 48), trimmed(d->ObjectQMgrName, 48), trimmed(d->DynamicQName, 48), options});
    MQLONG reason = 0;
    if (!state->openFailures.empty()) {
        reason = state->openFailures.front();
        state->openFailures.pop_front();
    }
    *rc = reason;
    *cc = reason != 0 ? MQCC_FAILED : MQCC_OK;
    if (reason != 0) return;
    if ((options & MQOO_INPUT_EXCLUSIVE) != 0) {  // a model queue: its dynamic queue
        std::memset(d->ObjectName, ' ', sizeof d->ObjectName);
        std::memcpy(d->ObjectName, "ZUNT.REPLY.1", 12);
    }
    *hobj = static_cast<MQHOBJ>(state->opens.size());
}
inline void MQCLOSEf(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    *hobj = -1;
    *cc = 0;
    *rc = 0;
}
// The queue manager's name, command level and platform; the reply queue is temporary dynamic and as
// deep as IBM MQ allows, so that the console has nothing to change there.
inline void MQINQf(MQHCONN, MQHOBJ, MQLONG count, PMQLONG selectors, MQLONG, PMQLONG ints, MQLONG charLength,
                   PMQCHAR chars, PMQLONG cc, PMQLONG rc) {
    std::lock_guard<std::mutex> hold(state->mutex);
    MQLONG *next = ints;
    for (MQLONG i = 0; i < count; ++i) {
        if (selectors[i] == MQCA_Q_MGR_NAME) {
            std::memset(chars, ' ', static_cast<size_t>(charLength));
            std::memcpy(chars, state->qmgrName.data(), state->qmgrName.size());
        } else {
            *next++ = selectors[i] == MQIA_COMMAND_LEVEL     ? state->commandLevel
                      : selectors[i] == MQIA_PLATFORM        ? state->platform
                      : selectors[i] == MQIA_DEFINITION_TYPE ? MQQDT_TEMPORARY_DYNAMIC
                                                             : 999999999;
        }
    }
    *cc = 0;
    *rc = 0;
}
inline void MQPUTf(MQHCONN, MQHOBJ hobj, PMQVOID md, PMQVOID, MQLONG length, PMQVOID buffer, PMQLONG cc,
                   PMQLONG rc) {
    Put put{*static_cast<MQMD *>(md), {}, hobj};
    if (length > 0) put.data.assign(static_cast<uint8_t *>(buffer), static_cast<uint8_t *>(buffer) + length);
    std::function<void(const Put &)> responder;
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        *rc = state->putFailure;
        *cc = *rc != 0 ? MQCC_FAILED : MQCC_OK;
        if (*rc != 0) return;
        if (length == 0) {  // the wake-up of the reply reader
            state->replies.push_back({put.md, {}});
            state->arrived.notify_all();
            return;
        }
        state->puts.push_back(put);
        responder = state->responder;
    }
    if (responder) responder(put);
}
inline void MQGETf(MQHCONN, MQHOBJ, PMQVOID md, PMQVOID gmo, MQLONG length, PMQVOID buffer, PMQLONG got,
                   PMQLONG cc, PMQLONG rc) {
    auto *g = static_cast<MQGMO *>(gmo);
    std::unique_lock<std::mutex> hold(state->mutex);
    if (state->replies.empty() && (g->Options & MQGMO_WAIT) != 0)
        state->arrived.wait_for(hold, std::chrono::milliseconds(20));
    if (state->replies.empty()) {
        *cc = MQCC_FAILED;
        *rc = 2033;
        return;
    }
    Reply &reply = state->replies.front();
    *got = static_cast<MQLONG>(reply.data.size());
    if (*got > length) {
        *cc = MQCC_FAILED;
        *rc = 2080;
        return;
    }
    *static_cast<MQMD *>(md) = reply.md;
    if (!reply.data.empty()) std::memcpy(buffer, reply.data.data(), reply.data.size());
    state->replies.pop_front();
    *cc = 0;
    *rc = 0;
}

// A PCF escape response with one text per item; control 1 on the last.
inline std::vector<uint8_t> escapeResponse(const std::vector<std::string> &texts, int32_t reason = 0,
                                           int32_t compCode = 0, int32_t control = 1) {
    std::vector<uint8_t> m(36);
    const int32_t head[] = {2, 36, 1, 38, 1, control, compCode, reason, static_cast<int32_t>(texts.size())};
    for (size_t i = 0; i < 9; ++i) mqiPutI32(m.data(), i * 4, head[i]);
    for (const std::string &t : texts) {
        size_t length = (t.size() + 23) / 4 * 4;
        size_t at = m.size();
        m.resize(at + length);
        const int32_t cfst[] = {4, static_cast<int32_t>(length), 3014, 0, static_cast<int32_t>(t.size())};
        for (size_t i = 0; i < 5; ++i) mqiPutI32(m.data(), at + i * 4, cfst[i]);
        std::memcpy(m.data() + at + 20, t.data(), t.size());
    }
    return m;
}

// The reply to a put: its MsgId as CorrelId.
inline void reply(const Put &put, std::vector<uint8_t> data) {
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.CorrelId, put.md.MsgId, sizeof md.CorrelId);
    std::memcpy(md.Format, MQFMT_ADMIN, 8);
    std::lock_guard<std::mutex> hold(state->mutex);
    state->replies.push_back({md, std::move(data)});
    state->arrived.notify_all();
}

// A z/OS command server's text reply.
inline void replyText(const Put &put, const std::string &text) {
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.CorrelId, put.md.MsgId, sizeof md.CorrelId);
    std::memcpy(md.Format, "MQCMD1  ", 8);
    std::lock_guard<std::mutex> hold(state->mutex);
    state->replies.push_back({md, std::vector<uint8_t>(text.begin(), text.end())});
    state->arrived.notify_all();
}

// Installs the fake as the console's server library for the life of the object.
class Library {
public:
    Library() {
        state = &state_;
        MQIFunctionTable t{};
        t.MQCONN = MQCONNf;
        t.MQCONNX = MQCONNXf;
        t.MQDISC = MQDISCf;
        t.MQOPEN = MQOPENf;
        t.MQCLOSE = MQCLOSEf;
        t.MQINQ = MQINQf;
        t.MQPUT = MQPUTf;
        t.MQGET = MQGETf;
        saved_ = cslServerTable;
        savedClient_ = cslClientTable;
        cslServerTable = t;
        cslClientTable = t;
    }
    ~Library() {
        cslServerTable = saved_;
        cslClientTable = savedClient_;
        state = nullptr;
    }
    State &s() { return state_; }

private:
    State state_;
    MQIFunctionTable saved_;
    MQIFunctionTable savedClient_;
};

}  // namespace fakemq
