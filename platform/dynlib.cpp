// Shared libraries through dlopen, dlsym and dlerror.
#include "platform/dynlib.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// dlopen gives no error number: a path that does not exist, or a name the search did not find,
// is "not found"; anything else (wrong format, missing dependency, no permission) failed to load.
bool notFound(const char *path, const char *text) {
    if (std::strchr(path, '/')) {
        struct stat st;
        if (stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return true;
        return false;
    }
    return text && std::strstr(text, path) && std::strstr(text, "No such file or directory");
}

}  // namespace

int32_t CSLoadLibrary(const char *path, void **module, char *message, size_t size) {
    if (message && size) message[0] = '\0';
    *module = nullptr;
    if (!path || !*path) {
        if (message && size) std::snprintf(message, size, "%s", "No library name given");
        return CS_LIB_NOT_FOUND;
    }
    dlerror();  // clear an earlier failure's text
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle) {
        *module = handle;
        return 0;
    }
    const char *text = dlerror();
    if (message && size) std::snprintf(message, size, "%s", text ? text : "Unknown error");
    return notFound(path, text) ? CS_LIB_NOT_FOUND : CS_LIB_LOAD_FAILED;
}

bool CSLibraryNameIsPath(const char *name) {
    return name != nullptr && std::strchr(name, '/') != nullptr;
}

void *CSLibrarySymbol(void *module, const char *name) {
    if (!module || !name) return nullptr;
    return dlsym(module, name);
}
