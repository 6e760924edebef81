// DISPLAY STATQ, STATCHL and STATMQI: one loop for the statistics displays (a queue statistics record
// holds one object per portion, an MQI statistics record is one whole record). A family is a row (its
// command, record family, filters, lists, SUM keys and response order); the loop reads its parameters,
// matches streams of one queue manager, reads the records of the active bins and of the stored blobs within
// the window through the name filters, PREWHERE and WHERE, lists or sums them, and answers one response per
// entry.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stats/aggr.h"

namespace {

constexpr int32_t kValueError = MQRCCF_PARM_VALUE_ERROR;
constexpr int32_t kAll = 1009;
constexpr int32_t kWhereId = 39300;
constexpr int32_t kPrewhereId = 39410;
constexpr int32_t kQmgrId = 39340;
constexpr int32_t kStreamNameId = 39301;
constexpr int32_t kStartId = 39398;
constexpr int32_t kEndId = 39399;
constexpr int32_t kIntervalsId = 39401;
constexpr int32_t kTitleId = 39431;
constexpr int32_t kTitleIndexId = 39432;
constexpr uint32_t kMatchSize = 56;  // "MATCHAREA" bytes per stream
constexpr uint32_t kMaxBins = 4096;

// A name filter of a family: its parameter, the record's field, how it matches.
struct NameFilter {
    int32_t id;
    int32_t maximum;
    bool mqName;           // MQ name characters and wildcards (else printable, blanks trimmed)
    bool ignoreCase;       // matched without regard to case
    uint32_t keyBit;       // the key bit that sums by this name; 0: none
    bool several;          // a wildcard under that key makes several keys
    bool version = false;  // a dotted version, matched in its pattern form
};

// A key of the accounting families that is not a name: the field compared under its key bit.
struct IdKey {
    uint32_t keyBit;
    int32_t id;
};

// What a response row writes.
enum class Out : uint8_t {
    Value,           // the field through its width, mixed 32-bit values as "*"
    Present,         // as Value, but a 0 too whatever ZEROVALS says: left out only when unset
    Name,            // a string field; mixed: the filter as given
    StreamName,      // the record's stream
    StreamOrFilter,  // the record's stream; summed over streams: the stream filter, or "*"
    Bytes,           // a byte string; mixed: the string "*"
    Counters,        // every counter of the family in record order, those named elsewhere aside
    QmgrName,        // the queue manager of the command
    Start,           // the interval start (one second earlier unless SUM(NONE) or INTVL)
    Intervals,       // (end - start) / stored interval
    Average64,       // sum / count as MQCFIN64; left out without a count
    Average32,       // sum / count as MQCFIN; 0 without a count
};
struct RespRow {
    int32_t id;
    Out out;
    int32_t countId;  // averages: their count field
};

struct DisplayFamily {
    uint32_t command;
    const StatsFamily *family;
    int32_t listId;
    const uint32_t *defaults;     // the requested list when none is given
    const uint32_t *identifying;  // sent whatever the list
    const StatsSumKey *sums;
    uint32_t defaultKeys;
    uint32_t streamKey;       // the key bit of SUM(STREAM)
    const char *missingText;  // an object filter not given, when it must be
    const NameFilter *filters;
    uint32_t filterCount;  // the first is the object; none: the family has no object
    const RespRow *keys;   // the rows a COLLATE title replaces
    uint32_t keyCount;
    const RespRow *rows;  // the rest, in order
    uint32_t rowCount;
    bool emptyListPasses = false;     // a given list without attributes asks for every record
    bool givenKeysOnly = false;       // only keys a SUM() gives make a wildcard filter several keys
    bool byEndOnly = false;           // key sums are answered newest first, whatever their names
    const char *emptyText = nullptr;  // an empty object filter: missing, with this text
    const char *severalText = "Can not use GAPFILL when requesting multiple object keys";
    int32_t severalId = 39400;    // the parameter that refusal names
    bool objectRequired = false;  // the object filter must be given
    bool identity = false;        // takes CONNID, PID, TID and SEQNUM filters
    const IdKey *idKeys = nullptr;
    uint32_t idKeyCount = 0;
    EvSearchMatchFn prefilter = nullptr;  // a stored record's test before it is read; object filters only
};

// Stored records whose object cannot match are passed over before they are read (defined below).
int acctQPrefilter(EvSearchQuery *search, const uint8_t *record, uint32_t length);
int acctMQIPrefilter(EvSearchQuery *search, const uint8_t *record, uint32_t length);

// ---- The families ----

constexpr StatsSumKey kStatQSums[] = {{3, 0x10}, {11, 0x20}, {15, 0x1}, {16, 0x2}, {17, 0x4}, {0, 0}};
constexpr uint32_t kStatQDefaults[] = {31038, 31013, 0};
constexpr uint32_t kStatQIdentifying[] = {2016, 39399, 0};
constexpr NameFilter kStatQFilters[] = {{2016, 48, true, false, 0x10, true}};
constexpr RespRow kStatQKeys[] = {
    {20, Out::Value, 0},         {7, Out::Value, 0},        {kStreamNameId, Out::StreamName, 0},
    {kQmgrId, Out::QmgrName, 0}, {kStartId, Out::Start, 0}, {kEndId, Out::Value, 0},
    {39434, Out::Value, 0},      {31, Out::Value, 0},       {kIntervalsId, Out::Intervals, 0},
};
constexpr RespRow kStatQRows[] = {
    {39409, Out::Value, 0},         {31038, Out::Value, 0},         {31002, Out::Value, 0},
    {31003, Out::Value, 0},         {31004, Out::Value, 0},         {31010, Out::Value, 0},
    {31011, Out::Value, 0},         {31012, Out::Value, 0},         {31005, Out::Value, 0},
    {31006, Out::Value, 0},         {31007, Out::Value, 0},         {31008, Out::Value, 0},
    {31009, Out::Value, 0},         {31013, Out::Value, 0},         {31014, Out::Value, 0},
    {31015, Out::Value, 0},         {31019, Out::Value, 0},         {31016, Out::Value, 0},
    {31017, Out::Value, 0},         {31018, Out::Value, 0},         {31020, Out::Value, 0},
    {31021, Out::Value, 0},         {31022, Out::Value, 0},         {31023, Out::Value, 0},
    {31024, Out::Value, 0},         {31025, Out::Value, 0},         {31026, Out::Value, 0},
    {31027, Out::Value, 0},         {31028, Out::Value, 0},         {31029, Out::Value, 0},
    {31000, Out::Average64, 31178}, {31001, Out::Average64, 31179}, {31036, Out::Value, 0},
    {31037, Out::Value, 0},
};

constexpr StatsSumKey kStatChlSums[] = {{5, 0x10}, {11, 0x20}, {6, 0x40}, {12, 0x80},
                                        {15, 0x1}, {16, 0x2},  {17, 0x4}, {0, 0}};
constexpr uint32_t kStatChlDefaults[] = {31136, 31137, 31146, 0};
constexpr uint32_t kStatChlIdentifying[] = {3501, 39399, 0};
constexpr NameFilter kStatChlFilters[] = {{3501, 20, true, false, 0x10, true},
                                          {2017, 48, true, true, 0x80, true},
                                          {3506, 264, false, true, 0, false}};
constexpr RespRow kStatChlKeys[] = {
    {1511, Out::Value, 0},       {2017, Out::Name, 0},
    {3506, Out::Name, 0},        {kStreamNameId, Out::StreamName, 0},
    {kQmgrId, Out::QmgrName, 0}, {kStartId, Out::Start, 0},
    {kEndId, Out::Value, 0},     {39434, Out::Value, 0},
    {31, Out::Value, 0},         {kIntervalsId, Out::Intervals, 0},
};
constexpr RespRow kStatChlRows[] = {
    {39409, Out::Value, 0}, {31136, Out::Value, 0},         {31137, Out::Value, 0},
    {31138, Out::Value, 0}, {31139, Out::Average32, 31180}, {31140, Out::Value, 0},
    {31141, Out::Value, 0}, {31142, Out::Average32, 31181}, {31143, Out::Value, 0},
    {31144, Out::Value, 0}, {31145, Out::Value, 0},         {31146, Out::Average32, 31182},
    {31147, Out::Value, 0},
};

const DisplayFamily kStatQ{
    .command = 9023,
    .family = &evStatQFamily,
    .listId = 39107,
    .defaults = kStatQDefaults,
    .identifying = kStatQIdentifying,
    .sums = kStatQSums,
    .defaultKeys = 0x10,
    .streamKey = 0x20,
    .missingText = "Queue Name parameter missing",
    .filters = kStatQFilters,
    .filterCount = std::size(kStatQFilters),
    .keys = kStatQKeys,
    .keyCount = std::size(kStatQKeys),
    .rows = kStatQRows,
    .rowCount = std::size(kStatQRows),
};
const DisplayFamily kStatChl{
    .command = 9024,
    .family = &evStatChlFamily,
    .listId = 39108,
    .defaults = kStatChlDefaults,
    .identifying = kStatChlIdentifying,
    .sums = kStatChlSums,
    .defaultKeys = 0x10,
    .streamKey = 0x20,
    .missingText = "Channel Name parameter missing",
    .filters = kStatChlFilters,
    .filterCount = std::size(kStatChlFilters),
    .keys = kStatChlKeys,
    .keyCount = std::size(kStatChlKeys),
    .rows = kStatChlRows,
    .rowCount = std::size(kStatChlRows),
};

// The MQI statistics: the queue manager's own counters, one record per interval and stream.
constexpr StatsSumKey kStatMQISums[] = {{11, 0x1}, {0, 0}};
constexpr uint32_t kStatMQIDefaults[] = {31038, 31013, 0};
constexpr uint32_t kStatMQIIdentifying[] = {kStreamNameId, kEndId, 0};
constexpr RespRow kStatMQIKeys[] = {
    {kStreamNameId, Out::StreamOrFilter, 0},
    {kQmgrId, Out::QmgrName, 0},
    {kStartId, Out::Start, 0},
    {kEndId, Out::Value, 0},
    {39434, Out::Value, 0},
    {31, Out::Value, 0},
    {kIntervalsId, Out::Intervals, 0},
};
#define STATS_MQI_ROW(id, member, keyword, type, acct, parts) {id, Out::Value, 0},
constexpr RespRow kStatMQIRows[] = {{39409, Out::Value, 0}, STATS_MQI_COUNTERS(STATS_MQI_ROW)};
#undef STATS_MQI_ROW

const DisplayFamily kStatMQI{
    .command = 9025,
    .family = &evStatMQIFamily,
    .listId = 39109,
    .defaults = kStatMQIDefaults,
    .identifying = kStatMQIIdentifying,
    .sums = kStatMQISums,
    .defaultKeys = 0x1,
    .streamKey = 0x1,
    .missingText = nullptr,
    .filters = nullptr,
    .filterCount = 0,
    .keys = kStatMQIKeys,
    .keyCount = std::size(kStatMQIKeys),
    .rows = kStatMQIRows,
    .rowCount = std::size(kStatMQIRows),
    .emptyListPasses = true,
    .givenKeysOnly = true,
};

// The queue accounting: one queue of one connection's interval, with the application's names and
// identifiers as filters and keys.
constexpr StatsSumKey kAcctQSums[] = {{3, 0x10},   {4, 0x20},   {7, 0x40},  {10, 0x80},  {13, 0x100},
                                      {14, 0x200}, {11, 0x400}, {5, 0x800}, {6, 0x1000}, {15, 0x1},
                                      {16, 0x2},   {17, 0x4},   {0, 0}};
constexpr uint32_t kAcctQDefaults[] = {31038, 31013, 0};
constexpr uint32_t kAcctQIdentifying[] = {2016, kEndId, 0};
constexpr NameFilter kAcctQFilters[] = {{2016, 48, true, false, 0x10, true},
                                        {3024, 28, false, true, 0x20, true},
                                        {3025, 12, false, true, 0x40, false},
                                        {3501, 20, false, true, 0x800, false},
                                        {3506, 264, false, true, 0x1000, false}};
constexpr IdKey kAcctQIdKeys[] = {{0x80, 7006}, {0x100, 1024}, {0x200, 1025}};
constexpr RespRow kAcctQKeys[] = {
    {20, Out::Value, 0},         {7, Out::Value, 0},      {3024, Out::Name, 0},
    {3025, Out::Name, 0},        {1079, Out::Value, 0},   {7006, Out::Bytes, 0},
    {1024, Out::Value, 0},       {1025, Out::Value, 0},   {kStreamNameId, Out::StreamName, 0},
    {kQmgrId, Out::QmgrName, 0}, {3501, Out::Name, 0},    {3506, Out::Name, 0},
    {kStartId, Out::Start, 0},   {kEndId, Out::Value, 0}, {39434, Out::Value, 0},
    {31, Out::Value, 0},
};
constexpr RespRow kAcctQRows[] = {
    {31148, Out::Value, 0}, {31149, Out::Value, 0},         {31150, Out::Value, 0},
    {39409, Out::Value, 0}, {31151, Out::Value, 0},         {31177, Out::Value, 0},
    {31038, Out::Value, 0}, {31002, Out::Value, 0},         {31003, Out::Value, 0},
    {31004, Out::Value, 0}, {31005, Out::Value, 0},         {31006, Out::Value, 0},
    {31007, Out::Value, 0}, {31008, Out::Value, 0},         {31009, Out::Value, 0},
    {31010, Out::Value, 0}, {31011, Out::Value, 0},         {31012, Out::Value, 0},
    {31152, Out::Value, 0}, {31153, Out::Value, 0},         {31154, Out::Value, 0},
    {31155, Out::Value, 0}, {31156, Out::Value, 0},         {31157, Out::Value, 0},
    {31170, Out::Value, 0}, {31013, Out::Value, 0},         {31014, Out::Value, 0},
    {31015, Out::Value, 0}, {31019, Out::Value, 0},         {31016, Out::Value, 0},
    {31017, Out::Value, 0}, {31018, Out::Value, 0},         {31158, Out::Value, 0},
    {31159, Out::Value, 0}, {31160, Out::Value, 0},         {31161, Out::Value, 0},
    {31162, Out::Value, 0}, {31163, Out::Value, 0},         {31020, Out::Value, 0},
    {31021, Out::Value, 0}, {31022, Out::Value, 0},         {31023, Out::Value, 0},
    {31024, Out::Value, 0}, {31025, Out::Value, 0},         {31026, Out::Value, 0},
    {31164, Out::Value, 0}, {31165, Out::Value, 0},         {31166, Out::Value, 0},
    {31167, Out::Value, 0}, {31168, Out::Value, 0},         {31169, Out::Value, 0},
    {31030, Out::Value, 0}, {31031, Out::Value, 0},         {31032, Out::Value, 0},
    {31033, Out::Value, 0}, {31034, Out::Value, 0},         {31035, Out::Value, 0},
    {31171, Out::Value, 0}, {31172, Out::Value, 0},         {31175, Out::Value, 0},
    {31176, Out::Value, 0}, {31173, Out::Average64, 31178}, {31174, Out::Average64, 31179},
};

const DisplayFamily kAcctQ{
    .command = 9026,
    .family = &evAcctQFamily,
    .listId = 39110,
    .defaults = kAcctQDefaults,
    .identifying = kAcctQIdentifying,
    .sums = kAcctQSums,
    .defaultKeys = 0x10,
    .streamKey = 0x400,
    .missingText = "Queue Name parameter missing",
    .filters = kAcctQFilters,
    .filterCount = std::size(kAcctQFilters),
    .keys = kAcctQKeys,
    .keyCount = std::size(kAcctQKeys),
    .rows = kAcctQRows,
    .rowCount = std::size(kAcctQRows),
    .objectRequired = true,
    .identity = true,
    .idKeys = kAcctQIdKeys,
    .idKeyCount = std::size(kAcctQIdKeys),
    .prefilter = acctQPrefilter,
};

// The MQI accounting: one connection's MQI counters of one interval, keyed by its identity.
constexpr StatsSumKey kAcctMQISums[] = {{4, 0x1},    {7, 0x2},    {5, 0x4},   {6, 0x8},
                                        {8, 0x10},   {9, 0x20},   {13, 0x40}, {14, 0x80},
                                        {10, 0x100}, {11, 0x200}, {0, 0}};
constexpr uint32_t kAcctMQIDefaults[] = {31038, 31013, 0};
constexpr uint32_t kAcctMQIIdentifying[] = {3024, kEndId, 0};
constexpr NameFilter kAcctMQIFilters[] = {
    {3024, 28, false, true, 0x1, true}, {3025, 12, false, true, 0x2, true},
    {3501, 20, false, true, 0x4, true}, {3506, 264, false, true, 0x8, true},
    {3561, 4, false, true, 0x10, true}, {3560, 8, false, true, 0x20, true, true}};
constexpr IdKey kAcctMQIIdKeys[] = {{0x40, 1024}, {0x80, 1025}, {0x100, 7006}};
constexpr RespRow kAcctMQIKeys[] = {
    {kStreamNameId, Out::StreamOrFilter, 0},
    {kQmgrId, Out::QmgrName, 0},
    {kStartId, Out::Start, 0},
    {kEndId, Out::Value, 0},
    {39434, Out::Value, 0},
    {31, Out::Value, 0},
    {7006, Out::Bytes, 0},
    {1024, Out::Value, 0},
    {1025, Out::Value, 0},
    {3025, Out::Name, 0},
    {3501, Out::Name, 0},
    {3506, Out::Name, 0},
    {3561, Out::Name, 0},
    {3560, Out::Name, 0},
    {31040, Out::Value, 0},
    {31041, Out::Value, 0},
    {31108, Out::Present, 0},
    {716, Out::Value, 0},
    {1079, Out::Value, 0},
    {31107, Out::Value, 0},
};
constexpr RespRow kAcctMQIRows[] = {{39409, Out::Value, 0}, {0, Out::Counters, 0}};

const DisplayFamily kAcctMQI{
    .command = 9027,
    .family = &evAcctMQIFamily,
    .listId = 39111,
    .defaults = kAcctMQIDefaults,
    .identifying = kAcctMQIIdentifying,
    .sums = kAcctMQISums,
    .defaultKeys = 0x1,
    .streamKey = 0x200,
    .missingText = nullptr,
    .filters = kAcctMQIFilters,
    .filterCount = std::size(kAcctMQIFilters),
    .keys = kAcctMQIKeys,
    .keyCount = std::size(kAcctMQIKeys),
    .rows = kAcctMQIRows,
    .rowCount = std::size(kAcctMQIRows),
    .emptyListPasses = true,
    .givenKeysOnly = true,
    .byEndOnly = true,
    .emptyText = "Application Name parameter missing",
    .severalText = "Application Name may not contain wildcards when using GAPFILL",
    .severalId = 3024,
    .identity = true,
    .idKeys = kAcctMQIIdKeys,
    .idKeyCount = std::size(kAcctMQIIdKeys),
    .prefilter = acctMQIPrefilter,
};

// ---- One command ----

struct Pattern {
    const char *text;
    int32_t length;
};

struct Display {
    StatsQuery q;
    const DisplayFamily *f;
    const StatsFamily *family;
    Pattern filters[6];      // as given; the object's defaults to "*"
    char version[16];        // a version filter in its pattern form
    uint32_t pid, tid, seq;  // identity filters, each when its flag is set
    bool pidGiven, tidGiven, seqGiven;
    uint8_t connId[24];
    bool connIdGiven;
    const uint8_t *requested;
    int32_t requestedCount;
    bool all;
    ExpExpression *where;
    ExpExpression *prewhere;
    QmgrEntry *qmgr;
    Stream *stream;       // the stream being read
    const void *current;  // the record WHERE reads
    uint8_t *work;        // one record being read
    uint8_t *keys;        // the key part of a stored record
    uint8_t *seen;        // the record as WHERE and PREWHERE see it: averages divided
    uint8_t *entries;     // the collation list: capacity records
    uint32_t used;        // entries in use
    uint32_t allocated;   // entries the list has room for
    uint32_t found;       // records collated
    bool listFull;        // a key found no room: the answer is incomplete
    bool stop;            // a record found no room where each record is its own entry: reading ends
    bool replyFull;
    bool sourceFull;  // the record limit was reached
    bool failed;      // a refusal was answered
    int64_t gapStep;
    int64_t lastEnd;  // of the last entry answered; 0: none yet
    bool gapStarted;
    uint32_t responses;
    int32_t reason;  // of the responses: 10001 to 10003, or 0
};

uint32_t recordSize(const Display *d) {
    return d->family->recordSize;
}
uint8_t *entryAt(const Display *d, uint32_t i) {
    return d->entries + static_cast<size_t>(i) * recordSize(d);
}
int64_t &startOf(void *record, const StatsFamily *family) {
    return *reinterpret_cast<int64_t *>(static_cast<uint8_t *>(record) + family->startOffset);
}
int64_t &endOf(void *record, const StatsFamily *family) {
    return *reinterpret_cast<int64_t *>(static_cast<uint8_t *>(record) + family->endOffset);
}
int64_t startOf(const void *record, const StatsFamily *family) {
    return *reinterpret_cast<const int64_t *>(static_cast<const uint8_t *>(record) + family->startOffset);
}
int64_t endOf(const void *record, const StatsFamily *family) {
    return *reinterpret_cast<const int64_t *>(static_cast<const uint8_t *>(record) + family->endOffset);
}
const StringEntry *stringAt(const void *record, const StatsFamily *family, int32_t id) {
    const StatsField *field = evStatsFieldById(family, id);
    if (field == nullptr || field->width != STATS_W_STRING) return nullptr;
    const StringEntry *entry = nullptr;
    std::memcpy(&entry, static_cast<const uint8_t *>(record) + field->offset, sizeof entry);
    return entry;
}
const StringEntry *objectName(const Display *d, const void *record) {
    return stringAt(record, d->family, d->f->filters[0].id);
}
Stream *&streamOf(void *record) {
    return *static_cast<Stream **>(record);  // every object family keeps its stream first
}
uint32_t flagsOf(const void *record, const StatsFamily *family) {
    uint32_t flags = 0;
    std::memcpy(&flags, static_cast<const uint8_t *>(record) + family->flagsOffset, sizeof flags);
    return flags;
}

bool inList(const uint32_t *list, uint32_t id) {
    for (; *list != 0; list++)
        if (*list == id) return true;
    return false;
}
bool requested(const Display *d, uint32_t id) {
    if (d->requested == nullptr) return inList(d->f->defaults, id);
    for (int32_t i = 0; i < d->requestedCount; i++)
        if (mqiGetU32(d->requested, static_cast<size_t>(i) * 4) == id) return true;
    return false;
}
bool wanted(const Display *d, uint32_t id) {
    return d->all || inList(d->f->identifying, id) || requested(d, id);
}
bool hasWildcard(const Pattern &p) {
    return p.text != nullptr && (std::memchr(p.text, '*', static_cast<size_t>(p.length)) != nullptr ||
                                 std::memchr(p.text, '?', static_cast<size_t>(p.length)) != nullptr);
}
bool isStar(const Pattern &p) {
    return p.text == nullptr || (p.length == 1 && p.text[0] == '*');
}

// ---- WHERE and PREWHERE ----

void setText(ExpValue *result, const char *text, size_t length) {
    expSetString(result, EXP_STR, const_cast<char *>(text), length);
}

int unknownVariable(ExpExpression *e, const ExpValue *var, bool ambiguous) {
    const auto length = static_cast<int>(var->value.len);
    return ambiguous ? expSetError(e, var->value.len, "Variable '%.*s' is ambiguous.", length, var->data)
                     : expSetError(e, var->value.len, "Unknown variable '%.*s'.", length, var->data);
}

// The object row by the name the family's field table gives the object (QUEUE for STATQ and ACCTQ,
// CHANNEL for STATCHL, APPLNAME for ACCTMQI); null for any other name.
const evParmDef *objectRowByFieldName(const StatsFamily *family, const char *name, size_t length) {
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField &f = family->fields[i];
        if (!(f.flags & STATS_F_OBJECT) || f.keyword == nullptr || std::strlen(f.keyword) != length) continue;
        for (size_t c = 0; c < length; c++)
            if (std::toupper(static_cast<unsigned char>(name[c])) != f.keyword[c]) return nullptr;
        return &family->parms[0];
    }
    return nullptr;
}

