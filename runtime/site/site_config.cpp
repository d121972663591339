#include "runtime/site/site_config.h"

#include <arpa/inet.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
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

// Control characters from the file (a key, a port text, a path) shown as
// escapes, so that a message stays one line.
std::string Printable(const std::string& s) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char ch : s) {
        if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (ch < 0x20 || ch == 0x7f) {
            out += "\\x";
            out += kHex[ch >> 4];
            out += kHex[ch & 15];
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

// The JSON reader refuses nesting beyond its stack limit by throwing, not
// by returning false: either way the text is not a usable JSON file.
bool ReadJson(std::istream& in, Json::Value* out, std::string* errs) {
    Json::CharReaderBuilder b;
    try {
        return Json::parseFromStream(b, in, out, errs);
    } catch (const Json::Exception& e) {
        *errs = e.what();
        return false;
    }
}

bool Exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

bool IsDir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The site file's numbers, as the message shows them: 86400, 0.5.
std::string Num(double v) {
    std::ostringstream o;
    o << v;
    return o.str();
}

class Ctx {
  public:
    Ctx(std::string file, std::string where) : file_(std::move(file)), where_(std::move(where)) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw SiteError(
            Printable("site file " + file_ + ": " + (where_.empty() ? "" : where_ + ": ") + what));
    }

    const Json::Value& Need(const Json::Value& obj, const char* key) const {
        if (!obj.isMember(key)) Fail(std::string("missing member \"") + key + "\"");
        return obj[key];
    }

    double Number(const Json::Value& v, const std::string& key) const {
        if (!v.isNumeric()) Fail("\"" + key + "\" must be a number");
        return v.asDouble();
    }

    // A finite number from `lo` to `hi`; `lo_open`: above `lo`. Some jsoncpp
    // releases read a number too large for a double (1e400) as infinity.
    double Range(const Json::Value& v, const std::string& key, double lo, double hi,
                 const char* unit, bool lo_open = false) const {
        const double x = Number(v, key);
        if (!std::isfinite(x) || (lo_open ? !(x > lo) : !(x >= lo)) || !(x <= hi)) {
            const std::string u = *unit ? std::string(" ") + unit : "";
            if (lo_open)
                Fail("\"" + key + "\" must be above " + Num(lo) + " and at most " + Num(hi) + u);
            Fail("\"" + key + "\" must be from " + Num(lo) + " to " + Num(hi) + u);
        }
        return x;
    }

    std::string String(const Json::Value& v, const std::string& key) const {
        if (!v.isString()) Fail("\"" + key + "\" must be a string");
        return v.asString();
    }

    // isUInt64 first: asLargestInt throws for a whole number beyond int64
    // (18446744073709551615, 1e19), which is not the site file's error.
    unsigned int UInt(const Json::Value& v, const std::string& key, unsigned int max) const {
        if (!v.isIntegral() || !v.isUInt64() ||
            v.asLargestUInt() > static_cast<Json::LargestUInt>(max))
            Fail("\"" + key + "\" must be a whole number from 0 to " + std::to_string(max));
        return static_cast<unsigned int>(v.asLargestUInt());
    }

    // A whole number from `lo` to `hi` (1.0 is one; 1.5, "1" and true are not).
    int Whole(const Json::Value& v, const std::string& key, int lo, int hi) const {
        if (!v.isIntegral() || !v.isInt64() || v.asLargestInt() < lo || v.asLargestInt() > hi)
            Fail("\"" + key + "\" must be a whole number from " + std::to_string(lo) + " to " +
                 std::to_string(hi));
        return static_cast<int>(v.asLargestInt());
    }

    // The same file, further in: where_ + ": " + more.
    Ctx In(const std::string& more) const {
        return Ctx(file_, where_.empty() ? more : where_ + ": " + more);
    }

  private:
    std::string file_;
    std::string where_;
};

// Members named by their path from the device: "alarms.ID.threshold".
ThresholdConfig ParseAlarm(const Ctx& c, const std::string& id, const Json::Value& v) {
    const std::string path = "alarms." + id;
    if (!v.isObject()) c.Fail("\"" + path + "\" must be an object");
    ThresholdConfig t;
    t.level =
        static_cast<int>(c.UInt(c.In("\"" + path + "\"").Need(v, "level"), path + ".level", 1000));
    // Kept as float: a value beyond its range would not survive the cast.
    if (v.isMember("threshold"))
        t.threshold =
            static_cast<float>(c.Range(v["threshold"], path + ".threshold", -FLT_MAX, FLT_MAX, ""));
    if (v.isMember("direction")) {
        const std::string d = c.String(v["direction"], path + ".direction");
        if (d == "upper")
            t.direction = ThresholdConfig::Direction::kUpper;
        else if (d == "lower")
            t.direction = ThresholdConfig::Direction::kLower;
        else
            c.Fail("\"" + path + ".direction\" must be \"upper\" or \"lower\"");
    }
    if (v.isMember("recover"))
        t.recover =
            static_cast<float>(c.Range(v["recover"], path + ".recover", -FLT_MAX, FLT_MAX, ""));
    return t;
}

// The program is checked now, so that a site naming a missing one is
// refused at the start rather than at the first alarm, hours later.
NotifyConfig ParseNotify(const Ctx& c, const Json::Value& n, const std::string& base_dir) {
    if (!n.isObject()) c.Fail("\"notify\" must be an object");
    NotifyConfig cfg;
    if (!n.isMember("command")) c.Fail("missing member \"notify.command\"");
    const Json::Value& cmd = n["command"];
    if (!cmd.isArray() || cmd.empty())
        c.Fail("\"notify.command\" must be a non-empty array of strings");
    for (Json::ArrayIndex i = 0; i < cmd.size(); ++i) {
        const std::string key = "notify.command[" + std::to_string(i) + "]";
        const std::string arg = c.String(cmd[i], key);
        // An argument is handed to exec as a C string: a NUL would cut it.
        if (arg.find('\0') != std::string::npos) c.Fail("\"" + key + "\" holds a NUL character");
        cfg.command.push_back(arg);
    }
    if (cfg.command[0].empty()) c.Fail("\"notify.command\" names no program");
    cfg.command[0] = Resolve(cfg.command[0], base_dir);
    const std::string& prog = cfg.command[0];
    if (!Exists(prog)) c.Fail("\"notify.command\": program " + prog + " does not exist");
    if (!IsFile(prog) || ::access(prog.c_str(), X_OK) != 0)
        c.Fail("\"notify.command\": program " + prog + " is not an executable file");
    if (n.isMember("timeout_s"))
        cfg.timeout_s = c.Range(n["timeout_s"], "notify.timeout_s", 0.1, 3600, "seconds");
    if (n.isMember("max_running"))
        cfg.max_running = c.Whole(n["max_running"], "notify.max_running", 1, 64);
    if (n.isMember("queue")) cfg.queue = c.Whole(n["queue"], "notify.queue", 1, 100000);
    cfg.enabled = true;
    return cfg;
}

// A file the broker connection needs later is checked now: a missing key
// would otherwise show only as a failed handshake, again and again.
std::string ReadableFile(const Ctx& c, const Json::Value& v, const std::string& key,
                         const std::string& base_dir) {
    const std::string path = Resolve(c.String(v, key), base_dir);
    if (path.empty()) c.Fail("\"" + key + "\" is empty");
    if (!IsFile(path) || !std::ifstream(path))
        c.Fail("\"" + key + "\": " + path + " is not a readable file");
    return path;
}

// A whole number from `lo` to `hi` (1.0 is one; 1.5, "1" and true are not).
int WholeIn(const Ctx& c, const Json::Value& v, const std::string& key, int lo, int hi) {
    if (!v.isIntegral() || !v.isInt64() || v.asLargestInt() < lo || v.asLargestInt() > hi)
        c.Fail("\"" + key + "\" must be a whole number from " + std::to_string(lo) + " to " +
               std::to_string(hi));
    return static_cast<int>(v.asLargestInt());
}

bool Flag(const Ctx& c, const Json::Value& v, const std::string& key) {
    if (!v.isBool()) c.Fail("\"" + key + "\" must be true or false");
    return v.asBool();
}

MqttConfig ParseMqtt(const Ctx& c, const Json::Value& m, const std::string& base_dir) {
    if (!m.isObject()) c.Fail("\"mqtt\" must be an object");
    MqttConfig cfg;
    if (!m.isMember("url")) c.Fail("missing member \"mqtt.url\"");
    if (!ParseMqttUrl(c.String(m["url"], "mqtt.url"), &cfg))
        c.Fail("\"mqtt.url\" must be mqtt://HOST:PORT or mqtts://HOST:PORT");
    if (m.isMember("topic_prefix")) {
        const std::string p = c.String(m["topic_prefix"], "mqtt.topic_prefix");
        // A wildcard or a NUL in a topic name is a protocol error; an empty
        // level at either end would make topics no subscriber expects.
        if (p.empty()) c.Fail("\"mqtt.topic_prefix\" is empty");
        if (p.find_first_of(std::string("+#\0", 3)) != std::string::npos)
            c.Fail("\"mqtt.topic_prefix\" must not hold +, # or NUL");
        if (p.front() == '/' || p.back() == '/')
            c.Fail("\"mqtt.topic_prefix\" must not begin or end with /");
        if (p.size() > 1000) c.Fail("\"mqtt.topic_prefix\" is longer than 1000 bytes");
        cfg.topic_prefix = p;
    }
    if (m.isMember("client_id")) {
        cfg.client_id = c.String(m["client_id"], "mqtt.client_id");
        if (cfg.client_id.empty() || cfg.client_id.size() > 256)
            c.Fail("\"mqtt.client_id\" must be 1 to 256 bytes");
        for (unsigned char ch : cfg.client_id)
            if (ch < 0x20 || ch == 0x7f) c.Fail("\"mqtt.client_id\" holds a control character");
    }
    if (m.isMember("username")) {
        cfg.username = c.String(m["username"], "mqtt.username");
        if (cfg.username.empty()) c.Fail("\"mqtt.username\" is empty");
        if (cfg.username.find('\0') != std::string::npos)
            c.Fail("\"mqtt.username\" holds a NUL character");
    }
    if (m.isMember("password_file")) {
        // MQTT carries a password only after a user name.
        if (cfg.username.empty()) c.Fail("\"mqtt.password_file\" needs \"mqtt.username\"");
        cfg.password_file = Resolve(c.String(m["password_file"], "mqtt.password_file"), base_dir);
        std::string err;
        if (!ReadSecretFile(cfg.password_file, &cfg.password, &err))
            c.Fail("\"mqtt.password_file\": " + err);
    }
    if (m.isMember("tls")) {
        const Json::Value& t = m["tls"];
        if (!t.isObject()) c.Fail("\"mqtt.tls\" must be an object");
        if (!cfg.tls) c.Fail("\"mqtt.tls\" needs an mqtts:// url");
        if (t.isMember("ca_file"))
            cfg.ca_file = ReadableFile(c, t["ca_file"], "mqtt.tls.ca_file", base_dir);
        if (t.isMember("cert_file"))
            cfg.cert_file = ReadableFile(c, t["cert_file"], "mqtt.tls.cert_file", base_dir);
        if (t.isMember("key_file"))
            cfg.key_file = ReadableFile(c, t["key_file"], "mqtt.tls.key_file", base_dir);
        if (cfg.cert_file.empty() != cfg.key_file.empty())
            c.Fail("\"mqtt.tls\" needs both \"cert_file\" and \"key_file\", or neither");
    }
    if (m.isMember("qos")) cfg.qos = WholeIn(c, m["qos"], "mqtt.qos", 0, 2);
    // libmosquitto refuses a keepalive under 5 s; the protocol's field is 16 bits.
    if (m.isMember("keepalive"))
        cfg.keepalive = WholeIn(c, m["keepalive"], "mqtt.keepalive", 5, 65535);
    if (m.isMember("alarm_queue"))
        cfg.alarm_queue = WholeIn(c, m["alarm_queue"], "mqtt.alarm_queue", 1, 1000000);
    if (m.isMember("homeassistant"))
        cfg.homeassistant = Flag(c, m["homeassistant"], "mqtt.homeassistant");
    if (m.isMember("control")) {
        const Json::Value& k = m["control"];
        if (!k.isObject()) c.Fail("\"mqtt.control\" must be an object");
        RemoteControlConfig& rc = cfg.control;
        if (!k.isMember("token_file")) c.Fail("missing member \"mqtt.control.token_file\"");
        rc.token_file = Resolve(c.String(k["token_file"], "mqtt.control.token_file"), base_dir);
        if (k.isMember("allow_raw"))
            rc.allow_raw = Flag(c, k["allow_raw"], "mqtt.control.allow_raw");
        if (k.isMember("reply_timeout"))
            rc.reply_timeout =
                c.Range(k["reply_timeout"], "mqtt.control.reply_timeout", 0, 300, "s", true);
        std::string err;
        if (!ReadSecretFile(rc.token_file, &rc.token, &err))
            c.Fail("\"mqtt.control.token_file\": " + err);
        rc.enabled = true;
    }
    cfg.enabled = true;
    return cfg;
}

// A misspelt member is refused: taken as absent, it would keep every row
// for ever or store every round without a word.
HistoryConfig ParseHistory(const Ctx& c, const Json::Value& h) {
    if (!h.isObject()) c.Fail("\"history\" must be an object");
    for (const auto& key : h.getMemberNames())
        if (key != "max_age_days" && key != "min_interval_s")
            c.Fail("unknown member \"history." + key + "\"");
    HistoryConfig cfg;
    if (h.isMember("max_age_days"))
        cfg.max_age_days = c.Whole(h["max_age_days"], "history.max_age_days", 0, 36500);
    if (h.isMember("min_interval_s"))
        cfg.min_interval_s = c.Whole(h["min_interval_s"], "history.min_interval_s", 0, 86400);
    return cfg;
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
            throw SiteError(Printable("port \"" + text + "\" must be tcp://HOST:PORT"));
        p.host = rest.substr(0, colon);
        const std::string num = rest.substr(colon + 1);
        if (num.find_first_not_of("0123456789") != std::string::npos || num.size() > 5 ||
            std::stoi(num) < 1 || std::stoi(num) > 65535)
            throw SiteError(
                Printable("port \"" + text + "\": \"" + num + "\" is not a TCP port number"));
        p.port = std::stoi(num);
    } else if (text.rfind("sim:", 0) == 0) {
        p.kind = PortSpec::Kind::kSimulator;
        p.path = Resolve(text.substr(4), base_dir);
        if (p.path.empty())
            throw SiteError(Printable("port \"" + text + "\" names no scenario file"));
        if (!Exists(p.path))
            throw SiteError(
                Printable("port \"" + text + "\": scenario file " + p.path + " does not exist"));
    } else {
        p.kind = PortSpec::Kind::kSerial;
        p.path = text;
        if (text.empty()) throw SiteError(Printable("port is empty"));
        if (!Exists(p.path)) throw SiteError(Printable("port " + p.path + " does not exist"));
    }
    return p;
}

