// Shared pieces of the emitter tests: a fresh string pool, one emitter behind one stream, records
// built with the record writer, a queue that keeps what is put to it, and a small statistics family
// (a queue name, a depth and a time per object) with its parser and field table.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "emit/emit.h"
#include "emit/internal.h"
#include "testing/testing.h"
#include "tests/config/config_testing.h"
#include "tests/streams/cf_record.h"

namespace et {

constexpr int64_t kTime = 1740873600;  // 2025-03-02 00:00:00 UTC

using cfr::intern;

// A record of an event time.
class Record : public cfr::Record<Record> {
public:
    Record(uint16_t command, int64_t time, uint16_t flags = 0)
        : cfr::Record<Record>(1 << 22, command, flags) {
        evCFSetEventTime(buffer_.data(), time);
    }
    Record &integer(int32_t id, int32_t value) {
        evCFItem it{};
        it.type = MQCFT_INTEGER;
        it.parmId = id;
        it.value = value;
        return write(it);
    }
    Record &wide(int32_t id, int64_t value) {
        evCFItem it{};
        it.type = MQCFT_INTEGER64;
        it.parmId = id;
        it.value = value;
        return write(it);
    }
    Record &text(int32_t id, const std::string &value) {
        evCFItem it{};
        it.type = EVCF_STRING_ID;
        it.parmId = id;
        it.value = intern(value);
        return write(it);
    }
    Record &stringId(int32_t id, uint32_t stringId) {
        evCFItem it{};
        it.type = EVCF_STRING_ID;
        it.parmId = id;
        it.value = stringId;
        return write(it);
    }
    Record &list(int32_t id, const std::vector<int32_t> &values) {
        std::vector<uint8_t> le(values.size() * 4);
        for (size_t i = 0; i < values.size(); i++) mqiPutI32(le.data(), i * 4, values[i]);
        evCFItem it{};
        it.type = MQCFT_INTEGER_LIST;
        it.parmId = id;
        it.count = static_cast<int32_t>(values.size());
        it.length = static_cast<int32_t>(le.size());
        it.data = le.data();
        return write(it);
    }
    Record &time(int32_t id, int32_t timeId, int64_t value) {
        evCFItem it{};
        it.type = EVCF_DATE_TIME;
        it.parmId = id;
        it.secondId = timeId;
        it.value = value;
        return write(it);
    }
};

// The statistics family of the tests: each object a group 8011 of a queue name (2016), a depth (3)
// and a time (39398, seconds), as the field table below reads it.
struct TestObject {
    const StringEntry *name;
    uint32_t depth;
    int64_t time;
};
inline int testParse(int, evCFCursor *cursor, void *work) {
    auto *object = static_cast<TestObject *>(work);
    *object = TestObject{};
    bool inside = false;
    for (;;) {
        evCFItem item;
        int32_t cc = 0, rc = 0;
        evCFNextParm(cursor, &item, &cc, &rc);
        if (cc != 0) return 0;
        if (item.type == MQCFT_GROUP) {
            inside = true;
            continue;
        }
        if (item.type == PCF_TYPE_GROUP_END) {
            if (inside) return 1;
            continue;
        }
        if (item.parmId == 2016) object->name = evStringLookup(static_cast<uint32_t>(item.value));
        if (item.parmId == 3) object->depth = static_cast<uint32_t>(item.value);
        if (item.parmId == 39398) object->time = item.value;
    }
}

inline evParmDef testRow(const char *type, const char *keyword, uint32_t id, int32_t offset,
                         uint32_t dataType) {
    evParmDef r{};
    r.applicability = " d ";
    r.flags = "a   ";
    r.type = type;
    r.keyword = keyword;
    r.parmId = id;
    r.recordOffset = offset;
    r.dataType = dataType;
    return r;
}
inline evParmDef testStatqParms[] = {
    testRow("R", "QUEUE", 2016, offsetof(TestObject, name), 89),
    testRow("R", "EVQMGR", 39340, -2, 0),
    testRow("i", "CURDEPTH", 3, offsetof(TestObject, depth), 2),
    testRow("t", "INTVLSTA", 39398, offsetof(TestObject, time), 25),
    testRow("i", "RECORDS", 39409, -2, 0),
    testRow("a", "ALL", 1009, -1, 0),
    evParmDef{},
};

// A STATQ record of n queues named Q1, Q2, ... (each name padded with '#' to nameLength).
inline std::vector<uint8_t> statqRecord(int queues, int32_t depth, size_t nameLength = 2,
                                        uint16_t flags = 0) {
    Record r(165, kTime, flags);
    for (int i = 1; i <= queues; i++) {
        char text[256];
        int n = std::snprintf(text, sizeof text, "Q%d", i);
        while (static_cast<size_t>(n) < nameLength && n < 255) text[n++] = '#';
        text[n] = 0;
        std::string name(text);
        r.group(8011).text(2016, name).integer(3, depth).wide(39398, depth == 0 ? 0 : kTime).end();
    }
    return r.bytes();
}

// What a queue received: each MQPUT's MQMD, options and bytes; MQOPEN fails with openReason unless 0.
struct QueueLog {
    struct Put {
        MQMD md;
        MQLONG options;
        std::string data;
    };
    std::vector<Put> puts;
    std::vector<std::string> opened;
    int closes = 0;
    MQLONG openReason = 0;
};
inline QueueLog *queueLog = nullptr;

// An open to inquire (the queue's usage) is not one the log counts: its handle is 8.
constexpr MQHOBJ kInquiryHandle = 8;
inline void fakeOpen(MQHCONN, PMQVOID od, MQLONG options, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    const auto *desc = static_cast<const MQOD *>(od);
    if ((options & MQOO_INQUIRE) != 0) {
        *hobj = kInquiryHandle;
        *cc = MQCC_OK;
        *rc = 0;
        return;
    }
    queueLog->opened.emplace_back(desc->ObjectName, strnlen(desc->ObjectName, 48));
    *cc = queueLog->openReason != 0 ? MQCC_FAILED : MQCC_OK;
    *rc = queueLog->openReason;
    *hobj = queueLog->openReason != 0 ? -1 : 7;
}
inline void fakePut(MQHCONN, MQHOBJ, PMQVOID md, PMQVOID pmo, MQLONG length, PMQVOID buffer, PMQLONG cc,
                    PMQLONG rc) {
    QueueLog::Put put{};
    std::memcpy(&put.md, md, sizeof(MQMD));
    put.options = static_cast<const MQPMO *>(pmo)->Options;
    put.data.assign(static_cast<const char *>(buffer), static_cast<size_t>(length));
    queueLog->puts.push_back(put);
    *cc = MQCC_OK;
    *rc = 0;
}
inline void fakeClose(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    if (*hobj != kInquiryHandle) queueLog->closes++;
    *hobj = -1;
    *cc = MQCC_OK;
    *rc = 0;
}
// Every queue is a local queue of normal usage.
inline void fakeInq(MQHCONN, MQHOBJ, MQLONG count, PMQLONG selectors, MQLONG intCount, PMQLONG ints, MQLONG,
                    PMQCHAR, PMQLONG cc, PMQLONG rc) {
    for (MQLONG i = 0; i < count && i < intCount; i++) ints[i] = selectors[i] == MQIA_USAGE ? MQUS_NORMAL : 0;
    *cc = MQCC_OK;
    *rc = 0;
}
inline const MQIFunctionTable *queueTable() {
    static MQIFunctionTable table = [] {
        MQIFunctionTable t{};
        t.MQOPEN = fakeOpen;
        t.MQPUT = fakePut;
        t.MQCLOSE = fakeClose;
        t.MQINQ = fakeInq;
        return t;
    }();
    return &table;
}

// One emitter (FORMAT JSON) behind one stream of events and one of queue statistics, a queue
// manager and a fresh pool; set E's STATE connection points at the test queue table.
class EmitTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Emits the record through the stream of its type; the result of emitRecord.
    int emit(std::vector<uint8_t> record, uint32_t subRecordStart = 0);
    // Closes the emitter's outputs as the disconnect does.
    void closeOutputs();
    // Sets the FILE pattern (the emitter becomes single-record when it numbers its files).
    void useFile(const std::string &pattern);
    void useQueue(const std::string &queue);
    std::string readFile(const std::string &name) const { return dir.read(name); }

