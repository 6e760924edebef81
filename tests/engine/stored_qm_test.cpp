// The real program on a private stand-in queue manager after its data queue was tampered with, as an
// administrator or another application with access to it could: damaged, missing and foreign
// messages. Each start after the damage comes up and answers a command, and the log names what was
// skipped; a stored configuration damaged beyond use ends the program at once, naming its message.
// And what the stored alerts tell subscribers: only what was kept, across backouts, kills and ends.
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
        takeOff(kDataQueue, message);
        if (data) putMessage(kDataQueue, message.md, *data);
    }
    // Every reply of the command (a display's one per item, then its end), the replies of earlier
    // commands emptied away first (unless kept: then a late reply to an earlier request comes first).
    // A display's replies are committed together at its sync point: once the first is there, so are
    // the others.
    std::string everyReply(const std::string &text, bool emptyFirst = true) {
        if (emptyFirst) emptyQueue("REPLY.Q");
        sendCommand(MQFMT_STRING, text);
        std::string listed;
        for (std::optional<std::string> reply = nextReply(10000); reply; reply = nextReply(100))
            listed += *reply;
        return listed;
    }
    // The records of the runtime stream "$EVENTS" (-1 when the reply has none).
    int storedEvents() {
        const std::string reply = command("DISPLAY EVSTRMST($EVENTS) ALL");
        const size_t at = reply.find("ITEMS(");
        return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + 6);
    }
    // The events stream kept 3 seconds.
    void seedRetention() {
        seed([] {
            StreamDef *def =
                evStreamDefine(evSystemStreamName(STREAM_TYPE_EVENTS), -1, STREAM_TYPE_EVENTS, 0, 0);
            ASSERT_NE(def, nullptr);
            def->retIntvl = 3;
        });
    }
    // Puts events (putOne) until the stream holds no more than those put since first events were
    // put, their sync points expiring what is due (a minute at most); the records it holds then.
    template <typename PutOne>
    int putUntilExpired(int first, PutOne putOne) {
        int left = -1;
        for (int i = 0; i < 60 && (left < 0 || left > put.load() - first); i++) {
            putOne();
            usleep(200000);
            left = storedEvents();
        }
        return left;
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
    // An event put on hobj (opened to set all context) with the PutDate and PutTime of when (UTC);
    // its name.
    std::string putDatedEvent(MQHOBJ hobj, int64_t when) {
        char name[16];
        std::snprintf(name, sizeof name, "K.%013d", ++put);
        const std::string event = eventFor(name);
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
        using namespace std::chrono;
        const sys_seconds at{seconds{when}};
        const sys_days day = floor<days>(at);
        const year_month_day ymd{day};
        const hh_mm_ss<seconds> hms{at - day};
        char text[64];  // room for any value the compiler cannot bound
        std::snprintf(text, sizeof text, "%04d%02u%02u%02lld%02lld%02lld00", static_cast<int>(ymd.year()),
                      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                      static_cast<long long>(hms.hours().count()),
                      static_cast<long long>(hms.minutes().count()),
                      static_cast<long long>(hms.seconds().count()));
        std::memcpy(md.PutDate, text, 8);
        std::memcpy(md.PutTime, text + 8, 8);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT;
        MQLONG cc = 0, rc = 0;
        raw.MQPUT(own, hobj, &md, &pmo, static_cast<MQLONG>(event.size()), const_cast<char *>(event.data()),
                  &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
        return name;
    }
    // Every reply to one command, joined.
    std::string allReplies(const std::string &text) {
        sendCommand(MQFMT_STRING, text);
        std::string replies;
        for (std::optional<std::string> reply = nextReply(20000); reply; reply = nextReply(1000))
            replies += *reply;
        return replies;
    }
    size_t storedOfKind(uint8_t kind) {
        size_t n = 0;
        for (const Browsed &b : browse(kDataQueue)) n += b.md.CorrelId[0] == kind;
        return n;
    }
};

// A blob cut short, a string pool blob short by 7 bytes, a blob removed and a stream header removed:
// each start loads the rest, names the blob and counts what was lost, and answers commands.
TEST_F(StoredQmTest, ADamagedOrMissingBlobIsSkippedNamedAndCounted) {
    // Two small blobs of events closed, fewer than the four a consolidation takes into one big blob:
    // an event of a client connection (the Windows tests') names its channel and connection too, 72
    // bytes a record against 60, and 60 of them filled four.
    storeEvents(40);
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
    // Last, a stream header removed: its blob messages are counted at the next start.
    std::optional<Browsed> header = findStored([](const MQBYTE24 id) {
        return mqiGetU32(id, 0) == BLOB_ID_MARK && mqiGetU32(id, 8) != 0 && mqiGetI64(id, 16) == 0;
    });
    ASSERT_TRUE(header.has_value());
    const uint32_t streamId = mqiGetU32(header->md.CorrelId, 8);
    size_t blobs = 0;
    for (const Browsed &b : browse(kDataQueue))
        blobs += mqiGetU32(b.md.CorrelId, 0) == BLOB_ID_MARK && mqiGetU32(b.md.CorrelId, 8) == streamId &&
                 mqiGetI64(b.md.CorrelId, 16) != 0;
    ASSERT_GT(blobs, 0u);
    replace(*header, std::nullopt);
    const std::string out = startAndAsk();
    EXPECT_NE(out.find("header is missing: rebuilt from"), std::string::npos) << out;
}

// A string pool blob put under the key of the events' blob of the same number, and that events blob
// under the pool's key: neither loads as the other's kind (no "Unknown" events, no strings dropped
// without a word); both are named damaged.
TEST_F(StoredQmTest, ABlobUnderAnotherStreamsKeyIsDamaged) {
    storeEvents(40);
    std::optional<Browsed> strings = findStored([](const MQBYTE24 id) { return blob(id, 0, false); });
    ASSERT_TRUE(strings.has_value());
    const int64_t number = mqiGetI64(strings->md.CorrelId, 16);
    std::optional<Browsed> events =
        findStored([number](const MQBYTE24 id) { return blob(id, 1, false) && mqiGetI64(id, 16) == number; });
    ASSERT_TRUE(events.has_value());
    takeOff(kDataQueue, *strings);
    takeOff(kDataQueue, *events);
    putMessage(kDataQueue, strings->md, events->data);
    putMessage(kDataQueue, events->md, strings->data);
    const std::string out = startAndAsk();
    for (const Browsed *b : {&*strings, &*events})
        EXPECT_NE(out.find("blob " + std::to_string(number) + " is damaged: skipped (CorrelId X'" +
                           hex(b->md.CorrelId) + "')"),
                  std::string::npos)
            << out;
}

// The blob messages of two events streams swapped: each of one put back under the other's key (the
// same kind and number). No start takes the other stream's records for its own: a blob under the
// key of another's with the same number is named damaged once and skipped, and each stream shows only
// the records of its header message.
TEST_F(StoredQmTest, BlobsOfTwoStreamsSwappedAreNamedAndNotShown) {
    {
        Zunt zunt(dir, "two", runOptions(), {kSmallBlobs});
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        ASSERT_NE(command("DEFINE EVSTREAM(T1) TYPE(EVENTS)").find("AMQ8"), std::string::npos);
        for (int i = 0; i < 40; i++) putEvent();
        ASSERT_TRUE(drained()) << zunt.out();
        EXPECT_NE(allReplies("COPY EVSTRMST($EVENTS) TARGET(T1)").find("Stream copied successfully."),
                  std::string::npos);
        for (int i = 0; i < 10; i++) putEvent();  // into $EVENTS only
        ASSERT_TRUE(drained()) << zunt.out();
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    auto records = [](const Browsed &b) {
        const size_t at = mqiGetI64(b.md.CorrelId, 16) == 0 ? SH_BLOB : 0;
        return static_cast<int>(mqiGetU32(reinterpret_cast<const uint8_t *>(b.data.data()), at + BH_RECORDS));
    };
    // Each events stream's blob messages by kind and number (0: its header).
    std::map<uint32_t, std::map<std::pair<uint32_t, int64_t>, Browsed>> streams;
    for (const Browsed &b : browse(kDataQueue))
        if (mqiGetU32(b.md.CorrelId, 0) == BLOB_ID_MARK && mqiGetU32(b.md.CorrelId, 8) != 0)
            streams[mqiGetU32(b.md.CorrelId, 8)].emplace(
                std::make_pair(mqiGetU32(b.md.CorrelId, 12), mqiGetI64(b.md.CorrelId, 16)), b);
    ASSERT_EQ(streams.size(), 2u);
    // T1 holds the 40 records copied, $EVENTS 10 more.
    std::map<uint32_t, int> total;
    for (const auto &[id, blobs] : streams)
        for (const auto &[key, b] : blobs) total[id] += records(b);
    const uint32_t low = streams.begin()->first, high = streams.rbegin()->first;
    const uint32_t events = total[low] > total[high] ? low : high, t1 = events == low ? high : low;
    ASSERT_EQ(total[events], 50);
    ASSERT_EQ(total[t1], 40);
    std::map<uint32_t, int> kept;   // by stream id: the records of its header message
    std::vector<std::string> both;  // the keys each stream has a blob under
    for (const auto &[id, blobs] : streams) {
        const uint32_t other = id == events ? t1 : events;
        for (const auto &[key, b] : blobs) {
            if (key.second == 0) {
                kept[id] = records(b);
                continue;
            }
            if (streams[other].count(key)) both.push_back(hex(b.md.CorrelId));
            Browsed moved = b;
            mqiPutU32(moved.md.CorrelId, 8, other);
            replace(b, std::nullopt);
            putMessage(kDataQueue, moved.md, moved.data);
        }
    }
    ASSERT_GT(both.size(), 0u) << "no number of the same kind in both";
    Zunt zunt(dir, "swapped", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_EQ(storedEvents(), kept[events]) << zunt.out();
    const std::string shown = command("DISPLAY EVSTRMST(T1) ALL");
    EXPECT_NE(shown.find("ITEMS(" + std::to_string(kept[t1]) + ")"), std::string::npos) << shown;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    for (const std::string &id : both)
        EXPECT_EQ(et::countOf(zunt.out(), "is damaged: skipped (CorrelId X'" + id + "')"), 1) << id;
    EXPECT_EQ(et::countOf(zunt.out(), "is damaged: skipped"), static_cast<int>(both.size())) << zunt.out();
}

// Blob messages the load cannot take (empty, cut short, numbered outside the ranges) go with PURGE
// EVSTRMST: nothing of the stream is left on the data queue.
TEST_F(StoredQmTest, PurgeRemovesTheBlobsTheLoadCouldNotTake) {
    storeEvents(40);
    std::optional<Browsed> sound = findStored([](const MQBYTE24 id) { return blob(id, 1, false); });
    ASSERT_TRUE(sound.has_value());
    MQMD md = sound->md;
    mqiPutI64(md.CorrelId, 16, 1000);
    putMessage(kDataQueue, md, "");
    mqiPutI64(md.CorrelId, 16, 999);
    putMessage(kDataQueue, md, sound->data.substr(0, sound->data.size() / 2));
    replace(*sound, sound->data.substr(0, 100));
    auto ofEvents = [this] {
        size_t n = 0;
        for (const Browsed &b : browse(kDataQueue))
            n += mqiGetU32(b.md.CorrelId, 0) == BLOB_ID_MARK && mqiGetU32(b.md.CorrelId, 8) == 1;
        return n;
    };
    ASSERT_GT(ofEvents(), 3u);
    Zunt zunt(dir, "purge", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_NE(command("PURGE EVSTRMST($EVENTS) EVQMGR(*) TYPE(ALL)").find("AMQ"), std::string::npos)
        << zunt.out();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_EQ(ofEvents(), 0u);
}

// A stream header damaged (its eye-catcher), cut short or removed: the stream is rebuilt from the blob
// messages that name it, their records load, and later blobs are numbered after them, so that no
// write takes an intact blob's CorrelId: every record of the intact blobs is still there two starts
// later. A stray copy of a blob numbered far above them is left out of the rebuilt range (on the
// queue, named), so that the load after takes the new blobs and their numbering never wraps onto the
// header's key; a damaged highest blob stays on the queue as it was, the new blobs numbered past it.
TEST_F(StoredQmTest, ADamagedStreamHeaderIsRebuiltFromItsBlobs) {
    enum class Header { Flip, Cut, Remove };
    struct Row {
        const char *name;
        Header header;
        uint64_t stray;      // a sound blob's copy put under this number too (0: none)
        bool damageHighest;  // the highest blob of its kind cut in half
    };
    const Row rows[] = {
        {"eye-catcher flipped", Header::Flip, 0, false},
        {"header cut short", Header::Cut, 0, false},
        {"removed, a stray blob numbered 2^64-1", Header::Remove, UINT64_MAX, false},
        {"removed, a stray blob numbered 2^32-1", Header::Remove, 0xFFFFFFFFull, false},
        {"removed, a stray blob numbered 200000", Header::Remove, 200000, false},
        {"flipped, the highest blob damaged", Header::Flip, 0, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        storeEvents(40);
        // The records of the intact full blobs of the events stream.
        int kept = 0;
        std::optional<Browsed> highest;
        for (const Browsed &b : browse(kDataQueue)) {
            const bool small = blob(b.md.CorrelId, 1, false);
            if (!small && !blob(b.md.CorrelId, 1, true)) continue;
            kept += static_cast<int>(mqiGetU32(reinterpret_cast<const uint8_t *>(b.data.data()), 44));
            // The highest small blob, or without one the highest big one.
            const bool highestSmall = highest && mqiGetU32(highest->md.CorrelId, 12) == BLOB_KIND_SMALL;
            if (!highest || (small && !highestSmall) ||
                (small == highestSmall && mqiGetI64(b.md.CorrelId, 16) > mqiGetI64(highest->md.CorrelId, 16)))
                highest = b;
        }
        ASSERT_GT(kept, 0);
        ASSERT_TRUE(highest.has_value());
        std::vector<Browsed> leftOnQueue;  // as they must stay
        if (row.damageHighest) {
            kept -= static_cast<int>(mqiGetU32(reinterpret_cast<const uint8_t *>(highest->data.data()), 44));
            Browsed damaged = *highest;
            damaged.data.resize(damaged.data.size() / 2);
            replace(*highest, damaged.data);
            leftOnQueue.push_back(damaged);
        }
        if (row.stray) {
            Browsed stray = *highest;
            mqiPutI64(stray.md.CorrelId, 16, static_cast<int64_t>(row.stray));
            mqiPutI64(reinterpret_cast<uint8_t *>(stray.data.data()), 32, static_cast<int64_t>(row.stray));
            putMessage(kDataQueue, stray.md, stray.data);
            leftOnQueue.push_back(stray);
        }
        std::optional<Browsed> header = findStored([](const MQBYTE24 id) {
            return mqiGetU32(id, 0) == BLOB_ID_MARK && mqiGetU32(id, 8) == 1 && mqiGetI64(id, 16) == 0;
        });
        ASSERT_TRUE(header.has_value());
        std::string data = header->data;
        if (row.header == Header::Cut)
            data.resize(100);
        else
            data[76] = static_cast<char>(data[76] ^ 0xFF);
        replace(*header, row.header == Header::Remove ? std::nullopt : std::optional<std::string>(data));
        {
            Zunt zunt(dir, "rebuilt" + std::to_string(++runs), runOptions(), {kSmallBlobs});
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_EQ(storedEvents(), kept) << zunt.out();
            // Enough events for new blobs and a consolidation.
            for (int i = 0; i < 40; i++) putEvent();
            ASSERT_TRUE(drained()) << zunt.out();
            EXPECT_EQ(storedEvents(), kept + 40) << zunt.out();
            zunt.term();
            ASSERT_EQ(zunt.wait(), 0) << zunt.out();
            EXPECT_EQ(et::countOf(zunt.out(), row.header == Header::Remove
                                                  ? "Stream '$EVENTS' header is missing: rebuilt from"
                                                  : "Stream '$EVENTS' header is damaged: rebuilt from"),
                      1)
                << zunt.out();
            if (row.stray) {
                EXPECT_NE(zunt.out().find("blob " + std::to_string(row.stray) +
                                          " is out of the rebuilt range: left on the queue (CorrelId X'" +
                                          hex(leftOnQueue.back().md.CorrelId) + "')"),
                          std::string::npos)
                    << zunt.out();
            }
        }
        for (int start = 0; start < 2; start++) {
            Zunt zunt(dir, "again" + std::to_string(++runs), runOptions(), {kSmallBlobs});
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_EQ(storedEvents(), kept + 40) << zunt.out();
            zunt.term();
            ASSERT_EQ(zunt.wait(), 0) << zunt.out();
            EXPECT_EQ(zunt.out().find("rebuilt from"), std::string::npos) << zunt.out();
            EXPECT_EQ(zunt.out().find("range is damaged"), std::string::npos) << zunt.out();
        }
        // What the rebuild left out is on the queue as it was; taken away for the next row.
        for (const Browsed &left : leftOnQueue) {
            std::optional<Browsed> now =
                findStored([&left](const MQBYTE24 id) { return std::memcmp(id, left.md.CorrelId, 24) == 0; });
            ASSERT_TRUE(now.has_value());
            EXPECT_EQ(now->data, left.data);
            replace(*now, std::nullopt);
        }
    }
}

// The string pool's header damaged: the strings it held are lost, and the names of later events
// never take the ids the stored events still carry: each new name shows on its own event only.
TEST_F(StoredQmTest, StringIdsStoredRecordsCarryAreNotGivenAgain) {
    storeEvents(10);
    std::optional<Browsed> header = findStored([](const MQBYTE24 id) {
        return mqiGetU32(id, 0) == BLOB_ID_MARK && mqiGetU32(id, 8) == 0 && mqiGetI64(id, 16) == 0;
    });
    ASSERT_TRUE(header.has_value());
    std::string data = header->data;
    data[76] = static_cast<char>(data[76] ^ 0xFF);
    replace(*header, data);
    Zunt zunt(dir, "strings", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    std::vector<std::string> names;
    for (int i = 0; i < 10; i++) names.push_back(putEvent());
    ASSERT_TRUE(drained()) << zunt.out();
    const std::string listed = everyReply("DISPLAY EVENTS(*) FROM(any)");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    for (const std::string &name : names) EXPECT_EQ(et::countOf(listed, name), 1) << name << "\n" << listed;
    EXPECT_NE(zunt.out().find("Stored strings were lost: new string ids start above"), std::string::npos)
        << zunt.out();
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

// A second copy of the stored configuration, behind it: noted at load and removed by the next save
// with the message it replaces, so that the start after it loads what was saved.
TEST_F(StoredQmTest, ADuplicateOfTheStoredConfigurationGoesWithTheNextSave) {
    std::optional<Browsed> config = findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_CONFIG; });
    ASSERT_TRUE(config.has_value());
    MQMD copy = config->md;
    std::memset(copy.MsgId, 0, sizeof copy.MsgId);  // a MsgId of its own
    putMessage(kDataQueue, copy, config->data);
    {
        Zunt zunt(dir, "duplicate", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command("ALTER EV DESCR('after the copy')").find("AMQ"), std::string::npos);
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_EQ(et::countOf(zunt.out(), "Duplicate configuration message ignored"), 1) << zunt.out();
    }
    EXPECT_EQ(storedOfKind(EV_DQ_KIND_CONFIG), 1u);
    Zunt zunt(dir, "reloaded", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_NE(command("DISPLAY EV").find("after the copy"), std::string::npos);
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// Stored alerts damaged after their first alert: that one is kept, the start goes on and names the
// message; the next save replaces it.
TEST_F(StoredQmTest, DamagedStoredAlertsKeepThoseBeforeTheDamage) {
    {
        Zunt zunt(dir, "alerts", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        for (const char *text : {"before", "after"})
            EXPECT_NE(command(std::string("ADD EVALERT TEXT('") + text + "') SEVERITY(WARN)").find("AMQ"),
                      std::string::npos);
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    std::optional<Browsed> stored = findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_ALERTS; });
    ASSERT_TRUE(stored.has_value());
    const std::string sound = stored->data;
    // The second alert group (MQCFGR Type 20, StrucLength 16, Parameter 39312): its first member's
    // length made impossible; or the MQCFH ParameterCount lowered by one, which leaves the last group
    // unread.
    for (const bool lowered : {false, true}) {
        SCOPED_TRACE(lowered ? "ParameterCount lowered" : "member length damaged");
        std::optional<Browsed> alerts =
            findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_ALERTS; });
        ASSERT_TRUE(alerts.has_value());
        std::string data = sound;
        auto *bytes = reinterpret_cast<uint8_t *>(data.data());
        if (lowered) {
            mqiPutI32(bytes, 32, mqiGetI32(bytes, 32) - 1);
        } else {
            const std::string group("\x14\0\0\0\x10\0\0\0\x90\x99\0\0", 12);
            const size_t second = data.find(group, data.find(group) + 1);
            ASSERT_NE(second, std::string::npos);
            mqiPutI32(bytes, second + MQCFGR_STRUC_LENGTH + 4, 0x7FFF0000);
        }
        replace(*alerts, data);
        // The alert stored first is kept.
        const bool beforeFirst = data.find("before") < data.find("after");
        const std::string kept = beforeFirst ? "TEXT(before)" : "TEXT(after)";
        const std::string dropped = beforeFirst ? "TEXT(after)" : "TEXT(before)";
        Zunt zunt(dir, "damaged" + std::to_string(++runs), runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        const std::string listed = everyReply("DISPLAY EVALERT(*) ALL");
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_NE(
            zunt.out().find("Stored alerts damaged: the alerts after the damage are dropped (CorrelId X'" +
                            hex(alerts->md.CorrelId) + "' MsgId X'" + hex(alerts->md.MsgId) + "')"),
            std::string::npos)
            << zunt.out();
        EXPECT_NE(listed.find(kept), std::string::npos) << listed;
        EXPECT_EQ(listed.find(dropped), std::string::npos) << listed;
        // The damaged message stays until a save: put back the sound one for the next row.
        std::optional<Browsed> now = findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_ALERTS; });
        ASSERT_TRUE(now.has_value());
        replace(*now, sound);
    }
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
    std::optional<Browsed> config = findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_CONFIG; });
    ASSERT_TRUE(config.has_value());
    const std::string sound = config->data;
    // The first stream group (MQCFGR Type 20, StrucLength 16, Parameter 39336): its first member's
    // length made impossible; or the MQCFH ParameterCount lowered, which leaves items unread.
    for (const int lowerBy : {0, 1, 12}) {
        SCOPED_TRACE(lowerBy ? "ParameterCount lowered by " + std::to_string(lowerBy)
                             : "member length damaged");
        std::string data = sound;
        auto *bytes = reinterpret_cast<uint8_t *>(data.data());
        if (lowerBy) {
            mqiPutI32(bytes, 32, mqiGetI32(bytes, 32) - lowerBy);
        } else {
            uint8_t group[12];
            mqiPutI32(group, 0, MQCFT_GROUP);
            mqiPutI32(group, 4, MQCFGR_STRUC_LENGTH);
            mqiPutI32(group, 8, 39336);
            const size_t at = data.find(std::string(reinterpret_cast<const char *>(group), sizeof group));
            ASSERT_NE(at, std::string::npos);
            mqiPutI32(bytes, at + MQCFGR_STRUC_LENGTH + 4, 0x7FFF0000);
        }
        std::optional<Browsed> now = findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_CONFIG; });
        ASSERT_TRUE(now.has_value());
        replace(*now, data);
        Zunt zunt(dir, "damaged" + std::to_string(++runs), runOptions());
        EXPECT_EQ(zunt.wait(), EV_EXIT_START) << zunt.out();
        const std::string out = zunt.out();
        EXPECT_NE(out.find("Stored configuration is damaged: configuration message CorrelId X'" +
                           hex(now->md.CorrelId) + "' MsgId X'" + hex(now->md.MsgId) + "'"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("Connection will be retried"), std::string::npos) << out;
        // The message is left as it was found.
        std::optional<Browsed> left =
            findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_CONFIG; });
        ASSERT_TRUE(left.has_value());
        EXPECT_EQ(left->data, data);
    }
    // In background mode standard error tells why the start ended, though an error came before it:
    // a foreign message in front of the damaged one.
    std::optional<Browsed> damaged = findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_CONFIG; });
    ASSERT_TRUE(damaged.has_value());
    takeOff(kDataQueue, *damaged);
    putForeign(EV_DQ_KIND_CONFIG, MQFMT_STRING, "another application's");
    putMessage(kDataQueue, damaged->md, damaged->data);
    std::vector<std::string> options = runOptions();
    options.push_back("-b");
    Zunt zunt(dir, "background", options);
    EXPECT_EQ(zunt.wait(), EV_EXIT_START) << zunt.log();
    EXPECT_NE(zunt.log().find("Foreign message under the configuration key skipped"), std::string::npos)
        << zunt.log();
    EXPECT_NE(zunt.out().find("Stored configuration is damaged: configuration message"), std::string::npos)
        << zunt.out();
}

