// The MQ library bound at run time: the MQI function table every MQI call goes through, the loading
// of IBM MQ's server or client library into it, and the trace lines that bracket every MQI call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "mqi/cmqc.h"

// ---- The function table ------------------------------------------------------------------------------

// The 25 MQI entry points of one loaded library, in this fixed slot order. A table is loaded when its
// MQCONN slot is set; a loaded table is never loaded again and its library never unloaded. An optional
// verb the library lacks is bound to a stub that fails with 2298 (MQRC_FUNCTION_NOT_SUPPORTED).
struct MQIFunctionTable {
    PMQBACK MQBACK;    // 0
    PMQCLOSE MQCLOSE;  // 1
    PMQCMIT MQCMIT;    // 2
    PMQCONN MQCONN;    // 3
    PMQCONNX MQCONNX;  // 4
    PMQDISC MQDISC;    // 5
    PMQGET MQGET;      // 6
    PMQINQ MQINQ;      // 7
    PMQOPEN MQOPEN;    // 8
    PMQPUT MQPUT;      // 9
    PMQPUT1 MQPUT1;    // 10
    PMQSET MQSET;      // 11
    PMQSUB MQSUB;      // 12
    PMQSUBRQ MQSUBRQ;  // 13
    PMQCB MQCB;        // 14
    PMQCTL MQCTL;      // 15
    PMQCRTMH MQCRTMH;  // 16
    PMQDLTMH MQDLTMH;  // 17
    PMQINQMP MQINQMP;  // 18
    PMQSETMP MQSETMP;  // 19
    PMQDLTMP MQDLTMP;  // 20
    PMQBUFMH MQBUFMH;  // 21
    PMQMHBUF MQMHBUF;  // 22
    PMQSTAT MQSTAT;    // 23
    PMQXCNVC MQXCNVC;  // 24
};
static_assert(sizeof(MQIFunctionTable) == 25 * sizeof(void *));
static_assert(offsetof(MQIFunctionTable, MQCONN) == 3 * sizeof(void *));
static_assert(offsetof(MQIFunctionTable, MQXCNVC) == 24 * sizeof(void *));

// The event processor's pair: the server library ("bindings") and the client library. The command
// console keeps a pair of its own of the same type.
extern MQIFunctionTable evMQServerTable;
extern MQIFunctionTable evMQClientTable;

// 1 when the table's MQCONN slot is set.
bool MQTableLoaded(const MQIFunctionTable *table);

// ---- Loading -----------------------------------------------------------------------------------------

// Result of MQLoadLibrary when the library lacks a verb every connection needs.
constexpr int32_t MQ_LOAD_VERB_MISSING = 11;

// Loads a library into the table under the platform memory lock: "mqm" (libmqm.so, else libmqm_r.so,
// from the server folder), "mqic" or "mqic32" (libmqic.so, else libmqic_r.so, from the client folder),
// none or "" (the server library, else the client library); any other name is a file name (a path when
// it holds '/'), from the client folder when it contains "mqic", else from the server folder.
// 0 when loaded (or already loaded), 11 when a required verb is missing, else the code of the failed
// load (2: not found). Any result but 0 leaves every slot of the table unset.
// With MQACCESS_DEBUG set, "Loading '%s'" and "Load failed RC(%d) %s" go to the console.
[[nodiscard]] int32_t MQLoadLibrary(const char *name, MQIFunctionTable *table);

// Folder of the server library: MQM_DLL_PATH, else MQ_INSTALLATION_PATH + "/lib64", else "".
// The text stays valid until the calling thread asks again.
const char *MQGetServerLibPath();
// Folder of the client library: MQIC_DLL_PATH, else MQ_INSTALLATION_PATH + "/lib64", else "".
const char *MQGetClientLibPath();

// Loads one library file: the file name alone when it holds '/' or the folder is null or empty, else
// folder + '/' + file name. 0 with *module set, or the code of the failed load. With MQACCESS_DEBUG set
// the console gets "Loading '%s'" before and "Load failed RC(%d) %s" after a failure.
[[nodiscard]] int32_t MQLoadLibraryFile(const char *fileName, const char *folder, void **module);

