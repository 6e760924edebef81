// Summaries of compressed event records and the one-line event text built from them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqi/fake_xcnvc.h"
#include "mqi/mempool.h"

namespace {

// A compressed event record written with the record writer, its header set by hand.
struct EventRecord {
    MemStringPool mp;
    std::vector<uint8_t> buf = std::vector<uint8_t>(131072);
    evCFWriter w{};
    EventRecord(uint16_t command, uint32_t reason) {
        evCFWriterInit(&w, buf.data(), static_cast<uint32_t>(buf.size()), &mp.pool, 850);
        evCFSetCommand(buf.data(), command);
        evCFSetReason(buf.data(), reason);
    }
    void add(const evCFItem &item) {
        int32_t cc = 0, rc = 0;
        evCFAddParm(&w, &item, &cc, &rc);
        ASSERT_EQ(cc, 0) << rc;
    }
    EventRecord &integer(int32_t id, int32_t v) {
        evCFItem it{};
        it.type = MQCFT_INTEGER;
        it.parmId = id;
        it.value = v;
        add(it);
        return *this;
    }
    EventRecord &string(int32_t id, const std::string &text, uint32_t ccsid = 850) {
        evCFItem it{};
        it.type = MQCFT_STRING;
        it.parmId = id;
        it.ccsid = ccsid;
        it.data = text.data();
        it.length = static_cast<int32_t>(text.size());
        add(it);
        return *this;
    }
    EventRecord &group(int32_t id) {
        evCFItem it{};
        it.type = MQCFT_GROUP;
        it.parmId = id;
        add(it);
        return *this;
    }
    EventRecord &end(int32_t id) {
        evCFItem it{};
        it.type = PCF_TYPE_GROUP_END;
        it.parmId = id;
        add(it);
        return *this;
    }
    EventRecord &object(uint16_t type, const std::string &name, uint32_t ccsid = 850) {
        evCFSetObjectType(buf.data(), type);
        if (!name.empty())
            evCFSetObjectName(buf.data(), MemStringPool::intern(&mp, ccsid, name.data(),
                                                                static_cast<uint32_t>(name.size())));
        return *this;
    }
    size_t length() const { return w.length; }
};

// The summary of a record, released at the end of the scope.
struct Summary {
    Area *area;
    Summary(EventRecord &r) : area(evCFSummarise(&r.mp.pool, r.buf.data(), r.length())) {}
    Summary(EventRecord &r, size_t length) : area(evCFSummarise(&r.mp.pool, r.buf.data(), length)) {}
    ~Summary() { AreaRelease(&area); }
    Summary(const Summary &) = delete;
    Summary &operator=(const Summary &) = delete;
    PcfSummary *operator->() const { return pcfSummaryOf(area); }
};

std::string text(EventRecord &r, const MQIFunctionTable *table = nullptr) {
    Summary s(r);
    char out[EV_SUMMARY_LINE + 1];
    int n = evEventSummary(&r.mp.pool, r.buf.data(), r.length(), pcfSummaryOf(s.area), out, table, 1, 850);
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(out));
    EXPECT_LE(n, 128);
    return std::string(out, static_cast<size_t>(n));
}

// A configuration change event: object Q1 with the given halves.
EventRecord &change(EventRecord &r) {
    r.object(1, "Q1");
    r.string(3045, "mqm");
    return r;
}

}  // namespace

// The group a summary filed the first item of a parameter under.
static int32_t groupOf(const PcfSummary *s, int32_t parmId) {
    for (int i = 0; i < s->itemCount; ++i)
        if (s->items[i].parmId == parmId && s->items[i].type != MQCFT_GROUP) return s->items[i].groupId;
    return -1;
}

