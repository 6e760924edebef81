// Fuzz target: what a running script does with text from anywhere. The first byte picks the part;
// the rest is the items (formats and expressions) of print or fprint, a foritem list, an =import's
// parameter text, or the reply text of a command whose lines are joined and whose attributes are
// read. Built-ins that wait, start commands or touch files are left out.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "expr/expr.h"
#include "platform/platform.h"
#include "script/script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void *quiet(cmdProgram *, uint32_t, const char *, int64_t, int32_t) {
    return nullptr;
}

void install() {
    static bool done = false;
    if (done) return;
    done = true;
    scriptInstall();
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
    // Variables print items may name: a string with a line end and a separator byte, and a real.
    ExpValue preset{};
    expSetString(&preset, EXP_STR, const_cast<char *>("te\nxt\x05"), 6);
    cslSetVariable(program, 1, 0, "@s", 2, &preset);
    expSetDouble(&preset, -12.345);
    cslSetVariable(program, 1, 0, "@r", 2, &preset);
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    switch (data[0] % 5) {
        case 0:
            // Twice: the second print carries on what the first left unfinished.
            cslDoPrint(program, ("print " + text).c_str(), text.c_str());
            cslDoPrint(program, ("print " + text).c_str(), text.c_str());
            break;
        case 1:
            // A file identifier that is no open file, then the console's identifier.
            cslDoFPrint(program, ("fprint " + text).c_str());
            cslDoFPrint(program, ("fprint 1," + text).c_str());
            break;
        case 2: {
            const char *cursor = text.data();
            const char *item = nullptr;
            size_t itemLength = 0;
            while (cmdNextItem(&cursor, text.data() + text.size(), &item, &itemLength)) {
            }
            break;
        }
        case 3:
            cmdBindParms(program, text.c_str());
            break;
        case 4: {
            std::vector<const char *> lines;
            std::vector<size_t> lengths;
            for (size_t start = 0; start <= text.size();) {
                size_t end = text.find('\n', start);
                if (end == std::string::npos) end = text.size();
                lines.push_back(text.data() + start);
                lengths.push_back(end - start);
                start = end + 1;
            }
            char *joined = cslJoinLines(lines.data(), lengths.data(), lines.size());
            if (joined == nullptr) break;
            for (const char *name : {"QTIME", "DESCR", "CURDEPTH", "Q"}) {
                const char *value = nullptr;
                size_t length = 0;
                for (const std::string &source : {std::string(joined), text}) {
                    if (!cslFindAttribute(source.data(), source.size(), name, std::strlen(name), &value,
                                          &length))
                        continue;
                    for (uint16_t indicator : {uint16_t{0}, EXP_IND_SHORT, EXP_IND_LONG}) {
                        ExpValue typed{};
                        if (cslTypeAttributeValue(value, length, indicator, &typed)) expReleaseValue(&typed);
                    }
                }
            }
            CSFreeMem(joined);
            break;
        }
        default:
            break;
    }
    cmdFreeProgram(program);
    expSetCatalogue(nullptr);
    return 0;
}
