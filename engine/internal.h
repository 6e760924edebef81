// Shared inside the engine only.
#pragma once

#include "engine/engine.h"

// The sequences the workers run: the engine's own, or a test's fakes.
const EvSequences *evSequences();

// ---------------------------------------------------------------------------------------------
// Connection sets: the traced MQI calls the connection work shares.

// MQCTL with an MQCTLO of version 1; flags EV_TRACE_CONTROL. The reason (0 when done).
MQLONG evTracedCtl(const MQIFunctionTable *mq, MQHCONN hconn, MQLONG operation, const char *label);
// MQCLOSE of *hobj (set to MQHO_UNUSABLE_HOBJ by MQ); the reason.
MQLONG evTracedClose(const MQIFunctionTable *mq, MQHCONN hconn, MQHOBJ *hobj, const char *label);
// MQOPEN of the object; the reason, *hobj the handle (-1 on failure). A registry slot of the trace
// (EV_TRACE_HO_*, or -1) takes the handle before the OUT line, so that the line names it.
MQLONG evTracedOpen(const MQIFunctionTable *mq, MQHCONN hconn, MQOD *od, MQLONG options, MQHOBJ *hobj,
                    const char *label, int32_t registry = -1);
// The table of the record a connection handle belongs to, and that record.
EvQmgrRecord *evRecordOfHandle(QmgrContext *context, MQHCONN hconn);

// ---- Input queues, units of work and intake ----

// The commit hook stream storage calls for a set's data-queue work: the set's own commit.
int evStreamCommitHook(EvStreamIo *io);
// Replaces the data-queue message of that kind (CorrelId byte 0) in the set's unit: the one the
// program's state was loaded from or last saved to is got away by its MsgId (never another message
// under the key), the new one put, persistent, and noted as the kind's own. 1, or 0 with the failure
// in errorText (EV_CONFIG_TEXT bytes).
[[nodiscard]] int evReplaceDataMessage(EvStreamIo *io, uint8_t kind, const char *format,
                                       const uint8_t *message, int32_t length, const char *qmgr,
                                       char *errorText);
// Whether a message under a kind's key is in the program's own layout (arg the caller's).
using EvOwnDataCheck = bool (*)(void *arg, const MQMD &md, const uint8_t *message, int32_t length);
// Browses the kind's messages in queue order into a counted-heap buffer: the first one own() takes
// is the kind's own (its MsgId noted for evReplaceDataMessage); each other one is foreign, skipped
// with a line naming it and left on the queue. *message null: none. 1, or 0 when a browse failed.
[[nodiscard]] int evBrowseOwnDataMessage(EvStreamIo *io, uint8_t kind, EvOwnDataCheck own, void *arg,
                                         uint8_t **message, int32_t *length);
// The line for a foreign message under a kind's key that the load skips.
void evForeignDataMessage(uint8_t kind, const MQMD &md, int32_t length);
// The kinds' own messages as a backed-out unit leaves them (the replaces it made are undone).
void evDataKeptBackedOut(EvStreamIo *io);
// Browses every message under a kind's key in queue order, each whole (a counted-heap buffer the
// visit may keep: it returns true then). 1, or 0 when a browse failed.
using EvDataVisit = bool (*)(void *arg, const MQMD &md, uint8_t *message, int32_t length);
[[nodiscard]] int evBrowseDataMessages(EvStreamIo *io, uint8_t kind, EvDataVisit visit, void *arg);
// The same for every message under a whole CorrelId (24 bytes).
[[nodiscard]] int evBrowseDataMessagesById(EvStreamIo *io, const uint8_t *correlId, EvDataVisit visit,
                                           void *arg);
