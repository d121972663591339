#include "alarms/telecom_mapping.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "alarms/value_text.h"

namespace {

constexpr double kOverVolts = 280.0;
constexpr double kUnderVolts = 150.0;  // also the outage limit
constexpr double kNotMeasured = 0.01;  // at or below: no value, no low alarm
constexpr unsigned kSecondGroupFirstFuse = 19;

class TelecomReporter {
  public:
    TelecomReporter(HostAlarmTables tables, AlarmSink& host) : tables_(tables), host_(host) {}

    // Reports `id` when the host gives it a level.
    void Report(const std::string& id, const std::string& value_text, const std::string& alarm_text,
                bool active) {
        const int level = tables_.level[id];
        if (level == 0) return;
        host_.CheckThresholdBool(level, id, id, value_text, alarm_text, active, 1);
    }

    // The same for an alarm decided against the host's threshold of `id`,
    // which is looked up only for an enabled alarm.
    template <typename Decide>
    void ReportAgainstThreshold(const std::string& id, const std::string& value_text,
                                const std::string& alarm_text, Decide active) {
        const int level = tables_.level[id];
        if (level == 0) return;
        host_.CheckThresholdBool(level, id, id, value_text, alarm_text,
                                 active(tables_.threshold[id]), 1);
    }

  private:
    HostAlarmTables tables_;
    AlarmSink& host_;
};

std::string TelecomId(const char* code, unsigned instance) {
    return code + Padded3(instance) + "0";
}

// The cached text while `values` are bit for bit those it was made from
// (so a NaN matches itself and -0 is not 0), else a new one from `make`.
template <size_t K, typename Make>
const std::string& TextOf(TelecomAlarmTexts::ValueText<K>& cache, const float (&values)[K],
                          Make make) {
    if (!cache.made || std::memcmp(cache.values.data(), values, sizeof values) != 0) {
        cache.text = make();
        std::memcpy(cache.values.data(), values, sizeof values);
        cache.made = true;
    }
    return cache.text;
}

void AcAlarms(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, TelecomReporter& r,
              TelecomAlarmTexts& texts) {
    const auto& ch0 = d.ac.channel[0];
    const auto& ch1 = d.ac.channel[1];
    const float volts[6] = {ch0.a, ch0.b, ch0.c, ch1.a, ch1.b, ch1.c};
    const bool configured[6] = {opt.has_a, opt.has_b, opt.has_c, opt.has_a, opt.has_b, opt.has_c};
    const float f0 = ch0.f;
    const float f1 = ch1.f;
    const float freqs[2] = {f0, f1};

    const std::string& volt_text = TextOf(texts.ac_volts, volts, [&] {
        std::ostringstream vt;
        vt << "ua1:" << volts[0] << " ub1:" << volts[1] << " uc1:" << volts[2]
           << " ua2:" << volts[3] << " ub2:" << volts[4] << " uc2:" << volts[5];
        return vt.str();
    });
    const std::string& freq_text = TextOf(texts.ac_freq, freqs, [&] {
        std::ostringstream ft;
        ft << "f1:" << f0 << " f2:" << f1;
        return ft.str();
    });

    static const std::string over_id = "220600120010",
                             over_text = "001#48V直流系统交流输入电压过高告警";
    static const std::string under_id = "220600130010",
                             under_text = "001#48V直流系统交流输入电压过低告警";
    static const std::string outage_id = "220600140010",
                             outage_text = "001#48V直流系统交流输入停电告警";
    static const std::string fhigh_id = "220600160010",
                             fhigh_text = "001#48V直流系统交流输入频率过高告警";
    static const std::string flow_id = "220600170010",
                             flow_text = "001#48V直流系统交流输入频率过低告警";

    auto any_configured = [&](auto pred) {
        for (int p = 0; p < 6; ++p)
            if (configured[p] && pred(static_cast<double>(volts[p]))) return true;
        return false;
    };

    r.Report(over_id, volt_text, over_text,
             any_configured([](double v) { return v > kOverVolts; }));
    r.Report(under_id, volt_text, under_text,
             any_configured([](double v) { return v > kNotMeasured && v < kUnderVolts; }));
    r.Report(outage_id, volt_text, outage_text,
             std::all_of(std::begin(volts), std::end(volts),
                         [](float v) { return static_cast<double>(v) < kUnderVolts; }));
    r.ReportAgainstThreshold(fhigh_id, freq_text, fhigh_text,
                             [&](float t) { return f0 > t || f1 > t; });
    r.ReportAgainstThreshold(flow_id, freq_text, flow_text, [&](float t) {
        return (static_cast<double>(f0) > kNotMeasured && f0 < t) ||
               (static_cast<double>(f1) > kNotMeasured && f1 < t);
    });
}

const std::string& One() {
    static const std::string one = "1";
    return one;
}

void ModuleAlarms(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, TelecomReporter& r,
                  TelecomAlarmTexts& texts) {
    const int modules = std::min<int>(d.rc.channel_count, q318b_rc_t::kChannels);
    for (int j = 0; j < modules; ++j) {
        const TelecomAlarmTexts::Module& m = texts.ModuleTexts(static_cast<size_t>(j));
        const bool running = d.rc.channel[j].state[0] == 1 - opt.open_41_43;
        r.Report(m.running_id, One(), m.text, running);
        r.Report(m.second_id, One(), m.text, running);
    }
}

struct DcPanel {
    std::string low_id;
    std::string low_text;
    std::string very_low_id;
    std::string very_low_text;
    std::string high_id;
    std::string high_text;
    std::string name;
    unsigned first_fuse;
};

const DcPanel& Panel(size_t k) {
    static const DcPanel panels[2] = {
        {"210600320010", "48V直流系统直流总电压过低告警", "210600330010",
         "48V直流系统直流总电压超低告警", "210600340010", "直流总电压过高告警", "直流屏1", 1},
        {"210600320020", "直流屏2 48V直流系统直流总电压过低告警", "210600330020",
         "直流屏2 8V直流系统直流总电压超低告警", "210600340020", "直流屏2 直流总电压过高告警",
         "直流屏2", kSecondGroupFirstFuse},
    };
    return panels[k];
}

void DcGroupAlarms(const q318b_dc_t& dc, size_t panel_index, TelecomReporter& r,
                   TelecomAlarmTexts& texts) {
    const DcPanel& panel = Panel(panel_index);
    const float v = dc.v;
    const float values[1] = {v};
    const std::string& value_text =
        TextOf(texts.dc_volts[panel_index], values, [v] { return NineDigits(v); });
    r.ReportAgainstThreshold(panel.low_id, value_text, panel.low_text,
                             [v](float t) { return v < t; });
    r.ReportAgainstThreshold(panel.very_low_id, value_text, panel.very_low_text,
                             [v](float t) { return v < t; });
    r.ReportAgainstThreshold(panel.high_id, value_text, panel.high_text,
                             [v](float t) { return v > t; });

    const int fuses = std::min<int>(dc.alert_m_count, q318b_dc_t::ALERT_M_SIZE());
    for (int i = 0; i < fuses; ++i) {
        const TelecomAlarmTexts::Fuse& f = texts.FuseTexts(panel_index, static_cast<size_t>(i));
        r.Report(f.id, One(), f.text, dc.alert_m[i] != 0);
    }
}

}  // namespace

