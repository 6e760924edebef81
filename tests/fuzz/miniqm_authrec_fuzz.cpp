// Fuzzes the stand-in queue manager's authority records: any bytes as a profile and a name (split
// at the first NUL) must be matched and ordered without a fault, consistently, and any bytes as an
// authority list or a journal image must be read or refused. The fuzz build leaves miniqm out, so
// the records' one source file is built into this target (tests/fuzz/sources.cmake).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "miniqm/authrec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    std::string_view all(reinterpret_cast<const char *>(data), size);
    size_t cut = all.find('\0');
    std::string_view profile = all.substr(0, cut);
    std::string_view name = cut == std::string_view::npos ? all : all.substr(cut + 1);
    bool m = qmauth::matches(profile, name);
    // A profile without wildcards matches exactly itself; an invalid one matches nothing.
    if (m && !qmauth::validProfile(profile)) __builtin_trap();
    if (qmauth::validProfile(profile) && !qmauth::isGeneric(profile) && m != (profile == name))
        __builtin_trap();
    if (qmauth::validProfile(profile) && !qmauth::matches("**", std::string(name).substr(0, 48)) &&
        !name.empty())
        __builtin_trap();
    // The order is strict: never both ways.
    if (qmauth::moreSpecific(profile, name) && qmauth::moreSpecific(name, profile)) __builtin_trap();
    for (MQLONG type : {MQOT_Q_MGR, MQOT_Q, MQOT_TOPIC, MQOT_NAMELIST, MQOT_CHANNEL}) {
        qmauth::AuthSet set = 0;
        if (qmauth::parseAuthList(all, type, set) && (set & ~qmauth::validFor(type)) != 0 &&
            qmauth::authNames(set).empty())
            __builtin_trap();
    }
    qmauth::Record r;
    if (qmauth::Store::decode(all, r)) {
        qmauth::Store s;
        s.set(r.objectType, r.profile, r.entity, r.auths, 0);
        if (qmauth::Store::encode(r) != std::string(all)) __builtin_trap();
        if (qmauth::validProfile(r.profile) && !qmauth::isGeneric(r.profile) &&
            s.of(r.objectType, r.profile, r.entity) != r.auths)
            __builtin_trap();
    }
    return 0;
}
