#include "sim/scenario.h"

#include <json/reader.h>

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "sim/scenario_events.h"
#include "sim/scenario_reader.h"

namespace sim {

using scenario_json::Element;
using scenario_json::Member;
using scenario_json::Reader;

namespace {

bool ParseAcInput(const Json::Value& v, const std::string& where, AcInput* in, std::string* error) {
    Reader r(v, where, error, true);
    r.Float("a", &in->a);
    r.Float("b", &in->b);
    r.Float("c", &in->c);
    r.Float("f", &in->f);
    r.Floats("tower", &in->tower);
    r.Floats("user", &in->user);
    r.FixedBytes("alarms", in->alarms, 4);
    r.Bytes("fuses", &in->fuses);
    r.Bytes("tower_alarms", &in->tower_alarms);
    r.Bytes("user_alarms", &in->user_alarms);
    return r.ok();
}

bool ParseModuleAt(const Json::Value& v, const std::string& where, Module* m, std::string* error) {
    Reader r(v, where, error, true);
    r.Float("current", &m->current);
    r.Floats("tower", &m->tower);
    r.Floats("user", &m->user);
    r.FixedBytes("state", m->state, 3);
    r.Bytes("tower_status", &m->tower_status);
    r.Bytes("user_status", &m->user_status);
    r.Byte("fault", &m->fault);
    r.Bytes("tower_alarms", &m->tower_alarms);
    r.Bytes("user_alarms", &m->user_alarms);
    r.Bytes("extra", &m->extra);
    return r.ok();
}

bool ParseDcGroup(const Json::Value& v, const std::string& where, DcGroup* g, std::string* error) {
    Reader r(v, where, error, true);
    r.Float("voltage", &g->voltage);
    r.Float("current", &g->current);
    r.Floats("batteries", &g->batteries);
    r.Floats("branches", &g->branches);
    r.Floats("user", &g->user);
    r.Byte("voltage_alarm", &g->voltage_alarm);
    r.Bytes("fuses", &g->fuses);
    r.Bytes("user_alarms", &g->user_alarms);
    return r.ok();
}

// A list member that may be absent: false (with the problem) when it is
// there but not a list of at most `max` items.
bool ListOf(Reader& r, const char* key, unsigned max, const char* items) {
    const Json::Value& x = r.Get(key);
    if (x.isNull() || (x.isArray() && x.size() <= max)) return r.ok();
    r.Fail(key, "must be a list of at most " + std::to_string(max) + " " + items);
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseLayout(const Json::Value& lay, Layout* out, std::string* error) {
    Reader r(lay, "layout", error);
    r.Bool("tower", &out->tower);
    r.Bool("dc_number", &out->dc_number);
    r.Byte("dataflag", &out->dataflag);
    r.Byte("group_value", &out->group_value);
    const Json::Value& gb = r.Get("group_byte");
    if (gb.isBool()) {
        out->group_byte = gb.asBool() ? Layout::GroupByte::kAlways : Layout::GroupByte::kNever;
    } else if (!gb.isNull() && !(gb.isString() && gb.asString() == "auto")) {
        r.Fail("group_byte", "must be true, false or \"auto\"");
    }
    const Json::Value& na = r.Get("not_available");
    if (na.isString() && na.asString() == "bytes") {
        out->not_available = Layout::NotAvailable::kBytes;
    } else if (!na.isNull() && !(na.isString() && na.asString() == "spaces")) {
        r.Fail("not_available", "must be \"spaces\" or \"bytes\"");
    }
    return r.ok();
}

bool ParseReplay(const Json::Value& list, std::vector<Replay>* out, std::string* error) {
    if (!list.isNull() && !list.isArray()) {
        *error = "replay: must be a list of captures";
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        Reader r(list[i], Element("replay", i), error, true);
        Replay rp;
        const Json::Value& cmd = r.Get("command");
        if (r.ok() && (!cmd.isString() || !ParseCommand(cmd.asString(), &rp.cid1, &rp.cid2)))
            r.Fail("command", "must be given as CID1 CID2 in hex, such as \"41 41\"");
        const Json::Value& frames = r.Get("frames");
        if (r.ok() && (!frames.isArray() || frames.empty()))
            r.Fail("frames", "must be a list of one or more frame texts");
        for (Json::ArrayIndex k = 0; r.ok() && k < frames.size(); ++k) {
            if (!frames[k].isString()) {
                r.FailAt(Element(Member(r.path(), "frames"), k), "must be a frame text");
                break;
            }
            std::string t = frames[k].asString();
            if (t.empty() || t.back() != '\r') t += '\r';
            rp.frames.push_back(std::move(t));
        }
        if (!r.ok()) return false;
        out->push_back(std::move(rp));
    }
    return true;
}

}  // namespace

bool ParseCommand(const std::string& text, uint8_t* cid1, uint8_t* cid2) {
    std::string hex;
    for (char c : text)
        if (c != ' ') hex += c;
    if (hex.size() != 4) return false;
    int d[4];
    for (int i = 0; i < 4; ++i)
        if ((d[i] = HexDigit(hex[i])) < 0) return false;
    *cid1 = static_cast<uint8_t>(d[0] << 4 | d[1]);
    *cid2 = static_cast<uint8_t>(d[2] << 4 | d[3]);
    return true;
}

bool ParseAc(const Json::Value& v, AcUnit* ac, std::string* error, const std::string& where) {
    Reader r(v, where, error);
    if (!ListOf(r, "inputs", limits::kMaxItems, "inputs")) return false;
    const Json::Value& inputs = r.Get("inputs");
    AcUnit out;
    out.inputs.assign(inputs.size(), AcInput());
    for (Json::ArrayIndex i = 0; i < inputs.size(); ++i)
        if (!ParseAcInput(inputs[i], Element(Member(where, "inputs"), i), &out.inputs[i], error))
            return false;
    const Json::Value& cur = r.Get("currents");
    if (!cur.isNull()) {
        if (!cur.isArray() || cur.size() != 3) {
            r.Fail("currents", "must be a list of 3 numbers or nulls");
            return false;
        }
        for (unsigned i = 0; i < 3; ++i)
            if (!scenario_json::ReadValue(cur[i], &out.currents[i]))
                r.FailAt(Element(Member(where, "currents"), i), scenario_json::kValueText);
    }
    r.FixedBytes("current_alarms", out.current_alarms, 3);
    r.Bytes("switches", &out.switches);
    r.Bytes("tower_status", &out.tower_status);
    r.Bytes("user_status", &out.user_status);
    if (!r.ok()) return false;
    *ac = std::move(out);
    return true;
}

bool ParseModule(const Json::Value& v, Module* out, std::string* error, const std::string& where) {
    Module m;
    if (!ParseModuleAt(v, where, &m, error)) return false;
    *out = std::move(m);
    return true;
}

bool ParseRectifiers(const Json::Value& v, RectifierUnit* rect, std::string* error,
                     const std::string& where) {
    Reader r(v, where, error);
    RectifierUnit out;
    r.Float("voltage", &out.voltage);
    const Json::Value& mods = r.Get("modules");
    if (!mods.isNull() && !mods.isArray()) r.Fail("modules", "must be a list of modules");
    if (!r.ok()) return false;
    for (Json::ArrayIndex i = 0; i < mods.size(); ++i) {
        const std::string at = Element(Member(where, "modules"), i);
        Module m;
        if (!ParseModuleAt(mods[i], at, &m, error)) return false;
        // "repeat": this module n times, its current rising by "step".
        Reader mr(mods[i], at, error);
        long n = 1;
        double step = 0;
        mr.Whole("repeat", 1, limits::kMaxItems, &n);
        const bool stepped = mr.Number("step", -FLT_MAX, FLT_MAX, &step);
        if (!mr.ok()) return false;
        // Counted as they come, so that a long list of repeats stops at the
        // count byte instead of filling memory first.
        if (out.modules.size() + static_cast<size_t>(n) > limits::kMaxItems) {
            mr.Fail(mods[i].isMember("repeat") ? "repeat" : "",
                    "makes more than 255 modules, the most the count byte carries");
            return false;
        }
        for (long k = 0; k < n; ++k) {
            out.modules.push_back(m);
            if (m.current && stepped) {
                const double next = static_cast<double>(*m.current) + step;
                if (k + 1 < n && !(std::fabs(next) <= FLT_MAX)) {
                    mr.Fail("step", "takes the current beyond what a 32-bit float holds");
                    return false;
                }
                *m.current = static_cast<float>(next);
            }
        }
    }
    *rect = std::move(out);
    return true;
}

bool ParseDc(const Json::Value& v, std::vector<DcGroup>* dc, std::string* error,
             const std::string& where) {
    if (!v.isArray() || v.size() > limits::kMaxItems) {
        *error = where + ": must be a list of at most 255 DC groups";
        return false;
    }
    std::vector<DcGroup> out(v.size());
    for (Json::ArrayIndex i = 0; i < v.size(); ++i)
        if (!ParseDcGroup(v[i], Element(where, i), &out[i], error)) return false;
    *dc = std::move(out);
    return true;
}

bool ParseScenario(const Json::Value& root, Scenario* out, std::string* error) {
    if (!root.isObject()) {
        *error = std::string("must be a JSON object, not ") + scenario_json::KindOf(root);
        return false;
    }
    Scenario s;
    Reader r(root, "", error);
    if (r.Has("name") && !r.Text("name", 0, 4096, &s.name)) return false;
    r.Byte("version", &s.version);
    r.Byte("address", &s.address);
    long baud = 0;
    if (r.Whole("baud", limits::kMinBaud, limits::kMaxBaud, &baud)) s.baud = static_cast<int>(baud);
    r.Bool("pace", &s.pace);
    r.Number("turnaround_ms", 0, limits::kMaxTurnaroundMs, &s.turnaround_ms);
    if (!r.ok()) return false;

    if (!ParseLayout(root["layout"], &s.layout, error)) return false;
    if (!root["ac"].isNull()) {
        s.ac.emplace();
        if (!ParseAc(root["ac"], &*s.ac, error)) return false;
    }
    if (!root["rectifiers"].isNull()) {
        s.rectifiers.emplace();
        if (!ParseRectifiers(root["rectifiers"], &*s.rectifiers, error)) return false;
    }
    if (!root["dc"].isNull() && !ParseDc(root["dc"], &s.dc, error)) return false;
    if (!ParseReplay(root["replay"], &s.replay, error)) return false;
    if (!ParseEvents(root["events"], s, &s.events, error)) return false;
    *out = std::move(s);
    return true;
}

bool ParseScenarioText(const std::string& text, Scenario* out, std::string* error) {
    Json::CharReaderBuilder b;
    b["stackLimit"] = limits::kMaxNesting;
    // Something after the scenario is a file cut and pasted wrong.
    b["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value root;
    std::string errs;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errs);
    } catch (const std::exception&) {
        // The reader gives up by throwing when the nesting passes its limit.
        *error = "nested more than " + std::to_string(limits::kMaxNesting) + " levels deep";
        return false;
    }
    if (!parsed) {
        // jsoncpp's report: "* Line 1, Column 5\n  Syntax error: ...\n"
        // and perhaps "See Line 2, Column 1 for detail.\n"; made one line.
        std::string line;
        size_t from = 0;
        while (from < errs.size()) {
            size_t to = errs.find('\n', from);
            if (to == std::string::npos) to = errs.size();
            std::string part = errs.substr(from, to - from);
            from = to + 1;
            const size_t first = part.find_first_not_of(" *");
            if (first == std::string::npos) continue;
            part.erase(0, first);
            if (part.rfind("Line ", 0) == 0 && !line.empty()) break;  // a second error
            line += line.empty() ? part : (line.back() == '.' ? " " : ": ") + part;
        }
        *error = scenario_json::OneLine("not valid JSON: " +
                                        (line.empty() ? std::string("unreadable") : line));
        return false;
    }
    if (ParseScenario(root, out, error)) return true;
    *error = scenario_json::OneLine(*error);
    return false;
}

bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
    const std::string name = "scenario " + scenario_json::OneLine(path) + ": ";
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = name + "is a folder, not a scenario file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = name + "cannot be opened: " + std::strerror(errno);
        return false;
    }
    std::string text;
    {
        char buf[65536];
        while (in.read(buf, sizeof buf) || in.gcount() > 0) {
            text.append(buf, static_cast<size_t>(in.gcount()));
            if (text.size() > limits::kMaxFileBytes) {
                *error = name + "larger than " + std::to_string(limits::kMaxFileBytes >> 20) +
                         " MiB, more than a scenario needs";
                return false;
            }
        }
    }
    if (!in.eof() || in.bad()) {
        *error = name + "cannot be read";
        return false;
    }
    if (ParseScenarioText(text, out, error)) return true;
    *error = name + *error;
    return false;
}

}  // namespace sim
