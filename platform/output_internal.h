// Links between the console, status-line and log files of the platform layer; not for use
// outside platform/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The installed console sink (stream 1 standard output, 2 standard error).
void evConsoleWrite(int32_t stream, const char *bytes, size_t length);
void evConsoleFlush(int32_t stream);
int32_t evConsoleIsTerminal(int32_t stream);

// Characters of the status line now on screen; 0 when none. Log and console lock.
extern std::atomic<uint64_t> evStatusShown;

// The C run-time's 24-character calendar text of a time in local time, with its newline and
// NUL ("Mon Dec  7 05:53:39 2026\n").
void evCalendarText(int64_t time, char out[32]);
