// Shared inside ccdt/: the built-in cipher key and the message buffers of the callers.
#pragma once

#include "ccdt/ccdt.h"
#include "mqi/mqi.h"

// The 8-byte key of the stored-credential cipher (des.cpp).
extern const uint8_t ccdtCipherKey[8];

// Formats a message into the caller's buffer; a null buffer or size 0 takes nothing.
void ccdtMessage(char *message, size_t messageSize, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
