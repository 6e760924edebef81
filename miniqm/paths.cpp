// Directory layout and small text files of a queue manager (see paths.h).
#include "miniqm/paths.h"

#include <cstdlib>
#include <sstream>

#include "miniqm/os.h"

namespace qmpaths {

std::string root() {
    std::string r = qmos::getEnv("MINIQM_ROOT");
    if (!r.empty()) return r;
    return qmos::homeDir() + "/.miniqm";
}

bool validName(const std::string &name) {
    if (name.empty() || name.size() > 48) return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '%';
        if (!ok) return false;
    }
    return name != "." && name != "..";
}

std::string qmDir(const std::string &name) {
    return root() + "/" + name;
}
std::string socketPath(const std::string &dir) {
    return dir + "/miniqmd.sock";
}
std::string logPath(const std::string &dir) {
    return dir + "/miniqmd.log";
}

static bool readKeyValues(const std::string &path,
                          void (*take)(void *, const std::string &, const std::string &), void *ctx) {
    std::string text;
    if (!qmos::readFile(path, text)) return false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        take(ctx, line.substr(0, eq), line.substr(eq + 1));
    }
    return true;
}

bool readConfig(const std::string &dir, QmConfig &cfg) {
    return readKeyValues(
               dir + "/qm.ini",
               [](void *p, const std::string &k, const std::string &v) {
                   QmConfig &c = *static_cast<QmConfig *>(p);
                   if (k == "name") c.name = v;
                   if (k == "port") c.port = std::atoi(v.c_str());
                   if (k == "cmdlevel") c.cmdLevel = std::atoi(v.c_str());
                   if (k == "admin") c.admin = v;
               },
               &cfg) &&
           !cfg.name.empty();
}

#ifndef _WIN32
bool writeConfig(const std::string &dir, const QmConfig &cfg) {
    std::string text = "name=" + cfg.name + "\nport=" + std::to_string(cfg.port) +
                       "\ncmdlevel=" + std::to_string(cfg.cmdLevel) + "\n" +
                       (cfg.admin.empty() ? std::string() : "admin=" + cfg.admin + "\n");
    return qmos::writeFileAtomic(dir + "/qm.ini", text, true);
}
#endif

bool readRunInfo(const std::string &dir, RunInfo &info) {
    return readKeyValues(
               dir + "/miniqmd.run",
               [](void *p, const std::string &k, const std::string &v) {
                   RunInfo &r = *static_cast<RunInfo *>(p);
                   if (k == "pid") r.pid = std::atoi(v.c_str());
                   if (k == "port") r.port = std::atoi(v.c_str());
               },
               &info) &&
           info.pid > 0;
}

#ifndef _WIN32
bool writeRunInfo(const std::string &dir, const RunInfo &info) {
    return qmos::writeFileAtomic(
        dir + "/miniqmd.run",
        "pid=" + std::to_string(info.pid) + "\nport=" + std::to_string(info.port) + "\n", false);
}

void removeRunInfo(const std::string &dir) {
    qmos::removeFile(dir + "/miniqmd.run");
}
#endif

}  // namespace qmpaths
