// The command server: PCF requests on SYSTEM.ADMIN.COMMAND.QUEUE answered on the reply-to queue
// as IBM MQ answers them (escape MQSC one response per displayed object, Reset Queue Statistics,
// an error response for anything else), read back with the system's own PCF parser.
#include <cstring>

#include "miniqm/pcf_read.h"
#include "mqi/pcf.h"

using namespace qmt;

namespace {

// A request as the console builds one: MQCFH then MQCFIN / MQCFST parameters.
class RequestBuilder {
public:
    explicit RequestBuilder(MQLONG command, MQLONG type = MQCFT_COMMAND) : command_(command), type_(type) {}
    RequestBuilder &integer(MQLONG id, MQLONG value) {
        for (MQLONG v : {MQCFT_INTEGER, MQCFIN_STRUC_LENGTH, id, value}) word(v);
        ++count_;
        return *this;
    }
    RequestBuilder &string(MQLONG id, const std::string &text) {
        size_t padded = (text.size() + 3) / 4 * 4;
        for (MQLONG v : {MQCFT_STRING, static_cast<MQLONG>(MQCFST_STRUC_LENGTH_FIXED + padded), id, 0,
                         static_cast<MQLONG>(text.size())})
            word(v);
        body_ += text + std::string(padded - text.size(), ' ');
        ++count_;
        return *this;
    }
    RequestBuilder &integers(MQLONG id, const std::vector<MQLONG> &values) {
        for (MQLONG v :
             {MQCFT_INTEGER_LIST, static_cast<MQLONG>(MQCFIL_STRUC_LENGTH_FIXED + 4 * values.size()), id,
              static_cast<MQLONG>(values.size())})
            word(v);
        for (MQLONG v : values) word(v);
        ++count_;
        return *this;
    }
    RequestBuilder &strings(MQLONG id, const std::vector<std::string> &texts, size_t length) {
        size_t padded = (texts.size() * length + 3) / 4 * 4;
        for (MQLONG v : {MQCFT_STRING_LIST, static_cast<MQLONG>(MQCFSL_STRUC_LENGTH_FIXED + padded), id, 0,
                         static_cast<MQLONG>(texts.size()), static_cast<MQLONG>(length)})
            word(v);
        for (const std::string &t : texts) body_ += t + std::string(length - t.size(), ' ');
        body_ += std::string(padded - texts.size() * length, ' ');
        ++count_;
        return *this;
    }
    std::string bytes() const {
        std::string head;
        for (MQLONG v : {type_, MQCFH_STRUC_LENGTH, MQCFH_VERSION_1, command_, 1, MQCFC_LAST, 0, 0, count_}) {
            char b[4];
            mqiPutI32(b, 0, v);
            head.append(b, 4);
        }
        return head + body_;
    }

private:
    void word(MQLONG v) {
        char b[4];
        mqiPutI32(b, 0, v);
        body_.append(b, 4);
    }
    MQLONG command_, type_, count_ = 0;
    std::string body_;
};

std::string escape(const std::string &text) {
    return RequestBuilder(MQCMD_ESCAPE)
        .integer(MQIACF_ESCAPE_TYPE, MQET_MQSC)
        .string(MQCACF_ESCAPE_TEXT, text)
        .bytes();
}

struct Item {
    MQLONG type = 0, id = 0, value = 0;
    std::string text;
};

struct Reply {
    MQMD md{};
    std::string data;  // as it came, for lists (read with decodePcf)
    MQLONG type = 0, command = 0, seq = 0, control = 0, cc = 0, reason = 0;
    std::vector<Item> items;
    std::string text(MQLONG id) const {
        for (const Item &i : items)
            if (i.id == id) return i.text;
        return "<none>";
    }
    MQLONG value(MQLONG id) const {
        for (const Item &i : items)
            if (i.id == id) return i.value;
        return -1;
    }
};

// One response message as the system reads it: the MQCFH fields, then MQPCFGetNextParm item by item.
Reply decode(const MQMD &md, std::string data) {
    Reply r;
    r.md = md;
    r.data = data;
    EXPECT_GE(data.size(), 36u);
    if (data.size() < 36) return r;
    r.type = mqiGetI32(data.data(), 0);
    r.command = mqiGetI32(data.data(), 12);
    r.seq = mqiGetI32(data.data(), 16);
    r.control = mqiGetI32(data.data(), 20);
    r.cc = mqiGetI32(data.data(), 24);
    r.reason = mqiGetI32(data.data(), 28);
    PcfCursor cursor;
    MQPCFInitParser(&cursor, reinterpret_cast<uint8_t *>(data.data()), static_cast<int32_t>(data.size()), 0);
    for (;;) {
        int32_t type = 0, id = 0, length = 0, count = 0, cc = 0, reason = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &length, &count, &cc, &reason);
        if (cc != MQCC_OK) {
            EXPECT_EQ(reason, PCF_END_OF_MESSAGE);
            break;
        }
        Item it;
        it.type = type;
        it.id = id;
        if (type == MQCFT_INTEGER) it.value = mqiGetI32(value, 0);
        if (type == MQCFT_STRING)
            it.text = std::string(static_cast<char *>(value), static_cast<size_t>(length));
        r.items.push_back(it);
    }
    return r;
}

class CmdServerTest : public QmTest {
protected:
    void SetUp() override {
        QmTest::SetUp();
        MQOD od = MQOD_DEFAULT;
        replyQ = open(h, "SYSTEM.DEFAULT.MODEL.QUEUE", MQOO_INPUT_EXCLUSIVE, nullptr, &od);
        replyQName = text(od.ObjectName, 48);
        ASSERT_FALSE(replyQName.empty());
    }

