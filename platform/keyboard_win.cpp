// Windows side of the keyboard: single keys through the console API without a line end, echo or
// wait (_kbhit and _getch), so that the main loop can look for a key once a second.
#include <conio.h>
#include <windows.h>

#include "platform/platform.h"

namespace {

std::atomic<bool> consoleOpen{false};
std::atomic<EvKeySource> keySource{nullptr};

}  // namespace

EvKeySource evSetKeySource(EvKeySource source) {
    return keySource.exchange(source);
}

int32_t evKeyboardOpen() {
    if (keySource.load() != nullptr || consoleOpen.load()) return 1;
    // Keys come from a console only: a pipe or file on the standard input has none.
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return 0;
    consoleOpen.store(true);
    return 1;
}

void evKeyboardClose() {
    // The console keeps its own mode: _getch changed nothing that needs putting back.
    consoleOpen.store(false);
}

int32_t evKeyRead(int32_t wait) {
    if (EvKeySource source = keySource.load()) return source(wait);
    if (!wait && !_kbhit()) return 0;
    return static_cast<unsigned char>(_getch());
}
