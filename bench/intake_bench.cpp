// P1: the intake against the raw MQ work it has to do. A private miniqm holds 20,000 persistent
// configuration-change events (before and after halves of one change, copied). Raw: each got under
// sync point and put to the data queue under sync point, MQCMIT every 3333. Intake: the engine's
// consumer and set E's sync point in-process until the queue is drained and committed. Both report
// messages/s; the intake run reports ratio = intake / raw (target 0.7 or more). intakeScript is the
// intake with the default start-up script loaded, each record passing its (empty) event hook.
// The same for 5,000 queue statistics messages of 16 queues each as IBM MQ writes them (statsRaw,
// statsIntake), and statsBytes: the stored bytes of one such message's record against gzip -9 of the
// message (target 1 or less). eventsBytes: the same for the events the private miniqm raised for a
// little real work (definitions, changes, commands, a full queue, a put-inhibited queue, unknown
// queues), each message's record against gzip -9 of that message, summed over the mix.
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

#include "console/console.h"
#include "engine/engine.h"
#include "script/script.h"
#include "stats/stats.h"

namespace {

namespace fs = std::filesystem;
constexpr int kMessages = 20000;
constexpr const char *kEventQueue = "BENCH.EVENTS";
constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";
constexpr int kStatsMessages = 5000;
constexpr int kStatsQueues = 16;
constexpr const char *kStatsQueue = "BENCH.STATS";

using Messages = std::vector<std::pair<MQMD, std::string>>;

// A queue statistics message as IBM MQ writes it: MQCFH Type 21, Version 3, the interval, then each
// queue's 22 parameters in a group 8011; the traffic varies with n.
std::string statisticsMessage(int queues, int n) {
    uint8_t *buffer = static_cast<uint8_t *>(CSGetMem(4096));
    if (buffer == nullptr) return {};
    MQPCFInitHeader(buffer, MQCFT_STATISTICS, MQCMD_STATISTICS_Q);
    mqiPutI32(buffer, 8, MQCFH_VERSION_3);
    PcfCursor c;
    MQPCFInitBuilder(&c, buffer, 4096, 1, 4096, &buffer);
    int32_t cc = 0, rc = 0;
    auto text = [&](int32_t id, std::string value, size_t pad) {
        value.resize(pad > value.size() ? pad : value.size(), ' ');
        MQPCFSetStringParm(&c, MQCFT_STRING, id, value.data(), static_cast<int32_t>(value.size()), 0, 0, &cc,
                           &rc);
    };
    auto number = [&](int32_t id, int32_t value) {
        MQPCFSetParm(&c, MQCFT_INTEGER, id, &value, 4, 0, &cc, &rc);
    };
    auto list = [&](int32_t id, int32_t np, int32_t p) {
        int32_t values[2] = {np, p};
        MQPCFSetParm(&c, MQCFT_INTEGER_LIST, id, values, 8, 0, &cc, &rc);
    };
    auto list64 = [&](int32_t id, int64_t np, int64_t p) {
        uint8_t s[32] = {};
        mqiPutI32(s, 0, MQCFT_INTEGER64_LIST);
        mqiPutI32(s, 4, 32);
        mqiPutI32(s, 8, id);
        mqiPutI32(s, 12, 2);
        mqiPutI64(s, 16, np);
        mqiPutI64(s, 24, p);
        MQPCFAppendStruct(&c, s, 32, &cc, &rc);
    };
    text(MQCA_Q_MGR_NAME, "QMBENCH", 48);
    text(MQCAMO_START_DATE, "2026-01-01", 12);
    text(MQCAMO_START_TIME, "10.00.00", 8);
    text(MQCAMO_END_DATE, "2026-01-01", 12);
    text(MQCAMO_END_TIME, "10.30.00", 8);
    number(MQIA_COMMAND_LEVEL, 940);
    number(MQIAMO_OBJECT_COUNT, queues);
    // A queue manager's application queues: names, ages and traffic of their own (a fixed seed).
    static const char *const kNames[] = {
        "PAYMENTS.IN",       "PAYMENTS.OUT",    "ORDERS.EU.REQUEST", "ORDERS.EU.REPLY",
        "ORDERS.US.REQUEST", "ORDERS.US.REPLY", "BILLING.EVENTS",    "AUDIT.TRAIL",
        "CUSTOMER.UPDATES",  "INVENTORY.SYNC",  "SHIPPING.NOTICES",  "REPORTS.BATCH",
        "FX.RATES",          "LEDGER.POSTINGS", "NOTIFY.EMAIL",      "SYSTEM.DEAD.LETTER.QUEUE"};
    std::mt19937 random(static_cast<uint32_t>(n) * 7919u + 17u);
    auto between = [&](int32_t low, int32_t high) {
        return std::uniform_int_distribution<int32_t>(low, high)(random);
    };
    for (int q = 0; q < queues; q++) {
        int32_t puts = between(0, 20000);
        int32_t persistent = q % 3 == 0 ? between(0, puts) : 0;
        int32_t size = between(200, 8000);
        int32_t gets = puts - between(0, puts / 50 + 1);
        if (gets < 0) gets = 0;
        char date[11], time[9];
        std::snprintf(date, sizeof date, "202%d-%02d-%02d", between(1, 5), between(1, 12), between(1, 28));
        std::snprintf(time, sizeof time, "%02d.%02d.%02d", between(0, 23), between(0, 59), between(0, 59));
        MQPCFSetParm(&c, MQCFT_GROUP, MQGACF_Q_STATISTICS_DATA, nullptr, 0, 0, &cc, &rc);
        text(MQCA_Q_NAME, kNames[q % 16], 48);
        text(MQCA_CREATION_DATE, date, 12);
        text(MQCA_CREATION_TIME, time, 8);
        number(MQIA_Q_TYPE, MQQT_LOCAL);
        number(MQIA_DEFINITION_TYPE, MQQDT_PREDEFINED);
        number(MQIAMO_Q_MIN_DEPTH, 0);
        number(MQIAMO_Q_MAX_DEPTH, between(0, 500));
        list64(MQIAMO64_AVG_Q_TIME, puts ? between(100, 500000) : 0, persistent ? between(100, 500000) : 0);
        list(MQIAMO_PUTS, puts - persistent, persistent);
        number(MQIAMO_PUTS_FAILED, between(0, 20) == 0 ? between(1, 5) : 0);
        list(MQIAMO_PUT1S, q % 4 ? 0 : between(0, 50), 0);
        number(MQIAMO_PUT1S_FAILED, 0);
        list64(MQIAMO64_PUT_BYTES, int64_t{puts - persistent} * size, int64_t{persistent} * size);
        list(MQIAMO_GETS, gets - gets * persistent / (puts ? puts : 1),
             gets * persistent / (puts ? puts : 1));
        list64(MQIAMO64_GET_BYTES, int64_t{gets - gets * persistent / (puts ? puts : 1)} * size,
               int64_t{gets * persistent / (puts ? puts : 1)} * size);
        number(MQIAMO_GETS_FAILED, between(0, 300));
        list(MQIAMO_BROWSES, q % 5 ? 0 : between(0, 100), 0);
        list64(MQIAMO64_BROWSE_BYTES, 0, 0);
        number(MQIAMO_BROWSES_FAILED, 0);
        number(MQIAMO_MSGS_NOT_QUEUED, 0);
        number(MQIAMO_MSGS_EXPIRED, between(0, 10) == 0 ? between(1, 30) : 0);
        number(MQIAMO_MSGS_PURGED, 0);
        MQPCFSetParm(&c, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc, &rc);
    }
    std::string message(reinterpret_cast<const char *>(buffer), static_cast<size_t>(c.position));
    CSFreeMem(buffer);
    return message;
}

void setName(char *field, const char *name) {
    std::memset(field, ' ', 48);
    std::memcpy(field, name, std::strlen(name));
}

struct Server {
    fs::path root, tool;
    std::string name = "QMBENCH";
    bool ok = false;
    MQIFunctionTable mq{};
    Messages halves;      // one change: before, then after
    Messages statistics;  // queue statistics messages as IBM MQ writes them
    Messages events;      // events raised by real work, of several kinds
    double rawRate = 0;
    double statsRawRate = 0;

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
                              << "DEFINE QLOCAL(" << kStatsQueue << ") MAXDEPTH(100000) MAXMSGL(4194304)\n"
                              << "DEFINE QLOCAL(BENCH.OBJECT)\nALTER QMGR CONFIGEV(ENABLED)\n"
                              << "ALTER QLOCAL(BENCH.OBJECT) DESCR('changed')\n";
        ok = ok && std::system((t + " mqsc " + name + " < " + script + " >/dev/null").c_str()) == 0;
        ok = ok && MQLoadLibrary((build / "miniqm" / "libmqm.so").c_str(), &mq) == 0;
        ok = ok && captureChange() && captureEvents();
        for (int n = 0; n < 10; n++) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH);
            md.MsgType = MQMT_DATAGRAM;
            setName(md.ReplyToQMgr, name.c_str());
            statistics.emplace_back(md, statisticsMessage(kStatsQueues, n));
        }
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
    // The events of a little real work, taken off their queues.
    bool captureEvents() {
        std::string script = root.string() + "/work.mqsc";
        std::ofstream(script)
            << "ALTER QMGR CMDEV(ENABLED) LOCALEV(ENABLED) INHIBTEV(ENABLED) PERFMEV(ENABLED)\n"
            << "DEFINE QLOCAL(PAYMENTS.IN) MAXDEPTH(2) DESCR('incoming payments')\n"
            << "ALTER QLOCAL(PAYMENTS.IN) MAXMSGL(65536)\n"
            << "DEFINE QLOCAL(ORDERS.CLOSED) PUT(DISABLED)\n";
        if (std::system((tool.string() + " mqsc " + name + " < " + script + " >/dev/null").c_str()) != 0)
            return false;
        MQHCONN h = connect();
        MQLONG cc, rc;
        for (const char *queue : {"PAYMENTS.IN", "PAYMENTS.IN", "PAYMENTS.IN", "ORDERS.CLOSED"}) {
            MQHOBJ o = open(h, queue, MQOO_OUTPUT);
            MQMD md = MQMD_DEFAULT;
            MQPMO pmo = MQPMO_DEFAULT;
            char data[] = "payment";
            mq.MQPUT(h, o, &md, &pmo, sizeof data, data, &cc, &rc);
            mq.MQCLOSE(h, &o, MQCO_NONE, &cc, &rc);
        }
        for (const char *queue : {"BILLING.REQUEST", "LEDGER.POSTINGS.EU", "FX.RATES"})
            open(h, queue, MQOO_OUTPUT);
        for (const char *queue : {"SYSTEM.ADMIN.QMGR.EVENT", "SYSTEM.ADMIN.PERFM.EVENT",
                                  "SYSTEM.ADMIN.CONFIG.EVENT", "SYSTEM.ADMIN.COMMAND.EVENT"}) {
            MQHOBJ o = open(h, queue, MQOO_INPUT_SHARED);
            for (;;) {
                MQMD md = MQMD_DEFAULT;
                MQGMO gmo = MQGMO_DEFAULT;
                std::string buffer(65536, '\0');
                MQLONG length = 0;
                mq.MQGET(h, o, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc,
                         &rc);
                if (cc == MQCC_FAILED) break;
                buffer.resize(static_cast<size_t>(length));
                events.emplace_back(md, buffer);
            }
            mq.MQCLOSE(h, &o, MQCO_NONE, &cc, &rc);
        }
        mq.MQDISC(&h, &cc, &rc);
        return events.size() >= 10;
    }
    void fill(const char *queue, const Messages &messages, int count) {
        MQHCONN h = connect();
        MQHOBJ o = open(h, queue, MQOO_OUTPUT);
        MQLONG cc, rc;
        for (int i = 0; i < count; i++) {
            auto &[source, data] = messages[static_cast<size_t>(i) % messages.size()];
            MQMD md = source;
            std::memset(md.MsgId, 0, sizeof md.MsgId);
            md.Persistence = MQPER_PERSISTENT;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT | MQPMO_NEW_MSG_ID;
            mq.MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()), &cc,
                     &rc);
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

