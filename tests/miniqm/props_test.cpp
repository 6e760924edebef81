// Message properties: name rules, each type set and inquired back, wildcard inquiry order with the
// cursor, deletion, type conversion on inquiry and the MQRFH2 folder form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "miniqm/props.h"

namespace {

using qmprops::Property;
using qmprops::PropertyList;

Property make(const char *name, MQLONG type, const void *value, MQLONG length) {
    Property p;
    EXPECT_EQ(qmprops::makeProperty(name, type, value, length, 1208, p), MQRC_NONE) << name;
    return p;
}

template <typename T>
Property num(const char *name, MQLONG type, T v) {
    return make(name, type, &v, sizeof v);
}

Property str(const char *name, const char *v) {
    return make(name, MQTYPE_STRING, v, MQVL_NULL_TERMINATED);
}

// Every name matching the pattern, by MQIMPO_INQ_FIRST and then _INQ_NEXT (on a copy: the cursor moves).
std::vector<std::string> inquireAll(PropertyList list, const char *pattern) {
    std::vector<std::string> names;
    const Property *p = nullptr;
    MQLONG options = MQIMPO_INQ_FIRST;
    while (list.find(pattern, options, p) == MQRC_NONE) {
        names.push_back(p->name);
        list.moveCursor(*p, pattern);
        options = MQIMPO_INQ_NEXT;
    }
    return names;
}

// One MQINQMP step: the name found (moving the cursor), or "-" when there is none.
std::string step(PropertyList &list, const char *pattern, MQLONG options) {
    const Property *p = nullptr;
    if (list.find(pattern, options, p) != MQRC_NONE) return "-";
    list.moveCursor(*p, pattern);
    return p->name;
}

std::vector<std::string> names(const PropertyList &list) {
    std::vector<std::string> out;
    for (const Property &p : list.items()) out.push_back(p.name);
    return out;
}

TEST(PropertyNames, ValidAndReservedNames) {
    for (const char *ok : {"colour", "a.b.c", "_x1", "$v", "mq_usr.x", "usr.size", "JM"})
        EXPECT_EQ(qmprops::checkName(ok, false), MQRC_NONE) << ok;
    for (const char *bad : {"", "1abc", "a..b", ".a", "a.", "a-b", "JMSType", "usr.JMSx", "mqx", "MQTopic",
                            "Mq.a", "NULL", "true", "Between", "a%"})
        EXPECT_EQ(qmprops::checkName(bad, false), MQRC_PROPERTY_NAME_ERROR) << bad;
    EXPECT_EQ(qmprops::checkName("%", true), MQRC_NONE);
    EXPECT_EQ(qmprops::checkName("a.%", true), MQRC_NONE);
    EXPECT_EQ(qmprops::checkName("ab%", true), MQRC_NONE);
    EXPECT_EQ(qmprops::checkName("a%b", true), MQRC_PROPERTY_NAME_ERROR);
}

TEST(PropertyValues, EveryTypeRoundTripsUnconverted) {
    PropertyList list;
    MQBOOL yes = 7;  // any non-zero MQBOOL is true
    list.set(make("b", MQTYPE_BOOLEAN, &yes, 4), false);
    list.set(make("bytes", MQTYPE_BYTE_STRING, "\x00\x01\xFF", 3), false);
    list.set(num<int8_t>("i8", MQTYPE_INT8, -5), false);
    list.set(num<int16_t>("i16", MQTYPE_INT16, 30000), false);
    list.set(num<int32_t>("i32", MQTYPE_INT32, -2000000000), false);
    list.set(num<int64_t>("i64", MQTYPE_INT64, INT64_C(9000000000000)), false);
    list.set(num<float>("f32", MQTYPE_FLOAT32, 1.5f), false);
    list.set(num<double>("f64", MQTYPE_FLOAT64, -0.25), false);
    list.set(str("s", "blue"), false);
    list.set(make("n", MQTYPE_NULL, nullptr, 0), false);

    auto get = [&](const char *name, MQLONG expectType, const std::string &expectBytes) {
        const Property *p = nullptr;
        ASSERT_EQ(list.find(name, MQIMPO_INQ_FIRST, p), MQRC_NONE) << name;
        std::string value;
        MQLONG type = 0, ccsid = 0;
        ASSERT_EQ(qmprops::render(*p, 0, MQTYPE_AS_SET, 0, value, type, ccsid), MQRC_NONE);
        EXPECT_EQ(type, expectType) << name;
        EXPECT_EQ(value, expectBytes) << name;
    };
    get("b", MQTYPE_BOOLEAN, std::string("\1\0\0\0", 4));
    get("bytes", MQTYPE_BYTE_STRING, std::string("\x00\x01\xFF", 3));
    get("i8", MQTYPE_INT8, "\xFB");
    int16_t i16 = 30000;
    get("i16", MQTYPE_INT16, std::string(reinterpret_cast<char *>(&i16), 2));
    int64_t i64 = INT64_C(9000000000000);
    get("i64", MQTYPE_INT64, std::string(reinterpret_cast<char *>(&i64), 8));
    double f64 = -0.25;
    get("f64", MQTYPE_FLOAT64, std::string(reinterpret_cast<char *>(&f64), 8));
    get("s", MQTYPE_STRING, "blue");
    get("n", MQTYPE_NULL, "");
}

TEST(PropertyValues, LengthsMustFitTheType) {
    Property p;
    int64_t v = 1;
    EXPECT_EQ(qmprops::makeProperty("x", MQTYPE_INT32, &v, 8, 1208, p), MQRC_BUFFER_LENGTH_ERROR);
    EXPECT_EQ(qmprops::makeProperty("x", MQTYPE_NULL, &v, 1, 1208, p), MQRC_BUFFER_LENGTH_ERROR);
    EXPECT_EQ(qmprops::makeProperty("x", 3, &v, 4, 1208, p), MQRC_PROPERTY_TYPE_ERROR);
}

TEST(PropertyList, SetReplacesInPlaceAppendAdds) {
    PropertyList list;
    list.set(str("a", "1"), false);
    list.set(str("b", "2"), false);
    list.set(str("a", "3"), false);
    EXPECT_EQ(inquireAll(list, "%"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(list.items()[0].value, "3");
    list.set(str("a", "4"), true);
    EXPECT_EQ(inquireAll(list, "%"), (std::vector<std::string>{"a", "b", "a"}));
}

TEST(PropertyList, WildcardInquiryFollowsCreationOrder) {
    PropertyList list;
    for (const char *n : {"zeta", "app.x", "alpha", "app.y", "apple"}) list.set(str(n, "v"), false);
    EXPECT_EQ(inquireAll(list, "%"), (std::vector<std::string>{"zeta", "app.x", "alpha", "app.y", "apple"}));
    EXPECT_EQ(inquireAll(list, "app.%"), (std::vector<std::string>{"app.x", "app.y"}));
    EXPECT_EQ(inquireAll(list, "app%"), (std::vector<std::string>{"app.x", "app.y", "apple"}));
    EXPECT_EQ(inquireAll(list, "alpha"), (std::vector<std::string>{"alpha"}));
    EXPECT_TRUE(inquireAll(list, "nothing%").empty());
}

TEST(PropertyList, CursorSurvivesDeletionAndUnderCursorFindsTheSameProperty) {
    PropertyList list;
    for (const char *n : {"a", "b", "c"}) list.set(str(n, n), false);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_FIRST), "a");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "b");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_PROP_UNDER_CURSOR), "b");
    EXPECT_EQ(list.remove("%", MQDMPO_DEL_PROP_UNDER_CURSOR), MQRC_NONE);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_PROP_UNDER_CURSOR), "-");
    EXPECT_EQ(list.remove("%", MQDMPO_DEL_PROP_UNDER_CURSOR), MQRC_PROPERTY_NOT_AVAILABLE);  // already gone
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "c");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "-");
    EXPECT_EQ(list.remove("zz", 0), MQRC_PROPERTY_NOT_AVAILABLE);
}

