// The script interpreter's slots in the engine and the console, filled once before the engine runs.
#include "engine/engine.h"
#include "script/internal.h"

void scriptInstall() {
    evServices.findFunction = cmdFindFunctionRow;
    scriptInstallConsole();
    cmdInstallBuiltins();
}
