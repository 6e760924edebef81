// The version check without a network: the report's alert, the page's tokens and table, the HTTP
// reader over byte buffers (split at every position, and hostile), and the URL.
#include <cstring>

#include "engine_testing.h"

namespace {

// ---- The report ----

EvVersionRecord recordOf(int32_t v, int32_t r, int32_t m, int32_t year, int32_t month, int32_t day) {
    EvVersionRecord record{};
    record.found = record.pageRead = 1;
    record.version = 9, record.release = 4, record.modification = 1;
    record.year = 2025, record.month = 3, record.day = 3;
    record.webVersion = v, record.webRelease = r, record.webModification = m;
    record.webYear = year, record.webMonth = month, record.webDay = day;
    evCompareVersions(&record);
    return record;
}

std::vector<std::string> versionAlerts() {
    std::vector<std::string> texts;
    CSRecursiveGuard guard(gAlertLock);
    for (AlertDef *alert = evAlertList; alert; alert = alert->next)
        if (std::strcmp(alert->category, EV_VERSION_CATEGORY) == 0) texts.emplace_back(alert->text);
    return texts;
}

class Report : public et::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        evAlertFreeAll();
        evRunState.ready.store(1);
        evSettings.versionCheck.store(EV_VERCHECK_BUILD);
    }
    void TearDown() override {
        evAlertFreeAll();
        evAlertsChanged.store(0);
        evSettings.versionCheck.store(EV_VERCHECK_BUILD);
        EngineTest::TearDown();
    }
    void report(const EvVersionRecord &record, const char *errorText = "") {
        evVersionReportResult(&record, errorText);
    }
    zt::TestClock clock;
    zt::ConsoleCapture console{false};
};

