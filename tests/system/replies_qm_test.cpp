// The command server's replies as requesters meet them: where a reply may go (never the program's own
// queues, only where the requester could put itself), in which code page its text comes back, and
// whether a display says its answer was cut.
#include <vector>

#include "system.h"
#include "testing/built_paths.h"

namespace {

using sys::countOf;

constexpr const char *kClientReply = "SYS.CLIENT.REPLY";

// A PCF message built by hand, as any requester builds one.
class Pcf {
public:
    explicit Pcf(MQLONG command) {
        MQCFH h{};
        h.Type = MQCFT_COMMAND;
        h.StrucLength = MQCFH_STRUC_LENGTH;
        h.Version = MQCFH_VERSION_1;
        h.Command = command;
        h.MsgSeqNumber = 1;
        h.Control = MQCFC_LAST;
        bytes_.assign(reinterpret_cast<const char *>(&h), sizeof h);
    }
    Pcf &text(MQLONG id, const std::string &value) {
        const size_t padded = (value.size() + 3) & ~size_t{3};
        const MQLONG fixed[] = {MQCFT_STRING, static_cast<MQLONG>(MQCFST_STRUC_LENGTH_FIXED + padded), id, 0,
                                static_cast<MQLONG>(value.size())};
        bytes_.append(reinterpret_cast<const char *>(fixed), sizeof fixed);
        bytes_ += value + std::string(padded - value.size(), '\0');
        return counted();
    }
    Pcf &number(MQLONG id, MQLONG value) {
        const MQLONG fields[] = {MQCFT_INTEGER, MQCFIN_STRUC_LENGTH, id, value};
        bytes_.append(reinterpret_cast<const char *>(fields), sizeof fields);
        return counted();
    }
    const std::string &bytes() const { return bytes_; }

private:
    Pcf &counted() {
        MQLONG count = 0;
        std::memcpy(&count, bytes_.data() + offsetof(MQCFH, ParameterCount), 4);
        count++;
        std::memcpy(bytes_.data() + offsetof(MQCFH, ParameterCount), &count, 4);
        return *this;
    }
    std::string bytes_;
};

// An escape PCF carrying one MQSC command, as the console sends them.
std::string escape(const std::string &mqsc) {
    return Pcf(MQCMD_ESCAPE).number(MQIACF_ESCAPE_TYPE, MQET_MQSC).text(MQCACF_ESCAPE_TEXT, mqsc).bytes();
}

MQLONG field(const std::string &pcf, size_t offset) {
    MQLONG value = -1;
    if (pcf.size() >= offset + 4) std::memcpy(&value, pcf.data() + offset, 4);
    return value;
}

class RepliesQmTest : public sys::SystemTest {
protected:
    // One request put to the command queue (by the test's own connection unless another is given):
    // its MsgId.
    std::string send(const std::string &data, const char *format, const char *replyQueue, MQHCONN conn = 0,
                     MQLONG ccsid = 0, MQLONG report = MQRO_NONE, const std::string &correlId = "",
                     MQLONG context = MQPMO_DEFAULT_CONTEXT) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        qmt::setText(md.ReplyToQ, 48, replyQueue);
        if (ccsid != 0) md.CodedCharSetId = ccsid;
        md.Report = report;
        std::memcpy(md.CorrelId, correlId.data(), std::min(correlId.size(), sizeof md.CorrelId));
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, sys::kCommandQueue);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID | context;
        qmt::Rc r;
        MQPUT1(conn ? conn : h, &od, &md, &pmo, static_cast<MQLONG>(data.size()),
               const_cast<char *>(data.data()), &r.cc, &r.reason);
        EXPECT_EQ(r.reason, MQRC_NONE);
        return std::string(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId);
    }
    // Every reply message to a request, read from the queue with conversion to ccsid (0: as put).
    std::vector<std::string> replies(const std::string &msgId, MQLONG ccsid = 0,
                                     const char *queue = sys::kReplyQueue, int waitMs = 30000) {
        MQHOBJ hobj = qmt::open(h, queue, MQOO_INPUT_SHARED);
        std::vector<std::string> all;
        for (MQLONG wait = waitMs;; wait = 200) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.CorrelId, msgId.data(), sizeof md.CorrelId);
            if (ccsid != 0) md.CodedCharSetId = ccsid;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Version = MQGMO_VERSION_2;
            gmo.MatchOptions = MQMO_MATCH_CORREL_ID;
            std::string data;
            const MQLONG options = MQGMO_NO_SYNCPOINT | MQGMO_WAIT | (ccsid != 0 ? MQGMO_CONVERT : 0);
            qmt::Rc r = qmt::get(h, hobj, &data, options, &md, 4 * 1024 * 1024, nullptr, wait, &gmo);
            if (r.cc == MQCC_FAILED) break;
            EXPECT_EQ(r.reason, MQRC_NONE) << "converted whole";
            all.push_back(data);
        }
        qmt::Rc r;
        MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
        return all;
    }
    // The text of an MQSC request's replies, read in ccsid, responses one a line.
    std::string mqsc(const std::string &command, MQLONG ccsid, MQLONG sentIn = 0) {
        std::string text;
        for (std::string piece : replies(send(command, MQFMT_STRING, sys::kReplyQueue, 0, sentIn), ccsid)) {
            for (char &c : piece)
                if (c == '\0') c = '\n';
            text += piece + "\n";
        }
        return text;
    }
    // The single reply to a PCF request, read in ccsid.
    std::string pcf(const std::string &request, MQLONG ccsid = 0) {
        std::vector<std::string> all = replies(send(request, MQFMT_ADMIN, sys::kReplyQueue), ccsid);
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? std::string() : all[0];
    }
};

