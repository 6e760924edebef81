// A program as a child of a test (program_child.h); the Windows side by CreateProcess.
#include "testing/program_child.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace zt {

namespace {

// This process's environment with the start's changes.
std::vector<std::string> childEnvironment(const std::vector<std::string> &changes) {
    auto nameOf = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
#ifdef _WIN32
    char **own = _environ;
#else
    char **own = environ;
#endif
    for (char **e = own; *e != nullptr; e++) {
        const std::string entry = *e;
        bool changed = false;
        for (const std::string &change : changes) changed = changed || nameOf(change) == nameOf(entry);
        if (!changed) env.push_back(entry);
    }
    for (const std::string &change : changes)
        if (change.find('=') != std::string::npos) env.push_back(change);
    return env;
}

}  // namespace

#ifdef _WIN32

namespace {

constexpr int kKilledExitCode = 137;  // 128 + SIGKILL, as a shell reports it

// One argument as the run-time's command-line parser reads it back.
std::string quoted(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string text = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            slashes++;
            continue;
        }
        text.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        text += c;
    }
    text.append(2 * slashes, '\\');
    return text + "\"";
}

HANDLE openOutput(const std::string &path, SECURITY_ATTRIBUTES *inherit) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ProgramChild::ProgramChild(ChildStart start) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input = nullptr, writer = nullptr;
    if (!CreatePipe(&input, &writer, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe " << GetLastError();
        return;
    }
    SetHandleInformation(writer, HANDLE_FLAG_INHERIT, 0);
    keys_ = reinterpret_cast<long long>(writer);
    HANDLE out = openOutput(start.out, &inherit);
    HANDLE err = start.err == start.out ? out : openOutput(start.err, &inherit);
    EXPECT_NE(out, INVALID_HANDLE_VALUE) << start.out;
    EXPECT_NE(err, INVALID_HANDLE_VALUE) << start.err;

    // Only these three go with the child: not this process's own sockets (its MQ connections),
    // whose ends would otherwise stay open in the child after this process closed them.
    HANDLE handles[] = {input, out, err};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    InitializeProcThreadAttributeList(list, 1, 0, &size);
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                              (err == out ? 2 : 3) * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = out;
    startup.StartupInfo.hStdError = err;
    startup.lpAttributeList = list;

    std::string line;
    for (const std::string &arg : start.args) line += (line.empty() ? "" : " ") + quoted(arg);
    std::string block;
    for (const std::string &entry : childEnvironment(start.environment)) {
        block += entry;
        block += '\0';
    }
    block += '\0';
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                       block.data(), start.folder.empty() ? nullptr : start.folder.c_str(),
                       &startup.StartupInfo, &info)) {
        CloseHandle(info.hThread);
        process_ = reinterpret_cast<long long>(info.hProcess);
    } else {
        ADD_FAILURE() << "CreateProcess " << GetLastError() << ": " << line;
    }
    DeleteProcThreadAttributeList(list);
    CloseHandle(input);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != out && err != INVALID_HANDLE_VALUE) CloseHandle(err);
}

ProgramChild::~ProgramChild() {
    if (running()) kill9();
    if (started()) CloseHandle(reinterpret_cast<HANDLE>(process_));
    if (keys_ != -1) CloseHandle(reinterpret_cast<HANDLE>(keys_));
}

bool ProgramChild::reap(int ms) {
    const DWORD wait = ms < 0 ? INFINITE : static_cast<DWORD>(ms);
    if (WaitForSingleObject(reinterpret_cast<HANDLE>(process_), wait) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(reinterpret_cast<HANDLE>(process_), &code);
    status_ = static_cast<int>(code);
    return true;
}

void ProgramChild::keys(const std::string &keys) {
    for (char key : keys) {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(reinterpret_cast<HANDLE>(keys_), &key, 1, &written, nullptr) && written == 1);
        Sleep(100);
    }
}

