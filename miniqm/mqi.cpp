// The MQI verbs as exported C functions with IBM MQ's signatures. Built twice: as libmqm.so
// (bindings: reaches miniqmd through the queue manager's Unix socket, found by name under
// MINIQM_ROOT) and as libmqic.so (client: TCP, from the MQCD in the MQCNO, MQSERVER
// "CHANNEL/TCP/host(port)" or a client channel table); the client also as mqic.dll for Windows,
// reaching a miniqm on Linux. Each call is one request and one reply on the connection's socket;
// the caller's structures are checked and copied here, the semantics live in the server.
#include <atomic>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "miniqm/admin.h"
#include "miniqm/async.h"
#include "miniqm/chltab.h"
#include "miniqm/control.h"
#include "miniqm/convert.h"
#include "miniqm/msgh.h"
#include "miniqm/os.h"
#include "miniqm/paths.h"
#include "miniqm/wire.h"
#include "mqi/cmqc.h"

#ifdef _WIN32  // mqic.dll: the verbs under their plain C names, as GetProcAddress asks for them
#define MINIQM_EXPORT extern "C" __declspec(dllexport)
#else
#define MINIQM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using qmwire::Reader;
using qmwire::Writer;

struct ClientConn;

// The dispatcher's way to the connection: MQGETs on the callback thread and a probe while idle.
struct ConnTransport : qmasync::Transport {
    ClientConn &conn;
    MQHCONN hconn;
    ConnTransport(ClientConn &c, MQHCONN h) : conn(c), hconn(h) {}
    void get(MQHOBJ hobj, MQMD &md, MQGMO &gmo, MQLONG bufferLength, void *buffer, MQLONG &dataLength,
             MQLONG &compCode, MQLONG &reason) override;
    MQLONG probe() override;
};

struct ClientConn {
    int fd = -1;
    std::mutex mu;        // one call at a time on a connection
    bool shared = false;  // MQCNO_HANDLE_SHARE_BLOCK or _NO_BLOCK
    bool noBlock = false;
    std::thread::id owner;
    std::atomic<bool> broken{false};  // read without mu by MQCB/MQCTL, which must not wait for a call
    uint32_t nextId = 1;
    // MQCB/MQCTL: made at the first of them; the transport must outlive the dispatcher's thread.
    std::mutex asyncMu;
    std::unique_ptr<ConnTransport> transport;
    std::unique_ptr<qmasync::Dispatcher> async;
    qmasync::Dispatcher *dispatcher() {  // null until MQCB or MQCTL was used
        std::lock_guard<std::mutex> lock(asyncMu);
        return async.get();
    }
    ~ClientConn() {
        async.reset();
        qmos::closeFd(fd);
    }
};

std::mutex gTableMu;
std::map<MQHCONN, std::shared_ptr<ClientConn>> gConns;
MQHCONN gNextHconn = 0x01000001;
thread_local MQHCONN tlsHconn = MQHC_UNUSABLE_HCONN;  // this thread's unshared connection

void setResult(PMQLONG cc, PMQLONG rc, MQLONG c, MQLONG r) {
    if (cc) *cc = c;
    if (rc) *rc = r;
}

std::string fixed(const char *field, size_t n) {
    size_t len = 0;
    while (len < n && field[len] != '\0') ++len;
    while (len > 0 && field[len - 1] == ' ') --len;
    return std::string(field, len);
}

void putFixed(char *field, size_t n, const std::string &value) {
    size_t k = value.size() < n ? value.size() : n;
    std::memcpy(field, value.data(), k);
    std::memset(field + k, ' ', n - k);
}

// A connection in use by this call: looked up, checked for the calling thread, and locked.
}  // namespace

bool qmmsgh::connectionUsable(MQHCONN hconn) {
    if (hconn == MQHC_UNASSOCIATED_HCONN) return true;
    std::shared_ptr<ClientConn> c;
    {
        std::lock_guard<std::mutex> lock(gTableMu);
        auto it = gConns.find(hconn);
        if (it != gConns.end()) c = it->second;
    }
    return c && (c->shared || c->owner == std::this_thread::get_id() ||
                 (c->dispatcher() && c->dispatcher()->onCallbackThread()));
}

