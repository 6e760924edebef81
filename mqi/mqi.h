// MQ interface and PCF formats: the MQI declarations, the run-time binding of the MQ library with
// its trace, PCF building and parsing, the constant tables, the compressed record format and the
// classification and text of events.
#pragma once

#include "mqi/cf.h"       // compressed PCF records
#include "mqi/cmqc.h"     // MQI types, structures, constants and verb prototypes
#include "mqi/consts.h"   // evConstEntry tables and reason texts
#include "mqi/evclass.h"  // event classification, summaries, texts, conversion and dumps
#include "mqi/mqbind.h"   // MQIFunctionTable, library loading, MQI trace
#include "mqi/pcf.h"      // PcfCursor: PCF builder and parser
