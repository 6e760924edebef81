// Message handles and their properties, kept in the library as IBM MQ keeps them in the
// application's process: MQCRTMH, MQDLTMH, MQSETMP, MQINQMP, MQDLTMP, and MQMHBUF/MQBUFMH between
// a handle and the MQRFH2 form. Each handle has its own lock-free list under one table lock.
#include "miniqm/msgh.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "miniqm/props.h"

#ifdef _WIN32  // mqic.dll: the verbs under their plain C names, as GetProcAddress asks for them
#define MINIQM_EXPORT extern "C" __declspec(dllexport)
#else
#define MINIQM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct MsgHandle {
    qmprops::PropertyList props;  // with MQINQMP's property cursor
};

std::mutex gMu;
std::map<MQHMSG, MsgHandle> gHandles;
MQHMSG gNext = 1;

void setResult(PMQLONG cc, PMQLONG rc, MQLONG c, MQLONG r) {
    if (cc) *cc = c;
    if (rc) *rc = r;
}

bool structOk(const void *p, const char *id, MQLONG maxVersion) {
    if (!p) return false;
    MQLONG version;
    std::memcpy(&version, static_cast<const char *>(p) + 4, 4);
    return std::memcmp(p, id, 4) == 0 && version >= 1 && version <= maxVersion;
}

// Options of an options structure laid out as StrucId, Version, Options (MQMHBO has no declaration
// of its own here).
MQLONG optionsOf(const void *p) {
    MQLONG o;
    std::memcpy(&o, static_cast<const char *>(p) + 8, 4);
    return o;
}

// The text of an MQCHARV given as a parameter: VSOffset counts from the MQCHARV itself.
bool charvText(const void *p, std::string &out) {
    if (!p) return false;
    const auto *v = static_cast<const MQCHARV *>(p);
    const char *s = static_cast<const char *>(v->VSPtr);
    if (!s && v->VSOffset > 0) s = static_cast<const char *>(p) + v->VSOffset;
    if (v->VSLength == MQVS_NULL_TERMINATED) {
        if (!s) return false;
        out = s;
    } else if (v->VSLength < 0 || (v->VSLength > 0 && !s)) {
        return false;
    } else {
        out.assign(s ? s : "", static_cast<size_t>(v->VSLength));
    }
    return true;
}

// Looks the handle up; on failure sets 2018 or 2460.
MsgHandle *find(MQHCONN hconn, MQHMSG hmsg, PMQLONG cc, PMQLONG rc) {
    if (!qmmsgh::connectionUsable(hconn)) {
        setResult(cc, rc, MQCC_FAILED, MQRC_HCONN_ERROR);
        return nullptr;
    }
    auto it = gHandles.find(hmsg);
    if (it == gHandles.end()) {
        setResult(cc, rc, MQCC_FAILED, MQRC_HMSG_ERROR);
        return nullptr;
    }
    return &it->second;
}

}  // namespace

namespace qmmsgh {

bool propertiesOf(MQHMSG hmsg, std::string &encoded) {
    std::lock_guard<std::mutex> lock(gMu);
    auto it = gHandles.find(hmsg);
    if (it == gHandles.end()) return false;
    encoded = it->second.props.encode();
    it->second.props.resetCursor();  // MQPUT with the handle, as IBM MQ does
    return true;
}

bool storeProperties(MQHMSG hmsg, std::string_view encoded) {
    std::lock_guard<std::mutex> lock(gMu);
    auto it = gHandles.find(hmsg);
    if (it == gHandles.end()) return false;
    return qmprops::PropertyList::decode(encoded, it->second.props);  // the cursor starts again
}

bool known(MQHMSG hmsg) {
    std::lock_guard<std::mutex> lock(gMu);
    return gHandles.count(hmsg) != 0;
}

}  // namespace qmmsgh

MINIQM_EXPORT void MQCRTMH(MQHCONN Hconn, PMQVOID pCrtMsgHOpts, PMQHMSG pHmsg, PMQLONG pCompCode,
                           PMQLONG pReason) {
    if (qmmsgh::faulted(Hconn, "MQCRTMH", pCompCode, pReason)) return;
    if (!qmmsgh::connectionUsable(Hconn)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HCONN_ERROR);
    if (!structOk(pCrtMsgHOpts, MQCMHO_STRUC_ID, MQCMHO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_CMHO_ERROR);
    MQLONG options = static_cast<const MQCMHO *>(pCrtMsgHOpts)->Options;
    if (options & ~(MQCMHO_VALIDATE | MQCMHO_NO_VALIDATION) ||
        options == (MQCMHO_VALIDATE | MQCMHO_NO_VALIDATION))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    if (!pHmsg) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HMSG_ERROR);
    std::lock_guard<std::mutex> lock(gMu);
    MQHMSG h = gNext++;
    gHandles[h];
    *pHmsg = h;
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}

