// Loading a shared library by path and finding the addresses of its exported names: the MQ
// library is bound at run time through these two calls.
#pragma once

#include <cstddef>
#include <cstdint>

// CSLoadLibrary results other than 0.
constexpr int32_t CS_LIB_NOT_FOUND = 2;      // no such file (by path or along the library search)
constexpr int32_t CS_LIB_LOAD_FAILED = 193;  // the file is there but cannot be loaded

// Loads a library. A path holding '/' is used as it is; a bare file name goes through the system's
// library search. 0 with *module set, or a code above with the system's message for the failure in
// message (cut to size - 1 characters; message may be null). A loaded library is never unloaded.
[[nodiscard]] int32_t CSLoadLibrary(const char *path, void **module, char *message, size_t size);

// The address of an exported name of a loaded library, or null when it exports no such name.
void *CSLibrarySymbol(void *module, const char *name);

// Where the MQ libraries are and what their files are called on this system. Windows: mqm.dll and
// mqic.dll in the installation's "bin64", also found along the PATH when not there; Linux:
// libmqm.so and libmqic.so (or their older "_r" names) in its "lib64".
struct CSMQLibraryNames {
    const char *server;         // the bindings library
    const char *serverOther;    // its other name, or null
    const char *client;         // the client library
    const char *clientOther;    // its other name, or null
    const char *installFolder;  // appended to MQ_INSTALLATION_PATH
    char separator;             // between a folder and a file name
    bool searchAfterFolder;     // a library not in the folder is looked for by the system's search
};
#ifdef _WIN32
inline constexpr CSMQLibraryNames CS_MQ_LIBRARY_NAMES = {"mqm.dll", nullptr, "mqic.dll", nullptr,
                                                         "\\bin64", '\\',    true};
#else
inline constexpr CSMQLibraryNames CS_MQ_LIBRARY_NAMES = {
    "libmqm.so", "libmqm_r.so", "libmqic.so", "libmqic_r.so", "/lib64", '/', false};
#endif

// Whether a library name is a path (used as it is) rather than a file name to search for: it holds
// '/' (Windows also '\' or a drive's ':').
bool CSLibraryNameIsPath(const char *name);
