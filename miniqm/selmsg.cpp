// What a selector's identifiers stand for in a message: its properties by name and its message
// descriptor's fields as Root.MQMD.<Field>, with the types IBM MQ gives those fields as properties.
// Kept apart from the selector language so that the language builds on its own (its fuzz target).
#include <cstddef>
#include <cstring>

#include "miniqm/convert.h"
#include "miniqm/props.h"
#include "miniqm/selector.h"

namespace qmsel {

namespace {

enum class FieldType : uint8_t { Int, Text, Bytes };

struct MdField {
    const char *name;
    size_t offset;
    size_t length;
    FieldType type;
};

#define MD_FIELD(f, t) \
    { #f, offsetof(MQMD, f), sizeof(MQMD::f), FieldType::t }
// StrucId and Version are not reachable as properties.
constexpr MdField kMdFields[] = {
    MD_FIELD(Report, Int),
    MD_FIELD(MsgType, Int),
    MD_FIELD(Expiry, Int),
    MD_FIELD(Feedback, Int),
    MD_FIELD(Encoding, Int),
    MD_FIELD(CodedCharSetId, Int),
    MD_FIELD(Format, Text),
    MD_FIELD(Priority, Int),
    MD_FIELD(Persistence, Int),
    MD_FIELD(MsgId, Bytes),
    MD_FIELD(CorrelId, Bytes),
    MD_FIELD(BackoutCount, Int),
    MD_FIELD(ReplyToQ, Text),
    MD_FIELD(ReplyToQMgr, Text),
    MD_FIELD(UserIdentifier, Text),
    MD_FIELD(AccountingToken, Bytes),
    MD_FIELD(ApplIdentityData, Text),
    MD_FIELD(PutApplType, Int),
    MD_FIELD(PutApplName, Text),
    MD_FIELD(PutDate, Text),
    MD_FIELD(PutTime, Text),
    MD_FIELD(ApplOriginData, Text),
    MD_FIELD(GroupId, Bytes),
    MD_FIELD(MsgSeqNumber, Int),
    MD_FIELD(Offset, Int),
    MD_FIELD(MsgFlags, Int),
    MD_FIELD(OriginalLength, Int),
};
#undef MD_FIELD

constexpr std::string_view kMdPrefix = "Root.MQMD.";

Value mdValue(std::string_view field, const MQMD &md) {
    for (const MdField &f : kMdFields) {
        if (field != f.name) continue;
        const char *p = reinterpret_cast<const char *>(&md) + f.offset;
        switch (f.type) {
            case FieldType::Int: {
                MQLONG v;
                std::memcpy(&v, p, sizeof v);
                return Value::integer(v);
            }
            case FieldType::Bytes:
                return Value::bytes(std::string(p, f.length));
            case FieldType::Text: {
                // Character fields are blank-padded; the padding is not part of the value, so that
                // Root.MQMD.Format = 'MQSTR' selects what an application put with MQFMT_STRING.
                size_t n = f.length;
                while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
                return Value::string(std::string(p, n));
            }
        }
    }
    return Value{};
}

Value propertyValue(const qmprops::Property &p) {
    switch (p.type) {
        case MQTYPE_BOOLEAN:
        case MQTYPE_INT8:
        case MQTYPE_INT16:
        case MQTYPE_INT32:
        case MQTYPE_INT64: {
            // Values are little-endian in the type's size (MQBOOL is 4 bytes).
            int64_t v = 0;
            size_t n = p.value.size();
            if (n == 1) {
                int8_t x;
                std::memcpy(&x, p.value.data(), 1);
                v = x;
            } else if (n == 2) {
                int16_t x;
                std::memcpy(&x, p.value.data(), 2);
                v = x;
            } else if (n == 4) {
                int32_t x;
                std::memcpy(&x, p.value.data(), 4);
                v = x;
            } else if (n == 8) {
                std::memcpy(&v, p.value.data(), 8);
            } else
                return Value{};
            return p.type == MQTYPE_BOOLEAN ? Value::boolean(v != 0) : Value::integer(v);
        }
        case MQTYPE_FLOAT32: {
            if (p.value.size() != 4) return Value{};
            float f;
            std::memcpy(&f, p.value.data(), 4);
            return Value::real(static_cast<double>(f));
        }
        case MQTYPE_FLOAT64: {
            if (p.value.size() != 8) return Value{};
            double d;
            std::memcpy(&d, p.value.data(), 8);
            return Value::real(d);
        }
        case MQTYPE_STRING: {
            // Selectors hold UTF-8; a value in another code page is compared in UTF-8 too.
            std::string utf8;
            if (p.ccsid == qmconv::kUtf8 ||
                qmconv::convert(p.ccsid, false, p.value, qmconv::kUtf8, false, utf8) != MQRC_NONE)
                utf8 = p.value;
            return Value::string(std::move(utf8));
        }
        case MQTYPE_BYTE_STRING:
            return Value::bytes(p.value);
        default:
            return Value{};  // MQTYPE_NULL: a property whose value is null
    }
}

Value listValue(std::string_view name, const MQMD &md, const qmprops::PropertyList &list) {
    if (name.substr(0, kMdPrefix.size()) == kMdPrefix) return mdValue(name.substr(kMdPrefix.size()), md);
    // Properties of the usr folder answer to their names with or without the folder.
    std::string_view bare = name.substr(0, 4) == "usr." ? name.substr(4) : name;
    for (const qmprops::Property &p : list.items())
        if (p.name == name || p.name == bare) return propertyValue(p);
    return Value{};
}

}  // namespace

Value messageValue(std::string_view name, const MQMD &md, std::string_view encodedProps) {
    qmprops::PropertyList list;
    if (!qmprops::PropertyList::decode(encodedProps, list)) list.clear();
    return listValue(name, md, list);
}

bool matchesMessage(const Selector &sel, const MQMD &md, std::string_view encodedProps) {
    if (sel.empty()) return true;
    qmprops::PropertyList list;
    if (!qmprops::PropertyList::decode(encodedProps, list)) list.clear();
    return sel.matches([&](std::string_view name) { return listValue(name, md, list); });
}

}  // namespace qmsel
