// The real program on a private stand-in queue manager after its data queue was tampered with, as an
// administrator or another application with access to it could: damaged, missing and foreign
// messages. Each start after the damage comes up and answers a command, and the log names what was
// skipped; a stored configuration damaged beyond use ends the program at once, naming its message.
#include "program.h"

namespace {

using pt::Zunt;

constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";
constexpr const char *kSmallBlobs = "ZUNT_STREAM=1000,4";  // a blob every few events, consolidated by four

class StoredQmTest : public pt::ProgramQmTest {
protected:
    void SetUp() override {
        pt::ProgramQmTest::SetUp();
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    }
    // The command's MQSC reply text.
    std::string command(const std::string &text) {
        sendCommand(MQFMT_STRING, text);
        return replyText(10000);
    }
    // A run that takes in count events, then ends in order.
    void storeEvents(int count) {
        Zunt zunt(dir, "store" + std::to_string(++runs), runOptions(), {kSmallBlobs});
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        for (int i = 0; i < count; i++) putEvent();
        ASSERT_TRUE(drained()) << zunt.out();
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    // A start after the damage: it comes up and answers a command; then an orderly end. Its output.
    std::string startAndAsk() {
        Zunt zunt(dir, "after" + std::to_string(++runs), runOptions(), {kSmallBlobs});
        EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command("DISPLAY EVSTRMST(*)").find("AMQ"), std::string::npos) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_EQ(zunt.out().find("Connection will be retried"), std::string::npos) << zunt.out();
        return zunt.out();
    }
    // The data queue's first message whose CorrelId passes the test.
    template <typename Test>
    std::optional<Browsed> findStored(Test test) {
        for (const Browsed &b : browse(kDataQueue))
            if (test(b.md.CorrelId)) return b;
        return std::nullopt;
    }
    // The message taken off the data queue and, unless data is none, put back with its descriptor
    // and that data.
    void replace(const Browsed &message, const std::optional<std::string> &data) {
        MQHOBJ hobj = openQueue(kDataQueue, MQOO_INPUT_SHARED);
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.MsgId, message.md.MsgId, sizeof md.MsgId);
        std::memcpy(md.CorrelId, message.md.CorrelId, sizeof md.CorrelId);
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
        char byte = 0;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, hobj, &md, &gmo, 1, &byte, &length, &cc, &rc);
        ASSERT_EQ(cc, MQCC_WARNING);
        closeQueue(&hobj);
        if (data) putMessage(kDataQueue, message.md, *data);
    }
    static std::string hex(const MQBYTE24 id) {
        char text[49];
        evIdToHex(id, text);
        return text;
    }
    static bool blob(const MQBYTE24 id, uint32_t streamId, bool big) {
        return mqiGetU32(id, 0) == BLOB_ID_MARK && (streamId == 0) == (mqiGetU32(id, 8) == 0) &&
               mqiGetU32(id, 12) == (big ? BLOB_KIND_BIG : BLOB_KIND_SMALL) && mqiGetI64(id, 16) != 0;
    }
    // A message of the configuration or alerts (kind) in another application's layout.
    void putForeign(uint8_t kind, const char *format, const std::string &data) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        md.CorrelId[0] = kind;
        md.Persistence = MQPER_PERSISTENT;
        putMessage(kDataQueue, md, data);
    }
    size_t storedOfKind(uint8_t kind) {
        size_t n = 0;
        for (const Browsed &b : browse(kDataQueue)) n += b.md.CorrelId[0] == kind;
        return n;
    }
};

