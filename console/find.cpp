// The find command "/text/suffixes": a search of the output buffer forward or backward from the
// cursor, wrapping round the buffer (or round one command's lines), with its answer on the
// message line.
#include <strings.h>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/internal.h"

namespace {

constexpr size_t kFindTooLong = 200;

bool isEchoLine(const cslOutputLine *line) {
    uint32_t base = line->kind & ~(CSL_LINE_HIDDEN | CSL_LINE_NOT_IN_FILE);
    return base == CSL_LINE_ECHO || base == CSL_LINE_ECHO_HIDDEN;
}

void message(cslSession *session, const char *text) {
    char full[CSL_STATUS_TEXT_MAX + 1];
    std::snprintf(full, sizeof full, "%s%s", text,
                  (session->findFlags & CSL_FIND_SINGLE) != 0 ? " (single command)" : "");
    cslSetStatus(session, full);
}

struct Search {
    cslSession *session;
    const char *needle;
    size_t length;
    bool exactCase;
};

bool searchable(const Search &s, const cslOutputLine *line) {
    if (s.session->separator == CSL_SEP_MESSAGE) return true;
    uint32_t base = line->kind & ~(CSL_LINE_HIDDEN | CSL_LINE_NOT_IN_FILE);
    return base != CSL_LINE_HEADER && base != CSL_LINE_SEPARATOR;
}

bool matchAt(const Search &s, const cslOutputLine *line, int64_t at) {
    const char *text = cslLineText(line) + at;
    return s.exactCase ? std::memcmp(text, s.needle, s.length) == 0
                       : strncasecmp(text, s.needle, s.length) == 0;
}

// The first match at a position in [from, to], or -1.
int64_t firstMatch(const Search &s, const cslOutputLine *line, int64_t from, int64_t to) {
    int64_t last = static_cast<int64_t>(line->length) - static_cast<int64_t>(s.length);
    if (to > last) to = last;
    for (int64_t at = from < 0 ? 0 : from; at <= to; ++at)
        if (matchAt(s, line, at)) return at;
    return -1;
}

// The last match at a position in [from, to], or -1.
int64_t lastMatch(const Search &s, const cslOutputLine *line, int64_t from, int64_t to) {
    int64_t last = static_cast<int64_t>(line->length) - static_cast<int64_t>(s.length);
    if (to > last) to = last;
    if (from < 0) from = 0;
    for (int64_t at = to; at >= from; --at)
        if (matchAt(s, line, at)) return at;
    return -1;
}

// The echo line that starts the command of a line, and the command's last line.
const cslOutputLine *commandStart(const cslOutputList *list, const cslOutputLine *line) {
    for (const cslOutputLine *l = line; l != nullptr; l = l->previous)
        if (isEchoLine(l)) return l;
    return list->oldest;
}
const cslOutputLine *commandEnd(const cslOutputList *list, const cslOutputLine *echo) {
    const cslOutputLine *l = echo;
    while (l->next != nullptr && !isEchoLine(l->next)) l = l->next;
    return l != nullptr ? l : list->newest;
}

// Keeps the hit at least a quarter of the screen (at most 6 rows) away from the output area's edges.
void scrollTo(cslSession *session, cslOutputList *list, const cslOutputLine *line, uint32_t column) {
    const int64_t total = list->totalRows;
    const int64_t height = session->screenHeight;
    const int64_t margin = height / 4 < 6 ? height / 4 : 6;
    int64_t width =
        session->screenWidth <= 0 || session->screenWidth >= CSL_UNLIMITED_WIDTH ? 0 : session->screenWidth;
    int64_t hitRow =
        static_cast<int64_t>(line->firstRow - list->oldest->firstRow) + (width > 0 ? column / width : 0);
    int64_t bottom = total - static_cast<int64_t>(list->scrolledBack);
    if (hitRow < bottom - height + margin)
        bottom = hitRow - margin + height;
    else if (hitRow >= bottom - margin)
        bottom = hitRow + margin + 1;
    int64_t lowest = height < total ? height : total;
    if (bottom < lowest) bottom = lowest;
    if (bottom > total) bottom = total;
    list->scrolledBack = static_cast<uint32_t>(total - bottom);
}

int hit(cslSession *session, cslOutputList *list, const cslOutputLine *line, int64_t at, size_t length,
        bool wrapped) {
    session->findLine = const_cast<cslOutputLine *>(line);
    session->findColumn = static_cast<uint32_t>(at + static_cast<int64_t>(length));
    scrollTo(session, list, line, static_cast<uint32_t>(at));
    if (wrapped)
        message(session, "Wrapped...");
    else
        cslSetStatus(session, "");
    return 1;
}

int searchForward(cslSession *session, cslOutputList *list, const Search &s, const cslOutputLine *startLine,
                  int64_t startColumn) {
    const bool single = (session->findFlags & CSL_FIND_SINGLE) != 0;
    const cslOutputLine *echo = commandStart(list, startLine);
    const cslOutputLine *line = startLine;
    int64_t from = startColumn;
    bool wrapped = false;
    for (;;) {
        const bool back = wrapped && line == startLine;
        if (searchable(s, line)) {
            int64_t to = back ? startColumn - static_cast<int64_t>(s.length) : INT64_MAX;
            int64_t at = firstMatch(s, line, from, to);
            if (at >= 0) {
                if (back && at + static_cast<int64_t>(s.length) == startColumn) {
                    message(session, "Only one instance found");
                    return 0;
                }
                return hit(session, list, line, at, s.length, wrapped);
            }
        }
        if (back) {
            message(session, "String not found");
            return 0;
        }
        const cslOutputLine *next = line->next;
        if (single && (next == nullptr || isEchoLine(next))) {
            next = echo;
            wrapped = true;
        } else if (next == nullptr) {
            next = list->oldest;
            wrapped = true;
        }
        line = next;
        from = 0;
    }
}

int searchBackward(cslSession *session, cslOutputList *list, const Search &s, const cslOutputLine *startLine,
                   int64_t startColumn) {
    const bool single = (session->findFlags & CSL_FIND_SINGLE) != 0;
    const cslOutputLine *echo = commandStart(list, startLine);
    const cslOutputLine *last = commandEnd(list, echo);
    const cslOutputLine *line = startLine;
    int64_t to = startColumn;
    bool wrapped = false;
    for (;;) {
        const bool back = wrapped && line == startLine;
        if (searchable(s, line)) {
            int64_t at = lastMatch(s, line, back ? startColumn + 1 : 0, to);
            if (at >= 0) {
                if (back && at == startColumn + 1) {
                    message(session, "Only one instance found");
                    return 0;
                }
                return hit(session, list, line, at, s.length, wrapped);
            }
        }
        if (back) {
            message(session, "String not found");
            return 0;
        }
        const cslOutputLine *next = line->previous;
        if (single && line == echo) {
            next = last;
            wrapped = true;
        } else if (next == nullptr) {
            next = list->newest;
            wrapped = true;
        }
        line = next;
        to = INT64_MAX;
    }
}

}  // namespace

