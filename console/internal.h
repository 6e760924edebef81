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

// An auto-reset event of a connection's threads.
CslEvent *cslEventCreate();
void cslEventFree(CslEvent *event);
void cslEventSet(CslEvent *event);
// 0 when signalled, CS_WAIT_TIMEOUT (258) after timeoutMs (CS_INFINITE: no limit).
uint32_t cslEventWait(CslEvent *event, uint32_t timeoutMs);
// Starts a detached thread running function(record): 1, or 0 when it could not be started.
int cslStartThread(void (*function)(cslConnection *), cslConnection *record);

// The worker and the reply reader of a connection.
void cslConnectionThread(cslConnection *record);
void cslReplyThread(cslConnection *record);
// Marks the posted request complete and wakes the console thread.
void cslCompleteRequest(cslSession *session, cslConnection *record, uint32_t request);
// Opens the MQSC command queue (own 0) or the own command queue (own 1) for output: 1 or 0.
int cslOpenCommandQueue(cslSession *session, int own, cslConnection *record);
// Raises the MAXDEPTH of the temporary dynamic reply queue the console made from the default model,
// with one ALTER to the command server; a refusal is one line, and the queue keeps its depth.
void cslRaiseReplyDepth(cslSession *session, cslConnection *record);
// Closes an open object handle on the connection's main handle.
void cslCloseHandle(cslConnection *record, MQHOBJ *hobj, const char *label);
// Echoes a command line as MQSC commands are echoed: through the script's echo function, which
// follows the current input source's echo switches; without a script, as a plain echo line.
void cslEchoLine(cslSession *session, const char *text);
// The echo switch of the current input source; an empty slot echoes.
int cslEchoes(cslSession *session, CslEchoSwitch which);
// Adds the error line of an MQ failure and notes it in the session.
void cslMQFailure(cslSession *session, int32_t reason, const char *text);
// Asks the banner's identity once per session.
void cslFetchIdentity(cslSession *session);
// The remembered user and password of a queue manager: 1 when there are some.
int cslRememberedCredentials(const char *qmName, char *user, size_t userSize, char *password,
                             size_t passwordSize);
// The password prompt: at most 101 characters into buffer (102 bytes).
void cslPromptPassword(cslSession *session, char *buffer);
// Teardown: "=disc" to every connection whose worker runs.
void cslDisconnectAll(cslSession *session);
// DynamicQName of the reply queue by the reply-prefix rule (CSL_NAME_MAX + 1 bytes).
void cslBuildReplyPrefix(cslSession *session, const cslConnection *record, char *out);
// Hands a request, its text already in the connection's buffer, to the connection's worker.
void cslPostRequest(cslSession *session, cslConnection *record, uint32_t number, int32_t kind, int32_t quiet);
// The command modifiers (=FIND, =WHERE, the DISPLAY narrowing) on the connection's request text,
// leaving their filters on the current echo line: 0 when the command must not be sent.
int cslApplyModifiers(cslSession *session, cslConnection *record, int *handled);
// 1 when a response passes every filter of the command's echo line.
int cslMatchResponse(cslSession *session, cslOutputLine *echo, const char *text, size_t length);
void cslFreeFilters(cslOutputLine *line);
// RESET QSTATS(name) and nothing more: 1 with *isReset and the name; 0 after answering a syntax
// error on the current command (not sent then). 1 with *isReset 0 for any other command.
int cslParseResetQStats(cslSession *session, const char *text, char *queue, size_t queueSize, int *isReset);
// One response message of the command whose echo line is given, appended after its lines.
void cslOutputResponse(cslSession *session, cslOutputLine *echo, const char *text, size_t length);
// A command sent but never answered (its wait given up, its connection broken): counted failed once,
// so that the summary adds up.
void cslCountLostCommand(cslSession *session, uint32_t request);
// The ALTER NAMELIST as typed, its =ADD and =RMV applied to the namelist's current names (a NAMES
// value) into out: 1, or 0 with the error text in out.
int cslRebuildNamelist(cslSession *session, const char *typed, const char *names, size_t namesLength,
                       char *out, size_t outSize);
