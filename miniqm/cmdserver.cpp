// The command server: one thread per queue manager with a connection of its own, which gets each
// request under syncpoint, answers it outside syncpoint and then commits the get, so that a
// persistent request the server ends in the middle of is answered (again) after the next start.
// miniqm reads PCF here with its own small code and writes it with its PCF writer (pcfw.h), both
// independent of the system's PCF parser, so that tests reading the replies with it check both.
#include "miniqm/cmdserver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "miniqm/convert.h"
#include "miniqm/os.h"
#include "miniqm/pcfw.h"
#include "miniqm/wire.h"

namespace qmcmd {

namespace {

constexpr const char *kCommandQueue = "SYSTEM.ADMIN.COMMAND.QUEUE";
constexpr MQLONG kPollMs = 100;  // how long a stop may wait for the get under way
constexpr MQLONG kMaxRequest = 104857600;

// ---- requests ----

// One parameter of a request: an integer (MQCFIN), a string (MQCFST) or a list of either
// (MQCFIL, MQCFSL).
struct Parm {
    MQLONG type = 0, id = 0, value = 0;
    std::string text;  // trailing blanks and NULs removed
    std::vector<MQLONG> values;
    std::vector<std::string> texts;  // each as text is
};

struct Request {
    MQLONG command = MQCMD_NONE;
    MQLONG reason = MQRC_NONE;  // why it cannot be carried out as sent (an MQRCCF_* value)
    std::vector<Parm> parms;
};

// One parameter structure at offset at; false (with req.reason) when it is not a sound one.
bool parseParm(const std::string &data, size_t &at, Request &req) {
    qmwire::Reader r(data.data() + at, data.size() - at);
    Parm p;
    p.type = r.i32();
    MQLONG length = r.i32();
    p.id = r.i32();
    if (r.failed() || length < 12 || static_cast<size_t>(length) > data.size() - at) {
        req.reason = MQRCCF_MSG_LENGTH_ERROR;
    } else if (p.type == MQCFT_INTEGER) {
        p.value = r.i32();
        if (length != MQCFIN_STRUC_LENGTH) req.reason = MQRCCF_CFIN_LENGTH_ERROR;
    } else if (p.type == MQCFT_STRING) {
        r.i32();  // CodedCharSetId: the request was converted to the queue manager's
        MQLONG textLength = r.i32();
        if (length < MQCFST_STRUC_LENGTH_FIXED || length % 4 != 0)
            req.reason = MQRCCF_CFST_LENGTH_ERROR;
        else if (textLength < 0 || textLength > length - MQCFST_STRUC_LENGTH_FIXED)
            req.reason = MQRCCF_CFST_STRING_LENGTH_ERR;
        else
            p.text = qm::trimBlanks(std::string_view(data).substr(at + MQCFST_STRUC_LENGTH_FIXED,
                                                                  static_cast<size_t>(textLength)));
    } else if (p.type == MQCFT_INTEGER_LIST) {
        MQLONG count = r.i32();
        if (count < 0 || count > (length - MQCFIL_STRUC_LENGTH_FIXED) / 4)
            req.reason = MQRCCF_CFIL_COUNT_ERROR;
        else if (length != MQCFIL_STRUC_LENGTH_FIXED + 4 * count)
            req.reason = MQRCCF_CFIL_LENGTH_ERROR;
        for (MQLONG i = 0; i < count && req.reason == MQRC_NONE; ++i) p.values.push_back(r.i32());
    } else if (p.type == MQCFT_STRING_LIST) {
        r.i32();  // CodedCharSetId, as for MQCFST
        MQLONG count = r.i32(), stringLength = r.i32();
        const int64_t room = length - static_cast<int64_t>(MQCFSL_STRUC_LENGTH_FIXED);
        if (length < MQCFSL_STRUC_LENGTH_FIXED || length % 4 != 0)
            req.reason = MQRCCF_CFSL_LENGTH_ERROR;
        else if (count < 0)
            req.reason = MQRCCF_CFSL_COUNT_ERROR;
        else if (stringLength < 0)
            req.reason = MQRCCF_CFSL_STRING_LENGTH_ERR;
        else if (static_cast<int64_t>(count) * stringLength > room)
            req.reason = MQRCCF_CFSL_TOTAL_LENGTH_ERROR;
        for (MQLONG i = 0; i < count && req.reason == MQRC_NONE; ++i) {
            size_t from =
                at + MQCFSL_STRUC_LENGTH_FIXED + static_cast<size_t>(i) * static_cast<size_t>(stringLength);
            p.texts.push_back(
                qm::trimBlanks(std::string_view(data).substr(from, static_cast<size_t>(stringLength))));
        }
    } else {
        req.reason = MQRCCF_STRUCTURE_TYPE_ERROR;
    }
    if (req.reason == MQRC_NONE && r.failed()) req.reason = MQRCCF_MSG_LENGTH_ERROR;
    if (req.reason != MQRC_NONE) return false;
    req.parms.push_back(p);
    at += static_cast<size_t>(length);
    return true;
}

// Reads a request's MQCFH and its parameters, checking what IBM MQ checks of every command.
Request parse(const MQMD &md, const std::string &data) {
    Request req;
    if (std::memcmp(md.Format, MQFMT_ADMIN, 8) != 0 || !qmconv::reversedEncoding(md.Encoding)) {
        req.reason = MQRCCF_MD_FORMAT_ERROR;
        return req;
    }
    qmwire::Reader r(data);
    MQLONG type = r.i32(), length = r.i32(), version = r.i32();
    req.command = r.i32();
    MQLONG seq = r.i32(), control = r.i32();
    r.i32();  // CompCode
    r.i32();  // Reason
    MQLONG count = r.i32();
    if (r.failed())
        req.reason = MQRCCF_MSG_LENGTH_ERROR;
    else if (type != MQCFT_COMMAND)
        req.reason = MQRCCF_CFH_TYPE_ERROR;
    else if (length != MQCFH_STRUC_LENGTH)
        req.reason = MQRCCF_CFH_LENGTH_ERROR;
    else if (version < MQCFH_VERSION_1 || version > MQCFH_VERSION_3)
        req.reason = MQRCCF_CFH_VERSION_ERROR;
    else if (seq != 1)
        req.reason = MQRCCF_CFH_MSG_SEQ_NUMBER_ERR;
    else if (control != MQCFC_LAST)
        req.reason = MQRCCF_CFH_CONTROL_ERROR;
    else if (count < 0)
        req.reason = MQRCCF_CFH_PARM_COUNT_ERROR;
    size_t at = static_cast<size_t>(MQCFH_STRUC_LENGTH);
    for (MQLONG i = 0; i < count && req.reason == MQRC_NONE; ++i)
        if (!parseParm(data, at, req)) break;
    if (req.reason == MQRC_NONE && at != data.size()) req.reason = MQRCCF_MSG_LENGTH_ERROR;
    return req;
}

// The parameters a command takes: each once, the required ones present. MQRC_NONE or why not.
MQLONG checkParms(const Request &req, const std::vector<MQLONG> &ints, const std::vector<MQLONG> &strings) {
    std::vector<MQLONG> seen;
    for (const Parm &p : req.parms) {
        bool integer = p.type == MQCFT_INTEGER;
        const std::vector<MQLONG> &known = integer ? ints : strings;
        if (std::find(known.begin(), known.end(), p.id) == known.end())
            return integer ? MQRCCF_CFIN_PARM_ID_ERROR : MQRCCF_CFST_PARM_ID_ERROR;
        if (std::find(seen.begin(), seen.end(), p.id) != seen.end())
            return integer ? MQRCCF_CFIN_DUPLICATE_PARM : MQRCCF_CFST_DUPLICATE_PARM;
        seen.push_back(p.id);
    }
    return seen.size() < ints.size() + strings.size() ? MQRCCF_PARM_COUNT_TOO_SMALL : MQRC_NONE;
}

// The parameters of a command with optional ones too: each of a type it takes, once. MQRC_NONE or
// why not; the command itself says which missing ones it cannot do without.
struct Accepted {
    MQLONG type, id;
};
MQLONG checkKnown(const Request &req, std::initializer_list<Accepted> accepted) {
    std::vector<MQLONG> seen;
    for (const Parm &p : req.parms) {
        bool known = std::any_of(accepted.begin(), accepted.end(),
                                 [&](const Accepted &a) { return a.type == p.type && a.id == p.id; });
        bool twice = std::find(seen.begin(), seen.end(), p.id) != seen.end();
        seen.push_back(p.id);
        switch (p.type) {
            case MQCFT_INTEGER:
                if (!known) return MQRCCF_CFIN_PARM_ID_ERROR;
                if (twice) return MQRCCF_CFIN_DUPLICATE_PARM;
                break;
            case MQCFT_STRING:
                if (!known) return MQRCCF_CFST_PARM_ID_ERROR;
                if (twice) return MQRCCF_CFST_DUPLICATE_PARM;
                break;
            case MQCFT_INTEGER_LIST:
                if (!known) return MQRCCF_CFIL_PARM_ID_ERROR;
                if (twice) return MQRCCF_CFIL_DUPLICATE_VALUE;
                break;
            default:
                if (!known) return MQRCCF_CFSL_PARM_ID_ERROR;
                if (twice) return MQRCCF_CFSL_DUPLICATE_PARM;
                break;
        }
    }
    return MQRC_NONE;
}

// A request's parameters as given, for its command event.
qmpcf::Writer echo(const Request &req) {
    qmpcf::Writer w;
    for (const Parm &p : req.parms) {
        if (p.type == MQCFT_INTEGER)
            w.integer(p.id, p.value);
        else if (p.type == MQCFT_STRING)
            w.string(p.id, p.text);
        else if (p.type == MQCFT_INTEGER_LIST)
            w.integers(p.id, p.values.data(), p.values.size());
        else
            w.strings(p.id, p.texts);
    }
    return w;
}

const Parm *findParm(const Request &req, MQLONG id) {
    for (const Parm &p : req.parms)
        if (p.id == id) return &p;
    return nullptr;
}

// ---- responses ----

// One response message of a command: message seq (from 1) of them, the last with MQCFC_LAST.
std::string response(const qmpcf::Writer &parms, MQLONG command, size_t seq, bool last, MQLONG cc,
                     MQLONG reason) {
    return parms.message(MQCFT_RESPONSE, MQCFH_VERSION_1, command, static_cast<MQLONG>(seq),
                         last ? MQCFC_LAST : MQCFC_NOT_LAST, cc, reason);
}

std::vector<std::string> failure(MQLONG command, MQLONG reason) {
    return {response(qmpcf::Writer(), command, 1, true, MQCC_FAILED, reason)};
}

// MQCMD_ESCAPE: the MQSC command's answer, one message per response (a DISPLAY: per object).
std::vector<std::string> escape(qm::QueueManager &qm, const MQMD &md, const Request &req, MQLONG ccsid) {
    if (MQLONG why = checkParms(req, {MQIACF_ESCAPE_TYPE}, {MQCACF_ESCAPE_TEXT}))
        return failure(req.command, why);
    const Parm *type = findParm(req, MQIACF_ESCAPE_TYPE), *text = findParm(req, MQCACF_ESCAPE_TEXT);
    if (!type || !text) return failure(req.command, MQRCCF_PARM_COUNT_TOO_SMALL);
    if (type->value != MQET_MQSC) return failure(req.command, MQRCCF_ESCAPE_TYPE_ERROR);
    qm::QueueManager::MqscAnswer answer = qm.escape(text->text, md);
    std::vector<std::string> out;
    for (size_t i = 0; i < answer.messages.size(); ++i) {
        qmpcf::Writer r;
        r.integer(MQIACF_ESCAPE_TYPE, MQET_MQSC);
        r.string(MQCACF_ESCAPE_TEXT, answer.messages[i], 0, ccsid);
        out.push_back(response(r, answer.command, i + 1, i + 1 == answer.messages.size(),
                               answer.failed ? MQCC_FAILED : MQCC_OK,
                               answer.notAuthorized ? MQRC_NOT_AUTHORIZED
                               : answer.failed      ? MQRCCF_COMMAND_FAILED
                                                    : MQRC_NONE));
    }
    return out;
}

// MQCMD_RESET_Q_STATS: one message per queue with its counts, which start again. Done, it is
// reported as a PCF command event with the parameters as the request gave them.
std::vector<std::string> resetQStats(qm::QueueManager &qm, const MQMD &md, const Request &req, MQLONG ccsid) {
    if (MQLONG why = checkParms(req, {}, {MQCA_Q_NAME})) return failure(req.command, why);
    const Parm *name = findParm(req, MQCA_Q_NAME);
    if (!name) return failure(req.command, MQRCCF_PARM_COUNT_TOO_SMALL);
    std::vector<qm::QueueStatsReset> counts;
    qm::Result r = qm.resetQueueCounts(name->text, counts);
    if (r.failed()) return failure(req.command, r.reason);
    qmpcf::Writer command;
    for (const Parm &p : req.parms)
        if (p.type == MQCFT_INTEGER)
            command.integer(p.id, p.value);
        else
            command.string(p.id, p.text);
    qm.commandEvent(qm::EventOrigin::fromMessage(md), req.command, command, false);
    std::vector<std::string> out;
    for (size_t i = 0; i < counts.size(); ++i) {
        qmpcf::Writer m;
        m.string(MQCA_Q_NAME, counts[i].queue, MQ_Q_NAME_LENGTH, ccsid);
        m.integer(MQIA_TIME_SINCE_RESET, counts[i].timeSinceReset);
        m.integer(MQIA_HIGH_Q_DEPTH, counts[i].highQDepth);
        m.integer(MQIA_MSG_ENQ_COUNT, counts[i].msgEnqCount);
        m.integer(MQIA_MSG_DEQ_COUNT, counts[i].msgDeqCount);
        out.push_back(response(m, req.command, i + 1, i + 1 == counts.size(), MQCC_OK, MQRC_NONE));
    }
    return out;
}

// The profile and object type both authority record commands name: MQRC_NONE or why not.
MQLONG profileAndType(qm::QueueManager &qm, const Request &req, std::string &profile, MQLONG &type,
                      bool inquiry) {
    const Parm *typeParm = findParm(req, MQIACF_OBJECT_TYPE), *name = findParm(req, MQCACF_AUTH_PROFILE_NAME);
    if (!typeParm) return MQRCCF_OBJECT_TYPE_MISSING;
    if (!name) return MQRCCF_PARM_COUNT_TOO_SMALL;
    type = typeParm->value;
    if (!qmauth::objectTypeName(type) && !(inquiry && type == MQOT_ALL)) return MQRC_OBJECT_TYPE_ERROR;
    profile = name->text;
    // The queue manager's own profile may be left blank, as MQSC may leave it out.
    if (profile.empty() && type == MQOT_Q_MGR && !inquiry) profile = qm.name();
    if (inquiry && profile.empty()) return MQRC_NONE;  // every profile
    return qmauth::validProfile(profile) ? MQRC_NONE : MQRCCF_PROFILE_NAME_ERROR;
}

// MQCMD_SET_AUTH_REC: authorities added to and removed from the record of each principal and
// group named, made when missing. One response; done, it raises its command event.
std::vector<std::string> setAuthRec(qm::QueueManager &qm, const MQMD &md, const Request &req) {
    if (MQLONG why = checkKnown(req, {{MQCFT_STRING, MQCACF_AUTH_PROFILE_NAME},
                                      {MQCFT_INTEGER, MQIACF_OBJECT_TYPE},
                                      {MQCFT_INTEGER_LIST, MQIACF_AUTH_ADD_AUTHS},
                                      {MQCFT_INTEGER_LIST, MQIACF_AUTH_REMOVE_AUTHS},
                                      {MQCFT_STRING_LIST, MQCACF_GROUP_ENTITY_NAMES},
                                      {MQCFT_STRING_LIST, MQCACF_PRINCIPAL_ENTITY_NAMES},
                                      {MQCFT_STRING, MQCACF_SERVICE_COMPONENT}}))
        return failure(req.command, why);
    std::string profile;
    MQLONG type = 0;
    if (MQLONG why = profileAndType(qm, req, profile, type, false)) return failure(req.command, why);
    std::vector<qmauth::Entity> entities;
    for (const auto &[id, group] :
         {std::pair{MQCACF_PRINCIPAL_ENTITY_NAMES, false}, std::pair{MQCACF_GROUP_ENTITY_NAMES, true}})
        if (const Parm *p = findParm(req, id))
            for (const std::string &name : p->texts) {
                if (name.empty() || name.size() > MQ_ENTITY_NAME_LENGTH)
                    return failure(req.command, MQRCCF_ENTITY_NAME_MISSING);
                entities.push_back({name, group});
            }
    if (entities.empty()) return failure(req.command, MQRCCF_ENTITY_NAME_MISSING);
    qmauth::AuthSet sets[2] = {0, 0};
    const MQLONG lists[2] = {MQIACF_AUTH_ADD_AUTHS, MQIACF_AUTH_REMOVE_AUTHS};
    bool any = false;
    for (int i = 0; i < 2; ++i) {
        const Parm *p = findParm(req, lists[i]);
        if (!p) continue;
        any = any || !p->values.empty();
        for (MQLONG v : p->values) {
            qmauth::AuthSet one = 0;
            if (!qmauth::authByValue(v, type, one) || (one & ~qmauth::validFor(type)))
                return failure(req.command, MQRCCF_AUTH_VALUE_ERROR);
            sets[i] |= one;
        }
    }
    if (!any) return failure(req.command, MQRCCF_AUTH_VALUE_MISSING);
    qm::Result r = qm.setAuthRecords(md, type, profile, entities, sets[0], sets[1]);
    if (r.failed()) return failure(req.command, r.reason);
    qm.commandEvent(qm::EventOrigin::fromMessage(md), req.command, echo(req), false);
    return {response(qmpcf::Writer(), req.command, 1, true, MQCC_OK, MQRC_NONE)};
}

// MQCMD_INQUIRE_AUTH_RECS: one message per record the options select, with the attributes
// ProfileAttrs asks for (all by default) after Options, ProfileName and ObjectType.
std::vector<std::string> inquireAuthRecs(qm::QueueManager &qm, const MQMD &md, const Request &req,
                                         MQLONG ccsid) {
    if (MQLONG why = checkKnown(req, {{MQCFT_INTEGER, MQIACF_AUTH_OPTIONS},
                                      {MQCFT_STRING, MQCACF_AUTH_PROFILE_NAME},
                                      {MQCFT_INTEGER, MQIACF_OBJECT_TYPE},
                                      {MQCFT_STRING, MQCACF_ENTITY_NAME},
                                      {MQCFT_INTEGER, MQIACF_ENTITY_TYPE},
                                      {MQCFT_INTEGER_LIST, MQIACF_AUTH_PROFILE_ATTRS},
                                      {MQCFT_STRING, MQCACF_SERVICE_COMPONENT}}))
        return failure(req.command, why);
    const Parm *optionsParm = findParm(req, MQIACF_AUTH_OPTIONS);
    if (!optionsParm) return failure(req.command, MQRCCF_PARM_COUNT_TOO_SMALL);
    const MQLONG options = optionsParm->value;
    const MQLONG known = MQAUTHOPT_NAME_ALL_MATCHING | MQAUTHOPT_NAME_EXPLICIT | MQAUTHOPT_ENTITY_EXPLICIT |
                         MQAUTHOPT_ENTITY_SET | MQAUTHOPT_NAME_AS_WILDCARD;
    const bool byName = options & (MQAUTHOPT_NAME_ALL_MATCHING | MQAUTHOPT_NAME_EXPLICIT),
               byEntity = options & (MQAUTHOPT_ENTITY_EXPLICIT | MQAUTHOPT_ENTITY_SET);
    if ((options & ~known) || !byName || !byEntity ||
        (options & MQAUTHOPT_NAME_ALL_MATCHING && options & MQAUTHOPT_NAME_EXPLICIT) ||
        (options & MQAUTHOPT_ENTITY_EXPLICIT && options & MQAUTHOPT_ENTITY_SET) ||
        (options & MQAUTHOPT_NAME_EXPLICIT && options & MQAUTHOPT_ENTITY_SET))
        return failure(req.command, MQRCCF_PARM_VALUE_ERROR);
    std::string profile;
    MQLONG type = 0;
    if (MQLONG why = profileAndType(qm, req, profile, type, true)) return failure(req.command, why);
    const Parm *entityName = findParm(req, MQCACF_ENTITY_NAME),
               *entityType = findParm(req, MQIACF_ENTITY_TYPE);
    qmauth::Entity entity;
    if (entityName && !entityName->text.empty()) {
        if (!entityType) return failure(req.command, MQRCCF_ENTITY_TYPE_MISSING);
        if (entityType->value != MQZAET_PRINCIPAL && entityType->value != MQZAET_GROUP)
            return failure(req.command, MQRCCF_PARM_VALUE_ERROR);
        entity = {entityName->text, entityType->value == MQZAET_GROUP};
    }
    bool wantName = true, wantType = true, wantList = true;
    if (const Parm *attrs = findParm(req, MQIACF_AUTH_PROFILE_ATTRS)) {
        auto asked = [&](MQLONG id) {
            return std::find(attrs->values.begin(), attrs->values.end(), id) != attrs->values.end() ||
                   std::find(attrs->values.begin(), attrs->values.end(), MQIACF_ALL) != attrs->values.end();
        };
        for (MQLONG v : attrs->values)
            if (v != MQIACF_ALL && v != MQCACF_ENTITY_NAME && v != MQIACF_ENTITY_TYPE &&
                v != MQIACF_AUTHORIZATION_LIST)
                return failure(req.command, MQRCCF_ATTR_VALUE_ERROR);
        wantName = asked(MQCACF_ENTITY_NAME);
        wantType = asked(MQIACF_ENTITY_TYPE);
        wantList = asked(MQIACF_AUTHORIZATION_LIST);
    }
    std::vector<qmauth::Record> found;
    qm::Result r =
        qm.inquireAuthRecords(md, type, profile, options, entity.name.empty() ? nullptr : &entity, found);
    if (r.failed()) return failure(req.command, r.reason);
    qm.commandEvent(qm::EventOrigin::fromMessage(md), req.command, echo(req), false);
    if (found.empty()) return failure(req.command, MQRC_UNKNOWN_OBJECT_NAME);
    std::vector<std::string> out;
    for (size_t i = 0; i < found.size(); ++i) {
        const qmauth::Record &rec = found[i];
        qmpcf::Writer m;
        m.integer(MQIACF_AUTH_OPTIONS, options);
        m.string(MQCACF_AUTH_PROFILE_NAME, rec.profile, MQ_AUTH_PROFILE_NAME_LENGTH, ccsid);
        m.integer(MQIACF_OBJECT_TYPE, rec.objectType);
        if (wantName) m.string(MQCACF_ENTITY_NAME, rec.entity.name, 0, ccsid);
        if (wantType) m.integer(MQIACF_ENTITY_TYPE, rec.entity.group ? MQZAET_GROUP : MQZAET_PRINCIPAL);
        if (wantList) {
            std::vector<MQLONG> values = qmauth::authValues(rec.auths);
            if (values.empty()) values.push_back(MQAUTH_NONE);
            m.integers(MQIACF_AUTHORIZATION_LIST, values.data(), values.size());
        }
        out.push_back(response(m, req.command, i + 1, i + 1 == found.size(), MQCC_OK, MQRC_NONE));
    }
    return out;
}

bool genericMatch(const std::string &pattern, const std::string &name) {
    if (!pattern.empty() && pattern.back() == '*')
        return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == name;
}

void say(const std::string &qmName, const std::string &text) {
    std::fprintf(stderr, "miniqmd(%s): command server: %s\n", qmName.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace

std::vector<std::string> respond(qm::QueueManager &qm, const MQMD &md, const std::string &data,
                                 MQLONG ccsid) {
    Request req = parse(md, data);
    if (req.reason != MQRC_NONE) return failure(req.command, req.reason);
    switch (req.command) {
        case MQCMD_ESCAPE:
            return escape(qm, md, req, ccsid);
        case MQCMD_RESET_Q_STATS:
            return resetQStats(qm, md, req, ccsid);
        case MQCMD_SET_AUTH_REC:
            return setAuthRec(qm, md, req);
        case MQCMD_INQUIRE_AUTH_RECS:
            return inquireAuthRecs(qm, md, req, ccsid);
        default:
            return failure(req.command, MQRCCF_CFH_COMMAND_ERROR);
    }
}

// ---- the thread ----

CommandServer::CommandServer(qm::QueueManager &qm) : qm_(qm) {}

CommandServer::~CommandServer() {
    end();
}

bool CommandServer::start(std::string &text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (ending_) {
        text = "The queue manager is ending.\n";
        return false;
    }
    if (wanted_) {
        text = "The command server is already running.\n";
        return false;
    }
    wanted_ = true;
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    cv_.notify_all();
    text = "The command server has started.\n";
    return true;
}

bool CommandServer::stop(std::string &text) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!wanted_) {
        text = "The command server is not running.\n";
        return false;
    }
    wanted_ = false;
    cv_.notify_all();
    cv_.wait(lock, [this] { return !serving_; });
    text = "The command server has stopped.\n";
    return true;
}

void CommandServer::end() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        ending_ = true;
        wanted_ = false;
        cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

bool CommandServer::keepServing() {
    std::lock_guard<std::mutex> lock(mu_);
    return wanted_ && !ending_;
}

void CommandServer::run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        cv_.wait(lock, [this] { return ending_ || wanted_; });
        if (ending_) return;
        serving_ = true;
        lock.unlock();
        serve();
        lock.lock();
        serving_ = false;
        cv_.notify_all();
        // Refused (quiescing, stopping) or thrown off: try again later, not at once.
        if (wanted_ && !ending_) cv_.wait_for(lock, std::chrono::milliseconds(kPollMs));
    }
}