namespace {

// Callbacks may use their connection even when it is not shared with their thread.
bool mayUse(ClientConn &c) {
    if (c.shared || c.owner == std::this_thread::get_id()) return true;
    qmasync::Dispatcher *d = c.dispatcher();
    return d && d->onCallbackThread();
}

std::shared_ptr<ClientConn> findConn(MQHCONN hconn) {
    std::lock_guard<std::mutex> lock(gTableMu);
    auto it = gConns.find(hconn);
    return it == gConns.end() ? nullptr : it->second;
}

// How a call takes its connection.
enum class Access {
    Verb,      // an MQI verb: 2500 while asynchronous consume runs elsewhere, 2219 with _NO_BLOCK
    Internal,  // the callback thread's gets: never refused as "asynchronous consume active", and
               // waits for the connection even with _NO_BLOCK
    Library,   // the fault check of a verb served in the library: not refused with 2500 (the verb
               // itself decides that), 2219 with _NO_BLOCK as for any verb
    Async,     // the fault check of MQCB/MQCTL: not refused with 2500, and with _NO_BLOCK never
               // waits (MQCTL STOP from outside must get through while a callback uses the
               // connection, and another thread's MQGET may hold it for its whole wait): when the
               // connection is in use the rules are not asked this time
};

class Call {
public:
    Call(MQHCONN hconn, PMQLONG cc, PMQLONG rc, Access access = Access::Verb) : cc_(cc), rc_(rc) {
        conn_ = findConn(hconn);
        if (!conn_ || !mayUse(*conn_)) {
            conn_.reset();
            setResult(cc, rc, MQCC_FAILED, MQRC_HCONN_ERROR);
            return;
        }
        qmasync::Dispatcher *d = conn_->dispatcher();
        if (access == Access::Verb && d && d->admit() != MQRC_NONE) {
            conn_.reset();
            setResult(cc, rc, MQCC_FAILED, MQRC_HCONN_ASYNC_ACTIVE);
            return;
        }
        if (conn_->noBlock && access != Access::Internal) {
            lock_ = std::unique_lock<std::mutex>(conn_->mu, std::try_to_lock);
            if (!lock_.owns_lock()) {
                conn_.reset();
                setResult(cc, rc, MQCC_FAILED, MQRC_CALL_IN_PROGRESS);
                return;
            }
        } else {
            lock_ = std::unique_lock<std::mutex>(conn_->mu);
        }
        if (conn_->broken) {
            setResult(cc, rc, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
            lock_.unlock();  // before the connection may be released (MQDISC drops it)
            conn_.reset();
        }
    }
    bool ok() const { return conn_ != nullptr; }
    ClientConn &conn() { return *conn_; }

    // Starts a request of this op.
    Writer &begin(uint16_t op) {
        w_ = Writer();
        w_.u16(op);
        w_.u16(0);
        w_.u32(conn_->nextId++);
        return w_;
    }
    // Sends the request and reads the reply's header; false (2009 set) when the connection broke.
    bool exchange() {
        if (!qmwire::sendFrame(conn_->fd, w_.bytes()) || !qmwire::recvFrame(conn_->fd, reply_))
            return broken();
        r_ = std::make_unique<Reader>(reply_);
        r_->u16();
        r_->u16();
        r_->u32();
        MQLONG c = r_->i32();
        MQLONG reason = r_->i32();
        if (r_->failed()) return broken();
        setResult(cc_, rc_, c, reason);
        tell(reason);
        return true;
    }
    Reader &reply() { return *r_; }

private:
    bool broken() {
        conn_->broken = true;
        qmos::shutdownFd(conn_->fd);
        setResult(cc_, rc_, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
        tell(MQRC_CONNECTION_BROKEN);
        return false;
    }
    // The connection's event handler hears of quiescing, stopping and breaks from any call.
    void tell(MQLONG reason) {
        if (reason != MQRC_CONNECTION_BROKEN && reason != MQRC_Q_MGR_QUIESCING &&
            reason != MQRC_Q_MGR_STOPPING)
            return;
        if (qmasync::Dispatcher *d = conn_->dispatcher()) d->heard(reason);
    }
    PMQLONG cc_, rc_;
    std::shared_ptr<ClientConn> conn_;
    std::unique_lock<std::mutex> lock_;
    Writer w_;
    std::string reply_;
    std::unique_ptr<Reader> r_;
};

// Faults on demand for a verb served here in the library: the server's fault rules are asked
// before the verb does its own work. True, with the completion code and reason set, when the call
// must fail; after a 2009 rule the connection is really gone and its event handler hears of it.
// Only a call on a connection this thread may use asks: MQHC_UNASSOCIATED_HCONN and handles that
// are not valid here are left to the verb, which refuses them itself.
bool faulted(MQHCONN hconn, const char *verb, MQHOBJ hobj, Access access, PMQLONG pcc, PMQLONG prc) {
    std::shared_ptr<ClientConn> c = findConn(hconn);
    if (!c || !mayUse(*c)) return false;
    MQLONG cc = MQCC_OK, rc = MQRC_NONE;
    {
        Call call(hconn, &cc, &rc, access);
        if (call.ok()) {
            Writer &w = call.begin(qmwire::OP_FAULT);
            w.str(verb);
            w.i32(hobj);
            call.exchange();
        } else if (access == Access::Async && rc == MQRC_CALL_IN_PROGRESS) {
            return false;
        }
    }
    if (cc == MQCC_OK && rc == MQRC_NONE) return false;
    setResult(pcc, prc, cc, rc);
    return true;
}

}  // namespace

bool qmmsgh::faulted(MQHCONN hconn, const char *verb, PMQLONG cc, PMQLONG rc) {
    return ::faulted(hconn, verb, MQHO_NONE, Access::Library, cc, rc);
}

namespace {

// ---- structure checks and copies ----

bool mdIn(const void *p, MQMD &md) {
    const MQMD *in = static_cast<const MQMD *>(p);
    if (!in || std::memcmp(in->StrucId, MQMD_STRUC_ID, 4) != 0) return false;
    if (in->Version == MQMD_VERSION_1) {
        md = MQMD_DEFAULT;
        std::memcpy(&md, in, MQMD_LENGTH_1);
    } else if (in->Version == MQMD_VERSION_2) {
        std::memcpy(&md, in, MQMD_LENGTH_2);
    } else {
        return false;
    }
    return true;
}

void mdOut(void *p, const MQMD &md) {
    MQMD *out = static_cast<MQMD *>(p);
    MQLONG version = out->Version;
    std::memcpy(out, &md, version == MQMD_VERSION_1 ? MQMD_LENGTH_1 : MQMD_LENGTH_2);
    out->Version = version;
}

std::string charv(const MQCHARV &v, const void *base) {
    if (v.VSLength == 0) return std::string();
    const char *p = static_cast<const char *>(v.VSPtr);
    if (!p && v.VSOffset > 0) p = static_cast<const char *>(base) + v.VSOffset;
    if (!p) return std::string();
    if (v.VSLength == MQVS_NULL_TERMINATED) return std::string(p);
    return v.VSLength > 0 ? std::string(p, static_cast<size_t>(v.VSLength)) : std::string();
}

bool odIn(const void *p, Writer &w) {
    const MQOD *od = static_cast<const MQOD *>(p);
    if (!od || std::memcmp(od->StrucId, MQOD_STRUC_ID, 4) != 0 || od->Version < MQOD_VERSION_1 ||
        od->Version > MQOD_VERSION_4)
        return false;
    w.i32(od->Version);
    w.i32(od->ObjectType);
    w.str(fixed(od->ObjectName, 48));
    w.str(fixed(od->ObjectQMgrName, 48));
    w.str(fixed(od->DynamicQName, 48));
    w.str(od->Version >= MQOD_VERSION_4 ? charv(od->ObjectString, od) : std::string());
    w.str(fixed(od->AlternateUserId, 12));
    return true;
}

// A SelectionString as MQOPEN and MQSUB take it, in UTF-8 for the server: MQRC_NONE (empty text
// when there is none), MQRC_SELECTION_STRING_ERROR for an MQCHARV that breaks its rules or is
// longer than MQ_SELECTOR_LENGTH, MQRC_SOURCE_CCSID_ERROR for a code page we cannot read.
MQLONG selectionIn(const MQCHARV &v, const void *base, std::string &out) {
    out.clear();
    if (v.VSLength == 0) return MQRC_NONE;
    if (v.VSLength < 0 && v.VSLength != MQVS_NULL_TERMINATED) return MQRC_SELECTION_STRING_ERROR;
    if (v.VSLength > MQ_SELECTOR_LENGTH || v.VSOffset < 0) return MQRC_SELECTION_STRING_ERROR;
    if (v.VSPtr && v.VSOffset != 0) return MQRC_SELECTION_STRING_ERROR;  // one or the other
    const char *p = v.VSPtr          ? static_cast<const char *>(v.VSPtr)
                    : v.VSOffset > 0 ? static_cast<const char *>(base) + v.VSOffset
                                     : nullptr;
    if (!p) return MQRC_SELECTION_STRING_ERROR;
    size_t n = v.VSLength == MQVS_NULL_TERMINATED ? strnlen(p, MQ_SELECTOR_LENGTH + 1)
                                                  : static_cast<size_t>(v.VSLength);
    if (n > static_cast<size_t>(MQ_SELECTOR_LENGTH)) return MQRC_SELECTION_STRING_ERROR;
    std::string text(p, n);
    // MQCCSI_APPL (the default) and the queue manager's own code page take the text as it is.
    if (v.VSCCSID == MQCCSI_APPL || v.VSCCSID == MQCCSI_Q_MGR || v.VSCCSID == qmconv::kUtf8) {
        out = std::move(text);
        return MQRC_NONE;
    }
    MQLONG why = qmconv::convert(v.VSCCSID, false, text, qmconv::kUtf8, false, out);
    return why == MQRC_NONE ? MQRC_NONE : MQRC_SOURCE_CCSID_ERROR;
}

void odOut(void *p, const std::string &objectName, const std::string &resolvedQ,
           const std::string &resolvedQm, MQLONG resolvedType) {
    MQOD *od = static_cast<MQOD *>(p);
    if (!objectName.empty()) putFixed(od->ObjectName, 48, objectName);
    if (od->Version >= MQOD_VERSION_3) {
        putFixed(od->ResolvedQName, 48, resolvedQ);
        putFixed(od->ResolvedQMgrName, 48, resolvedQm);
    }
    if (od->Version >= MQOD_VERSION_4) od->ResolvedType = resolvedType;
}

bool pmoIn(const void *p, Writer &w) {
    const MQPMO *pmo = static_cast<const MQPMO *>(p);
    if (!pmo || std::memcmp(pmo->StrucId, MQPMO_STRUC_ID, 4) != 0 || pmo->Version < MQPMO_VERSION_1 ||
        pmo->Version > MQPMO_VERSION_3)
        return false;
    w.i32(pmo->Version);
    w.i32(pmo->Options);
    w.i32(pmo->Context);
    return true;
}

void pmoOut(void *p, const std::string &q, const std::string &qm) {
    MQPMO *pmo = static_cast<MQPMO *>(p);
    putFixed(pmo->ResolvedQName, 48, q);
    putFixed(pmo->ResolvedQMgrName, 48, qm);
}

// ---- connecting ----

struct Target {
    bool tcp = false;
    std::string path;                       // Unix socket
    std::vector<qmchl::Address> addresses;  // client: tried in turn until one reaches the queue manager
};

constexpr size_t kMaxChannelTable = 16 << 20;

// A channel table named by a path or a "file://" URL (file:///dir/AMQCLCHL.TAB); false for the
// other schemes, which miniqm cannot fetch.
bool tablePath(const std::string &url, std::string &path) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        path = url;
        return !path.empty();
    }
    if (url.compare(0, scheme, "file") != 0) return false;
    std::string rest = url.substr(scheme + 3);
    if (rest.compare(0, 9, "localhost") == 0) rest.erase(0, 9);
    if (rest.empty() || rest[0] != '/') return false;
#ifdef _WIN32
    // file:///C:/dir/AMQCLCHL.TAB names C:/dir/AMQCLCHL.TAB.
    if (rest.size() >= 3 && std::isalpha(static_cast<unsigned char>(rest[1])) && rest[2] == ':')
        rest.erase(0, 1);
#endif
    path = rest;
    return true;
}

// The whole table file, refused beyond a size no table reaches (a device or a stray big file).
bool loadTable(const std::string &path, std::string &image) {
    int fd = qmos::openRead(path);
    if (fd < 0) return false;
    image.clear();
    char buf[65536];
    long n;
    while ((n = qmos::readFd(fd, buf, sizeof buf)) > 0 && image.size() <= kMaxChannelTable)
        image.append(buf, static_cast<size_t>(n));
    qmos::closeFd(fd);
    return n == 0 && image.size() <= kMaxChannelTable;
}

// Every address of every channel in the table that serves qmName, in the order IBM MQ's client
// tries them. A table that cannot be read, is damaged or has no such channel: 2058, as when the
// client finds no channel definition at all.
MQLONG tableTarget(const std::string &url, const std::string &qmName, Target &t) {
    std::string path, image;
    std::vector<qmchl::Channel> all;
    if (!tablePath(url, path) || !loadTable(path, image) || !qmchl::readTable(image, all))
        return MQRC_Q_MGR_NAME_ERROR;
    std::vector<qmchl::Channel> usable = qmchl::channelsFor(all, qmName);
    if (usable.empty()) return MQRC_Q_MGR_NAME_ERROR;
    for (const qmchl::Channel &ch : usable)
        for (qmchl::Address &a : qmchl::parseConnames(ch.conname)) {
            a.channel = ch.name;
            t.addresses.push_back(std::move(a));
        }
    t.tcp = true;
    return 0;
}

// The table of the MQCNO (version 6): CCDTUrlPtr or CCDTUrlOffset with CCDTUrlLength. Empty when
// none is given; 2600 when both are or the length is negative.
MQLONG cnoTableUrl(const MQCNO *cno, std::string &url) {
    url.clear();
    if (!cno || cno->Version < MQCNO_VERSION_6) return 0;
    if (cno->CCDTUrlPtr && cno->CCDTUrlOffset != 0) return MQRC_CCDT_URL_ERROR;
    const char *p = cno->CCDTUrlPtr;
    if (!p && cno->CCDTUrlOffset != 0) p = reinterpret_cast<const char *>(cno) + cno->CCDTUrlOffset;
    if (!p) return 0;
    if (cno->CCDTUrlLength < 0) return MQRC_CCDT_URL_ERROR;
    url = fixed(p, static_cast<size_t>(cno->CCDTUrlLength));
    return 0;
}

// MQCHLLIB (a directory, also as a "file://" URL) and MQCHLTAB (the file, AMQCLCHL.TAB by default).
// Without MQCHLLIB the folder is IBM MQ's data folder: /var/mqm, on Windows IBM\MQ in the
// ProgramData folder.
std::string envTableUrl() {
    std::string dir = qmos::getEnv("MQCHLLIB"), file = qmos::getEnv("MQCHLTAB");
#ifdef _WIN32
    if (dir.empty()) {
        const std::string data = qmos::getEnv("ProgramData");
        dir = (data.empty() ? std::string("C:\\ProgramData") : data) + "\\IBM\\MQ";
    }
    const auto separator = [](char c) { return c == '/' || c == '\\'; };
#else
    if (dir.empty()) dir = "/var/mqm";
    const auto separator = [](char c) { return c == '/'; };
#endif
    if (file.empty()) file = "AMQCLCHL.TAB";
    while (dir.size() > 1 && separator(dir.back())) dir.pop_back();
    return separator(file[0]) ? dir + file : dir + "/" + file;
}

// MQSERVER "CHANNEL/TCP/conname"; 2058 when it is malformed or names another transport.
MQLONG serverTarget(const std::string &server, Target &t) {
    size_t s1 = server.find('/');
    size_t s2 = s1 == std::string::npos ? s1 : server.find('/', s1 + 1);
    if (s2 == std::string::npos) return MQRC_Q_MGR_NAME_ERROR;
    std::string transport = fixed(server.data() + s1 + 1, s2 - s1 - 1);
    for (char &c : transport) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (transport != "TCP") return MQRC_Q_MGR_NAME_ERROR;
    t.tcp = true;
    t.addresses = qmchl::parseConnames(server.substr(s2 + 1));
    for (qmchl::Address &a : t.addresses) a.channel = fixed(server.data(), s1);
    return 0;
}

// Where the queue manager is: 0, or the reason the connection cannot even be tried. A client takes
// the first of, as IBM MQ's client does: the MQCD of the MQCNO, the channel table named in the
// MQCNO, MQSERVER, the channel table of MQCHLLIB/MQCHLTAB.
MQLONG findTarget(const std::string &qmName, const MQCNO *cno, Target &t) {
    const MQCD *cd = nullptr;
    if (cno && cno->Version >= MQCNO_VERSION_2) {
        if (cno->ClientConnPtr && cno->ClientConnOffset != 0) return MQRC_CLIENT_CONN_ERROR;
        cd = static_cast<const MQCD *>(cno->ClientConnPtr);
        if (!cd && cno->ClientConnOffset != 0)
            cd = reinterpret_cast<const MQCD *>(reinterpret_cast<const char *>(cno) + cno->ClientConnOffset);
    }
#ifdef MINIQM_CLIENT
    const bool client = true;
#else
    const bool client = cd != nullptr || (cno && (cno->Options & MQCNO_CLIENT_BINDING));
#endif
    if (client) {
        if (cd) {
            std::string conname = cd->Version >= MQCD_VERSION_2 ? fixed(cd->ConnectionName, 264)
                                                                : fixed(cd->ShortConnectionName, 20);
            if (conname.empty()) return MQRC_CD_ERROR;
            t.tcp = true;
            t.addresses = qmchl::parseConnames(conname);
            for (qmchl::Address &a : t.addresses) a.channel = fixed(cd->ChannelName, sizeof cd->ChannelName);
            return 0;
        }
        std::string cnoUrl;
        if (MQLONG why = cnoTableUrl(cno, cnoUrl)) return why;
        if (!cnoUrl.empty()) return tableTarget(cnoUrl, qmName, t);
        std::string server = qmos::getEnv("MQSERVER");
        if (!server.empty()) return serverTarget(server, t);
        return tableTarget(envTableUrl(), qmName, t);
    }
    std::string name = qmName;
    if (name.empty()) {
        // The default queue manager: the only one under the root.
        std::vector<std::string> all;
        for (const std::string &n : qmos::listDir(qmpaths::root()))
            if (qmos::fileExists(qmpaths::qmDir(n) + "/qm.ini")) all.push_back(n);
        if (all.size() != 1) return MQRC_Q_MGR_NAME_ERROR;
        name = all[0];
    }
    if (!qmpaths::validName(name)) return MQRC_Q_MGR_NAME_ERROR;
    std::string dir = qmpaths::qmDir(name);
    if (!qmos::fileExists(dir + "/qm.ini")) return MQRC_Q_MGR_NAME_ERROR;
    t.path = qmpaths::socketPath(dir);
    return 0;
}

// One try at a session: the socket, then the connect request naming the queue manager to check
// (empty: any). Returns the socket with the reply's completion code and reason, or -1 with the
// reason when no reply came.
int openSession(const Target &t, size_t i, const std::string &checkName, const std::string &appl,
                const std::string &user, MQLONG options, MQLONG &c, MQLONG &reason) {
    c = MQCC_FAILED;
    int fd = -1;
    if (!t.tcp)
        fd = qmos::connectUnix(t.path);
    else if (t.addresses[i].port > 0)
        fd = qmos::connectTcp(t.addresses[i].host, t.addresses[i].port);
    if (fd < 0) {
        reason = t.tcp ? MQRC_HOST_NOT_AVAILABLE : MQRC_Q_MGR_NOT_AVAILABLE;
        return -1;
    }
    Writer w;
    w.u16(qmwire::OP_CONNECT);
    w.u16(0);
    w.u32(0);
    w.u32(qmwire::kProtocolVersion);
    w.str(checkName);
    w.str(appl);
    w.str(user);
    w.i32(options);
    // Who is connecting, for the queue manager's events and accounting.
    w.i32(qmos::currentPid());
    w.i32(qmos::threadId());
    w.str(t.tcp ? t.addresses[i].channel : std::string());
    std::string reply;
    reason = t.tcp ? MQRC_CONNECTION_BROKEN : MQRC_Q_MGR_NOT_AVAILABLE;
    if (!qmwire::sendFrame(fd, w.bytes()) || !qmwire::recvFrame(fd, reply)) {
        qmos::closeFd(fd);
        return -1;
    }
    Reader r(reply);
    r.u16();
    r.u16();
    r.u32();
    MQLONG replyCc = r.i32(), replyReason = r.i32();
    if (r.failed()) {
        qmos::closeFd(fd);
        reason = MQRC_CONNECTION_BROKEN;
        return -1;
    }
    c = replyCc;
    reason = replyReason;
    return fd;
}

std::string defaultApplName() {
    std::string n = qmos::programName();
    return n.size() > 28 ? n.substr(n.size() - 28) : n;
}

void connectx(PMQCHAR qmNameField, const MQCNO *cno, PMQHCONN pHconn, PMQLONG cc, PMQLONG rc) {
    if (!pHconn) return setResult(cc, rc, MQCC_FAILED, MQRC_HCONN_ERROR);
    *pHconn = MQHC_UNUSABLE_HCONN;
    if (cno && (std::memcmp(cno->StrucId, MQCNO_STRUC_ID, 4) != 0 || cno->Version < MQCNO_VERSION_1 ||
                cno->Version > MQCNO_VERSION_8))
        return setResult(cc, rc, MQCC_FAILED, MQRC_CNO_ERROR);
    MQLONG options = cno ? cno->Options : MQCNO_NONE;
    int shareBits = ((options & MQCNO_HANDLE_SHARE_NONE) ? 1 : 0) +
                    ((options & MQCNO_HANDLE_SHARE_BLOCK) ? 1 : 0) +
                    ((options & MQCNO_HANDLE_SHARE_NO_BLOCK) ? 1 : 0);
    if (shareBits > 1) return setResult(cc, rc, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    if (cno && cno->Version >= MQCNO_VERSION_5 && cno->SecurityParmsPtr) {
        const MQCSP *csp = cno->SecurityParmsPtr;
        if (std::memcmp(csp->StrucId, MQCSP_STRUC_ID, 4) != 0 || csp->Version < MQCSP_VERSION_1 ||
            csp->Version > MQCSP_VERSION_3)
            return setResult(cc, rc, MQCC_FAILED, MQRC_CSP_ERROR);
    }
    // Who connects: the MQCSP's user when it names one (a client's server takes it as given, with
    // no password check; a bindings server asks the kernel instead), else this process's user.
    std::string user = qmos::userName();
    if (cno && cno->Version >= MQCNO_VERSION_5 && cno->SecurityParmsPtr) {
        const MQCSP *csp = cno->SecurityParmsPtr;
        const char *id = static_cast<const char *>(csp->CSPUserIdPtr);
        if (!id && csp->CSPUserIdOffset > 0) id = reinterpret_cast<const char *>(csp) + csp->CSPUserIdOffset;
        if (csp->CSPUserIdLength < 0 || csp->CSPUserIdLength > 1024)
            return setResult(cc, rc, MQCC_FAILED, MQRC_CSP_ERROR);
        if (id && csp->CSPUserIdLength > 0) {
            std::string given(id, static_cast<size_t>(csp->CSPUserIdLength));
            given = given.substr(0, given.find('\0'));
            while (!given.empty() && given.back() == ' ') given.pop_back();
            if (!given.empty()) user = given;
        }
    }
    bool shared = options & (MQCNO_HANDLE_SHARE_BLOCK | MQCNO_HANDLE_SHARE_NO_BLOCK);
    std::string qmName = qmNameField ? fixed(qmNameField, 48) : std::string();
    if (!shared && tlsHconn != MQHC_UNUSABLE_HCONN) {
        std::lock_guard<std::mutex> lock(gTableMu);
        if (gConns.count(tlsHconn)) {
            *pHconn = tlsHconn;
            return setResult(cc, rc, MQCC_WARNING, MQRC_ALREADY_CONNECTED);
        }
    }
    Target t;
    if (MQLONG why = findTarget(qmName, cno, t)) return setResult(cc, rc, MQCC_FAILED, why);
    std::string appl = defaultApplName();
    if (cno && cno->Version >= MQCNO_VERSION_7) {
        std::string given = fixed(cno->ApplName, 28);
        if (!given.empty()) appl = given;
    }
    // A client does not check the name of the queue manager it reaches when the name begins
    // with '*'. Each address is tried in turn; an address that cannot be reached or belongs to
    // another queue manager passes the attempt on to the next, and the last one's reason stands.
    std::string checkName = t.tcp && !qmName.empty() && qmName[0] == '*' ? std::string() : qmName;
    size_t tries = t.tcp ? t.addresses.size() : 1;
    int fd = -1;
    MQLONG c = MQCC_FAILED, reason = MQRC_HOST_NOT_AVAILABLE;
    for (size_t i = 0; i < tries && fd < 0; ++i) {
        fd = openSession(t, i, checkName, appl, user, options, c, reason);
        if (fd >= 0 && c == MQCC_FAILED) {
            qmos::closeFd(fd);
            fd = -1;
            if (reason != MQRC_Q_MGR_NAME_ERROR) break;
        }
    }
    if (fd < 0) return setResult(cc, rc, MQCC_FAILED, reason);
    auto conn = std::make_shared<ClientConn>();
    conn->fd = fd;
    conn->shared = shared;
    conn->noBlock = options & MQCNO_HANDLE_SHARE_NO_BLOCK;
    conn->owner = std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(gTableMu);
    MQHCONN h = gNextHconn++;
    gConns[h] = conn;
    if (!shared) tlsHconn = h;
    *pHconn = h;
    setResult(cc, rc, c, reason);
}

}  // namespace

// ---- the verbs ----

MINIQM_EXPORT void MQCONNX(PMQCHAR pQMgrName, PMQVOID pConnectOpts, PMQHCONN pHconn, PMQLONG pCompCode,
                           PMQLONG pReason) {
    connectx(pQMgrName, static_cast<const MQCNO *>(pConnectOpts), pHconn, pCompCode, pReason);
}

MINIQM_EXPORT void MQCONN(PMQCHAR pQMgrName, PMQHCONN pHconn, PMQLONG pCompCode, PMQLONG pReason) {
    connectx(pQMgrName, nullptr, pHconn, pCompCode, pReason);
}

MINIQM_EXPORT void MQDISC(PMQHCONN pHconn, PMQLONG pCompCode, PMQLONG pReason) {
    if (!pHconn) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HCONN_ERROR);
    MQHCONN h = *pHconn;
    // Asynchronous consume stops first; a callback cannot end its own connection.
    if (std::shared_ptr<ClientConn> c = findConn(h); c && mayUse(*c)) {
        if (qmasync::Dispatcher *d = c->dispatcher()) {
            if (d->onCallbackThread())
                return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_ENVIRONMENT_ERROR);
            d->shutdown();
        }
    }
    {
        Call call(h, pCompCode, pReason);
        if (!call.ok()) {
            // A broken connection is still released, by a thread that may use it: for any other
            // the handle is not valid (2018), and it must not end a connection that is not its own.
            std::lock_guard<std::mutex> lock(gTableMu);
            auto it = gConns.find(h);
            if (it != gConns.end() && it->second->broken && mayUse(*it->second)) {
                gConns.erase(it);
                *pHconn = MQHC_UNUSABLE_HCONN;
            }
            return;
        }
        call.begin(qmwire::OP_DISC);
        call.exchange();
    }
    std::lock_guard<std::mutex> lock(gTableMu);
    gConns.erase(h);
    if (tlsHconn == h) tlsHconn = MQHC_UNUSABLE_HCONN;
    *pHconn = MQHC_UNUSABLE_HCONN;
}

