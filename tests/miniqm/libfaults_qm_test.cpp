// Faults on demand for the verbs the library serves itself (MQCB, MQCTL, MQSTAT, MQXCNVC and the
// message-handle verbs): each fails exactly as the rule asks, N times and then works again, with
// IBM MQ's completion code for the reason on that verb, and rules for any verb ("*"), one object
// or one connection reach them as they reach the server's verbs.
#include <functional>

#include "miniqm/control.h"
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

Rc setString(MQHCONN h, MQHMSG m, const char *name, const char *value) {
    MQSMPO smpo = MQSMPO_DEFAULT;
    MQPD pd = MQPD_DEFAULT;
    MQCHARV nv = charv(name);
    Rc r;
    MQSETMP(h, m, &smpo, &nv, &pd, MQTYPE_STRING, MQVL_NULL_TERMINATED, const_cast<char *>(value), &r.cc,
            &r.reason);
    return r;
}

// MQMHBO: StrucId, Version, Options.
struct Mhbo {
    char strucId[4];
    MQLONG version, options;
};
constexpr Mhbo kMhbo = {{'M', 'H', 'B', 'O'}, MQMHBO_VERSION_1, MQMHBO_PROPERTIES_IN_MQRFH2};

void noCallback(MQHCONN, PMQVOID, PMQVOID, PMQVOID, PMQCBC) {}

Rc registerOn(MQHCONN h, MQHOBJ o) {
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = o == MQHO_NONE ? MQCBT_EVENT_HANDLER : MQCBT_MESSAGE_CONSUMER;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&noCallback);
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    Rc r;
    MQCB(h, MQOP_REGISTER, &cbd, o, o == MQHO_NONE ? nullptr : &md, o == MQHO_NONE ? nullptr : &gmo, &r.cc,
         &r.reason);
    return r;
}

Rc xcnvc(MQHCONN h) {
    char source[] = "A", target[8];
    MQLONG length = 0;
    Rc r;
    MQXCNVC(h, MQDCC_NONE, 819, 1, source, 500, sizeof target, target, &length, &r.cc, &r.reason);
    return r;
}

// One call of each verb served in the library, on a connection with a queue and a message handle
// that has a property and an MQRFH2 form of it.
struct Caller {
    MQHCONN h;
    MQHOBJ o;
    MQHMSG m;
    std::string rfh2;

    Rc call(const std::string &verb) {
        Rc r;
        MQCHARV name = charv("colour");
        if (verb == "MQCB") return registerOn(h, o);
        if (verb == "MQCTL") {
            MQCTLO ctlo = MQCTLO_DEFAULT;
            MQCTL(h, MQOP_STOP, &ctlo, &r.cc, &r.reason);
        } else if (verb == "MQSTAT") {
            MQSTS sts = MQSTS_DEFAULT;
            MQSTAT(h, MQSTAT_TYPE_ASYNC_ERROR, &sts, &r.cc, &r.reason);
        } else if (verb == "MQXCNVC") {
            r = xcnvc(h);
        } else if (verb == "MQCRTMH") {
            MQHMSG made = createHandle(h, &r);
            if (r.cc == MQCC_OK) deleteHandle(h, &made);
        } else if (verb == "MQDLTMH") {
            MQHMSG doomed = createHandle(h);
            MQDMHO dmho = MQDMHO_DEFAULT;
            MQDLTMH(h, &doomed, &dmho, &r.cc, &r.reason);
        } else if (verb == "MQSETMP") {
            r = setString(h, m, "colour", "blue");
        } else if (verb == "MQINQMP") {
            MQIMPO impo = MQIMPO_DEFAULT;
            MQPD pd = MQPD_DEFAULT;
            MQLONG type = MQTYPE_AS_SET, length = 0;
            char value[32];
            MQINQMP(h, m, &impo, &name, &pd, &type, sizeof value, value, &length, &r.cc, &r.reason);
        } else if (verb == "MQDLTMP") {
            MQDMPO dmpo = MQDMPO_DEFAULT;
            MQDLTMP(h, m, &dmpo, &name, &r.cc, &r.reason);
            EXPECT_RC(setString(h, m, "colour", "blue"), MQCC_OK, MQRC_NONE);  // back for the next one
        } else if (verb == "MQMHBUF") {
            Mhbo mhbo = kMhbo;
            MQMD md = MQMD_DEFAULT;
            char buffer[512];
            MQLONG length = 0;
            MQMHBUF(h, m, &mhbo, &name, &md, sizeof buffer, buffer, &length, &r.cc, &r.reason);
        } else if (verb == "MQBUFMH") {
            MQHMSG into = createHandle(h);
            MQBMHO bmho = MQBMHO_DEFAULT;
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, MQFMT_RF_HEADER_2, 8);
            std::string data = rfh2;
            MQLONG length = 0;
            MQBUFMH(h, into, &bmho, &md, static_cast<MQLONG>(data.size()), data.data(), &length, &r.cc,
                    &r.reason);
            deleteHandle(h, &into);
        } else {
            ADD_FAILURE() << "no call for " << verb;
        }
        return r;
    }
};

