// The configuration model: queue-manager numbers and names, event queues added once, the
// settings' defaults, emitters in name order, and what a dropped model keeps.
#include <cstring>
#include <string>

#include "config_testing.h"

namespace {

class ModelTest : public ct::ConfigTest {};

QmgrEntry *qmgr(const char *name, uint32_t number = 0) {
    char text[EV_CONFIG_TEXT] = "";
    QmgrEntry *entry = evQmgrFindOrAdd(name, number, text);
    EXPECT_NE(entry, nullptr) << text;
    return entry;
}

EventQueueDef queue(const char *name) {
    EventQueueDef q{};
    std::strcpy(q.name, name);
    return q;
}

TEST_F(ModelTest, StoredNumbersRaiseTheCounterAndANewQueueManagerTakesTheNext) {
    EXPECT_EQ(qmgr("QM3", 3)->number, 3u);
    EXPECT_EQ(qmgr("QM7", 7)->number, 7u);
    EXPECT_EQ(qmgr("QM5", 5)->number, 5u);  // a lower stored number leaves the counter at 7
    EXPECT_EQ(qmgr("NEW")->number, 8u);
    EXPECT_EQ(evQmgrHighestNumber, 8u);
    cfgFreeModel(0);
    EXPECT_EQ(qmgr("AFTERDROP")->number, 9u);  // the counter only grows
}

TEST_F(ModelTest, NamesDifferingInCaseAreTwoQueueManagers) {
    QmgrEntry *lower = qmgr("qm1");
    QmgrEntry *upper = qmgr("QM1");
    EXPECT_NE(lower, upper);
    EXPECT_EQ(qmgr("qm1"), lower);
    EXPECT_EQ(upper->nameLength, 3);
    EXPECT_EQ(evConfigChanged.load(), 1);
}

TEST_F(ModelTest, ANameIsInternedWhenAddedOrWhenFirstFoundWithAPool) {
    QmgrEntry *early = qmgr("EARLY");
    EXPECT_EQ(early->nameId, 0u);  // no string pool yet
    ASSERT_EQ(evStringsInit(100), 1);
    ASSERT_NE(evStringsCreateStream(), nullptr);
    EXPECT_EQ(qmgr("EARLY"), early);
    ASSERT_NE(early->nameId, 0u);
    const StringEntry *s = evStringLookup(early->nameId);
    EXPECT_EQ(std::string(s->text, s->length), "EARLY");
    EXPECT_EQ(s->ccsid, 850u);
    EXPECT_NE(qmgr("LATE")->nameId, 0u);
}

TEST_F(ModelTest, ANameIsCutToFortyEightCharacters) {
    const std::string name(60, 'Q');
    QmgrEntry *entry = qmgr(name.c_str());
    EXPECT_EQ(entry->nameLength, 48);
    EXPECT_EQ(std::string(entry->name), name.substr(0, 48));
    EXPECT_EQ(qmgr(name.substr(0, 48).c_str()), entry);
}

TEST_F(ModelTest, AnExistingEventQueueIsReturnedUnchangedWithoutALineOrTheFlag) {
    EventQueueDef first = queue("Q1");
    first.tempQ = EV_TEMPQ_STORE;
    int32_t reason = 0;
    char text[EV_CONFIG_TEXT];
    EventQueueDef *added = evEventQueueFindOrAdd(&first, &reason, text);
    ASSERT_NE(added, nullptr);
    ct::changeLines().clear();
    evConfigChanged.store(0);

    EventQueueDef again = queue("Q1");
    again.tempQ = EV_TEMPQ_DISCARD;
    std::strcpy(again.descr, "ignored");
    EXPECT_EQ(evEventQueueFindOrAdd(&again, &reason, text), added);
    EXPECT_EQ(added->tempQ, EV_TEMPQ_STORE);
    EXPECT_STREQ(added->descr, "");
    EXPECT_TRUE(ct::changeLines().empty());
    EXPECT_EQ(evConfigChanged.load(), 0);
}

TEST_F(ModelTest, ANewEventQueueIsClosedLoggedAndTheCommandQueueRemembered) {
    int32_t reason = 0;
    char text[EV_CONFIG_TEXT];
    EventQueueDef template_ = queue(EV_COMMAND_QUEUE_NAME);
    template_.inputHandle = 7;  // a template's handles are never taken
    EventQueueDef *command = evEventQueueFindOrAdd(&template_, &reason, text);
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->inputHandle, -1);
    EXPECT_EQ(command->forwardHandle, -1);
    EXPECT_EQ(command->backoutHandle, -1);
    EXPECT_EQ(command->ownCommandQueue, 1u);
    EXPECT_EQ(command->nameLength, std::strlen(EV_COMMAND_QUEUE_NAME));
    EXPECT_EQ(evCommandQueueDef, command);
    EXPECT_EQ(ct::changeLines().size(), 1u);
    EXPECT_EQ(evConfigChanged.load(), 1);

