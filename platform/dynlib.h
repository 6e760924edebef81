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
