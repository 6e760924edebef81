// Writes config/mqsc_tables.cpp, the console's MQSC command table (cslMqscCommandTable) with the
// field tables of its IBM MQ commands, from config/data/mqsc_commands.tsv (the rows),
// config/data/mqsc_field_types.tsv (kind letters of indicator pairs and lists),
// config/data/mqsc_values.tsv (the MQSC words of integer values) and mqi/data/:
// mqsc_keywords.tsv (every keyword of an object kind), event_fields.tsv (types and value names as
// DISPLAY EVENTS has them) and constants.tsv (the value sets).
//   mqscgen <source root>          write the file
//   mqscgen --check <source root>  exit 1 when the committed file differs from what would be written
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Fail {
    std::string text;
};

std::vector<std::string> splitOn(const std::string &text, char separator) {
    std::vector<std::string> out;
    std::string cell;
    std::istringstream in(text);
    while (std::getline(in, cell, separator)) out.push_back(cell);
    if (!text.empty() && text.back() == separator) out.emplace_back();
    return out;
}

// Rows of a TSV file without comment lines and without its header row.
std::vector<std::vector<std::string>> readTsv(const std::string &path, size_t columns) {
    std::ifstream in(path);
    if (!in) throw Fail{"cannot read " + path};
    std::vector<std::vector<std::string>> rows;
    std::string line;
    bool header = true;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty() || line[0] == '#') continue;
        if (header) {
            header = false;
            continue;
        }
        auto cells = splitOn(line, '\t');
        if (cells.size() < columns)
            throw Fail{path + ":" + std::to_string(lineNo) + ": expected " + std::to_string(columns) +
                       " columns"};
        rows.push_back(std::move(cells));
    }
    return rows;
}

long long number(const std::string &text, const std::string &where) {
    size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(text, &used);
    } catch (...) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw Fail{where + ": bad number '" + text + "'"};
    return v;
}

bool startsWith(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string quote(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// "MQPER_NOT_PERSISTENT" less "MQPER_" gives "Not persistent", as the constant tables describe it.
std::string describe(const std::string &symbol, const std::string &prefix) {
    std::string d = symbol.substr(prefix.size());
    for (char &c : d) c = c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!d.empty()) d[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(d[0])));
    return d;
}

struct Keyword {
    std::string symbol;
    long long id;
    std::string keyword;
    std::vector<std::pair<std::string, std::string>> kinds;  // (object kind, keyword it uses there)
};

struct Inputs {
    std::vector<Keyword> keywords;                          // file order (by symbol)
    std::vector<std::pair<std::string, long long>> values;  // int constants, file order (by symbol)
    std::map<std::string, std::pair<std::string, std::string>> eventFields;       // symbol -> (type, values)
    std::map<std::string, std::string> types;                                     // symbol -> kind letter
    std::map<std::string, std::vector<std::pair<std::string, long long>>> words;  // symbol -> MQSC words
    std::vector<std::vector<std::string>> commands;
};

Inputs load(const std::string &root) {
    Inputs in;
    for (auto &c : readTsv(root + "/mqi/data/constants.tsv", 3))
        if (c[2] == "int") in.values.emplace_back(c[0], number(c[1], c[0]));
    for (auto &c : readTsv(root + "/mqi/data/mqsc_keywords.tsv", 4)) {
        Keyword k{c[0], number(c[1], c[0]), c[2], {}};
        for (const std::string &item : splitOn(c[3], ',')) {
            size_t eq = item.find('=');
            if (eq == std::string::npos) {
                k.kinds.emplace_back(item, k.keyword);
                continue;
            }
            for (const std::string &alternative : splitOn(item.substr(eq + 1), '|'))
                k.kinds.emplace_back(item.substr(0, eq), alternative);
        }
        in.keywords.push_back(k);
    }
    for (auto &c : readTsv(root + "/mqi/data/event_fields.tsv", 2))
        in.eventFields[c[0]] = {c[1], c.size() > 2 ? c[2] : ""};
    for (auto &c : readTsv(root + "/config/data/mqsc_field_types.tsv", 2)) in.types[c[0]] = c[1];
    for (auto &c : readTsv(root + "/config/data/mqsc_values.tsv", 2)) {
        auto &words = in.words[c[0]];
        for (const std::string &item : splitOn(c[1], ',')) {
            size_t eq = item.find('=');
            if (eq == std::string::npos || eq == 0)
                throw Fail{"mqsc_values.tsv: " + c[0] + ": bad word " + item};
            words.emplace_back(item.substr(0, eq), number(item.substr(eq + 1), c[0]));
        }
    }
    in.commands = readTsv(root + "/config/data/mqsc_commands.tsv", 12);
    return in;
}

