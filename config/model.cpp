// The configuration model: the event processor's settings, the tree of monitored queue managers
// and the tree of event queues. Memory is a cache of the configuration message: every connection
// drops it (cfgFreeModel) and the load builds it again.
#include <cstdio>
#include <cstring>

#include "config/internal.h"

EvSettings evSettings{};
EvCounter evStatsCounters[EV_STATS_COUNTERS]{};
CSTree *evQmgrTree = nullptr;
uint32_t evQmgrHighestNumber = 0;
CSTree *evEventQueueTree = nullptr;
EventQueueDef *evCommandQueueDef = nullptr;

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr uint32_t kNameCcsid = 850;

}  // namespace

// ---- Settings ----

void evSettingsDefaults(int64_t startTime) {
    EvSettings &s = evSettings;
    s.alertRetention.store(1209600, kRelaxed);  // 14 days
    {
        CSRecursiveGuard consumer(gConsumerLock);
        s.deadQueue[0] = '\0';
    }
    s.accountingSelf.store(EV_ACCTSELF_DISCARD, kRelaxed);
    s.useDlq.store(EV_USEDLQ_IFAVAIL, kRelaxed);
    s.displayCommands.store(EV_DISPCMDS_DISCARD, kRelaxed);
    s.resetTime.store(startTime, kRelaxed);
    s.defaultMaxRecords.store(1000000, kRelaxed);
    s.versionCheck.store(EV_VERCHECK_BUILD, kRelaxed);
    s.authDuration.store(10, kRelaxed);
    s.defaultBackoutThreshold.store(5, kRelaxed);
    s.stormThreshold.store(20, kRelaxed);
    s.stormInterval.store(60, kRelaxed);
    s.startTime.store(startTime, kRelaxed);
}

void evSettingsRead(EvSettingsValues *v) {
    const EvSettings &s = evSettings;
    std::memset(v, 0, sizeof *v);
    logGetSettings(&v->log);
    v->alertRetention = s.alertRetention.load(kRelaxed);
    evSettingsDeadQueue(v->deadQueue);
    v->accountingSelf = s.accountingSelf.load(kRelaxed);
    v->useDlq = s.useDlq.load(kRelaxed);
    v->displayCommands = s.displayCommands.load(kRelaxed);
    v->resetTime = s.resetTime.load(kRelaxed);
    v->defaultMaxRecords = s.defaultMaxRecords.load(kRelaxed);
    v->versionCheck = s.versionCheck.load(kRelaxed);
    v->authDuration = s.authDuration.load(kRelaxed);
    v->defaultBackoutThreshold = s.defaultBackoutThreshold.load(kRelaxed);
    v->stormThreshold = s.stormThreshold.load(kRelaxed);
    v->stormInterval = s.stormInterval.load(kRelaxed);
}

void evSettingsDeadQueue(char deadQueue[EV_QUEUE_NAME_MAX + 1]) {
    CSRecursiveGuard consumer(gConsumerLock);
    cfgCopyName(deadQueue, evSettings.deadQueue, EV_QUEUE_NAME_MAX);
}

void evSettingsWrite(const EvSettingsValues *v) {
    EvSettings &s = evSettings;
    logSetSettings(&v->log);
    s.alertRetention.store(v->alertRetention, kRelaxed);
    {
        // The configuration load writes it on the connect worker while readers may run.
        CSRecursiveGuard consumer(gConsumerLock);
        if (std::strncmp(s.deadQueue, v->deadQueue, EV_QUEUE_NAME_MAX) != 0) {
            cfgCopyName(s.deadQueue, v->deadQueue, EV_QUEUE_NAME_MAX);
            s.deadQueueReopen.store(1, kRelaxed);
        }
    }
    s.accountingSelf.store(v->accountingSelf, kRelaxed);
    s.useDlq.store(v->useDlq, kRelaxed);
    s.displayCommands.store(v->displayCommands, kRelaxed);
    s.resetTime.store(v->resetTime, kRelaxed);
    s.defaultMaxRecords.store(v->defaultMaxRecords, kRelaxed);
    s.versionCheck.store(v->versionCheck, kRelaxed);
    s.authDuration.store(v->authDuration, kRelaxed);
    s.defaultBackoutThreshold.store(v->defaultBackoutThreshold, kRelaxed);
    s.stormThreshold.store(v->stormThreshold, kRelaxed);
    s.stormInterval.store(v->stormInterval, kRelaxed);
}

