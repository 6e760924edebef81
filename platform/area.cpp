// Pooled work areas: large short-lived buffers come from a pool of earlier areas by best fit, so a
// steady load reuses the same few buffers. Areas return to the heap only at exit.
#include <cstdarg>
#include <cstring>
#include <map>
#include <new>

#include "platform/platform.h"

namespace {

// The pool by capacity: each capacity's areas linked through next, newest first (guarded by
// gStructureLock). Best fit is then the newest area of the smallest capacity that holds the size,
// found without a walk of every pooled area: the pool holds the blob areas consolidation frees among
// others, hundreds after a burst, and every event's summary and record take an area from it.
// A capacity's entry stays when it empties: areas of a few capacities come and go with every event.
// Never destroyed, so that an area released as the program exits still finds it.
std::map<uint32_t, Area *> &pool() {
    static auto *byCapacity = new std::map<uint32_t, Area *>;
    return *byCapacity;
}

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

// Best fit among pooled areas with size <= capacity <= largest: the smallest excess, and of equal
// capacities the one released last.
Area *takeBestFit(uint32_t size, uint64_t largest) {
    auto &byCapacity = pool();
    auto fit = byCapacity.lower_bound(size);
    while (fit != byCapacity.end() && fit->second == nullptr) ++fit;
    if (fit == byCapacity.end() || fit->first > largest) return nullptr;
    Area *area = fit->second;
    fit->second = area->next;
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
    *area = nullptr;
    Area **head = nullptr;
    try {
        head = &pool()[released->capacity];
    } catch (const std::bad_alloc &) {
        CSFreeMem(released);  // no room to pool it: back to the heap
        return;
    }
    released->next = *head;
    released->pooled = 1;
    *head = released;
    if (tracing()) traceArea("Area(%p) released into pool", static_cast<void *>(released));
}

void AreaFreePool() {
    CSRecursiveGuard guard(gStructureLock);
    for (auto &bucket : pool()) {
        while (bucket.second != nullptr) {
            Area *area = bucket.second;
            bucket.second = area->next;
            CSFreeMem(area);
        }
    }
    pool().clear();
}
