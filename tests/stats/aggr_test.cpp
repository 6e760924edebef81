// Aggregation without a queue manager: the bins' alignment to local midnight, the due rule, the
// message layout, the folds, the absorb, and the load that skips a damaged message.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

#include "emit/emit.h"
#include "stats/aggr_testing.h"
#include "testing/console_capture.h"

using namespace agt;

namespace {

// The stored records of a stream's current blob.
std::vector<std::vector<uint8_t>> storedRecords(Stream *s) {
    std::vector<std::vector<uint8_t>> out;
    BlobWalk walk;
    evBlobWalkInit(&walk, evStreamCurrentBlob(s), s->header->used - SH_BLOB, 0);
    BlobEntry entry;
    while (evBlobWalkNext(&walk, &entry) > 0) out.emplace_back(entry.data, entry.data + entry.dataLength);
    return out;
}

uint32_t storedPuts(Stream *s, const std::string &queue) {
    uint32_t puts = 0;
    for (const auto &r : storedRecords(s))
        for (const auto &o : stt::readObjects(&evStatQFamily, r)) {
            StatQRecord q;
            std::memcpy(&q, o.data(), sizeof q);
            if (stt::text(q.queueName) == queue) puts += q.putsNP;
        }
    return puts;
}

// A name with a number (snprintf: GCC 12 misreads string concatenation here).
std::string named(const char *prefix, int n) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%d", prefix, n);
    return text;
}

}  // namespace

TEST(AggrBinEnd, BinsEndOnLocalBoundariesOfTheInterval) {
    struct Case {
        const char *tz;
        int64_t t;
        uint32_t length;
        int64_t end;
    } cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", kT0, 3600, kT0 + 1800},  // 09:30 UTC opens [09:00, 10:00]
        {"CET-1CEST,M3.5.0,M10.5.0/3", kT0 + 1800, 3600,
         kT0 + 1800},  // 10:00 lies on the boundary: the same bin
        {"CET-1CEST,M3.5.0,M10.5.0/3", kT0, 86400, kT0 + 13 * 3600 + 1800},  // local midnight: 23:00 UTC
        {"JST-9", kT0 + 5 * 3600, 86400, kT0 + 5 * 3600 + 1800},             // 14:30 UTC: ends 15:00 UTC
        {"JST-9", kT0 + 6 * 3600, 86400, kT0 + 29 * 3600 + 1800},            // 15:30 UTC: the next day's
        {"UTC0", kT0 + 1, 900, kT0 + 900},
    };
    for (const Case &c : cases) {
        zt::ScopedTZ tz(c.tz);
        EXPECT_EQ(evAggrBinEnd(c.t, c.length), c.end) << c.tz << " " << c.t << " " << c.length;
    }
}

TEST_F(AggrTest, ARecordOpensABinOfTheStreamsCurrentInterval) {
    zt::ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    ASSERT_EQ(fold(s, statQ(kT0, {"Q1"})), 1);
    ASSERT_EQ(fold(s, statQ(kT0 + 1800, {"Q1"})), 1);  // ends on the boundary: joins it
    ASSERT_EQ(activeBins(s).size(), 1u);
    EXPECT_EQ(activeBins(s)[0]->start, kT0 - 1800);
    EXPECT_EQ(entries(activeBins(s)[0]).size(), 1u);
    EXPECT_EQ(reinterpret_cast<StatQRecord *>(entries(activeBins(s)[0])[0]->record)->records, 2u);
    s->definition->aggrInt = 900;  // ALTER EVSTREAM AGGRINT
    ASSERT_EQ(fold(s, statQ(kT0, {"Q1"})), 1);
    auto bins = activeBins(s);
    ASSERT_EQ(bins.size(), 2u);
    EXPECT_EQ(bins[0]->length, 900u);
    EXPECT_EQ(bins[0]->end, kT0);
}

// A day bin is the local day, 25 hours long on the autumn change: records at 00:30, 12:00 and 23:30
// local time fold into one bin whatever their order, and a reloaded bin of that day is still a day.
TEST_F(AggrTest, ADayBinIsTheLocalDayOnADaylightSavingChange) {
    zt::ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    const int64_t dayStart = 1792879200;  // 2026-10-25 00:00 CEST (22:00 UTC the day before)
    const int64_t dayEnd = 1792969200;    // 2026-10-26 00:00 CET, 25 hours later
    const int64_t times[] = {dayStart + 1800, dayEnd - 1800, dayStart + 13 * 3600};
    const int orders[][3] = {{0, 1, 2}, {1, 0, 2}, {2, 1, 0}};
    for (const auto &order : orders) {
        SCOPED_TRACE(order[0]);
        TearDown();
        SetUp();
        Stream *s = stream("AGG", STREAM_TYPE_STATQ, 86400);
        for (int i : order) ASSERT_EQ(fold(s, statQ(times[i], {"Q1"})), 1);
        auto bins = activeBins(s);
        ASSERT_EQ(bins.size(), 1u);
        EXPECT_EQ(bins[0]->start, dayStart);
        EXPECT_EQ(bins[0]->end, dayEnd);
        EXPECT_EQ(bins[0]->length, 86400u);
        EXPECT_EQ(reinterpret_cast<StatQRecord *>(entries(bins[0])[0]->record)->records, 3u);
    }
    EXPECT_EQ(aggrBinLength(dayStart, dayEnd), 86400u);
    EXPECT_EQ(aggrBinLength(dayEnd - 3600, dayEnd), 3600u);
}

