// Shared inside ccdt/: the built-in cipher key and the message buffers of the callers.
#pragma once

#include "ccdt/ccdt.h"
#include "mqi/mqi.h"

// The 8-byte key of the stored-credential cipher (des.cpp).
extern const uint8_t ccdtCipherKey[8];

// Formats a message into the caller's buffer; a null buffer or size 0 takes nothing.
void ccdtMessage(char *message, size_t messageSize, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Channel records (convert.cpp).
// Zero bytes between the exit-list area and the peer name below version 9: 2, 1 or none.
uint32_t ccdtPadding(int32_t version, int32_t areaLength);
// Where the peer name begins behind an area of the tail (skipping at most four zero bytes); 0 when
// the lengths do not fit the tail.
int ccdtLocatePeer(const uint8_t *tail, uint32_t tailLength, int32_t areaLength, int32_t peerLength,
                   uint32_t *at);
// 1 when an area of length bytes (0, or six lists) ends each list inside it.
int ccdtAreaWellFormed(const uint8_t *area, int32_t length);
// A text's length without its trailing blanks, NULs, tabs and line feeds.
uint32_t ccdtTrimmedLength(const char *text, uint32_t size);
// Behind one list of an area; *first is its first entry (null when empty).
const uint8_t *ccdtListFirst(const uint8_t *at, const uint8_t *end, const uint8_t **first,
                             uint32_t *firstLength);
