// MQSC as people type it into runmqsc: DEFINE/ALTER/DELETE/DISPLAY of QLOCAL, QMODEL, QALIAS,
// QREMOTE, TOPIC, NAMELIST, SERVICE and CHANNEL, DISPLAY/ALTER QMGR, CLEAR QLOCAL and CLEAR TOPICSTR, REFRESH
// QMGR TYPE(CONFIGEV) and RESET QMGR TYPE(STATISTICS), answered with IBM MQ's AMQ8xxx messages and the
// closing summary lines; each change raises its configuration events and each successful command its
// command event. Also the other administration commands of the server ("fault").
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"

namespace qm {

namespace {

struct Token {
    std::string keyword;  // upper case
    bool hasValue = false;
    std::string value;  // upper case unless it was quoted; a list's first item
    bool list = false;  // the value is a list of items separated by commas
    std::string raw;    // the value as typed, between the brackets
};

// Splits one command into keyword tokens; false on unbalanced parentheses or quotes.
bool tokenize(const std::string &text, std::vector<Token> &out) {
    size_t i = 0, n = text.size();
    while (i < n) {
        while (i < n && (text[i] == ' ' || text[i] == ',' || text[i] == '\t')) ++i;
        if (i >= n) break;
        Token t;
        size_t start = i;
        while (i < n && text[i] != ' ' && text[i] != '(' && text[i] != ',' && text[i] != '\t') ++i;
        t.keyword = upper(text.substr(start, i - start));
        while (i < n && text[i] == ' ') ++i;
        if (i < n && text[i] == '(') {
            ++i;
            t.hasValue = true;
            size_t close = i;  // the closing bracket outside quotes
            for (bool quoted = false; close < n && (quoted || text[close] != ')'); ++close)
                if (text[close] == '\'') quoted = !quoted;
            if (close >= n) return false;
            t.raw = text.substr(i, close - i);
            while (i < n && text[i] == ' ') ++i;
            if (i < n && text[i] == '\'') {
                ++i;
                for (;;) {
                    if (i >= n) return false;
                    if (text[i] == '\'') {
                        if (i + 1 < n && text[i + 1] == '\'') {
                            t.value += '\'';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    t.value += text[i++];
                }
                while (i < n && text[i] == ' ') ++i;
                if (i < n && text[i] == ',')
                    t.list = true;
                else if (i >= n || text[i] != ')')
                    return false;
                i = close + 1;
            } else {
                std::string value = text.substr(i, close - i);
                t.list = value.find(',') != std::string::npos;
                t.value = upper(trimBlanks(value.substr(0, value.find(','))));
                i = close + 1;
            }
        }
        if (t.keyword.empty()) return false;
        out.push_back(std::move(t));
    }
    return true;
}

// Joins continuation lines ('+' or '-' at the end) and drops comments ('*' in column 1).
std::vector<std::string> splitCommands(const std::string &script) {
    std::vector<std::string> cmds;
    std::string current;
    bool continuing = false;
    size_t pos = 0;
    while (pos <= script.size()) {
        size_t nl = script.find('\n', pos);
        if (nl == std::string::npos) nl = script.size();
        std::string line = script.substr(pos, nl - pos);
        pos = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!continuing && !line.empty() && line[0] == '*') continue;
        std::string t = trimBlanks(line);
        bool more = !t.empty() && (t.back() == '+' || t.back() == '-');
        if (more) t.pop_back();
        if (continuing && !t.empty()) {
            size_t lead = t.find_first_not_of(' ');
            current += lead == std::string::npos ? "" : t.substr(lead);
        } else {
            current += t;
        }
        continuing = more;
        if (!continuing) {
            size_t lead = current.find_first_not_of(' ');
            if (lead != std::string::npos) cmds.push_back(current.substr(lead));
            current.clear();
        }
        if (nl == script.size()) break;
    }
    if (!trimBlanks(current).empty()) cmds.push_back(current);
    return cmds;
}

bool genericMatch(const std::string &pattern, const std::string &name) {
    if (!pattern.empty() && pattern.back() == '*')
        return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == name;
}

// NAMES(...): items separated by commas, quoted ones as typed ('' for a quote), others in upper
// case; blank items are no names, so NAMES() and NAMES(' ') are empty. Each name goes into 48
// characters, blank padded, as MQINQ returns a namelist's names. False for a name too long or more
// than max names.
bool parseNames(const std::string &raw, size_t max, std::string &names, MQLONG &count) {
    names.clear();
    count = 0;
    size_t i = 0;
    while (i <= raw.size()) {
        std::string item;
        while (i < raw.size() && raw[i] == ' ') ++i;
        if (i < raw.size() && raw[i] == '\'') {
            for (++i;; ++i) {
                if (i >= raw.size()) return false;
                if (raw[i] == '\'' && i + 1 < raw.size() && raw[i + 1] == '\'') {
                    item += '\'';
                    ++i;
                } else if (raw[i] == '\'') {
                    ++i;
                    break;
                } else {
                    item += raw[i];
                }
            }
            while (i < raw.size() && raw[i] == ' ') ++i;
            if (i < raw.size() && raw[i] != ',') return false;
        } else {
            size_t end = raw.find(',', i);
            if (end == std::string::npos) end = raw.size();
            item = upper(trimBlanks(raw.substr(i, end - i)));
            i = end;
        }
        ++i;  // past the comma
        item = trimBlanks(item);
        if (item.empty()) continue;
        if (item.size() > 48 || static_cast<size_t>(count) == max) return false;
        names += item + std::string(48 - item.size(), ' ');
        ++count;
    }
    return true;
}

std::string formatValue(const AttrDef &a, const Object &o, MQLONG intValue) {
    switch (a.type) {
        case AttrType::NameList: {
            std::string list;
            for (const std::string &name : listedNames(a, o.s(a.selector)))
                list += (list.empty() ? "" : ",") + trimBlanks(name);
            return std::string(a.keyword) + "(" + list + ")";
        }
        case AttrType::Str:
            return std::string(a.keyword) + "(" + o.s(a.selector) + ")";
        case AttrType::Flag:
            return intValue == a.names[0].value ? a.names[0].name : a.names[1].name;
        case AttrType::Enum:
            for (const EnumName *e = a.names; e->name; ++e)
                if (e->value == intValue) return std::string(a.keyword) + "(" + e->name + ")";
            return std::string(a.keyword) + "(" + std::to_string(intValue) + ")";
        case AttrType::Int:
            if (a.names)
                for (const EnumName *e = a.names; e->name; ++e)
                    if (e->value == intValue) return std::string(a.keyword) + "(" + e->name + ")";
            return std::string(a.keyword) + "(" + std::to_string(intValue) + ")";
    }
    return "";
}

// The value a keyword token gives an attribute; false when the value is not one it takes.
bool attrValue(const AttrDef &a, const Token &t, MQLONG &v) {
    if (a.type == AttrType::Flag) {
        v = t.keyword == a.names[0].name ? a.names[0].value : a.names[1].value;
        return !t.hasValue;
    }
    if (!t.hasValue) return false;
    if (a.names)
        for (const EnumName *e = a.names; e->name; ++e)
            if (t.value == e->name) {
                v = e->value;
                return true;
            }
    if (a.type != AttrType::Int) return false;
    char *end = nullptr;
    long n = std::strtol(t.value.c_str(), &end, 10);
    if (t.value.empty() || *end != '\0' || n < a.minValue || n > a.maxValue) return false;
    v = static_cast<MQLONG>(n);
    return true;
}

bool isQueueNoun(const std::string &noun) {
    return noun == "QLOCAL" || noun == "QL" || noun == "QMODEL" || noun == "QM" || noun == "QALIAS" ||
           noun == "QA" || noun == "QREMOTE" || noun == "QR" || noun == "QUEUE" || noun == "Q";
}

// The MQQT value a queue noun names; 0 for QUEUE and anything else.
MQLONG queueType(const std::string &noun) {
    if (noun == "QLOCAL" || noun == "QL") return MQQT_LOCAL;
    if (noun == "QMODEL" || noun == "QM") return MQQT_MODEL;
    if (noun == "QALIAS" || noun == "QA") return MQQT_ALIAS;
    if (noun == "QREMOTE" || noun == "QR") return MQQT_REMOTE;
    return 0;
}

bool isNamelistNoun(const std::string &noun) {
    return noun == "NAMELIST" || noun == "NL";
}

bool isChannelNoun(const std::string &noun) {
    return noun == "CHANNEL" || noun == "CHL";
}

// The verb an abbreviation stands for.
std::string fullVerb(const std::string &verb) {
    if (verb == "DIS") return "DISPLAY";
    if (verb == "DEF") return "DEFINE";
    if (verb == "ALT") return "ALTER";
    if (verb == "DEL") return "DELETE";
    return verb;
}

// The PCF command an MQSC command is (its MQCMD code), as the command server's responses and
// command events name it; MQCMD_ESCAPE for one that has none here. verb is in full.
MQLONG mqscCommand(const std::string &v, const std::string &noun, bool like) {
    if (isQueueNoun(noun)) {
        if (v == "DEFINE") return like ? MQCMD_COPY_Q : MQCMD_CREATE_Q;
        if (v == "ALTER") return MQCMD_CHANGE_Q;
        if (v == "DELETE") return MQCMD_DELETE_Q;
        if (v == "DISPLAY") return MQCMD_INQUIRE_Q;
        if (v == "CLEAR") return MQCMD_CLEAR_Q;
    } else if (noun == "TOPIC" || noun == "TOP") {
        if (v == "DEFINE") return like ? MQCMD_COPY_TOPIC : MQCMD_CREATE_TOPIC;
        if (v == "ALTER") return MQCMD_CHANGE_TOPIC;
        if (v == "DELETE") return MQCMD_DELETE_TOPIC;
        if (v == "DISPLAY") return MQCMD_INQUIRE_TOPIC;
    } else if (noun == "QMGR") {
        if (v == "ALTER") return MQCMD_CHANGE_Q_MGR;
        if (v == "DISPLAY") return MQCMD_INQUIRE_Q_MGR;
        if (v == "REFRESH") return MQCMD_REFRESH_Q_MGR;
        if (v == "RESET") return MQCMD_RESET_Q_MGR;
    } else if (isNamelistNoun(noun)) {
        if (v == "DEFINE") return like ? MQCMD_COPY_NAMELIST : MQCMD_CREATE_NAMELIST;
        if (v == "ALTER") return MQCMD_CHANGE_NAMELIST;
        if (v == "DELETE") return MQCMD_DELETE_NAMELIST;
        if (v == "DISPLAY") return MQCMD_INQUIRE_NAMELIST;
    } else if (noun == "SERVICE") {
        if (v == "DEFINE") return like ? MQCMD_COPY_SERVICE : MQCMD_CREATE_SERVICE;
        if (v == "ALTER") return MQCMD_CHANGE_SERVICE;
        if (v == "DELETE") return MQCMD_DELETE_SERVICE;
        if (v == "DISPLAY") return MQCMD_INQUIRE_SERVICE;
        if (v == "START") return MQCMD_START_SERVICE;
        if (v == "STOP") return MQCMD_STOP_SERVICE;
    } else if (isChannelNoun(noun)) {
        if (v == "DEFINE") return like ? MQCMD_COPY_CHANNEL : MQCMD_CREATE_CHANNEL;
        if (v == "ALTER") return MQCMD_CHANGE_CHANNEL;
        if (v == "DELETE") return MQCMD_DELETE_CHANNEL;
        if (v == "DISPLAY") return MQCMD_INQUIRE_CHANNEL;
    } else if (noun == "SVSTATUS" && v == "DISPLAY") {
        return MQCMD_INQUIRE_SERVICE_STATUS;
    } else if (noun == "TOPICSTR" && v == "CLEAR") {
        return MQCMD_CLEAR_TOPIC_STRING;
    } else if (noun == "AUTHREC") {
        if (v == "SET") return MQCMD_SET_AUTH_REC;
        if (v == "DELETE") return MQCMD_DELETE_AUTH_REC;
        if (v == "DISPLAY") return MQCMD_INQUIRE_AUTH_RECS;
    }
    return MQCMD_ESCAPE;
}

bool isInquiry(MQLONG command) {
    return command == MQCMD_INQUIRE_Q || command == MQCMD_INQUIRE_TOPIC || command == MQCMD_INQUIRE_Q_MGR ||
           command == MQCMD_INQUIRE_NAMELIST || command == MQCMD_INQUIRE_AUTH_RECS ||
           command == MQCMD_INQUIRE_CHANNEL;
}

// The object types of REFRESH QMGR's OBJECT keyword.
struct RefreshObject {
    const char *keyword;
    MQLONG objectType;
    uint16_t kinds;  // the objects of miniqm it selects
};
constexpr RefreshObject kRefreshObjects[] = {
    {"ALL", MQOT_ALL, K_QUEUES | K_TOPIC | K_QMGR | K_NAMELIST | K_CHANNEL},
    {"QUEUE", MQOT_Q, K_QUEUES},
    {"QLOCAL", MQOT_LOCAL_Q, K_QLOCAL},
    {"QMODEL", MQOT_MODEL_Q, K_QMODEL},
    {"QALIAS", MQOT_ALIAS_Q, K_QALIAS},
    {"QMGR", MQOT_Q_MGR, K_QMGR},
    {"TOPIC", MQOT_TOPIC, K_TOPIC},
    {"QREMOTE", MQOT_REMOTE_Q, K_QREMOTE},
    {"CHANNEL", MQOT_CHANNEL, K_CHANNEL},
    {"NAMELIST", MQOT_NAMELIST, K_NAMELIST},
    {"PROCESS", MQOT_PROCESS, 0},
    {"AUTHINFO", MQOT_AUTH_INFO, 0},
    {"AUTHREC", MQOT_AUTH_REC, 0},
    {"CHLAUTH", MQOT_CHLAUTH, 0},
    {"LISTENER", MQOT_LISTENER, 0},
    {"SERVICE", MQOT_SERVICE, 0},
};

const RefreshObject *refreshObject(const std::string &keyword) {
    for (const RefreshObject &r : kRefreshObjects)
        if (keyword == r.keyword) return &r;
    return nullptr;
}

// A principal or group name as typed: its case kept, quoted or not.
std::string entityName(const Token &t) {
    std::string raw = trimBlanks(t.raw);
    size_t lead = raw.find_first_not_of(' ');
    raw = lead == std::string::npos ? std::string() : raw.substr(lead);
    if (raw.size() >= 2 && raw.front() == '\'' && raw.back() == '\'') return t.value;
    return raw;
}

// The keywords of SET, DELETE and DISPLAY AUTHREC.
struct AuthRecArgs {
    bool hasProfile = false, hasType = false, hasEntity = false, hasAdd = false, hasRemove = false;
    std::string profile;
    MQLONG objectType = 0;
    qmauth::Entity entity;
    std::string add, remove;  // the lists as typed
    bool exact = false;       // DISPLAY's MATCH(EXACT)
};

// False on a keyword the command does not take, one given twice, or a value it cannot be.
bool parseAuthRec(const std::vector<Token> &rest, bool display, AuthRecArgs &a) {
    for (size_t i = 1; i < rest.size(); ++i) {
        const Token &t = rest[i];
        if (!t.hasValue) return false;
        if (t.keyword == "PROFILE" && !a.hasProfile) {
            a.hasProfile = true;
            a.profile = t.value;
        } else if (t.keyword == "OBJTYPE" && !a.hasType) {
            a.hasType = true;
            a.objectType = qmauth::objectTypeByName(t.value);
            if (a.objectType == 0) return false;
        } else if ((t.keyword == "PRINCIPAL" || t.keyword == "GROUP") && !a.hasEntity) {
            a.hasEntity = true;
            a.entity = {entityName(t), t.keyword == "GROUP"};
            if (a.entity.name.empty() || a.entity.name.size() > 64) return false;
        } else if (t.keyword == "AUTHADD" && !display && !a.hasAdd) {
            a.hasAdd = true;
            a.add = t.raw;
        } else if (t.keyword == "AUTHRMV" && !display && !a.hasRemove) {
            a.hasRemove = true;
            a.remove = t.raw;
        } else if (t.keyword == "MATCH" && display) {
            if (t.value != "PROFILE" && t.value != "MEMBERSHIP" && t.value != "EXACT") return false;
            a.exact = t.value == "EXACT";
        } else if (t.keyword == "SERVCOMP") {
            continue;  // one authorization service here: any name is it
        } else {
            return false;
        }
    }
    return true;
}

// An MQSC command as the PCF parameters of the command it is, as command events carry it.
void commandParameters(const std::string &noun, const std::vector<Token> &rest, bool display,
                       qmpcf::Writer &w) {
    if (noun == "AUTHREC") {
        AuthRecArgs a;
        if (!parseAuthRec(rest, display, a)) return;
        if (a.hasProfile) w.string(MQCACF_AUTH_PROFILE_NAME, a.profile);
        if (a.hasType) w.integer(MQIACF_OBJECT_TYPE, a.objectType);
        if (a.hasEntity)
            w.strings(a.entity.group ? MQCACF_GROUP_ENTITY_NAMES : MQCACF_PRINCIPAL_ENTITY_NAMES,
                      {a.entity.name});
        for (const auto &[has, list, id] : {std::tuple{a.hasAdd, a.add, MQIACF_AUTH_ADD_AUTHS},
                                            std::tuple{a.hasRemove, a.remove, MQIACF_AUTH_REMOVE_AUTHS}}) {
            qmauth::AuthSet set = 0;
            if (!has || !qmauth::parseAuthList(list, a.objectType, set)) continue;
            std::vector<MQLONG> values = qmauth::authValues(set);
            w.integers(id, values.data(), values.size());
        }
        return;
    }
    Kind kind = K_QLOCAL;
    const std::string &name = rest[0].value;
    std::string like;
    for (const Token &t : rest)
        if (t.keyword == "LIKE") like = t.value;
    if (isQueueNoun(noun)) {
        if (!like.empty()) {
            w.string(MQCACF_FROM_Q_NAME, like);
            w.string(MQCACF_TO_Q_NAME, name);
        } else {
            w.string(MQCA_Q_NAME, name);
        }
        MQLONG type = queueType(noun);
        kind = type == MQQT_MODEL    ? K_QMODEL
               : type == MQQT_ALIAS  ? K_QALIAS
               : type == MQQT_REMOTE ? K_QREMOTE
                                     : K_QLOCAL;
        if (type != 0) w.integer(MQIA_Q_TYPE, type);
    } else if (noun == "TOPIC" || noun == "TOP") {
        kind = K_TOPIC;
        if (!like.empty()) {
            w.string(MQCACF_FROM_TOPIC_NAME, like);
            w.string(MQCACF_TO_TOPIC_NAME, name);
        } else {
            w.string(MQCA_TOPIC_NAME, name);
        }
    } else if (isNamelistNoun(noun)) {
        kind = K_NAMELIST;
        if (!like.empty()) {
            w.string(MQCACF_FROM_NAMELIST_NAME, like);
            w.string(MQCACF_TO_NAMELIST_NAME, name);
        } else {
            w.string(MQCA_NAMELIST_NAME, name);
        }
    } else if (noun == "SERVICE") {
        kind = K_SERVICE;
        if (!like.empty()) {
            w.string(MQCACF_FROM_SERVICE_NAME, like);
            w.string(MQCACF_TO_SERVICE_NAME, name);
        } else {
            w.string(MQCA_SERVICE_NAME, name);
        }
    } else if (isChannelNoun(noun)) {
        kind = K_CHANNEL;
        if (!like.empty()) {
            w.string(MQCACF_FROM_CHANNEL_NAME, like);
            w.string(MQCACF_TO_CHANNEL_NAME, name);
        } else {
            w.string(MQCACH_CHANNEL_NAME, name);
        }
    } else if (noun == "SVSTATUS") {
        w.string(MQCA_SERVICE_NAME, name);
        return;
    } else if (noun == "TOPICSTR") {
        w.string(MQCA_TOPIC_STRING, name);
    } else {
        kind = K_QMGR;
    }
    std::vector<MQLONG> wanted;
    for (size_t i = 1; i < rest.size(); ++i) {
        const Token &t = rest[i];
        const AttrDef *a = attrByKeyword(t.keyword, kind);
        if (display) {
            if (t.keyword == "ALL") {
                wanted.push_back(MQIACF_ALL);
            } else if (t.keyword == "TYPE" && t.hasValue) {
                if (MQLONG type = queueType(t.value)) w.integer(MQIA_Q_TYPE, type);
            } else if (a) {
                wanted.push_back(a->selector);
            }
            continue;
        }
        MQLONG v = 0;
        if (t.keyword == "REPLACE" || t.keyword == "NOREPLACE") {
            w.integer(MQIACF_REPLACE, t.keyword == "REPLACE" ? MQRP_YES : MQRP_NO);
        } else if (t.keyword == "PURGE" || t.keyword == "NOPURGE") {
            w.integer(MQIACF_PURGE, t.keyword == "PURGE" ? MQPO_YES : MQPO_NO);
        } else if (t.keyword == "TYPE" && t.value == "CONFIGEV") {
            w.integer(MQIACF_REFRESH_TYPE, MQRT_CONFIGURATION);
        } else if (t.keyword == "TYPE" && t.value == "STATISTICS") {
            w.integer(MQIACF_ACTION, MQACT_COLLECT_STATISTICS);
        } else if (t.keyword == "OBJECT" && refreshObject(t.value)) {
            w.integer(MQIACF_OBJECT_TYPE, refreshObject(t.value)->objectType);
        } else if (t.keyword == "NAME") {
            w.string(MQCACF_OBJECT_NAME, t.value);
        } else if (t.keyword == "CLRTYPE") {
            w.integer(MQIACF_CLEAR_TYPE, MQCLRT_RETAINED);
        } else if (t.keyword == "SCOPE") {
            w.integer(MQIACF_CLEAR_SCOPE, MQCLRS_LOCAL);
        } else if (a && a->type == AttrType::Str) {
            w.string(a->selector, t.value);
        } else if (a && a->type == AttrType::NameList) {
            std::string names;
            MQLONG count = 0;
            if (parseNames(t.raw, static_cast<size_t>(a->maxValue), names, count))
                w.strings(a->selector, listedNames(*a, names), static_cast<size_t>(a->length));
        } else if (a && attrValue(*a, t, v)) {
            w.integer(a->selector, v);
        }
    }
    if (!wanted.empty())
        w.integers(kind == K_QMGR       ? MQIACF_Q_MGR_ATTRS
                   : kind == K_TOPIC    ? MQIACF_TOPIC_ATTRS
                   : kind == K_NAMELIST ? MQIACF_NAMELIST_ATTRS
                   : kind == K_SERVICE  ? MQIACF_SERVICE_ATTRS
                   : kind == K_CHANNEL  ? MQIACF_CHANNEL_ATTRS
                                        : MQIACF_Q_ATTRS,
                   wanted.data(), wanted.size());
}

// Two attributes to a line, as runmqsc shows them.
void layout(const std::vector<std::string> &items, std::string &out) {
    for (size_t i = 0; i < items.size(); ++i) {
        std::string line = "   " + items[i];
        if (items[i].size() < 40 && i + 1 < items.size() && items[i + 1].size() < 40) {
            line += std::string(40 - items[i].size(), ' ') + items[i + 1];
            ++i;
        }
        out += line + "\n";
    }
}

}  // namespace

// Runs MQSC commands against the queue manager, with its lock held by the caller.
struct Mqsc {
    explicit Mqsc(QueueManager &q) : qm(q) {}
    QueueManager &qm;
    std::string out;
    int read = 0, syntaxErrors = 0, failed = 0;
    bool echo = true;                  // each command before its answer, as runmqsc shows it
    MQLONG command = MQCMD_ESCAPE;     // the PCF code of the command last run (unparsable: MQCMD_ESCAPE)
    std::vector<size_t> objectStarts;  // where each displayed object's answer begins in out
    EventOrigin origin;                // who issued the commands, for their configuration and command events
    const Principal *asker = nullptr;  // whose authority the commands need (null: the administrator's)
    bool refused = false;              // the last command was not authorized

