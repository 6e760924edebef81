// The script interpreter's slots in the engine and the console, filled once before the engine runs.
#include "console/console.h"
#include "engine/engine.h"
#include "script/internal.h"

namespace {

// The main loop's '!' must not wait for a hook that holds the script lock (its debugger may be
// prompting): the flags are taken up by the next run, the start-up script's or a hook's.
void setScriptDebug(int32_t debugMode, int32_t trace) {
    evRunState.debugMode.store(debugMode);
    evScriptTrace.store(trace);
}

// The console's teardown holds the script lock; the hook runs with no record or alert.
void runEndingHook(cslSession *) {
    cslCallHook(EV_HOOK_ENDING, nullptr);
}

void resolveBreakpoints(cslSession *session, cmdCommand *first, cmdFUNCTION *function) {
    if (session->program != nullptr) dbgResolveBreakpoints(session->program, first, function);
}

}  // namespace

void scriptInstall() {
    evServices.findFunction = cmdFindFunctionRow;
    evServices.loadScript = LoadVEDRAFile;
    evServices.callRecordHook = cslCallRecordHook;
    evServices.callHook = cslCallHook;
    evServices.setScriptDebug = setScriptDebug;
    evServices.lookupKeyword = cslLookupKeywordValue;
    cslScript.runEndingHook = runEndingHook;
    cslScript.resolveBreakpoints = resolveBreakpoints;
    cslHookVariableResolver = cslResolveHookVariable;
    cmdDebuggerStop = dbgCheckStop;
    scriptInstallConsole();
    cmdInstallBuiltins();
}