TEST_F(AggrTest, ABinIsDueAfterGraceUnlessItIsNewAndStillUpdated) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    ASSERT_EQ(fold(s, statQ(kT0, {"Q1"})), 1);
    int64_t end = activeBins(s)[0]->end;
    struct Step {
        int64_t now;
        bool absorbed;
    } steps[] = {{end + 14, false}, {end + 15, false} /* updated 15 s ago at most */, {end + 15, true}};
    // The first two run with the last update within Grace: the bin is one of the newest Window.
    activeBins(s)[0]->lastUpdate = end + 1;
    for (const Step &step : steps) {
        clock_.set(step.now);
        if (&step == &steps[2]) activeBins(s)[0]->lastUpdate = end - 1;
        AggrWork work{&evContext, &io_, qmgr_, s, s->definition, nullptr, nullptr, nullptr, nullptr,
                      0,          0,    0,     0};
        ASSERT_EQ(evAggrRunDue(&work, 1), 1);
        AreaRelease(&work.area);
        EXPECT_EQ(s->activeBins == 0, step.absorbed) << step.now - end;
    }
}

TEST_F(AggrTest, AFailingEmitterPushesTheDueTimeBack) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    std::snprintf(s->definition->evEmit, sizeof s->definition->evEmit, "E1");
    EmitterDef *emitter = evCreateEmitterDef("E1", -1);
    ASSERT_NE(emitter, nullptr);
    ASSERT_EQ(fold(s, statQ(kT0, {"Q1"})), 1);
    AggrBin *bin = activeBins(s)[0];
    int64_t end = bin->end;
    bin->lastUpdate = end - 100;
    struct Case {
        uint32_t failures;
        int64_t failTime;
        int64_t notBefore;
    } cases[] = {{3, end + 10, end + 25}, {3, end - 100, end + 15}, {60, end, end + 300}};
    for (const Case &c : cases) {
        emitter->consecutiveFailures = c.failures;
        emitter->failTime = c.failTime;
        for (int64_t now : {c.notBefore - 1, c.notBefore}) {
            clock_.set(now);
            AggrWork work{&evContext, &io_, qmgr_, s, s->definition, nullptr, nullptr, nullptr, nullptr,
                          0,          0,    0,     0};
            ASSERT_EQ(evAggrRunDue(&work, 0), 1);
            AreaRelease(&work.area);
            EXPECT_EQ(s->activeBins, now < c.notBefore ? 1u : 0u) << c.failures << " at " << now - end;
            if (s->activeBins == 0) {
                bin->active = 1;  // back for the next case
                s->activeBins = 1;
            }
        }
    }
    evAbsorb.sweepDisabled = 1;
    evAggrState.nextDue = 0;
    evAggrScheduleNext(s->definition, end);
    EXPECT_EQ(evAggrState.nextDue.load(), 0);
}

TEST_F(AggrTest, TheAbsorbTakesTheOldestBinsFirstAndStopsAtOneNotDue) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    for (int h = 0; h < 3; h++) ASSERT_EQ(fold(s, statQ(kT0 + h * 3600, {"Q1"}, h + 1)), 1);
    ASSERT_EQ(harden(), 1);
    int64_t secondEnd = activeBins(s)[1]->end;
    for (AggrBin *bin : activeBins(s)) bin->lastUpdate = 0;
    io_.unit++;  // the harden's unit committed
    clock_.set(secondEnd + 15);
    ASSERT_EQ(absorbAll(), 1);
    ASSERT_EQ(activeBins(s).size(), 1u);
    EXPECT_EQ(storedPuts(s, "Q1"), 3u);  // the first two bins: 1 + 2
    auto stored = storedRecords(s);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(evCFGetIntervalEnd(stored[0].data()), secondEnd - 3600);
    EXPECT_TRUE(evCFGetFlags(stored[0].data()) & EVCF_FLAG_AGGREGATED);
    EXPECT_EQ(emitted(), 0);  // the stream names no emitter
    EXPECT_EQ(aggrMessageCount(), 1u);
    EXPECT_EQ(s->aggrMsgs, 1u);
}

