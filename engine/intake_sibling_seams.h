// Stand-in for the connection half's definitions (the connection sets, the context, the end of a
// connection and the MQ error report), so that the intake, the consumer and the units of work build
// and are tested on their own. The connection sets' own engine files replace this file and its .cpp.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/engine.h"

// A connection set as the units of work use it.
struct ConnectionSet {
    int32_t which;               // EV_SET_C or EV_SET_E
    const MQIFunctionTable *mq;  // the EVENT side's library
    MQHCONN hconnEvent;          // -1 while not connected
    EvStreamIo io;               // the STATE connection, the data queue, the batch size
    LogCapture pending;          // the set's pending log lines
    char eventQmgr[EV_QMGR_NAME_MAX + 1];
    char stateQmgr[EV_QMGR_NAME_MAX + 1];
    std::atomic<int32_t> consumerStarted{0};
};

struct QmgrContext {
    ConnectionSet command;   // set C
    ConnectionSet event;     // set E
    ConnectionSet *current;  // the set whose callback holds the consumer lock
    MQHOBJ dlqHandle;        // -1 while the dead-letter queue is not open
    char dlqName[EV_QMGR_NAME_MAX + 1];
    char qmgrDeadQueue[EV_QMGR_NAME_MAX + 1];  // the event queue manager's own DEADQ
};

extern QmgrContext evContext;

inline ConnectionSet *evSetOf(QmgrContext *context, int32_t which) {
    return which == EV_SET_C ? &context->command : &context->event;
}

// Ends the connection from any thread: sync points stop, and the next connect reloads memory.
void evEndConnection(QmgrContext *context);
// Reports a failed MQ call once; 2003 counts a rollback.
void evReportMQError(QmgrContext *context, MQHCONN hconn, int32_t reason, char *text);
// Set by evEndConnection: no sync point runs until the next connect.
extern std::atomic<int32_t> evSyncPointsSuspended;
// STOP EV: the program ends after the next commit of set C.
extern std::atomic<int32_t> evStopPending;
