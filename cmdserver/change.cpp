// The checks and answers the changing commands share.
#include "cmdserver/change.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr int32_t kValueError = MQRCCF_PARM_VALUE_ERROR;
}  // namespace

bool cmdTooShort(QmgrContext *context, int32_t code, const uint8_t *command, int32_t length) {
    if (command != nullptr && length >= CMD_SHORT_COMMAND) return false;
    evPcfResponse(context, code, MQRC_STORAGE_NOT_AVAILABLE, 0, nullptr);
    return true;
}

namespace {

// The last command whose purge removed data (only the command thread of set C touches it).
struct PurgeMemo {
    MQBYTE24 msgId;
    int32_t reason;
    char text[CMD_TEXT_MAX];
    bool valid;
} gPurgeMemo{};

}  // namespace

bool cmdPurgeRecalled(QmgrContext *context) {
    const CmdRequest *request = cmdRequest(context);
    return request != nullptr && request->md != nullptr && request->md->BackoutCount != 0 &&
           gPurgeMemo.valid &&
           std::memcmp(request->md->MsgId, gPurgeMemo.msgId, sizeof gPurgeMemo.msgId) == 0;
}

int cmdAnswerPurge(QmgrContext *context, bool removed, int32_t reason, const char *text) {
    CmdRequest *request = cmdRequest(context);
    if (request != nullptr && request->recalled != 0)
        return cmdRefuse(context, gPurgeMemo.reason, 0,
                         gPurgeMemo.text[0] != '\0' ? gPurgeMemo.text : nullptr);
    if (removed && request != nullptr && request->md != nullptr) {
        std::memcpy(gPurgeMemo.msgId, request->md->MsgId, sizeof gPurgeMemo.msgId);
        gPurgeMemo.reason = reason;
        std::snprintf(gPurgeMemo.text, sizeof gPurgeMemo.text, "%s", text != nullptr ? text : "");
        gPurgeMemo.valid = true;
    }
    return cmdRefuse(context, reason, 0, text);
}

int cmdOk(QmgrContext *context) {
    evPcfResponse(context, cmdRequest(context)->command, 0, 0, nullptr);
    return 1;
}

int cmdRefuse(QmgrContext *context, int32_t reason, int32_t parmId, const char *text) {
    evPcfResponse(context, cmdRequest(context)->command, reason, parmId, text);
    return 1;
}

int cmdNameMissing(QmgrContext *context, const char *name, int32_t parmId) {
    if (name[0] != '\0') return 0;
    return cmdRefuse(context, MQRCCF_PARM_MISSING, parmId, nullptr);
}

int cmdRefuseName(QmgrContext *context, int32_t reason, int32_t parmId, const char *format,
                  const char *name) {
    // The name is the user's: it fills the one "%s" and is never read as a format.
    char text[512];
    const char *at = std::strstr(format, "%s");
    if (at == nullptr) return cmdRefuse(context, reason, parmId, format);
    std::snprintf(text, sizeof text, "%.*s%s%s", static_cast<int>(at - format), format, name, at + 2);
    return cmdRefuse(context, reason, parmId, text);
}

int cmdRefuseOwnQueue(QmgrContext *context, const char *qmgr, const char *name, int32_t parmId,
                      const char *role, bool copies) {
    if (name[0] == '\0') return 0;
    const bool own = evIsProgramQueue(context, qmgr, name);
    if (!own && !(copies && evIsInputQueue(context, qmgr, name))) return 0;
    char format[160];
    std::snprintf(format, sizeof format, "Queue '%%s' is %s and can not be %s.",
                  own ? "the program's own queue" : "a queue the program reads", role);
    return cmdRefuseName(context, MQRCCF_PARM_VALUE_ERROR, parmId, format, name);
}

int cmdGetName(QmgrContext *context, const PcfCursor *cursor, int32_t maximum, uint32_t flags, char *out) {
    const char *text = nullptr;
    int32_t length = 0;
    if (!evParmGetString(context, cursor, 0, maximum, &text, &length)) return 0;
    if (length == 0)
        return evParameterNameError(context, cursor, kValueError, "Parameter '%s' must contain a value."), 0;
    if (!evCheckName(text, length, flags))
        return evParameterNameError(
                   context, cursor, kValueError,
                   (flags & CMD_NAME_SYSTEM_STREAMS) && text[0] == '$'
                       ? "Parameter '%s' contains an invalid system stream name."
                       : "Parameter '%s' contains characters which are not valid in an MQ name."),
               0;
    std::memcpy(out, text, static_cast<size_t>(length));
    out[length] = '\0';
    return 1;
}

int cmdGetText(QmgrContext *context, const PcfCursor *cursor, int32_t maximum, bool mqName, char *out) {
    const char *text = nullptr;
    int32_t length = 0;
    if (!evParmGetString(context, cursor, 0, maximum, &text, &length)) return 0;
    if (mqName && length > 0 && !evCheckName(text, length, 0))
        return evParameterNameError(context, cursor, kValueError,
                                    "Parameter '%s' contains characters which are not valid in an MQ name."),
               0;
    std::memcpy(out, text, static_cast<size_t>(length));
    out[length] = '\0';
    return 1;
}

int cmdGetValue(QmgrContext *context, const PcfCursor *cursor, const evValueName *table, int32_t *out) {
    if (cursor->type != MQCFT_INTEGER || cursor->value == nullptr)
        return evParameterNameError(context, cursor, kValueError, "Parameter '%s' should be an integer."), 0;
    const int32_t value = mqiGetI32(cursor->value, 0);
    if (evValueNameByValue(table, value) == nullptr)
        return evParameterNameError(context, cursor, kValueError,
                                    "Parameter '%s' is not a recognised value."),
               0;
    *out = value;
    return 1;
}

int cmdGetFlag(QmgrContext *context, const PcfCursor *cursor, bool *out) {
    if (cursor->type != MQCFT_INTEGER || cursor->value == nullptr)
        return evParameterNameError(context, cursor, kValueError, "Parameter '%s' should be an integer."), 0;
    *out = true;
    return 1;
}

CmdHandler cmdChangingHandler(uint32_t code) {
    switch (code) {
        case 9005:
            return evAlterEV;
        case 9006:
            return evResetEV;
        case 9007:
            return evRemoveQmgr;
        case 9008:
        case 9010:
            return evAddAlterEventQueue;
        case 9009:
            return evRemoveEventQueue;
        case 9011:
            return evSuspendEventQueue;
        case 9012:
            return evResumeEventQueue;
        case 9014:
            return evRemoveAlert;
        case 9015:
        case 9016:
            return evDefineAlterStream;
        case 9017:
            return evDeleteStream;
        case 9018:
            return evRenameStream;
        case 9020:
            return evPurgeStreamStatus;
        case 9021:
            return evAddAlert;
        case 9029:
        case 9031:
            return evDefineAlterEmitter;
        case 9032:
            return evDeleteEmitter;
        case 9033:
            return evCopyStreamStatus;
        default:
            return nullptr;
    }
}
