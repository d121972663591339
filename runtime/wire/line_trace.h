// A trace of a line: every frame sent and received, with the codec's
// verdict, one text line each, so a fault seen in the field can be read,
// decoded and replayed on the bench. The format:
//
//   2026-12-09 21:50:01.123 /dev/ttyS0 01 tx sent ~200146420000FDB2\r
//   DATE       TIME         PORT       ADR DIR VERDICT CHARACTERS
//
// ADR is the address of the device whose exchange it was (hex, "--" for
// none), DIR "tx", "rx" or "--" (a timeout), VERDICT one word. The
// characters run to the end of the line, as they crossed it: bytes outside
// printable ASCII as \xNN, CR as \r, a backslash as \\. In PORT a space is
// written \x20 so the fields stay apart.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/wire/frame_codec.h"

namespace rt {

// The VERDICT word of a received frame the codec judged `e`.
const char* TraceVerdict(wire::FrameError e);

struct TraceEntry {
    int64_t unix_ms = 0;
    std::string port;
    int adr = -1;  // -1: no device's exchange
    enum class Dir { kTx, kRx, kNone } dir = Dir::kNone;
    std::string verdict;
    std::string chars;  // raw bytes
};

std::string FormatTraceLine(const TraceEntry& e);
// False, with `error` saying what is wrong, for a line not in the format
// above. Local time is read back as written.
bool ParseTraceLine(const std::string& line, TraceEntry* out, std::string* error);

// Reads a trace file, every line. False, with `error` naming the file and
// the line, when a line is not a trace line.
bool ReadTraceFile(const std::string& path, std::vector<TraceEntry>* entries, std::string* error);

// Writes trace lines to a file, rotated by size: when the file would pass
// `max_bytes` it becomes FILE.1 (FILE.1 becomes FILE.2, and so on up to
// `keep` old files) and a new FILE is started.
class TraceWriter {
  public:
    // Throws std::runtime_error naming the file when it cannot be opened.
    TraceWriter(std::string path, uint64_t max_bytes, int keep);
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    void Write(const TraceEntry& e);
    // Lines reach the file by the next flush, at the latest once per turn
    // of the loop; a trace is for reading while the runner runs.
    void Flush();

  private:
    void Rotate();

    std::string path_;
    uint64_t max_bytes_;
    int keep_;
    FILE* file_ = nullptr;
    uint64_t size_ = 0;
};

}  // namespace rt