    // Puts a request (request priority and persistence as given) and returns its descriptor. With
    // context, the request carries that identity and origin context instead of the connection's.
    MQMD send(const std::string &request, MQLONG priority = 0, MQLONG persistence = MQPER_NOT_PERSISTENT,
              const char *format = MQFMT_ADMIN, const MQMD *context = nullptr) {
        MQOD od = MQOD_DEFAULT;
        setText(od.ObjectName, 48, "SYSTEM.ADMIN.COMMAND.QUEUE");
        MQMD md = MQMD_DEFAULT;
        md.MsgType = MQMT_REQUEST;
        std::memcpy(md.Format, format, 8);
        md.Priority = priority;
        md.Persistence = persistence;
        setText(md.ReplyToQ, 48, replyQName);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID;
        if (context) {
            std::memcpy(md.UserIdentifier, context->UserIdentifier, sizeof md.UserIdentifier);
            std::memcpy(md.AccountingToken, context->AccountingToken, sizeof md.AccountingToken);
            std::memcpy(md.ApplIdentityData, context->ApplIdentityData, sizeof md.ApplIdentityData);
            md.PutApplType = context->PutApplType;
            std::memcpy(md.PutApplName, context->PutApplName, sizeof md.PutApplName);
            std::memcpy(md.ApplOriginData, context->ApplOriginData, sizeof md.ApplOriginData);
            pmo.Options |= MQPMO_SET_ALL_CONTEXT;
        }
        Rc r;
        MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(request.size()), const_cast<char *>(request.data()),
               &r.cc, &r.reason);
        EXPECT_RC(r, MQCC_OK, MQRC_NONE);
        return md;
    }

    // The replies to a request, up to the one with MQCFC_LAST; waitMs for each.
    std::vector<Reply> replies(const MQMD &request, MQLONG waitMs = 10000) {
        std::vector<Reply> out;
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.CorrelId, request.MsgId, sizeof md.CorrelId);
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Version = MQGMO_VERSION_2;
            gmo.MatchOptions = MQMO_MATCH_CORREL_ID;
            std::string data;
            Rc r = get(h, replyQ, &data, MQGMO_NO_SYNCPOINT | MQGMO_WAIT, &md, 65536, nullptr, waitMs, &gmo);
            if (r.cc != MQCC_OK) break;
            out.push_back(decode(md, data));
            if (out.back().control == MQCFC_LAST) break;
        }
        return out;
    }

    std::vector<Reply> ask(const std::string &request) { return replies(send(request)); }

    MQHOBJ replyQ = MQHO_UNUSABLE_HOBJ;
    std::string replyQName;
};

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST_F(CmdServerTest, EscapeDisplayAnswersOnePerObjectWithTheRequestsIdentifiers) {
    define(
        "DEFINE QLOCAL(X1)\nDEFINE QLOCAL(X2)\nDEFINE QLOCAL(X3)\nDEFINE QALIAS(XA) TARGET(X1)\n"
        "DEFINE QLOCAL(REPLIES)");
    // A permanent reply queue: a temporary dynamic one takes no persistent replies (2048).
    replyQ = open(h, "REPLIES", MQOO_INPUT_SHARED);
    replyQName = "REPLIES";
    MQMD request = send(escape("DISPLAY QLOCAL(X*) CURDEPTH"), 7, MQPER_PERSISTENT);
    std::vector<Reply> got = replies(request);
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < got.size(); ++i) {
        const Reply &r = got[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(r.md.MsgType, MQMT_REPLY);
        EXPECT_EQ(text(r.md.Format, 8), "MQADMIN");
        EXPECT_EQ(std::memcmp(r.md.CorrelId, request.MsgId, 24), 0);
        EXPECT_NE(std::memcmp(r.md.MsgId, request.MsgId, 24), 0);
        EXPECT_EQ(r.md.Priority, 7);
        EXPECT_EQ(r.md.Persistence, MQPER_PERSISTENT);
        EXPECT_EQ(r.type, MQCFT_RESPONSE);
        EXPECT_EQ(r.command, MQCMD_INQUIRE_Q);
        EXPECT_EQ(r.seq, static_cast<MQLONG>(i + 1));
        EXPECT_EQ(r.control, i + 1 == got.size() ? MQCFC_LAST : MQCFC_NOT_LAST);
        EXPECT_EQ(r.cc, MQCC_OK);
        ASSERT_EQ(r.items.size(), 2u);
        EXPECT_EQ(r.items[0].id, MQIACF_ESCAPE_TYPE);
        EXPECT_EQ(r.items[0].value, MQET_MQSC);
        std::string t = r.text(MQCACF_ESCAPE_TEXT);
        EXPECT_TRUE(startsWith(t, "AMQ8409I: Display Queue details.\n")) << t;
        EXPECT_NE(t.find("QUEUE(X" + std::to_string(i + 1) + ")"), std::string::npos) << t;
        EXPECT_NE(t.find("CURDEPTH(0)"), std::string::npos) << t;
        EXPECT_EQ(t.find("MQSC commands read"), std::string::npos) << t;  // no summary, no echo
        EXPECT_EQ(t.find(" : DISPLAY"), std::string::npos) << t;
    }
}

