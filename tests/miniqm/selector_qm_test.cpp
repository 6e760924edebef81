// Selection strings through the MQI: MQGET and browse on a handle opened with a SelectionString see
// only matching messages (by property or by Root.MQMD field), bad selection strings fail MQOPEN
// and MQSUB with IBM MQ's reasons, subscriptions receive only matching publications, and a
// durable subscription keeps its selection string across a restart.
#include "miniqm/journal.h"
#include "miniqm/qm_fixture.h"
#include "miniqm/wire.h"

using namespace qmt;

namespace {

using Msgs = std::vector<std::string>;

// Puts data with a string property "color" and an integer property "size" (either left out when
// empty or negative), with the given priority.
Rc putWith(MQHCONN h, MQHOBJ o, const std::string &data, const std::string &color, MQLONG size,
           MQLONG priority = MQPRI_PRIORITY_AS_Q_DEF, MQLONG persistence = MQPER_NOT_PERSISTENT) {
    MQHMSG m = createHandle(h);
    if (!color.empty())
        EXPECT_RC(setProp(h, m, "color", MQTYPE_STRING, color.data(), static_cast<MQLONG>(color.size())),
                  MQCC_OK, MQRC_NONE);
    if (size >= 0) EXPECT_RC(setProp(h, m, "size", MQTYPE_INT32, &size, 4), MQCC_OK, MQRC_NONE);
    Rc r = putWithHandle(h, o, m, data, persistence, priority);
    deleteHandle(h, &m);
    return r;
}

// MQOPEN of a queue with a selection string (MQOD version 4).
MQHOBJ openSelecting(MQHCONN h, const std::string &q, const std::string &selection, MQLONG options,
                     Rc *rc = nullptr, MQLONG objectType = MQOT_Q) {
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = objectType;
    if (objectType == MQOT_TOPIC) {
        od.ObjectString.VSPtr = const_cast<char *>(q.c_str());
        od.ObjectString.VSLength = static_cast<MQLONG>(q.size());
    } else {
        setText(od.ObjectName, 48, q);
    }
    od.SelectionString.VSPtr = const_cast<char *>(selection.c_str());
    od.SelectionString.VSLength = static_cast<MQLONG>(selection.size());
    MQHOBJ o = MQHO_UNUSABLE_HOBJ;
    Rc local;
    Rc &r = rc ? *rc : local;
    MQOPEN(h, &od, options, &o, &r.cc, &r.reason);
    return o;
}

// MQGET with the properties going to a message handle, so that the data comes back as it was put.
Rc getOne(MQHCONN h, MQHOBJ o, std::string &data, MQLONG options = MQGMO_NO_SYNCPOINT, MQLONG waitMs = 0) {
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_4;
    gmo.MsgHandle = createHandle(h);
    Rc r = get(h, o, &data, options, nullptr, 1000, nullptr, waitMs, &gmo);
    deleteHandle(h, &gmo.MsgHandle);
    return r;
}

Msgs drain(MQHCONN h, MQHOBJ o) {
    Msgs out;
    std::string data;
    while (getOne(h, o, data).cc == MQCC_OK) out.push_back(data);
    return out;
}

Msgs browseAll(MQHCONN h, MQHOBJ o) {
    Msgs out;
    std::string data;
    MQLONG how = MQGMO_BROWSE_FIRST;
    while (getOne(h, o, data, how).cc == MQCC_OK) {
        out.push_back(data);
        how = MQGMO_BROWSE_NEXT;
    }
    return out;
}

struct Sub {
    Rc rc;
    MQHOBJ hobj = MQHO_NONE;
    MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
    std::string selectionBack;  // what RESUME handed back
    MQLONG selectionLength = -1;
};

Sub subscribe(MQHCONN h, const std::string &topic, MQLONG options, const std::string &selection,
              const std::string &subName = "", MQHOBJ destQ = MQHO_NONE) {
    Sub s;
    MQSD sd = MQSD_DEFAULT;
    sd.Options = options | (destQ == MQHO_NONE ? MQSO_MANAGED : 0);
    sd.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    if (!subName.empty()) {
        sd.SubName.VSPtr = const_cast<char *>(subName.c_str());
        sd.SubName.VSLength = static_cast<MQLONG>(subName.size());
    }
    char buf[128] = {};
    if (options & MQSO_RESUME) {
        sd.SelectionString.VSPtr = buf;
        sd.SelectionString.VSBufSize = sizeof buf;
    } else {
        sd.SelectionString.VSPtr = const_cast<char *>(selection.c_str());
        sd.SelectionString.VSLength = static_cast<MQLONG>(selection.size());
    }
    s.hobj = destQ;
    MQSUB(h, &sd, &s.hobj, &s.hsub, &s.rc.cc, &s.rc.reason);
    s.selectionLength = sd.SelectionString.VSLength;
    if (options & MQSO_RESUME)
        s.selectionBack.assign(buf,
                               static_cast<size_t>(std::clamp<MQLONG>(sd.SelectionString.VSLength, 0, 128)));
    return s;
}

MQHOBJ openTopic(MQHCONN h, const std::string &topic) {
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = MQOT_TOPIC;
    od.ObjectString.VSPtr = const_cast<char *>(topic.c_str());
    od.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    MQHOBJ o = MQHO_UNUSABLE_HOBJ;
    Rc r;
    MQOPEN(h, &od, MQOO_OUTPUT, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    return o;
}

// SEL.Q, open for output as out.
class SelectorQm : public QmTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(QmTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(define("DEFINE QLOCAL(SEL.Q)\n"));
        out = open(h, "SEL.Q", MQOO_OUTPUT);
    }
    MQHOBJ out = MQHO_UNUSABLE_HOBJ;
};

}  // namespace

