// A web server of the tests' own on 127.0.0.1 (never the internet), one connection at a time: it
// reads each request up to its empty line, then answers with pieces (a pause between them), stalls
// until it is destroyed, or resets the connection before reading anything.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"

namespace et {

#ifdef _WIN32
using SocketFd = SOCKET;
using SocketLength = int;
constexpr SocketFd kNoFd = INVALID_SOCKET;
constexpr int kShutBoth = SD_BOTH;
constexpr int kNoSignal = 0;  // Windows raises no signal on a closed peer
inline void closeFd(SocketFd fd) {
    closesocket(fd);
}
inline void startSockets() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}
#else
using SocketFd = int;
using SocketLength = socklen_t;
constexpr SocketFd kNoFd = -1;
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kNoSignal = MSG_NOSIGNAL;
inline void closeFd(SocketFd fd) {
    close(fd);
}
inline void startSockets() {}
#endif

class LoopbackServer {
public:
    enum class Mode { Answer, Stall, Reset };
    // The pieces of the answer to the connection of that index (0 first).
    using Answers = std::function<std::vector<std::string>(int index)>;

    LoopbackServer(Mode mode, Answers answers) : mode_(mode), answers_(std::move(answers)) {
        startSockets();
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr any{};
        std::memcpy(&any, &address, sizeof address);
        EXPECT_EQ(bind(listener_, &any, sizeof address), 0);
        EXPECT_EQ(listen(listener_, 8), 0);
        SocketLength length = sizeof any;
        getsockname(listener_, &any, &length);
        std::memcpy(&address, &any, sizeof address);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    explicit LoopbackServer(Mode mode, std::vector<std::string> pieces = {})
        : LoopbackServer(mode, [pieces](int) { return pieces; }) {}
    ~LoopbackServer() {
        released_ = true;
        shutdown(listener_, kShutBoth);  // ends a waiting accept
#ifdef _WIN32
        closeFd(listener_);  // Windows ends a waiting accept only by the close
        thread_.join();
#else
        thread_.join();
        closeFd(listener_);
#endif
    }
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/ZUNT_download.html";
    }
    uint16_t port() const {
        return port_;
    }
    // The requests read so far, in order.
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        for (int index = 0; !released_; index++) {
            SocketFd peer = accept(listener_, nullptr, nullptr);
            if (peer == kNoFd) return;
            answer(peer, index);
        }
    }
    void answer(SocketFd peer, int index) {
        if (mode_ == Mode::Reset) {
            linger now{1, 0};
            setsockopt(peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&now), sizeof now);
            closeFd(peer);
            return;
        }
        std::string request;
        char byte = 0;
        while (request.find("\n\n") == std::string::npos && recv(peer, &byte, 1, 0) == 1) request += byte;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        if (mode_ == Mode::Stall)
            while (!released_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (const std::string &piece : answers_(index)) {
            send(peer, piece.data(), static_cast<int>(piece.size()), kNoSignal);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        closeFd(peer);
    }
    Mode mode_;
    Answers answers_;
    SocketFd listener_ = kNoFd;
    uint16_t port_ = 0;
    std::atomic<bool> released_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A download page whose table lists that version and date for this build's platform (and another
// for the other platform).
inline std::string versionPage(const std::string &version, const std::string &date) {
    const std::string own = EV_VERSION_PLATFORM;
    const std::string other = own == "Linux" ? "Windows" : "Linux";
    return "<html><h2>ZUNT Program version</h2>\n<table>\n"
           "<tr><th>Platform</th><th>Version</th><th>Date</th></tr>\n"
           "<tr><td>" +
           other + "</td><td>9.5.0</td><td>Apr 1 2025</td></tr>\n<tr><td>" + own + "</td><td>" + version +
           "</td><td>" + date + "</td></tr>\n</table></html>\n";
}

// The page as a 200 response of one piece.
inline std::string pageResponse(const std::string &page) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
}

}  // namespace et
