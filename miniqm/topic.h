// Topic strings for publish/subscribe: building a full topic string from a topic object and an
// object string, checking a topic string that a publisher uses, and matching a subscription's
// topic string against a publication's with IBM MQ's two wildcard schemes.
#pragma once

#include <string>
#include <string_view>

#include "mqi/cmqc.h"

namespace qmtopic {

// The full topic string: the topic object's TOPICSTR, a '/', then the ObjectString; either part
// alone when the other is empty.
std::string join(std::string_view objectTopic, std::string_view objectString);

// A publisher's topic string: MQRC_NONE, or MQRC_TOPIC_STRING_ERROR when it is empty or has a level
// that is a topic-based wildcard ("#" or "+"), which would publish to no single topic.
MQLONG checkPublish(std::string_view topic);

// Topic-based scheme (MQSO_WILDCARD_TOPIC, the default): levels are separated by '/'; a level that
// is exactly "#" matches zero or more levels, one that is exactly "+" matches one level (empty
// levels included); '#' and '+' mixed with other characters in a level are ordinary characters.
bool matchTopic(std::string_view pattern, std::string_view topic);

// Character-based scheme (MQSO_WILDCARD_CHAR): '*' matches zero or more characters ('/' included),
// '?' exactly one; '%' makes the next '*', '?' or '%' literal.
bool matchChar(std::string_view pattern, std::string_view topic);

// Whether a subscription's topic string uses wildcards under its scheme.
bool hasWildcards(std::string_view pattern, bool charScheme);

}  // namespace qmtopic
