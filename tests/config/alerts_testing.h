// Shared pieces of the alert and stored-configuration tests: the engine's hook table played by a
// recorder (suspensions, resumptions, the expiry hook), a topic behind a fake MQI table that keeps
// every publication, alert templates, and a readable dump of a PCF message.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/internal.h"
#include "config_testing.h"

namespace at {

// ---- The engine ----

struct Engine {
    std::vector<std::string> calls;                                 // "suspend C", "resume E", "hook 3", ...
    int32_t suspendResult[2] = {EV_SUSPEND_HELD, EV_SUSPEND_HELD};  // by set
    std::function<int32_t(AlertDef *)> hook;                        // the expiry hook's body; 0 when unset
    std::function<void(int32_t)> onSuspend;                         // runs inside suspend (threads, latches)
    int32_t platform = 0;
    int32_t maxMsgLength = 4194304;
    std::vector<evTimedItem *> stormItems;  // kind-1 items handed to the storm check (freed after)
};
inline Engine &engine() {
    static Engine e;
    return e;
}
inline const char *setName(int32_t set) {
    return set == EV_SET_C ? "C" : "E";
}

// ---- The topic ----

struct Publication {
    int32_t command;
    std::vector<uint8_t> bytes;
    std::string property;  // "Severity=30"
    MQLONG pmoVersion;
    MQHOBJ hobj;
};
struct Topic {
    std::vector<Publication> puts;
    int opens = 0;
    MQLONG openReason = 0;  // MQOPEN fails with it when set
    std::string property;
    MQHCONN lastHconn = -1;
};
inline Topic &topic() {
    static Topic t;
    return t;
}

extern "C" inline void topicOpen(MQHCONN hconn, PMQVOID pObjDesc, MQLONG options, PMQHOBJ pHobj,
                                 PMQLONG pCompCode, PMQLONG pReason) {
    auto *od = static_cast<MQOD *>(pObjDesc);
    std::string name(static_cast<const char *>(od->ObjectString.VSPtr),
                     static_cast<size_t>(od->ObjectString.VSLength));
    bool ok = od->Version == MQOD_VERSION_4 && od->ObjectType == MQOT_TOPIC && name == EV_ALERT_TOPIC &&
              options == MQOO_OUTPUT && topic().openReason == 0;
    topic().lastHconn = hconn;
    *pHobj = ok ? 100 + ++topic().opens : MQHO_UNUSABLE_HOBJ;
    *pCompCode = ok ? MQCC_OK : MQCC_FAILED;
    *pReason = ok ? MQRC_NONE : (topic().openReason ? topic().openReason : MQRC_OPTIONS_ERROR);
}
extern "C" inline void topicCrtmh(MQHCONN, PMQVOID, PMQHMSG pHmsg, PMQLONG pCompCode, PMQLONG pReason) {
    *pHmsg = 77;
    *pCompCode = MQCC_OK;
    *pReason = MQRC_NONE;
}
extern "C" inline void topicSetmp(MQHCONN, MQHMSG hmsg, PMQVOID, PMQVOID pName, PMQVOID, MQLONG type,
                                  MQLONG length, PMQVOID pValue, PMQLONG pCompCode, PMQLONG pReason) {
    auto *name = static_cast<MQCHARV *>(pName);
    MQLONG value = 0;
    if (type == MQTYPE_INT32 && length == 4) std::memcpy(&value, pValue, 4);
    topic().property = hmsg == 77 ? std::string(static_cast<const char *>(name->VSPtr),
                                                static_cast<size_t>(name->VSLength)) +
                                        "=" + std::to_string(value)
                                  : "bad handle";
    *pCompCode = MQCC_OK;
    *pReason = MQRC_NONE;
}
extern "C" inline void topicPut(MQHCONN, MQHOBJ hobj, PMQVOID pMsgDesc, PMQVOID pPutMsgOpts, MQLONG length,
                                PMQVOID pBuffer, PMQLONG pCompCode, PMQLONG pReason) {
    auto *md = static_cast<MQMD *>(pMsgDesc);
    auto *pmo = static_cast<MQPMO *>(pPutMsgOpts);
    Publication p;
    p.bytes.assign(static_cast<uint8_t *>(pBuffer), static_cast<uint8_t *>(pBuffer) + length);
    p.command = length >= 36 ? mqiGetI32(pBuffer, offsetof(MQCFH, Command)) : 0;
    p.property = pmo->OriginalMsgHandle == 77 && std::memcmp(md->Format, MQFMT_PCF, 8) == 0 &&
                         md->MsgType == MQMT_DATAGRAM
                     ? topic().property
                     : "not as published";
    p.pmoVersion = pmo->Version;
    p.hobj = hobj;
    topic().puts.push_back(p);
    *pCompCode = MQCC_OK;
    *pReason = MQRC_NONE;
}
extern "C" inline void topicDltmh(MQHCONN, PMQHMSG pHmsg, PMQVOID, PMQLONG pCompCode, PMQLONG pReason) {
    *pHmsg = MQHM_UNUSABLE_HMSG;
    *pCompCode = MQCC_OK;
    *pReason = MQRC_NONE;
}
inline const MQIFunctionTable *topicTable() {
    static const MQIFunctionTable t = [] {
        MQIFunctionTable table{};
        table.MQOPEN = topicOpen;
        table.MQCRTMH = topicCrtmh;
        table.MQSETMP = topicSetmp;
        table.MQPUT = topicPut;
        table.MQDLTMH = topicDltmh;
        return table;
    }();
    return &t;
}

// The alerts committed: what was held for that goes out, as at a sync point's commit.
inline void committed() {
    cfgAlertPublishHeld();
}

// "9021 #3": the command and EVALERT of every publication, once the alerts are committed.
inline std::vector<std::string> published() {
    committed();
    std::vector<std::string> out;
    for (const Publication &p : topic().puts) {
        int32_t id = -1;
        PcfCursor c;
        std::vector<uint8_t> copy = p.bytes;
        MQPCFInitParser(&c, copy.data(), static_cast<int32_t>(copy.size()), 0);
        int32_t type = 0, parm = 0, length = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&c, &type, &parm, &value, &length, &count, &cc, &rc);
        if (cc == MQCC_OK && parm == 39373) id = mqiGetI32(value, 0);
        char line[32];
        std::snprintf(line, sizeof line, "%d #%d", p.command, id);
        out.push_back(line);
    }
    return out;
}

