// Reading MQSC response texts: which messages are display responses, the attributes of a response
// one token at a time, and UTC times shown in local time.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "console/internal.h"

namespace {

const char *const kAmq8Displays[] = {"096", "099", "276", "407", "408", "409", "414", "417", "441",
                                     "450", "550", "566", "629", "630", "631", "632", "633", "705",
                                     "723", "754", "861", "864", "865", "878", "932"};
const char *const kCsqmDisplays[] = {"400", "401", "402", "403", "406", "407", "408", "409", "410", "411",
                                     "412", "413", "415", "416", "417", "418", "420", "421", "422", "423",
                                     "425", "427", "428", "430", "431", "437", "438", "439", "440", "441",
                                     "442", "443", "444", "445", "446", "451", "453", "454"};
const char *const kWholeTexts[] = {"CSQM134I", "CSQM123I", "CSQM138I", "CSQM094I", "Responses incomplete:"};
const char *const kListKeywords[] = {"NAMES",   "MSGEXIT",  "MSGDATA",  "RCVEXIT",
                                     "RCVDATA", "SENDEXIT", "SENDDATA", "TPIPE"};
constexpr char kUtcPattern[] = "nnnn-nn-nn nn:nn:nn (UTC)";

// ':' right after the digits or after one more character.
bool colonAfter(const char *text, size_t length, size_t at) {
    return (at < length && text[at] == ':') || (at + 1 < length && text[at + 1] == ':');
}

bool inTable(const char *digits, const char *const *table, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (std::strncmp(digits, table[i], 3) == 0) return true;
    return false;
}

// A message identifier at the text: three or four letters, four digits, an optional letter, ':'.
size_t messageIdLength(const char *text, size_t length) {
    size_t n = 0;
    while (n < length && n < 4 && std::isupper(static_cast<unsigned char>(text[n]))) ++n;
    if (n < 3) return 0;
    size_t digits = 0;
    while (n < length && std::isdigit(static_cast<unsigned char>(text[n])) && digits < 4) ++n, ++digits;
    if (digits != 4) return 0;
    if (n < length && std::isupper(static_cast<unsigned char>(text[n]))) ++n;
    return n < length && text[n] == ':' ? n + 1 : 0;
}

bool isListKeyword(const char *word, size_t length) {
    for (const char *k : kListKeywords)
        if (std::strlen(k) == length && std::strncmp(k, word, length) == 0) return true;
    return false;
}

struct Out {
    char *text;
    size_t size;
    size_t used;
    void put(char c) {
        if (used + 1 < size) text[used++] = c;
        text[used] = '\0';
    }
};

// A description's blanks after its '(' are characters of it: a DESCR may start with blanks, and
// the reply keeps them (DESCR( lead)). Other values lose theirs (QTIME( , ), a list's items).
bool keepsLeadingBlanks(const char *keyword, size_t length) {
    return length == 5 && std::strncmp(keyword, "DESCR", 5) == 0;
}

// The value from the cursor to a top-level ',' of a list (kept) or the closing ')' (kept). 1 when
// the value ended.
int copyValue(CslAttrCursor *cur, Out *out, bool list, bool keepLeading = false) {
    int depth = 0;
    size_t start = out->used;
    while (cur->at < cur->length) {
        const bool last = cur->at == cur->valueEnd;
        char c = cur->text[cur->at++];
        if (c == '\r' || c == '\n') c = ' ';
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (last) {
            while (out->used > start + 1 && out->text[out->used - 1] == ' ') --out->used;
            out->put(')');
            return 1;
        }
        if (c == ' ' && out->used == start && !keepLeading) {
            // blanks after '(' go, except the one a value of blanks only keeps
            bool allBlank = true;
            for (size_t i = cur->at; i < cur->length && cur->text[i] != ')'; ++i)
                if (cur->text[i] != ' ') allBlank = false;
            if (!allBlank) continue;
        }
        out->put(c);
        if (c == ',' && list && depth == 0) return 0;
    }
    return 1;
}

}  // namespace

int cslClassifyResponse(const char *text, size_t length) {
    if (length >= 8 && std::strncmp(text, "AMQ8", 4) == 0 && colonAfter(text, length, 7))
        return inTable(text + 4, kAmq8Displays, sizeof kAmq8Displays / sizeof *kAmq8Displays);
    if (length >= 8 && std::strncmp(text, "AMQ9086", 7) == 0) return colonAfter(text, length, 7);
    if (length >= 8 && std::strncmp(text, "CSQM", 4) == 0 && text[7] == 'I')
        return inTable(text + 4, kCsqmDisplays, sizeof kCsqmDisplays / sizeof *kCsqmDisplays);
    return 0;
}

