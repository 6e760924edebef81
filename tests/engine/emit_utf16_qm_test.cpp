// Texts an event item carries in UTF-16 (CCSID 1200 and its byte orders) in a message the queue
// manager does not convert (the message itself in its CCSID): the real program shows each in the
// files of every format, in DISPLAY EVENTS and in its hooks converted from the item's own CCSID.
#include <string>

#include "../script/hooks_testing.h"
#include "tests/engine/emitfiles.h"

namespace {

using ef::EmitFilesQmTest;
using pt::Zunt;

// "jürgen" and a digit in UTF-16, big- or little-endian.
std::string utf16(char digit, bool little) {
    std::string out;
    for (const char16_t ch : {u'j', u'\u00FC', u'r', u'g', u'e', u'n', static_cast<char16_t>(digit)}) {
        const char high = static_cast<char>(ch >> 8);
        const char low = static_cast<char>(ch & 0xFF);
        out += little ? std::string{low, high} : std::string{high, low};
    }
    return out;
}

// The event about name with an MQCFST USERID of the ccsid appended.
std::string withUserId(std::string event, int32_t ccsid, const std::string &text) {
    const size_t padded = (text.size() + 3) / 4 * 4;
    const MQLONG head[] = {MQCFT_STRING, static_cast<MQLONG>(20 + padded), MQCACF_USER_IDENTIFIER, ccsid,
                           static_cast<MQLONG>(text.size())};
    event.append(reinterpret_cast<const char *>(head), sizeof head);
    event += text;
    event.append(padded - text.size(), '\0');
    MQLONG count = 0;
    std::memcpy(&count, event.data() + offsetof(MQCFH, ParameterCount), sizeof count);
    count++;
    std::memcpy(event.data() + offsetof(MQCFH, ParameterCount), &count, sizeof count);
    return event;
}

TEST_F(EmitFilesQmTest, Utf16ItemsAreConvertedFromTheirOwnCcsidEverywhere) {
    // Each form of UTF-16 an item can come in, told apart by the digit.
    const struct {
        int32_t ccsid;
        std::string bytes;
    } items[] = {
        {1200, utf16('1', true)},                // 1200 in the native (the message's) byte order
        {1202, utf16('2', true)},                // little-endian
        {1201, utf16('3', false)},               // big-endian
        {1200, "\xFE\xFF" + utf16('4', false)},  // a byte-order mark decides
    };
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    const std::string hook = "print 'UID', event.evuserid, event.userid\n";
    dir.write("hook.vdr", ht::script("", {{"ZUNTEvent", hook}}));
    for (const uint32_t format : {EV_EMIT_NDJSON, EV_EMIT_CSV, EV_EMIT_MQSC}) {
        SCOPED_TRACE(format);
        const std::string folder = "utf16-" + std::to_string(format);
        const std::string out = useEmitter(folder, format, EV_ONERROR_SUSPEND, 0, "ev.txt");
        for (size_t i = 0; i < std::size(items); i++) {
            const std::string name = "K.00000000000" + std::to_string(10 + i);
            putMessage(pt::kQmgrEvents, MQFMT_EVENT,
                       withUserId(eventFor(name), items[i].ccsid, items[i].bytes));
        }
        std::vector<std::string> options = runOptions();
        options.insert(options.end(), {"-f", dir.file("hook.vdr")});
        Zunt zunt(dir, folder, options);
        EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        const std::string shown = command("DISPLAY EVENTS(*) FROM(any) USERID");
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const ef::Files files = ef::readFiles(out, format);
        EXPECT_EQ(files.damaged, "");
        ASSERT_EQ(files.texts.size(), 1u);
        const std::string &text = files.texts[0].second;
        EXPECT_EQ(text.find('\0'), std::string::npos) << text;
        for (const char digit : {'1', '2', '3', '4'}) {
            SCOPED_TRACE(digit);
            const std::string latin1 = std::string("j\xFCrgen") + digit;
            if (format == EV_EMIT_NDJSON) {
                EXPECT_NE(text.find(std::string("\"j\xC3\xBCrgen") + digit + "\""), std::string::npos)
                    << text;
            } else if (format == EV_EMIT_CSV) {
                EXPECT_NE(text.find("," + latin1 + "\n"), std::string::npos) << text;
            } else {
                EXPECT_NE(text.find("('" + latin1 + "')"), std::string::npos) << text;
            }
            if (format != EV_EMIT_NDJSON) continue;
            EXPECT_NE(zunt.out().find("UID " + latin1 + " " + latin1 + "\n"), std::string::npos)
                << zunt.out();
            // The reply is in CCSID 850, where u-umlaut is 0x81.
            EXPECT_NE(shown.find(std::string("USERID(j\x81rgen") + digit + ") "), std::string::npos) << shown;
        }
    }
}

// A UTF-8 event whose name holds a euro sign and Japanese: the get gives the program the event in
// CCSID 819 with a substitution character for each, which it says once for the queue.
TEST_F(EmitFilesQmTest, SubstitutedCharactersOfAnEventAreSaidOncePerQueue) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(CONVERT.Q) REPLACE\n"), 0);
    useEmitter("subst", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "ev.txt");
    for (const char *name : {"K.\xE2\x82\xAC\xE6\x97\xA5\xE6\x9C\xAC"
                             "0001",
                             "K.\xE2\x82\xAC"
                             "0000000002"}) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
        md.CodedCharSetId = 1208;
        putMessage(pt::kQmgrEvents, md, inCcsid(name, 1208));
    }
    Zunt zunt(dir, "subst", runOptions());
    EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_TRUE(drained()) << undrained();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    const std::string line =
        "Event queue 'SYSTEM.ADMIN.QMGR.EVENT': 3 characters of an event's texts have no "
        "equivalent in CCSID 819 and were replaced by a substitution character (said once "
        "for this queue)";
    const std::string log = zunt.log();
    const size_t at = log.find(line);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("substitution character", at + line.size()), std::string::npos) << log;
}

}  // namespace
