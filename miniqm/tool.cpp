// miniqm: the command-line tool of the stand-in queue manager. Creates, starts, stops, deletes
// and lists queue managers, runs MQSC, puts and gets messages through the MQI, shows queue depths
// and sets faults on demand. Exit code 0 only on success.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "miniqm/admin.h"
#include "miniqm/os.h"
#include "miniqm/paths.h"
#include "mqi/cmqc.h"

namespace {

const char kUsage[] =
    "usage: miniqm <command> ...\n"
    "  create QM [--port N]             make a queue manager (MINIQM_CMDLEVEL sets its command level)\n"
    "  start QM [--no-fsync]            start its server in the background\n"
    "  stop QM [--now]                  quiesce (wait for applications) or end at once\n"
    "  delete QM                        remove a stopped queue manager and all its data\n"
    "  status [QM]                      name, state, pid and port\n"
    "  mqsc QM                          run MQSC commands from standard input\n"
    "  put QM Q [--file F] [--format NAME] [--msgid HEX] [--correlid HEX] [--persistent] [--replyto Q]\n"
    "           [--user NAME]           as a client naming NAME in its MQCSP (authority is checked for it)\n"
    "  get QM Q [--browse] [--wait SECS] [--raw FILE]\n"
    "  depth QM Q                       current depth of a local queue\n"
    "  cmdserver QM start|stop          start or stop the command server (it starts with the queue manager)\n"
    "  fault QM VERB REASON [--count N] [--queue Q] [--conn APPLNAME] [--cc N]   fail the next N calls of "
    "VERB\n"
    "  fault QM clear|list\n"
    "    VERB: MQCONN MQDISC MQOPEN MQCLOSE MQPUT MQPUT1 MQGET MQINQ MQSET MQCMIT MQBACK MQSUB MQSUBRQ\n"
    "          MQCB MQCTL MQSTAT MQXCNVC MQCRTMH MQDLTMH MQSETMP MQINQMP MQDLTMP MQMHBUF MQBUFMH, or * for "
    "any\n"
    "Queue managers live under $MINIQM_ROOT (default ~/.miniqm).\n";

int fail(const std::string &text) {
    std::fprintf(stderr, "miniqm: %s\n", text.c_str());
    return 1;
}

int usage(const std::string &text) {
    std::fprintf(stderr, "miniqm: %s\n%s", text.c_str(), kUsage);
    return 2;
}

// A value the command cannot take (a name, a number, a verb): exit code 2, as for bad usage.
int badArgument(const std::string &text) {
    std::fprintf(stderr, "miniqm: %s\n", text.c_str());
    return 2;
}

int help() {
    std::fputs(kUsage, stdout);
    return 0;
}

// Parsed "--name value" and "--flag" options after the positional arguments.
struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;
    std::string error;
    bool help = false;  // -h or --help among the arguments
    bool has(const std::string &name) const {
        for (const auto &o : opts)
            if (o.first == name) return true;
        return false;
    }
    std::string get(const std::string &name) const {
        for (const auto &o : opts)
            if (o.first == name) return o.second;
        return std::string();
    }
};

Args parseArgs(int argc, char **argv, int from, const std::vector<std::string> &withValue,
               const std::vector<std::string> &flags) {
    Args a;
    for (int i = from; i < argc; ++i) {
        std::string s = argv[i];
        if (s == "-h" || s == "--help") {
            a.help = true;
        } else if (s.rfind("--", 0) == 0) {
            bool v = false, f = false;
            for (const std::string &n : withValue) v = v || n == s;
            for (const std::string &n : flags) f = f || n == s;
            if (v) {
                if (i + 1 >= argc) {
                    a.error = "option " + s + " needs a value";
                    return a;
                }
                a.opts.emplace_back(s, argv[++i]);
            } else if (f) {
                a.opts.emplace_back(s, "");
            } else {
                a.error = "unknown option " + s;
                return a;
            }
        } else {
            a.pos.push_back(s);
        }
    }
    return a;
}

