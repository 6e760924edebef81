// Code-page conversion: known bytes in each code page, MQXCNVC's reason codes, truncation at
// character boundaries and MQGET's conversion of MQSTR messages.
#include <gtest/gtest.h>

#include <string>

#include "miniqm/convert.h"

namespace {

std::string conv(MQLONG from, const std::string &in, MQLONG to, MQLONG *reason = nullptr) {
    std::string out;
    MQLONG r = qmconv::convert(from, true, in, to, true, out);
    if (reason) *reason = r;
    return out;
}

struct Xcnvc {
    MQLONG cc = -1, reason = -1, dataLength = -1;
    std::string out;
};

Xcnvc xcnvc(MQLONG options, MQLONG from, const std::string &in, MQLONG to, MQLONG targetLength) {
    Xcnvc x;
    x.out.assign(static_cast<size_t>(targetLength > 0 ? targetLength : 0), '#');
    qmconv::xcnvc(options, from, static_cast<MQLONG>(in.size()), const_cast<char *>(in.data()), to,
                  targetLength, x.out.data(), &x.dataLength, &x.cc, &x.reason);
    if (x.dataLength >= 0 && x.dataLength <= targetLength) x.out.resize(static_cast<size_t>(x.dataLength));
    return x;
}

constexpr MQLONG kSystemOptions = 545;  // default conversion, native source and target encodings

TEST(Convert, LetterAIsAsciiInLatinPagesAndC1InEbcdic) {
    EXPECT_EQ(conv(819, "A", 500), "\xC1");
    EXPECT_EQ(conv(819, "A", 37), "\xC1");
    EXPECT_EQ(conv(500, "\xC1", 819), "A");
    EXPECT_EQ(conv(37, "\xC1\xC2\xF1\x40", 1208), "AB1 ");
    // The brackets differ between the two EBCDIC pages.
    EXPECT_EQ(conv(819, "[]", 500), "\x4A\x5A");
    EXPECT_EQ(conv(819, "[]", 37), "\xBA\xBB");
}

TEST(Convert, AccentsBetween850And1208And1252) {
    // e acute: 0x82 in 437 and 850, 0xE9 in 819 and 1252, C3 A9 in UTF-8, 0x51 in 500.
    EXPECT_EQ(conv(850, "\x82", 1208), "\xC3\xA9");
    EXPECT_EQ(conv(1208, "\xC3\xA9", 850), "\x82");
    EXPECT_EQ(conv(437, "\x82", 1252), "\xE9");
    EXPECT_EQ(conv(1252, "\xE9", 500), "\x51");
    // The euro sign exists in 1252 (0x80) and 858 but not in 850 or 819: substitution character.
    EXPECT_EQ(conv(1252, "\x80", 1208), "\xE2\x82\xAC");
    EXPECT_EQ(conv(1208, "\xE2\x82\xAC", 819), "\x1A");
    EXPECT_EQ(conv(1208, "\xE2\x82\xAC", 500), "\x3F");
}

TEST(Convert, Utf16ByteOrderFollowsTheEncoding) {
    std::string out;
    EXPECT_EQ(qmconv::convert(819, false, "A\xE9", 1200, true, out), MQRC_NONE);
    EXPECT_EQ(out, std::string("A\0\xE9\0", 4));
    EXPECT_EQ(qmconv::convert(819, false, "A\xE9", 1200, false, out), MQRC_NONE);
    EXPECT_EQ(out, std::string("\0A\0\xE9", 4));
    // A character outside the basic plane goes through a surrogate pair and back.
    std::string clef = "\xF0\x9D\x84\x9E", utf16;
    EXPECT_EQ(qmconv::convert(1208, false, clef, 1200, false, utf16), MQRC_NONE);
    EXPECT_EQ(utf16, "\xD8\x34\xDD\x1E");
    EXPECT_EQ(qmconv::convert(1200, false, utf16, 1208, false, out), MQRC_NONE);
    EXPECT_EQ(out, clef);
}

TEST(Convert, SingleBytePagesRoundTripThroughUnicode) {
    for (MQLONG ccsid : {37, 437, 500, 819, 850, 1252}) {
        std::string all;
        for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
        EXPECT_EQ(conv(1208, conv(ccsid, all, 1208), ccsid), all) << ccsid;
    }
}

TEST(Convert, InvalidUnicodeSourceIsADbcsError) {
    MQLONG r;
    conv(1208, "ab\xC3", 819, &r);  // cut in the middle of a character
    EXPECT_EQ(r, MQRC_DBCS_ERROR);
    conv(1208, "\xC0\x81", 819, &r);  // overlong form
    EXPECT_EQ(r, MQRC_DBCS_ERROR);
    conv(1208, "\xED\xA0\x80", 819, &r);  // a surrogate written as UTF-8
    EXPECT_EQ(r, MQRC_DBCS_ERROR);
    conv(1200, std::string("\0A\0", 3), 819, &r);
    EXPECT_EQ(r, MQRC_DBCS_ERROR);
}

TEST(Xcnvc, UnknownCcsidsGiveSourceAndTargetErrorsEvenWithDefaultConversion) {
    Xcnvc x = xcnvc(kSystemOptions, 4711, "abc", 819, 10);
    EXPECT_EQ(x.cc, MQCC_FAILED);
    EXPECT_EQ(x.reason, MQRC_SOURCE_CCSID_ERROR);
    x = xcnvc(kSystemOptions, 819, "abc", 4711, 10);
    EXPECT_EQ(x.cc, MQCC_FAILED);
    EXPECT_EQ(x.reason, MQRC_TARGET_CCSID_ERROR);
    x = xcnvc(kSystemOptions, 4711, "abc", 4712, 10);
    EXPECT_EQ(x.reason, MQRC_SOURCE_CCSID_ERROR);
}

TEST(Xcnvc, ConvertsWithTheSystemsOptions) {
    Xcnvc x = xcnvc(kSystemOptions, 850, "Caf\x82", 1208, 16);
    EXPECT_EQ(x.cc, MQCC_OK);
    EXPECT_EQ(x.reason, MQRC_NONE);
    EXPECT_EQ(x.dataLength, 5);
    EXPECT_EQ(x.out, "Caf\xC3\xA9");
}

TEST(Xcnvc, SmallTargetTruncatesAtACharacterWithAWarning) {
    Xcnvc x = xcnvc(kSystemOptions, 819, "ABCDEF", 500, 4);
    EXPECT_EQ(x.cc, MQCC_WARNING);
    EXPECT_EQ(x.reason, MQRC_CONVERTED_MSG_TOO_BIG);
    EXPECT_EQ(x.dataLength, 4);
    EXPECT_EQ(x.out, "\xC1\xC2\xC3\xC4");
    // e acute needs two bytes in UTF-8: it does not fit in the one byte left, so it is left out.
    x = xcnvc(kSystemOptions, 850, "ab\x82", 1208, 3);
    EXPECT_EQ(x.reason, MQRC_CONVERTED_MSG_TOO_BIG);
    EXPECT_EQ(x.dataLength, 2);
    EXPECT_EQ(x.out, "ab");
}

TEST(Xcnvc, FillTargetBufferPadsWithTheTargetsBlank) {
    Xcnvc x = xcnvc(MQDCC_FILL_TARGET_BUFFER, 819, "AB", 500, 5);
    EXPECT_EQ(x.cc, MQCC_OK);
    EXPECT_EQ(x.dataLength, 5);
    EXPECT_EQ(x.out, "\xC1\xC2\x40\x40\x40");
}

TEST(Xcnvc, BadArgumentsAreRefused) {
    MQLONG dl = 0, cc = 0, r = 0;
    char buf[4] = {};
    qmconv::xcnvc(0x1000, 819, 1, buf, 819, 4, buf, &dl, &cc, &r);
    EXPECT_EQ(r, MQRC_OPTIONS_ERROR);
    qmconv::xcnvc(0, 819, -1, buf, 819, 4, buf, &dl, &cc, &r);
    EXPECT_EQ(r, MQRC_SOURCE_LENGTH_ERROR);
    qmconv::xcnvc(0, 819, 1, buf, 819, -4, buf, &dl, &cc, &r);
    EXPECT_EQ(r, MQRC_TARGET_LENGTH_ERROR);
    EXPECT_EQ(cc, MQCC_FAILED);
}

TEST(ConvertMessage, StringsConvertOtherFormatsDoNot) {
    std::string out;
    EXPECT_EQ(qmconv::convertMessage(MQFMT_STRING, 819, MQENC_NATIVE, "Hi", 500, MQENC_NATIVE, out),
              MQRC_NONE);
    EXPECT_EQ(out, "\xC8\x89");
    // Nothing to do: same CCSID and encoding, whatever the format.
    EXPECT_EQ(qmconv::convertMessage(MQFMT_NONE, 819, MQENC_NATIVE, "Hi", 819, MQENC_NATIVE, out), MQRC_NONE);
    EXPECT_EQ(out, "Hi");
    // MQFMT_NONE cannot be converted; the data comes back as it was.
    EXPECT_EQ(qmconv::convertMessage(MQFMT_NONE, 819, MQENC_NATIVE, "Hi", 500, MQENC_NATIVE, out),
              MQRC_FORMAT_ERROR);
    EXPECT_EQ(out, "Hi");
    EXPECT_EQ(qmconv::convertMessage(MQFMT_STRING, 4711, MQENC_NATIVE, "Hi", 500, MQENC_NATIVE, out),
              MQRC_SOURCE_CCSID_ERROR);
    EXPECT_EQ(out, "Hi");
    EXPECT_EQ(qmconv::convertMessage(MQFMT_STRING, 819, MQENC_NATIVE, "Hi", 4711, MQENC_NATIVE, out),
              MQRC_TARGET_CCSID_ERROR);
}

}  // namespace

