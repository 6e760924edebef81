// Platform services: the layer under every other subsystem, and the only place that calls the
// operating system. Other subsystems include this header and nothing of the OS.
#pragma once

#include <cstdio>

#include "platform/cs.h"      // locks, counted heap, AVL trees, pooled areas, trap and trace, command lines,
                              // intervals, the clock and the shared state of the process
#include "platform/dynlib.h"  // loading shared libraries and finding their exported names
#include "platform/output.h"  // console output and status line, debug letters, worker pool, log files
#include "platform/scan.h"    // tokenisers, wildcard, hex, MQ date and time texts, time slots, FROM/TO times

// ---------------------------------------------------------------------------------------------
// Local calendar time (localtime.cpp): the only place outside the log and the clock that breaks a
// time down in the local zone, so that every text of a local date and time agrees with TZ.

struct EvLocalTime {
    int32_t year;      // 1970, ...
    int32_t month;     // 1 to 12
    int32_t day;       // 1 to 31
    int32_t hour;      // 0 to 23
    int32_t minute;    // 0 to 59
    int32_t second;    // 0 to 60
    int32_t weekday;   // 0 Sunday to 6 Saturday
    int32_t yearDay;   // 0 to 365
    int32_t daylight;  // 1 while daylight time is in force
    int32_t offset;    // minutes east of UTC, daylight included
};

// The local calendar fields of a time (seconds since 1970). 1, or 0 (fields zeroed) when the time
// has no calendar date.
int evLocalTimeFields(int64_t time, EvLocalTime *fields);

// The way back: the time (seconds since 1970) of local calendar fields (year, month, day, hour,
// minute, second; the rest ignored), daylight saving settled by the C library as mktime does. 1, or 0
// when the fields name no time.
int evLocalFieldsToTime(const EvLocalTime *fields, int64_t *time);

// Room for the C run-time's date-and-time text and its NUL.
inline constexpr size_t EV_DATE_TIME_TEXT = 25;
// The C run-time's 24-character local date-and-time text of a time, "Mon Dec  7 05:53:39 2026"
// (asctime's form without its newline; a year of more than four digits is cut off at 24). 1, or 0
// (text empty) when the time has no calendar date.
int evLocalDateTimeText(int64_t time, char text[EV_DATE_TIME_TEXT]);

// ---------------------------------------------------------------------------------------------
// Random-access files (file.cpp): the record files of the client channel tables. Every file call
// goes through one replaceable table, as the clock does, so that tests and fuzz targets can run
// the callers on a file in memory. Results are 0 or the OS error code (an errno value).

using CSFileHandle = int64_t;

// Channel-table paths: the folder separator, and the characters that make a name a path rather
// than a bare file name (on Windows a drive letter's ':' too).
#ifdef _WIN32
inline constexpr char CS_PATH_SEPARATOR = '\\';
inline constexpr char CS_PATH_MARKS[] = "\\:";
#else
inline constexpr char CS_PATH_SEPARATOR = '/';
inline constexpr char CS_PATH_MARKS[] = "/";
#endif

struct CSFileOps {
    // Read and write, created when missing; *created is 1 when this call made the file. Writes go
    // through to the device before they return.
    int (*openUpdate)(const char *path, CSFileHandle *file, int *created);
    int (*openRead)(const char *path, CSFileHandle *file);  // an existing file, read only
    // Up to length bytes at offset; *got is less than length only when the file ended first.
    int (*readAt)(CSFileHandle file, uint64_t offset, void *buffer, size_t length, size_t *got);
    int (*writeAt)(CSFileHandle file, uint64_t offset, const void *buffer, size_t length);  // all or error
    int (*size)(CSFileHandle file, uint64_t *size);
    int (*close)(CSFileHandle file);
    int (*remove)(const char *path);
};
extern const CSFileOps CSRealFileOps;                 // the operating system's files
const CSFileOps *CSSetFileOps(const CSFileOps *ops);  // installs (null: real); returns previous
const CSFileOps *CSGetFileOps();                      // the table installed now

// ---------------------------------------------------------------------------------------------
// Output files of the record emitters (emitfile.cpp): text written front to back. A file is only
// ever made new: the create fails with EEXIST when the name exists, so no file is appended to or
// overwritten, also not one another process made a moment before. Results are 0 or an errno value.
// The table is replaceable, as CSFileOps is, so that tests can fail a write or race a create.

using CSOutFile = std::FILE;

