// Channel records between the file and memory. On file a record is the MQCD of its own version
// (1 to 12) packed as a 32-bit program lays it out, a trailer, and from version 4 the exit-list
// area, the padding of versions below 9 and from version 7 the SSL peer name. In memory it is
// always a ChannelRecord. One table drives both directions; the file side is read and written
// little-endian through the bounds-checked helpers, the memory side by field offsets.
//
// File records are untrusted: every length that sizes or places something (the record's own, the
// exit-list area, the peer name, the exit widths) is checked before it is used.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ccdt/internal.h"

namespace {

enum class Kind { Chars, Longs, Pointer, Time, Marker };

struct Row {
    const char *label;
    int32_t from;  // first MQCD version holding the field
    Kind kind;
    size_t memory;  // offset in ChannelRecord
    uint32_t size;  // characters, or count of longs
};

#define CD(field) offsetof(ChannelRecord, mqcd) + offsetof(MQCD, field)
#define TR(field) offsetof(ChannelRecord, field)

constexpr Row kRows[] = {
    {"Channel Name", 1, Kind::Chars, CD(ChannelName), 20},
    {"Version", 1, Kind::Longs, CD(Version), 1},
    {"Channel Type", 1, Kind::Longs, CD(ChannelType), 1},
    {"Transport Type", 1, Kind::Longs, CD(TransportType), 1},
    {"Description", 1, Kind::Chars, CD(Desc), 64},
    {"QMgr Name", 1, Kind::Chars, CD(QMgrName), 48},
    {"XmitQ name", 1, Kind::Chars, CD(XmitQName), 48},
    {"Short Connection Name", 1, Kind::Chars, CD(ShortConnectionName), 20},
    {"MCA Name", 1, Kind::Chars, CD(MCAName), 20},
    {"Mode Name", 1, Kind::Chars, CD(ModeName), 8},
    {"Tp Name", 1, Kind::Chars, CD(TpName), 64},
    {"Batch Size", 1, Kind::Longs, CD(BatchSize), 1},
    {"Disc. Interval", 1, Kind::Longs, CD(DiscInterval), 1},
    {"Short Retry Count", 1, Kind::Longs, CD(ShortRetryCount), 1},
    {"Short Retry Interval", 1, Kind::Longs, CD(ShortRetryInterval), 1},
    {"Long Retry Count", 1, Kind::Longs, CD(LongRetryCount), 1},
    {"Long Retry Interval", 1, Kind::Longs, CD(LongRetryInterval), 1},
    {"Security Exit", 1, Kind::Chars, CD(SecurityExit), 128},
    {"Message Exit", 1, Kind::Chars, CD(MsgExit), 128},
    {"Send Exit", 1, Kind::Chars, CD(SendExit), 128},
    {"Receive Exit", 1, Kind::Chars, CD(ReceiveExit), 128},
    {"Sequence Wrap", 1, Kind::Longs, CD(SeqNumberWrap), 1},
    {"Max Message Length", 1, Kind::Longs, CD(MaxMsgLength), 1},
    {"Put Authority", 1, Kind::Longs, CD(PutAuthority), 1},
    {"Data Conversion", 1, Kind::Longs, CD(DataConversion), 1},
    {"Security User Data", 1, Kind::Chars, CD(SecurityUserData), 32},
    {"Message User Data", 1, Kind::Chars, CD(MsgUserData), 32},
    {"Send User Data", 1, Kind::Chars, CD(SendUserData), 32},
    {"Receive User Data", 1, Kind::Chars, CD(ReceiveUserData), 32},
    {"User Identifier", 2, Kind::Chars, CD(UserIdentifier), 12},
    {"Password", 2, Kind::Chars, CD(Password), 12},
    {"MCA User Id", 2, Kind::Chars, CD(MCAUserIdentifier), 12},
    {"MCA Type", 2, Kind::Longs, CD(MCAType), 1},
    {"Connection Name", 2, Kind::Chars, CD(ConnectionName), 264},
    {"Remote Useridentifer", 2, Kind::Chars, CD(RemoteUserIdentifier), 12},
    {"Remote Password", 2, Kind::Chars, CD(RemotePassword), 12},
    {"Msg Retry Exit", 3, Kind::Chars, CD(MsgRetryExit), 128},
    {"Msg Retry User Data", 3, Kind::Chars, CD(MsgRetryUserData), 32},
    {"Msg Retry Count", 3, Kind::Longs, CD(MsgRetryCount), 1},
    {"Msg Retry Interval", 3, Kind::Longs, CD(MsgRetryInterval), 1},
    {"Heartbeat Interval", 4, Kind::Longs, CD(HeartbeatInterval), 1},
    {"Batch Interval", 4, Kind::Longs, CD(BatchInterval), 1},
    {"NPM Speed", 4, Kind::Longs, CD(NonPersistentMsgSpeed), 1},
    {"Struc Length", 4, Kind::Longs, CD(StrucLength), 1},
    {"Exit Name Length", 4, Kind::Longs, CD(ExitNameLength), 1},
    {"Exit Data Length", 4, Kind::Longs, CD(ExitDataLength), 1},
    {"Msg Exits Defined", 4, Kind::Longs, CD(MsgExitsDefined), 1},
    {"Snd Exits Defined", 4, Kind::Longs, CD(SendExitsDefined), 1},
    {"Rcv Exits Defined", 4, Kind::Longs, CD(ReceiveExitsDefined), 1},
    {"Msg Exits Ptr", 4, Kind::Pointer, CD(MsgExitPtr), 0},
    {"Msg Data  Ptr", 4, Kind::Pointer, CD(MsgUserDataPtr), 0},
    {"Snd Exits Ptr", 4, Kind::Pointer, CD(SendExitPtr), 0},
    {"Snd Data  Ptr", 4, Kind::Pointer, CD(SendUserDataPtr), 0},
    {"Rcv Exits Ptr", 4, Kind::Pointer, CD(ReceiveExitPtr), 0},
    {"Rcv Data  Ptr", 4, Kind::Pointer, CD(ReceiveUserDataPtr), 0},
    {"Cluster Ptr", 5, Kind::Pointer, CD(ClusterPtr), 0},
    {"Clusters Defined", 5, Kind::Longs, CD(ClustersDefined), 1},
    {"Network Priority", 5, Kind::Longs, CD(NetworkPriority), 1},
    {"Long MCA UserId Length", 6, Kind::Longs, CD(LongMCAUserIdLength), 1},
    {"Long Remote UserId Length", 6, Kind::Longs, CD(LongRemoteUserIdLength), 1},
    {"Long MCA Userid Ptr", 6, Kind::Pointer, CD(LongMCAUserIdPtr), 0},
    {"Long Remote Ptr", 6, Kind::Pointer, CD(LongRemoteUserIdPtr), 0},
    {"MCA Security Id", 6, Kind::Chars, CD(MCASecurityId), 40},
    {"Remote Security Id", 6, Kind::Chars, CD(RemoteSecurityId), 40},
    {"SSL Cipher Spec", 7, Kind::Chars, CD(SSLCipherSpec), 32},
    {"SSL PeerName Ptr", 7, Kind::Pointer, CD(SSLPeerNamePtr), 0},
    {"SSL PeerName Length", 7, Kind::Longs, CD(SSLPeerNameLength), 1},
    {"SSL Client Auth", 7, Kind::Longs, CD(SSLClientAuth), 1},
    {"Keep Alive Int.", 7, Kind::Longs, CD(KeepAliveInterval), 1},
    {"Local Address", 7, Kind::Chars, CD(LocalAddress), 48},
    {"Batch Heartbeat", 7, Kind::Longs, CD(BatchHeartbeat), 1},
    {"Hdr Comp", 8, Kind::Longs, CD(HdrCompList), 2},
    {"Msg Comp", 8, Kind::Longs, CD(MsgCompList), 16},
    {"CLWL Rank", 8, Kind::Longs, CD(CLWLChannelRank), 1},
    {"CLWL Priority", 8, Kind::Longs, CD(CLWLChannelPriority), 1},
    {"CLWL Weight", 8, Kind::Longs, CD(CLWLChannelWeight), 1},
    {"Monitoring", 8, Kind::Longs, CD(ChannelMonitoring), 1},
    {"Statistics", 8, Kind::Longs, CD(ChannelStatistics), 1},
    {"Sharing Conversations", 9, Kind::Longs, CD(SharingConversations), 1},
    {"Property Control", 9, Kind::Longs, CD(PropertyControl), 1},
    {"Maximum Instances", 9, Kind::Longs, CD(MaxInstances), 1},
    {"Max Instances per Client", 9, Kind::Longs, CD(MaxInstancesPerClient), 1},
    {"Client Channel Weight", 9, Kind::Longs, CD(ClientChannelWeight), 1},
    {"Connection Affinity", 9, Kind::Longs, CD(ConnectionAffinity), 1},
    {"Batch Data Limit", 10, Kind::Longs, CD(BatchDataLimit), 1},
    {"Use DLQ", 10, Kind::Longs, CD(UseDLQ), 1},
    {"Default Reconnect", 10, Kind::Longs, CD(DefReconnect), 1},
    {"Certificate Label", 11, Kind::Chars, CD(CertificateLabel), 64},
    {"SPL Protection", 12, Kind::Longs, CD(SPLProtection), 1},
    {"End of MQCD Marker", 1, Kind::Marker, 0, 0},
    {"New Sequence Number", 1, Kind::Longs, TR(newSequenceNumber), 1},
    {"Encrypt", 1, Kind::Longs, TR(encrypt), 1},
    {"ExitListsLen", 4, Kind::Longs, TR(exitListsLen), 1},
    {"Flags", 5, Kind::Longs, TR(flags), 1},
    {"Cluster", 5, Kind::Chars, TR(cluster), 48},
    {"Alter Time", 5, Kind::Time, TR(alterTime), 0},
    {"Long MCA User", 6, Kind::Chars, TR(longMcaUser), 64},
};
static_assert(sizeof kRows / sizeof kRows[0] == 97);

#undef CD
#undef TR

constexpr uint32_t fileWidth(const Row &row) {
    switch (row.kind) {
        case Kind::Chars:
            return row.size;
        case Kind::Longs:
            return 4 * row.size;
        case Kind::Pointer:
        case Kind::Time:
            return 4;
        case Kind::Marker:
            return 0;
    }
    return 0;
}

// The file bytes of the rows of a version before (MQCD part) or after (trailer) the marker.
constexpr uint32_t partLength(int32_t version, bool trailer) {
    uint32_t total = 0;
    bool after = false;
    for (const Row &row : kRows) {
        if (row.kind == Kind::Marker) {
            after = true;
            continue;
        }
        if (after == trailer && row.from <= version) total += fileWidth(row);
    }
    return total;
}

static_assert(partLength(1, false) == 984 && partLength(2, false) == 1312 && partLength(3, false) == 1480);
static_assert(partLength(4, false) == 1540 && partLength(5, false) == 1552 && partLength(6, false) == 1648);
static_assert(partLength(7, false) == 1748 && partLength(8, false) == 1840 && partLength(9, false) == 1864);
static_assert(partLength(10, false) == 1876 && partLength(11, false) == 1940 &&
              partLength(12, false) == 1944);
static_assert(partLength(3, true) == 8 && partLength(4, true) == 12 && partLength(5, true) == 68);
static_assert(partLength(6, true) == 132 && partLength(12, true) == 132);

constexpr uint32_t kFixedMax = partLength(12, false) + partLength(12, true);
// The largest file record: the fixed part, the area, padding and zeros, the peer name.
constexpr uint32_t kFileRecordMax = kFixedMax + CCDT_TAIL_MAX;
constexpr uint32_t kVersionAt = 20;
constexpr uint32_t kPeerSkipMax = 4;  // zero bytes before a peer name: the padding and two more

std::atomic<int> outputVersion{12};

int32_t getI32(const void *record, size_t offset) {
    int32_t v;
    std::memcpy(&v, static_cast<const uint8_t *>(record) + offset, 4);
    return v;
}

void putI32(void *record, size_t offset, int32_t v) {
    std::memcpy(static_cast<uint8_t *>(record) + offset, &v, 4);
}

int badLength(char *text, size_t textSize) {
    ccdtMessage(text, textSize, "Error accessing file RC(%d)", CCDT_RC_BAD_DATA);
    return CCDT_E_FILE;
}

// The six lists of an area end inside it: each entry ends with 0x02, each list with 0x01.
bool areaWellFormed(const uint8_t *area, uint32_t length) {
    uint32_t at = 0;
    for (int list = 0; list < 6; list++) {
        while (true) {
            const void *mark = std::memchr(area + at, 0x01, length - at);
            if (!mark) return false;
            auto end = static_cast<uint32_t>(static_cast<const uint8_t *>(mark) - area);
            // Entries between must each end with 0x02: the list's last byte before 0x01 is 0x02 or none.
            if (end > at && area[end - 1] != 0x02) return false;
            at = end + 1;
            break;
        }
    }
    return true;
}

}  // namespace

