// One whole poll round through RefreshStatus() and process_payload(): every
// reply of the chain decoded, the round completed, published and stored,
// with the host recording in memory. Two sites: a small one (one AC input,
// three modules, no DC unit) and a large one (two AC inputs, 40 modules
// with seven user values each, tower values, two DC groups with 27 user
// values and 10 fuses).
//
// The device's diagnostics go to standard output; while a benchmark runs,
// file descriptor 1 points at /dev/null so that the figures do not measure
// a terminal. The formatting of those lines is still counted.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/alloc_count.h"
#include "device/q318b_419.h"
#include "runtime/framework/diag_redirect.h"
#include "runtime/framework/recording_controller.h"
#include "runtime/wire/reply_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Site {
    bool has_dc = false;
    bool has_tower = false;
    std::vector<Bytes> replies;  // INFO fields, in the order of the chain
};

void PutFloat(Bytes& b, float v) {
    uint8_t raw[4];
    std::memcpy(raw, &v, 4);
    b.insert(b.end(), raw, raw + 4);
}

Site MakeSite(int ac_inputs, int modules, int rc_user, bool tower, int dc_groups, int dc_user,
              int fuses) {
    Site s;
    s.has_dc = dc_groups > 0;
    s.has_tower = tower;

    Bytes ac_analog = {0x00, static_cast<uint8_t>(ac_inputs)};
    for (int i = 0; i < ac_inputs; ++i) {
        for (float v : {220.7f, 221.3f, 222.9f, 50.1f}) PutFloat(ac_analog, v + i);
        if (tower) {
            ac_analog.push_back(1);
            PutFloat(ac_analog, 31.5f);
        }
        ac_analog.push_back(0);
    }
    for (float v : {10.7f, 11.3f, 12.9f}) PutFloat(ac_analog, v);

    Bytes ac_status = {0x00, 0x00};
    if (tower) ac_status.insert(ac_status.end(), {0x01, 0x00});
    ac_status.insert(ac_status.end(), {0x01, 0x00});

    Bytes ac_alarm = {0x00, static_cast<uint8_t>(ac_inputs)};
    for (int i = 0; i < ac_inputs; ++i) {
        ac_alarm.insert(ac_alarm.end(), {0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
        if (tower) ac_alarm.insert(ac_alarm.end(), {0x01, 0x00});
        ac_alarm.insert(ac_alarm.end(), {0x02, 0x00, 0x00});
    }
    ac_alarm.insert(ac_alarm.end(), {0x00, 0x00, 0x00});

    Bytes rc_analog = {0x00};
    PutFloat(rc_analog, 53.5f);
    rc_analog.push_back(static_cast<uint8_t>(modules));
    Bytes rc_status = {0x00, static_cast<uint8_t>(modules)};
    Bytes rc_alarm = {0x00, static_cast<uint8_t>(modules)};
    for (int j = 0; j < modules; ++j) {
        PutFloat(rc_analog, 10.0f + 0.25f * j);
        if (tower) {
            rc_analog.push_back(1);
            PutFloat(rc_analog, 35.5f);
        }
        rc_analog.push_back(static_cast<uint8_t>(rc_user));
        for (int k = 0; k < rc_user; ++k) PutFloat(rc_analog, 1.0f + k);

        rc_status.insert(rc_status.end(), {0x00, 0x01, 0x00});
        if (tower) rc_status.insert(rc_status.end(), {0x01, 0x00});
        rc_status.push_back(0x00);

        rc_alarm.push_back(0x00);
        if (tower) rc_alarm.insert(rc_alarm.end(), {0x01, 0x00});
        rc_alarm.push_back(0x00);
    }

    s.replies = {ac_analog, ac_status, ac_alarm, rc_analog, rc_status, rc_alarm};
    if (!s.has_dc) return s;

    Bytes dc_analog = {0x00, static_cast<uint8_t>(dc_groups)};
    Bytes dc_alarm = {0x00, static_cast<uint8_t>(dc_groups)};
    for (int g = 0; g < dc_groups; ++g) {
        PutFloat(dc_analog, 53.5f);
        PutFloat(dc_analog, 120.25f);
        dc_analog.push_back(2);
        PutFloat(dc_analog, 5.5f);
        PutFloat(dc_analog, -3.25f);
        dc_analog.push_back(0);
        dc_analog.push_back(static_cast<uint8_t>(dc_user));
        for (int k = 0; k < dc_user; ++k) PutFloat(dc_analog, 20.0f + k);

        dc_alarm.push_back(0x00);
        dc_alarm.push_back(static_cast<uint8_t>(fuses));
        dc_alarm.insert(dc_alarm.end(), static_cast<size_t>(fuses), 0x00);
        dc_alarm.push_back(static_cast<uint8_t>(dc_user));
        dc_alarm.insert(dc_alarm.end(), static_cast<size_t>(dc_user), 0x00);
    }
    s.replies.push_back(dc_analog);
    s.replies.push_back(dc_alarm);
    return s;
}

void RunRounds(benchmark::State& state, const Site& site) {
    auto host = std::make_shared<RecordingController>();
    q318b_419 dev;
    dev.Init(host, 7, Json::Value());
    dev.has_dc = site.has_dc;
    dev.has_tower = site.has_tower;
    dev.alarm_level_["120600180010"] = 1;

    std::vector<Bytes> frames;
    int64_t info_bytes = 0;
    for (const auto& info : site.replies) {
        frames.push_back(BuildReplyFrame(0x20, 1, 0x40, 0, info));
        info_bytes += static_cast<int64_t>(info.size());
    }

    DiagRedirect quiet("");  // the plug-in's diagnostics are part of the round, the terminal is not
    // The recording host's own copies of each call count too; they are what
    // a host keeps, not what the plug-in makes.
    bench::AllocSpan span;
    for (auto _ : state) {
        dev.last_data_time_ = boost::posix_time::ptime();  // let the round start
        if (!dev.RefreshStatus()) state.SkipWithError("round not started");
        for (const auto& f : frames) {
            dev.reply_frame_ = f;
            benchmark::DoNotOptimize(dev.process_payload());
        }
        if (dev.poll_step_ != 10) state.SkipWithError("round not completed");
        host->Clear();
    }
    state.counters["allocs_per_round"] = span.Per(static_cast<double>(state.iterations()));
    // The replies must have been decoded, not rejected, for the figures to
    // mean anything.
    const Bytes& rc_analog = site.replies[3];
    if (dev.data_.rc.channel_count != rc_analog[5]) state.SkipWithError("modules not decoded");
    if (site.has_dc && dev.data_.dc2.p_count != site.replies[6][2 + 8 + 1 + 8 + 1])
        state.SkipWithError("second DC group not decoded");
    state.SetBytesProcessed(state.iterations() * info_bytes);
    state.counters["info_bytes_per_round"] = static_cast<double>(info_bytes);
}

void BM_PollRoundSmallSite(benchmark::State& state) {
    static const Site site = MakeSite(1, 3, 0, false, 0, 0, 0);
    RunRounds(state, site);
}

void BM_PollRoundLargeSite(benchmark::State& state) {
    static const Site site = MakeSite(2, 40, 7, true, 2, 27, 10);
    RunRounds(state, site);
}

BENCHMARK(BM_PollRoundSmallSite);
BENCHMARK(BM_PollRoundLargeSite);

}  // namespace
