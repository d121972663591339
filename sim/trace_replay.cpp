#include "sim/trace_replay.h"

#include <algorithm>

namespace sim {

namespace {

// The characters between SOI and EOI of a sent frame; empty when it is no
// frame.
std::string CommandBody(const std::string& chars) {
    if (chars.size() < 2 || chars.front() != wire::kSoi || chars.back() != wire::kEoi) return "";
    return chars.substr(1, chars.size() - 2);
}

}  // namespace

TraceReplay::TraceReplay(const std::vector<rt::TraceEntry>& entries) {
    Response* open = nullptr;  // the answer being collected
    int64_t sent_ms = 0;
    for (const auto& e : entries) {
        if (e.dir == rt::TraceEntry::Dir::kTx) {
            open = nullptr;
            const std::string body = CommandBody(e.chars);
            if (body.empty()) continue;
            ++commands_;
            answers_[body].push_back(Response{});
            open = &answers_[body].back();
            sent_ms = e.unix_ms;
        } else if (e.dir == rt::TraceEntry::Dir::kRx && open != nullptr) {
            // What the controller sent before the host gave up counts; a
            // frame that came later (dropped, as nothing was outstanding)
            // is the same controller being slow, so it goes too, late.
            if (open->text.empty())
                open->extra_delay_ms =
                    static_cast<double>(std::max<int64_t>(0, e.unix_ms - sent_ms));
            open->text += e.chars;
        }
        // A timeout line ends nothing: a reply after it is still this
        // command's.
    }
}

Response TraceReplay::Answer(std::string_view body) {
    auto it = answers_.find(std::string(body));
    if (it == answers_.end() || it->second.empty()) return Response{};
    Response r = std::move(it->second.front());
    it->second.pop_front();
    return r;
}

}  // namespace sim
