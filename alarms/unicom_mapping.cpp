#include "alarms/unicom_mapping.h"

#include <algorithm>
#include <string>

#include "alarms/value_text.h"

namespace {

constexpr float kMainsPresentVolts = 120.0f;
constexpr uint16_t kMainsFailureOrdinal = 100;

enum class Phase { kA, kB, kC, kF };

float PhaseValue(const q318b_ac_channel_t& ch, Phase p) {
    switch (p) {
        case Phase::kA:
            return ch.a;
        case Phase::kB:
            return ch.b;
        case Phase::kC:
            return ch.c;
        case Phase::kF:
            return ch.f;
    }
    return 0.0f;
}

bool PhaseGate(const AlarmSiteOptions& opt, Phase p) {
    switch (p) {
        case Phase::kA:
            return opt.has_a;
        case Phase::kB:
            return opt.has_b;
        case Phase::kC:
            return opt.has_c;
        case Phase::kF:
            return true;
    }
    return false;
}

// One AC value: alarm id, report key and template, for ac_type 0 and for
// any other ac_type.
struct AcRow {
    int channel;
    Phase phase;
    const char* id[2];
    const char* key[2];
    const char* tmpl[2];
};

const AcRow kAcRows[8] = {
    {0,
     Phase::kA,
     {"419610401001", "419610801001"},
     {"419110100001", "419110500001"},
     {"419610401001", "419610801001"}},
    {0,
     Phase::kB,
     {"419610401002", "419610801002"},
     {"419110200001", "419110600001"},
     {"419610401001", "419610801001"}},
    {0,
     Phase::kC,
     {"419610401003", "419610801003"},
     {"419110300001", "419110700001"},
     {"419610401001", "419610801001"}},
    {1,
     Phase::kA,
     {"419610401004", "419610801004"},
     {"419110100002", "419110500002"},
     {"419610401001", "419610801001"}},
    {1,
     Phase::kB,
     {"419610401005", "419610801005"},
     {"419110200002", "419110600002"},
     {"419610401001", "419610801001"}},
    {1,
     Phase::kC,
     {"419610401006", "419610801006"},
     {"419110300002", "419110700002"},
     {"419610401001", "419610801001"}},
    {0,
     Phase::kF,
     {"419613901001", "419613901001"},
     {"419113900001", "419113900001"},
     {"419613901001", "419613901001"}},
    {1,
     Phase::kF,
     {"419613901002", "419613901002"},
     {"419113900002", "419113900002"},
     {"419613901001", "419613901001"}},
};

// Rows 1, 2, 3 and 7 are the single-input site's rows.
const int kSingleInputRows[4] = {0, 1, 2, 6};

void ReportValue(AlarmSink& host, const char* id, const char* key, const char* tmpl, float v) {
    host.CheckThreshold(id, "", v);
    host.CheckAOReport(tmpl, key, v);
}

bool ChannelHasMains(const q318b_ac_channel_t& ch, const AlarmSiteOptions& opt) {
    if (opt.has_a && !(ch.a > kMainsPresentVolts)) return false;
    if (opt.has_b && !(ch.b > kMainsPresentVolts)) return false;
    if (opt.has_c && !(ch.c > kMainsPresentVolts)) return false;
    return true;
}

void MainsFailure(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, AlarmSink& host) {
    const int channels = std::min<int>(d.ac.channel_count, q318b_ac_t::kChannels);
    bool mains = false;
    for (int k = 0; k < channels && !mains; ++k) mains = ChannelHasMains(d.ac.channel[k], opt);
    static const std::string key = "PowerOff";
    static const std::string id = "419415001";
    static const std::string text = "输入电源中断告警";
    host.CheckThresholdBool(1, key, id, text, text, !mains, kMainsFailureOrdinal);
}

void AcValues(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, AlarmSink& host) {
    const int t = opt.ac_type == 0 ? 0 : 1;
    auto report = [&](const AcRow& row, int channel) {
        if (!PhaseGate(opt, row.phase)) return;
        ReportValue(host, row.id[t], row.key[t], row.tmpl[t],
                    PhaseValue(d.ac.channel[channel], row.phase));
    };
    if (opt.ac_line == 1 || opt.ac_line == 2) {
        // A single-input site reports its one input under the first input's ids.
        const int channel = opt.ac_line - 1;
        for (int r : kSingleInputRows) report(kAcRows[r], channel);
    } else {
        for (const AcRow& row : kAcRows) report(row, row.channel);
    }
}

void DcValues(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, AlarmSink& host) {
    ReportValue(host, "419620401001", "419120400001", "419620401001", d.dc1.i);
    ReportValue(host, "419620301001", "419120300001", "419620301001", d.dc1.v);
    if (opt.dc_number > 1) {
        ReportValue(host, "419620401002", "419120400002", "419620401001", d.dc2.i);
        ReportValue(host, "419620301002", "419120300002", "419620301001", d.dc2.v);
    }
}

void ModuleFaults(const q318b_419_Data_t& d, AlarmSink& host, UnicomAlarmTexts& texts) {
    static const std::string text = "模块故障告警";
    const int modules = std::min<int>(d.rc.channel_count, q318b_rc_t::kChannels);
    for (int j = 0; j < modules; ++j) {
        const std::string& key = texts.ModuleFaultKey(static_cast<size_t>(j));
        host.CheckThresholdBool(1, key, key, key, text, d.rc.channel[j].fault != 0, 1);
    }
}

}  // namespace

const std::string& UnicomAlarmTexts::ModuleFaultKey(size_t module) {
    while (module_fault_keys_.size() <= module)
        module_fault_keys_.push_back("419430501" +
                                     Padded3(static_cast<unsigned>(module_fault_keys_.size() + 1)));
    return module_fault_keys_[module];
}

void RunUnicomMapping(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, AlarmSink& host,
                      UnicomAlarmTexts& texts) {
    if (opt.has_ac) {
        MainsFailure(d, opt, host);
        AcValues(d, opt, host);
    }
    if (opt.has_dc) DcValues(d, opt, host);
    ModuleFaults(d, host, texts);
}
