// Fuzz target: the record hooks over an arbitrary stored record. The first byte picks the record's
// kind (its hook); the rest is the record, walked object by object, its items read through every
// kind of record variable, and its _stream decision made.
#include <cstdint>
#include <cstring>
#include <vector>

#include "console/console.h"
#include "engine/engine.h"
#include "script/script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void discard(int32_t, const char *, size_t) {}
void noFlush(int32_t) {}
int32_t notTerminal(int32_t) {
    return 0;
}
const EvConsoleSink quiet = {discard, noFlush, notTerminal};

// Every hook reads names of every prefix, some known and some not, and sets _stream from one.
const char *const kScript[] = {
    "func reads()",
    "  @v = event.eventid + event.summary + event.evobjname + event.evuserid + event.evtype",
    "  @v = event.before.maxdepth + event.after.descr + event.cmddata.qname + event.curdepth",
    "  @v = data.evqmgr + data.intvlsta + data.qname + data.puts + data.chlname",
    "  @v = mqmd.persistence + mqmd.msgid + cfh.reason + cfh.command + alert.text + _idxData + _dspcmd",
    "  _stream = event.evobjname",
    "endfunc",
    "func ZUNTEvent()",
    "reads()",
    "endfunc",
    "func ZUNTStatQ()",
    "reads()",
    "endfunc",
    "func ZUNTStatChl()",
    "reads()",
    "endfunc",
    "func ZUNTStatMQI()",
    "reads()",
    "endfunc",
    "func ZUNTAcctQ()",
    "reads()",
    "endfunc",
    "func ZUNTAcctMQI()",
    "reads()",
    "endfunc",
    "func ZUNTConnected()",
    "endfunc",
    "func ZUNTDisconnected()",
    "endfunc",
    "func ZUNTRetryConnect()",
    "endfunc",
    "func ZUNTEnding()",
    "endfunc",
    "func ZUNTAlertExpire()",
    "endfunc",
};

bool ready() {
    evSetConsoleSink(&quiet);
    scriptInstall();
    evInstallCatalogue();
    if (!evStringsInit(0) || cslApplyConfiguration() == 0) return false;
    cslSession *session = gSession.load();
    if (session == nullptr || cslScript.echoSwitch == nullptr) return false;
    cslScript.echoSwitch(session, CSL_ECHO_INPUT, -1);  // makes the session's program
    cmdProgram *program = session->program;
    if (program == nullptr) return false;
    cmdReadContext *reader =
        cmdMemoryReader(program, "fuzz.vdr", kScript, sizeof kScript / sizeof kScript[0]);
    if (reader == nullptr) return false;
    cmdPushReader(program, reader);
    cmdParseFile(program);
    cmdPopReader(program);
    return cslFindHooks(program) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool set = ready();
    if (!set || size < 1 || size > 1 << 16) return 0;
    const int32_t kind = 1 + data[0] % 6;
    std::vector<uint8_t> record(data + 1, data + size);
    MQMD md = MQMD_DEFAULT;
    EvRecordHook hook{static_cast<uint32_t>(kind),
                      record.data(),
                      static_cast<uint32_t>(record.size()),
                      &md,
                      "QM1",
                      nullptr,
                      {}};
    if (kind == STREAM_TYPE_EVENTS)
        hook.summary = evCFSummarise(&evStreamStringPool, record.data(), record.size());
    cslCallRecordHook(&hook, kind);
    if (hook.summary != nullptr) AreaRelease(&hook.summary);
    if (std::memchr(hook.streams, 0, sizeof hook.streams) == nullptr) __builtin_trap();
    gSession.load()->endRequested.store(0);
    evEndFlag.store(0);
    return 0;
}
