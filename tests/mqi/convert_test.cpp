// Code-page conversion through MQXCNVC and the per-CCSID punctuation sets, against a stand-in MQXCNVC.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqi/fake_xcnvc.h"
#include "testing/testing.h"

namespace {

std::vector<std::string> gLines;
void capture(const char *line, int32_t length) {
    gLines.emplace_back(line, static_cast<size_t>(length));
}

int convert(const MQIFunctionTable &t, const char *text, int from, int to, std::string *out = nullptr) {
    char buf[32] = {};
    int32_t length = sizeof buf;
    int rc = MQConvertString(&t, 1, text, static_cast<int32_t>(std::strlen(text)), buf, &length, from, to);
    if (out) *out = std::string(buf, static_cast<size_t>(rc == 0 ? length : 0));
    return rc;
}

}  // namespace

TEST(ConvertString, MapsReasonsToResults) {
    MQIFunctionTable t = fakexcnvc::table();
    std::string out;
    EXPECT_EQ(convert(t, "A[B", 850, 37, &out), 0);
    EXPECT_EQ(out, std::string("A\xBA"
                               "B"));
    EXPECT_EQ(fakexcnvc::lastOptions.load(), 545);
    EXPECT_EQ(convert(t, "ABC", 850, 1208, &out), 0);  // a warning is success
    EXPECT_EQ(out, "ABC");
    EXPECT_EQ(convert(t, "ABC", 7777, 850), 4);
    EXPECT_EQ(convert(t, "ABC", 850, 9999), 5);
    EXPECT_EQ(convert(t, "ABC", 850, 6666), 6);
    MQIFunctionTable empty{};
    EXPECT_EQ(convert(empty, "ABC", 850, 37), 6);
}

// UTF-16 is decoded without MQXCNVC: each byte order, a surrogate pair, a lone surrogate and a last
// odd byte (what is left when a character's zero half was trimmed off).
TEST(ConvertString, DecodesUtf16InEachByteOrder) {
    const struct {
        int32_t ccsid;
        std::string in;
        std::string utf8;
    } cases[] = {
        {1202, std::string("j\0\xFC\0", 4), "j\xC3\xBC"},
        {1201, std::string("\0j\0\xFC", 4), "j\xC3\xBC"},
        {1200, std::string("j\0\xFC\0", 4), "j\xC3\xBC"},  // native: little-endian here
        {1200, std::string("\xFE\xFF\0j", 4), "j"},        // the mark says big-endian
        {1201,
         std::string("\xFF\xFE"
                     "j\0",
                     4),
         "j"},                                                   // and over 1201, little-endian
        {1201, "\xD8\x34\xDD\x1E", "\xF0\x9D\x84\x9E"},          // U+1D11E
        {1201, std::string("\xDD\x1E\0j", 4), "\xEF\xBF\xBDj"},  // a lone low surrogate
        {1202, std::string("j\0n", 3), "jn"},
        {1201, std::string("\0jn", 3), "j"},
    };
    MQIFunctionTable empty{};  // no MQXCNVC is needed for UTF-8
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ccsid);
        char out[32] = {};
        int32_t length = sizeof out;
        ASSERT_EQ(MQConvertString(&empty, 1, c.in.data(), static_cast<int32_t>(c.in.size()), out, &length,
                                  c.ccsid, 1208),
                  0);
        EXPECT_EQ(std::string(out, static_cast<size_t>(length)), c.utf8);
    }
    // A target too small takes the whole characters that fit.
    char out[2] = {};
    int32_t length = sizeof out;
    ASSERT_EQ(MQConvertString(&empty, 1, "j\0\xFC\0", 4, out, &length, 1202, 1208), 0);
    EXPECT_EQ(std::string(out, static_cast<size_t>(length)), "j");
}

TEST(ConvertString, PrintsTheDebugLineOnlyWhenAskedTo) {
    MQIFunctionTable t = fakexcnvc::table();
    gLines.clear();
    evDumpSink previous = evSetDumpSink(capture);
    {
        zt::ScopedEnv off("CS_CONVERSION_DEBUG", nullptr);
        convert(t, "ABC", 850, 9999);
    }
    EXPECT_TRUE(gLines.empty());
    {
        zt::ScopedEnv on("CS_CONVERSION_DEBUG", "1");
        convert(t, "ABC", 850, 9999);
        convert(t, "ABC", 850, 37);
    }
    evSetDumpSink(previous);
    ASSERT_EQ(gLines.size(), 1u);
    EXPECT_EQ(gLines[0], "MQXCNVC(850 -> 9999) RC(2115)");
}

TEST(Punctuation, ConvertsEachCharacterOnceAndKeepsTheEntry) {
    MQIFunctionTable t = fakexcnvc::table();
    const MQPunctuationEntry *e = MQCcsidPunctuation(&t, 1, 37);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->ccsid, 37u);
    EXPECT_EQ(std::string(e->chars, 6), std::string("\xBA\xBB\xC0\xD0\x5A\x7D", 6));
    int calls = fakexcnvc::calls.load();
    EXPECT_EQ(MQCcsidPunctuation(&t, 1, 37), e);  // found, not made again
    EXPECT_EQ(fakexcnvc::calls.load(), calls);
}

TEST(Punctuation, AFailedQuoteKeepsAllSixAsInCcsid850) {
    MQIFunctionTable t = fakexcnvc::table();
    const MQPunctuationEntry *e = MQCcsidPunctuation(&t, 1, 9999);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->chars, 6), "[]{}!'");
    // A later failure keeps only that character.
    const MQPunctuationEntry *partial = MQCcsidPunctuation(&t, 1, 500);
    ASSERT_NE(partial, nullptr);
    EXPECT_EQ(std::string(partial->chars, 6), std::string("\xBA\xBB\xC0\xD0!\x7D", 6));
}