MINIQM_EXPORT void MQOPEN(MQHCONN Hconn, PMQVOID pObjDesc, MQLONG Options, PMQHOBJ pHobj, PMQLONG pCompCode,
                          PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    if (!pHobj) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HOBJ_ERROR);
    Writer &w = call.begin(qmwire::OP_OPEN);
    if (!odIn(pObjDesc, w)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_OD_ERROR);
    w.i32(Options);
    const MQOD *od = static_cast<const MQOD *>(pObjDesc);
    std::string selection;
    if (od->Version >= MQOD_VERSION_4) {
        MQLONG why = selectionIn(od->SelectionString, od, selection);
        if (why != MQRC_NONE) return setResult(pCompCode, pReason, MQCC_FAILED, why);
    }
    w.str(selection);
    if (!call.exchange()) return;
    Reader &r = call.reply();
    *pHobj = r.i32();
    std::string name = r.str(), rq = r.str(), rqm = r.str();
    MQLONG type = r.i32();
    if (*pCompCode != MQCC_FAILED) odOut(pObjDesc, name, rq, rqm, type);
}

// The consumer of a closed handle is removed while the connection is held, so that the callback
// thread gets nothing more from the handle; its DEREGISTER_CALL is made once the connection is free.
static void closeCommon(MQHCONN Hconn, PMQHOBJ pHobj, MQLONG Options, PMQLONG pCompCode, PMQLONG pReason,
                        std::function<void()> &deregister) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    if (!pHobj) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HOBJ_ERROR);
    Writer &w = call.begin(qmwire::OP_CLOSE);
    w.i32(*pHobj);
    w.i32(Options);
    if (!call.exchange()) return;
    if (*pCompCode == MQCC_OK) {
        if (qmasync::Dispatcher *d = call.conn().dispatcher()) deregister = d->closed(*pHobj);
        *pHobj = MQHO_UNUSABLE_HOBJ;
    }
}

