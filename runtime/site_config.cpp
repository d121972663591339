#include "runtime/site_config.h"

#include <json/reader.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace {

std::string Resolve(const std::string& p, const std::string& base) {
    if (p.empty() || p[0] == '/' || base.empty()) return p;
    return base + "/" + p;
}

std::string DirName(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The JSON reader's messages span lines; the runner reports one line.
std::string OneLine(std::string s) {
    for (char& ch : s)
        if (ch == '\n' || ch == '\r') ch = ' ';
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

bool Exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

bool IsDir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Ctx {
  public:
    Ctx(std::string file, std::string where) : file_(std::move(file)), where_(std::move(where)) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw SiteError("site file " + file_ + ": " + (where_.empty() ? "" : where_ + ": ") + what);
    }

    const Json::Value& Need(const Json::Value& obj, const char* key) const {
        if (!obj.isMember(key)) Fail(std::string("missing member \"") + key + "\"");
        return obj[key];
    }

    double Number(const Json::Value& v, const char* key) const {
        if (!v.isNumeric()) Fail(std::string("\"") + key + "\" must be a number");
        return v.asDouble();
    }

    std::string String(const Json::Value& v, const char* key) const {
        if (!v.isString()) Fail(std::string("\"") + key + "\" must be a string");
        return v.asString();
    }

    unsigned int UInt(const Json::Value& v, const char* key, unsigned int max) const {
        if (!v.isIntegral() || v.asLargestInt() < 0 ||
            v.asLargestUInt() > static_cast<Json::LargestUInt>(max))
            Fail(std::string("\"") + key + "\" must be a whole number from 0 to " +
                 std::to_string(max));
        return static_cast<unsigned int>(v.asLargestUInt());
    }

  private:
    std::string file_;
    std::string where_;
};

ThresholdConfig ParseAlarm(const Ctx& c, const std::string& id, const Json::Value& v) {
    if (!v.isObject()) c.Fail("alarm \"" + id + "\" must be an object");
    ThresholdConfig t;
    t.level = static_cast<int>(c.UInt(c.Need(v, "level"), "level", 1000));
    if (v.isMember("threshold"))
        t.threshold = static_cast<float>(c.Number(v["threshold"], "threshold"));
    if (v.isMember("direction")) {
        const std::string d = c.String(v["direction"], "direction");
        if (d == "upper")
            t.direction = ThresholdConfig::Direction::kUpper;
        else if (d == "lower")
            t.direction = ThresholdConfig::Direction::kLower;
        else
            c.Fail("alarm \"" + id + "\": \"direction\" must be \"upper\" or \"lower\"");
    }
    if (v.isMember("recover")) t.recover = static_cast<float>(c.Number(v["recover"], "recover"));
    return t;
}

}  // namespace

PortSpec ParsePortSpec(const std::string& text, const std::string& base_dir) {
    PortSpec p;
    p.text = text;
    if (text.rfind("tcp://", 0) == 0) {
        p.kind = PortSpec::Kind::kTcp;
        const std::string rest = text.substr(6);
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
            throw SiteError("port \"" + text + "\" must be tcp://HOST:PORT");
        p.host = rest.substr(0, colon);
        const std::string num = rest.substr(colon + 1);
        if (num.find_first_not_of("0123456789") != std::string::npos || num.size() > 5 ||
            std::stoi(num) < 1 || std::stoi(num) > 65535)
            throw SiteError("port \"" + text + "\": \"" + num + "\" is not a TCP port number");
        p.port = std::stoi(num);
    } else if (text.rfind("sim:", 0) == 0) {
        p.kind = PortSpec::Kind::kSimulator;
        p.path = Resolve(text.substr(4), base_dir);
        if (p.path.empty()) throw SiteError("port \"" + text + "\" names no scenario file");
        if (!Exists(p.path))
            throw SiteError("port \"" + text + "\": scenario file " + p.path + " does not exist");
    } else {
        p.kind = PortSpec::Kind::kSerial;
        p.path = text;
        if (text.empty()) throw SiteError("port is empty");
        if (!Exists(p.path)) throw SiteError("port " + p.path + " does not exist");
    }
    return p;
}

