// Message selectors: text -> tokens -> a tree of nodes in one vector -> evaluation with SQL's
// three-valued logic. Keywords are case-insensitive, identifiers case-sensitive; comparing values
// of unlike types is false, and anything involving a missing property is unknown.
#include "miniqm/selector.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace qmsel {

// Static types, for the checks the grammar makes while compiling: Any is an identifier (known
// only per message), Hex a 0x... literal (a number or a byte string).
enum class SType : uint8_t { Bool, Num, Str, Bytes, Hex, Any };

enum class Op : uint8_t { Lit, Ident, Neg, Sum, Prod, Cmp, Between, In, Like, IsNull, Not, And, Or };
enum Cmp : uint8_t { EQ, NE, LT, LE, GT, GE };

// One LIKE pattern element: a literal character (its UTF-8 bytes), '_' or '%'.
struct LikeItem {
    enum : uint8_t { Char, One, Many } kind;
    std::string ch;
};

struct Node {
    Op op = Op::Lit;
    uint8_t cmp = EQ;
    bool negated = false;  // NOT BETWEEN, NOT IN, NOT LIKE, IS NOT NULL
    SType type = SType::Any;
    Value lit;         // Lit
    std::string name;  // Ident
    std::vector<int> kids;
    std::vector<char> ops;          // Sum and Prod: the operator before each kid after the first
    std::vector<std::string> list;  // In
    std::vector<LikeItem> pattern;  // Like
};

namespace {

// ---- tokens ----

enum class Tok : uint8_t {
    End,
    Ident,
    Str,
    Int,
    Float,
    Hex,
    LParen,
    RParen,
    Comma,
    Plus,
    Minus,
    Star,
    Slash,
    Eq,
    Ne,
    Lt,
    Le,
    Gt,
    Ge,
    And,
    Or,
    Not,
    Between,
    Like,
    In,
    Is,
    Null,
    True,
    False,
    Escape
};

struct Token {
    Tok tok = Tok::End;
    std::string text;        // Ident: the name; Str: the unquoted text; Hex: the bytes
    uint64_t magnitude = 0;  // Int: the value without sign (may be 2^63, legal only after '-')
    double real = 0;
    bool hexFits = false;   // Hex: fits 64 bits (then magnitude holds it)
    bool hexWhole = false;  // Hex: an even number of digits
};

bool identStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c >= 0x80;
}
bool identPart(unsigned char c) {
    return identStart(c) || (c >= '0' && c <= '9');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool sameWord(std::string_view a, const char *upperWord) {
    size_t n = std::strlen(upperWord);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c != upperWord[i]) return false;
    }
    return true;
}

constexpr struct {
    const char *word;
    Tok tok;
} kKeywords[] = {{"AND", Tok::And},         {"OR", Tok::Or},        {"NOT", Tok::Not},
                 {"BETWEEN", Tok::Between}, {"LIKE", Tok::Like},    {"IN", Tok::In},
                 {"IS", Tok::Is},           {"NULL", Tok::Null},    {"TRUE", Tok::True},
                 {"FALSE", Tok::False},     {"ESCAPE", Tok::Escape}};