// A command whose save the data queue refuses backs its unit out and is answered at once, the
// connection kept, whatever the reason: memory is what is stored again (settings, alerts, event
// queues, streams and emitters alike, counters too), its change leaves no line in the log, and
// neither the event unit after it nor the next command's save stores it; the same change made next
// is kept and logged once, and the next start finds only what was kept.
class FailedSaveQmTest : public StoredQmTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(FailedSaveQmTest, AFailedSaveBacksOutAndKeepsTheConnection) {
    const std::string events = pt::kQmgrEvents;
    const std::string e3 = dir.file("e3.json");
    // Storm windows of a second: the windows of the events before a command have ended when it comes,
    // so that the sync point of set E in a command's hold on it saves their items: the put refused is
    // that save's where the command holds set E.
    seed([] { evSettings.stormInterval.store(1); });
    struct Row {
        std::string failed, shown;
        bool exact;  // the display is the same, byte for byte, before and after the failed command
        // unwanted: what the failed command would show. kept: a change made next, then kept, logged
        // once and shown; the failed command itself where it is tried again.
        std::string unwanted, kept, keptLine, keptShown;
        // The fields the command sets as the display shows them before it, the same after it failed
        // (those its stored message may leave out among them), and after the restart unless changed
        // since.
        std::string fields = "";
        // A queue the command would read: an event put on it first stays there; tried again, it is
        // read.
        std::string unread = "";
    };
    // tag: the reason, in the names of what the run adds.
    auto rows = [&](const std::string &tag) {
        const std::string threshold = "40";
        return std::vector<Row>{
            {"ALTER EV STORMTHR(31)", "DISPLAY EV ALL", false, "STORMTHR(31)",
             "ALTER EV STORMTHR(" + threshold + ")", "-> " + threshold + ")", "STORMTHR(" + threshold + ")",
             "STORMTHR(20)"},
            {"ALTER EV DESCR('after') DEADQ(ZZ.EMIT.Q)", "DISPLAY EV ALL", false, "after", "", "", "",
             "DESCR(Holva Software IBM MQ Event Processor) DEADQ( )"},
            {"ADD EVALERT TEXT('phantom') SEVERITY(WARN)", "DISPLAY EVALERT(*) ALL", true, "phantom",
             "ADD EVALERT TEXT('kept " + tag + "') SEVERITY(WARN)", "TEXT('kept " + tag + "')",
             "TEXT(kept " + tag + ")"},
            {"ADD EVALERT TEXT('standing') SEVERITY(ERROR) CATEGORY(CAT) EVQMGR(QM9) EVOBJNAME(OBJ.X) "
             "EVOBJTYPE(QUEUE) REPLACE",
             "DISPLAY EVALERT(1) ALL", true, "OBJ.X", "", "", "",
             "TEXT(standing) SEVERITY(WARN) CATEGORY( )"},
            {"REMOVE EVALERT TEXT('standing')", "DISPLAY EVALERT(1) ALL", true, "", "", "", "",
             "TEXT(standing)"},
            {"ADD EVQ(ZZ.NEW.EVQ)", "DISPLAY EVQ(*) ALL", true, "ZZ.NEW.EVQ", "ADD EVQ(ZZ.NEW.EVQ)",
             "EVQ('ZZ.NEW.EVQ')", "EVQ(ZZ.NEW.EVQ)", "", "ZZ.NEW.EVQ"},
            {"SUSPEND EVQ(" + events + ")", "DISPLAY EVQ(" + events + ") ALL", true, "SUSPENDED(YES)", "", "",
             "", "SUSPENDED(NO)"},
            {"ALTER EVQ(ZZ.SUSP.Q) DESCR('after') FWDQ(ZZ.EMIT.Q) FWDPSIST(YES) TEMPQ(STORE)",
             "DISPLAY EVQ(ZZ.SUSP.Q) ALL", true, "after", "", "", "",
             "DESCR( ) FWDQ( ) FWDPSIST(ASMSG) TEMPQ(DISCARD)"},
            {"ADD EVQ(ZZ.SUSP.Q) DESCR('after') REPLACE", "DISPLAY EVQ(ZZ.SUSP.Q) ALL", true, "after", "", "",
             "", "DESCR( )"},
            {"RESUME EVQ(ZZ.SUSP.Q)", "DISPLAY EVQ(ZZ.SUSP.Q) ALL", true, "SUSPENDED(NO)",
             "RESUME EVQ(ZZ.SUSP.Q)", "RESUME EVQ('ZZ.SUSP.Q')", "SUSPENDED(NO)", "SUSPENDED(YES)",
             "ZZ.SUSP.Q"},
            {"REMOVE EVQ(" + events + ")", "DISPLAY EVQ(*)", false, "", "", "", ""},
            {"ALTER EVQ(HOLVA.ZUNT.COMMAND.QUEUE) DESCR('phantom')",
             "DISPLAY EVQ(HOLVA.ZUNT.COMMAND.QUEUE) ALL", false, "phantom", "", "", ""},
            {"RESET EV TYPE(COUNTS)", "DISPLAY EVQMGR(QM1) ALL", true, "", "", "", ""},
            {"DEFINE EVSTREAM(S" + tag + ") TYPE(EVENTS)", "DISPLAY EVSTREAM(*)", true, "S" + tag,
             "DEFINE EVSTREAM(S" + tag + ") TYPE(EVENTS)", "EVSTREAM('S" + tag + "')",
             "EVSTREAM(S" + tag + ")"},
            {"ALTER EVSTREAM(A1) DESCR('after') EVEMIT(E1) AGGRINT(60)", "DISPLAY EVSTREAM(A1) ALL", true,
             "after", "", "", "", "DESCR( ) AGGRINT(0) EVEMIT( )"},
            {"DEFINE EVSTREAM(A1) TYPE(STATQ) DESCR('after') REPLACE", "DISPLAY EVSTREAM(A1) ALL", true,
             "after", "", "", "", "DESCR( )"},
            {"DELETE EVSTREAM(D1)", "DISPLAY EVSTREAM(*)", true, "", "DELETE EVSTREAM(D1)",
             "DELETE EVSTREAM('D1')", ""},
            {"RENAME EVSTREAM(R1) NEWNAME(RN" + tag + ")", "DISPLAY EVSTREAM(*)", true, "RN" + tag,
             "RENAME EVSTREAM(R1) NEWNAME(RN" + tag + ")", "RENAME EVSTREAM('R1') NEWNAME(RN" + tag + ")",
             "EVSTREAM(RN" + tag + ")"},
            {"ALTER EVEMIT(E1) DESCR('after')", "DISPLAY EVEMIT(E1) ALL", true, "after", "", "", "",
             "DESCR( )"},
            {"DEFINE EVEMIT(E1) FILE('" + dir.file("e1.json") + "') DESCR('after') REPLACE",
             "DISPLAY EVEMIT(E1) ALL", true, "after", "", "", "", "DESCR( )"},
            {"ALTER EVEMIT(E3) QUEUE(' ') FILE('" + e3 + "')", "DISPLAY EVEMIT(E3) ALL", true, "e3.json", "",
             "", "", "QUEUE(ZZ.EMIT.Q) FILE( )"},
            {"ALTER EVEMIT(E2) FILE(' ') QUEUE(ZZ.EMIT.Q)", "DISPLAY EVEMIT(E2) ALL", true, "ZZ.EMIT.Q", "",
             "", "", "FILE(" + dir.file("e2.json") + ") QUEUE( )"},
            {"DEFINE EVEMIT(N" + tag + ") QUEUE(ZZ.KEPT.Q)", "DISPLAY EVEMIT(*)", true, "N" + tag,
             "DEFINE EVEMIT(N" + tag + ") QUEUE(ZZ.KEPT.Q)", "EVEMIT('N" + tag + "')",
             "EVEMIT(N" + tag + ")"},
            {"DELETE EVEMIT(E4)", "DISPLAY EVEMIT(*)", true, "", "", "", ""},
        };
    };
    // The display's values of the keywords fields names, in the same form.
    auto valuesOf = [](const std::string &display, const std::string &fields) {
        std::string values;
        for (size_t open = fields.find('('); open != std::string::npos; open = fields.find('(', open + 1)) {
            size_t start = open;
            while (start > 0 && fields[start - 1] >= 'A' && fields[start - 1] <= 'Z') start--;
            const std::string key = fields.substr(start, open - start + 1);
            size_t at = display.find(key);
            while (at != std::string::npos && at > 0 && display[at - 1] != ' ' && display[at - 1] != '\n')
                at = display.find(key, at + 1);
            const size_t close = at == std::string::npos ? at : display.find(')', at);
            if (!values.empty()) values += ' ';
            values += close == std::string::npos ? key + "?" : display.substr(at, close + 1 - at);
        }
        return values;
    };
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(ZZ.NEW.EVQ)\nDEFINE QLOCAL(ZZ.EMIT.Q)\nDEFINE QLOCAL(ZZ.KEPT.Q)\nDEFINE "
                      "QLOCAL(ZZ.SUSP.Q)\n"),
              0);
    {
        Zunt zunt(dir, "objects", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        for (const std::string &define :
             {"DEFINE EVEMIT(E1) FILE('" + dir.file("e1.json") + "')",
              "DEFINE EVEMIT(E2) FILE('" + dir.file("e2.json") + "')",
              std::string("DEFINE EVEMIT(E3) QUEUE(ZZ.EMIT.Q)"),
              std::string("DEFINE EVEMIT(E4) QUEUE(ZZ.EMIT.Q)"),
              std::string("DEFINE EVSTREAM(A1) TYPE(STATQ)"), std::string("DEFINE EVSTREAM(D1) TYPE(EVENTS)"),
              std::string("DEFINE EVSTREAM(R1) TYPE(EVENTS)"), std::string("ADD EVQ(ZZ.SUSP.Q)"),
              std::string("SUSPEND EVQ(ZZ.SUSP.Q)"),
              std::string("ADD EVALERT TEXT('standing') SEVERITY(WARN)")})
            EXPECT_NE(command(define).find("AMQ8"), std::string::npos) << define;
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    {
        const std::string tag = GetParam();
        // A 2009 really breaks the connection: the reconnect loads memory, the command comes back
        // backed out. The others keep it, under the default retry scheme.
        const bool broken = tag == "2009";
        std::vector<std::string> options = runOptions();
        if (broken) options.insert(options.end(), {"-r", "1(100)"});
        std::string log;
        std::map<std::string, std::string> last;  // each display without counters as the run left it
        {
            Zunt zunt(dir, "backout" + tag, options);
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            putEvent();
            ASSERT_TRUE(drained()) << zunt.out();
            auto windowsEnded = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            for (const Row &row : rows(tag)) {
                SCOPED_TRACE(row.failed);
                if (!row.unread.empty()) {
                    char name[16];
                    std::snprintf(name, sizeof name, "K.%013d", ++put);
                    putMessage(row.unread.c_str(), MQFMT_EVENT, eventFor(name));
                }
                const std::string before = everyReply(row.shown);
                EXPECT_EQ(valuesOf(before, row.fields), row.fields) << before;
                std::this_thread::sleep_until(windowsEnded);
                ASSERT_EQ(qm.tool("fault QM1 MQPUT " + tag + " --queue HOLVA.ZUNT.DATA.QUEUE --count 1"), 0);
                EXPECT_EQ(command(row.failed), "AMQ8426: Command transaction failed, please try again later")
                    << zunt.out();
                // One answer: the redelivered request, taken before the display, adds none.
                const std::string shown = everyReply(row.shown, false);
                EXPECT_EQ(et::countOf(shown, "AMQ8426"), 0) << shown << zunt.out();
                if (row.exact && !broken) {
                    EXPECT_EQ(shown, before);
                }
                EXPECT_TRUE(row.unwanted.empty() || shown.find(row.unwanted) == std::string::npos) << shown;
                EXPECT_EQ(valuesOf(shown, row.fields), row.fields) << shown;
                // An event unit: the queue is still read, the events are stored once, and its save
                // stores nothing of the failed command.
                const int stored = storedEvents();
                for (int i = 0; i < 3; i++) putEvent();
                EXPECT_TRUE(drained(20000)) << undrained() << zunt.out();
                windowsEnded = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                int now = storedEvents();
                for (int waited = 0; waited < 10000 && now < stored + 3; waited += 50, now = storedEvents())
                    usleep(50000);
                EXPECT_EQ(now, stored + 3) << zunt.out();
                const std::string after = everyReply(row.shown);
                EXPECT_TRUE(row.unwanted.empty() || after.find(row.unwanted) == std::string::npos) << after;
                EXPECT_EQ(valuesOf(after, row.fields), row.fields) << after;
                if (!row.unread.empty()) {
                    EXPECT_EQ(depth(row.unread.c_str()), 1) << row.unread;
                }
                if (!row.kept.empty()) {
                    EXPECT_NE(command(row.kept).find("AMQ8"), std::string::npos) << zunt.out();
                    EXPECT_TRUE(zunt.waitLog(row.keptLine)) << zunt.log();
                    EXPECT_NE(everyReply(row.shown).find(row.keptShown), std::string::npos) << row.keptShown;
                }
                if (row.kept == row.failed && !row.unread.empty()) {
                    EXPECT_TRUE(et::waitFor([&] { return taken(row.unread.c_str()); })) << row.unread;
                    now = storedEvents();
                    for (int waited = 0; waited < 10000 && now < stored + 4;
                         waited += 50, now = storedEvents())
                        usleep(50000);
                    EXPECT_EQ(now, stored + 4) << zunt.out();
                }
            }
            for (const Row &row : rows(tag))
                if (row.exact && row.shown.find(" ALL") == std::string::npos &&
                    row.shown.find("EVQ(") == std::string::npos)
                    last[row.shown] = everyReply(row.shown);
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
            log = zunt.log();
        }
        const int failed = static_cast<int>(rows(tag).size());
        EXPECT_EQ(et::countOf(log, "ZUNT Initialised"), broken ? failed + 1 : 1) << log;
        if (!broken) {
            EXPECT_EQ(et::countOf(log, "Connection will be retried"), 0) << log;
        }
        EXPECT_EQ(et::countOf(log, "Command unit backed out: the stored state was loaded again"),
                  broken ? 0 : failed)
            << log;
        // Each reconnect's load names what it loaded in the log too.
        for (const Row &row : rows(tag)) {
            const int lines = row.keptLine.empty() ? 0 : et::countOf(log, row.keptLine);
            EXPECT_TRUE(row.keptLine.empty() || (broken ? lines >= 1 : lines == 1)) << row.keptLine << "\n"
                                                                                    << log;
        }
        for (const std::string &line :
             {std::string("STORMTHR(20 -> 31)"), std::string("-> 31)"), std::string("'phantom'"),
              std::string("REMOVE EVQ"), std::string("SUSPEND EVQ"), std::string("RESET EV"),
              std::string("'after'"), std::string("ZZ.EMIT.Q"), std::string("OBJ.X"),
              std::string("REMOVE EVALERT"), std::string("AGGRINT(0 -> 60)"), std::string("DELETE EVEMIT")})
            EXPECT_EQ(log.find(line), std::string::npos) << line << "\n" << log;
        // What was kept is what the next start finds.
        Zunt zunt(dir, "kept" + tag, runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        for (const auto &[shown, was] : last) EXPECT_EQ(everyReply(shown), was) << shown;
        for (const Row &row : rows(tag)) {
            SCOPED_TRACE(row.failed);
            const std::string shown = everyReply(row.shown);
            EXPECT_TRUE(row.unwanted.empty() || row.kept == row.failed ||
                        shown.find(row.unwanted) == std::string::npos)
                << shown;
            EXPECT_TRUE(row.keptShown.empty() || shown.find(row.keptShown) != std::string::npos)
                << row.kept << "\n"
                << shown;
            if (row.kept.empty()) {
                EXPECT_EQ(valuesOf(shown, row.fields), row.fields) << shown;
            }
        }
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
}

// 2009 breaks the connection: the reconnect loads memory again. The others keep it.
INSTANTIATE_TEST_SUITE_P(Reasons, FailedSaveQmTest, ::testing::Values("2009", "2019", "2024", "2102", "2053"),
                         [](const ::testing::TestParamInfo<const char *> &reason) {
                             return std::string(reason.param);
                         });

// A copy whose writes the data queue refuses part way answers failed and leaves its target as it
// found it: empty, also after the event unit that follows, and after a restart, with no change line;
// the same copy made again then fills the target.
class FailedCopyQmTest : public StoredQmTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(FailedCopyQmTest, AFailedCopyLeavesItsTargetEmpty) {
    const std::string reason = GetParam();
    storeEvents(60);
    std::string before, answer, shown, log;
    {
        Zunt zunt(dir, "copy", runOptions(), {kSmallBlobs});
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        ASSERT_EQ(command("DEFINE EVSTREAM(T1) TYPE(EVENTS)"), "AMQ8005: Stream defined successfully.\n");
        before = everyReply("DISPLAY EVSTRMST(T1) ALL");
        ASSERT_EQ(qm.tool("fault QM1 MQPUT " + reason + " --queue " + kDataQueue + " --count 1"), 0);
        emptyQueue("REPLY.Q");
        sendCommand(MQFMT_STRING, "COPY EVSTRMST($EVENTS) TARGET(T1)");
        for (std::optional<std::string> reply = nextReply(20000); reply; reply = nextReply(2000))
            answer += *reply + "|";
        shown = everyReply("DISPLAY EVSTRMST(T1) ALL");
        // The event unit after it stores nothing of the copy.
        for (int i = 0; i < 3; i++) putEvent();
        EXPECT_TRUE(drained(20000)) << undrained() << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        log = zunt.log();
    }
    EXPECT_EQ(answer.rfind("AMQ8426: Command transaction failed, please try again later|"),
              answer.size() - std::strlen("AMQ8426: Command transaction failed, please try again later|"))
        << answer;
    EXPECT_EQ(shown, before);
    EXPECT_EQ(log.find("COPY EVSTREAM"), std::string::npos) << log;
    Zunt zunt(dir, "again", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_EQ(everyReply("DISPLAY EVSTRMST(T1) ALL"), before);
    const int events = storedEvents();
    EXPECT_EQ(events, 63);
    emptyQueue("REPLY.Q");
    sendCommand(MQFMT_STRING, "COPY EVSTRMST($EVENTS) TARGET(T1)");
    std::string copied;
    for (std::optional<std::string> reply = nextReply(20000); reply; reply = nextReply(2000))
        copied += *reply;
    EXPECT_NE(copied.find("Stream copied successfully."), std::string::npos) << copied << zunt.out();
    const std::string target = command("DISPLAY EVSTRMST(T1) ALL");
    EXPECT_NE(target.find("ITEMS(" + std::to_string(events) + ")"), std::string::npos) << target;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

INSTANTIATE_TEST_SUITE_P(Reasons, FailedCopyQmTest, ::testing::Values("2019", "2024", "2102", "2053"),
                         [](const ::testing::TestParamInfo<const char *> &reason) {
                             return std::string(reason.param);
                         });

// A purge whose data-queue calls fail part way keeps the connection: the command is answered at
// once, DISPLAY EV answers right after with no reconnect, and what the purge removed is said, the
// streams shown as they then are, the same after a restart.
struct FailedPurge {
    const char *name, *fault, *command, *answer, *shown;
    friend void PrintTo(const FailedPurge &row, std::ostream *os) { *os << row.name; }
};
class FailedPurgeQmTest : public StoredQmTest, public ::testing::WithParamInterface<FailedPurge> {};

TEST_P(FailedPurgeQmTest, AFailedPurgeKeepsTheConnectionAndSaysWhatItDid) {
    const FailedPurge &row = GetParam();
    storeEvents(12);
    std::string answer, shown, ev, log;
    {
        Zunt zunt(dir, "purge", runOptions(), {kSmallBlobs});
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        ASSERT_EQ(command("DEFINE EVSTREAM(T1) TYPE(EVENTS)"), "AMQ8005: Stream defined successfully.\n");
        ASSERT_EQ(qm.tool(std::string("fault QM1 ") + row.fault + " --queue " + kDataQueue + " --count 1"),
                  0);
        emptyQueue("REPLY.Q");
        sendCommand(MQFMT_STRING, row.command);
        for (std::optional<std::string> reply = nextReply(10000); reply; reply = nextReply(500))
            answer += *reply + "|";
        ev = command("DISPLAY EV");
        shown = everyReply("DISPLAY EVSTRMST(*) ALL");
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        log = zunt.log();
    }
    EXPECT_EQ(answer, row.answer);
    EXPECT_EQ(ev.rfind("AMQ8409: Display ZUNT details.", 0), 0u) << ev;
    EXPECT_EQ(shown, row.shown);
    size_t connects = 0;
    for (size_t at = log.find("Connect 'QM1' complete"); at != std::string::npos;
         at = log.find("Connect 'QM1' complete", at + 1))
        connects++;
    EXPECT_EQ(connects, 1u) << log;
    Zunt zunt(dir, "after", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_EQ(everyReply("DISPLAY EVSTRMST(*) ALL"), row.shown);
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedPurgeQmTest,
    ::testing::Values(FailedPurge{"PurgePut", "MQPUT 2053", "PURGE EVSTRMST(*) EVQMGR(*) TYPE(ALL)",
                                  "AMQ8005: 12 events purged from 1 matching stream.|",
                                  "AMQ8147: No matching objects found"},
                      FailedPurge{"PurgeGet", "MQGET 2053", "PURGE EVSTRMST(*) EVQMGR(*) TYPE(ALL)",
                                  "AMQ8426: MQGET(DATA_QUEUE) failed with RC(2053) MQRC_Q_FULL|",
                                  "AMQ8409: Display ZUNT Stream details.\nEVSTRMST($EVENTS) EVQMGR(QM1) "
                                  "TYPE(EVENTS) DATAMSGS(1) AGGRMSGS(0) ITEMS(12) MEMORY(1) OLDEST(0) "},
                      FailedPurge{"RemovePut", "MQPUT 2053", "REMOVE EVQMGR(QM1) PURGE(YES)",
                                  "AMQ8005: Queue Manager removed successfully.\n|",
                                  "AMQ8147: No matching objects found"},
                      FailedPurge{"RemoveGet", "MQGET 2053", "REMOVE EVQMGR(QM1) PURGE(YES)",
                                  "AMQ8426: MQGET(DATA_QUEUE) failed with RC(2053) MQRC_Q_FULL|",
                                  "AMQ8409: Display ZUNT Stream details.\nEVSTRMST($EVENTS) EVQMGR(QM1) "
                                  "TYPE(EVENTS) DATAMSGS(1) AGGRMSGS(0) ITEMS(12) MEMORY(1) OLDEST(0) "}),
    [](const ::testing::TestParamInfo<FailedPurge> &row) { return std::string(row.param.name); });

// ---- A stored configuration naming the program's own queues ----

// What another application or an older version could have stored: the data queue as an event queue,
// the command queue as a forward queue, the data queue as DEADQ and as an emitter's QUEUE. The
// start opens none of them for those roles and says so; nothing on the data queue is taken or
// added, the messages each role would have moved stay where they are, and the configuration is
// kept as stored.
void ownQueuesStored() {
    EventQueueDef *data = evEventQueueAddDefault(kDataQueue);
    ASSERT_NE(data, nullptr);
    data->suspended = 0;
    EventQueueDef *config = evEventQueueAddDefault(pt::kConfigEvents);
    ASSERT_NE(config, nullptr);
    config->suspended = 0;
    EventQueueDef *perfm = evEventQueueAddDefault(eqm::kPerfmEvents);
    ASSERT_NE(perfm, nullptr);
    perfm->suspended = 0;
    std::snprintf(config->forwardQueue, sizeof config->forwardQueue, "%s", EV_COMMAND_QUEUE_NAME);
    std::snprintf(evSettings.deadQueue, sizeof evSettings.deadQueue, "%s", kDataQueue);
    evSettings.useDlq.store(EV_USEDLQ_IFAVAIL);
    EmitterDef *emitter = evCreateEmitterDef("OWN", -1);
    ASSERT_NE(emitter, nullptr);
    std::snprintf(emitter->queue, sizeof emitter->queue, "%s", kDataQueue);
    StreamDef *def = evStreamDefine(evSystemStreamName(STREAM_TYPE_EVENTS), -1, STREAM_TYPE_EVENTS, 0, 0);
    ASSERT_NE(def, nullptr);
    std::snprintf(def->evEmit, sizeof def->evEmit, "OWN");
}

TEST_F(StoredQmTest, AStoredConfigurationNamingOwnQueuesUsesNoneOfThem) {
    seed(ownQueuesStored);
    const size_t stored = browse(kDataQueue).size();
    putMessage(pt::kConfigEvents, MQFMT_STRING, "held with its queue");
    Zunt zunt(dir, "own", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    // The message that is no event stops its queue where it is; the event's own emission is refused.
    putMessage(eqm::kPerfmEvents, MQFMT_STRING, "not an event");
    putEvent();
    for (const char *said :
         {"Event queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue: not used.",
          "Forward queue 'HOLVA.ZUNT.COMMAND.QUEUE' is the program's own queue: not used.",
          "Dead Letter Queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue: not used.",
          "Emitter queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue: not used.",
          "Event queue 'SYSTEM.ADMIN.PERFM.EVENT' stopped: message"})
        EXPECT_TRUE(zunt.waitLog(said)) << zunt.log();
    EXPECT_EQ(depth(eqm::kPerfmEvents), 1);
    EXPECT_EQ(depth(pt::kConfigEvents), 1);
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
    const std::string queues = command("DISPLAY EVQ(*) ALL");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_NE(queues.find("EVQ(HOLVA.ZUNT.DATA.QUEUE)"), std::string::npos) << queues;
    EXPECT_NE(queues.find("FWDQ(HOLVA.ZUNT.COMMAND.QUEUE)"), std::string::npos) << queues;
    size_t foreign = 0;
    const std::vector<Browsed> after = browse(kDataQueue);
    for (const Browsed &b : after) {
        const std::string format(b.md.Format, MQ_FORMAT_LENGTH);
        foreign += format == MQFMT_EVENT || format == MQFMT_DEAD_LETTER_HEADER || format == MQFMT_STRING;
    }
    EXPECT_EQ(foreign, 0u);
    EXPECT_GE(after.size(), stored);
    EXPECT_EQ(storedOfKind(EV_DQ_KIND_CONFIG), 1u);
}

// ---- Record times: a future date does not hold back retention, a damaged one does not wrap ----

// A record dated a day or four minutes after its arrival (a queue manager's clock ahead, or a
// crafted event) expires as if dated when it came: the records stored before and after it go at
// their retention.
TEST_F(StoredQmTest, AFutureDatedRecordDoesNotHoldBackRetention) {
    seedRetention();
    Zunt zunt(dir, "future", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    MQHOBJ hobj = openQueue(pt::kQmgrEvents, MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT);
    auto putDated = [&](int64_t ahead) { putDatedEvent(hobj, evClockTick() + ahead); };
    for (const int64_t ahead : {0, 240, 0, 0, 0, 86400, 0, 0, 0, 0, 0, 0}) putDated(ahead);
    ASSERT_TRUE(drained()) << zunt.out();
    sleep(4);  // past the retention
    // Later events close the blobs of the first ones, and their sync points expire what is due.
    const int first = put.load();
    const int left = putUntilExpired(first, [&putDated] { putDated(0); });
    closeQueue(&hobj);
    EXPECT_LE(left, put.load() - first) << "the first events are still stored";
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_EQ(et::countOf(zunt.out(), "Stream '$EVENTS' took records dated after their arrival"), 1)
        << zunt.out();
}

// Events dated ten minutes after their arrival (a queue manager's clock ahead) and in 2099 (a
// crafted date): a time window around their own dates finds each once, in the closed blobs and in
// the current one, and again after a restart that loads blobs whose latest record dates were not
// stored (as an older version stored them).
TEST_F(StoredQmTest, ATimeWindowFindsEventsDatedAfterTheirArrival) {
    auto window = [](int64_t from, int64_t to) {
        auto local = [](int64_t when) {
            EvLocalTime f{};
            EXPECT_EQ(evLocalTimeFields(when, &f), 1);
            char text[64];
            std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour,
                          f.minute, f.second);
            return std::string(text);
        };
        return "DISPLAY EVENTS(*) FROM('" + local(from) + "') TO('" + local(to) + "') MAXRESP(999)";
    };
    const int64_t now = evClockTick();
    const int64_t crafted = 4084387200;  // 2099-06-06 00:00:00 UTC
    std::vector<std::string> ahead, late;
    auto expectFound = [&] {
        const std::string soon = allReplies(window(now + 590, now + 610));
        const std::string far = allReplies(window(crafted - 60, crafted + 60));
        for (const std::string &name : ahead) EXPECT_EQ(et::countOf(soon, name), 1) << name << soon;
        for (const std::string &name : late) EXPECT_EQ(et::countOf(far, name), 1) << name << far;
        EXPECT_EQ(et::countOf(soon, "K."), 5) << soon;
        EXPECT_EQ(et::countOf(far, "K."), 2) << far;
    };
    {
        Zunt zunt(dir, "ahead", runOptions(), {kSmallBlobs});
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        MQHOBJ hobj = openQueue(pt::kQmgrEvents, MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT);
        for (int i = 0; i < 3; i++) putDatedEvent(hobj, now);
        for (int i = 0; i < 5; i++) ahead.push_back(putDatedEvent(hobj, now + 600));
        for (int i = 0; i < 30; i++) putDatedEvent(hobj, now);  // closes the blobs of those ahead
        for (int i = 0; i < 2; i++) late.push_back(putDatedEvent(hobj, crafted));
        closeQueue(&hobj);
        ASSERT_TRUE(drained()) << zunt.out();
        expectFound();
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    // The stored blobs of events as an older version left them: no latest record date.
    int blobs = 0;
    for (const Browsed &b : browse(kDataQueue)) {
        if (mqiGetU32(b.md.CorrelId, 0) != BLOB_ID_MARK || mqiGetU32(b.md.CorrelId, 8) == 0) continue;
        std::string data = b.data;
        const size_t at = (mqiGetI64(b.md.CorrelId, 16) == 0 ? SH_BLOB : 0) + BH_LATEST;
        ASSERT_GE(data.size(), at + 8);
        data.replace(at, 8, 8, '\0');
        replace(b, data);
        blobs++;
    }
    EXPECT_GE(blobs, 3) << "closed blobs and the stream header";
    Zunt zunt(dir, "older", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    expectFound();
    zunt.term();
    ASSERT_EQ(zunt.wait(), 0) << zunt.out();
}

// A stored blob dated in 2100 (damaged, or stored while the clock ran ahead) counts as stored at the
// load, said once: it expires at its retention, and so do the blobs stored after it.
TEST_F(StoredQmTest, AStoredBlobDatedInTheFutureExpiresFromTheLoad) {
    seedRetention();
    storeEvents(40);
    // The oldest small blob of the events stream: its newest record dated 1 January 2100.
    std::optional<Browsed> oldest;
    for (const Browsed &b : browse(kDataQueue))
        if (blob(b.md.CorrelId, 1, false) &&
            (!oldest || mqiGetI64(b.md.CorrelId, 16) < mqiGetI64(oldest->md.CorrelId, 16)))
            oldest = b;
    ASSERT_TRUE(oldest.has_value());
    std::string data = oldest->data;
    mqiPutI64(reinterpret_cast<uint8_t *>(data.data()), 8, 4102444800);
    replace(*oldest, data);
    Zunt zunt(dir, "future", runOptions(), {kSmallBlobs});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    sleep(4);  // past the retention
    const int first = put.load();
    // Later events close blobs, and their sync points expire what is due.
    const int left = putUntilExpired(first, [this] { putEvent(); });
    EXPECT_LE(left, put.load() - first) << "the stored events are still there";
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_EQ(et::countOf(zunt.out(), "Stream '$EVENTS' has 1 blob(s) dated after the load"), 1)
        << zunt.out();
}

// A stored blob dated in 2100 is dated again from its records' own times, not as stored at the load
// (which would hold it and every blob behind it one more retention): the copy the next sync point
// writes back holds the times it had before the damage.
TEST_F(StoredQmTest, AStoredBlobDatedInTheFutureIsDatedFromItsRecords) {
    storeEvents(40);
    sleep(2);  // the load comes later than any record
    struct Row {
        const char *name;
        bool oldest;  // its oldest time damaged too
    };
    for (const Row &row : {Row{"newest", false}, Row{"newest and oldest", true}}) {
        SCOPED_TRACE(row.name);
        std::optional<Browsed> target = findStored([](const MQBYTE24 id) { return blob(id, 1, false); });
        ASSERT_TRUE(target.has_value());
        const auto *before = reinterpret_cast<const uint8_t *>(target->data.data());
        const int64_t newest = mqiGetI64(before, 8), oldest = mqiGetI64(before, 16);
        ASSERT_GT(newest, 0);
        std::string data = target->data;
        mqiPutI64(reinterpret_cast<uint8_t *>(data.data()), 8, 4102444800);
        if (row.oldest) mqiPutI64(reinterpret_cast<uint8_t *>(data.data()), 16, 4102444800);
        replace(*target, data);
        Zunt zunt(dir, "dated" + std::to_string(++runs), runOptions(), {kSmallBlobs});
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        putEvent();
        ASSERT_TRUE(drained()) << zunt.out();
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_EQ(et::countOf(zunt.out(), "Stream '$EVENTS' has 1 blob(s) dated after the load"), 1)
            << zunt.out();
        std::optional<Browsed> after = findStored(
            [&target](const MQBYTE24 id) { return std::memcmp(id, target->md.CorrelId, 24) == 0; });
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(mqiGetI64(reinterpret_cast<const uint8_t *>(after->data.data()), 8), newest);
        EXPECT_EQ(mqiGetI64(reinterpret_cast<const uint8_t *>(after->data.data()), 16), oldest);
    }
}

// Record times damaged in a stored blob: a copy of the stream neither overflows nor fails, and the
// stream's OLDEST never shows a negative age.
TEST_F(StoredQmTest, DamagedRecordTimesNeitherOverflowNorShowNegative) {
    storeEvents(30);
    std::optional<Browsed> target = findStored([](const MQBYTE24 id) { return blob(id, 1, false); });
    ASSERT_TRUE(target.has_value());
    std::string data = target->data;
    auto *bh = reinterpret_cast<uint8_t *>(data.data());
    BlobWalk walk;
    BlobEntry entry;
    evBlobWalkInit(&walk, bh, static_cast<uint32_t>(data.size()), 0);
    int64_t damaged = INT64_MIN + 3;
    int records = 0;
    while (evBlobWalkNext(&walk, &entry) > 0) {
        evCFSetEventTime(bh + entry.offset + ENTRY_PREFIX, damaged);
        damaged = damaged < 0 ? INT64_MAX - 3 : INT64_MIN + 3;
        records++;
    }
    ASSERT_GT(records, 1);
    // The blob header's own times, as the damage would leave them.
    mqiPutI64(bh, BH_OLDEST, INT64_MIN + 3);
    mqiPutI64(bh, BH_NEWEST, INT64_MAX - 3);
    replace(*target, data);
    Zunt zunt(dir, "times", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_NE(command("DEFINE EVSTREAM(T1) TYPE(EVENTS)").find("AMQ"), std::string::npos);
    sendCommand(MQFMT_STRING, "COPY EVSTRMST($EVENTS) TARGET(T1)");
    std::string copied;
    for (std::optional<std::string> reply = nextReply(20000); reply; reply = nextReply(2000))
        copied += *reply;
    EXPECT_NE(copied.find("Stream copied successfully."), std::string::npos) << copied << zunt.out();
    emptyQueue("REPLY.Q");
    sendCommand(MQFMT_STRING, "DISPLAY EVSTRMST(*) ALL");
    std::string shown;
    for (std::optional<std::string> reply = nextReply(10000); reply; reply = nextReply(1000)) shown += *reply;
    EXPECT_NE(shown.find("OLDEST("), std::string::npos) << shown;
    EXPECT_EQ(shown.find("OLDEST(-"), std::string::npos) << shown;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// A run that ended without disconnecting keeps its unit of work on the data queue open until the
// queue manager sees its connection gone. Here another connection has taken each events stream's
// header and put it back under sync point, as such a run does when it saves: the next start waits,
// saying why, leaves the attempt to the retry scheme when the hold outlasts its wait, loads once that
// unit is backed out, and loses none of the records either run stored.
TEST_F(StoredQmTest, AnotherConnectionsOpenUnitOnTheDataQueueHoldsTheLoadUntilItEnds) {
    storeEvents(30);
    MQHCONN other = connectTo("QM1");
    MQHOBJ queue = openQueue(kDataQueue, MQOO_INPUT_SHARED | MQOO_OUTPUT, nullptr, other);
    MQLONG cc = 0, rc = 0;
    int held = 0;
    for (const Browsed &b : browse(kDataQueue)) {
        const MQBYTE *id = b.md.CorrelId;
        if (mqiGetU32(id, 0) != BLOB_ID_MARK || mqiGetU32(id, 8) == 0 || mqiGetI64(id, 16) != 0) continue;
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.MsgId, b.md.MsgId, sizeof md.MsgId);
        std::memcpy(md.CorrelId, id, sizeof md.CorrelId);
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_SYNCPOINT;
        std::string data(b.data.size(), '\0');
        MQLONG length = 0;
        raw.MQGET(other, queue, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_SYNCPOINT;
        md = b.md;
        raw.MQPUT(other, queue, &md, &pmo, length, data.data(), &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
        held++;
    }
    ASSERT_GT(held, 0);

    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "5(10)"});
    Zunt zunt(dir, "held", options, {kSmallBlobs});
    const std::string waiting = "is open for input by 1 handle(s) besides ZUNT's own";
    EXPECT_TRUE(zunt.waitOut(waiting, 1, 30000)) << zunt.out();
    for (int i = 0; i < 12; i++) putEvent();
    sendCommand(MQFMT_STRING, "DISPLAY EV");  // waits unanswered for the start, as the README says
    // Held past the start's wait: the attempt ends naming the cause, and the next one waits again.
    EXPECT_TRUE(
        zunt.waitOut("(last failure: Data Queue 'QM1/HOLVA.ZUNT.DATA.QUEUE' is still open for input "
                     "by 1 handle(s) besides ZUNT's own",
                     1, 90000))
        << zunt.out();
    EXPECT_TRUE(zunt.waitOut(waiting, 2, 30000)) << zunt.out();
    raw.MQBACK(other, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE);
    closeQueue(&queue, other);
    raw.MQDISC(&other, &cc, &rc);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_NE(zunt.out().find("is no longer open elsewhere: loading"), std::string::npos) << zunt.out();
    const std::string answer = replyText(10000);
    EXPECT_NE(answer.find("AMQ8409"), std::string::npos) << answer << "\n" << zunt.out();
    ASSERT_TRUE(drained()) << zunt.out();
    zunt.term();
    ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_EQ(notOnce(drainAndReadBack()), "");
}

// ---- Counters: kept with the events they count ----

// The number in KEYWORD(n) of a reply; -1 when it is not there.
int shownCount(const std::string &reply, const std::string &keyword) {
    const size_t at = reply.find(" " + keyword + "(");
    return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + keyword.size() + 2);
}

// EVENTCT and its category are kept with the events they count: the start after an orderly end and
// the start after a kill -9 show every event stored before it, and EVENTS each run's own.
TEST_F(StoredQmTest, TheEventCountersSurviveAnEndAndAKill) {
    int stored = 0;
    const std::vector<const char *> ends = pt::kKillsSound ? std::vector<const char *>{"term", "kill", "last"}
                                                           : std::vector<const char *>{"term", "last"};
    for (const char *end : ends) {
        SCOPED_TRACE(end);
        Zunt zunt(dir, end, runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        // The queue manager is known from its first event on.
        const std::string before = command("DISPLAY EVQMGR(QM1) ALL");
        EXPECT_EQ(shownCount(before, "EVENTCT"), stored > 0 ? stored : -1) << before;
        EXPECT_EQ(shownCount(before, "LOCALCT"), stored > 0 ? stored : -1) << before;
        if (std::string(end) == "last") break;
        for (int i = 0; i < 40; i++) putEvent();
        stored += 40;
        // Committed: DISPLAY EV's EVENTS counts the events stored.
        ASSERT_TRUE(et::waitFor([&] { return shownCount(command("DISPLAY EV ALL"), "EVENTS") == 40; }))
            << command("DISPLAY EV ALL") << zunt.out();
        if (std::string(end) == "kill") {
            zunt.kill9();
            EXPECT_EQ(zunt.wait(), pt::kKilled);
        } else {
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        }
    }
}

// A command's save that breaks the connection (2009): the reload in place fails on it, and the
// reconnect loads memory again. The event queue keeps the counts of the two units it took before.
TEST_F(StoredQmTest, AReconnectAfterABrokenSaveKeepsTheQueueCounts) {
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "1(100)"});
    Zunt zunt(dir, "broken", options);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    const std::string display = std::string("DISPLAY EVQ(") + pt::kQmgrEvents + ") ALL";
    for (int unit = 1; unit <= 2; unit++) {
        putEvent();
        ASSERT_TRUE(et::waitFor([&] { return storedEvents() == unit; })) << zunt.out();
    }
    const std::string before = command(display);
    ASSERT_EQ(shownCount(before, "MSGS"), 2) << before;
    ASSERT_EQ(qm.tool("fault QM1 MQPUT 2009 --queue HOLVA.ZUNT.DATA.QUEUE --count 1"), 0);
    EXPECT_EQ(command("ALTER EV DESCR('z')"), "AMQ8426: Command transaction failed, please try again later")
        << zunt.out();
    EXPECT_TRUE(zunt.waitInitialised(2)) << zunt.log();
    const std::string after = command(display);
    EXPECT_EQ(shownCount(after, "MSGS"), 2) << after;
    EXPECT_EQ(shownCount(after, "EVENTCT"), 2) << after;
    EXPECT_NE(after.find(" LSTMSGTI("), std::string::npos) << after;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    // The refused save is said once.
    EXPECT_EQ(et::countOf(zunt.log(), "Error updating configuration RC(2009)"), 1) << zunt.log();
}

// The stored counters message copied back behind itself: the start takes the program's own, names
// the copy, and the next save removes it, so that no later start takes the stale copy first. A bit
// flipped in its reset time, or that time lowered as an older copy's would be: said damaged, and the
// counts its check values prove are kept. A message in the layout without check values is read as
// before. A bit flipped in a queue manager's counts: said, and that queue manager's counts are the
// configuration's, as its last change saved them.
TEST_F(StoredQmTest, AStoredCountersCopyIsNamedAndRemovedAndDamageSaid) {
    int stored = 0;
    auto counters = [this] {
        return findStored([](const MQBYTE24 id) { return id[0] == EV_DQ_KIND_COUNTERS; });
    };
    // The run's unit committed, not only its events taken off their queue: then one counters message
    // is stored (the copy removed by the run's save).
    auto committed = [&] { return storedOfKind(EV_DQ_KIND_COUNTERS) == 1 && storedEvents() == stored + 10; };
    // The count the configuration message carries: saved with a change of the configuration.
    int configured = -1;
    // shown: EVENTCT at the start (-1: the queue manager unknown); then (after a change of the
    // configuration, when asked) ten events more.
    auto run = [&](const char *name, const char *said, int shown, bool configure = false) {
        Zunt zunt(dir, name, runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_EQ(shownCount(command("DISPLAY EVQMGR(QM1) ALL"), "EVENTCT"), shown) << zunt.out();
        if (configure) {
            EXPECT_NE(command(std::string("ALTER EV DESCR('") + name + "')").find("AMQ8"), std::string::npos);
            configured = stored;
        }
        for (int i = 0; i < 10; i++) putEvent();
        ASSERT_TRUE(drained()) << zunt.out();
        ASSERT_TRUE(et::waitFor(committed)) << zunt.out();
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
        const bool storedLine = said != nullptr && std::string(said).rfind("Stored counters", 0) == 0;
        EXPECT_EQ(et::countOf(zunt.out(), "Stored counters"), storedLine ? 1 : 0) << zunt.out();
        if (said) {
            EXPECT_EQ(et::countOf(zunt.out(), said), 1) << zunt.out();
        }
        stored += 10;
    };
    auto bytes = [](std::string &data) { return reinterpret_cast<uint8_t *>(data.data()); };
    run("first", nullptr, -1);
    std::optional<Browsed> message = counters();
    ASSERT_TRUE(message.has_value());
    MQMD copy = message->md;
    std::memset(copy.MsgId, 0, sizeof copy.MsgId);
    putMessage(kDataQueue, copy, message->data);
    run("copied", "Duplicate counters message ignored", stored);
    EXPECT_EQ(storedOfKind(EV_DQ_KIND_COUNTERS), 1u);
    run("after the copy", nullptr, stored);
    message = counters();
    ASSERT_TRUE(message.has_value());
    std::string data = message->data;
    data[12 + 4] = static_cast<char>(data[12 + 4] ^ 0x01);
    replace(*message, data);
    run("flipped", "Stored counters damaged (RESETTI", stored);
    // Its time lowered by an hour, as a copy saved before the last reset would be: the queue manager
    // took it after that reset, so it is damaged all the same.
    message = counters();
    ASSERT_TRUE(message.has_value());
    data = message->data;
    mqiPutI64(bytes(data), 12, mqiGetI64(bytes(data), 12) - 3600);
    replace(*message, data);
    run("lowered", "Stored counters damaged (RESETTI", stored, true);
    // The layout without check values: version 1, the header's and each entry's check taken out.
    message = counters();
    ASSERT_TRUE(message.has_value());
    data = message->data;
    ASSERT_EQ(mqiGetU32(bytes(data), 0), 2u);
    const uint32_t entry = 48 + 4 * mqiGetU32(bytes(data), 8);
    std::string unchecked = data.substr(0, 20);
    mqiPutU32(bytes(unchecked), 0, 1);
    for (size_t at = 24; at + entry + 4 <= data.size(); at += entry + 4) unchecked += data.substr(at, entry);
    replace(*message, unchecked);
    run("unchecked", nullptr, stored);
    // EVENTCT of the one queue manager flipped.
    message = counters();
    ASSERT_TRUE(message.has_value());
    data = message->data;
    ASSERT_EQ(mqiGetU32(bytes(data), 0), 2u);
    data[24 + 48] = static_cast<char>(data[24 + 48] ^ 0x04);
    replace(*message, data);
    run("entry flipped", "Stored counters of queue manager 1 of 1 damaged", configured);
}

// Three storms' windows stored in segments of their own, then at the next start the middle storm's
// latest segment missing, or another number in its header, or the storm index missing: the start
// names the loss once and keeps the connection. A window stored after the last segment lost keeps its
// count (one record of EVREPEAT 15 when it ends); one stored before it or in it may have been counted
// on or ended there, and is dropped (its ten records only: no repeat stored twice). A segment put
// twice: the second copy is named once, every window kept, and the next save removes the copy, so
// that it stays behind as no stray. Without an index the segments left stored are read all the same
// (named once, every window kept), a new window's segment takes no number of one left stored, and the
// start after finds its count. An older index (listing a segment removed since and none of those stored
// after it) is named once, and the segments stored are read all the same.
TEST_F(StoredQmTest, ALostStormSegmentCostsOnlyTheWindowsItMayHaveChanged) {
    seed([] {
        evSettings.stormThreshold.store(10);
        evSettings.stormInterval.store(10);
    });
    // The stored storm segments in the order put (oldest first), each with its items' counts.
    auto segments = [this] {
        std::vector<std::pair<Browsed, std::vector<int32_t>>> out;
        for (const Browsed &b : browse(kDataQueue)) {
            if (b.md.CorrelId[0] != EV_DQ_KIND_STORMS || b.md.CorrelId[1] != 1 || b.data.size() < 16)
                continue;
            const auto *bytes = reinterpret_cast<const uint8_t *>(b.data.data());
            std::vector<int32_t> counts;
            for (uint32_t i = 0, at = 16; i < mqiGetU32(bytes, 4) && at + 12 <= b.data.size(); i++) {
                const bool item = mqiGetU32(bytes, at) == 1;
                if (item) counts.push_back(mqiGetI32(bytes, at + 12 + 72));
                at += 12 + (item ? mqiGetU32(bytes, at + 12) : 0);
            }
            out.emplace_back(b, counts);
        }
        return out;
    };
    // A storm of 25 taken in and committed: stored with its full count, the stored storms' total then.
    auto stormStored = [&](int total) {
        putStorm(own);
        return et::waitFor([&] {
            int full = 0;
            for (const auto &segment : segments())
                full += std::count(segment.second.begin(), segment.second.end(), 25);
            return full == total;
        });
    };
    struct Row {
        const char *damage, *said, *summary;
        std::vector<bool> kept;  // of the three storms
    };
    for (const Row &row : std::vector<Row>{
             {"doubled", "Stored storm segment", nullptr, {true, true, true}},
             {"missing", "Stored storm segment", "1 kept", {false, false, true}},
             {"foreign", "is damaged (CorrelId X'0501", "1 kept", {false, false, true}},
             {"index",
              "Stored storm index missing: its 3 segment(s) are read without it",
              nullptr,
              {true, true, true}},
             {"index doubled", "Duplicate storm index message ignored", nullptr, {true, true, true}},
             // The index saved after the first storm put back once that window has ended: it lists
             // the segment removed since and neither of the two stored after it.
             {"older",
              "Stored storm index is older than its segments: 2 segment(s) stored after it",
              nullptr,
              {true, true, true}},
         }) {
        SCOPED_TRACE(row.damage);
        const int first = storms.load() + 1;
        std::optional<Browsed> middle;
        auto stormIndex = [this] {
            return findStored([](const MQBYTE24 id) {
                return id[0] == EV_DQ_KIND_STORMS &&
                       std::all_of(id + 1, id + 24, [](MQBYTE b) { return b == 0; });
            });
        };
        std::optional<Browsed> before;
        int gone = 0, ended = 0;  // ended: windows that ended in the run, their segments removed
        {
            Zunt zunt(dir, std::string("storms ") + row.damage, runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            for (int total = 1; total <= 3; total++) {
                ASSERT_TRUE(stormStored(total - ended)) << zunt.out();
                if (total == 2) middle = segments().back().first;
                if (total == 1 && std::string(row.damage) == "older") {
                    // The index as it is now, and the window it lists ended (its repeat written) and
                    // its segment removed by the save after.
                    before = stormIndex();
                    ASSERT_TRUE(before.has_value());
                    ASSERT_TRUE(et::waitFor([&] {
                        for (const auto &segment : segments())
                            if (std::count(segment.second.begin(), segment.second.end(), 25) != 0)
                                return false;
                        return true;
                    })) << zunt.out();
                    ended = 1;
                }
            }
            zunt.term();
            ASSERT_EQ(zunt.wait(), 0) << zunt.out();
        }
        ASSERT_TRUE(middle.has_value());
        const bool indexDoubled = std::string(row.damage) == "index doubled";
        auto indexes = [this] {
            std::vector<Browsed> found;
            for (const Browsed &b : browse(kDataQueue))
                if (b.md.CorrelId[0] == EV_DQ_KIND_STORMS &&
                    std::all_of(b.md.CorrelId + 1, b.md.CorrelId + 24, [](MQBYTE c) { return c == 0; }))
                    found.push_back(b);
            return found;
        };
        if (indexDoubled) {
            const std::vector<Browsed> index = indexes();
            ASSERT_EQ(index.size(), 1u);
            MQMD copy = index[0].md;
            std::memset(copy.MsgId, 0, sizeof copy.MsgId);  // a MsgId of its own
            putMessage(kDataQueue, copy, index[0].data);
        } else if (std::string(row.damage) == "missing") {
            takeOff(kDataQueue, *middle);
        } else if (std::string(row.damage) == "doubled") {
            MQMD copy = middle->md;
            std::memset(copy.MsgId, 0, sizeof copy.MsgId);  // a MsgId of its own
            putMessage(kDataQueue, copy, middle->data);
        } else if (std::string(row.damage) == "foreign") {
            std::string data = middle->data;
            data[8] = static_cast<char>(data[8] + 1);
            replace(*middle, data);
        } else {
            const std::optional<Browsed> index = stormIndex();
            ASSERT_TRUE(index.has_value());
            takeOff(kDataQueue, *index);
            if (std::string(row.damage) == "older") {
                ASSERT_TRUE(before.has_value());
                putMessage(kDataQueue, before->md, before->data);
                // The segments it lists that the run removed.
                const auto *bytes = reinterpret_cast<const uint8_t *>(before->data.data());
                const auto stored = segments();
                for (uint32_t i = 0; i < mqiGetU32(bytes, 4) && 24 + 8 * (i + 1) <= before->data.size(); i++)
                    gone += std::none_of(stored.begin(), stored.end(), [&](const auto &segment) {
                        return mqiGetI64(segment.first.md.CorrelId, 2) == mqiGetI64(bytes, 24 + 8 * i);
                    });
                ASSERT_GT(gone, 0);
            }
        }
        {
            Zunt zunt(dir, std::string("after ") + row.damage, runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_NE(command("DISPLAY EVSTRMST(*)").find("AMQ"), std::string::npos) << zunt.out();
            if (row.summary) {
                EXPECT_TRUE(zunt.waitLog(row.summary)) << zunt.log();
            } else {
                // A new window, in a segment of its own beside the three left stored.
                ASSERT_TRUE(stormStored(4 - ended)) << zunt.out();
            }
            zunt.term();
            ASSERT_EQ(zunt.wait(), 0) << zunt.out();
            const std::string log = zunt.log();
            if (row.said) {
                EXPECT_EQ(et::countOf(log, row.said), 1) << log;
            }
            if (gone != 0) {
                EXPECT_EQ(
                    et::countOf(log, "read too, " + std::to_string(gone) + " it lists are no longer stored"),
                    1)
                    << log;
            }
            const bool doubled = std::string(row.damage) == "doubled";
            const bool single =
                doubled || std::string(row.damage) == "index" || std::string(row.damage) == "older";
            EXPECT_EQ(et::countOf(log, "Stored storm"), row.said && !indexDoubled ? (single ? 1 : 2) : 0)
                << log;
            EXPECT_EQ(zunt.out().find("Connection will be retried"), std::string::npos) << zunt.out();
            if (doubled) {
                EXPECT_EQ(et::countOf(log, "has a second copy: MsgId"), 1) << log;
                // The new window's save removed the copy: at most the segment itself is left.
                size_t copies = 0;
                for (const Browsed &b : browse(kDataQueue))
                    copies += std::memcmp(b.md.CorrelId, middle->md.CorrelId, MQ_CORREL_ID_LENGTH) == 0;
                EXPECT_LE(copies, 1u);
            }
            // The new window's save removed the copy: a stale index is never read first.
            if (indexDoubled) {
                EXPECT_EQ(indexes().size(), 1u);
            }
        }
        if (indexDoubled) {
            Zunt zunt(dir, "second start", runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_NE(command("DISPLAY EVSTRMST(*)").find("AMQ"), std::string::npos) << zunt.out();
            zunt.term();
            ASSERT_EQ(zunt.wait(), 0) << zunt.out();
            EXPECT_EQ(et::countOf(zunt.out(), "Duplicate storm index"), 0) << zunt.out();
            EXPECT_EQ(et::countOf(zunt.out(), "Stored storm"), 0) << zunt.out();
        }
        drainAndReadBack();
        for (int i = 0; i < 3; i++) {
            char name[16];
            std::snprintf(name, sizeof name, "S.%013d", first + i);
            // Ten single events and, where the window was kept, its repeat: in any order (the repeat
            // of a window read without its index takes a record id from the clock).
            std::vector<int> expected(10, 1);
            if (row.kept[i]) expected.push_back(15);
            std::vector<int> got = repeats[name];
            std::sort(got.begin(), got.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(got, expected) << name;
        }
        if (std::string(row.damage) == "index") {
            EXPECT_EQ(stormsNotSummed(first), "") << "the windows stored without an index";
        }
    }
}

// A batch backed out because the data queue refused a put (2053) is redelivered after the reconnect:
// EVENTS, EVENTCT and its category count each event once, as stored.
TEST_F(StoredQmTest, ABackedOutBatchIsNotCounted) {
    // One refused save: memory is loaded again in place, the connection kept. Two in a row: the
    // redelivered batch failing too ends the connection, and the reconnect takes it in.
    for (int refused : {1, 2}) {
        SCOPED_TRACE(refused);
        std::vector<std::string> options = runOptions();
        options.insert(options.end(), {"-r", "1(100)"});
        Zunt zunt(dir, "backout" + std::to_string(refused), options);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        ASSERT_EQ(qm.tool("fault QM1 MQPUT 2053 --count " + std::to_string(refused) +
                          " --queue HOLVA.ZUNT.DATA.QUEUE"),
                  0);
        putBurst(100, 100);  // one unit: set E takes them in as one batch
        ASSERT_TRUE(zunt.waitLog("Event unit backed out: the stored state was loaded again")) << zunt.log();
        ASSERT_TRUE(zunt.waitInitialised(refused)) << zunt.out();
        ASSERT_TRUE(drained()) << zunt.out();
        ASSERT_TRUE(et::waitFor(
            [&] { return shownCount(command("DISPLAY EVQMGR(QM1) ALL"), "EVENTCT") >= 100 * refused; }));
        ASSERT_NE(zunt.out().find("Rollback successful"), std::string::npos) << zunt.out();
        EXPECT_EQ(shownCount(command("DISPLAY EV ALL"), "EVENTS"), 100);  // this run's; the rest are stored
        const std::string qmgr = command("DISPLAY EVQMGR(QM1) ALL");
        EXPECT_EQ(shownCount(qmgr, "EVENTCT"), 100 * refused) << qmgr;
        EXPECT_EQ(shownCount(qmgr, "LOCALCT"), 100 * refused) << qmgr;
        EXPECT_EQ(storedEvents(), 100 * refused);
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_EQ(et::countOf(zunt.log(), "ZUNT Initialised"), refused) << zunt.log();
        EXPECT_EQ(et::countOf(zunt.log(), "Event unit backed out: the stored state was loaded again"), 1)
            << zunt.log();
    }
}

// Set E's MQCMIT refused: backed out by the queue manager (2003), left open (2195), or on a broken
// connection (2009). The unit backs out and memory is loaded again: each event of the batch is stored
// and counted once, after a reconnect only where the connection was broken, the refusal said once,
// and a command after it answered once.
class RefusedCommitQmTest : public StoredQmTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(RefusedCommitQmTest, ARefusedCommitOfAnEventUnitBacksOutAndCountsOnce) {
    const std::string reason = GetParam();
    const bool broken = reason == "2009";
    std::vector<std::string> options = runOptions();
    if (broken) options.insert(options.end(), {"-r", "1(100)"});
    Zunt zunt(dir, "commit" + reason, options);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    // The next commit of any connection: the program's set E takes these in, and the test's puts
    // are outside any unit.
    ASSERT_EQ(qm.tool("fault QM1 MQCMIT " + reason + " --count 1"), 0);
    for (int i = 0; i < 100; i++) putEvent();
    ASSERT_TRUE(zunt.waitLog("MQCMIT(QM1) failed RC(" + reason + ")")) << zunt.log();
    if (broken) {
        ASSERT_TRUE(zunt.waitInitialised(2)) << zunt.out();
    } else {
        ASSERT_TRUE(zunt.waitLog("Event unit backed out: the stored state was loaded again")) << zunt.log();
    }
    ASSERT_TRUE(drained()) << zunt.out();
    ASSERT_TRUE(et::waitFor([&] { return storedEvents() == 100; })) << storedEvents() << zunt.out();
    const std::string qmgr = command("DISPLAY EVQMGR(QM1) ALL");
    EXPECT_EQ(shownCount(qmgr, "EVENTCT"), 100) << qmgr;
    EXPECT_EQ(shownCount(qmgr, "LOCALCT"), 100) << qmgr;
    EXPECT_EQ(et::countOf(everyReply("ALTER EV DESCR('after the refusal')"), "AMQ8"), 1);
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    const std::string log = zunt.log();
    EXPECT_EQ(et::countOf(log, "MQCMIT(QM1) failed RC(" + reason + ")"), 1) << log;
    EXPECT_EQ(et::countOf(log, "ZUNT Initialised"), broken ? 2 : 1) << log;
    if (!broken) {
        EXPECT_EQ(et::countOf(log, "Connection will be retried"), 0) << log;
    }
    EXPECT_EQ(notOnce(drainAndReadBack()), "");
}

INSTANTIATE_TEST_SUITE_P(Reasons, RefusedCommitQmTest, ::testing::Values("2003", "2195", "2009"),
                         [](const ::testing::TestParamInfo<const char *> &reason) {
                             return std::string(reason.param);
                         });

// Stored messages of the program's own kinds (kind 0: the events stream's header) missing, doubled
// or foreign, the cases no test above tries: each start comes up and answers, names the damage once, and
// keeps all the rest. The run before stores an alert, ten events and their counters, then the
// configuration (which carries the count too). An older copy put back after a second run: an older
// configuration or alerts message is a sound one and loads as it is, without a word (the counters
// keep EVENTCT); a stream header older than its blobs is rebuilt from them, and a blob older than
// its header removed, so that no record a blob holds is lost or doubled.
struct StoredCell {
    const char *name;
    uint8_t kind;
    enum { Missing, Doubled, Foreign, Older } state;
    const char *said;  // the line, once; none: no line of the kind
    int eventCount;    // EVENTCT shown at the start
    bool alertKept;
    const char *save = nullptr;  // a command at the first start whose save replaces the kind's message
    int stored = 10;  // the records $EVENTS shows at the first start (-1: no such stream; kHeld: its blobs')
    const char *everyStart = nullptr;  // a line each start says once
    uint8_t alsoMissing = 0;           // a second kind taken off with it (0: none)
    // Older: a second run (small blobs in every run) gives this command, takes in kOlderEvents more
    // and stores the kind anew; then the copy of the first run's message is put back in its place.
    const char *newer = nullptr;
    friend void PrintTo(const StoredCell &cell, std::ostream *os) { *os << cell.name; }
};
class StoredCellQmTest : public StoredQmTest, public ::testing::WithParamInterface<StoredCell> {
public:
    static constexpr const char *kOlderBlobs = "ZUNT_STREAM=500,4";
    static constexpr int kOlderEvents = 30;
    static constexpr int kHeld = -2;
};

TEST_P(StoredCellQmTest, AStartOnItNamesItOnceAndKeepsTheRest) {
    const StoredCell &cell = GetParam();
    const bool older = cell.state == StoredCell::Older;
#ifdef _WIN32
    // Under wine the Windows build's run leaves small blob 1 of this stream unconsolidated, so there is
    // no older copy to put back; why it differs from the Linux build is not known yet.
    if (older && cell.kind == BLOB_ID_MARK) GTEST_SKIP() << "small blob 1 is not consolidated under wine";
#endif
    const std::vector<std::string> env =
        older ? std::vector<std::string>{kOlderBlobs} : std::vector<std::string>{};
    {
        Zunt zunt(dir, "store", runOptions(), env);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command("ADD EVALERT TEXT('kept alert') SEVERITY(WARN)").find("AMQ8"), std::string::npos);
        for (int i = 0; i < 10; i++) putEvent();
        ASSERT_TRUE(drained()) << zunt.out();
        ASSERT_TRUE(et::waitFor([&] {
            return storedEvents() == 10 && storedOfKind(EV_DQ_KIND_COUNTERS) == 1;
        })) << zunt.out();
        // Saved after the events, the configuration carries their count whatever way the run ends.
        EXPECT_NE(command("ALTER EV DESCR('stored')").find("AMQ8"), std::string::npos);
        zunt.term();
        ASSERT_EQ(zunt.wait(), 0) << zunt.out();
    }
    // kind 0: the header message of $EVENTS; BLOB_ID_MARK: its first small blob.
    std::optional<Browsed> mine = findStored([&cell](const MQBYTE24 id) {
        if (cell.kind == BLOB_ID_MARK) return blob(id, 1, false);
        return cell.kind != 0
                   ? id[0] == cell.kind
                   : mqiGetU32(id, 0) == BLOB_ID_MARK && mqiGetU32(id, 8) != 0 && mqiGetI64(id, 16) == 0;
    });
    ASSERT_TRUE(mine.has_value());
    int held = 0;  // the records the blob messages of $EVENTS hold, the one put back left out
    if (older) {
        {
            Zunt zunt(dir, "newer", runOptions(), env);
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            // One unit an event, however fast the machine: the small blobs fill and are consolidated
            // the same way everywhere.
            for (int i = 0; i < kOlderEvents; i++) {
                putEvent();
                ASSERT_TRUE(et::waitFor([&] { return storedEvents() == 10 + i + 1; })) << zunt.out();
            }
            if (cell.newer) {
                EXPECT_NE(command(cell.newer).find("AMQ8"), std::string::npos);
            }
            zunt.term();
            ASSERT_EQ(zunt.wait(), 0) << zunt.out();
        }
        // In place of its latest (a blob consolidated away meanwhile has none).
        std::optional<Browsed> latest = findStored([&mine](const MQBYTE24 id) {
            return std::memcmp(id, mine->md.CorrelId, MQ_CORREL_ID_LENGTH) == 0;
        });
        // A blob put back from before a consolidation: the run consolidated it away.
        if (cell.kind == BLOB_ID_MARK) {
            ASSERT_FALSE(latest.has_value()) << "small blob 1 was not consolidated";
        }
        if (latest) takeOff(kDataQueue, *latest);
        putMessage(kDataQueue, mine->md, mine->data);
        for (const Browsed &b : browse(kDataQueue))
            if (std::memcmp(b.md.CorrelId, mine->md.CorrelId, MQ_CORREL_ID_LENGTH) != 0 &&
                (blob(b.md.CorrelId, 1, false) || blob(b.md.CorrelId, 1, true)))
                held += static_cast<int>(mqiGetU32(reinterpret_cast<const uint8_t *>(b.data.data()), 44));
    } else if (cell.state == StoredCell::Missing) {
        takeOff(kDataQueue, *mine);
        if (cell.alsoMissing != 0) {
            std::optional<Browsed> other =
                findStored([&cell](const MQBYTE24 id) { return id[0] == cell.alsoMissing; });
            ASSERT_TRUE(other.has_value());
            takeOff(kDataQueue, *other);
        }
    } else if (cell.state == StoredCell::Doubled) {
        MQMD copy = mine->md;
        std::memset(copy.MsgId, 0, sizeof copy.MsgId);  // a MsgId of its own
        putMessage(kDataQueue, copy, mine->data);
    } else {
        // In front of the program's own.
        takeOff(kDataQueue, *mine);
        putForeign(cell.kind, MQFMT_STRING, "another application's");
        putMessage(kDataQueue, mine->md, mine->data);
    }
    // Two events taken in at the first start: kept with the rest, and stored where nothing stored
    // before is overwritten.
    const int added = 2;
    const int first = cell.stored == kHeld ? held : cell.stored;
    for (int start = 0; start < 2; start++) {
        SCOPED_TRACE(start);
        Zunt zunt(dir, "start" + std::to_string(start), runOptions(), env);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        // A queue manager no configuration knows yet is shown with its first event: none counted.
        EXPECT_EQ(std::max(shownCount(command("DISPLAY EVQMGR(QM1) ALL"), "EVENTCT"), 0),
                  cell.eventCount + (start == 0 ? 0 : added));
        EXPECT_EQ(command("DISPLAY EVALERT(*) ALL").find("kept alert") != std::string::npos, cell.alertKept);
        // The configuration's own settings go with it; an older one brings back its own.
        EXPECT_EQ(command("DISPLAY EV").find("DESCR(stored)") != std::string::npos,
                  cell.kind != EV_DQ_KIND_CONFIG || older);
        if (older && cell.kind == EV_DQ_KIND_ALERTS) {
            EXPECT_EQ(command("DISPLAY EVALERT(*) ALL").find("newer alert"), std::string::npos);
        }
        const int stored = start == 0 ? first : std::max(first, 0) + added;
        EXPECT_EQ(storedEvents(), stored);
        if (start == 0 && cell.save) {
            EXPECT_NE(command(cell.save).find("AMQ8"), std::string::npos);
        }
        if (start == 0) {
            // A default configuration holds its event queues suspended.
            if (cell.kind == EV_DQ_KIND_CONFIG && !older) {
                EXPECT_NE(command(std::string("RESUME EVQ(") + eqm::kQmgrEvents + ")").find("AMQ8"),
                          std::string::npos);
            }
            for (int i = 0; i < added; i++) putEvent();
            ASSERT_TRUE(drained()) << zunt.out();
            ASSERT_TRUE(et::waitFor([&] { return storedEvents() == std::max(first, 0) + added; }))
                << storedEvents() << zunt.out();
        }
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const std::string out = zunt.out();
        EXPECT_EQ(out.find("Connection will be retried"), std::string::npos) << out;
        // Named at the first start; a copy is gone by the second (the save removed it), a foreign
        // message is left alone and named again.
        if (cell.said) {
            EXPECT_EQ(et::countOf(out, cell.said), start == 0 || cell.state == StoredCell::Foreign ? 1 : 0)
                << out;
        }
        if (cell.everyStart) {
            EXPECT_EQ(et::countOf(out, cell.everyStart), 1) << out;
        }
        EXPECT_EQ(et::countOf(out, "Stored counters"), 0) << out;
    }
    // An older blob put back is gone (a later one may take its number): nothing is left that nothing
    // loads.
    if (older && cell.kind == BLOB_ID_MARK) {
        for (const Browsed &b : browse(kDataQueue)) EXPECT_NE(b.data, mine->data) << hex(b.md.CorrelId);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cells, StoredCellQmTest,
    // Without the configuration, its settings and the names of its streams are lost: the stored
    // $EVENTS (stream id 1 of queue manager number 1) is named and left as it is, and the stream defined
    // afresh stores under an id of its own.
    ::testing::Values(
        StoredCell{"ConfigurationMissing", EV_DQ_KIND_CONFIG, StoredCell::Missing,
                   "Stored configuration missing: a default configuration is made; the stored "
                   "counters and their RESETTI are taken with it.",
                   10, true, nullptr, -1,
                   "Stored stream id 1 (queue manager number 1) is not in the configuration: its "
                   "header and 0 blob message(s) are left on the queue, not loaded"},
        StoredCell{"ConfigurationAndCountersMissing", EV_DQ_KIND_CONFIG, StoredCell::Missing,
                   "Stored configuration missing: a default configuration is made; no stored counters "
                   "were found to take.",
                   0, true, nullptr, -1,
                   "Stored stream id 1 (queue manager number 1) is not in the configuration: its "
                   "header and 0 blob message(s) are left on the queue, not loaded",
                   EV_DQ_KIND_COUNTERS},
        StoredCell{"CountersMissing", EV_DQ_KIND_COUNTERS, StoredCell::Missing, nullptr, 10, true},
        StoredCell{"CountersForeign", EV_DQ_KIND_COUNTERS, StoredCell::Foreign,
                   "Foreign message under the counters key", 10, true},
        StoredCell{"AlertsMissing", EV_DQ_KIND_ALERTS, StoredCell::Missing, nullptr, 10, false},
        StoredCell{"AlertsDoubled", EV_DQ_KIND_ALERTS, StoredCell::Doubled, "Duplicate alert", 10, true,
                   "ADD EVALERT TEXT('saved again') SEVERITY(WARN)"},
        StoredCell{"StreamHeaderDoubled", 0, StoredCell::Doubled, "has a second copy: removed", 10, true,
                   nullptr},
        StoredCell{"ConfigurationOlder", EV_DQ_KIND_CONFIG, StoredCell::Older, nullptr, 40, true, nullptr, 40,
                   nullptr, 0, "ALTER EV DESCR('newer')"},
        StoredCell{"AlertsOlder", EV_DQ_KIND_ALERTS, StoredCell::Older, nullptr, 40, true, nullptr, 40,
                   nullptr, 0, "ADD EVALERT TEXT('newer alert') SEVERITY(WARN)"},
        StoredCell{"StreamHeaderOlder", 0, StoredCell::Older,
                   "Stream '$EVENTS' header is older than its blobs", 40, true, nullptr,
                   StoredCellQmTest::kHeld},
        StoredCell{"StreamBlobOlder", BLOB_ID_MARK, StoredCell::Older,
                   "Stream '$EVENTS' small blob 1 is older than its header, outside its range: removed", 40,
                   true, nullptr, 40}),
    [](const ::testing::TestParamInfo<StoredCell> &cell) { return std::string(cell.param.name); });

// ---- Alerts: published only once kept, their expiry kept as it happens ----

class AlertsKeptQmTest : public StoredQmTest {
protected:
    void SetUp() override {
        StoredQmTest::SetUp();
        MQSD sd = MQSD_DEFAULT;
        sd.Options = MQSO_CREATE | MQSO_MANAGED | MQSO_NON_DURABLE;
        sd.ObjectString.VSPtr = const_cast<char *>(EV_ALERT_TOPIC);
        sd.ObjectString.VSLength = static_cast<MQLONG>(std::strlen(EV_ALERT_TOPIC));
        MQLONG cc = 0, rc = 0;
        raw.MQSUB(own, &sd, &subscribed, &subscription, &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
    }
    // The next publication as "9021 #21 'text'", waiting at most ms; "none" when none came.
    std::string nextPublication(MQLONG ms = 0) {
        std::string data(65536, '\0');
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT | (ms > 0 ? MQGMO_WAIT : 0);
        gmo.WaitInterval = ms;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, subscribed, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc,
                  &rc);
        if (cc == MQCC_FAILED) return "none";
        auto *bytes = reinterpret_cast<uint8_t *>(data.data());
        // The message properties, when they come as an MQRFH2, go first.
        const int32_t at = data.compare(0, 4, "RFH ") == 0 ? mqiGetI32(bytes, 8) : 0;
        if (at < 0 || at + MQCFH_STRUC_LENGTH > length) return "short";
        PcfCursor cursor;
        MQPCFInitParser(&cursor, bytes + at, length - at, 0);
        std::string id, text;
        for (;;) {
            int32_t type = 0, parm = 0, valueLength = 0, count = 0, compCode = 0, reason = 0;
            void *value = nullptr;
            MQPCFGetNextParm(&cursor, &type, &parm, &value, &valueLength, &count, &compCode, &reason);
            if (compCode != MQCC_OK) break;
            if (parm == 39373) id = std::to_string(mqiGetI32(value, 0));  // EVALERT
            if (parm == 39374)
                text.assign(static_cast<const char *>(value), static_cast<size_t>(valueLength));
        }
        return std::to_string(mqiGetI32(bytes + at, offsetof(MQCFH, Command))) + " #" + id + " '" + text +
               "'";
    }
    // Every publication waiting now.
    std::vector<std::string> publications() {
        std::vector<std::string> all;
        for (std::string p = nextPublication(); p != "none"; p = nextPublication()) all.push_back(p);
        return all;
    }
    MQHOBJ subscribed = MQHO_NONE, subscription = MQHO_NONE;
};

// An addition whose unit backs out (the data queue refuses the alerts' put) is never published; the
// next addition is published once, under its own identifier.
TEST_F(AlertsKeptQmTest, AnAdditionBackedOutIsNeverPublished) {
    Zunt zunt(dir, "phantom", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    ASSERT_EQ(qm.tool("fault QM1 MQPUT 2053 --queue HOLVA.ZUNT.DATA.QUEUE --count 1"), 0);
    EXPECT_NE(command("ADD EVALERT TEXT('phantom one') SEVERITY(SEVERE)").find("Command transaction failed"),
              std::string::npos)
        << zunt.out();
    EXPECT_NE(command("ADD EVALERT TEXT('kept one') SEVERITY(SEVERE)").find("AMQ"), std::string::npos);
    const std::string kept = nextPublication(10000);
    EXPECT_EQ(kept.rfind("9021 #", 0), 0u) << kept;
    EXPECT_NE(kept.find("'kept one'"), std::string::npos) << kept;
    EXPECT_EQ(publications(), std::vector<std::string>{});
    EXPECT_EQ(command("DISPLAY EVALERT(*) ALL").find("phantom"), std::string::npos);
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// kill -9 while additions are taken in: every identifier published is published with one text only,
// and every publication tells of an alert the next start still has.
TEST_F(AlertsKeptQmTest, KilledAmidAdditionsPublishesOnlyWhatWasKept) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux only";
    std::mt19937 random(65);
    int sent = 0;
    for (int cycle = 0; cycle < 3; cycle++) {
        SCOPED_TRACE(cycle);
        for (int i = 0; i < 60; i++)
            putOn(own, "ADD EVALERT TEXT('command " + std::to_string(++sent) + "') SEVERITY(WARN)",
                  EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
        Zunt zunt(dir, "kill" + std::to_string(cycle), runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        usleep(std::uniform_int_distribution<useconds_t>(0, 300000)(random));
        zunt.kill9();
    }
    Zunt zunt(dir, "after", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    ASSERT_TRUE(drained()) << zunt.out();
    // Every reply of the display (one per alert, then its end), after those of the additions.
    const std::string listed = everyReply("DISPLAY EVALERT(*) ALL");
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    std::map<std::string, std::string> textOf;
    std::vector<std::string> all = publications();
    EXPECT_GT(all.size(), 0u);
    for (const std::string &p : all) {
        const size_t quote = p.find(" '");
        const std::string id = p.substr(0, quote), text = p.substr(quote + 1);
        auto [it, added] = textOf.emplace(id, text);
        EXPECT_TRUE(added || it->second == text) << id << " published as " << it->second << " and " << text;
        const std::string pair =
            "EVALERT(" + id.substr(id.find('#') + 1) + ") TEXT(" + text.substr(1, text.size() - 2) + ")";
        EXPECT_NE(listed.find(pair), std::string::npos) << p << " is not kept";
    }
}

// An alert's expiry is kept as it happens: after an orderly end or a kill -9, the next start neither
// brings it back nor removes and publishes it a second time.
TEST_F(AlertsKeptQmTest, AnExpiryIsKeptAcrossAnEndAndAKill) {
    for (const bool kill : {false, true}) {
        if (kill && !pt::kKillsSound) continue;  // kills of the program are checked on Linux only
        SCOPED_TRACE(kill ? "kill -9" : "SIGTERM");
        const std::string text = kill ? "expire me killed" : "expire me";
        {
            Zunt zunt(dir, std::string("expire") + (kill ? "9" : "15"), runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_NE(command("ADD EVALERT TEXT('" + text + "') SEVERITY(ERROR) RETINTVL(2)").find("AMQ"),
                      std::string::npos);
            EXPECT_NE(nextPublication(10000).find("9021"), std::string::npos);
            const std::string removed = nextPublication(15000);
            EXPECT_NE(removed.find("9014"), std::string::npos) << removed << zunt.out();
            if (kill) {
                zunt.kill9();
            } else {
                zunt.term();
                EXPECT_EQ(zunt.wait(), 0) << zunt.out();
            }
        }
        Zunt zunt(dir, std::string("again") + (kill ? "9" : "15"), runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        sleep(2);  // an alert loaded past its expiry would be removed at the next second
        EXPECT_EQ(command("DISPLAY EVALERT(*) ALL").find(text), std::string::npos);
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_EQ(zunt.log().find("REMOVE EVALERT"), std::string::npos) << zunt.log();
        EXPECT_EQ(publications(), std::vector<std::string>{});
    }
}

}  // namespace
