// The version check: a thread of its own fetches the maker's download page once a day, reads the
// newest version for this platform from its table, and keeps the "$VERSION" alert in step with
// the result. The alert change runs as a unit of set C that changes alerts only: set C held, the
// consumer lock taken, set E left alone.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/internal.h"

namespace {

constexpr char kWho[] = "Error retrieving version information";
constexpr char kProduct[] = "ZUNT";
constexpr char kDefaultUrl[] = "http://www.holva.example/ZUNT_download.html";
constexpr char kDebugFile[] = "ZUNT_download.txt";
constexpr char kBlanks[] = " \n\r";
constexpr char kSingles[] = ".\\/(){}[]<>*-";
constexpr size_t kCellMax = 256;
constexpr int kCellsMax = 16;
constexpr uint32_t kFirstWaitMs = 7200000;
constexpr uint32_t kQuickFirstWaitMs = 5000;
constexpr uint32_t kDailyWaitMs = 86400000;
constexpr int32_t kDigitsMax = 9;
constexpr uint32_t kStopWaitMs = 5000;

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::atomic<const char *> versionUrl{kDefaultUrl};
char urlCopy[1024];
CSEvent *wakeEvent = nullptr;
CSThread *versionThread = nullptr;

bool equalNoCase(const char *text, size_t length, const char *word) {
    size_t n = std::strlen(word);
    if (length != n) return false;
    for (size_t i = 0; i < n; i++)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(word[i])))
            return false;
    return true;
}

// A tag token "<name" followed by anything but a letter or digit ("<tr>", "<td class=x>").
bool isTag(EvHtmlToken token, const char *name) {
    size_t n = std::strlen(name);
    if (token.length < n + 2 || token.text[0] != '<') return false;
    if (!equalNoCase(token.text + 1, n, name)) return false;
    return !std::isalnum(static_cast<unsigned char>(token.text[n + 1]));
}

// A run of at most kDigitsMax digits: its value, or -1.
int32_t number(EvHtmlToken token) {
    if (token.length == 0 || token.length > kDigitsMax) return -1;
    int32_t value = 0;
    for (size_t i = 0; i < token.length; i++) {
        if (!std::isdigit(static_cast<unsigned char>(token.text[i]))) return -1;
        value = value * 10 + (token.text[i] - '0');
    }
    return value;
}

// The three date tokens from *next: 1 with the date, or 0.
int readDate(const char **next, const char *end, int32_t *year, int32_t *month, int32_t *day) {
    EvHtmlToken name = evHtmlNextToken(next, end);
    int32_t found = 0;
    for (int i = 0; i < 12; i++)
        if (equalNoCase(name.text, name.length, kMonths[i])) found = i + 1;
    EvHtmlToken dayToken = evHtmlNextToken(next, end);
    EvHtmlToken yearToken = evHtmlNextToken(next, end);
    int32_t d = number(dayToken), y = number(yearToken);
    if (found == 0 || d < 1 || d > 31 || yearToken.length != 4 || y < 0) return 0;
    *year = y, *month = found, *day = d;
    return 1;
}

// One table row: its cells' texts (their words joined by one blank) and whether they are "<th".
struct TableRow {
    char cells[kCellsMax][kCellMax];
    int count;
    bool header;
};

void addWord(TableRow *row, EvHtmlToken token) {
    char *cell = row->cells[row->count - 1];
    size_t used = std::strlen(cell);
    size_t blank = used != 0 ? 1 : 0;
    if (used + blank + token.length >= kCellMax) return;
    if (blank) cell[used++] = ' ';
    std::memcpy(cell + used, token.text, token.length);
    cell[used + token.length] = 0;
}

// Reads a row after its "<tr" up to "</tr" (or the table's end): 1, or 0 when the page ends first.
int tableRow(const char **next, const char *end, TableRow *row) {
    *row = TableRow{};
    bool inCell = false;
    for (;;) {
        EvHtmlToken token = evHtmlNextToken(next, end);
        if (token.length == 0) return 0;
        if (isTag(token, "/tr")) return 1;
        if (isTag(token, "/table")) {
            *next = token.text;  // the caller sees the table's end too
            return 1;
        }
        bool th = isTag(token, "th");
        if (th || isTag(token, "td")) {
            inCell = row->count < kCellsMax;
            if (inCell) row->count++;
            row->header = row->header || th;
        } else if (isTag(token, "/th") || isTag(token, "/td")) {
            inCell = false;
        } else if (token.text[0] != '<' && inCell) {
            addWord(row, token);
        }
    }
}