TEST_F(AggrTest, EveryPortionOfAFamilyHasOneLength) {
    std::mt19937 random(7);
    std::vector<uint8_t> connId(24, 'c');
    for (AggrFamily &family : evAggrFamilies) {
        ASSERT_EQ(aggrSizeFamily(&family), 1);
        const StatsFamily *stats = family.stats;
        for (int round = 0; round < 50; round++) {
            alignas(8) uint8_t record[AGGR_RECORD_MAX];
            statsPreset(stats, record);
            for (uint32_t i = 0; i < stats->fieldCount; i++) {
                const StatsField &f = stats->fields[i];
                int pick = static_cast<int>(random() % 5);
                if (f.width == STATS_W_U32) {
                    uint32_t values[] = {0, 7, 300, STATS_UNSET_32, STATS_MIXED_32};
                    aggrPut(record, f.offset, values[pick]);
                } else if (f.width == STATS_W_I64) {
                    int64_t values[] = {0, 200, 70000, STATS_UNSET_64, int64_t{1} << 40};
                    aggrPut(record, f.offset, values[pick]);
                } else if (f.width == STATS_W_STRING) {
                    const StringEntry *values[] = {
                        nullptr, &evStringMixedEntry, &evStringNotPresentEntry,
                        evStringLookup(stt::intern(named("Q", static_cast<int>(random() % 100000)))),
                        evStringLookup(stt::intern(""))};
                    aggrPut(record, f.offset, values[pick]);
                } else if (f.width == STATS_W_BYTES) {
                    const uint8_t *data = pick == 0   ? nullptr
                                          : pick == 1 ? reinterpret_cast<const uint8_t *>("*")
                                                      : connId.data();
                    aggrPut(record, f.offset, data);
                    aggrPut(record, f.offset + 8,
                            static_cast<uint16_t>(pick == 1       ? 1
                                                  : pick * 6 > 24 ? 24
                                                                  : pick * 6));
                }
            }
            if (stats->objectId)  // a portion always names its object
                aggrPut(record, aggrFieldOffset(&family, stats->objectId),
                        evStringLookup(stt::intern("OBJ")));
            std::vector<uint8_t> buffer(8192);
            evCFWriter w;
            evCFWriterInit(&w, buffer.data(), static_cast<uint32_t>(buffer.size()), &evStreamStringPool, 850);
            w.fixedLength = 1;
            ASSERT_EQ(aggrWritePortion(&w, &family, record, 1), 1);
            ASSERT_EQ(w.length - EVCF_HEADER_LENGTH, family.portionLength)
                << stats->name << " round " << round;
            // It reads back to the same record.
            evCFCursor cursor;
            evCFCursorInit(&cursor, &evStreamStringPool, buffer.data(), w.length, 0, 0);
            alignas(8) uint8_t back[AGGR_RECORD_MAX];
            uint8_t backConn[AGGR_CONN_ID_MAX];
            statsPreset(stats, back);
            ASSERT_EQ(aggrReadPortion(&cursor, &family, back, backConn), 1) << stats->name;
            statsFinish(stats, record);  // totals, duration and count are not stored: a reader derives them
            statsFinish(stats, back);
            EXPECT_EQ(stt::firstDifference(stats, record, back), "") << stats->name << " round " << round;
        }
    }
}

TEST_F(AggrTest, ThirtyNineQueuesNeedTwoMessagesWhoseCountsWalkTheirPortions) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    std::vector<std::string> queues;
    for (int q = 0; q < 39; q++) queues.push_back(named("Q", q));
    ASSERT_EQ(fold(s, statQ(kT0, queues)), 1);
    ASSERT_EQ(harden(), 1);
    EXPECT_EQ(queue().puts, 2u);
    EXPECT_EQ(s->aggrMsgs, 2u);
    std::vector<uint32_t> portions;
    for (const Message &m : queue().messages) {
        uint32_t groups = 0;
        evCFCursor cursor;
        evCFCursorInit(&cursor, &evStreamStringPool, m.data.data(), static_cast<uint32_t>(m.data.size()), 0,
                       0);
        evCFItem item;
        while (statsNextItem(&cursor, &item)) groups += item.type == MQCFT_GROUP;
        EXPECT_EQ(cursor.position, m.data.size());  // the header count reaches the last portion
        portions.push_back(groups);
    }
    std::sort(portions.begin(), portions.end());
    EXPECT_EQ(portions, (std::vector<uint32_t>{1, 38}));
}

TEST_F(AggrTest, FoldsSumByKeyAndGroupByCommandLevelOrApplication) {
    Stream *q = stream("AGGQ", STREAM_TYPE_STATQ, 3600);
    ASSERT_EQ(fold(q, statQ(kT0, {"Q1"}, 2, 940)), 1);
    ASSERT_EQ(fold(q, statQ(kT0, {"Q1"}, 3, 940)), 1);
    ASSERT_EQ(fold(q, statQ(kT0, {"Q1"}, 4, 930)), 1);
    AggrBin *bin = activeBins(q)[0];
    EXPECT_EQ(groupsInUse(bin), 2u);
    ASSERT_EQ(entries(bin).size(), 2u);
    uint32_t records = 0, puts = 0;
    for (AggrEntry *e : entries(bin)) {
        records += reinterpret_cast<StatQRecord *>(e->record)->records;
        puts += reinterpret_cast<StatQRecord *>(e->record)->putsNP;
    }
    EXPECT_EQ(records, 3u);
    EXPECT_EQ(puts, 9u);

    Stream *m = stream("AGGM", STREAM_TYPE_ACCTMQI, 3600);
    for (const char *channel : {"C1", "C2", "C1"}) {
        auto r = stt::rawRecord(&evAcctMQIFamily,
                                {str(3024, "app"), str(3025, "user"), str(3501, channel), str(3506, "host"),
                                 i32(31, 940), i32(31002, 5)},
                                {});
        evCFSetIntervalEnd(r.data(), kT0);
        ASSERT_EQ(fold(m, r), 1);
    }
    bin = activeBins(m)[0];
    EXPECT_EQ(groupsInUse(bin), 1u);
    EXPECT_EQ(entries(bin).size(), 2u);

    // A copy's fold marks what it folds.
    Stream *c = stream("AGGC", STREAM_TYPE_STATQ, 3600);
    ASSERT_EQ(fold(c, statQ(kT0, {"Q1"}), 1), 1);
    EXPECT_EQ(
        reinterpret_cast<StatQRecord *>(entries(activeBins(c)[0])[0]->record)->flags & AGGR_FLAG_FROM_COPY,
        AGGR_FLAG_FROM_COPY);
}