    zt::TempDir dir;
    zt::ScopedTZ tz{"UTC"};
    zt::TestClock clock{kTime + 60};
    EmitterDef *emitter = nullptr;
    StreamDef *eventsDef = nullptr;
    StreamDef *statqDef = nullptr;
    Stream eventsStream{};
    Stream statqStream{};
    QmgrEntry qmgr{};
    QueueLog log;
    uint8_t uniqueId[24] = {};
};

// A configuration change of a queue: BEFORE and AFTER groups, a list among the items, and an
// attribute no table knows among the record's own items (the rows after it keep their group).
inline std::vector<uint8_t> changeEvent(int64_t time, const std::string &descr) {
    Record r(44, time, EVCF_FLAG_EVENT);
    evCFSetReason(r.data(), 2368);
    evCFSetObjectName(r.data(), intern("APP.Q"));
    evCFSetObjectType(r.data(), 1);
    evCFSetUserId(r.data(), intern("mqm"));
    r.text(3047, "QM1")
        .integer(9999, 7)
        .integer(1021, 8)
        .group(39200)
        .text(2016, "APP.Q")
        .text(2013, "old")
        .integer(3, 0)
        .end();
    r.group(39201).text(2013, descr).list(1042, {1, 2, 3}).end();
    return r.bytes();
}

