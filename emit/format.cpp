// The text formats of the emitters: JSON and NDJSON, MQSC-style text and CSV, written into the one
// holding buffer. Every write is checked against the buffer's end; a record that does not fit sets
// the context's overflow and the end of the record deals with it.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "emit/internal.h"

const MQPunctuationEntry *emitPunctuation = nullptr;
const uint8_t *emitTranslation = nullptr;
int32_t emitTextCcsid = 0;
int32_t emitOutputCcsid = 0;
int (*emitConvertText)(const char *text, int32_t length, char *out, int32_t *outLength, int32_t fromCcsid,
                       int32_t toCcsid) = nullptr;
const evParmDef *(*emitAttributeLookup)(int32_t objectType, int32_t id) = nullptr;

namespace {

char *gHolding = nullptr;

constexpr char kHex[] = "0123456789ABCDEF";

EmitterDef *emitterOf(const EmitContext *c) {
    return c->emitter;
}

// ---- Values shared by the formats ----

// The keyword (or a command's description) that names an integer of the row, or null.
const char *namedValue(const evParmDef *row, int32_t value) {
    if (row == nullptr || row->valueNames == nullptr) return nullptr;
    if (row->valueNames == evCommandNameMarker) {
        const evConstEntry *entry = evConstByValue(evCommandNameTable, value);
        return entry != nullptr && entry->description != nullptr ? entry->description : nullptr;
    }
    const evValueName *name = evValueNameByValue(row->valueNames, value);
    return name != nullptr ? name->keyword : nullptr;
}

void putHex(EmitContext *c, const void *data, uint32_t length) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (uint32_t i = 0; i < length && !c->overflow; i++) {
        char pair[2] = {kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
        emitPut(c, pair, 2);
    }
}

int32_t listInt(const EmitValue *v, uint32_t i) {
    return mqiGetI32(static_cast<const uint8_t *>(v->ptr), i * 4);
}
EvStringView listText(const EmitValue *v, uint32_t i) {
    return evPoolValue(&evStreamStringPool, mqiGetU32(static_cast<const uint8_t *>(v->ptr), i * 4));
}
EvStringView pooledText(const EmitValue *v) {
    return evPoolLookup(&evStreamStringPool, static_cast<uint32_t>(v->i64));
}
EvStringView textOf(const EmitValue *v) {
    return EvStringView{static_cast<const char *>(v->ptr), v->length, v->ccsid};
}

// ASCII kept, every other byte U+FFFD: a text whose code page cannot be read.
EvStringView asciiOnly(EvStringView s, std::string &buffer) {
    buffer.clear();
    for (uint32_t i = 0; i < s.length; i++) {
        if (static_cast<unsigned char>(s.text[i]) < 0x80)
            buffer += s.text[i];
        else
            buffer += "\xEF\xBF\xBD";
    }
    return EvStringView{buffer.data(), static_cast<uint32_t>(buffer.size()), 1208};
}

}  // namespace

int32_t emitTextTarget(const EmitContext *c) {
    if (emitIsJson(c)) return 1208;
    if (c->emitter->queue[0] == 0 && emitOutputCcsid == 1208) return 1208;
    return emitTextCcsid;
}

EvStringView emitShownText(const EmitContext *c, EvStringView s, std::string &buffer) {
    const int32_t target = emitTextTarget(c);
    // Without a CCSID, the records' one; before that is known, UTF-8 for a UTF-8 target.
    const int32_t from = s.ccsid != 0         ? static_cast<int32_t>(s.ccsid)
                         : emitTextCcsid != 0 ? emitTextCcsid
                                              : target;
    if (s.length == 0) return s;
    // Text already in the target's single-byte code page is valid as it is, byte for byte.
    if (from == target && from != 1208 && from != 1200 && from != 1201 && from != 1202) return s;
    if (from == 1208 && target == 1208) {
        if (MQRepairUtf8(s.text, s.length, nullptr, nullptr) == s.length) return s;
        buffer.assign(size_t{s.length} * 3, '\0');
        buffer.resize(MQRepairUtf8(s.text, s.length, buffer.data(), nullptr));
        return EvStringView{buffer.data(), static_cast<uint32_t>(buffer.size()), 1208};
    }
    if (from != 0 && target != 0 && emitConvertText != nullptr) {
        buffer.assign(size_t{s.length} * 4 + 16, '\0');
        auto size = static_cast<int32_t>(buffer.size());
        if (emitConvertText(s.text, static_cast<int32_t>(s.length), buffer.data(), &size, from, target) ==
            0) {
            buffer.resize(static_cast<size_t>(size));
            return EvStringView{buffer.data(), static_cast<uint32_t>(size), static_cast<uint32_t>(target)};
        }
    }
    // Not to be converted: a UTF-8 file still gets only what UTF-8 can hold.
    return target == 1208 ? asciiOnly(s, buffer) : s;
}