MINIQM_EXPORT void MQCLOSE(MQHCONN Hconn, PMQHOBJ pHobj, MQLONG Options, PMQLONG pCompCode, PMQLONG pReason) {
    std::function<void()> deregister;
    closeCommon(Hconn, pHobj, Options, pCompCode, pReason, deregister);
    if (deregister) deregister();
}

MINIQM_EXPORT void MQSUB(MQHCONN Hconn, PMQVOID pSubDesc, PMQHOBJ pHobj, PMQHOBJ pHsub, PMQLONG pCompCode,
                         PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    MQSD *sd = static_cast<MQSD *>(pSubDesc);
    if (!sd || std::memcmp(sd->StrucId, MQSD_STRUC_ID, 4) != 0 || sd->Version != MQSD_VERSION_1)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_SD_ERROR);
    if (!pHobj) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HOBJ_ERROR);
    if (!pHsub) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HOBJ_ERROR);
    Writer &w = call.begin(qmwire::OP_SUB);
    w.i32(sd->Version);
    w.i32(sd->Options);
    w.str(fixed(sd->ObjectName, 48));
    w.str(charv(sd->ObjectString, sd));
    w.str(charv(sd->SubName, sd));
    w.i32((sd->Options & MQSO_MANAGED) ? MQHO_NONE : *pHobj);
    w.raw(sd->SubCorrelId, sizeof sd->SubCorrelId);
    std::string selection;
    MQLONG why = selectionIn(sd->SelectionString, sd, selection);
    if (why != MQRC_NONE) return setResult(pCompCode, pReason, MQCC_FAILED, why);
    w.str(selection);
    w.i32(sd->SubExpiry);
    if (!call.exchange()) return;
    Reader &r = call.reply();
    MQLONG hobj = r.i32();
    MQLONG hsub = r.i32();
    std::string topic = r.str();
    MQBYTE24 correl{};
    r.raw(correl, sizeof correl);
    std::string kept = r.str();
    MQLONG subExpiry = r.i32();
    if (*pCompCode == MQCC_FAILED) return;
    // RESUME hands back the subscription's selection string, as much as the buffer takes.
    if (sd->Options & MQSO_RESUME) {
        MQCHARV &sel = sd->SelectionString;
        char *buf = sel.VSPtr          ? static_cast<char *>(sel.VSPtr)
                    : sel.VSOffset > 0 ? reinterpret_cast<char *>(sd) + sel.VSOffset
                                       : nullptr;
        if (buf && sel.VSBufSize > 0)
            std::memcpy(buf, kept.data(), std::min(kept.size(), static_cast<size_t>(sel.VSBufSize)));
        sel.VSLength = static_cast<MQLONG>(kept.size());
    }
    if (sd->Options & MQSO_MANAGED) *pHobj = hobj;
    *pHsub = hsub;
    std::memcpy(sd->SubCorrelId, correl, sizeof correl);
    if (!r.failed()) sd->SubExpiry = subExpiry;  // on RESUME the subscription's original one
    MQCHARV &res = sd->ResObjectString;
    if (res.VSPtr && res.VSBufSize > 0) {
        size_t n = std::min(topic.size(), static_cast<size_t>(res.VSBufSize));
        std::memcpy(res.VSPtr, topic.data(), n);
    }
    res.VSLength = static_cast<MQLONG>(topic.size());
}

