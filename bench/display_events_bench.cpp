// DISPLAY EVENTS WHERE against jq: 1,000,000 events (ZUNT_BENCH_EVENTS) of a realistic mix
// (configuration changes, queue depth, channel and command events) spread over 30 days are stored in
// an event stream in memory through the stream layer and written once as NDJSON by the NDJSON
// emitter. Then, side by side, DISPLAY EVENTS(*) FROM('any') MAXRESP(999999) WHERE(...) runs as PCF
// through its handler (replies taken by a fake function table), and the same selection by
// jq -c 'select(...)' over the NDJSON file as a child process (without jq: a plain scan of the stored
// records). Two selectivities, about 0.1% and 10%; the counter "ratio" is jq's time / DISPLAY's
// (target >= 5).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cmdserver/cmdserver.h"
#include "emit/emit.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kNow = 1767225600;  // 2026-01-01 00:00:00 UTC
constexpr int64_t kSpan = 30 * 86400;

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A compressed record written item by item with the record writer.
struct Writer {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(65536);
    evCFWriter w{};
    Writer(uint16_t command, uint32_t reason, int64_t time, uint16_t objectType, const std::string &object) {
        (void)evCFWriterInit(&w, buffer.data(), static_cast<uint32_t>(buffer.size()), &evStreamStringPool,
                             850);
        evCFSetFlags(buffer.data(), EVCF_FLAG_EVENT);
        evCFSetCommand(buffer.data(), command);
        evCFSetReason(buffer.data(), reason);
        evCFSetEventTime(buffer.data(), time);
        evCFSetObjectType(buffer.data(), objectType);
        evCFSetObjectName(buffer.data(), intern(object));
        evCFSetUserId(buffer.data(), intern(command == 99 ? "operator" : "mqm"));
    }
    static uint32_t intern(const std::string &text) {
        return evStringIntern(1, 850, text.data(), static_cast<uint32_t>(text.size()), 0, nullptr);
    }
    Writer &add(int32_t type, int32_t id, int64_t value) {
        evCFItem item{};
        item.type = type;
        item.parmId = id;
        item.value = value;
        int32_t cc = 0, rc = 0;
        evCFAddParm(&w, &item, &cc, &rc);
        return *this;
    }
    Writer &integer(int32_t id, int32_t value) { return add(MQCFT_INTEGER, id, value); }
    Writer &text(int32_t id, const std::string &value) { return add(EVCF_STRING_ID, id, intern(value)); }
    Writer &group(int32_t id) { return add(MQCFT_GROUP, id, 0); }
    Writer &end() { return add(PCF_TYPE_GROUP_END, 1, 0); }
    std::vector<uint8_t> bytes() const { return {buffer.begin(), buffer.begin() + w.length}; }
};

// The n-th event of the mix.
std::vector<uint8_t> makeEvent(int n, int64_t time, std::mt19937 &random) {
    char object[48];
    const int index = static_cast<int>(random() % 500);
    switch (n % 4) {
        case 0: {
            std::snprintf(object, sizeof object, "APP.ORDERS.%03d", index);
            Writer w(43, 2368, time, 1, object);
            w.text(2015, "QM1").integer(1021, 8);
            w.group(39200).text(2016, object).text(2013, "orders").integer(15, 5000).integer(13, 1).end();
            w.group(39201).text(2013, "orders, larger").integer(15, 5000 + index).end();
            return w.bytes();
        }
        case 1: {
            std::snprintf(object, sizeof object, "APP.PAYMENTS.%03d", index);
            Writer w(45, 2224, time, 1, object);
            w.text(2015, "QM1").text(2016, object).integer(3, 4000 + index).integer(1227, 4).integer(1228, 9);
            return w.bytes();
        }
        case 2: {
            std::snprintf(object, sizeof object, "TO.QM%03d", index);
            Writer w(46, 2282, time, 6, object);
            char connection[48];
            std::snprintf(connection, sizeof connection, "10.1.%d.%d(1414)", index / 250, index % 250);
            w.text(2015, "QM1").text(3501, object).text(3506, connection).integer(1511, 3);
            return w.bytes();
        }
        default: {
            std::snprintf(object, sizeof object, "APP.Q%03d", index);
            Writer w(99, 2413, time, 1, object);
            w.group(8001).text(3025, "operator").text(3045, "runmqsc").integer(1021, 8).end();
            w.group(8002).text(2016, object).integer(15, 9000).end();
            return w.bytes();
        }
    }
}

