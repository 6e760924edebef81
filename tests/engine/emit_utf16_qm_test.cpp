// Texts an event item carries in UTF-16 (CCSID 1200 and its byte orders) in a message the queue
// manager does not convert (the message itself in its CCSID): the real program shows each in the
// files of every format, in DISPLAY EVENTS and in its hooks converted from the item's own CCSID.
#include <bit>
#include <optional>
#include <set>
#include <string>

#include "../script/hooks_testing.h"
#include "tests/engine/emitfiles.h"

namespace {

using ef::EmitFilesQmTest;
using pt::Zunt;

// The text and a digit in UTF-16, big- or little-endian.
std::string utf16(const std::u16string &text, char digit, bool little) {
    std::string out;
    std::u16string all = text;
    all += static_cast<char16_t>(digit);
    for (const char16_t ch : all) {
        const char high = static_cast<char>(ch >> 8);
        const char low = static_cast<char>(ch & 0xFF);
        out += little ? std::string{low, high} : std::string{high, low};
    }
    return out;
}
std::string utf16(char digit, bool little) {
    return utf16(u"j\u00FCrgen", digit, little);
}

// The event with one parameter appended: its fixed part, its bytes padded to 4, the header's count
// raised.
std::string withParameter(std::string event, const MQLONG *head, size_t headSize, const std::string &bytes) {
    event.append(reinterpret_cast<const char *>(head), headSize);
    event += bytes;
    event.append((bytes.size() + 3) / 4 * 4 - bytes.size(), '\0');
    MQLONG count = 0;
    std::memcpy(&count, event.data() + offsetof(MQCFH, ParameterCount), sizeof count);
    count++;
    std::memcpy(event.data() + offsetof(MQCFH, ParameterCount), &count, sizeof count);
    return event;
}

// The event with an MQCFST of the parameter in the ccsid appended.
std::string withItem(std::string event, MQLONG parameter, int32_t ccsid, const std::string &text) {
    const size_t padded = (text.size() + 3) / 4 * 4;
    const MQLONG head[] = {MQCFT_STRING, static_cast<MQLONG>(20 + padded), parameter, ccsid,
                           static_cast<MQLONG>(text.size())};
    return withParameter(std::move(event), head, sizeof head, text);
}
std::string withUserId(std::string event, int32_t ccsid, const std::string &text) {
    return withItem(std::move(event), MQCACF_USER_IDENTIFIER, ccsid, text);
}

// The event with the MQCFST whose text starts at nameAt (the object's name) carrying text in ccsid.
std::string withName(const std::string &event, size_t nameAt, int32_t ccsid, const std::string &text) {
    const size_t at = nameAt - 20;
    MQLONG old[3] = {};
    std::memcpy(old, event.data() + at, sizeof old);  // type, length, parameter
    const size_t padded = (text.size() + 3) / 4 * 4;
    const MQLONG head[] = {MQCFT_STRING, static_cast<MQLONG>(20 + padded), old[2], ccsid,
                           static_cast<MQLONG>(text.size())};
    std::string item(reinterpret_cast<const char *>(head), sizeof head);
    item += text;
    item.append(padded - text.size(), '\0');
    return event.substr(0, at) + item + event.substr(at + static_cast<size_t>(old[1]));
}

// Whether text is strict UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
bool strictUtf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t n = lead < 0x80                   ? 1
                         : lead >= 0xC2 && lead < 0xE0 ? 2
                         : lead >= 0xE0 && lead < 0xF0 ? 3
                         : lead >= 0xF0 && lead < 0xF5 ? 4
                                                       : 0;
        if (n == 0 || i + n > text.size()) return false;
        uint32_t code = n == 1 ? lead : lead & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            code = code << 6 | (c & 0x3F);
        }
        if ((n == 3 && code < 0x800) || (n == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

TEST_F(EmitFilesQmTest, Utf16ItemsAreConvertedFromTheirOwnCcsidEverywhere) {
    // Each form of UTF-16 an item can come in, told apart by the digit: the user and the object's
    // name "Qü.<digit>" (which the summary line shows) in it.
    const struct {
        int32_t ccsid;
        std::string user;
        std::string name;
    } items[] = {
        // 1200 in the native (the message's) byte order
        {1200, utf16('1', true), utf16(u"Q\u00FC.", '1', true)},
        // little-endian
        {1202, utf16('2', true), utf16(u"Q\u00FC.", '2', true)},
        // big-endian
        {1201, utf16('3', false), utf16(u"Q\u00FC.", '3', false)},
        // a byte-order mark decides
        {1200, "\xFE\xFF" + utf16('4', false), "\xFE\xFF" + utf16(u"Q\u00FC.", '4', false)},
    };
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    const std::string hook = "print 'UID', event.evuserid, event.userid\nprint 'SUM', event.summary, '|'\n";
    dir.write("hook.vdr", ht::script("", {{"ZUNTEvent", hook}}));
    for (const uint32_t format : {EV_EMIT_JSON, EV_EMIT_NDJSON, EV_EMIT_CSV, EV_EMIT_MQSC}) {
        SCOPED_TRACE(format);
        const std::string folder = "utf16-" + std::to_string(format);
        const std::string out = useEmitter(folder, format, EV_ONERROR_SUSPEND, 0, "ev.txt");
        for (const auto &item : items)
            putMessage(pt::kQmgrEvents, MQFMT_EVENT,
                       withUserId(withName(eventFor("K.0000000000000"), nameAt, item.ccsid, item.name),
                                  item.ccsid, item.user));
        std::vector<std::string> options = runOptions();
        options.insert(options.end(), {"-f", dir.file("hook.vdr")});
        Zunt zunt(dir, folder, options);
        EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        const std::string shown = command("DISPLAY EVENTS(*) FROM(any) ALL");
        // The filters compare each text as it reads in the command's code page (819, 'ü' 0xFC).
        const std::string where = command("DISPLAY EVENTS(*) FROM(any) WHERE(EVUSERID EQ 'j\xFCrgen2') ALL");
        const std::string named = command("DISPLAY EVENTS(*) FROM(any) WHERE(EVOBJNAME EQ 'Q\xFC.3') ALL");
        const std::string user = command("DISPLAY EVENTS(*) FROM(any) EVUSERID('J\xFCRGEN4') ALL");
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
            const std::string summary = std::string("Local - Unknown Object Name - Queue:Q\xFC.") + digit;
            if (format == EV_EMIT_NDJSON || format == EV_EMIT_JSON) {
                EXPECT_NE(text.find(std::string("\"j\xC3\xBCrgen") + digit + "\""), std::string::npos)
                    << text;
                EXPECT_NE(
                    text.find(std::string("\"Local - Unknown Object Name - Queue:Q\xC3\xBC.") + digit + "\""),
                    std::string::npos)
                    << text;
            } else if (format == EV_EMIT_CSV) {
                EXPECT_NE(text.find("," + latin1 + "\n"), std::string::npos) << text;
                EXPECT_NE(text.find("," + summary + "\n"), std::string::npos) << text;
            } else {
                EXPECT_NE(text.find("('" + latin1 + "')"), std::string::npos) << text;
                EXPECT_NE(text.find("('" + summary + "')"), std::string::npos) << text;
            }
            // The first run's program alone has stored these events.
            if (format != EV_EMIT_JSON) continue;
            EXPECT_NE(zunt.out().find("UID " + latin1 + " " + latin1 + "\n"), std::string::npos)
                << zunt.out();
            EXPECT_NE(zunt.out().find("SUM " + summary + " |\n"), std::string::npos) << zunt.out();
            // The reply is in CCSID 850, where u-umlaut is 0x81.
            EXPECT_NE(shown.find(std::string("USERID(j\x81rgen") + digit + ") "), std::string::npos) << shown;
            EXPECT_NE(shown.find(std::string("EVUSERID(j\x81rgen") + digit + ")"), std::string::npos)
                << shown;
            EXPECT_NE(shown.find(std::string("EVOBJNAME(Q\x81.") + digit + ")"), std::string::npos) << shown;
            EXPECT_NE(
                shown.find(std::string("SUMMARY(Local - Unknown Object Name - Queue:Q\x81.") + digit + ")"),
                std::string::npos)
                << shown;
        }
        if (format != EV_EMIT_JSON) continue;
        // Each filter finds the one event it names.
        for (const auto &[reply, digit] :
             {std::pair{where, '2'}, std::pair{named, '3'}, std::pair{user, '4'}}) {
            EXPECT_EQ(et::countOf(reply, "EVUSERID("), 1) << reply;
            EXPECT_NE(reply.find(std::string("EVUSERID(j\x81rgen") + digit + ")"), std::string::npos)
                << reply;
        }
    }
}

// Texts that are not valid in their own CCSID: a UTF-8 event whose user is the lone lead byte C3
// and whose description holds E2 82 (cut short), FF, 'A' and F0 (cut short); and an 819 event with
// items in CCSID 1208, a description 'A' FF 'B' and a user in the overlong form C0 AF. Each file is
// valid in its code page, UTF-8 ones strictly (and JSON parses), with U+FFFD for each ill-formed
// part, or the records' substitution character; so is the queue emitter's message and the display.
TEST_F(EmitFilesQmTest, TextsNotValidInTheirCcsidAreShownAsReplacementCharacters) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\nDEFINE QLOCAL(CONVERT.Q) REPLACE\n"
                      "DEFINE QLOCAL(EMIT.Q) REPLACE\n"),
              0);
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        uint32_t format;
        bool utf8;  // ZUNT_EMIT_CCSID=1208 (JSON and NDJSON are UTF-8 whatever it is)
    } cases[] = {{EV_EMIT_JSON, false}, {EV_EMIT_NDJSON, false}, {EV_EMIT_CSV, false},
                 {EV_EMIT_MQSC, false}, {EV_EMIT_CSV, true},     {EV_EMIT_MQSC, true}};
    for (const auto &run : cases) {
        SCOPED_TRACE(std::to_string(run.format) + (run.utf8 ? " 1208" : ""));
        const std::string folder = "invalid-" + std::to_string(run.format) + (run.utf8 ? "-1208" : "");
        const std::string out = useEmitter(folder, run.format, EV_ONERROR_SUSPEND, 0, "ev.txt");
        // The first event gives the records their code page, 819.
        putMessage(pt::kQmgrEvents, MQFMT_EVENT, eventFor("K.0000000000001"));
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
        md.CodedCharSetId = 1208;
        putMessage(pt::kQmgrEvents, md,
                   withItem(withUserId(inCcsid("K.0000000000002", 1208), 0, "\xC3"), MQCA_Q_DESC, 0,
                            "\xE2\x82\xFF\x41\xF0"));
        putMessage(pt::kQmgrEvents, MQFMT_EVENT,
                   withItem(withUserId(eventFor("K.0000000000003"), 1208, "\xC0\xAF"), MQCA_Q_DESC, 1208,
                            "A\xFF"
                            "B"));
        // A character outside Latin-1 in UTF-16, which a UTF-8 file keeps.
        putMessage(pt::kQmgrEvents, MQFMT_EVENT,
                   withUserId(eventFor("K.0000000000004"), 1202, utf16(u"\u20AC\u65E5", '4', true)));
        std::vector<std::string> environment;
        if (run.utf8) environment.push_back("ZUNT_EMIT_CCSID=1208");
        Zunt zunt(dir, folder, runOptions(), environment);
        EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        const std::string shown = command("DISPLAY EVENTS(*) FROM(any) ALL");
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const ef::Files files = ef::readFiles(out, run.format);
        EXPECT_EQ(files.damaged, "");
        ASSERT_EQ(files.texts.size(), 1u);
        const std::string &text = files.texts[0].second;
        const bool utf8 = run.utf8 || run.format == EV_EMIT_JSON || run.format == EV_EMIT_NDJSON;
        if (utf8) {
            EXPECT_TRUE(strictUtf8(text)) << text;
        }
        // The texts as the file's code page shows them.
        const std::string bad = utf8 ? fffd : "\x1A";
        const std::string description = bad + bad + "A" + bad;
        const std::vector<std::string> texts = {bad, description, "A" + bad + "B", bad + bad,
                                                utf8 ? "\xE2\x82\xAC\xE6\x97\xA5\x34" : "\x1A\x1A\x34"};
        for (const std::string &shownText : texts) {
            SCOPED_TRACE(shownText);
            if (run.format == EV_EMIT_JSON || run.format == EV_EMIT_NDJSON) {
                EXPECT_NE(text.find("\"" + shownText + "\""), std::string::npos) << text;
            } else if (run.format == EV_EMIT_CSV) {
                EXPECT_NE(text.find("," + shownText + "\n"), std::string::npos) << text;
            } else {
                std::string escaped;  // MQSC writes a control character as \xHH
                for (const char c : shownText)
                    escaped += c == '\x1A' ? std::string("\\x1A") : std::string(1, c);
                EXPECT_NE(text.find("('" + escaped + "')"), std::string::npos) << text;
            }
        }
        if (run.format != EV_EMIT_NDJSON) continue;
        // The display, in CCSID 850: the replacement characters become its substitution character.
        EXPECT_NE(shown.find("DESCR(\x1A\x1A"
                             "A\x1A)"),
                  std::string::npos)
            << shown;
        EXPECT_NE(shown.find("DESCR(A\x1A"
                             "B)"),
                  std::string::npos)
            << shown;
        EXPECT_NE(shown.find("EVUSERID(\x1A\x1A)"), std::string::npos) << shown;
        EXPECT_NE(shown.find("EVUSERID(\x1A)"), std::string::npos) << shown;
        // Counted as the intake counts what it loses: once for the queue, with the first event's count.
        EXPECT_EQ(et::countOf(zunt.log(),
                              "Event queue 'SYSTEM.ADMIN.QMGR.EVENT': 4 characters of an event's "
                              "texts are not valid in their CCSID"),
                  1)
            << zunt.log();
    }
    // The queue emitter's JSON message: strict UTF-8 that parses.
    for (const uint32_t format : {EV_EMIT_JSON, EV_EMIT_NDJSON}) {
        SCOPED_TRACE(format);
        emptyQueue(pt::kQmgrEvents);
        emptyQueue("EMIT.Q");
        ef::gEmitter = ef::EmitterSetup{"", format, EV_ONERROR_SUSPEND, 0};
        seed([] {
            ef::fileEmitter();
            EmitterDef *e = evFindEmitterDef("FILES", -1);
            ASSERT_NE(e, nullptr);
            e->file[0] = 0;
            std::snprintf(e->queue, sizeof e->queue, "EMIT.Q");
        });
        putMessage(pt::kQmgrEvents, MQFMT_EVENT,
                   withItem(withUserId(eventFor("K.0000000000005"), 1208, "\xC0\xAF"), MQCA_Q_DESC, 1208,
                            "A\xFF"
                            "B"));
        Zunt zunt(dir, "queue" + std::to_string(format), runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const std::string message = takeFirst("EMIT.Q", MQGMO_NO_SYNCPOINT);
        EXPECT_TRUE(strictUtf8(message)) << message;
        EXPECT_EQ(ef::checkText(message, format), "") << message;
        EXPECT_NE(message.find("\"A" + fffd + "B\""), std::string::npos) << message;
        EXPECT_NE(message.find("\"" + fffd + fffd + "\""), std::string::npos) << message;
    }
}

