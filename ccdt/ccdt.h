// Client channel tables: the record file beneath IBM MQ client channel definition tables (keyed,
// variable-length records with space reuse), its SSL CRL and OCSP data records, the DES cipher
// through which stored credentials pass, and above them the table layer: finding a table, channel
// records of versions 1 to 12, the CRLLDAP slots and the merge of one table into another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mqi/mqi.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------------------------
// Results of the record layer: 0, one of these, or the OS error code of a failed file call (an
// errno value, below 1000).

constexpr int CCDT_RC_OK = 0;
constexpr int CCDT_RC_NOT_FOUND = 1000;     // no such record, or the file holds none
constexpr int CCDT_RC_BAD_DATA = 1001;      // damaged or short file data, empty file
constexpr int CCDT_RC_EXISTS = 1002;        // insert: the key is taken
constexpr int CCDT_RC_APPEND = 1003;        // find space: no free block fits, append at the end
constexpr int CCDT_RC_SHORT_RECORD = 1004;  // shorter than its 20-byte key
constexpr int CCDT_RC_BEFORE = 1005;        // search: the key belongs before the record found
constexpr int CCDT_RC_AFTER = 1006;         // search: the key belongs after the record found
constexpr int CCDT_RC_TRUNCATED = 1007;     // the buffer holds only the record's first part
constexpr int CCDT_RC_READ_ONLY = 1008;     // not open for writing
constexpr int CCDT_RC_NO_CURRENT = 1009;    // no current record
constexpr int CCDT_RC_KEY_CHANGED = 1010;   // the key is not the current record's
constexpr int CCDT_RC_NO_HANDLE = 1011;
constexpr int CCDT_RC_NOT_CCDT = 1012;    // the file does not begin with "AMQR"
constexpr int CCDT_RC_NO_FILE = 1013;     // cannot be found or opened
constexpr int CCDT_RC_NO_SIZE = 1016;     // the file size cannot be read
constexpr int CCDT_RC_NO_STORAGE = 2071;  // with "Storage not available" where a text buffer is given

constexpr uint32_t CCDT_KEY_LENGTH = 20;
constexpr uint32_t CCDT_HEADER_LENGTH = 20;
constexpr char CCDT_CRL_KEY[] = "{000SSL_CRL_DATA000}";
constexpr char CCDT_OCSP_KEY[] = "{000SSL_OCSP_DATA00}";

// Read modes of ccdtRecRead.
constexpr int CCDT_READ_EXACT = 1;  // the record with exactly this key
constexpr int CCDT_READ_NEXT = 2;   // the first record after this key (iteration)
constexpr int CCDT_READ_CRL = 4;    // the CRL data record
constexpr int CCDT_READ_OCSP = 8;   // the OCSP data record
constexpr int CCDT_READ_AT = 0;     // any other mode: this key, else the first after it

// A block header as stored: 20 bytes at the start of every block, little-endian.
struct ccdtBlockHeader {
    uint32_t blockLength;  // header plus data space; 0 is the end marker
    uint32_t dataLength;   // 0 marks a free block
    uint32_t reserved;     // written 0
    uint32_t previous;     // position of the previous record in key order, 0 none
    uint32_t next;         // position of the next record in key order, 0 none
};

// An open record file. Owned by the caller of ccdtRecOpen; used by one thread at a time.
struct ccdtRecFile {
    const CSFileOps *ops;  // the file table it was opened with
    CSFileHandle file;
    int mode;                             // 1 read and write, else read only
    uint32_t current;                     // the current record's block, 0 none
    uint32_t searchStart;                 // the last record a search visited, 0 begin at the first block
    uint32_t keyLength;                   // 20
    uint8_t currentKey[CCDT_KEY_LENGTH];  // the current record's key, blanks when none
};

// Mode 1 opens for reading and writing (created when missing, as "AMQR" and the end marker);
// other modes open an existing file read-only. On failure no handle is made; 2071 also leaves
// "Storage not available" in the message buffer (message may be null).
[[nodiscard]] int ccdtRecOpen(const char *fileName, int mode, ccdtRecFile **handle, char *message,
                              size_t messageSize);
// Closes the file and frees the handle; a null handle does nothing. 0 or the OS code of the close.
int ccdtRecClose(ccdtRecFile *handle);

// The key search: 0, 1000, 1005, 1006, 1001 or an OS code; with 0, 1005 and 1006 the header and
// position of the last record compared.
[[nodiscard]] int ccdtRecFind(ccdtRecFile *handle, const uint8_t key[CCDT_KEY_LENGTH],
                              ccdtBlockHeader *header, uint32_t *position);