namespace {

void le32(std::string &s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// An event message as the system reads them: header, an integer, a string and a string list.
std::string pcfEvent(const std::string &qname) {
    std::string m;
    for (uint32_t v : {7u, 36u, 1u, 44u, 1u, 1u, 2u, 2085u, 3u}) le32(m, v);  // MQCFH
    for (uint32_t v : {3u, 16u, 1001u, 42u}) le32(m, v);                      // MQCFIN
    std::string s = qname;
    while (s.size() % 4) s += ' ';
    for (uint32_t v :
         {4u, static_cast<uint32_t>(20 + s.size()), 2016u, 0u, static_cast<uint32_t>(qname.size())})
        le32(m, v);
    m += qname;
    m.append(s.size() - qname.size(), '\0');
    for (uint32_t v : {6u, 32u, 3002u, 0u, 2u, 4u}) le32(m, v);  // MQCFSL: two strings of 4
    m += "ABCDWXYZ";
    return m;
}

TEST(ConvertMessage, PcfMessagesChangeByteOrderAndCodePage) {
    std::string event = pcfEvent("Q1"), out, back;
    const MQLONG normal = MQENC_INTEGER_NORMAL | MQENC_DECIMAL_NORMAL | MQENC_FLOAT_IEEE_NORMAL;
    ASSERT_EQ(qmconv::convertMessage(MQFMT_EVENT, 819, MQENC_NATIVE, event, 500, normal, out), MQRC_NONE);
    ASSERT_EQ(out.size(), event.size());
    EXPECT_EQ(out.substr(0, 8), std::string("\0\0\0\x07\0\0\0\x24", 8));
    EXPECT_EQ(out.substr(36 + 12, 4), std::string("\0\0\0\x2A", 4));  // the integer's value
    EXPECT_EQ(out.substr(52 + 20, 2), "\xD8\xF1");                    // "Q1" in EBCDIC
    EXPECT_EQ(out.substr(76 + 24, 8), "\xC1\xC2\xC3\xC4\xE6\xE7\xE8\xE9");
    ASSERT_EQ(qmconv::convertMessage(MQFMT_EVENT, 500, normal, out, 819, MQENC_NATIVE, back), MQRC_NONE);
    EXPECT_EQ(back, event);
}

TEST(ConvertMessage, PcfStringsThatGrowGetNewLengths) {
    std::string event = pcfEvent("\xE9t\xE9s"), out;  // e acute: two bytes in UTF-8
    ASSERT_EQ(qmconv::convertMessage(MQFMT_ADMIN, 819, MQENC_NATIVE, event, 1208, MQENC_NATIVE, out),
              MQRC_NONE);
    std::string cfst = out.substr(52);
    EXPECT_EQ(cfst.substr(4, 4), std::string("\x1C\0\0\0", 4));   // StrucLength 28
    EXPECT_EQ(cfst.substr(16, 4), std::string("\x06\0\0\0", 4));  // StringLength 6
    EXPECT_EQ(cfst.substr(20, 8), std::string("\xC3\xA9t\xC3\xA9s\0\0", 8));
    EXPECT_EQ(out.size(), event.size() + 4);
}

TEST(ConvertMessage, DamagedPcfIsAFormatErrorAndComesBackUnchanged) {
    std::string event = pcfEvent("Q1"), out;
    std::string cut = event.substr(0, event.size() - 4);
    EXPECT_EQ(qmconv::convertMessage(MQFMT_EVENT, 819, MQENC_NATIVE, cut, 500, MQENC_NATIVE, out),
              MQRC_FORMAT_ERROR);
    EXPECT_EQ(out, cut);
    std::string bad = event;
    bad[52 + 4] = 0x7F;  // a string structure longer than the message
    EXPECT_EQ(qmconv::convertMessage(MQFMT_EVENT, 819, MQENC_NATIVE, bad, 500, MQENC_NATIVE, out),
              MQRC_FORMAT_ERROR);
}

}  // namespace