// The event with an MQCFSL of the parameter in the ccsid appended: the strings, all of one length.
std::string withList(std::string event, MQLONG parameter, int32_t ccsid,
                     const std::vector<std::string> &texts) {
    const size_t each = texts.empty() ? 0 : texts[0].size();
    std::string strings;
    for (const std::string &text : texts) strings += text;
    const size_t padded = (strings.size() + 3) / 4 * 4;
    const MQLONG head[] = {MQCFT_STRING_LIST,
                           static_cast<MQLONG>(MQCFSL_STRUC_LENGTH_FIXED + padded),
                           parameter,
                           ccsid,
                           static_cast<MQLONG>(texts.size()),
                           static_cast<MQLONG>(each)};
    return withParameter(std::move(event), head, sizeof head, strings);
}

// UTF-16 (strict: whole units, no lone surrogate) as UTF-8; nullopt when it is not valid.
std::optional<std::string> strictUtf16(const std::string &text, int32_t ccsid) {
    if (text.size() % 2 != 0) return std::nullopt;
    bool little = ccsid == 1202 || (ccsid == 1200 && std::endian::native == std::endian::little);
    size_t at = 0;
    if (text.size() >= 2 && (text.compare(0, 2, "\xFE\xFF") == 0 || text.compare(0, 2, "\xFF\xFE") == 0)) {
        little = text[0] == '\xFF';
        at = 2;
    }
    auto unit = [&](size_t i) {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(text[i + 1]);
        return little ? static_cast<uint32_t>(b << 8 | a) : static_cast<uint32_t>(a << 8 | b);
    };
    std::string utf8;
    for (; at < text.size(); at += 2) {
        uint32_t code = unit(at);
        if (code >= 0xDC00 && code < 0xE000) return std::nullopt;
        if (code >= 0xD800 && code < 0xDC00) {
            if (at + 3 >= text.size()) return std::nullopt;
            const uint32_t low = unit(at + 2);
            if (low < 0xDC00 || low >= 0xE000) return std::nullopt;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            at += 2;
        }
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | code >> 6), utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            utf8 += static_cast<char>(0xE0 | code >> 12),
                utf8 += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | code >> 18),
                utf8 += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            utf8 += static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

