#include "bench/union_csv_reporter.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <ostream>
#include <sstream>

namespace bench {

namespace {

const char* const kColumns[] = {
    "name",           "iterations",       "real_time",        "cpu_time",
    "time_unit",      "bytes_per_second", "items_per_second", "label",
    "error_occurred", "error_message"};

std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

// The stream's default form, as the library prints its numbers.
template <typename T>
std::string Text(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

std::string BigOText(benchmark::BigO complexity) {
    switch (complexity) {
        case benchmark::oN:
            return "N";
        case benchmark::oNSquared:
            return "N^2";
        case benchmark::oNCubed:
            return "N^3";
        case benchmark::oLogN:
            return "lgN";
        case benchmark::oNLogN:
            return "NlgN";
        case benchmark::o1:
            return "(1)";
        default:
            return "f(N)";
    }
}

}  // namespace

bool UnionCsvReporter::ReportContext(const Context& context) {
    if (print_context_) PrintBasicContext(&GetErrorStream(), context);
    return true;
}

void UnionCsvReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        Row row;
        row.name = run.benchmark_name();
        if (run.error_occurred) {
            row.error = true;
            row.error_message = run.error_message;
            rows_.push_back(std::move(row));
            continue;
        }
        // Complexity and RMS rows have no iteration count, and the former
        // names its complexity where the time unit would be.
        if (!run.report_big_o && !run.report_rms) row.iterations = Text(run.iterations);
        const bool fraction = run.run_type == Run::RT_Aggregate &&
                              run.aggregate_unit == benchmark::StatisticUnit::kPercentage;
        // A coefficient of variation is a fraction of the mean, not a time:
        // scaled to nanoseconds it would read as one.
        row.real_time =
            fraction ? Text(run.real_accumulated_time) : Text(run.GetAdjustedRealTime());
        row.cpu_time = fraction ? Text(run.cpu_accumulated_time) : Text(run.GetAdjustedCPUTime());
        if (fraction)
            row.time_unit.clear();
        else if (run.report_big_o)
            row.time_unit = BigOText(run.complexity);
        else if (!run.report_rms)
            row.time_unit = benchmark::GetTimeUnitString(run.time_unit);
        row.label = run.report_label;
        for (const auto& [name, counter] : run.counters) {
            const std::string value = Text(counter.value);
            if (name == "bytes_per_second") {
                row.bytes_per_second = value;
            } else if (name == "items_per_second") {
                row.items_per_second = value;
            } else {
                row.counters[name] = value;
                counter_names_.insert(name);
            }
        }
        rows_.push_back(std::move(row));
    }
}

void UnionCsvReporter::Finalize() {
    std::ostream& out = GetOutputStream();
    const char* sep = "";
    for (const char* c : kColumns) {
        out << sep << c;
        sep = ",";
    }
    for (const std::string& name : counter_names_) out << "," << Quoted(name);
    out << "\n";
    for (const Row& row : rows_) {
        out << Quoted(row.name) << ",";
        if (row.error) {
            // Every column up to error_occurred left empty, as the library does.
            out << std::string(std::size(kColumns) - 3, ',') << "true,"
                << Quoted(row.error_message);
            for (size_t k = 0; k < counter_names_.size(); ++k) out << ",";
            out << "\n";
            continue;
        }
        out << row.iterations << "," << row.real_time << "," << row.cpu_time << "," << row.time_unit
            << "," << row.bytes_per_second << "," << row.items_per_second << ","
            << (row.label.empty() ? std::string() : Quoted(row.label)) << ",,";
        for (const std::string& name : counter_names_) {
            const auto it = row.counters.find(name);
            out << "," << (it == row.counters.end() ? std::string() : it->second);
        }
        out << "\n";
    }
    out.flush();
    rows_.clear();
    counter_names_.clear();
}

std::string FlagValue(int argc, char** argv, const std::string& flag, const char* env,
                      const std::string& fallback) {
    const std::string prefix = flag + "=";
    std::string found;
    bool seen = false;
    for (int k = 1; k < argc; ++k) {
        if (std::strncmp(argv[k], prefix.c_str(), prefix.size()) == 0) {
            found = argv[k] + prefix.size();
            seen = true;
        }
    }
    if (seen) return found;
    if (const char* v = std::getenv(env)) return v;
    return fallback;
}

}  // namespace bench
