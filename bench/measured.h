// The benchmarks' main: runs them as benchmark_main does, and ends with status 1 when any of them
// could not measure (it reported an error), so that a row that measured nothing fails the run rather
// than showing up as an empty cell.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// The default display reporter, noting each run that ended in an error.
class MeasuredReporter : public benchmark::BenchmarkReporter {
public:
    MeasuredReporter() : inner_(benchmark::CreateDefaultDisplayReporter()) {}
    bool ReportContext(const Context &context) override {
        inner_->SetOutputStream(&GetOutputStream());
        inner_->SetErrorStream(&GetErrorStream());
        return inner_->ReportContext(context);
    }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.error_occurred) failed_.push_back(run.benchmark_name() + ": " + run.error_message);
        inner_->ReportRuns(runs);
    }
    void Finalize() override { inner_->Finalize(); }
    const std::vector<std::string> &failed() const { return failed_; }

private:
    std::unique_ptr<benchmark::BenchmarkReporter> inner_;
    std::vector<std::string> failed_;
};

inline int runMeasured(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    MeasuredReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const std::string &failed : reporter.failed())
        std::fprintf(stderr, "NOT MEASURED %s\n", failed.c_str());
    return reporter.failed().empty() ? 0 : 1;
}

}  // namespace bench
