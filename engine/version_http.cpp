// The version check's HTTP/1.1 GET: the URL split into host, port and path, the request, and the
// reader of the response. The response comes from a server that is not ours, so the reader
// distrusts it: the header block, the body, each chunk size and the whole receive are bounded.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/internal.h"

namespace {

constexpr char kWho[] = "Error retrieving version information";
constexpr char kScheme[] = "http://";
constexpr size_t kGrowStep = 4096;
constexpr size_t kHostMax = sizeof(EvHttpUrl{}.host) - 1;
constexpr size_t kPathMax = sizeof(EvHttpUrl{}.path) - 1;
constexpr size_t kChunkLineMax = 1024;
constexpr uint32_t kRecvTimeoutMs = 5000;
constexpr uint16_t kDefaultPort = 80;

enum class Got { Byte, End, Failed };

// Reads the source a window at a time; every refill checks the receive's time bound.
struct Reader {
    const EvHttpSource *source;
    char *errorText;
    int64_t start;
    uint8_t window[4096];
    size_t position;
    size_t end;
};

int invalid(char *errorText) {
    std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : Invalid HTTP response received", kWho);
    return 0;
}

Got refill(Reader *reader) {
    if (reader->position < reader->end) return Got::Byte;
    if (evTimeNow() - reader->start > EV_HTTP_RECEIVE_MAX) {
        invalid(reader->errorText);
        return Got::Failed;
    }
    size_t got = 0;
    int rc = reader->source->recv(reader->source->context, reader->window, sizeof reader->window, &got);
    if (rc != 0) {
        std::snprintf(reader->errorText, EV_HTTP_ERROR_MAX, "%s : recv() returned RC(%d)", kWho, rc);
        return Got::Failed;
    }
    if (got == 0) return Got::End;
    reader->position = 0;
    reader->end = got;
    return Got::Byte;
}

Got nextByte(Reader *reader, uint8_t *byte) {
    Got got = refill(reader);
    if (got == Got::Byte) *byte = reader->window[reader->position++];
    return got;
}

// Room for `more` bytes after the buffer's length, grown in 4096-byte steps.
bool reserve(EvHttpBuffer *buffer, size_t more, char *errorText) {
    size_t need = buffer->length + more;
    if (need <= buffer->capacity) return true;
    size_t capacity = (need + kGrowStep - 1) / kGrowStep * kGrowStep;
    auto *data = static_cast<uint8_t *>(CSGetMem(capacity));
    if (data == nullptr) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : Not enough storage available", kWho);
        return false;
    }
    if (buffer->length != 0) std::memcpy(data, buffer->data, buffer->length);
    if (buffer->data != nullptr) CSFreeMem(buffer->data);
    buffer->data = data;
    buffer->capacity = capacity;
    return true;
}

bool append(EvHttpBuffer *buffer, const uint8_t *bytes, size_t length, char *errorText) {
    if (!reserve(buffer, length, errorText)) return false;
    std::memcpy(buffer->data + buffer->length, bytes, length);
    buffer->length += length;
    return true;
}

