// What the files of the emitters share: the holding buffer and its writes, the writer sets, the
// output units and the failure handling.
#pragma once

#include <cstdarg>
#include <string>

#include "emit/emit.h"

// ---- The holding buffer (format.cpp) ----

// The buffer, made on first use (null when no storage was left).
char *emitHolding();
// Appends bytes; a write past the buffer sets the context's overflow and writes nothing.
void emitPut(EmitContext *context, const char *text, size_t length);
void emitPutChar(EmitContext *context, char c);
void emitPutText(EmitContext *context, const char *text);
void emitPutF(EmitContext *context, const char *format, ...) __attribute__((format(printf, 2, 3)));
void emitEnsureNewline(EmitContext *context);
void emitIndent(EmitContext *context);
bool emitAtLineStart(const EmitContext *context);
// The CCSID a record's texts are written in: UTF-8 for JSON and NDJSON, and for the files of the
// other formats when ZUNT_EMIT_CCSID is 1208 (converted straight from each text's own CCSID, so that
// no character is lost on the way); else the records' own (a file's byte table translates it).
int32_t emitTextTarget(const EmitContext *context);
// A text in emitTextTarget's CCSID from its own (0: the records'), converted into buffer when it
// needs to be; what is not valid in its CCSID becomes U+FFFD, or the target's substitution character.
EvStringView emitShownText(const EmitContext *context, EvStringView text, std::string &buffer);
// A character of the punctuation set (EV_PUNCT_*).
char emitPunct(int which);

extern const EmitWriters emitJsonWriters;
extern const EmitWriters emitMqscWriters;
extern const EmitWriters emitCsvWriters;

// The UTC calendar fields of a time: 1, or 0 when its year is outside 0 to 9999.
struct EmitUtc {
    int64_t year;
    int month, day, hour, minute, second;
};
int emitUtcFields(int64_t time, EmitUtc *utc);

// One field through the writers, ZEROVALS applied (not to the CSV header; a hidden CSV column
// keeps its place).
void emitWriteField(EmitContext *context, const evParmDef *row, const char *name, uint32_t nameLength,
                    const EmitValue *value);
// The name a row is written under: the JSON field name for JSON and NDJSON, else the keyword.
void emitRowName(const EmitContext *context, const evParmDef *row, const char **name, uint32_t *length);
void emitOpenGroup(EmitContext *context, EmitGroup *group, int32_t id, const char *name, uint32_t length);
void emitWriteUniqueId(EmitContext *context);
// Opens the output and starts a record (document start, CSV header): 1, or 0 (failure handled, or
// the context replaced).
int emitBeginRecord(EmitContext *context);
// The end-of-record text of the format.
void emitEndRecordText(EmitContext *context);
bool emitIsJson(const EmitContext *context);
bool emitHuman(const EmitContext *context);

// ---- Output (output.cpp) ----

int emitOpenFile(EmitContext *context);
// Expands the FILE pattern for the local time in mode 0 (no counters), -1 (counters, no suffix) or
// 1 (counters and the "(n)" suffix): 1, or 0 when the name would not fit in size bytes.
int emitExpandFileName(EmitContext *context, const EvLocalTime *time, int mode, char *out, size_t size);
int emitWriteFile(EmitContext *context);
int emitCloseFile(EmitContext *context);
int emitOpenQueue(EmitContext *context);
int emitPutMessage(EmitContext *context);
void emitCloseQueue(EmitContext *context);
void emitCloseGroup(EmitContext *context);
// The end of a record: its end text, the size rule, the write-out of a unit that does not wrap.
int emitEnsureSpace(EmitContext *context);
// Writes out what the holding buffer holds at the end of a stored record.
int emitWriteOut(EmitContext *context);
// Forgets the open output unit's text and state (a dropped unit).
void emitDropUnit(EmitContext *context);
// Resets the emitter's per-file state (column, document, header, counters, indentation, groups).
void emitResetUnit(EmitterDef *emitter);

// The names of days and months the file name patterns expand to.
inline constexpr const char *emitDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
inline constexpr const char *emitDaysLong[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                               "Thursday", "Friday", "Saturday"};
inline constexpr const char *emitMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
inline constexpr const char *emitMonthsLong[] = {"January",   "February", "March",    "April",
                                                 "May",       "June",     "July",     "August",
                                                 "September", "October",  "November", "December"};

// ---- Files with the units of work (journal.cpp) ----

// A file about to be made: named on the data queue at once, outside the unit, so that a load
// after a kill before the unit commits removes it while it is still empty. 1, or 0 with the error
// text set.
int emitJournalNaming(EmitContext *context, const char *name);
// The emitter has just made its open file: named again with the file's identity (a load removes
// only that file under the name, whatever it holds) and listed as its set's unit's. 1, or 0 with
// the error text set (the file is closed and removed again).
int emitJournalMade(EmitContext *context);
void emitJournalForget(const char *name);
// The record counts in the emitter's MSGCT when its set's unit commits (at once without a data queue).
void emitJournalCounted(EmitContext *context);
// Whether the file was made by the open unit and nothing of it is written yet.
bool emitJournalEmptyMade(const char *name);
// The bytes written to the emitter's open file so far.
uint64_t emitJournalLength(const EmitterDef *emitter);
// length more bytes reached the emitter's open file, in the context's set's unit.
void emitJournalWrote(EmitContext *context, uint32_t length);
// Whether the name is one the emitter's FILE pattern makes: the pattern expanded with any time and
// counters (each token its own width and characters), or with the sequence "(n)" the emitter puts
// before the last '.' when the name is taken.
bool emitPatternMakes(const char *pattern, const char *name);
// The engine's slots (EvServices): the states a commit saves, the end of a unit, the load, and the
// check before a commit.
int emitFileState(int32_t set,
                  int (*save)(void *arg, const char *emitter, const uint8_t *message, int32_t length),
                  void *arg);
int emitFileStateKind(const uint8_t *message, int32_t length, char *emitter, size_t size, uint64_t *sequence);
void emitUnitEnded(int32_t set, int committed);
int emitRestoreFiles(uint8_t kind, const uint8_t *message, int32_t length);
int emitCheckFiles(QmgrContext *context, ConnectionSet *set);

// ---- Failures (failure.cpp) ----

// Sets the error text and handles the failure by ONERROR: EMIT_DONE (DISCARD), EMIT_FAILED or
// EMIT_REPLACED (SUSPEND).
int emitFail(EmitContext *context, const char *format, ...) __attribute__((format(printf, 2, 3)));
// As emitFail, for a step that reports 0 (the handling's result is left in failResult).
int emitFailStep(EmitContext *context, const char *format, ...) __attribute__((format(printf, 2, 3)));
int emitReportError(EmitContext *context);
void emitRaiseAlert(EmitContext *context);
int emitHandleFailure(EmitContext *context);