struct FakeReplies {
    uint64_t puts = 0;
    uint64_t events = 0;  // responses carrying an event time
} replies;

void fakeOpen(MQHCONN, PMQVOID, MQLONG, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    *hobj = 5;
    *cc = MQCC_OK;
    *rc = 0;
}
void fakePut(MQHCONN, MQHOBJ, PMQVOID, PMQVOID, MQLONG length, PMQVOID data, PMQLONG cc, PMQLONG rc) {
    replies.puts++;
    PcfCursor parser;
    MQPCFInitParser(&parser, static_cast<uint8_t *>(data), length, 0);
    for (;;) {
        int32_t type = 0, id = 0, valueLength = 0, count = 0, c = 0, r = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&parser, &type, &id, &value, &valueLength, &count, &c, &r);
        if (c == MQCC_FAILED) break;
        if (id == 39322) replies.events++;
    }
    *cc = MQCC_OK;
    *rc = 0;
}
void fakeClose(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    *hobj = -1;
    *cc = MQCC_OK;
    *rc = 0;
}

struct Fixture {
    fs::path dir;
    fs::path ndjson;
    int events = 0;
    bool ok = false;
    bool haveJq = false;
    Stream *stream = nullptr;
    MQIFunctionTable table{};

    Fixture() {
        const char *count = std::getenv("ZUNT_BENCH_EVENTS");
        events = count != nullptr ? std::atoi(count) : 1000000;
        dir = fs::temp_directory_path() / ("zunt-display-events-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
        ndjson = dir / "events.ndjson";
        haveJq = std::system("jq --version >/dev/null 2>&1") == 0;
        InitialiseCommandFields();
        cmdInstall();
        (void)evStringsInit(0);
        (void)evStringsCreateStream();
        evSettingsDefaults(kNow);
        evSettings.startTime.store(kNow - kSpan - 86400);
        table.MQOPEN = fakeOpen;
        table.MQPUT = fakePut;
        table.MQCLOSE = fakeClose;
        evContext.event.mq = &table;
        evConnHandles[evContext.sets[EV_SET_C].eventSlot].store(7);
        ok = fill();
    }
    ~Fixture() {
        if (std::getenv("ZUNT_BENCH_KEEP") != nullptr) return;
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    bool fill() {
        StreamDef *def = evStreamDefine("EVENTS.ALL", -1, STREAM_TYPE_EVENTS, 0, 0);
        char text[EV_CONFIG_TEXT];
        QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
        EmitterDef *emitter = evCreateEmitterDef("NDJSON", -1);
        if (def == nullptr || qmgr == nullptr || emitter == nullptr) return false;
        def->disImplct = 1;
        std::snprintf(def->evEmit, sizeof def->evEmit, "NDJSON");
        emitter->format = EV_EMIT_NDJSON;
        emitter->reader = EV_READER_PROGRAM;
        std::snprintf(emitter->file, sizeof emitter->file, "%s", ndjson.c_str());
        emitter->queue[0] = 0;
        emitter->maxSize = UINT32_MAX;  // one file
        stream = evStreamCreate(qmgr, def);
        if (stream == nullptr) return false;
        stream->next = qmgr->streams;
        qmgr->streams = stream;
        std::mt19937 random(42);
        for (int n = 0; n < events; n++) {
            const int64_t time = kNow - kSpan + static_cast<int64_t>(n) * kSpan / events;
            std::vector<uint8_t> record = makeEvent(n, time, random);
            if (evStreamAdd(qmgr, stream, record.data(), static_cast<uint32_t>(record.size()), time,
                            nullptr) == nullptr)
                return false;
            EmitContext c{};
            c.set = evSet(EV_SET_E);
            c.qmgr = qmgr;
            c.stream = stream;
            c.streamDef = def;
            if (emitRecord(&c, record.data(), static_cast<uint32_t>(record.size())) != EMIT_DONE)
                return false;
        }
        emitCloseOutputs(nullptr, evSet(EV_SET_E));
        return fs::exists(ndjson);
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

// DISPLAY EVENTS(*) FROM('any') MAXRESP(999999) WHERE(evtime > threshold) through the handler.
uint64_t display(int64_t threshold) {
    std::vector<uint8_t> command(4096);
    MQPCFInitHeader(command.data(), MQCFT_COMMAND, 9004);
    PcfCursor c;
    MQPCFInitBuilder(&c, command.data(), static_cast<int32_t>(command.size()), 0, 0, nullptr);
    int32_t cc = 0, rc = 0;
    MQPCFSetStringParm(&c, MQCFT_STRING, 39301, "*", 1, 0, 0, &cc, &rc);
    MQPCFSetStringParm(&c, MQCFT_STRING, 39318, "any", 3, 0, 0, &cc, &rc);
    const int32_t maxResp = 999999;
    MQPCFSetParm(&c, MQCFT_INTEGER, 39302, &maxResp, 4, 0, &cc, &rc);
    const std::string where = "evtime > " + std::to_string(threshold);
    MQPCFSetStringParm(&c, MQCFT_STRING, 39300, where.data(), static_cast<int32_t>(where.size()), 0, 0, &cc,
                       &rc);
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH);
    std::memcpy(md.ReplyToQ, "REPLY.Q", 7);
    std::memcpy(md.PutDate, "20260101", 8);
    std::memcpy(md.PutTime, "00000000", 8);
    replies = FakeReplies{};
    (void)evRunCommandMessage(&evContext, nullptr, &md, command.data(), c.position);
    return replies.events;
}

// The same selection by jq over the NDJSON file: the lines selected.
uint64_t jq(const Fixture &f, int64_t threshold) {
    const fs::path out = f.dir / "selected.ndjson";
    const std::string line = "jq -c 'select(.zuntEventCommon.evtimesecs > " + std::to_string(threshold) +
                             ")' " + f.ndjson.string() + " > " + out.string();
    if (std::system(line.c_str()) != 0) return 0;
    uint64_t selected = 0;
    if (FILE *file = std::fopen(out.c_str(), "r")) {
        for (int ch = 0; (ch = std::fgetc(file)) != EOF;)
            if (ch == '\n') selected++;
        std::fclose(file);
    }
    return selected;
}

// Without jq: every stored record decoded with the record cursor and tested.
uint64_t scan(const Fixture &f, int64_t threshold) {
    uint64_t selected = 0;
    auto blob = [&](const uint8_t *bh, uint32_t extent) {
        BlobWalk walk;
        evBlobWalkInit(&walk, bh, extent, 0);
        BlobEntry entry;
        while (evBlobWalkNext(&walk, &entry) > 0) {
            evCFCursor cursor;
            evCFCursorInit(&cursor, &evStreamStringPool, entry.data, entry.dataLength, 1, 0);
            for (;;) {
                evCFItem item;
                int32_t cc = 0, rc = 0;
                evCFNextParm(&cursor, &item, &cc, &rc);
                if (cc != 0) break;
            }
            if (evCFGetEventTime(entry.data) > threshold) selected++;
        }
    };
    blob(evStreamCurrentBlob(f.stream), f.stream->header->used - SH_BLOB);
    for (StreamBlob *b = f.stream->blobs; b != nullptr; b = b->next)
        blob(evStreamBlobHeader(b), b->area->used);
    return selected;
}

void displayVersusJq(benchmark::State &state) {
    Fixture &f = fixture();
    if (!f.ok) {
        state.SkipWithError("the events could not be stored and emitted");
        return;
    }
    // The newest thousandth (0.1%) or tenth (10%) of the 30 days.
    const int64_t threshold = kNow - kSpan / state.range(0);
    double displaySeconds = 0;
    uint64_t shown = 0;
    for (auto _ : state) {
        const double start = seconds();
        shown = display(threshold);
        displaySeconds = seconds() - start;
    }
    const double start = seconds();
    const uint64_t selected = f.haveJq ? jq(f, threshold) : scan(f, threshold);
    const double otherSeconds = seconds() - start;
    state.counters["events"] = f.events;
    state.counters["replies"] = static_cast<double>(shown);
    state.counters["selected"] = static_cast<double>(selected);
    state.counters["display_s"] = displaySeconds;
    state.counters[f.haveJq ? "jq_s" : "scan_s"] = otherSeconds;
    state.counters["ratio"] = displaySeconds > 0 ? otherSeconds / displaySeconds : 0;
}

BENCHMARK(displayVersusJq)->Arg(1000)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
