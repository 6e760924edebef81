// Object authority as IBM MQ's object authority manager keeps it: records of MQAUTH_* values per
// entity (a principal or a group), object type and profile, where a profile is an object name or a
// generic one with `?`, `*` and `**`. Needs nothing else of miniqm, so that the matcher and the
// authority-list parser can be fuzzed on their own.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "mqi/cmqc.h"

namespace qmauth {

// A set of MQAUTH_* values (1 to 22), one bit each.
using AuthSet = uint32_t;
constexpr AuthSet bit(MQLONG auth) {
    return auth > 0 && auth < 32 ? AuthSet{1} << auth : 0;
}

// The object types records are kept for (MQOT_Q_MGR, MQOT_Q, MQOT_TOPIC, MQOT_NAMELIST), their MQSC
// names, and the authorities that mean something on each.
const char *objectTypeName(MQLONG objectType);   // "QMGR", ...; null for another type
MQLONG objectTypeByName(std::string_view name);  // MQOT_*; 0 for an unknown name
AuthSet validFor(MQLONG objectType);

// One item of an AUTHADD or AUTHRMV list ("PUT", "ALLMQI", "NONE"...) as the set it stands for on
// an object type. False for a name that is no authority.
bool authByName(std::string_view name, MQLONG objectType, AuthSet &out);
// A whole list as typed between the brackets, items separated by commas and blanks, in any case.
// False when an item is unknown, or the list is empty.
bool parseAuthList(std::string_view list, MQLONG objectType, AuthSet &out);
// One MQAUTH_* value of a PCF list (MQAUTH_ALL, MQAUTH_ALL_ADMIN, MQAUTH_ALL_MQI and MQAUTH_NONE
// included) as the set it stands for on an object type. False for a value that is no authority.
bool authByValue(MQLONG value, MQLONG objectType, AuthSet &out);
// The MQSC names of a set in IBM MQ's order ("BROWSE,GET,PUT"), and the MQAUTH_* values.
std::string authNames(AuthSet set);
std::vector<MQLONG> authValues(AuthSet set);

// Profiles. A valid one is 1 to 48 characters with `**` at most once and only as a whole
// qualifier. matches: whether name falls under the profile (`?` one character other than '.',
// `*` any characters within a qualifier, `**` any number of whole qualifiers). moreSpecific:
// whether a is to be preferred over b when both match a name, as IBM MQ orders them: compared
// from the left, at the first difference a plain character beats `?`, `?` beats `*`, `*` beats `**`.
bool validProfile(std::string_view profile);
bool isGeneric(std::string_view profile);
bool matches(std::string_view profile, std::string_view name);
bool moreSpecific(std::string_view a, std::string_view b);

struct Entity {
    std::string name;
    bool group = false;
    bool operator<(const Entity &o) const { return std::tie(group, name) < std::tie(o.group, o.name); }
    bool operator==(const Entity &o) const { return group == o.group && name == o.name; }
};

struct Record {
    MQLONG objectType = MQOT_Q;
    std::string profile;
    Entity entity;
    AuthSet auths = 0;
};

// The records of a queue manager. Who asks is a principal with its groups.
class Store {
public:
    // Adds and removes authorities; a record left with none is kept (IBM MQ keeps it, showing
    // AUTHLIST(NONE)) until it is deleted.
    void set(MQLONG objectType, const std::string &profile, const Entity &e, AuthSet add, AuthSet remove);
    bool remove(MQLONG objectType, const std::string &profile, const Entity &e);
    const Record *find(MQLONG objectType, const std::string &profile, const Entity &e) const;
    // The records DISPLAY AUTHREC shows: of objectType (0: any), whose profile is the one named or,
    // with matching, any profile that applies to the name; of one entity when e is given.
    std::vector<Record> select(MQLONG objectType, const std::string &profile, bool matching,
                               const Entity *e) const;
    // What an entity may do on an object: the authorities of the most specific profile with a
    // record for that entity.
    AuthSet of(MQLONG objectType, const std::string &name, const Entity &e) const;
    // A principal's: the union over the principal and each of its groups.
    AuthSet effective(MQLONG objectType, const std::string &name, const std::string &principal,
                      const std::vector<std::string> &groups) const;
    const std::vector<Record> &all() const { return records_; }
    void clear() { records_.clear(); }

    // Journal images: one record's bytes, and back (false on damaged bytes).
    static std::string encode(const Record &r);
    static bool decode(std::string_view bytes, Record &r);

private:
    std::vector<Record> records_;  // in the order they were first set
};

}  // namespace qmauth
