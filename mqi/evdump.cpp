// Debugging dumps of PCF messages: a header line with the command and reason named by the constant
// tables, then (debug letter d) one line per parameter. Dumps run under the structure lock so that
// the lines of two dumps never interleave.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "mqi/mqi.h"

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

void evDumpLine(const char *line, int32_t length) { gSink(line, length); }

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
