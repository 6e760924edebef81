// The MQI trace: one line before and one after every MQI call, naming connections and object handles
// by their role, written whole to the log and cut to the console's width.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "mqi/mqbind.h"
#include "platform/platform.h"

std::atomic<MQHOBJ> evTraceObjectHandles[EV_TRACE_HO_SLOTS] = {};

namespace {

// One trace line being built; what does not fit is cut, never overrun.
struct TraceLine {
    char text[2048];
    size_t length = 0;

    void add(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        if (length + 1 >= sizeof text) return;
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text + length, sizeof text - length, format, args);
        va_end(args);
        if (n > 0)
            length += static_cast<size_t>(n) < sizeof text - length ? static_cast<size_t>(n)
                                                                    : sizeof text - length - 1;
    }
    // Adds a piece written by one of the evTrace... helpers.
    template <class Piece>
    void piece(Piece write) {
        length += write(text + length, sizeof text - length);
    }
    void write() const { evTraceWrite(text, static_cast<int32_t>(length)); }
};

void lineStart(TraceLine *line, const char *kind, MQHCONN hconn, uint32_t flags, const char *label) {
    line->add("%6d %s", static_cast<int>(csThreadId()), kind);
    line->piece([&](char *b, size_t n) { return evTraceHconn(b, n, hconn, flags); });
    line->add("%s ", label ? label : "");
}