namespace {

// A text of the record in the CCSID the format writes its texts in (emitTextTarget).
EvStringView held(const EmitContext *c, EvStringView s, std::string &buffer) {
    return emitShownText(c, s, buffer);
}

// "yyyy-mm-dd<sep>hh:mm:ss", or false when the time has no four-digit year.
bool timeText(int64_t time, char separator, char *out, size_t size) {
    EmitUtc u;
    if (!emitUtcFields(time, &u)) return false;
    std::snprintf(out, size, "%4.4" PRId64 "-%2.2d-%2.2d%c%2.2d:%2.2d:%2.2d", u.year, u.month, u.day,
                  separator, u.hour, u.minute, u.second);
    return true;
}

// ---- JSON and NDJSON ----

// JSON's brackets and braces: the file is UTF-8 whatever CCSID the records' texts are in.
char jsonPunct(int which) {
    static const char kPlain[] = {'[', ']', '{', '}', '!', '\''};
    return kPlain[which];
}

bool ndjson(const EmitContext *c) {
    return emitterOf(c)->format == EV_EMIT_NDJSON;
}
bool humanJson(const EmitContext *c) {
    return emitterOf(c)->format == EV_EMIT_JSON && emitterOf(c)->reader == EV_READER_HUMAN;
}

// A JSON string: '"' and '\' escaped, and every control character, so that the text stays one
// valid string on one line. Bytes from 0x80 pass as they are.
void jsonString(EmitContext *c, const char *text, uint32_t length) {
    emitPutChar(c, '"');
    uint32_t run = 0;
    for (uint32_t i = 0; i < length; i++) {
        auto ch = static_cast<unsigned char>(text[i]);
        if (ch >= 0x20 && ch != '"' && ch != '\\') continue;
        emitPut(c, text + run, i - run);
        run = i + 1;
        switch (ch) {
            case '"':
                emitPut(c, "\\\"", 2);
                break;
            case '\\':
                emitPut(c, "\\\\", 2);
                break;
            case '\b':
                emitPut(c, "\\b", 2);
                break;
            case '\f':
                emitPut(c, "\\f", 2);
                break;
            case '\n':
                emitPut(c, "\\n", 2);
                break;
            case '\r':
                emitPut(c, "\\r", 2);
                break;
            case '\t':
                emitPut(c, "\\t", 2);
                break;
            default:
                emitPutF(c, "\\u%4.4X", ch);
                break;
        }
    }
    emitPut(c, text + run, length - run);
    emitPutChar(c, '"');
}

// A text of the record as a JSON string. A JSON file is UTF-8 (RFC 8259), and carries no CCSID: the
// text is converted from its own CCSID, else (0) the one the records' texts are in, and whatever is
// not valid there becomes U+FFFD. A text that cannot be converted keeps its ASCII characters, and
// every other byte becomes U+FFFD.
void jsonText(EmitContext *c, EvStringView s) {
    std::string buffer;
    const EvStringView shown = held(c, s, buffer);
    jsonString(c, shown.text, shown.length);
}

void jsonName(EmitContext *c, const char *name, uint32_t length, int groupOpening) {
    EmitGroup *g = emitterOf(c)->group;
    if (g != nullptr) {
        if (g->hasMember)
            emitPutChar(c, ',');
        else
            g->hasMember = 1;
    }
    if (groupOpening && emitterOf(c)->format == EV_EMIT_JSON) emitEnsureNewline(c);
    if (length == 0) return;
    if (humanJson(c)) {
        emitEnsureNewline(c);
        emitIndent(c);
    }
    jsonString(c, name, length);
    emitPutChar(c, ':');
    if (humanJson(c)) emitPutChar(c, ' ');
}

void jsonValue(EmitContext *c, const evParmDef *row, const EmitValue *v) {
    char text[64];
    switch (v->kind) {
        case EMIT_KIND_INT: {
            const char *name = namedValue(row, v->i32);
            if (v->i32 == EMIT_INT_UNSET)
                emitPut(c, "\"\"", 2);
            else if (v->i32 == EMIT_INT_ALL)
                emitPut(c, "\"*\"", 3);
            else if (name != nullptr)
                jsonString(c, name, static_cast<uint32_t>(std::strlen(name)));
            else
                emitPutF(c, "%d", v->i32);
            break;
        }
        case EMIT_KIND_TEXT:
            jsonText(c, textOf(v));
            break;
        case EMIT_KIND_INT_LIST:
            emitPutChar(c, jsonPunct(EV_PUNCT_LBRACKET));
            for (uint32_t i = 0; i < v->count; i++) emitPutF(c, i ? ",%d" : "%d", listInt(v, i));
            emitPutChar(c, jsonPunct(EV_PUNCT_RBRACKET));
            emitPutChar(c, ' ');
            break;
        case EMIT_KIND_BYTES:
            emitPutChar(c, '"');
            putHex(c, v->ptr, v->length);
            emitPutChar(c, '"');
            break;
        case EMIT_KIND_INT64:
            if (v->i64 == EMIT_INT64_UNSET)
                emitPut(c, "\"\"", 2);
            else if (v->i64 == EMIT_INT64_ALL)
                emitPut(c, "\"*\"", 3);
            else
                emitPutF(c, "%" PRId64, v->i64);
            break;
        case EMIT_KIND_ALL:
            emitPut(c, "\"*\"", 3);
            break;
        case EMIT_KIND_TIME:
            if (v->i64 == EMIT_INT64_UNSET) {
                emitPut(c, "\"\"", 2);
            } else if (v->i64 == EMIT_INT64_ALL) {
                emitPut(c, "\"*\"", 3);
            } else if (timeText(v->i64, 'T', text, sizeof text)) {
                emitPutF(c, "\"%sZ\"", text);
            } else {
                emitPutText(c, "\"Unknown\"");
            }
            break;
        case EMIT_KIND_STRING_ID: {
            jsonText(c, pooledText(v));
            break;
        }
        case EMIT_KIND_STRING_LIST:
            emitPutChar(c, jsonPunct(EV_PUNCT_LBRACKET));
            for (uint32_t i = 0; i < v->count; i++) {
                if (i) emitPutChar(c, ',');
                jsonText(c, listText(v, i));
            }
            emitPutChar(c, jsonPunct(EV_PUNCT_RBRACKET));
            break;
        default:
            emitPut(c, "\"\"", 2);
            break;
    }
}

void pushGroup(EmitContext *c, EmitGroup *group, const char *name, uint32_t length) {
    group->enclosing = emitterOf(c)->group;
    group->hasMember = 0;
    group->name = name;
    group->nameLength = length;
    group->firstColumnWritten = 0;
    emitterOf(c)->group = group;
}

// The innermost group, taken off the stack (null when none).
EmitGroup *popGroup(EmitContext *c) {
    EmitGroup *g = emitterOf(c)->group;
    if (g != nullptr) emitterOf(c)->group = g->enclosing;
    return g;
}

void outdent(EmitContext *c) {
    EmitterDef *e = emitterOf(c);
    e->indent = e->indent >= 2 ? e->indent - 2 : 0;
}

void jsonGroup(EmitContext *c, EmitGroup *group, int32_t, const char *name, uint32_t length) {
    jsonName(c, name, length, 1);
    group->opened = 1;
    if (humanJson(c)) {
        emitEnsureNewline(c);
        emitIndent(c);
        emitPutChar(c, jsonPunct(EV_PUNCT_LBRACE));
        emitterOf(c)->indent += 2;
    } else {
        emitPutChar(c, jsonPunct(EV_PUNCT_LBRACE));
    }
    pushGroup(c, group, name, length);
}

void jsonEndGroup(EmitContext *c) {
    EmitGroup *g = popGroup(c);
    if (g == nullptr || !g->opened) return;
    if (humanJson(c)) {
        emitEnsureNewline(c);
        outdent(c);
        emitIndent(c);
    }
    emitPutChar(c, jsonPunct(EV_PUNCT_RBRACE));
}

void jsonFraming(EmitContext *c, int event) {
    if (ndjson(c)) return;
    EmitterDef *e = emitterOf(c);
    switch (event) {
        case 1:
            emitIndent(c);
            emitPutText(c, "\"evrecords\":");
            emitPutChar(c, jsonPunct(EV_PUNCT_LBRACKET));
            if (humanJson(c)) {
                e->indent += 2;
                emitEnsureNewline(c);
            }
            break;
        case 2:
            if (humanJson(c)) {
                emitEnsureNewline(c);
                outdent(c);
                emitIndent(c);
            }
            emitPutChar(c, jsonPunct(EV_PUNCT_RBRACKET));
            break;
        case 3:
            if (e->documentRecords > 0) {
                emitPutChar(c, ',');
                if (e->group != nullptr) e->group->hasMember = 0;
            }
            emitEnsureNewline(c);
            break;
        default:
            break;
    }
}

// ---- MQSC-style text ----

bool humanText(const EmitContext *c) {
    return emitterOf(c)->reader == EV_READER_HUMAN;
}

void mqscName(EmitContext *c, const char *name, uint32_t length, int) {
    if (length == 0) return;
    if (humanText(c)) {
        emitEnsureNewline(c);
        c->fieldStart = c->writePosition;
        emitIndent(c);
    } else {
        c->fieldStart = c->writePosition;
        if (!emitAtLineStart(c)) emitPutChar(c, ' ');
    }
    emitPut(c, name, length);
}

// HUMAN: a line of 121 characters or more breaks where the field began, when a blank is there.
void mqscWrap(EmitContext *c) {
    if (!humanText(c) || c->overflow) return;
    char *buffer = emitHolding();
    uint32_t lineStart = c->writePosition;
    while (lineStart > 0 && buffer[lineStart - 1] != '\n') lineStart--;
    uint64_t line = c->writePosition - lineStart;
    if (lineStart == 0) line += emitterOf(c)->column;
    if (line >= 121 && c->fieldStart < c->writePosition && buffer[c->fieldStart] == ' ')
        buffer[c->fieldStart] = '\n';
}

// A text between apostrophes as MQSC quotes it, each apostrophe doubled. MQSC has no way to write a
// control character, and a raw line feed would break the record's line: unlike a plain copy, every
// control character is written as \xHH and a backslash as \\, so that one record stays one line and
// reads back to the same text.
void mqscText(EmitContext *c, const char *text, uint32_t length) {
    emitPutChar(c, '\'');
    uint32_t run = 0;
    for (uint32_t i = 0; i < length; i++) {
        const auto ch = static_cast<unsigned char>(text[i]);
        if (ch >= 0x20 && ch != 0x7F && ch != '\'' && ch != '\\') continue;
        emitPut(c, text + run, i - run);
        run = i + 1;
        if (ch == '\'')
            emitPut(c, "''", 2);
        else if (ch == '\\')
            emitPut(c, "\\\\", 2);
        else
            emitPutF(c, "\\x%2.2X", ch);
    }
    emitPut(c, text + run, length - run);
    emitPutChar(c, '\'');
}

void mqscQuoted(EmitContext *c, const char *text, uint32_t length) {
    emitPutChar(c, '(');
    mqscText(c, text, length);
    emitPutChar(c, ')');
}

void mqscValue(EmitContext *c, const evParmDef *row, const EmitValue *v) {
    char text[64];
    switch (v->kind) {
        case EMIT_KIND_INT: {
            const char *name = namedValue(row, v->i32);
            if (v->i32 == EMIT_INT_UNSET)
                emitPutText(c, "('')");
            else if (v->i32 == EMIT_INT_ALL)
                emitPutText(c, "(*)");
            else if (name != nullptr)
                emitPutF(c, "(%s)", name);
            else
                emitPutF(c, "(%d)", v->i32);
            break;
        }
        case EMIT_KIND_TEXT: {
            std::string buffer;
            const EvStringView s = held(c, textOf(v), buffer);
            mqscQuoted(c, s.text, s.length);
            break;
        }
        case EMIT_KIND_INT_LIST:
            emitPutChar(c, '(');
            for (uint32_t i = 0; i < v->count; i++) emitPutF(c, i ? ",%d" : "%d", listInt(v, i));
            emitPutChar(c, ')');
            break;
        case EMIT_KIND_BYTES:
            emitPutChar(c, '(');
            putHex(c, v->ptr, v->length);
            emitPutChar(c, ')');
            break;
        case EMIT_KIND_INT64:
            if (v->i64 == EMIT_INT64_UNSET)
                emitPutText(c, "('')");
            else if (v->i64 == EMIT_INT64_ALL)
                emitPutText(c, "(*)");
            else
                emitPutF(c, "(%" PRId64 ")", v->i64);
            break;
        case EMIT_KIND_ALL:
            emitPutText(c, "(*)");
            break;
        case EMIT_KIND_TIME:
            if (v->i64 == EMIT_INT64_UNSET)
                emitPutText(c, "('')");
            else if (v->i64 == EMIT_INT64_ALL)
                emitPutText(c, "(*)");
            else if (timeText(v->i64, ' ', text, sizeof text))
                emitPutF(c, "('%s (UTC)')", text);
            else
                emitPutText(c, "('Unknown')");
            break;
        case EMIT_KIND_STRING_ID: {
            std::string buffer;
            const EvStringView s = held(c, pooledText(v), buffer);
            mqscQuoted(c, s.text, s.length);
            break;
        }
        case EMIT_KIND_STRING_LIST:
            emitPutChar(c, '(');
            for (uint32_t i = 0; i < v->count; i++) {
                if (i) emitPutChar(c, ',');
                std::string buffer;
                const EvStringView s = held(c, listText(v, i), buffer);
                mqscText(c, s.text, s.length);
            }
            emitPutChar(c, ')');
            break;
        default:
            emitPutText(c, "('')");
            break;
    }
    mqscWrap(c);
}

bool mqscShown(int32_t id) {
    return id == 8001 || id == EV_GROUP_BEFORE || id == EV_GROUP_AFTER;
}

void mqscGroup(EmitContext *c, EmitGroup *group, int32_t id, const char *name, uint32_t length) {
    group->opened = 0;
    if (mqscShown(id)) {
        if (humanText(c)) emitEnsureNewline(c);
        mqscName(c, name, length, 1);
        if (humanText(c)) emitEnsureNewline(c);
        emitPutChar(c, emitPunct(EV_PUNCT_LBRACE));
        if (humanText(c)) {
            emitEnsureNewline(c);
            emitterOf(c)->indent += 2;
        }
        group->opened = 1;
    }
    pushGroup(c, group, name, length);
}

void mqscEndGroup(EmitContext *c) {
    EmitGroup *g = popGroup(c);
    if (g == nullptr || !g->opened) return;
    if (humanText(c)) {
        emitEnsureNewline(c);
        outdent(c);
        emitIndent(c);
    }
    emitPutChar(c, emitPunct(EV_PUNCT_RBRACE));
    if (humanText(c)) emitEnsureNewline(c);
}

void noFraming(EmitContext *c, int event) {
    if (event == 3) emitEnsureNewline(c);
}

// ---- CSV ----

void csvSeparator(EmitContext *c) {
    if (c->csvColumns > 0 || !emitAtLineStart(c)) {
        emitPutChar(c, ',');
        if (humanText(c)) emitPutChar(c, ' ');
    }
    c->csvColumns++;
}

void csvText(EmitContext *c, const char *text, size_t length) {
    char small[256];
    size_t need = emitCsvQuote(small, sizeof small, length, text);
    if (need <= sizeof small) {
        emitPut(c, small, need);
        return;
    }
    // Longer fields are quoted straight into the buffer, a byte at a time.
    bool quote = false;
    for (size_t i = 0; i < length; i++)
        if (text[i] == '"' || text[i] == ',' || text[i] == '\r' || text[i] == '\n') quote = true;
    if (quote) emitPutChar(c, '"');
    for (size_t i = 0; i < length && !c->overflow; i++) {
        if (text[i] == '"') emitPutChar(c, '"');
        emitPutChar(c, text[i]);
    }
    if (quote) emitPutChar(c, '"');
}

void csvName(EmitContext *c, const char *name, uint32_t length, int) {
    if (c->csvColumnar) {
        if (!c->csvHeader) return;
        csvSeparator(c);
        emitPut(c, name, length);
        return;
    }
    EmitGroup *g = emitterOf(c)->group;
    if (g != nullptr && g->nameLength > 0 && (!humanText(c) || !g->firstColumnWritten)) {
        emitPutChar(c, '"');
        emitPut(c, g->name, g->nameLength);
        emitPutChar(c, '"');
        g->firstColumnWritten = 1;
    } else {
        emitPut(c, "\"\"", 2);
    }
    c->csvColumns++;
    csvSeparator(c);
    emitPut(c, name, length);
}

void csvValue(EmitContext *c, const evParmDef *row, const EmitValue *v) {
    if (c->csvColumnar && c->csvHeader) return;
    csvSeparator(c);
    char text[64];
    switch (v->kind) {
        case EMIT_KIND_INT: {
            const char *name = namedValue(row, v->i32);
            if (v->i32 == EMIT_INT_UNSET) break;
            if (v->i32 == EMIT_INT_ALL)
                emitPutChar(c, '*');
            else if (name != nullptr)
                emitPutText(c, name);
            else
                emitPutF(c, "%d", v->i32);
            break;
        }
        case EMIT_KIND_TEXT: {
            std::string buffer;
            const EvStringView s = held(c, textOf(v), buffer);
            csvText(c, s.text, s.length);
            break;
        }
        case EMIT_KIND_INT_LIST:
            if (v->count == 0) break;
            emitPutChar(c, '"');
            for (uint32_t i = 0; i < v->count; i++) emitPutF(c, i ? ",%d" : "%d", listInt(v, i));
            emitPutChar(c, '"');
            break;
        case EMIT_KIND_BYTES:
            putHex(c, v->ptr, v->length);
            break;
        case EMIT_KIND_INT64:
            if (v->i64 == EMIT_INT64_UNSET) break;
            if (v->i64 == EMIT_INT64_ALL)
                emitPutChar(c, '*');
            else
                emitPutF(c, "%" PRId64, v->i64);
            break;
        case EMIT_KIND_ALL:
            emitPutChar(c, '*');
            break;
        case EMIT_KIND_TIME:
            if (v->i64 == EMIT_INT64_UNSET) break;
            if (v->i64 == EMIT_INT64_ALL)
                emitPutChar(c, '*');
            else if (timeText(v->i64, ' ', text, sizeof text))
                emitPutText(c, text);
            else
                emitPutText(c, "Unknown");
            break;
        case EMIT_KIND_STRING_ID: {
            std::string buffer;
            const EvStringView s = held(c, pooledText(v), buffer);
            csvText(c, s.text, s.length);
            break;
        }
        case EMIT_KIND_STRING_LIST:
            // One field: the texts in single quotes, the whole quoted as one, inner '"' doubled.
            if (v->count == 0) break;
            emitPutChar(c, '"');
            for (uint32_t i = 0; i < v->count; i++) {
                if (i) emitPutChar(c, ',');
                std::string buffer;
                const EvStringView s = held(c, listText(v, i), buffer);
                emitPutChar(c, '\'');
                for (uint32_t k = 0; k < s.length && !c->overflow; k++) {
                    if (s.text[k] == '"') emitPutChar(c, '"');
                    emitPutChar(c, s.text[k]);
                }
                emitPutChar(c, '\'');
            }
            emitPutChar(c, '"');
            break;
        default:
            break;
    }
    if (!c->csvColumnar) emitEnsureNewline(c);
}

void csvGroup(EmitContext *c, EmitGroup *group, int32_t, const char *name, uint32_t length) {
    group->opened = 0;
    pushGroup(c, group, name, length);
}

void csvEndGroup(EmitContext *c) {
    popGroup(c);
}

}  // namespace