    void syntax(const std::string &cmd) {
        out += "AMQ8405E: Syntax error detected at or near end of command segment below:-\n" + cmd + "\n\n";
        ++syntaxErrors;
        command = MQCMD_ESCAPE;
    }
    void fail(const std::string &text) {
        out += text + "\n";
        ++failed;
    }

    // Applies keyword tokens to an object; false (with the syntax message) on a bad keyword or value.
    bool applyAttrs(Object &o, const std::vector<Token> &tokens, size_t from, const std::string &cmd,
                    bool creating) {
        for (size_t i = from; i < tokens.size(); ++i) {
            const Token &t = tokens[i];
            if (t.keyword == "REPLACE" || t.keyword == "NOREPLACE" || t.keyword == "LIKE") continue;
            if (o.kind == K_CHANNEL && t.keyword == "CHLTYPE") continue;  // checked by the verb
            const AttrDef *a = attrByKeyword(t.keyword, o.kind);
            // A channel takes only the attributes of its type.
            if (!a || !a->settable || !attrApplies(*a, o)) {
                syntax(cmd);
                return false;
            }
            if (a->selector == MQCA_TOPIC_STRING && !creating) {
                syntax(cmd);
                return false;
            }
            if (a->type == AttrType::Flag) {
                if (t.hasValue) {
                    syntax(cmd);
                    return false;
                }
                o.ints[a->selector] = t.keyword == a->names[0].name ? a->names[0].value : a->names[1].value;
                continue;
            }
            if (!t.hasValue || (t.list && a->type != AttrType::NameList)) {
                syntax(cmd);
                return false;
            }
            if (a->type == AttrType::NameList) {
                MQLONG count = 0;
                if (!parseNames(t.raw, static_cast<size_t>(a->maxValue), o.strs[a->selector], count)) {
                    syntax(cmd);
                    return false;
                }
                o.ints[MQIA_NAME_COUNT] = count;
                continue;
            }
            if (a->type == AttrType::Str) {
                if (static_cast<int>(t.value.size()) > a->length) {
                    syntax(cmd);
                    return false;
                }
                o.strs[a->selector] = t.value;
                continue;
            }
            bool found = false;
            if (a->names)
                for (const EnumName *e = a->names; e->name; ++e)
                    if (t.value == e->name) {
                        o.ints[a->selector] = e->value;
                        found = true;
                    }
            if (!found && a->type == AttrType::Int) {
                char *end = nullptr;
                long v = std::strtol(t.value.c_str(), &end, 10);
                if (!t.value.empty() && *end == '\0' && v >= a->minValue && v <= a->maxValue) {
                    o.ints[a->selector] = static_cast<MQLONG>(v);
                    found = true;
                }
            }
            if (!found) {
                syntax(cmd);
                return false;
            }
        }
        return true;
    }

