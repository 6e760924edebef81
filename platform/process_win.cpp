// Windows side of the process: the folder of its .exe (GetModuleFileNameA), its current folder,
// its user name (GetUserNameA), the computer's name (GetComputerNameA), and the console's Ctrl-C,
// Ctrl-Break, close and shutdown notices as the orderly end.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

BOOL WINAPI onConsoleControl(DWORD type) {
    // Ctrl-C, Ctrl-Break, closing the console window, logging off or shutting down: the orderly
    // end, as the 'Q' 'Y' keys give it and as SIGINT, SIGHUP and SIGTERM do on Linux.
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT ||
        type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        evEndFlag.store(1);
        evEndSignals.fetch_add(1);
        return TRUE;
    }
    return FALSE;
}

// Copies text[0..length) into out as a NUL-terminated text: 1, or 0 (out empty) when it does not fit.
int copyOut(const char *text, size_t length, char *out, size_t size) {
    if (size == 0) return 0;
    if (length >= size) {
        out[0] = '\0';
        return 0;
    }
    memcpy(out, text, length);
    out[length] = '\0';
    return 1;
}

int none(char *out, size_t size) {
    if (size > 0) out[0] = '\0';
    return 0;
}

}  // namespace

int evProgramFolder(char *out, size_t size) {
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return none(out, size);
    const char *slash = strrchr(path, '\\');
    if (slash == nullptr) return none(out, size);
    // A drive's root keeps its '\' ("C:\"); any other folder loses the trailing one.
    size_t length = static_cast<size_t>(slash - path);
    if (length == 2 && path[1] == ':') length = 3;
    return copyOut(path, length, out, size);
}

int evCurrentFolder(char *out, size_t size) {
    char path[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof path, path);
    if (n == 0 || n >= sizeof path) return none(out, size);
    return copyOut(path, n, out, size);
}

int evComputerName(char *out, size_t size) {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = sizeof name;
    if (!GetComputerNameA(name, &length)) return none(out, size);
    return copyOut(name, length, out, size);
}

namespace {

// A text value of a key under HKEY_LOCAL_MACHINE, read in the 32-bit view, as IBM MQ's installer
// writes it; "" when the key or value is missing or is no text.
std::string machineValue(const char *key, const char *value) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_32KEY, &handle) != ERROR_SUCCESS)
        return std::string();
    char buffer[257];
    DWORD type = 0, length = sizeof buffer;
    LONG rc = RegQueryValueExA(handle, value, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &length);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || length == 0) return std::string();
    // A stored text need not end in its NUL.
    return std::string(buffer, strnlen(buffer, length));
}

}  // namespace

int CSMqDataPath(char *out, size_t size) {
    std::string path = machineValue("SOFTWARE\\IBM\\WebSphere MQ", "WorkPath");
    if (path.empty()) path = machineValue("SOFTWARE\\IBM\\MQSeries\\CurrentVersion", "FilePath");
    if (path.empty()) path = "c:\\mqm";
    return copyOut(path.data(), path.size(), out, size);
}

void evHandleTermination() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void evKillProcess() {
    TerminateProcess(GetCurrentProcess(), 137);
    ExitProcess(137);  // not reached
}

const char *evProcessUserName() {
    // Read once: the name of a running process's user does not change.
    static const std::string name = [] {
        char buffer[256 + 1];
        DWORD size = sizeof buffer;
        if (!GetUserNameA(buffer, &size)) return std::string();
        return std::string(buffer);
    }();
    return name.c_str();
}