// A requester with only CONNECT and PUT on the command queue names the program's data queue or its
// command queue as its reply queue (a display needs no authority): the request is refused with one
// log line and nothing lands there; the program's own administrator is refused the same, also
// through an alias. A reply queue the requester may not put to gets no reply (logged as a reply
// failure); its own gets its reply. The program then restarts cleanly with its configuration.
TEST_F(RepliesQmTest, NoRequestCanReplyIntoTheProgramsQueuesOrWhereItsUserMayNotPut) {
    sys::SystemTest::mqsc(
        "SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('sys.client') AUTHADD(CONNECT)\n"
        "SET AUTHREC PROFILE(HOLVA.ZUNT.COMMAND.QUEUE) OBJTYPE(QUEUE) PRINCIPAL('sys.client') AUTHADD(PUT)\n"
        "DEFINE QLOCAL(SYS.CLIENT.REPLY)\n"
        "SET AUTHREC PROFILE(SYS.CLIENT.REPLY) OBJTYPE(QUEUE) PRINCIPAL('sys.client') AUTHADD(PUT)\n"
        "DEFINE QALIAS(SYS.DATA.ALIAS) TARGET(HOLVA.ZUNT.DATA.QUEUE)\n");
    auto zunt = start();
    ASSERT_NE(ask("DEFINE EVSTREAM(KEPT) TYPE(EVENTS)").find("Stream defined successfully."),
              std::string::npos);
    qmt::Rc r;
    MQHCONN client = sys::connectAsUser("sys.client", qm.port(), &r);
    ASSERT_EQ(r.reason, MQRC_NONE);
    qmt::open(client, sys::kDataQueue, MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_NOT_AUTHORIZED) << "the client may not put there itself";

    const MQLONG before = depth(sys::kDataQueue);
    const std::string key = std::string(1, '\x01') + std::string(23, '\0');  // the stored configuration's
    send("DIS EV", MQFMT_STRING, sys::kDataQueue, client, 0, MQRO_PASS_CORREL_ID, key);
    send(Pcf(9000).bytes(), MQFMT_ADMIN, sys::kDataQueue, client);
    send("DIS EV", MQFMT_STRING, sys::kCommandQueue, client);
    send("DEFINE EVSTREAM(LOST) TYPE(EVENTS)", MQFMT_STRING, sys::kDataQueue);
    send("DIS EV", MQFMT_STRING, "SYS.DATA.ALIAS");
    const std::string denied = send("DIS EV", MQFMT_STRING, sys::kReplyQueue, client);
    // Without context a request has no user: no authority to lend, for the command or its reply.
    send("DEFINE EVSTREAM(NOUSER) TYPE(EVENTS)", MQFMT_STRING, kClientReply, client, 0, MQRO_NONE, "",
         MQPMO_NO_CONTEXT);
    const std::string own = send("DIS EV", MQFMT_STRING, kClientReply, client);
    // Served in order: once the last one is answered, every one before it was taken.
    const std::vector<std::string> answered = replies(own, 0, kClientReply);
    ASSERT_EQ(answered.size(), 1u) << zunt->out();
    EXPECT_EQ(answered[0].rfind("AMQ8409: Display ZUNT details.\n", 0), 0u) << answered[0];
    EXPECT_TRUE(replies(denied, 0, sys::kReplyQueue, 0).empty());
    EXPECT_EQ(depth(sys::kDataQueue), before);
    EXPECT_EQ(depth(sys::kCommandQueue), 0);
    EXPECT_TRUE(zunt->waitFor("is the program's own queue", 5)) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "is the program's own queue"), 5) << zunt->log();
    EXPECT_TRUE(zunt->waitFor("Error opening reply queue", 2)) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "Error opening reply queue"), 2) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "RC(2035)"), 2) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "/SYS.REPLY "), 1) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "/SYS.CLIENT.REPLY "), 1) << zunt->log();
    EXPECT_EQ(ask("DISPLAY EVSTREAM(LOST)").find("EVSTREAM(LOST)"), std::string::npos);
    EXPECT_EQ(ask("DISPLAY EVSTREAM(NOUSER)").find("EVSTREAM(NOUSER)"), std::string::npos);
    MQDISC(&client, &r.cc, &r.reason);
    stop(*zunt);

    auto again = start();
    EXPECT_NE(ask("DISPLAY EVSTREAM(KEPT)").find("EVSTREAM(KEPT)"), std::string::npos) << again->out();
    stop(*again);
}