int cslParseResponseAttrs(CslAttrCursor *cur, char *token, size_t size, size_t *tokenLength, int *keyword) {
    Out out{token, size, 0};
    token[0] = '\0';
    *keyword = 1;
    if (cur->at == 0) {
        for (const char *whole : kWholeTexts) {
            // The closing line of a statistics display cut short is a sentence, not attributes.
            const size_t n = std::strlen(whole) < 8 ? 8 : std::strlen(whole);
            if (cur->length >= n && std::strncmp(cur->text, whole, n) == 0) {
                for (size_t i = 0; i < cur->length; ++i) out.put(cur->text[i]);
                cur->at = cur->length;
                *keyword = 0;
                *tokenLength = out.used;
                return 1;
            }
        }
    }
    if (cur->inList) {
        if (copyValue(cur, &out, true)) cur->inList = 0;
        *tokenLength = out.used;
        return 1;
    }
    while (cur->at < cur->length && std::strchr(" \r\n)", cur->text[cur->at]) != nullptr) ++cur->at;
    if (cur->at >= cur->length) return 0;
    const char *at = cur->text + cur->at;
    const size_t left = cur->length - cur->at;
    if (messageIdLength(at, left) > 0) {
        size_t n = 0;
        while (n < left && at[n] != '\n' && at[n] != '\r') out.put(at[n++]);
        while (out.used > 0 && out.text[out.used - 1] == ' ') --out.used;
        out.text[out.used] = '\0';
        cur->at += n;
        *keyword = 0;
        *tokenLength = out.used;
        return 1;
    }
    size_t start = cur->at;
    while (cur->at < cur->length && std::strchr(" \r\n(", cur->text[cur->at]) == nullptr) {
        if (cur->text[cur->at] == '[') {
            while (cur->at < cur->length && cur->text[cur->at] != ']') out.put(cur->text[cur->at++]);
        }
        if (cur->at < cur->length) out.put(cur->text[cur->at++]);
    }
    if (cur->at < cur->length && cur->text[cur->at] == '(') {
        const bool list = !cur->wholeLists && isListKeyword(cur->text + start, cur->at - start);
        const bool keepLeading = keepsLeadingBlanks(cur->text + start, cur->at - start);
        out.put('(');
        ++cur->at;
        // A value ends at the ')' after which the entry reads on as attributes: a bracket in it
        // needs no pair.
        const char *close = scanReplyValueEnd(cur->text, cur->text + cur->length, cur->text + cur->at);
        cur->valueEnd = close != nullptr ? static_cast<size_t>(close - cur->text) : cur->length;
        if (!copyValue(cur, &out, list, keepLeading)) cur->inList = 1;
    }
    *tokenLength = out.used;
    return 1;
}

int cslFormatUtcDate(const char *token, size_t length, char *out, size_t size) {
    const char *open = static_cast<const char *>(std::memchr(token, '(', length));
    if (open == nullptr) return 0;
    const int keyword = static_cast<int>(open - token + 1);
    const char *value = open + 1;
    const size_t valueLength = length - static_cast<size_t>(keyword);
    constexpr size_t pattern = sizeof kUtcPattern - 1;
    if (valueLength < pattern) return 0;
    for (size_t i = 0; i < 19; ++i) {
        char p = kUtcPattern[i];
        if (p == 'n' ? !std::isdigit(static_cast<unsigned char>(value[i])) : (p != ' ' && value[i] != p))
            return 0;
    }
    EvCivilTime civil{};
    char date[20];
    std::memcpy(date, value, 19);
    date[19] = '\0';
    int64_t seconds = 0;
    EvLocalTime local;
    if (std::sscanf(date, "%d-%d-%d %d:%d:%d", &civil.year, &civil.month, &civil.day, &civil.hour,
                    &civil.minute, &civil.second) != 6 ||
        !evCivilToTime(&civil, 0, &seconds) || !evLocalTimeFields(seconds, &local)) {
        std::snprintf(out, size, "%.*s?)", keyword, token);
        return 1;
    }
    std::snprintf(out, size, "%.*s%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d (Local))", keyword, token,
                  local.year % 10000, local.month % 100, local.day % 100, local.hour % 100,
                  local.minute % 100, local.second % 100);
    return 1;
}
