// What the changing commands share: the walk over a command's parameters, the checks of names,
// texts and value names, and the first-failure-only answers they give.
#pragma once

#include "cmdserver/internal.h"

inline constexpr int32_t CMD_SHORT_COMMAND = 36;  // an MQCFH; anything shorter is refused

// Answers a command too short to hold its header with 2071: true when it did.
bool cmdTooShort(QmgrContext *context, int32_t code, const uint8_t *command, int32_t length);
// The empty reply of a command that did what it was asked: 1.
int cmdOk(QmgrContext *context);
// A refusal with a final text (null: none): 1, the command was answered.
int cmdRefuse(QmgrContext *context, int32_t reason, int32_t parmId, const char *text);
// A command that names the object it changes must have the name: without it, 3228 for the name's
// parameter (1, answered); else 0.
int cmdNameMissing(QmgrContext *context, const char *name, int32_t parmId);
// A refusal whose text has one "%s" filled with a name (printf-style, the name cut to fit).
int cmdRefuseName(QmgrContext *context, int32_t reason, int32_t parmId, const char *format, const char *name);
// Deliberately beyond the documented checks: a queue a command names for a role (an event queue, a
// forward, dead-letter or emitter queue) may not be the program's own command or data queue (qmgr:
// the queue manager it is opened on, blank the event one). Events read from there would consume the
// stored state or the commands; copies put there would be run as commands or stored as state. A
// queue that takes the program's puts (copies: forward is true) may not be one of its event queues
// either: what it put there would be read again, round and round. Then answered 3229 for the
// parameter: 1; else 0.
int cmdRefuseOwnQueue(QmgrContext *context, const char *qmgr, const char *name, int32_t parmId,
                      const char *role, bool copies = true);

// Walks the parameters: each is offered to take(cursor): 1 taken, 0 refused (already answered), -1
// not one of the command's (answered here by evParameterError). 1 when every parameter was taken.
template <typename Take>
int cmdReadParameters(QmgrContext *context, uint8_t *command, int32_t length, Take &&take) {
    PcfCursor cursor;
    MQPCFInitParser(&cursor, command, length, 0);
    for (;;) {
        int32_t type = 0;
        int32_t id = 0;
        void *value = nullptr;
        int32_t valueLength = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) {
            if (rc == PCF_END_OF_MESSAGE) return 1;
            cursor.reason = static_cast<uint32_t>(rc);
            evParameterError(context, &cursor, id, type);
            return 0;
        }
        const int taken = take(static_cast<const PcfCursor *>(&cursor));
        if (taken < 0) {
            evParameterError(context, &cursor, id, type);
            return 0;
        }
        if (taken == 0) return 0;
    }
}

// A name: not empty, no longer than maximum, of the MQ name characters (flags as evCheckName; with
// CMD_NAME_SYSTEM_STREAMS a leading '$' must be a system stream). Copied NUL-terminated into out
// (maximum + 1 bytes). 1, or 0 answered.
int cmdGetName(QmgrContext *context, const PcfCursor *cursor, int32_t maximum, uint32_t flags, char *out);
// A text up to maximum characters, trimmed, maybe empty, into out (maximum + 1 bytes). With mqName a
// text that is not empty must be an MQ name. 1, or 0 answered.
int cmdGetText(QmgrContext *context, const PcfCursor *cursor, int32_t maximum, bool mqName, char *out);
// An MQCFIN whose value is in the table. 1, or 0 answered.
int cmdGetValue(QmgrContext *context, const PcfCursor *cursor, const evValueName *table, int32_t *out);
// The REPLACE flag (any MQCFIN; its value is not read). 1, or 0 answered.
int cmdGetFlag(QmgrContext *context, const PcfCursor *cursor, bool *out);

// A hold of set E around queue work that runs no set E sync point: set E is resumed only after a
// call that took a hold. Busy answers 2003 and the command changes nothing.
class CmdEventSetPause {
public:
    explicit CmdEventSetPause(QmgrContext *context, bool wanted = true);
    ~CmdEventSetPause() { release(); }
    CmdEventSetPause(const CmdEventSetPause &) = delete;
    CmdEventSetPause &operator=(const CmdEventSetPause &) = delete;
    bool goOn() const { return result_ != EV_SUSPEND_BUSY; }
    void release();

private:
    QmgrContext *context_;
    int32_t result_;
};

// Before a command's first change of a stream: set E's unit closed and set E held until set C's unit
// ends. 1 go on; 0 answered 2003, nothing may change.
int cmdHoldEventSet(QmgrContext *context);

// A purge removes data outside the unit: what it removed stays removed though the unit backs out.
// Unlike the documented rule (a command delivered again is only answered as backed out), such a
// command is remembered by its MsgId with its answer; delivered again, it runs once more on the
// reloaded state (so that the change it needs is saved in this unit) and is answered as it was
// the first time. cmdAnswerPurge answers (reason, text), remembering them when removed is true,
// or answers the remembered ones for a command delivered again. Always 1.
int cmdAnswerPurge(QmgrContext *context, bool removed, int32_t reason, const char *text);
// True when the running command is one delivered again whose purge removed data.
bool cmdPurgeRecalled(QmgrContext *context);