bool startsWithNoCase(const char *text, size_t length, const char *prefix) {
    size_t n = std::strlen(prefix);
    if (length < n) return false;
    for (size_t i = 0; i < n; i++)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// The header block up to and with its empty line. A line ends in LF, optionally after a CR.
int readHeader(Reader *reader, EvHttpBuffer *buffer) {
    size_t lineLength = 0;
    bool firstLine = true;
    for (;;) {
        uint8_t byte = 0;
        Got got = nextByte(reader, &byte);
        if (got == Got::Failed) return 0;
        if (got == Got::End || buffer->length >= EV_HTTP_HEADER_MAX) return invalid(reader->errorText);
        if (!append(buffer, &byte, 1, reader->errorText)) return 0;
        if (buffer->length == 4 && std::memcmp(buffer->data, "HTTP", 4) != 0)
            return invalid(reader->errorText);
        if (byte != '\n') {
            if (byte != '\r') lineLength++;
            continue;
        }
        if (buffer->length < 4) return invalid(reader->errorText);
        if (lineLength == 0 && !firstLine) break;
        firstLine = false;
        lineLength = 0;
    }
    buffer->headerLength = buffer->length;
    return 1;
}

struct Framing {
    bool chunked;
    bool lengthGiven;
    size_t length;
};

// Content-Length and Transfer-Encoding of the header block; 0 for a length that is not a number
// within the body's bound.
int readFraming(const EvHttpBuffer *buffer, Framing *framing, char *errorText) {
    const auto *text = reinterpret_cast<const char *>(buffer->data);
    size_t at = 0;
    while (at < buffer->headerLength) {
        const char *line = text + at;
        const auto *newline = static_cast<const char *>(std::memchr(line, '\n', buffer->headerLength - at));
        size_t length = newline ? static_cast<size_t>(newline - line) : buffer->headerLength - at;
        at += length + 1;
        if (startsWithNoCase(line, length, "Content-Length:")) {
            size_t i = std::strlen("Content-Length:");
            while (i < length && line[i] == ' ') i++;
            size_t value = 0, digits = 0;
            for (; i < length && std::isdigit(static_cast<unsigned char>(line[i])); i++, digits++) {
                value = value * 10 + static_cast<size_t>(line[i] - '0');
                if (value > EV_HTTP_BODY_MAX) return invalid(errorText);
            }
            while (i < length && (line[i] == ' ' || line[i] == '\r')) i++;
            if (digits == 0 || i != length) return invalid(errorText);
            framing->lengthGiven = true;
            framing->length = value;
        } else if (startsWithNoCase(line, length, "Transfer-Encoding:")) {
            for (size_t i = std::strlen("Transfer-Encoding:"); i + 7 <= length; i++)
                if (startsWithNoCase(line + i, length - i, "chunked")) framing->chunked = true;
        }
    }
    return 1;
}

// Exactly count body bytes (count 0 with toEnd: up to the end of the stream); the body's bound holds.
int readBody(Reader *reader, EvHttpBuffer *buffer, size_t count, bool toEnd) {
    while (toEnd || count > 0) {
        Got got = refill(reader);
        if (got == Got::Failed) return 0;
        if (got == Got::End) return toEnd ? 1 : invalid(reader->errorText);
        size_t take = reader->end - reader->position;
        if (!toEnd && take > count) take = count;
        if (buffer->length - buffer->headerLength + take > EV_HTTP_BODY_MAX)
            return invalid(reader->errorText);
        if (!append(buffer, reader->window + reader->position, take, reader->errorText)) return 0;
        reader->position += take;
        if (!toEnd) count -= take;
    }
    return 1;
}

// One line of the chunked framing, without its CR LF, bounded.
int readChunkLine(Reader *reader, char *line, size_t *length) {
    *length = 0;
    for (;;) {
        uint8_t byte = 0;
        Got got = nextByte(reader, &byte);
        if (got == Got::Failed) return 0;
        if (got == Got::End) return invalid(reader->errorText);
        if (byte == '\n') break;
        if (*length >= kChunkLineMax) return invalid(reader->errorText);
        line[(*length)++] = static_cast<char>(byte);
    }
    if (*length > 0 && line[*length - 1] == '\r') (*length)--;
    return 1;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Chunks up to the last (size 0); its trailer is not read, since the connection closes after it.
int readChunked(Reader *reader, EvHttpBuffer *buffer) {
    char line[kChunkLineMax];
    for (;;) {
        size_t length = 0;
        if (!readChunkLine(reader, line, &length)) return 0;
        size_t size = 0, digits = 0;
        for (; digits < length && hexValue(line[digits]) >= 0; digits++) {
            size = size * 16 + static_cast<size_t>(hexValue(line[digits]));
            if (size > EV_HTTP_BODY_MAX) return invalid(reader->errorText);
        }
        size_t rest = digits;
        while (rest < length && (line[rest] == ' ' || line[rest] == '\t')) rest++;
        if (digits == 0 || (rest < length && line[rest] != ';')) return invalid(reader->errorText);
        if (size == 0) return 1;
        if (!readBody(reader, buffer, size, false)) return 0;
        if (!readChunkLine(reader, line, &length)) return 0;
        if (length != 0) return invalid(reader->errorText);
    }
}

int socketRecv(void *context, uint8_t *buffer, size_t length, size_t *got) {
    return CSSocketRecv(*static_cast<CSSocket *>(context), buffer, length, got);
}

int unrecognised(const char *url, char *errorText) {
    std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : Urecognised URL format '%.300s'", kWho, url);
    return 0;
}

}  // namespace

int evHttpSplitUrl(const char *url, EvHttpUrl *parts, char *errorText) {
    const size_t schemeLength = sizeof kScheme - 1;
    if (std::strncmp(url, kScheme, schemeLength) != 0) return unrecognised(url, errorText);
    const char *host = url + schemeLength;
    size_t hostLength = std::strcspn(host, ":/");
    if (hostLength == 0 || hostLength > kHostMax) return unrecognised(url, errorText);
    std::memcpy(parts->host, host, hostLength);
    parts->host[hostLength] = 0;
    const char *rest = host + hostLength;
    uint32_t port = 0;
    if (*rest == ':') {
        rest++;
        size_t digits = 0;
        for (; std::isdigit(static_cast<unsigned char>(*rest)); rest++, digits++) {
            port = port * 10 + static_cast<uint32_t>(*rest - '0');
            if (port > 65535) return unrecognised(url, errorText);
        }
        if (digits == 0) return unrecognised(url, errorText);
    }
    if (*rest != 0 && *rest != '/') return unrecognised(url, errorText);
    parts->port = port == 0 ? kDefaultPort : static_cast<uint16_t>(port);
    const char *path = *rest == '/' ? rest + 1 : rest;
    if (std::strlen(path) > kPathMax) return unrecognised(url, errorText);
    std::snprintf(parts->path, sizeof parts->path, "%s", path);
    return 1;
}

namespace {

// Socket steps 4 to 7 once the address is known.
int exchange(CSSocket socket, uint32_t address, const EvHttpUrl *parts, EvHttpBuffer *buffer,
             char *errorText) {
    int rc = CSSocketSetBlocking(socket);
    if (rc != 0) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : ioctl(FIONBIO) returned %d", kWho, rc);
        return 0;
    }
    rc = CSSocketSetNoDelay(socket);
    if (rc != 0) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : setsockopt(TCP_NODELAY) returned %d", kWho, rc);
        return 0;
    }
    rc = CSSocketConnect(socket, address, parts->port);
    if (rc != 0) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : Can not connect to server RC(%d)", kWho, rc);
        return 0;
    }
    char request[kHostMax + kPathMax + 512];
    size_t length = evHttpRequest(request, sizeof request, parts);
    rc = CSSocketSend(socket, request, length);
    if (rc != 0) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : send() returned RC(%d)", kWho, rc);
        return 0;
    }
    return evHttpReceive(socket, buffer, errorText);
}

}  // namespace

