// The callback thread of a connection: while started it polls each registered consumer's queue
// in turn without waiting (so that MQCTL from other threads is never stuck behind a server wait),
// calls the consumer with what it got, and tells a consumer with MQGMO_WAIT once per empty spell
// that nothing came within its WaitInterval. Connection events (2009, 2161, 2162) come from the
// verbs and from a probe of the connection while idle, and go to the event handler whether or
// not the connection is started.
#include "miniqm/async.h"

#include <chrono>
#include <cstring>

namespace qmasync {

namespace {

thread_local const Dispatcher *tlsCallbackOf = nullptr;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int kPollMs = 5;    // between rounds that found nothing, while started
constexpr int kProbeMs = 50;  // between probes of the connection
constexpr MQLONG kCbdOptions = MQCBDO_START_CALL | MQCBDO_STOP_CALL | MQCBDO_REGISTER_CALL |
                               MQCBDO_DEREGISTER_CALL | MQCBDO_FAIL_IF_QUIESCING | MQCBDO_EVENT_CALL |
                               MQCBDO_MC_EVENT_CALL;
constexpr MQLONG kOperations[] = {MQOP_REGISTER, MQOP_DEREGISTER, MQOP_SUSPEND, MQOP_RESUME};

size_t gmoLength(MQLONG version) {
    switch (version) {
        case MQGMO_VERSION_1:
            return MQGMO_LENGTH_1;
        case MQGMO_VERSION_2:
            return MQGMO_LENGTH_2;
        case MQGMO_VERSION_3:
            return MQGMO_LENGTH_3;
        default:
            return MQGMO_LENGTH_4;
    }
}

void result(MQLONG &cc, MQLONG &rc, MQLONG c, MQLONG r) {
    cc = c;
    rc = r;
}

}  // namespace

Dispatcher::Dispatcher(MQHCONN hconn, Transport &transport) : hconn_(hconn), transport_(transport) {}

Dispatcher::~Dispatcher() {
    shutdown();
}

bool Dispatcher::onCallbackThread() const {
    return tlsCallbackOf == this;
}

MQLONG Dispatcher::admit() {
    std::lock_guard<std::mutex> lock(mu_);
    return state_ == State::Started && !onCallbackThread() ? MQRC_HCONN_ASYNC_ACTIVE : MQRC_NONE;
}

void Dispatcher::heard(MQLONG reason) {
    if (reason != MQRC_CONNECTION_BROKEN && reason != MQRC_Q_MGR_QUIESCING && reason != MQRC_Q_MGR_STOPPING &&
        reason != MQRC_CONNECTION_QUIESCING && reason != MQRC_CONNECTION_STOPPING)
        return;
    if (reason == MQRC_CONNECTION_QUIESCING) reason = MQRC_Q_MGR_QUIESCING;
    if (reason == MQRC_CONNECTION_STOPPING) reason = MQRC_Q_MGR_STOPPING;
    std::lock_guard<std::mutex> lock(mu_);
    if (heardEnd_ || (reason == MQRC_Q_MGR_QUIESCING && heardQuiesce_)) return;
    if (reason == MQRC_Q_MGR_QUIESCING) {
        heardQuiesce_ = true;
    } else {
        heardEnd_ = true;
        endReason_ = reason;
    }
    pendingEvents_.push_back(reason);
    cv_.notify_all();
}

MQCBC Dispatcher::context(const Consumer &c, MQLONG callType, MQLONG cc, MQLONG reason) const {
    MQCBC cbc = MQCBC_DEFAULT;
    cbc.CallType = callType;
    cbc.Hobj = c.hobj;
    cbc.CallbackArea = c.cbd.CallbackArea;
    cbc.ConnectionArea = connectionArea_;
    cbc.CompCode = cc;
    cbc.Reason = reason;
    cbc.State =
        callType == MQCBCT_STOP_CALL || reason == MQRC_CONNECTION_BROKEN || reason == MQRC_Q_MGR_STOPPING
            ? MQCS_STOPPED
            : MQCS_NONE;
    return cbc;
}

// Runs a callback on the callback thread with the lock released; others see running_ meanwhile.
// Within deliverOne running_ is already set (from before the get) and stays set afterwards.
void Dispatcher::invoke(std::unique_lock<std::mutex> &lk, const std::shared_ptr<Consumer> &c, MQCBC &cbc,
                        MQMD *md, MQGMO *gmo, void *buffer) {
    auto fn = reinterpret_cast<MQCB_FUNCTION *>(c->cbd.CallbackFunction);
    if (!fn) return;
    bool outer = running_;
    running_ = true;
    lk.unlock();
    fn(hconn_, md, gmo, buffer, &cbc);
    lk.lock();
    if (outer) return;
    running_ = false;
    cv_.notify_all();
}

// REGISTER_CALL and DEREGISTER_CALL are made on the thread that issued MQCB.
void Dispatcher::callDirect(const std::shared_ptr<Consumer> &c, MQLONG callType) {
    auto fn = reinterpret_cast<MQCB_FUNCTION *>(c->cbd.CallbackFunction);
    MQCBC cbc = context(*c, callType, MQCC_OK, MQRC_NONE);
    if (fn) fn(hconn_, nullptr, nullptr, nullptr, &cbc);
}

void Dispatcher::queueControl(MQLONG callType, MQLONG option) {
    for (auto &[h, c] : consumers_)
        if (c->cbd.Options & option) pendingControl_.push_back(context(*c, callType, MQCC_OK, MQRC_NONE));
    if (handler_ && (handler_->cbd.Options & option))
        pendingControl_.push_back(context(*handler_, callType, MQCC_OK, MQRC_NONE));
}

void Dispatcher::waitIdle(std::unique_lock<std::mutex> &lk) {
    if (onCallbackThread()) return;
    cv_.wait(lk, [this] { return !running_ && stopsDone_ == stopsAsked_; });
}

void Dispatcher::ensureThread() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

// ---- MQCB ----

void Dispatcher::cb(MQLONG operation, const void *callbackDesc, MQHOBJ hobj, const void *msgDesc,
                    const void *getMsgOpts, MQLONG &compCode, MQLONG &reason) {
    int ops = 0;
    for (MQLONG op : kOperations) ops += (operation & op) ? 1 : 0;
    if (ops != 1 || (operation & ~(MQOP_REGISTER | MQOP_DEREGISTER | MQOP_SUSPEND | MQOP_RESUME)))
        return result(compCode, reason, MQCC_FAILED, MQRC_OPERATION_ERROR);
    const MQCBD *cbd = static_cast<const MQCBD *>(callbackDesc);
    if (cbd && (std::memcmp(cbd->StrucId, MQCBD_STRUC_ID, 4) != 0 || cbd->Version != MQCBD_VERSION_1))
        return result(compCode, reason, MQCC_FAILED, MQRC_CBD_ERROR);
    std::unique_lock<std::mutex> lk(mu_);
    if (endReason_) return result(compCode, reason, MQCC_FAILED, endReason_);
    if (state_ == State::Started && !onCallbackThread())
        return result(compCode, reason, MQCC_FAILED, MQRC_HCONN_ASYNC_ACTIVE);
    bool handler = cbd ? cbd->CallbackType == MQCBT_EVENT_HANDLER : hobj == MQHO_NONE;

    if (operation == MQOP_REGISTER) {
        if (!cbd) return result(compCode, reason, MQCC_FAILED, MQRC_CBD_ERROR);
        if (cbd->CallbackType != MQCBT_MESSAGE_CONSUMER && cbd->CallbackType != MQCBT_EVENT_HANDLER)
            return result(compCode, reason, MQCC_FAILED, MQRC_CALLBACK_TYPE_ERROR);
        if (!cbd->CallbackFunction) return result(compCode, reason, MQCC_FAILED, MQRC_CALLBACK_ROUTINE_ERROR);
        if (cbd->Options & ~kCbdOptions) return result(compCode, reason, MQCC_FAILED, MQRC_CBD_OPTIONS_ERROR);
        if (cbd->MaxMsgLength < MQCBD_FULL_MSG_LENGTH)
            return result(compCode, reason, MQCC_FAILED, MQRC_MAX_MSG_LENGTH_ERROR);
        if (heardQuiesce_ && (cbd->Options & MQCBDO_FAIL_IF_QUIESCING))
            return result(compCode, reason, MQCC_FAILED, MQRC_Q_MGR_QUIESCING);
        auto c = std::make_shared<Consumer>();
        c->cbd = *cbd;
        c->hobj = handler ? MQHO_NONE : hobj;
        if (!handler) {
            if (hobj == MQHO_NONE || hobj == MQHO_UNUSABLE_HOBJ)
                return result(compCode, reason, MQCC_FAILED, MQRC_HOBJ_ERROR);
            const MQMD *md = static_cast<const MQMD *>(msgDesc);
            const MQGMO *gmo = static_cast<const MQGMO *>(getMsgOpts);
            if (md && std::memcmp(md->StrucId, MQMD_STRUC_ID, 4) != 0)
                return result(compCode, reason, MQCC_FAILED, MQRC_MD_ERROR);
            if (gmo && (std::memcmp(gmo->StrucId, MQGMO_STRUC_ID, 4) != 0 || gmo->Version < MQGMO_VERSION_1 ||
                        gmo->Version > MQGMO_VERSION_4))
                return result(compCode, reason, MQCC_FAILED, MQRC_GMO_ERROR);
            c->md = MQMD_DEFAULT;
            if (md) std::memcpy(&c->md, md, md->Version == MQMD_VERSION_1 ? MQMD_LENGTH_1 : sizeof(MQMD));
            c->md.Version = MQMD_VERSION_2;
            c->gmo = MQGMO_DEFAULT;
            if (gmo) std::memcpy(&c->gmo, gmo, gmoLength(gmo->Version));
            c->gmo.Version = MQGMO_VERSION_4;
            c->idleSinceMs = nowMs();
            consumers_[hobj] = c;
        } else {
            handler_ = c;
        }
        ensureThread();
        cv_.notify_all();
        lk.unlock();
        if (cbd->Options & MQCBDO_REGISTER_CALL) callDirect(c, MQCBCT_REGISTER_CALL);
        return result(compCode, reason, MQCC_OK, MQRC_NONE);
    }

    std::shared_ptr<Consumer> c;
    if (handler) {
        c = handler_;
    } else {
        auto it = consumers_.find(hobj);
        if (it != consumers_.end()) c = it->second;
    }
    if (!c) return result(compCode, reason, MQCC_FAILED, MQRC_CALLBACK_NOT_REGISTERED);
    switch (operation) {
        case MQOP_DEREGISTER:
            if (handler)
                handler_.reset();
            else
                consumers_.erase(hobj);
            waitIdle(lk);
            lk.unlock();
            if (c->cbd.Options & MQCBDO_DEREGISTER_CALL) callDirect(c, MQCBCT_DEREGISTER_CALL);
            break;
        case MQOP_SUSPEND:
            c->suspended = true;
            break;
        case MQOP_RESUME:
            c->suspended = false;
            c->idleSinceMs = nowMs();
            cv_.notify_all();
            break;
    }
    result(compCode, reason, MQCC_OK, MQRC_NONE);
}

std::function<void()> Dispatcher::closed(MQHOBJ hobj) {
    std::unique_lock<std::mutex> lk(mu_);
    auto it = consumers_.find(hobj);
    if (it == consumers_.end()) return nullptr;
    std::shared_ptr<Consumer> c = it->second;
    consumers_.erase(it);
    auto fn = reinterpret_cast<MQCB_FUNCTION *>(c->cbd.CallbackFunction);
    if (!(c->cbd.Options & MQCBDO_DEREGISTER_CALL) || !fn) return nullptr;
    // Taken now: by the time the call is made another thread may have ended the connection and
    // this dispatcher with it.
    MQCBC cbc = context(*c, MQCBCT_DEREGISTER_CALL, MQCC_OK, MQRC_NONE);
    MQHCONN hconn = hconn_;
    return [fn, hconn, cbc]() mutable { fn(hconn, nullptr, nullptr, nullptr, &cbc); };
}

// ---- MQCTL ----

void Dispatcher::ctl(MQLONG operation, const void *controlOpts, MQLONG &compCode, MQLONG &reason) {
    const MQCTLO *ctlo = static_cast<const MQCTLO *>(controlOpts);
    if (ctlo && (std::memcmp(ctlo->StrucId, MQCTLO_STRUC_ID, 4) != 0 || ctlo->Version != MQCTLO_VERSION_1))
        return result(compCode, reason, MQCC_FAILED, MQRC_CTLO_ERROR);
    MQLONG options = ctlo ? ctlo->Options : MQCTLO_NONE;
    if (options & ~(MQCTLO_FAIL_IF_QUIESCING | MQCTLO_THREAD_AFFINITY))
        return result(compCode, reason, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    std::unique_lock<std::mutex> lk(mu_);
    if (endReason_) return result(compCode, reason, MQCC_FAILED, endReason_);
    if (heardQuiesce_ && (options & MQCTLO_FAIL_IF_QUIESCING))
        return result(compCode, reason, MQCC_FAILED, MQRC_Q_MGR_QUIESCING);
    bool fromCallback = onCallbackThread();
    switch (operation) {
        case MQOP_START:
        case MQOP_START_WAIT:
            if (state_ == State::Started && !fromCallback)
                return result(compCode, reason, MQCC_FAILED, MQRC_HCONN_ASYNC_ACTIVE);
            if (fromCallback && operation == MQOP_START_WAIT)
                return result(compCode, reason, MQCC_FAILED, MQRC_ENVIRONMENT_ERROR);
            if (consumers_.empty() && !handler_)
                return result(compCode, reason, MQCC_FAILED, MQRC_NO_CALLBACKS_ACTIVE);
            if (state_ == State::Stopped) {
                connectionArea_ = ctlo ? ctlo->ConnectionArea : nullptr;
                queueControl(MQCBCT_START_CALL, MQCBDO_START_CALL);
                for (auto &[h, c] : consumers_) c->idleSinceMs = nowMs();
            }
            state_ = State::Started;
            ensureThread();
            cv_.notify_all();
            if (operation == MQOP_START_WAIT)
                cv_.wait(lk, [this] { return state_ == State::Stopped || quit_; });
            if (operation == MQOP_START_WAIT && endReason_)
                return result(compCode, reason, MQCC_FAILED, endReason_);
            break;
        case MQOP_STOP:
            if (state_ != State::Stopped) {
                state_ = State::Stopped;
                queueControl(MQCBCT_STOP_CALL, MQCBDO_STOP_CALL);
                ++stopsAsked_;
                cv_.notify_all();
            }
            waitIdle(lk);
            break;
        case MQOP_SUSPEND:
            if (state_ == State::Started) state_ = State::Suspended;
            waitIdle(lk);
            break;
        case MQOP_RESUME:
            if (state_ == State::Started && !fromCallback)
                return result(compCode, reason, MQCC_FAILED, MQRC_HCONN_ASYNC_ACTIVE);
            if (state_ == State::Suspended) {
                state_ = State::Started;
                for (auto &[h, c] : consumers_) c->idleSinceMs = nowMs();
                cv_.notify_all();
            }
            break;
        default:
            return result(compCode, reason, MQCC_FAILED, MQRC_OPERATION_ERROR);
    }
    result(compCode, reason, MQCC_OK, MQRC_NONE);
}

void Dispatcher::shutdown() {
    std::vector<std::shared_ptr<Consumer>> all;
    {
        std::unique_lock<std::mutex> lk(mu_);
        if (onCallbackThread()) {  // MQDISC from a callback: the thread ends after it returns
            quit_ = true;
            state_ = State::Stopped;
            cv_.notify_all();
            return;
        }
        state_ = State::Stopped;
        quit_ = true;
        cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::unique_lock<std::mutex> lk(mu_);
    for (auto &[h, c] : consumers_) all.push_back(c);
    if (handler_) all.push_back(handler_);
    consumers_.clear();
    handler_.reset();
    lk.unlock();
    for (auto &c : all)
        if (c->cbd.Options & MQCBDO_DEREGISTER_CALL) callDirect(c, MQCBCT_DEREGISTER_CALL);
}

// ---- the callback thread ----

void Dispatcher::deliverEvent(std::unique_lock<std::mutex> &lk, MQLONG reason) {
    // The event handler hears it; without one, the consumers do. A consumer that asked to fail
    // when quiescing is told of quiescing in any case.
    std::vector<std::shared_ptr<Consumer>> targets;
    if (handler_) targets.push_back(handler_);
    for (auto &[h, c] : consumers_) {
        bool fiq = (c->gmo.Options & MQGMO_FAIL_IF_QUIESCING) || (c->cbd.Options & MQCBDO_FAIL_IF_QUIESCING);
        if (!handler_ || (reason == MQRC_Q_MGR_QUIESCING && fiq)) targets.push_back(c);
    }
    if (reason != MQRC_Q_MGR_QUIESCING) state_ = State::Stopped;
    for (auto &c : targets) {
        MQCBC cbc = context(*c, MQCBCT_EVENT_CALL, MQCC_FAILED, reason);
        invoke(lk, c, cbc, nullptr, nullptr, nullptr);
    }
    cv_.notify_all();
}

// One non-waiting get for a consumer and the call that follows; true when a message came.
// The connection counts as busy from before the get until the callback has returned: a SUSPEND
// or STOP that arrives meanwhile waits, so that a message got under syncpoint has been seen by
// its callback before anyone can commit the get on the suspended connection.
bool Dispatcher::deliverOne(std::unique_lock<std::mutex> &lk, const std::shared_ptr<Consumer> &c) {
    running_ = true;
    struct Idle {  // runs with the lock held, on every way out
        Dispatcher &d;
        ~Idle() {
            d.running_ = false;
            d.cv_.notify_all();
        }
    } idle{*this};
    MQMD md = c->md;
    MQGMO gmo = c->gmo;
    bool waits = gmo.Options & MQGMO_WAIT;
    gmo.Options = (gmo.Options & ~MQGMO_WAIT) | MQGMO_NO_WAIT;
    gmo.WaitInterval = 0;
    bool full = c->cbd.MaxMsgLength == MQCBD_FULL_MSG_LENGTH;
    size_t size =
        full ? (c->buffer.empty() ? 4096 : c->buffer.size()) : static_cast<size_t>(c->cbd.MaxMsgLength);
    if (c->buffer.size() < size || c->buffer.empty()) c->buffer.resize(size ? size : 1);
    MQLONG dataLength = 0, cc = MQCC_FAILED, rc = MQRC_NONE;
    lk.unlock();
    for (;;) {
        transport_.get(c->hobj, md, gmo, static_cast<MQLONG>(size), c->buffer.data(), dataLength, cc, rc);
        if (!(full && rc == MQRC_TRUNCATED_MSG_FAILED && static_cast<size_t>(dataLength) > size)) break;
        size = static_cast<size_t>(dataLength);  // the whole message was asked for: get it again, bigger
        c->buffer.resize(size);
        md = c->md;
    }
    lk.lock();
    if (cc != MQCC_FAILED || rc == MQRC_TRUNCATED_MSG_FAILED) {
        bool removed =
            cc != MQCC_FAILED &&
            !(c->gmo.Options & (MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT | MQGMO_BROWSE_MSG_UNDER_CURSOR));
        MQCBC cbc = context(*c, removed ? MQCBCT_MSG_REMOVED : MQCBCT_MSG_NOT_REMOVED, cc, rc);
        cbc.DataLength = dataLength;
        cbc.BufferLength = static_cast<MQLONG>(size);
        c->emptyReported = false;
        c->lastError = MQRC_NONE;
        invoke(lk, c, cbc, &md, &gmo, c->buffer.data());
        c->idleSinceMs = nowMs();
        return cc != MQCC_FAILED;
    }
    if (rc == MQRC_NO_MSG_AVAILABLE) {
        MQLONG wait = waits ? c->gmo.WaitInterval : 0;
        if (!c->emptyReported && wait != MQWI_UNLIMITED && nowMs() - c->idleSinceMs >= wait) {
            c->emptyReported = true;
            MQCBC cbc = context(*c, MQCBCT_EVENT_CALL, MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
            invoke(lk, c, cbc, nullptr, nullptr, nullptr);
        }
        return false;
    }
    if (rc == MQRC_CONNECTION_BROKEN || rc == MQRC_Q_MGR_STOPPING || rc == MQRC_Q_MGR_QUIESCING ||
        rc == MQRC_CONNECTION_QUIESCING || rc == MQRC_CONNECTION_STOPPING) {
        lk.unlock();
        heard(rc);
        lk.lock();
        return false;
    }
    if (rc != c->lastError) {  // anything else (get inhibited, a closed handle...): once per kind
        c->lastError = rc;
        MQCBC cbc = context(*c, MQCBCT_EVENT_CALL, cc, rc);
        invoke(lk, c, cbc, nullptr, nullptr, nullptr);
    }
    return false;
}

void Dispatcher::run() {
    tlsCallbackOf = this;
    std::unique_lock<std::mutex> lk(mu_);
    while (!quit_) {
        if (!pendingEvents_.empty()) {
            MQLONG reason = pendingEvents_.front();
            pendingEvents_.erase(pendingEvents_.begin());
            deliverEvent(lk, reason);
            continue;
        }
        if (!pendingControl_.empty()) {
            MQCBC cbc = pendingControl_.front();
            pendingControl_.pop_front();
            std::shared_ptr<Consumer> c = cbc.Hobj == MQHO_NONE ? handler_ : nullptr;
            if (cbc.Hobj != MQHO_NONE) {
                auto it = consumers_.find(cbc.Hobj);
                if (it != consumers_.end()) c = it->second;
            }
            if (c) invoke(lk, c, cbc, nullptr, nullptr, nullptr);
            continue;
        }
        if (stopsDone_ != stopsAsked_) {
            stopsDone_ = stopsAsked_;
            cv_.notify_all();
        }
        bool delivered = false;
        if (state_ == State::Started && !endReason_) {
            // One turn for each consumer after the last one served, in handle order.
            std::vector<std::shared_ptr<Consumer>> turn;
            for (auto it = consumers_.upper_bound(nextTurn_); it != consumers_.end(); ++it)
                turn.push_back(it->second);
            for (auto it = consumers_.begin(); it != consumers_.end() && it->first <= nextTurn_; ++it)
                turn.push_back(it->second);
            for (auto &c : turn) {
                if (state_ != State::Started || quit_ || !pendingEvents_.empty()) break;
                if (c->suspended || consumers_.count(c->hobj) == 0 || consumers_[c->hobj] != c) continue;
                nextTurn_ = c->hobj;
                if (deliverOne(lk, c)) delivered = true;
            }
        }
        if (delivered || quit_) continue;
        bool watch = (handler_ || state_ != State::Stopped) && !endReason_;
        if (watch && nowMs() >= nextProbeMs_) {
            lk.unlock();
            MQLONG status = transport_.probe();
            if (status != MQRC_NONE && status != Transport::kBusy) heard(status);
            lk.lock();
            nextProbeMs_ = nowMs() + kProbeMs;
            continue;
        }
        cv_.wait_for(lk, std::chrono::milliseconds(state_ == State::Started ? kPollMs : kProbeMs));
    }
    tlsCallbackOf = nullptr;
}

}  // namespace qmasync