const TelecomAlarmTexts::Module& TelecomAlarmTexts::ModuleTexts(size_t module) {
    while (modules_.size() <= module) {
        const unsigned n = static_cast<unsigned>(modules_.size() + 1);
        modules_.push_back({Padded3(n) + "#48V整流模块运行告警", TelecomId("12060069", n),
                            TelecomId("12060002", n)});
    }
    return modules_[module];
}

const TelecomAlarmTexts::Fuse& TelecomAlarmTexts::FuseTexts(size_t panel, size_t fuse) {
    std::vector<Fuse>& fuses = fuses_[panel];
    const DcPanel& p = Panel(panel);
    while (fuses.size() <= fuse) {
        const unsigned i = static_cast<unsigned>(fuses.size());
        fuses.push_back({TelecomId("12060047", p.first_fuse + i),
                         p.name + Padded3(i + 1) + "负载熔丝故障告警"});
    }
    return fuses[fuse];
}

void RunTelecomMapping(const q318b_419_Data_t& d, const AlarmSiteOptions& opt,
                       HostAlarmTables tables, AlarmSink& host, TelecomAlarmTexts& texts) {
    TelecomReporter r(tables, host);
    if (opt.has_ac) AcAlarms(d, opt, r, texts);
    ModuleAlarms(d, opt, r, texts);
    if (opt.has_dc) {
        DcGroupAlarms(d.dc1, 0, r, texts);
        if (opt.dc_number > 1) DcGroupAlarms(d.dc2, 1, r, texts);
    }
}
