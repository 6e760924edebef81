// Binding of the MQ library at run time: finds the server or client library, loads it and fills an
// MQIFunctionTable from its exported verbs, with stubs for the optional verbs an older library lacks.
#include "mqi/mqbind.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"

MQIFunctionTable evMQServerTable = {};
MQIFunctionTable evMQClientTable = {};

namespace {

// The MQACCESS_DEBUG lines of one load, printed once the memory lock is released: printing under it
// would take the log-and-console lock inside the memory lock, against the lock order.
struct LoadDebug {
    bool on = false;
    std::vector<std::string> lines;
};

void printDebug(const LoadDebug &debug) {
    for (const std::string &line : debug.lines)
        evOutput(EV_OUT_INFO, line.c_str(), static_cast<int32_t>(line.size()), 0);
}

std::string libFolder(const char *ownVariable) {
    const char *own = std::getenv(ownVariable);
    if (own) return own;
    const char *installation = std::getenv("MQ_INSTALLATION_PATH");
    if (installation) return std::string(installation) + CS_MQ_LIBRARY_NAMES.installFolder;
    return std::string();
}

int32_t loadPath(const std::string &path, void **module, LoadDebug *debug) {
    if (debug->on) debug->lines.push_back("Loading '" + path + "'");
    char message[501];
    int32_t rc = CSLoadLibrary(path.c_str(), module, message, sizeof message);
    if (rc != 0 && debug->on) debug->lines.push_back("Load failed RC(" + std::to_string(rc) + ") " + message);
    return rc;
}

int32_t loadFile(const char *fileName, const char *folder, void **module, LoadDebug *debug) {
    std::string path;
    const char separator = CS_MQ_LIBRARY_NAMES.separator;
    bool inFolder = folder && *folder && !CSLibraryNameIsPath(fileName);
    if (!inFolder) {
        path = fileName;
    } else {
        path = folder;
        if (path.back() != separator && path.back() != '/') path += separator;
        path += fileName;
    }
    int32_t rc = loadPath(path, module, debug);
    // Windows: a library not in the installation's folder is looked for along the PATH.
    if (rc == CS_LIB_NOT_FOUND && inFolder && CS_MQ_LIBRARY_NAMES.searchAfterFolder)
        rc = loadPath(fileName, module, debug);
    return rc;
}

// A library under its name, else under its "_r" name (older installations ship only that one). A
// library that is there but fails to load says more than a missing second name, so its code wins.
int32_t loadEither(const char *fileName, const char *otherName, const std::string &folder, void **module,
                   LoadDebug *debug) {
    int32_t rc = loadFile(fileName, folder.c_str(), module, debug);
    if (rc == 0 || otherName == nullptr) return rc;
    int32_t rc2 = loadFile(otherName, folder.c_str(), module, debug);
    if (rc2 == 0) return 0;
    return rc == CS_LIB_NOT_FOUND ? rc2 : rc;
}

// The folders come from libFolder, never from MQGetServerLibPath/MQGetClientLibPath: their thread_local
// texts, made on a thread that loads, would give it a thread-exit destructor, which the mingw-w64
// run time calls inside the threads library's exit under that library's global lock, and which
// frees a module reference and so waits for the loader lock; a callback thread of the MQ library
// ending at the same moment holds the loader lock and waits for that global lock, and both hang.
int32_t loadModule(const char *name, void **module, LoadDebug *debug) {
    if (!name || !*name) {
        int32_t rc = loadEither(CS_MQ_LIBRARY_NAMES.server, CS_MQ_LIBRARY_NAMES.serverOther,
                                libFolder("MQM_DLL_PATH"), module, debug);
        if (rc == 0) return 0;
        return loadEither(CS_MQ_LIBRARY_NAMES.client, CS_MQ_LIBRARY_NAMES.clientOther,
                          libFolder("MQIC_DLL_PATH"), module, debug);
    }
    if (std::strstr(name, "mqic")) {
        std::string folder = libFolder("MQIC_DLL_PATH");
        if (!std::strcmp(name, "mqic") || !std::strcmp(name, "mqic32"))
            return loadEither(CS_MQ_LIBRARY_NAMES.client, CS_MQ_LIBRARY_NAMES.clientOther, folder, module,
                              debug);
        return loadFile(name, folder.c_str(), module, debug);
    }
    std::string folder = libFolder("MQM_DLL_PATH");
    if (!std::strcmp(name, "mqm"))
        return loadEither(CS_MQ_LIBRARY_NAMES.server, CS_MQ_LIBRARY_NAMES.serverOther, folder, module, debug);
    return loadFile(name, folder.c_str(), module, debug);
}

template <class Fn>
bool bindVerb(void *module, const char *verb, Fn *slot) {
    void *address = CSLibrarySymbol(module, verb);
    if (!address) return false;
    *slot = reinterpret_cast<Fn>(address);
    return true;
}

template <class Fn, class Stub>
void bindOptional(void *module, const char *verb, Fn *slot, Stub stub) {
    if (!bindVerb(module, verb, slot)) *slot = stub;
}

// Fills t from the module: 0, or 11 when a verb every connection needs is missing.
int32_t bindTable(void *module, MQIFunctionTable *t) {
    bool required = bindVerb(module, "MQCONN", &t->MQCONN) && bindVerb(module, "MQDISC", &t->MQDISC) &&
                    bindVerb(module, "MQCMIT", &t->MQCMIT) && bindVerb(module, "MQBACK", &t->MQBACK) &&
                    bindVerb(module, "MQPUT", &t->MQPUT) && bindVerb(module, "MQGET", &t->MQGET) &&
                    bindVerb(module, "MQPUT1", &t->MQPUT1) && bindVerb(module, "MQINQ", &t->MQINQ) &&
                    bindVerb(module, "MQSET", &t->MQSET) && bindVerb(module, "MQOPEN", &t->MQOPEN) &&
                    bindVerb(module, "MQCLOSE", &t->MQCLOSE);
    if (!required) return MQ_LOAD_VERB_MISSING;
    PMQCONNX connx = MQStubNotSupported5;
    PMQSUB sub = MQStubNotSupported6;
    PMQSUBRQ subrq = MQStubNotSupported6;
    PMQCB cb = MQStubNotSupported8;
    PMQCTL ctl = MQStubNotSupported5;
    PMQCRTMH crtmh = MQStubNotSupported5;
    PMQDLTMH dltmh = MQStubNotSupported5;
    PMQINQMP inqmp = MQStubNotSupported11;
    PMQSETMP setmp = MQStubNotSupported10;
    PMQDLTMP dltmp = MQStubNotSupported6;
    PMQBUFMH bufmh = MQStubNotSupported9;
    PMQMHBUF mhbuf = MQStubNotSupported10;
    PMQSTAT stat = MQStubNotSupported5;
    PMQXCNVC xcnvc = MQStubNotSupported11;
    bindOptional(module, "MQCONNX", &t->MQCONNX, connx);
    bindOptional(module, "MQSUB", &t->MQSUB, sub);
    bindOptional(module, "MQSUBRQ", &t->MQSUBRQ, subrq);
    bindOptional(module, "MQCB", &t->MQCB, cb);
    bindOptional(module, "MQCTL", &t->MQCTL, ctl);
    bindOptional(module, "MQCRTMH", &t->MQCRTMH, crtmh);
    bindOptional(module, "MQDLTMH", &t->MQDLTMH, dltmh);
    bindOptional(module, "MQINQMP", &t->MQINQMP, inqmp);
    bindOptional(module, "MQSETMP", &t->MQSETMP, setmp);
    bindOptional(module, "MQDLTMP", &t->MQDLTMP, dltmp);
    bindOptional(module, "MQBUFMH", &t->MQBUFMH, bufmh);
    bindOptional(module, "MQMHBUF", &t->MQMHBUF, mhbuf);
    bindOptional(module, "MQSTAT", &t->MQSTAT, stat);
    bindOptional(module, "MQXCNVC", &t->MQXCNVC, xcnvc);
    return 0;
}

// The MQCONN slot says whether a table is loaded; it is written last, so a reader that sees it set
// sees every other slot bound.
PMQCONN loadedConn(const MQIFunctionTable *table) {
    return std::atomic_ref<PMQCONN>(const_cast<MQIFunctionTable *>(table)->MQCONN)
        .load(std::memory_order_acquire);
}

// Writes every slot, MQCONN last, so that no reader sees MQCONN set beside a slot still unset.
void writeSlots(MQIFunctionTable *table, const MQIFunctionTable &slots) {
    constexpr size_t conn = offsetof(MQIFunctionTable, MQCONN);
    constexpr size_t rest = conn + sizeof(PMQCONN);
    auto *to = reinterpret_cast<unsigned char *>(table);
    auto *from = reinterpret_cast<const unsigned char *>(&slots);
    std::memcpy(to, from, conn);
    std::memcpy(to + rest, from + rest, sizeof(MQIFunctionTable) - rest);
    std::atomic_ref<PMQCONN>(table->MQCONN).store(slots.MQCONN, std::memory_order_release);
}

// ---- Test hook: the program killed at a chosen MQI call ------------------------------------------
// For the exactly-once tests of the real program only. ZUNT_TEST_KILL_AT="VERB[@CONNECTION][#BYTE]:N"
// ends the process as kill -9 would (evKillProcess) just before the N-th call (1 upward) of VERB
// through the event processor's tables (evMQServerTable, evMQClientTable). With @CONNECTION only the
// calls on the connection in that slot count (E_EVENT, E_STATE, E_STATEN, C_EVENT, C_STATE,
// C_STATEN; without a separate state queue manager a STATE slot holds the EVENT connection); with
// #BYTE (decimal) only the gets and puts whose message descriptor's CorrelId begins with that byte.
// VERB is one of MQBACK, MQCMIT, MQGET, MQPUT, MQPUT1, MQOPEN, MQCLOSE, MQINQ, MQCTL. Examples:
// "MQCMIT@C_EVENT:1" (set C's first commit), "MQPUT#5:2" (the second put of the storm message).
// Read once, when the first of those tables is loaded. Unset, or not understood, the tables keep the
// library's own entries: nothing is counted and no call pays for the hook.

struct TestKill {
    int32_t verb = -1;  // index in kKillVerbs
    int32_t connection = -1;
    int32_t correlByte = -1;
    uint64_t at = 0;
    std::atomic<uint64_t> counted{0};
    MQIFunctionTable originals[2] = {};  // of evMQServerTable and evMQClientTable
};
TestKill testKill;

constexpr const char *kKillVerbs[] = {"MQBACK", "MQCMIT",  "MQGET", "MQPUT", "MQPUT1",
                                      "MQOPEN", "MQCLOSE", "MQINQ", "MQCTL"};
enum KillVerb : int32_t { kBack, kCmit, kGet, kPut, kPut1, kOpen, kClose, kInq, kCtl };
constexpr const char *kKillConnections[] = {"E_EVENT", "E_STATE", "E_STATEN",
                                            "C_EVENT", "C_STATE", "C_STATEN"};
static_assert(std::size(kKillConnections) == EV_CONN_SLOTS);

template <size_t N>
int32_t indexOf(const char *const (&names)[N], const std::string &name) {
    for (size_t i = 0; i < N; i++)
        if (name == names[i]) return static_cast<int32_t>(i);
    return -1;
}

// A decimal number of 1 to 18 digits, not above limit.
bool decimal(const std::string &text, uint64_t limit, uint64_t *out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoull(text);
    return *out <= limit;
}

bool parseTestKill(const std::string &text, TestKill *rule) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || !decimal(text.substr(colon + 1), UINT64_MAX, &rule->at) ||
        rule->at == 0)
        return false;
    std::string head = text.substr(0, colon);
    const size_t hash = head.find('#');
    if (hash != std::string::npos) {
        uint64_t byte = 0;
        if (!decimal(head.substr(hash + 1), 255, &byte)) return false;
        rule->correlByte = static_cast<int32_t>(byte);
        head.resize(hash);
    }
    const size_t at = head.find('@');
    if (at != std::string::npos) {
        rule->connection = indexOf(kKillConnections, head.substr(at + 1));
        if (rule->connection < 0) return false;
        head.resize(at);
    }
    rule->verb = indexOf(kKillVerbs, head);
    // Only gets and puts carry a message descriptor.
    return rule->verb >= 0 &&
           (rule->correlByte < 0 || rule->verb == kGet || rule->verb == kPut || rule->verb == kPut1);
}