struct CSOutFileOps {
    int (*create)(const char *path, CSOutFile **file);  // new and empty, for writing (fopen "wbx")
    int (*write)(CSOutFile *file, const void *data, size_t length);  // all of it, or an error
    int (*flush)(CSOutFile *file);
    int (*close)(CSOutFile *file);  // also after a failed write
};
extern const CSOutFileOps CSRealOutFileOps;
const CSOutFileOps *CSSetOutFileOps(const CSOutFileOps *ops);  // installs (null: real); returns previous

int CSOutFileCreate(const char *path, CSOutFile **file);
int CSOutFileWrite(CSOutFile *file, const void *data, size_t length);
int CSOutFileFlush(CSOutFile *file);
int CSOutFileClose(CSOutFile *file);
// ENOENT when the open file no longer has a name (it, or its folder, was removed), else 0 or an errno.
int CSOutFileLinked(CSOutFile *file);
// The length of the open file.
int CSOutFileSize(CSOutFile *file, uint64_t *size);
// Cuts the open file back to length; the next write goes on from there.
int CSOutFileCut(CSOutFile *file, uint64_t length);
// Which file a name or an open file is, whatever its name: its device and its number there (Windows:
// the volume's serial number and the file index), and what tells it from a file given the same number
// after it is gone: its birth time in nanoseconds (Windows: its creation time), or where the file
// system keeps none the number's generation, or CS_BIRTH_IN_NUMBER (birth 0) where the number itself
// carries its generation (Windows on NTFS); birthKind CS_BIRTH_NONE when it gives none of these. Equal
// for the same file only, so long as birthKind is not CS_BIRTH_NONE.
inline constexpr uint32_t CS_BIRTH_NONE = 0;
inline constexpr uint32_t CS_BIRTH_TIME = 1;
inline constexpr uint32_t CS_BIRTH_GENERATION = 2;
inline constexpr uint32_t CS_BIRTH_IN_NUMBER = 3;
struct CSFileIdentity {
    uint64_t device;
    uint64_t number;
    uint32_t birthKind;
    uint64_t birth;
};
inline bool operator==(const CSFileIdentity &a, const CSFileIdentity &b) {
    return a.device == b.device && a.number == b.number && a.birthKind == b.birthKind && a.birth == b.birth;
}
// The result of a cut or remove that found another file under the name than the one expected.
inline constexpr int CS_OTHER_FILE = 10001;
int CSOutFileIdentity(CSOutFile *file, CSFileIdentity *identity);
// The length and identity of the regular file a name has now (ENOENT: none; CS_OTHER_FILE: the name
// is a link, not a regular file, or one of several names of its file). Never through a link.
int CSOutFileNameState(const char *path, uint64_t *size, CSFileIdentity *identity);
// Cuts the expected file back to length and writes tail after it, never through a link: a name that
// is a link (also a hard one), or another file than the expected one, gives CS_OTHER_FILE; a file shorter
// than length is left as it is: ERANGE. Written through and closed.
int CSOutFileCutPath(const char *path, uint64_t length, const void *tail, size_t tailLength,
                     const CSFileIdentity &expected);
int CSOutFileRemove(const char *path);
// 0 when a file of that name exists, ENOENT when none does, else an errno value.
int CSOutFileExists(const char *path);
// A text file the console copies its lines to: truncated, or appended to with append 1, and not
// inherited by programs the process starts. 0 or an errno value. Written and closed as above.
int CSOutFileOpen(const char *path, int append, CSOutFile **file);

// ---------------------------------------------------------------------------------------------
// The process (process.cpp).

// The folder of the program's own file (/proc/self/exe) without a trailing '/': 1, or 0 with out
// empty when it cannot be had or does not fit in size bytes.
int evProgramFolder(char *out, size_t size);
// The current folder: 1, or 0 with out empty.
int evCurrentFolder(char *out, size_t size);
// The user name of the process (its effective user), read once; "" when it cannot be had.
const char *evProcessUserName();
// The computer's name (the host name): 1, or 0 with out empty when it cannot be had or does not fit.
int evComputerName(char *out, size_t size);
// IBM MQ's data folder, where its client looks for the default channel table: /var/mqm; on Windows
// the installation's "WorkPath" under HKEY_LOCAL_MACHINE "SOFTWARE\\IBM\\WebSphere MQ", else its
// "FilePath" under "SOFTWARE\\IBM\\MQSeries\\CurrentVersion" (both in the registry's 32-bit view),
// else "c:\\mqm". 1, or 0 with out empty when it does not fit in size bytes.
int CSMqDataPath(char *out, size_t size);
// SIGTERM, SIGINT and SIGHUP set evEndFlag (the orderly end a service manager, Ctrl-C or a closed
// terminal asks for; on Windows the console's Ctrl-C, Ctrl-Break, close and shutdown notices);
// SIGPIPE and SIGXFSZ are ignored, so that such a write fails with EPIPE or EFBIG.
void evHandleTermination();
// Ends the process at once, as kill -9 from outside would: no handler, no flush, no clean-up
// (Windows: terminated with exit code 137).
[[noreturn]] void evKillProcess();

