// A program under test: its output captured line by line, scripts read from lines in memory, the
// expression catalogue pointed at the program's functions, and the counted heap checked for leaks.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "script/script.h"

namespace st {

struct Line {
    uint32_t kind;  // without the echo marks
    uint32_t marks;
    std::string text;
};

class ScriptTest : public ::testing::Test {
public:
    cmdProgram *program_ = nullptr;

protected:
    void SetUp() override {
        active() = this;
        blocksBefore_ = CSMemCounters().blocks;
        ExpCatalogue catalogue{};
        catalogue.findFunction = cmdFindFunctionRow;
        expSetCatalogue(&catalogue);
        program_ = cmdCreateProgram();
        ASSERT_NE(program_, nullptr);
        program_->output = capture;
    }

    void TearDown() override {
        cmdFreeProgram(program_);
        expSetCatalogue(nullptr);
        active() = nullptr;
        EXPECT_EQ(CSMemCounters().blocks, blocksBefore_) << "counted-heap blocks left";
    }

    // A memory reader of the lines, which the fixture keeps alive.
    cmdReadContext *reader(std::vector<std::string> lines, const char *name) {
        sources_.push_back(std::move(lines));
        pointers_.emplace_back();
        for (const std::string &line : sources_.back()) pointers_.back().push_back(line.c_str());
        cmdReadContext *r = cmdMemoryReader(program_, name, pointers_.back().data(), pointers_.back().size());
        EXPECT_NE(r, nullptr);
        if (r != nullptr) r->echo = echo_;
        return r;
    }

    // Reads the lines as one source to its end or to the first parse error.
    void parse(std::vector<std::string> lines, const char *name = "test.vdr") {
        cmdReadContext *r = reader(std::move(lines), name);
        if (r == nullptr) return;
        cmdPushReader(program_, r);
        cmdParseFile(program_);
        cmdPopReader(program_);
    }

    static std::vector<uint32_t> types(const cmdCommand *head) {
        std::vector<uint32_t> t;
        for (const cmdCommand *c = head; c != nullptr; c = c->next) t.push_back(c->type);
        return t;
    }
    std::vector<uint32_t> types() const { return types(program_->head); }

    std::vector<cmdCommand *> records() const {
        std::vector<cmdCommand *> r;
        for (cmdCommand *c = program_->head; c != nullptr; c = c->next) r.push_back(c);
        return r;
    }

    cmdCommand *last(uint32_t type) const {
        cmdCommand *found = nullptr;
        for (cmdCommand *c = program_->head; c != nullptr; c = c->next) {
            if (c->type == type) found = c;
        }
        return found;
    }

    std::vector<std::string> texts(uint32_t kind) const {
        std::vector<std::string> t;
        for (const Line &line : out_) {
            if (line.kind == kind) t.push_back(line.text);
        }
        return t;
    }

    std::string errors() const {
        std::string joined;
        for (const std::string &text : texts(128)) joined += (joined.empty() ? "" : "\n") + text;
        return joined;
    }

    std::vector<Line> out_;
    cmdEchoOptions echo_ = {};  // no echo, as the start-up script reads
    // Called for each output line before it is stored.
    void (*onOutput_)(ScriptTest *test, const Line &line) = nullptr;

private:
    static ScriptTest *&active() {
        static ScriptTest *fixture = nullptr;
        return fixture;
    }

    static void *capture(cmdProgram *, uint32_t kind, const char *text, int64_t length, int32_t) {
        ScriptTest *test = active();
        if (test == nullptr) return nullptr;
        Line line{kind & ~(CMD_OUT_HIDDEN | CMD_OUT_INPUT_ECHO), kind & (CMD_OUT_HIDDEN | CMD_OUT_INPUT_ECHO),
                  std::string(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length))};
        if (test->onOutput_ != nullptr) test->onOutput_(test, line);
        test->out_.push_back(std::move(line));
        return &test->out_.back();
    }

    std::vector<std::vector<std::string>> sources_;
    std::vector<std::vector<const char *>> pointers_;
    int64_t blocksBefore_ = 0;
};

}  // namespace st
