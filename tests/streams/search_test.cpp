// Search of stored records: the time rules of events, statistics and aggregated records, the event
// filters in their order (WHERE through the real expression engine), the index linked by time with its
// limit, growth, cancel and storage failure, and the reply when no stream matched.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "expr/expr.h"
#include "streams/streamtest.h"

namespace st {
namespace {

constexpr int64_t kStart = 1000000, kEnd = 2000000;

// A record: header, item 1 holding its number, then string-id items {parameter id, string id}.
struct Rec {
    int32_t n;
    int64_t time;  // event time, or the interval end
    uint16_t flags = EVCF_FLAG_EVENT;
    int64_t intervalStart = 0;
    uint16_t objectType = 0;
    uint32_t object = 0;
    uint32_t user = 0;
    uint32_t reason = 0;
    std::vector<std::pair<uint16_t, uint32_t>> strings = {};
};

std::vector<uint8_t> build(const Rec &r) {
    std::vector<uint8_t> b(EVCF_HEADER_LENGTH, 0);
    evCFSetFlags(b.data(), r.flags);
    evCFSetCommand(b.data(), 44);
    evCFSetEventTime(b.data(), r.time);
    if (!(r.flags & EVCF_FLAG_EVENT)) evCFSetIntervalStart(b.data(), r.intervalStart);
    evCFSetObjectName(b.data(), r.object);
    evCFSetUserId(b.data(), r.user);
    evCFSetReason(b.data(), r.reason);
    evCFSetObjectType(b.data(), r.objectType);
    uint8_t item[7] = {EVCF_LEAD_INT, 1, 0};
    mqiPutI32(item, 3, r.n);
    b.insert(b.end(), item, item + 7);
    for (auto [parm, id] : r.strings) {
        uint8_t s[7] = {EVCF_LEAD_STRING, static_cast<uint8_t>(parm), static_cast<uint8_t>(parm >> 8)};
        mqiPutU32(s, 3, id);
        b.insert(b.end(), s, s + 7);
    }
    evCFSetItemCount(b.data(), static_cast<uint16_t>(1 + r.strings.size()));
    return b;
}

int32_t numberOf(const uint8_t *record) {
    return mqiGetI32(record, EVCF_HEADER_LENGTH + 3);
}

struct Replies {
    std::vector<std::pair<int32_t, std::string>> errors;
};
Replies replies;

class Search : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        ASSERT_NE(evStringsCreateStream(), nullptr);
        ASSERT_EQ(evStringsInit(0), 1);
        replies = Replies{};
        EvStreamHooks hooks{};
        hooks.errorReply = [](QmgrContext *, int32_t, int32_t reason, const char *text) {
            replies.errors.emplace_back(reason, text);
            return 1;
        };
        evStreamSetHooks(&hooks);
        query_.start = kStart;
        query_.end = kEnd;
        query_.maxResults = 1000;
    }
    void TearDown() override {
        evSearchFreeResults(&query_);
        if (where_) expFreeExpression(where_);
        CSSetMemFailHook(nullptr);
        StreamTest::TearDown();
    }
    static uint32_t intern(const char *text) {
        return evStringIntern(1, 850, text, static_cast<uint32_t>(std::strlen(text)), 0, nullptr);
    }
    // A stream of the type holding the records, appended in order by their time; matched over the
    // query's window.
    Stream *streamOf(const std::vector<Rec> &records, uint32_t type = STREAM_TYPE_EVENTS) {
        Stream *s = makeStream(type == STREAM_TYPE_EVENTS ? "E" : "Q", type);
        for (const Rec &r : records) {
            std::vector<uint8_t> b = build(r);
            EXPECT_NE(evStreamAdd(nullptr, s, b.data(), static_cast<uint32_t>(b.size()), r.time, nullptr),
                      nullptr);
        }
        matches_.push_back(EvSearchMatch{nullptr, s, kStart, kEnd});
        query_.matches = matches_.data();
        query_.matchCount = static_cast<uint32_t>(matches_.size());
        return s;
    }
    // The numbers of the accepted records, earliest first.
    std::vector<int32_t> taken() {
        std::vector<int32_t> out;
        if (!query_.index) return out;
        for (int32_t i = query_.index->head; i >= 0; i = query_.index->slots[i].later)
            out.push_back(numberOf(query_.index->slots[i].entry + ENTRY_PREFIX));
        return out;
    }
    std::vector<int32_t> search() {
        evSearchFreeResults(&query_);
        EXPECT_EQ(evSearchStreams(nullptr, &query_, 1), 1);
        std::vector<int32_t> t = taken();
        std::sort(t.begin(), t.end());
        return t;
    }

    EvSearchQuery query_{};
    std::vector<EvSearchMatch> matches_;
    ExpExpression *where_ = nullptr;
};

