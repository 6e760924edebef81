// Windows side of the TCP sockets: Windows Sockets 2, started once for the process. Results are
// 0 or the Windows Sockets error code (WSAGetLastError), which is what the texts print on Windows.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace {

SOCKET handle(CSSocket socket) {
    return static_cast<SOCKET>(socket);
}

// WSAStartup before the first socket call; its failure code is kept for every later call.
int started() {
    static int rc = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return rc;
}

}  // namespace

int CSResolveHost(const char *host, uint32_t *address) {
    if (int rc = started()) return rc;
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
    if (found == nullptr) return WSAHOST_NOT_FOUND;
    sockaddr_in first{};
    std::memcpy(&first, found->ai_addr, sizeof first);
    *address = first.sin_addr.s_addr;
    freeaddrinfo(found);
    return 0;
}

int CSSocketOpen(CSSocket *socket) {
    *socket = CS_NO_SOCKET;
    if (int rc = started()) return rc;
    // Not inherited by processes the system starts. Overlapped, as socket() makes them: a receive
    // time-out (SO_RCVTIMEO) never takes effect on a socket made without it, and a stalled server
    // would hold the version check for ever.
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    *socket = static_cast<CSSocket>(s);
    return 0;
}

int CSSocketSetBlocking(CSSocket socket) {
    u_long nonBlocking = 0;
    return ioctlsocket(handle(socket), FIONBIO, &nonBlocking) != 0 ? WSAGetLastError() : 0;
}

int CSSocketSetNoDelay(CSSocket socket) {
    BOOL on = TRUE;
    return setsockopt(handle(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                      sizeof on) != 0
               ? WSAGetLastError()
               : 0;
}

int CSSocketSetRecvTimeout(CSSocket socket, uint32_t timeoutMs) {
    DWORD limit = timeoutMs;  // Windows takes milliseconds
    return setsockopt(handle(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit),
                      sizeof limit) != 0
               ? WSAGetLastError()
               : 0;
}

int CSSocketConnect(CSSocket socket, uint32_t address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    sockaddr peer{};
    std::memcpy(&peer, &target, sizeof target);
    return connect(handle(socket), &peer, sizeof target) != 0 ? WSAGetLastError() : 0;
}

int CSSocketSend(CSSocket socket, const void *bytes, size_t length) {
    const auto *next = static_cast<const char *>(bytes);
    while (length > 0) {
        int piece = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        int sent = send(handle(socket), next, piece, 0);
        if (sent == SOCKET_ERROR) return WSAGetLastError();
        next += sent;
        length -= static_cast<size_t>(sent);
    }
    return 0;
}

int CSSocketRecv(CSSocket socket, void *buffer, size_t length, size_t *got) {
    *got = 0;
    int piece = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
    int read = recv(handle(socket), static_cast<char *>(buffer), piece, 0);
    if (read == SOCKET_ERROR) {
        int rc = WSAGetLastError();
        // A receive time-out is EAGAIN on every platform, as the header promises.
        return rc == WSAETIMEDOUT ? EAGAIN : rc;
    }
    *got = static_cast<size_t>(read);
    return 0;
}

void CSSocketClose(CSSocket socket) {
    if (socket != CS_NO_SOCKET) closesocket(handle(socket));
}
