// Fuzz target: each line of the input is one command line of the channel-table edit mode, run
// against a table in memory that starts with a channel and a CRLLDAP slot. Every command must
// return, stay in its buffers and leave the table readable by the next.
#include <cstdint>
#include <cstring>
#include <string>

#include "ccdt/ccdt.h"
#include "tests/testing/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// A path by the platform's own rule (a bare name would be looked for in the default folder).
#ifdef _WIN32
constexpr const char *kPath = "c:\\edit.tab";
#else
constexpr const char *kPath = "/edit.tab";
#endif

void discard(void *, const char *text, size_t length) {
    // Touch every byte so that a reply reaching past its text is seen.
    volatile char sink = 0;
    for (size_t i = 0; i < length; i++) sink = static_cast<char>(sink ^ text[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    zt::MemFiles files;
    ccdtSetOutputVersion(12);
    const ccdtMqscIo io{&discard, nullptr, nullptr};
    (void)ccdtMqscRun(kPath, "DEFINE CHANNEL(A) CONNAME('h(1)') SENDEXIT('x')", io);
    (void)ccdtMqscRun(kPath, "DEFINE AUTHINFO(L) AUTHTYPE(CRLLDAP) CONNAME('l')", io);
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    int lines = 0;
    while (at <= input.size() && lines++ < 64) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        std::string line = input.substr(at, end - at);
        line = line.c_str();  // up to the first NUL, as the console hands it
        (void)ccdtMqscRun(kPath, line.c_str(), io);
        at = end + 1;
    }
    ccdtSetOutputVersion(12);
    return 0;
}