int resolveVariable(ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    const char *name = var->data;
    const size_t length = var->value.len;
    if (length > 0 && name[0] == '_') return evWhereSystemVar(e, var, result);
    auto *d = static_cast<Display *>(e->caller.context);
    int ambiguous = 0;
    const evParmDef *row = evFindField(d->family->parms, name, length, EV_FIELD_FIELDS_ONLY, &ambiguous);
    if (row == nullptr && !ambiguous) row = objectRowByFieldName(d->family, name, length);
    if (row == nullptr) return unknownVariable(e, var, ambiguous != 0);
    if (d->current == nullptr) {
        // The parse's trial: a neutral value of the field's kind.
        if (std::strchr("sRqb", row->type[0]) != nullptr)
            setText(result, "", 0);
        else
            expSetInt(result, 0);
        return 1;
    }
    if (row->parmId == static_cast<uint32_t>(kStreamNameId)) {
        const char *stream = d->stream != nullptr ? evStreamName(d->stream) : "";
        setText(result, stream, std::strlen(stream));
        return 1;
    }
    if (row->parmId == static_cast<uint32_t>(kQmgrId)) {
        setText(result, d->qmgr->name, d->qmgr->nameLength);
        return 1;
    }
    if (row->recordOffset < 0 || !evGetAttrValue(row, e, d->current, row->recordOffset, result))
        return unknownVariable(e, var, false);
    return 1;
}

