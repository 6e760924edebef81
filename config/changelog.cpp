// The change log: every change of the configuration and every added or removed alert as one line
// in MQSC command form, so that an operator can read and replay what was done. A line is a fixed
// head, then attributes in a fixed order, each followed by one blank; it waits on the command
// set's pending lines and reaches the log only when the unit of work that made it commits.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/internal.h"

namespace {

// Units the lines show.
int64_t days(int64_t seconds) {
    return seconds / 86400;
}
int64_t minutes(int64_t seconds) {
    return seconds / 60;
}
int64_t kilobytes(int64_t bytes) {
    return bytes / 1024;
}

// The MQSC keyword of a value, or the value as a decimal number when the table has no row for it.
std::string valueName(const evValueName *table, int32_t value) {
    const evValueName *row = evValueNameByValue(table, value);
    return row ? std::string(row->keyword) : std::to_string(value);
}

// A text value between single quotes, each quote in it doubled as MQSC writes it: a value (an
// alert's text names queues between quotes, and may carry an event's object name) never ends its
// string early in a line that is read or replayed.
void appendQuoted(std::string &out, const char *value) {
    out += '\'';
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p == '\'') out += '\'';
        out += *p;
    }
    out += '\'';
}

class Line {
public:
    explicit Line(const char *head) : text_(head) {}
    Line &text(const char *keyword, const char *value) {
        text_ += keyword;
        text_ += '(';
        appendQuoted(text_, value);
        text_ += ") ";
        return *this;
    }
    Line &textIfSet(const char *keyword, const char *value) {
        return value[0] ? text(keyword, value) : *this;
    }
    Line &textIfChanged(const char *keyword, const char *before, const char *after) {
        if (std::strcmp(before, after) == 0) return *this;
        text_ += keyword;
        text_ += '(';
        appendQuoted(text_, before);
        text_ += " -> ";
        appendQuoted(text_, after);
        text_ += ") ";
        return *this;
    }
    Line &number(const char *keyword, int64_t value) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%s(%" PRId64 ") ", keyword, value);
        text_ += buffer;
        return *this;
    }
    Line &numberIfChanged(const char *keyword, int64_t before, int64_t after) {
        if (before == after) return *this;
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "%s(%" PRId64 " -> %" PRId64 ") ", keyword, before, after);
        text_ += buffer;
        return *this;
    }
    Line &name(const char *keyword, const evValueName *table, int32_t value) {
        text_ += keyword;
        text_ += '(';
        text_ += valueName(table, value);
        text_ += ") ";
        return *this;
    }
    Line &nameIfChanged(const char *keyword, const evValueName *table, int32_t before, int32_t after) {
        if (before == after) return *this;
        text_ += keyword;
        text_ += '(';
        text_ += valueName(table, before);
        text_ += " -> ";
        text_ += valueName(table, after);
        text_ += ") ";
        return *this;
    }
    Line &raw(const char *part) {
        text_ += part;
        return *this;
    }
    void send() { cfgChangeLine(text_); }

private:
    std::string text_;
};

int32_t asInt(uint32_t value) {
    return static_cast<int32_t>(value);
}

// The head with the object's name in it, as "ALTER EVSTREAM('%s') ".
std::string head(const char *verbAndObject, const char *name) {
    std::string text(verbAndObject);
    text += '(';
    appendQuoted(text, name);
    text += ") ";
    return text;
}

// The attributes shared by the lines of an added and a removed alert.
void alertLine(const char *head, const AlertDef *alert) {
    Line line(head);
    line.number("EVALERT", alert->id)
        .textIfSet("TEXT", alert->text)
        .name("SEVERITY", evSeverityNames, alert->severity);
    char when[EV_DATE_TIME_TEXT];
    if (evLocalDateTimeText(alert->time, when)) line.raw("ALERTTI(").raw(when).raw(") ");
    line.number("RETINTVL", alert->retention)
        .textIfSet("EVQMGR", alert->qmgr)
        .textIfSet("CATEGORY", alert->category);
    if (alert->objectName[0])
        line.text("OBJNAME", alert->objectName).name("OBJTYPE", evObjectTypeNames, alert->objectType);
    // Stream id 0 is the string pool's own definition, which names no stream of an alert.
    const StreamDef *stream = alert->streamId ? evStreamDefFindById(alert->streamId) : nullptr;
    if (stream) line.text("EVSTREAM", stream->name);
    line.send();
}

