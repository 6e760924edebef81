// Message properties: names, the list with its cursor, value conversion and the MQRFH2 folders.
// Values are kept in the bytes MQSETMP was given (numbers little-endian, as this machine is), so
// that MQINQMP without conversion hands back exactly what was set.
#include "miniqm/props.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "miniqm/convert.h"
#include "miniqm/wire.h"

namespace qmprops {

namespace {

bool identStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}
bool identChar(char c) {
    return identStart(c) || (c >= '0' && c <= '9');
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

constexpr const char *kSelectorWords[] = {"NULL",    "TRUE", "FALSE", "NOT", "AND",   "OR",
                                          "BETWEEN", "LIKE", "IN",    "IS",  "ESCAPE"};

// The byte size a fixed-size type needs, or 0 for strings, byte strings and null.
MQLONG fixedSize(MQLONG type) {
    switch (type) {
        case MQTYPE_BOOLEAN:
            return 4;
        case MQTYPE_INT8:
            return 1;
        case MQTYPE_INT16:
            return 2;
        case MQTYPE_INT32:
            return 4;
        case MQTYPE_INT64:
            return 8;
        case MQTYPE_FLOAT32:
            return 4;
        case MQTYPE_FLOAT64:
            return 8;
        default:
            return 0;
    }
}

bool knownType(MQLONG type) {
    return fixedSize(type) || type == MQTYPE_STRING || type == MQTYPE_BYTE_STRING || type == MQTYPE_NULL;
}
bool isInteger(MQLONG t) {
    return t == MQTYPE_INT8 || t == MQTYPE_INT16 || t == MQTYPE_INT32 || t == MQTYPE_INT64;
}
bool isFloat(MQLONG t) {
    return t == MQTYPE_FLOAT32 || t == MQTYPE_FLOAT64;
}

int64_t readInt(const Property &p) {
    const char *b = p.value.data();
    switch (p.type) {
        case MQTYPE_INT8: {
            int8_t v;
            std::memcpy(&v, b, 1);
            return v;
        }
        case MQTYPE_INT16: {
            int16_t v;
            std::memcpy(&v, b, 2);
            return v;
        }
        case MQTYPE_INT32:
        case MQTYPE_BOOLEAN: {
            int32_t v;
            std::memcpy(&v, b, 4);
            return v;
        }
        default: {
            int64_t v;
            std::memcpy(&v, b, 8);
            return v;
        }
    }
}

double readFloat(const Property &p) {
    if (p.type == MQTYPE_FLOAT32) {
        float f;
        std::memcpy(&f, p.value.data(), 4);
        return static_cast<double>(f);
    }
    double d;
    std::memcpy(&d, p.value.data(), 8);
    return d;
}

std::string bytesOf(const void *p, size_t n) {
    return std::string(static_cast<const char *>(p), n);
}

// An integer in the range of an integer type, as that type's bytes.
bool intAs(int64_t v, MQLONG type, std::string &out) {
    switch (type) {
        case MQTYPE_INT8:
            if (v < INT8_MIN || v > INT8_MAX) return false;
            {
                auto x = static_cast<int8_t>(v);
                out = bytesOf(&x, 1);
            }
            return true;
        case MQTYPE_INT16:
            if (v < INT16_MIN || v > INT16_MAX) return false;
            {
                auto x = static_cast<int16_t>(v);
                out = bytesOf(&x, 2);
            }
            return true;
        case MQTYPE_INT32:
            if (v < INT32_MIN || v > INT32_MAX) return false;
            {
                auto x = static_cast<int32_t>(v);
                out = bytesOf(&x, 4);
            }
            return true;
        case MQTYPE_BOOLEAN: {
            MQBOOL x = v != 0;
            out = bytesOf(&x, 4);
            return true;
        }
        default:
            out = bytesOf(&v, 8);
            return true;
    }
}

bool floatAs(double d, MQLONG type, std::string &out) {
    if (type == MQTYPE_FLOAT32) {
        if (std::isfinite(d) && std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
            return false;
        auto f = static_cast<float>(d);
        out = bytesOf(&f, 4);
        return true;
    }
    if (type == MQTYPE_FLOAT64) {
        out = bytesOf(&d, 8);
        return true;
    }
    // To an integer type: only whole numbers in range.
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9.2233720368547758e18 || d >= 9.2233720368547758e18)
        return false;
    return intAs(static_cast<int64_t>(d), type, out);
}

// The text form of a number or boolean, as a string property in UTF-8 would hold it.
std::string textOf(const Property &p) {
    char buf[40];
    if (p.type == MQTYPE_BOOLEAN) return readInt(p) ? "TRUE" : "FALSE";
    if (isInteger(p.type))
        std::snprintf(buf, sizeof buf, "%" PRId64, readInt(p));
    else
        std::snprintf(buf, sizeof buf, p.type == MQTYPE_FLOAT32 ? "%.9g" : "%.17g", readFloat(p));
    return buf;
}

// A string (UTF-8) read as another type.
MQLONG parseAs(const std::string &text, MQLONG type, std::string &out) {
    if (type == MQTYPE_BOOLEAN) {
        if (equalNoCase(text, "TRUE") || text == "1") return intAs(1, type, out), MQRC_NONE;
        if (equalNoCase(text, "FALSE") || text == "0") return intAs(0, type, out), MQRC_NONE;
        return MQRC_PROP_NUMBER_FORMAT_ERROR;
    }
    if (text.empty()) return MQRC_PROP_NUMBER_FORMAT_ERROR;
    char *end = nullptr;
    errno = 0;
    if (isInteger(type)) {
        long long v = std::strtoll(text.c_str(), &end, 10);
        if (errno || *end || !intAs(v, type, out)) return MQRC_PROP_NUMBER_FORMAT_ERROR;
        return MQRC_NONE;
    }
    double d = std::strtod(text.c_str(), &end);
    if (errno || *end || !floatAs(d, type, out)) return MQRC_PROP_NUMBER_FORMAT_ERROR;
    return MQRC_NONE;
}

}  // namespace

MQLONG checkName(std::string_view name, bool wildcard) {
    if (wildcard && !name.empty() && name.back() == '%') {
        name.remove_suffix(1);
        if (name.empty()) return MQRC_NONE;             // "%": every property
        if (name.back() == '.') name.remove_suffix(1);  // "abc.%": the group abc
        if (name.empty()) return MQRC_PROPERTY_NAME_ERROR;
    }
    if (name.empty()) return MQRC_PROPERTY_NAME_ERROR;
    bool atStart = true;
    for (char c : name) {
        if (c == '.') {
            if (atStart) return MQRC_PROPERTY_NAME_ERROR;  // empty part: ".a", "a..b"
            atStart = true;
        } else if (atStart ? !identStart(c) : !identChar(c)) {
            return MQRC_PROPERTY_NAME_ERROR;
        } else {
            atStart = false;
        }
    }
    if (atStart) return MQRC_PROPERTY_NAME_ERROR;  // ends with '.'
    for (const char *w : kSelectorWords)
        if (equalNoCase(name, w)) return MQRC_PROPERTY_NAME_ERROR;
    if (name.substr(0, 3) == "JMS" || name.substr(0, 7) == "usr.JMS") return MQRC_PROPERTY_NAME_ERROR;
    if (equalNoCase(name.substr(0, 2), "mq") && name.substr(0, 6) != "mq_usr")
        return MQRC_PROPERTY_NAME_ERROR;
    return MQRC_NONE;
}

bool isPublicationProperty(std::string_view name) {
    return name == kTopicStringProperty || name == kIsRetainedProperty;
}

MQLONG checkInquiryName(std::string_view name) {
    return isPublicationProperty(name) ? MQRC_NONE : checkName(name, true);
}

bool hasApplicationProperties(const PropertyList &list) {
    for (const Property &p : list.items())
        if (!isPublicationProperty(p.name)) return true;
    return false;
}

bool nameMatches(std::string_view pattern, std::string_view name) {
    if (!pattern.empty() && pattern.back() == '%') {
        pattern.remove_suffix(1);
        return name.substr(0, pattern.size()) == pattern;
    }
    return pattern == name;
}

MQLONG makeProperty(std::string_view name, MQLONG type, const void *value, MQLONG length, MQLONG ccsid,
                    Property &out) {
    if (!knownType(type)) return MQRC_PROPERTY_TYPE_ERROR;
    if (type == MQTYPE_STRING && length == MQVL_NULL_TERMINATED)
        length = value ? static_cast<MQLONG>(std::strlen(static_cast<const char *>(value))) : 0;
    MQLONG size = fixedSize(type);
    if (length < 0 || (size && length != size) || (type == MQTYPE_NULL && length != 0) ||
        (length > 0 && !value))
        return MQRC_BUFFER_LENGTH_ERROR;
    out = Property{};
    out.name.assign(name.data(), name.size());
    out.type = type;
    out.value.assign(static_cast<const char *>(value ? value : ""), static_cast<size_t>(length));
    if (type == MQTYPE_BOOLEAN) {  // any non-zero MQBOOL is true; keep it 0 or 1
        MQBOOL b;
        std::memcpy(&b, out.value.data(), 4);
        intAs(b != 0, MQTYPE_BOOLEAN, out.value);
    }
    out.ccsid = ccsid;
    return MQRC_NONE;
}

void PropertyList::insertAt(size_t index, Property p) {
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(p));
    // A property added at the gap left by a deleted one comes after it: INQ_NEXT still finds it.
    if (at_ == At::On ? index <= cursor_ : index < cursor_) ++cursor_;
}