const EmitWriters emitJsonWriters = {jsonName, jsonGroup, jsonValue, jsonEndGroup, jsonFraming};
const EmitWriters emitMqscWriters = {mqscName, mqscGroup, mqscValue, mqscEndGroup, noFraming};
const EmitWriters emitCsvWriters = {csvName, csvGroup, csvValue, csvEndGroup, noFraming};

// ---- The holding buffer ----

char *emitHolding() {
    if (gHolding == nullptr) gHolding = static_cast<char *>(CSGetMem(EMIT_HOLDING_SIZE));
    return gHolding;
}

void emitPut(EmitContext *c, const char *text, size_t length) {
    if (c->overflow || length == 0) return;
    if (length > EMIT_HOLDING_SIZE - c->writePosition) {
        c->overflow = 1;
        return;
    }
    std::memcpy(gHolding + c->writePosition, text, length);
    c->writePosition += static_cast<uint32_t>(length);
}

void emitPutChar(EmitContext *c, char ch) {
    emitPut(c, &ch, 1);
}

void emitPutText(EmitContext *c, const char *text) {
    emitPut(c, text, std::strlen(text));
}

void emitPutF(EmitContext *c, const char *format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
        emitPut(c, text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

bool emitAtLineStart(const EmitContext *c) {
    if (c->writePosition == 0) return c->emitter->column == 0;
    return gHolding[c->writePosition - 1] == '\n';
}

void emitEnsureNewline(EmitContext *c) {
    if (!emitAtLineStart(c)) emitPutChar(c, '\n');
    c->csvColumns = 0;
}

void emitIndent(EmitContext *c) {
    static const char kBlanks[] = "                                ";
    int32_t n = c->emitter->indent;
    while (n > 0 && !c->overflow) {
        int32_t k = n < 32 ? n : 32;
        emitPut(c, kBlanks, static_cast<size_t>(k));
        n -= k;
    }
}

char emitPunct(int which) {
    static const char kPlain[] = {'[', ']', '{', '}', '!', '\''};
    return emitPunctuation != nullptr ? emitPunctuation->chars[which] : kPlain[which];
}

bool emitIsJson(const EmitContext *c) {
    return c->emitter->format == EV_EMIT_JSON || c->emitter->format == EV_EMIT_NDJSON;
}

bool emitHuman(const EmitContext *c) {
    return c->emitter->reader == EV_READER_HUMAN;
}

// Days since 1970-01-01 to the civil date (proleptic Gregorian), as mqi's time items are written.
int emitUtcFields(int64_t time, EmitUtc *u) {
    if (time < -62167219200LL || time > 253402300799LL) return 0;  // 0000-01-01 .. 9999-12-31 23:59:59
    int64_t days = time / 86400;
    int64_t rest = time % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    u->day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    u->month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    u->year = yoe + era * 400 + (u->month <= 2 ? 1 : 0);
    u->hour = static_cast<int>(rest / 3600);
    u->minute = static_cast<int>(rest / 60 % 60);
    u->second = static_cast<int>(rest % 60);
    return 1;
}

size_t emitCsvQuote(char *out, size_t size, size_t length, const char *text) {
    bool quote = false;
    size_t quotes = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '"') quotes++;
        if (text[i] == '"' || text[i] == ',' || text[i] == '\r' || text[i] == '\n') quote = true;
    }
    const size_t need = length + quotes + (quote ? 2 : 0);
    if (need > size) return need;
    size_t n = 0;
    if (quote) out[n++] = '"';
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '"') out[n++] = '"';
        out[n++] = text[i];
    }
    if (quote) out[n++] = '"';
    return n;
}

