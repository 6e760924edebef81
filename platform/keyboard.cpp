// The keyboard of the foreground: single keys read without a line end and without echo, so
// that the main loop can look for a key once a second without waiting for one.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

struct termios savedMode;
std::atomic<bool> rawMode{false};
std::atomic<EvKeySource> keySource{nullptr};
std::atomic<EvLineSource> lineSource{nullptr};
std::atomic<int32_t> lineReading{0};
std::atomic<uint32_t> keyOwner{
    0};  // the thread that has the keys to itself; 0: none  // a line is being read: key polling waits

// Single keys without echo; signals (Ctrl-C) stay as they are.
int setSingleKeys() {
    struct termios raw = savedMode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

}  // namespace

EvKeySource evSetKeySource(EvKeySource source) {
    return keySource.exchange(source);
}

int32_t evKeyboardOpen() {
    if (keySource.load() != nullptr || rawMode.load()) return 1;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedMode) != 0) return 0;
    if (setSingleKeys() != 0) return 0;
    static bool registered = false;
    if (!registered) {
        registered = true;
        atexit(evKeyboardClose);  // a terminal left without echo would puzzle its user
    }
    rawMode.store(true);
    return 1;
}

void evKeyboardClose() {
    if (rawMode.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

void evKeysReserve(int32_t reserve) {
    keyOwner.store(reserve ? csThreadId() : 0);
}

int32_t evKeyRead(int32_t wait) {
    const uint32_t owner = keyOwner.load();
    if (owner != 0 && owner != csThreadId()) return 0;
    if (EvKeySource source = keySource.load()) return source(wait);
    if (lineReading.load() != 0) return 0;
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    int ready;
    do {
        ready = poll(&input, 1, wait ? -1 : 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return 0;
    unsigned char key = 0;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, &key, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1) return key;
    return n == 0 ? -1 : 0;
}

EvLineSource evSetLineSource(EvLineSource source) {
    return lineSource.exchange(source);
}

int32_t evReadInputLine(char **line, size_t *length, int (*stop)(void *), void *context) {
    *line = nullptr;
    *length = 0;
    if (EvLineSource source = lineSource.load()) return source(line, length);
    lineReading.fetch_add(1);
    const bool wasRaw = rawMode.load();
    if (wasRaw) tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
    size_t used = 0, capacity = 0;
    char *text = nullptr;
    bool ended = false, failed = false, stopped = false;
    for (;;) {
        // With a stop test the read waits in short steps, asking it between them: a signal may
        // reach another thread than this one, and would not end the read.
        while (stop != nullptr) {
            if (stop(context) != 0) {
                stopped = true;
                break;
            }
            struct pollfd input = {STDIN_FILENO, POLLIN, 0};
            const int ready = poll(&input, 1, 100);
            if (ready > 0 || (ready < 0 && errno != EINTR)) break;
        }
        if (stopped) break;
        char c = 0;
        ssize_t n;
        do {
            n = read(STDIN_FILENO, &c, 1);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            ended = true;
            break;
        }
        if (c == '\n') break;
        if (used + 2 > capacity) {
            size_t grown = capacity == 0 ? 128 : capacity * 2;
            auto *bigger = static_cast<char *>(CSGetMem(grown));
            if (bigger == nullptr) {
                failed = true;
                break;
            }
            if (text != nullptr) {
                std::memcpy(bigger, text, used);
                CSFreeMem(text);
            }
            text = bigger;
            capacity = grown;
        }
        text[used++] = c;
    }
    if (wasRaw) setSingleKeys();
    lineReading.fetch_sub(1);
    if (stopped || failed || (ended && used == 0)) {
        if (text != nullptr) CSFreeMem(text);
        return stopped ? EV_INPUT_STOPPED : 0;
    }
    if (text == nullptr) {
        text = static_cast<char *>(CSGetMem(1));
        if (text == nullptr) return 0;
    }
    if (used > 0 && text[used - 1] == '\r') used--;
    text[used] = 0;
    *line = text;
    *length = used;
    return 1;
}