    static bool kindFromNoun(const std::string &noun, Kind &k) {
        if (noun == "QLOCAL" || noun == "QL")
            k = K_QLOCAL;
        else if (noun == "QMODEL" || noun == "QM")
            k = K_QMODEL;
        else if (noun == "QALIAS" || noun == "QA")
            k = K_QALIAS;
        else if (noun == "QREMOTE" || noun == "QR")
            k = K_QREMOTE;
        else if (noun == "TOPIC" || noun == "TOP")
            k = K_TOPIC;
        else if (noun == "QMGR")
            k = K_QMGR;
        else if (noun == "NAMELIST" || noun == "NL")
            k = K_NAMELIST;
        else if (noun == "SERVICE")
            k = K_SERVICE;
        else if (isChannelNoun(noun))
            k = K_CHANNEL;
        else
            return false;
        return true;
    }

    static const char *createdText(Kind k) {
        return k == K_TOPIC      ? "AMQ8690I: IBM MQ topic created."
               : k == K_NAMELIST ? "AMQ8552I: IBM MQ namelist created."
               : k == K_SERVICE  ? "AMQ8626I: IBM MQ service created."
               : k == K_CHANNEL  ? "AMQ8014I: IBM MQ channel created."
                                 : "AMQ8006I: IBM MQ queue created.";
    }

