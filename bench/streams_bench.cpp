// The restart load of stream storage on a private miniqm: 1,000,000 records (ZUNT_BENCH_EVENTS) made
// by evCFCompress from a few dozen event messages with varied names and times are stored through
// append, harden, consolidation and commit; then a fresh process loads "$STRINGS" and every stream
// into empty memory. Printed in one run:
//   P4 = load time / time of a raw browse of the same messages (target <= 2), with beside it the
//        time of a raw browse that keeps each message in memory of its own length, as a load must:
//        what that adds to the raw browse (new pages, faulted in at first touch, and one copy) is
//        none of the load's own work;
//   P5 = resident memory the load adds per stored event / mean compressed record length (target
//        <= 1.2), with the counted heap's bytes beside it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "measured.h"
#include "mqi/mqi.h"
#include "streams/streams.h"

namespace {

namespace fs = std::filesystem;
constexpr const char *kQmgr = "QMSTREAM";
constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

fs::path buildDir() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// The queue manager record of the hooks: one, "QM1", number 1.
struct Qmgr {
    Stream *streams = nullptr;
} qmgr;
QmgrEntry *qmgrEntry() {
    return reinterpret_cast<QmgrEntry *>(&qmgr);
}
void installHooks() {
    EvStreamHooks hooks{};
    hooks.qmgrStreamList = [](QmgrEntry *) { return &qmgr.streams; };
    hooks.nextQmgr = [](QmgrEntry *previous) { return previous ? nullptr : qmgrEntry(); };
    hooks.qmgrIdentity = [](QmgrEntry *, uint32_t *number, const char **name, uint32_t *nameId) {
        *number = 1;
        *name = "QM1";
        *nameId = 0;
    };
    evStreamSetHooks(&hooks);
}

// A connection to the data queue of the private queue manager.
struct DataQueue {
    MQIFunctionTable mq{};
    EvStreamIo io{};
    bool ok = false;
    DataQueue() {
        if (MQLoadLibrary((buildDir() / "miniqm" / "libmqm.so").c_str(), &mq) != 0) return;
        MQCHAR48 name;
        std::memset(name, ' ', sizeof name);
        std::memcpy(name, kQmgr, std::strlen(kQmgr));
        MQHCONN hconn = MQHC_UNUSABLE_HCONN;
        MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
        MQLONG cc = 0, rc = 0;
        mq.MQCONN(name, &hconn, &cc, &rc);
        MQOD od = MQOD_DEFAULT;
        std::memset(od.ObjectName, ' ', sizeof od.ObjectName);
        std::memcpy(od.ObjectName, kDataQueue, std::strlen(kDataQueue));
        if (cc == MQCC_OK)
            mq.MQOPEN(hconn, &od, MQOO_INPUT_SHARED | MQOO_OUTPUT | MQOO_BROWSE, &hobj, &cc, &rc);
        io = EvStreamIo{&mq, hconn, hobj, 0, 1000, 1};
        ok = cc == MQCC_OK;
    }
    ~DataQueue() {
        MQLONG cc = 0, rc = 0;
        if (io.hconn != MQHC_UNUSABLE_HCONN) mq.MQDISC(&io.hconn, &cc, &rc);
    }
    // Browses every message into one buffer, as the cheapest possible reading of them; with keep, also
    // copies each into memory of its own length, freed after the clock stops.
    double rawBrowse(int64_t *messages, int64_t *bytes, bool keep = false) {
        std::vector<char> buffer(STREAM_MAX_MESSAGE);
        std::vector<void *> kept;
        double start = seconds();
        *messages = *bytes = 0;
        for (MQLONG options = MQGMO_BROWSE_FIRST;; options = MQGMO_BROWSE_NEXT) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = options;
            MQLONG length = 0, cc = 0, rc = 0;
            mq.MQGET(io.hconn, io.hobj, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length,
                     &cc, &rc);
            if (cc == MQCC_FAILED) break;
            ++*messages;
            *bytes += length;
            if (keep) {
                kept.push_back(CSGetMem(static_cast<uint64_t>(length)));
                if (kept.back()) std::memcpy(kept.back(), buffer.data(), static_cast<size_t>(length));
            }
        }
        double took = seconds() - start;
        for (void *p : kept)
            if (p) CSFreeMem(p);
        return took;
    }
};