void PropertyList::eraseAt(size_t index) {
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    if (at_ == At::None) return;
    if (index < cursor_) {
        --cursor_;
    } else if (index == cursor_ && at_ == At::On) {
        at_ = At::Gap;
    }
}

void PropertyList::set(Property p, bool append) {
    if (!append) {
        for (Property &have : items_) {
            if (have.name == p.name) {
                have = std::move(p);
                return;
            }
        }
    }
    insertAt(items_.size(), std::move(p));
}

MQLONG PropertyList::setAtCursor(Property p, MQLONG where) {
    if (at_ != At::On) return MQRC_PROPERTY_NOT_AVAILABLE;
    switch (where) {
        case MQSMPO_SET_PROP_UNDER_CURSOR:
            if (items_[cursor_].name != p.name) return MQRC_PROPERTY_NOT_AVAILABLE;
            items_[cursor_] = std::move(p);
            return MQRC_NONE;
        case MQSMPO_SET_PROP_BEFORE_CURSOR:
            insertAt(cursor_, std::move(p));
            return MQRC_NONE;
        case MQSMPO_SET_PROP_AFTER_CURSOR:
            insertAt(cursor_ + 1, std::move(p));
            return MQRC_NONE;
        default:
            return MQRC_OPTIONS_ERROR;
    }
}