// ---- A readable PCF message: one line per item, nested groups indented ----

inline std::vector<std::string> dumpPcf(const std::vector<uint8_t> &message) {
    std::vector<std::string> out;
    std::vector<uint8_t> copy = message;
    PcfCursor c;
    MQPCFInitParser(&c, copy.data(), static_cast<int32_t>(copy.size()), 0);
    std::string indent;
    for (;;) {
        int32_t type = 0, id = 0, length = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&c, &type, &id, &value, &length, &count, &cc, &rc);
        if (cc != MQCC_OK) {
            if (rc != PCF_END_OF_MESSAGE) out.push_back("damage " + std::to_string(rc));
            return out;
        }
        std::string line = indent;
        line += std::to_string(id);
        line += ' ';
        switch (type) {
            case MQCFT_GROUP:
                line += '{';
                line += std::to_string(count);
                out.push_back(line);
                indent += "  ";
                continue;
            case PCF_TYPE_GROUP_END:
                indent.resize(indent.size() - 2);
                out.push_back(indent + '}');
                continue;
            case MQCFT_INTEGER:
                line += std::to_string(mqiGetI32(value, 0));
                break;
            case MQCFT_INTEGER64:
                line += 'L';
                line += std::to_string(mqiGetI64(value, 0));
                break;
            case MQCFT_STRING:
                line += '\'';
                line.append(static_cast<const char *>(value), static_cast<size_t>(length));
                line += '\'';
                break;
            case MQCFT_INTEGER_LIST:
                line += "[";
                for (int32_t i = 0; i < count; i++) {
                    if (i) line += ',';
                    line += std::to_string(mqiGetI32(value, 4 * static_cast<size_t>(i)));
                }
                line += "]";
                break;
            default:
                line += "type ";
                line += std::to_string(type);
                break;
        }
        out.push_back(line);
    }
}

// ---- Alerts ----

