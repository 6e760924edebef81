// POSIX implementation of miniqm's operating-system layer (see os.h). Everything in miniqm that
// touches sockets, files, processes, signals or clocks goes through here.
#include "miniqm/os.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qmos {

static bool fillUnixAddress(const std::string &path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

int listenUnix(const std::string &path) {
    sockaddr_un addr;
    if (!fillUnixAddress(path, addr)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    ::chmod(path.c_str(), 0700);
    return fd;
}

int listenTcp(int port, int *boundPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    if (boundPort) *boundPort = ntohs(addr.sin_port);
    return fd;
}

int connectUnix(const std::string &path) {
    sockaddr_un addr;
    if (!fillUnixAddress(path, addr)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int connectTcp(const std::string &host, int port) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &res) != 0 || !res) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    int err = ECONNREFUSED;
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        err = errno;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(res);
    if (fd < 0) {
        errno = err;
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int acceptConn(int listenFd) {
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on AF_UNIX
            return fd;
        }
        if (errno != EINTR && errno != ECONNABORTED) return -1;
    }
}

bool sendAll(int fd, const void *data, size_t length) {
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool recvAll(int fd, void *data, size_t length) {
    char *p = static_cast<char *>(data);
    while (length > 0) {
        ssize_t n = ::recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool peerClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLERR | POLLNVAL)) return true;
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void shutdownFd(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void closeFd(int fd) {
    if (fd >= 0) ::close(fd);
}

int pollReadable(const std::vector<int> &fds) {
    std::vector<pollfd> p(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) p[i] = pollfd{fds[i], POLLIN, 0};
    for (;;) {
        int n = ::poll(p.data(), p.size(), -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        for (size_t i = 0; i < p.size(); ++i)
            if (p[i].revents) return static_cast<int>(i);
    }
}

bool makePipe(int fds[2]) {
    return ::pipe2(fds, O_CLOEXEC) == 0;
}

namespace {

// The disk-full hook (os.h): true when a write to fd must fail as on a full file system.
bool diskFull(int fd) {
    const char *trigger = std::getenv("MINIQM_DISK_FULL");
    if (!trigger || !*trigger) return false;
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::access(trigger, F_OK) == 0;
}

}  // namespace

bool writeFd(int fd, const void *data, size_t length) {
    const char *p = static_cast<const char *>(data);
    if (diskFull(fd)) {
        // As a file system that fills up part way: some of the bytes land, then ENOSPC.
        ssize_t n = ::write(fd, p, length / 2);
        (void)n;
        errno = ENOSPC;
        return false;
    }
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

long readFd(int fd, void *data, size_t length) {
    for (;;) {
        ssize_t n = ::read(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int lastError() {
    return errno;
}

std::string errorText(int err) {
    return std::strerror(err);
}

bool fileExists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirs(const std::string &path) {
    if (path.empty()) return false;
    std::string part;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return isDirectory(path);
}

bool removeTree(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string &name : listDir(path))
            if (!removeTree(path + "/" + name)) return false;
        return ::rmdir(path.c_str()) == 0;
    }
    return ::unlink(path.c_str()) == 0;
}

bool readFile(const std::string &path, std::string &out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        long n = readFd(fd, buf, sizeof buf);
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

static std::string parentDir(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

bool writeFileAtomic(const std::string &path, const std::string &bytes, bool sync) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeFd(fd, bytes.data(), bytes.size()) && (!sync || ::fsync(fd) == 0);
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return !sync || syncDir(parentDir(path));
}

bool removeFile(const std::string &path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::vector<std::string> listDir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = ::opendir(path.c_str());
    if (!d) return names;
    while (dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    return names;
}

int openAppend(const std::string &path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

int openRead(const std::string &path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

bool syncFd(int fd) {
    return ::fdatasync(fd) == 0;
}

bool syncDir(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool truncateFd(int fd, uint64_t length) {
    return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

int64_t fileSize(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? st.st_size : -1;
}

bool seekEnd(int fd) {
    return ::lseek(fd, 0, SEEK_END) >= 0;
}

bool renameFile(const std::string &from, const std::string &to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

int lockFile(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int currentPid() {
    return ::getpid();
}

int threadId() {
    return ::gettid();
}

std::string hostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

bool processAlive(int pid) {
    if (pid <= 0) return false;
    if (::kill(pid, 0) != 0) return errno == EPERM;
    // A zombie still answers kill(0); look at its state so a finished child counts as gone.
    std::string stat;
    if (readFile("/proc/" + std::to_string(pid) + "/stat", stat)) {
        size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') return false;
    }
    return true;
}

bool killProcess(int pid, bool hard) {
    return pid > 0 && ::kill(pid, hard ? SIGKILL : SIGTERM) == 0;
}

int spawnDetached(const std::vector<std::string> &argv, const std::string &logPath, int keepFd) {
    int pidPipe[2];
    if (!makePipe(pidPipe)) return -1;
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        // First child: new session, then fork again so the server is nobody's zombie.
        ::setsid();
        pid_t grand = ::fork();
        if (grand != 0) {
            int pid = grand;
            bool told = writeFd(pidPipe[1], &pid, sizeof pid);  // untold, the caller sees -1
            ::_exit(grand < 0 || !told ? 1 : 0);
        }
        int nullFd = ::open("/dev/null", O_RDONLY);
        int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (nullFd >= 0) ::dup2(nullFd, 0);
        if (logFd >= 0) {
            ::dup2(logFd, 1);
            ::dup2(logFd, 2);
        }
        if (keepFd >= 0) ::fcntl(keepFd, F_SETFD, 0);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::fprintf(stderr, "miniqm: cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(pidPipe[1]);
    int pid = -1;
    if (readFd(pidPipe[0], &pid, sizeof pid) != static_cast<long>(sizeof pid)) pid = -1;
    ::close(pidPipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return pid;
}

int spawnChild(const std::vector<std::string> &argv, const std::vector<std::string> &env,
               const std::string &outPath, const std::string &errPath, std::string &error) {
    if (argv.empty() || argv[0].empty()) {
        error = "no program";
        return -1;
    }
    // Everything the child needs is made before the fork: after it, in a threaded process, only
    // async-signal-safe calls may be made.
    int inFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int outFd = ::open(outPath.empty() ? "/dev/null" : outPath.c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (outFd < 0) error = "cannot open " + outPath + ": " + std::strerror(errno);
    int errFd = ::open(errPath.empty() ? "/dev/null" : errPath.c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (errFd < 0 && outFd >= 0) error = "cannot open " + errPath + ": " + std::strerror(errno);
    int report[2];  // the exec's failure, as an errno; closed unwritten by a successful exec
    bool piped = ::pipe2(report, O_CLOEXEC) == 0;
    if (inFd < 0 || outFd < 0 || errFd < 0 || !piped) {
        if (error.empty()) error = std::strerror(errno);
        for (int fd : {inFd, outFd, errFd})
            if (fd >= 0) ::close(fd);
        if (piped) {
            ::close(report[0]);
            ::close(report[1]);
        }
        return -1;
    }
    std::vector<char *> args, vars;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &v : env) vars.push_back(const_cast<char *>(v.c_str()));
    vars.push_back(nullptr);
    struct rlimit limit;
    int maxFd = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                    ? static_cast<int>(limit.rlim_cur)
                    : 65536;
    pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(inFd, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        ::dup2(report[1], 3);
        for (int fd = 4; fd < maxFd; ++fd) ::close(fd);
        ::fcntl(3, F_SETFD, FD_CLOEXEC);
        ::execve(args[0], args.data(), vars.data());
        int err = errno;
        ssize_t told = ::write(3, &err, sizeof err);
        (void)told;
        ::_exit(127);
    }
    int forkErr = errno;
    for (int fd : {inFd, outFd, errFd, report[1]}) ::close(fd);
    if (child < 0) {
        ::close(report[0]);
        error = std::strerror(forkErr);
        return -1;
    }
    int err = 0;
    long n = readFd(report[0], &err, sizeof err);
    ::close(report[0]);
    if (n == static_cast<long>(sizeof err)) {
        int status = 0;
        ::waitpid(child, &status, 0);
        error = "cannot run " + argv[0] + ": " + std::strerror(err);
        return -1;
    }
    return child;
}

bool childEnded(int pid) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

std::vector<std::string> environment() {
    std::vector<std::string> out;
    for (char **e = environ; e && *e; ++e) out.emplace_back(*e);
    return out;
}

bool makeSymlink(const std::string &target, const std::string &path) {
    ::unlink(path.c_str());
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

std::string selfExecutable() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string programName() {
    std::string exe = selfExecutable();
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? exe : exe.substr(slash + 1);
}

std::string userName() {
    passwd pw;
    passwd *result = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &result) == 0 && result) return result->pw_name;
    return std::to_string(::getuid());
}

namespace {
std::string nameOfUid(uid_t uid) {
    passwd pw;
    passwd *result = nullptr;
    char buf[4096];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &result) == 0 && result) return result->pw_name;
    return std::to_string(uid);
}
}  // namespace

std::string peerUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return {};
    return nameOfUid(cred.uid);
}

std::vector<std::string> userGroups(const std::string &user) {
    passwd pw;
    passwd *result = nullptr;
    char buf[4096];
    if (user.empty() || ::getpwnam_r(user.c_str(), &pw, buf, sizeof buf, &result) != 0 || !result) return {};
    std::vector<gid_t> gids(64);
    int n = static_cast<int>(gids.size());
    if (::getgrouplist(user.c_str(), result->pw_gid, gids.data(), &n) < 0) {
        gids.resize(static_cast<size_t>(n));
        if (::getgrouplist(user.c_str(), result->pw_gid, gids.data(), &n) < 0) return {};
    }
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) {
        group gr;
        group *found = nullptr;
        char gbuf[16384];
        if (::getgrgid_r(gids[static_cast<size_t>(i)], &gr, gbuf, sizeof gbuf, &found) == 0 && found)
            names.push_back(found->gr_name);
    }
    return names;
}

std::string fileOwner(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return nameOfUid(st.st_uid);
}

std::string homeDir() {
    std::string home = getEnv("HOME");
    if (!home.empty()) return home;
    passwd pw;
    passwd *result = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &result) == 0 && result) return result->pw_dir;
    return "/tmp";
}

std::string getEnv(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

void ignoreSigpipe() {
    ::signal(SIGPIPE, SIG_IGN);
}

static sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void blockStopSignals() {
    sigset_t set = stopSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitStopSignal() {
    sigset_t set = stopSignals();
    int sig = 0;
    while (::sigwait(&set, &sig) != 0) {
    }
    return sig;
}

void sleepMs(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t wallMs() {
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void mqDateTime(int64_t ms, char date[8], char time[8]) {
    time_t secs = ms / 1000;
    tm t;
    ::gmtime_r(&secs, &t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    std::memcpy(date, buf, 8);
    std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d", t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<int>((ms % 1000) / 10));
    std::memcpy(time, buf, 8);
}

namespace {

void dateTimeTexts(const tm &t, std::string &date, std::string &time) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    date = buf;
    std::snprintf(buf, sizeof buf, "%02d.%02d.%02d", t.tm_hour, t.tm_min, t.tm_sec);
    time = buf;
}

}  // namespace

void utcDateTime(int64_t ms, std::string &date, std::string &time) {
    time_t secs = ms / 1000;
    tm t;
    ::gmtime_r(&secs, &t);
    dateTimeTexts(t, date, time);
}

void mqscDateTime(int64_t ms, std::string &date, std::string &time) {
    time_t secs = ms / 1000;
    tm t;
    ::localtime_r(&secs, &t);
    dateTimeTexts(t, date, time);
}

}  // namespace qmos