// Every other MQSC command answers with one message: the MQSC command's PCF code, or MQCMD_ESCAPE
// for text that is not a command miniqm knows; a failure is CompCode 2 with MQRCCF_COMMAND_FAILED.
TEST_F(CmdServerTest, EscapeCommandsAnswerOnceWithTheirCommandCodeAndOutcome) {
    struct Case {
        const char *mqsc;
        MQLONG command, cc;
        const char *starts;
    };
    const Case cases[] = {
        {"DEFINE QLOCAL(T1) MAXDEPTH(5)", MQCMD_CREATE_Q, MQCC_OK, "AMQ8006I: IBM MQ queue created."},
        {"ALTER QLOCAL(T1) MAXDEPTH(7)", MQCMD_CHANGE_Q, MQCC_OK, "AMQ8008I"},
        {"DEFINE QLOCAL(T1)", MQCMD_CREATE_Q, MQCC_FAILED, "AMQ8150E"},
        {"DIS QMGR", MQCMD_INQUIRE_Q_MGR, MQCC_OK, "AMQ8408I"},
        {"DISPLAY QUEUE(NO.SUCH.Q)", MQCMD_INQUIRE_Q, MQCC_FAILED,
         "AMQ8147E: IBM MQ object NO.SUCH.Q not found."},
        {"DEFINE TOPIC(T.T) TOPICSTR('a/b')", MQCMD_CREATE_TOPIC, MQCC_OK, "AMQ8690I"},
        {"CLEAR QLOCAL(T1)", MQCMD_CLEAR_Q, MQCC_OK, "AMQ8022I"},
        {"DELETE QLOCAL(T1)", MQCMD_DELETE_Q, MQCC_OK, "AMQ8007I"},
        {"DEFINE NAMELIST(N1) NAMES(A)", MQCMD_CREATE_NAMELIST, MQCC_OK,
         "AMQ8552I: IBM MQ namelist created."},
        {"ALTER NL(N1) DESCR('x')", MQCMD_CHANGE_NAMELIST, MQCC_OK, "AMQ8551I: IBM MQ namelist changed."},
        {"DISPLAY NAMELIST(N1)", MQCMD_INQUIRE_NAMELIST, MQCC_OK, "AMQ8550I: Display namelist details."},
        {"DELETE NAMELIST(N1)", MQCMD_DELETE_NAMELIST, MQCC_OK, "AMQ8553I: IBM MQ namelist deleted."},
        {"DEFINE QLOCAL(T2) NOSUCHATTR(1)", MQCMD_ESCAPE, MQCC_FAILED, "AMQ8405E"},
        {"PING QMGR", MQCMD_ESCAPE, MQCC_FAILED, "AMQ8405E"},
        {"", MQCMD_ESCAPE, MQCC_FAILED, "AMQ8405E"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mqsc);
        std::vector<Reply> got = ask(escape(c.mqsc));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].command, c.command);
        EXPECT_EQ(got[0].control, MQCFC_LAST);
        EXPECT_EQ(got[0].cc, c.cc);
        EXPECT_EQ(got[0].reason, c.cc == MQCC_OK ? MQRC_NONE : MQRCCF_COMMAND_FAILED);
        EXPECT_TRUE(startsWith(got[0].text(MQCACF_ESCAPE_TEXT), c.starts)) << got[0].text(MQCACF_ESCAPE_TEXT);
    }
}

// The console's attribute self-check displays every kind of object: what miniqm has is displayed
// (or not found), every noun it lacks is a syntax error.
TEST_F(CmdServerTest, SelfCheckDisplaysAnswerOrGiveSyntaxErrors) {
    const char *lacking[] = {
        "DISPLAY AUTHINFO(*) ALL", "DISPLAY AUTHSERV ALL",
        "DISPLAY CHLAUTH(*) ALL",  "DISPLAY CHSTATUS(*) ALL",
        "DISPLAY CLUSQMGR(*) ALL", "DISPLAY COMMINFO(SYSTEM.DEFAULT.COMMINFO.MULTICAST) ALL",
        "DISPLAY CONN(*) ALL",     "DISPLAY PROCESS(*) ALL",
        "DISPLAY PUBSUB ALL",      "DISPLAY QCLUSTER(*) ALL",
        "DISPLAY QSTATUS(*) ALL",  "DISPLAY QMSTATUS ALL",
        "DISPLAY LISTENER(*) ALL", "DISPLAY LSSTATUS(*) ALL",
        "DISPLAY SBSTATUS(*) ALL", "DISPLAY SUB(*) ALL",
        "DISPLAY TCLUSTER(*) ALL", "DISPLAY TPSTATUS('') ALL",
    };
    for (const char *cmd : lacking) {
        SCOPED_TRACE(cmd);
        std::vector<Reply> got = ask(escape(cmd));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].cc, MQCC_FAILED);
        EXPECT_TRUE(startsWith(got[0].text(MQCACF_ESCAPE_TEXT), "AMQ8405E"))
            << got[0].text(MQCACF_ESCAPE_TEXT);
    }
    struct Known {
        const char *cmd, *starts;
    };
    const Known known[] = {
        {"DISPLAY QUEUE(SYSTEM.DEFAULT.LOCAL.QUEUE) ALL", "AMQ8409I"},
        {"DISPLAY QUEUE(SYSTEM.DEFAULT.MODEL.QUEUE) ALL", "AMQ8409I"},
        {"DISPLAY QUEUE(SYSTEM.DEFAULT.ALIAS.QUEUE) ALL", "AMQ8409I"},
        {"DISPLAY QUEUE(SYSTEM.DEFAULT.REMOTE.QUEUE) ALL", "AMQ8147E"},
        {"DISPLAY QMGR ALL", "AMQ8408I"},
        {"DISPLAY NAMELIST(SYSTEM.DEFAULT.NAMELIST) ALL", "AMQ8550I"},
        {"DISPLAY SERVICE(*) ALL", "AMQ8147E"},  // none is defined
        {"DISPLAY CHANNEL(SYSTEM.DEF.SVRCONN) ALL", "AMQ8414I"},
        {"DISPLAY SVSTATUS(*) ALL", "AMQ8147E"},
    };
    for (const Known &k : known) {
        SCOPED_TRACE(k.cmd);
        std::vector<Reply> got = ask(escape(k.cmd));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(startsWith(got[0].text(MQCACF_ESCAPE_TEXT), k.starts)) << got[0].text(MQCACF_ESCAPE_TEXT);
    }
}