// A number starting at s[pos]; false on a malformed one.
bool lexNumber(std::string_view s, size_t &pos, Token &t) {
    size_t start = pos;
    if (s[pos] == '0' && pos + 1 < s.size() && (s[pos + 1] == 'x' || s[pos + 1] == 'X')) {
        pos += 2;
        size_t digits = pos;
        while (pos < s.size() && hexValue(s[pos]) >= 0) ++pos;
        size_t n = pos - digits;
        if (n == 0) return false;
        t.tok = Tok::Hex;
        t.hexWhole = n % 2 == 0;
        // Leading zero digits do not count against the 64 bits.
        size_t firstSignificant = digits;
        while (firstSignificant < pos && s[firstSignificant] == '0') ++firstSignificant;
        t.hexFits = pos - firstSignificant <= 16;
        for (size_t i = digits; i < pos; ++i) {
            if (t.hexFits) t.magnitude = t.magnitude << 4 | static_cast<uint64_t>(hexValue(s[i]));
            if (t.hexWhole && (i - digits) % 2 == 1)
                t.text += static_cast<char>(hexValue(s[i - 1]) << 4 | hexValue(s[i]));
        }
        if (!t.hexFits && !t.hexWhole) return false;  // neither a number nor a byte string
        return true;
    }
    while (pos < s.size() && isDigit(s[pos])) ++pos;
    bool real = false;
    if (pos < s.size() && s[pos] == '.') {
        real = true;
        ++pos;
        while (pos < s.size() && isDigit(s[pos])) ++pos;
    }
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        real = true;
        size_t e = pos + 1;
        if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
        if (e >= s.size() || !isDigit(s[e])) return false;
        pos = e;
        while (pos < s.size() && isDigit(s[pos])) ++pos;
    }
    std::string_view body = s.substr(start, pos - start);
    if (pos < s.size() && (s[pos] == 'f' || s[pos] == 'F' || s[pos] == 'd' || s[pos] == 'D')) {
        real = true;
        ++pos;
    } else if (!real && pos < s.size() && (s[pos] == 'l' || s[pos] == 'L')) {
        ++pos;
    }
    if (real) {
        if (body == ".") return false;
        std::string copy(body);  // from_chars wants digits before or after the point
        if (copy.front() == '.') copy.insert(copy.begin(), '0');
        if (copy.back() == '.') copy.push_back('0');
        double d = 0;
        auto [end, ec] = std::from_chars(copy.data(), copy.data() + copy.size(), d);
        if (end != copy.data() + copy.size() || (ec != std::errc() && ec != std::errc::result_out_of_range))
            return false;
        if (ec == std::errc::result_out_of_range && std::fabs(d) > 1) return false;  // beyond a double
        t.tok = Tok::Float;
        t.real = d;
        return true;
    }
    // A leading zero makes an octal number: 0177 is 127, and 09 is an error.
    int base = body.size() > 1 && body[0] == '0' ? 8 : 10;
    if (base == 8) body.remove_prefix(1);
    uint64_t v = 0;
    for (char c : body) {
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (digit >= static_cast<uint64_t>(base)) return false;
        if (v > (uint64_t{1} << 63) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + digit;
        if (v > uint64_t{1} << 63) return false;
    }
    t.tok = Tok::Int;
    t.magnitude = v;
    return true;
}

bool lex(std::string_view s, std::vector<Token> &out) {
    size_t pos = 0;
    while (pos < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[pos]);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            ++pos;
            continue;
        }
        Token t;
        if (identStart(c)) {
            size_t start = pos;
            for (;;) {
                while (pos < s.size() && identPart(static_cast<unsigned char>(s[pos]))) ++pos;
                // Dotted names (Root.MQMD.Priority): each part starts like an identifier.
                if (pos + 1 < s.size() && s[pos] == '.' &&
                    identStart(static_cast<unsigned char>(s[pos + 1]))) {
                    ++pos;
                    continue;
                }
                break;
            }
            t.text.assign(s.substr(start, pos - start));
            t.tok = Tok::Ident;
            for (const auto &k : kKeywords)
                if (sameWord(t.text, k.word)) t.tok = k.tok;
        } else if (isDigit(static_cast<char>(c)) || (c == '.' && pos + 1 < s.size() && isDigit(s[pos + 1]))) {
            if (!lexNumber(s, pos, t)) return false;
            // "12abc" or "1.5.2": no separator after a number.
            if (pos < s.size() && (identPart(static_cast<unsigned char>(s[pos])) || s[pos] == '.'))
                return false;
        } else if (c == '\'') {
            ++pos;
            for (;;) {
                if (pos >= s.size()) return false;  // unterminated
                if (s[pos] == '\'') {
                    if (pos + 1 < s.size() && s[pos + 1] == '\'') {
                        t.text += '\'';
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                t.text += s[pos++];
            }
            t.tok = Tok::Str;
        } else {
            ++pos;
            switch (c) {
                case '(':
                    t.tok = Tok::LParen;
                    break;
                case ')':
                    t.tok = Tok::RParen;
                    break;
                case ',':
                    t.tok = Tok::Comma;
                    break;
                case '+':
                    t.tok = Tok::Plus;
                    break;
                case '-':
                    t.tok = Tok::Minus;
                    break;
                case '*':
                    t.tok = Tok::Star;
                    break;
                case '/':
                    t.tok = Tok::Slash;
                    break;
                case '=':
                    t.tok = Tok::Eq;
                    break;
                case '<':
                    t.tok = Tok::Lt;
                    if (pos < s.size() && s[pos] == '=')
                        t.tok = Tok::Le, ++pos;
                    else if (pos < s.size() && s[pos] == '>')
                        t.tok = Tok::Ne, ++pos;
                    break;
                case '>':
                    t.tok = Tok::Gt;
                    if (pos < s.size() && s[pos] == '=') t.tok = Tok::Ge, ++pos;
                    break;
                default:
                    return false;
            }
        }
        out.push_back(std::move(t));
    }
    out.push_back(Token{});
    return true;
}

