// The emitters' files kept with the units of work. Every file written since the last commit is
// listed with its emitter, its identity, the length its last committed unit left and the text that
// ends its open document there. A commit saves those lengths in its own unit, one state for each
// emitter it wrote for; a backout cuts each file the unit wrote back to its committed length and
// ends its document, and removes the files the unit made; a load does the same from the latest
// saved state of each emitter. So every record is in the files once, and no record is torn, for
// whatever ends a unit. Only a file the program made is ever cut or removed: its name one its
// emitter's pattern makes, its identity the one the program saved, and no shorter than its state.
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
    std::string emitter;        // the emitter that made or wrote it
    std::string pattern;        // that emitter's FILE then
    CSFileIdentity identity;    // which file it is
    uint64_t committed;         // the length the last committed unit left
    std::string committedTail;  // what ends the document at that length
    uint64_t length;            // written so far
    std::string tail;           // what ends the document at length, as the commit being made saves it
    int32_t writer;             // the set whose open unit wrote past committed; -1 none
    bool made;                  // the writer's unit made the file
};

std::vector<JournalFile> gFiles;
// The files the last loaded state lists: a file made since that is not among them goes.
struct Listed {
    std::string name;
    bool identified;
    CSFileIdentity identity;
};
std::vector<Listed> gListed;

// The earlier layout lists every file in one message; the current one holds one emitter's files.
// The records each set's open unit emitted, by emitter: MSGCT takes them when the unit commits.
struct Counted {
    int32_t set;
    std::string emitter;
    uint32_t records;
};
std::vector<Counted> gCounted;

