// Stand-in for the connection half's definitions (see intake_sibling_seams.h).
#include "engine/intake_sibling_seams.h"

#include <cstring>

QmgrContext evContext;
std::atomic<int32_t> evSyncPointsSuspended{0};
std::atomic<int32_t> evStopPending{0};

void evEndConnection(QmgrContext *) {
    evSyncPointsSuspended.store(1);
    evRunState.ready.store(0);
}

void evReportMQError(QmgrContext *, MQHCONN, int32_t, char *text) {
    size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] == '~') return;
    evOutput(EV_OUT_ERROR, text, -1, 1);
    text[length] = '~';
    text[length + 1] = 0;
}
