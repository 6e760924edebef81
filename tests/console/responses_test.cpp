// Reading response texts: display responses, attribute tokens and UTC times.
#include <string>
#include <vector>

#include "console/console.h"
#include "testing/testing.h"

namespace {

std::string utc(const std::string &token) {
    char out[128] = "unchanged";
    cslFormatUtcDate(token.data(), token.size(), out, sizeof out);
    return out;
}

TEST(UtcTimes, AMatchingValueIsShownInLocalTime) {
    zt::ScopedTZ tz("CET-1");
    EXPECT_EQ(utc("STARTTI(2024-01-15 10:20:30 (UTC))"), "STARTTI(2024-01-15 11:20:30 (Local))");
    EXPECT_EQ(utc("STARTTI(2024-01-15 10:2x:30 (UTC))"), "unchanged");
    EXPECT_EQ(utc("STARTTI(2024-01-15 10:20:30)"), "unchanged");  // shorter than the pattern
    EXPECT_EQ(utc("STARTTI(2024/01/15 10:20:30 (UTC))"), "unchanged");
}

TEST(Responses, DisplayResponsesAreKnownByTheirNumberWithOrWithoutSeverity) {
    for (const char *text : {"AMQ8409: Display Queue details.", "AMQ8409I: Display Queue details.",
                             "AMQ9086I: x", "CSQM401I !MQ1 QUEUE(A)"})
        EXPECT_EQ(cslClassifyResponse(text, std::strlen(text)), 1) << text;
    for (const char *text : {"AMQ8147E: failed", "AMQ8409 no colon", "CSQ9022I done", "AMQ84"})
        EXPECT_EQ(cslClassifyResponse(text, std::strlen(text)), 0) << text;
}

std::vector<std::string> tokens(const std::string &text) {
    CslAttrCursor cursor{text.data(), text.size(), 0, 0, 0, 0};
    std::vector<std::string> out;
    char token[256];
    size_t length = 0;
    int keyword = 0;
    while (cslParseResponseAttrs(&cursor, token, sizeof token, &length, &keyword)) {
        std::string item = keyword ? "" : "!";
        item.append(token, length);
        out.push_back(item);
    }
    return out;
}

// A description keeps the blanks it starts with (characters of it, which a copy of it must keep),
// not its trailing ones; a list's items lose theirs.
TEST(Responses, AttributesAreCutOneTokenAtATime) {
    EXPECT_EQ(tokens("AMQ8409I: Display Queue details.\n   QUEUE(Q1)  NOSHARE\n   DESCR(  two\nlines  ) "
                     "NAMES(A, B(1),  C) X()"),
              (std::vector<std::string>{"!AMQ8409I: Display Queue details.", "QUEUE(Q1)", "NOSHARE",
                                        "DESCR(  two lines)", "NAMES(A,", "B(1),", "C)", "X()"}));
    EXPECT_EQ(tokens("CSQM134I !MQ1 a whole text(x)"),
              (std::vector<std::string>{"!CSQM134I !MQ1 a whole text(x)"}));
    // A statistics display's closing line is one sentence, not a cell a word.
    EXPECT_EQ(tokens("Responses incomplete: more entries matched than MAXRESP(2)."),
              (std::vector<std::string>{"!Responses incomplete: more entries matched than MAXRESP(2)."}));
    EXPECT_EQ(tokens("DESCR(   )"), (std::vector<std::string>{"DESCR( )"}));
}

}  // namespace
