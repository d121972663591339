#include "service/metrics_text.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "protocol/record.h"

namespace {

// The decoders put -0.1 where the controller sent "not available" in the
// AC phase currents; a real reading of exactly that is indistinguishable
// and is left out with it.
constexpr float kAbsentSubstitute = -0.1f;

// A value as the controller's not-available marker left it in the record
// when a decoder copied the raw bytes: four equal non-zero bytes.
bool MarkerBits(float v) {
    uint8_t b[4];
    std::memcpy(b, &v, sizeof b);
    return b[0] != 0 && b[0] == b[1] && b[1] == b[2] && b[2] == b[3];
}

bool Exportable(float v) {
    return std::isfinite(v) && !MarkerBits(v);
}

// The shortest text that reads back as the same float, so that 53.5 shows
// as 53.5 and not as its double expansion.
std::string FloatText(float v) {
    char buf[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(buf, nullptr) == v) break;
    }
    return buf;
}

std::string UIntText(unsigned long long v) {
    return std::to_string(v);
}

struct Label {
    const char* name;
    std::string value;
};

struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::string samples;
};

class Page {
  public:
    explicit Page(std::vector<Family> families) : families_(std::move(families)) {}

    void SetDevice(const DeviceState& d) {
        device_labels_ = "data_id=\"" + std::to_string(d.data_id) + "\",name=\"" +
                         EscapeLabelValue(d.name) + "\"";
    }

    void Add(const char* family, std::initializer_list<Label> labels, const std::string& value) {
        for (auto& f : families_) {
            if (std::strcmp(f.name, family) != 0) continue;
            std::string line = f.name;
            line += "{" + device_labels_;
            for (const auto& l : labels)
                line += std::string(",") + l.name + "=\"" + EscapeLabelValue(l.value) + "\"";
            line += "} " + value + "\n";
            f.samples += line;
            return;
        }
    }
    void AddFloat(const char* family, std::initializer_list<Label> labels, float v) {
        if (Exportable(v)) Add(family, labels, FloatText(v));
    }

    std::string Text() const {
        std::string out;
        for (const auto& f : families_) {
            if (f.samples.empty()) continue;
            out += std::string("# HELP ") + f.name + " " + f.help + "\n";
            out += std::string("# TYPE ") + f.name + " " + f.type + "\n";
            out += f.samples;
        }
        return out;
    }

  private:
    std::vector<Family> families_;
    std::string device_labels_;
};

std::vector<Family> Families() {
    return {
        {"q318b_ac_voltage_volts", "gauge", "AC input phase voltage.", ""},
        {"q318b_ac_frequency_hertz", "gauge", "AC input frequency.", ""},
        {"q318b_ac_current_amperes", "gauge", "AC phase current.", ""},
        {"q318b_rectifier_output_voltage_volts", "gauge", "Rectifier output voltage.", ""},
        {"q318b_module_current_amperes", "gauge", "Rectifier module output current.", ""},
        {"q318b_module_state", "gauge",
         "Rectifier module status byte as the controller reports it (byte 1: on/off).", ""},
        {"q318b_module_fault", "gauge",
         "Rectifier module fault byte as the controller reports it (0: no fault).", ""},
        {"q318b_dc_bus_voltage_volts", "gauge", "DC group bus voltage.", ""},
        {"q318b_dc_load_current_amperes", "gauge", "DC group load current.", ""},
        {"q318b_dc_battery_current_amperes", "gauge", "DC group battery current.", ""},
        {"q318b_alarm_active", "gauge", "Alarm the host knows: 1 while raised, 0 otherwise.", ""},
        {"q318b_link_up", "gauge", "1 when the last exchange with the device succeeded.", ""},
        {"q318b_rounds_completed_total", "counter", "Poll rounds completed.", ""},
        {"q318b_frames_total", "counter", "Reply frames by outcome.", ""},
        {"q318b_last_round_age_seconds", "gauge", "Seconds since the last completed round.", ""},
    };
}

std::string Index(int i) {
    return std::to_string(i + 1);
}

void DcGroup(Page& page, const q318b_dc_t& d, const std::string& group) {
    page.AddFloat("q318b_dc_bus_voltage_volts", {{"group", group}}, d.v);
    page.AddFloat("q318b_dc_load_current_amperes", {{"group", group}}, d.i);
    const int batteries = std::min<int>(d.m_count, q318b_dc_t::M_SIZE());
    for (int k = 0; k < batteries; ++k) {
        float v;
        std::memcpy(&v, reinterpret_cast<const char*>(&d) + offsetof(q318b_dc_t, m) + k * sizeof v,
                    sizeof v);
        page.AddFloat("q318b_dc_battery_current_amperes", {{"group", group}, {"battery", Index(k)}},
                      v);
    }
}