    // The objects of a kind kept by name alone (topics, namelists, services, channels); null for
    // queues.
    std::map<std::string, Object> *objectsOf(Kind kind) {
        return kind == K_TOPIC      ? &qm.topics_
               : kind == K_NAMELIST ? &qm.namelists_
               : kind == K_SERVICE  ? &qm.services_
               : kind == K_CHANNEL  ? &qm.channels_
                                    : nullptr;
    }

    // The channel type (MQCHT_*) a command's CHLTYPE gives; 0 when it has none or an unknown one.
    static MQLONG channelType(const std::vector<Token> &tokens) {
        const AttrDef *a = attrByKeyword("CHLTYPE", K_CHANNEL);
        MQLONG type = 0;
        for (const Token &t : tokens)
            if (t.keyword == "CHLTYPE" && !attrValue(*a, t, type)) return 0;
        return type;
    }

    // SYSTEM.DEF.<type>, the channel a new channel of the type copies when there is one.
    static const char *channelDefault(MQLONG type) {
        switch (type) {
            case MQCHT_SENDER:
                return "SYSTEM.DEF.SENDER";
            case MQCHT_SERVER:
                return "SYSTEM.DEF.SERVER";
            case MQCHT_RECEIVER:
                return "SYSTEM.DEF.RECEIVER";
            case MQCHT_REQUESTER:
                return "SYSTEM.DEF.REQUESTER";
            case MQCHT_CLNTCONN:
                return "SYSTEM.DEF.CLNTCONN";
            default:
                return "SYSTEM.DEF.SVRCONN";
        }
    }

    void notFound(const std::string &name) { fail("AMQ8147E: IBM MQ object " + name + " not found."); }

    // Whether the requester may do this to the object; a refusal is answered and reported.
    bool permitted(MQLONG objectType, const std::string &name, MQLONG auth) {
        if (qm.commandAuthorized(asker, command, objectType, name, auth)) return true;
        fail("AMQ8135E: Not authorized.");
        refused = true;
        return false;
    }
    bool mayDisplay(MQLONG objectType, const std::string &name) const {
        return !asker || qm.authorized(*asker, objectType, name, qmauth::bit(MQAUTH_DISPLAY));
    }

    // SET AUTHREC: authorities added to and removed from one entity's record, made when missing.
    void setAuthRec(const std::vector<Token> &rest, const std::string &cmd) {
        AuthRecArgs a;
        if (!parseAuthRec(rest, false, a) || !a.hasType || !a.hasEntity || (!a.hasAdd && !a.hasRemove))
            return syntax(cmd);
        if (!a.hasProfile && a.objectType == MQOT_Q_MGR) a.profile = qm.qmgr_.name;
        if (!qmauth::validProfile(a.profile)) return syntax(cmd);
        qmauth::AuthSet add = 0, remove = 0;
        if ((a.hasAdd && !qmauth::parseAuthList(a.add, a.objectType, add)) ||
            (a.hasRemove && !qmauth::parseAuthList(a.remove, a.objectType, remove)))
            return syntax(cmd);
        const qmauth::AuthSet valid = qmauth::validFor(a.objectType);
        if ((add | remove) & ~valid) return mqError(MQRCCF_AUTH_VALUE_ERROR);
        if (!permitted(MQOT_Q_MGR, qm.qmgr_.name, MQAUTH_CHANGE)) return;
        const qmauth::Record *old = qm.auth_.find(a.objectType, a.profile, a.entity);
        qmauth::Record rec{a.objectType, a.profile, a.entity, ((old ? old->auths : 0) | add) & ~remove};
        if (!qm.journalAuth(rec, false)) return notJournalled();
        qm.auth_.set(rec.objectType, rec.profile, rec.entity, rec.auths, ~rec.auths);
        out += "AMQ8862I: IBM MQ authority record set.\n";
    }

    void deleteAuthRec(const std::vector<Token> &rest, const std::string &cmd) {
        AuthRecArgs a;
        if (!parseAuthRec(rest, false, a) || !a.hasType || !a.hasEntity || a.hasAdd || a.hasRemove)
            return syntax(cmd);
        if (!a.hasProfile && a.objectType == MQOT_Q_MGR) a.profile = qm.qmgr_.name;
        if (!qmauth::validProfile(a.profile)) return syntax(cmd);
        if (!permitted(MQOT_Q_MGR, qm.qmgr_.name, MQAUTH_CHANGE)) return;
        const qmauth::Record *old = qm.auth_.find(a.objectType, a.profile, a.entity);
        if (!old) return notFound(a.profile);
        if (!qm.journalAuth(*old, true)) return notJournalled();
        qm.auth_.remove(a.objectType, a.profile, a.entity);
        out += "AMQ8863I: IBM MQ authority record deleted.\n";
    }

    // DISPLAY AUTHREC: the records of the profile and, unless MATCH(EXACT), of the generic
    // profiles that apply to it; all of them without PROFILE.
    void displayAuthRec(const std::vector<Token> &rest, const std::string &cmd) {
        AuthRecArgs a;
        if (!parseAuthRec(rest, true, a)) return syntax(cmd);
        if (!permitted(MQOT_Q_MGR, qm.qmgr_.name, MQAUTH_DISPLAY)) return;
        std::vector<qmauth::Record> found =
            qm.auth_.select(a.objectType, a.profile, !a.exact && !qmauth::isGeneric(a.profile),
                            a.hasEntity ? &a.entity : nullptr);
        if (found.empty()) return notFound(a.hasProfile ? a.profile : std::string("*"));
        for (const qmauth::Record &r : found) {
            objectStarts.push_back(out.size());
            out += "AMQ8864I: Display authority record details.\n";
            layout({"PROFILE(" + r.profile + ")", "ENTITY(" + r.entity.name + ")",
                    std::string("ENTTYPE(") + (r.entity.group ? "GROUP" : "PRINCIPAL") + ")",
                    std::string("OBJTYPE(") + qmauth::objectTypeName(r.objectType) + ")",
                    "AUTHLIST(" + qmauth::authNames(r.auths) + ")"},
                   out);
        }
    }

    static MQLONG verbAuthority(const std::string &verb) {
        return verb == "DEFINE"    ? MQAUTH_CREATE
               : verb == "DELETE"  ? MQAUTH_DELETE
               : verb == "CLEAR"   ? MQAUTH_CLEAR
               : verb == "DISPLAY" ? MQAUTH_DISPLAY
                                   : MQAUTH_CHANGE;
    }

