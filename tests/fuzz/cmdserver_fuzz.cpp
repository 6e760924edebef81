// Fuzzes the command server's intake: any MQSC text through the translation (DEBUG too), any PCF
// through the checks and dispatch (the DISPLAY handlers and the changing commands over a few objects
// and stored events held in memory, the five statistics displays over one stored record each, every
// other command stubbed), and any PCF response through its MQSC text. The script interpreter is
// installed as the program installs it, so that WHERE and PREWHERE texts meet its function lookup. The first
// byte chooses the road; the rest is the message, in a buffer of exactly its size so that any read past its
// end is caught. Replies go to a fake queue that checks their headers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "cmdserver/cmdserver.h"
#include "script/script.h"
#include "stats/stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void fakeOpen(MQHCONN, PMQVOID, MQLONG, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    *hobj = 5;
    *cc = MQCC_OK;
    *rc = 0;
}
void fakePut(MQHCONN, MQHOBJ, PMQVOID md, PMQVOID, MQLONG length, PMQVOID data, PMQLONG cc, PMQLONG rc) {
    const auto *desc = static_cast<const MQMD *>(md);
    check(length > 0);
    if (std::memcmp(desc->Format, MQFMT_ADMIN, 8) == 0) {
        check(length >= static_cast<MQLONG>(MQCFH_STRUC_LENGTH));
        // Every reply parses to its end.
        PcfCursor cursor;
        MQPCFInitParser(&cursor, static_cast<uint8_t *>(data), length, 0);
        for (int n = 0;; n++) {
            int32_t type = 0, id = 0, valueLength = 0, count = 0, c = 0, r = 0;
            void *value = nullptr;
            MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &c, &r);
            if (c == MQCC_FAILED) {
                check(r == PCF_END_OF_MESSAGE);
                break;
            }
        }
    }
    *cc = MQCC_OK;
    *rc = 0;
}
void fakeClose(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    *hobj = -1;
    *cc = MQCC_OK;
    *rc = 0;
}
// The rest of the queue work of the changing commands finds no connection.
void noInq(MQHCONN, MQHOBJ, MQLONG, PMQLONG, MQLONG, PMQLONG, MQLONG, PMQCHAR, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_FAILED;
    *rc = MQRC_HCONN_ERROR;
}
void noCb(MQHCONN, MQLONG, PMQVOID, MQHOBJ, PMQVOID, PMQVOID, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_FAILED;
    *rc = MQRC_HCONN_ERROR;
}
void noCtl(MQHCONN, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_FAILED;
    *rc = MQRC_HCONN_ERROR;
}
void noGet(MQHCONN, MQHOBJ, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_FAILED;
    *rc = MQRC_HCONN_ERROR;
}
void noUnit(MQHCONN, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_FAILED;
    *rc = MQRC_HCONN_ERROR;
}

// A stub handler: answers with the command's first parameters echoed as a display would.
int stub(QmgrContext *context, uint8_t *command, int32_t length) {
    PcfCursor *builder = nullptr;
    if (!evStartPcfResponse(context, &builder)) return 0;
    PcfCursor parser;
    MQPCFInitParser(&parser, command, length, 0);
    for (int n = 0; n < 8; n++) {
        int32_t type = 0, id = 0, valueLength = 0, count = 0, c = 0, r = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&parser, &type, &id, &value, &valueLength, &count, &c, &r);
        if (c == MQCC_FAILED) break;
        if (type == MQCFT_GROUP || type == PCF_TYPE_GROUP_END || type == PCF_TYPE_WORD) continue;
        (void)MQPCFAppendStruct(builder, parser.currentItem, mqiGetI32(parser.currentItem, 4), &c, &r);
    }
    return evFinishPcfResponse(context);
}

MQIFunctionTable table;
#ifndef _WIN32
char trapDir[] = "/tmp/zunt_cmdfuzz_XXXXXX";
#endif

