// Statistics and accounting records through an emitter: the parsers that statsInstall gives the
// emitters turn one stored record into its objects, each written and numbered by the family's table.
#include <cstdio>

#include "emit/emit.h"
#include "stats_testing.h"

namespace {

using namespace stt;

class StatsEmitTest : public StatsTest {
protected:
    void SetUp() override {
        StatsTest::SetUp();
        InitialiseCommandFields();
        ASSERT_EQ(statsInstall(), 1);
        emitter_ = evCreateEmitterDef("STATS.EMIT", -1);
        ASSERT_NE(emitter_, nullptr);
        std::snprintf(emitter_->file, sizeof emitter_->file, "%s", dir_.file("out.json").c_str());
        std::snprintf(qmgr_.name, sizeof qmgr_.name, "QM1");
    }
    void TearDown() override {
        emitCloseOutputs(nullptr, evSet(EV_SET_E));
        ct::freeEmitters();
        StatsTest::TearDown();
    }
    // The record through a stream of its family's type; the file's text.
    std::string emit(const StatsFamily *family, std::vector<uint8_t> record) {
        StreamDef *def = evStreamDefine("S", -1, family->streamType, 0, 0);
        EXPECT_NE(def, nullptr);
        std::snprintf(def->evEmit, sizeof def->evEmit, "STATS.EMIT");
        Stream stream{};
        stream.definition = def;
        stream.qmgr = &qmgr_;
        EmitContext c{};
        c.stream = &stream;
        c.qmgr = &qmgr_;
        EXPECT_EQ(emitRecord(&c, record.data(), static_cast<uint32_t>(record.size())), EMIT_DONE);
        emitCloseOutputs(nullptr, evSet(EV_SET_E));
        std::string text = dir_.read("out.json");
        for (const std::string &name : dir_.list()) std::remove(dir_.file(name).c_str());
        return text;
    }
    static int count(const std::string &text, const std::string &part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
        return n;
    }

    zt::TempDir dir_;
    zt::ScopedTZ tz_{"UTC"};
    EmitterDef *emitter_ = nullptr;
    QmgrEntry qmgr_{};
};

TEST_F(StatsEmitTest, QueueStatisticsGiveOneNumberedObjectPerQueue) {
    auto record = rawRecord(&evStatQFamily, {i32(31, 930)},
                            {{str(2016, "APP.A"), i32(31003, 5)}, {str(2016, "APP.B"), i32(31014, 4)}});
    const std::string text = emit(&evStatQFamily, record);
    EXPECT_EQ(count(text, "\"zuntUniqueId\""), 2) << text;
    EXPECT_EQ(count(text, "-1\""), 1) << text;
    EXPECT_EQ(count(text, "-2\""), 1) << text;
    EXPECT_NE(text.find("\"APP.A\""), std::string::npos);
    EXPECT_NE(text.find("\"APP.B\""), std::string::npos);
}

TEST_F(StatsEmitTest, RecordsIsWrittenOnlyForAnAggregatedRecord) {
    const Items keys = {i32(31, 930)};
    const std::vector<Items> objects = {{str(2016, "APP.A"), i32(39409, 3)}};
    const std::string plain = emit(&evStatQFamily, rawRecord(&evStatQFamily, keys, objects));
    const std::string aggregated =
        emit(&evStatQFamily, rawRecord(&evStatQFamily, keys, objects, EVCF_FLAG_AGGREGATED));
    EXPECT_EQ(plain.find("\"records\""), std::string::npos) << plain;
    EXPECT_NE(aggregated.find("\"records\":3"), std::string::npos) << aggregated;
}

TEST_F(StatsEmitTest, AnMqiAccountingRecordIsOneObject) {
    auto record = rawRecord(&evAcctMQIFamily, {str(3024, "app"), str(3025, "user1"), i32(31, 930)},
                            {{i32(31042, 3), i32(31014, 2)}});
    const std::string text = emit(&evAcctMQIFamily, record);
    EXPECT_EQ(count(text, "\"zuntUniqueId\""), 1) << text;
    EXPECT_EQ(count(text, "-1\""), 0) << "a stored MQI accounting record is not numbered";
    EXPECT_NE(text.find("\"app\""), std::string::npos) << text;
}

}  // namespace
