// Event classification: the category and subtype of a compressed event record from its MQCFH
// reason, the reason qualifier and, for command events, the command issued; and the lookups of the
// event names and of the DISPLAY EVENTS parameter table.
#include "mqi/evclass.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t kHeader = 32;
constexpr uint32_t kReasonQualifier = 1020;  // MQIACF_REASON_QUALIFIER
constexpr uint32_t kCommand = 1021;          // MQIACF_COMMAND

uint16_t getU16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t getU32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Length of the item at p (at most avail bytes), 0 when the lead is invalid or the item does not
// fit. Every lead whose length is defined is stepped over, filters and byte strings included, so
// that a qualifier behind them is still found.
size_t itemLength(const uint8_t *p, size_t avail) {
    uint8_t lead = p[0];
    size_t n = 0;
    if (lead >= EVCF_LEAD_INT_BYTE_FIRST && lead <= EVCF_LEAD_INT_BYTE_LAST)
        n = 4;
    else if ((lead >= EVCF_LEAD_SMALL_FIRST && lead <= EVCF_LEAD_CODED_LAST) ||
             lead == EVCF_LEAD_EMPTY_STRING ||
             (lead >= EVCF_LEAD_INT_UNSET && lead <= EVCF_LEAD_STRING_MIXED))
        n = 3;
    else {
        switch (lead) {
            case EVCF_LEAD_INT:
            case EVCF_LEAD_STRING:
            case EVCF_LEAD_POOLED_BYTES:
            case EVCF_LEAD_INT64_U32:
                n = 7;
                break;
            case EVCF_LEAD_INT64_BYTE:
                n = 4;
                break;
            case EVCF_LEAD_GROUP:
            case EVCF_LEAD_INT16:
            case EVCF_LEAD_INT64_U16:
                n = 5;
                break;
            case EVCF_LEAD_INT64:
                n = 11;
                break;
            case EVCF_LEAD_DATE_TIME:
                n = 13;
                break;
            case EVCF_LEAD_INT_FILTER:
            case EVCF_LEAD_STRING_FILTER:
                n = 8;
                break;
            case EVCF_LEAD_INT_LIST:
            case EVCF_LEAD_STRING_LIST:
                if (avail < 5) return 0;
                n = 5 + 4 * static_cast<size_t>(getU16(p + 3));
                break;
            case EVCF_LEAD_BYTES:
                if (avail < 5) return 0;
                n = 5 + static_cast<size_t>(getU16(p + 3));
                break;
            case EVCF_LEAD_BYTES_FILTER:
                if (avail < 6) return 0;
                n = 6 + static_cast<size_t>(getU16(p + 4));
                break;
            case EVCF_LEAD_PADDING:
                while (n < avail && p[n] == EVCF_LEAD_PADDING) ++n;
                return n;
            case EVCF_LEAD_STRUCT: {
                // The structure behind the lead: Type, StrucLength, Parameter at least.
                if (avail < 13) return 0;
                uint32_t struc = getU32(p + 1 + 4);
                if (struc < 12 || struc > avail - 1) return 0;
                n = 1 + static_cast<size_t>(struc);
                break;
            }
            default:
                return 0;
        }
    }
    return n <= avail ? n : 0;
}

// Parameter id of an item whose length is known to fit.
uint32_t itemId(const uint8_t *p) {
    switch (p[0]) {
        case EVCF_LEAD_INT_FILTER:
        case EVCF_LEAD_STRING_FILTER:
        case EVCF_LEAD_BYTES_FILTER:
            return getU16(p + 2);
        case EVCF_LEAD_PADDING:
            return 0;
        case EVCF_LEAD_STRUCT:
            return getU32(p + 1 + 8);  // Parameter of the structure
        default:
            return getU16(p + 1);
    }
}

// The first item with the id, by a walk without regard to groups; null when none.
const uint8_t *scanFor(const uint8_t *record, size_t length, uint32_t id) {
    if (!record || length <= kHeader) return nullptr;
    size_t pos = kHeader;
    while (pos < length) {
        size_t n = itemLength(record + pos, length - pos);
        if (n == 0) return nullptr;
        if (itemId(record + pos) == id) return record + pos;
        pos += n;
    }
    return nullptr;
}

struct Classified {
    uint32_t reason;
    uint32_t category;
    uint32_t subtype;
};