// Stored events for DISPLAY EVENTS: a queue-depth event and a configuration change.
void addEvents(Stream *stream) {
    if (stream == nullptr || evStringsCreateStream() == nullptr || evStringsInit(0) != 1) return;
    const uint32_t object = evStringIntern(1, 850, "APP.Q", 5, 0, nullptr);
    const int64_t now = evClockNow();
    for (uint16_t reason : {2224, 2368}) {
        uint8_t record[EVCF_HEADER_LENGTH + 3 * 7] = {};
        evCFSetFlags(record, EVCF_FLAG_EVENT);
        evCFSetCommand(record, reason == 2368 ? 43 : 45);
        evCFSetReason(record, reason);
        evCFSetEventTime(record, now - 60);
        evCFSetObjectName(record, object);
        evCFSetObjectType(record, 1);
        uint8_t *item = record + EVCF_HEADER_LENGTH;
        // AFTER holding MAXDEPTH, then CURDEPTH at the top.
        item[0] = EVCF_LEAD_GROUP, mqiPutU16(item, 1, 39201), mqiPutU16(item, 3, 1);
        item[5] = EVCF_LEAD_INT, mqiPutU16(item, 6, 15), mqiPutI32(item, 8, 9000);
        item[12] = EVCF_LEAD_INT, mqiPutU16(item, 13, 3), mqiPutI32(item, 15, 5000);
        evCFSetItemCount(record, 2);
        (void)evStreamAdd(nullptr, stream, record, EVCF_HEADER_LENGTH + 19, now - 60, nullptr);
    }
}

// One stored record of the statistics family: its command level, and one object named APP.Q where the
// family has objects.
void addStatistics(Stream *stream, uint32_t type) {
    struct Shape {
        uint16_t command;
        uint16_t group;  // 0: the items stand flat after the header
        uint16_t nameId;
    };
    static const Shape shapes[] = {
        {165, 8011, 2016}, {166, 8012, 3501}, {164, 0, 0}, {168, 8010, 2016}, {167, 0, 3024}};
    const Shape &shape = shapes[type - STREAM_TYPE_STATQ];
    const uint32_t name = evStringIntern(1, 850, "APP.Q", 5, 0, nullptr);
    const int64_t end = evClockNow() - 60;
    uint8_t record[EVCF_HEADER_LENGTH + 64] = {};
    evCFSetCommand(record, shape.command);
    evCFSetIntervalStart(record, end - 3600);
    evCFSetIntervalEnd(record, end);
    uint8_t *item = record + EVCF_HEADER_LENGTH;
    size_t at = 0;
    auto integer = [&](uint16_t id, int32_t value) {
        item[at] = EVCF_LEAD_INT, mqiPutU16(item, at + 1, id), mqiPutI32(item, at + 3, value);
        at += 7;
    };
    integer(31, 940);  // CMDLEVEL
    uint16_t top = 1;
    if (shape.group != 0) {
        item[at] = EVCF_LEAD_GROUP, mqiPutU16(item, at + 1, shape.group), mqiPutU16(item, at + 3, 2);
        at += 5;
        top++;
    }
    if (shape.nameId != 0) {
        item[at] = EVCF_LEAD_STRING, mqiPutU16(item, at + 1, shape.nameId), mqiPutU32(item, at + 3, name);
        at += 7;
        if (shape.group == 0) top++;
    }
    integer(31003, 5);  // a put
    if (shape.group == 0) top++;
    evCFSetItemCount(record, top);
    (void)evStreamAdd(nullptr, stream, record, static_cast<uint32_t>(EVCF_HEADER_LENGTH + at), end, nullptr);
}