// ---- Queue managers ----

QmgrEntry *evQmgrFindOrAdd(const char *name, uint32_t number, char *errorText) {
    CSRecursiveGuard guard(gStructureLock);
    // The key: the name cut to 48 characters, NUL-padded over all 49 bytes.
    QmgrEntry probe{};
    const size_t length = cfgCopyName(probe.name, name, EV_QUEUE_NAME_MAX);
    auto *qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, probe.name, sizeof probe.name));
    if (qmgr) {
        if (qmgr->nameId == 0)
            qmgr->nameId = evStringIntern(1, kNameCcsid, qmgr->name, qmgr->nameLength, 0, nullptr);
        return qmgr;
    }
    probe.nameLength = static_cast<uint16_t>(length);
    qmgr = reinterpret_cast<QmgrEntry *>(
        CSTreeInsert(&evQmgrTree, EV_QMGR_EYECATCHER, &probe, sizeof probe, sizeof probe.name));
    if (!qmgr) {
        std::snprintf(errorText, EV_CONFIG_TEXT, "Can not add Queue Manager '%s', out of storage.",
                      probe.name);
        return nullptr;
    }
    if (number == 0) number = evQmgrHighestNumber + 1;
    if (number > evQmgrHighestNumber) evQmgrHighestNumber = number;
    qmgr->number = number;
    qmgr->nameId = evStringIntern(1, kNameCcsid, qmgr->name, qmgr->nameLength, 0, nullptr);
    evConfigChanged.store(1);
    return qmgr;
}

// ---- Event queues ----

EventQueueDef *evEventQueueFindOrAdd(const EventQueueDef *queue, int32_t *reason, char *errorText) {
    // The key: the first 48 bytes of the name, NUL-padded.
    EventQueueDef copy = *queue;
    char name[EV_QUEUE_NAME_MAX + 1] = {};
    const size_t length = cfgCopyName(name, queue->name, EV_QUEUE_NAME_MAX);
    std::memcpy(copy.name, name, sizeof name);
    auto *found =
        reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, copy.name, EV_QUEUE_NAME_MAX));
    if (found) return found;

    copy.nameLength = static_cast<uint16_t>(length);
    copy.inputHandle = copy.forwardHandle = copy.backoutHandle = -1;
    if (copy.backoutQueue[0] == '\0') std::strcpy(copy.backoutQueue, "*");
    copy.ownCommandQueue = std::strcmp(copy.name, EV_COMMAND_QUEUE_NAME) == 0 ? 1 : 0;
    auto *added = reinterpret_cast<EventQueueDef *>(
        CSTreeInsert(&evEventQueueTree, EV_EVENTQ_EYECATCHER, &copy, sizeof copy, EV_QUEUE_NAME_MAX));
    if (!added) {
        *reason = 2071;
        std::snprintf(errorText, EV_CONFIG_TEXT, "Can not add Queue '%s', out of storage.", copy.name);
        return nullptr;
    }
    if (added->ownCommandQueue) evCommandQueueDef = added;
    evEchoAddEvq(added);
    evConfigChanged.store(1);
    return added;
}

EventQueueDef *evEventQueueAddDefault(const char *name) {
    EventQueueDef queue{};
    cfgCopyName(queue.name, name, EV_QUEUE_NAME_MAX);
    queue.suspended = 1;
    queue.forwardPersistence = EV_PERSIST_ASMSG;
    int32_t reason = 0;
    char text[EV_CONFIG_TEXT];
    return evEventQueueFindOrAdd(&queue, &reason, text);
}

// ---- Dropping the model ----

namespace {

void freeQmgrStreams(CSTree *node, void *, void *) {
    auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
    for (Stream *stream = qmgr->streams; stream;) {
        Stream *next = stream->next;
        evStreamFree(stream);
        stream = next;
    }
    qmgr->streams = nullptr;
}

}  // namespace

void cfgFreeModel(int all) {
    CSRecursiveGuard guard(gStructureLock);
    CSTreeFree(&evQmgrTree, freeQmgrStreams, nullptr);
    // Publications held for a commit tell of changes the drop takes away.
    cfgAlertPublishDropHeld();
    if (!all) return;
    cfgAlertPublishDropWaiting();
    CSTreeFree(&evEventQueueTree, nullptr, nullptr);
    evCommandQueueDef = nullptr;
}