// One private queue manager for the run, stopped and removed at exit.
struct Server {
    fs::path root, tool;
    bool ok = false;
    Server() {
        tool = buildDir() / "miniqm" / "miniqm";
        root = fs::temp_directory_path() / ("miniqm-streams-bench-" + std::to_string(std::random_device{}()));
        fs::create_directories(root);
        setenv("MINIQM_ROOT", root.c_str(), 1);
        std::vector<char> command(4096);
        std::snprintf(
            command.data(), command.size(),
            "%s create %s >/dev/null && %s start %s --no-fsync >/dev/null && echo 'DEFINE QLOCAL(%s) "
            "MAXDEPTH(1000000) MAXMSGL(4194304)' | %s mqsc %s >/dev/null",
            tool.c_str(), kQmgr, tool.c_str(), kQmgr, kDataQueue, tool.c_str(), kQmgr);
        ok = std::system(command.data()) == 0;
    }
    ~Server() {
        std::system((tool.string() + " stop " + kQmgr + " --now >/dev/null 2>&1").c_str());
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

// A few dozen event messages: queue-depth, authority and channel events with varied names.
std::vector<std::vector<uint8_t>> eventMessages() {
    std::vector<std::vector<uint8_t>> out;
    for (int i = 0; i < 48; i++) {
        int kind = i % 3;
        int32_t command = kind == 0 ? 45 : kind == 1 ? 44 : 46;
        int32_t reason = kind == 0 ? 2224 : kind == 1 ? 2035 : 2283;
        uint8_t *buffer = static_cast<uint8_t *>(CSGetMem(1024));
        MQPCFInitHeader(buffer, MQCFT_EVENT, command);
        mqiPutI32(buffer, 28, reason);
        PcfCursor cursor{};
        MQPCFInitBuilder(&cursor, buffer, 1024, 1, 0, &buffer);
        int32_t cc = 0, rc = 0;
        auto text = [&](int32_t id, const std::string &value) {
            MQPCFSetStringParm(&cursor, MQCFT_STRING, id, value.data(), static_cast<int32_t>(value.size()),
                               819, 0, &cc, &rc);
        };
        auto number = [&](int32_t id, int32_t value) {
            MQPCFSetParm(&cursor, MQCFT_INTEGER, id, &value, 4, 0, &cc, &rc);
        };
        char name[48];
        text(MQCA_Q_MGR_NAME, "QM1");
        // The parameters IBM MQ puts in each of these events.
        if (kind == 0) {  // Queue Depth High
            std::snprintf(name, sizeof name, "APP.ORDERS.QUEUE.%02d", i);
            text(MQCA_BASE_OBJECT_NAME, name);
            number(MQIA_TIME_SINCE_RESET, 600 + i);
            number(MQIA_HIGH_Q_DEPTH, 80 + i);
            number(MQIA_MSG_ENQ_COUNT, 1000 * i);
            number(MQIA_MSG_DEQ_COUNT, 990 * i);
        } else if (kind == 1) {  // Not Authorized, type 2 (open)
            number(MQIACF_REASON_QUALIFIER, 2);
            std::snprintf(name, sizeof name, "PAYMENTS.IN.%02d", i);
            text(MQCA_Q_NAME, name);
            number(MQIACF_OPEN_OPTIONS, 8208 + i);
            std::snprintf(name, sizeof name, "appuser%02d", i);
            text(MQCACF_USER_IDENTIFIER, name);
            number(MQIA_APPL_TYPE, 6);
            std::snprintf(name, sizeof name, "/opt/app/bin/worker%02d", i % 7);
            text(MQCACF_APPL_NAME, name);
        } else {  // Channel Stopped
            number(MQIACF_REASON_QUALIFIER, 9);
            std::snprintf(name, sizeof name, "TO.PARTNER.%02d", i);
            text(MQCACH_CHANNEL_NAME, name);
            number(MQIACF_ERROR_IDENTIFIER, 536895868 + i);
            number(MQIACF_AUX_ERROR_DATA_INT_1, 10054);
            number(MQIACF_AUX_ERROR_DATA_INT_2, i);
            text(MQCACF_AUX_ERROR_DATA_STR_1, "TCP/IP");
            std::snprintf(name, sizeof name, "PARTNER%02d.XMITQ", i);
            text(MQCACH_XMIT_Q_NAME, name);
            std::snprintf(name, sizeof name, "10.1.%d.%d(1414)", i, 2 * i);
            text(MQCACH_CONNECTION_NAME, name);
        }
        out.emplace_back(buffer, buffer + cursor.position);
        CSFreeMem(buffer);
    }
    return out;
}

// Stores the records: compressed once per message, then appended with their own times and hardened
// and committed in batches of 1000, consolidating when due. The mean record length.
double store(DataQueue &dq, int64_t events) {
    std::vector<std::vector<uint8_t>> records;
    for (std::vector<uint8_t> &message : eventMessages()) {
        MQMD md = MQMD_DEFAULT;
        md.CodedCharSetId = 819;
        char qmgrName[49] = {};
        Area *area = nullptr;
        int32_t reason = 0;
        if (evCFCompress(&evStreamStringPool, &md, message.data(), static_cast<int32_t>(message.size()),
                         qmgrName, &area, &reason))
            records.emplace_back(AreaData(area), AreaData(area) + area->used);
        AreaRelease(&area);
    }
    Stream *streams[3] = {};
    for (int k = 0; k < 3; k++) {
        const char *names[] = {"PERFM", "AUTHORITY", "CHANNEL"};
        streams[k] = evStreamCreate(qmgrEntry(), evStreamDefine(names[k], -1, STREAM_TYPE_EVENTS, 0, 0));
        streams[k]->definition->retIntvl = 0x7fffffff;
    }
    int64_t bytes = 0, start = 1767225600;
    for (int64_t n = 0; n < events; n++) {
        std::vector<uint8_t> &r = records[static_cast<size_t>(n) % records.size()];
        int64_t when = start + n / 10;
        evCFSetEventTime(r.data(), when);
        evCFSetEventId(r.data(), static_cast<uint32_t>(n));
        if (!evStreamAdd(qmgrEntry(), streams[n % 3], r.data(), static_cast<uint32_t>(r.size()), when,
                         nullptr))
            std::abort();
        bytes += static_cast<int64_t>(r.size());
        if ((n + 1) % 1000 == 0 || n + 1 == events) {
            EvHardenBlock block{&dq.io, 0, 0, 0};
            if (!evHardenAllStreams(&block) || !evStreamCommit(&dq.io)) std::abort();
            if (block.consolidationDue)
                for (Stream *s : streams)
                    if (!evStreamConsolidateAll(&dq.io, s)) std::abort();
        }
    }
    return static_cast<double>(bytes) / static_cast<double>(events);
}

// The child: loads everything into empty memory and prints what it took.
int loadChild() {
    evDebugFlags = EV_DBG_N;
    installHooks();
    DataQueue dq;
    if (!dq.ok) return 1;
    int64_t messages = 0, bytes = 0;
    double browse = dq.rawBrowse(&messages, &bytes);
    const char *names[] = {"PERFM", "AUTHORITY", "CHANNEL"};
    std::vector<StreamDef *> definitions;
    for (const char *name : names) definitions.push_back(evStreamDefine(name, -1, STREAM_TYPE_EVENTS, 0, 0));
    int64_t rss = residentBytes(), heap = CSMemCounters().bytes;
    double start = seconds();
    int ok = evStreamLoad(&dq.io, evStringsCreateStream());
    uint64_t records = 0;
    for (StreamDef *def : definitions) {
        Stream *s = evStreamCreate(qmgrEntry(), def);
        ok &= evStreamLoad(&dq.io, s);
        records += s->recordCount;
    }
    double load = seconds() - start;
    rss = residentBytes() - rss;
    heap = CSMemCounters().bytes - heap;
    browse = std::min(browse, dq.rawBrowse(&messages, &bytes));
    double kept = dq.rawBrowse(&messages, &bytes, true);
    std::printf("%d %.6f %.6f %lld %lld %llu %lld %lld %.6f\n", ok, load, browse, static_cast<long long>(rss),
                static_cast<long long>(heap), static_cast<unsigned long long>(records),
                static_cast<long long>(messages), static_cast<long long>(bytes), kept);
    return ok ? 0 : 1;
}

void restartLoad(benchmark::State &state) {
    static Server server;
    if (!server.ok) {
        state.SkipWithError("miniqm server did not start");
        return;
    }
    const char *configured = std::getenv("ZUNT_BENCH_EVENTS");
    int64_t events = configured ? std::atoll(configured) : 1000000;
    for (auto _ : state) {
        state.PauseTiming();
        installHooks();
        DataQueue dq;
        if (!dq.ok) {
            state.SkipWithError("no connection to the data queue");
            return;
        }
        if (!evStringsCreateStream() || !evStringsInit(0)) {
            state.SkipWithError("no storage for the string pool");
            return;
        }
        double storeStart = seconds();
        double mean = store(dq, events);
        double storeTime = seconds() - storeStart;
        state.ResumeTiming();
        // Three fresh processes load; the quickest load and browse count, as the least disturbed.
        std::string self = fs::read_symlink("/proc/self/exe").string();
        std::vector<char> command(self.size() + 32);
        std::snprintf(command.data(), command.size(), "'%s' --load-child", self.c_str());
        double load = 1e9, browse = 1e9, kept = 1e9;
        long long rss = 0, heap = 0, messages = 0, bytes = 0;
        unsigned long long records = 0;
        for (int run = 0; run < 3; run++) {
            FILE *child = popen(command.data(), "r");
            int ok = 0;
            double runLoad = 0, runBrowse = 0, runKept = 0;
            if (!child ||
                std::fscanf(child, "%d %lf %lf %lld %lld %llu %lld %lld %lf", &ok, &runLoad, &runBrowse, &rss,
                            &heap, &records, &messages, &bytes, &runKept) != 9 ||
                !ok) {
                if (child) pclose(child);
                state.SkipWithError("the load failed");
                return;
            }
            pclose(child);
            load = std::min(load, runLoad);
            browse = std::min(browse, runBrowse);
            kept = std::min(kept, runKept);
        }
        double p4 = load / browse;
        double perEvent = static_cast<double>(rss) / static_cast<double>(records);
        double p5 = perEvent / mean,
               heapRatio = static_cast<double>(heap) / static_cast<double>(records) / mean;
        state.counters["P4"] = p4;
        state.counters["P4kept"] = kept / browse;
        state.counters["P5"] = p5;
        state.counters["P5heap"] = heapRatio;
        std::printf(
            "stored %llu events in %lld messages (%.1f MB) in %.1f s; mean compressed record %.1f bytes\n",
            records, messages, static_cast<double>(bytes) / 1048576.0, storeTime, mean);
        std::printf("P4 restart load %.3f s / raw browse %.3f s = %.2f (target <= 2)\n", load, browse, p4);
        std::printf(
            "   a raw browse keeping each message %.3f s = %.2f of the raw browse; the load is %.2f of it\n",
            kept, kept / browse, load / kept);
        std::printf(
            "P5 resident memory added %.1f bytes per event / %.1f = %.2f (target <= 1.2); "
            "counted heap %.1f bytes per event = %.2f\n",
            perEvent, mean, p5, static_cast<double>(heap) / static_cast<double>(records), heapRatio);
    }
}

}  // namespace

BENCHMARK(restartLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The load runs in a process of its own so that it starts from empty memory.
int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--load-child") == 0) return loadChild();
    return bench::runMeasured(argc, argv);
}