// The texts of a PCF reply read strictly, by parameter id, each as UTF-8 (texts in a one-byte code
// page as they are; a list's strings each with its blanks): every structure whole and of its known
// type, each MQCFST and MQCFSL valid in the CCSID it says. What is wrong goes into *wrong.
std::multimap<int32_t, std::string> replyTexts(const std::string &reply, std::string *wrong) {
    std::multimap<int32_t, std::string> texts;
    auto i32 = [&](size_t at) {
        MQLONG v = 0;
        std::memcpy(&v, reply.data() + at, sizeof v);
        return v;
    };
    auto fail = [&](size_t at, const std::string &what) {
        *wrong += "at " + std::to_string(at) + ": " + what + "\n";
        return texts;
    };
    if (reply.size() < MQCFH_STRUC_LENGTH || i32(offsetof(MQCFH, StrucLength)) != MQCFH_STRUC_LENGTH)
        return fail(0, "no MQCFH");
    // A text in its CCSID as UTF-8.
    auto shown = [&](size_t at, const std::string &text, int32_t ccsid, std::string *out) {
        if (ccsid == 1200 || ccsid == 1201 || ccsid == 1202) {
            const std::optional<std::string> utf8 = strictUtf16(text, ccsid);
            if (!utf8) return fail(at, "not UTF-16 in " + std::to_string(ccsid)), false;
            *out = *utf8;
        } else if (ccsid == 1208) {
            if (!strictUtf8(text)) return fail(at, "not UTF-8"), false;
            *out = text;
        } else {
            *out = text;
        }
        return true;
    };
    for (size_t at = MQCFH_STRUC_LENGTH; at < reply.size();) {
        if (at + 12 > reply.size()) return fail(at, "a cut structure");
        const MQLONG type = i32(at);
        const auto length = static_cast<size_t>(i32(at + 4));
        const MQLONG id = i32(at + 8);
        if (length < 12 || length % 4 != 0 || at + length > reply.size()) return fail(at, "a wrong length");
        if (type == MQCFT_STRING) {
            const auto n = static_cast<size_t>(i32(at + 16));
            if (20 + (n + 3) / 4 * 4 != length) return fail(at, "a wrong MQCFST length");
            std::string text;
            if (shown(at, reply.substr(at + 20, n), i32(at + 12), &text)) texts.emplace(id, text);
        } else if (type == MQCFT_STRING_LIST) {
            const auto count = static_cast<size_t>(i32(at + 16));
            const auto each = static_cast<size_t>(i32(at + 20));
            if (24 + (count * each + 3) / 4 * 4 != length) return fail(at, "a wrong MQCFSL length");
            for (size_t k = 0; k < count; k++) {
                std::string text;
                if (shown(at, reply.substr(at + 24 + k * each, each), i32(at + 12), &text))
                    texts.emplace(id, text);
            }
        } else if (type != MQCFT_INTEGER && type != MQCFT_INTEGER64 && type != MQCFT_INTEGER_LIST &&
                   type != MQCFT_INTEGER64_LIST && type != MQCFT_BYTE_STRING && type != MQCFT_GROUP) {
            return fail(at, "an unknown type " + std::to_string(type));
        }
        at += length;
    }
    return texts;
}