// Texts with characters beyond ASCII, sent in UTF-8 (1208) and in ISO 8859-1 (819), come back as
// they were sent, whatever code page the requester reads the reply in: MQSC, PCF and escape alike,
// for a stream's description, an alert's text and a configuration event's summary.
TEST_F(RepliesQmTest, NonAsciiTextComesBackAsItWasSent) {
    sys::SystemTest::mqsc("ALTER QMGR CONFIGEV(ENABLED)\nDEFINE QLOCAL(SYS.KOELN)\n");
    auto zunt = start();
    resume({"SYSTEM.ADMIN.CONFIG.EVENT"});
    const std::string cafe = "caf\xC3\xA9 \xC3\xBC \xC3\x9F";  // café ü ß in UTF-8
    const std::string gruss =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus K\xC3\xB6ln";  // Grüße aus Köln
    const std::string grussLatin1 =
        "Gr\xFC\xDF"
        "e aus K\xF6ln";
    EXPECT_NE(mqsc("DEFINE EVSTREAM(U1) TYPE(EVENTS) DESCR('" + cafe + "')", 1208, 1208)
                  .find("Stream defined successfully."),
              std::string::npos);
    EXPECT_NE(mqsc("DEFINE EVSTREAM(U2) TYPE(EVENTS) DESCR('" + grussLatin1 + "')", 1208, 819)
                  .find("Stream defined successfully."),
              std::string::npos);
    EXPECT_NE(mqsc("ADD EVALERT TEXT('" + gruss + "') SEVERITY(WARN)", 1208, 1208).find("AMQ8005"),
              std::string::npos);
    // The stand-in's MQSC takes its text in the queue manager's code page.
    sys::SystemTest::mqsc("ALTER QLOCAL(SYS.KOELN) DESCR('" + grussLatin1 + "')\n");

    // MQSC, read in 1208 and in 819.
    EXPECT_NE(mqsc("DISPLAY EVSTREAM(U1) DESCR", 1208).find("DESCR(" + cafe + ")"), std::string::npos);
    EXPECT_NE(mqsc("DISPLAY EVSTREAM(U2) DESCR", 1208).find("DESCR(" + gruss + ")"), std::string::npos);
    EXPECT_NE(mqsc("DISPLAY EVSTREAM(U2) DESCR", 819).find("DESCR(" + grussLatin1 + ")"), std::string::npos);
    EXPECT_NE(mqsc("DISPLAY EVALERT(*) ALL", 1208).find("TEXT(" + gruss + ")"), std::string::npos);
    // PCF: the description's string, converted by the requester's read.
    const std::string u1 = pcf(Pcf(9001).text(39301, "U1").bytes(), 1208);
    EXPECT_EQ(field(u1, offsetof(MQCFH, Reason)), 0);
    EXPECT_NE(u1.find(cafe), std::string::npos);
    EXPECT_NE(pcf(Pcf(9001).text(39301, "U2").bytes(), 819).find(grussLatin1), std::string::npos);
    // Escape.
    EXPECT_NE(pcf(escape("DISPLAY EVSTREAM(U2) DESCR"), 1208).find("DESCR(" + gruss + ")"),
              std::string::npos);
    // The configuration event's summary, once it is stored.
    const std::string summary = "Config - Change Object - Queue:SYS.KOELN - DESCR['' -> '" + gruss + "']";
    std::string shown;
    for (int waited = 0; waited < 30000 && shown.find(summary) == std::string::npos; waited += 300) {
        shown = mqsc("DISPLAY EVENTS(*) FROM(any) EVTYPE(CONFIG)", 1208);
        if (shown.find(summary) == std::string::npos) usleep(300000);
    }
    EXPECT_NE(shown.find("SUMMARY(" + summary + ")"), std::string::npos) << shown;
    EXPECT_NE(pcf(Pcf(9004).text(39301, "*").text(39318, "any").bytes(), 1208).find(summary),
              std::string::npos);
    stop(*zunt);
}

