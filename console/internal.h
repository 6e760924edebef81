// What the console's own files share and no other subsystem sees.
#pragma once

#include <cstdint>

#include "console/console.h"

// A counted-heap copy of a NUL-terminated text, or null when storage is short.
char *cslStrDup(const char *text);
// "Can not allocate %d bytes\n" on standard error; the session (may be null) notes the failure.
void cslNoMemory(cslSession *session, uint64_t size);
void cslFreeHistory(cslSession *session);
void cslFreeSynonyms(cslSession *session);
// The local time of now as "hh:mm:ss" (9 bytes with the NUL).
void cslLocalClock(char text[9]);
