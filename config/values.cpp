// Value names of the command set's attributes: what a value is called in MQSC text, in replies and
// in the change log, and the lookup of a value given as text.
#include <cctype>
#include <cstring>

#include "config/internal.h"

// clang-format off
const evValueName evYesNoNames[] = {
    {0, 1, "Yes", "YES", 0}, {0, 0, "No", "NO", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evPersistenceNames[] = {
    {0, 2, "As Message", "ASMSG", 0}, {0, 1, "Yes", "YES", 0}, {0, 0, "No", "NO", 0},
    {0, 0, nullptr, nullptr, 0}};
const evValueName evStreamTypeNames[] = {
    {0, 1, "Events", "EVENTS", 0}, {0, 2, "StatQ", "STATQ", 0}, {0, 3, "StatChl", "STATCHL", 0},
    {0, 4, "StatMQI", "STATMQI", 0}, {0, 5, "AcctQ", "ACCTQ", 0}, {0, 6, "AcctMQI", "ACCTMQI", 0},
    {0, -1, "$STRINGS", "$STRINGS", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evStreamStatusTypeNames[] = {
    {0, 1, "Events", "EVENTS", 0},   {0, 2, "StatQ", "STATQ", 0}, {0, 3, "StatChl", "STATCHL", 0},
    {0, 4, "StatMQI", "STATMQI", 0}, {0, 5, "AcctQ", "ACCTQ", 0}, {0, 6, "AcctMQI", "ACCTMQI", 0},
    {0, -999, "All", "ALL", 0},      {0, 0, nullptr, nullptr, 0}};
const evValueName evAcctSelfNames[] = {
    {0, 0, "Discard", "DISCARD", 0}, {0, 1, "Keep", "KEEP", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evUseDlqNames[] = {
    {0, 0, "No", "NO", 0}, {0, 1, "Yes", "YES", 0}, {0, 2, "Ifavail", "IFAVAIL", 0},
    {0, 0, nullptr, nullptr, 0}};
const evValueName evDispCmdsNames[] = {
    {0, 1, "Discard", "DISCARD", 0}, {0, 2, "Hide", "HIDE", 0}, {0, 3, "Show", "SHOW", 0},
    {0, 0, nullptr, nullptr, 0}};
const evValueName evVerCheckNames[] = {
    {0, 0, "No", "NO", 0}, {0, 1, "Version", "VERSION", 0}, {0, 2, "Build", "BUILD", 0},
    {0, 0, nullptr, nullptr, 0}};
const evValueName evResetTypeNames[] = {
    {0, 1, "Counts", "COUNTS", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evTempQNames[] = {
    {0, 0, "Discard", "DISCARD", 0}, {0, 1, "Store", "STORE", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evQueueStatusNames[] = {
    {0, 0, "Defined", "DEFINED", 0}, {0, 1, "Active", "ACTIVE", 0}, {0, 2, "Notauth", "NOTAUTH", 0},
    {0, 3, "Wrongtype", "WRONGTYPE", 0}, {0, 4, "Notexist", "NOTEXIST", 0},
    {0, 5, "Inhibitget", "INHIBITGET", 0}, {0, 6, "Fwdqfail", "FWDQFAIL", 0}, {0, 7, "Inuse", "INUSE", 0},
    {0, 8, "Suspended", "SUSPENDED", 0}, {0, 9, "Failed", "FAILED", 0}, {0, 10, "Boqfail", "BOQFAIL", 0},
    {0, 11, "Emitfail", "EMITFAIL", 0}, {0, 12, "Datahigh", "DATAHIGH", 0}, {0, 13, "Dataput", "DATAPUT", 0},
    {0, 14, "Dataget", "DATAGET", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evSeverityNames[] = {
    {0, 50, "Terminate", "TERM", 0}, {0, 40, "Severe", "SEVERE", 0}, {0, 30, "Error", "ERROR", 0},
    {0, 20, "Warning", "WARN", 0}, {0, 10, "Information", "INFO", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evEmitFormatNames[] = {
    {0, 1, "Json", "JSON", 0}, {0, 2, "Mqsc", "MQSC", 0}, {0, 3, "Csv", "CSV", 0},
    {0, 4, "Ndjson", "NDJSON", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evReaderNames[] = {
    {0, 0, "Program", "PROGRAM", 0}, {0, 1, "Human", "HUMAN", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evZeroValsNames[] = {
    {0, 0, "Hide", "HIDE", 0}, {0, 1, "Show", "SHOW", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evPutNames[] = {
    {0, 0, "Normal", "NORMAL", 0}, {0, 1, "Immediate", "IMMEDIATE", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evOnErrorNames[] = {
    {0, 0, "Suspend", "SUSPEND", 0}, {0, 1, "Discard", "DISCARD", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evGroupingNames[] = {
    {0, 0, "Original", "ORIGINAL", 0}, {0, 1, "Single", "SINGLE", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evSumNames[] = {
    {0, 1, "None", "NONE", 0}, {0, 2, "Total", "TOTAL", 0}, {0, 3, "Queue", "QUEUE", 0},
    {0, 4, "Appl", "APPL", 0}, {0, 5, "Channel", "CHANNEL", 0}, {0, 6, "Conname", "CONNAME", 0},
    {0, 7, "Userid", "USERID", 0}, {0, 8, "Rproduct", "RPRODUCT", 0}, {0, 8, "Product", "PRODUCT", 0},
    {0, 9, "Rversion", "RVERSION", 0}, {0, 9, "Version", "VERSION", 0}, {0, 10, "Connid", "CONNID", 0},
    {0, 11, "Stream", "STREAM", 0}, {0, 12, "Rqmname", "RQMNAME", 0}, {0, 12, "Remqmgr", "REMQMGR", 0},
    {0, 13, "Pid", "PID", 0}, {0, 14, "Tid", "TID", 0}, {0, 15, "Prefix", "PREFIX", 0},
    {0, 16, "Prefix2", "PREFIX2", 0}, {0, 17, "Suffix", "SUFFIX", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evCollateNames[] = {
    {0, 0, "None", "NONE", 0}, {0, 20, "Week1d", "WEEK1D", 0}, {0, 21, "Week12h", "WEEK12H", 0},
    {0, 22, "Week8h", "WEEK8H", 0}, {0, 23, "Week4h", "WEEK4H", 0}, {0, 24, "Week2h", "WEEK2H", 0},
    {0, 25, "Week1h", "WEEK1H", 0}, {0, 40, "Day12h", "DAY12H", 0}, {0, 41, "Day8h", "DAY8H", 0},
    {0, 42, "Day4h", "DAY4H", 0}, {0, 43, "Day2h", "DAY2H", 0}, {0, 44, "Day1h", "DAY1H", 0},
    {0, 45, "Day30m", "DAY30M", 0}, {0, 46, "Day15m", "DAY15M", 0}, {0, 47, "Day10m", "DAY10M", 0},
    {0, 48, "Day5m", "DAY5M", 0}, {0, 49, "Day8h4", "DAY8H4", 0}, {0, 50, "Day12h6", "DAY12H6", 0},
    {0, 60, "Hour30m", "HOUR30M", 0}, {0, 61, "Hour15m", "HOUR15M", 0}, {0, 62, "Hour10m", "HOUR10M", 0},
    {0, 63, "Hour5m", "HOUR5M", 0}, {0, 64, "Hour1m", "HOUR1M", 0}, {0, 70, "Workweek", "WORKWEEK", 0},
    {0, 71, "Workday", "WORKDAY", 0}, {0, 80, "Month", "MONTH", 0}, {0, 81, "Monthday", "MONTHDAY", 0},
    {0, 82, "Monthweek", "MONTHWEEK", 0}, {0, 83, "Monthwday", "MONTHWDAY", 0},
    {0, 90, "Yearweek", "YEARWEEK", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evGapFillNames[] = {
    {0, 0, "No", "NO", 0}, {0, 1, "Inner", "INNER", 0}, {0, 2, "Activity", "ACTIVITY", 0},
    {0, 3, "Full", "FULL", 0}, {0, 0, nullptr, nullptr, 0}};
const evValueName evIntervalAlignNames[] = {
    {0, 0, "Clock", "CLOCK", 0}, {0, 1, "Mq", "MQ", 0}, {0, 0, nullptr, nullptr, 0}};
// clang-format on

namespace {

// A decimal integer with an optional sign that fits 32 bits.
bool parseInteger(const char *text, size_t length, int32_t *value) {
    size_t i = 0;
    bool negative = false;
    if (length > 0 && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == length) return false;
    int64_t v = 0;
    for (; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
        if (v > 2147483648LL) return false;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

bool equalNoCase(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

const evValueName *evValueNameByText(const evValueName *table, const char *text, size_t length) {
    if (!table || !text || length == 0) return nullptr;
    const char *number = text;
    size_t numberLength = length;
    if (length >= 3 && text[0] == '\'' && text[length - 1] == '\'') {
        number = text + 1;
        numberLength = length - 2;
    }
    int32_t value = 0;
    if (parseInteger(number, numberLength, &value)) return evValueNameByValue(table, value);
    for (const evValueName *row = table; row->keyword; ++row)
        if (std::strlen(row->keyword) == length && equalNoCase(row->keyword, text, length)) return row;
    return nullptr;
}