bool ParseListenAddress(const std::string& text, std::string* host, int* port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    const std::string h = text.substr(0, colon);
    const std::string p = text.substr(colon + 1);
    if (p.size() > 5) return false;
    long n = 0;
    for (char c : p) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 65535) return false;
    in_addr a{};
    if (h != "localhost" && ::inet_pton(AF_INET, h.c_str(), &a) != 1) return false;
    *host = h == "localhost" ? "127.0.0.1" : h;
    *port = static_cast<int>(n);
    return true;
}

bool ParseMqttUrl(const std::string& text, MqttConfig* cfg) {
    bool tls = false;
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
    } else if (text.rfind("mqtts://", 0) == 0) {
        tls = true;
        rest = text.substr(8);
    } else {
        return false;
    }
    std::string host = rest;
    long port = tls ? 8883 : 1883;
    const auto colon = rest.rfind(':');
    if (colon != std::string::npos) {
        host = rest.substr(0, colon);
        const std::string p = rest.substr(colon + 1);
        if (p.empty() || p.size() > 5) return false;
        port = 0;
        for (char ch : p) {
            if (ch < '0' || ch > '9') return false;
            port = port * 10 + (ch - '0');
        }
        if (port < 1 || port > 65535) return false;
    }
    // A host name or an IPv4 address: nothing that could carry a path, a
    // user or a second address.
    if (host.empty() || host.size() > 253) return false;
    for (char ch : host)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
              ch == '.' || ch == '-'))
            return false;
    cfg->url = text;
    cfg->host = host;
    cfg->port = static_cast<int>(port);
    cfg->tls = tls;
    return true;
}

bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + " cannot be read";
        return false;
    }
    std::string text(4097, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > 4096) {
        *error = path + " is longer than 4096 bytes";
        return false;
    }
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    text = text.substr(b, e - b);
    if (text.empty()) {
        *error = path + " is empty";
        return false;
    }
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            *error = path + " holds a control character";
            return false;
        }
    *secret = std::move(text);
    return true;
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
    if (root.isMember("http")) {
        const Json::Value& h = root["http"];
        if (!h.isObject()) top.Fail("\"http\" must be an object");
        if (!h.isMember("listen")) top.Fail("missing member \"http.listen\"");
        const std::string listen = top.String(h["listen"], "http.listen");
        std::string host;
        int port = 0;
        if (!ParseListenAddress(listen, &host, &port))
            top.Fail(
                "\"http.listen\" must be ADDR:PORT (an IPv4 address or localhost, port "
                "1-65535)");
        site.http_listen = listen;
        if (h.isMember("control")) {
            const Json::Value& c = h["control"];
            if (!c.isObject()) top.Fail("\"http.control\" must be an object");
            RemoteControlConfig& rc = site.http_control;
            rc.token_file =
                Resolve(top.String(top.Need(c, "token_file"), "http.control.token_file"), base_dir);
            if (c.isMember("allow_raw")) {
                if (!c["allow_raw"].isBool())
                    top.Fail("\"http.control.allow_raw\" must be true or false");
                rc.allow_raw = c["allow_raw"].asBool();
            }
            if (c.isMember("reply_timeout"))
                rc.reply_timeout =
                    top.Range(c["reply_timeout"], "http.control.reply_timeout", 0, 300, "s", true);
            std::string err;
            if (!ReadSecretFile(rc.token_file, &rc.token, &err))
                top.Fail("\"http.control.token_file\": " + err);
            rc.enabled = true;
        }
    }

    if (root.isMember("notify")) site.notify = ParseNotify(top, root["notify"], base_dir);
    if (root.isMember("mqtt")) site.mqtt = ParseMqtt(top, root["mqtt"], base_dir);
    if (root.isMember("history")) site.history = ParseHistory(top, root["history"]);

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
        if (d.isMember("protocol_version"))
            dc.protocol_version =
                static_cast<int>(cd.UInt(d["protocol_version"], "protocol_version", 255));
        if (d.isMember("baud_rate")) {
            const Json::Value& b = d["baud_rate"];
            if (!b.isIntegral() || !b.isUInt64() || b.asLargestUInt() > 4000000 ||
                (b.asLargestUInt() != 0 && b.asLargestUInt() < 50))
                cd.Fail(
                    "\"baud_rate\" must be 0 (the device's own) or a whole number from 50 to "
                    "4000000");
            dc.baud_rate = static_cast<int>(b.asLargestUInt());
        }
        // Seconds, turned into durations by the runner: a day at most keeps
        // the conversion far from overflowing.
        if (d.isMember("poll_interval"))
            dc.poll_interval =
                cd.Range(d["poll_interval"], "poll_interval", 0, 86400, "seconds", true);
        if (d.isMember("reply_timeout"))
            dc.reply_timeout = cd.Range(d["reply_timeout"], "reply_timeout", 0, 600, "seconds");
        // The line's timing after faults: 0 derives each from the line.
        const struct {
            const char* key;
            double* value;
            double max;
        } gaps[] = {{"late_window", &dc.late_window, 600},
                    {"quiet_gap", &dc.quiet_gap, 60},
                    {"unit_gap", &dc.unit_gap, 10}};
        for (const auto& g : gaps)
            if (d.isMember(g.key)) *g.value = cd.Range(d[g.key], g.key, 0, g.max, "seconds");
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
            // Not a FIFO or a device: the runner would wait on it forever.
            if (Exists(sf) && !IsFile(sf)) cd.Fail("settings file " + sf + " is not a file");
            std::ifstream in(sf);
            if (!in) cd.Fail("cannot read settings file " + sf);
            std::string errs;
            if (!ReadJson(in, &dc.settings, &errs))
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
    if (!in) throw SiteError(Printable("cannot read site file " + path));
    Json::Value root;
    std::string errs;
    if (!ReadJson(in, &root, &errs))
        throw SiteError(Printable("site file " + path + " is not valid JSON: " + OneLine(errs)));
    return ParseSiteConfig(root, path, DirName(path));
}
