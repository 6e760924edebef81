// Fuzz target: what a running script does with text from anywhere. The first byte picks the part;
// the rest is print items (formats and expressions) for the console and for a file's unfinished
// line. Built-ins that wait, start commands or touch files are left out.
#include <cstdint>
#include <cstring>
#include <string>

#include "expr/expr.h"
#include "platform/platform.h"
#include "script/internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int fuzzVariable(cmdProgram *, ExpExpression *e, ExpValue *, ExpValue *var, ExpValue *result) {
    if (var->value.len > 1 && var->data[1] == 's') {
        expSetString(result, EXP_STR, const_cast<char *>("te\nxt\x05"), 6);
        return 1;
    }
    if (var->value.len > 1 && var->data[1] == 'r') {
        expSetDouble(result, -12.345);
        return 1;
    }
    e->valueMissing = 1;
    return 0;
}

void *quiet(cmdProgram *, uint32_t, const char *, int64_t, int32_t) {
    return nullptr;
}

void install() {
    static bool done = false;
    if (done) return;
    done = true;
    cmdInstallBuiltins();
    for (const char *name : {"WAIT", "GETKEY", "SYSTEM", "FOPEN", "FGETS", "FCLOSE"})
        expRegisterScriptFunction(name, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    install();
    ExpCatalogue catalogue{};
    catalogue.findFunction = cmdFindFunctionRow;
    expSetCatalogue(&catalogue);
    cmdProgram *program = cmdCreateProgram();
    if (program == nullptr) return 0;
    program->output = quiet;
    program->variables = fuzzVariable;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    switch (data[0] % 2) {
        case 0:
            // Twice: the second print carries on what the first left unfinished.
            cslDoPrint(program, ("print " + text).c_str(), text.c_str());
            cslDoPrint(program, ("print " + text).c_str(), text.c_str());
            break;
        default: {
            cmdText line{};
            cslFormatPrintLine(program, text.c_str(), &line, (data[0] & 2) != 0);
            cmdTextFree(&line);
            cmdPrintFormat format{};
            const char *rest = nullptr;
            char error[120];
            cslParseFormat(text.c_str(), text.c_str() + text.size(), &format, &rest, error, sizeof error);
            break;
        }
    }
    cmdFreeProgram(program);
    expSetCatalogue(nullptr);
    return 0;
}
