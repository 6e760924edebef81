// The real program on a private stand-in queue manager: `zunt` runs as a child process with its keys
// written to it, its output in files and the stand-in's library as its MQ library. The
// fixture seeds the data queue through the engine in this process (the queue manager's event queue
// resumed), feeds distinct events while the program runs, and reads back what the stream loader
// finds once it has ended.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine_qm.h"
#include "testing/built_paths.h"
#include "testing/program_child.h"

namespace pt {

using eqm::kQmgrEvents;
inline constexpr const char *kConfigEvents = "SYSTEM.ADMIN.CONFIG.EVENT";
inline constexpr const char *kStatistics = "SYSTEM.ADMIN.STATISTICS.QUEUE";
inline constexpr int kKilled = 137;  // a kill's exit code: 128 + SIGKILL, on Windows too
// Under wine 8 a killed program's socket can stay open in the wine server (a thread of it was waiting
// on it; ss shows it held by the wine server alone): its connection keeps the queues it had open and
// its unit of work, so that the next run cannot start or events stay missing. The kills of the
// program are checked on Linux only.
#ifdef _WIN32
inline constexpr bool kKillsSound = false;
#else
inline constexpr bool kKillsSound = true;
#endif
// A connect to a queue manager that is down: through bindings; as a client, on Windows, the host is
// not available.
#ifdef _WIN32
inline constexpr const char *kDown = "Connect 'QM1' RC(2538)";
#else
inline constexpr const char *kDown = "Connect 'QM1' RC(2059)";
#endif

// A wrapper that runs the program under ulimit's options (Linux): the shell sets them and becomes the
// program.
inline std::vector<std::string> underLimits(const std::string &limits) {
    return {"/bin/sh", "-c", "ulimit " + limits + " && exec \"$@\"", "sh"};
}

// An event hook that works per event (the start-up script's ZUNTEvent): a loop of 400 steps.
inline constexpr const char *kSlowHook = "@n = 0\nwhile (@n < 400)\n  @n = @n + 1\nendwhile\n";

// One run of the program: its keys, output and error as zt::ProgramChild gives them, its log under a
// folder of its own.
class Zunt {
public:
    // environment: more variables for the child, "NAME=value".
    // wrapper: a command that runs the program (its path and options follow as arguments).
    // pipeKeys: its standard input a pipe that stays open, not a terminal.
    Zunt(const zt::TempDir &dir, const std::string &name, const std::vector<std::string> &options,
         const std::vector<std::string> &environment = {}, const std::vector<std::string> &wrapper = {},
         bool pipeKeys = false)
        : out_(dir.file(name + ".out")),
          err_(dir.file(name + ".err")),
          logRoot_(dir.file(name + ".log")),
          background_(std::find(options.begin(), options.end(), "-k") != options.end()),
          child_(start(dir, options, environment, wrapper, pipeKeys)) {}

    bool running() { return child_.running(); }
    // The exit code, 128 + the signal that ended it, or -1 while it runs after the wait.
    int wait(int ms = 60000) { return child_.wait(ms); }
    void keys(const std::string &keys) { child_.keys(keys); }
    void closeKeys() { child_.closeKeys(); }
    // The orderly end from outside: SIGTERM. Windows has no signal a test can send a child under
    // wine: there the keys 'Q' 'Y', or for a service (no keyboard) STOP EV on the command queue,
    // which the caller puts.
    void term() {
#ifdef _WIN32
        if (!background_) keys("QY");
#else
        child_.term();
#endif
    }
    void kill9() {
        child_.kill9();
    }
    double cpuSeconds() const {
        return child_.cpuSeconds();
    }
#ifndef _WIN32
    void signal(int number) {
        child_.signal(number);
    }
    long long pid() const {
        return child_.pid();
    }
#endif

    std::string out() const {
        return withoutCR(qmt::readText(out_) + qmt::readText(err_));
    }
    // Every log file of the run (the program flushes its log once a second).
    std::string log() const {
        std::string text;
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(logRoot_, error))
            text += qmt::readText(entry.path().string());
        return withoutCR(text);
    }
    // Waits (at most ms: by default a bound a loaded two-core machine meets) until the standard
    // output, or the log, holds the text count times.
    bool waitOut(const std::string &text, int count = 1, int ms = 120000) {
        return waitText([this] { return out(); }, text, count, ms);
    }
    bool waitLog(const std::string &text, int count = 1, int ms = 120000) {
        return waitText([this] { return log(); }, text, count, ms);
    }
    // Waits until the standard output holds the text after the mark's count-th line with it.
    bool waitOutAfter(const std::string &mark, int count, const std::string &text, int ms = 120000) {
        const auto after = [&] {
            const std::string all = out();
            size_t at = 0;
            for (int seen = 0; seen < count; seen++) {
                at = all.find(mark, at);
                if (at == std::string::npos) return std::string();
                at += mark.size();
            }
            return all.substr(at);
        };
        return waitText(after, text, 1, ms);
    }
    // The log holds "ZUNT Initialised" count times: connected, loaded and taking in events.
    bool waitInitialised(int count = 1) {
        return waitLog("ZUNT Initialised", count);
    }

private:
    zt::ChildStart start(const zt::TempDir &dir, const std::vector<std::string> &options,
                         const std::vector<std::string> &environment, const std::vector<std::string> &wrapper,
                         bool pipeKeys) const {
        std::filesystem::create_directories(logRoot_);
        zt::ChildStart start{wrapper, zt::standInLibrary(MINIQM_MQM_LIBRARY, dir.file("mq")), out_, err_, ""};
        start.pipeKeys = pipeKeys;
        start.args.push_back(ZUNT_PROGRAM);
        start.args.insert(start.args.end(), options.begin(), options.end());
        if (std::find(options.begin(), options.end(), "-L") == options.end())
            start.args.insert(start.args.end(), {"-L", logRoot_});
        start.environment.insert(start.environment.end(), environment.begin(), environment.end());
        return start;
    }
    // Text files end their lines in CR LF on Windows.
    static std::string withoutCR(std::string text) {
        std::erase(text, '\r');
        return text;
    }
    template <typename Source>
    bool waitText(Source source, const std::string &text, int count, int ms) {
        for (int waited = 0;; waited += 20) {
            if (et::countOf(source(), text) >= count) return true;
            if (waited >= ms) return false;
            usleep(20000);
        }
    }