// The exit code when the arguments end the command before it runs (help, or bad usage); -1 when
// the command goes on.
int stopCode(const Args &a) {
    if (a.help) return help();
    if (!a.error.empty()) return usage(a.error);
    return -1;
}

bool parseInt(const std::string &s, long lo, long hi, long &out) {
    if (s.empty()) return false;
    char *end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseHex24(const std::string &hex, MQBYTE24 &out) {
    std::memset(out, 0, 24);
    if (hex.size() > 48 || hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        char *end = nullptr;
        std::string pair = hex.substr(i, 2);
        long v = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
        out[i / 2] = static_cast<MQBYTE>(v);
    }
    return true;
}

std::string hex(const void *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", static_cast<const unsigned char *>(p)[i]);
        s += b;
    }
    return s;
}

void setText(char *field, size_t n, const std::string &v) {
    size_t k = v.size() < n ? v.size() : n;
    std::memcpy(field, v.data(), k);
    std::memset(field + k, ' ', n - k);
}

std::string text(const char *field, size_t n) {
    std::string s(field, n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

int badQmName(const std::string &name) {
    return badArgument("invalid queue manager name '" + name + "' (1-48 of A-Z a-z 0-9 . _ %)");
}

// The queue manager's directory and configuration: 0 when it exists, else the exit code (after
// saying why).
int findQm(const std::string &name, std::string &dir, qmpaths::QmConfig &cfg) {
    if (!qmpaths::validName(name)) return badQmName(name);
    dir = qmpaths::qmDir(name);
    if (!qmpaths::readConfig(dir, cfg)) return fail("queue manager " + name + " does not exist");
    return 0;
}

bool running(const std::string &dir, qmpaths::RunInfo &info) {
    return qmpaths::readRunInfo(dir, info) && qmos::processAlive(info.pid);
}

int cmdCreate(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {"--port"}, {});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() != 1) return usage("create needs exactly one queue manager name");
    const std::string &name = a.pos[0];
    if (!qmpaths::validName(name)) return badQmName(name);
    qmpaths::QmConfig cfg;
    cfg.name = name;
    cfg.admin = qmos::userName();
    long v = 0;
    if (a.has("--port")) {
        if (!parseInt(a.get("--port"), 0, 65535, v))
            return badArgument("invalid port '" + a.get("--port") + "'");
        cfg.port = static_cast<int>(v);
    }
    std::string level = qmos::getEnv("MINIQM_CMDLEVEL");
    if (!level.empty()) {
        if (!parseInt(level, 100, 999, v)) return fail("invalid MINIQM_CMDLEVEL '" + level + "'");
        cfg.cmdLevel = static_cast<int>(v);
    }
    std::string dir = qmpaths::qmDir(name);
    if (qmos::fileExists(dir)) return fail("queue manager " + name + " already exists");
    if (!qmos::makeDirs(dir) || !qmpaths::writeConfig(dir, cfg))
        return fail("cannot create " + dir + ": " + qmos::errorText(qmos::lastError()));
    std::printf("Queue manager %s created.\n", name.c_str());
    return 0;
}