MINIQM_EXPORT void MQSUBRQ(MQHCONN Hconn, MQHOBJ Hsub, MQLONG Action, PMQVOID pSubRqOpts, PMQLONG pCompCode,
                           PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    // No MQSRO (a null pointer) means no options.
    MQSRO *sro = static_cast<MQSRO *>(pSubRqOpts);
    if (sro && (std::memcmp(sro->StrucId, MQSRO_STRUC_ID, 4) != 0 || sro->Version != MQSRO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_SRO_ERROR);
    Writer &w = call.begin(qmwire::OP_SUBRQ);
    w.i32(Hsub);
    w.i32(Action);
    w.i32(sro ? sro->Options : MQSRO_NONE);
    if (!call.exchange()) return;
    MQLONG numPubs = call.reply().i32();
    if (sro) sro->NumPubs = call.reply().failed() ? 0 : numPubs;
}

static void putCommon(Call &call, bool put1, MQHOBJ Hobj, PMQVOID pObjDesc, PMQVOID pMsgDesc,
                      PMQVOID pPutMsgOpts, MQLONG BufferLength, PMQVOID pBuffer, PMQLONG pCompCode,
                      PMQLONG pReason) {
    Writer &w = call.begin(put1 ? qmwire::OP_PUT1 : qmwire::OP_PUT);
    if (put1) {
        if (!odIn(pObjDesc, w)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_OD_ERROR);
        // MQPUT1 only puts, so there is nothing for a selection string to select from.
        const MQOD *od = static_cast<const MQOD *>(pObjDesc);
        std::string selection;
        if (od->Version >= MQOD_VERSION_4) {
            MQLONG why = selectionIn(od->SelectionString, od, selection);
            if (why == MQRC_NONE && !selection.empty()) why = MQRC_SELECTOR_INVALID_FOR_TYPE;
            if (why != MQRC_NONE) return setResult(pCompCode, pReason, MQCC_FAILED, why);
        }
    } else {
        w.i32(Hobj);
    }
    MQMD md;
    if (!mdIn(pMsgDesc, md)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_MD_ERROR);
    w.raw(&md, sizeof md);
    if (!pmoIn(pPutMsgOpts, w)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PMO_ERROR);
    if (BufferLength < 0) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BUFFER_LENGTH_ERROR);
    if (BufferLength > 0 && !pBuffer) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BUFFER_ERROR);
    w.str(std::string_view(static_cast<const char *>(pBuffer), static_cast<size_t>(BufferLength)));
    // Properties travel from the message handle of an MQPMO version 3 (the new one if given).
    const MQPMO *pmo = static_cast<const MQPMO *>(pPutMsgOpts);
    std::string props;
    if (pmo->Version >= MQPMO_VERSION_3) {
        MQHMSG hm = pmo->NewMsgHandle != MQHM_NONE ? pmo->NewMsgHandle : pmo->OriginalMsgHandle;
        if (hm != MQHM_NONE && !qmmsgh::propertiesOf(hm, props))
            return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HMSG_ERROR);
    }
    w.str(props);
    if (!call.exchange()) return;
    Reader &r = call.reply();
    r.raw(&md, sizeof md);
    std::string resolvedQ = r.str(), resolvedQm = r.str();
    if (*pCompCode != MQCC_FAILED) {
        mdOut(pMsgDesc, md);
        pmoOut(pPutMsgOpts, resolvedQ, resolvedQm);
        // MQPUT1 also tells where the message went in the object descriptor, as MQOPEN does.
        if (put1) {
            MQLONG type = static_cast<const MQOD *>(pObjDesc)->ObjectType == MQOT_TOPIC ? MQOT_TOPIC : MQOT_Q;
            odOut(pObjDesc, std::string(), resolvedQ, resolvedQm, type);
        }
    }
}

