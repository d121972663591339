// The suite's CSV reporter, fed runs as the library hands them over: one
// header with every counter of every run, each run's cells under their own
// columns, empty where a run has no such counter.
#include "bench/union_csv_reporter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using BenchRun = benchmark::BenchmarkReporter::Run;

BenchRun MakeRun(const std::string& name, std::vector<std::pair<std::string, double>> counters) {
    BenchRun r;
    r.run_name.function_name = name;
    r.iterations = 10;
    r.time_unit = benchmark::kNanosecond;
    r.real_accumulated_time = 2e-6;  // seconds over all iterations: 200 ns each
    r.cpu_accumulated_time = 1e-6;
    for (const auto& [k, v] : counters) r.counters[k] = benchmark::Counter(v);
    return r;
}

// Splits CSV text into rows of cells, honouring quotes and doubled quotes.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string cell;
    bool quoted = false;
    for (size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        if (quoted) {
            if (c == '"' && k + 1 < text.size() && text[k + 1] == '"') {
                cell += '"';
                ++k;
            } else if (c == '"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(cell);
            cell.clear();
        } else if (c == '\n') {
            row.push_back(cell);
            rows.push_back(row);
            row.clear();
            cell.clear();
        } else {
            cell += c;
        }
    }
    EXPECT_TRUE(row.empty() && cell.empty()) << "text does not end with a line end";
    return rows;
}

std::string Report(const std::vector<std::vector<BenchRun>>& batches) {
    std::ostringstream out;
    bench::UnionCsvReporter reporter(false);
    reporter.SetOutputStream(&out);
    std::ostringstream err;
    reporter.SetErrorStream(&err);
    for (const auto& runs : batches) reporter.ReportRuns(runs);
    EXPECT_EQ(out.str(), "") << "rows before the end";
    reporter.Finalize();
    return out.str();
}

size_t Column(const std::vector<std::string>& header, const std::string& name) {
    for (size_t k = 0; k < header.size(); ++k)
        if (header[k] == name) return k;
    ADD_FAILURE() << "no column " << name;
    return header.size();
}

TEST(UnionCsvReporter, RunsWithDifferentCountersShareOneHeader) {
    const std::string text = Report({
        {MakeRun("BM_Round", {{"allocs_per_round", 232}, {"info_bytes_per_round", 2359}})},
        {MakeRun("BM_Wire", {{"round_s", 5.79}, {"allocs_per_round", 0}})},
        {MakeRun("BM_Plain", {})},
    });
    const auto rows = ParseCsv(text);
    ASSERT_EQ(rows.size(), 4u) << text;
    const auto& header = rows[0];
    const std::vector<std::string> fixed = {
        "name",           "iterations",       "real_time",        "cpu_time",
        "time_unit",      "bytes_per_second", "items_per_second", "label",
        "error_occurred", "error_message"};
    ASSERT_GE(header.size(), fixed.size());
    EXPECT_EQ(std::vector<std::string>(header.begin(), header.begin() + fixed.size()), fixed);
    EXPECT_EQ(std::vector<std::string>(header.begin() + fixed.size(), header.end()),
              (std::vector<std::string>{"allocs_per_round", "info_bytes_per_round", "round_s"}));
    for (const auto& row : rows) EXPECT_EQ(row.size(), header.size()) << text;

    struct Expect {
        size_t row;
        const char* column;
        const char* cell;
    };
    const Expect cells[] = {
        {1, "name", "BM_Round"},
        {1, "iterations", "10"},
        {1, "real_time", "200"},
        {1, "cpu_time", "100"},
        {1, "time_unit", "ns"},
        {1, "allocs_per_round", "232"},
        {1, "info_bytes_per_round", "2359"},
        {1, "round_s", ""},
        {2, "name", "BM_Wire"},
        {2, "allocs_per_round", "0"},
        {2, "info_bytes_per_round", ""},
        {2, "round_s", "5.79"},
        {3, "name", "BM_Plain"},
        {3, "allocs_per_round", ""},
        {3, "round_s", ""},
        {3, "error_occurred", ""},
    };
    for (const Expect& e : cells)
        EXPECT_EQ(rows[e.row][Column(header, e.column)], e.cell)
            << "row " << e.row << " column " << e.column;
}