// Each message got under sync point and put to the data queue under sync point, MQCMIT every 3333:
// messages/s.
double rawRun(Server &s, const char *queue, const Messages &messages, int count) {
    s.fill(queue, messages, count);
    MQHCONN h = s.connect();
    MQHOBJ in = s.open(h, queue, MQOO_INPUT_SHARED);
    MQHOBJ out = s.open(h, kDataQueue, MQOO_OUTPUT | MQOO_INPUT_SHARED);
    std::string buffer(65536, '\0');
    auto start = std::chrono::steady_clock::now();
    MQLONG cc = 0, rc = 0;
    for (int i = 1; i <= count; i++) {
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_SYNCPOINT;
        MQLONG length = 0;
        s.mq.MQGET(h, in, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc, &rc);
        MQMD put = MQMD_DEFAULT;
        put.Persistence = MQPER_PERSISTENT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_SYNCPOINT;
        s.mq.MQPUT(h, out, &put, &pmo, length, buffer.data(), &cc, &rc);
        if (i % 3333 == 0) s.mq.MQCMIT(h, &cc, &rc);
    }
    s.mq.MQCMIT(h, &cc, &rc);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    return count / seconds;
}

// The engine's consumer and set E's sync point in-process until the queue is drained and committed:
// messages/s; *stored receives what the intake counted (events, or statistics messages).
double intakeRun(Server &s, const char *queue, const Messages &messages, int count, int32_t *stored) {
    s.fill(queue, messages, count);
    cfgInstall();
    (void)statsInstall();
    evInstallIntake();
    // Storm detection at its default setting: past STORMTHR the copies of the change are counted.
    evSettingsDefaults(evClockNow());
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
    std::strcpy(probe.name, queue);
    int32_t reason = 0;
    char text[EV_CONFIG_TEXT];
    EventQueueDef *input = evEventQueueFindOrAdd(&probe, &reason, text);
    input->status = EV_EVQ_ACTIVE;
    input->backoutThreshold = 3;
    input->backoutHandle = -1;
    input->forwardHandle = -1;
    input->inputHandle = s.open(h, queue, 0x20A2);
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
    cbd.CallbackArea = input;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&evMessageConsumer);
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = 0x6003;
    gmo.WaitInterval = 0;
    MQLONG cc, rc;
    s.mq.MQCB(h, MQOP_REGISTER, &cbd, input->inputHandle, &md, &gmo, &cc, &rc);
    int32_t eventsBefore = evActivity.events.load();
    int32_t statsBefore = evActivity.stats.load();
    auto start = std::chrono::steady_clock::now();
    MQCTLO ctlo = MQCTLO_DEFAULT;
    s.mq.MQCTL(h, MQOP_START, &ctlo, &cc, &rc);
    // Drained and committed: the committed depth reaches 0.
    while (s.depth(watch, queue) > 0) usleep(2000);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.mq.MQCTL(h, MQOP_STOP, &ctlo, &cc, &rc);
    *stored = evActivity.events.load() - eventsBefore + evActivity.stats.load() - statsBefore;
    s.mq.MQBACK(h, &cc, &rc);
    // The data queue is emptied for the next run.
    std::string buffer(16, '\0');
    for (;;) {
        MQMD any = MQMD_DEFAULT;
        MQGMO get = MQGMO_DEFAULT;
        get.Options = MQGMO_ACCEPT_TRUNCATED_MSG;
        MQLONG length = 0;
        s.mq.MQGET(h, data, &any, &get, 0, buffer.data(), &length, &cc, &rc);
        if (cc == MQCC_FAILED && rc != MQRC_TRUNCATED_MSG_ACCEPTED) break;
    }
    s.mq.MQDISC(&h, &cc, &rc);
    s.mq.MQDISC(&watch, &cc, &rc);
    cfgFreeModel(1);
    evFreeIntake();
    evStringsFree(1);
    evStreamDefFreeAll();
    return count / seconds;
}

