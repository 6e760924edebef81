// The string pool: every string a record refers to is interned once, under a 32-bit id, and stored as
// an entry of the special stream "$STRINGS" so that the pool can be rebuilt at load. Two hash tables
// of the same size find a string by its text (chains kept in text order) and by its id.
#include <cstring>
#include <vector>

#include "streams/internal.h"

StringPoolState evStrings{};

namespace {

// A pool entry whose text is a literal.
constexpr StringEntry fixedEntry(const char *text, uint16_t length) {
    return StringEntry{nullptr, nullptr, nullptr, 0, 850, length, text};
}

constexpr uint32_t kPrimes[] = {1009,   2003,   3001,   4001,   5003,   6007,   7001,   8009,   9001,
                                10007,  20011,  30011,  40009,  50021,  60089,  70379,  80953,  90907,
                                100003, 200003, 300007, 400009, 500009, 600011, 700027, 800011, 900007};

StringEntry **idChain(uint32_t id) {
    return &evStrings.byId[id % evStrings.buckets];
}

StringEntry *findById(uint32_t id) {
    for (StringEntry *e = *idChain(id); e; e = e->nextById)
        if (e->id == id) return e;
    return nullptr;
}

bool sameText(const StringEntry *e, uint32_t ccsid, const char *text, uint32_t length) {
    return e->ccsid == ccsid && e->length == length && std::memcmp(e->text, text, length) == 0;
}

// Appends the stored form of the string to "$STRINGS" and remembers where it went. A string that
// cannot be stored keeps a null stored entry (and is tried again when it is next interned).
void storeString(StringEntry *e) {
    Stream *stream = evStrings.stream;
    if (!stream) {
        evOutput(EV_OUT_ERROR, "Unknown stream.", -1, 1);
        return;
    }
    uint32_t dataLength = uint32_t{e->length} + STRING_ENTRY_OVERHEAD;
    auto *data = static_cast<uint8_t *>(CSGetMem(dataLength));
    if (!data) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return;
    }
    evStoredStringWrite(data, e->id, e->ccsid, e->text, e->length);
    uint8_t *stored = nullptr;
    if (evStreamAdd(nullptr, stream, data, dataLength, 0, &stored) && stored)
        e->storedEntry = stored - ENTRY_PREFIX;
    CSFreeMem(data);
}

// Whether the stored form of the string fits an empty "$STRINGS" blob: one that never can is not
// tried again at every intern (its first try has said why).
bool storable(const StringEntry *e) {
    uint32_t dataLength = uint32_t{e->length} + STRING_ENTRY_OVERHEAD;
    Stream *stream = evStrings.stream;
    return !stream || (dataLength <= ENTRY_MAX_DATA &&
                       evEntryTotal(dataLength) <= stream->header->size - STREAM_HEADER_LENGTH);
}

}  // namespace

const StringEntry evStringNotPresentEntry = fixedEntry("<Not Present>", 13);
const StringEntry evStringMixedEntry = fixedEntry("*", 1);

uint64_t evStringHash(const char *text, uint32_t length) {
    uint64_t hash = 0, power = 1;
    for (uint32_t i = 0; i < length; i++) {
        power *= 53;
        hash += static_cast<uint64_t>(static_cast<unsigned char>(text[i])) * power;
    }
    return hash;
}

uint32_t evStringBucketCount(uint64_t strings) {
    for (uint32_t prime : kPrimes)
        if (prime > strings) return prime;
    return kPrimes[std::size(kPrimes) - 1];
}

