// The version check against a server of the test's own on 127.0.0.1 (never the internet): the
// request's bytes, a page in pieces, a stalled server, a closed port and a peer that resets.
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "engine_testing.h"
#include "loopback.h"

namespace {

using et::LoopbackServer;

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
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
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
    LoopbackServer server(LoopbackServer::Mode::Answer,
                          chunkedPieces(et::versionPage("9.4.1", "Mar 9 2025"), 37));
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
    }
    EvHttpBuffer buffer{};
    char error[EV_HTTP_ERROR_MAX] = "";
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/ZUNT_download.html";
    EXPECT_EQ(evHttpGet(url.c_str(), &buffer, error), 0);
    EXPECT_EQ(std::string(error), "Error retrieving version information : Can not connect to server RC(" +
#ifdef _WIN32
                                      std::to_string(WSAECONNREFUSED) + ")");
#else
                                      std::to_string(ECONNREFUSED) + ")");
#endif
}

TEST_F(VersionLoopback, APeerThatResetsRaisesNoSigpipe) {
#ifndef _WIN32
    // SIGPIPE at its default would end the test process.
    struct sigaction original {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, &original);
#endif
    LoopbackServer server(LoopbackServer::Mode::Reset);
    CSSocket socket = CS_NO_SOCKET;
    ASSERT_EQ(CSSocketOpen(&socket), 0);
    ASSERT_EQ(CSSocketConnect(socket, htonl(INADDR_LOOPBACK), server.port()), 0);
    char byte = 0;
    size_t got = 0;
    (void)CSSocketRecv(socket, &byte, 1, &got);  // the reset arrives
    int rc = CSSocketSend(socket, "GET", 3);
#ifdef _WIN32
    EXPECT_TRUE(rc == WSAECONNRESET || rc == WSAECONNABORTED) << rc;
#else
    EXPECT_TRUE(rc == EPIPE || rc == ECONNRESET) << rc;
#endif
    CSSocketClose(socket);
    // The whole check against such a peer fails with a message, too.
    LoopbackServer again(LoopbackServer::Mode::Reset);
    EvHttpBuffer buffer{};
    char error[EV_HTTP_ERROR_MAX] = "";
    EXPECT_EQ(evHttpGet(again.url().c_str(), &buffer, error), 0);
    EXPECT_NE(error[0], 0);
    evHttpFree(&buffer);
#ifndef _WIN32
    sigaction(SIGPIPE, &original, nullptr);
#endif
}

}  // namespace
