// Intake of the command queue: each message by its Format (MQSC text, escape PCF, PCF command), the
// checks every PCF command passes before its handler (backout, the event-processing rule,
// authority), the dispatch table, STOP EV, and the slots that tie the server to the engine and to
// stream storage.
#include <cstdio>
#include <cstring>

#include "cmdserver/change.h"
#include "cmdserver/internal.h"

int (*cmdConsoleReplyQueue)(char out[48]) = nullptr;

namespace {

constexpr uint32_t kFirstCode = 9000;
constexpr uint32_t kLastCode = 9033;
constexpr size_t kUserIdLength = 12;

int stopEv(QmgrContext *context, uint8_t *command, int32_t length);

// One row per command code: changing commands need authority; of those, the exempt ones may come
// from the console's reply queue during event processing, and the stored ones change what the data
// queue keeps (the configuration or the alerts). STOP EV keeps nothing; PURGE EVSTRMST takes its
// records off the data queue at once, outside the unit, and is the program's own way to make room
// there.
struct Dispatch {
    uint32_t code;
    CmdHandler handler;  // the one built here; the rest register
    bool changing;
    bool exempt;
    bool stored;
};
constexpr Dispatch kDispatch[] = {
    {9000, evDisplayEV, false, false, false},
    {9001, evDisplayStream, false, false, false},
    {9002, evDisplayQmgr, false, false, false},
    {9003, evDisplayEventQueue, false, false, false},
    {9004, evDisplayEvents, false, false, false},
    {9005, nullptr, true, false, true},  // ALTER EV
    {9006, nullptr, true, false, true},  // RESET EV: the counters and RESETTI
    {9007, nullptr, true, false, true},  // REMOVE EVQMGR
    {9008, nullptr, true, false, true},  // ADD EVQ
    {9009, nullptr, true, false, true},  // REMOVE EVQ
    {9010, nullptr, true, false, true},  // ALTER EVQ
    {9011, nullptr, true, false, true},  // SUSPEND EVQ
    {9012, nullptr, true, false, true},  // RESUME EVQ
    {9013, evDisplayAlert, false, false, false},
    {9014, nullptr, true, true, true},   // REMOVE EVALERT
    {9015, nullptr, true, false, true},  // DEFINE EVSTREAM
    {9016, nullptr, true, false, true},  // ALTER EVSTREAM
    {9017, nullptr, true, false, true},  // DELETE EVSTREAM
    {9018, nullptr, true, false, true},  // RENAME EVSTREAM
    {9019, evDisplayStreamStatus, false, false, false},
    {9020, nullptr, true, false, false},  // PURGE EVSTRMST
    {9021, nullptr, true, true, true},    // ADD EVALERT
    {9023, nullptr, false, false, false},
    {9024, nullptr, false, false, false},
    {9025, nullptr, false, false, false},
    {9026, nullptr, false, false, false},
    {9027, nullptr, false, false, false},
    {9028, stopEv, true, false, false},
    {9029, nullptr, true, false, true},  // DEFINE EVEMIT
    {9030, evDisplayEmitter, false, false, false},
    {9031, nullptr, true, false, true},  // ALTER EVEMIT
    {9032, nullptr, true, false, true},  // DELETE EVEMIT
    {9033, nullptr, true, false, true},  // COPY EVSTRMST
};

// Handlers registered by other subsystems, by code - 9000.
CmdHandler registered[kLastCode - kFirstCode + 1];

const Dispatch *dispatchOf(uint32_t code) {
    for (const Dispatch &row : kDispatch)
        if (row.code == code) return &row;
    return nullptr;
}

// A registered handler takes the place of the one built here.
CmdHandler handlerOf(const Dispatch *row) {
    CmdHandler handler = registered[row->code - kFirstCode];
    if (handler == nullptr && row->handler == nullptr) return cmdChangingHandler(row->code);
    return handler != nullptr ? handler : row->handler;
}

// The authority cache: users whose last check passed, keyed by the 12-byte UserIdentifier.
struct AuthEntry {
    CSTree links;
    char user[kUserIdLength];
    int64_t checked;
};
static_assert(offsetof(AuthEntry, user) == CS_TREE_KEY);
CSTree *authCache = nullptr;

bool sameReplyQueue(const MQMD *md);

// STOP EV: the program ends after set C's next commit, unless the command was put before this run
// started (a STOP EV left on the queue from an earlier run). Put times count in seconds: one the
// program's own console put (a hook's, in the run's first second) is this run's whatever its time
// says, else it would be taken for an old one and, never answered, wait for ever.
int stopEv(QmgrContext *context, uint8_t *, int32_t) {
    const MQMD *md = cmdRequest(context)->md;
    if (sameReplyQueue(md)) {
        evStopPending.store(1);
        return 1;
    }
    char date[9];
    char time[7];
    std::memcpy(date, md->PutDate, 8);
    date[8] = '\0';
    std::memcpy(time, md->PutTime, 6);
    time[6] = '\0';
    int64_t put = 0;
    if (evYMDHMSToTime(date, time, &put) && put > evSettings.startTime.load()) evStopPending.store(1);
    return 1;
}

bool sameReplyQueue(const MQMD *md) {
    if (cmdConsoleReplyQueue == nullptr) return false;
    char console[48];
    if (!cmdConsoleReplyQueue(console)) return false;
    // Names compare up to their padding, blanks or NULs.
    auto length = [](const char *name) {
        size_t n = 0;
        while (n < 48 && name[n] != ' ' && name[n] != '\0') n++;
        return n;
    };
    const size_t n = length(console);
    return n > 0 && n == length(md->ReplyToQ) && std::memcmp(console, md->ReplyToQ, n) == 0;
}

}  // namespace

