// Topic-string matching. Both schemes run as a table over (pattern position, topic position), so
// patterns with many wildcards cost at most the product of the two lengths, never backtracking.
#include "miniqm/topic.h"

#include <vector>

namespace qmtopic {

namespace {

std::vector<std::string_view> levels(std::string_view s) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (;;) {
        size_t slash = s.find('/', start);
        if (slash == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, slash - start));
        start = slash + 1;
    }
}

// One pattern token of the character scheme.
struct CharToken {
    enum Kind : unsigned char { Literal, Any, One } kind;
    char c;
};

std::vector<CharToken> charTokens(std::string_view p) {
    std::vector<CharToken> out;
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '%' && i + 1 < p.size() && (p[i + 1] == '*' || p[i + 1] == '?' || p[i + 1] == '%'))
            out.push_back({CharToken::Literal, p[++i]});
        else if (c == '*')
            out.push_back({CharToken::Any, c});
        else if (c == '?')
            out.push_back({CharToken::One, c});
        else
            out.push_back({CharToken::Literal, c});
    }
    return out;
}

}  // namespace

std::string join(std::string_view objectTopic, std::string_view objectString) {
    if (objectTopic.empty()) return std::string(objectString);
    if (objectString.empty()) return std::string(objectTopic);
    std::string s(objectTopic);
    s += '/';
    s += objectString;
    return s;
}

MQLONG checkPublish(std::string_view topic) {
    if (topic.empty()) return MQRC_TOPIC_STRING_ERROR;
    for (std::string_view level : levels(topic))
        if (level == "#" || level == "+") return MQRC_TOPIC_STRING_ERROR;
    return MQRC_NONE;
}

bool matchTopic(std::string_view pattern, std::string_view topic) {
    std::vector<std::string_view> p = levels(pattern), t = levels(topic);
    // m[i][j]: pattern levels from i match topic levels from j.
    std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(t.size() + 1, 0));
    m[p.size()][t.size()] = 1;
    for (size_t i = p.size(); i-- > 0;) {
        for (size_t j = t.size() + 1; j-- > 0;) {
            if (p[i] == "#")
                m[i][j] = m[i + 1][j] || (j < t.size() && m[i][j + 1]);
            else if (j < t.size() && (p[i] == "+" || p[i] == t[j]))
                m[i][j] = m[i + 1][j + 1];
        }
    }
    return m[0][0];
}

bool matchChar(std::string_view pattern, std::string_view topic) {
    std::vector<CharToken> p = charTokens(pattern);
    std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(topic.size() + 1, 0));
    m[p.size()][topic.size()] = 1;
    for (size_t i = p.size(); i-- > 0;) {
        for (size_t j = topic.size() + 1; j-- > 0;) {
            switch (p[i].kind) {
                case CharToken::Any:
                    m[i][j] = m[i + 1][j] || (j < topic.size() && m[i][j + 1]);
                    break;
                case CharToken::One:
                    m[i][j] = j < topic.size() && m[i + 1][j + 1];
                    break;
                case CharToken::Literal:
                    m[i][j] = j < topic.size() && topic[j] == p[i].c && m[i + 1][j + 1];
                    break;
            }
        }
    }
    return m[0][0];
}

bool hasWildcards(std::string_view pattern, bool charScheme) {
    if (charScheme) {
        for (const CharToken &t : charTokens(pattern))
            if (t.kind != CharToken::Literal) return true;
        return false;
    }
    for (std::string_view level : levels(pattern))
        if (level == "#" || level == "+") return true;
    return false;
}

}  // namespace qmtopic