// MQCMD_RESET_Q_STATS: one response per local queue the name matches with the counts since the last
// reset (uncommitted puts and gets included, backouts not taking them back), which then restart.
// The counts are performance events' own: without PERFMEV the command is refused.
TEST_F(CmdServerTest, ResetQueueStatisticsReportsAndRestartsTheCounts) {
    define(
        "ALTER QMGR PERFMEV(ENABLED)\nDEFINE QLOCAL(RQ.A)\nDEFINE QLOCAL(RQ.B)\n"
        "DEFINE QALIAS(RQ.ALIAS) TARGET(RQ.A)");
    MQHOBJ a = open(h, "RQ.A", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    for (int i = 0; i < 3; ++i) ASSERT_RC(put(h, a, "m"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(get(h, a, nullptr), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, a, "backed out", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    Rc r;
    MQBACK(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);

    auto reset = [&](const std::string &name) {
        return ask(RequestBuilder(MQCMD_RESET_Q_STATS).string(MQCA_Q_NAME, name).bytes());
    };
    std::vector<Reply> got = reset("RQ.*");
    ASSERT_EQ(got.size(), 2u);  // the alias is not counted
    struct Want {
        const char *name;
        MQLONG high, enq, deq;
    };
    const Want first[] = {{"RQ.A", 3, 4, 1}, {"RQ.B", 0, 0, 0}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(first[i].name);
        EXPECT_EQ(got[i].command, MQCMD_RESET_Q_STATS);
        EXPECT_EQ(got[i].cc, MQCC_OK);
        EXPECT_EQ(got[i].control, i == 1 ? MQCFC_LAST : MQCFC_NOT_LAST);
        ASSERT_EQ(got[i].items.size(), 5u);
        const MQLONG order[] = {MQCA_Q_NAME, MQIA_TIME_SINCE_RESET, MQIA_HIGH_Q_DEPTH, MQIA_MSG_ENQ_COUNT,
                                MQIA_MSG_DEQ_COUNT};
        for (size_t k = 0; k < 5; ++k) EXPECT_EQ(got[i].items[k].id, order[k]);
        EXPECT_EQ(text(got[i].text(MQCA_Q_NAME).c_str(), 48), first[i].name);
        EXPECT_EQ(got[i].text(MQCA_Q_NAME).size(), 48u);
        EXPECT_GE(got[i].value(MQIA_TIME_SINCE_RESET), 0);
        EXPECT_EQ(got[i].value(MQIA_HIGH_Q_DEPTH), first[i].high);
        EXPECT_EQ(got[i].value(MQIA_MSG_ENQ_COUNT), first[i].enq);
        EXPECT_EQ(got[i].value(MQIA_MSG_DEQ_COUNT), first[i].deq);
    }
    got = reset("RQ.A");  // restarted: the high-water mark is the depth now
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].value(MQIA_HIGH_Q_DEPTH), 2);
    EXPECT_EQ(got[0].value(MQIA_MSG_ENQ_COUNT), 0);
    EXPECT_EQ(got[0].value(MQIA_MSG_DEQ_COUNT), 0);

    struct Bad {
        const char *name;
        MQLONG reason;
        const char *before = nullptr;  // MQSC run first
    };
    for (const Bad &b : {Bad{"NO.SUCH.Q", MQRC_UNKNOWN_OBJECT_NAME}, Bad{"NOPE*", MQRC_UNKNOWN_OBJECT_NAME},
                         Bad{"RQ.ALIAS", MQRCCF_Q_WRONG_TYPE},
                         Bad{"RQ.A", MQRCCF_EVENTS_DISABLED, "ALTER QMGR PERFMEV(DISABLED)"}}) {
        SCOPED_TRACE(b.name);
        if (b.before) define(b.before);
        got = reset(b.name);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].command, MQCMD_RESET_Q_STATS);
        EXPECT_EQ(got[0].cc, MQCC_FAILED);
        EXPECT_EQ(got[0].reason, b.reason);
        EXPECT_EQ(got[0].control, MQCFC_LAST);
    }
}