TEST_F(AggrTest, AbsorbedRecordsAreEmittedUnlessACopyFoldedThem) {
    Stream *live = stream("LIVE", STREAM_TYPE_STATQ, 3600);
    Stream *copied = stream("COPIED", STREAM_TYPE_STATQ, 3600);
    for (Stream *s : {live, copied}) std::snprintf(s->definition->evEmit, sizeof s->definition->evEmit, "E1");
    ASSERT_EQ(fold(live, statQ(kT0, {"Q1", "Q2"})), 1);
    ASSERT_EQ(fold(copied, statQ(kT0, {"Q1"}), 1), 1);
    ASSERT_EQ(harden(), 1);
    io_.unit++;
    clock_.set(kT0 + 3600);
    ASSERT_EQ(absorbAll(), 1);
    EXPECT_EQ(emitted(), 1);  // one record for the live stream's level-940 group
    EXPECT_EQ(storedRecords(copied).size(), 1u);
    EXPECT_EQ(aggrMessageCount(), 0u);
}

TEST_F(AggrTest, ACopyTargetGetsTheBinsRecordsAndTheSourceKeepsItsBins) {
    Stream *source = stream("SRC", STREAM_TYPE_STATQ, 3600);
    StreamDef *targetDef = evStreamDefine("TGT", -1, STREAM_TYPE_STATQ, 0, 0);
    Stream *target = evStreamCreate(qmgr_, targetDef);
    std::snprintf(targetDef->evEmit, sizeof targetDef->evEmit, "E1");
    ASSERT_EQ(fold(source, statQ(kT0, {"Q1", "Q2"}, 4)), 1);
    EvStreamCopy copy;
    evStreamCopyInit(&copy, &evContext, &io_, 0, source, target, 0);
    ASSERT_EQ(evStreamCopyAggregate(&copy, nullptr), 1);
    AreaRelease(&copy.aggrArea);
    EXPECT_EQ(storedPuts(target, "Q1"), 4u);
    EXPECT_EQ(emitted(), 0);
    EXPECT_EQ(source->activeBins, 1u);
    EXPECT_EQ(entries(activeBins(source)[0]).size(), 2u);
}

// The emitters' own slot, writing NDJSON lines to a file: what reaches the emitter, and by which id.
class AggrEmitTest : public AggrTest {
protected:
    void SetUp() override {
        AggrTest::SetUp();
        InitialiseCommandFields();
        evStatsEmitHooks.emitRecord = installedEmit_;
        EmitterDef *e = evCreateEmitterDef("E1", -1);
        ASSERT_NE(e, nullptr);
        e->format = EV_EMIT_NDJSON;
        e->singleRecord = 1;
        std::snprintf(e->file, sizeof e->file, "%s", dir_.file("out.json").c_str());
    }
    void TearDown() override {
        emitCloseOutputs(nullptr, evSet(EV_SET_E));
        ct::freeEmitters();
        AggrTest::TearDown();
    }
    Stream *emitting(const char *name, uint32_t interval = 3600) {
        Stream *s = stream(name, STREAM_TYPE_STATQ, interval);
        std::snprintf(s->definition->evEmit, sizeof s->definition->evEmit, "E1");
        return s;
    }
    std::vector<std::string> lines() {
        emitCloseOutputs(nullptr, evSet(EV_SET_E));
        std::vector<std::string> out;
        if (!dir_.exists("out.json")) return out;
        std::string text = dir_.read("out.json"), line;
        for (char ch : text)
            if (ch == '\n') {
                out.push_back(line);
                line.clear();
            } else {
                line += ch;
            }
        return out;
    }
    zt::TempDir dir_;
};