// Reasons classified without looking further.
constexpr Classified kFixed[] = {
    {2001, 6000, 6001},   {2016, 5000, 5001},   {2051, 5000, 5002},   {2053, 8000, 8003},
    {2057, 9000, 9003},   {2082, 6000, 6002},   {2085, 6000, 6003},   {2087, 9000, 9008},
    {2091, 9000, 9005},   {2092, 9000, 9006},   {2125, 12000, 12001}, {2126, 12000, 12002},
    {2184, 9000, 9004},   {2196, 9000, 9009},   {2197, 9000, 9007},   {2198, 9000, 9001},
    {2199, 9000, 9002},   {2222, 11000, 11001}, {2223, 11000, 11002}, {2224, 8000, 8001},
    {2225, 8000, 8002},   {2226, 8000, 8004},   {2227, 8000, 8005},   {2233, 2000, 2005},
    {2234, 2000, 2004},   {2279, 2000, 2012},   {2282, 2000, 2010},   {2283, 2000, 2011},
    {2284, 2000, 2007},   {2295, 2000, 2003},   {2296, 2000, 2008},   {2367, 4000, 4002},
    {2368, 4000, 4001},   {2369, 4000, 4003},   {2370, 4000, 4004},   {2411, 7000, 7001},
    {2552, 10000, 10002},
};

struct ByQualifier {
    uint32_t qualifier;
    uint32_t subtype;
};

uint32_t pick(const ByQualifier *rows, size_t n, uint32_t qualifier, uint32_t otherwise) {
    for (size_t i = 0; i < n; ++i)
        if (rows[i].qualifier == qualifier) return rows[i].subtype;
    return otherwise;
}

template <size_t N>
uint32_t pick(const ByQualifier (&rows)[N], uint32_t qualifier, uint32_t otherwise) {
    return pick(rows, N, qualifier, otherwise);
}

constexpr ByQualifier kNotAuthorized[] = {{1, 1001},  {2, 1004},  {3, 1005},  {4, 1006},
                                          {17, 1007}, {18, 1008}, {20, 1002}, {29, 1003}};
constexpr ByQualifier kSslError[] = {{13, 10003}, {14, 10004}, {15, 10006}, {16, 10005}};
constexpr ByQualifier kNotAvailable[] = {{24, 2014}, {25, 2015}, {26, 2016}, {27, 2017}};
constexpr ByQualifier kBlocked[] = {{21, 2018}, {22, 2019}, {23, 2020}};
constexpr ByQualifier kBlockedWarning[] = {{21, 2021}, {22, 2022}, {23, 2023}};

}  // namespace

// ---- Names ----

const evValueName evDisplayTypeNames[] = {
    {0, 2, "Summary", "SUMMARY", 0}, {0, 3, "Condense", "CONDENSE", 0}, {0, 1, "Detail", "DETAIL", 0},
    {0, 4, "Minimum", "MINIMUM", 0}, {0, 0, nullptr, nullptr, 0},
};

const evValueName evDisplayCommandsNames[] = {
    {0, 2, "Hide", "HIDE", 0},
    {0, 3, "Show", "SHOW", 0},
    {0, 0, nullptr, nullptr, 0},
};

const evValueName evCommandNameMarker[] = {{0, 0, nullptr, nullptr, 0}};

const evValueName *evValueNameByValue(const evValueName *table, int32_t value) {
    if (!table) return nullptr;
    for (const evValueName *row = table; row->keyword && row->keyword[0]; ++row)
        if (row->value == value) return row;
    return nullptr;
}

const char *evEventTypeText(uint32_t subtype) {
    const evValueName *row = evValueNameByValue(evEventTypeNames, static_cast<int32_t>(subtype));
    return row ? row->text : nullptr;
}

const char *evObjectTypeText(int32_t objectType) {
    const evValueName *row = evValueNameByValue(evObjectTypeNames, objectType);
    return row ? row->text : nullptr;
}

uint32_t evCommandEventType(int32_t command, int32_t *objectType) {
    if (objectType) *objectType = 10001;
    for (const evCommandEvent *row = evCommandEventTable; row->command; ++row) {
        if (row->command != command) continue;
        if (objectType) *objectType = row->objectType;
        return static_cast<uint32_t>(row->subtype);
    }
    return EV_SUBTYPE_UNKNOWN_COMMAND;
}

