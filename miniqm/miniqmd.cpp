// miniqmd: one queue manager's server process. Normally started by `miniqm start`, which passes
// the data directory and a pipe on which the server says when it is ready.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "miniqm/os.h"
#include "miniqm/paths.h"
#include "miniqm/server.h"

int main(int argc, char **argv) {
    std::string dir;
    bool sync = qmos::getEnv("MINIQM_NOFSYNC").empty();
    int readyFd = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--no-fsync") {
            sync = false;
        } else if (a == "--ready-fd" && i + 1 < argc) {
            readyFd = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: miniqmd --dir DATADIR [--no-fsync] [--ready-fd N]\n");
            return 2;
        }
    }
    qmpaths::QmConfig cfg;
    if (dir.empty() || !qmpaths::readConfig(dir, cfg)) {
        std::fprintf(stderr, "miniqmd: no queue manager configuration in '%s'\n", dir.c_str());
        return 2;
    }
    return qmserver::run(dir, cfg, sync, readyFd);
}
