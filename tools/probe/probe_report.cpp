#include "tools/probe/probe_report.h"

#include <json/writer.h>

#include <cstdio>
#include <sstream>

namespace probe {

namespace {

// The version the plug-in puts in every command unless the site's
// "protocol_version" says otherwise.
constexpr uint8_t kHostVersion = 0x20;

std::string Hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, v);
}

std::string Pretty(const Json::Value& v, const std::string& indent) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "  ";
    std::string s = Json::writeString(w, v), out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) out += indent + line + "\n";
    return out;
}

// Problems of a controller that no option set can solve.
std::vector<std::string> Problems(const Report::Entry& e) {
    return e.verdict.problems;
}

}  // namespace

Json::Value SiteEntry(const Report& r, const Report::Entry& e) {
    Json::Value d(Json::objectValue);
    d["data_id"] = 1000 + e.found.address;
    d["name"] = "controller at address " + std::to_string(e.found.address);
    d["port"] = r.port;
    d["address"] = e.found.address;
    // Without it the device's commands name 0x20, which such a controller
    // refuses.
    if (e.found.version != kHostVersion) d["protocol_version"] = e.found.version;
    d["baud_rate"] = r.baud;
    if (!e.verdict.fits.empty())
        d["settings"]["appSetting"] = AppSetting(e.verdict.fits.front().options);
    return d;
}

Json::Value ReportJson(const Report& r) {
    Json::Value root(Json::objectValue);
    root["port"] = r.port;
    root["baud"] = r.baud;
    root["controllers"] = Json::Value(Json::arrayValue);
    for (const auto& e : r.controllers) {
        Json::Value c(Json::objectValue);
        c["address"] = e.found.address;
        c["version"] = e.found.version;
        c["units"] = Json::Value(Json::arrayValue);
        for (const auto& x : e.found.round.exchanges) {
            Json::Value u(Json::objectValue);
            u["command"] = CommandText(x.command);
            u["answered"] = x.answered;
            if (x.answered) {
                u["rtn"] = x.rtn;
                u["info_bytes"] = static_cast<Json::UInt64>(x.info.size());
            }
            c["units"].append(u);
        }
        c["fits"] = static_cast<Json::UInt64>(e.verdict.fits.size());
        if (!e.verdict.fits.empty()) {
            const Candidate& best = e.verdict.fits.front();
            c["appSetting"] = AppSetting(best.options);
            c["reading"] = best.reading;
            c["doubts"] = Json::Value(Json::arrayValue);
            for (const auto& d : best.doubts) c["doubts"].append(d);
            c["device"] = SiteEntry(r, e);
        }
        c["ambiguities"] = Json::Value(Json::arrayValue);
        for (const auto& a : e.verdict.ambiguities) {
            Json::Value j(Json::objectValue);
            j["option"] = a.option;
            j["values"] = Json::Value(Json::arrayValue);
            for (int v : a.values) j["values"].append(v);
            j["harmless"] = a.harmless;
            j["what_to_check"] = a.what_to_check;
            c["ambiguities"].append(j);
        }
        c["problems"] = Json::Value(Json::arrayValue);
        for (const auto& p : Problems(e)) c["problems"].append(p);
        root["controllers"].append(c);
    }
    return root;
}

std::string ReportText(const Report& r) {
    std::string s;
    if (r.controllers.empty()) return "no controller answers on " + r.port + "\n";
    s += std::to_string(r.controllers.size()) + " controller(s) on " + r.port + "\n";
    for (const auto& e : r.controllers) {
        s += "\ncontroller at address " + std::to_string(e.found.address) + ", protocol version " +
             Hex2(e.found.version) + "\n";
        s += "  replies:\n";
        for (const auto& u : e.verdict.units) s += "    " + u + "\n";
        for (const auto& p : Problems(e)) s += "  problem: " + p + "\n";
        if (e.verdict.fits.empty()) {
            s += "  no option set decodes every reply of the round: no settings to suggest\n";
            continue;
        }
        const Candidate& best = e.verdict.fits.front();
        s += "  every reply decodes exactly with these options; the device reads:\n    " +
             best.reading + "\n";
        for (const auto& d : best.doubts) s += "  doubtful for a 48 V system: " + d + "\n";
        bool open = false;
        for (const auto& a : e.verdict.ambiguities) {
            std::string vals;
            for (int v : a.values) vals += (vals.empty() ? "" : ", ") + std::to_string(v);
            if (a.harmless) {
                s += "  note: " + a.option + " " + vals +
                     (a.values.size() == 2 ? " both" : " all") + " work (" + a.what_to_check +
                     ")\n";
                continue;
            }
            open = true;
            s += "  AMBIGUOUS: " + a.option + " " + vals +
                 " fit equally well (the first is "
                 "chosen); " +
                 a.what_to_check + "\n";
        }
        if (!open) s += "  no other option set fits as well\n";
        s += "  \"appSetting\": " + Compact(AppSetting(best.options)) + "\n";
        s += "  site-file device entry:\n" + Pretty(SiteEntry(r, e), "    ");
    }
    return s;
}

}  // namespace probe