    std::string out_, err_, logRoot_;
    bool background_;
    zt::ProgramChild child_;
};

class ProgramQmTest : public eqm::EngineQmTest {
protected:
    void SetUp() override {
        eqm::EngineQmTest::SetUp();
        // A restart of the queue manager adds no events of its own.
        ASSERT_EQ(qm.mqsc("ALTER QMGR STRSTPEV(DISABLED)\n"), 0);
        takeTemplate();
        seed();
    }
    void TearDown() override {
        stopFeeding();
        eqm::EngineQmTest::TearDown();
        if (separate) qm.tool("stop QS --now");
    }

    // The program's state on a separate state queue manager QS (-s QS): its data queue there is
    // named after the event queue manager.
    void useStateQueueManager(void (*configure)() = nullptr) {
        ASSERT_EQ(qm.tool("create QS"), 0);
        ASSERT_EQ(qm.tool("start QS --no-fsync"), 0);
        scripts.write("qs.in", "DEFINE QLOCAL(QM1) MAXDEPTH(5000) MAXMSGL(4194304)\n");
        ASSERT_EQ(qm.tool("mqsc QS < " + qmt::shellPath(scripts.file("qs.in"))), 0);
        separate = true;
        evStart.separateState = 1;
        snprintf(evStart.state.name, sizeof evStart.state.name, "QS");
        seed(configure);
    }
    std::vector<std::string> runOptions() const {
        std::vector<std::string> options{"-m", "QM1"};
        if (separate) options.insert(options.end(), {"-s", "QS"});
        // With the mixed flow's bins: due at the end of their interval, without a grace period.
        if (!pairTempl[0].empty()) options.insert(options.end(), {"-o", "g0", "-o", "c0"});
        return options;
    }

    // The stored configuration the program loads: the queue manager's event queue resumed, with
    // whatever settings configure makes once the stored ones are loaded.
    void seed(void (*configure)() = nullptr) {
        ASSERT_EQ(connect(), 1) << logText();
        if (configure != nullptr) configure();
        evConfigChanged.store(1);
        resumeByCommand({kQmgrEvents});
        if (!pairTempl[0].empty()) {
            binsOfFiveSeconds();
            resumeByCommand({kConfigEvents, kStatistics});
        }
        disconnect();
    }

    // The queue manager's MQI statistics (written every second while the mixed flow runs) folded into
    // bins of five seconds: bins fall due during the flow, for set E's sync points and for the sweeps
    // that arrive with it to absorb.
    static void binsOfFiveSeconds() {
        StreamDef *def =
            evStreamDefine(evSystemStreamName(STREAM_TYPE_STATMQI), -1, STREAM_TYPE_STATMQI, 0, 0);
        ASSERT_NE(def, nullptr);
        def->aggrInt = 5;
    }
    static void stormsOfTen() {
        evSettings.stormThreshold.store(10);
        evSettings.stormInterval.store(2);
    }