void ccdtSetOutputVersion(int version) {
    outputVersion.store(version);
}

int ccdtGetOutputVersion() {
    return outputVersion.load();
}

uint32_t ccdtPadding(int32_t version, int32_t areaLength) {
    if (version >= 9) return 0;
    return areaLength == 6 ? 2 : areaLength == 7 ? 1 : 0;
}

int ccdtLocatePeer(const uint8_t *tail, uint32_t tailLength, int32_t areaLength, int32_t peerLength,
                   uint32_t *at) {
    if (areaLength < 0 || peerLength < 0 || static_cast<uint32_t>(areaLength) > tailLength) return 0;
    uint32_t position = static_cast<uint32_t>(areaLength);
    for (uint32_t skipped = 0; skipped < kPeerSkipMax && position < tailLength && tail[position] == 0;
         skipped++)
        position++;
    if (static_cast<uint64_t>(position) + static_cast<uint32_t>(peerLength) > tailLength) return 0;
    *at = position;
    return 1;
}

int ccdtAreaWellFormed(const uint8_t *area, int32_t length) {
    if (length == 0) return 1;
    if (length < 6) return 0;
    return areaWellFormed(area, static_cast<uint32_t>(length)) ? 1 : 0;
}

uint32_t ccdtTrimmedLength(const char *text, uint32_t size) {
    while (size > 0) {
        char c = text[size - 1];
        if (c != ' ' && c != '\0' && c != '\t' && c != '\n') break;
        size--;
    }
    return size;
}