TEST_F(AggrEmitTest, AbsorbedRecordsReachTheEmitterUnlessACopyStoresThem) {
    struct Case {
        const char *name;
        std::function<void()> run;
        size_t lines;
    };
    const Case cases[] = {
        {"a live fold, absorbed by the sweep",
         [this] {
             ASSERT_EQ(fold(emitting("LIVE"), statQ(kT0, {"Q1", "Q2"})), 1);
             ASSERT_EQ(harden(), 1);
             io_.unit++;
             clock_.set(kT0 + 3600);
             ASSERT_EQ(absorbAll(), 1);
         },
         2},
        {"a copy's fold, absorbed by the sweep",
         [this] {
             ASSERT_EQ(fold(emitting("COPIED"), statQ(kT0, {"Q1"}), 1), 1);
             clock_.set(kT0 + 3600);
             ASSERT_EQ(absorbAll(), 1);
         },
         0},
        {"a copy's absorb of the source's bin",
         [this] {
             Stream *source = stream("SRC", STREAM_TYPE_STATQ, 3600);
             Stream *target = emitting("TGT", 0);
             ASSERT_EQ(fold(source, statQ(kT0, {"Q1"})), 1);
             EvStreamCopy copy;
             evStreamCopyInit(&copy, &evContext, &io_, 0, source, target, 0);
             EmitContext work{};
             ASSERT_EQ(evStreamCopyAggregate(&copy, &work), 1);
             AreaRelease(&copy.aggrArea);
             EXPECT_EQ(work.noEmit, 1);
             EXPECT_EQ(storedRecords(target).size(), 1u);
         },
         0},
        {"a copy's absorb of the target's own due bin",
         [this] {
             Stream *target = emitting("TGT");
             ASSERT_EQ(fold(target, statQ(kT0, {"Q1"})), 1);
             clock_.set(kT0 + 3600);
             EmitContext work{};
             ASSERT_EQ(evStreamGetHooks()->aggrRunDue(&work, target, 0), 1);
             EXPECT_EQ(storedRecords(target).size(), 1u);
         },
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        std::remove(dir_.file("out.json").c_str());
        clock_.set(kT0);
        SetUp();
        c.run();
        std::vector<std::string> out = lines();
        ASSERT_EQ(out.size(), c.lines);
        // One record of two queues: its objects share the record's own id ("ZAGR" and its hashes, never
        // its aggregation message's MsgId), numbered.
        const std::string key = "\"zuntUniqueId\":\"";
        for (size_t i = 0; i < out.size(); i++) {
            const size_t at = out[i].find(key);
            ASSERT_NE(at, std::string::npos) << out[i];
            EXPECT_EQ(out[i].compare(at + key.size(), 8, "5A414752"), 0) << out[i];
            // Appended, not added to a literal: GCC 12 at -O3 warns falsely (restrict) on the latter.
            std::string number("-");
            number.append(std::to_string(i + 1)).append("\"");
            EXPECT_EQ(out[i].compare(at + key.size() + 48, 3, number), 0) << out[i];
            EXPECT_EQ(out[i].compare(at, key.size() + 48, out[0], out[0].find(key), key.size() + 48), 0);
        }
    }
}

TEST_F(AggrTest, ABucketOfFiveHundredQueuesIsStoredInPiecesWithinTheBlob) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    std::vector<std::string> queues;
    for (int q = 0; q < 500; q++) queues.push_back(named("QUEUE.NUMBER.", q));
    ASSERT_EQ(fold(s, statQ(kT0, queues, 2)), 1);
    ASSERT_EQ(harden(), 1);
    io_.unit++;
    clock_.set(kT0 + 3600);
    ASSERT_EQ(absorbAll(), 1);
    uint64_t objects = 0;
    for (const auto &r : storedRecords(s)) objects += stt::readObjects(&evStatQFamily, r).size();
    for (StreamBlob *b = s->blobs; b; b = b->next) {
        BlobWalk walk;
        evBlobWalkInit(&walk, evStreamBlobHeader(b), b->area->used, 0);
        BlobEntry entry;
        while (evBlobWalkNext(&walk, &entry) > 0) {
            std::vector<uint8_t> r(entry.data, entry.data + entry.dataLength);
            objects += stt::readObjects(&evStatQFamily, r).size();
        }
    }
    EXPECT_EQ(objects, 500u);
    EXPECT_GT(s->recordCount, 1u);
}

TEST_F(AggrTest, AReloadGivesBackTheBinsAndSkipsADamagedMessage) {
    Stream *q = stream("AGGQ", STREAM_TYPE_STATQ, 3600);
    Stream *c = stream("AGGC", STREAM_TYPE_STATCHL, 3600);
    std::vector<std::string> queues;
    for (int i = 0; i < 80; i++) queues.push_back(named("Q", i));
    ASSERT_EQ(fold(q, statQ(kT0, queues, 3, 940)), 1);
    ASSERT_EQ(fold(q, statQ(kT0, {"Q1"}, 5, 930)), 1);
    ASSERT_EQ(fold(q, statQ(kT0 + 3600, {"Q1"}, 7, 940)), 1);
    for (int64_t avg : {int64_t{3000000000}, int64_t{4000000000}}) {
        auto r = stt::rawRecord(&evStatChlFamily, {i32(31, 940)},
                                {{str(3501, "CH1"), str(2017, "QM2"), str(3506, "host"), i32(1511, 1),
                                  i64(31139, avg), i32(31180, 1), i32(31136, 9)}});
        evCFSetIntervalEnd(r.data(), kT0);
        ASSERT_EQ(fold(c, r), 1);
    }
    ASSERT_EQ(harden(), 1);
    size_t stored = aggrMessageCount();
    ASSERT_GE(stored, 5u);
    // The memory as it was, entry by entry.
    auto snapshot = [](Stream *s) {
        return byEntry(s, [](const AggrFamily &family, const uint8_t *record) {
            return std::vector<uint8_t>(record, record + family.stats->recordSize);
        });
    };
    auto beforeQ = snapshot(q), beforeC = snapshot(c);
    uint32_t msgsQ = q->aggrMsgs;
    // Damaged messages among them: reported, left alone, the others load.
    uint8_t correl[24] = {AGGR_CORREL_KIND};
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.CorrelId, correl, 24);
    std::vector<uint8_t> damaged = queue().messages[0].data;
    damaged[damaged.size() - 3] = 0x02;  // an invalid lead inside the last portion
    MQLONG cc = 0, rc = 0;
    for (int copy = 0; copy < 2; copy++) {  // two of them: reported once for the load
        std::memset(md.MsgId, 0, sizeof md.MsgId);
        aggrFakePut(0, 0, &md, nullptr, static_cast<MQLONG>(damaged.size()), damaged.data(), &cc, &rc);
    }
    {
        zt::ConsoleCapture console;
        ASSERT_EQ(reload(), 1);
        std::string shown = console.out() + console.err();
        size_t first = shown.find("Loading Aggregation Message Failed");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(shown.find("Loading Aggregation Message Failed", first + 1), std::string::npos);
    }
    EXPECT_EQ(aggrMessageCount(), stored + 2);
    EXPECT_EQ(q->aggrMsgs, msgsQ);
    auto afterQ = snapshot(q), afterC = snapshot(c);
    ASSERT_EQ(afterQ.size(), beforeQ.size());
    for (auto &[key, record] : beforeQ)
        EXPECT_EQ(stt::firstDifference(&evStatQFamily, record.data(), afterQ[key].data()), "") << key;
    for (auto &[key, record] : beforeC)
        EXPECT_EQ(stt::firstDifference(&evStatChlFamily, record.data(), afterC[key].data()), "") << key;
    EXPECT_EQ(reinterpret_cast<StatChlRecord *>(afterC.begin()->second.data())->netTimeAvg, 7000000000);
    // Nothing loaded is dirty: a harden writes nothing.
    uint64_t puts = queue().puts;
    evAggrState.changed = 1;
    ASSERT_EQ(harden(), 1);
    EXPECT_EQ(queue().puts, puts);
}

