// Fuzz target: the debugger's prompt over arbitrary lines. A small program stops at its statement;
// the input, split into lines, is what the prompt reads, each line run as debugger commands.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "script/script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void discard(int32_t, const char *, size_t) {}
void noFlush(int32_t) {}
int32_t notTerminal(int32_t) {
    return 0;
}
const EvConsoleSink quiet = {discard, noFlush, notTerminal};

void *silent(cmdProgram *, uint32_t, const char *, int64_t, int32_t) {
    return nullptr;
}

std::vector<std::string> lines;
size_t next = 0;

int32_t fuzzLine(char **line, size_t *length) {
    if (next >= lines.size()) return 0;
    const std::string &text = lines[next++];
    *line = static_cast<char *>(CSGetMem(text.size() + 1));
    if (*line == nullptr) return 0;
    std::memcpy(*line, text.c_str(), text.size() + 1);
    *length = text.size();
    return 1;
}

const char *const kScript[] = {
    "func f(a, b)", "  @r = @a", "  while (@r < 3)", "    @r = @r + 1", "  endwhile", "  return @r",
    "endfunc",      "@x = 1",    "if (@x = 1)",      "  @y = f(1, 2)",  "endif"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    static const bool set = [] {
        evSetConsoleSink(&quiet);
        evSetLineSource(fuzzLine);
        return true;
    }();
    (void)set;
    lines.clear();
    next = 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty()) lines.push_back(line);  // an empty line would step: the stop ends
        start = end + 1;
    }
    ExpCatalogue catalogue{};
    catalogue.findFunction = cmdFindFunctionRow;
    expSetCatalogue(&catalogue);
    cmdProgram *program = cmdCreateProgram();
    if (program == nullptr) return 0;
    program->output = silent;
    cmdReadContext *reader =
        cmdMemoryReader(program, "fuzz.vdr", kScript, sizeof kScript / sizeof kScript[0]);
    if (reader != nullptr) {
        cmdPushReader(program, reader);
        cmdParseFile(program);
        cmdPopReader(program);
    }
    cmdCommand *stop = nullptr;
    for (cmdCommand *c = program->head; c != nullptr; c = c->next)
        if (c->type == CMD_IF) stop = c;
    evRunState.debugMode.store(1);
    if (stop != nullptr) dbgCheckStop(program, stop);
    evRunState.debugMode.store(0);
    dbgReset();
    cmdFreeFunctions(program, 1);
    cmdFreeProgram(program);
    expSetCatalogue(nullptr);
    return 0;
}
