// Command lines started as detached processes (the script's SYSTEM function). A line starting
// "cmd " runs through the shell; any other line is split into words and run directly. Nobody
// waits for the process: a detached thread reaps it.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/cs.h"

#ifndef _WIN32
extern char **environ;
#endif

bool CSCommandRewrite(std::string_view line, std::string *out) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos || line.substr(start, 4) != "cmd ") return false;
    std::string text(line.substr(start));
    text.replace(0, 4, "/c  ");
    size_t word = text.find_first_not_of(' ', 4);
    if (word != std::string::npos && text.compare(word, 2, "/c") != 0 && text.compare(word, 2, "/C") != 0)
        word = std::string::npos;
    if (word != std::string::npos && word + 2 < text.size() && text[word + 2] == ' ')
        text.replace(word, 2, "  ");
    *out = std::move(text);
    return true;
}

namespace {

constexpr size_t kMessageSize = 500;

#ifndef _WIN32

// Words of a line split at blanks; double quotes group blanks into a word and are dropped.
std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

// Starts args detached (CSSpawn); 0 or an errno.
int spawnDetached(const std::vector<std::string> &args, pid_t *pid) {
    std::vector<const char *> argv;
    for (const auto &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return CSSpawn(argv.data(), 1, pid);
}
#endif

}  // namespace

#ifndef _WIN32
int CSSpawn(const char *const argv[], int detached, int *pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (detached) {
        for (int fd = 0; fd <= 2; fd++)
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    // No blocked signals and default handling of every signal, whatever the starting thread had
    // (this process ignores SIGPIPE); detached, its own session, so that a Ctrl-C at the console
    // does not reach it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (detached) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);
    pid_t child = 0;
    const int rc =
        posix_spawnp(&child, argv[0], &actions, &attributes, const_cast<char *const *>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    *pid = child;
    return rc;
}
#endif

namespace {

// Starts the line: 1 when started, else 0 with the failure written to text.
int startCommand(const char *commandLine, char *text) {
    std::string_view line = commandLine ? commandLine : "";
    size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        std::snprintf(text, kMessageSize, "No command supplied");
        return 0;
    }
#ifdef _WIN32
    // Windows: CreateProcessA with the line as it is; a "cmd " line runs through the command
    // interpreter with the rewritten "/c" text.
    std::string rewritten, commandText;
    std::string interpreter;
    if (CSCommandRewrite(line, &rewritten)) {
        char comspec[MAX_PATH];
        DWORD n = GetEnvironmentVariableA("ComSpec", comspec, sizeof comspec);
        interpreter = n > 0 && n < sizeof comspec ? comspec : "C:\\Windows\\System32\\cmd.exe";
        commandText = "cmd " + rewritten;
    } else {
        commandText = std::string(line.substr(start));
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Its own process group without a console: a Ctrl-C at the console does not reach it, and no
    // handle of this process is inherited.
    if (!CreateProcessA(interpreter.empty() ? nullptr : interpreter.c_str(), commandText.data(), nullptr,
                        nullptr, FALSE, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                        &startup, &process)) {
        DWORD rc = GetLastError();
        char reason[256];
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, rc, 0,
                                 reason, sizeof reason, nullptr);
        while (n > 0 && (reason[n - 1] == '\n' || reason[n - 1] == '\r' || reason[n - 1] == ' ')) n--;
        reason[n] = '\0';
        std::snprintf(text, kMessageSize, "Command failed RC(%lu) %s", static_cast<unsigned long>(rc),
                      reason);
        return 0;
    }
    // Nobody waits for the process: its handles are let go at once.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
#else
    std::vector<std::string> args;
    std::string rewritten;
    if (CSCommandRewrite(line, &rewritten)) {
        args = {"/bin/sh", "-c", rewritten.substr(2)};  // the text after "/c"
    } else {
        args = splitWords(line.substr(start));
        if (args.empty()) {
            std::snprintf(text, kMessageSize, "No command supplied");
            return 0;
        }
    }
    pid_t pid = 0;
    int rc = spawnDetached(args, &pid);
    if (rc != 0) {
        char reason[256];
        std::snprintf(text, kMessageSize, "Command failed RC(%d) %s", rc,
                      strerror_r(rc, reason, sizeof reason));
        return 0;
    }
    // Reap the child so that it leaves no zombie; nothing waits for this thread. A thread that cannot
    // be created must not end the process (an uncaught exception would): the command runs, its end
    // stays a zombie until the process ends, and that is said.
    try {
        std::thread([pid] {
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error &failure) {
        evOutputF(EV_OUT_ERROR, 1, "Command started; its end is not waited for: %s",
                  failure.code().message().c_str());
    }
    return 1;
#endif
}

}  // namespace

int CSRunCommand(const char *commandLine, char **message) {
    char *text = static_cast<char *>(CSGetMem(kMessageSize));
    if (message) *message = nullptr;
    if (!text) return 0;
    std::snprintf(text, kMessageSize, "Not enough memory");
    int started = startCommand(commandLine, text);
    if (started || !message)
        CSFreeMem(text);
    else
        *message = text;
    return started;
}
