// The process itself: where its program file lives, its current folder, and the signals a service
// manager, a terminal, a closed pipe or a file-size limit sends it.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

void onTerminate(int) {
    // The orderly end, as the 'Q' 'Y' keys give it; a lock-free atomic store is safe here.
    evEndFlag.store(1);
    evEndSignals.fetch_add(1);
}

// Copies text[0..length) into out as a NUL-terminated text: 1, or 0 (out empty) when it does not fit.
int copyOut(const char *text, size_t length, char *out, size_t size) {
    if (size == 0) return 0;
    if (length >= size) {
        out[0] = '\0';
        return 0;
    }
    memcpy(out, text, length);
    out[length] = '\0';
    return 1;
}

int none(char *out, size_t size) {
    if (size > 0) out[0] = '\0';
    return 0;
}

}  // namespace

int evProgramFolder(char *out, size_t size) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path - 1) return none(out, size);
    path[n] = '\0';
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) return none(out, size);
    // The root folder keeps its '/'; any other loses the trailing one.
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    return copyOut(path, length, out, size);
}

int evCurrentFolder(char *out, size_t size) {
    char path[4096];
    if (getcwd(path, sizeof path) == nullptr) return none(out, size);
    return copyOut(path, strlen(path), out, size);
}

int evComputerName(char *out, size_t size) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return none(out, size);
    name[sizeof name - 1] = '\0';
    return copyOut(name, strlen(name), out, size);
}

int CSMqDataPath(char *out, size_t size) {
    static const char path[] = "/var/mqm";
    return copyOut(path, sizeof path - 1, out, size);
}

void evHandleTermination() {
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    // A service manager's SIGTERM, Ctrl-C's SIGINT and a closed terminal's SIGHUP: each the orderly
    // end, so that units are committed or backed out and the emitters' files are closed whole.
    for (int ending : {SIGTERM, SIGINT, SIGHUP}) sigaction(ending, &action, nullptr);
    // A reader that went away must end a write with EPIPE, not the process.
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f) must fail the write with EFBIG, which its writer reports, not end
    // the process without a word.
    signal(SIGXFSZ, SIG_IGN);
}

void evKillProcess() {
    raise(SIGKILL);
    _exit(128 + SIGKILL);  // not reached: SIGKILL cannot be caught
}

const char *evProcessUserName() {
    // Read once: the name of a running process's user does not change.
    static const std::string name = [] {
        struct passwd entry {};
        struct passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
            return std::string();
        return std::string(found->pw_name);
    }();
    return name.c_str();
}
