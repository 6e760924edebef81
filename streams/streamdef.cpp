// Stream definitions: the global list of named streams with their type, retention, aggregation,
// emitter and display flags, kept sorted by name. Every change raises the configuration-changed flag
// so that the next sync point saves the configuration.
#include <cstdio>
#include <cstring>

#include "streams/internal.h"

StreamDef *evStreamDefList = nullptr;
uint32_t evStreamHighestId = 0;

namespace {

EvStreamHooks hooks{};

// The built-in definition of the string pool's stream: found by id 0 only.
StreamDef stringsDefinition = [] {
    StreamDef def{};
    std::memcpy(def.name, "$STRINGS", 9);
    def.nameLength = 8;
    def.type = STREAM_TYPE_STRINGS;
    return def;
}();

uint16_t cutLength(const char *name, int32_t length) {
    size_t n = length < 0 ? std::strlen(name) : static_cast<size_t>(length);
    return static_cast<uint16_t>(n > STREAM_NAME_MAX ? STREAM_NAME_MAX : n);
}

bool sameName(const StreamDef *def, const char *name, uint16_t length) {
    return def->nameLength == length && std::memcmp(def->name, name, length) == 0;
}

// Byte order of the NUL-terminated names.
int compareNames(const char *a, const char *b) {
    return std::strcmp(a, b) < 0 ? -1 : std::strcmp(a, b) > 0 ? 1 : 0;
}

}  // namespace

void evPendingLogLine(const char *text) {
    if (hooks.pendingLogLine)
        hooks.pendingLogLine(text);
    else
        evOutput(EV_OUT_INFO, text, -1, 1);
}

EvStreamHooks *evStreamGetHooks() {
    return &hooks;
}

void evStreamSetHooks(const EvStreamHooks *newHooks) {
    hooks = newHooks ? *newHooks : EvStreamHooks{};
}

Stream **evStreamQmgrList(QmgrEntry *qmgr) {
    return qmgr && hooks.qmgrStreamList ? hooks.qmgrStreamList(qmgr) : nullptr;
}

const char *evSystemStreamName(uint32_t type) {
    switch (type) {
        case STREAM_TYPE_STATQ:
            return "$STATQ";
        case STREAM_TYPE_STATCHL:
            return "$STATCHL";
        case STREAM_TYPE_STATMQI:
            return "$STATMQI";
        case STREAM_TYPE_ACCTQ:
            return "$ACCTQ";
        case STREAM_TYPE_ACCTMQI:
            return "$ACCTMQI";
        default:
            return "$EVENTS";
    }
}

StreamDef *evDefaultStreamFind(uint32_t type, int make) {
    for (StreamDef *def = evStreamDefList; def; def = def->next)
        if (def->type == type && def->isDefault == 1) return def;
    if (!make) return nullptr;
    const char *system = evSystemStreamName(type);
    for (StreamDef *def = evStreamDefList; def; def = def->next) {
        if (def->type == type && std::strcmp(def->name, system) == 0) {
            def->isDefault = 1;
            evConfigChanged = 1;
            return def;
        }
    }
    return nullptr;
}

void evStreamDefDefaults(StreamDef *def, int isAuto) {
    if (StreamDef *dflt = evDefaultStreamFind(def->type, 0)) {
        if (def->retIntvl == 0) def->retIntvl = dflt->retIntvl;
        return;
    }
    if (isAuto && std::strcmp(def->name, evSystemStreamName(def->type)) == 0) def->isDefault = 1;
    if (def->retIntvl == 0)
        def->retIntvl = def->type == STREAM_TYPE_EVENTS ? STREAM_RETAIN_EVENTS : STREAM_RETAIN_STATS;
}

StreamDef *evStreamDefFind(const char *name, int32_t length, uint32_t type, int *ambiguous) {
    if (ambiguous) *ambiguous = 0;
    if (!name) return nullptr;
    size_t n = length < 0 ? std::strlen(name) : static_cast<size_t>(length);
    if (n > STREAM_NAME_MAX) return nullptr;  // no stored name is longer
    StreamDef *found = nullptr;
    int matches = 0;
    for (StreamDef *def = evStreamDefList; def; def = def->next) {
        if ((type == 0 || def->type == type) && sameName(def, name, static_cast<uint16_t>(n))) {
            found = def;
            matches++;
        }
    }
    if (ambiguous) *ambiguous = matches > 1 ? 1 : 0;
    return found;
}

StreamDef *evStreamDefFindById(uint32_t id) {
    if (id == 0) return &stringsDefinition;
    for (StreamDef *def = evStreamDefList; def; def = def->next)
        if (def->streamId == id) return def;
    return nullptr;
}

StreamDef *evStreamDefine(const char *name, int32_t length, uint32_t type, int isAuto, uint32_t id) {
    if (!name) return nullptr;
    uint16_t n = cutLength(name, length);
    // 1. An existing definition of this name and type is kept as it is.
    for (StreamDef *def = evStreamDefList; def; def = def->next)
        if (def->type == type && sameName(def, name, n)) return def;

    // 2-3. A new one with its defaults.
    auto *def = static_cast<StreamDef *>(CSGetMem(sizeof(StreamDef)));
    if (!def) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return nullptr;
    }
    *def = StreamDef{};
    std::memcpy(def->name, name, n);
    def->nameLength = n;
    def->type = type;
    evStreamDefDefaults(def, isAuto);
    // 4. System names and automatic definitions are searched by displays that name no stream.
    if (def->name[0] == '$' || isAuto) def->disImplct = 1;
    // 5. The id.
    if (id != 0) {
        def->streamId = id;
        if (id > evStreamHighestId) evStreamHighestId = id;
    } else {
        def->streamId = ++evStreamHighestId;
    }
    // 6. The description of an automatic definition carries the local date.
    if (isAuto) {
        char date[10], time[8];
        evNowDateTime(nullptr, date, time);
        std::snprintf(def->descr, sizeof def->descr, "Auto-defined on %10.10s", date);
    }
    evConfigChanged = 1;
    // 8. In front of the first greater name, so that equal names follow the existing ones.
    StreamDef **link = &evStreamDefList;
    while (*link && compareNames((*link)->name, def->name) <= 0) link = &(*link)->next;
    def->next = *link;
    *link = def;
    return def;
}

void evStreamDefaultName(char *buffer, uint32_t type) {
    StreamDef *def = evDefaultStreamFind(type, 1);
    const char *name = def ? def->name : evSystemStreamName(type);
    std::snprintf(buffer, STREAM_NAME_MAX + 1, "%s", name);
}

int evStreamDefDelete(const char *name, uint32_t type) {
    if (!name || std::strlen(name) > STREAM_NAME_MAX) return 0;
    auto n = static_cast<uint16_t>(std::strlen(name));
    for (StreamDef **link = &evStreamDefList; *link; link = &(*link)->next) {
        StreamDef *def = *link;
        if (def->type != type || !sameName(def, name, n)) continue;
        *link = def->next;
        char line[STREAM_NAME_MAX + 32];
        std::snprintf(line, sizeof line, "DELETE EVSTREAM('%s')", def->name);
        CSFreeMem(def);
        evConfigChanged = 1;
        evPendingLogLine(line);
        return 1;
    }
    return 0;
}

void evStreamDefFreeAll() {
    while (evStreamDefList) {
        StreamDef *def = evStreamDefList;
        evStreamDefList = def->next;
        CSFreeMem(def);
    }
    evStreamHighestId = 0;
}
