// Message properties: the typed name/value list behind a message handle (MQSETMP, MQINQMP,
// MQDLTMP) and travelling with a message, with IBM MQ's name rules, '%' wildcard inquiry with a
// property cursor, type conversion on inquiry, and the MQRFH2 form (MQMHBUF, MQBUFMH).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mqi/cmqc.h"

namespace qmprops {

struct Property {
    std::string name;
    MQLONG type = MQTYPE_STRING;
    std::string value;    // numbers and booleans: little-endian bytes of the type's size
                          // (MQBOOL is 4); strings: bytes in ccsid; byte strings: as given
    MQLONG ccsid = 1208;  // of a string value
    MQLONG support = MQPD_SUPPORT_OPTIONAL;
    MQLONG context = MQPD_NO_CONTEXT;
    MQLONG copyOptions = 0;
};

// MQRC_NONE or MQRC_PROPERTY_NAME_ERROR. A name is dot-separated identifiers; the prefixes "JMS",
// "usr.JMS" and "mq" (any case, except "mq_usr") are reserved, as are the message-selector words.
// wildcard allows one '%' at the end (MQINQMP, MQDLTMP).
MQLONG checkName(std::string_view name, bool wildcard);
// Whether a name matches an inquiry pattern ("%" alone matches all, "abc%" every name starting abc).
bool nameMatches(std::string_view pattern, std::string_view name);

// The properties the queue manager itself sets on a delivered publication (the MQRFH2 mqps folder:
// Top and Ret). Applications cannot set them, but may inquire them by name.
inline constexpr const char *kTopicStringProperty = "MQTopicString";
inline constexpr const char *kIsRetainedProperty = "MQIsRetained";
bool isPublicationProperty(std::string_view name);
// MQINQMP's name check: checkName, except that the publication properties may be named.
MQLONG checkInquiryName(std::string_view name);
// Whether a list holds a property other than the publication ones: only then does an application
// without a message handle get the properties as an MQRFH2 (PROPCTL(COMPAT) discards the rest).
// Builds a property from MQSETMP's arguments: MQRC_NONE, MQRC_PROPERTY_TYPE_ERROR for an unknown
// type, MQRC_BUFFER_LENGTH_ERROR for a length that the type does not allow (a string may give
// MQVL_NULL_TERMINATED).
MQLONG makeProperty(std::string_view name, MQLONG type, const void *value, MQLONG length, MQLONG ccsid,
                    Property &out);

// The properties of a message handle in their order, with MQINQMP's property cursor. The cursor
// is on the property last inquired; when that property is deleted it stays where the property was,
// so that MQIMPO_INQ_NEXT goes on with the one that followed it. Every change of the list keeps it
// there.
class PropertyList {
public:
    // MQSETMP: replaces the first property of that name (it keeps its place), or adds one at the
    // end; append adds one even when the name exists (MQSMPO_APPEND_PROPERTY).
    void set(Property p, bool append);
    // MQSETMP relative to the cursor (where: MQSMPO_SET_PROP_UNDER_CURSOR, _BEFORE_CURSOR or
    // _AFTER_CURSOR): under it the property at the cursor, which must have p's name, takes p's
    // value; before and after it p is added beside it. The cursor stays on its property. Returns
    // MQRC_NONE, or MQRC_PROPERTY_NOT_AVAILABLE when no property is under the cursor (none inquired
    // yet, or it was deleted) or, under it, the name differs.
    MQLONG setAtCursor(Property p, MQLONG where);
    // MQINQMP's search. options: MQIMPO_INQ_FIRST, _INQ_NEXT (after the cursor; from the start when
    // no cursor is set, or when the cursor was last moved by an inquiry for another name, as IBM MQ
    // then takes INQ_NEXT for INQ_FIRST) or _INQ_PROP_UNDER_CURSOR. Returns MQRC_NONE or
    // MQRC_PROPERTY_NOT_AVAILABLE. The cursor does not move: the caller moves it once the value has
    // been handed out.
    MQLONG find(std::string_view pattern, MQLONG options, const Property *&out) const;
    // Puts the cursor on a property that find returned for the name (pattern) inquired.
    void moveCursor(const Property &p, std::string_view pattern);
    // The message handle was used on MQPUT or MQGET: no property is inquired any more.
    void resetCursor() { at_ = At::None; }
    // MQDLTMP: deletes the first match, or with MQDMPO_DEL_PROP_UNDER_CURSOR the property under the
    // cursor if it matches; MQRC_PROPERTY_NOT_AVAILABLE when there is none.
    MQLONG remove(std::string_view pattern, MQLONG options);
    void clear() {
        items_.clear();
        resetCursor();
    }
    bool empty() const { return items_.empty(); }
    const std::vector<Property> &items() const { return items_; }

    // A flat byte form for the wire and the journal; decode rejects damaged input.
    std::string encode() const;
    [[nodiscard]] static bool decode(std::string_view bytes, PropertyList &out);

private:
    enum class At : uint8_t {
        None,  // no property inquired since the handle was made or last used
        On,    // on items_[cursor_]
        Gap,   // where a deleted property stood: just before items_[cursor_] (or at the end)
    };
    std::vector<Property> items_;
    At at_ = At::None;
    size_t cursor_ = 0;
    std::string pattern_;  // the name of the inquiry that last moved the cursor

    void insertAt(size_t index, Property p);
    void eraseAt(size_t index);
};

bool hasApplicationProperties(const PropertyList &list);

// MQINQMP's value: with MQIMPO_CONVERT_TYPE the value becomes requestedType (unless
// MQTYPE_AS_SET); with MQIMPO_CONVERT_VALUE a string becomes requestedCcsid. Returns MQRC_NONE,
// MQRC_PROP_CONV_NOT_SUPPORTED, MQRC_PROP_NUMBER_FORMAT_ERROR or MQRC_PROP_VALUE_NOT_CONVERTED.
MQLONG render(const Property &p, MQLONG options, MQLONG requestedType, MQLONG requestedCcsid,
              std::string &value, MQLONG &type, MQLONG &ccsid);

// The MQRFH2 name/value folders of a list ("<usr>...</usr>", each folder padded to a multiple of
// 4 bytes and preceded by its length) and back. fromFolders returns MQRC_NONE or MQRC_RFH_FORMAT_ERROR.
std::string toFolders(const PropertyList &list);
MQLONG fromFolders(std::string_view folders, PropertyList &out);

// A whole MQRFH2 (version 2) carrying the list, in this machine's encoding; encoding, ccsid and
// format describe the data that follows it.
std::string rfh2(const PropertyList &list, MQLONG encoding, MQLONG ccsid, const char *format);
// Reads an MQRFH2 at the start of data into out: its length, and what it says of the data after it.
// MQRC_NONE, MQRC_RFH_ERROR (not an MQRFH2) or MQRC_RFH_FORMAT_ERROR (damaged folders).
MQLONG parseRfh2(std::string_view data, PropertyList &out, size_t &length, MQLONG &encoding, MQLONG &ccsid,
                 std::string &format);

}  // namespace qmprops