namespace {

// The reply to a request: IBM MQ's response descriptor, identity passed on from the request.
void replyDescriptor(const MQMD &request, const std::string &qmName, MQMD &md, qm::PutOptions &pmo) {
    md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_2;
    md.MsgType = MQMT_REPLY;
    std::memcpy(md.Format, MQFMT_ADMIN, 8);
    md.Encoding = MQENC_NATIVE;
    md.CodedCharSetId = MQCCSI_Q_MGR;
    md.Priority = request.Priority;
    md.Persistence = request.Persistence;
    bool passCorrel = request.Report & MQRO_PASS_CORREL_ID;
    std::memcpy(md.CorrelId, passCorrel ? request.CorrelId : request.MsgId, sizeof md.CorrelId);
    bool passMsgId = request.Report & MQRO_PASS_MSG_ID;
    if (passMsgId) std::memcpy(md.MsgId, request.MsgId, sizeof md.MsgId);
    std::memcpy(md.UserIdentifier, request.UserIdentifier, sizeof md.UserIdentifier);
    std::memcpy(md.AccountingToken, request.AccountingToken, sizeof md.AccountingToken);
    std::memcpy(md.ApplIdentityData, request.ApplIdentityData, sizeof md.ApplIdentityData);
    md.PutApplType = MQAT_QMGR;
    qm::setField(md.PutApplName, sizeof md.PutApplName, qmName.substr(0, sizeof md.PutApplName));
    qmos::mqDateTime(qmos::wallMs(), md.PutDate, md.PutTime);
    pmo.version = MQPMO_VERSION_2;
    pmo.options = MQPMO_NO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | (passMsgId ? 0 : MQPMO_NEW_MSG_ID);
}

}  // namespace