    // The authority the requester needs for a command on an object other than authority records.
    bool commandPermitted(const std::string &verb, const std::string &noun, Kind kind,
                          const std::string &name) {
        if (!asker) return true;
        // Services and channels have no authority records here: the queue manager's decide.
        if (kind == K_SERVICE || kind == K_CHANNEL)
            return permitted(MQOT_Q_MGR, qm.qmgr_.name, verbAuthority(verb));
        MQLONG type = kind == K_QMGR       ? MQOT_Q_MGR
                      : kind == K_TOPIC    ? MQOT_TOPIC
                      : kind == K_NAMELIST ? MQOT_NAMELIST
                                           : MQOT_Q;
        std::string object = kind == K_QMGR ? qm.qmgr_.name : name;
        if (kind == K_TOPIC) {
            // A topic object's authority is that of its topic string.
            auto t = qm.topics_.find(name);
            if (t != qm.topics_.end()) object = t->second.s(MQCA_TOPIC_STRING);
        }
        if (noun == "TOPICSTR") {
            type = MQOT_TOPIC;
            object = name;
        }
        MQLONG auth = verbAuthority(verb);
        // A generic DISPLAY shows what may be displayed and leaves out the rest.
        if (verb == "DISPLAY" && kind != K_QMGR && !name.empty() && name.back() == '*') return true;
        return permitted(type, object, auth);
    }

    // A command the queue manager could not carry out, as runmqsc shows an MQI reason (in hex).
    void mqError(MQLONG reason) {
        char text[64];
        std::snprintf(text, sizeof text, "AMQ8101S: IBM MQ error (%X) has occurred.",
                      static_cast<unsigned>(reason));
        fail(text);
    }
    // Every change is journalled before it is made: one the journal does not take is not made.
    void notJournalled() { mqError(MQRC_RESOURCE_PROBLEM); }

    void define(Kind kind, const std::string &name, const std::vector<Token> &tokens,
                const std::string &cmd) {
        bool replace = false;
        std::string like;
        for (const Token &t : tokens) {
            if (t.keyword == "REPLACE") replace = true;
            if (t.keyword == "LIKE") like = t.value;
        }
        if (name.empty() || name.size() > (kind == K_CHANNEL ? 20u : 48u)) return syntax(cmd);
        // A channel is defined with its type, which it keeps.
        const MQLONG chlType = kind == K_CHANNEL ? channelType(tokens) : 0;
        if (kind == K_CHANNEL && chlType == 0) return syntax(cmd);
        Object o;
        std::map<std::string, Object> *objects = objectsOf(kind);
        bool exists = objects ? objects->count(name) > 0 : qm.findQueue(name) != nullptr;
        Queue *old = objects ? nullptr : qm.findQueue(name);
        if (exists && (!replace || (old && old->def.kind != kind)))
            return fail("AMQ8150E: IBM MQ object already exists.");
        // The base: LIKE, else the SYSTEM.DEFAULT object of the kind, else built-in defaults.
        const char *sysDefault = kind == K_QLOCAL     ? "SYSTEM.DEFAULT.LOCAL.QUEUE"
                                 : kind == K_QMODEL   ? "SYSTEM.DEFAULT.MODEL.QUEUE"
                                 : kind == K_QALIAS   ? "SYSTEM.DEFAULT.ALIAS.QUEUE"
                                 : kind == K_QREMOTE  ? "SYSTEM.DEFAULT.REMOTE.QUEUE"
                                 : kind == K_NAMELIST ? "SYSTEM.DEFAULT.NAMELIST"
                                 : kind == K_SERVICE  ? "SYSTEM.DEFAULT.SERVICE"
                                 : kind == K_CHANNEL  ? channelDefault(chlType)
                                                      : "SYSTEM.DEFAULT.TOPIC";
        std::string baseName = like.empty() ? sysDefault : like;
        if (exists && old) {
            o = old->def;
        } else if (exists) {
            o = (*objects)[name];
        } else if (objects && objects->count(baseName)) {
            o = (*objects)[baseName];
        } else if (Queue *b = qm.findQueue(baseName); b && b->def.kind == kind) {
            o = b->def;
        } else if (!like.empty()) {
            return notFound(like);
        } else if (kind == K_CHANNEL) {
            channelDefaults(o, chlType);
        } else {
            qm.defaultsFor(o, kind);
        }
        if (kind == K_CHANNEL && o.i(MQIACH_CHANNEL_TYPE) != chlType)
            return mqError(MQRCCF_CHANNEL_TYPE_ERROR);
        o.kind = kind;
        o.name = name;
        if (!applyAttrs(o, tokens, 1, cmd, true)) return;
        if (kind == K_TOPIC && o.s(MQCA_TOPIC_STRING).empty() && !exists) return syntax(cmd);
        qm.touch(o, !exists);
        if (kind == K_TOPIC) o.strs[MQCA_TOPIC_NAME] = name;
        if (kind == K_NAMELIST) o.strs[MQCA_NAMELIST_NAME] = name;
        if (kind == K_SERVICE) o.strs[MQCA_SERVICE_NAME] = name;
        if (kind == K_CHANNEL) o.strs[MQCACH_CHANNEL_NAME] = name;
        if (!qm.journalObject(o)) return notJournalled();
        Object before = exists ? (old ? old->def : (*objects)[name]) : Object{};
        const Object *after = nullptr;
        if (objects) {
            after = &((*objects)[name] = o);
        } else if (old) {
            old->def = o;
            after = &old->def;
        } else {
            after = &qm.addQueue(o)->def;
        }
        out += std::string(createdText(kind)) + "\n";
        if (!qm.switchOn(MQIA_CONFIGURATION_EVENT)) return;
        if (exists)
            qm.configEvent(MQRC_CONFIG_CHANGE_OBJECT, origin, *after, &before);
        else
            qm.configEvent(MQRC_CONFIG_CREATE_OBJECT, origin, *after);
    }

    void alter(Kind kind, const std::string &name, const std::vector<Token> &tokens, const std::string &cmd) {
        Object *target = nullptr;
        if (kind == K_QMGR) {
            target = &qm.qmgr_;
        } else if (std::map<std::string, Object> *objects = objectsOf(kind)) {
            auto it = objects->find(name);
            if (it != objects->end()) target = &it->second;
        } else if (Queue *q = qm.findQueue(name); q && q->def.kind == kind) {
            target = &q->def;
        }
        if (!target) return notFound(name);
        // ALTER CHANNEL names the channel's type, as DEFINE does.
        if (kind == K_CHANNEL) {
            const MQLONG type = channelType(tokens);
            if (type == 0) return syntax(cmd);
            if (type != target->i(MQIACH_CHANNEL_TYPE)) return mqError(MQRCCF_CHANNEL_TYPE_ERROR);
        }
        const Object before = *target;
        Object o = *target;
        if (!applyAttrs(o, tokens, kind == K_QMGR ? 1 : 1, cmd, false)) return;
        qm.touch(o, false);
        if (!qm.journalObject(o)) return notJournalled();
        if (kind & K_QUEUES) {
            Queue *q = qm.findQueue(name);
            bool rekey = q->def.i(MQIA_MSG_DELIVERY_SEQUENCE) != o.i(MQIA_MSG_DELIVERY_SEQUENCE);
            q->def = o;
            if (rekey) {
                std::map<MsgKey, std::unique_ptr<Message>> old;
                old.swap(q->msgs);
                for (auto &[key, m] : old) q->msgs[qm.keyFor(q, m->md.Priority, m->seq)] = std::move(m);
                for (auto &[id, c] : qm.conns_)
                    for (auto &[h, handle] : c->handles)
                        if (handle.queue == q) handle.cursor.set = false;
            }
        } else {
            *target = o;
        }
        qm.changed_.notify_all();
        out += kind == K_QMGR       ? "AMQ8005I: IBM MQ queue manager changed.\n"
               : kind == K_TOPIC    ? "AMQ8691I: IBM MQ topic changed.\n"
               : kind == K_NAMELIST ? "AMQ8551I: IBM MQ namelist changed.\n"
               : kind == K_SERVICE  ? "AMQ8625I: IBM MQ service changed.\n"
               : kind == K_CHANNEL  ? "AMQ8016I: IBM MQ channel changed.\n"
                                    : "AMQ8008I: IBM MQ queue changed.\n";
        const Object &after = (kind & K_QUEUES) ? qm.findQueue(name)->def : *target;
        if (qm.configChangeEvents(before, after))
            qm.configEvent(MQRC_CONFIG_CHANGE_OBJECT, origin, after, &before);
    }

