// The timed work list: what the main thread must do at a given time (event-storm checks, alert
// expiry), ordered by due time. The list is guarded by gStructureLock; an item taken off it belongs
// to the thread that runs it.
#include <cstring>

#include "config/internal.h"

evTimedItem *evTimedItemList = nullptr;
evTimedItem *evTimedItemRunning = nullptr;

namespace {

constexpr uint32_t kHookRan = 1;  // evTimedItem::state of an expiry item

// The item inserted last, still on the list: items scheduled in due order (storm items, each due
// STORMINT after it was made) go in after it without a walk of the whole list.
evTimedItem *lastInserted = nullptr;

// Under the structure lock: after every item due at the same time or earlier.
void insertLocked(evTimedItem *item) {
    evTimedItem **link = &evTimedItemList;
    if (lastInserted != nullptr && lastInserted->due <= item->due) link = &lastInserted->next;
    while (*link && (*link)->due <= item->due) link = &(*link)->next;
    item->next = *link;
    *link = item;
    lastInserted = item;
}

// The head item when it is due, taken off the list into the running slot; else null.
evTimedItem *takeDue() {
    CSRecursiveGuard guard(gStructureLock);
    evTimedItem *item = evTimedItemList;
    if (!item || item->due > evClockNow()) return nullptr;
    evTimedItemList = item->next;
    item->next = nullptr;
    if (lastInserted == item) lastInserted = nullptr;
    evTimedItemRunning = item;
    return item;
}

void endRun() {
    CSRecursiveGuard guard(gStructureLock);
    evTimedItemRunning = nullptr;
}

int32_t suspendSet(int32_t set) {
    return cfgEngine.suspend ? cfgEngine.suspend(set) : EV_SUSPEND_NOT_STARTED;
}
void resumeSet(int32_t set, int32_t held) {
    if (held == EV_SUSPEND_HELD && cfgEngine.resume) cfgEngine.resume(set);
}

// Alert expiry: the script's hook first (the alert is marked in expiry, so a REMOVE EVALERT leaves
// it alone and a memory drop only unlinks it), then the removal with both consumers suspended. The
// alert leaves expiry only under the alert lock with the consumers already suspended: nothing can
// free it between the two.
void expire(evTimedItem *item) {
    AlertDef *alert = cfgAlertBeginExpiry(item->data);
    if (!alert) {
        CSFreeMem(item);
        return;
    }
    if (!(item->state & kHookRan)) {
        item->state |= kHookRan;
        if (alert->category[0] != '$' && cfgEngine.alertExpiry) {
            CSRecursiveGuard script(gScriptLock);
            if (cfgEngine.alertExpiry(alert) == 1) evEndFlag.store(1);
        }
    }
    const int32_t heldC = suspendSet(EV_SET_C);
    if (heldC != EV_SUSPEND_HELD && heldC != EV_SUSPEND_NOT_STARTED) {
        cfgAlertRetryExpiry(alert, item);
        return;
    }
    const int32_t heldE = suspendSet(EV_SET_E);
    if (heldE != EV_SUSPEND_HELD && heldE != EV_SUSPEND_NOT_STARTED) {
        resumeSet(EV_SET_C, heldC);
        cfgAlertRetryExpiry(alert, item);
        return;
    }
    // Unlike the documented expiry, the removal is kept as it happens, in a unit of its own: its log
    // line and publication go out with that commit. Left to the next command, a restart would bring
    // the alert back to expire again.
    if (cfgAlertEndExpiry(alert) && cfgEngine.keepAlerts) cfgEngine.keepAlerts();
    resumeSet(EV_SET_E, heldE);
    resumeSet(EV_SET_C, heldC);
    CSFreeMem(item);
}

}  // namespace

void evTimedListChanged() {
    lastInserted = nullptr;
}

int evTimedItemSchedule(evTimedItem *item, int copy) {
    evTimedItem *entry = item;
    if (copy) {
        const size_t size = sizeof(evTimedItem) + (item->extraLength > 0 ? size_t(item->extraLength) : 0);
        entry = static_cast<evTimedItem *>(CSGetMem(size));
        if (!entry) return 0;
        std::memcpy(entry, item, size);
    }
    CSRecursiveGuard guard(gStructureLock);
    insertLocked(entry);
    return 1;
}

void evTimedItemRun() {
    // Publications that found set C busy go out first, in the order they were made.
    cfgAlertPublishWaiting();
    while (evTimedItem *item = takeDue()) {
        switch (item->kind) {
            case EV_TIMED_STORM:
                if (cfgEngine.stormCheck) cfgEngine.stormCheck(item);
                endRun();
                CSFreeMem(item);
                break;
            case EV_TIMED_ALERT_EXPIRY:
                endRun();
                expire(item);
                break;
            default:
                endRun();
                CSFreeMem(item);
                break;
        }
    }
}

void cfgTimedDropAlert(const AlertDef *alert) {
    CSRecursiveGuard guard(gStructureLock);
    for (evTimedItem **link = &evTimedItemList; *link; link = &(*link)->next) {
        evTimedItem *item = *link;
        if (item->kind != EV_TIMED_ALERT_EXPIRY || item->data != alert) continue;
        *link = item->next;
        if (lastInserted == item) lastInserted = nullptr;
        CSFreeMem(item);
        return;
    }
}

void cfgTimedDropAllAlerts() {
    CSRecursiveGuard guard(gStructureLock);
    for (evTimedItem **link = &evTimedItemList; *link;) {
        evTimedItem *item = *link;
        if (item->kind != EV_TIMED_ALERT_EXPIRY) {
            link = &item->next;
            continue;
        }
        *link = item->next;
        if (lastInserted == item) lastInserted = nullptr;
        CSFreeMem(item);
    }
}
