// The connect and disconnect sequences as the start-up, the retry step and the shutdown see them:
// each runs on a worker, one at a time by the connecting and disconnecting flags. The connection
// sets themselves (MQCONNX, the event handler, consumers, MQDISC) and the initialisation of a
// connection slot in at evConnectSets, evDisconnectSets and evFreeAll.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "engine/internal.h"

namespace {

std::atomic<const EvSequences *> testSequences{nullptr};

const EvSequences kOwnSequences = {evConnectWork, evDisconnectThread};

// Held for a whole disconnect sequence. Unlike the disconnecting flag, which the handler's posted
// sequence holds while a failed connect runs its own sequence inline, it keeps the two apart: run at
// once they would end the same connections twice. Nothing that takes it is called from an MQ
// callback, so a sequence that waits in MQCTL STOP for a callback is not waited for by that callback.
// The connect sequence holds it too: a disconnect asked for while a connect runs (its connection
// broke, or its first command unit failed) waits until the connect is over, instead of ending the
// connections under it and leaving it to go on with their dropped handles.
std::mutex sequenceMutex;

// Each connect sequence is one generation of connections. A disconnect is for the generation that
// asked for it last: one still waiting when a later connect has begun finds its connections gone
// already, and leaves the new ones alone.
std::atomic<uint32_t> generation{0};
std::atomic<uint32_t> disconnectAskedFor{0};
// Set on the thread that runs the connect sequence, while it runs.
thread_local bool inConnectSequence = false;

// Step 3 of the connect: the MQ library into its function table. 1, or 0 with the reason recorded.
int loadLibraries() {
    MQIFunctionTable *table = evStart.client ? &evMQClientTable : &evMQServerTable;
    int32_t result = MQLoadLibrary(evStart.client ? "mqic" : "mqm", table);
    // The state side of a separate state queue manager always binds locally.
    if (result == 0 && evStart.separateState && evStart.client) {
        result = MQLoadLibrary("mqm", &evMQServerTable);
        if (result != 0) table = &evMQServerTable;
    }
    if (result == 0) return 1;
    evOutputF(EV_OUT_ERROR, 1, "Can not find the MQ %s library on this machine. errno(%d)",
              table == &evMQClientTable ? "client" : "bindings", result);
    evLastReason.store(2012);  // MQRC_ENVIRONMENT_ERROR
    return 0;
}

bool anyConnected() {
    static constexpr EvConnSlot kSlots[] = {EV_CONN_C_EVENT, EV_CONN_C_STATE, EV_CONN_E_EVENT,
                                            EV_CONN_E_STATE};
    for (EvConnSlot slot : kSlots)
        if (evConnHandles[slot].load() != -1) return true;
    return false;
}

// The disconnect sequence, with sequenceMutex held by the caller.
void disconnectSequence() {
    if ((MQTableLoaded(&evMQServerTable) || MQTableLoaded(&evMQClientTable)) && anyConnected()) {
        evOutput(EV_OUT_PROGRESS, "Disconnect sequence", -1, 1);
        evDisconnectSets();
        evRunHook(EV_HOOK_DISCONNECTED, nullptr);
        evOutput(EV_OUT_PROGRESS, "Disconnect complete", -1, 1);
    }
    CSRecursiveGuard guard(gStructureLock);
    evRunState.connected.store(0);
    evRunState.disconnecting.store(0);
}

}  // namespace

const EvSequences *evSequences() {
    const EvSequences *sequences = testSequences.load();
    return sequences != nullptr ? sequences : &kOwnSequences;
}

const EvSequences *evSetSequences(const EvSequences *sequences) {
    return testSequences.exchange(sequences);
}

uint32_t evConnectionGeneration() {
    return generation.load();
}

bool evConnectSequenceBroken() {
    return inConnectSequence && disconnectAskedFor.load() == generation.load();
}

void evConnectWork(WorkItem *) {
    std::lock_guard<std::mutex> sequence(sequenceMutex);
    struct Running {
        Running() { inConnectSequence = true; }
        ~Running() { inConnectSequence = false; }
    } running;
    generation.fetch_add(1);
    evLoadedRecords.store(0);
    evRunState.ready.store(0);
    evCarryQueueCounts();
    bool done = evFreeAll(1) && loadLibraries() && evConnectSets();
    if (done) {
        evSettings.connectTime.store(evClockNow());
        evRetryRefill();
        evRunState.qmgrEnding.store(0);
        done = evInitialiseConnection() != 0;
    }
    if (!done) disconnectSequence();
    // The retry wait counts from the end of the attempt.
    evRetryMarkAttempt(evClockNow());
    evRunState.connecting.store(0);
}

void evStopAndDisconnect(int32_t handle) {
    if (evConnHandles[EV_CONN_C_EVENT].load() == -1 && evConnHandles[EV_CONN_E_EVENT].load() == -1 &&
        evConnHandles[EV_CONN_E_STATE].load() == -1 && evConnHandles[EV_CONN_E_STATEN].load() == -1)
        return;
    // Only the connection that ended: stopping another set from its callback could wait for a
    // callback that waits for the consumer lock; the disconnect stops the rest.
    if (handle != -1 && handle == evConnHandles[EV_CONN_C_EVENT].load())
        evStopConsumer(&evContext, evSet(EV_SET_C));
    else if (handle != -1 && handle == evConnHandles[EV_CONN_E_EVENT].load())
        evStopConsumer(&evContext, evSet(EV_SET_E));
    disconnectAskedFor.store(generation.load());
    if (evRunState.disconnecting.exchange(1) != 0) return;
    WorkItem item{};
    item.function = evSequences()->disconnect;
    if (evWorkPost(&item) != 0) {
        evOutputF(EV_OUT_ERROR, 1, "Disconnect sequence could not be started: %s", std::strerror(errno));
        evRunState.disconnecting.store(0);
    }
}

void evDisconnectThread(WorkItem *) {
    std::lock_guard<std::mutex> sequence(sequenceMutex);
    // Asked for before the connect now running began: that connect dropped what it was for, and
    // cleared the flag; its own failures ask again.
    if (disconnectAskedFor.load() != generation.load()) return;
    disconnectSequence();
}
