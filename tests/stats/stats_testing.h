// Shared pieces of the statistics tests: a fresh string pool per test, stored records built with the
// record writer from lists of items, and a field-by-field comparison of two records by their table.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "stats/stats.h"
#include "testing/testing.h"
#include "tests/config/config_testing.h"
#include "tests/streams/cf_record.h"

namespace stt {

constexpr int64_t kStart = 1767225600;  // 2026-01-01 00:00:00 UTC
constexpr int64_t kEnd = kStart + 3600;

// One stored item.
struct Item {
    enum Kind { Int, Int64, Str, Empty, Mixed, Bytes, PooledBytes, StrId, Unset } kind;
    int32_t id;
    int64_t value = 0;
    std::string text = {};
};
inline Item i32(int32_t id, int64_t v) {
    return Item{Item::Int, id, v};
}
inline Item i64(int32_t id, int64_t v) {
    return Item{Item::Int64, id, v};
}
inline Item str(int32_t id, std::string text) {
    return Item{Item::Str, id, 0, std::move(text)};
}
inline Item empty(int32_t id) {
    return Item{Item::Empty, id};
}
inline Item mixed(int32_t id) {
    return Item{Item::Mixed, id};
}
inline Item bytes(int32_t id, std::string b) {
    return Item{Item::Bytes, id, 0, std::move(b)};
}
inline Item pooledBytes(int32_t id, uint32_t stringId) {  // lead 226, which the writer never writes
    return Item{Item::PooledBytes, id, stringId};
}
inline Item stringId(int32_t id, uint32_t stringId) {  // lead 223 with a given string id
    return Item{Item::StrId, id, stringId};
}
inline Item unset(int32_t id) {
    return Item{Item::Unset, id};
}
using Items = std::vector<Item>;
inline Items join(Items a, const Items &b) {
    for (const Item &item : b) a.push_back(item);
    return a;
}

using cfr::intern;

// A stored record of an interval, written from lists of items.
class RecordBuilder : public cfr::Record<RecordBuilder> {
public:
    explicit RecordBuilder(uint16_t command, uint16_t flags = 0, int64_t start = kStart, int64_t end = kEnd)
        : cfr::Record<RecordBuilder>(1 << 16, command, flags) {
        evCFSetIntervalStart(buffer_.data(), start);
        evCFSetIntervalEnd(buffer_.data(), end);
    }
    // Every item after this is followed by a run of pad bytes (the aggregation messages' layout).
    RecordBuilder &padEach(int32_t length) {
        pad_ = length;
        return *this;
    }
    RecordBuilder &add(const Item &item);
    RecordBuilder &add(const Items &items) {
        for (const Item &item : items) add(item);
        return *this;
    }
    std::vector<uint8_t> record() const { return bytes(); }

private:
    RecordBuilder &padding() {
        if (pad_ <= 0) return *this;
        evCFItem p{};
        p.type = EVCF_PADDING;
        p.parmId = 1;
        p.length = pad_;
        return write(p);
    }
    // Lead 226 by hand: [lead, u16 id, u32 string id], counted in its group or the header.
    void writePooledBytes(int32_t id, uint32_t value) {
        uint8_t *out = buffer_.data() + w_.length;
        out[0] = EVCF_LEAD_POOLED_BYTES;
        mqiPutU16(out, 1, static_cast<uint16_t>(id));
        mqiPutU32(out, 3, value);
        w_.length += 7;
        size_t count = w_.depth > 0 ? w_.groups[w_.depth - 1].offset + 3 : 30;
        mqiPutU16(buffer_.data(), count, static_cast<uint16_t>(mqiGetU16(buffer_.data(), count) + 1));
    }

