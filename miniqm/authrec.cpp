// Authority records and IBM MQ's generic profiles (see authrec.h).
#include "miniqm/authrec.h"

#include <algorithm>
#include <cctype>

#include "miniqm/wire.h"

namespace qmauth {

namespace {

struct AuthName {
    const char *name;
    MQLONG auth;
};

// In the order DISPLAY AUTHREC lists them.
constexpr AuthName kAuths[] = {
    {"ALTUSR", MQAUTH_ALT_USER_AUTHORITY},
    {"BROWSE", MQAUTH_BROWSE},
    {"CHG", MQAUTH_CHANGE},
    {"CLR", MQAUTH_CLEAR},
    {"CONNECT", MQAUTH_CONNECT},
    {"CRT", MQAUTH_CREATE},
    {"DLT", MQAUTH_DELETE},
    {"DSP", MQAUTH_DISPLAY},
    {"GET", MQAUTH_INPUT},
    {"INQ", MQAUTH_INQUIRE},
    {"PUT", MQAUTH_OUTPUT},
    {"PASSALL", MQAUTH_PASS_ALL_CONTEXT},
    {"PASSID", MQAUTH_PASS_IDENTITY_CONTEXT},
    {"SET", MQAUTH_SET},
    {"SETALL", MQAUTH_SET_ALL_CONTEXT},
    {"SETID", MQAUTH_SET_IDENTITY_CONTEXT},
    {"SUB", MQAUTH_SUBSCRIBE},
    {"PUB", MQAUTH_PUBLISH},
};

constexpr AuthSet kAdmin = bit(MQAUTH_CHANGE) | bit(MQAUTH_CLEAR) | bit(MQAUTH_DELETE) | bit(MQAUTH_DISPLAY);
constexpr AuthSet kMqi = bit(MQAUTH_ALT_USER_AUTHORITY) | bit(MQAUTH_BROWSE) | bit(MQAUTH_CONNECT) |
                         bit(MQAUTH_INPUT) | bit(MQAUTH_INQUIRE) | bit(MQAUTH_OUTPUT) |
                         bit(MQAUTH_PASS_ALL_CONTEXT) | bit(MQAUTH_PASS_IDENTITY_CONTEXT) | bit(MQAUTH_SET) |
                         bit(MQAUTH_SET_ALL_CONTEXT) | bit(MQAUTH_SET_IDENTITY_CONTEXT) |
                         bit(MQAUTH_SUBSCRIBE) | bit(MQAUTH_PUBLISH);

std::string upperCase(std::string_view s) {
    std::string u(s);
    for (char &c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

std::vector<std::string_view> qualifiers(std::string_view s) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (;;) {
        size_t dot = s.find('.', start);
        out.push_back(s.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) return out;
        start = dot + 1;
    }
}

// One qualifier against one pattern qualifier of `?` and `*` (no dots on either side).
bool globMatch(std::string_view p, std::string_view s) {
    size_t pi = 0, si = 0, star = std::string_view::npos, mark = 0;
    while (si < s.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == s[si])) {
            ++pi;
            ++si;
        } else if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = si;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

// How specific each position of a profile is: `**` 0, `*` 1, `?` 2, a plain character 3.
struct Step {
    int rank;
    char c;
};
std::vector<Step> steps(std::string_view p) {
    std::vector<Step> out;
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '*' && i + 1 < p.size() && p[i + 1] == '*') {
            out.push_back({0, '*'});
            ++i;
        } else {
            out.push_back({p[i] == '*' ? 1 : p[i] == '?' ? 2 : 3, p[i]});
        }
    }
    return out;
}

}  // namespace

const char *objectTypeName(MQLONG objectType) {
    switch (objectType) {
        case MQOT_Q_MGR:
            return "QMGR";
        case MQOT_Q:
            return "QUEUE";
        case MQOT_TOPIC:
            return "TOPIC";
        case MQOT_NAMELIST:
            return "NAMELIST";
        default:
            return nullptr;
    }
}

MQLONG objectTypeByName(std::string_view name) {
    for (MQLONG t : {MQOT_Q_MGR, MQOT_Q, MQOT_TOPIC, MQOT_NAMELIST})
        if (name == objectTypeName(t)) return t;
    return 0;
}