void setUp() {
    static bool done = false;
    if (done) return;
    done = true;
    table.MQOPEN = fakeOpen;
    table.MQPUT = fakePut;
    table.MQCLOSE = fakeClose;
    table.MQINQ = noInq;
    table.MQCB = noCb;
    table.MQCTL = noCtl;
    table.MQGET = noGet;
    table.MQCMIT = noUnit;
    table.MQBACK = noUnit;
    evContext.event.mq = &table;
    evConnHandles[evContext.sets[EV_SET_C].eventSlot].store(7);
    for (uint32_t code = 9005; code <= 9033; code++)
        if (code != 9013 && code != 9019 && code != 9030 && code != 9023 && code != 9024 && code != 9025 &&
            code != 9026 && code != 9027 && cmdChangingHandler(code) == nullptr)
            evRegisterCommandHandler(code, stub);
    (void)statsInstall();  // the statistics displays, with their field tables
    // Objects for the displays to walk and their WHERE texts to read.
    InitialiseCommandFields();
    cmdInstall();
    scriptInstall();
    evInstallCatalogue();
    char text[EV_CONFIG_TEXT];
    for (const char *name : {"SYSTEM.ADMIN.QMGR.EVENT", "APP.Q"}) {
        EventQueueDef probe{};
        std::snprintf(probe.name, sizeof probe.name, "%s", name);
        int32_t reason = 0;
        EventQueueDef *queue = evEventQueueFindOrAdd(&probe, &reason, text);
        if (queue != nullptr) queue->counters[EV_EQC_MSGS].current = 3;
    }
    StreamDef *def = evStreamDefine("$EVENTS", -1, 1, 0, 0);
    QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
    if (def != nullptr && qmgr != nullptr && qmgr->streams == nullptr)
        qmgr->streams = evStreamCreate(qmgr, def);
    if (def != nullptr) def->disImplct = 1;
    std::snprintf(evContext.event.name, sizeof evContext.event.name, "QM1");
    addEvents(qmgr != nullptr ? qmgr->streams : nullptr);
    for (uint32_t type = STREAM_TYPE_STATQ; type <= STREAM_TYPE_ACCTMQI; type++) {
        StreamDef *statsDef = evStreamDefine(evSystemStreamName(type), -1, type, 0, 0);
        Stream *statsStream =
            statsDef != nullptr && qmgr != nullptr ? evStreamCreate(qmgr, statsDef) : nullptr;
        if (statsStream == nullptr) continue;
        statsDef->disImplct = 1;
        statsStream->next = qmgr->streams;
        qmgr->streams = statsStream;
        addStatistics(statsStream, type);
    }
    // DEBUG acts (its put time is after the start); a CRASH's trap record goes to a folder of its own.
    evSettings.startTime.store(1);
#ifndef _WIN32  // Windows' trap file has its one fixed path
    if (mkdtemp(trapDir) != nullptr) {
        setenv("TMPDIR", trapDir, 1);
        std::atexit([] { std::filesystem::remove_all(trapDir); });
    }
#endif
    (void)evCreateEmitterDef("E1", -1);
    AlertTemplate alert{};
    alert.alert.severity = 30;
    alert.alert.time = 1767225600;
    evAlertSetText(&alert.alert, "storm", -1);
    (void)evAlertAdd(&alert.alert, EV_ALERT_ADD, nullptr, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    setUp();
    const uint8_t road = data[0] % 4;
    std::vector<uint8_t> message(data + 1, data + size);
    auto *bytes = static_cast<uint8_t *>(std::malloc(message.size() + 1));
    if (bytes == nullptr) return 0;
    if (!message.empty()) std::memcpy(bytes, message.data(), message.size());
    const auto length = static_cast<int32_t>(message.size());
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.ReplyToQ, "REPLY", 5);
    md.BackoutCount = road == 3 ? 1 : 0;
    switch (road) {
        case 0:
            std::memcpy(md.Format, MQFMT_STRING, 8);
            std::memcpy(md.PutDate, "20300101", 8);
            std::memcpy(md.PutTime, "12000000", 8);
            check(evRunCommandMessage(&evContext, nullptr, &md, bytes, length) == 1);
            break;
        case 1:
        case 3:
            std::memcpy(md.Format, MQFMT_ADMIN, 8);
            (void)evRunCommandMessage(&evContext, nullptr, &md, bytes, length);
            break;
        default: {
            std::memcpy(md.Format, MQFMT_STRING, 8);
            CmdRequest *request = cmdRequest(&evContext);
            std::memset(request, 0, sizeof *request);
            request->md = &md;
            request->kind = CMD_KIND_MQSC;
            const char *text = nullptr;
            int32_t textLength = 0;
            check(evBuildMqscResponse(&evContext, bytes, length, &text, &textLength) == 1);
            check(textLength >= 0 && static_cast<uint32_t>(textLength) < CMD_AREA_SIZE);
            check(std::strlen(text) <= static_cast<size_t>(textLength));
            AreaRelease(&request->mqscResponse);
            break;
        }
    }
    std::free(bytes);
    return 0;
}
