// The emitters' files kept with the units of work. Every file written since the last commit is
// listed with the length its last committed unit left and the text that ends its open document
// there. A commit saves those lengths in its own unit; a backout cuts each file the unit wrote back
// to its committed length and ends its document, and removes the files the unit made; a load does
// the same from the saved state. So every record is in the files once, and no record is torn, for
// whatever ends a unit.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "emit/internal.h"

namespace {

struct JournalFile {
    std::string name;
    uint64_t committed;         // the length the last committed unit left
    std::string committedTail;  // what ends the document at that length
    uint64_t length;            // written so far
    std::string tail;           // what ends the document at length, as the commit being made saves it
    int32_t writer;             // the set whose open unit wrote past committed; -1 none
    bool made;                  // the writer's unit made the file
};

std::vector<JournalFile> gFiles;
// The names the last loaded state lists: a file made since that is not among them goes.
std::vector<std::string> gListed;

constexpr uint32_t kStateVersion = 1;
constexpr size_t kTailMax = 1024;

JournalFile *find(const char *name) {
    for (JournalFile &file : gFiles)
        if (file.name == name) return &file;
    return nullptr;
}

int32_t setIdOf(const EmitContext *c) {
    return c->set != nullptr ? c->set->id : EV_SET_E;
}

EmitterDef *holderOf(const std::string &name) {
    for (EmitterDef *e = evEmitterList; e != nullptr; e = e->next)
        if (e->openFile != nullptr && name == e->openFileName) return e;
    return nullptr;
}

// Closes an emitter's file as it stands (nothing more is written) and forgets its unit.
void closeRaw(EmitterDef *e) {
    if (e->openFile == nullptr) return;
    if (int rc = CSOutFileClose(e->openFile))
        evOutputF(EV_OUT_ERROR, 1, "Error writing to file '%s' RC(%d)", e->openFileName, rc);
    e->openFile = nullptr;
    e->openFileName[0] = 0;
    emitResetUnit(e);
}

// Puts a file back to a committed length and its ending, or removes it when no committed unit wrote
// to it. A file that is gone is left so.
void restore(const std::string &name, uint64_t length, const std::string &tail, bool remove) {
    if (EmitterDef *holder = holderOf(name)) closeRaw(holder);
    const int rc = remove ? CSOutFileRemove(name.c_str())
                          : CSOutFileCutPath(name.c_str(), length, tail.data(), tail.size());
    if (rc != 0 && rc != ENOENT)
        evOutputF(EV_OUT_ERROR, 1, "Emitter file '%s' could not be put back to %llu bytes RC(%d)",
                  name.c_str(), static_cast<unsigned long long>(remove ? 0 : length), rc);
    else if (rc == 0 && remove)
        evOutputF(EV_OUT_PROGRESS, 1, "Emitter file '%s' removed: its unit of work did not commit",
                  name.c_str());
}

// The text that ends the emitter's open document now, as its close would write it, the emitter left
// as it was. Only JSON documents end in text, and JSON files are not translated.
std::string documentTail(EmitterDef *e) {
    if (!e->documentOpen) return {};
    char errorText[EMIT_ERROR_MAX];
    EmitContext c{};
    c.emitter = e;
    c.errorText = errorText;
    if (!emitSelectFormat(&c) || emitHolding() == nullptr) return {};
    const EmitterDef saved = *e;
    emitCloseGroup(&c);
    std::string tail;
    if (!c.overflow) tail.assign(emitHolding(), c.writePosition);
    e->document = saved.document;
    e->group = saved.group;
    e->indent = saved.indent;
    e->documentOpen = saved.documentOpen;
    e->documentRecords = saved.documentRecords;
    e->column = saved.column;
    return tail.size() <= kTailMax ? tail : std::string();
}

bool nameCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether name is one the file name pattern expands to (emitExpandFileName): its text as it stands,
// each %-token some run of letters and digits (every token expands to those; a doubled letter and
// "mmm" are taken into the run), "%%" one '%'.
bool expandsTo(const char *pattern, const std::string &name) {
    const size_t n = name.size();
    if (n >= EV_EMIT_PATH_MAX) return false;  // longer than any name an emitter makes
    std::array<char, EV_EMIT_PATH_MAX + 1> at{}, next{};
    at[0] = 1;
    for (const char *p = pattern; *p != 0; p++) {
        std::fill_n(next.begin(), n + 1, 0);
        if (*p == '%' && p[1] != '%') {
            if (p[1] == 0) break;  // a '%' that ends the pattern adds nothing
            const char token = *++p;
            while (p[1] == token) p++;
            for (size_t i = 0; i <= n; i++) {
                if (!at[i]) continue;
                next[i] = 1;
                for (size_t k = i; k < n && nameCharacter(name[k]); k++) next[k + 1] = 1;
            }
        } else {
            if (*p == '%') p++;
            for (size_t i = 0; i < n; i++)
                if (at[i] && name[i] == *p) next[i + 1] = 1;
        }
        at.swap(next);
    }
    return at[n] != 0;
}

// Whether name is a file an emitter defined now makes: its pattern expanded, perhaps with the
// sequence "(n)" the emitter puts before the last '.' when a name is taken. Another application may
// put any name on the data queue: a file no emitter makes is never cut back or removed, so neither
// a folder nor a ".." can lead elsewhere (a token expands to letters and digits only).
bool ownFileName(const std::string &name) {
    std::string plain = name;
    const size_t dot = name.rfind('.');
    const size_t end = dot == std::string::npos ? name.size() : dot;
    const size_t open = name.rfind('(', end);
    if (open != std::string::npos && end > open + 2 && name[end - 1] == ')' &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(open) + 1,
                    name.begin() + static_cast<std::ptrdiff_t>(end) - 1,
                    [](char c) { return c >= '0' && c <= '9'; }))
        plain.erase(open, end - open);
    for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next)
        if (e->file[0] != 0 && (expandsTo(e->file, name) || (plain != name && expandsTo(e->file, plain))))
            return true;
    return false;
}

