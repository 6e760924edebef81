// Shared fixture of the engine's tests on a private stand-in queue manager "QM1": the connect and
// initialisation of the real sequences over its library, seen through the MQI wrapper, and a test
// connection of its own to seed queues and look at them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "engine/engine.h"
#include "engine_testing.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"
#include "testing/mqi_wrap.h"

namespace eqm {

inline constexpr const char *kQmgrEvents = "SYSTEM.ADMIN.QMGR.EVENT";
inline constexpr const char *kPerfmEvents = "SYSTEM.ADMIN.PERFM.EVENT";

class EngineQmTest : public et::EngineTest {
protected:
    void SetUp() override {
        et::EngineTest::SetUp();
        ASSERT_TRUE(qm.ok());
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &evMQServerTable), 0);
        raw = evMQServerTable;
        wrap = std::make_unique<zt::MqiWrapper>(raw);
        evMQServerTable = *wrap->table();
        cfgInstall();
        evInstallIntake();
        evSettingsDefaults(evClockNow());
        snprintf(evStart.event.name, sizeof evStart.event.name, "QM1");
        snprintf(evStart.state.name, sizeof evStart.state.name, "QM1");
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)\n"
                          "DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304)\n"),
                  0);
        own = connectTo("QM1");
        // The queue manager's start event: tests count the events they raise themselves.
        emptyQueue(kQmgrEvents);
    }
    void TearDown() override {
        disconnect();
        MQLONG cc = 0, rc = 0;
        if (own != MQHC_UNUSABLE_HCONN) raw.MQDISC(&own, &cc, &rc);
        evDebug.forcedBackouts.store(0);
        evDebug.eventRepeat.store(0);
        et::EngineTest::TearDown();
        evMQServerTable = raw;
        wrap.reset();
    }

    int connect() { return evConnectSets() && evInitialiseConnection(); }
    void disconnect() {
        evDisconnectSets();
        evFreeAll(1);
    }

    // The connection of the test itself, again after its queue manager was restarted.
    void reconnectOwn() {
        MQLONG cc = 0, rc = 0;
        raw.MQDISC(&own, &cc, &rc);
        own = connectTo("QM1");
    }
    static bool engineDisconnected() {
        for (auto &handle : evConnHandles)
            if (handle.load() != -1) return false;
        return evRunState.disconnecting.load() == 0;
    }
    // Once the queue manager has ended (stopped or killed) and the engine has let go of it: started
    // again, and the test's and the engine's connections made anew.
    void restartAndReconnect() {
        ASSERT_TRUE(et::waitFor(engineDisconnected));
        ASSERT_TRUE(qm.start());
        reconnectOwn();
        disconnect();
        ASSERT_EQ(connect(), 1) << logText();
    }

    MQHCONN connectTo(const char *name) {
        MQCHAR48 qmgr;
        qmt::setText(qmgr, 48, name);
        MQHCONN hconn = MQHC_UNUSABLE_HCONN;
        MQLONG cc = 0, rc = 0;
        MQCNO cno = MQCNO_DEFAULT;
        cno.Options = MQCNO_HANDLE_SHARE_BLOCK;  // a thread may hold several
        raw.MQCONNX(qmgr, &cno, &hconn, &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE) << name;
        return hconn;
    }
    MQHOBJ openQueue(const char *name, MQLONG options, MQLONG *reason = nullptr, MQHCONN hconn = 0) {
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, name);
        MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
        MQLONG cc = 0, rc = 0;
        raw.MQOPEN(hconn ? hconn : own, &od, options, &hobj, &cc, &rc);
        if (reason != nullptr) *reason = rc;
        return hobj;
    }
    void closeQueue(MQHOBJ *hobj, MQHCONN hconn = 0) {
        MQLONG cc = 0, rc = 0;
        raw.MQCLOSE(hconn ? hconn : own, hobj, MQCO_NONE, &cc, &rc);
    }
    // Every message of the queue got and dropped.
    void emptyQueue(const char *queue) {
        MQHOBJ hobj = openQueue(queue, MQOO_INPUT_SHARED);
        for (MQLONG cc = MQCC_OK; cc != MQCC_FAILED;) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
            char byte = 0;
            MQLONG length = 0, rc = 0;
            raw.MQGET(own, hobj, &md, &gmo, 1, &byte, &length, &cc, &rc);
        }
        closeQueue(&hobj);
    }
    // A message put outside any unit with that descriptor, through the connection (the test's own by
    // default).
    void putMessage(const char *queue, MQMD md, const std::string &data, MQHCONN hconn = 0) {
        if (hconn == 0) hconn = own;
        MQHOBJ hobj = openQueue(queue, MQOO_OUTPUT, nullptr, hconn);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw.MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()),
                  &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
        closeQueue(&hobj, hconn);
    }
    // A persistent message of that Format put outside any unit.
    void putMessage(const char *queue, const char *format, const std::string &data, MQHCONN hconn = 0) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        md.Persistence = MQPER_PERSISTENT;
        putMessage(queue, md, data, hconn);
    }

    // The first message on the queue, taken with the get options (under sync point or not); empty when
    // none came.
    std::string takeFirst(const char *queue, MQLONG options) {
        MQHOBJ hobj = openQueue(queue, MQOO_INPUT_SHARED);
        std::string data(65536, '\0');
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = options;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, hobj, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE) << queue;
        data.resize(cc == MQCC_FAILED ? 0 : static_cast<size_t>(length));
        closeQueue(&hobj);
        return data;
    }

    // One real 2085 event, taken off its queue: the template of the events put later.
    void takeTemplate() {
        raiseEvents(1);
        templ = takeFirst(kQmgrEvents, MQGMO_NO_SYNCPOINT);
        ASSERT_FALSE(templ.empty());
        nameAt = templ.find("NO.SUCH.QUEUE.0");
        ASSERT_NE(nameAt, std::string::npos);
    }
    // The event about the object name (15 characters, as the template's): the template naming it.
    std::string eventFor(const std::string &name) const {
        EXPECT_EQ(name.size(), 15u);
        std::string event = templ;
        event.replace(nameAt, 15, name);
        return event;
    }
    // The next event, through the connection (the test's own by default), naming a queue of its own
    // so that no two events match as a storm; its name.
    std::string putEvent(MQHCONN hconn = 0) {
        char name[16];
        std::snprintf(name, sizeof name, "K.%013d", ++put);
        putMessage(kQmgrEvents, MQFMT_EVENT, eventFor(name), hconn);
        return name;
    }
    // A command put on the system's command queue outside any unit, its replies asked on REPLY.Q
    // (which the test defines).
    void sendCommand(const char *format, const std::string &data,
                     MQLONG persistence = MQPER_PERSISTENCE_AS_Q_DEF) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        qmt::setText(md.ReplyToQ, 48, "REPLY.Q");
        md.Persistence = persistence;
        putMessage(EV_COMMAND_QUEUE_NAME, md, data);
    }
    // The next reply on REPLY.Q, waiting up to waitMs, its MQMD in *md; none when none came.
    std::optional<std::string> nextReply(MQLONG waitMs, MQMD *md = nullptr) {
        MQHOBJ hobj = openQueue("REPLY.Q", MQOO_INPUT_SHARED);
        std::string data(65536, '\0');
        MQMD got = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
        gmo.WaitInterval = waitMs;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, hobj, &got, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        closeQueue(&hobj);
        if (md != nullptr) *md = got;
        if (cc == MQCC_FAILED) return std::nullopt;
        return data.substr(0, static_cast<size_t>(length));
    }
    std::string replyText(MQLONG waitMs = 5000) { return nextReply(waitMs).value_or(""); }
    // The first n messages of the queue got under sync point and backed out: each one's BackoutCount
    // rises by one.
    void backOutFirst(const char *queue, int n) {
        MQHOBJ hobj = openQueue(queue, MQOO_INPUT_SHARED);
        for (int i = 0; i < n; i++) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
            char buffer[1];
            MQLONG length = 0, cc = 0, rc = 0;
            raw.MQGET(own, hobj, &md, &gmo, 0, buffer, &length, &cc, &rc);
            EXPECT_EQ(cc, MQCC_WARNING);
        }
        MQLONG cc = 0, rc = 0;
        raw.MQBACK(own, &cc, &rc);
        closeQueue(&hobj);
    }
    // Local events: each open of a missing queue raises one 2085 event on SYSTEM.ADMIN.QMGR.EVENT (the
    // MQSC tool's own work may raise more). The queue's depth once it stays the same for 200 ms.
    MQLONG raiseEvents(int count) {
        EXPECT_EQ(qm.mqsc("ALTER QMGR LOCALEV(ENABLED)\n"), 0);
        for (int i = 0; i < count; i++) {
            MQLONG reason = 0;
            std::string name = "NO.SUCH.QUEUE." + std::to_string(i);
            openQueue(name.c_str(), MQOO_OUTPUT, &reason);
            EXPECT_EQ(reason, MQRC_UNKNOWN_OBJECT_NAME);
        }
        EXPECT_EQ(qm.mqsc("ALTER QMGR LOCALEV(DISABLED)\n"), 0);
        MQLONG now = depth(kQmgrEvents);
        for (MQLONG before = -1; now != before;) {
            before = now;
            usleep(200000);
            now = depth(kQmgrEvents);
        }
        return now;
    }
    MQLONG depth(const char *queue, MQHCONN hconn = 0) {
        MQHOBJ hobj = openQueue(queue, MQOO_INQUIRE, nullptr, hconn);
        MQLONG selector = MQIA_CURRENT_Q_DEPTH, value = -1, cc = 0, rc = 0;
        raw.MQINQ(hconn ? hconn : own, hobj, 1, &selector, 1, &value, 0, nullptr, &cc, &rc);
        closeQueue(&hobj, hconn);
        return value;
    }
    // Nothing left on the queue: none there and none got in a unit still open, which the depth leaves
    // out (and a backout brings back). What a wait for "taken in and committed" waits for.
    static bool taken(const char *queue) { return qmt::queueTaken("QM1", queue); }
    // The committed messages of a queue, browsed: their MQMDs and data.
    struct Browsed {
        MQMD md;
        std::string data;
    };
    // The queue browsed (only the messages whose CorrelId is the key's, when key is 0 to 255).
    std::vector<Browsed> browse(const char *queue, int key = -1) {
        std::vector<Browsed> out;
        MQHOBJ hobj = openQueue(queue, MQOO_BROWSE);
        for (MQLONG options = MQGMO_BROWSE_FIRST;; options = MQGMO_BROWSE_NEXT) {
            Browsed b{MQMD_DEFAULT, std::string(65536, '\0')};
            if (key >= 0) b.md.CorrelId[0] = static_cast<MQBYTE>(key);
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = options | MQGMO_NO_SYNCPOINT;
            MQLONG length = 0, cc = 0, rc = 0;
            raw.MQGET(own, hobj, &b.md, &gmo, static_cast<MQLONG>(b.data.size()), b.data.data(), &length, &cc,
                      &rc);
            if (cc == MQCC_FAILED) break;
            b.data.resize(static_cast<size_t>(length));
            out.push_back(b);
        }
        closeQueue(&hobj);
        return out;
    }
    // The browsed message got off the queue (by its MsgId and CorrelId), outside any unit.
    void takeOff(const char *queue, const Browsed &message) {
        MQHOBJ hobj = openQueue(queue, MQOO_INPUT_SHARED);
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.MsgId, message.md.MsgId, sizeof md.MsgId);
        std::memcpy(md.CorrelId, message.md.CorrelId, sizeof md.CorrelId);
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
        char byte = 0;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, hobj, &md, &gmo, 1, &byte, &length, &cc, &rc);
        EXPECT_NE(cc, MQCC_FAILED) << rc;
        closeQueue(&hobj);
    }
    static EventQueueDef *findQueue(const char *name) {
        EventQueueDef probe{};
        std::snprintf(probe.name, sizeof probe.name, "%s", name);
        return reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, probe.name, EV_QUEUE_NAME_MAX));
    }
    // RESUME EVQ of each queue as the command server runs it (both sets held, under the consumer lock),
    // and set C's sync point that saves the configuration.
    void resumeByCommand(std::initializer_list<const char *> names) {
        QmgrContext *context = &evContext;
        int32_t heldC = evSuspendConsumer(context, evSet(EV_SET_C));
        int32_t heldE = evSuspendConsumer(context, evSet(EV_SET_E));
        {
            CSRecursiveGuard lock(gConsumerLock);
            for (const char *name : names) {
                EventQueueDef *queue = findQueue(name);
                ASSERT_NE(queue, nullptr) << name;
                char message[EV_CONN_MESSAGE_MAX] = "";
                evResumeQueue(context, queue, 1, message);
            }
            EXPECT_TRUE(evSyncPoint(context, evSet(EV_SET_C)));
        }
        if (heldE == EV_SUSPEND_HELD) evResumeConsumer(context, evSet(EV_SET_E));
        if (heldC == EV_SUSPEND_HELD) evResumeConsumer(context, evSet(EV_SET_C));
    }
    // Each stream of the queue manager as a reload finds them, visited under the consumer lock.
    template <typename Visit>
    static void forEachStream(Visit visit, const char *qmgrName = "QM1") {
        CSRecursiveGuard lock(gConsumerLock);
        char key[EV_QUEUE_NAME_MAX + 1] = {};
        std::snprintf(key, sizeof key, "%s", qmgrName);
        auto *qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, key, sizeof key));
        for (Stream *stream = qmgr ? qmgr->streams : nullptr; stream; stream = stream->next) visit(stream);
    }
    // Each stored record of the stream (its current blob's and its older blobs') that holds a whole
    // PCF header.
    template <typename Visit>
    static void forEachRecord(Stream *stream, Visit visit) {
        auto take = [&visit](const uint8_t *bh, uint32_t extent) {
            BlobWalk walk;
            evBlobWalkInit(&walk, bh, extent, 0);
            BlobEntry entry;
            while (evBlobWalkNext(&walk, &entry) > 0)
                if (entry.dataLength >= EVCF_HEADER_LENGTH) visit(entry);
        };
        take(evStreamCurrentBlob(stream), stream->header->used - SH_BLOB);
        for (StreamBlob *blob = stream->blobs; blob; blob = blob->next)
            take(evStreamBlobHeader(blob), blob->area->used);
    }
    // The records stored for the queue manager, as a reload would find them.
    static uint64_t storedRecords(const char *qmgrName = "QM1") {
        uint64_t records = 0;
        forEachStream([&records](Stream *stream) { records += stream->recordCount; }, qmgrName);
        return records;
    }

    std::string templ;  // the event template (takeTemplate), its object name at nameAt
    size_t nameAt = 0;
    std::atomic<int> put{0};  // the events putEvent has put
    qmt::QmServer qm{"QM1"};
    MQIFunctionTable raw{};
    std::unique_ptr<zt::MqiWrapper> wrap;
    MQHCONN own = MQHC_UNUSABLE_HCONN;
};

}  // namespace eqm