// One list of the area: from a cursor to behind its 0x01; *first gets its first entry.
const uint8_t *ccdtListFirst(const uint8_t *at, const uint8_t *end, const uint8_t **first,
                             uint32_t *firstLength) {
    *first = nullptr;
    *firstLength = 0;
    const uint8_t *entry = at;
    while (at < end && *at != 0x01) {
        if (*at == 0x02) {
            if (!*first) {
                *first = entry;
                *firstLength = static_cast<uint32_t>(at - entry);
            }
            entry = at + 1;
        }
        at++;
    }
    return at < end ? at + 1 : end;
}

void ccdtDefaultChannel(ChannelRecord *record) {
    std::memset(record, 0, sizeof *record);
    MQCD &cd = record->mqcd;
    cd.Version = 6;
    cd.ChannelType = 1;
    cd.TransportType = 1;
    cd.BatchSize = 50;
    cd.DiscInterval = 6000;
    cd.ShortRetryCount = 10;
    cd.ShortRetryInterval = 60;
    cd.LongRetryCount = 999999999;
    cd.LongRetryInterval = 1200;
    cd.SeqNumberWrap = 999999999;
    cd.MaxMsgLength = 4194304;
    cd.PutAuthority = 1;
    cd.MCAType = 1;
    cd.MsgRetryCount = 10;
    cd.MsgRetryInterval = 1000;
    cd.HeartbeatInterval = 300;
    cd.NonPersistentMsgSpeed = 2;
    cd.StrucLength = 1992;
    cd.ExitNameLength = 128;
    cd.ExitDataLength = 32;
    cd.KeepAliveInterval = -1;
    cd.HdrCompList[0] = 0;
    cd.HdrCompList[1] = -1;
    cd.MsgCompList[0] = 0;
    for (int i = 1; i < 16; i++) cd.MsgCompList[i] = -1;
    cd.CLWLChannelWeight = 50;
    cd.SharingConversations = 10;
    cd.MaxInstances = 999999999;
    cd.MaxInstancesPerClient = 999999999;
    cd.ConnectionAffinity = 1;
    cd.BatchDataLimit = 5000;
    cd.UseDLQ = 2;
}

