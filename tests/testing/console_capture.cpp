// The capturing console sink of the tests.
#include "testing/console_capture.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex captureMutex;
std::string capturedOut;
std::string capturedErr;
std::atomic<bool> captureTerminal{true};
std::atomic<int> captureFlushes{0};

void captureWrite(int32_t stream, const char *bytes, size_t length) {
    std::lock_guard<std::mutex> guard(captureMutex);
    (stream == 2 ? capturedErr : capturedOut).append(bytes, length);
}

void captureFlush(int32_t stream) {
    if (stream == 1) captureFlushes.fetch_add(1);
}

int32_t captureIsTerminal(int32_t stream) {
    return stream == 1 && captureTerminal.load() ? 1 : 0;
}

const EvConsoleSink captureSink = {captureWrite, captureFlush, captureIsTerminal};

}  // namespace

namespace zt {

ConsoleCapture::ConsoleCapture(bool terminal) {
    clear();
    captureTerminal.store(terminal);
    previous_ = evSetConsoleSink(&captureSink);
}

ConsoleCapture::~ConsoleCapture() {
    evSetConsoleSink(previous_);
}

std::string ConsoleCapture::out() const {
    std::lock_guard<std::mutex> guard(captureMutex);
    return capturedOut;
}

std::string ConsoleCapture::err() const {
    std::lock_guard<std::mutex> guard(captureMutex);
    return capturedErr;
}

void ConsoleCapture::clear() {
    std::lock_guard<std::mutex> guard(captureMutex);
    capturedOut.clear();
    capturedErr.clear();
    captureFlushes.store(0);
}

void ConsoleCapture::setTerminal(bool terminal) {
    captureTerminal.store(terminal);
}

int ConsoleCapture::flushes() const {
    return captureFlushes.load();
}

}  // namespace zt
