// Shared fixture of the command server's tests: a fake MQI table that records every open, put and
// close of set C's EVENT connection, requests built as the consumer hands them over, and the
// replies parsed back.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cmdserver/cmdserver.h"
#include "testing/console_capture.h"
#include "testing/testing.h"
#include "tests/config/config_testing.h"

namespace ct {

struct Put {
    std::string queue;
    std::string qmgr;
    MQMD md;
    MQPMO pmo;
    std::vector<uint8_t> data;
};

struct Fake {
    std::vector<Put> puts;
    std::vector<MQOD> opens;
    std::vector<MQLONG> openOptions;
    std::map<MQHOBJ, MQOD> objects;
    int closes = 0;
    MQHOBJ next = 100;
    MQLONG authorityReason = 0;  // fails the authority MQOPEN with it
    MQLONG openReason = 0;       // fails every other MQOPEN with it
};
inline Fake fake;

inline std::string field(const char *text, size_t size) {
    std::string s(text, strnlen(text, size));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

inline void fakeOpen(MQHCONN, PMQVOID od, MQLONG options, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    auto *desc = static_cast<MQOD *>(od);
    fake.opens.push_back(*desc);
    fake.openOptions.push_back(options);
    // The authority check opens the command queue for set; a reply queue is opened for output only.
    MQLONG fail = (options & MQOO_SET) ? fake.authorityReason : fake.openReason;
    if (fail != 0) {
        *cc = MQCC_FAILED;
        *rc = fail;
        *hobj = -1;
        return;
    }
    *hobj = fake.next++;
    fake.objects[*hobj] = *desc;
    *cc = MQCC_OK;
    *rc = 0;
}
inline void fakePut(MQHCONN, MQHOBJ hobj, PMQVOID md, PMQVOID pmo, MQLONG length, PMQVOID data, PMQLONG cc,
                    PMQLONG rc) {
    Put put;
    const MQOD &od = fake.objects[hobj];
    put.queue = field(od.ObjectName, 48);
    put.qmgr = field(od.ObjectQMgrName, 48);
    put.md = *static_cast<MQMD *>(md);
    put.pmo = *static_cast<MQPMO *>(pmo);
    const auto *bytes = static_cast<const uint8_t *>(data);
    put.data.assign(bytes, bytes + length);
    fake.puts.push_back(put);
    *cc = MQCC_OK;
    *rc = 0;
}
inline void fakeClose(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    fake.closes++;
    *hobj = -1;
    *cc = MQCC_OK;
    *rc = 0;
}

// One parameter of a parsed PCF message.
struct Parm {
    int32_t type;
    int32_t id;
    int32_t value = 0;
    int64_t value64 = 0;
    std::string text;
    std::vector<int32_t> list;
};
struct Pcf {
    int32_t type = 0;
    int32_t command = 0;
    int32_t control = 0;
    int32_t compCode = 0;
    int32_t reason = 0;
    int32_t count = 0;
    std::vector<Parm> parms;
    // The first parameter with the id; an empty one (id 0) when there is none.
    const Parm &get(int32_t id) const {
        static const Parm none{};
        for (const Parm &p : parms)
            if (p.id == id) return p;
        return none;
    }
    bool has(int32_t id) const { return get(id).id == id; }
};
inline Pcf parse(std::vector<uint8_t> bytes) {
    Pcf pcf;
    if (bytes.size() < MQCFH_STRUC_LENGTH) return pcf;
    pcf.type = mqiGetI32(bytes.data(), offsetof(MQCFH, Type));
    pcf.command = mqiGetI32(bytes.data(), offsetof(MQCFH, Command));
    pcf.control = mqiGetI32(bytes.data(), offsetof(MQCFH, Control));
    pcf.compCode = mqiGetI32(bytes.data(), offsetof(MQCFH, CompCode));
    pcf.reason = mqiGetI32(bytes.data(), offsetof(MQCFH, Reason));
    pcf.count = mqiGetI32(bytes.data(), offsetof(MQCFH, ParameterCount));
    PcfCursor cursor;
    MQPCFInitParser(&cursor, bytes.data(), static_cast<int32_t>(bytes.size()), 0);
    for (;;) {
        Parm p{};
        void *value = nullptr;
        int32_t length = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &p.type, &p.id, &value, &length, &count, &cc, &rc);
        if (cc == MQCC_FAILED) break;
        if (p.type == MQCFT_INTEGER) p.value = mqiGetI32(value, 0);
        if (p.type == MQCFT_INTEGER64) p.value64 = mqiGetI64(value, 0);
        if (p.type == MQCFT_STRING)
            p.text.assign(static_cast<const char *>(value), static_cast<size_t>(length));
        if (p.type == MQCFT_INTEGER_LIST)
            for (int32_t i = 0; i < count; i++)
                p.list.push_back(mqiGetI32(value, static_cast<size_t>(i) * 4));
        pcf.parms.push_back(p);
    }
    return pcf;
}

// A PCF command built with the system's own builder.
class PcfBuilder {
public:
    explicit PcfBuilder(int32_t command, int32_t type = MQCFT_COMMAND) : bytes_(65536) {
        MQPCFInitHeader(bytes_.data(), type, command);
        MQPCFInitBuilder(&cursor_, bytes_.data(), static_cast<int32_t>(bytes_.size()), 0, 0, nullptr);
    }
    PcfBuilder &integer(int32_t id, int32_t value) {
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFSetParm(&cursor_, MQCFT_INTEGER, id, &value, 4, 0, &cc, &rc);
        return *this;
    }
    PcfBuilder &integer64(int32_t id, int64_t value) {
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFSetParm(&cursor_, MQCFT_INTEGER64, id, &value, 8, 0, &cc, &rc);
        return *this;
    }
    PcfBuilder &string(int32_t id, const std::string &text) {
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFSetParm(&cursor_, MQCFT_STRING, id, text.data(), static_cast<int32_t>(text.size()), 0, &cc, &rc);
        return *this;
    }
    PcfBuilder &bytes(int32_t id, const std::vector<uint8_t> &data) {
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFSetParm(&cursor_, MQCFT_BYTE_STRING, id, data.data(), static_cast<int32_t>(data.size()), 0, &cc,
                     &rc);
        return *this;
    }
    PcfBuilder &reason(int32_t compCode, int32_t reasonCode) {
        mqiPutI32(bytes_.data(), offsetof(MQCFH, CompCode), compCode);
        mqiPutI32(bytes_.data(), offsetof(MQCFH, Reason), reasonCode);
        return *this;
    }
    std::vector<uint8_t> done() const {
        return std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + cursor_.position);
    }

private:
    std::vector<uint8_t> bytes_;
    PcfCursor cursor_{};
};