int emitIsZeroValue(const evParmDef *row, const EmitValue *v) {
    switch (v->kind) {
        case EMIT_KIND_INT:
            return v->i32 == EMIT_INT_UNSET ||
                   (v->i32 == 0 && (row == nullptr || row->valueNames == nullptr));
        case EMIT_KIND_TEXT:
        case EMIT_KIND_BYTES:
            return v->length == 0;
        case EMIT_KIND_INT_LIST:
        case EMIT_KIND_STRING_LIST:
            return v->count == 0;
        case EMIT_KIND_INT64:
        case EMIT_KIND_TIME:
            return v->i64 == 0 || v->i64 == EMIT_INT64_UNSET;
        default:
            return 0;
    }
}

void emitWriteField(EmitContext *c, const evParmDef *row, const char *name, uint32_t nameLength,
                    const EmitValue *value) {
    if (!c->csvHeader && c->emitter->zeroValues == EV_ZEROVALS_HIDE && emitIsZeroValue(row, value)) {
        // A columnar line keeps the column, empty, under its header.
        if (c->csvColumnar) csvSeparator(c);
        return;
    }
    c->writers->name(c, name, nameLength, 0);
    c->writers->value(c, row, value);
}

void emitRowName(const EmitContext *c, const evParmDef *row, const char **name, uint32_t *length) {
    if (emitIsJson(c) && row->fieldNameLength > 0) {
        *name = row->fieldName;
        *length = row->fieldNameLength;
    } else {
        *name = row->keyword != nullptr ? row->keyword : "";
        *length = static_cast<uint32_t>(std::strlen(*name));
    }
}

