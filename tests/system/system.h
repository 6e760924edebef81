// The system as its users run it: `zunt` as a child process against a private stand-in queue
// manager, driven only by what any application can do: the `miniqm` tool, MQI calls of its own and
// MQSC commands to the system's command queue, whose replies are the evidence. Nothing reaches into
// the program's memory.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"

extern char **environ;

namespace sys {

inline constexpr const char *kQmgr = "QMSYS";
inline constexpr const char *kCommandQueue = "HOLVA.ZUNT.COMMAND.QUEUE";
inline constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";
inline constexpr const char *kReplyQueue = "SYS.REPLY";
inline constexpr const char *kQmgrEvents = "SYSTEM.ADMIN.QMGR.EVENT";

inline int countOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
    return n;
}

// One run of the program in background mode, its output in a file and its log in a folder.
class Zunt {
public:
    // extraEnv: NAME=value entries given before the test's own environment.
    Zunt(const zt::TempDir &dir, const std::string &name, std::vector<std::string> options,
         const std::vector<std::string> &extraEnv = {})
        : out_(dir.file(name + ".out")), logRoot_(dir.file(name + ".log")) {
        mkdir(logRoot_.c_str(), 0700);
        std::vector<std::string> args{ZUNT_PROGRAM, "-m", kQmgr, "-b", "-L", logRoot_};
        args.insert(args.end(), options.begin(), options.end());
        std::string library = MINIQM_MQM_LIBRARY;
        std::vector<std::string> env{"MQM_DLL_PATH=" + library.substr(0, library.rfind('/'))};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        for (char **e = environ; *e != nullptr; e++)
            if (std::strncmp(*e, "MQM_DLL_PATH=", 13) != 0) env.emplace_back(*e);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        std::vector<char *> argv, envp;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string &e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Zunt() {
        if (running()) {
            kill(pid_, SIGKILL);
            wait();
        }
    }
    Zunt(const Zunt &) = delete;
    Zunt &operator=(const Zunt &) = delete;

    bool running() { return pid_ > 0 && status_ < 0 && !reap(WNOHANG); }
    // The exit code (128 + the signal that ended it), or -1 while it still runs after ms.
    int wait(int ms = 60000) {
        for (int waited = 0; waited < ms && running(); waited += 10) usleep(10000);
        return running() ? -1 : status_;
    }
    void term() {
        if (running()) kill(pid_, SIGTERM);
    }
    std::string out() const { return qmt::readText(out_) + log(); }
    // Every log file of the run (the program flushes its log once a second).
    std::string log() const {
        std::string names, text;
        qmt::shell("ls " + logRoot_, &names);
        for (const std::string &name : qmt::words(names)) text += qmt::readText(logRoot_ + "/" + name);
        return text;
    }
    // Waits (at most ms) until the log holds the text count times.
    bool waitFor(const std::string &text, int count = 1, int ms = 30000) {
        for (int waited = 0;; waited += 50) {
            if (countOf(log(), text) >= count) return true;
            if (waited >= ms || !running()) return countOf(log(), text) >= count;
            usleep(50000);
        }
    }

private:
    bool reap(int options) {
        int status = 0;
        if (waitpid(pid_, &status, options) != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }
    std::string out_, logRoot_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A client connection naming the user in its MQCSP: the one way to be another principal here.
inline MQHCONN connectAsUser(const std::string &user, int port, qmt::Rc *rc) {
    MQCD cd = MQCD_DEFAULT;
    cd.ChannelType = MQCHT_CLNTCONN;
    cd.TransportType = MQXPT_TCP;
    qmt::setText(cd.ChannelName, sizeof cd.ChannelName, "SYSTEM.DEF.SVRCONN");
    qmt::setText(cd.ConnectionName, sizeof cd.ConnectionName, "127.0.0.1(" + std::to_string(port) + ")");
    std::string id = user;
    MQCSP csp = MQCSP_DEFAULT;
    csp.AuthenticationType = MQCSP_AUTH_USER_ID_AND_PWD;
    csp.CSPUserIdPtr = id.data();
    csp.CSPUserIdLength = static_cast<MQLONG>(id.size());
    MQCNO cno = MQCNO_DEFAULT;
    cno.Version = MQCNO_VERSION_5;
    cno.Options = MQCNO_CLIENT_BINDING | MQCNO_HANDLE_SHARE_BLOCK;
    cno.ClientConnPtr = &cd;
    cno.SecurityParmsPtr = &csp;
    MQCHAR48 name;
    qmt::setText(name, 48, kQmgr);
    MQHCONN h = MQHC_UNUSABLE_HCONN;
    MQCONNX(name, &cno, &h, &rc->cc, &rc->reason);
    return h;
}

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qm.ok());
        // The system's own queues as its README has a user define them; events outlive a restart of
        // the queue manager; a dead-letter queue for what the program cannot take.
        mqsc(
            "DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304) DEFPSIST(YES)\n"
            "DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)\nDEFINE QLOCAL(SYS.REPLY) MAXDEPTH(100000)\n"
            "ALTER QLOCAL(SYSTEM.ADMIN.QMGR.EVENT) DEFPSIST(YES) MAXDEPTH(100000)\n"
            "ALTER QMGR STRSTPEV(DISABLED) LOCALEV(ENABLED) DEADQ(SYSTEM.DEAD.LETTER.QUEUE)\n");
        h = qmt::connect(kQmgr);
    }
    void TearDown() override {
        stopFeeding();
        qmt::Rc r;
        if (h != MQHC_UNUSABLE_HCONN) MQDISC(&h, &r.cc, &r.reason);
    }
    void mqsc(const std::string &script) {
        std::string out;
        ASSERT_EQ(qm.mqsc(script, &out), 0) << out;
    }
    // The connection of the test again, after its queue manager was restarted.
    void reconnect() {
        qmt::Rc r;
        MQDISC(&h, &r.cc, &r.reason);
        h = qmt::connect(kQmgr);
    }

