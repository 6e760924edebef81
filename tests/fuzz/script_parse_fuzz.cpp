// Fuzz target: a script from anywhere (a file, a hook's queued text). The first byte picks whether
// the text is read at the top level or as the body of a function definition; the rest, split into
// lines, is parsed (=import lines read a small fixed script), its lines are substituted, the text is
// queued once more, and everything is freed.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "expr/expr.h"
#include "platform/platform.h"
#include "script/script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

const char *const importedLines[] = {"@x = 1", "func g(a, b)", "  return @a", "endfunc", "g(1)"};

int fakeImport(cmdProgram *program, const char *) {
    // One level deep: the imported script holds no =import of its own.
    cmdReadContext *reader = cmdMemoryReader(program, "fake.vdr", importedLines, 5);
    if (reader == nullptr) return 0;
    return cmdParseImport(program, reader, "a, b") != nullptr ? 1 : 0;
}

int fuzzVariable(cmdProgram *, ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    if (var->value.len > 1 && var->data[1] == 's') {
        expSetString(result, EXP_STR, const_cast<char *>("text"), 4);
        return 1;
    }
    e->valueMissing = 1;
    return 0;
}

void *quiet(cmdProgram *, uint32_t, const char *, int64_t, int32_t) {
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    ExpCatalogue catalogue{};
    catalogue.findFunction = cmdFindFunctionRow;
    expSetCatalogue(&catalogue);
    cmdProgram *program = cmdCreateProgram();
    if (program == nullptr) return 0;
    program->output = quiet;
    program->localCommand = fakeImport;
    program->variables = fuzzVariable;

    const bool inFunction = (data[0] & 1) != 0;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<std::string> lines;
    if (inFunction) lines.emplace_back("func fz(a, b)");
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (inFunction) lines.emplace_back("endfunc");
    std::vector<const char *> pointers;
    for (const std::string &line : lines) pointers.push_back(line.c_str());

    cmdReadContext *reader = cmdMemoryReader(program, "fuzz.vdr", pointers.data(), pointers.size());
    if (reader != nullptr) {
        reader->echo.input = data[0] & 2 ? 1 : 0;
        cmdPushReader(program, reader);
        cmdParseFile(program);
        cmdPopReader(program);
    }
    for (const char *line : pointers) {
        int ok = 0;
        char *substituted = cmdSubstituteInline(program, line, CMD_INLINE_LINE, &ok);
        if (substituted != nullptr) CSFreeMem(substituted);
    }
    program->parseError = 0;
    cmdQueueString(program, text.c_str());
    cmdFreeFunctions(program, 1);
    cmdFreeProgram(program);
    expSetCatalogue(nullptr);
    return 0;
}
