// Where the configuration meets stream storage: the hooks by which stream storage reaches the
// queue managers, and the hand-over of change lines to the command set's pending log lines.
#include <string>

#include "config/internal.h"

void cfgChangeLine(const std::string &line) {
    evPendingLogLine(line.c_str());
}

namespace {

Stream **qmgrStreamList(QmgrEntry *qmgr) {
    return &qmgr->streams;
}

// The queue manager after current in name order; the first for null.
QmgrEntry *nextQmgr(QmgrEntry *current) {
    CSTree *node = current ? current->links.next : CSTreeFirst(evQmgrTree);
    return reinterpret_cast<QmgrEntry *>(node);
}

// A queue manager's number (the owner part of its blob names), name and the string id of its name.
void qmgrIdentity(QmgrEntry *qmgr, uint32_t *number, const char **name, uint32_t *nameId) {
    if (number) *number = qmgr->number;
    if (name) *name = qmgr->name;
    if (nameId) *nameId = qmgr->nameId;
}

}  // namespace

void cfgInstall() {
    // Only this subsystem's members change: the engine's and statistics' stay as installed.
    EvStreamHooks hooks = *evStreamGetHooks();
    hooks.qmgrStreamList = qmgrStreamList;
    hooks.nextQmgr = nextQmgr;
    hooks.qmgrIdentity = qmgrIdentity;
    evStreamSetHooks(&hooks);
}
