// The queue managers' counters (EVENTCT, its categories and the statistics counts) kept with what
// they count. The configuration message carries them too, but it is saved only when the
// configuration changes: a restart took them back to that save. Set E's sync point therefore
// replaces one message of them in its unit whenever its unit raised one, so that a commit keeps
// them with the records they count and a kill or backout loses them with those records.
//
// The message (kind EV_DQ_KIND_COUNTERS, Format MQFMT_NONE), little-endian:
//   u32 version, u32 queue managers, u32 counters per queue manager, i64 RESETTI when saved;
//   version 2: u32 CRC-32 of those 20 bytes;
//   then per queue manager: char[48] name (NUL-padded), the counters, u32 each, in EvQmgrCounter
//   order; version 2: u32 CRC-32 of the entry's bytes before it.
// Version 1 (no check values) is still read as it always was; saves write version 2. The check
// values tell damage from age: a header damaged (its RESETTI among it) leaves the sound entries
// taken when the queue manager put the message after the last reset, and a damaged entry costs only
// its own queue manager's counts, which fall back to the configuration's.
// A RESET EV saves the configuration with the counters at 0 and a new RESETTI: a message saved
// before it no longer agrees with the configuration's RESETTI and is not taken. A configuration made
// afresh because its message is missing knows no reset: the RESETTI of a sound header is the last
// reset, and its queue managers are added with their counts.
#include <array>
#include <cstring>
#include <vector>

#include "engine/internal.h"

namespace {

constexpr uint32_t kVersionUnchecked = 1;
constexpr uint32_t kVersion = 2;
constexpr uint32_t kHeader = 20;  // before the header's check value
constexpr uint32_t kName = 48;

bool ownCounters(void *putTime, const MQMD &md, const uint8_t *message, int32_t length) {
    const uint32_t version = length >= static_cast<int32_t>(kHeader) ? mqiGetU32(message, 0) : 0;
    const bool own = std::memcmp(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH) == 0 &&
                     (version == kVersionUnchecked || version == kVersion);
    // When the queue manager took it (0 unknown): outside the message's bytes, so their damage
    // leaves it alone.
    if (own && putTime != nullptr && !evYMDHMSToTime(md.PutDate, md.PutTime, static_cast<int64_t *>(putTime)))
        *static_cast<int64_t *>(putTime) = 0;
    return own;
}

// Further messages of the own layout behind the one taken at the load (a copy put back, say): each
// named once, and removed with every save of the counters until the next load (a removal of one
// already gone is no failure), so that a save backed out leaves none of them to be taken first.
constexpr size_t kDuplicatesNoted = 8;
std::vector<std::array<MQBYTE, MQ_MSG_ID_LENGTH>> gDuplicates;

bool noteDuplicate(void *arg, const MQMD &md, uint8_t *message, int32_t length) {
    bool &keptSeen = *static_cast<bool *>(arg);
    if (!ownCounters(nullptr, md, message, length)) return false;
    if (!keptSeen) {
        keptSeen = true;  // the first of the own layout is the one taken
        return false;
    }
    char msgId[2 * MQ_MSG_ID_LENGTH + 1];
    evIdToHex(md.MsgId, msgId);
    evOutputF(EV_OUT_ERROR, 1, "Duplicate counters message ignored: MsgId X'%s'; the next save removes it",
              msgId);
    if (gDuplicates.size() < kDuplicatesNoted) {
        gDuplicates.emplace_back();
        std::memcpy(gDuplicates.back().data(), md.MsgId, MQ_MSG_ID_LENGTH);
    }
    return false;
}

}  // namespace

bool evCountersRaised() {
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next)
        for (const EvCounter &counter : reinterpret_cast<const QmgrEntry *>(node)->counters)
            if (counter.current != counter.committed) return true;
    return false;
}

int evSaveCounters(EvStreamIo *io, char *text) {
    std::vector<uint8_t> message(kHeader + 4);
    uint32_t count = 0;
    {
        CSRecursiveGuard guard(gStructureLock);
        for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
            const auto *qmgr = reinterpret_cast<const QmgrEntry *>(node);
            const size_t at = message.size();
            const uint32_t check = static_cast<uint32_t>(at + kName + 4 * EV_QMGR_COUNTERS);
            message.resize(check + 4);
            std::memcpy(message.data() + at, qmgr->name, strnlen(qmgr->name, kName));
            for (int c = 0; c < EV_QMGR_COUNTERS; c++)
                mqiPutU32(message.data(), static_cast<uint32_t>(at + kName + 4 * c),
                          qmgr->counters[c].current);
            mqiPutU32(message.data(), check, mqiCrc32(message.data() + at, check - at));
            count++;
        }
    }
    mqiPutU32(message.data(), 0, kVersion);
    mqiPutU32(message.data(), 4, count);
    mqiPutU32(message.data(), 8, EV_QMGR_COUNTERS);
    mqiPutI64(message.data(), 12, evSettings.resetTime.load());
    mqiPutU32(message.data(), kHeader, mqiCrc32(message.data(), kHeader));
    if (!evReplaceDataMessage(io, EV_DQ_KIND_COUNTERS, MQFMT_NONE, message.data(),
                              static_cast<int32_t>(message.size()), evContext.state.name, text))
        return 0;
    const uint8_t correlId[MQ_CORREL_ID_LENGTH] = {EV_DQ_KIND_COUNTERS};
    for (const auto &duplicate : gDuplicates)
        if (!evRemoveDataMessageById(io, correlId, evContext.state.name, text, duplicate.data())) return 0;
    return 1;
}