// The stubs bound to optional verbs a library lacks, by the verb's argument count. Each stores
// MQCC_FAILED through its next-to-last argument and MQRC_FUNCTION_NOT_SUPPORTED through its last
// and touches nothing else. One overload per verb signature, so each slot gets a stub of its own type.
void MQStubNotSupported5(PMQCHAR, PMQVOID, PMQHCONN, PMQLONG pCompCode, PMQLONG pReason);  // MQCONNX
void MQStubNotSupported5(MQHCONN, MQLONG, PMQVOID, PMQLONG pCompCode, PMQLONG pReason);    // MQCTL, MQSTAT
void MQStubNotSupported5(MQHCONN, PMQVOID, PMQHMSG, PMQLONG pCompCode, PMQLONG pReason);   // MQCRTMH
void MQStubNotSupported5(MQHCONN, PMQHMSG, PMQVOID, PMQLONG pCompCode, PMQLONG pReason);   // MQDLTMH
void MQStubNotSupported6(MQHCONN, PMQVOID, PMQHOBJ, PMQHOBJ, PMQLONG pCompCode, PMQLONG pReason);  // MQSUB
void MQStubNotSupported6(MQHCONN, MQHOBJ, MQLONG, PMQVOID, PMQLONG pCompCode, PMQLONG pReason);    // MQSUBRQ
void MQStubNotSupported6(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQLONG pCompCode, PMQLONG pReason);   // MQDLTMP
void MQStubNotSupported8(MQHCONN, MQLONG, PMQVOID, MQHOBJ, PMQVOID, PMQVOID, PMQLONG pCompCode,
                         PMQLONG pReason);  // MQCB
void MQStubNotSupported9(MQHCONN, MQHMSG, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG, PMQLONG pCompCode,
                         PMQLONG pReason);  // MQBUFMH
void MQStubNotSupported10(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, MQLONG, MQLONG, PMQVOID,
                          PMQLONG pCompCode, PMQLONG pReason);  // MQSETMP
void MQStubNotSupported10(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, MQLONG, PMQVOID, PMQLONG,
                          PMQLONG pCompCode, PMQLONG pReason);  // MQMHBUF
void MQStubNotSupported11(MQHCONN, MQHMSG, PMQVOID, PMQVOID, PMQVOID, PMQLONG, MQLONG, PMQVOID, PMQLONG,
                          PMQLONG pCompCode, PMQLONG pReason);  // MQINQMP
void MQStubNotSupported11(MQHCONN, MQLONG, MQLONG, MQLONG, PMQCHAR, MQLONG, MQLONG, PMQCHAR, PMQLONG,
                          PMQLONG pCompCode, PMQLONG pReason);  // MQXCNVC

// ---- Trace -------------------------------------------------------------------------------------------
// With debug letter A every MQI call is traced; with letter a the control calls (flag 1) and the event
// handler's calls with a reason (flag 8), and every call while the queue manager is ending (the run
// state's qmgrEnding flag). Each line goes whole to the log (severity 32) and, unless in the background,
// to the console cut to 96 characters.

// Call flags.
constexpr uint32_t EV_TRACE_CONTROL = 1;   // connect, open, close, inquire, MQCTL, MQCB registration
constexpr uint32_t EV_TRACE_SHOW_HC = 2;   // the OUT line shows the connection handle (MQCONN: 3)
constexpr uint32_t EV_TRACE_CONSOLE = 4;   // a connection of the script's console: "HC(VEDRA   ) "
constexpr uint32_t EV_TRACE_EVENT_RC = 8;  // an event-handler callback with a reason (9 with flag 1)

// The object handles the trace names by role; the engine sets each when it opens the queue and sets
// it back to 0 when it closes it.
enum EvTraceObject : int32_t {
    EV_TRACE_HO_E_STATE = 0,  // data queue of set E, on set E's STATE connection
    EV_TRACE_HO_C_STATE,      // data queue of set C, on set C's STATE connection
    EV_TRACE_HO_C_CMD,        // command queue, on set C's EVENT connection
    EV_TRACE_HO_SLOTS
};
extern std::atomic<MQHOBJ> evTraceObjectHandles[EV_TRACE_HO_SLOTS];

void evTraceCallIn(const char *label, MQHCONN hconn, uint32_t flags, MQHOBJ hobj);
void evTraceCallOut(const char *label, MQHCONN hconn, uint32_t flags, MQLONG reason);
void evTraceOpenIn(const char *label, MQHCONN hconn, uint32_t flags, const MQOD *objDesc);
void evTraceOpenOut(const char *label, MQHCONN hconn, uint32_t flags, const MQOD *objDesc, MQHOBJ hobj,
                    MQLONG reason);
void evTraceCallbackIn(const char *label, MQHCONN hconn, uint32_t flags, const MQCBC *context);
void evTraceCallbackOut(const char *label, MQHCONN hconn, uint32_t flags);

// 1 when a call with these flags is traced now.
bool evTraceWanted(uint32_t flags);

// The pieces of a line, each ending in its blank; every one writes at most size - 1 characters and a
// NUL, and returns the characters written.
size_t evTraceHconn(char *buffer, size_t size, MQHCONN hconn, uint32_t flags);  // connection tag
size_t evTraceHobj(char *buffer, size_t size, MQHCONN hconn, MQHOBJ hobj);      // object tag
size_t evTraceObjDesc(char *buffer, size_t size, const MQOD *objDesc);          // object description

// Console width of a trace line: a longer one ends in "..." on the console (the log gets it whole).
constexpr int32_t EV_TRACE_CONSOLE_WIDTH = 96;

// Writes one trace line (without its line end) to the log and the console.
void evTraceWrite(const char *line, int32_t length);