TEST_F(Report, EachOutcomeGivesItsTextAndVerCheckOneIgnoresBuilds) {
    struct Case {
        EvVersionRecord record;
        const char *text;
        bool alertedUnderBuild;    // VERCHECK 2
        bool alertedUnderVersion;  // VERCHECK 1
    };
    const Case cases[] = {
        {recordOf(9, 5, 0, 2024, 1, 1), "A later version of ZUNT is available.", true, true},
        {recordOf(9, 4, 1, 2025, 3, 4), "A later build of this ZUNT version is available.", true, false},
        {recordOf(9, 4, 1, 2025, 3, 3), "Your version of ZUNT is up to date.", false, false},
        {recordOf(9, 4, 1, 2025, 2, 28), "You are using a more recent build than is available for download.",
         true, false},
        {recordOf(9, 4, 0, 2026, 1, 1), "You are using a more recent version than is available for download.",
         true, true},
    };
    for (const Case &c : cases) {
        for (int32_t check : {EV_VERCHECK_BUILD, EV_VERCHECK_VERSION}) {
            SCOPED_TRACE(std::string(c.text) + (check == EV_VERCHECK_BUILD ? " build" : " version"));
            evSettings.versionCheck.store(check);
            EXPECT_STREQ(evVersionVerdict(&c.record), c.text);
            // An older "$VERSION" alert: an up-to-date result removes it, others leave it.
            report(recordOf(9, 5, 0, 2024, 1, 1), "");
            report(c.record);
            bool alerted = check == EV_VERCHECK_BUILD ? c.alertedUnderBuild : c.alertedUnderVersion;
            std::vector<std::string> expected;
            if (alerted) {
                expected.push_back("A later version of ZUNT is available.");
                if (std::strcmp(c.text, expected[0].c_str()) != 0) expected.push_back(c.text);
            }
            std::vector<std::string> got = versionAlerts();
            std::sort(got.begin(), got.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(got, expected);
            evAlertFreeAll();
        }
    }
}

TEST_F(Report, TheAlertIsAWarnKeptNinetyDaysAndNeverDoubled) {
    EvVersionRecord failed{};
    report(failed, "Error retrieving version information : Can not resolve host 'www.holva.example'");
    report(failed, "Error retrieving version information : Can not resolve host 'www.holva.example'");
    CSRecursiveGuard guard(gAlertLock);
    ASSERT_NE(evAlertList, nullptr);
    EXPECT_EQ(evAlertList->next, nullptr);
    EXPECT_STREQ(evAlertList->category, "$VERSION");
    EXPECT_STREQ(evAlertList->text,
                 "Error retrieving version information : Can not resolve host 'www.holva.example'");
    EXPECT_EQ(evAlertList->severity, 20);
    EXPECT_EQ(evAlertList->retention, 7776000u);
    EXPECT_EQ(evAlertList->time, clock.now());
}

TEST_F(Report, WithoutAVersionOrAMessageTheTextIsProblemAccessingWebPage) {
    report(EvVersionRecord{});
    EXPECT_EQ(versionAlerts(), std::vector<std::string>{"Problem accessing Web Page"});
}

TEST_F(Report, VerCheckNoOrNotReadyChangesNothing) {
    evSettings.versionCheck.store(EV_VERCHECK_NO);
    report(EvVersionRecord{});
    EXPECT_TRUE(versionAlerts().empty());
    evSettings.versionCheck.store(EV_VERCHECK_BUILD);
    evRunState.ready.store(0);
    report(EvVersionRecord{});
    EXPECT_TRUE(versionAlerts().empty());
    EXPECT_EQ(evAlertsChanged.load(), 0);
}

// ---- The page ----

std::vector<std::string> tokens(const std::string &text) {
    std::vector<std::string> out;
    const char *next = text.data();
    for (EvHtmlToken t = evHtmlNextToken(&next, text.data() + text.size()); t.length != 0;
         t = evHtmlNextToken(&next, text.data() + text.size()))
        out.emplace_back(t.text, t.length);
    return out;
}

TEST(VersionPage, TokensAreWordsSinglesAndWholeTags) {
    struct Case {
        const char *text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {" \n\r9.4.1\r\n", {"9", ".", "4", ".", "1"}},
        {"a-b*c/d\\e(f)g{h}i[j]", {"a", "-", "b", "*", "c", "/", "d", "\\", "e", "(",
                                   "f", ")", "g", "{", "h", "}", "i", "[",  "j", "]"}},
        {"x<td class=a>y</td>", {"x", "<td class=a>", "y", "</td>"}},
        {"<a (b>c) [d>e] <f>>z", {"<a (b>c) [d>e] <f>>", "z"}},
        {"<never closed", {"<never closed"}},
        {"tab\tis not blank", {"tab\tis", "not", "blank"}},
        {"", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(tokens(c.text), c.expected);
    }
}

TEST(VersionPage, VersionsAndDatesReadTheirTokens) {
    struct Case {
        const char *text;
        bool version;
        int32_t a, b, c;
        bool date;
        int32_t year, month, day;
    };
    const Case cases[] = {
        {"9.4.1", true, 9, 4, 1, false, 0, 0, 0},
        {"v 10.0.2 beta", true, 10, 0, 2, false, 0, 0, 0},
        {"9.4", false, 0, 0, 0, false, 0, 0, 0},
        {"Mar  3 2025", false, 0, 0, 0, true, 2025, 3, 3},
        {"dec 31 1999", false, 0, 0, 0, true, 1999, 12, 31},
        {"Mar 32 2025", false, 0, 0, 0, false, 0, 0, 0},
        {"March 3 2025", false, 0, 0, 0, false, 0, 0, 0},
        {"Mar 3 25", false, 0, 0, 0, false, 0, 0, 0},
        {"Mar 3", false, 0, 0, 0, false, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        int32_t a = 0, b = 0, d = 0;
        EXPECT_EQ(evParseVersion(c.text, std::strlen(c.text), &a, &b, &d), c.version ? 1 : 0);
        if (c.version) {
            EXPECT_EQ(std::vector<int32_t>({a, b, d}), std::vector<int32_t>({c.a, c.b, c.c}));
        }
        EXPECT_EQ(evParseBuildDate(c.text, std::strlen(c.text), &a, &b, &d), c.date ? 1 : 0);
        if (c.date) {
            EXPECT_EQ(std::vector<int32_t>({a, b, d}), std::vector<int32_t>({c.year, c.month, c.day}));
        }
    }
}

struct PageResult {
    int ok;
    std::string error;
    EvVersionRecord record;
};

PageResult parsePage(const std::string &page) {
    PageResult result{};
    char error[EV_HTTP_ERROR_MAX] = "";
    result.ok = evParseVersionPage(page.data(), page.size(), &result.record, error);
    result.error = error;
    return result;
}

// The page's row for this build's platform, and another platform's row.
const std::string kOwnRow = EV_VERSION_PLATFORM;
const std::string kOtherRow = kOwnRow == "Linux" ? "Windows" : "Linux";

TEST(VersionPage, TheOwnPlatformsRowIsReadByTheHeaderRowsColumns) {
    const std::string page =
        "<html><h2>ZUNT Program version</h2><p>Released <b>date</b> Jan 5 2025</p>\n"
        "<TABLE border=1>\n"
        "<tr><th>Date</th><th>Platform</th><th>Version</th></tr>\n"
        "<tr><td>Apr 1 2025</td><td>" +
        kOtherRow +
        "</td><td>9.5.0</td></tr>\n"
        "<tr><td><i>Mar 4 2025</i></td><td> " +
        kOwnRow +
        " </td><td>9.4.1</td></tr>\n"
        "</TABLE></html>";
    PageResult result = parsePage(page);
    ASSERT_EQ(result.ok, 1) << result.error;
    const EvVersionRecord &r = result.record;
    EXPECT_EQ(std::vector<int32_t>({r.webVersion, r.webRelease, r.webModification}),
              std::vector<int32_t>({9, 4, 1}));
    EXPECT_EQ(std::vector<int32_t>({r.webYear, r.webMonth, r.webDay}), std::vector<int32_t>({2025, 3, 4}));
}

TEST(VersionPage, ABadShapeOrNoOwnPlatformRowIsReported) {
    const std::string head = "<h2>ZUNT Program version</h2><table><tr><th>Platform</th><th>Version</th></tr>";
    struct Case {
        const char *name;
        std::string page;
        const char *error;
    };
    const char *shape =
        "Error retrieving version information : Web page format does not appear to be correct";
    const Case cases[] = {
        {"no anchor", "<table><tr><td>" + kOwnRow + "</td></tr></table>", shape},
        {"no table", "ZUNT Program version 9.4.1", shape},
        {"table not ended after the row", head + "<tr><td>" + kOwnRow + "</td><td>9.4.1</td></tr>", shape},
        {"only another platform", head + "<tr><td>" + kOtherRow + "</td><td>9.4.1</td></tr></table>",
         "Error retrieving version information"},
        {"own row without a version", head + "<tr><td>" + kOwnRow + "</td><td>soon</td></tr></table>",
         "Error retrieving version information"},
        {"no header row",
         "ZUNT Program version<table><tr><td>" + kOwnRow + "</td><td>9.4.1</td></tr></table>",
         "Error retrieving version information"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PageResult result = parsePage(c.page);
        EXPECT_EQ(result.ok, 0);
        EXPECT_EQ(result.record.found, 0);
        EXPECT_EQ(result.error, c.error);
    }
}

// ---- The HTTP reader ----

// Hands out the response in the given pieces; an errno after them when asked.
struct Pieces {
    std::vector<std::string> pieces;
    size_t next = 0;
    int failWith = 0;
    zt::TestClock *clock = nullptr;  // advanced a second per piece when set
};

int piecesRecv(void *context, uint8_t *buffer, size_t length, size_t *got) {
    auto *p = static_cast<Pieces *>(context);
    *got = 0;
    if (p->clock != nullptr) p->clock->advanceMs(1000);
    while (p->next < p->pieces.size() && p->pieces[p->next].empty())
        p->next++;  // a receive gets one byte or more
    if (p->next == p->pieces.size()) return p->failWith;
    std::string &piece = p->pieces[p->next];
    size_t n = std::min(length, piece.size());
    std::memcpy(buffer, piece.data(), n);
    piece.erase(0, n);
    if (piece.empty()) p->next++;
    *got = n;
    return 0;
}

struct ReadResult {
    int ok;
    std::string error;
    std::string header;
    std::string body;
};

ReadResult readPieces(Pieces pieces) {
    EvHttpSource source{piecesRecv, &pieces};
    EvHttpBuffer buffer{};
    char error[EV_HTTP_ERROR_MAX] = "";
    ReadResult result{};
    result.ok = evHttpRead(&source, &buffer, error);
    result.error = error;
    if (buffer.data != nullptr) {
        const char *data = reinterpret_cast<const char *>(buffer.data);
        result.header.assign(data, buffer.headerLength);
        result.body.assign(data + buffer.headerLength, buffer.length - buffer.headerLength);
    }
    evHttpFree(&buffer);
    return result;
}

constexpr char kInvalid[] = "Error retrieving version information : Invalid HTTP response received";

TEST(HttpReader, EveryFramingReadsTheSameSplitAnywhere) {
    struct Case {
        const char *name;
        std::string response;
        const char *body;  // null: refused as invalid
    };
    const Case cases[] = {
        {"Content-Length, CR LF", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", "hello"},
        {"Content-Length, LF", "HTTP/1.1 404 Not Found\ncontent-length:3\n\nabc", "abc"},
        {"chunked with extensions",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;name=v\r\nhello\r\n6 ; x\r\n "
         "world\r\n0\r\n\r\n",
         "hello world"},
        {"to the end", "HTTP/1.0 200 OK\n\nall of it", "all of it"},
        {"no HTTP prefix", "HTTX/1.1 200 OK\n\nbody", nullptr},
        {"ends in the header", "HTTP/1.1 200 OK\nContent-Length: 5\n", nullptr},
        {"body shorter than its length", "HTTP/1.1 200 OK\nContent-Length: 9\n\nshort", nullptr},
        {"chunk size not hex", "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\nzz\r\nhello\r\n0\r\n\r\n",
         nullptr},
        {"chunk size with junk",
         "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n5 junk\r\nhello\r\n0\r\n\r\n", nullptr},
        {"chunk not ended by its line",
         "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n2\r\nhello\r\n0\r\n\r\n", nullptr},
        {"Content-Length not a number", "HTTP/1.1 200 OK\nContent-Length: 5x\n\nhello", nullptr},
    };
    for (const Case &c : cases) {
        for (size_t split = 0; split <= c.response.size(); split++) {
            SCOPED_TRACE(std::string(c.name) + " split at " + std::to_string(split));
            ReadResult result = readPieces(Pieces{{c.response.substr(0, split), c.response.substr(split)}});
            if (c.body == nullptr) {
                EXPECT_EQ(result.ok, 0);
                EXPECT_EQ(result.error, kInvalid);
            } else {
                ASSERT_EQ(result.ok, 1) << result.error;
                EXPECT_EQ(result.body, c.body);
                EXPECT_EQ(result.header.rfind("HTTP", 0), 0u);
            }
        }
    }
}

TEST(HttpReader, HostileSizesAndTricklesAreRefused) {
    const std::string chunked = "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n";
    const std::string mega(1024 * 1024, 'b');
    // Each response is complete: only its size or its pace makes it invalid.
    struct Case {
        const char *name;
        std::vector<std::string> pieces;
        bool accepted;
    };
    const Case cases[] = {
        {"header block above 64 KB",
         {"HTTP/1.1 200 OK\nX: " + std::string(EV_HTTP_HEADER_MAX, 'a') + "\nContent-Length: 0\n\n"},
         false},
        {"Content-Length of 4 MB",
         {"HTTP/1.1 200 OK\nContent-Length: 4194304\n\n", mega, mega, mega, mega},
         true},
        {"Content-Length above 4 MB",
         {"HTTP/1.1 200 OK\nContent-Length: 4194305\n\n", mega, mega, mega, mega, "b"},
         false},
        {"huge Content-Length", {"HTTP/1.1 200 OK\nContent-Length: 99999999999999999999999\n\nb"}, false},
        {"chunk size above 4 MB", {chunked + "400001\r\n", mega, mega, mega, mega, "b\r\n0\r\n\r\n"}, false},
        {"huge chunk size", {chunked + "ffffffffffffffffffffffff\r\nb\r\n0\r\n\r\n"}, false},
        {"endless chunk-size line", {chunked + std::string(5000, '0') + "\r\n\r\n"}, false},
        {"chunks adding up above 4 MB",
         {chunked, "100000\r\n", mega, "\r\n", "100000\r\n", mega, "\r\n", "100000\r\n", mega, "\r\n",
          "100000\r\n", mega, "\r\n", "1\r\nb\r\n0\r\n\r\n"},
         false},
        {"body to the end above 4 MB", {"HTTP/1.1 200 OK\n\n", mega, mega, mega, mega, "b"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ReadResult result = readPieces(Pieces{c.pieces});
        EXPECT_EQ(result.ok, c.accepted ? 1 : 0);
        EXPECT_EQ(result.error, c.accepted ? "" : kInvalid);
    }
}

TEST(HttpReader, AReceiveLongerThanSixtySecondsIsRefused) {
    // One byte a second: the body is complete after 70 s.
    zt::TestClock clock;
    Pieces pieces{{"HTTP/1.1 200 OK\nContent-Length: 70\n\n"}};
    for (int i = 0; i < 70; i++) pieces.pieces.push_back("x");
    pieces.clock = &clock;
    ReadResult result = readPieces(pieces);
    EXPECT_EQ(result.ok, 0);
    EXPECT_EQ(result.error, kInvalid);
    pieces.pieces.resize(1 + 50);
    pieces.pieces.front() = "HTTP/1.1 200 OK\nContent-Length: 50\n\n";
    std::fill(pieces.pieces.begin() + 1, pieces.pieces.end(), "x");
    EXPECT_EQ(readPieces(pieces).ok, 1);
}

TEST(HttpReader, ARecvFailureGivesItsCode) {
    Pieces pieces{{"HTTP/1.1 200 OK\n"}, 0, 104};
    ReadResult result = readPieces(pieces);
    EXPECT_EQ(result.ok, 0);
    EXPECT_EQ(result.error, "Error retrieving version information : recv() returned RC(104)");
}

// ---- The URL and the request ----

TEST(HttpUrl, SchemeHostPortAndPath) {
    struct Case {
        const char *url;
        bool ok;
        const char *host;
        uint16_t port;
        const char *path;
        const char *hostHeader;
    };
    const Case cases[] = {
        {"http://www.holva.example/ZUNT_download.html", true, "www.holva.example", 80, "ZUNT_download.html",
         "Host: www.holva.example\n"},
        {"http://h:0/p", true, "h", 80, "p", "Host: h\n"},
        {"http://h:8080/p", true, "h", 8080, "p", "Host: h:8080\n"},
        {"http://h", true, "h", 80, "", "Host: h\n"},
        {"https://h/p", false, "", 0, "", ""},
        {"http://h:99999/p", false, "", 0, "", ""},
        {"http://h:/p", false, "", 0, "", ""},
        {"http://h:80x/p", false, "", 0, "", ""},
        {"http:///p", false, "", 0, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        EvHttpUrl url{};
        char error[EV_HTTP_ERROR_MAX] = "";
        ASSERT_EQ(evHttpSplitUrl(c.url, &url, error), c.ok ? 1 : 0);
        if (!c.ok) {
            EXPECT_EQ(
                std::string(error),
                std::string("Error retrieving version information : Urecognised URL format '") + c.url + "'");
            continue;
        }
        EXPECT_STREQ(url.host, c.host);
        EXPECT_EQ(url.port, c.port);
        EXPECT_STREQ(url.path, c.path);
        char request[2048];
        evHttpRequest(request, sizeof request, &url);
        EXPECT_NE(std::string(request).find(c.hostHeader), std::string::npos);
    }
}

TEST(HttpUrl, TheRequestLineEndsBeforeTheHostLine) {
    EvHttpUrl url{};
    char error[EV_HTTP_ERROR_MAX] = "";
    ASSERT_EQ(evHttpSplitUrl("http://www.holva.example/ZUNT_download.html", &url, error), 1);
    char request[2048];
    size_t length = evHttpRequest(request, sizeof request, &url);
    EXPECT_EQ(
        std::string(request, length),
        "GET /ZUNT_download.html HTTP/1.1\n"
        "Host: www.holva.example\n"
        "Accept: text/html, */*\n"
        "Accept-Language: en-gb\n"
        "Accept-Encoding: identity\n"
        "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 1.1.4322; .NET CLR "
        "2.0.50727)\n"
        "Connection: Keep-Alive\n"
        "\n");
}

}  // namespace
