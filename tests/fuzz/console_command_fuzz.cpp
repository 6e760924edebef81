// Fuzzes the console's command line handling: the '=' command parser with a work buffer of any size,
// and the dispatcher's synonym expansion, with a synonym whose text comes from the input too. The
// input is "<synonym text>\n<line>"; the line is parsed, then issued as the synonym's arguments and
// on its own. Lines naming =conn are passed over: a connect starts threads and loads MQ.
#include <strings.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

cslSession *session() {
    static cslSession *s = [] {
        int64_t tag = 0;
        if (cslCreateSession(&tag) != 0) std::abort();
        cslSession *made = gSession.load();
        made->history = 200;
        return made;
    }();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4000) return 0;
    std::string input(reinterpret_cast<const char *>(data), size);
    input = input.c_str();  // up to the first NUL, as a C line ends
    for (size_t i = 0; i + 4 <= input.size(); ++i)
        if (strncasecmp(input.c_str() + i, "conn", 4) == 0) return 0;
    const size_t newline = input.find('\n');
    const std::string synonym = newline == std::string::npos ? "" : input.substr(0, newline);
    const std::string line = newline == std::string::npos ? input : input.substr(newline + 1);
    cslSession *s = session();

    CslParmPair pairs[CSL_MAX_WORDS];
    const size_t workSize = 1 + (size * 7) % 1200;
    char *work = static_cast<char *>(std::malloc(workSize));
    const int count = cslParseCommandParms(s, line.c_str(), pairs, work, workSize);
    for (int i = 0; i < count; ++i) {
        if (pairs[i].row == nullptr) std::abort();
        if (pairs[i].value != nullptr &&
            (pairs[i].value < work || pairs[i].value + pairs[i].valueLength > work + workSize))
            std::abort();
    }
    std::free(work);

    if (cslSetSynonym(s, "fz", synonym.c_str())) {
        cslIssueCommand(s, ("fz" + line).c_str());
        cslIssueCommand(s, ("fz " + line).c_str());
    }
    cslIssueCommand(s, line.c_str());
    cslSetSynonym(s, "fz", "");
    s->endRequested.store(0);
    s->nestOverflow = 0;
    if (s->nestDepth != 0) std::abort();
    return 0;
}