int evStringsInit(uint64_t strings) {
    if (evStrings.byText) return 1;  // made once per load
    uint32_t buckets = evStringBucketCount(strings);
    uint64_t bytes = uint64_t{buckets} * sizeof(StringEntry *);
    auto **byText = static_cast<StringEntry **>(CSGetMem(bytes));
    auto **byId = byText ? static_cast<StringEntry **>(CSGetMem(bytes)) : nullptr;
    if (!byId) {
        if (byText) CSFreeMem(byText);
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    std::memset(byText, 0, bytes);
    std::memset(byId, 0, bytes);
    evStrings.byText = byText;
    evStrings.byId = byId;
    evStrings.buckets = buckets;
    evStrings.countAtLoad = strings;
    return 1;
}

void evStringsFree(int freeStream) {
    if (evStrings.byText) {
        for (uint32_t b = 0; b < evStrings.buckets; b++) {
            while (StringEntry *e = evStrings.byText[b]) {
                evStrings.byText[b] = e->nextByText;
                CSFreeMem(e);
            }
        }
        CSFreeMem(evStrings.byText);
        CSFreeMem(evStrings.byId);
    }
    Stream *stream = evStrings.stream;
    evStrings = StringPoolState{};
    if (freeStream)
        evStreamFree(stream);
    else
        evStrings.stream = stream;
}

Stream *evStringsCreateStream() {
    if (!evStrings.stream) evStrings.stream = evStreamCreate(nullptr, nullptr);
    return evStrings.stream;
}

namespace {

// Unlike the documented tables, sized once from the count at load: past twice as many strings as
// buckets the tables grow, so that a chain stays short however many strings arrive after the load (a
// burst of distinct object names). Each entry goes into the larger tables keeping its place among its
// equals (text chains in text order, id chains newest first). Out of storage they stay as they are.
void growTables() {
    if (evStrings.strings < uint64_t{evStrings.buckets} * 2) return;
    uint32_t buckets = evStringBucketCount(evStrings.strings * 2);
    if (buckets <= evStrings.buckets) return;
    uint64_t bytes = uint64_t{buckets} * sizeof(StringEntry *);
    auto **byText = static_cast<StringEntry **>(CSGetMem(bytes));
    auto **byId = byText ? static_cast<StringEntry **>(CSGetMem(bytes)) : nullptr;
    if (!byId) {
        if (byText) CSFreeMem(byText);
        return;
    }
    std::memset(byText, 0, bytes);
    std::memset(byId, 0, bytes);
    auto greater = [](const StringEntry *e, const StringEntry *than) {
        uint32_t shorter = than->length < e->length ? than->length : e->length;
        int order = std::memcmp(than->text, e->text, shorter);
        return order < 0 || (order == 0 && e->length > than->length);
    };
    for (uint32_t b = 0; b < evStrings.buckets; b++) {
        for (StringEntry *e = evStrings.byText[b], *next; e; e = next) {
            next = e->nextByText;
            StringEntry **link = &byText[evStringHash(e->text, e->length) % buckets];
            while (*link && !greater(*link, e)) link = &(*link)->nextByText;
            e->nextByText = *link;
            *link = e;
        }
    }
    // Id chains: appended in their old order, so that of equal ids the newest stays first.
    std::vector<StringEntry **> tails(buckets);
    for (uint32_t b = 0; b < buckets; b++) tails[b] = &byId[b];
    for (uint32_t b = 0; b < evStrings.buckets; b++) {
        for (StringEntry *e = evStrings.byId[b], *next; e; e = next) {
            next = e->nextById;
            e->nextById = nullptr;
            uint32_t to = e->id % buckets;
            *tails[to] = e;
            tails[to] = &e->nextById;
        }
    }
    CSFreeMem(evStrings.byText);
    CSFreeMem(evStrings.byId);
    evStrings.byText = byText;
    evStrings.byId = byId;
    evStrings.buckets = buckets;
}

}  // namespace

uint32_t evStringIntern(int isNew, uint32_t ccsid, const char *text, uint32_t length, uint32_t storedId,
                        uint8_t *storedEntry) {
    if (!evStrings.byText || !text || length == 0 || length > UINT16_MAX) return 0;
    if (!isNew && storedId == 0) return 0;  // id 0 is the pool's own

    // 1. The place in the text chain: before the first greater text (or an equal, longer one).
    StringEntry **link = &evStrings.byText[evStringHash(text, length) % evStrings.buckets];
    for (; *link; link = &(*link)->nextByText) {
        StringEntry *e = *link;
        uint32_t shorter = length < e->length ? length : e->length;
        int order = std::memcmp(text, e->text, shorter);
        if (order < 0 || (order == 0 && e->length > length)) break;
        if (order != 0 || e->length != length || e->ccsid != ccsid) continue;
        if (isNew) {
            if (!e->storedEntry && storable(e)) storeString(e);
            return e->id;
        }
        if (e->id == storedId) return e->id;  // a stored duplicate of another id is entered again
    }

    // 2. The entry and its id.
    auto *e = static_cast<StringEntry *>(CSGetMem(sizeof(StringEntry) + length));
    if (!e) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    char *copy = reinterpret_cast<char *>(e + 1);
    std::memcpy(copy, text, length);
    *e = StringEntry{nullptr, nullptr, nullptr, 0, ccsid, static_cast<uint16_t>(length), copy};
    if (isNew) {
        uint32_t id = evStrings.highestId;
        do {
            id++;
            if (id == 0) id = 1;
        } while (findById(id));
        e->id = id;
    } else {
        e->id = storedId;
        e->storedEntry = storedEntry;
    }
    if (e->id > evStrings.highestId || isNew) evStrings.highestId = e->id;

    // 3. Into both chains.
    e->nextByText = *link;
    *link = e;
    StringEntry **ids = idChain(e->id);
    e->nextById = *ids;
    *ids = e;
    evStrings.strings++;
    growTables();

    // 4. New strings are stored at once.
    if (isNew) storeString(e);
    return e->id;
}

const StringEntry *evStringLookup(uint32_t id) {
    if (id == 0 || !evStrings.byId) return &evStringNotPresentEntry;
    StringEntry *e = findById(id);
    return e ? e : &evStringNotPresentEntry;
}

void evValidateStringMessage(uint8_t *blob, uint32_t bufferLength, const uint8_t *oldBlob) {
    if (!evStrings.byId) return;
    BlobWalk walk;
    BlobEntry entry;
    evBlobWalkInit(&walk, blob, bufferLength, 0);
    while (evBlobWalkNext(&walk, &entry) > 0) {
        StoredString stored;
        if (!evStoredStringParse(&entry, &stored)) continue;
        uint8_t *now = blob + entry.offset;
        for (StringEntry *e = *idChain(stored.id); e; e = e->nextById) {
            if (e->id != stored.id) continue;
            if (oldBlob ? e->storedEntry == oldBlob + entry.offset
                        : sameText(e, stored.ccsid, stored.text, stored.length))
                e->storedEntry = now;
        }
    }
}

int evStringsLoad(Stream *strings) {
    if (!strings) return 0;
    evStringsFree(0);
    evStrings.stream = strings;
    // Every blob of the stream, the current one first.
    auto forEachBlob = [&](auto &&visit) {
        visit(evStreamCurrentBlob(strings), strings->header->used - SH_BLOB);
        for (StreamBlob *blob = strings->blobs; blob; blob = blob->next)
            visit(evStreamBlobHeader(blob), blob->area->used);
    };
    uint64_t count = 0;
    forEachBlob([&](uint8_t *bh, uint32_t length) {
        BlobWalk walk;
        BlobEntry entry;
        evBlobWalkInit(&walk, bh, length, 0);
        while (evBlobWalkNext(&walk, &entry) > 0) count++;
    });
    if (!evStringsInit(count)) return 0;
    int ok = 1;
    forEachBlob([&](uint8_t *bh, uint32_t length) {
        BlobWalk walk;
        BlobEntry entry;
        evBlobWalkInit(&walk, bh, length, 0);
        while (evBlobWalkNext(&walk, &entry) > 0) {
            StoredString stored;
            if (!evStoredStringParse(&entry, &stored)) continue;  // a damaged entry is skipped
            if (stored.length == 0 || stored.id == 0) continue;
            if (!evStringIntern(0, stored.ccsid, stored.text, stored.length, stored.id, bh + entry.offset))
                ok = 0;
        }
        if (walk.damaged)
            evOutputF(EV_OUT_ERROR, 1, "String blob %llu is damaged at offset %u: its later strings are lost",
                      static_cast<unsigned long long>(evBlobNumber(bh)), walk.offset);
    });
    return ok;
}

void evStringsReport() {
    int64_t strings = 0, duplicates = 0, odd = 0;
    uint32_t codepages[10];
    int pages = 0;
    for (uint32_t b = 0; evStrings.byText && b < evStrings.buckets; b++) {
        for (StringEntry *e = evStrings.byText[b]; e; e = e->nextByText) {
            strings++;
            if (e->ccsid == 0 || e->ccsid > 10000) odd++;
            bool seen = false;
            for (int i = 0; i < pages; i++) seen = seen || codepages[i] == e->ccsid;
            if (!seen && pages < 10) codepages[pages++] = e->ccsid;
            // Equal texts sit together in their chain: a duplicate has an earlier twin there.
            for (StringEntry *twin = evStrings.byText[b]; twin != e; twin = twin->nextByText) {
                if (sameText(twin, e->ccsid, e->text, e->length)) {
                    evOutputF(EV_OUT_INFO, 1, "Duplicate String found: %.*s", static_cast<int>(e->length),
                              e->text);
                    duplicates++;
                    break;
                }
            }
        }
    }
    evOutputF(EV_OUT_INFO, 1, "Number of strings:%d", static_cast<int>(strings));
    if (duplicates)
        evOutputF(EV_OUT_INFO, 1, "Duplicate Strings:%d", static_cast<int>(duplicates));
    else
        evOutput(EV_OUT_INFO, "All strings unique", -1, 1);
    char line[160] = "Codepages: ";
    for (int i = 0; i < pages; i++) {
        size_t used = std::strlen(line);
        std::snprintf(line + used, sizeof line - used, "%d ", static_cast<int>(codepages[i]));
    }
    evOutput(EV_OUT_INFO, line, -1, 1);
    if (odd) evOutputF(EV_OUT_INFO, 1, "Odd looking codepages:%d", static_cast<int>(odd));
}

namespace {

uint32_t poolIntern(void *, uint32_t ccsid, const char *text, uint32_t length) {
    return evStringIntern(1, ccsid, text, length, 0, nullptr);
}

int poolLookup(void *, uint32_t id, EvStringView *out) {
    const StringEntry *e = evStringLookup(id);
    if (e == &evStringNotPresentEntry) return 0;
    *out = EvStringView{e->text, e->length, e->ccsid};
    return 1;
}

}  // namespace

const EvStringPool evStreamStringPool = {nullptr, poolIntern, poolLookup};