struct AlertSample {
    int32_t severity = EV_SEVERITY_WARN;
    int64_t time = 1767225600;
    const char *text = "text";
    const char *category = "";
    const char *qmgr = "";
    const char *object = "";
    int32_t objectType = 0;
    uint32_t id = 0;
    uint32_t retention = 0;
};
inline AlertTemplate make(const AlertSample &s) {
    AlertTemplate t{};
    t.alert.severity = s.severity;
    t.alert.time = s.time;
    evAlertSetText(&t.alert, s.text, -1);
    std::strncpy(t.alert.category, s.category, EV_ALERT_CATEGORY_MAX);
    std::strncpy(t.alert.qmgr, s.qmgr, EV_QUEUE_NAME_MAX);
    std::strncpy(t.alert.objectName, s.object, EV_QUEUE_NAME_MAX);
    t.alert.objectType = s.objectType;
    t.alert.id = s.id;
    t.alert.retention = s.retention;
    return t;
}
// Adds and returns the alert's id (0 when nothing was added).
inline uint32_t add(const AlertSample &s, uint32_t flags = EV_ALERT_PUBLISH, AlertDef **hint = nullptr) {
    AlertTemplate t = make(s);
    AlertDef *added = nullptr;
    AlertDef **slot = hint ? hint : &added;
    AlertDef *before = *slot;
    char text[EV_CONFIG_TEXT] = "";
    EXPECT_EQ(evAlertAdd(&t.alert, flags, slot, text), 1) << text;
    return *slot != before ? (*slot)->id : 0;
}
// "id:TEXT" of every alert in list order.
inline std::vector<std::string> listed() {
    std::vector<std::string> out;
    CSRecursiveGuard guard(gAlertLock);
    for (AlertDef *a = evAlertList; a; a = a->next) out.push_back(std::to_string(a->id) + ":" + a->text);
    return out;
}
inline size_t expiryItems() {
    size_t n = 0;
    CSRecursiveGuard guard(gStructureLock);
    for (evTimedItem *i = evTimedItemList; i; i = i->next) n += i->kind == EV_TIMED_ALERT_EXPIRY;
    return n;
}

// Every test starts with no alerts and no timed items, the engine played by the recorder and the
// topic connected on a new connection; evEndFlag is put back afterwards.
class AlertTest : public ct::ConfigTest {
protected:
    void SetUp() override {
        ct::ConfigTest::SetUp();
        engine() = Engine{};
        topic() = Topic{};
        target_.mq = topicTable();
        target_.hconn = 5;
        static uint32_t connects = 0;
        connects += 1000;  // each test on a connection of its own
        target_.connectCount = connects;
        cfgEngine = CfgEngine{};
        cfgEngine.publishTarget = &target_;
        cfgEngine.suspend = [](int32_t set) {
            engine().calls.push_back(std::string("suspend ") + setName(set));
            if (engine().onSuspend) engine().onSuspend(set);
            return engine().suspendResult[set];
        };
        cfgEngine.resume = [](int32_t set) {
            engine().calls.push_back(std::string("resume ") + setName(set));
        };
        cfgEngine.qmgrPlatform = [] { return engine().platform; };
        cfgEngine.dataQueueMaxMsgLength = [] { return engine().maxMsgLength; };
        cfgEngine.stormCheck = [](evTimedItem *item) { engine().stormItems.push_back(item); };
        cfgEngine.alertExpiry = [](AlertDef *alert) {
            engine().calls.push_back("hook " + std::to_string(alert->id));
            return engine().hook ? engine().hook(alert) : 0;
        };
        cslEventFunctionFlag = 0;
        evAlertsChanged = 0;
        evEndFlag = 0;
    }
    void TearDown() override {
        evAlertFreeAll();
        {
            CSRecursiveGuard guard(gStructureLock);
            while (evTimedItem *i = evTimedItemList) {
                evTimedItemList = i->next;
                CSFreeMem(i);
            }
            evTimedListChanged();
        }
        cfgEngine = CfgEngine{};
        cslEventFunctionFlag = 0;
        evEndFlag = 0;
        ct::ConfigTest::TearDown();
    }
    CfgPublishTarget target_;
};

}  // namespace at