TEST(PropertyList, NoCursorBeforeTheFirstInquiryNorAfterAReset) {
    PropertyList list;
    for (const char *n : {"a", "b"}) list.set(str(n, n), false);
    for (MQLONG where :
         {MQSMPO_SET_PROP_UNDER_CURSOR, MQSMPO_SET_PROP_BEFORE_CURSOR, MQSMPO_SET_PROP_AFTER_CURSOR})
        EXPECT_EQ(list.setAtCursor(str("a", "x"), where), MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_EQ(list.remove("%", MQDMPO_DEL_PROP_UNDER_CURSOR), MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "a");  // INQ_NEXT without a cursor starts at the front
    list.resetCursor();
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_PROP_UNDER_CURSOR), "-");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "a");
    EXPECT_EQ(names(list), (std::vector<std::string>{"a", "b"}));
}

TEST(PropertyList, InquireNextWithAnotherNameStartsFromTheFront) {
    PropertyList list;
    for (const char *n : {"x.1", "y", "x.2"}) list.set(str(n, n), false);
    EXPECT_EQ(step(list, "x.%", MQIMPO_INQ_FIRST), "x.1");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "x.1");  // a new name: as INQ_FIRST
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "y");
    EXPECT_EQ(step(list, "x.%", MQIMPO_INQ_NEXT), "x.1");
    EXPECT_EQ(step(list, "x.%", MQIMPO_INQ_NEXT), "x.2");
    EXPECT_EQ(step(list, "x.%", MQIMPO_INQ_NEXT), "-");
    // After a deletion under the cursor the name still counts: the same one goes on from the gap.
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_FIRST), "x.1");
    EXPECT_EQ(list.remove("%", MQDMPO_DEL_PROP_UNDER_CURSOR), MQRC_NONE);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "y");
    EXPECT_EQ(step(list, "y", MQIMPO_INQ_NEXT), "y");
}