struct Columns {
    int platform = -1, version = -1, date = -1;
};

int formatWrong(char *errorText) {
    std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s : Web page format does not appear to be correct", kWho);
    return 0;
}

// The platform's row, when it is one: its version and date into the record.
void readPlatformRow(const TableRow *row, const Columns *columns, EvVersionRecord *record) {
    if (columns->platform < 0 || columns->platform >= row->count || columns->version < 0 ||
        columns->version >= row->count)
        return;
    const char *platform = row->cells[columns->platform];
    if (!equalNoCase(platform, std::strlen(platform), EV_VERSION_PLATFORM)) return;
    const char *version = row->cells[columns->version];
    if (!evParseVersion(version, std::strlen(version), &record->webVersion, &record->webRelease,
                        &record->webModification))
        return;
    record->found = 1;
    if (columns->date >= 0 && columns->date < row->count) {
        const char *date = row->cells[columns->date];
        (void)evParseBuildDate(date, std::strlen(date), &record->webYear, &record->webMonth, &record->webDay);
    }
}

int compare(int32_t a, int32_t b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

// The web's build against this one: 1 later, 0 equal, -1 earlier.
int versionOrder(const EvVersionRecord *record) {
    int order = compare(record->webVersion, record->version);
    if (order == 0) order = compare(record->webRelease, record->release);
    if (order == 0) order = compare(record->webModification, record->modification);
    return order;
}

int dateOrder(const EvVersionRecord *record) {
    int order = compare(record->webYear, record->year);
    if (order == 0) order = compare(record->webMonth, record->month);
    if (order == 0) order = compare(record->webDay, record->day);
    return order;
}

}  // namespace

void evCompareVersions(EvVersionRecord *record) {
    record->equalVersion = versionOrder(record) == 0;
    record->upToDate = record->equalVersion && dateOrder(record) == 0;
}

namespace {

// 1 when the status line reads 200 after its protocol word; else the error text with its status.
int statusOk(const EvHttpBuffer *buffer, char *errorText) {
    const auto *line = reinterpret_cast<const char *>(buffer->data);
    size_t length = 0;
    while (length < buffer->headerLength && line[length] != '\n' && line[length] != '\r') length++;
    size_t at = 0;
    while (at < length && line[at] != ' ') at++;
    while (at < length && line[at] == ' ') at++;
    const char *status = line + at;
    size_t statusLength = length - at;
    if (statusLength >= 3 && std::memcmp(status, "200", 3) == 0 && (statusLength == 3 || status[3] == ' '))
        return 1;
    std::snprintf(errorText, EV_HTTP_ERROR_MAX, "Error retrieving Web Page : HTTP Error %.*s",
                  static_cast<int>(statusLength > 200 ? 200 : statusLength), status);
    return 0;
}

// Steps 4 to 7 of the report.
void changeAlerts(bool remove, const char *text) {
    evChangeAlertAlone(EV_VERSION_CATEGORY, EV_SEVERITY_WARN, EV_VERSION_RETENTION, remove ? nullptr : text);
}

void writeDebugFile(const char *path, const uint8_t *bytes, size_t length) {
    const CSFileOps *ops = CSGetFileOps();
    (void)ops->remove(path);
    CSFileHandle file = 0;
    int created = 0;
    if (ops->openUpdate(path, &file, &created) != 0) return;
    (void)ops->writeAt(file, 0, bytes, length);
    (void)ops->close(file);
}

}  // namespace

void evChangeAlertAlone(const char *category, int32_t severity, int32_t retention, const char *text) {
    QmgrContext *context = &evContext;
    ConnectionSet *setC = &context->sets[EV_SET_C];
    int32_t held = evSuspendConsumer(context, setC);
    if (held == EV_SUSPEND_BUSY) return;
    {
        CSRecursiveGuard guard(gConsumerLock);
        // Not ready (or ending): the report waits for the next check.
        if (evRunState.ready.load() != 0 && evEndFlag.load() == 0) {
            if (text == nullptr) {
                (void)evAlertRemoveMatching("", 0, category, -1, "", 0, "", 0, 0);
            } else {
                AlertTemplate alert{};
                std::snprintf(alert.alert.category, sizeof alert.alert.category, "%s", category);
                alert.alert.severity = severity;
                alert.alert.time = evClockNow();
                alert.alert.retention = retention;
                evAlertSetText(&alert.alert, text, -1);
                char errorText[EV_CONFIG_TEXT + 2] = "";
                if (!evAlertAdd(&alert.alert, EV_ALERT_IF_NONE | EV_ALERT_PUBLISH, nullptr, errorText))
                    evOutput(EV_OUT_ERROR, errorText, -1, 1);
            }
            evKeepAlerts(context);
        }
    }
    if (held == EV_SUSPEND_HELD) evResumeConsumer(context, setC);
}