bool holds(Display *d, ExpExpression *expression, const void *record) {
    if (expression == nullptr) return true;
    // A record holds each average as a sum beside its count: the expression sees the average.
    if (d->seen == nullptr && (d->seen = static_cast<uint8_t *>(CSGetMem(recordSize(d)))) == nullptr)
        return false;
    std::memcpy(d->seen, record, recordSize(d));
    statsTrueAverages(d->family, d->seen, 0);
    d->current = d->seen;
    ExpValue result{};
    bool yes = false;
    if (expEvaluateCondition(expression, &result)) {
        switch (result.type) {
            case EXP_INT:
            case EXP_DBL:
            case EXP_STR:
            case EXP_PSTR:
            case EXP_EPSTR:
            case EXP_LIST:
                yes = expValueAsInt32(&result) != 0;
                break;
            default:
                break;
        }
    }
    expReleaseValue(&result);
    d->current = nullptr;
    return yes;
}

int parseExpression(Display *d, const char *text, int32_t length, int32_t parmId, ExpExpression **out) {
    if (text == nullptr) return 1;
    ExpCallerBlock caller{};
    caller.context = d;
    char *error = nullptr;
    *out = expParseExpression(text, length, 0, EXP_PARSE_CASE | EXP_PARSE_OWN_SYSTEM, expFilterOperatorTable,
                              resolveVariable, nullptr, &caller, &error);
    if (*out != nullptr) return 1;
    evPcfResponse(d->q.context, d->q.command, kValueError, parmId, error ? error : "");
    if (error != nullptr) CSFreeMem(error);
    return 0;
}

