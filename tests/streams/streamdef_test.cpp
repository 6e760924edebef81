// Stream definitions: defaults from the type's default stream, automatic definitions with their
// dated description, the sorted list, look-ups by name, type and id, deletion with its log line, and
// the runtime stream list of a queue manager.
#include <cstring>
#include <string>
#include <vector>

#include "streams/streamtest.h"

namespace {

using st::StreamTest;
using StreamDefs = StreamTest;

std::vector<std::string> listNames() {
    std::vector<std::string> names;
    for (StreamDef *d = evStreamDefList; d; d = d->next)
        names.push_back(std::string(d->name) + "/" + std::to_string(d->type));
    return names;
}

TEST_F(StreamDefs, AnAutomaticSystemStreamBecomesItsTypesDefault) {
    clock_.set(1767225600 + 1800);  // 2026-01-01 00:30 UTC
    zt::ScopedTZ tz("EST5");        // still 2025-12-31 locally
    StreamDef *def = evStreamDefine("$STATQ", -1, STREAM_TYPE_STATQ, 1, 0);
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->isDefault, 1u);
    EXPECT_EQ(def->retIntvl, 3888000u);
    EXPECT_EQ(def->disImplct, 1u);
    EXPECT_EQ(def->streamId, 1u);
    EXPECT_EQ(def->nameLength, 6);
    EXPECT_STREQ(def->descr, "Auto-defined on 2025-12-31");
    EXPECT_EQ(evConfigChanged.load(), 1);
    EXPECT_EQ(evDefaultStreamFind(STREAM_TYPE_STATQ, 0), def);
    // Defining it again returns it unchanged.
    evConfigChanged = 0;
    EXPECT_EQ(evStreamDefine("$STATQ", 6, STREAM_TYPE_STATQ, 0, 0), def);
    EXPECT_EQ(evConfigChanged.load(), 0);
}

TEST_F(StreamDefs, AUserStreamTakesTheDefaultsRetentionAndIsNotImplicit) {
    StreamDef *events = evStreamDefine("$EVENTS", -1, STREAM_TYPE_EVENTS, 1, 0);
    ASSERT_EQ(events->retIntvl, 7776000u);
    events->retIntvl = 1000;
    StreamDef *abc = evStreamDefine("ABC", -1, STREAM_TYPE_EVENTS, 0, 0);
    EXPECT_EQ(abc->retIntvl, 1000u);
    EXPECT_EQ(abc->disImplct, 0u);
    EXPECT_EQ(abc->isDefault, 0u);
    EXPECT_STREQ(abc->descr, "");
    StreamDef *autoDef = evStreamDefine("XYZ", -1, STREAM_TYPE_EVENTS, 1, 0);
    EXPECT_EQ(autoDef->disImplct, 1u);
    EXPECT_EQ(autoDef->isDefault, 0u);  // a second default is never made
    // Without a default, a user stream gets the built-in retention of its type.
    EXPECT_EQ(evStreamDefine("CHL", -1, STREAM_TYPE_STATCHL, 0, 0)->retIntvl, 3888000u);
    EXPECT_EQ(evStreamDefine("EV2", -1, STREAM_TYPE_EVENTS, 0, 0)->retIntvl, 1000u);
}

TEST_F(StreamDefs, LongNamesAreCutTo64Characters) {
    std::string name(70, 'N');
    StreamDef *def = evStreamDefine(name.c_str(), -1, 1, 0, 0);
    EXPECT_EQ(def->nameLength, 64);
    EXPECT_EQ(std::string(def->name), name.substr(0, 64));
    EXPECT_EQ(evStreamDefFind(name.c_str(), 70, 0, nullptr), nullptr);
    EXPECT_EQ(evStreamDefFind(name.c_str(), 64, 0, nullptr), def);
    EXPECT_EQ(evStreamDefDelete(name.c_str(), 1), 0);
}

TEST_F(StreamDefs, OneNameUnderTwoTypesIsAmbiguousWithoutAType) {
    StreamDef *one = evStreamDefine("SAME", -1, 1, 0, 0);
    StreamDef *two = evStreamDefine("SAME", -1, 2, 0, 0);
    ASSERT_NE(one, two);
    int ambiguous = -1;
    EXPECT_EQ(evStreamDefFind("SAME", -1, 0, &ambiguous), two);  // the later in list order
    EXPECT_EQ(ambiguous, 1);
    EXPECT_EQ(evStreamDefFind("SAME", 4, 1, &ambiguous), one);
    EXPECT_EQ(ambiguous, 0);
    EXPECT_EQ(evStreamDefFind("same", -1, 0, &ambiguous), nullptr);  // case matters
    EXPECT_EQ(evStreamDefFind("SAM", -1, 0, nullptr), nullptr);
}

TEST_F(StreamDefs, TheListIsSortedByNameAndEqualNamesFollowEarlierOnes) {
    ASSERT_NE(evStreamDefine("M", -1, 1, 0, 0), nullptr);
    ASSERT_NE(evStreamDefine("B", -1, 2, 0, 0), nullptr);
    ASSERT_NE(evStreamDefine("Z", -1, 1, 0, 0), nullptr);
    ASSERT_NE(evStreamDefine("B", -1, 1, 0, 0), nullptr);
    ASSERT_NE(evStreamDefine("$EVENTS", -1, 1, 0, 0), nullptr);
    EXPECT_EQ(listNames(), (std::vector<std::string>{"$EVENTS/1", "B/2", "B/1", "M/1", "Z/1"}));
}

