// What the files of stream storage share among themselves and nobody else needs.
#pragma once

#include "streams/streams.h"

// The queue manager's stream list through the hook, or null.
Stream **evStreamQmgrList(QmgrEntry *qmgr);
// Formats one message (cut at 1023 bytes) and hands it to evOutput, to the log as well.
void evStreamOutputF(uint32_t category, const char *format, ...) __attribute__((format(printf, 2, 3)));
