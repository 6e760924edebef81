// miniqm's control entry point, exported by libmqm.so and libmqic.so beside the MQI verbs, for
// tests that drive a queue manager from inside their own process (look it up with dlsym, or link
// the library). Not part of the MQI; IBM MQ's libraries do not have it.
#pragma once

extern "C" {

// Sends one administration command to the running server of the named queue manager (found under
// MINIQM_ROOT, as bindings connections find it) and copies the reply text, NUL-terminated and cut to
// replyLength, into reply (which may be null). Commands:
//   "mqsc <MQSC text>"                       as `miniqm mqsc`
//   "fault <VERB> <REASON> <COUNT> <CC> <OBJECT> [<APPL>]"   CC -1: the verb's usual one; OBJECT, APPL
//                                            "-": any (APPL: the connection's ApplName)
//   "fault clear", "fault list", "status"
//   "queue <NAME>"                           "depth D uncommitted U": a local queue's depth and its
//                                            messages put or got in units of work still open
//   "connections <PID> [end]"                "connections N": those of the process PID; with end,
//                                            each cut as a dead channel's (for a process known gone)
//   "stop quiesce", "stop now"
//   "cmdserver start", "cmdserver stop"      as `miniqm cmdserver QM start|stop`
// Returns 0 when the command succeeded, 1 when it failed (an MQSC error, a bad request), -1 when
// the queue manager is unknown or not running.
int miniqmControl(const char *qmName, const char *command, char *reply, int replyLength);
}