    EventQueueDef *other = evEventQueueAddDefault("SYSTEM.ADMIN.PERFM.EVENT");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->ownCommandQueue, 0u);
    EXPECT_EQ(other->suspended, 1u);
    EXPECT_EQ(other->forwardPersistence, EV_PERSIST_ASMSG);
    EXPECT_EQ(other->tempQ, EV_TEMPQ_DISCARD);
    EXPECT_EQ(evCommandQueueDef, command);
}

TEST_F(ModelTest, DroppingTheModelKeepsQueuesUnlessAllAndEmittersAndStreamsAlways) {
    QmgrEntry *entry = qmgr("QM1");
    StreamDef *def = evStreamDefine("S1", -1, STREAM_TYPE_EVENTS, 0, 0);
    ASSERT_NE(def, nullptr);
    entry->streams = evStreamCreate(entry, def);  // freed with the queue manager (ASan tells)
    ASSERT_NE(entry->streams, nullptr);
    ASSERT_NE(evCreateEmitterDef("E1", -1), nullptr);
    ASSERT_NE(evEventQueueAddDefault(EV_COMMAND_QUEUE_NAME), nullptr);

    cfgFreeModel(0);
    EXPECT_EQ(evQmgrTree, nullptr);
    EXPECT_NE(evEventQueueTree, nullptr);
    EXPECT_NE(evCommandQueueDef, nullptr);
    cfgFreeModel(1);
    EXPECT_EQ(evEventQueueTree, nullptr);
    EXPECT_EQ(evCommandQueueDef, nullptr);
    EXPECT_NE(evFindEmitterDef("E1", -1), nullptr);
    EXPECT_EQ(evStreamDefFind("S1", -1, 0, nullptr), def);
}

TEST_F(ModelTest, SettingsStartAtTheirDefaults) {
    EvSettingsValues v;
    evSettingsRead(&v);
    EXPECT_EQ(v.alertRetention, 1209600);
    EXPECT_STREQ(v.deadQueue, "");
    EXPECT_EQ(v.accountingSelf, EV_ACCTSELF_DISCARD);
    EXPECT_EQ(v.useDlq, EV_USEDLQ_IFAVAIL);
    EXPECT_EQ(v.displayCommands, EV_DISPCMDS_DISCARD);
    EXPECT_EQ(v.resetTime, 1767225600);
    EXPECT_EQ(v.defaultMaxRecords, 1000000);
    EXPECT_EQ(v.versionCheck, EV_VERCHECK_BUILD);
    EXPECT_EQ(v.authDuration, 10);
    EXPECT_EQ(v.defaultBackoutThreshold, 5);
    EXPECT_EQ(v.stormThreshold, 20);
    EXPECT_EQ(v.stormInterval, 60);
    EXPECT_EQ(evSettings.startTime.load(), 1767225600);
}