TEST(PropertyList, PlacementBeforeUnderAndAfterTheCursor) {
    PropertyList list;
    for (const char *n : {"a", "b", "c"}) list.set(str(n, n), false);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_FIRST), "a");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "b");
    ASSERT_EQ(list.setAtCursor(str("before", "1"), MQSMPO_SET_PROP_BEFORE_CURSOR), MQRC_NONE);
    ASSERT_EQ(list.setAtCursor(str("after", "2"), MQSMPO_SET_PROP_AFTER_CURSOR), MQRC_NONE);
    EXPECT_EQ(names(list), (std::vector<std::string>{"a", "before", "b", "after", "c"}));
    // The cursor stayed on b: under it is b, which takes a new value in its place.
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_PROP_UNDER_CURSOR), "b");
    ASSERT_EQ(list.setAtCursor(str("b", "new"), MQSMPO_SET_PROP_UNDER_CURSOR), MQRC_NONE);
    EXPECT_EQ(list.items()[2].value, "new");
    EXPECT_EQ(list.setAtCursor(str("other", "x"), MQSMPO_SET_PROP_UNDER_CURSOR), MQRC_PROPERTY_NOT_AVAILABLE);
    // Duplicate names may sit beside each other; inquiry goes on after b, so it meets the one added after.
    ASSERT_EQ(list.setAtCursor(str("b", "twin"), MQSMPO_SET_PROP_AFTER_CURSOR), MQRC_NONE);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "b");
    EXPECT_EQ(list.items()[3].value, "twin");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "after");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "c");
    EXPECT_EQ(names(list), (std::vector<std::string>{"a", "before", "b", "b", "after", "c"}));
}