namespace {

// The single exit fields of a memory record, in the order of the area's lists.
struct Single {
    size_t memory;
    uint32_t width;
};
constexpr Single kSingles[6] = {
    {offsetof(MQCD, MsgExit), 128},     {offsetof(MQCD, MsgUserData), 32},
    {offsetof(MQCD, SendExit), 128},    {offsetof(MQCD, SendUserData), 32},
    {offsetof(MQCD, ReceiveExit), 128}, {offsetof(MQCD, ReceiveUserData), 32},
};

// The area built from the six single fields: each non-blank field the only entry of its list.
uint32_t areaFromSingles(const MQCD &cd, uint8_t *area) {
    uint32_t at = 0;
    for (const Single &s : kSingles) {
        const char *field = reinterpret_cast<const char *>(&cd) + s.memory;
        uint32_t length = ccdtTrimmedLength(field, s.width);
        if (length > 0) {
            std::memcpy(area + at, field, length);
            at += length;
            area[at++] = 0x02;
        }
        area[at++] = 0x01;
    }
    return at;
}

// The single fields of an output MQCD from the first entries of a sound area.
void singlesFromArea(MQCD *cd, const uint8_t *area, int32_t length) {
    if (length <= 0) return;
    const uint8_t *at = area, *end = area + length;
    for (const Single &s : kSingles) {
        const uint8_t *first;
        uint32_t firstLength;
        at = ccdtListFirst(at, end, &first, &firstLength);
        char *field = reinterpret_cast<char *>(cd) + s.memory;
        std::memset(field, ' ', s.width);
        if (first) std::memcpy(field, first, firstLength < s.width ? firstLength : s.width);
    }
}

// Copies the rows present in both versions; the memory side is a ChannelRecord.
void walkRows(uint8_t *memory, uint8_t *file, int32_t fileVersion, bool toFile, uint32_t *fileLength) {
    uint32_t at = 0;
    for (const Row &row : kRows) {
        if (row.from > fileVersion) continue;
        uint8_t *m = memory + row.memory;
        uint8_t *f = file + at;
        switch (row.kind) {
            case Kind::Chars:
                if (toFile)
                    std::memcpy(f, m, row.size);
                else
                    std::memcpy(m, f, row.size);
                break;
            case Kind::Longs:
                for (uint32_t i = 0; i < row.size; i++) {
                    if (toFile)
                        mqiPutI32(f, 4 * i, getI32(m, 4 * i));
                    else
                        putI32(m, 4 * i, mqiGetI32(f, 4 * i));
                }
                break;
            case Kind::Pointer:
                if (toFile) mqiPutI32(f, 0, 0);
                break;
            case Kind::Time:
                if (toFile) {
                    int64_t t;
                    std::memcpy(&t, m, 8);
                    mqiPutI32(f, 0, static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(t))));
                } else {
                    int64_t t = mqiGetI32(f, 0);
                    std::memcpy(m, &t, 8);
                }
                break;
            case Kind::Marker:
                if (toFile && fileVersion >= 4)
                    mqiPutI32(file, partLength(3, false) + 12, static_cast<int32_t>(at));
                break;
        }
        at += fileWidth(row);
    }
    *fileLength = at;
}