void emitOpenGroup(EmitContext *c, EmitGroup *group, int32_t id, const char *name, uint32_t length) {
    *group = EmitGroup{};
    c->writers->group(c, group, id, name, length);
}

uint32_t evGroupName(const EmitContext *c, int32_t groupId, char *name, size_t size) {
    struct Row {
        int32_t id;
        const char *text;
        const char *json;
    };
    static const Row kRows[] = {
        {8001, "CMDCTX", "zuntCommandContext"}, {8002, "CMDDATA", "zuntCommandData"},
        {39200, "BEFORE", "zuntBefore"},        {39201, "AFTER", "zuntAfter"},
        {39202, "COMMON", "zuntEventCommon"},   {39203, "DATA", "zuntData"},
    };
    const bool json = c != nullptr && c->emitter != nullptr && emitIsJson(c);
    for (const Row &row : kRows) {
        if (row.id == groupId)
            return static_cast<uint32_t>(std::snprintf(name, size, "%s", json ? row.json : row.text));
    }
    const evParmDef *entry = emitAttributeLookup != nullptr ? emitAttributeLookup(0, groupId) : nullptr;
    if (entry != nullptr) {
        if (json && entry->fieldNameLength > 0)
            return static_cast<uint32_t>(std::snprintf(
                name, size, "%.*s", static_cast<int>(entry->fieldNameLength), entry->fieldName));
        if (entry->keyword != nullptr)
            return static_cast<uint32_t>(std::snprintf(name, size, "%s", entry->keyword));
    }
    return static_cast<uint32_t>(std::snprintf(name, size, "GRP%d", groupId));
}