MQLONG PropertyList::find(std::string_view pattern, MQLONG options, const Property *&out) const {
    out = nullptr;
    if (options & MQIMPO_INQ_PROP_UNDER_CURSOR) {
        if (at_ != At::On) return MQRC_PROPERTY_NOT_AVAILABLE;
        out = &items_[cursor_];
        return MQRC_NONE;
    }
    size_t from = 0;
    if ((options & MQIMPO_INQ_NEXT) && at_ != At::None && pattern == pattern_)
        from = at_ == At::On ? cursor_ + 1 : cursor_;
    for (size_t i = from; i < items_.size(); ++i) {
        if (nameMatches(pattern, items_[i].name)) {
            out = &items_[i];
            return MQRC_NONE;
        }
    }
    return MQRC_PROPERTY_NOT_AVAILABLE;
}

void PropertyList::moveCursor(const Property &p, std::string_view pattern) {
    pattern_ = pattern;
    at_ = At::On;
    cursor_ = static_cast<size_t>(&p - items_.data());
}

MQLONG PropertyList::remove(std::string_view pattern, MQLONG options) {
    if (options & MQDMPO_DEL_PROP_UNDER_CURSOR) {
        if (at_ != At::On || !nameMatches(pattern, items_[cursor_].name)) return MQRC_PROPERTY_NOT_AVAILABLE;
        eraseAt(cursor_);
        return MQRC_NONE;
    }
    for (size_t i = 0; i < items_.size(); ++i) {
        if (nameMatches(pattern, items_[i].name)) {
            eraseAt(i);
            return MQRC_NONE;
        }
    }
    return MQRC_PROPERTY_NOT_AVAILABLE;
}

