// Windows side of the waited-for command lines: the command interpreter (ComSpec) runs the line
// with "/c", sharing the console and the standard handles as system() gives them. The wait looks at
// the caller's stop test meanwhile; a command still running when the end is asked for is left to
// run (Windows has no gentle signal for it, and ending cmd.exe would leave its own children).
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

int CSRunShell(const char *command, int *error, int (*stop)(void *), void *context, int *process) {
    *error = 0;
    if (process != nullptr) *process = 0;
    if (command == nullptr) {
        *error = EINVAL;
        return CS_SHELL_FAILED;
    }
    char interpreter[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("ComSpec", interpreter, sizeof interpreter);
    if (n == 0 || n >= sizeof interpreter) {
        *error = ENOENT;
        return CS_SHELL_NO_INTERPRETER;
    }
    std::string line = std::string("cmd /c ") + command;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(interpreter, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child)) {
        *error = GetLastError() == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES;
        return CS_SHELL_FAILED;
    }
    CloseHandle(child.hThread);
    int result = CS_SHELL_RAN;
    for (;;) {
        const DWORD rc = WaitForSingleObject(child.hProcess, 50);
        if (rc == WAIT_OBJECT_0) break;
        if (rc != WAIT_TIMEOUT) {
            *error = ECHILD;
            result = CS_SHELL_FAILED;
            break;
        }
        if (stop != nullptr && stop(context)) {
            if (process != nullptr) *process = static_cast<int>(child.dwProcessId);
            result = CS_SHELL_LEFT;
            break;
        }
    }
    CloseHandle(child.hProcess);
    return result;
}
