// Generic names for the collation of statistics: a name cut to its first or last N '.'-separated
// segments and completed with '*' (A.B.C gives A.* or *.C), and the comparison of the last segments
// of two pooled names.
#include <string>

#include "mqi/mqi.h"

namespace {

constexpr uint32_t kLongName = 100;  // names this long or longer are used whole

}  // namespace

void *evAddGenericNameParm(PcfCursor *cursor, int32_t parmId, const EvStringView *name, int32_t segments,
                           int32_t *compCode, int32_t *reason) {
    std::string text(name->text, name->length);
    if (segments != 0 && name->length < kLongName) {
        uint32_t want = static_cast<uint32_t>(segments > 0 ? segments : -segments), seen = 0;
        if (segments > 0) {
            for (size_t i = 0; i < text.size(); ++i)
                if (text[i] == '.' && ++seen == want) {
                    text.resize(i + 1);
                    text.push_back('*');
                    break;
                }
        } else {
            for (size_t i = text.size(); i-- > 0;)
                if (text[i] == '.' && ++seen == want) {
                    text = std::string(1, '*').append(text, i, std::string::npos);
                    break;
                }
        }
    }
    return MQPCFSetStringParm(cursor, MQCFT_STRING, parmId, text.data(), static_cast<int32_t>(text.size()),
                              static_cast<int32_t>(name->ccsid), 0, compCode, reason);
}

int evCompareNameSegments(const EvStringView *a, const EvStringView *b, int32_t segments) {
    if (a->ccsid != b->ccsid) return 1;
    if (segments >= 0)  // whole names, or the first N segments
        for (uint32_t i = 0, dots = 0;; ++i) {
            bool endA = i >= a->length, endB = i >= b->length;
            if (endA || endB) return endA && endB ? 0 : 1;
            if (a->text[i] != b->text[i]) return 1;
            if (a->text[i] == '.' && segments > 0 && ++dots == static_cast<uint32_t>(segments)) return 0;
        }
    uint32_t want = static_cast<uint32_t>(-static_cast<int64_t>(segments)), dots = 0;
    uint32_t i = a->length, j = b->length;
    while (i > 0 && j > 0 && a->text[i - 1] == b->text[j - 1]) {
        if (a->text[i - 1] == '.' && ++dots == want) return 0;
        --i;
        --j;
    }
    return i == 0 && j == 0 ? 0 : 1;
}
