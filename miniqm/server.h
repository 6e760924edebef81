// miniqmd's server loop: listeners, connection threads and the orderly end (see server.cpp).
#pragma once

#include <string>

#include "miniqm/paths.h"

namespace qmserver {

// Runs the queue manager whose data directory is dir until it is stopped. sync=false skips
// fdatasync (tests only). When readyFd >= 0, "ready <pid> <port>\n" is written to it once the
// server accepts connections. Returns the process exit code.
int run(const std::string &dir, const qmpaths::QmConfig &cfg, bool sync, int readyFd);

}  // namespace qmserver
