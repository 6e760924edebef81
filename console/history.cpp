// The command history (newest first, one entry per spelling ignoring case) and the synonyms (in
// name order ignoring case), with the check that keeps a synonym from expanding into itself.
#include <strings.h>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/internal.h"

namespace {

constexpr char kNameCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.<>[]";
constexpr char kWordEnds[] = " \t\n()[]!|&<>-+*/=,;";
// Synonyms are checked before they are stored, so their chains are short; a bound keeps a damaged
// set from taking the stack.
constexpr int kMaxChain = 64;

void unlinkHistory(cslSession *session, cslHistoryEntry *entry) {
    if (entry->newer != nullptr)
        entry->newer->older = entry->older;
    else
        session->historyNewest = entry->older;
    if (entry->older != nullptr)
        entry->older->newer = entry->newer;
    else
        session->historyOldest = entry->newer;
    if (session->historyCursor == entry) session->historyCursor = nullptr;
}

void pushHistory(cslSession *session, cslHistoryEntry *entry) {
    entry->newer = nullptr;
    entry->older = session->historyNewest;
    if (entry->older != nullptr)
        entry->older->newer = entry;
    else
        session->historyOldest = entry;
    session->historyNewest = entry;
}

// The first word of [text, end): blanks skipped, up to a word end.
void firstWord(const char *text, const char *end, const char **word, size_t *length) {
    while (text < end && (*text == ' ' || *text == '\t' || *text == '\n')) ++text;
    const char *start = text;
    while (text < end && std::strchr(kWordEnds, *text) == nullptr) ++text;
    *word = start;
    *length = static_cast<size_t>(text - start);
}

// The path of synonyms being checked, outermost first.
struct Chain {
    const char *names[kMaxChain];
    size_t nameLengths[kMaxChain];
    const char *values[kMaxChain];
    int depth;
};

// 1 when a command of the value starts with `name`, directly or through other synonyms' values;
// the chain then holds the path to the hit.
int recurses(const cslSession *session, const char *name, const char *value, Chain *chain) {
    if (chain->depth >= kMaxChain) return 1;
    const char *end = value + std::strlen(value);
    for (const char *command = value; command < end;) {
        const char *semicolon = scanFindSemicolon(command, end);
        const char *commandEnd = semicolon != nullptr ? semicolon : end;
        const char *word;
        size_t length;
        firstWord(command, commandEnd, &word, &length);
        if (length > 0) {
            if (length == std::strlen(name) && strncasecmp(word, name, length) == 0) return 1;
            const cslSynonym *next = cslFindSynonym(session, word, length);
            if (next != nullptr) {
                int at = chain->depth++;
                chain->names[at] = next->name;
                chain->nameLengths[at] = std::strlen(next->name);
                chain->values[at] = next->value;
                if (recurses(session, name, next->value, chain)) return 1;
                --chain->depth;
            }
        }
        if (semicolon == nullptr) break;
        command = semicolon + 1;
    }
    return 0;
}

int badName(cslSession *session, const char *name) {
    if (name[0] >= '0' && name[0] <= '9') {
        cslAddOutputF(session, CSL_LINE_ERROR, "Name '%s' can not start with a number", name);
        return 1;
    }
    for (const char *c = name; *c != '\0'; ++c) {
        if (std::strchr(kNameCharacters, *c) == nullptr) {
            cslAddOutputF(session, CSL_LINE_ERROR, "Name '%s' contains invalid character '%c'.", name, *c);
            return 1;
        }
    }
    return 0;
}

}  // namespace