TEST(CFSummarise, CreateAndRefreshFileTopLevelItemsUnderAfter) {
    for (uint32_t reason : {2367u, 2370u}) {
        EventRecord r(43, reason);
        r.string(3045, "mqm").string(2016, "Q1").integer(15, 5000).integer(1011, 1);
        Summary s(r);
        ASSERT_EQ(s->itemCount, 4);
        EXPECT_EQ(s->category, 4000u);
        EXPECT_EQ(groupOf(s.operator->(), 3045), 8001) << reason;
        EXPECT_EQ(groupOf(s.operator->(), 1011), 8001);
        EXPECT_EQ(groupOf(s.operator->(), 2016), 39201);
        EXPECT_EQ(groupOf(s.operator->(), 15), 39201);
    }
}

TEST(CFSummarise, DeleteFilesTopLevelItemsUnderBefore) {
    EventRecord r(43, 2369);
    r.string(2016, "Q1").integer(15, 5000);
    Summary s(r);
    ASSERT_EQ(s->itemCount, 2);
    EXPECT_EQ(s->items[0].groupId, 39200);
    EXPECT_EQ(s->items[1].groupId, 39200);
}

TEST(CFSummarise, ChangeKeepsItsHalvesAndFilesTheContext) {
    EventRecord r(43, 2368);
    r.string(3045, "mqm").integer(1016, 1);
    r.group(39200).integer(15, 5000).end(39200);
    r.group(39201).integer(15, 6000).end(39201);
    Summary s(r);
    ASSERT_EQ(s->itemCount, 8);
    EXPECT_EQ(groupOf(s.operator->(), 3045), 8001);
    EXPECT_EQ(groupOf(s.operator->(), 1016), 0);  // no synthetic group in a change
    // One pass of swaps from [3045, 1016, BEFORE, 15, end, AFTER, 15, end].
    const int32_t order[] = {1016, 39200, 3045, 15, 39201, 39200, 15, 39201};
    const int32_t groups[] = {0, 0, 8001, 39200, 0, 39200, 39201, 39201};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(s->items[i].parmId, order[i]) << i;
        EXPECT_EQ(s->items[i].groupId, groups[i]) << i;
    }
}

TEST(CFSummarise, MakesExactlyOnePassOfNeighbourSwaps) {
    EventRecord r(43, 2367);
    r.string(2016, "A").integer(15, 1).string(3045, "mqm");  // after, after, context
    Summary s(r);
    ASSERT_EQ(s->itemCount, 3);
    EXPECT_EQ(s->items[0].parmId, 2016);  // one pass leaves it in front of the context item
    EXPECT_EQ(s->items[1].parmId, 3045);
    EXPECT_EQ(s->items[2].parmId, 15);
}

TEST(CFSummarise, KeysGoToTheirSlotsAndDamageKeepsWhatWasRead) {
    EventRecord r(45, 2224);
    r.string(3047, "QM1").string(2016, "APP.Q").integer(15, 5000);
    {
        Summary s(r);
        EXPECT_EQ(s->keyPresent, 1u);
        EXPECT_EQ(s->itemCount, 2);
        EXPECT_EQ(s->subtype, 8001u);
        EXPECT_EQ(s->status, 0);
        EXPECT_EQ(s->parameterCount, 3);
    }
    Summary cut(r, r.length() - 1);  // the last item runs past the end
    EXPECT_EQ(cut->itemCount, 1);
    EXPECT_NE(cut->status, 0);
    uint8_t tiny[8] = {};
    Area *a = evCFSummarise(nullptr, tiny, sizeof tiny);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(pcfSummaryOf(a)->status, 2071);
    EXPECT_EQ(pcfSummaryOf(a)->subtype, 100000u);
    AreaRelease(&a);
}

TEST(CFSummarise, StopsAppendingAfterAThousandItems) {
    EventRecord r(45, 2224);
    for (int i = 0; i < 1005; ++i) r.integer(15, i);
    Summary s(r);
    EXPECT_EQ(s->itemCount, 1000);
    EXPECT_EQ(s->truncated, 1u);
}

