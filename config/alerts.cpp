// Alerts: the list ordered by importance, its additions, matches and removals, the link of an alert
// raised by a script hook to its stored event, and the counts ALERTCT. Every change is made under
// gAlertLock; the change lines and publications go out after the lock is released, from a copy or
// from an alert already unlinked, because a publication suspends set C and set C's running command
// may be waiting for that very lock.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/internal.h"

AlertDef *evAlertList = nullptr;
std::atomic<uint32_t> evAlertCount{0};
std::atomic<int32_t> cslEventFunctionFlag{0};

namespace {

AlertDef *listTail = nullptr;  // the last alert of the list, for the load's appends

size_t textLength(const AlertDef *alert) {
    return strnlen(alert->text, EV_ALERT_TEXT_MAX);
}

// An alert copied out of the list, for use once the lock is released.
class AlertCopy {
public:
    AlertCopy() = default;
    explicit AlertCopy(const AlertDef *alert) { take(alert); }
    void take(const AlertDef *alert) {
        const size_t length = textLength(alert);
        std::memcpy(bytes_, alert, sizeof(AlertDef) + length);
        evAlertSetText(get(), alert->text, static_cast<int32_t>(length));
        get()->next = nullptr;
    }
    AlertDef *get() { return reinterpret_cast<AlertDef *>(bytes_); }

private:
    alignas(AlertDef) unsigned char bytes_[sizeof(AlertDef) + EV_ALERT_TEXT_MAX];
};

// The queue manager an alert names, found (never added); null when it is not monitored.
QmgrEntry *findQmgr(const char *name) {
    if (!name[0]) return nullptr;
    char key[EV_QUEUE_NAME_MAX + 1] = {};
    cfgCopyName(key, name, EV_QUEUE_NAME_MAX);
    CSRecursiveGuard guard(gStructureLock);
    return reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, key, sizeof key));
}

// Under the alert lock: ALERTCT and the queue manager's count take the alert in or give it back.
// Only a counted alert is given back, so an alert never linked to its event cannot wrap them.
void count(AlertDef *alert) {
    alert->counted = 1;
    evAlertCount++;
    if (QmgrEntry *qmgr = findQmgr(alert->qmgr)) qmgr->alertCount++;
}
void uncount(AlertDef *alert) {
    if (!alert->counted) return;
    alert->counted = 0;
    if (evAlertCount.load()) evAlertCount--;
    QmgrEntry *qmgr = findQmgr(alert->qmgr);
    if (qmgr && qmgr->alertCount) qmgr->alertCount--;
}

// Compares addresses only: nothing of an alert is read before it is known to be listed.
bool listed(const AlertDef *alert) {
    for (const AlertDef *a = evAlertList; a; a = a->next)
        if (a == alert) return true;
    return false;
}

void unlink(AlertDef *alert) {
    AlertDef *previous = nullptr;
    for (AlertDef **link = &evAlertList; *link; previous = *link, link = &(*link)->next) {
        if (*link != alert) continue;
        *link = alert->next;
        if (listTail == alert) listTail = previous;
        alert->next = nullptr;
        return;
    }
}

// Under the alert lock: a listed alert leaves the list with its bookkeeping.
void takeOut(AlertDef *alert, int dropItem) {
    unlink(alert);
    if (dropItem) cfgTimedDropAlert(alert);
    uncount(alert);
    evAlertsChanged.store(1);
}

// After the lock: the rest of a removal, on an alert nobody else can reach any more.
void finishRemoval(AlertDef *alert, int publish, bool now = false) {
    evEchoRemoveAlert(alert);
    if (publish && now)
        cfgAlertPublishNow(EV_ALERT_PUB_REMOVED, alert);
    else if (publish)
        evAlertPublish(EV_ALERT_PUB_REMOVED, alert);
    CSFreeMem(alert);
}

size_t givenLength(const char *value, int32_t length) {
    if (!value || length == 0) return 0;
    return length < 0 ? std::strlen(value) : static_cast<size_t>(length);
}

