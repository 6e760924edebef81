// Administration requests to a running miniqmd over its Unix socket: MQSC text, stop, faults on
// demand and status. Used by the miniqm tool and by tests; not part of the MQI.
#pragma once

#include <string>

namespace qmadmin {

// Unreachable: no server listening; NoReply: it took the request but ended before answering.
enum class Outcome { Ok, Failed, Unreachable, NoReply };

// Sends one command ("mqsc <text>", "stop quiesce", "stop now", "fault ...", "status") to the
// server of the queue manager in dir and returns its reply text in reply.
Outcome request(const std::string &dir, const std::string &command, std::string &reply);

}  // namespace qmadmin