    // A started program that has connected, loaded and is taking in events.
    std::unique_ptr<Zunt> start(std::vector<std::string> options = {},
                                const std::vector<std::string> &env = {}) {
        auto zunt = std::make_unique<Zunt>(dir, "run" + std::to_string(++runs), std::move(options), env);
        EXPECT_TRUE(zunt->waitFor("ZUNT Initialised")) << zunt->out();
        initialisedAt = std::time(nullptr);
        return zunt;
    }
    // An orderly end through the system's own STOP EV command. Its put time counts in seconds and must
    // be after the run's start (an older one is left from an earlier run): a stop in the second the
    // run was initialised waits for the next second.
    void stop(Zunt &zunt) {
        while (std::time(nullptr) <= initialisedAt) usleep(20000);
        put(kCommandQueue, "STOP EV", MQFMT_STRING);
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }

    // One message put by this test's connection; its MsgId.
    std::string put(const char *queue, const std::string &data, const char *format, MQHCONN hconn = 0,
                    const char *replyTo = nullptr) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        if (replyTo != nullptr) qmt::setText(md.ReplyToQ, 48, replyTo);
        md.Persistence = MQPER_PERSISTENT;
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, queue);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID;
        qmt::Rc r;
        MQPUT1(hconn ? hconn : h, &od, &md, &pmo, static_cast<MQLONG>(data.size()),
               const_cast<char *>(data.data()), &r.cc, &r.reason);
        EXPECT_EQ(r.reason, MQRC_NONE) << queue;
        return std::string(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId);
    }
    // The replies to one message put to the command queue, found by their CorrelId: the texts of
    // the pieces joined, responses one a line.
    std::string replyTo(const std::string &msgId, int waitMs = 30000) {
        MQHOBJ hobj = qmt::open(h, kReplyQueue, MQOO_INPUT_SHARED);
        std::string text;
        for (MQLONG wait = waitMs;; wait = 200) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.CorrelId, msgId.data(), sizeof md.CorrelId);
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Version = MQGMO_VERSION_2;
            gmo.MatchOptions = MQMO_MATCH_CORREL_ID;
            std::string data;
            qmt::Rc r = qmt::get(h, hobj, &data, MQGMO_NO_SYNCPOINT | MQGMO_WAIT, &md, 4 * 1024 * 1024,
                                 nullptr, wait, &gmo);
            if (r.cc == MQCC_FAILED) break;
            for (char &c : data)
                if (c == '\0') c = '\n';
            text += data + "\n";
        }
        qmt::Rc r;
        MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
        return text;
    }
    std::string ask(const std::string &command, MQHCONN hconn = 0) {
        return replyTo(put(kCommandQueue, command, MQFMT_STRING, hconn, kReplyQueue));
    }
    void resume(std::initializer_list<const char *> queues) {
        for (const char *queue : queues)
            ASSERT_NE(ask(std::string("RESUME EVQ(") + queue + ")").find("AMQ8005"), std::string::npos)
                << queue;
    }
    // Every stored event, newest first, one response a line. FROM(any), since the default window ends
    // at the program's clock, a second its main loop moves on once a second: an event stamped later
    // than that second is listed only after the next move.
    std::string events() { return ask("DISPLAY EVENTS(*) FROM(any) MAXRESP(999999)"); }
    int storedCount() {
        std::string reply = ask("DISPLAY EVSTRMST($EVENTS)");
        size_t at = reply.find("ITEMS(");
        return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + 6);
    }
    MQLONG depth(const char *queue) { return qmt::depth(kQmgr, queue); }
    // Waits until the queue's messages are all taken in and committed (a got message is counted out
    // of the depth before its unit of work commits: its unit must be closed too).
    bool settled(const char *queue = kQmgrEvents, int ms = 30000) {
        for (int waited = 0; waited < ms && !qmt::queueTaken(kQmgr, queue); waited += 50) usleep(50000);
        return qmt::queueTaken(kQmgr, queue);
    }

    // A steady flow of real events: opens of queues that do not exist, each name its own, on a
    // connection of the feeder's own that comes back after the queue manager does. A name counts as
    // raised when the open was refused with 2085; one whose open broke with the connection may or
    // may not have raised its event.
    void startFeeding(int everyMs = 5) {
        feeding = true;
        feeder = std::thread([this, everyMs] {
            MQHCONN hconn = MQHC_UNUSABLE_HCONN;
            for (int n = 1; feeding.load(); n++) {
                if (hconn == MQHC_UNUSABLE_HCONN) {
                    qmt::Rc r;
                    hconn = qmt::connect(kQmgr, &r);
                    if (r.cc == MQCC_FAILED) {
                        hconn = MQHC_UNUSABLE_HCONN;
                        usleep(20000);
                        continue;
                    }
                }
                char name[32];
                std::snprintf(name, sizeof name, "SYS.U.%07d", n);
                qmt::Rc r;
                qmt::open(hconn, name, MQOO_OUTPUT, &r);
                {
                    std::lock_guard<std::mutex> lock(namesLock);
                    (r.reason == MQRC_UNKNOWN_OBJECT_NAME ? raised : uncertain).insert(name);
                }
                if (r.reason != MQRC_UNKNOWN_OBJECT_NAME) {
                    MQDISC(&hconn, &r.cc, &r.reason);
                    hconn = MQHC_UNUSABLE_HCONN;
                }
                usleep(static_cast<useconds_t>(everyMs) * 1000);
            }
            qmt::Rc r;
            if (hconn != MQHC_UNUSABLE_HCONN) MQDISC(&hconn, &r.cc, &r.reason);
        });
    }
    void stopFeeding() {
        feeding = false;
        if (feeder.joinable()) feeder.join();
    }
    // The program's complaints ("*** ... ***" lines) in its log, the last 60, to see what went wrong.
    static std::string complaints(const std::string &log) {
        std::vector<std::string> lines;
        for (size_t at = 0, end; at < log.size(); at = end + 1) {
            end = log.find('\n', at);
            if (end == std::string::npos) end = log.size();
            if (log.find("***", at) < end && log.find("Storm items kept", at) >= end)
                lines.push_back(log.substr(at, end - at));
        }
        std::string text;
        for (size_t i = lines.size() > 60 ? lines.size() - 60 : 0; i < lines.size(); i++)
            text += lines[i] + "\n";
        return text;
    }
    // The fed names stored other than once (a raised one), or more than once (an uncertain one), each
    // with how often. A missing one is waited for (at most ms, asking again); a double fails at once.
    std::string fedNotOnce(int ms = 30000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const std::string all = events();
            std::string missing, doubled;
            {
                std::lock_guard<std::mutex> lock(namesLock);
                for (const std::string &name : raised)
                    if (int times = countOf(all, "Queue:" + name + ")"); times != 1)
                        (times == 0 ? missing : doubled) += name + " x" + std::to_string(times) + " ";
                for (const std::string &name : uncertain)
                    if (int times = countOf(all, "Queue:" + name + ")"); times > 1)
                        doubled += name + " x" + std::to_string(times) + " ";
            }
            if (!doubled.empty() || missing.empty() || std::chrono::steady_clock::now() >= until)
                return doubled + missing;
            usleep(300000);
        }
    }

    // Waits (at most ms) until the program has the queue manager's event queue open for input again:
    // sooner than its log, which is written out once a second, says so.
    bool readerBack(int ms = 30000) {
        for (int waited = 0; waited < ms; waited += 20) {
            MQHOBJ hobj = qmt::open(h, kQmgrEvents, MQOO_INQUIRE);
            MQLONG readers = qmt::inqInt(h, hobj, MQIA_OPEN_INPUT_COUNT);
            qmt::Rc r;
            MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
            if (readers > 0) return true;
            usleep(20000);
        }
        return false;
    }

    // miniqm stop --now and a fresh start, cycles times during intake: the program reconnects by its
    // retry scheme each time, and every event is stored once.
    void queueManagerLoss(int cycles, unsigned seed) {
        auto zunt = start({"-r", "1(100000)"});
        resume({kQmgrEvents});
        std::mt19937 random(seed);
        startFeeding();
        for (int cycle = 0; cycle < cycles; cycle++) {
            SCOPED_TRACE(cycle);
            usleep(std::uniform_int_distribution<useconds_t>(50000, 300000)(random));
            ASSERT_TRUE(qm.stop(true));
            ASSERT_TRUE(qm.start());
            reconnect();
            ASSERT_TRUE(readerBack()) << zunt->out();
        }
        usleep(200000);
        stopFeeding();
        ASSERT_TRUE(settled()) << zunt->out();
        EXPECT_GT(raised.size(), static_cast<size_t>(cycles)) << "a steady flow";
        EXPECT_EQ(fedNotOnce(), "") << complaints(zunt->log());
        stop(*zunt);
    }

    qmt::QmServer qm{kQmgr};
    zt::TempDir dir;
    MQHCONN h = MQHC_UNUSABLE_HCONN;
    int runs = 0;
    std::time_t initialisedAt = 0;  // the second the latest run said it was initialised
    std::atomic<bool> feeding{false};
    std::thread feeder;
    std::mutex namesLock;
    std::set<std::string> raised, uncertain;
};

}  // namespace sys
