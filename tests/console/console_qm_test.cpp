// The console against a private stand-in queue manager with its command server: connect, a
// DISPLAY answered over the dynamic reply queue, a failing command, disconnect, and a broken
// connection.
#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "console/console.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"
#include "testing/console_session.h"

namespace {

class ConsoleQm : public ::testing::Test {
protected:
    ConsoleQm() : qm_("QM1") {}
    void SetUp() override {
        ASSERT_TRUE(qm_.ok());
        saved_ = zt::localConsoleStart("QM1");
        savedTable_ = cslServerTable;
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &cslServerTable), 0);
        std::snprintf(evStart.replyPrefix, sizeof evStart.replyPrefix, "ZUNT.*");  // the -p default
        ASSERT_EQ(cslApplyConfiguration(), 1);
        s_ = gSession.load();
        s_->formatting = 0;
    }
    void TearDown() override {
        cslEndSession();
        EXPECT_EQ(gSession.load(), nullptr);
        cslServerTable = savedTable_;
        evStart = saved_;
    }
    // Under the display lock: the reply reader adds lines meanwhile (a broken connection's).
    std::vector<std::string> lines() const {
        CSRecursiveGuard guard(s_->displayLock);
        return zt::linesAfter(s_);
    }
    bool shown(const std::string &part) const {
        for (const std::string &line : lines())
            if (line.find(part) != std::string::npos) return true;
        return false;
    }
    int command(const char *text) {
        return cslIssueMQCommand(s_, text, CSL_REQUEST_COMMAND, 0, 0, 0, nullptr);
    }

    qmt::QmServer qm_;
    EvStartSettings saved_{};
    MQIFunctionTable savedTable_{};
    zt::ConsoleCapture console_;
    cslSession *s_ = nullptr;
};