int evRegisterCommandHandler(uint32_t code, CmdHandler handler) {
    if (dispatchOf(code) == nullptr) return 0;
    registered[code - kFirstCode] = handler;
    return 1;
}

int evCheckCommandAuthority(QmgrContext *context, const uint8_t *command) {
    CmdRequest *request = cmdRequest(context);
    const MQMD *md = request->md;
    const int32_t duration = evSettings.authDuration.load();
    const int64_t now = evClockNow();
    auto *entry = reinterpret_cast<AuthEntry *>(CSTreeFind(authCache, md->UserIdentifier, kUserIdLength));
    if (duration != 0 && entry != nullptr && now - entry->checked <= duration) return 0;
    MQOD od = MQOD_DEFAULT;
    std::memcpy(od.ObjectName, EV_COMMAND_QUEUE_NAME, std::strlen(EV_COMMAND_QUEUE_NAME));
    std::memcpy(od.AlternateUserId, md->UserIdentifier, kUserIdLength);
    const MQHCONN hconn = evEventHconn(&context->sets[EV_SET_C]);
    MQHOBJ hobj = -1;
    MQLONG cc = MQCC_FAILED;
    MQLONG rc = MQRC_HCONN_ERROR;
    // Unlike the documented check (always the MQOPEN), a request put without context has no user to
    // check and is refused without it: IBM MQ refuses a blank alternate user on a queue that needs
    // authority, but a queue manager that takes a blank one as the caller's would lend the program's.
    if (cmdBlankName(md->UserIdentifier, kUserIdLength)) {
        rc = MQRC_NOT_AUTHORIZED;
    } else if (context->event.mq != nullptr && hconn != -1) {
        evTraceOpenIn("MQOPEN(Authority)", hconn, EV_TRACE_CONTROL, &od);
        context->event.mq->MQOPEN(hconn, &od, MQOO_OUTPUT | MQOO_SET | MQOO_ALTERNATE_USER_AUTHORITY, &hobj,
                                  &cc, &rc);
        evTraceOpenOut("MQOPEN(Authority)", hconn, EV_TRACE_CONTROL, &od, hobj, rc);
    }
    if (cc == MQCC_FAILED) {
        if (command != nullptr)
            evPcfResponse(context, request->command, MQRC_NOT_AUTHORIZED, 0, "Command not authorized.");
        return 1;
    }
    if (duration != 0) {
        if (entry != nullptr) {
            entry->checked = now;
        } else {
            AuthEntry fresh{};
            std::memcpy(fresh.user, md->UserIdentifier, kUserIdLength);
            fresh.checked = now;
            (void)CSTreeInsert(&authCache, "AUTHCACHE", &fresh, sizeof fresh, kUserIdLength);
        }
    }
    MQLONG closeCc = 0;
    MQLONG closeRc = 0;
    evTraceCallIn("MQCLOSE(Authority)", hconn, EV_TRACE_CONTROL, hobj);
    context->event.mq->MQCLOSE(hconn, &hobj, MQCO_NONE, &closeCc, &closeRc);
    evTraceCallOut("MQCLOSE(Authority)", hconn, EV_TRACE_CONTROL, closeRc);
    return 0;
}