    void remove(Kind kind, const std::string &name, const std::vector<Token> &tokens) {
        bool purge = false;
        for (const Token &t : tokens)
            if (t.keyword == "PURGE") purge = true;
        if (std::map<std::string, Object> *objects = objectsOf(kind)) {
            if (!objects->count(name)) return notFound(name);
            if (kind == K_SERVICE && serviceRunning(name)) return mqError(MQRCCF_SERVICE_RUNNING);
            if (!qm.journalDelete(kind, name)) return notJournalled();
            Object gone = (*objects)[name];
            objects->erase(name);
            out += kind == K_TOPIC     ? "AMQ8692I: IBM MQ topic deleted.\n"
                   : kind == K_SERVICE ? "AMQ8627I: IBM MQ service deleted.\n"
                   : kind == K_CHANNEL ? "AMQ8015I: IBM MQ channel deleted.\n"
                                       : "AMQ8553I: IBM MQ namelist deleted.\n";
            if (qm.switchOn(MQIA_CONFIGURATION_EVENT))
                qm.configEvent(MQRC_CONFIG_DELETE_OBJECT, origin, gone);
            return;
        }
        Queue *q = qm.findQueue(name);
        if (!q || q->def.kind != kind) return notFound(name);
        if (q->handles > 0) return fail("AMQ8148E: IBM MQ object in use.");
        for (const auto &[key, m] : q->msgs)
            if (m->putter || m->getter) return fail("AMQ8148E: IBM MQ object in use.");
        if (q->depth > 0 && !purge) return fail("AMQ8143E: IBM MQ queue " + name + " not empty.");
        Object gone = q->def;
        MQLONG purged = q->depth;
        if (!qm.deleteQueue(q)) return notJournalled();
        qm.mqiStats_.purged += purged;
        out += "AMQ8007I: IBM MQ queue deleted.\n";
        if (qm.switchOn(MQIA_CONFIGURATION_EVENT)) qm.configEvent(MQRC_CONFIG_DELETE_OBJECT, origin, gone);
    }

    void clear(const std::string &name) {
        Queue *q = qm.findQueue(name);
        if (!q || q->def.kind != K_QLOCAL) return notFound(name);
        if (q->openInput > 0 || q->openOutput > 0) return fail("AMQ8148E: IBM MQ object in use.");
        for (const auto &[key, m] : q->msgs)
            if (m->putter || m->getter) return fail("AMQ8148E: IBM MQ object in use.");
        if (!q->tempDynamic && !qm.journalClear(name)) return notJournalled();
        for (const auto &[key, m] : q->msgs)
            if (m->persistent) qm.liveBytes_ -= std::min<uint64_t>(qm.liveBytes_, m->data.size() + 400);
        qm.countPurged(q, q->depth);
        q->msgs.clear();
        q->depth = 0;
        out += "AMQ8022I: IBM MQ queue cleared.\n";
    }

    // CLEAR TOPICSTR(string) CLRTYPE(RETAINED) [SCOPE(LOCAL)]: removes the retained publications of
    // the topic strings the string matches ('#' and '+' levels); none at all is still success.
    void clearTopicString(const std::vector<Token> &tokens, const std::string &cmd) {
        bool retained = false;
        for (size_t i = 1; i < tokens.size(); ++i) {
            const Token &t = tokens[i];
            if (t.keyword == "CLRTYPE" && t.hasValue && t.value == "RETAINED")
                retained = true;
            else if (!(t.keyword == "SCOPE" && t.hasValue && t.value == "LOCAL"))
                return syntax(cmd);
        }
        if (!retained || tokens[0].value.empty()) return syntax(cmd);
        if (qm.clearRetained(tokens[0].value) < 0) return notJournalled();
        out += "AMQ8896I: IBM MQ topic string cleared.\n";
    }

    void showObject(const Object &o, const Queue *q, const std::vector<Token> &tokens, size_t from) {
        bool all = o.kind == K_QMGR;
        std::vector<const AttrDef *> wanted;
        for (size_t i = from; i < tokens.size(); ++i) {
            if (tokens[i].keyword == "ALL") {
                all = true;
                continue;
            }
            if (tokens[i].keyword == "TYPE" && tokens[i].hasValue) continue;
            const AttrDef *a = attrByKeyword(tokens[i].keyword, o.kind);
            if (a) wanted.push_back(a);
        }
        // The row that names the object: shown with its name, whatever was asked for.
        const MQLONG nameSelector = o.kind == K_QMGR       ? MQCA_Q_MGR_NAME
                                    : o.kind == K_TOPIC    ? MQCA_TOPIC_NAME
                                    : o.kind == K_NAMELIST ? MQCA_NAMELIST_NAME
                                    : o.kind == K_SERVICE  ? MQCA_SERVICE_NAME
                                    : o.kind == K_CHANNEL  ? MQCACH_CHANNEL_NAME
                                                           : MQCA_Q_NAME;
        std::vector<std::string> items;
        for (const AttrDef &a : attrTable()) {
            if (!attrApplies(a, o)) continue;
            bool always =
                a.selector == nameSelector || a.selector == MQIA_Q_TYPE || a.selector == MQIACH_CHANNEL_TYPE;
            if (!always && !all && std::find(wanted.begin(), wanted.end(), &a) == wanted.end()) continue;
            if (a.selector == MQIA_CAP_EXPIRY && qm.qmgr_.i(MQIA_COMMAND_LEVEL) < 931) continue;
            MQLONG v = o.i(a.selector);
            if (q && a.selector == MQIA_CURRENT_Q_DEPTH) v = q->depth;
            if (q && a.selector == MQIA_OPEN_INPUT_COUNT) v = q->openInput;
            if (q && a.selector == MQIA_OPEN_OUTPUT_COUNT) v = q->openOutput;
            if (a.selector == nameSelector) {
                items.push_back(std::string(a.keyword) + "(" + o.name + ")");
                if (a.selector == MQCA_TOPIC_NAME) items.push_back("TYPE(LOCAL)");
                continue;
            }
            items.push_back(formatValue(a, o, v));
        }
        objectStarts.push_back(out.size());
        out += o.kind == K_QMGR       ? "AMQ8408I: Display Queue Manager details.\n"
               : o.kind == K_TOPIC    ? "AMQ8633I: Display topic details.\n"
               : o.kind == K_NAMELIST ? "AMQ8550I: Display namelist details.\n"
               : o.kind == K_SERVICE  ? "AMQ8629I: Display service information details.\n"
               : o.kind == K_CHANNEL  ? "AMQ8414I: Display Channel details.\n"
                                      : "AMQ8409I: Display Queue details.\n";
        layout(items, out);
    }

    void display(const std::string &noun, const std::string &pattern, const std::vector<Token> &tokens,
                 const std::string &cmd) {
        Kind kind = K_QLOCAL;
        bool anyQueue = noun == "QUEUE" || noun == "Q";
        if (!anyQueue && !kindFromNoun(noun, kind)) return;
        if (kind == K_QMGR) {
            showObject(qm.qmgr_, nullptr, tokens, 1);
            return;
        }
        uint16_t kinds = anyQueue ? K_QUEUES : static_cast<uint16_t>(kind);
        MQLONG chlType = 0;  // DISPLAY CHANNEL's TYPE: the channels of one type (0: all)
        for (const Token &t : tokens) {
            if (kind == K_CHANNEL && t.keyword == "TYPE" && t.hasValue && t.value != "ALL") {
                Token asType = t;
                asType.keyword = "CHLTYPE";
                chlType = channelType({asType});
                if (chlType == 0) return syntax(cmd);
            }
            if (anyQueue && t.keyword == "TYPE" && t.hasValue) {
                Kind k;
                if (t.value == "ALL")
                    kinds = K_QUEUES;
                else if (kindFromNoun(t.value, k))
                    kinds = k;
            }
        }
        int shown = 0;
        if (std::map<std::string, Object> *objects = objectsOf(kind)) {
            // Services and channels are displayed with the queue manager's authority.
            const bool byQmgr = kind == K_SERVICE || kind == K_CHANNEL;
            for (const auto &[name, t] : *objects)
                if (genericMatch(pattern, name) && (chlType == 0 || t.i(MQIACH_CHANNEL_TYPE) == chlType) &&
                    mayDisplay(kind == K_TOPIC ? MQOT_TOPIC
                               : byQmgr        ? MQOT_Q_MGR
                                               : MQOT_NAMELIST,
                               kind == K_TOPIC ? t.s(MQCA_TOPIC_STRING)
                               : byQmgr        ? qm.qmgr_.name
                                               : name)) {
                    showObject(t, nullptr, tokens, 1);
                    ++shown;
                }
        } else {
            for (const auto &[name, q] : qm.queues_)
                if ((q->def.kind & kinds) && genericMatch(pattern, name) && mayDisplay(MQOT_Q, name)) {
                    showObject(q->def, q.get(), tokens, 1);
                    ++shown;
                }
        }
        if (shown == 0) notFound(pattern);
    }

    bool serviceRunning(const std::string &name) const {
        auto run = qm.serviceRuns_.find(name);
        return run != qm.serviceRuns_.end() && run->second.pid > 0 && !qmos::childEnded(run->second.pid);
    }

