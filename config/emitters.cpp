// Emitter definitions: the list every stream's EVEMIT names an emitter in, kept in byte order of
// the names, and the template a new emitter starts from. The load and DEFINE EVEMIT make them;
// the emitters themselves write with them.
#include <cstring>
#include <mutex>

#include "config/internal.h"

EmitterDef *evEmitterList = nullptr;

namespace {

EmitterDef emitterTemplate{};
std::once_flag templateOnce;

size_t nameLength(const char *name, int32_t length) {
    size_t n = length < 0 ? std::strlen(name) : static_cast<size_t>(length);
    return n > EV_EMIT_NAME_MAX ? EV_EMIT_NAME_MAX : n;
}

// Byte order; a name that is an exact prefix of another sorts first.
int compareName(const EmitterDef *emitter, const char *name, size_t length) {
    size_t shorter = emitter->nameLength < length ? emitter->nameLength : length;
    int c = std::memcmp(emitter->name, name, shorter);
    if (c != 0) return c;
    return emitter->nameLength < length ? -1 : emitter->nameLength > length ? 1 : 0;
}

}  // namespace

const EmitterDef *evEmitterTemplate() {
    std::call_once(templateOnce, [] {
        emitterTemplate.format = EV_EMIT_JSON;
        emitterTemplate.reader = EV_READER_PROGRAM;
        emitterTemplate.msgPersistence = EV_PERSIST_ASMSG;
        emitterTemplate.maxSize = 102400;
        emitterTemplate.zeroValues = EV_ZEROVALS_SHOW;
        emitterTemplate.put = EV_PUT_NORMAL;
        emitterTemplate.onError = EV_ONERROR_SUSPEND;
    });
    return &emitterTemplate;
}

EmitterDef *evFindEmitterDef(const char *name, int32_t length) {
    const size_t n = nameLength(name, length);
    for (EmitterDef *e = evEmitterList; e; e = e->next) {
        int c = compareName(e, name, n);
        if (c == 0) return e;
        if (c > 0) break;  // sorted: it would have come before
    }
    return nullptr;
}

EmitterDef *evCreateEmitterDef(const char *name, int32_t length) {
    const size_t n = nameLength(name, length);
    EmitterDef **link = &evEmitterList;
    for (; *link; link = &(*link)->next) {
        int c = compareName(*link, name, n);
        if (c == 0) return *link;
        if (c > 0) break;
    }
    auto *emitter = static_cast<EmitterDef *>(CSGetMem(sizeof(EmitterDef)));
    if (!emitter) return nullptr;
    std::memcpy(emitter, evEmitterTemplate(), sizeof *emitter);
    std::memcpy(emitter->name, name, n);
    emitter->name[n] = '\0';
    emitter->nameLength = static_cast<uint32_t>(n);
    emitter->queues[0].handle = emitter->queues[1].handle = EV_EMIT_NOT_OPEN;
    emitter->next = *link;
    *link = emitter;
    evConfigChanged.store(1);
    return emitter;
}
