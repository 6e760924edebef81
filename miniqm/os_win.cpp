// Windows implementation of the share of miniqm's operating-system layer (see os.h) that the client
// library uses: Winsock for the connection to the queue manager, the Windows file API for channel
// tables and configuration files, and the process's own identity. miniqm's server and tool are
// not built for Windows.
//
// Descriptors are ints as on Linux. Sockets and file handles share the process's handle table, so
// their values never clash while both are open; the sockets are remembered so that closeFd knows
// which close to call.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <afunix.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "miniqm/os.h"

namespace qmos {

namespace {

std::mutex gSocketsMu;
std::set<int> gSockets;

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Winsock's error as errno, for the callers that look at it.
void keepSocketError() {
    switch (WSAGetLastError()) {
        case WSAECONNREFUSED:
            errno = ECONNREFUSED;
            break;
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH:
            errno = EHOSTUNREACH;
            break;
        case WSAETIMEDOUT:
            errno = ETIMEDOUT;
            break;
        case WSAEAFNOSUPPORT:
            errno = EAFNOSUPPORT;
            break;
        default:
            errno = EIO;
    }
}

int remember(SOCKET s) {
    int fd = static_cast<int>(s);
    std::lock_guard<std::mutex> lock(gSocketsMu);
    gSockets.insert(fd);
    return fd;
}

// The socket made for a family, or -1; the caller connects it.
SOCKET newSocket(int family, int type, int protocol) {
    if (!startWinsock()) return INVALID_SOCKET;
    // Not inherited by processes this one starts.
    return WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool isSocket(int fd) {
    std::lock_guard<std::mutex> lock(gSocketsMu);
    return gSockets.count(fd) != 0;
}

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

// A Winsock call moves at most an int's worth of bytes.
int chunk(size_t length) {
    return length > 1u << 30 ? 1 << 30 : static_cast<int>(length);
}

}  // namespace

// Windows has Unix sockets since Windows 10 (1803); wine has none and refuses the family.
int connectUnix(const std::string &path) {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    SOCKET s = newSocket(AF_UNIX, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        keepSocketError();
        return -1;
    }
    if (::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        keepSocketError();
        ::closesocket(s);
        return -1;
    }
    return remember(s);
}

int connectTcp(const std::string &host, int port) {
    if (!startWinsock()) {
        errno = EIO;
        return -1;
    }
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
    SOCKET s = INVALID_SOCKET;
    int err = ECONNREFUSED;
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
        s = newSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        if (::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) break;
        keepSocketError();
        err = errno;
        ::closesocket(s);
        s = INVALID_SOCKET;
    }
    ::freeaddrinfo(res);
    if (s == INVALID_SOCKET) {
        errno = err;
        return -1;
    }
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    return remember(s);
}

bool sendAll(int fd, const void *data, size_t length) {
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        int n = ::send(static_cast<SOCKET>(fd), p, chunk(length), 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            keepSocketError();
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
        int n = ::recv(static_cast<SOCKET>(fd), p, chunk(length), 0);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void shutdownFd(int fd) {
    if (fd >= 0 && isSocket(fd)) ::shutdown(static_cast<SOCKET>(fd), SD_BOTH);
}

void closeFd(int fd) {
    if (fd < 0) return;
    bool socket = false;
    {
        std::lock_guard<std::mutex> lock(gSocketsMu);
        socket = gSockets.erase(fd) != 0;
    }
    if (socket)
        ::closesocket(static_cast<SOCKET>(fd));
    else
        ::CloseHandle(handleOf(fd));
}

long readFd(int fd, void *data, size_t length) {
    DWORD want = length > 1u << 30 ? 1u << 30 : static_cast<DWORD>(length);
    DWORD got = 0;
    if (!::ReadFile(handleOf(fd), data, want, &got, nullptr)) {
        // The writer's end of a pipe closed: the end of the data, as read(2) gives it.
        if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
        errno = EIO;
        return -1;
    }
    return static_cast<long>(got);
}

bool fileExists(const std::string &path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int openRead(const std::string &path) {
    HANDLE h =
        ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ENOENT;
        return -1;
    }
    // A handle's value fits in 32 bits (Windows keeps it so for 32-bit processes to share).
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

bool readFile(const std::string &path, std::string &out) {
    int fd = openRead(path);
    if (fd < 0) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        long n = readFd(fd, buf, sizeof buf);
        if (n < 0) {
            closeFd(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    closeFd(fd);
    return true;
}

std::vector<std::string> listDir(const std::string &path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = ::FindFirstFileA((path + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (::FindNextFileA(h, &found));
    ::FindClose(h);
    return names;
}

int currentPid() {
    return static_cast<int>(::GetCurrentProcessId());
}

int threadId() {
    return static_cast<int>(::GetCurrentThreadId());
}

std::string programName() {
    char buf[MAX_PATH + 1];
    DWORD n = ::GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return std::string();
    std::string exe(buf, n);
    size_t slash = exe.find_last_of("\\/");
    return slash == std::string::npos ? exe : exe.substr(slash + 1);
}

std::string userName() {
    char buf[257];
    DWORD n = sizeof buf;
    if (::GetUserNameA(buf, &n) && n > 1) return std::string(buf, n - 1);
    return getEnv("USERNAME");
}

std::string homeDir() {
    std::string home = getEnv("USERPROFILE");
    if (!home.empty()) return home;
    home = getEnv("HOMEDRIVE") + getEnv("HOMEPATH");
    return home.empty() ? "C:\\" : home;
}

// The process's environment block itself: a run-time library of the DLL's own would not see
// variables the program sets after the DLL was loaded.
std::string getEnv(const char *name) {
    char small[512];
    DWORD n = ::GetEnvironmentVariableA(name, small, sizeof small);
    if (n == 0) return std::string();
    if (n < sizeof small) return std::string(small, n);
    std::string value(n, '\0');
    DWORD m = ::GetEnvironmentVariableA(name, value.data(), n);
    if (m == 0 || m >= n) return std::string();
    value.resize(m);
    return value;
}

}  // namespace qmos