void appendU32(std::vector<uint8_t> &out, uint32_t value) {
    uint8_t bytes[4];
    mqiPutU32(bytes, 0, value);
    out.insert(out.end(), bytes, bytes + 4);
}

}  // namespace

int emitJournalNaming(EmitContext *c, const char *name) {
    // Without a data queue there is no committed state to keep the file with.
    ConnectionSet *owner = c->set != nullptr ? c->set : evSet(EV_SET_E);
    if (owner->io.mq == nullptr) return 1;
    return evPutEmitNewFile(owner, name, c->errorText, EMIT_ERROR_MAX);
}

void emitJournalMade(EmitContext *c) {
    EmitterDef *e = c->emitter;
    emitJournalForget(e->openFileName);  // a name used again after its file was removed
    gFiles.push_back(JournalFile{e->openFileName, 0, {}, 0, {}, setIdOf(c), true});
}

void emitJournalForget(const char *name) {
    std::erase_if(gFiles, [name](const JournalFile &file) { return file.name == name; });
}

uint64_t emitJournalLength(const EmitterDef *e) {
    const JournalFile *file = find(e->openFileName);
    return file != nullptr ? file->length : 0;
}

void emitJournalWrote(EmitContext *c, uint32_t length) {
    EmitterDef *e = c->emitter;
    JournalFile *file = find(e->openFileName);
    if (file == nullptr) {
        gFiles.push_back(JournalFile{e->openFileName, 0, {}, 0, {}, -1, false});
        file = &gFiles.back();
    }
    file->length += length;
    if (file->writer < 0) file->writer = setIdOf(c);
}

int emitFileState(int32_t set, uint8_t **message, int32_t *length) {
    *message = nullptr;
    *length = 0;
    bool due = false;
    for (JournalFile &file : gFiles) {
        if (file.writer != set) continue;
        due = true;
        EmitterDef *holder = holderOf(file.name);
        file.tail = holder != nullptr ? documentTail(holder) : std::string();
    }
    if (!due) return 1;
    std::vector<uint8_t> out;
    appendU32(out, kStateVersion);
    appendU32(out, static_cast<uint32_t>(gFiles.size()));
    for (const JournalFile &file : gFiles) {
        // Another set's open unit (there is none while this one writes files) keeps its own.
        const bool own = file.writer == set;
        const uint64_t at = own ? file.length : file.committed;
        const std::string &tail = own ? file.tail : file.committedTail;
        appendU32(out, static_cast<uint32_t>(at));
        appendU32(out, static_cast<uint32_t>(at >> 32));
        appendU32(out, static_cast<uint32_t>(file.name.size()));
        appendU32(out, static_cast<uint32_t>(tail.size()));
        out.insert(out.end(), file.name.begin(), file.name.end());
        out.insert(out.end(), tail.begin(), tail.end());
    }
    auto *bytes = static_cast<uint8_t *>(CSGetMem(out.size()));
    if (bytes == nullptr) return 0;
    std::memcpy(bytes, out.data(), out.size());
    *message = bytes;
    *length = static_cast<int32_t>(out.size());
    return 1;
}

