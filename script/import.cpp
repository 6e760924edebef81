// =import: the named file is read into an =import block right after the importing line, so that it
// runs where the line stands. At parse time that is the line just parsed; when the line runs as a
// statement (its text held an '@'), the running record, which is then marked so that a loop or a
// second call does not import again. A file is recognised by its identity, not by its name, when
// it is met again further up the chain of sources.
#include <cstdio>
#include <cstring>
#include <optional>

#include "console/console.h"
#include "script/internal.h"

namespace {

void error(cmdProgram *program, const char *text) {
    cmdOutput(program, CSL_LINE_ERROR, text);
}

// The record of the line when it runs as a statement, else null (parse time). A line with inline
// values comes with them put in.
cmdCommand *runningRecord(cmdProgram *program, const char *text) {
    cmdCommand *c = program->current;
    if (c != nullptr && c->type == CMD_COMMAND && (c->flags & CMD_F_ACTIVE) &&
        (std::strcmp(c->text, text) == 0 || std::strchr(c->text, '<') != nullptr))
        return c;
    return nullptr;
}

bool inRunningFunction(const cmdProgram *program) {
    return program->run != nullptr && program->run->frame != nullptr &&
           program->run->frame->function != nullptr;
}

bool isFile(const cmdReadContext *reader) {
    return reader->device != 0 || reader->inode != 0;
}

// The innermost file being read, whose directory a relative name is joined to; null when none.
const char *importingFile(const cmdProgram *program) {
    for (const cmdReadContext *r = program->reader; r != nullptr; r = r->parent)
        if (r->name != nullptr) return isFile(r) ? r->name : nullptr;
    return nullptr;
}

// "'source' imports file 'name' on line n" for each named source, outermost first; source imports
// `imports`.
void listChain(cmdProgram *program, const cmdReadContext *source, const char *imports) {
    if (source == nullptr) return;
    if (source->name == nullptr) return listChain(program, source->parent, imports);
    listChain(program, source->parent, source->name);
    char text[CSL_PATH_MAX + 100];
    std::snprintf(text, sizeof text, "'%.2000s' imports file '%.2000s' on line %u", source->name, imports,
                  source->lineNumber);
    error(program, text);
}

// Frees the block from its start to its end record.
void removeBlock(cmdProgram *program, cmdCommand *start) {
    cmdCommand *end = start->partner;
    for (cmdCommand *c = start; c != nullptr;) {
        cmdCommand *next = c->next;
        const bool last = c == end;
        cmdFreeCommand(program, c);
        if (last) break;
        c = next;
    }
}

}  // namespace

int cmdImportFile(cmdProgram *program, const CslImportRequest *request) {
    cslSession *session = cmdSession(program);
    if (inRunningFunction(program)) {
        error(program, "You can not call =import from within a function.");
        if (session != nullptr) session->stopFlag.store(1);
        return 0;
    }
    if (request->file == nullptr || request->file[0] == '\0') {
        error(program, "Please specify a file name.");
        return 0;
    }
    char path[CSL_PATH_MAX + 1];
    if (session == nullptr || !cslJoinPath(session, importingFile(program), request->file, path, sizeof path))
        return 0;
    int rc = 0;
    cmdReadContext *reader = cmdOpenFileReader(program, path, &rc);
    if (reader == nullptr) {
        if (program->failed) return 0;
        char text[CSL_PATH_MAX + 40];
        std::snprintf(text, sizeof text, "Can not open file '%s'", path);
        error(program, text);
        return 0;
    }
    for (const cmdReadContext *r = program->reader; r != nullptr; r = r->parent) {
        if (!isFile(r) || r->device != reader->device || r->inode != reader->inode) continue;
        cmdFreeReader(reader);
        error(program, "Import file recursion detected");
        listChain(program, program->reader, request->file);
        return 0;
    }

    // An anchor source of its own puts the block after the importing line and hands the new source
    // its echo and stop-on-failure switches.
    cmdReadContext *outer = program->reader;
    cmdReadContext *anchor = cmdQueuedReader(program, "");
    if (anchor == nullptr) {
        cmdFreeReader(reader);
        return 0;
    }
    cmdCommand *record = runningRecord(program, request->text);
    if (outer != nullptr) {
        anchor->echo = outer->echo;
        anchor->stopOnError = outer->stopOnError;
        anchor->lineNumber = outer->lineNumber;
        anchor->column = outer->column;
        anchor->console = outer->console;
    } else {
        anchor->echo = program->echo;
    }
    if (record != nullptr) {
        anchor->list = cmdListOf(program, record);
        anchor->listOwner = record->owner;
        anchor->insertAfter = record;
    } else if (outer != nullptr) {
        anchor->list = outer->list;
        anchor->listOwner = outer->listOwner;
        anchor->insertAfter = outer->insertAfter;
    }
    if (request->quiet) anchor->echo.cmds = 0;
    if (request->stopOnFailure) anchor->stopOnError = 1;
    cmdPushReader(program, anchor);
    const int32_t earlierError = program->parseError;
    program->parseError = 0;
    // Read while the program runs (the line ran as a statement): a parse error refuses this file
    // alone and leaves the records around the line, a loop's among them, as they are.
    std::optional<cmdRunningParse> running;
    if (record != nullptr) running.emplace(program);
    cmdCommand *start = cmdParseImport(program, reader, request->parameters);
    const bool failed = start == nullptr || program->parseError || program->failed;
    // Where the importing source goes on: after the block, unless it was appending.
    if (record == nullptr && outer != nullptr && outer->insertAfter != nullptr && start != nullptr)
        outer->insertAfter = start->partner;
    cmdPopReader(program);
    if (running) running->end();
    program->parseError |= earlierError;
    if (failed) {
        if (start != nullptr) removeBlock(program, start);
        return 0;
    }
    // The file has been read; its source stays in the block for the chain of a later run.
    if (reader->ownsFile && reader->file != nullptr) {
        std::fclose(reader->file);
        reader->file = nullptr;
    }
    if (record != nullptr) record->flags |= CMD_F_SKIP;
    if (session != nullptr) {
        if (cslScript.resolveBreakpoints != nullptr)
            cslScript.resolveBreakpoints(session, start, start->owner);
        session->redraw.fetch_or(CSL_REDRAW_ALL);
    }
    return 1;
}
