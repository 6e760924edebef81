// Message handles and properties through the MQI: each type set and inquired, wildcard inquiry
// with the cursor, properties travelling with a message into a handle or as an MQRFH2, and kept
// across a restart for a persistent message.
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

struct Inq {
    Rc rc;
    MQLONG type = MQTYPE_AS_SET;
    std::string value, returnedName;
    MQLONG dataLength = -1;
};

Inq inquire(MQHCONN h, MQHMSG m, const char *pattern, MQLONG options, MQLONG valueLength = 256,
            MQLONG type = MQTYPE_AS_SET) {
    MQIMPO impo = MQIMPO_DEFAULT;
    impo.Options = options;
    char nameBuf[64];
    impo.ReturnedName.VSPtr = nameBuf;
    impo.ReturnedName.VSBufSize = sizeof nameBuf;
    MQPD pd = MQPD_DEFAULT;
    MQCHARV nv = charv(pattern);
    Inq out;
    out.type = type;
    std::string buf(static_cast<size_t>(valueLength), '\0');
    MQINQMP(h, m, &impo, &nv, &pd, &out.type, valueLength, buf.data(), &out.dataLength, &out.rc.cc,
            &out.rc.reason);
    if (out.rc.cc == MQCC_OK) {
        out.value = buf.substr(0, static_cast<size_t>(out.dataLength));
        out.returnedName.assign(nameBuf, static_cast<size_t>(impo.ReturnedName.VSLength));
    }
    return out;
}

template <typename T>
std::string bytes(T v) {
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

Rc getIntoHandle(MQHCONN h, MQHOBJ o, MQHMSG m, std::string &data) {
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_4;
    gmo.MsgHandle = m;
    return get(h, o, &data, MQGMO_NO_SYNCPOINT, &md, 1000, nullptr, 0, &gmo);
}

}  // namespace

class PropsQm : public QmTest {};

TEST_F(PropsQm, EachTypeSetAndInquiredBack) {
    MQHMSG m = createHandle(h);
    MQBOOL t = 1;
    int8_t i8 = -8;
    int16_t i16 = 1600;
    int32_t i32 = -320000;
    int64_t i64 = INT64_C(6400000000);
    float f32 = 3.5f;
    double f64 = -6.25;
    EXPECT_RC(setProp(h, m, "b", MQTYPE_BOOLEAN, &t, 4), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "bs", MQTYPE_BYTE_STRING, "\x01\x02", 2), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "i8", MQTYPE_INT8, &i8, 1), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "i16", MQTYPE_INT16, &i16, 2), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "Severity", MQTYPE_INT32, &i32, 4), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "i64", MQTYPE_INT64, &i64, 8), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "f32", MQTYPE_FLOAT32, &f32, 4), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "f64", MQTYPE_FLOAT64, &f64, 8), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "s", MQTYPE_STRING, "text", MQVL_NULL_TERMINATED), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "n", MQTYPE_NULL, nullptr, 0), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setProp(h, m, "JMSBad", MQTYPE_INT32, &i32, 4), MQCC_FAILED, MQRC_PROPERTY_NAME_ERROR);

    struct Expect {
        const char *name;
        MQLONG type;
        std::string value;
    } cases[] = {{"b", MQTYPE_BOOLEAN, bytes<MQBOOL>(1)},
                 {"bs", MQTYPE_BYTE_STRING, "\x01\x02"},
                 {"i8", MQTYPE_INT8, bytes(i8)},
                 {"i16", MQTYPE_INT16, bytes(i16)},
                 {"Severity", MQTYPE_INT32, bytes(i32)},
                 {"i64", MQTYPE_INT64, bytes(i64)},
                 {"f32", MQTYPE_FLOAT32, bytes(f32)},
                 {"f64", MQTYPE_FLOAT64, bytes(f64)},
                 {"s", MQTYPE_STRING, "text"},
                 {"n", MQTYPE_NULL, ""}};
    for (const Expect &e : cases) {
        Inq q = inquire(h, m, e.name, MQIMPO_INQ_FIRST);
        EXPECT_RC(q.rc, MQCC_OK, MQRC_NONE);
        EXPECT_EQ(q.type, e.type) << e.name;
        EXPECT_EQ(q.value, e.value) << e.name;
    }
    Inq asText = inquire(h, m, "Severity", MQIMPO_CONVERT_TYPE, 256, MQTYPE_STRING);
    EXPECT_EQ(asText.value, "-320000");
    EXPECT_RC(deleteHandle(h, &m), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(m, MQHM_UNUSABLE_HMSG);
}