// Splits UTF-8 text into characters (a lead byte and its continuation bytes; stray bytes alone).
size_t charLength(std::string_view s, size_t pos) {
    size_t n = 1;
    while (pos + n < s.size() && (static_cast<unsigned char>(s[pos + n]) & 0xC0) == 0x80) ++n;
    return n;
}

// ---- parser ----

struct Parser {
    std::vector<Token> toks;
    size_t at = 0;
    int nesting = 0;
    bool bad = false;
    bool usesIdentifiers = false;
    std::vector<Node> &nodes;

    explicit Parser(std::vector<Node> &n) : nodes(n) {}

    const Token &peek(size_t ahead = 0) const { return toks[std::min(at + ahead, toks.size() - 1)]; }
    bool accept(Tok t) {
        if (peek().tok != t) return false;
        ++at;
        return true;
    }
    int fail() {
        bad = true;
        return -1;
    }
    int add(Node n) {
        nodes.push_back(std::move(n));
        return static_cast<int>(nodes.size() - 1);
    }
    SType type(int n) const { return nodes[static_cast<size_t>(n)].type; }
    bool boolish(int n) const { return type(n) == SType::Bool || type(n) == SType::Any; }
    bool numeric(int n) const {
        return type(n) == SType::Num || type(n) == SType::Hex || type(n) == SType::Any;
    }
    bool isIdent(int n) const { return nodes[static_cast<size_t>(n)].op == Op::Ident; }

    // Entering a nested construct; false (and the selector refused) when too deep.
    bool enter() { return ++nesting <= kMaxNesting || (bad = true, false); }

    int orExpr() {
        if (!enter()) return -1;
        int first = andExpr();
        if (bad) return -1;
        Node n;
        n.op = Op::Or;
        n.type = SType::Bool;
        n.kids.push_back(first);
        while (accept(Tok::Or)) {
            int next = andExpr();
            if (bad) return -1;
            n.kids.push_back(next);
        }
        --nesting;
        if (n.kids.size() == 1) return first;
        for (int k : n.kids)
            if (!boolish(k)) return fail();
        return add(std::move(n));
    }

    int andExpr() {
        int first = notExpr();
        if (bad) return -1;
        Node n;
        n.op = Op::And;
        n.type = SType::Bool;
        n.kids.push_back(first);
        while (accept(Tok::And)) {
            int next = notExpr();
            if (bad) return -1;
            n.kids.push_back(next);
        }
        if (n.kids.size() == 1) return first;
        for (int k : n.kids)
            if (!boolish(k)) return fail();
        return add(std::move(n));
    }

    int notExpr() {
        if (accept(Tok::Not)) {
            if (!enter()) return -1;
            int kid = notExpr();
            --nesting;
            if (bad || !boolish(kid)) return fail();
            Node n;
            n.op = Op::Not;
            n.type = SType::Bool;
            n.kids.push_back(kid);
            return add(std::move(n));
        }
        return predicate();
    }

