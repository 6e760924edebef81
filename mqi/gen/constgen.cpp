// Writes mqi/consts_tables.cpp and .h, the constant tables of mqi/consts.h, and mqi/evclass_tables.cpp,
// the event tables of mqi/evclass.h, from the data in mqi/data/: constants.tsv (IBM MQ constants),
// mqsc_keywords.tsv and mqsc_keywords_added.tsv (MQSC keywords of parameter identifiers),
// zunt_consts.tsv (ZUNT's own rows), event_types.tsv, object_types.tsv, command_events.tsv,
// events_parms.tsv and event_fields.tsv (event names and the DISPLAY EVENTS table).
//   constgen <data dir> <mqi dir>          write the three files
//   constgen --check <data dir> <mqi dir>  exit 1 when a file differs from what would be written
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Row {
    long long value = 0;
    std::string symbol;
    std::string description;
    std::string keyword;
    bool hasKeyword = false;
};

struct Fail {
    std::string text;
};

std::vector<std::string> splitTabs(const std::string &line) {
    std::vector<std::string> out;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, '\t')) out.push_back(cell);
    if (!line.empty() && line.back() == '\t') out.emplace_back();
    return out;
}

long long parseValue(const std::string &text, const std::string &where) {
    size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(text, &used);
    } catch (...) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw Fail{where + ": bad value '" + text + "'"};
    return v;
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
        auto cells = splitTabs(line);
        if (cells.size() < columns)
            throw Fail{path + ":" + std::to_string(lineNo) + ": expected " + std::to_string(columns) +
                       " columns"};
        rows.push_back(std::move(cells));
    }
    return rows;
}

bool startsWith(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// "MQRC_STORAGE_NOT_AVAILABLE" less "MQRC_" gives "Storage not available".
std::string derive(const std::string &symbol, const std::string &prefix) {
    std::string d = symbol.substr(prefix.size());
    for (char &c : d) {
        if (c == '_')
            c = ' ';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    if (!d.empty() && d[0] >= 'a' && d[0] <= 'z') d[0] = static_cast<char>(d[0] - 'a' + 'A');
    return d;
}

struct Data {
    std::vector<Row> mq;                           // int constants, sorted by symbol
    std::map<std::string, std::string> keyword;    // symbol -> MQSC keyword
    std::vector<std::pair<std::string, Row>> own;  // (table, row) in file order
    std::string dir;
};

Data load(const std::string &dir) {
    Data d;
    d.dir = dir;
    for (auto &c : readTsv(dir + "/constants.tsv", 3)) {
        if (c[2] != "int") continue;
        Row r;
        r.symbol = c[0];
        r.value = parseValue(c[1], c[0]);
        d.mq.push_back(r);
    }
    std::sort(d.mq.begin(), d.mq.end(), [](const Row &a, const Row &b) { return a.symbol < b.symbol; });
    std::map<std::string, long long> values;
    for (auto &r : d.mq) values[r.symbol] = r.value;
    for (const char *file : {"/mqsc_keywords.tsv", "/mqsc_keywords_added.tsv"}) {
        for (auto &c : readTsv(dir + file, 3)) {
            auto v = values.find(c[0]);
            if (v == values.end() || v->second != parseValue(c[1], c[0]))
                throw Fail{std::string(file + 1) + ": " + c[0] + " is not an int constant of that value"};
            if (!d.keyword.emplace(c[0], c[2]).second)
                throw Fail{std::string(file + 1) + ": " + c[0] + " has two keywords"};
        }
    }
    for (auto &c : readTsv(dir + "/zunt_consts.tsv", 5)) {
        Row r;
        r.value = parseValue(c[1], c[2]);
        r.symbol = c[2];
        r.description = c[3];
        r.keyword = c[4];
        r.hasKeyword = !c[4].empty();
        d.own.emplace_back(c[0], r);
    }
    return d;
}

// The family bounds and "none" codes that are not constants of their own.
bool leftOut(const std::string &s) {
    static const std::set<std::string> named = {"MQRC_NONE",       "MQFB_NONE",      "MQCMD_NONE",
                                                "MQRC_APPL_FIRST", "MQRC_APPL_LAST", "MQAT_USER_FIRST",
                                                "MQAT_USER_LAST"};
    if (named.count(s)) return true;
    if (startsWith(s, "MQFB_")) {
        auto ends = [&](const std::string &tail) {
            return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
        };
        if (ends("_FIRST") || ends("_LAST")) return true;
    }
    return false;
}

const std::vector<std::string> kAttrFamilies = {"MQBACF_", "MQCA_",   "MQCACF_",  "MQCACH_",
                                                "MQCAMO_", "MQGACF_", "MQIA_",    "MQIACF_",
                                                "MQIACH_", "MQIAMO_", "MQIAMO64_"};

// The bounds of a parameter identifier family (MQCA_FIRST, MQIA_LAST_USED); MQTT_FIRST is a
// trigger type and stays.
bool familyBound(const std::string &s, const std::string &family) {
    if (std::find(kAttrFamilies.begin(), kAttrFamilies.end(), family) == kAttrFamilies.end()) return false;
    return s == family + "FIRST" || s == family + "LAST" || s == family + "LAST_USED";
}

// IBM MQ rows whose symbol has the prefix, in symbol order, with derived descriptions.
std::vector<Row> mqRows(const Data &d, const std::string &prefix, bool withKeywords = false) {
    std::vector<Row> out;
    for (const Row &r : d.mq) {
        if (!startsWith(r.symbol, prefix) || leftOut(r.symbol) || familyBound(r.symbol, prefix)) continue;
        Row o = r;
        o.description = derive(r.symbol, prefix);
        if (withKeywords) {
            auto k = d.keyword.find(r.symbol);
            if (k != d.keyword.end()) {
                o.keyword = k->second;
                o.hasKeyword = true;
            }
        }
        out.push_back(o);
    }
    return out;
}

// ZUNT's rows of one table, with '~' descriptions derived after the symbol's family prefix.
std::vector<Row> ownRows(const Data &d, const std::string &table) {
    static const std::vector<std::string> families = {"HLV_CMD_",   "HLV_ATTR_", "HLV_GROUP_",
                                                      "HLV_ACCST_", "HLVRCCF_",  "HLVFB_",
                                                      "HLV_OT_",    "HLVUR_",    "MQPL_"};
    std::vector<Row> out;
    for (auto &entry : d.own) {
        const std::string &t = entry.first;
        const Row &r = entry.second;
        if (t != table) continue;
        Row o = r;
        if (o.description == "~") {
            auto f = std::find_if(families.begin(), families.end(),
                                  [&](const std::string &p) { return startsWith(r.symbol, p); });
            if (f == families.end()) throw Fail{"no family prefix for " + r.symbol};
            o.description = derive(r.symbol, *f);
        }
        out.push_back(o);
    }
    return out;
}

void append(std::vector<Row> &to, const std::vector<Row> &rows) {
    to.insert(to.end(), rows.begin(), rows.end());
}

void sortBySymbol(std::vector<Row> &rows) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.symbol < b.symbol; });
}

