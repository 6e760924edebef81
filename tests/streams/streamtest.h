// Shared pieces of the stream storage tests: a clean slate of definitions, streams and string pool
// per test, console output caught for the messages the code prints, and compressed records built
// with the record writer.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "streams/streams.h"
#include "testing/testing.h"

namespace st {

// Catches what evOutput prints while it lives.
class OutputCapture {
public:
    OutputCapture() { ::testing::internal::CaptureStdout(); }
    ~OutputCapture() {
        if (!taken_) take();
    }
    std::string take() {
        std::fflush(stdout);
        taken_ = true;
        return ::testing::internal::GetCapturedStdout();
    }

private:
    bool taken_ = false;
};

// Every test starts with no definitions, no string pool, no override and a fixed clock.
class StreamTest : public ::testing::Test {
protected:
    StreamTest() : tz_("UTC0"), env_("ZUNT_STREAM", nullptr), clock_(1767225600) {}
    void SetUp() override {
        evStreamDefFreeAll();
        evStringsFree(1);
        evStreamSetHooks(nullptr);
        evConfigChanged = 0;
    }
    void TearDown() override {
        for (Stream *s : streams_) evStreamFree(s);
        evStringsFree(1);
        evStreamDefFreeAll();
        evStreamSetHooks(nullptr);
    }
    // A stream of a fresh definition, freed at the end of the test.
    Stream *makeStream(const char *name = "S", uint32_t type = STREAM_TYPE_EVENTS) {
        StreamDef *def = evStreamDefine(name, -1, type, 0, 0);
        Stream *s = evStreamCreate(nullptr, def);
        if (s) streams_.push_back(s);
        return s;
    }
    zt::ScopedTZ tz_;
    zt::ScopedEnv env_;
    zt::TestClock clock_;
    std::vector<Stream *> streams_;
};

// The entries of a blob, walked forward (or backward), with the walk's last result.
struct Walked {
    std::vector<BlobEntry> entries;
    int last = 0;
};
inline Walked walkBlob(const uint8_t *blob, uint32_t length, int backward = 0) {
    Walked w;
    BlobWalk walk;
    evBlobWalkInit(&walk, blob, length, backward);
    BlobEntry e;
    while ((w.last = evBlobWalkNext(&walk, &e)) > 0) w.entries.push_back(e);
    return w;
}

// A group-less record of exactly length bytes (at least 32): header, then one padding run.
inline std::vector<uint8_t> plainRecord(uint32_t length) {
    std::vector<uint8_t> r(length, EVCF_PADDING);
    std::fill(r.begin(), r.begin() + EVCF_HEADER_LENGTH, 0);
    if (length > EVCF_HEADER_LENGTH) evCFSetItemCount(r.data(), 1);
    return r;
}

}  // namespace st

namespace st {

// A compressed record built by hand: a header with times, prefix items of the given sizes, then
// top-level groups of the given sizes (each a group item holding one byte string). Sizes count
// every byte of the item: a prefix item at least 5, a group at least 10.
inline std::vector<uint8_t> groupedRecord(const std::vector<uint32_t> &prefixItems,
                                          const std::vector<uint32_t> &groups) {
    std::vector<uint8_t> r(EVCF_HEADER_LENGTH, 0);
    evCFSetCommand(r.data(), 164);
    evCFSetIntervalEnd(r.data(), 1767225000);
    evCFSetIntervalStart(r.data(), 1767224000);
    auto byteString = [&](uint16_t id, uint32_t length, uint8_t fill) {
        uint8_t head[5] = {9, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                           static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
        r.insert(r.end(), head, head + 5);
        r.insert(r.end(), length, fill);
    };
    uint16_t n = 0;
    for (uint32_t size : prefixItems) {
        byteString(static_cast<uint16_t>(100 + n), size - 5, 0xAA);
        n++;
    }
    for (size_t g = 0; g < groups.size(); g++) {
        uint8_t head[5] = {20, 0x41, 0x1F, 1, 0};  // group 8001 of one item
        r.insert(r.end(), head, head + 5);
        byteString(7, groups[g] - 10, static_cast<uint8_t>(g));
        n++;
    }
    evCFSetItemCount(r.data(), n);
    return r;
}

}  // namespace st