    int predicate() {
        int left = sum();
        if (bad) return -1;
        Tok t = peek().tok;
        bool negated = false;
        if (t == Tok::Not &&
            (peek(1).tok == Tok::Between || peek(1).tok == Tok::In || peek(1).tok == Tok::Like)) {
            negated = true;
            ++at;
            t = peek().tok;
        }
        Node n;
        n.type = SType::Bool;
        n.negated = negated;
        switch (t) {
            case Tok::Eq:
            case Tok::Ne:
            case Tok::Lt:
            case Tok::Le:
            case Tok::Gt:
            case Tok::Ge: {
                ++at;
                int right = sum();
                if (bad) return -1;
                static constexpr Cmp kCmp[] = {EQ, NE, LT, LE, GT, GE};
                n.op = Op::Cmp;
                n.cmp = kCmp[static_cast<int>(t) - static_cast<int>(Tok::Eq)];
                // Only numbers have an order; strings and booleans compare with = and <> alone.
                if (n.cmp != EQ && n.cmp != NE && (!numeric(left) || !numeric(right))) return fail();
                n.kids = {left, right};
                return add(std::move(n));
            }
            case Tok::Between: {
                ++at;
                int low = sum();
                if (bad || !accept(Tok::And)) return fail();
                int high = sum();
                if (bad || !numeric(left) || !numeric(low) || !numeric(high)) return fail();
                n.op = Op::Between;
                n.kids = {left, low, high};
                return add(std::move(n));
            }
            case Tok::In: {
                ++at;
                if (!isIdent(left) || !accept(Tok::LParen)) return fail();
                do {
                    if (peek().tok != Tok::Str) return fail();
                    n.list.push_back(peek().text);
                    ++at;
                } while (accept(Tok::Comma));
                if (!accept(Tok::RParen)) return fail();
                n.op = Op::In;
                n.kids = {left};
                return add(std::move(n));
            }
            case Tok::Like: {
                ++at;
                if (!isIdent(left) || peek().tok != Tok::Str) return fail();
                std::string pattern = peek().text;
                ++at;
                std::string escape;
                if (accept(Tok::Escape)) {
                    if (peek().tok != Tok::Str) return fail();
                    escape = peek().text;
                    ++at;
                    if (escape.empty() || charLength(escape, 0) != escape.size()) return fail();
                }
                if (!compileLike(pattern, escape, n.pattern)) return fail();
                n.op = Op::Like;
                n.kids = {left};
                return add(std::move(n));
            }
            case Tok::Is: {
                ++at;
                n.negated = accept(Tok::Not);
                if (!accept(Tok::Null) || !isIdent(left)) return fail();
                n.op = Op::IsNull;
                n.kids = {left};
                return add(std::move(n));
            }
            default:
                if (negated) return fail();
                return left;
        }
    }

    static bool compileLike(std::string_view pattern, std::string_view escape, std::vector<LikeItem> &out) {
        for (size_t i = 0; i < pattern.size();) {
            size_t n = charLength(pattern, i);
            std::string_view ch = pattern.substr(i, n);
            i += n;
            if (!escape.empty() && ch == escape) {
                if (i >= pattern.size()) return false;  // nothing left to escape
                size_t m = charLength(pattern, i);
                out.push_back({LikeItem::Char, std::string(pattern.substr(i, m))});
                i += m;
            } else if (ch == "%") {
                if (out.empty() || out.back().kind != LikeItem::Many) out.push_back({LikeItem::Many, {}});
            } else if (ch == "_") {
                out.push_back({LikeItem::One, {}});
            } else {
                out.push_back({LikeItem::Char, std::string(ch)});
            }
        }
        return true;
    }

    // Sums and products are flat lists, so that "a + b + c + ..." needs no recursion.
    int sum() { return chain(Op::Sum, Tok::Plus, Tok::Minus); }
    int product() { return chain(Op::Prod, Tok::Star, Tok::Slash); }

