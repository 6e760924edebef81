// Fuzz target: selection strings as an MQOPEN or MQSUB would present them, compiled and, when
// accepted, evaluated against values of every kind. Identifiers get their kind from their first
// letter, so that every operator meets every operand type, missing values included.
#include <cstdint>
#include <string>
#include <string_view>

#include "miniqm/selector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

qmsel::Value fuzzValue(std::string_view name) {
    switch (name.empty() ? 'n' : name[0]) {
        case 'i':
            return qmsel::Value::integer(static_cast<int64_t>(name.size()) - 3);
        case 'm':
            return qmsel::Value::integer(INT64_MIN);
        case 'f':
            return qmsel::Value::real(2.5);
        case 's':
            return qmsel::Value::string(std::string(name));
        case 'b':
            return qmsel::Value::boolean(name.size() % 2 == 0);
        case 'x':
            return qmsel::Value::bytes(std::string(name.substr(1)));
        default:
            return qmsel::Value{};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    qmsel::Selector sel;
    if (sel.compile(text) == MQRC_NONE) {
        sel.evaluate(fuzzValue);
        sel.matches([](std::string_view) { return qmsel::Value{}; });
    }
    std::shared_ptr<const qmsel::Selector> prepared;
    qmsel::prepare(text, prepared);
    return 0;
}