// The command with an MQCFIL of up to 8 values appended.
inline std::vector<uint8_t> withList(std::vector<uint8_t> bytes, int32_t id,
                                     const std::vector<int32_t> &values) {
    uint8_t list[16 + 8 * 4] = {};
    const size_t n = values.size() < 8 ? values.size() : 8;
    mqiPutI32(list, 0, MQCFT_INTEGER_LIST);
    mqiPutI32(list, 4, static_cast<int32_t>(16 + n * 4));
    mqiPutI32(list, 8, id);
    mqiPutI32(list, 12, static_cast<int32_t>(n));
    for (size_t i = 0; i < n; i++) mqiPutI32(list, 16 + i * 4, values[i]);
    bytes.insert(bytes.end(), list, list + 16 + n * 4);
    uint8_t *header = bytes.data();
    mqiPutI32(header, offsetof(MQCFH, ParameterCount),
              mqiGetI32(header, offsetof(MQCFH, ParameterCount)) + 1);
    return bytes;
}

// What the stub handlers saw.
inline std::vector<std::vector<uint8_t>> handled;
inline int recordCommand(QmgrContext *, uint8_t *command, int32_t length) {
    handled.emplace_back(command, command + length);
    return 1;
}

class CmdTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = Fake{};
        handled.clear();
        table_ = MQIFunctionTable{};
        table_.MQOPEN = fakeOpen;
        table_.MQPUT = fakePut;
        table_.MQCLOSE = fakeClose;
        evContext.event.mq = &table_;
        std::snprintf(evContext.event.name, sizeof evContext.event.name, "QM1");
        std::snprintf(evContext.event.deadQueue, sizeof evContext.event.deadQueue,
                      "SYSTEM.DEAD.LETTER.QUEUE");
        evConnHandles[evContext.sets[EV_SET_C].eventSlot].store(7);
        evSettings.authDuration.store(0);
        evSettings.startTime.store(1700000000);
        evStopPending.store(0);
        evConsumerActive.store(0);
        evSendEachItem.store(0);
        for (uint32_t code = 9000; code <= 9033; code++)
            if (code != CMD_STOP_EV) evRegisterCommandHandler(code, recordCommand);
        evClockTick();
    }
    void TearDown() override {
        evCloseReplyCache(&evContext);
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        evConnHandles[evContext.sets[EV_SET_C].eventSlot].store(-1);
        evContext.event.mq = nullptr;
        cmdConsoleReplyQueue = nullptr;
        evStopPending.store(0);
    }
    MQMD request(const char *format) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        std::memcpy(md.ReplyToQ, "REPLY.Q", 7);
        std::memset(md.MsgId, 0x11, sizeof md.MsgId);
        std::memset(md.CorrelId, 0x22, sizeof md.CorrelId);
        std::memcpy(md.UserIdentifier, "alice       ", 12);
        std::memcpy(md.PutDate, "20260101", 8);
        std::memcpy(md.PutTime, "12000000", 8);
        return md;
    }
    int run(const MQMD &md, std::vector<uint8_t> data) {
        return evRunCommandMessage(&evContext, nullptr, &md, data.data(), static_cast<int32_t>(data.size()));
    }
    int runPcf(const std::vector<uint8_t> &data) { return run(request(MQFMT_ADMIN), data); }
    int runMqsc(const std::string &text) {
        return run(request(MQFMT_STRING), std::vector<uint8_t>(text.begin(), text.end()));
    }
    // The texts of the reply messages, each split at its NUL separators.
    std::vector<std::string> texts() const {
        std::vector<std::string> all;
        for (const Put &put : fake.puts) {
            std::string data(put.data.begin(), put.data.end());
            size_t start = 0;
            for (size_t at = data.find('\0'); at != std::string::npos; at = data.find('\0', start)) {
                all.push_back(data.substr(start, at - start));
                start = at + 1;
            }
            all.push_back(data.substr(start));
        }
        return all;
    }
    std::string allText() const {
        std::string text;
        for (const std::string &t : texts()) text += t + "|";
        return text;
    }
    Pcf lastHandled() const { return handled.empty() ? Pcf{} : parse(handled.back()); }
    // The responses of one command: every reply message split at its separators; the replies are
    // taken (the next command's start afresh).
    std::vector<Pcf> responses() {
        std::vector<Pcf> all;
        for (const Put &put : fake.puts) {
            Pcf message = parse(put.data);
            Pcf one = message;
            one.parms.clear();
            for (const Parm &p : message.parms) {
                if (p.id == CMD_PARM_SEPARATOR) {
                    all.push_back(one);
                    one.parms.clear();
                    continue;
                }
                one.parms.push_back(p);
            }
            all.push_back(one);
        }
        fake.puts.clear();
        return all;
    }
    // Commands each refused in one response with its reason, parameter and (where given) text.
    struct RefusedCommand {
        const char *what;
        std::vector<uint8_t> command;
        int32_t reason;
        int32_t parmId;
        const char *text;
    };
    void expectRefusals(const std::vector<RefusedCommand> &cases) {
        for (const RefusedCommand &c : cases) {
            SCOPED_TRACE(c.what);
            fake.puts.clear();
            EXPECT_EQ(runPcf(c.command), 1);
            const std::vector<Pcf> shown = responses();
            if (shown.size() != 1u) {
                ADD_FAILURE() << shown.size() << " responses";
                continue;
            }
            EXPECT_EQ(shown[0].reason, c.reason);
            EXPECT_EQ(shown[0].get(MQIACF_PARAMETER_ID).value, c.parmId);
            if (c.text != nullptr) {
                EXPECT_EQ(shown[0].get(CMD_PARM_TEXT).text, c.text);
            }
        }
    }
    static std::vector<int32_t> ids(const Pcf &pcf) {
        std::vector<int32_t> out;
        for (const Parm &p : pcf.parms) out.push_back(p.id);
        return out;
    }
    MQIFunctionTable table_{};
};

}  // namespace ct