// What the command server carries out raises command events (2412 for an escape, 2413 for PCF) and,
// for an escape that changes something, configuration events, all with origin MQEVO_MSG and the
// request's context; NODISPLAY leaves an escape DISPLAY out. A namelist's configuration event names
// it by MQCA_NAMELIST_NAME and lists its NAMES; REFRESH QMGR selects namelists by OBJECT(NAMELIST).
TEST_F(CmdServerTest, RequestsRaiseEventsWithTheirContext) {
    define(
        "ALTER QMGR CONFIGEV(ENABLED) CMDEV(NODISPLAY) PERFMEV(ENABLED)\nDEFINE QLOCAL(EV.Q)\n"
        "SET AUTHREC PROFILE(EV.**) OBJTYPE(QUEUE) PRINCIPAL('requser') AUTHADD(ALL)\n"
        "SET AUTHREC PROFILE(EV.**) OBJTYPE(NAMELIST) PRINCIPAL('requser') AUTHADD(ALL)\n"
        "SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('requser') AUTHADD(CHG)");
    drainPcf(h, "SYSTEM.ADMIN.CONFIG.EVENT");
    drainPcf(h, "SYSTEM.ADMIN.COMMAND.EVENT");
    MQMD context = MQMD_DEFAULT;
    setText(context.UserIdentifier, 12, "requser");
    std::memset(context.AccountingToken, 0x5A, sizeof context.AccountingToken);
    setText(context.ApplIdentityData, 32, "ident");
    context.PutApplType = MQAT_UNIX;
    setText(context.PutApplName, 28, "requester");
    setText(context.ApplOriginData, 4, "orig");
    auto expectContext = [](const Pcf &e, int32_t group) {
        EXPECT_EQ(e.integer(MQIACF_EVENT_ORIGIN, group), MQEVO_MSG);
        EXPECT_EQ(e.text(MQCACF_EVENT_USER_ID, group), "requser");
        EXPECT_EQ(e.text(MQBACF_EVENT_ACCOUNTING_TOKEN, group), std::string(32, '\x5A'));
        EXPECT_EQ(e.text(MQCACF_EVENT_APPL_IDENTITY, group), "ident");
        EXPECT_EQ(e.integer(MQIACF_EVENT_APPL_TYPE, group), MQAT_UNIX);
        EXPECT_EQ(e.text(MQCACF_EVENT_APPL_NAME, group), "requester");
        EXPECT_EQ(e.text(MQCACF_EVENT_APPL_ORIGIN, group), "orig");
    };
    const std::vector<int32_t> contextIds = {3045, 1011, 3047, 7001, 3049, 1010, 3050, 3051};
    struct Case {
        const char *what;
        std::string request;
        MQLONG eventReason, command;  // the command event's; 0: none
        MQLONG configReason;          // the configuration event's; 0: none
        MQLONG objectType;
    };
    const Case cases[] = {
        {"escape DEFINE", escape("DEFINE QLOCAL(EV.NEW) MAXDEPTH(9)"), MQRC_COMMAND_MQSC, MQCMD_CREATE_Q,
         MQRC_CONFIG_CREATE_OBJECT, MQOT_Q},
        {"escape DISPLAY", escape("DISPLAY QLOCAL(EV.*)"), 0, 0, 0, 0},
        {"reset", RequestBuilder(MQCMD_RESET_Q_STATS).string(MQCA_Q_NAME, "EV.Q").bytes(), MQRC_COMMAND_PCF,
         MQCMD_RESET_Q_STATS, 0, 0},
        {"escape DEFINE NAMELIST", escape("DEFINE NAMELIST(EV.NL) NAMES(A,'b')"), MQRC_COMMAND_MQSC,
         MQCMD_CREATE_NAMELIST, MQRC_CONFIG_CREATE_OBJECT, MQOT_NAMELIST},
        {"escape REFRESH", escape("REFRESH QMGR TYPE(CONFIGEV) OBJECT(NAMELIST) NAME(EV*)"),
         MQRC_COMMAND_MQSC, MQCMD_REFRESH_Q_MGR, MQRC_CONFIG_REFRESH_OBJECT, MQOT_NAMELIST},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Reply> got = replies(send(c.request, 0, MQPER_NOT_PERSISTENT, MQFMT_ADMIN, &context));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().cc, MQCC_OK);
        std::vector<Pcf> commands = drainPcf(h, "SYSTEM.ADMIN.COMMAND.EVENT");
        ASSERT_EQ(commands.size(), c.command ? 1u : 0u);
        if (c.command) {
            const Pcf &e = commands[0];
            EXPECT_EQ(e.reason, c.eventReason);
            std::vector<int32_t> ids = contextIds;
            ids.push_back(MQIACF_COMMAND);
            EXPECT_EQ(e.ids(MQGACF_COMMAND_CONTEXT), ids);
            EXPECT_EQ(e.integer(MQIACF_COMMAND), c.command);
            expectContext(e, MQGACF_COMMAND_CONTEXT);
            if (c.command == MQCMD_RESET_Q_STATS) {
                EXPECT_EQ(e.ids(MQGACF_COMMAND_DATA), (std::vector<int32_t>{MQCA_Q_NAME}));
                EXPECT_EQ(e.text(MQCA_Q_NAME, MQGACF_COMMAND_DATA), "EV.Q");
            }
        }
        std::vector<Pcf> configs = drainPcf(h, "SYSTEM.ADMIN.CONFIG.EVENT");
        ASSERT_EQ(configs.size(), c.configReason ? 1u : 0u);
        if (!c.configReason) continue;
        const Pcf &e = configs[0];
        EXPECT_EQ(e.reason, c.configReason);
        std::vector<int32_t> ids = e.ids();
        ASSERT_GE(ids.size(), 10u);
        EXPECT_EQ(std::vector<int32_t>(ids.begin(), ids.begin() + 8), contextIds);
        expectContext(e, 0);
        EXPECT_EQ(e.integer(MQIACF_OBJECT_TYPE), c.objectType);
        if (c.objectType == MQOT_NAMELIST) {
            EXPECT_EQ(ids[9], MQCA_NAMELIST_NAME);
            EXPECT_EQ(e.text(MQCA_NAMELIST_NAME), "EV.NL");
            const Parm *names = e.find(MQCA_NAMES);
            ASSERT_NE(names, nullptr);
            EXPECT_EQ(names->type, MQCFT_STRING_LIST);
            EXPECT_EQ(names->text, "A" + std::string(47, ' ') + "b");
            EXPECT_EQ(e.integer(MQIA_NAME_COUNT), 2);
        }
    }
}

