// Platform services: the layer under every other subsystem, and the only place that calls the
// operating system. Other subsystems include this header and nothing of the OS.
#pragma once

#include "platform/cs.h"      // locks, counted heap, AVL trees, pooled areas, trap and trace, command lines,
                              // intervals, the clock and the shared state of the process
#include "platform/dynlib.h"  // loading shared libraries and finding their exported names
#include "platform/output.h"  // console output and status line, debug letters, worker pool, log files
#include "platform/scan.h"    // tokenisers, wildcard, hex, MQ date and time texts, time slots, FROM/TO times