// ---- Parameters ----

int filterParm(Display *d, const PcfCursor *cursor, const NameFilter &filter, Pattern *out) {
    const char *text = nullptr;
    int32_t length = 0;
    if (!evParmGetString(d->q.context, cursor, 0, filter.maximum, &text, &length)) return 0;
    if (length == 0 && d->f->emptyText != nullptr && filter.id == d->f->filters[0].id) {
        evPcfResponse(d->q.context, d->q.command, MQRCCF_PARM_MISSING, filter.id, d->f->emptyText);
        return 0;
    }
    if (length == 0)
        return evParameterNameError(d->q.context, cursor, kValueError,
                                    "Parameter '%s' must contain a value."),
               0;
    if (filter.mqName && !evCheckName(text, length, CMD_NAME_WILDCARDS))
        return evParameterNameError(d->q.context, cursor, kValueError,
                                    "Parameter '%s' contains characters which are not valid in an MQ name."),
               0;
    if (filter.version) {
        std::snprintf(d->version, sizeof d->version, "%.*s", length, text);
        if (static_cast<size_t>(length) >= sizeof d->version || !evQueryParseRVersion(d->version)) {
            evPcfResponse(d->q.context, d->q.command, kValueError, filter.id,
                          "Incorrect format for RVERSION parameter");
            return 0;
        }
        text = d->version;
        length = static_cast<int32_t>(std::strlen(d->version));
    }
    *out = Pattern{text, length};
    return 1;
}

// CONNID, PID, TID and SEQNUM of the accounting families: -1 when the id is none of them.
int identityParm(Display *d, const PcfCursor *cursor, int32_t type, int32_t id, const void *value,
                 int32_t valueLength) {
    QmgrContext *context = d->q.context;
    if (id == 7006) {
        if (type == MQCFT_BYTE_STRING) {
            if (valueLength > 24)
                return evPcfResponse(context, d->q.command, MQRCCF_CFBS_LENGTH_ERROR, id, nullptr), 0;
            if (valueLength != 24)
                return evParameterNameError(context, cursor, kValueError,
                                            "Parameter '%s' should be 48 HEX characters."),
                       0;
            std::memcpy(d->connId, value, sizeof d->connId);
        } else if (type == MQCFT_STRING) {
            const char *text = nullptr;
            int32_t n = 0;
            if (!evParmGetString(context, cursor, 0, 264, &text, &n)) return 0;
            if (n != 48)
                return evParameterNameError(context, cursor, kValueError,
                                            "Parameter '%s' should be 48 HEX characters."),
                       0;
            for (int32_t i = 0; i < n; i++)
                if (!std::isxdigit(static_cast<unsigned char>(text[i])))
                    return evParameterNameError(context, cursor, kValueError,
                                                "Parameter '%s' should be all HEX characters."),
                           0;
            if (evHexToBytes(text, static_cast<size_t>(n), d->connId) != 0)
                return evParameterNameError(context, cursor, kValueError,
                                            "Parameter '%s' should be all HEX characters."),
                       0;
        } else {
            return evParameterNameError(context, cursor, kValueError,
                                        "Parameter '%s' should be a byte string."),
                   0;
        }
        d->connIdGiven = true;
        return 1;
    }
    uint32_t *target = id == 1024 ? &d->pid : id == 1025 ? &d->tid : id == 1079 ? &d->seq : nullptr;
    if (target == nullptr) return -1;
    bool *given = id == 1024 ? &d->pidGiven : id == 1025 ? &d->tidGiven : &d->seqGiven;
    // A process identifier is unsigned 32-bit, and is answered as MQCFIN64 past 2147483647: the
    // filter takes it that way too, so that every process identifier a display shows can be asked
    // for. The thread identifier and the sequence number keep the range 0 to 2147483647.
    const bool wide = id == 1024 && type == MQCFT_INTEGER64 && valueLength >= 8;
    int64_t v = 0;
    if (type == MQCFT_INTEGER)
        v = mqiGetI32(static_cast<const uint8_t *>(value), 0);
    else if (wide)
        v = mqiGetI64(static_cast<const uint8_t *>(value), 0);
    else
        return evParameterNameError(context, cursor, kValueError, "Parameter '%s' should be an integer."), 0;
    // The refusal names the parameter's own range: a negative PID as an MQCFIN is refused with
    // PID's range too, which the MQCFIN64 form reaches.
    if (v < 0 || v > (wide ? int64_t{UINT32_MAX} : int64_t{INT32_MAX}))
        return evParameterNameError(context, cursor, kValueError,
                                    id == 1024 ? "Parameter '%s' must be between 0 and 4294967295."
                                               : "Parameter '%s' must be between 0 and 2147483647."),
               0;
    *target = static_cast<uint32_t>(v);
    *given = true;
    return 1;
}

int readParameters(Display *d, uint8_t *command, int32_t length) {
    PcfCursor cursor;
    MQPCFInitParser(&cursor, command, length, 0);
    for (;;) {
        int32_t type = 0, id = 0, valueLength = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) {
            if (rc == PCF_END_OF_MESSAGE) return 1;
            cursor.reason = static_cast<uint32_t>(rc);
            evParameterError(d->q.context, &cursor, id, type);
            return 0;
        }
        int taken = -1;
        for (uint32_t i = 0; i < d->f->filterCount; i++)
            if (d->f->filters[i].id == id) taken = filterParm(d, &cursor, d->f->filters[i], &d->filters[i]);
        if (taken < 0 && d->f->identity) taken = identityParm(d, &cursor, type, id, value, valueLength);
        if (taken < 0 && id == d->f->listId) {
            if (type != MQCFT_INTEGER_LIST) {
                evPcfResponse(d->q.context, d->q.command, kValueError, id, nullptr);
                return 0;
            }
            d->requested = static_cast<const uint8_t *>(value);
            d->requestedCount = count;
            taken = 1;
        }
        if (taken < 0) {
            int recognised = 0;
            taken = evQueryParseParm(&d->q, &cursor, d->f->sums, &recognised);
            if (!recognised) {
                evParameterError(d->q.context, &cursor, id, type);
                return 0;
            }
        }
        if (taken == 0) return 0;
    }
}

// Steps 3 to 7.
int checkParameters(Display *d) {
    StatsQuery &q = d->q;
    if (d->f->objectRequired && d->filters[0].text == nullptr) {
        evPcfResponse(q.context, q.command, MQRCCF_PARM_MISSING, d->f->filters[0].id, d->f->missingText);
        return 0;
    }
    if (d->f->filterCount > 0 && d->filters[0].text == nullptr) d->filters[0] = Pattern{"*", 1};
    for (int32_t i = 0; d->requested != nullptr && i < d->requestedCount; i++)
        if (mqiGetI32(d->requested, static_cast<size_t>(i) * 4) == kAll) d->all = true;
    if (!parseExpression(d, q.selection.where, q.selection.whereLength, kWhereId, &d->where)) return 0;
    if (!parseExpression(d, q.selection.prewhere, q.selection.prewhereLength, kPrewhereId, &d->prewhere))
        return 0;
    const uint32_t givenKeys = q.keyMask;
    if (!evQueryCheckOptions(&q, d->f->sums, d->f->defaultKeys)) return 0;
    // Several keys, judged with the key mask defaulted (the stream key of the MQI statistics only when
    // given): GAPFILL cannot fill one series.
    const uint32_t keys = d->f->givenKeysOnly ? givenKeys : q.keyMask;
    bool several = hasWildcard(Pattern{q.stream, q.streamLength}) && (keys & d->f->streamKey);
    for (uint32_t i = 0; i < d->f->filterCount; i++)
        if (d->f->filters[i].several && (keys & d->f->filters[i].keyBit) && hasWildcard(d->filters[i]))
            several = true;
    if (several && q.gapFill != STATS_GAPFILL_NO) {
        evPcfResponse(q.context, q.command, kValueError, d->f->severalId, d->f->severalText);
        return 0;
    }
    return 1;
}

// ---- Reading records ----

bool filtersMatch(const Display *d, const void *record) {
    for (uint32_t i = 0; i < d->f->filterCount; i++) {
        const Pattern &p = d->filters[i];
        if (isStar(p)) continue;
        const StringEntry *name = stringAt(record, d->family, d->f->filters[i].id);
        if (name == nullptr) return false;
        const bool match =
            d->f->filters[i].ignoreCase
                ? evWildMatchNoCase(name->text, name->length, p.text, static_cast<size_t>(p.length))
                : evWildMatch(name->text, name->length, p.text, static_cast<size_t>(p.length));
        if (!match) return false;
    }
    if (!d->f->identity) return true;
    const StatsFamily *family = d->family;
    const auto *r = static_cast<const uint8_t *>(record);
    const struct {
        uint32_t filter;
        bool given;
        int32_t id;
    } numbers[] = {{d->pid, d->pidGiven, 1024}, {d->tid, d->tidGiven, 1025}, {d->seq, d->seqGiven, 1079}};
    for (const auto &[filter, given, id] : numbers) {
        if (!given) continue;
        uint32_t v = 0;
        std::memcpy(&v, r + evStatsFieldById(family, id)->offset, sizeof v);
        if (v != filter) return false;
    }
    if (d->connIdGiven) {
        // The record's identifier over its own length against the filter's first bytes.
        const StatsField *field = evStatsFieldById(family, 7006);
        const uint8_t *bytes = nullptr;
        uint16_t n = 0;
        std::memcpy(&bytes, r + field->offset, sizeof bytes);
        std::memcpy(&n, r + field->offset + sizeof bytes, sizeof n);
        if (bytes == nullptr || n > sizeof d->connId || std::memcmp(bytes, d->connId, n) != 0) return false;
    }
    return true;
}

