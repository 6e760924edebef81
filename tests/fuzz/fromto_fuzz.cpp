// Fuzzes FROM/TO texts through evParseTimeSpec and, when accepted, evParseTimeValue in the local zone
// and in another one. The element buffers are exactly their documented size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int gErrors = 0;

void addError(void *, int32_t reason, uint32_t, const char *text) {
    if (reason != TIMESPEC_RC_SYNTAX && reason != TIMESPEC_RC_VALUE) std::abort();
    if (text == nullptr || std::strlen(text) == 0) std::abort();
    ++gErrors;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    std::vector<char> date(TIMESPEC_ELEMENT_SIZE), time(TIMESPEC_ELEMENT_SIZE),
        relative(TIMESPEC_ELEMENT_SIZE);
    char msg[40];  // shorter than some texts: the message is cut, never overrun
    for (int local = 0; local <= 1; ++local) {
        TimeSpecParm parm{local ? "FROM" : "TO",
                          local ? TIMESPEC_FROM_ID : 39319u,
                          msg,
                          sizeof msg,
                          local ? 0 : -720,
                          local,
                          addError,
                          nullptr};
        gErrors = 0;
        int ok = evParseTimeSpec(&parm, text.data(), date.data(), time.data(), relative.data());
        if (ok != (gErrors == 0 ? 1 : 0) || gErrors > 1) std::abort();
        if (!ok) continue;
        int64_t result = 0;
        int rc = evParseTimeValue(&parm, date.data(), time.data(), &result);
        if (rc != 1 && rc != TIMESPEC_RC_SYNTAX && rc != TIMESPEC_RC_VALUE) std::abort();
        if ((rc == 1) != (gErrors == 0)) std::abort();
    }
    return 0;
}
