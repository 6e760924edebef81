// Test fixture for the miniqm tests: a private queue manager (own MINIQM_ROOT, a free port, no
// fsync) started through the miniqm tool and stopped at the end, plus small MQI helpers.
#pragma once

#include <signal.h>
#include <unistd.h>
#ifndef _WIN32
#include <dlfcn.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "miniqm/control.h"
#include "mqi/cmqc.h"
#include "testing/built_paths.h"
#include "testing/testing.h"
#include "testing/wine_runner.h"

namespace qmt {

// Runs a shell command line; returns its exit code and, when out is given, its standard output.
// On Windows the Linux runner runs it (the queue manager is a Linux one).
inline int shell(const std::string &command, std::string *out = nullptr) {
    std::string cmd = command + (out ? "" : " >/dev/null") + " 2>&1";
#ifdef _WIN32
    std::string text;
    int code = zt::runnerShell(cmd, &text);
    if (out) *out = text;
    return code;
#else
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// A path as a command line run by shell() names it.
inline std::string shellPath(const std::string &path) {
#ifdef _WIN32
    return zt::unixPath(path);
#else
    return path;
#endif
}

// A whole file as text (empty when it cannot be read).
inline std::string readText(const std::string &path) {
    std::string text;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

inline void appendText(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "ab");
    if (!f) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Splits at blanks and newlines.
inline std::vector<std::string> words(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == ' ' || c == '\n') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// Under wine the queue manager is a Linux one that the runner drives: the server's process is seen
// and ended there, and the test reaches it as a client.
#ifdef _WIN32
inline constexpr bool kThroughRunner = true;
#else
inline constexpr bool kThroughRunner = false;
#endif

inline bool alive(int pid) {
#ifdef _WIN32
    return shell("kill -0 " + std::to_string(pid)) == 0;
#else
    return kill(pid, 0) == 0;
#endif
}

// Ends a server at once, as a crash would, and waits until it is gone.
inline void killAndWait(int p) {
#ifdef _WIN32
    // The same wait, on the runner's side.
    const std::string pid = std::to_string(p);
    shell("{ kill -9 " + pid + "; i=0; while [ $i -lt 10000 ] && kill -0 " + pid + "; do " +
          "s=$(cat /proc/" + pid + "/stat); s=${s##*) }; " +
          "if [ \"${s%% *}\" = Z ] && grep -q '^Threads:.1$' /proc/" + pid + "/status; then break; fi; " +
          "sleep 0.001; i=$((i+1)); done; }");
#else
    kill(p, SIGKILL);
    // Gone, or a zombie waiting for whoever reaps orphans here. The main thread shows as a
    // zombie while the others are still ending, and until the last has ended the process
    // still holds its files (the queue manager's lock among them), so wait for that too.
    for (int i = 0; i < 10000 && kill(p, 0) == 0; ++i) {
        std::string text = readText("/proc/" + std::to_string(p) + "/stat");
        size_t close = text.rfind(')');
        bool zombie = close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
        std::string status = readText("/proc/" + std::to_string(p) + "/status");
        if (zombie && status.find("\nThreads:\t1\n") != std::string::npos) break;
        usleep(1000);
    }
#endif
}

// Points the client at the queue manager's port (Windows only).
inline void pointClient(std::unique_ptr<zt::ScopedEnv> &server, int port) {
    std::string value = "SYSTEM.DEF.SVRCONN/TCP/127.0.0.1(" + std::to_string(port) + ")";
    server.reset();
    server = std::make_unique<zt::ScopedEnv>("MQSERVER", value.c_str());
}

// A client channel table with one client-connection channel over TCP to 127.0.0.1 for each queue
// manager (named as it is), as IBM MQ writes the file: "AMQR", blocks of a 20-byte header (block
// length, record length, 0, the previous and next record in channel-name order) and a version 2
// MQCD, then a zero end marker (Windows only: the client's MQSERVER names one queue manager).
inline std::string clientChannelTable(const std::map<std::string, int> &ports) {
    constexpr size_t kHeader = 20, kRecord = 1312;  // the MQCD of version 2, as a 32-bit program lays it out
    auto setU32 = [](std::string &b, size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    auto setField = [](std::string &b, size_t at, const std::string &v, size_t n) {
        b.replace(at, n, (v.substr(0, n) + std::string(n, ' ')).substr(0, n));
    };
    std::string table = "AMQR";
    size_t i = 0;
    for (const auto &[name, port] : ports) {  // in name order, so the key-order links run straight on
        const size_t at = table.size(), block = kHeader + kRecord;
        std::string b(block, '\0');
        setU32(b, 0, static_cast<uint32_t>(block));
        setU32(b, 4, static_cast<uint32_t>(kRecord));
        setU32(b, 12, i == 0 ? 0 : static_cast<uint32_t>(at - block));
        setU32(b, 16, i + 1 == ports.size() ? 0 : static_cast<uint32_t>(at + block));
        setField(b, kHeader, name, 20);
        setU32(b, kHeader + 20, static_cast<uint32_t>(MQCD_VERSION_2));
        setU32(b, kHeader + 24, static_cast<uint32_t>(MQCHT_CLNTCONN));
        setU32(b, kHeader + 28, static_cast<uint32_t>(MQXPT_TCP));
        setField(b, kHeader + 96, name, 48);
        const std::string conname = "127.0.0.1(" + std::to_string(port) + ")";
        setField(b, kHeader + 192, conname, 20);
        setField(b, kHeader + 1024, conname, 264);
        table += b;
        ++i;
    }
    return table + std::string(4, '\0');
}

// Removes a folder shared with the queue manager through the runner: wine shows the server's
// symbolic link to its libraries' folder as a folder, which a removal from Windows would empty.
inline void removeShared(const std::string &folder) {
    shell("rm -rf '" + shellPath(folder) + "'");
}

class QmServer {
public:
    explicit QmServer(std::string name = "QMT", const char *cmdLevel = nullptr)
        : name_(std::move(name)),
          rootEnv_("MINIQM_ROOT", root_.path().c_str()),
          syncEnv_("MINIQM_NOFSYNC", "1"),
          levelEnv_("MINIQM_CMDLEVEL", cmdLevel) {
        std::string out;
        created_ = tool("create " + name_, &out) == 0;
        if (!created_) ADD_FAILURE() << out;
        started_ = start();
    }
    ~QmServer() {
        if (running()) tool("stop " + name_ + " --now");
        if (kThroughRunner) removeShared(root_.path());
    }
    QmServer(const QmServer &) = delete;
    QmServer &operator=(const QmServer &) = delete;

    const std::string &name() const { return name_; }
    const std::string &root() const { return root_.path(); }
    std::string dir() const { return root_.path() + "/" + name_; }
    bool ok() const { return created_ && started_; }

    int tool(const std::string &args, std::string *out = nullptr) const {
        int code = shell(std::string(MINIQM_TOOL) + " " + args, out);
        // The client finds the queue manager through MQSERVER, or once a second one runs under the
        // root through a channel table naming each: a start picks a free port.
        if (kThroughRunner && code == 0 && args.compare(0, 6, "start ") == 0) {
            const std::string started = args.substr(6, args.find(' ', 6) - 6);
            ports_[started] = runValue("port=", started);
            // Written whole before it replaces the old one: a program started as a child finds
            // its queue managers through the table, also while they restart.
            root_.write("AMQCLCHL.TAB.new", clientChannelTable(ports_));
            std::error_code error;
            std::filesystem::rename(root_.file("AMQCLCHL.TAB.new"), root_.file("AMQCLCHL.TAB"), error);
            if (ports_.size() == 1) {
                pointClient(mqserver_, ports_[started]);
            } else {
                mqserver_.reset();
                mqserver_ = std::make_unique<zt::ScopedEnv>("MQSERVER", nullptr);
                if (!chllib_) chllib_ = std::make_unique<zt::ScopedEnv>("MQCHLLIB", root_.path().c_str());
            }
        }
        return code;
    }
    int mqsc(const std::string &script, std::string *out = nullptr) const {
        root_.write("mqsc.in", script);
        return tool("mqsc " + name_ + " < " + shellPath(root_.file("mqsc.in")), out);
    }
    bool start() {
        std::string out;
        bool ok = tool("start " + name_ + " --no-fsync", &out) == 0;
        if (!ok) ADD_FAILURE() << out;
        return ok;
    }
    bool stop(bool now = true) { return tool("stop " + name_ + (now ? " --now" : "")) == 0; }
    int pid() const { return runValue("pid="); }
    int port() const { return runValue("port="); }
    bool running() const { return root_.exists(name_ + "/miniqmd.run") && pid() > 0 && alive(pid()); }
    // Ends the server at once, as a crash would, and waits until it is gone. Another queue manager
    // under the same root may be named.
    void kill9(const std::string &other = "") {
        int p = runValue("pid=", other.empty() ? name_ : other);
        if (p > 0) killAndWait(p);
    }

private:
    int runValue(const char *key, const std::string &name = "") const {
        std::string text = root_.read((name.empty() ? name_ : name) + "/miniqmd.run");
        size_t at = text.find(key);
        return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + std::strlen(key));
    }
    std::string name_;
    zt::TempDir root_;
    zt::ScopedEnv rootEnv_, syncEnv_, levelEnv_;
    mutable std::unique_ptr<zt::ScopedEnv> mqserver_;  // MQSERVER, on Windows
    mutable std::unique_ptr<zt::ScopedEnv> chllib_;    // MQCHLLIB, on Windows with two or more
    mutable std::map<std::string, int> ports_;         // of each queue manager started, on Windows
    bool created_ = false, started_ = false;
};

#ifdef MINIQM_MQM_LIBRARY
// One administration command to the queue manager through its library's miniqmControl (on Windows
// the runner asks the Linux library): its reply, or "" when it does not answer or refuses.
inline std::string control(const std::string &qm, const std::string &command) {
    char reply[256] = {};
#ifdef _WIN32
    std::string out;
    if (shell("qm_runner control " + qm + " \"" + command + "\"", &out) != 0) return "";
    std::snprintf(reply, sizeof reply, "%s", out.c_str());
#else
    using Control = int (*)(const char *, const char *, char *, int);
    void *library = dlopen(MINIQM_MQM_LIBRARY, RTLD_NOW);
    auto control = library ? reinterpret_cast<Control>(dlsym(library, "miniqmControl")) : nullptr;
    int rc = control ? control(qm.c_str(), command.c_str(), reply, sizeof reply) : -1;
    if (library) dlclose(library);
    if (rc != 0) return "";
#endif
    return reply;
}
// The number after key in a control reply; -1 when it is not there.
inline int controlNumber(const std::string &reply, const char *key) {
    const size_t at = reply.find(key);
    return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + std::strlen(key));
}
// The queue manager's connections, the command server's included; -1 when it does not answer.
inline int connectionCount(const std::string &qm) {
    return controlNumber(control(qm, "status"), "connections ");
}
// Nothing left on a local queue: no message there and none got in a unit of work still open (the
// depth leaves those out until their unit ends: a backout brings them back). Both read at one moment.
inline bool queueTaken(const std::string &qm, const std::string &queue) {
    const std::string reply = control(qm, "queue " + queue);
    return controlNumber(reply, "depth ") == 0 && controlNumber(reply, "uncommitted ") == 0;
}
// The queue manager backs a killed process's unit out when it drops its connection, not at once:
// waits until the connections of that process (its pid; it has ended) are gone. Under wine a process
// that died while a thread of it waited on its socket leaves the socket open in the wine server, and
// its connection with it, for good: the queue manager is told the process is gone, and cuts its
// connections as a dead channel's. The bound is for a loaded two-core machine: false when it is not
// met, and the caller stops there rather than check a unit that is still open.
[[nodiscard]] inline bool waitForConnectionsGone(const std::string &qm, long long pid) {
#ifdef _WIN32
    control(qm, "connections " + std::to_string(pid) + " end");
#endif
    int now = controlNumber(control(qm, "connections " + std::to_string(pid)), "connections ");
    for (int waited = 0; waited < 120000 && now != 0; waited += 5) {
        usleep(5000);
        now = controlNumber(control(qm, "connections " + std::to_string(pid)), "connections ");
    }
    EXPECT_EQ(now, 0) << "connections of process " << pid << " on " << qm << " after 120 s";
    return now == 0;
}
// The same for a count: waits until the queue manager's connections are back to before.
[[nodiscard]] inline bool waitForConnections(const std::string &qm, int before) {
    int now = connectionCount(qm);
    for (int waited = 0; waited < 120000 && now != before; waited += 5) {
        usleep(5000);
        now = connectionCount(qm);
    }
    EXPECT_EQ(now, before) << "connections of " << qm << " after 120 s";
    return now == before;
}
#endif

inline void setText(char *field, size_t n, const std::string &v) {
    std::memset(field, ' ', n);
    std::memcpy(field, v.data(), v.size() < n ? v.size() : n);
}

inline std::string text(const char *field, size_t n) {
    std::string s(field, n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

struct Rc {
    MQLONG cc = -1, reason = -1;
};

inline MQHCONN connect(const std::string &qm, Rc *rc = nullptr, MQLONG options = MQCNO_HANDLE_SHARE_BLOCK) {
    MQCHAR48 name;
    setText(name, 48, qm);
    MQCNO cno = MQCNO_DEFAULT;
    cno.Options = options;
    MQHCONN h = MQHC_UNUSABLE_HCONN;
    Rc local;
    Rc &r = rc ? *rc : local;
    MQCONNX(name, &cno, &h, &r.cc, &r.reason);
    return h;
}

inline MQHOBJ open(MQHCONN h, const std::string &q, MQLONG options, Rc *rc = nullptr, MQOD *odOut = nullptr) {
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, q);
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    Rc local;
    Rc &r = rc ? *rc : local;
    MQOPEN(h, &od, options, &hobj, &r.cc, &r.reason);
    if (odOut) *odOut = od;
    return hobj;
}

inline Rc put(MQHCONN h, MQHOBJ o, const std::string &data, MQLONG pmoOptions = MQPMO_NO_SYNCPOINT,
              MQMD *mdInOut = nullptr) {
    MQMD local = MQMD_DEFAULT;
    MQMD &md = mdInOut ? *mdInOut : local;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = pmoOptions;
    Rc r;
    MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()), &r.cc,
          &r.reason);
    return r;
}

// MQGET into a buffer of bufferLength bytes; data receives what was returned.
inline Rc get(MQHCONN h, MQHOBJ o, std::string *data, MQLONG gmoOptions = MQGMO_NO_SYNCPOINT,
              MQMD *mdInOut = nullptr, MQLONG bufferLength = 65536, MQLONG *dataLength = nullptr,
              MQLONG waitMs = 0, MQGMO *gmoInOut = nullptr) {
    MQMD local = MQMD_DEFAULT;
    MQMD &md = mdInOut ? *mdInOut : local;
    MQGMO localGmo = MQGMO_DEFAULT;
    MQGMO &gmo = gmoInOut ? *gmoInOut : localGmo;
    gmo.Options = gmoOptions;
    gmo.WaitInterval = waitMs;
    std::string buf(static_cast<size_t>(bufferLength), '\0');
    MQLONG len = -1;
    Rc r;
    MQGET(h, o, &md, &gmo, bufferLength, buf.data(), &len, &r.cc, &r.reason);
    if (dataLength) *dataLength = len;
    if (data)
        *data = r.cc != MQCC_FAILED ? buf.substr(0, static_cast<size_t>(std::min(len, bufferLength))) : "";
    return r;
}

// Gets the message with that MsgId under sync point and backs the unit out, times over: its
// BackoutCount rises by that many. The first failed get's reason, or MQRC_NONE.
inline MQLONG backOutTimes(MQHCONN h, MQHOBJ o, const std::string &msgId, int times) {
    for (int i = 0; i < times; i++) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.MsgId, msgId.data(), std::min(msgId.size(), sizeof md.MsgId));
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Version = MQGMO_VERSION_2;
        gmo.MatchOptions = MQMO_MATCH_MSG_ID;
        Rc r = get(h, o, nullptr, MQGMO_SYNCPOINT, &md, 65536, nullptr, 0, &gmo);
        if (r.reason != MQRC_NONE) return r.reason;
        MQBACK(h, &r.cc, &r.reason);
    }
    return MQRC_NONE;
}