// Grows the collation list to hold one more entry (never past the capacity): false when full or out
// of storage (the platform layer reports that).
bool roomForOne(Display *d) {
    if (d->used < d->allocated) return true;
    if (d->allocated >= d->q.capacity) return false;
    uint32_t next = d->allocated == 0 ? 16 : d->allocated * 2;
    if (next > d->q.capacity) next = d->q.capacity;
    auto *grown = static_cast<uint8_t *>(CSGetMem(static_cast<size_t>(next) * recordSize(d)));
    if (grown == nullptr) return false;
    std::memset(grown, 0, static_cast<size_t>(next) * recordSize(d));
    if (d->entries != nullptr) {
        std::memcpy(grown, d->entries, static_cast<size_t>(d->used) * recordSize(d));
        CSFreeMem(d->entries);
    }
    d->entries = grown;
    d->allocated = next;
    return true;
}

bool sameKey(const Display *d, const void *a, const void *b) {
    const StatsQuery &q = d->q;
    const StatsFamily *family = d->family;
    if (d->f->filterCount > 0 && (q.segment != 0 || (q.keyMask & d->f->filters[0].keyBit))) {
        const StringEntry *x = objectName(d, a);
        const StringEntry *y = objectName(d, b);
        if (q.segment != 0) {
            const EvStringView vx = evStatsStringView(x);
            const EvStringView vy = evStatsStringView(y);
            if (vx.ccsid != vy.ccsid || evCompareNameSegments(&vx, &vy, q.segment) != 0) return false;
        } else if (x != y) {
            return false;
        }
    }
    for (uint32_t i = 1; i < d->f->filterCount; i++)
        if ((q.keyMask & d->f->filters[i].keyBit) &&
            stringAt(a, family, d->f->filters[i].id) != stringAt(b, family, d->f->filters[i].id))
            return false;
    for (uint32_t i = 0; i < d->f->idKeyCount; i++) {
        if ((q.keyMask & d->f->idKeys[i].keyBit) == 0) continue;
        const StatsField *field = evStatsFieldById(family, d->f->idKeys[i].id);
        const auto *x = static_cast<const uint8_t *>(a) + field->offset;
        const auto *y = static_cast<const uint8_t *>(b) + field->offset;
        if (field->width == STATS_W_BYTES) {
            const uint8_t *bx = nullptr, *by = nullptr;
            uint16_t nx = 0, ny = 0;
            std::memcpy(&bx, x, sizeof bx);
            std::memcpy(&by, y, sizeof by);
            std::memcpy(&nx, x + sizeof bx, sizeof nx);
            std::memcpy(&ny, y + sizeof by, sizeof ny);
            if (nx != ny || (nx != 0 && (bx == nullptr || by == nullptr || std::memcmp(bx, by, nx) != 0)))
                return false;
        } else if (std::memcmp(x, y, sizeof(uint32_t)) != 0) {
            return false;
        }
    }
    if (d->f->command == 9024 && (q.keyMask & 0x40) && stringAt(a, family, 3506) != stringAt(b, family, 3506))
        return false;
    if ((q.keyMask & d->f->streamKey) && streamOf(const_cast<void *>(a)) != streamOf(const_cast<void *>(b)))
        return false;
    if (q.interval != 0 && (startOf(a, family) != startOf(b, family) || endOf(a, family) != endOf(b, family)))
        return false;
    return true;
}

// The family's filter and the collation of one record that passed the window, the name filters, the
// interval arithmetic and WHERE.
void collate(Display *d, const void *record) {
    StatsQuery &q = d->q;
    const StatsFamily *family = d->family;
    // 1. Something asked for, unless every record counts.
    if (!d->all && q.gapFill != STATS_GAPFILL_ACTIVITY && q.gapFill != STATS_GAPFILL_FULL) {
        bool any = false;
        if (d->requested == nullptr || (d->requestedCount == 0 && d->f->emptyListPasses)) {
            any = d->requested != nullptr;
            for (const uint32_t *id = d->f->defaults; *id != 0 && !any; id++)
                any = statsHasValue(family, record, static_cast<int32_t>(*id));
        } else {
            // A named attribute that is not a measure (RECORDS, INTVLS, QTYPE ...) is displayed, not
            // a selection: with no measure named, every record counts.
            bool measureNamed = false;
            for (int32_t i = 0; i < d->requestedCount && !any; i++) {
                const int32_t id = mqiGetI32(d->requested, static_cast<size_t>(i) * 4);
                const StatsField *f = evStatsFieldById(family, id);
                if (f == nullptr || !(f->flags & (STATS_F_MEASURE | STATS_F_LEVEL | STATS_F_PRESENT)))
                    continue;
                measureNamed = true;
                any = statsHasValue(family, record, id);
            }
            if (!measureNamed) any = true;
        }
        if (!any) return;
    }
    // 2. PREWHERE.
    if (!holds(d, d->prewhere, record)) return;
    // 5. COLLATE: one entry per period.
    if (q.collate != 0) {
        const int index = timeSlotIndex(q.collate, endOf(record, family));
        if (index < 0 || static_cast<uint32_t>(index) >= q.capacity) return;
        q.lowestPeriod = std::min(q.lowestPeriod, index);
        q.highestPeriod = std::max(q.highestPeriod, index);
        uint8_t *entry = entryAt(d, static_cast<uint32_t>(index));
        if (streamOf(entry) == nullptr && endOf(entry, family) == 0) {
            statsCollateAdd(family, entry, record);
        } else {
            statsSum(family, entry, record, 1, q.keyMask);
        }
        d->found++;
        return;
    }
    // 6. The step of GAPFILL.
    if (d->gapStep == 0) d->gapStep = endOf(record, family) - startOf(record, family);
    // 7. Each record its own entry.
    if (q.sumMode == STATS_SUM_NONE) {
        if (!roomForOne(d)) {
            d->listFull = d->stop = true;
            return;
        }
        statsCollateAdd(family, entryAt(d, d->used++), record);
        d->found++;
        return;
    }
    // 8. Summed by key (SUM(TOTAL): one key).
    for (uint32_t i = 0; i < d->used; i++) {
        uint8_t *entry = entryAt(d, i);
        if (q.sumMode == STATS_SUM_TOTAL || sameKey(d, entry, record)) {
            statsSum(family, entry, record, q.interval != 0, q.keyMask);
            d->found++;
            return;
        }
    }
    // Unlike the documented list-full, which ends the read: a new key without room is left out and
    // reading goes on, so that the keys listed get their later records too and hold whole sums.
    if (!roomForOne(d)) {
        d->listFull = true;
        return;
    }
    statsCollateAdd(family, entryAt(d, d->used++), record);
    d->found++;
}

// A record read (from a bin or a blob) into d->work: window, filters, interval, WHERE, collation.
// False when the command must stop.
bool take(Display *d) {
    StatsQuery &q = d->q;
    const StatsFamily *family = d->family;
    void *record = d->work;
    streamOf(record) = d->stream;
    statsCapLevel(family, record, static_cast<uint32_t>(std::max(evStatsCommandLevel.load(), 0)));
    if (!filtersMatch(d, record)) return true;
    if (!evQueryCheckInterval(&q, &startOf(record, family), &endOf(record, family))) {
        d->failed = true;
        return false;
    }
    if (!holds(d, d->where, record)) return true;
    collate(d, record);
    return !d->stop;
}

bool inWindow(const Display *d, int64_t start, int64_t end) {
    const StatsQuery &q = d->q;
    if (q.selection.exactWindow && q.sumNoneGiven) return start == q.selection.from && end == q.selection.to;
    return end > q.selection.from && end <= q.selection.to;
}

// Step 12: the records of the stream's active bins that overlap the window.
bool readBins(Display *d) {
    if (d->stream->aggregation == nullptr) return true;
    auto *bins = static_cast<AggrBin **>(CSGetMem(kMaxBins * sizeof(AggrBin *)));
    if (bins == nullptr) return false;
    uint32_t count = evAggrActiveBinsByTime(d->stream, bins, kMaxBins);
    if (count > kMaxBins) count = kMaxBins;
    bool going = true;
    for (uint32_t b = 0; going && b < count; b++) {
        const AggrBin *bin = bins[b];
        if (bin->end <= d->q.selection.from || bin->start > d->q.selection.to) continue;
        for (AggrKeyGroup *group = bin->groups; going && group != nullptr; group = group->next) {
            if (!group->inUse) continue;
            for (AggrEntry *entry = group->entries; going && entry != nullptr; entry = entry->next) {
                std::memcpy(d->work, entry->record, recordSize(d));
                if (!inWindow(d, startOf(d->work, d->family), endOf(d->work, d->family))) continue;
                statsDeriveTotals(d->family, d->work);
                going = take(d);
            }
        }
    }
    CSFreeMem(bins);
    return going;
}