inline void EmitTest::SetUp() {
    InitialiseCommandFields();
    ASSERT_EQ(evRegisterParmTable(9023, testStatqParms), 1);
    emitRecordParsers[1] = EmitRecordParser{testParse, sizeof(TestObject)};
    evAlertFreeAll();
    evStreamDefFreeAll();
    evStringsFree(1);
    ASSERT_EQ(evStringsInit(0), 1);
    ASSERT_NE(evStringsCreateStream(), nullptr);
    emitter = evCreateEmitterDef("E1", -1);
    ASSERT_NE(emitter, nullptr);
    eventsDef = evStreamDefine("EV1", -1, STREAM_TYPE_EVENTS, 0, 0);
    statqDef = evStreamDefine("SQ1", -1, STREAM_TYPE_STATQ, 0, 0);
    ASSERT_TRUE(eventsDef && statqDef);
    std::snprintf(eventsDef->evEmit, sizeof eventsDef->evEmit, "E1");
    std::snprintf(statqDef->evEmit, sizeof statqDef->evEmit, "E1");
    eventsStream.definition = eventsDef;
    statqStream.definition = statqDef;
    std::snprintf(qmgr.name, sizeof qmgr.name, "QM1");
    eventsStream.qmgr = statqStream.qmgr = &qmgr;
    useFile(dir.file("ev.json"));
    queueLog = &log;
    ConnectionSet *set = evSet(EV_SET_E);
    set->io.mq = queueTable();
    evConnHandles[set->stateSlot].store(5);
    for (size_t i = 0; i < sizeof uniqueId; i++) uniqueId[i] = static_cast<uint8_t>(0xA0 + i);
}

inline void EmitTest::TearDown() {
    closeOutputs();
    // The unit a test left open ends here, so that no file or count of it reaches the next test when
    // the tests share one process (as under wine).
    emitUnitEnded(EV_SET_E, 1);
    ConnectionSet *set = evSet(EV_SET_E);
    evConnHandles[set->stateSlot].store(-1);
    set->io.mq = nullptr;
    queueLog = nullptr;
    ct::freeEmitters();
    evAlertFreeAll();
    evStreamDefFreeAll();
    evStringsFree(1);
}

inline int EmitTest::emit(std::vector<uint8_t> record, uint32_t subRecordStart) {
    EmitContext c{};
    c.set = evSet(EV_SET_E);
    c.qmgr = &qmgr;
    c.stream = evCFGetCommand(record.data()) >= 164 && evCFGetCommand(record.data()) <= 168 ? &statqStream
                                                                                            : &eventsStream;
    c.subRecord = subRecordStart;
    std::memcpy(c.uniqueId, uniqueId, sizeof uniqueId);
    return emitRecord(&c, record.data(), static_cast<uint32_t>(record.size()));
}

inline void EmitTest::closeOutputs() {
    emitCloseOutputs(nullptr, evSet(EV_SET_E));
}

inline void EmitTest::useFile(const std::string &pattern) {
    std::snprintf(emitter->file, sizeof emitter->file, "%s", pattern.c_str());
    emitter->queue[0] = 0;
    emitter->singleRecord =
        pattern.find("%i") != std::string::npos || pattern.find("%I") != std::string::npos;
}

inline void EmitTest::useQueue(const std::string &queue) {
    std::snprintf(emitter->queue, sizeof emitter->queue, "%s", queue.c_str());
    emitter->file[0] = 0;
    emitter->singleRecord = 1;
}

// The one $EMIT alert of the emitter's missing queue NO.SUCH.Q, however often it failed.
inline void expectOneMissingQueueAlert() {
    int alerts = 0;
    for (AlertDef *a = evAlertList; a != nullptr; a = a->next) {
        if (std::strcmp(a->category, "$EMIT") != 0) continue;
        alerts++;
        EXPECT_EQ(a->severity, 30);
        EXPECT_EQ(a->retention, 7776000u);
        EXPECT_EQ(std::string(a->text).rfind("MQOPEN on queue 'NO.SUCH.Q' failed RC(2085) ", 0), 0u)
            << a->text;
    }
    EXPECT_EQ(alerts, 1);
}

}  // namespace et