// ---- DISPLAY EVENTS parameter table ----

namespace {

constexpr uint16_t kNoRow = 0xFFFF;

// Row index of every identifier below 10000, first row wins; built once, on first use.
const std::vector<uint16_t> &eventsIndex() {
    static const std::vector<uint16_t> index = [] {
        std::vector<uint16_t> ix(10000, kNoRow);
        for (int i = 0; evEventsParmTable[i].parmId != 0; ++i) {
            uint32_t id = evEventsParmTable[i].parmId;
            if (id < 10000 && ix[id] == kNoRow) ix[id] = static_cast<uint16_t>(i);
        }
        return ix;
    }();
    return index;
}

}  // namespace

int evEventsParmCount() {
    int n = 0;
    while (evEventsParmTable[n].parmId != 0) ++n;
    return n;
}

const evParmDef *evEventsParmById(uint32_t parmId) {
    if (parmId == 0) return nullptr;
    if (parmId < 10000) {
        uint16_t row = eventsIndex()[parmId];
        return row == kNoRow ? nullptr : &evEventsParmTable[row];
    }
    for (const evParmDef *row = evEventsParmTable; row->parmId != 0; ++row)
        if (row->parmId == parmId) return row;
    return nullptr;
}

// ---- Classification ----

uint32_t evCFGetReasonQualifier(const uint8_t *record, size_t length) {
    const uint8_t *item = scanFor(record, length, kReasonQualifier);
    int32_t value = 0;
    if (!item || !evCFDecodeInt(item, record + length, &value)) return 0;
    return static_cast<uint32_t>(value);
}

int32_t evCFFindCommandValue(const uint8_t *record, size_t length, int *found) {
    const uint8_t *item = scanFor(record, length, kCommand);
    int32_t value = 0;
    *found = item && evCFDecodeInt(item, record + length, &value) ? 1 : 0;
    return *found ? value : 0;
}

uint32_t evClassifyEvent(uint8_t *record, size_t length, uint32_t *category, uint32_t *command) {
    uint32_t cat = EV_CAT_UNKNOWN, subtype = EV_CAT_UNKNOWN;
    if (command) *command = 0;
    if (record && length >= kHeader) {
        uint32_t reason = getU32(record + 24);
        for (const Classified &c : kFixed)
            if (c.reason == reason) cat = c.category, subtype = c.subtype;
        switch (reason) {
            case 2035: {  // MQRC_NOT_AUTHORIZED
                uint32_t q = evCFGetReasonQualifier(record, length);
                cat = EV_CAT_AUTHORITY;
                subtype = pick(kNotAuthorized, q, 1000);
                if (q == 1 || q == 20 || q == 29) {
                    record[28] = 5;  // the queue manager is the object
                    record[29] = 0;
                }
                break;
            }
            case 2371:  // MQRC_CHANNEL_SSL_ERROR
                cat = EV_CAT_SSL;
                subtype = pick(kSslError, evCFGetReasonQualifier(record, length), 10001);
                break;
            case 2537:  // MQRC_CHANNEL_NOT_AVAILABLE
                cat = EV_CAT_CHANNEL;
                subtype = pick(kNotAvailable, evCFGetReasonQualifier(record, length), 2009);
                break;
            case 2577:  // MQRC_CHANNEL_BLOCKED
                cat = EV_CAT_CHANNEL;
                subtype = pick(kBlocked, evCFGetReasonQualifier(record, length), 2006);
                break;
            case 2578:  // MQRC_CHANNEL_BLOCKED_WARNING
                cat = EV_CAT_CHANNEL;
                subtype = pick(kBlockedWarning, evCFGetReasonQualifier(record, length), 2013);
                break;
            case 2412:    // MQRC_COMMAND_MQSC
            case 2413: {  // MQRC_COMMAND_PCF
                int found = 0;
                int32_t value = evCFFindCommandValue(record, length, &found);
                cat = EV_CAT_COMMAND;
                subtype = found ? evCommandEventType(value, nullptr) : EV_SUBTYPE_UNKNOWN_COMMAND;
                if (command) *command = static_cast<uint32_t>(value);
                break;
            }
            default:
                break;
        }
    }
    if (category) *category = cat;
    return subtype;
}

// ---- Queue-manager capabilities ----