int cmdStart(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {}, {"--no-fsync"});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() != 1) return usage("start needs exactly one queue manager name");
    std::string dir;
    qmpaths::QmConfig cfg;
    if (int missing = findQm(a.pos[0], dir, cfg)) return missing;
    qmpaths::RunInfo info;
    if (running(dir, info))
        return fail("queue manager " + cfg.name + " is already running (pid " + std::to_string(info.pid) +
                    ")");
    std::string exe = qmos::selfExecutable();
    std::string server = qmos::getEnv("MINIQMD");
    if (server.empty()) server = exe.substr(0, exe.rfind('/') + 1) + "miniqmd";
    int ready[2];
    if (!qmos::makePipe(ready)) return fail("cannot make a pipe");
    std::vector<std::string> argvServer = {server, "--dir", dir, "--ready-fd", std::to_string(ready[1])};
    if (a.has("--no-fsync")) argvServer.push_back("--no-fsync");
    int pid = qmos::spawnDetached(argvServer, qmpaths::logPath(dir), ready[1]);
    qmos::closeFd(ready[1]);
    if (pid < 0) {
        qmos::closeFd(ready[0]);
        return fail("cannot start " + server);
    }
    std::string line;
    char buf[128];
    long n;
    while ((n = qmos::readFd(ready[0], buf, sizeof buf)) > 0) line.append(buf, static_cast<size_t>(n));
    qmos::closeFd(ready[0]);
    int gotPid = 0, port = 0;
    if (std::sscanf(line.c_str(), "ready %d %d", &gotPid, &port) != 2) {
        std::string log;
        qmos::readFile(qmpaths::logPath(dir), log);
        size_t from = log.size() > 2000 ? log.size() - 2000 : 0;
        return fail("queue manager " + cfg.name + " did not start; its log says:\n" + log.substr(from));
    }
    std::printf("Queue manager %s started, pid %d, port %d.\n", cfg.name.c_str(), gotPid, port);
    return 0;
}

int cmdStop(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {}, {"--now"});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() != 1) return usage("stop needs exactly one queue manager name");
    std::string dir;
    qmpaths::QmConfig cfg;
    if (int missing = findQm(a.pos[0], dir, cfg)) return missing;
    qmpaths::RunInfo info;
    if (!running(dir, info)) return fail("queue manager " + cfg.name + " is not running");
    std::string reply;
    // The server may end before its reply arrives; what counts is that it ends.
    if (qmadmin::request(dir, a.has("--now") ? "stop now" : "stop quiesce", reply) ==
        qmadmin::Outcome::Unreachable)
        qmos::killProcess(info.pid, false);  // not listening: SIGTERM ends it at once
    if (!a.has("--now")) std::printf("Waiting for applications of %s to disconnect...\n", cfg.name.c_str());
    while (qmos::processAlive(info.pid)) qmos::sleepMs(10);
    std::printf("Queue manager %s ended.\n", cfg.name.c_str());
    return 0;
}

int cmdDelete(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {}, {});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() != 1) return usage("delete needs exactly one queue manager name");
    std::string dir;
    qmpaths::QmConfig cfg;
    if (int missing = findQm(a.pos[0], dir, cfg)) return missing;
    qmpaths::RunInfo info;
    if (running(dir, info)) return fail("queue manager " + cfg.name + " is running; stop it first");
    if (!qmos::removeTree(dir)) return fail("cannot remove " + dir);
    std::printf("Queue manager %s deleted.\n", cfg.name.c_str());
    return 0;
}

int cmdStatus(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {}, {});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() > 1) return usage("status takes at most one queue manager name");
    std::vector<std::string> names;
    if (a.pos.empty()) {
        for (const std::string &n : qmos::listDir(qmpaths::root()))
            if (qmos::fileExists(qmpaths::qmDir(n) + "/qm.ini")) names.push_back(n);
    } else {
        names.push_back(a.pos[0]);
    }
    for (const std::string &n : names) {
        std::string dir;
        qmpaths::QmConfig cfg;
        if (int missing = findQm(n, dir, cfg)) return missing;
        qmpaths::RunInfo info;
        if (running(dir, info))
            std::printf("%-20s running  pid %d  port %d\n", cfg.name.c_str(), info.pid, info.port);
        else
            std::printf("%-20s stopped\n", cfg.name.c_str());
    }
    return 0;
}