// DISPLAY EVENTS cut by MAXRESP or MAXRECS says so (10001, a warning) in PCF and escape replies, as
// the statistics displays do; an answer that holds every match says nothing. And the smaller
// refusals: a NUL inside MQSC text, characters the queue manager's code page lacks, a system
// variable a WHERE clause has not.
TEST_F(RepliesQmTest, ACutAnswerSaysSoAndBadTextIsRefusedWithItsReason) {
    auto zunt = start();
    resume({sys::kQmgrEvents});
    for (int n = 0; n < 5; n++) {
        qmt::Rc r;
        qmt::open(h, "SYS.MISSING." + std::to_string(n), MQOO_OUTPUT, &r);
        ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    }
    ASSERT_TRUE(settled()) << zunt->out();
    const struct {
        MQLONG maxResp, maxRecs;  // 0: not given
        MQLONG compCode, reason;
    } cases[] = {
        {2, 0, MQCC_WARNING, 10001}, {0, 3, MQCC_WARNING, 10001}, {5, 0, MQCC_OK, 0}, {0, 0, MQCC_OK, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.maxResp) + "/" + std::to_string(c.maxRecs));
        Pcf request(9004);
        request.text(39301, "*").text(39318, "any").text(39316, "SYS.MISSING.*");
        std::string mqscText = "DISPLAY EVENTS(*) FROM(any) EVOBJNAME('SYS.MISSING.*')";
        if (c.maxResp) {
            request.number(39302, c.maxResp);
            mqscText += " MAXRESP(" + std::to_string(c.maxResp) + ")";
        }
        if (c.maxRecs) {
            request.number(39414, c.maxRecs);
            mqscText += " MAXRECS(" + std::to_string(c.maxRecs) + ")";
        }
        const std::string reply = pcf(request.bytes());
        EXPECT_EQ(field(reply, offsetof(MQCFH, CompCode)), c.compCode);
        EXPECT_EQ(field(reply, offsetof(MQCFH, Reason)), c.reason);
        const std::string escaped = pcf(escape(mqscText));
        EXPECT_EQ(field(escaped, offsetof(MQCFH, CompCode)), c.compCode);
        EXPECT_EQ(field(escaped, offsetof(MQCFH, Reason)), c.reason);
        EXPECT_EQ(countOf(escaped, "SUMMARY(Local - Unknown Object Name - Queue:SYS.MISSING."),
                  c.maxResp   ? std::min(c.maxResp, 5)
                  : c.maxRecs ? 3
                              : 5);
    }

    ASSERT_NE(ask("DEFINE EVSTREAM(BE1) TYPE(EVENTS) DESCR('before')").find("AMQ8005"), std::string::npos);
    const std::string nul = ask(std::string("ALTER EVSTREAM(BE1) DESCR('nul \0 inside')", 40));
    EXPECT_EQ(nul.rfind("AMQ8405: Syntax error detected at or near end of command segment below:-\n"
                        "ALTER EVSTREAM(BE1) DESCR('nul \n",
                        0),
              0u)
        << nul;
    EXPECT_NE(ask("DISPLAY EVSTREAM(BE1) DESCR").find("DESCR(before)"), std::string::npos);
    EXPECT_EQ(mqsc("DEFINE EVSTREAM(EURO) TYPE(EVENTS) DESCR('5 \xE2\x82\xAC \xE4\xB8\xAD\xE6\x96\x87')",
                   1208, 1208),
              "AMQ8426: Parameter 'DESCR' contains characters which cannot be represented in the queue "
              "manager's code page.\n");
    EXPECT_EQ(ask("DISPLAY EVENTS(*) WHERE(_date = 1)"),
              "AMQ8426: System variable '_date' is not applicable to a WHERE clause.\n");
    stop(*zunt);
}