TEST(UnionCsvReporter, RatesLabelsErrorsAndQuotesKeepTheirColumns) {
    BenchRun rate = MakeRun("BM_Rate", {{"bytes_per_second", 1024}, {"items_per_second", 8}});
    rate.report_label = "say \"hi\", twice";
    BenchRun failed = MakeRun("BM_\"Broken\"", {{"allocs_per_round", 3}});
    failed.error_occurred = true;
    failed.error_message = "round not started";
    BenchRun after = MakeRun("BM_After", {{"allocs_per_round", 7}});
    const std::string text = Report({{rate, failed}, {after}});
    const auto rows = ParseCsv(text);
    ASSERT_EQ(rows.size(), 4u) << text;
    const auto& header = rows[0];
    // Rates are the library's own columns, never counters of their own.
    EXPECT_EQ(header.back(), "allocs_per_round");
    EXPECT_EQ(header.size(), 11u);
    for (const auto& row : rows) EXPECT_EQ(row.size(), header.size()) << text;

    EXPECT_EQ(rows[1][Column(header, "bytes_per_second")], "1024");
    EXPECT_EQ(rows[1][Column(header, "items_per_second")], "8");
    EXPECT_EQ(rows[1][Column(header, "label")], "say \"hi\", twice");
    EXPECT_EQ(rows[1][Column(header, "allocs_per_round")], "");

    EXPECT_EQ(rows[2][Column(header, "name")], "BM_\"Broken\"");
    EXPECT_EQ(rows[2][Column(header, "error_occurred")], "true");
    EXPECT_EQ(rows[2][Column(header, "error_message")], "round not started");
    EXPECT_EQ(rows[2][Column(header, "iterations")], "");
    EXPECT_EQ(rows[2][Column(header, "allocs_per_round")], "");

    EXPECT_EQ(rows[3][Column(header, "allocs_per_round")], "7");
    EXPECT_NE(text.find("\n\"BM_\"\"Broken\"\"\","), std::string::npos)
        << "quotes inside a name are doubled: " << text;
}

TEST(UnionCsvReporter, AVariationRowIsAFractionNotATime) {
    BenchRun cv = MakeRun("BM_Round", {{"allocs_per_round", 0.5}});
    cv.run_type = BenchRun::RT_Aggregate;
    cv.aggregate_name = "cv";
    cv.aggregate_unit = benchmark::StatisticUnit::kPercentage;
    cv.iterations = 5;
    cv.real_accumulated_time = 0.0125;
    cv.cpu_accumulated_time = 0.25;
    BenchRun mean = cv;
    mean.aggregate_name = "mean";
    mean.aggregate_unit = benchmark::StatisticUnit::kTime;
    mean.real_accumulated_time = 1e-6;  // the mean's times are per iteration already
    mean.iterations = 1;
    const auto rows = ParseCsv(Report({{mean, cv}}));
    ASSERT_EQ(rows.size(), 3u);
    const auto& header = rows[0];
    EXPECT_EQ(rows[1][Column(header, "name")], "BM_Round_mean");
    EXPECT_EQ(rows[1][Column(header, "real_time")], "1000");
    EXPECT_EQ(rows[1][Column(header, "time_unit")], "ns");
    EXPECT_EQ(rows[2][Column(header, "name")], "BM_Round_cv");
    EXPECT_EQ(rows[2][Column(header, "real_time")], "0.0125");
    EXPECT_EQ(rows[2][Column(header, "cpu_time")], "0.25");
    EXPECT_EQ(rows[2][Column(header, "time_unit")], "");
    EXPECT_EQ(rows[2][Column(header, "allocs_per_round")], "0.5");
}

TEST(UnionCsvReporter, FlagValueTakesTheLastFlagThenTheEnvironment) {
    struct Case {
        std::vector<const char*> args;
        const char* env;  // null: unset
        const char* want;
    };
    const Case cases[] = {
        {{"bench"}, nullptr, "console"},
        {{"bench"}, "json", "json"},
        {{"bench", "--benchmark_format=csv"}, "json", "csv"},
        {{"bench", "--benchmark_format=csv", "--benchmark_format=json"}, nullptr, "json"},
        {{"bench", "--benchmark_format_x=csv"}, nullptr, "console"},
        {{"bench", "--benchmark_filter=Round", "--benchmark_format="}, "csv", ""},
    };
    for (const Case& c : cases) {
        if (c.env != nullptr)
            setenv("Q318B_TEST_FORMAT", c.env, 1);
        else
            unsetenv("Q318B_TEST_FORMAT");
        std::vector<char*> argv;
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        EXPECT_EQ(bench::FlagValue(static_cast<int>(argv.size()), argv.data(), "--benchmark_format",
                                   "Q318B_TEST_FORMAT", "console"),
                  c.want)
            << c.args.back();
    }
    unsetenv("Q318B_TEST_FORMAT");
}

}  // namespace