int toFile(const uint8_t *record, uint32_t length, void **out, uint32_t *outLength, char *text,
           size_t textSize) {
    int32_t version = outputVersion.load();
    ChannelRecord in;
    if (length < sizeof in) return badLength(text, textSize);
    std::memcpy(&in, record, sizeof in);
    if (version == 0) version = in.mqcd.Version;
    if (version < 1 || version > CCDT_MAX_VERSION) {
        ccdtMessage(text, textSize,
                    "AMQ8427: Sorry, this program does not support writing version %d channel records",
                    version);
        return CCDT_E_PARAM;
    }
    const uint8_t *tail = record + sizeof in;
    uint32_t tailLength = length - static_cast<uint32_t>(sizeof in);
    int32_t area = in.exitListsLen, peer = in.mqcd.SSLPeerNameLength;
    if (area > CCDT_EXIT_AREA_MAX) {
        ccdtMessage(text, textSize, "Exit lists too large");
        return CCDT_E_PARAM;
    }
    uint32_t peerAt = 0;
    if (area < 0 || peer < 0 || peer > MQ_SSL_PEER_NAME_LENGTH ||
        !ccdtLocatePeer(tail, tailLength, area, peer, &peerAt) || !ccdtAreaWellFormed(tail, area))
        return badLength(text, textSize);

    auto *file = static_cast<uint8_t *>(std::calloc(kFileRecordMax, 1));
    *out = file;
    if (!file) {
        ccdtMessage(text, textSize, "Storage not available");
        return CCDT_E_STORAGE;
    }
    // Below version 4 the single exit fields carry each list's first entry; the version written and
    // an Encrypt mark only where the credentials exist.
    if (version < 4) singlesFromArea(&in.mqcd, tail, area);
    if (version < 2) in.encrypt = 0;
    uint32_t at = 0;
    walkRows(reinterpret_cast<uint8_t *>(&in), file, version, true, &at);
    mqiPutI32(file, kVersionAt, version);
    if (version >= 4) {
        std::memcpy(file + at, tail, static_cast<uint32_t>(area));
        at += static_cast<uint32_t>(area);
        uint32_t padding = ccdtPadding(version, area);
        at += padding;  // zeros from calloc
        if (version >= 7 && peer > 0) {
            std::memcpy(file + at, tail + peerAt, static_cast<uint32_t>(peer));
            at += static_cast<uint32_t>(peer);
        }
    }
    *outLength = at;
    return CCDT_RC_OK;
}

