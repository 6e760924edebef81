// A program that runs: scripts read from lines in memory and run to their end, command lines
// collected instead of issued, and values read back through the evaluation entry points.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "script/internal.h"
#include "script_testing.h"

namespace st {

class RunTest : public ScriptTest {
protected:
    void SetUp() override {
        ScriptTest::SetUp();
        commands() = &commands_;
        program_->issueCommand = [](cmdProgram *, const char *text) { commands()->push_back(text); };
    }
    void TearDown() override {
        commands() = nullptr;
        ScriptTest::TearDown();
    }

    // Reads and runs the lines as one source -> cmdRunCommands' result.
    int run(std::vector<std::string> lines, const char *name = "run.vdr") {
        cmdReadContext *r = reader(std::move(lines), name);
        if (r == nullptr) return -1;
        cmdPushReader(program_, r);
        int rc = cmdRunCommands(program_);
        cmdPopReader(program_);
        return rc;
    }

    // An expression's value as text ("<error>" when it failed).
    std::string value(const char *expression) {
        char *text = cslEvaluateExpression(program_, expression, -1, 0, 0);
        if (text == nullptr) return "<error>";
        std::string s = text;
        CSFreeMem(text);
        return s;
    }

    // Whether the variable exists in any frame.
    bool has(const char *name) { return cslFindVariable(program_, name, std::strlen(name)) != nullptr; }

    std::vector<std::string> commands_;

private:
    static std::vector<std::string> *&commands() {
        static std::vector<std::string> *list = nullptr;
        return list;
    }
};

}  // namespace st