// A message whose stream is no longer defined goes to the type's default stream, defined for it: its
// bin is absorbed and the message removed, not read again at every connect.
TEST_F(AggrTest, AMessageOfAStreamNoLongerDefinedIsAbsorbedIntoTheDefaultStream) {
    Stream *gone = stream("GONE", STREAM_TYPE_STATQ, 3600);
    ASSERT_EQ(fold(gone, statQ(kT0, {"Q1"}, 6)), 1);
    ASSERT_EQ(harden(), 1);
    io_.unit++;
    ASSERT_EQ(aggrMessageCount(), 1u);
    const uint32_t id = gone->definition->streamId;
    gone->definition->streamId = id + 100;  // the message names a stream id nothing has now
    ASSERT_EQ(reload(), 1);
    StreamDef *def = evStreamDefFind("$STATQ", -1, STREAM_TYPE_STATQ, nullptr);
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->streamId, id);
    EXPECT_EQ(std::string(def->descr).rfind("Auto-defined on ", 0), 0u) << def->descr;
    Stream *target = nullptr;
    for (Stream *s = qmgr_->streams; s; s = s->next)
        if (s->definition == def) target = s;
    ASSERT_NE(target, nullptr);
    ASSERT_EQ(activeBins(target).size(), 1u);
    EXPECT_EQ(activeBins(gone).size(), 0u);
    clock_.set(kT0 + 3600);
    ASSERT_EQ(absorbAll(), 1);
    EXPECT_EQ(aggrMessageCount(), 0u);
    EXPECT_EQ(storedPuts(target, "Q1"), 6u);
}

// A record without an interval end cannot be binned: it is counted, and told once per stream.
TEST_F(AggrTest, ARecordWithoutAnIntervalEndIsCountedAndToldOncePerStream) {
    Stream *a = stream("A", STREAM_TYPE_STATQ, 3600);
    Stream *b = stream("B", STREAM_TYPE_STATQ, 3600);
    std::vector<uint8_t> undated = statQ(kT0, {"Q1"});
    evCFSetIntervalEnd(undated.data(), 0);
    std::string shown;
    {
        zt::ConsoleCapture console;
        for (Stream *s : {a, a, b}) EXPECT_EQ(fold(s, undated), 1);
        shown = console.out() + console.err();
    }
    EXPECT_EQ(a->undatedRecords, 2u);
    EXPECT_EQ(b->undatedRecords, 1u);
    EXPECT_EQ(a->activeBins + b->activeBins, 0u);
    for (const char *name : {"A", "B"}) {
        const std::string line =
            std::string("Stream '") + name + "': a record without an interval end is not aggregated";
        const size_t at = shown.find(line);
        ASSERT_NE(at, std::string::npos) << shown;
        EXPECT_EQ(shown.find(line, at + 1), std::string::npos) << shown;
    }
}

TEST_F(AggrTest, AFailedHardenPutGivesBackWhatItClearedSoTheNextHardenWritesIt) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    std::vector<std::string> queues;
    for (int i = 0; i < 80; i++) queues.push_back(named("Q", i));
    ASSERT_EQ(fold(s, statQ(kT0, queues)), 1);
    queue().failPutAt = 2;
    queue().failReason = MQRC_Q_FULL;
    EXPECT_EQ(harden(), 0);
    EXPECT_EQ(evAggrState.changed.load(), 1);
    EXPECT_EQ(errors().size(), 1u);
    queue().messages.clear();  // the backout
    io_.unit++;
    ASSERT_EQ(harden(), 1);
    EXPECT_EQ(aggrMessageCount(), 3u);
    ASSERT_EQ(reload(), 1);
    uint32_t records = 0;
    for (AggrEntry *e : entries(activeBins(s)[0]))
        records += reinterpret_cast<StatQRecord *>(e->record)->records;
    EXPECT_EQ(records, 80u);
}

