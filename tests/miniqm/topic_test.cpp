// Topic strings: the wildcard matching tables of both schemes and the checks on publishers' topics.
#include <gtest/gtest.h>

#include "miniqm/topic.h"

namespace {

struct Case {
    const char *pattern, *topic;
    bool match;
};

TEST(TopicMatch, TopicBasedWildcards) {
    const Case cases[] = {
        {"Sport/Tennis", "Sport/Tennis", true},
        {"Sport/Tennis", "Sport/tennis", false},  // case matters
        {"Sport/Tennis", "Sport/Tennis/Results", false},
        {"Sport/#", "Sport", true},  // '#' matches zero levels too
        {"Sport/#", "Sport/Tennis", true},
        {"Sport/#", "Sport/Tennis/Results/Men", true},
        {"Sport/#", "Sports", false},
        {"#", "Anything/at/all", true},
        {"#/Results", "Sport/Tennis/Results", true},
        {"#/Results", "Results", true},
        {"Sport/#/Results", "Sport/Results", true},
        {"Sport/#/Results", "Sport/Golf/Open/Results", true},
        {"Sport/#/Results", "Sport/Golf/Results/Late", false},
        {"Sport/+", "Sport/Tennis", true},
        {"Sport/+", "Sport", false},  // '+' needs exactly one level
        {"Sport/+", "Sport/Tennis/Results", false},
        {"Sport/+", "Sport/", true},  // an empty level is a level
        {"+/+/Results", "Sport/Golf/Results", true},
        {"IBM/+/Results", "IBM/Software/Results", true},
        {"IBM/+/Results", "IBM/Patents/Software/Results", false},
        {"+/#", "a", true},
        {"Sport+/x", "Sport+/x", true},  // mixed with other characters: literal
        {"Sport+/x", "Sports/x", false},
        {"a#/b", "a#/b", true},
        {"a#/b", "a/c/b", false},
        {"/a", "/a", true},  // a leading '/' makes an empty first level
        {"/a", "a", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qmtopic::matchTopic(c.pattern, c.topic), c.match) << c.pattern << " vs " << c.topic;
}

TEST(TopicMatch, CharacterBasedWildcards) {
    const Case cases[] = {
        {"IBM/*/Results", "IBM/Software/Results", true},
        {"IBM/*/Results", "IBM/Patents/Software/Results", true},  // '*' spans levels
        {"IBM/*ware/Results", "IBM/Software/Results", true},
        {"IBM/*ware/Results", "IBM/Hardware/Results", true},
        {"IBM/*ware/Results", "IBM/Services/Results", false},
        {"*", "any/thing", true},
        {"*", "", true},
        {"Sport/?olf", "Sport/Golf", true},
        {"Sport/?olf", "Sport/olf", false},
        {"ABC%*D", "ABC*D", true},  // escaped: a literal '*'
        {"ABC%*D", "ABCxD", false},
        {"100%%", "100%", true},
        {"a?c", "a/c", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qmtopic::matchChar(c.pattern, c.topic), c.match) << c.pattern << " vs " << c.topic;
}

TEST(TopicMatch, ManyMultiLevelWildcardsStayCheap) {
    std::string pattern, topic;
    for (int i = 0; i < 200; ++i) pattern += "#/", topic += "x/";
    pattern += "y";
    topic += "z";
    EXPECT_FALSE(qmtopic::matchTopic(pattern, topic));
    EXPECT_FALSE(qmtopic::matchChar(std::string(300, '*') + "y", std::string(300, 'x')));
}

TEST(TopicString, JoinAndPublishChecks) {
    EXPECT_EQ(qmtopic::join("ZUNT/ALERTS", "QM1"), "ZUNT/ALERTS/QM1");
    EXPECT_EQ(qmtopic::join("", "a/b"), "a/b");
    EXPECT_EQ(qmtopic::join("a/b", ""), "a/b");
    EXPECT_EQ(qmtopic::checkPublish("ZUNT/ALERTS"), MQRC_NONE);
    EXPECT_EQ(qmtopic::checkPublish("ZUNT/#"), MQRC_TOPIC_STRING_ERROR);
    EXPECT_EQ(qmtopic::checkPublish("+/x"), MQRC_TOPIC_STRING_ERROR);
    EXPECT_EQ(qmtopic::checkPublish(""), MQRC_TOPIC_STRING_ERROR);
    EXPECT_EQ(qmtopic::checkPublish("price+/x#"), MQRC_NONE);
    EXPECT_TRUE(qmtopic::hasWildcards("a/+/b", false));
    EXPECT_FALSE(qmtopic::hasWildcards("a+/b", false));
    EXPECT_TRUE(qmtopic::hasWildcards("a*", true));
    EXPECT_FALSE(qmtopic::hasWildcards("a%*", true));
}

}  // namespace
