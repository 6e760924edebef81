// Remote queue manager names: an MQOPEN or MQPUT1 whose ObjectQMgrName names another queue
// manager resolves to a transmission queue, and every message put there travels behind an MQXQH
// that names its destination and carries its own descriptor. There are no channels, so messages
// stay on the transmission queue, where IBM MQ's sending channel would pick them up.
#include <cstring>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"

namespace qm {

namespace {

// The version-2 fields at their defaults need no MQMDE behind the header.
bool defaultVersion2(const MQMD &md) {
    for (MQBYTE b : md.GroupId)
        if (b != 0) return false;
    return md.MsgSeqNumber == 1 && md.Offset == 0 && md.MsgFlags == MQMF_NONE &&
           md.OriginalLength == MQOL_UNDEFINED;
}

}  // namespace

MQLONG xmitHeaderLength(const MQMD &md) {
    return MQXQH_LENGTH_1 + (defaultVersion2(md) ? 0 : MQMDE_LENGTH_2);
}

void setSubDestination(Subscription &s, const Handle &dest) {
    s.queue = dest.remote() ? dest.remoteQName : dest.queue->def.name;
    s.destQMgr = dest.remoteQMgrName;
}

// The transmission queue for ObjectQMgrName qmName (not this queue manager): a local queue of
// that name, which must be a transmission queue, else the default transmission queue.
Result QueueManager::resolveXmitQ(const std::string &qmName, Queue *&xmitq) {
    xmitq = nullptr;
    if (Queue *q = findQueue(qmName)) {
        if (q->def.kind != K_QLOCAL) return Result::fail(MQRC_XMIT_Q_TYPE_ERROR);
        if (q->def.i(MQIA_USAGE) != MQUS_TRANSMISSION) return Result::fail(MQRC_XMIT_Q_USAGE_ERROR);
        xmitq = q;
        return Result::ok();
    }
    const std::string &defXmitQ = qmgr_.s(MQCA_DEF_XMIT_Q_NAME);
    if (defXmitQ.empty()) return Result::fail(MQRC_UNKNOWN_REMOTE_Q_MGR);
    Queue *q = findQueue(defXmitQ);
    if (!q) return Result::fail(MQRC_UNKNOWN_DEF_XMIT_Q);
    if (q->def.kind != K_QLOCAL) return Result::fail(MQRC_DEF_XMIT_Q_TYPE_ERROR);
    if (q->def.i(MQIA_USAGE) != MQUS_TRANSMISSION) return Result::fail(MQRC_DEF_XMIT_Q_USAGE_ERROR);
    xmitq = q;
    return Result::ok();
}

// A queue on another queue manager can only be put to. Only local names are checked; the last
// check is that a transmission queue leads there. The handle holds the transmission queue open
// for output, as IBM MQ's does.
Result QueueManager::openRemoteLocked(const OpenRequest &od, MQLONG options, Handle &h, OpenReply &out,
                                      const std::string &xmitQ) {
    if (od.objectName.empty()) return Result::fail(MQRC_UNKNOWN_OBJECT_NAME);
    const MQLONG localOnly = MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE | MQOO_BROWSE |
                             MQOO_INQUIRE | MQOO_SET | MQOO_SAVE_ALL_CONTEXT | MQOO_CO_OP;
    if (options & localOnly) return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
    Queue *xmitq = nullptr;
    Result r = resolveXmitQ(xmitQ.empty() ? od.objectQMgrName : xmitQ, xmitq);
    if (r.failed()) return r;
    h.queue = xmitq;
    h.named = nullptr;
    h.remoteQName = od.objectName;
    h.remoteQMgrName = od.objectQMgrName;
    if (options & MQOO_OUTPUT) ++xmitq->openOutput;
    ++xmitq->handles;
    out.objectName = od.objectName;
    out.resolvedQName = od.objectName;
    out.resolvedQMgrName = od.objectQMgrName;
    out.resolvedType = MQOT_Q;
    return Result::ok();
}

// Turns md, the message's descriptor as the put completed it, into the separate descriptor of
// the transmission message, and returns that message's data: the MQXQH with md embedded as a
// version-1 descriptor, an MQMDE when md's version-2 fields are not the defaults, then data.
std::string QueueManager::transmissionMessage(const Handle &h, MQMD &md, const std::string &data,
                                              int64_t now) {
    const MQLONG ccsid = qmgr_.i(MQIA_CODED_CHAR_SET_ID);
    const bool extension = !defaultVersion2(md);

    MQXQH xqh{};
    std::memcpy(xqh.StrucId, MQXQH_STRUC_ID, 4);
    xqh.Version = MQXQH_VERSION_1;
    setField(xqh.RemoteQName, sizeof xqh.RemoteQName, h.remoteQName);
    setField(xqh.RemoteQMgrName, sizeof xqh.RemoteQMgrName, h.remoteQMgrName);
    static_assert(sizeof xqh.MsgDesc == MQMD_LENGTH_1);
    std::memcpy(&xqh.MsgDesc, &md, MQMD_LENGTH_1);
    xqh.MsgDesc.Version = MQMD_VERSION_1;
    MQMDE mde{};
    if (extension) {
        // The embedded descriptor then describes the MQMDE, and the MQMDE the data.
        std::memcpy(mde.StrucId, MQMDE_STRUC_ID, 4);
        mde.Version = MQMDE_VERSION_2;
        mde.StrucLength = MQMDE_LENGTH_2;
        mde.Encoding = md.Encoding;
        mde.CodedCharSetId = md.CodedCharSetId;
        std::memcpy(mde.Format, md.Format, sizeof mde.Format);
        mde.Flags = MQMDEF_NONE;
        std::memcpy(mde.GroupId, md.GroupId, sizeof mde.GroupId);
        mde.MsgSeqNumber = md.MsgSeqNumber;
        mde.Offset = md.Offset;
        mde.MsgFlags = md.MsgFlags;
        mde.OriginalLength = md.OriginalLength;
        xqh.MsgDesc.Encoding = MQENC_NATIVE;
        xqh.MsgDesc.CodedCharSetId = ccsid;
        std::memcpy(xqh.MsgDesc.Format, MQFMT_MD_EXTENSION, 8);
    }
    std::string out(reinterpret_cast<const char *>(&xqh), sizeof xqh);
    if (extension) out.append(reinterpret_cast<const char *>(&mde), sizeof mde);
    out += data;

    // The separate descriptor: what a getter of the transmission queue sees.
    MQMD t = MQMD_DEFAULT;
    t.Version = MQMD_VERSION_2;
    // Confirm-on-arrival and -delivery belong to the destination, not to the transmission queue.
    t.Report = md.Report & ~MQRO_ACCEPT_UNSUP_IF_XMIT_MASK;
    t.MsgType = md.MsgType;
    t.Expiry = md.Expiry;
    t.Feedback = md.Feedback;
    t.Encoding = MQENC_NATIVE;
    t.CodedCharSetId = ccsid;
    std::memcpy(t.Format, MQFMT_XMIT_Q_HEADER, 8);
    t.Priority = md.Priority;
    t.Persistence = md.Persistence;
    newMsgId(t.MsgId);
    std::memcpy(t.CorrelId, md.MsgId, sizeof t.CorrelId);
    t.BackoutCount = 0;
    std::memcpy(t.ReplyToQ, md.ReplyToQ, sizeof t.ReplyToQ);
    std::memcpy(t.ReplyToQMgr, md.ReplyToQMgr, sizeof t.ReplyToQMgr);
    std::memcpy(t.UserIdentifier, md.UserIdentifier, sizeof t.UserIdentifier);
    std::memcpy(t.AccountingToken, md.AccountingToken, sizeof t.AccountingToken);
    std::memcpy(t.ApplIdentityData, md.ApplIdentityData, sizeof t.ApplIdentityData);
    t.PutApplType = MQAT_QMGR;
    setField(t.PutApplName, sizeof t.PutApplName, qmgr_.name.substr(0, 28));
    qmos::mqDateTime(now, t.PutDate, t.PutTime);
    setField(t.ApplOriginData, sizeof t.ApplOriginData, "");
    md = t;
    return out;
}

}  // namespace qm
