// The keyboard of the foreground: single keys read without a line end and without echo, so
// that the main loop can look for a key once a second without waiting for one.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace {

struct termios savedMode;
std::atomic<bool> rawMode{false};
std::atomic<EvKeySource> keySource{nullptr};

}  // namespace

EvKeySource evSetKeySource(EvKeySource source) {
    return keySource.exchange(source);
}

int32_t evKeyboardOpen() {
    if (keySource.load() != nullptr || rawMode.load()) return 1;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedMode) != 0) return 0;
    struct termios raw = savedMode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // signals (Ctrl-C) stay as they are
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return 0;
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

int32_t evKeyRead(int32_t wait) {
    if (EvKeySource source = keySource.load()) return source(wait);
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