TEST(PropertyList, CursorKeepsItsPlaceWhileOthersComeAndGo) {
    PropertyList list;
    for (const char *n : {"a", "b", "c", "d"}) list.set(str(n, n), false);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_FIRST), "a");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "b");
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "c");
    EXPECT_EQ(list.remove("a", 0), MQRC_NONE);  // before the cursor: it stays on c
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_PROP_UNDER_CURSOR), "c");
    list.set(str("e", "e"), false);  // added at the end
    EXPECT_EQ(list.remove("c", MQDMPO_DEL_PROP_UNDER_CURSOR), MQRC_NONE);
    EXPECT_EQ(list.remove("d", 0), MQRC_NONE);  // what followed the deleted one goes too
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "e");
    // Deleted at the end of the list: a property added afterwards is the next one.
    EXPECT_EQ(list.remove("e", MQDMPO_DEL_PROP_UNDER_CURSOR), MQRC_NONE);
    list.set(str("f", "f"), true);
    EXPECT_EQ(step(list, "%", MQIMPO_INQ_NEXT), "f");
    EXPECT_EQ(list.remove("zz", MQDMPO_DEL_PROP_UNDER_CURSOR), MQRC_PROPERTY_NOT_AVAILABLE);  // name differs
    EXPECT_EQ(names(list), (std::vector<std::string>{"b", "f"}));
    PropertyList decoded;
    ASSERT_TRUE(PropertyList::decode(list.encode(), decoded));
    EXPECT_EQ(step(decoded, "%", MQIMPO_INQ_PROP_UNDER_CURSOR), "-");  // a fresh list has no cursor
}

TEST(PropertyConversion, NumbersStringsAndBooleans) {
    std::string value;
    MQLONG type = 0, ccsid = 0;
    Property i = num<int32_t>("i", MQTYPE_INT32, 300);
    ASSERT_EQ(qmprops::render(i, MQIMPO_CONVERT_TYPE, MQTYPE_STRING, 0, value, type, ccsid), MQRC_NONE);
    EXPECT_EQ(value, "300");
    EXPECT_EQ(type, MQTYPE_STRING);
    ASSERT_EQ(qmprops::render(i, MQIMPO_CONVERT_TYPE, MQTYPE_INT64, 0, value, type, ccsid), MQRC_NONE);
    EXPECT_EQ(value.size(), 8u);
    EXPECT_EQ(qmprops::render(i, MQIMPO_CONVERT_TYPE, MQTYPE_INT8, 0, value, type, ccsid),
              MQRC_PROP_NUMBER_FORMAT_ERROR);  // 300 does not fit
    // Without MQIMPO_CONVERT_TYPE the requested type is ignored.
    ASSERT_EQ(qmprops::render(i, 0, MQTYPE_STRING, 0, value, type, ccsid), MQRC_NONE);
    EXPECT_EQ(type, MQTYPE_INT32);

    Property s = str("s", "-42");
    ASSERT_EQ(qmprops::render(s, MQIMPO_CONVERT_TYPE, MQTYPE_INT16, 0, value, type, ccsid), MQRC_NONE);
    int16_t v = 0;
    std::memcpy(&v, value.data(), 2);
    EXPECT_EQ(v, -42);
    EXPECT_EQ(qmprops::render(str("s", "4x"), MQIMPO_CONVERT_TYPE, MQTYPE_INT32, 0, value, type, ccsid),
              MQRC_PROP_NUMBER_FORMAT_ERROR);
    ASSERT_EQ(qmprops::render(str("s", "true"), MQIMPO_CONVERT_TYPE, MQTYPE_BOOLEAN, 0, value, type, ccsid),
              MQRC_NONE);
    EXPECT_EQ(value, std::string("\1\0\0\0", 4));
    MQBOOL no = 0;
    ASSERT_EQ(qmprops::render(make("b", MQTYPE_BOOLEAN, &no, 4), MQIMPO_CONVERT_TYPE, MQTYPE_STRING, 0, value,
                              type, ccsid),
              MQRC_NONE);
    EXPECT_EQ(value, "FALSE");
    EXPECT_EQ(qmprops::render(make("x", MQTYPE_BYTE_STRING, "ab", 2), MQIMPO_CONVERT_TYPE, MQTYPE_STRING, 0,
                              value, type, ccsid),
              MQRC_PROP_CONV_NOT_SUPPORTED);
}