namespace {

// The only answer to a command delivered again.
int backedOut(QmgrContext *context, int32_t code) {
    cmdRequest(context)->command = code;
    return evPcfResponse(context, code, MQRC_BACKED_OUT, 0,
                         "Command transaction failed, please try again later");
}

// Unlike the documented rule (a change answered, then saved or failed at the sync point), a command
// that changes what the data queue keeps is refused, before anything of it runs, while the data queue
// refuses the saves: set C's sync points commit without them then, and a change answered meanwhile
// would be lost to a kill before the data queue has room. The data queue is looked at again first,
// as the wait's own look does: room made since counts at once. 1 refused (answered), 0 go on.
int refuseUnkeptChange(QmgrContext *context) {
    if (evDataQueueCondition.load() == 0) return 0;
    char message[EV_CONN_MESSAGE_MAX] = "";
    if (!evInquireDataQueue(context, &context->sets[EV_SET_C], message))
        evReportMQError(context, -1, 0, message);
    const uint32_t condition = evDataQueueCondition.load();
    if (condition == 0) return 0;
    uint32_t status = EV_EVQ_DATAHIGH;
    const char *what = evDataQueueConditionText(condition, &status);
    // A lowered MAXMSGL is answered as a put-inhibited queue, as it always was, though its status
    // is DATAHIGH.
    const int32_t reason = status == EV_EVQ_DATAGET ? MQRC_GET_INHIBITED
                           : status == EV_EVQ_DATAPUT || (condition & EV_DQ_MSGL_LOW) != 0
                               ? MQRC_PUT_INHIBITED
                               : MQRC_Q_FULL;
    char text[256];
    std::snprintf(text, sizeof text,
                  "ZUNT can not keep the change now: Data Queue '%s/%s' %s. Nothing was changed.",
                  context->state.name, context->dataQueueName, what);
    evPcfResponse(context, cmdRequest(context)->command, reason, 0, text);
    return 1;
}

}  // namespace

namespace {

// The parameters at the top level of a request: every structure, less those a group counts as its
// own. -1 when a structure's length does not fit (the parser then names the parameter).
int32_t topLevelParameters(const uint8_t *command, int32_t length) {
    int32_t structures = 0;
    int64_t inGroups = 0;
    for (int32_t at = static_cast<int32_t>(MQCFH_STRUC_LENGTH); at < length;) {
        if (length - at < 8) return -1;
        const int32_t size = mqiGetI32(command, static_cast<uint32_t>(at) + 4);
        if (size < 8 || size > length - at) return -1;
        if (mqiGetI32(command, static_cast<uint32_t>(at)) == MQCFT_GROUP) {
            if (size < 16) return -1;
            inGroups += mqiGetI32(command, static_cast<uint32_t>(at) + 12);
        }
        structures++;
        at += size;
    }
    const int64_t top = structures - inGroups;
    return top < 0 ? -2 : static_cast<int32_t>(top);
}

// The MQCFH of a PCF or escape request as IBM MQ's command server checks it: a Type other than a
// command is 3001 (MQRCCF_CFH_TYPE_ERROR), a StrucLength other than 36 3002
// (MQRCCF_CFH_LENGTH_ERROR), a ParameterCount that is negative or is not the number of parameters
// that follow 3006 (MQRCCF_CFH_PARM_COUNT_ERROR); else 0. The caller has checked that 36 bytes are
// there.
int32_t headerError(const uint8_t *command, int32_t length) {
    const int32_t type = mqiGetI32(command, offsetof(MQCFH, Type));
    if (type != MQCFT_COMMAND && type != MQCFT_COMMAND_XR) return MQRCCF_CFH_TYPE_ERROR;
    if (mqiGetI32(command, offsetof(MQCFH, StrucLength)) != static_cast<int32_t>(MQCFH_STRUC_LENGTH))
        return MQRCCF_CFH_LENGTH_ERROR;
    const int32_t count = mqiGetI32(command, offsetof(MQCFH, ParameterCount));
    if (count < 0) return MQRCCF_CFH_PARM_COUNT_ERROR;
    const int32_t present = topLevelParameters(command, length);
    if (present == -2 || (present >= 0 && present != count)) return MQRCCF_CFH_PARM_COUNT_ERROR;
    return 0;
}

}  // namespace