void raw(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    for (auto _ : state) s.rawRate = rawRun(s, kEventQueue, s.halves, kMessages);
    state.counters["messages/s"] = s.rawRate;
}

void intake(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    for (auto _ : state) {
        int32_t stored = 0;
        double rate = intakeRun(s, kEventQueue, s.halves, kMessages, &stored);
        state.counters["messages/s"] = rate;
        state.counters["ratio"] = s.rawRate > 0 ? rate / s.rawRate : 0;
        // Each pair is one combined record: the first STORMTHR stored, the rest counted.
        state.counters["records"] = stored;
    }
}

void intakeScript(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    // The build's copy beside the program (__FILE__ is relative to the build folder, not to where the
    // benchmark runs).
    const fs::path script = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "zunt.vdr";
    const EvServices services = evServices;
    scriptInstall();
    evInstallCatalogue();
    if (!evServices.loadScript(script.string().c_str())) {
        state.SkipWithError("the start-up script did not load");
        return;
    }
    for (auto _ : state) {
        int32_t stored = 0;
        double rate = intakeRun(s, kEventQueue, s.halves, kMessages, &stored);
        state.counters["messages/s"] = rate;
        state.counters["ratio"] = s.rawRate > 0 ? rate / s.rawRate : 0;
        state.counters["records"] = stored;
    }
    cslEndSession();
    evServices = services;
}