TEST(PropertyConversion, StringValuesChangeCodePageOnRequest) {
    Property s;
    ASSERT_EQ(qmprops::makeProperty("s", MQTYPE_STRING, "caf\xC3\xA9", 5, 1208, s), MQRC_NONE);
    std::string value;
    MQLONG type = 0, ccsid = 0;
    ASSERT_EQ(qmprops::render(s, MQIMPO_CONVERT_VALUE, MQTYPE_AS_SET, 819, value, type, ccsid), MQRC_NONE);
    EXPECT_EQ(value, "caf\xE9");
    EXPECT_EQ(ccsid, 819);
    EXPECT_EQ(qmprops::render(s, MQIMPO_CONVERT_VALUE, MQTYPE_AS_SET, 4711, value, type, ccsid),
              MQRC_PROP_VALUE_NOT_CONVERTED);
}

TEST(PropertyFolders, Rfh2FormRoundTrips) {
    PropertyList list;
    list.set(str("colour", "<blue & 'green'>"), false);
    list.set(num<int32_t>("app.count", MQTYPE_INT32, -7), false);
    list.set(num<double>("app.ratio", MQTYPE_FLOAT64, 0.5), false);
    MQBOOL t = 1;
    list.set(make("flag", MQTYPE_BOOLEAN, &t, 4), false);
    list.set(make("raw", MQTYPE_BYTE_STRING, "\x01\xAB", 2), false);
    list.set(make("nothing", MQTYPE_NULL, nullptr, 0), false);
    std::string folders = qmprops::toFolders(list);
    ASSERT_EQ(folders.size() % 4, 0u);
    EXPECT_NE(folders.find("<app><count dt='i4'>-7</count></app>"), std::string::npos);
    EXPECT_NE(folders.find("&lt;blue &amp; &apos;green&apos;&gt;"), std::string::npos);

    PropertyList back;
    ASSERT_EQ(qmprops::fromFolders(folders, back), MQRC_NONE);
    ASSERT_EQ(back.items().size(), list.items().size());
    for (size_t i = 0; i < list.items().size(); ++i) {
        EXPECT_EQ(back.items()[i].name, list.items()[i].name);
        EXPECT_EQ(back.items()[i].type, list.items()[i].type) << list.items()[i].name;
        EXPECT_EQ(back.items()[i].value, list.items()[i].value) << list.items()[i].name;
    }
}

TEST(PropertyFolders, OtherFoldersKeepTheirNameAndDamageIsRefused) {
    std::string xml = "<mcd><Msd>jms_text</Msd></mcd>";
    while (xml.size() % 4) xml += ' ';
    MQLONG len = static_cast<MQLONG>(xml.size());
    std::string folders(reinterpret_cast<char *>(&len), 4);
    folders += xml;
    PropertyList list;
    ASSERT_EQ(qmprops::fromFolders(folders, list), MQRC_NONE);
    ASSERT_EQ(list.items().size(), 1u);
    EXPECT_EQ(list.items()[0].name, "mcd.Msd");
    EXPECT_EQ(list.items()[0].value, "jms_text");

    for (std::string bad : {std::string("\x20\0\0\0<usr>", 9), folders.substr(0, 6),
                            folders.substr(0, 4) + "<usr><a>x</b></usr>"}) {
        PropertyList out;
        EXPECT_EQ(qmprops::fromFolders(bad, out), MQRC_RFH_FORMAT_ERROR);
    }
}

}  // namespace
