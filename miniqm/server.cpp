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

#include "miniqm/cmdserver.h"
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
    qmcmd::CommandServer cmdServer{qm};
    std::mutex mu;
    std::condition_variable ending;  // wakes the timer thread at the end
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
    od.alternateUserId = qm::trimBlanks(r.str());
    return od;
}

void writeMd(Writer &w, const MQMD &md) {
    w.raw(&md, sizeof md);
}
void readMd(Reader &r, MQMD &md) {
    r.raw(&md, sizeof md);
}

// One request being answered: its reader (past the header), the reply being written, and the
// connection, which MQCONN sets and MQDISC ends.
struct Request {
    ServerState &s;
    bool tcp;                 // a client connection
    const std::string &peer;  // a bindings connection's OS user, from the kernel
    qm::Conn *&conn;
    Reader &r;
    Writer &w;
    uint16_t op;
    uint32_t id;
    qm::Result res;         // what the reply's header said
    bool endAfter = false;  // no more requests after this reply
    void header(const qm::Result &result) {
        res = result;
        replyHeader(w, op, id, result);
    }
};

// The request handlers: each reads its request and writes its reply; false drops the connection
// without a reply (a malformed request).

bool onAdmin(Request &q) {
    std::string text = q.r.str();
    // Administration is the administrator's, on this machine: never over TCP, where anyone could
    // claim to be anyone.
    if (q.tcp || !q.s.qm.principalFor(q.peer).admin) {
        q.header(qm::Result::fail(MQRC_NOT_AUTHORIZED));
        q.w.str("AMQ8135E: Not authorized.\n");
        return true;
    }
    bool ok = true;
    std::string out;
    if (text == "stop quiesce") {
        // Servers the queue manager controls are told to stop first, as IBM MQ does; those that
        // stay hear 2161 with everyone else.
        q.s.qm.stopServices();
        q.s.qm.quiesce();
        out = "quiescing\n";
    } else if (text == "stop now") {
        q.s.qm.stopNow();
        out = "stopping\n";
    } else if (text == "cmdserver start") {
        ok = q.s.cmdServer.start(out);
    } else if (text == "cmdserver stop") {
        ok = q.s.cmdServer.stop(out);
    } else {
        out = q.s.qm.admin(text, ok);
    }
    q.header(ok ? qm::Result::ok() : qm::Result::fail(MQRC_UNEXPECTED_ERROR));
    q.w.str(out);
    return true;
}

bool onConnect(Request &q) {
    uint32_t version = q.r.u32();
    std::string qmName = q.r.str();
    std::string appl = q.r.str();
    std::string user = q.r.str();
    MQLONG options = q.r.i32();  // accepted as IBM MQ accepts the system's 0x1000A040
    qm::Conn who;
    if (q.r.remaining() > 0) {
        who.pid = q.r.i32();
        who.tid = q.r.i32();
        who.channel = q.r.str();
    }
    if (q.tcp) {
        who.client = true;
        who.connName = "127.0.0.1";  // the only address the server listens on
    } else {
        // Bindings: the user is the connecting process's, as the kernel knows it.
        user = q.peer;
    }
    qm::Result res;
    if (version != qmwire::kProtocolVersion) {
        res = qm::Result::fail(MQRC_Q_MGR_NOT_AVAILABLE);
    } else if (q.conn) {
        res = qm::Result::warn(MQRC_ALREADY_CONNECTED);
    } else if (!qmName.empty() && qmName != q.s.qm.name()) {
        res = qm::Result::fail(MQRC_Q_MGR_NAME_ERROR);
    } else {
        res = q.s.qm.connect(appl, user, who, options, q.conn);
    }
    q.header(res);
    q.w.str(q.s.qm.name());
    return true;
}

bool onDisc(Request &q) {
    qm::Result res = q.s.qm.disconnect(q.conn, true);
    q.conn = nullptr;
    q.endAfter = true;
    q.header(res);
    return true;
}

bool onOpen(Request &q) {
    qm::OpenRequest od = readOd(q.r);
    MQLONG options = q.r.i32();
    od.selection = q.r.str();
    if (q.r.failed()) return false;
    MQLONG hobj = MQHO_UNUSABLE_HOBJ;
    qm::OpenReply out;
    q.header(q.s.qm.open(q.conn, od, options, hobj, out));
    q.w.i32(hobj);
    q.w.str(out.objectName);
    q.w.str(out.resolvedQName);
    q.w.str(out.resolvedQMgrName);
    q.w.i32(out.resolvedType);
    return true;
}

bool onClose(Request &q) {
    MQLONG hobj = q.r.i32();
    MQLONG options = q.r.i32();
    q.header(q.s.qm.close(q.conn, hobj, options));
    return true;
}

