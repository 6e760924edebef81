// The names expressions may use, from the subsystems that know them: MQ constants from mqi/, event,
// alert and MQMD fields from the command tables, and a script's functions and data keywords from
// the script slots (which know no name while the script interpreter is not built).
#include <string_view>

#include "engine/engine.h"

namespace {

int constant(const char *name, size_t length, int32_t *value) {
    const evConstEntry *entry = evConstFind(std::string_view(name, length));
    if (entry == nullptr) return 0;
    *value = static_cast<int32_t>(entry->value);
    return 1;
}

// Rows whose value is not held in the record but computed by its reader cannot be referred to.
ExpFieldAnswer lookUp(const evParmDef *table, const char *name, size_t length, bool markConstructed) {
    const evParmDef *row = evFindField(table, name, length, EV_FIELD_FIELDS_ONLY, nullptr);
    if (row == nullptr) return EXP_FIELD_UNKNOWN;
    if (markConstructed && row->recordOffset == -2) return EXP_FIELD_CONSTRUCTED;
    return EXP_FIELD_FOUND;
}

ExpFieldAnswer eventField(const char *name, size_t length) {
    return lookUp(evEventsParmTable, name, length, false);
}

ExpFieldAnswer alertField(const char *name, size_t length) {
    return lookUp(evAlertParmTable, name, length, true);
}

ExpFieldAnswer mqmdField(const char *name, size_t length) {
    return lookUp(evMqmdFieldTable, name, length, true);
}

const ExpOperator *findFunction(void *program, const char *name, size_t length) {
    auto find = evServices.findFunction;
    return find != nullptr ? find(program, name, length) : nullptr;
}

int dataKeyword(const char *name, size_t length, uint16_t indicator) {
    auto lookup = evServices.lookupKeyword;
    return lookup != nullptr ? lookup(name, length, indicator) : 0;
}

}  // namespace

void evInstallCatalogue() {
    ExpCatalogue catalogue{};
    catalogue.constant = constant;
    catalogue.prepare = InitialiseCommandFields;
    catalogue.eventField = eventField;
    catalogue.alertField = alertField;
    catalogue.mqmdField = mqmdField;
    catalogue.findFunction = findFunction;
    catalogue.dataKeyword = dataKeyword;
    expSetCatalogue(&catalogue);
}