Caller makeCaller(MQHCONN h) {
    Caller c{h, open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_OUTPUT), createHandle(h), {}};
    EXPECT_RC(setString(h, c.m, "colour", "blue"), MQCC_OK, MQRC_NONE);
    Mhbo mhbo = kMhbo;
    MQMD md = MQMD_DEFAULT;
    MQCHARV all = charv("%");
    char buffer[512];
    MQLONG length = 0;
    Rc r;
    MQMHBUF(h, c.m, &mhbo, &all, &md, sizeof buffer, buffer, &length, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    c.rfh2.assign(buffer, static_cast<size_t>(length));
    return c;
}

const char *const kLibraryVerbs[] = {"MQCB",    "MQCTL",   "MQSTAT",  "MQXCNVC", "MQCRTMH", "MQDLTMH",
                                     "MQSETMP", "MQINQMP", "MQDLTMP", "MQMHBUF", "MQBUFMH"};

}  // namespace

TEST(LibFaults, EachLibraryVerbFailsAsAskedAndWorksAgainAfterNCalls) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    Caller c = makeCaller(h);
    for (const char *verb : kLibraryVerbs) {
        SCOPED_TRACE(verb);
        Rc usual = c.call(verb);
        EXPECT_RC(usual, MQCC_OK, MQRC_NONE);
        ASSERT_EQ(admin(qm.name(), std::string("fault ") + verb + " 2102 2 -1 - -"), 0);
        EXPECT_RC(c.call(verb), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
        EXPECT_RC(c.call(verb), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
        EXPECT_RC(c.call(verb), MQCC_OK, MQRC_NONE);
    }
    std::string left;
    ASSERT_EQ(admin(qm.name(), "fault list", &left), 0);
    EXPECT_EQ(left, "");
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
}

TEST(LibFaults, CompletionCodesFollowTheVerbUnlessGiven) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    Caller c = makeCaller(h);
    struct Case {
        const char *verb;
        MQLONG reason, cc;
    } cases[] = {
        {"MQDLTMP", MQRC_PROPERTY_NOT_AVAILABLE, MQCC_WARNING},  // nothing of that name: a warning
        {"MQINQMP", MQRC_PROPERTY_NOT_AVAILABLE, MQCC_FAILED},
        {"MQINQMP", MQRC_PROP_NAME_NOT_CONVERTED, MQCC_WARNING},
        {"MQINQMP", MQRC_PROP_VALUE_NOT_CONVERTED, MQCC_FAILED},
        {"MQXCNVC", MQRC_CONVERTED_MSG_TOO_BIG, MQCC_WARNING},  // truncated: a warning
        {"MQXCNVC", MQRC_SOURCE_CCSID_ERROR, MQCC_FAILED},
        {"MQCTL", MQRC_HCONN_ASYNC_ACTIVE, MQCC_FAILED},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.verb) + " " + std::to_string(k.reason));
        std::string rule = std::string("fault ") + k.verb + " " + std::to_string(k.reason) + " 1 -1 - -";
        ASSERT_EQ(admin(qm.name(), rule), 0);
        EXPECT_RC(c.call(k.verb), k.cc, k.reason);
    }
    // A warning given by the rule: the call still does not happen, the handle keeps its property.
    ASSERT_EQ(admin(qm.name(), "fault MQDLTMP 2102 1 1 - -"), 0);
    MQDMPO dmpo = MQDMPO_DEFAULT;
    MQCHARV name = charv("colour");
    Rc r;
    MQDLTMP(h, c.m, &dmpo, &name, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(c.call("MQINQMP"), MQCC_OK, MQRC_NONE);
    MQDISC(&h, &r.cc, &r.reason);
}

