#include "runtime/wire/line_trace.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>

namespace rt {

namespace {

void Escape(const std::string& raw, bool space, std::string* out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : raw) {
        if (c == '\\') {
            *out += "\\\\";
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c < 0x20 || c > 0x7E || (space && c == ' ')) {
            *out += "\\x";
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            *out += static_cast<char>(c);
        }
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) return false;
        const char k = text[++i];
        if (k == '\\') {
            *out += '\\';
        } else if (k == 'r') {
            *out += '\r';
        } else if (k == 'x' && i + 2 < text.size()) {
            const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            *out += static_cast<char>(hi << 4 | lo);
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

// The next field ending at a space, from `*pos`; false when none.
bool Field(const std::string& line, size_t* pos, std::string* out) {
    if (*pos >= line.size()) return false;
    const size_t end = line.find(' ', *pos);
    *out = line.substr(*pos, end == std::string::npos ? std::string::npos : end - *pos);
    *pos = end == std::string::npos ? line.size() : end + 1;
    return !out->empty();
}

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

}  // namespace

// One word per verdict, so a trace line splits into fields.
const char* TraceVerdict(wire::FrameError e) {
    switch (e) {
        case wire::FrameError::kNone:
            return "good";
        case wire::FrameError::kTooShort:
            return "short";
        case wire::FrameError::kBadHex:
            return "bad-hex";
        case wire::FrameError::kBadLchksum:
            return "length-checksum";
        case wire::FrameError::kLengthMismatch:
            return "length";
        case wire::FrameError::kBadChksum:
            return "checksum";
        case wire::FrameError::kWrongAddress:
            return "foreign-address";
        case wire::FrameError::kReturnCode:
            return "rtn";
        case wire::FrameError::kTooLong:
            return "too-long";
        case wire::FrameError::kTruncated:
            return "truncated";
        case wire::FrameError::kWrongUnit:
            return "foreign-unit";
    }
    return "bad";
}

std::string FormatTraceLine(const TraceEntry& e) {
    // Floor division: a time before 1970 in a zone east of UTC is still
    // written with its milliseconds from 0 to 999.
    int64_t whole = e.unix_ms / 1000;
    int64_t frac = e.unix_ms % 1000;
    if (frac < 0) {
        frac += 1000;
        whole -= 1;
    }
    const std::time_t secs = static_cast<std::time_t>(whole);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char when[40];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(frac));
    std::string s = std::string(when) + ms + " ";
    Escape(e.port.empty() ? std::string("?") : e.port, true, &s);
    char adr[4] = "--";
    if (e.adr >= 0 && e.adr <= 255) std::snprintf(adr, sizeof adr, "%02X", e.adr);
    s += std::string(" ") + adr + " ";
    s += e.dir == TraceEntry::Dir::kTx ? "tx" : e.dir == TraceEntry::Dir::kRx ? "rx" : "--";
    s += " " + (e.verdict.empty() ? std::string("-") : e.verdict) + " ";
    Escape(e.chars, false, &s);
    return s;
}

bool ParseTraceLine(const std::string& line, TraceEntry* out, std::string* error) {
    size_t pos = 0;
    std::string date, time, port, adr, dir, verdict;
    if (!Field(line, &pos, &date) || !Field(line, &pos, &time) || !Field(line, &pos, &port) ||
        !Field(line, &pos, &adr) || !Field(line, &pos, &dir) || !Field(line, &pos, &verdict))
        return Fail(error, "fewer than six fields");
    std::tm tm{};
    int ms = 0;
    char tail = 0;
    if (std::sscanf(date.c_str(), "%4d-%2d-%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tail) !=
            3 ||
        std::sscanf(time.c_str(), "%2d:%2d:%2d.%3d%c", &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms,
                    &tail) != 4 ||
        tm.tm_year < 1970 || tm.tm_year > 9999 || tm.tm_mon < 1 || tm.tm_mon > 12 ||
        tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60 ||
        ms < 0 || ms > 999 || tm.tm_hour < 0 || tm.tm_min < 0 || tm.tm_sec < 0)
        return Fail(error, "time \"" + date + " " + time + "\" is not YYYY-MM-DD hh:mm:ss.mmm");
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t secs = std::mktime(&tm);
    TraceEntry e;
    e.unix_ms = static_cast<int64_t>(secs) * 1000 + ms;
    if (!Unescape(port, &e.port)) return Fail(error, "port \"" + port + "\" is badly escaped");
    if (adr == "--") {
        e.adr = -1;
    } else if (adr.size() == 2 && HexDigit(adr[0]) >= 0 && HexDigit(adr[1]) >= 0) {
        e.adr = HexDigit(adr[0]) << 4 | HexDigit(adr[1]);
    } else {
        return Fail(error, "address \"" + adr + "\" is not two hex digits or --");
    }
    if (dir == "tx")
        e.dir = TraceEntry::Dir::kTx;
    else if (dir == "rx")
        e.dir = TraceEntry::Dir::kRx;
    else if (dir == "--")
        e.dir = TraceEntry::Dir::kNone;
    else
        return Fail(error, "direction \"" + dir + "\" is not tx, rx or --");
    e.verdict = verdict;
    if (!Unescape(pos < line.size() ? line.substr(pos) : std::string(), &e.chars))
        return Fail(error, "the characters are badly escaped");
    *out = std::move(e);
    return true;
}

bool ReadTraceFile(const std::string& path, std::vector<TraceEntry>* entries, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(error, "cannot read trace file " + path);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty()) continue;
        TraceEntry e;
        std::string why;
        if (!ParseTraceLine(line, &e, &why))
            return Fail(error, "trace file " + path + " line " + std::to_string(n) + ": " + why);
        entries->push_back(std::move(e));
    }
    return true;
}

TraceWriter::TraceWriter(std::string path, uint64_t max_bytes, int keep)
    : path_(std::move(path)), max_bytes_(max_bytes), keep_(keep) {
    file_ = std::fopen(path_.c_str(), "a");
    if (file_ == nullptr)
        throw std::runtime_error("cannot open trace file " + path_ + ": " + std::strerror(errno));
    std::fseek(file_, 0, SEEK_END);
    const long at = std::ftell(file_);
    size_ = at > 0 ? static_cast<uint64_t>(at) : 0;
}

TraceWriter::~TraceWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

void TraceWriter::Write(const TraceEntry& e) {
    const std::string line = FormatTraceLine(e) + "\n";
    if (size_ > 0 && size_ + line.size() > max_bytes_) Rotate();
    if (file_ == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), file_);
    size_ += line.size();
}

void TraceWriter::Flush() {
    if (file_ != nullptr) std::fflush(file_);
}

void TraceWriter::Rotate() {
    std::fclose(file_);
    file_ = nullptr;
    for (int i = keep_; i >= 1; --i) {
        const std::string from = i == 1 ? path_ : path_ + "." + std::to_string(i - 1);
        const std::string to = path_ + "." + std::to_string(i);
        std::rename(from.c_str(), to.c_str());
    }
    if (keep_ < 1) std::remove(path_.c_str());
    // A trace that cannot go on is given up, not the polling.
    file_ = std::fopen(path_.c_str(), "w");
    size_ = 0;
}

}  // namespace rt
