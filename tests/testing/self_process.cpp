// The test program as a child of itself (self_process.h); the Windows side by CreateProcess.
#include "testing/self_process.h"

#include <cstdlib>
#include <cstring>
#include <optional>

#include "testing/testing.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zt {

namespace {
constexpr int kKilledExitCode = 137;  // 128 + SIGKILL, as a shell reports it
// The child's end of the report pipe (an fd, or on Windows an inherited handle's value), as the
// child finds it in its environment.
constexpr const char *kReportsVariable = "ZT_SELF_REPORTS";

long long reportEnd() {
    const char *end = std::getenv(kReportsVariable);
    return end && *end ? std::strtoll(end, nullptr, 10) : -1;
}
}  // namespace

#ifdef _WIN32

SelfProcess::SelfProcess(const std::string &test, bool reports) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return;
    // The write end inherited, under the same value in the child; the read end not. A child without
    // reports is not given this process's own end, if it has one.
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    std::optional<ScopedEnv> env;
    // The child runs its one test whichever shard of the tests this process runs.
    ScopedEnv noShard("GTEST_SHARD_INDEX", nullptr), noShards("GTEST_TOTAL_SHARDS", nullptr);
    if (reports) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        reports_ = reinterpret_cast<long long>(readEnd);
        env.emplace(kReportsVariable, std::to_string(reinterpret_cast<long long>(writeEnd)).c_str());
    } else {
        env.emplace(kReportsVariable, nullptr);
    }
    // Appended piece by piece: GCC 12 warns (-Wrestrict) of the one expression.
    std::string line = "\"";
    line.append(self, n);
    line += "\" --gtest_also_run_disabled_tests --gtest_filter=";
    line += test;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const bool made = CreateProcessA(self, line.data(), nullptr, nullptr, reports ? TRUE : FALSE, 0, nullptr,
                                     nullptr, &startup, &info);
    // Only the child holds the write end now: its end ends the pipe.
    if (writeEnd) CloseHandle(writeEnd);
    if (!made) return;
    CloseHandle(info.hThread);
    process_ = reinterpret_cast<long long>(info.hProcess);
}

SelfProcess::~SelfProcess() {
    if (started() && !ended_) kill();
    if (started()) CloseHandle(reinterpret_cast<HANDLE>(process_));
    if (reports_ != -1) CloseHandle(reinterpret_cast<HANDLE>(reports_));
}

long long SelfProcess::pid() const {
    return started() ? static_cast<long long>(GetProcessId(reinterpret_cast<HANDLE>(process_))) : -1;
}

void SelfProcess::readReports() {
    HANDLE pipe = reinterpret_cast<HANDLE>(reports_);
    DWORD available = 0;
    while (reports_ != -1 && PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[512];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) ||
            got == 0)
            break;
        pending_.append(buffer, got);
    }
}

bool reportToParent(const void *report, size_t size) {
    const long long end = reportEnd();
    DWORD written = 0;
    return end != -1 &&
           WriteFile(reinterpret_cast<HANDLE>(end), report, static_cast<DWORD>(size), &written, nullptr) &&
           written == size;
}

bool SelfProcess::wait(int ms) {
    if (!started() || ended_) return ended_;
    HANDLE process = reinterpret_cast<HANDLE>(process_);
    if (WaitForSingleObject(process, ms < 0 ? INFINITE : static_cast<DWORD>(ms)) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    status_ = static_cast<int>(code);
    ended_ = true;
    return true;
}

void SelfProcess::kill() {
    if (!started() || ended_) return;
    TerminateProcess(reinterpret_cast<HANDLE>(process_), kKilledExitCode);
    wait();
}

bool SelfProcess::killed() const {
    return ended_ && status_ == kKilledExitCode;
}

int SelfProcess::exitCode() const {
    return ended_ && !killed() ? status_ : -1;
}

void dieAtOnce() {
    // Not _Exit: the libraries' detach routines would still run, and may wait for a thread ended
    // under them.
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
    std::_Exit(kKilledExitCode);
}

#else

SelfProcess::SelfProcess(const std::string &test, bool reports) {
    std::string filter = "--gtest_filter=" + test;
    int ends[2] = {-1, -1};
    std::optional<ScopedEnv> env;  // as on Windows
    ScopedEnv noShard("GTEST_SHARD_INDEX", nullptr), noShards("GTEST_TOTAL_SHARDS", nullptr);
    if (reports) {
        if (pipe2(ends, O_CLOEXEC) != 0) return;
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        reports_ = ends[0];
        env.emplace(kReportsVariable, std::to_string(ends[1]).c_str());
    } else {
        env.emplace(kReportsVariable, nullptr);
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (reports) fcntl(ends[1], F_SETFD, 0);  // the write end kept through exec
        char self[] = "/proc/self/exe";
        char disabled[] = "--gtest_also_run_disabled_tests";
        char *argv[] = {self, disabled, filter.data(), nullptr};
        execv(self, argv);
        _exit(7);
    }
    if (reports) close(ends[1]);
    process_ = pid;
}

SelfProcess::~SelfProcess() {
    if (started() && !ended_) kill();
    if (reports_ != -1) close(static_cast<int>(reports_));
}

void SelfProcess::readReports() {
    char buffer[512];
    ssize_t got = 0;
    while (reports_ != -1 && (got = read(static_cast<int>(reports_), buffer, sizeof buffer)) > 0)
        pending_.append(buffer, static_cast<size_t>(got));
}

bool reportToParent(const void *report, size_t size) {
    const long long end = reportEnd();
    return end != -1 && write(static_cast<int>(end), report, size) == static_cast<ssize_t>(size);
}

bool SelfProcess::wait(int ms) {
    if (!started() || ended_) return ended_;
    const pid_t pid = static_cast<pid_t>(process_);
    if (ms < 0) {
        ended_ = waitpid(pid, &status_, 0) == pid;
        return ended_;
    }
    for (int waited = 0;; waited += 10) {
        if (waitpid(pid, &status_, WNOHANG) == pid) return ended_ = true;
        if (waited >= ms) return false;
        usleep(10000);
    }
}

void SelfProcess::kill() {
    if (!started() || ended_) return;
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    wait();
}

bool SelfProcess::killed() const {
    return ended_ && WIFSIGNALED(status_) && WTERMSIG(status_) == SIGKILL;
}

int SelfProcess::exitCode() const {
    return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void dieAtOnce() {
    ::raise(SIGKILL);
    std::_Exit(kKilledExitCode);
}

long long SelfProcess::pid() const {
    return process_;
}

#endif

bool SelfProcess::takeReport(void *report, size_t size) {
    readReports();
    if (pending_.size() < size) return false;
    std::memcpy(report, pending_.data(), size);
    pending_.erase(0, size);
    return true;
}

bool SelfProcess::started() const {
    return process_ > 0;
}

}  // namespace zt
