// The text of each FORMAT and READER, byte for byte, and the values that need care: markers,
// times, escapes and quoting, hidden zero values, named values and group names.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "emit_testing.h"
#include "testing/built_paths.h"

namespace {

using et::EmitTest;

std::string golden(const std::string &name) {
    std::ifstream in(std::string(ZUNT_EMIT_GOLDEN) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Layout {
    uint32_t format;
    uint32_t reader;
    const char *file;
};

class FormatTest : public EmitTest, public ::testing::WithParamInterface<Layout> {};

// Two change events into one file, and a statistics record of two queues into another.
TEST_P(FormatTest, MatchesItsGoldenText) {
    const Layout layout = GetParam();
    emitter->format = layout.format;
    emitter->reader = layout.reader;
    useFile(dir.file("events.txt"));
    ASSERT_EQ(emit(et::changeEvent(et::kTime, "new")), EMIT_DONE);
    ASSERT_EQ(emit(et::changeEvent(et::kTime + 1, "newer")), EMIT_DONE);
    closeOutputs();
    useFile(dir.file("stats.txt"));
    ASSERT_EQ(emit(et::statqRecord(2, 4)), EMIT_DONE);
    closeOutputs();
    std::string actual = dir.read("events.txt");
    actual.append("--\n");
    actual.append(dir.read("stats.txt"));
    if (std::getenv("ZUNT_WRITE_GOLDEN") != nullptr) {
        std::ofstream(std::string(ZUNT_EMIT_GOLDEN) + "/" + layout.file, std::ios::binary) << actual;
    }
    EXPECT_BYTES_EQ(golden(layout.file), actual);
}

INSTANTIATE_TEST_SUITE_P(EveryFormatAndReader, FormatTest,
                         ::testing::Values(Layout{EV_EMIT_JSON, EV_READER_PROGRAM, "json_program.txt"},
                                           Layout{EV_EMIT_JSON, EV_READER_HUMAN, "json_human.txt"},
                                           Layout{EV_EMIT_NDJSON, EV_READER_PROGRAM, "ndjson_program.txt"},
                                           Layout{EV_EMIT_NDJSON, EV_READER_HUMAN, "ndjson_human.txt"},
                                           Layout{EV_EMIT_MQSC, EV_READER_PROGRAM, "mqsc_program.txt"},
                                           Layout{EV_EMIT_MQSC, EV_READER_HUMAN, "mqsc_human.txt"},
                                           Layout{EV_EMIT_CSV, EV_READER_PROGRAM, "csv_program.txt"},
                                           Layout{EV_EMIT_CSV, EV_READER_HUMAN, "csv_human.txt"}));

}  // namespace
