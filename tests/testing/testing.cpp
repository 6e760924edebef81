// Implementation of the shared test helpers (POSIX; tests are not bound by the platform rule).
#include "testing/testing.h"

#include <atomic>

#include "platform/platform.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace zt {

namespace fs = std::filesystem;

#ifdef _WIN32
// Windows has no mkdtemp.
namespace {

char *mkdtemp(char *pattern) {
    size_t length = std::strlen(pattern);
    static std::random_device random;
    for (int attempt = 0; attempt < 100; attempt++) {
        char unique[8];
        std::snprintf(unique, sizeof unique, "%06X", static_cast<unsigned>(random() & 0xFFFFFF));
        std::memcpy(pattern + length - 6, unique, 6);
        std::error_code ec;
        if (fs::create_directory(pattern, ec)) return pattern;
    }
    return nullptr;
}

}  // namespace
#endif

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
#ifdef _WIN32
    // Under wine the queue-manager tests share their folders with a Linux queue manager, whose
    // Unix sockets in them allow short paths only: scripts/wine-test.sh names a folder for them
    // (wine's own programs read TMPDIR as a Unix path, so it cannot be that).
    if (const char *shared = std::getenv("ZUNT_WINE_TMPDIR"); shared && *shared) base = shared;
    std::string fallback = fs::temp_directory_path().string();
#else
    std::string fallback = "/tmp";
#endif
    std::string pattern = (base && *base ? std::string(base) : fallback) + "/zunt-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::file(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

void TempDir::write(std::string_view name, std::string_view bytes) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::read(std::string_view name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TempDir::readText(std::string_view name) const {
    std::string text = read(name);
#ifdef _WIN32
    std::string lines;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            ADD_FAILURE() << name << ": a line end without CR at " << i;
        lines += text[i];
    }
    text = lines;
#endif
    return text;
}

