// Code-page conversion through the queue manager's MQXCNVC, and the per-CCSID punctuation sets that
// records written in a CCSID other than 850 use. The punctuation list is shared by every thread
// that writes records; its mutex is a leaf, so conversions and allocations happen outside it.
#include <cstdio>
#include <cstdlib>

#include "mqi/mqi.h"

namespace {

constexpr MQLONG kConvertOptions =
    MQDCC_DEFAULT_CONVERSION | MQDCC_SOURCE_ENC_NATIVE | MQDCC_TARGET_ENC_NATIVE;
static_assert(kConvertOptions == 545);

constexpr char kPunctuation850[6] = {'[', ']', '{', '}', '!', '\''};

CSLock gPunctuationLock("PUNCTUATION");
MQPunctuationEntry *gPunctuation = nullptr;  // most recently used first

void conversionDebug(int32_t from, int32_t to, int32_t reason) {
    if (!std::getenv("CS_CONVERSION_DEBUG")) return;
    char line[64];
    int n = std::snprintf(line, sizeof line, "MQXCNVC(%d -> %d) RC(%d)", from, to, reason);
    evDumpLine(line, n);
}

// Finds the entry and moves it to the front; the lock is held.
MQPunctuationEntry *findAndRaise(uint32_t ccsid) {
    MQPunctuationEntry **link = &gPunctuation;
    for (MQPunctuationEntry *e = gPunctuation; e; link = &e->next, e = e->next) {
        if (e->ccsid != ccsid) continue;
        *link = e->next;
        e->next = gPunctuation;
        gPunctuation = e;
        return e;
    }
    return nullptr;
}

bool convertOne(const MQIFunctionTable *table, int32_t hconn, char *c, uint32_t ccsid) {
    char out = *c;
    int32_t length = 1;
    if (MQConvertString(table, hconn, c, 1, &out, &length, 850, static_cast<int32_t>(ccsid)) != 0)
        return false;
    if (length == 1) *c = out;
    return true;
}

}  // namespace

int MQConvertString(const MQIFunctionTable *table, int32_t hconn, const char *source, int32_t sourceLength,
                    char *target, int32_t *targetLength, int32_t sourceCcsid, int32_t targetCcsid) {
    MQLONG compCode = MQCC_FAILED, reason = MQRC_FUNCTION_NOT_SUPPORTED, dataLength = 0;
    if (table && table->MQXCNVC && targetLength)
        table->MQXCNVC(hconn, kConvertOptions, sourceCcsid, sourceLength, const_cast<char *>(source),
                       targetCcsid, *targetLength, target, &dataLength, &compCode, &reason);
    if (compCode != MQCC_FAILED) {
        *targetLength = dataLength;
        return 0;
    }
    conversionDebug(sourceCcsid, targetCcsid, reason);
    if (reason == MQRC_SOURCE_CCSID_ERROR) return 4;
    if (reason == MQRC_TARGET_CCSID_ERROR) return 5;
    return 6;
}

const MQPunctuationEntry *MQCcsidPunctuation(const MQIFunctionTable *table, int32_t hconn, uint32_t ccsid) {
    {
        CSLockIt(&gPunctuationLock, CS_INFINITE);
        MQPunctuationEntry *found = findAndRaise(ccsid);
        CSUnlockIt(&gPunctuationLock);
        if (found) return found;
    }
    auto *entry = static_cast<MQPunctuationEntry *>(CSGetMem(sizeof(MQPunctuationEntry)));
    if (!entry) return nullptr;
    entry->next = nullptr;
    entry->ccsid = ccsid;
    for (int i = 0; i < 6; ++i) entry->chars[i] = kPunctuation850[i];
    if (convertOne(table, hconn, &entry->chars[EV_PUNCT_QUOTE], ccsid))
        for (int i = EV_PUNCT_LBRACKET; i <= EV_PUNCT_BANG; ++i)
            convertOne(table, hconn, &entry->chars[i], ccsid);

    CSLockIt(&gPunctuationLock, CS_INFINITE);
    MQPunctuationEntry *raced = findAndRaise(ccsid);  // another thread made it meanwhile
    if (!raced) {
        entry->next = gPunctuation;
        gPunctuation = entry;
    }
    CSUnlockIt(&gPunctuationLock);
    if (!raced) return entry;
    CSFreeMem(entry);
    return raced;
}

int MQPunctuationEntryCount() {
    CSLockIt(&gPunctuationLock, CS_INFINITE);
    int n = 0;
    for (MQPunctuationEntry *e = gPunctuation; e; e = e->next) ++n;
    CSUnlockIt(&gPunctuationLock);
    return n;
}
