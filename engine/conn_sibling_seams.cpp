// The intake's half of the engine, as far as the connection work calls it: minimal stand-ins
// until the consumer, the units of work and the seen list join. Delete this file when they do.
#include "engine/internal.h"

void evMessageConsumer(MQHCONN hconn, PMQVOID, PMQVOID, PMQVOID, PMQCBC cbc) {
    evTraceCallbackIn("Message", hconn, 0, cbc);
    evTraceCallbackOut("Message", hconn, 0);
}

int evSyncPoint(QmgrContext *, ConnectionSet *set) {
    MQLONG cc = 0;
    MQLONG rc = 0;
    const MQHCONN hconn = set->io.hconn;
    if (hconn == -1 || set->io.mq == nullptr) return 1;
    char errorText[EV_CONFIG_TEXT] = "";
    if (evConfigChanged.load() && !evCfgSave(&set->io, errorText)) return 0;
    evTraceCallIn("MQCMIT", hconn, 0, 0);
    set->io.mq->MQCMIT(hconn, &cc, &rc);
    evTraceCallOut("MQCMIT", hconn, 0, rc);
    return cc != MQCC_FAILED;
}

int evBackout(QmgrContext *context, ConnectionSet *set, char *) {
    MQLONG cc = 0;
    MQLONG rc = 0;
    const MQHCONN state = evConnHandles[set->stateSlot].load();
    const MQHCONN event = evConnHandles[set->eventSlot].load();
    if (state != -1 && state != event) {
        evTraceCallIn("MQBACK", state, 0, 0);
        context->state.mq->MQBACK(state, &cc, &rc);
        evTraceCallOut("MQBACK", state, 0, rc);
    }
    if (event != -1) {
        evTraceCallIn("MQBACK", event, 0, 0);
        context->event.mq->MQBACK(event, &cc, &rc);
        evTraceCallOut("MQBACK", event, 0, rc);
    }
    set->inFlight.store(0);
    return 1;
}

int evLoadSeenList(QmgrContext *, ConnectionSet *, char *) {
    return 1;
}

int evLoadStormItems(QmgrContext *) {
    return 1;
}