constexpr uint32_t kStateVersionAll = 1;
constexpr uint32_t kStateVersionNoBirth = 2;
constexpr uint32_t kStateVersionUnchecked = 3;
constexpr uint32_t kStateVersion = 4;
constexpr size_t kTailMax = 1024;
// Orders the states the program saves: a load goes on from the highest it finds.
uint64_t gSequence = 0;

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
// to it; only the file of that identity, and never through a link. Without an identity nothing is
// cut, and only an empty regular file is removed (the program names a file before it makes it, and
// a kill in between leaves it empty). A file that is gone is left so, and so is another file under
// the name.
void restore(const std::string &name, uint64_t length, const std::string &tail, bool remove,
             const CSFileIdentity *identity) {
    if (EmitterDef *holder = holderOf(name)) closeRaw(holder);
    int rc = 0;
    if (remove) {
        uint64_t size = 0;
        CSFileIdentity now{};
        rc = CSOutFileNameState(name.c_str(), &size, &now);
        if (rc == ENOENT) return;
        if (rc == 0 && identity == nullptr && size != 0) return;  // the name alone: not known to be ours
        if (rc == 0 && identity != nullptr && !(now == *identity)) rc = CS_OTHER_FILE;
        if (rc == 0) rc = CSOutFileRemove(name.c_str());
    } else if (identity == nullptr) {
        // Only the file the program made is cut, and a name alone does not say which file that is.
        evOutputF(EV_OUT_ERROR, 1, "Emitter file '%s' left as it is: its state does not say which file it is",
                  name.c_str());
        return;
    } else {
        rc = CSOutFileCutPath(name.c_str(), length, tail.data(), tail.size(), *identity);
    }
    if (rc == ENOENT) return;
    if (rc == CS_OTHER_FILE || rc == ERANGE)
        evOutputF(EV_OUT_ERROR, 1, "Emitter file '%s' left as it is: it is not the file the program wrote",
                  name.c_str());
    else if (rc != 0)
        evOutputF(EV_OUT_ERROR, 1, "Emitter file '%s' could not be put back to %llu bytes RC(%d)",
                  name.c_str(), static_cast<unsigned long long>(remove ? 0 : length), rc);
    else if (remove)
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

// One piece of a file name pattern as emitExpandFileName expands it: a character, one of a list of
// words, or a number of digits (at least width of them, more only without a leading zero, its value
// from low to high), perhaps followed by the ordinal ending of its value.
struct Piece {
    char character;  // 0: not a character
    const char *const *words;
    int wordCount;
    int width;  // 0: not a number
    uint64_t low, high;
    bool ordinal;
};

const char *const kUpper[] = {"AM", "PM"};
const char *const kLower[] = {"am", "pm"};
constexpr uint64_t kAny = UINT64_MAX;

Piece number(int width, uint64_t low, uint64_t high) {
    return Piece{0, nullptr, 0, width, low, high, false};
}
template <size_t N>
Piece words(const char *const (&list)[N]) {
    return Piece{0, list, static_cast<int>(N), 0, 0, 0, false};
}

// The pieces of a pattern, read as emitExpandFileName reads it (the counters expanded, as in every
// name a file is opened under); counters tells whether it holds %I, %i, %U or %u.
std::vector<Piece> piecesOf(const char *pattern, bool *counters) {
    std::vector<Piece> pieces;
    *counters = false;
    for (const char *p = pattern; *p != 0; p++) {
        if (*p != '%') {
            pieces.push_back(Piece{*p, nullptr, 0, 0, 0, 0, false});
            continue;
        }
        const char token = *++p;
        if (token == 0) break;
        const bool twice = p[1] == token;
        switch (token) {
            case '%':
                pieces.push_back(Piece{'%', nullptr, 0, 0, 0, 0, false});
                break;
            case 'C':
                pieces.push_back(number(8, 0, 99991231));
                break;
            case 'c':
            case 't':
                pieces.push_back(number(6, 0, 991231));
                break;
            case 'D':
                pieces.push_back(twice ? words(emitDaysLong) : words(emitDays));
                break;
            case 'd':
                pieces.push_back(twice ? Piece{0, nullptr, 0, 1, 1, 31, true} : number(2, 1, 31));
                break;
            case 'H':
                pieces.push_back(number(twice ? 1 : 2, 0, 23));
                break;
            case 'h':
                pieces.push_back(number(twice ? 1 : 2, 0, 11));
                break;
            case 'I':
            case 'U':
                *counters = true;
                pieces.push_back(number(5, 1, kAny));
                break;
            case 'i':
            case 'u':
                *counters = true;
                pieces.push_back(number(1, 1, kAny));
                break;
            case 'J':
                pieces.push_back(number(3, 1, 366));
                break;
            case 'j':
                pieces.push_back(number(3, 0, 365));
                break;
            case 'M':
                pieces.push_back(number(2, 0, 59));
                break;
            case 'm':
                if (p[1] == 'm' && p[2] == 'm') {
                    pieces.push_back(words(emitMonthsLong));
                    p += 2;
                    continue;
                }
                pieces.push_back(twice ? number(2, 1, 12) : words(emitMonths));
                break;
            case 'P':
                pieces.push_back(words(kUpper));
                break;
            case 'p':
                pieces.push_back(words(kLower));
                break;
            case 'S':
                pieces.push_back(number(2, 0, 60));
                break;
            case 'y':
                pieces.push_back(twice ? number(2, 0, 99) : number(4, 0, 9999));
                break;
            default:
                break;  // an unknown letter expands to nothing
        }
        if (twice &&
            (token == 'D' || token == 'd' || token == 'H' || token == 'h' || token == 'm' || token == 'y'))
            p++;
    }
    return pieces;
}

const char *ordinalOf(uint64_t day) {
    if (day == 1 || day == 21 || day == 31) return "st";
    if (day == 2 || day == 22) return "nd";
    if (day == 3 || day == 23) return "rd";
    return "th";
}

// Marks in next every end of the piece taken from name at i.
void advance(const Piece &piece, const std::string &name, size_t i, std::string &next) {
    const size_t n = name.size();
    if (piece.character != 0) {
        if (i < n && name[i] == piece.character) next[i + 1] = 1;
    } else if (piece.words != nullptr) {
        for (int w = 0; w < piece.wordCount; w++)
            if (name.compare(i, std::strlen(piece.words[w]), piece.words[w]) == 0)
                next[i + std::strlen(piece.words[w])] = 1;
    } else if (piece.width > 0) {
        uint64_t value = 0;
        for (size_t k = i; k < n && name[k] >= '0' && name[k] <= '9' && k - i < 19; k++) {
            value = value * 10 + static_cast<uint64_t>(name[k] - '0');
            const size_t digits = k - i + 1;
            if (digits < static_cast<size_t>(piece.width)) continue;
            if (digits > static_cast<size_t>(piece.width) && name[i] == '0') break;  // padded to width only
            if (value < piece.low || value > piece.high) continue;
            if (!piece.ordinal) {
                next[k + 1] = 1;
            } else if (name.compare(k + 1, 2, ordinalOf(value)) == 0) {
                next[k + 3] = 1;
            }
        }
    }
}

bool piecesMake(const std::vector<Piece> &pieces, const std::string &name) {
    const size_t n = name.size();
    std::string at(n + 1, 0), next(n + 1, 0);
    at[0] = 1;
    for (const Piece &piece : pieces) {
        std::fill(next.begin(), next.end(), char{0});
        for (size_t i = 0; i <= n; i++)
            if (at[i]) advance(piece, name, i, next);
        at.swap(next);
    }
    return at[n] != 0;
}

// Whether name is a file the emitter of this name makes now.
bool emitterMakes(const char *emitter, const std::string &name) {
    for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next)
        if (std::strcmp(e->name, emitter) == 0)
            return e->file[0] != 0 && emitPatternMakes(e->file, name.c_str());
    return false;
}

