// The script interpreter's slots in the engine, filled once before the engine runs.
#include "engine/engine.h"
#include "script/script.h"

void scriptInstall() {
    evServices.findFunction = cmdFindFunctionRow;
}
