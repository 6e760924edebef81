// Command lines run through the C library's command interpreter, waited for: the script's
// synchronous SYSTEM, whose caller wants the command done before it goes on.
#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

int CSRunShell(const char *command, int *error) {
    *error = 0;
    if (command == nullptr) {
        *error = EINVAL;
        return CS_SHELL_FAILED;
    }
    // system(nullptr) asks only whether an interpreter is there: without one every command fails.
    if (std::system(nullptr) == 0) {
        *error = errno != 0 ? errno : ENOENT;
        return CS_SHELL_NO_INTERPRETER;
    }
    errno = 0;
    // The command's own exit status is its business: only a command that could not run fails.
    if (std::system(command) == -1) {
        *error = errno != 0 ? errno : ECHILD;
        return CS_SHELL_FAILED;
    }
    return CS_SHELL_RAN;
}
