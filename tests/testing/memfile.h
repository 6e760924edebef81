// Files in memory for tests and fuzz targets: installed as the platform's file table for the life
// of the object, with paths mapped to byte strings. Any read or write can be made to fail with an
// errno value, and open can be refused, so the callers' failure paths run without a real disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace zt {

class MemFiles {
public:
    MemFiles();  // one at a time
    ~MemFiles();
    MemFiles(const MemFiles &) = delete;
    MemFiles &operator=(const MemFiles &) = delete;

    void put(const std::string &path, std::string bytes);
    std::string get(const std::string &path) const;  // empty when missing
    bool exists(const std::string &path) const;

    // The k-th read or write from now (1: the next) fails with the error and changes nothing.
    void failRead(uint64_t k, int error);
    void failWrite(uint64_t k, int error);
    void failOpen(int error);  // every open from now, until cleared with 0
    void clearFailures();
    uint64_t writes() const { return writes_; }  // since construction
    size_t openCount() const;                    // handles not yet closed

    // Used by the table's entries.
    static MemFiles *active();
    struct Open {
        std::string path;
        bool writable;
    };
    std::map<std::string, std::string> files_;
    std::map<int64_t, Open> open_;
    int64_t nextHandle_ = 1;
    uint64_t reads_ = 0, writes_ = 0;
    uint64_t failReadAt_ = 0, failWriteAt_ = 0;
    int readError_ = 0, writeError_ = 0, openError_ = 0;

private:
    const CSFileOps *previous_;
};

}  // namespace zt