TEST_F(SelectorQm, GetByPropertyTakesOnlyMatchesAndLeavesTheRestQueued) {
    ASSERT_RC(putWith(h, out, "red small", "red", 1), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, out, "blue", "blue", 5), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, out, "no props", "", -1), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, out, "red big", "red", 9), MQCC_OK, MQRC_NONE);
    Rc r;
    MQHOBJ red = openSelecting(h, "SEL.Q", "color = 'red' AND size > 2", MQOO_INPUT_SHARED, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drain(h, red), Msgs{"red big"});
    std::string data;
    EXPECT_RC(getOne(h, red, data), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    // A missing property is unknown: only IS NULL finds the message without one.
    MQHOBJ none = openSelecting(h, "SEL.Q", "color IS NULL", MQOO_INPUT_SHARED, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQHOBJ notRed = openSelecting(h, "SEL.Q", "NOT color = 'red'", MQOO_BROWSE, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(browseAll(h, notRed), Msgs{"blue"});
    EXPECT_EQ(drain(h, none), Msgs{"no props"});
    EXPECT_EQ(depth(qm.name(), "SEL.Q"), 2);
    MQHOBJ all = open(h, "SEL.Q", MQOO_INPUT_SHARED);
    EXPECT_EQ(drain(h, all), (Msgs{"red small", "blue"}));
}

TEST_F(SelectorQm, GetByMessageDescriptorFields) {
    ASSERT_RC(putWith(h, out, "low", "", -1, 2), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, out, "high", "", -1, 8), MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;  // MQFMT_NONE, a CorrelId of its own
    std::memcpy(md.CorrelId, "CORREL-SELECTED-BY-BYTES", 24);
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, out, "plain", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    Rc r;
    MQHOBJ high = openSelecting(h, "SEL.Q", "Root.MQMD.Priority > 5", MQOO_BROWSE, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(browseAll(h, high), Msgs{"high"});
    MQHOBJ strings = openSelecting(h, "SEL.Q", "Root.MQMD.Format = 'MQSTR'", MQOO_BROWSE, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(browseAll(h, strings), (Msgs{"high", "low"}));  // priority order
    std::string hex = "0x";
    for (char c : std::string("CORREL-SELECTED-BY-BYTES")) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(c));
        hex += two;
    }
    MQHOBJ byCorrel =
        openSelecting(h, "SEL.Q", "Root.MQMD.CorrelId = " + hex + " AND Root.MQMD.Persistence = 1",
                      MQOO_INPUT_AS_Q_DEF, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drain(h, byCorrel), Msgs{"plain"});
}

TEST_F(SelectorQm, BrowseCursorStepsOverNonMatchingMessagesAndGetsUnderIt) {
    const char *names[] = {"m0", "m1", "m2", "m3", "m4", "m5"};
    for (int i = 0; i < 6; ++i)
        ASSERT_RC(putWith(h, out, names[i], i % 2 ? "odd" : "even", i), MQCC_OK, MQRC_NONE);
    Rc r;
    MQHOBJ odd = openSelecting(h, "SEL.Q", "color = 'odd'", MQOO_BROWSE | MQOO_INPUT_SHARED, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(browseAll(h, odd), (Msgs{"m1", "m3", "m5"}));
    std::string data;
    ASSERT_RC(getOne(h, odd, data, MQGMO_BROWSE_FIRST), MQCC_OK, MQRC_NONE);
    ASSERT_RC(getOne(h, odd, data, MQGMO_BROWSE_NEXT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "m3");
    ASSERT_RC(getOne(h, odd, data, MQGMO_MSG_UNDER_CURSOR | MQGMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "m3");
    EXPECT_EQ(drain(h, odd), (Msgs{"m1", "m5"}));
    EXPECT_EQ(depth(qm.name(), "SEL.Q"), 3);
}

TEST_F(SelectorQm, WaitingGetIgnoresNonMatchingArrivals) {
    Rc r;
    MQHOBJ big = openSelecting(h, "SEL.Q", "size >= 100", MQOO_INPUT_SHARED, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, out, "small", "", 1), MQCC_OK, MQRC_NONE);
    std::string data;
    EXPECT_RC(getOne(h, big, data, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, 50), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    ASSERT_RC(putWith(h, out, "big", "", 100), MQCC_OK, MQRC_NONE);
    EXPECT_RC(getOne(h, big, data, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, 5000), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "big");
}

TEST_F(SelectorQm, BadSelectionStringsFailTheOpenWithIbmMqReasons) {
    Rc r;
    openSelecting(h, "SEL.Q", "color = 'red", MQOO_INPUT_SHARED, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_SYNTAX_ERROR);
    openSelecting(h, "SEL.Q", "size > 'abc'", MQOO_BROWSE, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_SYNTAX_ERROR);
    openSelecting(h, "SEL.Q", "color = 'red'", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_INVALID_FOR_TYPE);
    openSelecting(h, "SEL.Q", "color = 'red'", MQOO_INQUIRE, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_INVALID_FOR_TYPE);
    openSelecting(h, "Some/Topic", "color = 'red'", MQOO_OUTPUT, &r, MQOT_TOPIC);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_INVALID_FOR_TYPE);
    openSelecting(h, "SEL.Q", "1 = 2", MQOO_INPUT_SHARED, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_ALWAYS_FALSE);
    std::string tooLong = "size = 1";
    tooLong.resize(static_cast<size_t>(MQ_SELECTOR_LENGTH) + 1, ' ');
    openSelecting(h, "SEL.Q", tooLong, MQOO_INPUT_SHARED, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTION_STRING_ERROR);
    std::string longest = tooLong.substr(0, static_cast<size_t>(MQ_SELECTOR_LENGTH));
    MQHOBJ ok = openSelecting(h, "SEL.Q", longest, MQOO_INPUT_SHARED, &r);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &ok, MQCO_NONE, &r.cc, &r.reason);

    // MQCHARV rules: a length needs the text, and the text comes by pointer or by offset, not both.
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    setText(od.ObjectName, 48, "SEL.Q");
    od.SelectionString.VSLength = 5;
    MQHOBJ o;
    MQOPEN(h, &od, MQOO_INPUT_SHARED, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTION_STRING_ERROR);
    char text[] = "size = 1";
    od.SelectionString.VSPtr = text;
    od.SelectionString.VSOffset = 8;
    MQOPEN(h, &od, MQOO_INPUT_SHARED, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTION_STRING_ERROR);
    od.SelectionString.VSOffset = 0;
    od.SelectionString.VSLength = -7;
    MQOPEN(h, &od, MQOO_INPUT_SHARED, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTION_STRING_ERROR);
    od.SelectionString.VSLength = MQVS_NULL_TERMINATED;
    MQOPEN(h, &od, MQOO_INPUT_SHARED, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    // An MQOD before version 4 has no SelectionString: whatever is there is not looked at.
    od.Version = MQOD_VERSION_3;
    od.SelectionString.VSLength = 3;
    od.SelectionString.VSPtr = const_cast<char *>("((");
    MQOPEN(h, &od, MQOO_OUTPUT, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);

    // MQPUT1 only puts: a selection string has nothing to select.
    od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    setText(od.ObjectName, 48, "SEL.Q");
    od.SelectionString.VSPtr = text;
    od.SelectionString.VSLength = MQVS_NULL_TERMINATED;
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    MQPUT1(h, &od, &md, &pmo, 1, const_cast<char *>("x"), &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_INVALID_FOR_TYPE);
    EXPECT_EQ(depth(qm.name(), "SEL.Q"), 0);
}

TEST_F(SelectorQm, SelectorTrueWhateverTheMessageSelectsEverything) {
    ASSERT_RC(putWith(h, out, "a", "", -1), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, out, "b", "red", 1), MQCC_OK, MQRC_NONE);
    Rc r;
    MQHOBJ all = openSelecting(h, "SEL.Q", "TRUE <> FALSE", MQOO_INPUT_SHARED, &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drain(h, all), (Msgs{"a", "b"}));
}

TEST_F(SelectorQm, SubscriptionReceivesOnlyMatchingPublications) {
    Sub picky = subscribe(h, "Sel/Alerts", MQSO_CREATE, "size > 2 OR Root.MQMD.Priority = 9");
    ASSERT_RC(picky.rc, MQCC_OK, MQRC_NONE);
    Sub everything = subscribe(h, "Sel/Alerts", MQSO_CREATE, "");
    ASSERT_RC(everything.rc, MQCC_OK, MQRC_NONE);
    MQHOBJ t = openTopic(h, "Sel/Alerts");
    ASSERT_RC(putWith(h, t, "one", "", 1), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, t, "five", "", 5), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, t, "urgent", "", -1, 9), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, t, "none", "", -1), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drain(h, picky.hobj), (Msgs{"urgent", "five"}));
    EXPECT_EQ(drain(h, everything.hobj), (Msgs{"urgent", "one", "five", "none"}));
}