size_t put(char *buffer, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
size_t put(char *buffer, size_t size, const char *format, ...) {
    if (size == 0) return 0;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

const char *callTypeWord(MQLONG callType) {
    switch (callType) {
        case 1:
            return "START ";
        case 2:
            return "STOP  ";
        case 3:
            return "REG   ";
        case 4:
            return "DEREG ";
        case 5:
            return "EVENT ";
        case 6:
            return "REMV  ";
        case 7:
            return "NREMV ";
        case 8:
            return "MCEV  ";
        default:
            return nullptr;
    }
}

// An ObjectString is at most a topic string long; its length of -1 means up to the NUL.
constexpr size_t kMaxObjectString = 10240;

}  // namespace

bool evTraceWanted(uint32_t flags) {
    uint32_t debug = evDebugFlags.load(std::memory_order_relaxed);
    if (debug & EV_DBG_A) return true;
    if (debug & EV_DBG_a)
        return (flags & (EV_TRACE_CONTROL | EV_TRACE_EVENT_RC)) != 0 ||
               evRunState.qmgrEnding.load(std::memory_order_relaxed) != 0;
    return false;
}

size_t evTraceHconn(char *buffer, size_t size, MQHCONN hconn, uint32_t flags) {
    static const char *const kSlotNames[EV_CONN_SLOTS] = {"E_EVENT ", "E_STATE ", "E_STATEN",
                                                          "C_EVENT ", "C_STATE ", "C_STATEN"};
    if (size) buffer[0] = '\0';
    if (hconn == 0) return 0;
    if (hconn == MQHC_UNUSABLE_HCONN) return put(buffer, size, "HC(        ) ");
    for (int32_t slot = 0; slot < EV_CONN_SLOTS; ++slot)
        if (evConnHandles[slot].load(std::memory_order_relaxed) == hconn)
            return put(buffer, size, "HC(%s) ", kSlotNames[slot]);
    if (flags & EV_TRACE_CONSOLE) return put(buffer, size, "HC(VEDRA   ) ");
    return put(buffer, size, "HC(%8.8X) ", static_cast<unsigned>(hconn));
}

size_t evTraceHobj(char *buffer, size_t size, MQHCONN hconn, MQHOBJ hobj) {
    auto registered = [](EvTraceObject slot) {
        return evTraceObjectHandles[slot].load(std::memory_order_relaxed);
    };
    auto connection = [](EvConnSlot slot) { return evConnHandles[slot].load(std::memory_order_relaxed); };
    if (hobj == registered(EV_TRACE_HO_E_STATE) && hconn == connection(EV_CONN_E_STATE))
        return put(buffer, size, "HO(E_STATE ) ");
    if (hobj == registered(EV_TRACE_HO_C_STATE) && hconn == connection(EV_CONN_C_STATE))
        return put(buffer, size, "HO(C_STATE ) ");
    if (hobj == registered(EV_TRACE_HO_C_CMD) && hobj != MQHO_UNUSABLE_HOBJ &&
        hconn == connection(EV_CONN_C_EVENT))
        return put(buffer, size, "HO(C_CMD   ) ");
    return put(buffer, size, "HO(%8.8X) ", static_cast<unsigned>(hobj));
}

size_t evTraceObjDesc(char *buffer, size_t size, const MQOD *od) {
    if (size) buffer[0] = '\0';
    if (!od) return 0;
    size_t n;
    switch (od->ObjectType) {
        case MQOT_Q:
            n = put(buffer, size, "Q");
            break;
        case MQOT_Q_MGR:
            n = put(buffer, size, "Qmgr");
            break;
        case MQOT_TOPIC:
            n = put(buffer, size, "Top");
            break;
        default:
            n = put(buffer, size, "%d", od->ObjectType);
            break;
    }
    const MQCHARV &os = od->ObjectString;
    if (od->Version >= MQOD_VERSION_4 && os.VSPtr && os.VSLength != 0) {
        const char *text = static_cast<const char *>(os.VSPtr);
        size_t length = os.VSLength == MQVS_NULL_TERMINATED ? strnlen(text, kMaxObjectString)
                        : os.VSLength > 0                   ? static_cast<size_t>(os.VSLength)
                                                            : 0;
        if (length > kMaxObjectString) length = kMaxObjectString;
        return n + put(buffer + n, size - n, "(%.*s) ", static_cast<int>(length), text);
    }
    const MQCHAR *name = od->ObjectName;
    size_t start = 0;
    while (start < sizeof od->ObjectName && (name[start] == '\0' || name[start] == ' ')) ++start;
    size_t end = start;
    while (end < sizeof od->ObjectName && name[end] != ' ' && name[end] != '\0') ++end;
    if (end == start) return n + put(buffer + n, size - n, " ");
    return n + put(buffer + n, size - n, "(%.*s) ", static_cast<int>(end - start), name + start);
}

void evTraceWrite(const char *line, int32_t length) {
    if (!line) return;
    if (length < 0) length = static_cast<int32_t>(std::strlen(line));
    CSRecursiveGuard guard(gLogConsoleLock);  // log and console line stay together
    logWrite(nullptr, EV_OUT_PROGRESS, line, length);
    if (evRunState.background.load(std::memory_order_relaxed)) return;
    if (length > EV_TRACE_CONSOLE_WIDTH) {
        char cut[EV_TRACE_CONSOLE_WIDTH];
        std::memcpy(cut, line, EV_TRACE_CONSOLE_WIDTH - 3);
        std::memcpy(cut + EV_TRACE_CONSOLE_WIDTH - 3, "...", 3);
        evOutput(EV_OUT_PROGRESS, cut, EV_TRACE_CONSOLE_WIDTH, 0);
    } else {
        evOutput(EV_OUT_PROGRESS, line, length, 0);
    }
}

void evTraceCallIn(const char *label, MQHCONN hconn, uint32_t flags, MQHOBJ hobj) {
    if (!evTraceWanted(flags)) return;
    TraceLine line;
    lineStart(&line, "IN   ", hconn, flags, label);
    if (hobj != 0) line.piece([&](char *b, size_t n) { return evTraceHobj(b, n, hconn, hobj); });
    line.write();
}

void evTraceCallOut(const char *label, MQHCONN hconn, uint32_t flags, MQLONG reason) {
    if (!evTraceWanted(flags)) return;
    TraceLine line;
    lineStart(&line, "OUT  ", hconn, flags, label);
    line.add("RC(%d) ", reason);
    if (flags & EV_TRACE_SHOW_HC) line.add("HC(%8.8X) ", static_cast<unsigned>(hconn));
    line.write();
}

void evTraceOpenIn(const char *label, MQHCONN hconn, uint32_t flags, const MQOD *objDesc) {
    if (!evTraceWanted(flags)) return;
    TraceLine line;
    lineStart(&line, "IN   ", hconn, flags, label);
    line.piece([&](char *b, size_t n) { return evTraceObjDesc(b, n, objDesc); });
    line.write();
}

void evTraceOpenOut(const char *label, MQHCONN hconn, uint32_t flags, const MQOD *objDesc, MQHOBJ hobj,
                    MQLONG reason) {
    if (!evTraceWanted(flags)) return;
    TraceLine line;
    lineStart(&line, "OUT  ", hconn, flags, label);
    line.piece([&](char *b, size_t n) { return evTraceObjDesc(b, n, objDesc); });
    if (hobj != 0) line.piece([&](char *b, size_t n) { return evTraceHobj(b, n, hconn, hobj); });
    line.add("RC(%d) ", reason);
    line.write();
}

void evTraceCallbackIn(const char *label, MQHCONN hconn, uint32_t flags, const MQCBC *context) {
    if (!evTraceWanted(flags)) return;
    TraceLine line;
    lineStart(&line, "CIN  ", hconn, flags, label);
    if (context) {
        if (context->Hobj != 0)
            line.piece([&](char *b, size_t n) { return evTraceHobj(b, n, hconn, context->Hobj); });
        const char *word = callTypeWord(context->CallType);
        if (word)
            line.add("%s", word);
        else
            line.add("%5d ", context->CallType);
        line.add("RC(%d) ", context->Reason);
    }
    line.write();
}

void evTraceCallbackOut(const char *label, MQHCONN hconn, uint32_t flags) {
    if (!evTraceWanted(flags)) return;
    TraceLine line;
    lineStart(&line, "COUT ", hconn, flags, label);
    line.write();
}