// 0 with a free block that takes dataLength bytes, or 1003 with the end marker's position.
[[nodiscard]] int ccdtRecFindSpace(ccdtRecFile *handle, uint32_t dataLength, ccdtBlockHeader *header,
                                   uint32_t *position);
// Reads by key and mode into buffer (*length bytes); sets *length to the record's data length and
// makes the record current. 0, 1000, 1007 (buffer holds the first part), 1001 or an OS code.
[[nodiscard]] int ccdtRecRead(ccdtRecFile *handle, const uint8_t key[CCDT_KEY_LENGTH], void *buffer,
                              uint32_t *length, int mode);
// Inserts a new record; its first 20 bytes are its key.
[[nodiscard]] int ccdtRecWrite(ccdtRecFile *handle, const void *record, uint32_t length);
// Replaces the current record by one with the same key; afterwards there is no current record.
[[nodiscard]] int ccdtRecReplace(ccdtRecFile *handle, const void *record, uint32_t length);
// Deletes the current record (key must be its key); afterwards there is no current record.
[[nodiscard]] int ccdtRecDelete(ccdtRecFile *handle, const void *key, uint32_t length);

// ---------------------------------------------------------------------------------------------
// SSL data records.

constexpr uint32_t CCDT_CRL_MAX_SLOTS = 10;
constexpr uint32_t CCDT_TEXT_LENGTH = 64;  // the description stored with each data record
constexpr uint32_t CCDT_URL_LENGTH = 256;  // one OCSP URL entry of the caller

// One CRLLDAP definition as the callers hold it (1324 bytes).
struct ccdtCrlSlot {
    char connectionName[264];
    int32_t type;
    char userName[1024];
    char password[32];
};
static_assert(sizeof(ccdtCrlSlot) == 1324);

// Replaces the CRL data record by one built from the first count slots (count 0 deletes it). The
// user names and passwords in the caller's slots are enciphered in place: they hold the ciphertext
// afterwards.
[[nodiscard]] int ccdtWriteCrlData(ccdtRecFile *handle, uint32_t count, ccdtCrlSlot *slots,
                                   const char text[CCDT_TEXT_LENGTH]);
// Fills slots (room for CCDT_CRL_MAX_SLOTS) from the CRL data record, deciphered. Count 0 with 0
// only when there is no CRL record; a record that cannot be read gives its failure (1001, 2071 or an
// OS code) and the caller must not write the definitions back.
[[nodiscard]] int ccdtReadCrlData(ccdtRecFile *handle, uint32_t *count, ccdtCrlSlot *slots, int64_t *time,
                                  char text[CCDT_TEXT_LENGTH], uint32_t *listLength);
// Replaces the OCSP data record by one holding count URLs (entries of 256 bytes, each ending at its
// first blank or zero byte); count 0 deletes it.
[[nodiscard]] int ccdtWriteOcspData(ccdtRecFile *handle, uint32_t count, const char (*urls)[CCDT_URL_LENGTH],
                                    const char text[CCDT_TEXT_LENGTH], char *message, size_t messageSize);
// Reads the OCSP data record into one 256-byte URL entry; count 0 with 0 when there is none; the text
// comes back blank-padded.
[[nodiscard]] int ccdtReadOcspData(ccdtRecFile *handle, uint32_t *count, char url[CCDT_URL_LENGTH],
                                   int64_t *time, char text[CCDT_TEXT_LENGTH], char *message,
                                   size_t messageSize);

// ---------------------------------------------------------------------------------------------
// Stored-credential cipher: DES (FIPS 46-3) in electronic-codebook mode, in place, under the
// system's one built-in key.

struct DesRoundKeys {
    uint64_t key[16];  // the 48-bit round keys, in the order enciphering uses them
};

void desKeySchedule(const uint8_t key[8], DesRoundKeys *roundKeys);  // any 8-byte key
uint32_t desRoundFunction(uint32_t right, uint64_t roundKey);        // f: E, XOR, S1-S8, P
void desEncryptBlock(const DesRoundKeys *roundKeys, uint8_t block[8]);
void desDecryptBlock(const DesRoundKeys *roundKeys, uint8_t block[8]);
// In place under the system key. A length that is not a multiple of 8 gives 1001 and leaves the
// buffer; 0 or less does nothing. Enciphering reads each block only to its first zero byte.
[[nodiscard]] int desEncryptBuffer(void *buffer, int32_t length);
[[nodiscard]] int desDecryptBuffer(void *buffer, int32_t length);

