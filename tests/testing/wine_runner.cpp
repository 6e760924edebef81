// The Windows side of the runner's requests (see wine_runner.h): one TCP connection each.
#include "testing/wine_runner.h"

#ifdef _WIN32
// winsock2.h before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace zt {

std::string unixPath(const std::string &path) {
    using Mapping = char *(__cdecl *)(const wchar_t *);
    static const Mapping mapping = reinterpret_cast<Mapping>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (mapping == nullptr || path.empty()) return path;
    std::wstring wide(path.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    if (n <= 0) return path;
    char *mapped = mapping(wide.c_str());
    if (mapped == nullptr) return path;
    std::string result = mapped;
    HeapFree(GetProcessHeap(), 0, mapped);
    return result;
}

int runnerShell(const std::string &command, std::string *out) {
    std::string ignored;
    std::string &text = out ? *out : ignored;
    text.clear();
    const char *port = std::getenv("ZUNT_QM_RUNNER");
    if (port == nullptr || *port == '\0') {
        text = "ZUNT_QM_RUNNER is not set: scripts/wine-test.sh starts the runner\n";
        return -1;
    }
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
    std::string request;
    for (char **e = _environ; *e != nullptr; e++) {
        if (std::strncmp(*e, "MINIQM_", 7) != 0) continue;
        std::string entry = *e;
        if (entry.compare(0, 12, "MINIQM_ROOT=") == 0) entry = "MINIQM_ROOT=" + unixPath(entry.substr(12));
        request += entry;
        request += '\0';
    }
    request += '\0';
    request += command;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        text = "the runner at port " + std::string(port) + " does not answer\n";
        return -1;
    }
    bool sent = true;
    for (size_t at = 0; sent && at < request.size();) {
        int n = send(s, request.data() + at, static_cast<int>(request.size() - at), 0);
        sent = n > 0;
        if (sent) at += static_cast<size_t>(n);
    }
    shutdown(s, SD_SEND);
    std::string reply;
    char buffer[4096];
    for (int n; sent && (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<size_t>(n));
    closesocket(s);
    size_t line = reply.find('\n');
    if (!sent || line == std::string::npos) {
        text = "no reply from the runner\n";
        return -1;
    }
    text = reply.substr(line + 1);
    return std::atoi(reply.c_str());
}

}  // namespace zt
#endif
