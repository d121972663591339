// Any bytes as a trace file: each line is refused with a reason or read
// into an entry that writes back to a line reading the same; the entries
// read, served as a replay, answer every command they hold without
// reading past anything.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/wire/line_trace.h"
#include "sim/trace_replay.h"
// Compiled in here so the fuzzer's coverage instrumentation sees them.
#include "runtime/wire/line_trace.cpp"  // NOLINT(bugprone-suspicious-include)
#include "sim/trace_replay.cpp"         // NOLINT(bugprone-suspicious-include)

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<rt::TraceEntry> entries;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        rt::TraceEntry e;
        std::string err;
        if (!rt::ParseTraceLine(line, &e, &err)) {
            Require(!err.empty());
            continue;
        }
        const std::string again = rt::FormatTraceLine(e);
        Require(again.find('\n') == std::string::npos);
        rt::TraceEntry back;
        Require(rt::ParseTraceLine(again, &back, &err));
        Require(back.port == e.port && back.adr == e.adr && back.dir == e.dir &&
                back.verdict == e.verdict && back.chars == e.chars);
        entries.push_back(std::move(e));
    }
    sim::TraceReplay replay(entries);
    for (const auto& e : entries)
        if (e.dir == rt::TraceEntry::Dir::kTx && e.chars.size() >= 2)
            (void)replay.Answer(std::string_view(e.chars).substr(1, e.chars.size() - 2));
    return 0;
}
