// The Linux side of the Windows build's queue-manager tests: a process under wine can start a Linux
// program but can neither wait for it nor learn its exit code, so the test fixtures ask this small
// service to run their miniqm tool command lines (and the kill of a server) for them.
//
// qm_runner listens on 127.0.0.1 at a free port and prints the port on its first line. Each
// connection carries one request: NUL-terminated strings, the variables to set ("NAME=value") up to
// an empty string, then the command line for /bin/sh, then the end of the stream. Every MINIQM_
// variable of the runner's own environment is dropped first, so that only the test's own apply.
// The reply is the exit code (-1 when the shell did not end by itself) on a line, then the command's
// standard output, then the end of the stream. Each request runs in a child process of its own.
//
// "qm_runner control QM COMMAND" is a command line for it: miniqmControl of the Linux libmqm (the
// fixtures' in-process control, which a Windows client cannot reach), its reply on the standard
// output; exit code 0, 1 when the command failed, 2 when the queue manager did not answer.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

bool writeAll(int fd, const std::string &bytes) {
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// The request's strings, split at NUL (the last one need not end with one).
std::vector<std::string> split(const std::string &request) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < request.size();) {
        size_t end = request.find('\0', at);
        if (end == std::string::npos) end = request.size();
        parts.push_back(request.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

void serve(int client) {
    std::vector<std::string> parts = split(readAll(client));
    size_t blank = 0;
    while (blank < parts.size() && !parts[blank].empty()) blank++;
    if (blank + 1 >= parts.size()) {
        writeAll(client, "-1\nthe request has no command\n");
        return;
    }
    std::vector<std::string> names;
    for (char **e = environ; *e != nullptr; e++)
        if (std::strncmp(*e, "MINIQM_", 7) == 0) names.emplace_back(*e, std::strcspn(*e, "="));
    for (const std::string &name : names) unsetenv(name.c_str());
    for (size_t i = 0; i < blank; i++) {
        size_t equals = parts[i].find('=');
        if (equals != std::string::npos && equals > 0)
            setenv(parts[i].substr(0, equals).c_str(), parts[i].c_str() + equals + 1, 1);
    }
    int out[2];
    if (pipe(out) != 0) {
        writeAll(client, "-1\npipe failed\n");
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        close(client);
        signal(SIGPIPE, SIG_DFL);  // as any shell would start it
        execl("/bin/sh", "sh", "-c", parts[blank + 1].c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string output = pid > 0 ? readAll(out[0]) : std::string("fork failed\n");
    close(out[0]);
    int status = 0, code = -1;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) code = WEXITSTATUS(status);
    writeAll(client, std::to_string(code) + "\n" + output);
}

int control(const char *qm, const char *command) {
    using Control = int (*)(const char *, const char *, char *, int);
    void *library = dlopen(MINIQM_MQM_LIBRARY, RTLD_NOW);
    auto function = library ? reinterpret_cast<Control>(dlsym(library, "miniqmControl")) : nullptr;
    char reply[1024] = {};
    int rc = function ? function(qm, command, reply, sizeof reply) : -1;
    std::fputs(reply, stdout);
    return rc == 0 ? 0 : rc == 1 ? 1 : 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "control") == 0) return control(argv[2], argv[3]);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("qm_runner");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    // Each request's child is reaped by the system; a client gone early must not end the runner.
    signal(SIGCHLD, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            // The command's shell waits for its own children.
            signal(SIGCHLD, SIG_DFL);
            serve(client);
            _exit(0);
        }
        close(client);
    }
}
