#include "alarms/telecom_mapping.h"

#include <algorithm>
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

void AcAlarms(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, TelecomReporter& r) {
    const auto& ch0 = d.ac.channel[0];
    const auto& ch1 = d.ac.channel[1];
    const float volts[6] = {ch0.a, ch0.b, ch0.c, ch1.a, ch1.b, ch1.c};
    const bool configured[6] = {opt.has_a, opt.has_b, opt.has_c, opt.has_a, opt.has_b, opt.has_c};
    const float f0 = ch0.f;
    const float f1 = ch1.f;

    std::ostringstream vt;
    vt << "ua1:" << volts[0] << " ub1:" << volts[1] << " uc1:" << volts[2] << " ua2:" << volts[3]
       << " ub2:" << volts[4] << " uc2:" << volts[5];
    const std::string volt_text = vt.str();
    std::ostringstream ft;
    ft << "f1:" << f0 << " f2:" << f1;
    const std::string freq_text = ft.str();

    auto any_configured = [&](auto pred) {
        for (int p = 0; p < 6; ++p)
            if (configured[p] && pred(static_cast<double>(volts[p]))) return true;
        return false;
    };

    r.Report("220600120010", volt_text, "001#48V直流系统交流输入电压过高告警",
             any_configured([](double v) { return v > kOverVolts; }));
    r.Report("220600130010", volt_text, "001#48V直流系统交流输入电压过低告警",
             any_configured([](double v) { return v > kNotMeasured && v < kUnderVolts; }));
    r.Report("220600140010", volt_text, "001#48V直流系统交流输入停电告警",
             std::all_of(std::begin(volts), std::end(volts),
                         [](float v) { return static_cast<double>(v) < kUnderVolts; }));
    r.ReportAgainstThreshold("220600160010", freq_text, "001#48V直流系统交流输入频率过高告警",
                             [&](float t) { return f0 > t || f1 > t; });
    r.ReportAgainstThreshold("220600170010", freq_text, "001#48V直流系统交流输入频率过低告警",
                             [&](float t) {
                                 return (static_cast<double>(f0) > kNotMeasured && f0 < t) ||
                                        (static_cast<double>(f1) > kNotMeasured && f1 < t);
                             });
}

void ModuleAlarms(const q318b_419_Data_t& d, const AlarmSiteOptions& opt, TelecomReporter& r) {
    const int modules = std::min<int>(d.rc.channel_count, q318b_rc_t::kChannels);
    for (int j = 0; j < modules; ++j) {
        const unsigned n = static_cast<unsigned>(j + 1);
        const std::string text = Padded3(n) + "#48V整流模块运行告警";
        const bool running = d.rc.channel[j].state[0] == 1 - opt.open_41_43;
        r.Report(TelecomId("12060069", n), "1", text, running);
        r.Report(TelecomId("12060002", n), "1", text, running);
    }
}

struct DcPanel {
    const char* low_id;
    const char* low_text;
    const char* very_low_id;
    const char* very_low_text;
    const char* high_id;
    const char* high_text;
    const char* name;
    unsigned first_fuse;
};

const DcPanel kPanels[2] = {
    {"210600320010", "48V直流系统直流总电压过低告警", "210600330010",
     "48V直流系统直流总电压超低告警", "210600340010", "直流总电压过高告警", "直流屏1", 1},
    {"210600320020", "直流屏2 48V直流系统直流总电压过低告警", "210600330020",
     "直流屏2 8V直流系统直流总电压超低告警", "210600340020", "直流屏2 直流总电压过高告警",
     "直流屏2", kSecondGroupFirstFuse},
};

void DcGroupAlarms(const q318b_dc_t& dc, const DcPanel& panel, TelecomReporter& r) {
    const float v = dc.v;
    const std::string value_text = NineDigits(v);
    r.ReportAgainstThreshold(panel.low_id, value_text, panel.low_text,
                             [v](float t) { return v < t; });
    r.ReportAgainstThreshold(panel.very_low_id, value_text, panel.very_low_text,
                             [v](float t) { return v < t; });
    r.ReportAgainstThreshold(panel.high_id, value_text, panel.high_text,
                             [v](float t) { return v > t; });

    const int fuses = std::min<int>(dc.alert_m_count, q318b_dc_t::ALERT_M_SIZE());
    for (int i = 0; i < fuses; ++i) {
        const unsigned nth = static_cast<unsigned>(i + 1);
        r.Report(TelecomId("12060047", panel.first_fuse + static_cast<unsigned>(i)), "1",
                 panel.name + Padded3(nth) + "负载熔丝故障告警", dc.alert_m[i] != 0);
    }
}

}  // namespace

void RunTelecomMapping(const q318b_419_Data_t& d, const AlarmSiteOptions& opt,
                       HostAlarmTables tables, AlarmSink& host) {
    TelecomReporter r(tables, host);
    if (opt.has_ac) AcAlarms(d, opt, r);
    ModuleAlarms(d, opt, r);
    if (opt.has_dc) {
        DcGroupAlarms(d.dc1, kPanels[0], r);
        if (opt.dc_number > 1) DcGroupAlarms(d.dc2, kPanels[1], r);
    }
}