void statsRaw(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    for (auto _ : state) s.statsRawRate = rawRun(s, kStatsQueue, s.statistics, kStatsMessages);
    state.counters["messages/s"] = s.statsRawRate;
}

void statsIntake(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    for (auto _ : state) {
        int32_t stored = 0;
        double rate = intakeRun(s, kStatsQueue, s.statistics, kStatsMessages, &stored);
        state.counters["messages/s"] = rate;
        state.counters["ratio"] = s.statsRawRate > 0 ? rate / s.statsRawRate : 0;
        state.counters["messages"] = stored;
    }
}

// The size of gzip -9 of the bytes (0 when gzip cannot be run).
size_t gzipSize(const fs::path &file, const std::string &bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
    size_t size = 0;
    std::string command = "gzip -9 -c " + file.string() + " | wc -c";
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, pipe)) size = std::strtoul(line, nullptr, 10);
        pclose(pipe);
    }
    return size;
}

// The bytes the events' records take (names stored once in the string pool, not counted) against
// gzip -9 of each message, summed over the mix.
void eventsBytes(benchmark::State &state) {
    Server &s = server();
    if (!s.ok || s.events.empty()) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    size_t recordBytes = 0, gzipBytes = 0, messageBytes = 0;
    for (auto _ : state) {
        cfgInstall();
        (void)evStringsInit(0);
        (void)evStringsCreateStream();
        recordBytes = gzipBytes = messageBytes = 0;
        for (auto &[md, message] : s.events) {
            std::string copy = message;
            char qmgrName[49] = {};
            Area *area = nullptr;
            int32_t reason = 0;
            if (evCFCompress(&evStreamStringPool, &md, reinterpret_cast<uint8_t *>(copy.data()),
                             static_cast<int32_t>(copy.size()), qmgrName, &area, &reason))
                recordBytes += area->used;
            AreaRelease(&area);
            messageBytes += message.size();
            gzipBytes += gzipSize(s.root / "event.bin", message);
        }
        cfgFreeModel(1);
        evStringsFree(1);
        evStreamDefFreeAll();
    }
    state.counters["events"] = static_cast<double>(s.events.size());
    state.counters["messages"] = static_cast<double>(messageBytes);
    state.counters["records"] = static_cast<double>(recordBytes);
    state.counters["gzip9"] = static_cast<double>(gzipBytes);
    state.counters["ratio"] = gzipBytes > 0 ? recordBytes / static_cast<double>(gzipBytes) : 0;
}