// A report or a reply that lands on the command queue is no command: it is not run, it gets no reply,
// and it goes to the dead-letter queue with reason 2029 (MQRC_MSG_TYPE_ERROR) naming the command
// queue. A request and a datagram with the same text run.
TEST_F(RepliesQmTest, AReportOrAReplyOnTheCommandQueueIsMovedAsideNotRun) {
    auto zunt = start();
    struct Case {
        MQLONG type;
        const char *stream;
        bool runs;
    };
    const Case cases[] = {{MQMT_REPORT, "REPORT1", false},
                          {MQMT_REPLY, "REPLY1", false},
                          {MQMT_REQUEST, "REQUEST1", true},
                          {MQMT_DATAGRAM, "DATAGRAM1", true}};
    std::vector<std::string> ids;
    for (const Case &c : cases) {
        MQMD md = MQMD_DEFAULT;
        md.MsgType = c.type;
        std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
        qmt::setText(md.ReplyToQ, 48, sys::kReplyQueue);
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, sys::kCommandQueue);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID;
        const std::string command = std::string("DEFINE EVSTREAM(") + c.stream + ") TYPE(EVENTS)";
        qmt::Rc r;
        MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(command.size()), const_cast<char *>(command.data()),
               &r.cc, &r.reason);
        ASSERT_EQ(r.reason, MQRC_NONE);
        ids.emplace_back(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId);
    }
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].stream);
        // Served in order: the replies of the later ones come after the earlier were taken.
        const std::vector<std::string> answered =
            replies(ids[i], 0, sys::kReplyQueue, cases[i].runs ? 30000 : 0);
        EXPECT_EQ(answered.size(), cases[i].runs ? 1u : 0u);
        const std::string shown = ask(std::string("DISPLAY EVSTREAM(") + cases[i].stream + ")");
        EXPECT_EQ(shown.find(std::string("EVSTREAM(") + cases[i].stream + ")") != std::string::npos,
                  cases[i].runs)
            << shown;
    }
    MQHOBJ dlq = qmt::open(h, "SYSTEM.DEAD.LETTER.QUEUE", MQOO_INPUT_SHARED);
    for (const char *stream : {"REPORT1", "REPLY1"}) {
        SCOPED_TRACE(stream);
        std::string data;
        MQMD md = MQMD_DEFAULT;
        qmt::Rc r = qmt::get(h, dlq, &data, MQGMO_NO_SYNCPOINT, &md);
        ASSERT_EQ(r.reason, MQRC_NONE);
        ASSERT_GE(data.size(), size_t{sizeof(MQDLH)});
        MQDLH dlh;
        std::memcpy(&dlh, data.data(), sizeof dlh);
        EXPECT_EQ(dlh.Reason, MQRC_MSG_TYPE_ERROR);
        EXPECT_EQ(qmt::text(dlh.DestQName, 48), sys::kCommandQueue);
        EXPECT_EQ(data.substr(sizeof(MQDLH)), std::string("DEFINE EVSTREAM(") + stream + ") TYPE(EVENTS)");
    }
    EXPECT_EQ(depth("SYSTEM.DEAD.LETTER.QUEUE"), 0);
    qmt::Rc r;
    MQCLOSE(h, &dlq, MQCO_NONE, &r.cc, &r.reason);
    stop(*zunt);
}