void TempDir::writeText(std::string_view name, std::string_view text) const {
    std::ofstream out(file(name), std::ios::trunc);  // text mode: CR LF on Windows
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool TempDir::exists(std::string_view name) const {
    return fs::exists(file(name));
}

std::vector<std::string> TempDir::list() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ScopedTZ::ScopedTZ(const char *tz) {
    const char *old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
}

ScopedTZ::~ScopedTZ() {
    if (hadOld_)
        setenv("TZ", old_.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = std::getenv(name);
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (hadOld_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

#ifdef _WIN32
namespace {

struct StackRun {
    size_t bytes;
    void (*body)(void *);
    void *argument;
};

// Left apart from the frame that uses the stack up, so that body's frames lie below the used part.
__attribute__((noinline)) void runBelow(StackRun *run) {
    size_t left = CSStackLeft();
    if (left != SIZE_MAX && left > run->bytes + 4096) {
        volatile char *used = static_cast<char *>(__builtin_alloca(left - run->bytes));
        used[0] = 0;
    }
    run->body(run->argument);
}

DWORD WINAPI stackThread(void *argument) {
    runBelow(static_cast<StackRun *>(argument));
    return 0;
}

}  // namespace
#endif

void runOnStack(size_t bytes, void (*body)(void *argument), void *argument) {
#ifdef _WIN32
    StackRun run{bytes, body, argument};
    // A reservation: otherwise Windows rounds the stack up to the program's default.
    HANDLE thread =
        CreateThread(nullptr, bytes, stackThread, &run, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#else
    struct Run {
        void (*body)(void *);
        void *argument;
    } run{body, argument};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
    pthread_t thread;
    auto start = [](void *r) -> void * {
        auto *self = static_cast<Run *>(r);
        self->body(self->argument);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, start, &run), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
#endif
}

bool inheritable(std::FILE *stream) {
#ifdef _WIN32
    DWORD flags = 0;
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
#else
    return (fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC) == 0;
#endif
}

namespace {

std::atomic<int64_t> fakeMs{0};
std::atomic<uint64_t> fakeSleeps{0};
std::atomic<uint64_t> fakeSlept{0};

int64_t fakeNow() {
    return fakeMs.load() / 1000;
}

void fakeSleepMs(uint32_t ms) {
    fakeSleeps.fetch_add(1);
    fakeSlept.fetch_add(ms);
    fakeMs.fetch_add(ms);
}

const evTimeFuncs fakeTime = {fakeNow, fakeSleepMs};

}  // namespace

TestClock::TestClock(int64_t startSeconds) {
    fakeMs.store(startSeconds * 1000);
    fakeSleeps.store(0);
    fakeSlept.store(0);
    previous_ = evSetTimeFuncs(&fakeTime);
    evClockTick();
}

TestClock::~TestClock() {
    evSetTimeFuncs(static_cast<const evTimeFuncs *>(previous_));
    evClockTick();
}

void TestClock::set(int64_t seconds) {
    fakeMs.store(seconds * 1000);
    evClockTick();
}

void TestClock::advanceMs(int64_t ms) {
    fakeMs.fetch_add(ms);
    evClockTick();
}

int64_t TestClock::now() const {
    return fakeMs.load() / 1000;
}
int64_t TestClock::nowMs() const {
    return fakeMs.load();
}
uint64_t TestClock::sleepCount() const {
    return fakeSleeps.load();
}
uint64_t TestClock::sleptMs() const {
    return fakeSlept.load();
}

namespace {

std::string hexLine(const uint8_t *bytes, size_t length, size_t offset) {
    char buffer[128];
    std::string line;
    std::snprintf(buffer, sizeof buffer, "%08zX ", offset);
    line += buffer;
    for (size_t i = 0; i < 16; i++) {
        if (offset + i < length) {
            std::snprintf(buffer, sizeof buffer, "%02X", bytes[offset + i]);
            line += buffer;
        } else {
            line += "  ";
        }
        if (i % 4 == 3) line += ' ';
    }
    for (size_t i = 0; i < 16 && offset + i < length; i++) {
        uint8_t c = bytes[offset + i];
        line += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    return line;
}

}  // namespace

std::string hexDump(const void *data, size_t length) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    std::string out;
    for (size_t offset = 0; offset < length; offset += 16) out += hexLine(bytes, length, offset) + "\n";
    return out;
}

std::string hexDiff(const void *expected, size_t expectedLength, const void *actual, size_t actualLength) {
    const auto *e = static_cast<const uint8_t *>(expected);
    const auto *a = static_cast<const uint8_t *>(actual);
    if (expectedLength == actualLength && (expectedLength == 0 || std::memcmp(e, a, expectedLength) == 0))
        return "";
    std::string out = "expected " + std::to_string(expectedLength) + " bytes, actual " +
                      std::to_string(actualLength) + " bytes ('*' marks differing lines)\n";
    size_t longest = std::max(expectedLength, actualLength);
    for (size_t offset = 0; offset < longest; offset += 16) {
        std::string left = offset < expectedLength ? hexLine(e, expectedLength, offset) : "";
        std::string right = offset < actualLength ? hexLine(a, actualLength, offset) : "";
        bool same = left == right;
        left.resize(62, ' ');
        out += (same ? "  " : "* ") + left + " | " + right + "\n";
    }
    return out;
}

::testing::AssertionResult bytesEqual(const void *expected, size_t expectedLength, const void *actual,
                                      size_t actualLength) {
    std::string diff = hexDiff(expected, expectedLength, actual, actualLength);
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "bytes differ\n" << diff;
}

::testing::AssertionResult bytesEqual(std::string_view expected, std::string_view actual) {
    return bytesEqual(expected.data(), expected.size(), actual.data(), actual.size());
}

std::vector<uint8_t> fromHex(std::string_view hex) {
    std::vector<uint8_t> bytes;
    int pending = -1;
    for (char c : hex) {
        int nibble;
        if (c >= '0' && c <= '9')
            nibble = c - '0';
        else if (c >= 'a' && c <= 'f')
            nibble = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            nibble = c - 'A' + 10;
        else if (c == ' ' || c == '\n' || c == '\t')
            continue;
        else
            throw std::invalid_argument("bad hex character");
        if (pending < 0) {
            pending = nibble;
        } else {
            bytes.push_back(static_cast<uint8_t>(pending * 16 + nibble));
            pending = -1;
        }
    }
    if (pending >= 0) throw std::invalid_argument("odd number of hex digits");
    return bytes;
}

}  // namespace zt