void CommandServer::serve() {
    qm::Conn *conn = nullptr;
    if (qm_.connect(kApplName, qmos::userName(), conn).failed()) return;
    const std::string qmName = qm_.name();
    MQLONG ccsid = 0;
    {
        qm::OpenRequest od;
        od.objectType = MQOT_Q_MGR;
        MQLONG hobj = 0;
        qm::OpenReply out;
        std::vector<MQLONG> ints;
        std::string chars;
        if (!qm_.open(conn, od, MQOO_INQUIRE, hobj, out).failed()) {
            if (!qm_.inq(conn, hobj, {MQIA_CODED_CHAR_SET_ID}, 1, 0, ints, chars).failed() && !ints.empty())
                ccsid = ints[0];
            qm::Result closed = qm_.close(conn, hobj, MQCO_NONE);
            (void)closed;
        }
    }
    qm::OpenRequest od;
    od.objectName = kCommandQueue;
    MQLONG hobj = 0;
    qm::OpenReply opened;
    qm::Result r = qm_.open(conn, od, MQOO_INPUT_SHARED | MQOO_FAIL_IF_QUIESCING, hobj, opened);
    // Said once while it lasts: the thread tries again every kPollMs.
    if (r.failed() && r.reason != openFailure_)
        say(qmName, "cannot open " + std::string(kCommandQueue) + ": reason " + std::to_string(r.reason));
    openFailure_ = r.failed() ? r.reason : MQRC_NONE;
    while (!r.failed() && keepServing()) {
        MQMD md = MQMD_DEFAULT;
        md.Version = MQMD_VERSION_2;
        md.Encoding = MQENC_NATIVE;
        md.CodedCharSetId = MQCCSI_Q_MGR;
        qm::GetOptions gmo;
        gmo.version = MQGMO_VERSION_4;
        gmo.options = MQGMO_SYNCPOINT | MQGMO_WAIT | MQGMO_FAIL_IF_QUIESCING | MQGMO_CONVERT;
        gmo.waitInterval = kPollMs;
        gmo.wantHandle = true;  // properties of a request are not part of the command
        std::string data;
        MQLONG dataLength = 0;
        qm::Result got = qm_.get(conn, hobj, md, gmo, kMaxRequest, data, dataLength);
        if (got.reason == MQRC_NO_MSG_AVAILABLE || got.reason == MQRC_GET_INHIBITED) continue;
        if (got.failed()) break;  // quiescing, stopping, the queue gone
        std::vector<std::string> replies = respond(qm_, md, data, ccsid);
        std::string replyQ = qm::fixedField(md.ReplyToQ, sizeof md.ReplyToQ);
        if (replyQ.empty() && !replies.empty())
            say(qmName, "a request without a reply-to queue was carried out");
        for (size_t i = 0; i < replies.size() && !replyQ.empty(); ++i) {
            qm::OpenRequest to;
            to.objectName = replyQ;
            to.objectQMgrName = qm::fixedField(md.ReplyToQMgr, sizeof md.ReplyToQMgr);
            MQMD reply;
            qm::PutOptions pmo;
            replyDescriptor(md, qmName, reply, pmo);
            qm::OpenReply out;
            qm::Result put = qm_.put1(conn, to, reply, pmo, replies[i], out);
            if (put.failed()) {
                say(qmName, "cannot reply to " + replyQ + ": reason " + std::to_string(put.reason));
                break;
            }
        }
        qm::Result committed = qm_.commit(conn);
        if (committed.failed())
            say(qmName, "cannot commit a request's get: reason " + std::to_string(committed.reason));
    }
    qm::Result ended = qm_.disconnect(conn, true);
    (void)ended;
}

}  // namespace qmcmd

namespace qm {

Result QueueManager::resetQueueCounts(const std::string &pattern, std::vector<QueueStatsReset> &out) {
    std::lock_guard<std::mutex> lock(mu_);
    out.clear();
    // IBM MQ keeps these counts for performance events and refuses the command while they are off.
    if (!switchOn(MQIA_PERFORMANCE_EVENT)) return Result::fail(MQRCCF_EVENTS_DISABLED);
    bool generic = !pattern.empty() && pattern.back() == '*';
    std::vector<Queue *> matched;
    for (auto &[name, q] : queues_) {
        if (!qmcmd::genericMatch(pattern, name)) continue;
        if (q->def.kind != K_QLOCAL) {
            if (!generic) return Result::fail(MQRCCF_Q_WRONG_TYPE);
            continue;
        }
        matched.push_back(q.get());
    }
    for (Queue *q : matched) out.push_back(resetQueueStats(q));
    return out.empty() ? Result::fail(MQRC_UNKNOWN_OBJECT_NAME) : Result::ok();
}

}  // namespace qm