// One reply message per response (-D C): the pieces of an escape reply are numbered 1, 2, 3 in their
// MQCFH MsgSeqNumber, only the last says it is the last.
TEST_F(RepliesQmTest, EscapeReplyPiecesAreNumbered) {
    auto zunt = start({"-D", "C"});
    for (const char *stream : {"SEQ1", "SEQ2", "SEQ3"})
        ASSERT_NE(ask(std::string("DEFINE EVSTREAM(") + stream + ") TYPE(EVENTS)").find("AMQ8005"),
                  std::string::npos);
    const std::vector<std::string> pieces =
        replies(send(escape("DISPLAY EVSTREAM(SEQ*)"), MQFMT_ADMIN, sys::kReplyQueue));
    ASSERT_EQ(pieces.size(), 3u);
    for (size_t i = 0; i < pieces.size(); i++) {
        EXPECT_EQ(field(pieces[i], offsetof(MQCFH, MsgSeqNumber)), static_cast<MQLONG>(i + 1));
        EXPECT_EQ(field(pieces[i], offsetof(MQCFH, Control)),
                  i + 1 == pieces.size() ? MQCFC_LAST : MQCFC_NOT_LAST);
        EXPECT_NE(pieces[i].find("EVSTREAM(SEQ" + std::to_string(i + 1) + ")"), std::string::npos)
            << pieces[i];
    }
    stop(*zunt);
}

// An MQCFH whose Type is not a command (a response, 2) is answered 3001 (MQRCCF_CFH_TYPE_ERROR), one
// whose StrucLength is not 36 3002 (MQRCCF_CFH_LENGTH_ERROR), one whose ParameterCount is negative or
// not the number of parameters that follow 3006 (MQRCCF_CFH_PARM_COUNT_ERROR), as IBM MQ answers them;
// the command is not run, PCF and escape alike.
TEST_F(RepliesQmTest, ABadCommandHeaderIsRefusedNotRun) {
    auto zunt = start();
    const struct {
        size_t field;
        MQLONG value, reason;
    } cases[] = {{offsetof(MQCFH, StrucLength), 4, MQRCCF_CFH_LENGTH_ERROR},
                 {offsetof(MQCFH, StrucLength), -36, MQRCCF_CFH_LENGTH_ERROR},
                 {offsetof(MQCFH, StrucLength), 100000, MQRCCF_CFH_LENGTH_ERROR},
                 {offsetof(MQCFH, ParameterCount), -1, MQRCCF_CFH_PARM_COUNT_ERROR},
                 {offsetof(MQCFH, ParameterCount), 0, MQRCCF_CFH_PARM_COUNT_ERROR},
                 {offsetof(MQCFH, ParameterCount), 3, MQRCCF_CFH_PARM_COUNT_ERROR},
                 {offsetof(MQCFH, Type), MQCFT_RESPONSE, MQRCCF_CFH_TYPE_ERROR},
                 {offsetof(MQCFH, Type), MQCFT_EVENT, MQRCCF_CFH_TYPE_ERROR}};
    int n = 0;
    for (const auto &c : cases) {
        for (bool escaped : {false, true}) {
            const std::string stream = "BADH" + std::to_string(++n);
            SCOPED_TRACE(stream);
            std::string request = escaped ? escape("DEFINE EVSTREAM(" + stream + ") TYPE(EVENTS)")
                                          : Pcf(9015).text(39301, stream).number(39355, 1).bytes();
            std::memcpy(request.data() + c.field, &c.value, 4);
            const std::string reply = pcf(request);
            EXPECT_EQ(field(reply, offsetof(MQCFH, CompCode)), MQCC_FAILED);
            EXPECT_EQ(field(reply, offsetof(MQCFH, Reason)), c.reason);
            EXPECT_EQ(ask("DISPLAY EVSTREAM(" + stream + ")").find("EVSTREAM(" + stream + ")"),
                      std::string::npos);
        }
    }
    // The same requests with a sound header are run.
    EXPECT_EQ(field(pcf(Pcf(9015).text(39301, "GOODH1").number(39355, 1).bytes()), offsetof(MQCFH, Reason)),
              0);
    EXPECT_EQ(field(pcf(escape("DEFINE EVSTREAM(GOODH2) TYPE(EVENTS)")), offsetof(MQCFH, Reason)), 0);
    EXPECT_NE(ask("DISPLAY EVSTREAM(GOODH1)").find("EVSTREAM(GOODH1)"), std::string::npos);
    EXPECT_NE(ask("DISPLAY EVSTREAM(GOODH2)").find("EVSTREAM(GOODH2)"), std::string::npos);
    stop(*zunt);
}

}  // namespace