std::string quote(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

struct Table {
    std::string name;
    std::vector<Row> rows;
};

struct Output {
    std::string source;
    std::string header;
    std::string events;
};

std::string generateEvents(const Data &d);

Output generate(const Data &d) {
    std::vector<Table> tables;

    Table cmd{"evCommandNameTable", mqRows(d, "MQCMD_")};
    append(cmd.rows, ownRows(d, "cmd"));
    tables.push_back(cmd);

    Table fb{"evFeedbackTable", {Row{0, "", "", "", false}}};
    append(fb.rows, mqRows(d, "MQFB_"));
    tables.push_back(fb);

    Table reason{"evReasonTable", mqRows(d, "MQRC_")};
    append(reason.rows, mqRows(d, "MQRCCF_"));
    std::vector<Row> ownReasons = ownRows(d, "reason");
    for (const Row &r : ownReasons)
        if (!startsWith(r.symbol, "HLVFB_")) reason.rows.push_back(r);
    append(reason.rows, mqRows(d, "MQFB_"));
    for (const Row &r : ownReasons)
        if (startsWith(r.symbol, "HLVFB_")) reason.rows.push_back(r);
    tables.push_back(reason);

    Table attr{"evAttrTable", {}};
    for (const std::string &f : kAttrFamilies) append(attr.rows, mqRows(d, f, true));
    append(attr.rows, ownRows(d, "attr"));
    sortBySymbol(attr.rows);
    tables.push_back(attr);

    Table general{"evGeneralTable", {}};
    for (const Row &r : mqRows(d, "MQAT_"))
        if (r.symbol == "MQAT_UNKNOWN") general.rows.push_back(r);
    for (const char *p :
         {"MQBND_", "MQDL_", "MQNPMS_", "MQPER_", "MQQA_", "MQQDT_", "MQTC_", "MQTT_", "MQUS_"})
        append(general.rows, mqRows(d, p));
    for (const Row &r : mqRows(d, "MQSCO_"))
        if (r.symbol == "MQSCO_CELL" || r.symbol == "MQSCO_Q_MGR") general.rows.push_back(r);
    sortBySymbol(general.rows);
    tables.push_back(general);

    // The value sets in directory order: symbol prefix, and ZUNT's table of rows to add.
    static const std::vector<std::pair<std::string, std::string>> sets = {
        {"MQAT_", ""},          {"MQOT_", "ot"},        {"MQRQ_", ""},
        {"MQQT_", ""},          {"MQZAET_", ""},        {"MQAUTH_", ""},
        {"MQEVO_", ""},         {"MQEVR_", ""},         {"MQMON_", ""},
        {"MQRECORDING_", ""},   {"MQADOPT_CHECK_", ""}, {"MQADOPT_TYPE_", ""},
        {"MQTRAXSTR_", ""},     {"MQCLWL_USEQ_", ""},   {"HLVUR_", "ur"},
        {"MQIPADDR_", ""},      {"MQSQQM_", ""},        {"MQRCVTIME_", ""},
        {"MQTCPKEEP_", ""},     {"MQTCPSTACK_", ""},    {"MQ_CERT_VAL_POLICY_", ""},
        {"MQCHAD_", ""},        {"MQCHLA_", ""},        {"MQCFCONLOS_", ""},
        {"MQSVC_CONTROL_", ""}, {"MQCLXQ_", ""},        {"MQIGQPA_", ""},
        {"MQIGQ_", ""},         {"MQPSCLUS_", ""},      {"MQPSM_", ""},
        {"MQ_SUITE_B_", ""},    {"MQUNDELIVERED_", ""}, {"MQSYNCPOINT_", ""},
        {"MQRDNS_", ""},        {"MQSCYC_", ""},        {"MQSSL_FIPS_", ""},
        {"MQPL_", "pl"},        {"MQCHT_", ""}};
    std::vector<std::string> directory = {"evGeneralTable", "evAttrTable", "evCommandNameTable",
                                          "evReasonTable", "evFeedbackTable"};
    for (auto &[prefix, own] : sets) {
        std::string base = prefix.substr(0, prefix.size() - 1);
        base.erase(std::remove(base.begin(), base.end(), '_'), base.end());
        Table t{"evValues" + base, {}};
        if (prefix == "MQPL_") {
            // Only the platforms the program names; their texts are ZUNT's.
            t.rows = ownRows(d, "pl");
            for (const Row &r : t.rows) {
                auto m = std::find_if(d.mq.begin(), d.mq.end(),
                                      [&](const Row &x) { return x.symbol == r.symbol; });
                if (m == d.mq.end() || m->value != r.value)
                    throw Fail{"zunt_consts.tsv: " + r.symbol + " disagrees"};
            }
        } else {
            t.rows = prefix.rfind("HLV", 0) == 0 ? std::vector<Row>{} : mqRows(d, prefix);
            if (!own.empty()) append(t.rows, ownRows(d, own));
        }
        sortBySymbol(t.rows);
        if (t.rows.empty()) throw Fail{"value set " + prefix + " has no rows"};
        directory.push_back(t.name);
        tables.push_back(t);
    }
    directory.push_back("evGeneralTable");

    // No table may name the same value and symbol twice.
    for (const Table &t : tables) {
        std::set<std::pair<long long, std::string>> seen;
        for (const Row &r : t.rows)
            if (!r.symbol.empty() && !seen.emplace(r.value, r.symbol).second)
                throw Fail{t.name + " holds " + r.symbol + " twice"};
    }

    const char *banner =
        "// Generated by mqi/gen/constgen.cpp from mqi/data/*.tsv: do not edit. Regenerate with\n"
        "// cmake --build --preset release --target regen_consts (a test checks that it is fresh).\n";
    std::ostringstream h;
    h << banner
      << "#pragma once\n\n#include \"mqi/consts.h\"\n\n// Every table, including the value sets that "
         "consts.h does not name.\n";
    for (const Table &t : tables) h << "extern const evConstEntry " << t.name << "[];\n";
    std::ostringstream out;
    out << banner << "#include \"mqi/consts.h\"\n\n// clang-format off\n";
    for (const Table &t : tables) {
        out << "const evConstEntry " << t.name << "[] = {\n";
        for (const Row &r : t.rows) {
            out << "    {" << r.value << ", " << quote(r.symbol) << ", " << quote(r.description) << ", "
                << (r.hasKeyword ? quote(r.keyword) : "nullptr") << "},\n";
        }
        out << "    {0, nullptr, nullptr, nullptr},\n};\n\n";
    }
    out << "const evConstDirEntry evConstDirectory[EV_CONST_DIRECTORY_SIZE] = {\n";
    for (const std::string &n : directory) out << "    {" << quote(n) << ", " << n << "},\n";
    out << "};\n// clang-format on\n";
    if (directory.size() != 44) throw Fail{"the directory must hold 44 tables"};
    return {out.str(), h.str(), generateEvents(d)};
}

// "MQCMD_CREATE_Q" gives "Create Q": the words after the prefix, each capitalised.
std::string capitalisedWords(const std::string &symbol, const std::string &prefix) {
    std::string d = derive(symbol, prefix);
    for (size_t i = 1; i < d.size(); ++i)
        if (d[i - 1] == ' ' && d[i] >= 'a' && d[i] <= 'z') d[i] = static_cast<char>(d[i] - 'a' + 'A');
    return d;
}

std::string valueNameRow(long long value, const std::string &text, const std::string &keyword) {
    return "    {0, " + std::to_string(value) + ", " + quote(text) + ", " + quote(keyword) + ", 0},\n";
}

const char *kValueNameEnd = "    {0, 0, nullptr, nullptr, 0},\n};\n\n";

std::string generateEvents(const Data &d) {
    std::map<long long, std::vector<std::string>> commandSymbols;  // MQCMD code -> symbols
    std::map<std::string, long long> values;
    for (const Row &r : d.mq) {
        values[r.symbol] = r.value;
        if (startsWith(r.symbol, "MQCMD_")) commandSymbols[r.value].push_back(r.symbol);
    }
    std::ostringstream out;
    out << "// Generated by mqi/gen/constgen.cpp from mqi/data/*.tsv: do not edit. Regenerate with\n"
           "// cmake --build --preset release --target regen_consts (a test checks that it is fresh).\n"
           "#include \"mqi/evclass.h\"\n\n// clang-format off\n";

    // Event categories and subtypes, the command subtypes after the 3000 row.
    auto commands = readTsv(d.dir + "/command_events.tsv", 5);
    std::sort(commands.begin(), commands.end(),
              [](const auto &a, const auto &b) { return std::stoll(a[1]) < std::stoll(b[1]); });
    out << "const evValueName evEventTypeNames[] = {\n";
    for (auto &c : readTsv(d.dir + "/event_types.tsv", 3)) {
        out << valueNameRow(parseValue(c[0], c[1]), c[2], c[1]);
        if (c[0] != "3000") continue;
        for (auto &e : commands) {
            auto sym = commandSymbols.find(parseValue(e[0], e[4]));
            if (sym == commandSymbols.end() ||
                std::find(sym->second.begin(), sym->second.end(), e[4]) == sym->second.end())
                throw Fail{"command_events.tsv: " + e[4] + " is not MQCMD " + e[0]};
            out << valueNameRow(parseValue(e[1], e[2]), "Command - " + capitalisedWords(e[4], "MQCMD_"),
                                e[2]);
        }
    }
    out << kValueNameEnd;

    out << "const evValueName evObjectTypeNames[] = {\n";
    for (auto &c : readTsv(d.dir + "/object_types.tsv", 3))
        out << valueNameRow(parseValue(c[0], c[1]), c[2], c[1]);
    out << kValueNameEnd;

    std::sort(commands.begin(), commands.end(),
              [](const auto &a, const auto &b) { return std::stoll(a[0]) < std::stoll(b[0]); });
    out << "const evCommandEvent evCommandEventTable[] = {\n";
    for (auto &e : commands) out << "    {" << e[0] << ", " << e[1] << ", " << e[3] << "},\n";
    out << "    {0, 0, 0},\n};\n\n";

    // Value names of event fields taken from value sets of constants: text the description,
    // keyword the symbol without its prefix.
    std::map<std::string, std::pair<std::string, std::string>> fieldOverride;  // symbol -> (type, values)
    std::set<std::string> valueSets;
    for (auto &c : readTsv(d.dir + "/event_fields.tsv", 2)) {
        std::string names = c.size() > 2 ? c[2] : "";
        fieldOverride[c[0]] = {c[1], names};
        if (!names.empty() && names != "objtypes" && names != "cmdname") valueSets.insert(names);
    }
    auto setName = [](std::string prefix) {
        prefix.erase(std::remove(prefix.begin(), prefix.end(), '_'), prefix.end());
        return "evNames" + prefix;
    };
    for (const std::string &prefix : valueSets) {
        std::vector<Row> rows = mqRows(d, prefix);
        if (rows.empty()) throw Fail{"event_fields.tsv: no value set " + prefix};
        out << "static const evValueName " << setName(prefix) << "[] = {\n";
        for (const Row &r : rows) out << valueNameRow(r.value, r.description, r.symbol.substr(prefix.size()));
        out << kValueNameEnd;
    }
    auto namesOf = [&](const std::string &names) -> std::string {
        if (names.empty()) return "nullptr";
        if (names == "types") return "evEventTypeNames";
        if (names == "objtypes") return "evObjectTypeNames";
        if (names == "distype") return "evDisplayTypeNames";
        if (names == "dispcmds") return "evDisplayCommandsNames";
        if (names == "cmdname") return "evCommandNameMarker";
        return setName(names);
    };
    auto parmRow = [](const std::string &applicability, const std::string &type, const std::string &keyword,
                      const std::string &names, long long id, long long offset) {
        return "    {0, " + quote(applicability) + ", \"a   \", " + quote(type) + ", " + quote(keyword) +
               ", " + names + ", nullptr, " + std::to_string(id) + ", 0, " + std::to_string(offset) +
               ", 0, 0, 0, 0, \"\", 0},\n";
    };

    out << "evParmDef evEventsParmTable[] = {\n";
    for (auto &c : readTsv(d.dir + "/events_parms.tsv", 6))
        out << parmRow(c[3], c[1], c[0], namesOf(c[4]), parseValue(c[2], c[0]), parseValue(c[5], c[0]));
    // One row per MQ event field of the keyword map, by symbol.
    std::set<std::string> used;
    for (auto &[symbol, keyword] : d.keyword) {
        std::string type = "i";
        if (startsWith(symbol, "MQCA_") || startsWith(symbol, "MQCACF_") || startsWith(symbol, "MQCACH_") ||
            startsWith(symbol, "MQCAMO_"))
            type = "s";
        else if (startsWith(symbol, "MQBACF_"))
            type = "b";
        std::string names;
        auto o = fieldOverride.find(symbol);
        if (o != fieldOverride.end()) {
            if (!o->second.first.empty()) type = o->second.first;
            names = o->second.second;
            used.insert(symbol);
        }
        out << parmRow("  d", type, keyword, namesOf(names), values.at(symbol), -2);
    }
    for (auto &[symbol, o] : fieldOverride)
        if (!used.count(symbol)) throw Fail{"event_fields.tsv: " + symbol + " has no keyword"};
    out << "    {0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, \"\", "
           "0},\n};\n";
    out << "// clang-format on\n";
    return out.str();
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char **argv) {
    bool check = argc == 4 && std::string(argv[1]) == "--check";
    if (argc != 3 && !check) {
        std::fprintf(stderr, "usage: constgen [--check] <data dir> <mqi dir>\n");
        return 2;
    }
    const std::string dir = argv[check ? 2 : 1];
    const std::string mqi = argv[check ? 3 : 2];
    try {
        Output o = generate(load(dir));
        for (auto &[name, text] : {std::pair{mqi + "/consts_tables.cpp", o.source},
                                   {mqi + "/consts_tables.h", o.header},
                                   {mqi + "/evclass_tables.cpp", o.events}}) {
            if (check) {
                if (readFile(name) != text) {
                    std::fprintf(stderr, "%s is stale: regenerate it from %s (target regen_consts)\n",
                                 name.c_str(), dir.c_str());
                    return 1;
                }
                continue;
            }
            std::ofstream out(name, std::ios::binary | std::ios::trunc);
            out << text;
            if (!out) throw Fail{"cannot write " + name};
        }
    } catch (const Fail &f) {
        std::fprintf(stderr, "constgen: %s\n", f.text.c_str());
        return 1;
    }
    return 0;
}