// A blob cut short, a string pool blob short by 7 bytes and a blob removed: each start loads the rest,
// names the blob and counts what was lost, and answers commands.
TEST_F(StoredQmTest, ADamagedOrMissingBlobIsSkippedNamedAndCounted) {
    storeEvents(60);
    struct Row {
        const char *name;
        uint32_t streamId;  // 0: "$STRINGS", 1: any stream of events
        bool big;
        int cut;  // bytes cut off its end; -1: the message removed
        const char *counted;
    };
    const Row rows[] = {
        {"an events blob cut in half", 1, false, -2, "loaded without 1 damaged and 0 missing blob(s)"},
        {"a string pool blob short by 7", 0, false, 7, "Stream '$STRINGS' loaded without 1 damaged"},
        {"an events blob removed", 1, false, -1, "loaded without 0 damaged and 1 missing blob(s)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<Browsed> target =
            findStored([&row](const MQBYTE24 id) { return blob(id, row.streamId, row.big); });
        ASSERT_TRUE(target.has_value());
        const std::string &data = target->data;
        if (row.cut == -1)
            replace(*target, std::nullopt);
        else
            replace(*target, data.substr(0, row.cut == -2 ? data.size() / 2 : data.size() - row.cut));
        const std::string out = startAndAsk();
        if (row.cut != -1) {
            EXPECT_NE(out.find("is damaged: skipped (CorrelId X'" + hex(target->md.CorrelId) + "')"),
                      std::string::npos)
                << out;
        }
        EXPECT_NE(out.find(row.counted), std::string::npos) << out;
        // Put back as it was (a removed one stays away): the next row starts from sound blobs.
        if (row.cut != -1) {
            std::optional<Browsed> now = findStored(
                [&target](const MQBYTE24 id) { return std::memcmp(id, target->md.CorrelId, 24) == 0; });
            ASSERT_TRUE(now.has_value());
            replace(*now, data);
        }
    }
}

// Another application's messages under the keys of the stored configuration and alerts: skipped at
// load, never taken for the program's own, and each save replaces the program's message only.
TEST_F(StoredQmTest, ForeignMessagesUnderTheStoredKeysAreSkippedAndLeftAlone) {
    {
        Zunt zunt(dir, "foreign", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command("ADD EVALERT TEXT('first one') SEVERITY(WARN)").find("AMQ"), std::string::npos);
        putForeign(EV_DQ_KIND_ALERTS, MQFMT_STRING, std::string(33, 'x'));
        putForeign(EV_DQ_KIND_CONFIG, MQFMT_ADMIN, std::string(36, '\0'));
        EXPECT_NE(command("ADD EVALERT TEXT('second one') SEVERITY(WARN)").find("AMQ"), std::string::npos);
        EXPECT_NE(command("ALTER EV DESCR('kept apart')").find("AMQ"), std::string::npos);
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    EXPECT_EQ(storedOfKind(EV_DQ_KIND_ALERTS), 2u);
    EXPECT_EQ(storedOfKind(EV_DQ_KIND_CONFIG), 2u);
    Zunt zunt(dir, "again", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    const std::string alerts = command("DISPLAY EVALERT(*) ALL");
    EXPECT_NE(alerts.find("first one"), std::string::npos) << alerts;
    EXPECT_NE(alerts.find("second one"), std::string::npos) << alerts;
    EXPECT_NE(command("DISPLAY EV").find("kept apart"), std::string::npos);
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_EQ(et::countOf(out, "Foreign message under the alert key skipped"), 1) << out;
    EXPECT_EQ(et::countOf(out, "Foreign message under the configuration key skipped"), 1) << out;
    EXPECT_EQ(storedOfKind(EV_DQ_KIND_ALERTS), 2u);
    EXPECT_EQ(storedOfKind(EV_DQ_KIND_CONFIG), 2u);
}

// A member length damaged inside a stream group of the stored configuration: no sound start is
// possible, and the program ends at once, naming the message.
TEST_F(StoredQmTest, ADamagedConfigurationEndsTheProgramNamingItsMessage) {
    {
        Zunt zunt(dir, "define", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command("DEFINE EVSTREAM(KEPT) TYPE(EVENTS)").find("AMQ"), std::string::npos);
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    std::optional<Browsed> config =
        findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_CONFIG; });
    ASSERT_TRUE(config.has_value());
    std::string data = config->data;
    // The first stream group: MQCFGR Type 20, StrucLength 16, Parameter 39336 (the stream definition
    // group); its first member follows.
    uint8_t group[12];
    mqiPutI32(group, 0, MQCFT_GROUP);
    mqiPutI32(group, 4, MQCFGR_STRUC_LENGTH);
    mqiPutI32(group, 8, 39336);
    const size_t at = data.find(std::string(reinterpret_cast<const char *>(group), sizeof group));
    ASSERT_NE(at, std::string::npos);
    mqiPutI32(reinterpret_cast<uint8_t *>(data.data()), at + MQCFGR_STRUC_LENGTH + 4, 0x7FFF0000);
    replace(*config, data);
    Zunt zunt(dir, "damaged", runOptions());
    EXPECT_EQ(zunt.wait(), EV_EXIT_START) << zunt.out();
    const std::string out = zunt.out();
    EXPECT_NE(out.find("Stored configuration is damaged: configuration message CorrelId X'" +
                       hex(config->md.CorrelId) + "' MsgId X'" + hex(config->md.MsgId) + "'"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Connection will be retried"), std::string::npos) << out;
}

}  // namespace