int cmdMqsc(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {}, {});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() != 1) return usage("mqsc needs exactly one queue manager name");
    std::string dir;
    qmpaths::QmConfig cfg;
    if (int missing = findQm(a.pos[0], dir, cfg)) return missing;
    std::string input;
    char buf[65536];
    long n;
    while ((n = qmos::readFd(0, buf, sizeof buf)) > 0) input.append(buf, static_cast<size_t>(n));
    std::string reply;
    qmadmin::Outcome o = qmadmin::request(dir, "mqsc " + input, reply);
    if (o == qmadmin::Outcome::Unreachable || o == qmadmin::Outcome::NoReply)
        return fail("queue manager " + cfg.name + " is not running");
    std::fputs(reply.c_str(), stdout);
    return o == qmadmin::Outcome::Ok ? 0 : 10;
}

int cmdCmdserver(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {}, {});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() != 2 || (a.pos[1] != "start" && a.pos[1] != "stop"))
        return usage("cmdserver needs a queue manager name and start or stop");
    std::string dir;
    qmpaths::QmConfig cfg;
    if (int missing = findQm(a.pos[0], dir, cfg)) return missing;
    std::string reply;
    qmadmin::Outcome o = qmadmin::request(dir, "cmdserver " + a.pos[1], reply);
    if (o == qmadmin::Outcome::Unreachable || o == qmadmin::Outcome::NoReply)
        return fail("queue manager " + cfg.name + " is not running");
    std::fputs(reply.c_str(), stdout);
    return o == qmadmin::Outcome::Ok ? 0 : 1;
}

int mqFail(const char *verb, MQLONG reason) {
    return fail(std::string(verb) + " failed with reason " + std::to_string(reason));
}

// put, get and depth take a queue manager and a queue name: 0 when they are there and valid, else
// the exit code.
int queueArgs(const char *command, const Args &a) {
    if (a.pos.size() != 2) return usage(std::string(command) + " needs a queue manager and a queue name");
    if (!qmpaths::validName(a.pos[0])) return badQmName(a.pos[0]);
    const std::string &q = a.pos[1];
    if (q.empty() || q.size() > 48) return badArgument("invalid queue name '" + q + "' (1-48 characters)");
    return 0;
}

// Connects to queue manager qm and opens queue q. On failure says which call failed with which
// reason (the reason is kept before the disconnect that follows a failed open) and returns the
// exit code; 0 when both calls worked.
// With a user, the connection is a client one to the queue manager's own port, naming that user in
// its MQCSP: the one way to be someone other than the caller without privileges.
int connectAndOpen(const std::string &qm, const std::string &q, MQLONG options, MQHCONN &hconn, MQHOBJ &hobj,
                   const std::string &user = std::string()) {
    MQCHAR48 qmName;
    setText(qmName, 48, qm);
    MQLONG cc, rc;
    if (user.empty()) {
        MQCONN(qmName, &hconn, &cc, &rc);
        if (cc == MQCC_FAILED) return mqFail("MQCONN", rc);
    } else {
        std::string dir;
        qmpaths::QmConfig cfg;
        if (int missing = findQm(qm, dir, cfg)) return missing;
        qmpaths::RunInfo info;
        if (!running(dir, info)) return fail("queue manager " + qm + " is not running");
        MQCD cd = MQCD_DEFAULT;
        cd.ChannelType = MQCHT_CLNTCONN;
        cd.TransportType = MQXPT_TCP;
        setText(cd.ChannelName, sizeof cd.ChannelName, "SYSTEM.DEF.SVRCONN");
        setText(cd.ConnectionName, sizeof cd.ConnectionName, "127.0.0.1(" + std::to_string(info.port) + ")");
        std::string id = user;
        MQCSP csp = MQCSP_DEFAULT;
        csp.AuthenticationType = MQCSP_AUTH_USER_ID_AND_PWD;
        csp.CSPUserIdPtr = id.data();
        csp.CSPUserIdLength = static_cast<MQLONG>(id.size());
        MQCNO cno = MQCNO_DEFAULT;
        cno.Version = MQCNO_VERSION_5;
        cno.Options = MQCNO_CLIENT_BINDING;
        cno.ClientConnPtr = &cd;
        cno.SecurityParmsPtr = &csp;
        MQCONNX(qmName, &cno, &hconn, &cc, &rc);
        if (cc == MQCC_FAILED) return mqFail("MQCONNX", rc);
    }
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, q);
    MQOPEN(hconn, &od, options, &hobj, &cc, &rc);
    if (cc == MQCC_FAILED) {
        MQLONG openReason = rc;
        MQDISC(&hconn, &cc, &rc);
        return mqFail("MQOPEN", openReason);
    }
    return 0;
}