// Encoded form: u32 count, then per property str name, i32 type, i32 ccsid, i32 support,
// i32 context, i32 copy options, str value.
std::string PropertyList::encode() const {
    if (items_.empty()) return std::string();
    qmwire::Writer w;
    w.u32(static_cast<uint32_t>(items_.size()));
    for (const Property &p : items_) {
        w.str(p.name);
        w.i32(p.type);
        w.i32(p.ccsid);
        w.i32(p.support);
        w.i32(p.context);
        w.i32(p.copyOptions);
        w.str(p.value);
    }
    return w.bytes();
}

bool PropertyList::decode(std::string_view bytes, PropertyList &out) {
    out.clear();
    if (bytes.empty()) return true;
    qmwire::Reader r(bytes);
    uint32_t n = r.u32();
    for (uint32_t i = 0; i < n && !r.failed(); ++i) {
        Property p;
        p.name = r.str();
        p.type = r.i32();
        p.ccsid = r.i32();
        p.support = r.i32();
        p.context = r.i32();
        p.copyOptions = r.i32();
        p.value = r.str();
        MQLONG size = fixedSize(p.type);
        if (!knownType(p.type) || (size && static_cast<MQLONG>(p.value.size()) != size)) return false;
        out.set(std::move(p), true);
    }
    return !r.failed() && r.remaining() == 0;
}

MQLONG render(const Property &p, MQLONG options, MQLONG requestedType, MQLONG requestedCcsid,
              std::string &value, MQLONG &type, MQLONG &ccsid) {
    value = p.value;
    type = p.type;
    ccsid = p.ccsid;
    if ((options & MQIMPO_CONVERT_TYPE) && requestedType != MQTYPE_AS_SET && requestedType != p.type &&
        p.type != MQTYPE_NULL) {
        if (!knownType(requestedType) || requestedType == MQTYPE_NULL) return MQRC_PROPERTY_TYPE_ERROR;
        if (p.type == MQTYPE_BYTE_STRING || requestedType == MQTYPE_BYTE_STRING)
            return MQRC_PROP_CONV_NOT_SUPPORTED;
        std::string out;
        if (requestedType == MQTYPE_STRING) {
            out = textOf(p);
            ccsid = qmconv::kUtf8;
        } else if (p.type == MQTYPE_STRING) {
            std::string utf8;
            if (qmconv::convert(p.ccsid, false, p.value, qmconv::kUtf8, false, utf8) != MQRC_NONE)
                return MQRC_PROP_VALUE_NOT_CONVERTED;
            MQLONG r = parseAs(utf8, requestedType, out);
            if (r != MQRC_NONE) return r;
        } else if (isFloat(p.type)) {
            if (!floatAs(readFloat(p), requestedType, out)) return MQRC_PROP_NUMBER_FORMAT_ERROR;
        } else {  // integer or boolean
            int64_t v = readInt(p);
            bool ok = isFloat(requestedType) ? floatAs(static_cast<double>(v), requestedType, out)
                                             : intAs(v, requestedType, out);
            if (!ok) return MQRC_PROP_NUMBER_FORMAT_ERROR;
        }
        value = std::move(out);
        type = requestedType;
    }
    if ((options & MQIMPO_CONVERT_VALUE) && type == MQTYPE_STRING && requestedCcsid != ccsid &&
        requestedCcsid > 0) {
        std::string out;
        if (qmconv::convert(ccsid, false, value, requestedCcsid, false, out) != MQRC_NONE)
            return MQRC_PROP_VALUE_NOT_CONVERTED;
        value = std::move(out);
        ccsid = requestedCcsid;
    }
    return MQRC_NONE;
}

// ---- MQRFH2 folders ---------------------------------------------------------------------------------
// Properties go into the usr folder as <name dt='type'>value</name>; a dotted name becomes nested
// groups (a.b -> <a><b>..</b></a>). Values are text in UTF-8 (NameValueCCSID 1208).

