// Authority records on their own: IBM MQ's generic profiles, which profile wins, the union over a
// principal's groups, and the authority lists of SET AUTHREC.
#include <gtest/gtest.h>

#include "miniqm/authrec.h"

using qmauth::bit;

TEST(AuthProfiles, MatchAsIbmMqDefinesTheWildcards) {
    struct Case {
        const char *profile, *name;
        bool match;
    } cases[] = {
        {"APP.Q1", "APP.Q1", true}, {"APP.Q1", "APP.Q2", false},
        {"APP.*", "APP.Q1", true},  {"APP.*", "APP.Q1.X", false},
        {"APP.*", "APP.", true},    {"APP.**", "APP.Q1.X", true},
        {"APP.**", "APP", true},    {"**", "ANY.THING.AT.ALL", true},
        {"A?C", "ABC", true},       {"A?C", "A.C", false},
        {"A?C", "AC", false},       {"**.Q", "X.Y.Q", true},
        {"A.**.Z", "A.Z", true},    {"A.**.Z", "A.B.C.Z", true},
        {"A.**.Z", "A.B.C", false}, {"A*B*C", "AXXBYYC", true},
        {"A*B*C", "AXXBYY", false}, {"A.**.**", "A.B", false},
        {"A**", "AB", false},       {"", "", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qmauth::matches(c.profile, c.name), c.match) << c.profile << " vs " << c.name;
}

TEST(AuthProfiles, TheMostSpecificProfileOfAnEntityDecides) {
    qmauth::Store s;
    const qmauth::Entity alice{"alice", false};
    s.set(MQOT_Q, "**", alice, bit(MQAUTH_BROWSE), 0);
    s.set(MQOT_Q, "APP.*", alice, bit(MQAUTH_OUTPUT), 0);
    s.set(MQOT_Q, "APP.Q?", alice, bit(MQAUTH_INQUIRE), 0);
    s.set(MQOT_Q, "APP.Q1", alice, bit(MQAUTH_INPUT), 0);
    s.set(MQOT_Q, "AP*.Q1", alice, bit(MQAUTH_SET), 0);
    struct Case {
        const char *name;
        qmauth::AuthSet held;
    } cases[] = {
        {"APP.Q1", bit(MQAUTH_INPUT)},      // the name itself
        {"APP.Q2", bit(MQAUTH_INQUIRE)},    // ? beats *
        {"APP.QUEUE", bit(MQAUTH_OUTPUT)},  // * beats **
        {"APX.Q1", bit(MQAUTH_SET)},       {"OTHER", bit(MQAUTH_BROWSE)},
    };
    for (const Case &c : cases) EXPECT_EQ(s.of(MQOT_Q, c.name, alice), c.held) << c.name;
    EXPECT_EQ(s.of(MQOT_TOPIC, "APP.Q1", alice), 0u);  // another object type
}

TEST(AuthProfiles, APrincipalHoldsTheUnionOverItsGroups) {
    qmauth::Store s;
    s.set(MQOT_Q, "APP.*", {"alice", false}, bit(MQAUTH_OUTPUT), 0);
    s.set(MQOT_Q, "**", {"readers", true}, bit(MQAUTH_INPUT) | bit(MQAUTH_BROWSE), 0);
    s.set(MQOT_Q, "APP.Q1", {"auditors", true}, bit(MQAUTH_INQUIRE), 0);
    s.set(MQOT_Q, "APP.Q1", {"others", true}, bit(MQAUTH_SET), 0);
    EXPECT_EQ(s.effective(MQOT_Q, "APP.Q1", "alice", {"readers", "auditors"}),
              bit(MQAUTH_OUTPUT) | bit(MQAUTH_INPUT) | bit(MQAUTH_BROWSE) | bit(MQAUTH_INQUIRE));
    s.set(MQOT_Q, "APP.*", {"alice", false}, 0, bit(MQAUTH_OUTPUT));
    EXPECT_EQ(s.effective(MQOT_Q, "APP.Q2", "alice", {}), 0u);  // an emptied record still decides
    EXPECT_TRUE(s.remove(MQOT_Q, "APP.*", {"alice", false}));
    EXPECT_FALSE(s.remove(MQOT_Q, "APP.*", {"alice", false}));
}

TEST(AuthProfiles, AuthorityListsAreReadPerObjectType) {
    qmauth::AuthSet set = 0;
    EXPECT_TRUE(qmauth::parseAuthList("put, get,browse", MQOT_Q, set));
    EXPECT_EQ(qmauth::authNames(set), "BROWSE,GET,PUT");
    EXPECT_TRUE(qmauth::parseAuthList("ALLMQI", MQOT_Q_MGR, set));
    EXPECT_EQ(qmauth::authNames(set), "ALTUSR,CONNECT,INQ,SET,SETALL,SETID");
    EXPECT_TRUE(qmauth::parseAuthList("NONE", MQOT_Q, set));
    EXPECT_EQ(qmauth::authNames(set), "NONE");
    EXPECT_FALSE(qmauth::parseAuthList("PUT,FLY", MQOT_Q, set));
    EXPECT_FALSE(qmauth::parseAuthList(" , ", MQOT_Q, set));
    qmauth::Record r{MQOT_TOPIC, "SPORTS.**", {"fans", true}, bit(MQAUTH_SUBSCRIBE)}, back;
    ASSERT_TRUE(qmauth::Store::decode(qmauth::Store::encode(r), back));
    EXPECT_EQ(back.profile, r.profile);
    EXPECT_TRUE(back.entity == r.entity);
    EXPECT_EQ(back.auths, r.auths);
    EXPECT_FALSE(qmauth::Store::decode(qmauth::Store::encode(r).substr(3), back));
}
