// Fuzzes the command line (options, -o and -D letters, numbers) and the retry scheme texts: the
// input's lines are the arguments, the first line also a scheme text.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void discard(int32_t, const char *, size_t) {}
void noFlush(int32_t) {}
int32_t notTerminal(int32_t) {
    return 0;
}
const EvConsoleSink kSilent = {discard, noFlush, notTerminal};

bool terminated(const char *field, size_t size) {
    return std::memchr(field, '\0', size) != nullptr;
}

// evReadInt agrees with a wide conversion wherever the value fits.
void checkReadInt(const std::string &text) {
    int32_t value = 0;
    const char *end = nullptr;
    int ok = evReadInt(text.c_str(), &value, &end);
    check(end >= text.c_str() && end <= text.c_str() + text.size());
    errno = 0;
    char *wideEnd = nullptr;
    long long wide = std::strtoll(text.c_str(), &wideEnd, 10);
    if (errno == 0 && wide >= INT32_MIN && wide <= INT32_MAX) {
        check(ok == 1 && value == wide);
    } else if (errno == ERANGE) {
        check(ok == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    evSetConsoleSink(&kSilent);
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < size && lines.size() < 30; i++) {
        if (data[i] == '\n' || data[i] == '\0')
            lines.emplace_back();
        else
            lines.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<const char *> argv{"zunt"};
    for (const std::string &line : lines) argv.push_back(line.c_str());

    EvStartSettings settings{};
    char error[EV_OPTION_ERROR_MAX];
    EvEnvironment environment{lines[0].c_str(), nullptr, "/opt/zunt", "/cwd"};
    if (evParseCommandLine(static_cast<int>(argv.size()), argv.data(), &environment, &settings, error,
                           sizeof error)) {
        check(terminated(settings.event.name, sizeof settings.event.name));
        check(terminated(settings.state.name, sizeof settings.state.name));
        check(terminated(settings.scriptPath, sizeof settings.scriptPath));
        check(terminated(settings.logRoot, sizeof settings.logRoot));
        check(terminated(settings.replyPrefix, sizeof settings.replyPrefix));
        check(!settings.separateState || std::strcmp(settings.event.name, settings.state.name) != 0);
    } else {
        check(terminated(error, sizeof error) && error[0] != '\0');
    }
    checkReadInt(lines[0]);

    evEndFlag.store(0);
    if (evSetRetryScheme(lines[0].c_str())) {
        EvRetrySnapshot snapshot{};
        evRetryState(&snapshot);
        check(snapshot.working.interval1 >= 0 && snapshot.working.count1 >= 0);
        check(snapshot.working.interval2 >= 0 && snapshot.working.count2 >= 0);
        check(snapshot.wait >= 0);
    }
    evSetConsoleSink(nullptr);
    return 0;
}