namespace {

void xmlEscape(std::string_view s, std::string &out) {
    for (char c : s) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
}

const char *dtOf(MQLONG type) {
    switch (type) {
        case MQTYPE_BOOLEAN:
            return "boolean";
        case MQTYPE_BYTE_STRING:
            return "bin.hex";
        case MQTYPE_INT8:
            return "i1";
        case MQTYPE_INT16:
            return "i2";
        case MQTYPE_INT32:
            return "i4";
        case MQTYPE_INT64:
            return "i8";
        case MQTYPE_FLOAT32:
            return "r4";
        case MQTYPE_FLOAT64:
            return "r8";
        default:
            return nullptr;
    }
}

MQLONG typeOfDt(std::string_view dt) {
    if (dt.empty() || dt == "string") return MQTYPE_STRING;
    if (dt == "boolean") return MQTYPE_BOOLEAN;
    if (dt == "bin.hex") return MQTYPE_BYTE_STRING;
    if (dt == "i1") return MQTYPE_INT8;
    if (dt == "i2") return MQTYPE_INT16;
    if (dt == "i4" || dt == "int") return MQTYPE_INT32;
    if (dt == "i8") return MQTYPE_INT64;
    if (dt == "r4") return MQTYPE_FLOAT32;
    if (dt == "r8") return MQTYPE_FLOAT64;
    return -1;
}

// One element of a folder: <name attrs>text-or-children</name>.
struct XmlReader {
    std::string_view s;
    size_t pos = 0;
    bool bad = false;