// A command line run through the command interpreter (/bin/sh -c; Windows: ComSpec /c), waited
// for. The command's exit status is not looked at: CS_SHELL_RAN once it ran, CS_SHELL_FAILED (*error
// the errno) when it could not be started, CS_SHELL_NO_INTERPRETER when there is no interpreter.
// stop(context), when given, is asked every few milliseconds while the command runs; once it
// answers non-zero the wait ends: the command is sent SIGTERM and given two seconds
// (CS_SHELL_ENDED once it ended), else left running (CS_SHELL_LEFT, *process its process id; on
// Windows a running command is always left).
inline constexpr int CS_SHELL_RAN = 1;
inline constexpr int CS_SHELL_FAILED = 0;
inline constexpr int CS_SHELL_NO_INTERPRETER = -1;
inline constexpr int CS_SHELL_ENDED = 2;
inline constexpr int CS_SHELL_LEFT = 3;
int CSRunShell(const char *command, int *error, int (*stop)(void *), void *context, int *process);

// ---------------------------------------------------------------------------------------------
// Threads and events (thread.cpp). An event is auto-reset: one set releases one wait (or the next
// wait when none is waiting). Its waits keep to the clock's table: under a test clock a wait times
// out when the test has moved the clock past its time-out.

struct CSThread;
struct CSEvent;

// Starts body(argument) on a thread of its own. With handle null the thread is detached; else
// *handle is for CSJoinThread. 1, or 0 (errno says why) when the thread cannot be started.
[[nodiscard]] int CSStartThread(void (*body)(void *argument), void *argument, CSThread **handle);
// Waits (real time; CS_INFINITE: without limit) for the thread's end and frees the handle: 1 when
// it ended, 0 when it still runs (it is then detached and ends on its own).
int CSJoinThread(CSThread *handle, uint32_t timeoutMs);

// A new event, not set; null when storage is short.
[[nodiscard]] CSEvent *CSCreateEvent();
void CSSetEvent(CSEvent *event);
// CS_WAIT_OBJECT_0 when the event was set (it is reset again), CS_WAIT_TIMEOUT (258) when the time
// passed first. CS_INFINITE waits without limit.
uint32_t CSWaitEvent(CSEvent *event, uint32_t timeoutMs);
void CSCloseEvent(CSEvent *event);

// ---------------------------------------------------------------------------------------------
// TCP sockets (net.cpp), IPv4 only. Results are 0 or the OS error code (an errno value).

using CSSocket = int64_t;
inline constexpr CSSocket CS_NO_SOCKET = -1;

// The IPv4 address of a dotted address or host name, in network order. 0, or the resolver's
// failure (not an errno value: only its being non-zero counts).
int CSResolveHost(const char *host, uint32_t *address);
// A new TCP socket in blocking mode; CS_NO_SOCKET on failure.
int CSSocketOpen(CSSocket *socket);
int CSSocketSetBlocking(CSSocket socket);
int CSSocketSetNoDelay(CSSocket socket);
int CSSocketSetRecvTimeout(CSSocket socket, uint32_t timeoutMs);
// Connects to address (network order) and port; an interrupted connect is retried.
int CSSocketConnect(CSSocket socket, uint32_t address, uint16_t port);
// Sends every byte; a closed peer is an error, never a signal.
int CSSocketSend(CSSocket socket, const void *bytes, size_t length);
// Up to length bytes; *got 0 when the peer closed. A receive time-out is EAGAIN.
int CSSocketRecv(CSSocket socket, void *buffer, size_t length, size_t *got);
void CSSocketClose(CSSocket socket);

// ---------------------------------------------------------------------------------------------
// Script files and the caller's stack (stream.cpp).

// fopen with the C library's mode text, the stream opened close-on-exec so that no command the
// program starts inherits it -> the stream, or null with errno set.
[[nodiscard]] std::FILE *CSOpenStream(const char *path, const char *mode);
// The device and inode of an open stream, which tell one file from another whatever path reached
// it -> 1, or 0 (both 0) when the stream cannot be examined.
int CSStreamIdentity(std::FILE *stream, uint64_t *device, uint64_t *inode);
// Bytes of the calling thread's stack that lie below the caller's frame; SIZE_MAX when the
// thread's stack bounds cannot be had.
size_t CSStackLeft();
