// Services: programs the queue manager starts and stops (SERVICE objects). A SERVER service is
// watched while it runs; a COMMAND service is started and left to end. Each runs in a process
// group of its own with the server's environment, MQ_INSTALLATION_PATH pointing at miniqm.
#include <cstdio>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"

namespace qm {

namespace {

// How long a stop of the queue manager waits for each STOPCMD, and for the servers to end.
constexpr int kStopWaitMs = 10000;

void replaceAll(std::string &s, const std::string &from, const std::string &to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// Arguments as a shell would split them at blanks, double quotes keeping blanks in one.
std::vector<std::string> splitArgs(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any) out.push_back(cur);
    return out;
}

void say(const std::string &qmName, const std::string &text) {
    std::fprintf(stderr, "miniqmd(%s): %s\n", qmName.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace

void QueueManager::setServiceEnvironment(const std::string &installPath, const std::string &dataPath) {
    std::lock_guard<std::mutex> lock(mu_);
    installPath_ = installPath;
    dataPath_ = dataPath;
}

std::string QueueManager::serviceInserts(const std::string &value, int serverPid) const {
    std::string s = value;
    replaceAll(s, "+QMNAME+", qmgr_.name);
    replaceAll(s, "+MQ_INSTALL_PATH+", installPath_);
    replaceAll(s, "+MQ_DATA_PATH+", dataPath_);
    if (serverPid > 0) replaceAll(s, "+MQ_SERVER_PID+", std::to_string(serverPid));
    return s;
}

MQLONG QueueManager::startService(const Object &svc, std::string &text) {
    const bool server = svc.i(MQIA_SERVICE_TYPE) == MQSVC_TYPE_SERVER;
    auto run = serviceRuns_.find(svc.name);
    if (server && run != serviceRuns_.end() && run->second.pid > 0 && !qmos::childEnded(run->second.pid))
        return MQRCCF_SERVICE_RUNNING;
    const std::string command = serviceInserts(svc.s(MQCA_SERVICE_START_COMMAND), 0);
    if (command.empty()) return MQRCCF_NO_START_CMD;
    std::vector<std::string> argv = {command};
    for (std::string &a : splitArgs(serviceInserts(svc.s(MQCA_SERVICE_START_ARGS), 0))) argv.push_back(a);
    std::vector<std::string> env;
    for (const std::string &v : qmos::environment())
        if (v.compare(0, 21, "MQ_INSTALLATION_PATH=") != 0) env.push_back(v);
    env.push_back("MQ_INSTALLATION_PATH=" + installPath_);
    std::string error;
    int pid = qmos::spawnChild(argv, env, serviceInserts(svc.s(MQCA_STDOUT_DESTINATION), 0),
                               serviceInserts(svc.s(MQCA_STDERR_DESTINATION), 0), error);
    if (pid < 0) {
        text = "service " + svc.name + " not started: " + error;
        return MQRCCF_COMMAND_FAILED;
    }
    if (server)
        serviceRuns_[svc.name] = {pid, qmos::wallMs()};
    else
        commandPids_.push_back(pid);
    text = std::string(server ? "AMQ5028: The Server '" : "AMQ5030: The Command '") + svc.name +
           "' has started. ProcessId(" + std::to_string(pid) + ").";
    return MQRC_NONE;
}

MQLONG QueueManager::stopService(const Object &svc, int waitMs, std::string &text) {
    auto run = serviceRuns_.find(svc.name);
    if (svc.i(MQIA_SERVICE_TYPE) != MQSVC_TYPE_SERVER || run == serviceRuns_.end() || run->second.pid <= 0 ||
        qmos::childEnded(run->second.pid))
        return MQRCCF_SERVICE_STOPPED;
    const std::string command = serviceInserts(svc.s(MQCA_SERVICE_STOP_COMMAND), run->second.pid);
    if (command.empty()) return MQRCCF_NO_STOP_CMD;
    std::vector<std::string> argv = {command};
    for (std::string &a : splitArgs(serviceInserts(svc.s(MQCA_SERVICE_STOP_ARGS), run->second.pid)))
        argv.push_back(a);
    std::vector<std::string> env;
    for (const std::string &v : qmos::environment())
        if (v.compare(0, 21, "MQ_INSTALLATION_PATH=") != 0) env.push_back(v);
    env.push_back("MQ_INSTALLATION_PATH=" + installPath_);
    std::string error;
    int pid = qmos::spawnChild(argv, env, serviceInserts(svc.s(MQCA_STDOUT_DESTINATION), run->second.pid),
                               serviceInserts(svc.s(MQCA_STDERR_DESTINATION), run->second.pid), error);
    if (pid < 0) {
        text = "service " + svc.name + " not stopped: " + error;
        return MQRCCF_COMMAND_FAILED;
    }
    if (waitMs <= 0) {
        commandPids_.push_back(pid);
    } else {
        for (int waited = 0; !qmos::childEnded(pid); waited += 10) {
            if (waited >= waitMs) {
                commandPids_.push_back(pid);
                break;
            }
            qmos::sleepMs(10);
        }
    }
    text = "service " + svc.name + ": stop command started, ProcessId(" + std::to_string(pid) + ")";
    return MQRC_NONE;
}

void QueueManager::reapServices() {
    for (auto &[name, run] : serviceRuns_)
        if (run.pid > 0 && qmos::childEnded(run.pid)) {
            say(qmgr_.name,
                "AMQ5029: The Server '" + name + "' has ended. ProcessId(" + std::to_string(run.pid) + ").");
            run.pid = 0;
        }
    std::erase_if(commandPids_, [](int pid) { return qmos::childEnded(pid); });
}

void QueueManager::startServices() {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto &[name, svc] : services_) {
        MQLONG control = svc.i(MQIA_SERVICE_CONTROL);
        if (control != MQSVC_CONTROL_Q_MGR && control != MQSVC_CONTROL_Q_MGR_START) continue;
        std::string text;
        MQLONG why = startService(svc, text);
        if (why != MQRC_NONE && text.empty())
            text = "service " + name + " not started: reason " + std::to_string(why);
        say(qmgr_.name, text);
    }
}

void QueueManager::stopServices() {
    // The stop commands run without the lock: they may well connect to this queue manager.
    std::vector<Object> servers;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto &[name, svc] : services_)
            if (svc.i(MQIA_SERVICE_CONTROL) == MQSVC_CONTROL_Q_MGR &&
                svc.i(MQIA_SERVICE_TYPE) == MQSVC_TYPE_SERVER && !svc.s(MQCA_SERVICE_STOP_COMMAND).empty())
                servers.push_back(svc);
    }
    for (const Object &svc : servers) {
        std::string text;
        MQLONG why;
        {
            std::lock_guard<std::mutex> lock(mu_);
            why = stopService(svc, 0, text);
        }
        if (why == MQRC_NONE) say(qmgr_.name, text);
    }
    // Waits for those stop commands (the last entries of commandPids_ are theirs, or ended).
    for (int waited = 0; waited < kStopWaitMs; waited += 10) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            std::erase_if(commandPids_, [](int pid) { return qmos::childEnded(pid); });
            if (commandPids_.empty()) return;
        }
        qmos::sleepMs(10);
    }
}

void QueueManager::awaitServices(int waitMs) {
    for (int waited = 0; waited < waitMs; waited += 10) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            reapServices();
            bool running = false;
            for (const auto &[name, run] : serviceRuns_) running = running || run.pid > 0;
            if (!running) return;
        }
        qmos::sleepMs(10);
    }
}

}  // namespace qm