void evHttpFree(EvHttpBuffer *buffer) {
    if (buffer->data != nullptr) CSFreeMem(buffer->data);
    *buffer = EvHttpBuffer{};
}

int evHttpRead(const EvHttpSource *source, EvHttpBuffer *buffer, char *errorText) {
    evHttpFree(buffer);
    errorText[0] = 0;
    Reader reader{source, errorText, evTimeNow(), {}, 0, 0};
    if (!readHeader(&reader, buffer)) return 0;
    Framing framing{};
    if (!readFraming(buffer, &framing, errorText)) return 0;
    if (framing.chunked) return readChunked(&reader, buffer);
    if (framing.lengthGiven) return readBody(&reader, buffer, framing.length, false);
    return readBody(&reader, buffer, 0, true);
}

int evHttpReceive(CSSocket socket, EvHttpBuffer *buffer, char *errorText) {
    int rc = CSSocketSetRecvTimeout(socket, kRecvTimeoutMs);
    if (rc != 0) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : setsockopt() returned RC(%d)", kWho, rc);
        return 0;
    }
    EvHttpSource source{socketRecv, &socket};
    return evHttpRead(&source, buffer, errorText);
}

size_t evHttpRequest(char *out, size_t size, const EvHttpUrl *url) {
    char host[sizeof url->host + 8];
    if (url->port == kDefaultPort)
        std::snprintf(host, sizeof host, "%s", url->host);
    else
        std::snprintf(host, sizeof host, "%s:%d", url->host, url->port);
    int length = std::snprintf(out, size,
                               "GET /%s HTTP/1.1\n"
                               "Host: %s\n"
                               "Accept: text/html, */*\n"
                               "Accept-Language: en-gb\n"
                               "Accept-Encoding: identity\n"
                               "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR "
                               "1.1.4322; .NET CLR 2.0.50727)\n"
                               "Connection: Keep-Alive\n"
                               "\n",
                               url->path, host);
    if (length < 0) return 0;
    return static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

int evHttpGet(const char *url, EvHttpBuffer *buffer, char *errorText) {
    errorText[0] = 0;
    EvHttpUrl parts{};
    if (!evHttpSplitUrl(url, &parts, errorText)) return 0;
    uint32_t address = 0;
    if (CSResolveHost(parts.host, &address) != 0) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : Can not resolve host '%s'", kWho, parts.host);
        return 0;
    }
    CSSocket socket = CS_NO_SOCKET;
    int rc = CSSocketOpen(&socket);
    if (rc != 0) {
        std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : socket() call returned %d", kWho, rc);
        return 0;
    }
    int ok = exchange(socket, address, &parts, buffer, errorText);
    CSSocketClose(socket);
    return ok;
}