int toMemory(const uint8_t *record, uint32_t length, void **out, uint32_t *outLength, char *text,
             size_t textSize) {
    if (length < kVersionAt + 4) return badLength(text, textSize);
    int32_t version = mqiGetI32(record, kVersionAt);
    if (version < 1 || version > CCDT_MAX_VERSION) {
        ccdtMessage(text, textSize,
                    "AMQ8427: Sorry, this program does not support reading version %d channel records",
                    version);
        return CCDT_E_PARAM;
    }
    uint32_t fixed = partLength(version, false) + partLength(version, true);
    // What follows the fixed part of its own version is at most the largest tail (exit lists,
    // padding, peer name); a longer record is damaged. Unlike sizing the memory record by the input
    // length plus 5000, the bound keeps every record read within CCDT_RECORD_MAX, the buffer size
    // the callers read into, and an older version's shorter fixed part cannot carry its tail past
    // the end of the memory record.
    if (length < fixed || length - fixed > CCDT_TAIL_MAX) return badLength(text, textSize);
    uint32_t tailLength = version >= 4 ? length - fixed : 0;
    auto *memory = static_cast<uint8_t *>(std::calloc(sizeof(ChannelRecord) + CCDT_TAIL_MAX, 1));
    *out = memory;
    if (!memory) {
        ccdtMessage(text, textSize, "Storage not available");
        return CCDT_E_STORAGE;
    }
    ChannelRecord rec;
    ccdtDefaultChannel(&rec);
    uint32_t at = 0;
    walkRows(reinterpret_cast<uint8_t *>(&rec), const_cast<uint8_t *>(record), version, false, &at);
    uint8_t *tail = memory + sizeof rec;
    if (version < 2) {
        // Connection Name and the credentials came with version 2: the name is the short one, and
        // an Encrypt mark has nothing to decipher.
        std::memset(rec.mqcd.ConnectionName, ' ', sizeof rec.mqcd.ConnectionName);
        std::memcpy(rec.mqcd.ConnectionName, rec.mqcd.ShortConnectionName,
                    sizeof rec.mqcd.ShortConnectionName);
        rec.encrypt = 0;
    }
    if (version < 4) {
        rec.exitListsLen = static_cast<int32_t>(areaFromSingles(rec.mqcd, tail));
        tailLength = static_cast<uint32_t>(rec.exitListsLen);
    } else {
        const uint8_t *fileTail = record + fixed;
        int32_t area = rec.exitListsLen;
        int32_t peer = version >= 7 ? rec.mqcd.SSLPeerNameLength : 0;
        uint32_t peerAt = 0;
        if (area < 0 || area > CCDT_EXIT_AREA_MAX || peer < 0 || peer > MQ_SSL_PEER_NAME_LENGTH ||
            !ccdtLocatePeer(fileTail, tailLength, area, peer, &peerAt))
            return badLength(text, textSize);
        // The widths size the exit arrays: out of range they would overallocate or overrun.
        if (area > 6 && (rec.mqcd.ExitNameLength < 1 || rec.mqcd.ExitNameLength > 128 ||
                         rec.mqcd.ExitDataLength < 1 || rec.mqcd.ExitDataLength > 32))
            return badLength(text, textSize);
        if (!ccdtAreaWellFormed(fileTail, area)) {
            ccdtMessage(text, textSize, "File exit format error");
            return CCDT_E_FILE;
        }
        std::memcpy(tail, fileTail, tailLength);
    }
    rec.mqcd.Version = version;
    if (rec.encrypt && version >= 2) {
        int rc = desDecryptBuffer(rec.mqcd.UserIdentifier, 24);
        if (rc != CCDT_RC_OK) {
            std::memcpy(memory, &rec, sizeof rec);
            ccdtMessage(text, textSize, "Failed to restore userid/password information RC(%d)", rc);
            return rc;
        }
    }
    std::memcpy(memory, &rec, sizeof rec);
    *outLength = static_cast<uint32_t>(sizeof rec) + tailLength;
    return CCDT_RC_OK;
}

}  // namespace