// A given value is a pattern over the field; a missing one matches only an empty field.
bool fieldMatches(const char *field, const char *given, size_t length) {
    if (length == 0) return field[0] == '\0';
    return evWildMatch(field, std::strlen(field), given, length) != 0;
}

struct Match {
    uint32_t flags;
    const char *text;
    size_t textLength;
    const char *category;
    size_t categoryLength;
    const char *qmgr;
    size_t qmgrLength;
    const char *objectName;
    size_t objectNameLength;
    int32_t objectType;
};

// The match of the find and remove calls, each length as given (negative: the text's own).
Match matchOf(uint32_t flags, const char *text, int32_t textLength, const char *category,
              int32_t categoryLength, const char *qmgr, int32_t qmgrLength, const char *objectName,
              int32_t objectNameLength, int32_t objectType) {
    return Match{flags,
                 text,
                 givenLength(text, textLength),
                 category,
                 givenLength(category, categoryLength),
                 qmgr,
                 givenLength(qmgr, qmgrLength),
                 objectName,
                 givenLength(objectName, objectNameLength),
                 objectType};
}

bool matches(const AlertDef *alert, const Match &m) {
    if (alert->objectType != m.objectType) return false;
    if (!fieldMatches(alert->objectName, m.objectName, m.objectNameLength)) return false;
    if (!fieldMatches(alert->qmgr, m.qmgr, m.qmgrLength)) return false;
    if (!fieldMatches(alert->category, m.category, m.categoryLength)) return false;
    if ((m.flags & EV_ALERT_ANY_TEXT) || m.textLength == 0) return true;
    return evWildMatch(alert->text, textLength(alert), m.text, m.textLength) != 0;
}

AlertDef *findLocked(const Match &m) {
    for (AlertDef *alert = evAlertList; alert; alert = alert->next)
        if (!alert->inExpiry && matches(alert, m)) return alert;
    return nullptr;
}

Match matchOf(uint32_t flags, const AlertDef *alert) {
    return Match{flags,
                 alert->text,
                 textLength(alert),
                 alert->category,
                 std::strlen(alert->category),
                 alert->qmgr,
                 std::strlen(alert->qmgr),
                 alert->objectName,
                 std::strlen(alert->objectName),
                 alert->objectType};
}

uint32_t nextId() {
    uint32_t highest = 0;
    for (const AlertDef *a = evAlertList; a; a = a->next) highest = std::max(highest, a->id);
    return highest + 1;
}

// Severity descending, then time descending; an alert equal to listed ones goes after them. The
// alert added last (the hint) takes a follower that goes last without a walk.
void insert(AlertDef *alert, const AlertDef *hint) {
    if (hint && hint == listTail && alert->severity <= listTail->severity && alert->time <= listTail->time) {
        listTail->next = alert;
        listTail = alert;
        return;
    }
    AlertDef **link = &evAlertList;
    while (*link && !((*link)->severity < alert->severity ||
                      ((*link)->severity == alert->severity && (*link)->time < alert->time)))
        link = &(*link)->next;
    alert->next = *link;
    *link = alert;
    if (!alert->next) listTail = alert;
}

int64_t dueTime(const AlertDef *alert) {
    const int64_t limit = INT64_MAX - static_cast<int64_t>(alert->retention);
    return alert->time > limit ? INT64_MAX : alert->time + static_cast<int64_t>(alert->retention);
}

// A script record hook raised it for its event: the intake links, counts and publishes it later.
bool waitsForLink(const AlertDef *alert) {
    return cslEventFunctionFlag.load() && alert->raisingEvent && !alert->qmgr[0] && !alert->streamId &&
           !alert->eventId;
}

}  // namespace

void evAlertSetText(AlertDef *alert, const char *text, int32_t length) {
    size_t n = text ? (length < 0 ? strnlen(text, EV_ALERT_TEXT_MAX) : static_cast<size_t>(length)) : 0;
    n = std::min(n, EV_ALERT_TEXT_MAX);
    char *to = reinterpret_cast<char *>(alert) + offsetof(AlertDef, text);
    if (n) std::memcpy(to, text, n);
    to[n] = '\0';
}