int evExecutePcfCommand(QmgrContext *context, uint8_t *command, int32_t length) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr || request->md == nullptr) return 0;
    if (command == nullptr || length < static_cast<int32_t>(MQCFH_STRUC_LENGTH)) {
        request->command = 0;
        return evPcfResponse(context, 0, MQRCCF_CFH_LENGTH_ERROR, 0, nullptr);
    }
    const auto code = static_cast<uint32_t>(mqiGetI32(command, offsetof(MQCFH, Command)));
    request->command = static_cast<int32_t>(code);
    if (const int32_t bad = headerError(command, length); bad != 0)
        return evPcfResponse(context, request->command, bad, 0, nullptr);
    if (request->md->BackoutCount != 0 && request->recalled == 0) return backedOut(context, request->command);
    const Dispatch *row = dispatchOf(code);
    if (row == nullptr) return evPcfResponse(context, request->command, MQRCCF_CFH_COMMAND_ERROR, 0, nullptr);
    // Unlike the documented rule (a failure: no sync point, set C's consumer stopped), the 2012
    // refusal is answered and committed as its siblings below are: a failure would leave the command
    // and its answer in set C's open unit and stop the command queue until a reconnect, only for the
    // redelivered command to be answered 2003 then.
    if (row->changing && !row->exempt && evConsumerActive.load() != 0 && sameReplyQueue(request->md))
        return evPcfResponse(context, request->command, MQRC_ENVIRONMENT_ERROR, 0,
                             "Command can not be issued during event processing.");
    // A refusal is answered and committed: the requester learns why, the queue goes on.
    if (row->changing && evCheckCommandAuthority(context, command) != 0) return 1;
    if (row->stored && refuseUnkeptChange(context) != 0) return 1;
    CmdHandler handler = handlerOf(row);
    if (handler == nullptr)
        return evPcfResponse(context, request->command, MQRCCF_CFH_COMMAND_ERROR, 0, nullptr);
    return handler(context, command, length);
}

