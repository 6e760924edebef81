// Windows side of the keyboard: single keys through the console API without a line end, echo or
// wait (_kbhit and _getch), so that the main loop can look for a key once a second. A standard
// input that is no console (a pipe, a file, NUL) gives its bytes as keys, as on Linux.
#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

std::atomic<bool> consoleOpen{false};
std::atomic<EvKeySource> keySource{nullptr};
std::atomic<EvLineSource> lineSource{nullptr};
std::atomic<int32_t> lineReading{0};
std::atomic<uint32_t> keyOwner{
    0};  // the thread that has the keys to itself; 0: none  // a line is being read: key polling waits

// One byte of a standard input that is no console: 0 when none is waiting (wait 0) or the read
// failed, -1 at the end of the input. _kbhit would look at a console instead, and find none or
// another's keys; a blocking read of an empty pipe would stop the main loop.
int32_t readRedirected(HANDLE input, int32_t wait) {
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return 0;
    if (!wait && GetFileType(input) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE ? -1 : 0;
        if (available == 0) return 0;
    }
    unsigned char key = 0;
    DWORD got = 0;
    if (!ReadFile(input, &key, 1, &got, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE ? -1 : 0;
    return got == 1 ? key : -1;
}

// Waits in short steps until a read of the input would not wait for ever, asking stop between
// them: false once stop answers non-zero. A console is ready at any input event (its line read may
// then wait for the line end); a file or another kind of handle is always ready.
bool inputReady(HANDLE input, int (*stop)(void *), void *context) {
    DWORD mode = 0;
    const bool console = GetConsoleMode(input, &mode) != 0;
    const bool pipe = !console && GetFileType(input) == FILE_TYPE_PIPE;
    for (;;) {
        if (stop(context) != 0) return false;
        if (console) {
            if (WaitForSingleObject(input, 100) != WAIT_TIMEOUT) return true;
        } else if (pipe) {
            DWORD available = 0;
            if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
            Sleep(100);
        } else {
            return true;
        }
    }
}

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

void evKeysReserve(int32_t reserve) {
    keyOwner.store(reserve ? csThreadId() : 0);
}

int32_t evKeyRead(int32_t wait) {
    const uint32_t owner = keyOwner.load();
    if (owner != 0 && owner != csThreadId()) return 0;
    if (EvKeySource source = keySource.load()) return source(wait);
    if (lineReading.load() != 0) return 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return readRedirected(input, wait);
    if (!wait && !_kbhit()) return 0;
    int key = _getch();
    return key == EOF ? -1 : static_cast<unsigned char>(key);
}

EvLineSource evSetLineSource(EvLineSource source) {
    return lineSource.exchange(source);
}

int32_t evReadInputLine(char **line, size_t *length, int (*stop)(void *), void *context) {
    *line = nullptr;
    *length = 0;
    if (EvLineSource source = lineSource.load()) return source(line, length);
    lineReading.fetch_add(1);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    size_t used = 0, capacity = 0;
    char *text = nullptr;
    bool ended = false, failed = false, stopped = false;
    for (;;) {
        if (stop != nullptr) {
            stopped = !inputReady(input, stop, context);
            if (stopped) break;
        }
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) {
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