TEST_F(ModelTest, AFortyEightCharacterDeadQueueIsHeldWholeAndAsksForAReopen) {
    EvSettingsValues v;
    evSettingsRead(&v);
    const std::string dlq(48, 'D');
    std::memcpy(v.deadQueue, dlq.c_str(), 49);
    evSettings.deadQueueReopen.store(0);
    evSettingsWrite(&v);
    EvSettingsValues back;
    evSettingsRead(&back);
    EXPECT_EQ(std::string(back.deadQueue), dlq);
    EXPECT_EQ(evSettings.deadQueueReopen.load(), 1);
    EXPECT_EQ(back.accountingSelf, EV_ACCTSELF_DISCARD);  // the field after DEADQ is untouched
    EXPECT_EQ(back.useDlq, EV_USEDLQ_IFAVAIL);

    evSettings.deadQueueReopen.store(0);
    evSettingsWrite(&back);  // the same queue again asks for nothing
    EXPECT_EQ(evSettings.deadQueueReopen.load(), 0);
}

TEST_F(ModelTest, EmittersAreKeptInByteOrderWithAPrefixFirst) {
    for (const char *name : {"b", "AB", "A", "a", "ABC"}) ASSERT_NE(evCreateEmitterDef(name, -1), nullptr);
    std::string order;
    for (EmitterDef *e = evEmitterList; e; e = e->next) order += std::string(e->name) + " ";
    EXPECT_EQ(order, "A AB ABC a b ");
    EXPECT_EQ(evFindEmitterDef("AB", -1), evEmitterList->next);
    EXPECT_EQ(evFindEmitterDef("ABX", 2), evEmitterList->next);
    EXPECT_EQ(evFindEmitterDef("ABCD", -1), nullptr);
    EXPECT_EQ(evCreateEmitterDef("AB", 2), evEmitterList->next);  // an existing one comes back
}

TEST_F(ModelTest, ANewEmitterIsTheTemplateWithItsNameAndClosedQueues) {
    const std::string name(50, 'E');
    EmitterDef *e = evCreateEmitterDef(name.c_str(), -1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->nameLength, 48u);
    EXPECT_EQ(std::string(e->name), name.substr(0, 48));
    EXPECT_EQ(e->format, EV_EMIT_JSON);
    EXPECT_EQ(e->reader, EV_READER_PROGRAM);
    EXPECT_EQ(e->msgPersistence, static_cast<uint32_t>(EV_PERSIST_ASMSG));
    EXPECT_EQ(e->maxSize, 102400u);
    EXPECT_EQ(e->zeroValues, EV_ZEROVALS_SHOW);
    EXPECT_EQ(e->grouping, EV_GROUPING_ORIGINAL);
    EXPECT_EQ(e->queues[0].handle, EV_EMIT_NOT_OPEN);
    EXPECT_EQ(e->queues[1].handle, EV_EMIT_NOT_OPEN);
    EXPECT_EQ(evEmitterTemplate()->queues[0].handle, 0u);
    EXPECT_EQ(evConfigChanged.load(), 1);
}

TEST_F(ModelTest, TheInstalledHooksWalkQueueManagersInNameOrderAndKeepOtherMembers) {
    EvStreamHooks saved = *evStreamGetHooks();
    auto pending = evStreamGetHooks()->pendingLogLine;
    cfgInstall();
    EvStreamHooks *hooks = evStreamGetHooks();
    EXPECT_EQ(hooks->pendingLogLine, pending);

    QmgrEntry *b = qmgr("QMB", 4), *a = qmgr("QMA", 9);
    EXPECT_EQ(hooks->nextQmgr(nullptr), a);
    EXPECT_EQ(hooks->nextQmgr(a), b);
    EXPECT_EQ(hooks->nextQmgr(b), nullptr);
    EXPECT_EQ(hooks->qmgrStreamList(a), &a->streams);

    uint32_t number = 0, nameId = 0;
    const char *name = nullptr;
    hooks->qmgrIdentity(a, &number, &name, &nameId);
    EXPECT_EQ(number, 9u);
    EXPECT_STREQ(name, "QMA");
    EXPECT_EQ(nameId, a->nameId);
    evStreamSetHooks(&saved);
}

}  // namespace