// ---------------------------------------------------------------------------------------------
// The channel-table layer. Results: 0 or one of these, with a text in the caller's buffer unless
// said otherwise.

constexpr int CCDT_E_PARAM = 10001;       // bad handle, version, name or exit-list size, slot limit
constexpr int CCDT_E_FILE = 10002;        // error accessing the file (also a damaged record)
constexpr int CCDT_E_NO_FILE = 10003;     // file not found
constexpr int CCDT_E_FORMAT = 10004;      // not a channel table
constexpr int CCDT_E_STORAGE = 10005;     // no storage
constexpr int CCDT_E_MQSERVER = 10006;    // invalid MQSERVER value
constexpr int CCDT_E_EXISTS = 10007;      // entry already exists
constexpr int CCDT_E_NO_MORE = 10008;     // no (more) records, slot out of range: no text
constexpr int CCDT_E_NO_CHANNEL = 10009;  // channel not found
constexpr int CCDT_E_TOO_LARGE = 10011;   // record larger than the caller's buffer

constexpr int32_t CCDT_MAX_VERSION = 12;
constexpr int32_t CCDT_EXIT_AREA_MAX = 10000;  // bytes of the exit-list area
constexpr uint32_t CCDT_PATH_MAX = 256;        // a table name buffer holds this and a NUL

// A channel definition in memory: the version-12 MQCD in its 64-bit layout, the trailer, then the
// exit-list area (exitListsLen bytes), for versions below 9 its padding, and the SSL peer name
// (MQCD.SSLPeerNameLength bytes). The MQCD's Version is the version of the file record it came
// from; only writing changes it.
struct ChannelRecord {
    MQCD mqcd;
    int32_t newSequenceNumber;
    int32_t encrypt;  // 1: user identifier and password are stored enciphered
    int32_t exitListsLen;
    int32_t flags;
    char cluster[48];
    int64_t alterTime;  // seconds since 1970 UTC
    char longMcaUser[64];
};
static_assert(offsetof(ChannelRecord, newSequenceNumber) == 1992);
static_assert(offsetof(ChannelRecord, alterTime) == 2056);
static_assert(sizeof(ChannelRecord) == 2128);

// What may follow the fixed part: the largest area, padding and the largest peer name. A buffer of
// CCDT_RECORD_MAX bytes holds any record this layer makes.
constexpr uint32_t CCDT_TAIL_MAX = CCDT_EXIT_AREA_MAX + 4 + MQ_SSL_PEER_NAME_LENGTH;
constexpr uint32_t CCDT_RECORD_MAX = sizeof(ChannelRecord) + CCDT_TAIL_MAX;

// One exit list in memory (the MQCD's exit pointers point to these, malloc'd): entries of exactly
// width bytes, blank-padded.
struct ccdtExitArray {
    int32_t capacity;
    int32_t width;
    int32_t count;
    char entries[1];  // count * width bytes
};
constexpr size_t CCDT_EXIT_ARRAY_HEAD = offsetof(ccdtExitArray, entries);

// One open channel table (ccdtOpen to ccdtClose).
struct ccdtHandle {
    char eyeCatcher[4];  // "RCHN"
    ccdtRecFile *file;   // null in the MQSERVER form
    int32_t current;     // the record last found or read is current
    char currentName[20];
    int32_t update;
    char path[CCDT_PATH_MAX + 1];
    uint8_t position[20];  // the key-order walk continues after this name
};

// Where console texts go: kind 32 information, 128 errors.
struct ccdtSink {
    void (*write)(void *context, int kind, const char *text);
    void *context;
};

// The version that writes produce: 1 to 12, or 0 for each record's own; 12 at start.
void ccdtSetOutputVersion(int version);
int ccdtGetOutputVersion();

// Mode 1 reads, 2 updates (the file is made when missing). name (CCDT_PATH_MAX + 1 bytes) is a
// file name, a path holding '/', a directory ending in '/', "*" or empty (the client's default
// table) or "!..." (the MQSERVER channel when MQSERVER is set); it is overwritten with the
// resolved path.
[[nodiscard]] int ccdtOpen(int mode, char *name, ccdtHandle **handle, char *text, size_t textSize);
int ccdtClose(ccdtHandle **handle, char *text, size_t textSize);
// Lengths are the caller's buffer size in, the record's length out.
[[nodiscard]] int ccdtFindChannel(ccdtHandle *handle, const char name[20], uint16_t *length,
                                  ChannelRecord *record, char *text, size_t textSize);
[[nodiscard]] int ccdtReadFirstChannel(ccdtHandle *handle, uint16_t *length, ChannelRecord *record,
                                       char *text, size_t textSize);