namespace {

// The add of evAlertAdd; an alert taken from the stored message (loaded) is what the message holds,
// so it leaves the alerts unchanged: marking it would rewrite the message at every connect.
int add(const AlertDef *from, uint32_t flags, AlertDef **hint, char *errorText, bool loaded) {
    const size_t length = textLength(from);
    // Everything that can fail is taken before anything changes.
    auto *alert = static_cast<AlertDef *>(CSGetMem(sizeof(AlertDef) + length));
    auto *item = static_cast<evTimedItem *>(CSGetMem(sizeof(evTimedItem)));
    if (!alert || !item) {
        if (alert) CSFreeMem(alert);
        if (item) CSFreeMem(item);
        std::snprintf(errorText, EV_CONFIG_TEXT, "No storage available.");
        return 0;
    }
    std::memcpy(alert, from, offsetof(AlertDef, text));
    evAlertSetText(alert, from->text, static_cast<int32_t>(length));
    alert->next = nullptr;
    alert->inExpiry = alert->expiringThread = alert->counted = 0;
    if (alert->retention == 0) alert->retention = static_cast<uint32_t>(evSettings.alertRetention.load());

    const uint32_t mode = flags & EV_ALERT_MODE;
    AlertDef *replaced = nullptr;
    bool publishAdded = false;
    CSRecursiveGuard guard(gAlertLock);
    // The match and its removal belong to the same hold of the lock as the insertion, so that two
    // threads adding "only when none" cannot both add.
    if (mode == EV_ALERT_REPLACE || mode == EV_ALERT_IF_NONE) {
        if (AlertDef *match = findLocked(matchOf(flags, alert))) {
            if (mode == EV_ALERT_IF_NONE) {
                guard.unlock();
                CSFreeMem(alert);
                CSFreeMem(item);
                return 1;
            }
            alert->id = match->id;
            takeOut(match, 1);
            replaced = match;
        }
    }
    if (alert->id == 0) alert->id = nextId();
    insert(alert, hint ? *hint : nullptr);
    if (!waitsForLink(alert)) {
        count(alert);
        if (!loaded) evAlertsChanged.store(1);
        publishAdded = (flags & EV_ALERT_PUBLISH) != 0;
    }
    *item = evTimedItem{};
    item->kind = EV_TIMED_ALERT_EXPIRY;
    item->due = dueTime(alert);
    item->data = alert;
    (void)evTimedItemSchedule(item, 0);  // never fails without a copy
    AlertCopy added(alert);
    if (hint) *hint = alert;
    guard.unlock();

    const bool now = (flags & EV_ALERT_PUBLISH_NOW) != 0;
    if (replaced) finishRemoval(replaced, (flags & EV_ALERT_PUBLISH) != 0, now);
    evEchoAddAlert(added.get());
    if (publishAdded && now)
        cfgAlertPublishNow(EV_ALERT_PUB_ADDED, added.get());
    else if (publishAdded)
        evAlertPublish(EV_ALERT_PUB_ADDED, added.get());
    return 1;
}

}  // namespace

int evAlertAdd(const AlertDef *from, uint32_t flags, AlertDef **hint, char *errorText) {
    return add(from, flags, hint, errorText, false);
}

int cfgAlertAddLoaded(const AlertDef *from, AlertDef **hint, char *errorText) {
    return add(from, EV_ALERT_ADD, hint, errorText, true);
}

AlertDef *evAlertFind(uint32_t flags, const char *text, int32_t textLength, const char *category,
                      int32_t categoryLength, const char *qmgr, int32_t qmgrLength, const char *objectName,
                      int32_t objectNameLength, int32_t objectType) {
    Match m = matchOf(flags, text, textLength, category, categoryLength, qmgr, qmgrLength, objectName,
                      objectNameLength, objectType);
    CSRecursiveGuard guard(gAlertLock);
    return findLocked(m);
}