// Browses the descriptor of every message on the data queue in queue order, without its data.
// 1, or 0 when a browse failed.
using EvDescriptorVisit = void (*)(void *arg, const MQMD &md);
[[nodiscard]] int evBrowseDataDescriptors(EvStreamIo *io, EvDescriptorVisit visit, void *arg);
// The emitters' state messages as a backed-out unit leaves them (engine/emitfiles.cpp).
void evEmitFilesBackedOut(EvStreamIo *io);
// Browses the first data-queue message under a whole CorrelId (24 bytes) into a counted-heap buffer
// (*message null: none; 1, or 0 when the browse failed); and a replace's two halves: the message got
// away in the unit (the one with that MsgId when msgId is given; none there is no failure), and a
// persistent message put in the unit (its MsgId to *msgIdOut when given). 1, or 0 with errorText.
[[nodiscard]] int evBrowseDataMessageById(EvStreamIo *io, const uint8_t *correlId, uint8_t **message,
                                          int32_t *length);
[[nodiscard]] int evRemoveDataMessageById(EvStreamIo *io, const uint8_t *correlId, const char *qmgr,
                                          char *errorText, const uint8_t *msgId = nullptr);
[[nodiscard]] int evPutDataMessageById(EvStreamIo *io, const uint8_t *correlId, const char *format,
                                       const uint8_t *message, int32_t length, const char *qmgr,
                                       char *errorText, uint8_t *msgIdOut = nullptr);

// ---- Units of work ----

// Every counter back to its committed copy: the units a broken connection leaves are the queue
// manager's to back out.
void evRestoreCommittedCounters();
// evBackout for a set whose EVENT connection its consumer's stop found broken (2009): the queue manager
// backs that unit out itself and the handle is no longer valid, so no MQBACK goes to it.
int evBackoutBrokenEvent(QmgrContext *context, ConnectionSet *set, const char *errorText);

// ---- Messages moved aside ----

// What the intake noted about the message in hand (under the consumer lock; cleared as each message
// is taken): failed, a put to the backout or dead-letter queue failed where USEDLQ(YES) asks for a
// copy, so the message can be neither handled nor moved; clean, the path that moved it changed no
// memory on the way (the unit's memory mark stays as it was before the message).
struct EvMoveFailure {
    int32_t failed;
    int32_t clean;
    int32_t feedback;    // of the failed dead-letter put
    int32_t connection;  // the put failed for the connection's reason, not the queue's
};
// A message consumed without a copy: one log line a second at most, naming the queue, the MsgId and
// the reason; the lines held back meanwhile are said with their number in one line a second later.
void evLogDiscarded(const EventQueueDef *queue, const MQMD *md, int32_t feedback, const char *why);
// The same for any message consumed or moved aside: "Message <what> from queue ...".
void evLogAside(const EventQueueDef *queue, const MQMD *md, int32_t feedback, const char *what,
                const char *why);
// Set E's unit that held a message past its backout threshold ended (committed 1, backed out 0).
// Under the consumer lock.
void evPastThresholdUnitEnded(const ConnectionSet *set, int committed);
// Says the lines held back in a second that is over (the main loop, once a second); all: whatever
// is held back, the second over or not (the end, when no more messages are taken).
void evFlushAsideLines(bool all = false);
// The reason is the connection's or the queue manager's (broken, stopping), not an object's.
bool evConnectionReason(int32_t reason);
extern EvMoveFailure evMoveFailure;
// Logs that the event queue stopped on the message with that MsgId, counts the failed move in its
// ERRORCT and raises its "$BOQFAIL" alert.
void evStopQueueNotice(QmgrContext *context, EventQueueDef *queue, const uint8_t *msgId);
// 1 with *msgId (MQ_MSG_ID_LENGTH bytes) when the queue is to stop at this open (the note is taken).
int evTakeStopAtOpen(const EventQueueDef *queue, uint8_t *msgId);
// Set C's unit committed, or a connection begun: the counts noted by evNoteQueueCountsTaken stay taken.
void evForgetTakenQueueCounts();
// A connect's drop of the event queues keeps their committed counts (and those set C's open unit
// took) for the queues its load defines anew; a fresh intake forgets them.
void evCarryQueueCounts();
void evForgetCarriedQueueCounts();