// The bytes a 16-queue message's record takes in its stream (the queue names stored once in the
// string pool, not counted) against gzip -9 of the message.
void statsBytes(benchmark::State &state) {
    Server &s = server();
    if (!s.ok || s.statistics.empty()) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    std::string message = s.statistics[1].second;
    uint32_t recordBytes = 0;
    size_t gzipBytes = 0;
    for (auto _ : state) {
        cfgInstall();
        (void)evStringsInit(0);
        (void)evStringsCreateStream();
        PcfCursor cursor;
        MQPCFInitParser(&cursor, reinterpret_cast<uint8_t *>(message.data()),
                        static_cast<int32_t>(message.size()), 850);
        evContext.currentMd = &s.statistics[1].first;
        EventQueueDef queue{};
        CSLockRecursive(&gConsumerLock);
        (void)evIngestStatQ(&evContext, &queue, &cursor);
        CSUnlockRecursive(&gConsumerLock);
        evContext.currentMd = nullptr;
        recordBytes = 0;
        for (CSTree *node = CSTreeFirst(evQmgrTree); node; node = node->next)
            for (Stream *stream = reinterpret_cast<QmgrEntry *>(node)->streams; stream;
                 stream = stream->next) {
                BlobWalk walk;
                evBlobWalkInit(&walk, evStreamCurrentBlob(stream), evBlobLength(evStreamCurrentBlob(stream)),
                               0);
                BlobEntry entry;
                while (evBlobWalkNext(&walk, &entry) == 1) recordBytes += entry.dataLength;
            }
        cfgFreeModel(1);
        evStringsFree(1);
        evStreamDefFreeAll();

        fs::path file = s.root / "statistics.bin";
        std::ofstream(file, std::ios::binary) << message;
        std::string command = "gzip -9 -c " + file.string() + " | wc -c";
        if (FILE *pipe = popen(command.c_str(), "r")) {
            char line[64] = {};
            if (std::fgets(line, sizeof line, pipe)) gzipBytes = std::strtoul(line, nullptr, 10);
            pclose(pipe);
        }
    }
    state.counters["message"] = static_cast<double>(message.size());
    state.counters["record"] = recordBytes;
    state.counters["gzip9"] = static_cast<double>(gzipBytes);
    state.counters["ratio"] = gzipBytes > 0 ? recordBytes / static_cast<double>(gzipBytes) : 0;
}

}  // namespace

BENCHMARK(raw)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(intake)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(intakeScript)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(statsRaw)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(statsIntake)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(statsBytes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(eventsBytes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