// MQPUT (by handle) and MQPUT1 (by object descriptor) share everything after the target.
bool onPut(Request &q) {
    qm::OpenRequest od;
    MQLONG hobj = 0;
    if (q.op == qmwire::OP_PUT)
        hobj = q.r.i32();
    else
        od = readOd(q.r);
    MQMD md;
    readMd(q.r, md);
    qm::PutOptions pmo;
    pmo.version = q.r.i32();
    pmo.options = q.r.i32();
    pmo.context = q.r.i32();
    std::string data = q.r.str();
    pmo.props = q.r.str();
    if (q.r.failed()) return false;
    if (q.op == qmwire::OP_PUT) {
        q.header(q.s.qm.put(q.conn, hobj, md, pmo, data));
    } else {
        qm::OpenReply out;
        q.header(q.s.qm.put1(q.conn, od, md, pmo, data, out));
    }
    writeMd(q.w, md);
    q.w.str(pmo.resolvedQName);
    q.w.str(pmo.resolvedQMgrName);
    return true;
}

bool onGet(Request &q) {
    MQLONG hobj = q.r.i32();
    MQMD md;
    readMd(q.r, md);
    qm::GetOptions gmo;
    gmo.version = q.r.i32();
    gmo.options = q.r.i32();
    gmo.waitInterval = q.r.i32();
    gmo.matchOptions = q.r.i32();
    MQLONG bufferLength = q.r.i32();
    gmo.wantHandle = q.r.u8() != 0;
    if (q.r.failed()) return false;
    std::string data;
    MQLONG dataLength = 0;
    q.header(q.s.qm.get(q.conn, hobj, md, gmo, bufferLength, data, dataLength));
    writeMd(q.w, md);
    q.w.i32(dataLength);
    q.w.str(data);
    q.w.str(gmo.resolvedQName);
    q.w.i32(gmo.returnedLength);
    q.w.str(gmo.props);
    return true;
}

// A counted list of MQLONGs (selectors, integer attributes); false when it is too long to be one.
bool readLongs(Reader &r, std::vector<MQLONG> &out) {
    uint32_t n = r.u32();
    if (n > 4096) return false;
    out.resize(n);
    for (uint32_t i = 0; i < n; ++i) out[i] = r.i32();
    return true;
}

bool onInq(Request &q) {
    MQLONG hobj = q.r.i32();
    std::vector<MQLONG> selectors;
    if (!readLongs(q.r, selectors)) return false;
    MQLONG intCount = q.r.i32();
    MQLONG charLength = q.r.i32();
    if (q.r.failed()) return false;
    std::vector<MQLONG> ints;
    std::string chars;
    q.header(q.s.qm.inq(q.conn, hobj, selectors, intCount, charLength, ints, chars));
    q.w.u32(static_cast<uint32_t>(ints.size()));
    for (MQLONG v : ints) q.w.i32(v);
    q.w.str(chars);
    return true;
}

bool onSet(Request &q) {
    MQLONG hobj = q.r.i32();
    std::vector<MQLONG> selectors, ints;
    if (!readLongs(q.r, selectors) || !readLongs(q.r, ints)) return false;
    std::string chars = q.r.str();
    if (q.r.failed()) return false;
    q.header(q.s.qm.set(q.conn, hobj, selectors, ints, chars));
    return true;
}

bool onCommit(Request &q) {
    q.header(q.s.qm.commit(q.conn));
    return true;
}

bool onBackout(Request &q) {
    q.header(q.s.qm.backout(q.conn));
    return true;
}

bool onSub(Request &q) {
    qm::SubRequest sd;
    sd.version = q.r.i32();
    sd.options = q.r.i32();
    sd.objectName = q.r.str();
    sd.objectString = q.r.str();
    sd.subName = q.r.str();
    sd.hobj = q.r.i32();
    q.r.raw(sd.correlId, sizeof sd.correlId);
    sd.selection = q.r.str();
    if (q.r.remaining() >= 4) sd.subExpiry = q.r.i32();
    if (q.r.failed()) return false;
    MQLONG hobj = sd.hobj, hsub = MQHO_UNUSABLE_HOBJ, subExpiry = sd.subExpiry;
    std::string topic;
    MQBYTE24 correl{};
    q.header(q.s.qm.subscribe(q.conn, sd, hobj, hsub, topic, correl, subExpiry));
    q.w.i32(hobj);
    q.w.i32(hsub);
    q.w.str(topic);
    q.w.raw(correl, sizeof correl);
    q.w.str(q.res.failed() ? std::string() : q.s.qm.selectionOf(q.conn, hsub));
    q.w.i32(subExpiry);
    return true;
}

bool onSubrq(Request &q) {
    MQLONG hsub = q.r.i32();
    MQLONG action = q.r.i32();
    MQLONG options = q.r.remaining() >= 4 ? q.r.i32() : MQSRO_NONE;
    if (q.r.failed()) return false;
    MQLONG numPubs = 0;
    q.header(q.s.qm.subrq(q.conn, hsub, action, options, numPubs));
    q.w.i32(numPubs);
    return true;
}

bool onFault(Request &q) {
    std::string verb = q.r.str();
    MQLONG hobj = q.r.i32();
    if (q.r.failed()) return false;
    q.header(q.s.qm.libraryFault(q.conn, verb, hobj));
    return true;
}