// The field name: the keyword in lower case, cut to 19 characters, or a name of its own.
std::string fieldName(long long id, const std::string &keyword) {
    static const std::map<long long, std::string> special = {{8001, "zuntCommandContext"},
                                                             {8002, "zuntCommandData"},
                                                             {39200, "zuntBefore"},
                                                             {39201, "zuntAfter"},
                                                             {2016, "queue"},
                                                             {3024, "applname"},
                                                             {3501, "channel"}};
    auto s = special.find(id);
    if (s != special.end()) return s->second;
    std::string name = keyword.substr(0, 19);
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

class Generator {
public:
    explicit Generator(const Inputs &in) : in_(in) {
        for (const Keyword &k : in_.keywords)
            for (auto &[kind, keyword] : k.kinds) knownKinds_.insert(kind);
    }

    std::string run() {
        std::ostringstream rows;
        checkOrder();
        for (const auto &c : in_.commands) rows << commandRow(c);
        std::ostringstream out;
        out << "// Generated by config/gen/mqscgen.cpp from config/data/*.tsv and mqi/data/: do not edit.\n"
               "// Regenerate with cmake --build --preset release --target regen_mqsc (a test checks that it "
               "is\n"
               "// fresh).\n"
               "#include \"config/internal.h\"\n\n// clang-format off\nnamespace {\n\n"
            << valueTables_.str() << fieldTables_.str() << "}  // namespace\n\n"
            << "cslMqscCommand cslMqscCommandTable[] = {\n"
            << rows.str()
            << "    {{0, 0}, 0, 0, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr},\n"
               "};\n// clang-format on\n";
        return out.str();
    }

private:
    const Inputs &in_;
    std::set<std::string> knownKinds_;
    std::map<std::string, std::string> fieldTableNames_;  // fields column -> table
    std::set<std::string> valueTablesMade_;
    std::ostringstream valueTables_;
    std::ostringstream fieldTables_;

    void checkOrder() const {
        for (size_t i = 1; i < in_.commands.size(); ++i)
            if (in_.commands[i][3] < in_.commands[i - 1][3])
                throw Fail{"mqsc_commands.tsv: " + in_.commands[i][3] + " is out of verb order"};
    }

    // The value table of a value set named as event_fields.tsv names it.
    std::string valueTable(const std::string &names) {
        if (names.empty()) return "nullptr";
        if (names == "objtypes") return "evObjectTypeNames";
        if (names == "cmdname") return "evCommandNameMarker";
        std::string table = "names" + names;
        table.erase(std::remove(table.begin(), table.end(), '_'), table.end());
        if (valueTablesMade_.insert(table).second) {
            valueTables_ << "const evValueName " << table << "[] = {\n";
            int rows = 0;
            for (auto &[symbol, value] : in_.values) {
                // The bounds of the user range are no application types (left out as the constant tables do).
                if (!startsWith(symbol, names) || symbol == "MQAT_USER_FIRST" || symbol == "MQAT_USER_LAST")
                    continue;
                valueTables_ << "    {0, " << value << ", " << quote(describe(symbol, names)) << ", "
                             << quote(symbol.substr(names.size())) << ", 0},\n";
                ++rows;
            }
            if (rows == 0) throw Fail{"no value set " + names};
            valueTables_ << "    {0, 0, nullptr, nullptr, 0},\n};\n\n";
        }
        return table;
    }

    // The value table of a field: its value set's rows, then the MQSC words of the attribute (as
    // MQSC replies show the value), so that both spellings resolve to the number.
    std::string fieldValues(const std::string &names, const std::string &symbol) {
        auto w = in_.words.find(symbol);
        if (w == in_.words.end()) return valueTable(names);
        std::string table = "words" + symbol;
        table.erase(std::remove(table.begin(), table.end(), '_'), table.end());
        if (!valueTablesMade_.insert(table).second) return table;
        valueTables_ << "const evValueName " << table << "[] = {\n";
        if (!names.empty() && names != "objtypes" && names != "cmdname") {
            for (auto &[valueSymbol, value] : in_.values) {
                if (!startsWith(valueSymbol, names) || valueSymbol == "MQAT_USER_FIRST" ||
                    valueSymbol == "MQAT_USER_LAST")
                    continue;
                valueTables_ << "    {0, " << value << ", " << quote(describe(valueSymbol, names)) << ", "
                             << quote(valueSymbol.substr(names.size())) << ", 0},\n";
            }
        }
        for (auto &[word, value] : w->second)
            valueTables_ << "    {0, " << value << ", " << quote(word) << ", " << quote(word) << ", 0},\n";
        valueTables_ << "    {0, 0, nullptr, nullptr, 0},\n};\n\n";
        return table;
    }

    static bool isAttribute(const Keyword &k) {
        return startsWith(k.symbol, "MQCA_") || startsWith(k.symbol, "MQIA_");
    }

    std::string typeOf(const Keyword &k, std::string *names) const {
        std::string type = "i";
        if (startsWith(k.symbol, "MQCA_") || startsWith(k.symbol, "MQCACF_") ||
            startsWith(k.symbol, "MQCACH_") || startsWith(k.symbol, "MQCAMO_"))
            type = "s";
        else if (startsWith(k.symbol, "MQBACF_"))
            type = "b";
        auto e = in_.eventFields.find(k.symbol);
        if (e != in_.eventFields.end()) {
            if (!e->second.first.empty()) type = e->second.first;
            *names = e->second.second;
        }
        auto t = in_.types.find(k.symbol);
        if (t != in_.types.end()) type = t->second;
        return type;
    }

    // The field table of the object kinds joined by '+': every keyword they know, once.
    std::string fieldTable(const std::string &kindList) {
        if (kindList.empty()) return "nullptr";
        auto made = fieldTableNames_.find(kindList);
        if (made != fieldTableNames_.end()) return made->second;
        std::vector<std::string> kinds = splitOn(kindList, '+');
        for (const std::string &kind : kinds)
            if (!knownKinds_.count(kind)) throw Fail{"mqsc_commands.tsv: no keywords of object kind " + kind};
        std::string table = "fields" + kinds[0];
        // One row per keyword, at the place of its first keyword; an object attribute (MQCA_, MQIA_)
        // wins over a command parameter of the same keyword (MOVE QLOCAL's TYPE is no queue type).
        std::vector<std::pair<std::string, const Keyword *>> chosen;
        for (const Keyword &k : in_.keywords) {
            for (auto &[kind, keyword] : k.kinds) {
                if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) continue;
                auto at = std::find_if(chosen.begin(), chosen.end(),
                                       [&keyword](const auto &c) { return c.first == keyword; });
                if (at == chosen.end())
                    chosen.emplace_back(keyword, &k);
                else if (!isAttribute(*at->second) && isAttribute(k))
                    at->second = &k;
            }
        }
        std::ostringstream rows;
        for (auto &[keyword, kp] : chosen) {
            const Keyword &k = *kp;
            std::string names;
            std::string type = typeOf(k, &names);
            std::string field = fieldName(k.id, keyword);
            rows << "    {0, \"\", \"a   \", " << quote(type) << ", " << quote(keyword) << ", "
                 << fieldValues(names, k.symbol) << ", nullptr, " << k.id << ", 0, -2, 0, 0, "
                 << keyword.size() << ", 0, " << quote(field) << ", " << field.size() << "},\n";
        }
        fieldTables_
            << "const evParmDef " << table << "[] = {\n"
            << rows.str()
            << "    {0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, \"\", "
               "0},\n};\n\n";
        fieldTableNames_[kindList] = table;
        return table;
    }

    std::string commandRow(const std::vector<std::string> &c) {
        const std::string &kind = c[0], &letter = c[1], &objectKind = c[2], &verb = c[3];
        const std::string where = "mqsc_commands.tsv: " + verb + " " + c[5];
        long long k = number(kind, where);
        if (k < 1 || k > 4) throw Fail{where + ": kind must be 1 to 4"};
        if (letter.size() != 1 || objectKind.size() != 1) throw Fail{where + ": bad letter"};
        for (int i = 8; i <= 10; ++i)
            if (number(c[i], where) < 0 || number(c[i], where) > 77)
                throw Fail{where + ": no capability " + c[i]};
        std::string parms = k == 4 ? c[11] : k == 3 ? "nullptr" : fieldTable(c[11]);
        if (parms.empty()) throw Fail{where + ": kind 4 names its parameter table"};
        std::ostringstream row;
        row << "    {{" << c[8] << ", " << c[9] << "}, " << c[10] << ", " << kind << ", '" << letter << "', "
            << quote(verb) << ", " << quote(c[4]) << ", 0, '" << objectKind << "', " << quote(c[5]) << ", "
            << quote(c[6]) << ", " << quote(c[7]) << ", " << parms << ", nullptr},\n";
        return row.str();
    }
};

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char **argv) {
    const bool check = argc == 3 && std::string(argv[1]) == "--check";
    if (argc != 2 && !check) {
        std::fprintf(stderr, "usage: mqscgen [--check] <source root>\n");
        return 2;
    }
    const std::string root = argv[check ? 2 : 1];
    const std::string target = root + "/config/mqsc_tables.cpp";
    try {
        Inputs in = load(root);
        std::string text = Generator(in).run();
        if (check) {
            if (readFile(target) == text) return 0;
            std::fprintf(stderr, "%s is stale: regenerate it (target regen_mqsc)\n", target.c_str());
            return 1;
        }
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw Fail{"cannot write " + target};
    } catch (const Fail &f) {
        std::fprintf(stderr, "mqscgen: %s\n", f.text.c_str());
        return 1;
    }
    return 0;
}