// What the command server cannot carry out gets one error response naming the request's command.
TEST_F(CmdServerTest, RequestsItCannotCarryOutGetOneErrorResponse) {
    struct Case {
        const char *what;
        std::string request;
        const char *format;
        MQLONG command, reason;
    };
    std::string truncated = escape("DISPLAY QMGR");
    truncated.resize(truncated.size() - 8);
    const Case cases[] = {
        {"an inquiry", RequestBuilder(MQCMD_INQUIRE_Q).string(MQCA_Q_NAME, "*").bytes(), MQFMT_ADMIN,
         MQCMD_INQUIRE_Q, MQRCCF_CFH_COMMAND_ERROR},
        {"a response as request", RequestBuilder(MQCMD_ESCAPE, MQCFT_RESPONSE).bytes(), MQFMT_ADMIN,
         MQCMD_ESCAPE, MQRCCF_CFH_TYPE_ERROR},
        {"no escape text", RequestBuilder(MQCMD_ESCAPE).integer(MQIACF_ESCAPE_TYPE, MQET_MQSC).bytes(),
         MQFMT_ADMIN, MQCMD_ESCAPE, MQRCCF_PARM_COUNT_TOO_SMALL},
        {"another escape type",
         RequestBuilder(MQCMD_ESCAPE)
             .integer(MQIACF_ESCAPE_TYPE, 2)
             .string(MQCACF_ESCAPE_TEXT, "DIS QMGR")
             .bytes(),
         MQFMT_ADMIN, MQCMD_ESCAPE, MQRCCF_ESCAPE_TYPE_ERROR},
        {"a cut message", truncated, MQFMT_ADMIN, MQCMD_ESCAPE, MQRCCF_MSG_LENGTH_ERROR},
        {"not MQADMIN", escape("DIS QMGR"), MQFMT_STRING, MQCMD_NONE, MQRCCF_MD_FORMAT_ERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Reply> got = replies(send(c.request, 0, MQPER_NOT_PERSISTENT, c.format));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].type, MQCFT_RESPONSE);
        EXPECT_EQ(got[0].command, c.command);
        EXPECT_EQ(got[0].cc, MQCC_FAILED);
        EXPECT_EQ(got[0].reason, c.reason);
        EXPECT_TRUE(got[0].items.empty());
    }
}

// Stopped, the command server leaves requests on the queue; started again, it answers them.
TEST_F(CmdServerTest, StoppedRequestsWaitUntilStart) {
    std::string out;
    ASSERT_EQ(qm.tool("cmdserver " + qm.name() + " stop", &out), 0) << out;
    EXPECT_EQ(qm.tool("cmdserver " + qm.name() + " stop", &out), 1) << out;
    MQMD request = send(escape("DISPLAY QMGR"));
    EXPECT_TRUE(replies(request, 300).empty());
    EXPECT_EQ(depth(qm.name(), "SYSTEM.ADMIN.COMMAND.QUEUE"), 1);
    ASSERT_EQ(admin(qm.name(), "cmdserver start", &out), 0) << out;
    EXPECT_EQ(admin(qm.name(), "cmdserver start", &out), 1) << out;
    std::vector<Reply> got = replies(request);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].command, MQCMD_INQUIRE_Q_MGR);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.ADMIN.COMMAND.QUEUE"), 0);
}

// NAMES replaces the whole list (NAMES() and NAMES(' ') empty it), quoted names keep their case,
// at most 256 names of 48 characters; namelists outlast a restart.
TEST_F(CmdServerTest, NamelistNamesAreReplacedEmptiedAndLimited) {
    auto names = [](int n, size_t length) {
        std::string list;
        for (int i = 0; i < n; ++i) {
            std::string name = "N" + std::to_string(i);
            list += (i ? "," : "") + name + std::string(length - name.size(), 'X');
        }
        return list;
    };
    struct Case {
        std::string mqsc;
        const char *starts;
        const char *shows;  // NAMES and NAMCOUNT of DISPLAY NAMELIST(APP.NL) afterwards
    };
    const Case cases[] = {
        {"DEFINE NAMELIST(APP.NL) NAMES(Q1, 'q2' ,Q3) DESCR('Apps')", "AMQ8552I", "NAMES(Q1,q2,Q3)"},
        {"ALTER NAMELIST(APP.NL) NAMES(OTHER)", "AMQ8551I", "NAMES(OTHER)"},
        {"ALTER NAMELIST(APP.NL) NAMES()", "AMQ8551I", "NAMES()"},
        {"ALTER NAMELIST(APP.NL) NAMES(A,B)", "AMQ8551I", "NAMCOUNT(2)"},
        {"ALTER NAMELIST(APP.NL) NAMES(' ')", "AMQ8551I", "NAMCOUNT(0)"},
        {"ALTER NAMELIST(APP.NL) NAMES(" + names(256, 48) + ")", "AMQ8551I", "NAMCOUNT(256)"},
        {"ALTER NAMELIST(APP.NL) NAMES(" + names(257, 8) + ")", "AMQ8405E", "NAMCOUNT(256)"},
        {"ALTER NAMELIST(APP.NL) NAMES(" + names(1, 49) + ")", "AMQ8405E", "NAMCOUNT(256)"},
        {"ALTER NAMELIST(APP.NL) NAMES(LAST) DESCR('Kept')", "AMQ8551I", "DESCR(Kept)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mqsc.substr(0, 60));
        std::vector<Reply> got = ask(escape(c.mqsc));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(startsWith(got[0].text(MQCACF_ESCAPE_TEXT), c.starts)) << got[0].text(MQCACF_ESCAPE_TEXT);
        got = ask(escape("DISPLAY NAMELIST(APP.NL) ALL"));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_NE(got[0].text(MQCACF_ESCAPE_TEXT).find(c.shows), std::string::npos)
            << got[0].text(MQCACF_ESCAPE_TEXT);
    }
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop());
    ASSERT_TRUE(qm.start());
    std::string out;
    ASSERT_EQ(qm.mqsc("DISPLAY NAMELIST(*) NAMES", &out), 0) << out;
    EXPECT_NE(out.find("NAMELIST(APP.NL)"), std::string::npos) << out;
    EXPECT_NE(out.find("NAMES(LAST)"), std::string::npos) << out;
    EXPECT_NE(out.find("NAMELIST(SYSTEM.DEFAULT.NAMELIST)"), std::string::npos) << out;
}