// The attributes of an event queue's SUSPEND and RESUME lines.
void queueStateLine(const char *verb, const EventQueueDef *queue) {
    Line line(head(verb, queue->name).c_str());
    line.textIfSet("DESCR", queue->descr)
        .name("SUSPENDED", evYesNoNames, asInt(queue->suspended))
        .name("STATUS", evQueueStatusNames, asInt(queue->status))
        .send();
}

}  // namespace

void evEchoDefineStream(const StreamDef *def) {
    Line(head("DEFINE EVSTREAM", def->name).c_str())
        .name("TYPE", evStreamTypeNames, asInt(def->type))
        .textIfSet("DESCR", def->descr)
        .name("DEFAULT", evYesNoNames, asInt(def->isDefault))
        .name("DISIMPLCT", evYesNoNames, asInt(def->disImplct))
        .number("RETINTVL", days(def->retIntvl))
        .number("AGGRINT", def->aggrInt)
        .textIfSet("EVEMIT", def->evEmit)
        .send();
}

void evEchoAlterStream(const StreamDef *before, const StreamDef *after) {
    Line(head("ALTER EVSTREAM", after->name).c_str())
        .name("TYPE", evStreamTypeNames, asInt(after->type))
        .textIfChanged("DESCR", before->descr, after->descr)
        .nameIfChanged("DEFAULT", evYesNoNames, asInt(before->isDefault), asInt(after->isDefault))
        .nameIfChanged("DISIMPLCT", evYesNoNames, asInt(before->disImplct), asInt(after->disImplct))
        .numberIfChanged("RETINTVL", days(before->retIntvl), days(after->retIntvl))
        .numberIfChanged("AGGRINT", before->aggrInt, after->aggrInt)
        .textIfChanged("EVEMIT", before->evEmit, after->evEmit)
        .send();
}

void evEchoDefineEmit(const EmitterDef *e) {
    Line(head("DEFINE EVEMIT", e->name).c_str())
        .textIfSet("DESCR", e->descr)
        .textIfSet("QUEUE", e->queue)
        .textIfSet("FILE", e->file)
        .name("FORMAT", evEmitFormatNames, asInt(e->format))
        .name("READER", evReaderNames, asInt(e->reader))
        .name("ZEROVALS", evZeroValsNames, asInt(e->zeroValues))
        .name("MSGPERS", evPersistenceNames, asInt(e->msgPersistence))
        .number("MAXSIZE", kilobytes(e->maxSize))
        .send();
}

void evEchoAlterEmit(const EmitterDef *b, const EmitterDef *a) {
    Line(head("ALTER EVEMIT", a->name).c_str())
        .textIfChanged("DESCR", b->descr, a->descr)
        .textIfChanged("QUEUE", b->queue, a->queue)
        .textIfChanged("FILE", b->file, a->file)
        .nameIfChanged("FORMAT", evEmitFormatNames, asInt(b->format), asInt(a->format))
        .nameIfChanged("READER", evReaderNames, asInt(b->reader), asInt(a->reader))
        .nameIfChanged("ZEROVALS", evZeroValsNames, asInt(b->zeroValues), asInt(a->zeroValues))
        .nameIfChanged("MSGPERS", evPersistenceNames, asInt(b->msgPersistence), asInt(a->msgPersistence))
        .numberIfChanged("MAXSIZE", kilobytes(b->maxSize), kilobytes(a->maxSize))
        .send();
}