const TestKill *testKillRule() {
    static const bool armed = [] {
        const char *text = std::getenv("ZUNT_TEST_KILL_AT");
        return text != nullptr && parseTestKill(text, &testKill);
    }();
    return armed ? &testKill : nullptr;
}

// Every verb of the hook takes the connection handle first; gets and puts (MQPUT1 too) the message
// descriptor third.
template <int32_t Verb, class... A>
void countTowardsKill(A... args) {
    const MQHCONN hconn = std::get<0>(std::tie(args...));
    if (testKill.connection >= 0 && hconn != evConnHandles[testKill.connection].load()) return;
    if constexpr (Verb == kGet || Verb == kPut || Verb == kPut1) {
        const auto *md = static_cast<const MQMD *>(std::get<2>(std::tie(args...)));
        if (testKill.correlByte >= 0 &&
            (md == nullptr || static_cast<uint8_t>(md->CorrelId[0]) != testKill.correlByte))
            return;
    }
    if (testKill.counted.fetch_add(1) + 1 == testKill.at) evKillProcess();
}

template <size_t Table, int32_t Verb, auto Slot, class F>
struct KillEntry;

template <size_t Table, int32_t Verb, auto Slot, class... A>
struct KillEntry<Table, Verb, Slot, void (*)(A...)> {
    static void call(A... args) {
        countTowardsKill<Verb>(args...);
        (testKill.originals[Table].*Slot)(args...);
    }
};