SiteConfig ParseSiteConfig(const Json::Value& root, const std::string& file,
                           const std::string& base_dir) {
    Ctx top(file, "");
    if (!root.isObject()) top.Fail("the top level must be a JSON object");
    SiteConfig site;
    site.file = file;
    if (root.isMember("plugin"))
        site.plugin = Resolve(top.String(root["plugin"], "plugin"), base_dir);
    if (root.isMember("database"))
        site.database = Resolve(top.String(root["database"], "database"), base_dir);

    const Json::Value& devs = top.Need(root, "devices");
    if (!devs.isArray() || devs.empty()) top.Fail("\"devices\" must be a non-empty array");
    for (Json::ArrayIndex i = 0; i < devs.size(); ++i) {
        const Json::Value& d = devs[i];
        Ctx c(file, "devices[" + std::to_string(i) + "]");
        if (!d.isObject()) c.Fail("must be an object");
        DeviceConfig dc;
        dc.data_id = c.UInt(c.Need(d, "data_id"), "data_id", 0xFFFFFFFFu);
        Ctx cd(file, "device " + std::to_string(dc.data_id));
        dc.name = d.isMember("name") ? cd.String(d["name"], "name")
                                     : "device " + std::to_string(dc.data_id);
        try {
            dc.port = ParsePortSpec(cd.String(cd.Need(d, "port"), "port"), base_dir);
        } catch (const SiteError& e) {
            cd.Fail(e.what());
        }
        if (d.isMember("address"))
            dc.address = static_cast<int>(cd.UInt(d["address"], "address", 255));
        if (d.isMember("baud_rate"))
            dc.baud_rate = static_cast<int>(cd.UInt(d["baud_rate"], "baud_rate", 4000000));
        if (d.isMember("poll_interval")) {
            dc.poll_interval = cd.Number(d["poll_interval"], "poll_interval");
            if (!(dc.poll_interval > 0)) cd.Fail("\"poll_interval\" must be above 0");
        }
        if (d.isMember("reply_timeout")) {
            dc.reply_timeout = cd.Number(d["reply_timeout"], "reply_timeout");
            if (dc.reply_timeout < 0) cd.Fail("\"reply_timeout\" must not be negative");
        }
        // The line's timing after faults: 0 derives each from the line.
        const struct {
            const char* key;
            double* value;
            double max;
        } gaps[] = {{"late_window", &dc.late_window, 600},
                    {"quiet_gap", &dc.quiet_gap, 60},
                    {"unit_gap", &dc.unit_gap, 10}};
        for (const auto& g : gaps) {
            if (!d.isMember(g.key)) continue;
            *g.value = cd.Number(d[g.key], g.key);
            if (!(*g.value >= 0 && *g.value <= g.max))
                cd.Fail(std::string("\"") + g.key + "\" must be from 0 to " +
                        std::to_string(static_cast<int>(g.max)) + " seconds");
        }
        dc.workdir = base_dir;
        if (d.isMember("workdir"))
            dc.workdir = Resolve(cd.String(d["workdir"], "workdir"), base_dir);
        if (!IsDir(dc.workdir)) cd.Fail("workdir " + dc.workdir + " is not a folder");

        if (d.isMember("settings") && d.isMember("settings_file"))
            cd.Fail("give \"settings\" or \"settings_file\", not both");
        if (d.isMember("settings")) {
            if (!d["settings"].isObject()) cd.Fail("\"settings\" must be an object");
            dc.settings = d["settings"];
        } else if (d.isMember("settings_file")) {
            const std::string sf =
                Resolve(cd.String(d["settings_file"], "settings_file"), base_dir);
            std::ifstream in(sf);
            if (!in) cd.Fail("cannot read settings file " + sf);
            Json::CharReaderBuilder b;
            std::string errs;
            if (!Json::parseFromStream(b, in, &dc.settings, &errs))
                cd.Fail("settings file " + sf + " is not valid JSON: " + OneLine(errs));
            if (!dc.settings.isObject()) cd.Fail("settings file " + sf + " must hold an object");
        } else {
            dc.settings = Json::Value(Json::objectValue);
        }

        if (d.isMember("alarms")) {
            const Json::Value& a = d["alarms"];
            if (!a.isObject()) cd.Fail("\"alarms\" must be an object");
            for (const auto& id : a.getMemberNames()) dc.alarms[id] = ParseAlarm(cd, id, a[id]);
        }
        for (const auto& other : site.devices)
            if (other.data_id == dc.data_id) cd.Fail("data_id used twice");
        site.devices.push_back(std::move(dc));
    }
    return site;
}

SiteConfig LoadSiteConfig(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw SiteError("cannot read site file " + path);
    Json::CharReaderBuilder b;
    Json::Value root;
    std::string errs;
    if (!Json::parseFromStream(b, in, &root, &errs))
        throw SiteError("site file " + path + " is not valid JSON: " + OneLine(errs));
    return ParseSiteConfig(root, path, DirName(path));
}
