// "=show func(pattern)": the user functions whose names match, in name order, each as its func
// line, and with "list" also the comment heading above it and the source lines of its body.
#include <cstring>

#include "script/internal.h"

namespace {

bool isSourceLine(const cmdCommand *c) {
    return c->type == CMD_INPUT || c->type == CMD_MULTI || c->type == CMD_COMMENT || c->type == CMD_EMPTY;
}

void showOne(cmdProgram *program, const cmdFUNCTION *f, int list) {
    const cmdCommand *func = f->definition.head;
    while (func != nullptr && func->type != CMD_FUNC) func = func->next;
    if (list)
        for (const cmdCommand *c = f->definition.head; c != nullptr && c != func; c = c->next)
            if (isSourceLine(c)) cmdOutput(program, 32, c->text);
    cmdText line{};
    bool ok = cmdTextAppend(&line, "func ", 5) && cmdTextAppend(&line, f->name, std::strlen(f->name)) &&
              cmdTextAppend(&line, "(", 1);
    if (f->definition.parameterCount == 0) ok = ok && cmdTextAppend(&line, "<No parameters>", 15);
    for (int32_t i = 0; i < f->definition.parameterCount; ++i) {
        const char *name = f->definition.parameters[i] + 1;  // without the '@'
        ok = ok && (i == 0 || cmdTextAppend(&line, ",", 1)) && cmdTextAppend(&line, name, std::strlen(name));
    }
    ok = ok && cmdTextAppend(&line, ")", 1);
    if (ok)
        cmdOutput(program, 32, line.data, static_cast<int64_t>(line.length));
    else
        program->failed = 1;
    cmdTextFree(&line);
    if (list && func != nullptr)
        for (const cmdCommand *c = func->next; c != nullptr; c = c->next)
            if (isSourceLine(c)) cmdOutput(program, 32, c->text);
}

}  // namespace

int cmdShowFunctions(cmdProgram *program, const char *pattern, size_t length, int list) {
    int defined = 0;
    int shown = 0;
    for (CSTree *node = CSTreeFirst(program->functions); node != nullptr; node = node->next) {
        const auto *f = reinterpret_cast<const cmdFUNCTION *>(node);
        if (!f->committed) continue;
        ++defined;
        if (!evWildMatchNoCase(f->name, std::strlen(f->name), pattern, length)) continue;
        showOne(program, f, list);
        ++shown;
    }
    if (defined == 0)
        cmdOutput(program, 32, "No functions defined");
    else if (shown == 0)
        cmdOutput(program, 32, "No matching functions found");
    return shown;
}