TEST(EventSummary, NamesTheEventAndItsObject) {
    EventRecord depth(45, 2224);
    depth.object(1, "APP.Q");
    EXPECT_EQ(text(depth), "Performance - Q Depth High - Queue:APP.Q");

    EventRecord define(97, 2412);
    define.object(1, "A.B").group(8001).integer(1021, 11).end(8001);
    EXPECT_EQ(text(define), "Command - Create Q - Queue:A.B");

    EventRecord odd(45, 2224);
    odd.object(77, "");
    EXPECT_EQ(text(odd), "Performance - Q Depth High - (77):");

    EventRecord unknownName(45, 2224);
    evCFSetObjectType(unknownName.buf.data(), 1);
    evCFSetObjectName(unknownName.buf.data(), 42);
    EXPECT_EQ(text(unknownName), "Performance - Q Depth High - Queue:<Not Present>");
}

TEST(EventSummary, CommandEventsWithoutARow) {
    EventRecord r(98, 2413);
    r.group(8001).integer(1021, 9999).end(8001);
    EXPECT_EQ(text(r), "Command:9999 Reason:2413");
    EventRecord none(77, 2999);
    evCFSetReason(none.buf.data(), 2999);
    EXPECT_EQ(text(none).rfind("Unknown", 0), 0u);
}

TEST(EventSummary, NotAuthorisedCommandNamesTheCommand) {
    EventRecord r(44, 2035);
    r.integer(1020, 4).integer(1021, 13);
    EXPECT_EQ(text(r), "Command not Auth - Inquire q");
}

TEST(EventSummary, LongNamesEndInDots) {
    EventRecord r(45, 2224);
    r.object(1, std::string(200, 'N'));
    std::string t = text(r);
    EXPECT_EQ(t.size(), 128u);
    EXPECT_EQ(t.substr(125), "...");
    EXPECT_EQ(t.rfind("Performance - Q Depth High - Queue:NNN", 0), 0u);
}

TEST(EventSummary, ConvertsNamesToCcsid850WhenItCan) {
    MQIFunctionTable t = fakexcnvc::table();
    EventRecord r(45, 2224);
    r.object(1, "A[B", 37);  // stand-in conversion to 850 copies, so the text survives
    EXPECT_EQ(text(r, &t), "Performance - Q Depth High - Queue:A[B");
    EventRecord failing(45, 2224);
    failing.object(1, "A.B", 7777);  // the conversion fails: copied as it is
    EXPECT_EQ(text(failing, &t), "Performance - Q Depth High - Queue:A.B");
    EXPECT_EQ(text(failing, nullptr), "Performance - Q Depth High - Queue:A.B");
}

TEST(EventSummary, ChangeListsShowWhatChanged) {
    EventRecord r(43, 2368);
    change(r).group(39200).string(2016, "Q1").integer(15, 5000).string(2013, "same").end(39200);
    r.group(39201).string(2016, "Q1").integer(15, 6000).string(2013, "same").end(39201);
    EXPECT_EQ(text(r), "Config - Change Object - Queue:Q1 - MAXDEPTH[5000 -> 6000]");

    EventRecord strings(43, 2368);
    change(strings).group(39200).string(2013, "old text").integer(4999, 1).end(39200);
    strings.group(39201).string(2013, "new text").integer(4999, 2).end(39201);
    EXPECT_EQ(text(strings),
              "Config - Change Object - Queue:Q1 - DESCR['old text' -> 'new text'] ATTR4999[1 -> 2]");
}

TEST(EventSummary, ChangeListsWithNothingToShow) {
    EventRecord unmatched(43, 2368);
    change(unmatched).group(39200).string(2013, "d").end(39200).group(39201).integer(15, 6000).end(39201);
    EXPECT_EQ(text(unmatched), "Config - Change Object - Queue:Q1 - No changes.");

    EventRecord noBefore(43, 2368);
    change(noBefore).group(39201).integer(15, 6000).end(39201);
    EXPECT_EQ(text(noBefore), "Config - Change Object - Queue:Q1 - ...");
}