AuthSet validFor(MQLONG objectType) {
    const AuthSet create = bit(MQAUTH_CREATE);
    switch (objectType) {
        case MQOT_Q_MGR:
            return bit(MQAUTH_ALT_USER_AUTHORITY) | bit(MQAUTH_CONNECT) | bit(MQAUTH_INQUIRE) |
                   bit(MQAUTH_SET) | bit(MQAUTH_SET_ALL_CONTEXT) | bit(MQAUTH_SET_IDENTITY_CONTEXT) |
                   bit(MQAUTH_CHANGE) | create | bit(MQAUTH_DELETE) | bit(MQAUTH_DISPLAY);
        case MQOT_Q:
            return bit(MQAUTH_BROWSE) | bit(MQAUTH_INPUT) | bit(MQAUTH_INQUIRE) | bit(MQAUTH_OUTPUT) |
                   bit(MQAUTH_PASS_ALL_CONTEXT) | bit(MQAUTH_PASS_IDENTITY_CONTEXT) | bit(MQAUTH_SET) |
                   bit(MQAUTH_SET_ALL_CONTEXT) | bit(MQAUTH_SET_IDENTITY_CONTEXT) | kAdmin | create;
        case MQOT_TOPIC:
            return bit(MQAUTH_SUBSCRIBE) | bit(MQAUTH_PUBLISH) | bit(MQAUTH_PASS_ALL_CONTEXT) |
                   bit(MQAUTH_PASS_IDENTITY_CONTEXT) | bit(MQAUTH_SET_ALL_CONTEXT) |
                   bit(MQAUTH_SET_IDENTITY_CONTEXT) | kAdmin | create;
        case MQOT_NAMELIST:
            return bit(MQAUTH_INQUIRE) | bit(MQAUTH_CHANGE) | bit(MQAUTH_DELETE) | bit(MQAUTH_DISPLAY) |
                   create;
        default:
            return 0;
    }
}

bool authByName(std::string_view name, MQLONG objectType, AuthSet &out) {
    const std::string u = upperCase(name);
    const AuthSet valid = validFor(objectType);
    out = 0;
    if (u == "NONE") return true;
    if (u == "ALL") {
        out = valid;
        return true;
    }
    if (u == "ALLADM") {
        out = valid & kAdmin;
        return true;
    }
    if (u == "ALLMQI") {
        out = valid & kMqi;
        return true;
    }
    for (const AuthName &a : kAuths)
        if (u == a.name) {
            out = bit(a.auth);
            return true;
        }
    return false;
}

bool authByValue(MQLONG value, MQLONG objectType, AuthSet &out) {
    switch (value) {
        case MQAUTH_NONE:
            return authByName("NONE", objectType, out);
        case MQAUTH_ALL:
            return authByName("ALL", objectType, out);
        case MQAUTH_ALL_ADMIN:
            return authByName("ALLADM", objectType, out);
        case MQAUTH_ALL_MQI:
            return authByName("ALLMQI", objectType, out);
        default:
            for (const AuthName &a : kAuths)
                if (a.auth == value) {
                    out = bit(value);
                    return true;
                }
            out = 0;
            return false;
    }
}

bool parseAuthList(std::string_view list, MQLONG objectType, AuthSet &out) {
    out = 0;
    size_t i = 0, items = 0;
    while (i < list.size()) {
        while (i < list.size() && (list[i] == ' ' || list[i] == ',')) ++i;
        size_t start = i;
        while (i < list.size() && list[i] != ' ' && list[i] != ',') ++i;
        if (i == start) break;
        AuthSet one = 0;
        if (!authByName(list.substr(start, i - start), objectType, one)) return false;
        out |= one;
        ++items;
    }
    return items > 0;
}

std::string authNames(AuthSet set) {
    std::string out;
    for (const AuthName &a : kAuths)
        if (set & bit(a.auth)) {
            if (!out.empty()) out += ',';
            out += a.name;
        }
    return out.empty() ? "NONE" : out;
}

std::vector<MQLONG> authValues(AuthSet set) {
    std::vector<MQLONG> out;
    for (MQLONG a = 1; a < 32; ++a)
        if (set & bit(a)) out.push_back(a);
    return out;
}

bool validProfile(std::string_view profile) {
    if (profile.empty() || profile.size() > 48) return false;
    int doubles = 0;
    for (std::string_view q : qualifiers(profile)) {
        size_t at = q.find("**");
        if (at == std::string_view::npos) continue;
        if (q != "**") return false;
        ++doubles;
    }
    return doubles <= 1;
}

bool isGeneric(std::string_view profile) {
    return profile.find_first_of("*?") != std::string_view::npos;
}