// Whether name is a file an emitter defined now makes. Another application may put any name on the
// data queue: a file no emitter makes is never cut or removed, so neither a folder nor a ".." can
// lead elsewhere (no token expands to either).
bool ownFileName(const std::string &name) {
    for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next)
        if (e->file[0] != 0 && emitPatternMakes(e->file, name.c_str())) return true;
    return false;
}

void appendU32(std::vector<uint8_t> &out, uint32_t value) {
    uint8_t bytes[4];
    mqiPutU32(bytes, 0, value);
    out.insert(out.end(), bytes, bytes + 4);
}

void appendU64(std::vector<uint8_t> &out, uint64_t value) {
    appendU32(out, static_cast<uint32_t>(value));
    appendU32(out, static_cast<uint32_t>(value >> 32));
}

// u64 device, u64 number, u32 birth kind, u64 birth.
constexpr size_t kIdentitySize = 28;
void appendIdentity(std::vector<uint8_t> &out, const CSFileIdentity &identity) {
    appendU64(out, identity.device);
    appendU64(out, identity.number);
    appendU32(out, identity.birthKind);
    appendU64(out, identity.birth);
}

// Reads a stored message front to back, every read checked against its end.
struct Reader {
    const uint8_t *bytes;
    uint32_t size;
    uint32_t at;
    bool bad;
    uint32_t u32() {
        if (size - at < 4) {
            bad = true;
            return 0;
        }
        at += 4;
        return mqiGetU32(bytes, at - 4);
    }
    uint64_t u64() {
        const uint64_t low = u32();
        return low | uint64_t{u32()} << 32;
    }
    std::string text(uint32_t length) {
        if (bad || length > size - at) {
            bad = true;
            return {};
        }
        at += length;
        return std::string(reinterpret_cast<const char *>(bytes + at - length), length);
    }
};

// A stored state: version 3 holds one emitter's files, u32 version, u64 sequence, u32 lengths of the
// emitter's name and FILE pattern, u32 count, the name and pattern, then each file as u64 length,
// u64 device, u64 number, u32 birth kind, u64 birth, u32 name length, u32 tail length, name, tail.
// Version 4, which saves write, is version 3 followed by a u32 CRC-32 of every byte before it: a
// length or tail damaged in place would still parse, and would cut a file where no unit ended.
// Version 2 is the same without birth kind and birth: a device and number alone may be a later
// file's, so its files count as not identified. Version 1 holds every file, each as u64 length, u32
// name length, u32 tail length, name, tail.
struct StoredFile {
    std::string name;
    uint64_t length;
    std::string tail;
    bool identified;
    CSFileIdentity identity;
};
struct StoredState {
    uint32_t version;
    uint64_t sequence;
    std::string emitter;
    std::string pattern;
    std::vector<StoredFile> files;
};

