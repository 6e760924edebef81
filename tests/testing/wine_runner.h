// The Windows build's queue-manager tests run under wine against a Linux miniqm. A process under
// wine can start a Linux program but cannot wait for it, so the fixtures have the Linux runner
// (tests/wine/qm_runner.cpp, started by scripts/wine-test.sh, its port in ZUNT_QM_RUNNER) run their
// command lines; files they share with the queue manager are named to it by their Unix paths.
#pragma once

#include <string>

namespace zt {

#ifdef _WIN32
// Runs a command line under /bin/sh on the runner, with this process's MINIQM_ variables (the root
// as a Unix path); its exit code (-1 when the runner cannot be reached or the shell did not end by
// itself) and, when out is given, its standard output or what went wrong.
int runnerShell(const std::string &command, std::string *out = nullptr);
// The Unix path of a Windows path (wine's own mapping); the path itself outside wine.
std::string unixPath(const std::string &path);
#endif

}  // namespace zt
