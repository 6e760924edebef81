// Internal errors and the layer's own function trace. A trap writes one line to the trap file
// and calls the break hook; the trace writes indented per-thread lines while a stream is set.
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/cs.h"

namespace {

// Stops in an attached debugger; without one the caller goes on (a trap never ends the process).
void defaultTrapHook(const char * /*trapLine*/) {
#ifdef _WIN32
    if (IsDebuggerPresent()) DebugBreak();
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            if (std::strtol(line.c_str() + 10, nullptr, 10) != 0) raise(SIGTRAP);
            return;
        }
    }
#endif
}

std::atomic<CSTrapHook> trapHook{defaultTrapHook};

}  // namespace

std::string CSTrapPath() {
#ifdef _WIN32
    return "c:\\temp\\cstrap.txt";
#else
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/cstrap.txt";
#endif
}

void CSTrap(const char *sourceFile, const char *buildStamp, uint32_t line, int32_t value) {
    const char *name = sourceFile ? sourceFile : "";
    for (const char *p = name; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    char text[600];
    std::snprintf(text, sizeof text, "cstrap line %u file %s (%s) value %d", line, name,
                  buildStamp ? buildStamp : "", value);
    if (std::FILE *file = std::fopen(CSTrapPath().c_str(), "w")) {
        std::fprintf(file, "%s\n", text);
        std::fclose(file);
    }
    trapHook.load()(text);
}

CSTrapHook CSSetTrapHook(CSTrapHook hook) {
    return trapHook.exchange(hook ? hook : defaultTrapHook);
}

// ---------------------------------------------------------------------------------------------
// Trace

namespace {

constexpr int kTraceSlots = 80;

std::atomic<std::FILE *> traceStream{nullptr};
constinit CSRecursiveLock traceLock{"trace"};
// Guarded by traceLock.
CSTraceSlot slots[kTraceSlots];
CSTraceSlot spareSlot;

}  // namespace

void CSTraceSetStream(std::FILE *stream) {
    traceStream.store(stream);
}

bool CSTraceOn() {
    return traceStream.load(std::memory_order_relaxed) != nullptr;
}

CSTraceSlot *CSTraceIndent(int32_t depthChange, int print) {
    CSLockRecursive(&traceLock);
    uint32_t self = csThreadId();
    CSTraceSlot *slot = nullptr;
    for (auto &s : slots)
        if (s.used && s.threadId == self) {
            slot = &s;
            break;
        }
    if (!slot)
        for (auto &s : slots)
            if (!s.used) {
                s.used = 1;
                s.threadId = self;
                s.depth = 0;
                slot = &s;
                break;
            }
    if (!slot) slot = &spareSlot;
    slot->depth += depthChange;
    std::FILE *stream = traceStream.load();
    if (print && stream) {
        std::fprintf(stream, "TID(%5u):", self);
        for (int32_t i = 0; i < slot->depth + 1; i++) std::fputc(' ', stream);
    }
    return slot;
}

void CSTraceRelease() {
    CSUnlockRecursive(&traceLock);
}

void CSTrace(int prefix, const char *format, ...) {
    std::FILE *stream = traceStream.load();
    if (!stream) return;
    if (prefix)
        CSTraceIndent(0, 1);
    else
        CSLockRecursive(&traceLock);
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
    CSTraceRelease();
}

void CSTraceDump(const char *title, const void *bytes, size_t length) {
    std::FILE *stream = traceStream.load();
    if (!stream) return;
    const auto *data = static_cast<const unsigned char *>(bytes);
    CSLockRecursive(&traceLock);
    std::fprintf(stream, "%s (%zu bytes)\n", title ? title : "", length);
    for (size_t offset = 0; offset < length; offset += 16) {
        char line[128];
        int n = std::snprintf(line, sizeof line, "%08zX ", offset);
        for (size_t i = 0; i < 16; i++) {
            if (offset + i < length)
                n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X", data[offset + i]);
            else
                n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "  ");
            if (i % 4 == 3) line[n++] = ' ';
        }
        for (size_t i = 0; i < 16 && offset + i < length; i++) {
            unsigned char c = data[offset + i];
            line[n++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        line[n] = '\0';
        std::fprintf(stream, "%s\n", line);
    }
    std::fflush(stream);
    CSTraceRelease();
}
