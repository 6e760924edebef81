// Where the configuration meets stream storage: the hooks by which stream storage reaches the
// queue managers, and the hand-over of change lines to the command set's pending log lines.
#include <string>

#include "config/internal.h"

// ---- Stand-in (remove when stream storage's evPendingLogLine and evStreamGetHooks land) ----------
// Stream storage will offer evPendingLogLine(text): the line on set C's pending lines through its
// pendingLogLine hook, or into the log at once without one. Until it does, the hook lives here.
void cfgStandInPendingHook(void (*hook)(const char *text));
namespace {
void (*standInPending)(const char *text) = nullptr;
void evPendingLogLine(const char *text) {
    if (standInPending)
        standInPending(text);
    else
        (void)logWrite(nullptr, EV_OUT_PROGRESS, text, -1);
}
}  // namespace
void cfgStandInPendingHook(void (*hook)(const char *text)) {
    standInPending = hook;
}
// ---- End of the stand-in --------------------------------------------------------------------------

void cfgChangeLine(const std::string &line) {
    evPendingLogLine(line.c_str());
}

namespace {

Stream **qmgrStreamList(QmgrEntry *qmgr) {
    return &qmgr->streams;
}

// The queue manager after current in name order; the first for null. For the hook nextQmgr.
[[maybe_unused]] QmgrEntry *nextQmgr(QmgrEntry *current) {
    CSTree *node = current ? current->links.next : CSTreeFirst(evQmgrTree);
    return reinterpret_cast<QmgrEntry *>(node);
}

// A queue manager's number (the owner part of its blob names) and name. For the hook qmgrIdentity.
[[maybe_unused]] uint32_t qmgrIdentity(QmgrEntry *qmgr, const char **name) {
    if (name) *name = qmgr->name;
    return qmgr->number;
}

}  // namespace

void cfgInstall() {
    // With evStreamGetHooks: take the installed hooks, fill qmgrStreamList, nextQmgr and
    // qmgrIdentity, and set them back, so that the engine's pendingLogLine stays.
    EvStreamHooks hooks{};
    hooks.qmgrStreamList = qmgrStreamList;
    evStreamSetHooks(&hooks);
}