// The pooled text of a stored string item, or null.
const StringEntry *pooledString(const evCFItem &item) {
    return item.type == EVCF_STRING_ID ? evStringLookup(static_cast<uint32_t>(item.value)) : nullptr;
}

// Queue accounting: some queue of the record matches the queue name, in its case.
int acctQPrefilter(EvSearchQuery *search, const uint8_t *record, uint32_t length) {
    const auto *d = static_cast<const Display *>(search->matchData);
    if (length < EVCF_HEADER_LENGTH) return 0;
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record, length, 0, 0);
    evCFItem item;
    while (statsNextItem(&cursor, &item)) {
        if (item.parmId != 2016) continue;
        const StringEntry *name = pooledString(item);
        if (name != nullptr && evWildMatch(name->text, name->length, d->filters[0].text,
                                           static_cast<size_t>(d->filters[0].length)))
            return 1;
    }
    return 0;
}

// MQI accounting: the record's first item is its application name, matched in any case as the
// filter itself is.
int acctMQIPrefilter(EvSearchQuery *search, const uint8_t *record, uint32_t length) {
    const auto *d = static_cast<const Display *>(search->matchData);
    if (length < EVCF_HEADER_LENGTH) return 0;
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record, length, 0, 0);
    evCFItem item;
    if (!statsNextItem(&cursor, &item) || item.parmId != 3024) return 0;
    const StringEntry *name = pooledString(item);
    return name != nullptr && evWildMatchNoCase(name->text, name->length, d->filters[0].text,
                                                static_cast<size_t>(d->filters[0].length));
}

// Step 13: the stored records of the matched streams, oldest first.
bool readStored(Display *d, EvSearchMatch *matches, uint32_t count) {
    StatsQuery &q = d->q;
    EvSearchQuery search{};
    search.command = q.command;
    search.matchCount = count;
    search.matches = matches;
    search.start = q.selection.from;
    search.end = q.selection.to;
    search.exactWindow = q.selection.exactWindow && q.sumNoneGiven;
    search.maxResults = static_cast<uint32_t>(q.selection.maxRecs > 0 ? q.selection.maxRecs : 1);
    search.firstCapacity = EV_SEARCH_MIN_CAPACITY;
    if (d->f->prefilter != nullptr && !isStar(d->filters[0])) {
        search.match = d->f->prefilter;
        search.matchData = d;
    }
    if (!evSearchStreams(q.context, &search, 1)) {
        evSearchFreeResults(&search);
        d->failed = true;
        return false;
    }
    d->sourceFull = search.full != 0;
    bool going = true;
    const EvSearchIndex *index = search.index;
    for (int32_t at = index != nullptr ? index->head : -1; going && at >= 0; at = index->slots[at].later) {
        const EvSearchSlot &slot = index->slots[at];
        const uint32_t length = mqiGetU16(slot.entry, ENTRY_DATA_LENGTH);
        const uint8_t *stored = slot.entry + ENTRY_PREFIX;
        if (length < EVCF_HEADER_LENGTH || evCFGetCommand(stored) != d->family->command) continue;
        d->stream = slot.stream;
        evCFCursor cursor;
        evCFCursorInit(&cursor, &evStreamStringPool, stored, length, 0, 0);
        if (d->family->objectId == 0) {
            // An MQI record is read whole: its common part and, when aggregated, its one portion.
            if (d->family == &evAcctMQIFamily)
                evAcctMQIParse(1, &cursor, nullptr, reinterpret_cast<AcctMQIRecord *>(d->work));
            else
                statsParseMqi(d->family, 1, &cursor, nullptr, d->work);
            going = take(d);
            continue;
        }
        if (d->family == &evAcctQFamily)
            evAcctQParseKeys(&cursor, nullptr, reinterpret_cast<AcctQRecord *>(d->keys));
        else
            statsParseKeys(d->family, &cursor, nullptr, d->keys);
        while (going && statsParseObject(d->family, &cursor, d->keys, d->work)) going = take(d);
    }
    evSearchFreeResults(&search);
    return going || d->stop;
}

// ---- Answers ----

bool addString(PcfCursor *b, int32_t id, const char *text, size_t length, uint32_t ccsid) {
    int32_t cc = 0, rc = 0;
    MQPCFSetStringParm(b, MQCFT_STRING, id, text, static_cast<int32_t>(length), static_cast<int32_t>(ccsid),
                       0, &cc, &rc);
    return cc != MQCC_FAILED;
}

// Each adding step below answers false when the response has no room left for its parameter.
bool addValue(const Display *d, PcfCursor *b, const StatsField *field, const void *record) {
    const StatsQuery *q = &d->q;
    const uint8_t *at = static_cast<const uint8_t *>(record) + field->offset;
    if (field->width == STATS_W_U32) {
        uint32_t v = 0;
        std::memcpy(&v, at, sizeof v);
        if (v == STATS_MIXED_32) return addString(b, static_cast<int32_t>(field->id), "*", 1, 0);
        // An unsigned field past INT32_MAX (not the unset value) is answered whole, as MQCFIN64, rather
        // than as the negative MQCFIN it would read as; the depths are signed.
        if (v > INT32_MAX && v != STATS_UNSET_32 && !(field->flags & STATS_F_SIGNED))
            return evRespAddInt(q, b, static_cast<int32_t>(field->id), int64_t{v}, 8) != 0;
        return evRespAddInt(q, b, static_cast<int32_t>(field->id), static_cast<int32_t>(v), 4) != 0;
    }
    if (field->width == STATS_W_I64) {
        int64_t v = 0;
        std::memcpy(&v, at, sizeof v);
        if (v == STATS_MIXED_64) v = -3;
        // A 32-bit counter of IBM MQ keeps its MQCFIN while it fits; a larger sum is answered whole.
        const bool narrow = (field->flags & STATS_F_COUNT32) && v >= 0 && v <= INT32_MAX;
        return evRespAddInt(q, b, static_cast<int32_t>(field->id), v, narrow ? 4 : 8) != 0;
    }
    return true;
}

bool addRow(const Display *d, PcfCursor *b, const RespRow &row, const void *record) {
    const StatsFamily *family = d->family;
    if (row.out != Out::Counters && !wanted(d, static_cast<uint32_t>(row.id))) return true;
    const StatsField *field = evStatsFieldById(family, row.id);
    switch (row.out) {
        case Out::Value:
            return field == nullptr || addValue(d, b, field, record);
        case Out::Present: {
            if (field == nullptr || field->width != STATS_W_I64) return true;
            int64_t v = 0;
            std::memcpy(&v, static_cast<const uint8_t *>(record) + field->offset, sizeof v);
            if (v != 0) return addValue(d, b, field, record);
            int32_t cc = 0, rc = 0;
            const int32_t zero = 0;
            MQPCFSetParm(b, MQCFT_INTEGER, row.id, &zero, 4, 0, &cc, &rc);
            return cc != MQCC_FAILED;
        }
        case Out::Name: {
            const StringEntry *name = stringAt(record, family, row.id);
            if (name == nullptr) return true;
            if (name == &evStringMixedEntry) {
                for (uint32_t i = 0; i < d->f->filterCount; i++)
                    if (d->f->filters[i].id == row.id && !isStar(d->filters[i]))
                        return addString(b, row.id, d->filters[i].text,
                                         static_cast<size_t>(d->filters[i].length), 0);
            }
            return addString(b, row.id, name->text, name->length, name->ccsid);
        }
        case Out::StreamName: {
            Stream *stream = streamOf(const_cast<void *>(record));
            if (stream == nullptr) return true;
            const char *name = evStreamName(stream);
            return addString(b, row.id, name, std::strlen(name), 0);
        }
        case Out::StreamOrFilter: {
            Stream *stream = streamOf(const_cast<void *>(record));
            if (stream != nullptr) {
                const char *name = evStreamName(stream);
                return addString(b, row.id, name, std::strlen(name), 0);
            }
            if (d->q.stream != nullptr)
                return addString(b, row.id, d->q.stream, static_cast<size_t>(d->q.streamLength), 0);
            return addString(b, row.id, "*", 1, 0);
        }
        case Out::Bytes: {
            if (field == nullptr) return true;
            const uint8_t *bytes = nullptr;
            uint16_t n = 0;
            const auto *at = static_cast<const uint8_t *>(record) + field->offset;
            std::memcpy(&bytes, at, sizeof bytes);
            std::memcpy(&n, at + sizeof bytes, sizeof n);
            if (bytes == nullptr || n == 0) return true;
            if (n == 1 && bytes[0] == '*') return addString(b, row.id, "*", 1, 850);
            int32_t cc = 0, rc = 0;
            MQPCFSetParm(b, MQCFT_BYTE_STRING, row.id, bytes, n, 0, &cc, &rc);
            return cc != MQCC_FAILED;
        }
        case Out::Counters:
            for (uint32_t i = 0; i < family->fieldCount; i++) {
                const StatsField &f = family->fields[i];
                if (f.id < 31000 || f.id >= 31200 || f.id == 31040 || f.id == 31041 || f.id == 31107 ||
                    f.id == 31108 || !wanted(d, f.id))
                    continue;
                if (!addValue(d, b, &f, record)) return false;
            }
            return true;
        case Out::QmgrName:
            return addString(b, row.id, d->qmgr->name, d->qmgr->nameLength, 0);
        case Out::Start: {
            int64_t start = startOf(record, family);
            if (start == 0) return true;
            if (!d->q.sumNoneGiven && d->q.interval == 0) start--;
            return evRespAddInt(&d->q, b, row.id, start, 8) != 0;
        }
        case Out::Intervals: {
            const int64_t stored = d->q.storedInterval > 0 ? d->q.storedInterval : 1;
            return evRespAddInt(&d->q, b, row.id, (endOf(record, family) - startOf(record, family)) / stored,
                                4) != 0;
        }
        case Out::Average64:
        case Out::Average32: {
            const StatsField *count = evStatsFieldById(family, row.countId);
            if (field == nullptr || count == nullptr) return true;
            int64_t n = 0;
            int64_t sum = 0;
            std::memcpy(&n, static_cast<const uint8_t *>(record) + count->offset, sizeof n);
            std::memcpy(&sum, static_cast<const uint8_t *>(record) + field->offset, sizeof sum);
            if (field->width == STATS_W_U32) {
                uint32_t narrow = 0;
                std::memcpy(&narrow, static_cast<const uint8_t *>(record) + field->offset, sizeof narrow);
                sum = narrow == STATS_UNSET_32 ? STATS_UNSET_64 : narrow;
            }
            if (row.out == Out::Average64) {
                if (n <= 0 || sum == STATS_UNSET_64) return true;
                return evRespAddInt(
                           &d->q, b, row.id,
                           static_cast<int64_t>(static_cast<uint64_t>(sum) / static_cast<uint64_t>(n)),
                           8) != 0;
            }
            const int64_t average = n <= 0 || sum == STATS_UNSET_64 ? 0 : sum / n;
            // A 32-bit average that does not fit (AVGBATCH is unsigned) is answered as MQCFIN64.
            if (average < INT32_MIN || average > INT32_MAX)
                return evRespAddInt(&d->q, b, row.id, average, 8) != 0;
            return evRespAddInt(&d->q, b, row.id, static_cast<int32_t>(average), 4) != 0;
        }
    }
    return true;
}