// An escape command needs the requester's authority for its object: without it the answer is
// IBM MQ's "AMQ8135E: Not authorized." with reason 2035, nothing is done, and an authority event
// (qualifier 4) names the command and the user; a generic DISPLAY leaves out what may not be shown.
TEST_F(CmdServerTest, EscapeCommandsNeedTheRequestersAuthority) {
    define(
        "ALTER QMGR AUTHOREV(ENABLED)\nDEFINE QLOCAL(SEC.A)\nDEFINE QLOCAL(SEC.B)\n"
        "SET AUTHREC PROFILE(SEC.A) OBJTYPE(QUEUE) PRINCIPAL('mallory') AUTHADD(DSP)");
    drainPcf(h, "SYSTEM.ADMIN.QMGR.EVENT");
    MQMD context = MQMD_DEFAULT;
    setText(context.UserIdentifier, 12, "mallory");
    auto askAs = [&](const std::string &command) {
        return replies(send(escape(command), 0, MQPER_NOT_PERSISTENT, MQFMT_ADMIN, &context));
    };
    struct Case {
        const char *command;
        MQLONG code;
    } refused[] = {{"DEFINE QLOCAL(SEC.NEW)", MQCMD_CREATE_Q}, {"DISPLAY QLOCAL(SEC.B)", MQCMD_INQUIRE_Q}};
    for (const Case &c : refused) {
        SCOPED_TRACE(c.command);
        std::vector<Reply> got = askAs(c.command);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].cc, MQCC_FAILED);
        EXPECT_EQ(got[0].reason, MQRC_NOT_AUTHORIZED);
        EXPECT_EQ(got[0].text(MQCACF_ESCAPE_TEXT), "AMQ8135E: Not authorized.");
        std::vector<Pcf> events = drainPcf(h, "SYSTEM.ADMIN.QMGR.EVENT");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].reason, MQRC_NOT_AUTHORIZED);
        EXPECT_EQ(events[0].integer(MQIACF_REASON_QUALIFIER), MQRQ_CMD_NOT_AUTHORIZED);
        EXPECT_EQ(events[0].integer(MQIACF_COMMAND), c.code);
        EXPECT_EQ(events[0].text(MQCACF_USER_IDENTIFIER), "mallory");
        EXPECT_EQ(events[0].subtype(), 1006u);
    }
    std::vector<Reply> shown = askAs("DISPLAY QLOCAL(SEC.*)");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].cc, MQCC_OK);
    EXPECT_NE(shown[0].text(MQCACF_ESCAPE_TEXT).find("QUEUE(SEC.A)"), std::string::npos);
    // Nothing was defined.
    std::vector<Reply> none = ask(escape("DISPLAY QLOCAL(SEC.NEW)"));
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].cc, MQCC_FAILED);
}