    // START SERVICE(name) and STOP SERVICE(name): the program started, or the stop command.
    void startStopService(bool start, const std::vector<Token> &rest, const std::string &cmd) {
        if (rest.size() != 1 || !rest[0].hasValue || rest[0].value.empty()) return syntax(cmd);
        auto it = qm.services_.find(rest[0].value);
        if (it == qm.services_.end()) return notFound(rest[0].value);
        std::string text;
        MQLONG why = start ? qm.startService(it->second, text) : qm.stopService(it->second, 0, text);
        if (!text.empty()) {
            std::fprintf(stderr, "miniqmd(%s): %s\n", qm.qmgr_.name.c_str(), text.c_str());
            std::fflush(stderr);
        }
        if (why != MQRC_NONE) return mqError(why);
        out += start ? "AMQ8733I: Request to start Service accepted.\n"
                     : "AMQ8734I: Request to stop Service accepted.\n";
    }

    // DISPLAY SVSTATUS(generic): each SERVER service, RUNNING with its process and start, or STOPPED.
    void displayServiceStatus(const std::vector<Token> &rest, const std::string &cmd) {
        if (!rest[0].hasValue || rest[0].value.empty()) return syntax(cmd);
        for (size_t i = 1; i < rest.size(); ++i)
            if (rest[i].keyword != "ALL" && rest[i].keyword != "STATUS" && rest[i].keyword != "PID" &&
                rest[i].keyword != "STARTDA" && rest[i].keyword != "STARTTI")
                return syntax(cmd);
        qm.reapServices();
        int shown = 0;
        for (const auto &[name, svc] : qm.services_) {
            if (svc.i(MQIA_SERVICE_TYPE) != MQSVC_TYPE_SERVER || !genericMatch(rest[0].value, name)) continue;
            auto run = qm.serviceRuns_.find(name);
            std::vector<std::string> items = {"SERVICE(" + name + ")"};
            if (run != qm.serviceRuns_.end() && run->second.pid > 0) {
                std::string date, time;
                qmos::mqscDateTime(run->second.startMs, date, time);
                items.push_back("STATUS(RUNNING)");
                items.push_back("PID(" + std::to_string(run->second.pid) + ")");
                items.push_back("STARTDA(" + date + ")");
                items.push_back("STARTTI(" + time + ")");
            } else {
                items.push_back("STATUS(STOPPED)");
            }
            objectStarts.push_back(out.size());
            out += "AMQ8632I: Display service status details.\n";
            layout(items, out);
            ++shown;
        }
        if (shown == 0) notFound(rest[0].value);
    }

    // REFRESH QMGR TYPE(CONFIGEV) [OBJECT(type)] [NAME(generic)]: a configuration event for each
    // object selected (temporary dynamic queues are never reported).
    void refresh(const std::vector<Token> &tokens, const std::string &cmd) {
        std::string type, name = "*";
        const RefreshObject *object = refreshObject("ALL");
        for (size_t i = 1; i < tokens.size(); ++i) {
            const Token &t = tokens[i];
            if (!t.hasValue) return syntax(cmd);
            if (t.keyword == "TYPE")
                type = t.value;
            else if (t.keyword == "OBJECT")
                object = refreshObject(t.value);
            else if (t.keyword == "NAME")
                name = t.value;
            else
                return syntax(cmd);
            if (!object || name.empty()) return syntax(cmd);
        }
        if (type != "CONFIGEV") return syntax(cmd);
        if (!qm.switchOn(MQIA_CONFIGURATION_EVENT)) return mqError(MQRCCF_EVENTS_DISABLED);
        if ((object->kinds & K_QMGR) && genericMatch(name, qm.qmgr_.name))
            qm.configEvent(MQRC_CONFIG_REFRESH_OBJECT, origin, qm.qmgr_);
        for (const auto &[qname, q] : qm.queues_)
            if ((object->kinds & q->def.kind) && !q->tempDynamic && genericMatch(name, qname))
                qm.configEvent(MQRC_CONFIG_REFRESH_OBJECT, origin, q->def);
        for (const auto &[tname, t] : qm.topics_)
            if ((object->kinds & K_TOPIC) && genericMatch(name, tname))
                qm.configEvent(MQRC_CONFIG_REFRESH_OBJECT, origin, t);
        for (const auto &[lname, l] : qm.namelists_)
            if ((object->kinds & K_NAMELIST) && genericMatch(name, lname))
                qm.configEvent(MQRC_CONFIG_REFRESH_OBJECT, origin, l);
        for (const auto &[cname, c] : qm.channels_)
            if ((object->kinds & K_CHANNEL) && genericMatch(name, cname))
                qm.configEvent(MQRC_CONFIG_REFRESH_OBJECT, origin, c);
        out += "AMQ8559I: Refresh Queue Manager accepted.\n";
    }

    // RESET QMGR TYPE(STATISTICS): the statistics of the interval so far are written now, and a new
    // interval starts.
    void reset(const std::vector<Token> &tokens, const std::string &cmd) {
        if (tokens.size() != 2 || tokens[1].keyword != "TYPE" || tokens[1].value != "STATISTICS")
            return syntax(cmd);
        qm.writeStatistics(qmos::wallMs());
        out += "AMQ8559I: Reset Queue Manager accepted.\n";
    }

    void run(const std::string &cmd) {
        int failedBefore = failed, syntaxBefore = syntaxErrors;
        const MQLONG cmdevBefore = qm.qmgr_.i(MQIA_COMMAND_EVENT);
        std::vector<Token> tokens;
        execute(cmd, tokens);
        if (failed != failedBefore || syntaxErrors != syntaxBefore || command == MQCMD_ESCAPE) return;
        // The command succeeded: its command event, with the command as PCF parameters.
        std::vector<Token> rest(tokens.begin() + 1, tokens.end());
        qmpcf::Writer parameters;
        commandParameters(rest[0].keyword, rest, isInquiry(command), parameters);
        // ALTER QMGR is reported when command events were on before it or are on after it.
        MQLONG &setting = qm.qmgr_.ints[MQIA_COMMAND_EVENT];
        const MQLONG now = setting;
        if (command == MQCMD_CHANGE_Q_MGR && now == MQEVR_DISABLED) setting = cmdevBefore;
        qm.commandEventLocked(origin, command, parameters, true);
        setting = now;
    }

    void execute(const std::string &cmd, std::vector<Token> &tokens) {
        ++read;
        command = MQCMD_ESCAPE;
        refused = false;
        if (echo) {
            char num[16];
            std::snprintf(num, sizeof num, "%6d", read);
            out += std::string(num) + " : " + cmd + "\n";
        }
        if (!tokenize(cmd, tokens) || tokens.empty()) return syntax(cmd);
        std::string verb = fullVerb(tokens[0].keyword);
        std::vector<Token> rest(tokens.begin() + 1, tokens.end());
        if (rest.empty()) return syntax(cmd);
        std::string noun = rest[0].keyword;
        std::string name = rest[0].value;
        Kind kind = K_QLOCAL;
        command = mqscCommand(verb, noun, std::any_of(rest.begin(), rest.end(), [](const Token &t) {
                                  return t.keyword == "LIKE";
                              }));
        if (noun == "AUTHREC" && !rest[0].hasValue) {
            if (verb == "SET") return setAuthRec(rest, cmd);
            if (verb == "DELETE") return deleteAuthRec(rest, cmd);
            if (verb == "DISPLAY") return displayAuthRec(rest, cmd);
            return syntax(cmd);
        }
        if (verb == "CLEAR" && noun == "TOPICSTR") {
            if (!commandPermitted(verb, noun, K_TOPIC, name)) return;
            return clearTopicString(rest, cmd);
        }
        if ((verb == "START" || verb == "STOP") && noun == "SERVICE") {
            if (!commandPermitted(verb, noun, K_SERVICE, name)) return;
            return startStopService(verb == "START", rest, cmd);
        }
        if (verb == "DISPLAY" && noun == "SVSTATUS") {
            if (!commandPermitted(verb, noun, K_SERVICE, name)) return;
            return displayServiceStatus(rest, cmd);
        }
        if ((verb == "REFRESH" || verb == "RESET") && noun == "QMGR" && !rest[0].hasValue &&
            !commandPermitted(verb, noun, K_QMGR, name))
            return;
        if (verb == "REFRESH" && noun == "QMGR" && !rest[0].hasValue) return refresh(rest, cmd);
        if (verb == "RESET" && noun == "QMGR" && !rest[0].hasValue) return reset(rest, cmd);
        if (verb == "DISPLAY") {
            if (noun != "QMGR" && !rest[0].hasValue) return syntax(cmd);
            if (noun != "QUEUE" && noun != "Q" && !kindFromNoun(noun, kind)) return syntax(cmd);
            if (!commandPermitted(verb, noun, kind, name)) return;
            return display(noun, name, rest, cmd);
        }
        if (!kindFromNoun(noun, kind)) return syntax(cmd);
        if (kind != K_QMGR && !rest[0].hasValue) return syntax(cmd);
        const bool known = verb == "DEFINE" || verb == "ALTER" || verb == "DELETE" || verb == "CLEAR";
        if (known && !commandPermitted(verb, noun, kind, name)) return;
        if (verb == "DEFINE") {
            if (kind == K_QMGR) return syntax(cmd);
            return define(kind, name, rest, cmd);
        }
        if (verb == "ALTER") return alter(kind, name, rest, cmd);
        if (verb == "DELETE") {
            if (kind == K_QMGR) return syntax(cmd);
            return remove(kind, name, rest);
        }
        if (verb == "CLEAR") {
            if (kind != K_QLOCAL) return syntax(cmd);
            return clear(name);
        }
        syntax(cmd);
    }