// The object name: mixed names answer the filter as given, a generic sum its shortened name.
bool addObject(const Display *d, PcfCursor *b, const void *record) {
    if (d->f->filterCount == 0) return true;
    const int32_t id = d->f->filters[0].id;
    const StringEntry *name = objectName(d, record);
    if (name == &evStringMixedEntry)
        return addString(b, id, d->filters[0].text, static_cast<size_t>(d->filters[0].length), 0);
    const EvStringView view = evStatsStringView(name);
    if ((flagsOf(record, d->family) & STATS_FLAG_GENERIC_NAME) && d->q.segment != 0) {
        int32_t cc = 0, rc = 0;
        (void)evAddGenericNameParm(b, id, &view, d->q.segment, &cc, &rc);
        return cc != MQCC_FAILED;
    }
    return addString(b, id, view.text, view.length, view.ccsid);
}

// One response (period: the COLLATE period, else -1). False when the reply is full or failed.
bool respond(Display *d, const void *record, int period) {
    StatsQuery &q = d->q;
    if (d->responses >= static_cast<uint32_t>(q.selection.maxResp)) {
        d->listFull = d->replyFull = true;
        return false;
    }
    statsDeriveTotals(d->family, const_cast<void *>(record));
    if (period < 0) d->lastEnd = endOf(record, d->family);
    PcfCursor *b = nullptr;
    if (!evStartPcfResponse(q.context, &b)) {
        d->replyFull = true;
        return false;
    }
    // One response message is at most CMD_AREA_SIZE bytes, whatever the area's capacity: the first
    // parameter that does not fit ends it.
    if (b->length > static_cast<int32_t>(CMD_AREA_SIZE)) b->length = static_cast<int32_t>(CMD_AREA_SIZE);
    bool fits = true;
    if (period < 0) {
        fits = addObject(d, b, record);
        for (uint32_t i = 0; fits && i < d->f->keyCount; i++) fits = addRow(d, b, d->f->keys[i], record);
    } else {
        char label[TIMESLOT_LABEL_SIZE];
        const int n = timeSlotLabel(q.collate, period, label);
        addString(b, kTitleId, label, static_cast<size_t>(n > 0 ? n : 0), 0);
        int32_t cc = 0, rc = 0;
        const int32_t index = period + 1;
        MQPCFSetParm(b, MQCFT_INTEGER, kTitleIndexId, &index, 4, 0, &cc, &rc);
    }
    for (uint32_t i = 0; fits && i < d->f->rowCount; i++) fits = addRow(d, b, d->f->rows[i], record);
    if ((evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_R) != 0)
        evTraceTimeRange(startOf(record, d->family), endOf(record, d->family));
    if (d->reason == 0)
        d->reason = d->sourceFull ? HLVRCCF_MAX_SOURCE_REACHED
                    : q.uneven    ? HLVRCCF_COLLATE_NOT_SUITABLE
                    : d->listFull ? HLVRCCF_DATA_INCOMPLETE
                                  : 0;
    uint8_t *header = b->buffer;
    if (!fits) {
        mqiPutI32(header, offsetof(MQCFH, CompCode), MQCC_FAILED);
        mqiPutI32(header, offsetof(MQCFH, Reason), MQRC_STORAGE_NOT_AVAILABLE);
    } else if (d->reason != 0) {
        mqiPutI32(header, offsetof(MQCFH, CompCode), MQCC_WARNING);
        mqiPutI32(header, offsetof(MQCFH, Reason), d->reason);
    }
    if (!evFinishPcfResponse(q.context)) {
        d->replyFull = true;
        return false;
    }
    d->responses++;
    return true;
}

// An empty COLLATE period or GAPFILL gap: no values, and no records.
void presetEmpty(const Display *d, void *record) {
    statsPreset(d->family, record);
    const StatsField *records = evStatsFieldById(d->family, 39409);
    if (records != nullptr)
        std::memset(static_cast<uint8_t *>(record) + records->offset, 0, sizeof(uint32_t));
}

// Empty entries of the record's name and duration below the last answered end, one step at a time,
// while their start is at least lower.
void gapFill(Display *d, const void *record, int64_t lower) {
    StatsQuery &q = d->q;
    const StatsFamily *family = d->family;
    const int64_t step = d->gapStep;
    if (step <= 0 || q.gapFill == STATS_GAPFILL_NO) return;
    if (!d->gapStarted) {
        // No gaps before the newest entry, but with FULL from the slot holding TO.
        d->gapStarted = true;
        const int64_t end = endOf(record, family);
        d->lastEnd = end;
        if (q.gapFill == STATS_GAPFILL_FULL) {
            const int64_t span = q.selection.to - end;
            d->lastEnd = end + (span / step + (span >= 0 ? 1 : 0) + 1) * step;
        }
    }
    std::vector<uint8_t> empty(recordSize(d));
    const StatsField *name = d->f->filterCount > 0 ? evStatsFieldById(family, d->f->filters[0].id) : nullptr;
    while (!d->replyFull && d->lastEnd - 2 * step >= lower) {
        presetEmpty(d, empty.data());
        if (name != nullptr)
            std::memcpy(empty.data() + name->offset, static_cast<const uint8_t *>(record) + name->offset,
                        sizeof(const StringEntry *));
        if (d->f->command == 9027) {
            // An MQI accounting gap keeps its process and thread.
            for (int32_t id : {1024, 1025}) {
                const StatsField *f = evStatsFieldById(family, id);
                std::memcpy(empty.data() + f->offset, static_cast<const uint8_t *>(record) + f->offset,
                            sizeof(uint32_t));
            }
        }
        startOf(empty.data(), family) = d->lastEnd - 2 * step;
        endOf(empty.data(), family) = d->lastEnd - step;
        if (!respond(d, empty.data(), -1)) return;
    }
}