TEST_F(ConsoleQm, ADisplayIsAnsweredAndAFailureCounted) {
    ASSERT_EQ(qm_.mqsc("DEFINE QLOCAL(APP.ONE)\nDEFINE QLOCAL(APP.TWO)\n"), 0);
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_TRUE(shown("Connected to 'QM1'")) << ::testing::PrintToString(lines());
    EXPECT_NE(evConsoleLink.hconn.load(), -1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    EXPECT_TRUE(shown("Commands directed to IBM MQ"));

    EXPECT_EQ(command("DISPLAY QLOCAL(APP.*)"), 1) << ::testing::PrintToString(lines());
    EXPECT_TRUE(shown("QUEUE(APP.ONE)"));
    EXPECT_TRUE(shown("QUEUE(APP.TWO)"));
    EXPECT_TRUE(shown("Total display responses - Received:2"));
    EXPECT_EQ(command("DISPLAY QLOCAL(NOSUCH)"), 1);
    EXPECT_EQ(s_->summarySucceeded.load(), 1);
    EXPECT_EQ(s_->summaryFailed.load(), 1);

    std::string replyQueue = s_->current->replyQueueName;
    EXPECT_EQ(cslIssueMQCommand(s_, "=disc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    EXPECT_TRUE(shown("Disconnected from 'QM1'"));
    EXPECT_EQ(evConsoleLink.hconn.load(), -1);
    std::string out;
    qm_.mqsc("DISPLAY QLOCAL(" + replyQueue + ")\n", &out);
    EXPECT_EQ(out.find("QUEUE(" + replyQueue + ")"), std::string::npos) << out;  // the dynamic queue went
}

TEST_F(ConsoleQm, ACommandWaitsForAStoppedCommandServer) {
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    ASSERT_EQ(qm_.tool("cmdserver QM1 stop"), 0);
    std::thread starter([this] {
        usleep(300000);
        qm_.tool("cmdserver QM1 start");
    });
    EXPECT_EQ(command("DISPLAY QMGR"), 1);
    starter.join();
    EXPECT_TRUE(shown("QMNAME(QM1)"));
}

// A command whose connection breaks before its reply counts as failed: the summary adds up.
TEST_F(ConsoleQm, ACommandLostToABrokenConnectionCountsAsFailed) {
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    ASSERT_EQ(qm_.tool("cmdserver QM1 stop"), 0);
    std::thread killer([this] {
        usleep(300000);
        qm_.kill9();
    });
    command("DISPLAY QMGR");
    killer.join();
    cslIssueCommand(s_, "=show summary");
    EXPECT_TRUE(shown("MQSC Command summary - Issued: 1  Success: 0  Fail: 1"))
        << ::testing::PrintToString(lines());
}

TEST_F(ConsoleQm, AKilledQueueManagerBreaksTheConnection) {
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    qm_.kill9();
    for (int i = 0; i < 500 && !shown("Connection to Queue Manager has been broken"); ++i) usleep(10000);
    EXPECT_TRUE(shown("Connection to Queue Manager has been broken"));
}

// One displayed object of a reply: its name (the first attribute's value) and its attributes, a
// list's items glued back to one attribute.
struct Shown {
    std::string name;
    std::vector<std::string> attributes;
};

std::vector<Shown> shownObjects(const std::vector<std::string> &lines) {
    std::vector<Shown> objects;
    std::string text;
    auto close = [&objects, &text] {
        if (objects.empty() || text.empty()) return;
        CslAttrCursor cursor{text.c_str(), text.size(), 0, 0, 0, 0};
        std::vector<char> token(text.size() + 2);
        size_t length = 0;
        int keyword = 0;
        for (bool glue = false; cslParseResponseAttrs(&cursor, token.data(), token.size(), &length, &keyword);
             glue = cursor.inList != 0) {
            if (keyword == 0) continue;
            if (glue && !objects.back().attributes.empty())
                objects.back().attributes.back() += std::string(token.data(), length);
            else
                objects.back().attributes.emplace_back(token.data(), length);
        }
        const std::string &first = objects.back().attributes.front();
        objects.back().name = first.substr(first.find('(') + 1, first.size() - first.find('(') - 2);
        text.clear();
    };
    for (const std::string &line : lines) {
        if (cslClassifyResponse(line.c_str(), line.size())) {
            close();
            objects.emplace_back();
        } else if (line.rfind("   ", 0) == 0 && !objects.empty()) {
            text += line + "\n";
        }
    }
    close();
    return objects;
}

// The items of a list attribute's value.
std::vector<std::string> listItems(const std::string &value) {
    std::vector<std::string> items;
    const char *at = value.c_str();
    const char *item = nullptr;
    size_t length = 0;
    while (cslNextListItem(&at, value.c_str() + value.size(), &item, &length))
        if (length > 0) items.emplace_back(item, length);
    return items;
}

// Every attribute of the stand-in's real replies, of every object type it displays, is a field of
// the DISPLAY row =WHERE uses (a bare NOxxx is the negative form of the flag xxx), and each of its
// first two values selects the objects the unfiltered reply says it should, through a DISPLAY that
// names nothing but the =WHERE.
TEST_F(ConsoleQm, EveryAttributeOfARealDisplayIsAWhereField) {
    ASSERT_EQ(qm_.mqsc("DEFINE QLOCAL(APP.ONE)\n"
                       "DEFINE QLOCAL(APP.TRIG) TRIGGER NOSHARE NOHARDENBO DESCR('Bob''s (first) queue') "
                       "INITQ(APP.ONE) TRIGTYPE(EVERY) MAXDEPTH(7)\n"
                       "DEFINE QALIAS(APP.ALIAS) TARGET(APP.ONE)\n"
                       "DEFINE QREMOTE(APP.REMOTE) RNAME(THERE) RQMNAME(QM2)\n"
                       "DEFINE CHANNEL(APP.SVRCONN) CHLTYPE(SVRCONN)\n"
                       "DEFINE CHANNEL(TO.QM2) CHLTYPE(SDR) CONNAME('host2(1414)') XMITQ(QM2)\n"
                       "DEFINE CHANNEL(QM2.TO.QM1) CHLTYPE(RCVR) RCVEXIT(RCV.EXIT)\n"
                       "DEFINE CHANNEL(APP.CLIENT) CHLTYPE(CLNTCONN) QMNAME(QM1)\n"
                       "DEFINE TOPIC(APP.T1) TOPICSTR('app/one')\n"
                       "DEFINE SERVICE(APP.S1) CONTROL(MANUAL) SERVTYPE(COMMAND)\n"
                       "DEFINE SERVICE(APP.S2) CONTROL(QMGR) SERVTYPE(SERVER) STARTCMD('/bin/true')\n"
                       "DEFINE SERVICE(APP.S3) CONTROL(STARTONLY)\n"
                       "DEFINE NAMELIST(APP.N1) NAMES(A,B)\nDEFINE NAMELIST(APP.N2) NAMES(B)\n"),
              0);
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    // The reply queue's CURDEPTH stays 0 from here: the reply to the ALTER that deepened it is read
    // before this command's.
    ASSERT_EQ(command("DISPLAY QMGR QMNAME"), 1);
    s_->cswhere = 1;  // values compare exactly, as the selections from the reply do
    const struct {
        const char *object;
        const char *display;  // with ALL, or with =WHERE(...) appended
    } kDisplays[] = {{"QLOCAL", "DISPLAY QLOCAL(*)"},    {"QALIAS", "DISPLAY QALIAS(*)"},
                     {"QMODEL", "DISPLAY QMODEL(*)"},    {"QREMOTE", "DISPLAY QREMOTE(*)"},
                     {"CHANNEL", "DISPLAY CHANNEL(*)"},  {"QMGR", "DISPLAY QMGR"},
                     {"TOPIC", "DISPLAY TOPIC(*)"},      {"SERVICE", "DISPLAY SERVICE(*)"},
                     {"NAMELIST", "DISPLAY NAMELIST(*)"}};
    auto issue = [this](const std::string &text) {
        const cslOutputLine *before = s_->screens[0].newest;
        EXPECT_EQ(command(text.c_str()), 1) << text;
        return zt::linesAfter(s_, before);
    };
    int selections = 0;
    for (const auto &d : kDisplays) {
        const cslCommandView view{0, 0, nullptr};
        char message[CSL_LOOKUP_MESSAGE];
        const cslMqscCommand *row = cslFindMqscCommand(&view, "DISPLAY", d.object, message);
        ASSERT_NE(row, nullptr) << d.object;
        auto field = [row](const std::string &keyword) -> const evParmDef * {
            for (const evParmDef *f = row->parms; f != nullptr && f->keyword != nullptr; ++f)
                if (keyword == f->keyword) return f;
            return nullptr;
        };
        const std::vector<Shown> all = shownObjects(issue(std::string(d.display) + " ALL"));
        ASSERT_FALSE(all.empty()) << d.display;
        // Each keyword's first two values, in the order the reply shows them.
        std::vector<std::pair<std::string, std::vector<std::string>>> values;
        for (const Shown &o : all) {
            for (const std::string &a : o.attributes) {
                const std::string keyword = a.substr(0, a.find('('));
                auto at = std::find_if(values.begin(), values.end(),
                                       [&](const auto &v) { return v.first == keyword; });
                if (at == values.end()) at = values.insert(values.end(), {keyword, {}});
                if (at->second.size() < 2 &&
                    std::find(at->second.begin(), at->second.end(), a) == at->second.end())
                    at->second.push_back(a);
            }
        }
        for (const auto &[keyword, tokens] : values) {
            const bool bare = tokens.front().find('(') == std::string::npos;
            const evParmDef *f =
                field(bare && field(keyword) == nullptr && keyword.rfind("NO", 0) == 0 ? keyword.substr(2)
                                                                                       : keyword);
            ASSERT_NE(f, nullptr) << d.display << ": " << keyword;
            const char kind = f->type[0];
            for (const std::string &token : tokens) {
                const std::string value =
                    bare ? "" : token.substr(keyword.size() + 1, token.size() - keyword.size() - 2);
                std::string where;
                std::function<bool(const std::string &)> selects = [&token](const std::string &a) {
                    return a == token;
                };
                if (bare) {
                    where = keyword;
                } else if (kind == 'L' || kind == 'l') {
                    const std::vector<std::string> items = listItems(value);
                    if (items.empty()) continue;  // an empty list selects as no list at all
                    where = keyword + " CT '" + items.front() + "'";
                    selects = [&keyword, item = items.front()](const std::string &a) {
                        if (a.rfind(keyword + "(", 0) != 0) return false;
                        const std::vector<std::string> its =
                            listItems(a.substr(keyword.size() + 1, a.size() - keyword.size() - 2));
                        return std::find(its.begin(), its.end(), item) != its.end();
                    };
                } else if (kind == 'I' && value.find(',') != std::string::npos) {
                    where = keyword + ".short EQ " + value.substr(0, value.find(',')) + " AND " + keyword +
                            ".long EQ " + value.substr(value.find(',') + 1);
                } else if (kind == 'I' || kind == 'i' || kind == 'j') {
                    where = keyword + " EQ " + value;
                } else {
                    std::string quoted;
                    for (char c : value) quoted += c == '\'' ? std::string("''") : std::string(1, c);
                    where = keyword + " EQ '" + quoted + "'";
                }
                std::vector<std::string> expected;
                for (const Shown &o : all)
                    if (std::any_of(o.attributes.begin(), o.attributes.end(), selects))
                        expected.push_back(o.name);
                const std::string text = std::string(d.display) + " =WHERE(" + where + ")";
                const std::vector<std::string> lines = issue(text);
                for (size_t i = 1; i < lines.size(); ++i)  // after the command's own line
                    for (const char *word : {"=WHERE", "ariable", "rror"})
                        EXPECT_EQ(lines[i].find(word), std::string::npos) << text << ": " << lines[i];
                std::vector<std::string> shown;
                for (const Shown &o : shownObjects(lines)) shown.push_back(o.name);
                EXPECT_EQ(shown, expected) << text;
                ++selections;
            }
        }
    }
    EXPECT_GT(selections, 200);
}

// The attribute check with the default settings: the displays it issues stay hidden, and every
// attribute of the stand-in's replies is known.
TEST_F(ConsoleQm, TheAttributeCheckShowsOnlyItsFindings) {
    s_->formatting = 1;
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    const cslOutputLine *before = s_->screens[0].newest;
    cslIssueCommand(s_, "!unhandled!");
    std::vector<std::string> shown;
    for (const cslOutputLine *l = before->next; l != nullptr; l = l->next)
        if (l->rows > 0) shown.emplace_back(cslLineText(l));
    EXPECT_EQ(shown, (std::vector<std::string>{"All attributes appear to be handled"}));
}

// A queue name longer than 48 characters is refused, not cut to the name of another queue; the
// refused command counts as issued and failed, so that the summary adds up.
TEST_F(ConsoleQm, ResetQStatsRefusesALongNameAndTheSummaryAddsUp) {
    const std::string name48(48, 'Q');
    ASSERT_EQ(qm_.mqsc("DEFINE QLOCAL(" + name48 + ")\nALTER QMGR PERFMEV(ENABLED)\n"), 0);
    ASSERT_EQ(qm_.tool("put QM1 " + name48 + " < /dev/null"), 0);
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    command(("RESET QSTATS(" + name48 + "X)").c_str());
    EXPECT_TRUE(shown("AMQ8405: Syntax error detected")) << ::testing::PrintToString(lines());
    EXPECT_FALSE(shown("MSGSIN(")) << ::testing::PrintToString(lines());
    command(("RESET QSTATS(" + name48 + ")").c_str());
    EXPECT_TRUE(shown("MSGSIN(1)")) << ::testing::PrintToString(lines());  // its put is still counted
    command("DISPLAY QLOCAL(Q*) CURDEPTH =WHERE(NOSUCH > 0)");             // refused here, not sent
    EXPECT_TRUE(shown("Unknown variable 'NOSUCH'"));
    cslIssueCommand(s_, "=show summary");
    EXPECT_TRUE(shown("MQSC Command summary - Issued: 3  Success: 1  Fail: 2"))
        << ::testing::PrintToString(lines());
}

// Symbolic values are the words MQSC replies carry; the =WHERE examples work on real replies.
TEST_F(ConsoleQm, WhereComparesWithTheWordsOfTheReplies) {
    ASSERT_EQ(qm_.mqsc("DEFINE QLOCAL(AXB) DEFPSIST(YES)\nDEFINE QLOCAL(AYB) GET(DISABLED) NOSHARE\n"
                       "DEFINE QLOCAL(AZC) TRIGGER\nDEFINE QALIAS(AAB) TARGET(AXB)\n"),
              0);
    ASSERT_EQ(qm_.tool("put QM1 AYB < /dev/null"), 0);
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    auto shownNames = [this](const char *text, const std::string &keyword = "QUEUE(") {
        const cslOutputLine *before = s_->screens[0].newest;
        command(text);
        std::vector<std::string> names;
        for (const std::string &line : zt::linesAfter(s_, before)) {
            const size_t at = line.find(keyword);
            if (at != std::string::npos && line.rfind("DISPLAY", 0) != 0)
                names.push_back(line.substr(at + keyword.size(), line.find(')', at) - at - keyword.size()));
            EXPECT_EQ(line.find("Unknown variable"), std::string::npos) << text << ": " << line;
            EXPECT_EQ(line.find("=WHERE() does not know"), std::string::npos) << text << ": " << line;
        }
        return names;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*B) =WHERE(CURDEPTH > 0)"), (V{"AYB"}));
    EXPECT_EQ(shownNames("DISPLAY QUEUE(A*) =WHERE(TYPE EQ LOCAL)"), (V{"AXB", "AYB", "AZC"}));
    EXPECT_EQ(shownNames("DISPLAY QUEUE(A*) =WHERE(TYPE EQ QALIAS)"), (V{"AAB"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(DEFPSIST EQ NO)"), (V{"AYB", "AZC"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(DEFPSIST EQ YES)"), (V{"AXB"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(GET EQ DISABLED)"), (V{"AYB"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(DESCR EQ '')"), (V{"AXB", "AYB", "AZC"}));
    EXPECT_EQ(shownNames("DISPLAY QALIAS(A*) =WHERE(TARGET EQ 'AXB')"), (V{"AAB"}));
    // Flags: a bare TRIGGER or NOTRIGGER in the reply, compared with YES and NO or the flag's words.
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(TRIGGER)"), (V{"AZC"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(NOTRIGGER)"), (V{"AXB", "AYB"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(TRIGGER EQ YES)"), (V{"AZC"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(TRIGGER EQ OFF)"), (V{"AXB", "AYB"}));
    EXPECT_EQ(shownNames("DISPLAY QLOCAL(A*) =WHERE(NOSHARE EQ YES)"), (V{"AYB"}));
    EXPECT_EQ(shownNames("DISPLAY QMGR =WHERE(SYNCPT EQ YES)", "QMNAME("), (V{"QM1"}));
    // The words of SERVICE's CONTROL and SERVTYPE and of TOPIC's TYPE.
    ASSERT_EQ(qm_.mqsc("DEFINE SERVICE(S1) CONTROL(QMGR) SERVTYPE(COMMAND)\nDEFINE SERVICE(S2) "
                       "CONTROL(MANUAL) SERVTYPE(SERVER)\n"
                       "DEFINE TOPIC(T1) TOPICSTR('t/one')\n"),
              0);
    EXPECT_EQ(shownNames("DISPLAY SERVICE(S*) =WHERE(CONTROL EQ MANUAL)", "SERVICE("), (V{"S2"}));
    EXPECT_EQ(shownNames("DISPLAY SERVICE(S*) =WHERE(CONTROL EQ 0)", "SERVICE("), (V{"S1"}));
    EXPECT_EQ(shownNames("DISPLAY SERVICE(S*) =WHERE(SERVTYPE EQ COMMAND)", "SERVICE("), (V{"S1"}));
    EXPECT_EQ(shownNames("DISPLAY TOPIC(T*) =WHERE(TYPE EQ LOCAL)", "TOPIC("), (V{"T1"}));
    // Error positions count from the start of the command (an offset, as the expressions count).
    command("DISPLAY QLOCAL(A*) =WHERE(CURDEPTH > 0 @@)");
    EXPECT_EQ(lines().back(), "Unrecognised token '@@' at position 39");
    // A list is no string: LK on one is refused as the filter is parsed (it was sent, and failed on
    // every reply).
    command("DISPLAY NAMELIST(*) =WHERE(NAMES LK 'A*')");
    EXPECT_EQ(lines().back(), "Operator 'LK' is only applicable to strings");
}

// Channel attributes compare with the words DISPLAY CHANNEL replies carry (CHLTYPE(SDR), KAINT(AUTO)),
// and a channel whose type lacks the attribute is left out. APP* leaves out SYSTEM.DEF.SVRCONN.
TEST_F(ConsoleQm, WhereOnChannelsUsesTheirReplyWords) {
    ASSERT_EQ(
        qm_.mqsc("DEFINE CHANNEL(APP.SVRCONN) CHLTYPE(SVRCONN)\n"
                 "DEFINE CHANNEL(APP.TO.QM2) CHLTYPE(SDR) CONNAME('host2(1414)') XMITQ(QM2) CONVERT(YES)\n"
                 "DEFINE CHANNEL(APP.FROM.QM2) CHLTYPE(RCVR) PUTAUT(CTX)\n"
                 "DEFINE CHANNEL(APP.CLIENT) CHLTYPE(CLNTCONN) QMNAME(QM1) DEFRECON(YES)\n"),
        0);
    ASSERT_EQ(cslIssueMQCommand(s_, "=conn", CSL_REQUEST_INTERNAL, 1, 0, 0, nullptr), 1);
    ASSERT_EQ(cslIssueMQCommand(s_, "=mqsc", CSL_REQUEST_LOCAL, 0, 0, 0, nullptr), 1);
    auto shownChannels = [this](const std::string &where) {
        const std::string text = "DISPLAY CHANNEL(APP*) =WHERE(" + where + ")";
        const cslOutputLine *before = s_->screens[0].newest;
        command(text.c_str());
        std::vector<std::string> channels;
        for (const std::string &line : zt::linesAfter(s_, before)) {
            if (line.rfind("DISPLAY", 0) == 0) continue;  // the command itself
            const size_t at = line.find("CHANNEL(");
            if (at != std::string::npos) channels.push_back(line.substr(at + 8, line.find(')', at) - at - 8));
            EXPECT_EQ(line.find("=WHERE"), std::string::npos) << text << ": " << line;
            EXPECT_EQ(line.find("Unknown variable"), std::string::npos) << text << ": " << line;
        }
        return channels;
    };
    using V = std::vector<std::string>;
    const struct {
        const char *where;
        V channels;
    } kCases[] = {
        {"CHLTYPE EQ SDR", V{"APP.TO.QM2"}},
        {"CHLTYPE EQ SVRCONN", V{"APP.SVRCONN"}},
        {"CHLTYPE EQ RCVR", V{"APP.FROM.QM2"}},
        {"CHLTYPE EQ CLNTCONN", V{"APP.CLIENT"}},
        {"TRPTYPE EQ TCP", V{"APP.CLIENT", "APP.SVRCONN", "APP.FROM.QM2", "APP.TO.QM2"}},
        {"KAINT EQ AUTO", V{"APP.CLIENT", "APP.SVRCONN", "APP.FROM.QM2", "APP.TO.QM2"}},
        {"COMPMSG EQ NONE", V{"APP.CLIENT", "APP.SVRCONN", "APP.FROM.QM2", "APP.TO.QM2"}},
        {"MONCHL EQ QMGR", V{"APP.SVRCONN", "APP.FROM.QM2", "APP.TO.QM2"}},
        {"SSLCAUTH EQ REQUIRED", V{"APP.SVRCONN", "APP.FROM.QM2"}},
        {"CONVERT EQ YES", V{"APP.TO.QM2"}},
        {"PUTAUT EQ CTX", V{"APP.FROM.QM2"}},
        {"DEFRECON EQ YES", V{"APP.CLIENT"}},
        {"AFFINITY EQ PREFERRED", V{"APP.CLIENT"}},
        {"USEDLQ EQ YES", V{"APP.FROM.QM2", "APP.TO.QM2"}},
        {"NPMSPEED EQ FAST", V{"APP.FROM.QM2", "APP.TO.QM2"}},
        {"MCATYPE EQ PROCESS", V{"APP.TO.QM2"}},
        {"STATCHL EQ QMGR", V{"APP.FROM.QM2", "APP.TO.QM2"}},
        {"RESETSEQ EQ NO", V{"APP.FROM.QM2", "APP.TO.QM2"}},
        {"COMPHDR EQ NONE", V{"APP.CLIENT", "APP.SVRCONN", "APP.FROM.QM2", "APP.TO.QM2"}},
        {"PROPCTL EQ COMPAT", V{"APP.TO.QM2"}},
    };
    for (auto c : kCases) {
        std::sort(c.channels.begin(), c.channels.end());  // the stand-in answers in name order
        EXPECT_EQ(shownChannels(c.where), c.channels) << c.where;
    }
}

}  // namespace

// A console session of typed lines, each through the dispatcher as a script's would go.
TEST_F(ConsoleQm, ASessionOfCommandLines) {
    ASSERT_EQ(qm_.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)\nDEFINE QLOCAL(APP.ONE)\n"), 0);
    auto issue = [this](const char *line) {
        const cslOutputLine *before = s_->screens[0].newest;
        cslIssueCommand(s_, line);
        return zt::linesAfter(s_, before);
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(issue("=conn qm(QM1)"), (V{"=conn qm(QM1)", "Connected to 'QM1'"}));
    EXPECT_EQ(issue("=mqsc"), (V{"=mqsc", "Commands directed to IBM MQ"}));
    const V display{"DISPLAY QLOCAL(APP.ONE) CURDEPTH",
                    "AMQ8409I: Display Queue details.",
                    "   QUEUE(APP.ONE)                          TYPE(QLOCAL)",
                    "   CURDEPTH(0)",
                    "",
                    "Total display responses - Received:1"};
    EXPECT_EQ(issue("DISPLAY QLOCAL(APP.ONE) CURDEPTH"), display);
    EXPECT_EQ(issue("=zunt"), (V{"=zunt", "Commands directed to ZUNT"}));
    EXPECT_EQ(issue("=mqsc"), (V{"=mqsc", "Commands directed to IBM MQ"}));
    const V conns = issue("=show conns");
    ASSERT_EQ(conns.size(), 2u);
    EXPECT_EQ(conns[1].rfind("CONN(QM1) HCONN(", 0), 0u) << conns[1];
    EXPECT_EQ(issue("=disc"), (V{"=disc", "Disconnected from 'QM1'"}));
    EXPECT_EQ(issue("=conn qm(QM1)"), (V{"=conn qm(QM1)", "Connected to 'QM1'"}));
    EXPECT_EQ(issue("DISPLAY QLOCAL(APP.ONE) CURDEPTH"), display);

    // The nouns the stand-in lacks fail with a syntax error and count nothing.
    const V check = issue("!unhandled!");
    ASSERT_FALSE(check.empty());
    EXPECT_EQ(check.back(), "All attributes appear to be handled");
    EXPECT_NE(std::find(check.begin(), check.end(), "DISPLAY TPSTATUS('') ALL"), check.end());
}