// A second DC group that the controller never filled is all zeros.
bool Filled(const q318b_dc_t& d) {
    return d.v != 0.0f || d.i != 0.0f || d.m_count != 0 || d.p_count != 0;
}

void Record(Page& page, const q318b_419_Data_t& r) {
    static const char* const kPhases[] = {"A", "B", "C"};
    const int inputs = std::min<int>(r.ac.channel_count, q318b_ac_t::kChannels);
    for (int k = 0; k < inputs; ++k) {
        const q318b_ac_channel_t& c = r.ac.channel[k];
        const float phase[] = {c.a, c.b, c.c};
        for (int p = 0; p < 3; ++p)
            page.AddFloat("q318b_ac_voltage_volts", {{"input", Index(k)}, {"phase", kPhases[p]}},
                          phase[p]);
        page.AddFloat("q318b_ac_frequency_hertz", {{"input", Index(k)}}, c.f);
    }
    const float currents[] = {r.ac.ia, r.ac.ib, r.ac.ic};
    for (int p = 0; p < 3; ++p)
        if (currents[p] != kAbsentSubstitute)
            page.AddFloat("q318b_ac_current_amperes", {{"phase", kPhases[p]}}, currents[p]);

    page.AddFloat("q318b_rectifier_output_voltage_volts", {}, r.rc.v);
    const int modules = std::min<int>(r.rc.channel_count, q318b_rc_t::kChannels);
    for (int j = 0; j < modules; ++j) {
        const q318b_rc_channel_t& m = r.rc.channel[j];
        page.AddFloat("q318b_module_current_amperes", {{"module", Index(j)}}, m.i);
        for (int b = 0; b < 3; ++b)
            page.Add("q318b_module_state", {{"module", Index(j)}, {"byte", Index(b)}},
                     UIntText(m.state[b]));
        page.Add("q318b_module_fault", {{"module", Index(j)}}, UIntText(m.fault));
    }
    DcGroup(page, r.dc1, "1");
    if (Filled(r.dc2)) DcGroup(page, r.dc2, "2");
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    const auto* s = reinterpret_cast<const unsigned char*>(value.data());
    const size_t n = value.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            if (c == '\\')
                out += "\\\\";
            else if (c == '"')
                out += "\\\"";
            else if (c == '\n')
                out += "\\n";
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // Length and lowest allowed value of a multi-byte sequence; overlong
        // forms, surrogates and code points past U+10FFFF are invalid.
        size_t len = 0;
        unsigned long cp = 0, min = 0;
        if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07, min = 0x10000;
        }
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (ok) {
            out.append(value, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string MetricsText(const SiteState& state, double now) {
    Page page(Families());
    for (const auto& d : state.devices) {
        page.SetDevice(d);
        if (d.record.size() == sizeof(q318b_419_Data_t)) {
            q318b_419_Data_t r;
            std::memcpy(static_cast<void*>(&r), d.record.data(), sizeof r);
            Record(page, r);
        }
        // One sample per (id, key): alarms that differ only in their text
        // share it, raised if any of them is.
        std::map<std::pair<std::string, std::string>, bool> alarms;
        for (const auto& a : d.quiet_alarms) alarms.emplace(a, false);
        for (const auto& a : d.alarms) alarms[{a.alarm.alarm_id, a.alarm.key}] = true;
        for (const auto& a : alarms)
            page.Add("q318b_alarm_active", {{"alarm_id", a.first.first}, {"key", a.first.second}},
                     a.second ? "1" : "0");
        page.Add("q318b_link_up", {}, d.link_up ? "1" : "0");
        page.Add("q318b_rounds_completed_total", {}, std::to_string(d.rounds));
        const std::pair<const char*, uint64_t> outcomes[] = {
            {"good", d.counts.good},
            {"timeout", d.counts.timeouts},
            {"bad_checksum", d.counts.bad_checksum},
            {"bad_lchksum", d.counts.bad_lchksum},
            {"rtn", d.counts.rtn_errors},
            {"foreign_address", d.counts.foreign_address},
            {"wrong_unit", d.counts.wrong_unit},
            {"other", d.counts.other_damage},
        };
        for (const auto& o : outcomes)
            page.Add("q318b_frames_total", {{"outcome", o.first}}, UIntText(o.second));
        if (d.record_time > 0) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.3f", std::max(0.0, now - d.record_time));
            page.Add("q318b_last_round_age_seconds", {}, buf);
        }
    }
    return page.Text();
}