TEST_F(PropsQm, WildcardInquiryInOrderWithTheCursor) {
    MQHMSG m = createHandle(h);
    for (const char *n : {"app.one", "other", "app.two", "app.three"})
        ASSERT_RC(setProp(h, m, n, MQTYPE_STRING, n, MQVL_NULL_TERMINATED), MQCC_OK, MQRC_NONE);
    std::vector<std::string> names;
    MQLONG options = MQIMPO_INQ_FIRST;
    for (;;) {
        Inq q = inquire(h, m, "app.%", options);
        if (q.rc.cc != MQCC_OK) {
            EXPECT_RC(q.rc, MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
            break;
        }
        names.push_back(q.returnedName);
        options = MQIMPO_INQ_NEXT;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"app.one", "app.two", "app.three"}));
    // Too small a buffer: 2469 with the length, then the same property again under the cursor.
    Inq small = inquire(h, m, "%", MQIMPO_INQ_FIRST, 3);
    EXPECT_RC(small.rc, MQCC_FAILED, MQRC_PROPERTY_VALUE_TOO_BIG);
    EXPECT_EQ(small.dataLength, 7);
    Inq again = inquire(h, m, "%", MQIMPO_INQ_PROP_UNDER_CURSOR);
    EXPECT_EQ(again.value, "app.one");
    MQDMPO dmpo = MQDMPO_DEFAULT;
    MQCHARV nv = charv("other");
    Rc r;
    MQDLTMP(h, m, &dmpo, &nv, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQDLTMP(h, m, &dmpo, &nv, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_RC(inquire(h, m, "other", MQIMPO_INQ_FIRST).rc, MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_RC(inquire(h, 999999, "other", MQIMPO_INQ_FIRST).rc, MQCC_FAILED, MQRC_HMSG_ERROR);
}

TEST_F(PropsQm, InquireNextGoesOnWithItsNameAndOnlyFirstOrNextSetTheName) {
    MQHMSG m = createHandle(h);
    for (const char *n : {"app.one", "other", "app.two"})
        ASSERT_RC(setProp(h, m, n, MQTYPE_STRING, n, MQVL_NULL_TERMINATED), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(inquire(h, m, "app.%", MQIMPO_INQ_FIRST).returnedName, "app.one");
    // Another name with INQ_NEXT is taken as INQ_FIRST.
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_NEXT).returnedName, "app.one");
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_NEXT).returnedName, "other");
    EXPECT_EQ(inquire(h, m, "app.%", MQIMPO_INQ_FIRST).returnedName, "app.one");
    // A value asked again under the cursor, whatever name it gives, leaves the inquiry where it was.
    Inq under = inquire(h, m, "%", MQIMPO_INQ_PROP_UNDER_CURSOR);
    EXPECT_RC(under.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(under.returnedName, "app.one");
    EXPECT_EQ(inquire(h, m, "app.%", MQIMPO_INQ_NEXT).returnedName, "app.two");
}

