// Windows side of shared libraries: LoadLibraryExA, GetProcAddress and FormatMessageA.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/dynlib.h"

namespace {

// The system's text of an error code, its line end taken off.
void errorText(DWORD code, char *message, size_t size) {
    if (!message || !size) return;
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
    text[n] = '\0';
    if (n == 0) std::snprintf(text, sizeof text, "Error %lu", static_cast<unsigned long>(code));
    std::snprintf(message, size, "%s", text);
}

}  // namespace

bool CSLibraryNameIsPath(const char *name) {
    return name != nullptr && (std::strchr(name, '/') || std::strchr(name, '\\') || std::strchr(name, ':'));
}

int32_t CSLoadLibrary(const char *path, void **module, char *message, size_t size) {
    if (message && size) message[0] = '\0';
    *module = nullptr;
    if (!path || !*path) {
        if (message && size) std::snprintf(message, size, "%s", "No library name given");
        return CS_LIB_NOT_FOUND;
    }
    // A path's own folder is searched for the libraries it needs in turn, as IBM MQ's are found.
    // No error dialog for a missing file: the caller reports it.
    UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE handle =
        LoadLibraryExA(path, nullptr, CSLibraryNameIsPath(path) ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    DWORD code = handle ? 0 : GetLastError();
    SetErrorMode(oldMode);
    if (handle) {
        *module = reinterpret_cast<void *>(handle);
        return 0;
    }
    errorText(code, message, size);
    if (code == ERROR_MOD_NOT_FOUND || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return CS_LIB_NOT_FOUND;
    return CS_LIB_LOAD_FAILED;
}

void *CSLibrarySymbol(void *module, const char *name) {
    if (!module || !name) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
