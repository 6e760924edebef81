// Each family's operations: its table run through the common walk, plus the few rules a table
// cannot say (the "<Not Present>" names of older queue managers in queue accounting, the counted
// connection of a first MQI accounting record).
#include <cstring>

#include "stats/internal.h"

// ---- Queue statistics ----

void evStatQParseKeys(evCFCursor *cursor, StatsParseContext *context, StatQRecord *keys) {
    statsParseKeys(&evStatQFamily, cursor, context, keys);
}
int evStatQParse(evCFCursor *cursor, const StatQRecord *keys, StatQRecord *record) {
    return statsParseObject(&evStatQFamily, cursor, keys, record);
}
void evStatQDeriveTotals(StatQRecord *record) {
    statsDeriveTotals(&evStatQFamily, record);
}
int evStatQHasValue(const StatQRecord *record, int32_t id) {
    return statsHasValue(&evStatQFamily, record, id);
}
void evStatQSum(StatQRecord *target, const StatQRecord *added, int intvl, uint32_t keyMask) {
    statsSum(&evStatQFamily, target, added, intvl, keyMask);
}
void evStatQCollateAdd(StatQRecord *entry, const StatQRecord *record) {
    statsCollateAdd(&evStatQFamily, entry, record);
}

// ---- Channel statistics ----

void evStatChlParseKeys(evCFCursor *cursor, StatsParseContext *context, StatChlRecord *keys) {
    statsParseKeys(&evStatChlFamily, cursor, context, keys);
}
int evStatChlParse(evCFCursor *cursor, const StatChlRecord *keys, StatChlRecord *record) {
    return statsParseObject(&evStatChlFamily, cursor, keys, record);
}
void evStatChlDeriveTotals(StatChlRecord *record) {
    statsDeriveTotals(&evStatChlFamily, record);
}
int evStatChlHasValue(const StatChlRecord *record, int32_t id) {
    return statsHasValue(&evStatChlFamily, record, id);
}
void evStatChlSum(StatChlRecord *target, const StatChlRecord *added, int intvl, uint32_t keyMask) {
    statsSum(&evStatChlFamily, target, added, intvl, keyMask);
}
void evStatChlCollateAdd(StatChlRecord *entry, const StatChlRecord *record) {
    statsCollateAdd(&evStatChlFamily, entry, record);
}

// ---- MQI statistics ----

int evStatMQIParse(int common, evCFCursor *cursor, StatsParseContext *context, StatMQIRecord *record) {
    int found = statsParseMqi(&evStatMQIFamily, common, cursor, context, record);
    return common || found != STATS_MQI_NOTHING;
}
void evStatMQIDeriveTotals(StatMQIRecord *record) {
    statsDeriveTotals(&evStatMQIFamily, record);
}
int evStatMQIHasValue(const StatMQIRecord *record, int32_t id) {
    return statsHasValue(&evStatMQIFamily, record, id);
}
void evStatMQISum(StatMQIRecord *target, const StatMQIRecord *added, int intvl) {
    statsSum(&evStatMQIFamily, target, added, intvl, 0);
}
void evStatMQICollateAdd(StatMQIRecord *entry, const StatMQIRecord *record) {
    statsCollateAdd(&evStatMQIFamily, entry, record);
}

// ---- MQI accounting ----

// The first record of a connection counts the connection when the queue manager did not.
void statsCountConnection(AcctMQIRecord *record) {
    if (record->sequenceNumber == 0 && record->connections == 0) record->connections = 1;
}

int evAcctMQIParse(int common, evCFCursor *cursor, StatsParseContext *context, AcctMQIRecord *record) {
    int found = statsParseMqi(&evAcctMQIFamily, common, cursor, context, record);
    if (!common && found == STATS_MQI_NOTHING) return 0;
    statsCountConnection(record);
    return 1;
}
void evAcctMQIDeriveTotals(AcctMQIRecord *record) {
    statsDeriveTotals(&evAcctMQIFamily, record);
}
int evAcctMQIHasValue(const AcctMQIRecord *record, int32_t id) {
    return statsHasValue(&evAcctMQIFamily, record, id);
}
void evAcctMQISum(AcctMQIRecord *target, const AcctMQIRecord *added, int intvl) {
    statsSum(&evAcctMQIFamily, target, added, intvl, 0);
}
void evAcctMQICollateAdd(AcctMQIRecord *entry, const AcctMQIRecord *record) {
    statsCollateAdd(&evAcctMQIFamily, entry, record);
}

// ---- Queue accounting ----

// Queue managers report the channel name from command level 920 and the connection name from 930.
constexpr uint32_t kLevelWithChannel = 920;
constexpr uint32_t kLevelWithConnection = 930;

namespace {
void notPresentBelowLevel(AcctQRecord *record, uint32_t level) {
    if (level < kLevelWithConnection) record->connectionName = &evStringNotPresentEntry;
    if (level < kLevelWithChannel) record->channelName = &evStringNotPresentEntry;
}
}  // namespace

void evAcctQParseKeys(evCFCursor *cursor, StatsParseContext *context, AcctQRecord *keys) {
    statsParseKeys(&evAcctQFamily, cursor, context, keys);
    notPresentBelowLevel(keys, keys->commandLevel);
}
int evAcctQParse(evCFCursor *cursor, const AcctQRecord *keys, AcctQRecord *record) {
    return statsParseObject(&evAcctQFamily, cursor, keys, record);
}
void evAcctQDeriveTotals(AcctQRecord *record) {
    statsDeriveTotals(&evAcctQFamily, record);
}
int evAcctQHasValue(const AcctQRecord *record, int32_t id) {
    return statsHasValue(&evAcctQFamily, record, id);
}
void evAcctQSum(AcctQRecord *target, const AcctQRecord *added, int intvl, uint32_t keyMask) {
    statsSum(&evAcctQFamily, target, added, intvl, keyMask);
}
void evAcctQCollateAdd(AcctQRecord *entry, const AcctQRecord *record) {
    statsCollateAdd(&evAcctQFamily, entry, record);
}

// ---- Every family ----

void statsCapLevel(const StatsFamily *family, void *record, uint32_t cap) {
    const StatsField *field = evStatsFieldById(family, 31);
    if (field == nullptr || cap == 0) return;
    uint32_t level = 0;
    std::memcpy(&level, static_cast<uint8_t *>(record) + field->offset, sizeof level);
    if (level == STATS_UNSET_32 || level == STATS_MIXED_32 || level <= cap) return;
    std::memcpy(static_cast<uint8_t *>(record) + field->offset, &cap, sizeof cap);
    if (family == &evAcctQFamily) notPresentBelowLevel(static_cast<AcctQRecord *>(record), cap);
}