inline MQLONG inqInt(MQHCONN h, MQHOBJ o, MQLONG selector, Rc *rc = nullptr) {
    MQLONG v = -99;
    Rc local;
    Rc &r = rc ? *rc : local;
    MQINQ(h, o, 1, &selector, 1, &v, 0, nullptr, &r.cc, &r.reason);
    return v;
}

// Current depth of a queue, through a connection of its own.
inline MQLONG depth(const std::string &qm, const std::string &q) {
    MQHCONN h = connect(qm);
    MQHOBJ o = open(h, q, MQOO_INQUIRE);
    MQLONG d = inqInt(h, o, MQIA_CURRENT_Q_DEPTH);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    return d;
}

}  // namespace qmt

#define EXPECT_RC(rc, expectedCc, expectedReason) \
    do {                                          \
        ::qmt::Rc r_ = (rc);                      \
        EXPECT_EQ(r_.cc, expectedCc);             \
        EXPECT_EQ(r_.reason, expectedReason);     \
    } while (0)

#define ASSERT_RC(rc, expectedCc, expectedReason)               \
    do {                                                        \
        ::qmt::Rc r_ = (rc);                                    \
        ASSERT_EQ(r_.cc, expectedCc) << "reason " << r_.reason; \
        ASSERT_EQ(r_.reason, expectedReason);                   \
    } while (0)

