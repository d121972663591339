// libFuzzer target: the probe's layout inference over any replies a line
// can bring back.
//
// Input: for each command of the probe round, in ProbeCommands() order,
//   [state] [length, 2 bytes, most significant first] INFO...
//   state: bit 0 answered, bits 1-3 the RTN; the length is cut to 0x7FF
//   and to the bytes left. Commands past the end of the input got no reply.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tools/probe/probe_layout.h"

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The decoders trace to standard output; the fuzzer reports on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    probe::RoundCapture round;
    size_t at = 0;
    for (const auto& c : probe::ProbeCommands()) {
        probe::Exchange e;
        e.command = c;
        if (at + 3 <= size) {
            const uint8_t state = data[at];
            size_t n = (size_t{data[at + 1]} << 8 | data[at + 2]) & 0x7FF;
            at += 3;
            if (n > size - at) n = size - at;
            e.answered = (state & 1) != 0;
            e.rtn = static_cast<uint8_t>((state >> 1) & 7);
            e.info.assign(data + at, data + at + n);
            at += n;
        }
        round.exchanges.push_back(e);
    }

    const probe::Verdict v = probe::InferLayout(round);
    Require(v.units.size() == round.exchanges.size());
    // Nothing fits only for a reason given; a fit always reads something.
    Require(!v.fits.empty() || !v.problems.empty());
    Require(v.fits.empty() || !v.fits.front().reading.empty());
    for (size_t i = 1; i < v.fits.size(); ++i)
        Require(v.fits[i - 1].implausible <= v.fits[i].implausible);
    for (const auto& c : v.fits) {
        Require(c.options.skip_41_41 >= 0 && c.options.skip_41_41 <= probe::kMaxSkip);
        Require(c.options.cg == 1 || c.options.cg == 0xFF);
        // A unit is only set up when it answered the command the device
        // will send it.
        const auto good = [&](uint8_t cid1, uint8_t cid2, probe::Arg arg) {
            const probe::Exchange* e = round.Find(cid1, cid2, arg);
            return e != nullptr && e->answered && e->rtn == 0;
        };
        const probe::Arg group = c.options.cg == 0xFF ? probe::Arg::kAll : probe::Arg::kGroup;
        if (c.options.has_ac)
            Require(good(0x40, 0x41, c.options.no_40_arg ? probe::Arg::kNone : group) &&
                    good(0x40, 0x43, group) && good(0x40, 0x44, group));
        if (c.options.has_dc)
            Require(good(0x42, 0x41, c.options.no_42_arg ? probe::Arg::kNone : probe::Arg::kAll));
        Require(good(0x41, 0x41, probe::Arg::kNone));
        Require(probe::AppSetting(c.options).size() == 8);
    }
    for (const auto& a : v.ambiguities) {
        Require(!v.fits.empty() && a.values.size() >= 2);
        Require(!a.what_to_check.empty());
    }
    return 0;
}