    int32_t pad_ = 0;
};

inline RecordBuilder &RecordBuilder::add(const Item &item) {
    evCFItem it{};
    it.parmId = item.id;
    switch (item.kind) {
        case Item::Int:
            it.type = MQCFT_INTEGER;
            it.value = item.value;
            break;
        case Item::Int64:
            it.type = MQCFT_INTEGER64;
            it.value = item.value;
            break;
        case Item::Str:
            it.type = EVCF_STRING_ID;  // interned here, so that no text is taken for a date or time
            it.value = intern(item.text);
            break;
        case Item::Empty:
            it.type = MQCFT_STRING;
            it.data = "";
            break;
        case Item::Mixed:
            it.type = EVCF_STRING_MIXED;
            break;
        case Item::Bytes:
            it.type = MQCFT_BYTE_STRING;
            it.data = item.text.data();
            it.length = static_cast<int32_t>(item.text.size());
            break;
        case Item::PooledBytes:
            writePooledBytes(item.id, static_cast<uint32_t>(item.value));
            return padding();
        case Item::StrId:
            it.type = EVCF_STRING_ID;
            it.value = item.value;
            break;
        case Item::Unset:
            it.type = EVCF_INT_UNSET;
            break;
    }
    write(it);
    return padding();
}

// Every test starts with an empty string pool and no stream definitions.
class StatsTest : public ::testing::Test {
protected:
    void SetUp() override {
        evStreamDefFreeAll();
        evStringsFree(1);
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);
    }
    void TearDown() override {
        evStringsFree(1);
        evStreamDefFreeAll();
    }
};

inline std::string text(const StringEntry *entry) {
    return entry ? std::string(entry->text, entry->length) : std::string("(absent)");
}
inline std::string connId(const uint8_t *data, uint16_t length) {
    return data ? std::string(reinterpret_cast<const char *>(data), length) : std::string("(absent)");
}

// The emitters' parser of a family.
inline const StatsEmitSlot &slotOf(const StatsFamily *family) {
    for (const StatsEmitSlot &slot : evStatsEmitSlots)
        if (slot.family == family) return slot;
    ADD_FAILURE() << "no parser for " << family->name;
    return evStatsEmitSlots[0];
}

// The objects of a stored record as the family's emitter parser gives them, each as the bytes of its
// record (pointers in them point into record, which the caller keeps).
inline std::vector<std::vector<uint8_t>> readObjects(const StatsFamily *family,
                                                     const std::vector<uint8_t> &record) {
    const StatsEmitSlot &slot = slotOf(family);
    std::vector<uint64_t> work((slot.workSize + 7) / 8);
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record.data(), static_cast<uint32_t>(record.size()), 0, 0);
    std::vector<std::vector<uint8_t>> out;
    for (int first = 1; slot.parse(first, &cursor, work.data()) && out.size() < 100; first = 0) {
        const auto *object = reinterpret_cast<const uint8_t *>(work.data());
        out.emplace_back(object, object + family->recordSize);
    }
    return out;
}

// A record of the intake's shape: the key part, then each object in a group of its own (the MQI
// families: everything flat).
inline std::vector<uint8_t> rawRecord(const StatsFamily *family, const Items &keys,
                                      const std::vector<Items> &objects, uint16_t flags = 0) {
    RecordBuilder b(family->command, flags);
    b.add(keys);
    for (const Items &object : objects) {
        if (family->objectId) b.group(family->groupId);
        b.add(object);
        if (family->objectId) b.end();
    }
    return b.record();
}

// Stored records that outlive the test step that read them (a record may point into its bytes).
inline const std::vector<uint8_t> &kept(std::vector<uint8_t> record) {
    static std::deque<std::vector<uint8_t>> records;
    return records.emplace_back(std::move(record));
}

// The one object of a record of the intake's shape, as the family's record type.
template <typename Record>
Record readOne(const StatsFamily *family, const Items &keys, const Items &object) {
    static_assert(std::is_trivially_copyable_v<Record>);
    Record r{};
    auto objects = readObjects(family, kept(rawRecord(family, keys, {object})));
    EXPECT_EQ(objects.size(), 1u);
    if (!objects.empty()) std::memcpy(&r, objects[0].data(), sizeof r);
    return r;
}

// Two records field by field through the family's table: the first difference, or "".
inline std::string firstDifference(const StatsFamily *family, const void *a, const void *b) {
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField &f = family->fields[i];
        const auto *x = static_cast<const uint8_t *>(a) + f.offset;
        const auto *y = static_cast<const uint8_t *>(b) + f.offset;
        bool same = true;
        if (f.width == STATS_W_BYTES) {
            const uint8_t *px, *py;
            uint16_t lx, ly;
            std::memcpy(&px, x, sizeof px);
            std::memcpy(&py, y, sizeof py);
            std::memcpy(&lx, x + sizeof px, 2);
            std::memcpy(&ly, y + sizeof py, 2);
            same = connId(px, lx) == connId(py, ly);
        } else {
            same = std::memcmp(x, y, f.width == STATS_W_U32 ? 4 : 8) == 0;
        }
        if (!same) return f.keyword ? f.keyword : "field at offset " + std::to_string(f.offset);
    }
    return "";
}

}  // namespace stt