MINIQM_EXPORT void MQDLTMH(MQHCONN Hconn, PMQHMSG pHmsg, PMQVOID pDltMsgHOpts, PMQLONG pCompCode,
                           PMQLONG pReason) {
    if (qmmsgh::faulted(Hconn, "MQDLTMH", pCompCode, pReason)) return;
    if (!structOk(pDltMsgHOpts, MQDMHO_STRUC_ID, MQDMHO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_DMHO_ERROR);
    if (!pHmsg) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_HMSG_ERROR);
    std::lock_guard<std::mutex> lock(gMu);
    if (!find(Hconn, *pHmsg, pCompCode, pReason)) return;
    gHandles.erase(*pHmsg);
    *pHmsg = MQHM_UNUSABLE_HMSG;
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}

MINIQM_EXPORT void MQSETMP(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pSetPropOpts, PMQVOID pName, PMQVOID pPropDesc,
                           MQLONG Type, MQLONG ValueLength, PMQVOID pValue, PMQLONG pCompCode,
                           PMQLONG pReason) {
    if (qmmsgh::faulted(Hconn, "MQSETMP", pCompCode, pReason)) return;
    std::lock_guard<std::mutex> lock(gMu);
    MsgHandle *h = find(Hconn, Hmsg, pCompCode, pReason);
    if (!h) return;
    if (!structOk(pSetPropOpts, MQSMPO_STRUC_ID, MQSMPO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_SMPO_ERROR);
    const auto *smpo = static_cast<const MQSMPO *>(pSetPropOpts);
    // One place at most: the first of the name (none given), appended, or beside or under the cursor.
    constexpr MQLONG kPlaces[] = {MQSMPO_SET_PROP_UNDER_CURSOR, MQSMPO_SET_PROP_AFTER_CURSOR,
                                  MQSMPO_APPEND_PROPERTY, MQSMPO_SET_PROP_BEFORE_CURSOR};
    MQLONG place = smpo->Options, known = 0;
    int places = 0;
    for (MQLONG bit : kPlaces) {
        places += (place & bit) ? 1 : 0;
        known |= bit;
    }
    if (places > 1 || (place & ~known)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    std::string name;
    if (!charvText(pName, name)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_NAME_ERROR);
    if (MQLONG r = qmprops::checkName(name, false)) return setResult(pCompCode, pReason, MQCC_FAILED, r);
    if (!structOk(pPropDesc, MQPD_STRUC_ID, MQPD_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PD_ERROR);
    const auto *pd = static_cast<const MQPD *>(pPropDesc);
    MQLONG ccsid = smpo->ValueCCSID;
    if (ccsid <= 0) ccsid = 1208;  // MQCCSI_APPL: this library's applications write UTF-8
    qmprops::Property p;
    if (MQLONG r = qmprops::makeProperty(name, Type, pValue, ValueLength, ccsid, p))
        return setResult(pCompCode, pReason, MQCC_FAILED, r);
    p.support = pd->Support;
    p.context = pd->Context;
    p.copyOptions = pd->CopyOptions;
    if (place == MQSMPO_SET_FIRST || place == MQSMPO_APPEND_PROPERTY) {
        h->props.set(std::move(p), place == MQSMPO_APPEND_PROPERTY);
    } else if (MQLONG r = h->props.setAtCursor(std::move(p), place)) {
        return setResult(pCompCode, pReason, MQCC_FAILED, r);
    }
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}

MINIQM_EXPORT void MQINQMP(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pInqPropOpts, PMQVOID pName, PMQVOID pPropDesc,
                           PMQLONG pType, MQLONG ValueLength, PMQVOID pValue, PMQLONG pDataLength,
                           PMQLONG pCompCode, PMQLONG pReason) {
    if (qmmsgh::faulted(Hconn, "MQINQMP", pCompCode, pReason)) return;
    std::lock_guard<std::mutex> lock(gMu);
    MsgHandle *h = find(Hconn, Hmsg, pCompCode, pReason);
    if (!h) return;
    if (!structOk(pInqPropOpts, MQIMPO_STRUC_ID, MQIMPO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_IMPO_ERROR);
    auto *impo = static_cast<MQIMPO *>(pInqPropOpts);
    MQLONG o = impo->Options;
    constexpr MQLONG known = MQIMPO_CONVERT_TYPE | MQIMPO_CONVERT_VALUE | MQIMPO_INQ_NEXT |
                             MQIMPO_INQ_PROP_UNDER_CURSOR | MQIMPO_QUERY_LENGTH;
    if ((o & ~known) || ((o & MQIMPO_INQ_NEXT) && (o & MQIMPO_INQ_PROP_UNDER_CURSOR)))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    if (!pType) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_TYPE_ERROR);
    if (ValueLength < 0 || (ValueLength > 0 && !pValue))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BUFFER_LENGTH_ERROR);
    if (!pDataLength) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_DATA_LENGTH_ERROR);
    std::string pattern;
    if (!charvText(pName, pattern))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_NAME_ERROR);
    if (MQLONG r = qmprops::checkInquiryName(pattern)) return setResult(pCompCode, pReason, MQCC_FAILED, r);
    const qmprops::Property *p = nullptr;
    if (MQLONG r = h->props.find(pattern, o, p)) return setResult(pCompCode, pReason, MQCC_FAILED, r);
    std::string value;
    MQLONG type = 0, ccsid = 0;
    if (MQLONG r = qmprops::render(*p, o, *pType, impo->RequestedCCSID, value, type, ccsid))
        return setResult(pCompCode, pReason, MQCC_FAILED, r);
    // Only INQ_FIRST and INQ_NEXT move the cursor (and set the name INQ_NEXT goes on with); under
    // the cursor it is where it was.
    if (!(o & (MQIMPO_QUERY_LENGTH | MQIMPO_INQ_PROP_UNDER_CURSOR))) h->props.moveCursor(*p, pattern);
    *pType = type;
    *pDataLength = static_cast<MQLONG>(value.size());
    impo->ReturnedCCSID = ccsid;
    impo->ReturnedEncoding = MQENC_NATIVE;
    std::memset(impo->TypeString, ' ', 8);
    // The name goes where ReturnedName points (VSPtr, or VSOffset from the start of the MQIMPO); a
    // buffer too small for it fails the call, the cursor moved so that the caller can ask again.
    MQCHARV &rn = impo->ReturnedName;
    char *nameBuf = static_cast<char *>(rn.VSPtr);
    if (!nameBuf && rn.VSOffset > 0) nameBuf = reinterpret_cast<char *>(impo) + rn.VSOffset;
    bool nameTooBig = false;
    if (nameBuf) {
        rn.VSLength = static_cast<MQLONG>(p->name.size());
        rn.VSCCSID = 1208;
        nameTooBig = rn.VSBufSize < rn.VSLength;
        if (!nameTooBig) std::memcpy(nameBuf, p->name.data(), p->name.size());
    }
    if (pPropDesc && structOk(pPropDesc, MQPD_STRUC_ID, MQPD_VERSION_1)) {
        auto *pd = static_cast<MQPD *>(pPropDesc);
        pd->Support = p->support;
        pd->Context = p->context;
        pd->CopyOptions = p->copyOptions;
    }
    if (nameTooBig) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_NAME_TOO_BIG);
    if (o & MQIMPO_QUERY_LENGTH) return setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
    if (static_cast<MQLONG>(value.size()) > ValueLength)  // the caller retries under the cursor
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_VALUE_TOO_BIG);
    if (!value.empty()) std::memcpy(pValue, value.data(), value.size());
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}