struct TimeCase {
    const char *what;
    uint32_t type;
    Rec record;
    int32_t intervalMode, exactWindow;
    bool taken;
};

TEST_F(Search, RecordsAreTakenByTheTimeRulesOfTheirKind) {
    constexpr uint16_t kAggr = EVCF_FLAG_AGGREGATED;
    const TimeCase cases[] = {
        {"event at the window end", 1, {1, kEnd}, 0, 0, false},
        {"event at the query start", 1, {1, kStart}, 0, 0, true},
        {"event before the query start", 1, {1, kStart - 1}, 0, 0, false},
        {"statistics ending at the window end", 2, {1, kEnd, 0, kEnd - 60}, 0, 0, true},
        {"statistics ending at the query start", 2, {1, kStart, 0, kStart - 60}, 0, 0, false},
        {"statistics ending at the query start, interval mode", 2, {1, kStart, 0, kStart - 60}, 1, 0, true},
        {"statistics ending after the query end, interval mode", 2, {1, kEnd + 1, 0, kEnd}, 1, 0, false},
        {"aggregated overlapping the window end", 2, {1, kEnd + 100, kAggr, kEnd - 100}, 0, 0, true},
        {"aggregated starting at the window end", 2, {1, kEnd + 100, kAggr, kEnd}, 0, 0, false},
        {"aggregated ending at the query start", 2, {1, kStart, kAggr, kStart - 100}, 0, 0, false},
        {"aggregated wider than the window, exact", 2, {1, kEnd + 100, kAggr, kStart - 100}, 0, 1, true},
        {"statistics of exactly the window, exact", 2, {1, kEnd, 0, kStart}, 0, 1, true},
        {"statistics inside the window, exact", 2, {1, kEnd - 60, 0, kStart}, 0, 1, false},
    };
    for (const TimeCase &c : cases) {
        SCOPED_TRACE(c.what);
        matches_.clear();
        streamOf({c.record}, c.type);
        query_.intervalMode = c.intervalMode;
        query_.exactWindow = c.exactWindow;
        EXPECT_EQ(search().size(), c.taken ? 1u : 0u);
    }
}

void setPattern(const char **field, uint32_t *length, const char *text) {
    *field = text;
    *length = static_cast<uint32_t>(std::strlen(text));
}

struct FilterCase {
    const char *what;
    void (*set)(EvSearchQuery *q);
    std::set<int32_t> taken;
};

