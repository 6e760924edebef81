// The start-up script: found beside the program unless the -f option names another folder or file,
// read into the console's program, run once, and checked for the eleven hooks the engine calls.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "engine/engine.h"
#include "script/internal.h"

namespace {

constexpr char kDefaultName[] = "zunt.vdr";
constexpr int32_t kNoWrapWidth = 999999999;

bool isSeparator(char c) {
    return c == ':' || c == '/' || c == '\\';
}

// The error of a load as the program reports it: on standard error and as an error line.
void loadError(cmdProgram *program, const char *text) {
    evConsolePrint(2, text, -1);
    evConsolePrint(2, "\n", 1);
    if (program != nullptr)
        cmdOutput(program, CSL_LINE_ERROR, text);
    else
        evOutput(EV_OUT_ERROR, text, -1, 1);
}

// Parses and runs the opened file in the console's program: 1 when it ran to its end.
int parseAndRun(cslSession *session, cmdProgram *program, cmdReadContext *reader) {
    reader->echo.input = 0;
    cmdPushReader(program, reader);
    session->screenWidth = kNoWrapWidth;
    cmdParseFile(program);
    if (program->parseError || program->failed) return 0;
    // Errors are reported and the script goes on, as in the hooks.
    program->run->continueAfterError = 1;
    dbgSyncFlags(program);
    program->current = program->head;
    cmdRunCommands(program);
    program->run->continueAfterError = 0;
    if (session->endRequested.load()) {
        evEndFlag.store(1);
        return 0;
    }
    if (!reader->endOfInput) {
        char text[64];
        std::snprintf(text, sizeof text, "vdr file parse stopped at line %u\n", reader->lineNumber);
        evConsolePrint(2, text, -1);
        return 0;
    }
    return 1;
}

}  // namespace

int cslStartupScriptPath(const char *option, const char *programFolder, char *out, size_t size) {
    const char *text = option != nullptr ? option : "";
    while (*text == ' ' || *text == '\t') text++;
    const size_t length = std::strlen(text);
    size_t folderLength = length;
    const char *name = kDefaultName;
    size_t nameLength = sizeof kDefaultName - 1;
    if (std::memchr(text, '.', length) != nullptr) {
        size_t cut = length;
        while (cut > 0 && !isSeparator(text[cut - 1])) cut--;
        if (cut < length) {
            name = text + cut;
            nameLength = length - cut;
        }
        // A drive's ':' stays with its folder; a '/' or '\' goes, unless it is the root itself.
        folderLength = cut;
        if (folderLength > 1 && (text[folderLength - 1] == '/' || text[folderLength - 1] == '\\'))
            folderLength--;
    }
    while (folderLength > 1 && (text[folderLength - 1] == '/' || text[folderLength - 1] == '\\'))
        folderLength--;
    const char *folder = text;
    if (folderLength == 0) {
        folder = programFolder != nullptr ? programFolder : "";
        folderLength = std::strlen(folder);
    }
    const bool joined = folderLength > 0 && !isSeparator(folder[folderLength - 1]);
    int n = std::snprintf(out, size, "%.*s%s%.*s", static_cast<int>(folderLength), folder, joined ? "/" : "",
                          static_cast<int>(nameLength), name);
    return n >= 0 && static_cast<size_t>(n) < size ? 1 : 0;
}

int LoadVEDRAFile(const char *option) {
    CSRecursiveGuard guard(gScriptLock);
    evOutput(EV_OUT_PROGRESS, "Loading VEDRA Script...", -1, 1);
    InitialiseCommandFields();

    char folder[EV_LOG_ROOT_MAX];
    if (!evProgramFolder(folder, sizeof folder))
        std::snprintf(folder, sizeof folder, "GetModuleName RC(%d)", errno);
    char path[CSL_PATH_MAX];
    if (!cslStartupScriptPath(option, folder, path, sizeof path)) {
        loadError(nullptr, "Start-up script path is too long");
        return 0;
    }

    if (cslApplyConfiguration() == 0) {
        loadError(nullptr, "Initialisation failed.");
        return 0;
    }
    cslSession *session = gSession.load();
    cmdProgram *program = session != nullptr ? cmdSessionProgram(session) : nullptr;
    if (program == nullptr) {
        loadError(nullptr, "Initialisation failed.");
        return 0;
    }
    int rc = 0;
    cmdReadContext *reader = cmdOpenFileReader(program, path, &rc);
    if (reader == nullptr) {
        char text[CSL_PATH_MAX + 128];
        std::snprintf(text, sizeof text, "Can not open file '%s' errno=%s(%d)", path, std::strerror(rc), rc);
        loadError(program, text);
        return 0;
    }
    int loaded = parseAndRun(session, program, reader);
    // The file's reader goes whatever happened; readers the script pushed are its own.
    while (program->reader != nullptr) {
        bool last = program->reader == reader;
        cmdPopReader(program);
        if (last) break;
    }
    return loaded && cslFindHooks(program) ? 1 : 0;
}
