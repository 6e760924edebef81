// TCP sockets over IPv4 for the version check's HTTP request: resolve, connect, send and receive
// with the blocking, no-delay and receive time-out settings it asks for.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace {

int fd(CSSocket socket) {
    return static_cast<int>(socket);
}

}  // namespace

int CSResolveHost(const char *host, uint32_t *address) {
    in_addr dotted{};
    if (inet_pton(AF_INET, host, &dotted) == 1) {
        *address = dotted.s_addr;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0) return rc;
    if (found == nullptr) return EAI_NONAME;
    sockaddr_in first{};
    std::memcpy(&first, found->ai_addr, sizeof first);
    *address = first.sin_addr.s_addr;
    freeaddrinfo(found);
    return 0;
}

int CSSocketOpen(CSSocket *socket) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    *socket = s < 0 ? CS_NO_SOCKET : s;
    return s < 0 ? errno : 0;
}

int CSSocketSetBlocking(CSSocket socket) {
    int flags = fcntl(fd(socket), F_GETFL);
    if (flags < 0 || fcntl(fd(socket), F_SETFL, flags & ~O_NONBLOCK) < 0) return errno;
    return 0;
}

int CSSocketSetNoDelay(CSSocket socket) {
    int on = 1;
    return setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0 ? errno : 0;
}

int CSSocketSetRecvTimeout(CSSocket socket, uint32_t timeoutMs) {
    timeval limit{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
    return setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0 ? errno : 0;
}

int CSSocketConnect(CSSocket socket, uint32_t address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    sockaddr peer{};
    std::memcpy(&peer, &target, sizeof target);
    if (connect(fd(socket), &peer, sizeof target) == 0) return 0;
    if (errno != EINTR) return errno;
    // An interrupted connect goes on in the background: wait for its outcome.
    for (;;) {
        int rc = connect(fd(socket), &peer, sizeof target);
        if (rc == 0 || errno == EISCONN) return 0;
        if (errno != EINTR && errno != EALREADY && errno != EINPROGRESS) return errno;
        usleep(10000);
    }
}

int CSSocketSend(CSSocket socket, const void *bytes, size_t length) {
    const auto *next = static_cast<const char *>(bytes);
    while (length > 0) {
        ssize_t sent = send(fd(socket), next, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        next += sent;
        length -= static_cast<size_t>(sent);
    }
    return 0;
}

int CSSocketRecv(CSSocket socket, void *buffer, size_t length, size_t *got) {
    *got = 0;
    for (;;) {
        ssize_t read = recv(fd(socket), buffer, length, 0);
        if (read >= 0) {
            *got = static_cast<size_t>(read);
            return 0;
        }
        if (errno != EINTR) return errno;
    }
}

void CSSocketClose(CSSocket socket) {
    if (socket != CS_NO_SOCKET) close(fd(socket));
}
