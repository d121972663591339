// Cost of the alarm evaluation at the end of a poll round, per operator, on a
// fully populated site: two AC inputs, 40 rectifier modules, two DC groups.
// The host is the framework's idle default, so the figures are the
// plug-in's own work (rule walks, text building, report decisions).
//
// AlarmEvaluation times the evaluation alone; AlarmRound a whole poll round
// as the host drives it (first command, every reply decoded, round
// completion with publishing, alarm evaluation and history).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "bench/alloc_count.h"
#include "device/q318b_419.h"
#include "host/qvr_controller.h"
#include "runtime/framework/diag_redirect.h"
#include "runtime/wire/reply_frame.h"
#include "tests/unit/alarm_plant.h"

namespace {

using Base = UniDataDevice<q318b_419_Data_t, PMBusProtocol, kQ318bDataType>;

class BenchDevice : public q318b_419 {
  public:
    using Base::RunThresholdPass;
};

void FullSite(BenchDevice& d) {
    d.has_ac = true;
    d.has_dc = true;
    d.dc_number_ = 2;
    d.ac_line = 0;
    auto& rec = d.data_;
    rec.ac.channel_count = 2;
    for (int k = 0; k < 2; ++k) {
        rec.ac.channel[k].a = 230.5f;
        rec.ac.channel[k].b = 229.5f;
        rec.ac.channel[k].c = 231.0f;
        rec.ac.channel[k].f = 50.0f;
        rec.ac.channel[k].p40_44[3] = 0xE1;
    }
    rec.rc.channel_count = 40;
    for (int j = 0; j < 40; ++j) {
        rec.rc.channel[j].i = 10.0f + j;
        rec.rc.channel[j].state[0] = j % 2;
        rec.rc.channel[j].p41_44[0] = j % 3 == 0;
    }
    for (auto* dc : {&rec.dc1, &rec.dc2}) {
        dc->v = 53.5f;
        dc->i = 120.0f;
        dc->alert_m_count = 10;
    }
}

// Host settings as a site would have them: levels for every telecom alarm,
// report settings for every unicom template, and rules for the rule modes.
void HostSettings(BenchDevice& d) {
    BAOSetting report;
    report.abs_enabled = true;
    report.abs_delta = 1.0f;
    for (const char* t : {"419610401001", "419613901001", "419620401001", "419620301001"})
        d.ao_report_settings_[t] = report;
    for (const char* id : {"220600120010", "220600130010", "220600140010", "220600160010",
                           "220600170010", "210600320010", "210600330010", "210600340010",
                           "210600320020", "210600330020", "210600340020"})
        d.alarm_level_[id] = 2;
    d.alarm_threshold_["220600160010"] = 52.0f;
    d.alarm_threshold_["220600170010"] = 48.0f;
    d.alarm_threshold_["210600320010"] = 47.0f;
    for (int n = 1; n <= 40; ++n) {
        char id[16];
        std::snprintf(id, sizeof id, "12060069%03d0", n);
        d.alarm_level_[id] = 1;
    }
    for (int n = 0; n < 20; ++n) {
        d.ai_rules_["ai" + std::to_string(n)] = {"419110" + std::to_string(100000 + n), "value"};
        d.alarm_rules_["ai" + std::to_string(n) + "_1"] =
            "4195006" + std::to_string(10000 + n) + ",upper";
        d.alarm_level_["4195006" + std::to_string(10000 + n)] = 1;
        ThresholdRule r;
        r.alarm_id = "L" + std::to_string(n);
        r.value = 56.0f;
        r.recover_value = 55.0f;
        r.level = 1;
        d.up_rules_["ai" + std::to_string(n)] = r;
        d.low_rules_["ai" + std::to_string(n)] = r;
        d.json_data_["ai" + std::to_string(n)] = 50.0 + n;
    }
}

void AlarmEvaluation(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    auto host = std::make_shared<QVRController>();
    BenchDevice d;
    d.Init(host, 7, Json::Value());
    d.b_mode_ = mode;
    FullSite(d);
    HostSettings(d);
    // The mobile pass prints one diagnostic line per rule; keep the figures
    // about evaluation, not about the terminal.
    std::streambuf* saved = std::cout.rdbuf(nullptr);
    bench::AllocSpan span;
    for (auto _ : state) {
        d.alarm_seq_ = 1;
        d.RunCheckThreshold();
        d.RunThresholdPass();
        benchmark::DoNotOptimize(d.alarm_seq_);
    }
    state.counters["allocs_per_round"] = span.Per(static_cast<double>(state.iterations()));
    std::cout.rdbuf(saved);
}

Plant FullPlant() {
    Plant p = NormalPlant();
    p.modules.clear();
    for (int j = 0; j < 40; ++j) p.modules.push_back(Running(10.0f + j));
    p.modules[3].fault = 1;
    p.groups[0].fuses.assign(10, 0);
    p.groups[1].fuses.assign(10, 0);
    return p;
}

void AlarmRound(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    auto host = std::make_shared<QVRController>();
    BenchDevice d;
    d.Init(host, 7, Json::Value());
    FullSite(d);
    HostSettings(d);
    d.b_mode_ = mode;
    d.no_dc_number = 2;

    const Plant p = FullPlant();
    auto frame = [&d](uint8_t cid1, const std::vector<uint8_t>& info) {
        return BuildReplyFrame(d.protocol_ver_, d.address_, cid1, 0, info);
    };
    const std::vector<std::vector<uint8_t>> replies = {
        frame(0x40, p.Ac41()), frame(0x40, p.Ac43()), frame(0x40, p.Ac44()), frame(0x41, p.Rc41()),
        frame(0x41, p.Rc43()), frame(0x41, p.Rc44()), frame(0x42, p.Dc41()), frame(0x42, p.Dc44()),
    };

    // A round that completes counts its alarms from 1 again; 0 left over
    // means the replies stopped short of the alarm evaluation.
    const unsigned full_round_seq = 1 + 2 * 7 + 40 * 4;
    auto round = [&] {
        d.alarm_seq_ = 0;
        d.last_data_time_ = boost::posix_time::ptime();  // the last round is long past
        d.RefreshStatus();
        for (const auto& r : replies) {
            d.reply_frame_ = r;
            d.process_payload();
        }
    };
    DiagRedirect quiet("");  // the plug-in's diagnostics are part of the round, the terminal is not
    round();
    if (!d.data_ready_ || d.alarm_seq_ != full_round_seq) {
        state.SkipWithError("the replies did not complete a round with every alarm");
        return;
    }
    int64_t short_rounds = 0;
    bench::AllocSpan span;
    for (auto _ : state) {
        round();
        short_rounds += d.alarm_seq_ != full_round_seq;
        benchmark::DoNotOptimize(d.data_);
    }
    state.counters["allocs_per_round"] = span.Per(static_cast<double>(state.iterations()));
    if (short_rounds != 0) state.SkipWithError("a timed round stopped short of its alarms");
}

}  // namespace

BENCHMARK(AlarmEvaluation)->Arg(1)->Arg(2)->Arg(3)->Arg(5)->ArgName("b_mode");
BENCHMARK(AlarmRound)->Arg(1)->Arg(2)->Arg(3)->Arg(5)->ArgName("b_mode");