TEST_F(AggrTest, RemovingAMessageAlreadyGoneSucceedsAndChangesNoCount) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    ASSERT_EQ(fold(s, statQ(kT0, {"Q1"})), 1);
    ASSERT_EQ(harden(), 1);
    io_.unit++;
    queue().messages.clear();
    AggrWork work{&evContext, &io_, qmgr_, s, s->definition, activeBins(s)[0], nullptr, nullptr, nullptr,
                  0,          0,    0,     0};
    uint32_t inFlight = io_.inFlight;
    EXPECT_EQ(aggrMsgRemove(&work, 1, activeBins(s)[0]->messages), 1);
    EXPECT_EQ(s->aggrMsgs, 1u);
    EXPECT_EQ(io_.inFlight, inFlight);
}

TEST_F(AggrTest, AQueuePortionHasItsFixedBytes) {
    AggrFamily *family = aggrFamilyByType(STREAM_TYPE_STATQ);
    ASSERT_EQ(aggrSizeFamily(family), 1);
    StatQRecord record;
    statsPreset(&evStatQFamily, &record);
    record.queueName = evStringLookup(stt::intern("Q1"));
    record.commandLevel = 940;
    record.intervalStart = kT0 - 60;
    record.intervalEnd = kT0;
    record.putsNP = 5;
    record.putBytesNP = 70000;
    auto portion = [&](int mode) {
        std::vector<uint8_t> buffer(4096);
        evCFWriter w;
        evCFWriterInit(&w, buffer.data(), static_cast<uint32_t>(buffer.size()), &evStreamStringPool, 850);
        w.fixedLength = 1;
        EXPECT_EQ(aggrWritePortion(&w, family, &record, mode), 1);
        std::string hex;
        for (uint32_t i = EVCF_HEADER_LENGTH; i < w.length; i++) {
            char byte[3];
            std::snprintf(byte, sizeof byte, "%02X", buffer[i]);
            hex += byte;
        }
        return hex;
    };
    const std::string hex = portion(AGGR_FIXED);
    // Group 8011 of 73 items; Q1 by reference (string 2); level 940 in two bytes and 3 of padding; ...
    // the 32-bit counters of IBM MQ in 64-bit slots of 11 bytes (PUTNP 5: FA 1B 79 05, then padding),
    // and so RECORDS (1: FA F1 99 01) and the averages' counts.
    EXPECT_EQ(
        hex,
        "144B1F4900DFE00702000000A01F00ACFEFEFED21400FEFEFEFED20700FEFEFEFEE6129AFEFEFEFEFCE699DC7F8767FE"
        "FEFEFEFCE79918808767FEFEFEFEE6E999FEFEFEFEFAF19901FEFEFEFEFEFEFEE60A9AFEFEFEFEFACA7900FEFEFEFEFE"
        "FEFEFACB7900FEFEFEFEFEFEFEFA1B7905FEFEFEFEFEFEFEFA1C7900FEFEFEFEFEFEFEFC237970110100FEFEFEFEFA24"
        "7900FEFEFEFEFEFEFEFA1D7900FEFEFEFEFEFEFEFA1F7900FEFEFEFEFEFEFEFA207900FEFEFEFEFEFEFEFA217900FEFE"
        "FEFEFEFEFEFA267900FEFEFEFEFEFEFEFA277900FEFEFEFEFEFEFEFA2B7900FEFEFEFEFEFEFEFA297900FEFEFEFEFEFE"
        "FEFA2A7900FEFEFEFEFEFEFEFA2D7900FEFEFEFEFEFEFEFA2E7900FEFEFEFEFEFEFEFA2F7900FEFEFEFEFEFEFEFA3179"
        "00FEFEFEFEFEFEFEFA327900FEFEFEFEFEFEFEFA337900FEFEFEFEFEFEFEFA347900FEFEFEFEFEFEFEFA357900FEFEFE"
        "FEFEFEFED41879FEFEFEFEFEFEFEFED41979FEFEFEFEFEFEFEFED23C79FEFEFEFED23D79FEFEFEFE");
    // The third layout: RECORDS and the counts in 7-byte slots.
    EXPECT_EQ(
        portion(AGGR_FIXED_V3),
        "144B1F4900DFE00702000000A01F00ACFEFEFED21400FEFEFEFED20700FEFEFEFEE6129AFEFEFEFEFCE699DC7F8767FE"
        "FEFEFEFCE79918808767FEFEFEFEE6E999FEFEFEFEE7F199FEFEFEFEE60A9AFEFEFEFEE6CA79FEFEFEFEE6CB79FEFEFE"
        "FEFA1B7905FEFEFEFEFEFEFEFA1C7900FEFEFEFEFEFEFEFC237970110100FEFEFEFEFA247900FEFEFEFEFEFEFEFA1D79"
        "00FEFEFEFEFEFEFEFA1F7900FEFEFEFEFEFEFEFA207900FEFEFEFEFEFEFEFA217900FEFEFEFEFEFEFEFA267900FEFEFE"
        "FEFEFEFEFA277900FEFEFEFEFEFEFEFA2B7900FEFEFEFEFEFEFEFA297900FEFEFEFEFEFEFEFA2A7900FEFEFEFEFEFEFE"
        "FA2D7900FEFEFEFEFEFEFEFA2E7900FEFEFEFEFEFEFEFA2F7900FEFEFEFEFEFEFEFA317900FEFEFEFEFEFEFEFA327900"
        "FEFEFEFEFEFEFEFA337900FEFEFEFEFEFEFEFA347900FEFEFEFEFEFEFEFA357900FEFEFEFEFEFEFED41879FEFEFEFEFE"
        "FEFEFED41979FEFEFEFEFEFEFEFED23C79FEFEFEFED23D79FEFEFEFE");
    // The first layout, which older aggregation messages have: the same counters in 7-byte slots.
    EXPECT_EQ(
        portion(AGGR_FIXED_V1),
        "144B1F4900DFE00702000000A01F00ACFEFEFED21400FEFEFEFED20700FEFEFEFEE6129AFEFEFEFEFCE699DC7F8767FE"
        "FEFEFEFCE79918808767FEFEFEFEE6E999FEFEFEFEE7F199FEFEFEFEE60A9AFEFEFEFEE6CA79FEFEFEFEE6CB79FEFEFE"
        "FEEB1B79FEFEFEFEE61C79FEFEFEFEFC237970110100FEFEFEFEFA247900FEFEFEFEFEFEFEE61D79FEFEFEFEE61F79FE"
        "FEFEFEE62079FEFEFEFEE62179FEFEFEFEE62679FEFEFEFEE62779FEFEFEFEE62B79FEFEFEFEFA297900FEFEFEFEFEFE"
        "FEFA2A7900FEFEFEFEFEFEFEE62D79FEFEFEFEE62E79FEFEFEFEE62F79FEFEFEFEFA317900FEFEFEFEFEFEFEFA327900"
        "FEFEFEFEFEFEFEE63379FEFEFEFEE63479FEFEFEFEE63579FEFEFEFED41879FEFEFEFEFEFEFEFED41979FEFEFEFEFEFE"
        "FEFED23C79FEFEFEFED23D79FEFEFEFE");
}