// UTF-16 texts of an odd length (a last byte over) in an event, as a header text (the user, the
// object's name), an item and a list's strings: every text of the PCF DISPLAY EVENTS reply is valid
// in the CCSID it says, and reads as the JSON file shows it (little-endian, the byte is the low half
// of a character; big-endian, it is dropped).
TEST_F(EmitFilesQmTest, Utf16TextsOfAnOddLengthAreValidInThePcfReply) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    const std::string out = useEmitter("odd", EV_EMIT_JSON, EV_ONERROR_SUSPEND, 0, "ev.json");
    const bool native = std::endian::native == std::endian::little;
    const struct {
        int32_t ccsid;
        bool little;
        char digit;
        std::string shown;  // the user's text as the files show it
    } cases[] = {
        {1202, true, '1', "j\xC3\xBCrgen1X"},
        {1201, false, '2', "j\xC3\xBCrgen2"},
        {1200, native, '3', native ? "j\xC3\xBCrgen3X" : "j\xC3\xBCrgen3"},
    };
    for (const auto &c : cases) {
        const std::string odd = utf16(c.digit, c.little) + "X";
        std::string event =
            withName(eventFor("K.0000000000000"), nameAt, c.ccsid, utf16(u"Q.", c.digit, c.little) + "Y");
        event = withItem(withUserId(event, c.ccsid, odd), MQCA_Q_DESC, c.ccsid, odd);
        event = withList(event, MQCA_NAMES, c.ccsid,
                         {utf16(u"a", c.digit, c.little) + "Z", utf16(u"b", c.digit, c.little) + "W"});
        putMessage(pt::kQmgrEvents, MQFMT_EVENT, event);
    }
    Zunt zunt(dir, "odd", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_TRUE(drained()) << undrained();
    std::string pcf(MQCFH_STRUC_LENGTH, '\0');
    MQPCFInitHeader(reinterpret_cast<uint8_t *>(pcf.data()), MQCFT_COMMAND, 9004);
    // FROM(any) and every attribute.
    const std::string from = "any";
    const MQLONG fromHead[] = {MQCFT_STRING, 24, 39318, 0, 3};
    pcf.append(reinterpret_cast<const char *>(fromHead), sizeof fromHead);
    pcf += from + '\0';
    const MQLONG every[] = {MQCFT_INTEGER_LIST, 20, 39104, 1, 1009};
    pcf.append(reinterpret_cast<const char *>(every), sizeof every);
    MQLONG parameters = 2;
    std::memcpy(pcf.data() + offsetof(MQCFH, ParameterCount), &parameters, sizeof parameters);
    sendCommand(MQFMT_ADMIN, pcf);
    std::multimap<int32_t, std::string> texts;
    std::string wrong;
    for (std::optional<std::string> reply; (reply = nextReply(10000));) {
        ASSERT_GE(reply->size(), MQCFH_STRUC_LENGTH);
        EXPECT_EQ(mqiGetI32(reply->data(), offsetof(MQCFH, Reason)), 0);
        texts.merge(replyTexts(*reply, &wrong));
        if (mqiGetI32(reply->data(), offsetof(MQCFH, Control)) == MQCFC_LAST) break;
    }
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_EQ(wrong, "");
    auto all = [&](int32_t id) {
        std::multiset<std::string> found;
        for (auto [at, end] = texts.equal_range(id); at != end; ++at) found.insert(at->second);
        return found;
    };
    const ef::Files files = ef::readFiles(out, EV_EMIT_JSON);
    EXPECT_EQ(files.damaged, "");
    ASSERT_EQ(files.texts.size(), 1u);
    const std::string &json = files.texts[0].second;
    std::multiset<std::string> users, names, strings;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ccsid);
        users.insert(c.shown);
        names.insert(std::string("Q.") + c.digit + (c.little ? "Y" : ""));
        strings.insert(std::string("a") + c.digit + (c.little ? "Z" : ""));
        strings.insert(std::string("b") + c.digit + (c.little ? "W" : ""));
        // The files show each text the same.
        EXPECT_NE(json.find("\"" + c.shown + "\""), std::string::npos) << json;
        EXPECT_NE(json.find(std::string("\"Q.") + c.digit + (c.little ? "Y" : "") + "\""), std::string::npos)
            << json;
    }
    EXPECT_EQ(all(MQCACF_USER_IDENTIFIER), users);
    EXPECT_EQ(all(39307), users);  // EVUSERID
    EXPECT_EQ(all(MQCA_Q_DESC), users);
    EXPECT_EQ(all(39316), names);  // EVOBJNAME
    EXPECT_EQ(all(MQCA_NAMES), strings);
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
