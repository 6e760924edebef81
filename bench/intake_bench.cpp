// P1: the intake against the raw MQ work it has to do. A private miniqm holds 20,000 persistent
// configuration-change events (before and after halves of one change, copied). Raw: each got under
// sync point and put to the data queue under sync point, MQCMIT every 3333. Intake: the engine's
// consumer and set E's sync point in-process until the queue is drained and committed. Both report
// messages/s; the intake run reports ratio = intake / raw (target 0.7 or more).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
constexpr int kMessages = 20000;
constexpr const char *kEventQueue = "BENCH.EVENTS";
constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";

void setName(char *field, const char *name) {
    std::memset(field, ' ', 48);
    std::memcpy(field, name, std::strlen(name));
}

struct Server {
    fs::path root, tool;
    std::string name = "QMBENCH";
    bool ok = false;
    MQIFunctionTable mq{};
    std::vector<std::pair<MQMD, std::string>> halves;  // one change: before, then after
    double rawRate = 0;

    Server() {
        fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
        tool = build / "miniqm" / "miniqm";
        root = fs::temp_directory_path() / ("miniqm-intake-" + std::to_string(std::random_device{}()));
        fs::create_directories(root);
        setenv("MINIQM_ROOT", root.c_str(), 1);
        std::string t = tool.string();
        ok =
            std::system(
                (t + " create " + name + " >/dev/null && " + t + " start " + name + " >/dev/null").c_str()) ==
            0;
        std::string script = root.string() + "/setup.mqsc";
        std::ofstream(script) << "DEFINE QLOCAL(" << kEventQueue << ") MAXDEPTH(100000) DEFPSIST(YES)\n"
                              << "DEFINE QLOCAL(" << kDataQueue << ") MAXDEPTH(100000) MAXMSGL(4194304)\n"
                              << "DEFINE QLOCAL(BENCH.OBJECT)\nALTER QMGR CONFIGEV(ENABLED)\n"
                              << "ALTER QLOCAL(BENCH.OBJECT) DESCR('changed')\n";
        ok = ok && std::system((t + " mqsc " + name + " < " + script + " >/dev/null").c_str()) == 0;
        ok = ok && MQLoadLibrary((build / "miniqm" / "libmqm.so").c_str(), &mq) == 0;
        ok = ok && captureChange();
        if (!ok) std::fprintf(stderr, "set-up failed: %zu change halves\n", halves.size());
    }
    ~Server() {
        std::system((tool.string() + " stop " + name + " --now >/dev/null 2>&1").c_str());
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    MQHCONN connect() {
        MQCHAR48 qm;
        setName(qm, name.c_str());
        MQCNO cno = MQCNO_DEFAULT;
        cno.Options = MQCNO_HANDLE_SHARE_BLOCK;
        MQHCONN h = -1;
        MQLONG cc, rc;
        mq.MQCONNX(qm, &cno, &h, &cc, &rc);
        return h;
    }
    MQHOBJ open(MQHCONN h, const char *queue, MQLONG options) {
        MQOD od = MQOD_DEFAULT;
        setName(od.ObjectName, queue);
        MQHOBJ o = -1;
        MQLONG cc, rc;
        mq.MQOPEN(h, &od, options, &o, &cc, &rc);
        return o;
    }
    // The before and after halves of the ALTER, from the configuration event queue.
    bool captureChange() {
        MQHCONN h = connect();
        MQHOBJ o = open(h, "SYSTEM.ADMIN.CONFIG.EVENT", MQOO_INPUT_SHARED);
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            std::string buffer(65536, '\0');
            MQLONG length = 0, cc, rc;
            mq.MQGET(h, o, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc, &rc);
            if (cc == MQCC_FAILED) break;
            buffer.resize(static_cast<size_t>(length));
            if (length >= 36 && mqiGetI32(buffer.data(), 28) == MQRC_CONFIG_CHANGE_OBJECT)
                halves.emplace_back(md, buffer);
        }
        MQLONG cc, rc;
        mq.MQDISC(&h, &cc, &rc);
        // The QMGR's own change (enabling the events) may come first: the queue's is the last pair.
        if (halves.size() > 2) halves.erase(halves.begin(), halves.end() - 2);
        return halves.size() == 2;
    }
    void fill() {
        MQHCONN h = connect();
        MQHOBJ o = open(h, kEventQueue, MQOO_OUTPUT);
        MQLONG cc, rc;
        for (int i = 0; i < kMessages; i++) {
            auto &[source, data] = halves[static_cast<size_t>(i % 2)];
            MQMD md = source;
            std::memset(md.MsgId, 0, sizeof md.MsgId);
            md.Persistence = MQPER_PERSISTENT;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT | MQPMO_NEW_MSG_ID;
            mq.MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(data.size()), data.data(), &cc, &rc);
            if (i % 1000 == 999) mq.MQCMIT(h, &cc, &rc);
        }
        mq.MQCMIT(h, &cc, &rc);
        mq.MQDISC(&h, &cc, &rc);
    }
    MQLONG depth(MQHCONN h, const char *queue) {
        MQHOBJ o = open(h, queue, MQOO_INQUIRE);
        MQLONG selector = MQIA_CURRENT_Q_DEPTH, value = -1, cc, rc;
        mq.MQINQ(h, o, 1, &selector, 1, &value, 0, nullptr, &cc, &rc);
        mq.MQCLOSE(h, &o, MQCO_NONE, &cc, &rc);
        return value;
    }
};