void emitUnitEnded(int32_t set, int committed) {
    for (JournalFile &file : gFiles) {
        if (file.writer != set) continue;
        if (committed) {
            file.committed = file.length;
            file.committedTail = file.tail;
            file.made = false;
        } else {
            restore(file.name, file.committed, file.committedTail, file.made);
            file.name.clear();
        }
        file.writer = -1;
    }
    // A file that is closed and committed needs no more care.
    std::erase_if(gFiles, [](const JournalFile &file) {
        return file.name.empty() || (file.writer < 0 && holderOf(file.name) == nullptr);
    });
}

int emitRestoreFiles(uint8_t kind, const uint8_t *message, int32_t length) {
    if (kind == EV_DQ_KIND_EMIT_NEW_FILE) {
        const std::string name(reinterpret_cast<const char *>(message), static_cast<size_t>(length));
        if (!ownFileName(name)) return 0;
        for (const std::string &listed : gListed)
            if (listed == name) return 1;
        restore(name, 0, {}, true);
        return 1;
    }
    // The whole state is read and checked before anything is done with it.
    struct Entry {
        std::string name;
        uint64_t length;
        std::string tail;
    };
    std::vector<Entry> entries;
    if (message != nullptr) {
        const auto size = static_cast<uint32_t>(length);
        if (length < 8 || mqiGetU32(message, 0) != kStateVersion) return 0;
        const uint32_t count = mqiGetU32(message, 4);
        uint32_t at = 8;
        for (uint32_t i = 0; i < count; i++) {
            if (size - at < 16) return 0;
            const uint64_t fileLength = mqiGetU32(message, at) | uint64_t{mqiGetU32(message, at + 4)} << 32;
            const uint32_t nameLength = mqiGetU32(message, at + 8);
            const uint32_t tailLength = mqiGetU32(message, at + 12);
            at += 16;
            if (nameLength > size - at || tailLength > size - at - nameLength || tailLength > kTailMax)
                return 0;
            Entry entry{std::string(reinterpret_cast<const char *>(message + at), nameLength), fileLength,
                        std::string(reinterpret_cast<const char *>(message + at + nameLength), tailLength)};
            at += nameLength + tailLength;
            if (!ownFileName(entry.name)) return 0;
            entries.push_back(std::move(entry));
        }
        if (at != size) return 0;
    }
    // Memory holds what is committed from here: no file stays open past the state that is loaded.
    for (EmitterDef *e = evEmitterList; e != nullptr; e = e->next) closeRaw(e);
    gFiles.clear();
    gListed.clear();
    for (const Entry &entry : entries) {
        gListed.push_back(entry.name);
        restore(entry.name, entry.length, entry.tail, false);
    }
    return 1;
}

// Unlike the documented flush after the commit (of NDJSON files, of all with ZUNT_EMIT_FLUSH), every
// write already goes through to the file, and this check runs before the commit, for every format:
// a file the unit wrote whose flush fails, or that lost its name, fails the unit by ONERROR.
int emitCheckFiles(QmgrContext *context, ConnectionSet *set) {
    for (bool again = true; again;) {
        again = false;
        for (const JournalFile &file : gFiles) {
            if (file.writer != set->id) continue;
            EmitterDef *e = holderOf(file.name);
            if (e == nullptr) continue;
            int rc = CSOutFileFlush(e->openFile);
            if (rc == 0) rc = CSOutFileLinked(e->openFile);
            if (rc == 0) continue;
            char errorText[EMIT_ERROR_MAX];
            EmitContext c{};
            c.qmgrContext = context;
            c.set = set;
            c.emitter = e;
            c.errorText = errorText;
            (void)emitSelectFormat(&c);
            // DISCARD drops the file and goes on; SUSPEND backs the unit out.
            if (emitFail(&c, "Error writing to file '%s' RC(%d)", file.name.c_str(), rc) != EMIT_DONE)
                return 0;
            again = true;
            break;
        }
    }
    return 1;
}