TEST_F(PropsQm, PropertiesTravelIntoAHandleOrAsAnRfh2AndSurviveARestart) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQHMSG m = createHandle(h);
    int32_t severity = 3;
    ASSERT_RC(setProp(h, m, "Severity", MQTYPE_INT32, &severity, 4), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWithHandle(h, o, m, "first"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWithHandle(h, o, m, "second"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(putWithHandle(h, o, m, "kept", MQPER_PERSISTENT), MQCC_OK, MQRC_NONE);

    MQHMSG in = createHandle(h);
    std::string data;
    ASSERT_RC(getIntoHandle(h, o, in, data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "first");
    EXPECT_EQ(inquire(h, in, "Severity", MQIMPO_INQ_FIRST).value, bytes(severity));

    // Without a handle the properties come first, as an MQRFH2; MQBUFMH takes them back out.
    MQMD md = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(std::string(md.Format, 8), "MQHRF2  ");
    ASSERT_EQ(data.substr(0, 4), "RFH ");
    MQHMSG parsed = createHandle(h);
    MQBMHO bmho = MQBMHO_DEFAULT;
    MQLONG left = 0;
    Rc r;
    MQBUFMH(h, parsed, &bmho, &md, static_cast<MQLONG>(data.size()), data.data(), &left, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data.substr(0, static_cast<size_t>(left)), "second");
    EXPECT_EQ(std::string(md.Format, 8), "MQSTR   ");
    EXPECT_EQ(inquire(h, parsed, "Severity", MQIMPO_INQ_FIRST).value, bytes(severity));

    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    in = createHandle(h);
    ASSERT_RC(getIntoHandle(h, o, in, data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "kept");
    EXPECT_EQ(inquire(h, in, "Severity", MQIMPO_INQ_FIRST).value, bytes(severity));
}

namespace {

Rc setAt(MQHCONN h, MQHMSG m, const char *n, const char *value, MQLONG options) {
    MQSMPO smpo = MQSMPO_DEFAULT;
    smpo.Options = options;
    MQPD pd = MQPD_DEFAULT;
    MQCHARV nv = charv(n);
    Rc r;
    MQSETMP(h, m, &smpo, &nv, &pd, MQTYPE_STRING, MQVL_NULL_TERMINATED, const_cast<char *>(value), &r.cc,
            &r.reason);
    return r;
}

Rc deleteProp(MQHCONN h, MQHMSG m, const char *n, MQLONG options) {
    MQDMPO dmpo = MQDMPO_DEFAULT;
    dmpo.Options = options;
    MQCHARV nv = charv(n);
    Rc r;
    MQDLTMP(h, m, &dmpo, &nv, &r.cc, &r.reason);
    return r;
}

// Names and values in order, by MQIMPO_INQ_FIRST and _INQ_NEXT (which leaves the cursor at the last).
std::vector<std::string> listAll(MQHCONN h, MQHMSG m) {
    std::vector<std::string> out;
    for (MQLONG options = MQIMPO_INQ_FIRST;; options = MQIMPO_INQ_NEXT) {
        Inq q = inquire(h, m, "%", options);
        if (q.rc.cc != MQCC_OK) break;
        out.push_back(q.returnedName + "=" + q.value);
    }
    return out;
}

}  // namespace

TEST_F(PropsQm, SetBeforeUnderAndAfterTheCursorThatInquiryLeaves) {
    MQHMSG m = createHandle(h);
    for (const char *n : {"a", "b", "c"}) ASSERT_RC(setAt(h, m, n, n, MQSMPO_SET_FIRST), MQCC_OK, MQRC_NONE);
    // No property inquired yet: nothing is under the cursor.
    for (MQLONG at :
         {MQSMPO_SET_PROP_UNDER_CURSOR, MQSMPO_SET_PROP_BEFORE_CURSOR, MQSMPO_SET_PROP_AFTER_CURSOR})
        EXPECT_RC(setAt(h, m, "a", "x", at), MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_RC(deleteProp(h, m, "a", MQDMPO_DEL_PROP_UNDER_CURSOR), MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    // One place only, and no unknown option.
    for (MQLONG bad : {MQSMPO_SET_PROP_UNDER_CURSOR | MQSMPO_SET_PROP_AFTER_CURSOR,
                       MQSMPO_APPEND_PROPERTY | MQSMPO_SET_PROP_BEFORE_CURSOR,
                       MQSMPO_SET_PROP_BEFORE_CURSOR | MQSMPO_SET_PROP_AFTER_CURSOR, 0x100})
        EXPECT_RC(setAt(h, m, "a", "x", bad), MQCC_FAILED, MQRC_OPTIONS_ERROR);

    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_FIRST).returnedName, "a");
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_NEXT).returnedName, "b");
    EXPECT_RC(setAt(h, m, "before", "1", MQSMPO_SET_PROP_BEFORE_CURSOR), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setAt(h, m, "after", "2", MQSMPO_SET_PROP_AFTER_CURSOR), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setAt(h, m, "b", "B", MQSMPO_SET_PROP_UNDER_CURSOR), MQCC_OK, MQRC_NONE);
    EXPECT_RC(setAt(h, m, "c", "C", MQSMPO_SET_PROP_UNDER_CURSOR), MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    // The cursor is still on b: inquiry goes on with what was added after it.
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_PROP_UNDER_CURSOR).value, "B");
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_NEXT).returnedName, "after");
    EXPECT_EQ(listAll(h, m), (std::vector<std::string>{"a=a", "before=1", "b=B", "after=2", "c=c"}));

    // Deleting the property under the cursor (c, the last inquired) leaves nothing under it.
    EXPECT_RC(deleteProp(h, m, "c", MQDMPO_DEL_PROP_UNDER_CURSOR), MQCC_OK, MQRC_NONE);
    EXPECT_RC(deleteProp(h, m, "c", MQDMPO_DEL_PROP_UNDER_CURSOR), MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_RC(inquire(h, m, "%", MQIMPO_INQ_PROP_UNDER_CURSOR).rc, MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_RC(setAt(h, m, "d", "d", MQSMPO_SET_PROP_AFTER_CURSOR), MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_RC(setAt(h, m, "d", "d", MQSMPO_APPEND_PROPERTY), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_NEXT).returnedName, "d");  // it came after the deleted one
}

TEST_F(PropsQm, PuttingTheHandleResetsItsCursor) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    MQHMSG m = createHandle(h);
    for (const char *n : {"a", "b"}) ASSERT_RC(setAt(h, m, n, n, MQSMPO_SET_FIRST), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_FIRST).returnedName, "a");
    ASSERT_RC(putWithHandle(h, o, m, "x"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(inquire(h, m, "%", MQIMPO_INQ_PROP_UNDER_CURSOR).rc, MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    EXPECT_EQ(inquire(h, m, "%", MQIMPO_INQ_NEXT).returnedName, "a");
}

TEST_F(PropsQm, ReturnedNameTooSmallFailsAndTheCursorLetsTheCallerAskAgain) {
    MQHMSG m = createHandle(h);
    for (const char *n : {"short", "a.rather.long.name"})
        ASSERT_RC(setAt(h, m, n, "v", MQSMPO_SET_FIRST), MQCC_OK, MQRC_NONE);
    // The buffer given by offset from the MQIMPO, as a structure with its buffer after it would.
    struct {
        MQIMPO impo;
        char name[8];
    } area{MQIMPO_DEFAULT, {}};
    area.impo.Options = MQIMPO_INQ_FIRST;
    area.impo.ReturnedName.VSOffset = static_cast<MQLONG>(offsetof(decltype(area), name));
    area.impo.ReturnedName.VSBufSize = sizeof area.name;
    MQCHARV pattern = charv("a.%");
    MQPD pd = MQPD_DEFAULT;
    MQLONG type = MQTYPE_AS_SET, length = 0;
    char value[16];
    Rc r;
    MQINQMP(h, m, &area.impo, &pattern, &pd, &type, sizeof value, value, &length, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_PROPERTY_NAME_TOO_BIG);
    EXPECT_EQ(area.impo.ReturnedName.VSLength, 18);
    Inq again = inquire(h, m, "%", MQIMPO_INQ_PROP_UNDER_CURSOR);
    EXPECT_RC(again.rc, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(again.returnedName, "a.rather.long.name");
    area.impo.Options = MQIMPO_INQ_FIRST;
    pattern = charv("short");
    MQINQMP(h, m, &area.impo, &pattern, &pd, &type, sizeof value, value, &length, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(std::string(area.name, 5), "short");
}
