// Inside the statistics intake: how one family's message is read (which MQ parameter fills which
// stored parameter, in the writer's order) and the engine calls the intake makes, which tests replace.
#pragma once

#include <atomic>

#include "engine/engine.h"
#include "stats/stats.h"

// What a stored parameter is made of.
enum IntakeKind : uint8_t {
    INTAKE_INT,     // a 32-bit integer: an MQCFIN, or an element of an MQCFIL
    INTAKE_INT64,   // a 64-bit integer: an MQCFIN64 or MQCFIL64 element, or a 32-bit form widened
    INTAKE_STRING,  // an MQCFST, trailing blanks removed, cut to size
    INTAKE_BYTES,   // an MQCFBS, cut to size
    INTAKE_TIME,    // an MQ date (sourceId) and time (timeId) pair, as seconds since 1970
    INTAKE_SPAN,    // MQI accounting's connection duration, computed from its two times
};

// When a stored parameter is written.
enum IntakeWhen : uint8_t {
    INTAKE_NONZERO,  // a counter: not 0
    INTAKE_SET,      // not the unset value (a string or byte string: when present)
    INTAKE_ALWAYS,
};

inline constexpr uint8_t INTAKE_F_UNSET = 0x1;    // starts unset rather than 0
inline constexpr uint8_t INTAKE_F_COUNTER = 0x2;  // counts in the activity test
inline constexpr uint8_t INTAKE_F_NARROW = 0x4;   // held as 64 bits, written as MQCFT_INTEGER when it fits

struct IntakeField {
    int32_t storedId;
    int32_t sourceId;  // the MQ parameter (a time: its date)
    int32_t timeId;    // a time: the MQ parameter of its time of day
    uint8_t element;   // the list element taken (0: a single value)
    uint8_t kind;      // IntakeKind
    uint8_t when;      // IntakeWhen
    uint8_t flags;     // INTAKE_F_*
    uint16_t size;     // strings and byte strings: the MQ length
};

// One family's message: its identifying part (read before the first group; a flat family reads the
// whole message into it) and the fields of each object group, both in writing order.
struct IntakeFamily {
    const char *name;
    int32_t command;
    uint32_t streamType;
    int32_t groupId;   // 8010, 8011, 8012; 0 for the flat MQI families
    int statsCounter;  // index into evStatsCounters
    EvQmgrCounter qmgrCounter;
    EvQueueCounter queueCounter;
    const IntakeField *head;
    uint32_t headCount;
    const IntakeField *object;
    uint32_t objectCount;
};

extern const IntakeFamily statsIntakeStatQ;
extern const IntakeFamily statsIntakeStatChl;
extern const IntakeFamily statsIntakeStatMQI;
extern const IntakeFamily statsIntakeAcctQ;
extern const IntakeFamily statsIntakeAcctMQI;

// The most fields a part of a family has (the MQI statistics' counters and command level).
inline constexpr uint32_t INTAKE_MAX_FIELDS = 136;

// The feedback of a statistics or accounting message without a queue manager name.
inline constexpr int32_t STATS_FEEDBACK_NO_QMGR = 200002;

// The engine's stream road and dead-letter put, as the intake calls them.
struct StatsEngineCalls {
    int (*putToStreams)(QmgrContext *context, QmgrEntry *qmgr, uint32_t type, const MQMD *md, int64_t time,
                        int32_t count, EventQueueDef *queue, uint8_t *record, uint32_t length,
                        Area **headerOut);
    int (*putToDLQ)(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, const MQMD *md,
                    const uint8_t *data, int32_t length, int32_t feedback, const char *destQueue);
};
extern StatsEngineCalls statsEngineCalls;

// The engine's intake slot: the processor of the MQCFH command over a cursor on the message, with
// the MQMD and input queue of the context's current message.
int statsIntake(QmgrContext *context, int32_t command, void *message, int32_t length);

// The channel statistics warning is written once per run; set once it was.
extern std::atomic<int32_t> statsChannelWarned;