MINIQM_EXPORT void MQPUT(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID pMsgDesc, PMQVOID pPutMsgOpts,
                         MQLONG BufferLength, PMQVOID pBuffer, PMQLONG pCompCode, PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    putCommon(call, false, Hobj, nullptr, pMsgDesc, pPutMsgOpts, BufferLength, pBuffer, pCompCode, pReason);
}

MINIQM_EXPORT void MQPUT1(MQHCONN Hconn, PMQVOID pObjDesc, PMQVOID pMsgDesc, PMQVOID pPutMsgOpts,
                          MQLONG BufferLength, PMQVOID pBuffer, PMQLONG pCompCode, PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    putCommon(call, true, 0, pObjDesc, pMsgDesc, pPutMsgOpts, BufferLength, pBuffer, pCompCode, pReason);
}

static void getCommon(Call &call, MQHOBJ Hobj, PMQVOID pMsgDesc, PMQVOID pGetMsgOpts, MQLONG BufferLength,
                      PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode, PMQLONG pReason) {
    MQMD md;
    if (!mdIn(pMsgDesc, md)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_MD_ERROR);
    MQGMO *gmo = static_cast<MQGMO *>(pGetMsgOpts);
    if (!gmo || std::memcmp(gmo->StrucId, MQGMO_STRUC_ID, 4) != 0 || gmo->Version < MQGMO_VERSION_1 ||
        gmo->Version > MQGMO_VERSION_4)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_GMO_ERROR);
    if (BufferLength < 0) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BUFFER_LENGTH_ERROR);
    if (BufferLength > 0 && !pBuffer) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BUFFER_ERROR);
    if (!pDataLength) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_DATA_LENGTH_ERROR);
    Writer &w = call.begin(qmwire::OP_GET);
    w.i32(Hobj);
    w.raw(&md, sizeof md);
    w.i32(gmo->Version);
    w.i32(gmo->Options);
    w.i32(gmo->WaitInterval);
    w.i32(gmo->Version >= MQGMO_VERSION_2 ? gmo->MatchOptions : MQMO_MATCH_MSG_ID | MQMO_MATCH_CORREL_ID);
    w.i32(BufferLength);
    MQHMSG handle = gmo->Version >= MQGMO_VERSION_4 ? gmo->MsgHandle : MQHM_NONE;
    bool wantHandle = handle != MQHM_NONE && handle != MQHM_UNUSABLE_HMSG;
    if (wantHandle && !qmmsgh::known(handle))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HMSG_ERROR);
    w.u8(wantHandle ? 1 : 0);
    if (!call.exchange()) return;
    Reader &r = call.reply();
    r.raw(&md, sizeof md);
    MQLONG dataLength = r.i32();
    std::string data = r.str();
    std::string resolved = r.str();
    MQLONG returned = r.i32();
    std::string props = r.str();
    if (r.failed()) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    MQLONG reason = *pReason;
    bool delivered = *pCompCode != MQCC_FAILED || reason == MQRC_TRUNCATED_MSG_FAILED;
    if (!delivered) return;
    mdOut(pMsgDesc, md);
    *pDataLength = dataLength;
    if (wantHandle) qmmsgh::storeProperties(handle, props);  // a message without any clears the handle
    if (!data.empty())
        std::memcpy(pBuffer, data.data(), std::min(data.size(), static_cast<size_t>(BufferLength)));
    putFixed(gmo->ResolvedQName, 48, resolved);
    if (gmo->Version >= MQGMO_VERSION_2) {
        gmo->GroupStatus = MQGS_NOT_IN_GROUP;
        gmo->SegmentStatus = MQSS_NOT_A_SEGMENT;
        gmo->Segmentation = MQSEG_INHIBITED;
    }
    if (gmo->Version >= MQGMO_VERSION_3) gmo->ReturnedLength = returned;
}

