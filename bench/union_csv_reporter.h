// CSV output for the whole suite. Google Benchmark's own CSV reporter takes
// its columns from the first run and stops the program when a later run has
// a counter the first did not; our benchmarks each have their own counters.
// This one keeps every run until the end and prints one header with the
// union of the counter names, leaving a cell empty where a run lacks one.
// The columns and the number forms are otherwise those of the library's,
// except that a coefficient of variation row gives its times as the
// fraction it is (0.0133 for 1.33 %) and no time unit.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace bench {

class UnionCsvReporter : public benchmark::BenchmarkReporter {
  public:
    // `print_context`: the machine and library lines on the error stream,
    // as the library's reporters do on the terminal; off for a file, which
    // then holds the table alone.
    explicit UnionCsvReporter(bool print_context) : print_context_(print_context) {}

    bool ReportContext(const Context& context) override;
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

  private:
    // A run as it will be printed, its cells already formatted, so that
    // nothing refers back to the library's run once it has moved on.
    struct Row {
        std::string name;
        bool error = false;
        std::string error_message;
        std::string iterations;
        std::string real_time;
        std::string cpu_time;
        std::string time_unit;
        std::string bytes_per_second;
        std::string items_per_second;
        std::string label;
        std::map<std::string, std::string> counters;
    };

    bool print_context_;
    std::vector<Row> rows_;
    std::set<std::string> counter_names_;
};

// The value the library will take for `flag` ("--benchmark_format",
// "--benchmark_out"): its last "--flag=value" in argv, else the library's
// environment variable for it (`env`), else `fallback`.
std::string FlagValue(int argc, char** argv, const std::string& flag, const char* env,
                      const std::string& fallback);

}  // namespace bench