namespace {

// The README's setmqaut lines as SET AUTHREC commands, each user renamed as users maps it; the lines
// under "# its console" given to console too. Empty when the README has none.
std::string readmeAuthorities(const std::vector<std::pair<std::string, std::string>> &users,
                              const std::string &console) {
    const std::string readme = qmt::readText(ZUNT_README);
    std::string mqsc;
    bool consoleLines = false;
    for (size_t at = readme.find("setmqaut -m "); at != std::string::npos;
         at = readme.find("setmqaut -m ", at)) {
        // The line before: a comment names the users of the lines after it.
        const size_t previous = readme.rfind('\n', at - 2) + 1;
        if (readme.compare(previous, 2, "# ") == 0)
            consoleLines = readme.substr(previous, at - previous).find("console") != std::string::npos;
        const size_t end = readme.find('\n', at);
        std::vector<std::string> words = qmt::words(readme.substr(at, end - at));
        at = end;
        std::string type, profile, principal, auths;
        for (size_t i = 2; i < words.size(); i++) {
            if (words[i] == "-t" && i + 1 < words.size())
                type = words[++i];
            else if (words[i] == "-n" && i + 1 < words.size())
                profile = words[++i];
            else if (words[i] == "-p" && i + 1 < words.size())
                principal = words[++i];
            else if (words[i][0] == '+')
                auths += (auths.empty() ? "" : ",") + words[i].substr(1);
        }
        for (char &c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char &c : auths) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const auto &[from, to] : users) {
            if (profile == from + ".REPLY") profile = to + ".REPLY";
            if (principal == from) principal = to;
        }
        std::vector<std::string> principals{principal};
        if (consoleLines) principals.push_back(console);
        for (const std::string &who : principals)
            mqsc += "SET AUTHREC " + (profile.empty() ? "" : "PROFILE(" + profile + ") ") + "OBJTYPE(" +
                    type + ") PRINCIPAL('" + who + "') AUTHADD(" + auths + ")\n";
    }
    return mqsc;
}

}  // namespace

