// Fuzz target: arbitrary bytes as a stored record through an emitter of every FORMAT and READER,
// written to a file in memory. No finding may come out of the writers, and every JSON document and
// NDJSON line must be valid JSON (bytes from 0x80 pass as they are).
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emit/emit.h"
#include "stats/stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::string gOutput;
int gFile;  // the one file in memory; its address is the handle

int memCreate(const char *, CSOutFile **file) {
    gOutput.clear();
    *file = reinterpret_cast<CSOutFile *>(&gFile);
    return 0;
}
int memWrite(CSOutFile *, const void *data, size_t length) {
    gOutput.append(static_cast<const char *>(data), length);
    return 0;
}
int memFlush(CSOutFile *) {
    return 0;
}
int memClose(CSOutFile *) {
    return 0;
}
const CSOutFileOps kMemOps = {memCreate, memWrite, memFlush, memClose};

// A strict JSON reader: true when [p, end) holds one value and nothing but blanks after it.
struct Json {
    const char *p;
    const char *end;
    int depth = 0;
    void blanks() {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) p++;
    }
    bool literal(const char *word) {
        size_t n = std::strlen(word);
        if (static_cast<size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return false;
        p += n;
        return true;
    }
    bool string() {
        if (p >= end || *p != '"') return false;
        for (p++; p < end; p++) {
            auto c = static_cast<unsigned char>(*p);
            if (c == '"') {
                p++;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (++p >= end) return false;
            if (*p == 'u') {
                for (int i = 0; i < 4; i++)
                    if (++p >= end || !std::isxdigit(static_cast<unsigned char>(*p))) return false;
            } else if (!std::strchr("\"\\/bfnrt", *p)) {
                return false;
            }
        }
        return false;
    }
    bool number() {
        const char *start = p;
        if (p < end && *p == '-') p++;
        while (p < end && std::isdigit(static_cast<unsigned char>(*p))) p++;
        return p > start && std::isdigit(static_cast<unsigned char>(p[-1]));
    }
    bool value() {
        if (++depth > 64) return false;
        blanks();
        bool ok = false;
        if (p >= end) return false;
        if (*p == '{' || *p == '[') {
            const char close = *p == '{' ? '}' : ']';
            const bool object = *p == '{';
            p++;
            blanks();
            if (p < end && *p == close) {
                p++;
                ok = true;
            } else {
                for (;;) {
                    if (object) {
                        blanks();
                        if (!string()) break;
                        blanks();
                        if (p >= end || *p++ != ':') break;
                    }
                    if (!value()) break;
                    blanks();
                    if (p < end && *p == ',') {
                        p++;
                        continue;
                    }
                    ok = p < end && *p++ == close;
                    break;
                }
            }
        } else if (*p == '"') {
            ok = string();
        } else if (*p == 't' || *p == 'f' || *p == 'n') {
            ok = literal("true") || literal("false") || literal("null");
        } else {
            ok = number();
        }
        depth--;
        return ok;
    }
    bool whole() {
        if (!value()) return false;
        blanks();
        return p == end;
    }
};

void validate(const std::string &text, bool lines) {
    if (!lines) {
        if (!text.empty() && !Json{text.data(), text.data() + text.size()}.whole()) std::abort();
        return;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) std::abort();  // every NDJSON record ends its line
        if (!Json{text.data() + start, text.data() + nl}.whole()) std::abort();
        start = nl + 1;
    }
}

struct Setup {
    EmitterDef *emitter;
    StreamDef *def;
    Stream stream{};
    QmgrEntry qmgr{};
};

Setup *setupOnce() {
    static Setup *setup = nullptr;
    if (setup != nullptr) return setup;
    setup = new Setup;
    InitialiseCommandFields();
    statsInstall();
    if (!evStringsInit(0) || !evStringsCreateStream()) std::abort();
    for (const char *s : {"APP.Q", "QM1", "a\"b\\c\n\t\x01", "\xC3\xA9t\xC3\xA9"})
        (void)evStringIntern(1, 850, s, static_cast<uint32_t>(std::strlen(s)), 0, nullptr);
    setup->emitter = evCreateEmitterDef("FUZZ", -1);
    setup->def = evStreamDefine("FUZZ", -1, STREAM_TYPE_EVENTS, 0, 0);
    if (setup->emitter == nullptr || setup->def == nullptr) std::abort();
    std::snprintf(setup->def->evEmit, sizeof setup->def->evEmit, "FUZZ");
    std::snprintf(setup->emitter->file, sizeof setup->emitter->file, "fuzz.out");
    setup->emitter->onError = EV_ONERROR_DISCARD;
    setup->stream.definition = setup->def;
    std::snprintf(setup->qmgr.name, sizeof setup->qmgr.name, "QM1");
    setup->stream.qmgr = &setup->qmgr;
    CSSetOutFileOps(&kMemOps);
    return setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    Setup *s = setupOnce();
    std::vector<uint8_t> record(data, data + size);
    for (uint32_t format = EV_EMIT_JSON; format <= EV_EMIT_NDJSON; format++) {
        for (uint32_t reader : {EV_READER_PROGRAM, EV_READER_HUMAN}) {
            s->emitter->format = format;
            s->emitter->reader = reader;
            s->emitter->zeroValues = size & 1 ? EV_ZEROVALS_HIDE : EV_ZEROVALS_SHOW;
            EmitContext c{};
            c.stream = &s->stream;
            c.qmgr = &s->qmgr;
            std::vector<uint8_t> copy = record;
            (void)emitRecord(&c, copy.data(), static_cast<uint32_t>(copy.size()));
            emitCloseOutputs(nullptr, evSet(EV_SET_E));
            if (format == EV_EMIT_JSON || format == EV_EMIT_NDJSON)
                validate(gOutput, format == EV_EMIT_NDJSON);
            gOutput.clear();
        }
    }
    return 0;
}
