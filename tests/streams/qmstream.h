// Streams stored on a private stand-in queue manager: the fixture binds its libmqm at run time through
// the MQI wrapper, opens the data queue, fills an EvStreamIo as a connection set would, and plays the
// configuration's part in the hooks (one queue manager "QM1" with its list of streams). Tests drive
// the sync point themselves: syncPoint() hardens and commits, backOut() backs out, reload() drops
// memory and loads everything back as a reconnect does.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "miniqm/qm_fixture.h"
#include "streams/blobtest.h"
#include "testing/built_paths.h"
#include "testing/mqi_wrap.h"

namespace st {

inline constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";

class DataQueueTest : public StreamTest {
protected:
    // The queue manager's connections, the command server's included; -1 when it does not answer.
    static int connectionCount() { return qmt::connectionCount("QM1"); }
    [[nodiscard]] static bool waitForConnections(int before) {
        return qmt::waitForConnections("QM1", before);
    }
    // After a writer's kill: the queue manager killed and started again too, the fixture connected
    // anew; or else the killed writer's connections (its pid) gone, and their units with them.
    void afterKill(bool queueManagerToo, long long pid) {
        if (!queueManagerToo) {
            ASSERT_TRUE(qmt::waitForConnectionsGone("QM1", pid));
            return;
        }
        qm_->kill9();
        ASSERT_TRUE(qm_->start());
        ASSERT_TRUE(connect());
    }
    // Without a server of its own the fixture uses the queue manager "QM1" under the inherited
    // MINIQM_ROOT (a process started by a test that has one).
    explicit DataQueueTest(bool ownServer = true) {
        if (ownServer) qm_.emplace("QM1");
    }