TEST_F(SelectorQm, BadSubscriptionSelectorsAreRefused) {
    EXPECT_RC(subscribe(h, "Sel/X", MQSO_CREATE, "size >").rc, MQCC_FAILED, MQRC_SELECTION_NOT_AVAILABLE);
    EXPECT_RC(subscribe(h, "Sel/X", MQSO_CREATE, "FALSE").rc, MQCC_FAILED, MQRC_SELECTOR_ALWAYS_FALSE);
    std::string tooLong(static_cast<size_t>(MQ_SELECTOR_LENGTH) + 1, ' ');
    EXPECT_RC(subscribe(h, "Sel/X", MQSO_CREATE, tooLong).rc, MQCC_FAILED, MQRC_SELECTION_STRING_ERROR);
    Sub s = subscribe(h, "Sel/X", MQSO_CREATE | MQSO_DURABLE, "size = 1", "SEL.ALTER");
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    Rc r;
    MQCLOSE(h, &s.hsub, MQCO_KEEP_SUB, &r.cc, &r.reason);
    EXPECT_RC(subscribe(h, "Sel/X", MQSO_ALTER | MQSO_DURABLE, "size = 2", "SEL.ALTER").rc, MQCC_FAILED,
              MQRC_SELECTOR_NOT_ALTERABLE);
}