// 1 command event; 2 object type 3; 3 reason 2016 (5000/5001); 4 reason 2051 (5000/5002); 5 reason 2001
// (6000/6001); 6 object "QUEUE.A"; 7 an object id the pool does not hold; 8 user "Alice"; 9 flag 4 with
// users "bob" (3025) and "carol" (3045), and "dave" under an id that names no user; 10 flag 4, no header
// user.
TEST_F(Search, EventFiltersApplyInTheirOrder) {
    uint32_t queueA = intern("QUEUE.A"), alice = intern("Alice"), bob = intern("bob"),
             carol = intern("carol"), dave = intern("dave");
    constexpr uint16_t kMulti = EVCF_FLAG_EVENT | EVCF_FLAG_MULTI_USER;
    streamOf({
        {1, kStart + 1, EVCF_FLAG_EVENT | EVCF_FLAG_INQUIRE},
        {2, kStart + 2, EVCF_FLAG_EVENT, 0, 3},
        {3, kStart + 3, EVCF_FLAG_EVENT, 0, 0, 0, 0, 2016},
        {4, kStart + 4, EVCF_FLAG_EVENT, 0, 0, 0, 0, 2051},
        {5, kStart + 5, EVCF_FLAG_EVENT, 0, 0, 0, 0, 2001},
        {6, kStart + 6, EVCF_FLAG_EVENT, 0, 0, queueA},
        {7, kStart + 7, EVCF_FLAG_EVENT, 0, 0, 99999},
        {8, kStart + 8, EVCF_FLAG_EVENT, 0, 0, 0, alice},
        {9, kStart + 9, kMulti, 0, 0, 0, bob, 0, {{3025, bob}, {3045, carol}, {2016, dave}}},
        {10, kStart + 10, kMulti, 0, 0, 0, 0, 0, {{3025, bob}}},
    });
    const FilterCase cases[] = {
        {"none: command events hidden", [](EvSearchQuery *) {}, {2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"command events shown",
         [](EvSearchQuery *q) { q->displayCommands = 1; },
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"object type", [](EvSearchQuery *q) { q->objectType = 3; }, {2}},
        {"first type filter: subtype", [](EvSearchQuery *q) { q->typeFilter[0] = 5001; }, {3}},
        {"first type filter: category", [](EvSearchQuery *q) { q->typeFilter[0] = 5000; }, {3, 4}},
        {"second type filter: category", [](EvSearchQuery *q) { q->typeFilter[1] = 6000; }, {5}},
        {"both type filters",
         [](EvSearchQuery *q) { q->typeFilter[0] = 5002, q->typeFilter[1] = 5000; },
         {4}},
        {"object pattern keeps case",
         [](EvSearchQuery *q) { setPattern(&q->objectPattern, &q->objectPatternLength, "queue.*"); },
         {}},
        {"object pattern",
         [](EvSearchQuery *q) { setPattern(&q->objectPattern, &q->objectPatternLength, "QUEUE.*"); },
         {6}},
        {"unknown object id",
         [](EvSearchQuery *q) { setPattern(&q->objectPattern, &q->objectPatternLength, "<Not Present>"); },
         {2, 3, 4, 5, 7, 8, 9, 10}},
        {"header user ignoring case",
         [](EvSearchQuery *q) { setPattern(&q->userPattern, &q->userPatternLength, "ALICE"); },
         {8}},
        {"the second user id of a record with several",
         [](EvSearchQuery *q) { setPattern(&q->userPattern, &q->userPatternLength, "CAR*"); },
         {9}},
        {"an id that names no user",
         [](EvSearchQuery *q) { setPattern(&q->userPattern, &q->userPatternLength, "dave"); },
         {}},
    };
    for (const FilterCase &c : cases) {
        SCOPED_TRACE(c.what);
        EvSearchQuery fresh{};
        fresh.start = kStart;
        fresh.end = kEnd;
        fresh.maxResults = 1000;
        fresh.matches = matches_.data();
        fresh.matchCount = 1;
        c.set(&fresh);
        evSearchFreeResults(&query_);
        query_ = fresh;
        std::vector<int32_t> t = search();
        EXPECT_EQ(std::set<int32_t>(t.begin(), t.end()), c.taken);
    }
    std::vector<uint8_t> shortRecord(31, 0);
    query_.userPattern = "*";
    query_.userPatternLength = 1;
    EXPECT_EQ(evMatchRecordName(&query_, shortRecord.data(), 31), 0);
}

// WHERE's variable v stands for what each record's number names, read through the query's current record.
EvSearchQuery *whereQuery;
int whereEvaluations;
int resolveV(ExpExpression *e, ExpValue *, ExpValue *, ExpValue *result) {
    whereEvaluations++;
    static char text[] = "x";
    const char *a = "a", *empty = "";
    size_t one = 1, none = 0;
    switch (numberOf(whereQuery->record)) {
        case 1:
            expSetInt(result, 2);
            return 1;
        case 2:
            expSetDouble(result, 0.5);
            return 1;
        case 3:
            expSetString(result, EXP_STR, text, 1);
            return 1;
        case 4:
            return expSetError(e, 0, "no value");
        case 5:
            return expMakeList(result, 1, &a, &one);
        default:
            return expMakeList(result, 1, &empty, &none);
    }
}

TEST_F(Search, WhereTakesNonZeroNumbersAndListsWithACharacterOnly) {
    streamOf({{1, kStart + 1},
              {2, kStart + 2},
              {3, kStart + 3},
              {4, kStart + 4},
              {5, kStart + 5},
              {6, kStart + 6},
              {7, kStart + 7, EVCF_FLAG_EVENT, 0, 3}});
    char *error = nullptr;
    where_ = expParseExpression("v", -1, 0, EXP_PARSE_NO_TRIAL, expFilterOperatorTable, resolveV, nullptr,
                                nullptr, &error);
    ASSERT_NE(where_, nullptr) << (error ? error : "");
    whereQuery = &query_;
    query_.where = where_;
    query_.objectType = 0;
    EXPECT_EQ(search(), (std::vector<int32_t>{1, 5}));
    // WHERE runs only on what the object type let through, and the match callback only on what WHERE took.
    static int calls;
    calls = 0;
    whereEvaluations = 0;
    query_.objectType = 3;
    query_.match = [](EvSearchQuery *, const uint8_t *, uint32_t) { return ++calls, 1; };
    EXPECT_EQ(search(), (std::vector<int32_t>{}));
    EXPECT_EQ(whereEvaluations, 1);
    EXPECT_EQ(calls, 0);
}

TEST_F(Search, TheSixthMatchOfFiveFillsTheIndexAndEndsTheWalk) {
    std::vector<Rec> records;
    for (int32_t n = 1; n <= 8; n++) records.push_back({n, kStart + n});
    streamOf(records);
    static int calls;
    calls = 0;
    query_.match = [](EvSearchQuery *, const uint8_t *, uint32_t) { return ++calls, 1; };
    query_.maxResults = 5;
    EXPECT_EQ(search(), (std::vector<int32_t>{4, 5, 6, 7, 8}));  // newest first
    EXPECT_EQ(query_.full, 1);
    EXPECT_EQ(calls, 6);
}

TEST_F(Search, TheIndexLinksByTimeAndPutsTheLaterMetOfEqualTimesFirst) {
    uint8_t entries[6][16] = {};
    int64_t times[] = {10, 30, 20, 20, 5, 40};
    for (int i = 0; i < 6; i++) ASSERT_EQ(evSearchAddResult(&query_, entries[i], times[i]), 1);
    std::vector<int> order;
    for (int32_t i = query_.index->head; i >= 0; i = query_.index->slots[i].later)
        order.push_back(static_cast<int>(query_.index->slots[i].entry - entries[0]) / 16);
    EXPECT_EQ(order, (std::vector<int>{4, 0, 3, 2, 1, 5}));
    std::vector<int> back;
    for (int32_t i = query_.index->tail; i >= 0; i = query_.index->slots[i].earlier)
        back.push_back(static_cast<int>(query_.index->slots[i].entry - entries[0]) / 16);
    EXPECT_EQ(back, (std::vector<int>{5, 1, 2, 3, 0, 4}));
}

TEST_F(Search, TheIndexStartsAtAHundredAndDoublesUpToTheLimit) {
    struct Case {
        uint32_t first, max;
        std::vector<uint32_t> capacities;  // after 1, 101, 201 ... insertions up to max
    };
    const Case cases[] = {{0, 1000, {100, 200, 400, 400, 800}},
                          {150, 1000, {150, 150, 300, 600, 600}},
                          {0, 250, {100, 200, 250}}};
    uint8_t entry[16] = {};
    for (const Case &c : cases) {
        evSearchFreeResults(&query_);
        query_.firstCapacity = c.first;
        query_.maxResults = c.max;
        std::vector<uint32_t> seen;
        for (uint32_t n = 1; n <= 401 && n <= c.max; n++) {
            ASSERT_EQ(evSearchAddResult(&query_, entry, n), 1);
            if (n % 100 == 1) seen.push_back(query_.index->capacity);
        }
        EXPECT_EQ(seen, c.capacities) << c.first << " " << c.max;
    }
    EXPECT_EQ(evSearchAddResult(&query_, entry, 1), 0);  // 251 of 250
    EXPECT_EQ(query_.full, 1);
}

TEST_F(Search, ACancelStopsTheWalk) {
    std::vector<Rec> records;
    for (int32_t n = 1; n <= 8; n++) records.push_back({n, kStart + n});
    streamOf(records);
    static std::atomic<int32_t> cancel;
    static int calls;
    cancel = 0;
    calls = 0;
    query_.cancel[1] = &cancel;
    query_.match = [](EvSearchQuery *, const uint8_t *, uint32_t) {
        if (++calls == 3) cancel = 1;
        return 1;
    };
    EXPECT_EQ(evSearchStreams(nullptr, &query_, 1), 0);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(taken().size(), 2u);
}

TEST_F(Search, NoStorageForTheIndexIsAnsweredWith2071) {
    streamOf({{1, kStart + 1}});
    CSSetMemFailHook([](uint64_t size) { return size >= 100 * sizeof(EvSearchSlot); });
    EXPECT_EQ(evSearchStreams(nullptr, &query_, 1), 0);
    CSSetMemFailHook(nullptr);
    ASSERT_EQ(replies.errors.size(), 1u);
    EXPECT_EQ(replies.errors[0], (std::pair<int32_t, std::string>{2071, "No storage available."}));
}

TEST_F(Search, NoStreamsReplyNamesTheKindAndWhetherImplicitStreamsExist) {
    evStreamDefine("E", -1, STREAM_TYPE_EVENTS, 0, 0)->disImplct = 0;
    evStreamDefine("Q", -1, STREAM_TYPE_STATQ, 0, 0)->disImplct = 1;
    struct Case {
        int32_t command;
        const char *filter;
        const char *text;
    };
    const Case cases[] = {
        {9004, nullptr, "No implicit display event streams found."},
        {9004, "*", "No implicit display event streams found."},
        {9004, "E*", "No matching event streams found."},
        {9023, nullptr, "No matching statistics queue streams found."},
        {9023, "Q*", "No matching statistics queue streams found."},
        {9027, "", "No implicit display accounting mqi streams found."},
        {9099, nullptr, "No matching streams found."},
    };
    for (const Case &c : cases) {
        replies = Replies{};
        EXPECT_EQ(evNoStreamsReply(nullptr, c.command, c.filter), 1);
        ASSERT_EQ(replies.errors.size(), 1u);
        EXPECT_EQ(replies.errors[0], (std::pair<int32_t, std::string>{2085, c.text}));
    }
}

}  // namespace
}  // namespace st
