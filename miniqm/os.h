// miniqm's operating-system layer: sockets, files, processes and time for the server, the MQI
// libraries and the tool. This header, os.cpp (POSIX) and os_win.cpp (Windows) are the only place in
// miniqm/ that calls the operating system. On Windows only the client library is built, so only
// what it uses has a Windows side; the rest is declared for Linux alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmos {

// ---- sockets (stream sockets only; every call returns -1 or false on failure, errno kept) ----
// On Windows a descriptor is a Winsock socket or a file handle, either as an int.
int connectUnix(const std::string &path);
int connectTcp(const std::string &host, int port);      // host name or dotted address
bool sendAll(int fd, const void *data, size_t length);  // never raises SIGPIPE
bool recvAll(int fd, void *data, size_t length);        // false on end of stream or error
// The other end has closed (or the connection failed): an end of stream is waiting, found without
// reading or waiting.
bool peerClosed(int fd);
void shutdownFd(int fd);                         // wakes a thread blocked on fd (Linux)
void closeFd(int fd);                            // a socket or a file
long readFd(int fd, void *data, size_t length);  // read(2) retried on EINTR
#ifndef _WIN32
int listenUnix(const std::string &path);  // removes a stale socket file first
int listenTcp(int port, int *boundPort);  // 127.0.0.1; port 0 picks a free one
int acceptConn(int listenFd);             // -1 when the listener was shut down
// Waits until one of fds is readable; returns its index, or -1 on error.
int pollReadable(const std::vector<int> &fds);
bool makePipe(int fds[2]);
[[nodiscard]] bool writeFd(int fd, const void *data, size_t length);
int lastError();  // errno
std::string errorText(int err);
#endif

// ---- files ----
bool fileExists(const std::string &path);
bool readFile(const std::string &path, std::string &out);
std::vector<std::string> listDir(const std::string &path);  // names, without . and ..
int openRead(const std::string &path);
#ifndef _WIN32
// Writes to regular files (writeFd, writeFileAtomic) fail, as on a full disk, while the file that
// MINIQM_DISK_FULL names exists: part of the data is written, then the call fails with ENOSPC.
// A hook for tests of what the queue manager does when its journal cannot be written.
bool isDirectory(const std::string &path);
bool makeDirs(const std::string &path);  // mkdir -p, mode 0700
bool removeTree(const std::string &path);
// Writes a whole file through a temporary name and rename, synced when sync is true.
[[nodiscard]] bool writeFileAtomic(const std::string &path, const std::string &bytes, bool sync);
bool removeFile(const std::string &path);
int openAppend(const std::string &path);  // read-write, created 0600
[[nodiscard]] bool syncFd(int fd);        // fdatasync
[[nodiscard]] bool syncDir(const std::string &path);
[[nodiscard]] bool truncateFd(int fd, uint64_t length);
int64_t fileSize(int fd);
[[nodiscard]] bool seekEnd(int fd);
[[nodiscard]] bool renameFile(const std::string &from, const std::string &to);
// Takes an exclusive lock on a lock file; returns its fd (kept open) or -1 when held elsewhere.
int lockFile(const std::string &path);
#endif

// ---- processes ----
int currentPid();
int threadId();             // the calling thread's id, as the system numbers threads
std::string programName();  // base name of the running program
std::string userName();
std::string homeDir();                 // Windows: the user's profile folder
std::string getEnv(const char *name);  // empty when unset
#ifndef _WIN32
bool processAlive(int pid);
bool killProcess(int pid, bool hard);  // SIGKILL when hard, else SIGTERM
// Starts argv[0] detached (new session, stdin from /dev/null, stdout and stderr to logPath),
// keeping keepFd open in the child. Returns the pid of the detached server or -1.
int spawnDetached(const std::vector<std::string> &argv, const std::string &logPath, int keepFd);
// Starts argv[0] (a path) as a child in a process group of its own, with env as its whole
// environment, no signal blocked or ignored, stdin from /dev/null, stdout and stderr appended to
// the files named (/dev/null for an empty name) and no other descriptor of ours. Returns its pid,
// or -1 when the program cannot be run (why in error).
int spawnChild(const std::vector<std::string> &argv, const std::vector<std::string> &env,
               const std::string &outPath, const std::string &errPath, std::string &error);
// Whether a child started here has ended (and is reaped); never waits.
bool childEnded(int pid);
std::vector<std::string> environment();  // this process's, as NAME=VALUE
// Makes path a symbolic link to target, replacing what was there.
bool makeSymlink(const std::string &target, const std::string &path);
std::string selfExecutable();  // /proc/self/exe
// Users and groups from the machine's user and group databases. peerUser: the user of the
// process at the other end of a Unix socket, from the kernel (empty when unknown). userGroups: the
// names of a user's groups, its primary one included (none for a name the machine does not know).
std::string peerUser(int fd);
std::vector<std::string> userGroups(const std::string &user);
std::string fileOwner(const std::string &path);  // the user owning a file; empty when unknown
void ignoreSigpipe();
// Blocks SIGTERM and SIGINT in the calling thread (and threads it starts later) and returns once
// one arrives; for a dedicated signal thread.
void blockStopSignals();
int waitStopSignal();
void sleepMs(int ms);

// ---- time ----
int64_t wallMs();  // milliseconds since 1970 (UTC)
// MQ date and time texts for a wall-clock instant in UTC: "YYYYMMDD" and "HHMMSSTH".
void mqDateTime(int64_t ms, char date[8], char time[8]);
// "YYYY-MM-DD" and "HH.MM.SS" in local time, as MQSC shows creation and alteration times.
void mqscDateTime(int64_t ms, std::string &date, std::string &time);
// The same texts in UTC, as statistics and accounting messages give their interval times.
void utcDateTime(int64_t ms, std::string &date, std::string &time);
std::string hostName();
#endif

}  // namespace qmos