TEST_F(SelectorQm, DurableSubscriptionKeepsItsSelectorAcrossARestart) {
    const std::string selection = "color IN ('red', 'amber') AND size BETWEEN 1 AND 10";
    Sub s = subscribe(h, "Sel/Durable", MQSO_CREATE | MQSO_DURABLE, selection, "SEL.DURABLE");
    ASSERT_RC(s.rc, MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    qm.kill9();
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    Sub back = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "", "SEL.DURABLE");
    ASSERT_RC(back.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(back.selectionLength, static_cast<MQLONG>(selection.size()));
    EXPECT_EQ(back.selectionBack, selection);
    MQHOBJ t = openTopic(h, "Sel/Durable");
    ASSERT_RC(putWith(h, t, "red 5", "red", 5), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, t, "red 50", "red", 50), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, t, "blue 5", "blue", 5), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWith(h, t, "amber 1", "amber", 1), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(drain(h, back.hobj), (Msgs{"red 5", "amber 1"}));
    // And again after a clean stop, when the journal has been compacted.
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    back = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "", "SEL.DURABLE");
    ASSERT_RC(back.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(back.selectionBack, selection);
}

TEST_F(SelectorQm, DurableSubscriptionRecordWithoutASelectorStillLoads) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(OLD.DEST)\n"), 0);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(false));
    // A subscription journalled before selection strings were kept: its record ends at the CorrelId.
    qmwire::Writer w;
    w.u8('S');
    w.str("OLD.SUB");
    w.str("Sel/Old");
    w.u8(0);  // '#'/'+' wildcards
    w.u8(0);  // not managed
    w.str("OLD.DEST");
    w.raw("OLD-CORRELID-24-BYTES...", 24);
    {
        qmjournal::Journal j;
        std::string error;
        ASSERT_TRUE(j.open(qm.dir(), false, error)) << error;
        ASSERT_TRUE(j.replay([](std::string_view) { return true; }, error)) << error;  // to its end
        ASSERT_TRUE(j.append(w.bytes()));
    }
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    MQHOBJ dest = open(h, "OLD.DEST", MQOO_OUTPUT);
    Sub back = subscribe(h, "", MQSO_RESUME | MQSO_DURABLE, "", "OLD.SUB", dest);
    ASSERT_RC(back.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(back.selectionLength, 0);
    MQHOBJ t = openTopic(h, "Sel/Old");
    ASSERT_RC(putWith(h, t, "anything", "", -1), MQCC_OK, MQRC_NONE);
    MQHOBJ in = open(h, "OLD.DEST", MQOO_INPUT_SHARED);
    EXPECT_EQ(drain(h, in), Msgs{"anything"});
}
