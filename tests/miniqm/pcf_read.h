// Reading what the queue manager writes on its SYSTEM.ADMIN queues with the system's own PCF parser
// (MQPCFGetNextParm) and event classification (evCFCompress, evClassifyEvent): the writer in
// miniqm and the reader in mqi are two implementations that check each other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "miniqm/qm_fixture.h"
#include "mqi/mempool.h"
#include "mqi/mqi.h"

namespace qmt {

struct Parm {
    int32_t type = 0, id = 0, group = 0;  // group: the innermost open group's id, 0 at top level
    int32_t length = 0;                   // of a string as written, blanks included
    std::string text;                     // strings without trailing blanks; byte strings as they are
    std::vector<int64_t> values;          // integers and integer lists
    int64_t value() const { return values.empty() ? 0 : values[0]; }
};

struct Pcf {
    MQMD md = MQMD_DEFAULT;
    std::string data;
    MQLONG type = 0, version = 0, command = 0, seq = 0, control = 0, compCode = 0, reason = 0;
    int32_t status = 0;       // the parser's reason at the end: PCF_END_OF_MESSAGE when all was read
    std::vector<Parm> parms;  // in message order, groups included (type 20), group ends left out

    // Ids in order at one level: top level (group 0) or inside the group with this id.
    std::vector<int32_t> ids(int32_t group = 0) const {
        std::vector<int32_t> out;
        for (const Parm &p : parms)
            if (p.group == group) out.push_back(p.id);
        return out;
    }
    const Parm *find(int32_t id, int32_t group = -1) const {
        for (const Parm &p : parms)
            if (p.id == id && (group < 0 || p.group == group)) return &p;
        return nullptr;
    }
    std::vector<int64_t> list(int32_t id, int32_t group = -1) const {
        const Parm *p = find(id, group);
        return p ? p->values : std::vector<int64_t>{};
    }
    int64_t integer(int32_t id, int32_t group = -1) const {
        const Parm *p = find(id, group);
        return p ? p->value() : -1;
    }
    std::string text(int32_t id, int32_t group = -1) const {
        const Parm *p = find(id, group);
        return p ? p->text : "<none>";
    }
    // The event's subtype as the system files it (evClassifyEvent of the compressed record).
    uint32_t subtype() const {
        MemStringPool pool;
        std::string copy = data;
        char qmgr[49] = {};
        Area *area = nullptr;
        int32_t why = 0;
        if (!evCFCompress(&pool.pool, &md, reinterpret_cast<uint8_t *>(copy.data()),
                          static_cast<int32_t>(copy.size()), qmgr, &area, &why))
            return 0;
        uint32_t category = 0;
        uint32_t sub = evClassifyEvent(AreaData(area), area->used, &category, nullptr);
        AreaRelease(&area);
        return sub;
    }
};

inline Pcf decodePcf(const MQMD &md, const std::string &data) {
    Pcf out;
    out.md = md;
    out.data = data;
    if (data.size() < 36) return out;
    MQCFH cfh;
    std::memcpy(&cfh, data.data(), sizeof cfh);
    out.type = cfh.Type;
    out.version = cfh.Version;
    out.command = cfh.Command;
    out.seq = cfh.MsgSeqNumber;
    out.control = cfh.Control;
    out.compCode = cfh.CompCode;
    out.reason = cfh.Reason;
    std::string copy = data;
    PcfCursor c;
    MQPCFInitParser(&c, reinterpret_cast<uint8_t *>(copy.data()), static_cast<int32_t>(copy.size()), 0);
    std::vector<int32_t> groups;
    for (;;) {
        int32_t type = 0, id = 0, length = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&c, &type, &id, &value, &length, &count, &cc, &rc);
        if (cc != MQCC_OK) {
            out.status = rc;
            break;
        }
        if (type == PCF_TYPE_GROUP_END) {
            if (!groups.empty()) groups.pop_back();
            continue;
        }
        Parm p;
        p.type = type;
        p.id = id;
        p.group = groups.empty() ? 0 : groups.back();
        p.length = length;
        const auto *v = static_cast<const uint8_t *>(value);
        switch (type) {
            case MQCFT_INTEGER:
                p.values.push_back(mqiGetI32(v, 0));
                break;
            case MQCFT_INTEGER64:
                p.values.push_back(mqiGetI64(v, 0));
                break;
            case MQCFT_INTEGER_LIST:
                for (int32_t i = 0; i < count; ++i)
                    p.values.push_back(mqiGetI32(v, 4 * static_cast<size_t>(i)));
                break;
            case MQCFT_INTEGER64_LIST:
                for (int32_t i = 0; i < count; ++i)
                    p.values.push_back(mqiGetI64(v, 8 * static_cast<size_t>(i)));
                break;
            case MQCFT_STRING:
            case MQCFT_STRING_LIST:
                p.text = text(static_cast<const char *>(value), static_cast<size_t>(length));
                break;
            case MQCFT_BYTE_STRING:
                p.text.assign(static_cast<const char *>(value), static_cast<size_t>(length));
                break;
            default:
                break;
        }
        out.parms.push_back(p);
        if (type == MQCFT_GROUP) groups.push_back(id);
    }
    return out;
}

// Every message on a queue, got (or browsed) in order and decoded.
inline std::vector<Pcf> drainPcf(MQHCONN h, const std::string &queue, bool browse = false) {
    std::vector<Pcf> out;
    MQHOBJ o = open(h, queue, browse ? MQOO_BROWSE : MQOO_INPUT_SHARED);
    for (bool first = true;; first = false) {
        MQMD md = MQMD_DEFAULT;
        std::string data;
        MQLONG opts = browse ? (first ? MQGMO_BROWSE_FIRST : MQGMO_BROWSE_NEXT) : MQGMO_NO_SYNCPOINT;
        if (get(h, o, &data, opts, &md, 1 << 20).cc != MQCC_OK) break;
        out.push_back(decodePcf(md, data));
    }
    Rc r;
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    return out;
}

}  // namespace qmt