int cslParseFind(cslSession *session, const char *text) {
    const char *slash = std::strchr(text, '/');
    if (slash == nullptr) {
        cslSetStatus(session, "No find string given");
        return 0;
    }
    const char *start = slash + 1;
    const char *end = std::strchr(start, '/');
    size_t length = end != nullptr ? static_cast<size_t>(end - start) : std::strlen(start);
    uint32_t flags = 0;
    if (end != nullptr) {
        for (const char *c = end + 1; *c != '\0'; ++c) {
            if (*c == 'c')
                flags |= CSL_FIND_CASE;
            else if (*c == 's')
                flags |= CSL_FIND_SINGLE;
            else if (*c == '-')
                flags |= CSL_FIND_BACKWARDS;
            else {
                char error[64];
                std::snprintf(error, sizeof error, "Unrecognised find command suffix '%c'", *c);
                cslSetStatus(session, error);
                return 0;
            }
        }
    }
    if (length >= kFindTooLong) {
        cslSetStatus(session, "Find string too long");
        return 0;
    }
    {
        CSRecursiveGuard guard(session->displayLock);
        std::memcpy(session->findText, start, length);
        session->findText[length] = '\0';
        session->findLength = static_cast<uint32_t>(length);
        session->findFlags = flags;
    }
    int found = cslFind(session);
    if (found) cslClearInputLine(session);
    return found;
}

int cslFind(cslSession *session) {
    CSRecursiveGuard guard(session->displayLock);
    if (session->findLength == 0) {
        message(session, "No find string entered");
        return 0;
    }
    cslOutputList *list = cslMainList(session);
    const Search s{session, session->findText, session->findLength,
                   (session->findFlags & CSL_FIND_CASE) != 0};
    const bool backwards = (session->findFlags & CSL_FIND_BACKWARDS) != 0;
    const cslOutputLine *line = session->findLine;
    int64_t column = session->findColumn;
    if (line != nullptr) {
        if (backwards) column -= static_cast<int64_t>(s.length) + 1;
    } else if (backwards) {
        line = list->newest;
        column = line != nullptr ? static_cast<int64_t>(line->length) : 0;
    } else if ((session->findFlags & CSL_FIND_SINGLE) != 0) {
        line = list->newest != nullptr ? commandStart(list, list->newest) : nullptr;
        column = 0;
    } else {
        line = list->oldest;
        column = 0;
    }
    if (line == nullptr) {
        message(session, "No data to search");
        return 0;
    }
    return backwards ? searchBackward(session, list, s, line, column)
                     : searchForward(session, list, s, line, column);
}