[[nodiscard]] int ccdtReadNextChannel(ccdtHandle *handle, uint16_t *length, ChannelRecord *record, char *text,
                                      size_t textSize);
// Writes the record at the output version: replaces the current record of that name, else
// inserts. The caller's record keeps its plain credentials.
[[nodiscard]] int ccdtPutChannel(ccdtHandle *handle, ChannelRecord *record, char *text, size_t textSize);

// CRLLDAP slots, numbered from 1, in the table's CRL data record.
[[nodiscard]] int ccdtAddCrlAuthInfo(ccdtHandle *handle, int insert, const ccdtCrlSlot *slot, int position,
                                     const char description[CCDT_TEXT_LENGTH], char *text, size_t textSize);
[[nodiscard]] int ccdtGetCrlAuthInfo(ccdtHandle *handle, int number, ccdtCrlSlot *slot, int64_t *alterTime,
                                     char description[CCDT_TEXT_LENGTH], char *text, size_t textSize);
[[nodiscard]] int ccdtDeleteCrlAuthInfo(ccdtHandle *handle, int number, char *text, size_t textSize);

// Direction 1: a memory record to a file record at the output version; 0: a file record (length
// bytes) to a memory record. *out is a new malloc'd buffer the caller frees, also after a failure.
[[nodiscard]] int ccdtConvertRecord(const void *record, uint32_t length, void **out, uint32_t *outLength,
                                    int direction, char *text, size_t textSize);
// Pack: the area from the record's six single exit fields. Otherwise the single fields of record
// from the first entries of the exit arrays of from.
[[nodiscard]] int ccdtPackExitLists(ChannelRecord *record, const ChannelRecord *from, int pack, char *text,
                                    size_t textSize);
// Rebuilds the area, its padding and the peer name from the exit arrays and SSLPeerNamePtr (or the
// peer name in place); the record's buffer must hold CCDT_RECORD_MAX bytes.
[[nodiscard]] int ccdtTrimExits(ChannelRecord *record, char *text, size_t textSize);
// The exit arrays and the peer name from the area behind a record of length bytes.
[[nodiscard]] int ccdtUnpackExits(ChannelRecord *record, uint32_t length, char *text, size_t textSize);
[[nodiscard]] int ccdtUnpackExitList(MQPTR *slot, int32_t width, const uint8_t **cursor, const uint8_t *end,
                                     char *text, size_t textSize);
void ccdtFreeChannel(ChannelRecord *record, int freeRecord);
int ccdtVersionFromString(const char *release);
// A record with the defaults every conversion starts from.
void ccdtDefaultChannel(ChannelRecord *record);

// The merge: the channels of source matching generic (with '*' and '?') into table.
void ccdtMigrate(const ccdtSink &sink, const char *table, const char *source, const char *generic,
                 int replace);
// 1 with the next matching channel after the name in record (zeroed: from the start), else 0 (a
// failure's text has gone to the sink).
int ccdtReadChannels(const ccdtSink &sink, const char *source, const char *generic, ChannelRecord *record,
                     uint16_t *length, char *text, size_t textSize);
// 0, or a code with the failure's text; counters as named.
int ccdtWriteChannel(const ccdtSink &sink, const char *table, ChannelRecord *record, int replace,
                     int32_t *written, int32_t *replaced, int32_t *notReplaced, char *text, size_t textSize);

// ---------------------------------------------------------------------------------------------
// The MQSC-style edit mode: one command line against the table file.

// Where the edit mode's answers go: response takes one displayed object or one reply text (lines
// separated by '\n'); match, when set, is the console's =WHERE test of a displayed object.
struct ccdtMqscIo {
    void (*response)(void *context, const char *text, size_t length);
    int (*match)(void *context, const char *text, size_t length);
    void *context;
};
constexpr int CCDT_MQSC_LEAVE = 2;  // "end" or "quit": the mode ends
// Runs one command line: 0 done (also an empty line), 1 failed (its text has gone to io), or
// CCDT_MQSC_LEAVE.
int ccdtMqscRun(const char *file, const char *text, const ccdtMqscIo &io);

// The console's side (install.cpp): one command line of the console's CCDT mode, echoed and
// answered as the console's command `kind` (CSL_REQUEST_COMMAND or CSL_REQUEST_LOOP); 1 done, 0
// failed. "end" and "quit" leave the mode.
struct cslSession;
int ccdtMqscCommand(cslSession *session, const char *text, int32_t length, int32_t kind);
// Fills the console's channel-table slots.
void ccdtInstall();
