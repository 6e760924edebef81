// Pooled work areas: large short-lived buffers come from a free list of earlier areas by best
// fit, so a steady load reuses the same few buffers. Areas return to the heap only at exit.
#include <cstdarg>
#include <cstring>

#include "platform/platform.h"

namespace {

Area *freeList = nullptr;  // newest first; guarded by gStructureLock

void traceArea(const char *format, ...) __attribute__((format(printf, 1, 2)));
void traceArea(const char *format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    evOutput(EV_OUT_PROGRESS, text, -1, 1);
}

bool tracing() {
    return (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_s) != 0;
}

// Best fit among pooled areas with size <= capacity <= largest; an exact fit ends the search.
Area *takeBestFit(uint32_t size, uint64_t largest) {
    Area **best = nullptr;
    uint64_t bestExcess = UINT64_MAX;
    for (Area **link = &freeList; *link; link = &(*link)->next) {
        Area *area = *link;
        if (area->capacity < size || area->capacity > largest) continue;
        uint64_t excess = area->capacity - size;
        if (excess < bestExcess) {
            best = link;
            bestExcess = excess;
            if (excess == 0) break;
        }
    }
    if (!best) return nullptr;
    Area *area = *best;
    *best = area->next;
    return area;
}

}  // namespace

Area *AreaGet(uint32_t size, int32_t bytesToZero, const char *name) {
    if (!name) name = "";
    uint64_t rounded = (static_cast<uint64_t>(size) + 4095) & ~static_cast<uint64_t>(4095);
    uint64_t largest = size == 0 ? 4096 : 2 * rounded;
    uint64_t extra = rounded < static_cast<uint64_t>(size) + sizeof(Area) ? 1024 : 0;
    uint64_t allocation = rounded + extra;

    Area *area;
    {
        CSRecursiveGuard guard(gStructureLock);
        area = takeBestFit(size, largest);
        if (area) {
            area->next = nullptr;
            area->pooled = 0;
            area->size = size;
            area->used = 0;
            if (tracing())
                traceArea("Area(%p)'%.20s' [%d,%d] from pool", static_cast<void *>(area), name,
                          static_cast<int>(size), static_cast<int>(area->capacity));
        } else {
            // The capacity is a u32 and CSGetMem refuses totals past 32 bits: a size whose rounding
            // would wrap gets no area rather than a small one.
            area = allocation <= UINT32_MAX ? static_cast<Area *>(CSGetMem(allocation)) : nullptr;
            if (area) {
                area->next = nullptr;
                area->pooled = 0;
                area->capacity = static_cast<uint32_t>(allocation - sizeof(Area));
                area->size = size;
                area->used = 0;
                if (tracing())
                    traceArea("Area(%p) '%.20s' [%d,%d] allocated", static_cast<void *>(area), name,
                              static_cast<int>(size), static_cast<int>(area->capacity));
            } else {
                traceArea("Failed to allocate %lld bytes for '%.20s'", static_cast<long long>(allocation),
                          name);
            }
        }
    }
    if (area && bytesToZero > 0) {
        uint32_t zero = static_cast<uint32_t>(bytesToZero);
        std::memset(AreaData(area), 0, zero < area->capacity ? zero : area->capacity);
    }
    return area;
}

void AreaRelease(Area **area) {
    if (!area || !*area) return;
    CSRecursiveGuard guard(gStructureLock);
    Area *released = *area;
    released->next = freeList;
    released->pooled = 1;
    freeList = released;
    *area = nullptr;
    if (tracing()) traceArea("Area(%p) released into pool", static_cast<void *>(released));
}

void AreaFreePool() {
    CSRecursiveGuard guard(gStructureLock);
    while (freeList) {
        Area *area = freeList;
        freeList = area->next;
        CSFreeMem(area);
    }
}
