// Loading: a stream comes back from the data queue at connect, its header message first, then the big
// and the small range of blob numbers. Stored messages may be damaged or missing: every blob is
// checked before it is used, a damaged or missing one is skipped (the damaged one named in the log,
// left on the queue for whoever wants to look at it), what was lost is counted once per stream, and
// the ranges end up as what was found. Unlike the documented load, which ends at a damaged blob, one
// bad message never stops a start: only a failing queue or want of storage fails a load. Each blob is read
// into an area of its own length, so memory holds the messages and nothing more. A stream whose header
// message is damaged or missing is rebuilt from the blob messages that name it.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "streams/internal.h"

std::atomic<int32_t> evStreamLoadedCount{0};

namespace {

constexpr MQLONG kBrowseNextLength = MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG;        // 0x60
constexpr MQLONG kRemoveUnderCursor = MQGMO_MSG_UNDER_CURSOR | MQGMO_ACCEPT_TRUNCATED_MSG;  // 0x140
constexpr uint64_t kMissingRunLimit = 100000;  // missing numbers in a row that mean a damaged range
// The highest blob number a range may hold: a stream closes its blobs one by one and never gets near
// it, while the next number after it still fits the header's signed fields and never wraps to 0 (the
// header's own key). A blob numbered above it is damage, or a stray copy.
constexpr uint64_t kHighestNumber = uint64_t{INT64_MAX} - 1;
constexpr size_t kLeftOutNamed = 10;  // blobs a rebuild leaves out named one by one, the rest counted
constexpr uint32_t kAreaSpare = 24;

// The record times of a blob, noted by the walk that checks its entries: the latest of all, and the
// newest and oldest of those not after the load (plus the tolerance appends allow).
struct RecordTimes {
    int64_t limit = 0;  // the load's time plus the tolerance
    int64_t latest = 0;
    int64_t newest = 0;
    int64_t oldest = 0;
    void note(int64_t time) {
        latest = std::max(latest, time);
        if (time <= 0 || time > limit) return;
        newest = std::max(newest, time);
        if (oldest == 0 || time < oldest) oldest = time;
    }
};

// What one load of a stream lost: blobs that failed their checks and numbers of its ranges that
// had no message.
struct LoadLoss {
    uint64_t damaged = 0;
    uint64_t missing = 0;
    uint64_t future = 0;  // blobs dated after the load, taken as stored at the load
};

void damaged(const Stream *stream, uint64_t number, const uint8_t *correlId) {
    char hex[2 * BLOB_ID_LENGTH + 1];
    evBlobIdHex(correlId, hex);
    evOutputF(EV_OUT_ERROR, 1, "Stream '%s' blob %lld is damaged: skipped (CorrelId X'%s')",
              evStreamName(stream), static_cast<long long>(number), hex);
}

// A "$STRINGS" entry is a stored string exactly (id, CCSID, length, the text and two zero bytes); any
// other stream's entry a compressed record whose items end within it.
bool entryOfKind(const BlobEntry &entry, bool strings) {
    if (strings) {
        StoredString stored;
        return evStoredStringParse(&entry, &stored) && entry.dataLength == uint32_t{stored.length} + 12 &&
               entry.data[10 + stored.length] == 0 && entry.data[11 + stored.length] == 0;
    }
    // Measured item by item, not decoded: the check walks every record of every blob a load reads.
    return entry.dataLength >= EVCF_HEADER_LENGTH && evCFItemsEnd(entry.data, entry.dataLength);
}

// The entries of a blob held in length bytes fill it, count what the header says, and chain both
// ways: each names the total of the one before it, and the last is where the header says. Unlike the
// documented load, which takes whatever a blob holds, each entry must be of the stream's kind too: a
// blob written before blob headers named their stream names none, and a "$STRINGS" blob put under an
// events stream's key would load as records ("Unknown" events), an events blob under "$STRINGS" as no
// strings at all.
bool entriesSound(const uint8_t *bh, uint32_t length, bool strings, RecordTimes *times) {
    BlobWalk walk;
    BlobEntry entry;
    uint64_t count = 0, bytes = BLOB_HEADER_LENGTH;
    uint32_t last = 0;
    uint16_t previous = 0;
    evBlobWalkInit(&walk, bh, length, 0);
    int result;
    while ((result = evBlobWalkNext(&walk, &entry)) > 0) {
        if (entry.previous != previous || !entryOfKind(entry, strings)) return false;
        // An event's time and a statistics record's interval end share the place.
        if (!strings) times->note(evCFGetEventTime(entry.data));
        previous = entry.total;
        count++;
        bytes += entry.total;
        last = entry.offset;
    }
    return result == 0 && count == evBlobRecords(bh) && bytes == length && last == evBlobLastEntry(bh);
}

// A blob header with its entries, as stored: length, eye-catcher, number, kind and (when it names
// one) stream agree.
bool blobSound(const Stream *stream, const uint8_t *bh, uint32_t length, uint64_t number, bool big,
               RecordTimes *times) {
    const bool strings = stream->definition == nullptr;
    if (length < BLOB_HEADER_LENGTH || evBlobLength(bh) != length) return false;
    if (std::memcmp(bh + BH_EYE, "*BH*", 4) != 0 || evBlobNumber(bh) != number) return false;
    const uint32_t named = mqiGetU32(bh, BH_STREAM);
    if (named != 0 &&
        (named != stream->streamId + 1 || mqiGetU32(bh, BH_QMGR) != evStreamQmgrNumber(stream) + 1))
        return false;
    if (((evBlobFlags(bh) & BLOB_BIG) != 0) != big) return false;
    return entriesSound(bh, length, strings, times);
}

bool rangeSound(const uint8_t *message, uint32_t firstOffset, uint32_t lastOffset) {
    auto first = static_cast<uint64_t>(mqiGetI64(message, firstOffset));
    auto last = static_cast<uint64_t>(mqiGetI64(message, lastOffset));
    return first == 0 || first <= last;
}

bool headerSound(const Stream *stream, const uint8_t *message, uint32_t length, RecordTimes *times) {
    if (length < STREAM_HEADER_LENGTH || std::memcmp(message + SH_EYE, "*SH*", 4) != 0) return false;
    if (mqiGetU32(message, SH_STREAM_ID) != stream->streamId) return false;
    if (!rangeSound(message, SH_SMALL_FIRST, SH_SMALL_LAST) ||
        !rangeSound(message, SH_BIG_FIRST, SH_BIG_LAST))
        return false;
    return blobSound(stream, message + SH_BLOB, length - SH_BLOB, 0, false, times);
}

void noteLoaded() {
    int32_t loaded = ++evStreamLoadedCount;
    if (loaded % 100 == 0) {
        evStatusRebuild = 1;
        evStatusLine();
    }
}

// The blob messages on the data queue by queue manager number and stream id, each kind's numbers: what
// a stream whose header is damaged or missing is rebuilt from. One browse of the queue at the first
// stream that needs it; dropped when the load of every stream ends (the orphan count) and when a new
// load starts with "$STRINGS".
struct StoredNumbers {
    std::vector<uint64_t> small, big;
    bool header = false;  // a stream header message names it too
};
std::map<std::pair<uint32_t, uint32_t>, StoredNumbers> gBlobIndex;
bool gBlobIndexValid = false;
// The stream ids below it are ones the program may have handed out.
constexpr uint32_t kStoredIdLimit = 1u << 24;

int scanBlobIndex(EvStreamIo *io) {
    gBlobIndex.clear();
    for (MQLONG options = MQGMO_BROWSE_FIRST | MQGMO_ACCEPT_TRUNCATED_MSG;;
         options = MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG) {
        MQMD md;
        MQLONG reason = evDqGet(io, nullptr, options, 0, nullptr, 0, nullptr, &md);
        if (reason == MQRC_NO_MSG_AVAILABLE) break;
        if (reason != MQRC_NONE && reason != MQRC_TRUNCATED_MSG_ACCEPTED) {
            evDqFailed(io, "MQGET", reason);
            return 0;
        }
        const auto *id = reinterpret_cast<const uint8_t *>(md.CorrelId);
        const uint32_t kind = mqiGetU32(id, 12);
        const auto number = static_cast<uint64_t>(mqiGetI64(id, 16));
        if (mqiGetU32(id, 0) != BLOB_ID_MARK || (kind != BLOB_KIND_SMALL && kind != BLOB_KIND_BIG) ||
            (number == 0 && kind != BLOB_KIND_SMALL))
            continue;
        StoredNumbers &numbers = gBlobIndex[{mqiGetU32(id, 4), mqiGetU32(id, 8)}];
        if (number == 0)
            numbers.header = true;
        else
            (kind == BLOB_KIND_BIG ? numbers.big : numbers.small).push_back(number);
    }
    for (auto &entry : gBlobIndex)
        for (std::vector<uint64_t> *numbers : {&entry.second.small, &entry.second.big}) {
            std::sort(numbers->begin(), numbers->end());
            numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
        }
    gBlobIndexValid = true;
    return 1;
}

// Unlike the documented load, which takes any stored time, a blob dated later than now plus the
// tolerance appends allow (a damaged blob, or one stored while the clock ran ahead) is dated again
// from its own records' times that are not in the future (those the walk that checked it noted), or,
// with none, as stored now: expiry takes the oldest blob first and stops at one not yet due, so a blob
// dated years ahead would keep itself and every later blob for ever, and one dated at the load every
// blob behind it one retention longer. Fixed once here, so that it expires with its records.
bool clampFuture(uint8_t *bh, int64_t now, const RecordTimes &times) {
    bool clamped = false;
    if (evTimeSpan(evBlobNewest(bh), now) > STREAM_FUTURE_TOLERANCE) {
        mqiPutI64(bh, BH_NEWEST, times.newest ? times.newest : now);
        clamped = true;
    }
    if (evTimeSpan(mqiGetI64(bh, BH_OLDEST), now) > STREAM_FUTURE_TOLERANCE) {
        mqiPutI64(bh, BH_OLDEST, times.oldest ? times.oldest : evBlobNewest(bh));
        clamped = true;
    }
    return clamped;
}

// Removes, outside the unit of work, every later message with the BlobId of the one just browsed,
// each named.
void removeLaterCopies(EvStreamIo *io, const Stream *stream, uint64_t number, const uint8_t *correlId) {
    for (;;) {
        MQMD md;
        MQLONG reason = evDqGet(io, correlId, kBrowseNextLength, 0, nullptr, 0, nullptr, &md);
        if (reason != MQRC_TRUNCATED_MSG_ACCEPTED && reason != MQRC_NONE) return;
        reason = evDqGet(io, correlId, kRemoveUnderCursor, 0, nullptr, 0, nullptr);
        if (reason != MQRC_TRUNCATED_MSG_ACCEPTED && reason != MQRC_NONE) return;
        evDataQueueMsgCount--;
        char hex[2 * BLOB_ID_LENGTH + 1], msgId[2 * MQ_MSG_ID_LENGTH + 1];
        evBlobIdHex(correlId, hex);
        evBlobIdHex(md.MsgId, msgId);
        evOutputF(EV_OUT_ERROR, 1,
                  "Stream '%s' blob %lld has a second copy: removed (CorrelId X'%s' MsgId X'%s')",
                  evStreamName(stream), static_cast<long long>(number), hex, msgId);
    }
}

// What one load browses every message into: a blob is checked there and copied into an area of its
// own length, so that reading it takes one MQGET rather than a get that measures it and another that
// reads it (a round trip per blob, dearer still over a client channel). It grows to the longest
// message seen, in steps that keep the gets that fail for want of room (2080) to a few a load, and is
// freed when the load ends.
class ReadBuffer {
public:
    ReadBuffer() = default;
    ReadBuffer(const ReadBuffer &) = delete;
    ReadBuffer &operator=(const ReadBuffer &) = delete;
    ~ReadBuffer() {
        if (data_) CSFreeMem(data_);
    }
    uint8_t *data() const { return data_; }
    uint32_t capacity() const { return capacity_; }
    // Room for length bytes (at most a whole message); false when memory is short.
    bool reserve(uint32_t length) {
        if (length <= capacity_) return true;
        uint64_t grown = std::max<uint64_t>(length, 2 * uint64_t{capacity_});
        grown = std::min<uint64_t>((grown + 4095) & ~uint64_t{4095}, STREAM_MAX_MESSAGE);
        if (grown < length) return false;
        auto *bigger = static_cast<uint8_t *>(CSGetMem(grown));
        if (!bigger) return false;
        if (data_) CSFreeMem(data_);
        data_ = bigger;
        capacity_ = static_cast<uint32_t>(grown);
        return true;
    }

private:
    uint8_t *data_ = nullptr;
    uint32_t capacity_ = 0;
};

// 1 with the blob's area, or with none when it is missing or damaged (counted in loss); 0 when the
// queue fails or storage is short.
int readBlob(EvStreamIo *io, Stream *stream, uint32_t kind, uint64_t number, int required, Area **area,
             ReadBuffer &buffer, LoadLoss &loss) {
    *area = nullptr;
    bool isHeader = number == 0;
    if (evStreamTracing()) evOutputF(EV_OUT_PROGRESS, 1, "Loading stream '%s'", evStreamName(stream));
    uint8_t correlId[BLOB_ID_LENGTH];
    evBlobIdBuild(correlId, evStreamQmgrNumber(stream), stream->streamId, kind, number);

    // 2. Browsed into the buffer; one longer than its room is measured by the failed get, and read
    // again into a buffer that holds it (it may have grown in between: measured again).
    uint32_t headerSize = stream->blobSize + STREAM_AREA_EXTRA;
    if (!buffer.reserve(headerSize)) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    MQLONG length = 0, reason = MQRC_NONE;
    for (int attempt = 0; attempt < 3; attempt++) {
        reason = evDqGet(io, correlId, MQGMO_BROWSE_FIRST, 0, buffer.data(),
                         static_cast<MQLONG>(buffer.capacity()), &length);
        if (reason != MQRC_TRUNCATED_MSG_FAILED) break;
        if (length < 0 || uint64_t(length) > STREAM_MAX_MESSAGE) {
            damaged(stream, number, correlId);
            loss.damaged++;
            return 1;
        }
        if (!buffer.reserve(static_cast<uint32_t>(length))) {
            evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
            return 0;
        }
    }
    if (reason != MQRC_NONE) {
        if (reason == MQRC_NO_MSG_AVAILABLE) return !required || isHeader;
        evDqFailed(io, "MQGET", reason);
        return 0;
    }

    // 3. Checked, then taken as the copy on the queue, in an area that holds the message and no more
    // (the header's area has at least the room of the stream's blob size, which the room left for
    // appends is measured against).
    auto used = static_cast<uint32_t>(length);
    const int64_t now = evClockNow();
    RecordTimes times;
    times.limit = now + STREAM_FUTURE_TOLERANCE;
    bool sound = isHeader ? headerSound(stream, buffer.data(), used, &times)
                          : blobSound(stream, buffer.data(), used, number, kind == BLOB_KIND_BIG, &times);
    if (!sound) {
        damaged(stream, number, correlId);
        loss.damaged++;
        return 1;
    }
    uint32_t need = used + kAreaSpare;
    Area *got = AreaGet(isHeader && headerSize > need ? headerSize : need, 0, isHeader ? "evMSG" : "BLOBMSG");
    if (!got) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    got->size = isHeader ? headerSize : need;
    got->used = used;
    uint8_t *message = AreaData(got);
    std::memcpy(message, buffer.data(), used);
    *area = got;
    uint8_t *bh = isHeader ? message + SH_BLOB : message;
    evBlobSetFlags(bh, (evBlobFlags(bh) & ~(BLOB_UPDATED | BLOB_DEDUPED)) | BLOB_EXISTS);
    if (clampFuture(bh, now, times)) {
        if (isHeader && evTimeSpan(mqiGetI64(message, SH_NEWEST), now) > STREAM_FUTURE_TOLERANCE)
            mqiPutI64(message, SH_NEWEST, evBlobNewest(bh));
        // Written back at the next sync point, so that the next load finds it fixed.
        evBlobSetFlags(bh, evBlobFlags(bh) | BLOB_UPDATED);
        stream->flags |= STREAM_NEEDS_HARDENING;
        loss.future++;
    }
    // After the clamp: a record's own later date is kept apart from the blob's newest time (as
    // evBlobNoteLatest notes it, from the times the check's walk noted).
    if (stream->definition) mqiPutI64(bh, BH_LATEST, times.latest > evBlobNewest(bh) ? times.latest : 0);
    noteLoaded();
    if (evStreamTracing()) {
        char hex[2 * BLOB_ID_LENGTH + 1];
        evBlobIdHex(correlId, hex);
        evOutputF(EV_OUT_PROGRESS, 1, "  Message read : %.48s", hex);
        evOutputF(EV_OUT_PROGRESS, 1, "  Message %" PRId64 " (%p) read", static_cast<int64_t>(number),
                  static_cast<void *>(bh));
    }
    stream->bytes += evBlobLength(bh);
    // 4. Later copies are duplicates: the first is the one used.
    removeLaterCopies(io, stream, number, correlId);
    return 1;
}

// Reads full blob number of the kind and links it at the head of the stream's list. 1 (*found tells
// whether it was there and sound), or 0 when the queue fails or storage is short.
int takeBlob(EvStreamIo *io, Stream *stream, uint32_t kind, uint64_t number, ReadBuffer &buffer,
             LoadLoss &loss, bool *found) {
    Area *area = nullptr;
    *found = false;
    if (!readBlob(io, stream, kind, number, 0, &area, buffer, loss)) return 0;
    if (!area) return 1;
    auto *node = static_cast<StreamBlob *>(CSGetMem(sizeof(StreamBlob)));
    if (!node) {
        AreaRelease(&area);
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    *node = StreamBlob{stream->blobs, area, BlobStamp{}};
    stream->blobs = node;
    stream->recordCount += evBlobRecords(AreaData(area));
    *found = true;
    return 1;
}

int loadRange(EvStreamIo *io, Stream *stream, int big, ReadBuffer &buffer, LoadLoss &loss) {
    uint8_t *message = evStreamMessage(stream);
    uint32_t firstOffset = big ? SH_BIG_FIRST : SH_SMALL_FIRST;
    uint32_t lastOffset = big ? SH_BIG_LAST : SH_SMALL_LAST;
    auto first = static_cast<uint64_t>(mqiGetI64(message, firstOffset));
    auto last = static_cast<uint64_t>(mqiGetI64(message, lastOffset));
    uint32_t kind = big ? BLOB_KIND_BIG : BLOB_KIND_SMALL;
    // No blob in the range: its last number (kept by a rebuild past damaged blobs) stays where the
    // numbering goes on from.
    if (first == 0) {
        if (last > kHighestNumber) {
            evOutputF(EV_OUT_ERROR, 1, "Stream '%s' range is damaged at blob %llu: the rest of it skipped",
                      evStreamName(stream), static_cast<unsigned long long>(last));
            mqiPutI64(message, lastOffset, 0);
        }
        return 1;
    }
    uint64_t lowest = 0, highest = 0, found = 0, missing = 0, missingOnly = 0;
    for (uint64_t number = first;; number++) {
        bool present = false;
        const uint64_t damagedBefore = loss.damaged;
        if (number > kHighestNumber) {
            evOutputF(EV_OUT_ERROR, 1, "Stream '%s' range is damaged at blob %llu: the rest of it skipped",
                      evStreamName(stream), static_cast<unsigned long long>(number));
            break;
        }
        if (!takeBlob(io, stream, kind, number, buffer, loss, &present)) return 0;
        if (!present && loss.damaged != damagedBefore) {
            // A damaged message is left on the queue: the range goes on to it, so that no later blob
            // is numbered onto it and takes it away.
            missing = missingOnly = 0;
            highest = number;
        } else if (!present) {
            loss.missing++;
            missingOnly++;
            if (++missing >= kMissingRunLimit) {
                // A range this sparse is the header's damage, not blobs lost one by one.
                evOutputF(EV_OUT_ERROR, 1,
                          "Stream '%s' range is damaged at blob %lld: the rest of it skipped",
                          evStreamName(stream), static_cast<long long>(number));
                loss.missing -= missingOnly;
                break;
            }
        } else {
            missing = missingOnly = 0;
            if (!lowest) lowest = number;
            highest = number;
            found++;
        }
        if (number == last) break;
    }
    stream->blobCount += static_cast<uint32_t>(found);
    if (!big) stream->smallBlobCount += found;
    // What was found is the range: a first below the lowest blob would stall consolidation, a last
    // above the highest would make the next blob's number fall outside it. Unlike the documented
    // load, the last number also covers damaged blobs past the highest sound one (and stays with no
    // sound blob at all, the range then [0,last]): the next blob is numbered after them.
    mqiPutI64(message, firstOffset, static_cast<int64_t>(lowest));
    mqiPutI64(message, lastOffset, static_cast<int64_t>(highest));
    return 1;
}

// A stream whose header message is damaged or missing, rebuilt from the blob messages that name it
// by their BlobId: a new header (its current blob's records were in the lost message) whose ranges
// are the blobs found, so that numbering goes on after the highest of them and no later write takes
// the CorrelId of a blob that is still sound. The header is written at the next sync point.
// 1, or 0 when the queue fails or storage is short.
int rebuild(EvStreamIo *io, Stream *stream, const char *header, ReadBuffer &buffer, LoadLoss &loss) {
    if (!gBlobIndexValid && !scanBlobIndex(io)) return 0;
    auto at = gBlobIndex.find({evStreamQmgrNumber(stream), stream->streamId});
    if (at == gBlobIndex.end()) return 1;
    uint8_t *message = evStreamMessage(stream);
    uint64_t foundCount[2] = {0, 0};
    uint32_t lastEventId = 0;
    int64_t newest = 0;
    bool ranged = false;
    for (int big = 1; big >= 0; big--) {
        const std::vector<uint64_t> &numbers = big ? at->second.big : at->second.small;
        const uint32_t kind = big ? BLOB_KIND_BIG : BLOB_KIND_SMALL;
        uint64_t lowest = 0, highest = 0;
        // The numbers from the lowest on while the normal load would walk on to them (fewer missing in
        // a row than make a range damaged, none above the highest a range may hold). A stray blob far
        // above them (a copy under another number) would otherwise take the range: the load after
        // would stop short of the blobs numbered after it, or their numbering wrap onto the header.
        size_t end = 0;
        for (uint64_t previous = 0; end < numbers.size(); previous = numbers[end++]) {
            const uint64_t number = numbers[end];
            if (number > kHighestNumber || (end != 0 && number - previous - 1 >= kMissingRunLimit)) break;
        }
        for (size_t i = 0; i < end; i++) {
            const uint64_t number = numbers[i];
            bool found = false;
            const uint64_t damagedBefore = loss.damaged;
            if (!takeBlob(io, stream, kind, number, buffer, loss, &found)) return 0;
            // A damaged one stays on the queue: the range reaches it, so that numbering goes past it.
            if (!found && loss.damaged != damagedBefore) highest = number;
            if (!found) continue;
            const uint8_t *bh = AreaData(stream->blobs->area);
            lastEventId = std::max(lastEventId, mqiGetU32(bh, BH_HIGH_EVENT_ID));
            newest = std::max(newest, evBlobNewest(bh));
            if (!lowest) lowest = number;
            highest = number;
            foundCount[big]++;
        }
        ranged = ranged || highest != 0;
        for (size_t i = end; i < numbers.size(); i++) {
            if (i - end == kLeftOutNamed) {
                evOutputF(EV_OUT_ERROR, 1,
                          "Stream '%s' has %llu more %s blob(s) left out of the rebuilt range",
                          evStreamName(stream), static_cast<unsigned long long>(numbers.size() - i),
                          big ? "big" : "small");
                break;
            }
            uint8_t correlId[BLOB_ID_LENGTH];
            char hex[2 * BLOB_ID_LENGTH + 1];
            evBlobIdBuild(correlId, evStreamQmgrNumber(stream), stream->streamId, kind, numbers[i]);
            evBlobIdHex(correlId, hex);
            evOutputF(
                EV_OUT_ERROR, 1,
                "Stream '%s' %s blob %llu is out of the rebuilt range: left on the queue (CorrelId X'%s')",
                evStreamName(stream), big ? "big" : "small", static_cast<unsigned long long>(numbers[i]),
                hex);
        }
        mqiPutI64(message, big ? SH_BIG_FIRST : SH_SMALL_FIRST, static_cast<int64_t>(lowest));
        mqiPutI64(message, big ? SH_BIG_LAST : SH_SMALL_LAST, static_cast<int64_t>(highest));
    }
    if (!ranged) return 1;
    stream->blobCount += static_cast<uint32_t>(foundCount[0] + foundCount[1]);
    stream->smallBlobCount += foundCount[0];
    mqiPutU32(message, SH_LAST_EVENT_ID, lastEventId);
    mqiPutI64(message, SH_NEWEST, newest);
    uint8_t *current = evStreamCurrentBlob(stream);
    evBlobSetFlags(current, evBlobFlags(current) | BLOB_UPDATED);
    stream->flags |= STREAM_NEEDS_HARDENING;
    evOutputF(EV_OUT_ERROR, 1,
              "Stream '%s' header is %s: rebuilt from %llu small and %llu big blob message(s), small range "
              "[%lld,%lld] big range [%lld,%lld]",
              evStreamName(stream), header, static_cast<unsigned long long>(foundCount[0]),
              static_cast<unsigned long long>(foundCount[1]),
              static_cast<long long>(mqiGetI64(message, SH_SMALL_FIRST)),
              static_cast<long long>(mqiGetI64(message, SH_SMALL_LAST)),
              static_cast<long long>(mqiGetI64(message, SH_BIG_FIRST)),
              static_cast<long long>(mqiGetI64(message, SH_BIG_LAST)));
    evStreamRecompute(stream);
    return 1;
}

// A header message's ranges as stored, [small, big].
struct Ranges {
    uint64_t first[2], last[2];
    explicit Ranges(const uint8_t *message)
        : first{static_cast<uint64_t>(mqiGetI64(message, SH_SMALL_FIRST)),
                static_cast<uint64_t>(mqiGetI64(message, SH_BIG_FIRST))},
          last{static_cast<uint64_t>(mqiGetI64(message, SH_SMALL_LAST)),
               static_cast<uint64_t>(mqiGetI64(message, SH_BIG_LAST))} {}
    // Outside them, yet within what a walk of the range would reach: below its first (an emptied
    // range keeps its last), or a run of missing numbers short of making the range damaged past its last.
    bool outside(bool big, uint64_t number) const {
        if (first[big] != 0 ? number < first[big] : number <= last[big]) return true;
        return number > last[big] && number <= kHighestNumber && number - last[big] <= kMissingRunLimit;
    }
};

// Each sound blob message of the stream outside the ranges of its header message (ranges), with its
// kind, number, header and correlId: the browse in buffer. 1, or 0 when the queue fails or storage is
// short.
template <typename Visit>
int forEachOutside(EvStreamIo *io, const Stream *stream, const Ranges &ranges, ReadBuffer &buffer,
                   Visit visit) {
    if (!gBlobIndexValid && !scanBlobIndex(io)) return 0;
    const auto at = gBlobIndex.find({evStreamQmgrNumber(stream), stream->streamId});
    if (at == gBlobIndex.end()) return 1;
    const std::vector<uint64_t> numbers[2] = {at->second.small, at->second.big};  // a visit may change them
    for (const bool big : {false, true}) {
        const uint32_t kind = big ? BLOB_KIND_BIG : BLOB_KIND_SMALL;
        for (const uint64_t number : numbers[big]) {
            if (!ranges.outside(big, number)) continue;
            uint8_t correlId[BLOB_ID_LENGTH];
            evBlobIdBuild(correlId, evStreamQmgrNumber(stream), stream->streamId, kind, number);
            MQLONG length = 0, reason = MQRC_NONE;
            for (int attempt = 0; attempt < 3; attempt++) {
                reason = evDqGet(io, correlId, MQGMO_BROWSE_FIRST, 0, buffer.data(),
                                 static_cast<MQLONG>(buffer.capacity()), &length);
                if (reason != MQRC_TRUNCATED_MSG_FAILED || length < 0 ||
                    uint64_t(length) > STREAM_MAX_MESSAGE)
                    break;
                if (!buffer.reserve(static_cast<uint32_t>(length))) {
                    evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
                    return 0;
                }
            }
            if (reason == MQRC_NO_MSG_AVAILABLE || reason == MQRC_TRUNCATED_MSG_FAILED) continue;
            if (reason != MQRC_NONE) {
                evDqFailed(io, "MQGET", reason);
                return 0;
            }
            RecordTimes times;
            times.limit = evClockNow() + STREAM_FUTURE_TOLERANCE;
            if (!blobSound(stream, buffer.data(), static_cast<uint32_t>(length), number, big, &times))
                continue;
            if (!visit(big, number, buffer.data(), correlId)) return 0;
        }
    }
    return 1;
}

// Whether a blob (bh) outside the ranges of an events stream's header message holds records taken
// after that header was saved: those at least as recent as the first of the header's current blob,
// or, with that blob empty, after the last the header numbered. Such a blob means the header is an
// older copy than its blobs (one put back from a backup, say), for a save puts a blob and the header
// that ranges over it in one unit. Event ids tell; a stream without them (statistics) never counts one.
bool newerThanHeader(const uint8_t *message, const uint8_t *bh) {
    const uint32_t high = mqiGetU32(bh, BH_HIGH_EVENT_ID);
    const uint32_t low = mqiGetU32(message + SH_BLOB, BH_LOW_EVENT_ID);
    if (high == 0) return false;
    return low != 0 ? high >= low : high > mqiGetU32(message, SH_LAST_EVENT_ID);
}

// Blobs outside the ranges of the stream's sound header message that hold newer records than it: the
// header is older than its blobs, and loaded as it is, the records of those blobs would be out of
// reach and the next blobs numbered onto them. The stream is then rebuilt from its blobs instead (the
// header's current blob was closed into one of them). 1 (*older told), or 0 when the queue fails.
int headerOlder(EvStreamIo *io, const Stream *stream, const uint8_t *message, ReadBuffer &buffer,
                bool *older) {
    *older = false;
    return forEachOutside(io, stream, Ranges(message), buffer,
                          [&](bool, uint64_t, const uint8_t *bh, const uint8_t *) {
                              *older = *older || newerThanHeader(message, bh);
                              return true;
                          });
}

// After the ranges of a sound header message (as stored: ranges) are loaded, the sound blobs outside
// them are older copies (a blob consolidated or expired since, put back): nothing would ever load
// them, and a small blob's number comes round again once its range empties. One whose records the
// loaded blobs hold too (its event ids within one's), or that is past the stream's retention, is named
// and removed, outside the unit of work; any other is named and left on the queue.
int removeOlderBlobs(EvStreamIo *io, Stream *stream, const Ranges &ranges, ReadBuffer &buffer) {
    const int64_t expired = evClockNow() - int64_t{stream->definition->retIntvl};
    return forEachOutside(
        io, stream, ranges, buffer,
        [&](bool big, uint64_t number, const uint8_t *bh, const uint8_t *correlId) {
            const uint32_t low = mqiGetU32(bh, BH_LOW_EVENT_ID), high = mqiGetU32(bh, BH_HIGH_EVENT_ID);
            bool held = evBlobNewest(bh) <= expired;
            for (const StreamBlob *blob = stream->blobs; blob != nullptr && !held && low != 0;
                 blob = blob->next) {
                const uint8_t *loaded = AreaData(blob->area);
                held = mqiGetU32(loaded, BH_LOW_EVENT_ID) != 0 && mqiGetU32(loaded, BH_LOW_EVENT_ID) <= low &&
                       mqiGetU32(loaded, BH_HIGH_EVENT_ID) >= high;
            }
            char hex[2 * BLOB_ID_LENGTH + 1];
            evBlobIdHex(correlId, hex);
            if (!held) {
                evOutputF(EV_OUT_ERROR, 1,
                          "Stream '%s' %s blob %llu is outside its header's range: left on the queue "
                          "(CorrelId X'%s')",
                          evStreamName(stream), big ? "big" : "small",
                          static_cast<unsigned long long>(number), hex);
                return true;
            }
            MQLONG reason = evDqGet(io, correlId, kRemoveUnderCursor, 0, nullptr, 0, nullptr);
            if (reason != MQRC_TRUNCATED_MSG_ACCEPTED && reason != MQRC_NONE) {
                evDqFailed(io, "MQGET", reason);
                return false;
            }
            evDataQueueMsgCount--;
            evOutputF(EV_OUT_ERROR, 1,
                      "Stream '%s' %s blob %llu is older than its header, outside its range: removed "
                      "(CorrelId X'%s')",
                      evStreamName(stream), big ? "big" : "small", static_cast<unsigned long long>(number),
                      hex);
            return true;
        });
}

}  // namespace

int evStreamReadBlob(EvStreamIo *io, Stream *stream, uint32_t kind, uint64_t number, int required,
                     Area **area) {
    ReadBuffer buffer;
    LoadLoss loss;
    return readBlob(io, stream, kind, number, required, area, buffer, loss);
}

int evStreamLoadRange(EvStreamIo *io, Stream *stream, int big) {
    ReadBuffer buffer;
    LoadLoss loss;
    return loadRange(io, stream, big, buffer, loss);
}

int evStreamLoad(EvStreamIo *io, Stream *stream) {
    ReadBuffer buffer;
    Area *area = nullptr;
    LoadLoss loss;
    if (!stream->definition) gBlobIndexValid = false;  // "$STRINGS" comes first in every load
    if (!readBlob(io, stream, BLOB_KIND_SMALL, 0, 1, &area, buffer, loss)) return 0;
    const char *lost = loss.damaged != 0 ? "damaged" : "missing";
    // A stream of records only: "$STRINGS" keeps its blobs otherwise.
    if (area && stream->definition) {
        bool older = false;
        if (!headerOlder(io, stream, AreaData(area), buffer, &older)) {
            AreaRelease(&area);
            return 0;
        }
        if (older) {
            stream->bytes -= evBlobLength(AreaData(area) + SH_BLOB);  // as the read counted it
            AreaRelease(&area);
            lost = "older than its blobs";
        }
    }
    if (!area) {
        if (!rebuild(io, stream, lost, buffer, loss)) return 0;
    } else {
        const Ranges stored(AreaData(area));
        AreaRelease(&stream->header);
        stream->header = area;
        stream->headerStamp = BlobStamp{};
        stream->blobCount = 1;
        stream->smallBlobCount = 0;
        stream->recordCount += evBlobRecords(evStreamCurrentBlob(stream));
        if (!loadRange(io, stream, 1, buffer, loss) || !loadRange(io, stream, 0, buffer, loss)) return 0;
        if (stream->definition && !removeOlderBlobs(io, stream, stored, buffer)) return 0;
        evStreamRecompute(stream);
    }
    // "$STRINGS" leaves gaps among its big blobs by design: only its damaged blobs are a loss.
    if (!stream->definition) loss.missing = 0;
    if (loss.damaged || loss.missing)
        evOutputF(EV_OUT_ERROR, 1,
                  "Stream '%s' loaded without %llu damaged and %llu missing blob(s): their records are lost",
                  evStreamName(stream), static_cast<unsigned long long>(loss.damaged),
                  static_cast<unsigned long long>(loss.missing));
    if (loss.future)
        evOutputF(EV_OUT_ERROR, 1,
                  "Stream '%s' has %llu blob(s) dated after the load: dated again from their records",
                  evStreamName(stream), static_cast<unsigned long long>(loss.future));
    if (!stream->definition) {
        // Strings whose stored copy is lost may still be named by stored records: new ids must not
        // reuse theirs (evStringsKeepStoredIds).
        const int incomplete = area == nullptr || loss.damaged != 0;
        const int loaded = evStringsLoad(stream);
        evStrings.incomplete = incomplete;
        return loaded;
    }
    return 1;
}

int evStreamReportOrphans(EvStreamIo *io) {
    if (!gBlobIndexValid && !scanBlobIndex(io)) return 0;
    gBlobIndexValid = false;  // this load is over: the next one browses the queue again
    // The streams with a header (loaded or rebuilt), by queue manager number and stream id.
    std::map<std::pair<uint32_t, uint32_t>, bool> headed;
    evForEachStream([&headed](Stream *stream) {
        if (stream->header && (evBlobFlags(evStreamCurrentBlob(stream)) & (BLOB_EXISTS | BLOB_UPDATED)))
            headed[{evStreamQmgrNumber(stream), stream->streamId}] = true;
        return true;
    });
    for (const auto &[key, numbers] : gBlobIndex) {
        const size_t count = numbers.small.size() + numbers.big.size();
        if (headed.count(key)) continue;
        if (numbers.header) {
            // A stream the configuration does not name for its queue manager (the configuration
            // message lost, say): what it holds stays as it is, for the stream ids its messages carry
            // are kept from new streams below.
            evOutputF(EV_OUT_ERROR, 1,
                      "Stored stream id %u (queue manager number %u) is not in the configuration: its header "
                      "and %llu blob message(s) are left on the queue, not loaded",
                      key.second, key.first, static_cast<unsigned long long>(count));
        } else if (count != 0) {
            evOutputF(EV_OUT_ERROR, 1,
                      "%llu blob message(s) of stream id %u (queue manager number %u) have no stream header: "
                      "their records are not loaded",
                      static_cast<unsigned long long>(count), key.second, key.first);
        }
        // A stream defined from now on never takes the id of stored messages: its writes would
        // replace their header and blobs. An id far past any the program hands out is damage, not a
        // stream, and keeps nothing.
        if (key.second > evStreamHighestId && key.second < kStoredIdLimit) evStreamHighestId = key.second;
    }
    gBlobIndex.clear();
    return 1;
}