MINIQM_EXPORT void MQDLTMP(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pDltPropOpts, PMQVOID pName, PMQLONG pCompCode,
                           PMQLONG pReason) {
    if (qmmsgh::faulted(Hconn, "MQDLTMP", pCompCode, pReason)) return;
    std::lock_guard<std::mutex> lock(gMu);
    MsgHandle *h = find(Hconn, Hmsg, pCompCode, pReason);
    if (!h) return;
    if (!structOk(pDltPropOpts, MQDMPO_STRUC_ID, MQDMPO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_DMPO_ERROR);
    MQLONG o = static_cast<const MQDMPO *>(pDltPropOpts)->Options;
    if (o & ~MQDMPO_DEL_PROP_UNDER_CURSOR)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    std::string name;
    if (!charvText(pName, name)) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_NAME_ERROR);
    if (MQLONG r = qmprops::checkName(name, true)) return setResult(pCompCode, pReason, MQCC_FAILED, r);
    // Nothing of that name is a warning; no property under the cursor fails, as IBM MQ has it.
    if (h->props.remove(name, o) != MQRC_NONE)
        return setResult(pCompCode, pReason, (o & MQDMPO_DEL_PROP_UNDER_CURSOR) ? MQCC_FAILED : MQCC_WARNING,
                         MQRC_PROPERTY_NOT_AVAILABLE);
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}

