// The in-memory file table: each entry looks up the active MemFiles and works on its byte strings.
// A file removed while open keeps its handle but loses its bytes, as unlink does not.
#include "memfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zt {

namespace {

MemFiles *activeFiles = nullptr;

int memOpenUpdate(const char *path, CSFileHandle *file, int *created) {
    MemFiles *m = MemFiles::active();
    if (m->openError_) return m->openError_;
    *created = m->files_.count(path) == 0;
    if (*created) m->files_[path] = std::string();
    *file = m->nextHandle_++;
    m->open_[*file] = {path, true};
    return 0;
}

int memOpenRead(const char *path, CSFileHandle *file) {
    MemFiles *m = MemFiles::active();
    if (m->openError_) return m->openError_;
    if (m->files_.count(path) == 0) return ENOENT;
    *file = m->nextHandle_++;
    m->open_[*file] = {path, false};
    return 0;
}

std::string *bytesOf(MemFiles *m, CSFileHandle file, bool write, int *error) {
    auto open = m->open_.find(file);
    if (open == m->open_.end()) {
        *error = EBADF;
        return nullptr;
    }
    if (write && !open->second.writable) {
        *error = EBADF;
        return nullptr;
    }
    auto bytes = m->files_.find(open->second.path);
    if (bytes == m->files_.end()) {
#ifdef ESTALE
        *error = ESTALE;
#else
        *error = EBADF;  // Windows has no ESTALE
#endif
        return nullptr;
    }
    return &bytes->second;
}

int memReadAt(CSFileHandle file, uint64_t offset, void *buffer, size_t length, size_t *got) {
    MemFiles *m = MemFiles::active();
    *got = 0;
    if (++m->reads_ == m->failReadAt_) return m->readError_;
    int error = 0;
    std::string *bytes = bytesOf(m, file, false, &error);
    if (!bytes) return error;
    if (offset >= bytes->size()) return 0;
    size_t n = std::min<uint64_t>(length, bytes->size() - offset);
    std::memcpy(buffer, bytes->data() + offset, n);
    *got = n;
    return 0;
}

int memWriteAt(CSFileHandle file, uint64_t offset, const void *buffer, size_t length) {
    MemFiles *m = MemFiles::active();
    if (++m->writes_ == m->failWriteAt_) return m->writeError_;
    int error = 0;
    std::string *bytes = bytesOf(m, file, true, &error);
    if (!bytes) return error;
    if (offset + length > (size_t{1} << 32)) return EFBIG;  // tests never need more
    if (bytes->size() < offset + length) bytes->resize(offset + length, '\0');
    std::memcpy(bytes->data() + offset, buffer, length);
    return 0;
}

int memSize(CSFileHandle file, uint64_t *size) {
    int error = 0;
    std::string *bytes = bytesOf(MemFiles::active(), file, false, &error);
    if (!bytes) return error;
    *size = bytes->size();
    return 0;
}

int memClose(CSFileHandle file) {
    return MemFiles::active()->open_.erase(file) ? 0 : EBADF;
}

int memRemove(const char *path) {
    return MemFiles::active()->files_.erase(path) ? 0 : ENOENT;
}

const CSFileOps memOps = {memOpenUpdate, memOpenRead, memReadAt, memWriteAt, memSize, memClose, memRemove};

}  // namespace

MemFiles::MemFiles() {
    activeFiles = this;
    previous_ = CSSetFileOps(&memOps);
}

MemFiles::~MemFiles() {
    CSSetFileOps(previous_);
    activeFiles = nullptr;
}

MemFiles *MemFiles::active() {
    return activeFiles;
}

void MemFiles::put(const std::string &path, std::string bytes) {
    files_[path] = std::move(bytes);
}

std::string MemFiles::get(const std::string &path) const {
    auto it = files_.find(path);
    return it == files_.end() ? std::string() : it->second;
}

bool MemFiles::exists(const std::string &path) const {
    return files_.count(path) != 0;
}

void MemFiles::failRead(uint64_t k, int error) {
    failReadAt_ = reads_ + k;
    readError_ = error;
}

void MemFiles::failWrite(uint64_t k, int error) {
    failWriteAt_ = writes_ + k;
    writeError_ = error;
}

void MemFiles::failOpen(int error) {
    openError_ = error;
}

void MemFiles::clearFailures() {
    failReadAt_ = failWriteAt_ = 0;
    openError_ = 0;
}

size_t MemFiles::openCount() const {
    return open_.size();
}

}  // namespace zt