bool matches(std::string_view profile, std::string_view name) {
    if (!validProfile(profile)) return false;
    if (!isGeneric(profile)) return profile == name;
    std::vector<std::string_view> p = qualifiers(profile), n = qualifiers(name);
    // reach[j]: the name's first j qualifiers are matched by the pattern's qualifiers so far.
    std::string reach(n.size() + 1, '\0'), next(n.size() + 1, '\0');
    reach[0] = 1;
    for (std::string_view pq : p) {
        std::fill(next.begin(), next.end(), '\0');
        for (size_t j = 0; j <= n.size(); ++j) {
            if (!reach[j]) continue;
            if (pq == "**") {
                for (size_t k = j; k <= n.size(); ++k) next[k] = 1;
            } else if (j < n.size() && globMatch(pq, n[j])) {
                next[j + 1] = 1;
            }
        }
        reach.swap(next);
    }
    return reach[n.size()] != 0;
}

bool moreSpecific(std::string_view a, std::string_view b) {
    std::vector<Step> sa = steps(a), sb = steps(b);
    for (size_t i = 0; i < sa.size() && i < sb.size(); ++i) {
        if (sa[i].rank != sb[i].rank) return sa[i].rank > sb[i].rank;
        if (sa[i].c != sb[i].c) return sa[i].c < sb[i].c;  // no order among plain characters: any fixed one
    }
    // One ends where the other goes on with generic characters: the one that ends names less.
    return sa.size() < sb.size();
}

void Store::set(MQLONG objectType, const std::string &profile, const Entity &e, AuthSet add, AuthSet remove) {
    for (Record &r : records_)
        if (r.objectType == objectType && r.profile == profile && r.entity == e) {
            r.auths = (r.auths | add) & ~remove;
            return;
        }
    records_.push_back({objectType, profile, e, add & ~remove});
}

bool Store::remove(MQLONG objectType, const std::string &profile, const Entity &e) {
    auto it = std::find_if(records_.begin(), records_.end(), [&](const Record &r) {
        return r.objectType == objectType && r.profile == profile && r.entity == e;
    });
    if (it == records_.end()) return false;
    records_.erase(it);
    return true;
}

const Record *Store::find(MQLONG objectType, const std::string &profile, const Entity &e) const {
    for (const Record &r : records_)
        if (r.objectType == objectType && r.profile == profile && r.entity == e) return &r;
    return nullptr;
}

std::vector<Record> Store::select(MQLONG objectType, const std::string &profile, bool matching,
                                  const Entity *e) const {
    std::vector<Record> out;
    for (const Record &r : records_) {
        if (objectType != 0 && r.objectType != objectType) continue;
        if (e && !(r.entity == *e)) continue;
        if (!profile.empty() && r.profile != profile && !(matching && matches(r.profile, profile))) continue;
        out.push_back(r);
    }
    std::sort(out.begin(), out.end(), [](const Record &x, const Record &y) {
        return std::tie(x.objectType, x.profile, x.entity) < std::tie(y.objectType, y.profile, y.entity);
    });
    return out;
}

AuthSet Store::of(MQLONG objectType, const std::string &name, const Entity &e) const {
    const Record *best = nullptr;
    for (const Record &r : records_) {
        if (r.objectType != objectType || !(r.entity == e) || !matches(r.profile, name)) continue;
        if (!best || moreSpecific(r.profile, best->profile)) best = &r;
    }
    return best ? best->auths : 0;
}

AuthSet Store::effective(MQLONG objectType, const std::string &name, const std::string &principal,
                         const std::vector<std::string> &groups) const {
    AuthSet set = of(objectType, name, {principal, false});
    for (const std::string &g : groups) set |= of(objectType, name, {g, true});
    return set;
}

std::string Store::encode(const Record &r) {
    qmwire::Writer w;
    w.i32(r.objectType);
    w.str(r.profile);
    w.u8(r.entity.group ? 1 : 0);
    w.str(r.entity.name);
    w.u32(r.auths);
    return w.bytes();
}

bool Store::decode(std::string_view bytes, Record &r) {
    qmwire::Reader rd(bytes);
    r.objectType = rd.i32();
    r.profile = rd.str();
    uint8_t group = rd.u8();
    r.entity.group = group == 1;
    r.entity.name = rd.str();
    r.auths = rd.u32();
    return !rd.failed() && rd.remaining() == 0 && group <= 1 && objectTypeName(r.objectType) &&
           validProfile(r.profile) && !r.entity.name.empty();
}

}  // namespace qmauth
