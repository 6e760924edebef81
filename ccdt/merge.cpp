// The merge of one channel table into another: the channels of a source table that match a generic
// name are read one at a time and written into the target at the output version, new, replaced or
// left alone. Both tables are opened per record, so the walk resumes after the name last read.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ccdt/internal.h"

namespace {

constexpr uint32_t kMergeBuffer = 30000;
constexpr uint16_t kFindBuffer = 2136;
constexpr int kInfo = 32, kError = 128;

void say(const ccdtSink &sink, int kind, const char *text) {
    if (sink.write) sink.write(sink.context, kind, text);
}

// A channel name up to its first blank or NUL, at most 20 characters.
size_t shortName(const char *name) {
    size_t n = 0;
    while (n < 20 && name[n] != ' ' && name[n] != '\0') n++;
    return n;
}

}  // namespace

int ccdtReadChannels(const ccdtSink &sink, const char *source, const char *generic, ChannelRecord *record,
                     uint16_t *length, char *text, size_t textSize) {
    char name[CCDT_PATH_MAX + 1];
    std::snprintf(name, sizeof name, "%s", source);
    ccdtHandle *handle = nullptr;
    int rc = ccdtOpen(1, name, &handle, text, textSize);
    if (rc != CCDT_RC_OK) {
        say(sink, kError, text);
        return 0;
    }
    uint16_t room = *length;
    int found = 0;
    while (true) {
        ccdtFreeChannel(record, 0);
        std::memcpy(handle->position, record->mqcd.ChannelName, sizeof handle->position);
        *length = room;
        rc = ccdtReadNextChannel(handle, length, record, text, textSize);
        if (rc == CCDT_E_NO_MORE || rc == CCDT_E_NO_CHANNEL) {
            if (text && textSize) text[0] = '\0';
            break;
        }
        if (rc != CCDT_RC_OK) {
            say(sink, kError, text);
            break;
        }
        if (evWildMatch(record->mqcd.ChannelName, shortName(record->mqcd.ChannelName), generic,
                        std::strlen(generic))) {
            found = 1;
            break;
        }
    }
    (void)ccdtClose(&handle, nullptr, 0);
    return found;
}

int ccdtWriteChannel(const ccdtSink &sink, const char *table, ChannelRecord *record, int replace,
                     int32_t *written, int32_t *replaced, int32_t *notReplaced, char *text, size_t textSize) {
    char name[CCDT_PATH_MAX + 1];
    std::snprintf(name, sizeof name, "%s", table);
    ccdtHandle *handle = nullptr;
    int rc = ccdtOpen(2, name, &handle, text, textSize);
    if (rc != CCDT_RC_OK) return rc;
    auto *probe = static_cast<ChannelRecord *>(std::calloc(kFindBuffer, 1));
    if (!probe) {
        (void)ccdtClose(&handle, nullptr, 0);
        ccdtMessage(text, textSize, "Storage not available");
        return CCDT_E_STORAGE;
    }
    uint16_t probeLength = kFindBuffer;
    rc = ccdtFindChannel(handle, record->mqcd.ChannelName, &probeLength, probe, text, textSize);
    if (rc == CCDT_RC_OK) ccdtFreeChannel(probe, 0);
    std::free(probe);
    bool exists = rc == CCDT_RC_OK || rc == CCDT_E_TOO_LARGE;
    if (exists && !replace) {
        (*notReplaced)++;
        if (text && textSize) text[0] = '\0';
        (void)ccdtClose(&handle, nullptr, 0);
        return CCDT_RC_OK;
    }
    if (!exists && rc != CCDT_E_NO_MORE && rc != CCDT_E_NO_CHANNEL) {
        (void)ccdtClose(&handle, nullptr, 0);
        return rc;
    }
    rc = ccdtPutChannel(handle, record, text, textSize);
    if (rc == CCDT_RC_OK) {
        (*written)++;
        if (exists) (*replaced)++;
        char line[80];
        std::snprintf(line, sizeof line, exists ? "Channel '%.*s' replaced." : "Channel '%.*s' written.",
                      static_cast<int>(shortName(record->mqcd.ChannelName)), record->mqcd.ChannelName);
        say(sink, kInfo, line);
        if (text && textSize) text[0] = '\0';
    }
    (void)ccdtClose(&handle, nullptr, 0);
    return rc;
}

void ccdtMigrate(const ccdtSink &sink, const char *table, const char *source, const char *generic,
                 int replace) {
    auto *record = static_cast<ChannelRecord *>(CSGetMem(kMergeBuffer));
    if (!record) {
        say(sink, kError, "Can not allocate channel storage.");
        return;
    }
    std::memset(record, 0, kMergeBuffer);
    int32_t found = 0, written = 0, replaced = 0, notReplaced = 0;
    char text[512] = "";
    uint16_t length = kMergeBuffer;
    bool more = ccdtReadChannels(sink, source, generic, record, &length, text, sizeof text) == 1;
    bool end = !more && text[0] == '\0';
    while (more) {
        found++;
        text[0] = '\0';
        if (ccdtWriteChannel(sink, table, record, replace, &written, &replaced, &notReplaced, text,
                             sizeof text) != CCDT_RC_OK ||
            text[0] != '\0') {
            if (text[0] == '\0') std::snprintf(text, sizeof text, "Channel write failed");
            say(sink, kError, text);
            break;
        }
        length = kMergeBuffer;
        more = ccdtReadChannels(sink, source, generic, record, &length, text, sizeof text) == 1;
        end = !more && text[0] == '\0';
    }
    if (end) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "CCDT Migration:  Found:%d  Written:%d  Replaced:%d  Not Replaced:%d", found, written,
                      replaced, notReplaced);
        say(sink, kInfo, line);
    }
    ccdtFreeChannel(record, 0);
    CSFreeMem(record);
}
