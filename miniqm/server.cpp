// miniqmd's network side: listens on the queue manager's Unix socket (bindings) and TCP port
// (client), runs one thread per connection that decodes requests, calls the queue manager and
// sends the replies, and takes the server down in order on a stop request or SIGTERM.
#include "miniqm/server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "miniqm/os.h"
#include "miniqm/paths.h"
#include "miniqm/qmgr.h"
#include "miniqm/wire.h"

namespace qmserver {

namespace {

using qmwire::Reader;
using qmwire::Writer;

struct ServerState {
    qm::QueueManager qm;
    std::mutex mu;
    std::condition_variable done;
    std::set<int> fds;  // open client sockets
    int threads = 0;    // connection threads still running
    bool closing = false;
};

void replyHeader(Writer &w, uint16_t op, uint32_t id, const qm::Result &r) {
    w.u16(op);
    w.u16(0);
    w.u32(id);
    w.i32(r.cc);
    w.i32(r.reason);
}

qm::OpenRequest readOd(Reader &r) {
    qm::OpenRequest od;
    od.version = r.i32();
    od.objectType = r.i32();
    od.objectName = r.str();
    od.objectQMgrName = r.str();
    od.dynamicQName = r.str();
    od.objectString = r.str();
    return od;
}

void writeMd(Writer &w, const MQMD &md) {
    w.raw(&md, sizeof md);
}
void readMd(Reader &r, MQMD &md) {
    r.raw(&md, sizeof md);
}

// Handles one request of a connected (or not yet connected) client. Returns false when the
// connection must be dropped without a reply (a broken connection on demand, or after MQDISC).
bool handle(ServerState &s, qm::Conn *&conn, const std::string &body, std::string &reply, bool &endAfter) {
    Reader r(body);
    uint16_t op = r.u16();
    r.u16();
    uint32_t id = r.u32();
    Writer w;
    qm::Result res;
    if (r.failed()) return false;
    if (op == qmwire::OP_ADMIN) {
        std::string text = r.str();
        bool ok = true;
        std::string out;
        if (text == "stop quiesce") {
            s.qm.quiesce();
            out = "quiescing\n";
        } else if (text == "stop now") {
            s.qm.stopNow();
            out = "stopping\n";
        } else {
            out = s.qm.admin(text, ok);
        }
        replyHeader(w, op, id, ok ? qm::Result::ok() : qm::Result::fail(MQRC_UNEXPECTED_ERROR));
        w.str(out);
        reply = w.bytes();
        return true;
    }
    if (op == qmwire::OP_CONNECT) {
        uint32_t version = r.u32();
        std::string qmName = r.str();
        std::string appl = r.str();
        std::string user = r.str();
        r.i32();  // MQCNO options: accepted as IBM MQ accepts the system's 0x1000A040
        if (version != qmwire::kProtocolVersion) {
            res = qm::Result::fail(MQRC_Q_MGR_NOT_AVAILABLE);
        } else if (conn) {
            res = qm::Result::warn(MQRC_ALREADY_CONNECTED);
        } else if (!qmName.empty() && qmName != s.qm.name()) {
            res = qm::Result::fail(MQRC_Q_MGR_NAME_ERROR);
        } else {
            res = s.qm.connect(appl, user, conn);
        }
        replyHeader(w, op, id, res);
        w.str(s.qm.name());
        reply = w.bytes();
        return true;
    }
    if (!conn) {
        replyHeader(w, op, id, qm::Result::fail(MQRC_HCONN_ERROR));
        reply = w.bytes();
        return true;
    }
    switch (op) {
        case qmwire::OP_DISC: {
            res = s.qm.disconnect(conn, true);
            conn = nullptr;
            endAfter = true;
            replyHeader(w, op, id, res);
            break;
        }
        case qmwire::OP_OPEN: {
            qm::OpenRequest od = readOd(r);
            MQLONG options = r.i32();
            od.selection = r.str();
            if (r.failed()) return false;
            MQLONG hobj = MQHO_UNUSABLE_HOBJ;
            qm::OpenReply out;
            res = s.qm.open(conn, od, options, hobj, out);
            replyHeader(w, op, id, res);
            w.i32(hobj);
            w.str(out.objectName);
            w.str(out.resolvedQName);
            w.str(out.resolvedQMgrName);
            w.i32(out.resolvedType);
            break;
        }
        case qmwire::OP_CLOSE: {
            MQLONG hobj = r.i32();
            MQLONG options = r.i32();
            res = s.qm.close(conn, hobj, options);
            replyHeader(w, op, id, res);
            break;
        }
        case qmwire::OP_PUT:
        case qmwire::OP_PUT1: {
            qm::OpenRequest od;
            MQLONG hobj = 0;
            if (op == qmwire::OP_PUT)
                hobj = r.i32();
            else
                od = readOd(r);
            MQMD md;
            readMd(r, md);
            qm::PutOptions pmo;
            pmo.version = r.i32();
            pmo.options = r.i32();
            pmo.context = r.i32();
            std::string data = r.str();
            pmo.props = r.str();
            if (r.failed()) return false;
            if (op == qmwire::OP_PUT) {
                res = s.qm.put(conn, hobj, md, pmo, data);
            } else {
                qm::OpenReply out;
                res = s.qm.put1(conn, od, md, pmo, data, out);
            }
            replyHeader(w, op, id, res);
            writeMd(w, md);
            w.str(pmo.resolvedQName);
            w.str(pmo.resolvedQMgrName);
            break;
        }
        case qmwire::OP_GET: {
            MQLONG hobj = r.i32();
            MQMD md;
            readMd(r, md);
            qm::GetOptions gmo;
            gmo.version = r.i32();
            gmo.options = r.i32();
            gmo.waitInterval = r.i32();
            gmo.matchOptions = r.i32();
            MQLONG bufferLength = r.i32();
            gmo.wantHandle = r.u8() != 0;
            if (r.failed()) return false;
            std::string data;
            MQLONG dataLength = 0;
            res = s.qm.get(conn, hobj, md, gmo, bufferLength, data, dataLength);
            replyHeader(w, op, id, res);
            writeMd(w, md);
            w.i32(dataLength);
            w.str(data);
            w.str(gmo.resolvedQName);
            w.i32(gmo.returnedLength);
            w.str(gmo.props);
            break;
        }
        case qmwire::OP_INQ:
        case qmwire::OP_SET: {
            MQLONG hobj = r.i32();
            uint32_t n = r.u32();
            if (n > 4096) return false;
            std::vector<MQLONG> selectors(n);
            for (uint32_t i = 0; i < n; ++i) selectors[i] = r.i32();
            if (op == qmwire::OP_INQ) {
                MQLONG intCount = r.i32();
                MQLONG charLength = r.i32();
                if (r.failed()) return false;
                std::vector<MQLONG> ints;
                std::string chars;
                res = s.qm.inq(conn, hobj, selectors, intCount, charLength, ints, chars);
                replyHeader(w, op, id, res);
                w.u32(static_cast<uint32_t>(ints.size()));
                for (MQLONG v : ints) w.i32(v);
                w.str(chars);
            } else {
                uint32_t ni = r.u32();
                if (ni > 4096) return false;
                std::vector<MQLONG> ints(ni);
                for (uint32_t i = 0; i < ni; ++i) ints[i] = r.i32();
                std::string chars = r.str();
                if (r.failed()) return false;
                res = s.qm.set(conn, hobj, selectors, ints, chars);
                replyHeader(w, op, id, res);
            }
            break;
        }
        case qmwire::OP_CMIT:
            res = s.qm.commit(conn);
            replyHeader(w, op, id, res);
            break;
        case qmwire::OP_BACK:
            res = s.qm.backout(conn);
            replyHeader(w, op, id, res);
            break;
        case qmwire::OP_SUB: {
            qm::SubRequest sd;
            sd.version = r.i32();
            sd.options = r.i32();
            sd.objectName = r.str();
            sd.objectString = r.str();
            sd.subName = r.str();
            sd.hobj = r.i32();
            r.raw(sd.correlId, sizeof sd.correlId);
            sd.selection = r.str();
            if (r.remaining() >= 4) sd.subExpiry = r.i32();
            if (r.failed()) return false;
            MQLONG hobj = sd.hobj, hsub = MQHO_UNUSABLE_HOBJ, subExpiry = sd.subExpiry;
            std::string topic;
            MQBYTE24 correl{};
            res = s.qm.subscribe(conn, sd, hobj, hsub, topic, correl, subExpiry);
            replyHeader(w, op, id, res);
            w.i32(hobj);
            w.i32(hsub);
            w.str(topic);
            w.raw(correl, sizeof correl);
            w.str(res.failed() ? std::string() : s.qm.selectionOf(conn, hsub));
            w.i32(subExpiry);
            break;
        }
        case qmwire::OP_SUBRQ: {
            MQLONG hsub = r.i32();
            MQLONG action = r.i32();
            MQLONG options = r.remaining() >= 4 ? r.i32() : MQSRO_NONE;
            if (r.failed()) return false;
            MQLONG numPubs = 0;
            res = s.qm.subrq(conn, hsub, action, options, numPubs);
            replyHeader(w, op, id, res);
            w.i32(numPubs);
            break;
        }
        case qmwire::OP_FAULT: {
            std::string verb = r.str();
            MQLONG hobj = r.i32();
            if (r.failed()) return false;
            res = s.qm.libraryFault(conn, verb, hobj);
            replyHeader(w, op, id, res);
            break;
        }
        case qmwire::OP_PING: {
            // For the libraries' event handlers: quiescing and stopping are heard here while idle.
            qm::State st = s.qm.state();
            res = st == qm::State::Running     ? qm::Result::ok()
                  : st == qm::State::Quiescing ? qm::Result::fail(MQRC_Q_MGR_QUIESCING)
                                               : qm::Result::fail(MQRC_Q_MGR_STOPPING);
            replyHeader(w, op, id, res);
            break;
        }
        default:
            return false;
    }
    // A connection broken on demand: drop it the way a dead channel would.
    if (res.reason == MQRC_CONNECTION_BROKEN) return false;
    reply = w.bytes();
    return true;
}

void serveConnection(ServerState &s, int fd) {
    qm::Conn *conn = nullptr;
    std::string body, reply;
    for (;;) {
        if (!qmwire::recvFrame(fd, body)) break;
        bool endAfter = false;
        if (!handle(s, conn, body, reply, endAfter)) break;
        if (!qmwire::sendFrame(fd, reply)) break;
        if (endAfter) break;
    }
    // A connection that ends without MQDISC is broken: its unit of work is backed out, and there
    // is nobody left to hear how that went.
    if (conn) {
        qm::Result ended = s.qm.disconnect(conn, false);
        (void)ended;
    }
    std::lock_guard<std::mutex> lock(s.mu);
    s.fds.erase(fd);
    qmos::closeFd(fd);
    --s.threads;
    s.done.notify_all();
}

}  // namespace

int run(const std::string &dir, const qmpaths::QmConfig &cfg, bool sync, int readyFd) {
    qmos::ignoreSigpipe();
    qmos::blockStopSignals();
    auto say = [&](const std::string &text) {
        std::fprintf(stderr, "miniqmd(%s): %s\n", cfg.name.c_str(), text.c_str());
        std::fflush(stderr);
    };
    // A server killed a moment ago may still hold the lock while its last threads end (its pid
    // already gone or a zombie, so the tool saw nothing running): wait a little for it.
    int lockFd = qmos::lockFile(dir + "/miniqmd.lock");
    if (lockFd < 0) say("waiting for the previous server to end");
    for (int waited = 0; lockFd < 0 && waited < 5000; waited += 20) {
        qmos::sleepMs(20);
        lockFd = qmos::lockFile(dir + "/miniqmd.lock");
    }
    if (lockFd < 0) {
        say("queue manager is already running");
        return 3;
    }
    ServerState s;
    std::string error, note;
    if (!s.qm.start(dir, cfg.name, cfg.cmdLevel, sync, error, note)) {
        say("cannot start: " + error);
        return 4;
    }
    if (!note.empty()) say(note);
    int unixFd = qmos::listenUnix(qmpaths::socketPath(dir));
    int port = 0;
    int tcpFd = qmos::listenTcp(cfg.port, &port);
    if (unixFd < 0 || tcpFd < 0) {
        say("cannot listen: " + qmos::errorText(qmos::lastError()));
        return 5;
    }
    int wake[2];
    if (!qmos::makePipe(wake)) return 5;
    // Without its run file the tool could neither find nor stop this server.
    if (!qmpaths::writeRunInfo(dir, {qmos::currentPid(), port})) {
        say("cannot write the run file: " + qmos::errorText(qmos::lastError()));
        return 5;
    }
    say("started, pid " + std::to_string(qmos::currentPid()) + ", port " + std::to_string(port));
    if (readyFd >= 0) {
        std::string line = "ready " + std::to_string(qmos::currentPid()) + " " + std::to_string(port) + "\n";
        // Unheard, the tool reports that the server did not start; the log says why.
        if (!qmos::writeFd(readyFd, line.data(), line.size()))
            say("cannot report readiness: " + qmos::errorText(qmos::lastError()));
        qmos::closeFd(readyFd);
    }

    std::thread signals([&s] {
        qmos::waitStopSignal();
        s.qm.stopNow();
    });
    signals.detach();

    std::thread acceptor([&] {
        std::vector<int> fds = {unixFd, tcpFd, wake[0]};
        for (;;) {
            int which = qmos::pollReadable(fds);
            if (which < 0 || which == 2) return;
            int fd = qmos::acceptConn(fds[static_cast<size_t>(which)]);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(s.mu);
            if (s.closing) {
                qmos::closeFd(fd);
                continue;
            }
            s.fds.insert(fd);
            ++s.threads;
            std::thread(serveConnection, std::ref(s), fd).detach();
        }
    });

    s.qm.waitForEnd();
    bool quiesced = s.qm.state() != qm::State::Stopping;
    say(quiesced ? "quiesced, ending" : "ending immediately");
    s.qm.stopNow();
    // One byte into an empty pipe of our own: it cannot be refused.
    bool woken = qmos::writeFd(wake[1], "x", 1);
    (void)woken;
    acceptor.join();
    {
        std::unique_lock<std::mutex> lock(s.mu);
        // After a quiesce the last MQDISC has been done but its reply may still be on its way:
        // let the connection threads finish before cutting their sockets, or that application
        // would see its clean disconnect reported as a broken connection.
        if (quiesced) s.done.wait_for(lock, std::chrono::seconds(5), [&s] { return s.threads == 0; });
        s.closing = true;
        for (int fd : s.fds) qmos::shutdownFd(fd);
        s.done.wait(lock, [&s] { return s.threads == 0; });
    }
    s.qm.shutdown();
    qmos::closeFd(unixFd);
    qmos::closeFd(tcpFd);
    qmos::removeFile(qmpaths::socketPath(dir));
    qmpaths::removeRunInfo(dir);
    say("ended");
    qmos::closeFd(lockFd);
    return 0;
}

}  // namespace qmserver
