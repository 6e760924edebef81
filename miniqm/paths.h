// Where a queue manager lives: the root directory (MINIQM_ROOT, default ~/.miniqm), one directory
// per queue manager with its configuration, journal, socket and run file, and the name rules.
#pragma once

#include <string>

namespace qmpaths {

constexpr int kDefaultCmdLevel = 940;

std::string root();  // $MINIQM_ROOT, else $HOME/.miniqm
// Queue manager names: 1 to 48 of A-Z a-z 0-9 . _ % (IBM MQ also allows '/', which a directory
// name cannot carry, so miniqm refuses it).
bool validName(const std::string &name);
std::string qmDir(const std::string &name);
std::string socketPath(const std::string &dir);  // dir/miniqmd.sock
std::string logPath(const std::string &dir);     // dir/miniqmd.log

struct QmConfig {
    std::string name;
    int port = 0;  // 0: a free port at every start
    int cmdLevel = kDefaultCmdLevel;
    // The user who made it: its administrator. Empty for one made before this was kept, whose
    // administrator is then the owner of its configuration file.
    std::string admin;
};
bool readConfig(const std::string &dir, QmConfig &cfg);
#ifndef _WIN32  // the server and the tool write these; the Windows client library only reads
[[nodiscard]] bool writeConfig(const std::string &dir, const QmConfig &cfg);
#endif

// Written by a running server once it accepts connections; removed when it ends.
struct RunInfo {
    int pid = 0;
    int port = 0;
};
bool readRunInfo(const std::string &dir, RunInfo &info);
#ifndef _WIN32
[[nodiscard]] bool writeRunInfo(const std::string &dir, const RunInfo &info);
void removeRunInfo(const std::string &dir);
#endif

}  // namespace qmpaths