TEST(LibFaults, AnyVerbRulesReachTheLibraryVerbsInCallOrder) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    Caller c = makeCaller(h);
    ASSERT_EQ(admin(qm.name(), "fault * 2102 3 -1 - -"), 0);
    EXPECT_RC(c.call("MQXCNVC"), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(c.call("MQSETMP"), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(put(h, c.o, "x"), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);  // a server verb takes its share
    EXPECT_RC(c.call("MQCTL"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, c.o, "y"), MQCC_OK, MQRC_NONE);
    // "2009 on anything": the first library verb drops the connection, and it stays dropped.
    ASSERT_EQ(admin(qm.name(), "fault * 2009 1 -1 - -"), 0);
    EXPECT_RC(c.call("MQINQMP"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    EXPECT_RC(put(h, c.o, "z"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    EXPECT_RC(c.call("MQXCNVC"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    EXPECT_RC(c.call("MQCB"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    std::string left;
    ASSERT_EQ(admin(qm.name(), "fault list", &left), 0);
    EXPECT_EQ(left, "");  // the later calls never reached a rule
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 1);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);  // a broken connection is still released
    EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
}

TEST(LibFaults, RulesForOneObjectOrOneConnectionOnly) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(APP.ONE)\nDEFINE QLOCAL(APP.TWO)\n"), 0);
    MQHCONN a = connectAs(qm.name(), "APP.A"), b = connectAs(qm.name(), "APP.B");
    MQHOBJ one = open(a, "APP.ONE", MQOO_INPUT_SHARED), two = open(a, "APP.TWO", MQOO_INPUT_SHARED);
    // MQCB's object is the queue of its Hobj; the event handler has none, so it is not hit.
    ASSERT_EQ(admin(qm.name(), "fault MQCB 2102 1 -1 APP.TWO -"), 0);
    EXPECT_RC(registerOn(a, MQHO_NONE), MQCC_OK, MQRC_NONE);
    EXPECT_RC(registerOn(a, one), MQCC_OK, MQRC_NONE);
    EXPECT_RC(registerOn(a, two), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(registerOn(a, two), MQCC_OK, MQRC_NONE);
    // Other library verbs have no object: a rule with one never matches them.
    ASSERT_EQ(admin(qm.name(), "fault * 2102 1 -1 APP.ONE -"), 0);
    EXPECT_RC(xcnvc(a), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(admin(qm.name(), "fault clear"), 0);

    ASSERT_EQ(admin(qm.name(), "fault MQSETMP 2102 1 -1 - APP.B"), 0);
    MQHMSG ma = createHandle(a), mb = createHandle(b);
    EXPECT_RC(setString(a, ma, "k", "v"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setString(b, mb, "k", "v"), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(setString(b, mb, "k", "v"), MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&a, &r.cc, &r.reason);
    MQDISC(&b, &r.cc, &r.reason);
}

TEST(LibFaults, HandlesWithoutAConnectionAreNeverFaulted) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    ASSERT_EQ(admin(qm.name(), "fault MQCRTMH 2102 1 -1 - -"), 0);
    ASSERT_EQ(admin(qm.name(), "fault MQSETMP 2102 1 -1 - -"), 0);
    Rc r;
    MQHMSG loose = createHandle(MQHC_UNASSOCIATED_HCONN, &r);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(setString(MQHC_UNASSOCIATED_HCONN, loose, "k", "v"), MQCC_OK, MQRC_NONE);
    // Nor is a call the verb refuses for its handle: the rules stay for a real call.
    EXPECT_RC(setString(h + 999, loose, "k", "v"), MQCC_FAILED, MQRC_HCONN_ERROR);
    createHandle(h, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(setString(h, loose, "k", "v"), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    MQDISC(&h, &r.cc, &r.reason);
}

TEST(LibFaults, TheToolTakesTheLibraryVerbs) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.tool("fault " + qm.name() + " mqdltmp 2471 --count 2", &out), 0) << out;
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQCB 2019 --queue APP.Q --conn BATCH", &out), 0) << out;
    ASSERT_EQ(qm.tool("fault " + qm.name() + " list", &out), 0);
    EXPECT_EQ(out,
              "MQDLTMP reason 2471 cc 1 count 2\nMQCB reason 2019 cc 2 count 1 object APP.Q conn BATCH\n");
    EXPECT_EQ(qm.tool("fault " + qm.name() + " MQCBX 2019", &out), 2);
}
