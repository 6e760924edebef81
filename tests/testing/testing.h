// Shared helpers for the tests of every subsystem: private temporary directories, a fixed time
// zone per test, and byte comparisons that explain themselves with a hex diff.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <cstdlib>
#include <ctime>
// timegm by arithmetic (the Windows run-time's _mkgmtime refuses years before 1970 and after 3000),
// and the run-time's forms of setenv and unsetenv. The fields are read, not normalised.
inline time_t timegm(struct tm *fields) {
    int64_t year = fields->tm_year + 1900 + fields->tm_mon / 12;
    int64_t month = fields->tm_mon % 12 + 1;
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + fields->tm_mday - 1;
    const int64_t days =
        era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
    return days * 86400 + fields->tm_hour * 3600 + fields->tm_min * 60 + fields->tm_sec;
}
inline int setenv(const char *name, const char *value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char *name) {
    return _putenv_s(name, "");
}
#endif

namespace zt {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const;  // path + "/" + name
    void write(std::string_view name, std::string_view bytes) const;
    std::string read(std::string_view name) const;  // whole file; empty when missing
    // A text file the system wrote (the log), with "\n" line ends: on Windows each of its line ends
    // must be CR LF (a bare LF is a test failure) and is read back as "\n".
    std::string readText(std::string_view name) const;
    void writeText(std::string_view name,
                   std::string_view text) const;  // "\n" written as the system's line end
    bool exists(std::string_view name) const;
    std::vector<std::string> list() const;  // sorted names directly inside

private:
    std::string path_;
};

// Sets TZ for the life of the object and restores the previous value (or its absence). Zones are
// given in POSIX form ("CET-1CEST,M3.5.0,M10.5.0/3"): the Windows build has no zone database.
class ScopedTZ {
public:
    explicit ScopedTZ(const char *tz);
    ~ScopedTZ();
    ScopedTZ(const ScopedTZ &) = delete;
    ScopedTZ &operator=(const ScopedTZ &) = delete;

private:
    bool hadOld_;
    std::string old_;
};

// The seconds of a UTC date and time.
inline int64_t utc(int year, int month, int day, int hour, int minute, int second = 0) {
    struct tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return timegm(&fields);
}

// Sets an environment variable for the life of the object (null unsets it) and restores it.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    bool hadOld_;
    std::string old_;
};

// A settable clock installed as the platform's time table for the life of the object (one at a
// time). Its sleep advances it instead of waiting. set() and advanceMs() also tick the platform's
// cached clock (evClockNow); a sleep does not, as on the real clock, until the next evClockTick.
class TestClock {
public:
    explicit TestClock(int64_t startSeconds = 1767225600);  // 2026-01-01 00:00:00 UTC
    ~TestClock();
    TestClock(const TestClock &) = delete;
    TestClock &operator=(const TestClock &) = delete;

    void set(int64_t seconds);
    void advanceMs(int64_t ms);
    int64_t now() const;          // seconds
    int64_t nowMs() const;        // milliseconds
    uint64_t sleepCount() const;  // sleeps since construction
    uint64_t sleptMs() const;     // total milliseconds slept since construction

private:
    const void *previous_;
};

// Runs body(argument) on a new thread with about bytes of stack and waits for its end. Under wine no
// thread gets less than 1 MB: there the stack is used up first down to bytes.
void runOnStack(size_t bytes, void (*body)(void *argument), void *argument);

// Whether a program the process starts would inherit the stream's file (Linux: no FD_CLOEXEC;
// Windows: HANDLE_FLAG_INHERIT).
bool inheritable(std::FILE *stream);

// Readable hex dump of a byte range: offset, 16 hex pairs, printable characters.
std::string hexDump(const void *data, size_t length);

// Side-by-side hex lines of two byte ranges, marking every line that differs with '*'.
// Empty when the ranges are equal.
std::string hexDiff(const void *expected, size_t expectedLength, const void *actual, size_t actualLength);

// gtest assertion: byte-exact equality, failing with the hex diff.
::testing::AssertionResult bytesEqual(const void *expected, size_t expectedLength, const void *actual,
                                      size_t actualLength);
::testing::AssertionResult bytesEqual(std::string_view expected, std::string_view actual);

// Builds bytes from a readable hex text: "01 AB ff" or "01abff"; blanks and newlines ignored.
std::vector<uint8_t> fromHex(std::string_view hex);

}  // namespace zt

#define EXPECT_BYTES_EQ(expected, actual) EXPECT_TRUE(::zt::bytesEqual((expected), (actual)))