namespace {

struct LevelFlags {
    int32_t level;
    const char *flags;  // "1-3 7" style: single flags and ranges
};

void setFlags(QmgrCapabilities *caps, const char *flags) {
    const char *p = flags;
    while (*p) {
        while (*p == ' ') ++p;
        if (!*p) break;
        int first = 0;
        while (*p >= '0' && *p <= '9') first = first * 10 + (*p++ - '0');
        int last = first;
        if (*p == '-') {
            ++p;
            last = 0;
            while (*p >= '0' && *p <= '9') last = last * 10 + (*p++ - '0');
        }
        for (int f = first; f <= last && f < EV_QMGR_CAPABILITIES; ++f) caps->flag[f] = 1;
    }
}

template <size_t N>
void setByLevel(QmgrCapabilities *caps, const LevelFlags (&rows)[N], int32_t level) {
    for (const LevelFlags &row : rows)
        if (level >= row.level) setFlags(caps, row.flags);
}

constexpr LevelFlags kZos[] = {
    {114, "10 11"},      {120, "6"},  {210, "4 8 29"}, {220, "12-14"}, {520, "20"},       {530, "1 21 22 34"},
    {600, "2 26 33 50"}, {700, "30"}, {701, "31"},     {710, "36 48"}, {750, "38"},       {800, "42 43"},
    {900, "49"},         {902, "51"}, {904, "53"},     {911, "55"},    {913, "56"},       {914, "59"},
    {915, "60"},         {921, "66"}, {923, "63"},     {924, "67"},    {930, "18 23 35"}, {932, "70"},
    {940, "16 73"},      {942, "76"},
};

constexpr LevelFlags kIbmI[] = {
    {510, "1-8 10"}, {530, "20-22"}, {600, "26 35 43 48"}, {700, "30 39 50"}, {701, "31-34"}, {710, "36"},
    {750, "38"},     {800, "42 65"}, {801, "45 52"},       {900, "49"},       {902, "51"},    {905, "53"},
    {911, "55"},     {913, "56"},    {914, "59"},          {915, "60"},       {921, "66"},    {923, "18 63"},
    {924, "67"},     {930, "23"},    {931, "16"},          {932, "70"},       {940, "73 74"}, {942, "76"},
};

constexpr LevelFlags kDistributed[] = {{711, "37"}, {802, "47"}};

constexpr LevelFlags kCommon[] = {
    {201, "2 3"},      {230, "1 4 5 6"},  {510, "7 8"}, {530, "20-22"}, {600, "26 35 43 48"},
    {700, "30 39 50"}, {701, "31-34 41"}, {710, "36"},  {750, "38"},    {800, "42 65"},
    {801, "44 45 52"}, {900, "49"},       {902, "51"},  {905, "53"},    {911, "55"},
    {913, "56"},       {914, "59"},       {915, "60"},  {921, "66"},    {923, "18 63"},
    {924, "67"},       {930, "23"},       {931, "16"},  {932, "70"},    {940, "73 74"},
    {942, "76"},
};

}  // namespace

void evSetQmgrCapabilities(QmgrCapabilities *caps, int32_t platform, int32_t commandLevel) {
    if (!caps) return;
    switch (platform) {
        case 1:  // z/OS
            setFlags(caps, "3 7 19");
            if (commandLevel < 114)
                setFlags(caps, "9");
            else
                setByLevel(caps, kZos, commandLevel);
            break;
        case 4:  // IBM i
            setFlags(caps, "11 12 13 27 29");
            setByLevel(caps, kIbmI, commandLevel);
            break;
        case 2:
        case 3:
        case 11:
        case 28:  // UNIX, Windows, appliance
            setFlags(caps, "10-13 29");
            if (platform == 11) setFlags(caps, "25");
            setByLevel(caps, kDistributed, commandLevel);
            setByLevel(caps, kCommon, commandLevel);
            break;
        case 12:
        case 13:  // NSK
            setFlags(caps, "10-13 29");
            setByLevel(caps, kCommon, commandLevel);
            break;
        default:
            return;
    }
    if (platform == 28) caps->flag[71] = 1;
    if (platform == 3 && commandLevel >= 932) caps->flag[77] = 1;
    if (platform == 11 && commandLevel >= 801 && commandLevel <= 899) caps->flag[52] = 0;
}