    int chain(Op op, Tok plus, Tok minus) {
        int first = op == Op::Sum ? product() : unary();
        if (bad) return -1;
        Node n;
        n.op = op;
        n.type = SType::Num;
        n.kids.push_back(first);
        n.ops.push_back(0);
        while (peek().tok == plus || peek().tok == minus) {
            char c = peek().tok == Tok::Plus    ? '+'
                     : peek().tok == Tok::Minus ? '-'
                     : peek().tok == Tok::Star  ? '*'
                                                : '/';
            ++at;
            int next = op == Op::Sum ? product() : unary();
            if (bad) return -1;
            n.kids.push_back(next);
            n.ops.push_back(c);
        }
        if (n.kids.size() == 1) return first;
        for (int k : n.kids)
            if (!numeric(k)) return fail();
        return add(std::move(n));
    }

    int unary() {
        if (peek().tok == Tok::Minus || peek().tok == Tok::Plus) {
            bool minus = peek().tok == Tok::Minus;
            ++at;
            // -9223372036854775808 is a literal of its own: its magnitude alone does not fit.
            if (minus && peek().tok == Tok::Int) {
                uint64_t m = peek().magnitude;
                ++at;
                Node n;
                n.op = Op::Lit;
                n.type = SType::Num;
                n.lit = Value::integer(static_cast<int64_t>(0 - m));
                return add(std::move(n));
            }
            if (!enter()) return -1;
            int kid = unary();
            --nesting;
            if (bad || !numeric(kid)) return fail();
            if (!minus) return kid;
            Node n;
            n.op = Op::Neg;
            n.type = SType::Num;
            n.kids.push_back(kid);
            return add(std::move(n));
        }
        return primary();
    }