void evSetVersionUrl(const char *url) {
    if (url == nullptr) {
        versionUrl.store(kDefaultUrl);
        return;
    }
    std::snprintf(urlCopy, sizeof urlCopy, "%s", url);
    versionUrl.store(urlCopy);
}

const char *evVersionUrl() {
    return versionUrl.load();
}

EvHtmlToken evHtmlNextToken(const char **next, const char *end) {
    const char *p = *next;
    while (p < end && std::strchr(kBlanks, *p) != nullptr && *p != 0) p++;
    EvHtmlToken token{p, 0};
    if (p >= end) {
        *next = end;
        return token;
    }
    const char *q = p + 1;
    if (*p == '<') {
        // A tag runs to the '>' that closes it, nested (), <> and [] counted.
        int angle = 1, round = 0, square = 0;
        for (; q < end && angle > 0; q++) {
            char c = *q;
            if (c == '<') angle++;
            if (c == '>' && (angle > 1 || (round == 0 && square == 0))) angle--;
            if (c == '(') round++;
            if (c == ')' && round > 0) round--;
            if (c == '[') square++;
            if (c == ']' && square > 0) square--;
        }
    } else if (std::strchr(kSingles, *p) == nullptr || *p == 0) {
        while (q < end && *q != 0 && std::strchr(kBlanks, *q) == nullptr &&
               std::strchr(kSingles, *q) == nullptr)
            q++;
    }
    token.length = static_cast<size_t>(q - p);
    *next = q;
    return token;
}

int evParseVersion(const char *text, size_t length, int32_t *version, int32_t *release,
                   int32_t *modification) {
    int32_t parts[3];
    int found = 0;
    const char *next = text;
    for (EvHtmlToken token = evHtmlNextToken(&next, text + length); token.length != 0 && found < 3;
         token = evHtmlNextToken(&next, text + length)) {
        int32_t value = number(token);
        if (value >= 0) parts[found++] = value;
    }
    if (found < 3) return 0;
    *version = parts[0], *release = parts[1], *modification = parts[2];
    return 1;
}

int evParseBuildDate(const char *text, size_t length, int32_t *year, int32_t *month, int32_t *day) {
    const char *next = text;
    return readDate(&next, text + length, year, month, day);
}

namespace {

int parsePage(const char *page, size_t length, EvVersionRecord *record, char *errorText) {
    const char *end = page + length;
    char anchor[32];
    std::snprintf(anchor, sizeof anchor, "%s Program version", kProduct);
    const size_t anchorLength = std::strlen(anchor);
    const char *next = nullptr;
    for (const char *p = page; p + anchorLength <= end && next == nullptr; p++)
        if (std::memcmp(p, anchor, anchorLength) == 0) next = p + anchorLength;
    if (next == nullptr) return formatWrong(errorText);
    for (;;) {
        EvHtmlToken token = evHtmlNextToken(&next, end);
        if (token.length == 0) return formatWrong(errorText);
        if (isTag(token, "table")) break;
        if (equalNoCase(token.text, token.length, "date"))
            (void)readDate(&next, end, &record->webYear, &record->webMonth, &record->webDay);
    }
    Columns columns;
    TableRow row;
    for (;;) {
        EvHtmlToken token = evHtmlNextToken(&next, end);
        if (token.length == 0) return formatWrong(errorText);
        if (isTag(token, "/table")) break;
        if (!isTag(token, "tr")) continue;
        if (!tableRow(&next, end, &row)) return formatWrong(errorText);
        if (row.header) {
            columns = Columns{};
            for (int i = 0; i < row.count; i++) {
                const char *cell = row.cells[i];
                if (equalNoCase(cell, std::strlen(cell), "Platform")) columns.platform = i;
                if (equalNoCase(cell, std::strlen(cell), "Version")) columns.version = i;
                if (equalNoCase(cell, std::strlen(cell), "Date")) columns.date = i;
            }
        } else if (!record->found) {
            readPlatformRow(&row, &columns, record);
        }
    }
    if (record->found) return 1;
    std::snprintf(errorText, EV_HTTP_ERROR_MAX, "%s", kWho);
    return 0;
}

}  // namespace