// Steps 14 to 17.
void answer(Display *d) {
    StatsQuery &q = d->q;
    const StatsFamily *family = d->family;
    if (q.collate != 0) {
        const bool everyPeriod = q.zeroValues != 0 || q.gapFill == STATS_GAPFILL_FULL;
        const bool inner = q.gapFill == STATS_GAPFILL_INNER || q.gapFill == STATS_GAPFILL_ACTIVITY;
        auto isEmpty = [&](uint32_t p) {
            const uint8_t *entry = entryAt(d, p);
            return streamOf(const_cast<uint8_t *>(entry)) == nullptr && endOf(entry, family) == 0;
        };
        auto answered = [&](uint32_t p) -> bool {
            if (isEmpty(p) && !everyPeriod &&
                !(inner && static_cast<int>(p) > q.lowestPeriod && static_cast<int>(p) < q.highestPeriod))
                return false;
            if (q.title[0] == '\0') return true;
            char label[TIMESLOT_LABEL_SIZE];
            const int n = timeSlotLabel(q.collate, static_cast<int>(p), label);
            return evWildMatchNoCase(label, static_cast<size_t>(n > 0 ? n : 0), q.title,
                                     std::strlen(q.title));
        };
        // More periods to answer than MAXRESP: the answer is incomplete, as for listed entries. Unlike the
        // documented rule, which compares the records found, the periods to answer are counted: records
        // share periods, and their number would call a complete answer incomplete.
        uint32_t periods = 0;
        for (uint32_t p = 0; p < q.capacity; p++) periods += answered(p) ? 1 : 0;
        if (periods > static_cast<uint32_t>(q.selection.maxResp)) d->listFull = true;
        for (uint32_t p = 0; p < q.capacity && !d->replyFull; p++) {
            if (!answered(p)) continue;
            uint8_t *entry = entryAt(d, p);
            if (isEmpty(p)) presetEmpty(d, entry);
            respond(d, entry, static_cast<int>(p));
        }
        return;
    }
    std::vector<uint8_t *> order(d->used);
    for (uint32_t i = 0; i < d->used; i++) order[i] = entryAt(d, i);
    const bool byName = q.sumMode != STATS_SUM_NONE && q.sumMode != STATS_SUM_TOTAL &&
                        d->f->filterCount > 0 && !d->f->byEndOnly;
    std::stable_sort(order.begin(), order.end(), [&](const uint8_t *a, const uint8_t *b) {
        if (byName) {
            const EvStringView x = evStatsStringView(objectName(d, a));
            const EvStringView y = evStatsStringView(objectName(d, b));
            const int c = std::memcmp(x.text, y.text, std::min(x.length, y.length));
            if (c != 0) return c < 0;
            if (x.length != y.length) return x.length < y.length;
        }
        return endOf(a, family) > endOf(b, family);
    });
    if (d->used > static_cast<uint32_t>(q.selection.maxResp)) d->listFull = true;
    for (uint8_t *entry : order) {
        if (d->replyFull) break;
        if (q.gapFill != STATS_GAPFILL_NO) gapFill(d, entry, endOf(entry, family));
        if (!d->replyFull && !respond(d, entry, -1)) break;
    }
    if (d->responses > 0 && q.gapFill == STATS_GAPFILL_FULL && !order.empty() && !d->replyFull) {
        const int64_t step = d->gapStep > 0 ? d->gapStep : q.interval;
        gapFill(d, order.back(), q.selection.from - step + 1);
    }
}

// Steps 9 and 10: the queue manager and its matching streams.
uint32_t matchStreams(Display *d, Area **area, EvSearchMatch **matches) {
    StatsQuery &q = d->q;
    char key[EV_QUEUE_NAME_MAX + 1] = {};
    std::memcpy(key, q.selection.evQmgr,
                static_cast<size_t>(std::min<int32_t>(q.selection.evQmgrLength, EV_QUEUE_NAME_MAX)));
    d->qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, key, sizeof key));
    if (d->qmgr == nullptr) {
        char text[128];
        std::snprintf(text, sizeof text, "Unknown Queue Manager name '%s'", key);
        evPcfResponse(q.context, q.command, kValueError, kQmgrId, text);
        return 0;
    }
    const char *filter = q.stream;
    const bool implicit = filter == nullptr || (q.streamLength == 1 && filter[0] == '*');
    uint32_t count = 0;
    for (Stream *s = d->qmgr->streams; s != nullptr; s = s->next)
        if (s->definition != nullptr && s->definition->type == d->family->streamType &&
            (implicit ? s->definition->disImplct == 1
                      : evWildMatch(s->definition->name, s->definition->nameLength, filter,
                                    static_cast<size_t>(q.streamLength))))
            count++;
    if (count == 0) {
        char name[STREAM_NAME_MAX + 1] = "";
        if (!implicit) std::snprintf(name, sizeof name, "%.*s", q.streamLength, filter);
        evNoStreamsReply(q.context, q.command, implicit ? nullptr : name);
        return 0;
    }
    *area = AreaGet(count * kMatchSize, 0, "MATCHAREA");
    if (*area == nullptr) return 0;
    *matches = reinterpret_cast<EvSearchMatch *>(AreaData(*area));
    uint32_t at = 0;
    for (Stream *s = d->qmgr->streams; s != nullptr; s = s->next) {
        if (s->definition == nullptr || s->definition->type != d->family->streamType) continue;
        if (implicit ? s->definition->disImplct != 1
                     : !evWildMatch(s->definition->name, s->definition->nameLength, filter,
                                    static_cast<size_t>(q.streamLength)))
            continue;
        if (q.collate != 0 && !evQueryCheckStreamInterval(&q, s)) return 0;
        (*matches)[at++] = EvSearchMatch{d->qmgr, s, q.selection.from, q.selection.to};
    }
    if (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_f)
        evOutputF(EV_OUT_PROGRESS, 1, "%d Matching streams found", static_cast<int>(count));
    return count;
}

void release(Display *d) {
    if (d->where != nullptr) expFreeExpression(d->where);
    if (d->prewhere != nullptr) expFreeExpression(d->prewhere);
    if (d->entries != nullptr) CSFreeMem(d->entries);
    if (d->work != nullptr) CSFreeMem(d->work);
    if (d->keys != nullptr) CSFreeMem(d->keys);
    if (d->seen != nullptr) CSFreeMem(d->seen);
}
// PCF tells an incomplete answer by its reason (10002 before 10003 before 10001); MQSC text, which shows
// no reason, by a closing line of its own (not in the documented answer) that names every cause: the
// record limit (MAXRECS, or DEFMAXRECS when none was given), an unsuitable COLLATE, MAXRESP.
void closingLine(QmgrContext *context, const Display *d) {
    const bool listFull = d->listFull && d->responses > 0;
    if (!d->sourceFull && !d->q.uneven && !listFull) return;
    std::string text = "Responses incomplete:";
    const char *sep = " ";
    auto add = [&](const std::string &part) {
        text += sep + part;
        sep = "; ";
    };
    if (d->sourceFull) {
        const int32_t limit = d->q.selection.maxRecs;
        const bool byDefault = limit == evSettings.defaultMaxRecords.load();
        add(std::string("the search stopped after ") + (byDefault ? "DEFMAXRECS(" : "MAXRECS(") +
            std::to_string(limit) + ") records");
    }
    if (d->q.uneven) add("a stream's aggregation interval does not divide the COLLATE period");
    if (listFull) add("more entries matched than MAXRESP(" + std::to_string(d->q.selection.maxResp) + ")");
    text += ".";
    evPcfResponse(context, d->q.command, HLVRCCF_DATA_INCOMPLETE, 0, text.c_str());
}

int display(const DisplayFamily *f, QmgrContext *context, uint8_t *command, int32_t length) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr) return 0;
    auto *d = static_cast<Display *>(CSGetMem(sizeof(Display)));
    if (d == nullptr) return 1;
    std::memset(static_cast<void *>(d), 0, sizeof *d);
    d->f = f;
    d->family = f->family;
    evQueryInit(&d->q, context, static_cast<int32_t>(f->command));
    int result = 1;
    Area *matchArea = nullptr;
    EvSearchMatch *matches = nullptr;
    uint32_t count = 0;
    if (!readParameters(d, command, length) || !checkParameters(d)) goto done;
    // The response area first: without it nothing can be answered (the platform reports the shortage).
    if (request->pcfResponse == nullptr) request->pcfResponse = AreaGet(CMD_AREA_SIZE, 64, "PCFRESPONSE");
    if (request->pcfResponse == nullptr) goto done;
    request->pcfResponse->used = 0;
    d->work = static_cast<uint8_t *>(CSGetMem(recordSize(d)));
    d->keys = static_cast<uint8_t *>(CSGetMem(recordSize(d)));
    if (d->work == nullptr || d->keys == nullptr) goto done;
    if (d->q.collate != 0) {
        // One entry per period, all in use.
        d->entries = static_cast<uint8_t *>(CSGetMem(static_cast<size_t>(d->q.capacity) * recordSize(d)));
        if (d->entries == nullptr) goto done;
        std::memset(d->entries, 0, static_cast<size_t>(d->q.capacity) * recordSize(d));
        d->used = d->allocated = d->q.capacity;
    }
    {
        CSRecursiveGuard guard(gStructureLock);
        count = matchStreams(d, &matchArea, &matches);
        bool going = count > 0;
        for (uint32_t i = 0; going && i < count; i++) {
            d->stream = matches[i].stream;
            going = readBins(d) && !d->failed;
        }
        if (going) going = readStored(d, matches, count) && !d->failed;
        if (count > 0 && !d->failed) {
            answer(d);
            if (d->responses == 0 && !d->replyFull)
                evPcfResponse(context, d->q.command, MQRC_UNKNOWN_OBJECT_NAME, 0, "No matching data found.");
            if (request->kind != CMD_KIND_PCF) closingLine(context, d);
        }
    }
done:
    AreaRelease(&matchArea);
    release(d);
    CSFreeMem(d);
    return result;
}

}  // namespace

int evDisplayStatQ(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kStatQ, context, command, length);
}

int evDisplayStatChl(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kStatChl, context, command, length);
}

int evDisplayStatMQI(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kStatMQI, context, command, length);
}

int evDisplayAcctQ(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kAcctQ, context, command, length);
}

int evDisplayAcctMQI(QmgrContext *context, uint8_t *command, int32_t length) {
    return display(&kAcctMQI, context, command, length);
}