void cslAddHistory(cslSession *session, const char *text) {
    size_t n = std::strlen(text);
    if (n == 0 || strcasecmp(text, "end") == 0 || strcasecmp(text, "quit") == 0) return;
    for (cslHistoryEntry *e = session->historyNewest; e != nullptr; e = e->older) {
        if (e->length == n && strcasecmp(cslHistoryText(e), text) == 0) {
            std::memcpy(cslHistoryText(e), text, n);  // the new spelling
            unlinkHistory(session, e);
            pushHistory(session, e);
            return;
        }
    }
    auto *entry = static_cast<cslHistoryEntry *>(CSGetMem(sizeof(cslHistoryEntry) + n + 1));
    if (entry == nullptr) {
        cslNoMemory(session, sizeof(cslHistoryEntry) + n + 1);
        return;
    }
    entry->length = static_cast<uint32_t>(n);
    std::memcpy(cslHistoryText(entry), text, n + 1);
    pushHistory(session, entry);
    ++session->historyCount;
    while (session->historyCount > session->cmdhist && session->historyOldest != nullptr) {
        cslHistoryEntry *oldest = session->historyOldest;
        unlinkHistory(session, oldest);
        CSFreeMem(oldest);
        --session->historyCount;
    }
}

void cslFreeHistory(cslSession *session) {
    while (session->historyNewest != nullptr) {
        cslHistoryEntry *entry = session->historyNewest;
        unlinkHistory(session, entry);
        CSFreeMem(entry);
    }
    session->historyCount = 0;
}

const cslSynonym *cslFindSynonym(const cslSession *session, const char *name, size_t length) {
    for (const cslSynonym *s = session->synonyms; s != nullptr; s = s->next)
        if (std::strlen(s->name) == length && strncasecmp(s->name, name, length) == 0) return s;
    return nullptr;
}

int cslCheckSynonymRecursion(cslSession *session, const char *name, const char *value) {
    Chain chain{};
    chain.names[0] = name;
    chain.nameLengths[0] = std::strlen(name);
    chain.values[0] = value;
    chain.depth = 1;
    if (!recurses(session, name, value, &chain)) return 0;
    cslAddOutput(session, cslMainList(session), nullptr, "Synonym recursion detected", -1, CSL_LINE_ERROR,
                 CSL_CURRENT_COMMAND);
    for (int i = chain.depth - 1; i >= 0; --i)
        cslAddOutputF(session, CSL_LINE_ERROR, "Synonym '%.*s' has value '%s'",
                      static_cast<int>(chain.nameLengths[i]), chain.names[i], chain.values[i]);
    return 1;
}

int cslSetSynonym(cslSession *session, const char *name, const char *value) {
    if (badName(session, name)) return 0;
    session->synonymsChanged = 1;
    bool hasValue = value != nullptr && value[0] != '\0';
    if (hasValue && cslCheckSynonymRecursion(session, name, value)) return 0;
    for (cslSynonym **at = &session->synonyms; *at != nullptr; at = &(*at)->next) {
        if (strcasecmp((*at)->name, name) == 0) {
            cslSynonym *old = *at;
            *at = old->next;
            CSFreeMem(old);
            break;
        }
    }
    if (!hasValue) return 1;
    size_t nameSize = std::strlen(name) + 1;
    size_t valueSize = std::strlen(value) + 1;
    auto *entry = static_cast<cslSynonym *>(CSGetMem(sizeof(cslSynonym) + nameSize + valueSize));
    if (entry == nullptr) {
        cslNoMemory(session, sizeof(cslSynonym) + nameSize + valueSize);
        return 0;
    }
    entry->name = reinterpret_cast<char *>(entry + 1);
    entry->value = entry->name + nameSize;
    std::memcpy(entry->name, name, nameSize);
    std::memcpy(entry->value, value, valueSize);
    cslSynonym **at = &session->synonyms;
    while (*at != nullptr && strcasecmp((*at)->name, name) < 0) at = &(*at)->next;
    entry->next = *at;
    *at = entry;
    return 1;
}

void cslFreeSynonyms(cslSession *session) {
    while (session->synonyms != nullptr) {
        cslSynonym *s = session->synonyms;
        session->synonyms = s->next;
        CSFreeMem(s);
    }
}