void ProgramChild::closeKeys() {
    if (keys_ != -1) CloseHandle(reinterpret_cast<HANDLE>(keys_));
    keys_ = -1;
}

void ProgramChild::kill9() {
    if (!running()) return;
    TerminateProcess(reinterpret_cast<HANDLE>(process_), kKilledExitCode);
    reap(-1);
}

std::vector<std::string> standInLibrary(const std::string &library, const std::string &folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(folder, error);
    const fs::path copy = fs::path(folder) / "mqm.dll";
    if (!fs::exists(copy)) fs::copy_file(library, copy, error);
    EXPECT_FALSE(error) << error.message() << ": " << library;
    std::string windows = folder;
    for (char &c : windows)
        if (c == '/') c = '\\';
    const char *root = std::getenv("MINIQM_ROOT");
    return {"MQM_DLL_PATH=" + windows, "MQSERVER", std::string("MQCHLLIB=") + (root ? root : "")};
}

#else

ProgramChild::ProgramChild(ChildStart start) {
    int slave = -1;
    if (start.pipeKeys) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(pipe(ends), 0);
        if (ends[0] < 0) return;
        keys_ = ends[1];
        slave = ends[0];
    } else {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        keys_ = master;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, slave, 0);
    posix_spawn_file_actions_addopen(&actions, 1, start.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (start.err == start.out)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, start.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Nothing else of this process (its own MQ connections among them) goes with the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!start.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, start.folder.c_str());
    std::vector<std::string> env = childEnvironment(start.environment);
    std::vector<char *> argv, envp;
    for (std::string &a : start.args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0) << argv[0];
    posix_spawn_file_actions_destroy(&actions);
    if (slave >= 0) close(slave);
    process_ = pid;
}

ProgramChild::~ProgramChild() {
    if (running()) kill9();
    if (keys_ >= 0) close(static_cast<int>(keys_));
}

bool ProgramChild::reap(int ms) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        if (waitpid(static_cast<pid_t>(process_), &status, WNOHANG) == process_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (ms >= 0 && waited >= ms) return false;
        usleep(10000);
    }
}

void ProgramChild::keys(const std::string &keys) {
    for (char key : keys) {
        EXPECT_EQ(write(static_cast<int>(keys_), &key, 1), 1);
        usleep(100000);
    }
}

void ProgramChild::closeKeys() {
    if (keys_ >= 0) close(static_cast<int>(keys_));
    keys_ = -1;
}

void ProgramChild::term() {
    signal(SIGTERM);
}

void ProgramChild::signal(int number) {
    if (running()) kill(static_cast<pid_t>(process_), number);
}

void ProgramChild::kill9() {
    if (!running()) return;
    kill(static_cast<pid_t>(process_), SIGKILL);
    reap(-1);
}

std::vector<std::string> standInLibrary(const std::string &library, const std::string &) {
    return {"MQM_DLL_PATH=" + std::filesystem::path(library).parent_path().string()};
}

#endif

bool ProgramChild::started() const {
    return process_ > 0;
}

double ProgramChild::cpuSeconds() const {
#ifdef _WIN32
    return -1;
#else
    if (!started() || status_ >= 0) return -1;
    std::FILE *file = std::fopen(("/proc/" + std::to_string(process_) + "/stat").c_str(), "r");
    if (file == nullptr) return -1;
    char text[1024] = {};
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // Fields 14 and 15, utime and stime, counted after the command's closing parenthesis (field 2).
    const char *at = std::strrchr(text, ')');
    if (length == 0 || at == nullptr) return -1;
    unsigned long long user = 0, system = 0;
    if (std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2)
        return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
#endif
}

bool ProgramChild::running() {
    return started() && status_ < 0 && !reap(0);
}

int ProgramChild::wait(int ms) {
    if (!started()) return -1;
    if (status_ < 0) reap(ms);
    return status_;
}

}  // namespace zt
