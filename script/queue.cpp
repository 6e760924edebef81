// Text that the program queues for the script to run next (an expression's value run as commands,
// a synonym's command, a hook's text).
#include <cstring>

#include "script/internal.h"

namespace {

void queueText(cmdProgram *program, int wrap, int markEmpty, bool substituted, const char *text) {
    cmdReadContext *reader = cmdQueuedReader(program, text);
    if (reader == nullptr) return;
    reader->substituted = substituted ? 1 : 0;
    cmdReadContext *outer = program->reader;
    if (outer != nullptr) {
        reader->lineNumber = outer->lineNumber;
        reader->echo = outer->echo;
        reader->console = outer->console;
    }
    // The new records go after the record being run, so that they run next.
    cmdCommand *at = program->current;
    cmdList list{&program->head, &program->tail};  // without a record being run: the main program's
    cmdFUNCTION *owner = nullptr;
    if (at != nullptr) {
        list = cmdListOf(program, at);
        owner = at->owner;
        reader->list = list;
        reader->listOwner = owner;
        reader->insertAfter = at;
        // In a function's body the text is always a block: left bare, its records would become part
        // of the body and run again in every later call.
        if (owner != nullptr) wrap = 1;
    }
    cmdPushReader(program, reader);
    // A parse error refuses this text alone: what runs around it goes on.
    cmdRunningParse parse(program);
    cmdCommand *block = wrap ? cmdNewBlock(program, CMD_QUEUED, "") : nullptr;
    if (wrap && block == nullptr) {
        cmdPopReader(program);
        parse.end();
        return;
    }
    // The block is the queueing call's own: another call of the same function that runs the body
    // meanwhile (one it makes, or a later one) passes over it.
    if (block != nullptr && program->run != nullptr) block->call = program->run->frame->call;
    if (*cmdSkipBlanks(text) == '\0') {
        if (markEmpty) cmdNewCommand(program, CMD_EMPTY, "", 0);
    } else {
        cmdCommand *end = nullptr;
        cmdReadCommands(program, 0, &end);
    }
    cmdPopReader(program);
    parse.end();
    // The list's statements numbered again in their order, the breakpoints moved with them.
    if (wrap) dbgResolveBreakpoints(program, *list.head, owner);
}

}  // namespace

void cmdQueueText(cmdProgram *program, int wrap, int markEmpty, const char *text) {
    queueText(program, wrap, markEmpty, false, text);
}

void cmdQueueSubstituted(cmdProgram *program, int wrap, int markEmpty, const char *text) {
    queueText(program, wrap, markEmpty, true, text);
}

void cmdQueueString(cmdProgram *program, const char *text) {
    cmdQueueText(program, 1, 1, text);
}
