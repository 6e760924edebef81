// Debugging dumps of PCF messages: a header line with the command and reason named by the constant
// tables, then (debug letter d) one line per parameter. Dumps run under the structure lock so that
// the lines of two dumps never interleave.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "mqi/mqi.h"
#include "platform/platform.h"

namespace {

void outputLine(const char *text, int32_t length) {
    evOutput(EV_OUT_INFO, text, length, 1);
}

evDumpSink gSink = outputLine;

// One dump line: the text is built with printf formats and handed to the sink without its final
// newline (the console adds one).
class DumpLine {
public:
    void add(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        char buf[1024];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(buf, sizeof buf, format, args);
        va_end(args);
        if (n > 0)
            text_.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
    }
    void addBytes(const char *bytes, size_t n) { text_.append(bytes, n); }
    void flush() {
        if (!text_.empty() && text_.back() == '\n') text_.pop_back();
        gSink(text_.c_str(), static_cast<int32_t>(text_.size()));
        text_.clear();
    }

private:
    std::string text_;
};

// The name of a parameter: its symbol in the parameter table, else its number.
std::string parmName(int32_t id) {
    const evConstEntry *row = evAttrByValue(id);
    return row && row->symbol[0] ? std::string(row->symbol) : std::to_string(id);
}

void commandAndReason(DumpLine &line, int32_t command, int32_t reason) {
    const char *name = evCommandName(command);
    if (name[0])
        line.add(" Command:'%s'", name);
    else
        line.add(" Command:%d", command);
    const char *text = evReasonText(reason);
    if (text[0])
        line.add(" Reason:'%s'", text);
    else
        line.add(" Reason:%d", reason);
}

}  // namespace

evDumpSink evSetDumpSink(evDumpSink sink) {
    evDumpSink previous = gSink;
    gSink = sink ? sink : outputLine;
    return previous;
}

void evDumpLine(const char *line, int32_t length) {
    gSink(line, length);
}

void DumpPCF(uint8_t *message, int32_t length) {
    CSRecursiveGuard guard(gStructureLock);
    DumpLine line;
    if (!message || length < MQCFH_STRUC_LENGTH) {
        line.add("DumpPCF failed %d %s\n", MQRC_STORAGE_NOT_AVAILABLE,
                 evReasonText(MQRC_STORAGE_NOT_AVAILABLE));
        line.flush();
        return;
    }
    line.add("\nPCF %s Length: %d", "Source", length);
    commandAndReason(line, mqiGetI32(message, 12), mqiGetI32(message, 28));
    line.add(" Parms:%d\n", mqiGetI32(message, 32));
    line.flush();
    if (!(evDebugFlags.load() & EV_DBG_d)) return;

    PcfCursor cursor;
    MQPCFInitParser(&cursor, message, length, 0);
    int32_t reason = 0;
    for (;;) {
        int32_t type = 0, id = 0, len = 0, count = 0, cc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &len, &count, &cc, &reason);
        if (cc == MQCC_FAILED) break;
        const auto *bytes = static_cast<const uint8_t *>(value);
        std::string name = parmName(id);
        switch (type) {
            case MQCFT_INTEGER:
                line.add("%-30s %d\n", name.c_str(), mqiGetI32(bytes, 0));
                break;
            case MQCFT_STRING:
                line.add("%-30s %.*s\n", name.c_str(), len, reinterpret_cast<const char *>(bytes));
                break;
            case MQCFT_INTEGER_LIST:
                line.add("%-30s ", name.c_str());
                for (int32_t i = 0; i < count; ++i)
                    line.add(i ? ",%d" : "%d", mqiGetI32(bytes, static_cast<size_t>(i) * 4));
                line.add("\n");
                break;
            case MQCFT_STRING_LIST:
                line.add("%-30s '", name.c_str());
                line.addBytes(reinterpret_cast<const char *>(bytes), static_cast<size_t>(len));
                line.add("'\n");
                break;
            case MQCFT_BYTE_STRING:
                line.add("%-30s Not done bytes yet!\n", name.c_str());
                break;
            case MQCFT_INTEGER64:
                line.add("%-30s %" PRId64 "\n", name.c_str(), mqiGetI64(bytes, 0));
                break;
            case MQCFT_GROUP:
                line.add("*** Group *** %-30s\n", name.c_str());
                break;
            case PCF_TYPE_GROUP_END:
                line.add("*** Group End ***\n");
                break;
            default:
                reason = MQRCCF_CFH_TYPE_ERROR;
                break;
        }
        if (reason == MQRCCF_CFH_TYPE_ERROR) break;
        line.flush();
    }
    if (reason != PCF_END_OF_MESSAGE) {
        line.add("Parameters failed %d %s\n", reason, evReasonText(reason));
        line.flush();
    }
}

// ---- Dump of a compressed record ----

namespace {

// The asctime form of a timestamp in local time ("Www Mmm _d hh:mm:ss yyyy"), false when the time
// has no calendar date.
bool calendarText(int64_t timestamp, char *out, size_t room) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char date[10], time[8];
    evNowDateTime(&timestamp, date, time);
    int y = 0, m = 0, d = 0;
    for (int i = 0; i < 4; ++i) y = y * 10 + (date[i] - '0');
    m = (date[5] - '0') * 10 + (date[6] - '0');
    d = (date[8] - '0') * 10 + (date[9] - '0');
    if (m < 1 || m > 12 || d < 1) return false;
    // Day of the week from the civil date (days since 1970-01-01, a Thursday).
    EvCivilTime midnight{y, m, d, 0, 0, 0};
    int64_t seconds = 0;
    if (!evCivilToTime(&midnight, 0, &seconds)) return false;
    int64_t days = seconds / 86400;                         // whole days: midnight UTC
    int weekday = static_cast<int>(((days % 7) + 11) % 7);  // 0 Sunday
    std::snprintf(out, room, "%s %s %2d %.2s:%.2s:%.2s %d", kDays[weekday], kMonths[m - 1], d, time, time + 3,
                  time + 6, y);
    return true;
}

}  // namespace

