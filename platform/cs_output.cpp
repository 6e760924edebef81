// Message output until the console layer takes it over: one line to standard output under the
// log-and-console lock.
#include <cstring>

#include "platform/cs.h"

void evOutput(uint32_t /*category*/, const char *text, int32_t length, uint32_t /*toLog*/) {
    if (!text) return;
    int n = length < 0 ? static_cast<int>(std::strlen(text)) : length;
    CSRecursiveGuard guard(gLogConsoleLock);
    std::printf("%.*s\n", n, text);
}