void emitWriteUniqueId(EmitContext *c) {
    if (!emitIsJson(c)) return;
    c->writers->name(c, "zuntUniqueId", 12, 0);
    emitPutChar(c, '"');
    putHex(c, c->uniqueId, sizeof c->uniqueId);
    const uint32_t command = c->emitter->command;
    const bool aggregated = c->record != nullptr && c->recordLength >= EVCF_HEADER_LENGTH &&
                            (evCFGetFlags(c->record) & EVCF_FLAG_AGGREGATED) != 0;
    if (command == 165 || command == 166 || command == 168 || (command == 167 && aggregated))
        emitPutF(c, "-%u", ++c->subRecord);
    emitPutChar(c, '"');
}

int emitBeginRecord(EmitContext *c) {
    EmitterDef *e = c->emitter;
    const int opened = e->queue[0] != 0 ? emitOpenQueue(c) : emitOpenFile(c);
    if (!opened || c->replaced) return 0;
    if (c->csvColumnar && !e->csvHeaderWritten && c->writeFields != nullptr) {
        emitEnsureNewline(c);
        c->csvHeader = 1;
        c->writeFields(c);
        c->csvHeader = 0;
        e->csvHeaderWritten = 1;
        emitEnsureNewline(c);
    }
    if (c->wrapping && !e->documentOpen) {
        emitOpenGroup(c, &e->document, 0, "", 0);
        c->writers->framing(c, 1);
        e->documentOpen = 1;
    }
    c->recordStart = c->writePosition;
    c->recordGroup = e->group;
    c->recordIndent = e->indent;
    c->recordDocumentRecords = e->documentRecords;
    c->recordDocumentMember = e->document.hasMember;
    if (c->wrapping) {
        c->writers->framing(c, 3);
        e->documentRecords++;
    }
    if (c->csvColumnar) emitEnsureNewline(c);
    c->recordBodyStart = c->writePosition;
    return 1;
}

void emitEndRecordText(EmitContext *c) {
    switch (c->emitter->format) {
        case EV_EMIT_NDJSON:
            emitPutChar(c, '\n');
            break;
        case EV_EMIT_MQSC:
            emitEnsureNewline(c);
            emitPutChar(c, '\n');
            break;
        case EV_EMIT_CSV:
            emitEnsureNewline(c);
            if (c->eventRecord) emitPutChar(c, '\n');
            break;
        default:
            break;
    }
}