TEST(EventSummary, LongChangeListsDropValuesThenStopWithinTheLine) {
    EventRecord r(43, 2368);
    change(r).group(39200);
    for (int id : {2013, 2008, 2012, 2019, 2023, 2029, 2119, 2124}) r.string(id, std::string(20, 'o'));
    r.end(39200).group(39201);
    for (int id : {2013, 2008, 2012, 2019, 2023, 2029, 2119, 2124}) r.string(id, std::string(20, 'n'));
    r.end(39201);
    std::string t = text(r);
    EXPECT_LE(t.size(), 128u);
    EXPECT_NE(t.find("DESCR['"), std::string::npos);  // the first still shows its values
    EXPECT_NE(t.find(" INITQ"), std::string::npos);
    EXPECT_EQ(t.find("INITQ["), std::string::npos);  // values dropped once they stop fitting
}

TEST(EventSummary, AFullLineStillEndsInsideItsBytes) {
    // Names long enough that the change list starts near the end of the line: whatever fits, the
    // text never passes 128 bytes, and " ..." after attributes always fits.
    for (size_t nameLength = 70; nameLength <= 126; ++nameLength) {
        EventRecord r(43, 2368);
        r.object(1, std::string(nameLength, 'Q'));
        r.group(39200).integer(15, 1).integer(4999, 1).integer(4998, 1).integer(4997, 1).end(39200);
        r.group(39201).integer(15, 2).integer(4999, 2).integer(4998, 2).integer(4997, 2).end(39201);
        std::string t = text(r);
        ASSERT_LE(t.size(), 128u) << nameLength;
        size_t dots = t.rfind(" ...");
        if (dots != std::string::npos && dots > 40) {
            EXPECT_EQ(dots + 4, t.size()) << nameLength;
        }
    }
}

TEST(FormatAttrValue, NamesValuesByTheirRows) {
    MemStringPool mp;
    uint32_t id = MemStringPool::intern(&mp, 850, "X.Y", 3);
    PcfSummaryItem item{};
    std::string out;
    item.type = MQCFT_INTEGER;
    item.parmId = 1011;
    item.value.i64 = 1;
    evFormatAttrValue(&mp.pool, evEventsParmById(1011), &item, &out);
    EXPECT_EQ(out, "CONSOLE");
    item.parmId = 1021;
    item.value.i64 = 13;
    evFormatAttrValue(&mp.pool, evEventsParmById(1021), &item, &out);
    EXPECT_EQ(out, "Inquire q");
    evFormatAttrValue(&mp.pool, nullptr, &item, &out);
    EXPECT_EQ(out, "13");
    item.type = EVCF_STRING_ID;
    item.value.i64 = id;
    evFormatAttrValue(&mp.pool, nullptr, &item, &out);
    EXPECT_EQ(out, "'X.Y'");
    item.value.i64 = 999;
    evFormatAttrValue(&mp.pool, nullptr, &item, &out);
    EXPECT_EQ(out, "'<Not Present>'");
    uint8_t ids[12] = {static_cast<uint8_t>(id), 0, 0, 0, 77, 0, 0, 0, 0, 0, 0, 0};
    item.type = EVCF_STRING_ID_LIST;
    item.count = 3;
    item.value.ptr = ids;
    evFormatAttrValue(&mp.pool, nullptr, &item, &out);
    EXPECT_EQ(out, "'X.Y','<Not Present>',''");  // id 0 in a list is a blank entry
    uint8_t values[8] = {1, 0, 0, 0, 4, 0, 0, 0};
    item.type = MQCFT_INTEGER_LIST;
    item.count = 2;
    item.parmId = 1016;
    item.value.ptr = values;
    evFormatAttrValue(&mp.pool, evEventsParmById(1016), &item, &out);
    EXPECT_EQ(out, "'QUEUE,STGCLASS'");
    item.type = MQCFT_BYTE_STRING;
    EXPECT_EQ(evFormatAttrValue(&mp.pool, nullptr, &item, &out), 0);
}
