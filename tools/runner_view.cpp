#include "tools/runner_view.h"

#include <json/writer.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include "runtime/site/record_json.h"
#include "runtime/site/record_json_writer.h"
#include "tools/link_stats_meter.h"

namespace {

std::string Fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string StateText(uint8_t s) {
    // State byte 0: module on/off as the controller reports it.
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X", s);
    return buf;
}

Json::Value AlarmJson(const AlarmChange& a) {
    Json::Value j(Json::objectValue);
    j["alarm_id"] = a.alarm_id;
    j["key"] = a.key;
    j["level"] = a.level;
    j["value_text"] = a.value_text;
    j["alarm_text"] = a.alarm_text;
    j["active"] = a.active;
    j["ordinal"] = a.ordinal;
    return j;
}

}  // namespace

std::string RoundTable(const std::string& name, const q318b_419_Data_t& r,
                       const std::vector<AlarmChange>& active, bool link_up,
                       const LinkCounts& line) {
    std::ostringstream os;
    os << "== " << name << " (data id " << r.data_id << ")  " << TtimeText(r) << "  link "
       << (link_up ? "up" : "DOWN") << "\n";
    const int ac_n = std::min<int>(r.ac.channel_count, q318b_ac_t::kChannels);
    for (int k = 0; k < ac_n; ++k) {
        const auto& c = r.ac.channel[k];
        os << "  AC" << k + 1 << "  A " << Fmt("%6.1f", c.a) << " V  B " << Fmt("%6.1f", c.b)
           << " V  C " << Fmt("%6.1f", c.c) << " V  f " << Fmt("%5.2f", c.f) << " Hz\n";
    }
    os << "  rectifier " << Fmt("%5.2f", r.rc.v) << " V, " << unsigned(r.rc.channel_count)
       << " modules\n";
    const int rc_n = std::min<int>(r.rc.channel_count, q318b_rc_t::kChannels);
    for (int j = 0; j < rc_n; ++j) {
        const auto& m = r.rc.channel[j];
        os << "    M" << (j + 1 < 10 ? "0" : "") << j + 1 << " " << Fmt("%6.2f", m.i)
           << " A  state " << StateText(m.state[0]) << (m.fault ? "  FAULT" : "") << "\n";
    }
    const q318b_dc_t* groups[] = {&r.dc1, &r.dc2};
    for (int g = 0; g < 2; ++g) {
        const q318b_dc_t& d = *groups[g];
        if (d.v == 0.0f && d.i == 0.0f && d.m_count == 0 && d.p_count == 0) continue;
        os << "  DC" << g + 1 << "  " << Fmt("%6.2f", d.v) << " V  " << Fmt("%7.2f", d.i) << " A\n";
    }
    os << "  line: " << LinkLine(line) << "\n";
    if (active.empty()) {
        os << "  alarms: none\n";
    } else {
        os << "  alarms (" << active.size() << "):\n";
        for (const auto& a : active)
            os << "    [" << a.level << "] " << a.alarm_id << "  " << a.alarm_text << "  ("
               << a.value_text << ")\n";
    }
    return os.str();
}

Json::Value EventJson(const HostEvent& e) {
    Json::Value j(Json::objectValue);
    j["event"] = ToString(e.kind);
    j["data_id"] = e.data_id;
    j["time"] = e.time;
    j["unix_time"] = static_cast<Json::Int64>(e.unix_time);
    switch (e.kind) {
        case HostEvent::Kind::kRecordPublished: {
            q318b_419_Data_t rec;
            if (RecordFromBytes(e.record.data(), e.record.size(), rec))
                j["record"] = RecordToJson(rec);
            else
                j["record_bytes"] = static_cast<Json::UInt64>(e.record.size());
            break;
        }
        case HostEvent::Kind::kAlarmRaised:
        case HostEvent::Kind::kAlarmCleared:
            j["alarm"] = AlarmJson(e.alarm);
            break;
        case HostEvent::Kind::kAnalogReport:
            j["key"] = e.key;
            j["value"] = static_cast<double>(e.value);
            break;
        case HostEvent::Kind::kLinkLost:
        case HostEvent::Kind::kLinkBack:
            j["detail"] = e.detail;
            break;
    }
    return j;
}

std::string JsonLine(const Json::Value& v) {
    // One writer and one stream per thread for every line: a builder and
    // its writer are made of several allocations each. A writer keeps
    // state while it writes, so threads do not share one.
    thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
    }();
    thread_local std::ostringstream os;
    os.str(std::string());
    os.clear();
    writer->write(v, &os);
    return os.str();
}

bool RecordEventLine(const HostEvent& e, std::string& out) {
    if (e.kind != HostEvent::Kind::kRecordPublished) return false;
    q318b_419_Data_t rec;
    if (!RecordFromBytes(e.record.data(), e.record.size(), rec)) return false;
    // EventJson's members, in the order its object writes them.
    out.clear();
    out += "{\"data_id\":";
    AppendJsonUnsigned(e.data_id, out);
    out += ",\"event\":";
    AppendJsonString(ToString(e.kind), out);
    out += ",\"record\":";
    AppendRecordJson(rec, out);
    out += ",\"time\":";
    AppendJsonString(e.time, out);
    out += ",\"unix_time\":";
    AppendJsonInt(e.unix_time, out);
    out += '}';
    return true;
}
