// The test program as a child of itself (self_process.h); the Windows side by CreateProcess.
#include "testing/self_process.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zt {

namespace {
constexpr int kKilledExitCode = 137;  // 128 + SIGKILL, as a shell reports it
}

#ifdef _WIN32

SelfProcess::SelfProcess(const std::string &test) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return;
    // Appended piece by piece: GCC 12 warns (-Wrestrict) of the one expression.
    std::string line = "\"";
    line.append(self, n);
    line += "\" --gtest_filter=";
    line += test;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return;
    CloseHandle(info.hThread);
    process_ = reinterpret_cast<long long>(info.hProcess);
}

SelfProcess::~SelfProcess() {
    if (started() && !ended_) kill();
    if (started()) CloseHandle(reinterpret_cast<HANDLE>(process_));
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

SelfProcess::SelfProcess(const std::string &test) {
    std::string filter = "--gtest_filter=" + test;
    pid_t pid = fork();
    if (pid == 0) {
        char self[] = "/proc/self/exe";
        char *argv[] = {self, filter.data(), nullptr};
        execv(self, argv);
        _exit(7);
    }
    process_ = pid;
}

SelfProcess::~SelfProcess() {
    if (started() && !ended_) kill();
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

#endif

bool SelfProcess::started() const {
    return process_ > 0;
}

}  // namespace zt
