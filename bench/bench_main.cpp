// q318b_bench's main: the library's own, except that CSV, on the terminal
// or in the --benchmark_out file, goes through UnionCsvReporter, since the
// library's CSV reporter cannot take a suite whose benchmarks have
// different counters. Console and JSON stay the library's.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench/union_csv_reporter.h"

int main(int argc, char** argv) {
    // Read before Initialize, which takes the library's flags out of argv.
    const std::string format =
        bench::FlagValue(argc, argv, "--benchmark_format", "BENCHMARK_FORMAT", "console");
    const std::string out_format =
        bench::FlagValue(argc, argv, "--benchmark_out_format", "BENCHMARK_OUT_FORMAT", "json");
    const std::string out = bench::FlagValue(argc, argv, "--benchmark_out", "BENCHMARK_OUT", "");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    std::unique_ptr<benchmark::BenchmarkReporter> display;
    std::unique_ptr<benchmark::BenchmarkReporter> file;
    if (format == "csv") display = std::make_unique<bench::UnionCsvReporter>(true);
    // The library opens the file and points the file reporter at it; it
    // refuses a file reporter without a file.
    if (out_format == "csv" && !out.empty())
        file = std::make_unique<bench::UnionCsvReporter>(false);
    benchmark::RunSpecifiedBenchmarks(display.get(), file.get());
    benchmark::Shutdown();
    return 0;
}