template <size_t Table>
void armTestKill(MQIFunctionTable *bound) {
    testKill.originals[Table] = *bound;
#define ZUNT_KILL_SLOT(verb, index)                                                                   \
    case index:                                                                                       \
        bound->verb = &KillEntry<Table, index, &MQIFunctionTable::verb, decltype(bound->verb)>::call; \
        break
    switch (testKill.verb) {
        ZUNT_KILL_SLOT(MQBACK, kBack);
        ZUNT_KILL_SLOT(MQCMIT, kCmit);
        ZUNT_KILL_SLOT(MQGET, kGet);
        ZUNT_KILL_SLOT(MQPUT, kPut);
        ZUNT_KILL_SLOT(MQPUT1, kPut1);
        ZUNT_KILL_SLOT(MQOPEN, kOpen);
        ZUNT_KILL_SLOT(MQCLOSE, kClose);
        ZUNT_KILL_SLOT(MQINQ, kInq);
        ZUNT_KILL_SLOT(MQCTL, kCtl);
        default:
            break;
    }
#undef ZUNT_KILL_SLOT
}

// The hook's entry in the slot of its verb, when it is set and the table is one of the event
// processor's.
void armTestKillIfSet(const MQIFunctionTable *table, MQIFunctionTable *bound) {
    if (testKillRule() == nullptr) return;
    if (table == &evMQServerTable) armTestKill<0>(bound);
    if (table == &evMQClientTable) armTestKill<1>(bound);
}