int evAlertRemove(AlertDef *alert, int dropItem, int publish) {
    {
        CSRecursiveGuard guard(gAlertLock);
        if (!listed(alert) || alert->inExpiry) return 0;
        takeOut(alert, dropItem);
    }
    finishRemoval(alert, publish);
    return 1;
}

int evAlertRemoveMatching(const char *text, int32_t textLength, const char *category, int32_t categoryLength,
                          const char *qmgr, int32_t qmgrLength, const char *objectName,
                          int32_t objectNameLength, int32_t objectType) {
    Match m = matchOf(0, text, textLength, category, categoryLength, qmgr, qmgrLength, objectName,
                      objectNameLength, objectType);
    int removed = 0;
    for (;;) {
        AlertDef *alert;
        {
            CSRecursiveGuard guard(gAlertLock);
            alert = findLocked(m);
            if (!alert) break;
            takeOut(alert, 1);
        }
        finishRemoval(alert, 1);
        removed = 1;
    }
    return removed;
}

void evAlertLinkRaised(uint32_t sequence, QmgrEntry *qmgr, uint32_t streamId, uint32_t eventId) {
    if (sequence == 0) return;
    for (;;) {
        AlertCopy copy;
        {
            CSRecursiveGuard guard(gAlertLock);
            AlertDef *alert = evAlertList;
            while (alert && (alert->raisingEvent != sequence || alert->counted || alert->inExpiry ||
                             alert->qmgr[0] || alert->streamId || alert->eventId))
                alert = alert->next;
            if (!alert) return;
            if (qmgr) cfgCopyName(alert->qmgr, qmgr->name, EV_QUEUE_NAME_MAX);
            alert->streamId = streamId;
            alert->eventId = eventId;
            count(alert);
            evAlertsChanged.store(1);
            copy.take(alert);
        }
        evAlertPublish(EV_ALERT_PUB_ADDED, copy.get());
    }
}

void evAlertFreeAll() {
    CSRecursiveGuard guard(gAlertLock);
    for (AlertDef *alert = evAlertList; alert;) {
        AlertDef *next = alert->next;
        alert->next = nullptr;
        if (!alert->inExpiry) CSFreeMem(alert);  // else its expiring thread frees it
        alert = next;
    }
    evAlertList = listTail = nullptr;
    evAlertCount.store(0);
    cfgTimedDropAllAlerts();
    CSRecursiveGuard structure(gStructureLock);
    for (CSTree *node = CSTreeFirst(evQmgrTree); node; node = node->next)
        reinterpret_cast<QmgrEntry *>(node)->alertCount = 0;
}

// ---- Expiry ----

AlertDef *cfgAlertBeginExpiry(void *data) {
    CSRecursiveGuard guard(gAlertLock);
    auto *alert = static_cast<AlertDef *>(data);
    if (!listed(alert)) return nullptr;
    alert->inExpiry = 1;
    alert->expiringThread = csThreadId();
    return alert;
}

int cfgAlertEndExpiry(AlertDef *alert) {
    {
        CSRecursiveGuard guard(gAlertLock);
        if (!listed(alert)) {
            guard.unlock();
            CSFreeMem(alert);  // a memory drop unlinked it during the hook
            return 0;
        }
        alert->inExpiry = 0;
        takeOut(alert, 0);  // the item is the caller's
    }
    finishRemoval(alert, 1);
    return 1;
}

int cfgAlertRetryExpiry(AlertDef *alert, evTimedItem *item) {
    CSRecursiveGuard guard(gAlertLock);
    if (!listed(alert)) {
        guard.unlock();
        CSFreeMem(alert);
        CSFreeMem(item);
        return 0;
    }
    item->due = evClockNow() + 1;
    (void)evTimedItemSchedule(item, 0);
    alert->inExpiry = 0;
    return 1;
}