// The state in either layout; false when the message is not in one the program writes.
bool readState(const uint8_t *message, int32_t length, StoredState *state) {
    if (message == nullptr || length < 8) return false;
    Reader r{message, static_cast<uint32_t>(length), 0, false};
    state->version = r.u32();
    if (state->version == kStateVersion) {
        const auto checked = static_cast<uint32_t>(length) - 4;
        if (mqiGetU32(message, checked) != mqiCrc32(message, checked)) return false;
        r.size = checked;
    }
    if (state->version != kStateVersion && state->version != kStateVersionUnchecked &&
        state->version != kStateVersionNoBirth && state->version != kStateVersionAll)
        return false;
    const bool one = state->version != kStateVersionAll;
    uint32_t nameLength = 0, patternLength = 0;
    if (one) {
        state->sequence = r.u64();
        nameLength = r.u32();
        patternLength = r.u32();
        if (nameLength == 0 || nameLength > EV_EMIT_NAME_MAX || patternLength > EV_EMIT_FILE_MAX)
            return false;
    }
    const uint32_t count = r.u32();
    if (one) {
        state->emitter = r.text(nameLength);
        state->pattern = r.text(patternLength);
    }
    for (uint32_t i = 0; i < count && !r.bad; i++) {
        StoredFile file{};
        file.length = r.u64();
        if (one) {
            file.identity.device = r.u64();
            file.identity.number = r.u64();
        }
        if (state->version == kStateVersion || state->version == kStateVersionUnchecked) {
            file.identity.birthKind = r.u32();
            file.identity.birth = r.u64();
        }
        file.identified = file.identity.birthKind != CS_BIRTH_NONE;
        const uint32_t fileNameLength = r.u32();
        const uint32_t tailLength = r.u32();
        if (fileNameLength == 0 || fileNameLength >= EV_EMIT_PATH_MAX || tailLength > kTailMax) return false;
        file.name = r.text(fileNameLength);
        file.tail = r.text(tailLength);
        if (file.name.find('\0') != std::string::npos) return false;
        state->files.push_back(std::move(file));
    }
    return !r.bad && r.at == r.size;
}

}  // namespace