namespace qmt {

// MQCONNX with an ApplName, so that faults on demand can pick the connection out.
inline MQHCONN connectAs(const std::string &qm, const std::string &appl) {
    MQCHAR48 name;
    setText(name, 48, qm);
    MQCNO cno = MQCNO_DEFAULT;
    cno.Version = MQCNO_VERSION_7;
    cno.Options = MQCNO_HANDLE_SHARE_BLOCK;
    setText(cno.ApplName, 28, appl);
    MQHCONN h = MQHC_UNUSABLE_HCONN;
    Rc r;
    MQCONNX(name, &cno, &h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    return h;
}

// An administration command (mqsc, fault, status) through the in-process control; its exit code.
inline int admin(const std::string &qm, const std::string &command, std::string *reply = nullptr) {
    char buf[1024];
    int rc = miniqmControl(qm.c_str(), command.c_str(), buf, sizeof buf);
    if (reply) *reply = buf;
    return rc;
}

// A null-terminated text as an MQCHARV (property names, selection strings).
inline MQCHARV charv(const char *text) {
    MQCHARV v = {};
    v.VSPtr = const_cast<char *>(text);
    v.VSLength = MQVS_NULL_TERMINATED;
    return v;
}

// MQCRTMH; without rc the creation is expected to succeed.
inline MQHMSG createHandle(MQHCONN h, Rc *rc = nullptr) {
    MQCMHO cmho = MQCMHO_DEFAULT;
    MQHMSG m = MQHM_UNUSABLE_HMSG;
    Rc r;
    MQCRTMH(h, &cmho, &m, &r.cc, &r.reason);
    if (rc)
        *rc = r;
    else
        EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    return m;
}

// MQDLTMH with the default options.
inline Rc deleteHandle(MQHCONN h, MQHMSG *m) {
    MQDMHO dmho = MQDMHO_DEFAULT;
    Rc r;
    MQDLTMH(h, m, &dmho, &r.cc, &r.reason);
    return r;
}

// MQSETMP of one property with the default options.
inline Rc setProp(MQHCONN h, MQHMSG m, const char *name, MQLONG type, const void *value, MQLONG length) {
    MQSMPO smpo = MQSMPO_DEFAULT;
    MQPD pd = MQPD_DEFAULT;
    MQCHARV nv = charv(name);
    Rc r;
    MQSETMP(h, m, &smpo, &nv, &pd, type, length, const_cast<void *>(value), &r.cc, &r.reason);
    return r;
}

// MQPUT outside any unit of MQSTR data with the properties of the message handle m.
inline Rc putWithHandle(MQHCONN h, MQHOBJ o, MQHMSG m, const std::string &data,
                        MQLONG persistence = MQPER_NOT_PERSISTENT,
                        MQLONG priority = MQPRI_PRIORITY_AS_Q_DEF) {
    MQMD md = MQMD_DEFAULT;
    md.Priority = priority;
    md.Persistence = persistence;
    std::memcpy(md.Format, MQFMT_STRING, 8);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_3;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    pmo.OriginalMsgHandle = m;
    Rc r;
    MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()), &r.cc,
          &r.reason);
    return r;
}

}  // namespace qmt

