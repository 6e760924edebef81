// What the emitters lend the engine: the emission of a stored record, the close of a set's
// outputs at its disconnect, and the files kept with the units of work.
#include <cstring>

#include "emit/internal.h"

namespace {

int convertText(const char *text, int32_t length, char *out, int32_t *outLength, int32_t fromCcsid,
                int32_t toCcsid) {
    return MQConvertShown(evContext.event.mq, evEventHconn(evSet(EV_SET_E)), text, length, out, outLength,
                          fromCcsid, toCcsid, nullptr);
}

// The engine sets up the code pages on the first message it takes; from then on emitting writes
// their punctuation and translates file output through their table.
void takeCodePages() {
    const EvEmitCodePage &page = evEmitCodePage;
    if (page.ready.load() == 0) return;
    emitPunctuation = page.punctuation;
    emitTranslation = page.translate ? page.table : nullptr;
    emitTextCcsid = page.messageCcsid;
    emitOutputCcsid = page.emitCcsid;
    emitConvertText = convertText;
}

int emitStored(QmgrContext *context, ConnectionSet *set, QmgrEntry *qmgr, Stream *stream, const MQMD *md,
               uint8_t *record, uint32_t length) {
    EmitContext c{};
    c.qmgrContext = context;
    c.set = set;
    c.qmgr = qmgr;
    c.stream = stream;
    c.streamDef = stream != nullptr ? stream->definition : nullptr;
    c.inputMd = md;
    takeCodePages();
    // The stored record is named by the message it came from.
    if (md != nullptr) std::memcpy(c.uniqueId, md->MsgId, sizeof c.uniqueId);
    // An event's SUMMARY comes from the summary the intake made of this very record for its hook.
    const EvRecordHook *hook = context != nullptr ? context->hookMessage.load() : nullptr;
    if (hook != nullptr && hook->record == record && hook->summary != nullptr)
        c.event = pcfSummaryOf(hook->summary);
    return emitRecord(&c, record, length);
}

}  // namespace

void emitInstall() {
    evServices.emitStored = emitStored;
    evServices.emitClose = emitCloseOutputs;
    evServices.emitFlush = emitCheckFiles;
    evServices.emitFileState = emitFileState;
    evServices.emitFileStateKind = emitFileStateKind;
    evServices.emitUnitEnded = emitUnitEnded;
    evServices.emitRestoreFiles = emitRestoreFiles;
}
