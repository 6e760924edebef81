// A console sink for tests: captures what the platform layer writes to standard output and
// standard error, and pretends (or not) that standard output is a terminal.
#pragma once

#include <string>

#include "platform/platform.h"

namespace zt {

// Installed for the life of the object (one at a time); restores the previous sink.
class ConsoleCapture {
public:
    explicit ConsoleCapture(bool terminal = true);
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    std::string out() const;  // everything written to standard output so far
    std::string err() const;  // everything written to standard error so far
    void clear();
    void setTerminal(bool terminal);
    int flushes() const;  // flushes of standard output

private:
    const EvConsoleSink *previous_;
};

}  // namespace zt
