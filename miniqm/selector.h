// Message selectors: the SQL92-based selection strings of MQOPEN and MQSUB (comparisons,
// arithmetic, AND/OR/NOT with three-valued logic, BETWEEN, IN, LIKE with ESCAPE, IS [NOT] NULL),
// compiled once and evaluated against each message's properties and descriptor fields.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mqi/cmqc.h"

namespace qmsel {

// A value an identifier or a literal stands for. Null is a missing property (SQL's unknown).
enum class Kind : uint8_t { Null, Bool, Int, Float, Str, Bytes };

struct Value {
    Kind kind = Kind::Null;
    bool b = false;
    int64_t i = 0;
    double d = 0;
    std::string s;          // Str: UTF-8 text; Bytes: the bytes; a hexadecimal Int literal: its bytes
    bool hexBytes = false;  // an Int written 0x... with whole bytes, which also compares as a byte string
    static Value boolean(bool v) {
        Value x;
        x.kind = Kind::Bool;
        x.b = v;
        return x;
    }
    static Value integer(int64_t v) {
        Value x;
        x.kind = Kind::Int;
        x.i = v;
        return x;
    }
    static Value real(double v) {
        Value x;
        x.kind = Kind::Float;
        x.d = v;
        return x;
    }
    static Value string(std::string v) {
        Value x;
        x.kind = Kind::Str;
        x.s = std::move(v);
        return x;
    }
    static Value bytes(std::string v) {
        Value x;
        x.kind = Kind::Bytes;
        x.s = std::move(v);
        return x;
    }
};

// Supplies an identifier's value (Value{} when there is no such property).
using Lookup = std::function<Value(std::string_view name)>;

// The result of a condition: true, false or unknown.
enum class Truth : uint8_t { False, True, Unknown };

// Nesting deeper than this (parentheses, NOT, unary signs) is refused as a syntax error, so that
// neither compiling nor evaluating can exhaust the stack on hostile text.
constexpr int kMaxNesting = 100;

struct Node;

class Selector {
public:
    Selector();
    ~Selector();
    Selector(Selector &&) noexcept;
    Selector &operator=(Selector &&) noexcept;

    // MQRC_NONE or MQRC_SELECTOR_SYNTAX_ERROR. Blank text compiles to "no selection".
    MQLONG compile(std::string_view text);
    // No selection at all (blank text): every message matches.
    bool empty() const { return root_ < 0; }
    // Whether the selector names no identifier, so that its value is known without a message.
    bool constant() const { return !empty() && !usesIdentifiers_; }
    Truth evaluate(const Lookup &lookup) const;
    bool matches(const Lookup &lookup) const { return empty() || evaluate(lookup) == Truth::True; }
    const std::string &text() const { return text_; }

private:
    std::string text_;
    std::vector<Node> nodes_;
    int root_ = -1;
    bool usesIdentifiers_ = false;
};

// A selection string as MQOPEN and MQSUB present it: MQRC_NONE with out set, or left empty when
// nothing is to be selected (blank text, or a selector true whatever the message);
// MQRC_SELECTOR_SYNTAX_ERROR; MQRC_SELECTOR_ALWAYS_FALSE when it is false whatever the message.
MQLONG prepare(std::string_view text, std::shared_ptr<const Selector> &out);

// Whether a message matches: identifiers are its properties (encoded as qmprops::PropertyList
// encodes them) and, as Root.MQMD.<Field>, its descriptor's fields.
bool matchesMessage(const Selector &sel, const MQMD &md, std::string_view encodedProps);
// The value of one identifier for a message (Value{} when it has no such property or field).
Value messageValue(std::string_view name, const MQMD &md, std::string_view encodedProps);

}  // namespace qmsel
