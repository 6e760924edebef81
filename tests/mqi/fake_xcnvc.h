// A stand-in for MQXCNVC that behaves by CCSID, for the conversion tests:
//   to 37: the six punctuation characters as in EBCDIC 37, others unchanged;
//   to 500: like 37, but '!' fails (2119); to 1208: unchanged with a warning (2120);
//   from 7777: 2111; to 9999: 2115; to 6666: 2195; anything else: copied.
#pragma once

#include <atomic>
#include <cstring>

#include "mqi/mqi.h"

namespace fakexcnvc {

inline std::atomic<int> calls{0};
inline std::atomic<int> lastOptions{0};

inline char ebcdic37(char c) {
    switch (c) {
        case '[':
            return static_cast<char>(0xBA);
        case ']':
            return static_cast<char>(0xBB);
        case '{':
            return static_cast<char>(0xC0);
        case '}':
            return static_cast<char>(0xD0);
        case '!':
            return static_cast<char>(0x5A);
        case '\'':
            return static_cast<char>(0x7D);
        default:
            return c;
    }
}

inline void MQXCNVC(MQHCONN, MQLONG options, MQLONG from, MQLONG length, PMQCHAR source, MQLONG to,
                    MQLONG room, PMQCHAR target, PMQLONG dataLength, PMQLONG compCode, PMQLONG reason) {
    calls.fetch_add(1);
    lastOptions.store(options);
    *compCode = MQCC_FAILED;
    *dataLength = 0;
    if (from == 7777) {
        *reason = MQRC_SOURCE_CCSID_ERROR;
        return;
    }
    if (to == 9999) {
        *reason = MQRC_TARGET_CCSID_ERROR;
        return;
    }
    if (to == 6666 || (to == 500 && length == 1 && source[0] == '!')) {
        *reason = 2195;
        return;
    }
    MQLONG n = length < room ? length : room;
    for (MQLONG i = 0; i < n; ++i) target[i] = (to == 37 || to == 500) ? ebcdic37(source[i]) : source[i];
    *dataLength = n;
    *compCode = to == 1208 ? MQCC_WARNING : MQCC_OK;
    *reason = to == 1208 ? 2120 : MQRC_NONE;
}

inline MQIFunctionTable table() {
    MQIFunctionTable t{};
    t.MQXCNVC = MQXCNVC;
    return t;
}

}  // namespace fakexcnvc
