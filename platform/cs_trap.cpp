// Internal errors and the layer's own function trace. A trap writes one line to the trap file
// and calls the break hook; the trace writes indented per-thread lines while a stream is set.
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

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

namespace {

#ifdef _WIN32
constexpr int kTrapOpen = O_WRONLY | O_CREAT | O_EXCL | O_NOINHERIT;  // text mode: CR LF line ends
#else
// A link in the name's place is never followed (O_EXCL alone already refuses one).
constexpr int kTrapOpen = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
#endif
constexpr int kTrapNames = 1000;  // cstrap.txt, then cstrap.1.txt to cstrap.999.txt

std::mutex trapLock;
std::string trapFolder;    // guarded by trapLock; empty: $TMPDIR (else /tmp), c:\temp on Windows
std::string lastTrapFile;  // guarded by trapLock

std::string folderOfTraps() {
    if (!trapFolder.empty()) return trapFolder;
#ifdef _WIN32
    return "c:\\temp";
#else
    const char *dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
#endif
}

// Writes the line to a new file of the trap folder: the first free name, created exclusively, so
// that no file of another (a planted link among them) is followed or overwritten.
void writeTrapFile(const char *text) {
    std::lock_guard<std::mutex> guard(trapLock);
    const std::string folder = folderOfTraps();
    for (int n = 0; n < kTrapNames; n++) {
        std::string path =
            folder + '/' + (n == 0 ? std::string("cstrap.txt") : "cstrap." + std::to_string(n) + ".txt");
        const int fd = ::open(path.c_str(), kTrapOpen, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return;  // no folder, no room: the hook still gets the line
        }
        const std::string line = std::string(text) + "\n";
        const auto wrote = ::write(fd, line.data(), static_cast<unsigned>(line.size()));
        const bool written = wrote >= 0 && static_cast<size_t>(wrote) == line.size();
        if (::close(fd) == 0 && written) lastTrapFile = path;
        return;
    }
}

}  // namespace

void CSSetTrapFolder(const char *folder) {
    std::lock_guard<std::mutex> guard(trapLock);
    trapFolder = folder != nullptr ? folder : "";
}

std::string CSTrapPath() {
    std::lock_guard<std::mutex> guard(trapLock);
    return lastTrapFile;
}

void CSTrap(const char *sourceFile, const char *buildStamp, uint32_t line, int32_t value) {
    const char *name = sourceFile ? sourceFile : "";
    for (const char *p = name; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    char text[600];
    std::snprintf(text, sizeof text, "cstrap line %u file %s (%s) value %d", line, name,
                  buildStamp ? buildStamp : "", value);
    // Unlike the documented trap (one fixed file in the temporary folder, replaced each time), each
    // trap gets a file of its own in the program's log folder, created exclusively: a fixed name in a
    // folder every user writes to would follow a link planted there and overwrite its target.
    writeTrapFile(text);
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