TEST_F(StreamDefs, ExplicitIdsRaiseTheNextAutomaticId) {
    EXPECT_EQ(evStreamDefine("A", -1, 1, 0, 0)->streamId, 1u);
    EXPECT_EQ(evStreamDefine("B", -1, 1, 0, 40)->streamId, 40u);
    EXPECT_EQ(evStreamDefine("C", -1, 1, 0, 0)->streamId, 41u);
    EXPECT_EQ(evStreamDefine("D", -1, 1, 0, 7)->streamId, 7u);
    EXPECT_EQ(evStreamDefine("E", -1, 1, 0, 0)->streamId, 42u);
    EXPECT_EQ(evStreamDefFindById(40)->name, std::string("B"));
    EXPECT_EQ(evStreamDefFindById(99), nullptr);
}

TEST_F(StreamDefs, IdZeroIsTheStringPoolsBuiltInDefinition) {
    StreamDef *strings = evStreamDefFindById(0);
    ASSERT_NE(strings, nullptr);
    EXPECT_STREQ(strings->name, "$STRINGS");
    EXPECT_EQ(strings->type, STREAM_TYPE_STRINGS);
    EXPECT_EQ(evStreamDefList, nullptr);  // never listed
    EXPECT_EQ(evStreamDefFind("$STRINGS", -1, 0, nullptr), nullptr);
}

TEST_F(StreamDefs, TheDefaultIsMadeFromTheSystemStreamOnlyWhenAsked) {
    StreamDef *sys = evStreamDefine("$ACCTQ", -1, STREAM_TYPE_ACCTQ, 0, 0);  // not automatic: no default
    EXPECT_EQ(sys->isDefault, 0u);
    EXPECT_EQ(evDefaultStreamFind(STREAM_TYPE_ACCTQ, 0), nullptr);
    char name[STREAM_NAME_MAX + 1];
    evStreamDefaultName(name, STREAM_TYPE_STATMQI);
    EXPECT_STREQ(name, "$STATMQI");  // nothing defined: the system name
    evConfigChanged = 0;
    evStreamDefaultName(name, STREAM_TYPE_ACCTQ);
    EXPECT_STREQ(name, "$ACCTQ");
    EXPECT_EQ(sys->isDefault, 1u);
    EXPECT_EQ(evConfigChanged.load(), 1);
    sys->isDefault = 0;
    StreamDef *mine = evStreamDefine("MINE", -1, STREAM_TYPE_ACCTQ, 0, 0);
    mine->isDefault = 1;
    evStreamDefaultName(name, STREAM_TYPE_ACCTQ);
    EXPECT_STREQ(name, "MINE");
    EXPECT_STREQ(evSystemStreamName(0), "$EVENTS");
    EXPECT_STREQ(evSystemStreamName(6), "$ACCTMQI");
    EXPECT_STREQ(evSystemStreamName(7), "$EVENTS");
}

std::vector<std::string> pendingLines;
void collectLine(const char *text) {
    pendingLines.push_back(text);
}

TEST_F(StreamDefs, DeleteUnlinksTheDefinitionAndQueuesItsLogLine) {
    pendingLines.clear();
    EvStreamHooks hooks{};
    hooks.pendingLogLine = collectLine;
    evStreamSetHooks(&hooks);
    ASSERT_NE(evStreamDefine("S", -1, 1, 0, 0), nullptr);
    ASSERT_NE(evStreamDefine("S", -1, 2, 0, 0), nullptr);
    evConfigChanged = 0;
    EXPECT_EQ(evStreamDefDelete("S", 1), 1);
    EXPECT_EQ(pendingLines, std::vector<std::string>{"DELETE EVSTREAM('S')"});
    EXPECT_EQ(evConfigChanged.load(), 1);
    EXPECT_EQ(listNames(), std::vector<std::string>{"S/2"});
    EXPECT_EQ(evStreamDefDelete("S", 1), 0);
    EXPECT_EQ(pendingLines.size(), 1u);
}

// A queue manager as the configuration will hold it: stream storage sees only its list head.
struct FakeQmgr {
    Stream *streams = nullptr;
};
Stream **fakeList(QmgrEntry *qmgr) {
    return &reinterpret_cast<FakeQmgr *>(qmgr)->streams;
}

TEST_F(StreamDefs, RuntimeStreamsJoinTheirQueueManagersListByDefinitionName) {
    EvStreamHooks hooks{};
    hooks.qmgrStreamList = fakeList;
    evStreamSetHooks(&hooks);
    FakeQmgr qm;
    auto *qmgr = reinterpret_cast<QmgrEntry *>(&qm);
    for (const char *name : {"M", "B", "Z", "$EVENTS"})
        ASSERT_NE(evStreamCreate(qmgr, evStreamDefine(name, -1, 1, 0, 0)), nullptr);
    std::vector<std::string> order;
    for (Stream *s = qm.streams; s; s = s->next) {
        order.push_back(evStreamName(s));
        EXPECT_EQ(s->qmgr, qmgr);
        EXPECT_EQ(s->streamId, s->definition->streamId);
        EXPECT_EQ(mqiGetU32(evStreamMessage(s), SH_STREAM_ID), s->streamId);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"$EVENTS", "B", "M", "Z"}));
    while (Stream *s = qm.streams) {
        qm.streams = s->next;
        evStreamFree(s);
    }
}

}  // namespace