    // A persistent message put outside any unit; a command's replies asked on REPLY.Q.
    void putOn(MQHCONN hconn, const std::string &event, const char *queue = kQmgrEvents,
               const char *format = MQFMT_EVENT) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        if (std::strcmp(queue, EV_COMMAND_QUEUE_NAME) == 0) qmt::setText(md.ReplyToQ, 48, "REPLY.Q");
        md.Persistence = MQPER_PERSISTENT;
        putMessage(queue, md, event, hconn);
    }

    // A steady flow of distinct events on a connection of its own, one every few milliseconds.
    // Mixed (takeMixTemplates first): with them, now and then a before/after pair, a storm of 25
    // matching events, a command that changes configuration or takes set E's hold, and a sweep.
    void startFeeding(int everyMs = 5, bool mixed = false) {
        // The statistics only while the program runs: the test's own reads of the data queue would
        // take them in too.
        if (mixed) {
            EXPECT_EQ(qm.mqsc("ALTER QMGR STATMQI(ON) STATINT(1)\n"), 0);
        }
        statistics = mixed;
        feeding = true;
        feeder = std::thread([this, everyMs, mixed] {
            MQHCONN hconn = connectTo("QM1");
            for (int n = 0; feeding.load();) {
                if (!paused.load()) {
                    putEvent(hconn);
                    if (mixed && n % 8 == 0) putPair(hconn);
                    if (mixed && n % 150 == 75) putStorm(hconn);
                    if (mixed && n % 40 == 20) putCommand(hconn);
                    if (mixed && n % 40 == 0) putSweep(hconn);
                    n++;
                }
                usleep(static_cast<useconds_t>(everyMs) * 1000);
            }
            MQLONG cc = 0, rc = 0;
            raw.MQDISC(&hconn, &cc, &rc);
        });
    }
    void stopFeeding() {
        feeding = false;
        if (feeder.joinable()) feeder.join();
        if (statistics) {
            EXPECT_EQ(
                mqscOnceFree(std::string("ALTER QMGR STATMQI(OFF)\nCLEAR QLOCAL(") + kStatistics + ")\n"),
                "");
        }
        statistics = false;
    }
    // MQSC that clears or deletes a queue a run killed a moment ago had open: the queue manager drops a
    // killed process's connection (its handles and uncommitted gets) once it sees the socket closed,
    // which on a loaded machine can be a while after the kill, and until then answers "object in
    // use". Tried again until the connection is gone (bounded for a loaded two-core machine): "" once
    // answered, else the last answer.
    std::string mqscOnceFree(const std::string &script) {
        std::string out;
        for (int waited = 0;; waited += 100) {
            out.clear();
            if (qm.mqsc(script, &out) == 0) return "";
            if (out.find("AMQ8148E") == std::string::npos || waited >= 120000) return out;
            usleep(100000);
        }
    }

    // The data queue filled by another application until it refuses a put, or freed of what it put.
    static constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";
    void fillDataQueue() {
        MQHOBJ hobj = openQueue(kDataQueue, MQOO_OUTPUT);
        for (MQLONG rc = MQRC_NONE; rc == MQRC_NONE;) {
            MQMD md = MQMD_DEFAULT;
            std::memset(md.CorrelId, 0xFF, sizeof md.CorrelId);
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_NO_SYNCPOINT;
            MQLONG cc = 0;
            char byte = 0;
            raw.MQPUT(own, hobj, &md, &pmo, 1, &byte, &cc, &rc);
            EXPECT_TRUE(rc == MQRC_NONE || rc == MQRC_Q_FULL) << rc;
        }
        closeQueue(&hobj);
    }
    void freeDataQueue() {
        MQHOBJ hobj = openQueue(kDataQueue, MQOO_INPUT_SHARED);
        for (MQLONG cc = MQCC_OK; cc != MQCC_FAILED;) {
            MQMD md = MQMD_DEFAULT;
            std::memset(md.CorrelId, 0xFF, sizeof md.CorrelId);
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
            gmo.MatchOptions = MQMO_MATCH_CORREL_ID;
            char byte = 0;
            MQLONG length = 0, rc = 0;
            raw.MQGET(own, hobj, &md, &gmo, 1, &byte, &length, &cc, &rc);
        }
        closeQueue(&hobj);
    }

    // The data queue filled by another application, before the start or while events flow: intake is
    // held (said once), displays are answered and a change of what is stored is refused unchanged;
    // over window seconds the program neither spins nor floods its log; once there is room the held
    // events are taken in, the same change is answered and kept (a kill then loses nothing), and every
    // event is stored exactly once.
    void fullDataQueue(int window, bool whileFlowing) {
        ASSERT_EQ(qm.mqsc(std::string("DEFINE QLOCAL(REPLY.Q)\nALTER QLOCAL(") + kQmgrEvents +
                          ") MAXDEPTH(100000)\n"),
                  0);
        if (!whileFlowing) {
            fillDataQueue();
            for (int i = 0; i < 5; i++) putEvent();
        }
        std::vector<std::string> options = runOptions();
        options.insert(options.end(), {"-r", "1(1000)"});  // the data queue is looked at every second
        Zunt zunt(dir, "full" + std::to_string(++runs), options);
        if (whileFlowing) {
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            startFeeding(20);
            usleep(500000);
            fillDataQueue();
        }
        // Said by the connect, or by the reload after the batch the full queue backed out.
        ASSERT_TRUE(zunt.waitLog("event intake held: Data Queue is in a depth high condition")) << zunt.log();
        auto reply = [this](const std::string &text) {
            sendCommand(MQFMT_STRING, text);
            return replyText(10000);
        };
        EXPECT_NE(reply("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) STATUS").find("STATUS(DATAHIGH)"),
                  std::string::npos)
            << zunt.log();
        // A change of configuration is refused before it changes anything: it could not be kept now.
        EXPECT_EQ(reply("ALTER EV STORMTHR(33)"),
                  "AMQ8426: ZUNT can not keep the change now: Data Queue 'QM1/HOLVA.ZUNT.DATA.QUEUE' is "
                  "in a depth high condition. Nothing was changed.")
            << zunt.log();
        const std::string shown = reply("DISPLAY EV ALL");
        EXPECT_NE(shown.find("STORMTHR("), std::string::npos) << shown;
        EXPECT_EQ(shown.find("STORMTHR(33)"), std::string::npos) << shown;
        const double cpu = zunt.cpuSeconds();
        const size_t logged = zunt.log().size();
        sleep(static_cast<unsigned>(window));
        const std::string later = zunt.log();
        if (cpu >= 0) {
            EXPECT_LT(zunt.cpuSeconds() - cpu, 0.2 * window) << "no busy loop";
        }
        EXPECT_LT(later.size() - logged, 600u) << later.substr(logged);
        EXPECT_LE(et::countOf(later.substr(logged), "Error"), 0) << later.substr(logged);
        EXPECT_EQ(et::countOf(later, "Data Queue compromised:"), 1) << later;
        EXPECT_LE(et::countOf(later, "Disconnect sequence"), whileFlowing ? 1 : 0) << later;
        if (!whileFlowing) {
            EXPECT_EQ(et::countOf(later, "ZUNT Initialised"), 0);
            EXPECT_EQ(depth(kQmgrEvents), 5) << "held: the events wait on their queue";
        }
        freeDataQueue();
        ASSERT_TRUE(zunt.waitLog("Data Queue has room again: event intake resumed")) << zunt.log();
        stopFeeding();
        ASSERT_TRUE(drained()) << zunt.log();
        EXPECT_NE(reply("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) STATUS").find("STATUS(ACTIVE)"),
                  std::string::npos);
        EXPECT_EQ(reply("ALTER EV STORMTHR(33)"), "AMQ8005: IBM ZUNT Processor changed successfully.\n")
            << zunt.log();
        // Answered is kept: a kill at once loses nothing of it.
        if (kKillsSound) {
            zunt.kill9();
            EXPECT_EQ(zunt.wait(), kKilled) << zunt.out();
        } else {
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        }
        EXPECT_EQ(notOnce(drainAndReadBack()), "");
        EXPECT_EQ(evSettings.stormThreshold.load(), 33) << "the change answered was kept";
        keepRunsOnFailure();
    }

    // The queue manager's event queue deeper than an event queue's default of 3,000.
    void deepenEventQueue() {
        ASSERT_EQ(qm.mqsc(std::string("ALTER QLOCAL(") + kQmgrEvents + ") MAXDEPTH(100000)\n"), 0);
    }
    // A burst waiting for the program: count distinct events put at once (committed every commitEvery),
    // with a storm of 25 matching events after every stormEvery.
    void putBurst(int count, int commitEvery = 100, int stormEvery = 1000) {
        deepenEventQueue();
        MQHOBJ hobj = openQueue(kQmgrEvents, MQOO_OUTPUT);
        MQLONG cc = 0, rc = 0;
        auto putOne = [&](const std::string &event) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
            md.Persistence = MQPER_PERSISTENT;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT;
            raw.MQPUT(own, hobj, &md, &pmo, static_cast<MQLONG>(event.size()),
                      const_cast<char *>(event.data()), &cc, &rc);
            EXPECT_EQ(rc, MQRC_NONE);
        };
        for (int i = 1; i <= count; i++) {
            char name[16];
            std::snprintf(name, sizeof name, "K.%013d", ++put);
            putOne(eventFor(name));
            if (i % stormEvery == 0) {
                std::snprintf(name, sizeof name, "S.%013d", ++storms);
                for (int r = 0; r < 25; r++) putOne(eventFor(name));
            }
            if (i % commitEvery == 0) raw.MQCMIT(own, &cc, &rc);
        }
        raw.MQCMIT(own, &cc, &rc);
        closeQueue(&hobj);
    }

    // A real before/after pair of an ALTER of a local queue, taken off the configuration event queue:
    // the template of the pairs put later; and REPLY.Q for the commands' replies.
    void takeMixTemplates() {
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) MAXDEPTH(999999)\nDEFINE QLOCAL(P.0000000000000)\n"
                          "ALTER QMGR CONFIGEV(ENABLED)\nALTER QLOCAL(P.0000000000000) DESCR('changed')\n"
                          "ALTER QMGR CONFIGEV(DISABLED)\n"),
                  0);
        int halves = 0;
        for (const Browsed &b : browse(kConfigEvents))
            if (b.data.find("P.0000000000000") != std::string::npos && halves < 2)
                pairTempl[halves++] = b.data;
        ASSERT_EQ(halves, 2);
        emptyQueue(kConfigEvents);
    }
    static std::string renamed(std::string text, const char *from, const std::string &to) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
            text.replace(at, to.size(), to);
        return text;
    }
    // The next before/after pair, about a queue of its own.
    void putPair(MQHCONN hconn) {
        char name[16];
        std::snprintf(name, sizeof name, "P.%013d", ++pairs);
        for (const std::string &half : pairTempl)
            putOn(hconn, renamed(half, "P.0000000000000", name), kConfigEvents);
    }
    // 25 matching events about one queue of its own: a storm past STORMTHR 10.
    void putStorm(MQHCONN hconn) {
        char name[16];
        std::snprintf(name, sizeof name, "S.%013d", ++storms);
        for (int i = 0; i < 25; i++) putOn(hconn, eventFor(name));
    }
    // The next command: definitions and alerts that change configuration, and housekeeping that
    // takes set E's hold.
    void putCommand(MQHCONN hconn) {
        const int n = ++commands;
        char text[96];
        switch (n % 3) {
            case 0:
                std::snprintf(text, sizeof text, "DEFINE EVSTREAM(T%d) TYPE(EVENTS)", n);
                break;
            case 1:
                std::snprintf(text, sizeof text, "ADD EVALERT TEXT('command %d') SEVERITY(WARN)", n);
                break;
            default:
                std::snprintf(text, sizeof text, "DEBUG HOUSEKEEP");
        }
        putOn(hconn, text, EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
    }

    // The sweep message, as the program's main thread puts it when bins fall due on a quiet set E.
    void putSweep(MQHCONN hconn) {
        uint8_t cfh[MQCFH_STRUC_LENGTH] = {};
        const int32_t fields[] = {MQCFT_COMMAND, MQCFH_STRUC_LENGTH, MQCFH_VERSION_1, EV_SWEEP_COMMAND, 1,
                                  MQCFC_LAST};
        for (size_t i = 0; i < std::size(fields); i++) mqiPutI32(cfh, 4 * i, fields[i]);
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, EV_COMMAND_QUEUE_NAME);
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw.MQPUT1(hconn, &od, &md, &pmo, sizeof cfh, cfh, &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
    }

    // The program has taken in and committed everything waiting on its queues: none left there and
    // none in a unit still open (an end now would back such a unit out, and its events wait for the
    // next run).
    bool drained(int ms = 120000) {
        auto taken = [this](const char *queue) { return qmt::queueTaken("QM1", queue); };
        auto empty = [&] {
            return taken(kQmgrEvents) && taken(EV_COMMAND_QUEUE_NAME) &&
                   (pairTempl[0].empty() || taken(kConfigEvents));
        };
        for (int waited = 0; waited < ms && !empty(); waited += 20) usleep(20000);
        return empty();
    }

    // Every message got by the program, in a unit it may keep open by design (a 'before' half waiting
    // for its 'after' keeps set E's unit open): the depths alone. Not for a test that then ends the
    // program or counts what is stored: drained() is that.
    bool takenIn(int ms = 120000) {
        auto empty = [this] {
            return depth(kQmgrEvents) == 0 && depth(EV_COMMAND_QUEUE_NAME) == 0 &&
                   (pairTempl[0].empty() || depth(kConfigEvents) == 0);
        };
        for (int waited = 0; waited < ms && !empty(); waited += 20) usleep(20000);
        return empty();
    }

    // What drained() waits for: the queues' depths and messages in open units, and the queue manager's
    // connections.
    std::string undrained() {
        return std::string("events: ") + qmt::control("QM1", std::string("queue ") + kQmgrEvents) +
               "commands: " + qmt::control("QM1", std::string("queue ") + EV_COMMAND_QUEUE_NAME) +
               "configuration events: " + qmt::control("QM1", std::string("queue ") + kConfigEvents) +
               "connections " + std::to_string(qmt::connectionCount("QM1")) + "\n";
    }

    // A run that takes in what is waiting, then an orderly end: the stored events, by object name and
    // times stored, as a fresh load of the data queue finds them.
    std::map<std::string, int> drainAndReadBack() {
        {
            Zunt zunt(dir, "final" + std::to_string(++runs), runOptions());
            EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_TRUE(drained()) << zunt.out();
            // The storms still counting end their window and store their repeats.
            if (storms.load() > 0)
                usleep(static_cast<useconds_t>(evSettings.stormInterval.load() + 1) * 1000000);
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        }
        std::map<std::string, int> stored;
        repeats.clear();
        EXPECT_EQ(depth(kQmgrEvents), 0);
        if (connect() != 1) {
            ADD_FAILURE() << logText();
            return stored;
        }
        forEachStream([this, &stored](Stream *stream) {
            forEachRecord(stream, [this, &stored](const BlobEntry &entry) {
                const uint32_t id = evCFGetObjectName(entry.data);
                const StringEntry *name = evStringLookup(id);
                // A statistics record names no object; a record whose name is not in the string pool
                // is counted apart: an event "stored 0 times" may be there without its name.
                if (name == nullptr && id != 0) stored["(a name not in the string pool)"]++;
                if (name == nullptr) return;
                const std::string object(name->text, name->length);
                stored[object]++;
                repeats[object].push_back(repeatOf(entry.data, entry.dataLength));
            });
        });
        disconnect();
        return stored;
    }
    // A stored record's EVREPEAT, 1 when it has none.
    static int repeatOf(const uint8_t *record, uint32_t length) {
        evCFCursor cursor;
        evCFCursorInit(&cursor, nullptr, record, length, 0, 0);
        for (;;) {
            evCFItem item{};
            int32_t cc = 0, rc = 0;
            int32_t id = evCFNextParm(&cursor, &item, &cc, &rc);
            if (cc == MQCC_FAILED) return 1;
            if (id == EV_ATTR_REPEAT_COUNT && item.groupId == 0) return static_cast<int>(item.value);
        }
    }
    // Every event put since the mark stored exactly once: the names missing or doubled, if any.
    std::string notOnce(const std::map<std::string, int> &stored, int from = 0, char prefix = 'K') const {
        std::string wrong;
        if (auto lost = stored.find("(a name not in the string pool)"); lost != stored.end())
            wrong += "records whose name is not in the string pool x" + std::to_string(lost->second) + " ";
        for (int i = from + 1; i <= (prefix == 'P' ? pairs.load() : put.load()); i++) {
            char name[16];
            std::snprintf(name, sizeof name, "%c.%013d", prefix, i);
            auto found = stored.find(name);
            int times = found == stored.end() ? 0 : found->second;
            if (times != 1) wrong += std::string(name) + " x" + std::to_string(times) + " ";
        }
        return wrong;
    }

    // kill -9 of the program at random moments of a steady flow of events (some while it connects and
    // loads), each run a fresh start; then every event is stored exactly once.
    // With burst, that many distinct events (and a storm after every thousand) wait at the first start.
    void killCycles(int cycles, unsigned seed, bool mixed = false, int burst = 0) {
        const int from = put.load(), fromPairs = pairs.load(), fromStorms = storms.load();
        if (burst > 0) putBurst(burst);
        std::mt19937 random(seed);
        startFeeding(5, mixed);
        for (int cycle = 0; cycle < cycles; cycle++) {
            SCOPED_TRACE(cycle);
            Zunt zunt(dir, "cycle" + std::to_string(++runs), runOptions());
            usleep(std::uniform_int_distribution<useconds_t>(100000, 1500000)(random));
            ASSERT_TRUE(zunt.running()) << zunt.out();
            zunt.kill9();
        }
        stopFeeding();
        EXPECT_GT(put.load() - from, cycles) << "a steady flow";
        const std::map<std::string, int> stored = drainAndReadBack();
        EXPECT_EQ(notOnce(stored, from), "");
        if (!mixed) return;
        EXPECT_GT(pairs.load() - fromPairs, 0);
        EXPECT_GT(storms.load() - fromStorms, 0);
        EXPECT_GT(commands.load(), 0);
        EXPECT_EQ(notOnce(stored, fromPairs, 'P'), "");
        EXPECT_EQ(stormsNotSummed(fromStorms), "");
        keepRunsOnFailure();
    }

    // The runs' output and logs, and the queue manager's folder (its journal shows which unit took
    // which message), kept beside the temporary folder when the test failed: a fault these random
    // cycles find may not come again.
    void keepRunsOnFailure() const {
        if (!::testing::Test::HasFailure()) return;
        namespace fs = std::filesystem;
        const fs::path from(dir.path());
        const fs::path to = from.parent_path() / ("zunt-kept-" + from.filename().string());
        std::error_code error;
        copyFiles(from, to, error);
        if (!error) copyFiles(qm.root(), to / "qm", error);
        std::fprintf(stderr, "The runs' output and logs: %s\n",
                     (error ? error.message() : to.string()).c_str());
    }
    // The folders and regular files under from: a copy of a whole tree stops at the queue manager's
    // socket (EINVAL), which is no file to keep.
    static void copyFiles(const std::filesystem::path &from, const std::filesystem::path &to,
                          std::error_code &error) {
        namespace fs = std::filesystem;
        fs::create_directories(to, error);
        for (auto it = fs::recursive_directory_iterator(from, error); !error && it != fs::end(it);
             it.increment(error)) {
            const fs::path target = to / fs::relative(it->path(), from, error);
            if (error) return;
            if (it->is_directory(error))
                fs::create_directories(target, error);
            else if (it->is_regular_file(error))
                fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing, error);
        }
    }

    // One line per run in runs.trace (kept with the runs on a failure): the events put while it ran,
    // how it ended, and the queue managers' connections the moment its end was seen against those
    // before it started (more: the killed run's units were still open as the next run began). With
    // the queue managers' journals, that shows which run took each event and what it committed where.
    struct RunMark {
        int put, qm1, qs;
    };
    RunMark markRun() const {
        return {put.load(), qmt::connectionCount("QM1"), separate ? qmt::connectionCount("QS") : 0};
    }
    void noteRun(const std::string &name, const RunMark &from, int status) const {
        const RunMark now = markRun();
        char line[256];
        std::snprintf(line, sizeof line,
                      "%s: K.%013d to K.%013d put, status %d, connections QM1 %d->%d QS %d->%d\n",
                      name.c_str(), from.put + 1, now.put, status, from.qm1, now.qm1, from.qs, now.qs);
        if (FILE *trace = std::fopen(dir.file("runs.trace").c_str(), "a")) {
            std::fputs(line, trace);
            std::fclose(trace);
        }
    }

    // A kill of the program by its own MQI table (the test hook ZUNT_TEST_KILL_AT): the call, as
    // "VERB[@CONNECTION][#CORRELID BYTE]:N"; the trace letters it runs with; and the trace lines the
    // killing thread wrote last, in order, the killed call's IN line last, with at most slack lines of
    // its own between them; lines marked '?' may be missing, all together.
    // What arrives while the program runs to the point; kBurst: a burst waiting at its start.
    enum class Flow { kHold, kMixed, kEvents, kBurst };
    struct KillPoint {
        const char *name;
        const char *at;
        Flow flow;
        const char *trace;
        std::vector<std::string> lines;
        int slack;
    };
    // The data queue's message kinds, by the first byte of their CorrelId; and a stream's blob.
    static constexpr int kSeenOfSetE = 4, kStorms = 5, kBlob = 0x55;

    // Runs the program until the hook kills it at the point (once initialised, whatever during does);
    // the point's trace lines are checked.
    void killAt(const KillPoint &point, const std::function<void()> &during = nullptr) {
        SCOPED_TRACE(point.name);
        Zunt zunt(dir, "at" + std::to_string(++runs), withTrace(runOptions(), point.trace),
                  {std::string("ZUNT_TEST_KILL_AT=") + point.at});
        if (during) {
            EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
            during();
        }
        EXPECT_EQ(zunt.wait(120000), kKilled) << "not reached: " << point.at << "\n" << tail(zunt.out());
        zunt.kill9();
        EXPECT_EQ(killerLines(zunt.out(), point), "") << point.at;
    }
    // The last lines of a text.
    static std::string tail(const std::string &text, size_t lines = 60) {
        size_t at = text.size();
        while (lines-- > 0 && at > 0) at = text.rfind('\n', at - 1);
        return text.substr(at == std::string::npos ? 0 : at);
    }
    static std::vector<std::string> withTrace(std::vector<std::string> options, const char *letters) {
        if (letters != nullptr && *letters != '\0') options.insert(options.end(), {"-v", letters});
        return options;
    }
    // "" when the trace shows the point as expected, else what it shows.
    static std::string killerLines(const std::string &out, const KillPoint &point) {
        std::vector<std::string> trace;
        for (size_t at = 0, end; at < out.size(); at = end + 1) {
            end = out.find('\n', at);
            if (end == std::string::npos) end = out.size();
            trace.push_back(out.substr(at, end - at));
        }
        // The killed call: the last IN line of its kind; its thread wrote nothing after it.
        const std::string &killed = point.lines.back();
        size_t last = trace.size();
        while (last > 0 && trace[last - 1].find(killed) == std::string::npos) last--;
        if (last == 0) return "no '" + killed + "' line";
        const std::string thread = trace[last - 1].substr(0, trace[last - 1].find(" IN "));
        std::vector<std::string> own;
        for (size_t i = 0; i < trace.size(); i++)
            if (trace[i].compare(0, thread.size() + 1, thread + " ") == 0) {
                if (i >= last) return "its thread went on: " + trace[i];
                own.push_back(trace[i]);
            }
        // Lines marked '?' come all or none: a hold finds set E's unit empty when its last sync point
        // committed everything it had taken, and then has nothing of set E's to commit.
        std::vector<std::string> all, sure, optional;
        for (const std::string &line : point.lines) {
            if (line.compare(0, 1, "?") == 0)
                optional.push_back(line.substr(1));
            else
                sure.push_back(line);
            all.push_back(line.compare(0, 1, "?") == 0 ? line.substr(1) : line);
        }
        size_t start = 0;
        const std::string shown = matchedBackwards(own, all, point.slack, &start);
        if (shown.empty() || optional.empty() || !matchedBackwards(own, sure, point.slack, &start).empty())
            return shown;
        for (size_t i = start; i < own.size(); i++)
            for (const std::string &line : optional)
                if (own[i].find(line) != std::string::npos) return shown;  // some, not all
        return "";
    }
    // "" when own ends in the lines, each within slack lines of the next (*start: where the first one
    // is); else what it shows.
    static std::string matchedBackwards(const std::vector<std::string> &own,
                                        const std::vector<std::string> &lines, int slack, size_t *start) {
        std::string shown;
        size_t from = own.size();
        for (size_t k = lines.size(); k-- > 0;) {
            size_t found = from;
            for (size_t i = from;
                 i-- > 0 &&
                 (k + 1 == lines.size() ? i + 1 == from : from - i <= static_cast<size_t>(slack) + 1);)
                if (own[i].find(lines[k]) != std::string::npos) {
                    found = i;
                    break;
                }
            if (found == from) {
                for (size_t i = own.size() > 12 ? own.size() - 12 : 0; i < own.size(); i++)
                    shown += own[i] + "\n";
                return "no '" + lines[k] + "' before it:\n" + shown;
            }
            from = found;
        }
        *start = from;
        return "";
    }

    // Each point in turn, in a steady flow of events (mixed or not), or a burst of events and then a
    // command that holds set E (set C's first commit is then the hold's); then every event and pair
    // is stored once and every storm's count adds up.
    void killAtPoints(const std::vector<KillPoint> &points) {
        const int from = put.load(), fromPairs = pairs.load(), fromStorms = storms.load();
        for (const KillPoint &point : points) {
            if (point.flow == Flow::kHold) {
                // Set C's first commit is the hold's (the stored configuration is current), while set E
                // takes in a burst committed at once.
                killAt(point, [this] {
                    MQHOBJ hobj = openQueue(kQmgrEvents, MQOO_OUTPUT);
                    for (int i = 0; i < 1000; i++) {
                        char name[16];
                        std::snprintf(name, sizeof name, "K.%013d", ++put);
                        const std::string event = eventFor(name);
                        MQMD md = MQMD_DEFAULT;
                        std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
                        md.Persistence = MQPER_PERSISTENT;
                        MQPMO pmo = MQPMO_DEFAULT;
                        pmo.Options = MQPMO_SYNCPOINT;
                        MQLONG cc = 0, rc = 0;
                        raw.MQPUT(own, hobj, &md, &pmo, static_cast<MQLONG>(event.size()),
                                  const_cast<char *>(event.data()), &cc, &rc);
                        EXPECT_EQ(rc, MQRC_NONE);
                    }
                    closeQueue(&hobj);
                    MQLONG cc = 0, rc = 0;
                    raw.MQCMIT(own, &cc, &rc);
                    EXPECT_EQ(rc, MQRC_NONE);
                    usleep(30000);  // set E is taking in the burst
                    MQOD od = MQOD_DEFAULT;
                    qmt::setText(od.ObjectName, 48, EV_COMMAND_QUEUE_NAME);
                    MQMD md = MQMD_DEFAULT;
                    std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
                    qmt::setText(md.ReplyToQ, 48, "REPLY.Q");
                    MQPMO pmo = MQPMO_DEFAULT;
                    pmo.Options = MQPMO_NO_SYNCPOINT;
                    char command[] = "DEBUG HOUSEKEEP";
                    raw.MQPUT1(own, &od, &md, &pmo, sizeof command - 1, command, &cc, &rc);
                    EXPECT_EQ(rc, MQRC_NONE);
                });
            } else if (point.flow == Flow::kBurst) {
                putBurst(5000);
                killAt(point);
            } else {
                startFeeding(5, point.flow == Flow::kMixed);
                killAt(point);
                stopFeeding();
            }
        }
        const std::map<std::string, int> stored = drainAndReadBack();
        EXPECT_EQ(notOnce(stored, from), "");
        EXPECT_EQ(notOnce(stored, fromPairs, 'P'), "");
        EXPECT_EQ(stormsNotSummed(fromStorms), "");
        keepRunsOnFailure();
    }

    // The hook at each of the first upTo calls of each family ("VERB[@CONNECTION][#BYTE]") in turn, in
    // a steady mixed flow; a run that does not reach its call within a few seconds is killed from
    // outside. Then every event and pair is stored once and every storm's count adds up.
    void sweepKills(const std::vector<std::string> &families, int upTo) {
        const int from = put.load(), fromPairs = pairs.load(), fromStorms = storms.load();
        int reached = 0, made = 0;
        // Slower than the short cycles' flow: most runs end early, and each leaves a backlog.
        startFeeding(20, true);
        for (const std::string &family : families) {
            for (int n = 1; n <= upTo; n++, made++) {
                const std::string at = family + ":" + std::to_string(n);
                SCOPED_TRACE(at);
                const RunMark mark = markRun();
                const std::string name = "sweep" + std::to_string(++runs);
                Zunt zunt(dir, name, runOptions(), {"ZUNT_TEST_KILL_AT=" + at});
                const int status = zunt.wait(8000);
                if (status == kKilled) reached++;
                zunt.kill9();
                noteRun(name + " " + at, mark, status);
            }
            // Most runs end early: one that catches up keeps the backlog small. The flow pauses
            // meanwhile: the three queues are rarely empty at the same moment while it runs (a hold of
            // set E by each sweep and housekeeping command, and the pick-up of each message, leave
            // something waiting), so a drain that chases it can miss for minutes under load.
            paused = true;
            const RunMark mark = markRun();
            const std::string name = "sweep" + std::to_string(++runs);
            Zunt zunt(dir, name, runOptions());
            EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_TRUE(drained(120000)) << undrained() << zunt.out();
            zunt.kill9();
            noteRun(name + " drain", mark, kKilled);
            paused = false;
        }
        stopFeeding();
        EXPECT_GT(reached, made / 2) << "most calls are reached";
        const std::map<std::string, int> stored = drainAndReadBack();
        EXPECT_EQ(notOnce(stored, from), "");
        EXPECT_EQ(notOnce(stored, fromPairs, 'P'), "");
        EXPECT_EQ(stormsNotSummed(fromStorms), "");
        keepRunsOnFailure();
    }

    // kill -9 of a queue manager's server (QM1, or with -s the state one QS) at random moments of
    // intake, then its restart: the program, on retry scheme "1(1000)", reconnects each time.
    void qmKillCycles(int cycles, unsigned seed) {
        const int from = put.load();
        const std::string victim = separate ? "QS" : "QM1";
        std::mt19937 random(seed);
        std::vector<std::string> options = runOptions();
        options.insert(options.end(), {"-r", "1(1000)"});
        {
            Zunt zunt(dir, "qmkill" + std::to_string(++runs), options);
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            for (int cycle = 0; cycle < cycles; cycle++) {
                SCOPED_TRACE(cycle);
                for (int i = 0; i < 40; i++) putEvent();
                // Mostly while the program takes them in: its unit open, records put, nothing committed.
                usleep(std::uniform_int_distribution<useconds_t>(0, 200000)(random));
                qm.kill9(victim);
                ASSERT_EQ(qm.tool("start " + victim + " --no-fsync"), 0);
                if (!separate) reconnectOwn();
                ASSERT_TRUE(zunt.waitOut("Connect 'QM1' complete", cycle + 2)) << zunt.out();
            }
            EXPECT_TRUE(drained()) << zunt.out();
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        }
        EXPECT_EQ(notOnce(drainAndReadBack(), from), "");
        keepRunsOnFailure();
    }

    // Kills amid a slow batch: a start-up script (in options) whose event hook works per event keeps
    // set E's unit open while a burst of events is taken in, and each kill (of the program, or of the
    // queue manager) backs the taken events out, raising their BackoutCount past BOTHRESH(threshold)
    // with no fault of their own; the later kills find them taken alone. With no dead-letter queue
    // every event is still stored exactly once.
    void slowBatchKills(std::vector<std::string> options, int events, int threshold, int kills,
                        bool queueManager) {
        ASSERT_EQ(qm.mqsc(std::string("ALTER QMGR DEADQ(' ')\nALTER QLOCAL(") + kQmgrEvents + ") BOTHRESH(" +
                          std::to_string(threshold) + ")\n"),
                  0);
        const int from = put.load();
        putBurst(events);
        options.insert(options.end(), {"-r", "1(1000)"});
        std::unique_ptr<Zunt> zunt;
        for (int kill = 0; kill < kills; kill++) {
            if (!zunt) zunt = std::make_unique<Zunt>(dir, "slow" + std::to_string(++runs), options);
            // Amid a batch: more taken in since the (re)start (no longer in the depth), not all.
            const MQLONG at = depth(kQmgrEvents);
            ASSERT_TRUE(et::waitFor([this, at] {
                const MQLONG left = depth(kQmgrEvents);
                return left > 0 && left < at - 10;
            })) << zunt->out();
            if (!queueManager) {
                zunt->kill9();
                EXPECT_EQ(zunt->wait(), kKilled);
                zunt.reset();
                continue;
            }
            qm.kill9("QM1");
            ASSERT_EQ(qm.tool("start QM1 --no-fsync"), 0);
            reconnectOwn();
            ASSERT_TRUE(zunt->waitOut("Connect 'QM1' complete", kill + 2)) << zunt->out();
        }
        if (zunt) {
            EXPECT_TRUE(drained()) << zunt->out();
            zunt->term();
            EXPECT_EQ(zunt->wait(), 0) << zunt->out();
        }
        EXPECT_EQ(notOnce(drainAndReadBack(), from), "");
        keepRunsOnFailure();
    }

    // Every storm put since the mark with the EVREPEAT sum of its records 25: the names that are
    // not, with their stored records' repeats.
    std::string stormsNotSummed(int from = 0) const {
        std::string wrong;
        for (int i = from + 1; i <= storms.load(); i++) {
            char name[16];
            std::snprintf(name, sizeof name, "S.%013d", i);
            auto found = repeats.find(name);
            int sum = 0;
            std::string each;
            if (found != repeats.end())
                for (int r : found->second) {
                    sum += r;
                    each += ' ';
                    each += std::to_string(r);
                }
            if (sum != 25) wrong += std::string(name) + " [" + each + " ] ";
        }
        return wrong;
    }

    std::string pairTempl[2];
    std::map<std::string, std::vector<int>> repeats;  // of the last read-back, by object name
    std::atomic<int> pairs{0}, storms{0}, commands{0};
    std::atomic<bool> feeding{false};
    std::atomic<bool> paused{false};  // the flow puts nothing meanwhile
    bool statistics = false;          // the queue manager writes them while the mixed flow runs
    std::thread feeder;
    bool separate = false;
    int runs = 0;
    zt::TempDir scripts;
};

}  // namespace pt
