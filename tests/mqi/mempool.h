// A string pool in memory for the compressed-record tests and fuzz targets: ids from 1 upward, one
// entry per distinct text and CCSID, empty or over-long texts refused as the real pool refuses them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mqi/mqi.h"

struct MemStringPool {
    struct Entry {
        uint32_t ccsid;
        std::string text;
    };
    std::vector<Entry> entries;  // id = index + 1
    EvStringPool pool{this, &MemStringPool::intern, &MemStringPool::lookup};

    static uint32_t intern(void *self, uint32_t ccsid, const char *text, uint32_t length) {
        auto *p = static_cast<MemStringPool *>(self);
        if (length == 0 || length > 65535) return 0;
        std::string t(text, length);
        for (size_t i = 0; i < p->entries.size(); i++)
            if (p->entries[i].ccsid == ccsid && p->entries[i].text == t) return static_cast<uint32_t>(i + 1);
        p->entries.push_back(Entry{ccsid, t});
        return static_cast<uint32_t>(p->entries.size());
    }
    static int lookup(void *self, uint32_t id, EvStringView *out) {
        auto *p = static_cast<MemStringPool *>(self);
        if (id == 0 || id > p->entries.size()) return 0;
        const Entry &e = p->entries[id - 1];
        *out = EvStringView{e.text.data(), static_cast<uint32_t>(e.text.size()), e.ccsid};
        return 1;
    }
    uint32_t idOf(const std::string &text) const {
        for (size_t i = 0; i < entries.size(); i++)
            if (entries[i].text == text) return static_cast<uint32_t>(i + 1);
        return 0;
    }
};
