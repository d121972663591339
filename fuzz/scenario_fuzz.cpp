// Any bytes as a scenario file. A refusal is one line; a scenario that
// loads drives the controller through its whole timetable, every poll and
// control command at each event's time, so that nothing a loaded scenario
// holds can crash the simulator or take it outside the protocol.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/wire/frame_codec.h"
#include "sim/controller.h"
#include "sim/scenario.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

struct Command {
    uint8_t cid1, cid2;
    std::vector<uint8_t> info;
};

const Command kCommands[] = {
    {0x40, 0x41, {0x01}},
    {0x40, 0x41, {0xFF}},
    {0x40, 0x43, {0x01}},
    {0x40, 0x44, {0x01}},
    {0x41, 0x41, {}},
    {0x41, 0x43, {}},
    {0x41, 0x44, {}},
    {0x42, 0x41, {0xFF}},
    {0x42, 0x44, {0xFF}},
    {0x41, 0x45, {0x2F, 0x00}},
    {0x42, 0x49, {0x01, 0x14, 0xB4}},
};

// The frame body (between SOI and EOI) of a command.
std::string Body(uint8_t ver, uint8_t adr, const Command& c) {
    const std::string f = wire::EncodeCommand(wire::Version(ver), wire::Address(adr), c.cid1,
                                              c.cid2, c.info.data(), c.info.size());
    return f.substr(1, f.size() - 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::Scenario s;
    std::string err;
    if (!sim::ParseScenarioText(text, &s, &err)) {
        Check(!err.empty());
        Check(err.find('\n') == std::string::npos && err.find('\r') == std::string::npos);
        return 0;
    }
    Check(s.baud >= sim::limits::kMinBaud && s.baud <= sim::limits::kMaxBaud);
    Check(s.turnaround_ms >= 0 && s.turnaround_ms <= sim::limits::kMaxTurnaroundMs);
    Check(!s.rectifiers || s.rectifiers->modules.size() <= sim::limits::kMaxItems);
    for (const auto& e : s.events) Check(e.at >= 0 && e.at <= sim::limits::kMaxEventAt);

    // Nothing that damages replies: every reply must then be a frame the
    // host reads as such, from this controller.
    const bool clean = s.events.empty() && s.replay.empty();
    std::vector<double> times = {0};
    for (const auto& e : s.events) times.push_back(e.at);
    times.push_back(sim::limits::kMaxEventAt + 1);
    const uint8_t ver = s.version, adr = s.address;
    sim::SimController c(std::move(s));
    for (double t : times) {
        for (const auto& cmd : kCommands) {
            const sim::Response r = c.Answer(Body(ver, adr, cmd), t);
            Check(r.extra_delay_ms >= 0 && r.extra_delay_ms <= sim::limits::kMaxDelayMs);
            if (!clean) continue;
            wire::ReplyAssembler a;
            std::vector<wire::Reply> out;
            a.Feed(reinterpret_cast<const uint8_t*>(r.text.data()), r.text.size(),
                   wire::Address(adr), &out);
            Check(out.size() == 1);
            Check(out[0].error == wire::FrameError::kNone ||
                  out[0].error == wire::FrameError::kReturnCode);
        }
        // Commands for another address get no answer.
        if (clean)
            Check(c.Answer(Body(ver, static_cast<uint8_t>(adr + 1), kCommands[0]), t).text.empty());
    }
    return 0;
}
