// This test program run again as a child process that runs only one test, with the environment as
// it is now: a writer that dies at any moment (the MQ library is not one to fork with connections,
// so the child starts afresh). Linux only, as the tests that use it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace st {

// The child running the test "Suite.Name"; -1 when none could be started.
inline pid_t startSelf(const char *test) {
    std::string filter = std::string("--gtest_filter=") + test;
    char self[] = "/proc/self/exe";
    char *argv[] = {self, filter.data(), nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        execv(self, argv);
        _exit(7);
    }
    return pid;
}

// Waits at most ms milliseconds for the child's end: true with its wait status in *status once it
// ended.
inline bool waitEnd(pid_t pid, int *status, int ms) {
    for (int waited = 0; waitpid(pid, status, WNOHANG) == 0; waited += 10) {
        if (waited >= ms) return false;
        usleep(10000);
    }
    return true;
}

}  // namespace st