// The authorities the README gives, and no more: the program as a client of a user of its own, a
// sender of commands and a console user (with the console's lines and connect and inquire on the
// queue manager). The program starts, takes events, runs and answers a RESUME EVQ and an ADD EVALERT
// from the sender (a change: set on the command queue), publishes the alert, and the start-up
// script's console displays through the queue manager's command server with its reply queue made
// from the model queue. Nothing is refused on the way.
TEST_F(RepliesQmTest, TheReadmesAuthoritiesAreEnoughForTheProgramASenderAndTheConsole) {
    const std::string authorities = readmeAuthorities(
        {{"zunt", "zunt.app"}, {"app1", "zunt.sender"}, {"APP1", "SENDER"}}, "zunt.console");
    ASSERT_EQ(countOf(authorities, "SET AUTHREC"), 17) << authorities;
    sys::SystemTest::mqsc(
        "DEFINE TOPIC(HOLVA.ZUNT.ALERTS) TOPICSTR('Holva/ZUNT/Alerts')\n"
        "DEFINE QLOCAL(SENDER.REPLY)\n"
        "ALTER QMGR AUTHOREV(ENABLED)\n" +
        authorities +
        "SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('zunt.console') AUTHADD(CONNECT,INQ)\n"
        "SET AUTHREC PROFILE(SENDER.REPLY) OBJTYPE(QUEUE) PRINCIPAL('zunt.console') AUTHADD(DSP)\n");
    const std::string server = "SYSTEM.DEF.SVRCONN/TCP/127.0.0.1(" + std::to_string(qm.port()) + ")";
    std::string script = qmt::readText(
        std::string(ZUNT_PROGRAM).substr(0, std::string(ZUNT_PROGRAM).rfind('/')) + "/zunt.vdr");
    ASSERT_NE(script.find("func ZUNTEvent()"), std::string::npos);
    dir.write("auth.vdr", "=conn qm(" + std::string(sys::kQmgr) +
                              ") client user(zunt.console)\n=mqsc\n"
                              "DISPLAY QLOCAL(SENDER.REPLY) CURDEPTH\n=disc\n" +
                              script);
    std::string library = MINIQM_MQM_LIBRARY;
    auto zunt = start({"-l", "-u", "zunt.app", "-f", dir.file("auth.vdr")},
                      {"MQSERVER=" + server, "MQIC_DLL_PATH=" + library.substr(0, library.rfind('/'))});
    EXPECT_NE(zunt->out().find("QUEUE(SENDER.REPLY)"), std::string::npos) << zunt->out();

    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_CREATE | MQSO_MANAGED | MQSO_NON_DURABLE;
    sd.ObjectString.VSPtr = const_cast<char *>("Holva/ZUNT/Alerts");
    sd.ObjectString.VSLength = MQVS_NULL_TERMINATED;
    MQHOBJ alerts = MQHO_NONE, subscription = MQHO_UNUSABLE_HOBJ;
    qmt::Rc r;
    MQSUB(h, &sd, &alerts, &subscription, &r.cc, &r.reason);
    ASSERT_EQ(r.reason, MQRC_NONE);
    MQHCONN sender = sys::connectAsUser("zunt.sender", qm.port(), &r);
    ASSERT_EQ(r.reason, MQRC_NONE);

    const std::vector<std::string> resumed = replies(
        send("RESUME EVQ(" + std::string(sys::kQmgrEvents) + ")", MQFMT_STRING, "SENDER.REPLY", sender), 0,
        "SENDER.REPLY");
    ASSERT_EQ(resumed.size(), 1u) << zunt->out();
    EXPECT_NE(resumed[0].find("AMQ8005"), std::string::npos) << resumed[0];
    qmt::open(h, "SYS.NO.SUCH.QUEUE", MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    std::string stored;
    for (int waited = 0; waited < 30000 && stored.find("SYS.NO.SUCH.QUEUE") == std::string::npos;
         waited += 100) {
        stored = events();
        if (stored.find("SYS.NO.SUCH.QUEUE") == std::string::npos) usleep(100000);
    }
    EXPECT_NE(stored.find("SYS.NO.SUCH.QUEUE"), std::string::npos) << zunt->out();

    const std::vector<std::string> added = replies(
        send("ADD EVALERT TEXT('authorities enough') SEVERITY(ERROR)", MQFMT_STRING, "SENDER.REPLY", sender),
        0, "SENDER.REPLY");
    ASSERT_EQ(added.size(), 1u) << zunt->out();
    EXPECT_NE(added[0].find("AMQ8005"), std::string::npos) << added[0];
    std::string published;
    ASSERT_EQ(qmt::get(h, alerts, &published, MQGMO_NO_SYNCPOINT | MQGMO_WAIT, nullptr, 65536, nullptr, 30000)
                  .reason,
              MQRC_NONE)
        << zunt->out();
    EXPECT_NE(published.find("authorities enough"), std::string::npos) << published;
    // Not one authority event (stored in order, so all of them are in by now): nothing the program,
    // its console or its users did was refused.
    const std::string all = ask("DISPLAY EVENTS(*) FROM(any) ALL");
    EXPECT_EQ(countOf(all, "CFHREASON(2035)"), 0) << all;
    EXPECT_EQ(countOf(zunt->log(), "RC(2035)"), 0) << zunt->log();
    MQCLOSE(h, &subscription, MQCO_REMOVE_SUB, &r.cc, &r.reason);
    MQDISC(&sender, &r.cc, &r.reason);
    stop(*zunt);
}