// Handle -> MQRFH2 in the buffer (MQMHBO_PROPERTIES_IN_MQRFH2), of the properties matching Name.
MINIQM_EXPORT void MQMHBUF(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pMsgHBufOpts, PMQVOID pName, PMQVOID pMsgDesc,
                           MQLONG BufferLength, PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode,
                           PMQLONG pReason) {
    if (qmmsgh::faulted(Hconn, "MQMHBUF", pCompCode, pReason)) return;
    std::lock_guard<std::mutex> lock(gMu);
    MsgHandle *h = find(Hconn, Hmsg, pCompCode, pReason);
    if (!h) return;
    if (!structOk(pMsgHBufOpts, MQMHBO_STRUC_ID, MQMHBO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_MHBO_ERROR);
    MQLONG o = optionsOf(pMsgHBufOpts);
    if (!(o & MQMHBO_PROPERTIES_IN_MQRFH2) || (o & ~(MQMHBO_PROPERTIES_IN_MQRFH2 | MQMHBO_DELETE_PROPERTIES)))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_MHBO_ERROR);
    std::string pattern;
    if (!charvText(pName, pattern))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_NAME_ERROR);
    if (MQLONG r = qmprops::checkName(pattern, true)) return setResult(pCompCode, pReason, MQCC_FAILED, r);
    auto *md = static_cast<MQMD *>(pMsgDesc);
    if (!md || std::memcmp(md->StrucId, MQMD_STRUC_ID, 4) != 0)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_MD_ERROR);
    if (BufferLength < 0 || (BufferLength > 0 && !pBuffer) || !pDataLength)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BUFFER_LENGTH_ERROR);
    qmprops::PropertyList chosen;
    for (const qmprops::Property &p : h->props.items())
        if (qmprops::nameMatches(pattern, p.name)) chosen.set(p, true);
    if (chosen.empty()) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_PROPERTY_NOT_AVAILABLE);
    std::string header = qmprops::rfh2(chosen, md->Encoding, md->CodedCharSetId, md->Format);
    *pDataLength = static_cast<MQLONG>(header.size());
    if (static_cast<MQLONG>(header.size()) > BufferLength)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_TRUNCATED_MSG_FAILED);
    std::memcpy(pBuffer, header.data(), header.size());
    std::memcpy(md->Format, MQFMT_RF_HEADER_2, 8);
    md->Encoding = MQENC_NATIVE;
    if (o & MQMHBO_DELETE_PROPERTIES)
        for (const qmprops::Property &p : chosen.items()) h->props.remove(p.name, 0);
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}

// MQRFH2 at the start of the buffer -> handle; with MQBMHO_DELETE_PROPERTIES the header leaves the
// buffer and the descriptor describes what follows it.
MINIQM_EXPORT void MQBUFMH(MQHCONN Hconn, MQHMSG Hmsg, PMQVOID pBufMsgHOpts, PMQVOID pMsgDesc,
                           MQLONG BufferLength, PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode,
                           PMQLONG pReason) {
    if (qmmsgh::faulted(Hconn, "MQBUFMH", pCompCode, pReason)) return;
    std::lock_guard<std::mutex> lock(gMu);
    MsgHandle *h = find(Hconn, Hmsg, pCompCode, pReason);
    if (!h) return;
    if (!structOk(pBufMsgHOpts, MQBMHO_STRUC_ID, MQBMHO_VERSION_1))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BMHO_ERROR);
    MQLONG o = static_cast<const MQBMHO *>(pBufMsgHOpts)->Options;
    if (o & ~MQBMHO_DELETE_PROPERTIES) return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BMHO_ERROR);
    auto *md = static_cast<MQMD *>(pMsgDesc);
    if (!md || std::memcmp(md->StrucId, MQMD_STRUC_ID, 4) != 0)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_MD_ERROR);
    if (BufferLength < 0 || (BufferLength > 0 && !pBuffer))
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_BUFFER_LENGTH_ERROR);
    if (std::memcmp(md->Format, MQFMT_RF_HEADER_2, 8) != 0)
        return setResult(pCompCode, pReason, MQCC_FAILED, MQRC_RFH_ERROR);
    std::string_view data(static_cast<const char *>(pBuffer), static_cast<size_t>(BufferLength));
    qmprops::PropertyList found;
    size_t length = 0;
    MQLONG encoding = 0, ccsid = 0;
    std::string format;
    if (MQLONG r = qmprops::parseRfh2(data, found, length, encoding, ccsid, format))
        return setResult(pCompCode, pReason, MQCC_FAILED, r);
    for (const qmprops::Property &p : found.items()) h->props.set(p, false);
    if (o & MQBMHO_DELETE_PROPERTIES) {
        std::memmove(pBuffer, static_cast<char *>(pBuffer) + length,
                     static_cast<size_t>(BufferLength) - length);
        if (pDataLength) *pDataLength = BufferLength - static_cast<MQLONG>(length);
        md->Encoding = encoding;
        md->CodedCharSetId = ccsid;
        std::memcpy(md->Format, format.data(), 8);
    } else if (pDataLength) {
        *pDataLength = BufferLength;
    }
    setResult(pCompCode, pReason, MQCC_OK, MQRC_NONE);
}