int evProcessEscape(QmgrContext *context) {
    CmdRequest *request = cmdRequest(context);
    const int32_t length = request->length;
    if (length < static_cast<int32_t>(MQCFH_STRUC_LENGTH))
        return evPcfResponse(context, MQCMD_ESCAPE, MQRC_COMMAND_TYPE_ERROR, 0, nullptr);
    const int32_t code = mqiGetI32(request->data, offsetof(MQCFH, Command));
    request->command = code;
    if (code != MQCMD_ESCAPE && code != CMD_EVENT_CALLBACK_ESCAPE)
        return evPcfResponse(context, code, MQRC_COMMAND_TYPE_ERROR, code, nullptr);
    if (const int32_t bad = headerError(request->data, length); bad != 0)
        return evPcfResponse(context, code, bad, 0, nullptr);
    PcfCursor cursor;
    MQPCFInitParser(&cursor, request->data, length, 0);
    const char *text = nullptr;
    int32_t textLength = 0;
    for (bool first = true;; first = false) {
        int32_t type = 0;
        int32_t parmId = 0;
        void *value = nullptr;
        int32_t valueLength = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &parmId, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) {
            // A parameter the parser could not read is named by its own identifier, read from its
            // structure when the parser gave none.
            if (rc != PCF_END_OF_MESSAGE) {
                const uint32_t at = static_cast<uint32_t>(cursor.position);
                if (parmId == 0 && at + 12 <= static_cast<uint32_t>(length))
                    parmId = mqiGetI32(request->data, at + 8);
                // A string whose StringLength is negative has no length at all: it is not "too long".
                if (rc == MQRCCF_CFST_STRING_LENGTH_ERR && at + 20 <= static_cast<uint32_t>(length) &&
                    mqiGetI32(request->data, at) == MQCFT_STRING && mqiGetI32(request->data, at + 16) < 0) {
                    const evConstEntry *attr = evAttrByValue(parmId);
                    char said[160];
                    std::snprintf(said, sizeof said, "Parameter '%s' has a negative length.",
                                  attr != nullptr ? attr->description : "?");
                    return evPcfResponse(context, code, rc, parmId, said);
                }
                return evPcfResponse(context, code, rc, parmId, nullptr);
            }
            if (first || text == nullptr)
                return evPcfResponse(context, code, MQRCCF_PARM_MISSING, MQCACF_ESCAPE_TEXT, nullptr);
            break;
        }
        if (parmId == MQIACF_ESCAPE_TYPE) continue;
        if (parmId == MQCACF_ESCAPE_TEXT && type == MQCFT_STRING) {
            text = static_cast<const char *>(value);
            textLength = valueLength;
            continue;
        }
        if (!evPcfResponse(context, code, MQRCCF_CFST_PARM_ID_ERROR, parmId, nullptr)) return 0;
    }
    // The stray parameters are answered; the text then runs from a clean state (their reason left
    // set would fail every parameter read of the command). The reply's completion is the command's
    // own: a requester that checks it learns whether the command was done, and the 3015 texts stay
    // in the reply.
    request->lastReason = 0;
    request->errorFlag = 0;
    return evProcessMqsc(context, text, textLength);
}