void evEchoEv(const EvSettingsValues *s) {
    Line("EV ")
        .textIfSet("NAME", s->log.name)
        .textIfSet("DESCR", s->log.descr)
        .name("ACCTSELF", evAcctSelfNames, s->accountingSelf)
        .number("ALERTRET", days(s->alertRetention))
        .number("AUTHDURN", s->authDuration)
        .number("DEFBOTHR", s->defaultBackoutThreshold)
        .number("DEFMAXRECS", s->defaultMaxRecords)
        .name("DISPCMDS", evDispCmdsNames, s->displayCommands)
        .textIfSet("DLQ", s->deadQueue)
        .number("LOGRET", days(s->log.logRetention))
        .number("MAXLOGAGE", minutes(s->log.maxLogAge))
        .number("MAXLOGSZ", kilobytes(s->log.maxLogSize))
        .number("STORMINT", s->stormInterval)
        .number("STORMTHR", s->stormThreshold)
        .name("USEDLQ", evUseDlqNames, s->useDlq)
        .name("VERCHECK", evVerCheckNames, s->versionCheck)
        .send();
}

void evEchoAlterEv(const EvSettingsValues *b, const EvSettingsValues *a) {
    Line("ALTER EV ")
        .textIfChanged("NAME", b->log.name, a->log.name)
        .textIfChanged("DESCR", b->log.descr, a->log.descr)
        .nameIfChanged("ACCTSELF", evAcctSelfNames, b->accountingSelf, a->accountingSelf)
        .numberIfChanged("ALERTRET", days(b->alertRetention), days(a->alertRetention))
        .numberIfChanged("AUTHDURN", b->authDuration, a->authDuration)
        .numberIfChanged("DEFBOTHR", b->defaultBackoutThreshold, a->defaultBackoutThreshold)
        .numberIfChanged("DEFMAXRECS", b->defaultMaxRecords, a->defaultMaxRecords)
        .nameIfChanged("DISPCMDS", evDispCmdsNames, b->displayCommands, a->displayCommands)
        .textIfChanged("DLQ", b->deadQueue, a->deadQueue)
        .numberIfChanged("LOGRET", days(b->log.logRetention), days(a->log.logRetention))
        .numberIfChanged("MAXLOGAGE", minutes(b->log.maxLogAge), minutes(a->log.maxLogAge))
        .numberIfChanged("MAXLOGSZ", kilobytes(b->log.maxLogSize), kilobytes(a->log.maxLogSize))
        .numberIfChanged("STORMINT", b->stormInterval, a->stormInterval)
        .numberIfChanged("STORMTHR", b->stormThreshold, a->stormThreshold)
        .nameIfChanged("USEDLQ", evUseDlqNames, b->useDlq, a->useDlq)
        .nameIfChanged("VERCHECK", evVerCheckNames, b->versionCheck, a->versionCheck)
        .send();
}

void evEchoAddAlert(const AlertDef *alert) {
    alertLine("ADD ", alert);
}

void evEchoRemoveAlert(const AlertDef *alert) {
    alertLine("REMOVE ", alert);
}

void evEchoAddEvq(const EventQueueDef *q) {
    Line("ADD ")
        .textIfSet("EVQ", q->name)
        .textIfSet("DESCR", q->descr)
        .textIfSet("FWDQ", q->forwardQueue)
        .name("FWDPSIST", evPersistenceNames, q->forwardPersistence)
        .name("TEMPQ", evTempQNames, q->tempQ)
        .send();
}

void evEchoAlterEvq(const EventQueueDef *b, const EventQueueDef *a) {
    Line("ALTER ")
        .textIfSet("EVQ", a->name)
        .textIfChanged("DESCR", b->descr, a->descr)
        .textIfChanged("FWDQ", b->forwardQueue, a->forwardQueue)
        .nameIfChanged("FWDPSIST", evPersistenceNames, b->forwardPersistence, a->forwardPersistence)
        .nameIfChanged("TEMPQ", evTempQNames, b->tempQ, a->tempQ)
        .send();
}

void evEchoSuspendEvq(const EventQueueDef *queue) {
    queueStateLine("SUSPEND EVQ", queue);
}

void evEchoResumeEvq(const EventQueueDef *queue) {
    queueStateLine("RESUME EVQ", queue);
}
