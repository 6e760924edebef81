// The version check against a server of the test's own on 127.0.0.1 (never the internet): the
// request's bytes, a page in pieces, a stalled server, a closed port and a peer that resets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine_testing.h"

namespace {

// One connection: reads the request up to its empty line, then answers with the pieces (a pause
// between them), stalls until released, or resets the connection before reading anything.
class LoopbackServer {
public:
    enum class Mode { Answer, Stall, Reset };

    explicit LoopbackServer(Mode mode, std::vector<std::string> pieces = {})
        : mode_(mode), pieces_(std::move(pieces)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr any{};
        std::memcpy(&any, &address, sizeof address);
        EXPECT_EQ(bind(listener_, &any, sizeof address), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        socklen_t length = sizeof any;
        getsockname(listener_, &any, &length);
        std::memcpy(&address, &any, sizeof address);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackServer() {
        released_ = true;
        thread_.join();
        close(listener_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ZUNT_download.html"; }
    uint16_t port() const { return port_; }
    std::string request() {
        thread_.join();
        thread_ = std::thread([] {});
        return request_;
    }

private:
    void serve() {
        int peer = accept(listener_, nullptr, nullptr);
        if (peer < 0) return;
        if (mode_ == Mode::Reset) {
            linger now{1, 0};
            setsockopt(peer, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            close(peer);
            return;
        }
        char byte = 0;
        while (request_.find("\n\n") == std::string::npos && recv(peer, &byte, 1, 0) == 1) request_ += byte;
        if (mode_ == Mode::Stall)
            while (!released_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (const std::string &piece : pieces_) {
            send(peer, piece.data(), piece.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(peer);
    }
    Mode mode_;
    std::vector<std::string> pieces_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> released_{false};
    std::string request_;
    std::thread thread_;
};

const char kPage[] =
    "<html><h2>ZUNT Program version</h2>\n<table>\n"
    "<tr><th>Platform</th><th>Version</th><th>Date</th></tr>\n"
    "<tr><td>Windows</td><td>9.5.0</td><td>Apr 1 2025</td></tr>\n"
    "<tr><td>Linux</td><td>9.4.1</td><td>Mar 9 2025</td></tr>\n"
    "</table></html>\n";

// The page as chunks of at most n bytes, with the chunked framing cut into pieces too.
std::vector<std::string> chunkedPieces(const std::string &page, size_t n) {
    std::vector<std::string> pieces{"HTTP/1.1 200 OK\r\nTrans", "fer-Encoding: chunked\r\n\r\n"};
    for (size_t at = 0; at < page.size(); at += n) {
        std::string part = page.substr(at, n);
        char size[16];
        std::snprintf(size, sizeof size, "%zx", part.size());
        pieces.push_back(std::string(size) + ";piece\r");
        pieces.push_back("\n" + part);
        pieces.push_back("\r\n");
    }
    pieces.push_back("0\r\n\r\n");
    return pieces;
}

class VersionLoopback : public ::testing::Test {
protected:
    void TearDown() override { evSetVersionUrl(nullptr); }
    zt::TempDir dir;
};

TEST_F(VersionLoopback, TheRequestIsSentExactlyAndA404IsReportedWithThePageDumped) {
    LoopbackServer server(LoopbackServer::Mode::Answer,
                          {"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n", "not here\n"});
    evSetVersionUrl(server.url().c_str());
    zt::ScopedEnv debug("ZUNT_WEB_DEBUG", dir.path().c_str());
    EvVersionRecord record{};
    char error[EV_HTTP_ERROR_MAX] = "";
    EXPECT_EQ(evWebVersionCheck(&record, error), 0);
    EXPECT_STREQ(error, "Error retrieving Web Page : HTTP Error 404 Not Found");
    EXPECT_EQ(record.pageRead, 1);
    EXPECT_EQ(dir.read("ZUNT_download.txt"), "not here\n");
    EXPECT_EQ(server.request(),
              "GET /ZUNT_download.html HTTP/1.1\n"
              "Host: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\n"
                  "Accept: text/html, */*\n"
                  "Accept-Language: en-gb\n"
                  "Accept-Encoding: identity\n"
                  "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 1.1.4322; "
                  ".NET CLR 2.0.50727)\n"
                  "Connection: Keep-Alive\n"
                  "\n");
}

TEST_F(VersionLoopback, AChunkedPageInPiecesIsReassembledAndCompared) {
    LoopbackServer server(LoopbackServer::Mode::Answer, chunkedPieces(kPage, 37));
    evSetVersionUrl(server.url().c_str());
    EvVersionRecord record{};
    char error[EV_HTTP_ERROR_MAX] = "";
    ASSERT_EQ(evWebVersionCheck(&record, error), 1) << error;
    EXPECT_EQ(std::vector<int32_t>({record.webVersion, record.webRelease, record.webModification}),
              std::vector<int32_t>({9, 4, 1}));
    EXPECT_EQ(std::vector<int32_t>({record.webYear, record.webMonth, record.webDay}),
              std::vector<int32_t>({2025, 3, 9}));
    EXPECT_EQ(record.equalVersion, 1);
    EXPECT_EQ(record.upToDate, 0);
    EXPECT_STREQ(evVersionVerdict(&record), "A later build of this ZUNT version is available.");
}

TEST_F(VersionLoopback, AStalledServerGivesTheRecvErrorAfterFiveSeconds) {
    LoopbackServer server(LoopbackServer::Mode::Stall);
    EvHttpBuffer buffer{};
    char error[EV_HTTP_ERROR_MAX] = "";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(evHttpGet(server.url().c_str(), &buffer, error), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    evHttpFree(&buffer);
    EXPECT_EQ(std::string(error),
              "Error retrieving version information : recv() returned RC(" + std::to_string(EAGAIN) + ")");
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
}

TEST_F(VersionLoopback, AClosedPortCannotBeConnected) {
    uint16_t port;
    {
        LoopbackServer gone(LoopbackServer::Mode::Reset);
        port = gone.port();
        // Its one connection is taken so that its thread ends.
        CSSocket socket = CS_NO_SOCKET;
        ASSERT_EQ(CSSocketOpen(&socket), 0);
        (void)CSSocketConnect(socket, htonl(INADDR_LOOPBACK), port);
        CSSocketClose(socket);
    }
    EvHttpBuffer buffer{};
    char error[EV_HTTP_ERROR_MAX] = "";
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/ZUNT_download.html";
    EXPECT_EQ(evHttpGet(url.c_str(), &buffer, error), 0);
    EXPECT_EQ(std::string(error), "Error retrieving version information : Can not connect to server RC(" +
                                      std::to_string(ECONNREFUSED) + ")");
}

TEST_F(VersionLoopback, APeerThatResetsRaisesNoSigpipe) {
    // SIGPIPE at its default would end the test process.
    struct sigaction original {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, &original);
    LoopbackServer server(LoopbackServer::Mode::Reset);
    CSSocket socket = CS_NO_SOCKET;
    ASSERT_EQ(CSSocketOpen(&socket), 0);
    ASSERT_EQ(CSSocketConnect(socket, htonl(INADDR_LOOPBACK), server.port()), 0);
    char byte = 0;
    size_t got = 0;
    (void)CSSocketRecv(socket, &byte, 1, &got);  // the reset arrives
    int rc = CSSocketSend(socket, "GET", 3);
    EXPECT_TRUE(rc == EPIPE || rc == ECONNRESET) << rc;
    CSSocketClose(socket);
    // The whole check against such a peer fails with a message, too.
    LoopbackServer again(LoopbackServer::Mode::Reset);
    EvHttpBuffer buffer{};
    char error[EV_HTTP_ERROR_MAX] = "";
    EXPECT_EQ(evHttpGet(again.url().c_str(), &buffer, error), 0);
    EXPECT_NE(error[0], 0);
    evHttpFree(&buffer);
    sigaction(SIGPIPE, &original, nullptr);
}

}  // namespace