bool emitPatternMakes(const char *pattern, const char *fileName) {
    const std::string name(fileName);
    if (name.empty() || name.size() >= EV_EMIT_PATH_MAX) return false;
    bool counters = false;
    const std::vector<Piece> pieces = piecesOf(pattern, &counters);
    if (piecesMake(pieces, name)) return true;
    // A pattern without counters makes "(n)" (n from 2) before the last '.' when a name is taken.
    if (counters) return false;
    const size_t dot = name.rfind('.');
    const size_t end = dot == std::string::npos ? name.size() : dot;
    const size_t open = name.rfind('(', end);
    if (open == std::string::npos || end < open + 3 || name[end - 1] != ')' || name[open + 1] == '0')
        return false;
    uint64_t sequence = 0;
    for (size_t i = open + 1; i + 1 < end; i++) {
        if (name[i] < '0' || name[i] > '9' || i - open > 10) return false;
        sequence = sequence * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    if (sequence < 2 || sequence > UINT32_MAX) return false;
    return piecesMake(pieces, name.substr(0, open) + name.substr(end));
}

int emitJournalNaming(EmitContext *c, const char *name) {
    // Without a data queue there is no committed state to keep the file with.
    ConnectionSet *owner = c->set != nullptr ? c->set : evSet(EV_SET_E);
    if (owner->io.mq == nullptr) return 1;
    return evPutEmitNewFile(owner, reinterpret_cast<const uint8_t *>(name),
                            static_cast<int32_t>(std::strlen(name)), c->errorText, EMIT_ERROR_MAX);
}

int emitJournalMade(EmitContext *c) {
    EmitterDef *e = c->emitter;
    CSFileIdentity identity{};
    int rc = CSOutFileIdentity(e->openFile, &identity);
    ConnectionSet *owner = c->set != nullptr ? c->set : evSet(EV_SET_E);
    if (rc != 0) {
        // The name's end gives way when the text would not fit.
        std::snprintf(c->errorText, EMIT_ERROR_MAX, "Can not open '%s' emitter file '%.800s' RC(%d)", e->name,
                      e->openFileName, rc);
    } else if (owner->io.mq != nullptr) {
        // The name, a NUL and the identity: a load removes this file under the name, whatever it holds.
        std::vector<uint8_t> data(e->openFileName, e->openFileName + std::strlen(e->openFileName));
        data.push_back(0);
        appendIdentity(data, identity);
        if (!evPutEmitNewFile(owner, data.data(), static_cast<int32_t>(data.size()), c->errorText,
                              EMIT_ERROR_MAX))
            rc = EIO;
    }
    if (rc != 0) {
        // Still empty: it goes again, as a load would take it.
        if (int closed = CSOutFileClose(e->openFile))
            evOutputF(EV_OUT_ERROR, 1, "Error writing to file '%s' RC(%d)", e->openFileName, closed);
        (void)CSOutFileRemove(e->openFileName);
        e->openFile = nullptr;
        e->openFileName[0] = 0;
        return 0;
    }
    emitJournalForget(e->openFileName);  // a name used again after its file was removed
    gFiles.push_back(
        JournalFile{e->openFileName, e->name, e->file, identity, 0, {}, 0, {}, setIdOf(c), true});
    return 1;
}

void emitJournalForget(const char *name) {
    std::erase_if(gFiles, [name](const JournalFile &file) { return file.name == name; });
}

void emitJournalCounted(EmitContext *c) {
    EmitterDef *e = c->emitter;
    ConnectionSet *owner = c->set != nullptr ? c->set : evSet(EV_SET_E);
    if (owner->io.mq == nullptr) {
        e->msgCount++;
        return;
    }
    for (Counted &counted : gCounted) {
        if (counted.set == owner->id && counted.emitter == e->name) {
            counted.records++;
            return;
        }
    }
    gCounted.push_back(Counted{owner->id, e->name, 1});
}

bool emitJournalEmptyMade(const char *name) {
    const JournalFile *file = find(name);
    return file != nullptr && file->made && file->length == 0;
}

uint64_t emitJournalLength(const EmitterDef *e) {
    const JournalFile *file = find(e->openFileName);
    return file != nullptr ? file->length : 0;
}

void emitJournalWrote(EmitContext *c, uint32_t length) {
    EmitterDef *e = c->emitter;
    JournalFile *file = find(e->openFileName);
    if (file == nullptr) {
        CSFileIdentity identity{};
        (void)CSOutFileIdentity(e->openFile, &identity);  // none known: a load leaves the file alone
        gFiles.push_back(JournalFile{e->openFileName, e->name, e->file, identity, 0, {}, 0, {}, -1, false});
        file = &gFiles.back();
    }
    file->length += length;
    if (file->writer < 0) file->writer = setIdOf(c);
}

int emitFileState(int32_t set,
                  int (*save)(void *arg, const char *emitter, const uint8_t *message, int32_t length),
                  void *arg) {
    // Each emitter whose files the unit wrote, with the FILE pattern of the latest of them.
    std::vector<std::pair<std::string, std::string>> due;
    for (JournalFile &file : gFiles) {
        if (file.writer != set) continue;
        EmitterDef *holder = holderOf(file.name);
        file.tail = holder != nullptr ? documentTail(holder) : std::string();
        auto same = [&file](const auto &entry) { return entry.first == file.emitter; };
        auto at = std::find_if(due.begin(), due.end(), same);
        if (at == due.end())
            due.emplace_back(file.emitter, file.pattern);
        else
            at->second = file.pattern;
    }
    for (const auto &[emitter, pattern] : due) {
        std::vector<const JournalFile *> files;
        // A file of an earlier FILE commits now and is closed: it needs no more care.
        for (const JournalFile &file : gFiles)
            if (file.emitter == emitter && file.pattern == pattern) files.push_back(&file);
        std::vector<uint8_t> out;
        appendU32(out, kStateVersion);
        appendU64(out, ++gSequence);
        appendU32(out, static_cast<uint32_t>(emitter.size()));
        appendU32(out, static_cast<uint32_t>(pattern.size()));
        appendU32(out, static_cast<uint32_t>(files.size()));
        out.insert(out.end(), emitter.begin(), emitter.end());
        out.insert(out.end(), pattern.begin(), pattern.end());
        for (const JournalFile *file : files) {
            // Another set's open unit (there is none while this one writes files) keeps its own.
            const bool own = file->writer == set;
            const std::string &tail = own ? file->tail : file->committedTail;
            appendU64(out, own ? file->length : file->committed);
            appendIdentity(out, file->identity);
            appendU32(out, static_cast<uint32_t>(file->name.size()));
            appendU32(out, static_cast<uint32_t>(tail.size()));
            out.insert(out.end(), file->name.begin(), file->name.end());
            out.insert(out.end(), tail.begin(), tail.end());
        }
        appendU32(out, mqiCrc32(out.data(), out.size()));
        if (!save(arg, emitter.c_str(), out.data(), static_cast<int32_t>(out.size()))) return 0;
    }
    return 1;
}

void emitUnitEnded(int32_t set, int committed) {
    // MSGCT counts the records of committed units only.
    std::erase_if(gCounted, [set, committed](const Counted &counted) {
        if (counted.set != set) return false;
        for (EmitterDef *e = evEmitterList; committed && e != nullptr; e = e->next)
            if (counted.emitter == e->name) e->msgCount += counted.records;
        return true;
    });
    for (JournalFile &file : gFiles) {
        if (file.writer != set) continue;
        if (committed) {
            file.committed = file.length;
            file.committedTail = file.tail;
            file.made = false;
        } else {
            restore(file.name, file.committed, file.committedTail, file.made, &file.identity);
            file.name.clear();
        }
        file.writer = -1;
    }
    // A file that is closed and committed needs no more care.
    std::erase_if(gFiles, [](const JournalFile &file) {
        return file.name.empty() || (file.writer < 0 && holderOf(file.name) == nullptr);
    });
}

int emitFileStateKind(const uint8_t *message, int32_t length, char *emitter, size_t size,
                      uint64_t *sequence) {
    StoredState state;
    if (!readState(message, length, &state)) return EV_EMIT_STATE_FOREIGN;
    if (state.version == kStateVersionAll) {
        for (const StoredFile &file : state.files)
            if (!ownFileName(file.name)) return EV_EMIT_STATE_FOREIGN;
        return EV_EMIT_STATE_EARLIER;
    }
    for (const StoredFile &file : state.files)
        if (!emitPatternMakes(state.pattern.c_str(), file.name.c_str())) return EV_EMIT_STATE_FOREIGN;
    gSequence = std::max(gSequence, state.sequence);
    std::snprintf(emitter, size, "%s", state.emitter.c_str());
    *sequence = state.sequence;
    for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next)
        if (state.emitter == e->name)
            return state.pattern == e->file ? EV_EMIT_STATE_CURRENT : EV_EMIT_STATE_RETIRED;
    return EV_EMIT_STATE_RETIRED;
}