int evRunCommandMessage(QmgrContext *context, EventQueueDef *queue, const MQMD *md, void *message,
                        int32_t length) {
    if (length <= 0) return 1;
    cmdBuildIndexes();
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr) return 0;
    evActivity.commands.fetch_add(1);
    std::memset(request, 0, sizeof *request);
    request->md = md;
    request->data = static_cast<uint8_t *>(message);
    request->length = length;
    int result = 1;
    // A command delivered again was taken by a unit that never committed: a failed path, or a
    // program that ended in the middle of it. Unlike the documented order (the rule first among the
    // PCF checks, after the MQSC translation), it is answered 2003 before anything of it runs, not
    // its translation nor DEBUG (which never reaches the PCF checks), so that a command that ended
    // the program once cannot end it again.
    const bool redelivered = md->BackoutCount != 0 && !cmdPurgeRecalled(context);
    // A purge's removals outlive its unit: delivered again, it runs again (see cmdAnswerPurge).
    request->recalled = md->BackoutCount != 0 && !redelivered ? 1 : 0;
    // Deliberately beyond the documented intake, which runs whatever has a command's Format: a report
    // or a reply that lands on the command queue (a requester's reply-to queue set to it, a report of
    // a message the program put) answers something and asks nothing. Run, its text would change the
    // configuration in nobody's name; it is moved aside as the intake moves a message it does not
    // take, with MQRC_MSG_TYPE_ERROR as its reason, and gets no reply.
    if (md->MsgType == MQMT_REPORT || md->MsgType == MQMT_REPLY) {
        if (queue != nullptr) queue->counters[EV_EQC_ERRORS].current++;
        cmdReleaseAreas(request);
        return evMoveAsideCommandMessage(context, queue, md, request->data, length, MQRC_MSG_TYPE_ERROR);
    }
    // Unlike the documented intake (every recognised Format runs), a request whose replies would
    // land on the program's own command or data queue is refused whole, before anything of it runs: such a
    // reply would be taken as a command, or as stored state at the next start. Counted as rejected and
    // committed without a reply.
    // The reply queue manager is named as the open will name it: "*QM" is QM. Then the queue is opened
    // as the replies will open it, so that where it leads is known before the command runs.
    const bool command = std::memcmp(md->Format, MQFMT_STRING, MQ_FORMAT_LENGTH) == 0 ||
                         std::memcmp(md->Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH) == 0;
    MQCHAR replyQmgr[MQ_Q_MGR_NAME_LENGTH + 1] = {};
    const bool star = md->ReplyToQMgr[0] == '*';
    std::memcpy(replyQmgr, md->ReplyToQMgr + (star ? 1 : 0), MQ_Q_MGR_NAME_LENGTH - (star ? 1 : 0));
    if (command && evIsOwnQueue(context, replyQmgr, md->ReplyToQ)) {
        cmdRefuseReplyQueue(context, md->ReplyToQMgr, md->ReplyToQ);
        if (queue != nullptr) queue->counters[EV_EQC_ERRORS].current++;
        cmdReleaseAreas(request);
        return 1;
    }
    if (command && !cmdOpenReplyFirst(context)) {
        if (queue != nullptr) queue->counters[EV_EQC_ERRORS].current++;
        cmdReleaseAreas(request);
        return 1;
    }
    request->running = 1;
    if (std::memcmp(md->Format, MQFMT_STRING, MQ_FORMAT_LENGTH) == 0) {
        request->kind = CMD_KIND_MQSC;
        if (queue != nullptr) queue->counters[EV_EQC_EVENTS].current++;
        result = redelivered ? backedOut(context, 0)
                             : evProcessMqsc(context, static_cast<const char *>(message), length);
    } else if (std::memcmp(md->Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH) == 0) {
        const int32_t code = length >= static_cast<int32_t>(MQCFH_STRUC_LENGTH)
                                 ? mqiGetI32(message, offsetof(MQCFH, Command))
                                 : 0;
        if (queue != nullptr) queue->counters[EV_EQC_EVENTS].current++;
        if (redelivered) {
            request->kind = code == MQCMD_ESCAPE                ? CMD_KIND_ESCAPE
                            : code == CMD_EVENT_CALLBACK_ESCAPE ? CMD_KIND_EVENT_ESCAPE
                                                                : CMD_KIND_PCF;
            result = backedOut(context, code);
        } else if (code == MQCMD_ESCAPE || code == CMD_EVENT_CALLBACK_ESCAPE) {
            request->kind = code == MQCMD_ESCAPE ? CMD_KIND_ESCAPE : CMD_KIND_EVENT_ESCAPE;
            result = evProcessEscape(context);
        } else {
            request->kind = CMD_KIND_PCF;
            result = evExecutePcfCommand(context, request->data, length);
        }
    } else {
        // Not a command: counted as rejected and committed without a reply, so that it cannot stop
        // the command queue.
        if (queue != nullptr) queue->counters[EV_EQC_ERRORS].current++;
        cmdReleaseAreas(request);
        return 1;
    }
    if (request->collation != nullptr && request->collation->used > 0) {
        evSendReply(context, CMD_REPLY_LAST, request->collationKind, AreaData(request->collation),
                    static_cast<int32_t>(request->collation->used));
        request->collation->used = 0;
    }
    cmdReleaseAreas(request);
    return result;
}

int evProcessCommandMessage(QmgrContext *context, EventQueueDef *queue, const MQMD *md, void *message,
                            int32_t length) {
    if (!evRunCommandMessage(context, queue, md, message, length)) return 0;
    return evSyncPoint(context, &context->sets[EV_SET_C]);
}

void cmdInstall() {
    evServices.processCommandMessage = evProcessCommandMessage;
    evServices.closeReplyCache = evCloseReplyCache;
    EvStreamHooks *hooks = evStreamGetHooks();
    hooks->progressReply = evRespAddString;
    hooks->errorReply = [](QmgrContext *context, int32_t command, int32_t reason, const char *text) {
        return evPcfResponse(context, command, reason, 0, text);
    };
}