    int primary() {
        const Token &t = peek();
        Node n;
        n.op = Op::Lit;
        switch (t.tok) {
            case Tok::LParen: {
                ++at;
                int inner = orExpr();
                if (bad || !accept(Tok::RParen)) return fail();
                return inner;
            }
            case Tok::Ident:
                n.op = Op::Ident;
                n.type = SType::Any;
                n.name = t.text;
                usesIdentifiers = true;
                break;
            case Tok::Str:
                n.type = SType::Str;
                n.lit = Value::string(t.text);
                break;
            case Tok::Int:
                if (t.magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return fail();
                n.type = SType::Num;
                n.lit = Value::integer(static_cast<int64_t>(t.magnitude));
                break;
            case Tok::Float:
                n.type = SType::Num;
                n.lit = Value::real(t.real);
                break;
            case Tok::Hex:
                if (t.hexFits) {
                    n.type = SType::Hex;
                    n.lit = Value::integer(static_cast<int64_t>(t.magnitude));
                    n.lit.hexBytes = t.hexWhole;
                    n.lit.s = t.text;
                } else {
                    n.type = SType::Bytes;
                    n.lit = Value::bytes(t.text);
                }
                break;
            case Tok::True:
            case Tok::False:
                n.type = SType::Bool;
                n.lit = Value::boolean(t.tok == Tok::True);
                break;
            default:
                return fail();
        }
        ++at;
        return add(std::move(n));
    }
};

// ---- evaluation ----

bool isNumber(const Value &v) {
    return v.kind == Kind::Int || v.kind == Kind::Float;
}
double asDouble(const Value &v) {
    return v.kind == Kind::Int ? static_cast<double>(v.i) : v.d;
}

// Integer arithmetic wraps as 64-bit two's complement does (no undefined overflow).
int64_t wrap(uint64_t v) {
    return static_cast<int64_t>(v);
}

Value arith(const Value &a, const Value &b, char op) {
    if (!isNumber(a) || !isNumber(b)) return Value{};
    if (a.kind == Kind::Int && b.kind == Kind::Int) {
        uint64_t x = static_cast<uint64_t>(a.i), y = static_cast<uint64_t>(b.i);
        switch (op) {
            case '+':
                return Value::integer(wrap(x + y));
            case '-':
                return Value::integer(wrap(x - y));
            case '*':
                return Value::integer(wrap(x * y));
            default:
                if (b.i == 0) return Value{};  // no value: the comparison it feeds is unknown
                if (a.i == std::numeric_limits<int64_t>::min() && b.i == -1) return Value::integer(a.i);
                return Value::integer(a.i / b.i);
        }
    }
    double x = asDouble(a), y = asDouble(b);
    switch (op) {
        case '+':
            return Value::real(x + y);
        case '-':
            return Value::real(x - y);
        case '*':
            return Value::real(x * y);
        default:
            return Value::real(x / y);
    }
}

Truth truthOf(bool v) {
    return v ? Truth::True : Truth::False;
}

Truth negate(Truth t) {
    return t == Truth::Unknown ? t : t == Truth::True ? Truth::False : Truth::True;
}

template <typename T>
bool ordered(const T &x, const T &y, uint8_t cmp) {
    switch (cmp) {
        case EQ:
            return x == y;
        case NE:
            return x != y;
        case LT:
            return x < y;
        case LE:
            return x <= y;
        case GT:
            return x > y;
        default:
            return x >= y;
    }
}

Truth compare(const Value &a, const Value &b, uint8_t cmp) {
    if (a.kind == Kind::Null || b.kind == Kind::Null) return Truth::Unknown;
    if (isNumber(a) && isNumber(b)) {
        if (a.kind == Kind::Int && b.kind == Kind::Int) return truthOf(ordered(a.i, b.i, cmp));
        return truthOf(ordered(asDouble(a), asDouble(b), cmp));
    }
    if (cmp != EQ && cmp != NE) return Truth::False;
    bool equal;
    if (a.kind == b.kind && (a.kind == Kind::Str || a.kind == Kind::Bytes)) {
        equal = a.s == b.s;
    } else if (a.kind == Kind::Bool && b.kind == Kind::Bool) {
        equal = a.b == b.b;
    } else if ((a.kind == Kind::Bytes && b.hexBytes) || (b.kind == Kind::Bytes && a.hexBytes)) {
        equal = a.s == b.s;  // 0x0AFC23 against a byte-string property
    } else {
        return Truth::False;  // unlike types never compare
    }
    return truthOf(cmp == EQ ? equal : !equal);
}

// LIKE: '%' any run of characters, '_' exactly one; backtracks only to the last '%', so the
// cost stays within pattern length times text length.
bool likeMatch(const std::vector<LikeItem> &pat, std::string_view s) {
    size_t p = 0, i = 0;
    size_t starP = std::string::npos, starI = 0;
    while (i < s.size()) {
        size_t n = charLength(s, i);
        if (p < pat.size() && pat[p].kind == LikeItem::Many) {
            starP = p++;
            starI = i;
        } else if (p < pat.size() && (pat[p].kind == LikeItem::One || s.substr(i, n) == pat[p].ch)) {
            ++p;
            i += n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            starI += charLength(s, starI);
            i = starI;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p].kind == LikeItem::Many) ++p;
    return p == pat.size();
}

struct Evaluator {
    const std::vector<Node> &nodes;
    const Lookup &lookup;

    const Node &at(int n) const { return nodes[static_cast<size_t>(n)]; }

    Value value(int index) const {
        const Node &n = at(index);
        switch (n.op) {
            case Op::Lit:
                return n.lit;
            case Op::Ident:
                return lookup(n.name);
            case Op::Neg: {
                Value v = value(n.kids[0]);
                if (v.kind == Kind::Int) return Value::integer(wrap(0 - static_cast<uint64_t>(v.i)));
                if (v.kind == Kind::Float) return Value::real(-v.d);
                return Value{};
            }
            case Op::Sum:
            case Op::Prod: {
                Value acc = value(n.kids[0]);
                for (size_t k = 1; k < n.kids.size(); ++k) acc = arith(acc, value(n.kids[k]), n.ops[k]);
                return acc;
            }
            default: {
                Truth t = truth(index);
                return t == Truth::Unknown ? Value{} : Value::boolean(t == Truth::True);
            }
        }
    }

