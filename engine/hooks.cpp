// The hook context and the hooks that read no record: the connection, retry and alert-expiry hooks
// run with it set under the script lock, so that a hook never sees another hook's record or alert.
#include "engine/engine.h"
#include "engine/internal.h"

EvHookMessage gHookMessage{};

int evRunHook(int32_t kind, AlertDef *alert) {
    if (evServices.callHook == nullptr) return 0;
    if (evServices.sessionExists != nullptr && !evServices.sessionExists()) return 0;
    CSRecursiveGuard guard(gScriptLock);
    const EvHookMessage saved = gHookMessage;
    gHookMessage = EvHookMessage{kind, nullptr, alert};
    evServices.callHook(kind, alert);
    gHookMessage = saved;
    return evServices.endRequested != nullptr && evServices.endRequested() ? 1 : 0;
}

uint32_t evEndFinalCount() {
    return static_cast<uint32_t>(evEndFlag.load() != 0) + evEndSignals.load();
}

uint32_t evEndRequestCount() {
    return static_cast<uint32_t>(evEndFlag.load() != 0) + static_cast<uint32_t>(evStopPending.load() != 0) +
           evEndSignals.load();
}

namespace {

// Config's expiry step calls this under the script lock for an alert whose category is not a
// system one.
int32_t alertExpiryHook(AlertDef *alert) {
    return evRunHook(EV_HOOK_ALERT_EXPIRY, alert);
}

}  // namespace

void evInstallHooks() {
    cfgEngine.alertExpiry = alertExpiryHook;
}