MINIQM_EXPORT void MQGET(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID pMsgDesc, PMQVOID pGetMsgOpts,
                         MQLONG BufferLength, PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode,
                         PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    getCommon(call, Hobj, pMsgDesc, pGetMsgOpts, BufferLength, pBuffer, pDataLength, pCompCode, pReason);
}

namespace {

void ConnTransport::get(MQHOBJ hobj, MQMD &md, MQGMO &gmo, MQLONG bufferLength, void *buffer,
                        MQLONG &dataLength, MQLONG &compCode, MQLONG &reason) {
    Call call(hconn, &compCode, &reason, Access::Internal);
    if (!call.ok()) return;
    getCommon(call, hobj, &md, &gmo, bufferLength, buffer, &dataLength, &compCode, &reason);
}

MQLONG ConnTransport::probe() {
    std::unique_lock<std::mutex> lock(conn.mu, std::try_to_lock);
    if (!lock.owns_lock()) return kBusy;
    if (conn.broken) return MQRC_CONNECTION_BROKEN;
    Writer w;
    w.u16(qmwire::OP_PING);
    w.u16(0);
    w.u32(conn.nextId++);
    std::string reply;
    if (!qmwire::sendFrame(conn.fd, w.bytes()) || !qmwire::recvFrame(conn.fd, reply)) {
        conn.broken = true;
        qmos::shutdownFd(conn.fd);
        return MQRC_CONNECTION_BROKEN;
    }
    Reader r(reply);
    r.u16();
    r.u16();
    r.u32();
    r.i32();
    MQLONG reason = r.i32();
    return r.failed() ? MQRC_CONNECTION_BROKEN : reason;
}

// The connection's dispatcher, made on first use.
qmasync::Dispatcher &dispatcherOf(ClientConn &c, MQHCONN h) {
    std::lock_guard<std::mutex> lock(c.asyncMu);
    if (!c.async) {
        c.transport = std::make_unique<ConnTransport>(c, h);
        c.async = std::make_unique<qmasync::Dispatcher>(h, *c.transport);
    }
    return *c.async;
}

// MQCB and MQCTL do not hold the connection: STOP and SUSPEND wait for a callback that may be
// making calls on it.
std::shared_ptr<ClientConn> asyncConn(MQHCONN h, PMQLONG cc, PMQLONG rc) {
    std::shared_ptr<ClientConn> c = findConn(h);
    if (!c || !mayUse(*c)) {
        setResult(cc, rc, MQCC_FAILED, MQRC_HCONN_ERROR);
        return nullptr;
    }
    if (c->broken) {
        dispatcherOf(*c, h).heard(MQRC_CONNECTION_BROKEN);
        setResult(cc, rc, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
        return nullptr;
    }
    return c;
}

}  // namespace

MINIQM_EXPORT void MQCB(MQHCONN Hconn, MQLONG Operation, PMQVOID pCallbackDesc, MQHOBJ Hobj, PMQVOID pMsgDesc,
                        PMQVOID pGetMsgOpts, PMQLONG pCompCode, PMQLONG pReason) {
    std::shared_ptr<ClientConn> c = asyncConn(Hconn, pCompCode, pReason);
    if (!c) return;
    if (faulted(Hconn, "MQCB", Hobj, Access::Async, pCompCode, pReason)) return;
    MQLONG cc = MQCC_FAILED, rc = MQRC_UNEXPECTED_ERROR;
    dispatcherOf(*c, Hconn).cb(Operation, pCallbackDesc, Hobj, pMsgDesc, pGetMsgOpts, cc, rc);
    setResult(pCompCode, pReason, cc, rc);
}

MINIQM_EXPORT void MQCTL(MQHCONN Hconn, MQLONG Operation, PMQVOID pControlOpts, PMQLONG pCompCode,
                         PMQLONG pReason) {
    std::shared_ptr<ClientConn> c = asyncConn(Hconn, pCompCode, pReason);
    if (!c) return;
    if (faulted(Hconn, "MQCTL", MQHO_NONE, Access::Async, pCompCode, pReason)) return;
    MQLONG cc = MQCC_FAILED, rc = MQRC_UNEXPECTED_ERROR;
    dispatcherOf(*c, Hconn).ctl(Operation, pControlOpts, cc, rc);
    setResult(pCompCode, pReason, cc, rc);
}

// Code-page conversion runs here in the library, as IBM MQ's does; the connection is only checked.
MINIQM_EXPORT void MQXCNVC(MQHCONN Hconn, MQLONG Options, MQLONG SourceCCSID, MQLONG SourceLength,
                           PMQCHAR pSourceBuffer, MQLONG TargetCCSID, MQLONG TargetLength,
                           PMQCHAR pTargetBuffer, PMQLONG pDataLength, PMQLONG pCompCode, PMQLONG pReason) {
    std::shared_ptr<ClientConn> c = findConn(Hconn);
    if (!c || !mayUse(*c)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HCONN_ERROR);
    if (faulted(Hconn, "MQXCNVC", MQHO_NONE, Access::Library, pCompCode, pReason)) return;
    if (!pDataLength) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_DATA_LENGTH_ERROR);
    MQLONG cc = MQCC_FAILED, rc = MQRC_UNEXPECTED_ERROR;
    qmconv::xcnvc(Options, SourceCCSID, SourceLength, pSourceBuffer, TargetCCSID, TargetLength, pTargetBuffer,
                  pDataLength, &cc, &rc);
    setResult(pCompCode, pReason, cc, rc);
}