int cmdPut(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {"--file", "--format", "--msgid", "--correlid", "--replyto", "--user"},
                       {"--persistent"});
    if (int code = stopCode(a); code >= 0) return code;
    if (int bad = queueArgs("put", a)) return bad;
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_2;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    if (a.has("--format")) {
        if (a.get("--format").size() > 8) return badArgument("format name longer than 8 characters");
        setText(md.Format, 8, a.get("--format"));
    }
    if (a.has("--msgid") && !parseHex24(a.get("--msgid"), md.MsgId))
        return badArgument("--msgid needs up to 48 hex digits");
    if (a.has("--correlid") && !parseHex24(a.get("--correlid"), md.CorrelId))
        return badArgument("--correlid needs up to 48 hex digits");
    if (a.has("--persistent")) md.Persistence = MQPER_PERSISTENT;
    if (a.has("--replyto")) {
        if (a.get("--replyto").size() > 48)
            return badArgument("reply-to queue name longer than 48 characters");
        setText(md.ReplyToQ, 48, a.get("--replyto"));
        md.MsgType = MQMT_REQUEST;
    }
    std::string data;
    if (a.has("--file")) {
        if (!qmos::readFile(a.get("--file"), data)) return fail("cannot read " + a.get("--file"));
    } else {
        char buf[65536];
        long n;
        while ((n = qmos::readFd(0, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
    }
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    if (a.has("--user") && (a.get("--user").empty() || a.get("--user").size() > 1024))
        return badArgument("--user needs a name of 1-1024 characters");
    if (int failed = connectAndOpen(a.pos[0], a.pos[1], MQOO_OUTPUT, hconn, hobj, a.get("--user")))
        return failed;
    MQLONG cc, rc;
    MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(data.size()), data.data(), &cc, &rc);
    MQLONG putReason = rc, putCc = cc;
    MQDISC(&hconn, &cc, &rc);
    if (putCc == MQCC_FAILED) return mqFail("MQPUT", putReason);
    std::printf("Message put to %s, %zu bytes, MsgId %s\n", a.pos[1].c_str(), data.size(),
                hex(md.MsgId, 24).c_str());
    return 0;
}

void dump(const std::string &data) {
    for (size_t off = 0; off < data.size(); off += 16) {
        std::printf("%08zX  ", off);
        for (size_t i = 0; i < 16; ++i) {
            if (off + i < data.size())
                std::printf("%02X ", static_cast<unsigned char>(data[off + i]));
            else
                std::printf("   ");
        }
        std::printf(" ");
        for (size_t i = 0; i < 16 && off + i < data.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(data[off + i]);
            std::putchar(c >= 32 && c < 127 ? c : '.');
        }
        std::printf("\n");
    }
}

int cmdGet(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {"--wait", "--raw"}, {"--browse"});
    if (int code = stopCode(a); code >= 0) return code;
    if (int bad = queueArgs("get", a)) return bad;
    long wait = 0;
    if (a.has("--wait") && !parseInt(a.get("--wait"), 0, 2000000, wait))
        return badArgument("invalid --wait seconds");
    bool browse = a.has("--browse");
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    if (int failed =
            connectAndOpen(a.pos[0], a.pos[1], browse ? MQOO_BROWSE : MQOO_INPUT_SHARED, hconn, hobj))
        return failed;
    MQLONG cc, rc;
    std::string data(1024 * 1024, '\0');
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_2;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = (browse ? MQGMO_BROWSE_FIRST : MQGMO_NO_SYNCPOINT) | (wait > 0 ? MQGMO_WAIT : 0);
    gmo.WaitInterval = static_cast<MQLONG>(wait * 1000);
    MQLONG length = 0;
    for (;;) {
        MQGET(hconn, hobj, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        if (rc != MQRC_TRUNCATED_MSG_FAILED) break;
        // Bigger than the buffer: try again with room for it, for the same message.
        data.resize(static_cast<size_t>(length));
        if (browse) gmo.Options = (gmo.Options & ~MQGMO_BROWSE_FIRST) | MQGMO_BROWSE_MSG_UNDER_CURSOR;
        gmo.Options &= ~MQGMO_WAIT;
        if (!browse) {
            // Match exactly the message just seen.
            gmo.Version = MQGMO_VERSION_2;
            gmo.MatchOptions = MQMO_MATCH_MSG_ID;
        }
    }
    MQLONG getCc = cc, getRc = rc;
    MQDISC(&hconn, &cc, &rc);
    if (getCc == MQCC_FAILED && getRc == MQRC_NO_MSG_AVAILABLE)
        return fail("no message available (reason 2033)");
    if (getCc == MQCC_FAILED) return mqFail("MQGET", getRc);
    data.resize(static_cast<size_t>(length));
    if (a.has("--raw")) {
        if (!qmos::writeFileAtomic(a.get("--raw"), data, false))
            return fail("cannot write " + a.get("--raw"));
        std::printf("%d bytes written to %s\n", length, a.get("--raw").c_str());
        return 0;
    }
    std::printf("MsgId          %s\n", hex(md.MsgId, 24).c_str());
    std::printf("CorrelId       %s\n", hex(md.CorrelId, 24).c_str());
    std::printf("Format         '%s'\n", text(md.Format, 8).c_str());
    std::printf("MsgType        %d\n", md.MsgType);
    std::printf("Persistence    %d\n", md.Persistence);
    std::printf("Priority       %d\n", md.Priority);
    std::printf("Expiry         %d\n", md.Expiry);
    std::printf("Encoding       %d\n", md.Encoding);
    std::printf("CodedCharSetId %d\n", md.CodedCharSetId);
    std::printf("BackoutCount   %d\n", md.BackoutCount);
    std::printf("ReplyToQ       '%s'\n", text(md.ReplyToQ, 48).c_str());
    std::printf("ReplyToQMgr    '%s'\n", text(md.ReplyToQMgr, 48).c_str());
    std::printf("UserIdentifier '%s'\n", text(md.UserIdentifier, 12).c_str());
    std::printf("PutApplName    '%s'\n", text(md.PutApplName, 28).c_str());
    std::printf("PutDate        '%s'\n", text(md.PutDate, 8).c_str());
    std::printf("PutTime        '%s'\n", text(md.PutTime, 8).c_str());
    std::printf("DataLength     %d\n", length);
    dump(data);
    return 0;
}

int cmdDepth(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {}, {});
    if (int code = stopCode(a); code >= 0) return code;
    if (int bad = queueArgs("depth", a)) return bad;
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    if (int failed = connectAndOpen(a.pos[0], a.pos[1], MQOO_INQUIRE, hconn, hobj)) return failed;
    MQLONG cc, rc;
    MQLONG selector = MQIA_CURRENT_Q_DEPTH, depth = 0;
    MQINQ(hconn, hobj, 1, &selector, 1, &depth, 0, nullptr, &cc, &rc);
    MQLONG inqCc = cc, inqRc = rc;
    MQDISC(&hconn, &cc, &rc);
    if (inqCc != MQCC_OK) return mqFail("MQINQ", inqRc);
    std::printf("%d\n", depth);
    return 0;
}

