// Fuzz target: the five statistics and accounting processors over a message of any bytes. The first
// byte picks the processor (mod 5) and the input queue's TEMPQ (bit 3); the rest is the message, MQCFH
// first. Records take the engine's stream road into memory (no dead-letter queue, no connection);
// every record stored must read back to its end, item by item and through its family's parser.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "stats/stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using Processor = int (*)(QmgrContext *, EventQueueDef *, PcfCursor *);
constexpr Processor kProcessors[5] = {evIngestStatMQI, evIngestStatQ, evIngestStatChl, evIngestAcctMQI,
                                      evIngestAcctQ};

void readBack(const uint8_t *record, uint32_t length) {
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, record, length, 0, 0);
    evCFItem item{};
    int32_t compCode = 0, reason = 0;
    do evCFNextParm(&cursor, &item, &compCode, &reason);
    while (compCode == MQCC_OK);
    if (reason != PCF_END_OF_MESSAGE) std::abort();
    for (const StatsEmitSlot &slot : evStatsEmitSlots) {
        if (slot.family->command != evCFGetCommand(record)) continue;
        std::vector<uint64_t> work((slot.workSize + 7) / 8);
        evCFCursorInit(&cursor, &evStreamStringPool, record, length, 0, 0);
        for (int first = 1, n = 0; slot.parse(first, &cursor, work.data()) && n < 100000; first = 0, n++) {
        }
        return;
    }
    std::abort();  // a record of no family
}

void readBlob(const uint8_t *blob, uint32_t length) {
    BlobWalk walk;
    evBlobWalkInit(&walk, blob, length, 0);
    BlobEntry entry;
    while (evBlobWalkNext(&walk, &entry) == 1) readBack(entry.data, entry.dataLength);
    if (walk.damaged) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = false;
    if (!ready) {
        (void)evStringsInit(0);
        (void)evStringsCreateStream();
        cfgInstall();
        evSettings.useDlq.store(EV_USEDLQ_NO);
        ready = true;
    }
    if (size < 1 || size > 1 << 18) return 0;
    EventQueueDef queue{};
    queue.tempQ = (data[0] & 8) ? EV_TEMPQ_STORE : EV_TEMPQ_DISCARD;
    evSettings.accountingSelf.store((data[0] & 16) ? EV_ACCTSELF_KEEP : EV_ACCTSELF_DISCARD);
    std::vector<uint8_t> message(data + 1, data + size);
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.ReplyToQMgr, "QM1", 3);
    QmgrContext *context = evIntakeContext();
    context->currentMd = &md;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, message.data(), static_cast<int32_t>(message.size()), 850);
    CSLockRecursive(&gConsumerLock);
    (void)kProcessors[data[0] % 5](context, &queue, &cursor);
    CSUnlockRecursive(&gConsumerLock);
    context->currentMd = nullptr;
    for (CSTree *node = CSTreeFirst(evQmgrTree); node; node = node->next)
        for (Stream *stream = reinterpret_cast<QmgrEntry *>(node)->streams; stream; stream = stream->next) {
            for (StreamBlob *blob = stream->blobs; blob; blob = blob->next)
                readBlob(evStreamBlobHeader(blob), blob->area->used);
            readBlob(evStreamCurrentBlob(stream), evBlobLength(evStreamCurrentBlob(stream)));
        }
    cfgFreeModel(0);
    return 0;
}
