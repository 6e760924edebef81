// The lookup of a console command line's verb and object keyword in the console's MQSC command
// table: which rows apply depends on what the console talks to (a queue manager's command server,
// the event processor's command queue, a channel table) and on what the connected queue manager
// supports.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "config/internal.h"

namespace {

bool kindOffered(const cslCommandView *view, uint8_t kind) {
    if (view->channelTable) return kind == CSL_KIND_CHLTAB || kind == CSL_KIND_LOCAL;
    if (view->ownQueue) return kind == CSL_KIND_LOCAL || kind == CSL_KIND_ZUNT;
    return kind == CSL_KIND_MQ || kind == CSL_KIND_CHLTAB || kind == CSL_KIND_LOCAL;
}

bool flagSet(const QmgrCapabilities *caps, uint16_t index) {
    return index < EV_QMGR_CAPABILITIES && caps->flag[index] != 0;
}

bool capable(const cslCommandView *view, const cslMqscCommand *row) {
    const QmgrCapabilities *caps = view->flags;
    if (!caps) return true;
    for (uint16_t need : row->required)
        if (need != 0 && !flagSet(caps, need)) return false;
    return row->forbidden == 0 || !flagSet(caps, row->forbidden);
}

// A token names a form when it is as long and equal ignoring case. An empty token names nothing:
// an empty short form is no form.
bool names(std::string_view token, const char *form) {
    if (token.empty() || !form || std::strlen(form) != token.size()) return false;
    for (size_t i = 0; i < token.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(token[i])) !=
            std::toupper(static_cast<unsigned char>(form[i])))
            return false;
    return true;
}

}  // namespace

const cslMqscCommand *cslFindMqscCommand(const cslCommandView *view, std::string_view verb,
                                         std::string_view object, char *message) {
    bool verbKnown = false;
    for (const cslMqscCommand *row = cslMqscCommandTable; row->verb; ++row) {
        if (!kindOffered(view, row->kind) || !capable(view, row)) continue;
        if (!names(verb, row->verb) && !names(verb, row->shortVerb)) continue;
        verbKnown = true;
        if (row->object[0] == '\0' || object.empty() || names(object, row->object) ||
            names(object, row->shortObject))
            return row;
    }
    if (verbKnown) {
        const int shown = object.size() > 46 ? 46 : static_cast<int>(object.size());
        std::snprintf(message, CSL_LOOKUP_MESSAGE, "Object type '%.*s%s' not recognised", shown,
                      object.data(), object.size() > 46 ? "..." : "");
    } else {
        std::snprintf(message, CSL_LOOKUP_MESSAGE, "Command not recognised");
    }
    return nullptr;
}