int cmdFault(int argc, char **argv) {
    Args a = parseArgs(argc, argv, 2, {"--count", "--object", "--queue", "--conn", "--cc"}, {});
    if (int code = stopCode(a); code >= 0) return code;
    if (a.pos.size() < 2) return usage("fault needs a queue manager and a verb");
    std::string command;
    if (a.pos.size() == 2 && (a.pos[1] == "clear" || a.pos[1] == "list")) {
        command = "fault " + a.pos[1];
    } else {
        if (a.pos.size() != 3) return usage("fault needs a verb and a reason");
        // The server's verbs, then those the libraries serve themselves (asked of the server first).
        static const char *kVerbs[] = {
            "MQCONN",  "MQCONNX", "MQDISC",  "MQOPEN",  "MQCLOSE", "MQPUT",   "MQPUT1",  "MQGET",  "MQINQ",
            "MQSET",   "MQCMIT",  "MQBACK",  "MQSUB",   "MQSUBRQ", "MQCB",    "MQCTL",   "MQSTAT", "MQXCNVC",
            "MQCRTMH", "MQDLTMH", "MQSETMP", "MQINQMP", "MQDLTMP", "MQMHBUF", "MQBUFMH", "*"};
        std::string verb = a.pos[1];
        for (char &c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        bool known = false;
        for (const char *v : kVerbs) known = known || verb == v;
        if (!known) return badArgument("unknown verb '" + a.pos[1] + "'");
        long reason = 0, count = 1, cc = -1;
        if (!parseInt(a.pos[2], 1, 999999, reason)) return badArgument("invalid reason '" + a.pos[2] + "'");
        if (a.has("--count") && !parseInt(a.get("--count"), 1, 1000000, count))
            return badArgument("invalid --count");
        if (a.has("--cc") && !parseInt(a.get("--cc"), 0, 2, cc))
            return badArgument("invalid --cc (0, 1 or 2)");
        // --queue and --object are the same: the object the call is made on, as opened.
        std::string object = a.has("--queue")    ? a.get("--queue")
                             : a.has("--object") ? a.get("--object")
                                                 : "-";
        if (object.empty() || object.find(' ') != std::string::npos) return badArgument("invalid --queue");
        std::string appl = a.has("--conn") ? a.get("--conn") : "-";
        if (appl.empty() || appl.find(' ') != std::string::npos)
            return badArgument("invalid --conn (an ApplName without blanks)");
        command = "fault " + verb + " " + std::to_string(reason) + " " + std::to_string(count) + " " +
                  std::to_string(cc) + " " + object + " " + appl;
    }
    std::string dir;
    qmpaths::QmConfig cfg;
    if (int missing = findQm(a.pos[0], dir, cfg)) return missing;
    std::string reply;
    qmadmin::Outcome o = qmadmin::request(dir, command, reply);
    if (o == qmadmin::Outcome::Unreachable || o == qmadmin::Outcome::NoReply)
        return fail("queue manager " + cfg.name + " is not running");
    std::fputs(reply.c_str(), stdout);
    return o == qmadmin::Outcome::Ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage("no command given");
    std::string cmd = argv[1];
    struct Entry {
        const char *name;
        int (*run)(int, char **);
    };
    static const Entry kCommands[] = {
        {"create", cmdCreate},
        {"start", cmdStart},
        {"stop", cmdStop},
        {"delete", cmdDelete},
        {"status", cmdStatus},
        {"mqsc", cmdMqsc},
        {"put", cmdPut},
        {"get", cmdGet},
        {"depth", cmdDepth},
        {"fault", cmdFault},
        {"cmdserver", cmdCmdserver},
    };
    for (const Entry &e : kCommands)
        if (cmd == e.name) return e.run(argc, argv);
    if (cmd == "-h" || cmd == "--help" || cmd == "help") return help();
    return usage("unknown command '" + cmd + "'");
}