int32_t loadLocked(const char *name, MQIFunctionTable *table, LoadDebug *debug) {
    if (loadedConn(table)) return 0;
    void *module = nullptr;
    int32_t rc = loadModule(name, &module, debug);
    MQIFunctionTable bound = {};
    if (rc == 0) rc = bindTable(module, &bound);
    if (rc != 0) {
        // Nothing half-bound is left behind: a table with MQCONN but without MQOPEN or MQCLOSE would
        // count as loaded and crash the next connect; unset, the next attempt loads again.
        writeSlots(table, MQIFunctionTable{});
        return rc;
    }
    armTestKillIfSet(table, &bound);
    writeSlots(table, bound);
    return 0;
}

void stubFail(PMQLONG pCompCode, PMQLONG pReason) {
    if (pCompCode) *pCompCode = MQCC_FAILED;
    if (pReason) *pReason = MQRC_FUNCTION_NOT_SUPPORTED;
}

}  // namespace

bool MQTableLoaded(const MQIFunctionTable *table) {
    return table && loadedConn(table) != nullptr;
}

int32_t MQLoadLibrary(const char *name, MQIFunctionTable *table) {
    if (!table) return CS_LIB_LOAD_FAILED;
    LoadDebug debug;
    debug.on = std::getenv("MQACCESS_DEBUG") != nullptr;
    CSLockMemory();
    int32_t rc = loadLocked(name, table, &debug);
    CSUnlockIt();
    printDebug(debug);
    return rc;
}

const char *MQGetServerLibPath() {
    thread_local std::string folder;
    folder = libFolder("MQM_DLL_PATH");
    return folder.c_str();
}

const char *MQGetClientLibPath() {
    thread_local std::string folder;
    folder = libFolder("MQIC_DLL_PATH");
    return folder.c_str();
}

int32_t MQLoadLibraryFile(const char *fileName, const char *folder, void **module) {
    LoadDebug debug;
    debug.on = std::getenv("MQACCESS_DEBUG") != nullptr;
    int32_t rc = loadFile(fileName ? fileName : "", folder, module, &debug);
    printDebug(debug);
    return rc;
}

void MQStubNotSupported5(PMQCHAR, PMQVOID, PMQHCONN, PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported5(MQHCONN, MQLONG, PMQVOID, PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported5(MQHCONN, PMQVOID, PMQHMSG, PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported5(MQHCONN, PMQHMSG, PMQVOID, PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported6(MQHCONN, PMQVOID, PMQHOBJ, PMQHOBJ, PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported6(MQHCONN, MQHOBJ, MQLONG, PMQVOID, PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported6(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported8(MQHCONN, MQLONG, PMQVOID, MQHOBJ, PMQVOID, PMQVOID, PMQLONG pCompCode,
                         PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported9(MQHCONN, MQHMSG, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG pCompCode,
                         PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported10(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, MQLONG, MQLONG, PMQVOID,
                          PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported10(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG,
                          PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported11(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, PMQLONG, MQLONG, PMQVOID, PMQLONG,
                          PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
void MQStubNotSupported11(MQHCONN, MQLONG, MQLONG, MQLONG, PMQCHAR, MQLONG, MQLONG, PMQCHAR, PMQLONG,
                          PMQLONG pCompCode, PMQLONG pReason) {
    stubFail(pCompCode, pReason);
}