// Set Authority Record and Inquire Authority Records as PCF: records made per entity named, read
// back with the parameters IBM MQ documents, the requests it refuses answered with its reasons,
// and the requester's own authority (chg, dsp on the queue manager) checked as for escapes.
TEST_F(CmdServerTest, AuthorityRecordCommandsSetInquireAndAreChecked) {
    auto setRec = [](const std::string &profile, MQLONG type, std::vector<MQLONG> add) {
        RequestBuilder b(MQCMD_SET_AUTH_REC);
        b.string(MQCACF_AUTH_PROFILE_NAME, profile).integer(MQIACF_OBJECT_TYPE, type);
        b.strings(MQCACF_PRINCIPAL_ENTITY_NAMES, {"alice", "bob"}, 12);
        if (!add.empty()) b.integers(MQIACF_AUTH_ADD_AUTHS, add);
        return b;
    };
    auto inquire = [](const std::string &profile, MQLONG options, const std::string &entity = "",
                      bool entityType = true) {
        RequestBuilder b(MQCMD_INQUIRE_AUTH_RECS);
        b.integer(MQIACF_AUTH_OPTIONS, options).string(MQCACF_AUTH_PROFILE_NAME, profile);
        b.integer(MQIACF_OBJECT_TYPE, MQOT_Q);
        if (!entity.empty()) b.string(MQCACF_ENTITY_NAME, entity);
        if (!entity.empty() && entityType) b.integer(MQIACF_ENTITY_TYPE, MQZAET_PRINCIPAL);
        return b;
    };
    const MQLONG matching = MQAUTHOPT_NAME_ALL_MATCHING | MQAUTHOPT_ENTITY_EXPLICIT;
    std::vector<Reply> done = ask(setRec("APP.*", MQOT_Q, {MQAUTH_OUTPUT, MQAUTH_INPUT}).bytes());
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].cc, MQCC_OK);
    EXPECT_EQ(done[0].command, MQCMD_SET_AUTH_REC);
    ASSERT_EQ(ask(setRec("APP.Q1", MQOT_Q, {MQAUTH_BROWSE}).bytes())[0].reason, MQRC_NONE);
    std::string out;
    ASSERT_EQ(qm.mqsc("DISPLAY AUTHREC PROFILE(APP.*) OBJTYPE(QUEUE) PRINCIPAL(bob)", &out), 0) << out;
    EXPECT_NE(out.find("AUTHLIST(GET,PUT)"), std::string::npos) << out;

    // alice's records that apply to APP.Q1, most specific first as the store orders them.
    std::vector<Reply> recs = ask(inquire("APP.Q1", matching, "alice").bytes());
    ASSERT_EQ(recs.size(), 2u);
    std::vector<std::pair<std::string, std::vector<int64_t>>> expected = {
        {"APP.*", {MQAUTH_INPUT, MQAUTH_OUTPUT}}, {"APP.Q1", {MQAUTH_BROWSE}}};
    for (size_t i = 0; i < recs.size(); ++i) {
        Pcf p = decodePcf(recs[i].md, recs[i].data);
        EXPECT_EQ(p.status, PCF_END_OF_MESSAGE);
        EXPECT_EQ(p.ids(),
                  (std::vector<int32_t>{MQIACF_AUTH_OPTIONS, MQCACF_AUTH_PROFILE_NAME, MQIACF_OBJECT_TYPE,
                                        MQCACF_ENTITY_NAME, MQIACF_ENTITY_TYPE, MQIACF_AUTHORIZATION_LIST}));
        EXPECT_EQ(p.integer(MQIACF_AUTH_OPTIONS), matching);
        EXPECT_EQ(p.text(MQCACF_AUTH_PROFILE_NAME), expected[i].first);
        EXPECT_EQ(p.text(MQCACF_ENTITY_NAME), "alice");
        EXPECT_EQ(p.integer(MQIACF_ENTITY_TYPE), MQZAET_PRINCIPAL);
        EXPECT_EQ(p.list(MQIACF_AUTHORIZATION_LIST), expected[i].second);
        EXPECT_EQ(recs[i].control, i + 1 == recs.size() ? MQCFC_LAST : MQCFC_NOT_LAST);
    }
    EXPECT_EQ(ask(inquire("APP.Q1", MQAUTHOPT_NAME_EXPLICIT | MQAUTHOPT_ENTITY_EXPLICIT).bytes()).size(), 2u);

    struct Refused {
        const char *what;
        std::string request;
        MQLONG reason;
    } refused[] = {
        {"no entity",
         RequestBuilder(MQCMD_SET_AUTH_REC)
             .string(MQCACF_AUTH_PROFILE_NAME, "X")
             .integer(MQIACF_OBJECT_TYPE, MQOT_Q)
             .integers(MQIACF_AUTH_ADD_AUTHS, {MQAUTH_OUTPUT})
             .bytes(),
         MQRCCF_ENTITY_NAME_MISSING},
        {"no object type", RequestBuilder(MQCMD_SET_AUTH_REC).string(MQCACF_AUTH_PROFILE_NAME, "X").bytes(),
         MQRCCF_OBJECT_TYPE_MISSING},
        {"connect on a queue", setRec("X", MQOT_Q, {MQAUTH_CONNECT}).bytes(), MQRCCF_AUTH_VALUE_ERROR},
        {"no authorities", setRec("X", MQOT_Q, {}).bytes(), MQRCCF_AUTH_VALUE_MISSING},
        {"bad profile", setRec("A.**.**", MQOT_Q, {MQAUTH_OUTPUT}).bytes(), MQRCCF_PROFILE_NAME_ERROR},
        {"entity without type", inquire("APP.Q1", matching, "alice", false).bytes(),
         MQRCCF_ENTITY_TYPE_MISSING},
        {"explicit with set", inquire("APP.Q1", MQAUTHOPT_NAME_EXPLICIT | MQAUTHOPT_ENTITY_SET).bytes(),
         MQRCCF_PARM_VALUE_ERROR},
        {"none found", inquire("OTHER.Q", matching).bytes(), MQRC_UNKNOWN_OBJECT_NAME},
    };
    for (const Refused &c : refused) {
        SCOPED_TRACE(c.what);
        std::vector<Reply> got = ask(c.request);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].cc, MQCC_FAILED);
        EXPECT_EQ(got[0].reason, c.reason);
    }

    // A requester without chg, then without dsp, on the queue manager: 2035 and nothing changed.
    MQMD context = MQMD_DEFAULT;
    setText(context.UserIdentifier, 12, "mallory");
    auto askAs = [&](const std::string &request) {
        return replies(send(request, 0, MQPER_NOT_PERSISTENT, MQFMT_ADMIN, &context));
    };
    EXPECT_EQ(askAs(setRec("MAL.*", MQOT_Q, {MQAUTH_OUTPUT}).bytes())[0].reason, MQRC_NOT_AUTHORIZED);
    EXPECT_EQ(askAs(inquire("APP.Q1", matching).bytes())[0].reason, MQRC_NOT_AUTHORIZED);
    define("SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('mallory') AUTHADD(DSP)");
    EXPECT_EQ(askAs(inquire("APP.Q1", matching).bytes()).size(), 4u);
    EXPECT_EQ(ask(inquire("MAL.*", matching).bytes())[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
}