    void SetUp() override {
        StreamTest::SetUp();
        evStreamLoadedCount = 0;
        ASSERT_TRUE(!qm_ || qm_->ok());
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &raw_), 0);
        if (qm_) {
            std::string define =
                std::string("DEFINE QLOCAL(") + kDataQueue + ") MAXDEPTH(100000) MAXMSGL(4194304)\n";
            ASSERT_EQ(qm_->mqsc(define), 0);
        }
        wrap_ = std::make_unique<zt::MqiWrapper>(raw_);
        ASSERT_TRUE(connect());
        installHooks(&qmgr_);
        ASSERT_NE(evStringsCreateStream(), nullptr);
        ASSERT_EQ(evStringsInit(0), 1);
    }

    // A connection with the data queue open, in io_; an earlier one (broken by a restart of the queue
    // manager) is backed out and ended first.
    bool connect() {
        const MQIFunctionTable *t = wrap_->table();
        MQLONG cc = 0, rc = 0;
        if (hconn_ != MQHC_UNUSABLE_HCONN) {
            raw_.MQBACK(hconn_, &cc, &rc);
            raw_.MQDISC(&hconn_, &cc, &rc);
        }
        MQCHAR48 name;
        qmt::setText(name, 48, "QM1");
        hconn_ = MQHC_UNUSABLE_HCONN;
        t->MQCONN(name, &hconn_, &cc, &rc);
        if (cc != MQCC_OK) {
            ADD_FAILURE() << "MQCONN " << rc;
            return false;
        }
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, kDataQueue);
        t->MQOPEN(hconn_, &od, MQOO_INPUT_SHARED | MQOO_OUTPUT | MQOO_BROWSE | MQOO_INQUIRE, &hobj_, &cc,
                  &rc);
        io_ = EvStreamIo{t, hconn_, hobj_, 0, 100, io_.unit + 1};
        return cc == MQCC_OK;
    }

    void TearDown() override {
        if (hconn_ != MQHC_UNUSABLE_HCONN) {
            MQLONG cc = 0, rc = 0;
            raw_.MQBACK(hconn_, &cc, &rc);  // a disconnect would commit what a test left open
            raw_.MQDISC(&hconn_, &cc, &rc);
        }
        freeQmgrStreams();
        StreamTest::TearDown();
        wrap_.reset();
    }

    void freeQmgrStreams() { freeStreams(&qmgr_); }

    QmgrEntry *qmgr() { return reinterpret_cast<QmgrEntry *>(&qmgr_); }

    // The stream of a (new or existing) definition, on QM1.
    Stream *stream(const char *name, uint32_t retention = 0) {
        StreamDef *def = evStreamDefine(name, -1, STREAM_TYPE_EVENTS, 0, 0);
        if (retention) def->retIntvl = retention;
        for (Stream *s = qmgr_.streams; s; s = s->next)
            if (s->definition == def) return s;
        return evStreamCreate(qmgr(), def);
    }
    Stream *find(const char *name) {
        for (Stream *s = qmgr_.streams; s; s = s->next)
            if (std::strcmp(s->definition->name, name) == 0) return s;
        return nullptr;
    }

    // Appends records numbered first..last with time t.
    void append(Stream *s, int32_t first, int32_t last, int64_t t, uint32_t size = 48) {
        for (int32_t n = first; n <= last; n++) {
            std::vector<uint8_t> r = numbered(n, t, size);
            ASSERT_NE(evStreamAdd(qmgr(), s, r.data(), static_cast<uint32_t>(r.size()), t, nullptr), nullptr);
        }
    }

    int syncPoint(bool stringsOnly = false) {
        EvHardenBlock block{&io_, stringsOnly ? 1 : 0, 0, 0};
        if (!evHardenAllStreams(&block)) return 0;
        due_ = block;
        return evStreamCommit(&io_);
    }
    void backOut() {
        MQLONG cc = 0, rc = 0;
        raw_.MQBACK(hconn_, &cc, &rc);
        evStreamUowBackedOut(&io_);
    }

    // Memory dropped and loaded again, as at a reconnect. 1 when every load succeeded.
    int reload() {
        std::vector<StreamDef *> defs;
        for (Stream *s = qmgr_.streams; s; s = s->next) defs.push_back(s->definition);
        freeQmgrStreams();
        evStringsFree(1);
        int ok = evStreamLoad(&io_, evStringsCreateStream());
        for (StreamDef *def : defs) ok &= evStreamLoad(&io_, evStreamCreate(qmgr(), def));
        // As the program's load ends: the blob index a rebuild browsed is dropped with it.
        return ok & evStreamReportOrphans(&io_);
    }

    // Every message of the data queue, browsed in order.
    std::vector<Stored> contents() {
        std::vector<Stored> out;
        for (const zt::QueueMessage &m : zt::queueMessages(&raw_, hconn_, kDataQueue, true, 4194304))
            out.push_back(Stored{std::string(reinterpret_cast<const char *>(m.md.CorrelId), 24), m.md,
                                 std::string(m.data.begin(), m.data.end())});
        return out;
    }
    std::map<std::string, int> copies() {
        std::map<std::string, int> n;
        for (const Stored &m : contents()) n[m.correlId]++;
        return n;
    }
    // A message put (or removed, data null) by hand, outside any unit.
    void rawPut(const std::string &correlId, const std::string &data) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.CorrelId, correlId.data(), 24);
        md.Persistence = MQPER_PERSISTENT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw_.MQPUT(hconn_, hobj_, &md, &pmo, static_cast<MQLONG>(data.size()),
                   const_cast<char *>(data.data()), &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
    }
    void rawRemove(const std::string &correlId) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.CorrelId, correlId.data(), 24);
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
        MQLONG cc = 0, rc = 0, length = 0;
        char none = 0;
        raw_.MQGET(hconn_, hobj_, &md, &gmo, 0, &none, &length, &cc, &rc);
        ASSERT_NE(cc, MQCC_FAILED) << rc;
    }
    std::string id(const Stream *s, uint32_t kind, uint64_t number) {
        return blobId(s->definition ? qmgr_.number : 0, s->streamId, kind, number);
    }

    std::optional<qmt::QmServer> qm_;
    MQIFunctionTable raw_{};
    std::unique_ptr<zt::MqiWrapper> wrap_;
    MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj_ = MQHO_UNUSABLE_HOBJ;
    EvStreamIo io_{};
    FakeQmgr qmgr_;
    EvHardenBlock due_{};
};

}  // namespace st
