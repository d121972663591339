// The --json stream's record line for a large site (two AC inputs, 40
// modules with seven user values, two DC groups), one line per iteration:
//
//   before_tree_and_writer_per_line  the path the runner took before:
//       EventJson's tree, written by a StreamWriter built for the line
//   tree_kept_writer  the tree, written by JsonLine's kept writer (what the
//       other events still take)
//   direct_kept_buffer  RecordEventLine into a buffer kept across rounds
//       (what records take now)
//
// allocs_per_round is heap allocations per line (one line per device and
// round); bytes_per_line the line's length without its line end.
#include <benchmark/benchmark.h>
#include <json/writer.h>

#include <string>

#include "bench/alloc_count.h"
#include "runtime/site/site_services.h"
#include "tests/support/large_site_record.h"
#include "tools/runner_view.h"

namespace {

enum class Path { kBeforeTreeAndWriterPerLine, kTreeKeptWriter, kDirectKeptBuffer };

// JsonLine as it was: a builder and a writer for every line.
std::string LineWithWriterPerLine(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

HostEvent LargeSiteEvent() {
    return test_records::RecordEvent(test_records::LargeSiteRecord());
}

void BM_RecordJsonLineLargeSite(benchmark::State& state, Path path) {
    const HostEvent e = LargeSiteEvent();
    std::string kept;
    size_t bytes = 0;
    // The kept buffer and writer are grown or made once, before counting.
    if (path == Path::kDirectKeptBuffer) RecordEventLine(e, kept);
    if (path == Path::kTreeKeptWriter) benchmark::DoNotOptimize(JsonLine(EventJson(e)));
    bench::AllocSpan span;
    for (auto _ : state) {
        switch (path) {
            case Path::kBeforeTreeAndWriterPerLine: {
                const std::string line = LineWithWriterPerLine(EventJson(e));
                bytes = line.size();
                benchmark::DoNotOptimize(line.data());
                break;
            }
            case Path::kTreeKeptWriter: {
                const std::string line = JsonLine(EventJson(e));
                bytes = line.size();
                benchmark::DoNotOptimize(line.data());
                break;
            }
            case Path::kDirectKeptBuffer:
                RecordEventLine(e, kept);
                bytes = kept.size();
                benchmark::DoNotOptimize(kept.data());
                break;
        }
        benchmark::ClobberMemory();
    }
    state.counters["allocs_per_round"] = span.Per(static_cast<double>(state.iterations()));
    state.counters["bytes_per_line"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

BENCHMARK_CAPTURE(BM_RecordJsonLineLargeSite, before_tree_and_writer_per_line,
                  Path::kBeforeTreeAndWriterPerLine);
BENCHMARK_CAPTURE(BM_RecordJsonLineLargeSite, tree_kept_writer, Path::kTreeKeptWriter);
BENCHMARK_CAPTURE(BM_RecordJsonLineLargeSite, direct_kept_buffer, Path::kDirectKeptBuffer);

}  // namespace