int evParseVersionPage(const char *page, size_t length, EvVersionRecord *record, char *errorText) {
    // A page that goes wrong after its platform row gives no version either.
    if (parsePage(page, length, record, errorText)) return 1;
    record->found = 0;
    return 0;
}

void evWebDebugDump(const EvHttpBuffer *buffer) {
    const char *folder = std::getenv("ZUNT_WEB_DEBUG");
    if (folder == nullptr || folder[0] == 0 || buffer->data == nullptr) return;
    char path[1100];
    std::snprintf(path, sizeof path, "%s/%s", folder, kDebugFile);
    writeDebugFile(path, buffer->data + buffer->headerLength, buffer->length - buffer->headerLength);
}

int evWebVersionCheck(EvVersionRecord *record, char *errorText) {
    *record = EvVersionRecord{};
    errorText[0] = 0;
    (void)evParseVersion(evVersionText, sizeof evVersionText - 1, &record->version, &record->release,
                         &record->modification);
    (void)evParseBuildDate(evBuildDateText, sizeof evBuildDateText - 1, &record->year, &record->month,
                           &record->day);
    EvHttpBuffer buffer{};
    if (!evHttpGet(evVersionUrl(), &buffer, errorText)) {
        evHttpFree(&buffer);
        return 0;
    }
    record->pageRead = 1;
    evWebDebugDump(&buffer);
    int ok = statusOk(&buffer, errorText) &&
             evParseVersionPage(reinterpret_cast<const char *>(buffer.data) + buffer.headerLength,
                                buffer.length - buffer.headerLength, record, errorText);
    evHttpFree(&buffer);
    if (ok) evCompareVersions(record);
    return ok;
}

const char *evVersionVerdict(const EvVersionRecord *record) {
    int byVersion = versionOrder(record);
    if (byVersion > 0) return "A later version of ZUNT is available.";
    if (byVersion < 0) return "You are using a more recent version than is available for download.";
    int byDate = dateOrder(record);
    if (byDate > 0) return "A later build of this ZUNT version is available.";
    if (byDate < 0) return "You are using a more recent build than is available for download.";
    return "Your version of ZUNT is up to date.";
}

void evVersionReportResult(const EvVersionRecord *record, const char *errorText) {
    const int32_t check = evSettings.versionCheck.load();
    if (check == EV_VERCHECK_NO) return;
    if (record->found) {
        bool remove = record->upToDate || (record->equalVersion && check == EV_VERCHECK_VERSION);
        changeAlerts(remove, evVersionVerdict(record));
    } else {
        changeAlerts(false, errorText[0] != 0 ? errorText : "Problem accessing Web Page");
    }
}

void evVersionCheckReport() {
    if (evSettings.versionCheck.load() == EV_VERCHECK_NO) return;
    EvVersionRecord record{};
    char errorText[EV_HTTP_ERROR_MAX] = "";
    (void)evWebVersionCheck(&record, errorText);
    evVersionReportResult(&record, errorText);
}

void evVersionCheckThread(void *argument) {
    auto *wake = static_cast<CSEvent *>(argument);
    uint32_t wait = (evDebugFlags.load() & EV_DBG_v) ? kQuickFirstWaitMs : kFirstWaitMs;
    while (CSWaitEvent(wake, wait) == CS_WAIT_TIMEOUT && evEndFlag.load() == 0) {
        evVersionCheckReport();
        wait = kDailyWaitMs;
    }
}

void evStartVersionCheck() {
    // The event lives as long as the process: a thread given up on at a stop may still wait on it.
    if (wakeEvent == nullptr) wakeEvent = CSCreateEvent();
    // Without its wake event the thread could not be ended: there is no check.
    if (wakeEvent == nullptr) return;
    (void)CSWaitEvent(wakeEvent, 0);  // a wake-up left from an earlier stop
    if (!CSStartThread(evVersionCheckThread, wakeEvent, &versionThread)) {
        versionThread = nullptr;
        // A process that cannot start a thread will not get far: the start ends, saying why.
        evOutputF(EV_OUT_ERROR, 1, "Version check thread could not be started: %s", std::strerror(errno));
        evEndWith(EV_EXIT_START);
    }
}

void evStopVersionCheck() {
    if (wakeEvent == nullptr || versionThread == nullptr) return;
    CSSetEvent(wakeEvent);
    // A check under way (a slow connect or receive) is not waited for beyond this: it ends with the
    // process, and changes nothing once the end flag is set.
    (void)CSJoinThread(versionThread, kStopWaitMs);
    versionThread = nullptr;
}
