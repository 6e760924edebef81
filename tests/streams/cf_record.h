// The common part of the tests' record builders: a stored record written item by item with the
// system's record writer over the stream pool. Each builder derives from Record<itself> and adds the
// items its tests need; every item returns the builder, so that items chain.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mqi/mqi.h"
#include "streams/streams.h"

namespace cfr {

inline uint32_t intern(const std::string &text) {
    return evStringIntern(1, 850, text.data(), static_cast<uint32_t>(text.size()), 0, nullptr);
}

template <class Self>
class Record {
public:
    Self &group(int32_t id) {
        evCFItem g{};
        g.type = MQCFT_GROUP;
        g.parmId = id;
        return write(g);
    }
    Self &end() {
        evCFItem g{};
        g.type = PCF_TYPE_GROUP_END;
        g.parmId = 1;
        return write(g);
    }
    uint8_t *data() { return buffer_.data(); }
    std::vector<uint8_t> bytes() const { return {buffer_.begin(), buffer_.begin() + w_.length}; }

protected:
    Record(size_t capacity, uint16_t command, uint16_t flags) : buffer_(capacity) {
        EXPECT_EQ(evCFWriterInit(&w_, buffer_.data(), static_cast<uint32_t>(buffer_.size()),
                                 &evStreamStringPool, 850),
                  1);
        evCFSetFlags(buffer_.data(), flags);
        evCFSetCommand(buffer_.data(), command);
    }
    Self &write(const evCFItem &item) {
        int32_t cc = 0, rc = 0;
        evCFAddParm(&w_, &item, &cc, &rc);
        EXPECT_EQ(rc, 0) << "item " << item.parmId;
        return static_cast<Self &>(*this);
    }

    std::vector<uint8_t> buffer_;
    evCFWriter w_{};
};

}  // namespace cfr