    Truth truth(int index) const {
        const Node &n = at(index);
        switch (n.op) {
            case Op::Lit:
            case Op::Ident:
            case Op::Neg:
            case Op::Sum:
            case Op::Prod: {
                Value v = value(index);
                return v.kind == Kind::Bool ? truthOf(v.b) : Truth::Unknown;
            }
            case Op::Cmp:
                return compare(value(n.kids[0]), value(n.kids[1]), n.cmp);
            case Op::Between: {
                Value v = value(n.kids[0]);
                Truth low = compare(v, value(n.kids[1]), GE);
                Truth high = compare(v, value(n.kids[2]), LE);
                Truth both = low == Truth::False || high == Truth::False ? Truth::False
                             : low == Truth::True && high == Truth::True ? Truth::True
                                                                         : Truth::Unknown;
                return n.negated ? negate(both) : both;
            }
            case Op::In: {
                Value v = value(n.kids[0]);
                if (v.kind == Kind::Null) return Truth::Unknown;
                if (v.kind != Kind::Str) return Truth::False;
                bool found = false;
                for (const std::string &s : n.list) found = found || s == v.s;
                return truthOf(found != n.negated);
            }
            case Op::Like: {
                Value v = value(n.kids[0]);
                if (v.kind == Kind::Null) return Truth::Unknown;
                if (v.kind != Kind::Str) return Truth::False;
                return truthOf(likeMatch(n.pattern, v.s) != n.negated);
            }
            case Op::IsNull:
                return truthOf((value(n.kids[0]).kind == Kind::Null) != n.negated);
            case Op::Not:
                return negate(truth(n.kids[0]));
            case Op::And: {
                Truth r = Truth::True;
                for (int k : n.kids) {
                    Truth t = truth(k);
                    if (t == Truth::False) return Truth::False;
                    if (t == Truth::Unknown) r = Truth::Unknown;
                }
                return r;
            }
            case Op::Or: {
                Truth r = Truth::False;
                for (int k : n.kids) {
                    Truth t = truth(k);
                    if (t == Truth::True) return Truth::True;
                    if (t == Truth::Unknown) r = Truth::Unknown;
                }
                return r;
            }
        }
        return Truth::Unknown;
    }
};

}  // namespace

Selector::Selector() = default;
Selector::~Selector() = default;
Selector::Selector(Selector &&) noexcept = default;
Selector &Selector::operator=(Selector &&) noexcept = default;

MQLONG Selector::compile(std::string_view text) {
    text_.assign(text.data(), text.size());
    nodes_.clear();
    root_ = -1;
    usesIdentifiers_ = false;
    Parser p(nodes_);
    if (!lex(text, p.toks)) return MQRC_SELECTOR_SYNTAX_ERROR;
    if (p.peek().tok == Tok::End) return MQRC_NONE;  // blank: no selection
    int root = p.orExpr();
    if (p.bad || root < 0 || p.peek().tok != Tok::End || !p.boolish(root)) {
        nodes_.clear();
        return MQRC_SELECTOR_SYNTAX_ERROR;
    }
    root_ = root;
    usesIdentifiers_ = p.usesIdentifiers;
    return MQRC_NONE;
}

Truth Selector::evaluate(const Lookup &lookup) const {
    if (root_ < 0) return Truth::True;
    Evaluator e{nodes_, lookup};
    return e.truth(root_);
}

MQLONG prepare(std::string_view text, std::shared_ptr<const Selector> &out) {
    out.reset();
    auto sel = std::make_shared<Selector>();
    MQLONG why = sel->compile(text);
    if (why != MQRC_NONE) return why;
    if (sel->empty()) return MQRC_NONE;
    if (sel->constant()) {
        // Known before any message is seen: always true selects everything, the rest nothing.
        Truth t = sel->evaluate([](std::string_view) { return Value{}; });
        return t == Truth::True ? MQRC_NONE : MQRC_SELECTOR_ALWAYS_FALSE;
    }
    out = std::move(sel);
    return MQRC_NONE;
}

}  // namespace qmsel
