// Message handles of the MQI library (MQCRTMH and the property verbs, in msgh.cpp) as MQPUT and
// MQGET in mqi.cpp use them.
#pragma once

#include <string>
#include <string_view>

#include "mqi/cmqc.h"

namespace qmmsgh {

// A handle's properties in PropertyList's encoded form; false when the handle is unknown.
bool propertiesOf(MQHMSG hmsg, std::string &encoded);
// Replaces a handle's properties (MQGET); false when the handle is unknown or the bytes damaged.
bool storeProperties(MQHMSG hmsg, std::string_view encoded);
bool known(MQHMSG hmsg);

// Defined in mqi.cpp: whether this thread may use the connection (or it is MQHC_UNASSOCIATED_HCONN).
bool connectionUsable(MQHCONN hconn);
// Defined in mqi.cpp: whether a fault rule makes this call of a message-handle verb fail (cc and
// rc set). Asked before the verb's own work, only on a connection this thread may use.
bool faulted(MQHCONN hconn, const char *verb, PMQLONG cc, PMQLONG rc);

}  // namespace qmmsgh