int emitRestoreFiles(uint8_t kind, const uint8_t *message, int32_t length) {
    if (kind == EV_DQ_KIND_EMIT_NEW_FILE) {
        // The name alone (put before the file is made), or with a NUL and the made file's identity;
        // an earlier version put the device and number alone, which a later file may have again: the
        // name alone then.
        const auto *text = reinterpret_cast<const char *>(message);
        const size_t total = static_cast<size_t>(length);
        const size_t nameLength = strnlen(text, total);
        const bool withIdentity = total == nameLength + 1 + kIdentitySize;
        if (nameLength == 0 || nameLength >= EV_EMIT_PATH_MAX ||
            (nameLength < total && !withIdentity && total != nameLength + 17))
            return 0;
        const std::string name(text, nameLength);
        if (!ownFileName(name)) return 0;
        CSFileIdentity identity{};
        if (withIdentity) {
            Reader r{message, static_cast<uint32_t>(length), static_cast<uint32_t>(nameLength + 1), false};
            identity.device = r.u64();
            identity.number = r.u64();
            identity.birthKind = r.u32();
            identity.birth = r.u64();
        }
        const bool identified = identity.birthKind != CS_BIRTH_NONE;
        // The state's own file stays. A file made under a listed name after that file was moved away
        // (a rotation) is another file: it goes like any file of a unit that never committed.
        for (const Listed &listed : gListed)
            if (listed.name == name && (!identified || !listed.identified || listed.identity == identity))
                return 1;
        restore(name, 0, {}, true, identified ? &identity : nullptr);
        return 1;
    }
    if (message == nullptr) {
        // Memory holds what is committed from here: no file stays open past the state that is loaded.
        for (EmitterDef *e = evEmitterList; e != nullptr; e = e->next) closeRaw(e);
        gFiles.clear();
        gListed.clear();
        return 1;
    }
    // The whole state is read and checked before anything is done with it.
    StoredState state;
    if (!readState(message, length, &state)) return 0;
    for (const StoredFile &file : state.files)
        if (state.version != kStateVersionAll ? !emitterMakes(state.emitter.c_str(), file.name)
                                              : !ownFileName(file.name))
            return 0;
    // A state of an earlier layout (versions 1 and 2) names its files without what tells them from a
    // later file (version 1 without any identity): another application may have put it, and the name
    // may be a user's file or a link planted where a pattern makes names, or a file made later under
    // a freed number. Unlike before, its files are left as they are (a line says so for each): a kill
    // under the earlier version may leave records of its last unit there once more, which is the
    // lesser harm. Its names still keep a new file's name from removing them. So is a file whose file
    // system gave no birth time nor generation.
    for (const StoredFile &file : state.files) {
        gListed.push_back(Listed{file.name, file.identified, file.identity});
        restore(file.name, file.length, file.tail, false, file.identified ? &file.identity : nullptr);
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