    void summary() {
        out += read == 1 ? "One MQSC command read.\n" : std::to_string(read) + " MQSC commands read.\n";
        out += syntaxErrors == 0   ? "No commands have a syntax error.\n"
               : syntaxErrors == 1 ? "One command has a syntax error.\n"
                                   : std::to_string(syntaxErrors) + " commands have a syntax error.\n";
        out += failed == 0   ? "All valid MQSC commands were processed.\n"
               : failed == 1 ? "One valid MQSC command could not be processed.\n"
                             : std::to_string(failed) + " valid MQSC commands could not be processed.\n";
    }
};

QueueManager::MqscAnswer QueueManager::escape(const std::string &text, const MQMD &request) {
    // The requester's groups are looked up before the lock is taken.
    const Principal asker = principalFor(fixedField(request.UserIdentifier, sizeof request.UserIdentifier));
    std::lock_guard<std::mutex> lock(mu_);
    Mqsc m(*this);
    m.echo = false;
    m.asker = &asker;
    m.origin = EventOrigin::fromMessage(request);  // who asked, as command and configuration events name it
    std::vector<std::string> cmds = splitCommands(text);
    // An escape request carries one command; more than one is not a command either.
    if (cmds.size() == 1)
        m.run(cmds[0]);
    else
        m.syntax(trimBlanks(text));
    MqscAnswer answer;
    answer.command = m.command;
    answer.failed = m.syntaxErrors > 0 || m.failed > 0;
    answer.notAuthorized = m.refused;
    // A DISPLAY answers with one message per object; anything else with one message.
    std::vector<size_t> cuts(1, 0);
    for (size_t start : m.objectStarts)
        if (start != 0) cuts.push_back(start);
    cuts.push_back(m.out.size());
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        std::string piece = m.out.substr(cuts[i], cuts[i + 1] - cuts[i]);
        while (!piece.empty() && piece.back() == '\n') piece.pop_back();
        if (!piece.empty()) answer.messages.push_back(piece);
    }
    return answer;
}

// Default completion code IBM MQ gives a reason on a verb, for faults injected without one.
static MQLONG defaultCc(const std::string &verb, MQLONG reason) {
    switch (reason) {
        case MQRC_BACKED_OUT:
            return (verb == "MQCMIT" || verb == "MQDISC") ? MQCC_WARNING : MQCC_FAILED;
        case MQRC_SOURCE_CCSID_ERROR:  // MQGET with MQGMO_CONVERT returns the message unconverted
        case MQRC_TARGET_CCSID_ERROR:
        case MQRC_FORMAT_ERROR:
        case MQRC_DBCS_ERROR:
            return verb == "MQGET" ? MQCC_WARNING : MQCC_FAILED;
        case MQRC_PROPERTY_NOT_AVAILABLE:
            return verb == "MQDLTMP" ? MQCC_WARNING : MQCC_FAILED;
        case MQRC_PROP_NAME_NOT_CONVERTED:  // MQINQMP returns the name unconverted
        case MQRC_CONVERTED_STRING_TOO_BIG:
        case MQRC_TRUNCATED_MSG_ACCEPTED:
        case MQRC_NOT_CONVERTED:
        case MQRC_PRIORITY_EXCEEDS_MAXIMUM:
        case MQRC_SELECTOR_NOT_FOR_TYPE:
        case MQRC_INT_ATTR_COUNT_TOO_SMALL:
        case MQRC_CHAR_ATTRS_TOO_SHORT:
        case MQRC_ALREADY_CONNECTED:
        case MQRC_NO_SUBS_MATCHED:
        case MQRC_TRUNCATED:
            return MQCC_WARNING;
        default:
            return MQCC_FAILED;
    }
}

std::string QueueManager::mqscLocked(const std::string &script, const EventOrigin &origin, bool &ok) {
    Mqsc m(*this);
    m.origin = origin;
    for (const std::string &cmd : splitCommands(script)) {
        std::string u = upper(trimBlanks(cmd));
        if (u == "END") break;
        m.run(cmd);
        m.out += "\n";
    }
    m.summary();
    ok = m.syntaxErrors == 0 && m.failed == 0;
    return m.out;
}

std::string QueueManager::runMqsc(const std::string &script, const EventOrigin &origin, bool &ok) {
    std::lock_guard<std::mutex> lock(mu_);
    return mqscLocked(script, origin, ok);
}

std::string QueueManager::admin(const std::string &command, bool &ok) {
    std::lock_guard<std::mutex> lock(mu_);
    ok = true;
    size_t sp = command.find(' ');
    std::string word = command.substr(0, sp);
    std::string rest = sp == std::string::npos ? std::string() : command.substr(sp + 1);
    if (word == "mqsc") {
        EventOrigin console;
        console.userId = qmos::userName().substr(0, 12);
        return mqscLocked(rest, console, ok);
    }
    if (word == "fault") {
        // fault VERB REASON COUNT CC OBJECT [APPL]  (CC -1: the verb's usual one; OBJECT, APPL "-": any)
        //   fault clear | fault list
        std::vector<std::string> f;
        size_t p = 0;
        while (p < rest.size()) {
            size_t q = rest.find(' ', p);
            if (q == std::string::npos) q = rest.size();
            if (q > p) f.push_back(rest.substr(p, q - p));
            p = q + 1;
        }
        if (f.size() == 1 && f[0] == "clear") {
            faults_.clear();
            return "faults cleared\n";
        }
        if (f.size() == 1 && f[0] == "list") {
            std::string s;
            for (const FaultRule &r : faults_)
                s += r.verb + " reason " + std::to_string(r.reason) + " cc " + std::to_string(r.cc) +
                     " count " + std::to_string(r.remaining) +
                     (r.object.empty() ? "" : " object " + r.object) +
                     (r.appl.empty() ? "" : " conn " + r.appl) + "\n";
            return s;
        }
        if (f.size() != 5 && f.size() != 6) {
            ok = false;
            return "bad fault request\n";
        }
        FaultRule r;
        r.verb = upper(f[0]);
        if (r.verb == "MQCONNX") r.verb = "MQCONN";
        r.reason = std::atoi(f[1].c_str());
        r.remaining = std::atoi(f[2].c_str());
        MQLONG cc = std::atoi(f[3].c_str());
        r.cc = cc < 0 ? defaultCc(r.verb, r.reason) : cc;
        r.object = f[4] == "-" ? std::string() : f[4];
        if (f.size() == 6 && f[5] != "-") r.appl = f[5];
        faults_.push_back(r);
        return "fault set\n";
    }
    if (word == "queue") {
        // queue NAME: a local queue's depth and its messages put or got in a unit of work still open
        // (the depth leaves out the gets: "nothing left" is both at 0)
        Queue *q = findQueue(rest);
        if (q == nullptr || q->def.kind != K_QLOCAL) {
            ok = false;
            return "no local queue " + rest + "\n";
        }
        size_t open = 0;
        for (const auto &entry : q->msgs)
            open += entry.second->putter != nullptr || entry.second->getter != nullptr;
        return "depth " + std::to_string(q->depth) + " uncommitted " + std::to_string(open) + "\n";
    }
    if (word == "connections") {
        // connections PID [end]: how many connections the process PID has (as its MQCONN gave its
        // pid); with "end", each is cut as a dead channel's would be (its unit backed out), for a
        // process known to be gone whose socket something else keeps open.
        char *after = nullptr;
        const long pid = std::strtol(rest.c_str(), &after, 10);
        std::string how = trimBlanks(after == nullptr ? std::string() : std::string(after));
        how.erase(0,
                  how.find_first_not_of(' ') == std::string::npos ? how.size() : how.find_first_not_of(' '));
        if (after == rest.c_str() || (!how.empty() && how != "end")) {
            ok = false;
            return "bad connections request\n";
        }
        size_t n = 0;
        for (const auto &entry : conns_) {
            const Conn &c = *entry.second;
            if (c.internal || c.pid != pid) continue;
            n++;
            if (!how.empty() && c.fd >= 0) qmos::shutdownFd(c.fd);
        }
        return "connections " + std::to_string(n) + "\n";
    }
    if (word == "status") {
        const char *st = state_ == State::Running     ? "running"
                         : state_ == State::Quiescing ? "quiescing"
                                                      : "stopping";
        return std::string("state ") + st + " connections " + std::to_string(conns_.size()) + "\n";
    }
    ok = false;
    return "unknown administration command\n";
}

}  // namespace qm
