// The aggregation tests on a stand-in queue manager: the data queue of "QM1" behind the MQI wrapper,
// the sync point's steps (streams, bins, commit; the absorb after it), the recovery of a failed unit
// (backout, memory dropped and loaded again) and what the tests read back.
#pragma once

#include <unistd.h>

#include <map>
#include <memory>
#include <optional>

#include "miniqm/qm_fixture.h"
#include "stats/aggr_testing.h"
#include "testing/built_paths.h"
#include "testing/mqi_wrap.h"

namespace agt {

inline constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";

// A record as text, field by field: strings by their text, streams left out (a reload makes both anew).
inline std::string rendered(const StatsFamily *family, const uint8_t *record) {
    std::string out;
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField &f = family->fields[i];
        char value[96];
        if (f.width == STATS_W_STRING)
            std::snprintf(value, sizeof value, "%s ",
                          stt::text(aggrGet<const StringEntry *>(record, f.offset)).c_str());
        else if (f.width == STATS_W_U32)
            std::snprintf(value, sizeof value, "%u ", aggrGet<uint32_t>(record, f.offset));
        else if (f.width == STATS_W_I64)
            std::snprintf(value, sizeof value, "%lld ",
                          static_cast<long long>(aggrGet<int64_t>(record, f.offset)));
        else
            continue;
        out += f.keyword ? f.keyword : "?";
        out += "=";
        out += value;
    }
    return out;
}

class AggrQmTest : public AggrTest {
protected:
    // Without a server of its own the fixture uses "QM1" under the inherited MINIQM_ROOT.
    explicit AggrQmTest(bool ownServer = true) {
        if (ownServer) qm_.emplace("QM1");
    }
    void SetUp() override {
        AggrTest::SetUp();
        ASSERT_TRUE(!qm_ || qm_->ok());
        int defined = 0;
        if (qm_)
            defined = qm_->mqsc(std::string("DEFINE QLOCAL(") + kDataQueue +
                                ") MAXDEPTH(100000) MAXMSGL(4194304)\n");
        ASSERT_EQ(defined, 0);
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &raw_), 0);
        wrap_ = std::make_unique<zt::MqiWrapper>(raw_);
        MQCHAR48 name;
        qmt::setText(name, 48, "QM1");
        MQLONG cc = 0, rc = 0;
        wrap_->table()->MQCONN(name, &hconn_, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        openDataQueue(true);
    }
    // The data queue through the fixture's connection. Without input while the program runs: the
    // program loads nothing while another handle has its data queue open for input.
    void openDataQueue(bool input) {
        MQLONG cc = 0, rc = 0;
        if (hobj_ != MQHO_UNUSABLE_HOBJ) wrap_->table()->MQCLOSE(hconn_, &hobj_, MQCO_NONE, &cc, &rc);
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, kDataQueue);
        const MQLONG options = (input ? MQOO_INPUT_SHARED : 0) | MQOO_OUTPUT | MQOO_BROWSE | MQOO_INQUIRE;
        wrap_->table()->MQOPEN(hconn_, &od, options, &hobj_, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        io_ = EvStreamIo{wrap_->table(), hconn_, hobj_, 0, 100, 1};
    }
    void TearDown() override {
        MQLONG cc = 0, rc = 0;
        if (hconn_ != MQHC_UNUSABLE_HCONN) {
            raw_.MQBACK(hconn_, &cc, &rc);
            raw_.MQDISC(&hconn_, &cc, &rc);
        }
        AggrTest::TearDown();
        wrap_.reset();
    }

    // The queue manager's connections; -1 when it does not answer.
    static int connectionCount() { return qmt::connectionCount("QM1"); }
    [[nodiscard]] static bool waitForConnections(int before) {
        return qmt::waitForConnections("QM1", before);
    }

    // The sync point: streams, then the bins, then the commit; a failure backs out and reloads.
    bool syncPoint() {
        EvHardenBlock block{&io_, 0, 0, 0};
        bool ok = evHardenAllStreams(&block) && evAggrHarden(&evContext, &io_) && evStreamCommit(&io_);
        return ok || recover();
    }
    // The absorb after a commit, in a unit of its own.
    bool absorb() {
        bool ok = evAggrAbsorbAll(&evContext, &io_) && evStreamCommit(&io_);
        return ok || recover();
    }
    // The end of a failed unit: backed out, memory dropped and loaded again (the reconnect).
    bool recover() {
        MQLONG cc = 0, rc = 0;
        raw_.MQBACK(hconn_, &cc, &rc);
        evStreamUowBackedOut(&io_);
        EXPECT_EQ(reloadAll(), 1);
        return false;
    }
    int reloadAll() {
        evAggrFreeAll(0);
        std::vector<StreamDef *> defs;
        while (Stream *s = qmgr_->streams) {
            qmgr_->streams = s->next;
            s->next = nullptr;
            defs.push_back(s->definition);
            evStreamFree(s);
        }
        evStringsFree(1);
        int ok = evStreamLoad(&io_, evStringsCreateStream());
        for (StreamDef *def : defs) ok &= evStreamLoad(&io_, evStreamCreate(qmgr_, def));
        return ok && evAggrMsgReadAll(&evContext, &io_);
    }
    Stream *find(const char *name) {
        for (Stream *s = qmgr_->streams; s; s = s->next)
            if (std::strcmp(s->definition->name, name) == 0) return s;
        return nullptr;
    }

    // Every entry of the stream's bins by bin end, level and object.
    static std::map<std::string, std::string> snapshot(Stream *s) {
        return byEntry(s, [](const AggrFamily &family, const uint8_t *record) {
            return rendered(family.stats, record);
        });
    }

    // The puts and records of every stored record of the stream, by queue.
    static std::map<std::string, std::pair<uint64_t, uint64_t>> storedSums(Stream *s) {
        std::map<std::string, std::pair<uint64_t, uint64_t>> sums;
        auto add = [&](const uint8_t *blob, uint32_t extent) {
            BlobWalk walk;
            evBlobWalkInit(&walk, blob, extent, 0);
            BlobEntry entry;
            while (evBlobWalkNext(&walk, &entry) > 0) {
                std::vector<uint8_t> r(entry.data, entry.data + entry.dataLength);
                for (const auto &o : stt::readObjects(&evStatQFamily, r)) {
                    StatQRecord q;
                    std::memcpy(&q, o.data(), sizeof q);
                    auto &sum = sums[stt::text(q.queueName)];
                    sum.first += q.putsNP;
                    sum.second += q.records;
                }
            }
        };
        add(evStreamCurrentBlob(s), s->header->used - SH_BLOB);
        for (StreamBlob *b = s->blobs; b; b = b->next) add(evStreamBlobHeader(b), b->area->used);
        return sums;
    }

    size_t aggrOnQueue() {
        size_t n = 0;
        MQLONG cc = 0, rc = 0;
        std::vector<char> buffer(4194304);
        for (MQLONG options = MQGMO_BROWSE_FIRST;; options = MQGMO_BROWSE_NEXT) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = options | MQGMO_ACCEPT_TRUNCATED_MSG;
            MQLONG length = 0;
            raw_.MQGET(hconn_, hobj_, &md, &gmo, 0, buffer.data(), &length, &cc, &rc);
            if (cc == MQCC_FAILED) break;
            n += md.CorrelId[0] == AGGR_CORREL_KIND;
        }
        return n;
    }

    std::optional<qmt::QmServer> qm_;
    MQIFunctionTable raw_{};
    std::unique_ptr<zt::MqiWrapper> wrap_;
    MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj_ = MQHO_UNUSABLE_HOBJ;
};

}  // namespace agt
