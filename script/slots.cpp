// The script's side of the console: the console reaches the reader through its script slots, each
// call holding the script lock, and the script's lines go into the console's output buffer.
#include <cstring>

#include "console/console.h"
#include "script/internal.h"

namespace {

void *toConsole(cmdProgram *program, uint32_t kind, const char *text, int64_t length, int32_t command) {
    auto *session = static_cast<cslSession *>(program->console);
    // The console shows an input echo like any other: the echo switches already chose.
    return cslAddOutput(session, cslMainList(session), nullptr, text, length, kind & ~CMD_OUT_INPUT_ECHO,
                        command < 0 ? CSL_CURRENT_COMMAND : command);
}

// =import lines met while parsing run at once through the console's local commands.
int localCommand(cmdProgram *program, const char *text) {
    return cslIssueLocalCommand(static_cast<cslSession *>(program->console), text);
}

// Command lines that the script runs go to the console's dispatcher; a line that a substitution
// made is not substituted again.
void issueCommand(cmdProgram *program, const char *text) {
    auto *session = static_cast<cslSession *>(program->console);
    const cmdCommand *record = program->current;
    if (record != nullptr && (record->flags & CMD_F_SUBSTITUTED) != 0)
        cslIssueSubstitutedCommand(session, text);
    else
        cslIssueCommand(session, text);
}

// The session's program, made on first use.
cmdProgram *programOf(cslSession *session) {
    if (session->program == nullptr) {
        cmdProgram *program = cmdCreateProgram();
        if (program == nullptr) {
            session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
            return nullptr;
        }
        program->console = session;
        program->output = toConsole;
        program->localCommand = localCommand;
        program->issueCommand = issueCommand;
        program->commandNumber = &session->commandNumber;
        session->program = program;
    }
    return session->program;
}

// Storage that ran out during a call shows in the console's result flags.
int reportStorage(cslSession *session, cmdProgram *program) {
    if (!program->failed) return 1;
    session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
    return 0;
}

cslOutputLine *echoCommand(cslSession *session, int isCommand, int suppress, const char *text,
                           uint32_t kind) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    if (program == nullptr) return nullptr;
    return static_cast<cslOutputLine *>(cmdEchoCommand(program, isCommand, suppress, text, kind));
}

int queueText(cslSession *session, int wrap, int markEmpty, const char *text) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    if (program == nullptr) return 0;
    cmdQueueText(program, wrap, markEmpty, text);
    return reportStorage(session, program);
}

char *substituteInline(cslSession *session, const char *text, int *ok) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    if (program == nullptr) {
        *ok = 0;
        return nullptr;
    }
    return cmdSubstituteInline(program, text, CMD_INLINE_LINE, ok);
}

int importFile(cslSession *session, const CslImportRequest *request) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    if (program == nullptr) return 0;
    const int rc = cmdImportFile(program, request);
    return reportStorage(session, program) && rc;
}

int echoSwitch(cslSession *session, CslEchoSwitch which, int set) {
    // A connection's thread reads the switches while the console thread, holding the script lock,
    // waits for that very request: the program cannot change meanwhile, and waiting for the lock
    // would never end.
    if (set < 0 && session->waiting.load() != 0 && gScriptLock.owner.load() != csThreadId() &&
        gScriptLock.count.load() != 0 && session->program != nullptr) {
        int value = cmdEchoSwitch(session->program, static_cast<int>(which), -1);
        return value < 0 ? 0 : value;
    }
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    int value = program != nullptr ? cmdEchoSwitch(program, static_cast<int>(which), set) : -1;
    return value < 0 ? 0 : value;
}

// print and fprint reach here with the text after their keyword.
int printStatement(cslSession *session, const char *arguments, bool toFile) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    if (program == nullptr) return 0;
    cmdText statement{};
    const char *keyword = toFile ? "fprint" : "print";
    if (!cmdTextAppend(&statement, keyword, std::strlen(keyword)) ||
        !cmdTextAppend(&statement, arguments, std::strlen(arguments))) {
        cmdTextFree(&statement);
        session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
        return 0;
    }
    int ok = toFile ? cslDoFPrint(program, statement.data)
                    : cslDoPrint(program, statement.data, statement.data + std::strlen(keyword));
    cmdTextFree(&statement);
    return ok;
}

int print(cslSession *session, const char *arguments) {
    return printStatement(session, arguments, false);
}

int fprint(cslSession *session, const char *arguments) {
    return printStatement(session, arguments, true);
}

int bindParms(cslSession *session, const char *text) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    return program != nullptr ? cmdBindParms(program, text) : 0;
}

char *evaluateToText(cslSession *session, const char *text, int64_t length, uint32_t basePosition) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    return program != nullptr ? cslEvaluateExpression(program, text, length, basePosition, 0) : nullptr;
}

int evaluateToNumber(cslSession *session, const char *text, uint32_t basePosition, int64_t *number) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    return program != nullptr ? cslEvaluateToNumber(program, text, basePosition, number) : 0;
}

int runCommands(cslSession *session) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    if (program == nullptr) return 0;
    int rc = cmdRunCommands(program);
    reportStorage(session, program);
    return rc;
}

int showFunctions(cslSession *session, const char *pattern, size_t length, int list) {
    CSRecursiveGuard guard(gScriptLock);
    cmdProgram *program = programOf(session);
    if (program == nullptr) return 0;
    return cmdShowFunctions(program, pattern, length, list);
}

void freeProgram(cslSession *session) {
    CSRecursiveGuard guard(gScriptLock);
    cslForgetHooks();
    dbgReset();
    // The console's end closes what scripts left open, their unfinished lines written.
    cmdCloseAllFiles();
    cmdFreeProgram(session->program);
    session->program = nullptr;
}

// The current input source stops on its first failure (=import sof).
int stopsOnFailure(cslSession *session) {
    CSRecursiveGuard guard(gScriptLock);
    const cmdProgram *program = programOf(session);
    return program != nullptr && program->reader != nullptr && program->reader->stopOnError != 0;
}

}  // namespace

cmdProgram *cmdSessionProgram(cslSession *session) {
    return programOf(session);
}

void scriptInstallConsole() {
    static_assert(CSL_ECHO_INPUT == 0 && CSL_ECHO_BLANK == CMD_ECHO_SWITCHES - 1);
    cslScript.echoCommand = echoCommand;
    cslScript.queueText = queueText;
    cslScript.substituteInline = substituteInline;
    cslScript.importFile = importFile;
    cslScript.echoSwitch = echoSwitch;
    cslScript.freeProgram = freeProgram;
    cslScript.bindParms = bindParms;
    cslScript.evaluateToText = evaluateToText;
    cslScript.evaluateToNumber = evaluateToNumber;
    cslScript.runCommands = runCommands;
    cslScript.stopsOnFailure = stopsOnFailure;
    // The WHERE filters run on the connection's threads while the console thread waits for the
    // reply holding the script lock: they take no lock of their own.
    cslScript.whereVariable = cslVariableCallback;
    cslScript.whereFunction = cslCallFunctionCallback;
    cslScript.showFunctions = showFunctions;
    cslScript.print = print;
    cslScript.fprint = fprint;
}