namespace qmt {

// Every message waiting on a handle, got in order until the queue is empty.
inline std::vector<std::string> drainAll(MQHCONN h, MQHOBJ o) {
    std::vector<std::string> out;
    std::string data;
    while (get(h, o, &data).cc == MQCC_OK) out.push_back(data);
    return out;
}

// A publication by MQPUT1 on a topic string: MQSTR data with the given put options and persistence.
inline Rc publishPut1(MQHCONN h, const std::string &topic, const std::string &data, MQLONG pmoOptions,
                      MQLONG persistence = MQPER_NOT_PERSISTENT) {
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = MQOT_TOPIC;
    od.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    od.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    MQMD md = MQMD_DEFAULT;
    md.Persistence = persistence;
    std::memcpy(md.Format, MQFMT_STRING, 8);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = pmoOptions;
    Rc r;
    MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()), &r.cc,
           &r.reason);
    return r;
}

// The fixture of the tests that drive one queue manager: it runs for each test, with one
// connection h to it (disconnected at the end if still there).
class QmTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qm.ok());
        Rc r;
        h = connect(qm.name(), &r);
        ASSERT_EQ(r.cc, MQCC_OK) << r.reason;
    }
    void TearDown() override {
        Rc r;
        if (h != MQHC_UNUSABLE_HCONN) MQDISC(&h, &r.cc, &r.reason);
    }
    // MQSC that must succeed.
    void define(const std::string &mqsc) {
        std::string out;
        ASSERT_EQ(qm.mqsc(mqsc, &out), 0) << out;
    }
    QmServer qm;
    MQHCONN h = MQHC_UNUSABLE_HCONN;
};

}  // namespace qmt