MINIQM_EXPORT void MQINQ(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG pSelectors,
                         MQLONG IntAttrCount, PMQLONG pIntAttrs, MQLONG CharAttrLength, PMQCHAR pCharAttrs,
                         PMQLONG pCompCode, PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    if (SelectorCount < 0 || SelectorCount > 256)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_SELECTOR_COUNT_ERROR);
    if (SelectorCount > 0 && !pSelectors)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_SELECTOR_ERROR);
    if (IntAttrCount > 0 && !pIntAttrs)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_INT_ATTRS_ARRAY_ERROR);
    if (CharAttrLength > 0 && !pCharAttrs)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_CHAR_ATTRS_ERROR);
    Writer &w = call.begin(qmwire::OP_INQ);
    w.i32(Hobj);
    w.u32(static_cast<uint32_t>(SelectorCount));
    for (MQLONG i = 0; i < SelectorCount; ++i) w.i32(pSelectors[i]);
    w.i32(IntAttrCount);
    w.i32(CharAttrLength);
    if (!call.exchange()) return;
    Reader &r = call.reply();
    uint32_t n = r.u32();
    for (uint32_t i = 0; i < n && !r.failed(); ++i) {
        MQLONG v = r.i32();
        if (static_cast<MQLONG>(i) < IntAttrCount) pIntAttrs[i] = v;
    }
    std::string chars = r.str();
    if (!chars.empty() && CharAttrLength > 0)
        std::memcpy(pCharAttrs, chars.data(), std::min(chars.size(), static_cast<size_t>(CharAttrLength)));
}

MINIQM_EXPORT void MQSET(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG pSelectors,
                         MQLONG IntAttrCount, PMQLONG pIntAttrs, MQLONG CharAttrLength, PMQCHAR pCharAttrs,
                         PMQLONG pCompCode, PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    if (SelectorCount < 0 || SelectorCount > 256)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_SELECTOR_COUNT_ERROR);
    if (SelectorCount > 0 && !pSelectors)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_SELECTOR_ERROR);
    if (IntAttrCount < 0) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_INT_ATTR_COUNT_ERROR);
    if (IntAttrCount > 0 && !pIntAttrs)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_INT_ATTRS_ARRAY_ERROR);
    if (CharAttrLength < 0) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_CHAR_ATTR_LENGTH_ERROR);
    if (CharAttrLength > 0 && !pCharAttrs)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_CHAR_ATTRS_ERROR);
    Writer &w = call.begin(qmwire::OP_SET);
    w.i32(Hobj);
    w.u32(static_cast<uint32_t>(SelectorCount));
    for (MQLONG i = 0; i < SelectorCount; ++i) w.i32(pSelectors[i]);
    w.u32(static_cast<uint32_t>(IntAttrCount));
    for (MQLONG i = 0; i < IntAttrCount; ++i) w.i32(pIntAttrs[i]);
    w.str(std::string_view(pCharAttrs ? pCharAttrs : "", static_cast<size_t>(CharAttrLength)));
    call.exchange();
}

MINIQM_EXPORT void MQCMIT(MQHCONN Hconn, PMQLONG pCompCode, PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    call.begin(qmwire::OP_CMIT);
    call.exchange();
}

MINIQM_EXPORT void MQBACK(MQHCONN Hconn, PMQLONG pCompCode, PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    call.begin(qmwire::OP_BACK);
    call.exchange();
}

// Status of asynchronous puts and reconnection: miniqm has neither, so there is nothing to report.
MINIQM_EXPORT void MQSTAT(MQHCONN Hconn, MQLONG Type, PMQVOID pStatus, PMQLONG pCompCode, PMQLONG pReason) {
    Call call(Hconn, pCompCode, pReason);
    if (!call.ok()) return;
    Writer &w = call.begin(qmwire::OP_FAULT);  // asked within the call: it holds the connection
    w.str("MQSTAT");
    w.i32(MQHO_NONE);
    if (!call.exchange() || *pCompCode != MQCC_OK || *pReason != MQRC_NONE) return;
    MQSTS *sts = static_cast<MQSTS *>(pStatus);
    if (!sts || std::memcmp(sts->StrucId, MQSTS_STRUC_ID, 4) != 0 || sts->Version < MQSTS_VERSION_1 ||
        sts->Version > MQSTS_VERSION_2)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_STS_ERROR);
    if (Type != MQSTAT_TYPE_ASYNC_ERROR && Type != MQSTAT_TYPE_RECONNECTION &&
        Type != MQSTAT_TYPE_RECONNECTION_ERROR)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_STAT_TYPE_ERROR);
    sts->CompCode = MQCC_OK;
    sts->Reason = MQRC_NONE;
    sts->PutSuccessCount = 0;
    sts->PutWarningCount = 0;
    sts->PutFailureCount = 0;
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}

// ---- control (not MQI) ----

MINIQM_EXPORT int miniqmControl(const char *qmName, const char *command, char *reply, int replyLength) {
    if (reply && replyLength > 0) reply[0] = '\0';
    std::string name = qmName ? fixed(qmName, 48) : std::string();
    if (!qmpaths::validName(name) || !command) return -1;
    std::string dir = qmpaths::qmDir(name);
    if (!qmos::fileExists(dir + "/qm.ini")) return -1;
    std::string text;
    qmadmin::Outcome o = qmadmin::request(dir, command, text);
    if (reply && replyLength > 0) {
        size_t n = std::min(text.size(), static_cast<size_t>(replyLength - 1));
        std::memcpy(reply, text.data(), n);
        reply[n] = '\0';
    }
    switch (o) {
        case qmadmin::Outcome::Ok:
            return 0;
        case qmadmin::Outcome::Failed:
            return 1;
        default:
            return -1;
    }
}