int evLoadStoredCounters(EvStreamIo *io) {
    uint8_t *message = nullptr;
    int32_t length = 0;
    gDuplicates.clear();
    int64_t putTime = 0;
    if (!evBrowseOwnDataMessage(io, EV_DQ_KIND_COUNTERS, ownCounters, &putTime, &message, &length)) return 0;
    if (message == nullptr) {
        // None saved yet: the configuration's counts stand. A configuration made afresh while the
        // queue holds what an earlier run stored lost both messages: each loss is said.
        if (evConfigLoadedChanged.load() != 0) {
            bool stored = false;
            if (!evBrowseDataDescriptors(
                    io,
                    [](void *arg, const MQMD &md) {
                        const auto *id = reinterpret_cast<const uint8_t *>(md.CorrelId);
                        if (mqiGetU32(id, 0) == BLOB_ID_MARK ||
                            (id[0] > EV_DQ_KIND_CONFIG && id[0] <= EV_DQ_KIND_COUNTERS))
                            *static_cast<bool *>(arg) = true;
                    },
                    &stored))
                return 0;
            if (stored)
                evOutput(EV_OUT_ERROR,
                         "Stored configuration missing: a default configuration is made; no stored counters "
                         "were found to take.",
                         -1, 1);
        }
        return 1;
    }
    bool keptSeen = false;
    if (!evBrowseDataMessages(io, EV_DQ_KIND_COUNTERS, noteDuplicate, &keptSeen)) {
        CSFreeMem(message);
        return 0;
    }
    const auto size = static_cast<uint64_t>(length);
    const bool checked = mqiGetU32(message, 0) == kVersion;
    const uint32_t count = mqiGetU32(message, 4), counters = mqiGetU32(message, 8);
    const uint32_t header = kHeader + (checked ? 4 : 0);
    const uint64_t entry = kName + uint64_t{4} * counters + (checked ? 4 : 0);
    const int64_t saved = mqiGetI64(message, 12);
    // Without check values (version 1) the header counts as sound.
    const bool headerSound = !checked || mqiGetU32(message, kHeader) == mqiCrc32(message, kHeader);
    const bool afresh = evConfigLoadedChanged.load() != 0;
    if (afresh) {
        // A damaged message says so below, and its counts stay out as they would.
        const bool sound = headerSound && size == header + count * entry;
        evOutputF(EV_OUT_ERROR, 1, "Stored configuration missing: a default configuration is made%s",
                  sound ? "; the stored counters and their RESETTI are taken with it." : ".");
        if (sound) evSettings.resetTime.store(saved);
    }
    const int64_t reset = evSettings.resetTime.load();
    // When the queue manager took it after the last reset (in a later second: the put time has no
    // finer grain that counts), it was saved after that reset.
    const bool putAfterReset = putTime != 0 && putTime >= reset;
    const bool putSecondsAfterReset = putTime != 0 && putTime > reset;
    if (size != header + count * entry) {
        evOutput(EV_OUT_ERROR, "Stored counters damaged: the configuration's counts are kept.", -1, 1);
    } else if (headerSound && saved != reset) {
        // Saved before the last RESET EV (its counts no longer count); in the unchecked layout a
        // damaged time may look the same. Either way not taken, and said so. An unchecked message
        // the queue manager took after that reset was saved after it: its time is damaged.
        const bool damaged = !checked && (saved > reset || putAfterReset);
        evOutputF(EV_OUT_ERROR, 1,
                  "Stored counters %s (RESETTI %lld, the configuration's %lld): the configuration's counts "
                  "are kept.",
                  damaged         ? "damaged"
                  : saved > reset ? "saved after the configuration's reset"
                                  : "saved before the last reset",
                  static_cast<long long>(saved), static_cast<long long>(reset));
    } else if (!headerSound && !putSecondsAfterReset) {
        evOutputF(EV_OUT_ERROR, 1,
                  "Stored counters damaged (RESETTI %lld, the configuration's %lld): the configuration's "
                  "counts are kept.",
                  static_cast<long long>(saved), static_cast<long long>(reset));
    } else {
        // A damaged header of a message put after the last reset: its sound entries are what was
        // saved then, and are taken.
        if (!headerSound)
            evOutputF(EV_OUT_ERROR, 1,
                      "Stored counters damaged (RESETTI %lld, the configuration's %lld): put after the last "
                      "reset, their sound entries are kept.",
                      static_cast<long long>(saved), static_cast<long long>(reset));
        CSRecursiveGuard guard(gStructureLock);
        for (uint32_t i = 0; i < count; i++) {
            const uint8_t *at = message + header + i * entry;
            if (checked && mqiGetU32(at, static_cast<uint32_t>(entry - 4)) != mqiCrc32(at, entry - 4)) {
                evOutputF(EV_OUT_ERROR, 1,
                          "Stored counters of queue manager %u of %u damaged: the configuration's counts are "
                          "kept for it.",
                          i + 1, count);
                continue;
            }
            char name[EV_QUEUE_NAME_MAX + 1] = {};
            std::memcpy(name, at, kName);
            auto *qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, name, sizeof name));
            if (qmgr == nullptr && afresh && name[0] != 0) {
                char text[EV_CONFIG_TEXT];
                qmgr = evQmgrFindOrAdd(name, 0, text);
                if (qmgr == nullptr) {
                    evOutput(EV_OUT_ERROR, text, -1, 1);
                    continue;
                }
                qmgr->nameId = 0;  // interned again by the next find-or-add, once the string pool is loaded
            }
            if (qmgr == nullptr) continue;  // removed since
            for (uint32_t c = 0; c < counters && c < EV_QMGR_COUNTERS; c++) {
                EvCounter &counter = qmgr->counters[c];
                counter.current = counter.committed = counter.atConnect = mqiGetU32(at, kName + 4 * c);
            }
        }
    }
    CSFreeMem(message);
    return 1;
}