// For the libraries' event handlers: quiescing and stopping are heard here while idle.
bool onPing(Request &q) {
    qm::State st = q.s.qm.state();
    q.header(st == qm::State::Running     ? qm::Result::ok()
             : st == qm::State::Quiescing ? qm::Result::fail(MQRC_Q_MGR_QUIESCING)
                                          : qm::Result::fail(MQRC_Q_MGR_STOPPING));
    return true;
}

struct Route {
    uint16_t op;
    bool (*run)(Request &);
    bool needsConn;  // refused with 2018 before MQCONN
};

const Route kRoutes[] = {
    {qmwire::OP_ADMIN, onAdmin, false}, {qmwire::OP_CONNECT, onConnect, false},
    {qmwire::OP_DISC, onDisc, true},    {qmwire::OP_OPEN, onOpen, true},
    {qmwire::OP_CLOSE, onClose, true},  {qmwire::OP_PUT, onPut, true},
    {qmwire::OP_PUT1, onPut, true},     {qmwire::OP_GET, onGet, true},
    {qmwire::OP_INQ, onInq, true},      {qmwire::OP_SET, onSet, true},
    {qmwire::OP_CMIT, onCommit, true},  {qmwire::OP_BACK, onBackout, true},
    {qmwire::OP_SUB, onSub, true},      {qmwire::OP_SUBRQ, onSubrq, true},
    {qmwire::OP_FAULT, onFault, true},  {qmwire::OP_PING, onPing, true},
};

// Handles one request of a connected (or not yet connected) client. Returns false when the
// connection must be dropped without a reply (a broken connection on demand, or after MQDISC).
bool handle(ServerState &s, bool tcp, const std::string &peer, qm::Conn *&conn, const std::string &body,
            std::string &reply, bool &endAfter) {
    Reader r(body);
    uint16_t op = r.u16();
    r.u16();
    uint32_t id = r.u32();
    if (r.failed()) return false;
    const Route *route = nullptr;
    for (const Route &candidate : kRoutes)
        if (candidate.op == op) route = &candidate;
    Writer w;
    if ((!route || route->needsConn) && !conn) {
        replyHeader(w, op, id, qm::Result::fail(MQRC_HCONN_ERROR));
        reply = w.bytes();
        return true;
    }
    if (!route) return false;
    Request q{s, tcp, peer, conn, r, w, op, id, qm::Result::ok()};
    if (!route->run(q)) return false;
    // A connection broken on demand: drop it the way a dead channel would.
    if (route->needsConn && q.res.reason == MQRC_CONNECTION_BROKEN) return false;
    endAfter = q.endAfter;
    reply = w.bytes();
    return true;
}

void serveConnection(ServerState &s, int fd, bool tcp) {
    qm::Conn *conn = nullptr;
    std::string body, reply;
    const std::string peer = tcp ? std::string() : qmos::peerUser(fd);
    for (;;) {
        if (!qmwire::recvFrame(fd, body)) break;
        bool endAfter = false;
        if (!handle(s, tcp, peer, conn, body, reply, endAfter)) break;
        if (conn) conn->fd = fd;
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
    // The user who made the queue manager administers it; one made before that was kept is
    // administered by the owner of its configuration.
    s.qm.setAdministrator(cfg.admin.empty() ? qmos::fileOwner(dir + "/qm.ini") : cfg.admin);
    std::string error, note;
    if (!s.qm.start(dir, cfg.name, cfg.cmdLevel, sync, error, note)) {
        say("cannot start: " + error);
        return 4;
    }
    if (!note.empty()) say(note);
    // Services find miniqm's libraries where programs look for IBM MQ's: MQ_INSTALLATION_PATH/lib64.
    std::string exe = qmos::selfExecutable();
    std::string installPath = dir + "/install";
    if (!qmos::makeDirs(installPath) ||
        !qmos::makeSymlink(exe.substr(0, exe.rfind('/')), installPath + "/lib64"))
        say("cannot link the libraries for services: " + qmos::errorText(qmos::lastError()));
    s.qm.setServiceEnvironment(installPath, dir.substr(0, dir.rfind('/')));
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
    // The command server starts with the queue manager, as IBM MQ's does by default (SCMDSERV).
    std::string started;
    if (!s.cmdServer.start(started)) say(started);
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
            std::thread(serveConnection, std::ref(s), fd, which == 1).detach();
        }
    });

    // Connections are accepted now: the services that start with the queue manager.
    s.qm.startServices();

    // Statistics and accounting intervals end on this thread's ticks.
    std::thread timer([&s] {
        std::unique_lock<std::mutex> lock(s.mu);
        while (!s.closing) {
            lock.unlock();
            s.qm.tick();
            lock.lock();
            s.ending.wait_for(lock, std::chrono::milliseconds(100), [&s] { return s.closing; });
        }
    });

    s.qm.waitForEnd();
    bool quiesced = s.qm.state() != qm::State::Stopping;
    say(quiesced ? "quiesced, ending" : "ending immediately");
    if (quiesced) s.qm.awaitServices(5000);
    s.qm.stopNow();
    s.cmdServer.end();
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
        s.ending.notify_all();
        for (int fd : s.fds) qmos::shutdownFd(fd);
        s.done.wait(lock, [&s] { return s.threads == 0; });
    }
    timer.join();
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
