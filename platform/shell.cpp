// Command lines run through the command interpreter (/bin/sh -c), waited for: the script's
// synchronous SYSTEM, whose caller wants the command done before it goes on. The wait looks at the
// caller's stop test meanwhile, so that a command that never returns does not hold an end of the
// program that was asked for.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace {

void rest(uint32_t ms) {
    struct timespec step = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&step, &step) != 0 && errno == EINTR) {
    }
}

// 1 once the child has ended (and is reaped), 0 while it runs, -1 when it cannot be waited for.
int ended(pid_t pid) {
    int status = 0;
    pid_t got;
    do {
        got = waitpid(pid, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == pid) return 1;
    return got == 0 ? 0 : -1;
}

}  // namespace

int CSRunShell(const char *command, int *error, int (*stop)(void *), void *context, int *process) {
    *error = 0;
    if (process != nullptr) *process = 0;
    if (command == nullptr) {
        *error = EINVAL;
        return CS_SHELL_FAILED;
    }
    if (access("/bin/sh", X_OK) != 0) {
        *error = errno != 0 ? errno : ENOENT;
        return CS_SHELL_NO_INTERPRETER;
    }
    // The command shares the terminal and the standard streams, as system() gives them.
    const char *const argv[] = {"/bin/sh", "-c", command, nullptr};
    pid_t pid = 0;
    const int rc = CSSpawn(argv, 0, &pid);
    if (rc != 0) {
        *error = rc;
        return CS_SHELL_FAILED;
    }
    // The command's own exit status is its business: only a command that could not be waited for
    // fails. Short steps first, so that a quick command costs no more than its own time.
    uint32_t step = 1;
    for (;;) {
        const int state = ended(pid);
        if (state > 0) return CS_SHELL_RAN;
        if (state < 0) {
            *error = errno != 0 ? errno : ECHILD;
            return CS_SHELL_FAILED;
        }
        if (stop != nullptr && stop(context)) break;
        rest(step);
        if (step < 50) step *= 2;
    }
    // The end was asked for: the command is asked to end too (SIGTERM) and given two seconds; one
    // that takes no notice is left running.
    kill(pid, SIGTERM);
    for (uint32_t waited = 0; waited < 2000; waited += 20) {
        if (ended(pid) != 0) return CS_SHELL_ENDED;
        rest(20);
    }
    if (process != nullptr) *process = pid;
    return CS_SHELL_LEFT;
}
