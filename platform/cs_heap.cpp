// The counted heap: every block carries a header in front of the caller's memory, and process
// counters (guarded by the memory lock) tell how many blocks and bytes are in use.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/cs.h"

namespace {

struct MemHeader {
    uint32_t total;   // requested size + 52
    uint32_t kind;    // 1 below 300 bytes total, else 2
    uint32_t serial;  // the allocation counter at allocation time
    uint32_t spare[9];
};
static_assert(sizeof(MemHeader) == CS_MEM_HEADER);

// Guarded by gMemoryLock.
CSMemCounts counters{};
std::atomic<CSMemFailHook> failHook{nullptr};

MemHeader *headerOf(const void *pointer) {
    return reinterpret_cast<MemHeader *>(
        const_cast<unsigned char *>(static_cast<const unsigned char *>(pointer)) - CS_MEM_HEADER);
}

}  // namespace

void *CSGetMem(uint64_t size) {
    bool trace = CSTraceOn();
    if (trace) CSTrace(1, "--> %s\n", "CSGetMem");
    void *result = nullptr;
    // The total is kept in 32 bits: a size it cannot hold is refused rather than wrapped into a
    // small block that the caller would overrun.
    CSMemFailHook fail = failHook.load(std::memory_order_acquire);
    if (size <= UINT32_MAX - CS_MEM_OVERHEAD && !(fail && fail(size))) {
        uint32_t total = static_cast<uint32_t>(size + CS_MEM_OVERHEAD);
        CSLockMemory();
        void *block = std::malloc(total);
        if (!block && total < 300) block = std::malloc(total);
        if (block) {
            auto *header = static_cast<MemHeader *>(block);
            std::memset(header, 0, sizeof *header);
            header->total = total;
            header->kind = total < 300 ? 1 : 2;
            header->serial = static_cast<uint32_t>(counters.allocations);
            counters.blocks++;
            counters.allocations++;
            counters.bytes += total;
            if (counters.bytes > counters.high) counters.high = counters.bytes;
            result = static_cast<unsigned char *>(block) + CS_MEM_HEADER;
        }
        CSUnlockIt();
    }
    if (trace) {
        CSTrace(1, "CSGetMem Ptr:%p\n", result);
        CSTrace(1, "<-- %s RC(0x%8.8X)\n", "CSGetMem", 0u);
    }
    return result;
}

void CSFreeMem(void *pointer) {
    bool trace = CSTraceOn();
    if (trace) {
        CSTrace(1, "--> %s\n", "CSFreeMem");
        CSTrace(1, "CSFreeMem Ptr:%p\n", pointer);
    }
    MemHeader *header = headerOf(pointer);
    CSLockMemory();
    counters.bytes -= header->total;
    counters.blocks--;
    std::free(header);
    CSUnlockIt();
    if (trace) CSTrace(1, "<-- %s RC(0x%8.8X)\n", "CSFreeMem", 0u);
}

CSMemCounts CSMemCounters() {
    CSLockMemory();
    CSMemCounts snapshot = counters;
    CSUnlockIt();
    return snapshot;
}

uint32_t CSMemKind(const void *pointer) {
    return headerOf(pointer)->kind;
}
uint32_t CSMemSerial(const void *pointer) {
    return headerOf(pointer)->serial;
}
uint32_t CSMemTotal(const void *pointer) {
    return headerOf(pointer)->total;
}

CSMemFailHook CSSetMemFailHook(CSMemFailHook hook) {
    return failHook.exchange(hook, std::memory_order_acq_rel);
}