    void skipBlanks() {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\r' || s[pos] == '\t')) ++pos;
    }
    bool at(std::string_view t) const { return s.substr(pos, t.size()) == t; }
    std::string text() {  // up to the next '<', unescaped
        std::string out;
        while (pos < s.size() && s[pos] != '<') {
            if (s[pos] == '&') {
                static constexpr std::pair<std::string_view, char> ents[] = {
                    {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
                bool found = false;
                for (auto &[e, c] : ents) {
                    if (at(e)) {
                        out += c;
                        pos += e.size();
                        found = true;
                        break;
                    }
                }
                if (!found) return bad = true, out;
            } else {
                out += s[pos++];
            }
        }
        return out;
    }
};

MQLONG valueFromText(const std::string &name, MQLONG type, bool nil, const std::string &text, Property &p) {
    p = Property{};
    p.name = name;
    if (nil) {
        p.type = MQTYPE_NULL;
        return MQRC_NONE;
    }
    p.type = type;
    if (type == MQTYPE_STRING) {
        p.value = text;
        return MQRC_NONE;
    }
    if (type == MQTYPE_BYTE_STRING) {
        if (text.size() % 2) return MQRC_RFH_FORMAT_ERROR;
        for (size_t i = 0; i < text.size(); i += 2) {
            char *end = nullptr;
            std::string two = text.substr(i, 2);
            long v = std::strtol(two.c_str(), &end, 16);
            if (*end) return MQRC_RFH_FORMAT_ERROR;
            p.value += static_cast<char>(v);
        }
        return MQRC_NONE;
    }
    return parseAs(text, type, p.value) == MQRC_NONE ? MQRC_NONE : MQRC_RFH_FORMAT_ERROR;
}

// Parses the elements inside one folder or group; prefix is the dotted path so far.
MQLONG parseElements(XmlReader &r, const std::string &prefix, PropertyList &out, int depth) {
    if (depth > 16) return MQRC_RFH_FORMAT_ERROR;
    for (;;) {
        r.skipBlanks();
        if (r.pos >= r.s.size() || r.at("</")) return MQRC_NONE;
        if (!r.at("<")) return MQRC_RFH_FORMAT_ERROR;
        ++r.pos;
        size_t nameStart = r.pos;
        while (r.pos < r.s.size() && r.s[r.pos] != '>' && r.s[r.pos] != ' ' && r.s[r.pos] != '/') ++r.pos;
        std::string name(r.s.substr(nameStart, r.pos - nameStart));
        if (name.empty()) return MQRC_RFH_FORMAT_ERROR;
        std::string dt;
        bool nil = false, empty = false;
        for (;;) {  // attributes
            r.skipBlanks();
            if (r.at("/>")) {
                r.pos += 2;
                empty = true;
                break;
            }
            if (r.at(">")) {
                ++r.pos;
                break;
            }
            size_t eq = r.s.find('=', r.pos);
            if (eq == std::string_view::npos || eq + 1 >= r.s.size()) return MQRC_RFH_FORMAT_ERROR;
            std::string_view attr = r.s.substr(r.pos, eq - r.pos);
            char quote = r.s[eq + 1];
            size_t close = r.s.find(quote, eq + 2);
            if ((quote != '\'' && quote != '"') || close == std::string_view::npos)
                return MQRC_RFH_FORMAT_ERROR;
            std::string_view val = r.s.substr(eq + 2, close - eq - 2);
            if (attr == "dt") dt = val;
            if (attr == "xsi:nil") nil = val == "true";
            r.pos = close + 1;
        }
        std::string full = prefix.empty() ? name : prefix + "." + name;
        Property p;
        if (empty) {
            if (valueFromText(full, typeOfDt(dt), nil, "", p) != MQRC_NONE) return MQRC_RFH_FORMAT_ERROR;
            out.set(std::move(p), true);
            continue;
        }
        r.skipBlanks();
        bool group = r.at("<") && !r.at("</");
        if (group) {
            MQLONG rc = parseElements(r, full, out, depth + 1);
            if (rc != MQRC_NONE) return rc;
        } else {
            std::string text = r.text();
            MQLONG type = typeOfDt(dt);
            if (r.bad || type < 0) return MQRC_RFH_FORMAT_ERROR;
            if (valueFromText(full, type, nil, text, p) != MQRC_NONE) return MQRC_RFH_FORMAT_ERROR;
            out.set(std::move(p), true);
        }
        std::string endTag = "</" + name + ">";
        if (!r.at(endTag)) return MQRC_RFH_FORMAT_ERROR;
        r.pos += endTag.size();
    }
}

}  // namespace

// The mqps element name of a publication property, or null for any other property.
static const char *mqpsElement(std::string_view name) {
    if (name == kTopicStringProperty) return "Top";
    if (name == kIsRetainedProperty) return "Ret";
    return nullptr;
}

// One folder as NameValueLength + NameValueData, padded to a multiple of 4.
static void appendFolder(std::string &out, std::string xml) {
    while (xml.size() % 4) xml += ' ';
    auto len = static_cast<MQLONG>(xml.size());
    char lenBytes[4];
    std::memcpy(lenBytes, &len, 4);
    out.append(lenBytes, 4);
    out += xml;
}

std::string toFolders(const PropertyList &list) {
    if (list.empty()) return std::string();
    std::string out;
    // The queue manager's publication properties travel in their own folder.
    std::string mqps;
    for (const Property &p : list.items()) {
        const char *element = mqpsElement(p.name);
        if (!element) continue;
        mqps.append("<").append(element);
        if (p.type == MQTYPE_BOOLEAN) {
            mqps.append(" dt='boolean'>").append(readInt(p) ? "1" : "0");
        } else {
            mqps += '>';
            xmlEscape(p.value, mqps);
        }
        mqps.append("</").append(element).append(">");
    }
    if (!mqps.empty()) appendFolder(out, "<mqps>" + mqps + "</mqps>");
    if (!hasApplicationProperties(list)) return out;
    std::string xml = "<usr>";
    for (const Property &p : list.items()) {
        if (mqpsElement(p.name)) continue;
        // Open the groups of a dotted name, write the value, close them again.
        std::vector<std::string_view> parts;
        std::string_view n = p.name;
        for (size_t dot; (dot = n.find('.')) != std::string_view::npos; n.remove_prefix(dot + 1))
            parts.push_back(n.substr(0, dot));
        parts.push_back(n);
        for (size_t i = 0; i + 1 < parts.size(); ++i) xml.append("<").append(parts[i]).append(">");
        xml.append("<").append(parts.back());
        if (p.type == MQTYPE_NULL) {
            xml += " xsi:nil='true'>";
        } else {
            if (const char *dt = dtOf(p.type)) xml.append(" dt='").append(dt).append("'");
            xml += '>';
            if (p.type == MQTYPE_STRING) {
                std::string utf8;
                if (qmconv::convert(p.ccsid, false, p.value, qmconv::kUtf8, false, utf8) != MQRC_NONE)
                    utf8 = p.value;
                xmlEscape(utf8, xml);
            } else if (p.type == MQTYPE_BYTE_STRING) {
                static const char hex[] = "0123456789abcdef";
                for (unsigned char c : p.value) xml += hex[c >> 4], xml += hex[c & 15];
            } else if (p.type == MQTYPE_BOOLEAN) {
                xml += readInt(p) ? "1" : "0";
            } else {
                xml += textOf(p);
            }
        }
        xml.append("</").append(parts.back()).append(">");
        for (size_t i = parts.size() - 1; i-- > 0;) xml.append("</").append(parts[i]).append(">");
    }
    xml += "</usr>";
    appendFolder(out, std::move(xml));
    return out;
}

MQLONG fromFolders(std::string_view folders, PropertyList &out) {
    size_t pos = 0;
    while (pos < folders.size()) {
        MQLONG len;
        if (folders.size() - pos < 4) return MQRC_RFH_FORMAT_ERROR;
        std::memcpy(&len, folders.data() + pos, 4);
        pos += 4;
        if (len < 0 || static_cast<size_t>(len) > folders.size() - pos) return MQRC_RFH_FORMAT_ERROR;
        std::string_view body = folders.substr(pos, static_cast<size_t>(len));
        pos += static_cast<size_t>(len);
        while (!body.empty() && (body.back() == ' ' || body.back() == '\0')) body.remove_suffix(1);
        XmlReader r{body};
        r.skipBlanks();
        if (!r.at("<")) return MQRC_RFH_FORMAT_ERROR;
        size_t close = body.find('>', r.pos);
        if (close == std::string_view::npos) return MQRC_RFH_FORMAT_ERROR;
        std::string folder(body.substr(r.pos + 1, close - r.pos - 1));
        size_t sp = folder.find(' ');
        if (sp != std::string::npos) folder.resize(sp);
        r.pos = close + 1;
        if (folder == "mqps") {
            // Back to the names an application inquires (Top, Ret); other mqps elements keep theirs.
            PropertyList ps;
            MQLONG rc = parseElements(r, folder, ps, 0);
            if (rc != MQRC_NONE) return rc;
            for (Property p : ps.items()) {
                if (p.name == "mqps.Top") p.name = kTopicStringProperty;
                if (p.name == "mqps.Ret") p.name = kIsRetainedProperty;
                out.set(std::move(p), true);
            }
        } else {
            MQLONG rc = parseElements(r, folder == "usr" ? "" : folder, out, 0);
            if (rc != MQRC_NONE) return rc;
        }
        std::string endTag = "</" + folder + ">";
        if (!r.at(endTag)) return MQRC_RFH_FORMAT_ERROR;
    }
    return MQRC_NONE;
}

std::string rfh2(const PropertyList &list, MQLONG encoding, MQLONG ccsid, const char *format) {
    std::string folders = toFolders(list);
    qmwire::Writer w;
    w.raw(MQRFH_STRUC_ID, 4);
    w.i32(MQRFH_VERSION_2);
    w.i32(static_cast<int32_t>(MQRFH_STRUC_LENGTH_FIXED_2 + folders.size()));
    w.i32(encoding);
    w.i32(ccsid);
    w.raw(format, 8);
    w.i32(MQRFH_NO_FLAGS);
    w.i32(qmconv::kUtf8);
    w.raw(folders.data(), folders.size());
    return w.bytes();
}

MQLONG parseRfh2(std::string_view data, PropertyList &out, size_t &length, MQLONG &encoding, MQLONG &ccsid,
                 std::string &format) {
    qmwire::Reader r(data);
    char id[4];
    r.raw(id, 4);
    MQLONG version = r.i32();
    MQLONG strucLength = r.i32();
    encoding = r.i32();
    ccsid = r.i32();
    char fmt[8];
    r.raw(fmt, 8);
    r.i32();  // flags
    r.i32();  // NameValueCCSID: folders are read as UTF-8 text, which ASCII names are in any case
    if (r.failed() || std::memcmp(id, MQRFH_STRUC_ID, 4) != 0 || version != MQRFH_VERSION_2 ||
        strucLength < MQRFH_STRUC_LENGTH_FIXED_2 || static_cast<size_t>(strucLength) > data.size())
        return MQRC_RFH_ERROR;
    format.assign(fmt, 8);
    length = static_cast<size_t>(strucLength);
    return fromFolders(data.substr(MQRFH_STRUC_LENGTH_FIXED_2, length - MQRFH_STRUC_LENGTH_FIXED_2), out);
}

}  // namespace qmprops
