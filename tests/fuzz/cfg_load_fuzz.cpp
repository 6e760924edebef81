// Fuzz target: the configuration and alert messages read from arbitrary bytes, as a damaged or
// foreign data queue may hold them. The first byte chooses the reader (bit 0: alerts) and whether
// the MQCFH Command is made right (bit 1), so that the walk reaches the members; the rest is the
// message, in a buffer of exactly its size. A load may fail, but never crash, hang or leak, and what
// it built must hold together: alerts in order, runtime streams on their definitions.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkModel() {
    for (const AlertDef *a = evAlertList; a && a->next; a = a->next)
        check(a->severity > a->next->severity ||
              (a->severity == a->next->severity && a->time >= a->next->time));
    for (CSTree *n = CSTreeFirst(evQmgrTree); n; n = n->next)
        for (const Stream *s = reinterpret_cast<QmgrEntry *>(n)->streams; s; s = s->next)
            check(s->definition && evStreamDefFindById(s->streamId) == s->definition);
    for (const StreamDef *d = evStreamDefList; d; d = d->next)
        check(d->type >= STREAM_TYPE_EVENTS && d->type <= STREAM_TYPE_ACCTMQI && d->name[0]);
}

void dropAll() {
    evAlertFreeAll();
    cfgFreeModel(1);
    evStreamDefFreeAll();
    evStringsFree(1);
    while (EmitterDef *e = evEmitterList) {
        evEmitterList = e->next;
        CSFreeMem(e);
    }
    evEndFlag.store(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = [] {
        static const EvConsoleSink quiet = {[](int32_t, const char *, size_t) {}, [](int32_t) {},
                                            [](int32_t) { return int32_t{0}; }};
        evSetConsoleSink(&quiet);
        evDebugFlags = EV_DBG_N;
        EvStreamHooks hooks{};
        hooks.pendingLogLine = [](const char *) {};
        hooks.reportMQError = [](EvStreamIo *, const char *, int32_t) {};
        evStreamSetHooks(&hooks);
        cfgInstall();
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    const bool alerts = data[0] & 1;
    std::vector<uint8_t> message(data + 1, data + size);
    if ((data[0] & 2) && message.size() >= 36) {
        const int32_t command = alerts ? 100001 : 100000;
        std::memcpy(message.data() + 12, &command, 4);
    }
    // Exactly the message's size on the heap, so that a read past its end is caught.
    auto *bytes = static_cast<uint8_t *>(std::malloc(message.size() ? message.size() : 1));
    if (!message.empty()) std::memcpy(bytes, message.data(), message.size());
    const auto length = static_cast<int32_t>(message.size());
    if (alerts)
        (void)evAlertLoadMessage(bytes, length);
    else
        (void)evCfgLoadMessage(bytes, length, 546);
    std::free(bytes);
    checkModel();
    evTimedItemRun();  // due expiries of what was loaded run without an engine
    dropAll();
    return 0;
}
