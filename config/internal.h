// Shared inside config/: the hand-over of change lines and small text helpers.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "config/config.h"

// The parameter tables of the system's objects (commands.cpp); the console's table shares them.
extern evParmDef cfgEvParms[];
extern evParmDef cfgEvqParms[];
extern evParmDef cfgEvqmgrParms[];
extern evParmDef cfgEvstreamParms[];
extern evParmDef cfgEvstrmstParms[];
extern evParmDef cfgEvemitParms[];
// The selection rows of the five statistics displays, until the statistics register their tables.
using CfgSelectionTable = std::array<evParmDef, 22>;
extern CfgSelectionTable cfgStatqSelection;
extern CfgSelectionTable cfgStatchlSelection;
extern CfgSelectionTable cfgStatmqiSelection;
extern CfgSelectionTable cfgAcctqSelection;
extern CfgSelectionTable cfgAcctmqiSelection;

// Hands one finished change line to the command set's pending log lines (install.cpp).
void cfgChangeLine(const std::string &line);

// Copies at most max characters of a NUL-terminated text into a buffer of max + 1 bytes, NUL
// after; returns the length copied.
inline size_t cfgCopyName(char *to, const char *from, size_t max) {
    size_t n = from ? strnlen(from, max) : 0;
    if (n) std::memcpy(to, from, n);
    to[n] = '\0';
    return n;
}
