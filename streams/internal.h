// What the files of stream storage share among themselves and nobody else needs.
#pragma once

#include "streams/streams.h"

// The queue manager's stream list through the hook, or null.
Stream **evStreamQmgrList(QmgrEntry *qmgr);