int ccdtConvertRecord(const void *record, uint32_t length, void **out, uint32_t *outLength, int direction,
                      char *text, size_t textSize) {
    *out = nullptr;
    *outLength = 0;
    const auto *bytes = static_cast<const uint8_t *>(record);
    return direction == 1 ? toFile(bytes, length, out, outLength, text, textSize)
                          : toMemory(bytes, length, out, outLength, text, textSize);
}

int ccdtPackExitLists(ChannelRecord *record, const ChannelRecord *from, int pack, char *text,
                      size_t textSize) {
    (void)text;
    (void)textSize;
    if (pack) {
        record->exitListsLen =
            static_cast<int32_t>(areaFromSingles(record->mqcd, reinterpret_cast<uint8_t *>(record + 1)));
        return CCDT_RC_OK;
    }
    const MQPTR arrays[6] = {from->mqcd.MsgExitPtr,     from->mqcd.MsgUserDataPtr,
                             from->mqcd.SendExitPtr,    from->mqcd.SendUserDataPtr,
                             from->mqcd.ReceiveExitPtr, from->mqcd.ReceiveUserDataPtr};
    for (int i = 0; i < 6; i++) {
        char *field = reinterpret_cast<char *>(&record->mqcd) + kSingles[i].memory;
        std::memset(field, ' ', kSingles[i].width);
        const auto *array = static_cast<const ccdtExitArray *>(arrays[i]);
        if (!array || array->count < 1) continue;
        uint32_t width = static_cast<uint32_t>(array->width);
        std::memcpy(field, array->entries, width < kSingles[i].width ? width : kSingles[i].width);
    }
    return CCDT_RC_OK;
}

int ccdtVersionFromString(const char *release) {
    static const struct {
        const char *release;
        int version;
    } map[] = {{"5.0", 4},  {"5.1", 5},  {"5.2", 6},  {"5.3", 7},  {"6.0", 8}, {"7.0", 9},
               {"7.1", 10}, {"7.5", 10}, {"8.0", 11}, {"9.0", 11}, {"9.1", 11}};
    for (const auto &m : map)
        if (release && std::strcmp(release, m.release) == 0) return m.version;
    return -1;
}