Server &server() {
    static Server s;
    return s;
}

void raw(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        s.fill();
        MQHCONN h = s.connect();
        MQHOBJ in = s.open(h, kEventQueue, MQOO_INPUT_SHARED);
        MQHOBJ out = s.open(h, kDataQueue, MQOO_OUTPUT | MQOO_INPUT_SHARED);
        std::string buffer(65536, '\0');
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        MQLONG cc = 0, rc = 0;
        for (int i = 1; i <= kMessages; i++) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_SYNCPOINT;
            MQLONG length = 0;
            s.mq.MQGET(h, in, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc,
                       &rc);
            MQMD put = MQMD_DEFAULT;
            put.Persistence = MQPER_PERSISTENT;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT;
            s.mq.MQPUT(h, out, &put, &pmo, length, buffer.data(), &cc, &rc);
            if (i % 3333 == 0) s.mq.MQCMIT(h, &cc, &rc);
        }
        s.mq.MQCMIT(h, &cc, &rc);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        s.rawRate = kMessages / seconds;
        state.PauseTiming();
        // The data queue is emptied for the next run.
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_ACCEPT_TRUNCATED_MSG;
            MQLONG length = 0;
            s.mq.MQGET(h, out, &md, &gmo, 0, buffer.data(), &length, &cc, &rc);
            if (cc == MQCC_FAILED && rc != MQRC_TRUNCATED_MSG_ACCEPTED) break;
        }
        s.mq.MQDISC(&h, &cc, &rc);
        state.ResumeTiming();
    }
    state.counters["messages/s"] = s.rawRate;
}

void intake(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        s.fill();
        cfgInstall();
        evInstallIntake();
        evSettingsDefaults(evClockNow());
        evSettings.stormThreshold.store(0);  // identical copies are not a storm here
        (void)evStringsInit(0);
        (void)evStringsCreateStream();
        MQHCONN h = s.connect();
        MQHCONN watch = s.connect();
        MQHOBJ data = s.open(h, kDataQueue, MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_BROWSE | MQOO_INQUIRE);
        ConnectionSet &set = evContext.sets[EV_SET_E];
        set.id = EV_SET_E;
        evContext.event.mq = &s.mq;
        evConnHandles[set.eventSlot].store(h);
        set.io = EvStreamIo{&s.mq, h, data, 0, 3333, set.io.unit + 1};
        std::strcpy(evContext.event.name, s.name.c_str());
        std::strcpy(evContext.state.name, s.name.c_str());
        evContext.sets[EV_SET_C].id = EV_SET_C;
        evConnHandles[evContext.sets[EV_SET_C].eventSlot].store(-1);
        evContext.sets[EV_SET_E].deadQueueHandle.store(-1);
        evContext.restartMark.store(0);
        EventQueueDef probe{};
        std::strcpy(probe.name, kEventQueue);
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT];
        EventQueueDef *queue = evEventQueueFindOrAdd(&probe, &reason, text);
        queue->status = EV_EVQ_ACTIVE;
        queue->backoutThreshold = 3;
        queue->backoutHandle = -1;
        queue->forwardHandle = -1;
        queue->inputHandle = s.open(h, kEventQueue, 0x20A2);
        MQCBD cbd = MQCBD_DEFAULT;
        cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
        cbd.CallbackArea = queue;
        cbd.CallbackFunction = reinterpret_cast<MQPTR>(&evMessageConsumer);
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = 0x6003;
        gmo.WaitInterval = 0;
        MQLONG cc, rc;
        s.mq.MQCB(h, MQOP_REGISTER, &cbd, queue->inputHandle, &md, &gmo, &cc, &rc);
        int32_t eventsBefore = evActivity.events.load();
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        MQCTLO ctlo = MQCTLO_DEFAULT;
        s.mq.MQCTL(h, MQOP_START, &ctlo, &cc, &rc);
        // Drained and committed: the committed depth reaches 0.
        while (s.depth(watch, kEventQueue) > 0) usleep(2000);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        s.mq.MQCTL(h, MQOP_STOP, &ctlo, &cc, &rc);
        state.counters["messages/s"] = kMessages / seconds;
        state.counters["ratio"] = s.rawRate > 0 ? kMessages / seconds / s.rawRate : 0;
        // Each pair is stored as one combined record.
        state.counters["records"] = evActivity.events.load() - eventsBefore;
        s.mq.MQBACK(h, &cc, &rc);
        s.mq.MQDISC(&h, &cc, &rc);
        s.mq.MQDISC(&watch, &cc, &rc);
        cfgFreeModel(1);
        evFreeIntake();
        evStringsFree(1);
        evStreamDefFreeAll();
        state.ResumeTiming();
    }
}

}  // namespace

BENCHMARK(raw)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(intake)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
