// Reading stored statistics and accounting records: every stored form of each family reads to the same
// objects, a record of only its header has none, strings and connection identifiers in each of their
// item forms, portions that keep their own command level, and the "<Not Present>" names of older
// queue managers in queue accounting.
#include "stats/stats_testing.h"

namespace {

using namespace stt;

// What one family's stored record holds: its key part and its objects (one, flat, for the MQI
// families); the key part's command level is 930.
struct Content {
    const StatsFamily *family;
    Items keys;
    std::vector<Items> objects;
};

const std::string kConnId = "CONNID-0123456789ABCDEF-";  // 24 bytes

std::vector<Content> contents() {
    return {
        {&evStatQFamily,
         {i32(31, 930)},
         {{str(2016, "APP.A"), i32(20, 1), i32(7, 1), i32(31003, 5), i32(31004, 3), i64(31011, 5000),
           i32(31014, 2), i64(31000, 40), i32(31037, 9), i32(39409, 2)},
          {str(2016, "APP.B"), i32(20, 3), i32(31019, 4), i64(31001, 7)}}},
        {&evStatChlFamily,
         {i32(31, 930)},
         {{str(3501, "CH.A"), str(2017, "QM2"), str(3506, "host(1414)"), i32(1511, 1), i32(31136, 10),
           i64(31137, 1000), i32(31138, 5), i32(31139, 7), i32(31146, 50)},
          {str(3501, "CH.B"), i32(31136, 1), i64(31142, 9)}}},
        {&evStatMQIFamily,
         {i32(31, 930)},
         {{i32(31107, 4), i32(31014, 2), i32(31015, 3), i64(31011, 100), i32(31131, 6), i32(39409, 2)}}},
        {&evAcctMQIFamily,
         {str(3024, "app"), str(3501, "CH1"), str(3025, "user1"), str(3506, "10.0.0.1"), str(3561, "MQJB"),
          str(3560, "09040000"), i32(1079, 0), i32(1024, 77), i32(1025, 8), i64(31040, kStart - 60),
          i32(31108, 60), i32(716, 1), bytes(7006, kConnId), i32(31, 930)},
         {{i32(31042, 3), i32(31014, 2), i32(31015, 3), i64(31011, 100), i32(39409, 2)}}},
        {&evAcctQFamily,
         {bytes(7006, kConnId), i32(1079, 3), str(3024, "app"), i32(1024, 77), i32(1025, 8),
          str(3025, "user1"), str(3501, "CH1"), str(3506, "10.0.0.1"), i32(31, 930)},
         {{str(2016, "APP.A"), i32(20, 1), i32(7, 1), i32(31151, 1), i64(31149, kStart + 5), i32(31003, 5),
           i32(31153, 10), i32(31154, 20), i64(31173, 300), i32(39409, 2)},
          {str(2016, "APP.B"), i32(31014, 4)}}},
    };
}

// The object's name first, then the rest.
Items nameFirst(const Items &object, int32_t objectId) {
    Items out;
    for (const Item &item : object)
        if (item.id == objectId) out.push_back(item);
    for (const Item &item : object)
        if (item.id != objectId) out.push_back(item);
    return out;
}

// An aggregation message: its common part (queue manager, stream, a level of its own), then each
// object as one portion group holding the object's name, the key part, its own level and the
// object's items, every item followed by pad bytes.
std::vector<uint8_t> aggregationMessage(const Content &c) {
    RecordBuilder b(c.family->command);
    b.add({str(STATS_ID_QMGR_NAME, "QM1"), i32(STATS_ID_STREAM, 0), i32(31, 900)});
    b.padEach(4);
    for (const Items &object : c.objects) {
        Items portion = nameFirst(object, c.family->objectId);
        b.group(c.family->groupId);
        b.add(portion.front());
        for (const Item &item : c.keys) b.add(item);
        b.add(Items(portion.begin() + 1, portion.end()));
        b.end();
    }
    return b.record();
}

// Objects without groups; or the first in its group and the next straight after its group end.
std::vector<uint8_t> ungrouped(const Content &c, bool firstGrouped) {
    RecordBuilder b(c.family->command);
    b.add(c.keys);
    for (size_t i = 0; i < c.objects.size(); i++) {
        if (firstGrouped && i == 0) b.group(c.family->groupId);
        b.add(c.objects[i]);
        if (firstGrouped && i == 0) b.end();
    }
    return b.record();
}

class StoredForms : public StatsTest {};

TEST_F(StoredForms, EveryFormOfEachFamilyReadsToTheSameObjects) {
    for (const Content &c : contents()) {
        SCOPED_TRACE(c.family->name);
        const auto &raw = kept(rawRecord(c.family, c.keys, c.objects));
        auto expected = readObjects(c.family, raw);
        ASSERT_EQ(expected.size(), c.objects.size());
        // The first object holds every integer item of its content.
        for (const Item &item : c.objects[0]) {
            if (item.kind != Item::Int && item.kind != Item::Int64) continue;
            const StatsField *f = evStatsFieldById(c.family, item.id);
            ASSERT_NE(f, nullptr) << item.id;
            int64_t v = 0;
            std::memcpy(&v, expected[0].data() + f->offset, f->width == STATS_W_U32 ? 4 : 8);
            EXPECT_EQ(f->width == STATS_W_U32 ? static_cast<int64_t>(static_cast<uint32_t>(v)) : v,
                      f->width == STATS_W_U32 ? static_cast<int64_t>(static_cast<uint32_t>(item.value))
                                              : item.value)
                << f->keyword;
        }

        struct Form {
            const char *name;
            std::vector<uint8_t> record;
        };
        std::vector<Form> forms = {
            {"absorbed", rawRecord(c.family, c.keys, c.objects, EVCF_FLAG_AGGREGATED)},
            {"aggregation message", aggregationMessage(c)},
        };
        if (c.family->objectId) {
            forms.push_back({"flat", ungrouped(c, false)});
            forms.push_back({"group end before a name", ungrouped(c, true)});
        }
        for (Form &form : forms) {
            SCOPED_TRACE(form.name);
            auto objects = readObjects(c.family, kept(std::move(form.record)));
            ASSERT_EQ(objects.size(), expected.size());
            for (size_t i = 0; i < objects.size(); i++)
                EXPECT_EQ(firstDifference(c.family, objects[i].data(), expected[i].data()), "")
                    << "object " << i;
        }
    }
}

TEST_F(StoredForms, ARecordOfOnlyItsHeaderHasNoObject) {
    for (const StatsEmitSlot &slot : evStatsEmitSlots) {
        SCOPED_TRACE(slot.family->name);
        EXPECT_TRUE(readObjects(slot.family, RecordBuilder(slot.family->command).record()).empty());
        EXPECT_TRUE(readObjects(slot.family, std::vector<uint8_t>(20, 0)).empty());
    }
}

TEST_F(StoredForms, AStringIdThePoolDoesNotHoldReadsNotPresent) {
    auto q = readOne<StatQRecord>(&evStatQFamily, {i32(31, 930)}, {stringId(2016, 9999), i32(31003, 1)});
    EXPECT_EQ(q.queueName, &evStringNotPresentEntry);
    auto a = readOne<AcctMQIRecord>(&evAcctMQIFamily, {stringId(3024, 9999), str(3025, "u")}, {});
    EXPECT_EQ(a.applName, &evStringNotPresentEntry);
    EXPECT_EQ(text(a.userId), "u");
}

TEST_F(StoredForms, TheConnectionIdReadsFromABytesItemTheMixedItemAndAPooledOne) {
    uint32_t pooled = intern("POOLED-CONNECTION-ID-024");
    struct Case {
        Item item;
        std::string expected;
    };
    const Case cases[] = {
        {bytes(7006, kConnId), kConnId},
        {mixed(7006), "*"},
        {pooledBytes(7006, pooled), "POOLED-CONNECTION-ID-024"},
        {pooledBytes(7006, 9999), "<Not Present>"},
    };
    for (const Case &c : cases) {
        auto m = readOne<AcctMQIRecord>(&evAcctMQIFamily, {str(3024, "app"), c.item}, {});
        EXPECT_EQ(connId(m.connId, m.connIdLength), c.expected);
        auto q = readOne<AcctQRecord>(&evAcctQFamily, {c.item, i32(31, 930)}, {str(2016, "Q")});
        EXPECT_EQ(connId(q.connId, q.connIdLength), c.expected);
    }
    auto m = readOne<AcctMQIRecord>(&evAcctMQIFamily, {str(3024, "app"), mixed(7006)}, {});
    EXPECT_EQ(m.connId, reinterpret_cast<const uint8_t *>(evStringMixedEntry.text));
}

TEST_F(StoredForms, EachPortionStartsFromTheKeyPartAndKeepsItsOwnLevel) {
    // Queue statistics: the second portion has no puts of the first, the third no level of its own.
    RecordBuilder q(165);
    q.add({i32(31, 900)})
        .group(STATS_GROUP_Q_STATS)
        .add({str(2016, "A"), i32(31, 930), i32(31003, 5)})
        .end()
        .group(STATS_GROUP_Q_STATS)
        .add({str(2016, "B"), i32(31, 940), i32(31014, 7)})
        .end()
        .group(STATS_GROUP_Q_STATS)
        .add({str(2016, "C"), i32(31015, 1)})
        .end();
    auto objects = readObjects(&evStatQFamily, q.record());
    ASSERT_EQ(objects.size(), 3u);
    StatQRecord r[3];
    for (int i = 0; i < 3; i++) std::memcpy(&r[i], objects[i].data(), sizeof r[i]);
    EXPECT_EQ(r[0].commandLevel, 930u);
    EXPECT_EQ(r[0].putsNP, 5u);
    EXPECT_EQ(r[1].commandLevel, 940u);
    EXPECT_EQ(r[1].putsNP, 0u);
    EXPECT_EQ(r[1].gets, 7u);
    EXPECT_EQ(r[2].commandLevel, 900u);
    EXPECT_EQ(r[2].gets, 1u);

    // MQI accounting: a portion without an application name does not take the previous portion's.
    RecordBuilder m(167);
    m.add({str(STATS_ID_QMGR_NAME, "QM1"), i32(31, 900)})
        .group(STATS_GROUP_MQI_ACCT)
        .add({str(3024, "a"), i32(31, 930), i32(31042, 3)})
        .end()
        .group(STATS_GROUP_MQI_ACCT)
        .add({i32(31, 940)})
        .end();
    auto portions = readObjects(&evAcctMQIFamily, m.record());
    ASSERT_EQ(portions.size(), 2u);
    AcctMQIRecord p[2];
    for (int i = 0; i < 2; i++) std::memcpy(&p[i], portions[i].data(), sizeof p[i]);
    EXPECT_EQ(text(p[0].applName), "a");
    EXPECT_EQ(p[0].commandLevel, 930u);
    EXPECT_EQ(p[0].openQueue, 3u);
    EXPECT_EQ(p[1].applName, nullptr);
    EXPECT_EQ(p[1].commandLevel, 940u);
    EXPECT_EQ(p[1].openQueue, 0u);
}

TEST_F(StoredForms, AQueueAccountingRecordBelowLevel930LacksTheNamesItsQueueManagerDidNotReport) {
    struct Case {
        int32_t level;
        const char *channel;
        const char *connection;
    };
    const Case cases[] = {
        {910, "<Not Present>", "<Not Present>"},
        {925, "CH1", "<Not Present>"},
        {930, "CH1", "10.0.0.1"},
    };
    for (const Case &c : cases) {
        auto r = readOne<AcctQRecord>(
            &evAcctQFamily, {str(3501, "CH1"), str(3506, "10.0.0.1"), i32(31, c.level)}, {str(2016, "Q")});
        EXPECT_EQ(text(r.channelName), c.channel) << c.level;
        EXPECT_EQ(text(r.connectionName), c.connection) << c.level;
    }
}

TEST_F(StoredForms, TheParseContextTakesTheQueueManagerNameAndTheStream) {
    StreamDef *def = evStreamDefine("AGG", -1, STREAM_TYPE_STATMQI, 0, 0);
    ASSERT_NE(def, nullptr);
    auto record = RecordBuilder(164)
                      .add({str(STATS_ID_QMGR_NAME, "QM1"),
                            i32(STATS_ID_STREAM, static_cast<int32_t>(def->streamId)), i32(31, 940)})
                      .record();
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record.data(), static_cast<uint32_t>(record.size()), 0, 0);
    StatsParseContext context{};
    StatMQIRecord r;
    ASSERT_EQ(evStatMQIParse(1, &cursor, &context, &r), 1);
    EXPECT_EQ(text(context.qmgrName), "QM1");
    EXPECT_EQ(context.streamDef, def);
    EXPECT_EQ(r.commandLevel, 940u);
    EXPECT_EQ(r.intervalStart, kStart);
    EXPECT_EQ(r.intervalEnd, kEnd);
    EXPECT_EQ(r.duration, 3600u);
    EXPECT_EQ(r.records, 1u);
}

}  // namespace