void evDumpPCF(const EvStringPool * /*pool: strings are shown by their ids*/, const char *label,
               uint32_t options, const uint8_t *record, size_t length) {
    CSRecursiveGuard guard(gStructureLock);
    DumpLine line;
    if (!record || length < EVCF_HEADER_LENGTH) {
        line.add("evDumpPCF failed %d %s\n", MQRC_STORAGE_NOT_AVAILABLE,
                 evReasonText(MQRC_STORAGE_NOT_AVAILABLE));
        line.flush();
        return;
    }
    line.add("\nPCF %s Length: %d", label ? label : "", static_cast<int32_t>(length));
    commandAndReason(line, evCFGetCommand(record), static_cast<int32_t>(evCFGetReason(record)));
    line.add(" Object:%d Parms:%d\n", static_cast<int32_t>(evCFGetObjectName(record)),
             evCFGetItemCount(record));
    line.flush();
    if (!(evDebugFlags.load() & EV_DBG_d) && !(options & EV_DUMP_PARMS)) return;

    evCFCursor c;
    evCFCursorInit(&c, nullptr, record, static_cast<uint32_t>(length), 0, 0);
    int32_t reason = 0;
    for (;;) {
        evCFItem it;
        int32_t cc = 0;
        evCFNextParm(&c, &it, &cc, &reason);
        if (cc != MQCC_OK) break;
        // Unset and mixed integers read back as integers: the lead byte tells them apart.
        int32_t type = it.type;
        bool isEnd = type == PCF_TYPE_GROUP_END;
        uint8_t lead = isEnd || !c.currentItem ? 0 : c.currentItem[0];
        if (lead >= EVCF_LEAD_INT_UNSET && lead <= EVCF_LEAD_INT64_MIXED) type = lead;
        if (options & EV_DUMP_ADDRESS)
            line.add("@%p (+%6d) ",
                     isEnd ? static_cast<const void *>(record + c.position)
                           : static_cast<const void *>(c.currentItem),
                     static_cast<int32_t>(isEnd ? c.position : c.currentItem - record));
        if (options & EV_DUMP_TYPE) line.add("Type(%3d) ", type);
        std::string name = parmName(it.parmId);
        const auto *data = static_cast<const uint8_t *>(it.data);
        switch (type) {
            case MQCFT_INTEGER:
                line.add("%-30s %d\n", name.c_str(), static_cast<int32_t>(it.value));
                break;
            case MQCFT_STRING:
                line.add("%-30s %.*s\n", name.c_str(), it.length, static_cast<const char *>(it.data));
                break;
            case MQCFT_INTEGER_LIST:
                line.add("%-30s ", name.c_str());
                for (int32_t i = 0; i < it.count; ++i)
                    line.add(i ? ",%d" : "%d", mqiGetI32(data, static_cast<size_t>(i) * 4));
                line.add("\n");
                break;
            case MQCFT_BYTE_STRING:
                line.add("%-30s Not done bytes yet!\n", name.c_str());
                break;
            case MQCFT_INTEGER64:
                line.add("%-30s %" PRId64 "\n", name.c_str(), it.value);
                break;
            case MQCFT_GROUP:
                line.add("*** Group *** %-30s Parms:%d\n", name.c_str(), it.count);
                break;
            case PCF_TYPE_GROUP_END:
                line.add("*** Group End ***\n");
                break;
            case EVCF_INT_UNSET:
                line.add("<Integer No Value>\n");
                break;
            case EVCF_INT_MIXED:
                line.add("<Integer Multiple Values>\n");
                break;
            case EVCF_INT64_UNSET:
                line.add("<Int64 No Value>\n");
                break;
            case EVCF_INT64_MIXED:
                line.add("<Int64 Multiple Values>\n");
                break;
            case EVCF_STRING_MIXED:
                line.add("<String Multiple Values>\n");
                break;
            case EVCF_DATE_TIME: {
                char when[64];
                if (calendarText(it.value, when, sizeof when))
                    line.add("%-30s %s\n", name.c_str(), when);
                else
                    line.add("%-30s Invalid Time\n", name.c_str());
                break;
            }
            case EVCF_STRING_ID:
                line.add("%-30s String Id: %d\n", name.c_str(), static_cast<int32_t>(it.value));
                break;
            case EVCF_STRING_ID_LIST:
                line.add("%-30s Ids ", name.c_str());
                for (int32_t i = 0; i < it.count; ++i)
                    line.add(i ? ",%u" : "%u", mqiGetU32(data, static_cast<size_t>(i) * 4));
                line.add("\n");
                break;
            default:
                reason = MQRCCF_CFH_TYPE_ERROR;
                break;
        }
        if (reason == MQRCCF_CFH_TYPE_ERROR) break;
        line.flush();
    }
    if (reason != PCF_END_OF_MESSAGE) {
        line.add("Parameters failed %d %s\n", reason, evReasonText(reason));
        line.flush();
    }
}
