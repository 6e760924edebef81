// The program's entry point: each subsystem that is built fills its slots, then the engine runs.
#include <cstdlib>

#include "ccdt/ccdt.h"
#include "cmdserver/cmdserver.h"
#include "console/console.h"
#include "emit/emit.h"
#include "engine/engine.h"
#include "script/script.h"
#include "stats/stats.h"

int main(int argc, char **argv) {
    cfgInstall();
    emitInstall();
    cmdInstall();
    statsInstall();
    cslInstall();
    scriptInstall();
    ccdtInstall();

    char programFolder[EV_LOG_ROOT_MAX];
    char currentFolder[EV_LOG_ROOT_MAX];
    EvEnvironment environment{};
    environment.logHeartbeat = std::getenv("ZUNT_LOG_HB");
    environment.logPath = std::getenv("ZUNT_LOG_PATH");
    if (evProgramFolder(programFolder, sizeof programFolder)) environment.programFolder = programFolder;
    if (evCurrentFolder(currentFolder, sizeof currentFolder)) environment.currentFolder = currentFolder;
    return evMain(argc, argv, &environment);
}