namespace {

TEST_F(AggrTest, LetterGDumpsTheMessagesAndPortionsLetterGAloneDoesNot) {
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    const uint32_t saved = evDebugFlags.load();
    for (uint32_t flags : {EV_DBG_g, EV_DBG_G}) {
        SCOPED_TRACE(flags);
        evDebugFlags.store(flags);
        std::string shown;
        {
            zt::ConsoleCapture console;
            EXPECT_EQ(fold(s, statQ(kT0, {"Q1", "Q2"})), 1);
            EXPECT_EQ(harden(), 1);
            EXPECT_EQ(reload(), 1);
            shown = console.out() + console.err();
        }
        for (const char *label : {"PCF Aggr Data Portion", "PCF Hardening Aggr Msg", "PCF Loaded Aggr Msg"})
            EXPECT_EQ(shown.find(label) != std::string::npos, flags == EV_DBG_G) << label << "\n" << shown;
    }
    evDebugFlags.store(saved);
}

// With letter g each fold and absorb is traced by its family's name, the object families with the
// object's name.
TEST_F(AggrTest, LetterGTracesFoldsAndAbsorbsByFamily) {
    struct Case {
        const char *name;
        uint32_t type;
        std::vector<uint8_t> record;
        std::vector<std::string> lines;
    };
    auto acctQ = stt::rawRecord(&evAcctQFamily, {str(3024, "app"), str(3025, "user"), i32(31, 940)},
                                {{str(2016, "Q1"), i32(31003, 1)}});
    auto acctMqi = stt::rawRecord(&evAcctMQIFamily, {str(3024, "app"), i32(31, 940), i32(31002, 5)}, {});
    auto statMqi = stt::rawRecord(&evStatMQIFamily, {i32(31, 940), i32(31002, 5)}, {});
    for (auto *r : {&acctQ, &acctMqi, &statMqi}) {
        evCFSetIntervalStart(r->data(), kT0 - 60);
        evCFSetIntervalEnd(r->data(), kT0);
    }
    const Case cases[] = {
        {"queue statistics",
         STREAM_TYPE_STATQ,
         statQ(kT0, {"Q1"}),
         {"    StatQ 'Q1' new", "    StatQ 'Q1' totalled", "  StatQ 'Q1' absorbed"}},
        {"queue accounting",
         STREAM_TYPE_ACCTQ,
         acctQ,
         {"    AccQ 'Q1' new", "    AccQ 'Q1' totalled", "  AccQ 'Q1' absorbed"}},
        {"MQI statistics",
         STREAM_TYPE_STATMQI,
         statMqi,
         {"    StatMQI new", "    StatMQI totalled", "  StatMQI absorbed"}},
        {"MQI accounting",
         STREAM_TYPE_ACCTMQI,
         acctMqi,
         {"    AccMQI new", "    AccMQI totalled", "  AccMQI absorbed"}},
    };
    const uint32_t saved = evDebugFlags.load();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Stream *s = stream(c.name, c.type, 3600);
        evDebugFlags.store(EV_DBG_g);
        std::string shown;
        {
            zt::ConsoleCapture console;
            EXPECT_EQ(fold(s, c.record), 1);
            EXPECT_EQ(fold(s, c.record), 1);
            clock_.set(kT0 + 3600);
            EXPECT_EQ(absorbAll(), 1);
            // Appended, not added to a literal: GCC 12 at -O3 warns falsely (restrict) on the latter.
            shown.append("\n").append(console.out()).append(console.err());
        }
        evDebugFlags.store(saved);
        clock_.set(kT0);
        size_t at = 0;
        for (const std::string &line : c.lines) {
            at = shown.find("\n" + line + "\n", at);
            EXPECT_NE(at, std::string::npos) << line << "\n" << shown;
            if (at == std::string::npos) break;
        }
    }
}

}  // namespace
